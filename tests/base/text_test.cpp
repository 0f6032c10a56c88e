// Rust-compatible texts and regular-file reading.
#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <tuple>
#include <utility>
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

TEST(Text, DebugQuote) {
    EXPECT_EQ(text::debug_quote("a\"b\\c\nd\re\tf"), "\"a\\\"b\\\\c\\nd\\re\\tf\"");
    EXPECT_EQ(text::debug_quote(std::string("\0\x1b\x7f\xC3\xA9'", 6)), "\"\\0\\u{1b}\\u{7f}\xC3\xA9'\"");
}

// Received values and their quoted form: characters that are not printable or that extend the
// grapheme before them show as \u{..}; everything else, space included, shows as itself.
TEST(Text, DebugQuoteEscapesByUnicodeProperties) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("\x01\x07\x08\x0B\x0C\x1F", 6), R"("\u{1}\u{7}\u{8}\u{b}\u{c}\u{1f}")"},  // ASCII controls (Cc)
        {"\x7F \xC2\x85", R"("\u{7f} \u{85}")"},  // DEL and NEL (Cc); the space plain
        {"e\xCC\x81", R"("e\u{301}")"},  // combining acute accent (Mn)
        {"\xCC\x81", R"("\u{301}")"},  // alone, as limit=%CC%81 receives it
        {"\xE0\xA6\x95\xE0\xA6\xBE", "\"\xE0\xA6\x95\\u{9be}\""},  // Bengali vowel sign AA: Mc, yet extending
        {"\xF3\xA0\x84\x80", R"("\u{e0100}")"},  // variation selector 17
        {"a\xE2\x80\x8B" "b", R"("a\u{200b}b")"},  // zero width space (Cf)
        {"\xEF\xBB\xBFx", R"("\u{feff}x")"},  // byte order mark (Cf)
        {"\xC2\xAD", R"("\u{ad}")"},  // soft hyphen (Cf)
        {"1\xC2\xA0" "000", R"("1\u{a0}000")"},  // no-break space (Zs)
        {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},  // line and paragraph separators
        {"\xE3\x80\x80", R"("\u{3000}")"},  // ideographic space (Zs)
        {"\xCD\xB8\xF4\x8F\xBF\xBF", R"("\u{378}\u{10ffff}")"},  // unassigned (Cn)
        {"\xEE\x80\x80", R"("\u{e000}")"},  // private use (Co)
        {"\xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "\"\xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\""},  // emoji, one with a skin tone
        {"\xE4\xB8\xAD\xE6\x96\x87", "\"\xE4\xB8\xAD\xE6\x96\x87\""},  // CJK ideographs
        {"caf\xC3\xA9 \xCE\xA9\xE2\x82\xAC'", "\"caf\xC3\xA9 \xCE\xA9\xE2\x82\xAC'\""},  // precomposed letter, Greek, a symbol
        {"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},  // not UTF-8: U+FFFD
    };
    for (const auto& [received, quoted] : cases) {
        EXPECT_EQ(text::debug_quote(received), quoted) << quoted;
    }
    EXPECT_EQ(text::unexpected_string("\xCC\x81"), R"(string "\u{301}")");
}

TEST(Text, FloatDisplayAndDebug) {
    const std::tuple<double, const char*, const char*> cases[] = {
        // value, Display, Debug
        {1.0, "1", "1.0"},
        {1.5, "1.5", "1.5"},
        {0.0001, "0.0001", "0.0001"},
        {0.00001, "0.00001", "1e-5"},
        {1.5e-7, "0.00000015", "1.5e-7"},
        {123456.75, "123456.75", "123456.75"},
        {1e16, "10000000000000000", "1e16"},
        {-0.0, "-0", "-0.0"},
        {1.0 / 0.0, "inf", "inf"},
        {-1.0 / 0.0, "-inf", "-inf"},
        {0.0 / 0.0, "NaN", "NaN"},
    };
    for (const auto& [value, display, debug] : cases) {
        EXPECT_EQ(text::f64_display(value), display) << debug;
        EXPECT_EQ(text::f64_debug(value), debug) << display;
    }
}

TEST(Text, IntegersErrorsTrimAndLines) {
    // Digits are read in order: an overflow before a stray byte is the overflow.
    const std::pair<const char*, const char*> numbers[] = {
        {"", "cannot parse integer from empty string"}, {"12a", "invalid digit found in string"},
        {"-1", "invalid digit found in string"}, {"+", "invalid digit found in string"},
        {" 7", "invalid digit found in string"}, {"1.5", "invalid digit found in string"},
        {"18446744073709551616", "number too large to fit in target type"},
        {"99999999999999999999x", "number too large to fit in target type"},
        {"+18446744073709551615", "18446744073709551615"}, {"+7", "7"}, {"000", "0"}};
    for (const auto& [input, expected] : numbers) {
        const korvalle::Result<std::uint64_t> n = text::parse_u64(input);
        EXPECT_EQ(n ? std::to_string(*n) : korvalle::message(n.error()), expected) << input;
        EXPECT_TRUE(n || n.error().kind == korvalle::Fault::Kind::Refused) << input;
    }
    EXPECT_EQ(text::io_kind_word(ENOTDIR), "not a directory");
    EXPECT_EQ(text::os_error(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(text::trim("\xE3\x80\x80 \t x y\n\xC2\xA0"), "x y");
    EXPECT_EQ(text::trim(" \xC3\xA9 "), "\xC3\xA9");
    EXPECT_EQ(text::trim("  "), "");
    EXPECT_EQ(text::lines("a\r\nb\n\nc\r"), (std::vector<std::string_view>{"a", "b", "", "c\r"}));
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
