// Short texts held in place, longer ones on the heap, every one kept exactly.
#include "sdk/base/short_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace text = korvalle::text;

namespace {

TEST(ShortText, KeepsEveryLengthExactlyThroughCopiesAndMoves) {
    for (std::size_t n : {0, 1, 27, 31, 32, 100}) {
        std::string bytes;
        for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(i % 3 == 0 ? '\0' : 'a' + i % 26));
        const text::ShortText t(bytes);
        EXPECT_EQ(t, bytes);
        EXPECT_EQ(t.size(), n);
        EXPECT_EQ(t.heap_bytes() == 0, n <= text::ShortText::inline_bytes) << n;

        text::ShortText copy = t;
        text::ShortText moved = std::move(copy);
        EXPECT_EQ(moved, bytes);
        EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved text is left empty
        text::ShortText assigned(std::string(40, 'x'));
        assigned = t;
        EXPECT_EQ(assigned, t);
        assigned = std::move(moved);
        EXPECT_EQ(assigned, bytes);
        // A view of its own bytes, assigned back.
        assigned = assigned.view().substr(n > 0 ? 1 : 0);
        EXPECT_EQ(assigned, std::string_view(bytes).substr(n > 0 ? 1 : 0));
    }
    EXPECT_LT(text::ShortText("2026-01-02T03:04:05Z"), text::ShortText("2026-01-02T03:04:06Z"));
    EXPECT_LT(text::ShortText("a").compare(text::ShortText(std::string(40, 'b'))), 0);
}

}  // namespace
