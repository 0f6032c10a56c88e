// The fast reading of journal envelopes: one pass over a line in the shape journal writers give
// it (an object of plain keys and texts, a payload of any well-formed JSON), with nothing thrown
// and no message made. Whatever it cannot vouch for it leaves to the strict reader: a key or text
// with an escape where a text is kept, a known key given twice, the positional form, numbers not
// plainly in range, surrogate escapes, deep nesting, and every fault. So a line it accepts is one
// the strict reader accepts, read into the same envelope; the line's UTF-8 was checked by the
// line splitter.
#include "sdk/journal/event_fast.hpp"

#include "sdk/base/json_scan.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/journal/event.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::event {

namespace {

// Nesting the fast reader follows; anything deeper is left to the strict reader, whose limit
// (127 kept levels) lies beyond it.
constexpr int kMaxNesting = 100;

// Numbers longer than this, or with an exponent this large, are left to the strict reader: a
// shorter one with a smaller exponent is in range as a double.
constexpr std::size_t kMaxNumberBytes = 40;
constexpr int kMaxExponent = 250;

class FastLine {
public:
    explicit FastLine(std::string_view line) : p_(line.data()), begin_(line.data()), end_(line.data() + line.size()) {}

    const char* at() const { return p_; }

    void skip_ws() {
        // Lines are mostly written without any: one comparison tells a byte above space.
        while (p_ < end_ && static_cast<unsigned char>(*p_) <= ' ' &&
               (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) {
            ++p_;
        }
    }
    // The next byte after whitespace, consumed when it is c.
    bool take(char c) {
        skip_ws();
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool at_end() {
        skip_ws();
        return p_ == end_;
    }
    char peek() {
        skip_ws();
        return p_ == end_ ? '\0' : *p_;
    }

    // A string without escapes: its contents. False for anything else.
    bool plain_string(std::string_view& out) {
        if (!take('"')) return false;
        const std::size_t i = json::scan::find_special(begin_, static_cast<std::size_t>(p_ - begin_),
                                                       static_cast<std::size_t>(end_ - begin_), true);
        const char* stop = begin_ + i;
        if (stop == end_ || *stop != '"') return false;
        out = std::string_view(p_, static_cast<std::size_t>(stop - p_));
        p_ = stop + 1;
        return true;
    }

    // A non-negative integer of at most 19 digits, no more than max.
    bool unsigned_number(std::uint64_t max, std::uint64_t& out) {
        skip_ws();
        const char* start = p_;
        std::uint64_t value = 0;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') value = value * 10 + static_cast<std::uint64_t>(*p_++ - '0');
        const std::size_t digits = static_cast<std::size_t>(p_ - start);
        if (digits == 0 || digits > 19 || (digits > 1 && *start == '0') || value > max) return false;
        // A fraction or an exponent makes it a float, which the strict reader refuses here.
        if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
        out = value;
        return true;
    }

    // The key name in quotes and its colon, written compactly, when they come next.
    bool take_key(std::string_view name) {
        const std::size_t n = name.size();
        if (static_cast<std::size_t>(end_ - p_) < n + 3 || p_[0] != '"' || p_[n + 1] != '"' || p_[n + 2] != ':') {
            return false;
        }
        // Names are a few bytes long: compared in place, without a call.
        for (std::size_t i = 0; i < n; ++i) {
            if (p_[1 + i] != name[i]) return false;
        }
        p_ += n + 3;
        return true;
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
        p_ += word.size();
        return true;
    }

    // One well-formed value, checked and dropped; depth is the nesting level it opens.
    bool skip_value(int depth);

private:
    bool skip_string();
    bool skip_number();
    bool skip_container(int depth, char close);

    const char* p_;
    const char* begin_;
    const char* end_;
};

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool FastLine::skip_string() {
    ++p_;  // the opening quote
    const std::size_t n = static_cast<std::size_t>(end_ - begin_);
    for (;;) {
        p_ = begin_ + json::scan::find_special(begin_, static_cast<std::size_t>(p_ - begin_), n, true);
        if (p_ == end_) return false;
        if (*p_ == '"') {
            ++p_;
            return true;
        }
        if (*p_ != '\\' || end_ - p_ < 2) return false;  // a control byte, or an escape cut short
        const char e = p_[1];
        if (e == 'u') {
            if (end_ - p_ < 6 || !is_hex(p_[2]) || !is_hex(p_[3]) || !is_hex(p_[4]) || !is_hex(p_[5])) return false;
            // Surrogates must pair up: the strict reader judges them.
            if ((p_[2] | 0x20) == 'd' && p_[3] >= '8') return false;
            p_ += 6;
        } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
            p_ += 2;
        } else {
            return false;
        }
    }
}

bool FastLine::skip_number() {
    const char* start = p_;
    auto digits = [&] {
        const char* first = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return static_cast<std::size_t>(p_ - first);
    };
    if (*p_ == '-') ++p_;
    const char* integral = p_;
    const std::size_t whole = digits();
    if (whole == 0 || (whole > 1 && *integral == '0')) return false;
    if (p_ < end_ && *p_ == '.') {
        ++p_;
        if (digits() == 0) return false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        const char* exponent = p_;
        const std::size_t exponent_digits = digits();
        if (exponent_digits == 0 || exponent_digits > 3) return false;
        int value = 0;
        for (const char* d = exponent; d < p_; ++d) value = value * 10 + (*d - '0');
        if (value >= kMaxExponent) return false;
    }
    return static_cast<std::size_t>(p_ - start) <= kMaxNumberBytes;
}

bool FastLine::skip_container(int depth, char close) {
    if (depth > kMaxNesting) return false;
    ++p_;  // the opening bracket
    if (take(close)) return true;
    do {
        if (close == '}') {
            if (peek() != '"' || !skip_string() || !take(':')) return false;
        }
        if (!skip_value(depth + 1)) return false;
    } while (take(','));
    return take(close);
}

bool FastLine::skip_value(int depth) {
    switch (peek()) {
    case '"': return skip_string();
    case '{': return skip_container(depth, '}');
    case '[': return skip_container(depth, ']');
    case 't': return literal("true");
    case 'f': return literal("false");
    case 'n': return literal("null");
    case '-': return skip_number();
    default:
        if (p_ < end_ && *p_ >= '0' && *p_ <= '9') return skip_number();
        return false;
    }
}

// A key without escapes, and its colon.
bool plain_key(FastLine& line, std::string_view& key) { return line.plain_string(key) && line.take(':'); }

// The members of an object whose known keys mostly come in the order names gives them, each
// handed to member(field, key) after its colon: field is the known key's place in names, or -1
// for another key. A key in its expected place is matched as it stands; any other is read first.
// False as soon as a member fails or the object is not well formed.
template <std::size_t N, class Member>
bool for_each_field(FastLine& line, const std::array<std::string_view, N>& names, Member&& member) {
    if (!line.take('{')) return false;
    if (line.take('}')) return true;
    std::size_t expected = 0;
    do {
        line.skip_ws();
        int field = -1;
        std::string_view key;
        if (expected < N && line.take_key(names[expected])) {
            field = static_cast<int>(expected);
            key = names[expected];
        } else {
            if (!plain_key(line, key)) return false;
            for (std::size_t i = 0; i < N; ++i) {
                if (key == names[i]) field = static_cast<int>(i);
            }
        }
        if (field >= 0) expected = static_cast<std::size_t>(field) + 1;
        if (!member(field, key)) return false;
    } while (line.take(','));
    return line.take('}');
}

// A label's text or null.
bool label_text(FastLine& line, Labels& labels, LabelText& into) {
    if (line.peek() == 'n') {
        if (!line.literal("null")) return false;
        labels.set(into, std::nullopt);
        return true;
    }
    std::string_view text;
    if (!line.plain_string(text)) return false;
    labels.set(into, text);
    return true;
}

bool read_labels_fast(FastLine& line, Labels& labels) {
    bool seen[5] = {};
    auto once = [&seen](int field) { return !std::exchange(seen[field], true); };
    // The other members, written as the strict reader writes them; one buffer serves every line a
    // thread reads.
    thread_local std::string extra;
    extra.clear();
    json::Writer others(extra);
    static constexpr std::array<std::string_view, 5> names = {"run_id", "node", "round", "persona", "step"};
    const bool read = for_each_field(line, names, [&](int field, std::string_view key) {
        if (field >= 0 && !once(field)) return false;
        switch (field) {
        case 0: return label_text(line, labels, labels.run_id);
        case 1: return label_text(line, labels, labels.node);
        case 2: {
            if (line.peek() == 'n') return line.literal("null");
            std::uint64_t round = 0;
            if (!line.unsigned_number(std::numeric_limits<std::uint64_t>::max(), round)) return false;
            labels.round = round;
            return true;
        }
        case 3: return label_text(line, labels, labels.persona);
        case 4: return label_text(line, labels, labels.step);
        }
        // A text with an escape is left to the strict reader, which writes it in its plainest form.
        const char first = line.peek();
        const char* start = line.at();
        if (first == '"') {
            std::string_view text;
            if (!line.plain_string(text)) return false;
        } else if (!line.skip_value(3)) {
            return false;
        }
        if (extra.empty()) others.begin_object();
        others.key(key);
        others.written(std::string_view(start, static_cast<std::size_t>(line.at() - start)));
        return true;
    });
    if (!read) return false;
    if (!extra.empty()) {
        others.end_object();
        labels.extra.assign(extra);
    }
    return true;
}

bool read_artifact_fast(FastLine& line, ArtifactRef& ref) {
    bool seen[3] = {};
    auto once = [&seen](int field) { return !std::exchange(seen[field], true); };
    auto text = [&line](std::string& into) {
        std::string_view view;
        if (!line.plain_string(view)) return false;
        into.assign(view);
        return true;
    };
    static constexpr std::array<std::string_view, 3> names = {"id", "kind", "bytes"};
    const bool read = for_each_field(line, names, [&](int field, std::string_view) {
        if (field >= 0 && !once(field)) return false;
        switch (field) {
        case 0: return text(ref.id);
        case 1: return text(ref.kind);
        case 2: return line.unsigned_number(std::numeric_limits<std::uint64_t>::max(), ref.bytes);
        }
        return line.skip_value(3);
    });
    return read && seen[0] && seen[1] && seen[2];
}

bool read_artifacts_fast(FastLine& line, std::vector<ArtifactRef>& refs) {
    if (!line.take('[')) return false;
    if (line.take(']')) return true;
    do {
        if (!read_artifact_fast(line, refs.emplace_back())) return false;
    } while (line.take(','));
    return line.take(']');
}

bool read_payload_fast(FastLine& line, ObjectText& payload) {
    if (line.peek() != '{') return false;
    const char* start = line.at();
    if (!line.skip_value(2)) return false;
    payload.assign(std::string_view(start, static_cast<std::size_t>(line.at() - start)));
    return true;
}

bool read_source_fast(FastLine& line, EventSource& source) {
    std::string_view word;
    if (!line.plain_string(word)) return false;
    if (word == "morvane") source = EventSource::Morvane;
    else if (word == "vcs") source = EventSource::Vcs;
    else if (word == "pipeline") source = EventSource::Pipeline;
    else return false;
    return true;
}

template <class Text>
bool plain_text(FastLine& line, Text& into) {
    std::string_view text;
    if (!line.plain_string(text)) return false;
    into = text;
    return true;
}

}  // namespace

bool read_envelope_fast(std::string_view text, Envelope& out) {
    FastLine line(text);
    // v, ts, stream, seq, source, kind, labels, payload, artifacts; the first six are required.
    bool seen[9] = {};
    auto once = [&seen](int field) { return !std::exchange(seen[field], true); };
    static constexpr std::array<std::string_view, 9> names = {"v",      "ts",     "stream",  "seq",      "source",
                                                              "kind",   "labels", "payload", "artifacts"};
    const bool read = for_each_field(line, names, [&](int field, std::string_view) {
        // A known key met twice is left to the strict reader, which refuses it.
        if (field >= 0 && !once(field)) return false;
        switch (field) {
        case 0: {
            std::uint64_t v = 0;
            if (!line.unsigned_number(std::numeric_limits<std::uint32_t>::max(), v)) return false;
            out.v = static_cast<std::uint32_t>(v);
            return true;
        }
        case 1: return plain_text(line, out.ts);
        case 2: return plain_text(line, out.stream);
        case 3: return line.unsigned_number(std::numeric_limits<std::uint64_t>::max(), out.seq);
        case 4: return read_source_fast(line, out.source);
        case 5: return plain_text(line, out.kind);
        case 6: return read_labels_fast(line, out.labels);
        case 7: return read_payload_fast(line, out.payload);
        case 8: return read_artifacts_fast(line, out.artifacts);
        }
        return line.skip_value(2);
    });
    if (!read || !line.at_end()) return false;
    for (int i = 0; i < 6; ++i) {
        if (!seen[i]) return false;
    }
    return true;
}

}  // namespace korvalle::event
