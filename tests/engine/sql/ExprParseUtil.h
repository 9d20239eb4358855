// Test helpers for parsed expressions: a tree printer (operator, flags, children in
// order), parse shortcuts, and a cursor over a fixed layout whose record buffers the
// tests fill.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ExprTestUtil.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/sql/ORQExprFunctions.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQCursor.h"

namespace parsetest {

using namespace orq;
using exprtest::LayoutCursor;

inline std::string OpName(uint8_t op) {
    switch (op) {
        case doEqual: return "=";
        case doNotEqual: return "<>";
        case doGreater: return ">";
        case doLess: return "<";
        case doGreaterOrEqual: return ">=";
        case doLessOrEqual: return "<=";
        case doNot: return "NOT";
        case doAnd: return "AND";
        case doOr: return "OR";
        case doIn: return "IN";
        case doNotIn: return "NOTIN";
        case doExists: return "EXISTS";
        case doBetween: return "BETWEEN";
        case doNotBetween: return "NOTBETWEEN";
        case doLike: return "LIKE";
        case doNotLike: return "NOTLIKE";
        case doIsNull: return "ISNULL";
        case doIsNotNull: return "ISNOTNULL";
        case doAdd: return "+";
        case doNegate: return "NEG";
        case doMultiply: return "*";
        case doDivide: return "/";
        case doConcat: return "||";
        case doUpper: return "UPPER";
        case doLower: return "LOWER";
        case doTrim: return "TRIM";
        case doLength: return "LENGTH";
        case doPos: return "POS";
        case doSubstring: return "SUBSTRING";
        case doCurrentTimestamp: return "NOW";
        case doCurrentDate: return "CURRENT_DATE";
        case doCurrentTime: return "CURRENT_TIME";
        case doToDate: return "TODATE";
        case doToString: return "TOSTRING";
        case doExtract: return "EXTRACT";
        case doRowNum: return "ROWNUM";
        case doMimeToBin: return "MIMETOBIN";
        case doAbs: return "ABS";
        case doPower: return "POWER";
        case doRound: return "ROUND";
        case doSqrt: return "SQRT";
        default: return "#" + std::to_string(op);
    }
}

// Constants: 1 (32-bit), 2147483647L (64-bit), 1.5d, 'text', NULL:<type>, TRUE/FALSE,
// D'..', T'..', TS'..'. Comparisons and LIKE carry {i p r} for IgnoreCase,
// PartialCompare and RawCompare when set; LIKE with an escape text shows it after '!'.
inline std::string Print(TORQExprNode* n) {
    if (n == nullptr) return "<none>";
    if (auto* c = dynamic_cast<TORQExprNodeConst*>(n)) {
        const TORQVariant& v = c->Value;
        if (v.IsNull()) return "NULL:" + std::to_string(v.DataType());
        switch (v.DataType()) {
            case bdtInteger: return std::to_string(v.GetAsInteger());
            case bdtLargeInt: return std::to_string(v.GetAsLargeInt()) + "L";
            case bdtDouble: return exprtest::Text(v) + "d";
            case bdtBoolean: return v.GetAsBoolean() ? "TRUE" : "FALSE";
            case bdtDate: return "D'" + exprtest::Text(v) + "'";
            case bdtTime: return "T'" + exprtest::Text(v) + "'";
            case bdtTimeStamp: return "TS'" + exprtest::Text(v) + "'";
            default: return "'" + exprtest::Text(v) + "'";
        }
    }
    if (auto* f = dynamic_cast<TORQExprNodeField*>(n))
        return f->TableName.empty() ? f->FieldName : f->TableName + "." + f->FieldName;
    std::string s;
    if (auto* a = dynamic_cast<TORQExprNodeAggregated*>(n)) {
        s = DataOperatorName(a->Operator);
        if (a->Distinct) s += "{d}";
    } else if (auto* k = dynamic_cast<TORQExprNodeCast*>(n)) {
        s = "CAST:" + std::to_string(k->TargetType);
    } else if (auto* cs = dynamic_cast<TORQExprNodeCase*>(n)) {
        s = cs->IsCoalesce ? "COALESCE" : "CASE";
    } else if (auto* d = dynamic_cast<TORQExprNodeDateFunction*>(n); d != nullptr && d->Operator == doExtract) {
        s = "EXTRACT:" + std::to_string(d->DatePart);
    } else {
        s = OpName(n->Operator);
    }
    auto* cmp = dynamic_cast<TORQExprNodeComparison*>(n);
    const bool flagged = cmp != nullptr || n->Operator == doLike || n->Operator == doNotLike;
    if (flagged) {
        std::string f;
        if (n->IgnoreCase) f += "i";
        if (n->PartialCompare) f += "p";
        if (cmp != nullptr && cmp->RawCompare) f += "r";
        if (cmp != nullptr && cmp->Quantifier) f += "q" + std::to_string(cmp->Quantifier);
        if (!f.empty()) s += "{" + f + "}";
        if (auto* b = dynamic_cast<TORQExprNodeBoolean*>(n); b != nullptr && !b->EscapeText.empty())
            s += "!" + b->EscapeText;
    }
    if (n->ChildCount() == 0) return s;
    s += "(";
    for (int32_t i = 0; i < n->ChildCount(); ++i) s += (i ? "," : "") + Print(n->Child(i));
    return s + ")";
}

// A condition through the filter entry point (no cursor unless given).
inline std::string Condition(const std::string& text, bool ci = false, bool pc = false, TORQCursor* cursor = nullptr) {
    TORQExpression e;
    e.ParseFilter(cursor, text, ci, pc);
    return Print(e.Root());
}

// A value expression that must use the whole text.
inline std::string ValueTree(const std::string& text) {
    TORQExpression e;
    TORQLexer lexer(text, nullptr);
    EXPECT_TRUE(lexer.NextCommand()) << text;
    e.ParseValueExpression(nullptr, lexer);
    TToken rest;
    EXPECT_FALSE(lexer.GetCurrentToken(rest)) << text << ": left over '" << rest.Text << "'";
    return Print(e.Root());
}

inline std::function<void(TORQVariant&)> I(int32_t v) {
    return [v](TORQVariant& x) { x.SetAsInteger(v); };
}
inline std::function<void(TORQVariant&)> S(std::string v) {
    return [v](TORQVariant& x) { x.SetAsString(v); };
}
inline std::function<void(TORQVariant&)> TS(double v) {
    return [v](TORQVariant& x) { x.SetAsDateTime(v); };
}

}  // namespace parsetest
