// Record pages and the disk record manager on a scratch database file: the page layout and
// its limits, the stored bytes, record numbers over several pages, navigation while pages
// leave the table (freed, or taken by another table), the index rebuild after damage,
// session commit and rollback, injected write failures, and damaged pages and state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "DiskPageFixture.h"
#include "GoldenBytes.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskEngine.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::HookScope;
using golden::Bytes;
using golden::I32;
using golden::operator+;

namespace {

std::vector<int32_t> Cat(std::vector<int32_t> A, const std::vector<int32_t>& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

constexpr int32_t TableA = 7;
constexpr int32_t TableB = 8;
constexpr int32_t S1 = 1;
constexpr int32_t S2 = 2;

// The stored state of one table: what the table's internal files would keep.
struct SavedState {
    Bytes Counters = Bytes(8, 0);
    int32_t Root = -1;
};

class RecordPages : public ::testing::Test {
protected:
    RecordPages() {
        Fields = std::make_unique<TORQBaseFieldManager>(nullptr);
        TORQFieldDef* id = Fields->FieldDefs.Add();
        id->Name = "ID";
        id->SetDataType(aftInteger, 0);
        TORQFieldDef* payload = Fields->FieldDefs.Add();
        payload->Name = "PAYLOAD";
        // 94 bytes take 95 in the record: R = 1 + 4 + 95 = 100.
        payload->SetDataType(aftBytes, 94);
        Fields->RebuildLayout();
        Pm = Db.Open(false);
    }

    // A fresh table's manager: layout set, empty index committed.
    std::unique_ptr<TORQDiskRecordManager> NewTable(int32_t TableID) {
        auto m = Attach(TableID);
        m->ResetIndex();
        Pm->CommitSession(-2);
        return m;
    }
    std::unique_ptr<TORQDiskRecordManager> Attach(int32_t TableID) {
        auto m = std::make_unique<TORQDiskRecordManager>(*Pm, TableID, *Fields);
        const TORQFieldDefs& d = Fields->FieldDefs;
        m->SetRecordLayout(d.GetMemoryRecordSize(), d.GetRecordDataSize(), d.GetCount());
        return m;
    }
    SavedState Save(const TORQDiskRecordManager& M) const {
        SavedState s;
        int32_t at = 0;
        M.SaveState(s.Counters.data(), at);
        s.Root = M.PageIndex().RootPageNo();
        return s;
    }
    void Restore(TORQDiskRecordManager& M, const SavedState& S) const {
        int32_t at = 0;
        M.LoadState(S.Counters.data(), at, 8);
        M.PageIndex().SetRootPageNo(S.Root);
    }
    // Closes and reopens the file; the manager comes back from its saved state.
    std::unique_ptr<TORQDiskRecordManager> Reopen(std::unique_ptr<TORQDiskRecordManager> M, int32_t TableID) {
        const SavedState s = Save(*M);
        M.reset();
        Pm->CloseDatabaseFile();
        Pm = Db.Open(false);
        auto m = Attach(TableID);
        Restore(*m, s);
        return m;
    }

    Bytes Record(int32_t Key) const {
        Bytes r(static_cast<size_t>(Fields->FieldDefs.GetMemoryRecordSize()), 0);
        std::memcpy(r.data() + Fields->FieldDefs.GetItem(0)->MemoryOffset, &Key, 4);
        std::memset(r.data() + Fields->FieldDefs.GetItem(1)->MemoryOffset, Key & 0xFF, 95);
        return r;
    }
    int32_t KeyOf(const Bytes& R) const {
        int32_t k = 0;
        std::memcpy(&k, R.data() + Fields->FieldDefs.GetItem(0)->MemoryOffset, 4);
        return k;
    }
    TORQRecordID Insert(TORQDiskRecordManager& M, int32_t Key, int32_t Session = S1, bool Commit = true) {
        const Bytes r = Record(Key);
        TORQRecordID id;
        EXPECT_TRUE(M.InsertRecord(Session, r.data(), id));
        if (Commit) Pm->CommitSession(Session);
        return id;
    }
    // One step of navigation; the key read, or -1 with the result in Result.
    int32_t Step(TORQDiskRecordManager& M, TORQRecordID& At, uint8_t Mode, uint8_t& Result, bool Begin = false,
                 bool End = false, int32_t Session = S1) {
        Bytes buffer(static_cast<size_t>(Fields->FieldDefs.GetMemoryRecordSize()), 0);
        TORQGetRecordRequest q;
        q.Mode = Mode;
        q.RecordID = At;
        q.RecordBuffer = buffer.data();
        q.AtBeginning = Begin ? 1 : 0;
        q.AtEnd = End ? 1 : 0;
        M.ReadRecord(Session, q);
        Result = q.Result;
        if (q.Result != grOK) return -1;
        EXPECT_EQ(q.AtBeginning, 0);
        EXPECT_EQ(q.AtEnd, 0);
        At = q.RecordID;
        return KeyOf(buffer);
    }
    std::vector<int32_t> Walk(TORQDiskRecordManager& M, bool Forward = true, int32_t Session = S1) {
        std::vector<int32_t> keys;
        TORQRecordID at;
        uint8_t result = grOK;
        int32_t k = Step(M, at, Forward ? gmNext : gmPrior, result, Forward, !Forward, Session);
        for (int guard = 0; k != -1 && guard < 100000; ++guard) {
            keys.push_back(k);
            k = Step(M, at, Forward ? gmNext : gmPrior, result, false, false, Session);
        }
        EXPECT_EQ(result, Forward ? grEOF : grBOF);
        return keys;
    }
    static std::vector<int32_t> Range(int32_t From, int32_t To) {
        std::vector<int32_t> v;
        for (int32_t k = From; k <= To; ++k) v.push_back(k);
        return v;
    }

    diskpages::Database Db;
    std::unique_ptr<TORQBaseFieldManager> Fields;
    std::unique_ptr<TORQDiskPageManager> Pm;
};

// ---------------------------------------------------------------------------------
// Layout

TEST(RecordPageLayout, RecordsPerPageFollowTheSlotFormula) {
    struct Case {
        int32_t DataSize, RecordSize, Expected;
    };
    // trunc((U - 1) / (R + 0.125)); U = 4056 is a 4096-byte page.
    const Case cases[] = {
        {4056, 100, 40}, {4056, 1, 3604}, {4056, 4054, 1}, {4056, 4055, 0}, {4056, 8000, 0},
        {65495, 1, 58216}, {41, 39, 1}, {41, 40, 0},   // smallest header-plus-one page
        {4056, 0, 0},                                   // no record at all
    };
    for (const Case& c : cases)
        EXPECT_EQ(RecordsPerRecordPage(c.DataSize, c.RecordSize), c.Expected) << c.DataSize << "/" << c.RecordSize;
}

TEST_F(RecordPages, PageViewChecksItsLayout) {
    TORQPage* page = Pm->AddNewPage(S1, ptTableRecord);
    EXPECT_EQ(TORQSmallRecordPage(page, 100, 40).BitmapSize(), 5);
    ExpectNative([&] { TORQSmallRecordPage(page, 100, 41); }, 20140, "Invalid number of records on page - Native error: 20140");
    ExpectNative([&] { TORQSmallRecordPage(page, 100, 0); }, 20140);
    ExpectNative([&] { TORQSmallRecordPage(page, 0, 40); }, 20140);
    Pm->ReleasePage(page);
    Pm->RollbackSession(S1);
}

TEST_F(RecordPages, LayoutsThatCannotHoldTheRecordsAreRefused) {
    TORQDiskRecordManager m(*Pm, TableA, *Fields);
    ExpectNative([&] { m.SetRecordLayout(4100, 4055, 2); }, 20174,
                 "Cannot create table. Record is too large to fit in current database page. Please increase page "
                 "size of database file or decrease record size - Native error: 20174");
    m.SetRecordLayout(4100, 4054, 2);
    EXPECT_EQ(m.RecordsPerPage(), 1);
    ExpectNative([&] { m.SetRecordLayout(10, 10, 0); }, 20142,
                 "Error creating table - no fields were specified - Native error: 20142");
    // A layout the table's fields do not have, or none yet: refused before any page changes.
    TORQDiskRecordManager unset(*Pm, TableA, *Fields);
    const Bytes r = Record(1);
    TORQRecordID id;
    ExpectNative([&] { unset.InsertRecord(S1, r.data(), id); }, 31000);
    TORQDiskRecordManager narrow(*Pm, TableA, *Fields);
    narrow.SetRecordLayout(Fields->FieldDefs.GetMemoryRecordSize(), 99, 2);
    narrow.ResetIndex();
    ExpectNative([&] { narrow.InsertRecord(S1, r.data(), id); }, 31001);
    EXPECT_EQ(narrow.RecordCount, 0);
    Pm->RollbackSession(-2);
}


TEST_F(RecordPages, StoredPageAndStateFollowTheLayout) {
    ASSERT_EQ(Fields->FieldDefs.GetRecordDataSize(), 100);
    auto m = NewTable(TableA);
    EXPECT_EQ(m->RecordsPerPage(), 40);
    const TORQRecordID a = Insert(*m, 0x11);
    const TORQRecordID b = Insert(*m, 0x22);
    const TORQRecordID c = Insert(*m, 0x33);
    EXPECT_EQ(b, (TORQRecordID{a.PageNo, 1}));
    EXPECT_EQ(c, (TORQRecordID{a.PageNo, 2}));
    TORQRecordID gone = b;
    EXPECT_TRUE(m->DeleteRecord(S1, gone));
    Pm->CommitSession(S1);

    const Bytes page = Db.PageBytes(a.PageNo);
    ASSERT_EQ(page.size(), 4096u);
    EXPECT_EQ(Bytes(page.begin() + 8, page.begin() + 10), (Bytes{10, 0}));
    EXPECT_EQ(Bytes(page.begin() + 22, page.begin() + 26), I32(TableA));
    auto slot = [](int32_t Key) { return Bytes{0} + I32(Key) + Bytes(95, static_cast<uint8_t>(Key)); };
    // Bitmap 0b101 in 5 bytes, three slots (the deleted one keeps its bytes), then zeros.
    const Bytes data = Bytes{5, 0, 0, 0, 0} + slot(0x11) + slot(0x22) + slot(0x33) + Bytes(4056 - 305, 0);
    EXPECT_EQ(Bytes(page.begin() + 40, page.end()), data);

    Bytes state(8, 0xEE);
    int32_t at = 0;
    m->SaveState(state.data(), at);
    EXPECT_EQ(at, 8);
    EXPECT_EQ(state, I32(4) + I32(2));  // four changes, two records
    TORQMemoryStream root;
    m->SaveIndexRoot(root);
    Bytes rootBytes(4);
    root.Seek(0, soBeginning);
    root.ReadBuffer(rootBytes.data(), 4);
    EXPECT_EQ(rootBytes, I32(m->PageIndex().RootPageNo()));
    TORQMemoryStream other;
    other.WriteBuffer(I32(0x01020304).data(), 4);
    other.Seek(0, soBeginning);
    m->LoadIndexRoot(other);
    EXPECT_EQ(m->PageIndex().RootPageNo(), 0x01020304);
}

// ---------------------------------------------------------------------------------
// Records over several pages

TEST_F(RecordPages, RecordNumbersRunInPageAndSlotOrder) {
    auto m = NewTable(TableA);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 100; ++k) ids.push_back(Insert(*m, k, S1, false));
    Pm->CommitSession(S1);
    // 40 + 40 + 20 records on three pages, numbered by page then slot.
    std::map<int32_t, int> perPage;
    for (const TORQRecordID& id : ids) ++perPage[id.PageNo];
    ASSERT_EQ(perPage.size(), 3u);
    EXPECT_EQ(perPage.begin()->second, 40);
    EXPECT_EQ(perPage.rbegin()->second, 20);
    // Holes in the middle page and at the front of the first.
    for (int32_t k : {1, 2, 45, 46, 47, 60}) {
        TORQRecordID id = ids[static_cast<size_t>(k - 1)];
        ASSERT_TRUE(m->DeleteRecord(S1, id));
    }
    Pm->CommitSession(S1);
    std::vector<TORQRecordID> live;
    for (int32_t k = 1; k <= 100; ++k)
        if (k != 1 && k != 2 && k != 45 && k != 46 && k != 47 && k != 60) live.push_back(ids[static_cast<size_t>(k - 1)]);
    std::sort(live.begin(), live.end(), [](const TORQRecordID& x, const TORQRecordID& y) { return CompareRecordIDs(x, y) < 0; });
    ASSERT_EQ(m->RecordCount, 94);
    for (size_t n = 0; n < live.size(); ++n) {
        TORQRecordID id;
        m->GetRecordIDByRecNo(S1, static_cast<int64_t>(n) + 1, id);
        EXPECT_EQ(id, live[n]) << n;
        int64_t recNo = 0;
        m->GetRecNoByRecordID(S1, live[n], recNo);
        EXPECT_EQ(recNo, static_cast<int64_t>(n) + 1);
    }
    TORQRecordID id;
    ExpectNative([&] { m->GetRecordIDByRecNo(S1, 95, id); }, 20113);
    ExpectNative([&] { m->GetRecordIDByRecNo(S1, 0, id); }, 20113);
    EXPECT_EQ(m->EstimateRecordsBefore(S1, live[0]), 47);
    EXPECT_EQ(m->EstimateRecordsBefore(S1, live.back()), 47);
    m->CheckRecordCount(S1);
    EXPECT_EQ(Walk(*m).size(), 94u);
}

TEST_F(RecordPages, EmptiedPageIsFreedAndLeavesTheIndex) {
    auto m = NewTable(TableA);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 50; ++k) ids.push_back(Insert(*m, k, S1, false));
    Pm->CommitSession(S1);
    const int32_t first = ids[0].PageNo;
    for (int32_t k = 0; k < 40; ++k) ASSERT_TRUE(m->DeleteRecord(S1, ids[static_cast<size_t>(k)]));
    Pm->CommitSession(S1);
    // Freed pages carry the freed stamp on disk and the index no longer lists them.
    EXPECT_EQ(diskpages::LE32(Db.PageBytes(first), 4), TORQDiskPageManager::InvalidStamp);
    int32_t p = -1;
    ASSERT_TRUE(m->PageIndex().FirstPage(S1, p));
    EXPECT_EQ(p, ids[40].PageNo);
    EXPECT_EQ(Walk(*m), Range(41, 50));
    m->CheckRecordCount(S1);
    // A deleted record, an unused slot and a slot past the page's last are no records.
    ASSERT_TRUE(m->DeleteRecord(S1, ids[45]));
    for (TORQRecordID bad : {ids[45], TORQRecordID{ids[40].PageNo, 39}, TORQRecordID{ids[40].PageNo, 60000}}) {
        TORQRecordID probe = bad;
        EXPECT_FALSE(m->DeleteRecord(S1, probe));
        EXPECT_FALSE(m->UpdateRecord(S1, Record(1).data(), bad));
        uint8_t result = 0;
        EXPECT_EQ(Step(*m, probe, gmCurrent, result), -1);
        EXPECT_EQ(result, grError);
    }
    Pm->CommitSession(S1);
    EXPECT_EQ(m->RecordCount, 9);
    m->CheckRecordCount(S1);
}

// ---------------------------------------------------------------------------------
// Navigation while pages leave the table

// Three pages of table A (keys 1-40, 41-80, 81-100); cursors stand on the middle page.
class PageLeaves : public RecordPages {
protected:
    void SetUp() override {
        A = NewTable(TableA);
        for (int32_t k = 1; k <= 100; ++k) Ids.push_back(Insert(*A, k, S1, false));
        Pm->CommitSession(S1);
        Middle = Ids[50].PageNo;
        ASSERT_EQ(Ids[40].PageNo, Middle);
        ASSERT_EQ(Ids[79].PageNo, Middle);
    }
    // Another session deletes the middle page's records and commits: the page is freed.
    void EmptyMiddle() {
        for (int32_t k = 41; k <= 80; ++k) ASSERT_TRUE(A->DeleteRecord(S2, Ids[static_cast<size_t>(k - 1)]));
        Pm->CommitSession(S2);
    }
    TORQRecordID IdOf(int32_t Key) const { return Ids[static_cast<size_t>(Key - 1)]; }
    std::unique_ptr<TORQDiskRecordManager> A;
    std::vector<TORQRecordID> Ids;
    int32_t Middle = -1;
};

enum class Departure { Freed, TakenForRecords, TakenForIndex };
const char* const DepartureNames[] = {"Freed", "TakenForRecords", "TakenForIndex"};
void PrintTo(Departure D, std::ostream* Out) { *Out << DepartureNames[static_cast<int>(D)]; }

class PageDeparts : public PageLeaves, public ::testing::WithParamInterface<Departure> {};

TEST_P(PageDeparts, StepsContinueAtTheNeighbouringPages) {
    std::unique_ptr<TORQDiskRecordManager> b;
    if (GetParam() == Departure::TakenForRecords) b = NewTable(TableB);
    EmptyMiddle();
    // The freed number is handed out again to the next page anyone allocates.
    if (GetParam() == Departure::TakenForRecords) {
        ASSERT_EQ(Insert(*b, 1000).PageNo, Middle);
    }
    if (GetParam() == Departure::TakenForIndex) {
        b = NewTable(TableB);
        ASSERT_EQ(b->PageIndex().RootPageNo(), Middle);
    }
    uint8_t result = 0;
    for (int32_t k : {41, 60, 80}) {
        SCOPED_TRACE(k);
        TORQRecordID at = IdOf(k);
        EXPECT_EQ(Step(*A, at, gmNext, result), 81);
        at = IdOf(k);
        EXPECT_EQ(Step(*A, at, gmPrior, result), 40);
        at = IdOf(k);
        EXPECT_EQ(Step(*A, at, gmCurrent, result), -1);
        EXPECT_EQ(result, grError);
        // Nor may an old id reach into the page's new owner.
        const auto [code, message] = Raised([&] {
            if (!A->UpdateRecord(S1, Record(1).data(), IdOf(k))) RaiseNative(1, "refused");
            TORQRecordID id = IdOf(k);
            if (!A->DeleteRecord(S1, id)) RaiseNative(1, "refused");
        });
        EXPECT_EQ(code, GetParam() == Departure::TakenForIndex ? 20153 : 1) << message;
        int64_t recNo = 0;
        const auto [numberCode, numberMessage] = Raised([&] { A->GetRecNoByRecordID(S1, IdOf(k), recNo); });
        EXPECT_EQ(numberCode, GetParam() == Departure::TakenForIndex ? 20153 : 20146) << numberMessage;
    }
    Pm->CommitSession(S1);
    EXPECT_EQ(Walk(*A), Cat(Range(1, 40), Range(81, 100)));
    A->CheckRecordCount(S1);
    if (GetParam() == Departure::TakenForRecords) {
        EXPECT_EQ(Walk(*b), std::vector<int32_t>{1000});
        b->CheckRecordCount(S1);
    }
}

INSTANTIATE_TEST_SUITE_P(Departures, PageDeparts,
                         ::testing::Values(Departure::Freed, Departure::TakenForRecords, Departure::TakenForIndex),
                         [](const ::testing::TestParamInfo<Departure>& i) {
                             return std::string(DepartureNames[static_cast<int>(i.param)]);
                         });

TEST_F(PageLeaves, EdgesOfTheTableEndTheSteps) {
    EmptyMiddle();
    uint8_t result = 0;
    // From the last page's last record and the first's first: end and beginning.
    TORQRecordID at = Ids[99];
    EXPECT_EQ(Step(*A, at, gmNext, result), -1);
    EXPECT_EQ(result, grEOF);
    at = Ids[0];
    EXPECT_EQ(Step(*A, at, gmPrior, result), -1);
    EXPECT_EQ(result, grBOF);
    // Positions no record page can have: past the file's end, before page 1.
    at = TORQRecordID{Ids[99].PageNo + 100000, 0};
    EXPECT_EQ(Step(*A, at, gmPrior, result), 100);
    at = TORQRecordID{Ids[99].PageNo + 100000, 0};
    EXPECT_EQ(Step(*A, at, gmNext, result), -1);
    EXPECT_EQ(result, grEOF);
    at = TORQRecordID{0, 0};
    EXPECT_EQ(Step(*A, at, gmNext, result), 1);
    at = TORQRecordID{-5, 3};
    EXPECT_EQ(Step(*A, at, gmCurrent, result), -1);
    EXPECT_EQ(result, grError);
    // The at-beginning and at-end flags.
    at = {};
    EXPECT_EQ(Step(*A, at, gmPrior, result, true), -1);
    EXPECT_EQ(result, grBOF);
    EXPECT_EQ(Step(*A, at, gmCurrent, result, true), -1);
    EXPECT_EQ(result, grError);
    EXPECT_EQ(Step(*A, at, gmNext, result, false, true), -1);
    EXPECT_EQ(result, grEOF);
    EXPECT_EQ(Step(*A, at, gmPrior, result, false, true), 100);
    EXPECT_EQ(Walk(*A, false), [] {
        std::vector<int32_t> v;
        for (int32_t k = 100; k >= 81; --k) v.push_back(k);
        for (int32_t k = 40; k >= 1; --k) v.push_back(k);
        return v;
    }());
}

TEST_F(PageLeaves, ScanWhileAnotherSessionDeletesVisitsEveryRowOnce) {
    // The scanning cursor reads one record, then the other session removes whole pages
    // around it, the current one included.
    uint8_t result = 0;
    TORQRecordID at;
    std::vector<int32_t> seen{Step(*A, at, gmNext, result, true)};
    for (int32_t k = 2; k <= 45; ++k) seen.push_back(Step(*A, at, gmNext, result));
    ASSERT_EQ(seen.back(), 45);
    EmptyMiddle();
    for (int32_t k = Step(*A, at, gmNext, result); k != -1; k = Step(*A, at, gmNext, result)) seen.push_back(k);
    EXPECT_EQ(seen, Cat(Range(1, 45), Range(81, 100)));
}

TEST_F(PageLeaves, ScanGoesOnPastAPageItsOwnSessionEmptied) {
    // Deleted and not yet committed: the page is still the session's, empty and unlisted.
    uint8_t result = 0;
    TORQRecordID at = IdOf(60);
    for (int32_t k = 41; k <= 80; ++k) ASSERT_TRUE(A->DeleteRecord(S1, Ids[static_cast<size_t>(k - 1)]));
    EXPECT_EQ(Step(*A, at, gmNext, result), 81);
    at = IdOf(60);
    EXPECT_EQ(Step(*A, at, gmPrior, result), 40);
    EXPECT_EQ(Walk(*A), Cat(Range(1, 40), Range(81, 100)));
    Pm->CommitSession(S1);
    A->CheckRecordCount(S1);
}

// ---------------------------------------------------------------------------------
// Index rebuild

TEST_F(RecordPages, RebuildAfterDamagedIndexRootFindsTheTablesPages) {
    auto a = NewTable(TableA);
    auto b = NewTable(TableB);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 130; ++k) {
        ids.push_back(Insert(*a, k, S1, false));
        if (k % 10 == 0) Insert(*b, 5000 + k, S1, false);
    }
    Pm->CommitSession(S1);
    // A page of A freed: not to be found again.
    for (int32_t k = 41; k <= 80; ++k) ASSERT_TRUE(a->DeleteRecord(S1, ids[static_cast<size_t>(k - 1)]));
    Pm->CommitSession(S1);
    const int32_t root = a->PageIndex().RootPageNo();
    a = Reopen(std::move(a), TableA);
    b.reset();
    Pm->CloseDatabaseFile();
    // The root's data area turned to noise.
    Bytes noise(4056);
    std::mt19937 rng(5);
    for (uint8_t& x : noise) x = static_cast<uint8_t>(rng());
    disktest::Patch(Db.Name, diskpages::Page0 + int64_t{root} * 4096 + 40, noise);
    Pm = Db.Open(false);
    const SavedState s = Save(*a);
    a = Attach(TableA);
    Restore(*a, s);

    const auto [code, message] = Raised([&] { a->CheckRecordCount(S1); });
    EXPECT_NE(code, 0) << message;
    a->RebuildPageIndex(S1);
    Pm->CommitSession(S1);
    EXPECT_EQ(a->RecordCount, 90);
    a->CheckRecordCount(S1);
    EXPECT_EQ(Walk(*a), Cat(Range(1, 40), Range(81, 130)));
    // The rebuilt index serves inserts and numbering again, and survives a reopen.
    Insert(*a, 131);
    a = Reopen(std::move(a), TableA);
    a->CheckRecordCount(S1);
    int64_t recNo = 0;
    a->GetRecNoByRecordID(S1, ids[80], recNo);
    EXPECT_EQ(recNo, 41);
    EXPECT_EQ(Walk(*a).size(), 91u);
}

TEST_F(RecordPages, IndexPageHeaderDescribingMoreThanThePageIsRefused) {
    // Entry count and key size of the index root (data offsets 14 and 12) as a damaged
    // file may hold them: the page is refused before any entry is read.
    struct Case {
        int32_t Offset;
        Bytes Value;
    };
    // 674 six-byte entries end at 18 + 4044 = 4062, six bytes past the data area.
    int32_t table = 100;
    for (const Case& c : {Case{14, Bytes{0xFF, 0xFF}}, Case{14, Bytes{0xA2, 0x02}}, Case{12, Bytes{0x08, 0x00}}}) {
        SCOPED_TRACE(c.Offset);
        ++table;
        auto m = NewTable(table);
        for (int32_t k = 1; k <= 45; ++k) Insert(*m, k, S1, false);
        Pm->CommitSession(S1);
        const SavedState s = Save(*m);
        m.reset();
        Pm->CloseDatabaseFile();
        disktest::Patch(Db.Name, diskpages::Page0 + int64_t{s.Root} * 4096 + 40 + c.Offset, c.Value);
        Pm = Db.Open(false);
        m = Attach(table);
        Restore(*m, s);
        ExpectNative([&] { m->CheckRecordCount(S1); }, 31004);
        ExpectNative([&] { Walk(*m); }, 31004);
        ExpectNative([&] { Insert(*m, 46, S1, false); }, 31004);
        Pm->RollbackSession(S1);
        m->RebuildPageIndex(S1);
        Pm->CommitSession(S1);
        EXPECT_EQ(Walk(*m), Range(1, 45));
    }
}

// 512-byte pages: four records a page and at most 75 index entries a leaf, so 300 record
// pages need an inner root over at least four leaves, which the tests then damage.
class SmallPageIndex : public RecordPages {
protected:
    void SetUp() override {
        Pm->CloseDatabaseFile();
        Pm = Small.Open(false);
        auto m = NewTable(TableA);
        ASSERT_EQ(m->RecordsPerPage(), 4);
        for (int32_t k = 1; k <= 1200; ++k) Insert(*m, k, S1, false);
        Pm->CommitSession(S1);
        State = Save(*m);
        m.reset();
        Pm->CloseDatabaseFile();
        // Root data: IsRoot, IsLeaf, ..., entry count at 14, entries of key i32 + child i32 from 18.
        const Bytes root = Small.PageBytes(State.Root);
        ASSERT_EQ(root.at(41), 0) << "root is a leaf";
        ASSERT_GE(root.at(54) | root.at(55) << 8, 3);
        for (int e = 0; e < 3; ++e) {
            Leaf[e] = diskpages::LE32(root, 40 + 18 + 8 * e + 4);
            LeafFirstPage[e] = diskpages::LE32(root, 40 + 18 + 8 * e);
        }
        ASSERT_EQ(Small.PageBytes(Leaf[1]).at(41), 1) << "two levels expected";
    }
    void TearDown() override {
        M.reset();
        Pm->CloseDatabaseFile();
        Pm = Db.Open(false);
    }
    void PatchData(int32_t PageNo, int32_t Offset, const Bytes& Value) {
        disktest::Patch(Small.Name, diskpages::Page0 + int64_t{PageNo} * 512 + 40 + Offset, Value);
    }
    void Open() {
        Pm = Small.Open(false);
        M = Attach(TableA);
        Restore(*M, State);
    }
    // After the damage: the rebuild gives the whole table back.
    void ExpectRebuilt() {
        Pm->RollbackSession(S1);
        M->RebuildPageIndex(S1);
        Pm->CommitSession(S1);
        EXPECT_EQ(Walk(*M), Range(1, 1200));
        M->CheckRecordCount(S1);
    }

    diskpages::Database Small{TORQPassword{}, 8, 512};
    SavedState State;
    int32_t Leaf[3] = {};
    int32_t LeafFirstPage[3] = {};
    std::unique_ptr<TORQDiskRecordManager> M;
};

TEST_F(SmallPageIndex, LeafChainLeadingBackIsRefusedByTheWalks) {
    // The second leaf's links turned back: next to the first leaf, prior to the third.
    PatchData(Leaf[1], 2, I32(Leaf[2]));
    PatchData(Leaf[1], 6, I32(Leaf[0]));
    Open();
    // Each walk would meet pages a second time and count their records twice.
    ExpectNative([&] { M->CheckRecordCount(S1); }, 31005);
    TORQRecordID id;
    ExpectNative([&] { M->GetRecordIDByRecNo(S1, 1200, id); }, 31005);
    int64_t recNo = 0;
    ExpectNative([&] { M->GetRecNoByRecordID(S1, TORQRecordID{LeafFirstPage[2], 0}, recNo); }, 31005);
    ExpectNative([&] { M->EmptyRecords(S1); }, 31005);
    ExpectRebuilt();
}

TEST_F(SmallPageIndex, ChildLinkLeadingBackUpIsRefused) {
    // The root's second child is the root itself: freeing the tree would descend for ever.
    PatchData(State.Root, 18 + 8 + 4, I32(State.Root));
    Open();
    // Emptying the index frees the tree without a key path (as the BLOB page index does too).
    ExpectNative([&] { M->PageIndex().EmptyIndex(S1); }, 31006);
    // Dropping the records walks the pages first, and that path is bounded by its depth.
    ExpectNative([&] { M->DropRecords(S1); }, 20058);
    ExpectRebuilt();
}

// ---------------------------------------------------------------------------------
// Sessions

TEST_F(RecordPages, CommitKeepsAndRollbackUndoesEveryChange) {
    auto m = NewTable(TableA);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 45; ++k) ids.push_back(Insert(*m, k, S1, false));
    Pm->CommitSession(S1);
    const SavedState before = Save(*m);

    // A batch of every kind of change, rolled back: the table is as committed.
    for (int32_t k = 46; k <= 130; ++k) Insert(*m, k, S1, false);
    for (int32_t k = 1; k <= 40; ++k) ASSERT_TRUE(m->DeleteRecord(S1, ids[static_cast<size_t>(k - 1)]));
    ASSERT_TRUE(m->UpdateRecord(S1, Record(-42).data(), ids[41]));
    EXPECT_EQ(m->RecordCount, 90);
    Pm->RollbackSession(S1);
    Restore(*m, before);
    m->CheckRecordCount(S1);
    EXPECT_EQ(Walk(*m), Range(1, 45));

    // The same batch committed, then seen by another session and after a reopen.
    for (int32_t k = 46; k <= 130; ++k) Insert(*m, k, S1, false);
    for (int32_t k = 1; k <= 40; ++k) ASSERT_TRUE(m->DeleteRecord(S1, ids[static_cast<size_t>(k - 1)]));
    ASSERT_TRUE(m->UpdateRecord(S1, Record(-42).data(), ids[41]));
    Pm->CommitSession(S1);
    std::vector<int32_t> expected = Range(41, 130);
    expected[1] = -42;
    EXPECT_EQ(Walk(*m, true, S2), expected);
    m = Reopen(std::move(m), TableA);
    m->CheckRecordCount(S1);
    EXPECT_EQ(Walk(*m), expected);
}

TEST_F(RecordPages, EmptyAndDropReleaseEveryPageAndMoveTheStamp) {
    auto m = NewTable(TableA);
    for (int32_t k = 1; k <= 90; ++k) Insert(*m, k, S1, false);
    Pm->CommitSession(S1);
    const int32_t stamp = m->ChangeStamp;
    std::vector<int32_t> pages;
    int32_t p = -1;
    for (bool more = m->PageIndex().FirstPage(S1, p); more; more = m->PageIndex().NextPage(S1, p, p)) pages.push_back(p);
    ASSERT_EQ(pages.size(), 3u);
    m->EmptyRecords(S1);
    Pm->CommitSession(S1);
    EXPECT_EQ(m->RecordCount, 0);
    // Kept copies of the stamp must see the table changed.
    EXPECT_NE(m->ChangeStamp, stamp);
    EXPECT_NE(m->ChangeStamp, 0);
    for (int32_t page : pages) EXPECT_EQ(diskpages::LE32(Db.PageBytes(page), 4), TORQDiskPageManager::InvalidStamp);
    EXPECT_TRUE(Walk(*m).empty());
    m->CheckRecordCount(S1);
    EXPECT_EQ(Insert(*m, 7).SlotNo, 0);
    EXPECT_EQ(Walk(*m), std::vector<int32_t>{7});
    const int32_t root = m->PageIndex().RootPageNo();
    m->DropRecords(S1);
    Pm->CommitSession(S1);
    EXPECT_EQ(m->PageIndex().RootPageNo(), -1);
    EXPECT_EQ(diskpages::LE32(Db.PageBytes(root), 4), TORQDiskPageManager::InvalidStamp);
}

// ---------------------------------------------------------------------------------
// Failures

TEST_F(RecordPages, FailedWriteDuringInsertPropagatesAndLeavesCountersAsCommitted) {
    auto m = NewTable(TableA);
    for (int32_t k = 1; k <= 40; ++k) Insert(*m, k, S1, false);
    Pm->CommitSession(S1);
    // The 41st record needs a new page: from each write of its allocation on, the disk
    // fails (a single failed write is retried by the file layer).
    int32_t failures = 0;
    for (int32_t n = 1; n <= 20; ++n) {
        const SavedState before = Save(*m);
        int32_t writes = 0;
        bool threw = false;
        {
            HookScope hook([&](TORQFileCall call, const std::string&) {
                return call == TORQFileCall::Write && ++writes >= n ? EIO : 0;
            });
            const Bytes r = Record(41);
            TORQRecordID id;
            try {
                m->InsertRecord(S1, r.data(), id);
            } catch (const EORQException&) {
                threw = true;
            }
        }
        if (!threw) {
            Pm->RollbackSession(S1);
            Restore(*m, before);
            break;
        }
        ++failures;
        EXPECT_EQ(m->RecordCount, 40);
        EXPECT_EQ(Save(*m).Counters, before.Counters);
        Pm->RollbackSession(S1);
        m->CheckRecordCount(S1);
    }
    EXPECT_GT(failures, 0);
    Insert(*m, 41);
    m = Reopen(std::move(m), TableA);
    m->CheckRecordCount(S1);
    EXPECT_EQ(Walk(*m), Range(1, 41));
}

TEST_F(RecordPages, DamagedStateIsRefusedWithoutChange) {
    auto m = NewTable(TableA);
    Insert(*m, 1);
    const Bytes saved = Save(*m).Counters;
    struct Case {
        Bytes State;
        int32_t Position, Size;
    };
    for (const Case& c : {Case{I32(5) + I32(-1), 0, 8}, Case{I32(5) + I32(3), 1, 8}, Case{I32(5), 0, 4},
                          Case{I32(5) + I32(3), -1, 8}}) {
        int32_t at = c.Position;
        Bytes state = c.State;
        state.resize(8);
        ExpectNative([&] { m->LoadState(state.data(), at, c.Size); }, 20164, "Invalid table header data - Native error: 20164");
        EXPECT_EQ(at, c.Position);
        EXPECT_EQ(Save(*m).Counters, saved);
    }
    Bytes state = Bytes{0xAA} + I32(9) + I32(6);
    int32_t at = 1;
    m->LoadState(state.data(), at, 9);
    EXPECT_EQ(at, 9);
    EXPECT_EQ(m->ChangeStamp, 9);
    EXPECT_EQ(m->RecordCount, 6);
}

// Header fields of a record page damaged on disk: the page drops out of the table, and
// reads and writes through it fail cleanly or find nothing.
struct HeaderDamage {
    const char* Name;
    int32_t Offset;
    Bytes Value;
    int32_t UpdateCode;  // 1: refused as no record
};

void PrintTo(const HeaderDamage& D, std::ostream* Out) { *Out << D.Name; }

class DamagedHeader : public RecordPages, public ::testing::WithParamInterface<HeaderDamage> {};

TEST_P(DamagedHeader, PageDropsOutOfTheTable) {
    const HeaderDamage& c = GetParam();
    auto m = NewTable(TableA);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 50; ++k) ids.push_back(Insert(*m, k, S1, false));
    Pm->CommitSession(S1);
    const SavedState s = Save(*m);
    m.reset();
    Pm->CloseDatabaseFile();
    disktest::Patch(Db.Name, diskpages::Page0 + int64_t{ids[0].PageNo} * 4096 + c.Offset, c.Value);
    Pm = Db.Open(false);
    m = Attach(TableA);
    Restore(*m, s);

    uint8_t result = 0;
    TORQRecordID at = ids[3];
    EXPECT_EQ(Step(*m, at, gmCurrent, result), -1);
    at = ids[3];
    EXPECT_EQ(Step(*m, at, gmNext, result), 41);
    // The copy that compacts or repairs a database reads every record page as the table's.
    Pm->FreeSpaceManager()->RecoveryMode = 1;
    at = ids[3];
    EXPECT_EQ(Step(*m, at, gmCurrent, result), 4);
    Pm->FreeSpaceManager()->RecoveryMode = 0;
    // The index still lists the page: reading the table's first record says what is wrong.
    at = {};
    ExpectNative([&] { Step(*m, at, gmNext, result, true); }, 20143);
    const auto [code, message] = Raised([&] {
        if (!m->UpdateRecord(S1, Record(9).data(), ids[3])) RaiseNative(1, "refused");
    });
    EXPECT_EQ(code, c.UpdateCode) << message;
    Pm->RollbackSession(S1);
    m->RebuildPageIndex(S1);
    Pm->CommitSession(S1);
    EXPECT_EQ(m->RecordCount, 10);
    EXPECT_EQ(Walk(*m), Range(41, 50));
}

INSTANTIATE_TEST_SUITE_P(Fields, DamagedHeader,
                         ::testing::Values(HeaderDamage{"Type", 8, Bytes{11, 0}, 20153},
                                           HeaderDamage{"Owner", 22, I32(TableB), 1},
                                           HeaderDamage{"FreedStamp", 4, I32(0x7FFFFFFE), 1}),
                         [](const ::testing::TestParamInfo<HeaderDamage>& i) { return std::string(i.param.Name); });

TEST_F(RecordPages, RandomlyFlippedPageBytesNeverCrash) {
    auto m = NewTable(TableA);
    std::vector<TORQRecordID> ids;
    for (int32_t k = 1; k <= 100; ++k) ids.push_back(Insert(*m, k, S1, false));
    Pm->CommitSession(S1);
    const SavedState s = Save(*m);
    m.reset();
    Pm->CloseDatabaseFile();
    const Bytes clean = disktest::ReadAll(Db.Name);
    std::map<int32_t, int> pages;
    for (const TORQRecordID& id : ids) ++pages[id.PageNo];
    std::mt19937 rng(2026);
    int32_t raised = 0;
    for (int round = 0; round < 60; ++round) {
        Bytes damaged = clean;
        auto page = pages.begin();
        std::advance(page, round % 3);
        const int64_t base = diskpages::Page0 + int64_t{page->first} * 4096;
        // Header bytes and the bitmap are the interesting ones; a few anywhere else.
        for (int f = 0; f < 6; ++f) {
            const int64_t off = f < 4 ? std::uniform_int_distribution<int>(0, 45)(rng)
                                      : std::uniform_int_distribution<int>(0, 4095)(rng);
            damaged[static_cast<size_t>(base + off)] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        disktest::WriteAll(Db.Name, damaged);
        Pm = Db.Open(false);
        m = Attach(TableA);
        Restore(*m, s);
        try {
            Walk(*m);
            Walk(*m, false);
            for (int64_t n = 1; n <= 100; n += 7) {
                TORQRecordID id;
                m->GetRecordIDByRecNo(S1, n, id);
                int64_t back = 0;
                m->GetRecNoByRecordID(S1, id, back);
            }
            m->CheckRecordCount(S1);
            Insert(*m, 1000 + round, S1, false);
            TORQRecordID gone = ids[static_cast<size_t>(round)];
            m->DeleteRecord(S1, gone);
            Pm->RollbackSession(S1);
        } catch (const EORQException&) {
            ++raised;
            Pm->RollbackSession(S1);
        }
        m.reset();
        Pm->CloseDatabaseFile();
    }
    EXPECT_GT(raised, 0);
    Pm = Db.Open(false);
}

}  // namespace
