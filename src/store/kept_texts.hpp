// The texts kept with one view that answers send as they are kept (the run detail's
// conversations, node details and round objects, the whole-run timeline), each byte counted once,
// where it lives. While the run cache holds the view, its bound counts them with the view (in the
// room beside it, kept_room.hpp), and an answer that sends them counts nothing for them
// (kept_bytes), however many answers send one text. Once the cache lets the view go (evicted,
// replaced, dropped, or never kept), the answers' budget counts each of them, at once and without
// waiting, for as long as anything still holds it (answers on their way, documents still being
// built from the view), and gives it back when its last holder lets go; so does a text the view
// keeps no more while the cache holds it (a round object made again).
//
// A kept text is a text::SharedText whose holders share one count: its last holder gives back the
// share the answers' budget took for it, if it took one.
//
// Threads: documents keep texts, and the cache lets the view go, on any thread at once. The texts
// kept are listed under a lock of their own, taken under the run cache's lock (let_go), a part's
// lock or the rounds' (keep, forget); under it only the answers' budget's lock is taken, for a
// share taken at once (MemoryBudget::charge), which grants nothing and calls nothing.
#pragma once

#include "sdk/base/fragments.hpp"
#include "sdk/base/thread_safety.hpp"
#include "src/store/memory_budget.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace korvalle::store {

class KeptTexts {
public:
    // answers: the budget that counts the texts once the view is let go; none counts nothing then.
    explicit KeptTexts(std::shared_ptr<MemoryBudget> answers = nullptr) : answers_(std::move(answers)) {}
    KeptTexts(const KeptTexts&) = delete;
    KeptTexts& operator=(const KeptTexts&) = delete;

    // The text as its holders are to share it from now on, kept with the view: counted by the run
    // cache while it holds the view, else by the answers' budget from now on.
    text::SharedText keep(text::SharedText text) EXCLUDES(mutex_);
    // A text that keep gave is kept with the view no more: the answers' budget counts it from now
    // on, until its last holder lets go.
    void forget(const text::SharedText& text) EXCLUDES(mutex_);
    // The run cache lets the view go: the answers' budget counts each text kept, and each one kept
    // from now on. Never waits; calls after the first do nothing more.
    void let_go() EXCLUDES(mutex_);

    // The bytes a kept text is counted for, wherever it is counted.
    static std::uint64_t bytes_of(const std::string& text);

private:
    // The answers' budget counts the text from now on: called once per text.
    void hand_over(const text::SharedText& text) const;

    const std::shared_ptr<MemoryBudget> answers_;
    sync::Mutex mutex_;
    bool let_go_ GUARDED_BY(mutex_) = false;
    std::vector<text::SharedText> texts_ GUARDED_BY(mutex_);  // kept and counted by the cache
};

// The bytes of the fragments that are texts kept with a view (KeptTexts::keep): they are counted
// where they live, so an answer that sends them counts only the rest of its bytes.
std::uint64_t kept_bytes(const text::Fragments& fragments);

}  // namespace korvalle::store
