// The artifact document.
#include "src/payload/artifact.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/object.hpp>

namespace korvalle::payload {

namespace {

const event::ArtifactRef* first_reference(const views::RunView& view, std::string_view id) {
    for (const event::Envelope& envelope : view.envelopes)
        for (const event::ArtifactRef& reference : envelope.artifacts)
            if (reference.id == id) return &reference;
    return nullptr;
}

}  // namespace

std::optional<boost::json::value> artifact(const views::RunView& view, std::string_view id) {
    const event::ArtifactRef* reference = first_reference(view, id);
    if (!reference) return std::nullopt;  // an unnamed file is never served
    // The file is looked for in the directory that holds the journal this view was read from:
    // whatever the run's name leads to by now, no other directory answers for it.
    const std::optional<files::Identity> journal = view.journal_identity();
    if (!journal) return std::nullopt;
    // Only the tail is read, by seeking: an artifact may be far larger than what is shown.
    files::ReadResult tail = files::read_tail_inside(view.paths.dir, "artifacts/" + std::string(id),
                                                     files::Landmark{views::journal_file, *journal}, artifact_tail_bytes);
    if (!tail.bytes) return std::nullopt;

    boost::json::object document;
    document.emplace("id", id);
    document.emplace("kind", artifact_kind_word(reference->kind));
    document.emplace("content", text::lossy_utf8(*tail.bytes));
    document.emplace("truncated", tail.size > artifact_tail_bytes);
    return document;
}

}  // namespace korvalle::payload
