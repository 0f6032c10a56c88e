// Writing nodes as JSON values: key order, set values equal to defaults, and the round trip of
// generated nodes through every reading form.
#include "sdk/plan/plan_write.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/plan/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace korvalle::plan {
namespace {

using Keys = std::vector<std::string>;

Keys keys(const boost::json::object& object) {
    Keys out;
    for (const auto& member : object) out.emplace_back(member.key());
    return out;
}

std::string written(const Node& node) { return json::write(node_to_value(node)); }

TEST(NodeToValue, WritesSetFieldsInDeclaredOrder) {
    EXPECT_EQ(written(checks::full_node()), checks::full_node_json);
    EXPECT_EQ(written(Node{}), R"({"id":""})");
    // Set values that equal a default are still written; an absent checkpoint is not.
    EXPECT_EQ(written(Node{.id = "a", .task = "", .max_turns = 0, .verify_via_ci = false,
                           .steps = std::vector<Step>{}, .resume = Resume{"b"}}),
              R"({"id":"a","task":"","max_turns":0,"verify_via_ci":false,"steps":[],"resume":{"branch":"b"}})");
    EXPECT_TRUE(node_to_value(Node{.max_turns = 12}).at("max_turns").is_uint64());
}

// ---- Round trip over generated nodes: what the writer writes reads back equal. ----

class NodeGenerator {
public:
    explicit NodeGenerator(std::uint32_t seed) : rng_(seed) {}

    Node node() {
        Node n;
        shared(n);
        n.context = maybe_text();
        n.parked = coin();
        for (auto* field : {&n.repo, &n.base_branch, &n.branch, &n.title, &n.execution_checkout}) *field = maybe_text();
        if (coin()) n.repo_type = pick<RepoType>(2);
        if (coin()) n.workflow = pick<Workflow>(2);
        if (coin()) n.merge_policy = pick<MergePolicy>(4);
        if (coin()) n.verify_via_ci = coin();
        if (coin()) {
            n.steps.emplace();
            for (int i = below(4); i > 0; --i) shared(n.steps->emplace_back());
        }
        if (coin()) n.resume = Resume{text(), maybe_text(), texts()};
        return n;
    }

private:
    // The fields that steps and nodes share.
    template <class R>
    void shared(R& r) {
        r.id = text();
        r.kind = pick<NodeKind>(2);
        r.deps = texts();
        r.max_turns = maybe_turns();
        r.expects_no_diff = coin();
        for (auto* field : {&r.task, &r.persona, &r.done_when, &r.executor, &r.agent_graph}) *field = maybe_text();
    }

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool coin() { return below(2) == 1; }
    template <class Enum>
    Enum pick(int count) { return static_cast<Enum>(below(count)); }

    std::string text() {
        static const std::vector<std::string> fragments = {"", "a", "id", "~", "null", "\"", "\\", "\n",
                                                        "é", "日本", "run:x#y", " ", "kind", "\x01"};
        std::string out;
        for (int i = below(3); i > 0; --i) out += fragments[below(static_cast<int>(fragments.size()))];
        return out;
    }
    std::optional<std::string> maybe_text() { return coin() ? std::optional(text()) : std::nullopt; }
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (int i = below(4); i > 0; --i) out.push_back(text());
        return out;
    }
    std::optional<std::uint32_t> maybe_turns() {
        switch (below(4)) {
        case 0: return std::nullopt;
        case 1: return 0u;
        case 2: return std::numeric_limits<std::uint32_t>::max();
        default: return std::uniform_int_distribution<std::uint32_t>()(rng_);
        }
    }

    std::mt19937 rng_;
};

TEST(NodeRoundTrip, GeneratedNodesReadBackEqualInEveryValueForm) {
    NodeGenerator gen(20261207);
    for (int i = 0; i < 2000; ++i) {
        const Node original = gen.node();
        const boost::json::value written = node_to_value(original);
        const std::string text = json::write(written);
        auto from_value = node_from_value(written);
        ASSERT_TRUE(from_value.ok()) << i << ": " << message(from_value.error());
        ASSERT_EQ(*from_value, original) << i << ": " << text;
        ASSERT_EQ(checks::ok(node_from_content(written)), original) << i << ": " << text;

        // Through text, as a requeued node's object travels in a journal line.
        auto reparsed = json::parse(text);
        ASSERT_TRUE(reparsed.ok()) << i << ": " << message(reparsed.error());
        ASSERT_EQ(*reparsed, written) << i << ": " << text;
        ASSERT_EQ(checks::ok(node_from_value(*reparsed)), original) << i << ": " << text;

        // Writing what was read gives the same object again, keys in the same order.
        ASSERT_EQ(keys(node_to_value(*from_value)), keys(written.as_object())) << i;
    }
}

}  // namespace
}  // namespace korvalle::plan
