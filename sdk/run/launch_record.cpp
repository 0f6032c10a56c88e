// The launch record reader: strict, as the pipeline tool's own reader is. Every key exactly
// once, no unknown key, integers without fraction or exponent and within their width.
#include "sdk/run/launch_record.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/record.hpp"

#include <array>
#include <utility>

namespace korvalle::views {

namespace {

constexpr std::size_t field_count = 11;
constexpr std::array<std::string_view, field_count> keys = {
    "run_id", "plan", "graph", "launcher", "session", "pid",
    "host", "started_at", "round_budget", "heartbeat_interval", "adoptions"};
constexpr record::RecordName name{"struct LaunchRecord", "struct LaunchRecord with 11 elements"};

// The value ahead is not what was expected; the fault is reported at offset at.
[[noreturn]] void fail_type(json::Reader& reader, std::string_view expected, std::size_t at) {
    const std::string found = reader.unexpected();
    reader.fail_at(record::invalid_type(found, expected), at, Fault::Kind::Data);
}

std::string read_text(json::Reader& reader) {
    if (reader.peek() == json::Token::String) return reader.read_string();
    fail_type(reader, "a string", reader.offset());
}

// A number's fault is reported where its value starts, blank space before it included.
template <record::Unsigned T>
T read_unsigned(json::Reader& reader) {
    const std::size_t at = reader.offset();
    if (reader.peek() != json::Token::Number) fail_type(reader, record::unsigned_name<T>, at);
    Result<T> n = record::to_unsigned<T>(reader.read_number());
    if (!n) throw ReadingFailed(std::move(n).error(), at);
    return *n;
}

void read_field(json::Reader& reader, std::size_t index, LaunchRecord& out) {
    switch (index) {
    case 0: out.run_id = read_text(reader); break;
    case 1: out.plan = read_text(reader); break;
    case 2: out.graph = read_text(reader); break;
    case 3: out.launcher = read_text(reader); break;
    case 4: out.session = read_text(reader); break;
    case 5: out.pid = read_unsigned<std::uint32_t>(reader); break;
    case 6: out.host = read_text(reader); break;
    case 7: out.started_at = read_text(reader); break;
    case 8: out.round_budget = read_unsigned<std::uint64_t>(reader); break;
    case 9: out.heartbeat_interval = read_unsigned<std::uint64_t>(reader); break;
    case 10: out.adoptions = read_unsigned<std::uint32_t>(reader); break;
    }
}

// A key's fault is reported where the member starts, before its separating comma.
LaunchRecord read_object(json::Reader& reader) {
    LaunchRecord out;
    std::array<bool, field_count> seen{};
    reader.begin_object();
    while (true) {
        const std::size_t at = reader.offset();
        const std::optional<std::string_view> key = reader.next_key_view();
        if (!key) break;
        const std::optional<std::size_t> index = record::find_word(keys, *key);
        if (!index) reader.fail_at(record::unknown_field(*key, keys), at, Fault::Kind::Data);
        if (seen[*index]) reader.fail_at(record::duplicate_field(*key), at, Fault::Kind::Data);
        seen[*index] = true;
        read_field(reader, *index, out);
    }
    for (std::size_t i = 0; i < field_count; ++i) {
        if (!seen[i]) reader.fail(record::missing_field(keys[i]), Fault::Kind::Data);
    }
    return out;
}

LaunchRecord read_array(json::Reader& reader) {
    LaunchRecord out;
    reader.begin_array();
    for (std::size_t i = 0; i < field_count; ++i) {
        if (!reader.next_element()) reader.fail(record::invalid_length(i, name.positional), Fault::Kind::Data);
        read_field(reader, i, out);
    }
    if (reader.next_element()) reader.fail("trailing characters");
    return out;
}

}  // namespace

Result<LaunchRecord> read_launch_record(std::string_view text) {
    json::Reader reader(text);
    try {
        LaunchRecord launch;
        switch (reader.peek()) {
        case json::Token::Object: launch = read_object(reader); break;
        case json::Token::Array: launch = read_array(reader); break;
        default: fail_type(reader, name.name, reader.offset());
        }
        reader.finish();
        return launch;
    } catch (const ReadingFailed& failure) {
        return fault_in(failure, text);
    }
}

}  // namespace korvalle::views
