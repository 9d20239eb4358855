// Data-changing statements against another process on a multi-user file: a forked child
// holding the table's post lock makes UPDATE and DELETE raise 20223 and INSERT ... SELECT
// (and a VALUES list of several rows) 20224 after their tries (UPDATE after 15 attempts 100 ms apart, each 1,125 tries 80 ms
// apart), the table unchanged; the statement runs as soon as the lock goes; two
// processes updating disjoint rows of one table lose nothing; an INSERT ... SELECT takes
// its source's columns as the select list shows them; and one whose copy of the source
// fails raises 10403 with the target untouched.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ForkPipe.h"
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableLocks.h"
#include "engine/storage/ORQTempEngine.h"

using namespace ratest;

namespace {

constexpr int kRows = 20;  // ids 1..20; group 1 holds 1..10, group 2 the rest

std::unique_ptr<TORQDatabase> Connect(const std::string& Name, const std::string& Path, bool MultiUser = true) {
    auto db = std::make_unique<TORQDatabase>(nullptr);
    db->SetDatabaseName(Name);
    db->SetDatabaseFileName(Path);
    db->MultiUser = MultiUser;
    db->SilentMode = true;
    db->Open();
    return db;
}

int32_t Exec(const std::string& Database, const std::string& Text) {
    TORQQuery q;
    q.SetDatabaseName(Database);
    q.SQL().SetText(Text);
    q.ExecSQL();
    return q.RowsAffected();
}

int64_t Value(const std::string& Database, const std::string& Text) {
    TORQQuery q;
    q.SetDatabaseName(Database);
    q.SQL().SetText(Text);
    q.Open();
    return q.Fields()[0]->IsNull() ? -1 : q.Fields()[0]->AsLargeInt();
}

// Every row of ITEMS as "id:grp:v:n", in id order.
std::string Snapshot(const std::string& Database) {
    TORQQuery q;
    q.SetDatabaseName(Database);
    q.SQL().SetText("select id, grp, v, n from items order by id");
    q.Open();
    std::string out;
    for (q.First(); !q.Eof(); q.Next()) {
        for (int i = 0; i < 4; ++i) out += (i ? ":" : "") + q.Fields()[i]->AsString();
        out += " ";
    }
    return out;
}

// A sleep sequence as runs of equal lengths: "80x1124 100x1 80x1124".
std::string Runs(const std::vector<int32_t>& Waits) {
    std::string out;
    for (std::size_t i = 0; i < Waits.size();) {
        std::size_t j = i;
        while (j < Waits.size() && Waits[j] == Waits[i]) ++j;
        out += (out.empty() ? "" : " ") + std::to_string(Waits[i]) + "x" + std::to_string(j - i);
        i = j;
    }
    return out;
}

// Attempts of 1,125 post-lock tries (1,124 waits of 80 ms), 100 ms between attempts.
std::string TriedOut(int Attempts) {
    std::string out;
    for (int a = 0; a < Attempts; ++a) out += (a ? " 100x1 " : "") + std::string("80x1124");
    return out;
}

// What running F raised: its native code (0 when nothing, -1 for another class) and text.
struct TOutcome {
    int32_t Code = 0;
    std::string Text;
};
TOutcome Outcome(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return {e.NativeError(), e.what()};
    } catch (const std::exception& e) {
        return {-1, e.what()};
    }
    return {};
}

int Reap(pid_t Pid) {
    int status = 0;
    if (waitpid(Pid, &status, 0) != Pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child process connected to the file that holds ITEMS's locks on command. It starts
// holding the in-transaction lock (kind 3), which keeps out the post lock but neither the
// table's open nor its reads: a statement gets its table open and its rows read, and its
// first try for the post lock is refused. At the statement's first wait the child takes
// the post lock itself and lets kind 3 go ('P'), so every later try meets the post lock
// alone; 'R' lets that go. Each command is answered with 0 once done. It is made before
// the parent connects: a child sharing the parent's open file would share its locks.
class LockHolder {
public:
    explicit LockHolder(const std::string& Path) {
        std::fflush(nullptr);
        FPid = fork();
        if (FPid == 0) {
            FCommands.KeepReading();
            FAnswers.KeepWriting();
            _exit(Child(Path));
        }
        // The commands' read end stays open here too: a command to a dead child is no
        // broken pipe, and its answer reads as an end.
        FAnswers.KeepReading();
        Ready = FAnswers.Wait() == 0;
    }
    ~LockHolder() { Finish(); }
    bool Command(char C) {
        FCommands.Send(C);
        return FAnswers.Wait() == 0;
    }
    // The child's exit code: 0 when every command was carried out.
    int Finish() {
        if (FPid <= 0) return FExit;
        FCommands.Send('Q');
        FExit = Reap(FPid);
        FPid = -1;
        return FExit;
    }
    bool Ready = false;

private:
    int Child(const std::string& Path) {
        int rc = 0;
        try {
            auto db = Connect("HOLDER", Path);
            TORQTable t;
            t.SetDatabaseName("HOLDER");
            t.SetTableName("ITEMS");
            t.Open();
            TORQCursor* c = t.Cursor();
            bool post = false;
            const bool held = c->LockTableForSession(ltTransaction, 1, 0);
            FAnswers.Send(held ? 0 : 1);
            if (!held) return 2;
            for (int command; (command = FCommands.Wait()) != 'Q' && command >= 0;) {
                bool ok = false;
                if (command == 'P' && !post) {
                    ok = c->LockTableForSession(ltPost, 1, 0) && c->UnlockTableForSession(ltTransaction);
                    post = ok;
                } else if (command == 'R' && post) {
                    ok = c->UnlockTableForSession(ltPost);
                    post = !ok;
                }
                if (!ok) rc = 4;
                FAnswers.Send(ok ? 0 : 1);
            }
            if (post) c->UnlockTableForSession(ltPost);
            t.Close();
            db->Close();
        } catch (...) {
            FAnswers.Send(1);
            return 3;
        }
        return rc;
    }

    TPipe FCommands, FAnswers;
    pid_t FPid = -1;
    int FExit = 0;
};

class ChangeLocks : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Path = Dir.File("SHARED.ORQ");
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName("SETUP");
        db->SetDatabaseFileName(Path);
        db->SilentMode = true;
        db->CreateDatabase();
        db->Open();
        Exec("SETUP", "create table items (id integer not null, grp integer, v integer, n integer, primary key (id))");
        Exec("SETUP", "create table src (id integer, grp integer, v integer, n integer)");
        std::string values;
        for (int i = 1; i <= kRows; ++i)
            values += (i > 1 ? "," : "") + ("(" + std::to_string(i) + "," + (i <= 10 ? "1" : "2") + "," +
                                            std::to_string(i) + ",0)");
        Exec("SETUP", "insert into items values " + values);
        Exec("SETUP", "insert into src values (101,3,1,0),(102,3,2,0),(103,3,3,0),(104,3,4,0),(105,3,5,0)");
        Before = Snapshot("SETUP");
        db->Close();
    }
    void TearDown() override {
        SetEngineSleeper(nullptr);
        GlobalMemoryManager().SetMemoryLimit(0);
        EngineTest::TearDown();
    }

    disktest::TempDir Dir;
    std::string Path;
    std::string Before;
};

const char* const kUpdate = "update items set v = v + 1 where grp = 1";
const char* const kDelete = "delete from items where grp = 1";
const char* const kInsertSelect = "insert into items select id, grp, v, n from src";

TEST_F(ChangeLocks, AnotherProcessHoldingThePostLockExhaustsTheTries) {
    struct TCase {
        const char* Sql;
        int32_t Code;
        int Attempts;
    };
    const TCase cases[] = {{kUpdate, 20223, 15},
                           {kDelete, 20223, 1},
                           {kInsertSelect, 20224, 1},
                           {"insert into items values (201, 5, 0, 0), (202, 5, 0, 0)", 20224, 1}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Sql);
        LockHolder holder(Path);
        ASSERT_TRUE(holder.Ready);
        auto db = Connect("PARENT", Path);
        std::vector<int32_t> waits;
        bool swapped = true;
        SetEngineSleeper([&](int32_t Ms) {
            waits.push_back(Ms);
            if (waits.size() == 1) swapped = holder.Command('P');
        });
        const TOutcome failed = Outcome([&] { Exec("PARENT", c.Sql); });
        SetEngineSleeper(nullptr);
        EXPECT_TRUE(swapped);
        EXPECT_EQ(failed.Code, c.Code);
        EXPECT_NE(failed.Text.find("Table is locked"), std::string::npos) << failed.Text;
        EXPECT_EQ(Runs(waits), TriedOut(c.Attempts));
        ASSERT_TRUE(holder.Command('R'));
        EXPECT_EQ(holder.Finish(), 0);
        EXPECT_EQ(Snapshot("PARENT"), Before);
        db->Close();
    }
}

// The lock goes partway through the tries: the next try takes it, the waits stop and the
// statement changes what it should; an UPDATE whose first attempt ran out of tries
// succeeds in its second and reports that attempt's rows.
TEST_F(ChangeLocks, TheStatementRunsOnceThePostLockIsGone) {
    struct TCase {
        const char* Sql;
        std::size_t ReleaseAfter;  // waits
        const char* Waits;
        int32_t Rows;
        const char* Check;
        int64_t Expected;
    };
    const TCase cases[] = {
        {kUpdate, 300, "80x300", 10, "select sum(v) from items where grp = 1", 55 + 10},
        {kUpdate, 1124 + 1 + 40, "80x1124 100x1 80x40", 10, "select sum(v) from items where grp = 1", 55 + 20},
        {kInsertSelect, 700, "80x700", 5, "select count(*) from items where grp = 3", 5},
        {kDelete, 1000, "80x1000", 10, "select count(*) from items where grp = 1", 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Sql) + " released after " + std::to_string(c.ReleaseAfter));
        LockHolder holder(Path);
        ASSERT_TRUE(holder.Ready);
        auto db = Connect("PARENT", Path);
        std::vector<int32_t> waits;
        bool commands = true;
        SetEngineSleeper([&](int32_t Ms) {
            waits.push_back(Ms);
            if (waits.size() == 1) commands = holder.Command('P') && commands;
            if (waits.size() == c.ReleaseAfter) commands = holder.Command('R') && commands;
        });
        int32_t rows = -1;
        const TOutcome run = Outcome([&] { rows = Exec("PARENT", c.Sql); });
        SetEngineSleeper(nullptr);
        EXPECT_TRUE(commands);
        EXPECT_EQ(holder.Finish(), 0);
        EXPECT_EQ(run.Code, 0) << run.Text;
        EXPECT_EQ(Runs(waits), c.Waits);
        EXPECT_EQ(rows, c.Rows);
        EXPECT_EQ(Value("PARENT", c.Check), c.Expected);
        if (c.Sql == kDelete) {
            EXPECT_EQ(Value("PARENT", "select count(*) from items"), kRows - 10 + 5);
        }
        db->Close();
    }
}

// Two processes update their own halves of one table many times at once, each statement
// reading the rows it changes (n = n + 1): every row ends with its updater's last value
// and every update counted, none lost to the other process's writes.
TEST_F(ChangeLocks, TwoProcessesUpdatingDisjointRowsLoseNothing) {
    constexpr int kRounds = 25;
    TPipe ready, go;
    pid_t children[2];
    for (int g = 0; g < 2; ++g) {
        std::fflush(nullptr);
        children[g] = fork();
        if (children[g] != 0) continue;
        go.KeepReading();
        int rc = 0;
        bool sent = false;
        try {
            // Contention waits cost a tenth of their time here.
            SetEngineSleeper([](int32_t Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms / 10 + 1)); });
            auto mine = Connect("WORKER", Path);
            ready.Send();
            sent = true;
            ready.Drop(1);
            if (go.Wait() < 0) _exit(5);
            const std::string group = std::to_string(g + 1);
            for (int r = 1; r <= kRounds && rc == 0; ++r)
                if (Exec("WORKER", "update items set v = id * 1000 + " + std::to_string(r) +
                                       ", n = n + 1 where grp = " + group) != 10)
                    rc = 2;
            mine->Close();
        } catch (const std::exception& e) {
            rc = 3;
            std::fprintf(stderr, "worker %d: %s\n", g + 1, e.what());
        } catch (...) {
            rc = 4;
        }
        if (!sent) ready.Send(0);
        _exit(rc);
    }
    ready.KeepReading();
    const bool started = ready.Wait() == 1 && ready.Wait() == 1;
    go.Send();
    go.Send();
    for (int g = 0; g < 2; ++g)
        EXPECT_EQ(Reap(children[g]), 0) << "worker " << g + 1 << ": 2 a wrong row count, 3 a raise, 4 another";
    ASSERT_TRUE(started);
    auto db = Connect("PARENT", Path);
    std::string expected;
    for (int i = 1; i <= kRows; ++i)
        expected += std::to_string(i) + ":" + (i <= 10 ? "1" : "2") + ":" + std::to_string(i * 1000 + kRounds) + ":" +
                    std::to_string(kRounds) + " ";
    EXPECT_EQ(Snapshot("PARENT"), expected);
    db->Close();
}

// The source result is copied into a temporary table before it is inserted: the copy
// holds the select list's columns in their order, under the names the result shows, and
// nothing else (not an ORDER BY column left out of the list).
TEST_F(ChangeLocks, InsertSelectTakesTheSelectListAsShown) {
    struct TCase {
        const char* Sql;
        const char* Rows;  // id:grp:v:n by id, N for Null
    };
    const TCase cases[] = {
        {"insert into dst select id + 300, grp, v, n from src where id <= 102", "401:3:1:0 402:3:2:0 "},
        {"insert into dst select id + 300 as x, grp as g, v, n from src where id <= 102", "401:3:1:0 402:3:2:0 "},
        {"insert into dst (n, v, grp, id) select grp, v, n, id from src where id <= 102 order by id desc",
         "101:0:1:3 102:0:2:3 "},
        {"insert into dst (id, v) select id, grp from src where id <= 102 order by v desc", "101:N:3:N 102:N:3:N "},
        {"insert into dst select max(id) + 700, grp, count(*), sum(v) from src group by grp", "805:3:5:15 "},
    };
    auto db = Connect("PARENT", Path, false);
    Exec("PARENT", "create table dst (id integer, grp integer, v integer, n integer)");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Sql);
        Exec("PARENT", "delete from dst");
        const TOutcome run = Outcome([&] { Exec("PARENT", c.Sql); });
        EXPECT_EQ(run.Code, 0) << run.Text;
        TORQQuery q;
        q.SetDatabaseName("PARENT");
        q.SQL().SetText("select id, grp, v, n from dst order by id");
        q.Open();
        std::string rows;
        for (q.First(); !q.Eof(); q.Next()) {
            for (int i = 0; i < 4; ++i)
                rows += (i ? ":" : "") + (q.Fields()[i]->IsNull() ? std::string("N") : q.Fields()[i]->AsString());
            rows += " ";
        }
        EXPECT_EQ(rows, c.Rows);
    }
    db->Close();
}

// The "TmpTableForInsert" copies the temporary database holds.
int TemporaryCopies() {
    int n = 0;
    TORQTemporaryDatabaseData& temp = TemporaryDatabase();
    for (int32_t i = 0; i < temp.TableDataCount(); ++i)
        if (temp.TableDataAt(i)->TableName.rfind("TmpTableForInsert{", 0) == 0) ++n;
    return n;
}

// An INSERT ... SELECT under an engine memory limit raised step by step from what the
// engine holds before it: some limit lets the source result be made but not its copy
// into the statement's temporary table, which raises 10403 with the copy's error. Every
// failure leaves the target as it was and no temporary table behind; the first limit
// the statement fits under inserts every row.
TEST_F(ChangeLocks, AFailedCopyOfTheSourceRaises10403AndChangesNothing) {
    constexpr int kSourceRows = 800;
    auto db = Connect("PARENT", Path, false);
    Exec("PARENT", "create table big (id integer, grp integer, v integer, n integer)");
    {
        TORQTable t;
        t.SetDatabaseName("PARENT");
        t.SetTableName("BIG");
        t.Open();
        for (int i = 1; i <= kSourceRows; ++i) {
            t.Append();
            for (int f = 0; f < 4; ++f) t.Fields()[f]->SetAsInteger(f == 0 ? 1000 + i : f == 1 ? 4 : i);
            t.Post();
        }
        t.Close();
    }
    const std::string prefix = "Error importing table. Cannot copy data due to error: ";
    std::set<int32_t> codes;
    int imports = 0;
    bool inserted = false;
    const int64_t base = GlobalMemoryManager().UsedMemory();
    for (int64_t extra = 0; !inserted && extra <= 16 * 1024 * 1024; extra += 2048) {
        SCOPED_TRACE("limit " + std::to_string(base + extra));
        GlobalMemoryManager().SetMemoryLimit(base + extra);
        const TOutcome run = Outcome([&] { Exec("PARENT", "insert into items select * from big"); });
        GlobalMemoryManager().SetMemoryLimit(0);
        EXPECT_EQ(TemporaryCopies(), 0);
        codes.insert(run.Code);
        if (run.Code == 0) {
            inserted = true;
            EXPECT_EQ(Value("PARENT", "select count(*) from items where grp = 4"), kSourceRows);
            EXPECT_EQ(Value("PARENT", "select sum(v) from items where grp = 4"), kSourceRows * (kSourceRows + 1) / 2);
            break;
        }
        if (run.Code == 10403) {
            ++imports;
            EXPECT_EQ(run.Text.rfind(prefix, 0), 0u) << run.Text;
            EXPECT_NE(run.Text.find("Error copying table \"TmpTableForInsert{"), std::string::npos)
                << "the copy's own error: " << run.Text;
            EXPECT_NE(run.Text.find("\r\n - Native error: 10403"), std::string::npos) << run.Text;
        }
        EXPECT_EQ(Snapshot("PARENT"), Before);
    }
    std::string seen;
    for (int32_t c : codes) seen += std::to_string(c) + " ";
    EXPECT_TRUE(inserted) << seen;
    EXPECT_GT(imports, 0) << "no limit stopped the copy alone; codes seen: " << seen;
    db->Close();
}

}  // namespace
