// A run as a warm document request finds it: kept in the run cache, trusted, with what is kept
// beside its view (indexes, texts, round objects) already made by an earlier request. What a
// warm request then costs is the cache's look at the run's files, the look at each kept round
// object's files, and the rest of the document made from what is kept.
#pragma once

#include "src/store/run_cache.hpp"
#include "src/store/blocking.hpp"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <thread>

namespace korvalle::bench {

class WarmRun {
public:
    // What a request does first: it reads the cache's clock, then takes the kept run, after a
    // look at each of its files.
    struct Request {
        std::int64_t read_from;
        store::SharedRun run;

        // What is kept with the view, as the request's document takes it.
        store::KeptIndexes::Of indexes() const { return run->indexes_of(read_from); }
    };

    // Waits until the run's files are older than the cache's window of distrust, so that its
    // first read is kept as trusted, then opens it once and hands it to first_request (which
    // makes what the document needs, as the first request for it would).
    WarmRun(ledger::RunPaths paths, const std::function<void(const Request&)>& first_request)
        : paths_(std::move(paths)) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(store::RunCache::settle_ns) + std::chrono::milliseconds(100));
        const Request first = request();
        if (!first.run || !first.run->trusted) {
            std::cerr << "the generated run does not open as a trusted view\n";
            std::abort();
        }
        first_request(first);
        cache_.count_indexes(paths_, first.run);
    }

    Request request() {
        const std::int64_t read_from = cache_.now();
        return Request{read_from, store::blocking::open_run(cache_, paths_)};
    }

    // The cache's figures: a warm run is answered by hits only.
    store::RunCache::Figures figures() const { return cache_.figures(); }

private:
    ledger::RunPaths paths_;
    store::RunCache cache_;
};

}  // namespace korvalle::bench
