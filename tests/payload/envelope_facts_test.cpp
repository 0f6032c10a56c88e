// The facts of a journal's envelopes, one per envelope, as the documents read them.
#include "src/payload/envelope_facts.hpp"

#include "src/payload/run_detail/detail/journal_index.hpp"
#include "tests/support/shard_journals.hpp"
#include "tests/support/view_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace korvalle::payload {
namespace {

using testing::Event;

Event agent(std::string ts, std::string kind, std::string labels, std::string payload = "{}") {
    return {.ts = "2026-03-02T09:00:" + ts + ".000Z", .source = "morvane", .kind = std::move(kind),
            .stream = "agents", .labels = std::move(labels), .payload = std::move(payload)};
}

// One line per envelope: its session's text, or "-"; then "turn N" for a turn of a conversation,
// "turn" for another turn, "tallied" for an interruption, "" for the rest; then the party and
// the duration of what counts in a tally.
std::string described(const EnvelopeFacts& facts, std::size_t position) {
    const AgentFacts& of = facts.at(position);
    std::string line = of.session() ? std::string(facts.sessions()[*of.session()]) : "-";
    if (of.turn()) line += of.conversation() ? " turn " + std::to_string(of.turn_number()) : " turn";
    else if (of.tallied()) line += " tallied";
    if (of.party()) line += " " + std::string(party_word(*of.party()));
    if (of.ms()) line += " " + std::to_string(*of.ms()) + "ms";
    return line;
}

// Sessions are numbered by their first envelope and their turns counted apart, only those of a
// conversation; an interruption is tallied but is no turn, an activity neither; a label that
// fails the identifier rule names a session of no conversation.
TEST(EnvelopeFacts, SessionsTurnsPartiesAndDurationsInOneWalk) {
    testing::RunsRoot root;
    auto run = root.run("r-facts");
    run.launch()
        .event({.ts = "2026-03-02T09:00:01.000Z", .kind = "run-started"})
        .event(agent("02", "turn-activity", R"({"session":"s-b","role":"judge"})", R"({"kind":"tool"})"))
        .event(agent("03", "turn-completed", R"({"session":"s-a"})", R"({"usage":{"duration":1.5}})"))
        .event(agent("04", "turn-completed", R"({"session":"s-b","role":"judge"})", R"({"role":"llmlint"})"))
        .event(agent("05", "turn-interrupted", R"({"session":"s-a","member":"judge"})"))
        .event(agent("06", "turn-started", R"({"session":"has space","persona":"judge"})"))
        .event(agent("07", "turn-completed", R"({"session":"s-a"})", R"({"usage":{"duration":"2"}})"))
        .event({.ts = "2026-03-02T09:00:08.000Z", .kind = "turn-completed", .labels = R"({"session":"s-a"})"});
    const views::RunView view = testing::open_view(run);
    const EnvelopeFacts facts(view.envelopes);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < view.envelopes.size(); ++i) lines.push_back(described(facts, i));
    EXPECT_EQ(lines, (std::vector<std::string>{"-", "s-b", "s-a turn 0 1500ms", "s-b turn 0 llmlint", "s-a tallied judge",
                                               "has space turn judge", "s-a turn 1", "-"}));
    EXPECT_EQ(facts.sessions(), (std::vector<std::string_view>{"s-b", "s-a", "has space"}));
}

// A tally of the journal index, in one line.
std::string described(const detail::JournalIndex::Turns& turns) {
    const auto ms = [](const std::optional<std::uint64_t>& value) { return value ? std::to_string(*value) : "-"; };
    const TurnDurations& durations = turns.durations;
    return fmt::format("{} turns, {} lint, {}/{}/{} ms", turns.count, durations.llmlint_events, ms(durations.agent_ms),
                       ms(durations.judge_ms), ms(durations.llmlint_ms));
}

// What the documents read of a view through its facts: each envelope's, walking the list, and
// the tallies and sessions the journal index makes of them for the run detail.
std::vector<std::string> facts_as_read(const views::RunView& view) {
    const auto facts = std::make_shared<const EnvelopeFacts>(view.envelopes);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < view.envelopes.size(); ++i)
        lines.push_back(fmt::format("{} {}", view.envelopes[i].seq, described(*facts, i)));
    const detail::JournalIndex index(view.envelopes, facts);
    lines.push_back("journal " + described(index.turns()) + ", nodes " + described(index.node_turns()));
    const std::map<std::string_view, detail::JournalIndex::Node> nodes(index.nodes().begin(), index.nodes().end());
    for (const auto& [node, of_node] : nodes) {
        lines.push_back(fmt::format("{} {}", node, described(of_node.turns)));
        for (const detail::JournalIndex::Session& session : of_node.sessions) {
            lines.push_back(fmt::format("{} {} from {} {}", node, session.text, session.first->seq,
                                        session.party ? party_word(*session.party) : "-"));
        }
    }
    return lines;
}

// A view whose envelopes lie in several segments (read in shards, read on from a base, both)
// has the facts that the same journal read whole in one go has, envelope by envelope, late
// envelopes and all, without a search for any of them.
TEST(EnvelopeFacts, ViewsReadInPiecesHaveTheFactsOfTheWholeRead) {
    testing::RunsRoot root;
    auto run = root.run("r");
    run.launch();
    const std::filesystem::path journal = run.dir() / "events.jsonl";
    const ledger::RunPaths paths{run.id(), run.dir()};
    std::mt19937 random(20261210);
    testing::BackwardsRunner runner;
    for (const std::string& text : testing::journals_to_cut(random)) {
        testing::write_file(journal, text);
        const std::vector<std::string> whole = facts_as_read(testing::open_view(run));
        for (const std::uint64_t shard_bytes : {1, 97, 600}) {
            EXPECT_EQ(facts_as_read(views::RunView::open(paths, std::nullopt, {&runner, shard_bytes}).value()), whole)
                << fmt::format("{:?} in shards of {}", text.substr(0, 300), shard_bytes);
        }

        const std::size_t cut = text.find('\n', text.size() / 3) + 1;
        if (cut == 0) continue;
        testing::write_file(journal, text.substr(0, cut));
        const views::RunView base = testing::open_view(run);
        testing::append_file(journal, text.substr(cut));
        for (const std::uint64_t shard_bytes : {0, 1, 97}) {
            const std::optional<views::RunView> grown =
                views::RunView::grown(base, shard_bytes ? views::JournalFanout{&runner, shard_bytes} : views::JournalFanout{});
            if (!grown) continue;  // a journal that does not read on
            EXPECT_EQ(facts_as_read(*grown), whole)
                << fmt::format("{:?} read on in shards of {}", text.substr(cut, 300), shard_bytes);
        }
    }
}

}  // namespace
}  // namespace korvalle::payload
