// The stamped document that the store's read operations hand to the route handlers: the two
// version numbers of the read API, the time at which the document was complete, and the
// document itself.
#pragma once

#include "sdk/base/fragments.hpp"
#include "src/contract/contract.hpp"
#include "src/http/message.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::api {

inline constexpr std::uint32_t api_version = contract::api_version;
inline constexpr std::uint32_t telemetry_schema_version = contract::telemetry_schema_version;

// A document written as the text of a JSON object, whole or in fragments.
struct Written {
    Written(std::string text) { fragments.emplace_back(std::move(text)); }
    Written(text::Fragments fragments) : fragments(std::move(fragments)) {}

    text::Fragments fragments;
};

struct Stamped {
    std::uint32_t api_version = api::api_version;
    std::uint32_t telemetry_schema_version = api::telemetry_schema_version;
    std::string observed_at;
    boost::json::value document;
    // The document as the text of a JSON object in fragments, for a document written as it was
    // made; when set, document is null and the members come from the text.
    std::optional<Written> written = std::nullopt;
};

// Stamps a finished document: reads the clock now, so call it only once the document (and any
// telemetry it waited for) is complete.
Stamped stamp(boost::json::value document);
// The same for a document written as the text of a JSON object by the compact writer, whole or
// in fragments.
Stamped stamp_written(Written object_text);

// The success body in the fragments it is sent as: head, then members.
struct Envelope {
    std::string head;
    text::Fragments members;

    std::size_t size() const { return head.size() + text::size_of(members); }
};

// The success body: {"api_version":2,"telemetry_schema_version":12,"observed_at":"…"} with the
// entries of an object document appended in their own order (a null document adds nothing).
// Returns nullopt for any other kind of document, which cannot be flattened. A written
// document's text can be tens of megabytes: its fragments become the members as they are, from
// just past its opening brace, after the head and the comma that ends it, and are neither copied
// nor moved behind the head; members is empty when the head closes the body itself.
std::optional<Envelope> envelope_body(Stamped& stamped);
// The word for a document kind that cannot be flattened ("a boolean", "a sequence", ...).
std::string_view unflattenable_kind(const boost::json::value& document);

}  // namespace korvalle::api
