// The dataset's state machine on the test dataset: the order of hooks and events per
// operation as a data link and the dataset's own events see it, navigation at the ends,
// editing failures and their error loops, bookmarks, disabled controls, calculated fields
// and the filter-record step.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "DataSetEventOrderCases.h"
#include "TestDataSet.h"
#include "classlib/DB.h"

using namespace classlib;
using classlib_test::TTestDataSet;

namespace {

using eventorder::Log;
using eventorder::StateName;
using eventorder::TRecordingLink;

// A dataset of ID / NAME records with a source and a recording link, every event logged.
class DataSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ds.SetName("Stations");
        ds.Structure = {{"ID", ftInteger}, {"NAME", ftString, 10}};
        src.SetDataSet(&ds);
        link.SetDataSource(&src);
    }

    void Fill(int n) {
        const bool was = ds.Active();
        if (!was) ds.Open();
        for (int i = 1; i <= n; ++i) ds.AppendRecord({Variant::FromInteger(i), Variant::FromString("R" + std::to_string(i))});
        if (!was) ds.Close();
    }
    void Watch() { Hear(true); }
    void Unwatch() { Hear(false); }
    void Hear(bool On) {
        ds.HookLog = On ? &log : nullptr;
        const std::pair<const char*, TDataSetNotifyEvent*> events[] = {
            {"BeforeOpen", &ds.BeforeOpen},     {"AfterOpen", &ds.AfterOpen},       {"BeforeClose", &ds.BeforeClose},
            {"AfterClose", &ds.AfterClose},     {"BeforeInsert", &ds.BeforeInsert}, {"AfterInsert", &ds.AfterInsert},
            {"BeforeEdit", &ds.BeforeEdit},     {"AfterEdit", &ds.AfterEdit},       {"BeforePost", &ds.BeforePost},
            {"AfterPost", &ds.AfterPost},       {"BeforeCancel", &ds.BeforeCancel}, {"AfterCancel", &ds.AfterCancel},
            {"BeforeDelete", &ds.BeforeDelete}, {"AfterDelete", &ds.AfterDelete},   {"BeforeScroll", &ds.BeforeScroll},
            {"AfterScroll", &ds.AfterScroll},   {"BeforeRefresh", &ds.BeforeRefresh},
            {"AfterRefresh", &ds.AfterRefresh}, {"OnNewRecord", &ds.OnNewRecord},
        };
        for (const auto& [name, ev] : events) {
            std::string n = name;
            *ev = On ? TDataSetNotifyEvent([this, n](TDataSet*) { log.push_back(n); }) : nullptr;
        }
        src.OnStateChange = nullptr;
        src.OnUpdateData = nullptr;
        if (!On) return;
        src.OnStateChange = [this](TPersistent*) { log.push_back(std::string("source ") + StateName(src.State())); };
        src.OnUpdateData = [this](TPersistent*) { log.push_back("source update data"); };
    }
    int32_t Id() { return ds.FieldByName("ID")->AsInteger(); }
    std::string Name() { return ds.FieldByName("NAME")->AsString(); }
    // The IDs of the dataset's records in order, walked with First / Next.
    std::vector<int32_t> Ids() {
        std::vector<int32_t> out;
        for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(Id());
        return out;
    }

    Log log;
    TTestDataSet ds;
    TDataSource src{nullptr};
    TRecordingLink link{&log};
};

}  // namespace

TEST_F(DataSetTest, EachOperationRunsItsHooksAndEventsInOrder) {
    for (const auto& c : eventorder::Cases(ds)) {
        ds.ClearRows();
        Fill(3);
        c.setup();
        Watch();
        log.clear();
        c.action();
        EXPECT_EQ(log, c.expected) << c.name;
        Unwatch();
        ds.Close();
    }
}

TEST_F(DataSetTest, AFailedOpenLeavesTheDatasetClosedWithoutAfterOpen) {
    Watch();
    ds.FailFieldDefs = true;
    EXPECT_THROW(ds.Open(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsInactive);
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(log, (Log{"BeforeOpen", "InternalOpen", "InternalClose"}));
}

TEST_F(DataSetTest, AnUpdateDataHandlerThatDeletesTheNewRecordLeavesNothingPosted) {
    Fill(2);
    ds.Open();
    bool afterPost = false, beforePost = false;
    ds.AfterPost = [&](TDataSet*) { afterPost = true; };
    ds.BeforePost = [&](TDataSet*) { beforePost = true; };
    src.OnUpdateData = [&](TPersistent*) {
        if (ds.FieldByName("NAME")->AsString() == "BLOCKED") ds.Delete();
    };
    ds.Append();
    ds.FieldByName("NAME")->SetAsString("BLOCKED");
    EXPECT_NO_THROW(ds.Post());
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_FALSE(afterPost);
    EXPECT_FALSE(beforePost);
    EXPECT_EQ(ds.RowCount(), 2);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2}));

    // The same handler lets other records through.
    ds.AppendRecord({Variant::FromInteger(3), Variant::FromString("OK")});
    EXPECT_TRUE(afterPost);
    EXPECT_EQ(ds.RowCount(), 3);
}

TEST_F(DataSetTest, AFailingPostKeepsTheEditUntilCancelOrARetry) {
    Fill(3);
    ds.Open();
    ds.Next();
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("CHANGED");
    ds.FailPost = 1;
    EXPECT_THROW(ds.Post(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_EQ(Name(), "CHANGED");
    EXPECT_TRUE(ds.Modified());
    ds.Cancel();
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(Name(), "R2");

    // An insert that fails stays an insert.
    ds.Append();
    ds.FieldByName("ID")->SetAsInteger(9);
    ds.FailPost = 1;
    EXPECT_THROW(ds.Post(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsInsert);
    EXPECT_EQ(Id(), 9);
    ds.Cancel();
    EXPECT_EQ(ds.RowCount(), 3);
    EXPECT_EQ(Id(), 3);  // a cancelled append leaves the dataset at its end

    // OnPostError: retry once, then the record is stored; abort raises the silent
    // exception and keeps the edit.
    int calls = 0;
    TDataAction answer = daRetry;
    ds.OnPostError = [&](TDataSet*, EDatabaseError& E, TDataAction& Action) {
        ++calls;
        EXPECT_STREQ(E.what(), "Stations: Table is locked");
        Action = answer;
    };
    ds.Prior();
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("RETRIED");
    ds.FailPost = 1;
    EXPECT_NO_THROW(ds.Post());
    EXPECT_EQ(calls, 1);
    ds.First();
    ds.Next();
    EXPECT_EQ(Name(), "RETRIED");

    answer = daAbort;
    ds.Edit();
    ds.FailPost = 1;
    EXPECT_THROW(ds.Post(), EAbort);
    EXPECT_EQ(ds.State(), dsEdit);
    answer = daFail;
    ds.FailPost = 1;
    EXPECT_THROW(ds.Post(), EDatabaseError);
    EXPECT_EQ(calls, 3);
    ds.Cancel();
}

TEST_F(DataSetTest, EditAndDeleteErrorLoopsRetry) {
    Fill(2);
    ds.Open();
    int editCalls = 0, deleteCalls = 0;
    ds.OnEditError = [&](TDataSet*, EDatabaseError&, TDataAction& Action) {
        Action = ++editCalls < 3 ? daRetry : daFail;
    };
    ds.OnDeleteError = [&](TDataSet*, EDatabaseError&, TDataAction& Action) {
        ++deleteCalls;
        Action = daRetry;
    };
    ds.FailEdit = 5;
    EXPECT_THROW(ds.Edit(), EDatabaseError);  // the third failure is answered with fail
    EXPECT_EQ(editCalls, 3);
    EXPECT_EQ(ds.State(), dsBrowse);
    ds.FailDelete = 2;
    ds.Delete();
    EXPECT_EQ(deleteCalls, 2);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{2}));
}

TEST_F(DataSetTest, NavigationAtTheEnds) {
    struct Case {
        int records;
        int32_t forward;   // MoveBy(5) from the first
        int32_t backward;  // MoveBy(-5) from the last
    } cases[] = {{0, 0, 0}, {1, 0, 0}, {3, 2, -2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.records);
        ds.ClearRows();
        Fill(c.records);
        ds.Open();
        const bool empty = c.records == 0;
        EXPECT_TRUE(ds.Bof());
        EXPECT_EQ(ds.Eof(), empty);
        EXPECT_EQ(ds.IsEmpty(), empty);
        EXPECT_EQ(ds.RecordCount(), c.records);
        EXPECT_EQ(ds.RecNo(), empty ? -1 : 1);

        EXPECT_EQ(ds.MoveBy(5), c.forward);
        EXPECT_TRUE(ds.Eof());
        EXPECT_EQ(ds.RecNo(), empty ? -1 : c.records);
        if (!empty) {
            EXPECT_EQ(Id(), c.records);
        }
        ds.Next();  // past the end: nothing moves
        EXPECT_TRUE(ds.Eof());
        if (!empty) {
            EXPECT_EQ(Id(), c.records);
        }

        ds.Last();
        EXPECT_TRUE(ds.Eof());
        EXPECT_EQ(ds.MoveBy(-5), c.backward);
        EXPECT_TRUE(ds.Bof());
        EXPECT_EQ(ds.RecNo(), empty ? -1 : 1);
        ds.Prior();
        EXPECT_TRUE(ds.Bof());

        if (c.records == 3) {
            ds.Next();
            EXPECT_FALSE(ds.Bof());
            EXPECT_FALSE(ds.Eof());
            EXPECT_EQ(Id(), 2);
            ds.SetRecNo(3);
            EXPECT_EQ(Id(), 3);
            ds.SetRecNo(7);  // no such record: no move
            EXPECT_EQ(Id(), 3);
            EXPECT_EQ(ds.RecNo(), 3);
        }

        // Edit on an empty dataset inserts; a new record has no record number.
        ds.Edit();
        EXPECT_EQ(ds.State(), empty ? dsInsert : dsEdit);
        if (empty) {
            EXPECT_EQ(ds.RecNo(), -1);
        }
        ds.Cancel();
        ds.Close();
    }
}

TEST_F(DataSetTest, DeleteOnAnEmptyDatasetAndEditOfAReadOnlyOneRaise) {
    ds.Open();
    try {
        ds.Delete();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Stations: Cannot perform this operation on an empty dataset");
    }
    ds.Close();
    Fill(1);
    ds.ReadOnly = true;
    ds.Open();
    EXPECT_THROW(ds.Edit(), EDatabaseError);
    EXPECT_THROW(ds.Append(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_THROW(ds.Post(), EDatabaseError);  // not editing
    ds.Close();
    EXPECT_THROW(ds.First(), EDatabaseError);  // closed
}

TEST_F(DataSetTest, BookmarksSurviveInsertsAndDeletesAroundThem) {
    Fill(5);
    ds.Open();
    ds.MoveBy(2);
    const TBookmark third = ds.GetBookmark();
    ASSERT_EQ(third.size(), 4u);
    ds.First();
    const TBookmark first = ds.GetBookmark();
    ds.InsertRecord({Variant::FromInteger(10), Variant::FromString("NEW")});  // before the first
    ds.Next();
    ds.Next();
    EXPECT_EQ(Id(), 2);
    ds.Delete();
    ds.AppendRecord({Variant::FromInteger(11), Variant::FromString("END")});
    EXPECT_EQ(Ids(), (std::vector<int32_t>{10, 1, 3, 4, 5, 11}));

    ds.GotoBookmark(third);
    EXPECT_EQ(Id(), 3);
    EXPECT_EQ(ds.RecNo(), 3);
    EXPECT_TRUE(ds.BookmarkValid(third));
    EXPECT_EQ(ds.CompareBookmarks(first, third), -1);
    EXPECT_EQ(ds.CompareBookmarks(third, first), 1);
    EXPECT_EQ(ds.CompareBookmarks(third, ds.GetBookmark()), 0);
    EXPECT_EQ(ds.CompareBookmarks({}, {}), 0);
    EXPECT_EQ(ds.CompareBookmarks({}, third), 1);
    EXPECT_EQ(ds.CompareBookmarks(third, {}), -1);

    ds.Delete();
    EXPECT_EQ(Id(), 4);
    EXPECT_FALSE(ds.BookmarkValid(third));
    EXPECT_THROW(ds.GotoBookmark(third), EDatabaseError);
    EXPECT_EQ(Id(), 4);

    // A new record has no bookmark; an empty one goes nowhere.
    ds.Append();
    EXPECT_TRUE(ds.GetBookmark().empty());
    ds.Cancel();
    TBookmark none;
    ds.GotoBookmark(none);
    EXPECT_EQ(Id(), 11);
    TBookmark b = ds.GetBookmark();
    ds.FreeBookmark(b);
    EXPECT_TRUE(b.empty());
}

TEST_F(DataSetTest, DisabledControlsHearOneDatasetChangeWhenEnabled) {
    Fill(3);
    ds.Open();
    log.clear();
    int dataChanges = 0;
    src.OnDataChange = [&](TDataSource*, TField*) { ++dataChanges; };
    ds.DisableControls();
    ds.DisableControls();
    ds.Next();
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("BATCH");
    ds.Post();
    ds.AppendRecord({Variant::FromInteger(4), Variant::FromString("R4")});
    ds.First();
    ds.EnableControls();
    EXPECT_TRUE(ds.ControlsDisabled());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(dataChanges, 0);
    ds.EnableControls();
    EXPECT_FALSE(ds.ControlsDisabled());
    EXPECT_EQ(log, (Log{"link dataset changed"}));
    EXPECT_EQ(dataChanges, 1);
    EXPECT_EQ(link.ActiveRecord(), 0);

    // A state entered meanwhile is reported before the change.
    log.clear();
    ds.DisableControls();
    ds.Edit();
    ds.EnableControls();
    EXPECT_EQ(log, (Log{"link editing", "link dataset changed"}));
    ds.Cancel();

    // Closed and opened meanwhile: the fields were made again, so a layout change.
    log.clear();
    ds.DisableControls();
    ds.Close();
    ds.Open();
    ds.EnableControls();
    EXPECT_EQ(log, (Log{"link layout changed"}));
    ds.EnableControls();  // unbalanced: ignored
    EXPECT_FALSE(ds.ControlsDisabled());
}

TEST_F(DataSetTest, CalculatedFieldsAreClearedAndComputedOnEachRecordRead) {
    Fill(3);
    auto* id = new TIntegerField(&ds);
    id->SetFieldName("ID");
    id->SetDataSet(&ds);
    auto* name = new TStringField(&ds);
    name->SetFieldName("NAME");
    name->SetSize(10);
    name->SetDataSet(&ds);
    auto* doubled = new TIntegerField(&ds);
    doubled->SetFieldName("DOUBLED");
    doubled->SetFieldKind(fkCalculated);
    doubled->SetDataSet(&ds);

    int calls = 0;
    std::vector<std::string> seen;  // state and whether the field started cleared
    ds.OnCalcFields = [&](TDataSet* d) {
        ++calls;
        seen.push_back(std::string(StateName(d->State())) + (doubled->IsNull() ? " cleared" : " stale"));
        if (id->AsInteger() == 99) throw EDatabaseError("calculation failed");
        doubled->SetAsInteger(id->AsInteger() * 2);
    };
    ds.Open();
    EXPECT_EQ(doubled->AsInteger(), 2);
    for (int32_t want : {4, 6}) {
        const int before = calls;
        ds.Next();
        EXPECT_EQ(doubled->AsInteger(), want);
        EXPECT_EQ(calls, before + 1);  // one record read per scroll with one buffer
    }
    for (const auto& s : seen) EXPECT_EQ(s, "CalcFields cleared");

    // While editing, a data field change recomputes when AutoCalcFields is on.
    ds.Edit();
    id->SetAsInteger(20);
    EXPECT_EQ(doubled->AsInteger(), 40);
    ds.AutoCalcFields = false;
    id->SetAsInteger(21);
    EXPECT_EQ(doubled->AsInteger(), 40);
    ds.AutoCalcFields = true;
    ds.Cancel();
    EXPECT_EQ(doubled->AsInteger(), 6);

    // A failing handler leaves the state as it was.
    ds.Edit();
    EXPECT_THROW(id->SetAsInteger(99), EDatabaseError);
    EXPECT_EQ(ds.State(), dsEdit);
    ds.Cancel();
    EXPECT_EQ(ds.State(), dsBrowse);
    ds.Close();
}

TEST_F(DataSetTest, OnFilterRecordDecidesWhatTheDatasetShows) {
    Fill(6);
    ds.Open();
    ds.SetFiltered(true);
    EXPECT_EQ(ds.RecordCount(), 6);  // no handler: all pass
    ds.Next();
    ds.Next();

    // Assigned while open and filtered: it takes effect at once, from the first record.
    ds.SetOnFilterRecord([](TDataSet* d, bool& Accept) {
        EXPECT_EQ(d->State(), dsFilter);
        Accept = d->FieldByName("ID")->AsInteger() % 2 == 0;
    });
    EXPECT_EQ(Id(), 2);
    EXPECT_EQ(ds.RecordCount(), 3);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{2, 4, 6}));
    ds.First();
    EXPECT_TRUE(ds.FindNext());
    EXPECT_EQ(Id(), 4);
    EXPECT_TRUE(ds.FindLast());
    EXPECT_EQ(Id(), 6);
    EXPECT_FALSE(ds.FindNext());
    EXPECT_FALSE(ds.Found());
    EXPECT_EQ(Id(), 6);
    EXPECT_TRUE(ds.FindPrior());
    EXPECT_EQ(Id(), 4);

    // A handler that only rejects: Accept starts True.
    ds.SetOnFilterRecord([](TDataSet* d, bool& Accept) {
        if (d->FieldByName("ID")->AsInteger() == 3) Accept = false;
    });
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 4, 5, 6}));

    // An exception reaches the dataset's hook; the record counts as Accept was left.
    ds.SetOnFilterRecord([](TDataSet* d, bool& Accept) {
        const int32_t id = d->FieldByName("ID")->AsInteger();
        if (id == 4) {
            Accept = false;
            throw EDatabaseError("bad record 4");
        }
        if (id == 5) throw EDatabaseError("bad record 5");
    });
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3, 5, 6}));
    EXPECT_EQ(ds.State(), dsBrowse);
    ASSERT_FALSE(ds.HandledExceptions.empty());
    EXPECT_EQ(ds.HandledExceptions.front(), "bad record 4");

    // Not filtered: navigation shows all, the Find methods still apply the handler.
    ds.SetOnFilterRecord([](TDataSet* d, bool& Accept) { Accept = d->FieldByName("ID")->AsInteger() > 4; });
    ds.SetFiltered(false);
    EXPECT_EQ(ds.RecordCount(), 6);
    EXPECT_TRUE(ds.FindFirst());
    EXPECT_EQ(Id(), 5);
    EXPECT_EQ(ds.RecNo(), 5);
    ds.Next();
    EXPECT_EQ(Id(), 6);
    ds.First();
    EXPECT_EQ(Id(), 1);
}

TEST_F(DataSetTest, LocateLookupAndFieldValues) {
    Fill(4);
    ds.Open();
    Variant keys = Variant::CreateArray({{0, 1}}, varVariant);
    keys.PutElement({0}, Variant::FromInteger(3));
    keys.PutElement({1}, Variant::FromString("r3"));
    EXPECT_FALSE(ds.Locate("ID;NAME", keys, 0));
    EXPECT_EQ(Id(), 1);
    EXPECT_TRUE(ds.Locate("ID;NAME", keys, loCaseInsensitive));
    EXPECT_EQ(Id(), 3);
    EXPECT_TRUE(ds.Locate("NAME", Variant::FromString("R"), loPartialKey));
    EXPECT_EQ(Id(), 1);

    EXPECT_EQ(ds.Lookup("ID", Variant::FromInteger(4), "NAME"), Variant::FromString("R4"));
    EXPECT_TRUE(ds.Lookup("ID", Variant::FromInteger(9), "NAME").IsNull());
    EXPECT_EQ(Id(), 1);  // Lookup does not move

    const Variant both = ds.FieldValues("ID;NAME");
    ASSERT_TRUE(both.IsArray());
    EXPECT_EQ(both.ArrayLowBound(1), 0);
    EXPECT_EQ(both.ArrayHighBound(1), 1);
    EXPECT_EQ(VarToStr(both.GetElement({1})), "R1");
    EXPECT_EQ(ds.FieldValues("NAME"), Variant::FromString("R1"));
    EXPECT_THROW(ds.FieldValues("ID;NOPE"), EDatabaseError);

    ds.Edit();
    Variant set = Variant::CreateArray({{0, 1}}, varVariant);
    set.PutElement({0}, Variant::FromInteger(7));
    set.PutElement({1}, Variant::FromString("SEVEN"));
    ds.SetFieldValues("ID;NAME", set);
    ds.Post();
    EXPECT_EQ(Id(), 7);
    EXPECT_EQ(Name(), "SEVEN");
}

TEST_F(DataSetTest, ALinkWithFiveBuffersSeesAWindowThatFollowsTheDataset) {
    Fill(8);
    TRecordingLink wide(&log);
    wide.SetBufferCount(5);
    wide.SetDataSource(&src);
    ds.Open();
    EXPECT_EQ(ds.BufferCount(), 5);
    auto window = [&] {
        std::vector<int32_t> ids;
        const int32_t active = wide.ActiveRecord();
        for (int32_t i = 0; i < wide.RecordCount(); ++i) {
            wide.SetActiveRecord(i);
            ids.push_back(Id());
        }
        wide.SetActiveRecord(active);
        return ids;
    };
    EXPECT_EQ(window(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(wide.ActiveRecord(), 0);
    for (int i = 0; i < 4; ++i) ds.Next();
    EXPECT_EQ(window(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(wide.ActiveRecord(), 4);
    EXPECT_EQ(Id(), 5);
    log.clear();
    ds.Next();
    EXPECT_EQ(window(), (std::vector<int32_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(wide.ActiveRecord(), 4);
    // Both links hear the scroll: the window moved by one row for each.
    EXPECT_EQ(log, (Log{"link check browse", "link check browse", "link scrolled 1", "link scrolled 1"}));
    ds.MoveBy(-4);
    EXPECT_EQ(window(), (std::vector<int32_t>{2, 3, 4, 5, 6}));
    ds.Prior();
    EXPECT_EQ(window(), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(wide.ActiveRecord(), 0);

    // A bookmark's record comes back centred.
    ds.Last();
    EXPECT_EQ(window(), (std::vector<int32_t>{4, 5, 6, 7, 8}));
    ds.MoveBy(-2);
    const TBookmark six = ds.GetBookmark();
    ds.First();
    ds.GotoBookmark(six);
    EXPECT_EQ(window(), (std::vector<int32_t>{4, 5, 6, 7, 8}));
    EXPECT_EQ(wide.ActiveRecord(), 2);

    // The one-row link follows the active record within the same buffers.
    EXPECT_EQ(link.RecordCount(), 1);
    EXPECT_EQ(link.ActiveRecord(), 0);

    // Insert opens a row at the active one; the posted record keeps that row.
    ds.Insert();
    EXPECT_EQ(window(), (std::vector<int32_t>{4, 5, 0, 6, 7}));
    EXPECT_EQ(wide.ActiveRecord(), 2);
    ds.FieldByName("ID")->SetAsInteger(55);
    ds.Post();
    EXPECT_EQ(window(), (std::vector<int32_t>{4, 5, 55, 6, 7}));
    EXPECT_EQ(wide.ActiveRecord(), 2);
    // Append shows the last records above the new one.
    ds.Append();
    EXPECT_EQ(window(), (std::vector<int32_t>{55, 6, 7, 8, 0}));
    EXPECT_EQ(wide.ActiveRecord(), 4);
    ds.FieldByName("ID")->SetAsInteger(9);
    ds.Post();
    EXPECT_EQ(window(), (std::vector<int32_t>{55, 6, 7, 8, 9}));
    EXPECT_EQ(wide.ActiveRecord(), 4);

    // The window shrinks when the wide link goes, keeping the active record.
    wide.SetDataSource(nullptr);
    EXPECT_EQ(ds.BufferCount(), 1);
    EXPECT_EQ(Id(), 9);
    ds.Prior();
    EXPECT_EQ(Id(), 8);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3, 4, 5, 55, 6, 7, 8, 9}));
}

TEST_F(DataSetTest, AMasterLinkResolvesItsFieldsAndReportsTheMaster) {
    Fill(3);
    TTestDataSet detail;
    detail.Structure = {{"STATION", ftInteger}};
    detail.Open();
    TMasterDataLink master(&detail);
    master.SetFieldNames("ID");
    Log events;
    master.OnMasterChange = [&](TPersistent* Sender) {
        EXPECT_EQ(Sender, &master);
        events.push_back("change " + std::to_string(master.Fields().at(0)->AsInteger()));
    };
    master.OnMasterDisable = [&](TPersistent*) { events.push_back("disable"); };
    master.SetDataSource(&src);
    EXPECT_TRUE(master.Fields().empty());  // the master is closed
    EXPECT_TRUE(events.empty());

    ds.Open();
    ASSERT_EQ(master.Fields().size(), 1u);
    EXPECT_EQ(master.Fields()[0], ds.FieldByName("ID"));
    ds.Next();
    ds.Next();
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("N");  // not a link field
    ds.FieldByName("ID")->SetAsInteger(30);
    ds.Cancel();
    ds.Close();
    // Edit reports the record (nil field), NAME is no link field, Cancel re-reads it.
    EXPECT_EQ(events, (Log{"change 1", "change 2", "change 3", "change 3", "change 30", "change 3", "disable"}));

    // A name the master lacks fails when the link becomes active.
    master.SetFieldNames("NOPE");
    EXPECT_THROW(ds.Open(), EDatabaseError);
    master.SetDataSource(nullptr);
}

TEST_F(DataSetTest, CircularLinksAreRefused) {
    TTestDataSet detail;
    TDataSource detailSrc(nullptr);
    detail.MasterSource = &src;  // detail follows ds
    detailSrc.SetDataSet(&detail);
    EXPECT_TRUE(ds.IsLinkedTo(&detailSrc));
    EXPECT_FALSE(detail.IsLinkedTo(&src));
    try {
        src.SetDataSet(&detail);  // src would watch a dataset that follows it
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
    }
    EXPECT_EQ(src.DataSet(), &ds);
    detail.MasterSource = nullptr;
}

TEST_F(DataSetTest, SourcesAndLinksMayDieInAnyOrder) {
    Fill(2);
    ds.Open();
    {
        TDataSource other(nullptr);
        TRecordingLink l(nullptr);
        l.SetBufferCount(3);
        l.SetDataSource(&other);
        other.SetDataSet(&ds);
        EXPECT_TRUE(l.Active());
        EXPECT_EQ(ds.BufferCount(), 3);
    }  // the link dies, then its source
    EXPECT_EQ(ds.BufferCount(), 1);
    ds.Next();
    EXPECT_EQ(Id(), 2);

    auto* gone = new TTestDataSet(nullptr);
    gone->Structure = {{"ID", ftInteger}};
    TDataSource left(nullptr);
    TRecordingLink l(&log);
    l.SetDataSource(&left);
    left.SetDataSet(gone);
    gone->Open();
    log.clear();
    delete gone;
    EXPECT_EQ(left.DataSet(), nullptr);
    EXPECT_EQ(left.State(), dsInactive);
    EXPECT_FALSE(l.Active());
    EXPECT_EQ(log, (Log{"link inactive"}));
}

TEST_F(DataSetTest, ADisabledSourceIsInactiveAndAutoEditEditsThroughIt) {
    Fill(1);
    ds.Open();
    src.SetEnabled(false);
    EXPECT_EQ(src.State(), dsInactive);
    EXPECT_FALSE(link.Active());
    src.SetEnabled(true);
    EXPECT_TRUE(link.Active());
    EXPECT_TRUE(link.Edit());
    EXPECT_EQ(ds.State(), dsEdit);
    ds.Cancel();
    src.AutoEdit = false;
    EXPECT_FALSE(link.Edit());
    EXPECT_EQ(ds.State(), dsBrowse);
}

TEST_F(DataSetTest, AFailingOnNewRecordDropsTheNewRecord) {
    Fill(2);
    ds.Open();
    ds.Next();
    ds.OnNewRecord = [](TDataSet*) { throw EDatabaseError("no defaults"); };
    EXPECT_THROW(ds.Append(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_FALSE(link.Editing());
    EXPECT_EQ(Id(), 2);
    ds.OnNewRecord = [](TDataSet* d) { d->FieldByName("NAME")->SetAsString("DEFAULT"); };
    ds.Append();
    EXPECT_EQ(Name(), "DEFAULT");
    EXPECT_FALSE(ds.Modified());  // defaults alone are no change: leaving cancels
    ds.First();
    EXPECT_EQ(ds.RowCount(), 2);
}

TEST_F(DataSetTest, SourceEventsCarryTheChangedField) {
    Fill(1);
    ds.Open();
    std::vector<std::string> changes;
    src.OnDataChange = [&](TDataSource* Sender, TField* Field) {
        EXPECT_EQ(Sender, &src);
        changes.push_back(Field != nullptr ? Field->FieldName() : "nil");
    };
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("X");
    ds.Post();
    EXPECT_EQ(changes, (std::vector<std::string>{"nil", "NAME", "nil"}));
    EXPECT_EQ(log.back(), "link dataset changed");
}

TEST_F(DataSetTest, TheSetKeyStateEditsAKeyBufferAndLeavesTheWindowAlone) {
    Fill(3);
    ds.Open();
    ds.Next();
    log.clear();
    ds.EditKey();
    EXPECT_TRUE(link.Editing());
    EXPECT_EQ(link.ActiveRecord(), 0);
    ds.FieldByName("ID")->SetAsInteger(9);
    EXPECT_EQ(Id(), 9);  // the key buffer, not the record
    ds.Next();           // browse mode first: the key is posted
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_FALSE(link.Editing());
    EXPECT_EQ(Id(), 3);
    ds.EditKey();
    ds.Delete();  // leaves the key state like Cancel
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.RowCount(), 3);
}

TEST_F(DataSetTest, APropertyChangeOutdatesTheDefinitionsAndReachesEveryLink) {
    ds.Open();
    struct TEventLink : TDataLink {
        std::vector<TDataEvent> seen;
        void DataEvent(TDataEvent Event, intptr_t Info) override {
            seen.push_back(Event);
            TDataLink::DataEvent(Event, Info);
        }
    } watcher;
    watcher.SetDataSource(&src);
    ASSERT_TRUE(ds.FieldDefs().Updated());
    ds.DataEvent(dePropertyChange, 0);
    EXPECT_FALSE(ds.FieldDefs().Updated());
    EXPECT_EQ(watcher.seen, (std::vector<TDataEvent>{dePropertyChange}));
    watcher.SetDataSource(nullptr);
}

TEST_F(DataSetTest, ResyncExactRaisesForAVanishedRecordAndPlainResyncTakesTheNext) {
    Fill(3);
    ds.Open();
    int32_t hidden = 0;
    ds.SetOnFilterRecord([&](TDataSet* d, bool& Accept) { Accept = d->FieldByName("ID")->AsInteger() != hidden; });
    ds.SetFiltered(true);
    ds.Next();
    EXPECT_EQ(Id(), 2);
    hidden = 2;  // the current record no longer passes
    try {
        ds.Resync(rmExact);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "Stations: Record not found");
    }
    EXPECT_EQ(Id(), 2);  // the window is as it was
    ds.Resync(0);
    EXPECT_EQ(Id(), 3);
    hidden = 3;
    ds.Resync(0);  // nothing after it: the prior one, visible again
    EXPECT_EQ(Id(), 2);
}

TEST_F(DataSetTest, AMoveThatGrowsAWindowNotFullLandsOnTheNewRecord) {
    // Records hidden when the window was filled become visible: the next move reads one
    // more record into the window rather than rotating it.
    Fill(6);
    TDataLink wide;
    wide.SetBufferCount(5);
    wide.SetDataSource(&src);
    ds.Open();
    int32_t limit = 3;
    ds.SetOnFilterRecord([&](TDataSet* d, bool& Accept) { Accept = d->FieldByName("ID")->AsInteger() <= limit; });
    ds.SetFiltered(true);
    ds.Last();
    ds.Prior();  // off the end: the next moves may read
    EXPECT_EQ(ds.WindowCount(), 3);
    limit = 6;
    EXPECT_EQ(ds.MoveBy(2), 2);
    EXPECT_EQ(Id(), 4);
    EXPECT_EQ(ds.WindowCount(), 4);

    ds.SetOnFilterRecord([&](TDataSet* d, bool& Accept) { Accept = d->FieldByName("ID")->AsInteger() >= limit; });
    limit = 4;  // First shows 4..6
    ds.First();
    ds.Next();
    EXPECT_EQ(ds.WindowCount(), 3);
    limit = 1;
    EXPECT_EQ(ds.MoveBy(-2), -2);
    EXPECT_EQ(Id(), 3);
    wide.SetDataSource(nullptr);
}

TEST_F(DataSetTest, ATemporaryStateDuringAnEditKeepsItsChanges) {
    Fill(2);
    ds.Open();
    ds.SetOnFilterRecord([](TDataSet*, bool&) {});
    ds.SetFiltered(true);
    ds.Edit();
    ds.FieldByName("NAME")->SetAsString("KEPT");
    EXPECT_EQ(ds.RecordCount(), 2);  // runs the filter step in its temporary state
    EXPECT_EQ(ds.State(), dsEdit);
    EXPECT_TRUE(ds.Modified());
    ds.Next();  // still modified: posted, not cancelled
    ds.First();
    EXPECT_EQ(Name(), "KEPT");
}

TEST_F(DataSetTest, ALinkWideningItsWindowWhileOpenKeepsTheActiveRecordInIt) {
    Fill(8);
    ds.Open();
    ds.MoveBy(5);
    TDataLink wide;
    wide.SetDataSource(&src);
    wide.SetBufferCount(5);  // reads the records after, then before, the active one
    EXPECT_EQ(ds.BufferCount(), 5);
    EXPECT_EQ(ds.WindowCount(), 5);
    EXPECT_EQ(Id(), 6);
    EXPECT_EQ(wide.ActiveRecord(), 2);
    wide.SetActiveRecord(0);
    EXPECT_EQ(Id(), 4);
    wide.SetActiveRecord(4);
    EXPECT_EQ(Id(), 8);
    wide.SetActiveRecord(2);
    EXPECT_THROW(wide.SetActiveRecord(5), EDatabaseError);
    EXPECT_EQ(link.ActiveRecord(), 0);
    wide.SetDataSource(nullptr);
}
