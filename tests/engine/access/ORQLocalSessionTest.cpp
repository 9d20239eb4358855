// The local session: sharing one database object per file (and multi-user session name),
// the process-wide databases, connect failures, transactions and the settings a connect
// reads back from the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "AccessFixture.h"

namespace {

using namespace accesstest;

// Runs in the scratch folder, so relative names resolve there.
class LocalSession : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        FOld = std::filesystem::current_path();
        std::filesystem::current_path(Dir.Path);
    }
    void TearDown() override {
        std::filesystem::current_path(FOld);
        EngineTest::TearDown();
    }
    static std::unique_ptr<TORQLocalSession> Session(const std::string& File, const std::string& Password = "",
                                                     bool Multi = false, const std::string& Name = "") {
        auto s = std::make_unique<TORQLocalSession>();
        s->DatabaseName = "ORQDB";
        s->DatabaseFileName = File;
        s->Password = TORQPassword{Password, Password.empty() ? uint8_t{0} : uint8_t{1}};
        s->MultiUser = Multi ? 1 : 0;
        s->SessionName = Name;
        return s;
    }

private:
    std::filesystem::path FOld;
};

TEST_F(LocalSession, OneFileOneObjectWhateverTheSpelling) {
    CreateFile("x.orq");
    CreateFile("X.orq");
    std::filesystem::create_symlink(Dir.File("x.orq"), Dir.File("link.orq"));
    std::filesystem::create_directory(Dir.File("sub"));
    auto a = Session("x.orq");
    auto b = Session("./x.orq");
    auto c = Session(Dir.File("x.orq"));
    auto d = Session("link.orq");
    auto e = Session("sub/../x.orq");
    for (auto* s : {a.get(), b.get(), c.get(), d.get(), e.get()}) s->SetConnected(true);
    EXPECT_EQ(DatabaseList().Count(), 3) << "MEMORY, TEMP and the one file";
    for (auto* s : {b.get(), c.get(), d.get(), e.get()}) EXPECT_EQ(s->DatabaseData, a->DatabaseData);
    EXPECT_EQ(a->DatabaseData->DatabaseName, std::filesystem::canonical(Dir.File("x.orq")).string());
    std::vector<int32_t> ids;
    for (auto* s : {a.get(), b.get(), c.get(), d.get(), e.get()}) ids.push_back(s->SessionID);
    EXPECT_EQ(ids, (std::vector<int32_t>{0, 1, 2, 3, 4})) << "sessions of one object";

    auto upper = Session("X.orq");
    upper->SetConnected(true);
    EXPECT_EQ(DatabaseList().Count(), 4) << "a name in other letters is another file here";
    EXPECT_NE(upper->DatabaseData, a->DatabaseData);

    for (auto* s : {a.get(), b.get(), c.get(), d.get()}) s->SetConnected(false);
    EXPECT_EQ(DatabaseList().Count(), 4) << "kept while a session is connected";
    e->SetConnected(false);
    upper->SetConnected(false);
    EXPECT_EQ(DatabaseList().Count(), 2) << "the last session takes the object off the list";
    EXPECT_EQ(e->SessionID, -1);

    // Nobody in this process holds the file now: another process may open it exclusively.
    const int rc = disktest::InChild([&] {
        TORQLocalSession s;
        s.DatabaseName = "ORQDB";
        s.DatabaseFileName = Dir.File("x.orq");
        s.Exclusive = 1;
        s.SetConnected(true);
        return 7;
    });
    EXPECT_EQ(rc, 7);
}

TEST_F(LocalSession, MultiUserSessionNamesShareOnlyWhenEqual) {
    CreateFile("x.orq");
    auto a = Session("x.orq", "", true, "Default");
    auto b = Session("x.orq", "", true, "DEFAULT");
    auto c = Session("x.orq", "", true, "Archive");
    for (auto* s : {a.get(), b.get(), c.get()}) s->SetConnected(true);
    EXPECT_EQ(a->DatabaseData, b->DatabaseData) << "session names compare upper-cased";
    EXPECT_NE(a->DatabaseData, c->DatabaseData);
    EXPECT_EQ(DatabaseList().Count(), 4);
    EXPECT_NE(a->SessionID, c->SessionID) << "two connections of the file";
}

TEST_F(LocalSession, ReservedNamesNeverMakeAFileNorLeaveTheList) {
    for (const char* name : {"MEMORY", "memory", "TEMP", "Temp"}) {
        TORQLocalSession s;
        s.DatabaseName = name;
        s.DatabaseFileName = "should-not-exist.orq";
        s.SetConnected(true);
        TORQDatabaseData* expected = &MemoryDatabase();
        if (name[0] == 'T') expected = &TemporaryDatabase();
        EXPECT_EQ(s.DatabaseData, expected) << name;
        EXPECT_EQ(s.DiskDatabaseData(), nullptr);
        EXPECT_FALSE(s.GetRecoveryMode());
        s.SetConnected(false);
        EXPECT_EQ(DatabaseList().Count(), 2) << name;
        EXPECT_EQ(NativeCode([&] { s.CreateDatabase(); }), 20092) << "the process-wide databases are always open";
    }
    EXPECT_FALSE(std::filesystem::exists(Dir.File("should-not-exist.orq")));
}

TEST_F(LocalSession, ConnectFailuresLeaveNothingBehind) {
    CreateFile("secret.orq", {"right", 1});
    CreateFile("plain.orq");
    disktest::WriteAll(Dir.File("garbage.orq"), std::vector<uint8_t>(5000, 0x5A));
    const struct {
        const char* File;
        const char* Password;
        int32_t Code;
    } cases[] = {
        {"secret.orq", "wrong", 30445},
        {"secret.orq", "", 30445},
        {"garbage.orq", "", 10470},
        {"missing.orq", "", -2},  // the file layer's own code
    };
    for (const auto& c : cases) {
        auto s = Session(c.File, c.Password);
        const int32_t code = NativeCode([&] { s->SetConnected(true); });
        if (c.Code == -2)
            EXPECT_GT(code, 0) << c.File;
        else
            EXPECT_EQ(code, c.Code) << c.File;
        EXPECT_FALSE(s->GetConnected()) << c.File;
        EXPECT_EQ(s->SessionID, -1) << c.File;
        EXPECT_EQ(DatabaseList().Count(), 2) << "the object made for the failed connect is gone: " << c.File;
    }
    // The retry with the right password does not reconnect through the wrong one's object.
    auto right = Session("secret.orq", "right");
    right->SetConnected(true);
    EXPECT_EQ(right->Password.Password, "right");
    EXPECT_EQ(right->Password.Algorithm, 1);

    // A second session with another password of an open encrypted file: 20298, unconnected.
    auto other = Session("secret.orq", "wrong");
    EXPECT_EQ(Raised([&] { other->SetConnected(true); }), "Database password is invalid. - Native error: 20298");
    EXPECT_FALSE(other->GetConnected());
    EXPECT_EQ(right->DatabaseData->SessionCount(), 1);
    EXPECT_EQ(DatabaseList().Count(), 3);

    // Mixing modes on one object: 20235.
    auto plain = Session("plain.orq");
    plain->SetConnected(true);
    auto multi = Session("plain.orq", "", true);
    EXPECT_EQ(NativeCode([&] { multi->SetConnected(true); }), 20235);
    EXPECT_FALSE(multi->GetConnected());
    EXPECT_EQ(DatabaseList().Count(), 4);

    EXPECT_EQ(NativeCode([&] { Session("plain.orq")->CreateDatabase(); }), 20092);
    EXPECT_EQ(NativeCode([&] { Session("./plain.orq")->CreateDatabase(); }), 20092);
    EXPECT_EQ(DatabaseList().Count(), 4);
}

TEST_F(LocalSession, UnconnectedSessionsAnswerNothing) {
    CreateLogFile("log.orq");
    auto s = Session("log.orq");
    std::vector<std::string> tables;
    EXPECT_EQ(Raised([&] { s->GetTablesList(tables); }), "Database 'ORQDB' is not open - Native error: 30964");
    EXPECT_EQ(NativeCode([&] { s->TableExists("NAVTEXLOG"); }), 30964);
    EXPECT_EQ(DatabaseList().Count(), 2) << "no object made to answer";
    s->SetConnected(true);
    s->GetTablesList(tables);
    EXPECT_EQ(tables, (std::vector<std::string>{"NAVTEXLOG"}));
    EXPECT_TRUE(s->TableExists("navtexlog"));
    EXPECT_FALSE(s->TableExists("STATIONS"));
}

TEST_F(LocalSession, TransactionsNeedTheirStartAndAFailedCommitStaysOpen) {
    CreateLogFile("log.orq");
    auto s = Session("log.orq");
    s->SetConnected(true);
    EXPECT_EQ(Raised([&] { s->Commit(false); }),
              "Database is not within a transaction. Cannot perform operation - Native error: 20229");
    EXPECT_EQ(NativeCode([&] { s->Rollback(); }), 20229);
    {
        RowCursor log(*s, "NAVTEXLOG");
        s->StartTransaction();
        ASSERT_TRUE(log.Append(1));
        s->Commit(true);
        EXPECT_EQ(s->InTransaction, 0);
        s->StartTransaction();
        ASSERT_TRUE(log.Append(2));
        s->Rollback();
        EXPECT_EQ(log.Rows(), (std::vector<int64_t>{1}));
    }
    s->SetConnected(false);

    // A file that needs repair refuses the commit: the transaction stays open.
    MakeTornFile(Dir.File("log.orq"));
    s->SetConnected(true);
    EXPECT_EQ(s->NeedsRepair, 1);
    {
        RowCursor log(*s, "NAVTEXLOG");
        s->StartTransaction();
        ASSERT_TRUE(log.Append(3));
        EXPECT_EQ(NativeCode([&] { s->Commit(false); }), 20300);
        EXPECT_EQ(s->InTransaction, 1) << "a commit that raises leaves the transaction open";
        s->Rollback();
        EXPECT_EQ(s->InTransaction, 0);
    }
}

TEST_F(LocalSession, ConnectReadsTheFilesSettingsBack) {
    CreateFile("tuned.orq", {"pw", 3, 8192, 16, 40});
    auto s = Session("tuned.orq", "pw");
    s->Password.Algorithm = 0;  // the file knows its cipher
    s->SetConnected(true);
    EXPECT_EQ(s->PageSize, 8192);
    EXPECT_EQ(s->PagesPerExtent, 16);
    EXPECT_EQ(s->MaxConnections, 40);
    EXPECT_EQ(s->Password.Algorithm, 3);
    EXPECT_TRUE(s->DiskDatabaseData()->IsEncrypted());
}

TEST_F(LocalSession, EightThreadsOpeningOneFileMakeOneObject) {
    CreateFile("x.orq");
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<TORQLocalSession>> sessions;
        for (int i = 0; i < 8; ++i) sessions.push_back(Session(i % 2 == 0 ? "x.orq" : Dir.File("x.orq")));
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (auto& s : sessions)
            threads.emplace_back([&failures, p = s.get()] {
                try {
                    p->SetConnected(true);
                } catch (...) {
                    ++failures;
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(DatabaseList().Count(), 3);
        for (auto& s : sessions) EXPECT_EQ(s->DatabaseData, sessions[0]->DatabaseData);
        threads.clear();
        for (auto& s : sessions) threads.emplace_back([p = s.get()] { p->SetConnected(false); });
        for (auto& t : threads) t.join();
        EXPECT_EQ(DatabaseList().Count(), 2);
    }
}

}  // namespace
