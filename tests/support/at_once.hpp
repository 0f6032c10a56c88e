// Calls released together on threads of their own, for tests of concurrent first requests.
#pragma once

#include <barrier>
#include <thread>
#include <vector>

namespace korvalle::testing {

// call(0) … call(count - 1), each on a thread of its own, all started past one barrier; their
// results in order.
template <class Call>
auto at_once(int count, Call call) -> std::vector<decltype(call(0))> {
    std::barrier start(count);
    std::vector<decltype(call(0))> results(static_cast<std::size_t>(count));
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                results[static_cast<std::size_t>(i)] = call(i);
            });
        }
    }
    return results;
}

}  // namespace korvalle::testing
