// The rebuild of a database file into "<file>.tmp" that compacting, repairing and
// converting share: the copy against a model of the receiver's tables, the settings it
// keeps, the operator's abort, failures injected at every file call, kills, the refusals
// while the file is in use or the rebuild runs, and the repairs of damaged and torn files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include "../storage/DiskTableFixture.h"
#include "AccessFixture.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQContainers.h"

namespace {

using namespace accesstest;
using classlib::ixPrimary;
using classlib::ixUnique;

constexpr double Day0 = 46000.0;
constexpr int64_t Page0 = 380;

std::string Station(int M) {
    char b[16];
    std::snprintf(b, sizeof b, "ST%05d", M);
    return b;
}
// Small memos, and every seventh one over two pages.
std::string Text(int M) {
    if (M % 7 != 0) return "MESSAGE " + std::to_string(M);
    std::string t;
    for (int i = 0; t.size() < 9000; ++i) t += "LINE " + std::to_string(M) + "/" + std::to_string(i) + "\r\n";
    return t;
}

void AddField(TORQTable& T, const char* Name, uint8_t Type, int32_t Size = 0) {
    TORQAdvFieldDef* d = T.AdvFieldDefs().Add();
    d->Name = Name;
    d->DataType = Type;
    d->Size = Size;
}
void AddIndex(TORQTable& T, const char* Name, const char* Fields, classlib::TIndexOptions Options = {}) {
    TORQAdvIndexDef* i = T.AdvIndexDefs().Add();
    i->Name = Name;
    i->Fields = Fields;
    i->Options = Options;
}

std::unique_ptr<TORQTable> Table(TORQDatabase& Db, const std::string& Name, const std::string& Index = {}) {
    auto t = std::make_unique<TORQTable>(nullptr);
    t->SetDatabaseName(Db.DatabaseName());
    t->SetTableName(Name);
    if (!Index.empty()) t->SetIndexName(Index);
    return t;
}

// What the model holds: the log's minutes, the counter's ids.
struct TModel {
    std::vector<int> Minutes;
    std::vector<int> Ids;
    int StationRows = 12;
};

// The receiver's tables: NAVTEXLOG (date primary index, station index, memos), STATIONS
// (IDX_NAVLOC) and COUNTER (autoincrement ID, unique NAME).
void CreateModelTables(TORQDatabase& Db) {
    auto log = Table(Db, "NAVTEXLOG");
    AddField(*log, "UTCRECEIVED", aftDateTime);
    AddField(*log, "FREQ", aftInteger);
    AddField(*log, "STATION", aftVarChar, 75);
    AddField(*log, "MSGTEXT", aftMemo);
    AddIndex(*log, "IDX_DT", "UTCRECEIVED", ixPrimary | ixUnique);
    AddIndex(*log, "IDX_STATION", "STATION");
    log->CreateTable();
    auto st = Table(Db, "STATIONS");
    AddField(*st, "FREQ", aftInteger);
    AddField(*st, "IDLETTER", aftVarChar, 1);
    AddField(*st, "NAVAREA", aftSmallInt);
    AddField(*st, "LOCATION", aftVarChar, 50);
    AddIndex(*st, "IDX_NAVLOC", "NAVAREA;IDLETTER;LOCATION");
    st->CreateTable();
    auto counter = Table(Db, "COUNTER");
    AddField(*counter, "ID", aftAutoIncInteger);
    AddField(*counter, "NAME", aftVarChar, 20);
    AddIndex(*counter, "BY_NAME", "NAME", ixUnique);
    counter->CreateTable();
}

void AppendLog(TORQTable& Log, int M) {
    Log.Append();
    Log.FieldByName("UTCRECEIVED")->SetAsDateTime(Day0 + M / 1440.0);
    Log.FieldByName("FREQ")->SetAsInteger(M % 2 ? 490 : 518);
    Log.FieldByName("STATION")->SetAsString(Station(M));
    Log.FieldByName("MSGTEXT")->SetAsString(Text(M));
    Log.Post();
}
void AppendStation(TORQTable& St, int K) {
    St.Append();
    St.FieldByName("FREQ")->SetAsInteger(K % 2 ? 490 : 518);
    St.FieldByName("IDLETTER")->SetAsString(std::string(1, static_cast<char>('A' + (K * 5) % 26)));
    St.FieldByName("NAVAREA")->SetAsInteger(K % 4 + 1);
    St.FieldByName("LOCATION")->SetAsString("L" + std::to_string(K));
    St.Post();
}
int AppendCounter(TORQTable& C, const std::string& Name) {
    C.Append();
    C.FieldByName("NAME")->SetAsString(Name);
    C.Post();
    return C.FieldByName("ID")->AsInteger();
}

// Fills the model: LogRows rows of which the oldest half is then deleted (Thinned), or
// only the rows the thinned model keeps (a new database given the same records in the
// same order); ten counter rows of which the last is deleted.
TModel FillModel(TORQDatabase& Db, int LogRows, bool Thinned) {
    TModel m;
    CreateModelTables(Db);
    auto log = Table(Db, "NAVTEXLOG", "IDX_DT");
    log->Open();
    for (int k = Thinned ? 0 : LogRows / 2; k < LogRows; ++k) AppendLog(*log, k);
    if (Thinned) {
        log->First();
        for (int k = 0; k < LogRows / 2; ++k) log->Delete();
    }
    for (int k = LogRows / 2; k < LogRows; ++k) m.Minutes.push_back(k);
    auto st = Table(Db, "STATIONS");
    st->Open();
    for (int k = 0; k < m.StationRows; ++k) AppendStation(*st, k);
    auto counter = Table(Db, "COUNTER");
    counter->Open();
    for (int k = 0; k < 10; ++k) m.Ids.push_back(AppendCounter(*counter, "N" + std::to_string(k)));
    counter->Last();
    counter->Delete();
    m.Ids.pop_back();
    return m;
}

std::vector<int> Minutes(TORQTable& Log, bool Backwards) {
    std::vector<int> out;
    if (Backwards) {
        for (Log.Last(); !Log.Bof(); Log.Prior())
            out.push_back(static_cast<int>(std::lround((Log.FieldByName("UTCRECEIVED")->AsDateTime() - Day0) * 1440)));
        std::reverse(out.begin(), out.end());
    } else {
        for (Log.First(); !Log.Eof(); Log.Next())
            out.push_back(static_cast<int>(std::lround((Log.FieldByName("UTCRECEIVED")->AsDateTime() - Day0) * 1440)));
    }
    return out;
}

// The file holds the model: records and memos, every index walked both ways, and the
// counter goes on after the highest id it ever gave.
void ExpectModel(TORQDatabase& Db, const TModel& M, int NextId) {
    for (const char* index : {"IDX_DT", "IDX_STATION"}) {
        auto log = Table(Db, "NAVTEXLOG", index);
        log->Open();
        EXPECT_EQ(Minutes(*log, false), M.Minutes) << index;
        EXPECT_EQ(Minutes(*log, true), M.Minutes) << index << " backwards";
        for (log->First(); !log->Eof(); log->Next()) {
            const int m = static_cast<int>(std::lround((log->FieldByName("UTCRECEIVED")->AsDateTime() - Day0) * 1440));
            ASSERT_EQ(log->FieldByName("MSGTEXT")->AsString(), Text(m)) << m;
            ASSERT_EQ(log->FieldByName("STATION")->AsString(), Station(m));
        }
    }
    auto st = Table(Db, "STATIONS", "IDX_NAVLOC");
    st->Open();
    std::vector<std::tuple<int, std::string, std::string>> expected, seen, back;
    for (int k = 0; k < M.StationRows; ++k)
        expected.emplace_back(k % 4 + 1, std::string(1, static_cast<char>('A' + (k * 5) % 26)), "L" + std::to_string(k));
    std::sort(expected.begin(), expected.end());
    auto row = [&] {
        return std::tuple{st->FieldByName("NAVAREA")->AsInteger(), st->FieldByName("IDLETTER")->AsString(),
                          st->FieldByName("LOCATION")->AsString()};
    };
    for (st->First(); !st->Eof(); st->Next()) seen.push_back(row());
    for (st->Last(); !st->Bof(); st->Prior()) back.insert(back.begin(), row());
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(back, expected);
    auto counter = Table(Db, "COUNTER", "BY_NAME");
    counter->Open();
    std::vector<int> ids;
    for (counter->First(); !counter->Eof(); counter->Next()) ids.push_back(counter->FieldByName("ID")->AsInteger());
    EXPECT_EQ(ids, M.Ids);
    EXPECT_EQ(AppendCounter(*counter, "AFTER"), NextId) << "the autoincrement continues";
}

int64_t SizeOf(const std::string& Path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(Path, ec);
    return ec ? -1 : static_cast<int64_t>(n);
}

// The minutes of NAVTEXLOG in IDX_DT order, read through a new component.
std::vector<int> LogMinutes(const std::string& Path, const std::string& Password = {}) {
    TORQDatabase db(nullptr);
    db.SetDatabaseName("READER");
    db.SetDatabaseFileName(Path);
    db.Password = Password;
    db.SilentMode = true;
    db.Open();
    auto log = Table(db, "NAVTEXLOG", "IDX_DT");
    log->Open();
    std::vector<int> out = Minutes(*log, false);
    log->Close();
    db.Close();
    return out;
}

class Rebuild : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        File = Dir.File("TILO_DB.ORQ");
        Tmp = File + ".tmp";
    }
    void TearDown() override {
        SetReplaceFaultHook(nullptr);
        EngineTest::TearDown();
    }
    static std::unique_ptr<TORQDatabase> Make(const std::string& FileName, const std::string& Name = "NAVTEX") {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName(Name);
        db->SetDatabaseFileName(FileName);
        return db;
    }
    // A file with the thinned model, closed.
    TModel MakeModelFile(const std::string& Path, int LogRows, const FileOptions& O = {}) {
        CreateFile(Path, O);
        auto db = Make(Path, "MAKER");
        db->Password = O.Password;
        db->Open();
        TModel m = FillModel(*db, LogRows, true);
        db->Close();
        return m;
    }
    std::string File, Tmp;
};

// ---------------------------------------------------------------------------------
// Compaction

TEST_F(Rebuild, CompactionKeepsTheModelInOneSmallerFile) {
    const TModel model = MakeModelFile(File, 60);
    const int64_t before = SizeOf(File);
    auto db = Make(File);
    EXPECT_TRUE(db->CompactDatabase());
    EXPECT_FALSE(db->Connected());
    EXPECT_FALSE(std::filesystem::exists(Tmp));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path), std::filesystem::directory_iterator()), 1);
    const int64_t compacted = SizeOf(File);
    EXPECT_LT(compacted, before);
    db->Open();
    EXPECT_EQ(db->Handle()->NeedsRepair, 0);
    ExpectModel(*db, model, 11);
    db->Close();

    // No larger than a new database given the same records in the same order.
    const std::string fresh = Dir.File("FRESH.ORQ");
    CreateFile(fresh);
    auto f = Make(fresh, "FRESH");
    f->Open();
    FillModel(*f, 60, false);
    f->Close();
    EXPECT_LE(compacted, SizeOf(fresh));

    // Into another file: the source stays as it was.
    const std::vector<uint8_t> source = disktest::ReadAll(File);
    const std::string other = Dir.File("COPY.ORQ");
    EXPECT_TRUE(db->CompactDatabaseTo(other));
    EXPECT_EQ(disktest::ReadAll(File), source);
    EXPECT_EQ(LogMinutes(other), model.Minutes);
}

TEST_F(Rebuild, CompactionGuards) {
    MakeModelFile(File, 4);
    auto unnamed = std::make_unique<TORQDatabase>(nullptr);
    unnamed->SetDatabaseFileName(File);
    EXPECT_EQ(Raised([&] { unnamed->CompactDatabase(); }), "Database name missing");
    auto db = Make(File);
    db->Open();
    EXPECT_EQ(Raised([&] { db->CompactDatabase(); }), "Cannot perform this operation on an open database");
    std::string text;
    EXPECT_EQ(Raised([&] { db->RepairDatabase(text); }), "Cannot perform this operation on an open database");
    db->Close();
    EXPECT_FALSE(std::filesystem::exists(Tmp));
}

// The file's header fields a rebuild keeps.
struct THeader {
    uint32_t PageSize, PagesPerExtent, Encrypted, Cipher;
    bool operator==(const THeader&) const = default;
};
THeader HeaderOf(const std::string& Path) {
    const std::vector<uint8_t> b = disktest::ReadAll(Path);
    auto le = [&](size_t At, int N) {
        uint32_t v = 0;
        for (int i = N - 1; i >= 0; --i) v = (v << 8) | b.at(At + static_cast<size_t>(i));
        return v;
    };
    return {le(26, 2), le(28, 2), b.at(43), b.at(78)};
}

TEST_F(Rebuild, TheFilesSettingsSurviveARebuildThroughANeverConnectedComponent) {
    struct Case {
        const char* What;
        FileOptions Options;
        bool Repair;
    };
    const std::vector<Case> cases = {
        {"encrypted, compacted", {"secret", 3, 4096, 8, 500}, false},
        {"8192-byte pages and 4 connections, compacted", {"", 0, 8192, 4, 4}, false},
        {"8192-byte pages and 4 connections, repaired", {"", 0, 8192, 4, 4}, true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(File);
        const TModel model = MakeModelFile(File, 10, c.Options);
        const THeader header = HeaderOf(File);
        auto db = Make(File, "FRESHCOMPONENT");
        db->Password = c.Options.Password;
        if (c.Repair) {
            std::string text;
            db->RepairDatabase(text);
            EXPECT_NE(text.find("Table 'NAVTEXLOG': 5 of 5 records copied"), std::string::npos) << c.What << text;
        } else {
            EXPECT_TRUE(db->CompactDatabase()) << c.What;
        }
        EXPECT_EQ(HeaderOf(File), header) << c.What;
        db->Open();
        EXPECT_EQ(db->MaxConnections, c.Options.MaxConnections) << c.What;
        EXPECT_EQ(db->PageSize, c.Options.PageSize) << c.What;
        db->Close();
        EXPECT_EQ(LogMinutes(File, c.Options.Password), model.Minutes) << c.What;
        if (!c.Options.Password.empty()) {
            EXPECT_EQ(NativeCode([&] { LogMinutes(File, "wrong"); }), 30445) << c.What << ": the password holds";
        }
    }
}

TEST_F(Rebuild, AnAbortAtAnyProgressStepKeepsTheOriginal) {
    MakeModelFile(File, 30);
    const std::vector<uint8_t> original = disktest::ReadAll(File);
    auto db = Make(File);
    int aborted = 0;
    for (int step = 1;; ++step) {
        ASSERT_LT(step, 200) << "the compaction ends";
        UI->AbortAtStep = step;
        UI->Log.clear();
        try {
            db->CompactDatabase();
            break;
        } catch (const EORQException& e) {
            ++aborted;
            EXPECT_EQ(e.NativeError(), 30456);
            EXPECT_EQ(std::string(e.what()), "Operation CompactDatabase failed:  - Native error: 30456") << step;
        }
        EXPECT_EQ(disktest::ReadAll(File), original) << step;
        EXPECT_FALSE(std::filesystem::exists(Tmp)) << step;
        EXPECT_EQ(UI->Log.front(), "Wait.Create");
        EXPECT_EQ(UI->Log.back(), "Wait.Stop") << "the window goes on every path";
        EXPECT_FALSE(db->Connected());
        EXPECT_FALSE(db->Exclusive) << "restored";
    }
    EXPECT_GE(aborted, 4) << "a step per table and the end at least";
    EXPECT_NE(std::find(UI->Log.begin(), UI->Log.end(), "Wait.Start(Compacting Database...)"), UI->Log.end());
    EXPECT_EQ(std::find(UI->Log.begin(), UI->Log.end(), "Wait.Visible"), UI->Log.end())
        << "a compaction's window shows itself on its timer";
    EXPECT_FALSE(std::filesystem::exists(Tmp));
}

// The calls of the file layer of one kind on the source and the copy failed from the n-th
// on, with one error.
struct TFault {
    TORQFileCall Call;
    int Error;
};

TEST_F(Rebuild, AFailureAtAnyFileCallKeepsTheOriginalAndLeavesNoCopy) {
    const TModel model = MakeModelFile(File, 8);
    auto db = Make(File);
    auto ours = [&](const std::string& Name) { return Name == File || Name == Tmp; };
    const std::vector<TFault> faults = {{TORQFileCall::Read, EIO},    {TORQFileCall::Write, EIO},
                                        {TORQFileCall::Write, ENOSPC}, {TORQFileCall::Sync, EIO},
                                        {TORQFileCall::Truncate, ENOSPC}, {TORQFileCall::Lock, EIO}};
    // How many calls of each kind a clean compaction makes.
    std::map<TORQFileCall, int> calls;
    SetFileFaultHook([&](TORQFileCall Call, const std::string& Name) {
        if (ours(Name)) ++calls[Call];
        return 0;
    });
    ASSERT_TRUE(db->CompactDatabase());
    SetFileFaultHook(nullptr);
    int failed = 0, survived = 0;
    for (const TFault& f : faults) {
        const int total = calls[f.Call];
        ASSERT_GT(total, 0);
        // Every call when there are few, else an even spread that keeps the first and last.
        const int stride = std::max(1, total / 20);
        for (int n = 1; n <= total; n += (n == total - 1 ? 1 : stride)) {
            const std::vector<uint8_t> before = disktest::ReadAll(File);
            int seen = 0;
            SetFileFaultHook([&](TORQFileCall Call, const std::string& Name) {
                // From the n-th call on: the file layer retries a failed call once after
                // reopening the file. A lock only at the n-th: a lock that keeps failing
                // is waited for (locked) for minutes.
                if (!ours(Name) || Call != f.Call) return 0;
                ++seen;
                return (f.Call == TORQFileCall::Lock ? seen == n : seen >= n) ? f.Error : 0;
            });
            std::string raised;
            try {
                db->CompactDatabase();
            } catch (const std::exception& e) {
                raised = e.what();
            }
            SetFileFaultHook(nullptr);
            const std::string what = "call " + std::to_string(static_cast<int>(f.Call)) + " #" + std::to_string(n);
            EXPECT_FALSE(std::filesystem::exists(Tmp)) << what;
            if (!raised.empty()) {
                ++failed;
                EXPECT_EQ(disktest::ReadAll(File), before) << what << ": " << raised;
            } else {
                ++survived;  // a failure the engine may pass over (an unlock on the way out)
            }
            ASSERT_EQ(LogMinutes(File), model.Minutes) << what;
            ASSERT_FALSE(db->Connected());
        }
    }
    EXPECT_GT(failed, 20);
    std::printf("[ failures ] %d compactions raised, %d passed over the failed call\n", failed, survived);
    // The steps after the last write: the rename and the folder sync.
    for (const TORQReplaceStep step : {TORQReplaceStep::Rename, TORQReplaceStep::SyncFolder}) {
        const std::vector<uint8_t> before = disktest::ReadAll(File);
        SetReplaceFaultHook([&](TORQReplaceStep S, const std::string&) { return S == step ? EIO : 0; });
        EXPECT_EQ(NativeCode([&] { db->CompactDatabase(); }), 31461);
        SetReplaceFaultHook(nullptr);
        if (step == TORQReplaceStep::Rename) {
            EXPECT_EQ(disktest::ReadAll(File), before);
        }
        EXPECT_FALSE(std::filesystem::exists(Tmp));
        EXPECT_EQ(LogMinutes(File), model.Minutes);
    }
    EXPECT_TRUE(db->CompactDatabase()) << "the next compaction succeeds";
}

TEST_F(Rebuild, AnUnreadableCatalogEndsTheRebuildWithItsError) {
    MakeModelFile(File, 4);
    // The catalog is page 4: its data area overwritten.
    disktest::Patch(File, Page0 + 4 * 4096 + 40, std::vector<uint8_t>(64, 0xA5));
    const std::vector<uint8_t> damaged = disktest::ReadAll(File);
    auto db = Make(File);
    EXPECT_NE(Raised([&] { db->CompactDatabase(); }), "");
    EXPECT_EQ(disktest::ReadAll(File), damaged);
    EXPECT_FALSE(std::filesystem::exists(Tmp));
    // A repair answers with the error, or raises when the file cannot even be opened.
    std::string text;
    const std::string raised = Raised([&] { db->RepairDatabase(text); });
    EXPECT_TRUE(!raised.empty() || !text.empty());
    EXPECT_EQ(disktest::ReadAll(File), damaged) << "never an empty database in its place";
    EXPECT_FALSE(std::filesystem::exists(Tmp));
}

int KillSeconds() {
    const char* v = std::getenv("TILO_KILL_SECONDS");
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : 2;
}

TEST_F(Rebuild, AKilledCompactionLeavesTheOriginalOrTheCopy) {
    const TModel model = MakeModelFile(File, 40);
    std::mt19937 random(41);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(KillSeconds());
    int kills = 0, staleCopies = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            try {
                for (;;) {
                    TORQDatabase db(nullptr);
                    db.SetDatabaseName("CHILD");
                    db.SetDatabaseFileName(File);
                    db.SilentMode = true;
                    db.CompactDatabase();
                }
            } catch (...) {
            }
            _exit(2);
        }
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(1, 120)(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child compacts until killed";
        ++kills;
        if (std::filesystem::exists(Tmp)) ++staleCopies;
        auto db = Make(File, "AFTERKILL");
        UI->Log.clear();
        db->Open();
        EXPECT_EQ(db->Handle()->NeedsRepair, 0) << "kill " << kills;
        EXPECT_TRUE(UI->Log.empty()) << "nothing asked";
        db->Close();
        ASSERT_EQ(LogMinutes(File), model.Minutes) << "kill " << kills;
    }
    auto db = Make(File);
    EXPECT_TRUE(db->CompactDatabase()) << "over a killed one's copy";
    EXPECT_FALSE(std::filesystem::exists(Tmp));
    EXPECT_EQ(LogMinutes(File), model.Minutes);
    std::printf("[ kills    ] %d compactions killed, %d left a copy behind\n", kills, staleCopies);
}

// A session of Path held in a child until released.
int HoldSession(const std::string& Path, bool MultiUser, std::unique_ptr<TORQLocalSession>& S) {
    S = std::make_unique<TORQLocalSession>();
    S->DatabaseName = "ORQDB";
    S->DatabaseFileName = Path;
    S->MultiUser = MultiUser ? 1 : 0;
    S->SetConnected(true);
    return 0;
}

TEST_F(Rebuild, AFileInUseIsRefusedBeforeAnythingIsWritten) {
    MakeModelFile(File, 4);
    const std::vector<uint8_t> before = disktest::ReadAll(File);
    auto db = Make(File);
    auto expectRefused = [&](const char* What) {
        EXPECT_EQ(Raised([&] { db->CompactDatabase(); }),
                  "Cannot compact database '" + File + "': the file is in use - Native error: 31460")
            << What;
        EXPECT_EQ(NativeCode([&] { db->CompactDatabaseTo(Dir.File("ELSEWHERE.ORQ")); }), 31460) << What;
        std::string text;
        EXPECT_EQ(NativeCode([&] { db->RepairDatabase(text); }), 31460) << What;
        EXPECT_EQ(disktest::ReadAll(File), before) << What;
        EXPECT_FALSE(std::filesystem::exists(Tmp)) << What;
        EXPECT_FALSE(std::filesystem::exists(Dir.File("ELSEWHERE.ORQ"))) << What;
    };
    for (const bool multiUser : {false, true}) {
        std::unique_ptr<TORQLocalSession> s;
        disktest::HoldingChild holder([&] { return HoldSession(File, multiUser, s); });
        ASSERT_EQ(holder.SetupResult, 0);
        expectRefused(multiUser ? "another process multi-user" : "another process single-user");
    }
    auto other = Make(File, "OTHER");
    other->Open();
    expectRefused("another component of this process");
    other->Close();
    EXPECT_TRUE(db->CompactDatabase());
}

// The folder's entries, sorted.
std::vector<std::string> Entries(const std::string& Folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(Folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// The current folder for one scope.
class TCurrentFolder {
public:
    explicit TCurrentFolder(const std::string& Folder) : FBefore(std::filesystem::current_path()) {
        std::filesystem::current_path(Folder);
    }
    ~TCurrentFolder() { std::filesystem::current_path(FBefore); }

private:
    std::filesystem::path FBefore;
};

// Whatever the name, the database's own file is no destination; nor is a file another
// connection holds. Both are refused before a byte is written.
TEST_F(Rebuild, ADestinationThatIsTheSourceOrHeldIsRefusedAndStaysByteForByte) {
    MakeModelFile(File, 10);
    std::filesystem::create_hard_link(File, Dir.File("LINKED.ORQ"));
    std::filesystem::create_symlink(File, Dir.File("SYMLINKED.ORQ"));
    const std::vector<uint8_t> source = disktest::ReadAll(File);
    const std::vector<std::string> entries = Entries(Dir.Path);
    TCurrentFolder here(Dir.Path);
    const std::string folder = std::filesystem::path(Dir.Path).filename().string();
    auto db = Make(File);
    for (const std::string& spelling : {std::string("TILO_DB.ORQ"), std::string("./TILO_DB.ORQ"), File,
                                        "../" + folder + "/TILO_DB.ORQ", std::string("LINKED.ORQ"),
                                        std::string("SYMLINKED.ORQ")}) {
        SCOPED_TRACE(spelling);
        const std::string said = Raised([&] { db->CompactDatabaseTo(spelling); });
        EXPECT_EQ(said, "Create database error: 'destination " + spelling +
                            " is the database file itself' - Native error: 30449");
        std::string text;
        EXPECT_FALSE(db->RepairDatabaseTo(spelling, text));
        EXPECT_EQ(text, "Create database error: 'destination " + spelling + " is the database file itself'");
        EXPECT_EQ(disktest::ReadAll(File), source);
        EXPECT_EQ(Entries(Dir.Path), entries);
        EXPECT_FALSE(db->Connected());
    }
    const std::string other = Dir.File("OTHER.ORQ");
    const TModel otherModel = MakeModelFile(other, 4);
    const std::vector<uint8_t> held = disktest::ReadAll(other);
    auto expectRefused = [&](const char* What) {
        EXPECT_EQ(NativeCode([&] { db->CompactDatabaseTo(other); }), 30449) << What;
        std::string text;
        EXPECT_FALSE(db->RepairDatabaseTo(other, text)) << What;
        EXPECT_NE(text.find("is in use"), std::string::npos) << What << ": " << text;
        EXPECT_EQ(disktest::ReadAll(other), held) << What;
    };
    for (const bool multiUser : {false, true}) {
        std::unique_ptr<TORQLocalSession> s;
        disktest::HoldingChild holder([&] { return HoldSession(other, multiUser, s); });
        ASSERT_EQ(holder.SetupResult, 0);
        expectRefused(multiUser ? "another process, multi-user" : "another process");
    }
    auto holder = Make(other, "HOLDER");
    holder->Open();
    expectRefused("another component");
    holder->Close();
    EXPECT_EQ(LogMinutes(other), otherModel.Minutes);
    EXPECT_EQ(disktest::ReadAll(File), source);
}

// A rebuild into a file that stood there replaces it only when complete; one that fails
// leaves it byte for byte, and removes only what it made itself.
TEST_F(Rebuild, AFailedRebuildIntoAnExistingFileLeavesItAsItWas) {
    const TModel model = MakeModelFile(File, 30);
    const std::string dest = Dir.File("COPY.ORQ");
    const TModel earlier = MakeModelFile(dest, 4);
    const std::vector<uint8_t> before = disktest::ReadAll(dest);
    const std::vector<std::string> entries = Entries(Dir.Path);
    auto db = Make(File);
    struct Case {
        const char* What;
        std::function<void()> Arm;
        bool OverAFileOnly = false;  // only a copy made beside a file is renamed
    };
    const std::vector<Case> cases = {
        {"aborted at the second step", [&] { UI->AbortAtStep = 2; }},
        {"the copy's writes failing", [&] {
             SetFileFaultHook([&](TORQFileCall Call, const std::string& Name) {
                 return Call == TORQFileCall::Write && Name != File ? EIO : 0;
             });
         }},
        {"the rename failing", [&] {
             SetReplaceFaultHook([](TORQReplaceStep S, const std::string&) {
                 return S == TORQReplaceStep::Rename ? EIO : 0;
             });
         },
         true},
    };
    for (const bool exists : {true, false}) {
        for (const Case& c : cases) {
            if (!exists && c.OverAFileOnly) continue;
            SCOPED_TRACE(std::string(c.What) + (exists ? ", over a file" : ", into no file"));
            if (!exists) std::filesystem::remove(dest);
            c.Arm();
            EXPECT_NE(Raised([&] { db->CompactDatabaseTo(dest); }), "");
            std::string text;
            const std::string raised = Raised([&] { EXPECT_FALSE(db->RepairDatabaseTo(dest, text)); });
            UI->AbortAtStep = 0;
            SetFileFaultHook(nullptr);
            SetReplaceFaultHook(nullptr);
            if (exists) {
                EXPECT_EQ(disktest::ReadAll(dest), before) << raised << text;
                EXPECT_EQ(Entries(Dir.Path), entries);
            } else {
                EXPECT_FALSE(std::filesystem::exists(dest)) << raised << text;
                EXPECT_EQ(Entries(Dir.Path).size(), entries.size() - 1);
            }
            ASSERT_EQ(LogMinutes(File), model.Minutes);
        }
    }
    disktest::WriteAll(dest, before);
    EXPECT_EQ(LogMinutes(dest), earlier.Minutes);
    EXPECT_TRUE(db->CompactDatabaseTo(dest));
    EXPECT_EQ(LogMinutes(dest), model.Minutes) << "a complete copy replaces it";
    EXPECT_EQ(Entries(Dir.Path), entries);
}

TEST_F(Rebuild, WhileARebuildRunsNoOtherDatasetOrConnectionReachesTheFile) {
    const TModel model = MakeModelFile(File, 30);
    auto db = Make(File);
    auto other = Make(File, "OTHER");
    std::vector<std::string> refused;
    int served = 0;
    UI->OnProcessMessages = [&] {
        ++served;
        auto t = Table(*db, "NAVTEXLOG");
        refused.push_back(Raised([&] { t->Open(); }));
        refused.push_back(Raised([&] { other->Open(); }));
        EXPECT_FALSE(other->Connected());
    };
    EXPECT_TRUE(db->CompactDatabase());
    UI->OnProcessMessages = nullptr;
    ASSERT_GT(served, 0);
    for (size_t i = 0; i < refused.size(); i += 2) {
        EXPECT_EQ(refused[i], "Database 'NAVTEX' is busy: CompactDatabase is running - Native error: 31462");
        EXPECT_EQ(refused[i + 1], "Database '" + File + "' is busy: CompactDatabase is running - Native error: 31462");
    }
    db->Open();
    ExpectModel(*db, model, 11);
    db->Close();
    other->Open();
    EXPECT_TRUE(other->Connected()) << "free again";
    other->Close();
}

TEST_F(Rebuild, TheLogPagesCompactionStepKeepsCountsAndTheLastRecord) {
    const TModel model = MakeModelFile(File, 40);
    auto db = Make(File, "ORQDB");
    db->Open();
    auto log = Table(*db, "NAVTEXLOG", "IDX_DT");
    auto st = Table(*db, "STATIONS");
    log->Open();
    st->Open();
    log->Last();
    const std::string last = log->FieldByName("MSGTEXT")->AsString();
    const int logCount = log->RecordCount(), stCount = st->RecordCount();
    log->Close();
    st->Close();
    db->Close();
    EXPECT_TRUE(db->CompactDatabase());
    db->Open();
    log->Open();
    st->Open();
    EXPECT_EQ(log->RecordCount(), logCount);
    EXPECT_EQ(st->RecordCount(), stCount);
    log->Last();
    EXPECT_EQ(log->FieldByName("MSGTEXT")->AsString(), last);
    EXPECT_EQ(last, Text(model.Minutes.back()));
}

TEST_F(Rebuild, ARestructureCutShortIsResolvedInTheCopyNeverInTheSource) {
    struct Case {
        const char* What;
        bool KeepTable, Old, New;
        std::vector<int> Expected;  // the log's minutes under its name in the copy
    };
    const std::vector<Case> cases = {
        {"an interim NEW beside the table", true, false, true, {5, 6, 7, 8, 9}},
        {"NEW and OLD without the table: NEW is the table", false, true, true, {100, 101}},
        {"OLD alone: it is the table", false, true, false, {5, 6, 7, 8, 9}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(File);
        MakeModelFile(File, 10);
        {
            auto db = Make(File, "MAKER");
            db->Open();
            if (!c.KeepTable) Table(*db, "NAVTEXLOG")->RenameTable(MakeUniqueName("OLD_NAVTEXLOG_"));
            if (c.New) {
                auto fresh = Table(*db, MakeUniqueName("NEW_NAVTEXLOG_"));
                AddField(*fresh, "UTCRECEIVED", aftDateTime);
                AddField(*fresh, "FREQ", aftInteger);
                AddField(*fresh, "STATION", aftVarChar, 75);
                AddField(*fresh, "MSGTEXT", aftMemo);
                AddIndex(*fresh, "IDX_DT", "UTCRECEIVED", ixPrimary | ixUnique);
                fresh->CreateTable();
                fresh->Open();
                AppendLog(*fresh, 100);
                AppendLog(*fresh, 101);
                fresh->Close();
            }
            if (!c.Old && !c.KeepTable) Table(*db, "NAVTEXLOG")->DeleteTable();
            db->Close();
        }
        const std::vector<uint8_t> source = disktest::ReadAll(File);
        auto db = Make(File);
        const std::string copy = Dir.File("COPY.ORQ");
        std::filesystem::remove(copy);
        EXPECT_TRUE(db->CompactDatabaseTo(copy)) << c.What;
        EXPECT_EQ(disktest::ReadAll(File), source) << c.What << ": the source is not written";
        EXPECT_EQ(LogMinutes(copy), c.Expected) << c.What;
        auto reader = Make(copy, "COPYREADER");
        std::vector<std::string> names;
        reader->GetTableNames(names);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"COUNTER", "NAVTEXLOG", "STATIONS"})) << c.What;
    }
}

// ---------------------------------------------------------------------------------
// Repair and conversion

// The pages of one type (of the table TableID unless ByOwner is false).
std::vector<int64_t> PagesOf(const std::string& Path, int32_t TableID, int Type, int32_t PageSize = 4096,
                             bool ByOwner = true) {
    const std::vector<uint8_t> b = disktest::ReadAll(Path);
    std::vector<int64_t> out;
    for (int64_t p = 1; Page0 + (p + 1) * PageSize <= static_cast<int64_t>(b.size()); ++p) {
        const uint8_t* page = b.data() + Page0 + p * PageSize;
        const int32_t owner = static_cast<int32_t>(page[22] | page[23] << 8 | page[24] << 16 | page[25] << 24);
        if (std::memcmp(page, "ORQP", 4) == 0 && (page[8] | page[9] << 8) == Type && (!ByOwner || owner == TableID))
            out.push_back(p);
    }
    return out;
}
void MarkNeedsRepair(const std::string& Path) { disktest::Patch(Path, 42, {1}); }

// Without a table's definitions nothing of it can be copied: the repair answers False
// with the table named and the file left as it was, which the open then takes for
// reading only.
TEST_F(Rebuild, ARepairMeetingUnreadableDefinitionsLeavesTheFileAsItWas) {
    const TModel model = MakeModelFile(File, 20);
    // STATIONS' definitions overwritten.
    int32_t id = -1, locks = -1, state = -1, meta = -1;
    {
        disktable::Connection c(File, false);
        c.Db->FindTable("STATIONS", id, locks, state, meta);
    }
    ASSERT_GT(meta, 0);
    disktest::Patch(File, Page0 + int64_t{meta} * 4096 + 40, std::vector<uint8_t>(400, 0x5A));
    MarkNeedsRepair(File);
    const std::vector<uint8_t> damaged = disktest::ReadAll(File);
    UI->ConfirmAnswers = {true};
    auto db = Make(File);
    db->Open();
    EXPECT_EQ(UI->Log.front(), std::string("Confirm(") + TORQDatabase::RepairQuestion + ")");
    // A repair's window shows at once and serves the program's events from its start.
    const auto start = std::find(UI->Log.begin(), UI->Log.end(), "Wait.Start(Repairing Database...)");
    ASSERT_TRUE(start != UI->Log.end());
    ASSERT_GE(UI->Log.end() - start, 3);
    EXPECT_EQ(*(start + 1), "Wait.Visible");
    EXPECT_EQ(*(start + 2), "ProcessMessages");
    EXPECT_EQ(UI->Log[UI->Log.size() - 1].substr(0, 8), "Warning(");
    const std::string warning = UI->Log.back();
    EXPECT_NE(warning.find("Problem occured while copying table 'STATIONS': 'The definitions of table 'STATIONS' "
                           "cannot be read: "),
              std::string::npos)
        << warning;
    EXPECT_NE(warning.find("The database file is left as it was."), std::string::npos) << warning;
    EXPECT_TRUE(db->RepairRanAtOpen);
    EXPECT_EQ("Warning(" + db->RepairTextAtOpen + ")", warning);
    EXPECT_NE(db->Handle()->NeedsRepair, 0);
    EXPECT_TRUE(db->ReadOnly());
    auto log = Table(*db, "NAVTEXLOG", "IDX_DT");
    log->Open();
    EXPECT_EQ(Minutes(*log, false), model.Minutes);
    log->Close();
    db->Close();
    EXPECT_EQ(disktest::ReadAll(File), damaged);
    EXPECT_EQ(Entries(Dir.Path), std::vector<std::string>{"TILO_DB.ORQ"});
    // RepairDatabaseTo answers False and leaves no copy.
    std::string text;
    EXPECT_FALSE(db->RepairDatabaseTo(Dir.File("COPY.ORQ"), text));
    EXPECT_NE(text.find("The definitions of table 'STATIONS' cannot be read"), std::string::npos) << text;
    EXPECT_EQ(Entries(Dir.Path), std::vector<std::string>{"TILO_DB.ORQ"});
}

// NAVTEXLOG's rows of a file: minute -> text (a memo that came over as Null is empty);
// none when the file has no such table.
std::map<int, std::string> LogRows(const std::string& Path) {
    TORQDatabase db(nullptr);
    db.SetDatabaseName("ROWREADER");
    db.SetDatabaseFileName(Path);
    db.SilentMode = true;
    db.Open();
    if (!db.TableExists("NAVTEXLOG")) return {};
    auto log = Table(db, "NAVTEXLOG");
    log->Open();
    std::map<int, std::string> out;
    for (log->First(); !log->Eof(); log->Next())
        out[static_cast<int>(std::lround((log->FieldByName("UTCRECEIVED")->AsDateTime() - Day0) * 1440))] =
            log->FieldByName("MSGTEXT")->AsString();
    return out;
}

// The name a repair's text gives its kept original, empty when none.
std::string KeptOriginal(const std::string& Text) {
    const std::string lead = "The original file is kept as '";
    const size_t at = Text.find(lead);
    if (at == std::string::npos) return {};
    const size_t end = Text.find('\'', at + lead.size());
    return Text.substr(at + lead.size(), end - at - lead.size());
}

// The NAVTEXLOG records a repair's text says it did not copy: those it found and could
// not copy, and those on pages it could not read.
int ReportedLost(const std::string& Text) {
    int lost = 0;
    std::smatch m;
    if (std::regex_search(Text, m, std::regex("Table 'NAVTEXLOG': (\\d+) of (\\d+) records copied")))
        lost += std::stoi(m[2]) - std::stoi(m[1]);
    if (std::regex_search(Text, m,
                          std::regex("Table 'NAVTEXLOG': (\\d+) records on pages that could not be read were not")))
        lost += std::stoi(m[1]);
    return lost;
}

int RepairSeeds() {
    const char* v = std::getenv("TILO_REPAIR_SEEDS");
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : 50;
}

// Files of the receiver's tables (400 log rows, memos over several pages among them), each
// with two bytes changed in the head of one page of NAVTEXLOG (its record, memo and index
// pages, its definitions, state and lock pages), marked as needing repair.
// TILO_REPAIR_SEEDS sets the number of files (50). Whatever the
// repair does, no readable row is lost without the original kept beside the file byte for
// byte and named in the result text; a damaged page costs at most its own records; a
// repair that answers False leaves the file as it was.
TEST_F(Rebuild, ARepairOfDamagedTablePageHeadsNeverLosesARowWithoutKeepingTheOriginal) {
    const std::string pristine = Dir.File("PRISTINE.ORQ");
    const TModel model = MakeModelFile(pristine, 800);
    std::map<int, std::string> rows;
    for (const int m : model.Minutes) rows[m] = Text(m);
    ASSERT_EQ(LogRows(pristine), rows);
    // The table's pages by kind: lock, state and definition pages, record, memo and
    // index pages. Each seed picks a kind, then a page of it.
    std::vector<std::vector<int64_t>> kinds;
    int32_t perPage = 0;
    {
        disktable::Connection c(pristine, false);
        int32_t id = -1, locks = -1, state = -1, meta = -1;
        c.Db->FindTable("NAVTEXLOG", id, locks, state, meta);
        kinds = {{locks}, {state}, {meta}, PagesOf(pristine, id, 10)};
        // Memo and index pages name no table: the memos are the log's alone, the index
        // pages all tables'.
        for (const int type : {11, 12}) kinds.push_back(PagesOf(pristine, -1, type, 4096, false));
        disktable::Cursor log(c, "NAVTEXLOG");
        perPage = log.Disk->DiskRecordManager()->RecordsPerPage();
    }
    for (const auto& k : kinds) ASSERT_FALSE(k.empty());
    std::mt19937 random(58);
    std::map<std::string, int> outcomes;
    for (int seed = 0; seed < RepairSeeds(); ++seed) {
        const size_t k = random() % kinds.size();
        const int64_t page = kinds[k][random() % kinds[k].size()];
        // Two bytes of a field the page header gives meaning (signature, type, next page,
        // owner); an internal file's first page is headed by its file header too.
        std::vector<int64_t> fields = {0, 2, 8, 10, 12, 22, 24};
        if (k < 3) fields.insert(fields.end(), {40, 42, 44, 46});
        const int64_t at = Page0 + page * 4096 + fields[random() % fields.size()];
        std::vector<uint8_t> bytes = disktest::ReadAll(pristine);
        bytes[static_cast<size_t>(at)] ^= static_cast<uint8_t>(1 + random() % 255);
        bytes[static_cast<size_t>(at + 1)] ^= static_cast<uint8_t>(1 + random() % 255);
        bytes[42] = 1;  // needs repair
        for (const auto& e : std::filesystem::directory_iterator(Dir.Path))
            if (e.path().filename() != "PRISTINE.ORQ") std::filesystem::remove(e.path());
        disktest::WriteAll(File, bytes);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": page " + std::to_string(page) + ", byte " +
                     std::to_string(at - Page0 - page * 4096));
        auto db = Make(File);
        std::string text;
        const std::string raised = Raised([&] { db->RepairDatabase(text); });
        const std::string kept = KeptOriginal(text);
        if (!kept.empty()) {
            EXPECT_EQ(disktest::ReadAll(kept), bytes) << "the kept original is the damaged file";
        }
        if (disktest::ReadAll(File) == bytes) {
            EXPECT_TRUE(!raised.empty() || text.find("The database file is left as it was.") != std::string::npos)
                << raised << text;
            ++outcomes["left as it was"];
            continue;
        }
        ASSERT_EQ(raised, "");
        const std::map<int, std::string> now = LogRows(File);
        int lost = 0, nulled = 0;
        for (const auto& [m, t] : rows) {
            const auto it = now.find(m);
            if (it == now.end())
                ++lost;
            else if (it->second != t)
                ++nulled;
        }
        EXPECT_LE(now.size(), rows.size());
        EXPECT_LE(lost, perPage) << text;
        EXPECT_EQ(now.size() + static_cast<size_t>(lost), rows.size()) << "no row the file never held";
        EXPECT_EQ(ReportedLost(text), lost) << text;
        if (nulled > 0) {
            EXPECT_NE(text.find("field 'MSGTEXT' was copied with Null value"), std::string::npos) << text;
        }
        if (lost > 0 || nulled > 0) {
            EXPECT_FALSE(kept.empty()) << lost << " rows lost, " << nulled << " memos empty: " << text;
            ++outcomes[lost > 0 ? "rows lost, original kept" : "values lost, original kept"];
        } else {
            ++outcomes[kept.empty() ? "whole" : "whole, original kept"];
        }
        if (!now.empty()) {
            EXPECT_EQ(LogMinutes(File).size(), now.size()) << "the date index holds every row";
        }
    }
    for (const auto& [o, k] : outcomes) std::printf("[ repairs  ] %s: %d\n", o.c_str(), k);
}

// One record of NAVTEXLOG cannot be read (its slot fails as a damaged one does): the
// repair goes past it, names it by page and slot, and keeps every other record. The
// unreadable one is the table's first, one inside the page, and its last.
TEST_F(Rebuild, ARepairSkipsARecordThatCannotBeReadAndNamesItsPageAndSlot) {
    for (const int slot : {10, 14, 19}) {
        SCOPED_TRACE(slot);
        std::filesystem::remove(File);
        const TModel model = MakeModelFile(File, 20);
        int32_t tableID = -1;
        {
            disktable::Connection c(File, false);
            disktable::Cursor log(c, "NAVTEXLOG");
            tableID = log.Disk->TableID;
        }
        const std::vector<int64_t> pages = PagesOf(File, tableID, 10);
        ASSERT_EQ(pages.size(), 1u);
        const auto page = static_cast<int32_t>(pages.front());
        std::string reason;
        SetRecordReadFaultHook([&](int32_t PageNo, int32_t SlotNo) {
            if (PageNo != page || SlotNo != slot) return;
            try {
                RaiseNative(20145, "Record not found");
            } catch (const std::exception& e) {
                reason = e.what();
                throw;
            }
        });
        struct TUnhook {
            ~TUnhook() { SetRecordReadFaultHook(nullptr); }
        } unhook;
        MarkNeedsRepair(File);
        auto db = Make(File);
        std::string text;
        db->RepairDatabase(text);
        ASSERT_FALSE(reason.empty()) << "the record was read";
        const std::string line = "table 'NAVTEXLOG': the record at page " + std::to_string(page) + ", slot " +
                                 std::to_string(slot) + " could not be read: " + reason + "\r\n";
        EXPECT_NE(text.find(line), std::string::npos) << text;
        EXPECT_EQ(text.find(line, text.find(line) + 1), std::string::npos) << "named once: " << text;
        EXPECT_NE(text.find("Table 'NAVTEXLOG': 9 of 10 records copied"), std::string::npos) << text;
        EXPECT_NE(text.find("Table 'STATIONS': 12 of 12 records copied"), std::string::npos) << text;
        EXPECT_EQ(text.find("Problem occured"), std::string::npos) << text;
        SetRecordReadFaultHook(nullptr);
        // Slot N holds minute N: the rows were appended in order and the first ten deleted.
        std::vector<int> expected;
        for (const int m : model.Minutes)
            if (m != slot) expected.push_back(m);
        EXPECT_EQ(LogMinutes(File), expected);
    }
}

// A file whose last commit was cut off: the index and state name every row, but the last
// record page came back without its records. Answers the rows still on the other pages.
int MakeHalfWrittenCommit(const std::string& Name, int Rows) {
    int32_t perPage = 0, tableID = -1;
    {
        disktable::Connection c(Name, false);
        disktable::CreateLogTable(c);
        disktable::Cursor log(c, "NAVTEXLOG");
        for (int i = 0; i < Rows; ++i) {
            log.FillLog(i, "ROW " + std::to_string(i));
            EXPECT_TRUE(log.Append());
        }
        const int32_t r = log.Disk->DiskRecordManager()->StoredRecordSize();
        perPage = static_cast<int32_t>(std::trunc((4096 - 40 - 1) / (r + 0.125)));
        tableID = log.Disk->TableID;
    }
    const std::vector<int64_t> pages = PagesOf(Name, tableID, 10);
    EXPECT_FALSE(pages.empty());
    disktest::Patch(Name, Page0 + pages.back() * 4096 + 40,
                    std::vector<uint8_t>(static_cast<size_t>((perPage + 7) / 8), 0));
    MarkNeedsRepair(Name);
    return Rows - Rows % perPage;
}

// The writer's rows in date order, each checked consistent with the indexes; each row's
// text, unless it is one of Unchecked (a commit the kill cut short may have left its memo
// unwritten: it comes over empty, never as another row's).
std::vector<int64_t> WriterMinutes(const std::string& Path, const std::set<int64_t>& Unchecked = {},
                                   std::set<int64_t>* EmptyMemos = nullptr) {
    disktable::Connection c(Path, false);
    disktable::Cursor log(c, "NAVTEXLOG");
    disktable::ExpectConsistent(log);
    std::vector<int64_t> out;
    log.SetIndexName("IDX_DT");
    log.ResetToBeginning();
    while (log.Disk->GetRecord(&log, gmNext) == grOK) {
        const int64_t m = log.Minute();
        out.push_back(m);
        const std::string text = log.GetText(logschema::fText);
        if (Unchecked.count(m) != 0 && text.empty()) {
            if (EmptyMemos != nullptr) EmptyMemos->insert(m);
            continue;
        }
        EXPECT_EQ(text, "ROW " + std::to_string(m));
    }
    return out;
}

TEST_F(Rebuild, AHalfWrittenCommitThatReadsNotFoundIsRepairedWhole) {
    CreateFile(File, {"", 0, 4096, 8, 16});
    const int kept = MakeHalfWrittenCommit(File, 100);
    ASSERT_GT(kept, 0);
    const std::vector<uint8_t> torn = disktest::ReadAll(File);
    // (e) the file being repaired is never written: the replacement failed, its bytes stay.
    SetReplaceFaultHook([](TORQReplaceStep S, const std::string&) { return S == TORQReplaceStep::Rename ? EIO : 0; });
    auto db = Make(File);
    std::string text;
    EXPECT_EQ(NativeCode([&] { db->RepairDatabase(text); }), 31461);
    EXPECT_EQ(disktest::ReadAll(File), torn);
    EXPECT_FALSE(std::filesystem::exists(Tmp));
    SetReplaceFaultHook(nullptr);

    db->RepairDatabase(text);
    EXPECT_NE(text.find("Table 'NAVTEXLOG': " + std::to_string(kept) + " of " + std::to_string(kept) +
                        " records copied"),
              std::string::npos)
        << text;
    std::vector<int64_t> expected;
    for (int i = 0; i < kept; ++i) expected.push_back(i);
    EXPECT_EQ(WriterMinutes(File), expected);
}

TEST_F(Rebuild, AWriterKilledAtRandomPointsLeavesFilesTheOpenRepairsWhole) {
    disktable::DbFile f;
    {
        disktable::Connection c(f.Name, false);
        disktable::CreateLogTable(c);
    }
    const std::string path = f.Name;
    const std::string tmp = path + ".tmp";
    std::mt19937 random(25);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(KillSeconds());
    std::set<int64_t> reported;
    int kills = 0, repairs = 0;
    // Rows of a commit the kill cut short that the repair kept (their memo may be unwritten).
    std::set<int64_t> cutRows, emptyMemos;
    int64_t next = 0;
    while (std::chrono::steady_clock::now() < end) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = disktable::ForkLogWriter(path, next, fds[1], [](int64_t M) { return "ROW " + std::to_string(M); });
        close(fds[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(2, 60)(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ++kills;
        int64_t m = 0;
        while (read(fds[0], &m, sizeof m) == sizeof m) reported.insert(m);
        close(fds[0]);
        UI->Log.clear();
        UI->ConfirmAnswers = {true};
        auto db = Make(path, "REPAIRER");
        db->Open();
        if (!UI->Log.empty()) {
            ++repairs;
            EXPECT_EQ(UI->Log.front(), std::string("Confirm(") + TORQDatabase::RepairQuestion + ")");
        }
        EXPECT_EQ(db->Handle()->NeedsRepair, 0) << "kill " << kills;
        db->Close();
        EXPECT_FALSE(std::filesystem::exists(tmp));
        // The row the killed commit was writing.
        const int64_t cut = reported.empty() ? next : std::max(next, *reported.rbegin() + 1);
        std::set<int64_t> unchecked = cutRows;
        unchecked.insert(cut);
        const std::vector<int64_t> rows = WriterMinutes(path, unchecked, &emptyMemos);
        const std::set<int64_t> present(rows.begin(), rows.end());
        for (int64_t r : reported) ASSERT_TRUE(present.count(r)) << "reported commit " << r << " lost, kill " << kills;
        // At most the row the writer committed but could not report yet.
        ASSERT_LE(present.size(), reported.size() + 1);
        if (present.size() > reported.size()) {
            cutRows.insert(*present.rbegin());
            reported.insert(*present.rbegin());
        }
        next = present.empty() ? 0 : *present.rbegin() + 1;
    }
    EXPECT_GT(kills, 0);
    std::printf("[ kills    ] %d writers killed, %d files repaired, %zu rows kept; %d rows of an unreported commit "
                "kept, %d of them with their memo unwritten\n",
                kills, repairs, reported.size(), static_cast<int>(cutRows.size()), static_cast<int>(emptyMemos.size()));
}

TEST_F(Rebuild, DuplicatesUnderAUniqueIndexAreNamedByARepairAndRefusedByACompaction) {
    CreateFile(File);
    {
        auto db = Make(File, "MAKER");
        db->Open();
        auto t = Table(*db, "COUNTER");
        AddField(*t, "ID", aftInteger);
        AddField(*t, "NAME", aftVarChar, 20);
        AddIndex(*t, "BY_NAME", "NAME");
        t->CreateTable();
        t->Open();
        for (const auto& [id, name] : std::vector<std::pair<int, std::string>>{{1, "A"}, {2, "B"}, {3, "A"}, {4, "C"}}) {
            t->Append();
            t->FieldByName("ID")->SetAsInteger(id);
            t->FieldByName("NAME")->SetAsString(name);
            t->Post();
        }
        t->Close();
        db->Close();
    }
    // The unique flag set in the stored definitions, over rows that break it.
    {
        disktable::Connection c(File, false);
        disktable::Cursor t(c, "COUNTER");
        TORQIndexDefs& defs = t.Disk->IndexManager->IndexDefs;
        const int32_t at = defs.IndexOfName("BY_NAME");
        ASSERT_GE(at, 0);
        defs.GetItem(at)->Unique = 1;
        TORQTableLock lock(*t.Disk);
        t.Disk->SaveMetadata(c.S.SessionID);
        t.Disk->CommitSessionPages(c.S.SessionID, false);
    }
    const std::vector<uint8_t> before = disktest::ReadAll(File);
    auto db = Make(File);
    try {
        db->CompactDatabase();
        ADD_FAILURE() << "the compaction refuses";
    } catch (const EORQException& e) {
        EXPECT_EQ(e.NativeError(), 20199);
        EXPECT_EQ(std::string(e.what()).rfind("Problem occured while copying table 'COUNTER': '", 0), 0u) << e.what();
    }
    EXPECT_EQ(disktest::ReadAll(File), before);
    EXPECT_FALSE(std::filesystem::exists(Tmp));
    std::string text;
    db->RepairDatabase(text);
    EXPECT_NE(text.find("Error copying table \"COUNTER\". Record #3 was not imported due to error: "), std::string::npos)
        << text;
    EXPECT_NE(text.find("Table 'COUNTER': 3 of 4 records copied"), std::string::npos) << text;
    db->Open();
    auto t = Table(*db, "COUNTER", "BY_NAME");
    t->Open();
    std::vector<int> ids;
    for (t->First(); !t->Eof(); t->Next()) ids.push_back(t->FieldByName("ID")->AsInteger());
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 4}));
    t->Close();
    db->Close();
}

TEST_F(Rebuild, TheOpenRepairsOnYesOnlyAndConvertsAnOldFile) {
    const TModel model = MakeModelFile(File, 10);
    MarkNeedsRepair(File);
    const std::vector<uint8_t> torn = disktest::ReadAll(File);
    {
        // No: the file stays needing repair, and takes no change.
        UI->ConfirmAnswers = {false};
        auto db = Make(File);
        db->Open();
        EXPECT_NE(db->Handle()->NeedsRepair, 0);
        db->Close();
        EXPECT_EQ(disktest::ReadAll(File), torn);
    }
    {
        // SilentMode: nothing is asked.
        UI->Log.clear();
        auto db = Make(File);
        db->SilentMode = true;
        db->Open();
        EXPECT_TRUE(UI->Log.empty());
        db->Close();
        EXPECT_EQ(disktest::ReadAll(File), torn);
    }
    {
        UI->ConfirmAnswers = {true};
        auto db = Make(File);
        db->Open();
        EXPECT_EQ(db->Handle()->NeedsRepair, 0);
        ExpectModel(*db, model, 11);
        db->Close();
    }
    // A file of version 2.98: the notice, then the conversion to 5.18 with the same content.
    const std::string old = Dir.File("OLD.ORQ");
    const TModel oldModel = MakeModelFile(old, 10);
    SetFileVersion(old, 2.98);
    UI->Log.clear();
    auto db = Make(old, "OLDFILE");
    db->Open();
    ASSERT_FALSE(UI->Log.empty());
    EXPECT_EQ(UI->Log.front(), std::string("Information(") + TORQDatabase::ConversionNotice + ")");
    EXPECT_EQ(db->Handle()->NeedsRepair, 0);
    ExpectModel(*db, oldModel, 11);
    db->Close();
    const std::vector<uint8_t> b = disktest::ReadAll(old);
    double version = 0;
    std::memcpy(&version, b.data() + 18, 8);
    EXPECT_EQ(version, 5.18);
}


}  // namespace
