// Loading a plan file: JSON or YAML by extension and content.
#include "sdk/plan/plan.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/base/text.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace korvalle::plan {

namespace {

// The maximum nesting a JSON plan file may have to take the JSON route: 127 levels, as the
// JSON parser allows; deeper text is read as YAML.
constexpr int kJsonRouteDepth = 127;

std::string path_text(const std::filesystem::path& path) { return text::lossy_utf8(path.native()); }

// The extension of the path's last component, by the platform's usual rule: trailing
// separators and "." components are ignored, ".." and roots have no name, and the extension
// is what follows the name's last dot unless that dot starts the name.
std::optional<std::string_view> extension(std::string_view path) {
    std::string_view name;
    std::size_t end = path.size();
    for (;;) {
        while (end > 0 && path[end - 1] == '/') --end;
        if (end == 0) return std::nullopt;
        std::size_t start = path.rfind('/', end - 1);
        start = start == std::string_view::npos ? 0 : start + 1;
        name = path.substr(start, end - start);
        // A "." component is skipped, except where it leads a relative path ("./" or ".").
        if (name == "." && start > 0) {
            end = start;
            continue;
        }
        break;
    }
    if (name == "." || name == "..") return std::nullopt;
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    return name.substr(dot + 1);
}

bool is_json_name(std::string_view path) {
    auto ext = extension(path);
    if (!ext || ext->size() != 4) return false;
    static constexpr std::string_view lower = "json";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = (*ext)[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

std::string_view json_kind(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::null: return "null";
        case boost::json::kind::string: return "string";
        case boost::json::kind::array: return "list";
        case boost::json::kind::object: return "mapping";
        default: return "scalar";
    }
}

// A file that was read but does not hold a plan; the text names the file.
SdkError not_a_plan(const std::filesystem::path& path, std::string_view detail) {
    return SdkError{SdkError::Message{path_text(path) + ": " + std::string(detail)}};
}

}  // namespace

Result<Plan, SdkError> Plan::load(const std::filesystem::path& path) { return load(path, Plan{}); }

Result<Plan, SdkError> Plan::load(const std::filesystem::path& path, Plan spent, files::ReadTrace* trace) {
    return load(files::FileAt(path), std::move(spent), trace);
}

Result<Plan, SdkError> Plan::load(const files::FileAt& file, Plan spent, files::ReadTrace* trace) {
    const std::filesystem::path& path = file.path();
    files::ReadResult read = files::read_regular(file);
    if (trace) *trace = files::ReadTrace{read.identity, read.error};
    if (!read.bytes) return SdkError{SdkError::Io{path, read.error, text::os_error(read.error)}};
    std::string content = std::move(*read.bytes);
    // A json-named file goes the JSON way only when its whole text is one JSON value; any
    // other text, broken JSON included, is read as YAML. A plan that reads from a JSON object
    // is such a text (the plan reader takes nothing without checking it, and nests far less
    // than the limit), so the text is checked on its own only when that reading fails. Such a
    // plan is valid UTF-8 too, as the reader checks every text and takes nothing else outside
    // ASCII: the whole file is checked for UTF-8 only when the plan did not read from JSON.
    const bool json_name = is_json_name(path.native());
    const bool object = json_name && json::Reader(content).peek() == json::Token::Object;
    std::optional<Fault> json_fault;
    if (object) {
        Result<Plan> plan = read_plan_json(content, std::move(spent));
        if (plan) return std::move(plan).value();
        json_fault = std::move(plan).error();
    }
    if (!text::is_utf8(content)) {
        return SdkError{SdkError::Io{path, 0, "stream did not contain valid UTF-8"}};
    }
    if (json_name && json::valid(content, kJsonRouteDepth)) {
        if (json_fault) return not_a_plan(path, message(*json_fault));
        const Result<boost::json::value> parsed = json::parse(content, kJsonRouteDepth);
        return not_a_plan(path, "must be a JSON mapping, got " + std::string(json_kind(*parsed)));
    }
    // Read over what is left of the spent plan: all of it when the JSON way was not tried.
    Result<Plan> plan = read_plan_yaml(content, std::move(spent));
    if (!plan) return not_a_plan(path, message(plan.error()));
    return std::move(plan).value();
}

}  // namespace korvalle::plan
