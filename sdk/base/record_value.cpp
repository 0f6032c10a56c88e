#include "sdk/base/record_value.hpp"

#include <utility>

namespace korvalle::record {

namespace {
std::string to_std(const boost::json::string& s) { return std::string(s.data(), s.size()); }
}  // namespace

ValueCursor::Record ValueCursor::begin_record(const RecordName& name) {
    if (const auto* object = current_->if_object()) {
        frames_.push_back(Frame{object, object->begin(), nullptr, 0});
        return {Shape::Keyed};
    }
    if (const auto* array = current_->if_array()) {
        frames_.push_back(Frame{nullptr, {}, array, 0});
        return {Shape::Positional};
    }
    fail_invalid_type(*current_, name.name);
}

std::optional<std::string> ValueCursor::next_key() {
    Frame& top = frames_.back();
    if (top.member == top.object->end()) {
        frames_.pop_back();
        return std::nullopt;
    }
    std::string key(top.member->key());
    current_ = &top.member->value();
    ++top.member;
    return key;
}

bool ValueCursor::next_element() {
    Frame& top = frames_.back();
    if (top.index == top.array->size()) {
        frames_.pop_back();
        return false;
    }
    current_ = &(*top.array)[top.index++];
    return true;
}

void ValueCursor::end_positional(std::size_t keys) {
    Frame top = frames_.back();
    frames_.pop_back();
    std::size_t size = top.array->size();
    if (top.index == size) return;
    if (mode_ == Mode::Value) fail(invalid_length(size, "fewer elements in array"));
    fail(invalid_length(size, elements(keys) + " in sequence"));
}

bool ValueCursor::take_null() { return current_->is_null(); }

std::string_view ValueCursor::read_text() {
    if (const auto* s = current_->if_string()) return std::string_view(s->data(), s->size());
    fail_invalid_type(*current_, "a string");
}

bool ValueCursor::read_flag() {
    if (const auto* b = current_->if_bool()) return *b;
    fail_invalid_type(*current_, "a boolean");
}

std::uint32_t ValueCursor::read_u32() {
    Result<std::uint32_t> n = to_unsigned<std::uint32_t>(*current_);
    if (!n) throw ReadingFailed(std::move(n).error());
    return *n;
}

void ValueCursor::begin_list() {
    if (const auto* array = current_->if_array()) {
        frames_.push_back(Frame{nullptr, {}, array, 0});
        return;
    }
    fail_invalid_type(*current_, "a sequence");
}

std::size_t ValueCursor::read_word(const Words& words) {
    std::string word;
    const boost::json::value* unit = nullptr;
    if (const auto* s = current_->if_string()) {
        word = to_std(*s);
    } else if (const auto* object = current_->if_object()) {
        // The one-key map form: the key is the word, its value the variant's (empty) content.
        if (object->size() != 1) fail(invalid_value("map", "map with a single key"));
        word = std::string(object->begin()->key());
        unit = &object->begin()->value();
    } else {
        fail_invalid_type(*current_, "string or map");
    }
    auto code = find_word(words.words, word);
    if (!code) fail(unknown_variant(word, words.words));
    if (unit != nullptr && !unit->is_null()) fail_invalid_type(*unit, "unit");
    return *code;
}

}  // namespace korvalle::record
