// Reading journal envelopes, labels and artifact references from JSON text.
//
// The readers drive the pull reader member by member, so a known key met twice is refused
// before its second value is read, and unknown members are skipped without building
// anything. Faults are thrown as json::ReadError inside a reading and returned as faults with
// their place in the text at the public entry points.
#include "sdk/journal/event.hpp"

#include "sdk/base/memory.hpp"
#include "sdk/base/text.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace korvalle::event {

namespace {

constexpr int kMaxDepth = 127;

using json::Reader;
using json::Token;

// Reports a fault about the value just read, located at its last byte.
[[noreturn]] void fail_after(const Reader& r, std::string message) {
    r.fail_at(std::move(message), r.offset() > 0 ? r.offset() - 1 : 0);
}

bool is(std::string_view key, const char* word) { return key == std::string_view(word); }

std::uint64_t read_u64(Reader& r, std::uint64_t max, const char* expected) {
    if (r.peek() != Token::Number) {
        if (r.peek() == Token::End) r.fail("EOF while parsing a value");
        r.fail_invalid_type(expected);
    }
    json::Number n = r.read_number();
    switch (n.kind) {
        case json::Number::Kind::U64:
            if (n.u > max) fail_after(r, "invalid value: " + text::unexpected_unsigned(n.u) + ", expected " + expected);
            return n.u;
        case json::Number::Kind::I64:
            fail_after(r, "invalid value: " + text::unexpected_signed(n.i) + ", expected " + expected);
        case json::Number::Kind::F64:
            break;
    }
    fail_after(r, "invalid type: " + text::unexpected_float(n.d) + ", expected " + expected);
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
        for (std::size_t i = 0; i < 3; ++i) {
            if (w == words[i]) return static_cast<EventSource>(i);
        }
        fail_after(r, "unknown variant `" + std::string(w) + "`, expected " +
                          text::expected_one_of({words[0], words[1], words[2]}));
    };
    Token t = r.peek();
    if (t == Token::String) return word_of(r.read_string_view());
    if (t == Token::End) r.fail("EOF while parsing a value");
    if (t != Token::Object) r.fail("expected value");
    // {"word": null}: the unit variant written as a one-member object.
    r.begin_object();
    Token key = r.peek();
    if (key == Token::End) r.fail("EOF while parsing a value");
    if (key != Token::String) r.fail_invalid_type("variant identifier");
    EventSource source = word_of(r.read_string_view());
    r.colon();
    if (r.peek() == Token::End) r.fail("EOF while parsing a value");
    if (r.peek() != Token::Null) r.fail_invalid_type("unit");
    r.read_null();
    if (!r.consume('}')) {
        if (r.peek() == Token::End) r.fail("EOF while parsing an object");
        r.fail("expected value");
    }
    return source;
}

// The payload is checked as read_value would read it and kept as the text it was written as.
void read_payload(Reader& r, int depth, ObjectText& into) {
    if (r.peek() != Token::Object) {
        if (r.peek() == Token::End) r.fail("EOF while parsing a value");
        r.fail_invalid_type("a map");
    }
    const std::size_t start = r.offset();
    r.check_value(depth, kMaxDepth);
    into.assign(r.text().substr(start, r.offset() - start));
}

// Fails when a container opened at this level would pass the nesting limit.
void check_depth(const Reader& r, int depth) {
    if (depth > kMaxDepth) r.fail("recursion limit exceeded");
}

// Reads the labels into a fresh Labels whose extra members are made in the reader's storage.
void labels_into(Reader& r, int depth, Labels& labels) {
    Token t = r.peek();
    if (t != Token::Object) {
        if (t == Token::End) r.fail("EOF while parsing a value");
        r.fail_invalid_type("struct Labels");
    }
    check_depth(r, depth);
    bool seen[5] = {};
    static constexpr const char* names[] = {"run_id", "node", "round", "persona", "step"};
    // The other members, each value as written: read again, a repeated key keeps its first
    // place and takes its last value.
    std::string extra;
    json::Writer others(extra);
    r.begin_object();
    while (auto key = r.next_key_view()) {
        int field = -1;
        for (int i = 0; i < 5; ++i) {
            if (is(*key, names[i])) field = i;
        }
        if (field < 0) {
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
        if (seen[field]) r.fail(std::string("duplicate field `") + names[field] + "`");
        seen[field] = true;
        switch (field) {
            case 0: read_label_text(r, labels, labels.run_id); break;
            case 1: read_label_text(r, labels, labels.node); break;
            case 2:
                if (r.peek() == Token::Null) r.read_null();
                else labels.round = read_u64(r, std::numeric_limits<std::uint64_t>::max(), "u64");
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
    static constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    ArtifactRef ref;
    Token t = r.peek();
    if (t == Token::Array) {
        check_depth(r, depth);
        r.begin_array();
        for (int i = 0; i < 3; ++i) {
            if (!r.next_element()) {
                fail_after(r, "invalid length " + std::to_string(i) +
                                  ", expected struct ArtifactRef with 3 elements");
            }
            if (i == 0) read_text(r, ref.id);
            else if (i == 1) read_text(r, ref.kind);
            else ref.bytes = read_u64(r, kMax, "u64");
        }
        r.end_array();
        return ref;
    }
    if (t != Token::Object) {
        if (t == Token::End) r.fail("EOF while parsing a value");
        r.fail_invalid_type("struct ArtifactRef");
    }
    check_depth(r, depth);
    static constexpr const char* names[] = {"id", "kind", "bytes"};
    bool seen[3] = {};
    r.begin_object();
    while (auto key = r.next_key_view()) {
        int field = -1;
        for (int i = 0; i < 3; ++i) {
            if (is(*key, names[i])) field = i;
        }
        if (field < 0) {
            r.skip_value();
            continue;
        }
        if (seen[field]) r.fail(std::string("duplicate field `") + names[field] + "`");
        seen[field] = true;
        if (field == 0) read_text(r, ref.id);
        else if (field == 1) read_text(r, ref.kind);
        else ref.bytes = read_u64(r, kMax, "u64");
    }
    for (int i = 0; i < 3; ++i) {
        if (!seen[i]) fail_after(r, std::string("missing field `") + names[i] + "`");
    }
    return ref;
}

std::vector<ArtifactRef> artifacts_from(Reader& r, int depth) {
    Token t = r.peek();
    if (t != Token::Array) {
        if (t == Token::End) r.fail("EOF while parsing a value");
        r.fail_invalid_type("a sequence");
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
        case 0: e.v = static_cast<std::uint32_t>(read_u64(r, std::numeric_limits<std::uint32_t>::max(), "u32")); break;
        case 1: read_text(r, e.ts); break;
        case 2: read_text(r, e.stream); break;
        case 3: e.seq = read_u64(r, std::numeric_limits<std::uint64_t>::max(), "u64"); break;
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
        if (seen[field]) r.fail(std::string("duplicate field `") + kFields[field] + "`");
        seen[field] = true;
        read_field(r, field, e);
    }
    for (int i = 0; i < kRequired; ++i) {
        if (!seen[i]) fail_after(r, std::string("missing field `") + kFields[i] + "`");
    }
}

void read_positional_form(Reader& r, Envelope& e) {
    r.begin_array();
    for (int i = 0; i < 9; ++i) {
        if (!r.next_element()) {
            if (i < kRequired) {
                fail_after(r, "invalid length " + std::to_string(i) + ", expected struct Envelope with 9 elements");
            }
            return;  // the rest take their defaults; the bracket is consumed
        }
        read_field(r, i, e);
    }
    r.end_array();
}

// A fault of a reading with its place in the text read.
Fault located(const Reader& r, const json::ReadError& e) {
    return Fault{.kind = Fault::Kind::Data, .detail = e.message(), .place = place_in(r.text(), e.offset())};
}

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
        free_texts();  // no destructor runs for an object whose construction failed
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
    if (utf8 == json::Utf8::Checked) {
        if (read_envelope_fast(line, out)) return {};
        out = Envelope(out.payload.storage());  // the strict reader starts from an empty envelope
    }
    // The JSON members are made in the envelope's storage from the start: assigning a value
    // made elsewhere would copy it.
    Reader r(line, utf8);
    r.set_storage(out.payload.storage());
    try {
        switch (r.peek()) {
            case Token::End: r.fail("EOF while parsing a value");
            case Token::Object: read_object_form(r, out); break;
            case Token::Array: read_positional_form(r, out); break;
            default: r.fail_invalid_type("struct Envelope");
        }
        r.finish();
        return {};
    } catch (const json::ReadError& err) {
        return located(r, err);
    }
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
    } catch (const json::ReadError& err) {
        return located(reader, err);
    }
}

Result<std::vector<ArtifactRef>> read_artifact_refs(json::Reader& reader, int depth) {
    try {
        return artifacts_from(reader, depth);
    } catch (const json::ReadError& err) {
        return located(reader, err);
    }
}

}  // namespace korvalle::event
