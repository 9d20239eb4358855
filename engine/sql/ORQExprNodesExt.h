// Expression nodes beyond the core: aggregates (SUM, AVG, MIN, MAX, COUNT, COUNT(*)),
// CAST, CASE and COALESCE, subqueries and MIMETOBIN.
//
// Rules these nodes keep:
// - An aggregate's state (count, value, sum, the distinct arguments seen) lives from one
//   ResetAggregate to the next, and holds copies of argument values, never references
//   into record buffers that the next row overwrites.
// - A CASE node wraps its mismatching result branches in CASTs once, on the first
//   GetDataSize; afterwards every branch delivers the CASE's declared type.
// - A subquery runs through the statement the statement layer makes for it (the
//   subquery factory); without a factory every use raises 30500 and nothing crashes.
//   An uncorrelated subquery runs once and keeps its result; a correlated one runs again
//   for every outer row and frees its statement after each run, also on failure.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engine/sql/ORQExprNodes.h"

namespace orq {

class TORQLexer;
class TORQQuery;

class TORQExprNodeAggregated : public TORQExprNode {
public:
    // COUNT(*).
    explicit TORQExprNodeAggregated(uint8_t Operator);
    TORQExprNodeAggregated(uint8_t Operator, std::unique_ptr<TORQExprNode> Argument, uint8_t Distinct);

    TORQVariant& GetValue() override;
    bool ContainsAggregate() override { return true; }
    bool IsCountStar() override { return Operator == doCountStar; }
    void ResetAggregate() override;
    void AccumulateAggregate() override;
    void SetAggregateCount(int32_t NewCount) override { Count = NewCount; }
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;
    bool CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t LookupFlag, TORQCursor* Cursor) override;
    bool UsesOnlyFields(const std::string&) override { return true; }

    int32_t Count = 0;
    uint8_t Distinct = 0;
    TORQVariant Sum;

private:
    // True when Argument was seen before in this group (DISTINCT); remembers it otherwise.
    bool SeenBefore(const TORQVariant& Argument);
    std::vector<std::unique_ptr<TORQVariant>> FSeen;
    TORQVariant FResult;  // AVG's quotient, so that Sum stays as accumulated
};

class TORQExprNodeCast : public TORQExprNode {
public:
    TORQExprNodeCast(std::unique_ptr<TORQExprNode> Operand, std::unique_ptr<TORQExprNode> Length, uint8_t TargetType);

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override { return TargetType; }
    int32_t GetDataSize() override;

    uint8_t TargetType;
    TORQExprNode* LengthNode = nullptr;  // a child, or none
};

class TORQExprNodeCase : public TORQExprNode {
public:
    // A searched CASE.
    TORQExprNodeCase();
    // A simple CASE over Operand.
    explicit TORQExprNodeCase(std::unique_ptr<TORQExprNode> Operand);
    // COALESCE of Args.
    explicit TORQExprNodeCase(std::vector<std::unique_ptr<TORQExprNode>> Args);

    void AddWhen(std::unique_ptr<TORQExprNode> Node);
    void AddThen(std::unique_ptr<TORQExprNode> Node);
    void SetElse(std::unique_ptr<TORQExprNode> Node);

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;

    // The lists reference children.
    std::vector<TORQExprNode*> WhenList;
    std::vector<TORQExprNode*> ThenList;
    TORQExprNode* ElseNode = nullptr;
    TORQExprNode* CaseOperand = nullptr;
    uint8_t IsCoalesce = 0;
    std::vector<TORQExprNode*> CoalesceArgs;

private:
    // Wraps *Slot in a CAST to Type unless it already has that type or is a CAST.
    void WrapInCast(TORQExprNode*& Slot, uint8_t Type);
};

// One parsed subquery as the statement layer runs it for a subquery node.
class TORQSubqueryStatement {
public:
    virtual ~TORQSubqueryStatement() = default;
    // Runs the query with the outer inputs (the outer cursor already shows the outer
    // row); the result stays until the next Execute or the statement's end.
    virtual void Execute(TORQQuery* Query, TORQCursor* OuterCursor, TORQAO* OuterOperator) = 0;
    virtual int32_t FieldCount() = 0;
    virtual int64_t RecordCount() = 0;
    // Column Index of the result's first row into Value.
    virtual void GetFirstRowValue(int32_t Index, TORQVariant& Value) = 0;
    // Whether some row's first field equals Value exactly (case-sensitive; Null finds Null).
    virtual bool Locate(const TORQVariant& Value) = 0;
    // Whether some row's first field F satisfies "F Operator Value" in the key order
    // (Null equal to Null and below every value).
    virtual bool FindKey(uint8_t Operator, const TORQVariant& Value) = 0;
    // The first result field of the operator tree built without running it.
    virtual uint8_t FirstFieldType() = 0;
    virtual int32_t FirstFieldSize() = 0;
    // Whether the query reads nothing of the outer input it was made with.
    virtual bool IsSelfContained() = 0;
};

// Parses the subquery at Lexer's current token (leaving the lexer after it) for Query,
// with OuterOperator as the outer input of its operator tree (may be none).
using TORQSubqueryFactory =
    std::function<std::unique_ptr<TORQSubqueryStatement>(TORQLexer& Lexer, TORQQuery* Query, TORQAO* OuterOperator)>;

// Installed by the statement layer; an empty factory uninstalls it.
void SetSubqueryFactory(TORQSubqueryFactory Factory);
// Whether one is installed (the parser reports a missing one at the SELECT token).
bool HasSubqueryFactory();

class TORQExprNodeSubquery : public TORQExprNode {
public:
    // Lexer stands at the subquery's first token; it is left after the subquery.
    TORQExprNodeSubquery(uint8_t IsScalar, TORQLexer& Lexer, TORQQuery* Query, uint8_t IsSingleRow);
    ~TORQExprNodeSubquery() override;

    TORQVariant& GetValue() override;
    void FetchSubqueryRow() override;
    TORQVariant* GetSubqueryValue(int32_t Index) override;
    void BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor) override;
    void BindToCursor(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) override;
    void SetRecordBuffer(uint8_t* Buffer, uint8_t Side) override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;
    bool CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t LookupFlag, TORQCursor* Cursor) override;

    bool HasRows();
    bool ContainsValue(const TORQVariant& Value);
    // ALL over an empty result is true, ANY and SOME false.
    bool CompareQuantified(uint8_t CompareOperator, uint8_t Quantifier, const TORQVariant& Value);

    uint8_t IsScalar;
    uint8_t IsSingleRow;
    TORQVariant ScalarValue;
    std::vector<std::unique_ptr<TORQVariant>> RowValues;
    TORQQuery* Query;
    TORQLexer* Lexer;
    int32_t StartToken = 0;
    TORQAO* OuterOperator = nullptr;
    TORQCursor* OuterCursor = nullptr;
    uint8_t* OuterBuffer = nullptr;
    std::unique_ptr<TORQSubqueryStatement> Statement;
    uint8_t IsCorrelated = 0;
    TORQVariant LastLookupValue;
    bool HasLastLookup = false;
    bool LastLookupResult = false;

private:
    // A statement parsed afresh at the recorded position.
    std::unique_ptr<TORQSubqueryStatement> ParseStatement(TORQAO* Outer);
    // Runs (or reuses) the statement, checks the result's shape, and calls Action on it.
    template <typename F>
    auto Run(F&& Action);
};

class TORQExprNodeBlob : public TORQExprNode {
public:
    explicit TORQExprNodeBlob(std::unique_ptr<TORQExprNode> Argument)
        : TORQExprNode(doMimeToBin, 1, 0, std::move(Argument)) {}
    TORQVariant& GetValue() override;
    uint8_t GetDataType() override { return aftVarChar; }
    int32_t GetDataSize() override { return 0; }
};

}  // namespace orq
