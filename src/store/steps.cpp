#include "src/store/steps.hpp"

#include <future>
#include <memory>

namespace korvalle::store {

Step until_done(const std::function<Step(const Resume&)>& step) {
    for (;;) {
        // Shared with the resume, which may still be returning when this thread wakes.
        auto resumed = std::make_shared<std::promise<void>>();
        std::future<void> woken = resumed->get_future();
        const Step ended = step([resumed] { resumed->set_value(); });
        if (ended != Step::Waits) return ended;
        woken.wait();
    }
}

}  // namespace korvalle::store
