// Connections that must end: after a read or write error, when a body does not arrive in time,
// when chunked framing runs on without a line end, when the client stops reading its answer, and
// when it reads a large answer too slowly on average (not in bursts); "Expect: 100-continue"
// answered at once, and answers in several fragments. Time limits are shortened on the in-process
// listener; the descriptor and memory checks use the real server binary.
#include "tests/http/in_process_server.hpp"
#include "tests/support/http_client.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/run_builder.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <future>
#include <mutex>
#include <set>
#include <thread>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

// Sends the bytes and resets the connection (SO_LINGER 0) without reading anything.
void send_and_reset(unsigned short port, const std::string& bytes) {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    asio::write(socket, asio::buffer(bytes));
    socket.set_option(asio::socket_base::linger(true, 0));
    socket.close();
}

TEST(Connections, ResetClientsLeaveNoDescriptorBehindAndTheStopCompletes) {
    testing::RunsRoot root;
    auto server = testing::ServerProcess::serve(root.path());
    const int idle = testing::open_descriptors(server.pid());
    std::string three;
    for (int i = 0; i < 3; ++i) three += "GET /healthz HTTP/1.1\r\nhost: localhost\r\n\r\n";
    for (int i = 0; i < 10; ++i) send_and_reset(server.port(), three);
    EXPECT_TRUE(testing::eventually([&] { return testing::open_descriptors(server.pid()) <= idle; }))
        << testing::open_descriptors(server.pid()) << " descriptors open, " << idle << " when idle";
    EXPECT_EQ(server.stop(), 0);
}

TEST(Connections, ABodyThatDoesNotArriveInTimeEndsTheConnection) {
    InProcessServer serving(HttpLimits{.head_timeout = 1s});
    testing::HttpClient announced(serving.port, 10s);
    announced.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\ncontent-length: 10\r\n\r\n");
    testing::HttpClient chunked(serving.port, 10s);
    chunked.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\ntransfer-encoding: chunked\r\n\r\n");
    EXPECT_TRUE(announced.closed_by_peer(8s));
    EXPECT_TRUE(chunked.closed_by_peer(8s));

    // A body trickled a byte at a time never completes within the limit.
    testing::HttpClient trickle(serving.port, 10s);
    trickle.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\ncontent-length: 100\r\n\r\n");
    bool closed = false;
    for (int i = 0; i < 40 && !closed; ++i) {
        trickle.send_raw("x");
        closed = trickle.closed_by_peer(300ms);
    }
    EXPECT_TRUE(closed);
}

TEST(Connections, ChunkedFramingLinesAreBoundedAndRefused) {
    testing::RunsRoot root;
    auto server = testing::ServerProcess::serve(root.path());
    testing::MemoryGuard guard(server.pid());
    const std::string head = "GET /healthz HTTP/1.1\r\nhost: localhost\r\ntransfer-encoding: chunked\r\n\r\n";
    const std::string endless(1 << 20, '1');
    const std::string refused[] = {
        head + endless,                                           // a chunk size without end
        head + "5;" + std::string(1 << 20, 'a'),                 // a chunk extension without end
        head + "5\r\nhello\r\n0\r\nx-trailer: " + endless,      // a trailer without end
    };
    for (const auto& request : refused) {
        auto reply = testing::raw_exchange(server.port(), request);
        EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << reply.substr(0, 100);
    }
    // A long framing line within the bound is read.
    testing::HttpClient client(server.port());
    client.send_raw(head + "5;" + std::string(8000, 'a') + "\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(client.read_response().status, 200u);
    EXPECT_FALSE(guard.tripped());
    EXPECT_EQ(server.stop(), 0);
}

TEST(Connections, ExpectContinueIsAnsweredBeforeTheBody) {
    InProcessServer serving(HttpLimits{});
    testing::HttpClient client(serving.port, 10s);
    client.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\nexpect: 100-continue\r\ncontent-length: 5\r\n\r\n");
    EXPECT_EQ(client.read_response().status, 100u);
    client.send_raw("hello");
    auto answer = client.read_response();
    EXPECT_EQ(answer.status, 200u);
    EXPECT_EQ(answer.body, "ok");
}

TEST(Connections, AClientThatStopsReadingCannotHoldTheStop) {
    // An answer far larger than the socket buffers, to a client that never reads it.
    auto serving = std::make_unique<InProcessServer>(HttpLimits{.write_stall_timeout = 1s},
                                                     std::string(64 << 20, 'x'));
    testing::HttpClient stalled(serving->port, 10s);
    stalled.send_raw("GET /big HTTP/1.1\r\nhost: localhost\r\n\r\n");
    std::this_thread::sleep_for(200ms);
    auto stopped = std::async(std::launch::async, [&] { serving.reset(); });
    EXPECT_EQ(stopped.wait_for(20s), std::future_status::ready);
}

// An answer in fragments goes out as the bytes of its fragments in order (a shared fragment from its
// offset on), HEAD with their length; a client that reads it at once gets it whole, while one
// that takes a large answer a byte at a time is cut off and the answer lets go of what it holds.
TEST(Connections, LargeAnswersInFragmentsAndTheirPace) {
    const std::string middle(8 << 20, 'x');
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = held;
    auto shared = std::make_shared<const std::string>("{" + middle);
    Response answer{200, {}, "<", {}, {text::Fragment(shared, std::string_view(*shared).substr(1)), std::string(">")}, std::move(held)};
    InProcessServer serving(HttpLimits{.write_stall_timeout = 1s}, std::make_shared<FixedAnswer>(std::move(answer)));

    testing::HttpClient reader(serving.port, 20s);
    auto whole = reader.get("/big");
    EXPECT_EQ(whole.header("content-length"), std::to_string(middle.size() + 2));
    EXPECT_TRUE(whole.body == "<" + middle + ">");
    auto head = reader.request("HEAD", "/big");
    EXPECT_EQ(head.header("content-length"), std::to_string(middle.size() + 2));
    EXPECT_TRUE(head.body.empty());

    testing::HttpClient trickle(serving.port, 20s);
    trickle.send_raw("GET /big HTTP/1.1\r\nhost: localhost\r\n\r\n");
    std::size_t read = 0;
    bool let_go = false;
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (!let_go && std::chrono::steady_clock::now() < give_up) {
        if (!trickle.closed_by_peer(2s)) ++read;
        let_go = read > 0 && watch.use_count() == 1;  // only the fixed answer's copy is left
        std::this_thread::sleep_for(100us);
    }
    EXPECT_TRUE(let_go);
    EXPECT_LT(read, middle.size());
}

// Answers every request with one 8 MiB body, and keeps the targets whose answers the server has
// let go: written whole, or given up.
struct WatchedAnswers : Responder {
    text::SharedText body = std::make_shared<const std::string>(8 << 20, 'x');
    mutable std::mutex mutex;
    mutable std::set<std::string> let_go;

    asio::awaitable<Response> respond(RequestHead head) const override {
        std::shared_ptr<void> hold(nullptr, [this, target = head.target](void*) {
            std::lock_guard lock(mutex);
            let_go.insert(target);
        });
        co_return Response{200, {}, "", {}, {text::fragment_of(body)}, std::move(hold)};
    }
};

// The pace of a large answer is kept on average: a client that takes 1.2 times the floor in
// bursts, each a little less than the floor's time apart, gets the whole answer; one that takes a
// sixteenth of the floor, or nothing, is cut off. The schedule is the default one (1 MiB per
// 30 s, bursts 25 s apart) sped up fifteenfold.
TEST(Connections, ReadersInBurstsAreServedAtTheirAverage) {
    constexpr std::size_t floor = 1 << 20;
    auto answers = std::make_shared<WatchedAnswers>();
    const std::size_t size = answers->body->size();
    InProcessServer serving(HttpLimits{.write_stall_timeout = 2s, .answer_pace_bytes = floor}, answers);
    const auto done_with = [&](const std::string& target) {
        std::lock_guard lock(answers->mutex);
        return answers->let_go.contains(target);
    };
    // Reads `burst` bytes at a time until the server is done with the answer, then what it wrote
    // of it; the bytes of the body read. A receive buffer of its own size: the kernel's, grown as
    // the client reads, could hold most of the answer and leave the server little to pace.
    auto reader = [&](std::string target, std::size_t burst) {
        return std::async(std::launch::async, [&, target, burst] {
            testing::HttpClient client(serving.port, 20s, 256 << 10);
            client.send_raw("GET " + target + " HTTP/1.1\r\nhost: localhost\r\nconnection: close\r\n\r\n");
            std::string read;
            for (auto next = std::chrono::steady_clock::now(); !done_with(target);
                 std::this_thread::sleep_until(next += 1667ms)) {
                read += client.read_raw(burst);
            }
            read += client.read_raw(size + 4096);  // the connection closes behind the answer
            return read.size() - (read.find("\r\n\r\n") + 4);
        });
    };
    auto bursty = reader("/bursty", floor * 6 / 5);
    auto slow = reader("/slow", floor / 16);
    auto never = reader("/never", 0);
    EXPECT_EQ(bursty.get(), size);
    EXPECT_LT(slow.get(), size);
    EXPECT_LT(never.get(), size);
}

}  // namespace
}  // namespace korvalle::server
