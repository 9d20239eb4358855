// Grouping against a model over seeded random tables with Null group values and Null
// arguments, in MEMORY and on disk: every aggregate, DISTINCT aggregates, HAVING, Null
// groups, aggregate queries without groups (also over an empty input), the COUNT(*)
// shortcut, the select-alias group and the errors with their messages.
#include <set>

#include "RelationalAlgebraFixture.h"

using namespace ratest;

namespace {

// K a group key with Nulls, V a value with Nulls and repeats.
TData RandomTable(std::mt19937& Rng, int Count) {
    TData d;
    d.Columns = {{"K", aftInteger}, {"V", aftInteger}, {"W", aftVarChar, 8}};
    std::uniform_int_distribution<int> key(0, 4), value(0, 12);
    for (int i = 0; i < Count; ++i) {
        const int k = key(Rng), v = value(Rng);
        d.Data.push_back({k == 4 ? Null : Cell(std::to_string(k)), v >= 10 ? Null : Cell(std::to_string(v * 3)),
                          Cell("w" + std::to_string(i % 3))});
    }
    return d;
}

// One group's aggregates in the select list's order: COUNT(*), COUNT(V), SUM(V), MIN(V),
// MAX(V), COUNT(DISTINCT V), SUM(DISTINCT V).
Row Aggregates(const std::vector<const Row*>& Group) {
    int64_t count = 0, sum = 0, low = 0, high = 0;
    std::set<int64_t> distinct;
    for (const Row* r : Group) {
        if (!(*r)[1]) continue;
        const int64_t v = std::stoll(*(*r)[1]);
        if (count == 0 || v < low) low = v;
        if (count == 0 || v > high) high = v;
        ++count;
        sum += v;
        distinct.insert(v);
    }
    int64_t distinctSum = 0;
    for (int64_t v : distinct) distinctSum += v;
    const auto text = [](int64_t v) { return Cell(std::to_string(v)); };
    return {text(static_cast<int64_t>(Group.size())), text(count),      count ? text(sum) : Null,
            count ? text(low) : Null,                  count ? text(high) : Null,
            text(static_cast<int64_t>(distinct.size())), count ? text(distinctSum) : Null};
}

std::vector<TORQSelectListItem> AggregateItems(bool WithKey) {
    std::vector<TORQSelectListItem> items;
    if (WithKey) items.push_back(Field("", "K"));
    for (const char* e : {"COUNT(*)", "COUNT(V)", "SUM(V)", "MIN(V)", "MAX(V)", "COUNT(DISTINCT V)", "SUM(DISTINCT V)"})
        items.push_back(Computed(e));
    return items;
}

class GroupModel : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(GroupModel, GroupsAndAggregatesGiveTheModelsRows) {
    TEngineEnv env(GetParam());
    std::mt19937 rng(99);
    for (int count : {0, 1, 9, 40}) {
        const TData t = RandomTable(rng, count);
        MakeTable(env, "T", t);
        // Null group values form one group.
        std::map<Cell, std::vector<const Row*>> groups;
        for (const Row& r : t.Data) groups[r[0]].push_back(&r);
        // The WHERE condition of the base input: its cursor and the grouping's second
        // cursor over the same table share it.
        std::map<Cell, std::vector<const Row*>> filtered;
        for (const Row& r : t.Data)
            if (r[1] && std::stoi(*r[1]) > 6) filtered[r[0]].push_back(&r);
        for (const char* having : {"", "SUM(V) > 20", "COUNT(*) > 2 AND MIN(V) < 6", "where"}) {
            SCOPED_TRACE(std::to_string(count) + " rows, having " + having);
            const bool where = std::string(having) == "where";
            TORQFields by = Keys({{"", "K"}});
            std::vector<TORQSelectListItem> items = AggregateItems(true);
            auto input = Base(env, "T");
            if (where) input->AddCondition(Condition("V > 6"));
            TORQAOGroupBy group(std::move(input), static_cast<int32_t>(items.size()) - 1, items, &by);
            group.SetSelectList(items, static_cast<int32_t>(items.size()) - 1, false);
            if (*having && !where) group.AddCondition(Condition(having));
            group.Open(true);
            Rows expected;
            for (const auto& [key, rows] : where ? filtered : groups) {
                Row agg = Aggregates(rows);
                const int64_t n = static_cast<int64_t>(rows.size());
                const bool sumOver20 = agg[2] && std::stoll(*agg[2]) > 20;
                const bool second = n > 2 && agg[3] && std::stoll(*agg[3]) < 6;
                if (std::string(having) == "SUM(V) > 20" && !sumOver20) continue;
                if (std::string(having).rfind("COUNT", 0) == 0 && !second) continue;
                Row r{key};
                r.insert(r.end(), agg.begin(), agg.end());
                expected.push_back(r);
            }
            EXPECT_EQ(Sorted(Result(group)), Sorted(expected));
        }
        {
            // Without groups: one row, also for an empty input.
            SCOPED_TRACE(std::to_string(count) + " rows, no groups");
            std::vector<TORQSelectListItem> items = AggregateItems(false);
            TORQAOGroupBy all(Base(env, "T"), static_cast<int32_t>(items.size()) - 1, items, nullptr);
            all.SetSelectList(items, static_cast<int32_t>(items.size()) - 1, false);
            all.Open(true);
            std::vector<const Row*> every;
            for (const Row& r : t.Data) every.push_back(&r);
            EXPECT_EQ(Result(all), (Rows{Aggregates(every)}));
        }
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, GroupModel, ::testing::Values(dstest::ekMemory, dstest::ekDisk),
                         [](const auto& I) { return std::string(dstest::KindName(I.param)); });

class Grouping : public EngineTest {};

Rows GroupRows(TEngineEnv& Env, const std::vector<const char*>& Expressions, const char* Having,
               const TORQFields* By = nullptr, bool KeyFirst = false) {
    std::vector<TORQSelectListItem> items;
    if (KeyFirst) items.push_back(Field("", "K"));
    for (const char* e : Expressions) items.push_back(Computed(e));
    TORQAOGroupBy group(Base(Env, "T"), static_cast<int32_t>(items.size()) - 1, items, By);
    group.SetSelectList(items, static_cast<int32_t>(items.size()) - 1, false);
    if (*Having) group.AddCondition(Condition(Having));
    group.Open(true);
    return Result(group);
}

// The record count stands in for reading the rows only where every aggregate is a
// COUNT(*): each of them gets it, and a HAVING with another aggregate reads the rows.
TEST_F(Grouping, TheCountShortcutServesEveryCountStarAndStepsAsideForOtherAggregates) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", {{{"K", aftInteger}, {"V", aftInteger}}, {{"1", "5"}, {"2", "7"}, {"2", Null}}});
    EXPECT_EQ(GroupRows(env, {"COUNT(*)", "COUNT(*)"}, ""), (Rows{{"3", "3"}}));
    EXPECT_EQ(GroupRows(env, {"COUNT(*)"}, "SUM(V) > 10"), (Rows{{"3"}}));
    EXPECT_EQ(GroupRows(env, {"COUNT(*)"}, "SUM(V) > 12"), (Rows{}));
    EXPECT_EQ(GroupRows(env, {"COUNT(*)"}, "COUNT(*) = 3"), (Rows{{"3"}}));
    EXPECT_EQ(GroupRows(env, {"AVG(V)", "COUNT(*)"}, ""), (Rows{{"6", "3"}}));
    MakeTable(env, "T", {{{"K", aftInteger}, {"V", aftInteger}}, {}});
    EXPECT_EQ(GroupRows(env, {"COUNT(*)"}, ""), (Rows{{"0"}}));
    EXPECT_EQ(GroupRows(env, {"SUM(V)", "COUNT(V)"}, ""), (Rows{{Null, "0"}}));
    TORQFields by = Keys({{"", "K"}});
    EXPECT_EQ(GroupRows(env, {"COUNT(*)"}, "", &by, true), (Rows{})) << "no groups over an empty input";
}

TEST_F(Grouping, AGroupByEntryNamingASelectAliasGroupsByItsField) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", {{{"K", aftInteger}, {"V", aftInteger}}, {{"1", "5"}, {"2", "7"}, {"1", "1"}}});
    std::vector<TORQSelectListItem> items;
    items.push_back(Field("", "K", "KEY"));
    items.push_back(Computed("SUM(V)", "TOTAL"));
    TORQFields by = Keys({{"", "key"}});
    TORQAOGroupBy group(Base(env, "T"), 1, items, &by);
    group.SetSelectList(items, 1, false);
    group.Open(true);
    EXPECT_EQ(Names(group), (std::vector<std::string>{"KEY", "TOTAL"}));
    EXPECT_EQ(Sorted(Result(group)), (Rows{{"1", "6"}, {"2", "7"}}));
}

TEST_F(Grouping, ErrorsNameTheFieldAndTheGroups) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "T", {{{"K", aftInteger}, {"V", aftInteger}}, {{"1", "5"}}});
    TORQFields by = Keys({{"", "K"}});
    TORQFields missing = Keys({{"T", "NOPE"}});
    std::vector<TORQSelectListItem> none;
    EXPECT_EQ(Raised([&] { TORQAOGroupBy(Base(env, "T"), -1, none, &missing); }),
              "Invalid field for 'GROUP BY.' Table name = 'T', FieldName = 'NOPE', i = 0, FieldExists = 0 - Native "
              "error: 20245");
    auto run = [&](TORQSelectListItem Item) {
        return [&env, &by, Item = std::move(Item)]() mutable {
            std::vector<TORQSelectListItem> items;
            items.push_back(std::move(Item));
            TORQAOGroupBy group(Base(env, "T"), 0, items, &by);
            group.SetSelectList(items, 0, false);
        };
    };
    EXPECT_EQ(Raised(run(Field("", "V"))),
              "Field is not included in GROUP BY list. Table name = '', Field name = 'V', FieldNo = 1, Found field "
              "name = 'V' - Native error: 10342");
    // The projection looks every item up before the grouping checks do.
    EXPECT_EQ(Raised(run(Field("", "NOPE"))), "Cannot find field NOPE - Native error: 10305");
    const std::string computed = Raised(run(Computed("V + 1", "X")));
    EXPECT_EQ(computed, "Expression (Name=\"X\", DisplayName=\"X\") cannot be used with GROUP BY. Possibly expression "
                        "is not aggregate, but it uses fields not included into group fields - Native error: 20269");
    EXPECT_EQ(Raised(run(Computed("K + 1", "X"))), "") << "an expression over the group fields";
}

}  // namespace
