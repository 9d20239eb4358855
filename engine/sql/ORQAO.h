// TORQAO: the relational operator, the base of every node of a SELECT's operator tree
// (the operators themselves are in ORQRelationalAlgebra.h). An operator has up to two
// inputs, an ordered list of columns, a WHERE condition, a projection, ORDER BY and
// DISTINCT settings, a row window and a result table. A base-table operator reads its
// table directly; every other operator streams its rows over its inputs and is
// materialised once, when opened, into a temporary result table that every consumer
// reads from then on.
//
// Expression nodes see an operator through FindField and GetCurrentFieldValue: a field
// reference bound to an operator reads the operator's current row; every column has a
// value slot of its own, so one expression can read two columns of one operator.
//
// TORQSelectListItem: one select-list entry (also an item of a field list: GROUP BY,
// USING and key lists). TORQFields: such a list. The entry owns its expression; a copy
// of an entry carries everything but the expression, which moves with the entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQVariant.h"

namespace orq {

class TORQExpression;
class TORQDataSet;
class TORQTable;
class TORQCursor;

// What an operator says about one of its fields.
struct TORQAOFieldDesc {
    std::string Name;      // the field's name as the operator reports it
    uint8_t DataType = 0;  // advanced field type
    uint8_t BaseType = 0;
    int32_t Size = 0;      // data size of a string field, else 0
    int32_t Extra = 0;     // the description's second attribute
};

struct TORQSelectListItem {
    TORQSelectListItem();
    ~TORQSelectListItem();
    TORQSelectListItem(TORQSelectListItem&&) noexcept;
    TORQSelectListItem& operator=(TORQSelectListItem&&) noexcept;
    // Everything but the expression, which has one owner.
    TORQSelectListItem(const TORQSelectListItem& Other);
    TORQSelectListItem& operator=(const TORQSelectListItem& Other);

    std::string TableName;  // the qualifier of a plain field reference
    std::string FieldName;  // of a plain field reference; "*" for all fields of a table
    std::string Alias;
    bool IsExpression = false;  // computed (no plain field reference)
    bool AllFields = false;     // "*" or "t.*"
    bool IsDuplicate = false;   // a plain field repeating an earlier entry, so computed
    // The computed entry's expression; handed over to the operator that takes the entry.
    std::unique_ptr<TORQExpression> Expression;
};

class TORQFields {
public:
    int32_t Count() const { return static_cast<int32_t>(Items.size()); }
    void Add(const TORQSelectListItem& Item) { Items.push_back(Item); }
    void Add(TORQSelectListItem&& Item) { Items.push_back(std::move(Item)); }
    std::vector<TORQSelectListItem> Items;
};

// One column of an operator.
struct TORQFieldLink {
    TORQFieldLink();
    ~TORQFieldLink();
    TORQFieldLink(TORQFieldLink&&) noexcept;
    TORQFieldLink& operator=(TORQFieldLink&&) noexcept;

    std::string Name;
    std::string DisplayName;  // the alias or the query's text for the column; empty when none
    uint8_t DataType = 0;     // advanced field type
    int32_t Precision = 0;
    int32_t Size = 0;
    uint8_t BlobCompressionAlgorithm = 0;
    uint8_t BlobCompressionMode = 0;
    int32_t BlobBlockSize = 0;
    class TORQAO* SourceOperator = nullptr;  // the input supplying it; the owner for a computed one
    TORQDataSet* SourceDataSet = nullptr;    // the table holding it
    bool Hidden = false;
    int32_t SourceFieldNo = -1;  // operator column or dataset field number
    bool IsComputed = false;
    bool IsAggregate = false;
    std::unique_ptr<TORQExpression> Expression;  // owned when IsComputed
    // SourceFieldNo counts in the dataset's projected fields (a set operation's columns
    // and result-set columns relinked in projection order), else in its table's fields.
    bool SourceProjected = false;
    // The FROM entry the column comes from (its alias, else its table name) and the
    // field's name there: a qualified name still finds the column once the join that
    // carries it is materialised and its inputs are gone. Empty for computed columns.
    std::string OriginQualifier;
    std::string OriginName;
};

// The ORDER BY lists: names upper-cased, "ASC"/"DESC", "CASE"/"NO_CASE".
struct TORQOrderLists {
    std::vector<std::string> Fields, Directions, Cases;
    int32_t Count() const { return static_cast<int32_t>(Fields.size()); }
};

class TORQAO {
public:
    // The common initialiser of every operator: inputs taken over.
    TORQAO(std::unique_ptr<TORQAO> Left, std::unique_ptr<TORQAO> Right, const std::string& TableName,
           const std::string& TableAlias);
    // Base-table operators and those of tests that build trees by hand.
    TORQAO();
    virtual ~TORQAO();
    TORQAO(const TORQAO&) = delete;
    TORQAO& operator=(const TORQAO&) = delete;

    // ---- what expression nodes call ----
    // How many of the operator's fields FieldName (qualified by TableName when that is
    // not empty) matches; for at least one match FieldNo and Desc describe the first.
    virtual int32_t FindField(const std::string& FieldName, const std::string& TableName, uint8_t LookupFlag,
                              int32_t& FieldNo, TORQAOFieldDesc& Desc);
    // Column FieldNo of the current row (hidden ones too), in a value the operator owns
    // for that column, valid until the operator moves.
    virtual TORQVariant& GetCurrentFieldValue(int32_t FieldNo);
    virtual bool IsGroupBy() const { return FIsGroupBy; }
    virtual TORQAO* LeftInput() const { return Left.get(); }
    virtual TORQAO* RightInput() const { return Right.get(); }
    virtual bool IsOuterJoin() const { return false; }
    // The first condition is stored; later ones are AND-combined into it.
    virtual void AddCondition(std::unique_ptr<TORQExpression> Condition);

    // ---- the operator's virtual operations ----
    virtual void PipelinedFirst() {}
    virtual void PipelinedNext() {}
    virtual bool PipelinedEof() { return false; }
    virtual int64_t PipelinedRecordCount();
    virtual void First();
    virtual void Next();
    virtual bool Eof();
    virtual int64_t RecordCount();
    virtual void MakeResultFieldNamesUnique();
    // OuterOperator and OuterCursor go to binding the conditions.
    virtual void Open(bool IsResultSet, TORQAO* OuterOperator = nullptr, TORQCursor* OuterCursor = nullptr);
    virtual void SetRowLimit(int64_t Start, int64_t Count);
    // Items' expressions are taken over; LastIndex the last item's index (-1: empty).
    virtual void SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool Distinct);
    virtual int32_t FindFieldNumbers(const std::string& FieldName, const std::string& TableName, bool SkipHidden,
                                     bool KeepHidden, TORQIntegerArray* ResultArray, uint8_t Mode);
    virtual void SetOrderBy(const std::string& Fields, const std::string& DescFields,
                            const std::string& NoCaseFields);

    // ---- configuration ----
    void SetDistinct(const std::string& FieldList);
    void SetInto(bool InMemory, bool Direct, const std::string& DatabaseName, const std::string& TableName);
    // Orders the result table by the ORDER BY lists through a temporary index (10308
    // without a table); the lists go afterwards when FreeLists, on every path.
    void ApplyOrderBy(bool FreeLists);
    // ORDER BY lists handed to the caller when no index of the table serves them (base
    // tables only; false elsewhere).
    virtual bool TakeOrderIndex(TORQOrderLists& Lists);

    // ---- columns ----
    std::string GetFieldName(int32_t FieldNo, bool OwnName);
    std::string GetOrderColumnDisplayName(int32_t N);
    int32_t GetProjectedColumn(int32_t N) const;
    std::string GetColumnName(int32_t N);
    uint8_t GetFieldType(int32_t N);
    int32_t GetFieldSize(int32_t N);
    int32_t GetFieldPrecision(int32_t N);
    void GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool AllowHidden, bool Flag = false);
    bool FindFieldByName(const std::string& Text, int32_t& FieldNo);
    // Column N is read while this operator streams or later: every materialised input it
    // links down to keeps the column it reads, so the value survives the copy.
    void CarryColumn(int32_t N);

    // ---- the tree's base tables (left first; the right only after the left succeeded) ----
    bool OpenTables();
    bool LockTables();
    bool UnlockTables();

    // ---- reading ----
    TORQTable* GetResultTable() const { return ResultTable.get(); }
    bool GetIsBaseTable() const { return IsBaseTable; }
    bool GetMaterialised() const { return Materialised; }
    int32_t GetColumnCount() const { return static_cast<int32_t>(Columns.size()); }
    const TORQFieldLink& Column(int32_t N) const { return Columns.at(static_cast<size_t>(N)); }
    const TORQIntegerArray& GetProjection() const { return Projection; }
    // The current row's position in the result table, and going back to one.
    std::string Bookmark();
    void GotoBookmark(const std::string& Mark);

    // Fields in the order of the operator's data model.
    bool IsResultSet = false;
    bool IsBaseTable = false;
    bool FIsGroupBy = false;
    std::unique_ptr<TORQExpression> Condition;
    int64_t RowLimit = -1;
    int64_t StartRow = -1;
    bool ProjectionSet = false;
    std::string IntoTableName;
    bool IntoInMemory = false;
    bool IntoDirect = false;
    std::string IntoDatabaseName;
    std::string TableName, TableAlias;
    bool Materialised = true;
    std::unique_ptr<TORQTable> ResultTable;
    TORQIntegerArray Projection;
    bool LeftIsNull = false, RightIsNull = false;
    bool IsDistinct = false;
    std::string DistinctFields;
    int32_t DistinctCount = 0;
    std::vector<int32_t> DistinctColumns;
    std::unique_ptr<TORQOrderLists> OrderBy;  // nil: no ORDER BY
    bool HasComputedColumns = false;
    bool TablesLocked = false;
    bool DisableTempFiles = false;
    TORQVariant ScratchValue;
    // A star takes the columns in column order rather than the left input's first: set
    // on a join whose columns were put back into the order of the FROM list.
    bool StarInColumnOrder = false;
    std::vector<TORQFieldLink> Columns;
    std::unique_ptr<TORQAO> Left, Right;

protected:
    // Between opening the inputs and materialising: the join's swap, the grouping's
    // auxiliary table.
    virtual void PrepareInputs() {}
    // Freed with the inputs at the end of materialising.
    virtual void ReleaseAfterMaterialise() {}
    // True once Open ran (a second Open changes nothing).
    bool Opened = false;

    void Materialise();
    void PrepareResultTable(std::vector<std::string>& FieldNames, std::vector<std::string>& DisplayNames);
    void FillResultTable();
    void FinishMaterialise(std::vector<std::string>& FieldNames, std::vector<std::string>& DisplayNames);
    void MapOrderDisplayNames(const std::vector<std::string>& FieldNames,
                              const std::vector<std::string>& DisplayNames);
    std::string CreateOrderIndex(bool AsDefinition);
    void CopyFieldToResult(int32_t N, int32_t M);
    // The dataset field column N stands for; false through a Null side or a computed link.
    bool FindBaseField(int32_t N, TORQDataSet*& DataSet, int32_t& FieldNo, bool& Projected);
    // 10310 and friends: the hidden-field message.
    [[noreturn]] void RaiseHidden(int32_t Code, int32_t FieldNo);
    // A column of the left input's column N; the derived table's and TOP's columns.
    void AddLeftInputColumn(int32_t N, bool SkipHidden);
    bool ColumnFromLeft(const TORQFieldLink& C) const { return C.SourceOperator != nullptr && C.SourceOperator == Left.get(); }
    bool ColumnFromRight(const TORQFieldLink& C) const {
        return C.SourceOperator != nullptr && C.SourceOperator == Right.get();
    }
    // Column N is read from above: visible here (so it is copied, unless this is a base
    // table, which is never copied) and carried from the inputs.
    void RevealColumn(int32_t N);
    // Wanted, or Wanted with "_1", "_2", ... when another column (hidden ones too) has
    // that name as the result table would store it (cut to the longest field name).
    std::string UniqueColumnName(const std::string& Wanted) const;
    // Whether this result table was made here, so dropping it is ours.
    bool OwnsTemporaryResult = false;
    std::vector<std::unique_ptr<TORQVariant>> CurrentValues;
};

}  // namespace orq
