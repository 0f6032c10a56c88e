#include "src/store/store.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/summary.hpp"
#include "src/payload/timeline/timeline.hpp"
#include "src/telemetry/child.hpp"

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <atomic>
#include <tuple>

namespace korvalle::store {

namespace {

using Records = std::vector<const SharedRecord*>;

// Run order: runs with a last event time first, later times first, then by id as bytes.
bool runs_before(const SharedRecord* a_record, const SharedRecord* b_record) {
    const RunRecord* a = a_record->get();
    const RunRecord* b = b_record->get();
    if (a->last_event_at().has_value() != b->last_event_at().has_value()) return a->last_event_at().has_value();
    if (a->last_event_at() && *a->last_event_at() != *b->last_event_at()) return *a->last_event_at() > *b->last_event_at();
    return a->id() < b->id();
}

// Up to limit runs from start on, settled ones left out unless asked for, and whether more
// runs follow them.
std::pair<std::vector<SharedRecord>, bool> page_from(Records::const_iterator start, Records::const_iterator end,
                                                     const RunsQuery& query) {
    std::vector<SharedRecord> page;
    for (auto it = start; it != end; ++it) {
        if (!query.include_settled && (**it)->settled()) continue;
        if (page.size() == query.limit) return {std::move(page), true};
        page.push_back(**it);
    }
    return {std::move(page), false};
}

}  // namespace

RunStore::RunStore(std::string root, std::uint64_t poll_ms, std::shared_ptr<RunCache> run_cache, Settings settings)
    : root_(std::move(root)),
      poll_ms_(poll_ms),
      transcript_poll_ms_(poll_ms > std::numeric_limits<std::uint64_t>::max() / 10
                              ? std::numeric_limits<std::uint64_t>::max()
                              : poll_ms * 10),
      settings_(std::move(settings)),
      telemetry_cache_(std::make_shared<TelemetryCache>(settings_.telemetry_program)),
      openers_(std::make_shared<OpenPool>(OpenPool::core_count())),
      run_cache_(std::move(run_cache)),
      walks_(std::make_shared<SharedWalks>()),
      pages_(std::make_shared<PageMemo>()) {
    run_cache_->fan_out(openers_, settings_.journal_shard_bytes);
}

RunStore RunStore::new_polling_every(std::string_view root, std::uint64_t poll_ms, Settings settings) {
    return RunStore(std::string(root), poll_ms, std::make_shared<RunCache>(), std::move(settings));
}

RunStore RunStore::new_polling_every(std::string_view root, std::uint64_t poll_ms,
                                     std::shared_ptr<RunCache> run_cache, Settings settings) {
    return RunStore(std::string(root), poll_ms, std::move(run_cache), std::move(settings));
}

views::LivenessInputs RunStore::liveness_now() const {
    return views::LivenessInputs{settings_.host_name, settings_.parked_after_seconds, views::now_ms()};
}

std::unique_ptr<TelemetryCache::Lookup> RunStore::telemetry_lookup(std::string_view run,
                                                                  const RunSignature& signature) const {
    auto id = contract::RunId::make(run);
    if (!id) return nullptr;
    return std::make_unique<TelemetryCache::Lookup>(*telemetry_cache_, root_, std::move(*id), signature);
}

void RunStore::walk(SharedWalks::Done done, Submit submit, SharedWalks::Gather gather,
                    SharedWalks::Wanted wanted) const {
    // The walk may end after this clone of the store is gone: it holds a clone of its own.
    auto store = std::make_shared<const RunStore>(*this);
    auto begin = [store, submit = std::move(submit)](SharedWalks::Start start, SharedWalks::Finish finish) {
        submit([store, start, finish] {
            try {
                // A walk none of its callers wants any more reads nothing.
                if (!start()) return finish(nullptr, {});
                store->walk_every_run(finish);
            } catch (...) {
                finish(std::current_exception(), {});  // whatever failed the walk, its callers are told it
            }
        });
    };
    walks_->after_now(std::move(done), std::move(begin), std::move(gather), std::move(wanted));
}

namespace {

// The reads of one walk's runs that no kept record answered, each run once. A read that must
// wait is set aside and taken on by the openers when its wait ends; the walk ends with the last
// read, on whichever thread that is, and then tells its finish.
class WalkReads : public std::enable_shared_from_this<WalkReads> {
public:
    WalkReads(RunCache& cache, std::shared_ptr<OpenPool> openers, std::vector<SharedRecord> records,
              SharedWalks::Finish finish)
        : cache_(cache), openers_(std::move(openers)), records_(std::move(records)), finish_(std::move(finish)) {}

    // Reads the run of records' slot: on the walk's openers.
    void read(std::size_t slot, ledger::RunPaths paths) {
        pending_.fetch_add(1, std::memory_order_relaxed);
        std::shared_ptr<RunCache::Reading> reading;
        try {
            reading = cache_.record_reading(std::move(paths));
        } catch (...) {
            failed(std::current_exception());
            return end_one();
        }
        go_on(slot, std::move(reading));
    }

    // The walk's own thread is done with it: it ends with the last read still set aside.
    void begun() { end_one(); }

    // The walk fails with the first error any read met.
    void failed(std::exception_ptr error) {
        sync::Lock lock(mutex_);
        if (!error_) error_ = std::move(error);
    }

private:
    void go_on(std::size_t slot, std::shared_ptr<RunCache::Reading> reading) {
        try {
            auto self = shared_from_this();
            const auto resume = [self, slot, reading] { self->resumed(slot, reading); };
            if (reading->step(resume) == Step::Waits) return;
            records_[slot] = reading->record();
        } catch (...) {
            failed(std::current_exception());
        }
        end_one();
    }

    void resumed(std::size_t slot, std::shared_ptr<RunCache::Reading> reading) {
        try {
            openers_->post([self = shared_from_this(), slot, reading] { self->go_on(slot, reading); });
        } catch (...) {
            failed(std::current_exception());
            end_one();
        }
    }

    void end_one() {
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        std::exception_ptr error;
        {
            sync::Lock lock(mutex_);
            error = error_;
        }
        if (error) return finish_(error, {});
        std::erase(records_, nullptr);
        finish_(nullptr, std::move(records_));
    }

    RunCache& cache_;
    const std::shared_ptr<OpenPool> openers_;
    // Each slot is written by the one read of its run; all are read by the last to end, after
    // every read's end was counted (pending_, acquire and release).
    std::vector<SharedRecord> records_;
    const SharedWalks::Finish finish_;
    std::atomic<std::size_t> pending_{1};  // the reads not ended, and the walk's own thread
    sync::Mutex mutex_;
    std::exception_ptr error_ GUARDED_BY(mutex_);
};

}  // namespace

void RunStore::walk_every_run(const SharedWalks::Finish& finish) const {
    const files::OpenDirectory root(root_);
    const std::vector<ledger::RunPaths> candidates = ledger::run_dir_candidates(root_);
    // A kept record whose launch.json is unchanged proves its entry a run by the listing's rule.
    std::vector<SharedRecord> records = run_cache_->kept_records(candidates, root);
    std::vector<ledger::RunPaths> listed;
    std::vector<std::size_t> unkept;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!records[i] && !ledger::is_run_dir(candidates[i])) continue;
        if (!records[i]) unkept.push_back(i);
        listed.push_back(candidates[i]);
    }
    run_cache_->keep_only(listed);
    auto reads = std::make_shared<WalkReads>(*run_cache_, openers_, std::move(records), finish);
    try {
        openers_->run_each(unkept.size(), [&](std::size_t i) { reads->read(unkept[i], candidates[unkept[i]]); });
    } catch (...) {
        // No opener to run the rest: the walk fails with it, once the reads begun have ended.
        reads->failed(std::current_exception());
    }
    reads->begun();
}

namespace {

// The run list's page of inputs: {"runs":[summary…]} plus "next_cursor" when more runs follow.
boost::json::object page_of(const PageMemo::Inputs& inputs) {
    boost::json::array runs;
    runs.reserve(inputs.runs.size());
    for (std::size_t i = 0; i < inputs.runs.size(); ++i)
        runs.push_back(payload::run_summary(inputs.runs[i]->summary, inputs.telemetry[i], inputs.moments[i]));
    boost::json::object document;
    document.emplace("runs", std::move(runs));
    if (inputs.more) document.emplace("next_cursor", inputs.runs.back()->id());
    return document;
}

}  // namespace

ListPage::ListPage(const RunStore& store, SharedWalks::SharedWalk walked, RunsQuery query, Form form)
    : store_(&store), walked_(std::move(walked)), query_(std::move(query)), form_(form) {}

ListPage::~ListPage() {
    if (making_) walked_->give_up(key_of(query_));
}

std::string ListPage::key_of(const RunsQuery& query) {
    return fmt::format("{}/{}/{}", query.limit, query.include_settled, query.cursor.value_or(""));
}

Step ListPage::take_turn(const Resume& resume) {
    if (form_ != Form::Text || making_ || text_) return Step::Done;
    switch (walked_->page_turn(key_of(query_), resume, text_)) {
        case SharedWalks::Walk::Turn::Made: return Step::Done;
        case SharedWalks::Walk::Turn::Waits: return Step::Waits;
        case SharedWalks::Walk::Turn::Makes: break;
    }
    making_ = true;
    return Step::Done;
}

Step ListPage::step(const Resume& resume) {
    if (!begun_) {
        // A text of this walk made by another page is shared as it is, its telemetry long looked
        // up.
        const Step turn = take_turn(resume);
        if (turn != Step::Done || text_) return turn;
        begun_ = true;
        Records ordered;
        ordered.reserve(walked_->records().size());
        for (const SharedRecord& record : walked_->records()) ordered.push_back(&record);
        std::sort(ordered.begin(), ordered.end(), runs_before);
        auto start = ordered.begin();
        if (query_.cursor) {
            auto at = std::find_if(ordered.begin(), ordered.end(),
                                   [&](const SharedRecord* run) { return (*run)->id() == *query_.cursor; });
            if (at != ordered.end()) start = at + 1;
        }
        std::tie(inputs_.runs, inputs_.more) = page_from(start, ordered.end(), query_);
    }
    // Each run's result file is read through its entry in the runs root, held open while this step
    // judges runs (never across a wait), and opened only when a run left to judge has one.
    const auto judged = inputs_.runs.begin() + static_cast<std::ptrdiff_t>(inputs_.telemetry.size());
    const bool reads = std::any_of(judged, inputs_.runs.end(),
                                   [](const SharedRecord& run) { return run->summary.result_round.has_value(); });
    int unopened = 0;
    const std::optional<files::Directory> runs_root =
        reads ? files::Directory::open(store_->root_, unopened) : std::nullopt;
    // Telemetry is asked for in page order, one run after another, as the cache expects. Each run
    // is judged once its telemetry is had, which may have waited for a child.
    while (inputs_.telemetry.size() < inputs_.runs.size()) {
        const RunRecord& run = *inputs_.runs[inputs_.telemetry.size()];
        // A hit while the cache's lock is free needs no lookup of its own.
        std::optional<SharedTelemetry> telemetry;
        if (!lookup_) telemetry = store_->telemetry_cache_->kept_while_free(run.id(), run.signature);
        if (!telemetry) {
            if (!lookup_) lookup_ = store_->telemetry_lookup(run.id(), run.signature);
            if (lookup_) {
                const Step looked = lookup_->step(resume);
                if (looked != Step::Done) return looked;
            }
            telemetry = lookup_ ? lookup_->telemetry() : nullptr;
            lookup_.reset();
        }
        inputs_.telemetry.push_back(std::move(*telemetry));
        inputs_.moments.push_back(
            payload::SummaryMoment::of(run.summary, store_->liveness_now(), runs_root ? &*runs_root : nullptr));
    }
    if (form_ == Form::Document) {
        document_ = page_of(inputs_);
        return Step::Done;
    }
    const std::string page = key_of(query_);
    text_ = store_->pages_->page(page, std::move(inputs_),
                                 [](const PageMemo::Inputs& inputs) { return json::write(page_of(inputs)); });
    making_ = false;
    walked_->keep(page, text_);
    return Step::Done;
}

RunDocument<text::Fragments> RunStore::run_document(const contract::RunId& id, bool include_conversations,
                                                    MemoryBudget* answers) const {
    // Looked up by the finding, before the share is taken: it may wait for a telemetry child.
    auto telemetry = std::make_shared<SharedTelemetry>();
    using Piece = KeptIndexes::Piece;
    std::vector<Piece> pieces = {Piece::Journal, Piece::DerivedStatuses, Piece::NodeDetails};
    if (include_conversations) pieces.push_back(Piece::Conversations);
    auto build = [this, include_conversations, telemetry](const SharedRun& run) {
        // Taken before any round file is read: a round object read from files that changed less
        // than two seconds before is not kept.
        const std::int64_t read_from = run_cache_->now();
        text::Fragments fragments = payload::run_detail_fragments(run->view, include_conversations, telemetry->get(),
                                                                  run->indexes_of(read_from), liveness_now());
        count_indexes(run);
        return std::optional<RunDocument<text::Fragments>::Outcome>(std::move(fragments));
    };
    return RunDocument<text::Fragments>(
        RunFinding(*this, id, answers, BuildClaim(std::move(pieces), true), std::move(telemetry)), std::move(build));
}

RunDocument<text::Fragments> RunStore::timeline_document(const contract::RunId& run, const TimelineScope& scope,
                                                         MemoryBudget* answers) const {
    using Piece = KeptIndexes::Piece;
    BuildClaim claim({scope.node ? Piece::Timeline : Piece::WholeTimeline});
    auto build = [this, node = scope.node](const SharedRun& opened) {
        const std::optional<std::string_view> scoped = node ? std::optional<std::string_view>(*node) : std::nullopt;
        text::Fragments fragments = payload::timeline_fragments(opened->view, scoped, opened->indexes_of());
        count_indexes(opened);
        return std::optional<RunDocument<text::Fragments>::Outcome>(std::move(fragments));
    };
    return RunDocument<text::Fragments>(RunFinding(*this, run, answers, std::move(claim)), std::move(build));
}

RunFinding::RunFinding(const RunStore& store, contract::RunId id, MemoryBudget* answers,
                       std::optional<BuildClaim> claim, std::shared_ptr<SharedTelemetry> telemetry)
    : store_(&store),
      id_(std::move(id)),
      answers_(answers),
      claim_(std::move(claim)),
      telemetry_(std::move(telemetry)) {}

Step RunFinding::step(const Resume& resume) {
    for (;;) {
        switch (phase_) {
        case Phase::Find:
            // Only the named entry is looked at, by the listing's own rule, so the answer is the
            // one a walk over every run would give, at the cost of one run.
            paths_ = ledger::run_dir_entry(std::filesystem::path(store_->root()), id_.str());
            if (!paths_) {
                phase_ = Phase::Done;
                break;
            }
            reading_ = std::make_unique<RunCache::Reading>(store_->run_cache(), *paths_, answers_ != nullptr);
            phase_ = Phase::Read;
            break;
        case Phase::Read: {
            const Step read = reading_->step(resume);
            if (read != Step::Done) return read;
            run_ = reading_->run();
            reading_.reset();
            phase_ = run_ ? after_read() : Phase::Done;
            break;
        }
        case Phase::Telemetry: {
            const Step looked = look_up_telemetry(resume);
            if (looked != Step::Done) return looked;
            break;
        }
        case Phase::Estimate:
            if (claim_ && answers_ != nullptr) {
                const Step estimated = claim_->estimate(run_, resume);
                if (estimated != Step::Done) return estimated;
                estimate_ = claim_->bytes();
            }
            phase_ = Phase::Share;
            break;
        case Phase::Share: {
            const Step shared = take_share(resume);
            if (shared != Step::Done) return shared;
            break;
        }
        case Phase::Done: return Step::Done;
        }
    }
}

RunFinding::Phase RunFinding::after_read() const {
    if (!telemetry_ || lookups_ == 2) return Phase::Estimate;
    return looked_up_ == RunSignature::of(run_->view) ? Phase::Estimate : Phase::Telemetry;
}

Step RunFinding::look_up_telemetry(const Resume& resume) {
    if (!lookup_) {
        looked_up_ = RunSignature::of(run_->view);
        lookup_ = store_->telemetry_lookup(id_.str(), *looked_up_);
        if (!lookup_) {
            phase_ = Phase::Estimate;
            return Step::Done;
        }
    }
    const Step looked = lookup_->step(resume);
    if (looked == Step::Waits) {
        // Its turn may be long in coming: the view goes back to the cache's keeping meanwhile.
        run_ = nullptr;
        return looked;
    }
    if (looked != Step::Done) return looked;
    *telemetry_ = lookup_->telemetry();
    lookup_.reset();
    ++lookups_;
    if (run_) {
        phase_ = Phase::Estimate;
        return Step::Done;
    }
    reading_ = std::make_unique<RunCache::Reading>(store_->run_cache(), *paths_, answers_ != nullptr);
    phase_ = Phase::Read;
    return Step::Done;
}

Step RunFinding::take_share(const Resume& resume) {
    if (estimate_ > 0 && answers_ != nullptr) {
        const Step shared = share_.take(*answers_, estimate_, resume);
        if (shared != Step::Done) return shared;
    }
    phase_ = Phase::Done;
    return Step::Done;
}

void RunFinding::look_again() {
    phase_ = Phase::Find;
    reading_.reset();
    run_ = nullptr;
    lookup_.reset();
    looked_up_.reset();
    lookups_ = 0;
}

}  // namespace korvalle::store
