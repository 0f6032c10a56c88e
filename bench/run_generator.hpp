// Generated runs roots for the server and memory benchmarks: runs of one planned round with
// four nodes, the last still running (so every run is listed), and agent sessions that fill
// each journal up to a given size. A run may also have its round finished and its result file
// written, so that every list reads that file.
#pragma once

#include "bench/scratch.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace korvalle::bench {

namespace fs = std::filesystem;

inline std::string envelope(const std::string& ts, const std::string& stream, std::uint64_t seq, const char* source,
                     const char* kind, const std::string& labels, const std::string& payload) {
    return fmt::format(R"({{"v":1,"ts":"{}","stream":"{}","seq":{},"source":"{}","kind":"{}","labels":{},"payload":{}}})",
                       ts, stream, seq, source, kind, labels, payload) +
           "\n";
}

inline const std::string bench_plan =
    R"({"schema_version":1,"goal":{"text":"benchmark"},"name":"bench","tasks":[)"
    R"({"id":"scan","task":"Scan the tree.","persona":"scout"},)"
    R"({"id":"build","task":"Build it.","persona":"worker","deps":["scan"]},)"
    R"({"id":"test","task":"Test it.","persona":"worker","deps":["build"]},)"
    R"({"id":"ship","task":"Ship it.","persona":"pr-author","deps":["test"]}]})";

inline void write_launch(const fs::path& dir, const std::string& id, int index) {
    std::ofstream(dir / "launch.json")
        << fmt::format(R"({{"run_id":"{}","plan":"plans/bench.yaml","graph":"default","launcher":"codex",)"
                       R"("session":"sess-{:04}","pid":0,"host":"bench-host","started_at":"{}",)"
                       R"("round_budget":8,"heartbeat_interval":30,"adoptions":0}})",
                       id, index, timestamp(static_cast<std::uint64_t>(index) * 3'600'000));
}

// A journal being written: its clock, the driver's sequence numbers and the bytes so far.
struct Journal {
    std::ofstream out;
    std::uint64_t ms;
    std::uint64_t seq = 1;
    std::size_t written = 0;

    void put(const std::string& line) {
        out << line;
        written += line.size();
    }
    void driver(std::uint64_t step_ms, const char* kind, const std::string& labels, const std::string& payload) {
        put(envelope(timestamp(ms += step_ms), "driver", seq++, "pipeline", kind, labels, payload));
    }
};

// One node's agent session: tool activity, with a completed turn every fifty, until the journal
// holds up_to bytes.
inline void write_session(Journal& journal, const std::string& id, int index, const char* node, std::size_t up_to) {
    std::string session = fmt::format("ses-{}-{}", index, node);
    std::string labels = fmt::format(
        R"({{"run_id":"{}","node":"{}","round":1,"persona":"worker","session":"{}","role":"agent"}})", id, node,
        session);
    const std::string detail(300, 'x');
    std::uint64_t turn_seq = 1;
    while (journal.written < up_to) {
        journal.put(envelope(timestamp(journal.ms += 250), "morvane/" + session, turn_seq++, "morvane",
                             "turn-activity", labels,
                             fmt::format(R"({{"kind":"tool","name":"Read","detail":"src/file-{}.cpp {}"}})", turn_seq,
                                         detail)));
        if (turn_seq % 50 == 0) {
            journal.put(envelope(timestamp(journal.ms += 250), "morvane/" + session, turn_seq++, "morvane",
                                 "turn-completed", labels,
                                 R"({"message":"step done","model":"bench-model","usage":{"duration":4.5,)"
                                 R"("tokens_in":1800,"tokens_out":220,"cache_read":1200,"cache_write":140,)"
                                 R"("cost":0.0118}})"));
        }
    }
}

// round_done: the round ends after the sessions, with a result file that names the four nodes
// (the last one still not done, so the run stays listed).
inline void generate_run(const fs::path& root, int index, std::size_t journal_bytes, bool round_done = false) {
    std::string id = fmt::format("bench-run-{:03}", index);
    fs::path dir = root / id;
    fs::create_directories(dir);
    write_launch(dir, id, index);
    Journal journal{std::ofstream(dir / "events.jsonl", std::ios::binary), static_cast<std::uint64_t>(index) * 3'600'000};
    std::string run_labels = fmt::format(R"({{"run_id":"{}"}})", id);
    std::string round_labels = fmt::format(R"({{"run_id":"{}","round":1}})", id);
    journal.driver(0, "run-started", run_labels, R"({"plan":)" + bench_plan + "}");
    journal.driver(1000, "round-started", round_labels, R"({"plan":)" + bench_plan + "}");
    const char* nodes[] = {"scan", "build", "test", "ship"};
    for (int n = 0; n < 4; ++n) {
        std::string node_labels = fmt::format(R"({{"run_id":"{}","node":"{}","round":1}})", id, nodes[n]);
        journal.driver(1000, "node-dispatched", node_labels, "{}");
        write_session(journal, id, index, nodes[n], journal_bytes * static_cast<std::size_t>(n + 1) / 4);
        // The last node stays running, so the run is in its round and always listed.
        if (n < 3) journal.driver(1000, "node-settled", node_labels, R"({"status":"done","outcome":"completed"})");
    }
    if (!round_done) return;
    journal.driver(1000, "round-finished", round_labels, R"({"ok":true})");
    fs::create_directories(dir / "round-01");
    std::ofstream(dir / "round-01" / "result.json")
        << R"({"nodes":[{"id":"scan","status":"done"},{"id":"build","status":"done"},)"
           R"({"id":"test","status":"done"},{"id":"ship","status":"failed"}]})";
}

// The bytes of every run's journal under a generated root.
inline std::uint64_t journal_bytes(const fs::path& root) {
    std::uint64_t total = 0;
    for (const auto& run : fs::directory_iterator(root)) total += fs::file_size(run.path() / "events.jsonl");
    return total;
}

}  // namespace korvalle::bench
