#include "engine/foundation/ORQContainers.h"

#include <gtest/gtest.h>

#include "ExpectNative.h"
#include "FakeExpression.h"

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"

using namespace orq;

namespace {

TORQBitsArray& WithBits(TORQBitsArray& a, int32_t count, std::initializer_list<int32_t> set) {
    a.SetSize(count);
    for (int32_t i : set) a.SetBit(i, true);
    return a;
}

}  // namespace

TEST(BitHelpers, BitZeroIsTheLowestBitOfByteZero) {
    uint8_t buf[2] = {0, 0};
    SetBit(buf, 0);
    SetBit(buf, 9);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0x02);
    EXPECT_TRUE(GetBit(buf, 9));
    EXPECT_FALSE(GetBit(buf, 8));
    SetBit(buf, 0, false);
    EXPECT_EQ(buf[0], 0);
}

TEST(BitsArray, SizesSetAllAndStreamForm) {
    TORQBitsArray a;
    a.SetSize(10);
    a.SetAll();
    EXPECT_EQ(a.SetBitsCount(), 10);
    EXPECT_EQ(a.Bits()[1], 0xFF);
    EXPECT_EQ(GlobalMemoryManager().GetBlockSize(a.Bits()), 2);
    TORQMemoryStream s;
    a.SaveToStream(s);
    EXPECT_EQ(s.Size(), 10);
    const uint8_t head[8] = {10, 0, 0, 0, 10, 0, 0, 0};
    EXPECT_EQ(std::memcmp(s.Memory(), head, 8), 0);
}

TEST(BitsArray, GrowingAfterSetAllAddsClearBits) {
    TORQBitsArray a;
    a.SetSize(10);
    a.SetAll();
    a.SetSize(20);
    EXPECT_EQ(a.SetBitsCount(), 10);
    for (int32_t i = 10; i < 20; ++i) EXPECT_FALSE(a.GetBit(i)) << i;
    EXPECT_EQ(a.CountSetBits(), 10);
    int32_t first = -1;
    ASSERT_TRUE(a.FindFirst(false, first));
    EXPECT_EQ(first, 10);
    // The same after a shrink that leaves set bits in the last byte's tail.
    TORQBitsArray b;
    WithBits(b, 16, {6, 7});
    b.SetSize(6);
    b.SetSize(16);
    EXPECT_EQ(b.SetBitsCount(), 0);
    EXPECT_FALSE(b.GetBit(6));
}

// A bitmap following its table's inserts grows a bit at a time into spare room: the
// bits it gains read 0 there too, after a set-all and after a shrink.
TEST(BitsArray, GrowingBitByBitIntoSpareRoomAddsClearBits) {
    TORQBitsArray a;
    a.SetSize(1);
    for (int32_t n = 2; n <= 200; ++n) {
        if (n == 70) a.SetAll();
        if (n == 150) {
            a.SetSize(60);  // leaves set bits 0 .. 59 and stale bytes past them
            a.SetSize(150);
        }
        a.SetSize(n);
        ASSERT_FALSE(a.GetBit(n - 1)) << n;
    }
    EXPECT_EQ(a.SetBitsCount(), 60);
    EXPECT_EQ(a.CountSetBits(), 60);
    int32_t first = -1;
    ASSERT_TRUE(a.FindFirst(false, first));
    EXPECT_EQ(first, 60);
}

TEST(BitsArray, PositionRankAndSearch) {
    TORQBitsArray a;
    WithBits(a, 8, {1, 4, 6});
    EXPECT_EQ(a.SetBitsCount(), 3);
    EXPECT_EQ(a.GetSetBitPosition(2), 6);
    EXPECT_EQ(a.GetBitRank(4), 1);
    int32_t at = -1;
    ASSERT_TRUE(a.FindNextSetBit(false, true, at, 1));
    EXPECT_EQ(at, 4);
    ASSERT_TRUE(a.FindNextSetBit(true, false, at, 0));
    EXPECT_EQ(at, 6);
    EXPECT_FALSE(a.FindNextSetBit(false, true, at, 6));
    EXPECT_FALSE(a.FindNextSetBit(false, false, at, 1));
    a.SetBit(4, true);  // unchanged value: count stays
    EXPECT_EQ(a.SetBitsCount(), 3);
    a.SetBit(4, false);
    EXPECT_EQ(a.SetBitsCount(), 2);

    TORQBitsArray wide;
    WithBits(wide, 40, {3, 17, 30, 39});
    EXPECT_EQ(wide.GetSetBitPosition(3), 39);
    EXPECT_EQ(wide.GetBitRank(30), 2);
    wide.SetAll();
    EXPECT_EQ(wide.GetSetBitPosition(25), 25);
    EXPECT_EQ(wide.GetBitRank(25), 25);
}

// Grown a bit at a time (a set numbered by key position), with bits set at the end as it
// grows and shrinks in between: every new bit reads 0, every set one stays.
TEST(BitsArray, GrowingBitByBitKeepsSetBitsAndAddsClearOnes) {
    TORQBitsArray a;
    std::vector<bool> model;
    auto check = [&] {
        ASSERT_EQ(a.BitCount(), static_cast<int32_t>(model.size()));
        int32_t set = 0;
        for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(a.GetBit(static_cast<int32_t>(i)), model[i]) << i;
            set += model[i] ? 1 : 0;
        }
        EXPECT_EQ(a.SetBitsCount(), set);
    };
    for (int32_t n = 1; n <= 3000; ++n) {
        a.SetSize(n);
        model.resize(static_cast<size_t>(n), false);
        if (n % 3 == 0) {
            a.SetBit(n - 1, true);
            model[static_cast<size_t>(n - 1)] = true;
        }
        if (n % 997 == 0) {
            check();
            // Down into the middle of a byte, then on again past what it held.
            a.SetSize(n / 2 + 3);
            model.resize(static_cast<size_t>(n / 2 + 3));
            check();
            a.SetSize(n);
            model.resize(static_cast<size_t>(n), false);
            check();
        }
    }
    check();
    a.SetAll();
    model.assign(model.size(), true);
    a.SetSize(3011);
    model.resize(3011, false);
    check();
}

TEST(BitsArray, ShrinkRecountsAndEmptyFrees) {
    TORQBitsArray a;
    WithBits(a, 16, {3, 12});
    a.SetSize(8);
    EXPECT_EQ(a.SetBitsCount(), 1);
    a.SetSize(0);
    EXPECT_EQ(a.Bits(), nullptr);
    EXPECT_EQ(a.SetBitsCount(), 0);
    a.SetSize(-3);
    EXPECT_EQ(a.BitCount(), 0);
}

TEST(BitsArray, OutOfRangeBitNumbersRaiseTheirCodes) {
    TORQBitsArray a;
    WithBits(a, 8, {1});
    struct Case { std::function<void()> f; int32_t code; std::string text; } cases[] = {
        {[&] { a.GetBit(8); }, 10394, "Invalid bit no = 8, number of bits = 8 - Native error: 10394"},
        {[&] { a.SetBit(-1, true); }, 10395, "Invalid bit no = -1, number of bits = 8 - Native error: 10395"},
        {[&] { a.GetSetBitPosition(1); }, 10428, "Invalid bit no = 1, number of bits = 1 - Native error: 10428"},
        {[&] { a.GetBitRank(9); }, 10429, "Invalid bit no = 9, number of bits = 8 - Native error: 10429"},
    };
    for (auto& c : cases) EXPECT_EQ(Raised(c.f), std::make_pair(c.code, c.text));
}

TEST(BitsArray, StreamRoundTripAndDamagedCounts) {
    TORQBitsArray a;
    WithBits(a, 21, {0, 5, 20});
    TORQMemoryStream s;
    a.SaveToStream(s);
    s.SetPosition(0);
    TORQBitsArray b;
    WithBits(b, 50, {40, 41});
    b.LoadFromStream(s);
    EXPECT_EQ(b.BitCount(), 21);
    EXPECT_EQ(b.SetBitsCount(), 3);
    EXPECT_TRUE(b.GetBit(20));
    EXPECT_FALSE(b.GetBit(19));

    s.Memory()[4] = 99;  // a stored set-bit count that lies
    s.SetPosition(0);
    b.LoadFromStream(s);
    EXPECT_EQ(b.SetBitsCount(), 3);

    s.SetSize(9);  // bytes cut short
    s.SetPosition(0);
    auto r = Raised([&] { b.LoadFromStream(s); });
    EXPECT_EQ(r.first, 10402);
    EXPECT_EQ(r.second, "Cannot read from stream. Position = 8, Stream size = 9, Block size = 3, Bytes Read = 1 - Native error: 10402");
    TORQMemoryStream empty;
    EXPECT_EQ(Raised([&] { b.LoadFromStream(empty); }).first, 10401);
}

TEST(IntegerArray, CapacityGrowsInDoublingStepsUpToTheMaximum) {
    TORQIntegerArray a(0, 10, 100);
    std::vector<int32_t> capacities;
    for (int32_t i = 0; i < 141; ++i) {
        int32_t before = a.Capacity();
        a.Append(i);
        if (a.Capacity() != before) capacities.push_back(a.Capacity());
    }
    EXPECT_EQ(capacities, (std::vector<int32_t>{20, 60, 140, 240}));
    EXPECT_EQ(a.Count(), 141);
    EXPECT_EQ(a[140], 140);
}

TEST(IntegerArray, DeleteMovesDownAndExposedSlotsAreZero) {
    TORQIntegerArray a;
    for (int32_t v : {5, 6, 7, 8}) a.Append(v);
    a.Delete(1);
    EXPECT_EQ(a.Count(), 3);
    EXPECT_EQ(a[0], 5);
    EXPECT_EQ(a[1], 7);
    EXPECT_EQ(a[2], 8);
    EXPECT_TRUE(a.Contains(8));
    EXPECT_FALSE(a.Contains(6));
    a.SetSize(4);
    EXPECT_EQ(a[3], 0);  // not the 8 that sat there before the delete
    EXPECT_THROW(a.Delete(4), std::out_of_range);
    EXPECT_THROW(a[-1], std::out_of_range);
    a.SetSize(0);
    EXPECT_EQ(a.Capacity(), 0);
}

// ---------------------------------------------------------------------------------
// Scan conditions and the expression seam

namespace {

using orq_test::AsNode;
using orq_test::FakeExpression;

// Index definitions with the given object ids and column counts.
void MakeDefs(TORQIndexDefs& defs, std::initializer_list<std::pair<int32_t, int32_t>> idAndColumns) {
    for (auto [id, columns] : idAndColumns) {
        TORQIndexDef* d = defs.Add();
        d->ObjectID = id;
        d->SetColumnCount(columns);
    }
}

}  // namespace

TEST(ScanSearchConditionArray, ItemAndConditionErrors) {
    TORQScanSearchConditionArray a;
    FakeExpression e;
    for (int i = 0; i < 3; ++i) a.AddNode(&e);
    auto del = Raised([&] { a.Delete(5); });
    EXPECT_EQ(del.first, 10413);
    EXPECT_EQ(del.second, "Invalid item number - ItemNo = 5, ItemCount = 3 - Native error: 10413");
    EXPECT_EQ(Raised([&] { a.Items(-1); }).first, 10413);
    TORQScanSearchCondition bare;
    auto add = Raised([&] { a.AddCondition(bare); });
    EXPECT_EQ(add.first, 10388);
    EXPECT_EQ(add.second, "Invalid scan condition - indexID = -1, count = 3 - Native error: 10388");
    a.Delete(0);
    EXPECT_EQ(a.Count(), 2);
}

TEST(ScanSearchCondition, CopyOwnsItsKeyAndSharesTheListEntries) {
    int64_t before = GlobalMemoryManager().UsedMemory();
    FakeExpression e;
    {
        auto* borrowed = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(4));
        borrowed[0] = 0x5A;
        TORQScanSearchCondition source(true);
        source.Key = borrowed;
        source.KeySize = 4;
        source.IndexID = 2;
        source.FieldCount = 1;
        source.Operator = scoGreater;
        source.PartialCompare = true;
        source.Expressions.push_back(&e);
        source.Nodes.push_back(AsNode(20));
        {
            TORQScanSearchConditionArray a;
            TORQScanSearchCondition& copy = a.AddCondition(source);
            EXPECT_NE(copy.Key, source.Key);
            EXPECT_FALSE(copy.KeyIsBorrowed);
            EXPECT_EQ(copy.Key[0], 0x5A);
            EXPECT_EQ(copy.Operator, scoGreater);
            EXPECT_TRUE(copy.PartialCompare);
            EXPECT_EQ(copy.Nodes, source.Nodes);
        }
        // The copy freed its own key; the borrowed one is still ours to free.
        EXPECT_EQ(GlobalMemoryManager().GetBlockSize(borrowed), 4);
        GlobalMemoryManager().FreeAndNillMem(borrowed);
        source.Key = nullptr;
    }
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), before);
}

TEST(ScanSearchConditionArray, ChooseIndexesCollectsAndExtendsThroughTheSeam) {
    // Index 1 has three columns, index 2 one. The first expression offers 10 and 22,
    // the second 11 and 12 (columns 1 and 2 of index 1).
    TORQIndexDefs defs;
    MakeDefs(defs, {{1, 3}, {2, 1}});
    FakeExpression first({10, 22}), second({12, 11});
    TORQScanSearchConditionArray a;
    a.AddNode(&first);
    a.AddNode(&second);
    a.ChooseIndexes(defs, false);
    ASSERT_EQ(a.Count(), 3);
    const TORQScanSearchCondition& c = a.Items(2);
    EXPECT_EQ(c.IndexID, 1);
    EXPECT_EQ(c.FieldCount, 3);  // extended by 11, then (on a fresh pass) by 12
    std::vector<TORQExprNode*> nodes{AsNode(10), AsNode(11), AsNode(12)};
    EXPECT_EQ(c.Nodes, nodes);

    a.DetachConditions(2, 2);
    EXPECT_EQ(first.Nodes, (std::vector<intptr_t>{22}));
    EXPECT_TRUE(second.Nodes.empty());
    EXPECT_TRUE(second.IsEmptyCondition());
    a.AttachConditions(2, 2);
    EXPECT_EQ(first.Nodes, (std::vector<intptr_t>{22, 10}));
    EXPECT_EQ(second.Nodes, (std::vector<intptr_t>{11, 12}));
}

TEST(ScanSearchConditionArray, RemoveMergedConditionsKeepsAAndBAndRenumbers) {
    struct Case {
        std::vector<int32_t> merged;  // merged flag per condition, identified by IndexID = position
        int32_t a, b;
        std::vector<int32_t> keptIDs;
        int32_t wantA, wantB;
    } cases[] = {
        {{0, 1, 0, 1, 0}, 4, 2, {0, 2, 4}, 2, 1},
        {{1, 1, 1}, 1, -1, {1, 2}, 0, -1},  // the last condition is never examined
        {{1, 0}, 0, 1, {0, 1}, 0, 1},
    };
    for (const auto& c : cases) {
        TORQScanSearchConditionArray arr;
        FakeExpression e;
        for (std::size_t i = 0; i < c.merged.size(); ++i) {
            auto& cond = arr.AddNode(&e);
            cond.IndexID = static_cast<int32_t>(i);
            cond.Merged = c.merged[i];
        }
        int32_t a = c.a, b = c.b;
        arr.RemoveMergedConditions(a, b);
        std::vector<int32_t> ids;
        for (int32_t i = 0; i < arr.Count(); ++i) ids.push_back(arr.Items(i).IndexID);
        EXPECT_EQ(ids, c.keptIDs);
        EXPECT_EQ(a, c.wantA);
        EXPECT_EQ(b, c.wantB);
    }
}

TEST(ExpressionSeam, FactoryMakesExpressionsOnlyOnceInstalled) {
    SetExpressionFactory(nullptr);
    auto r = Raised([] { CreateExpression(); });
    EXPECT_EQ(r.first, 20007);
    EXPECT_EQ(r.second, "Database Engine is not initialized - Native error: 20007");
    EXPECT_FALSE(HasExpressionFactory());
    {
        orq_test::FakeExpressionFactory factory;
        EXPECT_TRUE(HasExpressionFactory());
        auto e = CreateExpression();
        EXPECT_TRUE(e->TryParseValueExpression("NOW()"));
        EXPECT_FALSE(e->TryParseValueExpression("1 2 3"));
        uint8_t record[1] = {1};
        e->SetRecordBuffer(record, 0);
        EXPECT_TRUE(e->GetBooleanValue());
        TORQVariant now;
        now.SetAsString("NOW()");
        EXPECT_TRUE(IsDefaultValueExpression(now));
        EXPECT_EQ(factory.Made, 2);
    }
    EXPECT_FALSE(HasExpressionFactory());
}

TEST(IndexPositionCache, StartsWithoutAPosition) {
    TORQIndexPositionCache c;
    EXPECT_EQ(c.IndexID, -1);
    EXPECT_EQ(c.PositionStamp, -1);
    EXPECT_EQ(c.KeyPath.LevelCount, 0);
    c.KeyPath.Levels[0] = {7, 1, 9};
    c.KeyPath.LevelCount = c.KeyPath.CurrentLevel = 1;
    TORQKeyPath copy;
    copy.Assign(c.KeyPath);
    EXPECT_EQ(copy.Levels[0].EntryCount, 9);
    EXPECT_EQ(copy.LevelCount, 1);
    copy.Clear();
    EXPECT_EQ(copy.LevelCount, 0);
}

TEST(SortedStringPtrArray, OwningListsCopyOnAssignAndFreeTheirItems) {
    TORQSortedStringPtrArray<std::string> owned(true);
    owned.Add(new std::string("B"));
    owned.Insert(0, new std::string("A"));
    TORQSortedStringPtrArray<std::string> copy(true);
    copy.Assign(owned);
    EXPECT_NE(copy[0], owned[0]);
    *owned[0] = "changed";
    EXPECT_EQ(*copy[0], "A");
    owned.Delete(0);  // freed by the list (the sanitizer reports a leak otherwise)
    EXPECT_EQ(owned.Count(), 1);

    std::string x = "x";
    TORQSortedStringPtrArray<std::string> shared;
    shared.Add(&x);
    TORQSortedStringPtrArray<std::string> view;
    view.Assign(shared);
    EXPECT_EQ(view[0], &x);
    EXPECT_EQ(view.IndexOf(&x), 0);
    std::unique_ptr<std::string> taken(copy.Extract(1));
    EXPECT_EQ(*taken, "B");
    EXPECT_THROW(view[3], std::out_of_range);
}

TEST(MakeUniqueName, PrefixAndUpperCaseRegistryGuid) {
    // "{8-4-4-4-12}" upper-case hex, version 4 and the RFC 4122 variant.
    auto wellFormed = [](const std::string& guid) {
        const std::string shape = "{XXXXXXXX-XXXX-4XXX-VXXX-XXXXXXXXXXXX}";
        if (guid.size() != shape.size()) return false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            char c = guid[i];
            bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
            if (shape[i] == 'X' ? !hex : shape[i] == 'V' ? std::string("89AB").find(c) == std::string::npos
                                                          : c != shape[i])
                return false;
        }
        return true;
    };
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string n = MakeUniqueName("TEMPORARY_TABLE_");
        ASSERT_EQ(n.rfind("TEMPORARY_TABLE_", 0), 0u);
        ASSERT_TRUE(wellFormed(n.substr(16))) << n;
        seen.insert(n);
    }
    EXPECT_EQ(seen.size(), 1000u);
}
