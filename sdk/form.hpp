// Shared parts of the strict record readers: the fault that ends a reading, the message
// templates, and the tables that name records, keys and enumerated words.
//
// A record is read by one generic reader over a "form cursor" (YAML events, JSON text, a JSON
// value tree). Every cursor offers the same operations:
//
//   Record begin_record(const RecordName&)    keyed or positional record at the current value
//   std::optional<std::string> next_key()      next key of a keyed record; nullopt closes it
//   bool next_element()                        next element of a list or positional record;
//                                              false closes it
//   void end_positional(std::size_t keys)      no element may follow the last field
//   [[noreturn]] fail_key(msg)                 fault at the key just read
//   [[noreturn]] fail_at(const Record&, msg)   fault at the record as a whole
//   bool take_null()                           an optional field's null: consumed, true
//   std::string read_text(); bool read_flag(); std::uint32_t read_u32();
//   void begin_list()                          then next_element() until false
//   std::size_t read_word(const Words&)        an enumerated word's position
//
// Faults are thrown (form::Fault, or json::ReadError from the JSON text cursor) and turned into
// returned messages at the public entry points.
#pragma once

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
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

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string word_list(std::span<const std::string_view> words);

std::string unknown_field(std::string_view key, std::span<const std::string_view> keys);
std::string unknown_variant(std::string_view word, std::span<const std::string_view> words);
std::string duplicate_field(std::string_view key);
std::string missing_field(std::string_view key);
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
std::string invalid_length(std::size_t length, std::string_view expected);

// {found} for a JSON value tree: "null", "boolean `true`", "integer `5`", "floating point
// `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const boost::json::value& value);

}  // namespace korvalle::form
