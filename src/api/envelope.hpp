// The stamped document that the store's read operations hand to the route handlers: the two
// version numbers of the read API, the time at which the document was complete, and the
// document itself.
#pragma once

#include "src/contract/contract.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::api {

inline constexpr std::uint32_t api_version = contract::api_version;
inline constexpr std::uint32_t telemetry_schema_version = contract::telemetry_schema_version;

struct Stamped {
    std::uint32_t api_version = api::api_version;
    std::uint32_t telemetry_schema_version = api::telemetry_schema_version;
    std::string observed_at;
    boost::json::value document;
    // The document as the text of a JSON object, for a document written as it was made; when
    // set, document is null and the members come from the text.
    std::optional<std::string> written = std::nullopt;
};

// Stamps a finished document: reads the clock now, so call it only once the document (and any
// telemetry it waited for) is complete.
Stamped stamp(boost::json::value document);
// The same for a document written as the text of a JSON object by the compact writer.
Stamped stamp_written(std::string object_text);

// The success body: {"api_version":2,"telemetry_schema_version":12,"observed_at":"…"} with the
// entries of an object document appended in their own order (a null document adds nothing).
// Returns nullopt for any other kind of document, which cannot be flattened. A written
// document's text is taken into the body rather than copied: it can be tens of megabytes.
std::optional<std::string> envelope_body(Stamped& stamped);
// The word for a document kind that cannot be flattened ("a boolean", "a sequence", ...).
std::string_view unflattenable_kind(const boost::json::value& document);

}  // namespace korvalle::api
