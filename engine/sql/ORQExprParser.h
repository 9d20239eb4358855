// The expression grammar: conditions from OR down to the predicates, values from sums
// down to the primaries, and the function calls, CAST, CASE, COALESCE, aggregates and
// date, time and timestamp literals. One parser object serves one parse of one
// TORQExpression over one lexer command.
//
// Rules it keeps:
// - Every rule returns a new node (the caller owns it) or nothing; a rule that returns
//   nothing has put the lexer back where it started and freed what it built.
// - Only the listed parse errors raise; every other mismatch is a failed match.
// - A rule position that failed once fails again (the grammar reads nothing but the
//   tokens and the expression's fixed flags), so failures are remembered per token
//   position: the alternatives that re-read a prefix no longer multiply per nesting
//   level.
// - A predicate reads its left operand once and then branches on the next token: the
//   result is the one the alternatives give when each re-reads that operand.
// - Reserved words are keywords only in tokens of kind tktReservedWord.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/sql/ORQExprNodes.h"
#include "engine/sql/ORQLexer.h"

namespace orq {

class TORQExpression;
class TORQQuery;

class TORQExprParser {
public:
    // AllowSubqueries false: a SELECT is a parse error at its token.
    TORQExprParser(TORQExpression& Owner, TORQLexer& Lexer, TORQQuery* Query, bool AllowSubqueries);

    TORQExprNodePtr SearchCondition();              // the OR rule
    TORQExprNodePtr Value();                        // the value rule
    TORQExprNodePtr Subquery(uint8_t IsScalar, uint8_t IsSingleRow);

    const TToken& Current() const { return FToken; }

private:
    // Tokens.
    void Advance() { FLexer.GetNextToken(FToken); }
    int32_t Save() const { return FLexer.GetTokenPosition(); }
    void Restore(int32_t Position) { FLexer.SeekToken(Position, FToken); }
    bool IsWord(int32_t Code) const { return TORQLexer::IsReservedWord(FToken, Code); }
    bool IsOp(std::string_view Text) const { return FToken.Kind == tktString && FToken.Text == Text; }
    bool IsLeft() const { return FToken.Kind == tktLeftParenthesis; }
    bool IsRight() const { return FToken.Kind == tktRightParenthesis; }
    bool IsComma() const { return FToken.Kind == tktComma; }
    bool IsQuoted() const { return FToken.Kind == tktQuotedString; }
    bool IsParamOfType(bool (*Test)(uint8_t)) const;
    bool IsEnd() const { return FToken.Kind == tktNone; }

    // Failed matches remembered per position.
    enum : uint8_t { fmValue = 1, fmPrimary = 2, fmDateArithmetic = 4, fmOperand = 8, fmSubquery = 16 };
    bool KnownToFail(int32_t Position, uint8_t Rule) const;
    void MarkFailed(int32_t Position, uint8_t Rule) { FFailed[Position] |= Rule; }

    // Errors at the current token (at the last token when the command has ended).
    void Where(int32_t& Line, int32_t& Column) const;
    [[noreturn]] void RaiseExpected(int32_t Code, std::string_view Expected) const;
    [[noreturn]] void RaiseFound(int32_t Code, std::string_view Format) const;  // '%s' found, line, column
    [[noreturn]] void RaiseAt(int32_t Code, std::string_view Format) const;     // line, column only
    [[noreturn]] void RaiseArgument(int32_t Code, std::string_view Function) const;
    [[noreturn]] void RaiseStringArgument(int32_t Code, std::string_view Function) const;
    void Expect(bool Condition, int32_t Code, std::string_view Expected) const {
        if (!Condition) RaiseExpected(Code, Expected);
    }

    // Conditions.
    TORQExprNodePtr Conjunction();
    TORQExprNodePtr Negation();
    TORQExprNodePtr TruthTest();
    TORQExprNodePtr PredicateOrGroup();
    // The predicate alternatives after their shared left operand; Left stays the
    // caller's when nothing matches (and the lexer is back after it).
    TORQExprNodePtr PredicateTail(TORQExprNodePtr& Left);
    TORQExprNodePtr Exists();
    // A subquery node at the current token (SELECT), or the error that none may stand.
    TORQExprNodePtr MakeSubquery(uint8_t IsScalar, uint8_t IsSingleRow);
    TORQExprNodePtr ValueOrSubquery();
    TORQExprNodePtr MakeComparison(uint8_t Operator, TORQExprNodePtr Left, TORQExprNodePtr Right);
    TORQExprNodePtr MakeLike(bool Negated, TORQExprNodePtr Left, TORQExprNodePtr Pattern);
    TORQExprNodePtr BooleanConstant();  // TRUE, FALSE or a logical parameter, else nothing
    TORQExprNodePtr NullConstant();     // NULL or a Null parameter, else nothing

    // Values.
    TORQExprNodePtr Sum();
    TORQExprNodePtr Term();
    TORQExprNodePtr Unary();
    TORQExprNodePtr Factor();
    TORQExprNodePtr Primary();
    TORQExprNodePtr PrimaryAlternatives();
    TORQExprNodePtr Constant();
    TORQExprNodePtr FieldReference();
    TORQExprNodePtr DateArithmetic();
    TORQExprNodePtr DateFunction(bool WithParameters);
    TORQExprNodePtr ConcatenationOrOperand();
    TORQExprNodePtr Operand();

    // Functions and literals.
    TORQExprNodePtr Aggregate();
    TORQExprNodePtr Cast();
    TORQExprNodePtr Case();
    TORQExprNodePtr Coalesce();
    TORQExprNodePtr DateLiteral();
    TORQExprNodePtr NumericFunction();
    TORQExprNodePtr OneArgument(uint8_t Operator, std::string_view Name);
    TORQExprNodePtr Power();
    TORQExprNodePtr Round();
    TORQExprNodePtr StringFunction();
    TORQExprNodePtr Substring();
    TORQExprNodePtr Position();
    TORQExprNodePtr Length();
    TORQExprNodePtr ToDate();
    TORQExprNodePtr ToString();
    TORQExprNodePtr Extract();
    TORQExprNodePtr LastAutoinc();
    TORQExprNodePtr MimeToBin();

    TORQExpression& FOwner;
    TORQLexer& FLexer;
    TORQQuery* FQuery;
    bool FAllowSubqueries;
    TToken FToken;
    std::unordered_map<int32_t, uint8_t> FFailed;
};

// The advanced field type named Text (upper-cased) in the SQL data-type table, first
// row first; 0 when the name is not there.
uint8_t AdvancedTypeByName(std::string_view Text);

}  // namespace orq
