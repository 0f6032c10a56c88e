// An open file descriptor owned by one holder, and the two steps every open of a run file
// shares: retrying an open that a signal interrupted, and refusing what is not a regular file.
#pragma once

#include <cerrno>
#include <utility>

struct stat;

namespace korvalle::files {

// Closed when dropped.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up to another owner (fdopendir's listing): no longer closed here.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// The descriptor open() returns, called again while a signal interrupts it; empty with errno set
// when it fails.
template <class Open>
Descriptor retrying(Open open) {
    int fd;
    do {
        fd = open();
    } while (fd < 0 && errno == EINTR);
    return Descriptor(fd);
}

// The descriptor, once fstat fills st and shows a regular file; else empty with error set (EISDIR
// for a directory, EINVAL for anything else; left as it is when fd is already empty). Running
// out of descriptors or memory throws Exhausted (exhaustion.hpp).
Descriptor regular_only(Descriptor fd, struct stat& st, int& error);

}  // namespace korvalle::files
