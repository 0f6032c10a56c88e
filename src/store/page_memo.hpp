// The run list's last pages, each beside what it was made from, so that a walk over runs that
// did not change does not write the same page again. A page is a function of its runs' records
// (in page order, and whether more runs follow), their telemetry outcomes and what their
// summaries read when the page is made (payload::SummaryMoment: the state words, and node counts
// of round result files); a page of the same query made from equal inputs is the same text.
// Records and outcomes are immutable and held here by pointer, so an equal pointer is the same
// record: nothing is taken for unchanged that the page would have read again.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/payload/summary.hpp"
#include "src/store/lru.hpp"
#include "src/store/run_record.hpp"
#include "src/telemetry/telemetry.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvalle::store {

class PageMemo {
public:
    // What one page is made from.
    struct Inputs {
        std::vector<SharedRecord> runs;  // in page order
        std::vector<std::shared_ptr<const telemetry::RunTelemetry>> telemetry;  // one per run, null: unavailable
        std::vector<payload::SummaryMoment> moments;                            // one per run
        bool more = false;                                                      // more runs follow

        friend bool operator==(const Inputs&, const Inputs&) = default;
    };
    using Text = std::shared_ptr<const std::string>;

    // Pages of this many queries are kept, the least recently asked for dropped first: a query's
    // cursor is the client's to choose.
    static constexpr std::size_t kept_queries = 8;

    // The page of the query key made from inputs: the kept one when it was made from equal
    // inputs, else make's (called without the lock), which is kept in its place.
    Text page(const std::string& key, Inputs inputs, const std::function<std::string(const Inputs&)>& make)
        EXCLUDES(mutex_);

private:
    struct Kept {
        Inputs inputs;
        Text text;
    };

    sync::Mutex mutex_;
    BoundedLru<std::shared_ptr<const Kept>> kept_ GUARDED_BY(mutex_){kept_queries};  // each counts as one
};

}  // namespace korvalle::store
