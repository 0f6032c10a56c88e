#include "sdk/plan/detail/yaml.hpp"

#include <yaml.h>

#include <limits>
#include <string>
#include <unordered_map>

namespace korvalle::yaml {

namespace {

constexpr std::size_t kMaxDepth = 128;

Mark to_mark(const yaml_mark_t& mark) {
    constexpr auto max = std::numeric_limits<std::uint32_t>::max();
    return {static_cast<std::uint32_t>(mark.line > max ? max : mark.line),
            static_cast<std::uint32_t>(mark.column > max ? max : mark.column)};
}

bool same(const yaml_mark_t& a, const yaml_mark_t& b) {
    return a.line == b.line && a.column == b.column;
}

// The parser's fault as libyaml states it: the problem with its place, then the context with
// its own place when that differs.
std::string parser_message(const yaml_parser_t& parser) {
    std::string out = parser.problem != nullptr ? parser.problem : "out of memory";
    if (parser.problem_mark.line != 0 || parser.problem_mark.column != 0) {
        out += mark_suffix(to_mark(parser.problem_mark));
    } else if (parser.problem_offset != 0) {
        out += " at position " + std::to_string(parser.problem_offset);
    }
    if (parser.context != nullptr) {
        out += ", ";
        out += parser.context;
        if ((parser.context_mark.line != 0 || parser.context_mark.column != 0) &&
            !same(parser.context_mark, parser.problem_mark)) {
            out += mark_suffix(to_mark(parser.context_mark));
        }
    }
    return out;
}

// Owns one libyaml parser and the event it last produced.
class Parser {
public:
    explicit Parser(std::string_view text) {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
        yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    }
    ~Parser() {
        clear();
        yaml_parser_delete(&parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event, or nullptr after a fault (then message() tells it).
    const yaml_event_t* next() {
        clear();
        if (!yaml_parser_parse(&parser_, &event_)) return nullptr;
        held_ = true;
        return &event_;
    }
    std::string message() const { return parser_message(parser_); }

private:
    void clear() {
        if (held_) yaml_event_delete(&event_);
        held_ = false;
    }

    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool held_ = false;
};

class Builder {
public:
    explicit Builder(Document& doc) : doc_(doc) {}

    // Adds one node event; false when the document cannot hold it (then doc.error is set).
    bool add(const yaml_event_t& ev) {
        Event out;
        out.mark = to_mark(ev.start_mark);
        const yaml_char_t* anchor = nullptr;
        const yaml_char_t* tag = nullptr;
        switch (ev.type) {
            case YAML_SCALAR_EVENT:
                out.type = Event::Type::Scalar;
                out.plain = ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
                anchor = ev.data.scalar.anchor;
                tag = ev.data.scalar.tag;
                if (!store(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length,
                           out.value_offset, out.value_size)) {
                    return false;
                }
                break;
            case YAML_SEQUENCE_START_EVENT:
                if (!nest(out.mark)) return false;
                out.type = Event::Type::SequenceStart;
                anchor = ev.data.sequence_start.anchor;
                tag = ev.data.sequence_start.tag;
                break;
            case YAML_MAPPING_START_EVENT:
                if (!nest(out.mark)) return false;
                out.type = Event::Type::MappingStart;
                anchor = ev.data.mapping_start.anchor;
                tag = ev.data.mapping_start.tag;
                break;
            case YAML_SEQUENCE_END_EVENT: out.type = Event::Type::SequenceEnd; break;
            case YAML_MAPPING_END_EVENT: out.type = Event::Type::MappingEnd; break;
            case YAML_ALIAS_EVENT:
                out.type = Event::Type::Alias;
                if (!resolve(reinterpret_cast<const char*>(ev.data.alias.anchor), out)) return false;
                break;
            default: return true;
        }
        return append(out, anchor, tag);
    }

private:
    // Points an alias at its anchored node; an anchor not (yet) defined is a fault.
    bool resolve(const char* anchor, Event& alias) {
        auto found = anchors_.find(anchor);
        if (found == anchors_.end()) {
            doc_.error = "unknown anchor" + mark_suffix(alias.mark);
            return false;
        }
        alias.link = found->second;
        return true;
    }

    // Stores the event with its tag, and records its anchor.
    bool append(Event out, const yaml_char_t* anchor, const yaml_char_t* tag) {
        if (tag != nullptr) {
            std::string_view text(reinterpret_cast<const char*>(tag));
            out.tagged = true;
            if (!store(text.data(), text.size(), out.tag_offset, out.tag_size)) return false;
        }
        if (doc_.events.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
            doc_.error = "document too large";
            return false;
        }
        auto index = static_cast<std::uint32_t>(doc_.events.size());
        // An anchor is known from the start of its node on, so later aliases (and those inside
        // the node itself) name it; a repeated anchor name rebinds.
        if (anchor != nullptr) anchors_[reinterpret_cast<const char*>(anchor)] = index;
        doc_.events.push_back(out);
        close(index);
        return true;
    }

    // No plan nests more than a few levels, so a reader always fails on a deep value well
    // before reaching this depth; stopping here only spares memory and time on hostile text.
    bool nest(Mark mark) {
        if (open_.size() < kMaxDepth) return true;
        doc_.error = "recursion limit exceeded" + mark_suffix(mark);
        return false;
    }

    bool store(const char* data, std::size_t size, std::uint32_t& offset, std::uint32_t& length) {
        if (size > std::numeric_limits<std::uint32_t>::max() - doc_.strings.size()) {
            doc_.error = "document too large";
            return false;
        }
        offset = static_cast<std::uint32_t>(doc_.strings.size());
        length = static_cast<std::uint32_t>(size);
        doc_.strings.append(data, size);
        return true;
    }

    // Links each node's first event to the index past its end.
    void close(std::uint32_t index) {
        Event& ev = doc_.events[index];
        switch (ev.type) {
            case Event::Type::SequenceStart:
            case Event::Type::MappingStart: open_.push_back(index); break;
            case Event::Type::SequenceEnd:
            case Event::Type::MappingEnd:
                if (!open_.empty()) {
                    doc_.events[open_.back()].link = index + 1;
                    open_.pop_back();
                }
                break;
            case Event::Type::Alias: break;
            default: ev.link = index + 1; break;
        }
    }

    Document& doc_;
    std::unordered_map<std::string, std::uint32_t> anchors_;
    std::vector<std::uint32_t> open_;
};

}  // namespace

std::string mark_suffix(Mark mark) {
    if (mark.line == 0 && mark.column == 0) return {};
    return " at line " + std::to_string(std::uint64_t{mark.line} + 1) + " column " +
           std::to_string(std::uint64_t{mark.column} + 1);
}

Document load_first_document(std::string_view text) {
    Document doc;
    Parser parser(text);
    Builder builder(doc);
    for (;;) {
        const yaml_event_t* ev = parser.next();
        if (ev == nullptr) {
            doc.error = parser.message();
            return doc;
        }
        if (ev->type == YAML_STREAM_END_EVENT) {
            if (doc.events.empty()) {
                Event empty;
                empty.type = Event::Type::Void;
                empty.mark = to_mark(ev->start_mark);
                empty.link = 1;
                doc.events.push_back(empty);
            }
            return doc;
        }
        if (ev->type == YAML_DOCUMENT_END_EVENT) break;
        if (!builder.add(*ev)) return doc;
    }
    // Whatever follows the first document: the end of the stream, or more.
    const yaml_event_t* ev = parser.next();
    doc.more_documents = ev == nullptr || ev->type != YAML_STREAM_END_EVENT;
    return doc;
}

}  // namespace korvalle::yaml
