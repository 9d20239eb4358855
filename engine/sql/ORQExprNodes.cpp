#include "engine/sql/ORQExprNodes.h"
#include "engine/sql/ORQLexer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <exception>
#include <limits>
#include <random>

#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQDateLike.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQReservedWords.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/sql/ORQExprCursorLink.h"
#include "engine/sql/ORQExprInPlace.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQExprText.h"
#include "engine/sql/ORQRounding.h"

namespace orq {

std::string DataOperatorName(uint8_t Operator) {
    switch (Operator) {
        case doEqual: return "=";
        case doNotEqual: return "<>";
        case doGreater: return ">";
        case doLess: return "<";
        case doGreaterOrEqual: return ">=";
        case doLessOrEqual: return "<=";
        case doNot: return "NOT";
        case doAnd: return "AND";
        case doOr: return "OR";
        case doLike: return "LIKE";
        case doNotLike: return "NOT LIKE";
        case doIsNull: return "IS NULL";
        case doIsNotNull: return "IS NOT NULL";
        case doAdd: return "+";
        case doNegate: return "-";
        case doMultiply: return "*";
        case doDivide: return "/";
        case doConcat: return "||";
        case doUpper: return "UPPER";
        case doLower: return "LOWER";
        case doTrim: return "TRIM";
        case doLTrim: return "LTRIM";
        case doRTrim: return "RTRIM";
        case doSum: return "SUM";
        case doAvg: return "AVG";
        case doMin: return "MIN";
        case doMax: return "MAX";
        case doCount: return "COUNT";
        case doCountStar: return "COUNT(*)";
        default: return "unknown";
    }
}

[[noreturn]] void RaiseUnknownOperator(int32_t Code, uint8_t Operator) {
    RaiseNativeFmt(Code, "Unknown operator: '%s'", {DataOperatorName(Operator)});
}

// ---------------------------------------------------------------------------------
// TORQExprNode

TORQExprNode::TORQExprNode(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare)
    : Operator(Operator), IgnoreCase(IgnoreCase), PartialCompare(PartialCompare) {}

TORQExprNode::TORQExprNode(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare,
                           std::unique_ptr<TORQExprNode> Child1, std::unique_ptr<TORQExprNode> Child2,
                           std::unique_ptr<TORQExprNode> Child3)
    : TORQExprNode(Operator, IgnoreCase, PartialCompare) {
    for (auto* c : {&Child1, &Child2, &Child3})
        if (*c) AddChild(std::move(*c));
}

TORQExprNode::~TORQExprNode() = default;

TORQExprNode* TORQExprNode::AddChild(std::unique_ptr<TORQExprNode> Node) {
    Children.push_back(std::move(Node));
    return Children.back().get();
}

std::unique_ptr<TORQExprNode> TORQExprNode::ReplaceChild(int32_t Index, std::unique_ptr<TORQExprNode> Node) {
    std::swap(Children.at(static_cast<std::size_t>(Index)), Node);
    return Node;
}

std::unique_ptr<TORQExprNode> TORQExprNode::ExtractChild(int32_t Index) {
    auto it = Children.begin() + Index;
    std::unique_ptr<TORQExprNode> node = std::move(Children.at(static_cast<std::size_t>(Index)));
    Children.erase(it);
    return node;
}

int32_t TORQExprNode::IndexOfChild(const TORQExprNode* Node) const {
    for (std::size_t i = 0; i < Children.size(); ++i)
        if (Children[i].get() == Node) return static_cast<int32_t>(i);
    return -1;
}

int32_t TORQExprNode::GetTruth() {
    TORQVariant& v = GetValue();
    return v.IsNull() ? -1 : v.GetAsBoolean() ? 1 : 0;
}

void TORQExprNode::Prepare() {
    for (auto& c : Children) c->Prepare();
}

bool TORQExprNode::ContainsAggregate() {
    for (auto& c : Children)
        if (c->ContainsAggregate()) return true;
    return false;
}

void TORQExprNode::ResetAggregate() {
    for (auto& c : Children) c->ResetAggregate();
}

void TORQExprNode::AccumulateAggregate() {
    for (auto& c : Children) c->AccumulateAggregate();
}

void TORQExprNode::BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor) {
    for (auto& c : Children) c->BindToOperators(Operator1, Operator2, Cursor);
}

void TORQExprNode::BindToCursor(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) {
    for (auto& c : Children) c->BindToCursor(Cursor, Operator, SecondCursor);
}

void TORQExprNode::SetRecordBuffer(uint8_t* Buffer, uint8_t Side) {
    for (auto& c : Children) c->SetRecordBuffer(Buffer, Side);
}

uint8_t TORQExprNode::GetDataType() {
    uint8_t t = 0;
    for (std::size_t i = 0; i < Children.size(); ++i) {
        const uint8_t ct = Children[i]->GetDataType();
        t = i == 0 ? ct : ResultAdvancedFieldType(t, ct, false);
    }
    if (t == 0) RaiseNative(30283, "Cannot determine expression type");
    return t;
}

int32_t TORQExprNode::GetDataSize() {
    if (!IsStringAdvancedType(GetDataType())) return 0;
    if (Operator != doAdd && Operator != doConcat) return 0;
    int64_t size = 0;
    for (auto& c : Children) size += c->GetDataSize();
    return static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
}

bool TORQExprNode::CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t LookupFlag, TORQCursor* Cursor) {
    for (auto& c : Children)
        if (!c->CanEvaluateOn(Operator1, Operator2, LookupFlag, Cursor)) return false;
    return true;
}

void TORQExprNode::ReplaceAliases(const std::vector<TORQSelectListItem>& Items) {
    for (auto& c : Children) c->ReplaceAliases(Items);
}

bool TORQExprNode::UsesOnlyFields(const std::string& FieldList) {
    for (auto& c : Children)
        if (!c->UsesOnlyFields(FieldList)) return false;
    return true;
}

bool TORQExprNode::IsScanField(TORQExprNode* Node) {
    if (auto* f = dynamic_cast<TORQExprNodeField*>(Node)) return f->IsOuterReference == 0;
    if (Node != nullptr && (Node->Operator == doUpper || Node->Operator == doLower) && Node->ChildCount() > 0 &&
        dynamic_cast<TORQExprNodeConst*>(Node) == nullptr) {
        auto* f = dynamic_cast<TORQExprNodeField*>(Node->Child(0));
        return f != nullptr && f->IsOuterReference == 0;
    }
    return false;
}

namespace {

// Arithmetic of constants alone (RAND aside): the same value for every record, so it
// can bound a key range as a constant does ("id < 1000 + 500", "id > -5").
bool IsConstantArithmetic(TORQExprNode* Node) {
    if (dynamic_cast<TORQExprNodeArithmetic*>(Node) == nullptr || Node->Operator == doRand || Node->ChildCount() == 0)
        return false;
    for (int32_t i = 0; i < Node->ChildCount(); ++i) {
        TORQExprNode* c = Node->Child(i);
        if (dynamic_cast<TORQExprNodeConst*>(c) == nullptr && !IsConstantArithmetic(c)) return false;
    }
    return true;
}

}  // namespace

bool TORQExprNode::IsScanValue(TORQExprNode* Node) {
    if (dynamic_cast<TORQExprNodeConst*>(Node) != nullptr) return true;
    if (IsConstantArithmetic(Node)) return true;
    auto* f = dynamic_cast<TORQExprNodeField*>(Node);
    return f != nullptr && f->IsOuterReference != 0;
}

// ---------------------------------------------------------------------------------
// TORQExprNodeConst

TORQExprNodeConst::~TORQExprNodeConst() {
    if (auto bindings = FBindings.lock()) bindings->Forget(this);
}

void TORQExprNodeConst::BindToParameter(const std::shared_ptr<TORQParamBindings>& Bindings,
                                        std::shared_ptr<TORQVariant> Source) {
    if (!Bindings || !Source) return;
    Bindings->Add(this, std::move(Source));
    FBindings = Bindings;
}

uint8_t TORQExprNodeConst::GetDataType() { return BaseToAdvancedFieldType(Value.DataType()); }

int32_t TORQExprNodeConst::GetDataSize() {
    if (Value.IsNull() || !Value.IsString()) return 0;
    return Value.DataSize() - (Value.IsWideString() ? 2 : 1);
}

bool TORQExprNodeConst::EndsWithPercent() const {
    if (Value.IsNull() || !Value.IsString()) return false;
    if (Value.IsWideString()) {
        const std::u16string s = Value.GetAsWideString();
        return s.size() >= 2 && s.find(u'%') == s.size() - 1;
    }
    const std::string s = Value.GetAsString();
    return s.size() >= 2 && s.find('%') == s.size() - 1;
}

bool TORQExprNodeConst::IsAllLowerCase() const {
    if (Value.IsNull() || !Value.IsString()) return false;
    if (Value.IsWideString()) {
        const std::u16string s = Value.GetAsWideString();
        return s == UnicodeLowerCase(s);
    }
    const std::string s = Value.GetAsString();
    return s == EngineLowerCase(s);
}

bool TORQExprNodeConst::IsAllUpperCase() const {
    if (Value.IsNull() || !Value.IsString()) return false;
    if (Value.IsWideString()) {
        const std::u16string s = Value.GetAsWideString();
        return s == UnicodeUpperCase(s);
    }
    const std::string s = Value.GetAsString();
    return s == AnsiUpperCase(s);
}

void TORQExprNodeConst::DropLastChar() {
    if (Value.IsNull() || !Value.IsString()) return;
    const uint8_t t = Value.DataType();
    if (Value.IsWideString()) {
        std::u16string s = Value.GetAsWideString();
        if (!s.empty()) s.pop_back();
        Value.Clear(t);
        Value.SetAsWideString(s);
    } else {
        std::string s = Value.GetAsString();
        if (!s.empty()) s.pop_back();
        Value.Clear(t);
        Value.SetAsString(s);
    }
}

// ---------------------------------------------------------------------------------
// TORQExprNodeField: the parts that need no cursor (the cursor's side is in
// ORQExprNodeField.cpp).

TORQExprNodeField::TORQExprNodeField(TORQCursor* Cursor, std::string TableName, std::string FieldName)
    : TORQExprNode(0), TableName(std::move(TableName)), FieldName(std::move(FieldName)) {
    if (Cursor != nullptr) BindToCursor(Cursor, nullptr, nullptr);
}

TORQExprNodeField::~TORQExprNodeField() = default;

void TORQExprNodeField::BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* BindCursor) {
    Cursor = nullptr;
    RecordBuffer = nullptr;
    FNullBit = -1;
    for (TORQAO* op : {Operator1, Operator2}) {
        if (op == nullptr) continue;
        int32_t no = -1;
        TORQAOFieldDesc desc;
        if (op->FindField(FieldName, TableName, LookupFlag, no, desc) > 0) {
            BoundOperator = op;
            FieldNo = no;
            ResolvedName = desc.Name;
            DataType = desc.DataType;
            BaseType = desc.BaseType;
            Size = desc.Size;
            Extra = desc.Extra;
            Offset = 0;
            return;
        }
    }
    if (IsOuterReference != 0) {
        BindToCursor(BindCursor, Operator2, BindCursor);
        return;
    }
    if (BoundOperator == nullptr && Cursor == nullptr)
        RaiseNativeFmt(30197, "Field '%s' not found", {TableName + "." + FieldName});
}

void TORQExprNodeField::SetRecordBuffer(uint8_t* Buffer, uint8_t Side) {
    if (Side == IsOuterReference) RecordBuffer = Buffer;
}

uint8_t TORQExprNodeField::GetDataType() {
    if (DataType == 0) RaiseNative(30284, "Cannot determine expression type");
    return DataType;
}

TORQVariant& TORQExprNodeField::GetValue() {
    if (RecordBuffer == nullptr) {
        if (BoundOperator == nullptr || FieldNo < 0) RaiseNative(30196, "Dataset and AO not assigned");
        Value.Assign(BoundOperator->GetCurrentFieldValue(FieldNo), false);
        return Value;
    }
    if (FNullBit >= 0 && GetBit(RecordBuffer, FNullBit)) {
        Value.Clear(BaseType);
        return Value;
    }
    if (BaseType == bdtClob || BaseType == bdtWideClob) {
        ReadClobValue();
        return Value;
    }
    // In place: the value refers to the record buffer's bytes. A text is as long as
    // its own characters, not the field's declared size.
    uint8_t* data = RecordBuffer + Offset;
    Value.SetData(data, StoredValueSize(BaseType, data, FMemorySize), BaseType, false);
    return Value;
}

bool TORQExprNodeField::ValueInPlace(const uint8_t*& Data, int32_t& DataSize) const {
    if (RecordBuffer == nullptr || BaseType == bdtClob || BaseType == bdtWideClob) return false;
    if (FNullBit >= 0 && GetBit(RecordBuffer, FNullBit)) {
        Data = nullptr;
        DataSize = 0;
        return true;
    }
    Data = RecordBuffer + Offset;
    DataSize = StoredValueSize(BaseType, Data, FMemorySize);
    return true;
}

bool TORQExprNodeField::CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t Flag, TORQCursor* OnCursor) {
    IsOuterReference = 0;
    int32_t no = -1;
    TORQAOFieldDesc desc;
    bool found = false;
    if (Operator1 != nullptr && Operator1->FindField(FieldName, TableName, Flag, no, desc) == 1) {
        found = true;
    } else if (Operator2 != nullptr && Operator2->FindField(FieldName, TableName, Flag, no, desc) == 1) {
        found = true;
        IsOuterReference = 1;
    } else if (OnCursor != nullptr && CursorHasField(OnCursor, FieldName)) {
        found = true;
        IsOuterReference = 1;
    }
    if (found) LookupFlag = Flag;
    return found;
}

void TORQExprNodeField::ReplaceAliases(const std::vector<TORQSelectListItem>& Items) {
    for (const TORQSelectListItem& item : Items) {
        if (item.IsExpression || AnsiUpperCase(item.Alias) != AnsiUpperCase(FieldName)) continue;
        if (!TableName.empty() && item.TableName != TableName) continue;
        FieldName = item.FieldName;
        TableName = item.TableName;
    }
}

bool TORQExprNodeField::UsesOnlyFields(const std::string& FieldList) {
    std::vector<std::string> names;
    SplitFieldNames(names, FieldList);
    const std::string name = AnsiUpperCase(FieldName);
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

// ---------------------------------------------------------------------------------
// TORQExprNodeComparison

TORQExprNodeComparison::TORQExprNodeComparison(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare,
                                               std::unique_ptr<TORQExprNode> Left,
                                               std::unique_ptr<TORQExprNode> Right, uint8_t RawCompare,
                                               uint8_t Quantifier)
    : TORQExprNode(Operator, IgnoreCase, PartialCompare, std::move(Left), std::move(Right)),
      RawCompare(RawCompare),
      Quantifier(Quantifier) {
    Value.Clear(bdtBoolean);
}

void TORQExprNodeComparison::Prepare() {
    // A wide constant against a plain text field is narrowed once, so that each
    // evaluation compares in the field's own kind.
    if (ChildCount() < 2) return;
    for (int32_t i = 0; i < 2; ++i) {
        auto* f = dynamic_cast<TORQExprNodeField*>(Child(i));
        auto* c = dynamic_cast<TORQExprNodeConst*>(Child(1 - i));
        if (f == nullptr || c == nullptr) continue;
        const uint8_t ft = f->DataType;
        if ((ft == aftChar || ft == aftVarChar || ft == aftGuid) && !c->Value.IsNull() &&
            (c->Value.DataType() == bdtFixedWideChar || c->Value.DataType() == bdtWideVarChar))
            c->Value.CastTo(bdtVarChar);
    }
}

namespace {

bool IsSignedInteger(uint8_t T) { return T >= bdtShortInt && T <= bdtLargeInt; }
bool IsPlainText(uint8_t T) { return T == bdtFixedChar || T == bdtVarChar; }

int64_t SignedIntegerAt(const void* P, uint8_t T) {
    switch (T) {
        case bdtShortInt: { int8_t v; std::memcpy(&v, P, 1); return v; }
        case bdtSmallInt: { int16_t v; std::memcpy(&v, P, 2); return v; }
        case bdtInteger: { int32_t v; std::memcpy(&v, P, 4); return v; }
        default: { int64_t v; std::memcpy(&v, P, 8); return v; }
    }
}

// Fixed-size values compared by their bytes in CompareValueBuffers.
bool IsFixedCompared(uint8_t T) {
    switch (T) {
        case bdtShortInt: case bdtSmallInt: case bdtInteger: case bdtLargeInt: case bdtByte: case bdtWord:
        case bdtCardinal: case bdtSingle: case bdtDouble: case bdtExtended: case bdtDate: case bdtTime:
        case bdtTimeStamp: case bdtBoolean: case bdtCurrency:
            return true;
        default: return false;
    }
}

// A text as TORQVariant::Compare reads it: up to its terminator within its bytes, and at
// most Length characters when Length is not -1.
std::string_view TextInPlace(const uint8_t* Data, int32_t Size, int32_t Length) {
    const auto size = static_cast<size_t>(Size);
    const size_t limit = Length < 0 ? size : std::min(size, static_cast<size_t>(Length));
    const char* p = reinterpret_cast<const char*>(Data);
    return {p, ::strnlen(p, limit)};
}

int32_t TextCode(std::string_view A, std::string_view B, uint8_t Operator, bool IgnoreCase) {
    // Equality needs no order: any code but equal answers it.
    if (Operator == doEqual || Operator == doNotEqual) return SameAnsiText(A, B, IgnoreCase) ? cmpEqual : cmpLess;
    const int c = CompareAnsiText(A, B, IgnoreCase);
    return c < 0 ? cmpLess : c > 0 ? cmpGreater : cmpEqual;
}

}  // namespace

uint8_t InPlaceKindOf(uint8_t FieldType, uint8_t ConstantType) {
    const uint8_t ft = FieldType, ct = ConstantType;
    if (IsSignedInteger(ft) && IsSignedInteger(ct)) return ipIntegers;
    if (IsPlainText(ft) && IsPlainText(ct)) return ipTexts;
    if (IsSignedInteger(ft) && IsPlainText(ct)) return ipIntegerText;
    if (IsFixedCompared(ft) && ct != 0 && !IsBlobBaseType(ct) && ct != bdtBytes && ct != bdtVarBytes &&
        (ct == ft || ResultDataType(ft, ct, true) == ft))
        return ipFixed;
    return ipNone;
}

bool CompareFieldBytes(uint8_t Kind, const uint8_t* Data, int32_t Size, uint8_t FieldType, const TORQVariant& Constant,
                       uint8_t Operator, bool IgnoreCase, bool PartialCompare, bool Raw,
                       TORQInPlaceConstant& Conversion, int32_t& Code) {
    const uint8_t ft = FieldType, ct = Constant.DataType();
    const bool constantNull = Constant.IsNull();
    if (Data == nullptr || constantNull) {
        Code = Data == nullptr && constantNull ? cmpBothNull : Data == nullptr ? cmpFirstNull : cmpSecondNull;
    } else {
        const auto* k = static_cast<const uint8_t*>(Constant.Data());
        const int32_t length = PartialCompare ? Constant.GetStringLength() : -1;
        switch (Kind) {
            case ipIntegers: {
                const int64_t x = SignedIntegerAt(Data, ft), y = SignedIntegerAt(k, ct);
                Code = x < y ? cmpLess : y < x ? cmpGreater : cmpEqual;
                break;
            }
            case ipTexts:
                if (Size <= 0 || Constant.DataSize() <= 0) return false;
                Code = TextCode(TextInPlace(Data, Size, length), TextInPlace(k, Constant.DataSize(), length), Operator,
                                IgnoreCase);
                break;
            case ipIntegerText: {
                // The number as the text it would be converted to, made on the stack.
                if (Constant.DataSize() <= 0) return false;
                char digits[24];
                const auto end = std::to_chars(digits, digits + sizeof digits, SignedIntegerAt(Data, ft)).ptr;
                std::string_view decimal(digits, static_cast<size_t>(end - digits));
                if (length >= 0 && decimal.size() > static_cast<size_t>(length))
                    decimal = decimal.substr(0, static_cast<size_t>(length));
                Code = TextCode(decimal, TextInPlace(k, Constant.DataSize(), length), Operator, IgnoreCase);
                break;
            }
            case ipFixed: {
                const void* other = k;
                if (ct != ft) {
                    // Converted once for as long as the constant keeps its bytes.
                    const auto n = static_cast<size_t>(std::max(Constant.DataSize(), 0));
                    if (Conversion.Converted.Data() == nullptr || Conversion.From.size() != n ||
                        std::memcmp(Conversion.From.data(), k, n) != 0) {
                        Conversion.Reset();
                        Conversion.From.assign(k, k + n);
                        const void* source = k;
                        const void* from = IsStringBaseType(ct) ? static_cast<const void*>(&source) : source;
                        Conversion.Converted = TORQMemoryBlock::Adopt(ConvertValueBuffer(from, -1, ct, ft));
                    }
                    other = Conversion.Converted.Data();
                }
                Code = CompareValueBuffers(Data, other, ft, ft, false, false, -1, IgnoreCase);
                break;
            }
            default: return false;
        }
    }
    if (!Raw) {
        switch (Code) {
            case cmpFirstNull: Code = cmpLess; break;
            case cmpSecondNull: Code = cmpGreater; break;
            case cmpBothNull: Code = cmpEqual; break;
            default: break;
        }
    }
    return true;
}

bool ComparisonHolds(uint8_t Operator, bool Raw, int32_t Code) {
    switch (Operator) {
        case doEqual: return Code == cmpEqual;
        case doNotEqual: return Raw ? (Code == cmpLess || Code == cmpGreater) : Code != cmpEqual;
        case doGreater: return Code == cmpGreater;
        case doLess: return Code == cmpLess;
        case doGreaterOrEqual: return Code == cmpEqual || Code == cmpGreater;
        case doLessOrEqual: return Code == cmpEqual || Code == cmpLess;
        default: return false;
    }
}

bool TORQExprNodeComparison::CompareInPlace(int32_t& Code) {
    if (Children.size() != 2) return false;
    TORQExprNode* left = Children[0].get();
    TORQExprNode* right = Children[1].get();
    if (left != FInPlaceNodes[0] || right != FInPlaceNodes[1]) {
        FInPlace = ipUnknown;
        FInPlaceNodes[0] = left;
        FInPlaceNodes[1] = right;
    }
    if (FInPlace == ipNone) return false;
    if (FInPlace == ipUnknown && (dynamic_cast<TORQExprNodeField*>(left) == nullptr ||
                                  dynamic_cast<TORQExprNodeConst*>(right) == nullptr)) {
        FInPlace = ipNone;
        return false;
    }
    const auto* field = static_cast<const TORQExprNodeField*>(left);
    const TORQVariant& constant = static_cast<const TORQExprNodeConst*>(right)->Value;
    const uint8_t ft = field->BaseType, ct = constant.DataType();
    if (FInPlace == ipUnknown || ft != FInPlaceTypes[0] || ct != FInPlaceTypes[1]) {
        FInPlaceTypes[0] = ft;
        FInPlaceTypes[1] = ct;
        FConversion.Reset();
        FInPlace = InPlaceKindOf(ft, ct);
        if (FInPlace == ipNone) return false;
    }
    const uint8_t* data = nullptr;
    int32_t size = 0;
    if (!field->ValueInPlace(data, size)) return false;
    return CompareFieldBytes(FInPlace, data, size, ft, constant, Operator, IgnoreCase != 0, PartialCompare != 0,
                             RawCompare != 0, FConversion, Code);
}

TORQVariant& TORQExprNodeComparison::GetValue() {
    if (Quantifier != 0) {
        auto* sub = dynamic_cast<TORQExprNodeSubquery*>(Child(1));
        if (sub == nullptr) RaiseUnknownOperator(30117, Operator);
        Value.SetAsBoolean(sub->CompareQuantified(Operator, Quantifier, Child(0)->GetValue()));
        return Value;
    }
    int32_t code = cmpEqual;
    if (!CompareInPlace(code)) {
        TORQVariant& left = Child(0)->GetValue();
        TORQVariant& right = Child(1)->GetValue();
        code = left.Compare(right, RawCompare != 0, IgnoreCase != 0, PartialCompare != 0);
    }
    Value.SetAsBoolean(Holds(code));
    return Value;
}

int32_t TORQExprNodeComparison::GetTruth() {
    int32_t code = cmpEqual;
    if (Quantifier != 0 || !CompareInPlace(code)) return TORQExprNode::GetTruth();
    return Holds(code) ? 1 : 0;
}

bool TORQExprNodeComparison::Holds(int32_t Code) const {
    if (Operator < doEqual || Operator > doLessOrEqual) RaiseUnknownOperator(30117, Operator);
    return ComparisonHolds(Operator, RawCompare != 0, Code);
}

bool TORQExprNodeComparison::GetScanPair(TORQExprNodeField*& Field, TORQExprNode*& ValueNode, bool& FieldOnLeft) {
    Field = nullptr;
    ValueNode = nullptr;
    if (ChildCount() != 2 || Quantifier != 0) return false;
    for (int32_t i = 0; i < 2; ++i) {
        TORQExprNode* f = Child(i);
        TORQExprNode* v = Child(1 - i);
        if (!IsScanField(f) || !IsScanValue(v)) continue;
        auto* field = dynamic_cast<TORQExprNodeField*>(f);
        if (field == nullptr) {
            // UPPER(field) or LOWER(field): only a constant already in that case can be
            // looked up in a case-insensitive index.
            auto* c = dynamic_cast<TORQExprNodeConst*>(v);
            if (c != nullptr) {
                if (f->Operator == doUpper && !c->IsAllUpperCase()) return false;
                if (f->Operator == doLower && !c->IsAllLowerCase()) return false;
            }
            IgnoreCase = 1;
            field = static_cast<TORQExprNodeField*>(f->Child(0));
        }
        Field = field;
        ValueNode = v;
        FieldOnLeft = i == 0;
        return true;
    }
    return false;
}

namespace {

// The index column test shared by comparisons and IS [NOT] NULL.
bool ColumnMatches(const TORQExprNodeField& Field, int32_t Column, int32_t RestrictValue, const TORQIndexDef& IndexDef) {
    if (Column < 0 || Column >= IndexDef.GetColumnCount()) return false;
    if (AnsiUpperCase(Field.FieldName) != AnsiUpperCase(IndexDef.GetColumn(Column).FieldName)) return false;
    if (Column == 0 && IndexDef.Restricted != 0 && RestrictValue != IndexDef.RestrictionNo) return false;
    return true;
}

// The comparison as it reads with the field on the left.
uint8_t FieldSideOperator(uint8_t Operator, bool FieldOnLeft) {
    if (FieldOnLeft) return Operator;
    switch (Operator) {
        case doGreater: return doLess;
        case doLess: return doGreater;
        case doGreaterOrEqual: return doLessOrEqual;
        case doLessOrEqual: return doGreaterOrEqual;
        default: return Operator;
    }
}

}  // namespace

namespace {

// An integer key holds whole numbers of its own range only: a constant that converts with
// loss (518.5, or 100000 for a SMALLINT) would look up another key and miss or add records,
// so the comparison stays with the record check.
bool FitsIntegerKey(const TORQVariant& Value, uint8_t FieldType) {
    long double low = 0, high = 0;
    switch (FieldType) {
        case aftShortInt: case aftAutoIncShortInt: low = INT8_MIN; high = INT8_MAX; break;
        case aftSmallInt: case aftAutoIncSmallInt: low = INT16_MIN; high = INT16_MAX; break;
        case aftInteger: case aftAutoInc: case aftAutoIncInteger: low = INT32_MIN; high = INT32_MAX; break;
        case aftLargeInt: case aftAutoIncLargeInt: low = INT64_MIN; high = INT64_MAX; break;
        case aftByte: case aftAutoIncByte: high = UINT8_MAX; break;
        case aftWord: case aftAutoIncWord: high = UINT16_MAX; break;
        case aftCardinal: case aftAutoIncCardinal: high = UINT32_MAX; break;
        default: return true;
    }
    if (Value.IsNull()) return true;
    long double v = 0;
    try {
        v = Value.GetAsExtended();
    } catch (const std::exception&) {
        return false;
    }
    return v == std::trunc(v) && v >= low && v <= high;
}

}  // namespace

bool TORQExprNodeComparison::CanServeIndexColumn(int32_t Column, uint8_t PreviousOperator, int32_t RestrictValue,
                                                 const TORQIndexDef& IndexDef) {
    TORQExprNodeField* field;
    TORQExprNode* valueNode;
    bool fieldOnLeft;
    if (!GetScanPair(field, valueNode, fieldOnLeft)) return false;
    if (!ColumnMatches(*field, Column, RestrictValue, IndexDef)) return false;
    if (IsBlobAdvancedType(field->DataType)) return false;
    const bool isString = IsStringAdvancedType(field->DataType);
    if (isString && IndexDef.GetColumn(Column).CaseInsensitive != IgnoreCase) return false;
    if (PartialCompare != 0) return false;
    if (Operator < doEqual || Operator > doLessOrEqual || Operator == doNotEqual) return false;
    if (isString && valueNode->GetDataSize() >= field->Size) return false;
    if (Column > 0 && !(PreviousOperator == doEqual && Operator == doEqual)) return false;
    TORQVariant* computed = nullptr;
    if (dynamic_cast<TORQExprNodeArithmetic*>(valueNode) != nullptr) {
        // Computed once here: one that cannot be (1 / 0, an overflow) stays with the record
        // check, which raises as it always did, and only when a record is read.
        if (isString) return false;
        try {
            computed = &valueNode->GetValue();
        } catch (const std::exception&) {
            return false;
        }
    }
    TORQVariant& value = computed != nullptr ? *computed : valueNode->GetValue();
    // A raw comparison with Null holds for no record, while a key range would hold Nulls
    // or everything above them: the record check alone answers it.
    if (RawCompare != 0 && value.IsNull()) return false;
    return FitsIntegerKey(value, field->DataType);
}

namespace {

// The scan operator of a field-side comparison in the index's key order.
uint8_t ScanOperator(uint8_t FieldOperator, bool Descending) {
    switch (FieldOperator) {
        case doEqual: return scoEqual;
        case doGreater: return Descending ? scoLess : scoGreater;
        case doLess: return Descending ? scoGreater : scoLess;
        case doGreaterOrEqual: return Descending ? scoLessOrEqual : scoGreaterOrEqual;
        case doLessOrEqual: return Descending ? scoGreaterOrEqual : scoLessOrEqual;
        default: return scoNone;
    }
}

}  // namespace

void TORQExprNodeComparison::BuildScanCondition(TORQScanSearchConditionArray& Conditions, const TORQIndexDef& IndexDef,
                                                TORQBaseExpression* Companion) {
    TORQExprNodeField* field;
    TORQExprNode* valueNode;
    bool fieldOnLeft;
    if (!GetScanPair(field, valueNode, fieldOnLeft)) RaiseNative(20055, "Pointer is nil");
    if (field->Cursor == nullptr) RaiseNative(20054, "Pointer is nil");
    if (IndexDef.GetColumnCount() == 0) RaiseNative(20057, "Invalid index for search");
    const bool descending = IndexDef.GetColumn(0).Descending != 0;
    TORQScanSearchCondition condition;
    condition.Operator = ScanOperator(FieldSideOperator(Operator, fieldOnLeft), descending);
    condition.PartialCompare = PartialCompare != 0;
    StartScanKey(condition, field->Cursor, IndexDef);
    AddScanKeyValue(valueNode->GetValue(), field->Cursor, condition, Companion, field->FieldNo);
    Conditions.AddCondition(condition);
    // Null keys sort first (last in a descending column), so a range that runs to that end
    // holds them, which a raw comparison never accepts. A second key condition, the
    // column's IS NOT NULL, bounds it there. It covers no node: chosen with the range it
    // closes it; left over, the record check tests it like any key condition.
    const uint8_t op = condition.Operator;
    const bool reachesNulls = descending ? op == scoGreater || op == scoGreaterOrEqual
                                         : op == scoLess || op == scoLessOrEqual;
    if (RawCompare == 0 || !reachesNulls) return;
    TORQScanSearchCondition notNull;
    notNull.Operator = descending ? scoLess : scoGreater;
    StartScanKey(notNull, field->Cursor, IndexDef);
    AddScanKeyNull(notNull, field->Cursor, field->FieldNo);
    Conditions.AddCondition(notNull);
}

void TORQExprNodeComparison::FillScanCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& /*IndexDef*/,
                                               TORQBaseExpression* Companion) {
    TORQExprNodeField* field;
    TORQExprNode* valueNode;
    bool fieldOnLeft;
    if (!GetScanPair(field, valueNode, fieldOnLeft)) RaiseNative(20055, "Pointer is nil");
    if (field->Cursor == nullptr) RaiseNative(20054, "Pointer is nil");
    AddScanKeyValue(valueNode->GetValue(), field->Cursor, Condition, Companion, field->FieldNo);
}

bool TORQExprNodeComparison::IsJoinCondition(TORQAO* Operator1, TORQAO* Operator2) {
    if (Operator != doEqual || ChildCount() != 2) return false;
    auto* left = dynamic_cast<TORQExprNodeField*>(Child(0));
    auto* right = dynamic_cast<TORQExprNodeField*>(Child(1));
    if (left == nullptr || right == nullptr || left->IsOuterReference != 0 || right->IsOuterReference != 0)
        return false;
    auto count = [](TORQAO* op, TORQExprNodeField* f) {
        if (op == nullptr) return 0;
        int32_t no = -1;
        TORQAOFieldDesc desc;
        return op->FindField(f->FieldName, f->TableName, 0, no, desc);
    };
    const int32_t l1 = count(Operator1, left), l2 = count(Operator2, left);
    const int32_t r1 = count(Operator1, right), r2 = count(Operator2, right);
    if (l1 + l2 > 1) RaiseNativeFmt(10404, "Ambiguous field reference to '%s'", {left->FieldName});
    if (r1 + r2 > 1) RaiseNativeFmt(10405, "Ambiguous field reference to '%s'", {right->FieldName});
    return l1 + l2 == 1 && r1 + r2 == 1 && l1 != r1;
}

// ---------------------------------------------------------------------------------
// TORQExprNodeBoolean

TORQVariant& TORQExprNodeBoolean::GetValue() {
    if (Value.DataType() != bdtBoolean) Value.Clear(bdtBoolean);
    Value.SetNull();
    bool isNull = false;
    bool result = false;
    switch (Operator) {
        case doNot:
        case doAnd:
        case doOr: {
            const int32_t truth = TORQExprNodeBoolean::GetTruth();
            if (truth < 0) return Value;
            result = truth == 1;
            break;
        }
        case doIn:
        case doNotIn:
            result = EvaluateIn(isNull);
            if (Operator == doNotIn) result = !result;
            break;
        case doExists: {
            auto* sub = dynamic_cast<TORQExprNodeSubquery*>(Child(0));
            if (sub == nullptr) RaiseUnknownOperator(30116, Operator);
            result = sub->HasRows();
            break;
        }
        case doBetween:
        case doNotBetween:
            result = EvaluateBetween(isNull);
            if (Operator == doNotBetween) result = !result;
            break;
        case doLike:
        case doNotLike:
            result = EvaluateLike(isNull);
            if (Operator == doNotLike) result = !result;
            break;
        case doIsNull: result = Child(0)->GetValue().IsNull(); break;
        case doIsNotNull: result = !Child(0)->GetValue().IsNull(); break;
        default: RaiseUnknownOperator(30116, Operator);
    }
    if (!isNull) Value.SetAsBoolean(result);
    return Value;
}

int32_t TORQExprNodeBoolean::GetTruth() {
    switch (Operator) {
        case doNot: {
            const int32_t truth = Child(0)->GetTruth();
            return truth < 0 ? -1 : 1 - truth;
        }
        case doAnd: {
            // False decides whatever came before; Null only when nothing is false.
            int32_t truth = 1;
            for (auto& c : Children) {
                const int32_t t = c->GetTruth();
                if (t == 0) return 0;
                if (t < 0) truth = -1;
            }
            return truth;
        }
        case doOr: {
            int32_t truth = 0;
            for (auto& c : Children) {
                const int32_t t = c->GetTruth();
                if (t == 1) return 1;
                if (t < 0) truth = -1;
            }
            return truth;
        }
        default: return TORQExprNode::GetTruth();
    }
}

bool TORQExprNodeBoolean::EvaluateIn(bool& IsNull) {
    TORQVariant& v = Child(0)->GetValue();
    if (ChildCount() == 2) {
        if (auto* sub = dynamic_cast<TORQExprNodeSubquery*>(Child(1))) return sub->ContainsValue(v);
    }
    if (v.IsNull()) {
        IsNull = true;
        return false;
    }
    for (int32_t i = 1; i < ChildCount(); ++i) {
        TORQVariant& item = Child(i)->GetValue();
        if (v.Compare(item, true, true, false) == cmpEqual) return true;
    }
    return false;
}

bool TORQExprNodeBoolean::EvaluateBetween(bool& IsNull) {
    TORQVariant& v = Child(0)->GetValue();
    TORQVariant& low = Child(1)->GetValue();
    TORQVariant& high = Child(2)->GetValue();
    if (v.IsNull() || low.IsNull() || high.IsNull()) {
        IsNull = true;
        return false;
    }
    const int32_t a = v.Compare(low, true, true, false);
    if (a != cmpEqual && a != cmpGreater) return false;
    const int32_t b = v.Compare(high, true, true, false);
    return b == cmpEqual || b == cmpLess;
}

bool TORQExprNodeBoolean::EvaluateLike(bool& IsNull) {
    TORQVariant& v = Child(0)->GetValue();
    TORQVariant& pattern = Child(1)->GetValue();
    if (pattern.IsNull()) {
        IsNull = true;
        return false;
    }
    const bool valueNull = v.IsNull();
    const uint8_t valueType = valueNull ? pattern.DataType() : v.DataType();
    const uint8_t t = ResultDataType(valueType, pattern.DataType(), false);
    if (!IsStringBaseType(t)) RaiseNativeFmt(30120, "Not string argument in function '%s'", {"LIKE"});
    const bool hasEscape = !EscapeText.empty();
    if (IsWideStringBaseType(t)) {
        const std::u16string text = valueNull ? std::u16string() : ValueAsWideText(v);
        const std::u16string pat = ValueAsWideText(pattern);
        const char16_t esc = hasEscape ? AnsiToWide(EscapeText.substr(0, 1))[0] : u'\0';
        return IsLikeWide(text, pat, hasEscape, esc, IgnoreCase != 0);
    }
    // VARCHAR values are matched where they stand, as GetAsString would read them; others
    // through their text.
    auto inPlace = [](const TORQVariant& V, std::string& Copy) -> std::string_view {
        if (V.IsNull()) return {};
        if (V.DataType() == bdtVarChar && V.DataSize() > 0) {
            const char* p = static_cast<const char*>(V.Data());
            return {p, ::strnlen(p, static_cast<size_t>(V.DataSize()))};
        }
        Copy = ValueAsText(V);
        return Copy;
    };
    std::string textCopy, patternCopy;
    const std::string_view text = inPlace(v, textCopy);
    const std::string_view pat = inPlace(pattern, patternCopy);
    return IsLike(text, pat, hasEscape, hasEscape ? EscapeText[0] : '\0', IgnoreCase != 0);
}

TORQExprNodeField* TORQExprNodeBoolean::ScanField() const {
    if ((Operator != doIsNull && Operator != doIsNotNull) || ChildCount() != 1) return nullptr;
    TORQExprNode* c = Child(0);
    if (!IsScanField(c)) return nullptr;
    if (auto* f = dynamic_cast<TORQExprNodeField*>(c)) return f;
    return static_cast<TORQExprNodeField*>(c->Child(0));
}

bool TORQExprNodeBoolean::CanServeIndexColumn(int32_t Column, uint8_t PreviousOperator, int32_t RestrictValue,
                                              const TORQIndexDef& IndexDef) {
    TORQExprNodeField* field = ScanField();
    if (field == nullptr || !ColumnMatches(*field, Column, RestrictValue, IndexDef)) return false;
    if (Column > 0) return Operator == doIsNull && PreviousOperator == doEqual;
    return true;
}

void TORQExprNodeBoolean::BuildScanCondition(TORQScanSearchConditionArray& Conditions, const TORQIndexDef& IndexDef,
                                             TORQBaseExpression* Companion) {
    TORQExprNodeField* field = ScanField();
    if (field == nullptr || field->Cursor == nullptr) RaiseNative(20254, "Pointer is nil");
    if (IndexDef.GetColumnCount() == 0) RaiseNative(20255, "Invalid index for search");
    TORQScanSearchCondition condition;
    if (Operator == doIsNull) condition.Operator = scoEqual;
    else condition.Operator = IndexDef.GetColumn(0).Descending != 0 ? scoLess : scoGreater;
    condition.PartialCompare = PartialCompare != 0;
    StartScanKey(condition, field->Cursor, IndexDef);
    TORQVariant null;
    AddScanKeyValue(null, field->Cursor, condition, Companion, field->FieldNo);
    Conditions.AddCondition(condition);
}

void TORQExprNodeBoolean::FillScanCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& /*IndexDef*/,
                                            TORQBaseExpression* Companion) {
    TORQExprNodeField* field = ScanField();
    if (field == nullptr || field->Cursor == nullptr) RaiseNative(20254, "Pointer is nil");
    TORQVariant null;
    AddScanKeyValue(null, field->Cursor, Condition, Companion, field->FieldNo);
}

// ---------------------------------------------------------------------------------
// TORQExprNodeArithmetic

namespace {

// One generator per thread: trees are evaluated by the thread that owns them.
std::mt19937_64& RandGenerator() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator;
}

// A floating-point result that C++ computes silently (NaN, an infinity from finite
// arguments) is the run-time's error, never a stored value.
double CheckedResult(double Result, double Argument) {
    if (std::isnan(Result) && !std::isnan(Argument)) throw classlib::EInvalidOp("Invalid floating point operation");
    if (std::isinf(Result) && std::isfinite(Argument)) throw classlib::EOverflow("Floating point overflow");
    return Result;
}

}  // namespace

void SetRandSeed(uint64_t Seed) { RandGenerator().seed(Seed); }

double TORQExprNodeArithmetic::Argument(int32_t Index) { return Child(Index)->GetValue().GetAsDouble(); }

void TORQExprNodeArithmetic::SetInteger(double X) {
    // Whole numbers outside the 32-bit range (and NaN) fail as the conversion does.
    if (!(X >= -2147483648.0 && X <= 2147483647.0))
        RaiseNativeFmt(30051, "Cannot cast from '%s' to '%s'", {std::string("FLOAT"), std::string("INTEGER")});
    if (Value.DataType() != bdtInteger) Value.Clear(bdtInteger);
    Value.SetAsInteger(static_cast<int32_t>(X));
}

void TORQExprNodeArithmetic::SetFloat(double X) {
    if (Value.DataType() != bdtDouble) Value.Clear(bdtDouble);
    Value.SetAsDouble(X);
}

TORQVariant& TORQExprNodeArithmetic::GetValue() {
    switch (Operator) {
        case doAdd:
            Value.Assign(Child(0)->GetValue(), true);
            for (int32_t i = 1; i < ChildCount(); ++i) {
                // a - b is parsed as a + (-b): integers subtract in one step, so that
                // x - minimum is refused only when the difference leaves the type.
                TORQExprNode* c = Child(i);
                if (c->Operator == doNegate && c->ChildCount() == 1 && dynamic_cast<TORQExprNodeArithmetic*>(c)) {
                    TORQVariant& b = c->Child(0)->GetValue();
                    const auto integral = [](uint8_t t) { return t >= bdtShortInt && t <= bdtCardinal; };
                    if (integral(Value.DataType()) && integral(b.DataType())) {
                        Value.Subtract(b);
                    } else {
                        TORQVariant negated;
                        negated.Assign(b, true);
                        negated.Negate();
                        Value.Add(negated);
                    }
                    continue;
                }
                Value.Add(c->GetValue());
            }
            return Value;
        case doNegate:
            Value.Assign(Child(0)->GetValue(), true);
            Value.Negate();
            return Value;
        case doMultiply:
            Value.Assign(Child(0)->GetValue(), true);
            for (int32_t i = 1; i < ChildCount(); ++i) Value.Multiply(Child(i)->GetValue());
            return Value;
        case doDivide:
            Value.Assign(Child(0)->GetValue(), true);
            Value.Divide(Child(1)->GetValue());
            return Value;
        case doAbs: {
            // Through the class library's variant and back: the result has the type
            // that round trip gives (a SMALLINT stays SMALLINT, a WORD stays WORD...).
            const classlib::Variant v = Child(0)->GetValue().GetAsVariant();
            Value.Clear(0);
            Value.SetAsVariant(v);
            if (!Value.IsNull() && Value.IsNumeric()) {
                TORQVariant zero;
                zero.SetAsInteger(0);
                if (Value.Compare(zero, false, false, false) == cmpLess) Value.Negate();
            }
            return Value;
        }
        case doSqr:
            Value.Assign(Child(0)->GetValue(), true);
            Value.Multiply(Child(0)->GetValue());
            return Value;
        default: break;
    }
    if (Operator < doAbs || Operator > doSqrt) RaiseUnknownOperator(30121, Operator);
    // A Null argument gives Null, as ABS and SQR do.
    for (auto& c : Children) {
        if (c->GetValue().IsNull()) {
            Value.Clear(GetDataType() == aftInteger ? bdtInteger : bdtDouble);
            return Value;
        }
    }
    const double x = Argument(0);
    switch (Operator) {
        case doAcos:
            if (!(x >= -1 && x <= 1)) throw classlib::EInvalidOp("Invalid floating point operation");
            SetFloat(std::acos(x));
            break;
        case doAsin:
            if (!(x >= -1 && x <= 1)) throw classlib::EInvalidOp("Invalid floating point operation");
            SetFloat(std::asin(x));
            break;
        case doAtan: SetFloat(std::atan(x)); break;
        case doCeil: SetInteger(std::ceil(x)); break;
        case doCos: SetFloat(CheckedResult(std::cos(x), x)); break;
        case doExp: SetFloat(CheckedResult(std::exp(x), x)); break;
        case doFloor: SetInteger(std::floor(x)); break;
        case doLog:
            if (x == 0) throw classlib::EZeroDivide("Floating point division by zero");
            if (!(x > 0)) throw classlib::EInvalidOp("Invalid floating point operation");
            SetFloat(std::log(x));
            break;
        case doPower: {
            const double y = Argument(1);
            const double r = std::pow(x, y);
            if (std::isnan(r) && !std::isnan(x) && !std::isnan(y))
                throw classlib::EInvalidOp("Invalid floating point operation");
            if (std::isinf(r) && std::isfinite(x) && std::isfinite(y)) {
                if (x == 0) throw classlib::EZeroDivide("Floating point division by zero");
                throw classlib::EOverflow("Floating point overflow");
            }
            SetFloat(r);
            break;
        }
        case doRand: {
            const int32_t n = Child(0)->GetValue().GetAsInteger();
            if (n <= 0) {
                SetInteger(0);
            } else {
                std::uniform_int_distribution<int32_t> d(0, n - 1);
                SetInteger(d(RandGenerator()));
            }
            break;
        }
        case doRound: {
            if (ChildCount() == 1) {
                const long double r = RoundToDigitsDefault(0, rmHalfEven, x);
                SetInteger(static_cast<double>(std::nearbyint(r)));
                break;
            }
            const int32_t digits = Child(1)->GetValue().GetAsInteger();
            uint8_t mode = rmHalfEven;
            if (ChildCount() > 2) {
                // The mode is the keyword's reserved-word code; HALFEVEN .. RNDUP are
                // consecutive words, and any other word leaves the value unrounded.
                const int32_t code = Child(2)->GetValue().GetAsInteger();
                const int32_t first = FindReservedWord("HALFEVEN");
                mode = code >= first && code < first + 9 ? static_cast<uint8_t>(code - first + 1) : uint8_t{rmNone};
            }
            SetFloat(static_cast<double>(RoundToDigitsDefault(digits, mode, x)));
            break;
        }
        case doSign: SetInteger(x > 0 ? 1 : x < 0 ? -1 : 0); break;
        case doSin: SetFloat(CheckedResult(std::sin(x), x)); break;
        case doSqrt:
            if (!(x >= 0)) throw classlib::EInvalidOp("Invalid floating point operation");
            SetFloat(std::sqrt(x));
            break;
        default: RaiseUnknownOperator(30121, Operator);
    }
    return Value;
}

uint8_t TORQExprNodeArithmetic::GetDataType() {
    switch (Operator) {
        case doAbs:
        case doSqr: return Child(0)->GetDataType();
        case doCeil:
        case doFloor:
        case doRand:
        case doSign: return aftInteger;
        case doRound: return ChildCount() == 1 ? aftInteger : aftDouble;
        default:
            if (Operator >= doAcos && Operator <= doSqrt) return aftDouble;
            return TORQExprNode::GetDataType();
    }
}

// ---------------------------------------------------------------------------------
// Field lists

bool ExtractFieldName(std::string_view Text, std::size_t& Pos, std::string& Name) {
    if (Pos >= Text.size()) {
        Name.clear();
        return false;
    }
    std::size_t end = Text.find(';', Pos);
    if (end == std::string_view::npos) end = Text.size();
    Name = TrimText(Text.substr(Pos, end - Pos));
    Pos = end + 1;
    return true;
}

void SplitFieldNames(std::vector<std::string>& List, std::string_view Text) {
    List.clear();
    std::size_t pos = 0;
    std::string name;
    while (ExtractFieldName(Text, pos, name)) List.push_back(AnsiUpperCase(name));
}

}  // namespace orq
