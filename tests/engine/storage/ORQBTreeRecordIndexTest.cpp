// The B-tree record index over a table's records, against a model: a seeded run of key
// inserts, deletes and updates in small pages (so the tree splits and merges over several
// levels) checks after every step the tree's soundness and its entries, and at intervals
// the navigation, key searches and record numbers; then a table of errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BTreeTestSupport.h"
#include "engine/storage/ORQBTree.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableData.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

constexpr int64_t NullKey = std::numeric_limits<int64_t>::min();
// An index made without a cursor is made for session -2, whose changes only it sees.
constexpr int32_t kS = -2;

struct MapRecords : TORQBaseRecordManager {
    std::map<int32_t, std::vector<uint8_t>> Records;  // by page number
    void EmptyRecords(int32_t) override {}
    bool InsertRecord(int32_t, const uint8_t*, TORQRecordID&) override { return false; }
    bool UpdateRecord(int32_t, const uint8_t*, const TORQRecordID&) override { return false; }
    bool DeleteRecord(int32_t, TORQRecordID&) override { return false; }
    void ReadRecord(int32_t, TORQGetRecordRequest& Request) override {
        auto it = Records.find(Request.RecordID.PageNo);
        if (it == Records.end()) {
            Request.Result = grError;
            return;
        }
        std::memcpy(Request.RecordBuffer, it->second.data(), it->second.size());
        Request.Result = grOK;
    }
    int32_t CompareRecordIds(const TORQRecordID&, const TORQRecordID&) override { return 0; }
    int64_t EstimateRecordsBefore(int32_t, const TORQRecordID&) override { return 0; }
};

// A table of fields I Integer, T VarChar(10), its records, a small-page manager and one
// index on I (null first), the model holding (I, record id) in index order.
struct Fixture {
    TORQTableData Data{nullptr};
    MapRecords* Records = nullptr;
    btreetest::TTestPageManager PM{160};
    TORQBaseIndexManager Manager{&Data, nullptr};
    TORQBTreeRecordIndex Index{&Manager};
    TORQBaseSession Session;
    TORQCursor Cursor;
    std::set<std::pair<int64_t, std::pair<int32_t, uint16_t>>> Model;
    std::map<int32_t, int64_t> KeyOf;  // record page -> key

    explicit Fixture(bool Unique = false) {
        Data.FieldManager = std::make_unique<TORQBaseFieldManager>(&Data);
        TORQFieldDefs& defs = Data.FieldManager->FieldDefs;
        TORQFieldDef* f = defs.Add();
        f->Name = "I";
        f->ObjectID = 1;
        f->SetDataType(aftInteger, 0);
        f = defs.Add();
        f->Name = "T";
        f->ObjectID = 2;
        f->SetDataType(aftVarChar, 10);
        defs.CalculateOffsets();
        auto rm = std::make_unique<MapRecords>();
        Records = rm.get();
        Data.RecordManager = std::move(rm);
        Manager.TablePageManager = &PM;
        Session.SessionID = kS;
        Cursor.Session = &Session;
        TORQIndexDef def;
        def.ObjectID = 7;
        def.Unique = Unique ? 1 : 0;
        def.SetColumnCount(1);
        def.GetColumn(0).FieldName = "I";
        def.GetColumn(0).MaxIndexedSize = 20;
        Index.CreateIndex(nullptr, def);
        EXPECT_EQ(def.RootPage, Index.RootPageNo());
    }
    ~Fixture() { Cursor.Session = nullptr; }

    std::vector<uint8_t> Record(int64_t I) const {
        const TORQFieldDefs& defs = Data.FieldManager->FieldDefs;
        std::vector<uint8_t> r(static_cast<size_t>(defs.GetMemoryRecordSize()), 0);
        if (I == NullKey) {
            r[0] |= 1;
        } else {
            const int32_t v = static_cast<int32_t>(I);
            std::memcpy(r.data() + defs.GetItem(0)->MemoryOffset, &v, 4);
        }
        r[0] |= 2;  // T null
        return r;
    }
    static uint16_t SlotOf(int32_t Page) { return static_cast<uint16_t>(Page % 3 == 0 ? 65535 : Page % 3); }
    void Point(int32_t Page, std::vector<uint8_t>& Buffer) {
        Cursor.CurrentRecord = Buffer.data();
        Cursor.CurrentRecordID = TORQRecordID{Page, SlotOf(Page)};
    }
    void Insert(int32_t Page, int64_t I) {
        Records->Records[Page] = Record(I);
        Point(Page, Records->Records[Page]);
        Index.InsertKey(&Cursor);
        Model.insert({I, {Page, SlotOf(Page)}});
        KeyOf[Page] = I;
    }
    void Delete(int32_t Page) {
        Point(Page, Records->Records[Page]);
        Index.DeleteKey(&Cursor);
        Model.erase({KeyOf[Page], {Page, SlotOf(Page)}});
        KeyOf.erase(Page);
        Records->Records.erase(Page);
    }
    // Both passes of a record update: the old key out before, the new key in after.
    void Update(int32_t Page, int64_t I) {
        std::vector<uint8_t> old = Records->Records[Page];
        Records->Records[Page] = Record(I);
        Point(Page, Records->Records[Page]);
        Cursor.OldRecord = old.data();
        Index.UpdateKey(&Cursor, true);
        Index.UpdateKey(&Cursor, false);
        Cursor.OldRecord = nullptr;
        Model.erase({KeyOf[Page], {Page, SlotOf(Page)}});
        Model.insert({I, {Page, SlotOf(Page)}});
        KeyOf[Page] = I;
    }
    std::vector<TORQRecordID> Expected() const {
        std::vector<TORQRecordID> ids;
        for (const auto& e : Model) ids.push_back(TORQRecordID{e.second.first, e.second.second});
        return ids;
    }
};

// A raised message as the exception carries it.
std::string Text(const char* Message, int32_t Code) {
    return std::string(Message) + " - Native error: " + std::to_string(Code);
}

std::vector<TORQRecordID> Walk(Fixture& F, bool Forward) {
    std::vector<TORQRecordID> ids;
    TORQKeyPath path;
    bool ok = Forward ? F.Index.First(kS, path) : F.Index.Last(kS, path);
    while (ok) {
        ids.push_back(F.Index.RecordIdAtPath(kS, path));
        ok = Forward ? F.Index.Next(kS, path) : F.Index.Prior(kS, path);
    }
    return ids;
}

bool Meets(int64_t Key, int32_t Condition, int64_t Probe) {
    switch (Condition) {
        case scEqual: return Key == Probe;
        case scLess: return Key < Probe;
        case scGreater: return Key > Probe;
        case scLessOrEqual: return Key <= Probe;
        default: return Key >= Probe;
    }
}

void CheckSearches(Fixture& F, std::mt19937& Rng) {
    const std::vector<TORQRecordID> order = F.Expected();
    std::vector<int64_t> keys;
    for (const auto& e : F.Model) keys.push_back(e.first);
    // Navigation both ways.
    ASSERT_EQ(Walk(F, true), order);
    std::vector<TORQRecordID> back(order.rbegin(), order.rend());
    ASSERT_EQ(Walk(F, false), back);
    // Key searches: the first (forward) or last (backward) entry meeting the condition.
    for (int probeNo = 0; probeNo < 4; ++probeNo) {
        const int64_t probe = std::uniform_int_distribution<int>(0, 9)(Rng) == 0
                                  ? NullKey
                                  : std::uniform_int_distribution<int64_t>(-2, 30)(Rng);
        const std::vector<uint8_t> rec = F.Record(probe);
        for (int32_t cond = scEqual; cond <= scGreaterOrEqual; ++cond) {
            for (bool forward : {true, false}) {
                int expected = -1;
                for (int i = 0; i < static_cast<int>(keys.size()); ++i) {
                    if (!Meets(keys[static_cast<size_t>(i)], cond, probe)) continue;
                    if (expected == -1 || !forward) expected = i;
                    if (forward) break;
                }
                TORQKeyPath path;
                const bool found = F.Index.FindKey(kS, forward, path, cond, rec.data(), 1);
                ASSERT_EQ(found, expected != -1) << "probe " << probe << " cond " << cond << " fwd " << forward;
                if (found) {
                    ASSERT_EQ(F.Index.RecordIdAtPath(kS, path), order[static_cast<size_t>(expected)])
                        << "probe " << probe << " cond " << cond << " fwd " << forward;
                }
            }
        }
    }
    // Record numbers, 1-based in index order, both ways.
    for (size_t i = 0; i < order.size(); i += 1 + order.size() / 7) {
        const TORQRecordID id = order[i];
        ASSERT_EQ(F.Index.GetRecNo(kS, id, F.Records->Records[id.PageNo].data()), static_cast<int64_t>(i + 1));
        TORQRecordID got;
        F.Index.GetRecordIdByRecNo(kS, got, static_cast<int64_t>(i + 1));
        ASSERT_EQ(got, id);
    }
}

TEST(BTreeRecordIndex, SeededRunMatchesTheModel) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Fixture f;
        std::mt19937 rng(seed);
        int32_t nextPage = 1;
        auto anyKey = [&] {
            return std::uniform_int_distribution<int>(0, 12)(rng) == 0 ? NullKey
                                                                       : std::uniform_int_distribution<int64_t>(0, 25)(rng);
        };
        for (int step = 0; step < 600; ++step) {
            const int op = std::uniform_int_distribution<int>(0, 9)(rng);
            const bool grow = step < 300;
            if (f.KeyOf.empty() || op < (grow ? 6 : 3)) {
                f.Insert(nextPage++, anyKey());
            } else {
                auto it = f.KeyOf.begin();
                std::advance(it, std::uniform_int_distribution<size_t>(0, f.KeyOf.size() - 1)(rng));
                if (op < 7)
                    f.Delete(it->first);
                else
                    f.Update(it->first, anyKey());
            }
            const btreetest::TTreeShape shape = btreetest::ValidateTree(f.PM, f.Index.KeyRef(), kS, f.Index.RootPageNo());
            ASSERT_EQ(shape.Error, "") << "step " << step;
            std::vector<TORQRecordID> ids;
            for (const auto& v : shape.Values) ids.push_back(TORQRecordID::FromBytes(v.data()));
            ASSERT_EQ(ids, f.Expected()) << "step " << step;
            if (step % 50 == 49) {
                EXPECT_GE(shape.Depth, 2);
                CheckSearches(f, rng);
                if (HasFatalFailure()) return;
            }
        }
        // Drained, the root is an empty leaf again and every other page is free.
        while (!f.KeyOf.empty()) f.Delete(f.KeyOf.begin()->first);
        f.PM.CommitSession(kS);
        EXPECT_EQ(f.PM.PageCount, 1);
        f.Index.DropIndex(kS);
        f.PM.CommitSession(kS);
        EXPECT_EQ(f.PM.PageCount, 0);
        EXPECT_EQ(f.Index.RootPageNo(), -1);
    }
}

// Navigation through GetRecord and GetNearestRecord, the unique test, and record numbers.
TEST(BTreeRecordIndex, RecordRequests) {
    Fixture f(true);
    // Keys 10 (pages 1, 2 — not unique in data, the index only answers IsKeyFree), 20 (3), 30 (4).
    f.Insert(1, 10);
    f.Insert(2, 10);
    f.Insert(3, 20);
    f.Insert(4, 30);
    std::vector<uint8_t> buffer(f.Records->Records[1].size());
    TORQGetRecordRequest r;
    r.RecordBuffer = buffer.data();
    r.Mode = gmNext;
    r.AtBeginning = 1;
    f.Index.GetRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.Result, grOK);
    EXPECT_EQ(r.RecordID, (TORQRecordID{1, 1}));
    EXPECT_EQ(r.AtBeginning, 0);
    EXPECT_EQ(buffer, f.Records->Records[1]);
    r.Mode = gmPrior;
    r.AtEnd = 1;
    f.Index.GetRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.RecordID, (TORQRecordID{4, 1}));
    EXPECT_EQ(r.Mode, gmPrior);
    // Next from the last record: end, the id unchanged.
    r.Mode = gmNext;
    f.Index.GetRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.Result, grEOF);
    EXPECT_EQ(r.AtEnd, 1);
    EXPECT_EQ(r.RecordID, (TORQRecordID{4, 1}));
    // Prior from record 3 (key 20) lands on page 2, the later of the two 10s; a cache
    // given is filled and then serves the next step.
    TORQIndexPositionCache cache;
    r = TORQGetRecordRequest{};
    r.RecordBuffer = buffer.data();
    r.RecordID = TORQRecordID{3, 65535};
    buffer = f.Records->Records[3];
    r.Mode = gmPrior;
    f.Index.GetRecord(kS, r, 5, &cache);
    EXPECT_EQ(r.RecordID, (TORQRecordID{2, 2}));
    EXPECT_EQ(cache.IndexID, 7);
    EXPECT_EQ(cache.PositionStamp, 5);
    f.Index.GetRecord(kS, r, 5, &cache);
    EXPECT_EQ(r.RecordID, (TORQRecordID{1, 1}));
    f.Index.GetRecord(kS, r, 5, &cache);
    EXPECT_EQ(r.Result, grBOF);
    EXPECT_EQ(r.AtBeginning, 1);
    // A record that is not in the index.
    r = TORQGetRecordRequest{};
    std::vector<uint8_t> ghost = f.Record(20);
    r.RecordBuffer = ghost.data();
    r.RecordID = TORQRecordID{9, 0};
    r.Mode = gmNext;
    f.Index.GetRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.Result, grError);
    // Nearest to a vanished record of key 10: equal keys are skipped both ways.
    ghost = f.Record(10);
    r.RecordBuffer = ghost.data();
    f.Index.GetNearestRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.Result, grOK);
    EXPECT_EQ(r.RecordID, (TORQRecordID{3, 65535}));
    ghost = f.Record(10);
    r.RecordBuffer = ghost.data();
    r.Mode = gmPrior;
    f.Index.GetNearestRecord(kS, r, 0, nullptr);
    EXPECT_EQ(r.Result, grBOF);
    EXPECT_EQ(r.AtBeginning, 1);
    // Unique test: an equal key is taken, nulls included; unchanged keys need no search.
    EXPECT_FALSE(f.Index.IsKeyFree(kS, f.Record(20).data()));
    EXPECT_TRUE(f.Index.IsKeyFree(kS, f.Record(25).data()));
    EXPECT_TRUE(f.Index.IsKeyFree(kS, f.Record(NullKey).data()));
    f.Insert(5, NullKey);
    EXPECT_FALSE(f.Index.IsKeyFree(kS, f.Record(NullKey).data()));
    EXPECT_TRUE(f.Index.CanUpdateKey(kS, f.Record(20).data(), f.Record(20).data()));
    EXPECT_FALSE(f.Index.CanUpdateKey(kS, f.Record(25).data(), f.Record(20).data()));
    EXPECT_TRUE(f.Index.CanUpdateKey(kS, f.Record(20).data(), f.Record(25).data()));
    // Null first: the null record is number 1; number count + 1 is refused.
    EXPECT_EQ(f.Index.GetRecNo(kS, TORQRecordID{5, 2}, f.Records->Records[5].data()), 1);
    EXPECT_EQ(f.Index.GetRecNo(kS, TORQRecordID{5, 1}, f.Records->Records[5].data()), -1);
    TORQRecordID id;
    f.Index.GetRecordIdByRecNo(kS, id, 5);
    EXPECT_EQ(id, (TORQRecordID{4, 1}));
    ExpectNative([&] { f.Index.GetRecordIdByRecNo(kS, id, 6); }, 20075,
                 Text("Cannot set RecNo greater than RecordCount", 20075));
    // A non-unique index takes any key.
    Fixture plain;
    plain.Insert(1, 10);
    EXPECT_TRUE(plain.Index.IsKeyFree(kS, plain.Record(10).data()));
    // Conditions: lower bounds first.
    TORQScanSearchCondition a, b;
    const std::pair<uint8_t, int32_t> conditions[] = {{scoGreater, -1}, {scoGreaterOrEqual, -1}, {scoLess, 1},
                                                      {scoLessOrEqual, 1}, {scoEqual, 0}};
    for (const auto& [op, expected] : conditions) {
        a.Operator = op;
        b.Operator = scoGreater;
        EXPECT_EQ(f.Index.CompareConditions(a, b), expected) << int(op);
    }
    // Sizes: one Integer column keys 5 bytes, so 160-byte pages hold 160 / 9 entries.
    EXPECT_EQ(f.Index.KeyRef().KeySize, 5);
    EXPECT_EQ(f.Index.MaxEntriesPerPage(), 17);
}

// Range scans under start and end conditions, both ways, against the model; and range
// estimates.
TEST(BTreeRecordIndex, ScansAndEstimates) {
    Fixture f;
    std::mt19937 rng(7);
    for (int32_t page = 1; page <= 120; ++page) f.Insert(page, std::uniform_int_distribution<int64_t>(0, 15)(rng));
    const std::vector<TORQRecordID> order = f.Expected();
    std::vector<int64_t> keys;
    for (const auto& e : f.Model) keys.push_back(e.first);
    struct Scan {
        const char* Name;
        uint8_t StartOp;
        int64_t Start;
        uint8_t EndOp;  // scoNone: no end condition
        int64_t End;
        bool Forward;
        int64_t Low, High;  // the keys expected, inclusive
    };
    const Scan scans[] = {
        {"equal, no end, forward", scoEqual, 7, scoNone, 0, true, 7, 7},
        {"equal, no end, backward", scoEqual, 7, scoNone, 0, false, 7, 7},
        {"equal to the first key", scoEqual, keys.front(), scoNone, 0, true, keys.front(), keys.front()},
        {"equal to the last key, backward", scoEqual, keys.back(), scoNone, 0, false, keys.back(), keys.back()},
        {"closed range forward", scoGreaterOrEqual, 4, scoLessOrEqual, 9, true, 4, 9},
        {"open range forward", scoGreater, 4, scoLess, 9, true, 5, 8},
        {"closed range backward", scoLessOrEqual, 9, scoGreaterOrEqual, 4, false, 4, 9},
        {"from a key to the end", scoGreater, 12, scoNone, 0, true, 13, 99},
        {"from the start up to a key, backward", scoLess, 3, scoNone, 0, false, -99, 2},
        {"empty range", scoGreater, 99, scoNone, 0, true, 1, 0},
    };
    for (const Scan& sc : scans) {
        SCOPED_TRACE(sc.Name);
        std::vector<TORQRecordID> expected;
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] >= sc.Low && keys[i] <= sc.High) expected.push_back(order[i]);
        if (!sc.Forward) std::reverse(expected.begin(), expected.end());
        std::vector<uint8_t> startRec = f.Record(sc.Start);
        std::vector<uint8_t> endRec = f.Record(sc.End);
        TORQScanSearchCondition start(true), end(true);
        start.Operator = sc.StartOp;
        start.Key = startRec.data();
        start.FieldCount = 1;
        end.Operator = sc.EndOp;
        end.Key = endRec.data();
        end.FieldCount = 1;
        TORQIndexScanPosition* pos = f.Index.CreateScanPosition();
        std::vector<TORQRecordID> got;
        TORQRecordID id;
        std::vector<uint8_t> buffer(startRec.size());
        bool restart = true;
        while (f.Index.ScanNext(kS, restart, *pos, id, buffer.data(), sc.EndOp == scoNone ? nullptr : &end, &start,
                                sc.Forward)) {
            got.push_back(id);
            buffer = f.Records->Records[id.PageNo];
            restart = false;
            ASSERT_LE(got.size(), order.size());
        }
        EXPECT_EQ(got, expected);
        if (!got.empty()) {
            EXPECT_EQ(pos->Forward, sc.Forward ? 1 : 0);
            ExpectNative([&] { f.Index.ScanNext(kS, true, *pos, id, buffer.data(), nullptr, &start, sc.Forward); },
                         20078, Text("Index error: invalid params", 20078));
        }
        f.Index.FreeScanPosition(pos);
        EXPECT_EQ(pos, nullptr);
    }
    // A scan without conditions from a record continues after it.
    TORQIndexScanPosition* pos = f.Index.CreateScanPosition();
    TORQRecordID id = order[10];
    std::vector<uint8_t> buffer = f.Records->Records[id.PageNo];
    ASSERT_TRUE(f.Index.ScanNext(kS, false, *pos, id, buffer.data(), nullptr, nullptr, true));
    EXPECT_EQ(id, order[11]);
    f.Index.FreeScanPosition(pos);
    // A first step that is not a restart starts from the current record: one before the
    // start lands on the start, one inside the range (also the tree's first entry when
    // the start is there) continues after itself.
    auto firstStep = [&](size_t from, uint8_t op, int64_t value) {
        std::vector<uint8_t> startRec = f.Record(value);
        TORQScanSearchCondition start(true);
        start.Operator = op;
        start.Key = startRec.data();
        start.FieldCount = 1;
        TORQIndexScanPosition* p = f.Index.CreateScanPosition();
        TORQRecordID at = order[from];
        std::vector<uint8_t> rec = f.Records->Records[at.PageNo];
        const bool ok = f.Index.ScanNext(kS, false, *p, at, rec.data(), nullptr, &start, true);
        f.Index.FreeScanPosition(p);
        return ok ? at : TORQRecordID{-1, 0};
    };
    const size_t firstOf5 = static_cast<size_t>(std::lower_bound(keys.begin(), keys.end(), 5) - keys.begin());
    EXPECT_EQ(firstStep(0, scoGreaterOrEqual, 5), order[firstOf5]);
    EXPECT_EQ(firstStep(firstOf5 + 3, scoGreaterOrEqual, 5), order[firstOf5 + 4]);
    EXPECT_EQ(firstStep(0, scoGreaterOrEqual, keys.front()), order[1]);

    // Estimates: whole range near the count and never above it; an empty range 0.
    const int64_t total = static_cast<int64_t>(order.size());
    auto estimate = [&](uint8_t op1, int64_t v1, uint8_t op2, int64_t v2) {
        std::vector<uint8_t> r1 = f.Record(v1), r2 = f.Record(v2);
        TORQScanSearchCondition a(true), b(true);
        a.Operator = op1;
        a.Key = r1.data();
        a.FieldCount = 1;
        b.Operator = op2;
        b.Key = r2.data();
        b.FieldCount = 1;
        return f.Index.EstimateRangeCount(kS, &a, &b, total);
    };
    const int64_t all = estimate(scoGreaterOrEqual, 0, scoLessOrEqual, 15);
    EXPECT_LE(all, total);
    EXPECT_GE(all, total * 9 / 10);
    EXPECT_EQ(estimate(scoLessOrEqual, 15, scoGreaterOrEqual, 0), all);  // either order
    EXPECT_EQ(estimate(scoGreater, 15, scoLess, 99), 0);                 // nothing above the last key
    EXPECT_EQ(estimate(scoGreaterOrEqual, 9, scoLessOrEqual, 4), 0);     // crossed bounds
    const int64_t half = estimate(scoGreaterOrEqual, 0, scoLessOrEqual, 7);
    const int64_t below8 = static_cast<int64_t>(std::count_if(keys.begin(), keys.end(), [](int64_t k) { return k <= 7; }));
    EXPECT_NEAR(static_cast<double>(half), static_cast<double>(below8), total / 8.0);
}

TEST(BTreeRecordIndex, Errors) {
    Fixture f;
    f.Insert(1, 10);
    std::vector<uint8_t> rec = f.Record(10);
    std::vector<uint8_t> other = f.Record(11);
    TORQKeyPath empty;
    TORQKeyPath stale;
    ASSERT_TRUE(f.Index.First(kS, stale));
    stale.Levels[stale.LevelCount - 1].EntryNo = 1;  // past the page's only entry
    TORQRecordID id;
    struct Case {
        const char* Name;
        std::function<void()> Call;
        int32_t Code;
        const char* Message;
    };
    const std::vector<Case> withRoot = {
        {"empty path", [&] { f.Index.RecordIdAtPath(kS, empty); }, 20068, "Index error: invalid position"},
        {"entry outside its page", [&] { f.Index.RecordIdAtPath(kS, stale); }, 20068, "Index error: invalid position"},
        {"entry outside its page by number", [&] { f.Index.GetRecordIdAtPath(kS, stale, id); }, 20068,
         "Index error: invalid position"},
        {"next on empty path", [&] { f.Index.Next(kS, empty); }, 20069, "Index error: invalid position"},
        {"prior on empty path", [&] { f.Index.Prior(kS, empty); }, 20069, "Index error: invalid position"},
        {"delete of an absent key",
         [&] {
             f.Point(1, other);
             f.Index.DeleteKey(&f.Cursor);
         },
         20027, "Index error: cannot delete entry. Entry not found"},
        {"update removing an absent key",
         [&] {
             f.Point(1, rec);
             f.Cursor.OldRecord = other.data();
             f.Index.UpdateKey(&f.Cursor, true);
         },
         20250, "Index error: cannot delete entry. Entry not found"},
        {"get record current", [&] {
             TORQGetRecordRequest r;
             f.Index.GetRecord(kS, r, 0, nullptr);
         },
         20053, "Invalid 'get record' mode for index: grmCurrent"},
    };
    for (const Case& c : withRoot) {
        SCOPED_TRACE(c.Name);
        ExpectNative(c.Call, c.Code, Text(c.Message, c.Code));
    }
    f.Cursor.OldRecord = nullptr;
    // Nothing was lost by the failed calls.
    EXPECT_EQ(Walk(f, true), f.Expected());
    f.Index.EmptyIndex(kS);
    EXPECT_TRUE(Walk(f, true).empty());
    ExpectNative([&] { f.Index.GetRecordIdByRecNo(kS, id, 1); }, 20074,
                 Text("Cannot retrieve record from empty index", 20074));

    f.Index.DropIndex(kS);
    TORQGetRecordRequest r;
    r.Mode = gmNext;
    r.RecordBuffer = rec.data();
    TORQKeyPath path;
    f.Point(1, rec);
    const std::vector<std::pair<std::function<void()>, int32_t>> noRoot = {
        {[&] { f.Index.DropIndex(kS); }, 20119},
        {[&] { f.Index.EmptyIndex(kS); }, 20120},
        {[&] { f.Index.First(kS, path); }, 20121},
        {[&] { f.Index.Last(kS, path); }, 20122},
        {[&] { f.Index.GetRecord(kS, r, 0, nullptr); }, 20123},
        {[&] { f.Index.FindRecordPath(kS, TORQRecordID{1, 1}, path, rec.data()); }, 20124},
        {[&] {
             TORQScanSearchCondition c;
             f.Index.EstimateRangeCount(kS, &c, &c, 1);
         },
         20125},
        {[&] { f.Index.IsKeyFree(kS, rec.data()); }, 20126},
        {[&] { f.Index.InsertKey(&f.Cursor); }, 20127},
        {[&] { f.Index.GetNearestRecord(kS, r, 0, nullptr); }, 20293},
    };
    for (size_t i = 0; i < noRoot.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectNative(noRoot[i].first, noRoot[i].second, Text("Invalid page number", noRoot[i].second));
    }
    f.PM.CommitSession(kS);
    EXPECT_EQ(f.PM.PageCount, 0);
}

}  // namespace
