// MEMORY tables with indexes, end to end: indexes built with the table and over existing
// rows, kept in step by inserts, updates and deletes (checked against a sorted model of
// (key, record id) walked both ways through a table cursor, with the tree validator on
// every index), unique keys, temporary indexes, the faults of the index upkeep, and the
// session pages of transactions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "MemTableFixture.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQBTree.h"
#include "engine/storage/ORQTableCursor.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using orq::test::NativeCode;
using orq::test::TTestCursor;

namespace {

constexpr int32_t kNoSession = -2;

// A row as the model keeps it.
struct TRow {
    std::optional<int64_t> N;
    std::optional<std::string> S;
};

std::unique_ptr<TORQIndexDef> IndexOn(const std::string& Name, const std::string& Field, bool Descending = false,
                                      bool Unique = false, int32_t MaxIndexedSize = DefaultMaxIndexedSize) {
    auto made = std::make_unique<TORQIndexDef>();
    TORQIndexDef& def = *made;
    def.Name = Name;
    def.Unique = Unique ? 1 : 0;
    def.SetColumnCount(1);
    def.GetColumn(0).FieldName = Field;
    def.GetColumn(0).Descending = Descending ? 1 : 0;
    def.GetColumn(0).MaxIndexedSize = MaxIndexedSize;
    return made;
}

class MemIndex : public orq::test::MemTableTest {
protected:
    // N INTEGER, S VARCHAR(Width).
    TORQMemoryTableData& MakeRowTable(const TORQIndexDefs& Indexes, int32_t Width = 8) {
        TORQFieldDefs fields;
        AddField(fields, "N", aftInteger);
        AddField(fields, "S", aftVarChar, Width);
        TORQConstraintDefs none;
        return MakeTable(fields, none, "T", &Indexes);
    }

    static void Fill(TTestCursor& C, const TRow& R) {
        if (R.N) {
            C.SetInt(0, *R.N);
        } else {
            C.SetNull(0);
        }
        if (R.S) {
            TORQVariant v;
            v.SetAsString(*R.S);
            C.SetFieldValue(v, 1, C.CurrentRecord, true);
        } else {
            C.SetNull(1);
        }
    }
    static int32_t Insert(TORQTableData& T, TTestCursor& C, const TRow& R) {
        C.Clear();
        Fill(C, R);
        EXPECT_TRUE(T.InsertRecord(&C));
        return C.CurrentRecordID.PageNo;
    }
    static void Update(TORQTableData& T, TTestCursor& C, int32_t Slot, const TRow& R) {
        ASSERT_TRUE(T.GotoRecord(&C, TORQMemoryRecordManager::SlotID(Slot)));
        Fill(C, R);
        ASSERT_TRUE(T.UpdateRecord(&C));
    }
    static void Delete(TORQTableData& T, TTestCursor& C, int32_t Slot) {
        ASSERT_TRUE(T.GotoRecord(&C, TORQMemoryRecordManager::SlotID(Slot)));
        ASSERT_TRUE(T.DeleteRecord(&C));
    }

    // The slots in index order through a table cursor, forward or backward.
    static std::vector<int32_t> Walk(TORQTableData& T, const std::string& Index, bool Forward) {
        TORQTableCursor c;
        c.OpenTable(T);
        c.SetIndexName(Index);
        EXPECT_NE(c.IndexID, -1) << Index;
        std::vector<int32_t> slots;
        if (Forward) {
            c.First();
        } else {
            c.Last();
        }
        while (c.GetRecord(Forward ? gmNext : gmPrior) == grOK) slots.push_back(c.CurrentRecordID.PageNo);
        if (!Forward) std::reverse(slots.begin(), slots.end());
        return slots;
    }

    static TORQBTreeRecordIndex& IndexOf(TORQTableData& T, const std::string& Name) {
        const TORQIndexDef* def = T.IndexManager->IndexDefs.FindByName(Name);
        EXPECT_NE(def, nullptr) << Name;
        return dynamic_cast<TORQBTreeRecordIndex&>(T.IndexManager->GetIndex(def->ObjectID));
    }
    // The tree is sound and its leaf values are the expected slots in order.
    static void Validate(TORQTableData& T, const std::string& Name, const std::vector<int32_t>& Expected) {
        TORQBTreeRecordIndex& index = IndexOf(T, Name);
        const btreetest::TTreeShape shape =
            btreetest::ValidateTree(*T.PageManager, index.KeyRef(), kNoSession, index.RootPageNo());
        EXPECT_EQ(shape.Error, "") << Name;
        std::vector<int32_t> slots;
        for (const auto& v : shape.Values) slots.push_back(btreetest::GetI32(v.data()));
        EXPECT_EQ(slots, Expected) << Name;
    }
};

// The model's order: NULL first ascending (last descending), then the record id.
template <typename K>
std::vector<int32_t> ModelOrder(const std::map<int32_t, TRow>& Rows, std::optional<K> TRow::*Key, bool Descending) {
    std::vector<int32_t> slots;
    for (const auto& [slot, row] : Rows) slots.push_back(slot);
    std::stable_sort(slots.begin(), slots.end(), [&](int32_t a, int32_t b) {
        const std::optional<K>& x = Rows.at(a).*Key;
        const std::optional<K>& y = Rows.at(b).*Key;
        int c = 0;
        if (!x || !y)
            c = (x ? 1 : 0) - (y ? 1 : 0);
        else
            c = *x < *y ? -1 : (*y < *x ? 1 : 0);
        if (Descending) c = -c;
        return c < 0;
    });
    return slots;
}

TEST_F(MemIndex, SeededWorkloadKeepsBothIndexesInStep) {
    for (const uint32_t seed : {11u, 2027u, 90001u}) {
        SCOPED_TRACE(seed);
        TORQIndexDefs defs;
        defs.Add()->Assign(*IndexOn("BY_N", "N", true));
        // Wide keys (a few entries per 4 KB page) give the string index several levels.
        defs.Add()->Assign(*IndexOn("BY_S", "S", false, false, 450));
        TORQMemoryTableData& t = MakeRowTable(defs, 400);
        TTestCursor w(t);
        std::mt19937 rng(seed);
        auto draw = [&]() {
            TRow r;
            if (rng() % 8 != 0) r.N = static_cast<int64_t>(rng() % 60) - 30;
            if (rng() % 8 != 0) {
                std::string s(1 + rng() % 5, 'A');
                for (char& ch : s) ch = static_cast<char>('A' + rng() % 3);
                r.S = s;
            }
            return r;
        };
        std::map<int32_t, TRow> rows;
        for (int32_t step = 1; step <= 900; ++step) {
            const uint32_t op = rng() % 10;
            if (rows.empty() || op < 5) {
                const TRow r = draw();
                rows[Insert(t, w, r)] = r;
            } else {
                auto it = rows.begin();
                std::advance(it, static_cast<long>(rng() % rows.size()));
                if (op < 8) {
                    TRow r = it->second;
                    // Change one key, the other or both.
                    const TRow d = draw();
                    if (op != 6) r.N = d.N;
                    if (op != 5) r.S = d.S;
                    Update(t, w, it->first, r);
                    it->second = r;
                } else {
                    Delete(t, w, it->first);
                    rows.erase(it);
                }
            }
            if (step % 150 != 0 && step != 900) continue;
            SCOPED_TRACE(step);
            const std::vector<int32_t> byN = ModelOrder(rows, &TRow::N, true);
            const std::vector<int32_t> byS = ModelOrder(rows, &TRow::S, false);
            EXPECT_EQ(Walk(t, "BY_N", true), byN);
            EXPECT_EQ(Walk(t, "BY_N", false), byN);
            EXPECT_EQ(Walk(t, "BY_S", true), byS);
            EXPECT_EQ(Walk(t, "BY_S", false), byS);
            Validate(t, "BY_N", byN);
            Validate(t, "BY_S", byS);
        }
        EXPECT_GE(btreetest::ValidateTree(*t.PageManager, IndexOf(t, "BY_S").KeyRef(), kNoSession,
                                          IndexOf(t, "BY_S").RootPageNo())
                      .Depth,
                  3);
        // An index added over the rows now present is filled from them.
        TTestCursor adder(t);
        t.AddIndex(*IndexOn("BY_S_DESC", "S", true), &adder);
        Validate(t, "BY_S_DESC", ModelOrder(rows, &TRow::S, true));
        EXPECT_EQ(Walk(t, "BY_S_DESC", false), ModelOrder(rows, &TRow::S, true));
        w.Close();
        adder.Close();
        t.DeleteTable(nullptr, false);
    }
}

}  // namespace
