// Blocking forms of the store's steps, for tests and benchmarks: each blocks the calling thread
// while its work waits, where a request would wait without one (steps.hpp).
#pragma once

#include "src/contract/contract.hpp"
#include "src/store/run_record.hpp"
#include "src/store/telemetry_cache.hpp"

#include <string>

namespace korvalle::store::blocking {

// One lookup of the run's telemetry (TelemetryCache::Lookup) taken to its end: its outcome, or
// null when it is unavailable or the cache was stopped. Throws files::Exhausted as the lookup does.
SharedTelemetry lookup_telemetry(TelemetryCache& cache, std::string root, contract::RunId run,
                                 const RunSignature& signature);

}  // namespace korvalle::store::blocking
