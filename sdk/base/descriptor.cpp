#include "sdk/base/descriptor.hpp"

#include "sdk/base/exhaustion.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace korvalle::files {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Descriptor regular_only(Descriptor fd, struct stat& st, int& error) {
    if (!fd) return fd;
    if (::fstat(fd.get(), &st) != 0) {
        error = unless_exhausted(errno);
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return {};
    }
    return fd;
}

}  // namespace korvalle::files
