#include "src/api/envelope.hpp"

#include "sdk/base/json_write.hpp"
#include "src/payload/vocabulary.hpp"

namespace korvalle::api {

Stamped stamp(boost::json::value document) {
    // Constructed, not assigned: a JSON value assigned to keeps the target's memory resource and
    // copies the whole document into it, while a move construction keeps the document's own.
    return Stamped{.observed_at = payload::now_rfc3339(), .document = std::move(document)};
}

Stamped stamp_written(Written object_text) {
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
    // A written object's members follow as they are, sent after the head: the comma that ends
    // the head stands for its opening brace.
    if (stamped.written && text::size_of(stamped.written->fragments) > 2) {
        head += ',';
        Envelope envelope{std::move(head), std::move(stamped.written->fragments)};
        text::Fragment& first = envelope.members.front();
        first.bytes.remove_prefix(1);
        if (first.bytes.empty()) envelope.members.erase(envelope.members.begin());
        return envelope;
    }
    head += '}';
    return Envelope{std::move(head), {}};
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
