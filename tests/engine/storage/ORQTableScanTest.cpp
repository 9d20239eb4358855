// The record search of a table: the merge table of key conditions, the choice of the
// way in, and filtered navigation, counts and record numbers in every navigation mode
// checked against a brute-force model of seeded rows (with holes from deletions).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DiskTableFixture.h"
#include "FakeExpression.h"
#include "MemTableFixture.h"
#include "engine/storage/ORQTableScan.h"

using namespace orq;
using orq::test::NativeCode;
using orq::test::TTestCursor;
using orq_test::FakeExpression;

namespace {

struct TRow {
    int32_t Slot;
    int64_t A, B, C;
};

struct TMode {
    const char* Name;
    const char* CursorIndex;  // "" physical order
    // Filter: comparisons on the fake (field, operator, value), a callback, a range on
    // the cursor's index [low, high] with exclusive flags.
    std::vector<std::tuple<std::string, uint8_t, int64_t>> Compares;
    std::function<bool(const TRow&)> Callback;
    bool HasRange = false;
    int64_t Low = 0, High = 0;
    bool LowExclusive = false, HighExclusive = false;
};

// Counts the record reads of a MEMORY table.
class CountingRecords : public TORQMemoryRecordManager {
public:
    using TORQMemoryRecordManager::TORQMemoryRecordManager;
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) override {
        ++Reads;
        TORQMemoryRecordManager::ReadRecord(SessionID, Request);
    }
    int Reads = 0;
};

int64_t IntAt(const TORQCursor& C, const uint8_t* Record, int32_t FieldNo) {
    int32_t v = 0;
    std::memcpy(&v, Record + C.FieldDefs.GetItem(FieldNo)->MemoryOffset, 4);
    return v;
}

}  // namespace

class TableScan : public orq::test::MemTableTest {
protected:
    // A, B, C INTEGER; IA on A, IAB on (A, B), IC unique on C.
    TORQMemoryTableData& MakeScanTable() {
        TORQFieldDefs fields;
        AddField(fields, "A", aftInteger);
        AddField(fields, "B", aftInteger);
        AddField(fields, "C", aftInteger);
        TORQIndexDefs defs;
        auto add = [&](const std::string& Name, std::vector<std::string> Columns, bool Unique) {
            TORQIndexDef* d = defs.Add();
            d->Name = Name;
            d->Unique = Unique ? 1 : 0;
            d->SetColumnCount(static_cast<int32_t>(Columns.size()));
            for (size_t i = 0; i < Columns.size(); ++i) d->GetColumn(static_cast<int32_t>(i)).FieldName = Columns[i];
        };
        add("IA", {"A"}, false);
        add("IAB", {"A", "B"}, false);
        add("IC", {"C"}, true);
        TORQConstraintDefs none;
        return MakeTable(fields, none, "T", &defs);
    }
    static int32_t IndexID(TORQTableData& T, const std::string& Name) {
        return T.IndexManager->IndexDefs.FindByName(Name)->ObjectID;
    }
    static int32_t Insert(TORQTableData& T, TTestCursor& W, int64_t A, int64_t B, int64_t C) {
        W.Clear();
        W.SetInt(0, A);
        W.SetInt(1, B);
        W.SetInt(2, C);
        EXPECT_TRUE(T.InsertRecord(&W));
        return W.CurrentRecordID.PageNo;
    }
    // N rows of A in 0..19, B in 0..9, C unique; then about a fifth deleted.
    std::vector<TRow> Seed(TORQTableData& T, uint32_t Seed, int32_t N) {
        TTestCursor w(T);
        std::mt19937 rng(Seed);
        std::map<int32_t, TRow> rows;
        for (int32_t i = 0; i < N; ++i) {
            const int64_t a = rng() % 20, b = rng() % 10, c = (i * 7919) % 10007;
            const int32_t slot = Insert(T, w, a, b, c);
            rows[slot] = TRow{slot, a, b, c};
        }
        for (int32_t i = 0; i < N / 5; ++i) {
            auto it = rows.begin();
            std::advance(it, static_cast<long>(rng() % rows.size()));
            EXPECT_TRUE(T.GotoRecord(&w, TORQMemoryRecordManager::SlotID(it->first)));
            EXPECT_TRUE(T.DeleteRecord(&w));
            rows.erase(it);
        }
        std::vector<TRow> live;
        for (const auto& [slot, row] : rows) live.push_back(row);
        return live;
    }
    void ApplyMode(TTestCursor& Cur, const TMode& M, FakeExpression& E, const std::map<int32_t, TRow>& BySlot);
    static void UseIndex(TTestCursor& C, const std::string& Name) {
        C.IndexDefs.Assign(C.TableData->IndexManager->IndexDefs);
        C.SetIndexName(Name);
        ASSERT_NE(C.IndexID, -1);
    }
    // A key: a memory record holding A (and B when given).
    uint8_t* Key(TTestCursor& C, int64_t A, int64_t B = -1) {
        uint8_t* k = C.AllocRecordIDBuffer();
        FKeys.push_back(k);
        TORQVariant v;
        v.SetAsLargeInt(A);
        C.SetFieldValue(v, 0, k, true);
        if (B >= 0) {
            v.SetAsLargeInt(B);
            C.SetFieldValue(v, 1, k, true);
        }
        return k;
    }
    void TearDown() override {
        for (uint8_t* k : FKeys) GlobalMemoryManager().FreeAndNillMem(k);
        MemTableTest::TearDown();
    }
    std::vector<uint8_t*> FKeys;
};

// ---------------------------------------------------------------------------------
// The merge table

namespace {

// The cells as written in the table of outcomes: rows r's operator, columns s's, each
// cell the outcome for c < 0 / c = 0 / c > 0.
const char* const MergeCells[5][5] = {
    {"empty / longer / empty", "r / empty / empty", "empty / empty / r",
     "r / r if r is longer, else no merge / empty", "empty / r if r is longer, else no merge / r"},
    {"empty / empty / s", "r / shorter / s", "empty / empty / no merge", "r / r / s",
     "empty / empty if r is shorter, else no merge / no merge"},
    {"s / empty / empty", "no merge / empty / empty", "s / shorter / r",
     "no merge / empty if r is shorter, else no merge / empty", "s / r / r"},
    {"empty / s if s is longer, else no merge / s", "r / no merge / s",
     "empty / empty if s is shorter, else no merge / no merge", "r / longer / s",
     "empty / equal-length keys: longer with operator 1, else no merge / no merge"},
    {"s / s if s is longer, else no merge / empty", "no merge / empty if s is shorter, else no merge / empty",
     "s / s / r", "no merge / equal-length keys: longer with operator 1, else no merge / empty",
     "s / longer / r"},
};

std::vector<std::string> SplitCell(const std::string& Cell) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t at; (at = Cell.find(" / ", from)) != std::string::npos; from = at + 3)
        parts.push_back(Cell.substr(from, at - from));
    parts.push_back(Cell.substr(from));
    return parts;
}

struct TExpected {
    TORQMergeResult Result;
    char Source = ' ';  // 'r' or 's': the condition R becomes
    bool Equality = false;
};

// Reads one outcome of the table for r and s of RCount and SCount columns. r (s) is
// longer or shorter when its count is the larger or smaller one, or both are equal.
TExpected Interpret(const std::string& Text, int32_t RCount, int32_t SCount) {
    const bool rLonger = RCount >= SCount, rShorter = RCount <= SCount;
    const bool sLonger = SCount >= RCount, sShorter = SCount <= RCount;
    const char shorter = rShorter ? 'r' : 's', longer = rLonger ? 'r' : 's';
    if (Text == "empty") return {TORQMergeResult::Empty};
    if (Text == "no merge") return {TORQMergeResult::NoMerge};
    if (Text == "r") return {TORQMergeResult::Merged, 'r'};
    if (Text == "s") return {TORQMergeResult::Merged, 's'};
    if (Text == "shorter") return {TORQMergeResult::Merged, shorter};
    if (Text == "longer") return {TORQMergeResult::Merged, longer};
    if (Text == "r if r is longer, else no merge")
        return rLonger ? TExpected{TORQMergeResult::Merged, 'r'} : TExpected{TORQMergeResult::NoMerge};
    if (Text == "s if s is longer, else no merge")
        return sLonger ? TExpected{TORQMergeResult::Merged, 's'} : TExpected{TORQMergeResult::NoMerge};
    if (Text == "empty if r is shorter, else no merge")
        return {rShorter ? TORQMergeResult::Empty : TORQMergeResult::NoMerge};
    if (Text == "empty if s is shorter, else no merge")
        return {sShorter ? TORQMergeResult::Empty : TORQMergeResult::NoMerge};
    if (Text == "equal-length keys: longer with operator 1, else no merge")
        return RCount == SCount ? TExpected{TORQMergeResult::Merged, longer, true}
                                : TExpected{TORQMergeResult::NoMerge};
    ADD_FAILURE() << "unknown outcome " << Text;
    return {TORQMergeResult::NoMerge};
}

}  // namespace

TEST_F(TableScan, MergeConditionPairFollowsTheTableAndKeepsTheConjunction) {
    TORQMemoryTableData& t = MakeScanTable();
    TTestCursor cur(t);
    TORQIndex& index = t.IndexManager->GetIndex(IndexID(t, "IAB"));
    // Keys over (A, B): r's first column 4, 5 or 6 against s's 5 gives c < 0, = 0, > 0.
    const int64_t rA[3] = {4, 5, 6};
    const int32_t counts[3][2] = {{1, 1}, {2, 1}, {1, 2}};
    uint8_t* record = cur.AllocRecordIDBuffer();
    for (uint8_t ro = 1; ro <= 5; ++ro)
        for (uint8_t so = 1; so <= 5; ++so) {
            const std::vector<std::string> parts = SplitCell(MergeCells[ro - 1][so - 1]);
            ASSERT_EQ(parts.size(), 3u);
            for (int ci = 0; ci < 3; ++ci)
                for (const auto& cc : counts) {
                    SCOPED_TRACE(::testing::Message() << "r " << int(ro) << " s " << int(so) << " c " << ci - 1
                                                      << " counts " << cc[0] << "/" << cc[1]);
                    TORQScanSearchCondition r, s;
                    auto fill = [&](TORQScanSearchCondition& X, uint8_t Op, int32_t Count, int64_t A, int64_t B) {
                        X.Operator = Op;
                        X.FieldCount = Count;
                        X.IndexID = IndexID(t, "IAB");
                        X.KeySize = cur.RecordIDBufferSize;
                        X.Key = cur.AllocRecordIDBuffer();
                        std::memcpy(X.Key, Key(cur, A, B), static_cast<size_t>(X.KeySize));
                    };
                    fill(r, ro, cc[0], rA[ci], 3);
                    fill(s, so, cc[1], 5, 7);
                    TORQScanSearchCondition r0, s0;
                    r0.Assign(r);
                    s0.Assign(s);
                    const TExpected want = Interpret(parts[static_cast<size_t>(ci)], cc[0], cc[1]);
                    const TORQMergeResult got = MergeConditionPair(index, r, s);
                    ASSERT_EQ(static_cast<int>(got), static_cast<int>(want.Result));
                    if (got == TORQMergeResult::Merged) {
                        const TORQScanSearchCondition& from = want.Source == 'r' ? r0 : s0;
                        EXPECT_EQ(r.Operator, want.Equality ? uint8_t{scoEqual} : from.Operator);
                        EXPECT_EQ(r.FieldCount, from.FieldCount);
                        EXPECT_EQ(index.CompareRecordKeys(r.Key, from.Key, from.FieldCount), 0);
                    }
                    // Where a merge is tried at all, it keeps exactly the records both
                    // conditions hold for, and "empty" means there are none.
                    if (!ConditionsMayMerge(r0, s0)) continue;
                    for (int64_t a = 3; a <= 7; ++a)
                        for (int64_t b = 0; b <= 9; ++b) {
                            std::memcpy(record, Key(cur, a, b), static_cast<size_t>(cur.RecordIDBufferSize));
                            const bool both = KeyConditionHolds(index, r0, record) && KeyConditionHolds(index, s0, record);
                            if (got == TORQMergeResult::Empty) {
                                EXPECT_FALSE(both) << a << "," << b;
                            } else if (got == TORQMergeResult::Merged) {
                                EXPECT_EQ(KeyConditionHolds(index, r, record), both) << a << "," << b;
                            }
                        }
                }
        }
    cur.FreeRecordBuffer(record);
}

TEST_F(TableScan, MergeScanConditionsJoinsAndDropsRepeats) {
    TORQMemoryTableData& t = MakeScanTable();
    TTestCursor cur(t);
    TORQTableScan scan(t, &cur);
    const int32_t ia = IndexID(t, "IA");
    auto cond = [&](uint8_t Op, int64_t A) {
        auto c = std::make_unique<TORQScanSearchCondition>(true);
        c->Operator = Op;
        c->FieldCount = 1;
        c->IndexID = ia;
        c->KeySize = cur.RecordIDBufferSize;
        c->Key = Key(cur, A);
        return c;
    };
    FakeExpression e;
    {
        // <= 7 and >= 7 on keys of one length: one equality; the expression stays last.
        TORQScanSearchConditionArray a;
        a.AddNode(&e);
        a.AddCondition(*cond(scoLessOrEqual, 7));
        a.AddCondition(*cond(scoGreaterOrEqual, 7));
        ASSERT_TRUE(scan.MergeScanConditions(a));
        ASSERT_EQ(a.Count(), 2);
        EXPECT_EQ(a.Items(0).Operator, scoEqual);
        EXPECT_EQ(IntAt(cur, a.Items(0).Key, 0), 7);
        EXPECT_EQ(a.Items(1).Expression, &e);
    }
    {
        // = 5 with < 3: nothing can match, and the array is left as it was.
        TORQScanSearchConditionArray a;
        a.AddCondition(*cond(scoEqual, 5));
        a.AddCondition(*cond(scoLess, 3));
        EXPECT_FALSE(scan.MergeScanConditions(a));
        EXPECT_EQ(a.Count(), 2);
    }
    {
        // A repeat goes; > 2 and < 8 cannot merge and both stay.
        TORQScanSearchConditionArray a;
        a.AddCondition(*cond(scoGreater, 2));
        a.AddCondition(*cond(scoLess, 8));
        a.AddCondition(*cond(scoGreater, 2));
        ASSERT_TRUE(scan.MergeScanConditions(a));
        ASSERT_EQ(a.Count(), 2);
        EXPECT_EQ(a.Items(0).Operator, scoGreater);
        EXPECT_EQ(a.Items(1).Operator, scoLess);
    }
}

TEST_F(TableScan, ContradictoryConditionsReadNoRecord) {
    TORQMemoryTableData& t = MakeScanTable();
    auto counting = std::make_unique<CountingRecords>(t.RecordManager->RecordSize, 1000);
    CountingRecords* records = counting.get();
    t.RecordManager = std::move(counting);
    Seed(t, 5, 60);
    TTestCursor cur(t);
    FakeExpression e;
    e.BindFields(&cur, nullptr, nullptr);
    e.Compare("A", scoEqual, 5);
    e.Compare("a", scoLess, 3);
    records->Reads = 0;
    EXPECT_FALSE(t.FindRecord(&cur, &e));
    EXPECT_EQ(records->Reads, 0);
    EXPECT_EQ(e.Evaluations, 0);
    // The expression has its nodes back.
    EXPECT_EQ(e.Nodes.size(), 2u);
}

// A filter that says no more than the cursor's range costs no record read: counting the
// range reads none with or without it, while one that narrows the range reads its records.
TEST_F(TableScan, AFilterThatRestatesTheRangeReadsNoRecord) {
    TORQMemoryTableData& t = MakeScanTable();
    auto counting = std::make_unique<CountingRecords>(t.RecordManager->RecordSize, 1000);
    CountingRecords* records = counting.get();
    t.RecordManager = std::move(counting);
    const std::vector<TRow> rows = Seed(t, 11, 400);
    const auto sevens = std::count_if(rows.begin(), rows.end(), [](const TRow& r) { return r.A == 7; });
    const auto sevensB = std::count_if(rows.begin(), rows.end(), [](const TRow& r) { return r.A == 7 && r.B > 4; });
    TTestCursor cur(t);
    UseIndex(cur, "IA");
    cur.SetRange(Key(cur, 7), Key(cur, 7), false, false, 1, 1);
    auto count = [&](FakeExpression* E, int64_t Want) {
        cur.SetFilterExpression(E);
        records->Reads = 0;
        EXPECT_EQ(t.GetRecordCount(&cur), Want);
        return records->Reads;
    };
    const int alone = count(nullptr, sevens);
    FakeExpression restated;
    restated.Compare("A", scoEqual, 7);
    EXPECT_EQ(count(&restated, sevens), alone);
    EXPECT_EQ(restated.Evaluations, 0);
    EXPECT_EQ(restated.Nodes.size(), 1u);
    FakeExpression narrower;
    narrower.Compare("A", scoEqual, 7);
    narrower.Compare("B", scoGreater, 4);
    EXPECT_GE(count(&narrower, sevensB), alone + sevens);
    cur.SetFilterExpression(nullptr);
}

TEST_F(TableScan, ChooseScanConditionsByUniquenessAndCost) {
    TORQMemoryTableData& t = MakeScanTable();
    Seed(t, 9, 400);
    TTestCursor cur(t);
    struct Case {
        const char* name;
        std::vector<std::tuple<std::string, uint8_t, int64_t>> compares;
        const char* cursorIndex;
        bool forward;
        int wantMainOp;   // operator of the main condition, 0 for a physical scan
        int wantPairOp;   // operator of the paired condition, 0 for none
        const char* wantIndex;
    } cases[] = {
        // A unique one-column equality wins at once, even after a cheaper-looking pair.
        {"unique equality", {{"A", scoGreater, 3}, {"A", scoLess, 5}, {"C", scoEqual, 14}}, "", true, scoEqual, 0, "IC"},
        // Two ends on one index pair up; forward starts at the lower end.
        {"pair forward", {{"A", scoGreater, 3}, {"A", scoLess, 5}}, "", true, scoGreater, scoLess, "IA"},
        {"pair backward", {{"A", scoGreater, 3}, {"A", scoLess, 5}}, "", false, scoLess, scoGreater, "IA"},
        // Nearly every record in range: reading the table is cheaper.
        {"full scan", {{"A", scoGreaterOrEqual, 0}, {"B", scoLess, 100}}, "", true, 0, 0, ""},
        // The one key condition on the cursor's own index is taken as it is.
        {"cursor index", {{"A", scoGreaterOrEqual, 0}}, "IA", true, scoGreaterOrEqual, 0, "IA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cur.IndexID = -1;
        if (*c.cursorIndex != 0) UseIndex(cur, c.cursorIndex);
        FakeExpression e;
        e.BindFields(&cur, nullptr, nullptr);
        for (const auto& [f, op, v] : c.compares) e.Compare(f, op, v);
        TORQScanSearchConditionArray a;
        a.AddNode(&e);
        a.ChooseIndexes(t.IndexManager->IndexDefs, false);
        TORQTableScan scan(t, &cur);
        ASSERT_TRUE(scan.MergeScanConditions(a));
        int32_t main = -2, paired = -2;
        scan.ChooseScanConditions(a, c.forward, main, paired);
        if (c.wantMainOp == 0) {
            EXPECT_EQ(main, -1);
            continue;
        }
        ASSERT_GE(main, 0);
        EXPECT_EQ(a.Items(main).Operator, c.wantMainOp);
        EXPECT_EQ(a.Items(main).IndexID, IndexID(t, c.wantIndex));
        if (c.wantPairOp == 0) {
            EXPECT_EQ(paired, -1);
        } else {
            ASSERT_GE(paired, 0);
            EXPECT_EQ(a.Items(paired).Operator, c.wantPairOp);
        }
    }
}

TEST_F(TableScan, ConditionErrors) {
    TORQMemoryTableData& t = MakeScanTable();
    Seed(t, 3, 10);
    TTestCursor cur(t);
    EXPECT_EQ(NativeCode([&] { t.FindRecord(&cur, nullptr); }), 10272);
    // A key search needs the cursor's index.
    cur.SearchKey = Key(cur, 1);
    cur.SearchKeySize = cur.RecordIDBufferSize;
    cur.SearchKeyFieldCount = 1;
    EXPECT_EQ(NativeCode([&] { t.FindKey(&cur, scoEqual); }), 20258);
    TORQScanSearchConditionArray a;
    FakeExpression e;
    a.AddNode(&e);
    TORQTableScan scan(t, &cur);
    EXPECT_EQ(NativeCode([&] { scan.ScanWithConditions(a, 1, -1, false, nullptr, nullptr, true, true); }), 10382);
    // A range needs the cursor's index to compare keys by.
    cur.SetRange(Key(cur, 1), Key(cur, 5), false, false, 1, 1);
    cur.ResetToBeginning();
    EXPECT_EQ(NativeCode([&] { t.GetRecord(&cur, gmNext); }), 10388);
    EXPECT_EQ(cur.Bof, 1);
    cur.CancelRange();
}

TEST_F(TableScan, MovingFromARecordGoneFromTheCursorsIndexIsRefused) {
    TORQMemoryTableData& t = MakeScanTable();
    const std::vector<TRow> rows = Seed(t, 8, 40);
    TTestCursor cur(t);
    UseIndex(cur, "IC");
    FakeExpression e;
    e.Compare("A", scoGreaterOrEqual, 0);
    e.Compare("A", scoLess, 20);
    cur.SetFilterExpression(&e);
    cur.ResetToBeginning();
    ASSERT_EQ(t.GetRecord(&cur, gmNext), grOK);
    const TORQRecordID at = cur.CurrentRecordID;
    TTestCursor other(t);
    ASSERT_TRUE(t.GotoRecord(&other, at));
    ASSERT_TRUE(t.DeleteRecord(&other));
    // Ordered by IC and reached through IA: the position must be found in IC first.
    EXPECT_EQ(NativeCode([&] { t.GetRecord(&cur, gmNext); }), 10387);
    EXPECT_EQ(cur.CurrentRecordID, at);

    // A record whose key IC lost: neither a move from it nor a scan reaching it can place
    // it in the cursor's order.
    TTestCursor fresh(t);
    UseIndex(fresh, "IC");
    fresh.SetFilterExpression(&e);
    fresh.ResetToBeginning();
    ASSERT_EQ(t.GetRecord(&fresh, gmNext), grOK);
    const TORQRecordID lost = fresh.CurrentRecordID;
    ASSERT_TRUE(t.GotoRecord(&other, lost));
    t.IndexManager->GetIndex(IndexID(t, "IC")).DeleteKey(&other);
    EXPECT_EQ(NativeCode([&] { t.GetRecord(&fresh, gmNext); }), 10386);
    TTestCursor third(t);
    UseIndex(third, "IC");
    third.SetFilterExpression(&e);
    third.ResetToBeginning();
    EXPECT_EQ(NativeCode([&] { t.GetRecord(&third, gmNext); }), 10432);
    t.IndexManager->GetIndex(IndexID(t, "IC")).InsertKey(&other);
}

// ---------------------------------------------------------------------------------
// Navigation against the model

namespace {

bool Passes(const TMode& M, const TRow& R) {
    for (const auto& [f, op, v] : M.Compares) {
        const int64_t x = f == "A" ? R.A : (f == "B" ? R.B : R.C);
        const bool ok = op == scoEqual ? x == v
                      : op == scoLess ? x < v
                      : op == scoGreater ? x > v
                      : op == scoLessOrEqual ? x <= v
                      : op == scoGreaterOrEqual ? x >= v
                                                : x != v;
        if (!ok) return false;
    }
    if (M.Callback && !M.Callback(R)) return false;
    if (M.HasRange) {
        const int64_t k = std::string(M.CursorIndex) == "IC" ? R.C : R.A;
        if (M.LowExclusive ? k <= M.Low : k < M.Low) return false;
        if (M.HighExclusive ? k >= M.High : k > M.High) return false;
    }
    return true;
}

std::vector<int32_t> Expected(const TMode& M, std::vector<TRow> Rows) {
    const std::string index = M.CursorIndex;
    std::stable_sort(Rows.begin(), Rows.end(), [&](const TRow& x, const TRow& y) {
        if (index == "IA") return x.A < y.A;
        if (index == "IC") return x.C < y.C;
        return false;
    });
    std::vector<int32_t> slots;
    for (const TRow& r : Rows)
        if (Passes(M, r)) slots.push_back(r.Slot);
    return slots;
}

// Every way in: physical, the cursor's index, another index; comparisons, a callback, a range.
std::vector<TMode> NavigationModes() {
    return {
        {"physical, callback", "", {}, [](const TRow& r) { return r.A % 3 == 0; }},
        {"physical, comparisons", "", {{"A", scoGreaterOrEqual, 5}, {"A", scoLess, 12}, {"B", 6, 3}}, nullptr},
        {"physical, unique equality", "", {{"C", scoEqual, (7 * 7919) % 10007}}, nullptr},
        {"physical, equality", "", {{"A", scoEqual, 7}}, nullptr},
        {"physical, two-column key", "", {{"A", scoEqual, 7}, {"B", scoGreaterOrEqual, 4}}, nullptr},
        {"cursor index, comparisons", "IA", {{"A", scoGreater, 14}, {"B", scoLessOrEqual, 6}}, nullptr},
        {"cursor index, callback", "IA", {}, [](const TRow& r) { return r.B == 2; }},
        {"cursor index, range", "IA", {}, nullptr, true, 4, 9, false, true},
        {"cursor index, range and comparison", "IA", {{"B", scoGreater, 4}}, nullptr, true, 4, 9, true, false},
        {"other index, comparisons", "IC", {{"A", scoGreaterOrEqual, 15}}, nullptr},
        {"other index, range and comparison", "IC", {{"A", scoLess, 6}}, nullptr, true, 1000, 8000, false, false},
        // A filter that restates the range, one wider than it, and one that also fixes the
        // second column of IAB: the range keeps its bounds whichever condition leads.
        {"cursor index, range the filter restates", "IA", {{"A", scoEqual, 7}}, nullptr, true, 7, 7, false, false},
        {"cursor index, range narrower than the filter", "IA", {{"A", scoGreaterOrEqual, 4}}, nullptr, true, 7, 7,
         false, false},
        {"cursor index, restated range and a second column", "IA", {{"A", scoEqual, 7}, {"B", scoGreaterOrEqual, 3}}, nullptr,
         true, 7, 7, false, false},
        {"cursor index, range restated by an open bound", "IA", {{"A", scoGreaterOrEqual, 12}}, nullptr, true, 12,
         19, false, false},
    };
}

}  // namespace

// Puts mode M on the cursor: its order, filter (in E), callback (over the rows by slot) and range.
void TableScan::ApplyMode(TTestCursor& Cur, const TMode& M, FakeExpression& E, const std::map<int32_t, TRow>& BySlot) {
    Cur.IndexDefs.Assign(Cur.TableData->IndexManager->IndexDefs);
    Cur.SetIndexName(M.CursorIndex);
    Cur.SetFilterExpression(nullptr);
    Cur.OnFilterRecord = nullptr;
    if (*M.CursorIndex != 0) UseIndex(Cur, M.CursorIndex);
    if (!M.Compares.empty()) {
        for (const auto& [f, op, v] : M.Compares) E.Compare(f, op, v);
        Cur.SetFilterExpression(&E);
    }
    if (M.Callback)
        Cur.OnFilterRecord = [&Cur, &M, &BySlot](const uint8_t* Record) {
            const int32_t slot = TORQRecordID::FromBytes(Record + Cur.RecordSize).PageNo;
            EXPECT_EQ(IntAt(Cur, Record, 0), BySlot.at(slot).A);
            return M.Callback(BySlot.at(slot));
        };
    if (M.HasRange && std::string(M.CursorIndex) == "IC") {
        // IC's key is C: the range keys hold C.
        uint8_t* low = Key(Cur, 0);
        uint8_t* high = Key(Cur, 0);
        TORQVariant v;
        v.SetAsLargeInt(M.Low);
        Cur.SetFieldValue(v, 2, low, true);
        v.SetAsLargeInt(M.High);
        Cur.SetFieldValue(v, 2, high, true);
        Cur.SetRange(low, high, M.LowExclusive, M.HighExclusive, 1, 1);
    } else if (M.HasRange) {
        Cur.SetRange(Key(Cur, M.Low), Key(Cur, M.High), M.LowExclusive, M.HighExclusive, 1, 1);
    }
}

TEST_F(TableScan, FilteredNavigationMatchesTheModelInEveryMode) {
    TORQMemoryTableData& t = MakeScanTable();
    const std::vector<TRow> rows = Seed(t, 20260, 300);
    std::map<int32_t, TRow> bySlot;
    for (const TRow& r : rows) bySlot[r.Slot] = r;
    const std::vector<TMode> modes = NavigationModes();
    // One cursor for every mode: changing its order, filter and range must not leave a
    // bitmap of the mode before behind.
    TTestCursor cur(t);
    for (const TMode& m : modes) {
        SCOPED_TRACE(m.Name);
        FakeExpression e;
        ApplyMode(cur, m, e, bySlot);
        const std::vector<int32_t> want = Expected(m, rows);
        ASSERT_FALSE(want.empty());

        for (bool forward : {true, false}) {
            SCOPED_TRACE(forward ? "forward" : "backward");
            if (forward)
                cur.ResetToBeginning();
            else
                cur.ResetToEnd();
            std::vector<int32_t> got;
            uint8_t r = 0;
            while ((r = t.GetRecord(&cur, forward ? gmNext : gmPrior)) == grOK) {
                got.push_back(cur.CurrentRecordID.PageNo);
                EXPECT_EQ(cur.GetInt(0), bySlot.at(cur.CurrentRecordID.PageNo).A);
                ASSERT_LE(got.size(), want.size());
            }
            EXPECT_EQ(r, forward ? grEOF : grBOF);
            // Past the last match the position stays on it.
            EXPECT_EQ(cur.CurrentRecordID.PageNo, forward ? want.back() : want.front());
            if (!forward) std::reverse(got.begin(), got.end());
            EXPECT_EQ(got, want);
        }

        // Moving on from the far end finds nothing; a current record the filter refuses
        // reads as not found and the position stays.
        cur.ResetToEnd();
        EXPECT_EQ(t.GetRecord(&cur, gmNext), grEOF);
        cur.ResetToBeginning();
        EXPECT_EQ(t.GetRecord(&cur, gmPrior), grBOF);
        auto refused = std::find_if(rows.begin(), rows.end(), [&](const TRow& r) { return !Passes(m, r); });
        if (refused != rows.end()) {
            ASSERT_TRUE(t.GotoRecord(&cur, TORQMemoryRecordManager::SlotID(refused->Slot)));
            EXPECT_EQ(t.GetRecord(&cur, gmCurrent), grError);
            EXPECT_EQ(cur.CurrentRecordID.PageNo, refused->Slot);
        }

        EXPECT_EQ(t.GetRecordCount(&cur), static_cast<int64_t>(want.size()));
        for (size_t k = 1; k <= want.size(); k += 1 + want.size() / 7) {
            t.SetRecNo(&cur, static_cast<int64_t>(k));
            EXPECT_EQ(cur.CurrentRecordID.PageNo, want[k - 1]) << k;
            EXPECT_EQ(t.GetRecNo(&cur), static_cast<int64_t>(k)) << k;
        }
        t.SetRecNo(&cur, static_cast<int64_t>(want.size()) + 5);
        EXPECT_EQ(cur.CurrentRecordID.PageNo, want.back());
        EXPECT_EQ(t.GetRecNo(&cur), static_cast<int64_t>(want.size()));
        cur.ResetToBeginning();
        EXPECT_EQ(t.GetRecNo(&cur), -1);
        cur.ResetToEnd();
        EXPECT_EQ(t.GetRecNo(&cur), -1);
        cur.CancelRange();
        cur.SetFilterExpression(nullptr);
    }
}

// Steps of one cursor, now on, now back, with another cursor's inserts and deletes in
// between (never of the record the cursor stands on): each step reads what the model
// finds after (before) the cursor's record as the table stands then. Runs without a
// change keep the cursor's plan and place; a change makes it choose again.
TEST_F(TableScan, StepsMatchTheModelWhileAnotherCursorChangesTheTable) {
    TORQMemoryTableData& t = MakeScanTable();
    std::map<int32_t, TRow> live;
    for (const TRow& r : Seed(t, 515, 240)) live[r.Slot] = r;
    std::set<int64_t> usedC;
    for (const auto& [slot, r] : live) usedC.insert(r.C);
    TTestCursor other(t);
    const std::vector<TMode> modes = NavigationModes();
    int changes = 0, reads = 0;
    for (size_t mi = 0; mi < modes.size(); ++mi) {
        const TMode& m = modes[mi];
        SCOPED_TRACE(m.Name);
        TTestCursor cur(t);
        FakeExpression e;
        ApplyMode(cur, m, e, live);
        std::mt19937 rng(static_cast<uint32_t>(900 + mi));
        bool forward = true, placed = false;
        int32_t at = -1;
        cur.ResetToBeginning();
        // The model: the row the next read must reach as the table stands now, -1 for none
        // (the accepted row after, or before, the cursor's record in the whole order).
        auto expected = [&]() -> int32_t {
            std::vector<TRow> rows;
            for (const auto& [slot, r] : live) rows.push_back(r);
            TMode all = m;
            all.Compares.clear();
            all.Callback = nullptr;
            all.HasRange = false;
            const std::vector<int32_t> order = Expected(all, rows);
            const long n = static_cast<long>(order.size());
            long k = forward ? 0 : n - 1;
            if (placed) {
                const long here = std::find(order.begin(), order.end(), at) - order.begin();
                EXPECT_LT(here, n);
                k = here + (forward ? 1 : -1);
            }
            for (; k >= 0 && k < n; k += forward ? 1 : -1)
                if (Passes(m, live.at(order[static_cast<size_t>(k)]))) return order[static_cast<size_t>(k)];
            return -1;
        };
        auto insert = [&](int64_t A, int64_t B) {
            int64_t c = 0;
            do c = rng() % 10007; while (usedC.count(c) != 0);
            const int32_t slot = Insert(t, other, A, B, c);
            live[slot] = TRow{slot, A, B, c};
            usedC.insert(c);
            ++changes;
        };
        auto erase = [&](int32_t Slot) {
            ASSERT_TRUE(t.GotoRecord(&other, TORQMemoryRecordManager::SlotID(Slot)));
            ASSERT_TRUE(t.DeleteRecord(&other));
            usedC.erase(live.at(Slot).C);
            live.erase(Slot);
            ++changes;
        };
        for (int step = 0; step < 160; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            if (placed && rng() % 6 == 0) forward = !forward;
            // Half the steps change nothing; the others insert a row anywhere or a twin of
            // the cursor's record (its neighbour in the order), or delete a row anywhere or
            // the one the read would reach.
            switch (rng() % 8) {
                case 0: insert(rng() % 20, rng() % 10); break;
                case 1:
                    if (placed) insert(live.at(at).A, live.at(at).B);
                    break;
                case 2: {
                    auto it = live.begin();
                    std::advance(it, static_cast<long>(rng() % live.size()));
                    if (!placed || it->first != at) erase(it->first);
                    break;
                }
                case 3:
                    if (const int32_t next = expected(); next >= 0) erase(next);
                    break;
                default: break;
            }
            const int32_t want = expected();
            const uint8_t r = t.GetRecord(&cur, forward ? gmNext : gmPrior);
            if (want < 0) {
                ASSERT_EQ(r, forward ? grEOF : grBOF);
                // Start over from the far end, the other way.
                forward = !forward;
                placed = false;
                if (forward)
                    cur.ResetToBeginning();
                else
                    cur.ResetToEnd();
                continue;
            }
            ASSERT_EQ(r, grOK);
            ASSERT_EQ(cur.CurrentRecordID.PageNo, want);
            EXPECT_EQ(cur.GetInt(0), live.at(cur.CurrentRecordID.PageNo).A);
            at = cur.CurrentRecordID.PageNo;
            placed = true;
            ++reads;
        }
    }
    // The walks did move and the table did change under them.
    EXPECT_GT(changes, 300);
    EXPECT_GT(reads, 800);
}

TEST_F(TableScan, DistinctSteppingVisitsOneRecordPerKey) {
    TORQMemoryTableData& t = MakeScanTable();
    const std::vector<TRow> rows = Seed(t, 77, 200);
    std::map<int64_t, std::vector<int32_t>> byA;  // slots in index order per key
    for (const TRow& r : rows) byA[r.A].push_back(r.Slot);
    TTestCursor cur(t);
    UseIndex(cur, "IA");
    cur.LinkedKeyFieldCount = 1;
    std::vector<int32_t> first, last;
    for (const auto& [a, slots] : byA) {
        first.push_back(slots.front());
        last.push_back(slots.back());
    }
    for (bool forward : {true, false}) {
        if (forward)
            cur.ResetToBeginning();
        else
            cur.ResetToEnd();
        std::vector<int32_t> got;
        while (t.GetRecord(&cur, forward ? gmNext : gmPrior) == grOK) {
            got.push_back(cur.CurrentRecordID.PageNo);
            ASSERT_LE(got.size(), rows.size());
        }
        EXPECT_EQ(cur.KeyBuffer, nullptr);
        if (!forward) std::reverse(got.begin(), got.end());
        EXPECT_EQ(got, forward ? first : last);
    }
    // Counted and numbered through the bitmap, one record per key: the first of each.
    EXPECT_EQ(t.GetRecordCount(&cur), static_cast<int64_t>(first.size()));
    for (size_t k = 1; k <= first.size(); ++k) {
        t.SetRecNo(&cur, static_cast<int64_t>(k));
        EXPECT_EQ(cur.CurrentRecordID.PageNo, first[k - 1]) << k;
        EXPECT_EQ(t.GetRecNo(&cur), static_cast<int64_t>(k)) << k;
    }
}

TEST_F(TableScan, TestExpressionOffersDerivedConditionsOverTheDefinitions) {
    TORQMemoryTableData& t = MakeScanTable();
    TTestCursor cur(t);
    FakeExpression e;
    e.BindFields(&cur, nullptr, nullptr);
    const intptr_t a = e.Compare("a", scoEqual, 7);
    const intptr_t b = e.Compare("B", scoGreaterOrEqual, 4);
    e.Compare("C", 6, 1);  // <> serves no index
    TORQScanSearchConditionArray arr;
    arr.AddNode(&e);
    arr.ChooseIndexes(t.IndexManager->IndexDefs, false);
    // A = 7 on IA, and on IAB extended by B >= 4 over two columns.
    ASSERT_EQ(arr.Count(), 3);
    const TORQScanSearchCondition& onA = arr.Items(1);
    const TORQScanSearchCondition& onAB = arr.Items(2);
    EXPECT_TRUE(IsDerivedCondition(onA));
    EXPECT_EQ(onA.IndexID, IndexID(t, "IA"));
    EXPECT_EQ(onA.Operator, scoEqual);
    EXPECT_EQ(IntAt(cur, onA.Key, 0), 7);
    EXPECT_EQ(onAB.IndexID, IndexID(t, "IAB"));
    EXPECT_EQ(onAB.FieldCount, 2);
    EXPECT_EQ(onAB.Operator, scoGreaterOrEqual);
    EXPECT_EQ(IntAt(cur, onAB.Key, 1), 4);
    EXPECT_EQ(onAB.Nodes, (std::vector<TORQExprNode*>{orq_test::AsNode(a), orq_test::AsNode(b)}));
    // Detached, the nodes are no longer evaluated; attached again, they are.
    arr.DetachConditions(2, -1);
    EXPECT_EQ(e.Nodes.size(), 1u);
    arr.AttachConditions(2, -1);
    EXPECT_EQ(e.Nodes.size(), 3u);
    EXPECT_FALSE(IsDerivedCondition(arr.Items(0)));
}

// ---------------------------------------------------------------------------------
// The record bitmap under changes

TEST_F(TableScan, FillingWithoutConditionsMarksOnlyLiveRecords) {
    TORQMemoryTableData& t = MakeIdTable();
    TTestCursor w(t);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(w.Insert(i));
    TTestCursor cur(t);
    auto fill = [&] {
        TORQRecordBitmap bitmap(&t);
        bitmap.SetSize(t.GetMaxRecordNumber(-2));
        TORQTableScan scan(t, &cur);
        cur.ResetToBeginning();
        scan.ScanRecords(nullptr, true, &bitmap, nullptr, true, true, nullptr);
        EXPECT_EQ(bitmap.Complete, 1);
        std::vector<int32_t> set;
        for (int64_t n = 0; n < bitmap.Size(); ++n)
            if (bitmap.IsSetAt(n)) set.push_back(static_cast<int32_t>(n));
        return set;
    };
    EXPECT_EQ(fill(), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (int32_t slot : {0, 4}) {
        ASSERT_TRUE(t.GotoRecord(&w, TORQMemoryRecordManager::SlotID(slot)));
        ASSERT_TRUE(t.DeleteRecord(&w));
    }
    // Slots 0 and 4 are holes below the bitmap's size: they must stay clear.
    EXPECT_EQ(fill(), (std::vector<int32_t>{1, 2, 3, 5, 6, 7, 8, 9}));
}

TEST_F(TableScan, StaleBitmapIsRefilledAndWritesKeepItCurrent) {
    TORQMemoryTableData& t = MakeScanTable();
    const std::vector<TRow> rows = Seed(t, 4242, 80);
    const auto evens = std::count_if(rows.begin(), rows.end(), [](const TRow& r) { return r.A % 2 == 0; });
    TTestCursor cur(t);
    cur.OnFilterRecord = [&](const uint8_t* Record) { return IntAt(cur, Record, 0) % 2 == 0; };
    cur.CreateRecordBitmap();
    ASSERT_EQ(t.GetRecordCount(&cur), evens);
    // Another cursor's insert moves the table on: the bitmap is stale and refilled.
    TTestCursor other(t);
    Insert(t, other, 2, 0, 50001);
    Insert(t, other, 3, 0, 50002);
    EXPECT_TRUE(cur.RecordBitmap->IsStale());
    EXPECT_EQ(t.GetRecordCount(&cur), evens + 1);
    // The cursor's own writes keep its bitmap current: an insert that passes, one that
    // does not, an update that makes a record fail, a delete.
    const int32_t kept = Insert(t, cur, 4, 0, 50003);
    Insert(t, cur, 5, 0, 50004);
    EXPECT_FALSE(cur.RecordBitmap->IsStale());
    EXPECT_EQ(cur.RecordBitmap->Count(), evens + 2);
    ASSERT_TRUE(t.GotoRecord(&cur, TORQMemoryRecordManager::SlotID(kept)));
    cur.SetInt(0, 9);
    ASSERT_TRUE(t.UpdateRecord(&cur));
    EXPECT_FALSE(cur.RecordBitmap->IsStale());
    EXPECT_EQ(cur.RecordBitmap->Count(), evens + 1);
    const int32_t firstEven = std::find_if(rows.begin(), rows.end(), [](const TRow& r) { return r.A % 2 == 0; })->Slot;
    ASSERT_TRUE(t.GotoRecord(&cur, TORQMemoryRecordManager::SlotID(firstEven)));
    ASSERT_TRUE(t.DeleteRecord(&cur));
    EXPECT_FALSE(cur.RecordBitmap->IsStale());
    EXPECT_EQ(cur.RecordBitmap->Count(), evens);
    EXPECT_EQ(t.GetRecordCount(&cur), evens);
    // Emptying the table leaves no record to count.
    t.EmptyTable(&other);
    EXPECT_EQ(t.GetRecordCount(&cur), 0);
}

TEST_F(TableScan, FindRecordAndFindKey) {
    TORQMemoryTableData& t = MakeScanTable();
    const std::vector<TRow> rows = Seed(t, 31, 120);
    TTestCursor cur(t);
    // The first record in physical order with B = 4 and A > 10.
    FakeExpression e;
    e.BindFields(&cur, nullptr, nullptr);
    e.Compare("B", scoEqual, 4);
    e.Compare("A", scoGreater, 10);
    auto it = std::find_if(rows.begin(), rows.end(), [](const TRow& r) { return r.B == 4 && r.A > 10; });
    ASSERT_NE(it, rows.end());
    cur.ResetToEnd();
    ASSERT_TRUE(t.FindRecord(&cur, &e));
    EXPECT_EQ(cur.CurrentRecordID.PageNo, it->Slot);
    EXPECT_EQ(cur.GetInt(2), it->C);
    // Not found: the position stays.
    FakeExpression none;
    none.BindFields(&cur, nullptr, nullptr);
    none.Compare("A", scoGreater, 50);
    EXPECT_FALSE(t.FindRecord(&cur, &none));
    EXPECT_EQ(cur.CurrentRecordID.PageNo, it->Slot);

    // A key search on IA: the first record in index order with A >= 13.
    UseIndex(cur, "IA");
    cur.SearchKey = Key(cur, 13);
    cur.SearchKeySize = cur.RecordIDBufferSize;
    cur.SearchKeyFieldCount = 1;
    std::vector<TRow> sorted = rows;
    std::stable_sort(sorted.begin(), sorted.end(), [](const TRow& x, const TRow& y) { return x.A < y.A; });
    auto at = std::find_if(sorted.begin(), sorted.end(), [](const TRow& r) { return r.A >= 13; });
    ASSERT_TRUE(t.FindKey(&cur, scoGreaterOrEqual));
    EXPECT_EQ(cur.CurrentRecordID.PageNo, at->Slot);
    cur.SearchKey = Key(cur, 40);
    EXPECT_FALSE(t.FindKey(&cur, scoEqual));
    EXPECT_EQ(cur.CurrentRecordID.PageNo, at->Slot);
}

// ---------------------------------------------------------------------------------
// A ranged, filtered disk cursor while another process changes the table

TEST(DiskTableScan, RangedStepsMatchTheModelWhileAnotherProcessChangesTheTable) {
    using namespace disktable;
    DbFile f;
    Connection conn(f.Name, true);
    CreateLogTable(conn);
    Cursor cur(conn, "NAVTEXLOG");
    // Even minutes 0 .. 118; DIST 1 accepts a row.
    std::map<int64_t, int64_t> dist;  // by minute, the live rows
    std::map<int64_t, TORQRecordID> ids;
    for (int64_t m = 0; m < 120; m += 2) {
        cur.FillLog(m, "ZCZC " + std::to_string(m));
        cur.SetInt(fDist, m % 3 == 0 ? 1 : 0);
        ASSERT_TRUE(cur.Append());
        dist[m] = m % 3 == 0 ? 1 : 0;
        ids[m] = cur.CurrentRecordID;
        cur.Disk->ClearRecordBlobs(cur.CurrentRecord);
    }
    cur.SetIndexName("IDX_DT");
    auto minuteKey = [&](int64_t Minute) {
        uint8_t* k = cur.AllocRecordIDBuffer();
        TORQVariant v;
        v.SetAsDateTime(46000.0 + static_cast<double>(Minute) / 1440.0);
        cur.SetFieldValue(v, fUtc, k, true);
        return k;
    };
    uint8_t* low = minuteKey(10);
    uint8_t* high = minuteKey(100);
    cur.SetRange(low, high, false, false, 1, 1);
    FakeExpression e;
    e.Compare("DIST", scoEqual, 1);
    cur.SetFilterExpression(&e);

    // In a child: an accepted row at an odd minute, or a row gone.
    auto change = [&](int64_t Minute, bool Insert) {
        return disktest::InChild([&] {
            Connection other(f.Name, true);
            Cursor w(other, "NAVTEXLOG");
            if (Insert) {
                w.FillLog(Minute, "NNNN");
                w.SetInt(fDist, 1);
                return w.Append() ? 0 : 1;
            }
            return w.Disk->GotoRecord(&w, ids.at(Minute)) && w.Disk->DeleteRecord(&w) ? 0 : 2;
        });
    };
    std::mt19937 rng(4711);
    bool forward = true, placed = false;
    int64_t at = -1;
    int changes = 0;
    cur.ResetToBeginning();
    for (int step = 0; step < 90; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (step % 5 == 2) {
            const bool insert = rng() % 2 == 0;
            int64_t m = 0;
            if (insert) {
                do m = 2 * static_cast<int64_t>(rng() % 60) + 1; while (dist.count(m) != 0);
            } else {
                std::vector<int64_t> known;
                for (const auto& [minute, id] : ids)
                    if (dist.count(minute) != 0 && (!placed || minute != at)) known.push_back(minute);
                m = known[rng() % known.size()];
            }
            ASSERT_EQ(change(m, insert), 0);
            if (insert)
                dist[m] = 1;
            else
                dist.erase(m);
            ++changes;
        }
        if (placed && rng() % 5 == 0) forward = !forward;
        std::vector<int64_t> accepted;
        for (const auto& [m, d] : dist)
            if (d == 1 && m >= 10 && m <= 100) accepted.push_back(m);
        int64_t want = -1;
        if (forward) {
            auto it = placed ? std::upper_bound(accepted.begin(), accepted.end(), at) : accepted.begin();
            if (it != accepted.end()) want = *it;
        } else {
            auto it = placed ? std::lower_bound(accepted.begin(), accepted.end(), at) : accepted.end();
            if (it != accepted.begin()) want = *std::prev(it);
        }
        const uint8_t r = cur.Disk->GetRecord(&cur, forward ? gmNext : gmPrior);
        if (want < 0) {
            ASSERT_EQ(r, forward ? grEOF : grBOF);
            forward = !forward;
            placed = false;
            if (forward)
                cur.ResetToBeginning();
            else
                cur.ResetToEnd();
            continue;
        }
        ASSERT_EQ(r, grOK);
        ASSERT_EQ(cur.Minute(), want);
        at = want;
        placed = true;
    }
    EXPECT_EQ(changes, 18);
    cur.SetFilterExpression(nullptr);
    cur.CancelRange();
    cur.FreeRecordBuffer(low);
    cur.FreeRecordBuffer(high);
}
