// The process's own lines (the serving line, fatal messages, missing-telemetry lines), each
// written whole with one write(2) loop so that lines from concurrent threads never interleave.
#pragma once

#include <string_view>

namespace korvalle::server {

// Writes all of text to the descriptor, retrying EINTR. A failed write is dropped: the process
// has nowhere left to report it, and serving goes on.
void write_whole(int fd, std::string_view text);

}  // namespace korvalle::server
