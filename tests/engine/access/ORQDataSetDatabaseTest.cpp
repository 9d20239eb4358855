// The dataset's binding to its database through its session: on-demand databases and
// the nested use flags, the move of a "Default" database into its named session, the
// property setters, provider transactions, projections, and the export options.
#include "ORQDataSetTestFixture.h"

using namespace dstest;
using namespace classlib;

namespace {

void CreateSmallTable(TEngineEnv& Env, const std::string& Name = "T") {
    TORQFieldDefs f;
    AddField(f, "ID", aftInteger);
    AddField(f, "NAME", aftVarChar, 20);
    AddField(f, "NOTE", aftMemo);
    Env.CreateTable(Name, f);
}

void AppendRow(TTestDataSet& Ds, int Id, const std::string& Name) {
    Ds.Append();
    Ds.FieldByName("ID")->SetAsInteger(Id);
    Ds.FieldByName("NAME")->SetAsString(Name);
    Ds.Post();
}

using DataSetDatabase = EngineTest;

TEST_F(DataSetDatabase, AnOnDemandDatabaseGoesAtTheLastReleaseAndNestedFlagsHoldIt) {
    {
        // The table lives in MEMORY beyond the component that made it.
        TEngineEnv env(ekMemory);
        CreateSmallTable(env);
    }
    TORQSession& session = DefaultSession();
    session.KeepConnections = false;
    ASSERT_EQ(session.DatabaseCount(), 0);
    TTestDataSet ds;
    ds.SetDatabaseName("memory");
    EXPECT_TRUE(ds.InMemory()) << "the name in any case";
    ds.TableName = "T";
    ds.Open();
    ASSERT_EQ(session.DatabaseCount(), 1);
    TORQDatabase* db = ds.Database();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(db->OwnedBySession);
    ASSERT_EQ(db->DataSetCount(), 1);
    EXPECT_EQ(db->GetDataSet(0), &ds);
    EXPECT_EQ(ds.DatabaseFlags(), 1);
    ds.Close();
    EXPECT_EQ(session.DatabaseCount(), 0) << "freed after the last close";
    EXPECT_EQ(ds.Database(), nullptr);

    // A flag set by an outer operation keeps the database through the inner one's end.
    ds.Open();
    EXPECT_TRUE(ds.SetDatabaseFlag(5, true));
    EXPECT_FALSE(ds.SetDatabaseFlag(5, true)) << "already set: not this call's to clear";
    ds.Close();
    EXPECT_EQ(session.DatabaseCount(), 1);
    EXPECT_EQ(ds.DatabaseFlags(), 1 << 5);
    ds.Open();
    EXPECT_EQ(ds.Database()->DataSetCount(), 1) << "listed once";
    ds.Close();
    EXPECT_TRUE(ds.SetDatabaseFlag(5, false));
    EXPECT_FALSE(ds.SetDatabaseFlag(5, false));
    EXPECT_EQ(session.DatabaseCount(), 0);
}

TEST_F(DataSetDatabase, ProviderTransactionsHoldTheDatabaseAndStatementsAreRefused) {
    TEngineEnv env(ekDisk);
    CreateSmallTable(env);
    auto ds = env.Open("T");
    EXPECT_FALSE(ds->PSInTransaction());
    ds->PSStartTransaction();
    EXPECT_TRUE(ds->PSInTransaction());
    EXPECT_EQ(ds->DatabaseFlags(), (1 << 0) | (1 << 10));
    EXPECT_EQ(Raised([&] { ds->PSStartTransaction(); }), "Database is already within a transaction");
    EXPECT_EQ(ds->DatabaseFlags(), (1 << 0) | (1 << 10)) << "the failed start leaves the outer one's flag";
    AppendRow(*ds, 1, "rolled back");
    ds->PSEndTransaction(false);
    EXPECT_FALSE(ds->PSInTransaction());
    EXPECT_EQ(ds->DatabaseFlags(), 1);
    ds->Refresh();
    EXPECT_EQ(ds->RecordCount(), 0);
    ds->PSStartTransaction();
    AppendRow(*ds, 2, "committed");
    ds->PSEndTransaction(true);
    ds->Close();
    ds->Open();
    EXPECT_EQ(ds->RecordCount(), 1);

    const uint16_t flags = ds->DatabaseFlags();
    // A failing statement fails through the query; flags stay as they were.
    EXPECT_EQ(NativeCode([&] { ds->PSExecuteStatement("DELETE T", nullptr); }), 30184);
    EXPECT_EQ(ds->DatabaseFlags(), flags);
    EXPECT_EQ(ds->PSGetQuoteChar(), "`");
    EXPECT_TRUE(ds->PSIsSQLBased());
    EXPECT_TRUE(ds->PSIsSQLSupported());
    EXPECT_FALSE(ds->PSUpdateRecord(ukModify, ds.get()));
    ds->OnUpdateRecord = [](TDataSet*, TUpdateKind Kind, TUpdateAction& Action) {
        Action = Kind == ukInsert ? uaApplied : uaSkip;
    };
    EXPECT_TRUE(ds->PSUpdateRecord(ukInsert, ds.get()));
    EXPECT_FALSE(ds->PSUpdateRecord(ukDelete, ds.get()));
    // The reset closes and opens an active dataset again.
    const int made = ds->CursorsMade;
    ds->PSReset();
    EXPECT_TRUE(ds->Active());
    EXPECT_EQ(ds->CursorsMade, made + 1);
}

TEST_F(DataSetDatabase, ADefaultDatabaseMovesIntoItsNamedSession) {
    TEngineEnv env(ekDisk);
    CreateSmallTable(env);
    env.Db->Close();
    TComponent form(nullptr);
    auto* named = new TORQSession(&form);
    named->SetSessionName("Work");
    named->SetActive(true);
    ASSERT_EQ(env.Db->Session(), &DefaultSession());
    TTestDataSet ds;
    ds.SetSessionName("Work");
    ds.SetDatabaseName("ORQDB");
    ds.TableName = "T";
    ds.Open();
    EXPECT_EQ(env.Db->Session(), named);
    EXPECT_EQ(ds.Database(), env.Db.get());
    ds.Close();
}

TEST_F(DataSetDatabase, PropertiesFollowTheRulesOfAnOpenDataset) {
    TEngineEnv env(ekMemory);
    CreateSmallTable(env);
    TTestDataSet ds;
    EXPECT_EQ(ds.CurrentVersion(), "5.18 ");
    ds.SetInMemory(true);
    EXPECT_EQ(ds.DatabaseName(), "MEMORY");
    ds.SetDatabaseName("Memory2");
    EXPECT_FALSE(ds.InMemory());
    ds.SetDatabaseName("MeMoRy");
    EXPECT_TRUE(ds.InMemory());
    ds.TableName = "T";
    ds.Open();
    EXPECT_THROW(ds.SetDatabaseName("TEMP"), EDatabaseError);
    EXPECT_THROW(ds.SetSessionName("Other"), EDatabaseError);
    EXPECT_THROW(ds.SetInMemory(false), EDatabaseError);
    EXPECT_EQ(ds.DatabaseName(), "MeMoRy");
    ds.Close();
    // Closed but still bound (a nested use holds the database): the name stays.
    ds.SetDatabaseFlag(3, true);
    EXPECT_EQ(Raised([&] { ds.SetDatabaseName("TEMP"); }), "Cannot perform this operation on an open database");
    ds.SetDatabaseFlag(3, false);
    ds.SetDatabaseName("TEMP");
    EXPECT_EQ(ds.DatabaseName(), "TEMP");

    TORQExportToSqlOptions a, b;
    EXPECT_TRUE(a.Structure);
    EXPECT_TRUE(a.AddDropTable);
    EXPECT_EQ(a.BlobSettings, 0);
    EXPECT_FALSE(a.Data);
    EXPECT_FALSE(a.FieldNamesInInserts);
    b.Structure = false, b.AddDropTable = false, b.BlobSettings = 2, b.Data = true, b.FieldNamesInInserts = true;
    a.Assign(&b);
    EXPECT_FALSE(a.Structure);
    EXPECT_FALSE(a.AddDropTable);
    EXPECT_EQ(a.BlobSettings, 2);
    EXPECT_TRUE(a.Data);
    EXPECT_TRUE(a.FieldNamesInInserts);
}

TEST_F(DataSetDatabase, AProjectionSurvivesAReopenAndReadsItsFields) {
    TEngineEnv env(ekDisk);
    CreateSmallTable(env);
    auto ds = env.Open("T");
    AppendRow(*ds, 7, "seven");
    ds->SetProjection({"NAME", "ID"}, {"N", ""});
    ASSERT_TRUE(ds->Active());
    ASSERT_EQ(ds->FieldCount(), 2);
    EXPECT_EQ(ds->Fields()[0]->FieldName(), "N");
    EXPECT_EQ(ds->Fields()[1]->FieldName(), "ID");
    EXPECT_EQ(ds->FieldByName("N")->AsString(), "seven");
    EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), 7);
    ds->Close();
    ds->Open();
    ASSERT_EQ(ds->FieldCount(), 2);
    EXPECT_EQ(ds->FieldByName("N")->AsString(), "seven");
    EXPECT_TRUE(ds->HasProjection());
    EXPECT_EQ(ds->Cursor()->Session, ds->Database()->Handle());
    // A name the table lacks raises and leaves the projection there was.
    EXPECT_EQ(NativeCode([&] { ds->SetProjection({"NOPE"}, {""}); }), 10323);
    EXPECT_EQ(ds->FieldCount(), 2);
    // The SQL layer's value access: base and projected numbering.
    TORQVariant v;
    ds->GetFieldValue(v, 0, true);
    EXPECT_EQ(v.GetAsString(), "seven");
    ds->GetFieldValue(v, 0, false);
    EXPECT_EQ(v.GetAsInteger(), 7);
}

}  // namespace
