// A text made in a memory resource (a run's arena, or the heap), its length kept in front of its
// bytes: its holder spends two words on it whatever its length, and an arena frees nothing one
// text at a time.
#pragma once

#include <boost/json/storage_ptr.hpp>

#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvalle::text {

class StoredText {
public:
    // No text, one to be made in the default storage or in storage.
    StoredText() = default;
    explicit StoredText(const boost::json::storage_ptr& storage) : storage_(storage) {}
    // A copy is made in the storage of other, as a copy of a JSON value is.
    StoredText(const StoredText& other);
    StoredText(StoredText&& other) noexcept;
    // Assignments keep this text's storage: a text from another storage is copied into it.
    StoredText& operator=(const StoredText& other);
    StoredText& operator=(StoredText&& other);
    ~StoredText() { reset(); }

    // Whether there is a text (an empty one counts).
    bool has_value() const { return block_ != nullptr; }
    // The text; empty when there is none.
    std::string_view view() const {
        if (!block_) return {};
        std::uint32_t size;
        std::memcpy(&size, block_, sizeof size);
        return {block_ + sizeof size, size};
    }
    // Holds a copy of text, which is shorter than 4 GiB (a journal line at most).
    void assign(std::string_view text);
    // Holds no text.
    void reset() noexcept;

    const boost::json::storage_ptr& storage() const { return storage_; }
    // The heap bytes of the text, with the allocator's header: none when it is made in an arena
    // (counted with its blocks).
    std::uint64_t heap_bytes() const;

private:
    boost::json::storage_ptr storage_;
    char* block_ = nullptr;  // the length (4 bytes), then the bytes
};

}  // namespace korvalle::text
