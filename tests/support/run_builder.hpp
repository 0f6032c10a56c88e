// Builds runs roots for tests: real directories in a fresh temporary directory, removed again
// when the RunsRoot goes out of scope. Journal lines are written as raw text so that tests can
// write anything, garbage included; envelope_line() builds a well-formed line.
#pragma once

// Tests fill Launch and Event with designated initializers and rely on the defaults of the
// members they leave out; GCC 12 still warns about those members under -Wextra.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace korvalle::testing {

// The launch record's eleven fields; an empty run_id writes the run's own id.
struct Launch {
    std::string run_id;
    std::string plan = "plans/demo.yaml";
    std::string graph = "default";
    std::string launcher = "codex";
    std::string session = "sess-0001";
    std::uint64_t pid = 0;  // wide so that tests can write out-of-range values
    std::string host = "build-host-elsewhere";
    std::string started_at = "2026-03-02T09:00:00.000Z";
    std::uint64_t round_budget = 8;
    std::uint64_t heartbeat_interval = 30;
    std::uint64_t adoptions = 0;
};

// One journal envelope. labels, payload and artifacts are raw JSON texts; an empty artifacts
// text leaves the member out. seq 0 takes the builder's next number (1, 2, ...).
struct Event {
    std::string ts = "2026-03-02T09:00:00.000Z";
    std::string source = "pipeline";
    std::string kind;
    std::string stream = "driver";
    std::uint64_t seq = 0;
    std::string labels = "{}";
    std::string payload = "{}";
    std::string artifacts;
};

// The JSON text of one envelope (no line feed).
std::string envelope_line(const Event& event);
// A JSON string literal of text, escaped.
std::string quote(std::string_view text);

class RunBuilder {
public:
    RunBuilder(std::filesystem::path dir, std::string id);

    const std::filesystem::path& dir() const { return dir_; }
    const std::string& id() const { return id_; }

    // "launch.json" from the fields, or from raw text.
    RunBuilder& launch(const Launch& fields = {});
    RunBuilder& launch_text(std::string_view text);

    // Appends one envelope line / one raw line (a line feed is added) / raw bytes (nothing
    // added) to "events.jsonl".
    RunBuilder& event(Event event);
    RunBuilder& line(std::string_view text);
    RunBuilder& journal_bytes(std::string_view bytes);

    // "round-NN/plan.json" and "round-NN/result.json".
    RunBuilder& round_plan(std::uint64_t round, std::string_view text);
    RunBuilder& round_result(std::uint64_t round, std::string_view text);
    // "artifacts/<name>".
    RunBuilder& artifact(std::string_view name, std::string_view bytes);
    // Any file below the run directory, parents created.
    RunBuilder& file(const std::filesystem::path& relative, std::string_view bytes);

private:
    std::filesystem::path dir_;
    std::string id_;
    std::uint64_t next_seq_ = 1;
};

class RunsRoot {
public:
    RunsRoot();
    ~RunsRoot();
    RunsRoot(const RunsRoot&) = delete;
    RunsRoot& operator=(const RunsRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Creates the run directory (if needed) and returns a builder for it.
    RunBuilder run(const std::string& id);

private:
    std::filesystem::path path_;
};

// Writes bytes to a file, replacing it; creates the parent directories.
void write_file(const std::filesystem::path& path, std::string_view bytes);
// Appends bytes to a file.
void append_file(const std::filesystem::path& path, std::string_view bytes);
// Writes bytes over the file's own from offset on, in place: the same file, its size kept unless
// they reach past its end.
void overwrite_file(const std::filesystem::path& path, std::uint64_t offset, std::string_view bytes);
// Gives the file's bytes [offset, offset + length) back to the file system, its size kept: they
// read as NULs, a hole. False where the file system cannot.
bool punch_hole(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length);
// The whole file ("" when it cannot be read).
std::string read_text(const std::filesystem::path& path);

}  // namespace korvalle::testing
