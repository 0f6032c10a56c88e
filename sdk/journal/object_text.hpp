// A JSON object kept as text: an envelope's payload and its labels' other members. The text is
// checked when its line is read and made in the envelope's storage (a run's arena); members are
// read on demand, so a view holds the object's bytes rather than a tree several times their size.
#pragma once

#include "sdk/base/stored_text.hpp"

#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalle::event {

// Copies and assignments treat the storage as a JSON value does (text::StoredText).
class ObjectText {
public:
    // An empty object, made in the default storage or in storage.
    ObjectText() = default;
    explicit ObjectText(const boost::json::storage_ptr& storage) : text_(storage) {}

    // The object's text, as written ("" for an object never given, which reads as {}).
    std::string_view text() const { return text_.view(); }
    // Takes a copy of text, which must be one well-formed JSON object in valid UTF-8 whose
    // members nest at most 125 levels below it: a text as the envelope reader checked it.
    void assign(std::string_view text);

    // Whether the object has no members.
    bool empty() const;
    // The object, as a fresh tree in the default storage (repeated keys keep their first place
    // and take their last value, as when the line was read).
    boost::json::object read() const;
    // The value of the member key (the last one given counts), read without building the
    // object; string_member, only when that value is a string.
    std::optional<boost::json::value> member(std::string_view key) const;
    std::optional<std::string> string_member(std::string_view key) const;
    // The same as a view of the text, when the string is written without escapes: it lives as
    // long as the text. A labels' other members write every string that needs no escape so.
    std::optional<std::string_view> plain_string_member(std::string_view key) const;
    // The string values of several members, found in one pass: views of the text, or of the
    // matching scratch text for a string written with escapes.
    template <std::size_t N>
    std::array<std::optional<std::string_view>, N> string_members(const std::array<std::string_view, N>& keys,
                                                                  std::array<std::string, N>& scratch) const {
        std::array<std::string_view, N> values;
        find(keys, values);
        std::array<std::optional<std::string_view>, N> texts;
        for (std::size_t i = 0; i < N; ++i) texts[i] = string_of(values[i], &scratch[i]);
        return texts;
    }

    const boost::json::storage_ptr& storage() const { return text_.storage(); }
    // The heap bytes of the text, with the allocator's header: none when it is made in an arena
    // (counted with its blocks).
    std::uint64_t heap_bytes() const { return text_.heap_bytes(); }

    // Objects are equal when their members are, however they were written.
    bool operator==(const ObjectText& other) const;

    // The same finding for any object text as assign() takes it, kept nowhere: for each key, the
    // text of the value of the last member so named, or an empty view; found in one pass.
    static void member_texts(std::string_view object, std::span<const std::string_view> keys,
                             std::span<std::string_view> values);
    // The string a value's text holds: a view of the text when it has no escape, else unescaped
    // into scratch (none without scratch); none for a value of another kind, or none at all.
    static std::optional<std::string_view> string_of(std::string_view value, std::string* scratch);
    // The value a member's text holds (a text member_texts found), in the default storage;
    // none for an empty view.
    static std::optional<boost::json::value> value_of(std::string_view value);

private:
    // member_texts of this object's text.
    void find(std::span<const std::string_view> keys, std::span<std::string_view> values) const;
    // member_texts by stepping over values, for keys without escapes; false when a key has one.
    static bool find_plainly(std::string_view object, std::span<const std::string_view> keys,
                             std::span<std::string_view> values);
    // member_texts with the strict reader, which compares keys unescaped.
    static void find_strictly(std::string_view object, std::span<const std::string_view> keys,
                              std::span<std::string_view> values);

    text::StoredText text_;  // none for an object never given
};

}  // namespace korvalle::event
