// The join operator: CROSS, INNER, LEFT, RIGHT and FULL. With keys both inputs are
// materialised in key order and merged, the inner input rewound to the first row of a
// key's run for every driving row of that key; without keys (or with keys of type
// families that sort differently) every pair is tested.
//
// The stream is a small state machine: each PipelinedNext runs steps until a row is
// positioned (the inputs on the pair, or one side flagged Null) and returns; the next
// call goes on from the step it left.
#include <algorithm>
#include <utility>

#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQRelationalAlgebra.h"

namespace orq {

namespace {

enum TFamily { fyNumber, fyText, fyDate, fyOther };

TFamily FamilyOf(uint8_t AdvancedType) {
    if (IsStringAdvancedType(AdvancedType) || (AdvancedType >= aftMemo && AdvancedType <= aftWideMemo))
        return fyText;
    if (AdvancedType >= aftDate && AdvancedType <= aftTimeStamp) return fyDate;
    if (AdvancedType >= aftShortInt && AdvancedType <= aftCurrency) return fyNumber;
    return fyOther;
}

}  // namespace

// Whether two advanced types sort in different orders under TORQVariant.Compare's
// common type (a number against a text compares as texts, a text against a date as
// dates): merging needs both inputs sorted the way pairs are compared.
bool SortOrdersDiffer(uint8_t A, uint8_t B) {
    const TFamily a = FamilyOf(A), b = FamilyOf(B);
    if (a == b) return false;
    return (a == fyText && (b == fyNumber || b == fyDate)) || (b == fyText && (a == fyNumber || a == fyDate));
}

// Extra steps of the join's machine.
enum : uint8_t {
    stFullMain = 10, stFullAdvanceLeft, stFullAdvanceRight, stFullGroupScan, stFullGroupStep, stFullGroupNextLeft,
    stFullRunRest, stFullRunRestStep, stFullNestedLeft, stFullNestedScan, stFullNestedStep, stFullNestedNextLeft,
    stFullNestedRest, stFullNestedRestStep
};

TORQAOJoin::TORQAOJoin(std::unique_ptr<TORQAO> LeftInput, std::unique_ptr<TORQExpression> AOnCondition,
                       const TORQFields* RightKeyList, const TORQFields* LeftKeyList, bool Natural, uint8_t AKind,
                       std::unique_ptr<TORQAO> RightInput)
    : TORQAO(std::move(LeftInput), std::move(RightInput), "", "") {
    const int32_t leftCount = LeftKeyList != nullptr ? LeftKeyList->Count() : 0;
    const int32_t rightCount = RightKeyList != nullptr ? RightKeyList->Count() : 0;
    Kind = AKind;
    OnCondition = std::move(AOnCondition);
    Materialised = false;

    // Left columns, then right ones.
    for (TORQAO* input : {Left.get(), Right.get()}) {
        for (int32_t i = 0; i < input->GetColumnCount(); ++i) {
            const TORQFieldLink& ic = input->Columns[static_cast<size_t>(i)];
            TORQFieldLink c;
            c.Name = ic.Name;
            c.DataType = ic.DataType;
            c.Size = ic.Size;
            c.Precision = ic.Precision;
            c.Hidden = ic.Hidden;
            c.BlobCompressionAlgorithm = ic.BlobCompressionAlgorithm;
            c.BlobCompressionMode = ic.BlobCompressionMode;
            c.BlobBlockSize = ic.BlobBlockSize;
            c.SourceOperator = input;
            c.SourceFieldNo = i;
            // A derived table's columns answer to its alias.
            const bool derived = !input->IsBaseTable && !input->TableAlias.empty();
            c.OriginQualifier = derived ? input->TableAlias : ic.OriginQualifier;
            c.OriginName = derived ? ic.Name : ic.OriginName;
            Columns.push_back(std::move(c));
        }
    }
    const int32_t leftColumns = Left->GetColumnCount();

    if (Natural) {
        // Common names pair as USING would pair them.
        for (int32_t r = leftColumns; r < GetColumnCount(); ++r) {
            for (int32_t l = 0; l < leftColumns; ++l) {
                if (AnsiUpperCase(Columns[static_cast<size_t>(l)].Name) != AnsiUpperCase(Columns[static_cast<size_t>(r)].Name))
                    continue;
                LeftKeys.Append(l);
                RightKeys.Append(r);
                Columns[static_cast<size_t>(l)].Hidden = false;
                Columns[static_cast<size_t>(r)].Hidden = false;
                Left->FindFieldNumbers(Columns[static_cast<size_t>(l)].Name, "", false, false, nullptr, 1);
                Right->FindFieldNumbers(Columns[static_cast<size_t>(r)].Name, "", false, false, nullptr, 1);
            }
        }
    }
    if (Kind == jkInner && !OnCondition && leftCount + rightCount == 0 && LeftKeys.Count() == 0) Kind = jkCross;
    IsCross = Kind == jkCross;
    IsInner = Kind == jkInner;
    IsOuter = Kind == jkLeft || Kind == jkRight || Kind == jkFull;
    if (!IsCross && !Natural && leftCount != rightCount)
        RaiseNativeFmt(10330, "Error - different list lengths. L1 = %d, L2 = %d", {leftCount, rightCount});

    if (!IsCross && !Natural) {
        const char* const invalid =
            "Invalid field for join operation. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d";
        for (int32_t i = 0; i < leftCount; ++i) {
            const TORQSelectListItem& item = LeftKeyList->Items[static_cast<size_t>(i)];
            const int32_t n = FindFieldNumbers(item.FieldName, item.TableName, false, false, &LeftKeys, 1);
            if (n != 1) RaiseNativeFmt(10331, invalid, {item.TableName, item.FieldName, i, n});
        }
        for (int32_t i = 0; i < rightCount; ++i) {
            const TORQSelectListItem& item = RightKeyList->Items[static_cast<size_t>(i)];
            const int32_t n = FindFieldNumbers(item.FieldName, item.TableName, false, false, &RightKeys, 1);
            if (n != 1) RaiseNativeFmt(10332, invalid, {item.TableName, item.FieldName, i, n});
        }
        if (LeftKeys.Count() != RightKeys.Count())
            RaiseNativeFmt(10332, "Error - different list lengths. L1 = %d, L2 = %d", {LeftKeys.Count(), RightKeys.Count()});
        for (int32_t i = 0; i < LeftKeys.Count(); ++i) {
            const bool firstLeft = LeftKeys[i] < leftColumns, secondLeft = RightKeys[i] < leftColumns;
            if (firstLeft == secondLeft)
                RaiseNativeFmt(10334,
                               "Both join fields are from the same table. Field1 = '%s', Field2 = '%s', No1 = %d, "
                               "No2 = %d.",
                               {Columns[static_cast<size_t>(LeftKeys[i])].Name,
                                Columns[static_cast<size_t>(RightKeys[i])].Name, LeftKeys[i], RightKeys[i]});
            if (!firstLeft) std::swap(LeftKeys[i], RightKeys[i]);
        }
    }
    HasKeys = LeftKeys.Count() > 0;
    MergeKeys = HasKeys && !IsCross;
    for (int32_t i = 0; i < LeftKeys.Count(); ++i)
        if (SortOrdersDiffer(Columns[static_cast<size_t>(LeftKeys[i])].DataType,
                             Columns[static_cast<size_t>(RightKeys[i])].DataType))
            MergeKeys = false;
    if (MergeKeys) {
        std::string leftList, rightList;
        for (int32_t i = 0; i < LeftKeys.Count(); ++i) {
            const TORQFieldLink& l = Columns[static_cast<size_t>(LeftKeys[i])];
            const TORQFieldLink& r = Columns[static_cast<size_t>(RightKeys[i])];
            if (i > 0) {
                leftList += ';';
                rightList += ';';
            }
            leftList += Left->Columns[static_cast<size_t>(l.SourceFieldNo)].Name;
            rightList += Right->Columns[static_cast<size_t>(r.SourceFieldNo)].Name;
        }
        Left->SetOrderBy(leftList, "", "");
        Right->SetOrderBy(rightList, "", "");
    }
    MakeResultFieldNamesUnique();
    Materialised = false;
}

TORQAOJoin::~TORQAOJoin() { OnCondition.reset(); }

void TORQAOJoin::ReorderColumns(const std::vector<int32_t>& Order) {
    const int32_t n = GetColumnCount();
    if (static_cast<int32_t>(Order.size()) != n) RaiseNativeFmt(10306, "Invalid field number - FieldNo = %d, FieldCount = %d",
                                                                {static_cast<int32_t>(Order.size()), n});
    std::vector<int32_t> position(static_cast<size_t>(n), -1);
    std::vector<TORQFieldLink> columns(static_cast<size_t>(n));
    for (int32_t p = 0; p < n; ++p) {
        const int32_t old = Order[static_cast<size_t>(p)];
        if (old < 0 || old >= n || position[static_cast<size_t>(old)] >= 0)
            RaiseNativeFmt(10306, "Invalid field number - FieldNo = %d, FieldCount = %d", {old, n});
        position[static_cast<size_t>(old)] = p;
        columns[static_cast<size_t>(p)] = std::move(Columns[static_cast<size_t>(old)]);
    }
    Columns = std::move(columns);
    for (TORQIntegerArray* keys : {&LeftKeys, &RightKeys})
        for (int32_t i = 0; i < keys->Count(); ++i) (*keys)[i] = position[static_cast<size_t>((*keys)[i])];
    MakeResultFieldNamesUnique();
    StarInColumnOrder = true;
}

void TORQAOJoin::Open(bool AIsResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    if (Opened) return;
    if (OnCondition) OnCondition->BindToOperators(this, OuterOperator, OuterCursor);
    TORQAO::Open(AIsResultSet, OuterOperator, OuterCursor);
}

void TORQAOJoin::PrepareInputs() {
    if ((Kind == jkInner || Kind == jkFull) && Right->RecordCount() < Left->RecordCount()) Swap();
}

void TORQAOJoin::Swap() {
    std::swap(Left, Right);
    std::swap(LeftKeys, RightKeys);
}

// ---------------------------------------------------------------------------------
// Comparing

void TORQAOJoin::CompareKeys() {
    CompareResult = 0;
    for (int32_t i = 0; i < LeftKeys.Count(); ++i) {
        GetFieldValue(KeyA, LeftKeys[i], true);
        GetFieldValue(KeyB, RightKeys[i], true);
        int32_t r = 0;
        try {
            r = KeyA.Compare(KeyB, true, false, false);
        } catch (const EORQException& e) {
            RaiseNativeFmt(10328, "Cannot compare values for fields: %s, %s. Error: %s",
                           {Columns[static_cast<size_t>(LeftKeys[i])].Name,
                            Columns[static_cast<size_t>(RightKeys[i])].Name, e.Message()});
        }
        if (r != 0) {
            CompareResult = static_cast<uint8_t>(r);
            return;
        }
    }
}

bool TORQAOJoin::KeysEqual() {
    if (!HasKeys) return true;
    CompareKeys();
    return CompareResult == 0;
}

bool TORQAOJoin::RowMatches() {
    if (!OnCondition) return true;
    const bool l = LeftIsNull, r = RightIsNull;
    LeftIsNull = RightIsNull = false;
    bool ok = false;
    try {
        ok = OnCondition->GetBooleanValue();
    } catch (...) {
        LeftIsNull = l;
        RightIsNull = r;
        throw;
    }
    LeftIsNull = l;
    RightIsNull = r;
    return ok;
}

// ---------------------------------------------------------------------------------
// The stream

void TORQAOJoin::PipelinedFirst() {
    Left->First();
    Right->First();
    AtEnd = false;
    HasRunStart = false;
    MatchCount = 0;
    LeftIsNull = RightIsNull = false;
    if (Kind == jkFull) {
        if (MergeKeys) {
            FStep = static_cast<TStep>(stFullMain);
        } else {
            RightMatched.assign(static_cast<size_t>(std::max<int64_t>(Right->RecordCount(), 0)), false);
            FStep = static_cast<TStep>(stFullNestedLeft);
        }
        NextFullMerged();
        return;
    }
    FStep = stNewDriving;
    NextMerged();
}

void TORQAOJoin::PipelinedNext() {
    LeftIsNull = RightIsNull = false;
    if (AtEnd) return;
    if (Kind == jkFull) NextFullMerged();
    else NextMerged();
}

bool TORQAOJoin::PipelinedEof() { return AtEnd; }

int64_t TORQAOJoin::PipelinedRecordCount() {
    if (Materialised) return ResultTable->RecordCount();
    if (IsCross) return Left->RecordCount() * Right->RecordCount();
    return 0;
}

void TORQAOJoin::NextMerged() {
    // P drives, Q is searched for partners.
    TORQAO* P = Kind == jkRight ? Right.get() : Left.get();
    TORQAO* Q = Kind == jkRight ? Left.get() : Right.get();
    const bool pIsLeft = P == Left.get();
    auto qBehind = [&] { return pIsLeft ? (CompareResult == 2 || CompareResult == 4) : (CompareResult == 1 || CompareResult == 3); };
    auto emitAlone = [&] {
        if (Q == Right.get()) RightIsNull = true;
        else LeftIsNull = true;
    };
    for (;;) {
        switch (FStep) {
            case stNewDriving:
                if (P->Eof()) {
                    AtEnd = true;
                    return;
                }
                MatchCount = 0;
                if (MergeKeys) {
                    if (HasRunStart && !Q->Eof()) {
                        // Q stands after the last driving row's run, whose rows all compare
                        // as its first: when that one is behind the new driving row, so is
                        // the whole run, and the search goes on from here instead of reading
                        // the run again.
                        const std::string after = Q->Bookmark();
                        Q->GotoBookmark(RunStart);
                        CompareKeys();
                        if (qBehind()) Q->GotoBookmark(after);
                    } else if (HasRunStart) {
                        Q->GotoBookmark(RunStart);
                    } else {
                        Q->First();
                    }
                    while (!Q->Eof()) {
                        CompareKeys();
                        if (!qBehind()) break;
                        Q->Next();
                    }
                    if (!Q->Eof()) {
                        RunStart = Q->Bookmark();
                        HasRunStart = true;
                    }
                } else {
                    Q->First();
                }
                FStep = stScan;
                break;
            case stScan: {
                bool candidate = !Q->Eof();
                if (candidate && MergeKeys) {
                    CompareKeys();
                    candidate = CompareResult == 0;
                }
                if (!candidate) {
                    FStep = stNextDriving;
                    if (MatchCount == 0 && IsOuter) {
                        emitAlone();
                        return;
                    }
                    break;
                }
                const bool ok = (MergeKeys || KeysEqual()) && RowMatches();
                if (ok) {
                    ++MatchCount;
                    FStep = stAdvanceInner;
                    return;
                }
                Q->Next();
                break;
            }
            case stAdvanceInner:
                Q->Next();
                FStep = stScan;
                break;
            case stNextDriving:
                P->Next();
                FStep = stNewDriving;
                break;
            default: AtEnd = true; return;
        }
    }
}

void TORQAOJoin::NextFullMerged() {
    TORQAO* L = Left.get();
    TORQAO* R = Right.get();
    for (;;) {
        switch (static_cast<uint8_t>(FStep)) {
            case stFullMain:
                if (L->Eof() && R->Eof()) {
                    AtEnd = true;
                    return;
                }
                if (L->Eof()) {
                    LeftIsNull = true;
                    FStep = static_cast<TStep>(stFullAdvanceRight);
                    return;
                }
                if (R->Eof()) {
                    RightIsNull = true;
                    FStep = static_cast<TStep>(stFullAdvanceLeft);
                    return;
                }
                CompareKeys();
                if (CompareResult == 1 || CompareResult == 3 || CompareResult == 5) {
                    RightIsNull = true;
                    FStep = static_cast<TStep>(stFullAdvanceLeft);
                    return;
                }
                if (CompareResult == 2 || CompareResult == 4) {
                    LeftIsNull = true;
                    FStep = static_cast<TStep>(stFullAdvanceRight);
                    return;
                }
                // A run of equal keys: its extent first.
                RunStart = R->Bookmark();
                RunLength = 0;
                while (!R->Eof()) {
                    CompareKeys();
                    if (CompareResult != 0) break;
                    ++RunLength;
                    R->Next();
                }
                R->GotoBookmark(RunStart);
                RightMatched.assign(static_cast<size_t>(RunLength), false);
                RunPos = 0;
                LeftMatched = false;
                FStep = static_cast<TStep>(stFullGroupScan);
                break;
            case stFullAdvanceLeft:
                L->Next();
                FStep = static_cast<TStep>(stFullMain);
                break;
            case stFullAdvanceRight:
                R->Next();
                FStep = static_cast<TStep>(stFullMain);
                break;
            case stFullGroupScan:
                if (RunPos >= RunLength) {
                    FStep = static_cast<TStep>(stFullGroupNextLeft);
                    if (!LeftMatched) {
                        RightIsNull = true;
                        return;
                    }
                    break;
                }
                FStep = static_cast<TStep>(stFullGroupStep);
                if (RowMatches()) {
                    RightMatched[static_cast<size_t>(RunPos)] = true;
                    LeftMatched = true;
                    return;
                }
                break;
            case stFullGroupStep:
                R->Next();
                ++RunPos;
                FStep = static_cast<TStep>(stFullGroupScan);
                break;
            case stFullGroupNextLeft:
                L->Next();
                R->GotoBookmark(RunStart);
                RunPos = 0;
                LeftMatched = false;
                if (!L->Eof()) {
                    CompareKeys();
                    if (CompareResult == 0) {
                        FStep = static_cast<TStep>(stFullGroupScan);
                        break;
                    }
                }
                FStep = static_cast<TStep>(stFullRunRest);
                break;
            case stFullRunRest:
                if (RunPos >= RunLength) {
                    FStep = static_cast<TStep>(stFullMain);
                    break;
                }
                FStep = static_cast<TStep>(stFullRunRestStep);
                if (!RightMatched[static_cast<size_t>(RunPos)]) {
                    LeftIsNull = true;
                    return;
                }
                break;
            case stFullRunRestStep:
                R->Next();
                ++RunPos;
                FStep = static_cast<TStep>(stFullRunRest);
                break;
            case stFullNestedLeft:
                R->First();
                RightOrdinal = 0;
                LeftMatched = false;
                FStep = static_cast<TStep>(L->Eof() ? stFullNestedRest : stFullNestedScan);
                break;
            case stFullNestedScan:
                if (R->Eof()) {
                    FStep = static_cast<TStep>(stFullNestedNextLeft);
                    if (!LeftMatched) {
                        RightIsNull = true;
                        return;
                    }
                    break;
                }
                FStep = static_cast<TStep>(stFullNestedStep);
                if (KeysEqual() && RowMatches()) {
                    if (static_cast<size_t>(RightOrdinal) < RightMatched.size())
                        RightMatched[static_cast<size_t>(RightOrdinal)] = true;
                    LeftMatched = true;
                    return;
                }
                break;
            case stFullNestedStep:
                R->Next();
                ++RightOrdinal;
                FStep = static_cast<TStep>(stFullNestedScan);
                break;
            case stFullNestedNextLeft:
                L->Next();
                FStep = static_cast<TStep>(stFullNestedLeft);
                break;
            case stFullNestedRest:
                if (R->Eof()) {
                    AtEnd = true;
                    return;
                }
                FStep = static_cast<TStep>(stFullNestedRestStep);
                if (static_cast<size_t>(RightOrdinal) >= RightMatched.size() ||
                    !RightMatched[static_cast<size_t>(RightOrdinal)]) {
                    LeftIsNull = true;
                    return;
                }
                break;
            case stFullNestedRestStep:
                R->Next();
                ++RightOrdinal;
                FStep = static_cast<TStep>(stFullNestedRest);
                break;
            default: AtEnd = true; return;
        }
    }
}

}  // namespace orq
