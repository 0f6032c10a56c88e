// Fuzzes the YAML plan reader: any input ends in a plan or in one non-empty message, without
// crashing, hanging or growing without bound (aliases included).
#include "sdk/plan/plan.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    korvalle::Result<korvalle::plan::Plan> read = korvalle::plan::read_plan_yaml(text);
    if (!read.ok() && korvalle::message(read.error()).empty()) __builtin_trap();
    return 0;
}
