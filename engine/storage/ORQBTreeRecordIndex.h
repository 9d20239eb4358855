// The B-tree record index: every index of a table is a B+ tree whose keys are built from
// the index columns by a TORQRecordKeyRef and whose leaf values are 6-byte record ids.
// It maintains the keys as records change and serves ordered navigation, key searches
// and record positions.
//
// Rules kept here:
// - The tree's root page number lives in the index definition (own copy and, on
//   creation, the caller's): -1 until the tree exists; an operation on a missing tree
//   raises its own "Invalid page number" code.
// - A temporary index keeps its pages in the index manager's temporary page manager,
//   every other index in the table's.
// - Every page, path and key buffer an operation takes is released before it returns;
//   the key reference's active column count and partial lengths are restored on every
//   exit of the operations that change them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engine/storage/ORQBTreePage.h"
#include "engine/storage/ORQIndexManager.h"
#include "engine/storage/ORQKeyRef.h"

namespace orq {

// A range scan's state between ScanNext calls.
class TORQIndexScanPosition {
public:
    uint8_t Forward = 0;  // set on the first successful step
    uint8_t Started = 0;
    std::unique_ptr<TORQKeyPath> EndPath;  // nil until started, and for a scan without a start condition
    TORQKeyPath CurrentPath;
    // The values of the leaf the scan stands in; a position lives no longer than the state
    // of the tree it was started in.
    TORQIndexPositionCache Leaf;
};

class TORQBTreeRecordIndex : public TORQIndex {
public:
    explicit TORQBTreeRecordIndex(TORQBaseIndexManager* IndexManager) : TORQIndex(IndexManager) {}

    void CreateIndex(TORQCursor* Cursor, TORQIndexDef& Definition) override;
    void DropIndex(int32_t SessionID) override;
    void EmptyIndex(int32_t SessionID) override;
    void OpenIndex(const TORQIndexDef& Definition) override;
    void RebuildIndex(TORQCursor* Cursor) override;
    void GetRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                   TORQIndexPositionCache* PositionCache) override;
    void GetNearestRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                          TORQIndexPositionCache* PositionCache) override;
    TORQKeyPath* CreateKeyPath() override;
    void FreeKeyPath(TORQKeyPath*& KeyPath) override;
    bool FindRecordPath(int32_t SessionID, const TORQRecordID& RecordID, TORQKeyPath& KeyPath,
                        const uint8_t* Record) override;
    int32_t ComparePositions(const TORQKeyPath& A, const TORQKeyPath& B) override;
    int64_t GetRecNo(int32_t SessionID, const TORQRecordID& RecordID, const uint8_t* Record) override;
    void GetRecordIdByRecNo(int32_t SessionID, TORQRecordID& RecordID, int64_t RecNo) override;
    void RemoveDuplicates(int32_t SessionID, TORQRecordBitmap& Bitmap, int32_t ColumnCount) override;
    TORQIndexScanPosition* CreateScanPosition() override;
    void FreeScanPosition(TORQIndexScanPosition*& Position) override;
    bool ScanNext(int32_t SessionID, bool Restart, TORQIndexScanPosition& Position, TORQRecordID& RecordID,
                  uint8_t* Record, const TORQScanSearchCondition* EndCondition,
                  const TORQScanSearchCondition* StartCondition, bool Forward) override;
    int32_t CompareRecordKeys(const uint8_t* Record1, const uint8_t* Record2, int32_t ColumnCount) override;
    int32_t CompareConditions(const TORQScanSearchCondition& A, const TORQScanSearchCondition& B) override;
    int64_t EstimateRangeCount(int32_t SessionID, const TORQScanSearchCondition* A,
                               const TORQScanSearchCondition* B, int64_t RecordCount) override;
    bool IsKeyFree(int32_t SessionID, const uint8_t* Record) override;
    bool CanUpdateKey(int32_t SessionID, const uint8_t* OldRecord, const uint8_t* NewRecord) override;
    void InsertKey(TORQCursor* Cursor) override;
    void DeleteKey(TORQCursor* Cursor) override;
    void UpdateKey(TORQCursor* Cursor, bool RemoveOld) override;
    int32_t MaxEntriesPerPage() override;
    void GetRecordIdAtPath(int32_t SessionID, const TORQKeyPath& KeyPath, TORQRecordID& RecordID) override;
    bool PathHoldsRecord(int32_t SessionID, const TORQKeyPath& KeyPath, const TORQRecordID& RecordID) override;

    // Path navigation over the leaf level.
    bool First(int32_t SessionID, TORQKeyPath& Path);
    bool Last(int32_t SessionID, TORQKeyPath& Path);
    bool Next(int32_t SessionID, TORQKeyPath& Path);
    bool Prior(int32_t SessionID, TORQKeyPath& Path);
    // The record id of the entry recorded at the path's deepest level (20068 for an empty
    // path or an entry outside its page).
    TORQRecordID RecordIdAtPath(int32_t SessionID, const TORQKeyPath& Path);
    // The path of the entry nearest to where record Gone's entry stood (Record holds its
    // last values) in the direction: unlike GetNearestRecord, other entries of an equal
    // key count, in their record-id order. False when there is none that way.
    bool FindNearestPath(int32_t SessionID, const TORQRecordID& Gone, const uint8_t* Record, bool Forward,
                         TORQKeyPath& Path);
    // The same through the leaf's values kept in PositionCache (read into it when they are
    // not those of the path's leaf at ChangeStamp); nil reads the page.
    TORQRecordID RecordIdAtPath(int32_t SessionID, const TORQKeyPath& Path, TORQIndexPositionCache* PositionCache,
                                int32_t ChangeStamp);
    // Root FindKey with the key built from Record, over the first ColumnCount columns.
    bool FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition, const uint8_t* Record,
                 int32_t ColumnCount);

    // Every leaf entry (key, value) in index order, handed to Visit along the leaf chain;
    // each leaf page is held while its entries are handed out, and BetweenPages (when
    // given) runs after each, with no page of the walk taken.
    void ForEachEntry(int32_t SessionID, const std::function<void(const uint8_t* Key, const uint8_t* Value)>& Visit,
                      const std::function<void()>& BetweenPages = {});
    // Fills this index, empty, from the bottom up: Feed hands Sink every entry in ascending
    // (key, value) order; leaves are filled in turn and chained, each inner level above
    // them likewise, and the top level's entries go into the root page, whose number never
    // changes. No key is compared: the order is the caller's promise. No page stays taken
    // between two entries. 31471 when the index holds entries.
    void BulkLoad(int32_t SessionID,
                  const std::function<void(const std::function<void(const uint8_t* Key, const uint8_t* Value)>& Sink)>&
                      Feed);

    int32_t RootPageNo() const { return IndexDef ? IndexDef->RootPage : -1; }
    TORQRecordKeyRef& KeyRef() { return FKeyRef; }
    TORQPageManager& PageManager() const;

private:
    void BuildKeyRef();
    // Inserts the key of every record of the table, read through a table cursor in
    // Cursor's session; 30320 for a unique index over rows with equal keys.
    void Fill(TORQCursor* Cursor);
    TORQBTreePageHolder LoadRoot(int32_t SessionID, int32_t Code);
    // Root FindKey under a scan condition: its columns, its value record, partial lengths
    // by PartialFrom's flag.
    bool FindCondition(int32_t SessionID, bool Forward, TORQKeyPath& Path, const TORQScanSearchCondition& Condition,
                       const TORQScanSearchCondition& PartialFrom);
    void ReadAtPath(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                    TORQIndexPositionCache* PositionCache, const TORQKeyPath& Path);

    TORQRecordKeyRef FKeyRef;
};

}  // namespace orq
