// The record cursor over JSON text, driving the strict pull reader. Faults are thrown with the
// offset where they were found; the entry point turns it into their place.
#pragma once

#include "sdk/base/record.hpp"
#include "sdk/base/json_read.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::record {

class JsonTextCursor {
public:
    struct Record {
        Shape shape;
    };

    explicit JsonTextCursor(json::Reader& reader) : r_(reader) {}

    Record begin_record(const RecordName& name);
    std::optional<std::string_view> next_key() { return r_.next_key_view(); }
    bool next_element() { return r_.next_element(); }
    void end_positional(std::size_t) { r_.end_array(); }
    [[noreturn]] void fail_key(std::string message) const { r_.fail(std::move(message), Fault::Kind::Data); }
    [[noreturn]] void fail_at(const Record&, std::string message) const { r_.fail(std::move(message), Fault::Kind::Data); }

    bool take_null();
    std::string_view read_text() { return r_.read_string_view(); }
    bool read_flag();
    std::uint32_t read_u32();
    void begin_list();
    std::size_t read_word(const Words& words);

private:
    json::Reader& r_;
};

}  // namespace korvalle::record
