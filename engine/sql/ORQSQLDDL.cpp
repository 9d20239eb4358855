// The definition statements: their grammar, the column definitions and index clauses as
// written, and their execution through the table component.
#include "engine/sql/ORQSQLDDL.h"

#include <limits>

#include "classlib/DBCommon.h"
#include "engine/access/ORQAdvDefs.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprParser.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQCursor.h"

namespace orq {

namespace {

constexpr std::string_view kTokenExpected = "Token '%s' expected, but '%s' found at line %d, column %d";
constexpr std::string_view kFieldNameExpected = "Field name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kListSymbolExpected = "')' or ',' symbol expected, but '%s' found at line %d, column %d";
constexpr std::string_view kIntegerExpected = "Integer expected, but '%s' found at line %d, column %d";
constexpr std::string_view kIndexKeywordExpected = "'INDEX' keyword expected, but '%s' found at line %d, column %d";
constexpr std::string_view kPasswordExpected =
    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d";

bool InKinds(TTokenKinds Kinds, TTokenKind Kind) { return (Kinds & TokenKindBit(Kind)) != 0; }

bool IsSizedType(uint8_t T) { return (T >= 1 && T <= 4) || T == 29 || T == 30; }
bool IsAutoincType(uint8_t T) { return T >= 12 && T <= 19; }

std::string Upper(const std::string& S) { return AnsiUpperCase(S); }

std::string JoinNames(const std::vector<TSQLIndexColumn>& Columns, char Separator, int Which) {
    std::string s;
    for (const TSQLIndexColumn& c : Columns) {
        if (Which == 1 && !c.Descending) continue;
        if (Which == 2 && !c.CaseInsensitive) continue;
        if (!s.empty()) s += Separator;
        s += c.Name;
    }
    return s;
}

template <typename F>
void Wrapped(int32_t Code, std::string_view Format, F&& Body) {
    try {
        Body();
    } catch (const classlib::Exception& e) {
        RaiseNativeFmt(Code, Format, {e.Message()});
    } catch (const std::exception& e) {
        RaiseNativeFmt(Code, Format, {std::string(e.what())});
    }
}

struct TFreeTable {
    std::unique_ptr<TORQTable>& Table;
    std::unique_ptr<TORQDatabase>& Database;
    ~TFreeTable() { TORQSQLCommand::FreeTableAndDatabase(Table, Database); }
};

}  // namespace

// ---------------------------------------------------------------------------------
// Shared parse services

void TORQDDLTableManipulation::ParseEnd(bool AtCurrent) {
    if (AtCurrent ? GetCurrentToken() : GetNextToken())
        RaiseFound(30246, "Unexpected token '%s' found at line %d, column %d");
}

int64_t TORQDDLTableManipulation::ReadInteger(int32_t NotIntegerCode, int32_t RangeCode) {
    ExpectNextToken(0, 30161, "");
    bool negative = false;
    if (FToken.Kind == tktString && FToken.Text == "-") {
        negative = true;
        ExpectNextToken(0, 30161, "");
    }
    if (FToken.Kind != tktInt) RaiseFound(NotIntegerCode, kIntegerExpected);
    try {
        std::size_t used = 0;
        const std::string text = (negative ? "-" : "") + FToken.Text;
        const long long v = std::stoll(text, &used);
        if (used != text.size()) throw std::out_of_range("");
        return static_cast<int64_t>(v);
    } catch (const std::exception&) {
        RaiseFound(RangeCode, kIntegerExpected);
    }
}

void TORQDDLTableManipulation::CheckOptionEnd() {
    if (!GetNextToken()) return;
    if (!InKinds(tksNamesOrReserved | TokenKindBit(tktComma) | TokenKindBit(tktRightParenthesis), FToken.Kind))
        RaiseFound(30229, kListSymbolExpected);
}

void TORQDDLTableManipulation::ParseColumnList() {
    if (FToken.Kind != tktLeftParenthesis) RaiseExpected(30226, "(");
    for (;;) {
        if (!GetNextToken()) return;
        if (!InKinds(tksNamesOrReserved, FToken.Kind)) RaiseFound(30227, kFieldNameExpected);
        if (IsWord("PRIMARY") || IsWord("UNIQUE") || IsWord("INDEX")) ParseTableConstraint();
        else ParseColumnDefinition();
        if (FToken.Kind == tktRightParenthesis || FToken.Kind == tktNone) return;
        if (FToken.Kind != tktComma) RaiseFound(30229, kListSymbolExpected);
    }
}

void TORQDDLTableManipulation::ParseColumnDefinition() {
    TSQLFieldDef& def = *FieldDefs.Add();
    if (IsWord("IF")) {
        ExpectNextToken(0, 30161, "");
        if (!IsWord("NOT")) RaiseExpected(30488, "NOT");
        ExpectNextToken(0, 30161, "");
        if (!IsWord("EXISTS")) RaiseExpected(30489, "EXISTS");
        ExpectNextToken(tksNamesOrReserved, 30227, kFieldNameExpected);
        def.IfNotExists = true;
    }
    def.Name = FToken.Text;
    ExpectNextToken(tksNames | TokenKindBit(tktReservedWord), 30228,
                    "Field type expected, but '%s' found at line %d, column %d");
    ParseType(def);
    // Options until ',' or ')'.
    while (FToken.Kind != tktComma && FToken.Kind != tktRightParenthesis && FToken.Kind != tktNone) {
        if (IsWord("NOT")) {
            if (!GetNextToken() || FToken.Kind != tktReservedWord) {
                GetCurrentToken();
                RaiseUnexpectedEnd(30237);
            }
            if (!IsWord("NULL")) RaiseFound(2011, "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d");
            def.RequiredGiven = true;
            def.Required = true;
            CheckOptionEnd();
        } else if (IsWord("NULL")) {
            def.RequiredGiven = true;
            def.Required = false;
            CheckOptionEnd();
        } else if (IsWord("BLOBBLOCKSIZE")) {
            def.BlobBlockSizeGiven = true;
            def.BlobBlockSize = static_cast<int32_t>(ReadInteger(30292, 30291));
            CheckOptionEnd();
        } else if (IsWord("BLOBCOMPRESSIONMODE")) {
            def.CompressionModeGiven = true;
            def.CompressionMode = static_cast<uint8_t>(ReadInteger(30292, 30291));
            CheckOptionEnd();
        } else if (IsWord("BLOBCOMPRESSIONALGORITHM")) {
            ExpectNextToken(0, 30161, "");
            const uint8_t a = CompressionAlgorithmByName(FToken.Text);
            if (a == 0 && Upper(FToken.Text) != "NONE")
                RaiseFound(30952, "Unknown compression algorithm '%s' at line %d, column %d");
            def.CompressionAlgorithmGiven = true;
            def.CompressionAlgorithm = a;
            CheckOptionEnd();
        } else if (IsWord("DEFAULT")) {
            ParseDefault(def);
        } else if (IsWord("MINVALUE") || IsWord("MAXVALUE")) {
            const bool min = IsWord("MINVALUE");
            const int64_t v = ReadInteger(30292, 30291);
            TORQVariant& target = min ? def.MinValue : def.MaxValue;
            target.Clear(0);
            target.SetAsLargeInt(v);
            (min ? def.MinValueGiven : def.MaxValueGiven) = true;
            GetNextToken();
        } else if (IsWord("NOMINVALUE") || IsWord("NOMAXVALUE")) {
            const bool min = IsWord("NOMINVALUE");
            (min ? def.MinValue : def.MaxValue).Clear(0);
            (min ? def.MinValueGiven : def.MaxValueGiven) = true;
            GetNextToken();
        } else if (IsWord("PRIMARY") || IsWord("UNIQUE")) {
            TSQLIndexClause clause;
            clause.Primary = IsWord("PRIMARY");
            clause.Unique = !clause.Primary;
            clause.Columns.push_back({def.Name, false, false});
            IndexClauses.push_back(std::move(clause));
            GetNextToken();
            if (IsWord("KEY")) GetNextToken();
        } else {
            // A word this dialect does not know would read as a constraint that is not there.
            RaiseFound(30229, kListSymbolExpected);
        }
    }
}

void TORQDDLTableManipulation::ParseType(TSQLFieldDef& Def) {
    const uint8_t type = AdvancedTypeByName(Upper(FToken.Text));
    if (type == 0) RaiseFound(30232, "Unknown field type '%s' at line %d, column %d");
    Def.TypeGiven = true;
    Def.DataType = type;
    Def.SizeGiven = true;
    Def.Size = 0;
    if (IsSizedType(type)) {
        if (!GetNextToken() || FToken.Kind != tktLeftParenthesis)
            RaiseFound(30233, "'(' symbol expected, but '%s' found at line %d, column %d");
        if (!GetNextToken() || FToken.Kind != tktInt)
            RaiseFound(30235, "Decimal constant expected, but '%s' found at line %d, column %d");
        try {
            Def.Size = std::stoi(FToken.Text);
        } catch (const std::exception&) {
            RaiseFound(30235, "Decimal constant expected, but '%s' found at line %d, column %d");
        }
        if (!GetNextToken() || FToken.Kind != tktRightParenthesis) RaiseFound(30236, kListSymbolExpected);
        CheckOptionEnd();
        return;
    }
    GetNextToken();
    if (IsAutoincType(type) && FToken.Kind == tktLeftParenthesis) ParseAutoincOptions(Def);
    else if (FToken.Kind != tktNone && !InKinds(tksNamesOrReserved | TokenKindBit(tktComma) |
                                                     TokenKindBit(tktRightParenthesis), FToken.Kind))
        RaiseFound(30229, kListSymbolExpected);
}

void TORQDDLTableManipulation::ParseAutoincOptions(TSQLFieldDef& Def) {
    const bool plain = Def.DataType == AdvancedTypeByName("AUTOINC");
    for (;;) {
        if (!GetNextToken()) RaiseUnexpectedEnd(30290);
        if (FToken.Kind == tktRightParenthesis) break;
        if (FToken.Kind == tktComma) continue;
        if (IsWord("INCREMENT")) {
            Def.IncrementGiven = true;
            Def.Increment = ReadInteger(30292, 30291);
        } else if (IsWord("INITIALVALUE") || IsWord("STARTVALUE")) {
            Def.InitialValueGiven = true;
            Def.InitialValue = ReadInteger(30292, 30291);
        } else if (IsWord("MINVALUE")) {
            Def.AutoincMinGiven = true;
            Def.AutoincMin = ReadInteger(30292, 30291);
        } else if (IsWord("MAXVALUE")) {
            Def.AutoincMaxGiven = true;
            Def.AutoincMax = ReadInteger(30292, 30291);
        } else if (IsWord("CYCLED") || IsWord("NOCYCLED")) {
            Def.CycledGiven = true;
            Def.Cycled = IsWord("CYCLED");
        } else if (IsWord("NOMAXVALUE")) {
            Def.AutoincMaxGiven = true;
            Def.AutoincMax = std::numeric_limits<int64_t>::max();
        } else if (IsWord("NOMINVALUE")) {
            Def.AutoincMinGiven = true;
            Def.AutoincMin = 0;
        } else if (plain) {
            const uint8_t t = AdvancedTypeByName(Upper(FToken.Text));
            static const char* const kPlain[] = {"SHORTINT", "SMALLINT", "INTEGER", "LARGEINT",
                                                 "BYTE",     "WORD",     "CARDINAL"};
            static const char* const kAuto[] = {"AUTOINCSHORTINT", "AUTOINCSMALLINT", "AUTOINC", "AUTOINCLARGEINT",
                                                "AUTOINCBYTE",     "AUTOINCWORD",     "AUTOINCCARDINAL"};
            uint8_t mapped = 0;
            if (IsAutoincType(t)) mapped = t;
            for (int i = 0; i < 7 && mapped == 0 && t != 0; ++i)
                if (AdvancedTypeByName(kPlain[i]) == t) mapped = AdvancedTypeByName(kAuto[i]);
            if (mapped == 0) RaiseFound(30295, "Unsupported Autoinc DataType (%s) found at line %d, column %d");
            Def.DataType = mapped;
        } else {
            RaiseFound(30294, "Unexpected token '%s' found at line %d, column %d");
        }
    }
    CheckOptionEnd();
}

void TORQDDLTableManipulation::ParseDefault(TSQLFieldDef& Def) {
    const std::string column = Def.Name;
    if (Def.DefaultDeclared) RaiseNativeFmt(30299, "default value for column '%s' declared twice", {column});
    ExpectNextToken(0, 30161, "");
    std::string word = Upper(FToken.Text);
    if (word.size() >= 2 && word.front() == '\'' && word.back() == '\'') word = word.substr(1, word.size() - 2);
    Def.DefaultDeclared = true;
    Def.DefaultValue.Clear(0);
    if (word == "NOW" || word == "CURRENT_TIMESTAMP" || word == "CURRENT_TIME" || word == "CURRENT_DATE" ||
        word == "SYSDATE") {
        Def.DefaultValue.SetAsString(word);
        CheckOptionEnd();
        return;
    }
    if (FToken.Kind == tktQuotedString) {
        Def.DefaultValue.SetAsString("\"" + FToken.Text + "\"");
        CheckOptionEnd();
        return;
    }
    if (IsWord("NULL")) {
        // No default at all.
        CheckOptionEnd();
        return;
    }
    TORQExpression e;
    e.InMemory = InMemory;
    const TToken at = FToken;
    e.ParseValueExpression(FQuery, FLexer);
    GetCurrentToken();
    auto fail = [&] {
        int32_t line, column;
        FLexer.ErrorPosition(at, line, column);
        RaiseNativeFmt(30297, "Error parsing parameter '%s' at line %d, column %d", {at.Text, line, column});
    };
    if (e.Root() == nullptr) fail();
    try {
        TORQVariant* v = e.GetValue(true);
        if (v == nullptr) fail();
        if (v->IsNull()) return;
        // The evaluated value's own type decides the default's form.
        if (v->DataType() >= bdtShortInt && v->DataType() <= bdtCardinal) {
            Def.DefaultValue.SetAsLargeInt(v->GetAsLargeInt());
        } else if (v->IsNumeric()) {
            Def.DefaultValue.SetAsDouble(v->GetAsDouble());
        } else {
            Def.DefaultValue.SetAsString(v->GetAsString());
        }
    } catch (const EORQException&) {
        fail();
    }
}

void TORQDDLTableManipulation::ParseIndexColumns(TSQLIndexClause& Clause) {
    // The current token is '('.
    for (;;) {
        if (!GetNextToken() || !InKinds(tksNamesOrReserved, FToken.Kind)) RaiseFound(30274, kFieldNameExpected);
        TSQLIndexColumn c;
        c.Name = FToken.Text;
        for (;;) {
            ExpectNextToken(0, 30161, "");
            if (IsWord("ASC")) c.Descending = false;
            else if (IsWord("DESC")) c.Descending = true;
            else if (IsWord("CASE")) c.CaseInsensitive = false;
            else if (IsWord("NOCASE")) c.CaseInsensitive = true;
            else break;
        }
        Clause.Columns.push_back(std::move(c));
        if (FToken.Kind == tktRightParenthesis) break;
        if (FToken.Kind != tktComma) RaiseFound(30274, kFieldNameExpected);
    }
    GetNextToken();
}

void TORQDDLTableManipulation::ParseTableConstraint() {
    TSQLIndexClause clause;
    if (IsWord("PRIMARY")) {
        clause.Primary = true;
        ExpectNextToken(0, 30161, "");
        if (IsWord("KEY")) ExpectNextToken(0, 30161, "");
        if (FToken.Kind != tktLeftParenthesis) {
            clause.Name = FToken.Text;
            ExpectNextToken(0, 30161, "");
        }
    } else {
        if (IsWord("UNIQUE")) {
            clause.Unique = true;
            ExpectNextToken(0, 30161, "");
            if (FToken.Kind != tktReservedWord) RaiseFound(30267, kIndexKeywordExpected);
            if (!IsWord("INDEX")) RaiseFound(30268, kIndexKeywordExpected);
        }
        ExpectNextToken(0, 30161, "");
        if (FToken.Kind != tktLeftParenthesis) {
            if (!InKinds(tksNamesOrReserved, FToken.Kind))
                RaiseFound(30269, "index name expected, but '%s' found at line %d, column %d");
            clause.Name = FToken.Text;
            ExpectNextToken(0, 30161, "");
        }
    }
    if (FToken.Kind != tktLeftParenthesis) RaiseExpected(30226, "(");
    ParseIndexColumns(clause);
    IndexClauses.push_back(std::move(clause));
}

// ---------------------------------------------------------------------------------
// Shared execution services

void TORQDDLTableManipulation::CopyGivenParts(const TSQLFieldDef& Def, TORQAdvFieldDef& Target) {
    Target.Name = Def.Name;
    if (Def.TypeGiven) Target.DataType = Def.DataType;
    if (Def.SizeGiven) Target.Size = Def.Size;
    if (Def.RequiredGiven) Target.Required = Def.Required;
    if (Def.IncrementGiven) Target.AutoincIncrement = Def.Increment;
    if (Def.InitialValueGiven) Target.AutoincInitialValue = Def.InitialValue;
    if (Def.AutoincMinGiven) Target.AutoincMinValue = Def.AutoincMin;
    if (Def.AutoincMaxGiven) Target.AutoincMaxValue = Def.AutoincMax;
    if (Def.CycledGiven) Target.AutoincCycled = Def.Cycled;
    if (Def.BlobBlockSizeGiven) Target.BlobBlockSize = Def.BlobBlockSize;
    if (Def.CompressionAlgorithmGiven) Target.BlobCompressionAlgorithm = Def.CompressionAlgorithm;
    if (Def.CompressionModeGiven) Target.BlobCompressionMode = Def.CompressionMode;
    if (Def.DefaultDeclared) Target.DefaultValue.Assign(Def.DefaultValue, true);
    if (Def.MinValueGiven) Target.MinValue.Assign(Def.MinValue, true);
    if (Def.MaxValueGiven) Target.MaxValue.Assign(Def.MaxValue, true);
}

std::unique_ptr<TORQTable> TORQDDLTableManipulation::OpenTargetTable(TORQQuery* Query, bool WithColumns,
                                                                     std::unique_ptr<TORQDatabase>& Database) {
    auto table = std::make_unique<TORQTable>();
    const std::string session = Query != nullptr ? Query->SessionName() : std::string();
    if (!DatabaseFileName.empty()) {
        Database = std::make_unique<TORQDatabase>(nullptr);
        Database->SetSessionName(session);
        Database->SetDatabaseFileName(DatabaseFileName);
        if (Query != nullptr && Query->Database() != nullptr)
            Database->DisableTempFiles = Query->Database()->DisableTempFiles;
        Database->SilentMode = true;
        Database->Password = Password;
        for (;;) {
            try {
                Database->SetDatabaseName(MakeUniqueName("ExternalDb"));
                break;
            } catch (const classlib::EDatabaseError&) {
            }
        }
        table->SetDatabaseName(Database->DatabaseName());
    } else if (Query != nullptr) {
        table->SetDatabaseName(Query->DatabaseName());
    }
    table->SetSessionName(session);
    table->SetTableName(TableName);
    if (InMemoryTable || (Query != nullptr && Query->InMemory())) table->SetInMemory(true);
    if (WithColumns) {
        table->AdvFieldDefs().Clear();
        for (int32_t i = 0; i < FieldDefs.Count(); ++i) CopyGivenParts(*FieldDefs.Items(i), *table->AdvFieldDefs().Add());
    }
    return table;
}

void TORQDDLTableManipulation::BuildIndexDefs(TORQTable& Table) {
    Table.IndexDefs().Clear();
    for (const TSQLIndexClause& clause : IndexClauses) {
        std::string name = clause.Name;
        if (name.empty()) {
            name = clause.Primary ? "C_PK" : clause.Unique ? "C_Unique" : "i";
            for (const TSQLIndexColumn& c : clause.Columns) name += "$" + c.Name;
        }
        for (TORQAdvIndexDefs* defs : {&Table.AdvIndexDefs(), &Table.RestructureIndexDefs()}) {
            TORQAdvIndexDef& d = *defs->Add();
            d.Name = name;
            d.Fields = JoinNames(clause.Columns, ',', 0);
            d.DescFields = JoinNames(clause.Columns, ',', 1);
            d.CaseInsFields = JoinNames(clause.Columns, ',', 2);
            d.Options = clause.Primary ? classlib::ixPrimary : clause.Unique ? classlib::ixUnique : 0;
        }
    }
}

// ---------------------------------------------------------------------------------
// CREATE, DROP and TRUNCATE TABLE

TORQDDLCreateTable::TORQDDLCreateTable(TORQLexer& Lexer, TORQQuery* Query) : TORQDDLTableManipulation(Lexer, Query) {
    if (!GetNextToken()) RaiseNative(30249, "Blank SQL command");
    if (IsWord("IF")) {
        ExpectNextToken(0, 30161, "");
        if (!IsWord("NOT")) RaiseExpected(30486, "NOT");
        ExpectNextToken(0, 30161, "");
        if (!IsWord("EXISTS")) RaiseExpected(30487, "EXISTS");
        IfNotExists = true;
        GetNextToken();
    }
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    ParseColumnList();
    ParseEnd(false);
}

void TORQDDLCreateTable::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table = OpenTargetTable(Query, true, database);
    TFreeTable free{table, database};
    if (table->Exists()) {
        if (IfNotExists) return;
        RaiseNativeFmt(30247, "Cannot create table. Table '%s' already exists", {TableName});
    }
    // A column named twice would leave one definition shadowing the other.
    for (int32_t i = 0; i < FieldDefs.Count(); ++i)
        for (int32_t j = 0; j < i; ++j)
            if (Upper(FieldDefs.Items(i)->Name) == Upper(FieldDefs.Items(j)->Name))
                RaiseNativeFmt(30248, "Error creating table: '%s'",
                               {"Field by name '" + FieldDefs.Items(i)->Name + "' already exists"});
    Wrapped(30248, "Error creating table: '%s'", [&] {
        BuildIndexDefs(*table);
        table->CreateTable();
    });
}

TORQDDLDropTable::TORQDDLDropTable(TORQLexer& Lexer, TORQQuery* Query) : TORQDDLTableManipulation(Lexer, Query) {
    if (!GetNextToken()) RaiseNative(30251, "Blank SQL command");
    if (IsWord("IF")) {
        ExpectNextToken(0, 30161, "");
        if (!IsWord("EXISTS")) RaiseExpected(30485, "EXISTS");
        GetNextToken();
        IfExists = true;
    }
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    ParseEnd(true);
}

void TORQDDLDropTable::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table = OpenTargetTable(Query, false, database);
    TFreeTable free{table, database};
    Wrapped(30250, "Error dropping table: '%s'", [&] {
        if (table->Exists()) table->DeleteTable();
    });
}

TORQDDLTruncateTable::TORQDDLTruncateTable(TORQLexer& Lexer, TORQQuery* Query)
    : TORQDDLTableManipulation(Lexer, Query) {
    if (!GetNextToken()) RaiseNative(30490, "Blank SQL command");
    if (IsWord("TABLE")) ExpectNextToken(0, 30161, "");
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    ParseEnd(true);
}

void TORQDDLTruncateTable::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table = OpenTargetTable(Query, false, database);
    TFreeTable free{table, database};
    Wrapped(30491, "Error truncating table: '%s'", [&] {
        // A disk table is emptied through the transaction's pages, so a ROLLBACK brings
        // it back; a MEMORY table is emptied in place, which nothing could undo.
        TORQDatabase* db = database ? database.get() : (Query != nullptr ? Query->Database() : nullptr);
        if (table->InMemory() && db != nullptr && db->Connected() && db->InTransaction())
            RaiseNativeFmt(30953, "Cannot perform '%s' operation on a database in transaction", {"EmptyTable"});
        table->EmptyTable();
    });
}

// ---------------------------------------------------------------------------------
// ALTER and RENAME TABLE

TORQDDLAlterTable::TORQDDLAlterTable(TORQLexer& Lexer, TORQQuery* Query, TRenameOnly)
    : TORQDDLTableManipulation(Lexer, Query) {}

TORQDDLAlterTable::TORQDDLAlterTable(TORQLexer& Lexer, TORQQuery* Query) : TORQDDLTableManipulation(Lexer, Query) {
    if (!GetNextToken()) RaiseNative(30261, "Blank SQL command");
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    constexpr std::string_view kAction = "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d";
    if (FToken.Kind != tktReservedWord) RaiseFound(30253, kAction);
    if (IsWord("ADD") || IsWord("MODIFY")) {
        Action = IsWord("ADD") ? TORQAlterAction::Add : TORQAlterAction::Modify;
        ExpectNextToken(0, 30161, "");
        ParseColumnList();
        ParseEnd(false);
    } else if (IsWord("DROP")) {
        Action = TORQAlterAction::Drop;
        ExpectNextToken(0, 30161, "");
        if (FToken.Kind == tktLeftParenthesis) {
            ExpectNextToken(0, 30161, "");
            ParseFieldNameList(DropColumns);
            if (FToken.Kind != tktRightParenthesis) RaiseFound(30229, kListSymbolExpected);
            ParseEnd(false);
        } else if (IsWord("COLUMN")) {
            ExpectNextToken(tksNamesOrReserved, 30227, kFieldNameExpected);
            DropColumns.push_back(FToken.Text);
            ParseEnd(false);
        } else {
            RaiseExpected(30226, "(");
        }
    } else if (IsWord("RENAME")) {
        ExpectNextToken(0, 30161, "");
        if (IsWord("TO")) {
            Action = TORQAlterAction::RenameTable;
            ExpectNextToken(tksTableNames, 30231, "Table name expected, but '%s' found at line %d, column %d");
            NewTableName = TokenValueText(FToken);
        } else {
            Action = TORQAlterAction::RenameColumn;
            if (IsWord("COLUMN")) ExpectNextToken(0, 30161, "");
            if (!InKinds(tksNamesOrReserved, FToken.Kind)) RaiseFound(30227, kFieldNameExpected);
            OldNames.push_back(FToken.Text);
            ExpectNextToken(0, 30161, "");
            if (!IsWord("TO")) RaiseExpected(30352, "TO");
            ExpectNextToken(tksNamesOrReserved, 30227, kFieldNameExpected);
            NewNames.push_back(FToken.Text);
        }
        ParseEnd(false);
    } else {
        RaiseFound(30252, kAction);
    }
}

TORQDDLRenameTable::TORQDDLRenameTable(TORQLexer& Lexer, TORQQuery* Query)
    : TORQDDLAlterTable(Lexer, Query, TRenameOnly{}) {
    if (!GetCurrentToken()) RaiseNative(30354, "Blank SQL command");
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    if (!IsWord("TO")) RaiseExpected(30355, "TO");
    ExpectNextToken(tksTableNames, 30231, "Table name expected, but '%s' found at line %d, column %d");
    NewTableName = TokenValueText(FToken);
    Action = TORQAlterAction::RenameTable;
    ParseEnd(false);
}

void TORQDDLAlterTable::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table = OpenTargetTable(Query, false, database);
    TFreeTable free{table, database};
    Wrapped(30265, "Error altering table: '%s'", [&] {
        table->Open();
        table->Close();
        TORQAdvFieldDefs& defs = table->RestructureFieldDefs();
        switch (Action) {
            case TORQAlterAction::Add:
                for (int32_t i = 0; i < FieldDefs.Count(); ++i) {
                    const TSQLFieldDef& d = *FieldDefs.Items(i);
                    bool twice = false;
                    for (int32_t j = 0; j < i; ++j) twice = twice || Upper(FieldDefs.Items(j)->Name) == Upper(d.Name);
                    if (defs.Find(d.Name) != nullptr || twice) {
                        if (d.IfNotExists) continue;
                        RaiseNativeFmt(30351, "Field by name '%s' already exists", {d.Name});
                    }
                    CopyGivenParts(d, *defs.Add());
                }
                if (!IndexClauses.empty()) BuildIndexDefs(*table);
                break;
            case TORQAlterAction::Drop:
                for (const std::string& n : DropColumns) defs.Delete(n);
                break;
            case TORQAlterAction::Modify:
                for (int32_t i = 0; i < FieldDefs.Count(); ++i) {
                    const TSQLFieldDef& d = *FieldDefs.Items(i);
                    TORQAdvFieldDef* target = defs.Find(d.Name);
                    if (target == nullptr) RaiseNativeFmt(30259, "Field '%s' not found", {d.Name});
                    const std::string name = target->Name;
                    CopyGivenParts(d, *target);
                    target->Name = name;
                }
                if (!IndexClauses.empty()) BuildIndexDefs(*table);
                break;
            case TORQAlterAction::RenameColumn:
                for (std::size_t i = 0; i < OldNames.size(); ++i) table->RenameField(OldNames[i], NewNames[i]);
                return;
            case TORQAlterAction::RenameTable:
                table->RenameTable(NewTableName);
                return;
        }
        std::string error;
        if (!table->RestructureTable(error)) RaiseNativeFmt(30347, "Restructure table error: '%s'", {error});
    });
}

// ---------------------------------------------------------------------------------
// CREATE and DROP INDEX

TORQDDLCreateIndex::TORQDDLCreateIndex(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    if (!GetCurrentToken()) RaiseNative(30266, "Blank SQL command");
    if (IsWord("UNIQUE")) {
        Unique = true;
        if (!GetNextToken() || FToken.Kind != tktReservedWord) RaiseFound(30267, kIndexKeywordExpected);
    }
    if (!IsWord("INDEX")) RaiseFound(30268, kIndexKeywordExpected);
    if (!GetNextToken() || !InKinds(tksNamesOrReserved, FToken.Kind))
        RaiseFound(30269, "index name expected, but '%s' found at line %d, column %d");
    IndexName = FToken.Text;
    constexpr std::string_view kOn = "'ON' keyword expected, but '%s' found at line %d, column %d";
    if (!GetNextToken() || FToken.Kind != tktReservedWord) RaiseFound(30270, kOn);
    if (!IsWord("ON")) RaiseFound(30271, kOn);
    ExpectNextToken(0, 30161, "");
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    if (FToken.Kind != tktLeftParenthesis)
        RaiseFound(30273, "'(' symbol expected, but '%s' found at line %d, column %d");
    for (;;) {
        if (!GetNextToken() || !InKinds(tksNamesOrReserved, FToken.Kind)) RaiseFound(30274, kFieldNameExpected);
        if (IsWord("PASSWORD")) {
            if (!GetNextToken() || !InKinds(tksQuotedValues, FToken.Kind)) RaiseFound(30275, kPasswordExpected);
            Password = TokenValueText(FToken);
            if (!GetNextToken() || (FToken.Kind != tktComma && FToken.Kind != tktRightParenthesis))
                RaiseFound(30276, kListSymbolExpected);
        } else {
            TSQLIndexColumn c;
            c.Name = FToken.Text;
            while (GetNextToken() && FToken.Kind != tktComma && FToken.Kind != tktRightParenthesis) {
                if (IsWord("ASC")) c.Descending = false;
                else if (IsWord("DESC")) c.Descending = true;
                else if (IsWord("CASE")) c.CaseInsensitive = false;
                else if (IsWord("NOCASE")) c.CaseInsensitive = true;
            }
            Columns.push_back(std::move(c));
        }
        if (FToken.Kind == tktRightParenthesis) break;
        if (FToken.Kind != tktComma) RaiseUnexpectedEnd(30161);
    }
    GetNextToken();
}

void TORQDDLCreateIndex::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table;
    OpenForeignTable(Query, DatabaseFileName, InMemoryTable, Password, TableName, database, table);
    TFreeTable free{table, database};
    table->Open();
    table->AddIndex(IndexName, JoinNames(Columns, ';', 0), Unique ? classlib::ixUnique : 0,
                    JoinNames(Columns, ';', 1), JoinNames(Columns, ';', 2));
    table->Close();
}

TORQDDLDropIndex::TORQDDLDropIndex(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    if (!GetNextToken()) RaiseUnexpectedEnd(30278);
    std::string alias;
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, alias);
    if (FToken.Kind == tktDot) {
        if (!GetNextToken()) RaiseUnexpectedEnd(30281);
        IndexName = TokenValueText(FToken);
        GetNextToken();
    } else {
        // db.table read the table and the index.
        IndexName = TableName;
        TableName = DatabaseFileName;
        DatabaseFileName.clear();
    }
    if (TableName.empty()) {
        int32_t line, column;
        ErrorPosition(line, column);
        RaiseNativeFmt(30498, "Table name expected, but '%s' found at line %d, column %d", {IndexName, line, column});
    }
    if (IsWord("PASSWORD")) {
        if (!GetNextToken() || !InKinds(tksQuotedValues, FToken.Kind)) RaiseFound(30282, kPasswordExpected);
        Password = TokenValueText(FToken);
        GetNextToken();
    }
}

void TORQDDLDropIndex::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> table;
    OpenForeignTable(Query, DatabaseFileName, InMemoryTable, Password, TableName, database, table);
    TFreeTable free{table, database};
    table->Open();
    table->DeleteIndex(IndexName);
    table->Close();
}

void InstallDefinitionStatements() {
    using K = TORQStatementKind;
    auto reg = [](K Kind, auto Make) {
        RegisterStatementClass(Kind, [Make](TORQLexer& Lexer, TORQQuery* Query) {
            return std::unique_ptr<TORQSQLCommand>(Make(Lexer, Query));
        });
    };
    reg(K::CreateTable, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLCreateTable(L, Q); });
    reg(K::DropTable, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLDropTable(L, Q); });
    reg(K::TruncateTable, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLTruncateTable(L, Q); });
    reg(K::AlterTable, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLAlterTable(L, Q); });
    reg(K::RenameTable, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLRenameTable(L, Q); });
    reg(K::CreateIndex, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLCreateIndex(L, Q); });
    reg(K::DropIndex, [](TORQLexer& L, TORQQuery* Q) { return new TORQDDLDropIndex(L, Q); });
}

}  // namespace orq
