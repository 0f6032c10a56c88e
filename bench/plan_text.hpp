// The plan of a large generated run: a chain of task nodes with texts, a context, a repository
// and branches, as a pipeline writes them into each round's plan.json.
#pragma once

#include <fmt/format.h>

#include <string>

namespace korvalle::bench {

inline std::string large_plan_text(int nodes) {
    std::string tasks;
    for (int i = 0; i < nodes; ++i) {
        tasks += fmt::format(R"({}{{"id":"node-{}","task":"Implement part {} of the change and keep the tests green.",)"
                             R"("persona":"worker","context":"Part {} touches the totals module.","repo":"korvalle/shop",)"
                             R"("branch":"feature/node-{}","base_branch":"main"{}}})",
                             i ? "," : "", i, i, i, i, i ? fmt::format(R"(,"deps":["node-{}"])", i - 1) : "");
    }
    return fmt::format(R"({{"schema_version":1,"goal":{{"text":"Move order totals to integer cents"}},"name":"bench",)"
                       R"("concurrency":4,"tasks":[{}]}})",
                       tasks);
}

}  // namespace korvalle::bench
