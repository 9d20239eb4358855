// TORQLocalSession: the connection of one TORQDatabase component to a database object of
// the storage engine. All local sessions of the process that name one database file (and,
// multi-user, one session name) share one TORQDiskDatabaseData from the engine-wide
// database list; the names "MEMORY" and "TEMP" reach the process-wide in-memory and
// temporary databases instead of a file.
//
// Rules kept here:
// - The sharing key is the file's canonical absolute path (symbolic links and "." parts
//   resolved, relative names against the current directory), compared exactly: "log.orq"
//   and "LOG.ORQ" are two files on Linux. Multi-user sessions also compare their session
//   name, upper-cased. "MEMORY" and "TEMP" match ignoring case.
// - One recursive mutex of this unit spans finding, creating, connecting and disconnecting
//   a database object, so two threads opening one file get the same object and no object
//   is freed while another session connects to it. The engine-wide list's own mutex is
//   taken only for each look-up: a listed object's destructor takes it.
// - A connect that fails leaves the session unconnected, and a disk object it leaves
//   without sessions is freed before the error passes (a retry with another password
//   must not reconnect through the object made with the wrong one). 20298 is raised after
//   disconnecting again.
// - A disk object leaves the list with its last session; MEMORY and TEMP never do.
// - Unconnected, GetTablesList and TableExists raise 30964: nobody would ever connect to
//   an object made to answer them.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQMemEngine.h"  // MemoryDatabase()
#include "engine/storage/ORQTempEngine.h"  // TemporaryDatabase()
#include "engine/storage/ORQSecurity.h"

namespace orq {

class TORQDatabaseData;
class TORQDiskDatabaseData;

// Whether Name selects a process-wide database ("MEMORY" or "TEMP", ignoring case).
bool IsMemoryDatabaseName(const std::string& Name);
bool IsTemporaryDatabaseName(const std::string& Name);
inline bool IsReservedDatabaseName(const std::string& Name) {
    return IsMemoryDatabaseName(Name) || IsTemporaryDatabaseName(Name);
}

// The sharing key of a file name: absolute, "." and ".." and symbolic links of the
// existing part resolved.
std::string CanonicalDatabaseFileName(const std::string& FileName);

class TORQLocalSession : public TORQBaseSession {
public:
    TORQLocalSession();
    // Disconnects without raising.
    ~TORQLocalSession() override;

    // The password record the database component fills and reads.
    TORQPassword* GetPasswordRecord() { return &Password; }

    // The slots of the abstract session, in order.
    bool GetConnected() override;
    // Connect: find or create the database object, ConnectSession (NeedsRepair, 30445,
    // 20235, 20094, the read-only fallback), ReadOnly from the object; for a disk
    // database 20298 when it is encrypted with another password, then the file's password
    // record, page size, pages per extent and max connections.
    void SetConnected(bool Value) override;
    bool GetRecoveryMode() override;
    void SetRecoveryMode(bool Value) override;
    // 20092 when a database object of this file is open in the process.
    void CreateDatabase() override;
    void DropDatabase() override;
    void SetDatabaseName(const std::string& Value) override;
    // 30964 "Database '%s' is not open" while unconnected.
    void GetTablesList(std::vector<std::string>& List) override;
    bool TableExists(const std::string& TableName) override;
    // Starts with the failed-undo mark clear.
    void StartTransaction() override;
    // 20229 outside a transaction; a commit that raises leaves the transaction open.
    // While the failed-undo mark is set, raises the failure it recorded and commits
    // nothing.
    void Commit(bool Flush) override;
    // A rollback that succeeds clears the failed-undo mark.
    void Rollback() override;
    // The failed-undo mark: a statement whose changes could not be undone leaves the
    // transaction holding part of them, so only a rollback may end it. Records the undo's
    // failure, which Commit raises again; ignored outside a transaction or without one.
    void MarkUndoFailed(std::exception_ptr Failure);
    bool UndoFailed() const { return FUndoFailure != nullptr; }
    void FlushBuffers() override;

    // Under the unit's mutex: the first listed object that matches, or nil.
    TORQDatabaseData* FindDatabaseData();
    // A new disk object from this session's settings, entered in the engine-wide list.
    TORQDiskDatabaseData* CreateDiskDatabaseData();
    TORQDatabaseData* GetDatabaseData();
    bool MatchesDatabaseData(const TORQDatabaseData* Data) const;
    // Cuts unused pages off the end of a disk database's file; nothing for the others.
    void ShrinkDatabaseFile();

    // The connected disk object, nil otherwise.
    TORQDiskDatabaseData* DiskDatabaseData() const;

private:
    std::exception_ptr FUndoFailure;

    // Frees Data through the engine-wide list when it is a disk object without sessions.
    static void FreeIfUnusedDisk(TORQDatabaseData* Data);
    void Disconnect();
    void CheckConnected() const;
};

}  // namespace orq
