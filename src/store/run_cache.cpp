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

// What reading more of a file will hold: the bytes it really occupies past offset from (a
// sparse journal claims sizes it never holds), by the view's bytes per journal byte.
std::uint64_t reserved_for(const std::filesystem::path& file, std::uint64_t from) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t held = std::min(size, static_cast<std::uint64_t>(st.st_blocks) * 512);
    return (size > from ? std::min(held, size - from) : 0) * RunCache::bytes_per_journal_byte;
}

// What an open of the run will hold before it has read anything, and what reading on from a
// base will add to it.
std::uint64_t reserved_for_open(const ledger::RunPaths& paths) {
    constexpr std::uint64_t view_room = 16 * 1024;
    return view_room + reserved_for(paths.dir / "launch.json", 0) + reserved_for(paths.dir / "events.jsonl", 0);
}

}  // namespace

// One open in progress, shared by every caller that asks for the run meanwhile.
struct RunCache::Flight {
    std::mutex mutex;
    std::condition_variable landed;
    bool done = false;
    bool failed = false;         // the open threw (out of descriptors or memory): nothing to share
    std::int64_t read_from = 0;  // the clock when the open began to read
    SharedRun run;               // null when the run did not open
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

SharedView RunCache::open(const ledger::RunPaths& paths) {
    SharedRun run = open_run(paths);
    return run ? SharedView(run, &run->view) : nullptr;
}

SharedRun RunCache::open_run(const ledger::RunPaths& paths) { return read(paths.dir.string(), paths, Want::View).run; }

std::vector<SharedRecord> RunCache::kept_records(const std::vector<ledger::RunPaths>& runs,
                                                 const files::OpenDirectory& root) {
    std::vector<std::string> keys;
    keys.reserve(runs.size());
    for (const ledger::RunPaths& paths : runs) keys.push_back(paths.dir.string());
    std::vector<SharedRecord> records(runs.size());
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (const SharedRecord* kept = records_.find(keys[i])) records[i] = *kept;
        }
    }
    for (SharedRecord& record : records) {
        if (record && !record->files.unchanged(root)) record = nullptr;
    }
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!records[i]) continue;
        ++hits_;
        records_.touch(keys[i], records[i]);
    }
    return records;
}

SharedRecord RunCache::open_record(const ledger::RunPaths& paths) {
    return read(paths.dir.string(), paths, Want::Record).record;
}

// A read begun after the caller began is as fresh as one of its own; a trusted view also
// answers while its files are unchanged and the run's name leads to the directory it was read
// from.
bool RunCache::answers(const SharedRun& run, std::int64_t begun) const {
    return begun <= run->read_from || (run->trusted && run->view.unchanged());
}

// What is kept is looked at first; a caller that finds nothing that answers it leads an open,
// or joins the one in progress, under one lock with a last look at what is kept, and an open
// keeps what it read before it lands: a caller sees either the open or what it kept.
//
// A joiner takes the other caller's read as it would take a kept view (answers). Otherwise it
// reads again, and a read begun after it always answers it.
RunCache::Read RunCache::read(const std::string& key, const ledger::RunPaths& paths, Want want) {
    const std::int64_t begun = clock_();
    for (;;) {
        SharedRecord record;
        SharedRun view;
        {
            std::lock_guard lock(mutex_);
            if (const SharedRecord* kept = records_.find(key); kept && want == Want::Record) record = *kept;
            if (const SharedRun* kept = views_.find(key)) view = *kept;
        }
        if (record && record->files.unchanged()) {
            std::lock_guard lock(mutex_);
            ++hits_;
            records_.touch(key, record);
            return Read{nullptr, std::move(record)};
        }
        if (view && answers(view, begun)) {
            std::lock_guard lock(mutex_);
            ++hits_;
            // Walks never order the views the documents keep.
            if (want == Want::View) views_.touch(key, view);
            return Read{view, view->record};
        }

        std::shared_ptr<Flight> flight;
        bool leading = false;
        {
            std::lock_guard lock(mutex_);
            const SharedRecord* kept_record = records_.find(key);
            const SharedRun* kept_view = views_.find(key);
            const bool moved = (want == Want::Record && (kept_record ? *kept_record : nullptr) != record) ||
                               (kept_view ? *kept_view : nullptr) != view;
            if (moved) continue;  // something was kept meanwhile: look again
            std::shared_ptr<Flight>& slot = flights_[key];
            leading = !slot;
            if (leading) slot = std::make_shared<Flight>();
            flight = slot;
        }
        if (leading) {
            lead(key, paths, want, std::move(view), *flight);
            return Read{flight->run, flight->run ? flight->run->record : nullptr};
        }
        std::unique_lock wait(flight->mutex);
        flight->landed.wait(wait, [&] { return flight->done; });
        if (flight->failed) continue;
        const SharedRun& run = flight->run;
        if (begun <= flight->read_from || (run && answers(run, begun))) {
            std::lock_guard lock(mutex_);
            ++joined_;
            if (want == Want::View && run && run->trusted) views_.touch(key, run);
            return Read{run, run ? run->record : nullptr};
        }
    }
}

void RunCache::lead(const std::string& key, const ledger::RunPaths& paths, Want want, SharedRun base, Flight& flight) {
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
        const bool grows = base != nullptr;
        MemoryBudget::Lease lease = open_budget_->acquire(
            grows ? reserved_for(paths.dir / "events.jsonl", base->view.journal_end.end) : reserved_for_open(paths));
        // Taken once the budget let the read go, before anything is read: a file changed after
        // this moment counts as changed within the window, however late the read sees it.
        flight.read_from = clock_();
        std::optional<views::RunView> view;
        const SharedRecord base_record = grows ? base->record : nullptr;
        // The grown view shares its base's envelopes: the base, which other requests may still
        // read, is left as it is.
        if (grows) view = views::RunView::grown(base->view, fanout_);
        // A read-on checks samples of the journal's bytes before the old end; a view that is to
        // be trusted is checked whole first, once its files have settled.
        if (view && view->files_read.settled_before(flight.read_from) && !view->journal_intact()) view.reset();
        if (view) {
            std::lock_guard lock(mutex_);
            ++grown_;
        } else {
            Result<views::RunView, SdkError> loaded = views::RunView::open(paths, std::nullopt, fanout_);
            if (loaded.ok()) view.emplace(std::move(loaded.value()));
        }
        if (view) {
            const bool trusted = view->files_read.settled_before(flight.read_from);
            auto record = std::make_shared<const RunRecord>(base_record && view->appended_from > 0
                                                                ? RunRecord::of_grown(*view, *base_record)
                                                                : RunRecord::of(*view));
            const std::uint64_t bytes = view->held_bytes();
            lease.resize(bytes);
            flight.run = std::make_shared<const OpenedRun>(std::move(*view), std::move(record), bytes, flight.read_from,
                                                     trusted, std::move(lease));
            keep(key, flight.run, want, grows);
        } else {
            forget(key);
        }
    } catch (...) {
        land(true);
        throw;
    }
    land(false);
}

// A trusted read keeps its record, and its view when a document asked for it or it replaces a
// kept one; an untrusted one keeps its view as the base of the next read, and no record. The
// view of a journal that is not UTF-8 for good is kept too: it holds no envelopes, and it lets
// the next read of that journal read no more than the blocks of its fault.
void RunCache::keep(const std::string& key, const SharedRun& run, Want want, bool replaces_view) {
    std::lock_guard lock(mutex_);
    if (run->trusted) {
        records_.put(key, run->record, run->record->held_bytes());
    } else {
        records_.erase(key);
    }
    const bool not_utf8 = run->view.journal_end.not_utf8.has_value();
    if (!run->trusted || want == Want::View || replaces_view || not_utf8) {
        // From now on the cache's bound counts it; a view larger than the whole bound is not
        // kept, and the budget for opens counts it until it is dropped.
        if (views_.put(key, run, run->bytes)) run->lease.release();
    } else {
        views_.erase(key);
    }
}

void RunCache::count_indexes(const ledger::RunPaths& paths, const SharedRun& run) {
    std::lock_guard lock(mutex_);
    views_.resize(paths.dir.string(), run, run->bytes + run->indexes.bytes());
}

void RunCache::fan_out(std::shared_ptr<pieces::Runner> runner, std::uint64_t piece_bytes) {
    runner_ = std::move(runner);
    fanout_ = views::JournalFanout{runner_.get(), piece_bytes};
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
                   hits_, replays_, grown_, joined_, open_budget_->figures()};
}

}  // namespace korvalle::store
