// The shared words, the short digest and the current time.
#include "src/payload.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace korvalle::payload {
namespace {

TEST(StatusWord, ShowsElevenWords) {
    EXPECT_EQ(status_word("ready"), "pending");
    for (const char* word : {"pending", "running", "waiting", "blocked", "parked", "done", "failed",
                             "skipped", "cancelled", "not-completed", "unknown"})
        EXPECT_EQ(status_word(word), word);
    for (const char* other : {"Done", " done", "", "finished"}) EXPECT_EQ(status_word(other), "unknown");
}

TEST(ArtifactKindWord, MapsAliasesAndFallsBackToGateLog) {
    EXPECT_EQ(artifact_kind_word("conversation"), "conversation");
    EXPECT_EQ(artifact_kind_word("pr"), "pr");
    EXPECT_EQ(artifact_kind_word("session"), "tandrel_session");
    EXPECT_EQ(artifact_kind_word("tandrel_session"), "tandrel_session");
    EXPECT_EQ(artifact_kind_word("report"), "worker_report");
    EXPECT_EQ(artifact_kind_word("worker_report"), "worker_report");
    for (const char* other : {"gate_log", "log", "", "PR"}) EXPECT_EQ(artifact_kind_word(other), "gate_log");
}

TEST(RoleWord, OnlyExactRoles) {
    EXPECT_EQ(role_word("pr-author"), "pr-author");
    EXPECT_EQ(role_word("check-in"), "check-in");
    EXPECT_FALSE(role_word("Judge"));
    EXPECT_FALSE(role_word("reviewer"));
    EXPECT_FALSE(role_word(std::nullopt));
}

TEST(Sha256Hex, FirstSixBytesInLowercaseHex) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01");
    EXPECT_EQ(sha256_hex(std::string("a\0b", 3)).size(), 12u);
}

TEST(NowRfc3339, UtcWithTrimmedFraction) {
    static const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{0,8}[1-9])?Z)");
    std::string now = now_rfc3339();
    EXPECT_TRUE(std::regex_match(now, form)) << now;
    EXPECT_GE(now.size(), 20u);
    EXPECT_LE(now.size(), 30u);
}

}  // namespace
}  // namespace korvalle::payload
