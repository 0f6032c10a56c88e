// Artifact documents of fixture runs: the tail of the file, its kind word, what counts as a
// recorded artifact, and files that must never be served.
#include "src/payload/artifact.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvalle::payload {
namespace {

namespace fs = std::filesystem;
using testing::open_view;

const std::string replacement = "\xEF\xBF\xBD";

// A journal line referencing artifacts, given as (id, kind) pairs.
testing::Event referencing(std::vector<std::pair<std::string, std::string>> references) {
    std::string artifacts = "[";
    for (const auto& [id, kind] : references) {
        if (artifacts.size() > 1) artifacts += ",";
        artifacts += R"({"id":)" + testing::quote(id) + R"(,"kind":)" + testing::quote(kind) + R"(,"bytes":1})";
    }
    return {.kind = "node-settled", .labels = R"({"round":1,"node":"a"})", .artifacts = artifacts + "]"};
}

class Artifacts : public ::testing::Test {
protected:
    // The written document of the artifact, or "none".
    static std::string document(const views::RunView& view, std::string_view id) {
        auto found = artifact(view, id);
        return found ? json::write(*found) : "none";
    }
    static std::string content(const views::RunView& view, std::string_view id) {
        auto found = artifact(view, id);
        return found ? std::string(found->at("content").as_string()) : "none";
    }

    testing::RunsRoot root_;
};

TEST_F(Artifacts, KindContentAndTruncation) {
    auto run = root_.run("r-art");
    run.launch()
        .event(referencing({{"report-a", "report"}, {"log-a", ""}, {"pr-a", "PR"}, {"session-a", "session"}}))
        .event(referencing({{"report-a", "pr"}, {"chat-a", "conversation"}, {"exact", "log"}, {"over", "gate_log"}}))
        .event(referencing({{"empty", "worker_report"}, {"bom", "tandrel_session"}}))
        .artifact("report-a", "all green\n")
        .artifact("log-a", "x")
        .artifact("pr-a", "y")
        .artifact("session-a", "z")
        .artifact("chat-a", "caf\xC3\xA9")
        .artifact("exact", std::string(65535, 'e') + "E")
        .artifact("over", "F" + std::string(65535, 'o') + "G")
        .artifact("empty", "")
        .artifact("bom", "\xEF\xBB\xBFhi")
        .artifact("unreferenced", "secret");
    views::RunView view = open_view(run);

    // The first reference in journal order decides the kind.
    EXPECT_EQ(document(view, "report-a"),
              R"({"id":"report-a","kind":"worker_report","content":"all green\n","truncated":false})");
    EXPECT_EQ(document(view, "log-a"), R"({"id":"log-a","kind":"gate_log","content":"x","truncated":false})");
    EXPECT_EQ(document(view, "pr-a"), R"({"id":"pr-a","kind":"gate_log","content":"y","truncated":false})");
    EXPECT_EQ(document(view, "session-a"),
              R"({"id":"session-a","kind":"tandrel_session","content":"z","truncated":false})");
    EXPECT_EQ(document(view, "chat-a"),
              "{\"id\":\"chat-a\",\"kind\":\"conversation\",\"content\":\"caf\xC3\xA9\",\"truncated\":false}");
    EXPECT_EQ(document(view, "exact"), R"({"id":"exact","kind":"gate_log","content":")" + std::string(65535, 'e') +
                                           R"(E","truncated":false})");
    EXPECT_EQ(document(view, "over"), R"({"id":"over","kind":"gate_log","content":")" + std::string(65535, 'o') +
                                          R"(G","truncated":true})");
    EXPECT_EQ(document(view, "empty"), R"({"id":"empty","kind":"worker_report","content":"","truncated":false})");
    EXPECT_EQ(content(view, "bom"), "\xEF\xBB\xBFhi");

    EXPECT_EQ(document(view, "unreferenced"), "none");
    EXPECT_EQ(document(view, "Report-a"), "none");
}

TEST_F(Artifacts, InvalidUtf8IsReplaced) {
    // "€" is E2 82 AC: a cut after its first byte leaves 82 AC at the start of the tail.
    auto run = root_.run("r-utf8");
    run.launch()
        .event(referencing({{"cut-two", "log"}, {"cut-one", "log"}, {"end", "log"}, {"binary", "log"}}))
        .artifact("cut-two", "\xE2\x82\xAC" + std::string(65534, 'a'))
        .artifact("cut-one", "\xE2\x82\xAC" + std::string(65535, 'a'))
        .artifact("end", "ok\xE2\x82")
        .artifact("binary", std::string("\x00\xFF\xFEz\xC0\xAF", 6));
    views::RunView view = open_view(run);

    EXPECT_EQ(content(view, "cut-two"), replacement + replacement + std::string(65534, 'a'));
    EXPECT_EQ(content(view, "cut-one"), replacement + std::string(65535, 'a'));
    EXPECT_EQ(content(view, "end"), "ok" + replacement);
    EXPECT_EQ(content(view, "binary"), std::string("\x00", 1) + replacement + replacement + "z" + replacement + replacement);
}

TEST_F(Artifacts, FilesThatAreNotServed) {
    auto other = root_.run("r-other");
    other.launch().artifact("theirs", "other run's file");
    auto run = root_.run("r-links");
    run.launch()
        .event(referencing({{"missing", "log"}, {"dir", "log"}, {"fifo", "log"}, {"passwd", "log"},
                            {"cross-run", "log"}, {"up-and-back", "log"}, {"inside", "log"}, {"launch", "log"}}))
        .artifact("real", "inside the run");
    const fs::path artifacts = run.dir() / "artifacts";
    fs::create_directory(artifacts / "dir");
    ASSERT_EQ(::mkfifo((artifacts / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/etc/passwd", artifacts / "passwd");
    fs::create_symlink("../../r-other/artifacts/theirs", artifacts / "cross-run");
    fs::create_symlink("../../r-links/artifacts/real", artifacts / "up-and-back");
    fs::create_symlink("real", artifacts / "inside");
    fs::create_symlink(run.dir() / "launch.json", artifacts / "launch");
    views::RunView view = open_view(run);

    for (const char* id : {"missing", "dir", "fifo", "passwd", "cross-run"}) EXPECT_EQ(document(view, id), "none") << id;
    // Links that stay inside the run's own directory are followed.
    EXPECT_EQ(content(view, "up-and-back"), "inside the run");
    EXPECT_EQ(content(view, "inside"), "inside the run");
    EXPECT_EQ(content(view, "launch").substr(0, 1), "{");
}

TEST_F(Artifacts, RunDirectoryThatIsALinkIsServed) {
    auto stored = root_.run("elsewhere");
    stored.event(referencing({{"a", "report"}})).artifact("a", "linked run");
    stored.launch();
    fs::create_directory_symlink(stored.dir(), root_.path() / "r-linked");
    views::RunView view = open_view(root_.path() / "r-linked", "r-linked");
    EXPECT_EQ(content(view, "a"), "linked run");
}

TEST_F(Artifacts, SparseFileIsReadFromItsEnd) {
    auto run = root_.run("r-sparse");
    run.launch().event(referencing({{"huge", "log"}})).artifact("huge", "");
    // Ten gigabytes of holes with one line at the end: only the tail is ever read.
    const fs::path huge = run.dir() / "artifacts" / "huge";
    const int fd = ::open(huge.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const off_t size = 10LL * 1024 * 1024 * 1024;
    const std::string end = "last line\n";
    ASSERT_EQ(::pwrite(fd, end.data(), end.size(), size - static_cast<off_t>(end.size())),
              static_cast<ssize_t>(end.size()));
    ::close(fd);

    auto found = artifact(open_view(run), "huge");
    ASSERT_TRUE(found);
    const std::string text(found->at("content").as_string());
    EXPECT_EQ(text.size(), 65536u);
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
    EXPECT_EQ(text.find_first_not_of('\0'), 65536u - end.size());
    EXPECT_TRUE(found->at("truncated").as_bool());
}

}  // namespace
}  // namespace korvalle::payload
