// JSON objects kept as text, read on demand with the strict reader.
#include "sdk/journal/object_text.hpp"

#include "sdk/base/json_equal.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_scan.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvalle::event {

namespace {

// The object is at the nesting level of an envelope's member; its values nest at most as deep
// as the envelope reader let them.
constexpr int kLevel = 2;
constexpr int kMaxDepth = 127;

}  // namespace

void ObjectText::assign(std::string_view text) {
    if (text.empty()) text_.reset();
    else text_.assign(text);
}

bool ObjectText::empty() const {
    const std::string_view t = text();
    const std::size_t i = std::min(t.find_first_not_of(" \t\n\r", 1), t.size());  // behind the brace
    return i == t.size() || t[i] == '}';
}

// The text was checked when its line was read, UTF-8 included, so reading it again cannot fail.
boost::json::object ObjectText::read() const {
    if (!text_.has_value()) return {};
    json::Reader r(text(), json::Utf8::Checked);
    try {
        return std::move(r.read_value(kLevel, kMaxDepth).get_object());
    } catch (const ReadingFailed&) {
        return {};
    }
}

void ObjectText::find(std::span<const std::string_view> keys, std::span<std::string_view> values) const {
    member_texts(text(), keys, values);
}

void ObjectText::member_texts(std::string_view object, std::span<const std::string_view> keys,
                              std::span<std::string_view> values) {
    for (std::string_view& value : values) value = {};
    if (object.empty()) return;
    if (!find_plainly(object, keys, values)) find_strictly(object, keys, values);
}

// The text is a well-formed object, so its values are stepped over without being checked again.
bool ObjectText::find_plainly(std::string_view object, std::span<const std::string_view> keys,
                              std::span<std::string_view> values) {
    const char* p = object.data();
    const std::size_t n = object.size();
    auto is_ws = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
    auto skip_ws = [&](std::size_t i) {
        while (i < n && is_ws(p[i])) ++i;
        return i;
    };
    // Past the string whose opening quote is at i: the next quote not escaped by the backslashes
    // before it (the C library finds a byte faster than any loop here).
    auto string_end = [&](std::size_t i) {
        for (std::size_t from = i + 1;;) {
            const void* quote = std::memchr(p + from, '"', n - from);
            if (!quote) return n;
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(quote) - p);
            std::size_t backslashes = 0;
            while (at - backslashes > i + 1 && p[at - 1 - backslashes] == '\\') ++backslashes;
            if (backslashes % 2 == 0) return at + 1;
            from = at + 1;
        }
    };
    auto value_end = [&](std::size_t i) {
        if (p[i] == '"') return string_end(i);
        if (p[i] != '{' && p[i] != '[') {
            while (i < n && p[i] != ',' && p[i] != '}' && p[i] != ']' && !is_ws(p[i])) ++i;
            return i;
        }
        int depth = 0;
        do {
            const char c = p[i];
            if (c == '"') {
                i = string_end(i);
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            else if (c == '}' || c == ']') --depth;
            ++i;
        } while (depth > 0 && i < n);
        return i;
    };
    std::size_t i = skip_ws(skip_ws(0) + 1);  // behind the brace
    while (i < n && p[i] == '"') {
        const std::size_t key_end = string_end(i);
        const std::string_view key(p + i + 1, key_end - i - 2);
        // A key with an escape is compared by its unescaped text.
        if (key.find('\\') != std::string_view::npos) return false;
        i = skip_ws(skip_ws(key_end) + 1);  // behind the colon
        const std::size_t end = value_end(i);
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (key == keys[k]) values[k] = std::string_view(p + i, end - i);
        }
        i = skip_ws(end);
        if (i < n && p[i] == ',') i = skip_ws(i + 1);
    }
    return true;
}

void ObjectText::find_strictly(std::string_view t, std::span<const std::string_view> keys,
                               std::span<std::string_view> values) {
    for (std::string_view& value : values) value = {};
    json::Reader r(t, json::Utf8::Checked);
    try {
        r.begin_object();
        while (auto name = r.next_key_view()) {
            // The key's view lasts until the reader's next call.
            std::size_t found = keys.size();
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (*name == keys[i]) found = i;
            }
            r.peek();
            const std::size_t begin = r.offset();
            r.skip_value();
            if (found < keys.size()) values[found] = t.substr(begin, r.offset() - begin);
        }
    } catch (const ReadingFailed&) {
        for (std::string_view& value : values) value = {};
    }
}

std::optional<boost::json::value> ObjectText::member(std::string_view key) const {
    std::string_view value;
    find({&key, 1}, {&value, 1});
    return value_of(value);
}

std::optional<boost::json::value> ObjectText::value_of(std::string_view value) {
    if (value.empty()) return std::nullopt;
    json::Reader r(value, json::Utf8::Checked);
    try {
        return r.read_value(kLevel + 1, kMaxDepth);
    } catch (const ReadingFailed&) {
        return std::nullopt;
    }
}

std::optional<std::string> ObjectText::string_member(std::string_view key) const {
    std::array<std::string, 1> scratch;
    const std::optional<std::string_view> text = string_members<1>({key}, scratch)[0];
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::string_view> ObjectText::plain_string_member(std::string_view key) const {
    std::string_view value;
    find({&key, 1}, {&value, 1});
    return string_of(value, nullptr);
}

std::optional<std::string_view> ObjectText::string_of(std::string_view value, std::string* scratch) {
    if (value.size() < 2 || value.front() != '"') return std::nullopt;
    const std::string_view inside = value.substr(1, value.size() - 2);
    if (inside.find('\\') == std::string_view::npos) return inside;
    if (!scratch) return std::nullopt;
    json::Reader r(value, json::Utf8::Checked);
    try {
        *scratch = r.read_string_view();
    } catch (const ReadingFailed&) {
        return std::nullopt;
    }
    return *scratch;
}

bool ObjectText::operator==(const ObjectText& other) const {
    return text() == other.text() || json::equal(read(), other.read());
}

}  // namespace korvalle::event
