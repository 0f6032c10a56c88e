// Fuzzes the journal read in shards against the read in one go. The input's first byte sets the
// shards' size (1 to 64 bytes, so that a short journal makes many), its second where a first read
// stops before the rest is appended; the rest is the journal. Read whole, the shards hand over
// the lines the read in one go does and end where it does; opened, a view parsed in shards is the
// view parsed in one go; read on from the first read, the grown view is too. The shards run one
// after another, the last first, so that nothing may depend on their order.
#include "sdk/journal/journal_lines.hpp"
#include "sdk/journal/journal_shards.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/same_view.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

const fs::path& run_dir() {
    static const fs::path dir = [] {
        char pattern[] = "/tmp/korvalle-open-shards-fuzz-XXXXXX";
        fs::path root = ::mkdtemp(pattern);
        fs::create_directories(root / "fuzz");
        std::ofstream(root / "fuzz" / "launch.json")
            << R"({"run_id":"fuzz","plan":"p.yaml","graph":"default","launcher":"codex","session":"s","pid":0,)"
               R"("host":"elsewhere","started_at":"2026-03-01T00:00:00.000Z","round_budget":4,"heartbeat_interval":30,"adoptions":0})";
        return root / "fuzz";
    }();
    return dir;
}

void write(const fs::path& path, std::string_view bytes, std::ios::openmode mode) {
    std::ofstream(path, std::ios::binary | mode).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class BackwardsRunner final : public shards::Runner {
public:
    std::size_t width() override { return 2; }
    void run(std::size_t count, const std::function<void(std::size_t)>& shard,
             const std::function<void(std::size_t)>& then) override {
        for (std::size_t i = count; i-- > 0;) shard(i);
        for (std::size_t i = 0; then && i < count; ++i) then(i);
    }
};

void check(bool holds) {
    if (!holds) std::abort();
}

// The lines of the whole journal, in shards against in one go.
void check_lines(const fs::path& journal, std::uint64_t shard_bytes) {
    std::vector<std::string> whole;
    journal::JournalEnd whole_end;
    const bool usable = journal::for_each_journal_line(
        journal, [&](std::string_view line) { whole.emplace_back(line); }, nullptr, &whole_end);
    std::optional<journal::JournalShards> shards = journal::JournalShards::whole(journal, shard_bytes);
    if (!shards) return;
    std::vector<std::vector<std::string>> each(shards->count());
    for (std::size_t i = shards->count(); i-- > 0;) {
        shards->read(i, [&](std::string_view line) { each[i].emplace_back(line); });
    }
    journal::JournalEnd end;
    const journal::ShardsRead how = shards->finish(nullptr, &end);
    check(how == (usable ? journal::ShardsRead::Read : journal::ShardsRead::NotUtf8));
    check(testing::end_differences(end, whole_end, usable).empty());
    if (!usable) return;
    std::vector<std::string> lines;
    for (const auto& shard : each) lines.insert(lines.end(), shard.begin(), shard.end());
    check(lines == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return -1;
    const std::uint64_t shard_bytes = 1 + data[0] % 64;
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t split = text.size() * data[1] / 255;
    const fs::path& dir = run_dir();
    const fs::path journal = dir / "events.jsonl";
    const ledger::RunPaths paths{"fuzz", dir};
    BackwardsRunner runner;
    const views::JournalFanout fanout{&runner, shard_bytes};

    write(journal, text, std::ios::trunc);
    check_lines(journal, shard_bytes);
    const auto one = views::RunView::open(paths);
    const auto sharded = views::RunView::open(paths, std::nullopt, fanout);
    check(one.ok() && sharded.ok() && testing::view_differences(sharded.value(), one.value()).empty());

    write(journal, text.substr(0, split), std::ios::trunc);
    const views::RunView base = views::RunView::open(paths).value();
    write(journal, text.substr(split), std::ios::app);
    const std::optional<views::RunView> grown = views::RunView::grown(base);
    const std::optional<views::RunView> grown_in_shards = views::RunView::grown(base, fanout);
    check(grown.has_value() == grown_in_shards.has_value());
    if (grown) check(testing::view_differences(*grown_in_shards, *grown).empty());
    return 0;
}
