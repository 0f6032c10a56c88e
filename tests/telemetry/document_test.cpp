// Reading the telemetry document: parse, schema version, decoding and the cross checks.
#include "src/telemetry/document.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // expected records leave fields out

namespace korvalle::telemetry {
namespace {

const std::string all_buckets =
    R"([{"name":"agent","ms":40},{"name":"judge","ms":30},{"name":"llmlint","ms":10},{"name":"gate","ms":5},)"
    R"({"name":"publication_wait","ms":5},{"name":"lock_wait","ms":5},{"name":"setup","ms":5},{"name":"scheduling"}])";

// A document for run r1 with the given buckets (all_buckets sum to 100 ms), wall clock or usage.
std::string buckets(const std::string& list, const std::string& wall = "100") {
    return R"({"schema_version":2,"run_id":"r1","wall_ms":)" + wall + R"(,"buckets":)" + list + "}";
}
std::string wall(const std::string& wall) { return buckets(all_buckets, wall); }
std::string usage(const std::string& usage) {
    return R"({"schema_version":2,"run_id":"r1","wall_ms":100,"buckets":)" + all_buckets + R"(,"usage":)" + usage + "}";
}

// The reason of a refused document, or "accepted"; a reason given as "prefix..." is matched by
// its beginning only (for messages whose column depends on the document's length).
std::string reason(std::string_view output, const std::string& expected = "", const char* run = "r1") {
    const Outcome outcome = read_document(*contract::RunId::make(run), output);
    if (outcome.ok()) return "accepted";
    const Unavailable* unavailable = &outcome.error();
    EXPECT_EQ(unavailable->kind, Unavailable::Kind::Unreadable);
    if (expected.ends_with("...") && unavailable->text.rfind(expected.substr(0, expected.size() - 3), 0) == 0) {
        return expected;
    }
    return unavailable->text;
}

struct Case {
    std::string output, expected;
};
void expect_reasons(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(reason(c.output, c.expected), c.expected) << c.output.substr(0, 300);
}

RunTelemetry accepted(std::string_view output) {
    const Outcome outcome = read_document(*contract::RunId::make("r1"), output);
    if (!outcome.ok()) ADD_FAILURE() << outcome.error().text;
    return outcome.ok() ? *outcome : RunTelemetry{};
}

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(Document, ParseFaults) {
    std::string objects;
    for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
    const std::string valid = wall("100");
    const std::string recursion = "recursion limit exceeded at line 1 column ...";
    expect_reasons({
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{\"schema_version\":2,", "EOF while parsing..."},
        {valid + "\n \t\r\n", "accepted"},
        {valid + "x", "trailing characters at line 1 column ..."},
        {valid + "\n{}", "trailing characters at line 2 column 1"},
        // 128 levels, the top object being the first, and no more.
        {std::string(valid).insert(1, "\"deep\":" + nested(127) + ","), "accepted"},
        {std::string(valid).insert(1, "\"deep\":" + nested(128) + ","), recursion},
        {nested(10'000), recursion},
        {objects, recursion},
        {wall("1e400"), "number out of range at line 1 column ..."},
    });
}

TEST(Document, SchemaVersionIsAnUnsignedTwo) {
    const std::string absent = "telemetry schema_version absent, and this build reads 2";
    std::vector<Case> cases = {
        {R"({"run_id":"r1"})", absent},
        {R"({"schema_version":3})", "telemetry schema_version 3, and this build reads 2"},
    };
    for (std::string top : {"[]", "\"x\"", "2", "null"}) cases.push_back({top, absent});
    for (std::string version : {"-2", "2.0", "\"2\"", "null", "true"}) {
        cases.push_back({R"({"schema_version":)" + version + R"(,"run_id":"r1"})", absent});
    }
    // Repeated keys take their last value.
    const std::string body = R"("run_id":"r1","wall_ms":100,"buckets":)" + all_buckets;
    cases.push_back({R"({"schema_version":3,)" + body + R"(,"schema_version":2})", "accepted"});
    cases.push_back({R"({"schema_version":2,)" + body + R"(,"schema_version":3})",
                     "telemetry schema_version 3, and this build reads 2"});
    cases.push_back({R"({"schema_version":2,"run_id":"other",)" + body + "}", "accepted"});
    expect_reasons(cases);
    EXPECT_EQ(accepted(R"({"schema_version":2,"wall_ms":7,)" + body + "}").wall_ms, 100u);
}

TEST(Document, DecodingFaults) {
    const std::string u64 = ", expected u64";
    const std::string five_not_a_sequence = "invalid type: integer `5`, expected a sequence";
    expect_reasons({
        // Missing fields and wrong types are found in document order, before the run id check.
        {R"({"schema_version":2,"buckets":[]})", "missing field `run_id`"},
        {R"({"schema_version":2,"run_id":"r1","buckets":[]})", "missing field `wall_ms`"},
        {R"({"schema_version":2,"run_id":"r1","wall_ms":1})", "missing field `buckets`"},
        {buckets(R"([{"ms":1}])"), "missing field `name`"},
        {R"({"schema_version":2,"buckets":5,"wall_ms":null,"run_id":"r1"})", five_not_a_sequence},
        {R"({"schema_version":2,"wall_ms":null,"buckets":5,"run_id":"r1"})", "invalid type: null" + u64},
        {R"({"schema_version":2,"run_id":"other","wall_ms":1,"buckets":5})", five_not_a_sequence},
        // Integers versus floats; a double shows in its shortest form, with an exponent outside [1e-5, 1e16).
        {wall("null"), "invalid type: null" + u64},
        {wall("-1"), "invalid value: integer `-1`" + u64},
        {wall("2.5"), "invalid type: floating point `2.5`" + u64},
        {wall("-0"), "invalid type: floating point `-0.0`" + u64},
        {wall("\"100\""), "invalid type: string \"100\"" + u64},
        {wall("true"), "invalid type: boolean `true`" + u64},
        {wall("18446744073709551615"), "accepted"},
        {wall("18446744073709551616"), "invalid type: floating point `1.8446744073709552e19`" + u64},
        {wall("1e16"), "invalid type: floating point `1e16`" + u64},
        {wall("1.5e-7"), "invalid type: floating point `1.5e-7`" + u64},
        {buckets(R"([{"name":"agent","ms":-3}])"), "invalid value: integer `-3`" + u64},
        {usage(R"({"total":{"cost_usd":"1"}})"), "invalid type: string \"1\", expected f64"},
        {usage(R"({"total":{"input":1.0}})"), "invalid type: floating point `1.0`" + u64},
        // Containers.
        {R"({"schema_version":2,"run_id":5})", "invalid type: integer `5`, expected a string"},
        {buckets("{}"), "invalid type: map, expected a sequence"},
        {buckets("[5]"), "invalid type: integer `5`, expected struct WireBucket"},
        {usage("null"), "invalid type: null, expected a map"},
        {usage("[]"), "invalid type: sequence, expected a map"},
        {usage(R"({"agent":"x"})"), "invalid type: string \"x\", expected struct WireUsage"},
        // Bucket entries and parties.
        {buckets("[[]]"), "invalid length 0, expected struct WireBucket with 2 elements"},
        {buckets(R"([["agent",1,2]])"), "invalid length 3, expected fewer elements in array"},
        {buckets(R"([["agent","x",2]])"), "invalid type: string \"x\"" + u64},
        {buckets("[{\"name\":5}]"), "invalid type: integer `5`, expected string or map"},
        {buckets("[{\"name\":{}}]"), "invalid value: map, expected map with a single key"},
        {buckets(R"([{"name":{"agent":null,"judge":null}}])"), "invalid value: map, expected map with a single key"},
        {buckets(R"([{"name":{"agent":1}}])"), "invalid type: integer `1`, expected unit"},
        {buckets(R"([{"name":{"Agent":1}}])"), "unknown variant `Agent`..."},
        {buckets(R"([{"name":"Agent"}])"), "unknown variant `Agent`, expected one of `agent`, `judge`, `llmlint`, "
                                           "`gate`, `publication_wait`, `lock_wait`, `setup`, `scheduling`"},
        {usage(R"({"human":{}})"), "unknown variant `human`, expected one of `agent`, `judge`, `llmlint`, `total`"},
        {usage(R"({"Agent":{"input":1}})"), "unknown variant `Agent`..."},
        {usage(R"({"total":[1,2,3,4,5,6]})"), "invalid length 6, expected fewer elements in array"},
    });
}

TEST(Document, DecodesBucketsAndParties) {
    EXPECT_EQ(accepted(buckets(
                  R"([["agent",40],["judge"],{"name":{"llmlint":null},"ms":null,"other":[1]},["gate",null],)"
                  R"({"ms":5,"name":"publication_wait"},["lock_wait",0],["setup",1],{"name":"scheduling","ms":2}])")),
              (RunTelemetry{.agent_ms = 40, .publication_wait_ms = 5, .lock_wait_ms = 0, .setup_ms = 1,
                            .scheduling_ms = 2, .wall_ms = 100}));
    EXPECT_TRUE(accepted(wall("100")).usage.empty());
    // Parties in any order and form; a cost may be an integer.
    const RunTelemetry telemetry = accepted(usage(
        R"({"total":[1,2,3,4,0.5],"agent":{"output":7,"cost_usd":null,"note":"x"},"judge":[null,null,null,9]})"));
    EXPECT_EQ(telemetry.usage, (std::map<UsageParty, WireUsage>{{UsageParty::Agent, {.output = 7}},
                                                                 {UsageParty::Judge, {.cache_write = 9}},
                                                                 {UsageParty::Total, {1, 2, 3, 4, 0.5}}}));
    EXPECT_EQ(accepted(usage(R"({"total":{"cost_usd":3}})")).usage.at(UsageParty::Total).cost_usd, 3.0);
}

TEST(Document, CrossChecks) {
    const std::string tail =
        R"(["llmlint",0],["gate",0],["publication_wait",0],["lock_wait",0],["setup",0],["scheduling",0]])";
    const std::string huge = R"([["agent",18446744073709551615],["judge",1],["llmlint"],["gate"],)"
                             R"(["publication_wait"],["lock_wait"],["setup"],["scheduling",5]])";
    const std::string once = " times, and a telemetry document carries exactly one of each of the eight";
    const std::string nothing =
        "the `total` party is present and reports nothing, where a party nothing was reported for is absent";
    const std::string money = ", which is not an amount of money";
    expect_reasons({
        {buckets("[]"), "the `agent` bucket appears 0" + once},
        {buckets(R"([["agent",0],["judge",0],["judge",0],)" + tail), "the `judge` bucket appears 2" + once},
        {buckets(R"([["judge",0],["judge",0],)" + tail), "the `agent` bucket appears 0" + once},
        // Buckets within the wall clock, their sum saturating.
        {wall("99"), "the buckets measure 100ms of a 99ms wall clock"},
        {buckets(huge, "18446744073709551615"), "accepted"},
        {buckets(huge, "18446744073709551614"),
         "the buckets measure 18446744073709551615ms of a 18446744073709551614ms wall clock"},
        {usage(R"({"judge":{"input":5,"cost_usd":-1}})"), "the `judge` party cost -1.0" + money},
        {usage(R"({"judge":{"cost_usd":-1e20}})"), "the `judge` party cost -1e20" + money},
        {usage(R"({"agent":{"cost_usd":-0.0000001}})"), "the `agent` party cost -1e-7" + money},
        {usage(R"({"agent":{"cost_usd":-0.0}})"), "accepted"},
        {usage(R"({"agent":{"cost_usd":0}})"), "accepted"},
        {usage(R"({"agent":{"input":0}})"), "accepted"},
        {usage(R"({"total":{}})"), nothing},
        {usage(R"({"total":[]})"), nothing},
        {usage(R"({"total":{"input":null,"output":null,"cache_read":null,"cache_write":null,"cost_usd":null}})"),
         nothing},
        // Parties are checked in their order, not in the document's.
        {usage(R"({"total":{},"agent":{"cost_usd":-2.5}})"), "the `agent` party cost -2.5" + money},
    });
    EXPECT_EQ(reason(wall("100"), "", "R1"), "the document is run `r1`'s, and this asked about `R1`");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(NotAnAmount{inf}.to_string(), "inf" + money);
    EXPECT_EQ(NotAnAmount{-inf}.to_string(), "-inf" + money);
    EXPECT_EQ(NotAnAmount{std::nan("")}.to_string(), "NaN" + money);
}

}  // namespace
}  // namespace korvalle::telemetry
