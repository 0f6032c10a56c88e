// Conversations of fixture runs, compared as whole written documents, and their fingerprint.
#include "src/payload/conversation.hpp"
#include "src/payload/conversation_digests.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/vocabulary.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

namespace korvalle::payload {
namespace {

using testing::Event;
using testing::open_view;
using testing::parsed;

Event agent(std::string ts, std::string kind, std::string labels, std::string payload = "{}") {
    return {.ts = "2026-03-02T09:00:" + ts + ".000Z", .source = "morvane", .kind = std::move(kind),
            .stream = "agents", .labels = std::move(labels), .payload = std::move(payload)};
}

class Conversations : public ::testing::Test {
protected:
    // Two sessions, interleaved, the later-sorting id first; and envelopes that join none.
    testing::RunBuilder talk_run() {
        auto run = root_.run("r-talk");
        run.launch()
            .event({.ts = "2026-03-02T09:00:01.000Z", .kind = "run-started"})
            .event(agent("02", "turn-activity", R"({"round":1,"node":"impl","persona":"worker","session":"s-b"})",
                         R"({"kind":"tool","name":"shell","detail":"ls"})"))
            .event(agent("03", "turn-activity", R"({"persona":"reviewer","session":"s-a"})", R"({"kind":5,"name":1})"))
            .event(agent("04", "turn-completed",
                         R"({"round":1,"node":"impl","persona":"worker","session":"s-b","role":"judge"})",
                         R"({"message":"done it","model":"m-1","usage":{"duration":1.5,"tokens_in":12,)"
                         R"("tokens_out":12.0,"cache_read":-1,"cache_write":"3","cost":2}})"))
            .event(agent("05", "turn-interrupted", R"({"session":"s-a"})"))
            .event(agent("06", "turn-completed", R"({"session":"s-a"})", R"({"message":7,"usage":{}})"))
            .event(agent("07", "turn-activity", R"({"session":"s-b"})", R"({"kind":"edit","detail":"x.cpp"})"))
            .event(agent("08", "turn-completed", R"({"session":"s-b"})", R"({"usage":{"duration":-2,"cost":0.125}})"))
            .event(agent("09", "turn-activity", R"({"session":"s-b"})", R"({"kind":"read"})"))
            .event(agent("10", "turn-interrupted", R"({"session":"s-a"})"))
            // None of these belongs to a conversation.
            .event({.ts = "2026-03-02T09:00:11.000Z", .kind = "turn-completed", .labels = R"({"session":"s-c"})"})
            .event(agent("12", "turn-completed", R"({"session":5})"))
            .event(agent("13", "turn-completed", R"({"session":".hidden"})"))
            .event(agent("14", "turn-completed", R"({"session":""})"))
            .event(agent("15", "turn-completed", R"({"session":"has space"})"))
            .event(agent("16", "turn-completed", R"({"session":")" + std::string(129, 'x') + R"("})"))
            .event(agent("17", "turn-completed", R"({"session":"caf\u00e9"})"));
        return run;
    }

    testing::RunsRoot root_;
};

const char* const session_b =
    R"({"conversation":{"canContinue":false,"harnesses":["morvenlath"],"id":"s-b","name":"impl","project":"r-talk",)"
    R"("startedAt":"2026-03-02T09:00:02.000Z","state":"turn-activity","turns":[)"
    R"({"assistant":"done it","durationMs":1500,"failureKind":null,"harness":"morvenlath","id":"s-b.0","model":"m-1",)"
    R"("reasoning":null,"status":"turn-completed","timestamp":"2026-03-02T09:00:04.000Z",)"
    R"("tools":[{"index":0,"kind":"tool","name":"shell","input":"ls","output":null}],"unknown":{},)"
    R"("usage":{"inputTokens":12,"outputTokens":null,"cacheReadTokens":null,"cacheWriteTokens":null,"costUsd":2.0},)"
    R"("user":"worker"},)"
    R"({"assistant":null,"durationMs":null,"failureKind":null,"harness":"morvenlath","id":"s-b.1","model":null,)"
    R"("reasoning":null,"status":"turn-completed","timestamp":"2026-03-02T09:00:08.000Z",)"
    R"("tools":[{"index":0,"kind":"read","name":null,"input":null,"output":null}],"unknown":{},)"
    R"("usage":{"inputTokens":null,"outputTokens":null,"cacheReadTokens":null,"cacheWriteTokens":null,"costUsd":0.125},)"
    R"("user":""}]},)"
    R"("attribution":{"runId":"r-talk","round":1,"nodeId":"impl","launchId":"r-talk","launcher":"codex",)"
    R"("transportRole":"judge","agentRole":"worker","persona":"worker","finishedAt":"2026-03-02T09:00:09.000Z"}})";

const char* const session_a =
    R"({"conversation":{"canContinue":false,"harnesses":["morvenlath"],"id":"s-a","name":"r-talk","project":"r-talk",)"
    R"("startedAt":"2026-03-02T09:00:03.000Z","state":"turn-interrupted","turns":[)"
    R"({"assistant":null,"durationMs":null,"failureKind":null,"harness":"morvenlath","id":"s-a.0","model":null,)"
    R"("reasoning":null,"status":"turn-completed","timestamp":"2026-03-02T09:00:06.000Z",)"
    R"("tools":[{"index":0,"kind":"","name":null,"input":null,"output":null}],"unknown":{},)"
    R"("usage":{"inputTokens":null,"outputTokens":null,"cacheReadTokens":null,"cacheWriteTokens":null,"costUsd":null},)"
    R"("user":""}]},)"
    R"("attribution":{"runId":"r-talk","launchId":"r-talk","launcher":"codex","transportRole":"agent",)"
    R"("agentRole":"worker","persona":"reviewer","finishedAt":"2026-03-02T09:00:10.000Z"}})";

TEST_F(Conversations, SessionsInOrderOfFirstAppearance) {
    views::RunView view = open_view(talk_run());
    EXPECT_EQ(conversations(view), std::string("[") + session_b + "," + session_a + "]");

    auto one = conversation(view, "s-a");
    ASSERT_TRUE(one);
    EXPECT_EQ(*one, session_a);
    EXPECT_FALSE(conversation(view, "S-A"));
    EXPECT_FALSE(conversation(view, "s-c"));  // carried only by a pipeline envelope
    EXPECT_FALSE(conversation(view, "5"));
}

TEST_F(Conversations, SignatureHashesTheWrittenDocuments) {
    auto run = talk_run();
    views::RunView view = open_view(run);
    std::string signature = conversation_signature(view);
    ASSERT_EQ(signature.size(), 16u);
    EXPECT_EQ(signature.find_first_not_of("0123456789abcdef"), std::string::npos);
    // The first six bytes of the same digest, taken over the same texts back to back.
    EXPECT_EQ(signature.substr(0, 12), sha256_hex(std::string(session_b) + session_a));
    EXPECT_EQ(conversation_signature(view), signature);

    run.event(agent("18", "turn-activity", R"({"session":"s-a"})"));
    EXPECT_NE(conversation_signature(open_view(run)), signature);
}

// The change feed's fingerprint, carried from a view to the one read on from it, is the one made
// from the whole run, and it moves exactly when the signature does.
TEST_F(Conversations, FingerprintCarriedOverAppendsMovesWithTheSignature) {
    auto run = talk_run();
    views::RunView view = open_view(run);
    ConversationDigests digests(view);
    const auto append = [&](const Event& event, bool changes, const std::string& what) {
        run.event(event);
        std::optional<views::RunView> grown = views::RunView::grown(view);
        ASSERT_TRUE(grown) << what;
        ASSERT_TRUE(digests.carries_to(*grown)) << what;
        EXPECT_FALSE(digests.carries_to(open_view(run))) << what;
        ConversationDigests carried(digests, *grown);
        EXPECT_EQ(carried.fingerprint(), ConversationDigests(open_view(run)).fingerprint()) << what;
        EXPECT_EQ(conversation_signature(*grown) != conversation_signature(view), changes) << what;
        EXPECT_EQ(carried.fingerprint() != digests.fingerprint(), changes) << what;
        view = std::move(*grown);
        digests = std::move(carried);
    };
    append({.ts = "2026-03-02T09:00:20.000Z", .kind = "node-dispatched"}, false, "no session's");
    append(agent("20", "turn-activity", R"({"session":"s-x"})"), true, "a new session");
    append(agent("20", "turn-activity", R"({"session":"s-x"})"), false, "a session's document as it was");
    append(agent("05", "turn-completed", R"({"session":"s-a"})"), true, "late, inside a session");
    append(agent("00", "turn-activity", R"({"session":"s-0"})"), true, "a session that comes first");
}

TEST_F(Conversations, RunWithoutSessions) {
    auto run = root_.run("r-quiet");
    run.launch().event({.kind = "run-started", .labels = R"({"session":"s-1"})"});
    views::RunView view = open_view(run);
    EXPECT_EQ(conversations(view), "[]");
    EXPECT_FALSE(conversation(view, "s-1"));
    EXPECT_EQ(conversation_signature(view), "e3b0c44298fc1c14");  // SHA-256 of no bytes
}

TEST_F(Conversations, ActivityOnlyAndLauncherWords) {
    auto run = root_.run("r-claude");
    run.launch({.launcher = "claude-code"})
        .event(agent("01", "turn-activity", R"({"session":"s-1","persona":"judge","member":"llmlint"})"))
        .event(agent("02", "turn-activity", R"({"session":"s-1"})"));
    auto codex_cased = root_.run("r-cased");
    codex_cased.launch({.launcher = "Codex"}).event(agent("01", "turn-completed", R"({"session":"s-1"})"));

    EXPECT_EQ(conversations(open_view(run)),
              R"([{"conversation":{"canContinue":false,"harnesses":["morvenlath"],"id":"s-1","name":"r-claude",)"
              R"("project":"r-claude","startedAt":"2026-03-02T09:00:01.000Z","state":"turn-activity","turns":[]},)"
              R"("attribution":{"runId":"r-claude","launchId":"r-claude","launcher":"claude-code",)"
              R"("transportRole":"llmlint","agentRole":"judge","persona":"judge",)"
              R"("finishedAt":"2026-03-02T09:00:02.000Z"}}])");
    EXPECT_EQ(json::write(parsed(conversations(open_view(codex_cased))).at(0).at("attribution").at("launcher")),
              R"("unknown")");
}

TEST_F(Conversations, TurnDurationsAndTokenCounts) {
    auto run = root_.run("r-usage");
    run.launch()
        .event(agent("01", "turn-completed", R"({"session":"s"})", R"({"usage":{"duration":0.0004,"tokens_in":0}})"))
        .event(agent("02", "turn-completed", R"({"session":"s"})", R"({"usage":{"duration":"3","tokens_in":1e3}})"))
        .event(agent("03", "turn-completed", R"({"session":"s"})", R"({"usage":{"duration":-0.0,"cost":"1"}})"))
        .event(agent("04", "turn-completed", R"({"session":"s"})",
                     R"({"usage":{"duration":1e300,"tokens_in":18446744073709551615}})"));
    boost::json::array turns = parsed(conversations(open_view(run))).at(0).at("conversation").at("turns").as_array();
    ASSERT_EQ(turns.size(), 4u);
    // Per turn: durationMs, inputTokens and costUsd, written.
    const char* const expected[] = {"0 0 null", "null null null", "0 null null",
                                    "18446744073709551615 18446744073709551615 null"};
    for (std::size_t turn = 0; turn < turns.size(); ++turn) {
        const auto& usage = turns[turn].at("usage");
        EXPECT_EQ(json::write(turns[turn].at("durationMs")) + " " + json::write(usage.at("inputTokens")) + " " +
                      json::write(usage.at("costUsd")),
                  expected[turn])
            << turn;
    }
}

TEST_F(Conversations, ProjectionOfNoEnvelopesReadsTheClock) {
    auto run = root_.run("r-none");
    run.launch();
    std::string text;
    json::Writer out(text);
    write_conversation(out, open_view(run), "s-0", {});
    boost::json::value document = parsed(text);
    std::string started = json::write(document.at("conversation").at("startedAt"));
    EXPECT_EQ(started.substr(0, 3), "\"20");
    document.as_object()["conversation"].as_object()["startedAt"] = "now";
    EXPECT_EQ(json::write(document),
              R"({"conversation":{"canContinue":false,"harnesses":["morvenlath"],"id":"s-0","name":"r-none",)"
              R"("project":"r-none","startedAt":"now","state":"unknown","turns":[]},"attribution":{"runId":"r-none",)"
              R"("launchId":"r-none","launcher":"codex","transportRole":"agent","agentRole":"worker",)"
              R"("finishedAt":null}})");
}

}  // namespace
}  // namespace korvalle::payload
