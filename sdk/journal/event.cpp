// Reading journal envelopes, labels and artifact references from JSON text.
//
// The readers drive the pull reader member by member, so a known key met twice is refused
// before its second value is read, and unknown members are skipped without building
// anything. Faults are thrown as ReadingFailed inside a reading and returned as faults with
// their place in the text at the public entry points. A journal's open keeps only whether a
// line reads: its reader stops at the first fault instead (json::OnFault::Stop), and the readers
// here go on to their ends over a text that has ended for them, making no message (each is made
// only when it is thrown).
#include "sdk/journal/event.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/base/memory.hpp"
#include "sdk/base/record.hpp"
#include "sdk/journal/event_fast.hpp"

#include <cstring>
#include <optional>
#include <utility>

namespace korvalle::event {

namespace {

constexpr int kMaxDepth = 127;

// The keys of labels and of an artifact reference, in declared order; labels are read for every
// envelope the fast reader declines, so their keys are hashed.
constexpr std::string_view kLabelNames[] = {"run_id", "node", "round", "persona", "step"};
constexpr record::WordIndex kLabelKeys{kLabelNames};
constexpr std::string_view kArtifactNames[] = {"id", "kind", "bytes"};

using json::Reader;
using json::Token;

// The offset of the last byte of the value just read.
std::size_t last_byte(const Reader& r) { return r.offset() > 0 ? r.offset() - 1 : 0; }

// Reports a fault about the value just read, located at its last byte; message makes its text.
template <class Message>
void fail_after(Reader& r, const Message& message) {
    r.fault_at(message, last_byte(r), Fault::Kind::Data);
}

template <record::Unsigned T>
T read_unsigned(Reader& r) {
    if (r.peek() != Token::Number) {
        r.fault_type(record::unsigned_name<T>);
        return 0;
    }
    const json::Number number = r.read_number();
    if (const std::optional<T> n = record::unsigned_of<T>(number)) return *n;
    fail_after(r, [&] { return record::to_unsigned<T>(number).error().detail; });
    return 0;
}

// A text read into its place, with no string made in between.
void read_text(Reader& r, std::string& into) { into.assign(r.read_string_view()); }
void read_text(Reader& r, text::ShortText& into) { into = r.read_string_view(); }

// A label's text or null (none).
void read_label_text(Reader& r, Labels& labels, LabelText& into) {
    if (r.peek() == Token::Null) {
        r.read_null();
        labels.set(into, std::nullopt);
        return;
    }
    labels.set(into, r.read_string_view());
}

EventSource read_source(Reader& r) {
    static constexpr std::string_view words[] = {"morvane", "vcs", "pipeline"};
    auto word_of = [&](std::string_view w) -> EventSource {
        if (const auto code = record::find_word(words, w)) return static_cast<EventSource>(*code);
        fail_after(r, [&] { return record::unknown_variant(w, words); });
        return {};
    };
    const Token t = r.peek();
    if (t == Token::String) return word_of(r.read_string_view());
    if (t != Token::Object) {
        r.fault(t == Token::End ? "EOF while parsing a value" : "expected value");
        return {};
    }
    // {"word": null}: the unit variant written as a one-member object.
    r.begin_object();
    if (r.peek() != Token::String) {
        r.fault_type("variant identifier");
        return {};
    }
    const EventSource source = word_of(r.read_string_view());
    r.colon();
    r.read_null();
    if (!r.consume('}')) r.fault(r.peek() == Token::End ? "EOF while parsing an object" : "expected value");
    return source;
}

// The payload is checked as read_value would read it and kept as the text it was written as.
void read_payload(Reader& r, int depth, ObjectText& into) {
    if (r.peek() != Token::Object) return r.fault_type("a map");
    const std::size_t start = r.offset();
    r.check_value(depth, kMaxDepth);
    into.assign(r.text().substr(start, r.offset() - start));
}

// Fails when a container opened at this level would pass the nesting limit.
void check_depth(Reader& r, int depth) {
    if (depth > kMaxDepth) r.fault("recursion limit exceeded");
}

// Reads the labels into a fresh Labels whose extra members are made in the reader's storage.
void labels_into(Reader& r, int depth, Labels& labels) {
    if (r.peek() != Token::Object) return r.fault_type("struct Labels");
    check_depth(r, depth);
    bool seen[5] = {};
    // The other members, each value as written: read again, a repeated key keeps its first
    // place and takes its last value.
    std::string extra;
    json::Writer others(extra);
    r.begin_object();
    while (auto key = r.next_key_view()) {
        const std::optional<std::size_t> field = kLabelKeys.find(*key);
        if (!field) {
            if (extra.empty()) others.begin_object();
            others.key(*key);
            // Texts are written again in their plainest form, so that a text needing no escape
            // can be read as a view of the kept object.
            if (r.peek() == Token::String) {
                others.value(r.read_string_view());
                continue;
            }
            const std::size_t start = r.offset();
            r.check_value(depth + 1, kMaxDepth);
            others.written(r.text().substr(start, r.offset() - start));
            continue;
        }
        if (seen[*field]) r.fault([&] { return record::duplicate_field(kLabelNames[*field]); }, Fault::Kind::Data);
        seen[*field] = true;
        switch (*field) {
            case 0: read_label_text(r, labels, labels.run_id); break;
            case 1: read_label_text(r, labels, labels.node); break;
            case 2:
                if (r.peek() == Token::Null) r.read_null();
                else labels.round = read_unsigned<std::uint64_t>(r);
                break;
            case 3: read_label_text(r, labels, labels.persona); break;
            case 4: read_label_text(r, labels, labels.step); break;
        }
    }
    if (!extra.empty()) {
        others.end_object();
        labels.extra.assign(extra);
    }
}

Labels labels_from(Reader& r, int depth) {
    Labels labels(r.storage());
    labels_into(r, depth, labels);
    return labels;
}

ArtifactRef artifact_from(Reader& r, int depth) {
    ArtifactRef ref;
    Token t = r.peek();
    if (t == Token::Array) {
        check_depth(r, depth);
        r.begin_array();
        for (int i = 0; i < 3; ++i) {
            if (!r.next_element()) {
                fail_after(r, [i] { return record::invalid_length(i, "struct ArtifactRef with 3 elements"); });
                return ref;
            }
            if (i == 0) read_text(r, ref.id);
            else if (i == 1) read_text(r, ref.kind);
            else ref.bytes = read_unsigned<std::uint64_t>(r);
        }
        r.end_array();
        return ref;
    }
    if (t != Token::Object) {
        r.fault_type("struct ArtifactRef");
        return ref;
    }
    check_depth(r, depth);
    bool seen[3] = {};
    r.begin_object();
    while (auto key = r.next_key_view()) {
        const std::optional<std::size_t> field = record::find_word(kArtifactNames, *key);
        if (!field) {
            r.skip_value();
            continue;
        }
        if (seen[*field]) r.fault([&] { return record::duplicate_field(kArtifactNames[*field]); }, Fault::Kind::Data);
        seen[*field] = true;
        if (*field == 0) read_text(r, ref.id);
        else if (*field == 1) read_text(r, ref.kind);
        else ref.bytes = read_unsigned<std::uint64_t>(r);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (!seen[i]) fail_after(r, [i] { return record::missing_field(kArtifactNames[i]); });
    }
    return ref;
}

std::vector<ArtifactRef> artifacts_from(Reader& r, int depth) {
    if (r.peek() != Token::Array) {
        r.fault_type("a sequence");
        return {};
    }
    check_depth(r, depth);
    std::vector<ArtifactRef> refs;
    r.begin_array();
    while (r.next_element()) refs.push_back(artifact_from(r, depth + 1));
    return refs;
}

// The envelope's fields in declared order; the first six are required.
constexpr const char* kFields[] = {"v", "ts", "stream", "seq", "source", "kind", "labels", "payload", "artifacts"};
constexpr int kRequired = 6;

int field_index(std::string_view key) {
    switch (key.size()) {
        case 1: return key[0] == 'v' ? 0 : -1;
        case 2: return key == "ts" ? 1 : -1;
        case 3: return key == "seq" ? 3 : -1;
        case 4: return key == "kind" ? 5 : -1;
        case 6:
            if (key == "stream") return 2;
            if (key == "source") return 4;
            if (key == "labels") return 6;
            return -1;
        case 7: return key == "payload" ? 7 : -1;
        case 9: return key == "artifacts" ? 8 : -1;
        default: return -1;
    }
}

void read_field(Reader& r, int field, Envelope& e) {
    switch (field) {
        case 0: e.v = read_unsigned<std::uint32_t>(r); break;
        case 1: read_text(r, e.ts); break;
        case 2: read_text(r, e.stream); break;
        case 3: e.seq = read_unsigned<std::uint64_t>(r); break;
        case 4: e.source = read_source(r); break;
        case 5: read_text(r, e.kind); break;
        case 6: labels_into(r, 2, e.labels); break;
        case 7: read_payload(r, 2, e.payload); break;
        case 8: e.artifacts = artifacts_from(r, 2); break;
    }
}

void read_object_form(Reader& r, Envelope& e) {
    bool seen[9] = {};
    r.begin_object();
    while (auto key = r.next_key_view()) {
        int field = field_index(*key);
        if (field < 0) {
            r.skip_value();
            continue;
        }
        if (seen[field]) r.fault([&] { return record::duplicate_field(kFields[field]); }, Fault::Kind::Data);
        seen[field] = true;
        read_field(r, field, e);
    }
    for (int i = 0; i < kRequired; ++i) {
        if (!seen[i]) fail_after(r, [i] { return record::missing_field(kFields[i]); });
    }
}

void read_positional_form(Reader& r, Envelope& e) {
    r.begin_array();
    for (int i = 0; i < 9; ++i) {
        if (!r.next_element()) {
            if (i < kRequired) {
                fail_after(r, [i] { return record::invalid_length(i, "struct Envelope with 9 elements"); });
            }
            return;  // the rest take their defaults; the bracket is consumed
        }
        read_field(r, i, e);
    }
    r.end_array();
}

// Reads a whole line into out, an empty envelope.
void envelope_from(Reader& r, Envelope& out) {
    switch (r.peek()) {
        case Token::Object: read_object_form(r, out); break;
        case Token::Array: read_positional_form(r, out); break;
        default: return r.fault_type("struct Envelope");
    }
    r.finish();
}

// The fast reading of a line known to be UTF-8, when it reads it; otherwise out is left empty
// for the strict reader.
bool read_fast(std::string_view line, Envelope& out, json::Utf8 utf8) {
    if (utf8 != json::Utf8::Checked) return false;
    if (read_envelope_fast(line, out)) return true;
    out = Envelope(out.payload.storage());
    return false;
}

// A fault of a reading with its place in the text read.
Fault located(const Reader& r, const ReadingFailed& failure) { return fault_in(failure, r.text()); }

}  // namespace

bool Labels::operator==(const Labels& other) const {
    return run_id == other.run_id && node == other.node && round == other.round && persona == other.persona &&
           step == other.step && extra == other.extra;
}

bool Envelope::operator==(const Envelope& other) const {
    return v == other.v && ts == other.ts && stream == other.stream && seq == other.seq && source == other.source &&
           kind == other.kind && labels == other.labels && payload == other.payload &&
           artifacts == other.artifacts;
}

Envelope::Envelope(const boost::json::storage_ptr& storage) : labels(storage), payload(storage) {}

namespace {

// The label texts of Labels, in declared order.
constexpr LabelText Labels::*kLabelTexts[] = {&Labels::run_id, &Labels::node, &Labels::persona, &Labels::step};

// Where an empty text points: a text is absent only when it points nowhere.
constexpr char kEmpty[] = "";

}  // namespace

Labels::Labels(const Labels& other) : round(other.round), extra(other.extra) {
    try {
        copy_texts(other);
    } catch (...) {
        // Whatever the copy threw: no destructor runs for an object whose construction failed.
        free_texts();
        throw;
    }
}

Labels::Labels(Labels&& other) noexcept : round(other.round), extra(std::move(other.extra)) {
    // The moved object takes other's storage, where the texts were made.
    steal_texts(other);
}

Labels& Labels::operator=(const Labels& other) {
    if (this == &other) return *this;
    extra = other.extra;
    round = other.round;
    free_texts();
    copy_texts(other);
    return *this;
}

Labels& Labels::operator=(Labels&& other) {
    if (this == &other) return *this;
    // Texts in the same storage are taken as they are; in another storage they are copied, as
    // boost::json copies the members of a value moved between storages.
    const bool same = extra.storage().get()->is_equal(*other.extra.storage().get());
    extra = std::move(other.extra);
    round = other.round;
    free_texts();
    if (same) steal_texts(other);
    else copy_texts(other);
    return *this;
}

Labels::~Labels() { free_texts(); }

void Labels::set(LabelText& label, std::optional<std::string_view> text) {
    LabelText made;
    if (text) {
        made.size_ = text->size();
        if (text->empty()) {
            made.data_ = kEmpty;
        } else {
            char* bytes = static_cast<char*>(extra.storage()->allocate(text->size(), 1));
            std::memcpy(bytes, text->data(), text->size());
            made.data_ = bytes;
        }
    }
    if (label.data_ && label.size_ > 0) extra.storage()->deallocate(const_cast<char*>(label.data_), label.size_, 1);
    label = made;
}

std::uint64_t Labels::heap_bytes() const {
    // Only the default storage takes its memory from the heap one text at a time.
    if (extra.storage().get() != boost::json::storage_ptr().get()) return 0;
    std::uint64_t bytes = 0;
    for (LabelText Labels::*text : kLabelTexts) {
        const LabelText& label = this->*text;
        if (label.data_ && label.size_ > 0) bytes += memory::allocation_bytes(label.size_);
    }
    return bytes + extra.heap_bytes();
}

void Labels::copy_texts(const Labels& other) {
    for (LabelText Labels::*text : kLabelTexts) set(this->*text, (other.*text).optional());
}

void Labels::steal_texts(Labels& other) noexcept {
    for (LabelText Labels::*text : kLabelTexts) this->*text = std::exchange(other.*text, LabelText());
}

void Labels::free_texts() noexcept {
    for (LabelText Labels::*text : kLabelTexts) {
        LabelText& label = this->*text;
        if (label.data_ && label.size_ > 0) extra.storage()->deallocate(const_cast<char*>(label.data_), label.size_, 1);
        label = LabelText();
    }
}

Result<void> read_envelope_into(std::string_view line, Envelope& out, json::Utf8 utf8) {
    if (read_fast(line, out, utf8)) return {};
    // The JSON members are made in the envelope's storage from the start: assigning a value
    // made elsewhere would copy it.
    Reader r(line, utf8);
    r.set_storage(out.payload.storage());
    try {
        envelope_from(r, out);
        return {};
    } catch (const ReadingFailed& failure) {
        return located(r, failure);
    }
}

bool read_envelope_verdict(std::string_view line, Envelope& out, json::Utf8 utf8) {
    if (read_fast(line, out, utf8)) return true;
    Reader r(line, utf8, json::OnFault::Stop);
    r.set_storage(out.payload.storage());
    envelope_from(r, out);
    return !r.failed();
}

Result<Envelope> read_envelope(std::string_view line, boost::json::storage_ptr storage) {
    Envelope e(storage);
    Result<void> read = read_envelope_into(line, e);
    if (!read) return std::move(read).error();
    return e;
}

Result<Labels> read_labels(json::Reader& reader, int depth) {
    try {
        return labels_from(reader, depth);
    } catch (const ReadingFailed& failure) {
        return located(reader, failure);
    }
}

Result<std::vector<ArtifactRef>> read_artifact_refs(json::Reader& reader, int depth) {
    try {
        return artifacts_from(reader, depth);
    } catch (const ReadingFailed& failure) {
        return located(reader, failure);
    }
}

}  // namespace korvalle::event
