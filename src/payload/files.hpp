// Reading a run's JSON files, and the per-node rows built from round results and plan steps.
#pragma once

#include "sdk/base/files.hpp"
#include "sdk/plan/plan.hpp"

#include <boost/json/array.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// One JSON value of any type from a whole file that is valid UTF-8, with only JSON white
// space after the value and at most 127 levels of nesting; none on any failure (missing,
// not a regular file, unreadable, not UTF-8, not exactly one value). The value is made in
// storage. When trace is given, it receives how the file's read went.
std::optional<boost::json::value> read_json_file(const files::FileAt& file,
                                                 boost::json::storage_ptr storage = {},
                                                 files::ReadTrace* trace = nullptr);
// The same of a file already read (files::read_regular and its kin).
std::optional<boost::json::value> json_of_file(const files::ReadResult& read, boost::json::storage_ptr storage = {});

// Reserves the room of a document that grows with the journal: the bytes of the view's values,
// which such a document copies from. It rarely outgrows them, and room never written costs no
// memory, while a text of tens of megabytes grown step by step is copied, and its pages faulted
// in afresh, at every step. (The files' sizes would not do: a sparse journal can claim
// terabytes.)
void reserve_document(std::string& text, const views::RunView& view);

// One node's entry: its status text (a result file's text as written, or a derived status
// word) and its outcome when one is known.
struct Recorded {
    std::string status;
    std::optional<std::string> outcome;

    bool operator==(const Recorded&) const = default;
};

// Node id to entry, ascending bytewise by node id.
using Roster = std::map<std::string, Recorded>;

// One element of a round result's "nodes" array: none unless it is an object whose "id" and
// "status" are strings; the outcome is "outcome" when that is a string.
std::optional<std::pair<std::string, Recorded>> recorded_entry(const boost::json::value& entry);
// The node id and status of the same, as views into it.
std::optional<std::pair<std::string_view, std::string_view>> recorded_status(const boost::json::value& entry);

// The step rows of a node: {"id","kind","persona","status"} per step in plan order, status
// "done" when the completed list holds the step id exactly, else "pending". Empty when the
// node has no step list.
boost::json::array step_rows(const std::optional<std::vector<plan::Step>>& steps,
                             const std::vector<std::string>& completed);

}  // namespace korvalle::payload
