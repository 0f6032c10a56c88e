#include "src/store/run_cache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <unordered_set>
#include <utility>

namespace korvalle::store {

namespace {

// What a view holds besides its arena and envelopes: the record itself, the launch record,
// the replay's tables, the graph of a plan.
constexpr std::uint64_t fixed_view_bytes = 16 * 1024;

// The heap bytes of a text past the small-string room, with the allocator's own header.
std::uint64_t heap_text(const std::string& text) {
    constexpr std::size_t small = std::string().capacity();
    return text.capacity() > small ? (text.capacity() + 1 + 8 + 15) & ~std::uint64_t{15} : 0;
}

std::uint64_t heap_text(const std::optional<std::string>& text) { return text ? heap_text(*text) : 0; }

// What an open of the run will hold, before it has read anything: the bytes its launch record
// and journal really occupy (a sparse journal claims sizes it never holds) by the view's
// measured bytes per journal byte.
std::uint64_t reserved_for_open(const ledger::RunPaths& paths) {
    std::uint64_t file_bytes = 0;
    for (const char* name : {"launch.json", "events.jsonl"}) {
        struct stat st {};
        if (::stat((paths.dir / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        file_bytes += std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size),
                                              static_cast<std::uint64_t>(st.st_blocks) * 512);
    }
    return fixed_view_bytes + file_bytes * RunCache::bytes_per_journal_byte;
}

}  // namespace

// One open in progress, shared by every caller that asks for the run meanwhile.
struct RunCache::Flight {
    std::mutex mutex;
    std::condition_variable landed;
    bool done = false;
    bool failed = false;      // the open threw (out of descriptors or memory): nothing to share
    std::int64_t read_from = 0;  // the clock when the open began to read
    Opened opened;
};

RunCache::RunCache(Bounds bounds, Clock clock)
    : clock_(std::move(clock)),
      open_budget_(MemoryBudget::make(bounds.open_budget)),
      views_(bounds.view_bytes),
      records_(bounds.record_bytes) {}

std::int64_t RunCache::realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint64_t RunCache::held_bytes(const views::RunView& view) {
    std::uint64_t bytes = fixed_view_bytes + (view.arena ? view.arena->bytes() : 0);
    bytes += view.envelopes.capacity() * sizeof(event::Envelope);
    for (const event::Envelope& envelope : view.envelopes) {
        bytes += heap_text(envelope.ts) + heap_text(envelope.stream) + heap_text(envelope.kind);
        const event::Labels& labels = envelope.labels;
        bytes += heap_text(labels.run_id) + heap_text(labels.node) + heap_text(labels.persona) + heap_text(labels.step);
        bytes += envelope.artifacts.capacity() * sizeof(event::ArtifactRef);
        for (const event::ArtifactRef& ref : envelope.artifacts) bytes += heap_text(ref.id) + heap_text(ref.kind);
    }
    return bytes;
}

SharedView RunCache::open(const ledger::RunPaths& paths) {
    SharedRun run = open_run(paths);
    return run ? SharedView(run, &run->view) : nullptr;
}

SharedRun RunCache::open_run(const ledger::RunPaths& paths) { return read(paths.dir.string(), paths, Want::View).run; }

SharedRecord RunCache::kept_record(const ledger::RunPaths& paths) {
    const std::string key = paths.dir.string();
    SharedRecord record;
    {
        std::lock_guard lock(mutex_);
        if (const SharedRecord* kept = records_.find(key)) record = *kept;
    }
    return record && hit(key, record) ? record : nullptr;
}

SharedRecord RunCache::open_record(const ledger::RunPaths& paths) {
    return read(paths.dir.string(), paths, Want::Record).record;
}

// What is kept is looked for, and an open in progress joined, under one lock, and an open keeps
// what it read before it lands: a caller sees either the open or what it kept, never neither.
//
// A joiner takes the other caller's open only as a hit would take a kept view: when the open
// began to read after the joiner began (then it is as fresh as an open of its own), or when it
// was trusted and its files are still unchanged. Otherwise it opens again, and an open begun
// after it always qualifies.
RunCache::Opened RunCache::read(const std::string& key, const ledger::RunPaths& paths, Want want) {
    const std::int64_t begun = clock_();
    for (;;) {
        SharedRecord record;
        SharedRun view;
        std::shared_ptr<Flight> flight;
        bool leading = false;
        {
            std::lock_guard lock(mutex_);
            if (const SharedRecord* kept = records_.find(key); kept && want == Want::Record) record = *kept;
            if (const SharedRun* kept = views_.find(key); kept && !record) view = *kept;
            if (!record && !view) {
                std::shared_ptr<Flight>& slot = flights_[key];
                leading = !slot;
                if (leading) slot = std::make_shared<Flight>();
                flight = slot;
            }
        }
        if (record) {
            if (hit(key, record)) return Opened{nullptr, std::move(record), true};
        } else if (view) {
            if (want == Want::View && hit(key, view)) return Opened{std::move(view), nullptr, true};
            // A kept view was settled and read whole: its record is as good as an open's.
            if (want == Want::Record && view->view.files_read.unchanged()) {
                auto made = std::make_shared<const RunRecord>(RunRecord::of(view->view));
                keep_record(key, made);
                return Opened{std::move(view), std::move(made), true};
            }
        } else if (leading) {
            lead(key, paths, want, *flight);
            return flight->opened;
        } else {
            std::unique_lock wait(flight->mutex);
            flight->landed.wait(wait, [&] { return flight->done; });
            const Opened& opened = flight->opened;
            if (!flight->failed &&
                (begun <= flight->read_from || (opened.trusted && opened.run->view.files_read.unchanged()))) {
                if (want == Want::View && opened.trusted) keep_view(key, opened.run);
                std::lock_guard lock(mutex_);
                ++joined_;
                return opened;
            }
            continue;
        }
        forget(key);  // what was kept is stale
    }
}

void RunCache::lead(const std::string& key, const ledger::RunPaths& paths, Want want, Flight& flight) {
    const auto land = [&](bool failed) {
        {
            std::lock_guard lock(flight.mutex);
            flight.done = true;
            flight.failed = failed;
        }
        flight.landed.notify_all();
        std::lock_guard lock(mutex_);
        ++replays_;
        if (auto slot = flights_.find(key); slot != flights_.end() && slot->second.get() == &flight) flights_.erase(slot);
    };
    try {
        MemoryBudget::Lease lease = open_budget_->acquire(reserved_for_open(paths));
        // Taken once the budget let the open go, before anything is read: a file changed after
        // this moment counts as changed within the window, however late the open sees it.
        flight.read_from = clock_();
        plan::Loaded<views::RunView> loaded = views::RunView::open(paths);
        if (loaded.ok()) {
            const std::uint64_t bytes = held_bytes(loaded.value());
            lease.resize(bytes);
            auto run = std::make_shared<const OpenedRun>(OpenedRun{std::move(loaded.value()), bytes, std::move(lease)});
            const files::SeenFiles& read = run->view.files_read;
            const std::optional<std::int64_t> changed = read.last_change_ns();
            const bool trusted = read.sure && (!changed || *changed < flight.read_from - settle_ns);
            auto record = std::make_shared<const RunRecord>(RunRecord::of(run->view));
            flight.opened = Opened{std::move(run), std::move(record), trusted};
        }
        if (flight.opened.trusted) {
            keep_record(key, flight.opened.record);
            if (want == Want::View) keep_view(key, flight.opened.run);
        } else {
            forget(key);
        }
    } catch (...) {
        land(true);
        throw;
    }
    land(false);
}

bool RunCache::hit(const std::string& key, const SharedRun& view) {
    if (!view->view.files_read.unchanged()) return false;
    std::lock_guard lock(mutex_);
    ++hits_;
    views_.touch(key, view);
    return true;
}

bool RunCache::hit(const std::string& key, const SharedRecord& record) {
    if (!record->files.unchanged()) return false;
    std::lock_guard lock(mutex_);
    ++hits_;
    records_.touch(key, record);
    return true;
}

void RunCache::keep_view(const std::string& key, const SharedRun& run) {
    std::lock_guard lock(mutex_);
    if (const SharedRun* kept = views_.find(key); kept && *kept == run) {
        views_.touch(key, run);
        return;
    }
    // From now on the cache's bound counts it.
    run->lease.release();
    views_.put(key, run, run->bytes);
}

void RunCache::keep_record(const std::string& key, const SharedRecord& record) {
    std::lock_guard lock(mutex_);
    records_.put(key, record, record->held_bytes());
}

void RunCache::forget(const std::string& key) {
    std::lock_guard lock(mutex_);
    views_.erase(key);
    records_.erase(key);
}

void RunCache::keep_only(const std::vector<ledger::RunPaths>& listed) {
    std::unordered_set<std::string> keys;
    keys.reserve(listed.size());
    for (const ledger::RunPaths& paths : listed) keys.insert(paths.dir.string());
    const auto listed_key = [&](const std::string& key) { return keys.contains(key); };
    std::lock_guard lock(mutex_);
    views_.erase_unless(listed_key);
    records_.erase_unless(listed_key);
}

RunCache::Figures RunCache::figures() const {
    std::lock_guard lock(mutex_);
    return Figures{views_.size(), views_.bytes(), records_.size(), records_.bytes(),
                   hits_, replays_, joined_, open_budget_->figures()};
}

}  // namespace korvalle::store
