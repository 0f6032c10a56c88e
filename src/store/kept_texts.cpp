#include "src/store/kept_texts.hpp"

#include "sdk/base/memory.hpp"

#include <algorithm>
#include <utility>

namespace korvalle::store {

namespace {

// What every holder of a kept text shares, as the deleter of its shared pointer: the text as it
// was made, and the share of the answers' budget taken once the text was handed over, both let go
// with the last holder. Being the deleter, it also tells a kept text from any other, through
// every pointer that shares it (std::get_deleter), fragments' owners included.
struct Keeper {
    text::SharedText made;
    MemoryBudget::Lease share;

    void operator()(const std::string*) {
        share.release();
        made.reset();
    }
};

}  // namespace

std::uint64_t KeptTexts::bytes_of(const std::string& text) { return sizeof(text) + memory::written_bytes(text); }

text::SharedText KeptTexts::keep(text::SharedText text) {
    const std::string* bytes = text.get();
    text::SharedText kept(bytes, Keeper{std::move(text), {}});
    sync::Lock lock(mutex_);
    if (let_go_)
        hand_over(kept);
    else
        texts_.push_back(kept);
    return kept;
}

void KeptTexts::forget(const text::SharedText& text) {
    sync::Lock lock(mutex_);
    const auto listed = std::find(texts_.begin(), texts_.end(), text);
    if (listed == texts_.end()) return;  // handed over when the view was let go
    hand_over(text);
    texts_.erase(listed);
}

void KeptTexts::let_go() {
    // Let go of after the lock: a text nothing else holds gives its share back at once, which may
    // grant shares that wait.
    std::vector<text::SharedText> handed;
    sync::Lock lock(mutex_);
    if (let_go_) return;
    let_go_ = true;
    for (const text::SharedText& text : texts_) hand_over(text);
    handed = std::move(texts_);
}

// Under the lock, from a holder that keeps the text alive: the last holder, which reads the share,
// lets go only after this.
void KeptTexts::hand_over(const text::SharedText& text) const {
    Keeper* keeper = std::get_deleter<Keeper>(text);
    if (keeper && answers_) keeper->share = answers_->charge(bytes_of(*text));
}

std::uint64_t kept_bytes(const text::Fragments& fragments) {
    std::uint64_t bytes = 0;
    for (const text::Fragment& fragment : fragments) {
        if (std::get_deleter<Keeper>(fragment.owner)) bytes += fragment.size();
    }
    return bytes;
}

}  // namespace korvalle::store
