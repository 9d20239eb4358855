// Sessions file, table-locks files and the table lock manager: byte positions, session
// numbers, the lock behaviours between two sessions (in one process and across two), the
// covers relation seen from the file, hand-over, retries and the critical section.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DiskPageFixture.h"
#include "LockFileSupport.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"

namespace {

using diskpages::Database;
using diskpages::HookScope;
using diskpages::SleepCounter;
using orq::EORQException;
using orq::TORQActiveSessionsFile;
using orq::TORQDatabaseTableLockManager;
using orq::TORQDiskPageManager;
using orq::TORQRecordID;
using orq::TORQTableLocksFile;

int32_t CodeOf(const std::function<void()>& Body) {
    try {
        Body();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

// A multi-user database with table-locks files for two tables, for S sessions.
struct LockWorld {
    explicit LockWorld(int32_t Sessions = 4) : S(Sessions) {
        TORQTableLocksFile a(M.get()), b(M.get());
        TableA = a.CreateLocksFile(S);
        TableB = b.CreateLocksFile(S);
        M->CommitSession(-2);
    }
    SleepCounter Sleeps;
    lockfiles::Recorder Rec;
    Database Db;
    std::unique_ptr<TORQDiskPageManager> M = Db.Open();
    int32_t S;
    int32_t TableA = -1, TableB = -1;
};

// A process's view of the world: its own page manager (another handle on the file), lock
// manager and open table-locks files.
struct Side {
    Side(TORQDiskPageManager* PM, const LockWorld& W) : Manager(W.S, PM), A(PM), B(PM) {
        A.OpenLocksFile(W.TableA);
        B.OpenLocksFile(W.TableB);
    }
    TORQTableLocksFile& Table(char T) { return T == 'A' ? A : B; }
    TORQDatabaseTableLockManager Manager;
    TORQTableLocksFile A, B;
};

TEST(TableLocksFile, PositionsWith500Sessions) {
    LockWorld w(500);
    TORQTableLocksFile f(w.M.get());
    f.OpenLocksFile(w.TableA);
    EXPECT_EQ(f.SessionCount(), 500);
    EXPECT_EQ(f.GetLocksFileID(), w.TableA);

    w.Rec.Log.Clear();
    ASSERT_TRUE(f.SetLockByte(3, orq::ltRead));
    ASSERT_TRUE(f.SetLockByte(499, orq::ltPost));
    ASSERT_TRUE(f.SetRecordLockByte(3, TORQRecordID{0x01020304, 0xA0B0}));
    EXPECT_EQ(w.Rec.Log.LockedBytes, (std::vector<int32_t>{503, 2499, 2503}));
    ASSERT_EQ(w.Rec.Log.Writes.size(), 1u);
    EXPECT_EQ(w.Rec.Log.Writes[0].first, 3018);
    EXPECT_EQ(w.Rec.Log.Writes[0].second, (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0xB0, 0xA0}));
    // In place: position p at data offset p + 10 of the chain's page (p + 10) div 4056.
    ASSERT_TRUE(f.SetRecordLockByte(499, TORQRecordID{-2, 0x0102}));
    const std::vector<uint8_t> firstPage = w.Db.PageBytes(w.TableA);
    EXPECT_EQ(std::vector<uint8_t>(firstPage.begin() + 40 + 3028, firstPage.begin() + 40 + 3034),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01, 0xB0, 0xA0}));
    const std::vector<uint8_t> secondPage = w.Db.PageBytes(diskpages::LE32(firstPage, 10));
    EXPECT_EQ(std::vector<uint8_t>(secondPage.begin() + 40 + 1948, secondPage.begin() + 40 + 1954),
              (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0x02, 0x01}));

    // Another handle sees the bytes; the owner's probes skip its own.
    auto other = w.Db.Open();
    TORQTableLocksFile g(other.get());
    g.OpenLocksFile(w.TableA);
    EXPECT_TRUE(g.IsLockedByOthers(0, orq::ltRead));
    EXPECT_FALSE(f.IsLockedByOthers(3, orq::ltRead));
    EXPECT_TRUE(f.IsLockedByOthers(0, orq::ltPost));
    EXPECT_FALSE(f.IsLockedByOthers(499, orq::ltPost));
    EXPECT_TRUE(g.IsRecordLockedByOthers(7, TORQRecordID{0x01020304, 0xA0B0}));
    EXPECT_FALSE(g.IsRecordLockedByOthers(7, TORQRecordID{0x01020304, 0xA0B1}));
    EXPECT_FALSE(f.IsRecordLockedByOthers(3, TORQRecordID{0x01020304, 0xA0B0}));
    EXPECT_TRUE(g.IsRecordLockedByOthers(7, TORQRecordID{-2, 0x0102}));

    // Released record bytes leave the id where it was, and no longer count.
    ASSERT_TRUE(f.ClearRecordLockByte(3));
    EXPECT_FALSE(g.IsRecordLockedByOthers(7, TORQRecordID{0x01020304, 0xA0B0}));
    EXPECT_TRUE(f.ClearLockByte(3, orq::ltRead));
    EXPECT_FALSE(g.IsLockedByOthers(0, orq::ltRead));

    // No byte for type 6; a session beyond the file refused.
    EXPECT_FALSE(f.SetLockByte(3, orq::ltExclusive));
    EXPECT_FALSE(f.IsLockedByOthers(3, orq::ltExclusive));
    EXPECT_EQ(CodeOf([&] { f.SetLockByte(500, orq::ltRead); }), 20200);
}

TEST(TableLocksFile, ClosedFileCodes) {
    LockWorld w;
    TORQTableLocksFile f(w.M.get());
    const TORQRecordID r{1, 1};
    const std::vector<std::pair<int32_t, std::function<void()>>> cases = {
        {10483, [&] { f.GetLocksFileID(); }},
        {10489, [&] { f.SetLockByte(0, 1); }},
        {10490, [&] { f.ClearLockByte(0, 1); }},
        {10491, [&] { f.IsLockedByOthers(0, 1); }},
        {10491, [&] { f.CanSetLock(0, 1, 0); }},
        {10492, [&] { f.SetRecordLockByte(0, r); }},
        {10493, [&] { f.ClearRecordLockByte(0); }},
        {10494, [&] { f.IsRecordLockedByOthers(0, r); }},
    };
    for (const auto& [code, body] : cases) EXPECT_EQ(CodeOf(body), code);
}

TEST(ActiveSessionsFile, NumbersUpToTheLimitAcrossProcesses) {
    LockWorld w;
    TORQActiveSessionsFile creator(w.M.get());
    const int32_t first = creator.CreateSessionsFile(3);
    w.M->CommitSession(-2);
    EXPECT_FALSE(creator.IsOpen());

    TORQActiveSessionsFile f(w.M.get());
    f.OpenSessionsFile(first);
    EXPECT_EQ(f.ConnectionCount(), 3);
    EXPECT_EQ(f.ConnectSession(), 0);
    EXPECT_EQ(f.ConnectSession(), 1);
    {
        disktest::HoldingChild child([&] {
            auto* m = w.Db.Open().release();
            auto* s = new TORQActiveSessionsFile(m);
            s->OpenSessionsFile(first);
            return s->ConnectSession();
        });
        EXPECT_EQ(child.SetupResult, 2);
        EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20094);
    }
    // The child's byte went with it; a disconnected number is the lowest free again.
    EXPECT_EQ(f.ConnectSession(), 2);
    f.DisconnectSession(1);
    EXPECT_EQ(f.ConnectSession(), 1);
    EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20094);
    EXPECT_EQ(CodeOf([&] { f.DisconnectSession(7); }), 20095);

    // Single-user: no bytes, always 0.
    auto single = w.Db.Open(false);
    TORQActiveSessionsFile g(single.get());
    g.OpenSessionsFile(first);
    EXPECT_EQ(g.ConnectSession(), 0);
    EXPECT_EQ(g.ConnectSession(), 0);
}

TEST(ActiveSessionsFile, LockAllSessionsOnlyWhenNoneIsConnected) {
    LockWorld w;
    const int32_t first = TORQActiveSessionsFile(w.M.get()).CreateSessionsFile(4);
    w.M->CommitSession(-2);
    TORQActiveSessionsFile f(w.M.get());
    f.OpenSessionsFile(first);
    auto single = w.Db.Open(false);
    TORQActiveSessionsFile g(single.get());
    g.OpenSessionsFile(first);

    const int32_t n = f.ConnectSession();
    EXPECT_FALSE(g.LockAllSessions());
    f.DisconnectSession(n);
    ASSERT_TRUE(g.LockAllSessions());
    // A single-user process holds every number: nobody connects.
    EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20094);
    EXPECT_EQ(disktest::InChild([&] {
                  auto m = w.Db.Open();
                  TORQActiveSessionsFile s(m.get());
                  s.OpenSessionsFile(first);
                  return CodeOf([&] { s.ConnectSession(); }) == 20094 ? 0 : 1;
              }),
              0);
    g.UnlockAllSessions();
    EXPECT_EQ(f.ConnectSession(), 0);
}

// A single-user process holds all session bytes as one region per page of the file: one
// lock call on open, one unlock on close, and the same exclusion as a byte per session,
// seen from the holding handle, from another handle and from another process.
TEST(ActiveSessionsFile, SingleUserHoldsEverySessionAsOneRegion) {
    for (const int32_t count : {500, 5000}) {  // the default, and a file over two pages
        SCOPED_TRACE(count);
        LockWorld w;
        const int32_t first = TORQActiveSessionsFile(w.M.get()).CreateSessionsFile(count);
        w.M->CommitSession(-2);
        TORQActiveSessionsFile f(w.M.get());
        f.OpenSessionsFile(first);
        auto single = w.Db.Open(false);
        TORQActiveSessionsFile g(single.get());
        g.OpenSessionsFile(first);
        auto probe = orq::MakeEngineDirectFile(w.M.get(), orq::ptActiveSessionList);
        probe->OpenFile(first);
        auto own = orq::MakeEngineDirectFile(single.get(), orq::ptActiveSessionList);
        own->OpenFile(first);
        const std::vector<int32_t> bytes = {0, count / 2, 4045, 4046, count - 1};

        w.Rec.Log.Clear();
        ASSERT_TRUE(g.LockAllSessions());
        EXPECT_TRUE(w.Rec.Log.LockedBytes.empty());
        EXPECT_EQ(w.Rec.Log.LockedRegions, (std::vector<std::pair<int32_t, int32_t>>{{0, count}}));
        for (const int32_t k : bytes) {
            if (k >= count) continue;
            SCOPED_TRACE(k);
            // The holder's own probe answers "locked"; one byte of the region is no range
            // of its own to give back, and stays held.
            EXPECT_TRUE(own->IsByteLocked(k));
            EXPECT_FALSE(own->UnlockByte(k));
            EXPECT_TRUE(probe->IsByteLocked(k));
            EXPECT_FALSE(probe->LockByte(k));
        }
        EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20094);
        EXPECT_EQ(disktest::InChild([&] {
                      auto m = w.Db.Open();
                      TORQActiveSessionsFile s(m.get());
                      s.OpenSessionsFile(first);
                      auto d = orq::MakeEngineDirectFile(m.get(), orq::ptActiveSessionList);
                      d->OpenFile(first);
                      if (!d->IsByteLocked(count - 1) || !d->IsRegionLocked(count / 2, 1)) return 1;
                      if (d->LockByte(count / 2)) return 2;
                      return CodeOf([&] { s.ConnectSession(); }) == 20094 ? 0 : 3;
                  }),
                  0);
        // A second single-user handle is refused too.
        auto second = w.Db.Open(false);
        TORQActiveSessionsFile h(second.get());
        h.OpenSessionsFile(first);
        EXPECT_FALSE(h.LockAllSessions());

        w.Rec.Log.Clear();
        g.UnlockAllSessions();
        EXPECT_FALSE(probe->IsRegionLocked(0, count));
        EXPECT_EQ(f.ConnectSession(), 0);
        f.DisconnectSession(0);

        // The other way round: one byte held elsewhere (the last, on the last page) keeps
        // the single-user lock out and leaves nothing held by the refused handle.
        {
            disktest::HoldingChild child([&] {
                auto* m = w.Db.Open().release();
                auto* d = orq::MakeEngineDirectFile(m, orq::ptActiveSessionList).release();
                d->OpenFile(first);
                return d->LockByte(count - 1) ? 0 : 1;
            });
            ASSERT_EQ(child.SetupResult, 0);
            EXPECT_FALSE(g.LockAllSessions());
            EXPECT_FALSE(probe->IsRegionLocked(0, count - 1));
        }
        const int32_t n = f.ConnectSession();
        EXPECT_FALSE(g.LockAllSessions());
        f.DisconnectSession(n);
        ASSERT_TRUE(g.LockAllSessions());
        g.UnlockAllSessions();
    }
}

// A region over two pages that cannot be had on its second page gives back the first.
TEST(ActiveSessionsFile, RegionRefusedOnALaterPageLeavesNothingHeld) {
    LockWorld w;
    const int32_t first = TORQActiveSessionsFile(w.M.get()).CreateSessionsFile(5000);
    w.M->CommitSession(-2);
    auto single = w.Db.Open(false);
    TORQActiveSessionsFile g(single.get());
    g.OpenSessionsFile(first);
    auto probe = orq::MakeEngineDirectFile(w.M.get(), orq::ptActiveSessionList);
    probe->OpenFile(first);
    {
        // Lock calls: the whole-file lock, the first page's range, then the second's.
        int locks = 0;
        HookScope hook([&](orq::TORQFileCall Call, const std::string&) {
            return Call == orq::TORQFileCall::Lock && ++locks >= 3 ? EAGAIN : 0;
        });
        EXPECT_FALSE(g.LockAllSessions());
        EXPECT_GE(locks, 3);
    }
    EXPECT_FALSE(probe->IsRegionLocked(0, 5000));
    EXPECT_FALSE(probe->IsByteLocked(0));
    ASSERT_TRUE(g.LockAllSessions());
    g.UnlockAllSessions();
}

// One step of a lock case: who acts ('p' the peer first, 's' this session, 'a' a third
// session afterwards), what it does ('L' table lock, 'U' release, 'R' record lock on the
// record at page Arg, 'B' whether some session other than the third holds a byte of Type),
// on which table, and the answer expected.
struct Op {
    char Who;
    char Kind;
    char Table;
    uint8_t Type;
    uint8_t Mode;
    int32_t Arg;
    bool Expect;
};

bool Apply(Side& side, int32_t Session, const Op& op) {
    TORQTableLocksFile& f = side.Table(op.Table);
    switch (op.Kind) {
        case 'L': return side.Manager.SetTableLock(Session, op.Type, op.Mode, false, 10, 3, f);
        case 'U': return side.Manager.ReleaseTableLock(Session, op.Type, false, false, f);
        case 'R': return side.Manager.LockRecord(Session, f, 10, 3, TORQRecordID{op.Arg, 1});
        default: return f.IsLockedByOthers(2, op.Type);
    }
}

// 0 when every step of Who answered as expected, else 1 + the index of the first that did not.
int RunSteps(Side& side, const std::vector<Op>& Ops, char Who, int32_t Session) {
    for (std::size_t i = 0; i < Ops.size(); ++i)
        if (Ops[i].Who == Who && Apply(side, Session, Ops[i]) != Ops[i].Expect) return static_cast<int>(i) + 1;
    return 0;
}

struct LockCase {
    const char* Name;
    std::vector<Op> Steps;
};

const std::vector<LockCase>& LockCases() {
    static const std::vector<LockCase> cases = {
        {"second edit refused, second read counted",
         {{'s', 'L', 'A', 2, 0, 0, true},
          {'s', 'L', 'A', 2, 0, 0, false},
          {'s', 'L', 'A', 1, 0, 0, true},
          {'s', 'L', 'A', 1, 0, 0, true},
          {'s', 'U', 'A', 1, 0, 0, true},
          {'s', 'B', 'A', 1, 0, 0, true},
          {'s', 'U', 'A', 1, 0, 0, true},
          {'s', 'B', 'A', 1, 0, 0, false},
          {'a', 'L', 'A', 3, 0, 0, false}}},
        {"transaction lock covers a read on its own table only",
         {{'s', 'L', 'A', 3, 0, 0, true},
          {'s', 'L', 'A', 1, 0, 0, true},
          {'s', 'B', 'A', 1, 0, 0, false},
          {'s', 'L', 'B', 1, 0, 0, true},
          {'s', 'B', 'B', 1, 0, 0, true}}},
        {"transaction lock beside another's edit only with mode 1",
         {{'p', 'L', 'A', 2, 0, 0, true},
          {'s', 'L', 'A', 3, 0, 0, false},
          {'s', 'L', 'A', 3, 1, 0, true},
          {'a', 'L', 'A', 2, 0, 0, false}}},
        {"exclusive lock refused beside any byte, and keeps everyone out",
         {{'p', 'L', 'A', 0, 0, 0, true},
          {'s', 'L', 'A', 6, 0, 0, false},
          {'s', 'L', 'B', 6, 0, 0, true},
          {'a', 'L', 'B', 0, 0, 0, false},
          {'a', 'R', 'B', 9, 0, 0, false},
          {'a', 'L', 'A', 0, 0, 0, true}}},
        {"record locks",
         {{'p', 'R', 'A', 0, 0, 7, true},
          {'s', 'R', 'A', 0, 0, 7, false},
          {'s', 'R', 'A', 0, 0, 8, true},
          {'s', 'R', 'A', 0, 0, 9, false},
          {'s', 'R', 'B', 0, 0, 7, true},
          {'a', 'R', 'A', 0, 0, 8, false},
          {'a', 'R', 'A', 0, 0, 9, true}}},
        {"post lock and reads exclude each other",
         {{'p', 'L', 'A', 1, 0, 0, true},
          {'p', 'L', 'B', 4, 0, 0, true},
          {'s', 'L', 'A', 4, 0, 0, false},
          {'s', 'L', 'B', 1, 0, 0, false},
          {'s', 'L', 'B', 0, 0, 0, true},
          {'s', 'L', 'A', 2, 0, 0, true}}},
    };
    return cases;
}

TEST(TableLockManager, CasesWithBothSessionsInOneProcess) {
    for (const LockCase& c : LockCases()) {
        SCOPED_TRACE(c.Name);
        LockWorld w;
        Side side(w.M.get(), w);
        EXPECT_EQ(RunSteps(side, c.Steps, 'p', 1), 0);
        EXPECT_EQ(RunSteps(side, c.Steps, 's', 0), 0);
        EXPECT_EQ(RunSteps(side, c.Steps, 'a', 2), 0);
    }
}

TEST(TableLockManager, CasesWithTheOtherSessionsInOtherProcesses) {
    for (const LockCase& c : LockCases()) {
        SCOPED_TRACE(c.Name);
        LockWorld w;
        disktest::HoldingChild peer([&] {
            // Kept until the child ends: its locks live as long as its handle.
            auto* side = new Side(w.Db.Open().release(), w);
            return RunSteps(*side, c.Steps, 'p', 1);
        });
        EXPECT_EQ(peer.SetupResult, 0);
        Side side(w.M.get(), w);
        EXPECT_EQ(RunSteps(side, c.Steps, 's', 0), 0);
        EXPECT_EQ(disktest::InChild([&] {
                      auto m = w.Db.Open();
                      Side third(m.get(), w);
                      return RunSteps(third, c.Steps, 'a', 2);
                  }),
                  0);
    }
}

// The list answers a nested request on its own exactly when a held lock covers it;
// anything else goes to the file.
TEST(TableLockManager, NestedRequestTouchesTheFileExactlyWhenNotCovered) {
    EXPECT_TRUE(orq::LockCovers(orq::ltTransaction, orq::ltRead));
    EXPECT_FALSE(orq::LockCovers(orq::ltRead, orq::ltTransaction));
    for (uint8_t a = 0; a <= orq::MaxLockType; ++a) {
        for (uint8_t b = 0; b <= orq::MaxLockType; ++b) {
            SCOPED_TRACE(testing::Message() << "held " << int(a) << ", asked " << int(b));
            LockWorld w(2);
            Side side(w.M.get(), w);
            ASSERT_TRUE(side.Manager.SetTableLock(0, a, 1, false, 10, 1, side.A));
            w.Rec.Log.Clear();
            const bool granted = side.Manager.SetTableLock(0, b, 1, false, 10, 1, side.A);
            EXPECT_EQ(w.Rec.Log.Calls > 0, !orq::LockCovers(a, b));
            // Alone on the table every request is granted, but a second edit lock.
            EXPECT_EQ(granted, !(a == orq::ltEdit && b == orq::ltEdit));
        }
    }
}

// With S = 4 the bytes of session k are at t x 4 + k; session 2 looks from outside.
bool OthersHold(TORQTableLocksFile& f, uint8_t Type) { return f.IsLockedByOthers(2, Type); }

TEST(TableLockManager, ReleaseHandsTheByteToCoveredLocks) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 1, false, 10, 3, side.A));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltRead, 1, false, 10, 3, side.A));
    EXPECT_FALSE(OthersHold(side.A, orq::ltRead));
    ASSERT_TRUE(m.ReleaseTableLock(0, orq::ltTransaction, false, false, side.A));
    EXPECT_TRUE(OthersHold(side.A, orq::ltRead));
    EXPECT_FALSE(OthersHold(side.A, orq::ltTransaction));
    ASSERT_EQ(m.LockList(0).Count(), 1);
    EXPECT_EQ(m.LockList(0).Items[0].FileByteHeld, 1);
    ASSERT_TRUE(m.ReleaseTableLock(0, orq::ltRead, false, false, side.A));
    EXPECT_FALSE(OthersHold(side.A, orq::ltRead));

    // The exclusive lock hands over too, and gives the table back to everyone.
    ASSERT_TRUE(m.SetTableLock(0, orq::ltExclusive, 0, false, 10, 3, side.B));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltOpen, 0, false, 10, 3, side.B));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltEdit, 0, false, 10, 3, side.B));
    EXPECT_FALSE(m.SetTableLock(1, orq::ltRead, 0, false, 10, 3, side.B));
    ASSERT_TRUE(m.ReleaseTableLock(0, orq::ltExclusive, false, false, side.B));
    EXPECT_TRUE(OthersHold(side.B, orq::ltOpen));
    EXPECT_TRUE(OthersHold(side.B, orq::ltEdit));
    EXPECT_TRUE(m.SetTableLock(1, orq::ltRead, 0, false, 10, 3, side.B));
    EXPECT_FALSE(m.SetTableLock(1, orq::ltTransaction, 0, false, 10, 3, side.B));

    EXPECT_EQ(CodeOf([&] { m.ReleaseTableLock(0, orq::ltPost, false, false, side.A); }), 20202);
    EXPECT_TRUE(m.ReleaseTableLock(0, orq::ltPost, false, true, side.A));
    EXPECT_EQ(CodeOf([&] { m.Close(); }), 20201);
}

// A record locked under a transaction lock has no byte of its own; when the transaction
// ends, the byte it takes must carry the record, or another session could lock it too.
TEST(TableLockManager, RecordLockHandedOverKeepsItsRecord) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 0, false, 10, 3, side.A));
    w.Rec.Log.Clear();
    ASSERT_TRUE(m.LockRecord(0, side.A, 10, 3, TORQRecordID{7, 3}));
    EXPECT_EQ(w.Rec.Log.Calls, 0);

    ASSERT_TRUE(m.UnlockTransactionTables(0));
    EXPECT_FALSE(m.LockList(0).Holds(orq::ltTransaction, w.TableA));
    EXPECT_TRUE(m.LockList(0).Holds(orq::ltEdit, w.TableA));
    EXPECT_TRUE(OthersHold(side.A, orq::ltEdit));
    EXPECT_EQ(disktest::InChild([&] {
                  auto other = w.Db.Open();
                  Side peer(other.get(), w);
                  const bool same = peer.Manager.LockRecord(1, peer.A, 10, 3, TORQRecordID{7, 3});
                  const bool next = peer.Manager.LockRecord(1, peer.A, 10, 3, TORQRecordID{7, 4});
                  return (same ? 1 : 0) + (next ? 0 : 2);
              }),
              0);
    ASSERT_TRUE(m.UnlockRecord(0, side.A, TORQRecordID{7, 3}));
    EXPECT_FALSE(m.UnlockRecord(0, side.A, TORQRecordID{7, 3}));
}

TEST(TableLockManager, CommitTakesPostLocksOnEveryTransactionTable) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 1, false, 10, 3, side.A));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 1, false, 10, 3, side.B));
    ASSERT_TRUE(m.SetTableLock(1, orq::ltRead, 1, false, 10, 3, side.B));

    // A reader on B: no post lock stays behind, on A neither.
    EXPECT_FALSE(m.LockTablesForCommit(0));
    EXPECT_FALSE(m.LockList(0).Holds(orq::ltPost, w.TableA));
    EXPECT_FALSE(m.LockList(0).Holds(orq::ltPost, w.TableB));
    EXPECT_FALSE(OthersHold(side.A, orq::ltPost));

    ASSERT_TRUE(m.ReleaseTableLock(1, orq::ltRead, false, false, side.B));
    ASSERT_TRUE(m.LockTablesForCommit(0));
    EXPECT_TRUE(OthersHold(side.A, orq::ltPost));
    EXPECT_TRUE(OthersHold(side.B, orq::ltPost));
    EXPECT_FALSE(m.SetTableLock(1, orq::ltRead, 1, false, 10, 3, side.A));

    ASSERT_TRUE(m.UnlockTransactionTables(0));
    EXPECT_EQ(m.LockList(0).Count(), 0);
    EXPECT_FALSE(OthersHold(side.A, orq::ltPost));
    EXPECT_FALSE(OthersHold(side.B, orq::ltTransaction));
    EXPECT_TRUE(m.LockTablesForCommit(0));
    EXPECT_NO_THROW(m.Close());

    // A post lock that cannot be given back after a failed upgrade is reported, and kept.
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 1, false, 10, 3, side.A));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 1, false, 10, 3, side.B));
    int fileLocks = 0;
    w.Rec.Log.Fail = [&](char Op, int32_t) { return Op == 'F' && ++fileLocks > 1; };
    EXPECT_EQ(CodeOf([&] { m.LockTablesForCommit(0); }), 20234);
    w.Rec.Log.Fail = nullptr;
    EXPECT_EQ(m.LockList(0).Count(), 3);
    EXPECT_TRUE(OthersHold(m.LockList(0).Holds(orq::ltPost, w.TableA) ? side.A : side.B, orq::ltPost));
    EXPECT_TRUE(m.UnlockTransactionTables(0));
    EXPECT_EQ(m.LockList(0).Count(), 0);
}

// A session holding the table exclusively with an edit lock and a record lock still ends
// its transaction: the edit lock it has is kept, not asked for a second time.
TEST(TableLockManager, TransactionEndsUnderExclusiveEditLock) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(0, orq::ltExclusive, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltEdit, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltTransaction, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.LockRecord(0, side.A, 10, 3, TORQRecordID{5, 1}));
    ASSERT_TRUE(m.UnlockTransactionTables(0));
    EXPECT_FALSE(m.LockList(0).Holds(orq::ltTransaction, w.TableA));
    EXPECT_TRUE(m.LockList(0).Holds(orq::ltEdit, w.TableA));

    ASSERT_TRUE(m.ReleaseTableLock(0, orq::ltExclusive, false, false, side.A));
    EXPECT_TRUE(OthersHold(side.A, orq::ltEdit));
    EXPECT_FALSE(m.LockRecord(1, side.A, 10, 3, TORQRecordID{5, 1}));
    EXPECT_TRUE(m.LockRecord(1, side.A, 10, 3, TORQRecordID{5, 2}));
}

// Locks taken before the session's own exclusive lock are released under it at once: the
// whole-file lock they would wait for is the session's own.
TEST(TableLockManager, ReleaseUnderOwnExclusiveLock) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(0, orq::ltOpen, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.LockRecord(0, side.A, 10, 3, TORQRecordID{4, 4}));
    ASSERT_TRUE(m.SetTableLock(0, orq::ltExclusive, 0, false, 10, 3, side.A));
    w.Sleeps.Count = 0;
    EXPECT_TRUE(m.ReleaseTableLock(0, orq::ltOpen, false, false, side.A));
    EXPECT_TRUE(m.UnlockRecord(0, side.A, TORQRecordID{4, 4}));
    EXPECT_EQ(w.Sleeps.Count, 0);
    EXPECT_FALSE(OthersHold(side.A, orq::ltOpen));
    EXPECT_FALSE(OthersHold(side.A, orq::ltRecord));
    EXPECT_FALSE(m.SetTableLock(1, orq::ltOpen, 0, false, 10, 3, side.A));
    EXPECT_TRUE(m.ReleaseTableLock(0, orq::ltExclusive, false, false, side.A));
    EXPECT_TRUE(m.SetTableLock(1, orq::ltOpen, 0, false, 10, 3, side.A));
}

TEST(TableLockManager, RetriesSleepAsEachKindAsks) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    int64_t now = 0;
    int64_t pace = 0;
    std::vector<int32_t> sleeps;
    orq::SetEngineClock([&] { return now; });
    orq::SetEngineSleeper([&](int32_t Ms) {
        sleeps.push_back(Ms);
        now += pace * Ms;
    });
    orq::SetEngineRandomSeed(12345);
    ASSERT_TRUE(m.SetTableLock(1, orq::ltEdit, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.LockRecord(1, side.A, 10, 3, TORQRecordID{9, 9}));

    // Table locks: once per try, a wait growing 1, 1, 2, 2, 4, ... ms up to the delay, half
    // to all of it at random.
    EXPECT_FALSE(m.SetTableLock(0, orq::ltTransaction, 0, false, 100, 20, side.A));
    ASSERT_EQ(sleeps.size(), 20u);
    EXPECT_EQ(sleeps[0], 1);
    for (size_t i = 0; i < sleeps.size(); ++i) {
        const int32_t grown = std::min<int32_t>(100, int32_t{1} << std::min<size_t>(i / 2, 20));
        EXPECT_TRUE(sleeps[i] >= std::max(grown / 2, 1) && sleeps[i] <= grown) << i << ": " << sleeps[i];
    }
    EXPECT_NE(*std::min_element(sleeps.begin() + 14, sleeps.end()), *std::max_element(sleeps.begin() + 14, sleeps.end()));

    // Record locks: the fixed delay, for all tries while the clock keeps up...
    sleeps.clear();
    EXPECT_FALSE(m.LockRecord(0, side.A, 30, 10, TORQRecordID{9, 9}));
    EXPECT_EQ(sleeps, std::vector<int32_t>(10, 30));
    // ...and no longer than delay x tries when each sleep overruns threefold.
    sleeps.clear();
    pace = 3;
    EXPECT_FALSE(m.LockRecord(0, side.A, 30, 10, TORQRecordID{9, 9}));
    EXPECT_EQ(sleeps.size(), 4u);
    orq::SetEngineClock({});
}

TEST(TableLockManager, CriticalSectionIsLeftWhileSleeping) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    ASSERT_TRUE(m.SetTableLock(1, orq::ltEdit, 0, false, 10, 3, side.A));
    std::atomic<bool> free{false}, released{false};
    orq::SetEngineSleeper([&](int32_t) {
        if (released) return;
        std::thread other([&] {
            std::unique_lock probe(m.CriticalSection(), std::try_to_lock);
            free = probe.owns_lock();
            if (free) released = m.ReleaseTableLock(1, orq::ltEdit, false, false, side.A);
        });
        other.join();
        released = true;
    });
    EXPECT_TRUE(m.SetTableLock(0, orq::ltTransaction, 0, false, 10, 50, side.A));
    EXPECT_TRUE(free);
}

// A raise in the middle of a test-and-set leaves neither the whole-file lock nor a list
// entry that the file does not back.
TEST(TableLockManager, RaisesLeaveTheFileUnlocked) {
    LockWorld w;
    Side side(w.M.get(), w);
    TORQDatabaseTableLockManager& m = side.Manager;
    auto fileFree = [&] {
        const bool ok = side.A.LockLocksFile();
        if (ok) side.A.UnlockLocksFile();
        return ok;
    };
    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'L'; };
    EXPECT_EQ(CodeOf([&] { m.SetTableLock(0, orq::ltRead, 0, false, 10, 3, side.A); }), 20203);
    EXPECT_EQ(CodeOf([&] { m.LockRecord(0, side.A, 10, 3, TORQRecordID{1, 1}); }), 20205);
    w.Rec.Log.Fail = nullptr;
    EXPECT_EQ(m.LockList(0).Count(), 0);
    EXPECT_TRUE(fileFree());

    ASSERT_TRUE(m.SetTableLock(0, orq::ltRead, 0, false, 10, 3, side.A));
    ASSERT_TRUE(m.LockRecord(0, side.A, 10, 3, TORQRecordID{1, 1}));
    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'U'; };
    EXPECT_EQ(CodeOf([&] { m.ReleaseTableLock(0, orq::ltRead, false, false, side.A); }), 20204);
    EXPECT_EQ(CodeOf([&] { m.UnlockRecord(0, side.A, TORQRecordID{1, 1}); }), 20206);
    w.Rec.Log.Fail = nullptr;
    EXPECT_TRUE(fileFree());
    // The locks are still held, and still released later.
    EXPECT_TRUE(OthersHold(side.A, orq::ltRead));
    EXPECT_TRUE(m.ReleaseTableLock(0, orq::ltRead, false, false, side.A));
    EXPECT_TRUE(m.UnlockRecord(0, side.A, TORQRecordID{1, 1}));
    EXPECT_FALSE(OthersHold(side.A, orq::ltRead));
    EXPECT_EQ(m.LockList(0).Count(), 0);
}

// The sessions file never scans or locks without its whole-file lock, and gives back a
// claimed number when the connect fails after all.
TEST(ActiveSessionsFile, FailuresLeaveNoSessionByteHeld) {
    LockWorld w;
    const int32_t first = TORQActiveSessionsFile(w.M.get()).CreateSessionsFile(4);
    w.M->CommitSession(-2);
    TORQActiveSessionsFile f(w.M.get());
    f.OpenSessionsFile(first);
    auto other = w.Db.Open();
    auto probe = orq::MakeEngineDirectFile(other.get(), orq::ptActiveSessionList);
    probe->OpenFile(first);

    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'F'; };
    EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20093);
    EXPECT_EQ(CodeOf([&] { f.LockAllSessions(); }), 20240);
    EXPECT_FALSE(probe->IsRegionLocked(0, 4));
    // A byte that cannot be had after the probe: none of the others stays held.
    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'R'; };
    EXPECT_FALSE(f.LockAllSessions());
    EXPECT_FALSE(probe->IsRegionLocked(0, 4));
    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'f'; };
    EXPECT_EQ(CodeOf([&] { f.ConnectSession(); }), 20093);
    EXPECT_FALSE(probe->IsRegionLocked(0, 4));

    // Releases whose whole-file lock cannot be given back say so; the failed release above
    // left it held through this handle, which gives it back here.
    auto own = orq::MakeEngineDirectFile(w.M.get(), orq::ptActiveSessionList);
    own->OpenFile(first);
    ASSERT_TRUE(own->UnlockFile());
    w.Rec.Log.Fail = nullptr;
    const int32_t n = f.ConnectSession();
    w.Rec.Log.Fail = [](char Op, int32_t) { return Op == 'f'; };
    EXPECT_EQ(CodeOf([&] { f.DisconnectSession(n); }), 20096);
    EXPECT_FALSE(probe->IsByteLocked(n));
    ASSERT_TRUE(own->UnlockFile());
    EXPECT_EQ(CodeOf([&] { f.UnlockAllSessions(); }), 20241);
    ASSERT_TRUE(own->UnlockFile());
}

// A database opened exclusively has nobody to share with: table locks are granted and
// released without the file.
TEST(TableLockManager, ExclusiveDatabaseSkipsTheFile) {
    LockWorld w;
    w.M->CloseDatabaseFile();
    TORQDiskPageManager m;
    bool multi = true, readOnly = false;
    m.OpenDatabaseFile(w.Db.Name, {}, multi, true, readOnly);
    TORQTableLocksFile a(&m);
    a.OpenLocksFile(w.TableA);
    TORQDatabaseTableLockManager locks(4, &m);
    w.Rec.Log.Clear();
    EXPECT_TRUE(locks.SetTableLock(0, orq::ltExclusive, 0, false, 10, 1, a));
    EXPECT_TRUE(locks.SetTableLock(1, orq::ltEdit, 0, false, 10, 1, a));
    EXPECT_TRUE(locks.ReleaseTableLock(1, orq::ltPost, false, false, a));
    EXPECT_EQ(w.Rec.Log.Calls, 0);
    EXPECT_EQ(locks.LockList(0).Count(), 0);
}

}  // namespace

namespace {

// Writers waiting for their post lock and the readers beside them, each side on a handle
// of its own (as two processes): session 0 writes through W, sessions 1 and 2 read through R.
struct TurnWorld {
    LockWorld W;
    std::unique_ptr<TORQDiskPageManager> ReaderHandle = W.Db.Open();
    Side Writer{W.M.get(), W};
    Side Readers{ReaderHandle.get(), W};
    bool Read(int32_t Session, int32_t Tries = 1) {
        return Readers.Manager.SetTableLock(Session, orq::ltRead, 1, false, 10, Tries, Readers.A);
    }
    void EndRead(int32_t Session) { ASSERT_TRUE(Readers.Manager.ReleaseTableLock(Session, orq::ltRead, false, false, Readers.A)); }
    bool Post(int32_t Tries = 1) { return Writer.Manager.SetTableLock(0, orq::ltPost, 1, false, 10, Tries, Writer.A); }
};

}  // namespace

// Two readers take turns so that one read lock is always held: a writer polling one try at
// a time inside its post wait would never find the table free. Marked pending from its
// second round, it keeps new readers out and has the table once the ones inside left: one
// round per reader inside, after its first two.
TEST(TableLockManager, APendingWriterIsServedWithinBoundedRoundsAgainstLoopingReaders) {
    TurnWorld t;
    ASSERT_TRUE(t.Read(1));
    ASSERT_TRUE(t.Read(2));
    t.Writer.Manager.BeginPostWait(0, t.Writer.A);
    int32_t granted = 0, refusedReads = 0;
    for (int32_t step = 1; step <= 50 && granted == 0; ++step) {
        if (t.Post()) {
            granted = step;
            break;
        }
        // The older reader leaves and comes back, as a scan's next row does.
        const int32_t session = step % 2 == 1 ? 1 : 2;
        t.EndRead(session);
        if (!t.Read(session)) ++refusedReads;
    }
    t.Writer.Manager.EndPostWait(0, t.Writer.A);
    EXPECT_EQ(granted, 4);
    EXPECT_EQ(t.Writer.Manager.Counters().LastPostRounds, 4);
    // Both readers arriving after the mark waited, and no read lock is held beside the post.
    EXPECT_EQ(refusedReads, 2);
    EXPECT_EQ(t.Readers.Manager.Counters().PendingRefusals, 2);
    EXPECT_FALSE(t.Writer.A.IsLockedByOthers(0, orq::ltRead));
    EXPECT_FALSE(t.Read(1));
    // Granted, the writer is no longer pending; once it is done the readers come back.
    EXPECT_FALSE(t.Readers.A.IsPendingByOthers(1, false));
    ASSERT_TRUE(t.Writer.Manager.ReleaseTableLock(0, orq::ltPost, false, false, t.Writer.A));
    EXPECT_TRUE(t.Read(1));
    t.EndRead(1);
}

// A writer that gives up leaves no mark behind, whether its request ran its tries itself or
// a post wait ended; a mark keeps out only new readers, never what a held lock allows.
TEST(TableLockManager, APendingMarkGoesWithTheRequestOrTheWait) {
    TurnWorld t;
    ASSERT_TRUE(t.Read(1));
    EXPECT_FALSE(t.Post(3));
    EXPECT_FALSE(t.Readers.A.IsPendingByOthers(1, false));
    EXPECT_TRUE(t.Read(2));
    t.EndRead(2);

    t.Writer.Manager.BeginPostWait(0, t.Writer.A);
    EXPECT_FALSE(t.Post());
    EXPECT_FALSE(t.Readers.A.IsPendingByOthers(1, false));  // the first round only looks
    EXPECT_FALSE(t.Post());
    EXPECT_TRUE(t.Readers.A.IsPendingByOthers(1, false));
    EXPECT_FALSE(t.Read(2));
    // A read that reads nothing of the table (a memo opened for a new row) is let by.
    EXPECT_TRUE(t.Readers.Manager.SetTableLock(2, orq::ltRead, 1, false, 10, 1, t.Readers.A, false));
    t.EndRead(2);
    // The reader inside nests, and an edit lock is no read: both as before.
    EXPECT_TRUE(t.Read(1));
    t.EndRead(1);
    EXPECT_TRUE(t.Readers.Manager.SetTableLock(2, orq::ltEdit, 1, false, 10, 1, t.Readers.A));
    ASSERT_TRUE(t.Readers.Manager.ReleaseTableLock(2, orq::ltEdit, false, false, t.Readers.A));
    t.Writer.Manager.EndPostWait(0, t.Writer.A);
    EXPECT_FALSE(t.Readers.A.IsPendingByOthers(1, false));
    EXPECT_TRUE(t.Read(2));
    t.EndRead(2);
    t.EndRead(1);
}

// A reader refused while a writer commits waits marked; the writer's next request lets it
// in first, even with the table free at that moment, and is served on its next round.
TEST(TableLockManager, AWaitingReaderGoesBeforeTheNextWriter) {
    TurnWorld t;
    ASSERT_TRUE(t.Post());
    bool writerFirst = true, writerSecond = false;
    int32_t sleeps = 0;
    orq::SetEngineSleeper([&](int32_t) {
        if (++sleeps != 1) return;
        // Inside the reader's first wait: the writer ends its post and asks again.
        EXPECT_TRUE(t.Writer.Manager.ReleaseTableLock(0, orq::ltPost, false, false, t.Writer.A));
        writerFirst = t.Post();
    });
    EXPECT_TRUE(t.Read(1, 3));
    orq::SetEngineSleeper({});
    EXPECT_FALSE(writerFirst);
    EXPECT_EQ(t.Writer.Manager.Counters().ReaderTurns, 1);
    t.EndRead(1);
    writerSecond = t.Post(2);
    EXPECT_TRUE(writerSecond);
    ASSERT_TRUE(t.Writer.Manager.ReleaseTableLock(0, orq::ltPost, false, false, t.Writer.A));
}
