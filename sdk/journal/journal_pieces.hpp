// A journal read in line-aligned pieces that different threads may read at once, each piece's
// lines handed to a visitor of its own. Every line is handed over, judged and refused as the read
// in one go (journal_lines.hpp) does it, and the read ends with the same figures and the same
// digests of the file's blocks.
//
// The pieces are found before any is read, from a few bytes read at each multiple of the piece
// size: the first piece begins where the read begins, every other one at the first line that
// begins at or after such a multiple, so a line longer than a piece stays in the piece where it
// begins. A piece digests the blocks that begin among its lines, reading on past its last line to
// the end of the last of them. The pieces must meet: a piece that does not end where the next
// one begins (the file changed meanwhile) sends the whole read back to the read in one go.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/base/files.hpp"
#include "sdk/journal/journal_lines.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace korvalle::journal {

// How a read in pieces went, once every piece was read.
enum class PiecesRead {
    Read,     // every line was handed over
    NotUtf8,  // the text (for a read on, what was appended) is not UTF-8: the journal yields nothing
    InDoubt,  // a read on found the last complete line or the kept line changed: read it whole
    Again,    // reading failed or met a hole, or the pieces did not meet: read it again in one go
};

class JournalPieces {
public:
    // A read of the whole journal in pieces of about piece_bytes (at least one byte). None when
    // the journal cannot be opened, holds a hole, or makes fewer than two pieces: read it in one
    // go then (for_each_journal_line).
    static std::optional<JournalPieces> whole(const files::FileAt& file, std::uint64_t piece_bytes);
    // A read that goes on from where an earlier one stopped, in pieces of about piece_bytes of
    // what was appended, after the checks of continue_journal_lines (made here, before any piece
    // is read). None when any of them fails, when that read was not UTF-8 text for good, when a
    // hole follows, or when the bytes from its unfinished last line on make fewer than two
    // pieces: read on in one go then (continue_journal_lines), which tells what else to do.
    static std::optional<JournalPieces> read_on(const files::FileAt& file, const JournalEnd& from,
                                                const files::Identity& was, std::uint64_t piece_bytes);

    JournalPieces(JournalPieces&&) noexcept;
    JournalPieces& operator=(JournalPieces&&) noexcept;
    ~JournalPieces();

    std::size_t count() const;
    // The bytes of the lines of piece i.
    std::uint64_t bytes(std::size_t i) const;
    // Reads piece i, handing each of its lines to visit, in file order. Each piece is read once;
    // different pieces may be read at once by different threads, with visitors of their own.
    void read(std::size_t i, const std::function<void(std::string_view)>& visit);
    // Once every piece was read: how the read went, and (when Read or NotUtf8) where it ended as
    // the read in one go would have ended; trace, as for that read, is set whatever happened.
    PiecesRead finish(files::ReadTrace* trace, JournalEnd* end);

private:
    struct Piece;
    JournalPieces(files::RegularFile file, const std::vector<std::uint64_t>& starts, std::optional<JournalEnd> from,
                  std::optional<files::BlockDigester> resumed);

    files::RegularFile file_;
    std::optional<JournalEnd> from_;                // where a read on goes on from
    std::optional<files::BlockDigester> resumed_;   // the first piece's digester, for a read on
    std::vector<Piece> pieces_;
};

}  // namespace korvalle::journal
