#include "src/api/answer_budget.hpp"

#include <utility>

namespace korvalle::server {

std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit) {
    return store::MemoryBudget::make(limit, answers_never_wait_below);
}

Response within_budget(Response answer, store::MemoryBudget& budget) {
    answer.hold = std::make_shared<store::MemoryBudget::Lease>(budget.acquire(answer.body_size()));
    return answer;
}

}  // namespace korvalle::server
