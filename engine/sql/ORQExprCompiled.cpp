#include "engine/sql/ORQExprCompiled.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/sql/ORQExprNodes.h"

namespace orq {

TORQCompiledFilter::~TORQCompiledFilter() = default;

std::unique_ptr<TORQCompiledFilter> TORQCompiledFilter::Compile(TORQExprNode* Root) {
    if (Root == nullptr) return nullptr;
    std::unique_ptr<TORQCompiledFilter> f(new TORQCompiledFilter());
    if (!f->Add(Root)) return nullptr;
    for (const TStep& s : f->FSteps) {
        if (s.Kind == skNode) f->FAllSteps = false;
        if (s.Field != nullptr && std::find(f->FFields.begin(), f->FFields.end(), s.Field) == f->FFields.end())
            f->FFields.push_back(s.Field);
    }
    return f;
}

bool TORQCompiledFilter::SetRecordBuffer(uint8_t* Buffer, uint8_t Side) {
    if (!FAllSteps) return false;
    for (TORQExprNodeField* f : FFields) f->SetRecordBuffer(Buffer, Side);
    return true;
}

namespace {

bool IsComparisonOperator(uint8_t Operator) { return Operator >= doEqual && Operator <= doLessOrEqual; }

// A field of the scanned or outer row against a constant, in that order.
bool FieldAndConstant(TORQExprNode* Node, TORQExprNodeField*& Field, TORQExprNodeConst*& Constant) {
    if (Node->ChildCount() < 2) return false;
    Field = dynamic_cast<TORQExprNodeField*>(Node->Child(0));
    Constant = dynamic_cast<TORQExprNodeConst*>(Node->Child(1));
    return Field != nullptr && Constant != nullptr;
}

// A LIKE's text: VARCHAR against a VARCHAR pattern, which the evaluator matches as 8-bit
// text where it stands.
bool LikeTypesCompile(uint8_t FieldType, uint8_t PatternType) {
    if (FieldType != bdtVarChar || PatternType != bdtVarChar) return false;
    const uint8_t t = ResultDataType(FieldType, PatternType, false);
    return IsStringBaseType(t) && !IsWideStringBaseType(t);
}

}  // namespace

bool TORQCompiledFilter::Add(TORQExprNode* Node) {
    const size_t at = FSteps.size();
    FSteps.emplace_back();
    FSteps[at].Node = Node;
    auto finish = [&](TKind Kind) {
        FSteps[at].Kind = Kind;
        FSteps[at].Size = static_cast<uint32_t>(FSteps.size() - at);
        return Kind != skNode;
    };
    auto asNode = [&] {
        FSteps.resize(at + 1);
        return finish(skNode);
    };

    if (auto* b = dynamic_cast<TORQExprNodeBoolean*>(Node)) {
        switch (b->Operator) {
            case doAnd:
            case doOr:
            case doNot: {
                if (b->Operator == doNot && b->ChildCount() != 1) return asNode();
                bool any = false;
                for (int32_t i = 0; i < b->ChildCount(); ++i) any = Add(b->Child(i)) || any;
                // Logic over nodes alone gains nothing.
                if (!any) return asNode();
                return finish(b->Operator == doAnd ? skAnd : b->Operator == doOr ? skOr : skNot);
            }
            case doIn:
            case doNotIn: {
                TORQExprNodeField* field = nullptr;
                TORQExprNodeConst* first = nullptr;
                if (!FieldAndConstant(b, field, first)) return asNode();
                FSteps[at].Field = field;
                FSteps[at].FieldType = field->BaseType;
                FSteps[at].Negated = b->Operator == doNotIn;
                for (int32_t i = 1; i < b->ChildCount(); ++i) {
                    auto* item = dynamic_cast<TORQExprNodeConst*>(b->Child(i));
                    if (item == nullptr) return asNode();
                    const uint8_t kind = InPlaceKindOf(field->BaseType, item->Value.DataType());
                    if (kind == ipNone) return asNode();
                    TStep& s = FSteps.emplace_back();
                    s.Kind = skCompare;
                    s.Node = b;
                    s.Field = field;
                    s.Constant = item;
                    s.InPlace = kind;
                    s.FieldType = field->BaseType;
                    s.ConstantType = item->Value.DataType();
                }
                return finish(skIn);
            }
            case doLike:
            case doNotLike: {
                TORQExprNodeField* field = nullptr;
                TORQExprNodeConst* pattern = nullptr;
                if (b->ChildCount() != 2 || !FieldAndConstant(b, field, pattern) ||
                    !LikeTypesCompile(field->BaseType, pattern->Value.DataType()))
                    return asNode();
                FSteps[at].Field = field;
                FSteps[at].Constant = pattern;
                FSteps[at].FieldType = field->BaseType;
                FSteps[at].ConstantType = pattern->Value.DataType();
                FSteps[at].Negated = b->Operator == doNotLike;
                return finish(skLike);
            }
            case doIsNull:
            case doIsNotNull: {
                auto* field = b->ChildCount() == 1 ? dynamic_cast<TORQExprNodeField*>(b->Child(0)) : nullptr;
                if (field == nullptr) return asNode();
                FSteps[at].Field = field;
                FSteps[at].FieldType = field->BaseType;
                FSteps[at].Negated = b->Operator == doIsNotNull;
                return finish(skIsNull);
            }
            default: return asNode();
        }
    }
    if (auto* c = dynamic_cast<TORQExprNodeComparison*>(Node)) {
        TORQExprNodeField* field = nullptr;
        TORQExprNodeConst* constant = nullptr;
        if (c->Quantifier != 0 || c->ChildCount() != 2 || !IsComparisonOperator(c->Operator) ||
            !FieldAndConstant(c, field, constant))
            return asNode();
        const uint8_t kind = InPlaceKindOf(field->BaseType, constant->Value.DataType());
        if (kind == ipNone) return asNode();
        FSteps[at].Field = field;
        FSteps[at].Constant = constant;
        FSteps[at].InPlace = kind;
        FSteps[at].FieldType = field->BaseType;
        FSteps[at].ConstantType = constant->Value.DataType();
        return finish(skCompare);
    }
    return asNode();
}

bool TORQCompiledFilter::CompareStep(TStep& S, uint8_t Operator, bool IgnoreCase, bool PartialCompare, bool Raw,
                                     int32_t& Code) {
    const TORQVariant& constant = S.Constant->Value;
    if (S.Field->BaseType != S.FieldType || constant.DataType() != S.ConstantType) return false;
    const uint8_t* data = nullptr;
    int32_t size = 0;
    if (!S.Field->ValueInPlace(data, size)) return false;
    return CompareFieldBytes(S.InPlace, data, size, S.FieldType, constant, Operator, IgnoreCase, PartialCompare, Raw,
                             S.Conversion, Code);
}

int32_t TORQCompiledFilter::LikeStep(TStep& S) {
    const auto* node = static_cast<const TORQExprNodeBoolean*>(S.Node);
    const TORQVariant& pattern = S.Constant->Value;
    if (S.Field->BaseType != S.FieldType || pattern.DataType() != S.ConstantType || pattern.IsNull() ||
        pattern.DataSize() <= 0)
        return S.Node->GetTruth();
    const uint8_t* data = nullptr;
    int32_t size = 0;
    if (!S.Field->ValueInPlace(data, size)) return S.Node->GetTruth();
    // A Null text matches as empty text; any other is read up to its terminator.
    std::string_view text;
    if (data != nullptr) {
        if (size <= 0) return S.Node->GetTruth();
        const char* p = reinterpret_cast<const char*>(data);
        text = {p, ::strnlen(p, static_cast<size_t>(size))};
    }
    const char* p = static_cast<const char*>(pattern.Data());
    const std::string_view pat(p, ::strnlen(p, static_cast<size_t>(pattern.DataSize())));
    const bool hasEscape = !node->EscapeText.empty();
    const char escape = hasEscape ? node->EscapeText[0] : '\0';
    S.Pattern.Prepare(pat, hasEscape, escape, node->IgnoreCase != 0);
    return S.Pattern.Matches(text) != S.Negated ? 1 : 0;
}

int32_t TORQCompiledFilter::Run(size_t At) {
    TStep& s = FSteps[At];
    switch (s.Kind) {
        case skAnd: {
            // False decides whatever came before; Null only when nothing is false.
            int32_t truth = 1;
            for (size_t k = At + 1, end = At + s.Size; k < end; k += FSteps[k].Size) {
                const int32_t t = Run(k);
                if (t == 0) return 0;
                if (t < 0) truth = -1;
            }
            return truth;
        }
        case skOr: {
            int32_t truth = 0;
            for (size_t k = At + 1, end = At + s.Size; k < end; k += FSteps[k].Size) {
                const int32_t t = Run(k);
                if (t == 1) return 1;
                if (t < 0) truth = -1;
            }
            return truth;
        }
        case skNot: {
            const int32_t t = Run(At + 1);
            return t < 0 ? -1 : 1 - t;
        }
        case skCompare: {
            const TORQExprNode* n = s.Node;
            const bool raw = static_cast<const TORQExprNodeComparison*>(n)->RawCompare != 0;
            int32_t code = 0;
            if (!CompareStep(s, n->Operator, n->IgnoreCase != 0, n->PartialCompare != 0, raw, code))
                return s.Node->GetTruth();
            return ComparisonHolds(n->Operator, raw, code) ? 1 : 0;
        }
        case skIn: {
            // The items compare as values do in IN: raw, ignoring case, whole.
            if (s.Field->BaseType != s.FieldType) return s.Node->GetTruth();
            const uint8_t* data = nullptr;
            int32_t size = 0;
            if (!s.Field->ValueInPlace(data, size)) return s.Node->GetTruth();
            if (data == nullptr) return -1;
            bool found = false;
            for (size_t k = At + 1, end = At + s.Size; k < end && !found; ++k) {
                int32_t code = 0;
                if (!CompareStep(FSteps[k], doEqual, true, false, true, code)) return s.Node->GetTruth();
                found = code == cmpEqual;
            }
            return found != s.Negated ? 1 : 0;
        }
        case skLike: return LikeStep(s);
        case skIsNull: {
            const uint8_t* data = nullptr;
            int32_t size = 0;
            if (s.Field->BaseType != s.FieldType || !s.Field->ValueInPlace(data, size)) return s.Node->GetTruth();
            return (data == nullptr) != s.Negated ? 1 : 0;
        }
        case skNode:
        default: return s.Node->GetTruth();
    }
}

}  // namespace orq
