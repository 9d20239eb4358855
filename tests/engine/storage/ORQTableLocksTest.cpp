// Sessions file, table-locks files and the table lock manager: byte positions, session
// numbers, the lock behaviours between two sessions (in one process and across two), the
// covers relation seen from the file, hand-over, retries and the critical section.
#include <gtest/gtest.h>

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

}  // namespace
