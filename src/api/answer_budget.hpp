// The budget of answers: the bytes of answers waiting to be sent count against one budget, so
// that no crowd of large answers, or of clients slow to take them, takes the process past a
// stated ceiling. Past it an answer waits its turn, in order of arrival, before it is sent.
//
// An answer takes its share once its text is complete, at its real size, and holds it until its
// last byte is written or its connection ends (Response::hold). A document's size is known only
// once it is built, and the store hands it over whole; an estimate taken before would be a guess
// corrected afterwards anyway. So the building of a document is bounded by the budget of opens
// (a document is built from one open view and grows with it), and this budget bounds what waits
// to be sent. An answer waiting for its share keeps its text meanwhile, and waits on the
// blocking-pool thread that built it, never on an I/O worker.
#pragma once

#include "src/http/message.hpp"
#include "src/store/memory_budget.hpp"

#include <cstdint>
#include <memory>

namespace korvalle::server {

inline constexpr std::uint64_t answer_budget_bytes = 512ull << 20;
// Answers smaller than this are counted but never wait.
inline constexpr std::uint64_t answers_never_wait_below = 1ull << 20;

// A budget for answers of the given bytes, with the exemption above.
std::shared_ptr<store::MemoryBudget> answer_budget(std::uint64_t limit = answer_budget_bytes);

// Takes the answer's share of the budget, waiting for its turn (so call it on a blocking-pool
// thread), and hands the answer back holding it.
Response within_budget(Response answer, store::MemoryBudget& budget);

}  // namespace korvalle::server
