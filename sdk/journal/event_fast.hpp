// The fast reader of journal envelopes, which read_envelope_into tries first on a line known to
// be valid UTF-8; the strict reader (event.hpp) judges whatever it leaves.
#pragma once

#include "sdk/journal/event.hpp"

#include <string_view>

namespace korvalle::event {

// The fast reading of a line known to be valid UTF-8, for the common shapes of journal lines:
// true when it has read the line into out (an empty envelope made for its storage), exactly as
// the strict reader would; false when it cannot be sure, and the strict reader must judge the
// line (out is then unspecified). It never refuses a line itself.
bool read_envelope_fast(std::string_view line, Envelope& out);

}  // namespace korvalle::event
