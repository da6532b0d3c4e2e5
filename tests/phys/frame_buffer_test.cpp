// Growth of the frame buffer: inside storage first, then heap blocks in
// steps of 4096 bytes, content kept and new room zeroed.
#include "phys/FrameBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace quillon;

namespace {

bool AllZero(const BYTE *bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

std::vector<BYTE> Pattern(uint32_t count, BYTE seed) {
    std::vector<BYTE> bytes(count);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(seed + i * 7);
    return bytes;
}

TEST(FrameBuffer, StartsWithTheInsideStorage) {
    CFrameBuffer frame;
    EXPECT_EQ(1024u, frame.Capacity());
    EXPECT_EQ(0u, frame.Length());
    EXPECT_FALSE(frame.Failed());
    EXPECT_TRUE(AllZero(frame.Data(), frame.Capacity()));
    EXPECT_EQ(S_OK, frame.Reserve(1024));
    EXPECT_EQ(1024u, frame.Capacity());
}

TEST(FrameBuffer, GrowsInStepsOf4096KeepingTheContent) {
    CFrameBuffer frame;
    BYTE *inside = frame.Data();
    const std::vector<BYTE> first = Pattern(1000, 1);
    ASSERT_EQ(S_OK, frame.Append(first.data(), 1000));
    EXPECT_EQ(1024u, frame.Capacity());
    EXPECT_EQ(inside, frame.Data());

    const std::vector<BYTE> second = Pattern(100, 50);
    ASSERT_EQ(S_OK, frame.Append(second.data(), 100));
    EXPECT_EQ(4096u, frame.Capacity());
    EXPECT_EQ(1100u, frame.Length());
    EXPECT_NE(inside, frame.Data());
    EXPECT_EQ(0, memcmp(frame.Data(), first.data(), 1000));
    EXPECT_EQ(0, memcmp(frame.Data() + 1000, second.data(), 100));
    EXPECT_TRUE(AllZero(frame.Data() + 1100, 4096 - 1100));

    // Later growth keeps the content too and zeroes the new part.
    ASSERT_EQ(S_OK, frame.Reserve(4097));
    EXPECT_EQ(8192u, frame.Capacity());
    EXPECT_EQ(0, memcmp(frame.Data(), first.data(), 1000));
    EXPECT_EQ(0, memcmp(frame.Data() + 1000, second.data(), 100));
    EXPECT_TRUE(AllZero(frame.Data() + 1100, 8192 - 1100));
    ASSERT_EQ(S_OK, frame.Reserve(20000));
    EXPECT_EQ(20480u, frame.Capacity());
    EXPECT_EQ(1100u, frame.Length());
    EXPECT_TRUE(AllZero(frame.Data() + 1100, 20480 - 1100));
}

TEST(FrameBuffer, FirstGrowthRoundsTheTotalUp) {
    CFrameBuffer frame;
    ASSERT_EQ(S_OK, frame.Reserve(5000));
    EXPECT_EQ(8192u, frame.Capacity());
    EXPECT_EQ(0u, frame.Length());
    EXPECT_TRUE(AllZero(frame.Data(), 8192));
}

TEST(FrameBuffer, ExtendGivesTheNewZeroedPart) {
    CFrameBuffer frame;
    ASSERT_EQ(S_OK, frame.Append("abc", 3));
    BYTE *added = nullptr;
    ASSERT_EQ(S_OK, frame.Extend(2000, &added));
    EXPECT_EQ(2003u, frame.Length());
    EXPECT_EQ(4096u, frame.Capacity());
    EXPECT_EQ(frame.Data() + 3, added);
    EXPECT_TRUE(AllZero(added, 2000));
    EXPECT_EQ(0, memcmp(frame.Data(), "abc", 3));
}

TEST(FrameBuffer, ResetReturnsToTheInsideStorage) {
    CFrameBuffer frame;
    BYTE *inside = frame.Data();
    const std::vector<BYTE> bytes = Pattern(3000, 9);
    ASSERT_EQ(S_OK, frame.Append(bytes.data(), 3000));
    frame.Reset();
    EXPECT_EQ(inside, frame.Data());
    EXPECT_EQ(1024u, frame.Capacity());
    EXPECT_EQ(0u, frame.Length());
    EXPECT_TRUE(AllZero(frame.Data(), 1024));

    ASSERT_EQ(S_OK, frame.Append(bytes.data(), 500));
    frame.Reset();
    EXPECT_TRUE(AllZero(frame.Data(), 1024));
}

TEST(FrameBuffer, FailedGrowthResetsAndMarks) {
    CFrameBuffer frame;
    ASSERT_EQ(S_OK, frame.Append("abc", 3));
    EXPECT_EQ(E_OUTOFMEMORY, frame.Reserve(0xFFFFFFFFu));
    EXPECT_TRUE(frame.Failed());
    EXPECT_EQ(0u, frame.Length());
    EXPECT_EQ(1024u, frame.Capacity());

    frame.Reset();
    EXPECT_FALSE(frame.Failed());
    ASSERT_EQ(S_OK, frame.Append("abc", 3));
    BYTE *added = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, frame.Extend(0xFFFFFFFFu, &added));
    EXPECT_EQ(nullptr, added);
    EXPECT_TRUE(frame.Failed());
    EXPECT_EQ(0u, frame.Length());
}

} // namespace
