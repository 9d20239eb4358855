// TORQDatabaseData: the storage layer's object for one open database, shared by every
// session that uses it. It keeps the connected sessions, owns the table data objects of
// the database's open tables, and holds the lock every storage operation of the
// database runs under. The engines derive from it.
//
// Rules kept here:
// - The lock is a recursive mutex: operations that call one another under it do not
//   block themselves; every operation releases it on every path.
// - Table data objects are owned here; freeing one takes it off the list first, so a
//   table data's destructor never walks a list that is being destroyed.
// - Freeing an unused database goes through its owner, the engine-wide list; a database
//   that is not listed there belongs to whoever made it and is left alone.
// - A destructor never throws and is never the place for a check.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQSecurity.h"

namespace orq {

class TORQBaseSession;
class TORQCursor;
class TORQPageManager;
class TORQTableData;

class TORQDatabaseData {
public:
    TORQDatabaseData();
    // Frees the table data objects and takes the database off the engine-wide list.
    virtual ~TORQDatabaseData();
    TORQDatabaseData(const TORQDatabaseData&) = delete;
    TORQDatabaseData& operator=(const TORQDatabaseData&) = delete;

    // The slots, in order.
    // Appends Session and sets its SessionID to 0 (the engines assign real ids).
    virtual void ConnectSession(TORQBaseSession* Session);
    virtual void DisconnectSession(TORQBaseSession* Session);
    // Without a connected session, frees this object through the engine-wide list and
    // answers true: the caller must not touch it again. Otherwise (or when it is not
    // listed) false and nothing happens.
    virtual bool FreeIfUnused();
    virtual void GetTablesList(std::vector<std::string>& List);
    virtual void CreateDatabase();
    // Makes the table data of the cursor's table; the engines implement it.
    virtual TORQTableData* CreateTableData(TORQCursor* Cursor);
    // The table data whose name equals the cursor's TableName (ignoring case), or nil.
    virtual TORQTableData* FindTableData(TORQCursor* Cursor);
    // FindTableData, else CreateTableData.
    virtual TORQTableData* GetTableData(TORQCursor* Cursor);
    virtual int32_t GetNextObjectID();
    virtual void Commit(int32_t SessionID, bool Flush);
    // The page manager's rollback (when there is one), then every table's.
    virtual void Rollback(int32_t SessionID);
    virtual void FlushBuffers();

    virtual std::string_view ClassName() const { return "TORQDatabaseData"; }

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }
    std::recursive_mutex& LockSection() { return FLock; }
    bool TableExists(std::string_view Name);

    // Table data ownership. AddTableData takes ownership; RemoveTableData hands it
    // back without freeing; FreeTableData frees a listed one (false when not listed).
    void AddTableData(TORQTableData* TableData);
    bool RemoveTableData(TORQTableData* TableData);
    bool FreeTableData(TORQTableData* TableData);
    int32_t TableDataCount();
    TORQTableData* TableDataAt(int32_t Index);
    // Deletes every table (the in-process engines' explicit close); an empty entry is taken
    // out and raises NilCode.
    void DeleteAllTables(int32_t NilCode);
    // Commits the session's pages in every table's page manager (the in-process engines,
    // whose trees change in place, keep them on rollback too).
    void CommitTablePages(int32_t SessionID);
    int32_t SessionCount();

    std::vector<TORQBaseSession*> Sessions;  // not owned
    std::string DatabaseName;
    std::string SessionName;
    uint8_t ReadOnly = 0;
    int32_t MaxConnections = 0;
    int32_t PageSize = 0;
    int32_t PagesPerExtent = 0;
    TORQPageManager* PageManager = nullptr;  // the engine's
    uint8_t EngineFlag = 0;
    int32_t EngineSetting1 = 20;
    int32_t EngineSetting2 = 50;
    int32_t EngineValue = 0;
    // The password the database was opened with.
    TORQPassword Password;

private:
    std::recursive_mutex FLock;
    std::vector<TORQTableData*> FTableData;
};

}  // namespace orq
