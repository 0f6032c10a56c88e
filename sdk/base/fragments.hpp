// A text held in fragments rather than in one buffer: a document made mostly of texts kept
// elsewhere (and shared by every answer that carries them) is written as its own few bytes
// between fragments of those texts, which are neither copied nor moved, and is sent the same way.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::text {

// A text that any number of holders share; it never changes once shared.
using SharedText = std::shared_ptr<const std::string>;

// Bytes that their owner keeps alive for as long as the fragment is held.
struct Fragment {
    Fragment() = default;
    Fragment(std::shared_ptr<const void> owner, std::string_view bytes) : owner(std::move(owner)), bytes(bytes) {}
    // A fragment that owns its text (moved in, or copied from a literal).
    Fragment(std::string text);
    Fragment(const char* text) : Fragment(std::string(text)) {}

    std::shared_ptr<const void> owner;
    std::string_view bytes;

    std::size_t size() const { return bytes.size(); }
    operator std::string_view() const { return bytes; }
};

using Fragments = std::vector<Fragment>;

// The whole of a shared text.
Fragment fragment_of(SharedText text);

// The bytes of every fragment.
std::size_t size_of(const Fragments& fragments);
// The fragments one after another in one text (for callers that want it whole).
std::string joined(const Fragments& fragments);

// A text being written in fragments: bytes are appended to its tail, and a shared text spliced in
// ends the tail as a fragment of its own and follows it as another.
class FragmentedText {
public:
    // Where the next bytes go; the same string for the life of this object.
    std::string& tail() { return tail_; }
    // Ends the tail and adds text after it.
    void splice(SharedText text);
    // Every fragment, the tail last; empty fragments left out.
    Fragments finish() &&;

private:
    Fragments fragments_;
    std::string tail_;
};

}  // namespace korvalle::text
