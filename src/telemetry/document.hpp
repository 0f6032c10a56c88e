// Reading the document the pipeline tool's `telemetry` command prints.
#pragma once

#include "src/contract/contract.hpp"
#include "src/telemetry/telemetry.hpp"

#include <string_view>

namespace korvalle::telemetry {

// Parses, decodes and checks one document printed for run. Failures are always Unreadable.
Outcome read_document(const contract::RunId& run, std::string_view output);

}  // namespace korvalle::telemetry
