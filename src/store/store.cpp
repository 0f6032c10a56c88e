#include "src/store/store.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/summary.hpp"
#include "src/payload/timeline/timeline.hpp"
#include "src/store/blocking.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
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

SharedTelemetry RunStore::cached_telemetry(const views::RunView& view) const {
    auto id = contract::RunId::make(view.id());
    if (!id) return nullptr;
    return blocking::lookup_telemetry(*telemetry_cache_, root_, *id, RunSignature::of(view));
}

std::vector<SharedRecord> RunStore::every_run_record() const { return walk()->records(); }

SharedWalks::SharedWalk RunStore::walk() const {
    return walks_->after_now([this] { return walk_every_run(); });
}

std::vector<SharedRecord> RunStore::walk_every_run() const {
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
    openers_->run_each(unkept.size(), [&](std::size_t i) {
        records[unkept[i]] = run_cache_->open_record(candidates[unkept[i]]);
    });
    std::erase(records, nullptr);
    return records;
}

boost::json::object RunStore::run_list(const RunsQuery& query) const {
    return page(page_inputs(walk()->records(), query));
}

std::shared_ptr<const std::string> RunStore::run_list_text(const SharedWalks::SharedWalk& walked,
                                                           const RunsQuery& query) const {
    const std::string key = fmt::format("{}/{}/{}", query.limit, query.include_settled, query.cursor.value_or(""));
    return walked->page(key, [&] {
        return pages_->page(key, page_inputs(walked->records(), query),
                            [&](const PageMemo::Inputs& inputs) { return json::write(page(inputs)); });
    });
}

PageMemo::Inputs RunStore::page_inputs(const std::vector<SharedRecord>& listed, const RunsQuery& query) const {
    Records ordered;
    ordered.reserve(listed.size());
    for (const SharedRecord& record : listed) ordered.push_back(&record);
    std::sort(ordered.begin(), ordered.end(), runs_before);

    auto start = ordered.begin();
    if (query.cursor) {
        auto at = std::find_if(ordered.begin(), ordered.end(),
                               [&](const SharedRecord* run) { return (*run)->id() == *query.cursor; });
        if (at != ordered.end()) start = at + 1;
    }
    PageMemo::Inputs inputs;
    std::tie(inputs.runs, inputs.more) = page_from(start, ordered.end(), query);
    // Telemetry is asked for in page order, one run after another, as the cache expects. Each run
    // is judged once its telemetry is had, which may have waited for a child.
    for (const SharedRecord& run : inputs.runs) {
        SharedTelemetry telemetry;
        if (auto id = contract::RunId::make(run->id()))
            telemetry = blocking::lookup_telemetry(*telemetry_cache_, root_, *id, run->signature);
        inputs.telemetry.push_back(std::move(telemetry));
        inputs.moments.push_back(payload::SummaryMoment::of(run->summary, liveness_now()));
    }
    return inputs;
}

boost::json::object RunStore::page(const PageMemo::Inputs& inputs) const {
    boost::json::array runs;
    runs.reserve(inputs.runs.size());
    for (std::size_t i = 0; i < inputs.runs.size(); ++i)
        runs.push_back(payload::run_summary(inputs.runs[i]->summary, inputs.telemetry[i], inputs.moments[i]));
    boost::json::object document;
    document.emplace("runs", std::move(runs));
    if (inputs.more) document.emplace("next_cursor", inputs.runs.back()->id());
    return document;
}

RunDocument<text::Fragments> RunStore::run_document(const contract::RunId& id, bool include_conversations,
                                                    MemoryBudget* answers) const {
    // Looked up before the share is taken: it may wait for a telemetry child.
    auto telemetry = std::make_shared<SharedTelemetry>();
    auto prepare = [this, include_conversations, telemetry](const OpenedRun& run) -> std::uint64_t {
        *telemetry = cached_telemetry(run.view);
        return include_conversations ? run.view.envelopes.arena_bytes() : 0;
    };
    auto build = [this, include_conversations, telemetry](const SharedRun& run) -> Result<text::Fragments, error::ApiError> {
        // Taken before any round file is read: a round object read from files that changed less
        // than two seconds before is not kept.
        const std::int64_t read_from = run_cache_->now();
        text::Fragments fragments = payload::run_detail_fragments(run->view, include_conversations, telemetry->get(),
                                                                  run->indexes_of(read_from), liveness_now());
        count_indexes(run);
        return fragments;
    };
    return RunDocument<text::Fragments>(RunFinding(*this, id, answers, std::move(prepare)), std::move(build));
}

RunDocument<text::Fragments> RunStore::timeline_document(const contract::RunId& run, const TimelineScope& scope,
                                                         MemoryBudget* answers) const {
    const bool whole_run = !scope.node;
    auto prepare = [whole_run](const OpenedRun& opened) -> std::uint64_t {
        return whole_run ? opened.view.envelopes.arena_bytes() : 0;
    };
    auto build = [this, node = scope.node](const SharedRun& opened) -> Result<text::Fragments, error::ApiError> {
        const std::optional<std::string_view> scoped = node ? std::optional<std::string_view>(*node) : std::nullopt;
        text::Fragments fragments = payload::timeline_fragments(opened->view, scoped, opened->indexes_of());
        count_indexes(opened);
        return fragments;
    };
    return RunDocument<text::Fragments>(RunFinding(*this, run, answers, std::move(prepare)), std::move(build));
}

Result<text::Fragments, error::ApiError> RunStore::run(const contract::RunId& id, bool include_conversations) const {
    return made(run_document(id, include_conversations, nullptr));
}

Result<text::Fragments, error::ApiError> RunStore::timeline(const contract::RunId& run,
                                                            const TimelineScope& scope) const {
    return made(timeline_document(run, scope, nullptr));
}

Result<std::string, error::ApiError> RunStore::conversation(const contract::RunId& run, const contract::RunId& id) const {
    return made(conversation_document(run, id, nullptr));
}

Result<boost::json::value, error::ApiError> RunStore::artifact(const contract::RunId& run,
                                                               const contract::RunId& id) const {
    return made(artifact_document(run, id, nullptr));
}

Result<SharedView, error::ApiError> RunStore::find_run(const contract::RunId& id) const {
    auto found = find_opened(id);
    if (!found) return std::move(found).error();
    const SharedRun& run = *found;
    return SharedView(run, &run->view);
}

Result<SharedRun, error::ApiError> RunStore::find_opened(const contract::RunId& id) const {
    RunFinding finding(*this, id, nullptr);
    until_done([&](const Resume& resume) { return finding.step(resume); });
    if (!finding.run()) return error::ApiError::run_not_found(id);
    return finding.run();
}

RunFinding::RunFinding(const RunStore& store, contract::RunId id, MemoryBudget* answers, Prepare prepare)
    : store_(&store), id_(std::move(id)), answers_(answers), prepare_(std::move(prepare)) {}

Step RunFinding::step(const Resume& resume) {
    if (!looked_) {
        looked_ = true;
        // Only the named entry is looked at, by the listing's own rule, so the answer is the one
        // a walk over every run would give, at the cost of one run.
        std::optional<ledger::RunPaths> paths = ledger::run_dir_entry(std::filesystem::path(store_->root()), id_.str());
        if (!paths) return Step::Done;
        reading_ = std::make_unique<RunCache::Reading>(store_->run_cache(), std::move(*paths), answers_ != nullptr);
    }
    if (reading_) {
        const Step read = reading_->step(resume);
        if (read != Step::Done) return read;
        run_ = reading_->run();
        reading_.reset();
        if (run_ && prepare_) estimate_ = prepare_(*run_);
    }
    if (!run_ || answers_ == nullptr || estimate_ == 0) return Step::Done;
    return share_.take(*answers_, estimate_, resume);
}

void RunFinding::look_again() {
    looked_ = false;
    reading_.reset();
    run_ = nullptr;
}

}  // namespace korvalle::store
