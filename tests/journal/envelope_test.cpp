// Journal envelopes, labels and artifact references read from JSON text.
#include "sdk/event.hpp"
#include "sdk/journal.hpp"
#include "sdk/json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace event = korvalle::event;
namespace json = korvalle::json;

namespace {

const std::string kRequired = R"("v":1,"ts":"2024-01-01T00:00:00.000Z","stream":"s","seq":7,"source":"pipeline","kind":"k")";

event::Envelope read_ok(std::string_view line) {
    auto r = event::read_envelope(line);
    EXPECT_TRUE(r.ok()) << line << ": " << r.error;
    return r.ok() ? *r.value : event::Envelope{};
}

// The message without its location suffix.
std::string failure(std::string_view line) {
    auto r = event::read_envelope(line);
    EXPECT_FALSE(r.ok()) << line;
    auto at = r.error.rfind(" at line ");
    EXPECT_NE(at, std::string::npos) << r.error;
    return r.error.substr(0, at);
}

std::string with(const std::string& members) { return "{" + kRequired + "," + members + "}"; }

}  // namespace

TEST(Envelope, RequiredMembersInAnyOrderWithUnknownMembers) {
    auto e = read_ok("{" + kRequired + "}");
    EXPECT_EQ(e.v, 1u);
    EXPECT_EQ(e.ts, "2024-01-01T00:00:00.000Z");
    EXPECT_EQ(e.stream, "s");
    EXPECT_EQ(e.seq, 7u);
    EXPECT_EQ(e.source, event::EventSource::Pipeline);
    EXPECT_EQ(e.kind, "k");
    EXPECT_EQ(e.labels, event::Labels{});
    EXPECT_TRUE(e.payload.empty());
    EXPECT_TRUE(e.artifacts.empty());

    auto shuffled = read_ok(R"( {"kind":"k","x":[1,{"a":null}],"source":"pipeline","seq":7,"y":"z","stream":"s",)"
                            R"("x":-1.5e3,"ts":"2024-01-01T00:00:00.000Z","v":1,"z":{"v":2}} )"
                            "\t\r");
    EXPECT_EQ(shuffled, e);
}

TEST(Envelope, KeptFieldsHaveTheirValues) {
    auto e = read_ok(with(R"("labels":{"run_id":"r","node":"n","round":3,"persona":"p","step":null,"session":"s1"},)"
                          R"("payload":{"a":1,"b":[true,null],"a":2},"artifacts":[{"id":"x","kind":"log","bytes":12},["y","diff",0]])"));
    EXPECT_EQ(e.labels.run_id, "r");
    EXPECT_EQ(e.labels.node, "n");
    EXPECT_EQ(e.labels.round, 3u);
    EXPECT_EQ(e.labels.persona, "p");
    EXPECT_EQ(e.labels.step, std::nullopt);
    EXPECT_EQ(json::write(e.labels.extra), R"({"session":"s1"})");
    EXPECT_EQ(json::write(e.payload), R"({"a":2,"b":[true,null]})");
    ASSERT_EQ(e.artifacts.size(), 2u);
    EXPECT_EQ(e.artifacts[0], (event::ArtifactRef{"x", "log", 12}));
    EXPECT_EQ(e.artifacts[1], (event::ArtifactRef{"y", "diff", 0}));
}

TEST(Envelope, MissingAndDuplicateFields) {
    EXPECT_EQ(failure(R"({"ts":"t","stream":"s","seq":1,"source":"vcs"})"), "missing field `v`");
    EXPECT_EQ(failure(R"({"v":1,"ts":"t","stream":"s","seq":1,"source":"vcs"})"), "missing field `kind`");
    EXPECT_EQ(failure("{}"), "missing field `v`");
    for (const char* key : {"v", "ts", "stream", "seq", "source", "kind"}) {
        // The repeated member is refused even when its value equals the first.
        std::string line = "{" + kRequired + "," + R"(")" + key + R"(":)";
        std::string value = std::string(key) == "v" ? "1" : std::string(key) == "seq" ? "7" : std::string(key) == "source" ? "\"pipeline\"" : "\"k\"";
        EXPECT_EQ(failure(line + value + "}"), std::string("duplicate field `") + key + "`");
    }
    EXPECT_EQ(failure(with(R"("labels":{},"labels":{})")), "duplicate field `labels`");
    EXPECT_EQ(failure(with(R"("payload":{},"payload":{})")), "duplicate field `payload`");
    EXPECT_EQ(failure(with(R"("artifacts":[],"artifacts":[])")), "duplicate field `artifacts`");
    // The duplicate is found before the bad second value is read.
    EXPECT_EQ(failure(with(R"("v":"bad")")), "duplicate field `v`");
    read_ok(with(R"("u":1,"u":2)"));
}

TEST(Envelope, FieldTypes) {
    auto v = [](const std::string& value) {
        return R"({"v":)" + value + R"(,"ts":"t","stream":"s","seq":1,"source":"vcs","kind":"k"})";
    };
    EXPECT_EQ(read_ok(v("0")).v, 0u);
    EXPECT_EQ(read_ok(v("4294967295")).v, 4294967295u);
    EXPECT_EQ(failure(v("4294967296")), "invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(failure(v("-1")), "invalid value: integer `-1`, expected u32");
    EXPECT_EQ(failure(v("1.0")), "invalid type: floating point `1.0`, expected u32");
    EXPECT_EQ(failure(v("\"1\"")), "invalid type: string \"1\", expected u32");
    EXPECT_EQ(failure(v("null")), "invalid type: null, expected u32");

    auto seq = [](const std::string& value) {
        return R"({"v":1,"ts":"t","stream":"s","seq":)" + value + R"(,"source":"vcs","kind":"k"})";
    };
    EXPECT_EQ(read_ok(seq("18446744073709551615")).seq, 18446744073709551615u);
    EXPECT_EQ(failure(seq("-1")), "invalid value: integer `-1`, expected u64");
    EXPECT_EQ(failure(seq("1.5")), "invalid type: floating point `1.5`, expected u64");
    EXPECT_EQ(failure(seq("1e3")), "invalid type: floating point `1000.0`, expected u64");
    EXPECT_EQ(failure(seq("\"7\"")), "invalid type: string \"7\", expected u64");
    EXPECT_EQ(failure(seq("18446744073709551616")), "invalid type: floating point `18446744073709552000.0`, expected u64");

    auto ts = [](const std::string& value) {
        return R"({"v":1,"ts":)" + value + R"(,"stream":"s","seq":1,"source":"vcs","kind":"k"})";
    };
    EXPECT_EQ(read_ok(ts("\"\"")).ts, "");
    EXPECT_EQ(read_ok(ts("\"not a time\"")).ts, "not a time");
    EXPECT_EQ(failure(ts("1")), "invalid type: integer `1`, expected a string");
    EXPECT_EQ(failure(ts("null")), "invalid type: null, expected a string");

    EXPECT_EQ(failure(with(R"("payload":null)")), "invalid type: null, expected a map");
    EXPECT_EQ(failure(with(R"("payload":[])")), "invalid type: sequence, expected a map");
    EXPECT_EQ(failure(with(R"("payload":"x")")), "invalid type: string \"x\", expected a map");
    EXPECT_EQ(failure(with(R"("labels":null)")), "invalid type: null, expected struct Labels");
    EXPECT_EQ(failure(with(R"("labels":[])")), "invalid type: sequence, expected struct Labels");
    EXPECT_EQ(failure(with(R"("artifacts":null)")), "invalid type: null, expected a sequence");
}

TEST(Envelope, Source) {
    auto src = [](const std::string& value) {
        return R"({"v":1,"ts":"t","stream":"s","seq":1,"source":)" + value + R"(,"kind":"k"})";
    };
    EXPECT_EQ(read_ok(src("\"morvane\"")).source, event::EventSource::Morvane);
    EXPECT_EQ(read_ok(src("\"vcs\"")).source, event::EventSource::Vcs);
    EXPECT_EQ(read_ok(src(R"({"pipeline":null})")).source, event::EventSource::Pipeline);
    EXPECT_EQ(read_ok(src(R"( { "vcs" : null } )")).source, event::EventSource::Vcs);
    EXPECT_EQ(failure(src("\"Pipeline\"")), "unknown variant `Pipeline`, expected one of `morvane`, `vcs`, `pipeline`");
    EXPECT_EQ(failure(src("\" pipeline\"")), "unknown variant ` pipeline`, expected one of `morvane`, `vcs`, `pipeline`");
    EXPECT_EQ(failure(src("null")), "expected value");
    EXPECT_EQ(failure(src("2")), "expected value");
    EXPECT_EQ(failure(src("[]")), "expected value");
    EXPECT_EQ(failure(src("{}")), "expected value");
    EXPECT_EQ(failure(src(R"({"vcs":null,"x":null})")), "expected value");
    EXPECT_EQ(failure(src(R"({"vcs":1})")), "invalid type: integer `1`, expected unit");
    EXPECT_EQ(failure(src(R"({"git":null})")), "unknown variant `git`, expected one of `morvane`, `vcs`, `pipeline`");
}

TEST(Envelope, PositionalForm) {
    auto e = read_ok(R"([1,"t","s",2,"vcs","k"])");
    EXPECT_EQ(e.seq, 2u);
    EXPECT_EQ(e.source, event::EventSource::Vcs);
    EXPECT_TRUE(e.payload.empty());
    auto full = read_ok(R"([1,"t","s",2,"vcs","k",{"node":"n"},{"a":1},[["i","k",3]]])");
    EXPECT_EQ(full.labels.node, "n");
    EXPECT_EQ(full.artifacts.size(), 1u);
    EXPECT_EQ(read_ok(R"([1,"t","s",2,"vcs","k",{}])").labels, event::Labels{});
    EXPECT_EQ(failure(R"([1,"t","s",2,"vcs"])"), "invalid length 5, expected struct Envelope with 9 elements");
    EXPECT_EQ(failure("[]"), "invalid length 0, expected struct Envelope with 9 elements");
    EXPECT_EQ(failure(R"([1,"t","s",2,"vcs","k",{},{},[],null])"), "trailing characters");
    EXPECT_EQ(failure(R"([1,"t","s",2,"vcs","k",{},{},[],])"), "trailing comma");
    EXPECT_EQ(failure(R"([1,"t","s",2,"vcs","k",[]])"), "invalid type: sequence, expected struct Labels");
}

TEST(Envelope, WholeLineRules) {
    EXPECT_EQ(failure(""), "EOF while parsing a value");
    EXPECT_EQ(failure("   "), "EOF while parsing a value");
    EXPECT_EQ(failure("\xEF\xBB\xBF{" + kRequired + "}"), "expected value");
    EXPECT_EQ(failure("{" + kRequired + "} {}"), "trailing characters");
    EXPECT_EQ(failure("{" + kRequired + "}x"), "trailing characters");
    EXPECT_EQ(failure("null"), "invalid type: null, expected struct Envelope");
    EXPECT_EQ(failure("5"), "invalid type: integer `5`, expected struct Envelope");
    EXPECT_EQ(failure("\"x\""), "invalid type: string \"x\", expected struct Envelope");
    EXPECT_EQ(failure("{" + kRequired), "EOF while parsing an object");
    EXPECT_EQ(failure(R"({"v":1 "ts":"t"})"), "expected `,` or `}`");
    EXPECT_EQ(failure(R"({"v":1,})"), "trailing comma");
    EXPECT_EQ(failure(R"({"v" 1})"), "expected `:`");
    EXPECT_EQ(failure(R"({v:1})"), "key must be a string");
    EXPECT_EQ(failure("{" + kRequired + R"(,"x":[1,)"), "EOF while parsing a value");
    EXPECT_EQ(failure("{" + kRequired + R"(,"x":"a)"), "EOF while parsing a string");
    auto r = event::read_envelope(R"({"v":1,"v":1})");
    EXPECT_EQ(r.error, "duplicate field `v` at line 1 column 12");
}

TEST(Envelope, NestingLimitsForKeptValuesOnly) {
    auto nest = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    // Envelope = level 1, payload = level 2, so a payload member may open 125 more levels.
    read_ok(with(R"("payload":{"a":)" + nest(125) + "}"));
    EXPECT_EQ(failure(with(R"("payload":{"a":)" + nest(126) + "}")), "recursion limit exceeded");
    // Labels' extra values are kept too: labels = level 2, the value from level 3.
    read_ok(with(R"("labels":{"x":)" + nest(125) + "}"));
    EXPECT_EQ(failure(with(R"("labels":{"x":)" + nest(126) + "}")), "recursion limit exceeded");
    // Skipped values have no limit.
    read_ok(with(R"("unknown":)" + nest(200)));
    read_ok(with(R"("unknown":)" + nest(100000)));
    EXPECT_EQ(failure(with(R"("payload":{"a":)" + nest(200) + "}")), "recursion limit exceeded");
    // An unknown member inside an artifact object is skipped too.
    read_ok(with(R"("artifacts":[{"id":"i","kind":"k","bytes":1,"deep":)" + nest(1000) + "}]"));
}

TEST(Labels, NamedKeysAndExtra) {
    auto labels = [](const std::string& body) { return read_ok(with("\"labels\":" + body)).labels; };
    auto fails = [](const std::string& body) { return failure(with("\"labels\":" + body)); };
    EXPECT_EQ(labels("{}"), event::Labels{});
    EXPECT_EQ(labels(R"({"node":null})").node, std::nullopt);
    EXPECT_EQ(fails(R"({"node":null,"node":"a"})"), "duplicate field `node`");
    EXPECT_EQ(fails(R"({"round":null,"round":1})"), "duplicate field `round`");
    EXPECT_EQ(fails(R"({"round":"1"})"), "invalid type: string \"1\", expected u64");
    EXPECT_EQ(labels(R"({"round":0})").round, 0u);
    EXPECT_EQ(fails(R"({"round":1.0})"), "invalid type: floating point `1.0`, expected u64");
    EXPECT_EQ(fails(R"({"round":-0})"), "invalid type: floating point `-0.0`, expected u64");
    EXPECT_EQ(fails(R"({"round":-3})"), "invalid value: integer `-3`, expected u64");
    EXPECT_EQ(labels(R"({"round":18446744073709551615})").round, 18446744073709551615u);
    EXPECT_EQ(fails(R"({"round":18446744073709551616})"),
              "invalid type: floating point `18446744073709552000.0`, expected u64");
    EXPECT_EQ(fails(R"({"node":5})"), "invalid type: integer `5`, expected a string");

    auto mixed = labels(R"({"Node":"x","\u006eode":"y","k":1,"a":null,"k":2,"b":{"c":[1]},"k":3,"":true})");
    EXPECT_EQ(mixed.node, "y");
    EXPECT_EQ(json::write(mixed.extra), R"({"Node":"x","k":3,"a":null,"b":{"c":[1]},"":true})");
}

TEST(Labels, ReaderPositionedAtAValue) {
    json::Reader r(R"(  {"node":"n","x":1} , 7)");
    auto labels = event::read_labels(r);
    ASSERT_TRUE(labels.ok()) << labels.error;
    EXPECT_EQ(labels.value->node, "n");
    EXPECT_EQ(r.text().substr(r.offset()), " , 7");

    json::Reader bad("[]");
    EXPECT_EQ(event::read_labels(bad).error, "invalid type: sequence, expected struct Labels at line 1 column 1");
    json::Reader end("  ");
    EXPECT_EQ(event::read_labels(end).error, "EOF while parsing a value at line 1 column 2");
}

TEST(Artifacts, ObjectAndPositionalForms) {
    auto refs = [](const std::string& body) { return read_ok(with("\"artifacts\":" + body)).artifacts; };
    auto fails = [](const std::string& body) { return failure(with("\"artifacts\":" + body)); };
    EXPECT_TRUE(refs("[]").empty());
    EXPECT_EQ(refs(R"([["a","b",1],["a","b",1]])").size(), 2u);
    EXPECT_EQ(refs(R"([{"bytes":0,"x":{"y":[]},"kind":"k","id":"i"}])")[0], (event::ArtifactRef{"i", "k", 0}));
    EXPECT_EQ(fails(R"([{"bytes":1}])"), "missing field `id`");
    EXPECT_EQ(fails(R"([{"id":"i","bytes":1}])"), "missing field `kind`");
    EXPECT_EQ(fails(R"([{"id":"i","kind":"k"}])"), "missing field `bytes`");
    EXPECT_EQ(fails(R"([{"id":"i","id":"i"}])"), "duplicate field `id`");
    EXPECT_EQ(fails(R"([{"id":"i","kind":"k","bytes":null}])"), "invalid type: null, expected u64");
    EXPECT_EQ(fails(R"([{"id":"i","kind":"k","bytes":-1}])"), "invalid value: integer `-1`, expected u64");
    EXPECT_EQ(fails(R"([{"id":"i","kind":"k","bytes":"1"}])"), "invalid type: string \"1\", expected u64");
    EXPECT_EQ(fails(R"([{"id":null,"kind":"k","bytes":1}])"), "invalid type: null, expected a string");
    EXPECT_EQ(fails(R"([{"id":"i","kind":"k","bytes":1,"x":[1,]}])"), "trailing comma");
    EXPECT_EQ(fails(R"([["a","b"]])"), "invalid length 2, expected struct ArtifactRef with 3 elements");
    EXPECT_EQ(fails(R"([[]])"), "invalid length 0, expected struct ArtifactRef with 3 elements");
    EXPECT_EQ(fails(R"([["a","b",1,2]])"), "trailing characters");
    EXPECT_EQ(fails(R"([["a","b",1,]])"), "trailing comma");
    EXPECT_EQ(fails(R"([5])"), "invalid type: integer `5`, expected struct ArtifactRef");
    EXPECT_EQ(fails(R"({})"), "invalid type: map, expected a sequence");

    json::Reader r(R"([["a","b",1]] x)");
    auto read = event::read_artifact_refs(r);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(r.text().substr(r.offset()), " x");
}

TEST(MergeOrder, SortsByTsStreamSeqAndKeepsFileOrder) {
    auto env = [](std::string ts, std::string stream, std::uint64_t seq, std::string kind) {
        event::Envelope e;
        e.ts = std::move(ts);
        e.stream = std::move(stream);
        e.seq = seq;
        e.kind = std::move(kind);
        return e;
    };
    std::vector<event::Envelope> list = {
        env("2024-01-01T00:00:00Z", "a", 1, "no-fraction"),
        env("2024-01-01T00:00:00.000Z", "b", 1, "b1"),
        env("2024-01-01T00:00:00.000Z", "a", 9, "a9"),
        env("2024-01-01T00:00:00.000Z", "a", 1ull << 63, "a-big"),
        env("2024-01-01T00:00:00.000Z", "a", 2, "a2-first"),
        env("2024-01-01T00:00:00.000Z", "a", 2, "a2-second"),
        env("2024-01-01T00:00:00.000", "z", 0, "prefix"),
    };
    korvalle::journal::merge_order(list);
    std::vector<std::string> kinds;
    for (const auto& e : list) kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"prefix", "a2-first", "a2-second", "a9", "a-big", "b1", "no-fraction"}));
    std::vector<event::Envelope> empty;
    korvalle::journal::merge_order(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(EnvelopeBadInput, EachGivesOneFailureAndNoCrash) {
    // A 10 MB line: one long string member, read and kept in the payload.
    std::string big(10 * 1024 * 1024, 'x');
    auto e = read_ok(with(R"("payload":{"blob":")" + big + "\"}"));
    EXPECT_EQ(e.payload.at("blob").as_string().size(), big.size());
    // The same line cut short fails once.
    EXPECT_EQ(failure(with(R"("payload":{"blob":")" + big)), "EOF while parsing a string");
    // A 10 MB line of brackets inside an unknown member: skipped without recursion, and
    // refused only because the brackets never close.
    std::string deep = "{" + kRequired + R"(,"unknown":)" + std::string(10 * 1024 * 1024, '[');
    EXPECT_EQ(failure(deep), "EOF while parsing a list");
    // 100 000 levels inside an unknown member, closed: the line reads.
    read_ok(with(R"("unknown":)" + std::string(100000, '[') + std::string(100000, ']')));
    std::string objects = R"("unknown":)";
    for (int i = 0; i < 100000; ++i) objects += R"({"a":)";
    objects += "1" + std::string(100000, '}');
    read_ok(with(objects));
    // The same depth where values are kept stops at the limit.
    EXPECT_EQ(failure(with(R"("payload":{"a":)" + std::string(100000, '[') + std::string(100000, ']') + "}")),
              "recursion limit exceeded");
    // Invalid UTF-8 in a kept string and in a skipped one; a NUL byte; a byte-order mark.
    EXPECT_EQ(failure(with("\"kind2\":\"\xFF\"")), "invalid unicode code point");
    EXPECT_EQ(failure("{" + kRequired.substr(0, kRequired.size() - 2) + "\xC3\x28\"}"), "invalid unicode code point");
    EXPECT_EQ(failure(with(std::string("\"x\":\"a\0b\"", 9))),
              "control character (\\u0000-\\u001F) found while parsing a string");
    EXPECT_EQ(failure("{" + kRequired + "}" + std::string(1, '\0')), "trailing characters");
    EXPECT_EQ(failure("\xEF\xBB\xBF{" + kRequired + "}"), "expected value");
}
