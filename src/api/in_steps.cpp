#include "src/api/in_steps.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <exception>
#include <memory>
#include <utility>

namespace korvalle::server {

namespace {

using Signature = void(std::exception_ptr, store::Step);

// Takes one step; the coroutine goes on with its end, or with Waits once its resume is called.
boost::asio::awaitable<store::Step> one_step(BlockingPool* pool, std::shared_ptr<StepFunction> step,
                                            BlockingPool::Turn turn) {
    auto initiation = [pool, step, turn](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        // The handler is called once, on the coroutine's executor, never on the thread that ends
        // a wait (an I/O worker giving a budget back, a pool thread landing an open).
        auto called = std::make_shared<std::atomic<bool>>(false);
        auto finish = [shared, called](std::exception_ptr error, store::Step ended) {
            if (called->exchange(true)) return;
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, ended]() mutable { (*shared)(error, ended); });
        };
        auto take = [step, finish] {
            store::Step ended = store::Step::Done;
            try {
                ended = (*step)([finish] { finish(nullptr, store::Step::Waits); });
            } catch (...) {
                // Whatever the step threw goes to the coroutine, which rethrows it.
                finish(std::current_exception(), store::Step::Done);
                return;
            }
            if (ended != store::Step::Waits) finish(nullptr, ended);
        };
        if (pool == nullptr) return take();
        try {
            pool->submit(take, turn);
        } catch (...) {
            finish(std::current_exception(), store::Step::Done);  // rethrown in the coroutine, as above
        }
    };
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>, Signature>(
        initiation, boost::asio::use_awaitable);
}

}  // namespace

boost::asio::awaitable<store::Step> in_steps(BlockingPool* pool, StepFunction step) {
    const auto shared = std::make_shared<StepFunction>(std::move(step));
    // A step after a wait goes ahead of work not yet begun: what it waited for may be what
    // newer requests wait for in turn.
    auto turn = BlockingPool::Turn::Fresh;
    for (;;) {
        const store::Step ended = co_await one_step(pool, shared, turn);
        if (ended != store::Step::Waits) co_return ended;
        turn = BlockingPool::Turn::Resumed;
    }
}

}  // namespace korvalle::server
