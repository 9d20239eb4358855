// The engine's process-wide state: the list of open database objects, the session
// component manager whose presence marks the engine as started, the design-time flag,
// the engine's random numbers, and the one sleeper and clock every retry loop uses.
//
// Rules kept here:
// - Nothing is made by a static initialiser. StartStorageEngine makes the state and
//   StopStorageEngine frees it; both may be called again (a second start or stop does
//   nothing). Between a stop and the next start, asking for the state raises 20007.
// - The database list owns what is entered in it. Entering, removing and looking up
//   take the list's own mutex, never a database's lock while holding it, so a
//   database's destructor may remove itself from the list while another thread
//   looks something up.
// - Every wait for another process sleeps through EngineSleep and measures through
//   EngineTickCount, so tests install a sleeper and clock that take no time.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace orq {

class TORQDatabaseData;
class TORQSessionComponentManager;

// The engine-wide list of database objects (one per open database file, plus the
// process-wide in-memory and temporary databases).
class TORQDatabaseList {
public:
    TORQDatabaseList() = default;
    // Frees every database still entered.
    ~TORQDatabaseList();
    TORQDatabaseList(const TORQDatabaseList&) = delete;
    TORQDatabaseList& operator=(const TORQDatabaseList&) = delete;

    // Enters Database and takes ownership; entering one already listed does nothing.
    void Add(TORQDatabaseData* Database);
    // Takes Database out without freeing it; false when it was not listed.
    bool Remove(TORQDatabaseData* Database);
    // Takes Database out and frees it; false (nothing freed) when it was not listed.
    bool Free(TORQDatabaseData* Database);
    // The first database whose name equals Name (ASCII case folding), or nil.
    TORQDatabaseData* Find(std::string_view Name) const;
    // The first database Predicate accepts, or nil. Predicate runs under the list's mutex:
    // it must not enter, remove or free a database.
    TORQDatabaseData* FindIf(const std::function<bool(const TORQDatabaseData&)>& Predicate) const;
    bool Contains(const TORQDatabaseData* Database) const;
    int32_t Count() const;

private:
    mutable std::mutex FMutex;
    std::vector<TORQDatabaseData*> FItems;
};

// Makes the state (database list, session component manager) and clears the
// design-time flag; nothing when already started.
void StartStorageEngine();
// Frees the databases of the list and the session component manager; nothing when
// not started.
void StopStorageEngine();
bool StorageEngineStarted();

// 20007 "Database Engine is not initialized" while the engine is stopped.
TORQDatabaseList& DatabaseList();
// 20007 "Database Engine is not initialized" while no instance exists.
TORQSessionComponentManager& SessionComponentManager();

// Takes Database out of the engine-wide list when the engine runs and lists it
// (what a database's destructor calls); nothing otherwise.
void RemoveFromDatabaseList(TORQDatabaseData* Database);

// The design-time flag: set only while a component is edited in a form designer,
// never at run time; false after every start.
bool IsDesignTime();
void SetDesignTime(bool Value);

// A seedable linear congruential generator (multiplier 134775813, increment 1, the
// 32-bit seed advanced before each draw). Random(Range) is the high 32 bits of
// seed * Range, so it lies in [0, Range); Random(0) and negative ranges give 0.
class TORQRandom {
public:
    constexpr explicit TORQRandom(uint32_t Seed = 0) : FSeed(Seed) {}
    void SetSeed(uint32_t Seed) { FSeed = Seed; }
    uint32_t Seed() const { return FSeed; }
    int32_t Random(int32_t Range);

private:
    uint32_t FSeed;
};

// The engine's shared generator, under its own mutex.
int32_t EngineRandom(int32_t Range);
void SetEngineRandomSeed(uint32_t Seed);

// Sleeps Milliseconds (0 or less: does nothing) through the installed sleeper.
using TORQSleeper = std::function<void(int32_t Milliseconds)>;
// Monotonic milliseconds.
using TORQClock = std::function<int64_t()>;

// An empty function puts the real one back.
void SetEngineSleeper(TORQSleeper Sleeper);
void SetEngineClock(TORQClock Clock);
void EngineSleep(int32_t Milliseconds);
int64_t EngineTickCount();
// The retry loops' wait: Delay div 2 + EngineRandom(Delay div 2) milliseconds, that
// is half to all of the delay.
void EngineSleepRandom(int32_t Delay);

// Commits that began writing to a disk database, counted process-wide. A retry loop
// compares the count from before an attempt: an attempt that reached a commit is never
// run again, whatever became of that commit.
uint64_t CommitWriteCount();
void NoteCommitWrite();
// Whether an attempt that failed with Failure may run again: no commit began writing
// since Before, and the failure is none of the file itself (a read, write, sync or
// journal error, or a file needing repair), which trying again cannot mend.
bool MayRetryAfter(const std::exception_ptr& Failure, uint64_t Before);

}  // namespace orq
