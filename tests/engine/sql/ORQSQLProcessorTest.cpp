// Statement dispatch by the first words, the transaction statements' parsing, and the
// table-name service.
#include <gtest/gtest.h>

#include <string>

#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQSQLProcessor.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace orq;

namespace {

struct ErrorCase {
    const char* text;
    int32_t code;
    const char* message;
};

void DispatchAll(const std::string& text) {
    TORQSQLProcessor processor(nullptr);
    TORQLexer lexer(text, nullptr);
    while (processor.ParseNextStatement(lexer)) {
    }
}

}  // namespace

TEST(SQLProcessorParse, DispatchErrorsNameTheTokenAndItsPosition) {
    const ErrorCase cases[] = {
        {"", 30145, "Blank SQL command"},
        {" -- nothing\n ; ;", 30145, "Blank SQL command"},
        {"drop view v", 30149, "Object type keyword expected, but 'view' found at line 1, column 6"},
        {"drop", 30150, "Unexpected end of SQL command found at line 1, column 1"},
        {"create view v", 30147, "Object type keyword expected, but 'view' found at line 1, column 8"},
        {"  create", 30148, "Unexpected end of SQL command found at line 1, column 3"},
        {"alter index i", 30151, "Object type keyword expected, but 'index' found at line 1, column 7"},
        {"alter", 30152, "Unexpected end of SQL command found at line 1, column 1"},
        {"rename", 30353, "Unexpected end of SQL command found at line 1, column 1"},
        {"where x", 30153, "SQL token expected, but 'where' found at line 1, column 1"},
        {"frobnicate t", 30154, "SQL token expected, but 'frobnicate' found at line 1, column 1"},
        {"select * from t x y", 20260, "End of SQL command expected, but 'y' found at line 1, column 19"},
        {"select * from t 'a'", 20260, "End of SQL command expected, but 'a' found at line 1, column 17"},
        {"select *\nfrom (select a from t) s x", 20260,
         "End of SQL command expected, but 'x' found at line 2, column 26"},
        // Transaction statements.
        {"start", 30459, "Unexpected end of SQL command found at line 1, column 1"},
        {"start work", 30460, "Token 'TRANSACTION' expected, but 'work' found at line 1, column 7"},
        // The second command fails after the first parsed.
        {"commit; start work", 30460, "Token 'TRANSACTION' expected, but 'work' found at line 1, column 15"},
    };
    for (const ErrorCase& c : cases) {
        try {
            DispatchAll(c.text);
            ADD_FAILURE() << c.text << ": no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.code) << c.text;
            EXPECT_EQ(e.Message(), std::string(c.message) + " - Native error: " + std::to_string(c.code)) << c.text;
        }
    }
}

TEST(SQLProcessorParse, CommandsDispatchInOrder) {
    TORQSQLProcessor processor(nullptr);
    TORQLexer lexer("(select * from t); commit work flush; commit; rollback work; start transaction", nullptr);
    ASSERT_TRUE(processor.ParseNextStatement(lexer));
    EXPECT_NE(dynamic_cast<TORQSQLUnion*>(processor.Statement()), nullptr);
    ASSERT_TRUE(processor.ParseNextStatement(lexer));
    auto* commit = dynamic_cast<TORQSQLCommit*>(processor.Statement());
    ASSERT_NE(commit, nullptr);
    EXPECT_TRUE(commit->Flush);
    ASSERT_TRUE(processor.ParseNextStatement(lexer));
    commit = dynamic_cast<TORQSQLCommit*>(processor.Statement());
    ASSERT_NE(commit, nullptr);
    EXPECT_FALSE(commit->Flush);
    ASSERT_TRUE(processor.ParseNextStatement(lexer));
    EXPECT_NE(dynamic_cast<TORQSQLRollback*>(processor.Statement()), nullptr);
    ASSERT_TRUE(processor.ParseNextStatement(lexer));
    EXPECT_NE(dynamic_cast<TORQSQLStartTransaction*>(processor.Statement()), nullptr);
    EXPECT_FALSE(processor.ParseNextStatement(lexer));
}

TEST(SQLProcessorParse, RegisteredClassStartsAfterTheObjectWords) {
    struct Reset {
        ~Reset() { RegisterStatementClass(TORQStatementKind::RenameTable, nullptr); }
    } reset;
    std::string seen;
    RegisterStatementClass(TORQStatementKind::RenameTable, [&](TORQLexer& Lexer, TORQQuery* Query) {
        auto command = std::make_unique<TORQSQLCommand>(Lexer, Query);
        seen += command->Token().Text + ";";
        return command;
    });
    TORQSQLProcessor processor(nullptr);
    TORQLexer lexer("rename table a to b; rename c to d", nullptr);
    while (processor.ParseNextStatement(lexer)) {
    }
    EXPECT_EQ(seen, "a;c;");
}

namespace {

struct TableNameCase {
    const char* text;
    const char* printed;  // [M ]db:table alias password rest
};

std::string TableName(const std::string& text) {
    TORQLexer lexer(text, nullptr);
    lexer.NextCommand();
    TORQSQLCommand command(lexer, nullptr);
    std::string db, table, password, alias;
    bool memory = true;
    command.ParseTableName(db, table, memory, password, alias);
    return std::string(memory ? "M " : "") + db + ":" + table + " " + alias + " " + password + " " +
           command.Token().Text;
}

}  // namespace

TEST(SQLProcessorParse, TableNamesWithTheirParts) {
    const TableNameCase cases[] = {
        {"t", ":t   "},
        {"memory t x", "M :t x  "},
        {"db.t as x password 'pw' next", "db:t x pw next"},
        {"t 'a'", ":t   a"},  // a quoted text is no alias without AS
        {"t [a] ,", ":t a  ,"},
        {"t as 'a'", ":t a  "},
    };
    for (const TableNameCase& c : cases) EXPECT_EQ(TableName(c.text), c.printed) << c.text;

    const ErrorCase errors[] = {
        {"1", 30230, "Table name expected, but '1' found at line 1, column 1"},
        {"memory 1", 30231, "Table name expected, but '1' found at line 1, column 8"},
        {"memory", 30161, "Unexpected end of SQL command found at line 1, column 1"},
        {"t password x", 30238,
         "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 12"},
        {"t as 1", 30177, "Field pseudonym expected, but '1' found at line 1, column 6"},
    };
    for (const ErrorCase& c : errors) {
        try {
            TableName(c.text);
            ADD_FAILURE() << c.text << ": no error";
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), c.code) << c.text;
            EXPECT_EQ(e.Message(), std::string(c.message) + " - Native error: " + std::to_string(c.code)) << c.text;
        }
    }
}
