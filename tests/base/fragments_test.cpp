// Texts in fragments: written in fragments they are the bytes written whole, with kept texts shared,
// never copied.
#include "sdk/base/fragments.hpp"

#include "sdk/base/json_write.hpp"

#include <gtest/gtest.h>

namespace korvalle {
namespace {

TEST(Fragments, WrittenInFragmentsTheyAreTheTextWrittenWholeWithKeptTextsShared) {
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
    text::FragmentedText fragmented;
    json::Writer fragmented_out(fragmented);
    write(fragmented_out);
    const text::Fragments fragments = std::move(fragmented).finish();

    EXPECT_EQ(whole, R"({"a":1,"b":{"k":[1,2]},"c":[{"k":[1,2]},{"k":[1,2]}]})");
    EXPECT_EQ(text::joined(fragments), whole);
    EXPECT_EQ(text::size_of(fragments), whole.size());
    std::size_t shared = 0;
    for (const text::Fragment& fragment : fragments) {
        EXPECT_FALSE(fragment.bytes.empty());
        if (fragment.owner == kept) {
            EXPECT_EQ(fragment.bytes.data(), kept->data());
            ++shared;
        }
    }
    EXPECT_EQ(shared, 3u);

    // A text that is one kept text is that one fragment.
    text::FragmentedText alone;
    json::Writer(alone).kept(kept);
    const text::Fragments one = std::move(alone).finish();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.front().owner, kept);
}

}  // namespace
}  // namespace korvalle
