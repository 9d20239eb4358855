// The table and index definition statements: CREATE, DROP, TRUNCATE, ALTER and RENAME
// TABLE, CREATE [UNIQUE] INDEX and DROP INDEX, carried out through the table component's
// maintenance operations.
//
// Rules kept here:
// - A column as written keeps a "given" flag per part: only given parts reach the
//   table's definitions, so ALTER ... MODIFY changes what it names and nothing else.
// - Every word of a column definition is an option this dialect knows; anything else
//   is an error (30229), so a constraint the engine would not keep is never silently
//   dropped.
// - ALTER TABLE checks the end of its command like the other statements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQSQLProcessor.h"

namespace orq {

class TORQTable;

class TSQLFieldDef {
public:
    std::string Name;
    bool IfNotExists = false;
    bool TypeGiven = false;
    uint8_t DataType = 0;  // advanced field type
    bool SizeGiven = false;
    int32_t Size = 0;
    bool RequiredGiven = false;
    bool Required = false;
    bool IncrementGiven = false;
    int64_t Increment = 0;
    bool InitialValueGiven = false;
    int64_t InitialValue = 0;
    bool AutoincMinGiven = false;
    int64_t AutoincMin = 0;
    bool AutoincMaxGiven = false;
    int64_t AutoincMax = 0;
    bool CycledGiven = false;
    bool Cycled = false;
    bool BlobBlockSizeGiven = false;
    int32_t BlobBlockSize = 0;
    bool CompressionAlgorithmGiven = false;
    uint8_t CompressionAlgorithm = 0;
    bool CompressionModeGiven = false;
    uint8_t CompressionMode = 0;
    bool DefaultDeclared = false;
    TORQVariant DefaultValue;
    bool MinValueGiven = false;
    TORQVariant MinValue;
    bool MaxValueGiven = false;
    TORQVariant MaxValue;
};

class TSQLFieldDefs {
public:
    TSQLFieldDef* Add() {
        FItems.push_back(std::make_unique<TSQLFieldDef>());
        return FItems.back().get();
    }
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TSQLFieldDef* Items(int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)).get(); }

private:
    std::vector<std::unique_ptr<TSQLFieldDef>> FItems;
};

struct TSQLIndexColumn {
    std::string Name;
    bool Descending = false;
    bool CaseInsensitive = false;
};

struct TSQLIndexClause {
    std::string Name;
    bool Unique = false;
    bool Primary = false;
    std::vector<TSQLIndexColumn> Columns;
};

class TORQDDLTableManipulation : public TORQSQLCommand {
public:
    using TORQSQLCommand::TORQSQLCommand;

    std::string DatabaseFileName;
    std::string TableName;
    bool InMemoryTable = false;
    std::string Password;
    std::string Alias;
    TSQLFieldDefs FieldDefs;
    std::vector<TSQLIndexClause> IndexClauses;

protected:
    void ParseColumnList();
    // 30246 when a token follows the current one (or, with AtCurrent, when the current
    // token is not the end).
    void ParseEnd(bool AtCurrent);
    // The table component for the statement, not opened; Database holds the component
    // made for a named file.
    std::unique_ptr<TORQTable> OpenTargetTable(TORQQuery* Query, bool WithColumns,
                                               std::unique_ptr<TORQDatabase>& Database);
    void BuildIndexDefs(TORQTable& Table);
    // The given parts of Def into an advanced definition.
    static void CopyGivenParts(const TSQLFieldDef& Def, class TORQAdvFieldDef& Target);

private:
    void ParseColumnDefinition();
    void ParseType(TSQLFieldDef& Def);
    void ParseAutoincOptions(TSQLFieldDef& Def);
    void ParseDefault(TSQLFieldDef& Def);
    void ParseTableConstraint();
    void ParseIndexColumns(TSQLIndexClause& Clause);
    int64_t ReadInteger(int32_t NotIntegerCode, int32_t RangeCode);
    void CheckOptionEnd();
};

class TORQDDLCreateTable : public TORQDDLTableManipulation {
public:
    TORQDDLCreateTable(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    bool IfNotExists = false;
};

class TORQDDLDropTable : public TORQDDLTableManipulation {
public:
    TORQDDLDropTable(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    bool IfExists = false;
};

class TORQDDLTruncateTable : public TORQDDLTableManipulation {
public:
    TORQDDLTruncateTable(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
};

enum class TORQAlterAction : uint8_t { Add, Drop, Modify, RenameColumn, RenameTable };

class TORQDDLAlterTable : public TORQDDLTableManipulation {
public:
    TORQDDLAlterTable(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    TORQAlterAction Action = TORQAlterAction::Add;
    std::vector<std::string> DropColumns;
    std::vector<std::string> OldNames;
    std::vector<std::string> NewNames;
    std::string NewTableName;

protected:
    // RENAME's own parse.
    struct TRenameOnly {};
    TORQDDLAlterTable(TORQLexer& Lexer, TORQQuery* Query, TRenameOnly);
};

class TORQDDLRenameTable : public TORQDDLAlterTable {
public:
    TORQDDLRenameTable(TORQLexer& Lexer, TORQQuery* Query);
};

class TORQDDLCreateIndex : public TORQSQLCommand {
public:
    TORQDDLCreateIndex(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    bool Unique = false;
    std::string IndexName;
    std::string DatabaseFileName;
    std::string TableName;
    bool InMemoryTable = false;
    std::string Password;
    std::string Alias;
    std::vector<TSQLIndexColumn> Columns;
};

class TORQDDLDropIndex : public TORQSQLCommand {
public:
    TORQDDLDropIndex(TORQLexer& Lexer, TORQQuery* Query);
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    std::string DatabaseFileName;
    std::string TableName;
    bool InMemoryTable = false;
    std::string Password;
    std::string IndexName;
};

// Registers the definition statements with the processor (the engine's start calls it).
void InstallDefinitionStatements();

}  // namespace orq
