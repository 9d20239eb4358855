// Records of a MEMORY table: slots, live record numbers, physical navigation, the
// position estimate and a randomized workload checked against a model.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "MemTableFixture.h"

namespace orq::test {
namespace {

using MemRecords = MemTableTest;

TEST_F(MemRecords, DeletedSlotsKeepNumbersAndAreNotReusedBelowMaxSlot) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 0; id < 5; ++id) ASSERT_TRUE(c.Insert(id));
    TORQMemoryRecordManager& rm = *t.MemoryRecordManager();

    ASSERT_TRUE(t.GotoRecord(&c, {2, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    c.CurrentRecordID = {3, 0};
    EXPECT_EQ(t.GetPhysicalRecNo(&c), 3);
    t.SetPhysicalRecNo(&c, 3);
    EXPECT_EQ(c.CurrentRecordID.PageNo, 3);

    // Next from slot 1 steps over the hole.
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    ASSERT_EQ(t.GetRecord(&c, gmNext), grOK);
    EXPECT_EQ(c.CurrentRecordID.PageNo, 3);
    EXPECT_EQ(c.GetInt(0), 3);

    ASSERT_TRUE(t.GotoRecord(&c, {4, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    EXPECT_EQ(rm.MaxSlot, 3);
    EXPECT_EQ(rm.RecordCount, 3);

    // The next record takes MaxSlot + 1, never the freed slot 2.
    ASSERT_TRUE(c.Insert(9));
    EXPECT_EQ(c.CurrentRecordID.PageNo, 4);
    EXPECT_FALSE(rm.IsLive(2));
    EXPECT_EQ(t.GetPhysicalRecNo(&c), 4);
}

TEST_F(MemRecords, EmptyTableGivesEndPassedInEveryMode) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    struct Case {
        uint8_t Bof, Eof, Mode;
    };
    for (const Case k : {Case{1, 0, gmCurrent}, Case{1, 0, gmNext}, Case{1, 0, gmPrior}, Case{0, 1, gmNext},
                         Case{0, 1, gmPrior}, Case{0, 0, gmCurrent}, Case{0, 0, gmNext}, Case{0, 0, gmPrior}}) {
        c.Bof = k.Bof;
        c.Eof = k.Eof;
        EXPECT_EQ(t.GetRecord(&c, k.Mode), grEOF) << int(k.Bof) << int(k.Eof) << int(k.Mode);
    }
    // Emptied after records: the same.
    ASSERT_TRUE(c.Insert(1));
    t.EmptyTable(&c);
    c.ResetToBeginning();
    EXPECT_EQ(t.GetRecord(&c, gmNext), grEOF);
}

TEST_F(MemRecords, NavigationFromEachEdge) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 10; id < 15; ++id) ASSERT_TRUE(c.Insert(id));
    // Slots 0 and 4 freed: the edges are slots 1 and 3.
    for (int slot : {0, 4}) {
        ASSERT_TRUE(t.GotoRecord(&c, {slot, 0}));
        ASSERT_TRUE(t.DeleteRecord(&c));
    }
    struct Case {
        const char* Name;
        uint8_t Bof, Eof;
        int32_t Slot;
        uint8_t Mode, Result;
        int64_t Id;  // read on grOK
    };
    const Case cases[] = {
        {"before first, next", 1, 0, 0, gmNext, grOK, 11},
        {"before first, prior", 1, 0, 0, gmPrior, grBOF, 0},
        {"before first, current", 1, 0, 0, gmCurrent, grError, 0},
        {"after last, prior", 0, 1, 0, gmPrior, grOK, 13},
        {"after last, next", 0, 1, 0, gmNext, grEOF, 0},
        {"after last, current", 0, 1, 0, gmCurrent, grError, 0},
        {"on first, prior", 0, 0, 1, gmPrior, grBOF, 0},
        {"on first, next", 0, 0, 1, gmNext, grOK, 12},
        {"on last, next", 0, 0, 3, gmNext, grEOF, 0},
        {"on last, prior", 0, 0, 3, gmPrior, grOK, 12},
        {"on freed slot, current", 0, 0, 4, gmCurrent, grError, 0},
        {"beyond the slots, current", 0, 0, 900, gmCurrent, grError, 0},
    };
    for (const Case& k : cases) {
        c.Bof = k.Bof;
        c.Eof = k.Eof;
        c.CurrentRecordID = {k.Slot, 0};
        const uint8_t r = t.GetRecord(&c, k.Mode);
        EXPECT_EQ(r, k.Result) << k.Name;
        if (r == grOK) {
            EXPECT_EQ(c.GetInt(0), k.Id) << k.Name;
            EXPECT_EQ(c.Bof, 0) << k.Name;
            EXPECT_EQ(c.Eof, 0) << k.Name;
        }
    }
}

TEST_F(MemRecords, UpdateOfAFreedSlotFails) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 0; id < 3; ++id) ASSERT_TRUE(c.Insert(id));
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    const int32_t stamp = t.RecordManager->ChangeStamp;
    c.CurrentRecordID = {1, 0};
    c.SetInt(0, 77);
    EXPECT_FALSE(t.UpdateRecord(&c));
    EXPECT_EQ(t.RecordManager->ChangeStamp, stamp);
    // A slot beyond MaxSlot and a deleted one refuse a second delete as well.
    EXPECT_FALSE(t.DeleteRecord(&c));
    c.CurrentRecordID = {5, 0};
    EXPECT_FALSE(t.UpdateRecord(&c));
    // A live slot takes the update.
    c.CurrentRecordID = {2, 0};
    EXPECT_TRUE(t.UpdateRecord(&c));
    ASSERT_TRUE(t.GotoRecord(&c, {2, 0}));
    EXPECT_EQ(c.GetInt(0), 77);
}

TEST_F(MemRecords, PhysicalRecNoOutsideOneToCountIsNotFound) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 0; id < 4; ++id) ASSERT_TRUE(c.Insert(id));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));  // 3 live records, not contiguous
    for (bool contiguous : {false, true}) {
        if (contiguous) {
            t.EmptyTable(&c);
            for (int id = 0; id < 3; ++id) ASSERT_TRUE(c.Insert(id));
        }
        for (int64_t n : {int64_t{0}, int64_t{-1}, int64_t{4}, int64_t{5}}) {
            c.CurrentRecordID = {2, 0};
            t.SetPhysicalRecNo(&c, n);
            EXPECT_EQ(c.CurrentRecordID.PageNo, 2) << n << " contiguous " << contiguous;
        }
        t.SetPhysicalRecNo(&c, 3);
        EXPECT_EQ(c.CurrentRecordID.PageNo, contiguous ? 2 : 3);
    }
}

// The position estimate: (s - MinSlot) / (MaxSlot - MinSlot) x RecordCount, rounded to
// even, + 1, within 1..RecordCount.
TEST_F(MemRecords, RecordPositionEstimate) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 0; id <= 10; ++id) ASSERT_TRUE(c.Insert(id));
    for (int slot : {1, 3, 4, 6, 7, 9}) {
        ASSERT_TRUE(t.GotoRecord(&c, {slot, 0}));
        ASSERT_TRUE(t.DeleteRecord(&c));
    }
    // Live: 0, 2, 5, 8, 10.
    const TORQMemoryRecordManager& rm = *t.MemoryRecordManager();
    struct Case {
        int32_t Slot;
        int64_t Position;
    };
    for (const Case k : {Case{0, 1}, Case{2, 2}, Case{5, 3}, Case{8, 5}, Case{10, 5}, Case{11, -1}, Case{-1, -1}})
        EXPECT_EQ(rm.GetRecordPosition({k.Slot, 0}), k.Position) << k.Slot;
}

TEST_F(MemRecords, GotoRecordReadsAndPositions) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 5; id < 8; ++id) ASSERT_TRUE(c.Insert(id));
    c.ResetToBeginning();
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    EXPECT_EQ(c.GetInt(0), 6);
    EXPECT_EQ(c.Bof, 0);
    EXPECT_EQ(TORQRecordID::FromBytes(c.CurrentRecord + c.RecordSize).PageNo, 1);
    EXPECT_FALSE(t.GotoRecord(&c, {3, 0}));
    EXPECT_EQ(c.CurrentRecordID.PageNo, 1);
    EXPECT_EQ(c.GetInt(0), 6);
}

// The slot block at least doubles (never by less than RecordGrowth), so a load is linear:
// a million records load and read back well within the test's time.
TEST_F(MemRecords, SlotBlockGrowsGeometricallyAndAMillionRecordsLoad) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    TORQMemoryRecordManager& rm = *t.MemoryRecordManager();
    rm.Growth = 16;
    struct Case {
        int Records;
        int32_t Capacity;
    };
    int inserted = 0;
    for (const Case k : {Case{1, 16}, Case{16, 16}, Case{17, 32}, Case{33, 64}, Case{65, 128}, Case{129, 256}}) {
        while (inserted < k.Records) ASSERT_TRUE(c.Insert(inserted++));
        EXPECT_EQ(rm.Capacity, k.Capacity) << k.Records;
    }
    constexpr int Million = 1000000;
    while (inserted < Million) ASSERT_TRUE(c.Insert(inserted++));
    ASSERT_EQ(t.GetPhysicalRecordCount(&c), Million);
    EXPECT_LT(rm.Capacity, 2 * Million + 16);
    c.ResetToBeginning();
    for (int n = 0; n < Million; ++n) {
        ASSERT_EQ(t.GetRecord(&c, gmNext), grOK) << n;
        ASSERT_EQ(c.GetInt(0), n);
    }
    EXPECT_EQ(t.GetRecord(&c, gmNext), grEOF);
}

// A seeded mix of inserts, updates and deletes, checked after each batch against a model
// of the live slots in order: physical order both ways and live numbers both ways.
TEST_F(MemRecords, RandomizedWorkloadMatchesModel) {
    TORQCursor named;
    named.TableName = "W";
    auto* t = static_cast<TORQMemoryTableData*>(MemoryDatabase().CreateTableData(&named));
    t->RecordGrowth = 16;  // several growths
    TORQFieldDefs fields;
    AddField(fields, "ID", aftInteger);
    TORQIndexDefs ni;
    TORQConstraintDefs nc;
    t->CreateTable(nullptr, fields, ni, nc);
    TTestCursor c(*t);

    struct Row {
        int32_t Slot;
        int64_t Value;
    };
    std::vector<Row> model;
    std::mt19937 rng(19);
    int64_t next = 0;
    for (int batch = 0; batch < 40; ++batch) {
        for (int op = 0; op < 25; ++op) {
            const int kind = static_cast<int>(rng() % 10);
            if (kind < 5 || model.empty()) {
                ASSERT_TRUE(c.Insert(next));
                ASSERT_TRUE(model.empty() || c.CurrentRecordID.PageNo == model.back().Slot + 1);
                model.push_back({c.CurrentRecordID.PageNo, next++});
            } else {
                const size_t i = rng() % model.size();
                ASSERT_TRUE(t->GotoRecord(&c, {model[i].Slot, 0}));
                if (kind < 7) {
                    c.SetInt(0, -model[i].Value);
                    ASSERT_TRUE(t->UpdateRecord(&c));
                    model[i].Value = -model[i].Value;
                } else {
                    ASSERT_TRUE(t->DeleteRecord(&c));
                    model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
        ASSERT_EQ(t->GetPhysicalRecordCount(&c), static_cast<int64_t>(model.size()));
        // Forward.
        c.ResetToBeginning();
        for (size_t i = 0; i < model.size(); ++i) {
            ASSERT_EQ(t->GetRecord(&c, gmNext), grOK) << batch;
            ASSERT_EQ(c.CurrentRecordID.PageNo, model[i].Slot);
            ASSERT_EQ(c.GetInt(0), model[i].Value);
            ASSERT_EQ(t->GetPhysicalRecNo(&c), static_cast<int64_t>(i + 1));
            ASSERT_EQ(t->GetRecNo(&c), static_cast<int64_t>(i + 1));
        }
        ASSERT_EQ(t->GetRecord(&c, gmNext), grEOF);
        // Backward.
        c.ResetToEnd();
        for (size_t i = model.size(); i-- > 0;) {
            ASSERT_EQ(t->GetRecord(&c, gmPrior), grOK);
            ASSERT_EQ(c.CurrentRecordID.PageNo, model[i].Slot);
        }
        ASSERT_EQ(t->GetRecord(&c, gmPrior), grBOF);
        // Numbers to slots, and the cut at the count.
        for (size_t n = 1; n <= model.size(); ++n) {
            t->SetRecNo(&c, static_cast<int64_t>(n));
            ASSERT_EQ(c.CurrentRecordID.PageNo, model[n - 1].Slot);
        }
        if (!model.empty()) {
            t->SetRecNo(&c, static_cast<int64_t>(model.size()) + 3);
            ASSERT_EQ(c.CurrentRecordID.PageNo, model.back().Slot);
        }
    }
    c.Close();
    t->DeleteTable(nullptr, false);
}

TEST_F(MemRecords, RecNoIsNoneAtTheEdges) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    c.ResetToBeginning();
    EXPECT_EQ(t.GetRecNo(&c), -1);
    ASSERT_TRUE(c.Insert(1));
    c.ResetToBeginning();
    EXPECT_EQ(t.GetRecNo(&c), -1);
    c.ResetToEnd();
    EXPECT_EQ(t.GetRecNo(&c), -1);
}

// Deleting moves the cursor: between two records it looks its record up again from the
// beginning; at an edge it stays on the id the failed probe left.
TEST_F(MemRecords, DeletePlacesTheCursor) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor c(t);
    for (int id = 0; id < 3; ++id) ASSERT_TRUE(c.Insert(id));
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    EXPECT_EQ(c.Bof, 1);
    EXPECT_EQ(c.Eof, 0);
    EXPECT_EQ(c.GetInt(0), 1);  // the cursor's buffer is its own again
    ASSERT_TRUE(t.GotoRecord(&c, {2, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    EXPECT_EQ(c.Bof, 0);
    EXPECT_EQ(c.Eof, 0);
    EXPECT_EQ(t.GetRecord(&c, gmPrior), grOK);
    EXPECT_EQ(c.GetInt(0), 0);
}

TEST_F(MemRecords, ZeroBitTableCountsLiveSlots) {
    const auto& z = TORQMemoryRecordManager::ZeroBitCount();
    EXPECT_EQ(z[0x00], 8);
    EXPECT_EQ(z[0xFF], 0);
    EXPECT_EQ(z[0x0F], 4);
    EXPECT_EQ(z[0x81], 6);
    EXPECT_EQ(z[0x7F], 1);
}

}  // namespace
}  // namespace orq::test
