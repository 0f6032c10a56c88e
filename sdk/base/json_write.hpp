// Compact JSON writing, of a whole tree at once or streamed value by value.
#pragma once

#include "sdk/base/fragments.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace korvalle::json {

namespace detail {
class TokenRun;
}

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

}  // namespace korvalle::json
