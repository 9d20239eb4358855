// Key paths: level bounds (a 33rd level, steps outside the valid levels), path
// comparison across depths and trees, and the position arithmetic with its golden values
// and overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ExpectNative.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQContainers.h"

using namespace orq;

namespace {

struct TLevel {
    int32_t Page, Entry, Count;
};

TORQKeyPath PathOf(const std::vector<TLevel>& Levels) {
    TORQKeyPath p;
    for (const TLevel& l : Levels) p.Push(l.Page, l.Entry, l.Count);
    return p;
}

TEST(KeyPath, PushWritesAtTheCurrentLevelAndPopStepsBack) {
    TORQKeyPath p = PathOf({{7, 1, 3}, {9, 0, 4}});
    EXPECT_EQ(p.LevelCount, 2);
    EXPECT_EQ(p.CurrentLevel, 2);
    EXPECT_EQ(p.Levels[1].PageNo, 9);
    EXPECT_EQ(p.Levels[1].EntryCount, 4);
    p.LevelUp();
    EXPECT_EQ(p.CurrentPageNo(), 9);
    p.LevelUp();
    EXPECT_EQ(p.CurrentPageNo(), 7);
    p.LevelDown();
    p.LevelDown();
    EXPECT_EQ(p.CurrentLevel, 2);
    p.Pop();
    EXPECT_EQ(p.LevelCount, 1);
    EXPECT_EQ(p.CurrentLevel, 1);
    EXPECT_TRUE(p.ContainsPage(7));
    EXPECT_FALSE(p.ContainsPage(9));  // popped levels are no longer valid
}

TEST(KeyPath, ThirtyThirdLevelIsRefusedAndPathKept) {
    TORQKeyPath p;
    for (int32_t i = 0; i < TORQKeyPath::MaxLevels; ++i) p.Push(i, 0, 1);
    ExpectNative([&] { p.Push(99, 0, 1); }, 20058, "Index error: key path deeper than 32 levels - Native error: 20058");
    EXPECT_EQ(p.LevelCount, 32);
    EXPECT_EQ(p.Levels[31].PageNo, 31);
}

TEST(KeyPath, StepsOutsideTheValidLevelsAreRefused) {
    TORQKeyPath empty;
    ExpectNative([&] { empty.Pop(); }, 20059);
    ExpectNative([&] { empty.LevelUp(); }, 20059);
    ExpectNative([&] { empty.LevelDown(); }, 20059);
    ExpectNative([&] { (void)empty.CurrentPageNo(); }, 20059);
    TORQKeyPath one = PathOf({{4, 0, 1}});
    ExpectNative([&] { (void)one.CurrentPageNo(); }, 20059);  // current level is past the last
    ExpectNative([&] { one.LevelDown(); }, 20059);
}

TEST(KeyPath, CompareKeyPaths) {
    const TORQKeyPath a = PathOf({{1, 0, 3}, {5, 2, 4}});
    struct Case {
        std::vector<TLevel> Other;
        int Expected;
    } cases[] = {
        {{{1, 0, 3}, {5, 2, 4}}, 0},
        {{{1, 0, 3}, {5, 3, 4}}, -1},
        {{{1, 0, 3}, {5, 1, 4}}, 1},
        {{{1, 1, 3}, {8, 0, 4}}, -1},  // the root decides; lower pages differ naturally
        {{{1, 0, 3}, {5, 2, 9}}, 0},   // counts are not compared
    };
    for (const Case& c : cases) EXPECT_EQ(TORQKeyPath::CompareKeyPaths(a, PathOf(c.Other)), c.Expected);
    ExpectNative([&] { TORQKeyPath::CompareKeyPaths(a, PathOf({{1, 0, 3}})); }, 20051, "Invalid index key path - Native error: 20051");
    ExpectNative([&] { TORQKeyPath::CompareKeyPaths(a, PathOf({{2, 0, 3}, {5, 2, 4}})); }, 20052,
                 "Invalid index key path - Native error: 20052");
    ExpectNative([&] { TORQKeyPath::CompareKeyPaths(a, PathOf({{1, 0, 3}, {6, 2, 4}})); }, 20052);
}

TEST(KeyPath, RelativePosition) {
    EXPECT_EQ(TORQKeyPath().RelativePosition(), 0.0);
    // Root entry 1 of 4, leaf entry 2 of 3: (2 + 1 x 3) / 12.
    EXPECT_DOUBLE_EQ(PathOf({{1, 1, 4}, {2, 2, 3}}).RelativePosition(), 5.0 / 12.0);
    EXPECT_DOUBLE_EQ(PathOf({{1, 3, 4}, {2, 2, 3}}).RelativePosition(), 11.0 / 12.0);
    // A level whose count does not exceed its entry has no position.
    ExpectNative([] { (void)PathOf({{1, 0, 0}}).RelativePosition(); }, 20059);
    ExpectNative([] { (void)PathOf({{1, -1, 4}}).RelativePosition(); }, 20059);
    // 32 levels of 65535 entries multiply beyond Int64: an overflow error, not a wrap.
    TORQKeyPath deep;
    for (int32_t i = 0; i < 32; ++i) deep.Push(i, 1, 65535);
    EXPECT_THROW((void)deep.RelativePosition(), classlib::EIntOverflow);
}

TEST(KeyPath, ApproximatePositionRoundTrip) {
    TORQKeyPath p;
    p.FromApproxPosition(5, 3);  // base 4: digits 1 1
    ASSERT_EQ(p.LevelCount, 2);
    EXPECT_EQ(p.CurrentLevel, 0);
    for (int32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(p.Levels[i].PageNo, -1);
        EXPECT_EQ(p.Levels[i].EntryNo, 0);
        EXPECT_EQ(p.Levels[i].EntryCount, 0);
    }
    EXPECT_EQ(p.ToApproxPosition(3), 5);

    struct Case {
        int64_t Position;
        int32_t Max;
        std::vector<int32_t> Entries;
    } cases[] = {
        {0, 3, {}},
        {3, 3, {2}},
        {4, 3, {0, -1}},  // digit 0: entry -1, left for the page followers to refuse
        {23, 9, {1, 2}},
        {1000, 9, {0, -1, -1, -1}},
    };
    for (const Case& c : cases) {
        p.FromApproxPosition(c.Position, c.Max);
        ASSERT_EQ(p.LevelCount, static_cast<int32_t>(c.Entries.size())) << c.Position;
        for (std::size_t i = 0; i < c.Entries.size(); ++i) EXPECT_EQ(p.Levels[i].EntryNo, c.Entries[i]) << c.Position;
        EXPECT_EQ(p.ToApproxPosition(c.Max), c.Position);
    }
}

TEST(KeyPath, ApproximatePositionLimits) {
    TORQKeyPath p;
    ExpectNative([&] { p.FromApproxPosition(-1, 3); }, 20059);
    ExpectNative([&] { p.FromApproxPosition(5, 0); }, 20059);
    ExpectNative([&] { (void)p.ToApproxPosition(0); }, 20059);
    // Base 2 needs 41 digits for 2^40: more levels than a path holds.
    ExpectNative([&] { p.FromApproxPosition(int64_t{1} << 40, 1); }, 20058);
    p.FromApproxPosition((int64_t{1} << 32) - 1, 1);  // 32 ones in base 2 fit exactly
    EXPECT_EQ(p.LevelCount, 32);
    EXPECT_EQ(p.ToApproxPosition(1), (int64_t{1} << 32) - 1);
    // 20 levels in base 65536 exceed Int64.
    TORQKeyPath deep;
    for (int32_t i = 0; i < 20; ++i) deep.Push(i, 0, 1);
    EXPECT_THROW((void)deep.ToApproxPosition(65535), classlib::EIntOverflow);
}

}  // namespace
