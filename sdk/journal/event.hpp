// One line of a run's journal ("events.jsonl"): the event envelope with its labels and
// artifact references, read strictly from JSON text.
//
// Reading is all or nothing: the first fault ends it with one message that ends in
// " at line L column C". Known keys given twice fail; unknown members are skipped (their
// values must still be well-formed JSON, of any depth); the labels keep unknown keys in
// `extra`. Kept values nest at most 127 levels, the envelope counting as level 1.
#pragma once

#include "sdk/base/json_read.hpp"
#include "sdk/base/result.hpp"
#include "sdk/base/short_text.hpp"
#include "sdk/journal/object_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::event {

// Origin of an event, in declared order.
enum class EventSource : std::uint8_t { Morvane, Vcs, Pipeline };

// A label's text, or none. Its bytes belong to the Labels holding it and are made in their
// storage (a run's arena): no fixed room for a text that is mostly absent or short, and no
// heap allocation of its own.
class LabelText {
public:
    bool has_value() const { return data_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    // The text; only when there is one.
    std::string_view operator*() const { return {data_, size_}; }
    std::string_view value_or(std::string_view otherwise) const { return has_value() ? **this : otherwise; }
    std::optional<std::string_view> optional() const {
        return has_value() ? std::optional<std::string_view>(**this) : std::nullopt;
    }

    friend bool operator==(const LabelText& a, const LabelText& b) { return a.optional() == b.optional(); }
    friend bool operator==(const LabelText& a, std::string_view b) { return a.has_value() && *a == b; }
    friend bool operator==(const LabelText& a, std::nullopt_t) { return !a.has_value(); }

private:
    friend struct Labels;
    const char* data_ = nullptr;  // null when there is no text
    std::size_t size_ = 0;
};

struct Labels {
    // Labels whose texts and extra members are made in storage.
    Labels() = default;
    explicit Labels(const boost::json::storage_ptr& storage) : extra(storage) {}
    // A copy takes the storage of other's extra members, as a copy of a JSON value does.
    Labels(const Labels& other);
    Labels(Labels&& other) noexcept;
    Labels& operator=(const Labels& other);
    Labels& operator=(Labels&& other);
    ~Labels();

    LabelText run_id;
    LabelText node;
    std::optional<std::uint64_t> round;
    LabelText persona;
    LabelText step;
    // Every other member, kept as written; read back, a repeated key keeps its first place and
    // takes its last value.
    ObjectText extra;

    // Gives one of these labels' texts (run_id, node, persona or step) a copy of text, made in
    // the labels' storage, or none.
    void set(LabelText& label, std::optional<std::string_view> text);
    // The heap bytes of the texts, with the allocator's headers: none when they are made in an
    // arena (counted with its blocks).
    std::uint64_t heap_bytes() const;

    bool operator==(const Labels& other) const;

private:
    // Copies other's texts into this one's storage; this holds none before.
    void copy_texts(const Labels& other);
    // Takes other's texts, made in the same storage, leaving it none.
    void steal_texts(Labels& other) noexcept;
    void free_texts() noexcept;
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
    EventSource source = EventSource::Morvane;
    text::ShortText ts;  // kept as written; never parsed here
    std::string stream;
    std::uint64_t seq = 0;
    std::string kind;
    Labels labels;
    ObjectText payload;
    std::vector<ArtifactRef> artifacts;

    bool operator==(const Envelope& other) const;
};

// Reads one journal line (without its line ending): an object with the members v, ts,
// stream, seq, source, kind and optionally labels, payload, artifacts, or the same fields by
// position (6 to 9 elements). Only JSON whitespace may follow. The payload and the labels'
// extra members are made in storage (an arena shared by a run's envelopes, or the default).
Result<Envelope> read_envelope(std::string_view line, boost::json::storage_ptr storage = {});
// The same into out, an empty envelope made for the storage (a list of envelopes grows in
// place): nothing when the line is read, else its fault. out is unspecified after a fault.
// utf8: Checked for a line known to be valid UTF-8 (a journal line as the line splitter hands it
// over), which is then not checked again, and read by the fast reader (event_fast.hpp) first.
Result<void> read_envelope_into(std::string_view line, Envelope& out, json::Utf8 utf8 = json::Utf8::Unchecked);
// The same for a caller that keeps only whether the line reads, as a journal's open does: the
// verdict of read_envelope_into, true with the same envelope in out, reached with nothing thrown
// and no message made for a line that does not read (out is then unspecified).
bool read_envelope_verdict(std::string_view line, Envelope& out, json::Utf8 utf8 = json::Utf8::Unchecked);

// The fewest bytes of a line that reads as an envelope: `[0,"","",0,"vcs",""]`, the positional
// form with its shortest fields. A shorter line reads as none.
inline constexpr std::size_t shortest_envelope = 20;

// The labels and artifact readers over a reader positioned at a value (whitespace may come
// first), one that throws at its faults (json::OnFault::Throw). On success the reader stands just
// behind the value; on failure the fault has its place in the reader's text. depth is the nesting
// level of the value (2 inside an envelope).
Result<Labels> read_labels(json::Reader& reader, int depth = 2);
Result<std::vector<ArtifactRef>> read_artifact_refs(json::Reader& reader, int depth = 2);

}  // namespace korvalle::event
