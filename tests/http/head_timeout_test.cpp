// The request-head time limit, on the listener run in process with a short limit.
#include "tests/http/in_process_server.hpp"
#include "tests/support/http_client.hpp"

#include <gtest/gtest.h>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

TEST(HeadTimeout, AClientThatSendsNoCompleteHeadIsClosedAtTheLimit) {
    InProcessServer serving(HttpLimits{.head_timeout = 1s});
    testing::HttpClient silent(serving.port, 10s);
    testing::HttpClient slow(serving.port, 10s);
    slow.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\n");
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.closed_by_peer(8s));
    EXPECT_TRUE(slow.closed_by_peer(8s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_EQ(testing::http_get(serving.port, "/healthz").status, 200u);
}

}  // namespace
}  // namespace korvalle::server
