// Room for large texts: a document-sized reservation is offered for huge pages, within the
// text's own pages.
#include "sdk/base/memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace korvalle::memory {
namespace {

bool huge_pages_off() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(setting, text);
    return !setting || text.find("[never]") != std::string::npos;
}

// The VmFlags of the mapping that holds an address, from /proc/self/smaps.
std::optional<std::string> flags_of(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t start = 0, end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> start >> dash >> end && dash == '-') inside = start <= at && at < end;
        if (inside && line.rfind("VmFlags:", 0) == 0) return line;
    }
    return std::nullopt;
}

TEST(Memory, LargeRoomIsOfferedForHugePages) {
    if (huge_pages_off()) GTEST_SKIP() << "transparent huge pages are off here";
    std::string large;
    reserve_large(large, 64 * 1024 * 1024);
    ASSERT_GE(large.capacity(), 64u * 1024 * 1024);
    large.assign(8 * 1024 * 1024, 'x');  // written as a document would be
    const auto flags = flags_of(large.data() + large.size() / 2);
    ASSERT_TRUE(flags) << "no mapping holds the text";
    EXPECT_NE(flags->find(" hg"), std::string::npos) << *flags;
}

}  // namespace
}  // namespace korvalle::memory
