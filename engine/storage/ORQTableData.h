// TORQTableData: the storage layer's object for one open table of one database, shared
// by every cursor that has the table open. It owns the table's field, index, constraint
// and record managers and keeps the list of cursors on the table; the engines derive
// from it and fill the abstract slots.
//
// Rules kept here:
// - Every record operation runs between Lock and Unlock, which enter and leave the
//   owning database's (re-entrant) lock; the table's own mutex is the engines'.
// - The cursor list holds cursors, never owns them; a cursor registers on open and
//   removes itself on close.
// - The database owns its table data objects; destroying one takes it off the
//   database's list.
// - The virtual operations keep the order of the abstract table; a slot without base
//   code raises 30339. Every engine takes the same signatures (cursor first where a
//   cursor is involved; BLOB streams are made for and stored into the cursor's
//   CurrentRecord).
// - A filtered cursor (range, filter, callback or distinct key) moves through
//   GetFilteredRecord, the scans' entry (ORQTableScan.h); its current record is read
//   directly and then judged by RecordAccepted. A read writes back the position
//   and the at-beginning and at-end flags, and on success the record id behind the
//   record in the cursor's buffer.
// - Index key maintenance goes to every index definition through the index manager; a
//   table without indexes has none to keep.
// - An index that implies a unique or primary-key constraint comes and goes with it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQConstraintManager.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQFieldManager.h"
#include "engine/storage/ORQIndexManager.h"
#include "engine/storage/ORQRecordManager.h"

namespace orq {

class TORQDatabaseData;
class TORQPageManager;

// What a table reports to the data-access layer when it is opened.
struct TORQTableInfo {
    int32_t RecordBufferSize = 0;
    int32_t FirstFieldOffset = 0;
};

// A BLOB value's header as it travels between ReadBlob and WriteBlob.
struct TORQBlobDataHeader {
    int32_t BlockCount = 0;
    int64_t UncompressedSize = 0;
    int64_t StoredSize = 0;
};

class TORQTableData {
public:
    explicit TORQTableData(TORQDatabaseData* DatabaseData);
    virtual ~TORQTableData();
    TORQTableData(const TORQTableData&) = delete;
    TORQTableData& operator=(const TORQTableData&) = delete;

    // The slots, in order.
    virtual void CreateRecordManager();
    virtual void SetFieldDefs(const TORQFieldDefs& Defs);
    virtual void SetIndexDefs(const TORQIndexDefs& Defs);
    // New object ids; 30058 for kind 1 or a kind above 4; this table's name on each;
    // resolved and named. A refused list leaves the constraints as they were.
    virtual void SetConstraintDefs(const TORQConstraintDefs& Defs);
    virtual void GetTableInfo(TORQTableInfo& Info);
    virtual void CommitSessionPages(int32_t SessionID, bool InTransaction);
    virtual void RollbackSessionPages(int32_t SessionID, bool InTransaction);
    virtual void CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                             const TORQConstraintDefs& Constraints);
    // 20017 while a cursor is registered, unless Force. An engine may free the object
    // here: the caller must not touch it afterwards.
    virtual void DeleteTable(TORQCursor* Cursor, bool Force);
    virtual void EmptyTable(TORQCursor* Cursor);
    // 10150 while a cursor is registered.
    virtual void RenameTable(const std::string& NewName, TORQCursor* Cursor);
    virtual void AddCursor(TORQCursor* Cursor);
    virtual void RemoveCursor(TORQCursor* Cursor);
    // 30343 / 30344; indexes and constraints follow the new name.
    virtual void RenameField(const std::string& OldName, const std::string& NewName);
    virtual int32_t AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor);
    virtual void DeleteIndex(int32_t IndexID, TORQCursor* Cursor);
    virtual int64_t GetMaxRecordNumber(int32_t SessionID);
    virtual int64_t RecordIdToNumber(const TORQRecordID& RecordID);
    virtual TORQRecordID NumberToRecordId(int64_t Number);
    // Releases the BLOB data a record buffer holds that no stored record holds.
    virtual void FreeRecordBlobs(uint8_t* Record);
    // Mode 0 current, 1 next, 2 prior; 0 record read (into CurrentRecord, its id into
    // CurrentRecordID), 1 beginning passed, 2 end passed, 3 not found or rejected.
    virtual uint8_t GetRecord(TORQCursor* Cursor, uint8_t Mode);
    virtual bool FindRecord(TORQCursor* Cursor, TORQBaseExpression* Condition);
    virtual bool FindKey(TORQCursor* Cursor, uint8_t Operator);
    // Stores a stream opened for writing into field FieldNo of the cursor's
    // CurrentRecord; nothing unless the stream was modified.
    virtual void StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream);
    virtual void FreeBlob(uint8_t* Record, int32_t FieldNo);
    virtual void FreeBlobFields(uint8_t* Record);
    // Mode 0 write, 1 read, 2 both; a Truncate stream starts empty. Owned by the caller.
    virtual std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(TORQCursor* Cursor, bool Truncate, uint8_t Mode,
                                                                  int32_t FieldNo);
    // The value of BLOB field FieldNo of the cursor's CurrentRecord, read whole into Bytes,
    // whose room serves the next read again; empty for Null. Through CreateBlobStream
    // unless the engine has a shorter way.
    virtual void ReadBlobValue(TORQCursor* Cursor, int32_t FieldNo, std::string& Bytes);
    virtual void ReadBlob(TORQCursor* Cursor, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                          const uint8_t* Record);
    virtual void WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data, const TORQBlobDataHeader& Header,
                           uint8_t* Record);
    virtual void DeleteBlob(uint8_t*& Data);
    virtual bool InsertRecord(TORQCursor* Cursor);
    virtual bool DeleteRecord(TORQCursor* Cursor);
    virtual bool UpdateRecord(TORQCursor* Cursor);
    virtual void SetRecNo(TORQCursor* Cursor, int64_t RecNo);
    virtual int64_t GetRecNo(TORQCursor* Cursor);
    virtual void SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo);
    virtual int64_t GetPhysicalRecNo(TORQCursor* Cursor);
    virtual int64_t GetPhysicalRecordCount(TORQCursor* Cursor);
    virtual int64_t GetLastAutoincValue(int32_t FieldNo, TORQCursor* Cursor);
    virtual void RollbackSession(int32_t SessionID);

    // The class name used in 30339.
    virtual std::string_view ClassName() const { return "TORQTableData"; }

    // Enter and leave the owning database's lock.
    void Lock();
    void Unlock();
    // Each definition of Defs takes the database's next object id, in order.
    void AssignObjectIDs(TORQMetaObjectDefs& Defs);
    // 10131 without fields; the record buffer size otherwise.
    int32_t CheckFieldsForCreate() const;
    int32_t CursorCount() const { return static_cast<int32_t>(Cursors.size()); }
    bool HasCursor(const TORQCursor* Cursor) const;

    // Reads the record RecordID into the cursor's CurrentRecord and makes it the
    // position (Bof and Eof cleared); false, and nothing changed, when it does not exist.
    bool GotoRecord(TORQCursor* Cursor, const TORQRecordID& RecordID);
    // Unfiltered: the physical count; filtered: the cursor's record bitmap.
    int64_t GetRecordCount(TORQCursor* Cursor);
    // By id or in physical order through the record manager, in index order through
    // the index; 10015 no record manager, 10016 no index manager, 10380 no buffer.
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                    TORQIndexPositionCache* PositionCache);
    // Whether another record holds Record's key in index IndexID (the unique test of a
    // constraint); false without records.
    bool HasDuplicateKey(int32_t SessionID, int32_t IndexID, const TORQRecordID& RecordID, bool IsInsert,
                         const uint8_t* OldRecord, const uint8_t* NewRecord);
    // The id of an index serving the lists (per column "ASC"/"DESC", "CASE"/"NO_CASE"),
    // a temporary one made when none does; IndexName receives its name. The cursor
    // session's pages are committed on success and rolled back on failure (outside a
    // transaction); the cursor's position is kept. 10324 when the id has no definition.
    int32_t CreateTemporaryIndex(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                 std::string& IndexName, const std::vector<std::string>& CaseInsensitive,
                                 const std::vector<std::string>& Descending);
    bool HasIndexForFields(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                           const std::vector<std::string>& CaseInsensitive, const std::vector<std::string>& Descending);
    // Whether the record exists; when it does, KeyPath is its path in the index (20253
    // when the index does not hold it).
    bool LocateRecordInIndex(int32_t SessionID, int32_t IndexID, TORQKeyPath& KeyPath, const TORQRecordID& RecordID);
    void RecordIdAtKeyPath(int32_t SessionID, int32_t IndexID, TORQRecordID& RecordID, const TORQKeyPath& KeyPath);
    // A path's ordinal position in the index and back, with the index's entries per
    // page as the base.
    int64_t KeyPathToPosition(int32_t IndexID, const TORQKeyPath& KeyPath);
    void PositionToKeyPath(int32_t IndexID, TORQKeyPath& KeyPath, int64_t Position);
    // The scans' side (ORQTableScan.cpp). The cursor's record lies inside its range and
    // passes its filter expressions (each bound to the cursor's record) and callback.
    bool RecordAccepted(TORQCursor* Cursor);
    bool RecordInRange(TORQCursor* Cursor);
    // Refills the cursor's record bitmap (made when it has none) when it is complete but
    // stale, or incomplete while the cursor needs filtering.
    void EnsureRecordBitmap(TORQCursor* Cursor);
    void FillRecordBitmap(TORQCursor* Cursor);
    // The cursor's "drop all indexes": the temporary indexes only.
    void DropTemporaryIndexes(TORQCursor* Cursor);
    // The index manager empties and closes every open index.
    void EmptyIndexes(int32_t SessionID);

    std::recursive_mutex Mutex;  // the table's own, for the engines
    TORQPageManager* PageManager = nullptr;  // set by the engine, not owned
    TORQDatabaseData* DatabaseData;          // the owner
    std::string TableName;
    std::unique_ptr<TORQBaseFieldManager> FieldManager;
    std::unique_ptr<TORQBaseConstraintManager> ConstraintManager;
    std::unique_ptr<TORQBaseIndexManager> IndexManager;
    std::unique_ptr<TORQBaseRecordManager> RecordManager;
    std::vector<TORQCursor*> Cursors;
    uint8_t TemporaryStorage = 0;

protected:
    // Every definition, temporary or not (what dropping a table needs).
    void DeleteAllIndexes(TORQCursor* Cursor);
    // The in-process engines' DeleteTable: the base's, then the object freed by its
    // database (kept while a forced delete leaves cursors on it).
    void DeleteAndFree(TORQCursor* Cursor, bool Force);
    friend class TORQTableScan;
    // A filtered cursor's move (range, filters, callback, distinct key) through the
    // scans; nothing found leaves the position as it was.
    virtual uint8_t GetFilteredRecord(TORQCursor* Cursor, uint8_t Mode);
    // Record numbers of a filtered cursor, through its record bitmap.
    int64_t GetFilteredRecNo(TORQCursor* Cursor);
    void SetFilteredRecNo(TORQCursor* Cursor, int64_t RecNo);
    // After a write that succeeded (the record manager's stamp was OldStamp before it):
    // the cursor's bitmap marks the record by the cursor's filter (cleared when Deleted)
    // and, when it was current and the cursor steps no distinct key, stays current.
    void KeepRecordBitmap(TORQCursor* Cursor, const TORQRecordID& RecordID, bool Deleted, int32_t OldStamp);
    // Reads one record for the cursor without the distinct-key step.
    uint8_t GetRecordInternal(TORQCursor* Cursor, uint8_t Mode);
    // Where a cursor goes once its record is deleted: the neighbours are probed before the
    // delete with a scratch buffer (the cursor's buffer and position put back on every
    // path), and the cursor is placed from them after it.
    // Deleting a filtered set one record after the other would walk over every refused
    // record beside it at each delete, forward or back: the deleted record's neighbours
    // are adjacent accepted records once it is gone, so the cursor keeps them (while the
    // table and the cursor's filters stay as they were) and the next delete, on either of
    // them, takes its probe on that side from there. A delete that finds nothing after
    // its record keeps that for the record the cursor next steps back to.
    struct TNeighbours {
        bool NextFound = false;
        bool PriorFound = false;
        TORQRecordID Reached;
        TORQRecordID Next;  // when NextFound
    };
    // Stored, when given, is the record as the caller has just read it.
    TNeighbours ProbeNeighbours(TORQCursor* Cursor, const uint8_t* Stored = nullptr);
    // An unfiltered cursor on an index: the neighbours are the entries beside the
    // record's in the index, stepped to from its path without reading them. False when
    // the cursor is not such a one (nothing done).
    bool ProbeInIndex(TORQCursor* Cursor, const uint8_t* Stored, TNeighbours& Neighbours);
    // Reads record RecordID as stored (no index position kept) into Buffer; the read's result.
    uint8_t ReadStoredRecord(int32_t SessionID, const TORQRecordID& RecordID, uint8_t* Buffer);
    // Stored: the deleted record as read before the delete (nil when not at hand).
    void PlaceAfterDelete(TORQCursor* Cursor, const TNeighbours& Neighbours, const uint8_t* Stored);
    // Whether the cursor's kept neighbours may stand for a probe now: a filtered cursor on
    // a record, under the same stamp, session, order and filters.
    bool KnowsNeighbours(const TORQCursor* Cursor) const;
    static bool MayKeepNeighbour(const TORQCursor* Cursor);
    // A filtered move from the place of the record this cursor's last delete removed:
    // through an index, it starts from the record nearest to that place, found by the
    // values the delete kept; nothing found leaves the cursor where it was. False
    // (nothing done) when the cursor stands elsewhere, on a record, or follows no index;
    // else Found and RecordID answer the move.
    // After a move of the cursor from record or place From.
    void KeepNeighboursOnStep(TORQCursor* Cursor, uint8_t Mode, const TORQRecordID& From, uint8_t Result);
    bool SearchFromGonePlace(TORQCursor* Cursor, bool Forward, bool& Found, TORQRecordID& RecordID);
    // The key maintenance of every index (nothing while a table has none).
    void InsertIndexKeys(TORQCursor* Cursor);
    void DeleteIndexKeys(TORQCursor* Cursor, const uint8_t* Stored = nullptr);
    void UpdateIndexKeys(TORQCursor* Cursor, bool RemoveOld);
    // The index of that id, opened on demand; 10324 when it has no definition.
    TORQIndex& OpenIndex(int32_t IndexID) const;
};

// The cursor's session id, -2 without a session (the engines' "no session").
int32_t SessionIDOf(const TORQCursor* Cursor);
bool InTransaction(const TORQCursor* Cursor);

// Holds the table data's lock for a scope.
class TORQTableLock {
public:
    explicit TORQTableLock(TORQTableData& TableData) : FTableData(TableData) { FTableData.Lock(); }
    ~TORQTableLock() { FTableData.Unlock(); }
    TORQTableLock(const TORQTableLock&) = delete;
    TORQTableLock& operator=(const TORQTableLock&) = delete;

private:
    TORQTableData& FTableData;
};

}  // namespace orq
