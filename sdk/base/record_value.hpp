// The record cursor over a JSON value tree. Two modes share it: Value (the plan of a run-started
// event, a rebuilt node) and Buffered (a node carried by an edit operation); they differ only
// in the message for a positional record with too many elements. No message carries a
// location.
#pragma once

#include "sdk/base/record.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::record {

class ValueCursor {
public:
    enum class Mode { Value, Buffered };

    struct Record {
        Shape shape;
    };

    ValueCursor(const boost::json::value& root, Mode mode) : current_(&root), mode_(mode) {}

    Record begin_record(const RecordName& name);
    std::optional<std::string> next_key();
    bool next_element();
    void end_positional(std::size_t keys);
    [[noreturn]] void fail_key(std::string message) const { fail(std::move(message)); }
    [[noreturn]] void fail_at(const Record&, std::string message) const { fail(std::move(message)); }

    bool take_null();
    std::string_view read_text();
    bool read_flag();
    std::uint32_t read_u32();
    void begin_list();
    std::size_t read_word(const Words& words);

private:
    struct Frame {
        const boost::json::object* object = nullptr;
        boost::json::object::const_iterator member{};
        const boost::json::array* array = nullptr;
        std::size_t index = 0;
    };

    const boost::json::value* current_;
    Mode mode_;
    std::vector<Frame> frames_;
};

}  // namespace korvalle::record
