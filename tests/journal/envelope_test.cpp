// Journal envelopes, labels and artifact references read from JSON text.
#include "sdk/journal/event.hpp"
#include "sdk/journal/event_fast.hpp"
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/base/arena.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <tuple>
#include <vector>

namespace event = korvalle::event;
namespace json = korvalle::json;

namespace {

const std::pair<std::string, std::string> kMembers[] = {
    {"v", "1"}, {"ts", "\"2024-01-01T00:00:00.000Z\""}, {"stream", "\"s\""},
    {"seq", "7"}, {"source", "\"pipeline\""}, {"kind", "\"k\""}};

// The required members, the one named given another value text, or left out without one.
std::string members(const std::string& name = "", const std::optional<std::string>& value = {}) {
    std::string out;
    for (const auto& [key, text] : kMembers) {
        if (key == name && !value) continue;
        out += (out.empty() ? "\"" : ",\"") + key + "\":" + (key == name ? *value : text);
    }
    return out;
}
const std::string kRequired = members();

std::string with(const std::string& more) { return "{" + kRequired + "," + more + "}"; }
std::string field(const std::string& name, const std::optional<std::string>& value) {
    return "{" + members(name, value) + "}";
}
std::string nest(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

event::Envelope read_ok(std::string_view line) {
    auto r = event::read_envelope(line);
    EXPECT_TRUE(r.ok()) << line.substr(0, 200) << ": " << message(r.error());
    return r.ok() ? *r : event::Envelope{};
}

// The message without its place; every fault of the reader has one.
std::string failure(std::string_view line) {
    auto r = event::read_envelope(line);
    if (r.ok()) {
        ADD_FAILURE() << line.substr(0, 200);
        return {};
    }
    EXPECT_TRUE(r.error().place) << line.substr(0, 200);
    return r.error().detail;
}

// The message of a fault, or "" for a reading that succeeded.
template <class T>
std::string error_text(const korvalle::Result<T>& r) {
    return r.ok() ? std::string() : message(r.error());
}

}  // namespace

TEST(Envelope, RequiredMembersInAnyOrderWithUnknownMembers) {
    auto e = read_ok("{" + kRequired + "}");
    EXPECT_EQ(std::tie(e.v, e.ts, e.stream, e.seq, e.source, e.kind),
              std::make_tuple(1u, "2024-01-01T00:00:00.000Z", "s", 7u, event::EventSource::Pipeline, "k"));
    EXPECT_EQ(e.labels, event::Labels{});
    EXPECT_TRUE(e.payload.empty() && e.artifacts.empty());

    auto shuffled = read_ok(R"( {"kind":"k","x":[1,{"a":null}],"source":"pipeline","seq":7,"y":"z","stream":"s",)"
                            R"("x":-1.5e3,"ts":"2024-01-01T00:00:00.000Z","v":1,"z":{"v":2}} )"
                            "\t\r");
    EXPECT_EQ(shuffled, e);
}

TEST(Envelope, KeptFieldsHaveTheirValues) {
    auto e = read_ok(with(R"("labels":{"run_id":"r","node":"n","round":3,"persona":"p","step":null,"session":"s1"},)"
                          R"("payload":{"a":1,"b":[true,null],"a":2},"artifacts":[{"id":"x","kind":"log","bytes":12},["y","diff",0]])"));
    EXPECT_EQ(std::tie(e.labels.run_id, e.labels.node, e.labels.round, e.labels.persona, e.labels.step),
              std::make_tuple("r", "n", 3u, "p", std::nullopt));
    EXPECT_EQ(json::write(e.labels.extra.read()), R"({"session":"s1"})");
    // The payload is kept as written and read on demand, a repeated key taking its last value.
    EXPECT_EQ(e.payload.text(), R"({"a":1,"b":[true,null],"a":2})");
    EXPECT_EQ(json::write(e.payload.read()), R"({"a":2,"b":[true,null]})");
    EXPECT_EQ(e.payload.member("a"), boost::json::value(2));
    EXPECT_EQ(e.payload.string_member("b"), std::nullopt);
    // Members are found past strings that end in escaped quotes and backslashes.
    const auto escaped = read_ok(with(R"("payload":{"s":"a\"b\\","n":{"s":"\\\""},"t":"c"})")).payload;
    EXPECT_EQ(escaped.string_member("s"), "a\"b\\");
    EXPECT_EQ(escaped.string_member("t"), "c");
    EXPECT_EQ(escaped.plain_string_member("t"), "c");
    EXPECT_EQ(e.artifacts, (std::vector<event::ArtifactRef>{{"x", "log", 12}, {"y", "diff", 0}}));
}

TEST(Envelope, AcceptedValueForms) {
    EXPECT_EQ(read_ok(field("v", "0")).v, 0u);
    EXPECT_EQ(read_ok(field("v", "4294967295")).v, 4294967295u);
    EXPECT_EQ(read_ok(field("seq", "18446744073709551615")).seq, 18446744073709551615u);
    EXPECT_EQ(read_ok(field("ts", "\"not a time\"")).ts, "not a time");  // kept as written
    EXPECT_EQ(read_ok(field("source", "\"morvane\"")).source, event::EventSource::Morvane);
    EXPECT_EQ(read_ok(field("source", R"({"pipeline":null})")).source, event::EventSource::Pipeline);
    EXPECT_EQ(read_ok(field("source", R"( { "vcs" : null } )")).source, event::EventSource::Vcs);
    read_ok(with(R"("u":1,"u":2)"));  // unknown members may repeat
    // Positional form: 6 to 9 elements.
    auto e = read_ok(R"([1,"t","s",2,"vcs","k"])");
    EXPECT_EQ(std::tie(e.seq, e.source), std::make_tuple(2u, event::EventSource::Vcs));
    auto full = read_ok(R"([1,"t","s",2,"vcs","k",{"node":"n"},{"a":1},[["i","k",3]]])");
    EXPECT_EQ(full.labels.node, "n");
    EXPECT_EQ(full.artifacts.size(), 1u);
}

TEST(Envelope, RefusedLines) {
    const std::string variants = "expected one of `morvane`, `vcs`, `pipeline`";
    const std::pair<std::string, std::string> cases[] = {
        // Missing and repeated members; a repeat is found before its value is read.
        {"{}", "missing field `v`"},  // the first missing member in declared order
        {field("kind", {}), "missing field `kind`"},
        {with(R"("labels":{},"labels":{})"), "duplicate field `labels`"},
        {with(R"("payload":{},"payload":{})"), "duplicate field `payload`"},
        {with(R"("artifacts":[],"artifacts":[])"), "duplicate field `artifacts`"},
        {with(R"("v":"bad")"), "duplicate field `v`"},
        // Field types.
        {field("v", "4294967296"), "invalid value: integer `4294967296`, expected u32"},
        {field("v", "-1"), "invalid value: integer `-1`, expected u32"},
        {field("v", "1.0"), "invalid type: floating point `1.0`, expected u32"},
        {field("v", "null"), "invalid type: null, expected u32"},
        {field("seq", "\"7\""), "invalid type: string \"7\", expected u64"},
        {field("seq", "18446744073709551616"), "invalid type: floating point `1.8446744073709552e19`, expected u64"},
        {field("ts", "1"), "invalid type: integer `1`, expected a string"},
        {with(R"("payload":null)"), "invalid type: null, expected a map"},
        {with(R"("payload":[])"), "invalid type: sequence, expected a map"},
        {with(R"("labels":null)"), "invalid type: null, expected struct Labels"},
        {with(R"("artifacts":null)"), "invalid type: null, expected a sequence"},
        // The source: a word or a one-member object naming a unit variant.
        {field("source", "\"Pipeline\""), "unknown variant `Pipeline`, " + variants},
        {field("source", R"({"git":null})"), "unknown variant `git`, " + variants},
        {field("source", "null"), "expected value"},
        {field("source", "{}"), "expected value"},
        {field("source", R"({"vcs":null,"x":null})"), "expected value"},
        {field("source", R"({"vcs":1})"), "invalid type: integer `1`, expected unit"},
        // The positional form.
        {R"([1,"t","s",2,"vcs"])", "invalid length 5, expected struct Envelope with 9 elements"},
        {R"([1,"t","s",2,"vcs","k",{},{},[],null])", "trailing characters"},
        {R"([1,"t","s",2,"vcs","k",{},{},[],])", "trailing comma"},
        {R"([1,"t","s",2,"vcs","k",[]])", "invalid type: sequence, expected struct Labels"},
        // The whole line.
        {"", "EOF while parsing a value"},
        {"{" + kRequired + "} {}", "trailing characters"},
        {"null", "invalid type: null, expected struct Envelope"},
        {"5", "invalid type: integer `5`, expected struct Envelope"},
        {"{" + kRequired, "EOF while parsing an object"},
        {R"({"v":1 "ts":"t"})", "expected `,` or `}`"},
        {R"({"v":1,})", "trailing comma"},
        {R"({"v" 1})", "expected `:`"},
        {R"({v:1})", "key must be a string"},
        {"{" + kRequired + R"(,"x":[1,)", "EOF while parsing a value"},
    };
    for (const auto& [line, message] : cases) EXPECT_EQ(failure(line), message) << line;
    // Every required member given twice is refused, even with the same value.
    for (const auto& [key, text] : kMembers)
        EXPECT_EQ(failure(with("\"" + key + "\":" + text)), "duplicate field `" + key + "`");
    EXPECT_EQ(error_text(event::read_envelope(R"({"v":1,"v":1})")), "duplicate field `v` at line 1 column 12");
}

TEST(Labels, NamedKeysAndExtra) {
    auto labels = [](const std::string& body) { return read_ok(with("\"labels\":" + body)).labels; };
    auto fails = [](const std::string& body) { return failure(with("\"labels\":" + body)); };
    EXPECT_EQ(labels(R"({"node":null})").node, std::nullopt);
    EXPECT_EQ(fails(R"({"node":null,"node":"a"})"), "duplicate field `node`");
    EXPECT_EQ(fails(R"({"node":5})"), "invalid type: integer `5`, expected a string");
    EXPECT_EQ(fails(R"({"round":-0})"), "invalid type: floating point `-0.0`, expected u64");
    // A key escaped to "node" is the named key; other spellings and repeats go to extra.
    auto mixed = labels(R"({"Node":"x","\u006eode":"y","k":1,"a":null,"k":2,"b":{"c":[1]},"k":3,"":true})");
    EXPECT_EQ(mixed.node, "y");
    EXPECT_EQ(json::write(mixed.extra.read()), R"({"Node":"x","k":3,"a":null,"b":{"c":[1]},"":true})");
    // Other texts are kept in their plainest form, so those needing no escape read as views.
    auto escaped = labels(R"({"session":"s\u002d1","quote":"a\"b"})");
    EXPECT_EQ(escaped.extra.plain_string_member("session"), "s-1");
    EXPECT_EQ(escaped.extra.plain_string_member("quote"), std::nullopt);
    EXPECT_EQ(escaped.extra.string_member("quote"), "a\"b");
}

TEST(Labels, ReaderPositionedAtAValue) {
    json::Reader r(R"(  {"node":"n","x":1} , 7)");
    auto labels = event::read_labels(r);
    ASSERT_TRUE(labels.ok()) << message(labels.error());
    EXPECT_EQ(labels->node, "n");
    EXPECT_EQ(r.text().substr(r.offset()), " , 7");

    json::Reader bad("[]");
    EXPECT_EQ(error_text(event::read_labels(bad)), "invalid type: sequence, expected struct Labels at line 1 column 1");
    json::Reader end("  ");
    EXPECT_EQ(error_text(event::read_labels(end)), "EOF while parsing a value at line 1 column 2");
}

TEST(Labels, TextsFollowTheirStorageAndKeepAbsenceApartFromEmptiness) {
    json::Arena arena;
    const std::string line = with(R"("labels":{"run_id":"a-run-id-longer-than-sixteen-bytes","node":"","persona":null})");
    const event::Envelope on_heap = read_ok(line);
    EXPECT_EQ(std::tie(on_heap.labels.run_id, on_heap.labels.node, on_heap.labels.persona, on_heap.labels.step),
              std::make_tuple("a-run-id-longer-than-sixteen-bytes", "", std::nullopt, std::nullopt));
    EXPECT_GT(on_heap.labels.heap_bytes(), 0u);

    event::Envelope in_arena(arena.storage());
    in_arena = on_heap;
    EXPECT_EQ(in_arena, on_heap);
    EXPECT_EQ(in_arena.labels.heap_bytes(), 0u);  // counted with the arena's blocks
    event::Envelope moved(std::move(in_arena));
    event::Envelope back;
    back = std::move(moved);  // into another storage: copied there
    EXPECT_EQ(back, on_heap);
    EXPECT_EQ(back.labels.heap_bytes(), on_heap.labels.heap_bytes());
    back.labels.set(back.labels.node, std::nullopt);
    EXPECT_NE(back, on_heap);
}

// A line known to be UTF-8 reads as one the reader checks itself: the same envelope or the same
// message, with texts placed across the scanner's 16-byte steps.
TEST(Envelope, LinesKnownToBeUtf8ReadAsCheckedOnes) {
    const std::string texts[] = {"\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E more", "\xF0\x9F\x98\x80 \\u00e9\\ud83d\\ude00 \xC3\xBC"};
    std::vector<std::string> lines;
    for (const std::string& t : texts) {
        for (const std::string pad : {"", "0123456789abc", "0123456789abcdef0123"}) {
            const std::string s = pad + t;
            lines.push_back(field("ts", "\"" + s + "\""));
            lines.push_back(with(R"("labels":{"node":")" + s + R"(",")" + s + R"(":")" + s + R"("},"payload":{")" + s +
                                 R"(":[")" + s + R"("]},"unknown":")" + s + "\""));
            lines.push_back(field("kind", "\"" + s + "\x01\""));
            lines.push_back(field("kind", "\"" + s + "\\q\""));
            lines.push_back(with(R"("unknown":")" + s + "\x1f\""));
            lines.push_back(field("kind", "\"" + s));
        }
    }
    int read = 0;
    for (const std::string& line : lines) {
        event::Envelope checked, unchecked;
        const std::string error = error_text(event::read_envelope_into(line, unchecked));
        EXPECT_EQ(error_text(event::read_envelope_into(line, checked, json::Utf8::Checked)), error) << line;
        if (error.empty()) {
            ++read;
            EXPECT_EQ(checked, unchecked) << line;
        }
    }
    EXPECT_EQ(read, 18);
}

TEST(Artifacts, ObjectAndPositionalForms) {
    auto refs = [](const std::string& body) { return read_ok(with("\"artifacts\":" + body)).artifacts; };
    EXPECT_EQ(refs(R"([["a","b",1],["a","b",1]])").size(), 2u);  // repeats are kept
    EXPECT_EQ(refs(R"([{"bytes":0,"x":{"y":[]},"kind":"k","id":"i"}])"),
              (std::vector<event::ArtifactRef>{{"i", "k", 0}}));
    const std::pair<std::string, std::string> cases[] = {
        {R"([{"bytes":1}])", "missing field `id`"},
        {R"([{"id":"i","kind":"k"}])", "missing field `bytes`"},
        {R"([{"id":"i","id":"i"}])", "duplicate field `id`"},
        {R"([{"id":"i","kind":"k","bytes":null}])", "invalid type: null, expected u64"},
        {R"([{"id":null,"kind":"k","bytes":1}])", "invalid type: null, expected a string"},
        {R"([{"id":"i","kind":"k","bytes":1,"x":[1,]}])", "trailing comma"},
        {R"([["a","b"]])", "invalid length 2, expected struct ArtifactRef with 3 elements"},
        {R"([["a","b",1,2]])", "trailing characters"},
        {R"([5])", "invalid type: integer `5`, expected struct ArtifactRef"},
        {R"({})", "invalid type: map, expected a sequence"},
    };
    for (const auto& [body, message] : cases) EXPECT_EQ(failure(with("\"artifacts\":" + body)), message) << body;

    json::Reader r(R"([["a","b",1]] x)");
    ASSERT_TRUE(event::read_artifact_refs(r).ok());
    EXPECT_EQ(r.text().substr(r.offset()), " x");
}

TEST(MergeOrder, SortsByTsStreamSeqAndKeepsFileOrder) {
    const std::tuple<const char*, const char*, std::uint64_t, const char*> lines[] = {
        {"2024-01-01T00:00:00Z", "a", 1, "no-fraction"},
        {"2024-01-01T00:00:00.000Z", "b", 1, "b1"},
        {"2024-01-01T00:00:00.000Z", "a", 9, "a9"},
        {"2024-01-01T00:00:00.000Z", "a", 1ull << 63, "a-big"},
        {"2024-01-01T00:00:00.000Z", "a", 2, "a2-first"},
        {"2024-01-01T00:00:00.000Z", "a", 2, "a2-second"},
        {"2024-01-01T00:00:00.000", "z", 0, "prefix"},
    };
    std::vector<event::Envelope> list;
    for (const auto& [ts, stream, seq, kind] : lines) {
        list.emplace_back();
        std::tie(list.back().ts, list.back().stream, list.back().seq, list.back().kind) = std::tie(ts, stream, seq, kind);
    }
    korvalle::journal::merge_order(list);
    std::vector<std::string> kinds;
    for (const auto& e : list) kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"prefix", "a2-first", "a2-second", "a9", "a-big", "b1", "no-fraction"}));
}

TEST(EnvelopeBadInput, EachGivesOneFailureAndNoCrash) {
    // A 10 MB line: one long string member, read and kept in the payload; cut short, it fails once.
    std::string big(10 * 1024 * 1024, 'x');
    EXPECT_EQ(read_ok(with(R"("payload":{"blob":")" + big + "\"}")).payload.string_member("blob")->size(), big.size());
    EXPECT_EQ(failure(with(R"("payload":{"blob":")" + big)), "EOF while parsing a string");
    // A 10 MB line of brackets inside an unknown member: skipped without recursion, and
    // refused only because the brackets never close.
    EXPECT_EQ(failure("{" + kRequired + R"(,"unknown":)" + std::string(10 * 1024 * 1024, '[')),
              "EOF while parsing a list");
    // 100 000 closed levels inside unknown members, arrays or objects, inside the envelope
    // or inside an artifact: the line reads.
    read_ok(with(R"("unknown":)" + nest(100000)));
    std::string objects = R"("unknown":)";
    for (int i = 0; i < 100000; ++i) objects += R"({"a":)";
    read_ok(with(objects + "1" + std::string(100000, '}')));
    read_ok(with(R"("artifacts":[{"id":"i","kind":"k","bytes":1,"deep":)" + nest(100000) + "}]"));
    // Where values are kept, 127 levels in all: envelope 1, payload or labels 2, their members
    // up to 125 more.
    read_ok(with(R"("payload":{"a":)" + nest(125) + "}"));
    read_ok(with(R"("labels":{"x":)" + nest(125) + "}"));
    EXPECT_EQ(failure(with(R"("payload":{"a":)" + nest(126) + "}")), "recursion limit exceeded");
    EXPECT_EQ(failure(with(R"("labels":{"x":)" + nest(126) + "}")), "recursion limit exceeded");
    EXPECT_EQ(failure(with(R"("payload":{"a":)" + nest(100000) + "}")), "recursion limit exceeded");
    // Invalid UTF-8 in a skipped string and in a kept one; a NUL byte; a byte-order mark.
    EXPECT_EQ(failure(with("\"kind2\":\"\xFF\"")), "invalid unicode code point");
    EXPECT_EQ(failure(field("kind", "\"k\xC3\x28\"")), "invalid unicode code point");
    EXPECT_EQ(failure(with(std::string("\"x\":\"a\0b\"", 9))),
              "control character (\\u0000-\\u001F) found while parsing a string");
    EXPECT_EQ(failure("{" + kRequired + "}" + std::string(1, '\0')), "trailing characters");
    EXPECT_EQ(failure("\xEF\xBB\xBF{" + kRequired + "}"), "expected value");
}

// ---- The fast reader of journal lines. ----

namespace {

// A line read as the journal reads it: known to be UTF-8, so the fast reader tries it first.
korvalle::Result<event::Envelope> read_as_journal(std::string_view line) {
    event::Envelope e;
    korvalle::Result<void> read = event::read_envelope_into(line, e, json::Utf8::Checked);
    if (!read) return std::move(read).error();
    return e;
}

}  // namespace

// The demo runs hold every kind of line the pipeline writes, and each is one the fast reader
// vouches for, read into the envelope the strict reader makes, its payload kept as written.
TEST(FastEnvelope, ReadsEveryDemoLineAsTheStrictReaderDoes) {
    std::size_t lines = 0;
    for (const auto& run : std::filesystem::directory_iterator(std::filesystem::path(KORVALLE_SOURCE_DIR) / "examples/runs")) {
        for (const std::string& line : korvalle::journal::read_journal_lines(run.path() / "events.jsonl")) {
            const auto strict = event::read_envelope(line);
            ASSERT_TRUE(strict.ok()) << line;
            event::Envelope fast;
            ASSERT_TRUE(event::read_envelope_fast(line, fast)) << line;
            EXPECT_EQ(fast, *strict) << line;
            EXPECT_EQ(fast.payload.text(), strict->payload.text()) << line;
            EXPECT_EQ(fast.labels.extra.text(), strict->labels.extra.text()) << line;
            ++lines;
        }
    }
    EXPECT_GT(lines, 100u);
}

// Lines the fast reader cannot vouch for are judged by the strict reader: the same envelope, or
// the same message.
TEST(FastEnvelope, LeavesWhatItCannotVouchForToTheStrictReader) {
    const std::string lines[] = {
        with(R"("labels":{"session":"s\u002d1","node":"a\tb"})"),      // escapes in kept texts
        R"({"\u0076":1,)" + kRequired.substr(6) + "}",                   // an escaped known key
        with(R"("kind":"again")"),                                      // a known key twice
        R"([1,"2024-01-01T00:00:00.000Z","s",7,"vcs","k"])",            // the positional form
        with(R"("payload":{"n":1e400})"),                               // a number out of range
        with(R"("payload":{"n":123456789012345678901234567890123456789012345})"),
        with(R"("payload":{"s":"\ud83d\ude00","t":"\udc00"})"),         // surrogates, one lone
        with(R"("payload":)" + std::string(120, '[') + std::string(120, ']') + "}"),  // too deep
        with(R"("payload":{"a":[)" + nest(124) + "]}"),                 // deep, within the limit
        with(R"("labels":{"round":18446744073709551615})"),              // u64 at its limit
        with(R"("payload":{"a":1,})"),                                   // a fault
        with(R"("source":{"vcs":null})"),                               // a variant as an object
    };
    for (const std::string& line : lines) {
        event::Envelope fast;
        EXPECT_FALSE(event::read_envelope_fast(line, fast)) << line;
        const auto strict = event::read_envelope(line);
        const auto journal = read_as_journal(line);
        EXPECT_EQ(error_text(journal), error_text(strict)) << line;
        if (strict.ok()) {
            EXPECT_TRUE(journal.ok() && *journal == *strict) << line;
        }
    }
}
