// What the provider side reads from an SQL text: the one table of a simple SELECT and
// the index of its ORDER BY.
#include <gtest/gtest.h>

#include "classlib/DBSQLText.h"

using namespace classlib;

TEST(DBSQLText, TableNameOnlyForOneTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"select * from items", "items"},
        {"SELECT a, b FROM \"my items\" WHERE a = 1", "my items"},
        {"select a from [t] x order by a", "t"},
        {"select a from t as x where a in (select b from u)", "t"},
        {"select (select max(b) from u) from t", "t"},
        {"select * from t, u", ""},
        {"select * from t join u on t.a = u.a", ""},
        {"select * from (select a from t) s", ""},
        {"update t set a = 1", ""},
        {"select 1", ""},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(GetTableNameFromSQL(text), want) << text;
}

TEST(DBSQLText, IndexForOrderBy) {
    auto def = GetIndexForOrderBy("select * from t where a > 1 order by t.a, b desc, c asc", nullptr);
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->Fields(), "a;b;c");
    EXPECT_EQ(def->DescFields(), "b");
    // The ORDER BY of a subquery is not the text's.
    EXPECT_EQ(GetIndexForOrderBy("select * from t where a in (select a from u order by a)", nullptr), nullptr);
    // Positions name no field.
    EXPECT_EQ(GetIndexForOrderBy("select a from t order by 1", nullptr), nullptr);
}
