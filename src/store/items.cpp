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
                                  MemoryBudget* answers, Project project,
                                  error::ApiError (*not_found)(const contract::RunId&)) {
    auto build = [&store, id, project, not_found](const SharedRun& found) -> Result<Document, error::ApiError> {
        std::optional<Document> document = project(*found, id.view());
        store.count_indexes(found);
        if (!document) return not_found(id);
        return std::move(*document);
    };
    return RunDocument<Document>(RunFinding(store, run, answers), std::move(build));
}

}  // namespace

RunDocument<std::string> RunStore::conversation_document(const contract::RunId& run, const contract::RunId& id,
                                                         MemoryBudget* answers) const {
    const auto project = [](const OpenedRun& opened, std::string_view session) {
        return payload::conversation(opened.view, session, opened.indexes_of());
    };
    return item_of_run<std::string>(*this, run, id, answers, project, error::ApiError::conversation_not_found);
}

RunDocument<boost::json::value> RunStore::artifact_document(const contract::RunId& run, const contract::RunId& id,
                                                            MemoryBudget* answers) const {
    const auto project = [](const OpenedRun& opened, std::string_view artifact) {
        return payload::artifact(opened.view, artifact);
    };
    return item_of_run<boost::json::value>(*this, run, id, answers, project, error::ApiError::artifact_not_found);
}

}  // namespace korvalle::store
