// JSON objects kept as text, read on demand with the strict reader.
#include "sdk/journal/object_text.hpp"

#include "sdk/base/json.hpp"
#include "sdk/base/memory.hpp"

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

ObjectText::ObjectText(const ObjectText& other) : storage_(other.storage_) { assign(other.text()); }

ObjectText::ObjectText(ObjectText&& other) noexcept
    : storage_(other.storage_), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ObjectText& ObjectText::operator=(const ObjectText& other) {
    if (this != &other) assign(other.text());
    return *this;
}

ObjectText& ObjectText::operator=(ObjectText&& other) {
    if (this == &other) return *this;
    // A text in the same storage is taken as it is; from another storage it is copied.
    if (!storage_.get()->is_equal(*other.storage_.get())) return *this = other;
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
}

ObjectText::~ObjectText() { release(); }

void ObjectText::release() noexcept {
    if (data_) storage_->deallocate(const_cast<char*>(data_), size_, 1);
    data_ = nullptr;
    size_ = 0;
}

void ObjectText::assign(std::string_view text) {
    char* bytes = nullptr;
    if (!text.empty()) {
        bytes = static_cast<char*>(storage_->allocate(text.size(), 1));
        std::memcpy(bytes, text.data(), text.size());
    }
    release();
    data_ = bytes;
    size_ = text.size();
}

bool ObjectText::empty() const {
    std::size_t i = 1;  // behind the brace
    while (i < size_ && (data_[i] == ' ' || data_[i] == '\t' || data_[i] == '\n' || data_[i] == '\r')) ++i;
    return i >= size_ || data_[i] == '}';
}

// The text was checked when its line was read, UTF-8 included, so reading it again cannot fail.
boost::json::object ObjectText::read() const {
    if (size_ == 0) return {};
    json::Reader r(text(), json::Utf8::Checked);
    try {
        return std::move(r.read_value(kLevel, kMaxDepth).get_object());
    } catch (const json::ReadError&) {
        return {};
    }
}

void ObjectText::find(std::span<const std::string_view> keys, std::span<std::size_t> at) const {
    for (std::size_t& offset : at) offset = std::string_view::npos;
    if (size_ == 0) return;
    json::Reader r(text(), json::Utf8::Checked);
    try {
        r.begin_object();
        while (auto name = r.next_key_view()) {
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (*name == keys[i]) at[i] = r.offset();
            }
            r.skip_value();
        }
    } catch (const json::ReadError&) {
        for (std::size_t& offset : at) offset = std::string_view::npos;
    }
}

std::optional<boost::json::value> ObjectText::member(std::string_view key) const {
    std::size_t at = 0;
    find({&key, 1}, {&at, 1});
    if (at == std::string_view::npos) return std::nullopt;
    json::Reader r(text().substr(at), json::Utf8::Checked);
    try {
        return r.read_value(kLevel + 1, kMaxDepth);
    } catch (const json::ReadError&) {
        return std::nullopt;
    }
}

std::optional<std::string> ObjectText::string_member(std::string_view key) const {
    return string_members<1>({key})[0];
}

std::optional<std::string_view> ObjectText::plain_string_member(std::string_view key) const {
    std::size_t at = 0;
    find({&key, 1}, {&at, 1});
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = text().substr(at);
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t\n\r"), rest.size()));
    if (rest.empty() || rest.front() != '"') return std::nullopt;
    const std::size_t end = rest.find_first_of("\"\\", 1);
    if (end == std::string_view::npos || rest[end] != '"') return std::nullopt;
    return rest.substr(1, end - 1);
}

std::optional<std::string> ObjectText::string_at(std::size_t at) const {
    if (at == std::string_view::npos) return std::nullopt;
    json::Reader r(text().substr(at), json::Utf8::Checked);
    if (r.peek() != json::Token::String) return std::nullopt;
    try {
        return r.read_string();
    } catch (const json::ReadError&) {
        return std::nullopt;
    }
}

std::uint64_t ObjectText::heap_bytes() const {
    // Only the default storage takes its memory from the heap one text at a time.
    if (!data_ || storage_.get() != boost::json::storage_ptr().get()) return 0;
    return memory::allocation_bytes(size_);
}

bool ObjectText::operator==(const ObjectText& other) const {
    return text() == other.text() || json::equal(read(), other.read());
}

}  // namespace korvalle::event
