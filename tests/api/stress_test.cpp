// A crowd of mixed requests on the real server while its runs change under it the ways a live
// root changes: journals grow (a line in two writes, as a writer leaves it), are rewritten (a
// new file renamed over the old, longer or shorter), and runs are renamed away and back. Every
// answer must be well formed whatever it finds, every event stream too across its resumes, and
// the server must stop cleanly after. The churn lasts a few seconds in any build; a server built
// with ThreadSanitizer ends with status 66 once it has reported a data race.
#include "sdk/base/clock.hpp"
#include "sdk/run/ledger.hpp"
#include "tests/support/event_reader.hpp"
#include "tests/support/run_items.hpp"
#include "tests/support/sanitizers.hpp"
#include "tests/support/server_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int request_clients = 4;
constexpr int stream_clients = 2;

// A 200 with the success envelope, or a 404 with an API error: runs come and go, items with
// them. HEAD gets the head alone.
bool well_formed_answer(const std::string& target, const HttpResponse& answer, bool head) {
    if (answer.status != 200 && answer.status != 404) return false;
    if (answer.header("content-type") != "application/json") return false;
    if (head || target == "/healthz") return answer.body == (head ? "" : R"({"status":"ok"})");
    const auto body = json::parse(answer.body);
    const boost::json::object* document = body.ok() ? body.value().if_object() : nullptr;
    if (!document) return false;
    const auto* version = document->if_contains("api_version");
    if (answer.status == 200) return version && json::write(*version) == "2";
    const auto* error = document->if_contains("error");
    return error && error->is_object() && error->as_object().contains("code");
}

// "id: N\nevent: NAME\ndata: JSON", numbered on from the resume point, a snapshot first.
bool well_formed_event(const std::string& block, std::uint64_t id, bool first) {
    static const std::set<std::string> names = {"snapshot", "run.changed", "run.removed", "activity.changed",
                                                "conversation.changed"};
    if (block.rfind("id: ", 0) != 0 || std::count(block.begin(), block.end(), '\n') != 2) return false;
    const auto data = json::parse(data_of(block));
    return id_of(block) == std::to_string(id) && names.contains(name_of(block)) &&
           first == (name_of(block) == "snapshot") && data.ok() && data.value().is_object();
}

// The copy of the demo runs served, what may be asked of them, and the room the churn renames
// runs into.
class Stress : public ::testing::Test {
protected:
    // A demo run as the churn sees it: the node its appended lines report on, its journal as shipped.
    struct ChurnedRun {
        std::string id, node, journal;
    };

    Stress() {
        for (const ledger::RunPaths& paths : ledger::all_runs(fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs")) {
            fs::copy(paths.dir, root_.path() / paths.id, fs::copy_options::recursive);
            const views::RunView view = views::RunView::open(paths).value();
            const RunItems items = items_of(view);
            runs_.push_back({paths.id, view.graph.order.empty() ? "n" : view.graph.order.front(),
                             read_text(paths.dir / "events.jsonl")});
            const std::string run = "/api/v2/runs/" + paths.id;
            targets_.insert(targets_.end(), {run, run + "?include_conversations=false", run + "/timeline?scope=run"});
            for (const std::string& node : items.nodes) targets_.push_back(run + "/timeline?scope=node&node=" + node);
            for (const std::string& id : items.conversations) targets_.push_back(run + "/conversations/" + id);
            for (const std::string& id : items.artifacts) targets_.push_back(run + "/artifacts/" + id);
        }
        targets_.insert(targets_.end(), {"/healthz", "/api/v2/runs", "/api/v2/runs?limit=2",
                                         "/api/v2/runs?include_settled=true&limit=3&cursor=" + runs_[2].id,
                                         "/api/v2/runs/no-such-run"});
        ProcessOptions options = with_fake_tool(aside_.path() / "calls");
        options.args = {"--poll-interval-ms", "50"};
        server_.emplace(ServerProcess::serve(root_.path(), options));
    }

    // Kept to the first few: assertions from many threads at once would bury the first fault.
    void fault(const std::string& what) {
        std::lock_guard lock(faults_mutex_);
        if (faults_.size() < 10) faults_.push_back(what);
    }

    // Changes one run after another until the time is up; every run is back in place after.
    void churn(Clock::time_point until) {
        const std::int64_t base_ms = 1'773'000'000'000;  // later than every demo event
        for (std::uint64_t step = 0; Clock::now() < until; ++step) {
            const ChurnedRun& run = runs_[step % runs_.size()];
            const fs::path dir = root_.path() / run.id;
            const fs::path journal = dir / "events.jsonl";
            const std::string line =
                envelope_line({.ts = *clock::format_utc_ms(base_ms + static_cast<std::int64_t>(step) * 1000),
                               .source = "morvane", .kind = "turn-activity",
                               .labels = R"({"node":)" + quote(run.node) + "}",
                               .payload = R"({"name":"Bash","detail":"step )" + std::to_string(step) + R"("})"}) +
                "\n";
            if (step % 5 < 2) {
                append_file(journal, line.substr(0, line.size() / 2));
                append_file(journal, line.substr(line.size() / 2));
            } else if (step % 5 < 4) {
                // Made beside the root and renamed in: the journal is always whole.
                const fs::path next = aside_.path() / (run.id + ".events");
                write_file(next, step % 5 == 2 ? read_text(journal) + line : run.journal);
                fs::rename(next, journal);
            } else {
                fs::rename(dir, aside_.path() / run.id);
                std::this_thread::sleep_for(20ms);
                fs::rename(aside_.path() / run.id, dir);
            }
            std::this_thread::sleep_for(5ms);
        }
    }

    // Asks for the targets in turn, some as HEAD, on one keep-alive connection while it lasts.
    void request(int client, Clock::time_point until) {
        std::optional<HttpClient> connection;
        for (std::size_t i = static_cast<std::size_t>(client); Clock::now() < until; i += request_clients) {
            const std::string& target = targets_[i % targets_.size()];
            const bool head = i % 7 == 0;
            try {
                if (!connection) connection.emplace(server_->port());
                const HttpResponse answer = connection->request(head ? "HEAD" : "GET", target);
                if (!well_formed_answer(target, answer, head)) {
                    fault(target + ": " + std::to_string(answer.status) + " " + answer.body);
                }
                if (answer.header("connection") == "close") connection.reset();
            } catch (const std::runtime_error& error) {
                return fault(target + ": " + error.what());
            }
            answered_.fetch_add(1);
        }
    }

    // Streams of the root (even clients) or of each run in turn (odd ones), each read for a
    // while and resumed from the last id it gave, by Last-Event-ID or by after=.
    void follow(int client, Clock::time_point until) {
        const bool watching = client % 2 == 1;
        std::optional<std::uint64_t> last;
        for (std::size_t i = 0; Clock::now() < until; ++i) {
            std::string target = watching ? "/api/v2/events?run_id=" + runs_[i % runs_.size()].id : "/api/v2/events";
            std::vector<std::string> headers;
            if (last && i % 3 == 0) target += (watching ? "&after=" : "?after=") + std::to_string(*last);
            if (last && i % 3 != 0) headers.push_back("Last-Event-ID: " + std::to_string(*last));
            try {
                EventReader stream(server_->port(), target, headers);
                if (stream.head().rfind("HTTP/1.1 200 ", 0) != 0) return fault(target + ": " + stream.head());
                std::uint64_t expected = last.value_or(0);
                bool first = true;
                for (int blocks = 0; blocks < 20; ++blocks) {
                    const std::optional<std::string> block = stream.next(scaled(300ms));
                    if (!block) break;
                    if (*block == ":") continue;
                    if (!well_formed_event(*block, expected, first)) return fault(target + ": " + *block);
                    if (!first) changes_streamed_.fetch_add(1);
                    first = false;
                    last = expected++;
                }
            } catch (const std::exception& error) {
                return fault(target + ": " + error.what());
            }
        }
    }

    RunsRoot root_;
    RunsRoot aside_;  // on the same file system: renames between the two are atomic
    std::vector<ChurnedRun> runs_;
    std::vector<std::string> targets_;
    std::optional<ServerProcess> server_;
    std::mutex faults_mutex_;
    std::vector<std::string> faults_;
    std::atomic<std::uint64_t> answered_{0};
    std::atomic<std::uint64_t> changes_streamed_{0};
};

TEST_F(Stress, MixedRequestsAndStreamsWhileRunsGrowAreRewrittenAndRenamed) {
    const Clock::time_point until = Clock::now() + 5s;
    std::vector<std::thread> clients;
    clients.emplace_back([&] { churn(until); });
    for (int i = 0; i < request_clients; ++i) clients.emplace_back([&, i] { request(i, until); });
    for (int i = 0; i < stream_clients; ++i) clients.emplace_back([&, i] { follow(i, until); });
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(faults_, std::vector<std::string>{});
    EXPECT_GT(answered_.load(), 0u);
    EXPECT_GT(changes_streamed_.load(), 0u) << "the streams saw the runs change";

    // Every run is back: the list shows them all.
    const HttpResponse list = http_get(server_->port(), "/api/v2/runs?include_settled=true");
    ASSERT_EQ(list.status, 200u);
    EXPECT_EQ(run_ids(parse_json(list.body)).size(), runs_.size());

    EXPECT_EQ(server_->stop(), 0);
    const std::string errors = server_->stderr_text();
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
}

}  // namespace
}  // namespace korvalle::testing
