// Reading the telemetry document: parse, schema version, typed decoding, then the checks of the
// decoded values against each other. The first failure ends the reading; the reasons of the
// decoding step use the wording of the pipeline's own (serde) decoder, since that is what its
// users know.
#include "src/telemetry/document.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/record.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace korvalle::telemetry {

namespace {

namespace bj = boost::json;

constexpr int max_nesting = 128;
constexpr std::uint64_t schema_version = 2;

using record::fail;
using record::fail_invalid_type;

[[noreturn]] void invalid_length(std::size_t length, std::string_view expected) {
    fail(record::invalid_length(length, expected));
}

[[noreturn]] void missing_field(std::string_view name) { fail(record::missing_field(name)); }

std::uint64_t decode_u64(const bj::value& value) {
    Result<std::uint64_t> number = record::to_unsigned<std::uint64_t>(value);
    if (!number) throw ReadingFailed(std::move(number).error());
    return *number;
}

std::optional<std::uint64_t> decode_optional_u64(const bj::value& value) {
    if (value.is_null()) return std::nullopt;
    return decode_u64(value);
}

std::optional<double> decode_optional_f64(const bj::value& value) {
    switch (value.kind()) {
    case bj::kind::null: return std::nullopt;
    case bj::kind::uint64: return static_cast<double>(value.get_uint64());
    case bj::kind::int64: return static_cast<double>(value.get_int64());
    case bj::kind::double_: return value.get_double();
    default: fail_invalid_type(value, "f64");
    }
}

std::string decode_string(const bj::value& value) {
    if (!value.is_string()) fail_invalid_type(value, "a string");
    return std::string(value.get_string());
}

// The variant of an enumeration whose names, in order, are name_of(0) .. name_of(count - 1).
template <std::size_t count, typename Enum>
Enum variant(std::string_view name, std::string_view (*name_of)(Enum)) {
    std::array<std::string_view, count> words;
    for (std::size_t i = 0; i < count; ++i) words[i] = name_of(static_cast<Enum>(i));
    if (const auto found = record::find_word(words, name)) return static_cast<Enum>(*found);
    fail(record::unknown_variant(name, words));
}

BucketName bucket_variant(std::string_view name) { return variant<bucket_count>(name, bucket_name); }
UsageParty party_variant(std::string_view name) { return variant<party_count>(name, party_name); }

// A bucket name is a string, or an object with that name as its only key and null as its value.
BucketName decode_bucket_name(const bj::value& value) {
    if (value.is_string()) return bucket_variant(value.get_string());
    if (!value.is_object()) fail_invalid_type(value, "string or map");
    const bj::object& object = value.get_object();
    if (object.size() != 1) fail(record::invalid_value("map", "map with a single key"));
    const auto& member = *object.begin();
    const BucketName name = bucket_variant(member.key());
    if (!member.value().is_null()) fail_invalid_type(member.value(), "unit");
    return name;
}

WireBucket decode_bucket(const bj::value& value) {
    if (value.is_object()) {
        std::optional<BucketName> name;
        std::optional<std::uint64_t> ms;
        for (const auto& member : value.get_object()) {
            if (member.key() == "name") {
                name = decode_bucket_name(member.value());
            } else if (member.key() == "ms") {
                ms = decode_optional_u64(member.value());
            }
        }
        if (!name) missing_field("name");
        return WireBucket{*name, ms};
    }
    if (!value.is_array()) fail_invalid_type(value, "struct WireBucket");
    const bj::array& array = value.get_array();
    if (array.empty()) invalid_length(0, "struct WireBucket with 2 elements");
    WireBucket bucket{decode_bucket_name(array[0]), std::nullopt};
    if (array.size() > 1) bucket.ms = decode_optional_u64(array[1]);
    if (array.size() > 2) invalid_length(array.size(), "fewer elements in array");
    return bucket;
}

std::vector<WireBucket> decode_buckets(const bj::value& value) {
    if (!value.is_array()) fail_invalid_type(value, "a sequence");
    std::vector<WireBucket> buckets;
    buckets.reserve(value.get_array().size());
    for (const bj::value& entry : value.get_array()) buckets.push_back(decode_bucket(entry));
    return buckets;
}

// The usage fields in their order, for both the object and the array form.
constexpr std::array<std::string_view, 5> usage_fields = {"input", "output", "cache_read", "cache_write", "cost_usd"};

void decode_usage_field(WireUsage& usage, std::size_t field, const bj::value& value) {
    switch (field) {
    case 0: usage.input = decode_optional_u64(value); break;
    case 1: usage.output = decode_optional_u64(value); break;
    case 2: usage.cache_read = decode_optional_u64(value); break;
    case 3: usage.cache_write = decode_optional_u64(value); break;
    default: usage.cost_usd = decode_optional_f64(value); break;
    }
}

WireUsage decode_usage_entry(const bj::value& value) {
    WireUsage usage;
    if (value.is_object()) {
        for (const auto& member : value.get_object()) {
            const auto field = std::find(usage_fields.begin(), usage_fields.end(), member.key());
            if (field != usage_fields.end()) decode_usage_field(usage, field - usage_fields.begin(), member.value());
        }
        return usage;
    }
    if (!value.is_array()) fail_invalid_type(value, "struct WireUsage");
    const bj::array& array = value.get_array();
    for (std::size_t field = 0; field < array.size() && field < usage_fields.size(); ++field) {
        decode_usage_field(usage, field, array[field]);
    }
    if (array.size() > usage_fields.size()) invalid_length(array.size(), "fewer elements in array");
    return usage;
}

std::map<UsageParty, WireUsage> decode_usage(const bj::value& value) {
    if (!value.is_object()) fail_invalid_type(value, "a map");
    std::map<UsageParty, WireUsage> usage;
    for (const auto& member : value.get_object()) {
        const UsageParty party = party_variant(member.key());
        usage[party] = decode_usage_entry(member.value());
    }
    return usage;
}

// Keys are converted in document order, so the first bad one in the text is the one reported;
// missing required fields are reported only after every key was seen.
Document decode_document(const bj::object& top) {
    Document document;
    bool has_run_id = false, has_wall_ms = false, has_buckets = false;
    for (const auto& member : top) {
        const std::string_view key = member.key();
        if (key == "run_id") {
            document.run_id = decode_string(member.value());
            has_run_id = true;
        } else if (key == "wall_ms") {
            document.wall_ms = decode_u64(member.value());
            has_wall_ms = true;
        } else if (key == "buckets") {
            document.buckets = decode_buckets(member.value());
            has_buckets = true;
        } else if (key == "usage") {
            document.usage = decode_usage(member.value());
        }
    }
    if (!has_run_id) missing_field("run_id");
    if (!has_wall_ms) missing_field("wall_ms");
    if (!has_buckets) missing_field("buckets");
    return document;
}

// The schema version, when the top value is an object whose schema_version is an unsigned
// integer.
std::optional<std::uint64_t> schema_of(const bj::value& top) {
    if (!top.is_object()) return std::nullopt;
    const bj::value* version = top.get_object().if_contains("schema_version");
    if (version == nullptr) return std::nullopt;
    Result<std::uint64_t> number = record::to_unsigned<std::uint64_t>(*version);
    if (!number) return std::nullopt;
    return *number;
}

std::optional<std::uint64_t> RunTelemetry::*const bucket_fields[bucket_count] = {
    &RunTelemetry::agent_ms,        &RunTelemetry::judge_ms,     &RunTelemetry::llmlint_ms,
    &RunTelemetry::gate_ms,         &RunTelemetry::publication_wait_ms, &RunTelemetry::lock_wait_ms,
    &RunTelemetry::setup_ms,        &RunTelemetry::scheduling_ms};

// Each check below fails with the reason as the fault's whole text.
Fault unreadable(std::string reason) {
    return Fault{.kind = Fault::Kind::Data, .detail = std::move(reason), .place = std::nullopt};
}

Result<void> check_run_id(const contract::RunId& run, const Document& document) {
    if (document.run_id == run.view()) return {};
    return unreadable("the document is run `" + document.run_id + "`'s, and this asked about `" + run.str() + "`");
}

// Exactly one entry per bucket name, first name first; its time goes into out.
Result<void> take_buckets(const Document& document, RunTelemetry& out) {
    for (std::size_t i = 0; i < bucket_count; ++i) {
        const auto name = static_cast<BucketName>(i);
        std::size_t count = 0;
        for (const WireBucket& bucket : document.buckets) {
            if (bucket.name != name) continue;
            ++count;
            out.*bucket_fields[i] = bucket.ms;
        }
        if (count != 1) {
            return unreadable("the `" + std::string(bucket_name(name)) + "` bucket appears " + std::to_string(count) +
                              " times, and a telemetry document carries exactly one of each of the eight");
        }
    }
    return {};
}

Result<void> check_wall_clock(const RunTelemetry& telemetry, std::uint64_t wall_ms) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t sum = 0;
    for (const auto field : bucket_fields) {
        const std::uint64_t ms = (telemetry.*field).value_or(0);
        sum = ms > most - sum ? most : sum + ms;
    }
    if (sum <= wall_ms) return {};
    return unreadable("the buckets measure " + std::to_string(sum) + "ms of a " + std::to_string(wall_ms) +
                      "ms wall clock");
}

// A cost must be an amount of money; an entry without one must report some tokens.
Result<void> check_usage(const std::map<UsageParty, WireUsage>& usage) {
    for (const auto& [party, entry] : usage) {
        const std::string name(party_name(party));
        if (entry.cost_usd) {
            const double cost = *entry.cost_usd;
            if (!std::isfinite(cost) || cost < 0) {
                return unreadable("the `" + name + "` party cost " + NotAnAmount{cost}.to_string());
            }
        } else if (!entry.input && !entry.output && !entry.cache_read && !entry.cache_write) {
            return unreadable("the `" + name + "` party is present and reports nothing, where a party nothing was "
                              "reported for is absent");
        }
    }
    return {};
}

}  // namespace

Outcome read_document(const contract::RunId& run, std::string_view output) {
    const Result<bj::value> parsed = json::parse(output, max_nesting);
    if (!parsed) return Unavailable::unreadable(message(parsed.error()));
    const bj::value& top = *parsed;

    const auto version = schema_of(top);
    if (version != schema_version) {
        return Unavailable::unreadable("telemetry schema_version " +
                                       (version ? std::to_string(*version) : std::string("absent")) +
                                       ", and this build reads " + std::to_string(schema_version));
    }
    Document document;
    try {
        document = decode_document(top.get_object());
    } catch (const ReadingFailed& failure) {
        return Unavailable::unreadable(message(failure.fault()));
    }
    RunTelemetry telemetry;
    Result<void> checked = check_run_id(run, document);
    if (checked) checked = take_buckets(document, telemetry);
    if (checked) checked = check_wall_clock(telemetry, document.wall_ms);
    if (checked) checked = check_usage(document.usage);
    if (!checked) return Unavailable::unreadable(message(checked.error()));
    telemetry.wall_ms = document.wall_ms;
    telemetry.usage = std::move(document.usage);
    return telemetry;
}

}  // namespace korvalle::telemetry
