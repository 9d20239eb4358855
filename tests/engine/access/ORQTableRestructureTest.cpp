// Restructuring a table: the station table widened as start-up does, renamed and dropped
// fields, failures that leave the table as it was, injected file failures at every call
// and processes killed mid-restructure, and importing another dataset.
#include <algorithm>
#include <csignal>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "ORQDataSetTestFixture.h"

#include "../../classlib/TestDataSet.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQTable.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDatabaseFile.h"

using namespace dstest;
using namespace classlib;

namespace {

TORQAdvFieldDef* AddAdv(TORQTable& T, const std::string& Name, uint8_t Type, int32_t Size = 0) {
    TORQAdvFieldDef* d = T.AdvFieldDefs().Add();
    d->Name = Name;
    d->DataType = Type;
    d->Size = Size;
    return d;
}

void CreateStations(const std::string& Db, int Rows, int Width = 100) {
    TORQTable t;
    t.SetDatabaseName(Db);
    t.SetTableName("STATIONS");
    AddAdv(t, "NAVAREA", aftSmallInt);
    AddAdv(t, "IDLETTER", aftVarChar, 1);
    AddAdv(t, "LOCATION", aftVarChar, 50);
    AddAdv(t, "IDTEXT", aftVarChar, Width);
    AddAdv(t, "UNIQUEID", aftVarChar, Width);
    AddAdv(t, "FREQ", aftInteger);
    TORQAdvIndexDef* i = t.AdvIndexDefs().Add();
    i->Name = "IDX_NAVLOC";
    i->Fields = "NAVAREA;IDLETTER;LOCATION";
    t.CreateTable();
    t.Open();
    for (int r = 0; r < Rows; ++r) {
        t.Append();
        t.FieldByName("NAVAREA")->SetAsInteger(r % 16 + 1);
        t.FieldByName("IDLETTER")->SetAsString(std::string(1, static_cast<char>('A' + r % 26)));
        t.FieldByName("LOCATION")->SetAsString("LOC" + std::to_string(r));
        t.FieldByName("IDTEXT")->SetAsString(std::string(static_cast<size_t>(Width), 'x').substr(0, 90) +
                                             std::to_string(r));
        t.FieldByName("UNIQUEID")->SetAsString("U" + std::to_string(r));
        t.FieldByName("FREQ")->SetAsInteger(r);
        t.Post();
    }
}

// FREQ -> IDTEXT of every record, and the walk order on IDX_NAVLOC.
struct TSnapshot {
    std::map<int, std::string> Ids;
    std::vector<int> Order;
};

TSnapshot Snap(const std::string& Db, const char* Text = "IDTEXT") {
    TORQTable t;
    t.SetDatabaseName(Db);
    t.SetTableName("STATIONS");
    t.SetIndexName("IDX_NAVLOC");
    t.Open();
    TSnapshot s;
    for (t.First(); !t.Eof(); t.Next()) {
        const int f = t.FieldByName("FREQ")->AsInteger();
        s.Ids[f] = t.FieldByName(Text)->AsString();
        s.Order.push_back(f);
    }
    return s;
}

std::vector<std::string> Leftovers(TORQDatabase& Db) {
    std::vector<std::string> names, out;
    Db.GetTableNames(names);
    for (const auto& n : names)
        if (n.rfind("OLD_", 0) == 0 || n.rfind("NEW_", 0) == 0) out.push_back(n);
    return out;
}

// Start-up's widening: Find, Size, RestructureTableSimple, reopen.
bool Widen(TORQTable& T, int Size) {
    T.Close();
    T.FieldDefs().Update();
    T.RestructureFieldDefs().Find("IDTEXT")->Size = Size;
    T.RestructureFieldDefs().Find("UNIQUEID")->Size = Size;
    const bool ok = T.RestructureTableSimple();
    T.Open();
    return ok;
}

class Restructure : public EngineTest {};

TEST_F(Restructure, WideningKeepsEveryRecordTheIndexOrderAndLeavesNoInterimTable) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 500);
    const TSnapshot before = Snap(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    ASSERT_TRUE(Widen(t, 300));
    EXPECT_EQ(t.FieldByName("IDTEXT")->Size(), 300);
    EXPECT_EQ(t.FieldByName("UNIQUEID")->Size(), 300);
    // A value of the new width is stored whole.
    t.First();
    t.Edit();
    t.FieldByName("IDTEXT")->SetAsString(std::string(300, 'w'));
    const int first = t.FieldByName("FREQ")->AsInteger();
    t.Post();
    t.Close();
    TSnapshot after = Snap(env.Name());
    EXPECT_EQ(after.Ids[first], std::string(300, 'w'));
    after.Ids[first] = before.Ids.at(first);
    EXPECT_EQ(after.Ids, before.Ids);
    EXPECT_EQ(after.Order, before.Order);
    EXPECT_TRUE(Leftovers(*env.Db).empty());
}

TEST_F(Restructure, ARenamedFieldKeepsItsDataAndADroppedOneGoes) {
    TEngineEnv env(ekMemory);
    CreateStations(env.Name(), 50);
    const TSnapshot before = Snap(env.Name());
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    t.FieldDefs().Update();
    TORQAdvFieldDef* d = t.RestructureFieldDefs().Find("IDTEXT");
    d->Name = "IDTEXT2";
    d->Size = 200;
    t.RestructureFieldDefs().Delete("UNIQUEID");
    std::string err;
    ASSERT_TRUE(t.RestructureTable(err)) << err;
    EXPECT_EQ(Snap(env.Name(), "IDTEXT2").Ids, before.Ids);
    t.Open();
    EXPECT_EQ(t.FindField("UNIQUEID"), nullptr);
    EXPECT_EQ(t.FindField("IDTEXT"), nullptr);
}

TEST_F(Restructure, AFailingCopyLeavesTheTableAsItWas) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 40);
    const TSnapshot before = Snap(env.Name());
    struct Case {
        const char* Name;
        std::function<void(TORQTable&)> Change;
        const char* Text;
    } cases[] = {
        {"text to integer", [](TORQTable& T) { T.RestructureFieldDefs().Find("LOCATION")->DataType = aftInteger; },
         "Record #1"},
        {"unique over duplicates",
         [](TORQTable& T) {
             TORQAdvIndexDef* i = T.RestructureIndexDefs().Add();
             i->Name = "IDX_U";
             i->Fields = "NAVAREA";
             i->Options = ixUnique;
         },
         "was not imported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("STATIONS");
        t.FieldDefs().Update();
        t.IndexDefs().Update();
        c.Change(t);
        std::string err;
        EXPECT_FALSE(t.RestructureTable(err));
        EXPECT_NE(err.find(c.Text), std::string::npos) << err;
        const TSnapshot now = Snap(env.Name());
        EXPECT_EQ(now.Ids, before.Ids);
        EXPECT_TRUE(Leftovers(*env.Db).empty());
    }
}

TEST_F(Restructure, InATransactionItIsRefusedFirst) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 5);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    t.FieldDefs().Update();
    env.Db->StartTransaction();
    std::string err;
    EXPECT_EQ(NativeCode([&] { t.RestructureTable(err); }), 20181);
    env.Db->Rollback();
    EXPECT_EQ(Snap(env.Name()).Ids.size(), 5u);
}

// Every interim state a cut leaves is resolved by the next open.
TEST_F(Restructure, LeftoversOfACutRestructureAreResolved) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 10);
    auto rename = [&](const std::string& From, const std::string& To) {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName(From);
        t.RenameTable(To);
    };
    auto copy = [&](const std::string& To) {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("STATIONS");
        std::string e;
        bool go = true;
        ASSERT_TRUE(t.CopyTable(To, e, go));
    };
    const std::string newName = MakeUniqueName("NEW_STATIONS_");
    const std::string oldName = MakeUniqueName("OLD_STATIONS_");
    // NEW beside N: dropped.
    copy(newName);
    EXPECT_EQ(Snap(env.Name()).Ids.size(), 10u);
    TORQTable probe;
    probe.SetDatabaseName(env.Name());
    probe.SetTableName("STATIONS");
    EXPECT_TRUE(probe.ResolveRestructureLeftovers());
    EXPECT_TRUE(Leftovers(*env.Db).empty());
    // OLD and NEW without N: NEW becomes N.
    copy(newName);
    rename("STATIONS", oldName);
    EXPECT_EQ(Snap(env.Name()).Ids.size(), 10u);  // the open resolves it
    EXPECT_TRUE(Leftovers(*env.Db).empty());
    // OLD beside N: dropped.
    copy(oldName);
    EXPECT_TRUE(probe.ResolveRestructureLeftovers());
    EXPECT_TRUE(Leftovers(*env.Db).empty());
    EXPECT_EQ(Snap(env.Name()).Ids.size(), 10u);
}

// Each file call of a restructure fails in turn: the table keeps all its records in
// one structure or the other, and after a reopen no interim table is left.
TEST_F(Restructure, AFailureAtAnyFileCallLosesNothing) {
    disktest::TempDir dir;
    const std::string path = dir.File("TILO_DB.ORQ");
    int passedAt = -1, runs = 0, needsRepair = 0, leftoversMet = 0, total = 0;
    // Every run starts from a copy of one file holding the table.
    const std::string original = dir.File("ORIGINAL.ORQ");
    {
        {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = original;
            s.CreateDatabase();
        }
        TORQDatabase db(nullptr);
        db.SetDatabaseName("ORQDB");
        db.SetDatabaseFileName(original);
        db.Open();
        CreateStations("ORQDB", 50);
    }
    auto once = [&](int n, int err) {
        {
            std::filesystem::copy_file(original, path, std::filesystem::copy_options::overwrite_existing);
            bool ok = false;
            {
                TORQDatabase db(nullptr);
                db.SetDatabaseName("ORQDB");
                db.SetDatabaseFileName(path);
                db.Open();
                TORQTable t;
                t.SetDatabaseName("ORQDB");
                t.SetTableName("STATIONS");
                t.FieldDefs().Update();
                t.RestructureFieldDefs().Find("IDTEXT")->Size = 300;
                int calls = 0;
                SetFileFaultHook([&](TORQFileCall Call, const std::string&) {
                    if (Call == TORQFileCall::Lock || Call == TORQFileCall::Unlock) return 0;
                    return ++calls == n ? err : 0;
                });
                try {
                    std::string e;
                    ok = t.RestructureTable(e);
                } catch (...) {
                }
                SetFileFaultHook(nullptr);
                if (calls < n) passedAt = n;
                total = calls;
                try {
                    db.Close();
                } catch (...) {
                }
            }
            SCOPED_TRACE("call " + std::to_string(n) + " errno " + std::to_string(err));
            TORQDatabase db(nullptr);
            db.SetDatabaseName("ORQDB");
            db.SetDatabaseFileName(path);
            db.Open();
            std::vector<std::string> names;
            db.GetTableNames(names);
            const bool hasN = std::find(names.begin(), names.end(), "STATIONS") != names.end();
            if (db.ReadOnly()) {
                // A torn commit: the file waits for its repair, which resolves the
                // leftovers; the records are in N or, renamed away, in the new table.
                ++needsRepair;
                std::string holder = "STATIONS";
                if (!hasN)
                    for (const auto& nm : names)
                        if (nm.rfind("NEW_", 0) == 0) holder = nm;
                TORQTable t;
                t.SetDatabaseName("ORQDB");
                t.SetTableName(holder);
                t.Open();
                EXPECT_EQ(t.RecordCount(), 50);
                return;
            }
            if (!Leftovers(db).empty()) ++leftoversMet;
            const TSnapshot s = Snap("ORQDB");
            ASSERT_EQ(s.Ids.size(), 50u);
            TORQTable t;
            t.SetDatabaseName("ORQDB");
            t.SetTableName("STATIONS");
            t.Open();
            const int32_t size = t.FieldByName("IDTEXT")->Size();
            EXPECT_TRUE(size == 100 || size == 300);
            if (ok) {
                EXPECT_EQ(size, 300);
            }
            t.Close();
            t.ResolveRestructureLeftovers();
            EXPECT_TRUE(Leftovers(db).empty());
            ++runs;
        }
    };
    // A run without failure counts the calls; then each call fails in turn (every call
    // of the swap at the end, a sample of the copy's), with EIO and with ENOSPC.
    once(1 << 30, EIO);
    ASSERT_GT(total, 0);
    const int calls = total;
    for (int n = 1; n <= calls; n += (n < 30 || n > calls - 40 ? 1 : std::max(1, calls / 30)))
        for (int err : {EIO, ENOSPC}) once(n, err);
    std::printf("fault runs: %d clean reopen, %d needing repair, %d with leftovers resolved\n", runs, needsRepair,
                leftoversMet);
    EXPECT_GT(passedAt, 0) << "the restructure never ran through";
}

// What a reopen of Path finds after a restructure of STATIONS that failed or was cut: a
// file left needing repair is repaired first (the repair resolves what the cut left in
// its copy). Every record under the one name STATIONS, in the former or the new width,
// and no other table listed. Returns the width.
int32_t ExpectOneStationTable(const std::string& Path, const TSnapshot& Want) {
    bool repaired = false;
    for (;;) {
        TORQDatabase db(nullptr);
        db.SetDatabaseName("ORQDB");
        db.SetDatabaseFileName(Path);
        db.SilentMode = true;
        db.Open();
        if (db.ReadOnly()) {
            EXPECT_FALSE(repaired) << "the repair left the file needing one";
            if (repaired) return -1;
            db.Close();
            std::string text;
            db.RepairDatabase(text);
            repaired = true;
            continue;
        }
        std::vector<std::string> names;
        db.GetTableNames(names);
        EXPECT_EQ(names, std::vector<std::string>{"STATIONS"});
        const TSnapshot s = Snap("ORQDB");
        EXPECT_EQ(s.Ids, Want.Ids);
        EXPECT_EQ(s.Order, Want.Order);
        TORQTable t;
        t.SetDatabaseName("ORQDB");
        t.SetTableName("STATIONS");
        t.Open();
        return t.FieldByName("IDTEXT")->Size();
    }
}

// A file holding STATIONS (50 records, IDTEXT 100 wide), and what it holds.
struct TStationFile {
    disktest::TempDir Dir;
    std::string Original = Dir.File("ORIGINAL.ORQ");
    std::string Path = Dir.File("TILO_DB.ORQ");
    TSnapshot Want;
    TStationFile() {
        {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = Original;
            s.CreateDatabase();
        }
        TORQDatabase db(nullptr);
        db.SetDatabaseName("ORQDB");
        db.SetDatabaseFileName(Original);
        db.Open();
        CreateStations("ORQDB", 50);
        Want = Snap("ORQDB");
    }
    // A fresh copy at Path, opened in Db, with a restructure widening IDTEXT to 300 set
    // up in T.
    void Ready(TORQDatabase& Db, TORQTable& T) const {
        std::filesystem::copy_file(Original, Path, std::filesystem::copy_options::overwrite_existing);
        Db.SetDatabaseName("ORQDB");
        Db.SetDatabaseFileName(Path);
        Db.Open();
        T.SetDatabaseName("ORQDB");
        T.SetTableName("STATIONS");
        T.FieldDefs().Update();
        T.RestructureFieldDefs().Find("IDTEXT")->Size = 300;
    }
};

// The restructure's syncs, and the writes of its swap (the last ones it makes), by
// their number in a clean run.
struct TCallPlan {
    int Syncs = 0, Writes = 0;
    std::vector<std::pair<TORQFileCall, int>> Points() const {
        std::vector<std::pair<TORQFileCall, int>> out;
        for (int n = 1; n <= Syncs; ++n) out.emplace_back(TORQFileCall::Sync, n);
        for (int n = std::max(1, Writes - 30); n <= Writes; ++n) out.emplace_back(TORQFileCall::Write, n);
        return out;
    }
};

TCallPlan CountCalls(const TStationFile& F) {
    TCallPlan plan;
    TORQDatabase db(nullptr);
    TORQTable t;
    F.Ready(db, t);
    SetFileFaultHook([&](TORQFileCall Call, const std::string&) {
        plan.Syncs += Call == TORQFileCall::Sync;
        plan.Writes += Call == TORQFileCall::Write;
        return 0;
    });
    std::string e;
    const bool ok = t.RestructureTable(e);
    SetFileFaultHook(nullptr);
    EXPECT_TRUE(ok) << e;
    return plan;
}

// Each sync of a restructure, and each write of its renames and drop, fails once and then
// for good: the operation answers False without raising, says which structure the table
// has, and the file holds the table under its name and nothing else.
TEST_F(Restructure, ASyncOrWriteFailingOnceOrForGoodLeavesOneTableUnderItsName) {
    const TStationFile f;
    const TCallPlan plan = CountCalls(f);
    ASSERT_GT(plan.Syncs, 4);
    std::map<std::string, int> outcomes;
    for (const auto& [call, n] : plan.Points()) {
        for (const bool forGood : {false, true}) {
            const std::string what = std::string(call == TORQFileCall::Sync ? "sync #" : "write #") +
                                     std::to_string(n) + (forGood ? " for good" : " once");
            SCOPED_TRACE(what);
            bool ok = false;
            std::string text, raised;
            {
                TORQDatabase db(nullptr);
                TORQTable t;
                f.Ready(db, t);
                int seen = 0;
                SetFileFaultHook([&](TORQFileCall Call, const std::string&) {
                    if (Call != call) return 0;
                    ++seen;
                    return (forGood ? seen >= n : seen == n) ? EIO : 0;
                });
                raised = Raised([&] { ok = t.RestructureTable(text); });
                SetFileFaultHook(nullptr);
                try {
                    db.Close();
                } catch (...) {
                }
            }
            EXPECT_EQ(raised, "");
            const int32_t width = ExpectOneStationTable(f.Path, f.Want);
            EXPECT_TRUE(width == 100 || width == 300) << width;
            if (ok) {
                EXPECT_EQ(width, 300);
            } else if (text.find("has its new structure") != std::string::npos) {
                EXPECT_EQ(width, 300) << text;
            } else if (text.find("keeps its former structure") != std::string::npos) {
                EXPECT_EQ(width, 100) << text;
            }
            ++outcomes[ok ? "done" : width == 300 ? "false, new" : "false, former"];
        }
    }
    for (const auto& [o, k] : outcomes) std::printf("[ outcome  ] %s: %d\n", o.c_str(), k);
    EXPECT_GT(outcomes["false, former"], 0);
}

// A child restructuring the table is killed at each of the restructure's syncs and at
// each write of its swap: the next open finds the table under its name, in one structure,
// with every record, and nothing else.
TEST_F(Restructure, KilledAtEachSyncOrSwapWriteItLeavesOneTableUnderItsName) {
    const TStationFile f;
    const TCallPlan plan = CountCalls(f);
    std::map<int32_t, int> widths;
    for (const auto& [call, n] : plan.Points()) {
        SCOPED_TRACE(std::string(call == TORQFileCall::Sync ? "sync #" : "write #") + std::to_string(n));
        std::filesystem::copy_file(f.Original, f.Path, std::filesystem::copy_options::overwrite_existing);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            try {
                TORQDatabase db(nullptr);
                TORQTable t;
                f.Ready(db, t);
                int seen = 0;
                SetFileFaultHook([&](TORQFileCall Call, const std::string&) {
                    if (Call == call && ++seen == n) kill(getpid(), SIGKILL);
                    return 0;
                });
                std::string e;
                t.RestructureTable(e);
            } catch (...) {
            }
            _exit(3);
        }
        ASSERT_GT(pid, 0);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child reached the call";
        ++widths[ExpectOneStationTable(f.Path, f.Want)];
    }
    EXPECT_GT(widths[100], 0);
    EXPECT_GT(widths[300], 0);
    EXPECT_EQ(widths.size(), 2u);
}

// A child restructures the table over and over and is killed at random points. After
// each kill the next open finds N with every record, in the old structure or the new,
// and no interim table once it resolved what the cut left. TILO_KILL_SECONDS sets the
// length of the run (3 s).
TEST_F(Restructure, AKilledRestructureNeverLosesTheTable) {
    const char* e = std::getenv("TILO_KILL_SECONDS");
    const double seconds = e != nullptr && std::atof(e) > 0 ? std::atof(e) : 3.0;
    constexpr int Rows = 2000;
    disktest::TempDir dir;
    const std::string path = dir.File("TILO_DB.ORQ");
    auto openDb = [&](TORQDatabase& Db) {
        Db.SetDatabaseName("ORQDB");
        Db.SetDatabaseFileName(path);
        Db.Open();
        if (auto* disk = dynamic_cast<TORQDiskDatabaseData*>(Db.Handle()->DatabaseData)) {
            disk->CommitBarriers = false;
            if (disk->DiskPageManager() != nullptr) disk->DiskPageManager()->CommitBarriers = false;
        }
    };
    auto fresh = [&] {
        std::filesystem::remove(path);
        {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = path;
            s.CreateDatabase();
        }
        TORQDatabase db(nullptr);
        openDb(db);
        CreateStations("ORQDB", Rows);
    };
    // Toggles IDTEXT between 100 and 300 wide.
    auto restructure = [&] {
        TORQTable t;
        t.SetDatabaseName("ORQDB");
        t.SetTableName("STATIONS");
        t.FieldDefs().Update();
        TORQAdvFieldDef* d = t.RestructureFieldDefs().Find("IDTEXT");
        d->Size = d->Size == 100 ? 300 : 100;
        return t.RestructureTableSimple();
    };
    fresh();
    const TSnapshot want = [&] {
        TORQDatabase db(nullptr);
        openDb(db);
        return Snap("ORQDB");
    }();
    // One restructure's length sets the span the kills fall in.
    const auto t0 = std::chrono::steady_clock::now();
    {
        TORQDatabase db(nullptr);
        openDb(db);
        ASSERT_TRUE(restructure());
    }
    const int64_t oneUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    std::mt19937 rng(40);
    int kills = 0, finished = 0, needsRepair = 0;
    std::map<std::string, int> states;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(int64_t(seconds * 1e6));
    while (std::chrono::steady_clock::now() < deadline) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fd[0]);
            try {
                TORQDatabase db(nullptr);
                openDb(db);
                for (;;) {
                    if (!restructure()) _exit(3);
                    const char done = 1;
                    if (write(fd[1], &done, 1) != 1) _exit(4);
                }
            } catch (...) {
            }
            _exit(2);
        }
        close(fd[1]);
        usleep(static_cast<useconds_t>(rng() % static_cast<uint64_t>(oneUs * 2 + 1)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself: " << WEXITSTATUS(status);
        char c;
        while (read(fd[0], &c, 1) == 1) ++finished;
        close(fd[0]);
        ++kills;

        bool rebuild = false;
        {
            TORQDatabase db(nullptr);
            openDb(db);
            std::vector<std::string> names;
            db.GetTableNames(names);
            std::string state;
            for (const char* kind : {"STATIONS", "OLD_", "NEW_"})
                for (const auto& n : names)
                    if (n == kind || (kind[3] == '_' && n.rfind(kind, 0) == 0)) {
                        state += std::string(state.empty() ? "" : "+") + (n == "STATIONS" ? "N" : n.substr(0, 3));
                        break;
                    }
            ++states[state];
            if (db.ReadOnly()) {
                // A torn commit waits for the database's repair; the records are whole in N
                // or, N renamed away, in the new table.
                ++needsRepair;
                std::string holder = "STATIONS";
                if (std::find(names.begin(), names.end(), "STATIONS") == names.end())
                    for (const auto& n : names)
                        if (n.rfind("NEW_", 0) == 0) holder = n;
                TORQTable t;
                t.SetDatabaseName("ORQDB");
                t.SetTableName(holder);
                t.Open();
                EXPECT_EQ(t.RecordCount(), Rows);
                rebuild = true;
            } else {
                SCOPED_TRACE("kill " + std::to_string(kills) + " state " + state);
                const TSnapshot now = Snap("ORQDB");
                ASSERT_EQ(now.Ids, want.Ids);
                EXPECT_EQ(now.Order, want.Order);
                TORQTable t;
                t.SetDatabaseName("ORQDB");
                t.SetTableName("STATIONS");
                t.Open();
                const int32_t size = t.FieldByName("IDTEXT")->Size();
                EXPECT_TRUE(size == 100 || size == 300) << size;
                t.Close();
                // What an open beside N leaves, the next restructure (or repair) resolves.
                t.ResolveRestructureLeftovers();
                EXPECT_TRUE(Leftovers(db).empty());
            }
        }
        if (rebuild) fresh();
    }
    std::printf("kill runs: %d kills, %d restructures finished, %d needing repair; states met:", kills, finished,
                needsRepair);
    for (const auto& [state, n] : states) std::printf(" %s %d", state.c_str(), n);
    std::printf("\n");
    EXPECT_GT(kills, 0);
}

// ---------------------------------------------------------------------------------
// Progress

// The window's own entries of the scripted log, and the positions it was set to.
std::vector<std::string> WaitEntries(const std::vector<std::string>& Log) {
    std::vector<std::string> out;
    for (const auto& l : Log)
        if (l.rfind("Wait.", 0) == 0 && l.rfind("Wait.Position(", 0) != 0 && l != "Wait.Aborted=0") out.push_back(l);
    return out;
}

std::vector<int> WaitPositions(const std::vector<std::string>& Log) {
    std::vector<int> out;
    for (const auto& l : Log)
        if (l.rfind("Wait.Position(", 0) == 0) out.push_back(std::atoi(l.c_str() + 14));
    return out;
}

// Without its own progress events a copy, an import and a restructure show the wait
// window with their texts, stepped to the share done; silent databases, temporary
// tables and a program's own events keep it away; its Abort stops the operation.
TEST_F(Restructure, TheWaitWindowStandsInForUnassignedProgressEvents) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 40);
    TORQTable t;
    t.SetDatabaseName(env.Name());
    t.SetTableName("STATIONS");
    // 40 records: a step after each, at Round(k x span / 40), halves to even.
    std::vector<int> copySteps{0}, restructureSteps{0};
    for (int k = 1; k <= 40; ++k) {
        copySteps.push_back(static_cast<int>(std::nearbyint(k * 100.0 / 40)));
        restructureSteps.push_back(static_cast<int>(std::nearbyint(k * 99.0 / 40)));
    }
    ASSERT_EQ(std::vector<int>(copySteps.begin(), copySteps.begin() + 6), (std::vector<int>{0, 2, 5, 8, 10, 12}));
    std::string err;
    bool go = true;
    UI.Log.clear();
    ASSERT_TRUE(t.CopyTable("C1", err, go));
    EXPECT_EQ(WaitEntries(UI.Log), (std::vector<std::string>{"Wait.Create", "Wait.Start(Copy Table...)", "Wait.Stop"}));
    EXPECT_EQ(WaitPositions(UI.Log), copySteps);
    // The copy serves pending events right after the start, then at every step.
    auto start = std::find(UI.Log.begin(), UI.Log.end(), "Wait.Start(Copy Table...)");
    ASSERT_NE(start, UI.Log.end());
    EXPECT_EQ(*(start + 1), "ProcessMessages");
    EXPECT_EQ(std::count(UI.Log.begin(), UI.Log.end(), "ProcessMessages"), 41);

    UI.Log.clear();
    TORQTable imported;
    imported.SetDatabaseName(env.Name());
    imported.SetTableName("IMPORTED");
    t.Open();
    std::string log;
    ASSERT_TRUE(imported.ImportTable(t, log)) << log;
    t.Close();
    EXPECT_EQ(WaitEntries(UI.Log),
              (std::vector<std::string>{"Wait.Create", "Wait.Start(Import Table...)", "Wait.Stop"}));
    EXPECT_EQ(WaitPositions(UI.Log), copySteps);
    EXPECT_EQ(std::count(UI.Log.begin(), UI.Log.end(), "ProcessMessages"), 40);

    UI.Log.clear();
    t.FieldDefs().Update();
    t.RestructureFieldDefs().Find("IDTEXT")->Size = 120;
    ASSERT_TRUE(t.RestructureTable(err)) << err;
    EXPECT_EQ(WaitEntries(UI.Log),
              (std::vector<std::string>{"Wait.Create", "Wait.Start(Restructure Table...)", "Wait.Stop"}));
    EXPECT_EQ(WaitPositions(UI.Log), restructureSteps);

    // The program's own events, and a silent database: no window.
    std::vector<int> seen;
    int befores = 0, afters = 0;
    t.BeforeCopy = [&](TDataSet* D) { befores += D == &t; };
    t.OnCopyProgress = [&](TDataSet*, int32_t P, bool&) { seen.push_back(P); };
    t.AfterCopy = [&](TDataSet* D) { afters += D == &t; };
    UI.Log.clear();
    ASSERT_TRUE(t.CopyTable("C2", err, go));
    EXPECT_TRUE(WaitEntries(UI.Log).empty());
    EXPECT_EQ(seen, std::vector<int>(copySteps.begin() + 1, copySteps.end()));
    EXPECT_EQ(befores, 1);
    EXPECT_EQ(afters, 1);
    t.BeforeCopy = nullptr;
    t.OnCopyProgress = nullptr;
    t.AfterCopy = nullptr;
    env.Db->SilentMode = true;
    UI.Log.clear();
    ASSERT_TRUE(t.CopyTable("C3", err, go));
    EXPECT_TRUE(WaitEntries(UI.Log).empty());
    env.Db->SilentMode = false;

    // Abort pressed: the third position (the second step) answers stop.
    const TSnapshot before = Snap(env.Name());
    UI.AbortAtStep = 3;
    UI.Log.clear();
    err.clear();
    t.FieldDefs().Update();
    t.RestructureFieldDefs().Find("IDTEXT")->Size = 200;
    EXPECT_FALSE(t.RestructureTable(err));
    EXPECT_NE(err.find("Terminated by User.\r\n"), std::string::npos) << err;
    EXPECT_EQ(UI.Log.back(), "Wait.Stop");
    EXPECT_EQ(WaitPositions(UI.Log), (std::vector<int>{0, 2, 5}));
    EXPECT_EQ(Snap(env.Name()).Ids, before.Ids);
    EXPECT_TRUE(Leftovers(*env.Db).empty());
    t.Open();
    EXPECT_EQ(t.FieldByName("IDTEXT")->Size(), 120);
    t.Close();
    // A copy stopped so reports it through Continue and its error text.
    go = true;
    err.clear();
    t.CopyTable("C4", err, go);
    EXPECT_FALSE(go);
    EXPECT_EQ(err, "Terminated by User.\r\n");
    UI.AbortAtStep = 0;
}

TEST_F(Restructure, ATemporaryTableCopiesWithoutTheWaitWindow) {
    TEngineEnv env(ekTemp);
    TORQTable t;
    t.SetTemporary(true);
    t.SetTableName("TMP");
    AddAdv(t, "N", aftInteger);
    t.CreateTable();
    t.Open();
    for (int i = 0; i < 5; ++i) {
        t.Append();
        t.FieldByName("N")->SetAsInteger(i);
        t.Post();
    }
    UI.Log.clear();
    std::string err;
    bool go = true;
    ASSERT_TRUE(t.CopyTable("TMP2", err, go)) << err;
    EXPECT_TRUE(WaitEntries(UI.Log).empty());
    TORQTable c;
    c.SetTemporary(true);
    c.SetTableName("TMP2");
    c.Open();
    EXPECT_EQ(c.RecordCount(), 5);
}

// The import holds the table data's lock from before the copy to after it: another
// thread of the program waits meanwhile.
TEST_F(Restructure, AnImportHoldsTheTableDataLock) {
    TEngineEnv env(ekDisk);
    CreateStations(env.Name(), 10);
    TORQTable src;
    src.SetDatabaseName(env.Name());
    src.SetTableName("STATIONS");
    src.Open();
    TORQTable dst;
    dst.SetDatabaseName(env.Name());
    dst.SetTableName("COPY");
    std::recursive_mutex& lock = env.Db->Handle()->DatabaseData->LockSection();
    auto freeElsewhere = [&] {
        bool got = false;
        std::thread([&] {
            got = lock.try_lock();
            if (got) lock.unlock();
        }).join();
        return got;
    };
    int checks = 0;
    bool heldBefore = false, heldAfter = false;
    std::vector<bool> heldAtSteps;
    dst.BeforeImport = [&](TDataSet*) { heldBefore = !freeElsewhere(); ++checks; };
    dst.OnImportProgress = [&](TDataSet*, int32_t, bool&) { heldAtSteps.push_back(!freeElsewhere()); };
    dst.AfterImport = [&](TDataSet*) { heldAfter = !freeElsewhere(); ++checks; };
    std::string log;
    ASSERT_TRUE(dst.ImportTable(src, log)) << log;
    EXPECT_EQ(checks, 2);
    EXPECT_TRUE(heldBefore);
    EXPECT_TRUE(heldAfter);
    EXPECT_EQ(heldAtSteps, std::vector<bool>(10, true));
    EXPECT_TRUE(freeElsewhere());
}

// ---------------------------------------------------------------------------------
// Import

TEST_F(Restructure, ImportFromAnEngineTableTakesItsStructureAndRecords) {
    TEngineEnv env(ekMemory);
    CreateStations(env.Name(), 30);
    TORQTable src;
    src.SetDatabaseName(env.Name());
    src.SetTableName("STATIONS");
    src.Open();
    TORQTable dst;
    dst.SetDatabaseName(env.Name());
    dst.SetTableName("COPY");
    std::string log;
    EXPECT_TRUE(dst.ImportTable(src, log)) << log;
    dst.SetIndexName("IDX_NAVLOC");
    dst.Open();
    EXPECT_EQ(dst.RecordCount(), 30);
    EXPECT_EQ(dst.FieldByName("IDTEXT")->Size(), 100);
}

// A dataset of the class library: its unnamed index becomes the primary key, one
// without fields is skipped with its line, duplicates of the key fail alone.
TEST_F(Restructure, ImportFromAnotherDatasetNamesThePrimaryKeyAndLogsWhatItSkips) {
    TEngineEnv env(ekDisk);
    classlib_test::TTestDataSet src;
    src.Structure = {{"ID", ftInteger}, {"NAME", ftString, 20}};
    src.IndexStructure = {{"", "ID", "", "", ixPrimary | ixUnique}, {"BYEXPR", "", "", "", 0},
                          {"BYNAME", "NAME", "NAME", "", 0}};
    src.Open();
    for (int id : {1, 2, 3, 2, 4}) {
        src.Append();
        src.FieldByName("ID")->SetAsInteger(id);
        src.FieldByName("NAME")->SetAsString("N" + std::to_string(id));
        src.Post();
    }
    src.IndexDefs.Update();
    TORQTable dst;
    dst.SetDatabaseName(env.Name());
    dst.SetTableName("IMPORTED");
    std::string log = "before\n";
    EXPECT_FALSE(dst.ImportTable(src, log, &src.IndexDefs));
    EXPECT_EQ(log.rfind("before\nCannot import index 'BYEXPR'. Index type is not supported, index skipped", 0), 0u)
        << log;
    EXPECT_NE(log.find("Error importing table. Cannot copy data due to error: Error copying table \"IMPORTED\". "
                       "Record #4 was not imported due to error: "),
              std::string::npos)
        << log;
    dst.IndexDefs().Update();
    EXPECT_GE(dst.IndexDefs().IndexOf("idxPrimaryKey"), 0);
    EXPECT_GE(dst.IndexDefs().IndexOf("BYNAME"), 0);
    dst.SetIndexName("idxPrimaryKey");
    dst.Open();
    std::vector<int> ids;
    for (dst.First(); !dst.Eof(); dst.Next()) ids.push_back(dst.FieldByName("ID")->AsInteger());
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4}));
    // Nothing to log: True.
    dst.Close();
    classlib_test::TTestDataSet clean;
    clean.Structure = {{"ID", ftInteger}};
    clean.Open();
    TORQTable other;
    other.SetDatabaseName(env.Name());
    other.SetTableName("CLEAN");
    std::string none;
    EXPECT_TRUE(other.ImportTable(clean, none));
    EXPECT_EQ(none, "");
}

}  // namespace
