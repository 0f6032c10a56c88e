// Journal timestamps and the planner-context section.
#include "sdk/run/run_text.hpp"

#include <gtest/gtest.h>

namespace korvalle {
namespace {

using views::parse_timestamp_ms;

// The strict form itself is the clock's; here only what the run model adds: no time before 1970,
// and the ends of the range.
TEST(Timestamps, MillisecondsSinceTheEpochOnly) {
    EXPECT_EQ(parse_timestamp_ms("1970-01-01T00:00:01.500Z"), 1500u);
    EXPECT_EQ(parse_timestamp_ms("9999-12-31T23:59:59.999Z"), 253402300799999u);
    EXPECT_EQ(parse_timestamp_ms("1969-12-31T23:59:60.000Z"), 0u);
    for (const char* text : {"1969-12-31T23:59:59.999Z", "0000-01-01T00:00:00.000Z", "2024-01-01T00:00:00.000Z ",
                             "2024-01-01T00:00:0-.000Z", "\xd9\xa2" "24-01-01T00:00:00.000Z"}) {
        EXPECT_FALSE(parse_timestamp_ms(text)) << text;
    }
}

TEST(PlannerContext, AppendsTheSectionOnlyForRealContext) {
    EXPECT_EQ(views::with_planner_context("Do it.\n", std::nullopt), "Do it.\n");
    EXPECT_EQ(views::with_planner_context("Do it.  ", std::string(" \n\xC2\xA0")), "Do it.  ");
    EXPECT_EQ(views::with_planner_context("Do it.  \n\n", std::string("x")),
              "Do it.\n\n## Planner context\nThis reports observed state and adds no acceptance criteria.\n\nx\n");
    EXPECT_EQ(views::with_planner_context("Task\xE3\x80\x80", std::string("  keep the old column  \n")),
              "Task\n\n## Planner context\nThis reports observed state and adds no acceptance criteria.\n\n"
              "keep the old column\n");
    EXPECT_EQ(views::with_planner_context(" \n", std::string("c")),
              "\n\n## Planner context\nThis reports observed state and adds no acceptance criteria.\n\nc\n");
}

}  // namespace
}  // namespace korvalle
