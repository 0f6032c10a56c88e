// The server's settings from its environment, read once when it starts.
#pragma once

#include "src/store/settings.hpp"

#include <cstddef>

namespace korvalle::server {

// KORVALLE_UI_KORVALLE_BIN, HOSTNAME, COMPUTERNAME (and "/etc/hostname") and
// KORVALLE_PARKED_AFTER_SECONDS, each by its rule. KORVALLE_RUNS_DIR is not among them: the
// server opens only the runs under its root, whose directories always have a parent
// (views::runs_dir_for).
store::Settings read_settings();

// The most threads the blocking pool may start: KORVALLE_UI_BLOCKING_THREADS when it is a
// positive number (a setting for tests and benchmarks, which starve the pool on purpose), else
// BlockingPool::default_max_threads.
std::size_t blocking_threads();

}  // namespace korvalle::server
