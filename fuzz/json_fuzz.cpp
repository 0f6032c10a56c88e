// Fuzzes the strict JSON reader: any bytes give a value or one message, never a crash, and valid()
// judges them as the reading does; a value read writes back to a text that reads to the same value.
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = korvalle::json::parse(text);
    // The verdict found without a value (and without a message) is the reading's.
    if (korvalle::json::valid(text) != first.ok()) std::abort();
    if (!first.ok()) {
        if (korvalle::message(first.error()).empty()) std::abort();
        return 0;
    }
    std::string written = korvalle::json::write(*first);
    auto second = korvalle::json::parse(written);
    if (!second.ok() || korvalle::json::write(*second) != written) std::abort();

    // A document that reads as a value must also skip.
    korvalle::json::Reader reader(text);
    try {
        reader.skip_value();
        reader.finish();
    } catch (const korvalle::ReadingFailed&) {
        std::abort();
    }
    return 0;
}
