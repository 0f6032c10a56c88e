// Files beneath a directory held open: the kernel's resolution where it has one, else a walk of
// single-name opens that resolves links itself.
#include "sdk/base/beneath.hpp"

#include "sdk/base/exhaustion.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvalle::files {

namespace fs = std::filesystem;

namespace {

// As many links as the kernel's own resolution follows.
constexpr int link_limit = 40;

using Names = std::vector<std::string>;

Descriptor open_at(int dir, const std::string& name, int flags) {
    return retrying([&] { return ::openat(dir, name.c_str(), flags | O_CLOEXEC); });
}

Descriptor open_by_kernel(int dir, const std::string& relative, std::uint64_t flags) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return retrying([&] { return static_cast<int>(::syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how)); });
}

// Failures of the kernel's resolution that the walk decides instead: no openat2 in this kernel,
// or a filter that refuses it; a way that left the directory (it may come back in by the
// directory's own name); a rename that raced the kernel's check of "..".
bool walk_decides(int error) {
    return error == ENOSYS || error == EPERM || error == EINVAL || error == E2BIG || error == EXDEV ||
           error == EAGAIN;
}

// The descriptor; when it is empty, error is set from errno.
Descriptor or_error(Descriptor fd, int& error) {
    if (!fd) error = unless_exhausted(errno);
    return fd;
}

// Which file a descriptor holds: fstat of a descriptor held cannot fail but for want of memory.
FileId id_of(const Descriptor& fd) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) unless_exhausted(errno);
    return Identity::of(st).id();
}

// The names of path in order, empty ones and "." left out.
Names names_of(std::string_view path) {
    Names names;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view name = path.substr(0, slash);
        if (!name.empty() && name != ".") names.emplace_back(name);
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return names;
}

// Where the kernel says an open descriptor's file is; none when /proc cannot tell.
std::optional<std::string> descriptor_path(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buffer[PATH_MAX + 1];
    const ssize_t length = ::readlink(link.c_str(), buffer, PATH_MAX);
    if (length <= 0 || buffer[0] != '/') return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::optional<std::string> real_path(const fs::path& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return std::nullopt;
    std::string out(real);
    std::free(real);
    return out;
}

// One walk from the root descriptor, one name at a time, links read and resolved here. Inside
// the root it holds the directories it entered, so ".." goes back to the one it came from, never
// to whatever a directory's parent is by now; a way that leaves the root goes on by name alone,
// looking at nothing outside, until it names the root again or ends.
class Walk {
public:
    Walk(int root, const fs::path& opened_as) : root_(root), opened_as_(opened_as) {}

    // The entry the way ends at (never a link), opened O_PATH; empty with error set when the way
    // ends outside, at a directory on the way, or at nothing.
    Descriptor reach(std::string_view relative, int& error) {
        go_on_with(relative);
        while (!pending_.empty()) {
            std::string name = std::move(pending_.front());
            pending_.pop_front();
            if (name == "..") {
                if (!up()) break;
                continue;
            }
            if (outside_) {
                outside_->push_back(std::move(name));
                come_back_if_named();
                continue;
            }
            Descriptor entry = open_at(top(), name, O_PATH | O_NOFOLLOW);
            struct stat at {};
            if (!entry || ::fstat(entry.get(), &at) != 0) {
                error = unless_exhausted(errno);
                return {};
            }
            if (S_ISLNK(at.st_mode)) {
                if (!follow(entry, error)) return {};
            } else if (pending_.empty()) {
                last_name_ = std::move(name);
                return entry;
            } else if (S_ISDIR(at.st_mode)) {
                entered_.push_back(std::move(entry));
            } else {
                error = ENOTDIR;
                return {};
            }
        }
        error = outside_ || lost_ ? EXDEV : EISDIR;
        return {};
    }

    // The entry reach gave, opened again with flags from the directory it was found in; a link
    // put there meanwhile is not followed.
    Descriptor reopen(int flags, int& error) const {
        return or_error(open_at(top(), last_name_, flags | O_NOFOLLOW), error);
    }

private:
    int top() const { return entered_.empty() ? root_ : entered_.back().get(); }

    void go_on_with(std::string_view path) {
        Names names = names_of(path);
        pending_.insert(pending_.begin(), names.begin(), names.end());
    }

    // A link's target goes on from the link's directory, or, absolute, from "/" by name.
    bool follow(const Descriptor& link, int& error) {
        if (++links_ > link_limit) {
            error = ELOOP;
            return false;
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(link.get(), "", target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
            error = length < 0 ? unless_exhausted(errno) : ENAMETOOLONG;
            return false;
        }
        const std::string_view text(target, static_cast<std::size_t>(length));
        if (text.empty()) {
            error = ENOENT;
            return false;
        }
        if (text.front() == '/') {
            entered_.clear();
            outside_ = Names{};
            come_back_if_named();
        }
        go_on_with(text);
        return true;
    }

    // "..": back to the directory entered before, or, above the root, by name from where the
    // root is (the path it was opened by when /proc cannot tell). False when neither is known.
    bool up() {
        if (outside_) {
            if (!outside_->empty()) outside_->pop_back();
        } else if (!entered_.empty()) {
            entered_.pop_back();
            return true;
        } else {
            const std::vector<Names>& names = root_names();
            if (names.empty()) {
                lost_ = true;
                return false;
            }
            outside_ = names.front();
            if (!outside_->empty()) outside_->pop_back();
        }
        come_back_if_named();
        return true;
    }

    void come_back_if_named() {
        for (const Names& name : root_names()) {
            if (*outside_ != name) continue;
            outside_.reset();
            entered_.clear();
            return;
        }
    }

    // Where the root descriptor is (first, when known), and the path it was opened by. Either
    // only ever leads back to the descriptor itself.
    const std::vector<Names>& root_names() {
        if (!root_names_) {
            root_names_.emplace();
            std::optional<std::string> where = descriptor_path(root_);
            if (!where) where = real_path(opened_as_);
            if (where) root_names_->push_back(names_of(*where));
            std::error_code failed;
            const fs::path absolute = fs::absolute(opened_as_, failed);
            if (!failed) root_names_->push_back(names_of(absolute.lexically_normal().string()));
        }
        return *root_names_;
    }

    const int root_;
    const fs::path& opened_as_;
    std::vector<Descriptor> entered_;  // directories entered below the root, innermost last
    std::optional<Names> outside_;     // the way's place while it is outside the root, by name
    std::deque<std::string> pending_;  // the names still to go
    std::optional<std::vector<Names>> root_names_;
    std::string last_name_;            // of the entry reach gave
    int links_ = 0;
    bool lost_ = false;
};

// The entry relative leads to beneath root, opened O_PATH: by the kernel where it decides, else by
// walk (walked then tells so).
Descriptor reach(int root, const std::string& relative, Resolution how, Walk& walk, bool& walked, int& error) {
    if (how == Resolution::kernel_first) {
        Descriptor seen = open_by_kernel(root, relative, O_PATH);
        if (seen || !walk_decides(errno)) return or_error(std::move(seen), error);
    }
    walked = true;
    return walk.reach(relative, error);
}

}  // namespace

std::optional<Directory> Directory::open(const fs::path& path, int& error) {
    Descriptor fd = retrying([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (!fd) {
        error = unless_exhausted(errno);
        return std::nullopt;
    }
    return Directory(std::move(fd), path);
}

std::optional<Directory> Directory::reopen(const fs::path& path, FileId id, int& error) {
    std::optional<Directory> directory = open(path, error);
    if (directory && directory->id() != id) {
        error = ESTALE;
        return std::nullopt;
    }
    return directory;
}

FileId Directory::id() const { return id_of(fd_); }

Descriptor Directory::open_named(std::string_view relative, struct stat& st, int& error) const {
    return open_named_at(fd_, relative, st, error);
}

Descriptor Directory::reopen_named(std::string_view relative, FileId id, int& error) const {
    Descriptor directory = or_error(open_at(fd_.get(), std::string(relative), O_PATH | O_DIRECTORY), error);
    if (directory && id_of(directory) != id) {
        error = ESTALE;
        return {};
    }
    return directory;
}

Descriptor open_named_at(const Descriptor& directory, std::string_view relative, struct stat& st, int& error) {
    const std::string name(relative);
    return regular_only(or_error(open_at(directory.get(), name, O_RDONLY | O_NONBLOCK), error), st, error);
}

std::optional<Identity> Directory::stat_named(std::string_view relative) const {
    struct stat st {};
    if (::fstatat(fd_.get(), std::string(relative).c_str(), &st, 0) != 0) {
        unless_exhausted(errno);
        return std::nullopt;
    }
    return Identity::of(st);
}

bool Directory::is_directory_named(std::string_view relative) const {
    struct stat st {};
    if (::fstatat(fd_.get(), std::string(relative).c_str(), &st, 0) != 0) {
        unless_exhausted(errno);
        return false;
    }
    return S_ISDIR(st.st_mode);
}

int Directory::list(const std::function<void(std::string_view)>& visit) const {
    // An O_PATH descriptor cannot be listed: the directory is opened again from it, for reading.
    Descriptor readable = open_at(fd_.get(), ".", O_RDONLY | O_DIRECTORY);
    if (!readable) return unless_exhausted(errno);
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(readable.get()), ::closedir);
    if (!listing) return unless_exhausted(errno);
    static_cast<void>(readable.release());  // the listing owns it now
    // readdir returns null both at the end and on a failure.
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") visit(name);
        errno = 0;
    }
    return unless_exhausted(errno);
}

std::optional<Identity> Directory::identity_of(std::string_view relative, Resolution how) const {
    Walk walk(fd_.get(), path_);
    bool walked = false;
    int error = 0;
    Descriptor seen = reach(fd_.get(), std::string(relative), how, walk, walked, error);
    struct stat st {};
    if (!seen || ::fstat(seen.get(), &st) != 0) {
        if (seen) unless_exhausted(errno);
        return std::nullopt;
    }
    return Identity::of(st);
}

Descriptor Directory::open_regular(std::string_view relative, struct stat& st, int& error, Resolution how) const {
    const std::string path(relative);
    Walk walk(fd_.get(), path_);
    bool walked = false;
    // Looked at first (O_PATH), so that a device node is never opened for reading: opening some
    // of them acts on the device.
    if (!regular_only(reach(fd_.get(), path, how, walk, walked, error), st, error)) return {};
    Descriptor file = walked ? walk.reopen(O_RDONLY | O_NONBLOCK, error)
                             : or_error(open_by_kernel(fd_.get(), path, O_RDONLY | O_NONBLOCK), error);
    return regular_only(std::move(file), st, error);
}

}  // namespace korvalle::files
