// Sessions and table locks of a disk database shared by several processes: the
// active-sessions file, one table-locks file per table, and the lock manager that keeps per
// session the list of locks it holds.
//
// Both files are direct internal files (bytes locked, read and written in place in the
// database file, seen by every process at once). Their content bytes, S being the number of
// allowed connections:
//   active-sessions file, S bytes: byte k is held (byte-range lock) by the process that has
//     session k connected; a single-user process holds all S as one region. The values
//     carry nothing.
//   table-locks file, 12 x S bytes:
//     t x S + k (t = 0..4)  lock byte of table lock type t for session k
//     5 x S + k             record-lock byte of session k
//     6 x S + 6 x k         the record id session k locked last: i32 page, u16 slot, LE
//                           (written when the record lock is taken, left when released)
//     6 x S + k             pending mark of session k: locked while the session waits for
//                           a post lock it was refused
//     7 x S + k             reader-wait mark of session k: locked while a read request of
//                           the session is refused
//                           (both marks are locks on bytes of the record-id area, which
//                           nothing else locks; the bytes' values stay as written)
//
// Rules kept here:
// - Between processes the only exclusion is the whole-file lock of each file (the first
//   byte of its first page), held for one test-and-set. Type 6 (exclusive open) has no byte:
//   it is held as the table-locks file's whole-file lock for as long as it lasts.
// - Inside the process every manager operation runs under the manager's critical section,
//   which is left during every sleep between retries so that other threads can release.
// - A session asks the file only for what its list cannot answer: a repeated request raises
//   the entry's use count, and a request covered by a lock it holds on the same table gets
//   an entry without a byte. When the byte-holding entry goes, covered entries take their
//   own bytes first (hand-over), so the protection never lapses.
// - A request that runs out of tries answers false and leaves nothing in the lists or the
//   file. A raise leaves no whole-file lock and no claimed byte behind.
// - Waiters are served in turn. A post request refused from its second round on marks the
//   session pending, and a new read lock (one the session's list cannot answer) is
//   refused while another session is pending on the table, unless the session is inside
//   an operation on another table (its held read or post lock there could be what a
//   pending writer waits for). A refused reader marks itself waiting, and a writer's first
//   round lets waiting readers in first. The pending mark goes when the post is granted,
//   when the request ends without it, or, inside a post wait (BeginPostWait ..
//   EndPostWait, for callers that poll one try at a time, whose rounds count across the
//   wait), when the wait ends; the reader's mark when its request ends. Neither mark is a
//   lock of the compatibility table: what that table allows beside a held lock stays
//   allowed, a request only waits its turn.
// - Setting a byte is a test-and-set under the whole-file lock. A read lock's byte, when
//   nothing is handed over, is cleared with one unlock of that byte alone: it only ever
//   lets others in sooner, and whoever tests under the whole-file lock sees it either held
//   or free. Other bytes are cleared under the whole-file lock.
// - Retries: a whole-file lock found busy (another test-and-set of microseconds) is asked
//   again after waits of tens of microseconds before the attempt counts as refused; a
//   refused attempt sleeps a wait that grows from 1 ms to the caller's delay, half to all
//   of it (LockRetryWait).
// - Single-user databases never reach the manager: the disk database answers their lock
//   requests itself, and the manager's lists are sized by the file's session count.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/storage/ORQCursor.h"

namespace orq {

class TORQDiskPageManager;

// The operations of a direct internal file the lock files use; positions are content
// positions. The engine's implementation is TORQInternalDBDirectAccessFile; tests put an
// instrumented layer over it (SetDirectFileFactory) to see which calls reach the file.
class TORQDirectFileAccess {
public:
    virtual ~TORQDirectFileAccess() = default;
    // A new file of Size bytes, left open; answers its first page.
    virtual int32_t CreateFile(int32_t Size) = 0;
    virtual void OpenFile(int32_t FirstPage) = 0;
    // Frees the chain (FirstPage, or the open file's with -1); closed afterwards.
    virtual void DeleteFile(int32_t FirstPage) = 0;
    virtual void CloseFile() = 0;
    // -1 while closed.
    virtual int32_t FirstPage() const = 0;
    // The size in the file's header, read in place.
    virtual int32_t GetSize() = 0;
    // The size the open file works with (a one-page file uses its whole page).
    virtual int32_t OpenSize() const = 0;
    virtual int32_t DirectReadBuffer(void* Buffer, int32_t Count, int32_t Position) = 0;
    virtual int32_t DirectWriteBuffer(const void* Buffer, int32_t Count, int32_t Position) = 0;
    virtual bool LockFile() = 0;
    virtual bool UnlockFile() = 0;
    virtual bool LockByte(int32_t Position) = 0;
    virtual bool UnlockByte(int32_t Position) = 0;
    virtual bool IsByteLocked(int32_t Position) = 0;
    virtual bool IsRegionLocked(int32_t Position, int32_t Count) = 0;
    // Count bytes held as one unit: taken all or none, released only as the same region.
    virtual bool LockRegion(int32_t Position, int32_t Count) = 0;
    virtual bool UnlockRegion(int32_t Position, int32_t Count) = 0;
};

using TORQDirectFileFactory =
    std::function<std::unique_ptr<TORQDirectFileAccess>(TORQDiskPageManager* PageManager, uint16_t PageType)>;
// An empty factory puts the engine's own back.
void SetDirectFileFactory(TORQDirectFileFactory Factory);
// What the lock files are built on: the installed factory's file, else the engine's.
std::unique_ptr<TORQDirectFileAccess> MakeDirectFile(TORQDiskPageManager* PageManager, uint16_t PageType);
// The engine's: a TORQInternalDBDirectAccessFile. A created file reaches the database file
// with the commit of session -2, which is the creator's to run.
std::unique_ptr<TORQDirectFileAccess> MakeEngineDirectFile(TORQDiskPageManager* PageManager, uint16_t PageType);

// Table lock types.
inline constexpr uint8_t ltOpen = 0;
inline constexpr uint8_t ltRead = 1;
inline constexpr uint8_t ltEdit = 2;
inline constexpr uint8_t ltTransaction = 3;
inline constexpr uint8_t ltPost = 4;
inline constexpr uint8_t ltRecord = 5;
inline constexpr uint8_t ltExclusive = 6;
inline constexpr uint8_t MaxLockType = 6;

// M[held][requested]: whether another session may be granted `requested` while one holds
// `held`.
bool LocksCompatible(uint8_t Held, uint8_t Requested);
// A held `Held` covers `Requested` when everything compatible with Held is compatible with
// Requested too: holding Held already keeps out whatever Requested would.
bool LockCovers(uint8_t Held, uint8_t Requested);

// The retries the engine asks for: whole-file locks, and the table lock kinds.
inline constexpr int32_t FileLockTries = 4500;
inline constexpr int32_t FileLockDelay = 20;
inline constexpr int32_t OpenLockTries = 50;
inline constexpr int32_t OpenLockDelay = 100;
inline constexpr int32_t ReadLockTries = 2250;
inline constexpr int32_t ReadLockDelay = 40;
inline constexpr int32_t EditLockTries = 900;
inline constexpr int32_t EditLockDelay = 100;

// The sleep after refused attempt Attempt (0, 1, ...) of a lock asked for with Delay ms:
// 1, 1, 2, 2, 4, 4, ... ms capped at Delay, then half to all of that (at least 1 ms); 0 for
// a delay of 0 (the caller sleeps itself). Slow growth keeps a freed lock from idling
// while its waiters sleep.
int32_t LockRetryWait(int32_t Delay, int32_t Attempt);

// What the lock manager counts: lock rounds (one test-and-set attempt each, whether the
// whole-file lock could be had or not) of the requests that reached the file.
struct TORQLockCounters {
    int64_t Requests = 0;         // requests that reached the file
    int64_t Rounds = 0;           // their rounds
    int32_t LastRounds = 0;       // rounds of the last such request, granted or not
    int32_t LastPostRounds = 0;   // rounds of the last granted post lock, across a post wait
    int64_t PendingMarks = 0;     // pending marks set
    int64_t PendingRefusals = 0;  // rounds of read requests refused for a pending writer
    int64_t ReaderTurns = 0;      // first rounds of post requests that let waiting readers in
};

class TORQActiveSessionsFile {
public:
    explicit TORQActiveSessionsFile(TORQDiskPageManager* PageManager);
    ~TORQActiveSessionsFile();
    TORQActiveSessionsFile(const TORQActiveSessionsFile&) = delete;
    TORQActiveSessionsFile& operator=(const TORQActiveSessionsFile&) = delete;

    // A new file of ConnectionCount bytes, closed again; answers its first page. Its pages
    // belong to session -2 until the caller commits it.
    int32_t CreateSessionsFile(int32_t ConnectionCount);
    void OpenSessionsFile(int32_t FirstPage);
    void CloseSessionsFile();
    bool IsOpen() const;

    // Multi-user (the page manager's shared access): the first session byte this call can
    // lock; 20094 when none is free. Otherwise 0, nothing locked.
    int32_t ConnectSession();
    void DisconnectSession(int32_t SessionNumber);
    // Locks every session byte when none is held by anyone; false otherwise. The bytes are
    // held as one region (one lock call, not one per session): a probe or lock of any of
    // them by another handle still meets it, and only UnlockAllSessions gives it back.
    bool LockAllSessions();
    void UnlockAllSessions();

    int32_t ConnectionCount() const { return FConnectionCount; }

private:
    // 20156 while closed.
    TORQDirectFileAccess& File(const char* Operation) const;
    bool TakeFileLock();

    TORQDiskPageManager* FPageManager;
    std::unique_ptr<TORQDirectFileAccess> FFile;
    int32_t FConnectionCount = 0;
};

class TORQTableLocksFile {
public:
    explicit TORQTableLocksFile(TORQDiskPageManager* PageManager);
    ~TORQTableLocksFile();
    TORQTableLocksFile(const TORQTableLocksFile&) = delete;
    TORQTableLocksFile& operator=(const TORQTableLocksFile&) = delete;

    // A new file of 12 x SessionCount bytes, left open; answers its first page. Its pages
    // belong to session -2 until the caller commits it.
    int32_t CreateLocksFile(int32_t SessionCount);
    // FirstPage -1: the open file's.
    void DeleteLocksFile(int32_t FirstPage = -1);
    void OpenLocksFile(int32_t FirstPage);
    void CloseLocksFile();
    bool IsOpen() const;
    // The first page, which identifies the table; 10483 when not open.
    int32_t GetLocksFileID() const;
    int32_t SessionCount() const { return FSessionCount; }

    bool LockLocksFile();
    bool UnlockLocksFile();

    // 20200 for a session outside 0 .. S - 1. Type 6 has no byte: false.
    bool SetLockByte(int32_t SessionID, uint8_t LockType);
    bool ClearLockByte(int32_t SessionID, uint8_t LockType);
    bool IsLockedByOthers(int32_t SessionID, uint8_t LockType);
    bool CanSetLock(int32_t SessionID, uint8_t LockType, uint8_t Mode);
    bool SetRecordLockByte(int32_t SessionID, const TORQRecordID& RecordID);
    bool ClearRecordLockByte(int32_t SessionID);
    bool IsRecordLockedByOthers(int32_t SessionID, const TORQRecordID& RecordID);

    // OwnBytes: bit t set when this session may hold its own byte of type t (probed
    // around it); without the bit the whole row is probed at once.
    bool CanSetLock(int32_t SessionID, uint8_t LockType, uint8_t Mode, uint32_t OwnBytes);
    bool SetPendingByte(int32_t SessionID);
    bool ClearPendingByte(int32_t SessionID);
    // Another session's pending mark; OwnHeld: probe around this session's own mark.
    bool IsPendingByOthers(int32_t SessionID, bool OwnHeld);
    // Whether anyone (this handle included) holds a byte of rows FirstRow .. FirstRow +
    // Rows - 1: one probe that, when it finds nothing, answers for every session at once.
    bool IsAnyRowByteHeld(int32_t FirstRow, int32_t Rows);
    bool SetReaderWaitByte(int32_t SessionID);
    bool ClearReaderWaitByte(int32_t SessionID);
    bool IsReaderWaitingByOthers(int32_t SessionID, bool OwnHeld);

private:
    TORQDirectFileAccess& File(int32_t Code) const;
    void CheckSession(int32_t SessionID) const;

    TORQDiskPageManager* FPageManager;
    std::unique_ptr<TORQDirectFileAccess> FFile;
    int32_t FSessionCount = 0;
};

// One lock of a session on a table (in memory only).
struct TORQTableLockEntry {
    uint8_t LockType = 0;
    // The first page of the table's table-locks file.
    int32_t TableKey = -1;
    int32_t UseCount = 0;
    uint8_t FileByteHeld = 0;
    // The mode of the request that made the entry, or 1.
    uint8_t Mode = 1;
    // Record locks: the record, so that a byte handed over later carries it.
    TORQRecordID RecordID;
};

class TORQTableLockList {
public:
    // Index of the entry, or -1.
    int32_t Find(uint8_t LockType, int32_t TableKey) const;
    bool Holds(uint8_t LockType, int32_t TableKey) const { return Find(LockType, TableKey) >= 0; }
    // Whether some entry on the table covers LockType.
    bool Covers(uint8_t LockType, int32_t TableKey) const;
    void Add(const TORQTableLockEntry& Entry) { Items.push_back(Entry); }
    void Delete(int32_t Index) { Items.erase(Items.begin() + Index); }
    int32_t Count() const { return static_cast<int32_t>(Items.size()); }

    std::vector<TORQTableLockEntry> Items;
    // Tables (keys) whose pending mark the session holds, and those inside a post wait
    // with the rounds the wait has run.
    std::vector<int32_t> PendingTables;
    std::vector<std::pair<int32_t, int32_t>> PostWaits;
};

class TORQDatabaseTableLockManager {
public:
    TORQDatabaseTableLockManager(int32_t SessionCount, TORQDiskPageManager* PageManager);
    // Never throws; Close() makes the check.
    ~TORQDatabaseTableLockManager();
    TORQDatabaseTableLockManager(const TORQDatabaseTableLockManager&) = delete;
    TORQDatabaseTableLockManager& operator=(const TORQDatabaseTableLockManager&) = delete;

    // 20201 while some session still holds a lock.
    void Close();

    // LockHeld: the caller holds the manager's critical section already.
    // WaitsTurn false: a read lock that reads nothing of the table (a memo opened to be
    // written) is not held back by pending writers.
    bool SetTableLock(int32_t SessionID, uint8_t LockType, uint8_t Mode, bool LockHeld, int32_t Delay,
                      int32_t Tries, TORQTableLocksFile& LocksFile, bool WaitsTurn = true);
    bool ReleaseTableLock(int32_t SessionID, uint8_t LockType, bool Force, bool OnlyIfHeld,
                          TORQTableLocksFile& LocksFile);
    bool LockRecord(int32_t SessionID, TORQTableLocksFile& LocksFile, int32_t Delay, int32_t Tries,
                    const TORQRecordID& RecordID);
    bool UnlockRecord(int32_t SessionID, TORQTableLocksFile& LocksFile, const TORQRecordID& RecordID);
    // Before a commit: the post lock on every table the session holds in transaction.
    bool LockTablesForCommit(int32_t SessionID);
    // When a transaction ends: edit locks kept where records stay locked, then the
    // transaction and post locks go.
    bool UnlockTransactionTables(int32_t SessionID);

    // Around a caller's own loop of one-try post requests: the pending mark a refused
    // try sets stays until a try is granted or the wait ends. Waits do not nest.
    void BeginPostWait(int32_t SessionID, TORQTableLocksFile& LocksFile);
    void EndPostWait(int32_t SessionID, TORQTableLocksFile& LocksFile);

    TORQLockCounters Counters() const;

    int32_t SessionCount() const { return FSessionCount; }
    const TORQTableLockList& LockList(int32_t SessionID) const;
    std::recursive_mutex& CriticalSection() { return FCriticalSection; }

private:
    TORQTableLockList& List(int32_t SessionID);
    // Sleeps outside the critical section unless the caller holds it.
    void SleepOutside(std::unique_lock<std::recursive_mutex>& Guard, int32_t Milliseconds);
    bool LockFileWithRetries(TORQTableLocksFile& LocksFile, std::unique_lock<std::recursive_mutex>& Guard);
    // The whole-file lock, asked again after short waits while another test-and-set has it.
    bool LockFileBriefly(TORQTableLocksFile& LocksFile, std::unique_lock<std::recursive_mutex>& Guard);
    void ClearPending(TORQTableLockList& List, int32_t SessionID, TORQTableLocksFile& LocksFile);
    // Bit t set: the session may hold its own byte of type t on the table (bit 7: its
    // pending mark, bit 8: its reader-wait mark).
    static uint32_t OwnBytes(const TORQTableLockList& List, int32_t Table);
    // The session is inside an operation on another table.
    static bool BusyElsewhere(const TORQTableLockList& List, int32_t Table);

    int32_t FSessionCount;
    std::vector<TORQTableLockList> FLists;
    std::recursive_mutex FCriticalSection;
    TORQDiskPageManager* FPageManager;
    TORQLockCounters FCounters;
};

}  // namespace orq
