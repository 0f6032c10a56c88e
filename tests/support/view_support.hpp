// Fixture runs opened as the readers see them, and expected documents kept beside the tests.
#pragma once

#include "sdk/run/views.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace korvalle::testing {

inline views::RunView open_view(const std::filesystem::path& dir, const std::string& id) {
    auto loaded = views::RunView::open(ledger::RunPaths{id, dir});
    EXPECT_TRUE(loaded.ok()) << id;
    return std::move(loaded.value());
}

inline views::RunView open_view(const RunBuilder& run) { return open_view(run.dir(), run.id()); }

// An expected document: one line of written JSON, its closing newlines left out.
inline std::string expected_document(const std::filesystem::path& path) {
    std::string text = read_text(path);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace korvalle::testing
