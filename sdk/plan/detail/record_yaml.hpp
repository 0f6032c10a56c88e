// The record cursor over the events of one YAML document. It resolves aliases by replaying the
// anchored node's events, tracks the path of the value being read ("tasks[0].kind") and puts
// "{path}: " and " at line L column C" around every message.
#pragma once

#include "sdk/base/record.hpp"
#include "sdk/plan/detail/yaml.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::plan {

class YamlCursor {
public:
    struct Record {
        record::Shape shape;
        std::string path;
        yaml::Mark mark;
    };

    explicit YamlCursor(const yaml::Document& doc);

    Record begin_record(const record::RecordName& name);
    std::optional<std::string> next_key();
    bool next_element();
    void end_positional(std::size_t) {}  // YAML has no positional records
    [[noreturn]] void fail_key(std::string message) const;
    [[noreturn]] void fail_at(const Record& record, std::string message) const;

    bool take_null();
    std::string_view read_text();
    bool read_flag();
    std::uint32_t read_u32();
    void begin_list();
    std::size_t read_word(const record::Words& words);

private:
    struct Frame {
        std::string path;
        bool empty = false;    // an empty plain scalar standing for an empty mapping or list
        std::size_t index = 0;  // next list position
        yaml::Mark key_mark;    // mark of the key just read
    };
    // A replayed anchored node: where to go on when its events have been read.
    struct Jump {
        std::uint32_t resume;
        std::uint32_t until;
    };

    const yaml::Event& peek();
    void advance();
    void spend(std::uint64_t cost);
    bool empty_node(const yaml::Event& event) const;
    [[noreturn]] void fail_value(std::string message);
    [[noreturn]] void fail_type(std::string_view expected);

    const yaml::Document& doc_;
    std::size_t pos_ = 0;
    std::vector<Jump> jumps_;
    std::uint64_t spent_ = 0;
    std::uint64_t budget_ = 0;
    std::string path_;
    std::vector<Frame> frames_;
};

}  // namespace korvalle::plan
