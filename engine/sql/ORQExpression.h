// TORQExpression: the one object through which the engine parses, binds and evaluates
// an expression: WHERE, HAVING and ON conditions and values of the statements, column
// defaults, dataset filters, Locate and key conditions, storage's record filters and the
// index-scan analysis. It owns the tree of expression nodes it parsed or was given.
//
// Rules it keeps:
// - The root and every node below it are owned by the expression; a node leaves only by
//   a named hand-over (AddCondition, CreateWithRoot, PushDownConditions to an operator,
//   RemoveScanConditionNodes). Nodes detached for an index scan stay owned by the
//   expression, parked, until AppendNode takes them back or the expression is cleared:
//   a detached node is never freed twice and never leaks.
// - A parse either leaves a complete tree or raises; nodes built by a failed
//   alternative or before an error are freed. Only the parse errors of the grammar stop
//   a parse; anything else is a failed match that lets the next alternative try.
// - A text parsed with a lexer of the expression's own (filters, defaults, locate
//   conditions) has no query: a SELECT in it is a parse error at that token, since the
//   subquery would keep a lexer that dies with the parse.
// - A failed match is remembered per token position for the parse, so backtracking
//   over nested parentheses stays linear instead of re-reading each level per
//   alternative; trees and errors are those of the plain backtracking rules.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "classlib/Variant.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/sql/ORQExprCompiled.h"
#include "engine/sql/ORQExprNodes.h"
#include "engine/sql/ORQLexer.h"

namespace orq {

class TORQQuery;
class TORQExprNodeCase;

class TORQExpression : public TORQBaseExpression {
public:
    TORQExpression() = default;
    ~TORQExpression() override;
    TORQExpression(const TORQExpression&) = delete;
    TORQExpression& operator=(const TORQExpression&) = delete;

    // An expression that owns Root from now on.
    static std::unique_ptr<TORQExpression> CreateWithRoot(TORQExprNodePtr Root);
    // Frees the tree (and parked nodes); the expression is empty afterwards.
    void Clear();

    // Parsing. Lexer stands at the expression's first token and is left after it.
    // 30118 without a token, 30066 when no condition parses.
    void ParseSearchCondition(TORQQuery* Query, TORQLexer& Lexer);
    // 30136 without a token; the root stays empty when no value parses.
    void ParseValueExpression(TORQQuery* Query, TORQLexer& Lexer);
    // A parenthesised SELECT only; 30497 without a token.
    void ParseSubquery(TORQQuery* Query, TORQLexer& Lexer);
    // True only when Text parsed as one value expression with nothing left over.
    bool TryParseValueExpression(const std::string& Text) override;
    bool IsDefaultValueExpression(const TORQVariant& Value) override;
    // The first condition of Text, bound to Cursor; 30119 for a text without a command,
    // 20260 for anything after the condition (a second command included).
    void ParseFilter(TORQCursor* Cursor, const std::string& Text, bool CaseInsensitive, bool PartialCompare);
    // FieldNames ';'-separated; KeyValues one value or a one-dimensional array holding
    // one value per name (30112 otherwise). Nulls compare as values here.
    void BuildLocateCondition(TORQCursor* Cursor, const std::string& FieldNames, const classlib::Variant& KeyValues,
                              bool CaseInsensitive, bool PartialKey);
    void BuildFieldEqualsCondition(TORQCursor* Cursor, const std::string& FieldName, uint8_t Operator,
                                   const TORQVariant& Value);

    // Evaluation.
    TORQVariant* GetValue(bool KeepNull) override;
    bool GetBooleanValue() override;
    void FetchSubqueryRow();
    TORQVariant* GetSubqueryValue(int32_t Index);
    bool ContainsAggregate();
    bool IsCountStar();
    void ResetAggregate();
    void AccumulateAggregate();
    void SetAggregateCount(int32_t Count);
    uint8_t GetDataType();
    int32_t GetDataSize();
    int32_t GetDataExtra();

    // Binding; each prepares the tree afterwards (SetRecordBuffer only when the tree
    // or its binding changed since the last preparation).
    void BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor);
    void BindFields(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) override;
    void SetRecordBuffer(uint8_t* Buffer, uint8_t Side) override;

    // Tree questions.
    bool IsEmptyCondition() override;
    bool IsField();
    bool HasFieldOperand();
    // 30198 when the root is no field reference.
    void GetFieldName(std::string& TableName, std::string& FieldName);
    bool UsesOnlyFields(const std::string& FieldList);
    void ReplaceAliases(const std::vector<TORQSelectListItem>& Items);

    // Tree surgery.
    void FlattenConjunctions();
    void AddCondition(TORQExpression& Other);
    void AppendNode(TORQExprNode* Node) override;
    void PushDownConditions(TORQAO* Operator, TORQAO* Operator2, uint8_t LookupFlag, bool Recurse,
                            TORQCursor* Cursor);
    int32_t ExtractJoinFields(TORQAO* Operator1, TORQAO* Operator2, std::vector<TORQSelectListItem>& Fields,
                              std::vector<TORQSelectListItem>& Fields2);
    void CollectScanConditions(const TORQIndexDefs& IndexDefs, TORQScanSearchConditionArray& Conditions,
                               bool RestrictValue) override;
    bool CanUseIndex(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef) override;
    void RemoveScanConditionNodes(TORQScanSearchConditionArray& Conditions, int32_t A, int32_t B) override;
    const TORQIndexDef* FindIndexDef(const TORQIndexDefs& IndexDefs, int32_t IndexID, int32_t& ColumnCount) override;

    TORQExprNode* Root() const { return FRoot.get(); }
    // Hands the tree over; the expression is left without one.
    TORQExprNodePtr ReleaseRoot() {
        FPrepared = false;
        return std::move(FRoot);
    }
    int32_t ParkedNodeCount() const { return static_cast<int32_t>(FParked.size()); }

    // Parse state the statement parsers set.
    bool CaseInsensitive = false;
    bool PartialCompare = false;
    bool RawCompare = true;
    bool InMemory = false;
    std::string DatabaseName;
    std::string SessionName;

private:
    friend class TORQExprParser;

    void Prepare();
    // Starts a parse over Lexer at its current token; false when there is none.
    bool BeginParse(TORQQuery* Query, TORQLexer& Lexer);
    // Parses Text with a lexer of its own; Body runs with the lexer at the first command.
    template <typename F>
    void ParseOwnText(const std::string& Text, F&& Body);

    TORQExprNodePtr FRoot;
    std::vector<TORQExprNodePtr> FParked;
    TORQCursor* FCursor = nullptr;
    TORQQuery* FQuery = nullptr;
    TORQLexer* FLexer = nullptr;
    bool FOwnLexer = false;
    bool FPrepared = false;  // the tree was prepared since it last changed
    std::unique_ptr<TORQCompiledFilter> FCompiled;  // the tree's steps, made by Prepare
};

// Installs TORQExpression as the engine's expression factory (the engine's start calls
// it after StartStorageEngine; storage makes its default expressions through it).
void InstallExpressionFactory();

}  // namespace orq
