#include "src/app/cli.hpp"

#include "sdk/base/text.hpp"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace korvalle::cli {

namespace {

constexpr std::string_view root_about =
    "Read API and browser view for korvalle runs — the HTTP contract an axum server wrapping the korvalle "
    "SDK serves.";
constexpr std::string_view serve_about = "Serve the read API described in docs/contract.md";
constexpr std::string_view default_bind = "127.0.0.1:8765";
constexpr std::string_view default_poll = "500";

constexpr std::string_view runs_root_help = "Directory holding the recorded runs to serve";
constexpr std::string_view bind_help = "Address to bind, as `HOST:PORT`";
constexpr std::string_view bind_long_help =
    "Address to bind, as `HOST:PORT`.\n\nLoopback by default: this serves a local run store and is not "
    "authenticated, so reaching the network is an explicit choice.";
constexpr std::string_view poll_help = "How often the event stream re-reads the runs root, in milliseconds";
constexpr std::string_view poll_long_help =
    "How often the event stream re-reads the runs root, in milliseconds.\n\nThe lever between how quickly a "
    "live change reaches a browser and how much of this host's disk the stream costs to hold open. A "
    "watched run's transcripts are re-read a tenth as often, because that read walks every relayed envelope "
    "of the run. Refused rather than clamped at zero: a poll of no milliseconds is a request this host "
    "cannot honour, and a usage error is the contract for one — silently correcting it would leave an "
    "operator believing the number they typed is what the stream is doing. The refusal is the field's type "
    "rather than a check on either way in, so the flag and a config file reject the same number for the "
    "same reason.";

std::string program_name(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty()) return "korvalle-api";
    return std::filesystem::path(args[0]).filename().string();
}

std::string root_help(const std::string& prog) {
    std::string out(root_about);
    out += "\n\nUsage: " + prog + " <COMMAND>\n\n";
    out += "Commands:\n";
    out += "  serve  " + std::string(serve_about) + "\n";
    out += "  help   Print this message or the help of the given subcommand(s)\n\n";
    out += "Options:\n";
    out += "  -h, --help     Print help\n";
    out += "  -V, --version  Print version\n";
    return out;
}

std::string serve_usage(const std::string& prog) { return prog + " serve [OPTIONS] --runs-root <DIR>"; }

// Indents every line of a multi-paragraph help text; blank lines stay empty.
std::string indented(std::string_view text, std::string_view indent) {
    std::string out;
    while (true) {
        auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty()) out += std::string(indent) + std::string(line);
        out += '\n';
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

std::string serve_help(const std::string& prog, bool long_form) {
    std::string out(serve_about);
    out += "\n\nUsage: " + serve_usage(prog) + "\n\nOptions:\n";
    if (!long_form) {
        out += "      --runs-root <DIR>        " + std::string(runs_root_help) + "\n";
        out += "      --bind <ADDR>            " + std::string(bind_help) + " [default: " +
               std::string(default_bind) + "]\n";
        out += "      --poll-interval-ms <MS>  " + std::string(poll_help) + " [default: " +
               std::string(default_poll) + "]\n";
        out += "  -h, --help                   Print help (see more with '--help')\n";
        return out;
    }
    const std::string indent(10, ' ');
    out += "      --runs-root <DIR>\n" + indented(runs_root_help, indent) + "\n";
    out += "      --bind <ADDR>\n" + indented(bind_long_help, indent) + "\n" + indent + "[default: " +
           std::string(default_bind) + "]\n\n";
    out += "      --poll-interval-ms <MS>\n" + indented(poll_long_help, indent) + "\n" + indent +
           "[default: " + std::string(default_poll) + "]\n\n";
    out += "  -h, --help\n" + indent + "Print help (see a summary with '-h')\n";
    return out;
}

Exit usage_error(std::string_view message, const std::string& usage) {
    std::string out = "error: " + std::string(message) + "\n\n";
    if (!usage.empty()) out += "Usage: " + usage + "\n\n";
    out += "For more information, try '--help'.\n";
    return Exit{2, std::move(out), false};
}

Exit invalid_value(std::string_view value, std::string_view arg, std::string_view why) {
    return usage_error("invalid value '" + std::string(value) + "' for '" + std::string(arg) + "': " +
                           std::string(why),
                       "");
}

// A CLI11 error message without CLI11's own decoration, for the usage-error layout.
std::string parse_error_text(const CLI::ParseError& e) {
    std::string text = e.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

struct ServeOption {
    std::string_view name;
    std::string_view value_name;
};
constexpr std::array<ServeOption, 3> serve_options{{
    {"--runs-root", "DIR"}, {"--bind", "ADDR"}, {"--poll-interval-ms", "MS"}}};

const ServeOption* serve_option(std::string_view arg) {
    auto name = arg.substr(0, arg.find('='));
    for (const auto& option : serve_options) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

std::string shown(const ServeOption& option) {
    return std::string(option.name) + " <" + std::string(option.value_name) + ">";
}

bool is_help_flag(std::string_view arg) { return arg == "-h" || arg == "--help"; }

// The arguments of serve read left to right, as the usual parser does, before CLI11 checks what
// is missing: a stray argument (the root's version flag included) or an option whose value is
// cut off by another option is the refusal, even when --runs-root is missing as well (CLI11
// itself would take the next option as the value).
Result<void> check_serve_arguments(const std::vector<std::string>& args, std::size_t serve_at) {
    const auto refused = [](std::string text) {
        return Fault{.kind = Fault::Kind::Refused, .detail = std::move(text), .place = {}};
    };
    for (std::size_t i = serve_at + 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (is_help_flag(arg)) return {};
        const ServeOption* option = serve_option(arg);
        if (!option) return refused("unexpected argument '" + arg + "' found");
        if (arg.find('=') != std::string::npos) continue;
        // A long option in its place cuts the value off; "-1" is a value, refused by its parser.
        if (i + 1 == args.size() || args[i + 1].rfind("--", 0) == 0 || args[i + 1] == "-h") {
            return refused("a value is required for '" + shown(*option) + "' but none was supplied");
        }
        ++i;  // its value
    }
    return {};
}

// CLI11 reads "--poll-interval-ms=" as a missing value; the empty text is a value, refused by
// the option's own parser.
std::vector<std::string> empty_values_split(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (const auto& arg : args) {
        if (arg.find('=') + 1 == arg.size() && serve_option(arg)) {
            out.push_back(arg.substr(0, arg.size() - 1));
            out.emplace_back();
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

// CLI11's refusal of an option given twice ("--bind: At Most 1 required but received 2"), as
// the usage error says it.
std::string mismatch_text(const CLI::ArgumentMismatch& e) {
    std::string text = parse_error_text(e);
    const ServeOption* option = serve_option(text.substr(0, text.find(':')));
    if (!option || text.find("At Most") == std::string::npos) return text;
    return "the argument '" + shown(*option) + "' cannot be used multiple times";
}

}  // namespace

Result<RunsRoot> RunsRoot::try_from(std::string_view path) {
    std::string owned(path);
    DIR* dir = ::opendir(owned.c_str());
    if (dir == nullptr) {
        int err = errno;
        return Fault{.kind = Fault::Kind::Refused,
                     .detail = owned + " is not a readable directory: " + text::io_kind_word(err),
                     .place = {}};
    }
    ::closedir(dir);
    return RunsRoot(std::move(owned));
}

namespace {

// One or more ASCII digits whose value is at most max; leading zeros allowed, in any number.
std::optional<std::uint64_t> bounded_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<boost::asio::ip::tcp::endpoint> parse_socket_address(std::string_view text) {
    namespace ip = boost::asio::ip;
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    std::string_view port_text = text.substr(colon + 1);
    auto port = bounded_decimal(port_text, 65535);
    if (!port) return std::nullopt;
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 2 || host.back() != ']') return std::nullopt;
        std::string inner(host.substr(1, host.size() - 2));
        std::uint64_t scope = 0;
        if (auto pct = inner.find('%'); pct != std::string::npos) {
            auto scope_id = bounded_decimal(std::string_view(inner).substr(pct + 1), 0xffffffffU);
            if (!scope_id) return std::nullopt;
            scope = *scope_id;
            inner.resize(pct);
        }
        in6_addr raw{};
        if (::inet_pton(AF_INET6, inner.c_str(), &raw) != 1) return std::nullopt;
        ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &raw, bytes.size());
        return ip::tcp::endpoint(ip::address_v6(bytes, static_cast<unsigned long>(scope)), static_cast<unsigned short>(*port));
    }
    std::string v4(host);
    in_addr raw{};
    if (::inet_pton(AF_INET, v4.c_str(), &raw) != 1) return std::nullopt;
    return ip::tcp::endpoint(ip::address_v4(ntohl(raw.s_addr)), static_cast<unsigned short>(*port));
}

std::string format_socket_address(const boost::asio::ip::tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    std::string port = std::to_string(endpoint.port());
    if (address.is_v4()) return address.to_v4().to_string() + ":" + port;
    auto v6 = address.to_v6();
    auto bytes = v6.to_bytes();
    char buf[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, bytes.data(), buf, sizeof buf);
    std::string out = "[" + std::string(buf);
    if (v6.scope_id() != 0) out += "%" + std::to_string(v6.scope_id());
    return out + "]:" + port;
}

Result<std::uint64_t> parse_nonzero_u64(std::string_view text) {
    Result<std::uint64_t> parsed = text::parse_u64(text);
    if (parsed && *parsed == 0) {
        return Fault{.kind = Fault::Kind::Refused, .detail = "number would be zero for non-zero type", .place = {}};
    }
    return parsed;
}

namespace {

// The option texts of serve as typed, defaults filled in.
struct ServeTexts {
    std::string runs_root;
    std::string bind{default_bind};
    std::string poll{default_poll};
};

// What is refused before CLI11 runs: bytes that are not UTF-8, anything at the root but its
// flags and subcommands (named plainly rather than as a missing subcommand), and a stray
// argument of serve.
std::optional<Exit> early_refusal(const std::vector<std::string>& args, const std::string& prog) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!text::is_utf8(args[i])) {
            return usage_error("invalid UTF-8 was detected in one or more arguments", prog + " <COMMAND>");
        }
    }
    const std::string& first = args[1];
    if (first == "serve") {
        const Result<void> checked = check_serve_arguments(args, 1);
        if (!checked) return usage_error(message(checked.error()), serve_usage(prog));
        return std::nullopt;
    }
    if (first == "help" || first == "-h" || first == "--help" || first == "-V" || first == "--version") {
        return std::nullopt;
    }
    bool option = !first.empty() && first.front() == '-';
    return usage_error(option ? "unexpected argument '" + first + "' found" : "unrecognized subcommand '" + first + "'",
                       prog + " <COMMAND>");
}

// The answer to the help subcommand with its topics.
Exit help_for(const std::vector<std::string>& topics, const std::string& prog) {
    if (topics.empty()) return Exit{0, root_help(prog), true};
    if (topics.size() == 1 && topics[0] == "serve") return Exit{0, serve_help(prog, true), true};
    // serve has no subcommands of its own, so a second topic is never one.
    const std::string& unknown = topics[0] == "serve" ? topics[1] : topics[0];
    return usage_error("unrecognized subcommand '" + unknown + "'", prog + " <COMMAND>");
}

// Runs CLI11 over the arguments: the texts of serve, or what to print instead.
std::variant<ServeTexts, Exit> parse_texts(const std::vector<std::string>& args, const std::string& prog) {
    CLI::App app{std::string(root_about), prog};
    app.set_help_flag("-h", "Print help");
    app.set_help_all_flag("--help", "Print help");
    app.set_version_flag("-V,--version", std::string(version));
    app.require_subcommand(1);

    ServeTexts texts;
    CLI::App* serve = app.add_subcommand("serve", std::string(serve_about));
    serve->add_option("--runs-root", texts.runs_root)->type_name("DIR")->required();
    serve->add_option("--bind", texts.bind)->type_name("ADDR");
    serve->add_option("--poll-interval-ms", texts.poll)->type_name("MS");

    CLI::App* help = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    std::vector<std::string> help_topics;
    help->add_option("command", help_topics);

    // CLI11 wants the arguments without the program name, last first.
    auto split = empty_values_split(args);
    std::vector<std::string> rest(split.rbegin(), split.rend() - 1);
    try {
        app.parse(rest);
    } catch (const CLI::CallForHelp&) {
        return Exit{0, serve->parsed() ? serve_help(prog, false) : root_help(prog), true};
    } catch (const CLI::CallForAllHelp&) {
        return Exit{0, serve->parsed() ? serve_help(prog, true) : root_help(prog), true};
    } catch (const CLI::CallForVersion&) {
        return Exit{0, prog + " " + std::string(version) + "\n", true};
    } catch (const CLI::RequiredError& e) {
        if (serve->parsed() && texts.runs_root.empty()) {
            return usage_error("the following required arguments were not provided:\n  --runs-root <DIR>",
                               serve_usage(prog));
        }
        return usage_error(parse_error_text(e), prog + " <COMMAND>");
    } catch (const CLI::ArgumentMismatch& e) {
        return usage_error(mismatch_text(e), serve_usage(prog));
    } catch (const CLI::ParseError& e) {
        return usage_error(parse_error_text(e), serve->parsed() ? serve_usage(prog) : prog + " <COMMAND>");
    }
    if (help->parsed()) return help_for(help_topics, prog);
    return texts;
}

// The typed values, each text through its own parser.
std::variant<ServeArgs, Exit> typed(const ServeTexts& texts) {
    Result<RunsRoot> root = RunsRoot::try_from(texts.runs_root);
    if (!root) return invalid_value(texts.runs_root, "--runs-root <DIR>", message(root.error()));
    auto bind = parse_socket_address(texts.bind);
    if (!bind) return invalid_value(texts.bind, "--bind <ADDR>", "invalid socket address syntax");
    const Result<std::uint64_t> poll = parse_nonzero_u64(texts.poll);
    if (!poll) return invalid_value(texts.poll, "--poll-interval-ms <MS>", message(poll.error()));
    return ServeArgs{std::move(root).value(), *bind, *poll};
}

}  // namespace

std::variant<ServeArgs, Exit> parse(const std::vector<std::string>& args) {
    const std::string prog = program_name(args);
    if (args.size() <= 1) return Exit{2, root_help(prog), false};
    if (auto refused = early_refusal(args, prog)) return std::move(*refused);
    auto texts = parse_texts(args, prog);
    if (auto* exit = std::get_if<Exit>(&texts)) return std::move(*exit);
    return typed(std::get<ServeTexts>(texts));
}

}  // namespace korvalle::cli
