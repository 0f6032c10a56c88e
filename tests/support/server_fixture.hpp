// What the server tests share: fixture runs with a chosen last event time, settledness
// and round state, small readers of JSON answers, and whole-document comparisons.
#pragma once

#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"
#include "tests/support/document_text.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <boost/json/value.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::testing {

inline const std::string plan_json =
    R"({"schema_version":1,"goal":{"text":"demo"},"name":"demo","tasks":[{"id":"build","task":"Build it."}]})";

// A run whose last journal event is at ts ("" for a run without journal); settled runs have
// every node done and their round finished; in_round leaves the round open.
inline void add_run(RunsRoot& root, const std::string& id, const std::string& ts, bool settled = false,
                    bool in_round = false) {
    auto run = root.run(id);
    run.launch();
    if (ts.empty()) return;
    std::string labels = R"({"run_id":)" + quote(id) + "}";
    std::string round_labels = R"({"run_id":)" + quote(id) + R"(,"round":1})";
    std::string node_labels = R"({"run_id":)" + quote(id) + R"(,"node":"build","round":1})";
    run.event({.ts = ts, .kind = "run-started", .labels = labels, .payload = R"({"plan":)" + plan_json + "}"});
    run.event({.ts = ts, .kind = "round-started", .labels = round_labels, .payload = R"({"plan":)" + plan_json + "}"});
    if (settled || in_round) {
        run.event({.ts = ts, .kind = "node-settled", .labels = node_labels,
                   .payload = R"({"status":"done","outcome":"completed"})"});
    }
    if (!in_round) run.event({.ts = ts, .kind = "round-finished", .labels = round_labels, .payload = R"({"ok":true})"});
}

inline boost::json::value parse_json(const std::string& body) {
    auto parsed = json::parse(body);
    if (!parsed.ok()) {
        ADD_FAILURE() << "not JSON: " << message(parsed.error()) << "\n" << body;
        return boost::json::value();
    }
    return std::move(parsed).value();
}

// An answer's body with its "observed_at", the time of the answer, written as "T".
inline std::string without_time(const HttpResponse& res) {
    auto body = parse_json(res.body);
    auto* observed = body.is_object() ? body.as_object().if_contains("observed_at") : nullptr;
    EXPECT_TRUE(observed && observed->is_string()) << res.body;
    if (observed) *observed = "T";
    return json::write(body);
}

// The run ids of a run-list answer, in order.
inline std::vector<std::string> run_ids(const boost::json::value& body) {
    std::vector<std::string> out;
    for (const auto& run : body.at("runs").as_array()) out.emplace_back(run.at("run_id").as_string());
    return out;
}

inline std::string error_code(const HttpResponse& res) {
    auto body = parse_json(res.body);
    return std::string(body.at("error").at("code").as_string());
}

inline std::string error_message(const HttpResponse& res) {
    auto body = parse_json(res.body);
    return std::string(body.at("error").at("message").as_string());
}

// One refused request: the answer's status and error code, and its message when the row pins
// one (empty: the message is pinned where it is composed).
struct Refusal {
    std::string target;
    unsigned status;
    std::string code;
    std::string message;
};

// A request the server cannot take on now (a large answer past the queue of those waiting for
// the answers' budget): its busy answer, which is no API error, and the connection closed after it.
inline void expect_told_busy(HttpClient& client, std::string_view target) {
    const HttpResponse busy = client.get(target);
    EXPECT_EQ(busy.status, 503u);
    EXPECT_EQ(busy.header("retry-after"), "5");
    EXPECT_EQ(busy.header("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(busy.header("connection"), "close");
    EXPECT_EQ(busy.body, "korvalle-api is busy: try again in a few seconds\n");
    EXPECT_TRUE(client.closed_by_peer(std::chrono::seconds(10)));
}

// While a crowd fills the answers' budget and its queue: the small answers of the run "small"
// still come, and a large answer (target) is told the server is busy.
inline void expect_small_answers_and_busy(unsigned short port, std::string_view target) {
    for (const char* small : {"/api/v2/runs", "/api/v2/runs/small", "/api/v2/runs/small/timeline?scope=run"}) {
        EXPECT_EQ(http_get(port, small).status, 200u) << small;
    }
    EXPECT_EQ(http_get(port, "/api/v2/runs/small/conversations/none").status, 404u);
    HttpClient reader(port);
    expect_told_busy(reader, target);
}

inline void expect_refusals(unsigned short port, const std::vector<Refusal>& rows) {
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.target);
        auto res = http_get(port, row.target);
        EXPECT_EQ(res.status, row.status);
        EXPECT_EQ(error_code(res), row.code);
        if (!row.message.empty()) {
            EXPECT_EQ(error_message(res), row.message);
        }
    }
}

// A HEAD answer against the GET answer of the same target: the same status and content type, no
// body, and a length that differs only by the digits of "observed_at"'s fraction of a second
// (none, or a point and 1 to 9 digits), which each answer reads from the clock.
inline void expect_head_of(const HttpResponse& get, const HttpResponse& head) {
    EXPECT_EQ(head.status, get.status);
    EXPECT_EQ(head.header("content-type"), get.header("content-type"));
    EXPECT_TRUE(head.body.empty());
    const long length = std::stol(head.header("content-length").value_or("-1"));
    const long difference = length - static_cast<long>(get.body.size());
    if (get.status == 200) {
        EXPECT_LE(std::abs(difference), 10) << length;
    } else {
        EXPECT_EQ(difference, 0);
    }
}

// A fake pipeline tool that answers a valid document for every run, with its calls recorded.
inline ProcessOptions with_fake_tool(const std::filesystem::path& calls_file,
                                     std::vector<std::pair<std::string, std::string>> more = {}) {
    ProcessOptions options;
    options.env = {{"KORVALLE_UI_KORVALLE_BIN", fake_tool_binary().string()},
                   {"FAKE_KORVALLE_CALLS", calls_file.string()}};
    options.env.insert(options.env.end(), more.begin(), more.end());
    return options;
}

// A test suite whose tests share one runs root, filled once by Suite::fill(root) and served by
// one server (with the stand-in pipeline tool) for the whole suite.
template <class Suite>
class ServedRoot : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new RunsRoot();
        Suite::fill(*root_);
        server_ = new ServerProcess(ServerProcess::serve(root_->path(), with_fake_tool(root_->path() / "calls")));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete root_;
    }
    static unsigned short port() { return server_->port(); }
    static HttpResponse get(const std::string& target) { return http_get(port(), target); }

    inline static RunsRoot* root_ = nullptr;
    inline static ServerProcess* server_ = nullptr;
};

}  // namespace korvalle::testing
