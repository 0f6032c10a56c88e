// Reading edit operations from objects (tag anywhere) and arrays (tag, then fields by position).
#include "sdk/plan/edits.hpp"
#include "tests/plan/messages.hpp"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

namespace korvalle::edits {
namespace {

using plan::checks::expect_each;
using Texts = std::vector<std::string>;

Result<Operation> read(std::string_view json) { return read_operation(boost::json::parse(json)); }
std::string outcome(const std::string& json) { return plan::checks::outcome(read(json)); }

void expect_reads(const std::vector<std::pair<std::string, Operation>>& cases) {
    for (const auto& [json, expected] : cases) {
        Result<Operation> got = read(json);
        ASSERT_TRUE(got.ok()) << json << ": " << message(got.error());
        EXPECT_EQ(*got, expected) << json;
    }
}

const std::string kinds =
    "expected one of `node-added`, `edge-added`, `edge-removed`, `node-dropped`, `reparent`, `retry-requested`, "
    "`node-parked`, `node-requeued`, `human-attested`, `completion-requested`, `context-added`";

TEST(ReadOperation, EveryKindInObjectAndArrayForm) {
    const plan::Node a{.id = "a"};
    const auto drop = DependentsPolicy::Drop, detach = DependentsPolicy::Detach;
    expect_reads({
        {R"({"kind":"node-added","node":{"id":"a"}})", NodeAdded{a}},
        {R"({"kind":"node-added","retry_of":null,"node":{"id":"a","kind":"human"}})",
         NodeAdded{{.id = "a", .kind = plan::NodeKind::Human}}},
        {R"({"kind":"node-added","node":["a"],"retry_of":"old"})", NodeAdded{a, "old"}},
        {R"({"kind":"edge-added","from":"a","to":"b"})", EdgeAdded{"a", "b"}},
        {R"({"kind":"edge-removed","from":"a","to":"b"})", EdgeRemoved{"a", "b"}},
        {R"({"kind":"node-dropped","node":"a","dependents":"detach"})", NodeDropped{"a", detach}},
        {R"({"kind":"node-dropped","node":"a","dependents":"drop"})", NodeDropped{"a", drop}},
        {R"({"kind":"node-dropped","node":"a","dependents":{"detach":null}})", NodeDropped{"a", detach}},
        {R"({"kind":"node-dropped","node":"a","dependents":{"drop":{}}})", NodeDropped{"a", drop}},
        {R"({"kind":"reparent","node":"a","from":["x"],"to":[]})", Reparent{"a", Texts{"x"}, Texts{}}},
        {R"({"kind":"retry-requested","node":"a","replacement":"a2","reset":["b","c"]})",
         RetryRequested{"a", "a2", Texts{"b", "c"}}},
        {R"({"kind":"retry-requested","node":"a","replacement":"b","reset":[]})", RetryRequested{"a", "b", {}}},
        {R"({"kind":"node-parked","node":"a"})", NodeParked{"a"}},
        // The tag stands anywhere and other members are ignored.
        {R"({"node":"a","kind":"node-parked"})", NodeParked{"a"}},
        {R"({"Kind":1,"note":null,"node":"a","amend":[],"kind":"node-parked"})", NodeParked{"a"}},
        {R"({"kind":"node-requeued","node":"a"})", NodeRequeued{"a", {}}},
        {R"({"kind":"node-requeued","node":"a","amend":null})", NodeRequeued{"a", {}}},
        {R"({"kind":"node-requeued","node":"a","amend":{}})", NodeRequeued{"a", boost::json::object{}}},
        {R"({"kind":"human-attested","node":""})", HumanAttested{""}},
        {R"({"kind":"completion-requested","reason":"r"})", CompletionRequested{"r"}},
        {R"({"kind":"context-added","node":"a","note":"n","delivery":"live"})", ContextAdded{"a", "n", Delivery::Live}},
        {R"({"kind":"context-added","node":"a","note":"n","delivery":{"live":{}}})",
         ContextAdded{"a", "n", Delivery::Live}},
        // Delivery defaults to deferred.
        {R"({"kind":"context-added","node":"a","note":"n"})", ContextAdded{"a", "n", Delivery::Deferred}},
        {R"(["edge-added","a","b"])", EdgeAdded{"a", "b"}},
        {R"(["context-added","n","text"])", ContextAdded{"n", "text"}},
        {R"(["node-added",{"id":"a"},"b"])", NodeAdded{a, "b"}},
        {R"(["node-dropped","a",{"detach":{}}])", NodeDropped{"a", detach}},
    });
    // An amendment keeps its members in input order.
    auto amended = read(R"({"kind":"node-requeued","node":"a","amend":{"z":1,"a":[null]}})");
    auto requeued = std::get<NodeRequeued>(plan::checks::ok(std::move(amended)));
    ASSERT_TRUE(requeued.amend.has_value());
    EXPECT_EQ(requeued.amend->begin()->key(), "z");
}

TEST(ReadOperation, FaultsInTheirOrder) {
    const std::string single_key = "invalid value: map, expected map with a single key";
    expect_each({
        // Tag faults come before field faults.
        {R"({"kind":"node-parked"})", "missing field `node`"},
        {R"({"node":"a"})", "missing field `kind`"},
        {R"({"node":5,"from":null,"kind":"nope"})", "unknown variant `nope`, " + kinds},
        {R"({"kind":"nope","node":5})", "unknown variant `nope`, " + kinds},
        {R"({"kind":"Node-Parked","node":"a"})", "unknown variant `Node-Parked`, " + kinds},
        {R"({"kind":"node-parked ","node":"a"})", "unknown variant `node-parked `, " + kinds},
        {R"({"kind":7,"node":"a"})", "invalid type: integer `7`, expected variant identifier"},
        {R"({"kind":null,"node":"a"})", "invalid type: null, expected variant identifier"},
        {R"("node-parked")", "invalid type: string \"node-parked\", expected internally tagged enum Operation"},
        {"null", "invalid type: null, expected internally tagged enum Operation"},
        // Field types; members are read in object order, the first faulty one is reported.
        {R"({"kind":"reparent","node":"a","from":"x","to":[]})", "invalid type: string \"x\", expected a sequence"},
        {R"({"kind":"reparent","node":"a","from":[1],"to":[]})", "invalid type: integer `1`, expected a string"},
        {R"({"kind":"node-parked","node":null})", "invalid type: null, expected a string"},
        {R"({"kind":"retry-requested","node":"a","replacement":"b"})", "missing field `reset`"},
        {R"({"kind":"edge-added","to":1,"from":true})", "invalid type: integer `1`, expected a string"},
        {R"({"kind":"node-added","node":{"task":"t"}})", "missing field `id`"},
        {R"({"kind":"node-added","node":"a"})", "invalid type: string \"a\", expected struct Node"},
        {R"({"kind":"node-requeued","node":"a","amend":[]})", "invalid type: sequence, expected a map"},
        {R"({"kind":"node-requeued","node":"a","amend":"x"})", "invalid type: string \"x\", expected a map"},
        // Delivery refuses null though it has a default.
        {R"({"kind":"context-added","node":"a","note":"n","delivery":null})",
         "invalid type: null, expected string or map"},
        {R"({"kind":"context-added","node":"a","note":"n","delivery":"Live"})",
         "unknown variant `Live`, expected `live` or `deferred`"},
        {R"({"kind":"node-dropped","node":"a"})", "missing field `dependents`"},
        {R"({"kind":"node-dropped","node":"a","dependents":"Drop"})",
         "unknown variant `Drop`, expected `drop` or `detach`"},
        {R"({"kind":"node-dropped","node":"a","dependents":{"Drop":null}})",
         "unknown variant `Drop`, expected `drop` or `detach`"},
        {R"({"kind":"node-dropped","node":"a","dependents":{"drop":1}})", "invalid type: integer `1`, expected unit"},
        {R"({"kind":"node-dropped","node":"a","dependents":{}})", single_key},
        {R"({"kind":"node-dropped","node":"a","dependents":{"drop":null,"detach":null}})", single_key},
        {R"({"kind":"node-dropped","node":"a","dependents":0})", "invalid type: integer `0`, expected string or map"},
        // Array form: field faults are found before the length check.
        {R"(["node-parked"])", "invalid length 0, expected struct variant Operation::NodeParked with 1 element"},
        {R"(["reparent","a",[]])", "invalid length 2, expected struct variant Operation::Reparent with 3 elements"},
        {R"(["node-parked","a","b"])", "invalid length 2, expected 1 element in sequence"},
        {R"(["context-added","a","n","live",1])", "invalid length 4, expected 3 elements in sequence"},
        {R"(["node-parked",1,"b"])", "invalid type: integer `1`, expected a string"},
        {"[]", "missing field `kind`"},
        {"[1]", "invalid type: integer `1`, expected variant identifier"},
        {R"(["context-added","n","t",null])", "invalid type: null, expected string or map"},
    }, outcome);
    EXPECT_TRUE(plan::checks::starts(outcome(R"({"kind":"node-added","node":{"id":"a","Title":"t"}})"),
                                     "unknown field `Title`"));
}

}  // namespace
}  // namespace korvalle::edits
