// The compact JSON writer used for every document, error body and event frame.
#include "sdk/base/json.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace korvalle::json {

namespace {

// The bytes of a word that need escaping (a control byte below 0x20, a quote or a backslash),
// each marked by its high bit. Texts are mostly plain, so they are scanned eight bytes at a time.
// A marked byte can also mark the bytes above it, never those below: the lowest mark is exact.
constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

std::uint64_t zero_bytes(std::uint64_t word) { return (word - ones) & ~word & highs; }

std::uint64_t escape_marks(std::uint64_t word) {
    const std::uint64_t control = (word - ones * 0x20) & ~word & highs;
    return control | zero_bytes(word ^ (ones * '"')) | zero_bytes(word ^ (ones * '\\'));
}

bool byte_needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The length of the prefix of s that needs no escaping.
std::size_t plain_prefix(std::string_view s) {
    if constexpr (std::endian::native != std::endian::little) {
        std::size_t i = 0;
        while (i < s.size() && !byte_needs_escape(static_cast<unsigned char>(s[i]))) ++i;
        return i;
    }
    const auto first_mark = [](std::uint64_t marks) { return static_cast<std::size_t>(std::countr_zero(marks)) / 8; };
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, sizeof word);
        if (const std::uint64_t marks = escape_marks(word)) return i + first_mark(marks);
    }
    while (i < s.size() && !byte_needs_escape(static_cast<unsigned char>(s[i]))) ++i;
    return i;
}

void write_escape(std::string& out, unsigned char c) {
    static constexpr char hex[] = "0123456789abcdef";
    switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            out.append(esc, sizeof esc);
        }
    }
}

void write_string(std::string& out, std::string_view s) {
    out.push_back('"');
    while (!s.empty()) {
        const std::size_t plain = plain_prefix(s);
        out.append(s.data(), plain);
        if (plain == s.size()) break;
        write_escape(out, static_cast<unsigned char>(s[plain]));
        s.remove_prefix(plain + 1);
    }
    out.push_back('"');
}

template <class T>
void write_integer(std::string& out, T value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void append_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    // Shortest round-trip digits in scientific form ("1.5e-07"), then laid out as the Rust
    // writers do: positional with ".0" when the decimal point falls within 16 digits,
    // exponent form "1e16" / "1.5e-7" otherwise.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    std::size_t e_pos = sci.find('e');
    char digits[20];
    std::size_t length = 0;
    for (std::size_t i = 0; i < e_pos; ++i) {
        if (sci[i] != '.') digits[length++] = sci[i];
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                    exponent);
    if (length == 1 && digits[0] == '0') {
        out.append("0.0");
        return;
    }
    const int kk = exponent + 1;  // position of the decimal point after the first digit
    const int len = static_cast<int>(length);
    if (len <= kk && kk <= 16) {
        out.append(digits, length);
        out.append(static_cast<std::size_t>(kk - len), '0');
        out.append(".0");
    } else if (0 < kk && kk <= 16) {
        out.append(digits, static_cast<std::size_t>(kk));
        out.push_back('.');
        out.append(digits + kk, length - static_cast<std::size_t>(kk));
    } else if (-5 < kk && kk <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-kk), '0');
        out.append(digits, length);
    } else {
        out.push_back(digits[0]);
        if (length > 1) {
            out.push_back('.');
            out.append(digits + 1, length - 1);
        }
        out.push_back('e');
        write_integer(out, kk - 1);
    }
}

// The length of a value's text when no string needs escaping and numbers take their widest
// form: a bound that is rarely exceeded, so that a large document is written into one buffer
// instead of one that is copied each time it doubles.
std::size_t size_bound(const boost::json::value& value);

std::size_t size_bound(const boost::json::array& array) {
    std::size_t size = 2 + array.size();
    for (const auto& element : array) size += size_bound(element);
    return size;
}

std::size_t size_bound(const boost::json::object& object) {
    std::size_t size = 2 + object.size();
    for (const auto& member : object) size += member.key().size() + 3 + size_bound(member.value());
    return size;
}

std::size_t size_bound(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::string: return value.get_string().size() + 2;
        case boost::json::kind::array: return size_bound(value.get_array());
        case boost::json::kind::object: return size_bound(value.get_object());
        default: return 24;
    }
}

template <class Document>
std::string write_reserved(const Document& document) {
    std::string out;
    out.reserve(size_bound(document));
    write_to(out, document);
    return out;
}

}  // namespace

void write_to(std::string& out, const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null: out.append("null"); break;
        case boost::json::kind::bool_: out.append(value.get_bool() ? "true" : "false"); break;
        case boost::json::kind::int64: write_integer(out, value.get_int64()); break;
        case boost::json::kind::uint64: write_integer(out, value.get_uint64()); break;
        case boost::json::kind::double_: append_double(out, value.get_double()); break;
        case boost::json::kind::string: {
            const auto& s = value.get_string();
            write_string(out, std::string_view(s.data(), s.size()));
            break;
        }
        case boost::json::kind::array: write_to(out, value.get_array()); break;
        case boost::json::kind::object: write_to(out, value.get_object()); break;
    }
}

void write_to(std::string& out, const boost::json::array& array) {
    out.push_back('[');
    bool first = true;
    for (const auto& element : array) {
        if (!first) out.push_back(',');
        first = false;
        write_to(out, element);
    }
    out.push_back(']');
}

void write_to(std::string& out, const boost::json::object& object) {
    out.push_back('{');
    bool first = true;
    for (const auto& member : object) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, std::string_view(member.key().data(), member.key().size()));
        out.push_back(':');
        write_to(out, member.value());
    }
    out.push_back('}');
}

std::string write(const boost::json::value& value) { return write_reserved(value); }
std::string write(const boost::json::object& object) { return write_reserved(object); }
std::string write(const boost::json::array& array) { return write_reserved(array); }

void Writer::grow(std::size_t bytes) {
    // Four times the room each time: a document of tens of megabytes is otherwise copied into a
    // fresh buffer, page by page, at every doubling, which costs as much as writing it once more.
    out_.reserve(std::max(out_.size() + bytes + spare, out_.capacity() * 4));
}

void Writer::key(std::string_view key) {
    separate(key.size() + 3);
    write_string(out_, key);
    out_.push_back(':');
    need_comma_ = false;
}

void Writer::open(char bracket) {
    separate();
    out_.push_back(bracket);
    need_comma_ = false;
}

void Writer::close(char bracket) {
    if (out_.size() == out_.capacity()) grow(1);
    out_.push_back(bracket);
    need_comma_ = true;
}

template <class Write>
void Writer::put(std::size_t bytes, Write write) {
    separate(bytes);
    write(out_);
    need_comma_ = true;
}

void Writer::value(std::string_view text) {
    put(text.size() + 2, [&](std::string& out) { write_string(out, text); });
}
void Writer::value(bool flag) {
    put(5, [&](std::string& out) { out.append(flag ? "true" : "false"); });
}
void Writer::value(std::nullptr_t) {
    put(4, [](std::string& out) { out.append("null"); });
}
void Writer::value(std::int64_t number) {
    put(24, [&](std::string& out) { write_integer(out, number); });
}
void Writer::value(std::uint64_t number) {
    put(24, [&](std::string& out) { write_integer(out, number); });
}
void Writer::value(double number) {
    put(40, [&](std::string& out) { append_double(out, number); });
}
void Writer::value(const boost::json::value& tree) {
    put(0, [&](std::string& out) { write_to(out, tree); });
}
void Writer::value(const boost::json::object& tree) {
    put(0, [&](std::string& out) { write_to(out, tree); });
}
void Writer::value(const boost::json::array& tree) {
    put(0, [&](std::string& out) { write_to(out, tree); });
}

std::string format_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
}

}  // namespace korvalle::json
