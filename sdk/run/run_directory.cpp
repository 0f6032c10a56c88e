#include "sdk/run/run_directory.hpp"

namespace korvalle::views {

RunDirectory::RunDirectory(const std::filesystem::path& path, files::FileId id)
    : path_(path), directory_(files::Directory::reopen(path, id, error_)) {}

files::FileAt RunDirectory::file(std::string_view relative) const {
    if (directory_) return files::FileAt(*directory_, relative);
    return files::FileAt::unreachable(path_, relative, error_);
}

files::ReadResult read_run_file(const files::Directory& runs_root, std::string_view entry, files::FileId id,
                                std::string_view relative) {
    files::ReadResult read;
    // The entry is looked up once, and the file opened from the descriptor that lookup gave, whose
    // directory is the one checked: no rename of the entry meanwhile can lead the open elsewhere.
    const files::Descriptor directory = runs_root.reopen_named(entry, id, read.error);
    if (!directory) return read;
    return files::read_regular_at(directory, relative);
}

}  // namespace korvalle::views
