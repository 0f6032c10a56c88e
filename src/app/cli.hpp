// The command line of korvalle-api: one subcommand, `serve`, with the runs root, the listening
// address and the poll interval. Parsing runs before anything else exists, so every refusal is
// a usage error (exit status 2) and help and version requests end the process with 0.
#pragma once

#include "sdk/base/result.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvalle::cli {

inline constexpr std::string_view version = "0.3.4";

// The runs-root path exactly as typed. Made only by try_from, so holding one means that the
// directory could be listed when the command line was parsed.
class RunsRoot {
public:
    // Opens the directory for listing and closes it again; on failure a Refused fault whose
    // message is "{path} is not a readable directory: {error kind words}".
    static Result<RunsRoot> try_from(std::string_view path);
    const std::string& str() const { return path_; }

private:
    explicit RunsRoot(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

struct ServeArgs {
    RunsRoot runs_root;
    boost::asio::ip::tcp::endpoint bind;
    std::uint64_t poll_interval_ms;
};

// What the process does instead of serving: write text to standard output or standard error
// and exit with status (0 for help and version, 2 for every refusal).
struct Exit {
    int status;
    std::string text;
    bool to_stdout;
};

// Parses the process's arguments (argv[0] names the program in usage lines).
std::variant<ServeArgs, Exit> parse(const std::vector<std::string>& args);

// A socket address as the standard parser reads it: "a.b.c.d:port" or "[v6%scope]:port"; no
// host names.
std::optional<boost::asio::ip::tcp::endpoint> parse_socket_address(std::string_view text);
// Its display form: "a.b.c.d:port", "[v6]:port" ("[v6%scope]:port" with a numeric scope).
std::string format_socket_address(const boost::asio::ip::tcp::endpoint& endpoint);

// A non-zero u64 as the standard parser reads it, or a Refused fault whose message is the
// refusal ("number would be zero for non-zero type", "invalid digit found in string", ...).
Result<std::uint64_t> parse_nonzero_u64(std::string_view text);

}  // namespace korvalle::cli
