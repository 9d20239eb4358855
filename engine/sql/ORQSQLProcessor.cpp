#include "engine/sql/ORQSQLProcessor.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "classlib/DBCommon.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/sql/ORQExprText.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQSQLDML.h"
#include "engine/sql/ORQSQLSelect.h"

namespace orq {

namespace {

constexpr std::string_view kUnexpectedEnd = "Unexpected end of SQL command found at line %d, column %d";
constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kFieldExpressionExpected =
    "Field name expected, but expression '%s...' found at line %d, column %d";
constexpr std::string_view kObjectTypeExpected = "Object type keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kSQLTokenExpected = "SQL token expected, but '%s' found at line %d, column %d";

bool InKinds(TTokenKinds Kinds, TTokenKind Kind) { return (Kinds & TokenKindBit(Kind)) != 0; }

// The query's InMemory flag; a statement made without a query parses for disk tables.
bool QueryInMemory(TORQQuery* Query) { return Query != nullptr && Query->InMemory(); }

// The database component the query is attached to while it runs.
TORQDatabase& QueryDatabase(TORQQuery* Query) {
    if (Query == nullptr || Query->Database() == nullptr)
        classlib::DatabaseError("Cannot perform this operation on a closed database", Query);
    return *Query->Database();
}

std::array<TORQStatementFactory, 10>& StatementFactories() {
    static std::array<TORQStatementFactory, 10> factories;
    return factories;
}

constexpr std::string_view kStatementNames[10] = {"INSERT",     "UPDATE",    "DELETE",      "CREATE TABLE",
                                                  "CREATE INDEX", "DROP TABLE", "DROP INDEX", "ALTER TABLE",
                                                  "RENAME TABLE", "TRUNCATE TABLE"};

}  // namespace

// ---------------------------------------------------------------------------------
// TORQSQLCommand

TORQSQLCommand::TORQSQLCommand(TORQLexer& Lexer, TORQQuery* Query)
    : InMemory(QueryInMemory(Query)), FLexer(Lexer), FQuery(Query) {
    FLexer.GetCurrentToken(FToken);
}

bool TORQSQLCommand::GetCurrentToken() { return FLexer.GetCurrentToken(FToken); }

bool TORQSQLCommand::GetNextToken() { return FLexer.GetNextToken(FToken); }

bool TORQSQLCommand::IsWord(const TToken& Token, std::string_view Word) {
    return Token.Kind == tktReservedWord && Token.ReservedWordCode >= 0 && Token.ReservedWordCode < ReservedWordCount &&
           ReservedWords[Token.ReservedWordCode] == Word;
}

bool TORQSQLCommand::IsOperatorToken(const TToken& Token) {
    if (Token.Kind != tktString) return false;
    static constexpr std::string_view ops[] = {"+", "-", "*", "/", "=", "<", ">", "<=", ">=", "<>", "|", "||", ":"};
    for (std::string_view op : ops)
        if (Token.Text == op) return true;
    return false;
}

std::string TORQSQLCommand::TokenValueText(const TToken& Token) {
    if (Token.Kind == tktParameter && Token.ParamValue) return ValueAsText(*Token.ParamValue);
    return Token.Text;
}

void TORQSQLCommand::ErrorPosition(int32_t& Line, int32_t& Column) const {
    FLexer.ErrorPosition(FToken, Line, Column);
}

void TORQSQLCommand::RaiseFound(int32_t Code, std::string_view Format) const {
    int32_t line, column;
    ErrorPosition(line, column);
    RaiseNativeFmt(Code, Format, {FToken.Text, line, column});
}

void TORQSQLCommand::RaiseExpected(int32_t Code, std::string_view Expected) const {
    int32_t line, column;
    ErrorPosition(line, column);
    RaiseNativeFmt(Code, "Token '%s' expected, but '%s' found at line %d, column %d",
                   {std::string(Expected), FToken.Text, line, column});
}

void TORQSQLCommand::RaiseUnexpectedEnd(int32_t Code) const {
    int32_t line, column;
    ErrorPosition(line, column);
    RaiseNativeFmt(Code, kUnexpectedEnd, {line, column});
}

bool TORQSQLCommand::ExpectNextToken(TTokenKinds Kinds, int32_t Code, std::string_view Message) {
    if (!GetNextToken()) {
        if (Code != -1) RaiseUnexpectedEnd(30161);
        return false;
    }
    if (Kinds != 0 && Code != -1 && !InKinds(Kinds, FToken.Kind)) RaiseFound(Code, Message);
    return true;
}

void TORQSQLCommand::ParseTableName(std::string& DatabaseName, std::string& TableName, bool& InMemoryTable,
                                    std::string& Password, std::string& Alias) {
    DatabaseName.clear();
    TableName.clear();
    Password.clear();
    Alias.clear();
    InMemoryTable = false;
    if (!InKinds(tksTableNames, FToken.Kind)) RaiseFound(30230, kTableNameExpected);
    if (IsWord("MEMORY")) {
        InMemoryTable = true;
        ExpectNextToken(tksTableNames, 30231, kTableNameExpected);
    }
    TableName = TokenValueText(FToken);
    if (GetNextToken() && FToken.Kind == tktDot) {
        DatabaseName = std::move(TableName);
        ExpectNextToken(tksTableNames, 30231, kTableNameExpected);
        TableName = TokenValueText(FToken);
        GetNextToken();
    }
    ParseAlias(Alias);
    if (IsWord("PASSWORD")) {
        ExpectNextToken(tksQuotedValues, 30238,
                        "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
        Password = TokenValueText(FToken);
        GetNextToken();
    }
}

bool TORQSQLCommand::ParseAlias(std::string& Alias) {
    if (IsWord("AS")) {
        ExpectNextToken(tksAliases, 30177, "Field pseudonym expected, but '%s' found at line %d, column %d");
        Alias = TokenValueText(FToken);
        GetNextToken();
        return true;
    }
    const bool bare = (FToken.Kind == tktString && !IsOperatorToken(FToken)) || FToken.Kind == tktBracketedString ||
                      FToken.Kind == tktParameter;
    if (!bare) return false;
    Alias = TokenValueText(FToken);
    GetNextToken();
    return true;
}

void TORQSQLCommand::ParseFieldNameList(std::vector<std::string>& List) {
    if (!InKinds(tksNames, FToken.Kind)) RaiseFound(10408, kFieldExpressionExpected);
    List.push_back(FToken.Text);
    while (GetNextToken() && FToken.Kind == tktComma) {
        ExpectNextToken(tksNames, 10406, kUnexpectedToken);
        List.push_back(FToken.Text);
    }
}

void TORQSQLCommand::ParseFieldExpressionList(TORQFields& List) {
    for (;;) {
        auto expression = std::make_unique<TORQExpression>();
        expression->InMemory = InMemory;
        expression->ParseValueExpression(FQuery, FLexer);
        GetCurrentToken();
        if (expression->Root() == nullptr) RaiseFound(10409, kFieldExpressionExpected);
        TORQSelectListItem item;
        if (expression->IsField()) {
            expression->GetFieldName(item.TableName, item.FieldName);
        } else {
            item.IsExpression = true;
            item.Expression = std::move(expression);
        }
        List.Add(std::move(item));
        if (FToken.Kind != tktComma) return;
        ExpectNextToken(tksNamesOrReserved, 10410, kUnexpectedToken);
    }
}

void TORQSQLCommand::Execute(TORQQuery*, bool, TORQAO*, TORQCursor*, bool&, bool) {}

void TORQSQLCommand::OpenForeignTable(TORQQuery* Query, const std::string& DatabaseFileName, bool InMemoryTable,
                                      const std::string& Password, const std::string& TableName,
                                      std::unique_ptr<TORQDatabase>& Database, std::unique_ptr<TORQTable>& Table) {
    const std::string session = Query != nullptr ? Query->SessionName() : std::string();
    std::unique_ptr<TORQDatabase> db;
    if (!DatabaseFileName.empty()) {
        db = std::make_unique<TORQDatabase>(nullptr);
        if (Query != nullptr && Query->Database() != nullptr) {
            db->MultiUser = Query->Database()->MultiUser;
            db->DisableTempFiles = Query->Database()->DisableTempFiles;
        }
        db->SetDatabaseFileName(DatabaseFileName);
        db->SetSessionName(session);
        for (;;) {
            try {
                db->SetDatabaseName(MakeUniqueName("TEMP_DB"));
                break;
            } catch (const classlib::EDatabaseError&) {
                // Another component holds the name: a new GUID is tried.
            }
        }
        db->Password = Password;
        db->SilentMode = true;
    }
    auto table = std::make_unique<TORQTable>();
    table->SetSessionName(session);
    if (db) table->SetDatabaseName(db->DatabaseName());
    else if (Query != nullptr) table->SetDatabaseName(Query->DatabaseName());
    table->SetTableName(TableName);
    // A table of a file of its own is in memory only when asked.
    if (InMemoryTable || (DatabaseFileName.empty() && QueryInMemory(Query))) table->SetInMemory(true);
    Database = std::move(db);
    Table = std::move(table);
}

void TORQSQLCommand::FreeTableAndDatabase(std::unique_ptr<TORQTable>& Table, std::unique_ptr<TORQDatabase>& Database) {
    Table.reset();
    Database.reset();
}

// ---------------------------------------------------------------------------------
// Transaction statements

TORQSQLStartTransaction::TORQSQLStartTransaction(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    if (!GetCurrentToken()) RaiseNative(30457, "Blank SQL command");
    if (!IsWord("START")) RaiseExpected(30458, "START");
    if (!GetNextToken()) RaiseUnexpectedEnd(30459);
    if (!IsWord("TRANSACTION")) RaiseExpected(30460, "TRANSACTION");
    GetNextToken();
}

void TORQSQLStartTransaction::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    QueryDatabase(Query).StartTransaction();
}

void TORQSQLCommit::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    QueryDatabase(Query).Commit(Flush);
}

void TORQSQLRollback::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    QueryDatabase(Query).Rollback();
}

TORQSQLCommit::TORQSQLCommit(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    if (!GetCurrentToken()) RaiseNative(30461, "Blank SQL command");
    if (!IsWord("COMMIT")) RaiseExpected(30462, "COMMIT");
    while (GetNextToken())
        if (IsWord("FLUSH")) Flush = true;
}

TORQSQLRollback::TORQSQLRollback(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    if (!GetCurrentToken()) RaiseNative(30463, "Blank SQL command");
    if (!IsWord("ROLLBACK")) RaiseExpected(30464, "ROLLBACK");
}

// ---------------------------------------------------------------------------------
// TORQSQLProcessor

void RegisterStatementClass(TORQStatementKind Kind, TORQStatementFactory Factory) {
    StatementFactories()[static_cast<size_t>(Kind)] = std::move(Factory);
}

TORQSQLProcessor::TORQSQLProcessor(TORQQuery* Query) : FQuery(Query) {}

TORQSQLProcessor::~TORQSQLProcessor() {
    // The statement may still read the lexer while it goes.
    FStatement.reset();
    FLexer.reset();
}

bool TORQSQLProcessor::CanReuseStatement() const {
    if (!FLexer || !FStatement || FLexer->CommandCount() != 1 || FLexer->ParamBindings()->HoldsSubquery) return false;
    // A SELECT's operators take its conditions over while they are built: it is parsed
    // for every run.
    auto* insert = dynamic_cast<TORQSQLInsert*>(FStatement.get());
    if (insert == nullptr || insert->SourceQuery) return false;
    // Every parameter became a constant that holds the value as given (the parse
    // rewrites some, such as a LIKE prefix; those texts parse again).
    const auto& bindings = FLexer->ParamBindings()->Items();
    if (static_cast<int32_t>(bindings.size()) != FLexer->ParameterTokenCount()) return false;
    // Each token's value went into exactly one constant.
    for (const TToken& t : FLexer->Commands(0).Tokens) {
        if (t.Kind != tktParameter) continue;
        const auto uses = std::count_if(bindings.begin(), bindings.end(),
                                        [&](const TORQParamBindings::TBinding& b) { return b.Source == t.ParamValue; });
        if (uses != 1) return false;
    }
    for (const TORQParamBindings::TBinding& b : bindings) {
        const TORQVariant& kept = b.Node->Value;
        const TORQVariant& given = *b.Source;
        if (given.IsNull()) {
            if (!kept.IsNull()) return false;
            continue;
        }
        if (kept.IsNull() || kept.DataType() != given.DataType() || kept.DataSize() != given.DataSize() ||
            std::memcmp(kept.Data(), given.Data(), static_cast<size_t>(given.DataSize())) != 0)
            return false;
    }
    return true;
}

TORQCursor* TORQSQLProcessor::ExecuteSQL() {
    // A statement fails with the engine's and the dataset layer's exceptions only: a
    // run-time error from below (an integer overflow, a floating-point or conversion
    // error) is raised again with a native code and its own text.
    try {
        RowsAffected = 0;
        if (FReusable && FLexer && FStatement && FLexer->RebindParameters(FParams)) {
            FReusable = false;
            FStatement->RowsAffected = 0;
            FStatement->Execute(FQuery, true, nullptr, nullptr, ReadOnly, RequestLive);
            RowsAffected = static_cast<int64_t>(FStatement->RowsAffected);
            FReusable = true;
        } else {
            FReusable = false;
            FStatement.reset();
            FLexer.reset();
            FLexer = std::make_unique<TORQLexer>(FSQLText, &FParams);
            bool reusable = false;
            while (ParseNextStatement(*FLexer)) {
                reusable = CanReuseStatement();
                FStatement->Execute(FQuery, true, nullptr, nullptr, ReadOnly, RequestLive);
                RowsAffected += static_cast<int64_t>(FStatement->RowsAffected);
            }
            FReusable = reusable && FLexer->CommandCount() == 1;
        }
        if (!FStatement) return nullptr;
        TORQCursor* cursor = FStatement->GetResultCursor();
        if (cursor != nullptr) cursor->First();
        return cursor;
    } catch (const EORQException&) {
        throw;
    } catch (const classlib::EDatabaseError&) {
        throw;  // the dataset layer's own errors (EORQEngineError among them) pass as they are
    } catch (const classlib::EIntOverflow&) {
        RaiseIntegerOverflow();
    } catch (const classlib::Exception& e) {
        RaiseNativeFmt(30931, "%s", {e.Message()});
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        RaiseNativeFmt(30931, "%s", {std::string(e.what())});
    }
}

bool TORQSQLProcessor::ParseNextStatement(TORQLexer& Lexer) {
    if (Lexer.CommandCount() == 0) RaiseNative(30145, "Blank SQL command");
    if (!Lexer.NextCommand()) return false;
    FStatement.reset();
    ++FParseCount;
    TToken first;
    if (!Lexer.GetCurrentToken(first)) RaiseNative(30146, "Blank SQL command");

    auto lastTokenEnd = [&](int32_t Code) {
        // The second word is missing: the position of the last token read.
        RaiseNativeFmt(Code, kUnexpectedEnd, {first.Line, first.Column});
    };
    // The object word after the first; Missing and Wrong are the codes when it is absent
    // or none of Words.
    TToken second;
    auto objectWord = [&](int32_t Missing, int32_t Wrong, std::initializer_list<std::string_view> Words) {
        if (!Lexer.GetNextToken(second)) lastTokenEnd(Missing);
        for (std::string_view w : Words)
            if (TORQSQLCommand::IsWord(second, w)) return w;
        RaiseNativeFmt(Wrong, kObjectTypeExpected, {second.Text, second.Line, second.Column});
    };

    using K = TORQStatementKind;
    K kind;
    if (first.Kind == tktLeftParenthesis || TORQSQLCommand::IsWord(first, "SELECT")) {
        FStatement = std::make_unique<TORQSQLUnion>(Lexer, FQuery);
        TToken rest;
        if (Lexer.GetCurrentToken(rest))
            RaiseNativeFmt(20260, "End of SQL command expected, but '%s' found at line %d, column %d",
                           {rest.Text, rest.Line, rest.Column});
        return true;
    } else if (TORQSQLCommand::IsWord(first, "START")) {
        FStatement = std::make_unique<TORQSQLStartTransaction>(Lexer, FQuery);
        return true;
    } else if (TORQSQLCommand::IsWord(first, "COMMIT")) {
        FStatement = std::make_unique<TORQSQLCommit>(Lexer, FQuery);
        return true;
    } else if (TORQSQLCommand::IsWord(first, "ROLLBACK")) {
        FStatement = std::make_unique<TORQSQLRollback>(Lexer, FQuery);
        return true;
    } else if (TORQSQLCommand::IsWord(first, "INSERT")) {
        kind = K::Insert;
    } else if (TORQSQLCommand::IsWord(first, "UPDATE")) {
        kind = K::Update;
    } else if (TORQSQLCommand::IsWord(first, "DELETE")) {
        kind = K::Delete;
    } else if (TORQSQLCommand::IsWord(first, "TRUNCATE")) {
        kind = K::TruncateTable;
    } else if (TORQSQLCommand::IsWord(first, "CREATE")) {
        kind = objectWord(30148, 30147, {"TABLE", "UNIQUE", "INDEX"}) == "TABLE" ? K::CreateTable : K::CreateIndex;
    } else if (TORQSQLCommand::IsWord(first, "DROP")) {
        kind = objectWord(30150, 30149, {"TABLE", "INDEX"}) == "TABLE" ? K::DropTable : K::DropIndex;
    } else if (TORQSQLCommand::IsWord(first, "ALTER")) {
        objectWord(30152, 30151, {"TABLE"});
        kind = K::AlterTable;
    } else if (TORQSQLCommand::IsWord(first, "RENAME")) {
        if (!Lexer.GetNextToken(second)) lastTokenEnd(30353);
        if (TORQSQLCommand::IsWord(second, "TABLE")) Lexer.GetNextToken(second);
        kind = K::RenameTable;
    } else {
        RaiseNativeFmt(first.Kind == tktReservedWord ? 30153 : 30154, kSQLTokenExpected,
                       {first.Text, first.Line, first.Column});
    }

    const TORQStatementFactory& factory = StatementFactories()[static_cast<size_t>(kind)];
    if (!factory)
        RaiseNativeFmt(30941, "SQL statement '%s' is not available at line %d, column %d",
                       {std::string(kStatementNames[static_cast<size_t>(kind)]), first.Line, first.Column});
    FStatement = factory(Lexer, FQuery);
    return true;
}

}  // namespace orq
