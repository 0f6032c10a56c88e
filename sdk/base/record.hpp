// What the strict record readers share: the texts a reading fails with, the description of an
// offending value, and the tables that name records, keys and enumerated words. Each text is
// composed here only, whichever reader reports it.
//
// A record can be read by one generic reader over a record cursor (JSON text here, a JSON value
// tree here, YAML events with the plan); the Cursor concept below lists what every cursor offers.
// Faults are thrown as ReadingFailed and turned into returned faults at the public entry points.
#pragma once

#include "sdk/base/json_read.hpp"
#include "sdk/base/result.hpp"

#include <boost/json/value.hpp>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalle::record {

// ---- The texts of a failed reading, as serde words them. {found} describes the offending value
// ("integer `5`", "map"), {expected} names what the reader wanted there ("a string", "u32",
// "struct Node"). ----

// "invalid type: {found}, expected {expected}", "invalid value: {found}, expected {expected}".
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
// "invalid length {length}, expected {expected}".
std::string invalid_length(std::size_t length, std::string_view expected);
// "missing field `{key}`", "duplicate field `{key}`".
std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
// "unknown field `{key}`, expected {word_list(keys)}", "unknown variant `{word}`, expected
// {word_list(words)}".
std::string unknown_field(std::string_view key, std::span<const std::string_view> keys);
std::string unknown_variant(std::string_view word, std::span<const std::string_view> words);

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string word_list(std::span<const std::string_view> words);
// "1 element", "23 elements".
std::string elements(std::size_t count);

// {found} for a JSON value tree: "null", "boolean `true`", "integer `5`", "floating point
// `1.5`", "string \"x\"", "sequence", "map". (A reader of JSON text describes the value ahead
// of it with json::Reader::unexpected, in the same words.)
std::string describe(const boost::json::value& value);

// Abandons a reading with a fault of kind Data that has no place.
[[noreturn]] void fail(std::string detail);
// Abandons a reading of a tree: "invalid type: {describe(value)}, expected {expected}".
[[noreturn]] void fail_invalid_type(const boost::json::value& value, std::string_view expected);

// ---- Unsigned integers of a width: u32 and u64. ----

template <class T>
concept Unsigned = std::same_as<T, std::uint32_t> || std::same_as<T, std::uint64_t>;

// The name of an unsigned integer type in the texts: "u32", "u64".
template <Unsigned T>
inline constexpr std::string_view unsigned_name = sizeof(T) == 4 ? "u32" : "u64";

namespace detail {
Fault not_unsigned(const json::Number& number, std::string_view expected);
Fault not_unsigned(const boost::json::value& value, std::string_view expected);
}  // namespace detail

// A number of JSON text as a T, when it is one.
template <Unsigned T>
std::optional<T> unsigned_of(const json::Number& number) {
    if (number.kind == json::Number::Kind::U64 && number.u <= std::numeric_limits<T>::max()) {
        return static_cast<T>(number.u);
    }
    return std::nullopt;
}

// A number of JSON text as a T, or the fault of one that is none: an integer out of T's range
// gives "invalid value: integer `-1`, expected u32", a floating point number "invalid type:
// floating point `1.5`, expected u32". The reader reports the fault where it stands.
template <Unsigned T>
Result<T> to_unsigned(const json::Number& number) {
    if (const std::optional<T> n = unsigned_of<T>(number)) return *n;
    return detail::not_unsigned(number, unsigned_name<T>);
}

// The same for a value of a tree, whose integers in range may be held signed; a value that is no
// number gives "invalid type: {describe(value)}, expected u32".
template <Unsigned T>
Result<T> to_unsigned(const boost::json::value& value) {
    constexpr std::uint64_t max = std::numeric_limits<T>::max();
    if (const auto* u = value.if_uint64(); u && *u <= max) return static_cast<T>(*u);
    if (const auto* i = value.if_int64(); i && *i >= 0 && static_cast<std::uint64_t>(*i) <= max) {
        return static_cast<T>(*i);
    }
    return detail::not_unsigned(value, unsigned_name<T>);
}

// ---- Records, keys and enumerated words. ----

enum class Shape { Keyed, Positional };

// The two expectation texts of a record: "struct Node" and "struct Node with 23 elements".
struct RecordName {
    std::string_view name;
    std::string_view positional;
};

// A closed list of words in declared order.
struct Words {
    std::span<const std::string_view> words;
};

template <class K>
concept OptionalKey = std::same_as<K, std::optional<std::string>> || std::same_as<K, std::optional<std::string_view>>;

// What every record cursor offers to the record readers.
template <class C>
concept Cursor = requires(C& cur, const C& ccur, const RecordName& name, const Words& words,
                          const typename C::Record& record, std::string message, std::size_t n) {
    // A keyed or positional record at the current value (the record's Shape is in .shape).
    { cur.begin_record(name) } -> std::same_as<typename C::Record>;
    // The next key of a keyed record; nullopt closes the record. A key given as a view stays
    // valid until the cursor reads on.
    { cur.next_key() } -> OptionalKey;
    // The next element of a list or positional record; false closes it.
    { cur.next_element() } -> std::same_as<bool>;
    // A positional record of n fields has read them all: no element may follow.
    cur.end_positional(n);
    // Faults at the key just read, and at a record as a whole.
    ccur.fail_key(message);
    ccur.fail_at(record, message);
    // An optional field's null: consumed, and true.
    { cur.take_null() } -> std::same_as<bool>;
    // A text, valid until the cursor reads on.
    { cur.read_text() } -> std::same_as<std::string_view>;
    { cur.read_flag() } -> std::same_as<bool>;
    { cur.read_u32() } -> std::same_as<std::uint32_t>;
    // A list at the current value; then next_element() until false.
    cur.begin_list();
    // An enumerated word's position in words.
    { cur.read_word(words) } -> std::same_as<std::size_t>;
};

// The position of word in words: exact, case-sensitive, no trimming.
std::optional<std::size_t> find_word(std::span<const std::string_view> words, std::string_view word);

// find_word for a fixed table of up to 32 distinct, non-empty words, with one hash and at most
// one comparison: keyed records look up a key of their table for every member they read. The
// hash mixes a word's length with its first and last bytes, with multipliers chosen when the
// table is built so that no two words share a slot; a table whose words cannot be told apart
// that way does not compile.
template <std::size_t N>
class WordIndex {
    static_assert(N > 0 && N <= 32, "a slot byte per word, two slots per word at least");

public:
    consteval explicit WordIndex(const std::string_view (&words)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            if (words[i].empty()) throw "an empty word has no first byte to hash";
            words_[i] = words[i];
        }
        for (std::uint32_t a = 1; a < kSlots; ++a) {
            for (std::uint32_t b = 1; b < kSlots; ++b) {
                if (place(a, b)) return;
            }
        }
        throw "no multipliers part these words";
    }

    std::optional<std::size_t> find(std::string_view word) const {
        if (word.empty()) return std::nullopt;
        const std::uint8_t slot = slots_[slot_of(word, a_, b_)];
        if (slot == 0 || !same(words_[slot - 1u], word)) return std::nullopt;
        return slot - 1u;
    }

private:
    static constexpr std::size_t kSlots = 64;

    static constexpr std::size_t slot_of(std::string_view word, std::uint32_t a, std::uint32_t b) {
        const auto first = static_cast<unsigned char>(word.front());
        const auto last = static_cast<unsigned char>(word.back());
        return (word.size() * a + first * b + last) % kSlots;
    }

    // Keys are short: compared eight bytes at a time in place, cheaper than a call to memcmp.
    static bool same(std::string_view x, std::string_view y) {
        if (x.size() != y.size()) return false;
        const char* p = x.data();
        const char* q = y.data();
        std::size_t n = x.size();
        for (; n >= 8; n -= 8, p += 8, q += 8) {
            std::uint64_t u, v;
            std::memcpy(&u, p, 8);
            std::memcpy(&v, q, 8);
            if (u != v) return false;
        }
        for (; n > 0; --n) {
            if (*p++ != *q++) return false;
        }
        return true;
    }

    // Fills the slots with these multipliers; false when two words collide.
    constexpr bool place(std::uint32_t a, std::uint32_t b) {
        slots_ = {};
        for (std::size_t i = 0; i < N; ++i) {
            std::uint8_t& slot = slots_[slot_of(words_[i], a, b)];
            if (slot != 0) return false;
            slot = static_cast<std::uint8_t>(i + 1);
        }
        a_ = a;
        b_ = b;
        return true;
    }

    std::array<std::string_view, N> words_{};
    std::array<std::uint8_t, kSlots> slots_{};  // 1 + the word's position, 0 for none
    std::uint32_t a_ = 0;
    std::uint32_t b_ = 0;
};

}  // namespace korvalle::record
