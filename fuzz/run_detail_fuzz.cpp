// Fuzzes the run detail over a whole run directory: the input holds the journal, the round-1
// result file and the round-1 plan file, separated by lines "---". Whatever they hold (payload
// members of unexpected types, huge numbers, rounds far in the future, files that do not parse),
// the document is written, never a crash or a hang.
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/run_detail/run_detail.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;

const fs::path& run_dir() {
    static const fs::path dir = [] {
        char pattern[] = "/tmp/korvalle-run-detail-fuzz-XXXXXX";
        fs::path root = ::mkdtemp(pattern);
        fs::create_directories(root / "fuzz" / "round-01");
        std::ofstream(root / "fuzz" / "launch.json")
            << R"({"run_id":"fuzz","plan":"p.yaml","graph":"default","launcher":"codex","session":"s","pid":0,)"
               R"("host":"elsewhere","started_at":"2026-03-01T00:00:00.000Z","round_budget":4,"heartbeat_interval":30,"adoptions":0})";
        return root / "fuzz";
    }();
    return dir;
}

// The next part of the input up to a line "---", or the rest.
std::string_view next_part(std::string_view& input) {
    std::size_t at = input.find("\n---\n");
    std::string_view part = input.substr(0, at);
    input = at == std::string_view::npos ? std::string_view() : input.substr(at + 5);
    return part;
}

void write(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvalle;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const fs::path& dir = run_dir();
    write(dir / "events.jsonl", next_part(input));
    write(dir / "round-01" / "result.json", next_part(input));
    write(dir / "round-01" / "plan.json", next_part(input));
    auto opened = views::RunView::open(ledger::RunPaths{"fuzz", dir});
    if (!opened.ok()) std::abort();  // the launch record is always there and valid
    if (payload::run_detail(opened.value(), true, nullptr, {.this_host = "localhost", .now_ms = views::now_ms()}).empty()) std::abort();
    return 0;
}
