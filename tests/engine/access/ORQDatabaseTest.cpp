// The database component: properties and guards, the open with its password loop, repair
// question and conversion notice, files left needing repair, shared handles and the close.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../../classlib/TestDataSet.h"
#include "AccessFixture.h"

namespace {

using namespace accesstest;
using classlib::TComponent;

constexpr size_t Page0 = 380;

// A database whose rebuild a test scripts; without a script the real one runs.
class TScriptedRepairDatabase : public TORQDatabase {
public:
    using TORQDatabase::TORQDatabase;
    std::function<void(std::string&)> Repair;
    int Runs = 0;
    bool InRepairSeen = false;
    void RepairDatabase(std::string& ErrorText) override {
        ++Runs;
        InRepairSeen = InRepair;
        if (Repair)
            Repair(ErrorText);
        else
            TORQDatabase::RepairDatabase(ErrorText);
    }
};

class Database : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        FOld = std::filesystem::current_path();
        std::filesystem::current_path(Dir.Path);
        File = Dir.File("TILO_DB.ORQ");
    }
    void TearDown() override {
        SetDesignTime(false);
        std::filesystem::current_path(FOld);
        EngineTest::TearDown();
    }
    static std::unique_ptr<TScriptedRepairDatabase> Make(const std::string& FileName, const std::string& Name = "NAVTEX") {
        auto db = std::make_unique<TScriptedRepairDatabase>(nullptr);
        db->SetDatabaseName(Name);
        db->SetDatabaseFileName(FileName);
        return db;
    }
    std::string File;

private:
    std::filesystem::path FOld;
};

TEST_F(Database, DefaultsAndTheFixedVersion) {
    TORQDatabase db(nullptr);
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.CurrentVersion(), "5.18 ");
    db.SetCurrentVersion("2.5");
    EXPECT_EQ(db.CurrentVersion(), "5.18 ") << "writes are ignored";
    EXPECT_TRUE(db.KeepConnection());
    EXPECT_EQ(db.MaxConnections, 500);
    EXPECT_EQ(db.PageSize, 4096);
    EXPECT_EQ(db.PagesPerExtent, 8);
    EXPECT_EQ(db.EncryptionAlgorithm, 0);
    EXPECT_FALSE(db.ReadOnly() || db.Exclusive || db.MultiUser || db.HandleShared || db.SilentMode ||
                 db.DisableTempFiles || db.OwnedBySession || db.InRepair);
    EXPECT_EQ(db.Session(), &DefaultSession());
    EXPECT_EQ(db.SessionName(), "Default");
    EXPECT_EQ(db.OpenRefCount, 0);
    EXPECT_FALSE(db.InTransaction());
    EXPECT_EQ(db.Handle(), nullptr);
}

TEST_F(Database, GuardsNameTheComponent) {
    CreateLogFile(File);
    TComponent dm(nullptr);
    auto* db = new TORQDatabase(&dm);
    EXPECT_EQ(Raised([&] { db->Open(); }), "Database name missing");
    db->SetName("ORQDB");
    EXPECT_EQ(Raised([&] { db->Open(); }), "ORQDB: Database name missing");
    db->SetDatabaseName("NAVTEX");
    db->SetDatabaseFileName("nope.orq");
    EXPECT_EQ(Raised([&] { db->Open(); }), "ORQDB: Database file 'nope.orq' does not exist");
    EXPECT_EQ(Raised([&] { db->CheckConnected(); }), "ORQDB: Cannot perform this operation on a closed database");
    db->SetSessionName("Nowhere");
    EXPECT_EQ(NativeCode([&] { db->Open(); }), 20002);
    db->SetSessionName("Default");
    db->SetDatabaseFileName("TILO_DB.ORQ");  // relative: against the current directory
    db->Open();
    ASSERT_TRUE(db->Connected());
    EXPECT_EQ(db->Handle()->DatabaseData->DatabaseName, std::filesystem::canonical(File).string());
    EXPECT_EQ(Raised([&] { db->SetDatabaseName("OTHER"); }), "ORQDB: Cannot perform this operation on an open database");
    EXPECT_EQ(Raised([&] { db->SetSessionName("Other"); }), "ORQDB: Cannot perform this operation on an open database");
    EXPECT_EQ(Raised([&] { db->CheckClosed(); }), "ORQDB: Cannot perform this operation on an open database");
    db->SetDatabaseFileName(File);  // another spelling of the same file closes all the same
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(DatabaseList().Count(), 2);

    // At design time a property change closes instead of refusing.
    db->Open();
    dm.SetDesigning(true);
    db->SetDatabaseName("RENAMED");
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(db->DatabaseName(), "RENAMED");
}

TEST_F(Database, AtDesignTimeErrorsAreShownNotRaised) {
    TComponent form(nullptr);
    form.SetDesigning(true);
    EXPECT_FALSE(IsDesignTime());
    auto* db = new TORQDatabase(&form);
    EXPECT_TRUE(IsDesignTime()) << "a database made in a designer sets the flag";
    db->SetName("ORQDB");
    db->SetDatabaseName("NAVTEX");
    db->SetDatabaseFileName("nope.orq");
    EXPECT_NO_THROW(db->Open());
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(UI->Log, (std::vector<std::string>{"Error(ORQDB: Database file 'nope.orq' does not exist)"}));
}

TEST_F(Database, AStoredConnectedOpensOnceEveryPropertyIsRead) {
    CreateLogFile(File);
    TComponent dm(nullptr);
    dm.BeginLoading();
    auto* db = new TORQDatabase(&dm);
    db->SetConnected(true);  // read first, applied last
    EXPECT_FALSE(db->Connected());
    db->SetDatabaseName("NAVTEX");
    db->SetDatabaseFileName("TILO_DB.ORQ");
    db->MaxConnections = 1;
    EXPECT_FALSE(db->Connected());
    dm.EndLoading();
    EXPECT_TRUE(db->Connected());
    EXPECT_EQ(db->MaxConnections, 500) << "the file's value";
    std::vector<std::string> tables;
    db->GetTableNames(tables);
    EXPECT_EQ(tables, (std::vector<std::string>{"NAVTEXLOG"}));
}

TEST_F(Database, TableNamesAndTableExistsOpenOnTheirOwn) {
    CreateLogFile(File);
    auto db = Make(File);
    std::vector<std::string> tables{"stale"};
    db->GetTableNames(tables);
    EXPECT_EQ(tables, (std::vector<std::string>{"NAVTEXLOG"}));
    EXPECT_FALSE(db->Connected()) << "closed again";
    EXPECT_EQ(DatabaseList().Count(), 2);
    EXPECT_TRUE(db->TableExists("NavtexLog"));
    EXPECT_TRUE(db->Connected()) << "stays connected";
    EXPECT_FALSE(db->TableExists("STATIONS"));
    // A failing open is the call's failure, not an empty list.
    auto missing = Make("gone.orq", "GONE");
    EXPECT_EQ(Raised([&] { missing->GetTableNames(tables); }), "Database file 'gone.orq' does not exist");
}

TEST_F(Database, FileSettingsReadBackAfterTheOpen) {
    CreateFile(File, {"pw", 2, 8192, 4, 32});
    auto db = Make(File);
    db->Password = "pw";
    db->Open();
    EXPECT_EQ(db->PageSize, 8192);
    EXPECT_EQ(db->PagesPerExtent, 4);
    EXPECT_EQ(db->MaxConnections, 32);
    EXPECT_EQ(db->EncryptionAlgorithm, 2);
    EXPECT_FALSE(db->ReadOnly());
    EXPECT_TRUE(UI->Log.empty());
}

TEST_F(Database, APasswordPromptRetriesUntilTheAnswerStops) {
    CreateFile(File, {"right", 1});
    struct Case {
        const char* What;
        std::deque<std::optional<std::string>> Answers;
        bool Silent;
        int HandlerTrue;  // -1: no handler; else the handler answers true this often
        int32_t Code;
        std::vector<std::string> Log;
        int HandlerCalls;
    };
    const std::vector<Case> cases = {
        {"OK with the right password", {"right"}, false, -1, 0, {"Password()"}, 0},
        {"wrong, then right", {"wrong", "right"}, false, -1, 0, {"Password()", "Password()"}, 0},
        {"Cancel", {std::nullopt}, false, -1, 30445, {"Password()"}, 0},
        {"SilentMode", {"right"}, true, -1, 30445, {}, 0},
        {"OnPassword false", {"right"}, false, 0, 30445, {}, 1},
        {"OnPassword true three times", {}, false, 3, 0, {}, 3},
    };
    for (const Case& c : cases) {
        UI->Log.clear();
        UI->PasswordAnswers = c.Answers;
        auto db = Make(File);
        db->SilentMode = c.Silent;
        int calls = 0;
        if (c.HandlerTrue >= 0)
            db->OnPassword = [&](classlib::TPersistent* Sender, bool& Continue) {
                EXPECT_EQ(Sender, db.get());
                EXPECT_FALSE(Continue) << "starts false";
                ++calls;
                Continue = calls <= c.HandlerTrue;
                // Wrong twice, right at the third answer: the fourth connect opens.
                db->Password = calls < 3 ? "wrong" : "right";
            };
        EXPECT_EQ(NativeCode([&] { db->Open(); }), c.Code) << c.What;
        EXPECT_EQ(db->Connected(), c.Code == 0) << c.What;
        EXPECT_EQ(UI->Log, c.Log) << c.What;
        EXPECT_EQ(calls, c.HandlerCalls) << c.What;
        if (c.Code == 0) {
            EXPECT_EQ(db->Password, "right") << c.What;
        }
        db->Close();
        EXPECT_EQ(DatabaseList().Count(), 2) << c.What;
    }
    // A second open of the open file with another password: 20298, no prompt.
    auto first = Make(File);
    first->Password = "right";
    first->Open();
    auto second = Make(File, "SECOND");
    second->Password = "wrong";
    UI->Log.clear();
    UI->PasswordAnswers = {"right"};
    EXPECT_EQ(NativeCode([&] { second->Open(); }), 20298);
    EXPECT_TRUE(UI->Log.empty());
    EXPECT_FALSE(second->Connected());
    EXPECT_EQ(first->Handle()->DatabaseData->SessionCount(), 1);
}

TEST_F(Database, AFileNeedingRepairAsksOrNotifiesAndRepairsWhenTold) {
    CreateLogFile(File, 3);
    const std::vector<uint8_t> clean = disktest::ReadAll(File);
    MakeTornFile(File);
    const std::vector<uint8_t> torn = disktest::ReadAll(File);
    ASSERT_EQ(torn.at(42), 1) << "the child left state 1";
    std::vector<uint8_t> old = clean;
    const double oldVersion = 2.5;
    std::memcpy(old.data() + 18, &oldVersion, 8);

    const std::string question = std::string("Confirm(") + TORQDatabase::RepairQuestion + ")";
    const std::string notice = std::string("Information(") + TORQDatabase::ConversionNotice + ")";
    enum Event { None, EventYes, EventNo };
    struct Case {
        const char* What;
        bool Old;
        bool Answer;
        Event OnNeedRepair;
        bool Silent;
        bool DesignTime;
        std::vector<std::string> Log;
        bool Repaired;
    };
    const std::vector<Case> cases = {
        {"5.18, Yes", false, true, None, false, false, {question}, true},
        {"5.18, No", false, false, None, false, false, {question}, false},
        {"5.18, OnNeedRepair true", false, false, EventYes, false, false, {}, true},
        {"5.18, OnNeedRepair false", false, true, EventNo, false, false, {}, false},
        {"5.18, SilentMode", false, true, None, true, false, {}, false},
        {"5.18, design time", false, true, None, false, true, {}, false},
        {"2.5", true, false, None, false, false, {notice}, true},
        {"2.5, OnNeedRepair false", true, false, EventNo, false, false, {notice}, true},
        {"2.5, SilentMode", true, true, None, true, false, {}, false},
    };
    for (const Case& c : cases) {
        disktest::WriteAll(File, c.Old ? old : torn);
        UI->Log.clear();
        UI->ConfirmAnswers = {c.Answer};
        SetDesignTime(c.DesignTime);
        auto db = Make(File);
        db->SilentMode = c.Silent;
        if (c.OnNeedRepair != None)
            db->OnNeedRepair = [&](classlib::TPersistent*, bool& DoRepair) { DoRepair = c.OnNeedRepair == EventYes; };
        db->Repair = [&](std::string&) {
            EXPECT_EQ(DatabaseList().Count(), 2) << "the file is closed for the repair";
            disktest::WriteAll(File, clean);
        };
        db->Open();
        SetDesignTime(false);
        EXPECT_TRUE(db->Connected()) << c.What;
        EXPECT_EQ(UI->Log, c.Log) << c.What;
        EXPECT_EQ(db->Runs, c.Repaired ? 1 : 0) << c.What;
        if (c.Repaired) {
            EXPECT_TRUE(db->InRepairSeen) << c.What;
        }
        EXPECT_FALSE(db->InRepair) << c.What;
        EXPECT_EQ(db->Handle()->NeedsRepair, c.Repaired ? 0 : 1) << c.What;
        if (!c.DesignTime) {
            EXPECT_EQ(db->ReadOnly(), !c.Repaired) << "a file left needing repair opens for reading: " << c.What;
        }
    }
}

TEST_F(Database, RepairOutcomes) {
    CreateLogFile(File, 3);
    const std::vector<uint8_t> clean = disktest::ReadAll(File);
    MakeTornFile(File);
    const std::vector<uint8_t> torn = disktest::ReadAll(File);
    UI->ConfirmAnswers = {true, true, true};

    // Problems of single tables come back as a warning; the open goes on.
    auto warned = Make(File);
    warned->Repair = [&](std::string& ErrorText) {
        disktest::WriteAll(File, clean);
        ErrorText = "Problem occured while copying table 'STATIONS': 'unreadable'";
    };
    warned->Open();
    EXPECT_TRUE(warned->Connected());
    EXPECT_EQ(UI->Log.back(), "Warning(Problem occured while copying table 'STATIONS': 'unreadable')");
    warned.reset();

    const std::string text =
        "Cannot convert database to the new format. Please contact your system administrator with this issue - Native "
        "error: 20238";
    // A repair that raises.
    {
        disktest::WriteAll(File, torn);
        auto db = Make(File);
        db->Repair = [](std::string&) { throw classlib::EInOutError("disk gone"); };
        EXPECT_EQ(Raised([&] { db->Open(); }), text);
        EXPECT_FALSE(db->Connected());
        EXPECT_FALSE(db->InRepair);
        EXPECT_EQ(db->Runs, 1);
        EXPECT_EQ(DatabaseList().Count(), 2);
        EXPECT_EQ(disktest::ReadAll(File), torn) << "unchanged";
    }
}

TEST_F(Database, AFileLeftNeedingRepairTakesNoChange) {
    CreateLogFile(File, 3);
    MakeTornFile(File);
    const std::vector<uint8_t> torn = disktest::ReadAll(File);
    UI->ConfirmAnswers = {false};
    auto db = Make(File);
    db->Open();
    ASSERT_TRUE(db->Connected());
    EXPECT_TRUE(db->ReadOnly());
    // Reads work.
    std::vector<std::string> tables;
    db->Handle()->GetTablesList(tables);
    EXPECT_EQ(tables, (std::vector<std::string>{"NAVTEXLOG"}));
    {
        RowCursor log(*db->Handle(), "NAVTEXLOG");
        EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 1, 2}));
        EXPECT_EQ(NativeCode([&] { log.Append(10); }), 20300);
    }
    TORQDiskDatabaseData& disk = *db->Handle()->DiskDatabaseData();
    EXPECT_EQ(Raised([&] { CreateLogTable(disk, *db->Handle(), "STATIONS"); }),
              "Database '" + std::filesystem::canonical(File).string() +
                  "' was not closed properly and needs repair; it cannot be changed until it is repaired - Native "
                  "error: 20300");
    EXPECT_FALSE(db->TableExists("STATIONS"));
    db->Handle()->StartTransaction();
    EXPECT_EQ(NativeCode([&] { db->Handle()->Commit(true); }), 0) << "nothing to commit";
    db->Close();
    EXPECT_EQ(BytesFrom(File, Page0), std::vector<uint8_t>(torn.begin() + Page0, torn.end()))
        << "every byte from page 0 on is unchanged";

    // The rebuild reads its source in recovery mode, which is exempt; the ReadOnly the last
    // open answered is not asked for again.
    UI->ConfirmAnswers = {false};
    db->Open();
    EXPECT_EQ(db->Handle()->ReadOnly, 0);
    db->Handle()->SetRecoveryMode(true);
    EXPECT_TRUE(db->Handle()->GetRecoveryMode());
    RowCursor log(*db->Handle(), "NAVTEXLOG");
    EXPECT_TRUE(log.Append(11));
}

TEST_F(Database, AWriterKilledMidCommitByAnotherProcessIsCompletedBeforeOurNextChange) {
    CreateLogFile(File, 2);
    auto db = Make(File);
    db->MultiUser = true;
    db->Open();
    ASSERT_EQ(db->Handle()->NeedsRepair, 0);
    RowCursor log(*db->Handle(), "NAVTEXLOG");
    ASSERT_TRUE(log.Append(5));
    MakeInterruptedCommit(File, true);  // a multi-user writer of another process dies in its commit
    EXPECT_EQ(disktest::ReadAll(File).at(42), 1) << "the other's commit is being written";
    EXPECT_TRUE(log.Append(6));
    EXPECT_EQ(disktest::ReadAll(File).at(42), 2);
    EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 1, 5, 999, 6})) << "the dead writer's row completed, ours after";
    // A commit torn with no journal to explain it (an older engine's, or damage) still
    // stops every change.
    MakeTornFile(File);
    EXPECT_EQ(NativeCode([&] { log.Append(7); }), 20300);
    EXPECT_EQ(disktest::ReadAll(File).at(42), 1) << "the torn commit's mark stays";
}

TEST_F(Database, ASharedHandleOutlivesItsOwner) {
    CreateLogFile(File, 1);
    auto shared = [&] {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->HandleShared = true;  // both HandleShared: no duplicate
        db->SetDatabaseName("SHARED");
        db->SetDatabaseFileName(File);
        return db;
    };
    auto owner = shared();
    auto borrower = shared();
    owner->Open();
    borrower->Open();
    EXPECT_FALSE(owner->HandleBorrowed());
    EXPECT_TRUE(borrower->HandleBorrowed());
    EXPECT_EQ(borrower->Handle(), owner->Handle());
    EXPECT_EQ(owner->Handle()->DatabaseData->SessionCount(), 1) << "one connection";

    // Closing the borrower leaves the owner connected.
    borrower->Close();
    EXPECT_TRUE(owner->Connected());
    EXPECT_TRUE(owner->TableExists("NAVTEXLOG"));
    borrower->Open();

    // The owner closing first frees nothing the borrower uses.
    owner->Close();
    ASSERT_TRUE(borrower->Connected());
    EXPECT_TRUE(borrower->Handle()->GetConnected());
    EXPECT_TRUE(borrower->TableExists("NAVTEXLOG"));
    EXPECT_EQ(DatabaseList().Count(), 3);
    borrower->Close();
    EXPECT_EQ(DatabaseList().Count(), 2) << "disconnected with its last holder";
}

TEST_F(Database, FilesThatCannotBeWrittenOrRead) {
    // A garbage file: the file layer's 10470, nothing listed, nothing changed.
    std::vector<uint8_t> garbage(9000);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7 + 3);
    disktest::WriteAll(File, garbage);
    auto db = Make(File);
    EXPECT_EQ(NativeCode([&] { db->Open(); }), 10470);
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(DatabaseList().Count(), 2);
    EXPECT_EQ(disktest::ReadAll(File), garbage);

    // A file another process holds opens for reading.
    CreateLogFile(File, 1);
    {
        disktest::HoldingChild holder([&] {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = File;
            s.SetConnected(true);
            s.DatabaseData = nullptr;  // the child ends without disconnecting
            return 0;
        });
        db->Open();
        EXPECT_TRUE(db->ReadOnly());
        db->Close();
        holder.Release();
    }
    // A file without write permission opens for reading, and takes no change.
    db->SetReadOnly(false);
    std::filesystem::permissions(File, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    const auto opensReadOnly = [&]() -> int {
        if (access(File.c_str(), W_OK) == 0) return 10;
        db->Open();
        if (!db->ReadOnly()) return 11;
        if (!db->TableExists("NAVTEXLOG")) return 12;
        RowCursor log(*db->Handle(), "NAVTEXLOG");
        if (log.Rows() != std::vector<int64_t>{0}) return 13;
        return NativeCode([&] { log.Append(5); }) == 30962 ? 0 : 14;
    };
    const std::vector<uint8_t> before = disktest::ReadAll(File);
    if (access(File.c_str(), W_OK) != 0) {
        EXPECT_EQ(opensReadOnly(), 0);
    } else {
        // Root writes whatever the mode says: look as an unprivileged user, in a child
        // that owns the folder and only reads the file.
        constexpr uid_t Nobody = 65534;
        ASSERT_EQ(chown(Dir.Path.c_str(), Nobody, Nobody), 0);
        const int rc = disktest::InChild([&] {
            if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0) return 90;
            return opensReadOnly();
        });
        if (rc == 90) GTEST_SKIP() << "cannot drop to an unprivileged user";
        EXPECT_EQ(rc, 0);
    }
    EXPECT_EQ(disktest::ReadAll(File), before);
}

// An insert on a file another process holds is refused as a write on a read-only database,
// before anything reaches the file: on an empty table (it would allocate the first record
// page and write the free-space map) as on one whose page has room.
TEST_F(Database, AnInsertAfterTheReadOnlyFallbackIsRefusedWithNothingWritten) {
    for (const int rows : {0, 3}) {
        SCOPED_TRACE(rows);
        CreateLogFile(File, rows);
        disktest::HoldingChild holder([&] {
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = File;
            s.SetConnected(true);
            s.DatabaseData = nullptr;  // the child ends without disconnecting
            return 0;
        });
        ASSERT_EQ(holder.SetupResult, 0);
        const std::vector<uint8_t> before = disktest::ReadAll(File);
        auto db = Make(File);
        db->Open();
        ASSERT_TRUE(db->ReadOnly());
        {
            RowCursor log(*db->Handle(), "NAVTEXLOG");
            EXPECT_EQ(NativeCode([&] { log.Append(10); }), 30962);
            EXPECT_EQ(NativeCode([&] { log.Append(11); }), 30962) << "and again";
            EXPECT_EQ(log.Rows().size(), static_cast<size_t>(rows));
        }
        db->Close();
        EXPECT_EQ(disktest::ReadAll(File), before);
        holder.Release();
        std::filesystem::remove(File);
    }
}

// Datasets that log their close; a query among them.
class LoggedDataSet : public classlib_test::TTestDataSet, public TORQSessionDataSet {
public:
    LoggedDataSet(std::vector<std::string>& Log, std::string Id, bool Query, bool Fail)
        : FLog(Log), FId(std::move(Id)), FQuery(Query), FFail(Fail) {}
    std::string GetSessionName() const override { return FSession; }
    void SetSessionName(const std::string& Value) override { FSession = Value; }
    bool IsQuery() const override { return FQuery; }
    TORQDatabase* Database = nullptr;

protected:
    void InternalClose() override {
        FLog.push_back(FId);
        if (Database != nullptr) Database->RemoveDataSet(this);
        TTestDataSet::InternalClose();
        if (FFail) throw classlib::EDatabaseError(FId + " failed");
    }

private:
    std::vector<std::string>& FLog;
    std::string FId;
    bool FQuery, FFail;
    std::string FSession;
};

TEST_F(Database, CloseTakesQueriesFirstThenTheRestLastToFirst) {
    CreateLogFile(File);
    auto db = Make(File);
    db->Open();
    std::vector<std::string> log;
    std::vector<std::unique_ptr<LoggedDataSet>> sets;
    const struct {
        const char* Id;
        bool Query, Fail;
    } specs[] = {{"t1", false, false}, {"q1", true, false}, {"t2", false, true}, {"q2", true, false}, {"t3", false, false}};
    for (const auto& s : specs) {
        sets.push_back(std::make_unique<LoggedDataSet>(log, s.Id, s.Query, s.Fail));
        sets.back()->Structure = {{"N", classlib::ftInteger}};
        sets.back()->Open();
        sets.back()->Database = db.get();
        db->AddDataSet(sets.back().get());
    }
    EXPECT_EQ(db->DataSetCount(), 5);
    EXPECT_EQ(db->GetDataSet(1), sets[1].get());
    EXPECT_EQ(Raised([&] { db->Close(); }), "t2 failed");
    EXPECT_EQ(log, (std::vector<std::string>{"q1", "q2", "t3", "t2", "t1"}));
    EXPECT_FALSE(db->Connected()) << "the close completes";
    EXPECT_EQ(db->DataSetCount(), 0);
    EXPECT_EQ(DatabaseList().Count(), 2);
}

TEST_F(Database, ASessionGoingAwayHandsItsDatabasesToTheDefault) {
    CreateLogFile(File);
    TComponent dm(nullptr);
    auto* s = new TORQSession(&dm);
    s->SetSessionName("Work");
    auto db = Make(File);
    db->SetSessionName("Work");
    EXPECT_EQ(db->Session(), s);
    db->Open();
    delete s;
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(db->Session(), &DefaultSession());
    EXPECT_EQ(db->SessionName(), "Default");
    db->Open();
    EXPECT_TRUE(db->Connected());
}

}  // namespace
