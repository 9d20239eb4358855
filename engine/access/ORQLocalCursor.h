// TORQLocalCursor: the cursor every dataset, table component and SQL statement reaches a
// table through. It binds one table data object of the disk, temporary or in-memory
// engine (taken through its session's database data) and maps the abstract cursor's
// operations onto it, with the multi-user locking around edit, post, delete and BLOB
// reads and the record-level result codes.
//
// Rules kept here:
// - Table-level operations (create, delete, empty, rename) run under the database's lock
//   on a closed cursor and take the database data afresh from the session each time.
// - Record operations run between LockTableData and UnlockTableData, released on every
//   path. A retry loop leaves that lock for each sleep, so another thread of this process
//   can release the lock being waited for meanwhile.
// - Lock steps apply only to disk tables of multi-user sessions. Edit remembers the
//   record and table lock it took; post, cancel and close release exactly those, once.
//   A transaction's lock (type 3) stays with the transaction. Every lock taken is
//   released again on every failure path, exceptions included.
// - Edit, PostRecord, DeleteRecord and CancelRecord raise nothing for conflicts: they
//   leave ResultCode (-1 to -13, 0 success) and, for -8, ResultText. -8 comes only from
//   the post's checks (the engine's and class library's exceptions); any other failure
//   passes on after the locks went.
// - An autoincrement value is drawn only after the post lock is had and the table's
//   shared state was re-read: drawn earlier, another process may hand out the same.
// - The dataset stream behind a BLOB stream is never freed here, only detached through
//   OnDetachBlobStream.
// - Waits sleep through EngineSleep / EngineSleepRandom, with the tries and delays of
//   the process-wide lock tuning.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQRecordPages.h"

namespace orq {

class TORQDiskTableData;

// The retry counts and delays (ms) of the cursor's lock waits.
struct TORQCursorLockTuning {
    int32_t EditTries = 900;  // the edit's table lock; sleeps of half to all of the delay
    int32_t EditDelay = 100;
    int32_t RecordTries = 15;  // the record lock of edit and delete, random sleeps too
    int32_t RecordDelay = 100;
    int32_t PostTries = 2250;  // the post lock; fixed sleeps between tries
    int32_t PostDelay = 40;
    int32_t DeleteTries = 900;  // the delete's table lock; fixed sleeps
    int32_t DeleteDelay = 100;
    int32_t BlobReadTries = 2250;  // the read lock while a BLOB opens
    int32_t BlobReadDelay = 40;
};

// Process-wide; forked children inherit it.
void SetCursorLockTuning(const TORQCursorLockTuning& Tuning);
TORQCursorLockTuning CursorLockTuning();

class TORQLocalCursor : public TORQCursor {
public:
    TORQLocalCursor();
    // Closes without raising.
    ~TORQLocalCursor() override;

    void CreateTable(const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                     const TORQConstraintDefs& Constraints) override;
    void DeleteTable() override;
    void EmptyTable() override;
    void RenameTable(const std::string& NewName) override;
    void InitFieldDefs() override;
    // With RepairOption set (a repair kind of TORQDiskTableData) the open that opens a
    // disk table's data first opens it with that repair.
    void OpenTable(const TORQFieldDefs* Fields, const TORQIndexDefs* Indexes,
                   const TORQConstraintDefs* Constraints) override;
    uint8_t RepairOption = 0;
    // The records a repair read's stepping went past since the last call, taken from the
    // table's data.
    std::vector<TORQSkippedRecord> TakeSkippedRecords();
    void CloseTable() override;
    void LockTableData() override;
    void UnlockTableData() override;
    bool LockTable(uint8_t LockType, int32_t Tries, uint8_t Flag, int32_t Delay) override;
    bool UnlockTable(uint8_t LockType, uint8_t Flag) override;
    void RenameField(const std::string& OldName, const std::string& NewName) override;
    TORQIndexDefs& GetIndexDefs() override;
    void AddIndex(const TORQIndexDef& IndexDef) override;
    void DeleteIndex(const std::string& IndexName) override;
    void DeleteAllIndexes() override;
    // Orders per field "ASC"/"DESC", Cases "CASE"/"NO_CASE"; a projected name stands
    // for its base field. Answers the index's name.
    std::string CreateTemporaryIndex(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                                     const std::vector<std::string>& Cases) override;
    bool HasIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                           const std::vector<std::string>& Cases) override;
    void CopyFieldValue(int32_t FieldNo, bool Projected, TORQCursor& Dest, int32_t DestFieldNo) override;
    void InitRecord(uint8_t* Buffer, bool ApplyDefaults) override;
    void FreeRecordBuffer(uint8_t*& Buffer) override;
    int64_t GetRecordCount() override;
    uint8_t GetRecord(uint8_t Mode) override;
    void SetRecNo(int64_t RecNo) override;
    int64_t GetRecNo() override;
    void First() override;
    void Last() override;
    void BeginInsert() override;
    void Edit() override;
    void CancelRecord(bool WasInsert) override;
    void PostRecord(bool Inserting) override;
    void DeleteRecord() override;
    void SetTemporaryIndex(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                           const std::vector<std::string>& Cases) override;
    // The new filter replaces the old one only once its text parsed; a text that fails
    // raises and keeps the filter there was.
    void SetFilter(const std::string& Text, bool CaseInsensitive, bool PartialCompare) override;
    void CancelFilter() override;
    bool Locate(const std::vector<std::string>& FieldNames, const classlib::Variant& Values, uint8_t Options) override;
    bool GotoBookmark(const TORQRecordID& Position) override;
    // KeyText names one field; Nearest false finds an equal value, true the first value
    // at or above KeyValues.
    bool FindKey(const std::string& KeyText, bool Nearest, const classlib::Variant& KeyValues) override;
    TORQLocalBLOBStream* OpenBlob(bool IsInsert, bool IsEdit, bool IsBrowse, uint8_t Mode, int32_t FieldNo) override;
    void CloseBlob(int32_t FieldNo) override;
    void CloseBlobStream(TORQLocalBLOBStream& Stream) override;
    // Under the same locks as OpenBlob; the buffer's copy of a stored value read on the
    // way is let go again, a value written and not yet posted stays.
    bool ReadBlobValue(bool IsInsert, bool IsEdit, bool IsBrowse, int32_t FieldNo, std::string& Bytes,
                       bool& Opened) override;
    // OnlyWritable: the streams in modes 0 and 2 only. Each is closed as CloseBlob does.
    void FreeBlobs(bool OnlyWritable) override;
    int64_t GetLastAutoincValue(int32_t FieldNo) override;
    void BeginUpdateBatch() override;
    void CommitBatch() override;
    void RollbackBatch() override;
    // False on a violation (nothing raised).
    bool CheckConstraints(bool Inserting) override;

    std::string_view ClassName() const override { return "TORQLocalCursor"; }

    // Binds an open table data object (a result table of the SQL layer) without opening
    // a table by name.
    void AttachTableData(TORQTableData* Table);
    // The first record in the cursor's order whose field FieldName compares to Value by
    // Operator (TORQDataOperator 1-6); Null equals Null and lies below every value.
    bool FindKey(const std::string& FieldName, uint8_t Operator, const TORQVariant& Value);

    // Called for a stream that has a dataset stream when the cursor frees it: the
    // dataset stream lets go of it.
    std::function<void(TORQLocalBLOBStream& Stream)> OnDetachBlobStream;
    // The number of fields of the temporary index SetTemporaryIndex made current.
    int32_t KeyFieldCount = 0;

    // The locks an unfinished edit holds (for the record-level callers' checks).
    bool HoldsEditLocks() const { return FEditLocks.Record || FEditLocks.Table; }

private:
    struct TEditLocks {
        bool Record = false;
        TORQRecordID RecordID;
        bool Table = false;
        uint8_t TableType = 0;
    };
    class TUnlocked;

    TORQDiskTableData* DiskTable() const;
    // A disk table of a multi-user session: the lock steps apply.
    bool UsesLocks() const;
    int32_t SessionNo() const;
    bool InSessionTransaction() const;
    TORQDatabaseData& SessionDatabase();
    void CheckTableData(int32_t Code) const;
    // The start of a change of an existing table, under the caller's lock of Database:
    // refused on a database that needs repair, this cursor's table closed, the table
    // looked for (NotFoundCode), Checks run, its data got (NoDataCode).
    TORQTableData* ExistingTableForChange(TORQDatabaseData& Database, int32_t NotFoundCode, int32_t NoDataCode,
                                          const std::function<void()>& Checks = {});
    // Runs a change of the open table's indexes under the table data's lock, refused on
    // a database that needs repair; the definitions are read again whether or not it
    // succeeds.
    void ChangeIndexes(const std::function<void()>& Change);
    // One try at a time, leaving the table data's lock for each sleep.
    bool RetryTableLock(uint8_t Type, int32_t Tries, int32_t Delay, bool RandomSleep);
    bool RetryRecordLock(const TORQRecordID& RecordID, int32_t Tries, int32_t Delay);
    // Releases what Edit took (its table lock unless it is the transaction's); never
    // throws when Quiet.
    void ReleaseEditLocks(bool Quiet);
    void PostBody(bool Inserting);
    void DeleteBody();
    // Equal values: the null bitmaps and every field's bytes up to its value's end.
    bool SameRecord(const uint8_t* A, const uint8_t* B) const;
    void RefreshDefinitions(bool Constraints);
    std::vector<std::string> BaseNames(const std::vector<std::string>& FieldNames) const;
    TORQLocalBLOBStream* OpenStream(uint8_t Mode, int32_t FieldNo);
    // OpenBlob's frame: with the multi-user locks, the read lock around Open, and in a
    // browse with nothing open the record read again first; false when the BLOB cannot
    // be opened (the lock not had, the record gone).
    template <class TOpen>
    bool WithBlobOpen(bool IsInsert, bool IsEdit, bool IsBrowse, TOpen&& Open);
    void ReadValue(int32_t FieldNo, std::string& Bytes);
    // Stores (when Store and the mode writes) or discards one stream and frees it.
    void CloseStream(std::size_t Index, bool Store);
    // Lets the buffer's cached copy of a disk BLOB go, unless it holds a value written
    // and not yet posted.
    void ReleaseReadBlob(int32_t FieldNo);
    void ReleaseStreams(bool OnlyWritable, bool Store);
    // Frees whatever this cursor holds of a table and forgets it (the close's work).
    void DetachTable();

    TEditLocks FEditLocks;
};

}  // namespace orq
