// Texts as the pipeline's Rust tooling writes them, built once for the whole system.
#pragma once

#include "sdk/base/result.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::text {

// UTF-8 validity (strict: no overlongs, no surrogates, nothing above U+10FFFF).
bool is_utf8(std::string_view bytes);
// A setting's value (an environment variable's) when it is set, not empty and UTF-8; else none,
// which every setting reads as "use the default".
std::optional<std::string_view> usable_setting(std::optional<std::string_view> value);
// How many bytes from bytes[at] on agree with one well-formed UTF-8 sequence (no overlongs,
// no surrogates, nothing above U+10FFFF). Sets length to the sequence length that the lead
// byte announces, 0 when it announces none; the result is at most length.
inline std::size_t utf8_matching_bytes(std::string_view bytes, std::size_t at, std::size_t& length) {
    length = 0;
    if (at >= bytes.size()) return 0;
    const auto c = static_cast<unsigned char>(bytes[at]);
    unsigned char lo = 0x80;  // range of the second byte
    unsigned char hi = 0xBF;
    if (c < 0x80) length = 1;
    else if (c >= 0xC2 && c <= 0xDF) length = 2;
    else if (c == 0xE0) length = 3, lo = 0xA0;
    else if (c == 0xED) length = 3, hi = 0x9F;
    else if (c >= 0xE1 && c <= 0xEF) length = 3;
    else if (c == 0xF0) length = 4, lo = 0x90;
    else if (c == 0xF4) length = 4, hi = 0x8F;
    else if (c >= 0xF1 && c <= 0xF3) length = 4;
    else return 0;
    const std::size_t present = std::min(length, bytes.size() - at);
    for (std::size_t k = 1; k < present; ++k) {
        const auto ck = static_cast<unsigned char>(bytes[at + k]);
        if (k == 1 ? (ck < lo || ck > hi) : (ck < 0x80 || ck > 0xBF)) return k;
    }
    return present;
}
// Length of the valid UTF-8 sequence that starts at bytes[at] (1 to 4), or 0 when the bytes
// there begin no valid sequence or one cut short by the end.
inline std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at) {
    std::size_t length;
    return utf8_matching_bytes(bytes, at, length) == length ? length : 0;
}
// Length of the longest valid UTF-8 prefix.
std::size_t utf8_valid_prefix(std::string_view bytes);
// Invalid sequences replaced by U+FFFD, as String::from_utf8_lossy does.
std::string lossy_utf8(std::string_view bytes);

// Debug quoting of a string: "..." with \" \\ \n \r \t \0, and \u{..} in hex for other
// characters that are not printable or that extend the grapheme before them ("\u{1b}",
// "\u{301}", "\u{a0}"). Bytes that are not UTF-8 show as U+FFFD.
std::string debug_quote(std::string_view value);

// f64 Display ("1", "1.5", "inf", "NaN"; never exponent form) and Debug ("1.0", "1e16").
std::string f64_display(double value);
std::string f64_debug(double value);

// serde's description of an unexpected value, as used in "invalid type: {}, expected {}":
// "integer `5`", "floating point `1.5`", "string \"x\"", "boolean `true`", "null", ...
std::string unexpected_unsigned(std::uint64_t value);
std::string unexpected_signed(std::int64_t value);
std::string unexpected_float(double value);             // JSON forms: the writer's digits
std::string unexpected_float_positional(double value);  // YAML: all digits, never an exponent
std::string unexpected_string(std::string_view value);
std::string unexpected_bool(bool value);

// Words of io::ErrorKind for an errno ("entity not found", "permission denied", ...), and the
// Display of an OS error: "{strerror text} (os error {n})".
std::string io_kind_word(int error);
std::string os_error(int error);

// An unsigned 64-bit decimal number with an optional single leading '+', as str::parse::<u64>
// reads it; otherwise a Refused fault with its message: "cannot parse integer from empty
// string", "invalid digit found in string" or "number too large to fit in target type" (the
// digits are read in order, so the first of the last two met is the one given).
Result<std::uint64_t> parse_u64(std::string_view text);

// Unicode-aware trim of white space, as str::trim does.
std::string_view trim(std::string_view value);

// The lines of a text as str::lines splits them: at each "\n", with one "\r" before it
// removed; a final line feed ends the last line rather than starting an empty one.
std::vector<std::string_view> lines(std::string_view text);

}  // namespace korvalle::text
