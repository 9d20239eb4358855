// The SQL processor and the statement family. TORQSQLProcessor walks a lexer's commands
// and makes one statement object per command, recognised by its first words;
// TORQSQLCommand is the base of every statement and gives the parse services the
// statement parsers share (current token, expected tokens, table names, aliases and
// field lists); the transaction statements START TRANSACTION, COMMIT and ROLLBACK.
//
// Rules kept here:
// - A statement object exists only parsed: its constructor parses, and every parse error
//   is an EORQException with a native code, the offending token's text and its line and
//   column (at the end of a command: those of the command's last token).
// - The statement's current token is a copy of the lexer's current token, refreshed by
//   every service that moves the lexer.
// - The processor owns at most one statement at a time: the previous one is freed before
//   the next command is dispatched.
// - A statement kind whose class is not registered raises 30941 at its first token, so a
//   text naming it fails cleanly instead of being skipped.
// - ExecuteSQL makes a new lexer per execution and runs each statement before the next
//   is parsed: a failing command leaves those before it done. Only the last command's
//   result cursor is handed back; it belongs to that statement, which lives until the
//   next execution or the processor's end.
// - A text of one INSERT ... VALUES (no subquery) whose parameters all became constants
//   of the parse is kept parsed: the next execution gives those constants the new values
//   and runs the same statement again (its table opened anew, so a changed definition is
//   seen; a SELECT's operators take its conditions over as they are built, so a SELECT
//   is parsed for every run). New values that could have changed the
//   parse (ORQLexer.h), a failed execution, or a text that cannot be kept parse again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/ORQAO.h"
#include "engine/sql/ORQLexer.h"

namespace orq {

class TORQQuery;
class TORQDatabase;
class TORQTable;
class TORQCursor;

// A set of token kinds, one bit per kind.
using TTokenKinds = uint16_t;
constexpr TTokenKinds TokenKindBit(TTokenKind Kind) { return static_cast<TTokenKinds>(1u << Kind); }
inline constexpr TTokenKinds tksNames =
    TokenKindBit(tktString) | TokenKindBit(tktQuotedString) | TokenKindBit(tktBracketedString);
inline constexpr TTokenKinds tksNamesOrReserved = tksNames | TokenKindBit(tktReservedWord);
inline constexpr TTokenKinds tksTableNames = tksNamesOrReserved | TokenKindBit(tktParameter);
inline constexpr TTokenKinds tksAliases = tksNames | TokenKindBit(tktParameter);
inline constexpr TTokenKinds tksQuotedValues = TokenKindBit(tktQuotedString) | TokenKindBit(tktParameter);

class TORQSQLCommand {
public:
    // Stores both and reads the current token; each child parses in its own constructor.
    TORQSQLCommand(TORQLexer& Lexer, TORQQuery* Query);
    virtual ~TORQSQLCommand() = default;

    // Runs the parsed statement for Query; ReadOnly receives whether a result may not be
    // edited. Nothing here: each statement supplies it.
    virtual void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor,
                         bool& ReadOnly, bool RequestLive);
    virtual TORQCursor* GetResultCursor() { return nullptr; }
    virtual TORQTable* GetResultTable() { return nullptr; }

    // A table component for TableName, not opened. With a DatabaseFileName a database
    // component of its own is made for that file (named "TEMP_DB" and a GUID, taking the
    // query's MultiUser, DisableTempFiles and session, Password and SilentMode); without
    // one the table uses the query's DatabaseName. In memory when asked, or, without a
    // file of its own, when the query is.
    static void OpenForeignTable(TORQQuery* Query, const std::string& DatabaseFileName, bool InMemoryTable,
                                 const std::string& Password, const std::string& TableName,
                                 std::unique_ptr<TORQDatabase>& Database, std::unique_ptr<TORQTable>& Table);
    static void FreeTableAndDatabase(std::unique_ptr<TORQTable>& Table, std::unique_ptr<TORQDatabase>& Database);
    TORQSQLCommand(const TORQSQLCommand&) = delete;
    TORQSQLCommand& operator=(const TORQSQLCommand&) = delete;

    TORQLexer& Lexer() const { return FLexer; }
    TORQQuery* Query() const { return FQuery; }
    const TToken& Token() const { return FToken; }
    int32_t RowsAffected = 0;
    // The query's InMemory: the default of base tables and expressions parsed here.
    bool InMemory = false;

    // Parse services. Each leaves the lexer's current token in Token().
    bool GetCurrentToken();
    bool GetNextToken();
    // Reads the next token. At the end of the command: 30161 unless Code is -1. A token
    // whose kind is not in Kinds (when Kinds is not empty and Code is not -1) raises Code
    // with Message formatted with the token's text, line and column. False at the end.
    bool ExpectNextToken(TTokenKinds Kinds, int32_t Code, std::string_view Message);
    // From the current token: [MEMORY] [db.]table [alias] [PASSWORD 'x']; 30230, 30231,
    // 30238. The current token is left after what was read.
    void ParseTableName(std::string& DatabaseName, std::string& TableName, bool& InMemoryTable,
                        std::string& Password, std::string& Alias);
    // AS alias (30177), or a bare name, bracketed text or parameter; true when one was read.
    bool ParseAlias(std::string& Alias);
    // Names separated by ',' from the current token (10408, 10406, 30161).
    void ParseFieldNameList(std::vector<std::string>& List);
    // Value expressions separated by ',' from the current token (10409, 10410).
    void ParseFieldExpressionList(TORQFields& List);

    // Errors at the current token (the last token's position past the end).
    void ErrorPosition(int32_t& Line, int32_t& Column) const;
    [[noreturn]] void RaiseFound(int32_t Code, std::string_view Format) const;
    [[noreturn]] void RaiseExpected(int32_t Code, std::string_view Expected) const;
    [[noreturn]] void RaiseUnexpectedEnd(int32_t Code) const;

    // A reserved word by its text.
    static bool IsWord(const TToken& Token, std::string_view Word);
    bool IsWord(std::string_view Word) const { return IsWord(FToken, Word); }
    // Operators lex as tktString but never name anything.
    static bool IsOperatorToken(const TToken& Token);
    // A parameter's value or the token's text.
    static std::string TokenValueText(const TToken& Token);

protected:
    TORQLexer& FLexer;
    TORQQuery* FQuery;
    TToken FToken;
};

// START TRANSACTION, COMMIT [... FLUSH ...] and ROLLBACK: parsed from the command's first
// token.
// Each runs on the query's database component (none without a query: 20229's check is
// the database's own).
class TORQSQLStartTransaction : public TORQSQLCommand {
public:
    TORQSQLStartTransaction(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
};

class TORQSQLCommit : public TORQSQLCommand {
public:
    TORQSQLCommit(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    bool Flush = false;
};

class TORQSQLRollback : public TORQSQLCommand {
public:
    TORQSQLRollback(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
};

// Statement kinds whose classes other units register.
enum class TORQStatementKind : uint8_t {
    Insert, Update, Delete, CreateTable, CreateIndex, DropTable, DropIndex, AlterTable, RenameTable, TruncateTable
};
// Makes a parsed statement; the lexer's current token is the last word the dispatch read
// (for RENAME: the token after RENAME [TABLE], which may be the end).
using TORQStatementFactory = std::function<std::unique_ptr<TORQSQLCommand>(TORQLexer& Lexer, TORQQuery* Query)>;
// An empty factory unregisters the kind.
void RegisterStatementClass(TORQStatementKind Kind, TORQStatementFactory Factory);

class TORQSQLProcessor {
public:
    explicit TORQSQLProcessor(TORQQuery* Query);
    TORQSQLProcessor(const TORQSQLProcessor&) = delete;
    TORQSQLProcessor& operator=(const TORQSQLProcessor&) = delete;
    ~TORQSQLProcessor();

    void SetSQLText(std::string_view Text) { FSQLText = std::string(Text); }
    const std::string& SQLText() const { return FSQLText; }
    TORQSQLParams& Params() { return FParams; }

    // Moves Lexer to its next command and makes that command's statement (30145 for a
    // lexer without commands, 30146, 30147-30154, 30353, 20260, 30941). False when no
    // command is left.
    bool ParseNextStatement(TORQLexer& Lexer);
    // The statement of the command parsed last; none before the first.
    TORQSQLCommand* Statement() const { return FStatement.get(); }

    // Runs the whole text: the 64-bit sum of rows affected in RowsAffected, and the last
    // command's result cursor set to its start (none when it has none).
    TORQCursor* ExecuteSQL();
    void ExecuteSQLNoResult() { ExecuteSQL(); }

    bool RequestLive = false;
    bool InMemory = false;
    bool ReadOnly = false;
    int64_t RowsAffected = 0;
    // How many statements this processor has parsed.
    int64_t ParseCount() const { return FParseCount; }

private:
    // Whether the statement just parsed from FLexer can run again with new values.
    bool CanReuseStatement() const;

    TORQQuery* FQuery;
    std::string FSQLText;
    TORQSQLParams FParams;
    std::unique_ptr<TORQLexer> FLexer;
    std::unique_ptr<TORQSQLCommand> FStatement;
    int64_t FParseCount = 0;
    bool FReusable = false;
};

}  // namespace orq
