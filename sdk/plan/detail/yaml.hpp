// The YAML layer: libyaml's events of the first document of a stream, stored compactly so that
// readers can walk them and replay anchored nodes for aliases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::yaml {

// A place in the text, zero-based as libyaml counts.
struct Mark {
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

// " at line L column C" (one-based), or nothing at line 0 column 0: that is where an empty
// stream puts its marks, and such messages carry no location.
std::string mark_suffix(Mark mark);

struct Event {
    enum class Type : std::uint8_t { Scalar, SequenceStart, SequenceEnd, MappingStart, MappingEnd, Alias, Void };

    Type type = Type::Void;
    bool plain = false;    // a scalar written without quotes or block indicators
    bool tagged = false;   // the node carries a tag (resolved by libyaml: "!x", "tag:yaml.org,2002:str")
    std::uint32_t value_offset = 0, value_size = 0;  // scalar text in Document::strings
    std::uint32_t tag_offset = 0, tag_size = 0;      // tag text in Document::strings
    Mark mark;
    // Alias: index of the anchored node's first event. Scalar, SequenceStart, MappingStart and
    // Void: index just past the node's last event.
    std::uint32_t link = 0;
};

// The first document of a stream. An empty stream (nothing but blanks and comments) is one
// document holding a single Void event.
class Document {
public:
    std::vector<Event> events;
    std::string strings;
    // The first fault of the stream inside the first document (a syntax error, an alias to an
    // unknown anchor): raised by a reader only when it needs an event past the stored ones, so
    // earlier faults of the document come first.
    std::optional<std::string> error;
    // Set when the stream holds something after the first document: a further document, or a
    // syntax error there.
    bool more_documents = false;

    std::string_view value(const Event& event) const {
        return std::string_view(strings).substr(event.value_offset, event.value_size);
    }
    std::string_view tag(const Event& event) const {
        return std::string_view(strings).substr(event.tag_offset, event.tag_size);
    }
};

// Parses the first document of text (as UTF-8). Never fails: faults are kept in the document.
Document load_first_document(std::string_view text);

}  // namespace korvalle::yaml
