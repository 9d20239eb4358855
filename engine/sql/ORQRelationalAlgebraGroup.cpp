// Grouping: the input is materialised sorted by the group fields and read once; a group
// runs while a row's group values compare equal to those of the group's first row
// (compared non-raw: Null group values form one group; equality of a sort order is an
// equivalence, so this is the comparison of neighbours). The row after a group is read to
// see that it ended, and the input steps back one row: the group's row is the input's
// last row of the group with the accumulated aggregates. Without group fields the whole
// input is one group, also when it is empty.
#include "classlib/DBCommon.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQRelationalAlgebra.h"

namespace orq {

TORQAOGroupBy::TORQAOGroupBy(std::unique_ptr<TORQAO> Input, int32_t LastIndex,
                             std::vector<TORQSelectListItem>& SelectItems, const TORQFields* GroupByList)
    : TORQAO(std::move(Input), nullptr, "", "") {
    FIsGroupBy = true;
    Materialised = false;
    NoGroups = GroupByList == nullptr || GroupByList->Count() == 0;
    for (int32_t i = 0; i < Left->GetColumnCount(); ++i) {
        const TORQFieldLink& ic = Left->Columns[static_cast<size_t>(i)];
        TORQFieldLink c;
        c.Name = ic.Name;
        c.DataType = ic.DataType;
        c.Size = ic.Size;
        c.Precision = ic.Precision;
        c.BlobCompressionAlgorithm = ic.BlobCompressionAlgorithm;
        c.BlobCompressionMode = ic.BlobCompressionMode;
        c.BlobBlockSize = ic.BlobBlockSize;
        c.SourceOperator = Left.get();
        c.SourceFieldNo = i;
        c.Hidden = true;
        Columns.push_back(std::move(c));
    }
    if (NoGroups) return;
    for (int32_t i = 0; i < GroupByList->Count(); ++i) {
        const TORQSelectListItem& entry = GroupByList->Items[static_cast<size_t>(i)];
        int32_t n = FindFieldNumbers(entry.FieldName, entry.TableName, false, false, &GroupColumns, 1);
        if (n == 0) {
            // A select alias of a plain field (or of an expression without aggregate
            // that names one) groups by that field.
            const std::string upper = AnsiUpperCase(entry.FieldName);
            for (int32_t k = 0; k <= LastIndex && k < static_cast<int32_t>(SelectItems.size()) && n == 0; ++k) {
                const TORQSelectListItem& item = SelectItems[static_cast<size_t>(k)];
                if (item.Alias.empty() || AnsiUpperCase(item.Alias) != upper || item.FieldName.empty()) continue;
                if (item.IsExpression && item.Expression && item.Expression->ContainsAggregate()) continue;
                n = FindFieldNumbers(item.FieldName, item.TableName, false, false, &GroupColumns, 1);
            }
        }
        if (n == 0)
            RaiseNativeFmt(20245,
                           "Invalid field for 'GROUP BY.' Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d",
                           {entry.TableName, entry.FieldName, i, n});
        if (!GroupFields.empty()) GroupFields += ';';
        GroupFields += Columns[static_cast<size_t>(GroupColumns[GroupColumns.Count() - 1])].Name;
    }
    Left->SetOrderBy(GroupFields, "", "");
}

TORQAOGroupBy::~TORQAOGroupBy() = default;

void TORQAOGroupBy::SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool /*Distinct*/) {
    TORQAO::SetSelectList(Items, LastIndex, false);
    for (const TORQFieldLink& c : Columns) {
        if (c.Hidden || !c.IsComputed || !c.Expression) continue;
        if (!c.Expression->UsesOnlyFields(GroupFields))
            RaiseNativeFmt(20269,
                           "Expression (Name=\"%s\", DisplayName=\"%s\") cannot be used with GROUP BY. Possibly "
                           "expression is not aggregate, but it uses fields not included into group fields",
                           {c.Name, c.DisplayName});
    }
    for (int32_t k = 0; k <= LastIndex && k < static_cast<int32_t>(Items.size()); ++k) {
        const TORQSelectListItem& item = Items[static_cast<size_t>(k)];
        if (item.IsExpression) continue;
        const std::string text = item.AllFields ? std::string("*") : item.FieldName;
        TORQIntegerArray found;
        const int32_t n = FindFieldNumbers(text, item.TableName, false, false, &found, 0);
        if (n == 0) RaiseNativeFmt(10341, "Cannot find field %s in table %s", {text, item.TableName});
        for (int32_t f = 0; f < found.Count(); ++f)
            if (!GroupColumns.Contains(found[f]))
                RaiseNativeFmt(10342,
                               "Field is not included in GROUP BY list. Table name = '%s', Field name = '%s', "
                               "FieldNo = %d, Found field name = '%s'",
                               {item.TableName, text, found[f], Columns[static_cast<size_t>(found[f])].Name});
    }
}

void TORQAOGroupBy::ResetAggregates() {
    if (Condition) Condition->ResetAggregate();
    if (!HasComputedColumns) return;
    for (TORQFieldLink& c : Columns)
        if (c.IsAggregate && c.Expression) c.Expression->ResetAggregate();
}

void TORQAOGroupBy::AccumulateAggregates() {
    if (Condition) Condition->AccumulateAggregate();
    if (!HasComputedColumns) return;
    for (TORQFieldLink& c : Columns)
        if (c.IsAggregate && c.Expression) c.Expression->AccumulateAggregate();
}

void TORQAOGroupBy::SaveGroupValues() {
    const auto n = static_cast<size_t>(GroupColumns.Count());
    if (GroupValues.size() != n) GroupValues = std::vector<TORQVariant>(n);
    for (int32_t k = 0; k < GroupColumns.Count(); ++k) {
        const TORQFieldLink& c = Columns[static_cast<size_t>(GroupColumns[k])];
        Left->GetFieldValue(ValueA, c.SourceFieldNo, false);
        GroupValues[static_cast<size_t>(k)].Assign(ValueA, true);
    }
}

bool TORQAOGroupBy::GroupContinues() {
    for (int32_t k = 0; k < GroupColumns.Count(); ++k) {
        const TORQFieldLink& c = Columns[static_cast<size_t>(GroupColumns[k])];
        const TORQFieldLink& ic = Left->Columns[static_cast<size_t>(c.SourceFieldNo)];
        Left->GetFieldValue(ValueB, c.SourceFieldNo, false);
        int32_t r = 0;
        try {
            r = GroupValues[static_cast<size_t>(k)].Compare(ValueB, false, false, false);
        } catch (const EORQException& e) {
            RaiseNativeFmt(10340, "Cannot compare values for fields: %s, %s. Error: %s", {c.Name, ic.Name, e.Message()});
        }
        if (r != 0) {
            CompareResult = static_cast<uint8_t>(r);
            return false;
        }
    }
    CompareResult = 0;
    return true;
}

void TORQAOGroupBy::GroupLoop() {
    SaveGroupValues();
    for (;;) {
        AccumulateAggregates();
        Left->Next();
        // At the end the input stays on its last row.
        if (Left->Eof()) return;
        if (!GroupContinues()) {
            Left->GetResultTable()->Prior();
            return;
        }
    }
}

void TORQAOGroupBy::PipelinedFirst() {
    AtEnd = false;
    Left->First();
    FirstCall = true;
    if (!NoGroups) AtEnd = Left->Eof();
    PipelinedNext();
}

void TORQAOGroupBy::PipelinedNext() {
    if (NoGroups) {
        if (!FirstCall) {
            AtEnd = true;
            return;
        }
        FirstCall = false;
        bool countOnly = false;
        for (const TORQFieldLink& c : Columns) {
            if (!c.IsAggregate || !c.Expression) continue;
            countOnly = c.Expression->IsCountStar();
            if (!countOnly) break;
        }
        // HAVING's own aggregates accumulate only by reading the rows.
        if (countOnly && Condition && Condition->ContainsAggregate()) countOnly = false;
        if (countOnly) {
            const int64_t n = Left->RecordCount();
            for (TORQFieldLink& c : Columns)
                if (c.IsAggregate && c.Expression) c.Expression->SetAggregateCount(static_cast<int32_t>(n));
            return;
        }
        ResetAggregates();
        while (!Left->Eof()) {
            AccumulateAggregates();
            Left->Next();
        }
        Left->First();
        return;
    }
    if (FirstCall) {
        FirstCall = false;
        ResetAggregates();
        if (Left->Eof()) return;
        GroupLoop();
        return;
    }
    Left->Next();
    ResetAggregates();
    if (Left->Eof()) {
        AtEnd = true;
        return;
    }
    GroupLoop();
}

int64_t TORQAOGroupBy::PipelinedRecordCount() { return Left ? Left->RecordCount() : 0; }

}  // namespace orq
