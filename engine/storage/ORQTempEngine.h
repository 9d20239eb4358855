// The temporary engine: the process-wide "TEMP" database (TORQTemporaryDatabaseData) of
// query results, sort and join inputs and in-memory datasets, its append-only tables
// (TORQTemporaryTableData), their record store (TORQTemporaryRecordManager) and their
// index page store (TORQTemporaryPageManager). Nothing outlives the process.
//
// Rules kept here:
// - Records are only appended: update and delete answer false and change nothing. A
//   record id is the record's 0-based sequence number as the low 6 bytes of an Int64
//   (PageNo the low 32 bits, SlotNo bits 32-47); record numbers count from 1.
// - Records 0 .. MemoryLimit - 1 live in the memory block, record n above them at byte
//   (n - MemoryLimit) * RecordSize of the spill file; with KeepInMemory everything stays
//   in the block. MemoryLimit is a tenth of the available memory in records, fixed at
//   creation. Every offset and block size is computed in 64 bits.
// - A spilled record waits in the write buffer until the next spilled insert or the
//   next read from the spill file writes it out, so a read always sees every record.
// - Page numbers below MemoryPageLimit (all of them with KeepInMemory) live in an inner
//   memory page store; the numbers beyond are handed out in turn, never reused, and
//   live at number * 4096 of the page spill file.
// - Spill files are unlinked at creation and go with their streams (emptying or
//   destroying the table). They are made through a replaceable factory, so tests can
//   put a stream of their own behind them.
// - BLOB values are appended to the table's BlobStream as a 20-byte header (block count
//   i32, uncompressed size i64, stored byte count i64, little-endian) and the stored
//   bytes; the record's BLOB field holds the header's position as an i64 in its first
//   8 bytes. Replaced values stay where they are.
// - Every insert moves the record manager's change stamp, so bitmaps and temporary
//   indexes see the table change.
// - Destructors never raise; the checks made while dropping every table are
//   DropAllTables', an explicit call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQMemPageManager.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQRecordManager.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

// Makes the stream behind a spill file.
using TORQSpillStreamFactory = std::function<std::unique_ptr<TORQStream>()>;
// A new temporary file, unlinked at once: TORQFileStream(GetTemporaryFileName(), fmCreate, true).
std::unique_ptr<TORQStream> CreateSpillFile();

class TORQTemporaryRecordManager : public TORQBaseRecordManager {
public:
    // 10124 for a record size of 0 (or below). A write buffer of 0 records counts as 1.
    TORQTemporaryRecordManager(int32_t RecordSize, bool KeepInMemory, int32_t RecordGrowth,
                               int32_t WriteBufferRecords,
                               int64_t AvailableMemory = GlobalMemoryManager().GetAvailableMemory());
    ~TORQTemporaryRecordManager() override;

    // Count 0, nothing buffered, memory block and spill file gone.
    void EmptyRecords(int32_t SessionID) override;
    // Appends; false (the table unchanged) when the record could not be placed.
    bool InsertRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) override;
    bool UpdateRecord(int32_t SessionID, const uint8_t* Record, const TORQRecordID& RecordID) override;
    bool DeleteRecord(int32_t SessionID, TORQRecordID& RecordID) override;
    // Result 3 when the record cannot be read.
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) override;
    int32_t CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) override;
    int64_t EstimateRecordsBefore(int32_t SessionID, const TORQRecordID& RecordID) override;

    // The record number plus 1 while below RecordCount, else -1.
    int64_t GetRecordPosition(const TORQRecordID& RecordID) const;
    // Record N into Buffer (RecordSize bytes); every failure is 10127.
    void ReadRecordData(int64_t N, uint8_t* Buffer);
    // Writes the buffered records to the spill file (10126, 10128, 10125).
    void FlushWriteBuffer();

    static int64_t IdToNumber(const TORQRecordID& RecordID);
    static TORQRecordID NumberToId(int64_t Number);
    // Where record N lives in the spill file.
    static int64_t SpillOffset(int64_t N, int32_t MemoryLimit, int32_t RecordSize) {
        return (N - MemoryLimit) * static_cast<int64_t>(RecordSize);
    }
    // (Available div 10) div RecordSize, at most the largest Int32.
    static int32_t ComputeMemoryLimit(int64_t AvailableMemory, int32_t RecordSize);

    int32_t WriteBufferRecords;
    int64_t WriteBufferSize;
    int32_t MemoryRecords = 0;
    uint8_t* MemoryBlock = nullptr;  // engine memory, MemoryCapacity x RecordSize bytes
    int32_t MemoryCapacity = 0;
    uint8_t* WriteBuffer = nullptr;  // engine memory, WriteBufferSize bytes
    int32_t BufferedRecords = 0;
    std::unique_ptr<TORQStream> SpillStream;
    int32_t MemoryLimit;
    int32_t RecordGrowth;
    uint8_t KeepInMemory;
    TORQSpillStreamFactory SpillStreamFactory = CreateSpillFile;

private:
    bool StoreInMemory(const uint8_t* Record);
    void StoreSpilled(const uint8_t* Record);
};

class TORQTemporaryPageManager : public TORQPageManager {
public:
    static constexpr uint16_t TemporaryPageSize = 4096;

    explicit TORQTemporaryPageManager(bool KeepInMemory,
                                      int64_t AvailableMemory = GlobalMemoryManager().GetAvailableMemory());
    ~TORQTemporaryPageManager() override;

    void AllocatePage(TORQPage* Page) override;
    void FreePage(int32_t PageNo) override;
    // 10396 for a page that is not allocated, 30482 for a spilled page without a spill
    // file; false when the spill file gives fewer than 4096 bytes.
    bool ReadPage(TORQPage* Page) override;
    // 10397 for a page that is not allocated; 30981/30982 when the spill file refuses
    // the position or the bytes.
    void WritePage(TORQPage* Page) override;

    // Where page N lives in the spill file.
    static int64_t PageOffset(int32_t PageNo) { return static_cast<int64_t>(PageNo) * TemporaryPageSize; }
    // The size the spill file grows to when it holds fewer than PageNumbers pages.
    static int64_t SpillGrowthSize(int32_t PageNumbers) {
        return static_cast<int64_t>(PageNumbers) * TemporaryPageSize * 3 / 2;
    }
    bool IsInner(int32_t PageNo) const { return KeepInMemory != 0 || PageNo < MemoryPageLimit; }
    bool IsAllocated(int32_t PageNo) const;
    // The base PageCount: pages allocated now.
    int32_t AllocatedCount() const { return PageCount; }

    uint8_t KeepInMemory;
    TORQBitsArray PageBits;
    // Page numbers handed out so far (the next new number).
    int32_t PageNumberCount = 0;
    std::unique_ptr<TORQStream> SpillStream;
    int32_t MemoryPageLimit;
    std::unique_ptr<TORQMemoryPageManager> MemoryPages;
    TORQSpillStreamFactory SpillStreamFactory = CreateSpillFile;

private:
    void MarkAllocated(int32_t PageNo);
};

class TORQTemporaryTableData : public TORQTableData {
public:
    static constexpr int32_t BlobHeaderSize = 20;

    TORQTemporaryTableData(TORQDatabaseData* DatabaseData, int32_t RecordGrowth = 1000,
                           int32_t WriteBufferRecords = 10);
    // Empties the table and frees its stores, raising nothing.
    ~TORQTemporaryTableData() override;

    void CreateRecordManager() override;
    void SetFieldDefs(const TORQFieldDefs& Defs) override;
    void SetIndexDefs(const TORQIndexDefs& Defs) override;
    void SetConstraintDefs(const TORQConstraintDefs& Defs) override;
    // 10132 without fields.
    void CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                     const TORQConstraintDefs& Constraints) override;
    // The base check, then the object frees itself (unless forced with cursors left).
    void DeleteTable(TORQCursor* Cursor, bool Force) override;
    // A fresh BlobStream, the indexes and records emptied, the emptying session's pages
    // (-2 without a cursor) committed.
    void EmptyTable(TORQCursor* Cursor) override;
    void AddCursor(TORQCursor* Cursor) override;
    int32_t AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) override;
    void DeleteIndex(int32_t IndexID, TORQCursor* Cursor) override;
    int64_t GetMaxRecordNumber(int32_t SessionID) override;
    int64_t RecordIdToNumber(const TORQRecordID& RecordID) override;
    TORQRecordID NumberToRecordId(int64_t Number) override;
    // 10144 without BlobStream; 10422 seek, 10145 short write.
    void StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) override;
    // 10140 without BlobStream; 10141 seek, 10142 header read.
    std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(TORQCursor* Cursor, bool Truncate, uint8_t Mode,
                                                          int32_t FieldNo) override;
    // 10509 seek, 10510 read.
    void ReadBlob(TORQCursor* Cursor, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                  const uint8_t* Record) override;
    // 10506 without BlobStream; 10507 seek, 10508 write.
    void WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data, const TORQBlobDataHeader& Header,
                   uint8_t* Record) override;
    void DeleteBlob(uint8_t*& Data) override;
    // 10134 without record manager, 10135 without a record buffer.
    bool InsertRecord(TORQCursor* Cursor) override;
    bool DeleteRecord(TORQCursor* Cursor) override;
    bool UpdateRecord(TORQCursor* Cursor) override;
    void SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) override;
    int64_t GetPhysicalRecNo(TORQCursor* Cursor) override;
    int64_t GetPhysicalRecordCount(TORQCursor* Cursor) override;

    std::string_view ClassName() const override { return "TORQTemporaryTableData"; }

    TORQTemporaryRecordManager* TemporaryRecordManager() const {
        return static_cast<TORQTemporaryRecordManager*>(RecordManager.get());
    }
    bool HasBlobFields() const;

    uint8_t KeepInMemory = 0;
    int32_t RecordGrowth;
    int32_t WriteBufferRecords;
    // Empty while the table has no BLOB field.
    std::unique_ptr<TORQTemporaryStream> BlobStream;
    std::unique_ptr<TORQTemporaryPageManager> TemporaryPageManager;
    // The figure the record and page managers size themselves by; -1 asks the memory
    // manager when each is made.
    int64_t AvailableMemory = -1;

private:
    int64_t CurrentAvailableMemory() const;
    const TORQFieldDef& BlobField(int32_t FieldNo) const;
    // Appends a header and the stored bytes at the end of BlobStream; the header's position.
    int64_t AppendBlob(int32_t BlockCount, int64_t UncompressedSize, int64_t StoredSize,
                       const std::function<void()>& WriteStored, int32_t SeekCode, int32_t WriteCode);
    // Reads the header at Position; the stream is left after it.
    TORQBlobDataHeader ReadBlobHeader(int64_t Position, int32_t SeekCode, int32_t ReadCode);
};

class TORQTemporaryDatabaseData : public TORQDatabaseData {
public:
    TORQTemporaryDatabaseData();
    ~TORQTemporaryDatabaseData() override;

    TORQTableData* CreateTableData(TORQCursor* Cursor) override;
    int32_t GetNextObjectID() override;
    // The database has no pages of its own: every table's page manager commits the
    // session's pages (the index pages of a transaction).
    void Commit(int32_t SessionID, bool Flush) override;
    // Records of a temporary table survive a rollback, so their keys do too: the
    // session's index pages are committed, never dropped, then the base rolls back.
    void Rollback(int32_t SessionID) override;
    std::string_view ClassName() const override { return "TORQTemporaryDatabaseData"; }

    // Deletes every table (not forced) until none is left: 20017 for a table a cursor
    // still has open, 10379 for an empty entry.
    void DropAllTables();

private:
    int32_t FObjectID = 0;
};

// The process-wide temporary database that StartStorageEngine enters in the database
// list; 20007 while the engine is stopped.
TORQTemporaryDatabaseData& TemporaryDatabase();

}  // namespace orq
