#include "sdk/base/record_json.hpp"

#include <utility>

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
    if (r_.peek() != json::Token::Number) r_.fail_invalid_type(unsigned_name<std::uint32_t>);
    Result<std::uint32_t> n = to_unsigned<std::uint32_t>(r_.read_number());
    if (!n) throw ReadingFailed(std::move(n).error(), r_.offset());
    return *n;
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
