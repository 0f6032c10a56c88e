// Fuzzes the journal envelope reader: any line gives an envelope or one located message,
// never a crash, a hang or a stack overflow. A line that is valid UTF-8 reads the same when the
// reader is told so (as journal lines are) and skips its own UTF-8 checks.
#include "sdk/base/text.hpp"
#include "sdk/journal/event.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    auto read = korvalle::event::read_envelope(line);
    const std::string message = read.ok() ? std::string() : korvalle::message(read.error());
    if (!read.ok() && message.find(" at line ") == std::string::npos) std::abort();
    if (korvalle::text::is_utf8(line)) {
        korvalle::event::Envelope known;
        const korvalle::Result<void> into = korvalle::event::read_envelope_into(line, known, korvalle::json::Utf8::Checked);
        const std::string error = into.ok() ? std::string() : korvalle::message(into.error());
        if (error != message || (read.ok() && !(known == *read))) std::abort();
    }
    return 0;
}
