// Reliability runs of the disk tables: a writer killed at random points for a while, a
// file write failing at each point of one append and commit, several processes appending
// at once, and damaged pages opened and read. Each run takes a bounded time; set
// TILO_RELIABILITY_SECONDS to run it longer by hand.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DiskPageFixture.h"
#include "DiskTableFixture.h"

using namespace orq;
using namespace disktable;

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineIn(int DefaultSeconds) {
    int seconds = DefaultSeconds;
    if (const char* e = std::getenv("TILO_RELIABILITY_SECONDS")) seconds = std::max(1, std::atoi(e));
    return Clock::now() + std::chrono::seconds(seconds);
}

std::string TextOf(int64_t Minute) {
    std::string t = "ZCZC " + std::to_string(Minute) + "\n";
    const size_t size = Minute % 7 == 0 ? 9000 : 40 + static_cast<size_t>(Minute % 300);
    while (t.size() < size) t += static_cast<char>('a' + (t.size() * 7 + static_cast<size_t>(Minute)) % 26);
    return t;
}

bool Contains(const std::vector<int64_t>& V, int64_t X) { return std::find(V.begin(), V.end(), X) != V.end(); }

// Every row's text read back, each checked against the minute it was written for.
void ExpectTexts(Cursor& Log) {
    Log.SetIndexName("");
    Log.ResetToBeginning();
    while (Log.Disk->GetRecord(&Log, gmNext) == grOK) {
        const int64_t m = Log.Minute();
        try {
            EXPECT_EQ(Log.GetText(fText), TextOf(m)) << "text of row " << m;
        } catch (const EORQException& e) {
            ADD_FAILURE() << "text of row " << m << ": " << e.what();
        }
    }
}

void AppendRows(const std::string& Name, int64_t From, int64_t To) {
    Connection c(Name, false);
    Cursor log(c, "NAVTEXLOG");
    for (int64_t m = From; m < To; ++m) {
        log.FillLog(m, TextOf(m));
        ASSERT_TRUE(log.Append());
    }
}

}  // namespace

// A writer appending one committed row at a time, killed at random points. A reopen shows
// either a consistent file holding every commit the writer reported (index, records and
// count agreeing, every text whole), or needs-repair, which a later open keeps reporting. A
// file that needs repair waits for the full repair of the data-access layer: it is opened
// with the repair flag once, where it reads every reported commit or raises a clean engine
// error, and the run goes on with a fresh file.
TEST(DiskReliability, KilledWritersNeverLoseAReportedCommit) {
    std::mt19937 rng(0x25C0FFEE);
    const auto deadline = DeadlineIn(15);
    int runs = 0, consistent = 0, repair = 0, refusedReads = 0, files = 0;
    int64_t reportedTotal = 0;
    while (Clock::now() < deadline) {
        DbFile f;
        ++files;
        {
            Connection c(f.Name, false);
            CreateLogTable(c);
        }
        std::set<int64_t> reported;
        int64_t next = 0;
        bool needsRepair = false;
        while (!needsRepair && Clock::now() < deadline) {
            int fd[2];
            ASSERT_EQ(pipe(fd), 0);
            const int64_t from = next;
            const pid_t pid = ForkLogWriter(f.Name, next, fd[1], TextOf);
            close(fd[1]);
            // Most kills land within the first commits, some after many.
            usleep(static_cast<useconds_t>(rng() % 4 == 0 ? 50000 + rng() % 300000 : 2000 + rng() % 40000));
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << WEXITSTATUS(status);
            int64_t m = 0;
            while (read(fd[0], &m, sizeof m) == sizeof m) reported.insert(m);
            close(fd[0]);
            ++runs;

            Connection c(f.Name, false);
            if (c.S.NeedsRepair != 0) {
                ++repair;
                needsRepair = true;
                try {
                    c.Db->SetRecoveryMode(1);  // how the rebuild reads its source
                    Cursor log(c, "NAVTEXLOG", false, true);
                    const std::vector<int64_t> rows = log.Walk("");
                    for (int64_t r : reported) EXPECT_TRUE(Contains(rows, r)) << "reported commit " << r << " lost";
                } catch (const EORQException&) {
                    ++refusedReads;
                }
                break;
            }
            ++consistent;
            Cursor log(c, "NAVTEXLOG");
            ExpectConsistent(log);
            const std::vector<int64_t> rows = log.Walk("");
            for (int64_t r : reported) ASSERT_TRUE(Contains(rows, r)) << "reported commit " << r << " lost";
            next = rows.empty() ? 0 : *std::max_element(rows.begin(), rows.end()) + 1;
            // A commit the writer made but could not report is kept too: the file holds at
            // most one row beyond the last report, or beyond the rows this writer began after
            // (a writer killed before its first report).
            if (!reported.empty()) {
                EXPECT_LE(next, std::max(*reported.rbegin(), from - 1) + 2);
            }
            ExpectTexts(log);
        }
        if (needsRepair) {
            // Needs-repair sticks: a second open reports it again.
            Connection again(f.Name, false);
            EXPECT_NE(again.S.NeedsRepair, 0);
        }
        reportedTotal += static_cast<int64_t>(reported.size());
    }
    std::printf("killed writers: %d kills over %d files, %d consistent reopens, %d needing repair (%d of them "
                "refusing a read), %lld reported commits\n",
                runs, files, consistent, repair, refusedReads, static_cast<long long>(reportedTotal));
    EXPECT_GT(runs, 5);
    EXPECT_GT(consistent, 3);
    EXPECT_GT(reportedTotal, 20);
}

// One append with its commit, a file write (or sync) failing at each point in turn: as a
// write error, as a disk full from that write on, and as a short write. A reported success
// means the row is in the file; a failure leaves a file that reopens consistent without the
// row, never one that needs repair.
TEST(DiskReliability, AFailingWriteAtEachPointOfACommitIsNeverASuccess) {
    DbFile f;
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
    }
    AppendRows(f.Name, 0, 60);
    const std::vector<uint8_t> pristine = disktest::ReadAll(f.Name);
    constexpr int64_t NewRow = 100007;  // a large text: shared and large BLOB pages both

    struct Mode {
        const char* Name;
        TORQFileCall Call;
        bool Barriers;
        bool Persistent;
        int Answer;  // 0: a short write of a varying size
    };
    const Mode modes[] = {
        {"EIO", TORQFileCall::Write, false, false, EIO},
        {"disk full from then on", TORQFileCall::Write, false, true, ENOSPC},
        {"short write", TORQFileCall::Write, false, false, 0},
        {"EIO with barriers", TORQFileCall::Write, true, false, EIO},
        {"sync EIO", TORQFileCall::Sync, true, false, EIO},
    };
    std::map<std::string, std::pair<int, int>> outcomes;  // failed, needing repair
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.Name);
        int points = 0;
        for (int n = 1; n < 400; ++n) {
            disktest::WriteAll(f.Name, pristine);
            bool hit = false, success = false;
            int32_t code = 0;
            {
                Connection c(f.Name, false);
                c.Db->DiskPageManager()->CommitBarriers = mode.Barriers;
                Cursor log(c, "NAVTEXLOG");
                log.FillLog(NewRow, TextOf(NewRow));
                int calls = 0;
                diskpages::HookScope hook([&](TORQFileCall Call, const std::string&) {
                    if (Call != mode.Call) return 0;
                    ++calls;
                    if (calls < n || (calls > n && !mode.Persistent)) return 0;
                    hit = true;
                    return mode.Answer != 0 ? mode.Answer : -(n * 37 % 4096 + 1);
                });
                try {
                    success = log.Append();
                } catch (const EORQException& e) {
                    code = e.NativeError();
                }
            }
            if (!hit) break;
            ++points;
            {
                Connection c(f.Name, false);
                const bool repair = c.S.NeedsRepair != 0;
                c.Db->SetRecoveryMode(repair ? 1 : 0);  // how the rebuild reads its source
                Cursor log(c, "NAVTEXLOG", false, repair);
                c.Db->SetRecoveryMode(0);
                if (!repair) ExpectConsistent(log);
                const std::vector<int64_t> rows = log.Walk("");
                for (int64_t m = 0; m < 60; ++m) ASSERT_TRUE(Contains(rows, m)) << "row " << m << " lost at write " << n;
                // A failing write or sync never leaves the file needing repair: before the
                // journal's seal the commit is lost whole, after it the journal completes it.
                EXPECT_FALSE(repair) << "needs repair after a failure at " << n;
                if (success) {
                    EXPECT_TRUE(Contains(rows, NewRow)) << "success reported, row missing at write " << n;
                } else if (!repair) {
                    EXPECT_NE(code, 0) << n;
                    EXPECT_FALSE(Contains(rows, NewRow)) << "failure reported, row stored at write " << n;
                }
                if (!success) ++outcomes[mode.Name].first;
                if (repair) ++outcomes[mode.Name].second;
                SCOPED_TRACE("write " + std::to_string(n) + (success ? " success" : " failure " + std::to_string(code)) +
                             (repair ? ", needs repair" : ""));
                if (repair && !success) {
                    // The half-written row may be there with its text missing: only a
                    // full repair decides; the earlier rows must all read.
                    log.SetIndexName("");
                    log.ResetToBeginning();
                    while (log.Disk->GetRecord(&log, gmNext) == grOK) {
                        if (log.Minute() != NewRow) {
                            EXPECT_EQ(log.GetText(fText), TextOf(log.Minute()));
                        }
                    }
                } else {
                    ExpectTexts(log);
                }
                // A consistent file takes the next commit; one that needs repair refuses it
                // before writing a byte, until it is repaired.
                if (repair) {
                    const std::vector<uint8_t> before = disktest::ReadAll(f.Name);
                    int32_t refused = 0;
                    try {
                        log.FillLog(200000 + n, TextOf(n));  // its text may need a growth
                        log.Append();
                    } catch (const EORQException& e) {
                        refused = e.NativeError();
                    }
                    EXPECT_EQ(refused, 20300) << n;
                    EXPECT_EQ(disktest::ReadAll(f.Name), before) << n;
                } else {
                    log.FillLog(200000 + n, TextOf(n));
                    EXPECT_TRUE(log.Append()) << n;
                }
            }
        }
        EXPECT_GT(points, mode.Call == TORQFileCall::Sync ? 1 : 3) << "the append must reach several file calls";
        std::printf("%s: %d failure points, %d reported failures, %d reopens needing repair\n", mode.Name, points,
                    outcomes[mode.Name].first, outcomes[mode.Name].second);
    }
}

// Two to four processes appending in multi-user mode, each row with a text: nothing lost or
// doubled, every autoincrement value drawn once, the index holding exactly the records.
TEST(DiskReliability, ProcessesAppendingTogetherKeepEveryRow) {
    enum : int32_t { fID, fProc, fSeq, fMemo };
    const auto deadline = DeadlineIn(12);
    int total = 0, rounds = 0;
    for (int processes : {2, 4, 3}) {
        SCOPED_TRACE(processes);
        DbFile f;
        {
            Connection c(f.Name, true);
            CreateCounterTable(c, "INBOX", true);
        }
        // Each child appends until the round's share of the time is over and answers how
        // many rows it committed through a pipe.
        const auto until = std::min(deadline, Clock::now() + std::chrono::seconds(3));
        std::vector<std::pair<pid_t, int>> children;
        std::fflush(nullptr);
        for (int p = 0; p < processes; ++p) {
            int fd[2];
            ASSERT_EQ(pipe(fd), 0);
            const pid_t pid = fork();
            if (pid == 0) {
                close(fd[0]);
                int32_t done = 0, rc = 0;
                try {
                    Connection c(f.Name, true);
                    Cursor inbox(c, "INBOX");
                    const int32_t session = c.S.SessionID;
                    while (Clock::now() < until && done < 400) {
                        inbox.Clear();
                        inbox.SetInt(fProc, p);
                        inbox.SetInt(fSeq, done);
                        inbox.SetText(fMemo, TextOf(p * 1000 + done));
                        if (!inbox.Disk->SetTableLock(session, ltPost, 1, ReadLockDelay, ReadLockTries)) {
                            rc = 3;
                            break;
                        }
                        bool ok = false;
                        try {
                            inbox.Disk->ReadMostUpdatedFile(session);
                            inbox.Disk->FieldManager->ApplyAutoincValues(&c.S, inbox.CurrentRecord);
                            ok = inbox.Append();
                        } catch (...) {
                            inbox.Disk->ReleaseTableLock(session, ltPost, 1);
                            throw;
                        }
                        inbox.Disk->ReleaseTableLock(session, ltPost, 1);
                        if (!ok) {
                            rc = 4;
                            break;
                        }
                        ++done;
                    }
                } catch (...) {
                    rc = 2;
                }
                if (write(fd[1], &done, sizeof done) != sizeof done) rc = 5;
                _exit(rc);
            }
            close(fd[1]);
            children.emplace_back(pid, fd[0]);
        }
        std::map<int64_t, int32_t> committed;
        for (int p = 0; p < processes; ++p) {
            int status = 0;
            waitpid(children[p].first, &status, 0);
            int32_t done = -1;
            if (read(children[p].second, &done, sizeof done) != sizeof done) done = -1;
            close(children[p].second);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << "process " << p;
            committed[p] = done;
        }
        Connection c(f.Name, true);
        Cursor inbox(c, "INBOX");
        ExpectConsistent(inbox, "BY_ID", fID);
        const std::vector<int64_t> ids = inbox.Walk("BY_ID", fID);
        EXPECT_EQ(std::set<int64_t>(ids.begin(), ids.end()).size(), ids.size()) << "autoincrement values repeat";
        std::set<std::pair<int64_t, int64_t>> rows;
        inbox.SetIndexName("");
        inbox.ResetToBeginning();
        while (inbox.Disk->GetRecord(&inbox, gmNext) == grOK) {
            const int64_t p = inbox.GetInt(fProc), s = inbox.GetInt(fSeq);
            EXPECT_TRUE(rows.emplace(p, s).second) << "row " << p << "/" << s << " twice";
            EXPECT_EQ(inbox.GetText(fMemo), TextOf(p * 1000 + s));
        }
        size_t expected = 0;
        for (const auto& [p, done] : committed) {
            expected += static_cast<size_t>(done);
            for (int32_t s = 0; s < done; ++s) EXPECT_TRUE(rows.contains({p, s})) << "row " << p << "/" << s << " lost";
        }
        EXPECT_EQ(rows.size(), expected);
        EXPECT_GT(expected, static_cast<size_t>(processes)) << "each process must have committed rows";
        total += static_cast<int>(expected);
        ++rounds;
    }
    std::printf("processes appending: %d rounds (2, 4, 3 processes), %d rows committed and found\n", rounds, total);
}

// Bytes of page headers, BLOB headers and page bodies flipped at random in a copy of a
// message log. Opening and reading everything answers an engine error or the rows; a crash,
// a sanitizer report, another exception or a huge allocation fails the run (each case runs
// in a child, so a crash is counted instead of ending the test).
TEST(DiskReliability, FlippedPagesAndBlobHeadersGiveCleanErrors) {
    DbFile f;
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
    }
    AppendRows(f.Name, 0, 150);
    int32_t pageSize = 0;
    {
        Connection c(f.Name, false);
        pageSize = c.Db->DiskPageManager()->PageSize;
    }
    const std::vector<uint8_t> pristine = disktest::ReadAll(f.Name);
    const int64_t pages = (static_cast<int64_t>(pristine.size()) - diskpages::Page0) / pageSize;
    ASSERT_GT(pages, 10);
    // BLOB pages (type 11): their data area opens with the first entry's header.
    std::vector<int64_t> blobPages;
    for (int64_t p = 0; p < pages; ++p) {
        const size_t at = static_cast<size_t>(diskpages::Page0 + p * pageSize);
        if (pristine[at + 8] == 11 && pristine[at + 9] == 0) blobPages.push_back(p);
    }
    ASSERT_FALSE(blobPages.empty());

    std::mt19937 rng(0xF11B);
    const auto deadline = DeadlineIn(15);
    std::map<int, int> outcomes;  // 10 read whole, 11 engine error, else a fault
    int cases = 0;
    while (Clock::now() < deadline) {
        std::vector<uint8_t> bytes = pristine;
        const int kind = static_cast<int>(rng() % 3);
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            int64_t page = static_cast<int64_t>(rng() % static_cast<uint32_t>(pages));
            int64_t offset = 0;
            if (kind == 0) {
                offset = rng() % 40;  // the page header
            } else if (kind == 1) {
                page = blobPages[rng() % blobPages.size()];
                offset = 40 + rng() % 64;  // count and the first BLOB headers / large locator
            } else {
                offset = rng() % static_cast<uint32_t>(pageSize);
            }
            const size_t at = static_cast<size_t>(diskpages::Page0 + page * pageSize + offset);
            bytes[at] = static_cast<uint8_t>(rng() % 3 == 0 ? bytes[at] ^ 0x80 : rng());
        }
        disktest::WriteAll(f.Name, bytes);
        const int rc = disktest::InChild([&] {
            alarm(20);  // a walk that never ends counts as a fault
#if !defined(__SANITIZE_ADDRESS__)
            // Without the address sanitizer a huge allocation would simply succeed.
            rlimit limit{size_t{2} << 30, size_t{2} << 30};
            setrlimit(RLIMIT_AS, &limit);
#endif
            try {
                Connection c(f.Name, false);
                c.Db->SetRecoveryMode(c.S.NeedsRepair != 0 ? 1 : 0);
                Cursor log(c, "NAVTEXLOG", false, c.S.NeedsRepair != 0);
                log.Disk->CheckRecordCount(c.S.SessionID);
                log.Walk("IDX_DT");
                log.SetIndexName("");
                log.ResetToBeginning();
                while (log.Disk->GetRecord(&log, gmNext) == grOK) log.GetText(fText);
                log.FillLog(5000, TextOf(5000));
                log.Append();
                return 10;
            } catch (const EORQException&) {
                return 11;
            } catch (const std::bad_alloc&) {
                return 12;
            } catch (...) {
                return 13;
            }
        });
        ++cases;
        ++outcomes[rc];
        EXPECT_TRUE(rc == 10 || rc == 11) << "case " << cases << " (kind " << kind << ") ended with " << rc;
    }
    std::printf("flipped bytes: %d cases, %d read whole, %d engine errors, %d other\n", cases, outcomes[10],
                outcomes[11], cases - outcomes[10] - outcomes[11]);
    EXPECT_GT(cases, 20);
}
