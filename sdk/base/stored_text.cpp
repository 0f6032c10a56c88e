#include "sdk/base/stored_text.hpp"

#include "sdk/base/memory.hpp"

#include <utility>

namespace korvalle::text {

namespace {

constexpr std::size_t kLength = sizeof(std::uint32_t);

}  // namespace

StoredText::StoredText(const StoredText& other) : storage_(other.storage_) {
    if (other.has_value()) assign(other.view());
}

StoredText::StoredText(StoredText&& other) noexcept
    : storage_(other.storage_), block_(std::exchange(other.block_, nullptr)) {}

StoredText& StoredText::operator=(const StoredText& other) {
    if (this == &other) return *this;
    if (other.has_value()) assign(other.view());
    else reset();
    return *this;
}

StoredText& StoredText::operator=(StoredText&& other) {
    if (this == &other) return *this;
    if (!storage_.get()->is_equal(*other.storage_.get())) return *this = other;
    reset();
    block_ = std::exchange(other.block_, nullptr);
    return *this;
}

void StoredText::assign(std::string_view text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    char* block = static_cast<char*>(storage_->allocate(kLength + size, 1));
    std::memcpy(block, &size, kLength);
    if (size > 0) std::memcpy(block + kLength, text.data(), size);
    reset();
    block_ = block;
}

void StoredText::reset() noexcept {
    if (block_) storage_->deallocate(block_, kLength + view().size(), 1);
    block_ = nullptr;
}

std::uint64_t StoredText::heap_bytes() const {
    // Only the default storage takes its memory from the heap one text at a time.
    if (!block_ || storage_.get() != boost::json::storage_ptr().get()) return 0;
    return memory::allocation_bytes(kLength + view().size());
}

}  // namespace korvalle::text
