// Fuzzes the JSON plan reader. Besides never crashing: a plan it accepts is valid JSON, reads
// the same from the value tree of that text, and every node written back reads back equal.
#include "sdk/base/json_read.hpp"
#include "sdk/plan/plan.hpp"
#include "sdk/plan/plan_write.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace plan = korvalle::plan;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    korvalle::Result<plan::Plan> read = plan::read_plan_json(text);
    if (!read.ok()) {
        if (korvalle::message(read.error()).empty()) __builtin_trap();
        return 0;
    }
    korvalle::Result<boost::json::value> parsed = korvalle::json::parse(text);
    if (!parsed.ok()) __builtin_trap();
    boost::json::object payload;
    payload["plan"] = *parsed;
    std::optional<plan::Plan> from_tree = plan::plan_from_value(payload);
    // A repeated key is a fault in text but keeps its last value in a tree, so only a plan
    // read from text must also read from the tree.
    if (!from_tree || !(*from_tree == *read)) __builtin_trap();
    for (const plan::Node& node : read->tasks) {
        korvalle::Result<plan::Node> back = plan::node_from_value(plan::node_to_value(node));
        if (!back.ok() || !(*back == node)) __builtin_trap();
    }
    return 0;
}
