// A text kept exactly as given, in the object itself when it is short.
//
// Journal timestamps ("2026-01-02T03:04:05.123456Z") are a few bytes too long for a
// std::string's own room, so each would take a heap allocation of its own; a short text holds
// up to inline_bytes bytes in place, in the room of one std::string, and only a longer one on
// the heap.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace korvalle::text {

class ShortText {
public:
    static constexpr std::size_t inline_bytes = 31;

    ShortText() = default;
    explicit ShortText(std::string_view text) { take(text); }
    ShortText(const ShortText& other) { take(other.view()); }
    ShortText(ShortText&& other) noexcept;
    ShortText& operator=(const ShortText& other);
    ShortText& operator=(ShortText&& other) noexcept;
    ShortText& operator=(std::string_view text);
    ~ShortText() { release(); }

    std::string_view view() const {
        if (size_ != kFar) return {bytes_, size_};
        Far far;
        std::memcpy(&far, bytes_, sizeof far);
        return {far.data, far.size};
    }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(view()); }
    const char* data() const { return view().data(); }
    std::size_t size() const { return view().size(); }
    bool empty() const { return size_ == 0; }
    int compare(const ShortText& other) const { return view().compare(other.view()); }

    // The heap bytes the text owns, with the allocator's header: none when it is held in place.
    std::uint64_t heap_bytes() const;

    friend bool operator==(const ShortText& a, const ShortText& b) { return a.view() == b.view(); }
    friend bool operator==(const ShortText& a, std::string_view b) { return a.view() == b; }
    friend std::strong_ordering operator<=>(const ShortText& a, const ShortText& b) { return a.view() <=> b.view(); }

private:
    // A longer text: its bytes on the heap, this kept in bytes_.
    struct Far {
        char* data;
        std::size_t size;
    };
    static constexpr unsigned char kFar = 0xFF;
    static_assert(sizeof(Far) <= inline_bytes);

    // Holds a copy of text; the object holds nothing before.
    void take(std::string_view text);
    void release() noexcept;

    char bytes_[inline_bytes];
    unsigned char size_ = 0;  // the size of a text held in place, or kFar
};

static_assert(sizeof(ShortText) == sizeof(std::string));

std::ostream& operator<<(std::ostream& out, const ShortText& text);

}  // namespace korvalle::text
