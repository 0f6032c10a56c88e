// Stores that keep opened runs answer exactly what a store that opens every run afresh answers,
// and their change feeds send the same frames.
// A generated runs root goes through a seeded random sequence of changes (lines appended, a
// partial line appended and finished later, a journal rewritten shorter or with the same size, a
// journal changed before its end while lines are appended (a byte written over, the file
// truncated and written again longer, a hole punched), a line that is not UTF-8 and lines after
// it, a file replaced by rename, a run removed and recorded again, a run that another run's
// cross-run reference reads changed, a file touched, a round result or artifact rewritten); after
// every step each document of every run (run list, run detail, conversations, artifacts,
// timelines) and the frames of a change feed watching each run are compared byte for byte.
#include "src/store/store.hpp"
#include "src/store/blocking.hpp"

#include "src/store/change_feed.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/liveness.hpp"
#include "src/payload/artifact.hpp"
#include "src/payload/conversation.hpp"
#include "src/payload/summary.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/run_items.hpp"
#include "tests/support/server_fixture.hpp"
#include "tests/support/view_support.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;
using store::RunCache;

const fs::path demo_root = fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";

// Steps of one test run and the seed of its changes; KORVALLE_CACHE_STEPS and
// KORVALLE_CACHE_SEED ask for others (CI runs the defaults, also under the sanitizers).
int step_count() {
    const char* steps = std::getenv("KORVALLE_CACHE_STEPS");
    return steps ? std::atoi(steps) : 40;
}

std::uint32_t seed() {
    const char* seed = std::getenv("KORVALLE_CACHE_SEED");
    return seed ? static_cast<std::uint32_t>(std::strtoul(seed, nullptr, 10)) : 20261207;
}

// ---- The documents. ----

template <class Document>
std::string written(const Result<Document, error::ApiError>& answer) {
    if (!answer) return answer.error().body();
    return written_text(*answer);
}

// The runs of a root with what may be asked of each, and one run that is not there.
struct RootItem {
    contract::RunId run;
    RunItems items;
};

std::vector<RootItem> items_of(const fs::path& root) {
    std::vector<RootItem> out;
    for (const auto& view : views::RunView::all(root)) {
        if (auto run = contract::RunId::make(view.id())) out.push_back(RootItem{*run, testing::items_of(view)});
    }
    out.push_back(RootItem{*contract::RunId::make("no-such-run"), RunItems{}});
    return out;
}

// Every document of the store, by a name that says what was asked.
std::map<std::string, std::string> documents(const store::RunStore& store, const std::vector<RootItem>& items) {
    std::map<std::string, std::string> out;
    const std::optional<std::string> second = items.size() > 1 ? std::optional(items[1].run.str()) : std::nullopt;
    for (const store::RunsQuery& query : {store::RunsQuery{std::nullopt, 50, true}, store::RunsQuery{std::nullopt, 50, false},
                                          store::RunsQuery{std::nullopt, 2, true}, store::RunsQuery{second, 3, true}}) {
        out[fmt::format("list {} {} {}", query.cursor.value_or("-"), query.limit, query.include_settled)] =
            json::write(store::blocking::run_list(store, query));
    }
    for (const RootItem& item : items) {
        const std::string& run = item.run.str();
        out["run " + run] = written(store::blocking::run(store, item.run, true));
        out["run " + run + " without conversations"] = written(store::blocking::run(store, item.run, false));
        for (const std::string& id : item.items.conversations) {
            if (auto conversation = contract::RunId::make(id)) {
                out["conversation " + run + " " + id] = written(store::blocking::conversation(store, item.run, *conversation));
            }
        }
        for (const std::string& id : item.items.artifacts) {
            if (auto artifact = contract::RunId::make(id)) {
                out["artifact " + run + " " + id] = written(store::blocking::artifact(store, item.run, *artifact));
            }
        }
        out["timeline " + run] = written(store::blocking::timeline(store, item.run, store::TimelineScope{}));
        for (const std::string& node : item.items.nodes) {
            out["timeline " + run + " node " + node] = written(store::blocking::timeline(store, item.run, store::TimelineScope{node}));
        }
    }
    return out;
}

// The change feed's streams of one store: one that watches no run, and one watching each run.
class Streams {
public:
    Streams(const store::RunStore& store, const std::vector<RootItem>& items) {
        streams_.emplace_back(store, store::EventsQuery{});
        for (const RootItem& item : items) streams_.emplace_back(store, store::EventsQuery{item.run.str(), 7});
    }

    // The frames every stream sends now: its snapshot the first time, then those of one poll;
    // each as its event name, id and data, the snapshot's "observed_at" left out.
    std::vector<std::string> frames() {
        std::vector<std::string> out;
        for (store::Frames& stream : streams_) {
            std::vector<store::Frame> sent;
            if (started_) store::blocking::poll(stream);
            else sent.push_back(store::blocking::snapshot(stream));
            while (std::optional<store::Frame> frame = stream.next()) sent.push_back(std::move(*frame));
            for (store::Frame& frame : sent) {
                if (frame.kind == contract::SseEvent::Snapshot) frame.data.as_object().erase("observed_at");
                out.push_back(fmt::format("{} {} {}", contract::event_name(frame.kind), frame.id, json::write(frame.data)));
            }
            out.push_back("--");
        }
        started_ = true;
        return out;
    }

private:
    std::vector<store::Frames> streams_;
    bool started_ = false;
};

// ---- The changes. ----

// Changes a generated root at random. Runs are the demo runs under their own ids (one of them
// reads two others through cross-run references) and four generated runs, one of which refers
// to a run "ghost" that comes and goes, and one of which has a journal of several of the blocks
// that a read on samples.
class Changes {
public:
    Changes(RunsRoot& root, std::uint32_t seed) : root_(root), random_(seed) {
        for (const auto& entry : fs::directory_iterator(demo_root)) {
            if (!entry.is_directory()) continue;
            const std::string id = entry.path().filename().string();
            fs::copy(entry.path(), root_.path() / id, fs::copy_options::recursive);
            pristine_[id] = entry.path();
        }
        for (const char* id : {"gen-settled", "gen-running", "linker", "gen-long"}) record(id);
    }

    // A store that reads a journal on from a kept view sees a change before its old end beyond
    // the blocks it samples only once the journal has been still for two seconds: a step that
    // made one waits that long before the stores are compared.
    bool wants_stillness() const { return wants_stillness_; }

    // One change; its description. read_between, when given, reads the stores in the middle of
    // a change that appends twice within one tick of the file system's clock.
    std::string step(const std::function<void()>& read_between = {}) {
        wants_stillness_ = false;
        std::string run = pick_run();
        const std::size_t kind = pick(19);
        // Changes before the old end meet the long journal a third of the time.
        if (kind >= 16 && pick(3) == 0 && fs::exists(journal("gen-long"))) run = "gen-long";
        switch (kind) {
        case 16: return write_over_and_append(run);
        case 17: return truncate_and_write_longer(run);
        case 18: return punch_hole_and_append(run);
        case 13: return append_lines(run, 40);
        case 14: return append_not_utf8(run);
        case 15: return append_twice_in_one_tick(run, read_between);
        case 0:
        case 1: return append_lines(run);
        case 2: return partial_line(run);
        case 3: return rewrite_shorter(run);
        case 4:
        case 5: return rewrite_same_size(run);
        case 6: return replace_by_rename(run);
        case 7: return remove_and_record_again(run);
        case 8:
        case 9:
        case 10: return change_referenced_run();
        case 11: return touch(run);
        default: return rewrite_read_per_request(run);
        }
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::string pick_run() {
        std::vector<std::string> runs;
        for (const auto& entry : fs::directory_iterator(root_.path())) runs.push_back(entry.path().filename().string());
        std::sort(runs.begin(), runs.end());
        return runs.empty() ? "gen-settled" : runs[pick(runs.size())];
    }

    fs::path journal(const std::string& run) const { return root_.path() / run / "events.jsonl"; }

    std::string timestamp() {
        return fmt::format("2026-03-0{}T{:02}:{:02}:{:02}.{:03}Z", 1 + pick(9), pick(24), pick(60), pick(60), pick(1000));
    }

    // One journal line of some kind for the run: agent turns (conversations), settles, rounds,
    // artifacts with their files, lines that are no envelope.
    std::string line(const std::string& run) {
        const std::string node = std::vector<std::string>{"build", "publish-docs", "draft-notes", "wait"}[pick(4)];
        const std::string session = "ses-" + std::to_string(pick(3));
        const std::string agent_labels = fmt::format(R"({{"run_id":{},"node":"{}","round":1,"session":"{}","role":"agent"}})",
                                                     quote(run), node, session);
        const std::string node_labels = fmt::format(R"({{"run_id":{},"node":"{}","round":1}})", quote(run), node);
        const std::uint64_t seq = 1 + pick(500);
        switch (pick(9)) {
        case 0:
            return envelope_line({.ts = timestamp(), .source = "morvane", .kind = "turn-activity",
                                  .stream = "morvane/" + session, .seq = seq, .labels = agent_labels,
                                  .payload = R"({"kind":"tool","name":"Read","detail":"café.md"})"});
        case 1: {
            const std::string artifact = "art-" + std::to_string(pick(4));
            write_file(root_.path() / run / "artifacts" / artifact, std::string(1 + pick(40), 'a'));
            return envelope_line({.ts = timestamp(), .source = "morvane", .kind = "turn-completed",
                                  .stream = "morvane/" + session, .seq = seq, .labels = agent_labels,
                                  .payload = R"({"message":"done","model":"m","usage":{"duration":2.5,"tokens_in":10,"tokens_out":5,"cost":0.01}})",
                                  .artifacts = R"([{"id":")" + artifact + R"(","kind":"worker_report","bytes":1}])"});
        }
        case 2:
            return envelope_line({.ts = timestamp(), .kind = "node-settled", .seq = seq, .labels = node_labels,
                                  .payload = pick(2) ? R"({"status":"done","outcome":"completed"})" : R"({"status":"failed"})"});
        case 3:
            return envelope_line({.ts = timestamp(), .kind = "node-dispatched", .seq = seq, .labels = node_labels});
        case 4:
            return envelope_line({.ts = timestamp(), .kind = "round-started", .seq = seq,
                                  .labels = fmt::format(R"({{"run_id":{},"round":{}}})", quote(run), 1 + pick(3)),
                                  .payload = R"({"plan":)" + plan_json + "}"});
        case 5:
            return envelope_line({.ts = timestamp(), .kind = "round-finished", .seq = seq,
                                  .labels = fmt::format(R"({{"run_id":{},"round":1}})", quote(run)), .payload = R"({"ok":true})"});
        case 6:
            return envelope_line({.ts = timestamp(), .source = "vcs", .kind = "change-check", .stream = "vcs", .seq = seq,
                                  .labels = node_labels,
                                  .payload = R"({"name":"lint","status":"completed","conclusion":"success","required":true})"});
        case 7: return "not an envelope";
        default: return "{}";
        }
    }

    // A line that was begun is finished before anything else is appended to its journal.
    void finish_partial(const std::string& run) {
        if (auto it = partial_.find(run); it != partial_.end()) {
            append_file(journal(run), it->second);
            partial_.erase(it);
        }
    }

    // Lines with random times: they often sort before lines read earlier.
    std::string append_lines(const std::string& run, std::size_t most = 3) {
        finish_partial(run);
        const std::size_t lines = 1 + pick(most);
        std::string text;
        for (std::size_t i = 0; i < lines; ++i) text += line(run) + "\n";
        append_file(journal(run), text);
        return fmt::format("append {} lines to {}", lines, run);
    }

    // A change before the end of a journal of more than one block is not seen at once by a
    // store that reads on from a view.
    void changed_before_end(const std::string& run) {
        std::error_code error;
        if (fs::file_size(journal(run), error) > files::BlockDigests::block_bytes) wants_stillness_ = true;
    }

    // Where a digit of the journal lies, at random; none when it has none.
    std::optional<std::size_t> some_digit(const std::string& text) {
        std::vector<std::size_t> digits;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] >= '0' && text[i] <= '8') digits.push_back(i);
        }
        if (digits.empty()) return std::nullopt;
        return digits[pick(digits.size())];
    }

    // A digit written over in place (the file keeps its inode and size), then lines appended.
    std::string write_over_and_append(const std::string& run) {
        finish_partial(run);
        const std::optional<std::size_t> at = some_digit(read_text(journal(run)));
        if (!at) return append_lines(run);
        overwrite_file(journal(run), *at, "9");
        changed_before_end(run);
        return fmt::format("write over the byte at {} of the journal of {}, then {}", *at, run, append_lines(run));
    }

    // The journal truncated and written again, longer, as open(path, "w") and a write do: one
    // digit changed, lines added.
    std::string truncate_and_write_longer(const std::string& run) {
        finish_partial(run);
        std::string text = read_text(journal(run));
        const std::optional<std::size_t> at = some_digit(text);
        if (at) text[*at] = '9';
        text += line(run) + "\n" + line(run) + "\n";
        changed_before_end(run);
        write_file(journal(run), text);
        return fmt::format("truncate the journal of {} and write it again, {} bytes, the byte at {} changed", run,
                           text.size(), at.value_or(0));
    }

    // A hole punched in the journal (its size kept), then lines appended.
    std::string punch_hole_and_append(const std::string& run) {
        finish_partial(run);
        std::error_code error;
        const std::uintmax_t size = fs::file_size(journal(run), error);
        if (error || size < 2) return append_lines(run);
        const std::size_t at = pick(static_cast<std::size_t>(size - 1));
        const std::size_t length = 1 + pick(std::min<std::size_t>(8192, static_cast<std::size_t>(size) - at - 1));
        if (!punch_hole(journal(run), at, length)) return append_lines(run);
        changed_before_end(run);
        return fmt::format("punch a hole of {} bytes at {} in the journal of {}, then {}", length, at, run, append_lines(run));
    }

    // Until a rewrite cuts it off again, the journal yields no envelopes.
    std::string append_not_utf8(const std::string& run) {
        finish_partial(run);
        append_file(journal(run), line(run) + "\xff\n");
        return "append a line that is not UTF-8 to " + run;
    }

    std::string append_twice_in_one_tick(const std::string& run, const std::function<void()>& read_between) {
        finish_partial(run);
        append_file(journal(run), line(run) + "\n");
        if (read_between) read_between();
        append_file(journal(run), line(run) + "\n");
        return "append a line to " + run + ", read, and append another at once";
    }

    // The first part of a line, cut anywhere, also inside the two bytes of "é"; or the rest
    // of the line begun before.
    std::string partial_line(const std::string& run) {
        if (partial_.contains(run)) {
            finish_partial(run);
            return "finish the partial line of " + run;
        }
        std::string text = envelope_line({.ts = timestamp(), .source = "morvane", .kind = "turn-activity",
                                          .stream = "morvane/ses-9", .labels = fmt::format(
                                              R"({{"run_id":{},"node":"build","round":1,"session":"ses-9","role":"agent"}})", quote(run)),
                                          .payload = R"({"kind":"tool","name":"Edit","detail":"é"})"}) + "\n";
        const std::size_t accent = text.find("\xc3\xa9");
        const std::size_t cut = pick(2) ? accent + 1 : 1 + pick(text.size() - 1);
        append_file(journal(run), text.substr(0, cut));
        partial_[run] = text.substr(cut);
        return fmt::format("append {} bytes of a line to {}", cut, run);
    }

    std::string rewrite_shorter(const std::string& run) {
        partial_.erase(run);
        std::string text = read_text(journal(run));
        const std::size_t keep = text.empty() ? 0 : pick(text.size());
        const std::size_t end = text.rfind('\n', keep);
        text.resize(end == std::string::npos ? 0 : end + 1);
        write_file(journal(run), text);
        return fmt::format("rewrite the journal of {} to {} bytes", run, text.size());
    }

    // One digit changed for another: the same size, another content (another time, sequence
    // number or status word position).
    std::string rewrite_same_size(const std::string& run) {
        std::string text = read_text(journal(run));
        // Most often a digit of the hour in the last time of the journal, which moves the run's
        // last event.
        const std::size_t last_time = text.rfind(R"("ts":"2026-03-0)");
        std::vector<std::size_t> digits;
        if (last_time != std::string::npos && pick(3) != 0) {
            digits.push_back(last_time + 18);
        } else {
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] >= '0' && text[i] <= '8') digits.push_back(i);
            }
        }
        if (digits.empty()) return "no digit to change in " + run;
        const std::size_t at = digits[pick(digits.size())];
        text[at] = text[at] == '9' ? '0' : static_cast<char>(text[at] + 1);
        write_file(journal(run), text);
        return fmt::format("change the byte at {} of the journal of {}", at, run);
    }

    std::string replace_by_rename(const std::string& run) {
        const bool launch = pick(3) == 0;
        const fs::path target = root_.path() / run / (launch ? "launch.json" : "events.jsonl");
        std::string text = fs::exists(target) ? read_text(target) : std::string();
        if (launch) {
            Launch fields{.session = "sess-" + std::to_string(pick(100))};
            if (pick(4) == 0) fields.host = "";
            const fs::path scratch = root_.path() / run / ".scratch";
            RunBuilder(scratch, "x").launch(fields);
            text = read_text(scratch / "launch.json");
            fs::remove_all(scratch);
        } else {
            finish_partial(run);
            text = read_text(target) + line(run) + "\n";
        }
        const fs::path temporary = target.string() + ".new";
        write_file(temporary, text);
        fs::rename(temporary, target);
        return fmt::format("replace {} of {} by rename", target.filename().string(), run);
    }

    std::string remove_and_record_again(const std::string& run) {
        partial_.erase(run);
        fs::remove_all(root_.path() / run);
        if (pick(4) == 0) return "remove " + run;
        record(run);
        return "remove and record again " + run;
    }

    // A run as it began: a demo run from its copy, a generated one from its events.
    void record(const std::string& run) {
        if (auto it = pristine_.find(run); it != pristine_.end()) {
            fs::copy(it->second, root_.path() / run, fs::copy_options::recursive);
        } else if (run == "gen-settled") {
            add_run(root_, run, "2026-03-04T10:00:00.000Z", /*settled=*/true);
        } else if (run == "gen-long") {
            add_run(root_, run, "2026-03-04T13:00:00.000Z", false, /*in_round=*/true);
            std::string text;
            while (text.size() < 3 * files::BlockDigests::block_bytes) text += line(run) + "\n";
            append_file(journal(run), text);
        } else if (run == "linker") {
            root_.run(run).launch().event({.ts = "2026-03-04T11:00:00.000Z", .kind = "run-started",
                                           .payload = R"({"plan":{"schema_version":1,"goal":{"text":"wait"},"name":"linker","tasks":[)"
                                                      R"({"id":"wait","task":"Wait.","deps":["run:gen-settled#build"]},)"
                                                      R"({"id":"watch","task":"Watch.","deps":["run:ghost#build"]}]}})"});
        } else {
            add_run(root_, run, "2026-03-04T12:00:00.000Z", false, /*in_round=*/true);
        }
    }

    // What the cross-run references of "linker" and of the demo's billing export read.
    std::string change_referenced_run() {
        const std::string run = std::vector<std::string>{"ghost", "gen-settled", "2026-03-02-docs-refresh",
                                                         "2026-03-05-orders-migration"}[pick(4)];
        const std::string node = run == "2026-03-02-docs-refresh" ? "publish-docs"
                                 : run == "2026-03-05-orders-migration" ? "backfill-orders" : "build";
        if (run == "ghost" && fs::exists(root_.path() / run) && pick(2)) {
            fs::remove_all(root_.path() / run);
            return "remove ghost";
        }
        if (!fs::exists(root_.path() / run)) root_.run(run).launch();
        finish_partial(run);
        const std::string status = pick(2) ? "done" : "failed";
        append_file(journal(run), envelope_line({.ts = timestamp(), .kind = "node-settled",
                                                 .labels = R"({"node":")" + node + R"("})",
                                                 .payload = R"({"status":")" + status + R"("})"}) + "\n");
        return fmt::format("settle {} of {} as {}", node, run, status);
    }

    std::string touch(const std::string& run) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(root_.path() / run)) files.push_back(entry.path());
        if (files.empty()) return "nothing to touch in " + run;
        const fs::path& file = files[pick(files.size())];
        EXPECT_EQ(::utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0) << file;
        return "touch " + file.string();
    }

    // Files that the documents read on every request and no view holds.
    std::string rewrite_read_per_request(const std::string& run) {
        const fs::path dir = root_.path() / run;
        if (pick(2)) {
            const fs::path result = dir / "round-01" / "result.json";
            write_file(result, pick(2) ? R"({"nodes":[{"id":"build","status":"done","outcome":"ok"}]})" : "not json");
            return "rewrite " + result.string();
        }
        const fs::path artifact = dir / "artifacts" / ("art-" + std::to_string(pick(4)));
        write_file(artifact, std::string(1 + pick(70000), 'b'));
        return "rewrite " + artifact.string();
    }

    RunsRoot& root_;
    std::mt19937 random_;
    std::map<std::string, fs::path> pristine_;
    std::map<std::string, std::string> partial_;  // run -> the rest of its unfinished line
    bool wants_stillness_ = false;
};

// ---- The comparison. ----

RunCache::Clock later_by(std::chrono::nanoseconds offset) {
    return [offset] { return RunCache::realtime_ns() + static_cast<std::int64_t>(offset.count()); };
}

TEST(RunCacheDifferential, CachedStoresAnswerAsFreshReplayAfterEveryChange) {
    RunsRoot root;
    Changes changes(root, seed());
    const std::string path = root.path().string();
    const store::Settings settings{.telemetry_program = fake_tool_binary().string()};
    // The reference keeps nothing: every run is opened afresh for every document.
    const auto fresh =
        store::RunStore::new_polling_every(path, 500, std::make_shared<RunCache>(RunCache::keeping_nothing()), settings);
    // The cache's clock an hour ahead makes every file settled, so that every entry is kept and
    // every step is seen only through the files' identities; small bounds drop views and
    // records all the time, also in the middle of a walk; the plain clock keeps what has not
    // changed for two seconds.
    auto kept_cache = std::make_shared<RunCache>(RunCache::Bounds{}, later_by(std::chrono::hours(1)));
    auto small_cache = std::make_shared<RunCache>(RunCache::Bounds{96 * 1024, 2 * store::record_room},
                                                  later_by(std::chrono::hours(1)));
    const std::vector<std::pair<std::string, store::RunStore>> cached = {
        {"kept", store::RunStore::new_polling_every(path, 500, kept_cache, settings)},
        {"small", store::RunStore::new_polling_every(path, 500, small_cache, settings)},
        {"plain clock", store::RunStore::new_polling_every(path, 500, settings)},
    };

    // The streams watch the runs there are at first, and "ghost", which comes and goes.
    std::vector<RootItem> watched = items_of(root.path());
    watched.push_back(RootItem{*contract::RunId::make("ghost"), RunItems{}});
    Streams fresh_streams(fresh, watched);
    std::vector<Streams> cached_streams;
    for (const auto& [name, store] : cached) cached_streams.emplace_back(store, watched);

    std::string change = "the root as generated";
    for (int step = 0; step <= step_count(); ++step) {
        if (step > 0) {
            change = changes.step([&] {
                for (const auto& [name, store] : cached) documents(store, items_of(root.path()));
            });
            if (changes.wants_stillness()) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        }
        const std::string at = fmt::format("seed {}, step {} ({})", seed(), step, change);
        const std::vector<RootItem> items = items_of(root.path());
        const auto expected = documents(fresh, items);
        const std::vector<std::string> expected_frames = fresh_streams.frames();
        for (std::size_t i = 0; i < cached.size(); ++i) {
            const auto& [name, store] = cached[i];
            const auto answered = documents(store, items);
            ASSERT_EQ(answered.size(), expected.size());
            for (const auto& [what, text] : expected) {
                ASSERT_PRED_FORMAT2(same_document, answered.at(what), text)
                    << name << " store, " << at << ": " << what;
            }
            ASSERT_EQ(cached_streams[i].frames(), expected_frames) << name << " store's streams, " << at;
        }
        // Concurrent first requests on a cold cache, for the list and for one run, share opens
        // and still answer each as the fresh store does.
        const auto cold = store::RunStore::new_polling_every(
            path, 500, std::make_shared<RunCache>(RunCache::Bounds{}, later_by(std::chrono::hours(1))), settings);
        const RootItem& first = items.front();
        constexpr int requests = 8;
        const std::vector<std::string> concurrent = at_once(requests, [&](int i) {
            return i % 2 ? written(store::blocking::run(cold, first.run, true))
                         : json::write(store::blocking::run_list(cold, store::RunsQuery{std::nullopt, 50, true}));
        });
        for (int i = 0; i < requests; ++i) {
            ASSERT_PRED_FORMAT2(same_document, concurrent[i],
                                expected.at(i % 2 ? "run " + first.run.str() : "list - 50 true"))
                << "concurrent requests, " << at;
        }
        // Two changes of one file in one tick of the file system's clock could leave its
        // identity as it was; the cache guards against that with its two-second rule, which the
        // clock an hour ahead turns off here.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_GT(kept_cache->figures().hits, kept_cache->figures().replays);
    EXPECT_GT(kept_cache->figures().grown, 0u);
    EXPECT_GT(small_cache->figures().replays, kept_cache->figures().replays);
    EXPECT_LE(small_cache->figures().bytes, 96u * 1024);
}

// ---- Writers whose clocks disagree, and one that puts the line feed first. ----

// A journal merges several writers, each stamping its lines with its own clock, so appended
// lines often sort a little before the newest ones; another writer puts the line feed before
// each line, so that every read ends in an envelope without its line feed.
class SkewedWriters {
public:
    // A busy run of `lines` lines 100 ms apart (more than the replay keeps behind its newest
    // envelopes), and a run written line feed first.
    SkewedWriters(RunsRoot& root, std::uint32_t seed, int lines) : root_(root), random_(seed) {
        root_.run("busy").launch().event({.ts = ts(0), .kind = "run-started", .payload = plan()});
        std::string text;
        for (int i = 1; i < lines; ++i) text += line("busy", next_ms_ += 100) + "\n";
        append_file(journal("busy"), text);
        root_.run("first").launch().journal_bytes("\n" + envelope_line({.ts = ts(0), .kind = "run-started", .payload = plan()}));
    }

    // One append; its description. reads_on: whether the stores can read it on from where they
    // stopped (a line that goes on from an envelope read without its line feed cannot).
    std::string step(bool& reads_on) {
        reads_on = true;
        const std::uint64_t newest = next_ms_;
        switch (pick(10)) {
        case 0: return append("busy", newest + 100, "in order");
        case 9: {
            // Enough lines in order that the replay's checkpoint moves on past them.
            std::string text;
            for (int i = 0; i < 1200; ++i) text += line("busy", next_ms_ += 100) + "\n";
            append_file(journal("busy"), text);
            return "1200 lines in order to busy";
        }
        case 1: return append("busy", newest - 1, "1 ms late");
        case 2: return append("busy", newest - 1 - pick(5000), "up to 5 s late");
        case 3: return append("busy", newest - 15'000 - pick(60'000), "more than 10 s late");
        case 4: {
            // What it does shows whatever comes after it.
            append_file(journal("busy"), envelope_line({.ts = ts(0), .kind = "human-attested", .stream = "person",
                                                        .payload = fmt::format(R"({{"ref":"early-{}"}})", ++seq_)}) + "\n");
            return "an attestation before every other line to busy";
        }
        case 5: {
            // Lines of several writers in one append, each with its own skew.
            std::string text;
            for (int i = 0; i < 3; ++i) text += line("busy", newest - pick(3000)) + "\n";
            append_file(journal("busy"), text);
            next_ms_ += 100;
            return "three lines up to 3 s late to busy";
        }
        case 6:
            if (first_tail_open_) {
                // The line read as an envelope goes on: the read is in doubt, and opens afresh.
                reads_on = false;
                first_tail_open_ = false;
                append_file(journal("first"), pick(2) ? "  " : "x");
                return "more bytes on the last line of first";
            }
            [[fallthrough]];
        default: {
            append_file(journal("first"), "\n" + line("first", next_ms_ += 100 - pick(2) * 200));
            first_tail_open_ = true;
            return "a line feed and a line to first";
        }
        }
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    fs::path journal(const std::string& run) const { return root_.path() / run / "events.jsonl"; }

    static std::string ts(std::uint64_t ms) {
        return *clock::format_utc_ms(static_cast<std::int64_t>(1'772'442'000'000 + ms));  // 2026-03-02T09:00Z on
    }

    static std::string plan() {
        return R"({"plan":{"schema_version":1,"goal":{"text":"skew"},"name":"skew","tasks":[)"
               R"({"id":"n0","task":"a"},{"id":"n1","task":"b"},{"id":"n2","task":"c","deps":["n1"]}]}})";
    }

    std::string append(const std::string& run, std::uint64_t ms, const std::string& how) {
        append_file(journal(run), line(run, ms) + "\n");
        next_ms_ += 100;
        return "a line " + how + " to " + run;
    }

    // A line of one of the writers: agent sessions (turns and their activity), version control,
    // the driver (dispatches, settles, now and then a round start).
    std::string line(const std::string& run, std::uint64_t ms) {
        const std::string node = "n" + std::to_string(pick(3));
        const std::string session = "ses-" + node + "-" + std::to_string(pick(2));
        const std::string agent = fmt::format(R"({{"run_id":{},"node":"{}","round":1,"session":"{}","role":"agent"}})",
                                              quote(run), node, session);
        const std::string labels = fmt::format(R"({{"run_id":{},"node":"{}","round":1}})", quote(run), node);
        const std::uint64_t seq = ++seq_;
        switch (pick(12)) {
        case 0:
        case 1:
            return envelope_line({.ts = ts(ms), .source = "morvane", .kind = "turn-completed",
                                  .stream = "morvane/" + session, .seq = seq, .labels = agent,
                                  .payload = R"({"message":"done","usage":{"duration":1.5,"tokens_in":3}})"});
        case 2:
            return envelope_line({.ts = ts(ms), .source = "vcs", .kind = "change-check", .stream = "vcs", .seq = seq,
                                  .labels = labels, .payload = R"({"name":"lint","status":"completed"})"});
        case 3: return envelope_line({.ts = ts(ms), .kind = "node-dispatched", .seq = seq, .labels = labels});
        case 4:
            return envelope_line({.ts = ts(ms), .kind = "node-settled", .seq = seq, .labels = labels,
                                  .payload = pick(2) ? R"({"status":"done"})" : R"({"status":"failed"})"});
        case 5:
            // A person's attestation is kept whatever comes after it: replayed, it always shows.
            if (pick(2) == 0) {
                return envelope_line({.ts = ts(ms), .kind = "human-attested", .seq = seq, .labels = labels,
                                      .payload = fmt::format(R"({{"ref":"{}-{}"}})", node, seq)});
            }
            if (pick(8) == 0) {
                return envelope_line({.ts = ts(ms), .kind = "round-started", .seq = seq,
                                      .labels = R"({"round":)" + std::to_string(1 + pick(2)) + "}", .payload = plan()});
            }
            [[fallthrough]];
        default:
            return envelope_line({.ts = ts(ms), .source = "morvane", .kind = "turn-activity",
                                  .stream = "morvane/" + session, .seq = seq, .labels = agent,
                                  .payload = fmt::format(R"({{"kind":"tool","name":"{}","detail":"step {}"}})",
                                                         pick(4) ? "Read" : "", seq)});
        }
    }

    RunsRoot& root_;
    std::mt19937 random_;
    std::uint64_t next_ms_ = 0;  // the newest time of busy's lines in order
    std::uint64_t seq_ = 0;
    bool first_tail_open_ = true;  // first's last line is an envelope without its line feed
};

TEST(RunCacheDifferential, SkewedAndLineFeedFirstAppendsAreReadOnAsFreshReplayAnswers) {
    RunsRoot root;
    SkewedWriters writers(root, seed(), 2500);
    const std::string path = root.path().string();
    const store::Settings settings{.telemetry_program = fake_tool_binary().string()};
    const auto fresh =
        store::RunStore::new_polling_every(path, 500, std::make_shared<RunCache>(RunCache::keeping_nothing()), settings);
    auto kept_cache = std::make_shared<RunCache>(RunCache::Bounds{}, later_by(std::chrono::hours(1)));
    const auto kept = store::RunStore::new_polling_every(path, 500, kept_cache, settings);
    const std::vector<RootItem> watched = items_of(root.path());
    Streams fresh_streams(fresh, watched);
    Streams kept_streams(kept, watched);

    std::uint64_t reads_on = 0;
    std::string change = "the root as written";
    for (int step = 0; step <= step_count(); ++step) {
        const std::uint64_t grown_before = kept_cache->figures().grown;
        bool read_on = false;
        if (step > 0) change = writers.step(read_on);
        const std::string at = fmt::format("seed {}, step {} ({})", seed(), step, change);
        const std::vector<RootItem> items = items_of(root.path());
        const auto expected = documents(fresh, items);
        const auto answered = documents(kept, items);
        ASSERT_EQ(answered.size(), expected.size());
        for (const auto& [what, text] : expected) {
            ASSERT_PRED_FORMAT2(same_document, answered.at(what), text) << at << ": " << what;
        }
        ASSERT_EQ(kept_streams.frames(), fresh_streams.frames()) << at;
        // Each append is read on once, by the first document that asks for its run.
        reads_on += read_on;
        EXPECT_EQ(kept_cache->figures().grown - grown_before, read_on ? 1u : 0u) << at;
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_GT(reads_on, 0u);
}

// Counts what is allocated through it.
class CountingStorage final : public boost::json::memory_resource {
public:
    std::size_t allocations() const { return allocations_; }

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        ++allocations_;
        return ::operator new(bytes, std::align_val_t(alignment));
    }
    // The unsized form: clang declares the sized one only under -fsized-deallocation.
    void do_deallocate(void* p, std::size_t, std::size_t alignment) override {
        ::operator delete(p, std::align_val_t(alignment));
    }
    bool do_is_equal(const boost::json::memory_resource& other) const noexcept override { return this == &other; }
    std::size_t allocations_ = 0;
};

// A kept view serves many documents: none of them may allocate in the storage of the view's
// envelopes (an arena that lives as long as the view), or a kept view would grow with every
// request. The demo runs' envelopes are read into a storage that counts, and every document
// is built from them.
TEST(RunCacheDifferential, DocumentsAllocateNothingInTheViewsStorage) {
    for (const auto& entry : fs::directory_iterator(demo_root)) {
        if (!entry.is_directory()) continue;
        Result<views::RunView, SdkError> opened = views::RunView::open({entry.path().filename().string(), entry.path()});
        ASSERT_TRUE(opened.ok());
        views::RunView view = std::move(opened.value());
        // The same envelopes again, made in the counting storage.
        CountingStorage counting;
        const boost::json::storage_ptr storage(&counting);
        std::vector<event::Envelope> envelopes;
        for (const std::string& line : journal::read_journal_lines(entry.path() / "events.jsonl")) {
            Result<event::Envelope> read = event::read_envelope(line, storage);
            if (read.ok()) envelopes.push_back(std::move(read).value());
        }
        journal::merge_order(envelopes);
        ASSERT_TRUE(std::ranges::equal(envelopes, view.envelopes));
        view.envelopes = views::EnvelopeList(std::move(envelopes));

        const std::size_t made = counting.allocations();
        ASSERT_GT(made, 0u);
        std::vector<boost::json::value> documents;
        std::vector<std::string> texts;
        const views::LivenessInputs liveness{.this_host = "localhost", .now_ms = views::now_ms()};
        texts.push_back(payload::run_detail(view, true, nullptr, liveness));
        documents.emplace_back(payload::run_summary(view, nullptr, liveness));
        texts.push_back(payload::conversations(view));
        for (const auto& group : payload::session_groups(view))
            texts.push_back(*payload::conversation(view, group.session));
        for (const auto& envelope : view.envelopes) {
            for (const auto& ref : envelope.artifacts) {
                if (auto artifact = payload::artifact(view, ref.id)) documents.push_back(std::move(*artifact));
            }
        }
        EXPECT_EQ(counting.allocations(), made) << view.id();
        documents.clear();
        view.envelopes = views::EnvelopeList();
    }
}

}  // namespace
}  // namespace korvalle::testing
