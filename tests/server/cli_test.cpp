// The command line: help, version, usage errors and exit codes, through the real binary for
// what the process does and in process for the value parsers.
#include "src/cli.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace korvalle::testing {
namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run_cli(std::vector<std::string> args) {
    auto process = ServerProcess::spawn({.args = std::move(args)});
    int status = process.wait();
    return {status, process.stdout_text(), process.stderr_text()};
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Cli, NoArgumentsPrintsTheHelpOnStandardErrorWith2) {
    auto r = run_cli({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Read API and browser view for korvalle runs — the HTTP contract an axum server wrapping "
                          "the korvalle SDK serves.\n",
                          0),
              0u);
    EXPECT_TRUE(contains(r.err, "serve  Serve the read API described in docs/contract.md"));
}

TEST(Cli, HelpAndVersionGoToStandardOutputWith0) {
    auto version = run_cli({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "korvalle-api 0.3.4\n");
    EXPECT_EQ(run_cli({"--version"}).out, "korvalle-api 0.3.4\n");
    for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"help"}}) {
        auto r = run_cli(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_TRUE(contains(r.out, "Usage: korvalle-api <COMMAND>")) << args[0];
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, ServeHelpShortAndLong) {
    auto short_help = run_cli({"serve", "-h"});
    EXPECT_EQ(short_help.status, 0);
    EXPECT_TRUE(contains(short_help.out, "Serve the read API described in docs/contract.md"));
    EXPECT_TRUE(contains(short_help.out, "Directory holding the recorded runs to serve"));
    EXPECT_TRUE(contains(short_help.out, "Address to bind, as `HOST:PORT` [default: 127.0.0.1:8765]"));
    EXPECT_TRUE(contains(short_help.out,
                         "How often the event stream re-reads the runs root, in milliseconds [default: 500]"));
    EXPECT_FALSE(contains(short_help.out, "Loopback by default"));
    for (auto args : std::vector<std::vector<std::string>>{{"serve", "--help"}, {"help", "serve"}}) {
        auto long_help = run_cli(args);
        EXPECT_EQ(long_help.status, 0);
        EXPECT_TRUE(contains(long_help.out, "Address to bind, as `HOST:PORT`.\n\n"));
        EXPECT_TRUE(contains(long_help.out, "Loopback by default: this serves a local run store and is not "
                                            "authenticated, so reaching the network is an explicit choice."));
        EXPECT_TRUE(contains(long_help.out, "so the flag and a config file reject the same number for the same reason."));
        EXPECT_TRUE(contains(long_help.out, "[default: 500]"));
    }
    // Help needs no runs root: it is answered before the required option is missed.
    EXPECT_EQ(run_cli({"serve", "--help"}).status, 0);
}

TEST(Cli, UsageErrorsExitWith2OnStandardError) {
    RunsRoot root;
    std::string dir = root.path().string();
    std::vector<std::vector<std::string>> refused{
        {"serve"},                                                       // no runs root
        {"bogus"},                                                       // unknown subcommand
        {"serve", "--runs-root", dir, "--nope"},                         // unknown option
        {"serve", "--runs-root", dir, "--runs-root", dir},               // given twice
        {"serve", "--runs-root", dir, "--version"},                      // no version flag on serve
        {"serve", "--runs-root", dir, "--bind", "localhost:8765"},
        {"serve", "--runs-root", dir, "--bind", "127.0.0.1"},
        {"serve", "--runs-root", dir, "--bind", "::1:8765"},
        {"serve", "--runs-root", dir, "--bind", "01.2.3.4:80"},
        {"serve", "--runs-root", dir, "--poll-interval-ms", "0"},
        {"serve", "--runs-root", dir, "--poll-interval-ms", "-1"},
        {"serve", "--runs-root", dir + "/missing"},
        {"serve", "--runs-root", "\xff"},
        {"help", "nothing"},
    };
    for (const auto& args : refused) {
        auto r = run_cli(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_FALSE(r.err.empty()) << args.back();
        EXPECT_FALSE(contains(r.err, "korvalle-api: ")) << "parser texts carry no prefix: " << r.err;
    }
}

TEST(Cli, RefusalTextsNameTheCause) {
    RunsRoot root;
    std::string dir = root.path().string();
    write_file(root.path() / "file", "x");
    EXPECT_TRUE(contains(run_cli({"serve", "--runs-root", dir + "/missing"}).err,
                         dir + "/missing is not a readable directory: entity not found"));
    EXPECT_TRUE(contains(run_cli({"serve", "--runs-root", dir + "/file"}).err,
                         dir + "/file is not a readable directory: not a directory"));
    if (::geteuid() != 0) {
        std::filesystem::create_directory(root.path() / "closed");
        ::chmod((root.path() / "closed").c_str(), 0);
        EXPECT_TRUE(contains(run_cli({"serve", "--runs-root", dir + "/closed"}).err, "permission denied"));
    }
    EXPECT_TRUE(contains(run_cli({"serve", "--runs-root", dir, "--poll-interval-ms", "0"}).err,
                         "number would be zero for non-zero type"));
    EXPECT_TRUE(contains(run_cli({"serve", "--runs-root", dir, "--bind", "localhost:1"}).err,
                         "invalid socket address syntax"));
}

TEST(CliParse, AcceptedCommandLines) {
    RunsRoot root;
    std::string dir = root.path().string();
    auto parsed = cli::parse({"korvalle-api", "serve", "--runs-root", dir});
    ASSERT_TRUE(std::holds_alternative<cli::ServeArgs>(parsed));
    auto& args = std::get<cli::ServeArgs>(parsed);
    EXPECT_EQ(args.runs_root.str(), dir);
    EXPECT_EQ(cli::format_socket_address(args.bind), "127.0.0.1:8765");
    EXPECT_EQ(args.poll_interval_ms, 500u);

    parsed = cli::parse({"x", "serve", "--runs-root=" + dir, "--bind", "[::1]:9", "--poll-interval-ms", "+250"});
    ASSERT_TRUE(std::holds_alternative<cli::ServeArgs>(parsed));
    EXPECT_EQ(cli::format_socket_address(std::get<cli::ServeArgs>(parsed).bind), "[::1]:9");
    EXPECT_EQ(std::get<cli::ServeArgs>(parsed).poll_interval_ms, 250u);
}

// The first line of a refusal, with its exit status checked.
std::string refusal(std::vector<std::string> args) {
    args.insert(args.begin(), "korvalle-api");
    auto parsed = cli::parse(args);
    auto* exit = std::get_if<cli::Exit>(&parsed);
    if (!exit) return "(accepted)";
    EXPECT_EQ(exit->status, 2);
    EXPECT_FALSE(exit->to_stdout);
    return exit->text.substr(0, exit->text.find('\n'));
}

TEST(CliParse, RefusalsNameTheirCause) {
    RunsRoot root;
    std::string dir = root.path().string();
    // An empty value after '=' is a value, refused by the option's own parser.
    EXPECT_EQ(refusal({"serve", "--runs-root", dir, "--poll-interval-ms="}),
              "error: invalid value '' for '--poll-interval-ms <MS>': cannot parse integer from empty string");
    EXPECT_EQ(refusal({"serve", "--runs-root", dir, "--bind=1.2.3.4:5="}),
              "error: invalid value '1.2.3.4:5=' for '--bind <ADDR>': invalid socket address syntax");
    EXPECT_EQ(refusal({"serve", "--runs-root="}),
              "error: invalid value '' for '--runs-root <DIR>':  is not a readable directory: entity not found");
    // A stray argument is named before a missing --runs-root.
    EXPECT_EQ(refusal({"serve", "--version"}), "error: unexpected argument '--version' found");
    EXPECT_EQ(refusal({"serve", "--runs-root", dir, "extra"}), "error: unexpected argument 'extra' found");
    EXPECT_EQ(refusal({"serve", "--bind", "127.0.0.1:1", "--bind=127.0.0.1:2", "--runs-root", dir}),
              "error: the argument '--bind <ADDR>' cannot be used multiple times");
    EXPECT_EQ(refusal({"serve", "--runs-root", dir, "--bind"}),
              "error: a value is required for '--bind <ADDR>' but none was supplied");
    EXPECT_EQ(refusal({"serve", "--runs-root", "--bind", "127.0.0.1:1"}),
              "error: a value is required for '--runs-root <DIR>' but none was supplied");
    EXPECT_EQ(refusal({"serve", "--bind", "--nope"}),
              "error: a value is required for '--bind <ADDR>' but none was supplied");
    EXPECT_EQ(refusal({"serve", "--runs-root", dir, "--poll-interval-ms", "-1"}),
              "error: invalid value '-1' for '--poll-interval-ms <MS>': invalid digit found in string");
    EXPECT_EQ(refusal({"help", "serve", "extra"}), "error: unrecognized subcommand 'extra'");
}

TEST(CliParse, NumberAndAddressTexts) {
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("")), "cannot parse integer from empty string");
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("1.5")), "invalid digit found in string");
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("-1")), "invalid digit found in string");
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("+")), "invalid digit found in string");
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("18446744073709551616")),
              "number too large to fit in target type");
    EXPECT_EQ(std::get<std::uint64_t>(cli::parse_nonzero_u64("18446744073709551615")), 18446744073709551615u);
    EXPECT_EQ(std::get<std::string>(cli::parse_nonzero_u64("000")), "number would be zero for non-zero type");

    for (auto ok : {"0.0.0.0:9000", "127.0.0.1:0", "[::1]:8765", "[fe80::1%2]:80", "[::ffff:1.2.3.4]:1",
                    "127.0.0.1:000080", "[fe80::1%00000000002]:80"}) {
        EXPECT_TRUE(cli::parse_socket_address(ok)) << ok;
    }
    for (auto bad : {"localhost:8765", "127.0.0.1:65536", "127.0.0.1:", ":80", "::1:80", "[::1]", "1.2.3:4",
                     "127.0.0.1:0000065536", "[fe80::1%4294967296]:80", "[fe80::1%]:80",
                     "127.0.0.1:+80", "[::1%eth0]:80", "127.0.0.1:80 "}) {
        EXPECT_FALSE(cli::parse_socket_address(bad)) << bad;
    }
    EXPECT_EQ(cli::format_socket_address(*cli::parse_socket_address("[fe80::1%2]:80")), "[fe80::1%2]:80");
    EXPECT_EQ(cli::format_socket_address(*cli::parse_socket_address("[::ffff:1.2.3.4]:1")), "[::ffff:1.2.3.4]:1");
    EXPECT_EQ(cli::format_socket_address(*cli::parse_socket_address("127.0.0.1:000080")), "127.0.0.1:80");
}

}  // namespace
}  // namespace korvalle::testing
