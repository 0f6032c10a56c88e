// The server's settings from its environment, read once when it starts.
#pragma once

#include "src/store/settings.hpp"

namespace korvalle::server {

// KORVALLE_UI_KORVALLE_BIN, HOSTNAME, COMPUTERNAME (and "/etc/hostname") and
// KORVALLE_PARKED_AFTER_SECONDS, each by its rule. KORVALLE_RUNS_DIR is not among them: the
// server opens only the runs under its root, whose directories always have a parent
// (views::runs_dir_for).
store::Settings read_settings();

}  // namespace korvalle::server
