#include "ringbuf.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kulvo {
namespace {

// Counts live instances, so that every destruction can be accounted for.
struct Tracked {
    static inline int live = 0;
    static inline std::vector<std::string> destroyed;

    std::string name;
    bool moved_from = false;

    explicit Tracked(std::string n) : name(std::move(n)) { ++live; }
    Tracked(Tracked&& other) noexcept : name(std::move(other.name)) {
        other.moved_from = true;
        ++live;
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    Tracked& operator=(Tracked&&) = delete;
    ~Tracked() {
        if (!moved_from) {
            destroyed.push_back(name);
        }
        --live;
    }
};

class RingBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tracked::live = 0;
        Tracked::destroyed.clear();
    }

    static std::vector<std::string> names(const std::vector<Tracked>& items) {
        std::vector<std::string> out;
        for (const auto& item : items) {
            out.push_back(item.name);
        }
        return out;
    }
};

TEST_F(RingBufferTest, ZeroCapacityIsRejected) {
    try {
        RingBuffer<int> ring(0);
        FAIL() << "a ring of capacity 0 was built";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "RingBuffer capacity must be > 0");
    }
}

TEST_F(RingBufferTest, NewBufferDrainsEmptyAndKeepsIndicesAtZero) {
    RingBuffer<int> ring(4);
    EXPECT_EQ(ring.len(), 0U);
    EXPECT_TRUE(ring.drain().empty());
    EXPECT_EQ(ring.write_index(), 0U);
}

TEST_F(RingBufferTest, FullBufferEvictsOldestAndDrainsInPushOrder) {
    RingBuffer<Tracked> ring(3);
    for (const char* name : {"A", "B", "C", "D", "E"}) {
        ring.push(Tracked(name));
    }
    EXPECT_EQ(ring.len(), 3U);
    EXPECT_EQ(Tracked::destroyed, (std::vector<std::string>{"A", "B"}));
    const std::vector<Tracked> drained = ring.drain();
    EXPECT_EQ(names(drained), (std::vector<std::string>{"C", "D", "E"}));
    EXPECT_EQ(ring.len(), 0U);
    EXPECT_EQ(ring.write_index(), 5U);
}

TEST_F(RingBufferTest, HalvingMergesNeighboursInOrderAndPushesGoOnAfterThem) {
    for (const int count : {6, 5}) {  // the wrapped storage, an even and an odd count
        RingBuffer<std::string> ring(count);
        for (int i = 0; i < count + 3; ++i) {
            ring.push(std::string(1, static_cast<char>('a' + i)));
        }
        ring.halve([](const std::string& older, const std::string& newer) { return older + newer; });
        ring.push("z");
        const std::vector<std::string> expected = count == 6 ? std::vector<std::string>{"de", "fg", "hi", "z"}
                                                             : std::vector<std::string>{"de", "fg", "h", "z"};
        EXPECT_EQ(ring.drain(), expected) << count;
    }
    RingBuffer<Tracked> tracked(4);
    for (const char* name : {"A", "B", "C", "D"}) {
        tracked.push(Tracked(name));
    }
    const int live = Tracked::live;
    tracked.halve([](Tracked older, Tracked /*newer*/) { return older; });
    EXPECT_EQ(Tracked::live, live - 2);
    EXPECT_EQ(names(tracked.drain()), (std::vector<std::string>{"A", "C"}));
}

TEST_F(RingBufferTest, CapacityOneKeepsOnlyTheLastItem) {
    RingBuffer<Tracked> ring(1);
    for (const char* name : {"A", "B", "C"}) {
        ring.push(Tracked(name));
    }
    EXPECT_EQ(Tracked::destroyed, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(names(ring.drain()), (std::vector<std::string>{"C"}));
}

TEST_F(RingBufferTest, PushesAfterDrainContinueFromTheOldIndices) {
    RingBuffer<Tracked> ring(3);
    for (const char* name : {"A", "B", "C", "D", "E"}) {
        ring.push(Tracked(name));
    }
    (void)ring.drain();
    ring.push(Tracked("F"));
    ring.push(Tracked("G"));
    EXPECT_EQ(ring.len(), 2U);
    EXPECT_EQ(ring.write_index(), 7U);  // F in slot 5 % 3 = 2, G in slot 6 % 3 = 0
    EXPECT_EQ(names(ring.drain()), (std::vector<std::string>{"F", "G"}));
}

TEST_F(RingBufferTest, DestructionDestroysLiveItemsExactlyOnce) {
    {
        RingBuffer<Tracked> ring(4);
        for (const char* name : {"A", "B", "C", "D", "E", "F"}) {
            ring.push(Tracked(name));
        }
        EXPECT_EQ(Tracked::live, 4);
    }
    EXPECT_EQ(Tracked::live, 0);
    EXPECT_EQ(Tracked::destroyed, (std::vector<std::string>{"A", "B", "C", "D", "E", "F"}));
}

TEST_F(RingBufferTest, DestructionAfterDrainLeavesDrainedItemsAlone) {
    std::vector<Tracked> drained;
    {
        RingBuffer<Tracked> ring(2);
        ring.push(Tracked("A"));
        ring.push(Tracked("B"));
        drained = ring.drain();
    }
    EXPECT_TRUE(Tracked::destroyed.empty());
    EXPECT_EQ(names(drained), (std::vector<std::string>{"A", "B"}));
}

TEST_F(RingBufferTest, ManyWrapsKeepTheNewestItemsInOrder) {
    RingBuffer<std::unique_ptr<int>> ring(7);
    for (int i = 0; i < 1000; ++i) {
        ring.push(std::make_unique<int>(i));
    }
    const auto drained = ring.drain();
    ASSERT_EQ(drained.size(), 7U);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(*drained[static_cast<std::size_t>(i)], 993 + i);
    }
}

}  // namespace
}  // namespace kulvo
