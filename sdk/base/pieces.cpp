#include "sdk/base/pieces.hpp"

#include <utility>

namespace korvalle::text {

Piece piece_of(SharedText text) {
    const std::string_view bytes = *text;
    return Piece{std::move(text), bytes};
}

Piece::Piece(std::string text) : Piece(piece_of(std::make_shared<const std::string>(std::move(text)))) {}

std::size_t size_of(const Pieces& pieces) {
    std::size_t size = 0;
    for (const Piece& piece : pieces) size += piece.size();
    return size;
}

std::string joined(const Pieces& pieces) {
    std::string text;
    text.reserve(size_of(pieces));
    for (const Piece& piece : pieces) text.append(piece.bytes);
    return text;
}

void PiecedText::splice(SharedText text) {
    if (!tail_.empty()) pieces_.emplace_back(std::exchange(tail_, std::string()));
    if (!text->empty()) pieces_.push_back(piece_of(std::move(text)));
}

Pieces PiecedText::finish() && {
    if (!tail_.empty()) pieces_.emplace_back(std::move(tail_));
    return std::move(pieces_);
}

}  // namespace korvalle::text
