// Navigation and editing through the dataset: record numbers, bookmarks, a 20-row data
// link, the cursor's result codes raised as engine errors in one process and against a
// forked process holding locks or changing records, and the missing-cursor guards.
#include "ORQDataSetTestFixture.h"

#include "LocalCursorFixture.h"
#include "classlib/VarUtils.h"

using namespace dstest;
using namespace classlib;

namespace {

// The log rows of this file carry their number in FREQ and their time in UTCRECEIVED,
// minute M at lctest's day zero.
void AppendLog(TTestDataSet& Ds, int M, const char* Station = "ST") {
    Ds.Append();
    Ds.FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(M));
    Ds.FieldByName("FREQ")->SetAsInteger(M);
    Ds.FieldByName("STATION")->SetAsString(Station);
    Ds.Post();
}

int Freq(TTestDataSet& Ds) { return Ds.FieldByName("FREQ")->AsInteger(); }

// The log with its primary key's constraint, and the extra constraints given.
void CreateLog(TEngineEnv& Env, TORQConstraintDefs* Constraints = nullptr) {
    TORQFieldDefs f;
    NavtexLogFields(f);
    TORQIndexDefs i;
    NavtexLogIndexes(i);
    TORQConstraintDefs none;
    TORQConstraintDefs& c = Constraints != nullptr ? *Constraints : none;
    IndexDefToConstraintDefs(*i.GetItem(0), c);
    Env.CreateTable("NAVTEXLOG", f, &i, &c);
}

// A link that records the first field of each row it sees.
class TRowLink : public TDataLink {
public:
    std::vector<int> Rows() {
        std::vector<int> out;
        const int32_t old = ActiveRecord();
        for (int32_t r = 0; r < RecordCount(); ++r) {
            SetActiveRecord(r);
            out.push_back(DataSet()->FieldByName("FREQ")->AsInteger());
        }
        SetActiveRecord(old);
        return out;
    }
};

class Navigation : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(Navigation, ALinkOfTwentyRowsFollowsMovesAppendsDeletesAndFilters) {
    TEngineEnv env(GetParam());
    CreateLog(env);
    auto ds = env.Open("NAVTEXLOG");
    for (int m = 1; m <= 50; ++m) AppendLog(*ds, m);
    TDataSource source(nullptr);
    source.SetDataSet(ds.get());
    TRowLink link;
    link.SetBufferCount(20);
    link.SetDataSource(&source);
    // Each row of the link is the table's record at its number.
    auto rowsAt = [](int First, int N) {
        std::vector<int> v;
        for (int i = 0; i < N; ++i) v.push_back(First + i);
        return v;
    };
    ds->First();
    EXPECT_EQ(link.Rows(), rowsAt(1, 20));
    EXPECT_EQ(ds->RecNo(), 1);
    ds->Last();
    EXPECT_EQ(link.Rows(), rowsAt(31, 20));
    EXPECT_EQ(ds->RecNo(), 50);
    ds->MoveBy(-25);
    EXPECT_EQ(Freq(*ds), 25);
    EXPECT_EQ(ds->RecNo(), 25);
    const std::vector<int> seen = link.Rows();
    ASSERT_EQ(seen.size(), 20u);
    for (size_t r = 0; r < seen.size(); ++r) EXPECT_EQ(seen[r], seen[0] + static_cast<int>(r));
    ds->Prior();
    EXPECT_EQ(Freq(*ds), 24);

    // Appends through a second dataset show after a refresh.
    auto other = env.Open("NAVTEXLOG");
    for (int m = 51; m <= 55; ++m) AppendLog(*other, m);
    ds->Refresh();
    ds->Last();
    EXPECT_EQ(link.Rows(), rowsAt(36, 20));
    EXPECT_EQ(ds->RecordCount(), 55);
    // Deletes close the window up.
    ds->SetRecNo(40);
    EXPECT_EQ(Freq(*ds), 40);
    ds->Delete();
    EXPECT_EQ(Freq(*ds), 41);
    EXPECT_EQ(ds->RecordCount(), 54);
    ds->Last();
    std::vector<int> tail = rowsAt(36, 20);
    tail.erase(std::find(tail.begin(), tail.end(), 40));
    tail.insert(tail.begin(), 35);
    EXPECT_EQ(link.Rows(), tail);
    // A filter change reads the window afresh.
    ds->SetFilter("FREQ>45");
    ds->SetFiltered(true);
    EXPECT_EQ(link.Rows(), rowsAt(46, 10));
    EXPECT_EQ(ds->RecordCount(), 10);
    EXPECT_EQ(Freq(*ds), 46);
    ds->SetFiltered(false);
    EXPECT_EQ(link.Rows(), rowsAt(1, 20));
}

TEST_P(Navigation, BookmarksSurviveInsertsAndDeletesAround) {
    TEngineEnv env(GetParam());
    CreateLog(env);
    auto ds = env.Open("NAVTEXLOG");
    for (int m = 10; m <= 100; m += 10) AppendLog(*ds, m);
    ASSERT_TRUE(ds->Locate("FREQ", Variant::FromInteger(50), 0));
    const TBookmark b50 = ds->GetBookmark();
    ASSERT_TRUE(ds->Locate("FREQ", Variant::FromInteger(80), 0));
    const TBookmark b80 = ds->GetBookmark();
    EXPECT_EQ(ds->CompareBookmarks(b50, b80), -1);
    EXPECT_EQ(ds->CompareBookmarks(b80, b50), 1);
    EXPECT_EQ(ds->CompareBookmarks(b50, b50), 0);
    EXPECT_EQ(ds->CompareBookmarks({}, b50), 1);
    EXPECT_EQ(ds->CompareBookmarks(b50, {}), -1);
    EXPECT_EQ(ds->CompareBookmarks({}, {}), 0);
    for (int m : {45, 55, 5, 101}) AppendLog(*ds, m);
    ASSERT_TRUE(ds->Locate("FREQ", Variant::FromInteger(40), 0));
    ds->Delete();
    ASSERT_TRUE(ds->Locate("FREQ", Variant::FromInteger(60), 0));
    ds->Delete();
    ds->First();
    ds->GotoBookmark(b50);
    EXPECT_EQ(Freq(*ds), 50);
    ds->GotoBookmark(b80);
    EXPECT_EQ(Freq(*ds), 80);
    EXPECT_TRUE(ds->BookmarkValid(b50));
    // The bookmarked record goes: invalid, and it compares as record number -1.
    ds->GotoBookmark(b50);
    ds->Delete();
    EXPECT_FALSE(ds->BookmarkValid(b50));
    EXPECT_EQ(ds->CompareBookmarks(b50, b80), -1);
    EXPECT_EQ(ds->CompareBookmarks(b80, b50), 1);
    EXPECT_EQ(Freq(*ds), 70) << "the delete moved on to the next record (60 is gone)";
    EXPECT_EQ(NativeCode([&] { ds->GotoBookmark(b50); }), 10026);
}

TEST_P(Navigation, SetRecNoPostsAPendingEditFirst) {
    TEngineEnv env(GetParam());
    CreateLog(env);
    auto ds = env.Open("NAVTEXLOG");
    for (int m = 1; m <= 10; ++m) AppendLog(*ds, m);
    int posts = 0;
    ds->AfterPost = [&](TDataSet*) { ++posts; };
    ds->SetRecNo(3);
    EXPECT_EQ(Freq(*ds), 3);
    ds->Edit();
    ds->FieldByName("STATION")->SetAsString("CHANGED");
    ds->SetRecNo(7);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(Freq(*ds), 7);
    ds->SetRecNo(3);
    EXPECT_EQ(ds->FieldByName("STATION")->AsString(), "CHANGED");
    EXPECT_EQ(ds->RecNo(), 3);
}

// TEMP tables take inserts only (query results): their edits are the results' tests.
INSTANTIATE_TEST_SUITE_P(Engines, Navigation, ::testing::Values(ekMemory, ekDisk),
                         [](const auto& I) { return KindName(I.param); });

// ---------------------------------------------------------------------------------
// Result codes in one process

using Results = EngineTest;

TEST_F(Results, AViolationRaisesMinus8WithItsTextAndTheInsertStays) {
    TEngineEnv env(ekDisk);
    TORQConstraintDefs constraints;
    constraints.AddNotNull()->TargetName = "STATION";
    CreateLog(env, &constraints);
    auto ds = env.Open("NAVTEXLOG");
    AppendLog(*ds, 1);
    // A NOT NULL field is a required field: the framework refuses before the engine.
    ds->Append();
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(2));
    EXPECT_EQ(Raised([&] { ds->Post(); }), "Field 'STATION' must have a value");
    // A second record of the same key: the engine's -8 with the constraint's text.
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(1));
    ds->FieldByName("STATION")->SetAsString("TWICE");
    std::string text;
    EXPECT_EQ(EngineCode([&] {
                  try {
                      ds->Post();
                  } catch (const EORQEngineError& e) {
                      text = e.what();
                      throw;
                  }
              }),
              -8);
    EXPECT_NE(text.find("Native error: 30"), std::string::npos) << text;
    EXPECT_EQ(ds->State(), dsInsert);
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(2));
    ds->Post();
    EXPECT_EQ(ds->RecordCount(), 2);
    // The framework's add hook: a violating record raises rather than passing as added.
    ds->Append();
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(1));
    ds->FieldByName("STATION")->SetAsString("ADDED");
    EXPECT_EQ(EngineCode([&] { ds->InternalAddRecord(ds->Active(), true); }), -8);
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(3));
    ds->InternalAddRecord(ds->Active(), true);
    ds->Cancel();
    ds->Refresh();
    EXPECT_EQ(ds->RecordCount(), 3);
    // The add hook outside an insert.
    EXPECT_EQ(NativeCode([&] { ds->InternalAddRecord(ds->Active(), true); }), 10076);
}

TEST_F(Results, TemporaryTablesRefuseEditAndDeleteAndCancelPasses) {
    TEngineEnv env(ekTemp);
    CreateLog(env);
    TTestDataSet ds;
    ds.SetDatabaseName("TEMP");
    ds.TableName = "NAVTEXLOG";
    ds.Temporary = true;
    ds.Open();
    AppendLog(ds, 1);
    EXPECT_EQ(EngineCode([&] { ds.Edit(); }), -9);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(EngineCode([&] { ds.Delete(); }), -10);
    ds.Append();
    EXPECT_EQ(EngineCode([&] { ds.Cancel(); }), 0);
    EXPECT_EQ(ds.RecordCount(), 1);
}

TEST_F(Results, ReadOnlyAndClosedDatasetsRefuseAndMissingCursorsAreNamed) {
    TEngineEnv env(ekMemory);
    CreateLog(env);
    auto ds = env.Open("NAVTEXLOG");
    AppendLog(*ds, 1);
    ds->Close();
    ds->SetReadOnly(true);
    ds->Open();
    EXPECT_FALSE(ds->CanModify());
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_EQ(NativeCode([&] { ds->CreateBlobStream(ds->FieldByName("MSGTEXT"), bmWrite); }), 10107);
    ds->Close();
    // Nothing to reach the table through: each guard has its own code.
    TTestDataSet bare;
    EXPECT_EQ(bare.RecordCount(), 0);
    EXPECT_EQ(NativeCode([&] { bare.SwitchToIndex("IDX_DT"); }), 10059);
    EXPECT_EQ(NativeCode([&] { bare.HasRecords(); }), 10326);
    TORQVariant v;
    EXPECT_EQ(NativeCode([&] { bare.GetFieldValue(v, 0, false); }), 10315);
    EXPECT_EQ(NativeCode([&] { bare.SetFieldValue(v, 0, false); }), 10316);
    EXPECT_EQ(NativeCode([&] { bare.SetFilterExpression(nullptr); }), 10300);
    EXPECT_EQ(NativeCode([&] { bare.CopyFieldValue(0, false, ds.get(), 0); }), 10500);
    EXPECT_EQ(NativeCode([&] { bare.Locate("FREQ", Variant::FromInteger(1), 0); }), 10271);
    EXPECT_EQ(Raised([&] { bare.Open(); }), "DatabaseName property is blank");
    // A cursor that cannot be made.
    bare.SetDatabaseName("MEMORY");
    bare.TableName = "NAVTEXLOG";
    bare.FailCursor = true;
    EXPECT_EQ(NativeCode([&] { bare.Open(); }), 20001);
    EXPECT_FALSE(bare.Active());
    EXPECT_EQ(bare.DatabaseFlags(), 0);
    EXPECT_EQ(bare.Database(), nullptr);
    // Another dataset as a copy destination must have a cursor.
    ds->Open();
    EXPECT_EQ(NativeCode([&] { ds->CopyFieldValue(0, false, nullptr, 0); }), 10503);
    EXPECT_EQ(NativeCode([&] { ds->CopyFieldValue(0, false, &bare, 0); }), 10504);
}

// ---------------------------------------------------------------------------------
// Result codes against a forked process

class ForkedResults : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekDisk, true);
        CreateLog(*Env);
        Ds = Env->Open("NAVTEXLOG");
        for (int m = 1; m <= 10; ++m) AppendLog(*Ds, m);
    }
    void TearDown() override {
        Ds.reset();
        Env.reset();
        EngineTest::TearDown();
    }
    // Runs Action in a child with a connection of its own (another process's locks).
    int Child(const std::function<int(lctest::TCursor&)>& Action) {
        const std::string path = Env->Path;
        return disktest::InChild([path, Action] {
            auto c = lctest::TConnection::Disk(path, true, "CHILD");
            lctest::TCursor cursor(*c, "NAVTEXLOG");
            cursor.Open();
            return Action(cursor);
        });
    }
    std::unique_ptr<disktest::HoldingChild> Holding(const std::function<int(lctest::TCursor&)>& Action) {
        const std::string path = Env->Path;
        return std::make_unique<disktest::HoldingChild>([path, Action] {
            auto* c = lctest::TConnection::Disk(path, true, "CHILD").release();
            auto* cursor = new lctest::TCursor(*c, "NAVTEXLOG");
            cursor->Open();
            return Action(*cursor);
        });
    }
    static int TakePostLock(lctest::TCursor& C) {
        auto* d = dynamic_cast<TORQDiskTableData*>(C.TableData);
        return d->SetTableLock(C.Session->SessionID, ltPost, 1, 0, 1) ? 0 : 1;
    }
    static int TakeRecordLock(lctest::TCursor& C, int M) {
        if (!C.Seek(M)) return 2;
        auto* d = dynamic_cast<TORQDiskTableData*>(C.TableData);
        const bool had = d->LockRecord(C.Session->SessionID, C.CurrentRecordID, 0, 1);
        if (had) d->UnlockRecord(C.Session->SessionID, C.CurrentRecordID);
        return had ? 0 : 1;
    }

    lctest::TFakeTime Time;
    lctest::TTuningScope Tuning{lctest::ShortTuning()};
    std::unique_ptr<TEngineEnv> Env;
    std::unique_ptr<TTestDataSet> Ds;
};

TEST_F(ForkedResults, APostAgainstTheOthersPostLockRaisesMinus13AndARetryStoresIt) {
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(4), 0));
    Ds->Edit();
    Ds->FieldByName("STATION")->SetAsString("RETRIED");
    auto hold = Holding(TakePostLock);
    ASSERT_EQ(hold->SetupResult, 0);
    std::string text;
    EXPECT_EQ(EngineCode([&] {
                  try {
                      Ds->Post();
                  } catch (const EORQEngineError& e) {
                      text = e.what();
                      throw;
                  }
              }),
              -13);
    EXPECT_NE(text.find("Table is locked"), std::string::npos) << text;
    EXPECT_EQ(Ds->State(), dsEdit);
    int errors = 0;
    Ds->OnPostError = [&](TDataSet*, EDatabaseError&, TDataAction& Action) {
        ++errors;
        hold.reset();  // the other side lets go
        Action = daRetry;
    };
    Ds->Post();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(Ds->State(), dsBrowse);
    EXPECT_EQ(Child([](lctest::TCursor& C) {
                  int n = 0;
                  C.First();
                  while (C.GetRecord(1) == 0) n += C.GetString(7) == "RETRIED";
                  return n;
              }),
              1);
}

TEST_F(ForkedResults, EditAndDeleteOfARecordTheOtherChangedOrDeleted) {
    struct Case {
        int M;
        bool Deletes;  // the other side deletes, else changes the record
        bool WeDelete;
        int32_t Code;
    };
    for (const Case& c : {Case{2, false, false, -4}, Case{3, true, false, -6}, Case{4, false, true, -5},
                          Case{5, true, true, -7}}) {
        SCOPED_TRACE(c.Code);
        ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(c.M), 0));
        const int m = c.M;
        const bool deletes = c.Deletes;
        ASSERT_EQ(Child([m, deletes](lctest::TCursor& C) {
                      if (!C.Seek(m)) return 1;
                      if (deletes) return C.Delete() == 0 ? 0 : 2;
                      if (C.BeginEdit() != 0) return 3;
                      C.SetString(7, "THEIRS");
                      return C.Post(false) == 0 ? 0 : 4;
                  }),
                  0);
        EXPECT_EQ(EngineCode([&] {
                      if (c.WeDelete)
                          Ds->Delete();
                      else
                          Ds->Edit();
                  }),
                  c.Code);
        EXPECT_EQ(Ds->State(), dsBrowse);
        Ds->Refresh();
    }
}

TEST_F(ForkedResults, ABookmarkOfARecordAnotherProcessDeletedIsInvalidAndComparesAsMinusOne) {
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(8), 0));
    const TBookmark b8 = Ds->GetBookmark();
    Ds->Next();
    const TBookmark b9 = Ds->GetBookmark();
    EXPECT_TRUE(Ds->BookmarkValid(b8));
    ASSERT_EQ(Child([](lctest::TCursor& C) { return C.Seek(8) && C.Delete() == 0 ? 0 : 1; }), 0);
    EXPECT_FALSE(Ds->BookmarkValid(b8));
    EXPECT_TRUE(Ds->BookmarkValid(b9));
    EXPECT_EQ(Ds->CompareBookmarks(b8, b9), -1);
    EXPECT_EQ(Freq(*Ds), 9) << "the position is kept";
}

TEST_F(ForkedResults, ClosingInEditReleasesTheRecordLock) {
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(6), 0));
    Ds->Edit();
    EXPECT_EQ(Child([](lctest::TCursor& C) { return TakeRecordLock(C, 6); }), 1) << "the edit holds it";
    Ds->Close();
    EXPECT_EQ(Child([](lctest::TCursor& C) { return TakeRecordLock(C, 6); }), 0);
}

}  // namespace

namespace {

using IndexHelpers = EngineTest;

TEST_F(IndexHelpers, TheKeyStateTakesOnlyIndexFieldsAndTheHelpersFollowTheIndex) {
    TEngineEnv env(ekMemory);
    CreateLog(env);
    auto ds = env.Open("NAVTEXLOG");
    AppendLog(*ds, 1);
    EXPECT_TRUE(ds->IndexFieldNumbers().empty());
    ds->SwitchToIndex("IDX_DT");
    ASSERT_EQ(ds->IndexFieldNumbers(), std::vector<int32_t>{1});
    EXPECT_EQ(ds->IndexFieldsSize(), 8);
    EXPECT_FALSE(ds->HasRecords());
    // The set-key state writes the current key buffer; a field outside the index, or a
    // calculated one, is refused with its display name.
    TORQDataSet::TKeyBuffer& key = ds->KeyBuffer(TORQDataSet::kiLookup);
    ds->SetCurrentKeyBuffer(&key);
    const TDataSetState old = ds->SetTempState(dsSetKey);
    ds->FieldByName("FREQ")->SetDisplayLabel("Frequency");
    EXPECT_EQ(Raised([&] { ds->FieldByName("FREQ")->SetAsInteger(5); }),
              "Field Frequency is not in the current index - Native error: 20019");
    ds->FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(9));
    EXPECT_NEAR(ds->FieldByName("UTCRECEIVED")->AsDateTime(), lctest::MinuteDate(9), 1e-9);
    ds->RestoreState(old);
    ds->SetCurrentKeyBuffer(nullptr);
    EXPECT_NEAR(ds->FieldByName("UTCRECEIVED")->AsDateTime(), lctest::MinuteDate(1), 1e-9) << "the record is untouched";
    // A range marked in the current range buffers is reset once.
    ds->KeyBuffer(TORQDataSet::kiCurRangeStart).Modified = true;
    EXPECT_TRUE(ds->ResetRange());
    EXPECT_FALSE(ds->ResetRange());
    // An index the cursor does not know.
    ds->Cursor()->IndexName = "IDX_NONE";
    EXPECT_EQ(NativeCode([&] { ds->BuildIndexFieldList(); }), 10325);
    ds->SwitchToIndex("");
    EXPECT_TRUE(ds->IndexFieldNumbers().empty());
}

}  // namespace
