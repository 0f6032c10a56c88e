#include "src/api/answer_budget.hpp"

#include <utility>

namespace korvalle::server {

std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit) {
    return store::MemoryBudget::make(limit, answers_never_wait_below, store::MemoryBudget::Order::FitsFirst);
}

Response within_budget(Response answer, store::AnswerShare share) {
    share.settle(answer.body_size());
    answer.hold = std::make_shared<store::MemoryBudget::Lease>(std::move(share.lease));
    return answer;
}

}  // namespace korvalle::server
