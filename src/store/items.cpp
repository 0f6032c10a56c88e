// The store's reads of one item of one run: a conversation or an artifact. Both find the run
// and let a projection pick the item; neither touches the telemetry cache.
#include "src/store/store.hpp"

#include "src/payload/artifact.hpp"
#include "src/payload/conversation.hpp"

namespace korvalle::store {

namespace {

// The run's item as project finds it in the run's view, or not_found.
template <class Document, class Project>
RunDocument<Document> item_of_run(const RunStore& store, const contract::RunId& run, const contract::RunId& id,
                                  MemoryBudget* answers, BuildClaim claim, Project project,
                                  error::ApiError (*not_found)(const contract::RunId&)) {
    auto build = [&store, id, project, not_found](const SharedRun& found) -> Result<Document, error::ApiError> {
        std::optional<Document> document = project(*found, id.view());
        store.count_indexes(found);
        if (!document) return not_found(id);
        return std::move(*document);
    };
    return RunDocument<Document>(RunFinding(store, run, answers, std::move(claim)), std::move(build));
}

}  // namespace

RunDocument<std::string> RunStore::conversation_document(const contract::RunId& run, const contract::RunId& id,
                                                         MemoryBudget* answers) const {
    const auto project = [](const OpenedRun& opened, std::string_view session) {
        return payload::conversation(opened.view, session, opened.indexes_of());
    };
    BuildClaim claim({KeptIndexes::Piece::Sessions});
    return item_of_run<std::string>(*this, run, id, answers, std::move(claim), project,
                                    error::ApiError::conversation_not_found);
}

RunDocument<boost::json::value> RunStore::artifact_document(const contract::RunId& run, const contract::RunId& id,
                                                            MemoryBudget* answers) const {
    // A view read from a directory that another one has replaced under the run's name since (or
    // whose journal was replaced) answers nothing: the cache sees the change, and the run is
    // found again, so that the artifact comes from the directory there now. A name flipped
    // faster than that gives up.
    constexpr int looks = 3;
    auto build = [id, looked = 0](const SharedRun& found) mutable
        -> std::optional<Result<boost::json::value, error::ApiError>> {
        Result<boost::json::value, payload::ArtifactMissing> document = payload::artifact(found->view, id.view());
        if (document) return std::move(document).value();
        if (document.error() == payload::ArtifactMissing::ViewOutdated && ++looked < looks) return std::nullopt;
        return error::ApiError::artifact_not_found(id);
    };
    return RunDocument<boost::json::value>(RunFinding(*this, run, answers), std::move(build));
}

}  // namespace korvalle::store
