// The router, the handler pattern's pool step and the success envelope, in process.
#include "src/api/handlers.hpp"
#include "src/api/router.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace korvalle::server {
namespace {

namespace asio = boost::asio;

asio::awaitable<Response> echo(std::shared_ptr<const Serving>, RouteInput input) {
    Response r;
    for (const auto& p : input.params) r.body += "[" + p + "]";
    for (const auto& key : {"a", "b", "c"}) {
        if (auto it = input.query.find(key); it != input.query.end()) r.body += std::string(key) + "=<" + it->second + ">";
    }
    co_return r;
}

// Runs one answering coroutine to its end on a fresh io_context. The pool its steps ran on, if
// any, is shut down before the context goes: a pool thread may still be returning from handing
// the answer to the context.
template <class MakeAnswer>
Response run_to_end(MakeAnswer make_answer, BlockingPool* pool = nullptr) {
    asio::io_context ioc;
    Response out;
    asio::co_spawn(ioc, make_answer(), [&](std::exception_ptr e, Response r) {
        if (e) std::rethrow_exception(e);
        out = std::move(r);
    });
    ioc.run();
    if (pool) pool->shutdown();
    return out;
}

Response respond(const Router& router, std::string method, std::string target) {
    return run_to_end([&] { return router.respond(RequestHead{std::move(method), std::move(target), {}}); });
}

class RouterTest : public ::testing::Test {
protected:
    RouterTest() : router(nullptr) {
        router.get("/runs/{run}", echo).get("/runs/{run}/items/{id}", echo).get("/plain", echo);
    }
    Router router;
};

TEST_F(RouterTest, ParamsArePercentDecodedAfterMatching) {
    EXPECT_EQ(respond(router, "GET", "/runs/a%2Fb").body, "[a/b]");
    EXPECT_EQ(respond(router, "GET", "/runs/a+b").body, "[a+b]");
    EXPECT_EQ(respond(router, "GET", "/runs/a%zz%4").body, "[a%zz%4]");
    EXPECT_EQ(respond(router, "GET", "/runs/r1/items/%2E%2E").body, "[r1][..]");
    // An encoded slash never splits a segment; a literal segment never matches encoded.
    EXPECT_EQ(respond(router, "GET", "/runs/x%2Fitems%2Fy").body, "[x/items/y]");
    EXPECT_EQ(respond(router, "GET", "/%70lain").status, 404u);
}

TEST_F(RouterTest, SegmentsThatAreNotUtf8AreRefusedBeforeAnyCheck) {
    auto res = respond(router, "GET", "/runs/%FF");
    EXPECT_EQ(res.status, 400u);
    EXPECT_EQ(res.body, "Invalid URL: Invalid UTF-8 in `run`");
    ASSERT_EQ(res.headers.size(), 1u);
    EXPECT_EQ(res.headers[0].second, "text/plain; charset=utf-8");
    // The first bad parameter in path order is named.
    EXPECT_EQ(respond(router, "GET", "/runs/ok/items/%C3").body, "Invalid URL: Invalid UTF-8 in `id`");
    EXPECT_EQ(respond(router, "GET", "/runs/%C3%A9").body, "[\xC3\xA9]");
}

TEST_F(RouterTest, QueryIsFormDecodedLastValueWinning) {
    EXPECT_EQ(respond(router, "GET", "/plain?a=1&a=2").body, "a=<2>");
    EXPECT_EQ(respond(router, "GET", "/plain?a=+7&b=%2B7").body, "a=< 7>b=<+7>");
    EXPECT_EQ(respond(router, "GET", "/plain?%61=x&&b&c=").body, "a=<x>b=<>c=<>");
    EXPECT_EQ(respond(router, "GET", "/plain?a=%FF").body, "a=<\xEF\xBF\xBD>");
    EXPECT_EQ(respond(router, "GET", "http://h:1/plain?a=1").body, "a=<1>");
}

using Made = Result<boost::json::value, error::ApiError>;

// A document made in steps, as the store's documents are: the first step ends as the test says
// (waiting for a resume called from another thread, refused, or done), and the last one makes it.
struct Steps {
    std::function<Made()> make;
    store::Step first = store::Step::Done;
    std::optional<Made> made{};
    store::BudgetShare taken{};
    std::shared_ptr<std::jthread> resumer{};

    store::Step step(const store::Resume& resume) {
        const store::Step now = std::exchange(first, store::Step::Done);
        if (now == store::Step::Waits) resumer = std::make_shared<std::jthread>(resume);
        if (now == store::Step::Done) made.emplace(make());
        return now;
    }
    Made& outcome() { return *made; }
    store::BudgetShare& share() { return taken; }
};

Response run_on_pool(std::function<Made()> make, store::Step first = store::Step::Done) {
    auto state = std::make_shared<const Serving>(
        Serving{nullptr, nullptr, std::make_shared<BlockingPool>(4), answer_budget(), nullptr, nullptr});
    return run_to_end([&] { return answer_in_steps(state, Steps{std::move(make), first}); }, state->pool.get());
}

TEST(HandlerPattern, PoolOutcomesBecomeAnswers) {
    // A step that throws answers read_error; an ApiError answers its own status and body.
    auto res = run_on_pool([]() -> Made { throw std::runtime_error("disk on fire"); });
    EXPECT_EQ(res.status, 500u);
    EXPECT_EQ(res.body, R"({"error":{"code":"read_error","message":"read failed: unexpected read failure"}})");
    res = run_on_pool([]() -> Made { return error::ApiError::run_not_found(*contract::RunId::make("r-1")); });
    EXPECT_EQ(res.status, 404u);
    EXPECT_EQ(res.body, R"({"error":{"code":"run_not_found","message":"no recorded run r-1"}})");

    // A stamped document answers the envelope, the document's keys in their order after it,
    // also after a wait ended on another thread.
    for (const store::Step first : {store::Step::Done, store::Step::Waits}) {
        res = run_on_pool([] { return Made(boost::json::parse(R"({"zeta":1,"alpha":[1.5,"x"],"mid":{"b":2,"a":null}})")); },
                          first);
        EXPECT_EQ(res.status, 200u);
        auto prefix = std::string(R"({"api_version":2,"telemetry_schema_version":12,"observed_at":")");
        ASSERT_EQ(res.body.substr(0, prefix.size()), prefix);
        EXPECT_EQ(res.body.substr(res.body.find("Z\"") + 2), R"(,"zeta":1,"alpha":[1.5,"x"],"mid":{"b":2,"a":null}})");
        EXPECT_NE(res.hold, nullptr);  // its share of the answers' budget
    }

    // A refused wait answers that the server is busy, and the connection closes after it.
    res = run_on_pool([]() -> Made { throw std::logic_error("never made"); }, store::Step::Refused);
    EXPECT_EQ(res.status, 503u);
    EXPECT_TRUE(res.close);
    EXPECT_EQ(res.body, "korvalle-api is busy: try again in a few seconds\n");
}

TEST(SuccessEnvelope, NullAndEmptyDocumentsGiveTheThreeKeysAloneAndWrittenOnesFollowTheHead) {
    for (const char* doc : {"null", "{}"}) {
        api::Stamped stamped{2, 12, "2026-01-01T00:00:00Z", boost::json::parse(doc)};
        auto res = success_envelope(stamped);
        EXPECT_EQ(res.body, R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"2026-01-01T00:00:00Z"})");
    }
    // A written document follows the head as its own fragment: together the bytes of one body.
    for (std::string written : {R"({"a":1,"b":[2]})", "{}"}) {
        auto res = success_envelope(api::Stamped{2, 12, "t", nullptr, api::Written(written)});
        std::string body = res.body;
        for (const auto& fragment : res.more) body += fragment.bytes;
        written.erase(0, 1);
        EXPECT_EQ(body, R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"t")" +
                            (written == "}" ? written : "," + written));
        EXPECT_EQ(res.body_size(), body.size());
    }
    // A document in fragments is sent in them: a kept text that opens it goes out from past its
    // opening brace, neither copied nor changed.
    const text::SharedText kept = std::make_shared<const std::string>(R"({"a":1})");
    auto fragmented = success_envelope(api::Stamped{2, 12, "t", nullptr, api::Written(text::Fragments{text::fragment_of(kept)})});
    ASSERT_EQ(fragmented.more.size(), 1u);
    EXPECT_EQ(fragmented.more.front().bytes.data(), kept->data() + 1);
    EXPECT_EQ(fragmented.body + std::string(fragmented.more.front()), R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"t","a":1})");
    EXPECT_EQ(*kept, R"({"a":1})");
    api::Stamped list{2, 12, "t", boost::json::parse("[1]")};
    auto res = success_envelope(list);
    EXPECT_EQ(res.status, 500u);
    EXPECT_EQ(res.body, "can only flatten structs and maps (got a sequence)");
}

}  // namespace
}  // namespace korvalle::server
