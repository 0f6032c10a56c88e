#include "src/store/telemetry_cache.hpp"

#include "sdk/base/files.hpp"
#include "src/telemetry/child.hpp"

#include <unistd.h>

namespace korvalle::store {

Step TelemetryCache::Lookup::step(const Resume&) {
    sync::Lock lock(cache_.mutex_);
    if (auto it = cache_.entries_.find(run_.str()); it != cache_.entries_.end() && it->second.signature == signature_) {
        telemetry_ = it->second.telemetry;
        return Step::Done;
    }
    auto outcome = telemetry::of_run_from(cache_.program_, root_, run_);
    if (!outcome) {
        files::write_whole(STDERR_FILENO, "korvalle-api: no telemetry for " + run_.str() + ": " +
                                              outcome.error().message(cache_.program_) + "\n");
    } else {
        telemetry_ = std::make_shared<const telemetry::RunTelemetry>(std::move(outcome).value());
    }
    cache_.entries_.insert_or_assign(run_.str(), Entry{signature_, telemetry_});
    return Step::Done;
}

}  // namespace korvalle::store
