// Expression nodes: the tree a parsed SQL expression becomes (a WHERE, ON or HAVING
// condition, a select-list value, a dataset filter, a locate or key condition, a field
// default), how it is bound to the rows it reads, evaluated, typed, and turned into
// index scan conditions. This file holds the node base and the core classes: constants,
// field references, comparisons, logical operators and predicates, arithmetic and the
// numeric functions. Aggregates, CAST, CASE, subqueries and MIMETOBIN are in
// ORQExprNodesExt.h; string, date and system functions in ORQExprFunctions.h.
//
// Rules every node keeps:
// - A node owns its children (in argument order) and its Value; GetValue returns the
//   node's own Value, overwritten by the next evaluation (callers copy what must last).
// - A field reference of a fixed-size type refers to the record buffer's bytes in place:
//   evaluating it allocates nothing, and the value follows the buffer's current content.
//   A CLOB's text is read into the node's own buffer, reused from record to record, and
//   the value refers to it.
// - Two row sides: a field reference reads the buffer given for its side (0 the scanned
//   row, 1 the outer row of a join or correlated subquery).
// - 8-bit case mapping and text comparison are the engine's fixed collation, never the
//   process locale.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQAO.h"
#include "engine/sql/ORQExprInPlace.h"

namespace orq {

class TORQCursor;
class TORQIndexDef;
class TORQBaseExpression;
class TORQScanSearchCondition;
class TORQScanSearchConditionArray;

// Operator codes of the nodes (TORQDataOperator).
enum TORQDataOperator : uint8_t {
    doEqual = 1, doNotEqual = 2, doGreater = 3, doLess = 4, doGreaterOrEqual = 5, doLessOrEqual = 6,
    doNot = 7, doAnd = 8, doOr = 9, doIn = 10, doNotIn = 11, doExists = 12, doBetween = 13, doNotBetween = 14,
    doLike = 15, doNotLike = 16, doIsNull = 17, doIsNotNull = 18,
    doAdd = 21, doNegate = 22, doMultiply = 23, doDivide = 24, doConcat = 25,
    doUpper = 26, doLower = 27, doTrim = 28, doLTrim = 29, doRTrim = 30, doLength = 31, doPos = 32, doSubstring = 33,
    doSum = 34, doAvg = 35, doMin = 36, doMax = 37, doCount = 38, doCountStar = 39,
    doCurrentTimestamp = 40, doCurrentDate = 41, doCurrentTime = 42, doToDate = 43, doToString = 44, doExtract = 45,
    doCast = 46, doLastAutoinc = 47, doMimeToBin = 48, doRowNum = 49,
    doAbs = 50, doAcos = 51, doAsin = 52, doAtan = 53, doCeil = 54, doCos = 55, doExp = 56, doFloor = 57,
    doLog = 58, doPower = 59, doRand = 60, doRound = 61, doSign = 62, doSin = 63, doSqr = 64, doSqrt = 65
};

// The display name of an operator in messages: "=", "AND", "SUM"... or "unknown".
std::string DataOperatorName(uint8_t Operator);

class TORQExprNode {
public:
    explicit TORQExprNode(uint8_t Operator, uint8_t IgnoreCase = 1, uint8_t PartialCompare = 0);
    TORQExprNode(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare, std::unique_ptr<TORQExprNode> Child1,
                 std::unique_ptr<TORQExprNode> Child2 = nullptr, std::unique_ptr<TORQExprNode> Child3 = nullptr);
    virtual ~TORQExprNode();
    TORQExprNode(const TORQExprNode&) = delete;
    TORQExprNode& operator=(const TORQExprNode&) = delete;

    // The virtual operations, in slot order.
    virtual void Prepare();
    virtual TORQVariant& GetValue() = 0;
    // The value as a condition: 1 true, 0 false, -1 Null (GetValue read as a Boolean). A
    // comparison or a logical operator answers without making its own value.
    virtual int32_t GetTruth();
    virtual void FetchSubqueryRow() {}
    virtual TORQVariant* GetSubqueryValue(int32_t /*Index*/) { return nullptr; }
    virtual bool ContainsAggregate();
    virtual bool IsCountStar() { return false; }
    virtual void ResetAggregate();
    virtual void AccumulateAggregate();
    virtual void SetAggregateCount(int32_t /*Count*/) {}
    virtual void BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor);
    virtual void BindToCursor(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor);
    virtual void SetRecordBuffer(uint8_t* Buffer, uint8_t Side);
    virtual uint8_t GetDataType();
    virtual int32_t GetDataSize();
    virtual int32_t GetDataExtra() { return 0; }
    virtual bool CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t LookupFlag, TORQCursor* Cursor);
    virtual bool CanServeIndexColumn(int32_t /*Column*/, uint8_t /*PreviousOperator*/, int32_t /*RestrictValue*/,
                                     const TORQIndexDef& /*IndexDef*/) {
        return false;
    }
    virtual void BuildScanCondition(TORQScanSearchConditionArray& /*Conditions*/, const TORQIndexDef& /*IndexDef*/,
                                    TORQBaseExpression* /*Companion*/) {}
    virtual void FillScanCondition(TORQScanSearchCondition& /*Condition*/, const TORQIndexDef& /*IndexDef*/,
                                   TORQBaseExpression* /*Companion*/) {}
    virtual bool IsJoinCondition(TORQAO* /*Operator1*/, TORQAO* /*Operator2*/) { return false; }
    virtual void ReplaceAliases(const std::vector<TORQSelectListItem>& Items);
    virtual bool UsesOnlyFields(const std::string& FieldList);

    // Children.
    int32_t ChildCount() const { return static_cast<int32_t>(Children.size()); }
    TORQExprNode* Child(int32_t Index) const { return Children.at(static_cast<std::size_t>(Index)).get(); }
    TORQExprNode* AddChild(std::unique_ptr<TORQExprNode> Node);
    // Puts Node in the place of child Index and hands the old child back.
    std::unique_ptr<TORQExprNode> ReplaceChild(int32_t Index, std::unique_ptr<TORQExprNode> Node);
    // Takes child Index out without freeing it.
    std::unique_ptr<TORQExprNode> ExtractChild(int32_t Index);
    int32_t IndexOfChild(const TORQExprNode* Node) const;

    // Index-scan helpers of comparisons and IS [NOT] NULL.
    static bool IsScanField(TORQExprNode* Node);
    static bool IsScanValue(TORQExprNode* Node);
    void AddScanKeyValue(TORQVariant& Value, TORQCursor* Cursor, TORQScanSearchCondition& Condition,
                         TORQBaseExpression* Companion, int32_t FieldNo);

    uint8_t Operator;
    uint8_t IgnoreCase;
    uint8_t PartialCompare;
    TORQVariant Value;
    std::vector<std::unique_ptr<TORQExprNode>> Children;
};

using TORQExprNodePtr = std::unique_ptr<TORQExprNode>;

// A constant: its Value is the constant.
class TORQParamBindings;

class TORQExprNodeConst : public TORQExprNode {
public:
    TORQExprNodeConst() : TORQExprNode(0) {}
    ~TORQExprNodeConst() override;
    // The value came from a parameter token: listed in Bindings with the token's value
    // until this node is freed.
    void BindToParameter(const std::shared_ptr<TORQParamBindings>& Bindings, std::shared_ptr<TORQVariant> Source);
    TORQVariant& GetValue() override { return Value; }
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;
    bool CanEvaluateOn(TORQAO*, TORQAO*, uint8_t, TORQCursor*) override { return true; }

    bool EndsWithPercent() const;
    bool IsAllLowerCase() const;
    bool IsAllUpperCase() const;
    void DropLastChar();

private:
    std::weak_ptr<TORQParamBindings> FBindings;
};

class TORQExprNodeField : public TORQExprNode {
public:
    // With a cursor the reference binds at once (BindToCursor(Cursor, none, none)).
    TORQExprNodeField(TORQCursor* Cursor, std::string TableName, std::string FieldName);
    ~TORQExprNodeField() override;

    TORQVariant& GetValue() override;
    void BindToOperators(TORQAO* Operator1, TORQAO* Operator2, TORQCursor* Cursor) override;
    void BindToCursor(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) override;
    void SetRecordBuffer(uint8_t* Buffer, uint8_t Side) override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override { return Size; }
    bool CanEvaluateOn(TORQAO* Operator1, TORQAO* Operator2, uint8_t LookupFlag, TORQCursor* Cursor) override;
    void ReplaceAliases(const std::vector<TORQSelectListItem>& Items) override;
    bool UsesOnlyFields(const std::string& FieldList) override;

    TORQCursor* Cursor = nullptr;
    TORQAO* BoundOperator = nullptr;
    uint8_t* RecordBuffer = nullptr;
    std::string TableName;
    std::string FieldName;
    std::string ResolvedName;
    int32_t FieldNo = -1;
    int32_t Offset = 0;
    uint8_t DataType = 0;
    uint8_t BaseType = 0;
    int32_t Size = 0;
    int32_t Extra = 0;
    uint8_t IsOuterReference = 0;
    uint8_t LookupFlag = 0;

    // The value's bytes in the bound record buffer, read without building a value: false
    // when it is read otherwise (through an operator, or a CLOB stream); Data nil for Null.
    bool ValueInPlace(const uint8_t*& Data, int32_t& DataSize) const;

private:
    // Looks the name up in Cursor's two field lists and takes the binding; false when absent.
    bool BindCursorField(TORQCursor* Source);
    bool BindCursorFieldByName(TORQCursor* Source, const std::string& Name);
    // Reads a CLOB or wide CLOB of the bound buffer whole into Value.
    void ReadClobValue();
    int32_t FNullBit = -1;       // bit of the record's null bitmap, -1 none
    int32_t FMemorySize = 0;     // bytes of the value in the record buffer
    std::string FClobBytes;      // the last CLOB read, its room kept for the next
};

class TORQExprNodeSubquery;

class TORQExprNodeComparison : public TORQExprNode {
public:
    TORQExprNodeComparison(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare,
                           std::unique_ptr<TORQExprNode> Left, std::unique_ptr<TORQExprNode> Right,
                           uint8_t RawCompare = 1, uint8_t Quantifier = 0);

    void Prepare() override;
    TORQVariant& GetValue() override;
    int32_t GetTruth() override;
    uint8_t GetDataType() override { return aftBoolean; }
    int32_t GetDataSize() override { return 0; }
    bool CanServeIndexColumn(int32_t Column, uint8_t PreviousOperator, int32_t RestrictValue,
                             const TORQIndexDef& IndexDef) override;
    void BuildScanCondition(TORQScanSearchConditionArray& Conditions, const TORQIndexDef& IndexDef,
                            TORQBaseExpression* Companion) override;
    void FillScanCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef,
                           TORQBaseExpression* Companion) override;
    bool IsJoinCondition(TORQAO* Operator1, TORQAO* Operator2) override;

    uint8_t RawCompare;
    uint8_t Quantifier;

    // The field/value pair an index scan reads; false when there is none. Sets IgnoreCase
    // when the field side is UPPER or LOWER of the field.
    bool GetScanPair(TORQExprNodeField*& Field, TORQExprNode*& ValueNode, bool& FieldOnLeft);

private:
    // A field of a record buffer against a constant is compared on the record's bytes, the
    // way TORQVariant::Compare would compare the two values; false when the pair is not
    // of that kind.
    bool CompareInPlace(int32_t& Code);
    // The comparison's answer for a comparison code.
    bool Holds(int32_t Code) const;
    uint8_t FInPlace = 0;  // a TORQInPlaceKind
    const TORQExprNode* FInPlaceNodes[2] = {nullptr, nullptr};
    uint8_t FInPlaceTypes[2] = {0, 0};
    TORQInPlaceConstant FConversion;
};

class TORQExprNodeBoolean : public TORQExprNode {
public:
    explicit TORQExprNodeBoolean(uint8_t Operator, uint8_t IgnoreCase = 1, uint8_t PartialCompare = 0)
        : TORQExprNode(Operator, IgnoreCase, PartialCompare) {}
    TORQExprNodeBoolean(uint8_t Operator, uint8_t IgnoreCase, uint8_t PartialCompare,
                        std::unique_ptr<TORQExprNode> Child1, std::unique_ptr<TORQExprNode> Child2 = nullptr,
                        std::unique_ptr<TORQExprNode> Child3 = nullptr)
        : TORQExprNode(Operator, IgnoreCase, PartialCompare, std::move(Child1), std::move(Child2), std::move(Child3)) {}

    TORQVariant& GetValue() override;
    int32_t GetTruth() override;
    uint8_t GetDataType() override { return aftBoolean; }
    int32_t GetDataSize() override { return 0; }
    bool CanServeIndexColumn(int32_t Column, uint8_t PreviousOperator, int32_t RestrictValue,
                             const TORQIndexDef& IndexDef) override;
    void BuildScanCondition(TORQScanSearchConditionArray& Conditions, const TORQIndexDef& IndexDef,
                            TORQBaseExpression* Companion) override;
    void FillScanCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef,
                           TORQBaseExpression* Companion) override;

    TORQVariant ChildValue;
    std::string EscapeText;

private:
    bool EvaluateIn(bool& IsNull);
    bool EvaluateBetween(bool& IsNull);
    bool EvaluateLike(bool& IsNull);
    // The field child of IS [NOT] NULL when it can serve an index, else nil.
    TORQExprNodeField* ScanField() const;
};

class TORQExprNodeArithmetic : public TORQExprNode {
public:
    explicit TORQExprNodeArithmetic(uint8_t Operator) : TORQExprNode(Operator) {}
    TORQExprNodeArithmetic(uint8_t Operator, std::unique_ptr<TORQExprNode> Child1,
                           std::unique_ptr<TORQExprNode> Child2 = nullptr, std::unique_ptr<TORQExprNode> Child3 = nullptr)
        : TORQExprNode(Operator, 1, 0, std::move(Child1), std::move(Child2), std::move(Child3)) {}

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override;

private:
    double Argument(int32_t Index);
    void SetInteger(double X);
    void SetFloat(double X);
};

// The trimmed text from Pos (0-based) up to the next ';', Pos moved past it; false at the end.
bool ExtractFieldName(std::string_view Text, std::size_t& Pos, std::string& Name);
// Every name of a ';'-separated list, upper-cased, replacing List's content.
void SplitFieldNames(std::vector<std::string>& List, std::string_view Text);

// Seeds the calling thread's generator of RAND (tests make it repeatable).
void SetRandSeed(uint64_t Seed);

}  // namespace orq
