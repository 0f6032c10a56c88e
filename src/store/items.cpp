// The store's reads of one item of one run: a conversation or an artifact. Both find the run
// and let a projection pick the item; neither touches the telemetry cache.
#include "src/store/store.hpp"

#include "src/payload/artifact.hpp"
#include "src/payload/conversation.hpp"

namespace korvalle::store {

namespace {

using Item = std::variant<boost::json::value, error::ApiError>;

template <class Project>
Item item_of_run(std::string_view root, const contract::RunId& run, const contract::RunId& id,
                 Project project, error::ApiError (*not_found)(const contract::RunId&)) {
    auto found = find_run(root, run);
    if (auto* error = std::get_if<error::ApiError>(&found)) return std::move(*error);
    std::optional<boost::json::value> document = project(std::get<views::RunView>(found), id.view());
    if (!document) return not_found(id);
    return std::move(*document);
}

}  // namespace

Item RunStore::conversation(const contract::RunId& run, const contract::RunId& id) const {
    return item_of_run(root_, run, id, payload::conversation, error::ApiError::conversation_not_found);
}

Item RunStore::artifact(const contract::RunId& run, const contract::RunId& id) const {
    return item_of_run(root_, run, id, payload::artifact, error::ApiError::artifact_not_found);
}

}  // namespace korvalle::store
