// One line of a run's journal ("events.jsonl"): the event envelope with its labels and
// artifact references, read strictly from JSON text.
//
// Reading is all or nothing: the first fault ends it with one message that ends in
// " at line L column C". Known keys given twice fail; unknown members are skipped (their
// values must still be well-formed JSON, of any depth); the labels keep unknown keys in
// `extra`. Kept values nest at most 127 levels, the envelope counting as level 1.
#pragma once

#include "sdk/base/json.hpp"
#include "sdk/base/short_text.hpp"
#include "sdk/plan/plan.hpp"

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::event {

// Origin of an event, in declared order.
enum class EventSource : std::uint8_t { Morvane, Vcs, Pipeline };

// "morvane", "vcs", "pipeline".
std::string_view source_word(EventSource source);

struct Labels {
    std::optional<std::string> run_id;
    std::optional<std::string> node;
    std::optional<std::uint64_t> round;
    std::optional<std::string> persona;
    std::optional<std::string> step;
    // Every other key, in order of first occurrence, with the value of its last occurrence.
    boost::json::object extra;

    bool operator==(const Labels& other) const;
};

struct ArtifactRef {
    std::string id;
    std::string kind;
    std::uint64_t bytes = 0;

    bool operator==(const ArtifactRef&) const = default;
};

struct Envelope {
    Envelope() = default;
    // An empty envelope whose JSON members will be made in storage.
    explicit Envelope(const boost::json::storage_ptr& storage);

    std::uint32_t v = 0;
    text::ShortText ts;  // kept as written; never parsed here
    std::string stream;
    std::uint64_t seq = 0;
    EventSource source = EventSource::Morvane;
    std::string kind;
    Labels labels;
    boost::json::object payload;
    std::vector<ArtifactRef> artifacts;

    bool operator==(const Envelope& other) const;
};

// Reads one journal line (without its line ending): an object with the members v, ts,
// stream, seq, source, kind and optionally labels, payload, artifacts, or the same fields by
// position (6 to 9 elements). Only JSON whitespace may follow. The payload and the labels'
// extra members are made in storage (an arena shared by a run's envelopes, or the default).
plan::Read<Envelope> read_envelope(std::string_view line, boost::json::storage_ptr storage = {});
// The same into out, an empty envelope made for the storage (a list of envelopes grows in
// place): the error message, or "" when the line is read. out is unspecified after an error.
// utf8: Checked for a line known to be valid UTF-8 (a journal line as the line splitter hands it
// over), which is then not checked again.
std::string read_envelope_into(std::string_view line, Envelope& out, json::Utf8 utf8 = json::Utf8::Unchecked);

// The labels and artifact readers over a reader positioned at a value (whitespace may come
// first). On success the reader stands just behind the value; on failure the message carries
// the location. depth is the nesting level of the value (2 inside an envelope).
plan::Read<Labels> read_labels(json::Reader& reader, int depth = 2);
plan::Read<std::vector<ArtifactRef>> read_artifact_refs(json::Reader& reader, int depth = 2);

}  // namespace korvalle::event
