// The shared walks answer every caller and begin the next walk whatever fails: a walk that ends
// with an error, a beginning that throws, a caller whose answer throws.
#include "src/store/shared_walks.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvalle::store {
namespace {

// The callers' answers, in the order given: "walk N", or the error's message.
struct Answers {
    SharedWalks::Done done() {
        return [this](std::exception_ptr error, SharedWalks::SharedWalk walk) {
            if (!error && !walk) return said.push_back("none");
            if (!error) return said.push_back("walk " + std::to_string(walk->records().size()));
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                said.push_back(e.what());
            }
        };
    }
    std::vector<std::string> said;
};

// Begins hold their walk's finish until the test ends it, and its question whether anyone still
// wants it, which a walk asks where it starts.
struct Walks {
    SharedWalks::Begin begin() {
        return [this](SharedWalks::Finish finish, SharedWalks::Wanted wanted) {
            running.push_back(std::move(finish));
            anyone.push_back(std::move(wanted));
        };
    }
    std::vector<SharedWalks::Finish> running;
    std::vector<SharedWalks::Wanted> anyone;
};

TEST(SharedWalks, EveryCallerIsAnsweredAndTheNextWalkBeginsWhateverFails) {
    auto walks = std::make_shared<SharedWalks>();
    Walks begun;
    Answers answers;

    // A walk that fails tells each of its callers; the callers who came meanwhile share the next.
    walks->after_now(answers.done(), begun.begin());
    walks->after_now(answers.done(), begun.begin());
    walks->after_now(answers.done(), begun.begin());
    ASSERT_EQ(begun.running.size(), 1u) << "one walk at a time";
    begun.running[0](std::make_exception_ptr(std::runtime_error("root gone")), {});
    EXPECT_EQ(answers.said, std::vector<std::string>{"root gone"});
    ASSERT_EQ(begun.running.size(), 2u) << "the end of one walk begins the next";
    begun.running[1](nullptr, std::vector<SharedRecord>(2));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"root gone", "walk 2", "walk 2"}));

    // A beginning that throws fails its walk alone.
    answers.said.clear();
    walks->after_now(answers.done(), [](const SharedWalks::Finish&, const SharedWalks::Wanted&) { throw std::runtime_error("no thread"); });
    EXPECT_EQ(answers.said, std::vector<std::string>{"no thread"});

    // A caller whose answer throws leaves the others of its walk answered.
    answers.said.clear();
    walks->after_now([](std::exception_ptr, SharedWalks::SharedWalk) { throw std::bad_alloc(); }, begun.begin());
    walks->after_now(answers.done(), begun.begin());
    walks->after_now(answers.done(), begun.begin());
    begun.running.back()(nullptr, {});
    ASSERT_EQ(begun.running.size(), 4u);
    begun.running.back()(nullptr, std::vector<SharedRecord>(1));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"walk 1", "walk 1"}));

    // Nothing is left running: the next caller begins a walk of its own at once.
    walks->after_now(answers.done(), begun.begin());
    EXPECT_EQ(begun.running.size(), 5u);
}

// A caller that no longer wants the walk it waits for (a snapshot at the stop) is told so where
// the walk begins or starts, and a walk that nobody wants any more reads nothing.
TEST(SharedWalks, ACallerThatNoLongerWantsItsWalkIsToldSoAndCostsNoWalk) {
    auto walks = std::make_shared<SharedWalks>();
    Walks begun;
    Answers answers;
    bool stopped = false;
    const SharedWalks::Wanted until_stopped = [&] { return !stopped; };

    // As the next walk begins: the caller who no longer wants it is told so, and the walk
    // begins through the begin of one who does.
    walks->after_now(answers.done(), begun.begin());
    walks->after_now(answers.done(), begun.begin(), until_stopped);
    walks->after_now(answers.done(), begun.begin());
    stopped = true;
    begun.running[0](nullptr, std::vector<SharedRecord>(1));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"walk 1", "none"}));
    ASSERT_EQ(begun.running.size(), 2u);
    EXPECT_TRUE(begun.anyone[1]());
    begun.running[1](nullptr, std::vector<SharedRecord>(2));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"walk 1", "none", "walk 2"}));

    // Where a walk begun before the stop starts: nobody is left, so it reads nothing; and the
    // batch after it, which nobody wants either, begins no walk at all.
    answers.said.clear();
    stopped = false;
    walks->after_now(answers.done(), begun.begin(), until_stopped);
    walks->after_now(answers.done(), begun.begin(), until_stopped);
    stopped = true;
    ASSERT_EQ(begun.running.size(), 3u);
    EXPECT_FALSE(begun.anyone[2]());
    EXPECT_EQ(answers.said, std::vector<std::string>{"none"});
    begun.running[2](nullptr, {});
    EXPECT_EQ(answers.said, (std::vector<std::string>{"none", "none"}));
    EXPECT_EQ(begun.running.size(), 3u);

    // Nothing is left running: the next caller begins a walk of its own at once.
    walks->after_now(answers.done(), begun.begin());
    EXPECT_EQ(begun.running.size(), 4u);
}

}  // namespace
}  // namespace korvalle::store
