// Disk tables end to end: the message log appended, browsed in date order and reopened;
// changes seen by another process; the create and open errors; failed changes that must
// leave nothing behind; a file left half-committed; a writer killed at random points; and
// several processes appending at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DiskTableFixture.h"
#include "PrefixKeyCases.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQRecordBitmap.h"
#include "engine/storage/ORQTempEngine.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using namespace disktable;

namespace {

int32_t NativeCode(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

std::string TextOf(int64_t Minute) {
    // Small values share BLOB pages; every seventh spans several pages.
    std::string t = "ZCZC " + std::to_string(Minute) + "\n";
    const size_t size = Minute % 7 == 0 ? 9000 + static_cast<size_t>(Minute) : 40 + static_cast<size_t>(Minute % 300);
    while (t.size() < size) t += static_cast<char>('a' + (t.size() * 7 + static_cast<size_t>(Minute)) % 26);
    return t;
}

// Minutes in an order that is not the date order.
std::vector<int64_t> Shuffled(int64_t Count, uint32_t Seed) {
    std::vector<int64_t> m(static_cast<size_t>(Count));
    for (int64_t i = 0; i < Count; ++i) m[static_cast<size_t>(i)] = i * 5;
    std::mt19937 rng(Seed);
    std::shuffle(m.begin(), m.end(), rng);
    return m;
}

std::vector<int64_t> Sorted(std::vector<int64_t> V) {
    std::sort(V.begin(), V.end());
    return V;
}

}  // namespace

TEST(DiskTable, TheMessageLogIsAppendedBrowsedInDateOrderAndReopened) {
    DbFile f;
    const std::vector<int64_t> minutes = Shuffled(300, 7);
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
        std::vector<std::string> tables;
        c.Db->GetTablesList(tables);
        EXPECT_EQ(tables, std::vector<std::string>{"NAVTEXLOG"});
        Cursor log(c, "NAVTEXLOG");
        for (int64_t m : minutes) {
            log.FillLog(m, TextOf(m));
            ASSERT_TRUE(log.Append()) << m;
        }
        EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 300);
        EXPECT_EQ(log.Walk("IDX_DT"), Sorted(minutes));
    }
    // A new process image of the file: everything came from the pages.
    Connection c(f.Name, false);
    EXPECT_EQ(c.S.NeedsRepair, 0);
    Cursor log(c, "NAVTEXLOG");
    ExpectConsistent(log);
    log.SetIndexName("IDX_DT");
    log.ResetToBeginning();
    int64_t expected = 0;
    while (log.Disk->GetRecord(&log, gmNext) == grOK) {
        const int64_t m = log.Minute();
        ASSERT_EQ(m, expected);
        EXPECT_EQ(log.GetInt(fFreq), m % 2 == 0 ? 518 : 490);
        EXPECT_EQ(log.GetString(fStation), "STATION " + std::to_string(m));
        EXPECT_EQ(log.GetInt(fDist), m * 3);
        EXPECT_EQ(log.GetString(fNumber), std::to_string(m % 10000));
        if (m % 35 == 0 || m % 7 == 1) {
            EXPECT_EQ(log.GetText(fText), TextOf(m)) << m;
        }
        log.Disk->ClearRecordBlobs(log.CurrentRecord);
        expected += 5;
    }
    EXPECT_EQ(expected, 1500);
    // Backwards from the end.
    log.ResetToEnd();
    ASSERT_EQ(log.Disk->GetRecord(&log, gmPrior), grOK);
    EXPECT_EQ(log.Minute(), 1495);
    // Filtered to the 518 kHz messages (every tenth minute): counted, and walked in date
    // order both ways.
    log.OnFilterRecord = [&log](const uint8_t* Record) {
        int32_t freq = 0;
        std::memcpy(&freq, Record + log.FieldDefs.GetItem(fFreq)->MemoryOffset, 4);
        return freq == 518;
    };
    log.CreateRecordBitmap();
    EXPECT_EQ(log.Disk->GetRecordCount(&log), 150);
    std::vector<int64_t> want;
    for (int64_t m = 0; m < 1500; m += 10) want.push_back(m);
    for (const uint8_t mode : {gmNext, gmPrior}) {
        std::vector<int64_t> seen;
        if (mode == gmNext)
            log.ResetToBeginning();
        else
            log.ResetToEnd();
        while (log.Disk->GetRecord(&log, mode) == grOK) {
            seen.push_back(log.Minute());
            log.Disk->ClearRecordBlobs(log.CurrentRecord);
        }
        if (mode == gmPrior) std::reverse(seen.begin(), seen.end());
        EXPECT_EQ(seen, want);
    }
}

TEST(DiskTable, UpdatesDeletesAndEmptyingKeepIndexRecordsAndStampInStep) {
    DbFile f;
    Connection c(f.Name, false);
    CreateLogTable(c);
    int32_t stamp = 0;
    {
        Cursor log(c, "NAVTEXLOG");
        for (int64_t m : Shuffled(120, 3)) {
            log.FillLog(m, TextOf(m));
            ASSERT_TRUE(log.Append());
        }
        // Move every fourth row to a new date and text, delete every third.
        log.SetIndexName("");
        log.ResetToBeginning();
        std::vector<TORQRecordID> ids;
        while (log.Disk->GetRecord(&log, gmNext) == grOK) ids.push_back(log.CurrentRecordID);
        std::set<int64_t> expected;
        for (size_t i = 0; i < ids.size(); ++i) {
            ASSERT_TRUE(log.Disk->GotoRecord(&log, ids[i]));
            const int64_t m = log.Minute();
            if (i % 3 == 0) {
                ASSERT_TRUE(log.Disk->DeleteRecord(&log));
                continue;
            }
            if (i % 4 == 0) {
                log.FillLog(m + 100000, TextOf(m + 1));
                log.CurrentRecordID = ids[i];
                ASSERT_TRUE(log.Disk->UpdateRecord(&log));
                expected.insert(m + 100000);
                continue;
            }
            expected.insert(m);
        }
        ExpectConsistent(log);
        EXPECT_EQ(log.Walk("IDX_DT"), std::vector<int64_t>(expected.begin(), expected.end()));
        ASSERT_TRUE(log.Disk->GotoRecord(&log, ids[4]));
        EXPECT_EQ(log.GetText(fText), TextOf(log.Minute() - 100000 + 1));
        log.Disk->ClearRecordBlobs(log.CurrentRecord);
        stamp = log.Disk->RecordManager->ChangeStamp;
    }
    // Emptying opens the table exclusively for its own cursor; the stamp it stores moves on.
    TORQCursor emptier;
    emptier.TableName = "NAVTEXLOG";
    emptier.Session = &c.S;
    auto* t = static_cast<TORQDiskTableData*>(c.Db->GetTableData(&emptier));
    t->EmptyTable(&emptier);
    EXPECT_EQ(t->CursorCount(), 0);
    EXPECT_TRUE(t->FreeIfUnused());
    Cursor log(c, "NAVTEXLOG");
    EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 0);
    EXPECT_GT(log.Disk->RecordManager->ChangeStamp, stamp);
    EXPECT_TRUE(log.Walk("IDX_DT").empty());
    log.FillLog(1, "again");
    ASSERT_TRUE(log.Append());
    ExpectConsistent(log);
}

TEST(DiskTable, CreateAndOpenErrors) {
    DbFile f;
    Connection c(f.Name, false);
    TORQCursor named;
    named.TableName = "EMPTY";
    named.Session = &c.S;
    auto* t = static_cast<TORQDiskTableData*>(c.Db->GetTableData(&named));
    TORQFieldDefs none;
    TORQIndexDefs noIndexes;
    TORQConstraintDefs noConstraints;
    ExpectNative([&] { t->CreateTable(&named, none, noIndexes, noConstraints); }, 20128,
                 "Error creating table - no fields were specified - Native error: 20128");
    EXPECT_TRUE(t->FreeIfUnused());
    std::vector<std::string> tables;
    c.Db->GetTablesList(tables);
    EXPECT_TRUE(tables.empty());

    // A second table of the same name is refused and leaves the file as it was.
    CreateLogTable(c);
    EXPECT_EQ(NativeCode([&] { CreateLogTable(c); }), 30395);
    c.Db->GetTablesList(tables);
    EXPECT_EQ(tables, std::vector<std::string>{"NAVTEXLOG"});

    Cursor shared(c, "NAVTEXLOG");
    ExpectNative([&] { Cursor exclusive(c, "NAVTEXLOG", true); }, 20242,
                 "Cannot access table 'NAVTEXLOG' in exclusive mode. Table is open by another cursors - Native error: "
                 "20242");
    Cursor second(c, "NAVTEXLOG");
    EXPECT_EQ(second.Disk, shared.Disk);

    // A memo field without a block size cannot have a stream.
    TORQFieldDef* memo = shared.Disk->FieldManager->FieldDefs.GetItem(fText);
    const int32_t blockSize = memo->BlobBlockSize;
    memo->BlobBlockSize = 0;
    ExpectNative([&] { shared.Disk->CreateBlobStream(&shared, true, 0, fText); }, 20149,
                 "Stream block size = 0 is not allowed - Native error: 20149");
    memo->BlobBlockSize = blockSize;
}

TEST(DiskTable, ExclusiveAndSharedOpensAreRefusedAcrossProcesses) {
    DbFile f;
    {
        Connection c(f.Name, true);
        CreateLogTable(c);
    }
    for (const bool childExclusive : {false, true}) {
        disktest::HoldingChild holder([&] {
            static Connection* keep = nullptr;
            keep = new Connection(f.Name, true);
            new Cursor(*keep, "NAVTEXLOG", childExclusive);
            return 0;
        });
        ASSERT_EQ(holder.SetupResult, 0);
        Connection c(f.Name, true);
        if (childExclusive)
            ExpectNative([&] { Cursor shared(c, "NAVTEXLOG"); }, 20209,
                         "Cannot open table 'NAVTEXLOG'. Table is locked - Native error: 20209");
        else
            ExpectNative([&] { Cursor exclusive(c, "NAVTEXLOG", true); }, 20208,
                         "Cannot access table 'NAVTEXLOG' in exclusive mode. Table is open by another user - Native "
                         "error: 20208");
    }
}

TEST(DiskTable, AnotherProcessSeesAppendsAtItsNextRead) {
    DbFile f;
    Connection c(f.Name, true);
    CreateLogTable(c);
    Cursor log(c, "NAVTEXLOG");
    log.FillLog(10, TextOf(10));
    ASSERT_TRUE(log.Append());
    EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 1);
    EXPECT_EQ(log.Walk("IDX_DT"), (std::vector<int64_t>{10}));

    const int rc = disktest::InChild([&] {
        Connection other(f.Name, true);
        Cursor w(other, "NAVTEXLOG");
        if (w.Walk("IDX_DT") != std::vector<int64_t>{10}) return 1;
        for (int64_t m : {5, 20}) {
            w.FillLog(m, TextOf(m));
            if (!w.Append()) return 2;
        }
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 3);
    EXPECT_EQ(log.Walk("IDX_DT"), (std::vector<int64_t>{5, 10, 20}));
    ASSERT_TRUE(log.Disk->GotoRecord(&log, log.CurrentRecordID));
    log.SetIndexName("IDX_DT");
    log.ResetToBeginning();
    ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
    EXPECT_EQ(log.GetText(fText), TextOf(5));
    log.Disk->ClearRecordBlobs(log.CurrentRecord);
    ExpectConsistent(log);
}

TEST(DiskTable, DeletingARecordFreesTheStoredRecordsValuesNotTheBuffers) {
    DbFile f;
    Connection c(f.Name, false);
    CreateLogTable(c);
    Cursor log(c, "NAVTEXLOG");
    std::vector<TORQRecordID> ids;
    for (int64_t m : {14, 1, 2}) {  // 14: a value over several pages
        log.FillLog(m, TextOf(m));
        ASSERT_TRUE(log.Append());
        ids.push_back(log.CurrentRecordID);
    }
    // The buffer holds the large value's row; the row deleted is another one.
    ASSERT_TRUE(log.Disk->GotoRecord(&log, ids[0]));
    log.CurrentRecordID = ids[1];
    ASSERT_TRUE(log.Disk->DeleteRecord(&log));
    log.Disk->ClearRecordBlobs(log.CurrentRecord);
    ExpectConsistent(log);
    EXPECT_EQ(log.Walk("IDX_DT"), (std::vector<int64_t>{2, 14}));
    for (const TORQRecordID& id : {ids[0], ids[2]}) {
        ASSERT_TRUE(log.Disk->GotoRecord(&log, id));
        EXPECT_EQ(log.GetText(fText), TextOf(log.Minute()));
        log.Disk->ClearRecordBlobs(log.CurrentRecord);
    }
}

TEST(DiskTable, RenameAndDeleteChangeTheCatalogAndGiveThePagesBack) {
    DbFile f;
    Connection c(f.Name, false);
    CreateLogTable(c);
    auto fill = [&](const std::string& Table) {
        Cursor log(c, Table);
        for (int64_t m = 0; m < 60; ++m) {
            log.FillLog(m, TextOf(m));
            ASSERT_TRUE(log.Append());
        }
    };
    fill("NAVTEXLOG");
    TORQCursor named;
    named.TableName = "NAVTEXLOG";
    named.Session = &c.S;
    {
        Cursor open(c, "NAVTEXLOG");
        ExpectNative([&] { open.Disk->RenameTable("OLDLOG", &named); }, 10150,
                     "Cannot rename table 'NAVTEXLOG'. Table is open by another dataset - Native error: 10150");
        ExpectNative([&] { open.Disk->DeleteTable(&named, false); }, 20017,
                     "Cannot delete table 'NAVTEXLOG'. Table is open by another dataset - Native error: 20017");
    }
    auto* t = static_cast<TORQDiskTableData*>(c.Db->GetTableData(&named));
    t->RenameTable("OLDLOG", &named);
    EXPECT_TRUE(t->FreeIfUnused());
    std::vector<std::string> tables;
    c.Db->GetTablesList(tables);
    EXPECT_EQ(tables, std::vector<std::string>{"OLDLOG"});
    {
        Cursor renamed(c, "OLDLOG");
        EXPECT_EQ(renamed.Disk->GetPhysicalRecordCount(&renamed), 60);
        ExpectConsistent(renamed);
    }
    const auto sizeBefore = disktest::ReadAll(f.Name).size();
    named.TableName = "OLDLOG";
    c.Db->GetTableData(&named)->DeleteTable(&named, false);
    c.Db->GetTablesList(tables);
    EXPECT_TRUE(tables.empty());
    EXPECT_EQ(c.Db->TableDataCount(), 0);
    // The same table again fits in the pages the deleted one gave back.
    CreateLogTable(c);
    fill("NAVTEXLOG");
    EXPECT_LE(disktest::ReadAll(f.Name).size(), sizeBefore);
}

TEST(DiskTable, StrictBoundsOnAPrefixIndexFindEveryValueBeyondTheBound) {
    DbFile f;
    for (const int n : {100, 1000})
        for (const bool descending : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + (descending ? " descending" : " ascending"));
            const std::string name = "P" + std::to_string(n) + (descending ? "D" : "A");
            Connection c(f.Name, false);
            {
                TORQFieldDefs fields;
                prefixkeys::Fields(fields);
                TORQIndexDefs indexes;
                prefixkeys::Indexes(indexes, descending);
                TORQConstraintDefs none;
                TORQCursor named;
                named.TableName = name;
                named.Session = &c.S;
                auto* t = static_cast<TORQDiskTableData*>(c.Db->GetTableData(&named));
                t->CreateTable(&named, fields, indexes, none);
                t->FreeIfUnused();
            }
            Cursor cur(c, name);
            prefixkeys::Fill(*cur.Disk, cur, n);
            const int failed = prefixkeys::CheckStrictBounds(*cur.Disk, cur, n, descending);
            std::printf("disk %d %s: %d of 17 cases wrong\n", n, descending ? "descending" : "ascending", failed);
        }
}

namespace {

// The rows of a reopened message log, each with the station its writer gave it.
void ExpectRowsOnReopen(const std::string& File, std::vector<int64_t> Minutes) {
    std::sort(Minutes.begin(), Minutes.end());
    Connection c(File, false);
    Cursor log(c, "NAVTEXLOG");
    ExpectConsistent(log);
    EXPECT_EQ(log.Walk("IDX_DT"), Minutes);
    log.SetIndexName("IDX_DT");
    log.ResetToBeginning();
    for (const int64_t m : Minutes) {
        ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
        EXPECT_EQ(log.Minute(), m);
        EXPECT_EQ(log.GetString(fStation), "STATION " + std::to_string(m));
        EXPECT_EQ(log.GetInt(fDist), m * 3);
    }
    EXPECT_NE(log.Disk->GetRecord(&log, gmNext), grOK);
}

void ExpectTableLocked(Cursor& Log, int64_t Minute) {
    Log.FillLog(Minute, "refused");
    ExpectNative([&] { Log.Append(); }, 31022, "Table is locked - Native error: 31022");
}

}  // namespace

// Two single-user sessions of one process: while one changes a table inside a
// transaction, the other's writes to it are refused at once (one thread may run both
// sessions, so waiting could never end), and it reads the committed table, its count
// and its walk agreeing.
TEST(DiskTable, InProcessSessionsNeverLoseCommittedRows) {
    // An update batch leaves its pages uncommitted too, until it ends.
    enum { Commit, Rollback, Batch };
    for (const int end : {Commit, Rollback, Batch}) {
        SCOPED_TRACE(end == Commit ? "commit" : end == Rollback ? "rollback" : "update batch");
        const bool commit = end != Rollback;
        DbFile f;
        {
            Connection c(f.Name, false);
            CreateLogTable(c);
            ExtraSession other(c);
            Cursor a(c, "NAVTEXLOG");
            Cursor b(c, "NAVTEXLOG", false, false, &other.S);
            if (end == Batch)
                a.UpdateBatch = 1;
            else
                c.S.InTransaction = 1;
            a.FillLog(1, "from A");
            ASSERT_TRUE(a.Append());
            ExpectTableLocked(b, 2);
            if (end == Commit) {
                c.Db->Commit(c.S.SessionID, false);
                c.S.InTransaction = 0;
            } else if (end == Rollback) {
                c.S.Rollback();
            } else {
                a.Disk->CommitSessionPages(c.S.SessionID, false);
                a.UpdateBatch = 0;
            }
            b.FillLog(2, "from B");
            ASSERT_TRUE(b.Append());
            ExpectConsistent(b);
            ExpectConsistent(a);
        }
        ExpectRowsOnReopen(f.Name, commit ? std::vector<int64_t>{1, 2} : std::vector<int64_t>{2});
    }
}

TEST(DiskTable, AReadingSessionSeesTheCommittedTableWhileAnotherIsInATransaction) {
    DbFile f;
    std::vector<int64_t> rows;
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
        ExtraSession other(c);
        Cursor a(c, "NAVTEXLOG");
        Cursor b(c, "NAVTEXLOG", false, false, &other.S);
        for (int64_t m = 0; m < 200; ++m) {
            a.FillLog(m, TextOf(m));
            ASSERT_TRUE(a.Append());
            rows.push_back(m);
        }
        c.S.InTransaction = 1;
        for (int64_t m = 200; m < 240; ++m) {
            a.FillLog(m, TextOf(m));
            ASSERT_TRUE(a.Append());
        }
        // Each session's count and walk agree, on its own view of the table.
        EXPECT_EQ(b.Disk->GetPhysicalRecordCount(&b), 200);
        EXPECT_EQ(b.Walk("IDX_DT"), rows);
        ExpectConsistent(b);
        EXPECT_EQ(a.Disk->GetPhysicalRecordCount(&a), 240);
        ExpectConsistent(a);
        EXPECT_EQ(b.Disk->GetPhysicalRecordCount(&b), 200);
        // Every change of the other session is refused, and refused before it touched
        // anything.
        ExpectTableLocked(b, 240);
        const std::string locked = "Table is locked - Native error: 31022";
        b.SetIndexName("IDX_DT");
        b.ResetToBeginning();
        ASSERT_EQ(b.Disk->GetRecord(&b, gmNext), grOK);
        b.SetInt(fDist, 7);
        ExpectNative([&] { b.Disk->UpdateRecord(&b); }, 31022, locked);
        ExpectNative([&] { b.Disk->DeleteRecord(&b); }, 31022, locked);
        ExpectNative([&] { b.Disk->EmptyTable(&b); }, 31022, locked);
        EXPECT_EQ(b.Walk("IDX_DT"), rows);
        EXPECT_EQ(b.Walk("IDX_DT", fDist).front(), 0);
        // The transaction goes on from its own view after the other session's reads.
        a.FillLog(1000, TextOf(1000));
        ASSERT_TRUE(a.Append());
        EXPECT_EQ(a.Disk->GetPhysicalRecordCount(&a), 241);
        c.Db->Commit(c.S.SessionID, false);
        c.S.InTransaction = 0;
        for (int64_t m = 200; m < 240; ++m) rows.push_back(m);
        rows.push_back(1000);
        for (int64_t m = 240; m < 270; ++m) {
            b.FillLog(m, TextOf(m));
            ASSERT_TRUE(b.Append());
            rows.push_back(m);
        }
        EXPECT_EQ(a.Disk->GetPhysicalRecordCount(&a), 271);
        ExpectConsistent(a);
    }
    ExpectRowsOnReopen(f.Name, rows);
}

// A rollback takes the table back to what was committed, but cursors may keep what they
// learnt inside the transaction under its stamps: the stamp never returns to a value it
// had, so a cached key position and a filtered count from inside it are stale afterwards.
TEST(DiskTable, ARollbackNeverGivesTheChangeStampAValueItHad) {
    for (const bool count : {false, true}) {
        SCOPED_TRACE(count ? "filtered count" : "cached position");
        DbFile f;
        Connection c(f.Name, false);
        CreateLogTable(c);
        Cursor w(c, "NAVTEXLOG");
        Cursor log(c, "NAVTEXLOG");
        std::set<int64_t> rows;
        for (int64_t m = 0; m < 400; ++m) {
            w.FillLog(m * 5, "committed");
            ASSERT_TRUE(w.Append());
            rows.insert(m * 5);
        }
        const auto matches = [](int64_t Minute) { return Minute % 5 == 1; };
        // The row's distance is three times its minute.
        const auto filter = [&](const uint8_t* Record) {
            int32_t dist = 0;
            std::memcpy(&dist, Record + log.FieldDefs.GetItem(fDist)->MemoryOffset, 4);
            return matches(dist / 3);
        };
        c.S.InTransaction = 1;
        for (int64_t m = 0; m < 300; ++m) {
            w.FillLog(m * 5 + 1, "rolled back");
            ASSERT_TRUE(w.Append());
        }
        log.SetIndexName("IDX_DT");
        if (count) {
            log.OnFilterRecord = filter;
            EXPECT_EQ(log.Disk->GetRecordCount(&log), 300);
        } else {
            log.ResetToBeginning();
            for (int i = 0; i < 350; ++i) ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
        }
        const int32_t inside = log.Disk->RecordManager->ChangeStamp;
        c.S.Rollback();
        EXPECT_GT(log.Disk->RecordManager->ChangeStamp, inside);
        // As many committed changes as the rolled-back transaction made.
        for (int64_t m = 0; m < 300; ++m) {
            const int64_t minute = m < 7 ? 3001 + m * 5 : 3000 + m * 5;
            w.FillLog(minute, "committed later");
            ASSERT_TRUE(w.Append());
            rows.insert(minute);
        }
        EXPECT_GT(log.Disk->RecordManager->ChangeStamp, inside);
        if (count) {
            EXPECT_EQ(log.Disk->GetRecordCount(&log), std::count_if(rows.begin(), rows.end(), matches));
            log.OnFilterRecord = nullptr;
        } else {
            // The record the cursor stands on (its id may hold another row now) and the
            // one after it in date order.
            ASSERT_EQ(log.Disk->GetRecord(&log, gmCurrent), grOK);
            const int64_t here = log.Minute();
            ASSERT_TRUE(rows.contains(here));
            ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
            EXPECT_EQ(log.Minute(), *rows.upper_bound(here));
        }
        ExpectConsistent(log);
    }
}

// A memo read for its stored bytes leaves a copy attached to the record buffer; stepping to
// the next record releases it instead of keeping one copy per record read until the table
// closes. A value being edited stays.
TEST(DiskTable, SteppingReleasesTheCopiesOfMemosReadForThePreviousRecord) {
    DbFile f;
    Connection c(f.Name, false);
    CreateLogTable(c);
    Cursor log(c, "NAVTEXLOG");
    for (int64_t m = 0; m < 50; ++m) {
        log.FillLog(m, TextOf(m));
        ASSERT_TRUE(log.Append());
    }
    log.Disk->ClearRecordBlobs(log.CurrentRecord);
    TORQDiskBlobManager& blobs = *log.Disk->BlobManager;
    ASSERT_EQ(blobs.CacheEntryCount(), 0);
    for (const char* index : {"", "IDX_DT"}) {
        log.SetIndexName(index);
        log.ResetToBeginning();
        int64_t rows = 0;
        while (log.Disk->GetRecord(&log, gmNext) == grOK) {
            // A stream reads a value on a shared page straight from the page (a large one
            // through a copy); the stored bytes asked for by ReadBlob come from a copy
            // attached to the buffer.
            ASSERT_EQ(log.GetText(fText), TextOf(log.Minute()));
            EXPECT_EQ(blobs.CacheEntryCount(), log.Minute() % 7 == 0 ? 1 : 0) << index << " " << rows;
            uint8_t* data = nullptr;
            TORQBlobDataHeader header;
            log.Disk->ReadBlob(&log, fText, data, header, nullptr);
            EXPECT_EQ(header.UncompressedSize, static_cast<int64_t>(TextOf(log.Minute()).size()));
            log.Disk->DeleteBlob(data);
            ASSERT_EQ(blobs.CacheEntryCount(), 1) << index << " " << rows;
            ++rows;
        }
        EXPECT_EQ(rows, 50);
        // Past the end at most the last record's copy is left.
        EXPECT_LE(blobs.CacheEntryCount(), 1);
    }
    // An edited value is not a copy of a stored one: a read over the buffer leaves it.
    log.ResetToBeginning();
    ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
    EXPECT_EQ(blobs.CacheEntryCount(), 0);
    log.SetText(fText, "edited");
    ASSERT_EQ(log.Disk->GetRecord(&log, gmCurrent), grOK);
    EXPECT_EQ(blobs.CacheEntryCount(), 1);
    log.Disk->ClearRecordBlobs(log.CurrentRecord);
    EXPECT_EQ(log.GetText(fText), TextOf(log.Minute()));
}

// A memo read whole for an expression is the value a stream reads, into one buffer reused
// from record to record whatever the lengths: from the cached page for a value on a shared
// page (no copy attached), through a stream for a large, a compressed or an edited value.
// Plain and enciphered files alike, committed rows and rows still on the session's pages.
TEST(DiskTable, AMemoReadWholeIsTheValueAStreamReads) {
    std::string binary;
    for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>((i * 37) & 0xFF));
    // Long and short values in turn, bytes of every value (NUL and 0xFF), sizes about a page
    // and past it, a large one, an empty one (Null), a single byte.
    const std::vector<std::string> texts = {TextOf(7) + "END", "XY",  binary, std::string(3000, 'a'),
                                            std::string(5000, 'b'), TextOf(5), "", TextOf(14), "Q"};
    for (const bool enciphered : {false, true}) {
        for (const bool committed : {true, false}) {
            SCOPED_TRACE(std::string(enciphered ? "enciphered" : "plain") + (committed ? " committed" : " uncommitted"));
            DbFile f;
            Connection c(f.Name, false, enciphered ? TORQPassword{"navtex", 3} : TORQPassword{});
            TORQFieldDefs fields;
            AddField(fields, "ID", aftInteger);
            AddField(fields, "PLAIN", aftMemo);
            AddField(fields, "PACKED", aftMemo);
            fields.GetItem(2)->BlobCompressionAlgorithm = 1;
            fields.GetItem(2)->BlobCompressionMode = 1;
            {
                TORQIndexDefs none;
                TORQConstraintDefs noConstraints;
                TORQCursor named;
                named.TableName = "MEMOS";
                named.Session = &c.S;
                auto* t = static_cast<TORQDiskTableData*>(c.Db->GetTableData(&named));
                t->CreateTable(&named, fields, none, noConstraints);
                t->FreeIfUnused();
            }
            Cursor memos(c, "MEMOS");
            if (!committed) c.S.InTransaction = 1;
            for (size_t i = 0; i < texts.size(); ++i) {
                memos.Clear();
                memos.SetInt(0, static_cast<int64_t>(i));
                memos.SetText(1, texts[i]);
                memos.SetText(2, texts[i]);
                ASSERT_TRUE(memos.Append());
            }
            memos.Disk->ClearRecordBlobs(memos.CurrentRecord);
            TORQDiskBlobManager& blobs = *memos.Disk->BlobManager;
            std::string bytes = "stale";
            memos.ResetToBeginning();
            for (size_t i = 0; i < texts.size(); ++i) {
                ASSERT_EQ(memos.Disk->GetRecord(&memos, gmNext), grOK);
                const std::string& want = texts[static_cast<size_t>(memos.GetInt(0))];
                for (const int32_t field : {1, 2}) {
                    memos.Disk->ReadBlobValue(&memos, field, bytes);
                    EXPECT_EQ(bytes, want) << "field " << field << " record " << i;
                    EXPECT_EQ(bytes, memos.GetText(field));
                }
                // A value on a shared page leaves no copy behind.
                if (want.size() < 1000) {
                    EXPECT_EQ(blobs.CacheEntryCount(), 0) << i;
                }
            }
            // An edited value is the one read, not the stored one.
            memos.ResetToBeginning();
            ASSERT_EQ(memos.Disk->GetRecord(&memos, gmNext), grOK);
            memos.SetText(1, "edited");
            memos.Disk->ReadBlobValue(&memos, 1, bytes);
            EXPECT_EQ(bytes, "edited");
            memos.Disk->ClearRecordBlobs(memos.CurrentRecord);
            if (!committed) {
                c.S.Rollback();
                continue;
            }

            // Through a filter: the short value after the long one is matched on its own bytes.
            TORQExpression like;
            like.ParseFilter(&memos, "PLAIN LIKE '%END'", false, false);
            std::vector<int64_t> matched;
            memos.ResetToBeginning();
            while (memos.Disk->GetRecord(&memos, gmNext) == grOK) {
                like.SetRecordBuffer(memos.CurrentRecord, 0);
                if (like.GetBooleanValue()) matched.push_back(memos.GetInt(0));
            }
            EXPECT_EQ(matched, std::vector<int64_t>{0});
        }
    }
}
