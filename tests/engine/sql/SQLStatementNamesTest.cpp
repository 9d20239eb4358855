// What a statement names and where it says it failed: duplicate output names alike for
// computed and plain columns, names that stay distinct where the result table cuts them,
// the line and column of errors found while an INSERT runs, and only engine exceptions
// (with native codes) reaching the caller.
#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQQuery.h"

using namespace ratest;
using dstest::ekMemory;

namespace {

class StatementNamesTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekMemory);
        MakeTable(*Env, "ONE", {{{"N", aftInteger}}, {{"1"}}});
        MakeTable(*Env, "TWO", {{{"A", aftInteger}, {"B", aftInteger}}, {}});
    }
    void TearDown() override {
        Env.reset();
        EngineTest::TearDown();
    }
    std::unique_ptr<TORQQuery> Open(const std::string& Text) {
        auto q = std::make_unique<TORQQuery>();
        q->SetDatabaseName(Env->Name());
        q->SQL().SetText(Text);
        q->Open();
        return q;
    }
    void Exec(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Env->Name());
        q.SQL().SetText(Text);
        q.ExecSQL();
    }
    static std::vector<std::string> Names(TORQQuery& Q) {
        std::vector<std::string> n;
        for (int i = 0; i < Q.Fields().Count(); ++i) n.push_back(Q.Fields()[i]->FieldName());
        return n;
    }
    std::unique_ptr<TEngineEnv> Env;
};

TEST_F(StatementNamesTest, DuplicateOutputNamesAreAlikeForComputedAndPlainColumns) {
    struct Case {
        const char* Plain;
        const char* Computed;
        Row Want;
    };
    const Case cases[] = {
        {"select n as c, 53 as c from one", "select -n as c, 53 as c from one", {"-1", "53"}},
        {"select n as c, n as c from one", "select n + 1 as c, n * 3 as c from one", {"2", "3"}},
        {"select n, n from one", "select n + 0 as n, n from one", {"1", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Computed);
        std::unique_ptr<TORQQuery> plain, computed;
        ASSERT_NO_THROW(plain = Open(c.Plain));
        ASSERT_NO_THROW(computed = Open(c.Computed)) << Raised([&] { Open(c.Computed); });
        EXPECT_EQ(Names(*computed), Names(*plain));
        EXPECT_EQ(Show(Read(*computed)), Show({c.Want}));
    }
}

TEST_F(StatementNamesTest, NamesLongerThanAFieldNameStayDistinct) {
    const std::string stem(254, 'F');
    MakeTable(*Env, "LONGNAMES", {{{stem, aftInteger}}, {{"7"}}});
    const std::string a = std::string(300, 'A') + "1", b = std::string(300, 'A') + "2";
    struct Case {
        std::string Text;
        Row Want;
    };
    const Case cases[] = {
        // Aliases that differ only beyond the longest field name.
        {"select n as \"" + a + "\", n + 1 as \"" + b + "\" from one", {"1", "2"}},
        {"select n + 2 as \"" + a + "\", n + 3 as \"" + b + "\" from one", {"3", "4"}},
        // The names given to a repeated column are longer than a field name.
        {"select " + stem + ", " + stem + ", " + stem + " from longnames", {"7", "7", "7"}},
        {"select " + stem + " + 1 as \"" + stem + "_1\", " + stem + ", " + stem + " from longnames", {"8", "7", "7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text.substr(0, 60));
        std::unique_ptr<TORQQuery> q;
        ASSERT_NO_THROW(q = Open(c.Text)) << Raised([&] { Open(c.Text); });
        EXPECT_EQ(Show(Read(*q)), Show({c.Want}));
    }
}

TEST_F(StatementNamesTest, InsertErrorsFoundWhileRunningGiveTheStatementsPosition) {
    struct Case {
        std::string Text;
        std::string Message;
    };
    const Case cases[] = {
        // More values than the table has fields: the row's position.
        {"insert into two\nvalues (1, 2),\n   (3, 4, 5)",
         "Number of field names does not equal the number of field values: 2 <> 3. Found at line 3, column 4"},
        // A source query of another width than the column list: the query's position.
        {"insert into two (a, b)\n  select n, n, n from one",
         "Number of field names does not equal the number of field values: 2 <> 3. Found at line 2, column 3"},
        {"insert into two (a, b) (select n from one)",
         "Number of field names does not equal the number of field values: 2 <> 1. Found at line 1, column 25"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        try {
            Exec(c.Text);
            ADD_FAILURE() << "no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), 20259);
            EXPECT_EQ(e.Message(), c.Message + " - Native error: 20259");
        }
    }
    EXPECT_EQ(Show(Read(*Open("select * from two"))), Show({}));
}

TEST_F(StatementNamesTest, RunTimeErrorsReachTheCallerWithNativeCodes) {
    struct Case {
        const char* Text;
        int32_t Code;
    };
    const Case cases[] = {
        {"select 2147483646 + n + n from one", 30930},
        {"select exp(1000.0) from one", 30931},
        {"select n / 0 from one", 30128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(NativeCode([&] { Open(c.Text); }), c.Code) << Raised([&] { Open(c.Text); });
    }
}

}  // namespace
