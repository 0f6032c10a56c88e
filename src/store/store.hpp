// The run store: the server's read model of the runs root. Every operation lists the root
// again and reads its runs through the cache of opened runs, which replays a run only when a
// file its open read has changed. The telemetry cache remembers per run what the pipeline
// tool's telemetry command answered until the run changes. Operations over every run read the
// runs' records, and open the runs without one on the store's pool of openers.
#pragma once

#include "sdk/base/fragments.hpp"
#include "sdk/base/result.hpp"
#include "sdk/base/thread_safety.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/contract/error.hpp"
#include "src/store/build_claim.hpp"
#include "src/store/memory_budget.hpp"
#include "src/store/open_pool.hpp"
#include "src/store/page_memo.hpp"
#include "src/store/queries.hpp"
#include "src/store/run_cache.hpp"
#include "src/store/run_record.hpp"
#include "src/store/settings.hpp"
#include "src/store/shared_walks.hpp"
#include "src/store/steps.hpp"
#include "src/store/telemetry_cache.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvalle::store {

class Frames;
class ListPage;
class RunFinding;
template <class Document>
class RunDocument;

class RunStore {
public:
    // Keeps a copy of the root, the poll interval and the settings; reads nothing and cannot fail.
    static RunStore new_polling_every(std::string_view root, std::uint64_t poll_ms, Settings settings = {});
    // The same with a cache of opened runs of the caller's making (another bound or clock).
    static RunStore new_polling_every(std::string_view root, std::uint64_t poll_ms,
                                      std::shared_ptr<RunCache> run_cache, Settings settings = {});

    const std::string& root() const { return root_; }
    std::uint64_t poll_ms() const { return poll_ms_; }
    // Ten poll intervals (saturating).
    std::uint64_t transcript_poll_ms() const { return transcript_poll_ms_; }

    // A lookup of the run's telemetry in steps (TelemetryCache::Lookup), for the signature given;
    // null for a run whose id fails the identifier rule, which gets none, silently.
    std::unique_ptr<TelemetryCache::Lookup> telemetry_lookup(std::string_view run, const RunSignature& signature) const;
    // At the stop: no telemetry child is started any more, the running one may finish within
    // the cache's grace, and the lookups that would need another child are refused
    // (TelemetryCache::stop).
    void stop_telemetry() const { telemetry_cache_->stop(); }

    void count_indexes(const SharedRun& run) const { run_cache_->count_indexes(run->view.paths, run); }

    // The store's cache of opened runs (shared by its clones).
    RunCache& run_cache() const { return *run_cache_; }

    // Where a walk runs: submit runs a task on a thread that may read files and wait for the open
    // pool (never one of the open pool's own), or throws when it cannot.
    using Submit = std::function<void(std::function<void()>)>;
    // Calls done, once and from any thread, with the first walk over the root that starts after
    // the call, or with what failed it (shared_walks.hpp). A walk that falls to this caller
    // begins through submit. Each walk lists the root and checks the kept records on its
    // thread; only the runs without one are read, on the store's openers, several at once, and
    // a read that must wait (another caller's open of the run, the budget for opens) is set
    // aside and taken on by the openers once its wait ends: the walk then ends there. The cache
    // forgets the runs that are no longer listed. A walk's records are those of every run of the
    // root, in the listing's order (ascending id), as views::RunView::all would give their
    // views; runs that do not open are left out. gather, when given, lets the walk wait a
    // moment for a crowd's callers; wanted, whether the caller still wants the walk, asked as it
    // starts: a walk nobody wants any more reads nothing (SharedWalks::after_now).
    void walk(SharedWalks::Done done, Submit submit, SharedWalks::Gather gather = {},
              SharedWalks::Wanted wanted = nullptr) const;
    // The walks over the root started so far, by this store and its clones.
    std::uint64_t walks_started() const { return walks_->walks_started(); }

    // The documents of one run, made in steps that never block (RunDocument). answers: the
    // budget of answers of a request, whose waits may then be refused; null for a caller that is
    // not a request, which takes no share and is never refused (tests: store/blocking.hpp).
    //
    // The text of the run detail document of one run, with its telemetry when the cache has it;
    // its conversations only when include_conversations is set. run_not_found when no run has
    // the id. In fragments, as the route sends it: the parts kept with the run's view are shared,
    // not copied (payload::run_detail_fragments), and counted where they live, not by the answer
    // (kept_texts.hpp).
    //
    // The run detail, the timeline and the conversation document take their share of the answers
    // before they are built, from an estimate of what will be made for them (build_claim.hpp), so
    // that a crowd of them waits its turn, or is told the server is busy, before anything is made.
    RunDocument<text::Fragments> run_document(const contract::RunId& id, bool include_conversations,
                                              MemoryBudget* answers) const;
    // The text of the timeline document of the run, for the whole run or the scope's node;
    // run_not_found when no run has the id. Looks up no telemetry. In fragments, as the route
    // sends it: the whole run's is the text kept with the run's view (payload::timeline_fragments).
    RunDocument<text::Fragments> timeline_document(const contract::RunId& run, const TimelineScope& scope,
                                                   MemoryBudget* answers) const;
    // One conversation of one run: run_not_found, conversation_not_found, or the document's text.
    RunDocument<std::string> conversation_document(const contract::RunId& run, const contract::RunId& id,
                                                   MemoryBudget* answers) const;
    // One artifact of one run: run_not_found, artifact_not_found (also when its file cannot be
    // read), or the document.
    RunDocument<boost::json::value> artifact_document(const contract::RunId& run, const contract::RunId& id,
                                                      MemoryBudget* answers) const;

    // The frame source of one event stream (change_feed.hpp): a copy of this store sharing its
    // telemetry cache, the watched run and the first frame id. Reads nothing.
    Frames events(const EventsQuery& query) const;

private:
    RunStore(std::string root, std::uint64_t poll_ms, std::shared_ptr<RunCache> run_cache, Settings settings);

    // What liveness judges by now: the settings' host and threshold, and the clock as it is.
    views::LivenessInputs liveness_now() const;

    // One walk over the root, ending with finish (walk).
    void walk_every_run(const SharedWalks::Finish& finish) const;

    friend class ListPage;

    // Set when the store is made and only read after: copies of it (its clones) are read by any
    // number of threads at once. The objects they share lock on their own.
    std::string root_;
    std::uint64_t poll_ms_;
    std::uint64_t transcript_poll_ms_;
    Settings settings_;
    std::shared_ptr<TelemetryCache> telemetry_cache_;  // shared by the store's clones
    std::shared_ptr<OpenPool> openers_;                // shared by the store's clones
    std::shared_ptr<RunCache> run_cache_;              // shared by the store's clones
    std::shared_ptr<SharedWalks> walks_;               // shared by the store's clones
    std::shared_ptr<PageMemo> pages_;                  // shared by the store's clones
};

// The steps before a document of one run is built, one phase after another: the run found by
// its id (its one entry taken by the listing's rule), read through the cache, its telemetry
// looked up where the document shows it, then, where the document takes its share of the answers'
// budget before it is built, that share estimated (build_claim.hpp) and taken. Each step reads
// files: take it where file work may run.
//
// A finding that waits for the telemetry cache's turn holds no view, only the run's signature
// and where to read it again: the views of a crowd of waiting requests stay within the cache's
// bound. Once its lookup is done, the run is read again (a kept view answers at once); a view
// read then with another signature (the run grew meanwhile) has its telemetry looked up once
// more, and is built with the telemetry of that second lookup whatever it finds after it.
class RunFinding {
public:
    // telemetry: where the run's telemetry goes, looked up once the run is read and before the
    // share is taken (it may wait for a telemetry child); null looks up none. claim: what the
    // document is built from, whose estimate it takes before it is built when answers is set;
    // none takes nothing before (the answer takes its share once complete).
    RunFinding(const RunStore& store, contract::RunId id, MemoryBudget* answers,
               std::optional<BuildClaim> claim = std::nullopt, std::shared_ptr<SharedTelemetry> telemetry = nullptr);

    // Done: run() is the run, or null when no run has the id. Waits: for the run's open, the
    // telemetry cache's lock, another document's making of the pieces it is built from, or the
    // answer's share; resume is called once the wait ends. Refused: a budget refused the wait,
    // or the telemetry cache refused the lookup at the stop. Throws files::Exhausted when the
    // open runs out of descriptors or memory.
    Step step(const Resume& resume);

    // Looks for the run again, keeping the share taken.
    void look_again();

    const contract::RunId& id() const { return id_; }
    const SharedRun& run() const { return run_; }
    // The share taken before building, if any.
    BudgetShare& share() { return share_; }

private:
    enum class Phase { Find, Read, Telemetry, Estimate, Share, Done };

    // The phase after the run is read: its telemetry, unless it was looked up for this signature
    // or twice already; then its estimate.
    Phase after_read() const;
    Step look_up_telemetry(const Resume& resume);
    Step take_share(const Resume& resume);

    const RunStore* store_;
    contract::RunId id_;
    MemoryBudget* answers_;
    std::optional<BuildClaim> claim_;
    std::shared_ptr<SharedTelemetry> telemetry_;
    Phase phase_ = Phase::Find;
    std::optional<ledger::RunPaths> paths_;  // the run's entry, once found
    std::unique_ptr<RunCache::Reading> reading_;
    SharedRun run_;
    std::unique_ptr<TelemetryCache::Lookup> lookup_;
    std::optional<RunSignature> looked_up_;  // the signature of the last telemetry lookup
    int lookups_ = 0;
    std::uint64_t estimate_ = 0;
    BudgetShare share_;
};

// One document of one run, made in steps that never block a thread to wait (steps.hpp): the
// run is found (RunFinding), then the document is built from it on the thread of the last step.
template <class Document>
class RunDocument {
public:
    using Outcome = Result<Document, error::ApiError>;
    // The document of the run found, or none when the run's view was read from a directory that
    // another one has replaced under its name since: the run is then found again.
    using Build = std::function<std::optional<Outcome>(const SharedRun&)>;

    RunDocument(RunFinding finding, Build build) : finding_(std::move(finding)), build_(std::move(build)) {}

    // Done: outcome() is the document or its error. Waits and Refused as RunFinding::step.
    Step step(const Resume& resume) {
        for (;;) {
            const Step found = finding_.step(resume);
            if (found != Step::Done) return found;
            if (!finding_.run()) {
                outcome_.emplace(error::ApiError::run_not_found(finding_.id()));
                return Step::Done;
            }
            if (std::optional<Outcome> built = build_(finding_.run())) {
                outcome_.emplace(std::move(*built));
                return Step::Done;
            }
            finding_.look_again();
        }
    }

    Outcome& outcome() { return *outcome_; }
    // The share of the budget of answers taken before building, if any: the answer holds it.
    BudgetShare& share() { return finding_.share(); }

private:
    RunFinding finding_;
    Build build_;
    std::optional<Outcome> outcome_;
};

// One page of the run list from a walk, in steps: the telemetry of the page's runs looked up in
// page order, each lookup waiting its turn for the telemetry cache's lock without a thread, each
// run judged once its telemetry is had, then the page made.
class ListPage {
public:
    enum class Form {
        Text,      // the text the run list sends, made once per walk and query and shared by its
                   // callers; written again only when what it is made from changed since the
                   // query's last page (page_memo.hpp)
        Document,  // {"runs":[summary…]} plus "next_cursor" when more runs follow
    };

    ListPage(const RunStore& store, SharedWalks::SharedWalk walked, RunsQuery query, Form form);
    // A page whose making falls to it and that ends before it is made lets the callers waiting
    // for it make it.
    ~ListPage();
    ListPage(const ListPage&) = delete;
    ListPage& operator=(const ListPage&) = delete;

    // The key of the query's page among a walk's pages.
    static std::string key_of(const RunsQuery& query);

    // The text's turn, taken by the first step unless taken before: the text of the walk and
    // query is made once, by the first page that asks for it. Done: text() is the text another
    // page made, or the making falls to this one (text() null). Waits: another page makes it;
    // resume is called once it is made or given up. Reads no file: a caller may take it where
    // file work may not run, and then take the steps that make the text where it may.
    Step take_turn(const Resume& resume);

    // Done: text() or document() is the page. Waits: for the telemetry cache's lock, or for the
    // text another page makes from the same walk; resume is called once the wait ends. Refused: the telemetry cache stopped. Throws
    // files::Exhausted as a telemetry lookup does.
    Step step(const Resume& resume);

    const std::shared_ptr<const std::string>& text() const { return text_; }
    boost::json::object& document() { return document_; }

private:
    const RunStore* store_;
    SharedWalks::SharedWalk walked_;
    RunsQuery query_;
    Form form_;
    bool begun_ = false;
    bool making_ = false;  // the walk's text of the query falls to this page
    PageMemo::Inputs inputs_;
    std::unique_ptr<TelemetryCache::Lookup> lookup_;  // of the run inputs_ has come to
    std::shared_ptr<const std::string> text_;
    boost::json::object document_;
};

}  // namespace korvalle::store
