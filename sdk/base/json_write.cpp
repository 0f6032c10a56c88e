// The compact JSON writer used for every document, error body and event frame.
#include "sdk/base/json_write.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvalle::json {

namespace {

// Which bytes a JSON string cannot hold as they are: control bytes, the quote and the backslash.
constexpr auto escape_table = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = table['\\'] = true;
    return table;
}();

bool needs_escape(char c) { return escape_table[static_cast<unsigned char>(c)]; }

// The bytes of a word that need escaping, each marked by its high bit. A marked byte can also
// mark the bytes above it, never those below: the lowest mark is exact.
constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

std::uint64_t zero_bytes(std::uint64_t word) { return (word - ones) & ~word & highs; }

std::uint64_t word_marks(std::uint64_t word) {
    const std::uint64_t control = (word - ones * 0x20) & ~word & highs;
    return control | zero_bytes(word ^ (ones * '"')) | zero_bytes(word ^ (ones * '\\'));
}

template <class T>
T load(const char* at) {
    T bytes;
    std::memcpy(&bytes, at, sizeof bytes);
    return bytes;
}

// Eight bytes with the first in the lowest place, so that the lowest mark is the first in memory.
std::uint64_t load_word(const char* at) {
    const auto word = load<std::uint64_t>(at);
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
    return word;
}

std::size_t first_word_mark(std::uint64_t marks) { return static_cast<std::size_t>(std::countr_zero(marks)) / 8; }

template <class T>
void store(char* at, T bytes) {
    std::memcpy(at, &bytes, sizeof bytes);
}

// Texts are scanned a block at a time: sixteen bytes with SSE2 (every x86-64 has it), a word
// elsewhere. block_marks has one bit per byte that needs escaping, lowest bit first byte.
#if defined(__SSE2__)
using Block = __m128i;
constexpr std::size_t block_size = 16;

Block load_block(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
void store_block(char* at, Block block) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), block); }

unsigned block_marks(Block block) {
    const __m128i below_space = _mm_cmpeq_epi8(_mm_max_epu8(block, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    const __m128i quote = _mm_cmpeq_epi8(block, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(below_space, _mm_or_si128(quote, backslash))));
}

std::size_t first_block_mark(unsigned marks) { return static_cast<std::size_t>(std::countr_zero(marks)); }
#else
using Block = std::uint64_t;
constexpr std::size_t block_size = 8;

Block load_block(const char* at) { return load_word(at); }
void store_block(char* at, Block block) { store(at, block); }
std::uint64_t block_marks(Block block) { return word_marks(block); }
std::size_t first_block_mark(std::uint64_t marks) { return first_word_mark(marks); }
#endif

// The length of the plain prefix of a text shorter than a block, read without a byte past its
// end: two overlapping words cover it. The bytes the words share are checked twice, and since
// they are plain the lowest mark of the second word still lies beyond them.
std::size_t short_plain_prefix(const char* s, std::size_t n) {
    if (block_size > 8 && n >= 8) {
        if (const std::uint64_t marks = word_marks(load_word(s))) return first_word_mark(marks);
        const std::uint64_t marks = word_marks(load_word(s + n - 8));
        return marks ? n - 8 + first_word_mark(marks) : n;
    }
    std::size_t i = 0;
    while (i < n && !needs_escape(s[i])) ++i;
    return i;
}

// The length of the prefix of s that needs no escaping. The last block overlaps the one before
// it instead of reading past the end of the text.
std::size_t plain_prefix(std::string_view s) {
    const std::size_t n = s.size();
    if (n < block_size) return short_plain_prefix(s.data(), n);
    std::size_t i = 0;
    for (; i + block_size <= n; i += block_size) {
        if (const auto marks = block_marks(load_block(s.data() + i))) return i + first_block_mark(marks);
    }
    if (i == n) return n;
    const auto marks = block_marks(load_block(s.data() + n - block_size));
    return marks ? n - block_size + first_block_mark(marks) : n;
}

// Copies a text to out when it needs no escaping and tells whether it did; out has room for the
// text's bytes (a text that needs escaping leaves some of them written). The text is read and
// written block by block, ending with a block that overlaps the one before (two overlapping
// words, or the first, middle and last byte, when it is shorter than a block): never a byte
// past its end, and for a short text a few loads and stores instead of a call, inlined by force
// into each writer of a key or value.
[[gnu::always_inline]] inline bool copy_plain(char* out, const char* s, std::size_t n) {
    if (n >= block_size) {
        auto marks = decltype(block_marks(Block{})){0};
        std::size_t i = 0;
        for (; i + block_size <= n; i += block_size) {
            const Block block = load_block(s + i);
            store_block(out + i, block);
            marks |= block_marks(block);
        }
        if (i < n) {
            const Block block = load_block(s + n - block_size);
            store_block(out + n - block_size, block);
            marks |= block_marks(block);
        }
        return marks == 0;
    }
    if (n >= 8) {
        const auto first = load<std::uint64_t>(s);
        const auto last = load<std::uint64_t>(s + n - 8);
        store(out, first);
        store(out + n - 8, last);
        return (word_marks(first) | word_marks(last)) == 0;
    }
    if (n >= 4) {
        const auto first = load<std::uint32_t>(s);
        const auto last = load<std::uint32_t>(s + n - 4);
        store(out, first);
        store(out + n - 4, last);
        return word_marks(first | std::uint64_t{last} << 32) == 0;
    }
    if (n == 0) return true;
    // One to three bytes: the first, the middle and the last cover them.
    out[0] = s[0];
    out[n / 2] = s[n / 2];
    out[n - 1] = s[n - 1];
    return !(needs_escape(s[0]) || needs_escape(s[n / 2]) || needs_escape(s[n - 1]));
}

// Writes the escape of a byte that needs one at `at` and returns the end (at most six bytes).
char* write_escape(char* at, char byte) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(byte);
    char short_form = 0;
    switch (c) {
        case '"': short_form = '"'; break;
        case '\\': short_form = '\\'; break;
        case '\n': short_form = 'n'; break;
        case '\r': short_form = 'r'; break;
        case '\t': short_form = 't'; break;
        case '\b': short_form = 'b'; break;
        case '\f': short_form = 'f'; break;
    }
    *at++ = '\\';
    if (short_form) {
        *at++ = short_form;
        return at;
    }
    const char rest[5] = {'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
    return std::copy_n(rest, sizeof rest, at);
}

// A text from its first byte that needs escaping to its end. Such texts (messages with line
// breaks, code with quotes) have escapes every few bytes, so rather than an append per plain
// run, the text is copied a block at a time to the stack with each escape written in place of
// its byte, and appended a buffer at a time.
void write_escaped_rest(std::string& out, const char* at, const char* const end) {
    char buffer[512];
    constexpr std::size_t full = sizeof buffer - block_size - 6;  // leaves room for a block or an escape
    std::size_t size = 0;
    auto make_room = [&] {
        if (size <= full) return;
        out.append(buffer, size);
        size = 0;
    };
    auto escape = [&](char c) { size = static_cast<std::size_t>(write_escape(buffer + size, c) - buffer); };
    while (static_cast<std::size_t>(end - at) >= block_size) {
        make_room();
        const Block block = load_block(at);
        store_block(buffer + size, block);
        const auto marks = block_marks(block);
        const std::size_t plain = marks ? first_block_mark(marks) : block_size;
        size += plain;
        at += plain;
        if (marks) escape(*at++);
    }
    for (; at < end; ++at) {
        make_room();
        if (needs_escape(*at))
            escape(*at);
        else
            buffer[size++] = *at;
    }
    out.append(buffer, size);
}

// The contents of a string, escaped, without its quotes. Most texts need no escape, and the
// plain prefix of any text goes to the string in one append.
void write_escaped(std::string& out, std::string_view s) {
    const std::size_t plain = plain_prefix(s);
    out.append(s.data(), plain);
    if (plain < s.size()) write_escaped_rest(out, s.data() + plain, s.data() + s.size());
}

// Writes a double in the writer's form at `at` (room for 32 bytes) and returns the end.
char* write_double(char* at, double value) {
    if (!std::isfinite(value)) return std::copy_n("null", 4, at);
    // Shortest round-trip digits in scientific form ("1.5e-07"), then laid out as the Rust
    // writers do: positional with ".0" when the decimal point falls within 16 digits,
    // exponent form "1e16" / "1.5e-7" otherwise.
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        *at++ = '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.rfind('e');  // the exponent is at most five bytes from the end
    char digits[20];
    std::size_t length = 0;
    for (std::size_t i = 0; i < e_pos; ++i) {
        if (sci[i] != '.') digits[length++] = sci[i];
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                    exponent);
    if (length == 1 && digits[0] == '0') return std::copy_n("0.0", 3, at);
    const int kk = exponent + 1;  // position of the decimal point after the first digit
    const int len = static_cast<int>(length);
    if (len <= kk && kk <= 16) {
        at = std::copy_n(digits, length, at);
        at = std::fill_n(at, kk - len, '0');
        return std::copy_n(".0", 2, at);
    }
    if (0 < kk && kk <= 16) {
        at = std::copy_n(digits, kk, at);
        *at++ = '.';
        return std::copy_n(digits + kk, len - kk, at);
    }
    if (-5 < kk && kk <= 0) {
        at = std::copy_n("0.", 2, at);
        at = std::fill_n(at, -kk, '0');
        return std::copy_n(digits, length, at);
    }
    *at++ = digits[0];
    if (length > 1) {
        *at++ = '.';
        at = std::copy_n(digits + 1, length - 1, at);
    }
    *at++ = 'e';
    return std::to_chars(at, at + 5, kk - 1).ptr;
}

}  // namespace

namespace detail {

// A run of tokens composed on the stack and appended to the text at once: most keys and
// values are a few bytes long, and each append to a string costs more than their bytes. A text
// that is long or needs escaping does not fit; the caller then writes it in several appends.
class TokenRun {
public:
    // Room for a short key and a short text with their quotes and punctuation (a whole member),
    // and after any text put, room for a colon and a scalar.
    static constexpr std::size_t room = 192;
    static constexpr std::size_t scalar_room = 32;

    void put(char c) { bytes_[size_++] = c; }

    // s in quotes, when it fits and needs no escaping; tells whether it was put.
    bool put_quoted(std::string_view s) {
        if (size_ + s.size() + 3 + scalar_room > room) return false;
        if (!copy_plain(bytes_ + size_ + 1, s.data(), s.size())) return false;
        bytes_[size_] = '"';
        size_ += s.size() + 2;
        bytes_[size_ - 1] = '"';
        return true;
    }

    void put_scalar(bool flag) { flag ? put_literal("true") : put_literal("false"); }
    void put_scalar(std::nullptr_t) { put_literal("null"); }
    void put_scalar(std::int64_t number) { put_integer(number); }
    void put_scalar(std::uint64_t number) { put_integer(number); }
    void put_scalar(double number) { size_ = static_cast<std::size_t>(write_double(bytes_ + size_, number) - bytes_); }

    void append_to(std::string& out) const { out.append(bytes_, size_); }
    void clear() { size_ = 0; }

private:
    template <std::size_t N>
    void put_literal(const char (&text)[N]) {
        std::memcpy(bytes_ + size_, text, N - 1);
        size_ += N - 1;
    }

    template <class T>
    void put_integer(T number) {
        size_ = static_cast<std::size_t>(std::to_chars(bytes_ + size_, bytes_ + room, number).ptr - bytes_);
    }

    char bytes_[room];
    std::size_t size_ = 0;
};

}  // namespace detail

namespace {

using detail::TokenRun;

// A text too long for a run of tokens or one that needs escaping, written after what p holds. Kept out
// of line so that the short path below is small enough to sit inside every caller.
[[gnu::noinline]] void write_quoted_apart(std::string& out, TokenRun& p, std::string_view s) {
    p.append_to(out);
    p.clear();
    out.push_back('"');
    write_escaped(out, s);
    out.push_back('"');
}

// s quoted and escaped after what p holds; p's bytes come first either way. Inlined by force: a
// call per key and value costs as much as the copy of a short text.
[[gnu::always_inline]] inline void write_quoted(std::string& out, TokenRun& p, std::string_view s) {
    if (!p.put_quoted(s)) write_quoted_apart(out, p, s);
}

void append_leaf(std::string& out, std::string_view text) {
    TokenRun p;
    write_quoted(out, p, text);
    p.append_to(out);
}

template <class T>
void append_leaf(std::string& out, T scalar) {
    TokenRun p;
    p.put_scalar(scalar);
    p.append_to(out);
}

// Calls write with a text or scalar value in the type the writers take it as (a view, bool,
// nullptr, an integer kind or double) and tells whether it did: an array or an object is none.
template <class Write>
bool visit_leaf(const boost::json::value& value, Write write) {
    switch (value.kind()) {
        case boost::json::kind::null: write(nullptr); return true;
        case boost::json::kind::bool_: write(value.get_bool()); return true;
        case boost::json::kind::int64: write(value.get_int64()); return true;
        case boost::json::kind::uint64: write(value.get_uint64()); return true;
        case boost::json::kind::double_: write(value.get_double()); return true;
        case boost::json::kind::string: write(std::string_view(value.get_string())); return true;
        case boost::json::kind::array:
        case boost::json::kind::object: return false;
    }
    return false;
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
    if (visit_leaf(value, [&](auto leaf) { append_leaf(out, leaf); })) return;
    if (value.is_array())
        write_to(out, value.get_array());
    else
        write_to(out, value.get_object());
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
        TokenRun p;
        if (!first) p.put(',');
        first = false;
        write_quoted(out, p, std::string_view(member.key().data(), member.key().size()));
        p.put(':');
        p.append_to(out);
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

// Each key or scalar goes out as one run of tokens with the comma before it (and a key with its colon):
// one append per token instead of one per byte of punctuation.
TokenRun Writer::start(std::size_t bytes) {
    reserve(bytes);
    TokenRun p;
    if (need_comma_) p.put(',');
    return p;
}

void Writer::key(std::string_view key) {
    TokenRun p = start(key.size() + 3);
    write_quoted(out_, p, key);
    p.put(':');
    p.append_to(out_);
    need_comma_ = false;
}

void Writer::value(std::string_view text) {
    TokenRun p = start(text.size() + 2);
    write_quoted(out_, p, text);
    p.append_to(out_);
    need_comma_ = true;
}

void Writer::text_member(std::string_view key, std::string_view text) {
    TokenRun p = start(key.size() + text.size() + 5);
    write_quoted(out_, p, key);
    p.put(':');
    write_quoted(out_, p, text);
    p.append_to(out_);
    need_comma_ = true;
}

void Writer::value_member(std::string_view k, const boost::json::value& v) {
    if (visit_leaf(v, [&](auto leaf) { member(k, leaf); })) return;
    key(k);
    value(v);
}

void Writer::written(std::string_view json_text) {
    separate(json_text.size());
    out_.append(json_text);
    need_comma_ = true;
}

void Writer::kept(const text::SharedText& json_text) {
    if (!fragments_) {
        written(*json_text);
        return;
    }
    separate();
    fragments_->splice(json_text);
    need_comma_ = true;
}

void Writer::joined_member(std::string_view k, std::span<const std::string_view> parts) {
    std::size_t bytes = 2;
    for (std::string_view part : parts) bytes += part.size();
    key(k);
    reserve(bytes);
    out_.push_back('"');
    for (std::string_view part : parts) write_escaped(out_, part);
    out_.push_back('"');
    need_comma_ = true;
}

template <class T>
void Writer::scalar_value(T v) {
    TokenRun p = start(TokenRun::scalar_room);
    p.put_scalar(v);
    p.append_to(out_);
    need_comma_ = true;
}

template <class T>
void Writer::scalar_member(std::string_view key, T v) {
    TokenRun p = start(key.size() + 3 + TokenRun::scalar_room);
    write_quoted(out_, p, key);
    p.put(':');
    p.put_scalar(v);
    p.append_to(out_);
    need_comma_ = true;
}

template void Writer::scalar_member(std::string_view, bool);
template void Writer::scalar_member(std::string_view, std::nullptr_t);
template void Writer::scalar_member(std::string_view, std::int64_t);
template void Writer::scalar_member(std::string_view, std::uint64_t);
template void Writer::scalar_member(std::string_view, double);

void Writer::value(bool flag) { scalar_value(flag); }
void Writer::value(std::nullptr_t) { scalar_value(nullptr); }
void Writer::value(std::int64_t number) { scalar_value(number); }
void Writer::value(std::uint64_t number) { scalar_value(number); }
void Writer::value(double number) { scalar_value(number); }

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

// A tree is written straight into the text, after the comma.
template <class Tree>
void Writer::tree(const Tree& tree) {
    separate();
    write_to(out_, tree);
    need_comma_ = true;
}

void Writer::value(const boost::json::value& tree) { this->tree(tree); }
void Writer::value(const boost::json::object& tree) { this->tree(tree); }
void Writer::value(const boost::json::array& tree) { this->tree(tree); }

std::string format_double(double value) {
    std::string out;
    append_leaf(out, value);
    return out;
}

}  // namespace korvalle::json
