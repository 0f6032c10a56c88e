#include "src/api/answer_budget.hpp"

#include "src/api/in_steps.hpp"
#include "src/store/kept_texts.hpp"

#include <utility>

namespace korvalle::server {

std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit) {
    return store::MemoryBudget::make(limit, answers_never_wait_below, store::MemoryBudget::Order::FitsFirst, limit);
}

std::uint64_t answer_bytes(const Response& answer) { return answer.body_size() - store::kept_bytes(answer.more); }

boost::asio::awaitable<std::shared_ptr<void>> answer_share(std::shared_ptr<store::MemoryBudget> budget,
                                                           std::uint64_t bytes, store::BudgetShare share) {
    const auto held = std::make_shared<store::BudgetShare>(std::move(share));
    // Asking reads no file: the steps run here, on the coroutine's executor.
    StepFunction settle = [budget, held, bytes](const store::Resume& resume) {
        return held->take(*budget, bytes, resume);
    };
    if (co_await in_steps(nullptr, settle) == store::Step::Refused) co_return nullptr;
    co_return std::make_shared<store::MemoryBudget::Lease>(std::move(held->lease()));
}

}  // namespace korvalle::server
