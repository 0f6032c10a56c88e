// The facts of a journal's envelopes, one per envelope, as the documents read them.
#include "src/payload/envelope_facts.hpp"

#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

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
std::string described(const EnvelopeFacts& facts, const event::Envelope& envelope) {
    const AgentFacts& of = facts.of(envelope);
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
    for (const event::Envelope& envelope : view.envelopes) lines.push_back(described(facts, envelope));
    EXPECT_EQ(lines, (std::vector<std::string>{"-", "s-b", "s-a turn 0 1500ms", "s-b turn 0 llmlint", "s-a tallied judge",
                                               "has space turn judge", "s-a turn 1", "-"}));
    EXPECT_EQ(facts.sessions(), (std::vector<std::string_view>{"s-b", "s-a", "has space"}));
}

}  // namespace
}  // namespace korvalle::payload
