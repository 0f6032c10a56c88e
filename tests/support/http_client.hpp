// A small real HTTP/1.1 client for the server tests, and a handle on a real korvalle-api process
// started on an ephemeral loopback port.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::testing {

struct HttpResponse {
    unsigned status = 0;
    std::string reason;
    // Header names as received (the server writes them in lower case), in order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first value of a header, by exact name.
    std::optional<std::string> header(std::string_view name) const;
};

// One keep-alive connection to 127.0.0.1:port. Every call has a time limit and throws
// std::runtime_error when it passes or the connection fails.
class HttpClient {
public:
    // receive_buffer: the socket's receive buffer in bytes, fixed before it connects (0: the
    // system's, which grows as the client reads).
    explicit HttpClient(unsigned short port, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                        int receive_buffer = 0);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpResponse request(std::string_view method, std::string_view target,
                         const std::vector<std::pair<std::string, std::string>>& headers = {},
                         std::string_view body = {});
    HttpResponse get(std::string_view target) { return request("GET", target); }

    // Sends raw bytes on the connection.
    void send_raw(std::string_view bytes);
    // Reads one response from the connection (after send_raw). A HEAD response must say so.
    HttpResponse read_response(bool head_request = false);
    // Reads up to `bytes` raw bytes (after send_raw), fewer only when the connection ends first.
    std::string read_raw(std::size_t bytes);
    // True when the server has closed the connection: a read finds end of stream within the wait.
    bool closed_by_peer(std::chrono::milliseconds wait);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One GET on a fresh connection.
HttpResponse http_get(unsigned short port, std::string_view target);

// Connects, sends bytes, and reads until the server closes the connection or the wait passes.
// Returns what was received.
std::string raw_exchange(unsigned short port, std::string_view bytes,
                         std::chrono::milliseconds wait = std::chrono::seconds(10));

// The path of the korvalle-api binary and of the stand-in pipeline tool in the build tree.
std::filesystem::path server_binary();
std::filesystem::path fake_tool_binary();

struct ProcessOptions {
    std::vector<std::string> args;                               // after the program name
    std::vector<std::pair<std::string, std::string>> env;        // set in the child's environment
    std::vector<std::string> unset_env;                          // removed from it
    bool close_stdout = false;                                   // start with fd 1 closed
};

// A running child process with its standard output on a pipe and its standard error in a file.
class ServerProcess {
public:
    // Starts korvalle-api serve --runs-root ROOT --bind 127.0.0.1:0 [extra args] and waits for
    // the serving line; throws when the process exits or says nothing within the wait (scaled in
    // a sanitizer build, as are the waits below: sanitizers.hpp).
    static ServerProcess serve(const std::filesystem::path& runs_root, ProcessOptions options = {},
                               std::chrono::milliseconds wait = std::chrono::seconds(20));
    // Starts the binary with the given arguments and does not wait for anything.
    static ServerProcess spawn(ProcessOptions options);

    ServerProcess(ServerProcess&& other) noexcept;
    ServerProcess& operator=(ServerProcess&&) = delete;
    ~ServerProcess();  // kills the process with SIGKILL if it still runs

    int pid() const { return pid_; }
    unsigned short port() const { return port_; }
    const std::string& serving_line() const { return serving_line_; }

    void signal(int sig) const;
    // Waits for the exit; returns the exit status, or 128 + signal number when killed, or -1
    // when the wait passes.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // SIGTERM, then wait.
    int stop(std::chrono::milliseconds limit = std::chrono::seconds(30));
    bool running();

    // Waits until standard output holds a complete line (or the wait passes).
    void wait_for_stdout_line(std::chrono::milliseconds wait) { read_stdout(wait, true); }

    // Everything written to standard output / standard error so far.
    std::string stdout_text();
    std::string stderr_text() const;

private:
    ServerProcess() = default;
    void read_stdout(std::chrono::milliseconds wait, bool until_line);

    int pid_ = -1;
    int stdout_fd_ = -1;
    std::filesystem::path stderr_path_;
    std::string stdout_;
    std::string serving_line_;
    unsigned short port_ = 0;
    std::optional<int> status_;
};

}  // namespace korvalle::testing
