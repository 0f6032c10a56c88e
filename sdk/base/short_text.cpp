#include "sdk/base/short_text.hpp"

#include "sdk/base/memory.hpp"

#include <ostream>
#include <utility>

namespace korvalle::text {

ShortText::ShortText(ShortText&& other) noexcept : size_(other.size_) {
    // The bytes (or the far text's pointer) move as they are; other is left empty.
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.size_ = 0;
}

ShortText& ShortText::operator=(const ShortText& other) {
    if (this != &other) *this = other.view();
    return *this;
}

ShortText& ShortText::operator=(ShortText&& other) noexcept {
    if (this != &other) {
        release();
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ShortText& ShortText::operator=(std::string_view text) {
    // Copied before release: text may be a view of this object's own bytes.
    ShortText copy(text);
    return *this = std::move(copy);
}

std::uint64_t ShortText::heap_bytes() const {
    return size_ == kFar ? memory::allocation_bytes(view().size()) : 0;
}

void ShortText::take(std::string_view text) {
    if (text.size() <= inline_bytes) {
        if (!text.empty()) std::memcpy(bytes_, text.data(), text.size());
        size_ = static_cast<unsigned char>(text.size());
        return;
    }
    Far far{new char[text.size()], text.size()};
    std::memcpy(far.data, text.data(), text.size());
    std::memcpy(bytes_, &far, sizeof far);
    size_ = kFar;
}

void ShortText::release() noexcept {
    if (size_ != kFar) return;
    Far far;
    std::memcpy(&far, bytes_, sizeof far);
    delete[] far.data;
    size_ = 0;
}

std::ostream& operator<<(std::ostream& out, const ShortText& text) { return out << text.view(); }

}  // namespace korvalle::text
