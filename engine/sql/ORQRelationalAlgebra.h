// The operators of a SELECT's operator tree (their base is TORQAO, ORQAO.h):
// - TORQAOTable reads a base table directly: its filter, projection and ORDER BY are
//   handed to the table's cursor; it is never copied.
// - TORQAOJoin (ORQRelationalAlgebraJoin.cpp): CROSS, INNER, LEFT, RIGHT and FULL joins;
//   with keys both inputs are sorted by them and merged, without keys every pair is
//   tested.
// - TORQAOUnion (ORQRelationalAlgebraSet.cpp): UNION, INTERSECT and EXCEPT, with or
//   without ALL and CORRESPONDING, in one pass over sorted inputs.
// - TORQAOGroupBy (ORQRelationalAlgebraGroup.cpp): grouping over an input sorted by the
//   group fields, a second cursor one row ahead telling where a group ends.
// - TORQAOTableExpr (a derived table) and TORQAOSQLTopRowCount (TOP): one input copied
//   as it is, sorted or windowed.
//
// Rules kept here:
// - Merging needs both sides sorted the way TORQVariant.Compare compares. Where a key
//   pair mixes type families whose orders differ (numbers and texts, texts and dates),
//   nothing is merged: the join tests every pair, INTERSECT and EXCEPT test each left
//   row against the whole right input.
// - A window with a start row is applied once. TOP applies it to its input's rows as
//   they come out and hands the input only the number of rows the window reaches; a
//   derived table hands its window to an input that materialises and keeps only the
//   row count itself.
// - The computing stage above a set operation: a union's columns re-point between its
//   inputs' result tables while it streams, so whatever computes over a union's rows
//   (a select list with expressions, an ORDER BY by expression) needs a derived table
//   above it; NeedsComputingStage says so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/ORQAO.h"

namespace orq {

class TORQDatabase;

class TORQAOTable : public TORQAO {
public:
    // Table is opened here (10303 for a class-library exception on opening).
    TORQAOTable(const std::string& TableName, std::unique_ptr<TORQTable> Table, TORQDatabase* Database,
                const std::string& TableAlias);

    void Open(bool IsResultSet, TORQAO* OuterOperator = nullptr, TORQCursor* OuterCursor = nullptr) override;
    void SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool Distinct) override;
    bool TakeOrderIndex(TORQOrderLists& Lists) override;
};

enum : uint8_t { jkCross = 0, jkInner = 1, jkLeft = 2, jkRight = 3, jkFull = 4 };

class TORQAOJoin : public TORQAO {
public:
    TORQAOJoin(std::unique_ptr<TORQAO> Left, std::unique_ptr<TORQExpression> OnCondition,
               const TORQFields* RightKeyList, const TORQFields* LeftKeyList, bool Natural, uint8_t Kind,
               std::unique_ptr<TORQAO> Right);
    ~TORQAOJoin() override;

    bool IsOuterJoin() const override { return IsOuter; }
    void PipelinedFirst() override;
    void PipelinedNext() override;
    bool PipelinedEof() override;
    int64_t PipelinedRecordCount() override;
    void Open(bool IsResultSet, TORQAO* OuterOperator = nullptr, TORQCursor* OuterCursor = nullptr) override;
    // Before anything binds to the join: column Order[p] moves to position p (the key
    // lists follow), the names are made unique again in the new order, and a star
    // takes the columns in that order.
    void ReorderColumns(const std::vector<int32_t>& Order);

    bool IsCross = false;
    bool IsOuter = false;
    bool IsInner = false;
    uint8_t Kind = jkCross;
    TORQIntegerArray LeftKeys, RightKeys;
    std::unique_ptr<TORQExpression> OnCondition;
    uint8_t CompareResult = 0;
    bool HasKeys = false;
    // The keys are merged (both inputs sorted by them); false for keys of type families
    // that sort differently, which are compared pair by pair.
    bool MergeKeys = false;

protected:
    void PrepareInputs() override;

private:
    enum TStep : uint8_t { stNewDriving, stScan, stAdvanceInner, stNextDriving, stRightRest, stDone };
    // CompareKeys into CompareResult (raw codes, left against right); 10328 on failure.
    void CompareKeys();
    bool KeysEqual();
    bool RowMatches();
    // INNER, LEFT and RIGHT (CROSS among them), and FULL: steps until a row stands.
    void NextMerged();
    void NextFullMerged();
    void Swap();

    TStep FStep = stNewDriving;
    bool AtEnd = false;
    int32_t MatchCount = 0;
    std::string RunStart;  // bookmark of the inner input's first row of the current key
    bool HasRunStart = false;
    // FULL: which rows of the right input (by ordinal) or of the current run found a partner.
    std::vector<bool> RightMatched;
    int64_t RightOrdinal = 0;
    int64_t RunLength = 0;
    int64_t RunPos = 0;
    bool LeftMatched = false;
    TORQVariant KeyA, KeyB;
};

enum : uint8_t { ukUnion = 0, ukIntersect = 1, ukExcept = 2 };

class TORQAOUnion : public TORQAO {
public:
    // Both inputs are opened here with OuterOperator and OuterCursor.
    TORQAOUnion(std::unique_ptr<TORQAO> Left, const TORQFields* CorrespondingList, bool Distinct,
                bool Corresponding, TORQAO* OuterOperator, TORQCursor* OuterCursor, uint8_t Kind,
                std::unique_ptr<TORQAO> Right);

    void PipelinedFirst() override;
    void PipelinedNext() override;
    bool PipelinedEof() override;
    int64_t PipelinedRecordCount() override;
    // A select list with expressions or an ORDER BY by expression over this operator
    // needs a derived table above it: the columns re-point between the inputs.
    static bool NeedsComputingStage() { return true; }

    bool AtEnd = false;
    uint8_t Kind = ukUnion;
    TORQIntegerArray LeftColumns, RightColumns;
    uint8_t CompareResult = 0;
    bool BeforeFirst = false;
    bool ReadingLeft = true;
    bool Distinct = false;
    bool MergeRows = true;
    // INTERSECT ALL: the right row of the match just returned is used up.
    bool PendingRightStep = false;

private:
    // Non-raw comparison of the current left and right rows (10335): 0, 1 left less, 2.
    uint8_t CompareRows();
    void PointAt(bool LeftSide);
    void SeekIntersect();
    void SeekExcept();
    bool RightHolds();  // the right input holds a row equal to the current left one
    TORQVariant ValueA, ValueB;
};

class TORQAOGroupBy : public TORQAO {
public:
    TORQAOGroupBy(std::unique_ptr<TORQAO> Input, int32_t LastIndex, std::vector<TORQSelectListItem>& SelectItems,
                  const TORQFields* GroupByList);
    ~TORQAOGroupBy() override;

    void PipelinedFirst() override;
    void PipelinedNext() override;
    bool PipelinedEof() override { return AtEnd; }
    int64_t PipelinedRecordCount() override;
    void SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool Distinct) override;

    bool FirstCall = false;
    bool NoGroups = true;
    TORQIntegerArray GroupColumns;
    uint8_t CompareResult = 0;
    bool AtEnd = false;
    std::string GroupFields;

private:
    void ResetAggregates();
    void AccumulateAggregates();
    // The current row's group values become the group's.
    void SaveGroupValues();
    // Whether the current row's group values equal the group's.
    bool GroupContinues();
    void GroupLoop();
    TORQVariant ValueA, ValueB;
    std::vector<TORQVariant> GroupValues;
};

class TORQAOTableExpr : public TORQAO {
public:
    explicit TORQAOTableExpr(std::unique_ptr<TORQAO> Input);

    void PipelinedFirst() override;
    void PipelinedNext() override;
    bool PipelinedEof() override;
    int64_t PipelinedRecordCount() override;
    void Open(bool IsResultSet, TORQAO* OuterOperator = nullptr, TORQCursor* OuterCursor = nullptr) override;
    void SetRowLimit(int64_t Start, int64_t Count) override;
};

class TORQAOSQLTopRowCount : public TORQAO {
public:
    explicit TORQAOSQLTopRowCount(std::unique_ptr<TORQAO> Input);

    void PipelinedFirst() override;
    void PipelinedNext() override;
    bool PipelinedEof() override;
    int64_t PipelinedRecordCount() override;
    void SetRowLimit(int64_t Start, int64_t Count) override;
};

}  // namespace orq
