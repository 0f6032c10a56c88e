// Whole documents compared as written text, with failures a reader can act on: the first line
// that differs, and the actual document laid out one member per line, ready to paste into its
// expected file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalle::testing {

// The text with the whitespace between tokens dropped; every byte inside a string (escaped
// quotes included) and every other token kept as it is. Written JSON comes back unchanged.
std::string without_layout(std::string_view text);

// The text laid out one member or element per line, two spaces of indent a level, a space after
// each colon, empty objects and arrays kept as "{}" and "[]", and a closing newline (none for an
// empty text). Works token by token: strings and numbers keep their bytes, and text that is not
// JSON still comes out.
std::string laid_out(std::string_view text);

// For EXPECT_PRED_FORMAT2: the document's bytes equal the expected file's text without its
// layout. A missing file counts as an empty one, so a new test's first failure shows the text to
// write there.
::testing::AssertionResult document_as_in_file(const char* document_expression, const char* file_expression,
                                               std::string_view document, const std::filesystem::path& file);

// For EXPECT_PRED_FORMAT2: two written documents equal byte for byte.
::testing::AssertionResult same_document(const char* actual_expression, const char* expected_expression,
                                         std::string_view actual, std::string_view expected);

}  // namespace korvalle::testing
