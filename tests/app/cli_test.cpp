// The command line: help, version, usage errors and exit codes, through the real binary for
// what the process does and in process for the texts of the value parsers.
#include "src/app/cli.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace korvalle::testing {
namespace {

using Args = std::vector<std::string>;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome run_cli(Args args) {
    auto process = ServerProcess::spawn({.args = std::move(args)});
    int status = process.wait();
    return {status, process.stdout_text(), process.stderr_text()};
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Cli, HelpAndVersion) {
    // Without arguments the help goes to standard error with status 2.
    auto bare = run_cli({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.out, "");
    EXPECT_TRUE(bare.err.starts_with("Read API and browser view for korvalle runs — the HTTP contract an axum server "
                                     "wrapping the korvalle SDK serves.\n"));
    EXPECT_TRUE(contains(bare.err, "serve  Serve the read API described in docs/contract.md"));

    // Asked for, help and version go to standard output with status 0.
    struct Case {
        Args args;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::string long_bind = "Loopback by default: this serves a local run store and is not authenticated, so "
                                  "reaching the network is an explicit choice.";
    const Case cases[] = {
        {{"-h"}, {"Usage: korvalle-api <COMMAND>"}, {}},
        {{"--help"}, {"Usage: korvalle-api <COMMAND>"}, {}},
        {{"help"}, {"Usage: korvalle-api <COMMAND>"}, {}},
        {{"serve", "-h"},
         {"Directory holding the recorded runs to serve", "Address to bind, as `HOST:PORT` [default: 127.0.0.1:8765]",
          "How often the event stream re-reads the runs root, in milliseconds [default: 500]"},
         {long_bind}},
        // Help needs no runs root: it is answered before the required option is missed.
        {{"serve", "--help"}, {"Address to bind, as `HOST:PORT`.\n\n", long_bind, "[default: 500]"}, {}},
        {{"help", "serve"}, {"Address to bind, as `HOST:PORT`.\n\n", long_bind}, {}},
    };
    for (const auto& c : cases) {
        auto r = run_cli(c.args);
        EXPECT_EQ(r.status, 0) << c.args.back();
        EXPECT_EQ(r.err, "") << c.args.back();
        for (const auto& part : c.present) EXPECT_TRUE(contains(r.out, part)) << c.args.back() << ": " << part;
        for (const auto& part : c.absent) EXPECT_FALSE(contains(r.out, part)) << c.args.back() << ": " << part;
    }
    for (const char* flag : {"-V", "--version"}) {
        auto r = run_cli({flag});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_EQ(r.out, "korvalle-api 0.3.4\n") << flag;
    }
}

// Each kind of refusal once through the process; their texts are checked in process below.
TEST(Cli, UsageErrorsExitWith2OnStandardErrorWithoutPrefix) {
    RunsRoot root;
    std::string dir = root.path().string();
    for (const auto& args : std::vector<Args>{
             {"serve"},                                          // no runs root
             {"bogus"},                                          // unknown subcommand
             {"help", "nothing"},                                // unknown help topic
             {"serve", "--runs-root", dir, "--runs-root", dir},  // given twice
             {"serve", "--runs-root", dir, "--bind", "::1:8765"},
             {"serve", "--runs-root", dir + "/missing"},
             {"serve", "--runs-root", "\xff"},                   // not UTF-8
         }) {
        auto r = run_cli(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_FALSE(r.err.empty()) << args.back();
        EXPECT_FALSE(contains(r.err, "korvalle-api: ")) << "parser texts carry no prefix: " << r.err;
    }
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
std::string refusal(Args args) {
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
    write_file(root.path() / "file", "x");
    const std::pair<Args, std::string> cases[] = {
        {{"serve", "--runs-root", dir + "/missing"},
         "error: invalid value '" + dir + "/missing' for '--runs-root <DIR>': " + dir +
             "/missing is not a readable directory: entity not found"},
        {{"serve", "--runs-root", dir + "/file"},
         "error: invalid value '" + dir + "/file' for '--runs-root <DIR>': " + dir +
             "/file is not a readable directory: not a directory"},
        {{"serve", "--runs-root", dir, "--poll-interval-ms", "0"},
         "error: invalid value '0' for '--poll-interval-ms <MS>': number would be zero for non-zero type"},
        {{"serve", "--runs-root", dir, "--poll-interval-ms", "-1"},
         "error: invalid value '-1' for '--poll-interval-ms <MS>': invalid digit found in string"},
        {{"serve", "--runs-root", dir, "--bind", "localhost:1"},
         "error: invalid value 'localhost:1' for '--bind <ADDR>': invalid socket address syntax"},
        // An empty value after '=' is a value, refused by the option's own parser.
        {{"serve", "--runs-root", dir, "--poll-interval-ms="},
         "error: invalid value '' for '--poll-interval-ms <MS>': cannot parse integer from empty string"},
        {{"serve", "--runs-root", dir, "--bind=1.2.3.4:5="},
         "error: invalid value '1.2.3.4:5=' for '--bind <ADDR>': invalid socket address syntax"},
        {{"serve", "--runs-root="},
         "error: invalid value '' for '--runs-root <DIR>':  is not a readable directory: entity not found"},
        // A stray argument is named before a missing --runs-root.
        {{"serve", "--version"}, "error: unexpected argument '--version' found"},
        {{"serve", "--runs-root", dir, "extra"}, "error: unexpected argument 'extra' found"},
        {{"serve", "--bind", "127.0.0.1:1", "--bind=127.0.0.1:2", "--runs-root", dir},
         "error: the argument '--bind <ADDR>' cannot be used multiple times"},
        {{"serve", "--runs-root", dir, "--bind"}, "error: a value is required for '--bind <ADDR>' but none was supplied"},
        {{"serve", "--runs-root", "--bind", "127.0.0.1:1"},
         "error: a value is required for '--runs-root <DIR>' but none was supplied"},
        {{"serve", "--bind", "--nope"}, "error: a value is required for '--bind <ADDR>' but none was supplied"},
        {{"help", "serve", "extra"}, "error: unrecognized subcommand 'extra'"},
    };
    for (const auto& [args, text] : cases) EXPECT_EQ(refusal(args), text);
    if (::geteuid() != 0) {
        std::filesystem::create_directory(root.path() / "closed");
        ::chmod((root.path() / "closed").c_str(), 0);
        EXPECT_TRUE(contains(refusal({"serve", "--runs-root", dir + "/closed"}), "permission denied"));
    }
}

TEST(CliParse, NumberAndAddressTexts) {
    const std::pair<const char*, const char*> numbers[] = {
        {"", "cannot parse integer from empty string"}, {"1.5", "invalid digit found in string"},
        {"-1", "invalid digit found in string"}, {"+", "invalid digit found in string"},
        {"18446744073709551616", "number too large to fit in target type"},
        {"000", "number would be zero for non-zero type"}};
    for (const auto& [text, refusal] : numbers) {
        const korvalle::Result<std::uint64_t> parsed = cli::parse_nonzero_u64(text);
        ASSERT_FALSE(parsed.ok()) << text;
        EXPECT_EQ(korvalle::message(parsed.error()), refusal);
    }
    EXPECT_EQ(*cli::parse_nonzero_u64("18446744073709551615"), 18446744073709551615u);

    // Accepted addresses print back in their normal form.
    const std::pair<const char*, const char*> accepted[] = {
        {"0.0.0.0:9000", "0.0.0.0:9000"}, {"127.0.0.1:0", "127.0.0.1:0"}, {"[::1]:8765", "[::1]:8765"},
        {"[fe80::1%2]:80", "[fe80::1%2]:80"}, {"[::ffff:1.2.3.4]:1", "[::ffff:1.2.3.4]:1"},
        {"127.0.0.1:000080", "127.0.0.1:80"}, {"[fe80::1%00000000002]:80", "[fe80::1%2]:80"}};
    for (const auto& [text, shown] : accepted) {
        auto address = cli::parse_socket_address(text);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(cli::format_socket_address(*address), shown);
    }
    for (auto bad : {"localhost:8765", "127.0.0.1:65536", "127.0.0.1:", ":80", "::1:80", "[::1]", "1.2.3:4",
                     "127.0.0.1:0000065536", "[fe80::1%4294967296]:80", "[fe80::1%]:80", "127.0.0.1:+80",
                     "[::1%eth0]:80", "127.0.0.1:80 ", "127.0.0.1", "01.2.3.4:80"}) {
        EXPECT_FALSE(cli::parse_socket_address(bad)) << bad;
    }
}

}  // namespace
}  // namespace korvalle::testing
