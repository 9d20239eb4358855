// The record bitmap: physical and index order, growth, record numbers and navigation.
#include <gtest/gtest.h>

#include <vector>

#include "IdleIndex.h"
#include "MemTableFixture.h"
#include "engine/storage/ORQConstraints.h"

using namespace orq;
using orq::test::MemTableTest;
using orq::test::NativeCode;
using orq::test::TTestCursor;

namespace {

// An index that only answers its fan-out: 9 entries a page make key positions read as
// decimal digits (entry + 1 per level).
struct FanoutIndex : orq::test::TIdleIndex {
    explicit FanoutIndex(TORQBaseIndexManager* M) : TIdleIndex(M) { EntriesPerPage = 9; }
};

TORQKeyPath PathOf(std::initializer_list<int32_t> Entries) {
    TORQKeyPath p;
    for (int32_t e : Entries) p.Push(7, e, 9);
    return p;
}

std::vector<int32_t> Entries(const TORQKeyPath& P) {
    std::vector<int32_t> r;
    for (int32_t i = 0; i < P.LevelCount; ++i) r.push_back(P.Levels[i].EntryNo);
    return r;
}

TORQRecordID Slot(int32_t S) { return TORQRecordID{S, 0}; }

}  // namespace

class RecordBitmapTest : public MemTableTest {};

TEST_F(RecordBitmapTest, NeedsATableAndStartsEmptyAndStale) {
    EXPECT_EQ(NativeCode([] { TORQRecordBitmap b(nullptr); }), 10425);
    TORQMemoryTableData& t = MakeIdTable();
    TORQRecordBitmap b(&t);
    EXPECT_EQ(b.Size(), 0);
    EXPECT_EQ(b.ChangeStamp, -1);
    EXPECT_TRUE(b.IsStale());
    b.ChangeStamp = t.RecordManager->ChangeStamp;
    EXPECT_FALSE(b.IsStale());
    TTestCursor c(t);
    ASSERT_TRUE(c.Insert(1));
    EXPECT_TRUE(b.IsStale());
}

TEST_F(RecordBitmapTest, PhysicalBitsGrowAndNumberRecords) {
    TORQMemoryTableData& t = MakeIdTable();
    TORQRecordBitmap b(&t);
    b.SetSize(4);
    // Slots 1, 5 and 9: 5 and 9 lie beyond the size and grow it.
    for (int32_t s : {9, 1, 5}) b.SetBits(Slot(s));
    EXPECT_EQ(b.Size(), 10);
    EXPECT_EQ(b.Count(), 3);
    struct {
        int32_t slot;
        int64_t recNo;
    } numbers[] = {{0, 0}, {1, 1}, {4, 1}, {5, 2}, {9, 3}, {10, -1}, {1000, -1}};
    for (auto n : numbers) EXPECT_EQ(b.GetRecNo(Slot(n.slot)), n.recNo) << n.slot;

    TORQRecordID id{77, 0};
    EXPECT_TRUE(b.GotoRecNo(2, id));
    EXPECT_EQ(id, Slot(5));
    for (int64_t bad : {0, 4, -1}) EXPECT_FALSE(b.GotoRecNo(bad, id)) << bad;
    EXPECT_EQ(id, Slot(5));

    struct {
        bool fromStart, forward;
        int32_t from;
        bool found;
        int32_t slot;
    } moves[] = {
        {true, true, 0, true, 1},    {true, false, 0, true, 9},  {false, true, 1, true, 5},
        {false, true, 5, true, 9},   {false, true, 9, false, 0}, {false, false, 9, true, 5},
        {false, false, 1, false, 0}, {false, false, 50, true, 9},  // from beyond the size
        {false, true, 50, false, 0},
    };
    for (auto m : moves) {
        TORQRecordID got{-5, 0};
        EXPECT_EQ(b.FindNext(m.fromStart, m.forward, got, Slot(m.from)), m.found) << m.from;
        if (m.found) {
            EXPECT_EQ(got, Slot(m.slot)) << m.from;
        }
    }

    b.ClearBits(Slot(5));
    b.ClearBits(Slot(400));  // beyond the size: nothing to clear, nothing grows
    EXPECT_EQ(b.Count(), 2);
    EXPECT_EQ(b.Size(), 10);
    EXPECT_EQ(b.GetRecNo(Slot(9)), 2);
    EXPECT_EQ(NativeCode([&] { b.SetBits(Slot(-1)); }), 30970);
}

TEST_F(RecordBitmapTest, IndexOrderedBitmapIsEmptiedByRecordChanges) {
    TORQMemoryTableData& t = MakeIdTable();
    TORQRecordBitmap b(&t);
    b.IndexOrder = 1;
    b.SetSize(8);
    b.SetAll();
    b.Complete = 1;
    b.SetBits(Slot(3));
    EXPECT_EQ(b.Size(), 0);
    EXPECT_EQ(b.Complete, 0);
    b.SetSize(8);
    b.SetAll();
    b.Complete = 1;
    b.ClearBits(Slot(3));
    EXPECT_EQ(b.Count(), 0);
    EXPECT_EQ(b.Complete, 0);
}

TEST_F(RecordBitmapTest, PathFormsUseTheIndexFanout) {
    TORQMemoryTableData& t = MakeIdTable();
    TORQIndexDef def;
    def.ObjectID = 42;
    auto index = std::make_unique<FanoutIndex>(t.IndexManager.get());
    index->OpenIndex(def);
    t.IndexManager->IndexDefs.Add()->Assign(def);
    t.IndexManager->AddOpenIndex(std::move(index));
    TORQRecordBitmap b(&t);
    b.IndexOrder = 1;
    // Entries (0, 2) and (1, 0) are positions 13 and 21; (0, 0) is 11.
    b.SetBitAtPath(42, PathOf({1, 0}));
    b.SetBitAtPath(42, PathOf({0, 2}));
    EXPECT_EQ(b.Size(), 22);
    EXPECT_TRUE(b.IsSetAtPath(42, PathOf({0, 2})));
    EXPECT_FALSE(b.IsSetAtPath(42, PathOf({0, 0})));
    EXPECT_FALSE(b.IsSetAtPath(42, PathOf({8, 8})));  // beyond the size
    EXPECT_EQ(b.GetRecNoAtPath(42, PathOf({1, 0})), 2);
    EXPECT_EQ(b.GetRecNoAtPath(42, PathOf({8, 8})), -1);

    TORQKeyPath p;
    EXPECT_TRUE(b.GotoRecNoAtPath(42, p, 2));
    EXPECT_EQ(Entries(p), (std::vector<int32_t>{1, 0}));
    EXPECT_TRUE(b.FindNextAtPath(false, true, 42, p, PathOf({0, 0})));
    EXPECT_EQ(Entries(p), (std::vector<int32_t>{0, 2}));
    EXPECT_TRUE(b.FindNextAtPath(true, false, 42, p, PathOf({0, 0})));
    EXPECT_EQ(Entries(p), (std::vector<int32_t>{1, 0}));
    EXPECT_FALSE(b.FindNextAtPath(false, false, 42, p, PathOf({0, 2})));
    b.ClearBitAtPath(42, PathOf({0, 2}));
    EXPECT_EQ(b.GetRecNoAtPath(42, PathOf({1, 0})), 1);
    EXPECT_EQ(NativeCode([&] { b.SetBitAtPath(43, PathOf({0})); }), 10324);
}
