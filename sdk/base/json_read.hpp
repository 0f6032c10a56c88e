// The strict JSON pull reader over one text.
//
// Record readers drive it token by token so that they see object members one by one in text
// order (duplicate checks need them before any merging), keep the values they want as
// boost::json::value trees and skip the rest without recursion. Faults are thrown as
// ReadingFailed, with the byte offset where they were found, inside a reading and turned into
// returned values at each public entry point; nothing outside a reader sees the exception. A
// reading that only needs its verdict stops at its first fault instead (OnFault::Stop): nothing
// is thrown and no message is made, and the verdict is the same.
//
// Rules: whitespace is SP, HT, LF, CR only; strings must be valid UTF-8; numbers classify as
// u64 (non-negative integer that fits), i64 (negative non-zero integer that fits) or double
// (everything else, "-0" and integers beyond u64 included; a double that overflows fails with
// "number out of range").
#pragma once

#include "sdk/base/result.hpp"

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace boost::json {
class value_stack;
}

namespace korvalle::json {

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

// What a reading does at its first fault.
enum class OnFault {
    // Abandons the reading by throwing ReadingFailed with the fault's message and offset, which
    // the entry point that knows the text turns into a located fault.
    Throw,
    // Notes that the reading failed (Reader::failed) and stops it, with nothing thrown and no
    // message made: for a caller that keeps only whether the text reads, as a journal's open keeps
    // only whether a line is an envelope. The reader then stands at the end of its text, so every
    // later step finds the text ended and returns at once with an empty value; the record reader
    // may go on to its end, and judges nothing more.
    Stop,
};

class Reader {
public:
    // With Utf8::Checked the text must be valid UTF-8: its strings are then not checked again.
    // The accepted texts and every message stay the same for valid UTF-8.
    explicit Reader(std::string_view text, Utf8 utf8 = Utf8::Unchecked, OnFault on_fault = OnFault::Throw);
    // The reader keeps a view of its text: a temporary string would dangle.
    explicit Reader(std::string&&, Utf8 = Utf8::Unchecked) = delete;
    explicit Reader(const char* text) : Reader(std::string_view(text)) {}

    std::string_view text() const { return text_; }
    std::size_t offset() const { return pos_; }
    // Whether a reading that stops at its fault (OnFault::Stop) met one.
    bool failed() const { return failed_; }

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
    // the double -0.0. A reading that stops at its fault gives null.
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

    // Throws ReadingFailed at the current offset; the reader's own faults are of kind Syntax,
    // a record reader's are of kind Data. For record readers that only throw: the reader's own
    // steps, and the record readers that may stop, report faults by fault() below.
    [[noreturn]] void fail(std::string message, Fault::Kind kind = Fault::Kind::Syntax) const;
    // Throws ReadingFailed at a given offset.
    [[noreturn]] void fail_at(std::string message, std::size_t offset, Fault::Kind kind = Fault::Kind::Syntax) const;

    // A fault at an offset, as the reading does with faults: thrown as fail_at throws it, or the
    // reading stopped (OnFault::Stop); the step that found it then returns at once. detail is the
    // message (a text, or a function making one, called only when the fault is thrown).
    template <class Detail>
    void fault_at(const Detail& detail, std::size_t offset, Fault::Kind kind = Fault::Kind::Syntax) {
        if (on_fault_ == OnFault::Stop) return stop();
        if constexpr (std::is_invocable_v<const Detail&>) fail_at(detail(), offset, kind);
        else fail_at(std::string(detail), offset, kind);
    }
    // The same at the current offset.
    template <class Detail>
    void fault(const Detail& detail, Fault::Kind kind = Fault::Kind::Syntax) { fault_at(detail, pos_, kind); }
    // The fault of a next value that is not the one expected: fail_invalid_type's, or the reading
    // stopped. Where the text has ended, that is "EOF while parsing a value".
    void fault_type(std::string_view expected);

private:
    // Stops a reading at its fault (OnFault::Stop): see there.
    [[gnu::cold]] void stop();
    void skip_ws();
    void expect_literal(const char* rest, std::size_t length);
    Number scan_number();
    std::string_view scan_string();
    void skip_string();
    void skip_number();
    // Parts of strings and numbers; each false after a fault.
    bool unescape();
    bool hex4(std::uint32_t& value);
    bool plain_character(unsigned char c);
    bool scan_fraction_and_exponent();
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
    OnFault on_fault_;
    bool failed_ = false;  // a reading that stops at its fault met one
    std::string scratch_;  // unescaped string contents
    boost::json::storage_ptr storage_;
};

// Parses a whole text as one JSON value (the reader's rules, kept values nested at most
// max_depth levels). Returns the value, or the fault (a Syntax fault with its place).
Result<boost::json::value> parse(std::string_view text, int max_depth = 128);
// Whether parse would accept the text with the same limit, found without building the value.
bool valid(std::string_view text, int max_depth = 128);

}  // namespace korvalle::json
