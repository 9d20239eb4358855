// A new record whose set-up fails is dropped whole: after a failed Insert or Append the
// dataset, its window and its links are as they were, whichever step raised (the
// cursor's insert, a read of the records before it, OnNewRecord).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestDataSet.h"
#include "classlib/DB.h"

using namespace classlib;
using classlib_test::TTestDataSet;

namespace {

// The test dataset with hooks that raise on demand.
class TRaisingDataSet : public TTestDataSet {
public:
    // The next N cursor inserts raise once the cursor took them up.
    int FailInsert = 0;
    // The record read after this many more raises, as the engine's read does; -1: none.
    int FailReadAfter = -1;

protected:
    void InternalInsert() override {
        TTestDataSet::InternalInsert();
        if (FailInsert > 0) {
            --FailInsert;
            DatabaseError("Table is locked", this);
        }
    }
    TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override {
        if (FailReadAfter >= 0 && FailReadAfter-- == 0) DatabaseError("Cannot read the record", this);
        return TTestDataSet::GetRecord(Buffer, GetMode, DoCheck);
    }
};

// A grid's view: three rows, and how often it was told to read them again.
class TGridLink : public TDataLink {
public:
    int Told = 0;
    // The window's IDs as a repaint reads them now (0 for a record without one).
    std::vector<int32_t> Rows() {
        std::vector<int32_t> ids;
        const int32_t active = ActiveRecord();
        for (int32_t r = 0; r < RecordCount(); ++r) {
            SetActiveRecord(r);
            TField* id = DataSet()->FieldByName("ID");
            ids.push_back(id->IsNull() ? 0 : id->AsInteger());
        }
        SetActiveRecord(active);
        return ids;
    }

protected:
    void DataSetChanged() override { ++Told; }
};

class DataSetFailures : public ::testing::Test {
protected:
    void SetUp() override {
        ds.Structure = {{"ID", ftInteger}, {"NAME", ftString, 10}};
        src.SetDataSet(&ds);
        ds.Open();
        for (int i = 1; i <= 3; ++i) ds.AppendRecord({Variant::FromInteger(i), Variant::FromString("R" + std::to_string(i))});
        grid.SetBufferCount(3);
        grid.SetDataSource(&src);
        ds.First();
        ds.Next();  // record 2 current, in the middle of the window
        ASSERT_EQ(grid.Rows(), (std::vector<int32_t>{1, 2, 3}));
        ASSERT_EQ(grid.ActiveRecord(), 1);
    }

    int32_t Id() { return ds.FieldByName("ID")->AsInteger(); }

    // The dataset, its window and the grid as they were before the failure, and every
    // operation working on real records again.
    void ExpectAsBefore(int toldBefore) {
        EXPECT_EQ(ds.State(), dsBrowse);
        EXPECT_FALSE(grid.Editing());
        EXPECT_GT(grid.Told, toldBefore) << "the grid must hear that the window was read again";
        EXPECT_EQ(grid.Rows(), (std::vector<int32_t>{1, 2, 3}));
        EXPECT_EQ(grid.ActiveRecord(), 1);
        EXPECT_EQ(Id(), 2);
        EXPECT_EQ(ds.RowCount(), 3);
        ds.Edit();
        ds.FieldByName("NAME")->SetAsString("EDITED");
        ds.Post();
        EXPECT_EQ(Id(), 2);
        ds.Next();
        EXPECT_EQ(Id(), 3);
        ds.Next();
        EXPECT_TRUE(ds.Eof());
        EXPECT_EQ(Id(), 3);
        ds.Delete();
        EXPECT_EQ(ds.RowCount(), 2);
        ds.First();
        EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "R1");
        ds.Next();
        EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "EDITED");
        ds.Next();
        EXPECT_TRUE(ds.Eof());
    }

    TRaisingDataSet ds;
    TDataSource src{nullptr};
    TGridLink grid;
};

}  // namespace

TEST_F(DataSetFailures, AnInsertTheCursorRefuses) {
    const int told = grid.Told;
    ds.FailInsert = 1;
    EXPECT_THROW(ds.Insert(), EDatabaseError);
    ExpectAsBefore(told);
}

TEST_F(DataSetFailures, AnAppendTheCursorRefuses) {
    const int told = grid.Told;
    ds.FailInsert = 1;
    EXPECT_THROW(ds.Append(), EDatabaseError);
    ExpectAsBefore(told);
}

TEST_F(DataSetFailures, AnAppendWhoseReadOfThePriorRecordsFails) {
    const int told = grid.Told;
    ds.FailReadAfter = 0;
    EXPECT_THROW(ds.Append(), EDatabaseError);
    ExpectAsBefore(told);
}

// The step that always recovered now comes back to the record that was active too.
TEST_F(DataSetFailures, AnAppendWhoseNewRecordEventFails) {
    const int told = grid.Told;
    ds.OnNewRecord = [](TDataSet*) { throw EDatabaseError("no defaults"); };
    EXPECT_THROW(ds.Append(), EDatabaseError);
    ds.OnNewRecord = nullptr;
    ExpectAsBefore(told);
}
