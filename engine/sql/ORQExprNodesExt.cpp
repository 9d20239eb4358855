#include "engine/sql/ORQExprNodesExt.h"

#include <algorithm>

#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQStringFormats.h"
#include "engine/sql/ORQExprCursorLink.h"
#include "engine/sql/ORQExprText.h"
#include "engine/sql/ORQLexer.h"

namespace orq {

[[noreturn]] void RaiseUnknownOperator(int32_t Code, uint8_t Operator);

// ---------------------------------------------------------------------------------
// TORQExprNodeAggregated

TORQExprNodeAggregated::TORQExprNodeAggregated(uint8_t Operator) : TORQExprNode(Operator) {}

TORQExprNodeAggregated::TORQExprNodeAggregated(uint8_t Operator, std::unique_ptr<TORQExprNode> Argument,
                                               uint8_t Distinct)
    : TORQExprNode(Operator, 1, 0, std::move(Argument)), Distinct(Distinct) {}

void TORQExprNodeAggregated::ResetAggregate() {
    Count = 0;
    Value.Clear(0);
    Sum.Clear(0);
    FSeen.clear();
}

bool TORQExprNodeAggregated::SeenBefore(const TORQVariant& Argument) {
    // Kept in the engine's value order, so each row costs a binary search.
    auto less = [](const std::unique_ptr<TORQVariant>& a, const TORQVariant* b) {
        return a->Compare(*b, false, false, false) == cmpLess;
    };
    auto it = std::lower_bound(FSeen.begin(), FSeen.end(), &Argument, less);
    if (it != FSeen.end() && (*it)->Compare(Argument, false, false, false) == cmpEqual) return true;
    auto copy = std::make_unique<TORQVariant>();
    copy->Assign(Argument, true);
    FSeen.insert(it, std::move(copy));
    return false;
}

void TORQExprNodeAggregated::AccumulateAggregate() {
    if (Operator == doCountStar) {
        ++Count;
        return;
    }
    if (Operator < doSum || Operator > doCount) RaiseUnknownOperator(30134, Operator);
    TORQVariant& arg = Child(0)->GetValue();
    if (arg.IsNull()) return;
    const bool numeric = arg.IsNumeric();
    if (Operator == doSum && !numeric)
        RaiseNativeFmt(30132, "Not numeric argument in numeric operator '%s'", {"SUM"});
    if (Operator == doAvg && !numeric)
        RaiseNativeFmt(30133, "Not numeric argument in numeric operator '%s'", {"AVG"});
    if (Distinct != 0 && SeenBefore(arg)) return;
    switch (Operator) {
        case doSum:
            if (Value.IsNull()) {
                Value.Assign(arg, true);
                // Integer arguments add up in 64 bits, the declared LARGEINT.
                const uint8_t t = arg.DataType();
                if (t >= bdtShortInt && t <= bdtCardinal) Value.CastTo(bdtLargeInt);
            } else {
                Value.Add(arg);
            }
            break;
        case doAvg:
            if (Sum.IsNull()) {
                Sum.Assign(arg, true);
                if (Sum.DataType() != bdtDouble) Sum.CastTo(bdtDouble);
            } else {
                Sum.Add(arg);
            }
            ++Count;
            break;
        case doMin:
        case doMax: {
            if (Value.IsNull()) {
                Value.Assign(arg, true);
                break;
            }
            const int32_t code = arg.Compare(Value, true, true, false);
            if (code == (Operator == doMin ? cmpLess : cmpGreater)) Value.Assign(arg, true);
            break;
        }
        case doCount: ++Count; break;
        default: break;
    }
}

TORQVariant& TORQExprNodeAggregated::GetValue() {
    switch (Operator) {
        case doAvg: {
            if (Sum.IsNull() || Count == 0) {
                Value.Clear(bdtDouble);
                break;
            }
            Value.Assign(Sum, true);
            TORQVariant n;
            n.SetAsDouble(Count);
            Value.Divide(n);
            break;
        }
        case doCount:
        case doCountStar:
            if (Value.DataType() != bdtInteger) Value.Clear(bdtInteger);
            Value.SetAsInteger(Count);
            break;
        case doSum:
        case doMin:
        case doMax: break;
        default: RaiseUnknownOperator(30134, Operator);
    }
    return Value;
}

uint8_t TORQExprNodeAggregated::GetDataType() {
    switch (Operator) {
        case doCount:
        case doCountStar: return aftInteger;
        case doAvg: return ChildCount() > 0 ? aftDouble : 0;
        case doSum: {
            if (ChildCount() == 0) return 0;
            const uint8_t t = Child(0)->GetDataType();
            return t == aftSingle || t == aftDouble || t == aftExtended || t == aftCurrency ? t : uint8_t{aftLargeInt};
        }
        case doMin:
        case doMax: return ChildCount() > 0 ? Child(0)->GetDataType() : 0;
        default: return 0;
    }
}

int32_t TORQExprNodeAggregated::GetDataSize() {
    if ((Operator == doMin || Operator == doMax) && ChildCount() > 0) return Child(0)->GetDataSize();
    return 0;
}

bool TORQExprNodeAggregated::CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t /*LookupFlag*/,
                                           TORQCursor* Cursor) {
    if (Operator1 == nullptr || !Operator1->IsGroupBy()) return false;
    return TORQExprNode::CanEvaluateOn(Operator1, Operator2, 0, Cursor);
}

// ---------------------------------------------------------------------------------
// TORQExprNodeCast

TORQExprNodeCast::TORQExprNodeCast(std::unique_ptr<TORQExprNode> Operand, std::unique_ptr<TORQExprNode> Length,
                                   uint8_t TargetType)
    : TORQExprNode(doCast, 1, 0, std::move(Operand)), TargetType(TargetType) {
    if (Length) LengthNode = AddChild(std::move(Length));
}

TORQVariant& TORQExprNodeCast::GetValue() {
    TORQVariant& operand = Child(0)->GetValue();
    Value.Assign(operand, true);
    Value.CastTo(AdvancedToBaseFieldType(TargetType));
    if (!IsStringAdvancedType(TargetType) || Value.IsNull()) return Value;
    const int32_t limit = LengthNode != nullptr ? LengthNode->GetValue().GetAsInteger() : 4096;
    const int32_t length = Value.GetStringLength();
    if (length <= limit) return Value;
    const std::size_t keep = static_cast<std::size_t>(std::max(limit, 0));
    // A cut text keeps its kind: wide text stays wide, so no character is lost to '?'.
    if (Value.IsWideString()) {
        const std::u16string s = Value.GetAsWideString().substr(0, keep);
        const uint8_t t = Value.DataType();
        Value.Clear(t);
        Value.SetAsWideString(s);
    } else {
        const std::string s = Value.GetAsString().substr(0, keep);
        const uint8_t t = Value.DataType();
        Value.Clear(t);
        Value.SetAsString(s);
    }
    return Value;
}

int32_t TORQExprNodeCast::GetDataSize() {
    if (LengthNode != nullptr) return LengthNode->GetValue().GetAsInteger();
    if (!IsStringAdvancedType(TargetType)) return 0;
    const uint8_t t = Child(0)->GetDataType();
    switch (t) {
        case aftChar: case aftVarChar: case aftWideChar: case aftWideVarChar:
        case aftBytes: case aftVarBytes: case aftBlob: case aftGraphic:
            return Child(0)->GetDataSize();
        case aftShortInt: case aftAutoIncShortInt: return 4;
        case aftSmallInt: case aftAutoIncSmallInt: return 6;
        case aftInteger: case aftAutoInc: case aftAutoIncInteger: return 11;
        case aftLargeInt: case aftAutoIncLargeInt: return 20;
        case aftByte: case aftAutoIncByte: return 3;
        case aftWord: case aftAutoIncWord: return 5;
        case aftCardinal: case aftAutoIncCardinal: return 10;
        case aftSingle: case aftDouble: case aftExtended: return 26;
        case aftBoolean: return 5;
        case aftCurrency: return 21;
        case aftDate: case aftTime: case aftDateTime: case aftTimeStamp: return 26;
        case aftMemo: case aftFmtMemo: case aftWideMemo: return 4096;
        case aftGuid: return 38;
        default: RaiseNativeFmt(30466, "Unsupported data type '%s'", {AdvancedFieldTypeName(t)});
    }
}

// ---------------------------------------------------------------------------------
// TORQExprNodeCase

TORQExprNodeCase::TORQExprNodeCase() : TORQExprNode(0) {}

TORQExprNodeCase::TORQExprNodeCase(std::unique_ptr<TORQExprNode> Operand) : TORQExprNode(0) {
    CaseOperand = AddChild(std::move(Operand));
}

TORQExprNodeCase::TORQExprNodeCase(std::vector<std::unique_ptr<TORQExprNode>> Args) : TORQExprNode(0), IsCoalesce(1) {
    for (auto& a : Args) CoalesceArgs.push_back(AddChild(std::move(a)));
}

void TORQExprNodeCase::AddWhen(std::unique_ptr<TORQExprNode> Node) { WhenList.push_back(AddChild(std::move(Node))); }

void TORQExprNodeCase::AddThen(std::unique_ptr<TORQExprNode> Node) { ThenList.push_back(AddChild(std::move(Node))); }

void TORQExprNodeCase::SetElse(std::unique_ptr<TORQExprNode> Node) { ElseNode = AddChild(std::move(Node)); }

TORQVariant& TORQExprNodeCase::GetValue() {
    Value.Clear(0);
    if (IsCoalesce != 0) {
        for (TORQExprNode* a : CoalesceArgs) {
            TORQVariant& v = a->GetValue();
            if (!v.IsNull()) {
                Value.Assign(v, false);
                break;
            }
        }
        return Value;
    }
    TORQExprNode* selected = nullptr;
    if (CaseOperand != nullptr) {
        TORQVariant& operand = CaseOperand->GetValue();
        for (std::size_t i = 0; i < WhenList.size() && selected == nullptr; ++i)
            if (operand.Compare(WhenList[i]->GetValue(), false, true, false) == cmpEqual) selected = ThenList.at(i);
    } else {
        // A Null condition fails (30016) like every boolean read of a Null value.
        for (std::size_t i = 0; i < WhenList.size() && selected == nullptr; ++i)
            if (WhenList[i]->GetValue().GetAsBoolean()) selected = ThenList.at(i);
    }
    if (selected == nullptr) selected = ElseNode;
    if (selected != nullptr) Value.Assign(selected->GetValue(), false);
    return Value;
}

uint8_t TORQExprNodeCase::GetDataType() {
    const std::vector<TORQExprNode*>& list = IsCoalesce != 0 ? CoalesceArgs : ThenList;
    uint8_t t = 0;
    bool first = true;
    auto fold = [&](TORQExprNode* n) {
        const uint8_t nt = n->GetDataType();
        t = first ? nt : ResultAdvancedFieldType(t, nt, false);
        first = false;
    };
    for (TORQExprNode* n : list) fold(n);
    if (IsCoalesce == 0 && ElseNode != nullptr) fold(ElseNode);
    return t;
}

void TORQExprNodeCase::WrapInCast(TORQExprNode*& Slot, uint8_t Type) {
    if (Slot->GetDataType() == Type || dynamic_cast<TORQExprNodeCast*>(Slot) != nullptr) return;
    // The child moves into the CAST only once the CAST exists, so a failure leaves it in place.
    std::unique_ptr<TORQExprNode>& child = Children.at(static_cast<std::size_t>(IndexOfChild(Slot)));
    child = std::make_unique<TORQExprNodeCast>(std::move(child), nullptr, Type);
    Slot = child.get();
}

int32_t TORQExprNodeCase::GetDataSize() {
    const uint8_t t = GetDataType();
    std::vector<TORQExprNode*>& list = IsCoalesce != 0 ? CoalesceArgs : ThenList;
    int32_t size = 0;
    for (TORQExprNode*& n : list) {
        WrapInCast(n, t);
        size = std::max(size, n->GetDataSize());
    }
    if (IsCoalesce == 0 && ElseNode != nullptr) {
        WrapInCast(ElseNode, t);
        size = std::max(size, ElseNode->GetDataSize());
    }
    return size;
}

// ---------------------------------------------------------------------------------
// TORQExprNodeSubquery

namespace {

TORQSubqueryFactory& SubqueryFactory() {
    static TORQSubqueryFactory factory;
    return factory;
}

}  // namespace

bool HasSubqueryFactory() { return static_cast<bool>(SubqueryFactory()); }

namespace {

void CheckSubqueryFactory() {
    if (!SubqueryFactory()) RaiseNative(30900, "Subqueries are not available");
}

// The comparison with its sides swapped (the value moves to the right).
uint8_t MirrorOperator(uint8_t Operator) {
    switch (Operator) {
        case doGreater: return doLess;
        case doLess: return doGreater;
        case doGreaterOrEqual: return doLessOrEqual;
        case doLessOrEqual: return doGreaterOrEqual;
        default: return Operator;
    }
}

uint8_t NegateOperator(uint8_t Operator) {
    switch (Operator) {
        case doEqual: return doNotEqual;
        case doNotEqual: return doEqual;
        case doGreater: return doLessOrEqual;
        case doLess: return doGreaterOrEqual;
        case doGreaterOrEqual: return doLess;
        case doLessOrEqual: return doGreater;
        default: return Operator;
    }
}

}  // namespace

void SetSubqueryFactory(TORQSubqueryFactory Factory) { SubqueryFactory() = std::move(Factory); }

TORQExprNodeSubquery::TORQExprNodeSubquery(uint8_t IsScalar, TORQLexer& Lexer, TORQQuery* Query, uint8_t IsSingleRow)
    : TORQExprNode(0), IsScalar(IsScalar), IsSingleRow(IsSingleRow), Query(Query), Lexer(&Lexer) {
    CheckSubqueryFactory();
    StartToken = Lexer.GetTokenPosition();
    // Parsing once leaves the lexer after the subquery and proves the text.
    SubqueryFactory()(Lexer, Query, nullptr).reset();
    IsCorrelated = CanEvaluateOn(nullptr, nullptr, 0, nullptr) ? 0 : 1;
}

TORQExprNodeSubquery::~TORQExprNodeSubquery() = default;

std::unique_ptr<TORQSubqueryStatement> TORQExprNodeSubquery::ParseStatement(TORQAO* Outer) {
    CheckSubqueryFactory();
    const int32_t saved = Lexer->GetTokenPosition();
    Lexer->SetTokenPosition(StartToken);
    std::unique_ptr<TORQSubqueryStatement> statement;
    try {
        statement = SubqueryFactory()(*Lexer, Query, Outer);
    } catch (...) {
        Lexer->SetTokenPosition(saved);
        throw;
    }
    Lexer->SetTokenPosition(saved);
    return statement;
}

template <typename F>
auto TORQExprNodeSubquery::Run(F&& Action) {
    if (IsCorrelated != 0 || !Statement) {
        Statement = ParseStatement(OuterOperator);
        // The outer cursor shows the outer row while the subquery runs.
        uint8_t* saved = nullptr;
        const bool swap = OuterCursor != nullptr && OuterBuffer != nullptr;
        try {
            if (swap) saved = SwapCursorBuffer(OuterCursor, OuterBuffer);
            Statement->Execute(Query, OuterCursor, OuterOperator);
            if (swap) SwapCursorBuffer(OuterCursor, saved);
            if (IsScalar != 0 && Statement->FieldCount() != 1)
                RaiseNativeFmt(20246, "Subquery must have only one result field, but subquery's FieldCount=%d",
                               {Statement->FieldCount()});
            if (IsSingleRow != 0) {
                const int64_t n = Statement->RecordCount();
                if (n == 0) RaiseNative(20249, "Subquery must have one row, but it contains 0 rows");
                if (n > 1) RaiseNative(20247, "Subquery must have only one row");
            }
        } catch (...) {
            if (swap && saved != nullptr) SwapCursorBuffer(OuterCursor, saved);
            Statement.reset();
            throw;
        }
    }
    struct Release {
        TORQExprNodeSubquery* node;
        ~Release() {
            if (node->IsCorrelated != 0) node->Statement.reset();
        }
    } release{this};
    return Action(*Statement);
}

TORQVariant& TORQExprNodeSubquery::GetValue() {
    Run([this](TORQSubqueryStatement& s) {
        if (s.RecordCount() == 0) ScalarValue.Clear(0);
        else s.GetFirstRowValue(0, ScalarValue);
        return 0;
    });
    return ScalarValue;
}

void TORQExprNodeSubquery::FetchSubqueryRow() {
    Run([this](TORQSubqueryStatement& s) {
        const int32_t n = std::max(s.FieldCount(), 0);
        RowValues.resize(static_cast<std::size_t>(n));
        const bool empty = s.RecordCount() == 0;
        for (int32_t i = 0; i < n; ++i) {
            auto& v = RowValues[static_cast<std::size_t>(i)];
            if (!v) v = std::make_unique<TORQVariant>();
            if (empty) v->Clear(0);
            else s.GetFirstRowValue(i, *v);
        }
        return 0;
    });
}

TORQVariant* TORQExprNodeSubquery::GetSubqueryValue(int32_t Index) {
    if (Index < 0 || Index >= static_cast<int32_t>(RowValues.size())) return nullptr;
    return RowValues[static_cast<std::size_t>(Index)].get();
}

bool TORQExprNodeSubquery::HasRows() {
    return Run([](TORQSubqueryStatement& s) { return s.RecordCount() > 0; });
}

bool TORQExprNodeSubquery::ContainsValue(const TORQVariant& LookupValue) {
    if (IsCorrelated == 0 && Statement && HasLastLookup &&
        LookupValue.Compare(LastLookupValue, false, false, false) == cmpEqual)
        return LastLookupResult;
    const bool found = Run([&](TORQSubqueryStatement& s) { return s.Locate(LookupValue); });
    if (IsCorrelated == 0) {
        LastLookupValue.Assign(LookupValue, true);
        LastLookupResult = found;
        HasLastLookup = true;
    }
    return found;
}

bool TORQExprNodeSubquery::CompareQuantified(uint8_t CompareOperator, uint8_t Quantifier, const TORQVariant& Value) {
    const bool all = Quantifier == 1;
    return Run([&](TORQSubqueryStatement& s) {
        // Every row of an empty result satisfies ALL; none satisfies ANY.
        if (s.RecordCount() == 0) return all;
        uint8_t op = MirrorOperator(CompareOperator);
        if (all) op = NegateOperator(op);
        const bool found = s.FindKey(op, Value);
        return all ? !found : found;
    });
}

void TORQExprNodeSubquery::BindToOperators(TORQAO* Operator1, TORQAO*, TORQCursor*) { OuterOperator = Operator1; }

void TORQExprNodeSubquery::BindToCursor(TORQCursor* Cursor, TORQAO*, TORQCursor*) {
    OuterCursor = Cursor;
    SetRecordBuffer(Cursor != nullptr ? CursorCurrentBuffer(Cursor) : nullptr, 0);
}

void TORQExprNodeSubquery::SetRecordBuffer(uint8_t* Buffer, uint8_t) { OuterBuffer = Buffer; }

uint8_t TORQExprNodeSubquery::GetDataType() { return ParseStatement(nullptr)->FirstFieldType(); }

int32_t TORQExprNodeSubquery::GetDataSize() { return ParseStatement(nullptr)->FirstFieldSize(); }

bool TORQExprNodeSubquery::CanEvaluateOn(TORQAO* Operator1, TORQAO*, uint8_t, TORQCursor*) {
    return ParseStatement(Operator1)->IsSelfContained();
}

// ---------------------------------------------------------------------------------
// TORQExprNodeBlob

TORQVariant& TORQExprNodeBlob::GetValue() {
    TORQVariant& arg = Child(0)->GetValue();
    Value.Clear(bdtVarChar);
    if (arg.IsNull()) return Value;
    const std::string text = ValueAsText(arg);
    const std::string bytes = FormatClassOf<TStringFormat_MIME64>()->TextToBytes(text.data(), static_cast<int32_t>(text.size()));
    Value.SetAsString(bytes);
    return Value;
}

}  // namespace orq
