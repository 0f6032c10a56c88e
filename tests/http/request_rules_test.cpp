// Framing and Host rules on the listener run in process, with raw bytes: a refused head is
// answered once and its connection closes, so bytes sent behind it are never served as a second
// request; a served one is followed by a request that must be answered too, which proves where
// its body ended. One listener is bound to loopback, one to every address (reached through
// 127.0.0.1, so the same client can tell the two apart).
#include "src/http/request_rules.hpp"

#include "tests/http/in_process_server.hpp"
#include "tests/support/http_client.hpp"

#include <gtest/gtest.h>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

// A request sent behind each head: a server that misreads the framing answers it.
const std::string follow = "GET /follow HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n";

std::string get_from(const std::string& target, const std::string& fields, const char* version = "HTTP/1.1") {
    return "GET " + target + " " + version + "\r\n" + fields + "\r\n";
}

std::string get(const std::string& fields, const char* version = "HTTP/1.1") { return get_from("/", fields, version); }

TEST(RequestRules, FramingAndHostsAreJudgedBeforeTheBody) {
    enum Bind { loopback, any };
    struct Case {
        Bind bind;
        std::string request;  // `follow` is sent behind it
        unsigned status;
    };
    const std::string local = "host: localhost\r\n";
    const std::string chunked_body = "5\r\nhello\r\n0\r\n\r\n";
    const std::string follow_length = "content-length: " + std::to_string(follow.size()) + "\r\n";
    const Case cases[] = {
        // Transfer codings: only a list ending in one chunked frames a body.
        {loopback, get(local + "transfer-encoding: gzip\r\n"), 400},
        {loopback, get(local + "transfer-encoding: chunked, gzip\r\n") + chunked_body, 400},
        {loopback, get(local + "transfer-encoding: xchunked\r\n"), 400},
        {loopback, get(local + "transfer-encoding: chunked, chunked\r\n") + chunked_body, 400},
        {loopback, get(local + "transfer-encoding: chunked;q=1\r\n") + chunked_body, 400},
        {loopback, get(local + "transfer-encoding: br, chunked\r\n") + chunked_body, 501},
        {loopback, get(local + "transfer-encoding: GZIP , chunked\r\n") + chunked_body, 200},
        {loopback, get(local + "transfer-encoding: gzip\r\ntransfer-encoding: chunked\r\n") + chunked_body, 200},
        // Both framings, in either order, and a coding on HTTP/1.0.
        {loopback, get(local + "transfer-encoding: gzip\r\n" + follow_length) + follow, 400},
        {loopback, get(local + "content-length: 5\r\ntransfer-encoding: chunked\r\n") + chunked_body, 400},
        {loopback, get(local + "transfer-encoding: chunked\r\ncontent-length: 5\r\n") + chunked_body, 400},
        {loopback, get(local + "transfer-encoding: chunked\r\nconnection: keep-alive\r\n", "HTTP/1.0") + chunked_body,
         400},
        // Host: one on HTTP/1.1, a host and port, none needed on HTTP/1.0.
        {loopback, get(""), 400},
        {loopback, get(local + local), 400},
        {loopback, get("host: a b\r\n"), 400},
        {loopback, get("host: 127.0.0.1:x\r\n"), 400},
        {loopback, get("host: [::1\r\n"), 400},
        {loopback, get("connection: keep-alive\r\n", "HTTP/1.0"), 200},
        {any, get(""), 400},
        // Names on a loopback listener: IP literals and localhost names only, any port.
        {loopback, get("host: 127.0.0.1:8765\r\n"), 200},
        {loopback, get("host: 10.1.2.3\r\n"), 200},
        {loopback, get("host: [::1]:8765\r\n"), 200},
        {loopback, get("host: LocalHost:8765\r\n"), 200},
        {loopback, get("host: app.dev.localhost:3000\r\n"), 200},
        {loopback, get("host: evil.example:8765\r\n"), 403},
        {loopback, get("host: localhost.\r\n"), 403},
        {loopback, get("host: .localhost\r\n"), 403},
        {loopback, get("host: localhost.evil.example\r\n"), 403},
        {loopback, get("host: 127.0.0.1.evil.example\r\n"), 403},
        {loopback, get("host: [v1.x]\r\n"), 403},
        {loopback, get("host: \r\n"), 403},
        {loopback, get("host: evil.example\r\nexpect: 100-continue\r\n" + follow_length) + follow, 403},
        {any, get("host: evil.example:8765\r\n"), 200},
        // An absolute-form target's authority stands for Host, which must still be well formed.
        {loopback, get_from("http://evil.example/healthz", local), 403},
        {loopback, get_from("http://evil.example:8765", local), 403},
        {loopback, get_from("http://localhost/api/v2/runs", "host: evil.example\r\n"), 200},
        {loopback, get_from("https://[::1]:8765?x=1", "host: evil.example\r\n"), 200},
        {loopback, get_from("http://app.localhost/", "connection: keep-alive\r\n", "HTTP/1.0"), 200},
        {loopback, get_from("http://evil.example/", "connection: keep-alive\r\n", "HTTP/1.0"), 403},
        {loopback, get_from("http://localhost@evil.example/healthz", local), 400},
        {loopback, get_from("http://localhost/", "host: a b\r\n"), 400},
        {loopback, get_from("http://localhost/", ""), 400},
        {loopback, get_from("http:///healthz", local), 400},
        {any, get_from("http://evil.example/healthz", local), 200},
        {any, get_from("http://user@10.1.2.3/", "host: 10.1.2.3\r\n"), 400},
    };
    InProcessServer on_loopback(HttpLimits{}, std::make_shared<FixedAnswer>(Response{200, {}, "ok"}));
    InProcessServer on_any(HttpLimits{}, std::make_shared<FixedAnswer>(Response{200, {}, "ok"}), "0.0.0.0");
    for (const auto& [bind, request, status] : cases) {
        SCOPED_TRACE(request);
        testing::HttpClient client(bind == loopback ? on_loopback.port : on_any.port, 10s);
        client.send_raw(request + follow);
        auto answer = client.read_response();
        EXPECT_EQ(answer.status, status);
        if (status == 200) {
            EXPECT_EQ(client.read_response().status, 200u);
        } else {
            EXPECT_EQ(answer.header("connection"), "close");
            EXPECT_TRUE(client.closed_by_peer(5s));
        }
    }

    // The refusal of a foreign name says what to do instead, of Host or of the target's authority.
    for (const auto& request : {get("host: Evil.example:8765\r\n"), get_from("http://Evil.example:8765/", local)}) {
        testing::HttpClient client(on_loopback.port, 10s);
        client.send_raw(request);
        auto answer = client.read_response();
        EXPECT_EQ(answer.header("content-type"), "text/plain; charset=utf-8");
        EXPECT_EQ(answer.body,
                  "host \"Evil.example:8765\" is not served on a loopback address: reach this server as 127.0.0.1 "
                  "or localhost, or bind another address\n");
    }
}

TEST(RequestRules, LoopbackAddresses) {
    namespace ip = boost::asio::ip;
    for (const char* address : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(is_loopback(ip::make_address(address))) << address;
    }
    for (const char* address : {"0.0.0.0", "::", "192.168.1.10", "::ffff:10.0.0.1", "fe80::1"}) {
        EXPECT_FALSE(is_loopback(ip::make_address(address))) << address;
    }
}

}  // namespace
}  // namespace korvalle::server
