// Rust-compatible texts and regular-file reading.
#include "sdk/files.hpp"
#include "sdk/text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>

namespace text = korvalle::text;
namespace files = korvalle::files;

TEST(Text, Utf8Validity) {
    EXPECT_TRUE(text::is_utf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_TRUE(text::is_utf8(std::string("a\0b", 3)));
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xC3"}) {
        EXPECT_FALSE(text::is_utf8(bad)) << bad;
    }
    EXPECT_EQ(text::utf8_valid_prefix("ab\xE2\x82"), 2u);
    EXPECT_EQ(text::lossy_utf8("a\xE0\x80z"), "a\xEF\xBF\xBD\xEF\xBF\xBDz");
    EXPECT_EQ(text::lossy_utf8("a\xF0\x9F\x98z"), "a\xEF\xBF\xBDz");
}

TEST(Text, DebugQuoteAndUnexpected) {
    EXPECT_EQ(text::debug_quote("a\"b\\c\nd\re\tf"), "\"a\\\"b\\\\c\\nd\\re\\tf\"");
    EXPECT_EQ(text::debug_quote(std::string("\0\x1b\x7f\xC3\xA9'", 6)), "\"\\0\\u{1b}\\u{7f}\xC3\xA9'\"");
    EXPECT_EQ(text::unexpected_string("x"), "string \"x\"");
    EXPECT_EQ(text::unexpected_unsigned(5), "integer `5`");
    EXPECT_EQ(text::unexpected_signed(-1), "integer `-1`");
    EXPECT_EQ(text::unexpected_float(1e3), "floating point `1000.0`");
    EXPECT_EQ(text::unexpected_bool(false), "boolean `false`");
    EXPECT_EQ(text::expected_one_of({"a"}), "`a`");
    EXPECT_EQ(text::expected_one_of({"a", "b"}), "`a` or `b`");
    EXPECT_EQ(text::expected_one_of({"morvane", "vcs", "pipeline"}), "one of `morvane`, `vcs`, `pipeline`");
}

TEST(Text, FloatDisplayAndDebug) {
    EXPECT_EQ(text::f64_display(1.0), "1");
    EXPECT_EQ(text::f64_display(1.5), "1.5");
    EXPECT_EQ(text::f64_display(1e16), "10000000000000000");
    EXPECT_EQ(text::f64_display(1e-7), "0.0000001");
    EXPECT_EQ(text::f64_display(-0.0), "-0");
    EXPECT_EQ(text::f64_display(1.0 / 0.0), "inf");
    EXPECT_EQ(text::f64_display(0.0 / 0.0), "NaN");
    EXPECT_EQ(text::f64_debug(1.0), "1.0");
    EXPECT_EQ(text::f64_debug(0.0001), "0.0001");
    EXPECT_EQ(text::f64_debug(0.00001), "1e-5");
    EXPECT_EQ(text::f64_debug(1e16), "1e16");
    EXPECT_EQ(text::f64_debug(1.5e-7), "1.5e-7");
    EXPECT_EQ(text::f64_debug(123456.75), "123456.75");
    EXPECT_EQ(text::f64_debug(-1.0 / 0.0), "-inf");
}

TEST(Text, IntegersErrorsTrimAndLines) {
    EXPECT_EQ(text::parse_int_error(""), "cannot parse integer from empty string");
    EXPECT_EQ(text::parse_int_error("12a"), "invalid digit found in string");
    EXPECT_EQ(text::parse_int_error("-1"), "invalid digit found in string");
    EXPECT_EQ(text::parse_int_error("+"), "invalid digit found in string");
    EXPECT_EQ(text::parse_int_error("18446744073709551616"), "number too large to fit in target type");
    EXPECT_EQ(text::parse_int_error("+18446744073709551615"), "");
    EXPECT_EQ(text::parse_u64("+7"), 7u);
    EXPECT_EQ(text::parse_u64(" 7"), std::nullopt);
    EXPECT_EQ(text::io_kind_word(ENOENT), "entity not found");
    EXPECT_EQ(text::io_kind_word(EACCES), "permission denied");
    EXPECT_EQ(text::io_kind_word(ENOTDIR), "not a directory");
    EXPECT_EQ(text::os_error(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(text::trim("\xE3\x80\x80 \t x y\n\xC2\xA0"), "x y");
    EXPECT_EQ(text::trim(" \xC3\xA9 "), "\xC3\xA9");
    EXPECT_EQ(text::trim("  "), "");
    auto ls = text::lines("a\r\nb\n\nc\r");
    ASSERT_EQ(ls.size(), 4u);
    EXPECT_EQ(ls[0], "a");
    EXPECT_EQ(ls[2], "");
    EXPECT_EQ(ls[3], "c\r");
    EXPECT_EQ(text::lines("a\n").size(), 1u);
    EXPECT_TRUE(text::lines("").empty());
}

TEST(Files, ReadsRegularFilesOnly) {
    auto dir = std::filesystem::temp_directory_path() / ("korvalle-files-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    {
        std::ofstream(dir / "f") << "hello world";
    }
    auto whole = files::read_regular(dir / "f");
    EXPECT_EQ(whole.bytes, "hello world");
    EXPECT_EQ(files::read_tail(dir / "f", 5).bytes, "world");
    EXPECT_EQ(files::read_tail(dir / "f", 100).bytes, "hello world");
    EXPECT_EQ(files::read_regular(dir / "missing").error, ENOENT);
    EXPECT_EQ(files::read_regular(dir).error, EISDIR);
    // A FIFO with no writer would block a plain open and read forever.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto fifo = files::read_regular(dir / "fifo");
    EXPECT_FALSE(fifo.bytes);
    EXPECT_NE(fifo.error, 0);
    EXPECT_TRUE(files::is_regular(dir / "f"));
    EXPECT_FALSE(files::is_regular(dir / "fifo"));
    EXPECT_TRUE(files::is_directory(dir));
    EXPECT_FALSE(files::is_directory(dir / "f"));
    std::filesystem::create_directory_symlink(dir, dir / "link");
    EXPECT_TRUE(files::is_directory(dir / "link"));
    std::filesystem::remove_all(dir);
}
