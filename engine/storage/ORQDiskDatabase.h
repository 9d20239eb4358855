// TORQDiskDatabaseData: the database object of one disk database file, shared by every
// session of the process connected to it. It opens the file with the first session and
// closes it after the last, numbers the sessions, creates new database files, wraps the
// table catalog, and commits and rolls back sessions with the table locks multi-user mode
// needs.
//
// A new file: page 2 the system directory (entries: kind 2 the sessions file at page 3,
// kind 1 the catalog at page 4), page 3 the sessions file of MaxConnections bytes, page 4
// the empty catalog, all written by one commit of session -2.
//
// Rules kept here:
// - Multi-user: a session's number is the sessions-file byte it holds. Single-user: numbers
//   are the lowest not in use among this process's sessions, so each session has its own
//   uncommitted pages; the file never sees them. A table refuses the other sessions'
//   changes while one session's changes of it wait uncommitted (ORQDiskTable.h); a commit
//   tells every table, so that they let the others in again. Single-user mode never
//   reaches the table lock manager (its lists are sized by the file's session count,
//   which in-process numbers may pass): the manager exists only while the database is
//   open multi-user.
// - A single-user process that cannot lock every session byte (another process holds one)
//   works read-only for as long as this object lives: its file handle is reopened read-only,
//   and commits, catalog changes and shrinking are refused with 30962 before anything is
//   written. Such a reader takes no locks and revalidates nothing: pages it cached stay as
//   it read them, and a page read while the owner commits may be older or newer than its
//   neighbours, so it may see stale or mixed data.
// - A claimed session byte is released again when the connect fails after claiming it; a
//   connect that opened the file closes it again when it fails.
// - Every session that disconnects inside a transaction is rolled back, its pages dropped
//   and its transaction locks released; the last one closes the file.
// - Close frees every table data object: none can have cursors once every session has left,
//   and none may outlive the page manager it points at.
// - The catalog is reloaded under the tables lock before every look-up and every change,
//   and a change is committed (session -2) before that lock is left, so processes sharing
//   the file never miss or overwrite each other's tables.
// - The tables lock nests within this object: only the outermost LockAllTables takes the
//   byte and only the outermost UnlockAllTables releases it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQBTreePageIndex.h"
#include "engine/storage/ORQCatalog.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQTableLocks.h"

namespace orq {

class TORQDiskDatabaseData : public TORQDatabaseData {
public:
    // DatabaseName, Password, MaxConnections (500), PageSize (4096) and PagesPerExtent (8)
    // are the inherited fields, set before CreateDatabase or the first ConnectSession.
    TORQDiskDatabaseData();
    ~TORQDiskDatabaseData() override;

    // Handed to the page manager: fdatasync barriers around every commit.
    bool CommitBarriers = true;

    // The first session opens the file (the file layer's codes, 30445 for a wrong
    // password) and gets NeedsRepair when the file's state is not consistent. 20235 when
    // the session's mode differs from the open database's; 20094 when every session byte
    // is taken.
    void ConnectSession(TORQBaseSession* Session) override;
    void DisconnectSession(TORQBaseSession* Session) override;
    void GetTablesList(std::vector<std::string>& List) override;
    void CreateDatabase() override;
    // A new TORQDiskTableData named after the cursor's table, listed here.
    TORQTableData* CreateTableData(TORQCursor* Cursor) override;
    int32_t GetNextObjectID() override;
    // 20233 when the post locks of the changed tables cannot be had; the session's pages
    // stay uncommitted then. 30962 when read-only.
    void Commit(int32_t SessionID, bool Flush) override;
    void Rollback(int32_t SessionID) override;
    void FlushBuffers() override;
    std::string_view ClassName() const override { return "TORQDiskDatabaseData"; }

    TORQPassword* GetPassword() { return &Password; }
    bool IsEncrypted();
    uint8_t GetRecoveryMode();
    void SetRecoveryMode(uint8_t Value);
    // 30962 when read-only.
    void ShrinkDatabaseFile();
    // 20210 when the tables lock stays taken (4500 tries 20 ms apart); 20211 when it
    // cannot be released.
    void LockAllTables();
    void UnlockAllTables();

    // The catalog, reloaded first, under the tables lock; changes are saved and committed.
    void AddTable(int32_t TableID, std::string_view Name, int32_t LocksPage, int32_t StatePage,
                  int32_t MetaDataPage);
    void FindTable(std::string_view Name, int32_t& TableID, int32_t& LocksPage, int32_t& StatePage,
                   int32_t& MetaDataPage);
    void DeleteTable(std::string_view Name);
    void RenameTable(std::string_view OldName, std::string_view NewName);

    // What a table keeps between its last close and its next open (ORQDiskTable.h), by
    // table id; it goes with the page manager.
    struct TParkedTable {
        // The table's change stamp in the state file's numbering when it closed.
        int32_t StoredStamp = 0;
        TORQRoomSummary RecordRoom;
        TORQRoomSummary BlobRoom;
    };
    void ParkTable(int32_t TableID, TParkedTable&& State);
    // Takes the table's parked state out (false when there is none).
    bool UnparkTable(int32_t TableID, TParkedTable& State);

    bool IsOpen() const { return FPageManager != nullptr; }
    bool IsMultiUser() const { return EngineValue != 0; }
    TORQDiskPageManager* DiskPageManager() const { return FPageManager.get(); }
    // Nil unless open multi-user.
    TORQDatabaseTableLockManager* TableLockManager() const { return FLockManager.get(); }
    TORQActiveSessionsFile* SessionsFile() const { return FSessionsFile.get(); }

    // Holds the tables lock (LockAllTables, which nests) for a scope; a failure to release
    // it on the way out of another failure is not raised over that one.
    class TTablesLock {
    public:
        explicit TTablesLock(TORQDiskDatabaseData& Database) : FDatabase(Database) { FDatabase.LockAllTables(); }
        ~TTablesLock();
        TTablesLock(const TTablesLock&) = delete;
        TTablesLock& operator=(const TTablesLock&) = delete;

    private:
        TORQDiskDatabaseData& FDatabase;
    };

private:
    // Answers whether the file needs repair.
    bool Open(TORQBaseSession* Session, bool Exclusive);
    void Close();
    void CheckOpen() const;
    void CheckWritable() const;
    int32_t FreeSingleUserNumber() const;
    // Releases the session's number after a failed connect or at disconnect.
    void ReleaseSessionNumber(int32_t Number, bool LastSession);
    // Reload, Change, save and commit for session -2; on failure the system session's
    // pages are dropped and the catalog reloaded.
    void ChangeCatalog(const std::function<void()>& Change);

    std::unique_ptr<TORQDiskPageManager> FPageManager;
    std::unique_ptr<TORQSystemDirectory> FDirectory;
    std::unique_ptr<TORQActiveSessionsFile> FSessionsFile;
    std::unique_ptr<TORQTableListFile> FCatalog;
    std::unique_ptr<TORQDatabaseTableLockManager> FLockManager;
    uint8_t FSingleUserLockTaken = 0;
    uint8_t FNeedsRepair = 0;
    int32_t FTablesLockCount = 0;
    std::map<int32_t, TParkedTable> FParked;
};

}  // namespace orq
