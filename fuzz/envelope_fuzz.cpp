// Fuzzes the journal envelope reader: any line gives an envelope or one located message,
// never a crash, a hang or a stack overflow.
#include "sdk/journal/event.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    auto read = korvalle::event::read_envelope(line);
    if (!read.ok() && read.error.find(" at line ") == std::string::npos) std::abort();
    return 0;
}
