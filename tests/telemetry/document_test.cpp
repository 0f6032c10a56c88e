// Reading the telemetry document: parse, schema version, decoding and the cross checks.
#include "src/telemetry.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvalle::telemetry {
namespace {

const std::string all_buckets =
    R"([{"name":"agent","ms":40},{"name":"judge","ms":30},{"name":"llmlint","ms":10},{"name":"gate","ms":5},)"
    R"({"name":"publication_wait","ms":5},{"name":"lock_wait","ms":5},{"name":"setup","ms":5},{"name":"scheduling"}])";

// A document for run r1 whose remaining members are `rest` (buckets sum to 100 ms).
std::string doc(const std::string& rest, const std::string& wall = "100") {
    return R"({"schema_version":2,"run_id":"r1","wall_ms":)" + wall + "," + rest + "}";
}
std::string doc_with_usage(const std::string& usage) { return doc(R"("buckets":)" + all_buckets + R"(,"usage":)" + usage); }
std::string doc_with_buckets(const std::string& buckets, const std::string& wall = "100") {
    return doc(R"("buckets":)" + buckets, wall);
}

contract::RunId r1() { return *contract::RunId::make("r1"); }

// The reason of a refused document, or "accepted".
std::string reason(std::string_view output, const contract::RunId& run = r1()) {
    const Outcome outcome = read_document(run, output);
    if (const auto* unavailable = std::get_if<Unavailable>(&outcome)) {
        EXPECT_EQ(unavailable->kind, Unavailable::Kind::Unreadable);
        return unavailable->text;
    }
    return "accepted";
}

RunTelemetry accepted(std::string_view output) {
    const Outcome outcome = read_document(r1(), output);
    if (const auto* unavailable = std::get_if<Unavailable>(&outcome)) ADD_FAILURE() << unavailable->text;
    return std::get_if<RunTelemetry>(&outcome) ? std::get<RunTelemetry>(outcome) : RunTelemetry{};
}

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(DocumentParse, EmptyOutputAndTrailingText) {
    EXPECT_EQ(reason(""), "EOF while parsing a value at line 1 column 0");
    const std::string valid = doc_with_buckets(all_buckets);
    EXPECT_EQ(reason(valid + "\n \t\r\n"), "accepted");
    EXPECT_EQ(reason(valid + "x").rfind("trailing characters at line 1 column ", 0), 0u);
    EXPECT_EQ(reason(valid + "\n{}"), "trailing characters at line 2 column 1");
    EXPECT_EQ(reason("{\"schema_version\":2,").rfind("EOF while parsing", 0), 0u);
}

TEST(DocumentParse, NestingLimitIs128Levels) {
    // The top object is the first level; its member opens the rest.
    EXPECT_EQ(reason(doc_with_buckets(all_buckets).insert(1, "\"deep\":" + nested(127) + ",")), "accepted");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets).insert(1, "\"deep\":" + nested(128) + ","))
                  .rfind("recursion limit exceeded at line 1 column ", 0),
              0u);
    EXPECT_EQ(reason(nested(10'000)).rfind("recursion limit exceeded at line 1 column ", 0), 0u);
    std::string objects;
    for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
    EXPECT_EQ(reason(objects).rfind("recursion limit exceeded at line 1 column ", 0), 0u);
}

TEST(DocumentParse, NumbersBeyondADoubleFail) {
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "1e400")).rfind("number out of range at line 1 column ", 0), 0u);
}

TEST(DocumentSchema, AbsentUnlessAnUnsignedTwo) {
    const std::string absent = "telemetry schema_version absent, and this build reads 2";
    for (std::string_view top : {"[]", "\"x\"", "2", "null"}) EXPECT_EQ(reason(top), absent) << top;
    for (std::string_view version : {"-2", "2.0", "\"2\"", "null", "true"}) {
        EXPECT_EQ(reason(R"({"schema_version":)" + std::string(version) + R"(,"run_id":"r1"})"), absent) << version;
    }
    EXPECT_EQ(reason(R"({"run_id":"r1"})"), absent);
    EXPECT_EQ(reason(R"({"schema_version":3})"), "telemetry schema_version 3, and this build reads 2");
}

TEST(DocumentSchema, RepeatedKeysTakeTheirLastValue) {
    const std::string body = R"("run_id":"r1","wall_ms":100,"buckets":)" + all_buckets;
    EXPECT_EQ(reason(R"({"schema_version":3,)" + body + R"(,"schema_version":2})"), "accepted");
    EXPECT_EQ(reason(R"({"schema_version":2,)" + body + R"(,"schema_version":3})"),
              "telemetry schema_version 3, and this build reads 2");
    EXPECT_EQ(reason(R"({"schema_version":2,"run_id":"other",)" + body + "}"), "accepted");
    EXPECT_EQ(accepted(R"({"schema_version":2,"wall_ms":7,)" + body + "}").wall_ms, 100u);
}

TEST(DocumentDecoding, MissingFieldsInTheirOrder) {
    EXPECT_EQ(reason(R"({"schema_version":2,"buckets":[]})"), "missing field `run_id`");
    EXPECT_EQ(reason(R"({"schema_version":2,"run_id":"r1","buckets":[]})"), "missing field `wall_ms`");
    EXPECT_EQ(reason(R"({"schema_version":2,"run_id":"r1","wall_ms":1})"), "missing field `buckets`");
    EXPECT_EQ(reason(doc_with_buckets(R"([{"ms":1}])")), "missing field `name`");
}

TEST(DocumentDecoding, IntegersVersusFloats) {
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "null")), "invalid type: null, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "-1")), "invalid value: integer `-1`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "2.5")), "invalid type: floating point `2.5`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "-0")), "invalid type: floating point `-0.0`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "\"100\"")), "invalid type: string \"100\", expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "true")), "invalid type: boolean `true`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "18446744073709551615")), "accepted");
    // A double shows in its shortest form, with an exponent outside [1e-5, 1e16).
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "18446744073709551616")),
              "invalid type: floating point `1.8446744073709552e19`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "1e16")),
              "invalid type: floating point `1e16`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "1.5e-7")),
              "invalid type: floating point `1.5e-7`, expected u64");
    EXPECT_EQ(reason(doc_with_buckets(R"([{"name":"agent","ms":-3}])")), "invalid value: integer `-3`, expected u64");
    // A cost may be written as an integer; it reads as the same amount.
    EXPECT_EQ(accepted(doc_with_usage(R"({"total":{"cost_usd":3}})")).usage.at(UsageParty::Total).cost_usd, 3.0);
    EXPECT_EQ(reason(doc_with_usage(R"({"total":{"cost_usd":"1"}})")), "invalid type: string \"1\", expected f64");
    EXPECT_EQ(reason(doc_with_usage(R"({"total":{"input":1.0}})")),
              "invalid type: floating point `1.0`, expected u64");
}

TEST(DocumentDecoding, TypesOfTheContainers) {
    EXPECT_EQ(reason(R"({"schema_version":2,"run_id":5})"), "invalid type: integer `5`, expected a string");
    EXPECT_EQ(reason(doc_with_buckets("{}")), "invalid type: map, expected a sequence");
    EXPECT_EQ(reason(doc_with_buckets("[5]")), "invalid type: integer `5`, expected struct WireBucket");
    EXPECT_EQ(reason(doc_with_usage("null")), "invalid type: null, expected a map");
    EXPECT_EQ(reason(doc_with_usage("[]")), "invalid type: sequence, expected a map");
    EXPECT_EQ(reason(doc_with_usage(R"({"agent":"x"})")), "invalid type: string \"x\", expected struct WireUsage");
}

TEST(DocumentDecoding, BucketEntryForms) {
    EXPECT_EQ(reason(doc_with_buckets("[[]]")), "invalid length 0, expected struct WireBucket with 2 elements");
    EXPECT_EQ(reason(doc_with_buckets(R"([["agent",1,2]])")), "invalid length 3, expected fewer elements in array");
    EXPECT_EQ(reason(doc_with_buckets(R"([["agent","x",2]])")), "invalid type: string \"x\", expected u64");
    EXPECT_EQ(reason(doc_with_buckets("[{\"name\":5}]")), "invalid type: integer `5`, expected string or map");
    EXPECT_EQ(reason(doc_with_buckets("[{\"name\":{}}]")), "invalid value: map, expected map with a single key");
    EXPECT_EQ(reason(doc_with_buckets(R"([{"name":{"agent":null,"judge":null}}])")),
              "invalid value: map, expected map with a single key");
    EXPECT_EQ(reason(doc_with_buckets(R"([{"name":{"agent":1}}])")), "invalid type: integer `1`, expected unit");
    EXPECT_EQ(reason(doc_with_buckets(R"([{"name":{"Agent":1}}])")).rfind("unknown variant `Agent`", 0), 0u);
    EXPECT_EQ(reason(doc_with_buckets(R"([{"name":"Agent"}])")),
              "unknown variant `Agent`, expected one of `agent`, `judge`, `llmlint`, `gate`, `publication_wait`, "
              "`lock_wait`, `setup`, `scheduling`");
}

TEST(DocumentDecoding, BucketTimesAndAbsences) {
    const RunTelemetry telemetry = accepted(doc_with_buckets(
        R"([["agent",40],["judge"],{"name":{"llmlint":null},"ms":null,"other":[1]},["gate",null],)"
        R"({"ms":5,"name":"publication_wait"},["lock_wait",0],["setup",1],{"name":"scheduling","ms":2}])"));
    RunTelemetry expected;
    expected.agent_ms = 40;
    expected.publication_wait_ms = 5;
    expected.lock_wait_ms = 0;
    expected.setup_ms = 1;
    expected.scheduling_ms = 2;
    expected.wall_ms = 100;
    EXPECT_EQ(telemetry, expected);
}

TEST(DocumentDecoding, UsageParties) {
    EXPECT_EQ(reason(doc_with_usage(R"({"human":{}})")),
              "unknown variant `human`, expected one of `agent`, `judge`, `llmlint`, `total`");
    EXPECT_EQ(reason(doc_with_usage(R"({"Agent":{"input":1}})")).rfind("unknown variant `Agent`", 0), 0u);
    EXPECT_EQ(reason(doc_with_usage(R"({"total":[1,2,3,4,5,6]})")), "invalid length 6, expected fewer elements in array");

    const RunTelemetry telemetry = accepted(doc_with_usage(
        R"({"total":[1,2,3,4,0.5],"agent":{"output":7,"cost_usd":null,"note":"x"},"judge":[null,null,null,9]})"));
    ASSERT_EQ(telemetry.usage.size(), 3u);
    EXPECT_EQ(telemetry.usage.begin()->first, UsageParty::Agent);
    EXPECT_EQ(telemetry.usage.at(UsageParty::Agent), (WireUsage{std::nullopt, 7, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(telemetry.usage.at(UsageParty::Judge), (WireUsage{std::nullopt, std::nullopt, std::nullopt, 9, std::nullopt}));
    EXPECT_EQ(telemetry.usage.at(UsageParty::Total), (WireUsage{1, 2, 3, 4, 0.5}));
    EXPECT_TRUE(accepted(doc_with_buckets(all_buckets)).usage.empty());
}

TEST(DocumentDecoding, KeysAreDecodedInDocumentOrder) {
    EXPECT_EQ(reason(R"({"schema_version":2,"buckets":5,"wall_ms":null,"run_id":"r1"})"),
              "invalid type: integer `5`, expected a sequence");
    EXPECT_EQ(reason(R"({"schema_version":2,"wall_ms":null,"buckets":5,"run_id":"r1"})"),
              "invalid type: null, expected u64");
    // Decoding comes before the run id check.
    EXPECT_EQ(reason(R"({"schema_version":2,"run_id":"other","wall_ms":1,"buckets":5})"),
              "invalid type: integer `5`, expected a sequence");
}

TEST(DocumentChecks, RunIdMatchesByteForByte) {
    EXPECT_EQ(reason(doc_with_buckets(all_buckets), *contract::RunId::make("R1")),
              "the document is run `r1`'s, and this asked about `R1`");
}

TEST(DocumentChecks, ExactlyOneBucketOfEachName) {
    const std::string tail = R"(["llmlint",0],["gate",0],["publication_wait",0],["lock_wait",0],["setup",0],["scheduling",0]])";
    EXPECT_EQ(reason(doc_with_buckets("[]")),
              "the `agent` bucket appears 0 times, and a telemetry document carries exactly one of each of the eight");
    EXPECT_EQ(reason(doc_with_buckets(R"([["agent",0],["judge",0],["judge",0],)" + tail)),
              "the `judge` bucket appears 2 times, and a telemetry document carries exactly one of each of the eight");
    EXPECT_EQ(reason(doc_with_buckets(R"([["judge",0],["judge",0],)" + tail)),
              "the `agent` bucket appears 0 times, and a telemetry document carries exactly one of each of the eight");
}

TEST(DocumentChecks, BucketsWithinTheWallClockWithSaturation) {
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "100")), "accepted");
    EXPECT_EQ(reason(doc_with_buckets(all_buckets, "99")), "the buckets measure 100ms of a 99ms wall clock");
    const std::string huge = R"([["agent",18446744073709551615],["judge",1],["llmlint"],["gate"],)"
                             R"(["publication_wait"],["lock_wait"],["setup"],["scheduling",5]])";
    EXPECT_EQ(reason(doc_with_buckets(huge, "18446744073709551615")), "accepted");
    EXPECT_EQ(reason(doc_with_buckets(huge, "18446744073709551614")),
              "the buckets measure 18446744073709551615ms of a 18446744073709551614ms wall clock");
}

TEST(DocumentChecks, MoneyAndEmptyParties) {
    EXPECT_EQ(reason(doc_with_usage(R"({"judge":{"input":5,"cost_usd":-1}})")),
              "the `judge` party cost -1.0, which is not an amount of money");
    EXPECT_EQ(reason(doc_with_usage(R"({"judge":{"cost_usd":-1e20}})")),
              "the `judge` party cost -1e20, which is not an amount of money");
    EXPECT_EQ(reason(doc_with_usage(R"({"agent":{"cost_usd":-0.0000001}})")),
              "the `agent` party cost -1e-7, which is not an amount of money");
    EXPECT_EQ(reason(doc_with_usage(R"({"agent":{"cost_usd":-0.0}})")), "accepted");
    EXPECT_EQ(reason(doc_with_usage(R"({"agent":{"cost_usd":0}})")), "accepted");
    EXPECT_EQ(reason(doc_with_usage(R"({"agent":{"input":0}})")), "accepted");
    const std::string nothing = "the `total` party is present and reports nothing, where a party nothing was reported for is absent";
    EXPECT_EQ(reason(doc_with_usage(R"({"total":{}})")), nothing);
    EXPECT_EQ(reason(doc_with_usage(R"({"total":[]})")), nothing);
    EXPECT_EQ(reason(doc_with_usage(
                  R"({"total":{"input":null,"output":null,"cache_read":null,"cache_write":null,"cost_usd":null}})")),
              nothing);
    // Parties are checked in their order, not in the document's.
    EXPECT_EQ(reason(doc_with_usage(R"({"total":{},"agent":{"cost_usd":-2.5}})")),
              "the `agent` party cost -2.5, which is not an amount of money");
}

TEST(DocumentChecks, NonFiniteAmountsShowAsRustDoes) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(NotAnAmount{inf}.to_string(), "inf, which is not an amount of money");
    EXPECT_EQ(NotAnAmount{-inf}.to_string(), "-inf, which is not an amount of money");
    EXPECT_EQ(NotAnAmount{std::nan("")}.to_string(), "NaN, which is not an amount of money");
}

}  // namespace
}  // namespace korvalle::telemetry
