#include "sdk/plan/detail/record_yaml.hpp"

#include "sdk/base/text.hpp"

#include <cstdlib>
#include <limits>

namespace korvalle::plan {

namespace {

using record::fail;
using record::find_word;
using record::invalid_type;
using record::invalid_value;
using record::RecordName;
using record::Shape;
using record::unknown_variant;
using record::Words;

using yaml::Event;
using Type = yaml::Event::Type;
using u128 = unsigned __int128;

constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";
constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";

// Alias expansion may read at most this many times the document's own size (events plus
// scalar bytes); past it a reading fails instead of amplifying a small file without bound.
constexpr std::uint64_t kRepetitionFactor = 100;

bool is_null_word(std::string_view v) { return v.empty() || v == "~" || v == "null" || v == "Null" || v == "NULL"; }

std::optional<bool> bool_word(std::string_view v) {
    if (v == "true" || v == "True" || v == "TRUE") return true;
    if (v == "false" || v == "False" || v == "FALSE") return false;
    return std::nullopt;
}

// "007", "-00": digits with a leading zero, which YAML reads as neither integer nor float.
bool digits_but_not_number(std::string_view v) {
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) v.remove_prefix(1);
    if (v.size() <= 1 || v[0] != '0') return false;
    for (char c : v.substr(1)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

// Unsigned digits in a radix, no sign; nullopt when empty, not digits or beyond 128 bits.
std::optional<u128> from_radix(std::string_view digits, unsigned radix) {
    if (digits.empty()) return std::nullopt;
    u128 value = 0;
    const u128 max = ~u128{0};
    for (char c : digits) {
        int d = digit_value(c);
        if (d >= static_cast<int>(radix)) return std::nullopt;
        if (value > (max - static_cast<unsigned>(d)) / radix) return std::nullopt;
        value = value * radix + static_cast<unsigned>(d);
    }
    return value;
}

constexpr std::pair<std::string_view, unsigned> kRadixPrefixes[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};

std::optional<u128> parse_unsigned(std::string_view scalar) {
    std::string_view v = scalar;
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    for (auto [prefix, radix] : kRadixPrefixes) {
        if (!v.starts_with(prefix)) continue;
        std::string_view rest = v.substr(2);
        if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) return std::nullopt;
        if (auto n = from_radix(rest, radix)) return n;
    }
    if (!v.empty() && (v[0] == '+' || v[0] == '-')) return std::nullopt;
    if (digits_but_not_number(scalar)) return std::nullopt;
    return from_radix(v, 10);
}

// The magnitude of a negative integer ("-5", "-0x1f"); nullopt for anything else.
std::optional<u128> parse_negative(std::string_view scalar) {
    for (auto [prefix, radix] : kRadixPrefixes) {
        std::string neg = "-" + std::string(prefix);
        if (scalar.starts_with(neg)) {
            if (auto n = from_radix(scalar.substr(3), radix)) return n;
        }
    }
    if (digits_but_not_number(scalar)) return std::nullopt;
    if (scalar.empty() || scalar[0] != '-') return std::nullopt;
    return from_radix(scalar.substr(1), 10);
}

std::string u128_text(u128 v) {
    if (v == 0) return "0";
    std::string out;
    while (v > 0) {
        out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return out;
}

// {found} for an integer scalar, or nullopt when the scalar is none.
std::optional<std::string> describe_int(std::string_view v) {
    const u128 u64max = std::numeric_limits<std::uint64_t>::max();
    if (auto n = parse_unsigned(v)) {
        if (*n <= u64max) return text::unexpected_unsigned(static_cast<std::uint64_t>(*n));
        return "integer `" + u128_text(*n) + "` as u128";
    }
    if (auto m = parse_negative(v)) {
        const u128 i64min = u128{1} << 63;
        const u128 i128min = u128{1} << 127;
        if (*m <= i64min) return "integer `" + std::string(*m == 0 ? "" : "-") + u128_text(*m) + "`";
        if (*m <= i128min) return "integer `-" + u128_text(*m) + "` as i128";
    }
    return std::nullopt;
}

// The float grammar of the pipeline tooling (sign, digits with an optional fraction, or a
// fraction alone, then an optional exponent) plus YAML's .inf and .nan words; only finite
// numbers and those words.
std::optional<double> parse_f64(std::string_view scalar) {
    std::string_view unpositive = scalar;
    if (!scalar.empty() && scalar[0] == '+') {
        unpositive.remove_prefix(1);
        if (!unpositive.empty() && (unpositive[0] == '+' || unpositive[0] == '-')) return std::nullopt;
    }
    if (unpositive == ".inf" || unpositive == ".Inf" || unpositive == ".INF") return std::numeric_limits<double>::infinity();
    if (scalar == "-.inf" || scalar == "-.Inf" || scalar == "-.INF") return -std::numeric_limits<double>::infinity();
    if (scalar == ".nan" || scalar == ".NaN" || scalar == ".NAN") return std::numeric_limits<double>::quiet_NaN();
    std::string_view v = unpositive;
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t start = i;
        while (i < v.size() && v[i] >= '0' && v[i] <= '9') ++i;
        return i - start;
    };
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
    std::size_t whole = digits();
    std::size_t fraction = 0;
    if (i < v.size() && v[i] == '.') {
        ++i;
        fraction = digits();
    }
    if (whole == 0 && fraction == 0) return std::nullopt;
    if (i < v.size() && (v[i] == 'e' || v[i] == 'E')) {
        ++i;
        if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
        if (digits() == 0) return std::nullopt;
    }
    if (i != v.size()) return std::nullopt;
    std::string copy(v);
    double d = std::strtod(copy.c_str(), nullptr);
    if (d == std::numeric_limits<double>::infinity() || d == -std::numeric_limits<double>::infinity()) {
        return std::nullopt;
    }
    return d;
}

std::string describe_untagged(std::string_view v) {
    if (is_null_word(v)) return "unit value";
    if (auto b = bool_word(v)) return text::unexpected_bool(*b);
    if (auto i = describe_int(v)) return *i;
    if (!digits_but_not_number(v)) {
        if (auto d = parse_f64(v)) return text::unexpected_float_positional(*d);
    }
    return text::unexpected_string(v);
}

// Ends the reading with message about the value at path, placed at mark unless the mark is
// where an empty stream puts its marks (see yaml::mark_suffix).
[[noreturn]] void fail_located(const std::string& path, const std::string& message, yaml::Mark mark) {
    Fault fault{.kind = Fault::Kind::Data, .detail = (path.empty() ? std::string() : path + ": ") + message,
                .place = std::nullopt};
    if (mark.line != 0 || mark.column != 0) {
        fault.place = TextPlace{std::size_t{mark.line} + 1, std::size_t{mark.column} + 1};
    }
    throw ReadingFailed(std::move(fault));
}

// {found} for a scalar as the YAML layer resolves it: "unit value", "boolean `true`",
// "integer `5`", "floating point `1.5`" or a string. Quoted and block scalars are strings.
std::string describe_scalar(std::string_view value, bool plain, std::optional<std::string_view> tag) {
    if (!tag) return plain ? describe_untagged(value) : text::unexpected_string(value);
    if (*tag == kNullTag && is_null_word(value)) return "unit value";
    if (*tag == kBoolTag) {
        if (auto b = bool_word(value)) return text::unexpected_bool(*b);
    }
    if (*tag == kIntTag) {
        if (auto i = describe_int(value)) return *i;
    }
    if (*tag == kFloatTag) {
        if (auto d = parse_f64(value)) return text::unexpected_float_positional(*d);
    }
    if (!tag->empty() && (*tag)[0] == '!' && plain) return describe_untagged(value);
    return text::unexpected_string(value);
}

// An unquoted unsigned integer that fits 64 bits.
std::optional<std::uint64_t> parse_yaml_u64(std::string_view scalar) {
    auto n = parse_unsigned(scalar);
    if (!n || *n > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    return static_cast<std::uint64_t>(*n);
}

}  // namespace

YamlCursor::YamlCursor(const yaml::Document& doc)
    : doc_(doc), budget_(kRepetitionFactor * (doc.events.size() + doc.strings.size())) {}

void YamlCursor::spend(std::uint64_t cost) {
    spent_ += cost;
    if (spent_ > budget_) fail("repetition limit exceeded");
}

// The event of the current value; an alias is followed to its anchored node, whose events are
// then read in place of the alias.
const Event& YamlCursor::peek() {
    for (;;) {
        if (pos_ >= doc_.events.size()) {
            throw ReadingFailed(Fault{.kind = Fault::Kind::Syntax,
                                      .detail = doc_.error ? *doc_.error : "EOF while parsing a value",
                                      .place = std::nullopt});
        }
        const Event& event = doc_.events[pos_];
        if (event.type != Type::Alias) return event;
        spend(1);
        jumps_.push_back(Jump{static_cast<std::uint32_t>(pos_ + 1), doc_.events[event.link].link});
        pos_ = event.link;
    }
}

void YamlCursor::advance() {
    const Event& event = doc_.events[pos_];
    spend(1 + (event.type == Type::Scalar ? event.value_size : 0));
    ++pos_;
    while (!jumps_.empty() && pos_ == jumps_.back().until) {
        pos_ = jumps_.back().resume;
        jumps_.pop_back();
    }
}

bool YamlCursor::empty_node(const Event& event) const {
    return event.type == Type::Void || (event.type == Type::Scalar && event.plain && event.value_size == 0);
}

void YamlCursor::fail_value(std::string message) {
    yaml::Mark mark = pos_ < doc_.events.size() ? doc_.events[pos_].mark : yaml::Mark{};
    fail_located(path_, message, mark);
}

void YamlCursor::fail_type(std::string_view expected) {
    const Event& event = peek();
    std::string found;
    switch (event.type) {
        case Type::SequenceStart: found = "sequence"; break;
        case Type::MappingStart: found = "map"; break;
        case Type::Scalar:
            found = describe_scalar(doc_.value(event), event.plain,
                                    event.tagged ? std::optional(doc_.tag(event)) : std::nullopt);
            break;
        default: fail_value("EOF while parsing a value");
    }
    fail_value(invalid_type(found, expected));
}

void YamlCursor::fail_key(std::string message) const {
    const Frame& frame = frames_.back();
    fail_located(frame.path, message, frame.key_mark);
}

void YamlCursor::fail_at(const Record& record, std::string message) const {
    fail_located(record.path, message, record.mark);
}

YamlCursor::Record YamlCursor::begin_record(const RecordName& name) {
    const Event& event = peek();
    bool empty = empty_node(event);
    if (event.type != Type::MappingStart && !empty) fail_type(name.name);
    Record record{Shape::Keyed, path_, event.mark};
    frames_.push_back(Frame{path_, empty, 0, {}});
    advance();
    return record;
}

std::optional<std::string> YamlCursor::next_key() {
    Frame& frame = frames_.back();
    if (frame.empty) {
        frames_.pop_back();
        return std::nullopt;
    }
    const Event& event = peek();
    frame.key_mark = event.mark;
    if (event.type == Type::MappingEnd) {
        advance();
        frames_.pop_back();
        return std::nullopt;
    }
    if (event.type != Type::Scalar) {
        fail_key(invalid_type(event.type == Type::SequenceStart ? "sequence" : "map", "field identifier"));
    }
    std::string key(doc_.value(event));
    advance();
    path_ = frame.path.empty() ? key : frame.path + "." + key;
    return key;
}

bool YamlCursor::next_element() {
    Frame& frame = frames_.back();
    if (frame.empty) {
        frames_.pop_back();
        return false;
    }
    const Event& event = peek();
    if (event.type == Type::SequenceEnd) {
        advance();
        frames_.pop_back();
        return false;
    }
    path_ = frame.path + "[" + std::to_string(frame.index++) + "]";
    return true;
}

bool YamlCursor::take_null() {
    const Event& event = peek();
    if (event.type == Type::Void) {
        advance();
        return true;
    }
    if (event.type != Type::Scalar || !event.plain) return false;
    std::string_view value = doc_.value(event);
    if (event.tagged) {
        // Only the standard null tag keeps a null word null; under it any other word is wrong.
        if (doc_.tag(event) != kNullTag) return false;
        if (!is_null_word(value)) fail_value(invalid_value(text::unexpected_string(value), "null"));
    } else if (!is_null_word(value)) {
        return false;
    }
    advance();
    return true;
}

std::string_view YamlCursor::read_text() {
    const Event& event = peek();
    if (event.type != Type::Scalar) fail_type("a string");
    std::string_view value = doc_.value(event);
    advance();
    return value;
}

bool YamlCursor::read_flag() {
    const Event& event = peek();
    if (event.type == Type::Scalar && event.plain) {
        if (auto b = bool_word(doc_.value(event))) {
            advance();
            return *b;
        }
    }
    fail_type("a boolean");
}

std::uint32_t YamlCursor::read_u32() {
    const Event& event = peek();
    if (event.type == Type::Scalar && event.plain) {
        if (auto n = parse_yaml_u64(doc_.value(event))) {
            if (*n > std::numeric_limits<std::uint32_t>::max()) {
                fail_value(invalid_value(text::unexpected_unsigned(*n), "u32"));
            }
            advance();
            return static_cast<std::uint32_t>(*n);
        }
    }
    fail_type("u32");
}

void YamlCursor::begin_list() {
    const Event& event = peek();
    bool empty = empty_node(event);
    if (event.type != Type::SequenceStart && !empty) fail_type("a sequence");
    frames_.push_back(Frame{path_, empty, 0, {}});
    advance();
}

// A word is a scalar's text, or the local tag ("!human") of an empty or null node.
std::size_t YamlCursor::read_word(const Words& words) {
    const Event& event = peek();
    std::string_view tag = event.tagged ? doc_.tag(event) : std::string_view();
    bool local = !tag.empty() && tag[0] == '!';
    auto lookup = [&](std::string_view word) -> std::size_t {
        if (auto code = find_word(words.words, word)) return *code;
        fail_value(unknown_variant(word, words.words));
    };
    std::string_view tag_word = tag.size() > 1 ? tag.substr(1) : tag;
    switch (event.type) {
        case Type::Scalar: {
            std::string_view value = doc_.value(event);
            if (!local) {
                std::size_t code = lookup(value);
                advance();
                return code;
            }
            std::size_t code = lookup(tag_word);
            if (!event.plain || !is_null_word(value)) {
                fail_value(invalid_value(text::unexpected_string(value), "null"));
            }
            advance();
            return code;
        }
        case Type::SequenceStart:
        case Type::MappingStart: {
            std::string_view found = event.type == Type::MappingStart ? "map" : "sequence";
            if (!local) fail_value(invalid_type(found, "a YAML tag starting with '!'"));
            lookup(tag_word);
            fail_value(invalid_type(found, "unit"));
        }
        default: fail_value("EOF while parsing a value");
    }
}

}  // namespace korvalle::plan
