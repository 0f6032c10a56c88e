#include "src/store/kept_rounds.hpp"

#include <utility>

namespace korvalle::store {

KeptRounds::Object KeptRounds::usable(std::uint64_t round) const {
    Object kept;
    {
        sync::Lock lock(mutex_);
        if (auto it = objects_.find(round); it != objects_.end()) kept = it->second;
    }
    // The files are looked at outside the lock: other rounds' callers need not wait for the stats.
    return kept && kept->files.unchanged() ? kept : nullptr;
}

KeptRounds::Object KeptRounds::keep(std::uint64_t round, const Object& object) {
    // A copy whose text is the one kept with the view, counted as the copy holds it.
    std::shared_ptr<payload::RoundObject> kept = object ? std::make_shared<payload::RoundObject>(*object) : nullptr;
    sync::Lock lock(mutex_);
    auto it = objects_.find(round);
    if (it != objects_.end()) {
        room_.give_back(it->second->held_bytes());
        if (it->second->text) texts_.forget(it->second->text);
        objects_.erase(it);
    }
    if (!kept) return nullptr;
    if (!room_.take(kept->held_bytes())) {
        made_alone_[round] = kept->held_bytes();
        return nullptr;
    }
    made_alone_.erase(round);
    if (kept->text) kept->text = texts_.keep(std::move(kept->text));
    objects_.emplace(round, kept);
    return kept;
}

std::uint64_t KeptRounds::made_alone_bytes() const {
    sync::Lock lock(mutex_);
    std::uint64_t bytes = 0;
    for (const auto& [round, held] : made_alone_) bytes += held;
    return bytes;
}

KeptRounds::Object KeptRounds::get(std::uint64_t round, std::optional<std::int64_t> read_from, const Make& make) {
    if (Object kept = usable(round)) return kept;
    // One maker at a time: a caller that waited here finds what the one before it kept.
    sync::Lock making(making_);
    if (Object kept = usable(round)) return kept;
    Object made = make();
    // What was kept for the round no longer answers: it goes, and the new object takes its
    // place only when it may be trusted. The document sends the text kept, when it is.
    Object kept = keep(round, read_from && made->files.settled_before(*read_from) ? made : nullptr);
    return kept ? kept : made;
}

}  // namespace korvalle::store
