#include "src/store/run_cache.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
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

// Freed views' blocks are kept for an eighth of the budget for opens, each for ten seconds: the
// opens of a walk, and a user's next request after it, find them; a burst leaves none behind.
constexpr std::uint64_t kept_blocks_share = 8;
constexpr std::chrono::seconds keep_blocks_for{10};

}  // namespace

// One open in progress, shared by every caller that asks for the run meanwhile. Its lock is
// taken alone: never with the cache's, and nothing is called under it.
struct RunCache::Flight {
    sync::Mutex mutex;
    bool done GUARDED_BY(mutex) = false;
    std::optional<Landed> landed GUARDED_BY(mutex);  // none when the open threw or never began: nothing to share
    std::vector<Resume> joined GUARDED_BY(mutex);    // callers waiting for it to land
};

RunCache::RunCache(Bounds bounds, Clock clock)
    : clock_(std::move(clock)),
      open_budget_(MemoryBudget::make(bounds.open_budget)),
      blocks_(std::make_shared<BlockReserve>(bounds.open_budget / kept_blocks_share, keep_blocks_for, open_budget_)),
      view_bound_(bounds.view_bytes),
      views_(bounds.view_bytes, [](const SharedRun& run) { run->indexes.let_go(); }),
      records_(bounds.record_bytes) {}

std::int64_t RunCache::realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::vector<SharedRecord> RunCache::kept_records(const std::vector<ledger::RunPaths>& runs,
                                                 const files::OpenDirectory& root) {
    std::vector<std::string> keys;
    keys.reserve(runs.size());
    for (const ledger::RunPaths& paths : runs) keys.push_back(paths.dir.string());
    std::vector<SharedRecord> records(runs.size());
    {
        sync::Lock lock(mutex_);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (const SharedRecord* kept = records_.find(keys[i])) records[i] = *kept;
        }
    }
    drop_changed(records, root);
    sync::Lock lock(mutex_);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!records[i]) continue;
        ++hits_;
        records_.touch(keys[i], records[i]);
    }
    return records;
}

// The stat calls of a large root are most of a warm walk: they are shared among the openers that
// are idle, the walk's own thread among them, as a journal's shards are.
void RunCache::drop_changed(std::vector<SharedRecord>& records, const files::OpenDirectory& root) const {
    const auto drop = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (records[i] && !records[i]->files.unchanged(root)) records[i] = nullptr;
        }
    };
    const std::size_t parts = runner_ ? std::min(runner_->width(), records.size() / runs_per_check) : 1;
    if (parts <= 1) return drop(0, records.size());
    const auto part = [&](std::size_t k) { drop(records.size() * k / parts, records.size() * (k + 1) / parts); };
    runner_->run(parts, part, {});
}

std::unique_ptr<RunCache::Reading> RunCache::record_reading(ledger::RunPaths paths) {
    return std::unique_ptr<Reading>(new Reading(*this, std::move(paths), Want::Record, false));
}

// A read begun after the caller began is as fresh as one of its own; a trusted view also
// answers while its files are unchanged and the run's name leads to the directory it was read
// from.
bool RunCache::answers(const SharedRun& run, std::int64_t begun) const {
    return begun <= run->read_from || (run->trusted && run->view.unchanged());
}

RunCache::Reading::Reading(RunCache& cache, ledger::RunPaths paths, Want want, bool may_be_refused)
    : cache_(cache),
      paths_(std::move(paths)),
      key_(paths_.dir.string()),
      want_(want),
      may_be_refused_(may_be_refused),
      begun_(cache.clock_()) {}

RunCache::Reading::~Reading() {
    if (leading_) cache_.land(key_, *flight_, std::nullopt, false);
}

// What is kept is looked at first; a caller that finds nothing that answers it leads an open,
// or joins the one in progress, under one lock with a last look at what is kept, and an open
// keeps what it read before it lands: a caller sees either the open or what it kept.
//
// A joiner takes the other caller's read as it would take a kept view (answers). Otherwise it
// reads again, and a read begun after it always answers it.
Step RunCache::Reading::step(const Resume& resume) {
    for (;;) {
        if (leading_) return lead(resume);
        if (flight_) {
            if (took_landed()) return Step::Done;
            continue;
        }
        if (kept()) return Step::Done;
        if (!join_or_lead() || leading_) continue;
        // Kept alive here: once it lands, the next step may run on another thread and let go of
        // flight_ before this one has let go of the flight's lock.
        const std::shared_ptr<Flight> flight = flight_;
        sync::Lock lock(flight->mutex);
        if (flight->done) continue;
        flight->joined.push_back(resume);
        return Step::Waits;
    }
}

bool RunCache::Reading::kept() {
    SharedRecord record;
    {
        sync::Lock lock(cache_.mutex_);
        if (const SharedRecord* kept = cache_.records_.find(key_); kept && want_ == Want::Record) record = *kept;
        // What is kept now, none included: join_or_lead compares it with what is kept then.
        const SharedRun* kept_view = cache_.views_.find(key_);
        base_ = kept_view ? *kept_view : nullptr;
    }
    if (record && record->files.unchanged()) {
        sync::Lock lock(cache_.mutex_);
        ++cache_.hits_;
        cache_.records_.touch(key_, record);
        got_ = Got{nullptr, std::move(record)};
        return true;
    }
    if (base_ && cache_.answers(base_, begun_)) {
        sync::Lock lock(cache_.mutex_);
        ++cache_.hits_;
        // Walks never order the views the documents keep.
        if (want_ == Want::View) cache_.views_.touch(key_, base_);
        got_ = Got{base_, base_->record};
        return true;
    }
    got_ = Got{nullptr, std::move(record)};  // what was looked at, for join_or_lead
    return false;
}

// False when something was kept since kept() looked: look again.
bool RunCache::Reading::join_or_lead() {
    sync::Lock lock(cache_.mutex_);
    const SharedRecord* kept_record = cache_.records_.find(key_);
    const SharedRun* kept_view = cache_.views_.find(key_);
    const bool moved = (want_ == Want::Record && (kept_record ? *kept_record : nullptr) != got_.record) ||
                       (kept_view ? *kept_view : nullptr) != base_;
    if (moved) return false;
    std::shared_ptr<Flight>& slot = cache_.flights_[key_];
    leading_ = !slot;
    if (leading_) slot = std::make_shared<Flight>();
    flight_ = slot;
    return true;
}

// The flight joined has landed: true when its read answers this one.
bool RunCache::Reading::took_landed() {
    const std::shared_ptr<Flight> flight = std::exchange(flight_, nullptr);
    std::optional<Landed> landed;
    {
        sync::Lock lock(flight->mutex);
        landed = flight->landed;
    }
    if (!landed) return false;
    const SharedRun& run = landed->run;
    if (begun_ > landed->read_from && !(run && cache_.answers(run, begun_))) return false;
    sync::Lock lock(cache_.mutex_);
    ++cache_.joined_;
    if (want_ == Want::View && run && run->trusted) cache_.views_.touch(key_, run);
    got_ = Got{run, run ? run->record : nullptr};
    return true;
}

Step RunCache::Reading::lead(const Resume& resume) {
    if (!reserved_) {
        reserved_ = base_ ? reserved_for(paths_.dir / "events.jsonl", base_->view.journal_end.end)
                          : reserved_for_open(paths_);
        cache_.blocks_->make_way(*reserved_);
    }
    const std::shared_ptr<Flight> flight = flight_;
    const Step taken = share_.take(*cache_.open_budget_, *reserved_, resume, may_be_refused_);
    if (taken == Step::Waits) return taken;
    leading_ = false;
    flight_ = nullptr;
    if (taken == Step::Refused) {
        cache_.land(key_, *flight, std::nullopt, false);
        return taken;
    }
    SharedRun run = cache_.lead(key_, paths_, want_, std::move(base_), *flight, std::move(share_.lease()));
    got_ = Got{run, run ? run->record : nullptr};
    return Step::Done;
}

// Opens the run for the flight the caller leads, with its share of the budget for opens, and
// lands the flight, also when the open throws.
SharedRun RunCache::lead(const std::string& key, const ledger::RunPaths& paths, Want want, SharedRun base,
                         Flight& flight, MemoryBudget::Lease lease) {
    // Taken once the budget let the read go, before anything is read: a file changed after this
    // moment counts as changed within the window, however late the read sees it.
    const std::int64_t read_from = clock_();
    SharedRun run;
    try {
        const bool grows = base != nullptr;
        std::optional<views::RunView> view;
        const SharedRecord base_record = grows ? base->record : nullptr;
        // The grown view shares its base's envelopes: the base, which other requests may still
        // read, is left as it is.
        if (grows) view = views::RunView::grown(base->view, fanout_);
        // A read-on checks samples of the journal's bytes before the old end; a view that is to
        // be trusted is checked whole first, once its files have settled.
        if (view && view->files_read.settled_before(read_from) && !view->journal_intact()) view.reset();
        if (view) {
            sync::Lock lock(mutex_);
            ++grown_;
        } else {
            Result<views::RunView, SdkError> loaded = views::RunView::open(paths, std::nullopt, fanout_, blocks_);
            if (loaded.ok()) view.emplace(std::move(loaded.value()));
        }
        if (view) {
            const bool trusted = view->files_read.settled_before(read_from);
            auto record = std::make_shared<const RunRecord>(base_record && view->appended_from > 0
                                                                ? RunRecord::of_grown(*view, *base_record)
                                                                : RunRecord::of(*view));
            const std::uint64_t bytes = view->held_bytes();
            lease.resize(bytes);
            // What its documents keep beside it shares the bound with it.
            const std::uint64_t room = bytes < view_bound_ ? view_bound_ - bytes : 0;
            std::shared_ptr<MemoryBudget> answers;
            {
                sync::Lock lock(mutex_);
                answers = answers_;
            }
            run = std::make_shared<const OpenedRun>(std::move(*view), std::move(record), bytes, read_from, trusted,
                                                    std::move(lease), room, std::move(answers));
            keep(key, run, want, grows);
        } else {
            forget(key);
        }
    } catch (...) {
        // Whatever the open throws (running out of descriptors or memory among it), those that
        // joined must not wait for it for ever: they look again, and the caller hears of it.
        land(key, flight, std::nullopt, true);
        throw;
    }
    land(key, flight, Landed{read_from, run}, true);
    return run;
}

// The flight leaves the cache's map first, so that a caller who looks after it sees what the
// open kept; then those that joined it go on.
void RunCache::land(const std::string& key, Flight& flight, std::optional<Landed> landed, bool replayed) {
    {
        sync::Lock lock(mutex_);
        if (replayed) ++replays_;
        if (auto slot = flights_.find(key); slot != flights_.end() && slot->second.get() == &flight) flights_.erase(slot);
    }
    std::vector<Resume> joined;
    {
        sync::Lock lock(flight.mutex);
        flight.done = true;
        flight.landed = std::move(landed);
        joined = std::move(flight.joined);
    }
    for (const Resume& resume : joined) resume();
}

// A trusted read keeps its record, and its view when a document asked for it or it replaces a
// kept one; an untrusted one keeps its view as the base of the next read, and no record. The
// view of a journal that is not UTF-8 for good is kept too: it holds no envelopes, and it lets
// the next read of that journal read no more than the blocks of its fault.
void RunCache::keep(const std::string& key, const SharedRun& run, Want want, bool replaces_view) {
    sync::Lock lock(mutex_);
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
        // Never kept: what its documents keep beside it is counted by nobody else.
        run->indexes.let_go();
    }
}

void RunCache::count_let_go_texts_in(std::shared_ptr<MemoryBudget> answers) {
    sync::Lock lock(mutex_);
    answers_ = std::move(answers);
}

void RunCache::count_indexes(const ledger::RunPaths& paths, const SharedRun& run) {
    sync::Lock lock(mutex_);
    views_.resize(paths.dir.string(), run, run->bytes + run->indexes.bytes());
}

// Unlocked: it runs before the cache is shared (fan_out's contract), and every read after it is
// ordered after it by however the cache was handed to other threads.
void RunCache::fan_out(std::shared_ptr<shards::Runner> runner, std::uint64_t shard_bytes) {
    runner_ = std::move(runner);
    fanout_ = views::JournalFanout{runner_.get(), shard_bytes};
}

void RunCache::forget(const std::string& key) {
    sync::Lock lock(mutex_);
    views_.erase(key);
    records_.erase(key);
}

void RunCache::keep_only(const std::vector<ledger::RunPaths>& listed) {
    std::unordered_set<std::string> keys;
    keys.reserve(listed.size());
    for (const ledger::RunPaths& paths : listed) keys.insert(paths.dir.string());
    const auto listed_key = [&](const std::string& key) { return keys.contains(key); };
    sync::Lock lock(mutex_);
    views_.erase_unless(listed_key);
    records_.erase_unless(listed_key);
}

RunCache::Figures RunCache::figures() const {
    sync::Lock lock(mutex_);
    return Figures{views_.size(), views_.bytes(), records_.size(), records_.bytes(),
                   hits_, replays_, grown_, joined_, open_budget_->figures(), blocks_->figures()};
}

}  // namespace korvalle::store
