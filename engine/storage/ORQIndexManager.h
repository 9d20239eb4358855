// A table's index manager (the definition side: the index definitions, which page
// manager an index lives in, and the index objects opened so far) and the abstract
// index that the B-tree record index implements.
//
// Rules kept here:
// - The manager owns its definitions and every index object on its open list; an index
//   object owns its own copy of its definition.
// - Temporary indexes live in the temporary page manager given at creation, every
//   other index in the table's page manager.
// - Column names are matched without regard to case, so a renamed field is renamed in
//   every index that uses it.
// - Every definition has a built tree: a build that fails deletes its definition, and
//   key maintenance reaches every definition, opening its index on demand.
// - A definition's change stamp follows the record manager's while its index is kept in
//   step; a temporary index whose stamp differs is stale and rebuilt on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQRecordManager.h"

namespace orq {

class TORQBaseIndexManager;
class TORQCursor;
class TORQPageManager;
class TORQRecordBitmap;
class TORQStream;
class TORQTableData;
// An index's own state between ScanNext calls.
class TORQIndexScanPosition;

class TORQIndex {
public:
    explicit TORQIndex(TORQBaseIndexManager* IndexManager) : IndexManager(IndexManager) {}
    virtual ~TORQIndex();
    TORQIndex(const TORQIndex&) = delete;
    TORQIndex& operator=(const TORQIndex&) = delete;

    // Base: keeps its own copy of Definition (nothing when it is that copy already);
    // an implementation then builds the index over the table's records.
    virtual void CreateIndex(TORQCursor* Cursor, TORQIndexDef& Definition);
    virtual void DropIndex(int32_t SessionID) = 0;
    virtual void EmptyIndex(int32_t SessionID) = 0;
    // Base: replaces the own copy by a new copy of Definition.
    virtual void OpenIndex(const TORQIndexDef& Definition);
    virtual void RebuildIndex(TORQCursor* Cursor) = 0;
    // The cursor's kept position stands on RecordID in this index and nothing in the table
    // changed since it was taken: the step can go on from its key path.
    bool HoldsPosition(const TORQIndexPositionCache* Cache, const TORQRecordID& RecordID, int32_t ChangeStamp) const;
    // Whether the leaf entry KeyPath ends at holds RecordID (base: false, nothing known).
    virtual bool PathHoldsRecord(int32_t SessionID, const TORQKeyPath& KeyPath, const TORQRecordID& RecordID);
    virtual void GetRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                           TORQIndexPositionCache* PositionCache) = 0;
    virtual void GetNearestRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                                  TORQIndexPositionCache* PositionCache) = 0;
    virtual TORQKeyPath* CreateKeyPath() = 0;
    virtual void FreeKeyPath(TORQKeyPath*& KeyPath) = 0;
    virtual bool FindRecordPath(int32_t SessionID, const TORQRecordID& RecordID, TORQKeyPath& KeyPath,
                                const uint8_t* Record) = 0;
    virtual int32_t ComparePositions(const TORQKeyPath& A, const TORQKeyPath& B) = 0;
    virtual int64_t GetRecNo(int32_t SessionID, const TORQRecordID& RecordID, const uint8_t* Record) = 0;
    virtual void GetRecordIdByRecNo(int32_t SessionID, TORQRecordID& RecordID, int64_t RecNo) = 0;
    virtual void RemoveDuplicates(int32_t SessionID, TORQRecordBitmap& Bitmap, int32_t ColumnCount) = 0;
    virtual TORQIndexScanPosition* CreateScanPosition() = 0;
    virtual void FreeScanPosition(TORQIndexScanPosition*& Position) = 0;
    virtual bool ScanNext(int32_t SessionID, bool Restart, TORQIndexScanPosition& Position, TORQRecordID& RecordID,
                          uint8_t* Record, const TORQScanSearchCondition* EndCondition,
                          const TORQScanSearchCondition* StartCondition, bool Forward) = 0;
    virtual int32_t CompareRecordKeys(const uint8_t* RecordOrKey, const uint8_t* Key, int32_t ColumnCount) = 0;
    virtual int32_t CompareConditions(const TORQScanSearchCondition& A, const TORQScanSearchCondition& B) = 0;
    virtual int64_t EstimateRangeCount(int32_t SessionID, const TORQScanSearchCondition* A,
                                       const TORQScanSearchCondition* B, int64_t RecordCount) = 0;
    virtual bool IsKeyFree(int32_t SessionID, const uint8_t* Record) = 0;
    virtual bool CanUpdateKey(int32_t SessionID, const uint8_t* OldRecord, const uint8_t* NewRecord) = 0;
    virtual void InsertKey(TORQCursor* Cursor) = 0;
    virtual void DeleteKey(TORQCursor* Cursor) = 0;
    virtual void UpdateKey(TORQCursor* Cursor, bool RemoveOld) = 0;
    virtual int32_t MaxEntriesPerPage() = 0;
    virtual void GetRecordIdAtPath(int32_t SessionID, const TORQKeyPath& KeyPath, TORQRecordID& RecordID) = 0;

    std::unique_ptr<TORQIndexDef> IndexDef;
    TORQBaseIndexManager* IndexManager;
};

class TORQBaseIndexManager {
public:
    TORQBaseIndexManager(TORQTableData* TableData, TORQPageManager* TemporaryPageManager);
    // Closes every open index.
    virtual ~TORQBaseIndexManager();
    TORQBaseIndexManager(const TORQBaseIndexManager&) = delete;
    TORQBaseIndexManager& operator=(const TORQBaseIndexManager&) = delete;

    virtual void LoadFromStream(TORQStream& Stream);
    virtual void SaveToStream(TORQStream& Stream) const;
    virtual void AssignDefs(const TORQIndexDefs& Defs);

    TORQPageManager* GetIndexPageManager(const TORQIndexDef& Index) const;
    bool HasIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Descending,
                           const std::vector<std::string>& CaseInsensitive, const TORQFieldDefs& FieldDefs,
                           int32_t SessionID) const;
    // The ObjectID of an index that serves the lists, -1 when none.
    int32_t FindIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Descending,
                               const std::vector<std::string>& CaseInsensitive, const TORQFieldDefs& FieldDefs,
                               int32_t SessionID) const;
    void RenameColumn(const std::string& OldName, const std::string& NewName);

    // A temporary index ("TEMPORARY_INDEX_" and a GUID) over the columns of the three
    // lists (per column "DESC", "NO_CASE"), owned by the cursor's session; its id.
    int32_t CreateTemporaryIndex(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                 const std::vector<std::string>& Descending,
                                 const std::vector<std::string>& CaseInsensitive);
    // An index serving the lists for the cursor's session, made temporary when none does.
    int32_t FindOrCreateTemporaryIndex(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                       const std::vector<std::string>& Descending,
                                       const std::vector<std::string>& CaseInsensitive, bool& Created);
    // Definition takes the database's next object id; a copy is stored and built. The id.
    int32_t AddIndex(TORQCursor* Cursor, TORQIndexDef& Definition);
    // Builds the stored definition of Definition's id over the table's records (filled
    // through Cursor; none: an empty tree for session -2) and stores its root page. A
    // failed build deletes the stored definition and raises again.
    void BuildIndex(TORQCursor* Cursor, TORQIndexDef& Definition);
    void BuildAllIndexes(TORQCursor* Cursor);
    // The open index of that id, opened on demand (20018 without a definition).
    TORQIndex& GetIndex(int32_t IndexID);
    TORQIndex& OpenIndex(int32_t IndexID);
    // The index's pages freed, the index closed, its definition deleted.
    void DropIndex(int32_t SessionID, int32_t IndexID);
    // Every key removed (an empty root kept), the index closed.
    void EmptyIndex(int32_t SessionID, int32_t IndexID);
    void EmptyAllIndexes(int32_t SessionID);
    // Next or prior in index order from Request's record; a record that no longer
    // exists moves from the values still in Request's buffer.
    void NavigateByIndex(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                         TORQIndexPositionCache* PositionCache);
    // The keys of the cursor's record (CurrentRecord, CurrentRecordID) into every index.
    void InsertRecordKeys(TORQCursor* Cursor);
    // The stored record's keys out of every index; nothing when it is gone. Stored, when
    // given, is that record as the caller has just read it (not read again).
    void DeleteRecordKeys(TORQCursor* Cursor, const uint8_t* Stored = nullptr);
    // With RemoveOld (before the record is rewritten) the stored record is read into the
    // cursor's OldRecord and its keys removed where they change; without it (after)
    // CurrentRecord's keys go in where they changed.
    void UpdateRecordKeys(TORQCursor* Cursor, bool RemoveOld);
    // Rebuilds, for the cursor, each temporary index whose stamp differs from the record
    // manager's; nothing while a rebuild runs. One that fails to rebuild is dropped.
    void RebuildStaleTemporaryIndexes(TORQCursor* Cursor, bool& Rebuilt);

    // The open index of id IndexID, or nil.
    TORQIndex* FindOpenIndex(int32_t IndexID) const;
    // Puts Index (owned from now on) on the open list.
    void AddOpenIndex(std::unique_ptr<TORQIndex> Index);
    // Removes and frees the open index of that id, if any.
    void CloseIndex(int32_t IndexID);
    int32_t OpenIndexCount() const { return static_cast<int32_t>(OpenIndexes.size()); }

    TORQTableData* TableData;  // the owner
    TORQIndexDefs IndexDefs;
    std::vector<std::unique_ptr<TORQIndex>> OpenIndexes;
    TORQPageManager* TablePageManager = nullptr;  // the table's, not owned
    TORQPageManager* TemporaryPageManager;        // not owned
    uint8_t Busy = 0;
};

}  // namespace orq
