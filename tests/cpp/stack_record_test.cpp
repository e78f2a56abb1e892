#include "stack_record.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kulvo {
namespace {

TEST(MakeSnapshot, KeepsTheFramesInTheirOrder) {
    std::vector<FrameInfo> frames{{"a.py", "<module>", 1}, {"a.py", "f", 2}, {"b.py", "g", -1}};
    const std::vector<FrameInfo> expected = frames;
    const StackSnapshot snapshot = make_snapshot(std::move(frames));
    EXPECT_EQ(snapshot.frames, expected);
}

}  // namespace
}  // namespace kulvo
