// The strict JSON pull reader.
//
// Messages are those of the Rust JSON parser the journal writers are checked against, so that
// a line refused there is refused here with the same words. Faults carry the offset of the
// byte where they were found; the entry point that knows the text turns it into line and column.
//
// A step returns as soon as it reports a fault (fault(), fault_type()), and a reader stopped at
// its fault (OnFault::Stop) stands at the end of its text, where every step faults again, unnoted,
// and reads nothing: so a reading that stops goes no further into its text than one that throws.
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_scan.hpp"
#include "sdk/base/record.hpp"
#include "sdk/base/result.hpp"
#include "sdk/base/text.hpp"

#include <boost/json/value_stack.hpp>

#include <charconv>
#include <cstring>
#include <limits>
#include <utility>


namespace korvalle::json {

namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kControl = "control character (\\u0000-\\u001F) found while parsing a string";

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// For a number literal the standard library refused as out of range: true when it is too
// large (an error), false when it is too small (it reads as zero). Decided by the decimal
// exponent of its first significant digit.
bool literal_overflows(std::string_view lit) {
    std::size_t i = 0;
    if (i < lit.size() && lit[i] == '-') ++i;
    std::int64_t magnitude = 0;  // decimal exponent of the first significant digit
    bool found = false;
    std::int64_t int_digits = 0;
    std::int64_t leading_fraction_zeros = 0;
    for (; i < lit.size() && is_digit(lit[i]); ++i) {
        if (found || lit[i] != '0') {
            found = true;
            ++int_digits;
        }
    }
    if (i < lit.size() && lit[i] == '.') {
        for (++i; i < lit.size() && is_digit(lit[i]); ++i) {
            if (!found) {
                if (lit[i] != '0') found = true;
                else ++leading_fraction_zeros;
            }
        }
    }
    magnitude = int_digits > 0 ? int_digits - 1 : -(leading_fraction_zeros + 1);
    std::int64_t exponent = 0;
    if (i < lit.size() && (lit[i] == 'e' || lit[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < lit.size() && (lit[i] == '+' || lit[i] == '-')) negative = lit[i++] == '-';
        for (; i < lit.size() && is_digit(lit[i]); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (lit[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

}  // namespace

Reader::Reader(std::string_view text, Utf8 utf8, OnFault on_fault)
    : text_(text), utf8_(utf8 == Utf8::Checked), on_fault_(on_fault) {}

void Reader::fail(std::string message, Fault::Kind kind) const { fail_at(std::move(message), pos_, kind); }

void Reader::fail_at(std::string message, std::size_t offset, Fault::Kind kind) const {
    throw ReadingFailed(Fault{.kind = kind, .detail = std::move(message), .place = std::nullopt}, offset);
}

void Reader::stop() {
    failed_ = true;
    pos_ = text_.size();
}

void Reader::fault_type(std::string_view expected) {
    if (on_fault_ == OnFault::Stop) return stop();
    fail_invalid_type(expected);
}

[[gnu::always_inline]] inline void Reader::skip_ws() {
    // Most values follow their separator directly.
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) > ' ') return;
    while (pos_ < text_.size() && is_ws(text_[pos_])) ++pos_;
}

Token Reader::peek() {
    skip_ws();
    if (pos_ >= text_.size()) return Token::End;
    switch (text_[pos_]) {
        case 'n': return Token::Null;
        case 't': return Token::True;
        case 'f': return Token::False;
        case '"': return Token::String;
        case '[': return Token::Array;
        case '{': return Token::Object;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return Token::Number;
        default: return Token::Invalid;
    }
}

void Reader::expect_literal(const char* rest, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (pos_ >= text_.size()) return fault(kEofValue);
        if (text_[pos_] != rest[i]) return fault("expected ident");
        ++pos_;
    }
}

std::string Reader::unexpected() {
    switch (peek()) {
        case Token::End: fail(kEofValue);
        case Token::Invalid: fail("expected value");
        case Token::Null: ++pos_; expect_literal("ull", 3); return "null";
        case Token::True: ++pos_; expect_literal("rue", 3); return text::unexpected_bool(true);
        case Token::False: ++pos_; expect_literal("alse", 4); return text::unexpected_bool(false);
        case Token::Number: {
            Number n = scan_number();
            switch (n.kind) {
                case Number::Kind::U64: return text::unexpected_unsigned(n.u);
                case Number::Kind::I64: return text::unexpected_signed(n.i);
                case Number::Kind::F64: return text::unexpected_float(n.d);
            }
            return {};
        }
        case Token::String: return text::unexpected_string(scan_string());
        case Token::Array: return "sequence";
        case Token::Object: return "map";
    }
    return {};
}

void Reader::fail_invalid_type(std::string_view expected) {
    std::size_t start = (skip_ws(), pos_);
    std::string found = unexpected();
    // A scalar is reported at its last byte, a container at its opening bracket.
    std::size_t at = pos_ > start ? pos_ - 1 : pos_;
    fail_at(record::invalid_type(found, expected), at, Fault::Kind::Data);
}

void Reader::read_null() {
    if (peek() != Token::Null) return fault_type("unit");
    ++pos_;
    expect_literal("ull", 3);
    need_comma_ = true;
}

bool Reader::read_bool() {
    const Token t = peek();
    if (t == Token::True) {
        ++pos_;
        expect_literal("rue", 3);
    } else if (t == Token::False) {
        ++pos_;
        expect_literal("alse", 4);
    } else {
        fault_type("a boolean");
        return false;
    }
    need_comma_ = true;
    return t == Token::True;
}

Number Reader::read_number() {
    if (peek() != Token::Number) {
        fault_type("a number");
        return {};
    }
    Number n = scan_number();
    need_comma_ = true;
    return n;
}

std::string_view Reader::read_string_view() {
    if (peek() != Token::String) {
        fault_type("a string");
        return {};
    }
    std::string_view s = scan_string();
    need_comma_ = true;
    return s;
}

std::string Reader::read_string() { return std::string(read_string_view()); }

Number Reader::scan_number() {
    const std::size_t n = text_.size();
    const std::size_t start = pos_;
    bool negative = false;
    if (text_[pos_] == '-') {
        negative = true;
        ++pos_;
    }
    if (pos_ >= n) {
        fault(kEofValue);
        return {};
    }
    std::uint64_t mantissa = 0;
    bool too_long = false;  // more digits than a u64 holds: the number is a double
    char c = text_[pos_];
    if (c == '0') {
        ++pos_;
        if (pos_ < n && is_digit(text_[pos_])) {
            fault("invalid number");
            return {};
        }
    } else if (c >= '1' && c <= '9') {
        constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
        while (pos_ < n && is_digit(text_[pos_])) {
            auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (!too_long && mantissa <= (limit - digit) / 10) mantissa = mantissa * 10 + digit;
            else too_long = true;
            ++pos_;
        }
    } else {
        fault("invalid number");
        return {};
    }
    const bool is_float = (pos_ < n && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'));
    if (is_float && !scan_fraction_and_exponent()) return {};
    Number out{Number::Kind::F64};
    if (!is_float && !too_long) {
        if (!negative) {
            out.kind = Number::Kind::U64;
            out.u = mantissa;
            return out;
        }
        // "-0" and negatives below i64's range are doubles.
        if (mantissa != 0 && mantissa <= (std::uint64_t{1} << 63)) {
            out.kind = Number::Kind::I64;
            out.i = static_cast<std::int64_t>(~mantissa + 1);
            return out;
        }
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    auto result = std::from_chars(first, last, out.d);
    if (result.ec == std::errc::result_out_of_range) {
        if (literal_overflows(std::string_view(first, static_cast<std::size_t>(last - first)))) {
            fault_at("number out of range", start);
            return {};
        }
        out.d = negative ? -0.0 : 0.0;
    } else if (result.ec != std::errc() || result.ptr != last) {
        fault_at("invalid number", start);
        return {};
    }
    return out;
}

// Reads the string whose opening quote is at pos_. The view points into the text when the
// string holds no escape, else into scratch_.
std::string_view Reader::scan_string() {
    const char* p = text_.data();
    const std::size_t n = text_.size();
    ++pos_;
    const std::size_t start = pos_;
    bool escaped = false;
    for (;;) {
        pos_ = scan::find_special(p, pos_, n, utf8_);
        if (pos_ >= n) {
            fault(kEofString);
            return {};
        }
        auto c = static_cast<unsigned char>(p[pos_]);
        if (c == '"') break;
        if (c == '\\') {
            escaped = true;
            break;
        }
        if (!plain_character(c)) return {};
    }
    if (!escaped) {
        std::string_view s(p + start, pos_ - start);
        ++pos_;
        return s;
    }
    scratch_.assign(p + start, pos_ - start);
    for (;;) {
        if (!unescape()) return {};
        for (;;) {
            std::size_t run = pos_;
            pos_ = scan::find_special(p, pos_, n, utf8_);
            scratch_.append(p + run, pos_ - run);
            if (pos_ >= n) {
                fault(kEofString);
                return {};
            }
            auto c = static_cast<unsigned char>(p[pos_]);
            if (c == '"') {
                ++pos_;
                return scratch_;
            }
            if (c == '\\') break;
            const std::size_t at = pos_;
            if (!plain_character(c)) return {};
            scratch_.append(p + at, pos_ - at);
        }
    }
}

// The escape at pos_ (its backslash) appended to scratch_ as the character it stands for.
bool Reader::unescape() {
    const char* p = text_.data();
    const std::size_t n = text_.size();
    ++pos_;
    if (pos_ >= n) {
        fault(kEofString);
        return false;
    }
    std::uint32_t cp = 0;
    switch (p[pos_++]) {
        case '"': scratch_.push_back('"'); return true;
        case '\\': scratch_.push_back('\\'); return true;
        case '/': scratch_.push_back('/'); return true;
        case 'b': scratch_.push_back('\b'); return true;
        case 'f': scratch_.push_back('\f'); return true;
        case 'n': scratch_.push_back('\n'); return true;
        case 'r': scratch_.push_back('\r'); return true;
        case 't': scratch_.push_back('\t'); return true;
        case 'u': break;
        default:
            --pos_;
            fault("invalid escape");
            return false;
    }
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
        fault("lone leading surrogate in hex escape");
        return false;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A leading surrogate must be followed by an escaped trailing one.
        for (const char mark : {'\\', 'u'}) {
            if (pos_ >= n) {
                fault(kEofString);
                return false;
            }
            if (p[pos_] != mark) {
                fault("unexpected end of hex escape");
                return false;
            }
            ++pos_;
        }
        std::uint32_t low = 0;
        if (!hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) {
            fault("lone leading surrogate in hex escape");
            return false;
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(scratch_, cp);
    return true;
}

// The four hex digits of a \u escape at pos_.
bool Reader::hex4(std::uint32_t& value) {
    const std::size_t n = text_.size();
    if (n - pos_ < 4) {
        pos_ = n;
        fault(kEofString);
        return false;
    }
    value = 0;
    for (int k = 0; k < 4; ++k, ++pos_) {
        const int h = hex_value(text_[pos_]);
        if (h < 0) {
            fault("invalid escape");
            return false;
        }
        value = value * 16 + static_cast<std::uint32_t>(h);
    }
    return true;
}

// Steps over one byte of a string that neither ends it nor escapes: a control fails, and a
// byte beyond ASCII must start a whole UTF-8 sequence, stepped over with it.
bool Reader::plain_character(unsigned char c) {
    if (c < 0x20) {
        fault(kControl);
        return false;
    }
    const std::size_t len = text::utf8_sequence_length(text_, pos_);
    if (len == 0) {
        fault("invalid unicode code point");
        return false;
    }
    pos_ += len;
    return true;
}

// Checks a string without keeping it. Like the parser it mirrors, a skipped string's \u
// escapes are only checked for four hex digits: surrogates matter only for kept text.
void Reader::skip_string() {
    const char* p = text_.data();
    const std::size_t n = text_.size();
    ++pos_;
    for (;;) {
        pos_ = scan::find_special(p, pos_, n, utf8_);
        if (pos_ >= n) return fault(kEofString);
        auto c = static_cast<unsigned char>(p[pos_]);
        if (c == '"') {
            ++pos_;
            return;
        }
        if (c == '\\') {
            ++pos_;
            if (pos_ >= n) return fault(kEofString);
            char e = p[pos_++];
            if (e == 'u') {
                std::uint32_t unused = 0;
                if (!hex4(unused)) return;
            } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
                --pos_;
                return fault("invalid escape");
            }
            continue;
        }
        if (!plain_character(c)) return;
    }
}

// Checks a number's grammar without converting it: a skipped 1e400 is well-formed JSON.
void Reader::skip_number() {
    const std::size_t n = text_.size();
    if (text_[pos_] == '-') ++pos_;
    if (pos_ >= n) return fault(kEofValue);
    if (text_[pos_] == '0') {
        ++pos_;
        if (pos_ < n && is_digit(text_[pos_])) return fault("invalid number");
    } else if (is_digit(text_[pos_])) {
        while (pos_ < n && is_digit(text_[pos_])) ++pos_;
    } else {
        return fault("invalid number");
    }
    scan_fraction_and_exponent();
}

bool Reader::scan_fraction_and_exponent() {
    const std::size_t n = text_.size();
    // Each part, when it comes, needs a digit after its mark (and the exponent's sign).
    const auto digits_after = [&] {
        if (pos_ >= n) {
            fault(kEofValue);
            return false;
        }
        if (!is_digit(text_[pos_])) {
            fault("invalid number");
            return false;
        }
        while (pos_ < n && is_digit(text_[pos_])) ++pos_;
        return true;
    };
    if (pos_ < n && text_[pos_] == '.') {
        ++pos_;
        if (!digits_after()) return false;
    }
    if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        if (!digits_after()) return false;
    }
    return true;
}

void Reader::expect_colon() {
    skip_ws();
    if (pos_ >= text_.size()) return fault(kEofObject);
    if (text_[pos_] != ':') return fault("expected `:`");
    ++pos_;
}

void Reader::colon() { expect_colon(); }

bool Reader::consume(char c) {
    skip_ws();
    if (pos_ < text_.size() && text_[pos_] == c) {
        ++pos_;
        return true;
    }
    return false;
}

void Reader::begin_object() {
    if (peek() != Token::Object) return fault_type("a map");
    ++pos_;
    need_comma_ = false;
}

std::optional<std::string_view> Reader::next_key_view() {
    skip_ws();
    if (pos_ >= text_.size()) {
        fault(kEofObject);
        return std::nullopt;
    }
    char c = text_[pos_];
    if (c == '}') {
        ++pos_;
        need_comma_ = true;
        return std::nullopt;
    }
    if (need_comma_) {
        if (c != ',') {
            fault("expected `,` or `}`");
            return std::nullopt;
        }
        ++pos_;
        skip_ws();
        if (pos_ >= text_.size()) {
            fault(kEofValue);
            return std::nullopt;
        }
        c = text_[pos_];
        if (c == '}') {
            fault("trailing comma");
            return std::nullopt;
        }
    }
    if (c != '"') {
        fault("key must be a string");
        return std::nullopt;
    }
    std::string_view key = scan_string();
    expect_colon();
    need_comma_ = false;
    return key;
}

std::optional<std::string> Reader::next_key() {
    auto key = next_key_view();
    if (!key) return std::nullopt;
    return std::string(*key);
}

void Reader::begin_array() {
    if (peek() != Token::Array) return fault_type("a sequence");
    ++pos_;
    need_comma_ = false;
}

bool Reader::next_element() {
    skip_ws();
    if (pos_ >= text_.size()) {
        fault(kEofList);
        return false;
    }
    char c = text_[pos_];
    if (c == ']') {
        ++pos_;
        need_comma_ = true;
        return false;
    }
    if (need_comma_) {
        if (c != ',') {
            fault("expected `,` or `]`");
            return false;
        }
        ++pos_;
        skip_ws();
        if (pos_ >= text_.size()) {
            fault(kEofValue);
            return false;
        }
        if (text_[pos_] == ']') {
            fault("trailing comma");
            return false;
        }
    }
    need_comma_ = false;
    return true;
}

void Reader::end_array() {
    skip_ws();
    if (pos_ >= text_.size()) return fault(kEofList);
    char c = text_[pos_];
    if (c == ']') {
        ++pos_;
        need_comma_ = true;
        return;
    }
    if (c == ',') {
        ++pos_;
        skip_ws();
        if (pos_ < text_.size() && text_[pos_] == ']') return fault("trailing comma");
    }
    fault("trailing characters");
}

namespace {

struct Frame {
    std::size_t count;  // members or elements completed so far
    bool object;
};

// Non-negative integers that fit are stored as int64, as boost::json::parse stores them.
void push_number(boost::json::value_stack& st, const Number& n) {
    if (n.kind == Number::Kind::U64) {
        if (n.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            st.push_int64(static_cast<std::int64_t>(n.u));
        } else {
            st.push_uint64(n.u);
        }
    } else if (n.kind == Number::Kind::I64) {
        st.push_int64(n.i);
    } else {
        st.push_double(n.d);
    }
}

}  // namespace

template <Reader::Walk mode>
void Reader::walk(boost::json::value_stack* st, int depth, int max_depth) {
    // Open containers live on this explicit stack, never on the call stack, so no document
    // can overflow it. Reused across calls on this thread: the walks never nest, and a stack
    // grown by a freak document is released afterwards.
    thread_local std::vector<Frame> frames;
    frames.clear();
    struct Release {
        ~Release() {
            if (frames.capacity() > 1024) std::vector<Frame>().swap(frames);
        }
    } release;
    auto open_container = [&](bool object) {
        if constexpr (mode != Walk::Skip) {
            if (depth + static_cast<int>(frames.size()) > max_depth) return fault("recursion limit exceeded");
        }
        ++pos_;
        frames.push_back({0, object});
    };
    auto close_container = [&](bool object, std::size_t count) {
        if constexpr (mode == Walk::Build) {
            if (object) st->push_object(count);
            else st->push_array(count);
        }
    };
    // A member's key and its colon; the reader stands where the key should start.
    auto key = [&] {
        if (text_[pos_] != '"') return fault("key must be a string");
        if constexpr (mode == Walk::Build) st->push_key(scan_string());
        else if constexpr (mode == Walk::Check) scan_string();
        else skip_string();
        expect_colon();
    };
    for (;;) {
        bool completed = true;
        const Token token = peek();
        switch (token) {
            case Token::End: return fault(kEofValue);
            case Token::Invalid: return fault("expected value");
            case Token::Null:
                ++pos_;
                expect_literal("ull", 3);
                if constexpr (mode == Walk::Build) st->push_null();
                break;
            case Token::True:
                ++pos_;
                expect_literal("rue", 3);
                if constexpr (mode == Walk::Build) st->push_bool(true);
                break;
            case Token::False:
                ++pos_;
                expect_literal("alse", 4);
                if constexpr (mode == Walk::Build) st->push_bool(false);
                break;
            case Token::Number:
                if constexpr (mode == Walk::Build) push_number(*st, scan_number());
                else if constexpr (mode == Walk::Check) scan_number();
                else skip_number();
                break;
            case Token::String:
                if constexpr (mode == Walk::Build) st->push_string(scan_string());
                else if constexpr (mode == Walk::Check) scan_string();
                else skip_string();
                break;
            case Token::Object:
            case Token::Array: {
                const bool object = token == Token::Object;
                open_container(object);
                skip_ws();
                if (pos_ >= text_.size()) return fault(object ? kEofObject : kEofList);
                if (text_[pos_] == (object ? '}' : ']')) {
                    ++pos_;
                    frames.pop_back();
                    close_container(object, 0);
                    break;
                }
                if (object) key();
                completed = false;
                break;
            }
        }
        // After a completed value: close containers until one wants a further value.
        while (completed) {
            if (frames.empty()) {
                need_comma_ = true;
                return;
            }
            Frame& top = frames.back();
            ++top.count;
            skip_ws();
            if (pos_ >= text_.size()) return fault(top.object ? kEofObject : kEofList);
            char c = text_[pos_];
            if (c == (top.object ? '}' : ']')) {
                ++pos_;
                const Frame closed = top;
                frames.pop_back();
                close_container(closed.object, closed.count);
                continue;
            }
            if (c != ',') return fault(top.object ? "expected `,` or `}`" : "expected `,` or `]`");
            ++pos_;
            skip_ws();
            if (pos_ >= text_.size()) return fault(kEofValue);
            c = text_[pos_];
            if (top.object) {
                if (c == '}') return fault("trailing comma");
                key();
            } else if (c == ']') {
                return fault("trailing comma");
            }
            completed = false;
        }
    }
}

void Reader::skip_value() { walk<Walk::Skip>(nullptr, 0, 0); }

void Reader::check_value(int depth, int max_depth) { walk<Walk::Check>(nullptr, depth, max_depth); }

boost::json::value Reader::read_value(int depth, int max_depth) {
    // Built like boost::json::parse builds its trees: on a value stack whose object pushes keep
    // a repeated key at its first place with its last value.
    unsigned char temp[4096];
    boost::json::value_stack st(boost::json::storage_ptr(), temp, sizeof temp);
    st.reset(storage_);
    walk<Walk::Build>(&st, depth, max_depth);
    // A reading that stopped left its values unfinished.
    if (failed_) return nullptr;
    return st.release();
}

void Reader::finish() {
    skip_ws();
    if (pos_ < text_.size()) fault("trailing characters");
}

bool valid(std::string_view text, int max_depth) {
    Reader reader(text, Utf8::Unchecked, OnFault::Stop);
    reader.check_value(1, max_depth);
    reader.finish();
    return !reader.failed();
}

Result<boost::json::value> parse(std::string_view text, int max_depth) {
    Reader reader(text);
    try {
        boost::json::value value = reader.read_value(1, max_depth);
        reader.finish();
        return value;
    } catch (const ReadingFailed& failure) {
        return fault_in(failure, text);
    }
}

}  // namespace korvalle::json
