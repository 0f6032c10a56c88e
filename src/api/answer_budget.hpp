// The budget of answers: the bytes of answers being built or waiting to be sent count against
// one budget, so that no crowd of large answers, or of clients slow to take them, takes the
// process past a stated ceiling. Past it an answer waits its turn, in order of arrival; an
// answer that fits is never held up behind a larger one that waits (MemoryBudget::FitsFirst).
//
// The whole-run documents take their share before they are built, from an estimate (see
// store::AnswerShare); every other answer takes it once its text is complete, at its real size.
// Either way the share ends at the answer's size and is held until its last byte is written or
// its connection ends (Response::hold). Waiting happens on the blocking-pool thread that runs
// the request, never on an I/O worker.
#pragma once

#include "src/http/message.hpp"
#include "src/store/memory_budget.hpp"
#include "src/store/store.hpp"

#include <cstdint>
#include <memory>

namespace korvalle::server {

inline constexpr std::uint64_t answer_budget_bytes = 512ull << 20;
// Answers smaller than this are counted but never wait.
inline constexpr std::uint64_t answers_never_wait_below = 1ull << 20;

// A budget for answers of the given bytes, with the exemption above.
std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit = answer_budget_bytes);

// Settles the answer's share at its size, waiting for its turn when none was reserved before
// (so call it on a blocking-pool thread), and hands the answer back holding it.
Response within_budget(Response answer, store::AnswerShare share);

}  // namespace korvalle::server
