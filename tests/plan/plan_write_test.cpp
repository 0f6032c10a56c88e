#include "sdk/json.hpp"
#include "sdk/plan.hpp"

#include <boost/json/parse.hpp>
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

Node full_node() {
    Node n;
    n.id = "n1";
    n.kind = NodeKind::Human;
    n.task = "task";
    n.persona = "persona";
    n.deps = {"a", "run:other#b", "a"};
    n.done_when = "done";
    n.max_turns = 12;
    n.expects_no_diff = true;
    n.context = "ctx";
    n.parked = true;
    n.executor = "exec";
    n.agent_graph = "graph";
    n.repo = "repo";
    n.repo_type = RepoType::Team;
    n.workflow = Workflow::Remote;
    n.merge_policy = MergePolicy::ChangeDirect;
    n.base_branch = "main";
    n.branch = "feature";
    n.title = "title";
    n.execution_checkout = "checkout";
    n.verify_via_ci = true;
    Step s;
    s.id = "s1";
    s.kind = NodeKind::Human;
    s.task = "t";
    s.persona = "p";
    s.deps = {"x"};
    s.done_when = "d";
    s.max_turns = 0;
    s.expects_no_diff = true;
    s.executor = "e";
    s.agent_graph = "g";
    n.steps = std::vector<Step>{s};
    n.resume = Resume{"b", "c", {"s1", "s1"}};
    return n;
}

TEST(NodeToValue, BareNodeIsItsIdAlone) {
    Node n;
    n.id = "";
    auto v = node_to_value(n);
    EXPECT_EQ(keys(v), Keys{"id"});
    EXPECT_EQ(v.at("id").as_string(), "");
}

TEST(NodeToValue, FullNodeWritesEveryKeyInDeclaredOrder) {
    auto v = node_to_value(full_node());
    EXPECT_EQ(keys(v), (Keys{"id", "kind", "task", "persona", "deps", "done_when", "max_turns",
                             "expects_no_diff", "context", "parked", "executor", "agent_graph", "repo",
                             "repo_type", "workflow", "merge_policy", "base_branch", "branch", "title",
                             "execution_checkout", "verify_via_ci", "steps", "resume"}));
    EXPECT_EQ(v.at("kind").as_string(), "human");
    EXPECT_EQ(v.at("repo_type").as_string(), "team");
    EXPECT_EQ(v.at("workflow").as_string(), "remote");
    EXPECT_EQ(v.at("merge_policy").as_string(), "change-direct");
    EXPECT_EQ(v.at("deps"), boost::json::parse(R"(["a","run:other#b","a"])"));
    EXPECT_TRUE(v.at("max_turns").is_uint64());
    EXPECT_EQ(v.at("parked"), true);

    const auto& step = v.at("steps").as_array().at(0).as_object();
    EXPECT_EQ(keys(step), (Keys{"id", "kind", "task", "persona", "deps", "done_when", "max_turns",
                                "expects_no_diff", "executor", "agent_graph"}));
    EXPECT_EQ(step.at("max_turns").as_uint64(), 0u);

    const auto& resume = v.at("resume").as_object();
    EXPECT_EQ(keys(resume), (Keys{"branch", "checkpoint", "completed_steps"}));
    EXPECT_EQ(resume.at("completed_steps"), boost::json::parse(R"(["s1","s1"])"));
}

TEST(NodeToValue, SetValuesThatEqualDefaultsSurvive) {
    Node n;
    n.id = "a";
    n.max_turns = 0;
    n.verify_via_ci = false;
    n.steps = std::vector<Step>{};
    n.task = "";
    n.resume = Resume{"b", std::nullopt, {}};
    auto v = node_to_value(n);
    EXPECT_EQ(keys(v), (Keys{"id", "task", "max_turns", "verify_via_ci", "steps", "resume"}));
    EXPECT_EQ(v.at("max_turns").as_uint64(), 0u);
    EXPECT_EQ(v.at("verify_via_ci"), false);
    EXPECT_TRUE(v.at("steps").as_array().empty());
    EXPECT_EQ(keys(v.at("resume").as_object()), Keys{"branch"});
}

TEST(NodeToValue, MaxTurnsAtTheTopOfItsRange) {
    Node n;
    n.id = "a";
    n.max_turns = std::numeric_limits<std::uint32_t>::max();
    EXPECT_EQ(node_to_value(n).at("max_turns").as_uint64(), 4294967295u);
}

TEST(NodeClone, EqualAndIndependent) {
    const Node source = full_node();
    Node copy = source.clone();
    EXPECT_EQ(copy, source);
    copy.steps->front().deps.push_back("y");
    copy.resume->completed_steps.clear();
    copy.deps.clear();
    EXPECT_EQ(source, full_node());
}

// ---- Round trip over generated nodes: what the writer writes reads back equal. ----

class NodeGenerator {
public:
    explicit NodeGenerator(std::uint32_t seed) : rng_(seed) {}

    Node node() {
        Node n;
        shared_head(n);
        n.context = maybe_text();
        n.parked = coin();
        shared_tail(n);
        n.repo = maybe_text();
        if (coin()) n.repo_type = pick<RepoType>(2);
        if (coin()) n.workflow = pick<Workflow>(2);
        if (coin()) n.merge_policy = pick<MergePolicy>(4);
        n.base_branch = maybe_text();
        n.branch = maybe_text();
        n.title = maybe_text();
        n.execution_checkout = maybe_text();
        if (coin()) n.verify_via_ci = coin();
        if (coin()) {
            n.steps.emplace();
            for (int i = below(4); i > 0; --i) n.steps->push_back(step());
        }
        if (coin()) n.resume = Resume{text(), maybe_text(), texts()};
        return n;
    }

private:
    Step step() {
        Step s;
        shared_head(s);
        shared_tail(s);
        return s;
    }

    // The fields that steps and nodes share: those before a node's context, and those after its
    // parked mark.
    template <class R>
    void shared_head(R& r) {
        r.id = text();
        r.kind = pick<NodeKind>(2);
        r.task = maybe_text();
        r.persona = maybe_text();
        r.deps = texts();
        r.done_when = maybe_text();
        r.max_turns = maybe_turns();
        r.expects_no_diff = coin();
    }
    template <class R>
    void shared_tail(R& r) {
        r.executor = maybe_text();
        r.agent_graph = maybe_text();
    }

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool coin() { return below(2) == 1; }
    template <class Enum>
    Enum pick(int count) { return static_cast<Enum>(below(count)); }

    std::string text() {
        static const std::vector<std::string> pieces = {"", "a", "id", "~", "null", "\"", "\\", "\n",
                                                        "é", "日本", "run:x#y", " ", "kind", "\x01"};
        std::string out;
        for (int i = below(3); i > 0; --i) out += pieces[below(static_cast<int>(pieces.size()))];
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

        auto from_value = node_from_value(written);
        ASSERT_TRUE(from_value.ok()) << i << ": " << from_value.error;
        ASSERT_EQ(*from_value.value, original) << i << ": " << json::write(written);

        auto from_content = node_from_content(written);
        ASSERT_TRUE(from_content.ok()) << i << ": " << from_content.error;
        ASSERT_EQ(*from_content.value, original) << i;

        // Through text, as a requeued node's object travels in a journal line.
        auto reparsed = json::parse(json::write(written));
        ASSERT_TRUE(reparsed.value.has_value()) << i << ": " << reparsed.error;
        ASSERT_EQ(*reparsed.value, written) << i;
        auto from_text = node_from_value(*reparsed.value);
        ASSERT_TRUE(from_text.ok()) << i << ": " << from_text.error;
        ASSERT_EQ(*from_text.value, original) << i;

        // Writing what was read gives the same object again, keys in the same order.
        ASSERT_EQ(keys(node_to_value(*from_value.value)), keys(written.as_object())) << i;
    }
}

}  // namespace
}  // namespace korvalle::plan
