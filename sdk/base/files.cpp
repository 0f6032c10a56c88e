// Reading run files: regular files only, opened so that nothing can block the thread.
#include "sdk/base/files.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvalle::files {

namespace {

// O_NONBLOCK: opening a FIFO must not wait for a writer.
Descriptor open_regular(const FileAt& file, struct stat& st, int& error) {
    if (file.unreachable_error() != 0) {
        error = file.unreachable_error();
        return {};
    }
    if (file.directory()) return file.directory()->open_named(file.relative(), st, error);
    Descriptor fd = retrying([&] { return ::open(file.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
    if (!fd) error = unless_exhausted(errno);
    return regular_only(std::move(fd), st, error);
}

// Appends everything from fd up to its end, or at most limit bytes.
int read_to_end(int fd, std::string& out, std::size_t limit) {
    char buf[65536];
    while (out.size() < limit) {
        std::size_t want = std::min(sizeof buf, limit - out.size());
        ssize_t got = ::read(fd, buf, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return unless_exhausted(errno);
        }
        if (got == 0) break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return 0;
}

// The whole of the regular file open at fd, st its fstat: at most max_bytes of it (EFBIG when it
// is larger), never past the size it had when opened.
void read_whole(const Descriptor& fd, const struct stat& st, std::size_t max_bytes, ReadResult& result) {
    result.size = static_cast<std::uint64_t>(st.st_size);
    result.identity = Identity::of(st);
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size > max_bytes) {
        result.error = EFBIG;
        return;
    }
    std::string bytes;
    bytes.reserve(size);
    result.error = read_to_end(fd.get(), bytes, size);
    if (result.error == 0) result.bytes = std::move(bytes);
}

// The last max_bytes of the file, never reading past the size it had when opened, so a file
// that grows meanwhile cannot stretch the read.
void read_tail_of(int fd, const struct stat& st, std::size_t max_bytes, ReadResult& result) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    result.size = size;
    const std::uint64_t keep = std::min<std::uint64_t>(size, max_bytes);
    if (size > keep && ::lseek(fd, static_cast<off_t>(size - keep), SEEK_SET) < 0) {
        result.error = errno;
        return;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(keep));
    result.error = read_to_end(fd, bytes, static_cast<std::size_t>(keep));
    if (result.error == 0) result.bytes = std::move(bytes);
}

}  // namespace

FileAt FileAt::unreachable(const std::filesystem::path& directory_path, std::string_view relative, int error) {
    FileAt file(directory_path / relative);
    file.unreachable_ = error;
    return file;
}

std::optional<Identity> identity_of(const FileAt& file) {
    if (file.unreachable_error() != 0) return std::nullopt;
    if (file.directory()) return file.directory()->stat_named(file.relative());
    return identity_of(file.path());
}

void note_read(SeenFiles& seen, const FileAt& file, const ReadTrace& trace) {
    seen.note(file.path(), trace, trace.identity ? std::nullopt : identity_of(file));
}

ReadResult read_regular(const FileAt& file, std::size_t max_bytes) {
    ReadResult result;
    struct stat st {};
    if (const Descriptor fd = open_regular(file, st, result.error)) read_whole(fd, st, max_bytes, result);
    return result;
}

ReadResult read_regular_at(const Descriptor& directory, std::string_view relative, std::size_t max_bytes) {
    ReadResult result;
    struct stat st {};
    if (const Descriptor fd = open_named_at(directory, relative, st, result.error)) read_whole(fd, st, max_bytes, result);
    return result;
}

std::optional<RegularFile> RegularFile::open(const FileAt& file, int& error) {
    struct stat st {};
    Descriptor fd = open_regular(file, st, error);
    if (!fd) return std::nullopt;
    return RegularFile(std::move(fd), Identity::of(st));
}

int RegularFile::read_chunks(const std::function<void(std::string_view)>& consume, std::uint64_t from,
                             bool& folded_holes) const {
    return read_range(consume, from, identity_.size, folded_holes);
}

int RegularFile::read_range(const std::function<void(std::string_view)>& consume, std::uint64_t from,
                            std::uint64_t to, bool& folded_holes) const {
    const auto end = static_cast<off_t>(std::min(to, identity_.size));
    char buffer[65536];
    off_t at = static_cast<off_t>(std::min<std::uint64_t>(from, static_cast<std::uint64_t>(end)));
    while (at < end) {
        // Where the next data lies; a file system that cannot tell reads the holes as NULs.
        const off_t data = ::lseek(fd_.get(), at, SEEK_DATA);
        if (data > at || (data < 0 && errno == ENXIO)) {
            folded_holes = true;
            consume(std::string_view("\0", 1));
            if (data < 0 || data >= end) return 0;
            at = data;
        }
        const auto want = static_cast<std::size_t>(std::min<off_t>(sizeof buffer, end - at));
        const ssize_t got = ::pread(fd_.get(), buffer, want, at);
        if (got < 0) {
            if (errno == EINTR) continue;
            return unless_exhausted(errno);
        }
        if (got == 0) return 0;  // the file shrank
        consume(std::string_view(buffer, static_cast<std::size_t>(got)));
        at += got;
    }
    return 0;
}

int RegularFile::read_at(std::uint64_t at, std::size_t count, std::string& out) const {
    out.resize(count);
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = ::pread(fd_.get(), out.data() + filled, count - filled, static_cast<off_t>(at + filled));
        if (got < 0) {
            if (errno == EINTR) continue;
            out.resize(filled);
            return unless_exhausted(errno);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    out.resize(filled);
    return 0;
}

std::uint64_t RegularFile::first_hole(std::uint64_t from) const {
    const off_t hole = ::lseek(fd_.get(), static_cast<off_t>(from), SEEK_HOLE);
    return hole < 0 ? identity_.size : static_cast<std::uint64_t>(hole);
}

int read_regular_chunks(const FileAt& file, const std::function<void(std::string_view)>& consume, ReadTrace* trace,
                        std::uint64_t from) {
    ReadTrace read;
    std::optional<RegularFile> opened = RegularFile::open(file, read.error);
    if (opened) {
        read.identity = opened->identity();
        read.error = opened->read_chunks(consume, from, read.folded_holes);
    }
    if (trace) *trace = read;
    return read.error;
}

ReadResult read_tail(const std::filesystem::path& path, std::size_t max_bytes) {
    ReadResult result;
    struct stat st {};
    Descriptor fd = open_regular(path, st, result.error);
    if (!fd) return result;
    read_tail_of(fd.get(), st, max_bytes, result);
    return result;
}

ReadResult read_tail_inside(const Directory& directory, std::string_view relative, std::size_t max_bytes,
                            Resolution how) {
    ReadResult result;
    struct stat st {};
    Descriptor fd = directory.open_regular(relative, st, result.error, how);
    if (!fd) return result;
    read_tail_of(fd.get(), st, max_bytes, result);
    return result;
}

bool is_regular(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        unless_exhausted(errno);
        return false;
    }
    return S_ISREG(st.st_mode);
}

bool is_directory(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        unless_exhausted(errno);
        return false;
    }
    return S_ISDIR(st.st_mode);
}

void write_whole(int fd, std::string_view text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}


}  // namespace korvalle::files
