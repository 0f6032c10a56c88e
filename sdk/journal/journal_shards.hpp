// A journal read in line-aligned shards that different threads may read at once, each shard's
// lines handed to a visitor of its own. Every line is handed over, judged and refused as the read
// in one go (journal_lines.hpp) does it, and the read ends with the same figures and the same
// digests of the file's blocks.
//
// The shards are found before any is read, from a few bytes read at each multiple of the shard
// size: the first shard begins where the read begins, every other one at the first line that
// begins at or after such a multiple, so a line longer than a shard stays in the shard where it
// begins. A shard digests the blocks that begin among its lines, reading on past its last line to
// the end of the last of them. The shards must meet: a shard that does not end where the next
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

// How a read in shards went, once every shard was read.
enum class ShardsRead {
    Read,     // every line was handed over
    NotUtf8,  // the text (for a read on, what was appended) is not UTF-8: the journal yields nothing
    InDoubt,  // a read on found the last complete line or the kept line changed: read it whole
    Again,    // reading failed or met a hole, or the shards did not meet: read it again in one go
};

class JournalShards {
public:
    // A read of the whole journal in shards of about shard_bytes (at least one byte). None when
    // the journal cannot be opened, holds a hole, or makes fewer than two shards: read it in one
    // go then (for_each_journal_line).
    static std::optional<JournalShards> whole(const files::FileAt& file, std::uint64_t shard_bytes);
    // A read that goes on from where an earlier one stopped, in shards of about shard_bytes of
    // what was appended, after the checks of continue_journal_lines (made here, before any shard
    // is read). None when any of them fails, when that read was not UTF-8 text for good, when a
    // hole follows, or when the bytes from its unfinished last line on make fewer than two
    // shards: read on in one go then (continue_journal_lines), which tells what else to do.
    static std::optional<JournalShards> read_on(const files::FileAt& file, const JournalEnd& from,
                                                const files::Identity& was, std::uint64_t shard_bytes);

    JournalShards(JournalShards&&) noexcept;
    JournalShards& operator=(JournalShards&&) noexcept;
    ~JournalShards();

    std::size_t count() const;
    // The bytes of the lines of shard i.
    std::uint64_t bytes(std::size_t i) const;
    // Reads shard i, handing each of its lines to visit, in file order. Each shard is read once;
    // different shards may be read at once by different threads, with visitors of their own.
    void read(std::size_t i, const std::function<void(std::string_view)>& visit);
    // Once every shard was read: how the read went, and (when Read or NotUtf8) where it ended as
    // the read in one go would have ended; trace, as for that read, is set whatever happened.
    ShardsRead finish(files::ReadTrace* trace, JournalEnd* end);

private:
    struct Shard;
    JournalShards(files::RegularFile file, const std::vector<std::uint64_t>& starts, std::optional<JournalEnd> from,
                  std::optional<files::BlockDigester> resumed);

    files::RegularFile file_;
    std::optional<JournalEnd> from_;                // where a read on goes on from
    std::optional<files::BlockDigester> resumed_;   // the first shard's digester, for a read on
    std::vector<Shard> shards_;
};

}  // namespace korvalle::journal
