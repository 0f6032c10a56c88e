// The shared words, the short digest and the current time.
#include "src/payload.hpp"

#include <gtest/gtest.h>

#include <cctype>

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

// "YYYY-MM-DDTHH:MM:SS", then "." and 1 to 9 digits not ending in 0 when there is a fraction,
// then "Z".
bool is_trimmed_utc(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < shape.size() + 1 || text.back() != 'Z') return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    std::string fraction = text.substr(shape.size(), text.size() - shape.size() - 1);
    if (fraction.empty()) return true;
    if (fraction[0] != '.' || fraction.size() < 2 || fraction.size() > 10 || fraction.back() == '0') return false;
    for (std::size_t i = 1; i < fraction.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(fraction[i]))) return false;
    return true;
}

TEST(NowRfc3339, UtcWithTrimmedFraction) {
    std::string now = now_rfc3339();
    EXPECT_TRUE(is_trimmed_utc(now)) << now;
}

}  // namespace
}  // namespace korvalle::payload
