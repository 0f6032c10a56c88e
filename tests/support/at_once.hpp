// Calls released together on threads of their own, for tests of concurrent first requests.
#pragma once

#include <barrier>
#include <thread>
#include <utility>
#include <vector>

namespace korvalle::testing {

// call(0) … call(count - 1), each on a thread of its own, all started past one barrier; their
// results in order.
template <class Call>
auto at_once(int count, Call call) -> std::vector<decltype(call(0))> {
    using Result = decltype(call(0));
    // A slot of its own for each result: std::vector<bool> packs results into shared words,
    // which threads writing at once would race on.
    struct Slot {
        Result value{};
    };
    std::barrier start(count);
    std::vector<Slot> slots(static_cast<std::size_t>(count));
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                slots[static_cast<std::size_t>(i)].value = call(i);
            });
        }
    }
    std::vector<Result> results;
    results.reserve(slots.size());
    for (Slot& slot : slots) results.push_back(std::move(slot.value));
    return results;
}

}  // namespace korvalle::testing
