#include "src/store/blocking.hpp"

namespace korvalle::store::blocking {

SharedTelemetry lookup_telemetry(TelemetryCache& cache, std::string root, contract::RunId run,
                                 const RunSignature& signature) {
    TelemetryCache::Lookup lookup(cache, std::move(root), std::move(run), signature);
    if (until_done([&](const Resume& resume) { return lookup.step(resume); }) != Step::Done) return nullptr;
    return lookup.telemetry();
}

}  // namespace korvalle::store::blocking
