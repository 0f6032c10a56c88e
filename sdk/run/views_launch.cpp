// The launch record reader: strict, as the pipeline tool's own reader is. Every key exactly
// once, no unknown key, integers without fraction or exponent and within their width.
#include "sdk/base/json.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/views.hpp"

#include <array>
#include <fmt/format.h>

namespace korvalle::views {

namespace {

constexpr std::size_t field_count = 11;
constexpr std::array<std::string_view, field_count> keys = {
    "run_id", "plan", "graph", "launcher", "session", "pid",
    "host", "started_at", "round_budget", "heartbeat_interval", "adoptions"};

// The description of a value that came where another was expected.
std::string unexpected(json::Reader& reader) {
    switch (reader.peek()) {
    case json::Token::Null: reader.read_null(); return "null";
    case json::Token::True:
    case json::Token::False: return text::unexpected_bool(reader.read_bool());
    case json::Token::String: return text::unexpected_string(reader.read_string());
    case json::Token::Array: return "sequence";
    case json::Token::Object: return "map";
    case json::Token::Number: {
        const json::Number n = reader.read_number();
        switch (n.kind) {
        case json::Number::Kind::U64: return text::unexpected_unsigned(n.u);
        case json::Number::Kind::I64: return text::unexpected_signed(n.i);
        case json::Number::Kind::F64: return text::unexpected_float(n.d);
        }
        break;
    }
    case json::Token::End: reader.fail("EOF while parsing a value");
    case json::Token::Invalid: break;
    }
    reader.fail("expected value");
}

std::string read_text(json::Reader& reader) {
    if (reader.peek() == json::Token::String) return reader.read_string();
    const std::size_t at = reader.offset();
    const std::string found = unexpected(reader);
    throw json::ReadError(fmt::format("invalid type: {}, expected a string", found), at);
}

std::uint64_t read_unsigned(json::Reader& reader, std::uint64_t max, std::string_view expected) {
    const std::size_t at = reader.offset();
    if (reader.peek() == json::Token::Number) {
        const json::Number n = reader.read_number();
        if (n.kind == json::Number::Kind::U64 && n.u <= max) return n.u;
        if (n.kind == json::Number::Kind::U64) {
            throw json::ReadError(fmt::format("invalid value: {}, expected {}",
                                              text::unexpected_unsigned(n.u), expected), at);
        }
        if (n.kind == json::Number::Kind::I64) {
            throw json::ReadError(fmt::format("invalid value: {}, expected {}",
                                              text::unexpected_signed(n.i), expected), at);
        }
        throw json::ReadError(fmt::format("invalid type: {}, expected {}",
                                          text::unexpected_float(n.d), expected), at);
    }
    const std::string found = unexpected(reader);
    throw json::ReadError(fmt::format("invalid type: {}, expected {}", found, expected), at);
}

void read_field(json::Reader& reader, std::size_t index, LaunchRecord& out) {
    switch (index) {
    case 0: out.run_id = read_text(reader); break;
    case 1: out.plan = read_text(reader); break;
    case 2: out.graph = read_text(reader); break;
    case 3: out.launcher = read_text(reader); break;
    case 4: out.session = read_text(reader); break;
    case 5: out.pid = static_cast<std::uint32_t>(read_unsigned(reader, UINT32_MAX, "u32")); break;
    case 6: out.host = read_text(reader); break;
    case 7: out.started_at = read_text(reader); break;
    case 8: out.round_budget = read_unsigned(reader, UINT64_MAX, "u64"); break;
    case 9: out.heartbeat_interval = read_unsigned(reader, UINT64_MAX, "u64"); break;
    case 10: out.adoptions = static_cast<std::uint32_t>(read_unsigned(reader, UINT32_MAX, "u32")); break;
    }
}

std::string unknown_field_message(std::string_view key) {
    std::string expected;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        expected += fmt::format("{}`{}`", i == 0 ? "" : ", ", keys[i]);
    }
    return fmt::format("unknown field `{}`, expected one of {}", key, expected);
}

LaunchRecord read_object(json::Reader& reader) {
    LaunchRecord out;
    std::array<bool, field_count> seen{};
    reader.begin_object();
    while (true) {
        const std::size_t at = reader.offset();
        const std::optional<std::string> key = reader.next_key();
        if (!key) break;
        std::size_t index = 0;
        while (index < field_count && keys[index] != *key) ++index;
        if (index == field_count) throw json::ReadError(unknown_field_message(*key), at);
        if (seen[index]) throw json::ReadError(fmt::format("duplicate field `{}`", *key), at);
        seen[index] = true;
        read_field(reader, index, out);
    }
    for (std::size_t i = 0; i < field_count; ++i) {
        if (!seen[i]) reader.fail(fmt::format("missing field `{}`", keys[i]));
    }
    return out;
}

LaunchRecord read_array(json::Reader& reader) {
    LaunchRecord out;
    reader.begin_array();
    for (std::size_t i = 0; i < field_count; ++i) {
        if (!reader.next_element()) {
            reader.fail(fmt::format("invalid length {}, expected struct LaunchRecord with 11 elements", i));
        }
        read_field(reader, i, out);
    }
    if (reader.next_element()) reader.fail("trailing characters");
    return out;
}

}  // namespace

Result<LaunchRecord> read_launch_record(std::string_view text) {
    json::Reader reader(text);
    try {
        LaunchRecord record;
        switch (reader.peek()) {
        case json::Token::Object: record = read_object(reader); break;
        case json::Token::Array: record = read_array(reader); break;
        default: {
            const std::size_t at = reader.offset();
            const std::string found = unexpected(reader);
            throw json::ReadError(
                fmt::format("invalid type: {}, expected struct LaunchRecord", found), at);
        }
        }
        reader.finish();
        return record;
    } catch (const json::ReadError& error) {
        return Fault{.kind = Fault::Kind::Data, .detail = error.message(), .place = place_in(text, error.offset())};
    }
}

}  // namespace korvalle::views
