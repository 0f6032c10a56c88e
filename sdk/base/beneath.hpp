// Files beneath a directory held open by descriptor. Every step of a way is taken from that
// descriptor, so renaming entries above the directory, or putting another directory (or a
// link) in its place under its name, can never lead a way outside the directory that was opened.
// Running out of descriptors or memory throws Exhausted (exhaustion.hpp).
#pragma once

#include "sdk/base/descriptor.hpp"
#include "sdk/base/file_identity.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

struct stat;

namespace korvalle::files {

// How a way beneath a directory is resolved: by the kernel (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_MAGICLINKS) where it has that and the way never leaves the directory, else by a walk
// here that opens one name at a time without following links (walk_only: by that walk alone).
enum class Resolution { kernel_first, walk_only };

class Directory {
public:
    // The directory at path, a link there followed (the directory itself may be a link); none
    // with error set (ENOENT, ENOTDIR, EACCES...) when it cannot be opened.
    static std::optional<Directory> open(const std::filesystem::path& path, int& error);
    // The same, only when it is still the directory that id names: another one in its place under
    // that name answers ESTALE.
    static std::optional<Directory> reopen(const std::filesystem::path& path, FileId id, int& error);

    // Which directory the descriptor holds, whatever its name leads to by now.
    FileId id() const;
    // The path it was opened by.
    const std::filesystem::path& path() const { return path_; }

    // What relative names beneath the directory now, resolved as open_regular resolves it; none
    // when nothing is there or the way leads out.
    std::optional<Identity> identity_of(std::string_view relative, Resolution how = Resolution::kernel_first) const;

    // Opens the regular file that relative names beneath the directory, for reading (O_NONBLOCK),
    // and fills st from the descriptor opened. Links on the way are followed while the way stays
    // beneath the directory. A way may leave it and come back in by one of the directory's own
    // names (where the descriptor is, or the path it was opened by): it goes on from the
    // descriptor then, never from whatever that name holds by now, and nothing outside is ever
    // looked at. A way that ends outside answers EXDEV, one through more than 40 links ELOOP.
    // Only a regular file is opened for reading: a directory answers EISDIR, anything else EINVAL.
    // An empty descriptor with error set when it fails.
    Descriptor open_regular(std::string_view relative, struct stat& st, int& error,
                            Resolution how = Resolution::kernel_first) const;

    // The directory's own files, named from its descriptor as open(2) names a relative path from
    // a working directory: links followed wherever they lead, so that nothing about the way
    // changes but where it starts. open_named opens a regular file for reading (O_NONBLOCK) as
    // open_regular does; stat_named is what stat finds there (none: nothing);
    // is_directory_named whether that is a directory.
    Descriptor open_named(std::string_view relative, struct stat& st, int& error) const;
    // The directory that relative names, opened (O_PATH) as open_named opens a file, only when it
    // is the directory that id names: another one there answers ESTALE. A bare descriptor, for a
    // reader that names its files from it (open_named_at) and needs no path for them.
    Descriptor reopen_named(std::string_view relative, FileId id, int& error) const;
    std::optional<Identity> stat_named(std::string_view relative) const;
    bool is_directory_named(std::string_view relative) const;
    // Hands the name of each of the directory's entries ("." and ".." left out) to visit, in the
    // order the listing gives them; 0, or the errno that ended the listing.
    int list(const std::function<void(std::string_view)>& visit) const;

private:
    Directory(Descriptor fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

    Descriptor fd_;               // O_PATH
    std::filesystem::path path_;  // as it was opened
};

// Directory::open_named from a bare descriptor of a directory (Directory::reopen_named).
Descriptor open_named_at(const Descriptor& directory, std::string_view relative, struct stat& st, int& error);

}  // namespace korvalle::files
