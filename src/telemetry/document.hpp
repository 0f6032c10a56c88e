// Reading the document the pipeline tool's `telemetry` command prints.
#pragma once

#include "src/contract/contract.hpp"
#include "src/telemetry/telemetry.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::telemetry {

// One bucket entry of the document.
struct WireBucket {
    BucketName name;
    std::optional<std::uint64_t> ms;
};

// The decoded document, before its values are checked against each other.
struct Document {
    std::string run_id;
    std::uint64_t wall_ms = 0;
    std::vector<WireBucket> buckets;  // document order
    std::map<UsageParty, WireUsage> usage;
};

// Parses, decodes and checks one document printed for run. Failures are always Unreadable.
Outcome read_document(const contract::RunId& run, std::string_view output);

}  // namespace korvalle::telemetry
