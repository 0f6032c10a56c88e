// Opening one run directory: the launch record's strict rules, the journal's lines and their
// merge order, and files that cannot or must not be read.
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/run/replay_on.hpp"
#include "sdk/run/run_text.hpp"
#include "sdk/base/clock.hpp"
#include "tests/run/run_support.hpp"
#include "tests/support/same_view.hpp"
#include "tests/support/shard_journals.hpp"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <random>

namespace korvalle {
namespace {

namespace fs = std::filesystem;
using testing::RunsRoot;
using testing::kinds_of;

Result<views::RunView, SdkError> open_run(const testing::RunBuilder& run) {
    return views::RunView::open(ledger::RunPaths{run.id(), run.dir()});
}

TEST(OpenRun, LaunchRecordInBothFormsWithoutJournal) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch({.pid = 77, .host = "h"});
    auto opened = open_run(run);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    EXPECT_EQ(opened.value().launch.pid, 77u);
    EXPECT_TRUE(opened.value().envelopes.empty());
    EXPECT_FALSE(opened.value().last_event_at);

    // The array form, with blank space around it, reads field by field in order.
    run.launch_text(R"(
  ["r","plans/p.yaml","default","codex","s-1",4242,"host-a","2026-01-01T00:00:00.000Z",3,30,1] )" "\r\n\t");
    opened = open_run(run);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    EXPECT_EQ(opened.value().launch, (views::LaunchRecord{"r", "plans/p.yaml", "default", "codex", "s-1", 4242,
                                                          "host-a", "2026-01-01T00:00:00.000Z", 3, 30, 1}));
}

TEST(OpenRun, LaunchRecordRulesAndTheirMessages) {
    const std::string base =
        R"("run_id":"r","plan":"p","graph":"g","launcher":"l","session":"s","host":"h","started_at":"t",)"
        R"("round_budget":1,"heartbeat_interval":2)";
    EXPECT_TRUE(views::read_launch_record(
        R"({"run_id":"r","plan":"p","graph":"g","launcher":"l","session":"s","pid":4294967295,"host":"h",)"
        R"("started_at":"t","round_budget":18446744073709551615,"heartbeat_interval":0,"adoptions":4294967295})").ok());
    // A run with a refused record fails to open, naming the file.
    RunsRoot root;
    auto run = root.run("r");
    for (const std::string& text : std::vector<std::string>{
             "{" + base + R"(,"pid":1,"adoptions":0,"extra":1})", "{" + base + R"(,"pid":1,"pid":1,"adoptions":0})",
             "{" + base + R"(,"pid":1})", "{" + base + R"(,"pid":4294967296,"adoptions":0})",
             "{" + base + R"(,"pid":-1,"adoptions":0})", "{" + base + R"(,"pid":1.0,"adoptions":0})",
             "{" + base + R"(,"pid":1e3,"adoptions":0})", "{" + base + R"(,"pid":-0,"adoptions":0})",
             "{" + base + R"(,"pid":"1","adoptions":0})", "{" + base + R"(,"pid":1,"adoptions":0} {})",
             "\xEF\xBB\xBF{" + base + R"(,"pid":1,"adoptions":0})", R"(["r","p","g","l","s",1,"h","t",1,2,3,4])",
             R"(["r","p","g","l","s",1,"h","t",1,2])", R"("launch")", "", "  \n"}) {
        run.launch_text(text);
        auto opened = open_run(run);
        ASSERT_FALSE(opened.ok()) << text;
        const auto* message = std::get_if<plan::SdkError::Message>(&opened.error().error);
        ASSERT_NE(message, nullptr) << text;
        EXPECT_TRUE(message->text.starts_with((run.dir() / "launch.json").string() + ": ")) << message->text;
    }
    run.launch_text("{" + base + R"(,"pid":1,"adoptions":0})");
    EXPECT_TRUE(open_run(run).ok());

    const std::pair<const char*, const char*> messages[] = {
        {R"(["r","p","g","l","s",1,"h","t",1,2])",
         "invalid length 10, expected struct LaunchRecord with 11 elements at line 1 column "},
        {R"({"pid":1,"pid":2})", "duplicate field `pid`"},
        {R"({"nope":1})", "unknown field `nope`, expected one of `run_id`, `plan`, `graph`, `launcher`, `session`, "
                          "`pid`, `host`, `started_at`, `round_budget`, `heartbeat_interval`, `adoptions`"},
        {R"({"pid":1})", "missing field `run_id`"},
    };
    for (const auto& [text, message] : messages) {
        const Result<views::LaunchRecord> read = views::read_launch_record(text);
        ASSERT_FALSE(read.ok()) << text;
        EXPECT_TRUE(korvalle::message(read.error()).starts_with(message)) << korvalle::message(read.error());
    }
}

TEST(OpenRun, MissingDirectoryFifosAndBadEncodingNeverBlock) {
    RunsRoot root;
    auto gone = views::RunView::open(ledger::RunPaths{"gone", root.path() / "gone"});
    ASSERT_FALSE(gone.ok());
    const auto* not_found = std::get_if<plan::SdkError::RunNotFound>(&gone.error().error);
    ASSERT_NE(not_found, nullptr);
    EXPECT_EQ(not_found->id, "gone");
    EXPECT_EQ(not_found->dir, root.path());

    // A FIFO as launch record is unreadable; as journal it is a journal without lines.
    auto fifo = root.run("fifo");
    ASSERT_EQ(::mkfifo((fifo.dir() / "launch.json").c_str(), 0600), 0);
    auto opened = open_run(fifo);
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(std::holds_alternative<plan::SdkError::Io>(opened.error().error));
    auto fifo_journal = root.run("fifo-journal");
    fifo_journal.launch();
    ASSERT_EQ(::mkfifo((fifo_journal.dir() / "events.jsonl").c_str(), 0600), 0);
    EXPECT_TRUE(kinds_of(fifo_journal).empty());
    EXPECT_EQ(views::RunView::all(root.path()).size(), 1u);

    auto latin = root.run("latin");
    latin.launch_text("{\"run_id\":\"caf\xe9\"}");
    opened = open_run(latin);
    ASSERT_FALSE(opened.ok());
    EXPECT_TRUE(std::holds_alternative<plan::SdkError::Io>(opened.error().error));
}

TEST(OpenRun, UnreadableFilesCountAsAbsent) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    RunsRoot root;
    auto run = root.run("r");
    run.launch().event({.kind = "round-started"});
    ASSERT_EQ(::chmod((run.dir() / "events.jsonl").c_str(), 0), 0);
    EXPECT_TRUE(kinds_of(run).empty());
    ASSERT_EQ(::chmod((run.dir() / "launch.json").c_str(), 0), 0);
    EXPECT_FALSE(open_run(run).ok());
}

TEST(OpenRun, JournalLinesSkipBlanksAndGarbage) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    run.journal_bytes(testing::envelope_line({.kind = "one", .seq = 1}) + "\r\n");
    run.line("   \t ");
    run.line("not json at all");
    run.line(R"({"v":1,"ts":"x","stream":"s","seq":1,"source":"pipeline"})");  // no kind
    run.line(testing::envelope_line({.kind = "two", .seq = 2}) + " {}");     // trailing value
    run.line(R"({"v":1,"ts":"x","stream":"s","seq":1,"source":"pipeline","kind":"big","payload":{"n":1e400}})");
    run.line("\xC2\xA0");  // only a no-break space
    run.journal_bytes(testing::envelope_line({.kind = "three", .seq = 3}));  // no final line feed
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "three"}));

    // Carriage returns split lines only before a line feed.
    run.journal_bytes("\na\rb\r\n\r\n \n\nc\n\rd");
    const auto lines = journal::read_journal_lines(run.dir() / "events.jsonl");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), (std::vector<std::string>{"a\rb", "c", "\rd"}));
}

TEST(OpenRun, InvalidUtf8AnywhereInTheJournalGivesNoEnvelopes) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    run.event({.kind = "round-started"});
    run.line("{\"note\":\"\xff\"}");
    run.event({.kind = "two"});
    auto opened = open_run(run);
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(opened.value().envelopes.empty());
    EXPECT_EQ(opened.value().round, 0u) << "nothing read before the fault is replayed either";
}

TEST(OpenRun, JournalBeingAppendedKeepsItsCompleteLines) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    run.event({.kind = "one"});
    run.event({.kind = "two"});
    // A line cut in the middle of its JSON, then one cut inside a multi-byte character.
    const std::string cut_json = testing::envelope_line({.kind = "three", .seq = 9});
    run.journal_bytes(cut_json.substr(0, cut_json.size() / 2));
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "two"}));

    run.journal_bytes("\n" + testing::envelope_line({.kind = "four", .seq = 10}) + "\n");
    const std::string euro = testing::envelope_line({.kind = "five", .seq = 11, .payload = R"({"detail":"12 €"})"});
    run.journal_bytes(euro.substr(0, euro.find("€") + 2));
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "two", "four"}));

    // A byte that can never start a character is a fault of the file, not of a partial line.
    run.journal_bytes("\xff");
    EXPECT_TRUE(kinds_of(run).empty());
}

TEST(OpenRun, LargeJournalsReadAcrossChunks) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    // Lines of odd lengths with multi-byte characters, so that chunks of the file end inside
    // lines and inside characters.
    std::string journal;
    const int count = 1500;
    for (int i = 0; i < count; ++i) {
        const std::string detail = std::string(static_cast<std::size_t>(37 + i % 113), 'x') + "€ü" + std::to_string(i);
        journal += testing::envelope_line({.kind = "k" + std::to_string(i), .seq = static_cast<std::uint64_t>(i + 1),
                                           .payload = "{\"detail\":" + testing::quote(detail) + "}"});
        journal += i % 3 == 0 ? "\r\n" : "\n";
    }
    ASSERT_GT(journal.size(), 3u * 65536);
    run.journal_bytes(journal);
    const auto read = kinds_of(run);
    ASSERT_EQ(read.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(read.back(), "k1499");

    // One bad byte far from the start still refuses the whole file.
    testing::write_file(run.dir() / "events.jsonl", journal.substr(0, 200000) + "\xC0" + journal.substr(200000));
    EXPECT_TRUE(kinds_of(run).empty());
    EXPECT_TRUE(journal::read_journal_lines(run.dir() / "events.jsonl").empty());
}

TEST(OpenRun, MergeOrderSortsTextsAndKeepsTies) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    run.event({.ts = "2026-01-01T00:00:00Z", .kind = "z-form"});
    run.event({.ts = "2026-01-01T00:00:00.500Z", .kind = "fraction"});
    run.event({.ts = "2026-01-01T00:00:01.000Z", .kind = "tie-first", .stream = "s", .seq = 7});
    run.event({.ts = "2026-01-01T00:00:01.000Z", .kind = "seq-10", .stream = "b", .seq = 10});
    run.event({.ts = "2026-01-01T00:00:01.000Z", .kind = "seq-9", .stream = "b", .seq = 9});
    run.event({.ts = "2026-01-01T00:00:01.000Z", .kind = "tie-second", .stream = "s", .seq = 7});
    run.event({.ts = "2026-01-01T00:00:01.000Z", .kind = "seq-big", .stream = "b", .seq = UINT64_MAX});
    EXPECT_EQ(kinds_of(run),
              (std::vector<std::string>{"fraction", "z-form", "seq-9", "seq-10", "seq-big", "tie-first", "tie-second"}));
    // The replay saw them in that order: the last time is the largest one.
    EXPECT_EQ(open_run(run).value().last_event_at, views::parse_timestamp_ms("2026-01-01T00:00:01.000Z"));
}

TEST(OpenRun, MergeOrderIsAStableSortOfWholeEnvelopes) {
    // Few distinct keys, so that long runs of ties and long permutation cycles both occur.
    std::vector<event::Envelope> envelopes(2000);
    std::uint64_t state = 12345;
    const auto next = [&] { return (state = state * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        envelopes[i].ts = "2026-01-01T00:00:0" + std::to_string(next() % 4) + ".000Z";
        envelopes[i].stream = next() % 2 ? "driver" : "vcs";
        envelopes[i].seq = next() % 3;
        envelopes[i].kind = std::to_string(i);
    }
    std::vector<event::Envelope> expected = envelopes;
    std::stable_sort(expected.begin(), expected.end(), journal::before_in_merge_order);
    journal::merge_order(envelopes);
    EXPECT_EQ(envelopes, expected);
    journal::merge_order(envelopes);
    EXPECT_EQ(envelopes, expected);
}

TEST(OpenRun, CrossRunReferencesAreLookedUpBesideTheRunDirectory) {
    RunsRoot root;
    const std::string settle =
        testing::envelope_line({.kind = "node-settled", .labels = R"({"node":"n"})", .payload = R"({"status":"done"})"});
    testing::write_file(root.path() / "other" / "up" / "events.jsonl", settle + "\n");
    auto run = testing::RunBuilder(root.path() / "other" / "abc", "abc");
    run.launch().event({.kind = "run-started", .payload = testing::plan_payload(R"({"id":"a","deps":["run:up#n"]})")});
    auto opened = views::RunView::open({"abc", root.path() / "other" / "abc"});
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value().cross_run_statuses.at("run:up#n"), graph::NodeStatus::Done);

    // A bare relative name looks beside itself: in the current directory.
    const fs::path cwd = fs::current_path();
    fs::current_path(root.path() / "other");
    auto bare = views::RunView::open({"abc", "abc"});
    fs::current_path(cwd);
    ASSERT_TRUE(bare.ok());
    EXPECT_EQ(bare.value().cross_run_statuses.at("run:up#n"), graph::NodeStatus::Done);

    // Only a directory without a parent looks in the configured runs directory, when it is set
    // and not empty.
    const std::tuple<fs::path, std::optional<std::string_view>, fs::path> dirs[] = {
        {"/", "/srv/runs", "/srv/runs"}, {"//", "/srv/runs", "/srv/runs"}, {"", "elsewhere", "elsewhere"},
        {"/", "", "runs"},           {"/", std::nullopt, "runs"},         {"/srv/runs/abc/.", "/x", "/srv/runs"},
        {"/abc", "/x", "/"},         {"abc", "/x", ""}};
    for (const auto& [dir, configured, expected] : dirs)
        EXPECT_EQ(views::runs_dir_for(dir, configured), expected) << dir << " " << configured.value_or("unset");
}

// An open or a read on makes each node's activity text once, after its replay: the view shows what
// applying its envelopes one by one shows, a report without a name or detail leaving the text of
// the one before, and a round start forgetting earlier reports.
TEST(OpenRun, ActivityTextsAreThoseOfAReplayOneByOne) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    int second = 0;
    auto report = [&](const std::string& node, const std::string& payload) {
        const int at = second++;
        run.event({.ts = "2026-03-02T09:00:" + std::string(at < 10 ? "0" : "") + std::to_string(at) + ".000Z",
                   .source = "morvane", .kind = "turn-activity", .labels = R"({"node":")" + node + "\"}",
                   .payload = payload});
    };
    report("gone", R"({"name":"Read","detail":"before the round"})");
    run.event({.ts = "2026-03-02T09:00:05.000Z", .kind = "round-started", .labels = R"({"round":1})"});
    second = 10;
    report("a", R"({"name":"Edit","detail":"src/main.rs"})");
    report("a", R"({"name":"","detail":7})");
    report("b", R"({"name":"Bash"})");
    const auto one_by_one = [](const views::RunView& view) {
        views::RunView replayed;
        for (const event::Envelope& envelope : view.envelopes) replayed.apply_event(envelope);
        return replayed.activity;
    };
    auto opened = open_run(run);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    EXPECT_EQ(opened.value().activity, one_by_one(opened.value()));
    EXPECT_EQ(opened.value().activity.at("a").text, "Edit src/main.rs");
    EXPECT_FALSE(opened.value().activity.contains("gone"));

    report("a", R"({"name":"Grep","detail":"fn main"})");
    report("a", R"({"detail":""})");
    report("b", R"({"name":"Read","detail":"Cargo.toml"})");
    report("gone", R"({"name":""})");
    const std::optional<views::RunView> grown = views::RunView::grown(std::move(opened.value()));
    ASSERT_TRUE(grown);
    EXPECT_GT(grown->appended_from, 0u);
    EXPECT_EQ(grown->activity, one_by_one(*grown));
    EXPECT_EQ(grown->activity.at("a").text, "Grep fn main");
    EXPECT_EQ(grown->activity.at("b").text, "Read Cargo.toml");
    EXPECT_EQ(grown->activity.at("gone").text, std::nullopt);  // its report before the round is forgotten
}

// What the replay of two views made that their documents show.
void expect_same_replay(const views::RunView& view, const views::RunView& fresh, const std::string& at) {
    EXPECT_TRUE(std::ranges::equal(view.envelopes, fresh.envelopes)) << at;
    EXPECT_EQ(view.last_event_at, fresh.last_event_at) << at;
    EXPECT_EQ(view.round, fresh.round) << at;
    EXPECT_EQ(view.statuses, fresh.statuses) << at;
    EXPECT_EQ(view.attested, fresh.attested) << at;
    EXPECT_EQ(view.dispatched_at, fresh.dispatched_at) << at;
    EXPECT_EQ(view.activity, fresh.activity) << at;
}

// Envelopes read on that sort among the newest ones leave every envelope in the slot it was read
// into and the base's order as it was, and replay from the checkpoint held back behind the
// newest seconds: the same checkpoint serves one late append after another, while one that sorts
// before it replays the whole journal and takes a new one.
TEST(OpenRun, LateEnvelopesReplayFromTheCheckpointOverTheBasesEnvelopes) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    const auto ts = [](std::int64_t ms) { return *clock::format_utc_ms(1'772'442'000'000 + ms); };
    const auto line = [&](std::int64_t ms, const std::string& kind, std::uint64_t seq) {
        return testing::envelope_line({.ts = ts(ms), .source = "morvane", .kind = kind, .stream = "agent", .seq = seq,
                                       .labels = R"({"node":"n)" + std::to_string(seq % 3) + R"("})",
                                       .payload = R"({"name":"step","detail":")" + kind + R"("})"}) + "\n";
    };
    std::string text;
    for (int i = 0; i < 3000; ++i) text += line(100 * i, "k" + std::to_string(i), static_cast<std::uint64_t>(i));
    run.journal_bytes(text);
    views::RunView base = open_run(run).value();
    ASSERT_FALSE(base.checkpoint) << "read in order";

    // The base's envelopes are shared, not copied (unless the store runs out of room: fits),
    // and the base still sees its own order.
    const auto grow = [&](const views::RunView& from, const std::string& appended, const std::string& at,
                          bool fits = true) {
        run.journal_bytes(appended);
        std::optional<views::RunView> grown = views::RunView::grown(from);
        EXPECT_TRUE(grown) << at;
        if (!grown) return views::RunView();
        EXPECT_TRUE(!fits || grown->envelopes.shares_slots(from.envelopes.lineage(), from.envelopes.size())) << at;
        expect_same_replay(*grown, open_run(run).value(), at);
        return std::move(*grown);
    };
    const std::vector<std::string> base_kinds = [&] {
        std::vector<std::string> kinds;
        for (const auto& envelope : base.envelopes) kinds.push_back(envelope.kind);
        return kinds;
    }();
    // The first late envelope replays everything once, and leaves a checkpoint behind it.
    views::RunView late = grow(base, line(299'900 - 2'000, "two-seconds-late", 7), "2 s late");
    ASSERT_TRUE(late.checkpoint);
    EXPECT_EQ(late.checkpoint->position, views::checkpoint_target(late.envelopes));
    EXPECT_EQ(late.checkpoint->position, late.envelopes.size() - views::held_back_envelopes);
    for (std::size_t i = 0; i < base_kinds.size(); ++i) ASSERT_EQ(base.envelopes[i].kind, base_kinds[i]) << i;
    // Late by 1 ms, and tied with an envelope read before (same time, stream and sequence
    // number): it goes after that one. Both replay from the same checkpoint.
    views::RunView tied = grow(late, line(299'800, "tied", 2998) + line(299'900 - 1, "one-ms-late", 8000), "tie");
    EXPECT_EQ(tied.checkpoint.get(), late.checkpoint.get());
    const auto tie = std::ranges::find_if(tied.envelopes, [](const auto& e) { return e.kind == "tied"; });
    ASSERT_NE(tie, tied.envelopes.end());
    EXPECT_EQ((tie - 1)->kind, "k2998");
    // Envelopes in order move the checkpoint forward once it lags by a step.
    text.clear();
    for (int i = 3000; i < 3000 + 1200; ++i) text += line(100 * i, "k" + std::to_string(i), static_cast<std::uint64_t>(i));
    views::RunView on = grow(tied, text, "in order", false);
    ASSERT_TRUE(on.checkpoint);
    EXPECT_EQ(on.checkpoint->position, views::checkpoint_target(on.envelopes));
    // Before every envelope: the checkpoint cannot serve, the journal is replayed whole.
    views::RunView first = grow(on, line(-1, "before-all", 1), "before all");
    EXPECT_NE(first.checkpoint.get(), on.checkpoint.get());
    EXPECT_EQ(first.envelopes[0].kind, "before-all");
}

// A writer that puts the line feed before each line leaves every read ending in an envelope
// without its line feed: the read goes on from there while that line reads the same, and opens
// afresh once more bytes follow it on the same line.
TEST(OpenRun, ALineFeedFirstJournalIsReadOnFromItsLastEnvelope) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    const auto line = [](int i) {
        return "\n" + testing::envelope_line({.ts = "2026-03-02T09:00:0" + std::to_string(i) + ".000Z",
                                               .kind = "k" + std::to_string(i), .seq = static_cast<std::uint64_t>(i)});
    };
    run.journal_bytes(line(0) + line(1));
    std::optional<views::RunView> view = open_run(run).value();
    EXPECT_TRUE(view->journal_end.tail_kept);
    for (int i = 2; i < 5; ++i) {
        run.journal_bytes(line(i));
        view = views::RunView::grown(std::move(*view));
        ASSERT_TRUE(view) << i;
        std::vector<std::string> kinds;
        for (const auto& envelope : view->envelopes) kinds.push_back(envelope.kind);
        EXPECT_EQ(kinds, testing::kinds_of(run)) << i;
    }
    // Read again as it is: nothing is made twice.
    view = views::RunView::grown(std::move(*view));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->envelopes.size(), 5u);
    EXPECT_TRUE(view->journal_end.tail_kept);
    // The last line goes on: the envelope read from it may no longer be one.
    run.journal_bytes(" }");
    EXPECT_FALSE(views::RunView::grown(std::move(*view)));
    EXPECT_EQ(testing::kinds_of(run).size(), 4u);
}

// Two reads on from views of one envelope store would write the same slots: the caller keeps
// them apart, and builds with assertions stop a second read that begins while one appends.
TEST(OpenRunDeathTest, TwoReadsOnFromOneStoreAtOnceFailAnAssertion) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are off in this build";
#else
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    run.event({.ts = "2026-03-02T09:00:00.000Z", .kind = "run-started"});
    const views::RunView base = open_run(run).value();
    run.event({.ts = "2026-03-02T09:00:01.000Z", .kind = "round-started", .labels = R"({"round":1})"});
    {
        // As a read on from base would while it appends.
        const views::EnvelopeList::Appending reading(base.envelopes);
        EXPECT_DEATH(views::RunView::grown(base), "two reads append behind lists of one envelope store");
    }
    // Once that read is over, the next one goes on.
    const std::optional<views::RunView> grown = views::RunView::grown(base);
    ASSERT_TRUE(grown);
    EXPECT_EQ(grown->envelopes.size(), 2u);
#endif
}

// ---- Journals parsed in shards. ----

// An open that parses its journal in shards makes the view the open on one thread makes, however
// small the shards; and a view read on in shards is the view read on in one go (the appended
// lines, in order or late, several shards' worth, behind the base's envelopes, replayed from
// where they go).
TEST(OpenRun, AJournalParsedInShardsMakesTheSameView) {
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    const fs::path journal = run.dir() / "events.jsonl";
    std::mt19937 random(20261209);
    testing::BackwardsRunner runner;
    for (const std::string& text : testing::journals_to_cut(random)) {
        testing::write_file(journal, text);
        const views::RunView whole = open_run(run).value();
        for (const std::uint64_t shard_bytes : {1, 97, 600, 4096}) {
            const std::size_t ran = runner.ran;
            const views::RunView sharded =
                views::RunView::open({run.id(), run.dir()}, std::nullopt, {&runner, shard_bytes}).value();
            EXPECT_EQ(testing::view_differences(sharded, whole), "")
                << fmt::format("{:?} in shards of {}", text.substr(0, 300), shard_bytes);
            EXPECT_TRUE(shard_bytes == 4096 || runner.ran > ran) << "read in one go";
        }

        const std::size_t cut = text.find('\n', text.size() / 3) + 1;
        if (cut == 0) continue;
        testing::write_file(journal, text.substr(0, cut));
        const views::RunView base = open_run(run).value();
        testing::append_file(journal, text.substr(cut));
        const std::optional<views::RunView> grown = views::RunView::grown(base);
        for (const std::uint64_t shard_bytes : {1, 97, 600}) {
            const std::string at = fmt::format("{:?} read on in shards of {}", text.substr(cut, 300), shard_bytes);
            const std::size_t ran = runner.ran;
            const std::optional<views::RunView> sharded = views::RunView::grown(base, {&runner, shard_bytes});
            ASSERT_EQ(sharded.has_value(), grown.has_value()) << at;
            if (grown) {
                EXPECT_EQ(testing::view_differences(*sharded, *grown), "") << at;
            }
            EXPECT_TRUE(!grown || text.size() - cut < 2 * shard_bytes || runner.ran > ran) << at;
        }
    }
}

// ---- Lines that are no envelopes. ----

// Each shape of line that is no envelope, repeated over a megabyte and more between two envelopes:
// the strict reader refuses it with a located message, and every read of a journal drops it (in
// one go, in shards, read on behind an earlier view), holding beyond a view of the two envelopes
// alone no more than a constant (nothing of the lines it dropped).
TEST(OpenRun, LinesThatAreNoEnvelopesAreDroppedAndNothingOfThemIsHeld) {
    const auto without_kind = [](std::size_t detail) {
        return fmt::format(R"({{"v":1,"ts":"2026-03-02T09:00:00.000Z","stream":"driver","seq":7,"source":"pipeline",)"
                           R"("labels":{{"run_id":"r","node":"n","round":1,"role":"agent"}},)"
                           R"("payload":{{"detail":"{}"}}}})",
                           std::string(detail, 'd'));
    };
    const std::string shapes[] = {"x", "{}", "[]", R"({"v":1})", without_kind(40), without_kind(300'000),
                                  R"("text")", "42", "null", "[1,2,3]"};
    RunsRoot root;
    auto run = root.run("r");
    run.launch();
    const fs::path journal = run.dir() / "events.jsonl";
    const std::string one = testing::envelope_line({.kind = "one", .seq = 1}) + "\n";
    const std::string two = testing::envelope_line({.ts = "2026-03-02T09:00:01.000Z", .kind = "two", .seq = 2}) + "\n";
    // The shortest envelope reads; a shorter line is judged by its length alone.
    const std::string shortest = R"([0,"","",0,"vcs",""])";
    ASSERT_EQ(shortest.size(), event::shortest_envelope);
    testing::write_file(journal, one + shortest + "\n" + two);
    EXPECT_EQ(open_run(run).value().envelopes.size(), 3u);
    testing::write_file(journal, one + two);
    const std::uint64_t alone = open_run(run).value().held_bytes();
    // Read in shards, each shard that keeps an envelope holds slots of its own.
    constexpr std::uint64_t slack = 64 * 1024;
    testing::BackwardsRunner runner;
    for (const std::string& shape : shapes) {
        event::Envelope envelope;
        const Result<void> read = event::read_envelope_into(shape, envelope);
        EXPECT_TRUE(!read.ok() && message(read.error()).find(" at line 1 column ") != std::string::npos) << shape;
        EXPECT_FALSE(event::read_envelope_verdict(shape, envelope, json::Utf8::Checked)) << shape;

        std::string lines;
        while (lines.size() < (1 << 20)) lines += shape + "\n";
        testing::write_file(journal, one + lines + two);
        const std::string at = fmt::format("{} lines of {:.40}", lines.size(), shape);
        const views::RunView whole = open_run(run).value();
        const views::RunView sharded =
            views::RunView::open({run.id(), run.dir()}, std::nullopt, {&runner, 256 * 1024}).value();
        testing::write_file(journal, one + lines);
        const views::RunView base = open_run(run).value();
        testing::append_file(journal, lines + two);
        const std::optional<views::RunView> grown = views::RunView::grown(base);
        ASSERT_TRUE(grown) << at;
        for (const views::RunView* view : {&whole, &sharded, &*grown}) {
            std::vector<std::string> kinds;
            for (const event::Envelope& e : view->envelopes) kinds.push_back(e.kind);
            EXPECT_EQ(kinds, (std::vector<std::string>{"one", "two"})) << at;
            EXPECT_LE(view->held_bytes(), alone + slack) << at;
        }
    }
}

}  // namespace
}  // namespace korvalle
