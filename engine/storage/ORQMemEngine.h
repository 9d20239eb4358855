// The in-memory engine: the process-wide "MEMORY" database (TORQMemoryDatabaseData),
// its tables (TORQMemoryTableData) over the slot store of ORQMemRecordManager.h, and its
// page store (ORQMemPageManager.h) for index pages. Everything lives in engine memory
// and only for the life of the process.
//
// BLOBs: a BLOB field of a stored record holds, in its first 4 bytes, a handle into the
// table's BLOB handle table (0 = none; the field's null bit is set then). A handle
// names one engine-memory block: a 12-byte header (block count i32, uncompressed size
// i64, little-endian) and the stored (compressed) bytes, whose count is the block size
// minus 12. Between ReadBlob and WriteBlob the header travels in the 20-byte form
// (block count, uncompressed size, stored byte count).
//
// Rules kept here:
// - A handle is either pending (made by StoreBlobStream or WriteBlob into a record
//   buffer) or stored (held by a stored record). A pending block that is replaced in
//   the same buffer, or left in a cancelled buffer (FreeRecordBlobs), is freed; a
//   stored block is freed only once no stored record holds it: after the update that
//   replaced it succeeded, after the delete, or when the table is emptied. No two
//   stored records share a block: a buffer copied from another record stores a copy.
// - Handles are 32-bit and drawn in turn from 1; a freed handle comes back only after
//   the counter has wrapped past 2^32 - 1 (skipping live ones), so a stale copy of a
//   freed handle in some buffer reads as a nil pointer (the BLOB codes 10112, 10118,
//   10511) instead of reaching another value's block. At most 2^32 - 1 blocks live at
//   once per table.
// - Every data slot runs under the table lock; the object-id counter under the
//   database lock. Dropping a table returns every block it held to the memory manager.
// - Destroying the database or a table never raises; the checks made while dropping
//   every table are DropAllTables', an explicit call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQMemPageManager.h"
#include "engine/storage/ORQMemRecordManager.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

// The handles of a memory table's BLOB blocks.
class TORQBlobHandleTable {
public:
    static constexpr uint32_t NoHandle = 0;

    TORQBlobHandleTable() = default;
    // Frees every block still held.
    ~TORQBlobHandleTable();
    TORQBlobHandleTable(const TORQBlobHandleTable&) = delete;
    TORQBlobHandleTable& operator=(const TORQBlobHandleTable&) = delete;

    // Takes Block (engine memory) as a pending handle.
    uint32_t Add(uint8_t* Block);
    // The block of a live handle, nil otherwise.
    uint8_t* Block(uint32_t Handle) const;
    bool IsStored(uint32_t Handle) const;
    void SetStored(uint32_t Handle, bool Stored);
    // Frees the block and makes the handle reusable; false for a handle that is not live.
    bool Free(uint32_t Handle);
    int32_t LiveCount() const { return static_cast<int32_t>(FEntries.size()); }
    // The next handle Add hands out starts after Handle (tests of the wrap).
    void SetLastHandle(uint32_t Handle) { FLastHandle = Handle; }

private:
    struct TEntry {
        uint8_t* Block = nullptr;
        bool Stored = false;
    };
    std::unordered_map<uint32_t, TEntry> FEntries;
    uint32_t FLastHandle = NoHandle;
};

class TORQMemoryTableData : public TORQTableData {
public:
    static constexpr int32_t BlobHeaderSize = 12;

    TORQMemoryTableData(TORQDatabaseData* DatabaseData, int32_t RecordGrowth = 1000);
    // Empties the table and frees its blocks and page store, raising nothing.
    ~TORQMemoryTableData() override;

    void CreateRecordManager() override;
    void SetFieldDefs(const TORQFieldDefs& Defs) override;
    void SetIndexDefs(const TORQIndexDefs& Defs) override;
    // 30040 for kind 1 or a kind above 4; otherwise as the base.
    void SetConstraintDefs(const TORQConstraintDefs& Defs) override;
    // 10025 without fields, unless in design time.
    void CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                     const TORQConstraintDefs& Constraints) override;
    // The base check, then the object frees itself (unless forced with cursors left).
    void DeleteTable(TORQCursor* Cursor, bool Force) override;
    void EmptyTable(TORQCursor* Cursor) override;
    void AddCursor(TORQCursor* Cursor) override;
    // The base, then the cursor's session commits its pages (session -2 without one).
    int32_t AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) override;
    void DeleteIndex(int32_t IndexID, TORQCursor* Cursor) override;
    int64_t GetMaxRecordNumber(int32_t SessionID) override;
    int64_t RecordIdToNumber(const TORQRecordID& RecordID) override;
    TORQRecordID NumberToRecordId(int64_t Number) override;
    void FreeRecordBlobs(uint8_t* Record) override;
    void StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) override;
    void FreeBlob(uint8_t* Record, int32_t FieldNo) override;
    std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(TORQCursor* Cursor, bool Truncate, uint8_t Mode,
                                                          int32_t FieldNo) override;
    void ReadBlob(TORQCursor* Cursor, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                  const uint8_t* Record) override;
    void WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data, const TORQBlobDataHeader& Header,
                   uint8_t* Record) override;
    void DeleteBlob(uint8_t*& Data) override;
    bool InsertRecord(TORQCursor* Cursor) override;
    bool DeleteRecord(TORQCursor* Cursor) override;
    bool UpdateRecord(TORQCursor* Cursor) override;
    void SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) override;
    int64_t GetPhysicalRecNo(TORQCursor* Cursor) override;
    int64_t GetPhysicalRecordCount(TORQCursor* Cursor) override;
    int64_t GetLastAutoincValue(int32_t FieldNo, TORQCursor* Cursor) override;

    std::string_view ClassName() const override { return "TORQMemoryTableData"; }

    TORQMemoryRecordManager* MemoryRecordManager() const {
        return static_cast<TORQMemoryRecordManager*>(RecordManager.get());
    }
    const TORQBlobHandleTable& BlobHandles() const { return FBlobs; }

    std::unique_ptr<TORQMemoryPageManager> MemoryPageManager;
    int32_t RecordGrowth;
    bool KeepInMemory = true;

private:
    const TORQFieldDef& BlobField(int32_t FieldNo) const;
    uint32_t HandleOf(const uint8_t* Record, const TORQFieldDef& Field) const;
    void SetHandle(uint8_t* Record, int32_t FieldNo, uint32_t Handle);
    // Replaces the buffer's handle in field FieldNo by Handle (NoHandle sets Null),
    // freeing the old one when it was pending.
    void ReplaceHandle(uint8_t* Record, int32_t FieldNo, uint32_t Handle);
    bool HasBlobFields() const;
    // Marks every BLOB handle of a stored record stored (or not).
    void MarkStored(const uint8_t* Record, bool Stored);
    // Gives Record its own copy of every block another stored record holds (OldRecord,
    // the record being replaced, keeps its own).
    void OwnBlobs(uint8_t* Record, const uint8_t* OldRecord);
    // Frees every BLOB block of a stored record whose handle NewRecord does not hold.
    void FreeReplacedBlobs(const uint8_t* OldRecord, const uint8_t* NewRecord);

    TORQBlobHandleTable FBlobs;
};

class TORQMemoryDatabaseData : public TORQDatabaseData {
public:
    TORQMemoryDatabaseData();
    ~TORQMemoryDatabaseData() override;

    void ConnectSession(TORQBaseSession* Session) override;
    TORQTableData* CreateTableData(TORQCursor* Cursor) override;
    int32_t GetNextObjectID() override;
    // The database has no pages of its own: every table's page manager takes the
    // session's pages (the private index pages of a transaction). A rollback keeps them
    // too: a memory page is changed in place, so its old content is gone, and the
    // records, which are not transactional, stay as they are with their keys.
    void Commit(int32_t SessionID, bool Flush) override;
    void Rollback(int32_t SessionID) override;
    std::string_view ClassName() const override { return "TORQMemoryDatabaseData"; }

    // Deletes every table (not forced) until none is left: 20017 for a table that a
    // cursor still has open, 10258 for an empty entry.
    void DropAllTables();

private:
    int32_t FObjectID = 0;
};

// The process-wide in-memory database that StartStorageEngine enters in the database
// list; 20007 while the engine is stopped.
TORQMemoryDatabaseData& MemoryDatabase();

}  // namespace orq
