// Parse errors of the data-changing and definition statements: each names its code, the
// offending token and its line and column; and what a parse reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQSQLDDL.h"
#include "engine/sql/ORQSQLDML.h"
#include "engine/sql/ORQSQLProcessor.h"

using namespace orq;

namespace {

void ParseAll(const std::string& Text) {
    TORQSQLProcessor processor(nullptr);
    TORQLexer lexer(Text, nullptr);
    while (processor.ParseNextStatement(lexer)) {
    }
}

class SQLChangeParse : public ::testing::Test {
protected:
    void SetUp() override { StartEngine(); }
    void TearDown() override { StopEngine(); }
};

TEST_F(SQLChangeParse, ErrorsNameTheTokenAndItsPosition) {
    struct Case {
        const char* Text;
        int32_t Code;
        const char* Message;
    };
    const Case cases[] = {
        {"insert", 30205, "Unexpected end of SQL command found at line 1, column 1"},
        {"insert t", 30206, "Token 'INTO' expected, but 't' found at line 1, column 8"},
        {"insert into ,", 30207, "Table name expected, but ',' found at line 1, column 13"},
        {"insert into memory ,", 30208, "Table name expected, but ',' found at line 1, column 20"},
        {"insert into t", 30209, "Unexpected end of SQL command found at line 1, column 13"},
        {"insert into d. ,", 30493, "Table name expected, but ',' found at line 1, column 16"},
        {"insert into t password x", 30210,
         "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 24"},
        {"insert into t password 'x'", 30211, "Unexpected end of SQL command found at line 1, column 24"},
        {"insert into t (1)", 2156, "Field name expected, but '1' found at line 1, column 16"},
        {"insert into t (a b)", 30212, "')' or ',' symbol expected, but 'b' found at line 1, column 18"},
        {"insert into t (a)", 30213, "Unexpected end of SQL command found at line 1, column 17"},
        {"insert into t values 1", 30214, "'(' symbol expected, but '1' found at line 1, column 22"},
        {"insert into t values (1, )", 30357, "Error parsing parameter ')' at line 1, column 26"},
        {"insert into t (a, b) values (1, 2), (3)", 20259,
         "Number of field names does not equal the number of field values: 2 <> 1. Found at line 1, column 37"},
        {"update", 30217, "Table name expected, but '' found at line 1, column 1"},
        {"update t where", 30220, "Token 'SET' expected, but 'where' found at line 1, column 10"},
        {"update t set a 1", 30221, "Token '=' expected, but '1' found at line 1, column 16"},
        {"update t set a = 1 b = 2", 30222, "Token ',' expected, but 'b' found at line 1, column 20"},
        {"update t set a = 1,", 30223, "Unexpected end of SQL command found at line 1, column 19"},
        {"update t set (a b) = (select 1 from u)", 30494, "Token ')' expected, but 'b' found at line 1, column 17"},
        {"update t set (a) (select 1 from u)", 30495, "Token '=' expected, but '(' found at line 1, column 18"},
        {"delete", 30224, "Unexpected end of SQL command found at line 1, column 1"},
        {"create table t (a integer) x", 30246, "Unexpected token 'x' found at line 1, column 28"},
        {"create table t a integer", 30226, "Token '(' expected, but 'integer' found at line 1, column 18"},
        {"create table t (a string)", 30233, "'(' symbol expected, but ')' found at line 1, column 25"},
        {"create table t (a char(x))", 30235, "Decimal constant expected, but 'x' found at line 1, column 24"},
        {"create table t (a foo)", 30232, "Unknown field type 'foo' at line 1, column 19"},
        {"create table t (a integer not 5)", 30237, "Unexpected end of SQL command found at line 1, column 31"},
        {"create table t (a integer not false)", 2011,
         "'NULL' expected (for NOT NULL), but 'false' found at line 1, column 31"},
        {"create table t (a integer check (a > 0))", 30229,
         "')' or ',' symbol expected, but 'check' found at line 1, column 27"},
        {"create table t (a blob blobblocksize x)", 30292, "Integer expected, but 'x' found at line 1, column 38"},
        {"create table t (a autoinc(float))", 30295, "Unsupported Autoinc DataType (float) found at line 1, column 27"},
        {"create table t (a autoincinteger(foo))", 30294, "Unexpected token 'foo' found at line 1, column 34"},
        {"create table t (a blob blobcompressionalgorithm lzma)", 30952,
         "Unknown compression algorithm 'lzma' at line 1, column 49"},
        {"create table t (a integer, unique key (a))", 30268,
         "'INDEX' keyword expected, but 'key' found at line 1, column 35"},
        {"create table t (a integer, index (1))", 30274, "Field name expected, but '1' found at line 1, column 35"},
        {"create table if exists t (a integer)", 30486, "Token 'NOT' expected, but 'exists' found at line 1, column 17"},
        {"drop table if t", 30485, "Token 'EXISTS' expected, but 't' found at line 1, column 15"},
        {"alter table t 5 (a integer)", 30253,
         "ADD, DROP or MODIFY keyword expected, but '5' found at line 1, column 15"},
        {"alter table t select", 30252,
         "ADD, DROP or MODIFY keyword expected, but 'select' found at line 1, column 15"},
        {"alter table t rename a b", 30352, "Token 'TO' expected, but 'b' found at line 1, column 24"},
        {"alter table t drop a", 30226, "Token '(' expected, but 'a' found at line 1, column 20"},
        {"rename table t 'u'", 30355, "Token 'TO' expected, but 'u' found at line 1, column 16"},
        {"create unique index i t (a)", 30270, "'ON' keyword expected, but 't' found at line 1, column 23"},
        {"create unique index i select (a)", 30271, "'ON' keyword expected, but 'select' found at line 1, column 23"},
        {"create index i on t 5", 30273, "'(' symbol expected, but '5' found at line 1, column 21"},
        {"create index i on t (a, password x)", 30275,
         "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 34"},
        {"drop index ix", 30498, "Table name expected, but 'ix' found at line 1, column 12"},
    };
    for (const Case& c : cases) {
        try {
            ParseAll(c.Text);
            ADD_FAILURE() << c.Text << ": no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.Code) << c.Text;
            char code[8];
            std::snprintf(code, sizeof code, "%5d", c.Code);
            EXPECT_EQ(e.Message(), std::string(c.Message) + " - Native error: " + code) << c.Text;
        }
    }
}

TEST_F(SQLChangeParse, StatementsReadWhatIsWritten) {
    TORQSQLProcessor processor(nullptr);
    {
        TORQLexer lexer("insert into memory d.t password 'p' (a, b) values (1, 2), (3, 4)", nullptr);
        ASSERT_TRUE(processor.ParseNextStatement(lexer));
        auto* s = dynamic_cast<TORQSQLInsert*>(processor.Statement());
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(s->InMemoryTable);
        EXPECT_EQ(s->DatabaseFileName, "d");
        EXPECT_EQ(s->TableName, "t");
        EXPECT_EQ(s->Password, "p");
        EXPECT_EQ(s->Columns, (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(s->Rows.size(), 2u);
    }
    {
        TORQLexer lexer("update t x set t.a = 1, x.b = 2 where a > 0", nullptr);
        ASSERT_TRUE(processor.ParseNextStatement(lexer));
        auto* s = dynamic_cast<TORQSQLUpdate*>(processor.Statement());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->Alias, "x");
        EXPECT_EQ(s->Columns, (std::vector<std::string>{"a", "b"}));
    }
    {
        TORQLexer lexer("create table t (id autoinc(integer, increment 2, initialvalue 10), "
                        "name varchar(20) not null default 'x', n integer minvalue -5 nomaxvalue, "
                        "b blob blobblocksize 512 blobcompressionalgorithm zlib blobcompressionmode 6, "
                        "d date default now, primary key (id), unique index (name desc, n nocase), index k (n))",
                        nullptr);
        ASSERT_TRUE(processor.ParseNextStatement(lexer));
        auto* s = dynamic_cast<TORQDDLCreateTable*>(processor.Statement());
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->FieldDefs.Count(), 5);
        const TSQLFieldDef& id = *s->FieldDefs.Items(0);
        EXPECT_TRUE(id.IncrementGiven);
        EXPECT_EQ(id.Increment, 2);
        EXPECT_EQ(id.InitialValue, 10);
        EXPECT_FALSE(id.RequiredGiven);
        const TSQLFieldDef& name = *s->FieldDefs.Items(1);
        EXPECT_EQ(name.Size, 20);
        EXPECT_TRUE(name.Required);
        EXPECT_EQ(name.DefaultValue.GetAsString(), "\"x\"");
        const TSQLFieldDef& n = *s->FieldDefs.Items(2);
        EXPECT_EQ(n.MinValue.GetAsLargeInt(), -5);
        EXPECT_TRUE(n.MaxValueGiven);
        EXPECT_TRUE(n.MaxValue.IsNull());
        const TSQLFieldDef& b = *s->FieldDefs.Items(3);
        EXPECT_EQ(b.BlobBlockSize, 512);
        EXPECT_EQ(b.CompressionAlgorithm, 1);
        EXPECT_EQ(b.CompressionMode, 6);
        EXPECT_EQ(s->FieldDefs.Items(4)->DefaultValue.GetAsString(), "NOW");
        ASSERT_EQ(s->IndexClauses.size(), 3u);
        EXPECT_TRUE(s->IndexClauses[0].Primary);
        EXPECT_TRUE(s->IndexClauses[1].Unique);
        EXPECT_TRUE(s->IndexClauses[1].Columns[0].Descending);
        EXPECT_TRUE(s->IndexClauses[1].Columns[1].CaseInsensitive);
        EXPECT_EQ(s->IndexClauses[2].Name, "k");
    }
}

}  // namespace
