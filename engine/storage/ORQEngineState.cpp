#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemEngine.h"
#include "engine/storage/ORQTempEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDefinitions.h"

namespace orq {

namespace {

// std::mutex has a constant initialiser, so none of these needs code before main.
constinit std::mutex GStateMutex;
constinit TORQDatabaseList* GDatabases = nullptr;
constinit TORQSessionComponentManager* GSessionComponentManager = nullptr;
constinit std::atomic<bool> GDesignTime{false};

constinit std::mutex GRandomMutex;
constinit TORQRandom GRandom;

constinit std::mutex GTimeMutex;
// Made on first use (std::function has no constant initialiser).
TORQSleeper& GSleeper() {
    static TORQSleeper sleeper;
    return sleeper;
}
TORQClock& GClock() {
    static TORQClock clock;
    return clock;
}

[[noreturn]] void RaiseNotInitialized() { RaiseNative(20007, "Database Engine is not initialized"); }

}  // namespace

// ---------------------------------------------------------------------------------
// TORQDatabaseList

TORQDatabaseList::~TORQDatabaseList() {
    // Each database is taken off the list before it is freed; its destructor then finds
    // nothing to remove.
    for (;;) {
        TORQDatabaseData* d;
        {
            std::lock_guard guard(FMutex);
            if (FItems.empty()) break;
            d = FItems.back();
            FItems.pop_back();
        }
        delete d;
    }
}

void TORQDatabaseList::Add(TORQDatabaseData* Database) {
    std::lock_guard guard(FMutex);
    if (std::find(FItems.begin(), FItems.end(), Database) == FItems.end()) FItems.push_back(Database);
}

bool TORQDatabaseList::Remove(TORQDatabaseData* Database) {
    std::lock_guard guard(FMutex);
    auto it = std::find(FItems.begin(), FItems.end(), Database);
    if (it == FItems.end()) return false;
    FItems.erase(it);
    return true;
}

bool TORQDatabaseList::Free(TORQDatabaseData* Database) {
    if (!Remove(Database)) return false;
    delete Database;
    return true;
}

TORQDatabaseData* TORQDatabaseList::Find(std::string_view Name) const {
    std::lock_guard guard(FMutex);
    for (TORQDatabaseData* d : FItems)
        if (SameName(d->DatabaseName, Name)) return d;
    return nullptr;
}

TORQDatabaseData* TORQDatabaseList::FindIf(const std::function<bool(const TORQDatabaseData&)>& Predicate) const {
    std::lock_guard guard(FMutex);
    for (TORQDatabaseData* d : FItems)
        if (Predicate(*d)) return d;
    return nullptr;
}

bool TORQDatabaseList::Contains(const TORQDatabaseData* Database) const {
    std::lock_guard guard(FMutex);
    return std::find(FItems.begin(), FItems.end(), Database) != FItems.end();
}

int32_t TORQDatabaseList::Count() const {
    std::lock_guard guard(FMutex);
    return static_cast<int32_t>(FItems.size());
}

// ---------------------------------------------------------------------------------
// Start and stop

void StartStorageEngine() {
    std::lock_guard guard(GStateMutex);
    if (GDatabases != nullptr) return;
    auto databases = std::make_unique<TORQDatabaseList>();
    auto manager = std::make_unique<TORQSessionComponentManager>();
    GDesignTime = false;
    // The process-wide in-memory and temporary databases are listed from the start.
    databases->Add(new TORQMemoryDatabaseData);
    databases->Add(new TORQTemporaryDatabaseData);
    GDatabases = databases.release();
    GSessionComponentManager = manager.release();
}

void StopStorageEngine() {
    TORQDatabaseList* databases;
    TORQSessionComponentManager* manager;
    {
        std::lock_guard guard(GStateMutex);
        databases = GDatabases;
        manager = GSessionComponentManager;
        GSessionComponentManager = nullptr;
    }
    // The databases go while the list is still reachable, so each one's destructor can
    // take itself off it.
    delete databases;
    {
        std::lock_guard guard(GStateMutex);
        GDatabases = nullptr;
    }
    delete manager;
}

bool StorageEngineStarted() {
    std::lock_guard guard(GStateMutex);
    return GSessionComponentManager != nullptr;
}

TORQDatabaseList& DatabaseList() {
    std::lock_guard guard(GStateMutex);
    if (GDatabases == nullptr || GSessionComponentManager == nullptr) RaiseNotInitialized();
    return *GDatabases;
}

TORQSessionComponentManager& SessionComponentManager() {
    std::lock_guard guard(GStateMutex);
    if (GSessionComponentManager == nullptr) RaiseNotInitialized();
    return *GSessionComponentManager;
}

void RemoveFromDatabaseList(TORQDatabaseData* Database) {
    std::lock_guard guard(GStateMutex);
    if (GDatabases != nullptr) GDatabases->Remove(Database);
}

bool IsDesignTime() { return GDesignTime.load(); }
void SetDesignTime(bool Value) { GDesignTime.store(Value); }

// ---------------------------------------------------------------------------------
// Random numbers

int32_t TORQRandom::Random(int32_t Range) {
    FSeed = FSeed * 134775813u + 1u;
    if (Range <= 0) return 0;
    return static_cast<int32_t>((static_cast<uint64_t>(FSeed) * static_cast<uint64_t>(Range)) >> 32);
}

int32_t EngineRandom(int32_t Range) {
    std::lock_guard guard(GRandomMutex);
    return GRandom.Random(Range);
}

void SetEngineRandomSeed(uint32_t Seed) {
    std::lock_guard guard(GRandomMutex);
    GRandom.SetSeed(Seed);
}

// ---------------------------------------------------------------------------------
// Sleeping and the clock

void SetEngineSleeper(TORQSleeper Sleeper) {
    std::lock_guard guard(GTimeMutex);
    GSleeper() = std::move(Sleeper);
}

void SetEngineClock(TORQClock Clock) {
    std::lock_guard guard(GTimeMutex);
    GClock() = std::move(Clock);
}

void EngineSleep(int32_t Milliseconds) {
    if (Milliseconds <= 0) return;
    TORQSleeper sleeper;
    {
        std::lock_guard guard(GTimeMutex);
        sleeper = GSleeper();
    }
    if (sleeper)
        sleeper(Milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

int64_t EngineTickCount() {
    TORQClock clock;
    {
        std::lock_guard guard(GTimeMutex);
        clock = GClock();
    }
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void EngineSleepRandom(int32_t Delay) {
    const int32_t half = Delay / 2;
    EngineSleep(half + EngineRandom(half));
}

namespace {

std::atomic<uint64_t> GCommitWrites{0};

// The codes of a database file failing: reads, writes, syncs, size changes, the commit
// journal, and a file left needing repair.
bool IsFileFailure(int32_t Code) {
    return (Code >= 10459 && Code <= 10477) || Code == 20154 || Code == 20197 || Code == 20198 || Code == 20300 ||
           (Code >= 30361 && Code <= 30379) || (Code >= 30399 && Code <= 30404) || (Code >= 31480 && Code <= 31482);
}

}  // namespace

uint64_t CommitWriteCount() { return GCommitWrites.load(); }
void NoteCommitWrite() { GCommitWrites.fetch_add(1); }

bool MayRetryAfter(const std::exception_ptr& Failure, uint64_t Before) {
    if (GCommitWrites.load() != Before) return false;
    try {
        std::rethrow_exception(Failure);
    } catch (const EORQException& e) {
        return !IsFileFailure(e.NativeError());
    } catch (...) {
        return true;
    }
}

}  // namespace orq
