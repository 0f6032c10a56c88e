#include "sdk/base/record_json.hpp"

#include "sdk/base/text.hpp"

#include <limits>

namespace korvalle::record {

JsonTextCursor::Record JsonTextCursor::begin_record(const RecordName& name) {
    switch (r_.peek()) {
        case json::Token::Object: r_.begin_object(); return {Shape::Keyed};
        case json::Token::Array: r_.begin_array(); return {Shape::Positional};
        default: r_.fail_invalid_type(name.name);
    }
}

bool JsonTextCursor::take_null() {
    if (r_.peek() != json::Token::Null) return false;
    r_.read_null();
    return true;
}

bool JsonTextCursor::read_flag() {
    json::Token t = r_.peek();
    if (t != json::Token::True && t != json::Token::False) r_.fail_invalid_type("a boolean");
    return r_.read_bool();
}

std::uint32_t JsonTextCursor::read_u32() {
    if (r_.peek() != json::Token::Number) r_.fail_invalid_type("u32");
    json::Number n = r_.read_number();
    switch (n.kind) {
        case json::Number::Kind::U64:
            if (n.u <= std::numeric_limits<std::uint32_t>::max()) return static_cast<std::uint32_t>(n.u);
            r_.fail(invalid_value(text::unexpected_unsigned(n.u), "u32"), Fault::Kind::Data);
        case json::Number::Kind::I64: r_.fail(invalid_value(text::unexpected_signed(n.i), "u32"), Fault::Kind::Data);
        case json::Number::Kind::F64: r_.fail(invalid_type(text::unexpected_float(n.d), "u32"), Fault::Kind::Data);
    }
    r_.fail("invalid number");
}

void JsonTextCursor::begin_list() {
    if (r_.peek() != json::Token::Array) r_.fail_invalid_type("a sequence");
    r_.begin_array();
}

std::size_t JsonTextCursor::read_word(const Words& words) {
    auto lookup = [&](std::string_view word) -> std::size_t {
        if (auto code = find_word(words.words, word)) return *code;
        r_.fail(unknown_variant(word, words.words), Fault::Kind::Data);
    };
    switch (r_.peek()) {
        case json::Token::String: return lookup(r_.read_string_view());
        case json::Token::Object: break;
        case json::Token::End: r_.fail("EOF while parsing a value");
        default: r_.fail("expected value");
    }
    // The one-member object form: {"word": null}, which must close right after the null.
    r_.begin_object();
    auto key = r_.next_key();
    if (!key) r_.fail("expected value");
    std::size_t code = lookup(*key);
    r_.read_null();
    std::string_view rest = r_.text().substr(r_.offset());
    std::size_t skip = rest.find_first_not_of(" \t\n\r");
    if (skip == std::string_view::npos) r_.fail_at("EOF while parsing an object", r_.text().size());
    if (rest[skip] != '}') r_.fail_at("expected value", r_.offset() + skip);
    r_.next_key();
    return code;
}

}  // namespace korvalle::record
