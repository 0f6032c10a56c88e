// Shared helpers of the run model tests: envelopes from builder events, and replays in memory and
// from disk.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace korvalle::testing {

inline event::Envelope envelope(const Event& event) {
    const std::string line = envelope_line(event);
    Result<event::Envelope> read = event::read_envelope(line);
    EXPECT_TRUE(read.ok()) << line << ": " << message(read.error());
    return read.ok() ? std::move(read).value() : event::Envelope{};
}

// A fresh view with the events applied in the given order.
inline views::RunView replay(std::initializer_list<Event> events) {
    views::RunView view;
    for (const Event& event : events) view.apply_event(envelope(event));
    return view;
}

// The kinds of the envelopes a run on disk replays, in order; a run that does not open fails the
// test and gives one word that matches no expected list.
inline std::vector<std::string> kinds_of(const RunBuilder& run) {
    auto opened = views::RunView::open(ledger::RunPaths{run.id(), run.dir()});
    if (!opened.ok()) {
        ADD_FAILURE() << opened.error().to_string();
        return {"(not opened)"};
    }
    std::vector<std::string> out;
    for (const auto& e : opened.value().envelopes) out.push_back(e.kind);
    return out;
}

// A plan payload of nodes written as raw JSON objects.
inline std::string plan_payload(std::string_view tasks, int concurrency = 2) {
    return std::string(R"({"plan":{"schema_version":1,"concurrency":)") + std::to_string(concurrency) +
           R"(,"tasks":[)" + std::string(tasks) + "]}}";
}

}  // namespace korvalle::testing
