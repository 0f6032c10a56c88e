// The shared words.
#include "src/payload/vocabulary.hpp"

#include <gtest/gtest.h>

namespace korvalle::payload {
namespace {

TEST(Words, StatusKindAndRole) {
    EXPECT_EQ(status_word("ready"), "pending");
    for (const char* word : {"pending", "running", "waiting", "blocked", "parked", "done", "failed",
                             "skipped", "cancelled", "not-completed", "unknown"})
        EXPECT_EQ(status_word(word), word);
    for (const char* other : {"Done", " done", "", "finished"}) EXPECT_EQ(status_word(other), "unknown");

    const std::pair<const char*, const char*> kinds[] = {
        {"conversation", "conversation"}, {"pr", "pr"}, {"session", "tandrel_session"},
        {"tandrel_session", "tandrel_session"}, {"report", "worker_report"}, {"worker_report", "worker_report"},
        {"gate_log", "gate_log"}, {"log", "gate_log"}, {"", "gate_log"}, {"PR", "gate_log"}};
    for (const auto& [kind, word] : kinds) EXPECT_EQ(artifact_kind_word(kind), word) << kind;

    EXPECT_EQ(role_word("check-in"), "check-in");
    for (auto other : {std::optional<std::string_view>("Judge"), std::optional<std::string_view>("reviewer"),
                       std::optional<std::string_view>()})
        EXPECT_FALSE(role_word(other));
}

}  // namespace
}  // namespace korvalle::payload
