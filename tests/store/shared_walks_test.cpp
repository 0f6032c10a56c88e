// The shared walks answer every caller and begin the next walk whatever fails: a walk that ends
// with an error, a beginning that throws, a caller whose answer throws.
#include "src/store/shared_walks.hpp"

#include <gtest/gtest.h>

#include <chrono>
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

// Begins hold their walk's start and finish until the test calls them.
struct Walks {
    SharedWalks::Begin begin() {
        return [this](SharedWalks::Start start, SharedWalks::Finish finish) {
            starts.push_back(std::move(start));
            running.push_back(std::move(finish));
        };
    }
    std::vector<SharedWalks::Start> starts;
    std::vector<SharedWalks::Finish> running;
};

TEST(SharedWalks, TheNextWalkGathersTheCrowdTheLastOneAnsweredForAMoment) {
    auto walks = std::make_shared<SharedWalks>();
    Walks begun;
    Answers answers;
    std::vector<std::function<void()>> timed;  // each gather's end, called when its time is up
    const SharedWalks::Gather gather = [&](auto, std::function<void()> go) { timed.push_back(std::move(go)); };
    const auto ask = [&](int callers) {
        for (int i = 0; i < callers; ++i) walks->after_now(answers.done(), begun.begin(), gather);
    };
    ask(3);
    begun.starts[0]();
    ask(1);
    begun.running[0](nullptr, std::vector<SharedRecord>(1));
    ASSERT_EQ(timed.size(), 1u) << "the next walk gathers its callers";

    // The three answered ask again: once the four wait, their walk is begun, before the time is up.
    ask(2);
    EXPECT_EQ(begun.running.size(), 1u);
    ask(1);
    ASSERT_EQ(begun.running.size(), 2u);
    timed[0]();  // too late: it begins nothing more
    EXPECT_EQ(begun.running.size(), 2u);

    // A crowd that does not come back is waited for only until the gather's time is up.
    begun.starts[1]();
    ask(1);
    begun.running[1](nullptr, std::vector<SharedRecord>(2));
    ASSERT_EQ(timed.size(), 2u);
    EXPECT_EQ(begun.running.size(), 2u);
    timed[1]();
    ASSERT_EQ(begun.running.size(), 3u);
    begun.running[2](nullptr, {});
    EXPECT_EQ(answers.said.size(), 8u);
}

TEST(SharedWalks, EveryCallerIsAnsweredAndTheNextWalkBeginsWhateverFails) {
    auto walks = std::make_shared<SharedWalks>();
    Walks begun;
    Answers answers;

    // A walk that fails tells each of its callers; the callers who came meanwhile share the next.
    walks->after_now(answers.done(), begun.begin());
    begun.starts[0]();
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
    walks->after_now(answers.done(), [](const SharedWalks::Start&, const SharedWalks::Finish&) {
        throw std::runtime_error("no thread");
    });
    EXPECT_EQ(answers.said, std::vector<std::string>{"no thread"});

    // A caller whose answer throws leaves the others of its walk answered.
    answers.said.clear();
    walks->after_now([](std::exception_ptr, SharedWalks::SharedWalk) { throw std::bad_alloc(); }, begun.begin());
    begun.starts.back()();
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

TEST(SharedWalks, ACallerThatNoLongerWantsItsWalkIsToldSoAndCostsNoWalk) {
    auto walks = std::make_shared<SharedWalks>();
    Walks begun;
    Answers answers;
    bool stopped = false;
    const SharedWalks::Wanted until_stopped = [&] { return !stopped; };

    // Where the walk starts, the caller who no longer wants it is told so; the other walks.
    walks->after_now(answers.done(), begun.begin());
    walks->after_now(answers.done(), begun.begin(), {}, until_stopped);
    stopped = true;
    EXPECT_TRUE(begun.starts[0]());
    begun.running[0](nullptr, std::vector<SharedRecord>(1));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"none", "walk 1"}));

    // A walk nobody wants starts for nobody and is not counted; the next caller begins its own.
    walks->after_now(answers.done(), begun.begin(), {}, until_stopped);
    EXPECT_FALSE(begun.starts[1]());
    begun.running[1](nullptr, {});
    EXPECT_EQ(answers.said, (std::vector<std::string>{"none", "walk 1", "none"}));
    EXPECT_EQ(walks->walks_started(), 1u);
    walks->after_now(answers.done(), begun.begin());
    EXPECT_EQ(begun.running.size(), 3u);
}

}  // namespace
}  // namespace korvalle::store
