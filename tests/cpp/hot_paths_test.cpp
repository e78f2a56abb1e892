#include "hot_paths.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "sample_builders.hpp"

namespace kulvo {
namespace {

TEST(HotPaths, NoStacksGiveNothing) {
    EXPECT_TRUE(aggregate_hot_paths({}, test_stacks(), 20).empty());
    const std::vector<Sample> unstacked{sample(1, 1, 1), sample(2, 1, 1)};
    EXPECT_TRUE(aggregate_hot_paths(unstacked, test_stacks(), 20).empty());
}

TEST(HotPaths, EveryFrameCountsOnce) {
    const std::vector<Sample> samples{sample(1, 0, 1, stack_named("f"))};
    const auto hot = aggregate_hot_paths(samples, test_stacks(), 20);
    ASSERT_EQ(hot.size(), 2U);
    for (const auto& path : hot) {
        EXPECT_EQ(path.count, 1U);
        EXPECT_EQ(path.percent, 100.0);
    }
}

TEST(HotPaths, PercentIsOfTheSamplesThatCarryAStack) {
    std::vector<Sample> samples;
    for (std::uint64_t i = 0; i < 10; ++i) {
        samples.push_back(sample(i, 0, 1));
    }
    samples[0].stack = stack_of(StackSnapshot{{{"a.py", "hit", 3}}});
    samples[1].stack = stack_of(StackSnapshot{{{"a.py", "hit", 3}}});
    samples[2].stack = stack_of(StackSnapshot{{{"a.py", "other", 4}}});
    samples[3].stack = stack_of(StackSnapshot{{{"a.py", "other", 5}}});
    const auto hot = aggregate_hot_paths(samples, test_stacks(), 20);
    ASSERT_EQ(hot.size(), 3U);
    EXPECT_EQ(hot[0].function, "hit");
    EXPECT_EQ(hot[0].percent, 50.0);
    EXPECT_EQ(hot[1].line, 4);  // the same function at two lines: two entries
    EXPECT_EQ(hot[2].line, 5);
}

TEST(HotPaths, RecursionCountsEveryOccurrence) {
    const FrameInfo recursive{"r.py", "walk", 7};
    const StackId stack = stack_of(StackSnapshot{{{"r.py", "<module>", 1}, recursive, recursive, recursive}});
    const std::vector<Sample> samples{sample(1, 0, 1, stack), sample(2, 0, 1, stack), sample(3, 0, 1)};
    const auto hot = aggregate_hot_paths(samples, test_stacks(), 20);
    ASSERT_EQ(hot.size(), 2U);
    EXPECT_EQ(hot[0].function, "walk");
    EXPECT_EQ(hot[0].count, 6U);
    EXPECT_EQ(hot[0].percent, 300.0);
}

TEST(HotPaths, KeepsTheTopNHighestCountsInAReproducibleOrder) {
    std::vector<Sample> samples;
    // Key k (0..24) occurs in k + 1 samples; keys 100 and 101 tie at 30.
    for (int k = 0; k < 25; ++k) {
        for (int n = 0; n <= k; ++n) {
            samples.push_back(sample(0, 0, 1, stack_of(StackSnapshot{{{"t.py", "f", k}}})));
        }
    }
    for (int n = 0; n < 30; ++n) {
        samples.push_back(sample(0, 0, 1, stack_of(StackSnapshot{{{"t.py", "g", 101}}})));
        samples.push_back(sample(0, 0, 1, stack_of(StackSnapshot{{{"t.py", "g", 100}}})));
    }
    const auto hot = aggregate_hot_paths(samples, test_stacks(), 20);
    ASSERT_EQ(hot.size(), 20U);
    EXPECT_EQ(hot[0].line, 100);  // equal counts: file, function, line ascending
    EXPECT_EQ(hot[1].line, 101);
    for (std::size_t i = 2; i < hot.size(); ++i) {
        EXPECT_EQ(hot[i].line, static_cast<int>(26 - i));  // 24, 23, ...
    }
    EXPECT_TRUE(aggregate_hot_paths(samples, test_stacks(), 0).empty());
}

TEST(HotPaths, KeysCompareExactly) {
    const std::vector<Sample> samples{sample(
        1, 0, 1, stack_of(StackSnapshot{{{"a.py", "f", 1}, {"b.py", "f", 1}, {"a.py", "F", 1}, {"a.py", "f", -1}}}))};
    EXPECT_EQ(aggregate_hot_paths(samples, test_stacks(), 20).size(), 4U);
}

}  // namespace
}  // namespace kulvo
