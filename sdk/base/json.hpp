// Strict JSON reading and compact JSON writing.
//
// The reader is a pull reader over one text. Record readers drive it token by token so that
// they see object members one by one in text order (duplicate checks need them before any
// merging), keep the values they want as boost::json::value trees and skip the rest without
// recursion. Faults are thrown as json::ReadError inside a reading and turned into returned
// values at each public entry point; nothing outside a reader sees the exception.
//
// Rules: whitespace is SP, HT, LF, CR only; strings must be valid UTF-8; numbers classify as
// u64 (non-negative integer that fits), i64 (negative non-zero integer that fits) or double
// (everything else, "-0" and integers beyond u64 included; a double that overflows fails with
// "number out of range").
#pragma once

#include "sdk/base/fragments.hpp"
#include "sdk/base/result.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace boost::json {
class value_stack;
}

namespace korvalle::json {

namespace detail {
class TokenRun;
}

// A fault found while reading, with the byte offset where it was detected.
class ReadError : public std::exception {
public:
    ReadError(std::string message, std::size_t offset);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }
    std::size_t offset() const { return offset_; }

private:
    std::string message_;
    std::size_t offset_;
};

// What the next value starts with, judged by its first byte after whitespace.
enum class Token { Null, True, False, Number, String, Array, Object, End, Invalid };

struct Number {
    enum class Kind { U64, I64, F64 } kind;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
};

// Whether a text is already known to be valid UTF-8 (checked as a whole by whoever hands it
// over, as the journal's line splitter does), so that the reader need not check it again.
enum class Utf8 { Unchecked, Checked };

class Reader {
public:
    // With Utf8::Checked the text must be valid UTF-8: its strings are then not checked again.
    // The accepted texts and every message stay the same for valid UTF-8.
    explicit Reader(std::string_view text, Utf8 utf8 = Utf8::Unchecked);
    // The reader keeps a view of its text: a temporary string would dangle.
    explicit Reader(std::string&&, Utf8 = Utf8::Unchecked) = delete;
    explicit Reader(const char* text) : Reader(std::string_view(text)) {}

    std::string_view text() const { return text_; }
    std::size_t offset() const { return pos_; }

    // Skips whitespace and classifies the next byte; does not consume it.
    Token peek();

    // Scalar readers: each expects the value that peek() announced and fails with the
    // parser's syntax message otherwise ("expected ident", "invalid number", ...). Met with
    // another kind of value they fail with "invalid type: {found}, expected {what}" where
    // what is "unit", "a boolean", "a number" or "a string".
    void read_null();
    bool read_bool();
    Number read_number();
    std::string read_string();
    // Same as read_string, without a copy: the view stays valid until the next call on this
    // reader.
    std::string_view read_string_view();

    // Objects: begin_object consumes '{'. next_key consumes a separating ',' when needed, then
    // the key and its ':', and returns the unescaped key; at '}' it consumes it and returns
    // nullopt. Syntax faults: "expected `,` or `}`", "key must be a string", "trailing comma",
    // "EOF while parsing an object", "expected `:`".
    void begin_object();
    std::optional<std::string> next_key();
    // Same as next_key, without a copy: the view stays valid until the next call on this
    // reader.
    std::optional<std::string_view> next_key_view();

    // Arrays: begin_array consumes '['. next_element consumes a separating ',' when needed and
    // returns true when a value follows; at ']' it consumes it and returns false.
    void begin_array();
    bool next_element();
    // For a positional record that has read all the elements it wants: the array must close
    // here; a further element fails with "trailing characters" ("trailing comma" for a comma
    // before the bracket).
    void end_array();

    // Low-level steps for shapes the calls above do not cover (an enum written as a
    // one-member object): colon() consumes a ':' after whitespace ("expected `:`", "EOF while
    // parsing an object"); consume(c) consumes c when it comes next after whitespace and tells
    // whether it did.
    void colon();
    bool consume(char c);

    // Reads and discards one well-formed value of any depth, iteratively.
    void skip_value();

    // Reads one value into a tree. depth is the nesting level of the value being read (the
    // top-level container of a document is level 1); an array or object that would open level
    // max_depth + 1 fails with "recursion limit exceeded". Repeated object keys keep their
    // first place and take their last value. Numbers are stored as boost::json::parse stores
    // them (a non-negative integer as int64 when it fits, else uint64), except that "-0" is
    // the double -0.0.
    boost::json::value read_value(int depth, int max_depth);
    // The memory resource of the values read_value builds (the default one unless set).
    void set_storage(boost::json::storage_ptr storage) { storage_ = std::move(storage); }
    const boost::json::storage_ptr& storage() const { return storage_; }
    // Reads one value with every check read_value makes, the nesting limit included, and
    // keeps nothing: the same value read_value would accept, without the cost of a tree.
    void check_value(int depth, int max_depth);

    // serde's description of the next value for "invalid type" messages ("null", "boolean
    // `true`", "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map").
    // Consumes a scalar; leaves an array or object unread. Fails with the parser's message
    // when the next bytes are no value.
    std::string unexpected();
    // Throws "invalid type: {unexpected()}, expected {expected}".
    [[noreturn]] void fail_invalid_type(std::string_view expected);

    // Only whitespace may remain; anything else fails with "trailing characters".
    void finish();

    // Throws ReadError at the current offset.
    [[noreturn]] void fail(std::string message) const;
    // Throws ReadError at a given offset.
    [[noreturn]] void fail_at(std::string message, std::size_t offset) const;

private:
    void skip_ws();
    void expect_literal(const char* rest, std::size_t length);
    Number scan_number();
    std::string_view scan_string();
    void skip_string();
    void skip_number();
    void expect_colon();
    // The one iterative walk over a value behind skip_value (Skip: the text is checked and
    // dropped), check_value (Check: every check of read_value, nothing kept) and read_value
    // (Build: every value is pushed on st, nesting limited).
    enum class Walk { Skip, Check, Build };
    template <Walk mode>
    void walk(boost::json::value_stack* st, int depth, int max_depth);

    std::string_view text_;
    std::size_t pos_ = 0;
    // The grammar needs one bit of state: whether the last thing consumed completed a value
    // (so a ',' or a closing bracket must come next) or opened a container or consumed a
    // ',' (so a member or element comes next). A completed nested container sets it like
    // any other value, so nesting needs no stack.
    bool need_comma_ = false;
    bool utf8_ = false;    // the text is known to be valid UTF-8
    std::string scratch_;  // unescaped string contents
    boost::json::storage_ptr storage_;
};

// Parses a whole text as one JSON value (the reader's rules, kept values nested at most
// max_depth levels). Returns the value, or the fault (a Syntax fault with its place).
Result<boost::json::value> parse(std::string_view text, int max_depth = 128);
// Whether parse would accept the text with the same limit, found without building the value.
bool valid(std::string_view text, int max_depth = 128);

// Compact writer: no whitespace, keys in insertion order, strings escaped as serde_json does,
// integers as written, doubles in shortest round-trip form with ".0" when integral and
// exponent form outside [1e-5, 1e16); non-finite doubles write null.
std::string write(const boost::json::value& value);
void write_to(std::string& out, const boost::json::value& value);
// The same for a document held as an object or an array, written in place: through the value
// overloads it would be copied into a value first.
std::string write(const boost::json::object& object);
std::string write(const boost::json::array& array);
void write_to(std::string& out, const boost::json::object& object);
void write_to(std::string& out, const boost::json::array& array);
// A double alone, in the writer's form ("2.0", "1e16", "1.5e-7").
std::string format_double(double value);

// The same compact form streamed value by value onto the end of a text, for documents too large
// to be worth building as a tree first: the writer places the commas, the caller opens and
// closes every container and gives every member its key before its value (nothing is checked:
// an unbalanced call makes an invalid text). Trees can be written at any place a value can.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    // A writer of a text in fragments: kept() splices shared texts in instead of copying them.
    explicit Writer(text::FragmentedText& out) : out_(out.tail()), fragments_(&out) {}

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    // The key of the object member whose value is written next.
    void key(std::string_view key);

    void value(std::string_view text);
    void value(const char* text) { value(std::string_view(text)); }
    void value(const std::string& text) { value(std::string_view(text)); }
    void value(const boost::json::string& text) { value(std::string_view(text)); }
    void value(bool flag);
    void value(std::nullptr_t);
    void value(std::int64_t number);
    void value(std::uint64_t number);
    void value(double number);
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    void value(T number) {
        value(scalar(number));
    }
    void value(const boost::json::value& tree);
    void value(const boost::json::object& tree);
    void value(const boost::json::array& tree);

    // A value that is compact JSON text already (from an earlier Writer), copied as it stands.
    void written(std::string_view json_text);
    // The same for a shared text: a fragment of its own in a text written in fragments, where it is
    // neither copied nor moved; copied otherwise.
    void kept(const text::SharedText& json_text);

    // A text member whose text is the parts one after another, written without joining them.
    void joined_member(std::string_view k, std::span<const std::string_view> parts);

    // key(k) then value(v).
    template <class T>
    void member(std::string_view k, const T& v) {
        if constexpr (is_text<T>) {
            text_member(k, v);
        } else if constexpr (std::is_arithmetic_v<T> || std::is_null_pointer_v<T>) {
            scalar_member(k, scalar(v));
        } else if constexpr (std::is_same_v<T, boost::json::value>) {
            value_member(k, v);
        } else {
            key(k);
            value(v);
        }
    }

private:
    // The values member() writes with their key in one run of tokens: texts and scalars.
    template <class T>
    static constexpr bool is_text = std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
                                    std::is_same_v<T, boost::json::string> ||
                                    (std::is_convertible_v<const T&, const char*> && !std::is_null_pointer_v<T>);
    // A scalar as the value overload it would be written by takes it.
    template <class T>
    static auto scalar(T v) {
        if constexpr (std::is_same_v<T, bool> || std::is_null_pointer_v<T>)
            return v;
        else if constexpr (std::is_floating_point_v<T>)
            return static_cast<double>(v);
        else if constexpr (std::is_signed_v<T>)
            return static_cast<std::int64_t>(v);
        else
            return static_cast<std::uint64_t>(v);
    }

    // Room for bytes more and some to spare.
    void reserve(std::size_t bytes) {
        if (out_.capacity() - out_.size() < bytes + spare) grow(bytes);
    }
    // The same, and a comma when one is due.
    void separate(std::size_t bytes = 0) {
        reserve(bytes);
        if (need_comma_) out_.push_back(',');
    }
    void grow(std::size_t bytes);
    // A run of tokens begun with the comma when one is due, with room for bytes more in the text.
    detail::TokenRun start(std::size_t bytes);
    // Defined for bool, std::nullptr_t, std::int64_t, std::uint64_t and double.
    template <class T>
    void scalar_value(T v);
    template <class T>
    void scalar_member(std::string_view key, T v);
    void text_member(std::string_view key, std::string_view text);
    // A text or scalar value goes out in one run of tokens with its key, as member() writes them.
    void value_member(std::string_view key, const boost::json::value& value);
    template <class Tree>
    void tree(const Tree& tree);
    void open(char bracket);
    void close(char bracket);

    static constexpr std::size_t spare = 64;

    std::string& out_;
    text::FragmentedText* fragments_ = nullptr;  // set when writing in fragments
    // Whether the last thing written completed a value, so that the next one needs a comma
    // first. One bit serves every depth: a key or an opening bracket clears it, a closing
    // bracket sets it like any other value.
    bool need_comma_ = false;
};

// Equality as Boost.JSON's operator== defines it (numbers of the integer kinds compare by value,
// a double only equals a double), without its copies: Boost 1.81 compares two objects by
// copying every member of the left one into its storage, inside a noexcept function. Copies
// of a view's values are refused by its sealed arena, and any failed allocation there ends
// the process.
bool equal(const boost::json::value& a, const boost::json::value& b) noexcept;
bool equal(const boost::json::object& a, const boost::json::object& b) noexcept;

}  // namespace korvalle::json
