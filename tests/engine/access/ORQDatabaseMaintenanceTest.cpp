// Database maintenance of the database component: create and delete with their guards,
// the transaction calls with the failed-undo mark, the replacement of a database file by
// its rebuilt copy under injected failures, and the in-use refusal a rebuild starts with.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "AccessFixture.h"
#include "engine/access/ORQDatabase.h"

namespace {

using namespace accesstest;

class Maintenance : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        File = Dir.File("TILO_DB.ORQ");
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
    std::string File;
};

uint32_t LE(const std::vector<uint8_t>& B, size_t At, int Bytes) {
    uint32_t v = 0;
    for (int i = Bytes - 1; i >= 0; --i) v = (v << 8) | B.at(At + static_cast<size_t>(i));
    return v;
}

// ---------------------------------------------------------------------------------
// Create and delete

TEST_F(Maintenance, CreateWritesTheComponentsSettingsAndStaysClosed) {
    auto db = Make(File);
    db->PageSize = 8192;
    db->PagesPerExtent = 4;
    db->MaxConnections = 4;
    db->Password = "secret";
    db->EncryptionAlgorithm = 3;
    db->CreateDatabase();
    EXPECT_FALSE(db->Connected());
    EXPECT_EQ(DatabaseList().Count(), 2) << "no database object outlives the create";
    const std::vector<uint8_t> b = disktest::ReadAll(File);
    ASSERT_GE(b.size(), 380u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 16), "ORQUANT0DATABASE");
    EXPECT_EQ(LE(b, 26, 2), 8192u) << "page size";
    EXPECT_EQ(LE(b, 28, 2), 4u) << "pages per extent";
    EXPECT_EQ(b.at(43), 0xFF) << "encrypted";
    EXPECT_EQ(b.at(78), 3) << "cipher";

    // The file opens with its password and reports what was created.
    auto again = Make(File, "AGAIN");
    again->Password = "secret";
    again->Open();
    EXPECT_EQ(again->PageSize, 8192);
    EXPECT_EQ(again->PagesPerExtent, 4);
    EXPECT_EQ(again->EncryptionAlgorithm, 3);
    EXPECT_EQ(again->MaxConnections, 4);
    // A file open in this process is not created over.
    auto over = Make(File, "OVER");
    EXPECT_EQ(NativeCode([&] { over->CreateDatabase(); }), 20092);
    EXPECT_FALSE(over->Connected());
    again->Close();
}

TEST_F(Maintenance, CreateAndDeleteGuards) {
    auto unnamed = std::make_unique<TORQDatabase>(nullptr);
    unnamed->SetDatabaseFileName(File);
    EXPECT_EQ(Raised([&] { unnamed->CreateDatabase(); }), "Database name missing");
    EXPECT_EQ(Raised([&] { unnamed->DeleteDatabase(); }), "Database name missing");
    EXPECT_FALSE(std::filesystem::exists(File));

    CreateLogFile(File, 2);
    const std::vector<uint8_t> before = disktest::ReadAll(File);
    auto db = Make(File);
    db->Open();
    EXPECT_EQ(Raised([&] { db->CreateDatabase(); }), "Cannot perform this operation on an open database");
    EXPECT_EQ(Raised([&] { db->DeleteDatabase(); }), "Cannot perform this operation on an open database");
    db->Close();
    EXPECT_EQ(disktest::ReadAll(File), before);
}

TEST_F(Maintenance, DeleteRemovesTheFileAndReportsWhatItCannotRemove) {
    CreateLogFile(File, 1);
    auto db = Make(File);
    db->DeleteDatabase();
    EXPECT_FALSE(std::filesystem::exists(File));
    EXPECT_EQ(Raised([&] { db->DeleteDatabase(); }), "") << "a missing file is no error";

    // A name that exists but is no removable file (root can remove read-only files, but
    // unlink never removes a folder).
    const std::string folder = Dir.File("A_FOLDER.ORQ");
    std::filesystem::create_directory(folder);
    db->SetDatabaseFileName(folder);
    try {
        db->DeleteDatabase();
        ADD_FAILURE() << "an existing file that stays raises";
    } catch (const classlib::EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot delete database file '" + folder + "': " + std::strerror(EISDIR));
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

// ---------------------------------------------------------------------------------
// Transactions

TEST_F(Maintenance, TransactionCallsNeedAConnectionAndNestNot) {
    CreateLogFile(File);
    auto db = Make(File);
    const std::string closed = "Cannot perform this operation on a closed database";
    EXPECT_EQ(Raised([&] { db->StartTransaction(); }), closed);
    EXPECT_EQ(Raised([&] { db->Commit(true); }), closed);
    EXPECT_EQ(Raised([&] { db->Rollback(); }), closed);
    db->Open();
    db->StartTransaction();
    EXPECT_TRUE(db->InTransaction());
    try {
        db->StartTransaction();
        ADD_FAILURE() << "a second start raises";
    } catch (const classlib::EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()), "Database is already within a transaction") << "without the component's name";
    }
    EXPECT_TRUE(db->InTransaction());
    db->Rollback();
    EXPECT_FALSE(db->InTransaction());
    EXPECT_EQ(NativeCode([&] { db->Commit(false); }), 20229) << "outside a transaction";
    db->Close();
}

TEST_F(Maintenance, RollbackUndoesAPostAndCommitKeepsItAcrossAReopen) {
    CreateLogFile(File, 2);
    auto db = Make(File);
    db->Open();
    {
        RowCursor log(*db->Handle(), "NAVTEXLOG");
        db->StartTransaction();
        ASSERT_TRUE(log.Append(100));
        EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 1, 100})) << "the session sees its own post";
        db->Rollback();
        EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 1}));
        db->StartTransaction();
        ASSERT_TRUE(log.Append(200));
        db->Commit(true);
    }
    db->Close();
    db->Open();
    RowCursor log(*db->Handle(), "NAVTEXLOG");
    EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 1, 200}));
}

TEST_F(Maintenance, AFailedUndoRefusesCommitUntilRollback) {
    CreateLogFile(File, 1);
    auto db = Make(File);
    db->Open();
    {
        RowCursor log(*db->Handle(), "NAVTEXLOG");
        auto failure = [] {
            try {
                RaiseNative(31005, "Record page index is damaged. PageNo=9");
            } catch (...) {
                return std::current_exception();
            }
        };
        // Outside a transaction the mark has nothing to guard.
        db->Handle()->MarkUndoFailed(failure());
        EXPECT_FALSE(db->Handle()->UndoFailed());

        db->StartTransaction();
        ASSERT_TRUE(log.Append(7));
        db->Handle()->MarkUndoFailed(failure());
        try {
            db->Commit(true);
            ADD_FAILURE() << "commit refused";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), 31005);
            EXPECT_EQ(std::string(e.what()), "Record page index is damaged. PageNo=9 - Native error: 31005");
        }
        EXPECT_TRUE(db->InTransaction()) << "the refused commit leaves the transaction open";
        EXPECT_EQ(NativeCode([&] { db->Commit(false); }), 31005) << "and refuses again";
        db->Rollback();
        EXPECT_FALSE(db->Handle()->UndoFailed());
        EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0})) << "nothing of the marked transaction was committed";
        // The next transaction commits.
        db->StartTransaction();
        ASSERT_TRUE(log.Append(8));
        db->Commit(true);
    }
    db->Close();
    db->Open();
    RowCursor log(*db->Handle(), "NAVTEXLOG");
    EXPECT_EQ(log.Rows(), (std::vector<int64_t>{0, 8}));
}

// ---------------------------------------------------------------------------------
// Replacement by the rebuilt copy

TEST_F(Maintenance, ReplaceRenamesTheSyncedCopyOverTheFile) {
    CreateLogFile(File, 1);
    const std::string tmp = File + ".tmp";
    CreateLogFile(tmp, 5);
    const std::vector<uint8_t> rebuilt = disktest::ReadAll(tmp);
    std::vector<TORQFileCall> calls;
    SetFileFaultHook([&](TORQFileCall Call, const std::string& Name) {
        if (Name == tmp) calls.push_back(Call);
        return 0;
    });
    std::vector<TORQReplaceStep> steps;
    SetReplaceFaultHook([&](TORQReplaceStep Step, const std::string&) {
        steps.push_back(Step);
        return 0;
    });
    ReplaceDatabaseFile(File, tmp);
    EXPECT_EQ(calls, std::vector<TORQFileCall>{TORQFileCall::Sync}) << "the copy is synced, nothing written";
    EXPECT_EQ(steps, (std::vector<TORQReplaceStep>{TORQReplaceStep::Rename, TORQReplaceStep::SyncFolder}));
    EXPECT_EQ(disktest::ReadAll(File), rebuilt);
    EXPECT_FALSE(std::filesystem::exists(tmp));
}

TEST_F(Maintenance, AFailedReplacementKeepsTheOriginalAndRemovesTheCopy) {
    struct Case {
        const char* What;
        bool FailSync;
        TORQReplaceStep Step;
        int Error;
        bool OriginalKept;
    };
    const std::vector<Case> cases = {
        {"copy sync EIO", true, TORQReplaceStep::Rename, EIO, true},
        {"copy sync ENOSPC", true, TORQReplaceStep::Rename, ENOSPC, true},
        {"rename EIO", false, TORQReplaceStep::Rename, EIO, true},
        {"rename EXDEV", false, TORQReplaceStep::Rename, EXDEV, true},
        // After the rename there is no way back: the name holds the complete, synced copy.
        {"folder sync EIO", false, TORQReplaceStep::SyncFolder, EIO, false},
    };
    CreateLogFile(File, 1);
    const std::vector<uint8_t> original = disktest::ReadAll(File);
    const std::string tmp = File + ".tmp";
    CreateLogFile(tmp, 5);
    const std::vector<uint8_t> rebuilt = disktest::ReadAll(tmp);
    for (const Case& c : cases) {
        disktest::WriteAll(File, original);
        disktest::WriteAll(tmp, rebuilt);
        SetFileFaultHook([&](TORQFileCall Call, const std::string& Name) {
            return c.FailSync && Call == TORQFileCall::Sync && Name == tmp ? c.Error : 0;
        });
        SetReplaceFaultHook([&](TORQReplaceStep Step, const std::string&) {
            return !c.FailSync && Step == c.Step ? c.Error : 0;
        });
        try {
            ReplaceDatabaseFile(File, tmp);
            ADD_FAILURE() << c.What << ": raises";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), 31461) << c.What;
            const std::string head = "Cannot replace database file '" + File + "' by its rebuilt copy: ";
            EXPECT_EQ(std::string(e.what()).substr(0, head.size()), head) << c.What;
            EXPECT_NE(std::string(e.what()).find(std::strerror(c.Error)), std::string::npos)
                << c.What << ": " << e.what();
        }
        EXPECT_EQ(disktest::ReadAll(File), c.OriginalKept ? original : rebuilt) << c.What;
        EXPECT_FALSE(std::filesystem::exists(tmp)) << c.What;
    }
    // No fault injected: a copy that is not there fails for real, and the file stays.
    SetFileFaultHook(nullptr);
    SetReplaceFaultHook(nullptr);
    disktest::WriteAll(File, original);
    EXPECT_EQ(NativeCode([&] { ReplaceDatabaseFile(File, tmp); }), 31461);
    EXPECT_EQ(disktest::ReadAll(File), original);
}

// ---------------------------------------------------------------------------------
// The in-use refusal

// A session of Path in a child, held until the child is released.
int HoldSession(const std::string& Path, bool MultiUser, bool ExpectReadOnly, std::unique_ptr<TORQLocalSession>& S) {
    S = std::make_unique<TORQLocalSession>();
    S->DatabaseName = "ORQDB";
    S->DatabaseFileName = Path;
    S->MultiUser = MultiUser ? 1 : 0;
    S->SetConnected(true);
    return (S->ReadOnly != 0) == ExpectReadOnly ? 0 : 1;
}

TEST_F(Maintenance, AFileHeldByAnyConnectionIsRefusedBeforeAnythingIsWritten) {
    CreateLogFile(File, 3);
    const std::vector<uint8_t> before = disktest::ReadAll(File);
    auto db = Make(File);
    const std::string refused = "Cannot compact database '" + File + "': the file is in use - Native error: 31460";
    auto expectRefused = [&](const char* What) {
        try {
            db->CheckFileNotInUse("compact");
            ADD_FAILURE() << What << ": refused";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), 31460) << What;
            EXPECT_EQ(std::string(e.what()), refused) << What;
        }
        EXPECT_EQ(disktest::ReadAll(File), before) << What;
    };
    EXPECT_EQ(NativeCode([&] { db->CheckFileNotInUse("compact"); }), 0) << "a free file passes";
    {
        std::unique_ptr<TORQLocalSession> s;
        disktest::HoldingChild single([&] { return HoldSession(File, false, false, s); });
        ASSERT_EQ(single.SetupResult, 0);
        expectRefused("another process single-user");
    }
    {
        std::unique_ptr<TORQLocalSession> s;
        disktest::HoldingChild multi([&] { return HoldSession(File, true, false, s); });
        ASSERT_EQ(multi.SetupResult, 0);
        expectRefused("another process multi-user");
    }
    {
        // The reader falls back to read-only while a writer holds the file, and keeps it
        // after the writer has gone.
        std::unique_ptr<TORQLocalSession> w, r;
        disktest::HoldingChild writer([&] { return HoldSession(File, false, false, w); });
        ASSERT_EQ(writer.SetupResult, 0);
        disktest::HoldingChild reader([&] { return HoldSession(File, false, true, r); });
        ASSERT_EQ(reader.SetupResult, 0);
        writer.Release();
        expectRefused("a read-only fallback reader");
    }
    {
        auto other = Make(File, "OTHER");
        other->Open();
        expectRefused("another database component of this process");
        other->Close();
    }
    EXPECT_EQ(NativeCode([&] { db->CheckFileNotInUse("compact"); }), 0) << "free again";
    db->SetDatabaseFileName(Dir.File("MISSING.ORQ"));
    EXPECT_EQ(NativeCode([&] { db->CheckFileNotInUse("repair"); }), 0) << "a missing file is the open's to report";
}

}  // namespace
