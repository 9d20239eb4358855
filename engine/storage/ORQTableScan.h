// The record search of a table for one cursor: the filtered reads, record and key
// searches and the fill of the cursor's record bitmap. A search turns the cursor's
// filters, range and distinct key (plus an extra expression or key condition) into scan
// conditions, lets the expressions offer index conditions, merges the key conditions of
// each index, chooses the cheapest way in (an index range or a physical pass) and reads
// the records that pass every condition left.
//
// Rules kept here:
// - A key condition has no Expression. It is derived when it lists expression nodes
//   (Nodes not empty): its node stays in the expression and is evaluated there unless
//   the scan takes the condition as its range and detaches the node for the scan.
//   Range, distinct-key and key-search conditions are not derived.
// - A key condition's key is a memory record holding the values of the index's leading
//   columns; records and keys compare by the index's key comparison over the
//   condition's column count.
// - A merge only ever replaces two conditions of one index by one that holds exactly
//   when both do, or proves that none can hold; conditions it cannot combine stay.
// - Detached nodes are attached again and every buffer and index scan position is
//   released on every path, as is a callback's record buffer.
// - The bitmap is filled only for the cursor's own conditions; a search with an extra
//   condition never touches it.
// - A cursor's own step (no extra condition, no distinct key, no bitmap fill) keeps its
//   plan in the cursor: made again whenever the table data, session, cursor index,
//   filter, condition, callback, range (its bytes as well), the table's change stamp or
//   a used index's definition differ from what it was made under, and whenever keys
//   derived from the expressions would now come out otherwise.
// - A step on the cursor's index goes on from the cursor's kept key path (its index
//   position cache) when that names the current record at the current stamp; a search
//   that lands on a record of the cursor's index leaves its path there.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQIndexManager.h"

namespace orq {

class TORQTableData;

inline bool IsKeyCondition(const TORQScanSearchCondition& C) { return C.Expression == nullptr; }
inline bool IsDerivedCondition(const TORQScanSearchCondition& C) { return C.Expression == nullptr && !C.Nodes.empty(); }

// Whether two key conditions of one index may be merged: an equality and a strict
// inequality only when the equality covers at least as many columns.
bool ConditionsMayMerge(const TORQScanSearchCondition& A, const TORQScanSearchCondition& B);

enum class TORQMergeResult : uint8_t { NoMerge, Empty, Merged };
// Merges S into R (same index). Merged: R now holds the operator, key and column count
// of the condition both reduce to; Empty: no record can satisfy both.
TORQMergeResult MergeConditionPair(TORQIndex& Index, TORQScanSearchCondition& R, const TORQScanSearchCondition& S);

// Whether Record satisfies key condition C.
bool KeyConditionHolds(TORQIndex& Index, const TORQScanSearchCondition& C, const uint8_t* Record);

// What a cursor's steps keep between reads: the conditions as built, merged and chosen,
// what they were chosen under, and per direction (0 backward, 1 forward) the started
// scan of the cursor's index, whose far end is then known.
class TORQScanPlan {
public:
    TORQScanPlan();
    ~TORQScanPlan();
    TORQScanPlan(const TORQScanPlan&) = delete;
    TORQScanPlan& operator=(const TORQScanPlan&) = delete;

    // The state it was made under.
    const TORQTableData* Table = nullptr;
    int32_t SessionID = -2;
    int32_t IndexID = -1;
    int32_t Stamp = 0;
    const void* Filter = nullptr;
    const void* Condition = nullptr;
    bool Callback = false;
    bool HasRangeStart = false, HasRangeEnd = false;
    uint8_t RangeStartExclusive = 0, RangeEndExclusive = 0;
    int32_t RangeStartFieldCount = 0, RangeEndFieldCount = 0;
    std::vector<uint8_t> RangeStart, RangeEnd;
    int32_t DefinitionCount = 0;
    struct TUsedIndex {
        int32_t IndexID, RootPage, RecordStamp;
    };
    std::vector<TUsedIndex> Indexes;
    // The conditions before the merge when some were derived from the expressions (their
    // keys follow the expressions' values), else empty.
    TORQScanSearchConditionArray Derived;
    bool HasDerived = false;

    // The plan: Empty when the merge proved that nothing matches; Main and Paired in no
    // particular order of ends (-1 Main: a physical pass).
    bool Empty = false;
    TORQScanSearchConditionArray Conditions;
    int32_t Main = -1, Paired = -1;
    std::unique_ptr<TORQIndexScanPosition> Scans[2];
};

class TORQTableScan {
public:
    TORQTableScan(TORQTableData& TableData, TORQCursor* Cursor);

    // The search: found answers true and the record's id in RecordID. Bitmap is the
    // cursor's (or nil); FillBitmap examines every record into it.
    bool ScanRecords(TORQBaseExpression* ExtraNode, bool FillBitmap, TORQRecordBitmap* Bitmap, TORQRecordID* RecordID,
                     bool Forward, bool FromStart, const TORQScanSearchCondition* KeyCondition);
    // 20258 for a key condition without an index.
    void BuildScanConditions(TORQScanSearchConditionArray& Conditions, bool Forward, TORQBaseExpression* ExtraNode,
                             const TORQScanSearchCondition* KeyCondition);
    // False when the key conditions prove that no record matches (Conditions untouched).
    bool MergeScanConditions(TORQScanSearchConditionArray& Conditions);
    // Main and Paired are condition numbers, -1 for none (Main -1: physical scan).
    void ChooseScanConditions(TORQScanSearchConditionArray& Conditions, bool Forward, int32_t& Main,
                              int32_t& Paired);
    // Main and Paired of one index ordered for the direction: the scan starts at the lower
    // end moving forward, at the higher moving backward.
    void OrderScanEnds(TORQScanSearchConditionArray& Conditions, bool Forward, int32_t& Main, int32_t& Paired);
    // The estimated pages read through condition I (with J as its other end).
    double IndexCost(TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J);
    double FullScanCost();
    bool NeedsRecordCheck(const TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J) const;
    bool RecordMatches(TORQScanSearchConditionArray& Conditions, int32_t I, int32_t J, const TORQRecordID& RecordID,
                       const uint8_t* Record);
    // 10382 for a main condition beyond the count.
    bool ScanWithConditions(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired, bool FillBitmap,
                            TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart,
                            TORQScanPlan* Plan = nullptr);
    bool SeekInRecordBitmap(bool FromStart, bool Forward, TORQRecordBitmap& Bitmap, TORQRecordID& RecordID);

    // Empties Bitmap keeping its size, in index order or not, as of the table's change.
    void RestartBitmap(TORQRecordBitmap& Bitmap, bool IndexOrder) const;

    // Process-wide count of the candidates (index entries and stored records) the scans
    // have examined: the work a walk does, which tests read to show it stays linear.
    static int64_t CandidatesExamined();

private:
    // The cursor's step under its kept plan (made first when it no longer holds).
    bool StepWithPlan(TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart);
    bool PlanHolds(TORQScanPlan& Plan, bool Forward);
    std::unique_ptr<TORQScanPlan, TORQScanPlanDelete> MakePlan(bool Forward);
    // The index and choice of ends of the cheapest way in, before they are ordered.
    void ChooseScanPair(TORQScanSearchConditionArray& Conditions, int32_t& Main, int32_t& Paired);
    // Notes in the cursor's index position cache that RecordID stands at Path of Index.
    void KeepPosition(TORQIndex& Index, const TORQRecordID& RecordID, const TORQKeyPath& Path);
    bool HoldsCursorPosition(TORQIndex& Index) const;
    // The current record's key path in Index from the cursor's kept position, checked
    // against the entry it names; false when it is not held.
    bool HeldPathOfCurrent(TORQIndex& Index, TORQKeyPath& Path);
    bool ScanPhysical(TORQScanSearchConditionArray& Conditions, bool FillBitmap, TORQRecordBitmap* Bitmap,
                      TORQRecordID* RecordID, bool Forward, bool FromStart, uint8_t* Buffer);
    bool ScanCursorIndex(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired, bool FillBitmap,
                         TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart,
                         uint8_t* Buffer, TORQScanPlan* Plan);
    bool ScanUnordered(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired, bool FillBitmap,
                       TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart,
                       uint8_t* Buffer);
    bool ScanOtherIndex(TORQScanSearchConditionArray& Conditions, int32_t Main, int32_t Paired, bool FillBitmap,
                        TORQRecordBitmap* Bitmap, TORQRecordID* RecordID, bool Forward, bool FromStart,
                        uint8_t* Buffer);
    // Reads record RecordID into Buffer; false when there is none.
    bool ReadByID(const TORQRecordID& RecordID, uint8_t* Buffer);
    // The current record's key path in Index (10387, 10415, 10386, 10414).
    void LocateCurrent(TORQIndex& Index, TORQKeyPath& Path, uint8_t* Buffer);
    const TORQIndexDef* IndexDefOf(int32_t IndexID) const;

    TORQTableData& FTable;
    TORQCursor* FCursor;
    int32_t FSession;
};

}  // namespace orq
