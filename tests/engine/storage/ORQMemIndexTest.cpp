// MEMORY tables with indexes, end to end: indexes built with the table and over existing
// rows, kept in step by inserts, updates and deletes (checked against a sorted model of
// (key, record id) walked both ways through a table cursor, with the tree validator on
// every index), unique keys, temporary indexes, the faults of the index upkeep, and the
// session pages of transactions.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "MemTableFixture.h"
#include "PrefixKeyCases.h"
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

int32_t PrivatePages(TORQTableData& T, int32_t Session) {
    TORQSortedPageList* own = T.PageManager->PrivateList(Session);
    return own == nullptr ? 0 : own->Count();
}

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

std::string Text(const std::string& Message, int32_t Code) {
    return Message + " - Native error: " + std::to_string(Code);
}

// Unique and primary keys: the duplicate tests of the constraint check on insert and on
// update, and indexes refused over rows that already break them.
TEST_F(MemIndex, UniqueAndPrimaryKeys) {
    TORQIndexDefs none;
    TORQMemoryTableData& t = MakeRowTable(none);
    TTestCursor w(t);
    auto pk = IndexOn("PK", "N");
    pk->Primary = 1;
    t.AddIndex(*pk, &w);
    t.AddIndex(*IndexOn("US", "S", false, true), &w);
    // Each index brings its constraint, named after its columns.
    ASSERT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 2);
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetItem(0)->Name, "C_PK$N");
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetItem(1)->Name, "C_Unique$S");
    const int32_t a = Insert(t, w, {1, "A"});
    Insert(t, w, {2, std::nullopt});

    struct Case {
        const char* Name;
        TRow Row;
        bool IsInsert;
        int32_t Code;
        const char* Message;
    };
    const Case cases[] = {
        {"new keys", {3, "C"}, true, 0, ""},
        {"primary key taken", {2, "C"}, true, 30319, "Primary Key constraint 'C_PK$N' violated. Duplicate found."},
        {"unique key taken", {3, "A"}, true, 30320, "Constraint unique 'C_Unique$S' violated. Duplicate found."},
        {"null equals null in a unique key", {3, std::nullopt}, true, 30320,
         "Constraint unique 'C_Unique$S' violated. Duplicate found."},
        {"null primary key", {std::nullopt, "C"}, true, 30330,
         "Constraint 'C_PK$N' violated. Value in field 'N' cannot be null"},
        {"update keeping its own keys", {1, "A"}, false, 0, ""},
        {"update to a free key", {7, "A"}, false, 0, ""},
        {"update onto another record's key", {2, "A"}, false, 30319,
         "Primary Key constraint 'C_PK$N' violated. Duplicate found."},
    };
    TTestCursor probe(t);
    ASSERT_TRUE(t.GotoRecord(&probe, TORQMemoryRecordManager::SlotID(a)));
    std::vector<uint8_t> old(probe.CurrentRecord, probe.CurrentRecord + probe.RecordSize);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        probe.Clear();
        Fill(probe, c.Row);
        const TORQRecordID id = TORQMemoryRecordManager::SlotID(a);
        auto check = [&](bool Raise) {
            return t.ConstraintManager->CheckRecord(kNoSession, probe.CurrentRecord, Raise, id, c.IsInsert,
                                                    c.IsInsert ? nullptr : old.data());
        };
        if (c.Code == 0) {
            EXPECT_TRUE(check(true));
        } else {
            ExpectNative([&] { check(true); }, c.Code, Text(c.Message, c.Code));
            EXPECT_FALSE(check(false));
        }
    }

    // A unique or primary index over rows with equal keys is refused and leaves nothing.
    Insert(t, w, {5, "D"});
    Insert(t, w, {6, "D"});
    const int32_t pages = t.PageManager->PageCount;
    const int32_t indexes = t.IndexManager->IndexDefs.GetCount();
    ExpectNative([&] { t.AddIndex(*IndexOn("US2", "S", false, true), &w); }, 30320,
                 Text("Constraint unique 'US2' violated. Duplicate found.", 30320));
    auto pk2 = IndexOn("PK2", "S");
    pk2->Primary = 1;
    EXPECT_EQ(NativeCode([&] { t.AddIndex(*pk2, &w); }), 30320);
    EXPECT_EQ(t.PageManager->PageCount, pages);
    EXPECT_EQ(t.IndexManager->IndexDefs.GetCount(), indexes);
    EXPECT_EQ(t.IndexManager->OpenIndexCount(), indexes);
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 2);
    EXPECT_EQ(PrivatePages(t, kNoSession), 0);
    // A plain index over the same rows is fine.
    EXPECT_NO_THROW(t.AddIndex(*IndexOn("S_ANY", "S"), &w));

    // Deleting an index takes its constraint with it.
    t.DeleteIndex(t.IndexManager->IndexDefs.FindByName("US")->ObjectID, &w);
    ASSERT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 1);
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetItem(0)->Name, "C_PK$N");
    EXPECT_EQ(NativeCode([&] { t.DeleteIndex(9999, &w); }), 20018);
}

// Keys must fit three entries to a page (the page header keeps the key size in 16 bits),
// and a column's indexed size must be at least 1.
TEST_F(MemIndex, KeySizeBounds) {
    TORQIndexDefs none;
    TORQMemoryTableData& t = MakeRowTable(none, 2000);
    TTestCursor w(t);
    Insert(t, w, {1, std::string(1500, 'x')});
    // 4096-byte pages: 3 x (key + 6) + 18 <= 4096 allows keys of 1353 bytes; a prefix
    // column keeps its indexed size + 3 bytes.
    struct Case {
        int32_t Size;
        int32_t Code;
    };
    for (const Case& c : {Case{1350, 0}, Case{1351, 30920}, Case{4000, 30920}, Case{0, 30921}, Case{-5, 30921}}) {
        SCOPED_TRACE(c.Size);
        const int32_t indexes = t.IndexManager->IndexDefs.GetCount();
        const int32_t pages = t.PageManager->PageCount;
        const std::string name = "S" + std::to_string(c.Size + 10);
        EXPECT_EQ(NativeCode([&] { t.AddIndex(*IndexOn(name, "S", false, false, c.Size), &w); }), c.Code);
        EXPECT_EQ(t.IndexManager->IndexDefs.GetCount(), indexes + (c.Code == 0 ? 1 : 0));
        if (c.Code != 0) {
            EXPECT_EQ(t.PageManager->PageCount, pages);
        }
    }
    ExpectNative([&] { t.AddIndex(*IndexOn("WIDE", "S", false, false, 1351), &w); }, 30920,
                 Text("Cannot use index 'WIDE'. Its key of 1354 bytes exceeds the limit of 1353 bytes", 30920));
    // A definition read from metadata with a broken size is refused when it is opened.
    TORQIndexDef* loaded = t.IndexManager->IndexDefs.Add();
    loaded->Assign(*IndexOn("LOADED", "S", false, false, 0));
    loaded->ObjectID = 777;
    loaded->RootPage = 0;
    ExpectNative([&] { t.IndexManager->OpenIndex(777); }, 30921,
                 Text("Invalid indexed size 0 of column 'S' in index 'LOADED'", 30921));
    EXPECT_EQ(t.IndexManager->FindOpenIndex(777), nullptr);
}

// An update takes the old keys from the stored record, whatever the cursor's buffers
// hold: KeyBuffer is nil after a read and OldRecord may hold anything.
TEST_F(MemIndex, UpdateRemovesTheStoredRecordsKeys) {
    TORQIndexDefs defs;
    defs.Add()->Assign(*IndexOn("BY_N", "N"));
    TORQMemoryTableData& t = MakeRowTable(defs);
    TTestCursor w(t);
    const int32_t a = Insert(t, w, {10, "A"});
    const int32_t b = Insert(t, w, {20, "B"});
    const int32_t c = Insert(t, w, {30, "C"});
    // The cursor reads its record through the table first, as a dataset would.
    TTestCursor u(t);
    u.IndexDefs.Assign(t.IndexManager->IndexDefs);
    u.SetIndexName("BY_N");
    u.ResetToBeginning();
    ASSERT_EQ(t.GetRecord(&u, gmNext), grOK);
    ASSERT_EQ(u.CurrentRecordID.PageNo, a);
    EXPECT_EQ(u.KeyBuffer, nullptr);
    u.SetInt(0, 25);
    ASSERT_TRUE(t.UpdateRecord(&u));
    EXPECT_EQ(Walk(t, "BY_N", true), (std::vector<int32_t>{b, a, c}));
    // A stale OldRecord (another record's values) does not decide what is removed.
    TTestCursor stale(t);
    ASSERT_TRUE(t.GotoRecord(&stale, TORQMemoryRecordManager::SlotID(c)));
    std::vector<uint8_t> wrong(stale.CurrentRecord, stale.CurrentRecord + stale.RecordBufferSize);
    ASSERT_TRUE(t.GotoRecord(&u, TORQMemoryRecordManager::SlotID(b)));
    u.OldRecord = wrong.data();
    u.SetInt(0, 40);
    ASSERT_TRUE(t.UpdateRecord(&u));
    u.OldRecord = nullptr;
    EXPECT_EQ(Walk(t, "BY_N", true), (std::vector<int32_t>{a, c, b}));
    Validate(t, "BY_N", {a, c, b});
    // An id that holds no record is refused before any key moves.
    u.CurrentRecordID = TORQMemoryRecordManager::SlotID(99);
    EXPECT_FALSE(t.UpdateRecord(&u));
    Validate(t, "BY_N", {a, c, b});
}

// Navigation from a record that another cursor deleted moves by the values still in the
// buffer, skipping records of equal key; record numbers and positions in index order.
TEST_F(MemIndex, PositionsInIndexOrder) {
    TORQIndexDefs defs;
    defs.Add()->Assign(*IndexOn("BY_N", "N"));
    // Wide string keys: nine entries to a page, so thirty rows make two levels.
    defs.Add()->Assign(*IndexOn("BY_S", "S", false, false, 450));
    TORQMemoryTableData& t = MakeRowTable(defs, 400);
    TTestCursor w(t);
    std::map<int32_t, TRow> rows;
    for (int32_t i = 0; i < 30; ++i) {
        const TRow r{(i * 7) % 10, std::string(1, static_cast<char>('A' + (i * 11) % 26)) + std::to_string(i)};
        rows[Insert(t, w, r)] = r;
    }
    const std::vector<int32_t> byN = ModelOrder(rows, &TRow::N, false);
    const std::vector<int32_t> byS = ModelOrder(rows, &TRow::S, false);
    const int32_t sID = t.IndexManager->IndexDefs.FindByName("BY_S")->ObjectID;

    TTestCursor c(t);
    c.IndexDefs.Assign(t.IndexManager->IndexDefs);
    c.SetIndexName("BY_S");
    for (int64_t n = 1; n <= 30; ++n) {
        t.SetRecNo(&c, n);
        ASSERT_EQ(c.CurrentRecordID.PageNo, byS[static_cast<size_t>(n - 1)]) << n;
        EXPECT_EQ(t.GetRecNo(&c), n);
        // A key path and its position lead back to the same record.
        TORQKeyPath path;
        ASSERT_TRUE(t.LocateRecordInIndex(kNoSession, sID, path, c.CurrentRecordID));
        EXPECT_EQ(path.LevelCount, 2);
        TORQRecordID id;
        t.RecordIdAtKeyPath(kNoSession, sID, id, path);
        EXPECT_EQ(id, c.CurrentRecordID);
        TORQKeyPath back;
        t.PositionToKeyPath(sID, back, t.KeyPathToPosition(sID, path));
        t.RecordIdAtKeyPath(kNoSession, sID, id, back);
        EXPECT_EQ(id, c.CurrentRecordID);
    }
    t.SetRecNo(&c, 99);
    EXPECT_EQ(c.CurrentRecordID.PageNo, byS.back());
    c.ResetToBeginning();
    EXPECT_EQ(t.GetRecNo(&c), -1);
    // A position whose leaf digit is 0 names entry -1: refused, not read.
    const int64_t base = IndexOf(t, "BY_S").MaxEntriesPerPage() + 1;
    TORQKeyPath bad;
    t.PositionToKeyPath(sID, bad, base);
    TORQRecordID id;
    ExpectNative([&] { t.RecordIdAtKeyPath(kNoSession, sID, id, bad); }, 20068);
    // A record the index does not hold, and one that is gone.
    TORQRecordID loose;
    ASSERT_TRUE(t.RecordManager->InsertRecord(kNoSession, w.CurrentRecord, loose));
    TORQKeyPath path;
    ExpectNative([&] { t.LocateRecordInIndex(kNoSession, sID, path, loose); }, 20253,
                 Text("Cannot retrieve record for index", 20253));
    TORQRecordID gone = loose;
    ASSERT_TRUE(t.RecordManager->DeleteRecord(kNoSession, gone));
    EXPECT_FALSE(t.LocateRecordInIndex(kNoSession, sID, path, loose));

    // Keys 0..9 three times each: stand on the middle record of key 4, delete it
    // elsewhere, and step both ways from the vanished record.
    std::vector<int32_t> fours;
    for (int32_t s : byN)
        if (*rows[s].N == 4) fours.push_back(s);
    ASSERT_EQ(fours.size(), 3u);
    TTestCursor nav(t);
    nav.IndexDefs.Assign(t.IndexManager->IndexDefs);
    nav.SetIndexName("BY_N");
    ASSERT_TRUE(t.GotoRecord(&nav, TORQMemoryRecordManager::SlotID(fours[1])));
    Delete(t, w, fours[1]);
    const uint8_t* saved = nav.SavePosition();
    EXPECT_EQ(t.GetRecord(&nav, gmNext), grOK);
    EXPECT_EQ(*rows[nav.CurrentRecordID.PageNo].N, 5);
    nav.RestorePosition(saved);
    ASSERT_EQ(nav.CurrentRecordID.PageNo, fours[1]);
    nav.SetInt(0, 4);
    EXPECT_EQ(t.GetRecord(&nav, gmPrior), grOK);
    EXPECT_EQ(*rows[nav.CurrentRecordID.PageNo].N, 3);
    uint8_t* block = const_cast<uint8_t*>(saved);
    nav.FreePosition(block);
}

// Temporary indexes: made once per session and field lists, kept in step, rebuilt when
// stale (the busy flag cleared also when the rebuild fails), and dropped apart from the
// permanent ones.
TEST_F(MemIndex, TemporaryIndexes) {
    TORQIndexDefs defs;
    defs.Add()->Assign(*IndexOn("BY_N", "N"));
    TORQMemoryTableData& t = MakeRowTable(defs);
    TORQBaseSession session;
    session.SessionID = 3;
    TTestCursor w(t);
    w.Session = &session;
    std::map<int32_t, TRow> rows;
    for (int32_t i = 0; i < 40; ++i) {
        const TRow r{i % 7, std::string(1, static_cast<char>('A' + (i * 5) % 26))};
        rows[Insert(t, w, r)] = r;
    }
    const std::vector<std::string> fields{"S"}, orders{"DESC"}, cases{"CASE"};
    std::string name;
    const int32_t id = t.CreateTemporaryIndex(&w, fields, name, cases, orders);
    EXPECT_EQ(name.rfind("TEMPORARY_INDEX_{", 0), 0u) << name;
    const TORQIndexDef* def = static_cast<const TORQIndexDef*>(t.IndexManager->IndexDefs.FindByID(id));
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->Temporary, 255);
    EXPECT_EQ(def->OwnerSessionID, 3);
    EXPECT_EQ(def->GetColumn(0).Descending, 1);
    EXPECT_EQ(def->RecordStamp, t.RecordManager->ChangeStamp);
    // No constraint for a temporary index, and its pages are committed.
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 0);
    EXPECT_EQ(PrivatePages(t, 3), 0);
    // The same lists find it again in its session, not in another one.
    std::string again;
    EXPECT_EQ(t.CreateTemporaryIndex(&w, fields, again, cases, orders), id);
    EXPECT_EQ(again, name);
    EXPECT_TRUE(t.HasIndexForFields(&w, fields, cases, orders));
    TTestCursor other(t);
    EXPECT_FALSE(t.HasIndexForFields(&other, fields, cases, orders));
    EXPECT_TRUE(t.HasIndexForFields(&other, {"N"}, {"CASE"}, {"ASC"}));
    EXPECT_EQ(NativeCode([&] { t.CreateTemporaryIndex(&w, {"NOPE"}, again, cases, orders); }), 20043);
    EXPECT_EQ(t.IndexManager->IndexDefs.GetCount(), 2);
    EXPECT_EQ(PrivatePages(t, 3), 0);

    // Kept in step by record changes: its stamp follows the record manager's.
    Update(t, w, rows.begin()->first, {100, "ZZ"});
    rows.begin()->second = {100, "ZZ"};
    Delete(t, w, std::next(rows.begin())->first);
    rows.erase(std::next(rows.begin()));
    def = static_cast<const TORQIndexDef*>(t.IndexManager->IndexDefs.FindByID(id));
    EXPECT_EQ(def->RecordStamp, t.RecordManager->ChangeStamp);
    EXPECT_EQ(Walk(t, name, true), ModelOrder(rows, &TRow::S, true));

    // Stale (its stamp behind the records'): rebuilt for the session's cursor on rollback.
    t.IndexManager->IndexDefs.GetItem(1)->RecordStamp -= 5;
    IndexOf(t, name).EmptyIndex(3);
    t.CommitSessionPages(3, false);
    EXPECT_TRUE(Walk(t, name, true).empty());
    t.RollbackSession(3);
    EXPECT_EQ(t.IndexManager->IndexDefs.GetItem(1)->RecordStamp, t.RecordManager->ChangeStamp);
    t.CommitSessionPages(3, false);
    EXPECT_EQ(Walk(t, name, true), ModelOrder(rows, &TRow::S, true));
    bool rebuilt = true;
    t.IndexManager->RebuildStaleTemporaryIndexes(&w, rebuilt);
    EXPECT_FALSE(rebuilt);
    // A rebuild that fails still clears the busy flag.
    t.IndexManager->IndexDefs.GetItem(1)->RecordStamp -= 1;
    IndexOf(t, name).IndexDef->Columns[0].FieldName = "GONE";
    EXPECT_EQ(NativeCode([&] { t.IndexManager->RebuildStaleTemporaryIndexes(&w, rebuilt); }), 20043);
    EXPECT_EQ(t.IndexManager->Busy, 0);
    EXPECT_EQ(t.IndexManager->IndexDefs.FindByID(id), nullptr);
    EXPECT_EQ(t.IndexManager->FindOpenIndex(id), nullptr);

    // Dropping the temporary indexes keeps the permanent one.
    t.CreateTemporaryIndex(&w, fields, name, cases, orders);
    t.DropTemporaryIndexes(&w);
    ASSERT_EQ(t.IndexManager->IndexDefs.GetCount(), 1);
    EXPECT_EQ(t.IndexManager->IndexDefs.GetItem(0)->Name, "BY_N");
    w.Session = nullptr;
}

// In a transaction the index pages stay in the session's list until the database
// commits or rolls back; MEMORY reaches every table's page manager for both. A memory
// page is changed in place and the records are not transactional, so a rollback keeps
// the keys with the records (giving back the pages the splits took would leave the trees
// pointing at free pages).
TEST_F(MemIndex, TransactionsCommitAndRollBackIndexPages) {
    TORQIndexDefs defs;
    defs.Add()->Assign(*IndexOn("BY_S", "S", false, false, 450));
    TORQMemoryTableData& t = MakeRowTable(defs, 400);
    TORQMemoryTableData& u = [&]() -> TORQMemoryTableData& {
        TORQFieldDefs fields;
        AddField(fields, "S", aftVarChar, 400);
        TORQConstraintDefs none;
        TORQIndexDefs idx;
        idx.Add()->Assign(*IndexOn("US", "S", false, false, 450));
        return MakeTable(fields, none, "U", &idx);
    }();
    TORQBaseSession session;
    session.SessionID = 4;
    session.InTransaction = 1;
    TTestCursor w(t), v(u);
    w.Session = &session;
    v.Session = &session;
    std::map<int32_t, TRow> rows;
    for (int32_t i = 0; i < 40; ++i) {
        const TRow r{i, "K" + std::to_string(i)};
        rows[Insert(t, w, r)] = r;
        v.Clear();
        TORQVariant s;
        s.SetAsString("K" + std::to_string(i));
        v.SetFieldValue(s, 0, v.CurrentRecord, true);
        ASSERT_TRUE(u.InsertRecord(&v));
    }
    auto pk = IndexOn("PK", "N");
    pk->Primary = 1;
    t.AddIndex(*pk, &w);
    EXPECT_EQ(t.ConstraintManager->ConstraintDefs.GetCount(), 1);
    EXPECT_GT(PrivatePages(t, 4), 1);
    EXPECT_GT(PrivatePages(u, 4), 1);
    MemoryDatabase().Rollback(4);
    EXPECT_EQ(PrivatePages(t, 4), 0);
    EXPECT_EQ(PrivatePages(u, 4), 0);
    const std::vector<int32_t> byS = ModelOrder(rows, &TRow::S, false);
    EXPECT_EQ(Walk(t, "BY_S", true), byS);
    Validate(t, "BY_S", byS);
    Validate(t, "PK", ModelOrder(rows, &TRow::N, false));
    EXPECT_EQ(Walk(u, "US", true).size(), 40u);
    // The records can be changed and deleted through their keys.
    TTestCursor y(t);
    Update(t, y, byS.front(), {99, "ZZ"});
    Delete(t, y, byS.back());

    // Work committed is what every session then sees.
    TTestCursor x(t);
    x.Session = &session;
    t.EmptyTable(nullptr);
    std::vector<int32_t> slots;
    for (int32_t i = 0; i < 40; ++i) slots.push_back(Insert(t, x, {i, "K" + std::to_string(100 + i)}));
    EXPECT_GT(PrivatePages(t, 4), 1);
    MemoryDatabase().Commit(4, false);
    EXPECT_EQ(PrivatePages(t, 4), 0);
    EXPECT_EQ(Walk(t, "BY_S", true), slots);
    w.Session = v.Session = x.Session = nullptr;
}

// Every block a table took goes back when it is dropped, index pages included.
TEST_F(MemIndex, DroppingATableReturnsItsMemory) {
    const int64_t baseline = GlobalMemoryManager().UsedMemory();
    {
        TORQIndexDefs defs;
        defs.Add()->Assign(*IndexOn("BY_N", "N"));
        defs.Add()->Assign(*IndexOn("BY_S", "S", true, false, 450));
        TORQMemoryTableData& t = MakeRowTable(defs, 400);
        TTestCursor w(t);
        for (int32_t i = 0; i < 300; ++i) Insert(t, w, {i % 17, std::to_string(i)});
        std::string name;
        t.CreateTemporaryIndex(&w, {"N", "S"}, name, {"CASE", "CASE"}, {"DESC", "ASC"});
        t.DeleteIndex(t.IndexManager->IndexDefs.FindByName("BY_N")->ObjectID, &w);
        EXPECT_GT(GlobalMemoryManager().UsedMemory(), baseline);
        w.Close();
        t.DeleteTable(nullptr, false);
    }
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), baseline);
}

// Of every run of marked records with equal leading keys only the first in index order
// keeps its bit.
TEST_F(MemIndex, RemoveDuplicatesKeepsTheFirstOfEachRun) {
    TORQIndexDefs defs;
    TORQIndexDef* two = defs.Add();
    two->Assign(*IndexOn("BY_SN", "S"));
    two->SetColumnCount(2);
    two->GetColumn(1).FieldName = "N";
    TORQMemoryTableData& t = MakeRowTable(defs);
    TTestCursor w(t);
    const int32_t a2 = Insert(t, w, {2, "A"});
    const int32_t b1 = Insert(t, w, {1, "B"});
    const int32_t a1 = Insert(t, w, {1, "A"});
    const int32_t id = t.IndexManager->IndexDefs.GetItem(0)->ObjectID;
    TORQIndex& index = t.IndexManager->GetIndex(id);
    auto marked = [&](std::initializer_list<int32_t> Set, int32_t Columns) {
        TORQRecordBitmap bitmap(&t);
        bitmap.IndexOrder = 1;
        for (int32_t slot : Set) {
            TORQKeyPath path;
            EXPECT_TRUE(t.LocateRecordInIndex(kNoSession, id, path, TORQMemoryRecordManager::SlotID(slot)));
            bitmap.SetBitAtPath(id, path);
        }
        index.RemoveDuplicates(kNoSession, bitmap, Columns);
        std::vector<int32_t> kept;
        for (int32_t slot : {a1, a2, b1}) {
            TORQKeyPath path;
            t.LocateRecordInIndex(kNoSession, id, path, TORQMemoryRecordManager::SlotID(slot));
            if (bitmap.IsSetAtPath(id, path)) kept.push_back(slot);
        }
        return kept;
    };
    EXPECT_EQ(marked({a1, a2, b1}, 1), (std::vector<int32_t>{a1, b1}));
    EXPECT_EQ(marked({a1, a2, b1}, 2), (std::vector<int32_t>{a1, a2, b1}));
    // An unmarked record does not start a run: the next marked one does.
    EXPECT_EQ(marked({a2, b1}, 1), (std::vector<int32_t>{a2, b1}));
    EXPECT_EQ(marked({}, 1), (std::vector<int32_t>{}));
    // The active column count is back to the whole key afterwards.
    EXPECT_EQ(dynamic_cast<TORQBTreeRecordIndex&>(index).KeyRef().ActiveColumnCount, 2);
}

// A temporary index keeps its pages in the index manager's temporary page manager; an
// id without a definition cannot be opened.
TEST_F(MemIndex, TemporaryIndexPagesLiveApart) {
    TORQIndexDefs defs;
    defs.Add()->Assign(*IndexOn("BY_N", "N"));
    TORQMemoryTableData& t = MakeRowTable(defs);
    TTestCursor w(t);
    std::map<int32_t, TRow> rows;
    for (int32_t i = 0; i < 25; ++i) {
        const TRow r{i % 4, std::to_string(i % 9)};
        rows[Insert(t, w, r)] = r;
    }
    TORQMemoryPageManager temporary;
    TORQPageManager* const own = t.IndexManager->TemporaryPageManager;
    t.IndexManager->TemporaryPageManager = &temporary;
    const int32_t tablePages = t.PageManager->PageCount;
    bool created = false;
    const int32_t id = t.IndexManager->FindOrCreateTemporaryIndex(&w, {"S"}, {"ASC"}, {"CASE"}, created);
    EXPECT_TRUE(created);
    temporary.CommitSession(kNoSession);
    EXPECT_EQ(t.PageManager->PageCount, tablePages);
    EXPECT_EQ(temporary.PageCount, 1);
    const std::string name = t.IndexManager->IndexDefs.FindByID(id)->Name;
    EXPECT_EQ(Walk(t, name, true), ModelOrder(rows, &TRow::S, false));
    EXPECT_EQ(t.IndexManager->FindOrCreateTemporaryIndex(&w, {"S"}, {"ASC"}, {"CASE"}, created), id);
    EXPECT_FALSE(created);
    t.IndexManager->DropIndex(kNoSession, id);
    temporary.CommitSession(kNoSession);
    EXPECT_EQ(temporary.PageCount, 0);
    t.IndexManager->TemporaryPageManager = own;
    ExpectNative([&] { t.IndexManager->GetIndex(id); }, 20018, Text("Index not found", 20018));
}

}  // namespace

TEST_F(MemIndex, StrictBoundsOnAPrefixIndexFindEveryValueBeyondTheBound) {
    for (const int n : {100, 1000})
        for (const bool descending : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + (descending ? " descending" : " ascending"));
            TORQFieldDefs fields;
            prefixkeys::Fields(fields);
            TORQIndexDefs indexes;
            prefixkeys::Indexes(indexes, descending);
            TORQConstraintDefs none;
            TORQMemoryTableData& t =
                MakeTable(fields, none, "P" + std::to_string(n) + (descending ? "D" : "A"), &indexes);
            TTestCursor c(t);
            prefixkeys::Fill(t, c, n);
            const int failed = prefixkeys::CheckStrictBounds(t, c, n, descending);
            std::printf("MEMORY %d %s: %d of 17 cases wrong\n", n, descending ? "descending" : "ascending", failed);
        }
}
