// A run as a warm document request finds it: kept in the run cache, trusted, with the indexes
// kept beside its view already made by an earlier request. What a warm request then costs is the
// cache's look at the run's files and the document made from the kept view and indexes.
#pragma once

#include "src/store/run_cache.hpp"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>

namespace korvalle::bench {

class WarmRun {
public:
    // Waits until the run's files are older than the cache's window of distrust, so that its
    // first read is kept as trusted, then opens it once and hands it to first_request (which
    // makes the indexes a document needs, as the first request for it would).
    WarmRun(ledger::RunPaths paths, const std::function<void(const store::OpenedRun&)>& first_request)
        : paths_(std::move(paths)) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(store::RunCache::settle_ns) + std::chrono::milliseconds(100));
        const store::SharedRun run = request();
        if (!run || !run->trusted) {
            std::cerr << "the generated run does not open as a trusted view\n";
            std::abort();
        }
        first_request(*run);
        cache_.count_indexes(paths_, run);
    }

    // What a request does first: the kept run, after a look at each of its files.
    store::SharedRun request() { return cache_.open_run(paths_); }
    // The cache's figures: a warm run is answered by hits only.
    store::RunCache::Figures figures() const { return cache_.figures(); }

private:
    ledger::RunPaths paths_;
    store::RunCache cache_;
};

}  // namespace korvalle::bench
