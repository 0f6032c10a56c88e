#include "src/store/run_cache.hpp"

#include <ctime>
#include <unordered_set>
#include <utility>

namespace korvalle::store {

namespace {

// A bit of every view that its journal does not account for: the record itself, the launch
// record, the graph of a plan.
constexpr std::uint64_t fixed_view_bytes = 16 * 1024;

}  // namespace

RunCache::RunCache(std::uint64_t max_bytes, Clock clock) : max_bytes_(max_bytes), clock_(std::move(clock)) {}

std::int64_t RunCache::realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint64_t RunCache::estimated_bytes(const views::RunView& view) {
    // The first two files an open records are its own launch record and journal; the other
    // runs' journals it read are not kept.
    std::uint64_t file_bytes = 0;
    const auto& files = view.files_read.files;
    for (std::size_t i = 0; i < files.size() && i < 2; ++i) {
        if (files[i].identity) file_bytes += files[i].identity->size;
    }
    return fixed_view_bytes + file_bytes * bytes_per_journal_byte;
}

SharedView RunCache::open(const ledger::RunPaths& paths, bool* kept) {
    SharedRun run = open_run(paths, kept);
    return run ? SharedView(run, &run->view) : nullptr;
}

SharedRun RunCache::open_run(const ledger::RunPaths& paths, bool* kept) {
    const std::string key = paths.dir.string();
    if (kept) *kept = false;
    if (SharedRun held = kept_run(key); held && held->view.files_read.unchanged()) {
        if (kept) *kept = true;
        touch(key, held);
        return held;
    }
    // Taken before anything is read: a file changed after this moment counts as changed
    // within the window, however late the open sees it.
    const std::int64_t started = clock_();
    plan::Loaded<views::RunView> opened = views::RunView::open(paths);
    if (!opened.ok()) {
        forget(key);
        return nullptr;
    }
    const payload::TurnDurations durations = payload::sum_turn_durations(opened.value().envelopes);
    auto run = std::make_shared<const OpenedRun>(OpenedRun{std::move(opened.value()), durations});
    const files::SeenFiles& read = run->view.files_read;
    const std::optional<std::int64_t> changed = read.last_change_ns();
    const bool settled = !changed || *changed < started - settle_ns;
    if (read.sure && settled) {
        const bool held = keep(key, run);
        if (kept) *kept = held;
    } else {
        forget(key);
    }
    return run;
}

void RunCache::keep_only(const std::vector<ledger::RunPaths>& listed) {
    std::unordered_set<std::string> keys;
    keys.reserve(listed.size());
    for (const ledger::RunPaths& paths : listed) keys.insert(paths.dir.string());
    std::lock_guard lock(mutex_);
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        auto next = std::next(entry);
        if (!keys.contains(entry->first)) erase_locked(entry);
        entry = next;
    }
}

RunCache::Figures RunCache::figures() const {
    std::lock_guard lock(mutex_);
    return Figures{entries_.size(), bytes_, hits_, replays_};
}

SharedRun RunCache::kept_run(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(key);
    return entry == entries_.end() ? nullptr : entry->second.run;
}

void RunCache::touch(const std::string& key, const SharedRun& run) {
    std::lock_guard lock(mutex_);
    ++hits_;
    const auto entry = entries_.find(key);
    // Another call may have replaced the entry meanwhile; the newer one keeps its place.
    if (entry == entries_.end() || entry->second.run != run) return;
    recent_.splice(recent_.begin(), recent_, entry->second.recent);
}

bool RunCache::keep(const std::string& key, SharedRun run) {
    const std::uint64_t bytes = estimated_bytes(run->view);
    std::lock_guard lock(mutex_);
    ++replays_;
    if (auto old = entries_.find(key); old != entries_.end()) erase_locked(old);
    recent_.push_front(key);
    entries_.emplace(key, Entry{std::move(run), bytes, recent_.begin()});
    bytes_ += bytes;
    while (bytes_ > max_bytes_ && !recent_.empty()) erase_locked(entries_.find(recent_.back()));
    return entries_.contains(key);
}

void RunCache::forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    ++replays_;
    if (auto entry = entries_.find(key); entry != entries_.end()) erase_locked(entry);
}

void RunCache::erase_locked(std::unordered_map<std::string, Entry>::iterator entry) {
    bytes_ -= entry->second.bytes;
    recent_.erase(entry->second.recent);
    entries_.erase(entry);
}

}  // namespace korvalle::store
