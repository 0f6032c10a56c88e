// What the server takes from its environment. The program reads it once when it starts and
// hands it to the store, which passes each value on to where it is used: nothing below reads
// these variables. (A telemetry child still inherits the server's whole environment.) Beside
// them, the one setting no variable gives: the size of the shards journals are parsed in.
#pragma once

#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"

#include <cstdint>
#include <string>

namespace korvalle::store {

// Defaults as for an environment that sets none of the variables, on a machine named localhost.
struct Settings {
    // The pipeline tool run for telemetry (telemetry::telemetry_binary).
    std::string telemetry_program = "korvalle";
    // What liveness judges by: this machine's name (views::host_name) and the parked threshold
    // (views::parked_after_seconds).
    std::string host_name = "localhost";
    std::uint64_t parked_after_seconds = views::default_parked_after_seconds;
    // The size of the shards a journal is parsed in on the store's idle openers (tests set small
    // shards, so that small journals make many).
    std::uint64_t journal_shard_bytes = views::JournalFanout::default_shard_bytes;
};

}  // namespace korvalle::store
