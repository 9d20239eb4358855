// The operator base and the one-input operators: column names, projection and field
// look-up, reading values, the row window, DISTINCT, ORDER BY on base tables and on
// materialised results, the derived table and TOP, and the errors with their messages.
#include "RelationalAlgebraFixture.h"

using namespace ratest;

namespace {

class Operators : public EngineTest {};

// N 1..8, S texts with repeats, G a group letter.
TData Numbers() {
    TData d;
    d.Columns = {{"N", aftInteger}, {"S", aftVarChar, 10}, {"G", aftVarChar, 4}};
    const char* s[] = {"b", "a", "b", "c", "a", "b", "d", "a"};
    for (int i = 1; i <= 8; ++i) d.Data.push_back({std::to_string(i), s[i - 1], i <= 4 ? "x" : "y"});
    return d;
}

Rows Column(const Rows& R, std::size_t C) {
    Rows out;
    for (const Row& r : R) out.push_back({r[C]});
    return out;
}

Rows Ns(std::initializer_list<int> Values) {
    Rows out;
    for (int v : Values) out.push_back({std::to_string(v)});
    return out;
}

TEST_F(Operators, AnUnnamedComputedColumnIsExprWithAGuid) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    TORQAOTableExpr derived(Base(env, "T"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Computed("N * 10"));
    items.push_back(Computed("N + 1", "NEXT"));
    OpenWith(derived, items);
    const std::vector<std::string> names = Names(derived);
    ASSERT_EQ(names.size(), 2u);
    // "Expr" and a GUID in its standard text form: {8-4-4-4-12}.
    ASSERT_EQ(names[0].size(), 4u + 38u) << names[0];
    EXPECT_EQ(names[0].substr(0, 5), "Expr{");
    EXPECT_EQ(names[0].back(), '}');
    EXPECT_EQ(names[1], "NEXT");
    const Rows r = Result(derived);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[2], (Row{"30", "4"}));
    // Computed items turn into references to the new columns.
    EXPECT_FALSE(items[1].IsExpression);
    EXPECT_EQ(items[1].FieldName, "NEXT");
    EXPECT_EQ(items[1].Expression, nullptr);
}

// The window counts the input's rows before the WHERE condition; rows the condition
// rejects from the start row on do not count towards the limit.
TEST_F(Operators, TheRowWindowCountsInputRowsBeforeTheCondition) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    struct Case {
        int64_t Start, Count;
        const char* Where;
        Rows Expected;
    } cases[] = {
        {3, 2, "N <> 4", Ns({3, 5})},
        {3, 2, "N < 3", Ns({})},
        {-5, 3, "", Ns({1, 2, 3})},
        {-5, 10, "N <> 4", Ns({1, 2, 3, 5, 6, 7, 8})},
        {6, -1, "", Ns({6, 7, 8})},
        {1, 0, "", Ns({})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Start) + "," + std::to_string(c.Count) + " " + c.Where);
        TORQAOTableExpr derived(Base(env, "T"));
        if (*c.Where) derived.AddCondition(Condition(c.Where));
        std::vector<TORQSelectListItem> items;
        items.push_back(Field("", "N"));
        derived.SetSelectList(items, 0, false);
        derived.SetRowLimit(c.Start, c.Count);
        derived.Open(true);
        EXPECT_EQ(Result(derived), c.Expected);
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

TEST_F(Operators, AWindowIsIgnoredWithDistinctOrAnOrderByList) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    {
        TORQAOTableExpr derived(Base(env, "T"));
        std::vector<TORQSelectListItem> items;
        items.push_back(Field("", "S"));
        derived.SetSelectList(items, 0, true);
        derived.SetRowLimit(2, 1);
        EXPECT_EQ(derived.RowLimit, -1);
        EXPECT_EQ(derived.StartRow, -1);
        derived.Open(true);
        EXPECT_EQ(Sorted(Result(derived)), (Rows{{"a"}, {"b"}, {"c"}, {"d"}}));
    }
    TORQAOTableExpr ordered(Base(env, "T"));
    ordered.SetOrderBy("n", "N", "");
    ordered.SetRowLimit(2, 1);
    EXPECT_EQ(ordered.RowLimit, -1);
    OpenAll(ordered);
    EXPECT_EQ(Column(Result(ordered), 0), Ns({8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(Operators, OrderByListsAreUpperCasedWithTheirDirectionsAndCases) {
    TORQAO op;
    op.SetOrderBy("a;B;c", "b;C", "a;c");
    ASSERT_NE(op.OrderBy, nullptr);
    EXPECT_EQ(op.OrderBy->Fields, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(op.OrderBy->Directions, (std::vector<std::string>{"ASC", "DESC", "DESC"}));
    EXPECT_EQ(op.OrderBy->Cases, (std::vector<std::string>{"NO_CASE", "CASE", "NO_CASE"}));
    // The window is refused once the list exists; a negative start means the first row.
    op.SetRowLimit(4, 2);
    EXPECT_EQ(op.RowLimit, -1);
    TORQAO plain;
    plain.SetRowLimit(-5, 10);
    EXPECT_EQ(plain.StartRow, 1);
    EXPECT_EQ(plain.RowLimit, 10);
    plain.SetRowLimit(2, -7);
    EXPECT_EQ(plain.RowLimit, -1);
    EXPECT_EQ(Raised([&] { plain.ApplyOrderBy(true); }), "Nil pointer occured - Native error: 10308");
}

// Rows that differ only in a column not selected are one row of the result, also when
// they are not next to each other (the unique index catches those).
TEST_F(Operators, DistinctOverRowsDifferingInAHiddenColumnYieldsOneRow) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    TORQAOTableExpr derived(Base(env, "T"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "S"));
    items.push_back(Field("", "G"));
    OpenWith(derived, items, true);
    EXPECT_EQ(Sorted(Result(derived)),
              (Rows{{"a", "x"}, {"a", "y"}, {"b", "x"}, {"b", "y"}, {"c", "x"}, {"d", "y"}}));
}

TEST_F(Operators, ABaseTableIsOrderedAndFilteredByItsCursor) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    auto base = Base(env, "T");
    base->SetOrderBy("S;N", "N", "");
    base->AddCondition(Condition("N > 2"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "N"));
    items.push_back(Field("", "S", "TEXT"));
    base->SetSelectList(items, 1, false);
    base->Open(true);
    EXPECT_FALSE(base->GetResultTable()->Temporary()) << "a base table is never copied";
    EXPECT_EQ(Names(*base), (std::vector<std::string>{"N", "TEXT"}));
    EXPECT_EQ(Result(*base), (Rows{{"8", "a"}, {"5", "a"}, {"6", "b"}, {"3", "b"}, {"4", "c"}, {"7", "d"}}));
    // DISTINCT on a base table: ordered by the ORDER BY fields, then the DISTINCT ones.
    auto distinct = Base(env, "T");
    distinct->SetOrderBy("G", "G", "");
    std::vector<TORQSelectListItem> two;
    two.push_back(Field("", "G"));
    two.push_back(Field("", "S"));
    distinct->SetSelectList(two, 1, true);
    distinct->Open(true);
    EXPECT_EQ(Result(*distinct), (Rows{{"y", "a"}, {"y", "a"}, {"y", "b"}, {"y", "d"}, {"x", "a"}, {"x", "b"},
                                       {"x", "b"}, {"x", "c"}}));
}

TEST_F(Operators, ADerivedTableTakesOverItsBaseInputsOrderBy) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    auto base = Base(env, "T");
    std::vector<TORQSelectListItem> inner;
    inner.push_back(Field("", "N"));
    base->SetSelectList(inner, 0, false);
    base->SetOrderBy("S;N", "N", "");
    TORQAOTableExpr derived(std::move(base));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "N"));
    OpenWith(derived, items);
    // The derived table sorted its own result; the extra ORDER BY column is not shown.
    EXPECT_EQ(Names(derived), (std::vector<std::string>{"N"}));
    EXPECT_EQ(Result(derived), Ns({8, 5, 2, 6, 3, 1, 4, 7}));
}

TEST_F(Operators, AnOrderByEntryNamingAnAliasSortsByThatColumn) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    TORQAOTableExpr derived(Base(env, "T"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "N", "NUMBER"));
    items.push_back(Field("", "S"));
    derived.SetSelectList(items, 1, false);
    derived.SetOrderBy("number", "NUMBER", "");
    derived.Open(true);
    EXPECT_EQ(Names(derived), (std::vector<std::string>{"NUMBER", "S"}));
    EXPECT_EQ(Column(Result(derived), 0), Ns({8, 7, 6, 5, 4, 3, 2, 1}));
}

// TOP applies a start row once, over its input's rows as they come out: the input
// skips nothing, also when its own condition drops rows.
TEST_F(Operators, TopAppliesItsStartRowOnce) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    struct Case {
        bool Derived;  // a derived table between TOP and the base table
        bool Ordered;  // the derived table has an ORDER BY (so it refuses the window)
        const char* Where;  // the derived table's condition
        Rows Expected;
    } cases[] = {
        {false, false, "", Ns({3, 4})},
        {true, false, "", Ns({3, 4})},
        {true, false, "N <> 2", Ns({4, 5})},
        {true, true, "", Ns({6, 5})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Derived) + std::to_string(c.Ordered) + c.Where);
        std::unique_ptr<TORQAO> input = Base(env, "T");
        if (c.Derived) {
            auto d = std::make_unique<TORQAOTableExpr>(std::move(input));
            std::vector<TORQSelectListItem> items;
            items.push_back(Field("", "N"));
            d->SetSelectList(items, 0, false);
            if (c.Ordered) d->SetOrderBy("N", "N", "");
            if (*c.Where) d->AddCondition(Condition(c.Where));
            input = std::move(d);
        } else {
            std::vector<TORQSelectListItem> items;
            items.push_back(Field("", "N"));
            input->SetSelectList(items, 0, false);
        }
        TORQAOSQLTopRowCount top(std::move(input));
        top.SetRowLimit(3, 2);
        OpenAll(top);
        EXPECT_EQ(Result(top), c.Expected);
    }
}

TEST_F(Operators, FieldLookupKeepsTheFirstMatchAndNamesAMissingField) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftInteger}, {"X", aftInteger}}, {{"1", "10"}}});
    MakeTable(env, "B", {{{"K", aftInteger}}, {{"2"}}});
    {
        TORQAOJoin join(Base(env, "A"), nullptr, nullptr, nullptr, false, jkCross, Base(env, "B"));
        std::vector<TORQSelectListItem> items;
        items.push_back(Field("", "K"));
        OpenWith(join, items);
        EXPECT_EQ(Result(join), (Rows{{"1"}}));
    }
    TORQAOJoin join(Base(env, "A"), nullptr, nullptr, nullptr, false, jkCross, Base(env, "B"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "NOPE"));
    EXPECT_EQ(Raised([&] { join.SetSelectList(items, 0, false); }), "Cannot find field NOPE - Native error: 10305");
}

// A table with an alias answers qualified references by its alias only.
TEST_F(Operators, AnAliasedTableAnswersByItsAliasOnly) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T1", {{{"B", aftInteger}}, {{"1"}}});
    auto aliased = Base(env, "T1", "X");
    TORQIntegerArray found;
    EXPECT_EQ(aliased->FindFieldNumbers("B", "T1", false, true, &found, 1), 0);
    EXPECT_EQ(aliased->FindFieldNumbers("B", "x", false, true, &found, 1), 1);
    found.SetSize(0);
    EXPECT_EQ(aliased->FindFieldNumbers("B", "", false, true, &found, 1), 1);
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("t1", "B"));
    EXPECT_EQ(Raised([&] { aliased->SetSelectList(items, 0, false); }),
              "Invalid table name in reference. Table name = T1, table alias = X, tname = T1 - Native error: 30327");
    auto plain = Base(env, "T1");
    found.SetSize(0);
    EXPECT_EQ(plain->FindFieldNumbers("B", "t1", false, true, &found, 1), 1);
    std::vector<TORQSelectListItem> other;
    other.push_back(Field("T2", "B"));
    EXPECT_EQ(Raised([&] { plain->SetSelectList(other, 0, false); }),
              "Invalid table name in reference. Table name = T1, table alias = , tname = T2 - Native error: 30327");
}

TEST_F(Operators, ColumnAccessErrorsGiveTheNumberAndTheCount) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    MakeTable(env, "E", {{{"N", aftInteger}}, {}});
    auto base = Base(env, "T");
    TORQVariant v;
    const std::string range = "Invalid field number - FieldNo = 3, FieldCount = 3 - Native error: ";
    EXPECT_EQ(Raised([&] { base->GetFieldName(3, false); }), range + "10306");
    EXPECT_EQ(Raised([&] { base->GetFieldValue(v, 3, true); }), range + "10307");
    EXPECT_EQ(Raised([&] { base->GetFieldType(3); }), range + "10376");
    EXPECT_EQ(Raised([&] { base->GetFieldSize(3); }), range + "10377");
    EXPECT_EQ(Raised([&] { base->GetFieldPrecision(3); }), range + "10378");
    EXPECT_EQ(Raised([&] { base->GetFieldValue(v, 1, false); }),
              "Cannot access hidden field: table name = T, field name = S, display name = , FieldNo = 1 - Native "
              "error: 10310");
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "S", "TEXT"));
    base->SetSelectList(items, 0, false);
    EXPECT_EQ(base->GetOrderColumnDisplayName(0), "TEXT");
    EXPECT_EQ(Raised([&] { base->GetOrderColumnDisplayName(1); }),
              "Invalid field number in ORDER BY clause: 2 - Native error: 20243");
    base->Open(true);
    base->First();
    base->GetFieldValue(v, 1, false);
    EXPECT_EQ(v.GetAsString(), "b");
    // A column with neither a dataset nor an input behind it.
    TORQAO loose;
    loose.TableName = "L";
    loose.Columns.emplace_back();
    EXPECT_EQ(Raised([&] { loose.GetFieldValue(v, 0, true); }),
              "Invalid field link: table name = L, FieldNo = 0 - Native error: 10309");
    // An empty dataset reads Null in every column.
    auto empty = Base(env, "E");
    empty->Open(true);
    empty->First();
    v.SetAsInteger(5);
    empty->GetFieldValue(v, 0, true);
    EXPECT_TRUE(v.IsNull());
}

TEST_F(Operators, OpeningAMissingTableNamesTheTableAndTheCause) {
    TEngineEnv env(dstest::ekMemory);
    EXPECT_EQ(Raised([&] { Base(env, "MISSING"); }),
              "Error on opening table \"MISSING\" (InMemory = 1) in SQL query: Table not found, table name = MISSING "
              "- Native error: 10028 - Native error: 10303");
}

TEST_F(Operators, TakeOrderIndexHandsOverOnlyWhatNoIndexServes) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    {
        TORQTable t;
        t.SetDatabaseName(env.Name());
        t.SetTableName("T");
        t.AddIndex("BYN", "N", 0);
    }
    TORQOrderLists lists;
    auto served = Base(env, "T");
    served->SetOrderBy("N", "", "");
    EXPECT_FALSE(served->TakeOrderIndex(lists));
    auto unserved = Base(env, "T");
    unserved->SetOrderBy("S", "S", "");
    ASSERT_TRUE(unserved->TakeOrderIndex(lists));
    EXPECT_EQ(lists.Fields, (std::vector<std::string>{"S"}));
    EXPECT_EQ(lists.Directions, (std::vector<std::string>{"DESC"}));
    EXPECT_EQ(unserved->OrderBy, nullptr);
    unserved->ResultTable.reset();
    EXPECT_EQ(Raised([&] { unserved->TakeOrderIndex(lists); }), "Nil pointer occured - Native error: 10513");
}

// A window set before the ORDER BY: the input is read in the order's sequence and the
// filling stops at the window's end.
TEST_F(Operators, AWindowBeforeTheOrderByTakesTheFirstRowsInOrder) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    TORQAOTableExpr derived(Base(env, "T"));
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "N"));
    derived.SetSelectList(items, 0, false);
    derived.SetRowLimit(1, 3);
    derived.SetOrderBy("N", "N", "");
    derived.Open(true);
    EXPECT_EQ(Result(derived), Ns({8, 7, 6}));
}

TEST_F(Operators, ResultTablesDemoteAutoincrementsAndGoIntoATargetOnlyWhenDirect) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", {{{"ID", aftAutoInc}, {"V", aftInteger}}, {{Null, "5"}, {Null, "6"}}});
    for (bool projected : {false, true}) {
        SCOPED_TRACE(projected);
        TORQAOTableExpr derived(Base(env, "T"));
        std::vector<TORQSelectListItem> items;
        if (projected) {
            items.push_back(Field("", "ID"));
            items.push_back(Field("", "V"));
        }
        OpenWith(derived, items);
        TORQTable& t = *derived.GetResultTable();
        EXPECT_TRUE(t.Temporary());
        EXPECT_EQ(t.TableName().rfind("TEMPORARY_TABLE_{", 0), 0u) << t.TableName();
        ASSERT_NE(t.AdvFieldDefs().Find("ID"), nullptr);
        EXPECT_EQ(t.AdvFieldDefs().Find("ID")->DataType, aftInteger);
        EXPECT_EQ(Result(derived), (Rows{{"1", "5"}, {"2", "6"}}));
    }
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct);
        {
            TORQAOTableExpr derived(Base(env, "T"));
            std::vector<TORQSelectListItem> items;
            items.push_back(Field("", "V"));
            derived.SetInto(false, direct, env.Name(), "TARGET");
            OpenWith(derived, items);
            EXPECT_EQ(derived.GetResultTable()->TableName() == "TARGET", direct);
        }
        TORQTable target;
        target.SetDatabaseName(env.Name());
        target.SetTableName("TARGET");
        EXPECT_EQ(target.Exists(), direct) << "an INTO table outlives the tree";
        if (direct) {
            target.Open();
            EXPECT_EQ(Read(target), (Rows{{"5"}, {"6"}}));
            target.Close();
            target.DeleteTable();
        }
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

// A star among a base table's items leaves the table whole: no projection is set.
TEST_F(Operators, AStarItemKeepsTheBaseTableWhole) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", Numbers());
    auto base = Base(env, "T", "X");
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "N"));
    items.push_back(Field("x", "*"));
    base->SetSelectList(items, 1, false);
    EXPECT_EQ(base->GetProjection().Count(), 0);
    base->Open(true);
    EXPECT_EQ(Names(*base), (std::vector<std::string>{"N", "S", "G"}));
    std::vector<TORQSelectListItem> wrong;
    wrong.push_back(Field("T", "*"));
    EXPECT_EQ(NativeCode([&] { Base(env, "T", "X")->SetSelectList(wrong, 0, false); }), 30327);
}

}  // namespace
