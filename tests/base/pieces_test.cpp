// Texts in pieces: written in pieces they are the bytes written whole, with kept texts shared,
// never copied.
#include "sdk/base/pieces.hpp"

#include "sdk/base/json.hpp"

#include <gtest/gtest.h>

namespace korvalle {
namespace {

TEST(Pieces, WrittenInPiecesTheyAreTheTextWrittenWholeWithKeptTextsShared) {
    const text::SharedText kept = std::make_shared<const std::string>(R"({"k":[1,2]})");
    const auto write = [&](json::Writer& out) {
        out.begin_object();
        out.member("a", 1);
        out.key("b");
        out.kept(kept);
        out.key("c");
        out.begin_array();
        out.kept(kept);
        out.kept(kept);
        out.end_array();
        out.end_object();
    };
    std::string whole;
    json::Writer whole_out(whole);
    write(whole_out);
    text::PiecedText pieced;
    json::Writer pieced_out(pieced);
    write(pieced_out);
    const text::Pieces pieces = std::move(pieced).finish();

    EXPECT_EQ(whole, R"({"a":1,"b":{"k":[1,2]},"c":[{"k":[1,2]},{"k":[1,2]}]})");
    EXPECT_EQ(text::joined(pieces), whole);
    EXPECT_EQ(text::size_of(pieces), whole.size());
    std::size_t shared = 0;
    for (const text::Piece& piece : pieces) {
        EXPECT_FALSE(piece.bytes.empty());
        if (piece.owner == kept) {
            EXPECT_EQ(piece.bytes.data(), kept->data());
            ++shared;
        }
    }
    EXPECT_EQ(shared, 3u);

    // A text that is one kept text is that one piece.
    text::PiecedText alone;
    json::Writer(alone).kept(kept);
    const text::Pieces one = std::move(alone).finish();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.front().owner, kept);
}

}  // namespace
}  // namespace korvalle
