// Texts as the pipeline's Rust tooling writes them.
#include "sdk/base/text.hpp"

#include "sdk/base/json_write.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <unicode/uchar.h>

namespace korvalle::text {

namespace {

// Decodes the valid sequence of length len at bytes[at].
std::uint32_t decode(std::string_view bytes, std::size_t at, std::size_t len) {
    auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + k])); };
    switch (len) {
        case 1: return b(0);
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

// How many bytes of an invalid sequence at bytes[at] form its maximal subpart, replaced by a
// single U+FFFD (the rule String::from_utf8_lossy follows).
std::size_t invalid_subpart(std::string_view bytes, std::size_t at) {
    std::size_t length;
    return std::max<std::size_t>(1, utf8_matching_bytes(bytes, at, length));
}

bool is_unicode_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Code points the Rust Debug quoting writes as \u{..}: those that extend the grapheme before
// them (combining marks would otherwise merge with the opening quote or a neighbour) and
// those not printable: controls, format characters, surrogates, private use, unassigned code
// points and every separator but the plain space. The properties come from ICU's tables, so
// the list follows the Unicode version of the installed library.
bool debug_escaped(std::uint32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) return false;  // printable ASCII, the common case
    const auto c = static_cast<UChar32>(cp);
    if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) return true;
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:         // Cc
        case U_FORMAT_CHAR:          // Cf
        case U_SURROGATE:            // Cs
        case U_PRIVATE_USE_CHAR:     // Co
        case U_UNASSIGNED:           // Cn
        case U_LINE_SEPARATOR:       // Zl
        case U_PARAGRAPH_SEPARATOR:  // Zp
        case U_SPACE_SEPARATOR:      // Zs (U+0020 left above)
            return true;
        default:
            return false;
    }
}

// Shortest round-trip digits and decimal exponent: value = 0.d1d2... * 10^point.
struct Digits {
    std::string digits;
    int point = 0;
};

Digits shortest(double value) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    std::size_t e = sci.find('e');
    Digits d;
    for (std::size_t i = 0; i < e; ++i) {
        if (sci[i] != '.') d.digits.push_back(sci[i]);
    }
    int exponent = 0;
    std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);
    d.point = exponent + 1;
    return d;
}

// Positional form of the digits, with at least min_fraction fraction digits.
std::string positional(const Digits& d, int min_fraction) {
    std::string out;
    const int len = static_cast<int>(d.digits.size());
    if (d.point <= 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-d.point), '0');
        out += d.digits;
    } else if (d.point >= len) {
        out = d.digits;
        out.append(static_cast<std::size_t>(d.point - len), '0');
        if (min_fraction > 0) out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(d.point));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(d.point));
    }
    return out;
}

}  // namespace

std::size_t utf8_valid_prefix(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Journals are mostly ASCII: skip eight such bytes at a time.
        while (i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i == bytes.size()) break;
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) break;
        i += len;
    }
    return i;
}

bool is_utf8(std::string_view bytes) { return utf8_valid_prefix(bytes) == bytes.size(); }

std::optional<std::string_view> usable_setting(std::optional<std::string_view> value) {
    if (!value || value->empty() || !is_utf8(*value)) return std::nullopt;
    return value;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t valid = utf8_valid_prefix(bytes.substr(i));
        out.append(bytes.data() + i, valid);
        i += valid;
        if (i < bytes.size()) {
            out.append("\xEF\xBF\xBD");
            i += invalid_subpart(bytes, i);
        }
    }
    return out;
}

std::string debug_quote(std::string_view value) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < value.size()) {
        std::size_t len = utf8_sequence_length(value, i);
        if (len == 0) {
            // Not text: shown as the replacement character, as a lossy conversion would.
            out.append("\xEF\xBF\xBD");
            i += invalid_subpart(value, i);
            continue;
        }
        std::uint32_t cp = decode(value, i, len);
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (debug_escaped(cp)) {
                    char buf[16];
                    auto r = std::to_chars(buf, buf + sizeof buf, cp, 16);
                    out += "\\u{";
                    out.append(buf, r.ptr);
                    out += '}';
                } else {
                    out.append(value.data() + i, len);
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string f64_display(double value) {
    if (std::isnan(value)) return "NaN";
    std::string sign = std::signbit(value) ? "-" : "";
    if (std::isinf(value)) return sign + "inf";
    if (value == 0) return sign + "0";
    return sign + positional(shortest(value), 0);
}

std::string f64_debug(double value) {
    if (std::isnan(value)) return "NaN";
    std::string sign = std::signbit(value) ? "-" : "";
    if (std::isinf(value)) return sign + "inf";
    if (value == 0) return sign + "0.0";
    double magnitude = std::fabs(value);
    Digits d = shortest(value);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        std::string out = sign + d.digits.substr(0, 1);
        if (d.digits.size() > 1) out += "." + d.digits.substr(1);
        return out + "e" + std::to_string(d.point - 1);
    }
    return sign + positional(d, 1);
}

std::string unexpected_unsigned(std::uint64_t value) { return "integer `" + std::to_string(value) + "`"; }
std::string unexpected_signed(std::int64_t value) { return "integer `" + std::to_string(value) + "`"; }
// The JSON readers show a float in the writer's shortest form ("1.5", "1e16", "-0.0").
std::string unexpected_float(double value) { return "floating point `" + json::format_double(value) + "`"; }

// The YAML reader shows a float with all its digits, never an exponent, and ".0" when that
// leaves no decimal point ("2.5", "10000000000000000.0", "inf").
std::string unexpected_float_positional(double value) {
    std::string out = f64_display(value);
    if (std::isfinite(value) && out.find('.') == std::string::npos) out += ".0";
    return "floating point `" + out + "`";
}

std::string unexpected_string(std::string_view value) { return "string " + debug_quote(value); }
std::string unexpected_bool(bool value) { return value ? "boolean `true`" : "boolean `false`"; }

std::string io_kind_word(int error) {
    switch (error) {
        case E2BIG: return "argument list too long";
        case EADDRINUSE: return "address in use";
        case EADDRNOTAVAIL: return "address not available";
        case EBUSY: return "resource busy";
        case ECONNABORTED: return "connection aborted";
        case ECONNREFUSED: return "connection refused";
        case ECONNRESET: return "connection reset";
        case EDEADLK: return "deadlock";
        case EDQUOT: return "filesystem quota exceeded";
        case EEXIST: return "entity already exists";
        case EFBIG: return "file too large";
        case EHOSTUNREACH: return "host unreachable";
        case EINTR: return "operation interrupted";
        case EINVAL: return "invalid input parameter";
        case EISDIR: return "is a directory";
        case ELOOP: return "filesystem loop or indirection limit (e.g. symlink loop)";
        case ENOENT: return "entity not found";
        case ENOMEM: return "out of memory";
        case ENOSPC: return "no storage space";
        case ENOSYS: return "unsupported";
        case EMLINK: return "too many links";
        case ENAMETOOLONG: return "invalid filename";
        case ENETDOWN: return "network down";
        case ENETUNREACH: return "network unreachable";
        case ENOTCONN: return "not connected";
        case ENOTDIR: return "not a directory";
        case ENOTEMPTY: return "directory not empty";
        case EPIPE: return "broken pipe";
        case EROFS: return "read-only filesystem or storage medium";
        case ESPIPE: return "seek on unseekable file";
        case ESTALE: return "stale network file handle";
        case ETIMEDOUT: return "timed out";
        case ETXTBSY: return "executable file busy";
        case EXDEV: return "cross-device link or rename";
        case EACCES:
        case EPERM: return "permission denied";
        case EAGAIN: return "operation would block";
        default: return "uncategorized error";
    }
}

std::string os_error(int error) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* message = strerror_r(error, buf, sizeof buf);
    return std::string(message) + " (os error " + std::to_string(error) + ")";
}

Result<std::uint64_t> parse_u64(std::string_view text) {
    const auto refused = [](std::string phrase) {
        return Fault{.kind = Fault::Kind::Refused, .detail = std::move(phrase), .place = {}};
    };
    if (text.empty()) return refused("cannot parse integer from empty string");
    std::string_view digits = text;
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return refused("invalid digit found in string");
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return refused("invalid digit found in string");
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return refused("number too large to fit in target type");
        value = value * 10 + digit;
    }
    return value;
}

std::string_view trim(std::string_view value) {
    std::size_t begin = 0;
    while (begin < value.size()) {
        std::size_t len = utf8_sequence_length(value, begin);
        if (len == 0 || !is_unicode_space(decode(value, begin, len))) break;
        begin += len;
    }
    std::size_t end = value.size();
    while (end > begin) {
        // Step back to the start of the last sequence.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(value[start]) & 0xC0) == 0x80 && end - start < 4) {
            --start;
        }
        std::size_t len = utf8_sequence_length(value, start);
        if (len != end - start || !is_unicode_space(decode(value, start, len))) break;
        end = start;
    }
    return value.substr(begin, end - begin);
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            out.push_back(text.substr(start));
            break;
        }
        std::string_view line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.push_back(line);
        start = lf + 1;
    }
    return out;
}

}  // namespace korvalle::text
