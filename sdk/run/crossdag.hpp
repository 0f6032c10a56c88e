// Dependencies on nodes of other runs: "run:" + run id + "#" + node id in a node's deps.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/plan/graph.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace korvalle::crossdag {

struct Reference {
    std::string run;
    std::string node;

    bool operator==(const Reference&) const = default;
};

// The run and node of a reference, or none when the text is not one. The run must name
// exactly one directory inside the runs directory: not empty, ".", "..", nor holding a slash
// or a backslash.
std::optional<Reference> parse_ref(std::string_view text);

// Resolves each reference against the runs directory, opened once: each other run's entry and
// journal are looked up from that descriptor. Done when the other run's journal,
// read from its last line back, last settled the node as "done"; blocked in every other case
// (no such run, no journal, no settle, another status, a run text that no file name can
// hold). Texts that are not references get no entry. seen, when given, records each other
// run's journal that the resolution read or looked for.
std::map<std::string, graph::NodeStatus> resolve_quietly(const std::set<std::string>& references,
                                                         const std::filesystem::path& runs_dir,
                                                         files::SeenFiles* seen = nullptr);

}  // namespace korvalle::crossdag
