// Work that never blocks its thread to wait. It is taken in steps: a step goes as far as it can
// and either ends, or stops where it must wait (for a share of a memory budget, or for another
// caller's open of a run) and says so. The caller then waits as it likes (a request's coroutine
// without any thread, a walk on its own thread) until the step's resume is called, and takes the
// next step.
#pragma once

#include <functional>

namespace korvalle::store {

// How a step ended.
enum class Step {
    Done,     // the work is complete
    Waits,    // resume will be called once, from whichever thread ends the wait; step again then
    Refused,  // it may not wait: a budget's queue is full, or the server is stopping
};

// Called once when what a step waited for has happened. It must not block or throw: it hands
// the work back to its caller, who takes the next step.
using Resume = std::function<void()>;

// Takes step(resume) again and again until it does not wait, blocking the calling thread while
// it waits; returns how the last step ended. For callers that are not requests: walks on the
// store's own threads, tests and benchmarks.
Step until_done(const std::function<Step(const Resume&)>& step);

}  // namespace korvalle::store
