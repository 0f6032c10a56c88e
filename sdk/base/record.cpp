#include "sdk/base/record.hpp"

#include "sdk/base/text.hpp"

namespace korvalle::record {

std::optional<std::size_t> find_word(std::span<const std::string_view> words, std::string_view word) {
    if (word.empty()) {
        for (std::size_t i = 0; i < words.size(); ++i)
            if (words[i].empty()) return i;
        return std::nullopt;
    }
    // Length and first byte rule out nearly every other word before any comparison of bytes:
    // plan files look up a key of a table of twenty-odd for every member of every task.
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string_view candidate = words[i];
        if (candidate.size() == word.size() && candidate[0] == word[0] && candidate == word) return i;
    }
    return std::nullopt;
}

std::string word_list(std::span<const std::string_view> words) {
    auto quoted = [](std::string_view w) { return "`" + std::string(w) + "`"; };
    if (words.empty()) return "nothing";
    if (words.size() == 1) return quoted(words[0]);
    if (words.size() == 2) return quoted(words[0]) + " or " + quoted(words[1]);
    std::string out = "one of ";
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) out += ", ";
        out += quoted(words[i]);
    }
    return out;
}

std::string unknown_field(std::string_view key, std::span<const std::string_view> keys) {
    return "unknown field `" + std::string(key) + "`, expected " + word_list(keys);
}

std::string unknown_variant(std::string_view word, std::span<const std::string_view> words) {
    return "unknown variant `" + std::string(word) + "`, expected " + word_list(words);
}

std::string duplicate_field(std::string_view key) { return "duplicate field `" + std::string(key) + "`"; }

std::string missing_field(std::string_view key) { return "missing field `" + std::string(key) + "`"; }

std::string invalid_type(std::string_view found, std::string_view expected) {
    return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

std::string invalid_value(std::string_view found, std::string_view expected) {
    return "invalid value: " + std::string(found) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
    return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string elements(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " element" : " elements");
}

std::string describe(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null: return "null";
        case boost::json::kind::bool_: return text::unexpected_bool(value.get_bool());
        case boost::json::kind::int64: return text::unexpected_signed(value.get_int64());
        case boost::json::kind::uint64: return text::unexpected_unsigned(value.get_uint64());
        case boost::json::kind::double_: return text::unexpected_float(value.get_double());
        case boost::json::kind::string: {
            const auto& s = value.get_string();
            return text::unexpected_string(std::string_view(s.data(), s.size()));
        }
        case boost::json::kind::array: return "sequence";
        case boost::json::kind::object: return "map";
    }
    return "value";
}

void fail(std::string detail) {
    throw ReadingFailed(Fault{.kind = Fault::Kind::Data, .detail = std::move(detail), .place = std::nullopt});
}

void fail_invalid_type(const boost::json::value& value, std::string_view expected) {
    fail(invalid_type(describe(value), expected));
}

namespace detail {

Fault not_unsigned(const json::Number& number, std::string_view expected) {
    std::string detail;
    switch (number.kind) {
        case json::Number::Kind::U64: detail = invalid_value(text::unexpected_unsigned(number.u), expected); break;
        case json::Number::Kind::I64: detail = invalid_value(text::unexpected_signed(number.i), expected); break;
        case json::Number::Kind::F64: detail = invalid_type(text::unexpected_float(number.d), expected); break;
    }
    return Fault{.kind = Fault::Kind::Data, .detail = std::move(detail), .place = std::nullopt};
}

Fault not_unsigned(const boost::json::value& value, std::string_view expected) {
    const bool integer = value.is_int64() || value.is_uint64();
    std::string detail = integer ? invalid_value(describe(value), expected) : invalid_type(describe(value), expected);
    return Fault{.kind = Fault::Kind::Data, .detail = std::move(detail), .place = std::nullopt};
}

}  // namespace detail

}  // namespace korvalle::record
