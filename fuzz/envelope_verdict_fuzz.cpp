// Fuzzes the verdict on journal lines, read_envelope_verdict, which a journal's open reads its
// lines with (nothing thrown, no message made), against the strict reader that makes located
// messages: a line reads under the one exactly when it reads under the other, into equal
// envelopes, read as a journal line (known UTF-8, the fast reader first) or not, in the default
// storage and in an arena, as a run view's envelopes are; a line that does not read holds nothing
// in the arena once it is dropped; and no line shorter than the shortest envelope reads.
#include "sdk/base/arena.hpp"
#include "sdk/base/text.hpp"
#include "sdk/journal/event.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

namespace event = korvalle::event;
namespace json = korvalle::json;

// A small first block: most lines need a few hundred bytes, and each input makes its own arena.
constexpr std::size_t kFirstBlock = 4096;

void check(bool holds) {
    if (!holds) std::abort();
}

void check_verdict(std::string_view line, const korvalle::Result<event::Envelope>& strict, json::Utf8 utf8,
                   const boost::json::storage_ptr& storage) {
    event::Envelope envelope(storage);
    const bool read = event::read_envelope_verdict(line, envelope, utf8);
    check(read == strict.ok());
    check(!read || envelope == *strict);
}

// Whatever the reading of a line that does not read took in an arena goes back once its envelope
// is gone, but for a block it took to write in, kept empty for the next values.
void check_taken_back(std::string_view line, json::Utf8 utf8, json::Arena& arena) {
    const json::Arena::Mark before = arena.mark();
    const std::size_t bytes = arena.bytes();
    {
        event::Envelope envelope(arena.storage());
        check(!event::read_envelope_verdict(line, envelope, utf8));
    }
    arena.release_to(before);
    const json::Arena::Mark after = arena.mark();
    if (after.blocks == before.blocks) {
        check(arena.bytes() == bytes && after.next == before.next);
    } else {
        check(after.blocks == before.blocks + 1);
        check(arena.bytes() - bytes == static_cast<std::size_t>(after.end - after.next));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto strict = event::read_envelope(line);
    check(strict.ok() || korvalle::message(strict.error()).find(" at line ") != std::string_view::npos);
    check(!strict.ok() || size >= event::shortest_envelope);
    // Journal lines are valid UTF-8; other lines are only read as unchecked.
    const bool utf8 = korvalle::text::is_utf8(line);
    for (const json::Utf8 way : {json::Utf8::Unchecked, json::Utf8::Checked}) {
        if (way == json::Utf8::Checked && !utf8) continue;
        check_verdict(line, strict, way, {});
        json::Arena arena(kFirstBlock);
        check_verdict(line, strict, way, arena.storage());
        if (!strict.ok()) check_taken_back(line, way, arena);
    }
    return 0;
}
