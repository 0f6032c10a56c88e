#include "src/api/envelope.hpp"

#include "sdk/base/json.hpp"
#include "src/payload/payload.hpp"

namespace korvalle::api {

Stamped stamp(boost::json::value document) {
    // Constructed, not assigned: a JSON value assigned to keeps the target's memory resource and
    // copies the whole document into it, while a move construction keeps the document's own.
    return Stamped{.observed_at = payload::now_rfc3339(), .document = std::move(document)};
}

Stamped stamp_written(std::string object_text) {
    return stamp_written(std::make_shared<const std::string>(std::move(object_text)));
}

Stamped stamp_written(std::shared_ptr<const std::string> object_text) {
    return Stamped{.observed_at = payload::now_rfc3339(), .document = nullptr, .written = std::move(object_text)};
}

std::optional<Envelope> envelope_body(Stamped& stamped) {
    const auto& doc = stamped.document;
    if (!doc.is_object() && !doc.is_null()) return std::nullopt;
    std::string head;
    head.reserve(128);
    head += R"({"api_version":)";
    head += std::to_string(stamped.api_version);
    head += R"(,"telemetry_schema_version":)";
    head += std::to_string(stamped.telemetry_schema_version);
    head += R"(,"observed_at":)";
    json::write_to(head, boost::json::value(boost::json::string(stamped.observed_at)));
    if (doc.is_object()) {
        for (const auto& entry : doc.get_object()) {
            head += ',';
            json::write_to(head, boost::json::value(boost::json::string(entry.key())));
            head += ':';
            json::write_to(head, entry.value());
        }
    }
    // A written object's members follow as they are, sent after the head: the comma between
    // the two takes the place of its opening brace.
    if (stamped.written && stamped.written->size() > 2) {
        head += ',';
        return Envelope{std::move(head), server::BodyPiece(std::move(stamped.written), 1)};
    }
    head += '}';
    return Envelope{std::move(head), std::string()};
}

std::string_view unflattenable_kind(const boost::json::value& document) {
    switch (document.kind()) {
    case boost::json::kind::bool_: return "a boolean";
    case boost::json::kind::int64:
    case boost::json::kind::uint64: return "an integer";
    case boost::json::kind::double_: return "a float";
    case boost::json::kind::string: return "a string";
    case boost::json::kind::array: return "a sequence";
    default: return "a map";
    }
}

}  // namespace korvalle::api
