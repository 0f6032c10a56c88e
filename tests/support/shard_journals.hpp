// Journals to read in shards and on from a base, against the same read in one go: the demo runs'
// journals changed the ways journals differ, and a runner that runs a read's shards on the
// calling thread. For the tests that compare views read in pieces with views read whole.
#pragma once

#include "sdk/base/clock.hpp"
#include "sdk/base/shards.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "tests/support/run_builder.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace korvalle::testing {

// Runs the shards one after another on the caller's thread, the last first, then takes them in,
// as a runner with threads to spare.
class BackwardsRunner final : public shards::Runner {
public:
    std::size_t width() override { return 4; }
    void run(std::size_t count, const std::function<void(std::size_t)>& shard,
             const std::function<void(std::size_t)>& then) override {
        ran += count;
        for (std::size_t i = count; i-- > 0;) shard(i);
        for (std::size_t i = 0; then && i < count; ++i) then(i);
    }
    std::size_t ran = 0;
};

// The demo runs' journals as they are and changed at random the ways journals differ: time stamps
// swapped (envelopes out of merge order across the shards), CRLF, blank lines and lines that are
// no envelopes, characters of several bytes, an unfinished last line, one that does not read yet,
// a byte that is never UTF-8. Then journals long enough for a checkpoint, in order and with a few
// envelopes late.
inline std::vector<std::string> journals_to_cut(std::mt19937& random) {
    std::vector<std::string> journals;
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs")) {
        if (!entry.is_directory()) continue;
        const std::vector<std::string> lines = journal::read_journal_lines(entry.path() / "events.jsonl");
        for (int variant = 0; variant < 7; ++variant) {
            std::vector<std::string> changed = lines;
            for (int k = 0; variant % 2 == 1 && k < 4; ++k) {
                std::string& a = changed[random() % changed.size()];
                std::string& b = changed[random() % changed.size()];
                const std::size_t at_a = a.find("\"ts\":\""), at_b = b.find("\"ts\":\"");
                if (at_a != std::string::npos && at_b != std::string::npos) {
                    std::swap_ranges(&a[at_a + 6], &a[at_a + 30], &b[at_b + 6]);
                }
            }
            std::string text;
            for (const std::string& line : changed) {
                switch (variant == 6 ? 3 : random() % 12) {
                case 0: text += line + "\r\n"; break;
                case 1: text += "\n  \n" + line + "\n"; break;
                case 2: text += "{\"not\":\"an envelope \xE2\x82\xAC\xF0\x9F\x98\x80\"}\n" + line + "\n"; break;
                default: text += line + "\n";
                }
            }
            if (variant == 2) text += lines.back();
            if (variant == 4) text += lines.back().substr(0, 9);
            if (variant == 5 && random() % 3 == 0) text.insert(text.size() / 2, "\xFF");
            journals.push_back(std::move(text));
        }
    }
    for (const bool late : {false, true}) {
        std::string text;
        for (int i = 0; i < 3000; ++i) {
            const int ms = late && i % 700 == 0 ? 100 * i - 5'000 : 100 * i;
            text += envelope_line({.ts = *clock::format_utc_ms(1'772'442'000'000 + ms), .source = "morvane",
                                            .kind = "turn-activity", .stream = "agent", .seq = static_cast<std::uint64_t>(i),
                                            .labels = fmt::format(R"({{"node":"n{}","round":1}})", i % 3),
                                            .payload = fmt::format(R"({{"name":"step","detail":"d{}"}})", i)}) +
                    "\n";
        }
        journals.push_back(std::move(text));
    }
    return journals;
}

}  // namespace korvalle::testing
