// The budget of answers: the bytes of answers being built or waiting to be sent count against
// one budget, so that no crowd of large answers, or of clients slow to take them, takes the
// process past a stated ceiling. Past it an answer waits its turn, in order of arrival; an
// answer that fits is never held up behind a larger one that waits (MemoryBudget::FitsFirst).
// The queue is bounded too: once the answers already waiting pass one budget, a newcomer that
// would wait is answered busy_answer() at once, and so are those still waiting at the stop.
//
// Each byte is counted once, where it lives: the texts kept with a run's view, which any number
// of answers send, are counted by the run cache's bound, or by this budget once the cache let
// them go, once for all their readers (store/kept_texts.hpp); an answer counts only its own bytes
// (answer_bytes). The documents of one run (its detail, timeline and conversations) take their
// share before they are built, from an estimate of what will be made for them
// (store/build_claim.hpp); every other answer takes it once its text is complete, at its real
// size. Either way the share ends at the answer's own bytes and is held until its last byte
// is written or its connection ends (Response::hold). Waiting holds no thread: the request's
// coroutine waits on its own executor (in_steps.hpp).
#pragma once

#include "src/http/message.hpp"
#include "src/store/memory_budget.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>

namespace korvalle::server {

inline constexpr std::uint64_t answer_budget_bytes = 512ull << 20;
// Answers smaller than this are counted but never wait.
inline constexpr std::uint64_t answers_never_wait_below = 1ull << 20;

// A budget for answers of the given bytes, with the exemption above, whose queue holds at most
// as many bytes again.
std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit = answer_budget_bytes);

// The bytes of the answer that its share counts: its body less the texts kept with views that it
// sends (store::kept_bytes).
std::uint64_t answer_bytes(const Response& answer);

// The share of an answer of the given bytes, as the answer holds it (Response::hold): the share
// taken before the answer was built, corrected (never waiting), else one taken now or waited for
// without a thread. Null when the budget refused the wait: the answer is then busy_answer().
boost::asio::awaitable<std::shared_ptr<void>> answer_share(std::shared_ptr<store::MemoryBudget> budget,
                                                           std::uint64_t bytes, store::BudgetShare share);

}  // namespace korvalle::server
