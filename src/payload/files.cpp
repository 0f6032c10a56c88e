// Reading a run's JSON files, and the per-node rows built from round results and plan steps.
#include "src/payload/files.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/views.hpp"

#include <algorithm>

namespace korvalle::payload {

namespace {
// Arrays and objects nest at most 127 levels in a run file; a deeper one is unusable.
constexpr int max_result_depth = 127;
}  // namespace

std::optional<boost::json::value> read_json_file(const files::FileAt& file, boost::json::storage_ptr storage,
                                                 files::ReadTrace* trace) {
    // Only regular files: a FIFO or device planted in a run directory must never block.
    const files::ReadResult read = files::read_regular(file);
    if (trace) *trace = files::ReadTrace{read.identity, read.error};
    return json_of_file(read, std::move(storage));
}

std::optional<boost::json::value> json_of_file(const files::ReadResult& read, boost::json::storage_ptr storage) {
    if (!read.bytes || !text::is_utf8(*read.bytes)) return std::nullopt;
    // Checked whole just now: its strings need no second look.
    json::Reader reader(*read.bytes, json::Utf8::Checked);
    reader.set_storage(std::move(storage));
    try {
        boost::json::value value = reader.read_value(1, max_result_depth);
        reader.finish();
        return value;
    } catch (const ReadingFailed&) {
        return std::nullopt;
    }
}

void reserve_document(std::string& text, const views::RunView& view) {
    text.reserve(view.envelopes.arena_bytes());
}

std::optional<std::pair<std::string_view, std::string_view>> recorded_status(const boost::json::value& entry) {
    const boost::json::object* object = entry.if_object();
    if (!object) return std::nullopt;
    const boost::json::value* id = object->if_contains("id");
    const boost::json::value* status = object->if_contains("status");
    if (!id || !id->is_string() || !status || !status->is_string()) return std::nullopt;
    return std::pair<std::string_view, std::string_view>{id->get_string(), status->get_string()};
}

std::optional<std::pair<std::string, Recorded>> recorded_entry(const boost::json::value& entry) {
    const auto status = recorded_status(entry);
    if (!status) return std::nullopt;
    Recorded recorded{std::string(status->second), std::nullopt};
    if (const boost::json::value* outcome = entry.get_object().if_contains("outcome"); outcome && outcome->is_string())
        recorded.outcome = std::string(outcome->get_string());
    return std::pair{std::string(status->first), std::move(recorded)};
}

boost::json::array step_rows(const std::optional<std::vector<plan::Step>>& steps,
                             const std::vector<std::string>& completed) {
    boost::json::array rows;
    if (!steps) return rows;
    for (const plan::Step& step : *steps) {
        bool done = std::find(completed.begin(), completed.end(), step.id) != completed.end();
        boost::json::object row;
        row["id"] = step.id;
        row["kind"] = step.kind == plan::NodeKind::Human ? "human" : "agent";
        if (step.persona)
            row["persona"] = *step.persona;
        else
            row["persona"] = nullptr;
        row["status"] = done ? "done" : "pending";
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace korvalle::payload
