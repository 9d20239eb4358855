// The data-changing statements INSERT, UPDATE and DELETE, and AssignValueToField.
//
// Rules kept here:
// - Every change goes through a TORQTable component and its cursor, never storage.
// - A statement that fails leaves every table it changed as it was before it started.
//   On a disk table outside a transaction the cursor's write batch discards the
//   statement's pages; elsewhere (inside a transaction, MEMORY tables, whose records
//   change in place) the statement keeps an undo list of its own changes, in a TEMP
//   table that spills to temporary files like any result, and plays it back in reverse
//   order before the error passes on. An undo that fails too raises 30950 naming both,
//   and inside a transaction marks it so that COMMIT is refused.
// - UPDATE and DELETE collect the matching positions before the first change and then
//   change each by position, so a changed key never meets the walk again; their FROM
//   must name the base table alone (30951), checked before anything changes.
// - DELETE deletes through its live result when the result's cursor holds the matching
//   records as a set (a filtered cursor whose record bitmap is complete); otherwise
//   through a second component over the table, by bookmark.
// - UPDATE evaluates every value of a record against the record as it was before any
//   of its fields is written.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/sql/ORQSQLProcessor.h"

namespace classlib {
class TField;
}

namespace orq {

class TORQExpression;
class TORQSQLSelect;
class TORQVariant;

// Writes Value into Field by the field's class: no value at all raises 30359, Null
// clears, integers and date-times by their own setters, memo text without its
// terminator (any other value converted to text first), BLOB and graphic fields the
// value's bytes (text without its terminator), everything else as a variant.
void AssignValueToField(TORQVariant* Value, classlib::TField& Field);

class TORQSQLInsert : public TORQSQLCommand {
public:
    TORQSQLInsert(TORQLexer& Lexer, TORQQuery* Query);
    ~TORQSQLInsert() override;
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;

    bool InMemoryTable = false;
    std::string DatabaseFileName;
    std::string TableName;
    std::string Password;
    std::vector<std::string> Columns;
    std::vector<std::vector<std::unique_ptr<TORQExpression>>> Rows;
    std::unique_ptr<TORQSQLSelect> SourceQuery;

private:
    void Parse();
    void ParseValues();
    // Where each VALUES row (its '(') and the source query (its SELECT) stand, for the
    // errors found while executing.
    std::vector<std::pair<int32_t, int32_t>> RowPositions;
    int32_t SourceLine = 0, SourceColumn = 0;
};

class TORQSQLUpdate : public TORQSQLCommand {
public:
    TORQSQLUpdate(TORQLexer& Lexer, TORQQuery* Query);
    ~TORQSQLUpdate() override;
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;

    bool InMemoryTable = false;
    std::string DatabaseFileName;
    std::string TableName;
    std::string Password;
    std::string Alias;
    std::vector<std::string> Columns;
    std::vector<std::unique_ptr<TORQExpression>> Values;
    bool RowForm = false;
    std::unique_ptr<TORQExpression> RowSubquery;

private:
    void Parse();
    // A column name at the current token, a leading "table." qualifier dropped.
    std::string ParseColumn(int32_t Code);
    std::unique_ptr<TORQLexer> FInternalLexer;
    std::unique_ptr<TORQSQLSelect> FInternalQuery;
};

class TORQSQLDelete : public TORQSQLCommand {
public:
    TORQSQLDelete(TORQLexer& Lexer, TORQQuery* Query);
    ~TORQSQLDelete() override;
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;

private:
    std::unique_ptr<TORQLexer> FInternalLexer;
    std::unique_ptr<TORQSQLSelect> FInternalQuery;
};

// Registers INSERT, UPDATE and DELETE with the processor (the engine's start calls it).
void InstallDataStatements();

}  // namespace orq
