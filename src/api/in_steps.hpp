// Store work taken in steps (store/steps.hpp) from a request's coroutine, without a thread held
// while it waits: each step runs on the blocking pool (or, for a step that reads no file, on the
// coroutine's own executor), and when a step waits, the coroutine is suspended until the step's
// resume is called, whichever thread calls it; the next step then runs on the pool again. So a
// crowd of requests waiting for budgets or for another request's open holds no thread at all,
// and small work always finds one.
#pragma once

#include "src/http/pool.hpp"
#include "src/store/steps.hpp"

#include <boost/asio/awaitable.hpp>

#include <functional>

namespace korvalle::server {

using StepFunction = std::function<store::Step(const store::Resume&)>;

// Takes step until it does not wait and returns how it ended (Done or Refused). pool: where the
// steps run; null runs them on the coroutine's executor. An exception thrown by a step (or a step
// the pool cannot start) is rethrown here; a step that throws must leave no resume to be called.
boost::asio::awaitable<store::Step> in_steps(BlockingPool* pool, StepFunction step);

}  // namespace korvalle::server
