#include "sdk/run/run_directory.hpp"

namespace korvalle::views {

RunDirectory::RunDirectory(const std::filesystem::path& path, files::FileId id)
    : path_(path), directory_(files::Directory::reopen(path, id, error_)) {}

files::FileAt RunDirectory::file(std::string_view relative) const {
    if (directory_) return files::FileAt(*directory_, relative);
    return files::FileAt::unreachable(path_, relative, error_);
}

}  // namespace korvalle::views
