// The artifact document: the tail of one file that the pipeline stored under a run's
// "artifacts" directory and that the run's journal names.
#pragma once

#include "sdk/base/result.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// The most of an artifact's end that a document shows, in bytes.
inline constexpr std::size_t artifact_tail_bytes = 65536;

// Why there is no artifact document.
enum class ArtifactMissing {
    NotFound,  // no reference carries the id, or its file cannot be read
    // The run's name leads to another directory than the one the view was read from, or the
    // directory holds another journal: a view read now may have the artifact.
    ViewOutdated,
};

// {"id","kind","content","truncated"} of the artifact the id names: "kind" the kind word of the
// first journal reference carrying the id (merge order), "content" the file's last 65536 bytes
// with invalid UTF-8 replaced by U+FFFD, "truncated" whether the file holds more.
//
// NotFound when no reference carries the id, or when the file "artifacts/<id>" of the run cannot
// be read: missing, not a regular file, or, links resolved, outside the run's own directory
// (agents write these files, and the server is not authenticated). The file is resolved from one
// descriptor of the run directory, opened only when it is the directory the view was read from
// (RunView::directory) and while the journal the view was read from lies beneath it, so that no
// rename in the runs root can point the read elsewhere.
// The id must already have passed the identifier rule.
Result<boost::json::value, ArtifactMissing> artifact(const views::RunView& view, std::string_view id);

}  // namespace korvalle::payload
