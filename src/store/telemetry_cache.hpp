// Stand-in until the telemetry cache's own module lands (same interface).
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/contract/contract.hpp"
#include "src/store/run_record.hpp"
#include "src/store/steps.hpp"
#include "src/telemetry/telemetry.hpp"

#include <memory>
#include <string>
#include <unordered_map>

namespace korvalle::store {

using SharedTelemetry = std::shared_ptr<const telemetry::RunTelemetry>;

class TelemetryCache {
public:
    explicit TelemetryCache(std::string program) : program_(std::move(program)) {}

    class Lookup {
    public:
        Lookup(TelemetryCache& cache, std::string root, contract::RunId run, RunSignature signature)
            : cache_(cache), root_(std::move(root)), run_(std::move(run)), signature_(std::move(signature)) {}
        Lookup(const Lookup&) = delete;
        Lookup& operator=(const Lookup&) = delete;
        Step step(const Resume& resume);
        const SharedTelemetry& telemetry() const { return telemetry_; }

    private:
        TelemetryCache& cache_;
        std::string root_;
        contract::RunId run_;
        RunSignature signature_;
        SharedTelemetry telemetry_;
    };

    void stop() {}

private:
    struct Entry {
        RunSignature signature;
        SharedTelemetry telemetry;
    };
    const std::string program_;
    sync::Mutex mutex_;
    std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
    friend class Lookup;
};

}  // namespace korvalle::store
