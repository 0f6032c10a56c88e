// Shared parts of the strict record readers: the fault that ends a reading, the message
// templates, and the tables that name records, keys and enumerated words.
//
// A record is read by one generic reader over a "form cursor" (YAML events, JSON text, a JSON
// value tree); the FormCursor concept below lists what every cursor offers. Faults are thrown
// (form::Fault, or json::ReadError from the JSON text cursor) and turned into returned
// messages at the public entry points.
#pragma once

#include <boost/json/value.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalle::form {

// The first fault of a reading, with its location already in the text.
class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

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

// What every form cursor offers to the record readers.
template <class C>
concept FormCursor = requires(C& cur, const C& ccur, const RecordName& name, const Words& words,
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
    { cur.read_text() } -> std::same_as<std::string>;
    { cur.read_flag() } -> std::same_as<bool>;
    { cur.read_u32() } -> std::same_as<std::uint32_t>;
    // A list at the current value; then next_element() until false.
    cur.begin_list();
    // An enumerated word's position in words.
    { cur.read_word(words) } -> std::same_as<std::size_t>;
};

// The position of word in words: exact, case-sensitive, no trimming.
std::optional<std::size_t> find_word(std::span<const std::string_view> words, std::string_view word);

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string word_list(std::span<const std::string_view> words);

std::string unknown_field(std::string_view key, std::span<const std::string_view> keys);
std::string unknown_variant(std::string_view word, std::span<const std::string_view> words);
std::string duplicate_field(std::string_view key);
std::string missing_field(std::string_view key);
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
std::string invalid_length(std::size_t length, std::string_view expected);

// "1 element", "23 elements".
std::string elements(std::size_t count);

// {found} for a JSON value tree: "null", "boolean `true`", "integer `5`", "floating point
// `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const boost::json::value& value);

}  // namespace korvalle::form
