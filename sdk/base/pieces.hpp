// A text held in pieces rather than in one buffer: a document made mostly of texts kept
// elsewhere (and shared by every answer that carries them) is written as its own few bytes
// between pieces of those texts, which are neither copied nor moved, and is sent the same way.
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

// Bytes that their owner keeps alive for as long as the piece is held.
struct Piece {
    Piece() = default;
    Piece(std::shared_ptr<const void> owner, std::string_view bytes) : owner(std::move(owner)), bytes(bytes) {}
    // A piece that owns its text (moved in, or copied from a literal).
    Piece(std::string text);
    Piece(const char* text) : Piece(std::string(text)) {}

    std::shared_ptr<const void> owner;
    std::string_view bytes;

    std::size_t size() const { return bytes.size(); }
    operator std::string_view() const { return bytes; }
};

using Pieces = std::vector<Piece>;

// The whole of a shared text.
Piece piece_of(SharedText text);

// The bytes of every piece.
std::size_t size_of(const Pieces& pieces);
// The pieces one after another in one text (for callers that want it whole).
std::string joined(const Pieces& pieces);

// A text being written in pieces: bytes are appended to its tail, and a shared text spliced in
// ends the tail as a piece of its own and follows it as another.
class PiecedText {
public:
    // Where the next bytes go; the same string for the life of this object.
    std::string& tail() { return tail_; }
    // Ends the tail and adds text after it.
    void splice(SharedText text);
    // Every piece, the tail last; empty pieces left out.
    Pieces finish() &&;

private:
    Pieces pieces_;
    std::string tail_;
};

}  // namespace korvalle::text
