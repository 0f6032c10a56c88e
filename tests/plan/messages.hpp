// Helpers shared by the plan reader tests.
#pragma once

#include "sdk/plan.hpp"

#include <gtest/gtest.h>

// Tests build expected records with designated initializers; the fields they leave out keep
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <string>
#include <string_view>
#include <vector>

namespace korvalle::plan::checks {

// The message without a final " at line L column C" (left as it is when it has none).
inline std::string without_location(const std::string& message) {
    std::size_t at = message.rfind(" at line ");
    if (at == std::string::npos) return message;
    std::string_view rest = std::string_view(message).substr(at + 9);
    std::size_t column = rest.find(" column ");
    if (column == std::string_view::npos) return message;
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digits(rest.substr(0, column)) || !digits(rest.substr(column + 8))) return message;
    return message.substr(0, at);
}

// "read" for a successful read, else its message without location.
template <class T>
std::string outcome(const Read<T>& read) {
    return read.ok() ? "read" : without_location(read.error);
}

// The value of a read that must succeed (a default value, and a failure, when it does not).
template <class T>
T ok(const Read<T>& read) {
    EXPECT_TRUE(read.ok()) << read.error;
    return read.value.value_or(T{});
}

// Whether the text starts with the prefix (gtest shows both when it does not).
inline ::testing::AssertionResult starts(const std::string& text, std::string_view prefix) {
    if (text.rfind(prefix, 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << '"' << text << "\" does not start with \"" << prefix << '"';
}

// One input and what reading it must give.
struct Case {
    std::string input, expected;
};

template <class F>
void expect_each(const std::vector<Case>& cases, F&& outcome_of) {
    for (const Case& c : cases) EXPECT_EQ(outcome_of(c.input), c.expected) << c.input;
}

}  // namespace korvalle::plan::checks
