#include "engine/sql/ORQSQLSelect.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "engine/access/ORQDatabase.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprText.h"

namespace orq {

namespace {

constexpr std::string_view kUnexpectedToken = "Unexpected token '%s' found at line %d, column %d";
constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kFieldNameExpected = "Field name expected, but '%s' found at line %d, column %d";
constexpr std::string_view kIntegerExpected = "Integer expected, but '%s' found at line %d, column %d";

constexpr TTokenKinds Bit(TTokenKind Kind) { return TokenKindBit(Kind); }
bool InKinds(TTokenKinds Kinds, TTokenKind Kind) { return (Kinds & Bit(Kind)) != 0; }

// What may start a FROM entry.
constexpr TTokenKinds kReferenceStart = tksTableNames | Bit(tktLeftParenthesis);
constexpr TTokenKinds kSortItem = tksNamesOrReserved | Bit(tktInt) | Bit(tktParameter);
constexpr TTokenKinds kSortItemAfterComma = tksNamesOrReserved | Bit(tktInt);

bool IsJoinWord(const TToken& Token) {
    for (std::string_view w : {"CROSS", "NATURAL", "INNER", "LEFT", "RIGHT", "FULL", "OUTER", "JOIN"})
        if (TORQSQLCommand::IsWord(Token, w)) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------
// TORQSQLCursorCommand

void TORQSQLCursorCommand::ParseOrderBy() {
    if (!IsWord("ORDER")) return;
    ExpectNextToken(0, 30188, "");
    if (!IsWord("BY")) RaiseExpected(30188, "BY");
    ExpectNextToken(kSortItem, 30187, kFieldNameExpected);
    for (;;) {
        TORQSortItem item;
        item.FieldName = TokenValueText(FToken);
        if (GetNextToken() && FToken.Kind == tktDot) {
            ExpectNextToken(tksNamesOrReserved, 30186, kUnexpectedToken);
            item.TableName = std::move(item.FieldName);
            item.FieldName = FToken.Text;
            GetNextToken();
        }
        if (IsWord("DESC")) {
            item.Descending = true;
            GetNextToken();
        } else if (IsWord("ASC")) {
            GetNextToken();
        }
        OrderBy.push_back(std::move(item));
        if (FToken.Kind != tktComma) return;
        ExpectNextToken(kSortItemAfterComma, 30189, kUnexpectedToken);
    }
}

std::unique_ptr<TORQExpression> TORQSQLCursorCommand::ParseCondition(const std::vector<TORQSelectListItem>* Aliases) {
    auto condition = std::make_unique<TORQExpression>();
    condition->InMemory = InMemory;
    condition->ParseSearchCondition(FQuery, FLexer);
    GetCurrentToken();
    if (Aliases != nullptr) condition->ReplaceAliases(*Aliases);
    return condition;
}

// ---------------------------------------------------------------------------------
// TORQTableReference

TORQTableReference::TORQTableReference() = default;
TORQTableReference::~TORQTableReference() = default;

void TORQTableReference::MakeJoin(std::unique_ptr<TORQTableReference> RightRef, uint8_t Type,
                                  std::unique_ptr<TORQExpression> On, std::vector<std::string> Using,
                                  bool IsNatural) {
    auto left = std::make_unique<TORQTableReference>();
    left->Kind = Kind;
    left->DatabaseFileName = std::move(DatabaseFileName);
    left->TableName = std::move(TableName);
    left->Alias = std::move(Alias);
    left->Password = std::move(Password);
    left->InMemory = InMemory;
    left->Natural = Natural;
    left->JoinType = JoinType;
    left->Left = std::move(Left);
    left->Right = std::move(Right);
    left->UsingList = std::move(UsingList);
    left->OnCondition = std::move(OnCondition);
    left->Subquery = std::move(Subquery);

    DatabaseFileName.clear();
    TableName.clear();
    Alias.clear();
    Password.clear();
    InMemory = false;
    Kind = trkJoin;
    JoinType = Type;
    Natural = IsNatural;
    Left = std::move(left);
    Right = std::move(RightRef);
    OnCondition = std::move(On);
    UsingList = std::move(Using);
}

void TORQTableReference::SetSubquery(TORQLexer& Lexer, TORQQuery* Query) {
    Kind = trkDerived;
    Subquery = std::make_unique<TORQSQLUnion>(Lexer, Query);
}

// ---------------------------------------------------------------------------------
// TORQSQLSelect

TORQSQLSelect::TORQSQLSelect(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCursorCommand(Lexer, Query) { Parse(); }

TORQSQLSelect::~TORQSQLSelect() {
    // The tree reads the references' tables and database components.
    FTree.reset();
}

void TORQSQLSelect::Parse() {
    if (!GetCurrentToken()) RaiseNative(30155, "Blank SQL command");
    if (!IsWord("SELECT")) RaiseFound(30156, "SQL token expected, but '%s' found at line %d, column %d");
    ExpectNextToken(0, 30156, "");
    if (IsWord("DISTINCT")) {
        Distinct = true;
        ExpectNextToken(0, 30156, "");
    } else if (IsWord("ALL")) {
        ExpectNextToken(0, 30156, "");
    }
    if (IsWord("TOP")) ParseTop();

    if (FToken.Kind == tktString && FToken.Text == "*") {
        SelectAll = true;
        GetNextToken();
    } else {
        for (;;) {
            ParseSelectItem();
            if (FToken.Kind != tktComma) break;
            ExpectNextToken(0, 30160, "");
        }
    }
    const std::vector<TORQSelectListItem>* aliases = SelectAll ? nullptr : &SelectList;

    if (IsWord("INTO")) ParseInto();

    if (!IsWord("FROM")) RaiseExpected(30184, "FROM");
    ExpectNextToken(kReferenceStart, 30180, kTableNameExpected);
    for (;;) {
        std::unique_ptr<TORQTableReference> reference = ParseTableReference();
        if (!reference) RaiseFound(30180, kTableNameExpected);
        From.push_back(std::move(reference));
        if (FToken.Kind != tktComma) break;
        ExpectNextToken(kReferenceStart, 30181, kTableNameExpected);
    }

    if (IsWord("WHERE")) {
        GetNextToken();
        Where = ParseCondition(aliases);
    }
    if (IsWord("GROUP")) {
        ExpectNextToken(0, 30185, "");
        if (!IsWord("BY")) RaiseExpected(30185, "BY");
        ExpectNextToken(0, 30185, "");
        ParseFieldExpressionList(GroupBy);
    }
    if (IsWord("HAVING")) {
        GetNextToken();
        Having = ParseCondition(aliases);
    }
    ParseOrderBy();
}

int32_t TORQSQLSelect::ReadTopNumber(int32_t Code) {
    ExpectNextToken(Bit(tktInt) | Bit(tktParameter), Code, kIntegerExpected);
    int32_t value = 0;
    if (FToken.Kind == tktParameter) {
        if (!FToken.ParamValue || FToken.ParamValue->IsNull()) RaiseFound(Code, kIntegerExpected);
        value = FToken.ParamValue->GetAsInteger();
        // -1 stands for "absent"; no negative count or start is a TOP.
        if (value < 0) RaiseFound(Code, kIntegerExpected);
    } else {
        try {
            const long long n = std::stoll(FToken.Text);
            if (n < 0 || n > INT32_MAX) RaiseFound(Code, kIntegerExpected);
            value = static_cast<int32_t>(n);
        } catch (const std::logic_error&) {
            RaiseFound(Code, kIntegerExpected);
        }
    }
    ExpectNextToken(0, Code, "");
    return value;
}

void TORQSQLSelect::ParseTop() {
    TopCount = ReadTopNumber(30158);
    if (FToken.Kind == tktComma) TopStart = ReadTopNumber(30159);
}

void TORQSQLSelect::ParseSelectItem() {
    TORQSelectListItem item;
    auto expression = std::make_unique<TORQExpression>();
    expression->InMemory = InMemory;
    expression->ParseValueExpression(FQuery, FLexer);
    GetCurrentToken();
    if (expression->Root() == nullptr)
        RaiseFound(30160, "Expression expected, but '%s' found at line %d, column %d");

    if (IsWord("AS")) {
        ExpectNextToken(tksNames, 30162, "Field pseudonym expected, but '%s' found at line %d, column %d");
        item.Alias = FToken.Text;
        GetNextToken();
    } else if ((FToken.Kind == tktString && !IsOperatorToken(FToken)) || FToken.Kind == tktQuotedString ||
               FToken.Kind == tktBracketedString) {
        item.Alias = FToken.Text;
        GetNextToken();
    }

    if (!expression->IsField()) {
        item.IsExpression = true;
        item.Expression = std::move(expression);
        SelectList.push_back(std::move(item));
        return;
    }
    std::string table, field;
    expression->GetFieldName(table, field);
    const std::string utable = AnsiUpperCase(table), ufield = AnsiUpperCase(field);
    bool repeats = false;
    if (field != "*") {
        for (const TORQSelectListItem& e : SelectList)
            if (!e.IsExpression && AnsiUpperCase(e.TableName) == utable && AnsiUpperCase(e.FieldName) == ufield) {
                repeats = true;
                break;
            }
    }
    if (repeats) {
        // A repeated column is computed, so that it gets a name of its own.
        item.IsExpression = true;
        item.IsDuplicate = true;
        item.Expression = std::move(expression);
        if (item.Alias.empty()) {
            for (int32_t n = 1;; ++n) {
                const std::string candidate = field + "_" + std::to_string(n);
                const std::string ucandidate = AnsiUpperCase(candidate);
                bool taken = false;
                for (const TORQSelectListItem& e : SelectList)
                    if (AnsiUpperCase(e.TableName) == utable &&
                        (AnsiUpperCase(e.FieldName) == ucandidate || AnsiUpperCase(e.Alias) == ucandidate)) {
                        taken = true;
                        break;
                    }
                if (!taken) {
                    item.Alias = candidate;
                    break;
                }
            }
        }
    } else {
        item.TableName = table;
        item.FieldName = field;
        item.AllFields = field == "*";
    }
    SelectList.push_back(std::move(item));
}

void TORQSQLSelect::ParseInto() {
    ExpectNextToken(tksTableNames, 30165, kTableNameExpected);
    if (IsWord("MEMORY")) {
        IntoInMemory = true;
        ExpectNextToken(tksTableNames, 30165, kTableNameExpected);
        if (IsWord("IMMEDIATE")) {
            IntoImmediate = true;
            ExpectNextToken(tksTableNames, 30165, kTableNameExpected);
        }
    }
    IntoTableName = TokenValueText(FToken);
    if (GetNextToken() && FToken.Kind == tktDot) {
        IntoDatabaseName = std::move(IntoTableName);
        ExpectNextToken(tksAliases, 30166, kTableNameExpected);
        IntoTableName = TokenValueText(FToken);
        GetNextToken();
    }
}

std::unique_ptr<TORQTableReference> TORQSQLSelect::ParseBaseTable() {
    auto reference = std::make_unique<TORQTableReference>();
    reference->InMemory = InMemory;
    const bool memoryWritten = IsWord("MEMORY");
    if (memoryWritten) {
        reference->InMemory = true;
        ExpectNextToken(tksTableNames, 30180, kTableNameExpected);
    }
    std::string name = TokenValueText(FToken);
    if (FToken.Kind == tktParameter && !name.empty() && name[0] == '"') {
        // "database file".table in one value
        const size_t close = name.find('"', 1);
        if (close != std::string::npos) {
            reference->DatabaseFileName = name.substr(1, close - 1);
            name = close + 2 <= name.size() ? name.substr(close + 2) : std::string();
        }
    }
    reference->TableName = std::move(name);
    if (GetNextToken() && FToken.Kind == tktDot) {
        reference->DatabaseFileName = std::move(reference->TableName);
        ExpectNextToken(tksTableNames, 30180, kTableNameExpected);
        reference->TableName = TokenValueText(FToken);
        GetNextToken();
    }
    // A table of a named database file is that file's, whatever the query's default.
    if (!reference->DatabaseFileName.empty() && !memoryWritten) reference->InMemory = false;
    ParseAlias(reference->Alias);
    if (IsWord("PASSWORD")) {
        ExpectNextToken(tksQuotedValues, 30178,
                        "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
        reference->Password = TokenValueText(FToken);
        GetNextToken();
    }
    return reference;
}

std::unique_ptr<TORQTableReference> TORQSQLSelect::ParseTableReference() {
    std::unique_ptr<TORQTableReference> reference;
    if (FToken.Kind == tktLeftParenthesis) {
        GetNextToken();
        reference = ParseTableReference();
        if (!reference) RaiseFound(30179, kFieldNameExpected);
        if (FToken.Kind == tktRightParenthesis) GetNextToken();
        ParseAlias(reference->Alias);
    } else if (InKinds(tksTableNames, FToken.Kind)) {
        if (IsWord("SELECT")) {
            reference = std::make_unique<TORQTableReference>();
            reference->SetSubquery(FLexer, FQuery);
            GetCurrentToken();
        } else {
            reference = ParseBaseTable();
        }
    } else {
        return nullptr;
    }

    while (IsJoinWord(FToken)) {
        uint8_t type = jtInner;
        bool natural = false;
        bool outerAllowed = false;  // OUTER directly after LEFT, RIGHT or FULL
        const TTokenKinds reserved = Bit(tktReservedWord);
        if (IsWord("CROSS")) {
            type = jtCross;
            ExpectNextToken(reserved, 30168, kUnexpectedToken);
        } else {
            if (IsWord("NATURAL")) {
                natural = true;
                ExpectNextToken(reserved, 30169, kUnexpectedToken);
            }
            if (IsWord("INNER")) {
                ExpectNextToken(reserved, 30170, kUnexpectedToken);
            } else if (IsWord("LEFT")) {
                type = jtLeft;
                outerAllowed = true;
                ExpectNextToken(reserved, 30171, kUnexpectedToken);
            } else if (IsWord("RIGHT")) {
                type = jtRight;
                outerAllowed = true;
                ExpectNextToken(reserved, 30172, kUnexpectedToken);
            } else if (IsWord("FULL")) {
                type = jtFull;
                outerAllowed = true;
                ExpectNextToken(reserved, 30173, kUnexpectedToken);
            }
            if (IsWord("OUTER")) {
                // After LEFT, RIGHT or FULL a missing JOIN is reported as such.
                ExpectNextToken(outerAllowed ? 0 : reserved, 30174, kUnexpectedToken);
            }
        }
        if (!IsWord("JOIN")) RaiseExpected(30175, "JOIN");
        ExpectNextToken(0, 30176, "");
        std::unique_ptr<TORQTableReference> right = ParseTableReference();
        if (!right) RaiseFound(30176, kTableNameExpected);

        std::unique_ptr<TORQExpression> on;
        std::vector<std::string> usingList;
        if (IsWord("ON")) {
            GetNextToken();
            on = ParseCondition(SelectAll ? nullptr : &SelectList);
        } else if (IsWord("USING")) {
            ExpectNextToken(0, 30167, "");
            if (FToken.Kind != tktLeftParenthesis) RaiseExpected(30167, "(");
            ExpectNextToken(0, 30167, "");
            ParseFieldNameList(usingList);
            if (FToken.Kind == tktRightParenthesis) GetNextToken();
        }
        reference->MakeJoin(std::move(right), type, std::move(on), std::move(usingList), natural);
    }
    return reference;
}

// ---------------------------------------------------------------------------------
// TORQQueryExprNode

void TORQQueryExprNode::MakeSetOperation(uint8_t SetKind, std::unique_ptr<TORQQueryExprNode> RightNode,
                                         std::vector<std::string> ByList, bool IsCorresponding, bool IsAll) {
    auto left = std::make_unique<TORQQueryExprNode>(std::move(*this));
    Kind = SetKind;
    Left = std::move(left);
    Right = std::move(RightNode);
    All = IsAll;
    Corresponding = IsCorresponding;
    CorrespondingBy = std::move(ByList);
    Select.reset();
}

bool TORQQueryExprNode::HasInto() const {
    if (Kind == qekSelect) return Select && !Select->IntoTableName.empty();
    return (Left && Left->HasInto()) || (Right && Right->HasInto());
}

// ---------------------------------------------------------------------------------
// TORQSQLUnion

TORQSQLUnion::TORQSQLUnion(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCursorCommand(Lexer, Query) {
    Root = ParseQueryExpression();
    ParseOrderBy();
    if (OrderBy.empty() && Root->Kind != qekSelect && Root->Right->Kind == qekSelect) {
        OrderBy = std::move(Root->Right->Select->OrderBy);
        Root->Right->Select->OrderBy.clear();
    }
    if (Root->Kind != qekSelect) {
        if (Root->HasInto())
            RaiseNative(20272,
                        "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union "
                        "select ...) instead");
    } else {
        const TORQSQLSelect& s = *Root->Select;
        IntoTableName = s.IntoTableName;
        IntoDatabaseName = s.IntoDatabaseName;
        IntoInMemory = s.IntoInMemory;
        IntoImmediate = s.IntoImmediate;
    }
}

TORQSQLUnion::~TORQSQLUnion() { FTree.reset(); }

template <typename F>
void TORQSQLUnion::ParseSetOperation(std::unique_ptr<TORQQueryExprNode>& Tree, uint8_t SetKind, F&& Next) {
    ExpectNextToken(0, 30194, "");
    bool all = false, corresponding = false;
    std::vector<std::string> by;
    if (IsWord("ALL")) {
        all = true;
        ExpectNextToken(0, 30194, "");
    }
    if (IsWord("CORRESPONDING")) {
        corresponding = true;
        ExpectNextToken(0, 30194, "");
        if (IsWord("BY")) {
            ExpectNextToken(0, 30193, "");
            if (FToken.Kind != tktLeftParenthesis) RaiseExpected(30193, "(");
            ExpectNextToken(0, 30193, "");
            ParseFieldNameList(by);
            if (FToken.Kind == tktRightParenthesis) GetNextToken();
        }
    }
    std::unique_ptr<TORQQueryExprNode> right = Next();
    Tree->MakeSetOperation(SetKind, std::move(right), std::move(by), corresponding, all);
}

std::unique_ptr<TORQQueryExprNode> TORQSQLUnion::ParseQueryExpression() {
    std::unique_ptr<TORQQueryExprNode> tree = ParseTerm();
    for (;;) {
        uint8_t kind;
        if (IsWord("UNION")) kind = qekUnion;
        else if (IsWord("EXCEPT") || IsWord("MINUS")) kind = qekExcept;
        else return tree;
        ParseSetOperation(tree, kind, [this] { return ParseTerm(); });
    }
}

std::unique_ptr<TORQQueryExprNode> TORQSQLUnion::ParseTerm() {
    std::unique_ptr<TORQQueryExprNode> tree = ParsePrimary();
    while (IsWord("INTERSECT")) ParseSetOperation(tree, qekIntersect, [this] { return ParsePrimary(); });
    return tree;
}

std::unique_ptr<TORQQueryExprNode> TORQSQLUnion::ParsePrimary() {
    if (FToken.Kind == tktLeftParenthesis) {
        ExpectNextToken(0, 30194, "");
        std::unique_ptr<TORQQueryExprNode> tree = ParseQueryExpression();
        if (FToken.Kind == tktRightParenthesis) GetNextToken();
        return tree;
    }
    if (!IsWord("SELECT")) RaiseExpected(30194, "SELECT");
    auto leaf = std::make_unique<TORQQueryExprNode>();
    leaf->Select = std::make_unique<TORQSQLSelect>(FLexer, FQuery);
    GetCurrentToken();
    return leaf;
}

}  // namespace orq
