#include "sdk/journal/journal_shards.hpp"

#include "sdk/journal/detail/line_splitter.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace korvalle::journal {

namespace {

constexpr std::uint64_t block = files::BlockDigests::block_bytes;

std::uint64_t round_up(std::uint64_t at, std::uint64_t step) { return (at + step - 1) / step * step; }

// The first line that begins at or after offset at (0 < at), found from a line feed at at - 1 or
// later; the file's size when no line begins there. None when reading fails.
std::optional<std::uint64_t> line_start_from(const files::RegularFile& file, std::uint64_t at, std::string& buffer) {
    const std::uint64_t size = file.identity().size;
    // Lines are mostly short: the first look is small.
    std::size_t window = 4096;
    for (std::uint64_t scan = at - 1; scan < size;) {
        if (file.read_at(scan, static_cast<std::size_t>(std::min<std::uint64_t>(window, size - scan)), buffer) != 0) {
            return std::nullopt;
        }
        if (buffer.empty()) break;  // the file shrank
        if (const std::size_t feed = buffer.find('\n'); feed != std::string::npos) return scan + feed + 1;
        scan += buffer.size();
        window = 65536;
    }
    return size;
}

// Where the shards' lines begin: the first at first, every other at the first line that begins
// at or after a multiple of shard_bytes past origin. Empty when reading fails.
std::vector<std::uint64_t> shard_starts(const files::RegularFile& file, std::uint64_t first, std::uint64_t origin,
                                        std::uint64_t shard_bytes) {
    const std::uint64_t size = file.identity().size;
    std::vector<std::uint64_t> starts{first};
    std::string buffer;
    for (std::uint64_t nominal = origin - origin % shard_bytes + shard_bytes; nominal < size;) {
        const std::optional<std::uint64_t> start = line_start_from(file, nominal, buffer);
        if (!start) return {};
        if (*start >= size) break;
        starts.push_back(*start);
        nominal = *start - *start % shard_bytes + shard_bytes;
    }
    return starts;
}

}  // namespace

// What reading one shard found.
struct JournalShards::Shard {
    std::uint64_t lines_from = 0;  // where its lines begin
    std::uint64_t lines_to = 0;    // where the next shard's begin; the file's size for the last
    SplitFigures figures;
    bool usable = false;           // its text is UTF-8 (and, for the last, its unfinished line too)
    bool met_next = false;         // all its bytes were read, ending where a line begins
    bool in_doubt = false;         // a read on's last complete line or kept line changed
    int error = 0;
    bool folded_holes = false;
    files::BlockDigests digests;   // of the blocks that begin among its lines
};

JournalShards::JournalShards(files::RegularFile file, const std::vector<std::uint64_t>& starts,
                             std::optional<JournalEnd> from, std::optional<files::BlockDigester> resumed)
    : file_(std::move(file)), from_(std::move(from)), resumed_(std::move(resumed)), shards_(starts.size()) {
    for (std::size_t i = 0; i < starts.size(); ++i) {
        shards_[i].lines_from = starts[i];
        shards_[i].lines_to = i + 1 < starts.size() ? starts[i + 1] : file_.identity().size;
    }
}

JournalShards::JournalShards(JournalShards&&) noexcept = default;
JournalShards& JournalShards::operator=(JournalShards&&) noexcept = default;
JournalShards::~JournalShards() = default;

std::optional<JournalShards> JournalShards::whole(const files::FileAt& file, std::uint64_t shard_bytes) {
    int error = 0;
    std::optional<files::RegularFile> opened = files::RegularFile::open(file, error);
    if (!opened || opened->first_hole(0) < opened->identity().size) return std::nullopt;
    const std::vector<std::uint64_t> starts = shard_starts(*opened, 0, 0, std::max<std::uint64_t>(shard_bytes, 1));
    if (starts.size() < 2) return std::nullopt;
    return JournalShards(std::move(*opened), starts, std::nullopt, std::nullopt);
}

std::optional<JournalShards> JournalShards::read_on(const files::FileAt& file, const JournalEnd& from,
                                                    const files::Identity& was, std::uint64_t shard_bytes) {
    int error = 0;
    std::optional<files::RegularFile> opened = files::RegularFile::open(file, error);
    if (!opened) return std::nullopt;
    std::optional<files::BlockDigester> digester = resume_checks(*opened, from, was);
    if (!digester || opened->first_hole(from.end) < opened->identity().size) return std::nullopt;
    const std::vector<std::uint64_t> starts =
        shard_starts(*opened, from.tail_start, from.end, std::max<std::uint64_t>(shard_bytes, 1));
    if (starts.size() < 2) return std::nullopt;
    return JournalShards(std::move(*opened), starts, from, std::move(digester));
}

std::size_t JournalShards::count() const { return shards_.size(); }

std::uint64_t JournalShards::bytes(std::size_t i) const { return shards_[i].lines_to - shards_[i].lines_from; }

void JournalShards::read(std::size_t i, const std::function<void(std::string_view)>& visit) {
    Shard& shard = shards_[i];
    const bool last = i + 1 == shards_.size();
    const std::uint64_t size = file_.identity().size;
    // The blocks that begin among its lines: the first shard's from the start of the file (or
    // from where a read on's digests go on), the others' from the first block boundary in them.
    const bool reading_on = i == 0 && from_;
    files::BlockDigester digester = reading_on ? *resumed_
                                    : i == 0   ? files::BlockDigester()
                                               : files::BlockDigester(std::min(size, round_up(shard.lines_from, block)));
    const std::uint64_t digest_to = last ? size : std::min(size, round_up(shard.lines_to, block));
    const std::uint64_t read_from = reading_on ? from_->last_line_start : shard.lines_from;

    std::optional<ReadOnLines> read_on;
    std::optional<LineSplitter> splitter;
    if (reading_on) {
        read_on.emplace(visit, *from_);
    } else {
        splitter.emplace(visit, shard.lines_from, shard.lines_from);
    }
    std::uint64_t at = read_from;
    const auto consume = [&](std::string_view chunk) {
        if (at < digest_to) digester.feed(at, chunk.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), digest_to - at))));
        if (at < shard.lines_to) {
            const std::string_view lines = chunk.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), shard.lines_to - at)));
            if (read_on) {
                read_on->feed(lines);
            } else {
                splitter->feed(lines);
            }
        }
        at += chunk.size();
    };
    shard.error = file_.read_range(consume, read_from, std::max(shard.lines_to, digest_to), shard.folded_holes);
    shard.digests = digester.finish();
    LineSplitter* lines = read_on ? read_on->finish() : &*splitter;
    if (!lines) {
        shard.in_doubt = true;
        return;
    }
    shard.met_next = lines->at_line_start() && lines->figures().offset == shard.lines_to;
    shard.usable = last ? lines->finish() : lines->figures().usable;
    shard.in_doubt = lines->kept_line_changed();
    shard.figures = lines->figures();
}

ShardsRead JournalShards::finish(files::ReadTrace* trace, JournalEnd* end) {
    files::ReadTrace read;
    read.identity = file_.identity();
    bool usable = true;
    bool met = true;
    bool in_doubt = false;
    for (std::size_t i = 0; i < shards_.size(); ++i) {
        const Shard& shard = shards_[i];
        if (read.error == 0) read.error = shard.error;
        read.folded_holes = read.folded_holes || shard.folded_holes;
        usable = usable && shard.usable;
        // A shard whose text is not UTF-8 stopped splitting at its fault: where it ended tells
        // nothing then.
        if (i + 1 < shards_.size() && shard.usable && !shard.met_next) met = false;
        in_doubt = in_doubt || shard.in_doubt;
    }
    if (trace) *trace = read;
    if (read.error != 0 || read.folded_holes || !met) return ShardsRead::Again;
    if (in_doubt) return from_ ? ShardsRead::InDoubt : ShardsRead::Again;

    // The last shard's figures, with the last complete line of the shard before when it ended
    // none, and the first fault of all.
    SplitFigures figures = shards_.back().figures;
    if (!figures.ended_a_line && shards_.size() > 1) {
        const SplitFigures& before = shards_[shards_.size() - 2].figures;
        figures.last_line_start = before.last_line_start;
        figures.last_line_hash = before.last_line_hash;
        figures.last_line_known = before.last_line_known;
    }
    figures.fault_at.reset();
    for (const Shard& shard : shards_) {
        if (shard.figures.fault_at) {
            figures.fault_at = shard.figures.fault_at;
            break;
        }
    }
    // The read in one go hands the unfinished last line over only while the text before it is.
    if (!usable) {
        figures.tail_visited = false;
        figures.tail_hash = 0;
    }
    if (end) {
        *end = end_of(figures, usable, read);
        end->prefix = std::move(shards_.front().digests);
        for (std::size_t i = 1; i < shards_.size(); ++i) end->prefix.append(std::move(shards_[i].digests));
        if (from_) end->read_ons = from_->read_ons + 1;
    }
    return usable ? ShardsRead::Read : ShardsRead::NotUtf8;
}

}  // namespace korvalle::journal
