// The disk database object: a new file's bytes, the connect and disconnect lifecycle,
// session numbers in both modes, mode mixing, the single-user read-only fallback, commits
// refused for want of table locks, and the catalog shared with other processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DiskPageFixture.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQTableData.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::LE32;
using diskpages::SleepCounter;

namespace {

constexpr int64_t Page0 = 380;

template <typename F>
void ExpectError(F&& Call, int32_t Code, const std::string& Text) {
    ExpectNative(Call, Code, Text + " - Native error: " + std::to_string(Code));
}

// What the data-access layer's session does on rollback: the database drops its work.
class TestSession : public TORQBaseSession {
public:
    explicit TestSession(bool Multi = false) { MultiUser = Multi ? 1 : 0; }
    void Rollback() override {
        ++Rollbacks;
        if (Database != nullptr) Database->Rollback(SessionID);
        InTransaction = 0;
    }
    TORQDatabaseData* Database = nullptr;
    int Rollbacks = 0;
};

struct DiskDb {
    explicit DiskDb(int32_t Connections = 500) : Name(Dir.File("navtex.orq")) {
        TORQDiskDatabaseData creator;
        creator.DatabaseName = Name;
        creator.MaxConnections = Connections;
        creator.CommitBarriers = false;
        creator.CreateDatabase();
    }
    std::unique_ptr<TORQDiskDatabaseData> Make() const {
        auto db = std::make_unique<TORQDiskDatabaseData>();
        db->DatabaseName = Name;
        db->CommitBarriers = false;
        return db;
    }
    std::vector<uint8_t> File() const { return disktest::ReadAll(Name); }
    disktest::TempDir Dir;
    std::string Name;
};

// A page of the session with its first data byte set, released, not committed.
int32_t NewPage(TORQDiskDatabaseData& Db, int32_t Session, uint8_t Fill) {
    return diskpages::AddPage(*Db.DiskPageManager(), Session, Fill);
}

int32_t Uncommitted(TORQDiskDatabaseData& Db, int32_t Session) {
    TORQSortedPageList* list = Db.DiskPageManager()->PrivateList(Session);
    return list != nullptr ? list->Count() : 0;
}

}  // namespace

TEST(DiskDatabase, AFreshDefaultDatabaseHasTheLaidOutBytes) {
    DiskDb d;
    const std::vector<uint8_t> f = d.File();
    ASSERT_EQ(f.size(), 24956u);
    EXPECT_EQ(LE32(f, 30), 6) << "page count";
    EXPECT_EQ(LE32(f, 34), 4) << "highest used page";
    EXPECT_EQ(LE32(f, 38), 1) << "change counter";
    EXPECT_EQ(f.at(42), 2) << "state";
    auto page = [&](int32_t No, int32_t Offset) { return static_cast<std::size_t>(Page0 + No * 4096 + Offset); };
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + page(2, 40), f.begin() + page(2, 60)),
              (std::vector<uint8_t>{10, 10, 0, 0, 0, 10, 0, 0, 0, 0, 2, 3, 0, 0, 0, 1, 4, 0, 0, 0}));
    EXPECT_EQ(f.at(page(2, 8)), ptFileSystemDirectory);
    EXPECT_EQ(f.at(page(3, 8)), ptActiveSessionList);
    EXPECT_EQ(LE32(f, page(3, 41)), 500) << "sessions file: one byte per connection";
    EXPECT_EQ(f.at(page(4, 8)), ptTableList);
    EXPECT_EQ(LE32(f, page(4, 41)), 0) << "empty catalog";

    TORQDiskDatabaseData none;
    none.DatabaseName = d.Dir.File("none.orq");
    none.MaxConnections = 0;
    ExpectNative([&] { none.CreateDatabase(); }, 30967);
    EXPECT_FALSE(std::filesystem::exists(none.DatabaseName));
}

TEST(DiskDatabase, DisconnectingTheLastSessionClosesAndAReconnectReadsTheHeaderAgain) {
    DiskDb d;
    auto db = d.Make();
    TestSession s;
    db->ConnectSession(&s);
    EXPECT_TRUE(db->IsOpen());
    EXPECT_EQ(s.SessionID, 0);
    EXPECT_EQ(s.NeedsRepair, 0);
    EXPECT_EQ(db->MaxConnections, 500);
    EXPECT_FALSE(db->IsEncrypted());
    EXPECT_FALSE(db->DiskPageManager()->CommitBarriers);
    std::vector<std::string> tables{"stale"};
    db->GetTablesList(tables);
    EXPECT_TRUE(tables.empty());

    // Close frees the table data objects with the page manager they point at.
    struct Probe : TORQTableData {
        Probe(TORQDatabaseData* D, bool* Gone) : TORQTableData(D), FGone(Gone) {}
        ~Probe() override { *FGone = true; }
        bool* FGone;
    };
    bool gone = false;
    db->AddTableData(new Probe(db.get(), &gone));
    db->DisconnectSession(&s);
    EXPECT_FALSE(db->IsOpen());
    EXPECT_TRUE(gone);
    EXPECT_EQ(db->TableDataCount(), 0);
    {
        TORQDatabaseFile alone;  // nobody holds the file any more
        alone.OpenFile(d.Name, 1, 0);
        alone.CloseFile();
    }
    disktest::Patch(d.Name, 42, {1});  // a commit left half-written
    db->ConnectSession(&s);
    EXPECT_EQ(s.NeedsRepair, 1);
    db->DisconnectSession(&s);
}

TEST(DiskDatabase, AWrongPasswordLeavesTheDatabaseClosed) {
    disktest::TempDir dir;
    TORQDiskDatabaseData creator;
    creator.DatabaseName = dir.File("secret.orq");
    creator.Password = TORQPassword{"right", 1};
    creator.CommitBarriers = false;
    creator.CreateDatabase();
    TORQDiskDatabaseData db;
    db.DatabaseName = creator.DatabaseName;
    db.Password = TORQPassword{"wrong", 1};
    TestSession s;
    ExpectNative([&] { db.ConnectSession(&s); }, 30445);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(db.SessionCount(), 0);
    db.Password = TORQPassword{"right", 1};
    db.ConnectSession(&s);
    EXPECT_TRUE(db.IsEncrypted());
    EXPECT_EQ(db.MaxConnections, 500) << "the sessions file is read in place, never enciphered";
    EXPECT_TRUE(db.DiskPageManager()->CommitBarriers) << "on unless turned off";
    db.DisconnectSession(&s);
}

TEST(DiskDatabase, SingleAndMultiUserSessionsDoNotMix) {
    for (bool firstMulti : {false, true}) {
        DiskDb d;
        auto db = d.Make();
        TestSession first(firstMulti), second(!firstMulti);
        db->ConnectSession(&first);
        ExpectError([&] { db->ConnectSession(&second); }, 20235,
                    "Cannot open database in multi-user and signle-user mode at the same time");
        EXPECT_EQ(db->SessionCount(), 1);
        EXPECT_TRUE(db->IsOpen());
        EXPECT_EQ(db->TableLockManager() != nullptr, firstMulti);
        db->DisconnectSession(&first);
    }
}

TEST(DiskDatabase, SingleUserSessionsOfOneProcessHaveTheirOwnNumbersAndPages) {
    DiskDb d(1);
    auto db = d.Make();
    TestSession a, b;
    a.Database = b.Database = db.get();
    db->ConnectSession(&a);
    db->ConnectSession(&b);
    EXPECT_EQ(a.SessionID, 0);
    EXPECT_EQ(b.SessionID, 1) << "beyond the file's one connection: numbers are the process's own";
    EXPECT_EQ(db->TableLockManager(), nullptr) << "single-user never reaches the lock manager";
    const int32_t pa = NewPage(*db, a.SessionID, 0xAA);
    NewPage(*db, b.SessionID, 0xBB);
    db->Rollback(b.SessionID);
    EXPECT_EQ(Uncommitted(*db, a.SessionID), 1);
    db->Commit(a.SessionID, true);
    EXPECT_EQ(d.File().at(static_cast<std::size_t>(Page0 + pa * 4096 + 40)), 0xAA);

    // A session leaving inside a transaction is rolled back; the other keeps its work.
    NewPage(*db, a.SessionID, 0xA1);
    NewPage(*db, b.SessionID, 0xB1);
    b.InTransaction = 1;
    db->DisconnectSession(&b);
    EXPECT_EQ(b.Rollbacks, 1);
    EXPECT_EQ(Uncommitted(*db, 1), 0);
    EXPECT_EQ(Uncommitted(*db, a.SessionID), 1);
    TestSession c;
    db->ConnectSession(&c);
    EXPECT_EQ(c.SessionID, 1) << "a freed number is used again";
    db->Rollback(a.SessionID);
    db->DisconnectSession(&c);
    db->DisconnectSession(&a);
}

TEST(DiskDatabase, MultiUserSessionsHoldSessionBytesUpToTheConnectionCount) {
    DiskDb d(2);
    auto db = d.Make();
    TestSession a(true), b(true), c(true);
    db->ConnectSession(&a);
    db->ConnectSession(&b);
    EXPECT_EQ(a.SessionID, 0);
    EXPECT_EQ(b.SessionID, 1);
    ExpectNative([&] { db->ConnectSession(&c); }, 20094);
    EXPECT_EQ(db->SessionCount(), 2);
    // Another process sees both bytes taken.
    EXPECT_EQ(disktest::InChild([&] {
                  auto other = d.Make();
                  TestSession x(true);
                  try {
                      other->ConnectSession(&x);
                  } catch (const EORQException& e) {
                      return e.NativeError() == 20094 && !other->IsOpen() ? 0 : 1;
                  }
                  return 2;
              }),
              0);
    db->DisconnectSession(&a);
    db->ConnectSession(&c);
    EXPECT_EQ(c.SessionID, 0);
    db->DisconnectSession(&b);
    db->DisconnectSession(&c);
    EXPECT_FALSE(db->IsOpen());
}

TEST(DiskDatabase, ASecondSingleUserProcessReadsButCannotWrite) {
    DiskDb d;
    {
        auto setup = d.Make();
        TestSession s(true);
        setup->ConnectSession(&s);
        setup->AddTable(setup->GetNextObjectID(), "Messages", 1, 2, 3);
        setup->DisconnectSession(&s);
    }
    auto owner = d.Make();
    TestSession s;
    owner->ConnectSession(&s);
    EXPECT_EQ(owner->ReadOnly, 0);
    const std::vector<uint8_t> before = d.File();
    const int rc = disktest::InChild([&] {
        auto reader = d.Make();
        TestSession r;
        reader->ConnectSession(&r);
        int failures = 0;
        if (reader->ReadOnly != 1) failures |= 1;
        std::vector<std::string> list;
        reader->GetTablesList(list);
        if (list != std::vector<std::string>{"Messages"}) failures |= 2;
        auto refused = [&](const std::function<void()>& F, int32_t Code) {
            try {
                F();
            } catch (const EORQException& e) {
                return Code == 0 || e.NativeError() == Code;
            }
            return false;
        };
        TORQDiskPageManager& m = *reader->DiskPageManager();
        TORQPage* page = m.GetPage(r.SessionID, 4, true, ptTableList);
        page->GetData()[100] = 0x55;
        page->Modified = 1;
        m.ReleasePage(page);
        if (!refused([&] { reader->Commit(r.SessionID, false); }, 30962)) failures |= 4;
        if (!refused([&] { m.CommitSession(r.SessionID); }, 0)) failures |= 8;
        if (!refused([&] { m.WriteHeader(false); }, 0)) failures |= 16;
        if (!refused([&] { reader->ShrinkDatabaseFile(); }, 30962)) failures |= 32;
        if (!refused([&] { reader->AddTable(7, "Other", 1, 2, 3); }, 30962)) failures |= 64;
        reader->GetNextObjectID();
        return failures;
    });
    EXPECT_EQ(rc, 0);
    // The page manager refuses its own writes on the read-only handle before any reaches
    // it: the free-space map and file length an allocation changes, a freed page's stamp,
    // the header of a commit.
    EXPECT_EQ(disktest::InChild([&] {
                  auto reader = d.Make();
                  TestSession r;
                  reader->ConnectSession(&r);
                  TORQDiskPageManager& m = *reader->DiskPageManager();
                  const auto code = [](const std::function<void()>& F) {
                      try {
                          F();
                      } catch (const EORQException& e) {
                          return e.NativeError();
                      }
                      return 0;
                  };
                  int failures = 0;
                  TORQPage fresh(&m);
                  if (code([&] { m.AllocatePage(&fresh); }) != 30962) failures |= 1;
                  if (code([&] { m.AddPages(1); }) != 30962) failures |= 2;
                  if (code([&] { m.FreePage(4); }) != 30962) failures |= 4;
                  TORQPage* page = m.GetPage(r.SessionID, 4, true, ptTableList);
                  page->GetData()[100] = 0x55;
                  page->Modified = 1;
                  m.ReleasePage(page);
                  if (code([&] { m.CommitSession(r.SessionID); }) != 30962) failures |= 8;
                  if (code([&] { m.CheckWritable(); }) != 30962) failures |= 16;
                  return failures;
              }),
              0);
    EXPECT_EQ(d.File(), before) << "the reader changed nothing";
    owner->DisconnectSession(&s);
}

TEST(DiskDatabase, AFallbackWithAWritableHandleReopensItReadOnly) {
    DiskDb d;
    // A read-only multi-user process holds session byte 0 with a handle that does not write,
    // so the single-user open below gets a writable handle but not every session byte.
    disktest::HoldingChild holder([&] {
        auto other = d.Make();
        other->ReadOnly = 1;
        auto* s = new TestSession(true);
        other.release()->ConnectSession(s);
        return 0;
    });
    ASSERT_EQ(holder.SetupResult, 0);
    const std::vector<uint8_t> before = d.File();
    auto db = d.Make();
    TestSession s;
    db->ConnectSession(&s);
    EXPECT_EQ(db->ReadOnly, 1);
    EXPECT_EQ(db->DiskPageManager()->DatabaseFile().AccessMode(), 0);
    ExpectNative([&] { db->Commit(s.SessionID, false); }, 30962);
    db->DisconnectSession(&s);
    holder.Release();
    EXPECT_EQ(d.File(), before);
}

TEST(DiskDatabase, ACommitWaitsForTablePostLocksAndFailsWithItsPagesKept) {
    DiskDb d(4);
    int32_t locksPage = -1;
    {
        auto setup = d.Make();
        TestSession s(true);
        setup->ConnectSession(&s);
        TORQTableLocksFile locks(setup->DiskPageManager());
        locksPage = locks.CreateLocksFile(4);
        setup->DiskPageManager()->CommitSession(-2);
        setup->DisconnectSession(&s);
    }
    auto db = d.Make();
    TestSession s(true);
    db->ConnectSession(&s);
    TORQTableLocksFile locks(db->DiskPageManager());
    locks.OpenLocksFile(locksPage);
    ASSERT_TRUE(db->TableLockManager()->SetTableLock(s.SessionID, ltTransaction, 0, false, 100, 1, locks));
    const int32_t page = NewPage(*db, s.SessionID, 0x77);
    {
        disktest::HoldingChild reader([&] {
            auto other = d.Make().release();
            auto* r = new TestSession(true);
            other->ConnectSession(r);
            auto* file = new TORQTableLocksFile(other->DiskPageManager());
            file->OpenLocksFile(locksPage);
            return other->TableLockManager()->SetTableLock(r->SessionID, ltRead, 0, false, 100, 1, *file) ? 0 : 1;
        });
        ASSERT_EQ(reader.SetupResult, 0);
        SleepCounter sleeps;
        ExpectError([&] { db->Commit(s.SessionID, false); }, 20233,
                    "Cannot commit changes. Locks of modified tables failed");
        EXPECT_GT(sleeps.Count, 0);
        EXPECT_EQ(Uncommitted(*db, s.SessionID), 1);
        EXPECT_NE(d.File().at(static_cast<std::size_t>(Page0 + page * 4096 + 40)), 0x77);
    }
    db->Commit(s.SessionID, false);
    EXPECT_EQ(d.File().at(static_cast<std::size_t>(Page0 + page * 4096 + 40)), 0x77);
    EXPECT_EQ(db->TableLockManager()->LockList(s.SessionID).Count(), 0) << "transaction locks released";
    db->DisconnectSession(&s);
}

TEST(DiskDatabase, TablesAnotherProcessAddsRenamesOrDeletesAreSeenAndKept) {
    DiskDb d;
    auto db = d.Make();
    TestSession s(true);
    db->ConnectSession(&s);
    db->AddTable(db->GetNextObjectID(), "Stations", 1, 2, 3);
    db->AddTable(db->GetNextObjectID(), "Log", 4, 5, 6);
    auto inChild = [&](const std::function<void(TORQDiskDatabaseData&)>& Body) {
        return disktest::InChild([&] {
            auto other = d.Make();
            TestSession o(true);
            other->ConnectSession(&o);
            Body(*other);
            other->DisconnectSession(&o);
            return 0;
        });
    };
    ASSERT_EQ(inChild([](TORQDiskDatabaseData& o) { o.AddTable(o.GetNextObjectID(), "Areas", 7, 8, 9); }), 0);
    // A change right after another process's keeps that process's table.
    db->AddTable(db->GetNextObjectID(), "Warnings", 10, 11, 12);
    int32_t id = 0, lockPage = 0, state = 0, meta = 0;
    db->FindTable("AREAS", id, lockPage, state, meta);
    EXPECT_EQ((std::vector<int32_t>{lockPage, state, meta}), (std::vector<int32_t>{7, 8, 9}));
    ASSERT_EQ(inChild([](TORQDiskDatabaseData& o) {
                  o.DeleteTable("Stations");
                  o.RenameTable("Log", "Journal");
              }),
              0);
    ExpectError([&] { db->FindTable("Stations", id, lockPage, state, meta); }, 30396, "Table 'Stations' not exists.");
    ExpectNative([&] { db->AddTable(1, "journal", 0, 0, 0); }, 30395);
    std::vector<std::string> list;
    db->GetTablesList(list);
    EXPECT_EQ(list, (std::vector<std::string>{"Journal", "Areas", "Warnings"}));
    EXPECT_TRUE(db->TableExists("WARNINGS"));
    db->DisconnectSession(&s);
}

TEST(DiskDatabase, TheTablesLockNestsAndWaitsForOtherProcesses) {
    DiskDb d;
    auto db = d.Make();
    TestSession s(true);
    db->ConnectSession(&s);
    db->LockAllTables();
    db->AddTable(1, "Inside", 0, 0, 0);  // takes the lock again inside
    EXPECT_EQ(disktest::InChild([&] {
                  auto other = d.Make();
                  TestSession o(true);
                  other->ConnectSession(&o);
                  SleepCounter sleeps;
                  try {
                      other->LockAllTables();
                  } catch (const EORQException& e) {
                      return e.NativeError() == 20210 && sleeps.Count > 0 ? 0 : 1;
                  }
                  return 2;
              }),
              0);
    db->UnlockAllTables();
    ExpectError([&] { db->UnlockAllTables(); }, 20211, "Cannot unlock database tables");
    EXPECT_EQ(disktest::InChild([&] {
                  auto other = d.Make();
                  TestSession o(true);
                  other->ConnectSession(&o);
                  other->LockAllTables();
                  other->UnlockAllTables();
                  return 0;
              }),
              0);
    db->SetRecoveryMode(1);
    EXPECT_EQ(db->GetRecoveryMode(), 1);
    db->DisconnectSession(&s);
}

TEST(DiskDatabase, AMultiUserSessionLeavingInsideATransactionGivesUpItsLocks) {
    DiskDb d(4);
    auto db = d.Make();
    TestSession a(true), b(true);
    a.Database = db.get();
    db->ConnectSession(&a);
    db->ConnectSession(&b);
    TORQTableLocksFile locks(db->DiskPageManager());
    const int32_t locksPage = locks.CreateLocksFile(4);
    db->DiskPageManager()->CommitSession(-2);
    ASSERT_TRUE(db->TableLockManager()->SetTableLock(a.SessionID, ltTransaction, 0, false, 100, 1, locks));
    NewPage(*db, a.SessionID, 0x12);
    a.InTransaction = 1;
    auto editFromAnotherProcess = [&] {
        return disktest::InChild([&] {
            auto other = d.Make();
            TestSession o(true);
            other->ConnectSession(&o);
            TORQTableLocksFile file(other->DiskPageManager());
            file.OpenLocksFile(locksPage);
            const bool got = other->TableLockManager()->SetTableLock(o.SessionID, ltEdit, 0, false, 100, 1, file);
            if (got) other->TableLockManager()->ReleaseTableLock(o.SessionID, ltEdit, true, false, file);
            return got ? 0 : 1;
        });
    };
    ASSERT_EQ(editFromAnotherProcess(), 1) << "the transaction lock keeps editors out";
    db->DisconnectSession(&a);
    EXPECT_EQ(a.Rollbacks, 1);
    EXPECT_EQ(db->TableLockManager()->LockList(0).Count(), 0);
    EXPECT_EQ(Uncommitted(*db, 0), 0);
    EXPECT_EQ(editFromAnotherProcess(), 0);
    db->DisconnectSession(&b);
}
