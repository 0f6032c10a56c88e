#include "tests/support/run_builder.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

namespace korvalle::testing {

namespace fs = std::filesystem;

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += fmt::format("\\u{:04x}", c);
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string envelope_line(const Event& e) {
    std::string out = fmt::format(
        R"({{"v":1,"ts":{},"stream":{},"seq":{},"source":{},"kind":{},"labels":{},"payload":{})",
        quote(e.ts), quote(e.stream), e.seq, quote(e.source), quote(e.kind), e.labels, e.payload);
    if (!e.artifacts.empty()) out += fmt::format(R"(,"artifacts":{})", e.artifacts);
    out += '}';
    return out;
}

void write_file(const fs::path& path, std::string_view bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void append_file(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot append to " + path.string());
}

void overwrite_file(const fs::path& path, std::uint64_t offset, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                                        static_cast<ssize_t>(bytes.size());
    if (fd >= 0) ::close(fd);
    if (!written) throw std::runtime_error("cannot write over " + path.string());
}

bool punch_hole(const fs::path& path, std::uint64_t offset, std::uint64_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const bool punched = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                                     static_cast<off_t>(length)) == 0;
    ::close(fd);
    return punched;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

RunBuilder::RunBuilder(fs::path dir, std::string id) : dir_(std::move(dir)), id_(std::move(id)) {}

RunBuilder& RunBuilder::launch(const Launch& f) {
    return launch_text(fmt::format(
        R"({{"run_id":{},"plan":{},"graph":{},"launcher":{},"session":{},"pid":{},"host":{},)"
        R"("started_at":{},"round_budget":{},"heartbeat_interval":{},"adoptions":{}}})",
        quote(f.run_id.empty() ? id_ : f.run_id), quote(f.plan), quote(f.graph), quote(f.launcher),
        quote(f.session), f.pid, quote(f.host), quote(f.started_at), f.round_budget,
        f.heartbeat_interval, f.adoptions));
}

RunBuilder& RunBuilder::launch_text(std::string_view text) {
    write_file(dir_ / "launch.json", text);
    return *this;
}

RunBuilder& RunBuilder::event(Event e) {
    if (e.seq == 0) e.seq = next_seq_++;
    return line(envelope_line(e));
}

RunBuilder& RunBuilder::line(std::string_view text) {
    std::string bytes(text);
    bytes += '\n';
    return journal_bytes(bytes);
}

RunBuilder& RunBuilder::journal_bytes(std::string_view bytes) {
    append_file(dir_ / "events.jsonl", bytes);
    return *this;
}

RunBuilder& RunBuilder::round_plan(std::uint64_t round, std::string_view text) {
    return file(fs::path(fmt::format("round-{:02}", round)) / "plan.json", text);
}

RunBuilder& RunBuilder::round_result(std::uint64_t round, std::string_view text) {
    return file(fs::path(fmt::format("round-{:02}", round)) / "result.json", text);
}

RunBuilder& RunBuilder::artifact(std::string_view name, std::string_view bytes) {
    return file(fs::path("artifacts") / fs::path(name), bytes);
}

RunBuilder& RunBuilder::file(const fs::path& relative, std::string_view bytes) {
    write_file(dir_ / relative, bytes);
    return *this;
}

RunsRoot::RunsRoot() {
    std::string pattern = (fs::temp_directory_path() / "korvalle-runs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

RunsRoot::~RunsRoot() {
    std::error_code ec;
    // Tests may leave directories without permissions behind; give them back first.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

RunBuilder RunsRoot::run(const std::string& id) {
    fs::path dir = path_ / id;
    fs::create_directories(dir);
    return RunBuilder(dir, id);
}

}  // namespace korvalle::testing
