// A file that was not closed properly and not repaired refuses every write (20300): each
// write through the cursor raises it, lets go of the locks it took (multi-user) and leaves
// every byte of the file as it was (single-user: multi-user record locks write the locked
// record's id into the table's lock bytes); inside a transaction the commit raises it.
#include <gtest/gtest.h>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

class LocalCursorRepairPending : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        {
            auto c = TConnection::Disk(Path, true, "SETUP");
            CreateLog(*c, ekDisk);
            TCursor log(*c, "NAVTEXLOG");
            log.Open();
            for (int64_t m = 0; m < 5; ++m) ASSERT_EQ(log.Append(m), 0);
        }
        disktest::Patch(Path, 42, {1});  // a commit left half-written
        Before = disktest::ReadAll(Path);
        A = TConnection::Disk(Path, MultiUser(), "A");
        ASSERT_EQ(A->S.NeedsRepair, 1);
        Mine = std::make_unique<TCursor>(*A, "NAVTEXLOG");
        Mine->Open();
    }
    void TearDown() override {
        Mine.reset();
        A.reset();
        StopTestEngine();
    }
    bool MultiUser() const { return GetParam(); }
    // Another session gets the post, strict transaction and edit locks and a record lock.
    bool OtherTakesEveryLock() {
        auto b = TConnection::Disk(Path, true, "B");
        TCursor c(*b, "NAVTEXLOG");
        c.Open();
        if (!c.Seek(2)) return false;
        auto* d = dynamic_cast<TORQDiskTableData*>(c.TableData);
        const int32_t s = b->S.SessionID;
        const TORQRecordID id = c.CurrentRecordID;
        const bool record = d->LockRecord(s, id, 0, 1);
        const bool post = d->SetTableLock(s, ltPost, 1, 0, 1);
        const bool transaction = d->SetTableLock(s, ltTransaction, 0, 0, 1);
        const bool edit = d->SetTableLock(s, ltEdit, 1, 0, 1);
        if (edit) d->ReleaseTableLock(s, ltEdit, 1);
        if (transaction) d->ReleaseTableLock(s, ltTransaction, 1);
        if (post) d->ReleaseTableLock(s, ltPost, 1);
        if (record) d->UnlockRecord(s, id);
        return record && post && transaction && edit;
    }

    TFakeTime Time;
    TTuningScope Tuning{ShortTuning()};
    disktest::TempDir Dir;
    std::string Path;
    std::vector<uint8_t> Before;
    std::unique_ptr<TConnection> A;
    std::unique_ptr<TCursor> Mine;
};

TEST_P(LocalCursorRepairPending, EveryWriteRaises20300LetsGoOfItsLocksAndChangesNoByte) {
    struct TCase {
        const char* Name;
        std::function<void(TCursor&)> Write;
    } cases[] = {
        {"insert", [](TCursor& c) { c.Append(100); }},
        {"update",
         [](TCursor& c) {
             ASSERT_TRUE(c.Seek(2));
             ASSERT_EQ(c.BeginEdit(), 0);
             c.SetInt(fDist, 7);
             c.PostRecord(false);
         }},
        {"delete",
         [](TCursor& c) {
             ASSERT_TRUE(c.Seek(3));
             c.DeleteRecord();
         }},
        {"add index",
         [](TCursor& c) {
             TORQIndexDef d;
             d.Name = "IDX_AREA";
             d.SetColumnCount(1);
             d.GetColumn(0).FieldName = "NAVAREA";
             c.AddIndex(d);
         }},
        {"empty", [](TCursor& c) { c.EmptyTable(); }},
        {"rename", [](TCursor& c) { c.RenameTable("JOURNAL"); }},
        {"delete table", [](TCursor& c) { c.DeleteTable(); }},
        {"create table",
         [](TCursor& c) {
             TORQFieldDefs f;
             AddField(f, "X", aftInteger);
             c.TableName = "NEWTABLE";
             c.CreateTable(f, TORQIndexDefs(), TORQConstraintDefs());
         }},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Name);
        if (Mine->Active == 0) {
            Mine->TableName = "NAVTEXLOG";
            Mine->Open();
        }
        EXPECT_EQ(NativeCode([&] { k.Write(*Mine); }), 20300);
        EXPECT_FALSE(Mine->HoldsEditLocks());
        if (!MultiUser()) {
            EXPECT_TRUE(disktest::ReadAll(Path) == Before);
            continue;
        }
        EXPECT_TRUE(OtherTakesEveryLock());
    }
    Mine->Close();
    Mine->TableName = "NAVTEXLOG";
    Mine->Open();
    EXPECT_EQ(Mine->GetRecordCount(), 5);
}

TEST_P(LocalCursorRepairPending, InATransactionTheCommitRaises) {
    A->S.StartTransaction();
    EXPECT_EQ(Mine->Append(100), 0);
    EXPECT_EQ(NativeCode([&] { A->S.Commit(true); }), 20300);
    if (!MultiUser()) {
        EXPECT_TRUE(disktest::ReadAll(Path) == Before);
    }
    A->S.Rollback();
    if (MultiUser()) {
        EXPECT_TRUE(OtherTakesEveryLock());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, LocalCursorRepairPending, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& I) { return I.param ? "MultiUser" : "SingleUser"; });

}  // namespace
}  // namespace lctest
