#include "src/store/blocking.hpp"

#include "sdk/base/files.hpp"

#include <atomic>
#include <future>
#include <new>
#include <mutex>
#include <thread>
#include <utility>

namespace korvalle::store::blocking {

Step until_done(const std::function<Step(const Resume&)>& step) {
    for (;;) {
        // Shared with the resume, which may still be returning when this thread wakes.
        auto resumed = std::make_shared<std::promise<void>>();
        std::future<void> woken = resumed->get_future();
        const Step ended = step([resumed] { resumed->set_value(); });
        if (ended != Step::Waits) return ended;
        woken.wait();
    }
}

MemoryBudget::Lease acquire(MemoryBudget& budget, std::uint64_t bytes) {
    BudgetShare share;
    until_done([&](const Resume& resume) { return share.take(budget, bytes, resume, false); });
    return std::move(share.lease());
}

SharedRun open_run(RunCache& cache, const ledger::RunPaths& paths) {
    RunCache::Reading reading(cache, paths, false);
    until_done([&](const Resume& resume) { return reading.step(resume); });
    return reading.run();
}

SharedView open(RunCache& cache, const ledger::RunPaths& paths) {
    SharedRun run = open_run(cache, paths);
    return run ? SharedView(run, &run->view) : nullptr;
}

SharedRecord open_record(RunCache& cache, const ledger::RunPaths& paths) {
    const std::unique_ptr<RunCache::Reading> reading = cache.record_reading(paths);
    until_done([&](const Resume& resume) { return reading->step(resume); });
    return reading->record();
}

SharedTelemetry telemetry(const RunStore& store, const views::RunView& view) {
    const auto lookup = store.telemetry_lookup(view.id(), RunSignature::of(view));
    if (!lookup) return nullptr;
    if (until_done([&](const Resume& resume) { return lookup->step(resume); }) != Step::Done) return nullptr;
    return lookup->telemetry();
}

Result<text::Fragments, error::ApiError> run(const RunStore& store, const contract::RunId& id,
                                             bool include_conversations) {
    return made(store.run_document(id, include_conversations, nullptr));
}

Result<text::Fragments, error::ApiError> timeline(const RunStore& store, const contract::RunId& run,
                                                  const TimelineScope& scope) {
    return made(store.timeline_document(run, scope, nullptr));
}

Result<std::string, error::ApiError> conversation(const RunStore& store, const contract::RunId& run,
                                                  const contract::RunId& id) {
    return made(store.conversation_document(run, id, nullptr));
}

Result<boost::json::value, error::ApiError> artifact(const RunStore& store, const contract::RunId& run,
                                                     const contract::RunId& id) {
    return made(store.artifact_document(run, id, nullptr));
}

Result<SharedRun, error::ApiError> find_opened(const RunStore& store, const contract::RunId& id) {
    RunFinding finding(store, id, nullptr);
    until_done([&](const Resume& resume) { return finding.step(resume); });
    if (!finding.run()) return error::ApiError::run_not_found(id);
    return finding.run();
}

Result<SharedView, error::ApiError> find_run(const RunStore& store, const contract::RunId& id) {
    auto found = find_opened(store, id);
    if (!found) return std::move(found).error();
    const SharedRun& run = *found;
    return SharedView(run, &run->view);
}

namespace {

// The threads the walks of these forms run on, each joined once it has ended, and all of them
// when the program ends: a thread left running then would leave what it holds (its thread-local
// state among it) unfreed.
class WalkingThreads {
public:
    ~WalkingThreads() {
        std::vector<Walking> threads;
        {
            std::lock_guard lock(mutex_);
            threads = std::move(threads_);
        }
        for (Walking& walking : threads) walking.thread.join();
    }
    void start(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        std::erase_if(threads_, [](Walking& walking) {
            if (!walking.ended->load()) return false;
            walking.thread.join();
            return true;
        });
        auto ended = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back({std::thread([task = std::move(task), ended] {
                                task();
                                ended->store(true);
                            }),
                            ended});
    }

private:
    struct Walking {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::mutex mutex_;
    std::vector<Walking> threads_;
};

WalkingThreads& walking_threads() {
    static WalkingThreads threads;
    return threads;
}

}  // namespace

SharedWalks::SharedWalk walk(const RunStore& store) {
    auto walked = std::make_shared<std::promise<SharedWalks::SharedWalk>>();
    std::future<SharedWalks::SharedWalk> ended = walked->get_future();
    const auto done = [walked](std::exception_ptr error, SharedWalks::SharedWalk walk) {
        if (error) return walked->set_exception(error);
        walked->set_value(std::move(walk));
    };
    // A walk begun for another caller may fall to this one's begin on an opener's thread, which
    // must not walk: each walk gets a thread of its own.
    store.walk(done, [](std::function<void()> task) { walking_threads().start(std::move(task)); });
    return ended.get();
}

std::vector<SharedRecord> every_run_record(const RunStore& store) { return walk(store)->records(); }

namespace {

// The page of the walk taken to its end; throws when the telemetry cache refused it.
std::unique_ptr<ListPage> page_of_walk(const RunStore& store, SharedWalks::SharedWalk walked, const RunsQuery& query,
                                       ListPage::Form form) {
    auto page = std::make_unique<ListPage>(store, std::move(walked), query, form);
    if (until_done([&](const Resume& resume) { return page->step(resume); }) == Step::Refused)
        throw std::system_error(std::make_error_code(std::errc::operation_canceled));
    return page;
}

}  // namespace

boost::json::object run_list(const RunStore& store, const RunsQuery& query) {
    return std::move(page_of_walk(store, walk(store), query, ListPage::Form::Document)->document());
}

std::shared_ptr<const std::string> run_list_text(const RunStore& store, const SharedWalks::SharedWalk& walked,
                                                 const RunsQuery& query) {
    return page_of_walk(store, walked, query, ListPage::Form::Text)->text();
}

Observation observe(const RunStore& store, const std::optional<std::string>& watched, bool with_conversation,
                    const Observation* last) {
    if (!watched) return observe_walk(every_run_record(store), with_conversation, last);
    SharedRun run;
    if (auto id = contract::RunId::make(*watched)) {
        if (auto found = find_opened(store, *id)) run = std::move(found).value();
    }
    return observe_run(store, run, with_conversation, last);
}

Signatures run_signatures(const Frames& frames) {
    return observe(frames.store(), frames.watched_run(), false).runs->signatures();
}

Frame snapshot(Frames& frames) {
    const Observation baseline = observe(frames.store(), frames.watched_run(), true);
    return frames.snapshot(baseline, run_list(frames.store(), RunsQuery{std::nullopt, max_page, true}));
}

void poll(Frames& frames) {
    std::shared_ptr<const Observation> observed;
    try {
        observed = std::make_shared<const Observation>(
            observe(frames.store(), frames.watched_run(), frames.conversation_due(), frames.last_look()));
    } catch (const files::Exhausted&) {
        return;
    } catch (const std::bad_alloc&) {
        return;
    }
    frames.poll(std::move(observed));
}

}  // namespace korvalle::store::blocking
