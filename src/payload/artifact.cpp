// The artifact document.
#include "src/payload/artifact.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/run_directory.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/object.hpp>

#include <cerrno>

namespace korvalle::payload {

namespace {

const event::ArtifactRef* first_reference(const views::RunView& view, std::string_view id) {
    for (const event::Envelope& envelope : view.envelopes)
        for (const event::ArtifactRef& reference : envelope.artifacts)
            if (reference.id == id) return &reference;
    return nullptr;
}

}  // namespace

Result<boost::json::value, ArtifactMissing> artifact(const views::RunView& view, std::string_view id) {
    const event::ArtifactRef* reference = first_reference(view, id);
    if (!reference) return ArtifactMissing::NotFound;  // an unnamed file is never served
    // The file is looked for in the directory this view was read from: whatever the run's name
    // leads to by now, no other directory answers for it.
    const views::RunDirectory directory(view.paths.dir, view.directory);
    if (!directory.get()) {
        return directory.error() == ESTALE ? ArtifactMissing::ViewOutdated : ArtifactMissing::NotFound;
    }
    // A directory whose journal is not its own (a link out of it) serves no artifact.
    const std::optional<files::Identity> journal = view.journal_identity();
    const std::optional<files::Identity> held = directory.get()->identity_of(views::journal_file);
    if (!journal || !held) return ArtifactMissing::NotFound;
    if (!held->same_file(*journal)) return ArtifactMissing::ViewOutdated;
    // Only the tail is read, by seeking: an artifact may be far larger than what is shown.
    files::ReadResult tail =
        files::read_tail_inside(*directory.get(), "artifacts/" + std::string(id), artifact_tail_bytes);
    if (!tail.bytes) return ArtifactMissing::NotFound;

    boost::json::object document;
    document.emplace("id", id);
    document.emplace("kind", artifact_kind_word(reference->kind));
    document.emplace("content", text::lossy_utf8(*tail.bytes));
    document.emplace("truncated", tail.size > artifact_tail_bytes);
    return boost::json::value(std::move(document));
}

}  // namespace korvalle::payload
