#include "sdk/edits.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace korvalle::edits {
namespace {

plan::Read<Operation> read(std::string_view json) { return read_operation(boost::json::parse(json)); }

std::string error_of(std::string_view json) {
    auto result = read(json);
    EXPECT_FALSE(result.ok()) << json;
    return result.error;
}

template <class Op>
Op read_as(std::string_view json) {
    auto result = read(json);
    if (!result.ok()) {
        ADD_FAILURE() << json << ": " << result.error;
        return Op{};
    }
    auto* op = std::get_if<Op>(&*result.value);
    if (!op) {
        ADD_FAILURE() << json << ": read as variant " << result.value->index();
        return Op{};
    }
    return *op;
}

using Texts = std::vector<std::string>;

TEST(ReadOperation, EveryKindInObjectForm) {
    EXPECT_EQ(read_as<NodeAdded>(R"({"kind":"node-added","node":{"id":"a"}})").node.id, "a");
    EXPECT_EQ(read_as<EdgeAdded>(R"({"kind":"edge-added","from":"a","to":"b"})"), (EdgeAdded{"a", "b"}));
    EXPECT_EQ(read_as<EdgeRemoved>(R"({"kind":"edge-removed","from":"a","to":"b"})"),
              (EdgeRemoved{"a", "b"}));
    EXPECT_EQ(read_as<NodeDropped>(R"({"kind":"node-dropped","node":"a","dependents":"detach"})"),
              (NodeDropped{"a", DependentsPolicy::Detach}));
    EXPECT_EQ(read_as<Reparent>(R"({"kind":"reparent","node":"a","from":["x"],"to":[]})"),
              (Reparent{"a", Texts{"x"}, Texts{}}));
    EXPECT_EQ(
        read_as<RetryRequested>(R"({"kind":"retry-requested","node":"a","replacement":"a2","reset":["b","c"]})"),
        (RetryRequested{"a", "a2", Texts{"b", "c"}}));
    EXPECT_EQ(read_as<NodeParked>(R"({"kind":"node-parked","node":"a"})"), NodeParked{"a"});
    EXPECT_EQ(read_as<NodeRequeued>(R"({"kind":"node-requeued","node":"a"})"), (NodeRequeued{"a", {}}));
    EXPECT_EQ(read_as<HumanAttested>(R"({"kind":"human-attested","node":""})"), HumanAttested{""});
    EXPECT_EQ(read_as<CompletionRequested>(R"({"kind":"completion-requested","reason":"r"})"),
              CompletionRequested{"r"});
    EXPECT_EQ(read_as<ContextAdded>(R"({"kind":"context-added","node":"a","note":"n","delivery":"live"})"),
              (ContextAdded{"a", "n", Delivery::Live}));
}

TEST(ReadOperation, TagStandsAnywhereAndOtherMembersAreIgnored) {
    EXPECT_EQ(read_as<NodeParked>(R"({"node":"a","kind":"node-parked"})"), NodeParked{"a"});
    EXPECT_EQ(read_as<NodeParked>(R"({"Kind":1,"note":null,"node":"a","amend":[],"kind":"node-parked"})"),
              NodeParked{"a"});
}

TEST(ReadOperation, TagFaultsComeBeforeFieldFaults) {
    EXPECT_EQ(error_of(R"({"kind":"node-parked"})"), "missing field `node`");
    EXPECT_EQ(error_of(R"({"node":"a"})"), "missing field `kind`");
    const std::string unknown =
        "unknown variant `nope`, expected one of `node-added`, `edge-added`, `edge-removed`, "
        "`node-dropped`, `reparent`, `retry-requested`, `node-parked`, `node-requeued`, "
        "`human-attested`, `completion-requested`, `context-added`";
    EXPECT_EQ(error_of(R"({"node":5,"from":null,"kind":"nope"})"), unknown);
    EXPECT_EQ(error_of(R"({"kind":"nope","node":5})"), unknown);
    EXPECT_EQ(error_of(R"({"kind":"Node-Parked","node":"a"})").rfind("unknown variant `Node-Parked`", 0), 0u);
    EXPECT_EQ(error_of(R"({"kind":"node-parked ","node":"a"})").rfind("unknown variant `node-parked `", 0), 0u);
    EXPECT_EQ(error_of(R"({"kind":7,"node":"a"})"), "invalid type: integer `7`, expected variant identifier");
    EXPECT_EQ(error_of(R"({"kind":null,"node":"a"})"), "invalid type: null, expected variant identifier");
}

TEST(ReadOperation, NotAnObjectOrArray) {
    EXPECT_EQ(error_of(R"("node-parked")"),
              "invalid type: string \"node-parked\", expected internally tagged enum Operation");
    EXPECT_EQ(error_of("null"), "invalid type: null, expected internally tagged enum Operation");
}

TEST(ReadOperation, FieldTypes) {
    EXPECT_EQ(error_of(R"({"kind":"reparent","node":"a","from":"x","to":[]})"),
              "invalid type: string \"x\", expected a sequence");
    EXPECT_EQ(error_of(R"({"kind":"reparent","node":"a","from":[1],"to":[]})"),
              "invalid type: integer `1`, expected a string");
    EXPECT_EQ(error_of(R"({"kind":"node-parked","node":null})"), "invalid type: null, expected a string");
    EXPECT_EQ(error_of(R"({"kind":"retry-requested","node":"a","replacement":"b"})"),
              "missing field `reset`");
    EXPECT_EQ(read_as<RetryRequested>(R"({"kind":"retry-requested","node":"a","replacement":"b","reset":[]})")
                  .reset,
              Texts{});
    // Members are read in object order: the first faulty one is reported.
    EXPECT_EQ(error_of(R"({"kind":"edge-added","to":1,"from":true})"),
              "invalid type: integer `1`, expected a string");
}

TEST(ReadOperation, NodeAddedReadsItsNodeAndRetryOf) {
    auto added = read_as<NodeAdded>(R"({"kind":"node-added","retry_of":null,"node":{"id":"a","kind":"human"}})");
    EXPECT_EQ(added.node.kind, plan::NodeKind::Human);
    EXPECT_FALSE(added.retry_of.has_value());
    EXPECT_EQ(read_as<NodeAdded>(R"({"kind":"node-added","node":["a"],"retry_of":"old"})").retry_of, "old");
    EXPECT_EQ(error_of(R"({"kind":"node-added","node":{"task":"t"}})"), "missing field `id`");
    EXPECT_EQ(error_of(R"({"kind":"node-added","node":{"id":"a","Title":"t"}})").rfind("unknown field `Title`", 0),
              0u);
    EXPECT_EQ(error_of(R"({"kind":"node-added","node":"a"})"), "invalid type: string \"a\", expected struct Node");
}

TEST(ReadOperation, RequeueAmend) {
    EXPECT_FALSE(read_as<NodeRequeued>(R"({"kind":"node-requeued","node":"a","amend":null})").amend);
    auto empty = read_as<NodeRequeued>(R"({"kind":"node-requeued","node":"a","amend":{}})");
    ASSERT_TRUE(empty.amend.has_value());
    EXPECT_TRUE(empty.amend->empty());
    auto amend = read_as<NodeRequeued>(R"({"kind":"node-requeued","node":"a","amend":{"z":1,"a":[null]}})");
    ASSERT_TRUE(amend.amend.has_value());
    EXPECT_EQ(amend.amend->begin()->key(), "z");  // input order kept
    EXPECT_EQ(error_of(R"({"kind":"node-requeued","node":"a","amend":[]})"),
              "invalid type: sequence, expected a map");
    EXPECT_EQ(error_of(R"({"kind":"node-requeued","node":"a","amend":"x"})"),
              "invalid type: string \"x\", expected a map");
}

TEST(ReadOperation, DeliveryDefaultsToDeferredButRefusesNull) {
    EXPECT_EQ(read_as<ContextAdded>(R"({"kind":"context-added","node":"a","note":"n"})").delivery,
              Delivery::Deferred);
    EXPECT_EQ(read_as<ContextAdded>(R"({"kind":"context-added","node":"a","note":"n","delivery":{"live":{}}})")
                  .delivery,
              Delivery::Live);
    EXPECT_EQ(error_of(R"({"kind":"context-added","node":"a","note":"n","delivery":null})"),
              "invalid type: null, expected string or map");
    EXPECT_EQ(error_of(R"({"kind":"context-added","node":"a","note":"n","delivery":"Live"})"),
              "unknown variant `Live`, expected `live` or `deferred`");
}

TEST(ReadOperation, DependentsShapes) {
    EXPECT_EQ(read_as<NodeDropped>(R"({"kind":"node-dropped","node":"a","dependents":"drop"})").dependents,
              DependentsPolicy::Drop);
    EXPECT_EQ(read_as<NodeDropped>(R"({"kind":"node-dropped","node":"a","dependents":{"detach":null}})").dependents,
              DependentsPolicy::Detach);
    EXPECT_EQ(read_as<NodeDropped>(R"({"kind":"node-dropped","node":"a","dependents":{"drop":{}}})").dependents,
              DependentsPolicy::Drop);
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a"})"), "missing field `dependents`");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":"Drop"})"),
              "unknown variant `Drop`, expected `drop` or `detach`");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":{"Drop":null}})"),
              "unknown variant `Drop`, expected `drop` or `detach`");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":{"drop":1}})"),
              "invalid type: integer `1`, expected unit");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":{}})"),
              "invalid value: map, expected map with a single key");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":{"drop":null,"detach":null}})"),
              "invalid value: map, expected map with a single key");
    EXPECT_EQ(error_of(R"({"kind":"node-dropped","node":"a","dependents":0})"),
              "invalid type: integer `0`, expected string or map");
}

TEST(ReadOperation, ArrayForm) {
    EXPECT_EQ(read_as<EdgeAdded>(R"(["edge-added","a","b"])"), (EdgeAdded{"a", "b"}));
    EXPECT_EQ(read_as<ContextAdded>(R"(["context-added","n","text"])"), (ContextAdded{"n", "text"}));
    EXPECT_EQ(read_as<NodeAdded>(R"(["node-added",{"id":"a"},"b"])").retry_of, "b");
    EXPECT_EQ(read_as<NodeDropped>(R"(["node-dropped","a",{"detach":{}}])").dependents, DependentsPolicy::Detach);
    EXPECT_EQ(error_of(R"(["node-parked"])"),
              "invalid length 0, expected struct variant Operation::NodeParked with 1 element");
    EXPECT_EQ(error_of(R"(["reparent","a",[]])"),
              "invalid length 2, expected struct variant Operation::Reparent with 3 elements");
    EXPECT_EQ(error_of(R"(["node-parked","a","b"])"), "invalid length 2, expected 1 element in sequence");
    EXPECT_EQ(error_of(R"(["context-added","a","n","live",1])"), "invalid length 4, expected 3 elements in sequence");
    // Field faults are found before the length check.
    EXPECT_EQ(error_of(R"(["node-parked",1,"b"])"), "invalid type: integer `1`, expected a string");
    EXPECT_EQ(error_of("[]"), "missing field `kind`");
    EXPECT_EQ(error_of("[1]"), "invalid type: integer `1`, expected variant identifier");
    EXPECT_EQ(error_of(R"(["context-added","n","t",null])"), "invalid type: null, expected string or map");
}

}  // namespace
}  // namespace korvalle::edits
