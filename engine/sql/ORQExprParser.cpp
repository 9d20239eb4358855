// The expression grammar (see ORQExprParser.h for the rules it keeps).
#include "engine/sql/ORQExprParser.h"

#include <cstdlib>

#include "classlib/NumConv.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQDateLike.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/sql/ORQExprFunctions.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQExpression.h"

namespace orq {

namespace {

// Codes of the reserved words the grammar reads (their index in the word list).
enum : int32_t {
    rwAll = 3, rwAnd = 6, rwAny = 7, rwAs = 9, rwAvg = 14, rwBetween = 16, rwCase = 23, rwCast = 24,
    rwCoalesce = 32, rwCount = 44, rwCurrentDate = 48, rwCurrentTime = 49, rwCurrentTimestamp = 50, rwDate = 53,
    rwDay = 54, rwDistinct = 68, rwElse = 72, rwEnd = 73, rwEscape = 75, rwExists = 80, rwExtract = 82,
    rwFalse = 83, rwFor = 87, rwFrom = 90, rwHour = 99, rwIn = 102, rwIs = 114, rwLike = 123, rwLower = 125,
    rwMax = 127, rwMemory = 128, rwMin = 129, rwMinute = 131, rwMonth = 133, rwNot = 140, rwNull = 141, rwOr = 150,
    rwPosition = 157, rwSecond = 177, rwSelect = 179, rwSome = 185, rwSubstring = 191, rwSum = 192, rwThen = 196,
    rwTime = 197, rwTimestamp = 198, rwTrim = 207, rwTrue = 208, rwUnknown = 211, rwUpper = 213, rwWhen = 222,
    rwYear = 228, rwLastAutoinc = 234, rwLTrim = 239, rwRTrim = 240, rwPos = 241, rwLength = 242, rwSysDate = 243,
    rwNow = 244, rwToDate = 245, rwToString = 246, rwMimeToBin = 263, rwRowNum = 264, rwAbs = 267, rwSqrt = 282,
    rwHalfEven = 283, rwRndUp = 291
};

// The texts the lexer gives operators; never names.
bool IsOperatorText(const std::string& Text) {
    static constexpr std::string_view ops[] = {"+", "-", "*", "/", "=", "<", ">", "<=", ">=", "<>", "|", "||", ":"};
    for (std::string_view op : ops)
        if (Text == op) return true;
    return false;
}

uint8_t ComparisonOperator(const TToken& Token) {
    if (Token.Kind != tktString) return 0;
    const std::string& t = Token.Text;
    if (t == "=") return doEqual;
    if (t == "<>") return doNotEqual;
    if (t == ">") return doGreater;
    if (t == "<") return doLess;
    if (t == ">=") return doGreaterOrEqual;
    if (t == "<=") return doLessOrEqual;
    return 0;
}

bool IsDateTimeType(uint8_t t) { return t >= bdtDate && t <= bdtTimeStamp; }
bool IsStringType(uint8_t t) { return t >= bdtFixedChar && t <= bdtWideVarChar; }
bool IsStringOrBlobType(uint8_t t) { return IsStringType(t) || (t >= bdtBlob && t <= bdtWideClob); }
bool IsLogicalType(uint8_t t) { return t == bdtBoolean; }
bool IsNumericType(uint8_t t) { return IsNumericBaseType(t); }

TORQExprNodeConst* AsConst(TORQExprNode* Node) { return dynamic_cast<TORQExprNodeConst*>(Node); }
bool IsFieldNode(TORQExprNode* Node) { return dynamic_cast<TORQExprNodeField*>(Node) != nullptr; }

std::unique_ptr<TORQExprNodeConst> ConstOf(const TORQVariant& Value) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.Assign(Value, true);
    return n;
}

TORQExprNodePtr Negate(TORQExprNodePtr Node) {
    return std::make_unique<TORQExprNodeArithmetic>(doNegate, std::move(Node));
}

// A trailing '*' of a non-empty text constant, taken off; true when there was one.
bool DropPartialMarker(TORQExprNode* Node) {
    TORQExprNodeConst* c = AsConst(Node);
    if (c == nullptr || c->Value.IsNull()) return false;
    if (c->Value.IsWideString()) {
        const std::u16string s = c->Value.GetAsWideString();
        if (s.empty() || s.back() != u'*') return false;
    } else if (c->Value.IsString()) {
        const std::string s = c->Value.GetAsString();
        if (s.empty() || s.back() != '*') return false;
    } else {
        return false;
    }
    c->DropLastChar();
    return true;
}

}  // namespace

uint8_t AdvancedTypeByName(std::string_view Text) {
    const std::string name = AnsiUpperCase(Text);
    for (const TSQLFieldType& t : SQLFieldTypes)
        if (name == t.Name) return t.AdvancedFieldType;
    return 0;
}

TORQExprParser::TORQExprParser(TORQExpression& Owner, TORQLexer& Lexer, TORQQuery* Query, bool AllowSubqueries)
    : FOwner(Owner), FLexer(Lexer), FQuery(Query), FAllowSubqueries(AllowSubqueries) {
    FLexer.GetCurrentToken(FToken);
}

bool TORQExprParser::IsParamOfType(bool (*Test)(uint8_t)) const {
    return FToken.Kind == tktParameter && FToken.ParamValue && Test(FToken.ParamValue->DataType());
}

bool TORQExprParser::KnownToFail(int32_t Position, uint8_t Rule) const {
    const auto it = FFailed.find(Position);
    return it != FFailed.end() && (it->second & Rule) != 0;
}

// ---------------------------------------------------------------------------------
// Errors

void TORQExprParser::Where(int32_t& Line, int32_t& Column) const {
    FLexer.ErrorPosition(FToken, Line, Column);
}

void TORQExprParser::RaiseExpected(int32_t Code, std::string_view Expected) const {
    int32_t line, column;
    Where(line, column);
    RaiseNativeFmt(Code, "Token '%s' expected, but '%s' found at line %d, column %d",
                   {std::string(Expected), FToken.Text, line, column});
}

void TORQExprParser::RaiseFound(int32_t Code, std::string_view Format) const {
    int32_t line, column;
    Where(line, column);
    RaiseNativeFmt(Code, Format, {FToken.Text, line, column});
}

void TORQExprParser::RaiseAt(int32_t Code, std::string_view Format) const {
    int32_t line, column;
    Where(line, column);
    RaiseNativeFmt(Code, Format, {line, column});
}

void TORQExprParser::RaiseArgument(int32_t Code, std::string_view Function) const {
    int32_t line, column;
    Where(line, column);
    RaiseNativeFmt(Code, "Argument expected for function '%s' at line %d, column %d",
                   {std::string(Function), line, column});
}

void TORQExprParser::RaiseStringArgument(int32_t Code, std::string_view Function) const {
    int32_t line, column;
    Where(line, column);
    RaiseNativeFmt(Code, "String argument expected for function '%s', but '%s' found at line %d, column %d",
                   {std::string(Function), FToken.Text, line, column});
}

// ---------------------------------------------------------------------------------
// Conditions

TORQExprNodePtr TORQExprParser::SearchCondition() {
    TORQExprNodePtr tree = Conjunction();
    if (!tree) return nullptr;
    while (IsWord(rwOr)) {
        Advance();
        TORQExprNodePtr next = Conjunction();
        if (!next) RaiseFound(30070, "Boolean expression expected, but '%s' found at line %d, column %d");
        tree = std::make_unique<TORQExprNodeBoolean>(doOr, 1, 0, std::move(tree), std::move(next));
    }
    return tree;
}

TORQExprNodePtr TORQExprParser::Conjunction() {
    TORQExprNodePtr first = Negation();
    if (!first || !IsWord(rwAnd)) return first;
    auto node = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, std::move(first));
    while (IsWord(rwAnd)) {
        Advance();
        TORQExprNodePtr next = Negation();
        if (!next) RaiseFound(30069, "Boolean expression expected, but '%s' found at line %d, column %d");
        node->AddChild(std::move(next));
    }
    return node;
}

TORQExprNodePtr TORQExprParser::Negation() {
    const bool negated = IsWord(rwNot);
    if (negated) Advance();
    TORQExprNodePtr node = TruthTest();
    if (negated && node) return std::make_unique<TORQExprNodeBoolean>(doNot, 1, 0, std::move(node));
    return node;
}

TORQExprNodePtr TORQExprParser::TruthTest() {
    TORQExprNodePtr node = PredicateOrGroup();
    if (!node || !IsWord(rwIs)) return node;
    Advance();
    const bool negated = IsWord(rwNot);
    if (negated) Advance();
    if (!IsWord(rwTrue) && !IsWord(rwFalse) && !IsWord(rwUnknown)) RaiseExpected(30067, "TRUE, FALSE or UNKNOWN");
    const bool isTrue = IsWord(rwTrue), isFalse = IsWord(rwFalse);
    Advance();
    if (isTrue || isFalse) {
        // IS TRUE and IS NOT FALSE keep the operand; IS FALSE and IS NOT TRUE negate it.
        if (isTrue != negated) return node;
        return std::make_unique<TORQExprNodeBoolean>(doNot, 1, 0, std::move(node));
    }
    return std::make_unique<TORQExprNodeBoolean>(negated ? doIsNotNull : doIsNull, 1, 0, std::move(node));
}

TORQExprNodePtr TORQExprParser::BooleanConstant() {
    if (IsWord(rwTrue) || IsWord(rwFalse)) {
        auto c = std::make_unique<TORQExprNodeConst>();
        c->Value.SetAsBoolean(IsWord(rwTrue));
        Advance();
        return c;
    }
    if (IsParamOfType(IsLogicalType)) {
        auto c = ConstOf(*FToken.ParamValue);
        c->BindToParameter(FLexer.ParamBindings(), FToken.ParamValue);
        Advance();
        return c;
    }
    return nullptr;
}

TORQExprNodePtr TORQExprParser::NullConstant() {
    if (IsWord(rwNull)) {
        auto c = std::make_unique<TORQExprNodeConst>();
        c->Value.Clear(bdtInteger);
        Advance();
        return c;
    }
    if (FToken.Kind == tktParameter && FToken.ParamValue && FToken.ParamValue->IsNull()) {
        auto c = std::make_unique<TORQExprNodeConst>();
        const uint8_t t = FToken.ParamValue->DataType();
        c->Value.Clear(t != 0 ? t : uint8_t{bdtInteger});
        c->BindToParameter(FLexer.ParamBindings(), FToken.ParamValue);
        Advance();
        return c;
    }
    return nullptr;
}

TORQExprNodePtr TORQExprParser::PredicateOrGroup() {
    const int32_t start = Save();
    if (TORQExprNodePtr c = BooleanConstant()) return c;
    // EXISTS is a reserved word: no left operand can start there.
    if (IsWord(rwExists)) return Exists();

    TORQExprNodePtr left = ValueOrSubquery();
    int32_t afterLeft = Save();
    if (left) {
        if (TORQExprNodePtr node = PredicateTail(left)) return node;
        afterLeft = Save();
    }
    // A parenthesised condition; its closing token must be ")".
    Restore(start);
    if (IsLeft()) {
        Advance();
        TORQExprNodePtr inner = SearchCondition();
        if (inner && IsRight()) {
            Advance();
            return inner;
        }
    }
    // A bare value stands as a condition (the predicate alternatives, tried again here,
    // would fail again).
    if (left) {
        Restore(afterLeft);
        return left;
    }
    Restore(start);
    return nullptr;
}

TORQExprNodePtr TORQExprParser::PredicateTail(TORQExprNodePtr& Left) {
    const int32_t afterLeft = Save();
    if (const uint8_t op = ComparisonOperator(FToken)) {
        Advance();
        const int32_t afterOperator = Save();
        // Quantified comparison.
        uint8_t quantifier = IsWord(rwAll) ? 1 : (IsWord(rwAny) || IsWord(rwSome)) ? 2 : 0;
        if (quantifier != 0) {
            Advance();
            if (TORQExprNodePtr sub = Subquery(1, 0)) {
                return std::make_unique<TORQExprNodeComparison>(
                    op, FOwner.CaseInsensitive ? 1 : 0, FOwner.PartialCompare ? 1 : 0, std::move(Left),
                    std::move(sub), FOwner.RawCompare ? 1 : 0, quantifier);
            }
            Restore(afterOperator);
        }
        if (TORQExprNodePtr right = ValueOrSubquery()) return MakeComparison(op, std::move(Left), std::move(right));
        Restore(afterLeft);
        return nullptr;
    }

    const bool negated = IsWord(rwNot);
    if (negated) Advance();

    if (IsWord(rwLike)) {
        Advance();
        TORQExprNodePtr pattern = ValueOrSubquery();
        if (!pattern) {
            Restore(afterLeft);
            return nullptr;
        }
        if (IsWord(rwEscape)) {
            Advance();
            std::string escape = FToken.Kind == tktParameter && FToken.ParamValue
                                     ? (FToken.ParamValue->IsNull() ? std::string() : FToken.ParamValue->GetAsString())
                                     : FToken.Text;
            if (escape.size() != 1)
                RaiseAt(20294, "Invalid escape character length (should be a single character) at line %d, column %d");
            Advance();
            auto node = std::make_unique<TORQExprNodeBoolean>(negated ? doNotLike : doLike,
                                                              FOwner.CaseInsensitive ? 1 : 0, 0, std::move(Left),
                                                              std::move(pattern));
            node->EscapeText = escape;
            return node;
        }
        return MakeLike(negated, std::move(Left), std::move(pattern));
    }

    if (IsWord(rwIs) && !negated) {
        Advance();
        const bool isNot = IsWord(rwNot);
        if (isNot) Advance();
        if (IsWord(rwNull)) {
            Advance();
            return std::make_unique<TORQExprNodeBoolean>(isNot ? doIsNotNull : doIsNull, 1, 0, std::move(Left));
        }
        Restore(afterLeft);
        return nullptr;
    }

    if (IsWord(rwBetween)) {
        Advance();
        TORQExprNodePtr low = ValueOrSubquery();
        if (low && IsWord(rwAnd)) {
            Advance();
            if (TORQExprNodePtr high = ValueOrSubquery())
                return std::make_unique<TORQExprNodeBoolean>(negated ? doNotBetween : doBetween, 1, 0,
                                                             std::move(Left), std::move(low), std::move(high));
        }
        Restore(afterLeft);
        return nullptr;
    }

    if (IsWord(rwIn)) {
        Advance();
        if (!IsLeft()) {
            Restore(afterLeft);
            return nullptr;
        }
        Advance();
        if (IsWord(rwSelect)) {
            TORQExprNodePtr sub = MakeSubquery(1, 0);
            if (IsRight()) Advance();
            return std::make_unique<TORQExprNodeBoolean>(negated ? doNotIn : doIn, 1, 0, std::move(Left),
                                                         std::move(sub));
        }
        auto node = std::make_unique<TORQExprNodeBoolean>(negated ? doNotIn : doIn, 1, 0, std::move(Left));
        while (!IsRight()) {
            TORQExprNodePtr item = Value();
            // An item that is not a value ends the parse: skipping it would lose a
            // list member, and a list that never reaches ")" must not loop.
            if (!item) RaiseFound(30068, "Value expected, but '%s' found at line %d, column %d");
            node->AddChild(std::move(item));
            if (IsComma()) Advance();
        }
        Advance();
        return node;
    }

    Restore(afterLeft);
    return nullptr;
}

TORQExprNodePtr TORQExprParser::Exists() {
    Advance();
    int32_t opened = 0;
    while (IsLeft()) {
        Advance();
        ++opened;
    }
    TORQExprNodePtr sub = MakeSubquery(0, 0);
    for (int32_t i = 0; i < opened; ++i) {
        if (!IsRight()) RaiseAt(30492, "Missing symbol ')' at line %d, column %d");
        Advance();
    }
    return std::make_unique<TORQExprNodeBoolean>(doExists, 1, 0, std::move(sub));
}

TORQExprNodePtr TORQExprParser::ValueOrSubquery() {
    if (TORQExprNodePtr sub = Subquery(1, 1)) return sub;
    if (TORQExprNodePtr null = NullConstant()) return null;
    return Value();
}

TORQExprNodePtr TORQExprParser::Subquery(uint8_t IsScalar, uint8_t IsSingleRow) {
    const int32_t start = Save();
    if (KnownToFail(start, fmSubquery)) return nullptr;
    int32_t opened = 0;
    while (IsLeft()) {
        Advance();
        ++opened;
    }
    if (!IsWord(rwSelect)) {
        // Every "(" of the run leads to the same token: none of them starts a subquery.
        for (int32_t p = start; p <= start + opened; ++p) MarkFailed(p, fmSubquery);
        Restore(start);
        return nullptr;
    }
    TORQExprNodePtr node = MakeSubquery(IsScalar, IsSingleRow);
    for (int32_t i = 0; i < opened; ++i) Advance();
    return node;
}

TORQExprNodePtr TORQExprParser::MakeSubquery(uint8_t IsScalar, uint8_t IsSingleRow) {
    if (!FAllowSubqueries)
        RaiseFound(30940, "Subquery not allowed in a filter, default or locate condition: '%s' found at line %d, "
                          "column %d");
    if (!HasSubqueryFactory()) RaiseFound(30900, "Subqueries are not available: '%s' found at line %d, column %d");
    // A subquery's operators run once: a statement holding one is parsed for every run.
    FLexer.ParamBindings()->HoldsSubquery = true;
    auto node = std::make_unique<TORQExprNodeSubquery>(IsScalar, FLexer, FQuery, IsSingleRow);
    FLexer.GetCurrentToken(FToken);
    return node;
}

TORQExprNodePtr TORQExprParser::MakeComparison(uint8_t Operator, TORQExprNodePtr Left, TORQExprNodePtr Right) {
    uint8_t partial = 0;
    if (FOwner.PartialCompare) {
        const bool a = DropPartialMarker(Left.get());
        const bool b = DropPartialMarker(Right.get());
        if (a || b) partial = 1;
    }
    TORQExprNodeConst* lc = AsConst(Left.get());
    TORQExprNodeConst* rc = AsConst(Right.get());
    const bool lf = IsFieldNode(Left.get()), rf = IsFieldNode(Right.get());

    // A typed Null compared for (in)equality with a field is IS [NOT] NULL.
    if (Operator == doEqual || Operator == doNotEqual) {
        TORQExprNodeConst* c = lf ? rc : rf ? lc : nullptr;
        if (c != nullptr && c->Value.IsNull() &&
            (IsStringType(c->Value.DataType()) || IsDateTimeType(c->Value.DataType()))) {
            TORQExprNodePtr field = lf ? std::move(Left) : std::move(Right);
            return std::make_unique<TORQExprNodeBoolean>(Operator == doEqual ? doIsNull : doIsNotNull, 1, 0,
                                                         std::move(field));
        }
    }

    // Raw comparison (Null is false) unless a field meets a text, date or Null constant,
    // or a text constant meets an operand whose value is unknown while parsing.
    auto textDateOrNull = [](TORQExprNodeConst* c) {
        return c != nullptr && (c->Value.IsNull() || IsStringType(c->Value.DataType()) ||
                                IsDateTimeType(c->Value.DataType()));
    };
    auto nullAtParse = [](TORQExprNodeConst* c) { return c == nullptr || c->Value.IsNull(); };
    auto textConst = [](TORQExprNodeConst* c) { return c != nullptr && IsStringType(c->Value.DataType()); };
    bool raw = true;
    if ((lf && textDateOrNull(rc)) || (rf && textDateOrNull(lc))) raw = false;
    if ((textConst(lc) && nullAtParse(rc)) || (textConst(rc) && nullAtParse(lc))) raw = false;

    return std::make_unique<TORQExprNodeComparison>(Operator, FOwner.CaseInsensitive ? 1 : 0, partial,
                                                    std::move(Left), std::move(Right), raw ? 1 : 0);
}

TORQExprNodePtr TORQExprParser::MakeLike(bool Negated, TORQExprNodePtr Left, TORQExprNodePtr Pattern) {
    TORQExprNodeConst* c = AsConst(Pattern.get());
    if (c != nullptr && c->EndsWithPercent()) {
        // 'ABC%' is the prefix comparison an index can serve; a '_' in the prefix is a
        // wildcard that the comparison would take literally, so such patterns stay LIKE.
        const bool underscore = c->Value.IsWideString() ? c->Value.GetAsWideString().find(u'_') != std::u16string::npos
                                                        : c->Value.GetAsString().find('_') != std::string::npos;
        if (!underscore) {
            c->DropLastChar();
            return std::make_unique<TORQExprNodeComparison>(Negated ? doNotEqual : doEqual,
                                                            FOwner.CaseInsensitive ? 1 : 0, 1, std::move(Left),
                                                            std::move(Pattern), 0);
        }
    }
    return std::make_unique<TORQExprNodeBoolean>(Negated ? doNotLike : doLike, FOwner.CaseInsensitive ? 1 : 0, 0,
                                                 std::move(Left), std::move(Pattern));
}

// ---------------------------------------------------------------------------------
// Values

TORQExprNodePtr TORQExprParser::Value() {
    const int32_t start = Save();
    if (KnownToFail(start, fmValue)) return nullptr;
    if (TORQExprNodePtr n = Sum()) return n;
    Restore(start);
    if (TORQExprNodePtr n = DateArithmetic()) return n;
    Restore(start);
    if (TORQExprNodePtr n = DateFunction(true)) return n;
    Restore(start);
    if (TORQExprNodePtr n = ConcatenationOrOperand()) return n;
    Restore(start);
    if (TORQExprNodePtr n = BooleanConstant()) return n;
    if (TORQExprNodePtr n = NullConstant()) return n;
    if (IsWord(rwMimeToBin)) return MimeToBin();
    MarkFailed(start, fmValue);
    return nullptr;
}

TORQExprNodePtr TORQExprParser::Sum() {
    TORQExprNodePtr tree = Term();
    if (!tree) return nullptr;
    if (IsOp("+") || IsOp("-")) {
        auto sum = std::make_unique<TORQExprNodeArithmetic>(doAdd, std::move(tree));
        // The sign belongs to the next term: "a - b" is sum [a, negation(b)].
        while (IsOp("+") || IsOp("-")) {
            TORQExprNodePtr next = Term();
            if (!next) return nullptr;
            sum->AddChild(std::move(next));
        }
        tree = std::move(sum);
    }
    // A "||" makes the whole chain a concatenation, read by its own rule.
    if (IsOp("||")) return nullptr;
    return tree;
}

TORQExprNodePtr TORQExprParser::Term() {
    TORQExprNodePtr tree = Unary();
    if (!tree) return nullptr;
    while (IsOp("*") || IsOp("/")) {
        const uint8_t op = IsOp("*") ? doMultiply : doDivide;
        Advance();
        TORQExprNodePtr next = Unary();
        if (!next) return nullptr;
        tree = std::make_unique<TORQExprNodeArithmetic>(op, std::move(tree), std::move(next));
    }
    return tree;
}

TORQExprNodePtr TORQExprParser::Unary() {
    bool negated = false;
    if (IsOp("+")) {
        Advance();
    } else if (IsOp("-")) {
        negated = true;
        Advance();
    }
    TORQExprNodePtr factor = Factor();
    if (!factor) return nullptr;
    return negated ? Negate(std::move(factor)) : std::move(factor);
}

TORQExprNodePtr TORQExprParser::Factor() {
    const int32_t start = Save();
    TORQExprNodePtr node = Primary();
    if (!node) {
        Restore(start);
        node = NumericFunction();
    }
    // Texts and dates are no factors: the concatenation rule reads them.
    if (TORQExprNodeConst* c = AsConst(node.get()); c != nullptr && !IsNumericType(c->Value.DataType())) return nullptr;
    return node;
}

TORQExprNodePtr TORQExprParser::Primary() {
    const int32_t start = Save();
    if (KnownToFail(start, fmPrimary)) return nullptr;
    if (TORQExprNodePtr n = PrimaryAlternatives()) return n;
    Restore(start);
    MarkFailed(start, fmPrimary);
    return nullptr;
}

TORQExprNodePtr TORQExprParser::PrimaryAlternatives() {
    const int32_t start = Save();
    if (TORQExprNodePtr n = Constant()) return n;
    Restore(start);
    if (TORQExprNodePtr n = FieldReference()) return n;
    Restore(start);
    if (IsWord(rwCount) || IsWord(rwSum) || IsWord(rwAvg) || IsWord(rwMin) || IsWord(rwMax)) return Aggregate();
    if (TORQExprNodePtr n = Subquery(1, 0)) return n;
    if (IsWord(rwCase)) return Case();
    if (IsWord(rwCoalesce)) return Coalesce();
    if (IsLeft()) {
        Advance();
        TORQExprNodePtr inner = Value();
        if (inner && IsRight()) {
            Advance();
            return inner;
        }
        Restore(start);
    }
    if (IsWord(rwCast)) return Cast();
    return nullptr;
}

TORQExprNodePtr TORQExprParser::Constant() {
    auto c = std::make_unique<TORQExprNodeConst>();
    switch (FToken.Kind) {
        case tktInt: {
            int64_t v = 0;
            if (classlib::TryStrToInt64(FToken.Text, v)) {
                if (v > -2147483647 && v < 2147483647) c->Value.SetAsInteger(static_cast<int32_t>(v));
                else c->Value.SetAsLargeInt(v);
            } else {
                // Beyond 64 bits the number is still a number.
                double d = 0;
                if (!classlib::TryStrToFloat(FToken.Text, d)) return nullptr;
                c->Value.SetAsDouble(d);
            }
            break;
        }
        case tktFloat: {
            double d = 0;
            if (!classlib::TryStrToFloat(FToken.Text, d)) return nullptr;
            c->Value.SetAsDouble(d);
            break;
        }
        case tktQuotedString: c->Value.SetAsString(FToken.Text); break;
        case tktParameter:
            if (!FToken.ParamValue || !(IsNumericType(FToken.ParamValue->DataType()) ||
                                        IsStringOrBlobType(FToken.ParamValue->DataType())))
                return nullptr;
            c->Value.Assign(*FToken.ParamValue, true);
            c->BindToParameter(FLexer.ParamBindings(), FToken.ParamValue);
            break;
        case tktReservedWord:
            if (IsWord(rwDate) || IsWord(rwTime) || IsWord(rwTimestamp)) return DateLiteral();
            return nullptr;
        default: return nullptr;
    }
    Advance();
    return c;
}

TORQExprNodePtr TORQExprParser::FieldReference() {
    const bool reserved = FToken.Kind == tktReservedWord;
    if (!(FToken.Kind == tktString || FToken.Kind == tktBracketedString || reserved)) return nullptr;
    if (FToken.Kind == tktString && IsOperatorText(FToken.Text)) return nullptr;
    std::string table;
    std::string name = FToken.Text;
    Advance();
    if (FToken.Kind == tktDot) {
        Advance();
        table = std::move(name);
        name = FToken.Text;
        Advance();
    }
    if (reserved || IsLeft()) return nullptr;
    return std::make_unique<TORQExprNodeField>(FOwner.FCursor, table, name);
}

TORQExprNodePtr TORQExprParser::DateFunction(bool WithParameters) {
    uint8_t op = 0;
    if (IsWord(rwNow) || IsWord(rwSysDate) || IsWord(rwCurrentTimestamp)) op = doCurrentTimestamp;
    else if (IsWord(rwCurrentDate)) op = doCurrentDate;
    else if (IsWord(rwCurrentTime)) op = doCurrentTime;
    if (op != 0) {
        Advance();
        return std::make_unique<TORQExprNodeDateFunction>(op);
    }
    if (IsWord(rwToDate)) return ToDate();
    if (WithParameters && IsParamOfType(IsDateTimeType)) {
        auto c = ConstOf(*FToken.ParamValue);
        c->BindToParameter(FLexer.ParamBindings(), FToken.ParamValue);
        Advance();
        return c;
    }
    return nullptr;
}

TORQExprNodePtr TORQExprParser::DateArithmetic() {
    const int32_t start = Save();
    if (KnownToFail(start, fmDateArithmetic)) return nullptr;
    // date + value, date - value
    if (TORQExprNodePtr date = DateFunction(true)) {
        if (IsOp("+") || IsOp("-")) {
            const bool plus = IsOp("+");
            Advance();
            if (TORQExprNodePtr value = Value()) {
                TORQExprNodePtr second = plus ? TORQExprNodePtr(std::make_unique<TORQExprNodeArithmetic>(
                                                    doAdd, std::move(value)))
                                              : Negate(std::move(value));
                return std::make_unique<TORQExprNodeArithmetic>(doAdd, std::move(date), std::move(second));
            }
        }
    }
    Restore(start);
    // operand - date
    if (TORQExprNodePtr operand = ConcatenationOrOperand()) {
        if (IsOp("-")) {
            Advance();
            if (TORQExprNodePtr date = DateFunction(false))
                return std::make_unique<TORQExprNodeArithmetic>(doAdd, std::move(operand), Negate(std::move(date)));
        }
    }
    Restore(start);
    // ( date arithmetic ), only where "(" stands
    if (IsLeft()) {
        Advance();
        if (TORQExprNodePtr inner = DateArithmetic()) {
            if (!IsRight()) RaiseExpected(30501, ")");
            Advance();
            return inner;
        }
    }
    Restore(start);
    MarkFailed(start, fmDateArithmetic);
    return nullptr;
}

TORQExprNodePtr TORQExprParser::ConcatenationOrOperand() {
    TORQExprNodePtr first = Operand();
    if (!first || !(IsOp("||") || IsOp("+"))) return first;
    auto node = std::make_unique<TORQExprNodeStringFunction>(doConcat, std::move(first));
    while (IsOp("||") || IsOp("+")) {
        Advance();
        if (TORQExprNodePtr next = Operand()) node->AddChild(std::move(next));
    }
    return node;
}

TORQExprNodePtr TORQExprParser::Operand() {
    const int32_t start = Save();
    if (KnownToFail(start, fmOperand)) return nullptr;
    if (TORQExprNodePtr n = Primary()) return n;
    Restore(start);
    if (TORQExprNodePtr n = StringFunction()) return n;
    Restore(start);
    if (TORQExprNodePtr n = DateFunction(true)) return n;
    Restore(start);
    MarkFailed(start, fmOperand);
    return nullptr;
}

// ---------------------------------------------------------------------------------
// Aggregates, CAST, CASE, COALESCE

TORQExprNodePtr TORQExprParser::Aggregate() {
    const int32_t start = Save();
    if (IsWord(rwCount)) {
        Advance();
        if (IsLeft()) {
            Advance();
            if (IsOp("*")) {
                Advance();
                if (!IsRight()) RaiseExpected(30073, ")");
                Advance();
                return std::make_unique<TORQExprNodeAggregated>(doCountStar);
            }
        }
        Restore(start);
    }
    uint8_t op = doCount;
    if (IsWord(rwSum)) op = doSum;
    else if (IsWord(rwAvg)) op = doAvg;
    else if (IsWord(rwMin)) op = doMin;
    else if (IsWord(rwMax)) op = doMax;
    Advance();
    uint8_t distinct = 0;
    if (IsWord(rwDistinct)) {
        distinct = 1;
        Advance();
    }
    if (!IsLeft()) RaiseExpected(30074, "(");
    Advance();
    // DISTINCT is also read inside the parentheses: COUNT(DISTINCT STATION).
    if (IsWord(rwDistinct)) {
        distinct = 1;
        Advance();
    }
    TORQExprNodePtr argument = Value();
    if (!argument) RaiseArgument(30102, DataOperatorName(op));
    if (!IsRight()) RaiseExpected(30075, ")");
    Advance();
    return std::make_unique<TORQExprNodeAggregated>(op, std::move(argument), distinct);
}

TORQExprNodePtr TORQExprParser::Cast() {
    const int32_t start = Save();
    Advance();
    if (!IsLeft()) {
        Restore(start);
        return nullptr;
    }
    Advance();
    TORQExprNodePtr value = NullConstant();
    if (value) {
        Advance();  // the token after NULL is taken as the separator
    } else {
        value = Value();
        if (!value) {
            Restore(start);
            return nullptr;
        }
    }
    if (IsComma() || IsWord(rwAs)) Advance();
    const uint8_t type = AdvancedTypeByName(FToken.Text);
    if (!IsComparableAdvancedType(type))
        RaiseNativeFmt(30077, "Cannot convert an expression to specified type: '%s'", {AdvancedFieldTypeName(type)});
    Advance();
    TORQExprNodePtr size;
    if (IsLeft()) {
        Advance();
        size = Sum();
        // The size's own ")" is checked, not skipped: "VARCHAR(10 X)" is no size.
        if (!size || !IsRight()) RaiseExpected(30465, ")");
        Advance();
    }
    if (!IsRight()) RaiseExpected(30076, ")");
    Advance();
    return std::make_unique<TORQExprNodeCast>(std::move(value), std::move(size), type);
}

TORQExprNodePtr TORQExprParser::Case() {
    Advance();
    if (IsWord(rwWhen)) {
        auto node = std::make_unique<TORQExprNodeCase>();
        do {
            Expect(IsWord(rwWhen), 30473, "WHEN");
            Advance();
            TORQExprNodePtr condition = SearchCondition();
            if (!condition)
                RaiseFound(30474, "Search Condition for CASE function expected, but '%s' found at line %d, column %d");
            node->AddWhen(std::move(condition));
            FLexer.GetCurrentToken(FToken);
            Expect(IsWord(rwThen), 30475, "THEN");
            Advance();
            TORQExprNodePtr result = Value();
            if (!result)
                RaiseFound(30476, "When Expression for CASE function expected, but '%s' found at line %d, column %d");
            node->AddThen(std::move(result));
            FLexer.GetCurrentToken(FToken);
        } while (IsWord(rwWhen));
        if (IsWord(rwElse)) {
            Advance();
            TORQExprNodePtr otherwise = Value();
            if (!otherwise)
                RaiseFound(30477,
                           "'Else Result Expression' for CASE function expected, but '%s' found at line %d, column %d");
            node->SetElse(std::move(otherwise));
            FLexer.GetCurrentToken(FToken);
        }
        Expect(IsWord(rwEnd), 30478, "END");
        Advance();
        return node;
    }
    TORQExprNodePtr input = Value();
    if (!input) RaiseFound(30467, "Input expression for CASE function expected, but '%s' found at line %d, column %d");
    auto node = std::make_unique<TORQExprNodeCase>(std::move(input));
    do {
        Expect(IsWord(rwWhen), 30468, "WHEN");
        Advance();
        TORQExprNodePtr when = Value();
        if (!when)
            RaiseFound(30469, "When Expression for CASE function expected, but '%s' found at line %d, column %d");
        node->AddWhen(std::move(when));
        Expect(IsWord(rwThen), 30470, "THEN");
        Advance();
        TORQExprNodePtr result = Value();
        if (!result)
            RaiseFound(30469, "When Expression for CASE function expected, but '%s' found at line %d, column %d");
        node->AddThen(std::move(result));
    } while (IsWord(rwWhen));
    if (IsWord(rwElse)) {
        Advance();
        TORQExprNodePtr otherwise = Value();
        if (!otherwise)
            RaiseFound(30471,
                       "'Else Result Expression' for CASE function expected, but '%s' found at line %d, column %d");
        node->SetElse(std::move(otherwise));
    }
    Expect(IsWord(rwEnd), 30472, "END");
    Advance();
    return node;
}

TORQExprNodePtr TORQExprParser::Coalesce() {
    Advance();
    Expect(IsLeft(), 20275, "(");
    Advance();
    std::vector<TORQExprNodePtr> arguments;
    while (!IsRight()) {
        TORQExprNodePtr item = Value();
        // Not a value (a keyword, an empty place between commas, the end): an error,
        // never a skipped place or a loop.
        if (!item) RaiseFound(30068, "Value expected, but '%s' found at line %d, column %d");
        arguments.push_back(std::move(item));
        if (IsComma()) Advance();
    }
    if (arguments.empty()) RaiseAt(20276, "COALESCE arguments are missing at line %d, column %d");
    Advance();
    return std::make_unique<TORQExprNodeCase>(std::move(arguments));
}

// ---------------------------------------------------------------------------------
// Literals

TORQExprNodePtr TORQExprParser::DateLiteral() {
    const bool date = IsWord(rwDate), time = IsWord(rwTime);
    Advance();
    if (!IsQuoted()) {
        if (date) RaiseFound(20283, "Date string expected \"YYYY-MM-DD\", but found \"%s\" at line %d, column %d");
        RaiseFound(time ? 20285 : 20287, "Time string expected \"HH:MM:SS\", but found \"%s\" at line %d, column %d");
    }
    classlib::TDateTime value = 0;
    auto c = std::make_unique<TORQExprNodeConst>();
    if (date) {
        if (!TryParseDate(FToken.Text, value)) RaiseExpected(20284, "YYYY-MM-DD");
        c->Value.SetAsDate(value);
    } else if (time) {
        if (!TryParseTime(FToken.Text, value)) RaiseExpected(20286, "HH:MM:SS");
        c->Value.SetAsTime(value);
    } else {
        if (!TryParseDateTime(FToken.Text, value)) RaiseExpected(20288, "YYYY-MM-DD");
        c->Value.SetAsDateTime(value);
    }
    Advance();
    return c;
}

// ---------------------------------------------------------------------------------
// Numeric and system functions (factors)

TORQExprNodePtr TORQExprParser::NumericFunction() {
    if (IsWord(rwPos) || IsWord(rwPosition)) return Position();
    if (IsWord(rwExtract)) return Extract();
    if (IsWord(rwLength)) return Length();
    if (IsWord(rwLastAutoinc)) return LastAutoinc();
    if (IsWord(rwRowNum)) {
        Advance();
        return std::make_unique<TORQExprNodeSystem>(doRowNum, 0, "", "", "", "");
    }
    if (FToken.Kind != tktReservedWord || FToken.ReservedWordCode < rwAbs || FToken.ReservedWordCode > rwSqrt)
        return nullptr;
    const uint8_t op = static_cast<uint8_t>(doAbs + (FToken.ReservedWordCode - rwAbs));
    if (op == doPower) return Power();
    if (op == doRound) return Round();
    return OneArgument(op, ReservedWords[FToken.ReservedWordCode]);
}

TORQExprNodePtr TORQExprParser::OneArgument(uint8_t Operator, std::string_view Name) {
    Advance();
    Expect(IsLeft(), 20261, "(");
    Advance();
    TORQExprNodePtr x = Sum();
    if (!x) RaiseArgument(20262, Name);
    Expect(IsRight(), 20263, ")");
    Advance();
    return std::make_unique<TORQExprNodeArithmetic>(Operator, std::move(x));
}

TORQExprNodePtr TORQExprParser::Power() {
    Advance();
    Expect(IsLeft(), 20264, "(");
    Advance();
    TORQExprNodePtr x = Sum();
    if (!x) RaiseArgument(20265, "POWER");
    if (!IsComma()) RaiseAt(20267, "comma (\",\") expected but not found at line %d, column %d");
    Advance();
    TORQExprNodePtr y = Sum();
    if (!y) RaiseArgument(20268, "POWER");
    Expect(IsRight(), 20266, ")");
    Advance();
    return std::make_unique<TORQExprNodeArithmetic>(doPower, std::move(x), std::move(y));
}

TORQExprNodePtr TORQExprParser::Round() {
    Advance();
    Expect(IsLeft(), 30502, "(");
    Advance();
    TORQExprNodePtr x = Sum();
    if (!x) RaiseArgument(30503, "ROUND");
    auto node = std::make_unique<TORQExprNodeArithmetic>(doRound, std::move(x));
    if (IsComma()) {
        Advance();
        TORQExprNodePtr digits = Sum();
        if (!digits) RaiseArgument(30504, "ROUND");
        node->AddChild(std::move(digits));
        if (IsComma()) {
            Advance();
            // Only the nine mode words: another word would round nothing, silently.
            if (FToken.Kind != tktReservedWord || FToken.ReservedWordCode < rwHalfEven ||
                FToken.ReservedWordCode > rwRndUp)
                RaiseArgument(30505, "ROUND");
            auto mode = std::make_unique<TORQExprNodeConst>();
            mode->Value.SetAsInteger(FToken.ReservedWordCode);
            node->AddChild(std::move(mode));
            Advance();
        }
    }
    Expect(IsRight(), 30506, ")");
    Advance();
    return node;
}

TORQExprNodePtr TORQExprParser::Position() {
    Advance();
    Expect(IsLeft(), 30078, "(");
    Advance();
    TORQExprNodePtr sub = ConcatenationOrOperand();
    if (!sub) RaiseArgument(30079, "POS");
    if (!IsComma() && !IsWord(rwIn)) RaiseExpected(30080, ",' or 'IN");
    Advance();
    TORQExprNodePtr text = ConcatenationOrOperand();
    if (!text) RaiseArgument(30081, "POS");
    Expect(IsRight(), 30082, ")");
    Advance();
    return std::make_unique<TORQExprNodeStringFunction>(doPos, std::move(sub), std::move(text));
}

TORQExprNodePtr TORQExprParser::Length() {
    Advance();
    Expect(IsLeft(), 30083, "(");
    Advance();
    TORQExprNodePtr text = ConcatenationOrOperand();
    if (!text) RaiseArgument(30085, "LENGTH");
    Expect(IsRight(), 30084, ")");
    Advance();
    return std::make_unique<TORQExprNodeStringFunction>(doLength, std::move(text));
}

TORQExprNodePtr TORQExprParser::Extract() {
    Advance();
    Expect(IsLeft(), 20277, "(");
    Advance();
    static constexpr std::string_view parts = "YEAR or MONTH or DAY or HOUR or MINUTE or SECOND";
    uint8_t part = 0;
    if (IsWord(rwYear)) part = dpYear;
    else if (IsWord(rwMonth)) part = dpMonth;
    else if (IsWord(rwDay)) part = dpDay;
    else if (IsWord(rwHour)) part = dpHour;
    else if (IsWord(rwMinute)) part = dpMinute;
    else if (IsWord(rwSecond)) part = dpSecond;
    else RaiseExpected(FToken.Kind == tktReservedWord ? 20279 : 20278, parts);
    Advance();
    Expect(IsWord(rwFrom), 20280, "FROM");
    Advance();
    TORQExprNodePtr source = Primary();
    if (!source) RaiseArgument(20281, "EXTRACT (... FROM ...)");
    Expect(IsRight(), 20282, ")");
    Advance();
    return std::make_unique<TORQExprNodeDateFunction>(doExtract, std::move(source), part);
}

TORQExprNodePtr TORQExprParser::LastAutoinc() {
    Advance();
    Expect(IsLeft(), 30086, "(");
    Advance();
    const std::string table = FToken.Text;
    Advance();
    bool memory = false;
    if (IsWord(rwMemory)) {
        memory = true;
        Advance();
    }
    Expect(IsComma(), 30334, ",");
    Advance();
    const std::string field = FToken.Text;
    Advance();
    Expect(IsRight(), 30089, ")");
    Advance();
    return std::make_unique<TORQExprNodeSystem>(doLastAutoinc, (FOwner.InMemory || memory) ? 1 : 0, field, table,
                                                FOwner.DatabaseName, FOwner.SessionName);
}

// ---------------------------------------------------------------------------------
// String and date functions (operands)

TORQExprNodePtr TORQExprParser::StringFunction() {
    uint8_t op = 0;
    if (IsWord(rwUpper)) op = doUpper;
    else if (IsWord(rwLower)) op = doLower;
    else if (IsWord(rwTrim)) op = doTrim;
    else if (IsWord(rwLTrim)) op = doLTrim;
    else if (IsWord(rwRTrim)) op = doRTrim;
    else if (IsWord(rwSubstring)) return Substring();
    else if (IsWord(rwToString)) return ToString();
    else return nullptr;
    Advance();
    Expect(IsLeft(), 30090, "(");
    Advance();
    TORQExprNodePtr argument = ConcatenationOrOperand();
    Expect(IsRight(), 30091, ")");
    Advance();
    if (!argument) RaiseStringArgument(30092, DataOperatorName(op));
    return std::make_unique<TORQExprNodeStringFunction>(op, std::move(argument));
}

TORQExprNodePtr TORQExprParser::Substring() {
    Advance();
    Expect(IsLeft(), 30098, "(");
    Advance();
    TORQExprNodePtr text = ConcatenationOrOperand();
    if (!text) RaiseArgument(30099, "SUBSTRING");
    if (!IsComma() && !IsWord(rwFrom)) RaiseExpected(30100, ",' or 'from");
    Advance();
    TORQExprNodePtr start = Sum();
    if (!start) RaiseArgument(30101, "SUBSTRING");
    TORQExprNodePtr length;
    if (!IsRight()) {
        if (!IsComma() && !IsWord(rwFor)) RaiseExpected(30103, ")' or ',' or 'FOR");
        Advance();
        length = Sum();
        if (!length) RaiseArgument(30101, "SUBSTRING");
    }
    Expect(IsRight(), 30104, ")");
    Advance();
    return std::make_unique<TORQExprNodeStringFunction>(doSubstring, std::move(text), std::move(start),
                                                        std::move(length));
}

TORQExprNodePtr TORQExprParser::ToDate() {
    Advance();
    Expect(IsLeft(), 30105, "(");
    Advance();
    TORQExprNodePtr text = ConcatenationOrOperand();
    if (!text) RaiseArgument(30107, "ToDate");
    Expect(IsComma(), 30108, ",");
    Advance();
    if (!IsQuoted()) RaiseFound(30109, "Const DateFormat string expected, but '%s' found at line %d, column %d");
    const std::string picture = FToken.Text;
    Advance();
    Expect(IsRight(), 30106, ")");
    Advance();
    return std::make_unique<TORQExprNodeDateFunction>(doToDate, picture, std::move(text));
}

TORQExprNodePtr TORQExprParser::ToString() {
    Advance();
    Expect(IsLeft(), 30093, "(");
    Advance();
    TORQExprNodePtr value = Value();
    if (!value) RaiseArgument(30094, "TOSTRING");
    if (!IsComma() && !IsWord(rwFrom)) RaiseExpected(30095, ",");
    Advance();
    if (!IsQuoted()) RaiseFound(30096, "Const DateFormat string expected, but '%s' found at line %d, column %d");
    const std::string picture = FToken.Text;
    Advance();
    Expect(IsRight(), 30097, ")");
    Advance();
    return std::make_unique<TORQExprNodeDateFunction>(doToString, picture, std::move(value));
}

TORQExprNodePtr TORQExprParser::MimeToBin() {
    Advance();
    Expect(IsLeft(), 30479, "(");
    Advance();
    if (!IsQuoted()) RaiseStringArgument(30480, "MimeToBin()");
    auto text = std::make_unique<TORQExprNodeConst>();
    text->Value.SetAsString(FToken.Text);
    Advance();
    Expect(IsRight(), 30481, ")");
    Advance();
    return std::make_unique<TORQExprNodeBlob>(std::move(text));
}

}  // namespace orq
