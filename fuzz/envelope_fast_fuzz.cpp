// Fuzzes the fast envelope reader against the strict one: for a line that is valid UTF-8, a
// line the fast reader accepts is one the strict reader accepts, into an equal envelope; and
// reading the line as the journal does (Checked, the fast reader first, the strict reader when
// it is unsure) gives exactly the strict reader's message or envelope. Both run into envelopes
// made in the default storage and in an arena, as a run view's envelopes are.
#include "sdk/base/arena.hpp"
#include "sdk/base/text.hpp"
#include "sdk/journal/event.hpp"
#include "sdk/journal/event_fast.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace event = korvalle::event;

// A small first block: most lines need a few hundred bytes, and each input makes its own arena.
constexpr std::size_t kFirstBlock = 4096;

// The message of a fault, or "" for a line that reads.
template <class T>
std::string error_text(const korvalle::Result<T>& read) {
    return read.ok() ? std::string() : korvalle::message(read.error());
}

void check(std::string_view line, const korvalle::Result<event::Envelope>& strict,
           const boost::json::storage_ptr& storage) {
    event::Envelope fast(storage);
    if (event::read_envelope_fast(line, fast) && !(strict.ok() && fast == *strict)) std::abort();
    event::Envelope journal(storage);
    const std::string error = error_text(event::read_envelope_into(line, journal, korvalle::json::Utf8::Checked));
    if (error != error_text(strict) || (strict.ok() && !(journal == *strict))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    // The fast reader is only given journal lines, which are valid UTF-8; other inputs are kept
    // out of the corpus.
    if (!korvalle::text::is_utf8(line)) return -1;
    const auto strict = event::read_envelope(line);
    check(line, strict, {});
    korvalle::json::Arena arena(kFirstBlock);
    check(line, strict, arena.storage());
    return 0;
}
