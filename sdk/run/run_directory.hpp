// A run's directory as a view was read from it, opened again for the files that the documents
// read beside the view (round plans and results, the listing of round directories, artifacts),
// so that a document never mixes the view's files with those of another directory put in the
// run's place under its name.
#pragma once

#include "sdk/base/beneath.hpp"
#include "sdk/base/file_identity.hpp"
#include "sdk/base/files.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace korvalle::views {

class RunDirectory {
public:
    // The directory at path, opened from its name now, when it is still the directory id names
    // (a view's RunView::directory): every file is then read from the one descriptor. When
    // another directory is there (ESTALE) or none, no file is read at all.
    RunDirectory(const std::filesystem::path& path, files::FileId id);

    // The file that relative names in the directory: read from the descriptor, or, when the
    // directory could not be had, a file whose every read fails with that errno. It must not
    // outlive this object.
    files::FileAt file(std::string_view relative) const;
    // The directory, when it could be had.
    const files::Directory* get() const { return directory_ ? &*directory_ : nullptr; }
    // 0, or why it could not be had.
    int error() const { return error_; }

private:
    std::filesystem::path path_;
    int error_ = 0;
    std::optional<files::Directory> directory_;
};

}  // namespace korvalle::views
