#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestDataSet.h"
#include "classlib/DBDefs.h"

using namespace classlib;
using classlib_test::TTestDataSet;

TEST(Defs, UpdateFillsAnOutOfDateListOnceThroughTheDataset) {
    TTestDataSet ds;
    ds.Structure = {{"ID", ftAutoInc}, {"NAME", ftString, 30, true}};
    ds.IndexStructure = {{"PK", "ID", "", "", ixPrimary}};
    EXPECT_FALSE(ds.FieldDefs().Updated());

    ds.FieldDefs().Update();  // the closed dataset opens its cursor for the question only
    EXPECT_EQ(ds.InitFieldDefsCalls, 1);
    EXPECT_EQ(ds.State(), dsInactive);
    ASSERT_EQ(ds.FieldDefs().Count(), 2);
    EXPECT_EQ(ds.FieldDefs().Items(1)->Name(), "NAME");
    EXPECT_EQ(ds.FieldDefs().Items(1)->Size(), 30);
    EXPECT_TRUE(ds.FieldDefs().Items(1)->Required());
    EXPECT_EQ(ds.FieldDefs().Find("name")->FieldNo(), 2);

    ds.FieldDefs().Update();  // up to date: left alone
    EXPECT_EQ(ds.InitFieldDefsCalls, 1);
    ds.FieldDefs().SetUpdated(false);
    ds.FieldDefs().Update();
    EXPECT_EQ(ds.InitFieldDefsCalls, 2);

    ds.IndexDefs.Update();
    ds.IndexDefs.Update();
    EXPECT_EQ(ds.UpdateIndexDefsCalls, 1);
    EXPECT_EQ(ds.IndexDefs.Find("pk")->Fields(), "ID");

    // The dataset's own filling is no change; a program's is.
    EXPECT_EQ(ds.DefChangedCalls, 0);
    ds.FieldDefs().Add("FREQ", ftInteger);
    ds.FieldDefs().Items(0)->SetSize(4);
    ds.IndexDefs.Items(0)->SetOptions(ixPrimary | ixUnique);
    EXPECT_EQ(ds.DefChangedCalls, 3);
    EXPECT_THROW(ds.FieldDefs().Add("freq", ftString), EDatabaseError);
    EXPECT_THROW(ds.FieldDefs().Find("NOPE"), EDatabaseError);
}

TEST(Defs, AFailedUpdateLeavesTheListOutOfDateAndTheDatasetClosed) {
    TTestDataSet ds;
    ds.Structure = {{"ID", ftInteger}};
    ds.FailFieldDefs = true;
    EXPECT_THROW(ds.FieldDefs().Update(), EDatabaseError);
    EXPECT_EQ(ds.State(), dsInactive);
    EXPECT_FALSE(ds.FieldDefs().Updated());
    EXPECT_THROW(ds.Open(), EDatabaseError);
    EXPECT_FALSE(ds.Active());

    ds.FailFieldDefs = false;
    ds.FieldDefs().Update();  // tried again, since it never got up to date
    EXPECT_EQ(ds.FieldDefs().Count(), 1);
    ds.Open();
    EXPECT_TRUE(ds.Active());
}

TEST(Defs, AssignCopiesEveryDefinition) {
    TIndexDefs source(nullptr);
    TIndexDef* d = source.Add("ByCall", "CALL;FREQ", ixUnique | ixCaseInsensitive);
    d->SetDescFields("FREQ");
    d->SetCaseInsFields("CALL");
    TIndexDefs copy(nullptr);
    copy.Add("Old", "X", 0);
    copy.Assign(&source);
    ASSERT_EQ(copy.Count(), 1);
    const TIndexDef* c = copy.Items(0);
    EXPECT_EQ(c->Name(), "ByCall");
    EXPECT_EQ(c->Fields(), "CALL;FREQ");
    EXPECT_EQ(c->DescFields(), "FREQ");
    EXPECT_EQ(c->CaseInsFields(), "CALL");
    EXPECT_EQ(c->Options(), ixUnique | ixCaseInsensitive);

    TFieldDefs fields(nullptr);
    fields.Add("A", ftString, 10, true);
    TFieldDefs fieldCopy(nullptr);
    fieldCopy.Assign(&fields);
    EXPECT_EQ(fieldCopy.Items(0)->Size(), 10);
    EXPECT_TRUE(fieldCopy.Items(0)->Required());
}

TEST(Defs, IndexForFields) {
    TIndexDefs defs(nullptr);
    defs.Add("PK", "ID", ixPrimary | ixUnique);
    defs.Add("ByNameDate", "NAME;DATE", 0);
    defs.Add("ByName", "NAME", 0);
    defs.Add("ByFreq", "FREQ", ixDescending);
    defs.Add("ByFreqDesc", "FREQ;ID", 0)->SetDescFields("FREQ");
    defs.Add("ByCall", "CALL", ixCaseInsensitive);
    defs.Add("ByLoc", "LOC,COUNTRY", 0)->SetCaseInsFields("LOC;COUNTRY");
    defs.Add("ByExpr", "UPPER(TEXT)", ixExpression);

    struct Case { const char* fields; const char* found; } finds[] = {
        {"ID", "PK"},
        {"id", "PK"},                  // letter case of names does not matter
        {"NAME", "ByName"},            // an exact match before a leading part
        {"name;date", "ByNameDate"},
        {" Name ; Date ", "ByNameDate"},
        {"LOC", "ByLoc"},              // leading part of a ','-written list
        {"DATE", nullptr},
        {"NAME;DATE;ID", nullptr},
        {"FREQ", nullptr},             // descending indexes do not order ascending
        {"UPPER(TEXT)", nullptr},      // nor do expressions
        {"", nullptr},
    };
    for (const auto& c : finds) {
        if (c.found != nullptr) {
            EXPECT_EQ(defs.FindIndexForFields(c.fields)->Name(), c.found) << c.fields;
        } else {
            EXPECT_THROW(defs.FindIndexForFields(c.fields), EDatabaseError) << c.fields;
            EXPECT_EQ(defs.GetIndexForFields(c.fields, false), nullptr) << c.fields;
        }
    }

    struct CaseIns { const char* fields; bool caseInsensitive; const char* found; } gets[] = {
        {"CALL", true, "ByCall"},
        {"CALL", false, "ByCall"},
        {"ID", true, nullptr},
        {"LOC;COUNTRY", true, "ByLoc"},
        {"NAME", true, nullptr},
        {"NAME", false, "ByName"},
    };
    for (const auto& c : gets) {
        const TIndexDef* d = defs.GetIndexForFields(c.fields, c.caseInsensitive);
        if (c.found) {
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->Name(), c.found);
        } else {
            EXPECT_EQ(d, nullptr) << c.fields;
        }
    }
}

TEST(Defs, ExtractFieldNameWalksASemicolonList) {
    struct Case { const char* list; std::vector<std::string> names; } cases[] = {
        {"A; B ;C", {"A", "B", "C"}},
        {"A;;B", {"A", "", "B"}},
        {"ONLY", {"ONLY"}},
        {"", {}},
        {"A;", {"A"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got;
        const std::string list = c.list;
        for (size_t pos = 0; pos < list.size();) got.push_back(ExtractFieldName(list, pos));
        EXPECT_EQ(got, c.names) << c.list;
    }
}
