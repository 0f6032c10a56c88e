// Run files past their bounds: a plan over the size bound, a sparse journal of a terabyte, and
// journal lines past the line bound. (Whole runs from a hostile root: tests/api/hostile_root.)
#include "sdk/base/files.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/plan/plan.hpp"
#include "tests/run/run_support.hpp"

#include <unistd.h>

namespace korvalle {
namespace {

namespace fs = std::filesystem;
using testing::RunsRoot;
using testing::kinds_of;

constexpr off_t terabyte = off_t{1} << 40;

void make_sparse(const fs::path& path, off_t size) { ASSERT_EQ(::truncate(path.c_str(), size), 0) << path; }

TEST(RunFileBounds, AFileOverTheBoundIsUnreadableWithoutBeingRead) {
    RunsRoot root;
    testing::write_file(root.path() / "plan.yaml", "");
    make_sparse(root.path() / "plan.yaml", off_t{64 << 20} + 1);
    auto plan = plan::Plan::load(root.path() / "plan.yaml");
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(std::get<plan::SdkError::Io>(plan.error().error).code, EFBIG);
    EXPECT_EQ(files::read_regular(root.path() / "plan.yaml", std::size_t{128} << 20).bytes->size(),
              (std::size_t{64} << 20) + 1);
}

TEST(RunFileBounds, SparseJournalsReadTheirDataAndDropTheLinesHolesTouch) {
    RunsRoot root;
    auto run = root.run("sparse");
    run.launch();
    run.event({.kind = "before"});
    run.journal_bytes(testing::envelope_line({.kind = "touched"}));  // the hole follows on its line
    make_sparse(run.dir() / "events.jsonl", terabyte);
    run.journal_bytes(testing::envelope_line({.kind = "also-touched"}) + "\n");
    run.event({.kind = "after"});
    run.journal_bytes(std::string(3, '\0'));  // a last line of NULs
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"before", "after"}));
}

TEST(RunFileBounds, AJournalLinePastTheBoundIsSkippedAndReadingGoesOn) {
    RunsRoot root;
    auto run = root.run("long");
    run.launch();
    run.event({.kind = "one"});
    const std::string long_line(journal::max_line_bytes + 1, 'x');
    run.line(long_line);
    run.event({.kind = "two"});
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "two"}));

    // A line of exactly the bound is read (and is not an envelope).
    std::size_t visited = 0;
    testing::write_file(run.dir() / "bound.jsonl", std::string(journal::max_line_bytes, 'y') + "\nz\n");
    EXPECT_TRUE(journal::for_each_journal_line(run.dir() / "bound.jsonl", [&](std::string_view line) {
        visited += line.size();
    }));
    EXPECT_EQ(visited, journal::max_line_bytes + 1);

    // The skipped line is still checked for UTF-8: characters cut by chunk ends are fine, a
    // byte that can never occur is not, and a sequence cut by the end of the file ends it.
    std::string euros;
    while (euros.size() <= journal::max_line_bytes) euros += "x€";
    testing::write_file(run.dir() / "events.jsonl", "");
    run.event({.kind = "one"}).line(euros).event({.kind = "two"});
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "two"}));
    run.journal_bytes(euros + "\xE2\x82");
    EXPECT_EQ(kinds_of(run), (std::vector<std::string>{"one", "two"}));
    run.journal_bytes("\n" + euros + "\xFF" + "x\n");
    EXPECT_TRUE(kinds_of(run).empty());
}

}  // namespace
}  // namespace korvalle
