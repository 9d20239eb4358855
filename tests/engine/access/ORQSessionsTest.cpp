// The engine's start and stop, engine errors, the session list and session components,
// and databases the session opens on demand.
#include <gtest/gtest.h>

#include <thread>

#include "../../classlib/TestDataSet.h"
#include "AccessFixture.h"
#include "engine/storage/ORQMemEngine.h"

namespace {

using namespace accesstest;
using classlib::TComponent;

TEST(EngineStart, ListsMemoryAndTempInstallsExpressionsAndStopsTwice) {
    for (int round = 0; round < 2; ++round) {
        StartEngine();
        StartEngine();  // does nothing
        ASSERT_TRUE(EngineStarted());
        EXPECT_EQ(DatabaseList().Count(), 2);
        EXPECT_EQ(&MemoryDatabase(), DatabaseList().Find("MEMORY"));
        EXPECT_EQ(&TemporaryDatabase(), DatabaseList().Find("TEMP"));
        EXPECT_FALSE(IsDesignTime());
        EXPECT_EQ(DefaultSession().SessionName(), "Default");
        EXPECT_EQ(SessionList().Count(), 1);
        EXPECT_TRUE(DefaultSession().IsDefault());

        // A NOW default on a MEMORY table is evaluated by the installed expressions.
        TORQFieldDefs fields;
        TORQFieldDef* f = fields.Add();
        f->Name = "T";
        f->SetDataType(aftDateTime, 0);
        f->DefaultValue.SetAsString("NOW");
        TORQCursor named;
        named.TableName = "STAMPS";
        TORQTableData* t = MemoryDatabase().CreateTableData(&named);
        t->CreateTable(nullptr, fields, TORQIndexDefs(), TORQConstraintDefs());
        ASSERT_EQ(t->FieldManager->FieldDefs.GetCount(), 1);
        ASSERT_NE(t->FieldManager->FieldDefs.GetItem(0)->DefaultExpression, nullptr) << "NOW is an expression";
        const double got = t->FieldManager->FieldDefs.GetItem(0)->DefaultExpression->GetValue(true)->GetAsDateTime();
        EXPECT_GT(got, 40000.0) << "a date of this century";

        StopEngine();
        StopEngine();  // does nothing
        EXPECT_FALSE(EngineStarted());
        EXPECT_EQ(NativeCode([] { DefaultSession(); }), 20007);
        EXPECT_EQ(NativeCode([] { SessionList(); }), 20007);
        EXPECT_EQ(NativeCode([] { DatabaseList(); }), 20007);
        EXPECT_EQ(NativeCode([] { TORQDatabase db(nullptr); }), 20007);
    }
}

TEST(EngineErrors, MessagesCarryCodeAndText) {
    const struct {
        int32_t Code;
        const char* Message;
    } cases[] = {
        {-1, "Orquant Engine Error # -1 Error adding record"},
        {-2, "Orquant Engine Error # -2 Error updating record"},
        {-3, "Orquant Engine Error # -3 Error deleting record"},
        {-4, "Orquant Engine Error # -4 Error updating record - record was modified by other process"},
        {-5, "Orquant Engine Error # -5 Error deleting record - record was modified by other process"},
        {-6, "Orquant Engine Error # -6 Error updating record - record was deleted by other process"},
        {-7, "Orquant Engine Error # -7 Error deleting record - record was deleted by other process"},
        {-8, "Orquant Engine Error # -8 the raiser's text"},
        {-9, "Orquant Engine Error # -9 Cannot update record in temporary mode"},
        {-10, "Orquant Engine Error # -10 Cannot delete record in temporary mode"},
        {-11, "Orquant Engine Error # -11 Cannot cancel operation in temporary mode"},
        {-12, "Orquant Engine Error # -12 Record is locked"},
        {-13, "Orquant Engine Error # -13 Table is locked"},
        {5, "Orquant Engine Error # 5 "},
        {-14, "Orquant Engine Error # -14 "},
    };
    for (const auto& c : cases) {
        try {
            RaiseEngineResult(c.Code, "the raiser's text");
            ADD_FAILURE() << c.Code;
        } catch (const classlib::EDatabaseError& e) {
            EXPECT_STREQ(e.what(), c.Message);
            ASSERT_NE(dynamic_cast<const EORQEngineError*>(&e), nullptr);
            EXPECT_EQ(static_cast<const EORQEngineError&>(e).ResultCode(), c.Code);
        }
    }
    EXPECT_NO_THROW(RaiseEngineResult(0, "ignored"));
    EXPECT_EQ(Raised([] { RaiseEngineError(-12, ""); }), "Orquant Engine Error # -12 Record is locked");
}

// A dataset whose post fails with the cursor's "record is locked" result a set number of times.
class LockedPostDataSet : public classlib_test::TTestDataSet {
public:
    using TTestDataSet::TTestDataSet;
    int LockedPosts = 0;

protected:
    void InternalPost() override {
        if (LockedPosts > 0) {
            --LockedPosts;
            RaiseEngineResult(-12, "");
        }
        TTestDataSet::InternalPost();
    }
};

TEST(EngineErrors, ReachOnPostErrorAndRetry) {
    LockedPostDataSet ds;
    ds.Structure = {{"NAME", classlib::ftString, 20}};
    ds.Open();
    int calls = 0;
    std::string seen;
    ds.OnPostError = [&](classlib::TDataSet*, classlib::EDatabaseError& E, classlib::TDataAction& Action) {
        ++calls;
        seen = E.what();
        Action = classlib::daRetry;
    };
    ds.Append();
    ds.FieldByName("NAME")->SetAsString("RETRIED");
    ds.LockedPosts = 2;
    EXPECT_NO_THROW(ds.Post());
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seen, "Orquant Engine Error # -12 Record is locked");
    EXPECT_EQ(ds.RecordCount(), 1);
}

class Sessions : public EngineTest {};

TEST_F(Sessions, FindAndGetByName) {
    TComponent form(nullptr);
    auto* s = new TORQSession(&form);
    s->SetSessionName("Archive");
    EXPECT_EQ(SessionList().FindSession(""), &DefaultSession());
    EXPECT_EQ(SessionList().FindSession("ARCHIVE"), s) << "ignoring case";
    EXPECT_EQ(&SessionList().GetSession("archive"), s);
    EXPECT_EQ(SessionList().FindSession("nope"), nullptr);
    EXPECT_EQ(Raised([] { SessionList().GetSession("nope"); }), "Invalid session name 'nope' - Native error: 20002");

    auto* other = new TORQSession(&form);
    EXPECT_EQ(Raised([&] { other->SetSessionName("ARCHIVE"); }), "Duplicate session name 'ARCHIVE'");
    other->SetSessionName("Second");
    EXPECT_EQ(SessionList().Count(), 3);
    delete other;
    EXPECT_EQ(SessionList().Count(), 2);
}

TEST_F(Sessions, ActivationOrderStartupAndGuards) {
    TComponent form(nullptr);
    auto* s = new TORQSession(&form);
    s->SetName("sesArchive");
    std::vector<std::string> log;
    s->OnStartup = [&](classlib::TPersistent*) { log.push_back(DefaultSession().Active() ? "late" : "startup"); };
    // No name: the startup event runs, then activation fails and leaves the critical section.
    EXPECT_EQ(Raised([&] { s->SetActive(true); }), "sesArchive: Session name missing");
    EXPECT_FALSE(s->Active());
    bool free = false;
    std::thread([&] {
        std::unique_lock lock(SessionList().CriticalSection(), std::try_to_lock);
        free = lock.owns_lock();
    }).join();
    EXPECT_TRUE(free) << "a failed activation leaves the critical section";
    EXPECT_EQ(Raised([&] { s->Lock(); }), "sesArchive: Session name missing");
    std::thread([&] {
        std::unique_lock lock(SessionList().CriticalSection(), std::try_to_lock);
        free = lock.owns_lock();
    }).join();
    EXPECT_TRUE(free) << "Lock leaves the critical section when activation fails";

    s->SetSessionName("Archive");
    ASSERT_FALSE(DefaultSession().Active());
    s->SetActive(true);
    EXPECT_TRUE(DefaultSession().Active()) << "the default session first";
    EXPECT_TRUE(s->Active());
    EXPECT_EQ(DefaultSession().Manager(), &SessionComponentManager());
    EXPECT_NE(s->Manager(), DefaultSession().Manager()) << "a manager of its own";
    EXPECT_EQ(CurrentSessionComponentManager(), s->Manager());
    EXPECT_EQ(log, (std::vector<std::string>{"startup", "startup", "startup"})) << "before the name check, each time";
    EXPECT_EQ(Raised([&] { s->SetSessionName("Other"); }), "sesArchive: Cannot perform this operation on an active session");
    s->SetActive(false);
    EXPECT_EQ(CurrentSessionComponentManager(), DefaultSession().Manager()) << "the default's is current again";
    EXPECT_TRUE(DefaultSession().Active());
}

TEST_F(Sessions, AutoSessionNamesTakeTheLowestFreeNumber) {
    TComponent f1(nullptr), f2(nullptr), f3(nullptr), f4(nullptr);
    auto* a = new TORQSession(&f1);
    a->SetName("ses");
    a->SetAutoSessionName(true);
    EXPECT_EQ(a->SessionName(), "ses_1");
    EXPECT_FALSE(a->IsSessionNameStored());
    EXPECT_EQ(Raised([&] { a->SetSessionName("X"); }), "ses: Cannot modify SessionName while AutoSessionName is enabled");
    auto* b = new TORQSession(&f2);
    b->SetName("ses");
    b->SetAutoSessionName(true);
    EXPECT_EQ(b->SessionName(), "ses_2");
    a->SetAutoSessionName(false);
    EXPECT_EQ(a->SessionName(), "ses_1") << "the name stays";
    auto* c = new TORQSession(&f3);
    c->SetName("other");
    c->SetAutoSessionName(true);
    EXPECT_EQ(c->SessionName(), "other_1") << "number 1 was freed";
    delete b;  // keeps number 2 taken
    auto* d = new TORQSession(&f4);
    d->SetName("d");
    d->SetAutoSessionName(true);
    EXPECT_EQ(d->SessionName(), "d_3");
    d->SetName("renamed");
    EXPECT_EQ(d->SessionName(), "renamed_3") << "follows the component name";
}

TEST_F(Sessions, OneFormHoldsOneSessionWithAutomaticNames) {
    TComponent form(nullptr);
    auto* a = new TORQSession(&form);
    a->SetName("sesA");
    auto* b = new TORQSession(&form);
    b->SetName("sesB");
    EXPECT_EQ(Raised([&] { a->SetAutoSessionName(true); }),
              "sesA: Cannot enable AutoSessionName property with more than one session on a form or data-module");
    TComponent other(nullptr);
    auto* c = new TORQSession(&other);
    c->SetName("sesC");
    c->SetAutoSessionName(true);
    EXPECT_EQ(Raised([&] { new TORQSession(&other); }),
              "Cannot add a session to the form or data-module while session 'sesC' has AutoSessionName enabled");
    EXPECT_EQ(other.ComponentCount(), 1) << "the refused session is gone";
    // A database placed on the form takes the automatic session.
    auto* db = new TORQDatabase(&other);
    EXPECT_EQ(db->Session(), c);
    EXPECT_EQ(db->SessionName(), "sesC_1");
}

// A component that takes its session by name, as the engine's datasets do.
class TNamedDataSet : public TComponent, public TORQSessionDataSet {
public:
    using TComponent::TComponent;
    std::string GetSessionName() const override { return Session; }
    void SetSessionName(const std::string& Value) override {
        Session = Value;
        ++Sets;
    }
    std::string Session = "Default";
    int Sets = 0;
};

TEST_F(Sessions, AnAutomaticNameReachesTheFormsDatasetsAndDatabases) {
    TComponent form(nullptr);
    auto* ds = new TNamedDataSet(&form);
    auto* same = new TNamedDataSet(&form);
    auto* db = new TORQDatabase(&form);
    auto* s = new TORQSession(&form);
    s->SetName("ses");
    same->Session = "SES_1";  // already the session's name, ignoring case
    s->SetAutoSessionName(true);
    EXPECT_EQ(ds->Session, "ses_1");
    EXPECT_EQ(same->Sets, 0) << "names equal ignoring case are left alone";
    EXPECT_EQ(db->SessionName(), "ses_1");
    EXPECT_EQ(db->Session(), s);
    s->SetName("work");
    EXPECT_EQ(ds->Session, "work_1");
    EXPECT_EQ(db->Session(), s);
}

TEST_F(Sessions, NotifyAddOpenCloseRemove) {
    std::vector<int> kinds;
    DefaultSession().OnDBNotify = [&](TORQDatabaseEvent Kind, TORQDatabase*) { kinds.push_back(Kind); };
    {
        TORQDatabase db(nullptr);
        // The reserved names need no file.
        db.SetDatabaseName("Memory");
        db.Open();
        EXPECT_TRUE(db.Connected());
        EXPECT_EQ(db.Handle()->DatabaseData, &MemoryDatabase());
        db.Close();
    }
    DefaultSession().OnDBNotify = nullptr;
    EXPECT_EQ(kinds, (std::vector<int>{dbAdd, dbOpen, dbClose, dbRemove}));
    EXPECT_EQ(DatabaseList().Count(), 2) << "MEMORY never leaves the list";
}

TEST_F(Sessions, OnDemandDatabasesAreOwnedSilentAndFreedAtTheirLastClose) {
    TComponent form(nullptr);
    auto* s = new TORQSession(&form);
    s->SetSessionName("Work");
    s->KeepConnections = false;
    TORQDatabase& db = s->OpenDatabase("memory");
    EXPECT_TRUE(db.OwnedBySession);
    EXPECT_TRUE(db.SilentMode);
    EXPECT_FALSE(db.KeepConnection());
    EXPECT_EQ(db.Owner(), s);
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(&s->OpenDatabase("MEMORY"), &db) << "found by name ignoring case";
    EXPECT_EQ(db.OpenRefCount, 2);
    s->CloseDatabase(&db);
    EXPECT_EQ(s->DatabaseCount(), 1);
    s->CloseDatabase(&db);
    EXPECT_EQ(s->DatabaseCount(), 0) << "freed at its last close";

    s->KeepConnections = true;
    TORQDatabase& kept = s->OpenDatabase("TEMP");
    s->CloseDatabase(&kept);
    ASSERT_EQ(s->DatabaseCount(), 1);
    EXPECT_TRUE(kept.Connected()) << "KeepConnections keeps it open";

    // A name that names no file: what the open made is freed again.
    EXPECT_EQ(Raised([&] { s->OpenDatabase("NAVTEX"); }), "Database 'NAVTEX' is not open and names no file");
    EXPECT_EQ(s->DatabaseCount(), 1);
    EXPECT_EQ(form.ComponentCount(), 1);

    // Deactivation frees what the session made.
    s->SetActive(false);
    EXPECT_EQ(s->DatabaseCount(), 0);
}

TEST_F(Sessions, AnOwnersSharedDatabaseIsFoundFirst) {
    EXPECT_TRUE(DefaultSession().KeepConnections);
    EXPECT_FALSE(DefaultSession().AutoSessionName());
    TComponent form1(nullptr), form2(nullptr);
    auto make = [](TComponent* Owner, bool Shared) {
        auto* db = new TORQDatabase(Owner);
        db->HandleShared = Shared;
        db->SetDatabaseName("Memory");
        return db;
    };
    TORQDatabase* first = make(&form1, true);
    TORQDatabase* second = make(&form2, true);
    EXPECT_EQ(DefaultSession().FindOwnerDatabase("MEMORY", &form2), second);
    EXPECT_EQ(DefaultSession().FindOwnerDatabase("MEMORY", nullptr), first);
    EXPECT_EQ(DefaultSession().FindSharedHandle("memory"), nullptr) << "none open";
    second->Open();
    EXPECT_EQ(DefaultSession().FindSharedHandle("memory").get(), second->Handle());
    EXPECT_EQ(&DefaultSession().OpenDatabase("MEMORY", &form2), second);
    EXPECT_EQ(second->OpenRefCount, 1);
    second->SetKeepConnection(false);
    EXPECT_TRUE(second->Connected()) << "still in use";
    DefaultSession().CloseDatabase(second);
    EXPECT_FALSE(second->Connected()) << "closed, not freed: the program placed it";
    EXPECT_EQ(DefaultSession().DatabaseCount(), 2);
}

TEST_F(Sessions, AnIdleOnDemandDuplicateGivesWayAndABusyOneDoesNot) {
    TORQDatabase& made = DefaultSession().OpenDatabase("MEMORY");
    TORQDatabase db(nullptr);
    db.SetName("ORQDB");
    EXPECT_EQ(Raised([&] { db.SetDatabaseName("memory"); }), "ORQDB: Duplicate database name 'memory'");
    DefaultSession().CloseDatabase(&made);  // kept open, but no longer in use
    ASSERT_EQ(DefaultSession().DatabaseCount(), 2);
    db.SetDatabaseName("memory");
    EXPECT_EQ(DefaultSession().DatabaseCount(), 1) << "the idle one was freed";
    TORQDatabase placed(nullptr);
    EXPECT_EQ(Raised([&] { placed.SetDatabaseName("MEMORY"); }), "Duplicate database name 'MEMORY'");
}

TEST_F(Sessions, StopEngineFreesOnlyTheDefaultSession) {
    auto form = std::make_unique<TComponent>(nullptr);
    auto* s = new TORQSession(form.get());
    s->SetSessionName("Work");
    auto* db = new TORQDatabase(form.get());
    db->SetDatabaseName("M");
    db->SetSessionName("Work");
    db->SetDatabaseName("MEMORY");
    db->Open();
    EXPECT_EQ(db->Session(), s);
    UI.reset();
    StopEngine();
    EXPECT_FALSE(s->Active()) << "deactivated";
    EXPECT_FALSE(db->Connected()) << "its databases closed";
    form.reset();  // the owner frees the session and the database; ASan watches
    StartEngine();
}

}  // namespace
