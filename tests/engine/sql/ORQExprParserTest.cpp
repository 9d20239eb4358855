// The expression grammar: texts to trees (operator codes, child order and the
// comparison flags), and every parse error to its code, message, line and column.
#include <gtest/gtest.h>

#include "../foundation/ExpectNative.h"
#include "ExprParseUtil.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace orq;
using namespace parsetest;

namespace {

struct TreeCase {
    const char* text;
    const char* tree;
    bool ci = false;
    bool pc = false;
};

}  // namespace

TEST(ExprParser, ConditionsGiveTheirTrees) {
    const TreeCase cases[] = {
        // OR binary and left-associative, AND one n-ary node, NOT binding tighter than AND.
        {"A=1 OR B=2 OR C=3", "OR(OR(={r}(A,1),={r}(B,2)),={r}(C,3))"},
        {"A=1 AND B=2 AND C=3", "AND(={r}(A,1),={r}(B,2),={r}(C,3))"},
        {"NOT A=1 AND B=2", "AND(NOT(={r}(A,1)),={r}(B,2))"},
        {"A=1 AND (B=2 OR C=3)", "AND(={r}(A,1),OR(={r}(B,2),={r}(C,3)))"},
        // Flattening appends a nested AND's children at the end.
        {"(A=1 AND B=2) AND C=3", "AND(={r}(C,3),={r}(A,1),={r}(B,2))"},
        {"((A=1))", "={r}(A,1)"},
        // Truth tests.
        {"X IS NOT FALSE", "X"},
        {"X IS TRUE", "X"},
        {"X IS FALSE", "NOT(X)"},
        {"X IS NOT TRUE", "NOT(X)"},
        {"X IS UNKNOWN", "ISNULL(X)"},
        {"(A=1) IS NOT UNKNOWN", "ISNOTNULL(={r}(A,1))"},
        {"X IS NULL", "ISNULL(X)"},
        {"X IS NOT NULL", "ISNOTNULL(X)"},
        {"TRUE", "TRUE"},
        {"X", "X"},
        // Predicates.
        {"A BETWEEN 1 AND 2 AND B=1", "AND(BETWEEN(A,1,2),={r}(B,1))"},
        {"A NOT BETWEEN 1 AND 2", "NOTBETWEEN(A,1,2)"},
        {"X IN (1 2 3)", "IN(X,1,2,3)"},
        {"X IN (1, 2, 3)", "IN(X,1,2,3)"},
        {"X NOT IN ('a')", "NOTIN(X,'a')"},
        {"NAME LIKE 'AB%'", "={p}(NAME,'AB')"},
        {"NAME NOT LIKE 'AB%'", "<>{p}(NAME,'AB')"},
        {"NAME LIKE 'AB%'", "={ip}(NAME,'AB')", true},
        {"NAME LIKE '%AB'", "LIKE(NAME,'%AB')"},
        {"NAME LIKE 'A%B%'", "LIKE(NAME,'A%B%')"},
        {"NAME LIKE 'A_C%'", "LIKE(NAME,'A_C%')"},  // '_' stays a wildcard
        {"NAME LIKE '%'", "LIKE(NAME,'%')"},
        {"NAME LIKE 'AB%' ESCAPE '!'", "LIKE!!(NAME,'AB%')"},
        {"NAME LIKE '%b'", "LIKE{i}(NAME,'%b')", true},
        // Raw compare: clear for a field against text, a date or Null; set for numbers.
        {"STATION<>'UNID'", "<>(STATION,'UNID')"},
        {"FREQ=518000", "={r}(FREQ,518000)"},
        {"'abc' = UPPER(X)", "=('abc',UPPER(X))"},
        {"'abc' = 5", "={r}('abc',5)"},
        {"A = NULL", "=(A,NULL:7)"},
        {"D >= DATE '2024-01-31'", ">=(D,D'2024-01-31')"},
        {"A < B", "<{r}(A,B)"},
        // The partial marker only with the flag, and only on a non-empty text.
        {"NAME='AB*'", "={p}(NAME,'AB')", false, true},
        {"'AB*'=NAME", "={p}('AB',NAME)", false, true},
        {"NAME='AB*'", "=(NAME,'AB*')"},
        // The empty text is a Null text: (in)equality with it is IS [NOT] NULL.
        {"NAME=''", "ISNULL(NAME)", false, true},
        {"NAME<>''", "ISNOTNULL(NAME)"},
        {"IDLETTER='a'", "={i}(IDLETTER,'a')", true},
        // Names: qualified, bracketed reserved words.
        {"T.A = 1", "={r}(T.A,1)"},
        {"[DATE] = 1", "={r}(DATE,1)"},
    };
    for (const TreeCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Condition(c.text, c.ci, c.pc), c.tree);
    }
}

TEST(ExprParser, ValuesGiveTheirTrees) {
    const TreeCase cases[] = {
        {"A - B + C", "+(A,NEG(B),C)"},
        {"A * B / C", "/(*(A,B),C)"},
        {"-A", "NEG(A)"},
        {"+A", "A"},
        {"2 * -3", "*(2,NEG(3))"},
        {"'AB' + 'C'", "||('AB','C')"},
        {"A + 1 || 'x'", "||(A,1,'x')"},
        {"A || B", "||(A,B)"},
        {"2147483646", "2147483646"},
        {"2147483647", "2147483647L"},
        {"9223372036854775807", "9223372036854775807L"},
        {"1.5", "1.5d"},
        {"(1 + 2) * 3", "*(+(1,2),3)"},
        {"NULL", "NULL:7"},
        {"FALSE", "FALSE"},
        // Date arithmetic.
        {"NOW", "NOW"},
        {"NOW + 1", "+(NOW,+(1))"},
        {"CURRENT_DATE - 1", "+(CURRENT_DATE,NEG(1))"},
        {"X - NOW", "+(X,NEG(NOW))"},
        {"(NOW + 1)", "+(NOW,+(1))"},
        // Functions.
        {"COUNT(*)", "COUNT(*)"},
        {"COUNT(DISTINCT STATION)", "COUNT{d}(STATION)"},
        {"SUM(FREQ)", "SUM(FREQ)"},
        {"CAST(FREQ AS VARCHAR(10))", "CAST:2(FREQ,10)"},
        {"CAST(FREQ, VARCHAR(10))", "CAST:2(FREQ,10)"},
        {"CAST(NULL AS INTEGER)", "CAST:7(NULL:7)"},
        {"ROUND(X)", "ROUND(X)"},
        {"ROUND(X, 2)", "ROUND(X,2)"},
        {"ROUND(X, 2, HALFUP)", "ROUND(X,2,287)"},
        {"SQRT(2) + ABS(-1)", "+(SQRT(2),ABS(NEG(1)))"},
        {"POWER(2, 10)", "POWER(2,10)"},
        {"SUBSTRING(NAME FROM 2 FOR 3)", "SUBSTRING(NAME,2,3)"},
        {"SUBSTRING(NAME, 2, 3)", "SUBSTRING(NAME,2,3)"},
        {"SUBSTRING(NAME, 2)", "SUBSTRING(NAME,2)"},
        {"POSITION('A' IN NAME)", "POS('A',NAME)"},
        {"POS('A', NAME)", "POS('A',NAME)"},
        {"LENGTH(NAME) + 1", "+(LENGTH(NAME),1)"},
        {"UPPER(A) || LOWER(B)", "||(UPPER(A),LOWER(B))"},
        {"EXTRACT(YEAR FROM UTCRECEIVED)", "EXTRACT:0(UTCRECEIVED)"},
        {"EXTRACT(SECOND FROM UTCRECEIVED)", "EXTRACT:5(UTCRECEIVED)"},
        {"DATE '2024-02-29'", "D'2024-02-29'"},
        {"TIME '12:30:00'", "T'12:30:00'"},
        {"TIMESTAMP '2024-01-01 12:00:00'", "TS'2024-01-01 12:00:00'"},
        {"TODATE('01.02.2024', 'DD.MM.YYYY')", "TODATE('01.02.2024')"},
        {"TOSTRING(D FROM 'YYYY')", "TOSTRING(D)"},
        {"COALESCE(A B)", "COALESCE(A,B)"},
        {"COALESCE(A, B)", "COALESCE(A,B)"},
        {"CASE X WHEN 1 THEN 'a' ELSE 'b' END", "CASE(X,1,'a','b')"},
        {"CASE WHEN X=1 THEN 'a' END", "CASE(={r}(X,1),'a')"},
        {"ROWNUM + 1", "+(ROWNUM,1)"},
        {"MIMETOBIN('QUJD')", "MIMETOBIN('QUJD')"},
    };
    for (const TreeCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ValueTree(c.text), c.tree);
    }
}

TEST(ExprParser, TypedNullParametersBecomeNullTests) {
    // A Null of a text or date type compared (in)equal with a field is IS [NOT] NULL;
    // the untyped NULL keyword is compared without raw mode instead.
    TORQSQLParams params;
    TORQSQLParam* p = params.AddParam();
    p->Name = "S";
    p->Clear(bdtVarChar);
    TORQSQLParam* n = params.AddParam();
    n->Name = "N";
    n->Clear(bdtInteger);
    TORQSQLParam* b = params.AddParam();
    b->Name = "B";
    b->SetAsBoolean(true);
    const std::pair<const char*, const char*> cases[] = {
        {"A = :S", "ISNULL(A)"},
        {":S <> A", "ISNOTNULL(A)"},
        {"A > :S", ">(A,NULL:3)"},
        {"A = :N", "=(A,NULL:7)"},
        {":B", "TRUE"},
    };
    for (const auto& [text, tree] : cases) {
        SCOPED_TRACE(text);
        TORQLexer lexer(text, &params);
        ASSERT_TRUE(lexer.NextCommand());
        TORQExpression e;
        e.ParseSearchCondition(nullptr, lexer);
        EXPECT_EQ(Print(e.Root()), tree);
    }
}

TEST(ExprParser, DecisionsOnValueTexts) {
    TORQExpression e;
    // The parenthesised date arithmetic starts only at "(": no token is skipped first.
    EXPECT_FALSE(e.TryParseValueExpression("foo(NOW+1)"));
    EXPECT_EQ(e.Root(), nullptr);
    EXPECT_TRUE(e.TryParseValueExpression("(NOW+1)"));
    // True only when nothing is left over.
    EXPECT_FALSE(e.TryParseValueExpression("1 2 3"));
    EXPECT_EQ(e.Root(), nullptr);
    EXPECT_FALSE(e.TryParseValueExpression("1; 2"));
    EXPECT_FALSE(e.TryParseValueExpression(""));
    EXPECT_FALSE(e.TryParseValueExpression("'open"));
    EXPECT_TRUE(e.TryParseValueExpression("NOW"));
    EXPECT_TRUE(e.TryParseValueExpression("'abc'"));
    // A SELECT in a text of its own is refused at its token.
    EXPECT_FALSE(e.TryParseValueExpression("(SELECT 1)"));
    // NULLIF is a reserved word with no rule.
    EXPECT_FALSE(e.TryParseValueExpression("NULLIF(A, B)"));
}

namespace {

struct ErrorCase {
    const char* text;
    bool condition;
    int32_t code;
    const char* message;
};

std::string Suffix(int32_t code) { return " - Native error: " + std::to_string(code); }

void Parse(const ErrorCase& c) {
    TORQExpression e;
    if (c.condition) {
        e.ParseFilter(nullptr, c.text, false, false);
    } else {
        TORQLexer lexer(c.text, nullptr);
        lexer.NextCommand();
        e.ParseValueExpression(nullptr, lexer);
    }
}

}  // namespace

TEST(ExprParser, ErrorsNameTheTokenAndItsPosition) {
    const ErrorCase cases[] = {
        // Conditions.
        {"X IS MAYBE", true, 30067, "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 6"},
        {"A=1 AND", true, 30069, "Boolean expression expected, but '' found at line 1, column 5"},
        {"A=1 AND\n  OR", true, 30069, "Boolean expression expected, but 'OR' found at line 2, column 3"},
        {"A=1 OR AND", true, 30070, "Boolean expression expected, but 'AND' found at line 1, column 8"},
        {"= 1", true, 30066, "Boolean expression expected, but '=' found at line 1, column 1"},
        // A parenthesised condition must close where it ends.
        {"(A=1 X)", true, 30066, "Boolean expression expected, but '(' found at line 1, column 1"},
        {"NAME LIKE 'AB%' ESCAPE '!!'", true, 20294,
         "Invalid escape character length (should be a single character) at line 1, column 24"},
        {"NAME LIKE 'AB%' ESCAPE ''", true, 20294,
         "Invalid escape character length (should be a single character) at line 1, column 24"},
        {"(NOW + 1 X)", false, 30501, "Token ')' expected, but 'X' found at line 1, column 10"},
        {"X IN (1, AND)", true, 30068, "Value expected, but 'AND' found at line 1, column 10"},
        {"STATION IN (SELECT X FROM T)", true, 30940,
         "Subquery not allowed in a filter, default or locate condition: 'SELECT' found at line 1, column 13"},
        {"EXISTS (SELECT X FROM T)", true, 30940,
         "Subquery not allowed in a filter, default or locate condition: 'SELECT' found at line 1, column 9"},
        // Aggregates and CAST.
        {"COUNT STATION", false, 30074, "Token '(' expected, but 'STATION' found at line 1, column 7"},
        {"COUNT(* X)", false, 30073, "Token ')' expected, but 'X' found at line 1, column 9"},
        {"SUM()", false, 30102, "Argument expected for function 'SUM' at line 1, column 5"},
        {"MAX(A B)", false, 30075, "Token ')' expected, but 'B' found at line 1, column 7"},
        {"CAST(FREQ AS NOSUCHTYPE)", false, 30077, "Cannot convert an expression to specified type: 'Unknown'"},
        {"CAST(FREQ AS BLOB)", false, 30077, "Cannot convert an expression to specified type: 'BLOB'"},
        {"CAST(FREQ AS VARCHAR(10 X))", false, 30465, "Token ')' expected, but 'X' found at line 1, column 25"},
        {"CAST(FREQ AS INTEGER X)", false, 30076, "Token ')' expected, but 'X' found at line 1, column 22"},
        // CASE and COALESCE.
        {"CASE X WHEN 1 THEN 'a'", false, 30472, "Token 'END' expected, but '' found at line 1, column 20"},
        {"CASE WHEN X=1 THEN 'a'", false, 30478, "Token 'END' expected, but '' found at line 1, column 20"},
        {"CASE 1 THEN 2 END", false, 30468, "Token 'WHEN' expected, but 'THEN' found at line 1, column 8"},
        {"CASE X WHEN 1 'a' END", false, 30470, "Token 'THEN' expected, but 'a' found at line 1, column 15"},
        {"CASE WHEN X=1 'a' END", false, 30475, "Token 'THEN' expected, but 'a' found at line 1, column 15"},
        {"CASE END", false, 30467, "Input expression for CASE function expected, but 'END' found at line 1, column 6"},
        {"CASE X WHEN AND THEN 1 END", false, 30469,
         "When Expression for CASE function expected, but 'AND' found at line 1, column 13"},
        {"CASE WHEN THEN 1 END", false, 30474,
         "Search Condition for CASE function expected, but 'THEN' found at line 1, column 11"},
        {"CASE WHEN X=1 THEN END", false, 30476,
         "When Expression for CASE function expected, but 'END' found at line 1, column 20"},
        {"CASE X WHEN 1 THEN 2 ELSE END", false, 30471,
         "'Else Result Expression' for CASE function expected, but 'END' found at line 1, column 27"},
        {"CASE WHEN X=1 THEN 2 ELSE END", false, 30477,
         "'Else Result Expression' for CASE function expected, but 'END' found at line 1, column 27"},
        {"COALESCE A", false, 20275, "Token '(' expected, but 'A' found at line 1, column 10"},
        {"COALESCE()", false, 20276, "COALESCE arguments are missing at line 1, column 10"},
        {"COALESCE(A, , B)", false, 30068, "Value expected, but ',' found at line 1, column 13"},
        // Numeric functions.
        {"SQRT 4", false, 20261, "Token '(' expected, but '4' found at line 1, column 6"},
        {"SQRT()", false, 20262, "Argument expected for function 'SQRT' at line 1, column 6"},
        {"ABS(1 2)", false, 20263, "Token ')' expected, but '2' found at line 1, column 7"},
        {"POWER 2", false, 20264, "Token '(' expected, but '2' found at line 1, column 7"},
        {"POWER(, 2)", false, 20265, "Argument expected for function 'POWER' at line 1, column 7"},
        {"POWER(2 3)", false, 20267, "comma (\",\") expected but not found at line 1, column 9"},
        {"POWER(2, )", false, 20268, "Argument expected for function 'POWER' at line 1, column 10"},
        {"POWER(2, 3 4)", false, 20266, "Token ')' expected, but '4' found at line 1, column 12"},
        {"ROUND 1", false, 30502, "Token '(' expected, but '1' found at line 1, column 7"},
        {"ROUND()", false, 30503, "Argument expected for function 'ROUND' at line 1, column 7"},
        {"ROUND(X, )", false, 30504, "Argument expected for function 'ROUND' at line 1, column 10"},
        {"ROUND(X,2,'HALFUP')", false, 30505, "Argument expected for function 'ROUND' at line 1, column 11"},
        {"ROUND(X,2,DATE)", false, 30505, "Argument expected for function 'ROUND' at line 1, column 11"},
        {"ROUND(X,2,HALFUP 1)", false, 30506, "Token ')' expected, but '1' found at line 1, column 18"},
        // String functions.
        {"UPPER X", false, 30090, "Token '(' expected, but 'X' found at line 1, column 7"},
        {"UPPER(X Y)", false, 30091, "Token ')' expected, but 'Y' found at line 1, column 9"},
        {"UPPER()", false, 30092, "String argument expected for function 'UPPER', but '' found at line 1, column 7"},
        {"SUBSTRING X", false, 30098, "Token '(' expected, but 'X' found at line 1, column 11"},
        {"SUBSTRING(, 1)", false, 30099, "Argument expected for function 'SUBSTRING' at line 1, column 11"},
        {"SUBSTRING(X 1)", false, 30100, "Token ',' or 'from' expected, but '1' found at line 1, column 13"},
        {"SUBSTRING(X, )", false, 30101, "Argument expected for function 'SUBSTRING' at line 1, column 14"},
        {"SUBSTRING(X, 1 2)", false, 30103, "Token ')' or ',' or 'FOR' expected, but '2' found at line 1, column 16"},
        {"POS X", false, 30078, "Token '(' expected, but 'X' found at line 1, column 5"},
        {"POS(, X)", false, 30079, "Argument expected for function 'POS' at line 1, column 5"},
        {"POS(X Y)", false, 30080, "Token ',' or 'IN' expected, but 'Y' found at line 1, column 7"},
        {"POS(X, )", false, 30081, "Argument expected for function 'POS' at line 1, column 8"},
        {"POS(X, Y Z)", false, 30082, "Token ')' expected, but 'Z' found at line 1, column 10"},
        {"LENGTH X", false, 30083, "Token '(' expected, but 'X' found at line 1, column 8"},
        {"LENGTH()", false, 30085, "Argument expected for function 'LENGTH' at line 1, column 8"},
        {"LENGTH(X Y)", false, 30084, "Token ')' expected, but 'Y' found at line 1, column 10"},
        // Dates.
        {"DATE '2024-02-30'", false, 20284, "Token 'YYYY-MM-DD' expected, but '2024-02-30' found at line 1, column 6"},
        {"DATE 5", false, 20283, "Date string expected \"YYYY-MM-DD\", but found \"5\" at line 1, column 6"},
        {"TIME '25:00:00'", false, 20286, "Token 'HH:MM:SS' expected, but '25:00:00' found at line 1, column 6"},
        {"TIME 5", false, 20285, "Time string expected \"HH:MM:SS\", but found \"5\" at line 1, column 6"},
        {"TIMESTAMP 'x'", false, 20288, "Token 'YYYY-MM-DD' expected, but 'x' found at line 1, column 11"},
        {"TIMESTAMP 5", false, 20287, "Time string expected \"HH:MM:SS\", but found \"5\" at line 1, column 11"},
        {"TODATE X", false, 30105, "Token '(' expected, but 'X' found at line 1, column 8"},
        {"TODATE(, 'YYYY')", false, 30107, "Argument expected for function 'ToDate' at line 1, column 8"},
        {"TODATE(X 'YYYY')", false, 30108, "Token ',' expected, but 'YYYY' found at line 1, column 10"},
        {"TODATE(X, FMT)", false, 30109, "Const DateFormat string expected, but 'FMT' found at line 1, column 11"},
        {"TODATE(X, 'YYYY' 1)", false, 30106, "Token ')' expected, but '1' found at line 1, column 18"},
        {"TOSTRING X", false, 30093, "Token '(' expected, but 'X' found at line 1, column 10"},
        {"TOSTRING(, 'YYYY')", false, 30094, "Argument expected for function 'TOSTRING' at line 1, column 10"},
        {"TOSTRING(X 'YYYY')", false, 30095, "Token ',' expected, but 'YYYY' found at line 1, column 12"},
        {"TOSTRING(X, 1)", false, 30096, "Const DateFormat string expected, but '1' found at line 1, column 13"},
        {"TOSTRING(X, 'YYYY' 1)", false, 30097, "Token ')' expected, but '1' found at line 1, column 20"},
        {"EXTRACT YEAR", false, 20277, "Token '(' expected, but 'YEAR' found at line 1, column 9"},
        {"EXTRACT(WEEK FROM X)", false, 20278,
         "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'WEEK' found at line 1, column 9"},
        {"EXTRACT(DATE FROM X)", false, 20279,
         "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'DATE' found at line 1, column 9"},
        {"EXTRACT(YEAR X)", false, 20280, "Token 'FROM' expected, but 'X' found at line 1, column 14"},
        {"EXTRACT(YEAR FROM )", false, 20281,
         "Argument expected for function 'EXTRACT (... FROM ...)' at line 1, column 19"},
        {"EXTRACT(YEAR FROM X Y)", false, 20282, "Token ')' expected, but 'Y' found at line 1, column 21"},
        // System functions and MIMETOBIN.
        {"LASTAUTOINC X", false, 30086, "Token '(' expected, but 'X' found at line 1, column 13"},
        {"LASTAUTOINC(T F)", false, 30334, "Token ',' expected, but 'F' found at line 1, column 15"},
        {"LASTAUTOINC(T, F X)", false, 30089, "Token ')' expected, but 'X' found at line 1, column 18"},
        {"MIMETOBIN X", false, 30479, "Token '(' expected, but 'X' found at line 1, column 11"},
        {"MIMETOBIN(X)", false, 30480,
         "String argument expected for function 'MimeToBin()', but 'X' found at line 1, column 11"},
        {"MIMETOBIN('QQ' X)", false, 30481, "Token ')' expected, but 'X' found at line 1, column 16"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        ExpectNative([&] { Parse(c); }, c.code, c.message + Suffix(c.code));
    }
}

TEST(ExprParser, EntryPointsWithoutTokensOrConditions) {
    TORQLexer lexer("A", nullptr);
    ASSERT_TRUE(lexer.NextCommand());
    TToken t;
    lexer.GetNextToken(t);  // past the end
    TORQExpression e;
    ExpectNative([&] { e.ParseSearchCondition(nullptr, lexer); }, 30118,
                 "Unexpected end of SQL command found at line 1, column 1" + Suffix(30118));
    ExpectNative([&] { e.ParseValueExpression(nullptr, lexer); }, 30136,
                 "Unexpected end of SQL command found at line 1, column 1" + Suffix(30136));
    ExpectNative([&] { e.ParseSubquery(nullptr, lexer); }, 30497,
                 "Unexpected end of SQL command found at line 1, column 1" + Suffix(30497));
    for (const char* blank : {"", "   ", "/* only a comment */", ";;"})
        ExpectNative([&] { e.ParseFilter(nullptr, blank, false, false); }, 30119, "Blank SQL command" + Suffix(30119));
    // A value expression that matches nothing leaves no root for the caller to report.
    TORQLexer values("AND", nullptr);
    values.NextCommand();
    e.ParseValueExpression(nullptr, values);
    EXPECT_EQ(e.Root(), nullptr);
    // The lexer's own errors pass through: a filter has no parameters.
    ExpectNative([&] { e.ParseFilter(nullptr, "A = :X", false, false); }, 30358);
}

TEST(ExprParser, FilterRefusesAnythingAfterItsCondition) {
    TORQExpression e;
    ExpectNative([&] { e.ParseFilter(nullptr, "NAVAREA=3 garbage", false, false); }, 20260,
                 "End of SQL command expected, but 'garbage' found at line 1, column 11" + Suffix(20260));
    EXPECT_EQ(e.Root(), nullptr);  // nothing half-read is kept
    ExpectNative([&] { e.ParseFilter(nullptr, "NAVAREA=3; FREQ=518", false, false); }, 20260,
                 "End of SQL command expected, but 'FREQ' found at line 1, column 12" + Suffix(20260));
    ExpectNative([&] { e.ParseFilter(nullptr, "(A=1) X", false, false); }, 20260);
    // A trailing ';' makes no second command.
    e.ParseFilter(nullptr, "NAVAREA=3;", false, false);
    EXPECT_EQ(Print(e.Root()), "={r}(NAVAREA,3)");
}

namespace {

// A statement layer stand-in: a subquery runs to its closing parenthesis.
class SkipStatement : public TORQSubqueryStatement {
public:
    void Execute(TORQQuery*, TORQCursor*, TORQAO*) override {}
    int32_t FieldCount() override { return 1; }
    int64_t RecordCount() override { return 0; }
    void GetFirstRowValue(int32_t, TORQVariant& Value) override { Value.Clear(bdtInteger); }
    bool Locate(const TORQVariant&) override { return false; }
    bool FindKey(uint8_t, const TORQVariant&) override { return false; }
    uint8_t FirstFieldType() override { return aftInteger; }
    int32_t FirstFieldSize() override { return 0; }
    bool IsSelfContained() override { return true; }
};

std::unique_ptr<TORQSubqueryStatement> SkipToClose(TORQLexer& Lexer, TORQQuery*, TORQAO*) {
    TToken t;
    int32_t depth = 0;
    while (Lexer.GetCurrentToken(t)) {
        if (t.Kind == tktLeftParenthesis) ++depth;
        if (t.Kind == tktRightParenthesis && depth-- == 0) break;
        Lexer.GetNextToken(t);
    }
    return std::make_unique<SkipStatement>();
}

std::string StatementCondition(const std::string& text) {
    TORQLexer lexer(text, nullptr);
    lexer.NextCommand();
    TORQExpression e;
    e.ParseSearchCondition(nullptr, lexer);
    TToken rest;
    EXPECT_FALSE(lexer.GetCurrentToken(rest)) << text << ": left over '" << rest.Text << "'";
    return Print(e.Root());
}

}  // namespace

TEST(ExprParser, SubqueriesInStatements) {
    SetSubqueryFactory(SkipToClose);
    struct Reset {
        ~Reset() { InstallSubqueryFactory(); }
    } reset;
    EXPECT_EQ(StatementCondition("EXISTS ((SELECT X FROM T))"), "EXISTS(#0)");
    EXPECT_EQ(StatementCondition("X IN (SELECT Y FROM T)"), "IN(X,#0)");
    EXPECT_EQ(StatementCondition("X = ANY (SELECT Y FROM T)"), "={rq2}(X,#0)");
    EXPECT_EQ(StatementCondition("X > ALL (SELECT Y FROM T) AND Y = 1"), "AND(>{rq1}(X,#0),={r}(Y,1))");
    ExpectNative([] { StatementCondition("EXISTS ((SELECT X FROM T) X)"); }, 30492,
                 "Missing symbol ')' at line 1, column 27" + Suffix(30492));
}

TEST(ExprParser, NestingDepthParsesInLinearTime) {
    // Deep nesting stays cheap: each level is read a bounded number of times. At a
    // depth of 200 plain backtracking would not end.
    std::string condition = "FREQ=518", value = "1";
    for (int i = 0; i < 200; ++i) {
        condition = "(" + condition + ")";
        value = "(" + value + ")";
    }
    EXPECT_EQ(Condition(condition + " AND NAVAREA=3"), "AND(={r}(FREQ,518),={r}(NAVAREA,3))");
    EXPECT_EQ(ValueTree(value + " + 1"), "+(1,1)");
}
