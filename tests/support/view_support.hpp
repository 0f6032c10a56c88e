// Fixture runs opened as the readers see them, and expected documents kept beside the tests.
#pragma once

#include "sdk/base/fragments.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/document_text.hpp"
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

// A document as written text, whether it was made as a tree or written as it was made.
inline std::string written_text(const boost::json::value& document) { return json::write(document); }
inline std::string written_text(const boost::json::object& document) { return json::write(document); }
inline std::string written_text(std::string text) { return text; }
inline std::string written_text(const text::Fragments& fragments) { return text::joined(fragments); }

// A written document read back as a tree, for tests that look at one part of it.
inline boost::json::value parsed(const std::string& text) {
    Result<boost::json::value> result = json::parse(text);
    EXPECT_TRUE(result.ok()) << message(result.error());
    return result.ok() ? std::move(result).value() : boost::json::value();
}

}  // namespace korvalle::testing
