// The launch record of a run ("launch.json"): written once when a run is launched, read strictly.
#pragma once

#include "sdk/base/result.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace korvalle::views {

// Read strictly (every key exactly once, no unknown key) from an object, or from an array of
// the eleven values in this order.
struct LaunchRecord {
    std::string run_id;
    std::string plan;
    std::string graph;
    std::string launcher;
    std::string session;
    std::uint32_t pid = 0;
    std::string host;
    std::string started_at;
    std::uint64_t round_budget = 0;
    std::uint64_t heartbeat_interval = 0;
    std::uint32_t adoptions = 0;

    bool operator==(const LaunchRecord&) const = default;
};

// Reads the text of a launch record; a fault has its place in the text.
Result<LaunchRecord> read_launch_record(std::string_view text);

}  // namespace korvalle::views
