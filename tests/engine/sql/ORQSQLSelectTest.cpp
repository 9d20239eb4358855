// SELECT parsing: texts to their printed trees, and texts to their errors.
#include <gtest/gtest.h>

#include "ExprTestUtil.h"
#include "SQLStatementPrint.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace orq;

namespace {

std::string Parse(const std::string& text, TORQSQLParams* params = nullptr) {
    TORQLexer lexer(text, params);
    EXPECT_TRUE(lexer.NextCommand()) << text;
    TORQSQLUnion query(lexer, nullptr);
    TToken rest;
    EXPECT_FALSE(lexer.GetCurrentToken(rest)) << text << ": left over '" << rest.Text << "'";
    return sqlprint::Print(query);
}

struct TreeCase {
    const char* text;
    const char* tree;
};

}  // namespace

TEST(SQLSelectParse, TextsGiveTheirTrees) {
    const TreeCase cases[] = {
        // Clauses in order.
        {"select * from t", "SELECT * FROM t"},
        {"select distinct a from t", "SELECT DISTINCT a FROM t"},
        {"select all a from t", "SELECT a FROM t"},
        {"select top 10 a from t", "SELECT TOP 10 a FROM t"},
        {"select top 10, 20 a from t", "SELECT TOP 10,20 a FROM t"},
        {"select a from t where a = 1 group by a, b + 1 having count(*) > 2 order by a desc, t.b",
         "SELECT a FROM t WHERE ={r}(a,1) GROUP BY a,(+(b,1)) HAVING >{r}(COUNT(*),2) ORDER BY a DESC,t.b"},
        {"select * from t order by 2 desc", "SELECT * FROM t ORDER BY 2 DESC"},
        {"select * from t order by a asc", "SELECT * FROM t ORDER BY a"},
        // Items: aliases with and without AS, t.*, computed entries, repeats.
        {"select a as x, b y, c 'z', d [w], e + 1 from t", "SELECT a AS x,b AS y,c AS z,d AS w,(+(e,1)) FROM t"},
        {"select t.*, u.a from t, u", "SELECT t.*,u.a FROM t,u"},
        {"select a, a, a from t", "SELECT a,dup(a) AS a_1,dup(a) AS a_2 FROM t"},
        {"select a, A, t.a, a a_1 from t", "SELECT a,dup(A) AS A_1,t.a,dup(a) AS a_1 FROM t"},
        {"select a a_1, a, a from t", "SELECT a AS a_1,dup(a) AS a_2,dup(a) AS a_3 FROM t"},
        {"select a, a b from t", "SELECT a,dup(a) AS b FROM t"},
        // Aliases of the select list resolve in the conditions, not under a lone '*'.
        {"select a x from t where x = 1", "SELECT a AS x FROM t WHERE ={r}(a,1)"},
        {"select * from t where x = 1", "SELECT * FROM t WHERE ={r}(x,1)"},
        // INTO, taken over by a query of one SELECT.
        {"select a into x from t", "SELECT a INTO x FROM t / INTO x"},
        {"select a into memory immediate db.x from t",
         "SELECT a INTO MEMORY IMMEDIATE db:x FROM t / INTO MEMORY IMMEDIATE db:x"},
        // Table references.
        {"select * from memory t", "SELECT * FROM MEMORY t"},
        {"select * from db.t", "SELECT * FROM db:t"},
        {"select * from t as a, u b", "SELECT * FROM t AS a,u AS b"},
        {"select * from t password 'secret'", "SELECT * FROM t PW 'secret'"},
        {"select * from (select a from t) s", "SELECT * FROM (SELECT a FROM t) AS s"},
        {"select * from u, (select a from t where a > 1) as s, v",
         "SELECT * FROM u,(SELECT a FROM t WHERE >{r}(a,1)) AS s,v"},
        {"select * from (t1 join t2 on t1.a = t2.a) j",
         "SELECT * FROM INNER{t1; t2 ON ={r}(t1.a,t2.a)} AS j"},
        // Joins: every kind; ON or USING in between folds to the left, none nests right.
        {"select * from t1 left outer join t2 on t1.a = t2.a", "SELECT * FROM LEFT{t1; t2 ON ={r}(t1.a,t2.a)}"},
        {"select * from t1 natural join t2", "SELECT * FROM INNERN{t1; t2}"},
        {"select * from t1 join t2 using (a, b)", "SELECT * FROM INNER{t1; t2 USING(a,b)}"},
        {"select * from t1 cross join t2", "SELECT * FROM CROSS{t1; t2}"},
        {"select * from t1 inner join t2 on x = y", "SELECT * FROM INNER{t1; t2 ON ={r}(x,y)}"},
        {"select * from t1 right join t2 on x = y", "SELECT * FROM RIGHT{t1; t2 ON ={r}(x,y)}"},
        {"select * from t1 full outer join t2 on x = y", "SELECT * FROM FULL{t1; t2 ON ={r}(x,y)}"},
        {"select * from t1 natural left join t2", "SELECT * FROM LEFTN{t1; t2}"},
        {"select * from a join b on x = 1 join c on y = 2",
         "SELECT * FROM INNER{INNER{a; b ON ={r}(x,1)}; c ON ={r}(y,2)}"},
        {"select * from a join b join c on y = 2", "SELECT * FROM INNER{a; INNER{b; c ON ={r}(y,2)}}"},
        {"select * from a x join b y on x.k = y.k, c", "SELECT * FROM INNER{a AS x; b AS y ON ={r}(x.k,y.k)},c"},
        // Set operations: INTERSECT binds tighter, one level associates to the left.
        {"select a from t union select a from u intersect select a from v",
         "UNION{SELECT a FROM t; INTERSECT{SELECT a FROM u; SELECT a FROM v}}"},
        {"select a from t except select a from u minus select a from v",
         "EXCEPT{EXCEPT{SELECT a FROM t; SELECT a FROM u}; SELECT a FROM v}"},
        {"select a from t intersect select a from u intersect select a from v",
         "INTERSECT{INTERSECT{SELECT a FROM t; SELECT a FROM u}; SELECT a FROM v}"},
        {"(select a from t union select a from u) intersect select a from v",
         "INTERSECT{UNION{SELECT a FROM t; SELECT a FROM u}; SELECT a FROM v}"},
        {"select a from t union all corresponding select a from u", "UNION[ALL,CORR]{SELECT a FROM t; SELECT a FROM u}"},
        {"select a from t union corresponding by (a, b) select a from u",
         "UNION[CORR(a,b)]{SELECT a FROM t; SELECT a FROM u}"},
        // The ORDER BY after the last SELECT orders the whole query.
        {"select a from t union select a from u order by a",
         "UNION{SELECT a FROM t; SELECT a FROM u} / ORDER BY a"},
        {"select a from t union (select a from u) order by 1",
         "UNION{SELECT a FROM t; SELECT a FROM u} / ORDER BY 1"},
        {"select a from t order by a", "SELECT a FROM t ORDER BY a"},
        {"select * from (select a from t union select a from u order by a) s",
         "SELECT * FROM (UNION{SELECT a FROM t; SELECT a FROM u} / ORDER BY a) AS s"},
    };
    for (const TreeCase& c : cases) EXPECT_EQ(Parse(c.text), c.tree) << c.text;
}

TEST(SQLSelectParse, ParametersGiveNumbersAndNames) {
    TORQSQLParams params;
    auto add = [&](const char* name, auto set) {
        TORQSQLParam* p = params.AddParam();
        p->Name = name;
        set(*p);
    };
    add("n", [](TORQVariant& v) { v.SetAsInteger(5); });
    add("s", [](TORQVariant& v) { v.SetAsString("7"); });
    add("tab", [](TORQVariant& v) { v.SetAsString("\"/data/x.orq\".items"); });
    add("plain", [](TORQVariant& v) { v.SetAsString("orders"); });
    add("pw", [](TORQVariant& v) { v.SetAsString("p1"); });
    add("col", [](TORQVariant& v) { v.SetAsString("name"); });
    EXPECT_EQ(Parse("select top :n, :s * from :tab, :plain password :pw order by :col", &params),
              "SELECT TOP 5,7 * FROM /data/x.orq:items,orders PW 'p1' ORDER BY name");
}

namespace {

// A subquery in a condition parsed as a query expression at the lexer, not run.
class ParsedOnly : public TORQSubqueryStatement {
public:
    ParsedOnly(TORQLexer& Lexer, TORQQuery* Query) : Union(Lexer, Query) {}
    void Execute(TORQQuery*, TORQCursor*, TORQAO*) override {}
    int32_t FieldCount() override { return 0; }
    int64_t RecordCount() override { return 0; }
    void GetFirstRowValue(int32_t, TORQVariant&) override {}
    bool Locate(const TORQVariant&) override { return false; }
    bool FindKey(uint8_t, const TORQVariant&) override { return false; }
    uint8_t FirstFieldType() override { return 0; }
    int32_t FirstFieldSize() override { return 0; }
    bool IsSelfContained() override { return true; }
    TORQSQLUnion Union;
};

}  // namespace

TEST(SQLSelectParse, SubqueriesInConditionsEndWhereTheirParenthesisCloses) {
    int32_t parsed = 0;
    SetSubqueryFactory([&](TORQLexer& Lexer, TORQQuery* Query, TORQAO*) {
        ++parsed;
        return std::make_unique<ParsedOnly>(Lexer, Query);
    });
    struct Reset {
        ~Reset() { InstallSubqueryFactory(); }
    } reset;
    EXPECT_EQ(Parse("select a from t where b in (select c from u union select d from v order by 1) and "
                    "exists (select * from w x where x.k = t.k) order by a"),
              "SELECT a FROM t WHERE AND(IN(b,#0),EXISTS(#0)) ORDER BY a");
    EXPECT_GT(parsed, 0);
}

namespace {

struct ErrorCase {
    const char* text;
    int32_t code;
    const char* message;
};

}  // namespace

TEST(SQLSelectParse, ErrorsNameTheTokenAndItsPosition) {
    const ErrorCase cases[] = {
        {"select", 30161, "Unexpected end of SQL command found at line 1, column 1"},
        {"select top x from t", 30158, "Integer expected, but 'x' found at line 1, column 12"},
        {"select top 1, y a from t", 30159, "Integer expected, but 'y' found at line 1, column 15"},
        {"select top :minus a from t", 30158, "Integer expected, but 'minus' found at line 1, column 12"},
        {"select top 99999999999 a from t", 30158, "Integer expected, but '99999999999' found at line 1, column 12"},
        {"select , a from t", 30160, "Expression expected, but ',' found at line 1, column 8"},
        {"select a as 1 from t", 30162, "Field pseudonym expected, but '1' found at line 1, column 13"},
        {"select a into , from t", 30165, "Table name expected, but ',' found at line 1, column 15"},
        {"select a into db., from t", 30166, "Table name expected, but ',' found at line 1, column 18"},
        {"select * where a = 1", 30184, "Token 'FROM' expected, but 'where' found at line 1, column 10"},
        {"select a = 1 from t", 30184, "Token 'FROM' expected, but '=' found at line 1, column 10"},
        {"select * from 1", 30180, "Table name expected, but '1' found at line 1, column 15"},
        {"select * from t, 1", 30181, "Table name expected, but '1' found at line 1, column 18"},
        {"select * from t password x", 30178,
         "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 26"},
        {"select * from ()", 30179, "Field name expected, but ')' found at line 1, column 16"},
        {"select * from t1 join t2 using a", 30167, "Token '(' expected, but 'a' found at line 1, column 32"},
        {"select * from t1 cross t2", 30168, "Unexpected token 't2' found at line 1, column 24"},
        {"select * from t1 natural t2", 30169, "Unexpected token 't2' found at line 1, column 26"},
        {"select * from t1 inner t2", 30170, "Unexpected token 't2' found at line 1, column 24"},
        {"select * from t1 left t2", 30171, "Unexpected token 't2' found at line 1, column 23"},
        {"select * from t1 right t2", 30172, "Unexpected token 't2' found at line 1, column 24"},
        {"select * from t1 full t2", 30173, "Unexpected token 't2' found at line 1, column 23"},
        {"select * from t1 outer t2", 30174, "Unexpected token 't2' found at line 1, column 24"},
        {"select * from t1 left outer t2", 30175, "Token 'JOIN' expected, but 't2' found at line 1, column 29"},
        {"select * from t1 cross where", 30175, "Token 'JOIN' expected, but 'where' found at line 1, column 24"},
        {"select * from t1 join , t2", 30176, "Table name expected, but ',' found at line 1, column 23"},
        {"select * from t1 join", 30161, "Unexpected end of SQL command found at line 1, column 18"},
        {"select * from t group a", 30185, "Token 'BY' expected, but 'a' found at line 1, column 23"},
        {"select * from t order by a.,", 30186, "Unexpected token ',' found at line 1, column 28"},
        {"select * from t order by ,", 30187, "Field name expected, but ',' found at line 1, column 26"},
        {"select * from t order a", 30188, "Token 'BY' expected, but 'a' found at line 1, column 23"},
        {"select * from t order by a, 1.5", 30189, "Unexpected token '1.5' found at line 1, column 29"},
        {"select a from t union corresponding by a select a from u", 30193,
         "Token '(' expected, but 'a' found at line 1, column 40"},
        {"select a from t union from u", 30194, "Token 'SELECT' expected, but 'from' found at line 1, column 23"},
        {"select a into x from t union select a from u", 20272,
         "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union select ...) "
         "instead"},
        {"select a from t union select a into x from u", 20272,
         "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union select ...) "
         "instead"},
        // Field lists of the shared services.
        {"select a from t union corresponding by (1) select a from u", 10408,
         "Field name expected, but expression '1...' found at line 1, column 41"},
        {"select a from t union corresponding by (a, 1) select a from u", 10406,
         "Unexpected token '1' found at line 1, column 44"},
        {"select * from t group by a, 1", 10410, "Unexpected token '1' found at line 1, column 29"},
        {"select * from t group by ,", 10409,
         "Field name expected, but expression ',...' found at line 1, column 26"},
        {"select * from t as\n  ,", 30177, "Field pseudonym expected, but ',' found at line 2, column 3"},
    };
    TORQSQLParams params;
    TORQSQLParam* minus = params.AddParam();
    minus->Name = "minus";
    minus->SetAsInteger(-3);
    for (const ErrorCase& c : cases) {
        try {
            Parse(c.text, &params);
            ADD_FAILURE() << c.text << ": no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.code) << c.text;
            EXPECT_EQ(e.Message(), std::string(c.message) + " - Native error: " + std::to_string(c.code)) << c.text;
        }
    }
}
