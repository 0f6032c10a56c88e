// Reading the parts of a request that the routes check: the query string as a map of texts,
// percent-decoded path segments, unsigned numbers, and the run list's query rule.
#pragma once

#include "sdk/base/result.hpp"
#include "src/contract/error.hpp"
#include "src/store/queries.hpp"

#include <boost/beast/http/fields.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvalle::server {

// The query string decoded as application/x-www-form-urlencoded: items split on '&' (empty
// ones skipped), key and value split at the first '=', '+' read as a blank before
// percent-decoding, malformed escapes kept as they are, invalid UTF-8 replaced by U+FFFD. A key
// given twice keeps its last value. Decoding never fails.
using QueryMap = std::unordered_map<std::string, std::string>;
QueryMap decode_query(std::string_view query);

// Percent-decodes one path segment; '+' stays '+', malformed escapes stay as they are. The
// result may not be UTF-8.
std::string percent_decode(std::string_view segment);

// A path parameter as an id: the identifier rule's phrase fills the error that refuse makes.
Result<contract::RunId, error::ApiError> path_id(std::string_view text,
                                                 error::ApiError (*refuse)(std::string phrase));

// Reads "limit", "cursor" and "include_settled", in that order; the first refusal answers.
Result<store::RunsQuery, error::ApiError> runs_query(const QueryMap& query);

// The change feed's query: "run_id" by the identifier rule (invalid_run_id), then "after" by
// the number rule of text::parse_u64 when the key is there (text that is not a number counts as
// absent), else the first "last-event-id" header by the same rule when every byte of it is a
// tab or in 32..126. Never an error for either number.
Result<store::EventsQuery, error::ApiError> events_query(const QueryMap& query,
                                                         const boost::beast::http::fields& headers);

// The timeline's "scope" ("run" or "node", exactly) and "node" (required with "node", refused
// with "run", checked by the identifier rule); every other key is ignored.
Result<store::TimelineScope, error::ApiError> timeline_query(const QueryMap& query);

// The strict boolean flag: absent gives the default, only "true" and "false" are accepted.
Result<bool, error::ApiError> flag(const QueryMap& query, std::string_view key, bool default_value);

}  // namespace korvalle::server
