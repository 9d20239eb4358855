// Disk tables when things go wrong: a change failing midway (outside and inside a
// transaction or an update batch), a file left half-committed with a damaged record page
// index, a writer killed at random points, and several processes appending at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DiskPageFixture.h"
#include "engine/foundation/ORQEndian.h"
#include "DiskTableFixture.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using namespace disktable;

namespace {

int32_t CodeOf(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    } catch (...) {
        return -1;
    }
    return 0;
}

std::string TextOf(int64_t Minute) {
    std::string t = "ZCZC " + std::to_string(Minute) + "\n";
    const size_t size = Minute % 5 == 0 ? 6000 : 60 + static_cast<size_t>(Minute % 200);
    while (t.size() < size) t += static_cast<char>('a' + (t.size() + static_cast<size_t>(Minute)) % 26);
    return t;
}

void FillLog(const std::string& Name, int64_t Rows) {
    Connection c(Name, false);
    CreateLogTable(c);
    Cursor log(c, "NAVTEXLOG");
    std::vector<int64_t> m(static_cast<size_t>(Rows));
    for (int64_t i = 0; i < Rows; ++i) m[static_cast<size_t>(i)] = i * 10;
    std::shuffle(m.begin(), m.end(), std::mt19937(11));
    for (int64_t v : m) {
        log.FillLog(v, TextOf(v));
        ASSERT_TRUE(log.Append());
    }
}

// Moves the first row in physical order far away in date order with a new text, the
// N-th file read failing. Answers the update's error code (0 when it went through).
int32_t FailingUpdate(Cursor& Log, int N, int64_t& Moved) {
    Log.SetIndexName("");
    Log.ResetToBeginning();
    EXPECT_EQ(Log.Disk->GetRecord(&Log, gmNext), grOK);
    const TORQRecordID id = Log.CurrentRecordID;
    Moved = Log.Minute();
    Log.FillLog(Moved + 500000, TextOf(Moved + 5));
    Log.CurrentRecordID = id;
    int reads = 0;
    diskpages::HookScope hook([&](TORQFileCall Call, const std::string&) {
        // The N-th read and the file layer's one retry of it: a transient fault.
        if (Call != TORQFileCall::Read) return 0;
        ++reads;
        return reads == N || reads == N + 1 ? EIO : 0;
    });
    return CodeOf([&] {
        if (!Log.Disk->UpdateRecord(&Log)) throw std::runtime_error("update refused");
    });
}

bool Contains(const std::vector<int64_t>& V, int64_t X) { return std::find(V.begin(), V.end(), X) != V.end(); }

}  // namespace

TEST(DiskTableFaults, AnUpdateFailingMidwayLeavesNothingForTheNextCommit) {
    DbFile f;
    FillLog(f.Name, 150);
    int failed = 0, stuck = 0, torn = 0;
    for (int n = 1; n < 80; ++n) {
        int64_t count = 0, moved = 0;
        bool appended = false;
        {
            // A fresh open each time, so the update has to read the pages it changes.
            Connection c(f.Name, false);
            Cursor log(c, "NAVTEXLOG");
            count = log.Disk->GetPhysicalRecordCount(&log);
            if (FailingUpdate(log, n, moved) == 0) break;
            ++failed;
            log.FillLog(900000 + n, "after the failure");
            // When the page store cannot undo its own work, the session stays refused:
            // nothing of the failed update may reach the file through a later commit. A
            // failure inside the update's commit leaves the file needing repair, and then
            // every later commit is refused.
            const int32_t code = CodeOf([&] { ASSERT_TRUE(log.Append()); });
            appended = code == 0;
            if (appended) {
                ExpectConsistent(log);
            } else if (code == 20300) {
                ++torn;
                EXPECT_EQ(c.Db->DiskPageManager()->State(), 1) << n;
            } else {
                ++stuck;
                EXPECT_TRUE(log.Disk->HasFailedChange(c.S.SessionID)) << n;
            }
        }
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        ExpectConsistent(log);
        const std::vector<int64_t> rows = log.Walk("IDX_DT");
        EXPECT_EQ(static_cast<int64_t>(rows.size()), count + (appended ? 1 : 0)) << n;
        EXPECT_TRUE(Contains(rows, moved)) << n;
        EXPECT_FALSE(Contains(rows, moved + 500000)) << n;
        if (torn > 0) break;  // the file takes no change until it is repaired
    }
    std::printf("failing update: %d failure points, %d left the session refused, %d the file needing repair\n", failed,
                stuck, torn);
    EXPECT_GT(failed, 3) << "the update must have met the failing read at several points";
}

TEST(DiskTableFaults, InsideATransactionOrBatchAFailedChangeRefusesTheCommit) {
    DbFile f;
    FillLog(f.Name, 80);
    for (const bool batch : {false, true}) {
        SCOPED_TRACE(batch ? "batch" : "transaction");
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        const std::vector<int64_t> before = log.Walk("IDX_DT");
        const int32_t session = c.S.SessionID;
        if (batch)
            log.UpdateBatch = 1;
        else
            c.S.InTransaction = 1;
        int64_t moved = 0;
        int32_t code = 0;
        for (int n = 3; n < 40 && code == 0; n += 3) {
            code = FailingUpdate(log, n, moved);
            if (code == 0) FAIL() << "no failing read";
        }
        log.FillLog(700001, "inside");
        ASSERT_TRUE(log.Append());
        const std::string text =
            "Cannot commit changes of table 'NAVTEXLOG': an earlier change failed and must be rolled back - Native "
            "error: 31020";
        if (batch) {
            ExpectNative([&] { log.Disk->CommitSessionPages(session, false); }, 31020, text);
            log.Disk->RollbackSessionPages(session, false);
            log.UpdateBatch = 0;
        } else {
            ExpectNative([&] { c.Db->Commit(session, false); }, 31020, text);
            c.S.Rollback();
        }
        EXPECT_FALSE(log.Disk->HasFailedChange(session));
        EXPECT_EQ(log.Walk("IDX_DT"), before);
        ExpectConsistent(log);
        log.FillLog(700002, "after the rollback");
        ASSERT_TRUE(log.Append());
    }
    Connection c(f.Name, false);
    Cursor log(c, "NAVTEXLOG");
    EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 82);
    ExpectConsistent(log);
}

TEST(DiskTableFaults, AHalfCommittedFileReportsRepairAndItsTablesOpenWithRepair) {
    DbFile f;
    FillLog(f.Name, 60);
    int32_t root = -1;
    int32_t pageSize = 0;
    {
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        root = log.Disk->DiskRecordManager()->PageIndex().RootPageNo();
        pageSize = c.Db->DiskPageManager()->PageSize;
    }
    ASSERT_GT(root, 0);
    // State 1 in the header (a commit being written), and the record page index wiped.
    disktest::Patch(f.Name, 42, {1});
    disktest::Patch(f.Name, diskpages::Page0 + static_cast<int64_t>(root) * pageSize + 40,
                    std::vector<uint8_t>(static_cast<size_t>(pageSize - 40), 0xEE));
    {
        Connection c(f.Name, false);
        EXPECT_EQ(c.S.NeedsRepair, 1);
        {
            Cursor plain(c, "NAVTEXLOG");
            EXPECT_NE(CodeOf([&] { plain.Disk->CheckRecordCount(c.S.SessionID); }), 0);
        }
        // Only the rebuild writes while the file needs repair, reading it in recovery mode.
        c.Db->SetRecoveryMode(1);
        Cursor fixed(c, "NAVTEXLOG", false, true);
        EXPECT_EQ(fixed.Disk->GetPhysicalRecordCount(&fixed), 60);
        ExpectConsistent(fixed);
        fixed.FillLog(5, "after the repair");
        ASSERT_TRUE(fixed.Append());
        ExpectConsistent(fixed);
    }
    // The file's state stays as found: only a full repair may clear it.
    Connection c(f.Name, false);
    EXPECT_EQ(c.S.NeedsRepair, 1);
    Cursor log(c, "NAVTEXLOG", false, true);
    EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), 61);
    ExpectConsistent(log);
    // Any other change is refused before a byte of the file changes.
    const std::vector<uint8_t> before = disktest::ReadAll(f.Name);
    log.FillLog(6, "refused");
    EXPECT_EQ(CodeOf([&] { log.Append(); }), 20300);
    EXPECT_EQ(disktest::ReadAll(f.Name), before);
}

TEST(DiskTableReliability, AWriterKilledAtRandomPointsLeavesEveryReportedCommit) {
    // A file left needing repair takes no more writers: the run goes on with a fresh one
    // until it has seen enough kills and at least one torn commit (or its time is up).
    auto fresh = [] {
        auto f = std::make_unique<DbFile>();
        Connection c(f->Name, false);
        CreateLogTable(c);
        return f;
    };
    std::unique_ptr<DbFile> f = fresh();
    std::mt19937 rng(20261210);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    std::set<int64_t> reported;
    int64_t next = 0;
    int runs = 0, consistent = 0, repair = 0;
    size_t earlier = 0;  // commits reported on files given up
    while (std::chrono::steady_clock::now() < deadline && (runs < 8 || repair == 0)) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        const pid_t pid = ForkLogWriter(f->Name, next, fd[1], TextOf);
        close(fd[1]);
        usleep(20000 + static_cast<useconds_t>(rng() % 250000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << WEXITSTATUS(status);
        int64_t m = 0;
        while (read(fd[0], &m, sizeof m) == sizeof m) reported.insert(m);
        close(fd[0]);
        ++runs;

        Connection c(f->Name, false);
        if (c.S.NeedsRepair != 0) {
            // Killed inside a commit: the tables still open, with repair, without a crash.
            // A half-written commit may leave pages the page index still counts: reading
            // them gives a clean error, never a crash (the full repair is not the table's).
            ++repair;
            std::vector<int64_t> rows;
            const int32_t walked = CodeOf([&] {
                c.Db->SetRecoveryMode(1);  // how the rebuild reads its source
                Cursor fixed(c, "NAVTEXLOG", false, true);
                rows = fixed.Walk("");
                fixed.Walk("IDX_DT");
            });
            EXPECT_GE(walked, 0) << "only engine errors";
            if (walked == 0) {
                for (int64_t r : reported) EXPECT_TRUE(Contains(rows, r)) << "reported commit " << r << " lost";
            }
            c.Db->DisconnectSession(&c.S);
            f = fresh();
            earlier += reported.size();
            reported.clear();
            next = 0;
            continue;
        }
        ++consistent;
        Cursor log(c, "NAVTEXLOG");
        ExpectConsistent(log);
        const std::vector<int64_t> rows = log.Walk("IDX_DT");
        for (int64_t r : reported) ASSERT_TRUE(Contains(rows, r)) << "reported commit " << r << " lost";
        next = rows.empty() ? 0 : rows.back() + 1;
    }
    std::printf("killed writer: %d runs, %d consistent reopens, %d needing repair, %zu reported commits\n", runs,
                consistent, repair, earlier + reported.size());
    EXPECT_GT(runs, 3);
}

TEST(DiskTableReliability, ProcessesAppendingTogetherLoseNothingAndDrawUniqueNumbers) {
    DbFile f;
    enum : int32_t { fID, fProc, fSeq };
    {
        Connection c(f.Name, true);
        CreateCounterTable(c, "JOBS", false);
    }
    constexpr int Processes = 3;
    constexpr int Rows = 25;
    std::vector<pid_t> pids;
    std::fflush(nullptr);
    for (int p = 0; p < Processes; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            int rc = 0;
            try {
                Connection c(f.Name, true);
                Cursor jobs(c, "JOBS");
                const int32_t session = c.S.SessionID;
                for (int s = 0; s < Rows && rc == 0; ++s) {
                    jobs.Clear();
                    jobs.SetInt(fProc, p);
                    jobs.SetInt(fSeq, s);
                    // What the data-access layer does around a post outside a transaction.
                    if (!jobs.Disk->SetTableLock(session, ltPost, 1, ReadLockDelay, ReadLockTries)) {
                        rc = 3;
                        break;
                    }
                    jobs.Disk->ReadMostUpdatedFile(session);
                    jobs.Disk->FieldManager->ApplyAutoincValues(&c.S, jobs.CurrentRecord);
                    const bool ok = jobs.Append();
                    jobs.Disk->ReleaseTableLock(session, ltPost, 1);
                    if (!ok) rc = 4;
                }
            } catch (...) {
                rc = 2;
            }
            _exit(rc);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    Connection c(f.Name, true);
    Cursor jobs(c, "JOBS");
    ExpectConsistent(jobs, "BY_ID", fID);
    const std::vector<int64_t> ids = jobs.Walk("BY_ID", fID);
    ASSERT_EQ(ids.size(), static_cast<size_t>(Processes * Rows));
    EXPECT_EQ(std::set<int64_t>(ids.begin(), ids.end()).size(), ids.size()) << "autoincrement values repeat";
    std::set<std::pair<int64_t, int64_t>> rows;
    jobs.SetIndexName("");
    jobs.ResetToBeginning();
    while (jobs.Disk->GetRecord(&jobs, gmNext) == grOK) rows.emplace(jobs.GetInt(fProc), jobs.GetInt(fSeq));
    EXPECT_EQ(rows.size(), static_cast<size_t>(Processes * Rows)) << "a row was lost or written twice";
}

TEST(DiskTableFaults, AStateLargerThanTheTableCanHaveIsRefusedBeforeItIsRead) {
    DbFile f;
    FillLog(f.Name, 40);
    int32_t statePage = -1;
    int32_t pageSize = 0;
    {
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        statePage = log.Disk->StateFile->FirstPage();
        pageSize = c.Db->DiskPageManager()->PageSize;
    }
    // Stored and plain sizes of the state file's header (data offsets 1 and 5): within what
    // the file holds, far beyond the (10 x 8 + 8) x 4 bytes a state of ten fields takes.
    std::vector<uint8_t> size(4);
    StoreLE32(size.data(), 20000);
    const int64_t data = diskpages::Page0 + static_cast<int64_t>(statePage) * pageSize + 40;
    disktest::Patch(f.Name, data + 1, size);
    disktest::Patch(f.Name, data + 5, size);
    Connection c(f.Name, false);
    ExpectNative([&] { Cursor log(c, "NAVTEXLOG"); }, 20164, "Invalid table header data - Native error: 20164");
    EXPECT_EQ(c.Db->TableDataCount(), 0);
}
