// TORQExpression: entry points, evaluation, binding and tree surgery (see ORQExpression.h).
#include "engine/sql/ORQExpression.h"

#include <algorithm>
#include <functional>

#include "engine/access/ORQQuery.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/sql/ORQExprParser.h"
#include "engine/sql/ORQExprText.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDefinitions.h"

namespace orq {

namespace {

bool IsAnd(const TORQExprNode* Node) {
    return Node != nullptr && Node->Operator == doAnd && dynamic_cast<const TORQExprNodeBoolean*>(Node) != nullptr;
}

// Comparisons and IS [NOT] NULL: the nodes an index scan can read.
bool IsScanCandidate(const TORQExprNode* Node) {
    if (dynamic_cast<const TORQExprNodeComparison*>(Node) != nullptr) return true;
    return dynamic_cast<const TORQExprNodeBoolean*>(Node) != nullptr &&
           (Node->Operator == doIsNull || Node->Operator == doIsNotNull);
}

// Every scan candidate of the AND tree under Node, in reading order.
void ForEachScanCandidate(TORQExprNode* Node, const std::function<bool(TORQExprNode*)>& Visit, bool& Stop) {
    if (Node == nullptr || Stop) return;
    if (IsAnd(Node)) {
        for (int32_t i = 0; i < Node->ChildCount() && !Stop; ++i) ForEachScanCandidate(Node->Child(i), Visit, Stop);
        return;
    }
    if (IsScanCandidate(Node)) Stop = Visit(Node);
}

bool HasFieldReference(TORQExprNode* Node) {
    if (dynamic_cast<TORQExprNodeField*>(Node) != nullptr) return true;
    for (int32_t i = 0; i < Node->ChildCount(); ++i)
        if (HasFieldReference(Node->Child(i))) return true;
    return false;
}

TORQSelectListItem FieldItem(TORQExprNode* Node) {
    TORQSelectListItem item;
    if (auto* f = dynamic_cast<TORQExprNodeField*>(Node)) {
        item.TableName = f->TableName;
        item.FieldName = f->FieldName;
    }
    return item;
}

}  // namespace

TORQExpression::~TORQExpression() = default;

std::unique_ptr<TORQExpression> TORQExpression::CreateWithRoot(TORQExprNodePtr Root) {
    auto e = std::make_unique<TORQExpression>();
    e->FRoot = std::move(Root);
    e->FPrepared = false;
    return e;
}

void TORQExpression::Clear() {
    FRoot.reset();
    FParked.clear();
    FPrepared = false;
}

void TORQExpression::Prepare() {
    FCompiled.reset();
    if (FRoot) {
        FRoot->Prepare();
        FCompiled = TORQCompiledFilter::Compile(FRoot.get());
    }
    FPrepared = true;
}

// ---------------------------------------------------------------------------------
// Parsing

bool TORQExpression::BeginParse(TORQQuery* Query, TORQLexer& Lexer) {
    FQuery = Query;
    if (Query != nullptr) {
        // Tables an expression opens itself (LASTAUTOINC) are the query's.
        DatabaseName = Query->DatabaseName();
        SessionName = Query->SessionName();
        InMemory = InMemory || Query->InMemory();
    }
    FLexer = &Lexer;
    TToken token;
    return Lexer.GetCurrentToken(token);
}

namespace {

// The position of the last token read before the current one (for "unexpected end").
void LastTokenPosition(const TORQLexer& Lexer, int32_t& Line, int32_t& Column) {
    Line = 0;
    Column = 0;
    const int32_t command = Lexer.CommandPosition();
    if (command < 0 || command >= Lexer.CommandCount()) return;
    const TSQLCommand& c = Lexer.Commands(command);
    const int32_t last = std::min(c.CurrentToken, c.TokenCount()) - 1;
    if (last < 0) return;
    Line = c.Tokens[static_cast<std::size_t>(last)].Line;
    Column = c.Tokens[static_cast<std::size_t>(last)].Column;
}

[[noreturn]] void RaiseUnexpectedEnd(int32_t Code, const TORQLexer& Lexer) {
    int32_t line, column;
    LastTokenPosition(Lexer, line, column);
    RaiseNativeFmt(Code, "Unexpected end of SQL command found at line %d, column %d", {line, column});
}

}  // namespace

void TORQExpression::ParseSearchCondition(TORQQuery* Query, TORQLexer& Lexer) {
    Clear();
    if (!BeginParse(Query, Lexer)) RaiseUnexpectedEnd(30118, Lexer);
    TORQExprParser parser(*this, Lexer, Query, !FOwnLexer);
    FRoot = parser.SearchCondition();
    if (!FRoot) {
        const TToken& t = parser.Current();
        int32_t line = t.Line, column = t.Column;
        if (t.Kind == tktNone) LastTokenPosition(Lexer, line, column);
        RaiseNativeFmt(30066, "Boolean expression expected, but '%s' found at line %d, column %d",
                       {t.Text, line, column});
    }
    FlattenConjunctions();
    if (FCursor != nullptr) Prepare();
}

void TORQExpression::ParseValueExpression(TORQQuery* Query, TORQLexer& Lexer) {
    Clear();
    if (!BeginParse(Query, Lexer)) RaiseUnexpectedEnd(30136, Lexer);
    TORQExprParser parser(*this, Lexer, Query, !FOwnLexer);
    FRoot = parser.Value();
}

void TORQExpression::ParseSubquery(TORQQuery* Query, TORQLexer& Lexer) {
    Clear();
    if (!BeginParse(Query, Lexer)) RaiseUnexpectedEnd(30497, Lexer);
    TORQExprParser parser(*this, Lexer, Query, !FOwnLexer);
    FRoot = parser.Subquery(0, 0);
}

template <typename F>
void TORQExpression::ParseOwnText(const std::string& Text, F&& Body) {
    TORQLexer lexer(Text, nullptr);
    FOwnLexer = true;
    try {
        Body(lexer);
    } catch (...) {
        FOwnLexer = false;
        FLexer = nullptr;
        Clear();
        throw;
    }
    FOwnLexer = false;
    FLexer = nullptr;
}

bool TORQExpression::TryParseValueExpression(const std::string& Text) {
    Clear();
    bool parsed = false;
    try {
        ParseOwnText(Text, [&](TORQLexer& lexer) {
            if (!lexer.NextCommand()) return;
            ParseValueExpression(nullptr, lexer);
            TToken rest;
            parsed = FRoot != nullptr && !lexer.GetCurrentToken(rest) && lexer.CommandCount() == 1;
        });
    } catch (const std::exception&) {
        // Any error means "not a value expression": the caller keeps the text literal.
        parsed = false;
    }
    if (!parsed) Clear();
    return parsed;
}

bool TORQExpression::IsDefaultValueExpression(const TORQVariant& Value) {
    if (Value.IsNull() || !(Value.IsString() || Value.IsWideString())) return false;
    const std::string text = ValueAsText(Value);
    TORQExpression probe;
    if (!probe.TryParseValueExpression(text) || HasFieldReference(probe.Root())) return false;
    try {
        const TORQVariant* result = probe.GetValue(true);
        return result != nullptr && ValueAsText(*result) != text;
    } catch (const std::exception&) {
        // A text that cannot be evaluated is no default expression; it stays literal.
        return false;
    }
}

void TORQExpression::ParseFilter(TORQCursor* Cursor, const std::string& Text, bool CaseInsensitive_,
                                 bool PartialCompare_) {
    Clear();
    FCursor = Cursor;
    CaseInsensitive = CaseInsensitive_;
    PartialCompare = PartialCompare_;
    ParseOwnText(Text, [&](TORQLexer& lexer) {
        if (!lexer.NextCommand()) RaiseNative(30119, "Blank SQL command");
        ParseSearchCondition(nullptr, lexer);
        // Anything after the condition is an error: a filter read in part would select
        // (and a filtered delete remove) more than the text says.
        TToken rest;
        if (!lexer.GetCurrentToken(rest) && lexer.NextCommand()) lexer.GetCurrentToken(rest);
        if (rest.Kind != tktNone)
            RaiseNativeFmt(20260, "End of SQL command expected, but '%s' found at line %d, column %d",
                           {rest.Text, rest.Line, rest.Column});
    });
}

void TORQExpression::BuildLocateCondition(TORQCursor* Cursor, const std::string& FieldNames,
                                          const classlib::Variant& KeyValues, bool CaseInsensitive_,
                                          bool PartialKey) {
    Clear();
    FCursor = Cursor;
    RawCompare = false;
    std::vector<std::string> names;
    std::size_t pos = 0;
    std::string name;
    while (ExtractFieldName(FieldNames, pos, name)) names.push_back(AnsiUpperCase(name));
    if (!FieldNames.empty() && FieldNames.back() == ';') names.emplace_back();  // an empty last part counts

    const bool isArray = KeyValues.IsArray();
    const int32_t low = isArray ? KeyValues.ArrayLowBound(1) : 0;
    const int32_t count = isArray ? KeyValues.ArrayHighBound(1) - low + 1 : 1;
    if (static_cast<int32_t>(names.size()) != count)
        RaiseNativeFmt(30112, "Count of FieldNames (%d) not equal counts of KeyValues (%d)",
                       {static_cast<int32_t>(names.size()), count});

    TORQExprNodePtr root;
    if (isArray) root = std::make_unique<TORQExprNodeBoolean>(doAnd);
    for (int32_t i = 0; i < count; ++i) {
        const classlib::Variant& v = isArray ? KeyValues.GetElement({low + i}) : KeyValues;
        auto field = std::make_unique<TORQExprNodeField>(Cursor, "", names[static_cast<std::size_t>(i)]);
        auto constant = std::make_unique<TORQExprNodeConst>();
        const bool number = v.VarType() == classlib::varSmallint || v.VarType() == classlib::varInteger ||
                            v.VarType() == classlib::varSingle || v.VarType() == classlib::varDouble ||
                            v.VarType() == classlib::varCurrency || v.VarType() == classlib::varShortInt ||
                            v.VarType() == classlib::varByte || v.VarType() == classlib::varWord ||
                            v.VarType() == classlib::varLongWord || v.VarType() == classlib::varInt64;
        if (number && IsDateTimeBaseType(field->BaseType))
            constant->Value.SetAsVariant(classlib::Variant::FromDate(v.AsDouble()));
        else
            constant->Value.SetAsVariant(v);
        auto comparison = std::make_unique<TORQExprNodeComparison>(doEqual, CaseInsensitive_ ? 1 : 0,
                                                                   PartialKey ? 1 : 0, std::move(field),
                                                                   std::move(constant), 0);
        if (isArray) root->AddChild(std::move(comparison));
        else root = std::move(comparison);
    }
    FRoot = std::move(root);
    if (FCursor != nullptr) Prepare();
}

void TORQExpression::BuildFieldEqualsCondition(TORQCursor* Cursor, const std::string& FieldName, uint8_t Operator,
                                               const TORQVariant& Value) {
    Clear();
    FCursor = Cursor;
    RawCompare = false;
    auto constant = std::make_unique<TORQExprNodeConst>();
    constant->Value.Assign(Value, true);
    FRoot = std::make_unique<TORQExprNodeComparison>(
        Operator, 0, 0, std::make_unique<TORQExprNodeField>(Cursor, "", FieldName), std::move(constant), 0);
    if (FCursor != nullptr) Prepare();
}

// ---------------------------------------------------------------------------------
// Evaluation

TORQVariant* TORQExpression::GetValue(bool KeepNull) {
    if (!FRoot) return nullptr;
    TORQVariant& v = FRoot->GetValue();
    if (v.IsNull() && !KeepNull) {
        v.Clear(bdtBoolean);
        v.SetAsBoolean(false);
    }
    return &v;
}

bool TORQExpression::GetBooleanValue() {
    if (!FRoot) RaiseNative(30110, "Value is Null");
    // The steps stand for the tree as it was prepared; after a change the tree answers.
    if (FPrepared && FCompiled) return FCompiled->Truth() == 1;
    return GetValue(false)->GetAsBoolean();
}

void TORQExpression::FetchSubqueryRow() {
    if (FRoot) FRoot->FetchSubqueryRow();
}
TORQVariant* TORQExpression::GetSubqueryValue(int32_t Index) {
    return FRoot ? FRoot->GetSubqueryValue(Index) : nullptr;
}
bool TORQExpression::ContainsAggregate() { return FRoot && FRoot->ContainsAggregate(); }
bool TORQExpression::IsCountStar() { return FRoot && FRoot->IsCountStar(); }
void TORQExpression::ResetAggregate() {
    if (FRoot) FRoot->ResetAggregate();
}
void TORQExpression::AccumulateAggregate() {
    if (FRoot) FRoot->AccumulateAggregate();
}
void TORQExpression::SetAggregateCount(int32_t Count) {
    if (FRoot) FRoot->SetAggregateCount(Count);
}
uint8_t TORQExpression::GetDataType() { return FRoot ? FRoot->GetDataType() : uint8_t{0}; }
int32_t TORQExpression::GetDataSize() { return FRoot ? FRoot->GetDataSize() : 0; }
int32_t TORQExpression::GetDataExtra() { return FRoot ? FRoot->GetDataExtra() : 0; }

// ---------------------------------------------------------------------------------
// Binding

void TORQExpression::BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor) {
    if (!FRoot) return;
    FRoot->BindToOperators(Operator1, Operator2, Cursor);
    Prepare();
}

void TORQExpression::BindFields(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) {
    if (!FRoot) return;
    FCursor = Cursor;
    FRoot->BindToCursor(Cursor, Operator, SecondCursor);
    Prepare();
}

void TORQExpression::SetRecordBuffer(uint8_t* Buffer, uint8_t Side) {
    if (!FRoot) return;
    if (FPrepared && FCompiled && FCompiled->SetRecordBuffer(Buffer, Side)) return;
    FRoot->SetRecordBuffer(Buffer, Side);
    // Preparing depends on the binding and the tree, not on the buffer: the record
    // filter sets a buffer per candidate record, and preparing again each time was
    // half the cost of a filtered scan.
    if (!FPrepared) Prepare();
}

// ---------------------------------------------------------------------------------
// Tree questions

bool TORQExpression::IsEmptyCondition() {
    return !FRoot || (dynamic_cast<TORQExprNodeBoolean*>(FRoot.get()) != nullptr && FRoot->ChildCount() == 0);
}

bool TORQExpression::IsField() { return dynamic_cast<TORQExprNodeField*>(FRoot.get()) != nullptr; }

bool TORQExpression::HasFieldOperand() {
    if (!FRoot) return false;
    if (IsField()) return true;
    for (int32_t i = 0; i < FRoot->ChildCount(); ++i)
        if (dynamic_cast<TORQExprNodeField*>(FRoot->Child(i)) != nullptr) return true;
    return false;
}

void TORQExpression::GetFieldName(std::string& TableName, std::string& FieldName) {
    auto* f = dynamic_cast<TORQExprNodeField*>(FRoot.get());
    if (f == nullptr) RaiseNative(30198, "Node is not a field");
    TableName = f->TableName;
    FieldName = f->FieldName;
}

bool TORQExpression::UsesOnlyFields(const std::string& FieldList) {
    return !FRoot || FRoot->UsesOnlyFields(FieldList);
}

void TORQExpression::ReplaceAliases(const std::vector<TORQSelectListItem>& Items) {
    FPrepared = false;
    if (!FRoot) return;
    FRoot->ReplaceAliases(Items);
}

// ---------------------------------------------------------------------------------
// Tree surgery

void TORQExpression::FlattenConjunctions() {
    FPrepared = false;
    if (!IsAnd(FRoot.get())) return;
    int32_t i = 0;
    while (i < FRoot->ChildCount()) {
        if (!IsAnd(FRoot->Child(i))) {
            ++i;
            continue;
        }
        TORQExprNodePtr nested = FRoot->ExtractChild(i);
        for (auto& c : nested->Children) FRoot->AddChild(std::move(c));
        nested->Children.clear();
    }
}

void TORQExpression::AddCondition(TORQExpression& Other) {
    FPrepared = false;
    if (!Other.FRoot) return;
    if (!FRoot) {
        FRoot = std::move(Other.FRoot);
        return;
    }
    if (!IsAnd(FRoot.get())) FRoot = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, std::move(FRoot));
    FRoot->AddChild(std::move(Other.FRoot));
    FlattenConjunctions();
}

void TORQExpression::AppendNode(TORQExprNode* Node) {
    FPrepared = false;
    if (Node == nullptr) return;
    TORQExprNodePtr owned;
    const auto parked =
        std::find_if(FParked.begin(), FParked.end(), [&](const TORQExprNodePtr& p) { return p.get() == Node; });
    if (parked != FParked.end()) {
        owned = std::move(*parked);
        FParked.erase(parked);
    } else {
        owned.reset(Node);
    }
    if (!FRoot) FRoot = std::move(owned);
    else FRoot->AddChild(std::move(owned));
}

void TORQExpression::PushDownConditions(TORQAO* Operator, TORQAO* Operator2, uint8_t LookupFlag, bool Recurse,
                                        TORQCursor* Cursor) {
    FPrepared = false;
    if (Operator == nullptr) return;
    if (Recurse && !Operator->IsOuterJoin()) {
        if (TORQAO* left = Operator->LeftInput()) PushDownConditions(left, Operator2, LookupFlag, Recurse, Cursor);
        if (TORQAO* right = Operator->RightInput()) PushDownConditions(right, Operator2, LookupFlag, Recurse, Cursor);
    }
    if (!FRoot) return;
    TORQExprNodePtr pushed;
    if (IsAnd(FRoot.get())) {
        int32_t i = 0;
        int32_t taken = 0;
        while (i < FRoot->ChildCount()) {
            if (!FRoot->Child(i)->CanEvaluateOn(Operator, Operator2, LookupFlag, Cursor)) {
                ++i;
                continue;
            }
            TORQExprNodePtr child = FRoot->ExtractChild(i);
            if (taken == 0) pushed = std::move(child);
            else if (taken == 1)
                pushed = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, std::move(pushed), std::move(child));
            else pushed->AddChild(std::move(child));
            ++taken;
        }
        if (taken > 0 && FRoot->ChildCount() == 0) FRoot.reset();
    } else if (FRoot->CanEvaluateOn(Operator, Operator2, LookupFlag, Cursor)) {
        pushed = std::move(FRoot);
    }
    if (pushed) Operator->AddCondition(CreateWithRoot(std::move(pushed)));
}

int32_t TORQExpression::ExtractJoinFields(TORQAO* Operator1, TORQAO* Operator2,
                                          std::vector<TORQSelectListItem>& Fields,
                                          std::vector<TORQSelectListItem>& Fields2) {
    FPrepared = false;
    if (!FRoot) return 0;
    int32_t extracted = 0;
    if (IsAnd(FRoot.get())) {
        int32_t i = 0;
        while (i < FRoot->ChildCount()) {
            TORQExprNode* c = FRoot->Child(i);
            if (c->ChildCount() < 2 || !c->IsJoinCondition(Operator1, Operator2)) {
                ++i;
                continue;
            }
            Fields.push_back(FieldItem(c->Child(0)));
            Fields2.push_back(FieldItem(c->Child(1)));
            FRoot->ExtractChild(i).reset();
            ++extracted;
        }
        if (extracted > 0 && FRoot->ChildCount() == 0) FRoot.reset();
        return extracted;
    }
    if (FRoot->Operator == doEqual && dynamic_cast<TORQExprNodeComparison*>(FRoot.get()) != nullptr &&
        FRoot->IsJoinCondition(Operator1, Operator2)) {
        Fields.push_back(FieldItem(FRoot->Child(0)));
        Fields2.push_back(FieldItem(FRoot->Child(1)));
        FRoot.reset();
        return 1;
    }
    return 0;
}

void TORQExpression::CollectScanConditions(const TORQIndexDefs& IndexDefs, TORQScanSearchConditionArray& Conditions,
                                           bool RestrictValue) {
    bool stop = false;
    ForEachScanCandidate(
        FRoot.get(),
        [&](TORQExprNode* node) {
            for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
                const TORQIndexDef& def = *IndexDefs.GetItem(i);
                if (node->CanServeIndexColumn(0, 0, RestrictValue ? 1 : 0, def))
                    node->BuildScanCondition(Conditions, def, this);
            }
            return false;
        },
        stop);
}

bool TORQExpression::CanUseIndex(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef) {
    bool used = false;
    ForEachScanCandidate(
        FRoot.get(),
        [&](TORQExprNode* node) {
            if (Condition.FieldCount >= IndexDef.GetColumnCount()) return false;
            if (!node->CanServeIndexColumn(Condition.FieldCount, Condition.Operator, -1, IndexDef)) return false;
            node->FillScanCondition(Condition, IndexDef, this);
            used = true;
            return true;
        },
        used);
    return used;
}

void TORQExpression::RemoveScanConditionNodes(TORQScanSearchConditionArray& Conditions, int32_t A, int32_t B) {
    FPrepared = false;
    for (int32_t n : {A, B}) {
        if (n < 0 || n >= Conditions.Count()) continue;
        const TORQScanSearchCondition& c = Conditions.Items(n);
        for (std::size_t k = 0; k < c.Expressions.size() && k < c.Nodes.size(); ++k) {
            if (c.Expressions[k] != this || c.Nodes[k] == nullptr) continue;
            TORQExprNode* node = c.Nodes[k];
            if (FRoot.get() == node) {
                FParked.push_back(std::move(FRoot));
            } else if (FRoot) {
                const int32_t at = FRoot->IndexOfChild(node);
                if (at >= 0) FParked.push_back(FRoot->ExtractChild(at));
            }
        }
        if (A == B) break;
    }
}

const TORQIndexDef* TORQExpression::FindIndexDef(const TORQIndexDefs& IndexDefs, int32_t IndexID,
                                                 int32_t& ColumnCount) {
    ColumnCount = 0;
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
        const TORQIndexDef* def = IndexDefs.GetItem(i);
        if (def->ObjectID == IndexID) {
            ColumnCount = def->GetColumnCount();
            return def;
        }
    }
    return nullptr;
}

void InstallExpressionFactory() {
    SetExpressionFactory([] { return std::unique_ptr<TORQBaseExpression>(std::make_unique<TORQExpression>()); });
}

}  // namespace orq
