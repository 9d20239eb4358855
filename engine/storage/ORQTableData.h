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
//   code raises 30339.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
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
    virtual void SetConstraintDefs(const TORQConstraintDefs& Defs);
    virtual void GetTableInfo(TORQTableInfo& Info);
    virtual void CommitSessionPages(int32_t SessionID, bool InTransaction);
    virtual void RollbackSessionPages(int32_t SessionID, bool InTransaction);
    virtual void CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                             const TORQConstraintDefs& Constraints);
    virtual void DeleteTable(TORQCursor* Cursor, bool Force);
    virtual void EmptyTable(TORQCursor* Cursor);
    virtual void RenameTable(const std::string& NewName, TORQCursor* Cursor);
    virtual void AddCursor(TORQCursor* Cursor);
    virtual void RemoveCursor(TORQCursor* Cursor);
    virtual void RenameField(const std::string& OldName, const std::string& NewName);
    virtual int32_t AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor);
    virtual void DeleteIndex(int32_t IndexID, TORQCursor* Cursor);
    virtual int64_t GetMaxRecordNumber(int32_t SessionID);
    virtual int64_t RecordIdToNumber(const TORQRecordID& RecordID);
    virtual TORQRecordID NumberToRecordId(int64_t Number);
    virtual void FreeRecordBlobs(uint8_t* Record);
    virtual uint8_t GetRecord(TORQCursor* Cursor, uint8_t Mode);
    virtual bool FindRecord(TORQCursor* Cursor, TORQBaseExpression* Condition);
    virtual bool FindKey(TORQCursor* Cursor, uint8_t Operator);
    virtual void StoreBlobStream(TORQLocalBLOBStream& Stream, int32_t FieldNo, uint8_t* Record);
    virtual void FreeBlob(uint8_t* Record, int32_t FieldNo);
    virtual void FreeBlobFields(uint8_t* Record);
    // Mode 0 write, 1 read, 2 both; nil when the field holds nothing to read.
    virtual std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(uint8_t* Record, uint8_t Mode, int32_t FieldNo,
                                                                  TORQCursor* Cursor);
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
};

}  // namespace orq
