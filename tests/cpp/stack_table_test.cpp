#include "stack_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace kulvo {
namespace {

StackSnapshot three_deep(const std::string& leaf, std::int32_t line) {
    return StackSnapshot{{{"app.py", "<module>", 1}, {"app.py", "main", 5}, {"lib.py", leaf, line}}};
}

TEST(StackTable, EqualStacksShareOneIdAndReadBackUnchanged) {
    StackTable table;
    const StackId first = table.intern(three_deep("work", 9));
    EXPECT_EQ(table.intern(three_deep("work", 9)), first);
    const StackId other = table.intern(three_deep("work", 10));
    EXPECT_NE(other, first);
    EXPECT_EQ(table.snapshot(first), three_deep("work", 9));
    EXPECT_EQ(table.snapshot(other), three_deep("work", 10));
    // The shared outer path is held once (the root, two shared nodes, two leaves), and each
    // name once ("<other>" and five names).
    EXPECT_EQ(table.node_count(), 1U + 4U);
    EXPECT_EQ(table.string_count(), 1U + 5U);
    EXPECT_EQ(table.intern(StackSnapshot{}), kNoStack);
}

TEST(StackTable, EqualThreadSetsShareOneIdAndAFullTableKeepsNoNewOne) {
    StackTable table;
    const StackId work = table.intern(three_deep("work", 9));
    const StackId wait = table.intern(three_deep("wait", 3));
    const std::vector<ThreadStack> two{{work, false}, {wait, true}};
    const ThreadSetId first = table.thread_sets().intern(two);
    EXPECT_NE(first, kNoThreads);
    EXPECT_EQ(table.thread_sets().intern(std::vector<ThreadStack>(two)), first);
    const std::vector<ThreadStack> waking{{work, false}, {wait, false}};
    EXPECT_NE(table.thread_sets().intern(waking), first);
    EXPECT_EQ(table.thread_sets().intern({}), kNoThreads);
    const std::span<const ThreadStack> read = table.thread_sets().set(first);
    EXPECT_TRUE(std::equal(read.begin(), read.end(), two.begin(), two.end()));
    ThreadSetTable small(3);
    EXPECT_NE(small.intern(two), kNoThreads);
    EXPECT_EQ(small.intern(waking), kNoThreads);  // four entries would pass the limit of three
    EXPECT_EQ(small.set_count(), 2U);
}

TEST(StackTable, FramesAreKeyedByContentNotByWhereTheTextLives) {
    StackTable table;
    std::string file = "gen.py";
    const FrameId id = table.intern_frame(file, "f", 3);
    file[0] = 'G';  // the caller's buffer changes; the table kept its own copy
    EXPECT_EQ(table.string(table.frame(id).file), "gen.py");
    EXPECT_EQ(table.intern_frame(std::string("gen.py"), "f", 3), id);
    EXPECT_NE(table.intern_frame("gen.py", "f", -1), id);
    EXPECT_NE(table.intern_frame("gen.py", std::string_view("f\0", 2), 3), id);
}

TEST(StackTable, FullTablesTurnNewFramesIntoOtherAndStayWithinTheirBounds) {
    StackTable table(StackTableLimits{.max_string_bytes = 1 << 20, .max_strings = 8, .max_frames = 6, .max_nodes = 10});
    // Code made for ever: every stack has a new file name and a new function.
    for (int i = 0; i < 1000; ++i) {
        const std::string n = std::to_string(i);
        table.intern(StackSnapshot{{{"<string-" + n + ">", "<module>", 1}, {"<string-" + n + ">", "f" + n, 2}}});
    }
    EXPECT_LE(table.string_count(), 8U);
    EXPECT_LE(table.frame_count(), 6U);
    EXPECT_LT(table.node_count(), 2U * 10U);
    const std::size_t bounded_bytes = table.bytes();
    for (int i = 1000; i < 2000; ++i) {
        table.intern(StackSnapshot{{{"x" + std::to_string(i), "g", i}}});
    }
    EXPECT_EQ(table.bytes(), bounded_bytes);
    // A stack met past the limits reads back as "<other>" below what was known already.
    const StackId late = table.intern(StackSnapshot{{{"<string-0>", "<module>", 1}, {"new.py", "h", 3}}});
    const StackSnapshot read = table.snapshot(late);
    ASSERT_EQ(read.frames.size(), 2U);
    EXPECT_EQ(read.frames[0], (FrameInfo{"<string-0>", "<module>", 1}));
    EXPECT_EQ(read.frames[1], (FrameInfo{"<other>", "<other>", 0}));
}

TEST(StackTable, OtherStandsForEverythingBelowIt) {
    StackTable table(StackTableLimits{.max_nodes = 3});
    const StackId kept = table.intern(StackSnapshot{{{"a.py", "a", 1}, {"a.py", "b", 2}}});
    // Nodes are full: the rest of a new path, however deep, is one "<other>" frame.
    const StackId deep =
        table.intern(StackSnapshot{{{"a.py", "a", 1}, {"a.py", "c", 3}, {"a.py", "d", 4}, {"a.py", "e", 5}}});
    EXPECT_EQ(table.node(deep).depth, 2U);
    EXPECT_EQ(table.node(deep).frame, kOtherFrame);
    EXPECT_EQ(table.snapshot(kept).frames.size(), 2U);
    // Every later overflow below the same node shares that one "<other>" node.
    EXPECT_EQ(table.intern(StackSnapshot{{{"a.py", "a", 1}, {"z.py", "z", 9}}}), deep);
}

}  // namespace
}  // namespace kulvo
