// UNION, INTERSECT and EXCEPT: one pass over both inputs' result tables. The columns
// read the side the current row comes from; they are re-pointed whenever it changes.
// UNION ALL reads all left rows, then all right rows; UNION merges both sorted inputs
// so that repeats meet and the result's DISTINCT step drops them; INTERSECT and EXCEPT
// merge too, or, for pairs whose types sort differently, test each left row against
// the whole right input.
#include <algorithm>

#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQRelationalAlgebra.h"

namespace orq {

bool SortOrdersDiffer(uint8_t A, uint8_t B);

namespace {

const TORQFieldDefs& ResultFields(TORQAO& Op) { return Op.GetResultTable()->Cursor()->ProjectedFieldDefs; }

int32_t IndexOfName(const TORQFieldDefs& Defs, const std::string& Name) {
    const std::string upper = AnsiUpperCase(Name);
    for (int32_t i = 0; i < Defs.GetCount(); ++i)
        if (AnsiUpperCase(Defs.GetItem(i)->Name) == upper) return i;
    return -1;
}

}  // namespace

TORQAOUnion::TORQAOUnion(std::unique_ptr<TORQAO> LeftInput, const TORQFields* CorrespondingList, bool ADistinct,
                         bool Corresponding, TORQAO* OuterOperator, TORQCursor* OuterCursor, uint8_t AKind,
                         std::unique_ptr<TORQAO> RightInput)
    : TORQAO(std::move(LeftInput), std::move(RightInput), "", "") {
    Materialised = false;
    Kind = AKind;
    Distinct = ADistinct;
    Left->Open(false, OuterOperator, OuterCursor);
    Right->Open(false, OuterOperator, OuterCursor);
    const TORQFieldDefs& lf = ResultFields(*Left);
    const TORQFieldDefs& rf = ResultFields(*Right);

    std::vector<std::pair<int32_t, int32_t>> pairs;
    if (CorrespondingList == nullptr) {
        if (!Corresponding && lf.GetCount() != rf.GetCount())
            RaiseNativeFmt(10338, "Error - different list lengths. L1 = %d, L2 = %d", {lf.GetCount(), rf.GetCount()});
        for (int32_t i = 0; i < lf.GetCount(); ++i) {
            const int32_t r = Corresponding ? IndexOfName(rf, lf.GetItem(i)->Name) : (i < rf.GetCount() ? i : -1);
            if (r >= 0) pairs.emplace_back(i, r);
        }
    } else {
        if (CorrespondingList->Count() == 0)
            RaiseNativeFmt(10337, "Empty field list, item count = %d", {CorrespondingList->Count()});
        for (const TORQSelectListItem& item : CorrespondingList->Items) {
            const int32_t l = IndexOfName(lf, item.FieldName), r = IndexOfName(rf, item.FieldName);
            if (l >= 0 && r >= 0) pairs.emplace_back(l, r);
        }
    }
    std::string leftList, rightList;
    for (const auto& [l, r] : pairs) {
        const TORQFieldDef& a = *lf.GetItem(l);
        const TORQFieldDef& b = *rf.GetItem(r);
        if (Kind != ukUnion && (!IsComparableAdvancedType(a.FieldType) || !IsComparableAdvancedType(b.FieldType)))
            continue;
        if (SortOrdersDiffer(a.FieldType, b.FieldType)) MergeRows = false;
        TORQFieldLink c;
        c.Name = a.Name;
        c.DisplayName = a.Name;
        c.DataType = a.FieldType;
        c.Size = std::max(a.Size, b.Size);
        c.BlobCompressionAlgorithm = a.BlobCompressionAlgorithm;
        c.BlobCompressionMode = a.BlobCompressionMode;
        c.BlobBlockSize = a.BlobBlockSize;
        c.SourceDataSet = Left->GetResultTable();
        c.SourceFieldNo = l;
        c.SourceProjected = true;
        Columns.push_back(std::move(c));
        LeftColumns.Append(l);
        RightColumns.Append(r);
        if (!leftList.empty()) {
            leftList += ';';
            rightList += ';';
        }
        leftList += a.Name;
        rightList += b.Name;
    }
    if (LeftColumns.Count() == 0) RaiseNativeFmt(10339, "Empty field list, item count = %d", {0});
    if (Kind != ukUnion || Distinct) {
        if (MergeRows || Kind == ukUnion) {
            Left->SetOrderBy(leftList, "", "");
            Right->SetOrderBy(rightList, "", "");
            Left->ApplyOrderBy(true);
            Right->ApplyOrderBy(true);
        }
        if (Distinct) SetDistinct(leftList);
    }
}

void TORQAOUnion::PointAt(bool LeftSide) {
    ReadingLeft = LeftSide;
    TORQTable* table = LeftSide ? Left->GetResultTable() : Right->GetResultTable();
    const TORQIntegerArray& numbers = LeftSide ? LeftColumns : RightColumns;
    for (int32_t k = 0; k < GetColumnCount(); ++k) {
        Columns[static_cast<size_t>(k)].SourceDataSet = table;
        Columns[static_cast<size_t>(k)].SourceFieldNo = numbers[k];
    }
}

uint8_t TORQAOUnion::CompareRows() {
    TORQTable* l = Left->GetResultTable();
    TORQTable* r = Right->GetResultTable();
    for (int32_t i = 0; i < LeftColumns.Count(); ++i) {
        l->GetFieldValue(ValueA, LeftColumns[i], true);
        r->GetFieldValue(ValueB, RightColumns[i], true);
        int32_t c = 0;
        try {
            c = ValueA.Compare(ValueB, false, false, false);
        } catch (const EORQException& e) {
            RaiseNativeFmt(10335, "Cannot compare values for fields: %s, %s. Error: %s",
                           {ResultFields(*Left).GetItem(LeftColumns[i])->Name,
                            ResultFields(*Right).GetItem(RightColumns[i])->Name, e.Message()});
        }
        if (c != 0) {
            CompareResult = static_cast<uint8_t>(c);
            return CompareResult;
        }
    }
    CompareResult = 0;
    return 0;
}

bool TORQAOUnion::RightHolds() {
    for (Right->First(); !Right->Eof(); Right->Next())
        if (CompareRows() == 0) return true;
    return false;
}

void TORQAOUnion::SeekIntersect() {
    for (;;) {
        if (Left->Eof()) {
            AtEnd = true;
            return;
        }
        if (!MergeRows) {
            if (RightHolds()) return;
            Left->Next();
            continue;
        }
        if (Right->Eof()) {
            AtEnd = true;
            return;
        }
        const uint8_t c = CompareRows();
        if (c == 0) {
            // With ALL each right row pairs with one left row: a value kept m times on the
            // left and n times on the right is kept min(m, n) times.
            if (!Distinct) PendingRightStep = true;
            return;
        }
        if (c == 1) Left->Next();
        else Right->Next();
    }
}

void TORQAOUnion::SeekExcept() {
    for (;;) {
        if (Left->Eof()) {
            AtEnd = true;
            return;
        }
        if (!MergeRows) {
            if (!RightHolds()) return;
            Left->Next();
            continue;
        }
        if (Right->Eof()) return;
        const uint8_t c = CompareRows();
        if (c == 1) return;
        if (c == 0) {
            // With ALL a right row takes away one left row only (m - n of a value remain).
            Left->Next();
            if (!Distinct) Right->Next();
        } else {
            Right->Next();
        }
    }
}

void TORQAOUnion::PipelinedFirst() {
    if (Kind > ukExcept) RaiseNativeFmt(10336, "Invalid union type = %d", {Kind});
    AtEnd = false;
    BeforeFirst = false;
    PendingRightStep = false;
    Left->First();
    Right->First();
    if (Kind == ukIntersect) {
        PointAt(true);
        SeekIntersect();
        return;
    }
    if (Kind == ukExcept) {
        PointAt(true);
        SeekExcept();
        return;
    }
    PipelinedNext();
}

void TORQAOUnion::PipelinedNext() {
    if (Kind == ukIntersect) {
        if (!AtEnd) {
            Left->Next();
            if (PendingRightStep) Right->Next();
            PendingRightStep = false;
            SeekIntersect();
        }
        return;
    }
    if (Kind == ukExcept) {
        if (!AtEnd) {
            Left->Next();
            SeekExcept();
        }
        return;
    }
    // UNION: BeforeFirst marks the call that positions the first row.
    if (BeforeFirst) {
        if (ReadingLeft) Left->Next();
        else Right->Next();
    }
    BeforeFirst = true;
    if (Left->Eof() && Right->Eof()) {
        AtEnd = true;
        return;
    }
    if (Left->Eof()) {
        PointAt(false);
        return;
    }
    if (Right->Eof() || !Distinct) {
        PointAt(!Left->Eof());
        return;
    }
    PointAt(CompareRows() != 2);
}

bool TORQAOUnion::PipelinedEof() {
    if (AtEnd) return true;
    if (Kind == ukIntersect) return Right->RecordCount() == 0 || Left->Eof();
    if (Kind == ukExcept) return Left->Eof();
    return Left->Eof() && Right->Eof();
}

int64_t TORQAOUnion::PipelinedRecordCount() { return Materialised ? ResultTable->RecordCount() : 0; }

}  // namespace orq
