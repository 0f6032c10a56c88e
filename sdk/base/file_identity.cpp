#include "sdk/base/file_identity.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace korvalle::files {

namespace {

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// Failures that say something about the file or its path, and so hold until they change:
// anything else (descriptors or memory running out, an I/O fault) may pass by itself.
bool lasting(int error) {
    switch (error) {
    case 0:
    case ENOENT:
    case ENOTDIR:
    case EISDIR:
    case EINVAL:  // not a regular file
    case EFBIG:   // larger than a run file may be
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

}  // namespace

Identity Identity::of(const struct stat& st) {
    return Identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

std::optional<Identity> identity_of(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Identity::of(st);
}

OpenDirectory::OpenDirectory(const std::filesystem::path& path)
    : path_(path.native()),
      fd_(retrying([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); })) {
    while (path_.size() > 0 && path_.back() == '/') path_.pop_back();
}

// Resolving "dir/rest" resolves dir and then rest from where dir led, which is where the
// descriptor was opened: the same file, unless dir itself was moved or replaced meanwhile.
std::optional<Identity> OpenDirectory::identity_of(const std::filesystem::path& path) const {
    const std::string& whole = path.native();
    if (!fd_ || whole.size() <= path_.size() || whole.compare(0, path_.size(), path_) != 0 ||
        whole[path_.size()] != '/') {
        return files::identity_of(path);
    }
    std::size_t rest = path_.size();
    while (rest < whole.size() && whole[rest] == '/') ++rest;
    if (rest == whole.size()) return files::identity_of(path);
    struct stat st {};
    if (::fstatat(fd_.get(), whole.c_str() + rest, &st, 0) != 0) return std::nullopt;
    return Identity::of(st);
}

void SeenFiles::note(const std::filesystem::path& path, const ReadTrace& trace) {
    note(path, trace, trace.identity ? std::nullopt : identity_of(path));
}

void SeenFiles::note(const std::filesystem::path& path, const ReadTrace& trace, std::optional<Identity> found) {
    if (!lasting(trace.error)) sure = false;
    // A file that could not be opened is taken as stat finds it after the attempt: if it
    // changed in between, its change time is later than the attempt, which keeps the result
    // from being reused (see the cache of opened runs).
    files.push_back(Seen{path, trace.identity ? trace.identity : std::move(found)});
}

void SeenFiles::note_unread(const std::filesystem::path& path) { note_unread(path, identity_of(path)); }

void SeenFiles::note_unread(const std::filesystem::path& path, std::optional<Identity> found) {
    files.push_back(Seen{path, std::move(found)});
}

bool SeenFiles::unchanged() const {
    for (const Seen& seen : files) {
        if (identity_of(seen.path) != seen.identity) return false;
    }
    return true;
}

bool SeenFiles::unchanged(const OpenDirectory& dir) const {
    for (const Seen& seen : files) {
        if (dir.identity_of(seen.path) != seen.identity) return false;
    }
    return true;
}

std::optional<std::int64_t> SeenFiles::last_change_ns() const {
    std::optional<std::int64_t> last;
    for (const Seen& seen : files) {
        if (seen.identity && (!last || seen.identity->changed_ns() > *last)) last = seen.identity->changed_ns();
    }
    return last;
}

bool SeenFiles::settled_before(std::int64_t read_from) const {
    const std::optional<std::int64_t> changed = last_change_ns();
    return sure && (!changed || *changed < read_from - settle_ns);
}

}  // namespace korvalle::files
