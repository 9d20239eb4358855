#include "engine/storage/ORQTableScan.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQRecordBitmap.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

// ---------------------------------------------------------------------------------
// Merging key conditions

namespace {

int32_t Sign(int32_t C) { return C < 0 ? -1 : (C > 0 ? 1 : 0); }

// What a merge of r with s comes to, per operator pair and key order.
enum TOutcome : uint8_t {
    oE,    // empty
    oN,    // no merge
    oR,    // r
    oS,    // s
    oSh,   // shorter
    oLo,   // longer
    oRL,   // r if r is longer, else no merge
    oSL,   // s if s is longer, else no merge
    oERS,  // empty if r is shorter, else no merge
    oESS,  // empty if s is shorter, else no merge
    oEq1,  // equal-length keys: longer with operator 1, else no merge
};

// [r operator - 1][s operator - 1][c < 0, c = 0, c > 0]
constexpr TOutcome MergeTable[5][5][3] = {
    // r: =
    {{oE, oLo, oE}, {oR, oE, oE}, {oE, oE, oR}, {oR, oRL, oE}, {oE, oRL, oR}},
    // r: <
    {{oE, oE, oS}, {oR, oSh, oS}, {oE, oE, oN}, {oR, oR, oS}, {oE, oERS, oN}},
    // r: >
    {{oS, oE, oE}, {oN, oE, oE}, {oS, oSh, oR}, {oN, oERS, oE}, {oS, oR, oR}},
    // r: <=
    {{oE, oSL, oS}, {oR, oN, oS}, {oE, oESS, oN}, {oR, oLo, oS}, {oE, oEq1, oN}},
    // r: >=
    {{oS, oSL, oE}, {oN, oESS, oE}, {oS, oS, oR}, {oN, oEq1, oE}, {oS, oLo, oR}},
};

void TakeKey(TORQScanSearchCondition& R, const TORQScanSearchCondition& From, uint8_t Operator) {
    if (&R == &From) {
        R.Operator = Operator;
        return;
    }
    uint8_t* key = nullptr;
    if (From.Key != nullptr && From.KeySize > 0) {
        key = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(From.KeySize));
        std::memcpy(key, From.Key, static_cast<size_t>(From.KeySize));
    }
    R.FreeKey();
    R.Key = key;
    R.KeyIsBorrowed = false;
    R.KeySize = From.KeySize;
    R.FieldCount = From.FieldCount;
    R.Operator = Operator;
}

bool IsStrict(uint8_t Operator) { return Operator == scoLess || Operator == scoGreater; }

}  // namespace

bool ConditionsMayMerge(const TORQScanSearchCondition& A, const TORQScanSearchCondition& B) {
    if (A.Operator == scoEqual && IsStrict(B.Operator)) return A.FieldCount >= B.FieldCount;
    if (B.Operator == scoEqual && IsStrict(A.Operator)) return B.FieldCount >= A.FieldCount;
    return true;
}

TORQMergeResult MergeConditionPair(TORQIndex& Index, TORQScanSearchCondition& R, const TORQScanSearchCondition& S) {
    if (R.Operator < scoEqual || R.Operator > scoGreaterOrEqual || S.Operator < scoEqual ||
        S.Operator > scoGreaterOrEqual)
        return TORQMergeResult::NoMerge;
    const int32_t columns = std::min(R.FieldCount, S.FieldCount);
    const int32_t c = Sign(Index.CompareRecordKeys(R.Key, S.Key, columns));
    const bool rLonger = R.FieldCount >= S.FieldCount;
    const bool rShorter = R.FieldCount <= S.FieldCount;
    const bool sLonger = S.FieldCount >= R.FieldCount;
    const bool sShorter = S.FieldCount <= R.FieldCount;
    // Equal counts name r as both the shorter and the longer.
    const TORQScanSearchCondition& shorter = rShorter ? R : S;
    const TORQScanSearchCondition& longer = rLonger ? R : S;
    switch (MergeTable[R.Operator - 1][S.Operator - 1][c + 1]) {
        case oE: return TORQMergeResult::Empty;
        case oN: return TORQMergeResult::NoMerge;
        case oR: TakeKey(R, R, R.Operator); return TORQMergeResult::Merged;
        case oS: TakeKey(R, S, S.Operator); return TORQMergeResult::Merged;
        case oSh: TakeKey(R, shorter, shorter.Operator); return TORQMergeResult::Merged;
        case oLo: TakeKey(R, longer, longer.Operator); return TORQMergeResult::Merged;
        case oRL:
            if (!rLonger) return TORQMergeResult::NoMerge;
            return TORQMergeResult::Merged;
        case oSL:
            if (!sLonger) return TORQMergeResult::NoMerge;
            TakeKey(R, S, S.Operator);
            return TORQMergeResult::Merged;
        case oERS: return rShorter ? TORQMergeResult::Empty : TORQMergeResult::NoMerge;
        case oESS: return sShorter ? TORQMergeResult::Empty : TORQMergeResult::NoMerge;
        case oEq1:
            if (R.FieldCount != S.FieldCount) return TORQMergeResult::NoMerge;
            TakeKey(R, longer, scoEqual);
            return TORQMergeResult::Merged;
    }
    return TORQMergeResult::NoMerge;
}

bool KeyConditionHolds(TORQIndex& Index, const TORQScanSearchCondition& C, const uint8_t* Record) {
    const int32_t c = Index.CompareRecordKeys(Record, C.Key, C.FieldCount);
    switch (C.Operator) {
        case scoEqual: return c == 0;
        case scoLess: return c < 0;
        case scoGreater: return c > 0;
        case scoLessOrEqual: return c <= 0;
        case scoGreaterOrEqual: return c >= 0;
        default: return true;
    }
}

// ---------------------------------------------------------------------------------
// The search

namespace {

// A cursor record buffer released on every path.
class TScanBuffer {
public:
    explicit TScanBuffer(TORQCursor* Cursor) : FCursor(Cursor), FBuffer(Cursor->AllocRecordBuffer()) {}
    ~TScanBuffer() { FCursor->FreeRecordBuffer(FBuffer); }
    TScanBuffer(const TScanBuffer&) = delete;
    TScanBuffer& operator=(const TScanBuffer&) = delete;
    uint8_t* Get() const { return FBuffer; }

private:
    TORQCursor* FCursor;
    uint8_t* FBuffer;
};

// An index scan position released on every path.
class TScanPosition {
public:
    explicit TScanPosition(TORQIndex& Index) : FIndex(Index), FPosition(Index.CreateScanPosition()) {}
    ~TScanPosition() { FIndex.FreeScanPosition(FPosition); }
    TScanPosition(const TScanPosition&) = delete;
    TScanPosition& operator=(const TScanPosition&) = delete;
    TORQIndexScanPosition& Get() const {
        if (FPosition == nullptr) RaiseNative(20273, "Pointer is nil");
        return *FPosition;
    }

private:
    TORQIndex& FIndex;
    TORQIndexScanPosition* FPosition;
};

[[noreturn]] void RaisePosition(int32_t Code, int32_t IndexID, const TORQRecordID& ID) {
    RaiseNativeFmt(Code, "Cannot find record position in index %d, RecordID = %d %d",
                   {IndexID, ID.PageNo, static_cast<int32_t>(ID.SlotNo)});
}

}  // namespace

namespace {

std::atomic<int64_t> CandidateCount{0};

void CountCandidate() { CandidateCount.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

int64_t TORQTableScan::CandidatesExamined() { return CandidateCount.load(std::memory_order_relaxed); }

TORQTableScan::TORQTableScan(TORQTableData& TableData, TORQCursor* Cursor)
    : FTable(TableData), FCursor(Cursor), FSession(SessionIDOf(Cursor)) {}

void TORQTableScan::RestartBitmap(TORQRecordBitmap& Bitmap, bool IndexOrder) const {
    // Emptied, not shrunk: the size set for the table's record numbers still holds.
    const int64_t size = Bitmap.Size();
    Bitmap.Reset();
    Bitmap.SetSize(size);
    Bitmap.IndexOrder = IndexOrder ? 1 : 0;
    Bitmap.ChangeStamp = FTable.RecordManager->ChangeStamp;
}

bool TORQTableScan::ReadByID(const TORQRecordID& RecordID, uint8_t* Buffer) {
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = RecordID;
    request.RecordBuffer = Buffer;
    request.Result = grError;
    FTable.ReadRecord(FSession, request, FTable.RecordManager->ChangeStamp, nullptr);
    if (request.Result != grOK) return false;
    RecordID.ToBytes(Buffer + FTable.RecordManager->RecordSize);
    return true;
}

const TORQIndexDef* TORQTableScan::IndexDefOf(int32_t IndexID) const {
    if (FTable.IndexManager == nullptr) return nullptr;
    return static_cast<const TORQIndexDef*>(FTable.IndexManager->IndexDefs.FindByID(IndexID));
}

bool TORQTableScan::ScanRecords(TORQBaseExpression* ExtraNode, bool FillBitmap, TORQRecordBitmap* Bitmap,
                                TORQRecordID* RecordID, bool Forward, bool FromStart,
                                const TORQScanSearchCondition* KeyCondition) {
    if (FTable.GetPhysicalRecordCount(FCursor) == 0) return false;
    // A bitmap kept in another order than the cursor's now is no use either.
    if (Bitmap != nullptr &&
        (FillBitmap || Bitmap->IsStale() || (Bitmap->IndexOrder != 0) != FCursor->HasIndex()))
        RestartBitmap(*Bitmap, FCursor->HasIndex());
    if (Bitmap != nullptr && Bitmap->Complete != 0) {
        TORQRecordID id;
        if (!SeekInRecordBitmap(FromStart, Forward, *Bitmap, id)) return false;
        if (RecordID != nullptr) *RecordID = id;
        return true;
    }
    if (ExtraNode == nullptr && KeyCondition == nullptr && !FillBitmap && !FCursor->HasLinkedKey())
        return StepWithPlan(Bitmap, RecordID, Forward, FromStart);
    TORQScanSearchConditionArray conditions;
    BuildScanConditions(conditions, Forward, ExtraNode, KeyCondition);
    if (FTable.IndexManager != nullptr) conditions.ChooseIndexes(FTable.IndexManager->IndexDefs, false);
    bool found = false;
    if (MergeScanConditions(conditions)) {
        int32_t main = -1, paired = -1;
        ChooseScanConditions(conditions, Forward, main, paired);
        conditions.RemoveMergedConditions(main, paired);
        if (main >= 0) conditions.DetachConditions(main, paired);
        try {
            found = ScanWithConditions(conditions, main, paired, FillBitmap, Bitmap, RecordID, Forward, FromStart);
        } catch (...) {
            if (main >= 0) conditions.AttachConditions(main, paired);
            throw;
        }
        if (main >= 0) conditions.AttachConditions(main, paired);
    }
    // A merge that proves nothing matches has examined every record as well.
    if (Bitmap != nullptr && FillBitmap) Bitmap->Complete = 1;
    if (Bitmap != nullptr && FromStart && Bitmap->Complete != 0 && FCursor->HasLinkedKey() && FCursor->HasIndex())
        FTable.OpenIndex(FCursor->IndexID).RemoveDuplicates(FSession, *Bitmap, FCursor->LinkedKeyFieldCount);
    return found;
}

// ---------------------------------------------------------------------------------
// The kept plan

TORQScanPlan::TORQScanPlan() = default;
TORQScanPlan::~TORQScanPlan() = default;

void TORQScanPlanDelete::operator()(TORQScanPlan* Plan) const noexcept { delete Plan; }

namespace {

bool SameKeyConditions(const TORQScanSearchCondition& A, const TORQScanSearchCondition& B) {
    if (A.Expression != B.Expression || A.Operator != B.Operator || A.IndexID != B.IndexID ||
        A.FieldCount != B.FieldCount || A.KeySize != B.KeySize || A.PartialCompare != B.PartialCompare ||
        A.Nodes != B.Nodes || A.Expressions != B.Expressions)
        return false;
    if (A.KeySize <= 0 || A.Key == nullptr || B.Key == nullptr) return A.Key == B.Key;
    return std::memcmp(A.Key, B.Key, static_cast<size_t>(A.KeySize)) == 0;
}

// The same conditions in any order: putting detached nodes back reorders an expression.
bool SameConditionSets(const TORQScanSearchConditionArray& A, const TORQScanSearchConditionArray& B) {
    if (A.Count() != B.Count()) return false;
    std::vector<bool> used(static_cast<size_t>(B.Count()), false);
    for (int32_t i = 0; i < A.Count(); ++i) {
        bool matched = false;
        for (int32_t k = 0; k < B.Count() && !matched; ++k) {
            if (used[static_cast<size_t>(k)] || !SameKeyConditions(A.Items(i), B.Items(k))) continue;
            used[static_cast<size_t>(k)] = true;
            matched = true;
        }
        if (!matched) return false;
    }
    return true;
}

bool SameRangeKey(const std::vector<uint8_t>& Kept, const uint8_t* Key, int32_t Size) {
    if (Key == nullptr) return Kept.empty();
    return Kept.size() == static_cast<size_t>(Size) && (Size == 0 || std::memcmp(Kept.data(), Key, Kept.size()) == 0);
}

std::vector<uint8_t> CopyRangeKey(const uint8_t* Key, int32_t Size) {
    if (Key == nullptr) return {};
    return std::vector<uint8_t>(Key, Key + Size);
}

}  // namespace

bool TORQTableScan::PlanHolds(TORQScanPlan& Plan, bool Forward) {
    const TORQCursor& c = *FCursor;
    if (Plan.Table != &FTable || Plan.SessionID != FSession || Plan.IndexID != c.IndexID ||
        Plan.Stamp != FTable.RecordManager->ChangeStamp || Plan.Filter != c.FilterExpression.get() ||
        Plan.Condition != c.ConditionExpression || Plan.Callback != static_cast<bool>(c.OnFilterRecord))
        return false;
    if (Plan.HasRangeStart != (c.RangeStartKey != nullptr) || Plan.HasRangeEnd != (c.RangeEndKey != nullptr) ||
        Plan.RangeStartExclusive != c.RangeStartExclusive || Plan.RangeEndExclusive != c.RangeEndExclusive ||
        Plan.RangeStartFieldCount != c.RangeStartFieldCount || Plan.RangeEndFieldCount != c.RangeEndFieldCount ||
        !SameRangeKey(Plan.RangeStart, c.RangeStartKey, c.RecordSize) ||
        !SameRangeKey(Plan.RangeEnd, c.RangeEndKey, c.RecordSize))
        return false;
    const TORQIndexDefs* defs = FTable.IndexManager != nullptr ? &FTable.IndexManager->IndexDefs : nullptr;
    if (Plan.DefinitionCount != (defs != nullptr ? defs->GetCount() : 0)) return false;
    for (const TORQScanPlan::TUsedIndex& u : Plan.Indexes) {
        const TORQIndexDef* d = IndexDefOf(u.IndexID);
        if (d == nullptr || d->RootPage != u.RootPage || d->RecordStamp != u.RecordStamp) return false;
    }
    if (!Plan.HasDerived) return true;
    // Keys taken from the expressions follow their values (an outer record's, a
    // parameter's): the plan holds only while they come out the same.
    TORQScanSearchConditionArray now;
    BuildScanConditions(now, Forward, nullptr, nullptr);
    if (FTable.IndexManager != nullptr) now.ChooseIndexes(FTable.IndexManager->IndexDefs, false);
    return SameConditionSets(now, Plan.Derived);
}

std::unique_ptr<TORQScanPlan, TORQScanPlanDelete> TORQTableScan::MakePlan(bool Forward) {
    std::unique_ptr<TORQScanPlan, TORQScanPlanDelete> plan(new TORQScanPlan());
    TORQScanPlan& p = *plan;
    const TORQCursor& c = *FCursor;
    p.Table = &FTable;
    p.SessionID = FSession;
    p.IndexID = c.IndexID;
    p.Stamp = FTable.RecordManager->ChangeStamp;
    p.Filter = c.FilterExpression.get();
    p.Condition = c.ConditionExpression;
    p.Callback = static_cast<bool>(c.OnFilterRecord);
    p.HasRangeStart = c.RangeStartKey != nullptr;
    p.HasRangeEnd = c.RangeEndKey != nullptr;
    p.RangeStartExclusive = c.RangeStartExclusive;
    p.RangeEndExclusive = c.RangeEndExclusive;
    p.RangeStartFieldCount = c.RangeStartFieldCount;
    p.RangeEndFieldCount = c.RangeEndFieldCount;
    p.RangeStart = CopyRangeKey(c.RangeStartKey, c.RecordSize);
    p.RangeEnd = CopyRangeKey(c.RangeEndKey, c.RecordSize);
    p.DefinitionCount = FTable.IndexManager != nullptr ? FTable.IndexManager->IndexDefs.GetCount() : 0;
    TORQScanSearchConditionArray& conditions = p.Conditions;
    BuildScanConditions(conditions, Forward, nullptr, nullptr);
    if (FTable.IndexManager != nullptr) conditions.ChooseIndexes(FTable.IndexManager->IndexDefs, false);
    for (int32_t i = 0; i < conditions.Count(); ++i) {
        const TORQScanSearchCondition& k = conditions.Items(i);
        if (IsDerivedCondition(k)) p.HasDerived = true;
        if (!IsKeyCondition(k)) continue;
        const bool listed = std::any_of(p.Indexes.begin(), p.Indexes.end(),
                                        [&](const TORQScanPlan::TUsedIndex& u) { return u.IndexID == k.IndexID; });
        if (listed) continue;
        const TORQIndexDef* d = IndexDefOf(k.IndexID);
        p.Indexes.push_back({k.IndexID, d != nullptr ? d->RootPage : -1, d != nullptr ? d->RecordStamp : 0});
    }
    if (p.HasDerived)
        for (int32_t i = 0; i < conditions.Count(); ++i) p.Derived.AddCondition(conditions.Items(i));
    if (!MergeScanConditions(conditions)) {
        p.Empty = true;
        return plan;
    }
    ChooseScanPair(conditions, p.Main, p.Paired);
    conditions.RemoveMergedConditions(p.Main, p.Paired);
    return plan;
}

bool TORQTableScan::StepWithPlan(TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart) {
    // Held here while it runs, so that a callback resetting the cursor's plan cannot free
    // it under the scan; a plan that failed part way is not kept.
    std::unique_ptr<TORQScanPlan, TORQScanPlanDelete> kept = std::move(FCursor->ScanPlan);
    if (kept && !PlanHolds(*kept, Forward)) kept.reset();
    if (!kept) kept = MakePlan(Forward);
    TORQScanPlan& plan = *kept;
    bool found = false;
    if (!plan.Empty) {
        int32_t main = plan.Main, paired = plan.Paired;
        OrderScanEnds(plan.Conditions, Forward, main, paired);
        if (main >= 0) plan.Conditions.DetachConditions(main, paired);
        try {
            found =
                ScanWithConditions(plan.Conditions, main, paired, false, Bitmap, RecordID, Forward, FromStart, &plan);
        } catch (...) {
            if (main >= 0) plan.Conditions.AttachConditions(main, paired);
            throw;
        }
        if (main >= 0) plan.Conditions.AttachConditions(main, paired);
    }
    // Whatever the scan's callbacks changed is checked when the plan is next used.
    if (!FCursor->ScanPlan) FCursor->ScanPlan = std::move(kept);
    return found;
}

void TORQTableScan::BuildScanConditions(TORQScanSearchConditionArray& Conditions, bool Forward,
                                        TORQBaseExpression* ExtraNode, const TORQScanSearchCondition* KeyCondition) {
    if (KeyCondition != nullptr) {
        if (KeyCondition->IndexID == -1)
            RaiseNative(20258,
                        "No active index is set for Key search. Set Table.IndexName to the index on search fields.");
        Conditions.AddCondition(*KeyCondition);
    }
    if (ExtraNode != nullptr) Conditions.AddNode(ExtraNode);
    if (FCursor->FilterExpression != nullptr) Conditions.AddNode(FCursor->FilterExpression.get());
    if (FCursor->ConditionExpression != nullptr) Conditions.AddNode(FCursor->ConditionExpression);
    auto addKey = [&](uint8_t* Key, int32_t Columns, uint8_t Operator) {
        TORQScanSearchCondition c(true);
        c.Key = Key;
        c.KeySize = FCursor->RecordSize;
        c.FieldCount = Columns;
        c.IndexID = FCursor->IndexID;
        c.Operator = Operator;
        Conditions.AddCondition(c);
    };
    if (FCursor->RangeStartKey != nullptr)
        addKey(FCursor->RangeStartKey, FCursor->RangeStartFieldCount,
               FCursor->RangeStartExclusive != 0 ? scoGreater : scoGreaterOrEqual);
    if (FCursor->RangeEndKey != nullptr)
        addKey(FCursor->RangeEndKey, FCursor->RangeEndFieldCount,
               FCursor->RangeEndExclusive != 0 ? scoLess : scoLessOrEqual);
    if (FCursor->HasLinkedKey() && FCursor->Bof == 0 && FCursor->Eof == 0) {
        // The record stepped from; outside a step that is the cursor's own record.
        uint8_t* key = FCursor->KeyBuffer != nullptr ? FCursor->KeyBuffer : FCursor->CurrentRecord;
        addKey(key, FCursor->LinkedKeyFieldCount, Forward ? scoGreater : scoLess);
    }
}

bool TORQTableScan::MergeScanConditions(TORQScanSearchConditionArray& Conditions) {
    std::vector<int32_t> indexes;
    for (int32_t i = 0; i < Conditions.Count(); ++i) {
        const TORQScanSearchCondition& c = Conditions.Items(i);
        if (IsKeyCondition(c) && std::find(indexes.begin(), indexes.end(), c.IndexID) == indexes.end())
            indexes.push_back(c.IndexID);
    }
    if (indexes.empty()) return true;
    TORQScanSearchConditionArray result;
    for (int32_t id : indexes) {
        TORQIndex& index = FTable.OpenIndex(id);
        const int32_t first = result.Count();
        for (int32_t i = 0; i < Conditions.Count(); ++i) {
            TORQScanSearchCondition& c = Conditions.Items(i);
            if (!IsKeyCondition(c) || c.IndexID != id) continue;
            bool absorbed = false;
            for (int32_t k = first; k < result.Count(); ++k) {
                TORQScanSearchCondition& m = result.Items(k);
                if (!ConditionsMayMerge(m, c)) continue;
                const TORQMergeResult r = MergeConditionPair(index, m, c);
                if (r == TORQMergeResult::Empty) return false;
                if (r == TORQMergeResult::Merged && !absorbed && !c.Nodes.empty() && !c.PartialCompare &&
                    !m.PartialCompare && m.Operator == c.Operator && m.FieldCount == c.FieldCount &&
                    index.CompareRecordKeys(m.Key, c.Key, c.FieldCount) == 0) {
                    // The merge came to exactly c's condition (a filter that restates the
                    // cursor's range): c's expression nodes are met wherever a scan on m
                    // goes and leave the record check with it, as they would with c. Only
                    // an exact match may take them, as a condition with nodes counts as
                    // checked by its expression; and only one, as a node listed twice
                    // would be put back twice.
                    m.Expressions.insert(m.Expressions.end(), c.Expressions.begin(), c.Expressions.end());
                    m.Nodes.insert(m.Nodes.end(), c.Nodes.begin(), c.Nodes.end());
                }
                if (r == TORQMergeResult::Merged) absorbed = true;
            }
            if (absorbed)
                c.Merged = 1;
            else
                result.AddCondition(c);
        }
        // Repeats of one condition.
        int32_t k = first;
        while (result.Count() - first > 1 && k < result.Count()) {
            const TORQScanSearchCondition& a = result.Items(k);
            bool repeated = false;
            for (int32_t o = first; o < result.Count() && !repeated; ++o) {
                const TORQScanSearchCondition& b = result.Items(o);
                repeated = o != k && a.Operator != scoNone && b.Operator == a.Operator &&
                           b.FieldCount == a.FieldCount &&
                           index.CompareRecordKeys(a.Key, b.Key, a.FieldCount) == 0;
            }
            if (repeated)
                result.Delete(k);
            else
                ++k;
        }
    }
    for (int32_t i = 0; i < Conditions.Count(); ++i)
        if (!IsKeyCondition(Conditions.Items(i))) result.AddCondition(Conditions.Items(i));
    Conditions.Clear();
    for (int32_t i = 0; i < result.Count(); ++i) Conditions.AddCondition(result.Items(i));
    return true;
}

void TORQTableScan::ChooseScanConditions(TORQScanSearchConditionArray& Conditions, bool Forward, int32_t& Main,
                                         int32_t& Paired) {
    ChooseScanPair(Conditions, Main, Paired);
    OrderScanEnds(Conditions, Forward, Main, Paired);
}

void TORQTableScan::OrderScanEnds(TORQScanSearchConditionArray& Conditions, bool Forward, int32_t& Main,
                                  int32_t& Paired) {
    if (Main < 0 || Paired < 0) return;
    TORQIndex* index =
        FTable.IndexManager != nullptr ? FTable.IndexManager->FindOpenIndex(Conditions.Items(Main).IndexID) : nullptr;
    if (index == nullptr) RaiseNative(20273, "Pointer is nil");
    const int32_t c = index->CompareConditions(Conditions.Items(Main), Conditions.Items(Paired));
    // Moving forward the scan starts at the lower end, backward at the higher.
    if (Forward ? c > 0 : c < 0) std::swap(Main, Paired);
}

void TORQTableScan::ChooseScanPair(TORQScanSearchConditionArray& Conditions, int32_t& Main, int32_t& Paired) {
    Main = -1;
    Paired = -1;
    int32_t keys = 0, onlyKey = -1;
    for (int32_t i = 0; i < Conditions.Count(); ++i) {
        const TORQScanSearchCondition& c = Conditions.Items(i);
        if (!IsKeyCondition(c)) continue;
        ++keys;
        onlyKey = i;
        if (c.Operator != scoEqual || Main != -1) continue;
        const TORQIndexDef* d = IndexDefOf(c.IndexID);
        if (d == nullptr || d->GetColumnCount() != 1) continue;
        bool unique = d->Unique != 0 || d->Primary != 0;
        if (!unique) {
            const TORQFieldDef* f = FTable.FieldManager->FieldDefs.FindByName(d->GetColumn(0).FieldName);
            unique = f != nullptr && IsAutoincAdvancedType(f->FieldType);
        }
        if (unique) Main = i;
    }
    if (Main != -1) return;
    if (keys == 1 && FCursor->HasIndex() && Conditions.Items(onlyKey).IndexID == FCursor->IndexID) {
        Main = onlyKey;
        return;
    }
    const double records = static_cast<double>(FTable.GetPhysicalRecordCount(FCursor));
    double best = records;
    for (int32_t i = 0; i < Conditions.Count(); ++i) {
        const TORQScanSearchCondition& c = Conditions.Items(i);
        if (!IsKeyCondition(c)) continue;
        int32_t j = i;
        if (i + 1 < Conditions.Count() && IsKeyCondition(Conditions.Items(i + 1)) &&
            Conditions.Items(i + 1).IndexID == c.IndexID)
            j = i + 1;
        const double cost = IndexCost(Conditions, i, j);
        if (cost < best) {
            best = cost;
            Main = i;
            Paired = j != i ? j : -1;
        }
        i = j;
    }
    if (Main == -1) return;
    if (FTable.PageManager != nullptr && FTable.PageManager->DataSize != 0 && FullScanCost() < best) {
        Main = -1;
        Paired = -1;
    }
}

double TORQTableScan::IndexCost(TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J) {
    const TORQScanSearchCondition& a = Conditions.Items(I);
    const TORQScanSearchCondition& b = Conditions.Items(J);
    TORQIndex& index = FTable.OpenIndex(a.IndexID);
    const double n =
        static_cast<double>(index.EstimateRangeCount(FSession, &a, &b, FTable.GetPhysicalRecordCount(FCursor)));
    const double page = FTable.PageManager != nullptr && FTable.PageManager->DataSize != 0
                            ? static_cast<double>(FTable.PageManager->DataSize)
                            : 1.0;
    double entry = 0;
    if (auto* tree = dynamic_cast<TORQBTreeRecordIndex*>(&index))
        entry = static_cast<double>(tree->KeyRef().KeySize) + 4.0;  // the key and its page link
    else if (index.MaxEntriesPerPage() > 0)
        entry = page / static_cast<double>(index.MaxEntriesPerPage());
    const double recordSize = static_cast<double>(FTable.RecordManager->RecordSize);
    const bool otherIndex = FCursor->HasIndex() && FCursor->IndexID != a.IndexID;
    double cost = n * entry / page;
    if (NeedsRecordCheck(Conditions, I, J) || otherIndex) cost += n * recordSize / page;
    if (otherIndex) cost += n * entry / page;
    return cost;
}

double TORQTableScan::FullScanCost() {
    const double before = static_cast<double>(FTable.RecordManager->EstimateRecordsBefore(FSession, FCursor->CurrentRecordID));
    const double r = static_cast<double>(FTable.GetPhysicalRecordCount(FCursor)) - before;
    if (FCursor->HasIndex()) return r;
    return r * static_cast<double>(FTable.RecordManager->RecordSize) / static_cast<double>(FTable.PageManager->DataSize);
}

bool TORQTableScan::NeedsRecordCheck(const TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J) const {
    if (FCursor->OnFilterRecord) return true;
    for (int32_t k = 0; k < Conditions.Count(); ++k) {
        if (k == I || k == J) continue;
        const TORQScanSearchCondition& c = Conditions.Items(k);
        if (IsDerivedCondition(c)) continue;
        if (!IsKeyCondition(c) && c.Expression->IsEmptyCondition()) continue;
        return true;
    }
    return false;
}

bool TORQTableScan::RecordMatches(TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J,
                                  const TORQRecordID& RecordID, const uint8_t* Record) {
    for (int32_t k = 0; k < Conditions.Count(); ++k) {
        if (k == I || k == J) continue;
        TORQScanSearchCondition& c = Conditions.Items(k);
        if (IsKeyCondition(c)) {
            if (!KeyConditionHolds(FTable.OpenIndex(c.IndexID), c, Record)) return false;
        } else if (!c.Expression->IsEmptyCondition() && !c.Expression->GetBooleanValue()) {
            return false;
        }
    }
    if (!FCursor->OnFilterRecord) return true;
    uint8_t* buffer = FCursor->AllocRecordBuffer();
    bool accepted = false;
    try {
        const int32_t size = FTable.RecordManager->RecordSize;
        std::memcpy(buffer, Record, static_cast<size_t>(size));
        RecordID.ToBytes(buffer + size);
        accepted = FCursor->OnFilterRecord(buffer);
    } catch (...) {
        FTable.FreeRecordBlobs(buffer);
        FCursor->FreeRecordBuffer(buffer);
        throw;
    }
    FTable.FreeRecordBlobs(buffer);
    FCursor->FreeRecordBuffer(buffer);
    return accepted;
}

bool TORQTableScan::ScanWithConditions(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired,
                                       bool FillBitmap, TORQRecordBitmap* Bitmap, TORQRecordID* RecordID,
                                       bool Forward, bool FromStart, TORQScanPlan* Plan) {
    if (Main >= Conditions.Count())
        RaiseNativeFmt(10382, "Invalid condition number = %d, count = %d", {Main, Conditions.Count()});
    TScanBuffer buffer(FCursor);
    struct TRebind {
        TORQScanSearchConditionArray& Conditions;
        TORQCursor* Cursor;
        // The expressions read the cursor's record again once the scan buffer is gone.
        ~TRebind() {
            for (int32_t i = 0; i < Conditions.Count(); ++i)
                if (TORQBaseExpression* e = Conditions.Items(i).Expression) e->SetRecordBuffer(Cursor->CurrentRecord, 0);
        }
    } rebind{Conditions, FCursor};
    for (int32_t i = 0; i < Conditions.Count(); ++i)
        if (TORQBaseExpression* e = Conditions.Items(i).Expression) e->SetRecordBuffer(buffer.Get(), 0);
    if (Main < 0) return ScanPhysical(Conditions, FillBitmap, Bitmap, RecordID, Forward, FromStart, buffer.Get());
    if (!FCursor->HasIndex())
        return ScanUnordered(Conditions, Main, Paired, FillBitmap, Bitmap, RecordID, Forward, FromStart, buffer.Get());
    if (Conditions.Items(Main).IndexID == FCursor->IndexID)
        return ScanCursorIndex(Conditions, Main, Paired, FillBitmap, Bitmap, RecordID, Forward, FromStart,
                               buffer.Get(), Plan);
    return ScanOtherIndex(Conditions, Main, Paired, FillBitmap, Bitmap, RecordID, Forward, FromStart, buffer.Get());
}

bool TORQTableScan::ScanPhysical(TORQScanSearchConditionArray& Conditions, bool FillBitmap, TORQRecordBitmap* Bitmap,
                                 TORQRecordID* RecordID, bool Forward, bool FromStart, uint8_t* Buffer) {
    // Every record passes: all bits at once, but only while every number below the
    // bitmap's size is a record (a table with freed slots has holes there).
    if (Bitmap != nullptr && FillBitmap && Conditions.Count() == 0 && !FCursor->OnFilterRecord &&
        !FCursor->HasIndex() && Bitmap->Size() == FTable.GetPhysicalRecordCount(FCursor)) {
        Bitmap->SetAll();
        return false;
    }
    // The cursor's own place in its index: a step from the record it stands on goes on
    // from the kept key path, and the record found leaves its path there.
    TORQIndexPositionCache& cache = FCursor->IndexPositionCache;
    TORQGetRecordRequest request;
    request.Mode = Forward ? gmNext : gmPrior;
    request.IndexID = FCursor->IndexID;
    request.RecordID = FCursor->CurrentRecordID;
    request.RecordBuffer = Buffer;
    request.AtBeginning = Forward && FromStart ? 1 : 0;
    request.AtEnd = !Forward && FromStart ? 1 : 0;
    for (;;) {
        request.Result = grError;
        FTable.ReadRecord(FSession, request, FTable.RecordManager->ChangeStamp, &cache);
        if (request.Result != grOK) return false;
        CountCandidate();
        request.RecordID.ToBytes(Buffer + FTable.RecordManager->RecordSize);
        if (!RecordMatches(Conditions, -1, -1, request.RecordID, Buffer)) continue;
        if (Bitmap != nullptr) {
            if (Bitmap->IndexOrder == 0)
                Bitmap->SetBits(request.RecordID);
            else if (FillBitmap)
                Bitmap->SetBitAtPath(FCursor->IndexID, cache.KeyPath);
        }
        if (FillBitmap) continue;
        if (RecordID != nullptr) *RecordID = request.RecordID;
        return true;
    }
}

bool TORQTableScan::ScanCursorIndex(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired,
                                    bool FillBitmap, TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward,
                                    bool FromStart, uint8_t* Buffer, TORQScanPlan* Plan) {
    const TORQScanSearchCondition& main = Conditions.Items(Main);
    const TORQScanSearchCondition* paired = Paired >= 0 ? &Conditions.Items(Paired) : nullptr;
    TORQIndex& index = FTable.OpenIndex(main.IndexID);
    std::unique_ptr<TORQIndexScanPosition>* kept = Plan != nullptr ? &Plan->Scans[Forward ? 1 : 0] : nullptr;
    // This direction's scan knows its end already and the cursor's kept path names its
    // record as the table stands: the step goes on from there.
    const bool resume = !FromStart && kept != nullptr && *kept && (*kept)->Started != 0 && HoldsCursorPosition(index);
    TORQRecordID id = FCursor->CurrentRecordID;
    if (!FromStart && !resume && !ReadByID(id, Buffer)) return false;
    std::unique_ptr<TORQIndexScanPosition> fresh;
    TORQIndexScanPosition* position = nullptr;
    if (resume) {
        position = kept->get();
        position->CurrentPath.Assign(FCursor->IndexPositionCache.KeyPath);
    } else {
        fresh.reset(index.CreateScanPosition());
        if (fresh == nullptr) RaiseNative(20273, "Pointer is nil");
        position = fresh.get();
    }
    const bool check = NeedsRecordCheck(Conditions, Main, Paired);
    bool restart = FromStart;
    bool found = false;
    while (index.ScanNext(FSession, restart, *position, id, Buffer, paired, &main, Forward)) {
        restart = false;
        CountCandidate();
        if (check && (!ReadByID(id, Buffer) || !RecordMatches(Conditions, Main, Paired, id, Buffer))) continue;
        // A bitmap is read only once complete: a step marks nothing in one numbered by key
        // position, which would grow to the position's number at every record.
        if (Bitmap != nullptr) {
            if (Bitmap->IndexOrder == 0)
                Bitmap->SetBits(id);
            else if (FillBitmap)
                Bitmap->SetBitAtPath(main.IndexID, position->CurrentPath);
        }
        if (FillBitmap) continue;
        found = true;
        break;
    }
    if (found) {
        KeepPosition(index, id, position->CurrentPath);
        if (RecordID != nullptr) *RecordID = id;
    }
    // A started scan has found its far end: the next step this way starts from it.
    if (kept != nullptr && fresh != nullptr && fresh->Started != 0) *kept = std::move(fresh);
    return found;
}

bool TORQTableScan::ScanUnordered(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired,
                                  bool FillBitmap, TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward,
                                  bool FromStart, uint8_t* Buffer) {
    const TORQScanSearchCondition& main = Conditions.Items(Main);
    const TORQScanSearchCondition* paired = Paired >= 0 ? &Conditions.Items(Paired) : nullptr;
    TORQIndex& index = FTable.OpenIndex(main.IndexID);
    const TORQIndexDef* def = IndexDefOf(main.IndexID);
    const bool uniqueEqual =
        main.Operator == scoEqual && !main.PartialCompare && def != nullptr && def->GetColumnCount() == 1;
    if (Bitmap != nullptr && FromStart) RestartBitmap(*Bitmap, false);
    const bool check = NeedsRecordCheck(Conditions, Main, Paired);
    TORQBaseRecordManager& records = *FTable.RecordManager;
    const TORQRecordID current = FCursor->CurrentRecordID;
    TScanPosition position(index);
    TORQRecordID id, best;
    bool have = false, stopped = false;
    bool restart = true;
    while (index.ScanNext(FSession, restart, position.Get(), id, Buffer, paired, &main, Forward)) {
        restart = false;
        CountCandidate();
        if (check && (!ReadByID(id, Buffer) || !RecordMatches(Conditions, Main, Paired, id, Buffer))) continue;
        if (Bitmap != nullptr) Bitmap->SetBits(id);
        if (FillBitmap) continue;
        const bool eligible = FromStart || (Forward ? records.CompareRecordIds(id, current) > 0
                                                    : records.CompareRecordIds(id, current) < 0);
        if (eligible &&
            (!have || (Forward ? records.CompareRecordIds(id, best) < 0 : records.CompareRecordIds(id, best) > 0))) {
            best = id;
            have = true;
        }
        if (have && uniqueEqual && (Forward || FromStart)) {
            stopped = true;
            break;
        }
    }
    if (Bitmap != nullptr && !FillBitmap && FromStart && !uniqueEqual && !stopped) Bitmap->Complete = 1;
    if (have && RecordID != nullptr) *RecordID = best;
    return have;
}

void TORQTableScan::LocateCurrent(TORQIndex& Index, TORQKeyPath& Path, uint8_t* Buffer) {
    const TORQRecordID id = FCursor->CurrentRecordID;
    const int32_t indexID = Index.IndexDef != nullptr ? Index.IndexDef->ObjectID : -1;
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = id;
    request.RecordBuffer = Buffer;
    request.Result = grError;
    FTable.RecordManager->ReadRecord(FSession, request);
    if (request.Result != grOK) RaisePosition(10387, indexID, id);
    if (!(request.RecordID == id)) RaisePosition(10415, indexID, id);
    if (!Index.FindRecordPath(FSession, id, Path, Buffer)) RaisePosition(10386, indexID, id);
    TORQRecordID at;
    Index.GetRecordIdAtPath(FSession, Path, at);
    if (!(at == id)) RaisePosition(10414, indexID, id);
}

bool TORQTableScan::ScanOtherIndex(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired,
                                   bool FillBitmap, TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward,
                                   bool FromStart, uint8_t* Buffer) {
    const TORQScanSearchCondition& main = Conditions.Items(Main);
    const TORQScanSearchCondition* paired = Paired >= 0 ? &Conditions.Items(Paired) : nullptr;
    TORQIndex& index = FTable.OpenIndex(main.IndexID);
    TORQIndex& order = FTable.OpenIndex(FCursor->IndexID);
    TORQKeyPath current, best, path;
    if (!FromStart && !HeldPathOfCurrent(order, current)) LocateCurrent(order, current, Buffer);
    if (Bitmap != nullptr && FromStart) RestartBitmap(*Bitmap, true);
    const bool check = NeedsRecordCheck(Conditions, Main, Paired);
    TScanPosition position(index);
    TORQRecordID id, bestID;
    bool have = false;
    bool restart = true;
    while (index.ScanNext(FSession, restart, position.Get(), id, Buffer, paired, &main, Forward)) {
        restart = false;
        CountCandidate();
        // The record is needed for its path in the cursor's index either way.
        if (!ReadByID(id, Buffer)) continue;
        if (check && !RecordMatches(Conditions, Main, Paired, id, Buffer)) continue;
        if (!order.FindRecordPath(FSession, id, path, Buffer)) RaisePosition(10432, FCursor->IndexID, id);
        if (Bitmap != nullptr) Bitmap->SetBitAtPath(FCursor->IndexID, path);
        if (FillBitmap) continue;
        const bool eligible = FromStart || (Forward ? order.ComparePositions(path, current) > 0
                                                    : order.ComparePositions(path, current) < 0);
        if (eligible &&
            (!have || (Forward ? order.ComparePositions(path, best) < 0 : order.ComparePositions(path, best) > 0))) {
            best.Assign(path);
            bestID = id;
            have = true;
        }
    }
    if (Bitmap != nullptr && !FillBitmap && FromStart) Bitmap->Complete = 1;
    if (have && !FillBitmap) KeepPosition(order, bestID, best);
    if (have && RecordID != nullptr) *RecordID = bestID;
    return have;
}

bool TORQTableScan::SeekInRecordBitmap(bool FromStart, bool Forward, TORQRecordBitmap& Bitmap,
                                       TORQRecordID& RecordID) {
    if (Bitmap.IndexOrder == 0) return Bitmap.FindNext(FromStart, Forward, RecordID, FCursor->CurrentRecordID);
    TORQIndex& order = FTable.OpenIndex(FCursor->IndexID);
    TORQKeyPath current, found;
    if (!FromStart && !HeldPathOfCurrent(order, current)) {
        TScanBuffer buffer(FCursor);
        LocateCurrent(order, current, buffer.Get());
    }
    if (!Bitmap.FindNextAtPath(FromStart, Forward, FCursor->IndexID, found, current)) return false;
    // The bitmap's path names entries by number only (no pages): it is no path to keep.
    order.GetRecordIdAtPath(FSession, found, RecordID);
    return true;
}

void TORQTableScan::KeepPosition(TORQIndex& Index, const TORQRecordID& RecordID, const TORQKeyPath& Path) {
    if (Index.IndexDef == nullptr) return;
    TORQIndexPositionCache& cache = FCursor->IndexPositionCache;
    cache.IndexID = Index.IndexDef->ObjectID;
    cache.PositionStamp = FTable.RecordManager->ChangeStamp;
    cache.RecordPageNo = RecordID.PageNo;
    cache.RecordSlotNo = RecordID.SlotNo;
    cache.KeyPath.Assign(Path);
}

bool TORQTableScan::HoldsCursorPosition(TORQIndex& Index) const {
    return FCursor->Bof == 0 && FCursor->Eof == 0 &&
           Index.HoldsPosition(&FCursor->IndexPositionCache, FCursor->CurrentRecordID, FTable.RecordManager->ChangeStamp);
}

bool TORQTableScan::HeldPathOfCurrent(TORQIndex& Index, TORQKeyPath& Path) {
    // The entry there must still name the record: an index that lost the key, which the
    // search from the record reports, is not stepped over unseen.
    if (!HoldsCursorPosition(Index) ||
        !Index.PathHoldsRecord(FSession, FCursor->IndexPositionCache.KeyPath, FCursor->CurrentRecordID))
        return false;
    Path.Assign(FCursor->IndexPositionCache.KeyPath);
    return true;
}

// ---------------------------------------------------------------------------------
// The table data's filtered reads

bool TORQTableData::RecordInRange(TORQCursor* Cursor) {
    if (!Cursor->HasRange()) return true;
    TORQIndex& index = OpenIndex(Cursor->IndexID);
    if (Cursor->RangeStartKey != nullptr) {
        const int32_t c = index.CompareRecordKeys(Cursor->CurrentRecord, Cursor->RangeStartKey,
                                                  Cursor->RangeStartFieldCount);
        if (Cursor->RangeStartExclusive != 0 ? c <= 0 : c < 0) return false;
    }
    if (Cursor->RangeEndKey != nullptr) {
        const int32_t c =
            index.CompareRecordKeys(Cursor->CurrentRecord, Cursor->RangeEndKey, Cursor->RangeEndFieldCount);
        if (Cursor->RangeEndExclusive != 0 ? c >= 0 : c > 0) return false;
    }
    return true;
}

bool TORQTableData::RecordAccepted(TORQCursor* Cursor) {
    if (!RecordInRange(Cursor)) return false;
    for (TORQBaseExpression* e : {Cursor->FilterExpression.get(), Cursor->ConditionExpression}) {
        if (e == nullptr) continue;
        e->SetRecordBuffer(Cursor->CurrentRecord, 0);
        if (!e->GetBooleanValue()) return false;
    }
    return !Cursor->OnFilterRecord || Cursor->OnFilterRecord(Cursor->CurrentRecord);
}

uint8_t TORQTableData::GetFilteredRecord(TORQCursor* Cursor, uint8_t Mode) {
    const bool forward = Mode == gmNext;
    // Only the end a move starts from restarts the search: moving on past the far end
    // finds nothing, as an unfiltered read does.
    const bool fromStart = forward ? Cursor->Bof != 0 : Cursor->Eof != 0;
    if (forward ? Cursor->Eof != 0 : Cursor->Bof != 0) return forward ? grEOF : grBOF;
    if (Cursor->RecordBitmap == nullptr) Cursor->CreateRecordBitmap();
    TORQRecordID id;
    bool found = false;
    if (fromStart || !SearchFromGonePlace(Cursor, forward, found, id)) {
        TORQTableScan scan(*this, Cursor);
        found = scan.ScanRecords(nullptr, false, Cursor->RecordBitmap.get(), &id, forward, fromStart, nullptr);
    }
    if (!found) return forward ? grEOF : grBOF;
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = id;
    request.RecordBuffer = Cursor->CurrentRecord;
    request.Result = grError;
    ReadRecord(SessionIDOf(Cursor), request, RecordManager->ChangeStamp, nullptr);
    if (request.Result != grOK) return request.Result;
    Cursor->CurrentRecordID = id;
    Cursor->Bof = 0;
    Cursor->Eof = 0;
    id.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
    return grOK;
}

void TORQTableData::EnsureRecordBitmap(TORQCursor* Cursor) {
    if (Cursor->RecordBitmap == nullptr) Cursor->CreateRecordBitmap();
    TORQRecordBitmap& bitmap = *Cursor->RecordBitmap;
    if (bitmap.Complete != 0 ? bitmap.IsStale() : Cursor->IsFiltered()) FillRecordBitmap(Cursor);
}

void TORQTableData::FillRecordBitmap(TORQCursor* Cursor) {
    if (Cursor->RecordBitmap == nullptr) Cursor->CreateRecordBitmap();
    TORQRecordBitmap& bitmap = *Cursor->RecordBitmap;
    bitmap.Reset();
    bitmap.IndexOrder = Cursor->HasIndex() ? 1 : 0;
    bitmap.SetSize(GetMaxRecordNumber(SessionIDOf(Cursor)));
    TORQTableScan scan(*this, Cursor);
    if (GetPhysicalRecordCount(Cursor) == 0) {
        scan.RestartBitmap(bitmap, Cursor->HasIndex());
        bitmap.Complete = 1;
        return;
    }
    // The scan reads into buffers of its own and starts from the beginning; the
    // cursor's record and position are put back on every path.
    uint8_t* record = Cursor->CurrentRecord;
    uint8_t* position = Cursor->SavePosition();
    struct TRestore {
        TORQCursor* Cursor;
        uint8_t* Record;
        uint8_t*& Position;
        ~TRestore() {
            Cursor->CurrentRecord = Record;
            Cursor->RestorePosition(Position);
            Cursor->FreePosition(Position);
        }
    } restore{Cursor, record, position};
    Cursor->CurrentRecord = nullptr;
    Cursor->Bof = 1;
    Cursor->Eof = 0;
    scan.ScanRecords(nullptr, true, &bitmap, nullptr, true, true, nullptr);
}

void TORQTableData::KeepRecordBitmap(TORQCursor* Cursor, const TORQRecordID& RecordID, bool Deleted,
                                     int32_t OldStamp) {
    if (!Cursor->HasActiveRecordBitmap()) return;
    TORQRecordBitmap& bitmap = *Cursor->RecordBitmap;
    const bool current = bitmap.ChangeStamp == OldStamp;
    if (!Deleted && RecordAccepted(Cursor))
        bitmap.SetBits(RecordID);
    else
        bitmap.ClearBits(RecordID);
    if (current && !Cursor->HasLinkedKey()) bitmap.ChangeStamp = RecordManager->ChangeStamp;
}

int64_t TORQTableData::GetFilteredRecNo(TORQCursor* Cursor) {
    EnsureRecordBitmap(Cursor);
    TORQRecordBitmap& bitmap = *Cursor->RecordBitmap;
    if (!Cursor->HasIndex()) return bitmap.GetRecNo(Cursor->CurrentRecordID);
    TORQIndex& index = OpenIndex(Cursor->IndexID);
    TORQMemoryBlock buffer(RecordManager->RecordSize + TORQRecordID::ByteSize + 1, true);
    TORQGetRecordRequest request;
    request.RecordID = Cursor->CurrentRecordID;
    request.RecordBuffer = static_cast<uint8_t*>(buffer.Data());
    request.Result = grError;
    ReadRecord(SessionIDOf(Cursor), request, RecordManager->ChangeStamp, nullptr);
    if (request.Result != grOK) return -1;
    TORQKeyPath path;
    if (!index.FindRecordPath(SessionIDOf(Cursor), Cursor->CurrentRecordID, path, request.RecordBuffer)) return -1;
    return bitmap.GetRecNoAtPath(Cursor->IndexID, path);
}

void TORQTableData::SetFilteredRecNo(TORQCursor* Cursor, int64_t RecNo) {
    EnsureRecordBitmap(Cursor);
    TORQRecordBitmap& bitmap = *Cursor->RecordBitmap;
    if (!Cursor->HasIndex()) {
        TORQRecordID id;
        if (bitmap.GotoRecNo(RecNo, id)) Cursor->CurrentRecordID = id;
        return;
    }
    TORQKeyPath path;
    if (!bitmap.GotoRecNoAtPath(Cursor->IndexID, path, RecNo)) return;
    TORQRecordID id;
    OpenIndex(Cursor->IndexID).GetRecordIdAtPath(SessionIDOf(Cursor), path, id);
    Cursor->CurrentRecordID = id;
}

bool TORQTableData::FindRecord(TORQCursor* Cursor, TORQBaseExpression* Condition) {
    if (Condition == nullptr) RaiseNative(10272, "Nil pointer occured");
    TORQTableLock lock(*this);
    uint8_t* position = Cursor->SavePosition();
    try {
        TORQRecordID id;
        TORQTableScan scan(*this, Cursor);
        const bool found = scan.ScanRecords(Condition, false, nullptr, &id, true, true, nullptr);
        if (found) {
            Cursor->Bof = 0;
            Cursor->Eof = 0;
            Cursor->CurrentRecordID = id;
            GetRecord(Cursor, gmCurrent);
        } else {
            Cursor->RestorePosition(position);
        }
        Cursor->FreePosition(position);
        return found;
    } catch (...) {
        Cursor->RestorePosition(position);
        Cursor->FreePosition(position);
        throw;
    }
}

bool TORQTableData::FindKey(TORQCursor* Cursor, uint8_t Operator) {
    TORQTableLock lock(*this);
    TORQScanSearchCondition key(true);
    key.Key = Cursor->SearchKey;
    key.KeySize = Cursor->SearchKeySize;
    key.FieldCount = Cursor->SearchKeyFieldCount;
    key.Operator = Operator;
    key.IndexID = Cursor->IndexID;
    uint8_t* position = Cursor->SavePosition();
    try {
        TORQRecordID id;
        TORQTableScan scan(*this, Cursor);
        const bool found = scan.ScanRecords(nullptr, false, nullptr, &id, true, true, &key);
        if (found) {
            Cursor->Bof = 0;
            Cursor->Eof = 0;
            Cursor->CurrentRecordID = id;
        } else {
            Cursor->RestorePosition(position);
        }
        Cursor->FreePosition(position);
        return found;
    } catch (...) {
        Cursor->RestorePosition(position);
        Cursor->FreePosition(position);
        throw;
    }
}

}  // namespace orq
