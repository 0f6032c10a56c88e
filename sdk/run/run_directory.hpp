// A run's directory as a view was read from it, opened again for the files that the documents
// and the run list read beside the view (round plans and results, the listing of round
// directories, artifacts), so that no answer mixes the view's files with those of another
// directory put in the run's place under its name.
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

// One regular file of a run's directory read whole (files::read_regular), for a reader of one
// file of each of many runs (the run list's round results) at about the cost of opening it by
// path: the directory is opened from the runs root held open by the run's entry (its one name,
// links followed: an entry that links to a run is a run), and read from only when it is the
// directory that id names. When another directory is there, ESTALE, and nothing is read. No path
// is made.
files::ReadResult read_run_file(const files::Directory& runs_root, std::string_view entry, files::FileId id,
                                std::string_view relative);

}  // namespace korvalle::views
