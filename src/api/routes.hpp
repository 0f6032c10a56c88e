// The read API's routes: the router state every handler shares, and the router with every
// route and the fallback.
#pragma once

#include "src/api/router.hpp"
#include "src/api/shared_lists.hpp"
#include "src/api/shared_poll.hpp"
#include "src/http/pool.hpp"
#include "src/store/memory_budget.hpp"
#include "src/store/store.hpp"

#include <atomic>
#include <memory>

namespace korvalle::server {

// The router state shared by every handler: the one run store, the stopping flag, the
// blocking pool that runs every store read, the budget of answers (answer_budget.hpp), the
// change feed's shared polls and the run list's shared walks.
struct Serving {
    std::shared_ptr<const store::RunStore> store;
    std::shared_ptr<std::atomic<bool>> stopping;
    std::shared_ptr<BlockingPool> pool;
    std::shared_ptr<store::MemoryBudget> answers;
    std::shared_ptr<SharedPolls> polls;
    std::shared_ptr<SharedLists> lists;
};

// The router with every route and the fallback. From now on answers also counts the texts the
// store's cache lets go while answers still send them (store::RunCache::count_let_go_texts_in).
std::shared_ptr<Router> router_stopping_on(std::shared_ptr<const store::RunStore> store,
                                           std::shared_ptr<std::atomic<bool>> stopping,
                                           std::shared_ptr<BlockingPool> pool,
                                           std::shared_ptr<store::MemoryBudget> answers);

}  // namespace korvalle::server
