// The plan document: a goal and a list of task nodes with their steps, dependencies and
// per-node settings, read strictly from YAML text, JSON text, a JSON value tree or the
// buffered value of an edit operation.
//
// Reading is all or nothing: a reader returns the whole record or the first fault in document
// order (the messages quoted below are message() of that fault). Unknown keys are refused in
// every form; a default applies only to an absent key.
#pragma once

#include "sdk/base/result.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvalle::files {
struct ReadTrace;
class FileAt;
}

namespace korvalle::plan {

using korvalle::Fault;
using korvalle::Result;
using korvalle::SdkError;

// ---- Enumerations: one exact lower-case word per value, in declared order. ----

enum class NodeKind : std::uint8_t { Agent, Human };
enum class MergePolicy : std::uint8_t { LocalDirect, ChangeOpen, ChangeAuto, ChangeDirect };
enum class Workflow : std::uint8_t { Local, Remote };
enum class RepoType : std::uint8_t { SingleOwner, Team };

// The wire word of a value: "agent", "change-open", "single-owner", ...
std::string_view word(NodeKind value);
std::string_view word(MergePolicy value);
std::string_view word(Workflow value);
std::string_view word(RepoType value);

// ---- Records. Optional fields keep "absent" apart from every value (an empty text or an
// empty list is a set value). ----

struct Goal {
    std::string text;

    bool operator==(const Goal&) const = default;
};

struct Resume {
    std::string branch;
    std::optional<std::string> checkpoint;
    std::vector<std::string> completed_steps;

    bool operator==(const Resume&) const = default;
};

struct Step {
    std::string id;
    NodeKind kind = NodeKind::Agent;
    std::optional<std::string> task;
    std::optional<std::string> persona;
    std::vector<std::string> deps;
    std::optional<std::string> done_when;
    std::optional<std::uint32_t> max_turns;
    bool expects_no_diff = false;
    std::optional<std::string> executor;
    std::optional<std::string> agent_graph;

    bool operator==(const Step&) const = default;
};

struct Node {
    std::string id;
    NodeKind kind = NodeKind::Agent;
    std::optional<std::string> task;
    std::optional<std::string> persona;
    std::vector<std::string> deps;
    std::optional<std::string> done_when;
    std::optional<std::uint32_t> max_turns;
    bool expects_no_diff = false;
    std::optional<std::string> context;
    bool parked = false;
    std::optional<std::string> executor;
    std::optional<std::string> agent_graph;
    std::optional<std::string> repo;
    std::optional<RepoType> repo_type;
    std::optional<Workflow> workflow;
    std::optional<MergePolicy> merge_policy;
    std::optional<std::string> base_branch;
    std::optional<std::string> branch;
    std::optional<std::string> title;
    std::optional<std::string> execution_checkout;
    std::optional<bool> verify_via_ci;
    std::optional<std::vector<Step>> steps;
    std::optional<Resume> resume;

    bool operator==(const Node&) const = default;

    // An independent deep copy (defined with the writers in plan_write.cpp).
    Node clone() const;
};

struct Plan {
    std::uint32_t schema_version = 0;
    std::optional<Goal> goal;
    std::optional<std::string> name;
    std::uint32_t concurrency = 4;
    std::vector<Node> tasks;

    bool operator==(const Plan&) const = default;

    // Loads one plan file: JSON when the extension is "json" in any ASCII case and the whole
    // text is one JSON value, YAML (one document) otherwise. The second form reads the plan
    // over `spent`, as the readers below do.
    // When trace is given, it receives how the file's read went (files::ReadTrace). The last form
    // reads a file named from a directory held open (files::FileAt).
    static Result<Plan, SdkError> load(const std::filesystem::path& path);
    static Result<Plan, SdkError> load(const std::filesystem::path& path, Plan spent, files::ReadTrace* trace = nullptr);
    static Result<Plan, SdkError> load(const files::FileAt& file, Plan spent, files::ReadTrace* trace = nullptr);
};

// ---- Entry points. A plan reader reads over `spent` (a plan no longer needed) and gives the
// same plan whatever it held: a run of similar plans read one over another reuses the room of
// their texts and lists instead of allocating each anew. ----

// A YAML stream holding one document with a plan: the first document is read, and a further
// one fails with "deserializing from YAML containing more than one document is not supported".
// Messages start with the key path of the offending value ("tasks[0].kind: ", left out for the
// document itself) and end with " at line L column C" (left out at line 0 column 0).
Result<Plan> read_plan_yaml(std::string_view text, Plan spent = {});

// The whole text as one JSON plan object; only whitespace may follow. Messages end with
// " at line L column C".
Result<Plan> read_plan_json(std::string_view text, Plan spent = {});

// The "plan" member of a run-started payload, read as a plan from a copy; none when the
// member is missing or cannot be read (the message is dropped).
std::optional<Plan> plan_from_value(const boost::json::object& payload);
std::optional<Plan> plan_from_value(const boost::json::value& payload);

// A node from a JSON value tree (run-started plans, requeued nodes): no locations.
Result<Node> node_from_value(const boost::json::value& value);

// A node from the buffered value of an edit operation: as node_from_value, except the message
// for an over-long positional record ("invalid length {n}, expected {k} elements in
// sequence").
Result<Node> node_from_content(const boost::json::value& value);

}  // namespace korvalle::plan
