// TORQDiskTableData: one table of a disk database, shared by every cursor of the process
// that has it open. Its definitions, changing counters and lock bytes live in three
// internal files of the database file; its records in record pages (ORQRecordPages.h),
// its BLOB values in BLOB pages (ORQDiskBlobs.h), its temporary indexes in a page store
// of its own that never reaches the file.
//
// Files of a table (first pages in the catalog):
//   metadata (page type 8, transacted, compressed with ZLIB): the field, index and
//     constraint definitions, then the record page index root (i32) and the BLOB page
//     index root (i32), one stream in that order.
//   state (page type 9, transacted, stored plainly): the autoincrement counters (i32
//     count, count i64 values), then the record manager's change stamp (i32) and record
//     count (i32); never more than (field count x 8 + 8) x 4 bytes.
//   table locks (page type 7, direct): 12 bytes per allowed connection.
//
// Rules kept here:
// - Managers and files exist from the first AddCursor (or inside CreateTable) to the
//   last RemoveCursor, and may stay after it: a table whose last cursor was an ordinary
//   one (not exclusive, no maintenance, no repair, no failed change, no temporary index)
//   keeps them, unlocked, for the next open. That open pays a look-up: it takes them
//   only when the catalog still names the same files, the definitions the file holds
//   now are byte for byte those they were loaded from (a sole writer of the file knows
//   so without reading: every save of its own drops the kept ones), and the cursor
//   wants the same temporary storage; then it reads the state again as any open does.
//   Anything else (an exclusive or repair open, maintenance, a rollback in between, a
//   definition saved since) frees them and opens from the file. So a kept table never
//   decides anything the file does not say: other processes' changes are seen as by an
//   open.
//   Its page room summaries, which cost a walk of every page index leaf to build, stay
//   with a kept table while its change stamp is unchanged; a table that is freed parks
//   them with the database, taken back by the next open when the table's change stamp
//   in the state file is still the one they were parked with (no change of this process
//   or another since) and no rollback came between; otherwise they are dropped and built
//   again on first use.
// - Multi-user: every read runs in a bracket (read lock, the table's state re-read for the
//   session, the table pushed as the session's current one, the work, the reverse); a
//   change runs in the same bracket under the post lock outside a transaction, so that
//   writers of several processes take turns and each starts from the committed state.
//   Within one lock period the state is not read again for the session whose view it is,
//   and only within one is the table's counter recorded for the page cache: a counter read
//   outside a period may be stale by the time the next period starts.
// - A change that fails leaves nothing behind: outside a transaction and an update batch
//   the session's pages are rolled back and the committed state reloaded before the error
//   goes on; inside either, the session is marked and committing its pages is refused
//   (31020) until it rolls back. A cleanup that fails itself (the file failing on) leaves
//   the mark too; the next change outside a transaction and batch cleans up first.
// - The BLOB values a change frees are those of the record as stored, read by its id,
//   never those a cursor's buffer names.
// - A state read from the file is checked against the largest state the table can have
//   before anything is allocated for it (20164).
// - Writes of the system session -2 are committed at once; a failed create rolls them
//   all back.
// - Single-user, the sessions of this process share the table's pages and counters: each
//   operation of a session works on that session's view of the state (re-read when
//   another session's view is loaded), and while one session holds uncommitted changes
//   of the table (inside a transaction or an update batch) another session's change is
//   refused at once with 31022 "Table is locked", as the multi-user locks would refuse
//   it: its copy of a shared page would overwrite the other's. Waiting is no answer,
//   since one thread may run both sessions.
// - The change stamp only goes up: a rollback that takes the state back to what was
//   committed raises the offset added to every stamp read from the state file (and taken
//   off the stamp written there), so the stamp stays above every value it had and caches
//   taken inside the rolled-back changes look stale. The file keeps its own numbering.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQDiskBlobs.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQInternalFiles.h"
#include "engine/storage/ORQRecordPages.h"
#include "engine/storage/ORQTableData.h"
#include "engine/storage/ORQTableLocks.h"

namespace orq {

class TORQDiskTableData : public TORQTableData {
public:
    explicit TORQDiskTableData(TORQDiskDatabaseData* Database);
    // Frees the managers and files without checks; never throws.
    ~TORQDiskTableData() override;

    void CreateRecordManager() override;
    void SetFieldDefs(const TORQFieldDefs& Defs) override;
    void SetIndexDefs(const TORQIndexDefs& Defs) override;
    // 30040 for kind 1 or a kind above 4; otherwise as the base.
    void SetConstraintDefs(const TORQConstraintDefs& Defs) override;
    // 31020 when a change of the session failed and it has not rolled back since.
    void CommitSessionPages(int32_t SessionID, bool InTransaction) override;
    void RollbackSessionPages(int32_t SessionID, bool InTransaction) override;
    // 20128 without fields. Everything written is rolled back on failure.
    void CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                     const TORQConstraintDefs& Constraints) override;
    // The catalog entry goes even when releasing the table's pages fails. The object is
    // left without cursors: its owner frees it (FreeIfUnused).
    void DeleteTable(TORQCursor* Cursor, bool Force) override;
    void EmptyTable(TORQCursor* Cursor) override;
    // The catalog entry is renamed; this object keeps the old name and is freed with its
    // last cursor.
    void RenameTable(const std::string& NewName, TORQCursor* Cursor) override;
    // Opens the table for its first cursor; 20242 exclusive over open cursors of this
    // process, 20208 / 20209 when another process holds the table.
    void AddCursor(TORQCursor* Cursor) override;
    void RemoveCursor(TORQCursor* Cursor) override;
    void RenameField(const std::string& OldName, const std::string& NewName) override;
    int32_t AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) override;
    void DeleteIndex(int32_t IndexID, TORQCursor* Cursor) override;
    int64_t GetMaxRecordNumber(int32_t SessionID) override;
    int64_t RecordIdToNumber(const TORQRecordID& RecordID) override;
    TORQRecordID NumberToRecordId(int64_t Number) override;
    void FreeRecordBlobs(uint8_t* Record) override;
    uint8_t GetRecord(TORQCursor* Cursor, uint8_t Mode) override;
    bool FindRecord(TORQCursor* Cursor, TORQBaseExpression* Condition) override;
    bool FindKey(TORQCursor* Cursor, uint8_t Operator) override;
    void StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) override;
    void FreeBlob(uint8_t* Record, int32_t FieldNo) override;
    // 20149 for a block size of 0; 20248 for a stored value whose size is negative.
    std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(TORQCursor* Cursor, bool Truncate, uint8_t Mode,
                                                          int32_t FieldNo) override;
    // A value on a shared page is read from the cached page, without a stream.
    void ReadBlobValue(TORQCursor* Cursor, int32_t FieldNo, std::string& Bytes) override;
    void ReadBlob(TORQCursor* Cursor, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                  const uint8_t* Record) override;
    void WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data, const TORQBlobDataHeader& Header,
                   uint8_t* Record) override;
    void DeleteBlob(uint8_t*& Data) override;
    bool InsertRecord(TORQCursor* Cursor) override;
    bool DeleteRecord(TORQCursor* Cursor) override;
    bool UpdateRecord(TORQCursor* Cursor) override;
    void SetRecNo(TORQCursor* Cursor, int64_t RecNo) override;
    int64_t GetRecNo(TORQCursor* Cursor) override;
    void SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) override;
    int64_t GetPhysicalRecNo(TORQCursor* Cursor) override;
    int64_t GetPhysicalRecordCount(TORQCursor* Cursor) override;
    int64_t GetLastAutoincValue(int32_t FieldNo, TORQCursor* Cursor) override;
    void RollbackSession(int32_t SessionID) override;

    std::string_view ClassName() const override { return "TORQDiskTableData"; }

    // Frees this object through its database when no cursor has it open and it keeps
    // nothing for the next open; true then (the caller must not touch it again).
    bool FreeIfUnused();
    // Whether the managers stay, without cursors, for the next open.
    bool KeptOpen() const { return FKeptOpen; }
    // How many first opens took kept managers, and how many read the definitions from
    // the file, in this process.
    static int64_t KeptOpenReuses();
    static int64_t DefinitionLoads();
    // Single-user: true. Read (1) and post (4) locks open and close the table's lock
    // period in the table pages cache.
    bool SetTableLock(int32_t SessionID, uint8_t Type, uint8_t Mode, int32_t DelayMs, int32_t Tries);
    void ReleaseTableLock(int32_t SessionID, uint8_t Type, uint8_t Mode);
    bool LockRecord(int32_t SessionID, const TORQRecordID& RecordID, int32_t DelayMs, int32_t Tries);
    bool UnlockRecord(int32_t SessionID, const TORQRecordID& RecordID);
    // The read bracket of the operations held across a whole operation of the caller (a
    // record and its memos): the operations inside it only count. Multi-user: false when
    // the read lock cannot be had in Tries. Every true is matched by one EndReadBracket.
    // WaitsTurn false: the caller reads nothing of the table inside (a memo opened to be
    // written), and pending writers do not hold it back.
    bool BeginReadBracket(int32_t SessionID, int32_t DelayMs, int32_t Tries, bool WaitsTurn = true);
    void EndReadBracket(int32_t SessionID);
    // Around a caller's loop of one-try post lock requests: a refused try leaves the
    // session marked pending, so that new readers let it in, until the wait ends.
    void BeginPostWait(int32_t SessionID);
    void EndPostWait(int32_t SessionID);
    // Drops the cache entries of every BLOB field of the buffer.
    void ClearRecordBlobs(uint8_t* Record);
    // 20176 without a state file; 20164 for a state the table cannot have.
    void ReadMostUpdatedFile(int32_t SessionID);
    void SaveState(int32_t SessionID);
    void LoadMetadata(int32_t SessionID);
    void SaveMetadata(int32_t SessionID);
    // Whether a change of the session failed inside a transaction or an update batch.
    bool HasFailedChange(int32_t SessionID) const { return FFailedSessions.contains(SessionID); }
    // The session's commit failed before its commit point: what it still holds is refused
    // a commit of its own until it rolls back.
    void RefuseCommitUntilRollback(int32_t SessionID) { FFailedSessions.insert(SessionID); }
    // 20292 when the record page index and the record count disagree.
    void CheckRecordCount(int32_t SessionID);
    // The database committed the session's pages: its changes are no longer pending.
    void SessionCommitted(int32_t SessionID);

    TORQDiskDatabaseData* DiskDatabase() const { return FDatabase; }
    TORQDiskPageManager* DiskPageManager() const;
    TORQDiskRecordManager* DiskRecordManager() const { return static_cast<TORQDiskRecordManager*>(RecordManager.get()); }
    bool IsMultiUser() const;

    int32_t TableID = -1;
    std::unique_ptr<TORQTableLocksFile> TableLocksFile;
    std::unique_ptr<TORQInternalDBTransactedAccessFile> MetadataFile;
    std::unique_ptr<TORQInternalDBTransactedAccessFile> StateFile;
    std::unique_ptr<TORQDiskBlobManager> BlobManager;
    std::unique_ptr<TORQPageManager> TemporaryPageManager;
    uint8_t OpenedExclusively = 0;
    uint8_t MaintenanceInProgress = 0;
    int32_t TableCounter = -1;
    // Set by the owner for the next first open. RepairIndexWhenBroken rebuilds the record
    // page index when the state read or the count check raises and commits it into the
    // file. RepairRead, the full repair's read, rebuilds it from the pages always (a
    // half-written commit's index and state may agree and still name pages the commit
    // never wrote) into the opening session's private pages: nothing is committed and no
    // byte of the file is written; the pages go with the table's last cursor. Until then
    // the stored state is not read again and other sessions' cursors are refused (20209).
    static constexpr uint8_t RepairIndexWhenBroken = 1;
    static constexpr uint8_t RepairRead = 2;
    uint8_t Repair = 0;
    // The record count the stored state gave a repair read's open, -1 when it could not
    // be read: what the table held, against what the rebuilt page index finds.
    int64_t RepairStoredRecordCount = -1;

private:
    class TBracket;

    // SetTableLock; WaitsTurn false: a read lock not held back by pending writers.
    bool TakeTableLock(int32_t SessionID, uint8_t Type, uint8_t Mode, int32_t DelayMs, int32_t Tries,
                       bool WaitsTurn);

    // Sets the record layout on the record manager (fields, sizes).
    void SetupRecordManager();
    // The first cursor's open: files, managers, definitions, state.
    void OpenTableFiles(TORQCursor* Cursor);
    void OpenWithRepair(int32_t SessionID);
    void OpenForRepairRead(int32_t SessionID);
    // The session whose private pages hold the repair read's page index; -3 none.
    int32_t FRepairReadSession = -3;
    // Managers, files and the temporary page store; never throws.
    void FreeManagers() noexcept;
    // At the last RemoveCursor: whether the managers may stay for the next open.
    bool MayKeepOpen(const TORQCursor* Cursor) const;
    // At a first AddCursor: takes the kept managers when they still stand for the file
    // (see the rules above), else frees them. True when taken.
    bool ReopenKept(TORQCursor* Cursor);
    // Whether the definitions the session sees in the file are those the managers hold.
    bool DefinitionsUnchanged(int32_t SessionID);
    // The room summaries to the database at the last close, and back at the next open.
    void ParkRoomSummaries() noexcept;
    void UnparkRoomSummaries(bool Adopt);
    // The failed change's cleanup (see the rules above); never throws.
    void FailChange(TORQCursor* Cursor) noexcept;
    // Before a change outside a transaction and batch: a failed change whose cleanup
    // could not finish is cleaned up now.
    void RecoverFailedChange(TORQCursor* Cursor);
    void CheckStaleTemporaryIndexes(TORQCursor* Cursor);
    bool HasBlobFields() const;
    int32_t MaxStateSize() const;
    uint8_t WriteLockType(TORQCursor* Cursor) const;
    // Single-user: 31022 while another session's changes of the table are pending; marks
    // the cursor's session as the pending one when its change stays uncommitted.
    void BeginChange(TORQCursor* Cursor);
    // The highest stamp so far follows the record manager's.
    void NoteStamp();
    // After the state went back to what was committed: above every stamp given out.
    void RaiseStampAfterRollback();

    TORQDiskDatabaseData* FDatabase;
    // The lock type each cursor's open holds.
    std::map<const TORQCursor*, uint8_t> FOpenLocks;
    // Sessions whose change failed inside a transaction or batch.
    std::set<int32_t> FFailedSessions;
    // Bracket nesting per session, and the session whose view the loaded state is.
    std::map<int32_t, int32_t> FBracketDepth;
    // Read and post locks each session holds here: a counter is recorded only within a
    // lock period, when no other process can move it.
    std::map<int32_t, int32_t> FPeriodLocks;
    int32_t FStateSession = -3;
    // The database's change counter read before the loaded state was read for
    // FStateSession; -1 when the loaded state may differ from what a read would give
    // (changed here since). While the counter stands, nothing was committed since.
    int64_t FStateCommitCounter = -1;
    // Brackets opened by BeginReadBracket, per session.
    std::map<int32_t, std::vector<std::unique_ptr<TBracket>>> FOpenBrackets;
    // Single-user: the session whose changes of the table are not committed, or -1.
    int32_t FPendingSession = -1;
    // The managers stay without cursors (see the rules above); what they were opened
    // with and the change stamp they were kept at.
    bool FKeptOpen = false;
    uint8_t FOpenedTemporary = 0;
    int32_t FLocksPage = -1;
    int32_t FKeptStamp = 0;
    // The definitions as the file held them at the last load; empty after a save.
    std::vector<uint8_t> FLoadedMetadata;
    uint32_t FStampOffset = 0;
    int32_t FHighestStamp = 0;
    bool FStampNoted = false;
};

}  // namespace orq
