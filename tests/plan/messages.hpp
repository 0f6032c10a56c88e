// Helpers shared by the plan reader and writer tests.
#pragma once

#include "sdk/plan/plan.hpp"

#include <gtest/gtest.h>

// Tests build expected records with designated initializers; the fields they leave out keep
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <string>
#include <string_view>
#include <vector>

namespace korvalle::plan::checks {

// The message without a final " at line L column C" (left as it is when it has none).
inline std::string without_location(const std::string& message) {
    std::size_t at = message.rfind(" at line ");
    if (at == std::string::npos) return message;
    std::string_view rest = std::string_view(message).substr(at + 9);
    std::size_t column = rest.find(" column ");
    if (column == std::string_view::npos) return message;
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(rest.substr(0, column)) || !digits(rest.substr(column + 8))) return message;
    return message.substr(0, at);
}

// The message of a read's fault, or "" for a successful read.
template <class T>
std::string error_text(const Result<T>& read) {
    return read.ok() ? std::string() : message(read.error());
}

// "read" for a successful read, else its message without location.
template <class T>
std::string outcome(const Result<T>& read) {
    return read.ok() ? "read" : without_location(message(read.error()));
}

// The value of a read that must succeed (a default value, and a failure, when it does not).
template <class T>
T ok(const Result<T>& read) {
    EXPECT_TRUE(read.ok()) << message(read.error());
    return read.ok() ? read.value() : T{};
}

// Whether the text starts with the prefix (gtest shows both when it does not).
inline ::testing::AssertionResult starts(const std::string& text, std::string_view prefix) {
    if (text.rfind(prefix, 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << '"' << text << "\" does not start with \"" << prefix << '"';
}

// A node with every field set, and its written JSON object (keys in declared order).
inline Node full_node() {
    return Node{.id = "n1", .kind = NodeKind::Human, .task = "task", .persona = "persona",
                .deps = {"a", "run:other#b", "a"}, .done_when = "done", .max_turns = 12, .expects_no_diff = true,
                .context = "ctx", .parked = true, .executor = "exec", .agent_graph = "graph", .repo = "repo",
                .repo_type = RepoType::Team, .workflow = Workflow::Remote, .merge_policy = MergePolicy::ChangeDirect,
                .base_branch = "main", .branch = "feature", .title = "title", .execution_checkout = "checkout",
                .verify_via_ci = false,
                .steps = std::vector<Step>{{.id = "s1", .kind = NodeKind::Human, .task = "t", .persona = "p",
                                            .deps = {"x"}, .done_when = "d", .max_turns = 0, .expects_no_diff = true,
                                            .executor = "e", .agent_graph = "g"}},
                .resume = Resume{"b", "", {"s1", "s1"}}};
}
inline const std::string full_node_json =
    R"({"id":"n1","kind":"human","task":"task","persona":"persona","deps":["a","run:other#b","a"],)"
    R"("done_when":"done","max_turns":12,"expects_no_diff":true,"context":"ctx","parked":true,)"
    R"("executor":"exec","agent_graph":"graph","repo":"repo","repo_type":"team","workflow":"remote",)"
    R"("merge_policy":"change-direct","base_branch":"main","branch":"feature","title":"title",)"
    R"("execution_checkout":"checkout","verify_via_ci":false,"steps":[{"id":"s1","kind":"human","task":"t",)"
    R"("persona":"p","deps":["x"],"done_when":"d","max_turns":0,"expects_no_diff":true,"executor":"e",)"
    R"("agent_graph":"g"}],"resume":{"branch":"b","checkpoint":"","completed_steps":["s1","s1"]}})";

// One input and what reading it must give.
struct Case {
    std::string input, expected;
};

template <class F>
void expect_each(const std::vector<Case>& cases, F&& outcome_of) {
    for (const Case& c : cases) EXPECT_EQ(outcome_of(c.input), c.expected) << c.input;
}

}  // namespace korvalle::plan::checks
