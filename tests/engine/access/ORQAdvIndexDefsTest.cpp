// Advanced index definitions and the index converters: the engine index built from an
// index's parts (column options from the lists or from the options, indexed sizes,
// the three errors and a malformed size list), the way back to the advanced form, the
// class library's index definitions, and Assign leaving temporary indexes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DBDefs.h"
#include "engine/access/ORQAdvDefs.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using namespace classlib;

namespace {

const TFieldDefs& Fields() {
    static TFieldDefs defs(nullptr);
    if (defs.Count() == 0)
        for (const char* n : {"A", "B", "C", "Station"}) defs.Add(n, ftString, 10);
    return defs;
}

struct Col {
    std::string name;
    bool desc;
    bool caseIns;
    int32_t size;
};

std::vector<Col> Columns(const TORQIndexDef& def) {
    std::vector<Col> cols;
    for (const TORQIndexColumn& c : def.Columns)
        cols.push_back({c.FieldName, c.Descending != 0, c.CaseInsensitive != 0, c.MaxIndexedSize});
    return cols;
}

bool operator==(const Col& a, const Col& b) {
    return a.name == b.name && a.desc == b.desc && a.caseIns == b.caseIns && a.size == b.size;
}

std::ostream& operator<<(std::ostream& os, const Col& c) {
    return os << "{" << c.name << (c.desc ? " desc" : "") << (c.caseIns ? " nocase" : "") << " " << c.size << "}";
}

}  // namespace

TEST(BuildEngineIndexDef, ColumnOptionsComeFromTheListsOrElseFromTheOptions) {
    struct Case {
        const char* what;
        std::string fields, desc, caseIns, sizes;
        TIndexOptions options;
        std::vector<Col> expected;
    };
    const std::vector<Case> cases = {
        {"descending option, no list", "A,B", "", "", "", ixDescending,
         {{"A", true, false, 20}, {"B", true, false, 20}}},
        {"the list names B only", "A,B", "B", "", "", ixDescending,
         {{"A", false, false, 20}, {"B", true, false, 20}}},
        {"a list without the option", "A;B", "a", "", "", 0, {{"A", true, false, 20}, {"B", false, false, 20}}},
        {"case-insensitive option, no list", "A;B", "", "", "", ixCaseInsensitive,
         {{"A", false, true, 20}, {"B", false, true, 20}}},
        {"case-insensitive list", "A;B", "", "B", "", ixCaseInsensitive,
         {{"A", false, false, 20}, {"B", false, true, 20}}},
        {"blanks and commas in the lists", " A , Station ", "station", "A", "", 0,
         {{"A", false, true, 20}, {"Station", true, false, 20}}},
        {"every size given", "A;B;C", "", "", "8;30,4", 0,
         {{"A", false, false, 8}, {"B", false, false, 30}, {"C", false, false, 4}}},
        {"a short size list", "A;B;C", "", "", "40", 0,
         {{"A", false, false, 40}, {"B", false, false, 20}, {"C", false, false, 20}}},
        {"a longer size list", "A", "", "", "12;13", 0, {{"A", false, false, 12}}},
        {"field names as written", "station", "", "", "", 0, {{"station", false, false, 20}}},
    };
    for (const Case& c : cases) {
        TORQIndexDef def;
        def.SetColumnCount(5);  // what the definition held before goes
        BuildEngineIndexDef(def, "IX", c.fields, Fields(), c.sizes, c.caseIns, c.desc, false, c.options);
        EXPECT_EQ(Columns(def), c.expected) << c.what;
    }
}

TEST(BuildEngineIndexDef, NameFlagsAndTemporary) {
    struct Case {
        TIndexOptions options;
        bool temporary;
        uint8_t unique, primary, temp;
    };
    for (const Case& c : {Case{ixPrimary | ixUnique, false, 1, 1, 0}, Case{ixUnique, true, 1, 0, 1},
                          Case{ixDescending | ixCaseInsensitive, false, 0, 0, 0}}) {
        TORQIndexDef def;
        BuildEngineIndexDef(def, std::string(300, 'I'), "A", Fields(), "", "", "", c.temporary, c.options);
        EXPECT_EQ(def.Name, std::string(255, 'I'));
        EXPECT_EQ(def.Unique, c.unique);
        EXPECT_EQ(def.Primary, c.primary);
        EXPECT_EQ(def.Temporary, c.temp);
    }
}

TEST(BuildEngineIndexDef, RefusesWhatCannotBeAnIndex) {
    TORQIndexDef def;
    ExpectNative([&] { BuildEngineIndexDef(def, "", "A", Fields(), "", "", "", false, 0); }, 20048,
                 "Invalid index name '' - Native error: 20048");
    ExpectNative([&] { BuildEngineIndexDef(def, "IX", "", Fields(), "", "", "", false, 0); }, 20049,
                 "Cannot find index field '' - Native error: 20049");
    ExpectNative([&] { BuildEngineIndexDef(def, "IX", "A;NAVAREA", Fields(), "", "", "", false, 0); }, 20050,
                 "Cannot find index field 'NAVAREA' - Native error: 20050");
    ExpectNative([&] { BuildEngineIndexDef(def, "IX", "A;;B", Fields(), "", "", "", false, 0); }, 20050,
                 "Cannot find index field '' - Native error: 20050");
    // A size entry that is not an integer is named, not read as something else.
    for (const char* sizes : {"20;x", "20;;20", "1.5", "99999999999"}) {
        TORQIndexDef d;
        const auto [code, message] =
            Raised([&] { BuildEngineIndexDef(d, "IX", "A;B", Fields(), sizes, "", "", false, 0); });
        EXPECT_EQ(code, 30904) << sizes;
        EXPECT_NE(message.find("in index 'IX'"), std::string::npos) << message;
    }
    ExpectNative([&] { BuildEngineIndexDef(def, "IX", "A;B", Fields(), "20;x", "", "", false, 0); }, 30904,
                 "Invalid indexed size 'x' in index 'IX' - Native error: 30904");
}

TEST(EngineIndexDefToAdvIndexDef, JoinsTheColumnsAndKeepsUniqueAndPrimaryOnly) {
    TORQIndexDef def;
    BuildEngineIndexDef(def, "IX", "A,B", Fields(), "", "", "", true,
                        ixPrimary | ixUnique | ixDescending | ixCaseInsensitive);
    TORQAdvIndexDef adv;
    EngineIndexDefToAdvIndexDef(def, adv);
    EXPECT_EQ(adv.Name, "IX");
    EXPECT_EQ(adv.Fields, "A;B");
    EXPECT_EQ(adv.DescFields, "A;B");
    EXPECT_EQ(adv.CaseInsFields, "A;B");
    EXPECT_EQ(adv.MaxIndexedSizes, "20;20");
    EXPECT_EQ(adv.Options, ixPrimary | ixUnique);
    EXPECT_TRUE(adv.Temporary);

    TORQIndexDef mixed;
    BuildEngineIndexDef(mixed, "IX2", "C;A;B", Fields(), "5;6;7", "B", "C;B", false, 0);
    EngineIndexDefToAdvIndexDef(mixed, adv);
    EXPECT_EQ(adv.Name, "IX2");
    EXPECT_EQ(adv.Fields, "C;A;B");
    EXPECT_EQ(adv.DescFields, "C;B");  // in column order
    EXPECT_EQ(adv.CaseInsFields, "B");
    EXPECT_EQ(adv.MaxIndexedSizes, "5;6;7");
    EXPECT_EQ(adv.Options, 0);
    EXPECT_FALSE(adv.Temporary);

    TORQIndexDef none;
    none.Name = "EMPTY";
    EngineIndexDefToAdvIndexDef(none, adv);
    EXPECT_EQ(adv.Fields, "");
    EXPECT_EQ(adv.DescFields, "");
    EXPECT_EQ(adv.MaxIndexedSizes, "");
}

TEST(AdvIndexConverters, TheWayThroughTheEngineAndBack) {
    TORQAdvIndexDefs adv;
    TORQAdvIndexDef* pk = adv.Add();
    pk->Name = "PK";
    pk->Fields = "A";
    pk->Options = ixPrimary | ixUnique;
    TORQAdvIndexDef* ix = adv.Add();
    ix->Name = "BYSTATION";
    ix->Fields = "Station,B";
    ix->Options = ixDescending;
    ix->DescFields = "";
    ix->MaxIndexedSizes = "64";
    TORQIndexDefs engine;
    engine.Add()->Name = "STALE";
    AdvIndexDefsToEngineIndexDefs(adv, Fields(), engine);
    ASSERT_EQ(engine.GetCount(), 2);
    EXPECT_EQ(engine.GetItem(0)->Name, "PK");
    EXPECT_EQ(engine.GetItem(0)->Primary, 1);
    EXPECT_EQ(Columns(*engine.GetItem(1)),
              (std::vector<Col>{{"Station", true, false, 64}, {"B", true, false, 20}}));

    TORQAdvIndexDefs back;
    back.Add()->Name = "STALE";
    EngineIndexDefsToAdvIndexDefs(engine, back);
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.GetItem(0)->Fields, "A");
    EXPECT_EQ(back.GetItem(0)->MaxIndexedSizes, "20");
    EXPECT_EQ(back.GetItem(0)->Options, ixPrimary | ixUnique);
    EXPECT_EQ(back.GetItem(1)->Fields, "Station;B");
    EXPECT_EQ(back.GetItem(1)->DescFields, "Station;B");
    EXPECT_EQ(back.GetItem(1)->MaxIndexedSizes, "64;20");
    EXPECT_EQ(back.GetItem(1)->Options, 0);

    // A failure part way leaves what was converted before it.
    adv.Add()->Name = "BAD";
    adv.GetItem(2)->Fields = "NOPE";
    ExpectNative([&] { AdvIndexDefsToEngineIndexDefs(adv, Fields(), engine); }, 20050);
}

TEST(AdvIndexConverters, TheClassLibrarysIndexDefinitions) {
    TORQAdvIndexDefs adv;
    TORQAdvIndexDef* d = adv.Add();
    d->Name = "IX";
    d->Fields = "A;B";
    d->DescFields = "B";
    d->CaseInsFields = "A";
    d->Options = ixUnique | ixCaseInsensitive;
    d->MaxIndexedSizes = "10;10";
    d->Temporary = true;
    TIndexDefs ds(nullptr);
    ds.Add("STALE", "A", 0);
    AdvIndexDefsToIndexDefs(adv, ds);
    ASSERT_EQ(ds.Count(), 1);
    const TIndexDef* x = ds.Items(0);
    EXPECT_EQ(x->Name(), "IX");
    EXPECT_EQ(x->Fields(), "A;B");
    EXPECT_EQ(x->DescFields(), "B");
    EXPECT_EQ(x->CaseInsFields(), "A");
    EXPECT_EQ(x->Options(), ixUnique | ixCaseInsensitive);

    TORQAdvIndexDefs back;
    back.Add()->Name = "STALE";
    IndexDefsToAdvIndexDefs(ds, back);
    ASSERT_EQ(back.Count(), 1);
    const TORQAdvIndexDef* b = back.GetItem(0);
    EXPECT_EQ(b->Name, "IX");
    EXPECT_EQ(b->Fields, "A;B");
    EXPECT_EQ(b->DescFields, "B");
    EXPECT_EQ(b->CaseInsFields, "A");
    EXPECT_EQ(b->Options, ixUnique | ixCaseInsensitive);
    EXPECT_EQ(b->MaxIndexedSizes, "");
    EXPECT_FALSE(b->Temporary);
}

TEST(AdvIndexDefs, AssignCanLeaveTemporaryIndexesOut) {
    TORQAdvIndexDefs source;
    const char* names[] = {"BYDATE", "my_Temporary_idx", "MARKED", "TEMPORAR", "TEMPORARYONE"};
    for (const char* n : names) {
        TORQAdvIndexDef* d = source.Add();
        d->Name = n;
        d->Fields = "A";
        d->MaxIndexedSizes = "9";
    }
    source.GetItem(2)->Temporary = true;

    TORQAdvIndexDefs copy;
    copy.Add()->Name = "STALE";
    copy.Assign(source, true);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.GetItem(0)->Name, "BYDATE");
    EXPECT_EQ(copy.GetItem(1)->Name, "TEMPORAR");
    EXPECT_EQ(copy.GetItem(0)->MaxIndexedSizes, "9");
    EXPECT_NE(copy.GetItem(0), source.GetItem(0));

    copy.Assign(source, false);
    ASSERT_EQ(copy.Count(), 5);
    EXPECT_EQ(copy.GetItem(1)->Name, "my_Temporary_idx");
    EXPECT_TRUE(copy.GetItem(2)->Temporary);
}

namespace {

// The engine index definitions a table is created with, from advanced ones.
void EngineIndexes(TORQIndexDefs& engine, const std::vector<std::pair<std::string, TIndexOptions>>& indexes) {
    TORQAdvIndexDefs adv;
    for (const auto& [fields, options] : indexes) {
        TORQAdvIndexDef* d = adv.Add();
        d->Name = "IX_" + fields;
        d->Fields = fields;
        d->Options = options;
    }
    AdvIndexDefsToEngineIndexDefs(adv, Fields(), engine);
}

}  // namespace

TEST(AdvFieldDefsToEngineDefs, KeyConstraintsFollowTheIndexes) {
    TORQAdvFieldDefs adv;
    for (const char* n : {"A", "B", "C"}) {
        TORQAdvFieldDef* d = adv.Add();
        d->Name = n;
        d->DataType = aftInteger;
        d->Required = true;
    }
    TORQIndexDefs indexes;
    EngineIndexes(indexes, {{"A", ixPrimary | ixUnique}, {"C", 0}, {"A,B", ixUnique}});

    for (bool temporary : {false, true}) {
        SCOPED_TRACE(temporary ? "temporary" : "permanent");
        TORQFieldDefs engine;
        TORQConstraintDefs constraints;
        AdvFieldDefsToEngineDefs(adv, engine, indexes, temporary, constraints);
        // Not-null constraints only for a permanent table; key constraints always, after them.
        const int32_t first = temporary ? 0 : 3;
        ASSERT_EQ(constraints.GetCount(), first + 2);
        for (int32_t i = 0; i < first; ++i) EXPECT_EQ(constraints.GetItem(i)->ConstraintType, ctNotNull);
        const auto* pk = dynamic_cast<const TORQConstraintDefUnique*>(constraints.GetItem(first));
        ASSERT_NE(pk, nullptr);
        EXPECT_EQ(pk->ConstraintType, ctPrimaryKey);
        EXPECT_EQ(pk->Name, "C_PK$A");
        EXPECT_EQ(pk->TargetName, "IX_A");
        ASSERT_EQ(pk->Columns.size(), 1u);
        EXPECT_EQ(pk->Columns[0].FieldName, "A");
        const auto* unique = dynamic_cast<const TORQConstraintDefUnique*>(constraints.GetItem(first + 1));
        ASSERT_NE(unique, nullptr);
        EXPECT_EQ(unique->ConstraintType, ctUnique);
        EXPECT_EQ(unique->Name, "C_Unique$A$B");
        EXPECT_EQ(unique->TargetName, "IX_A,B");
        ASSERT_EQ(unique->Columns.size(), 2u);
        EXPECT_EQ(unique->Columns[1].FieldName, "B");
    }
}

TEST(AdvFieldDefsToEngineDefs, APrimaryIndexOnIdGivesItsKeyConstraint) {
    TFieldDefs ds(nullptr);
    ds.Add("ID", ftAutoInc);
    TORQAdvFieldDefs adv;
    FieldDefsToAdvFieldDefs(ds, adv);
    TORQAdvIndexDefs advIndexes;
    TORQAdvIndexDef* pk = advIndexes.Add();
    pk->Name = "PK";
    pk->Fields = "ID";
    pk->Options = ixPrimary;
    TORQIndexDefs indexes;
    AdvIndexDefsToEngineIndexDefs(advIndexes, ds, indexes);
    TORQFieldDefs engine;
    TORQConstraintDefs constraints;
    AdvFieldDefsToEngineDefs(adv, engine, indexes, false, constraints);
    ASSERT_EQ(constraints.GetCount(), 1);
    EXPECT_EQ(constraints.GetItem(0)->Name, "C_PK$ID");
    EXPECT_EQ(constraints.GetItem(0)->TargetName, "PK");
}
