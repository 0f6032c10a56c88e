// Work that never blocks its thread to wait. It is taken in steps: a step goes as far as it can
// and either ends, or stops where it must wait (for a share of a memory budget, for another
// caller's open of a run, for the telemetry cache's lock) and says so. The caller then waits as
// it likes (a request's coroutine without any thread; a walk's read parked until the open pool
// takes it on) until the step's resume is called, and takes the next step.
#pragma once

#include <functional>

namespace korvalle::store {

// How a step ended.
enum class Step {
    Done,     // the work is complete
    Waits,    // resume will be called once, from whichever thread ends the wait; step again then
    Refused,  // a budget or the telemetry cache refused to let it wait (a full queue, the stop)
};

// Called once when what a step waited for has happened. It must not block or throw: it hands
// the work back to its caller, who takes the next step.
using Resume = std::function<void()>;

}  // namespace korvalle::store
