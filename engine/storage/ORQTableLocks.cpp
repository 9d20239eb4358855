#include "engine/storage/ORQTableLocks.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQInternalFiles.h"
#include "engine/storage/ORQSecurity.h"

namespace orq {

namespace {

// Rows: the lock held; columns: the lock requested.
constexpr std::array<std::array<uint8_t, 7>, 7> Compatibility = {{
    {1, 1, 1, 1, 1, 1, 0},
    {1, 1, 1, 1, 0, 1, 0},
    {1, 1, 1, 0, 1, 1, 0},
    {1, 1, 0, 0, 0, 1, 0},
    {1, 0, 1, 0, 0, 1, 0},
    {1, 1, 1, 1, 1, 1, 0},
    {0, 0, 0, 0, 0, 0, 0},
}};

constexpr char SessionsFileUnlockText[] = "Cannot unlock sessions file";

TORQDirectFileFactory& Factory() {
    static TORQDirectFileFactory factory;
    return factory;
}

[[noreturn]] void RaiseClosed(const char* Operation) {
    RaiseNativeFmt(20156, "Cannot perform this operation (%s) on closed internal file", {std::string(Operation)});
}

// The direct internal file has no close of its own: a closed one is a fresh object.
class TEngineDirectFile final : public TORQDirectFileAccess {
public:
    TEngineDirectFile(TORQDiskPageManager* PageManager, uint16_t PageType)
        : FPageManager(PageManager), FPageType(PageType),
          FFile(std::make_unique<TORQInternalDBDirectAccessFile>(*PageManager, PageType)) {}
    int32_t CreateFile(int32_t Size) override {
        FFile->CreateFile(Size);
        return FFile->FirstPage();
    }
    void OpenFile(int32_t FirstPage) override { FFile->OpenFile(FirstPage); }
    void DeleteFile(int32_t FirstPage) override { FFile->DeleteFile(FirstPage); }
    void CloseFile() override { FFile = std::make_unique<TORQInternalDBDirectAccessFile>(*FPageManager, FPageType); }
    int32_t FirstPage() const override { return FFile->FirstPage(); }
    int32_t GetSize() override { return FFile->GetSize(); }
    int32_t OpenSize() const override { return FFile->FileSize(); }
    int32_t DirectReadBuffer(void* Buffer, int32_t Count, int32_t Position) override {
        return FFile->DirectReadBuffer(Buffer, Count, Position);
    }
    int32_t DirectWriteBuffer(const void* Buffer, int32_t Count, int32_t Position) override {
        return FFile->DirectWriteBuffer(Buffer, Count, Position);
    }
    bool LockFile() override { return FFile->LockFile(); }
    bool UnlockFile() override { return FFile->UnlockFile(); }
    bool LockByte(int32_t Position) override { return FFile->LockByte(Position); }
    bool UnlockByte(int32_t Position) override { return FFile->UnlockByte(Position); }
    bool IsByteLocked(int32_t Position) override { return FFile->IsByteLocked(Position); }
    bool IsRegionLocked(int32_t Position, int32_t Count) override { return FFile->IsRegionLocked(Position, Count); }
    bool LockRegion(int32_t Position, int32_t Count) override { return FFile->LockRegion(Position, Count); }
    bool UnlockRegion(int32_t Position, int32_t Count) override { return FFile->UnlockRegion(Position, Count); }

private:
    TORQDiskPageManager* FPageManager;
    uint16_t FPageType;
    std::unique_ptr<TORQInternalDBDirectAccessFile> FFile;
};

}  // namespace

void SetDirectFileFactory(TORQDirectFileFactory NewFactory) { Factory() = std::move(NewFactory); }

std::unique_ptr<TORQDirectFileAccess> MakeEngineDirectFile(TORQDiskPageManager* PageManager, uint16_t PageType) {
    return std::make_unique<TEngineDirectFile>(PageManager, PageType);
}

std::unique_ptr<TORQDirectFileAccess> MakeDirectFile(TORQDiskPageManager* PageManager, uint16_t PageType) {
    if (Factory()) return Factory()(PageManager, PageType);
    return MakeEngineDirectFile(PageManager, PageType);
}

bool LocksCompatible(uint8_t Held, uint8_t Requested) {
    return Held <= MaxLockType && Requested <= MaxLockType && Compatibility[Held][Requested] != 0;
}

int32_t LockRetryWait(int32_t Delay, int32_t Attempt) {
    if (Delay <= 0) return 0;
    const int32_t cap = std::max(Delay, 1);
    const int32_t grown = Attempt >= 60 ? cap : std::min(cap, int32_t{1} << std::max(Attempt / 2, 0));
    const int32_t half = grown / 2;
    return std::max(grown - half + EngineRandom(half), 1);
}

bool LockCovers(uint8_t Held, uint8_t Requested) {
    if (Held > MaxLockType || Requested > MaxLockType) return false;
    for (uint8_t i = 0; i <= MaxLockType; ++i)
        if (Compatibility[Held][i] != 0 && Compatibility[Requested][i] == 0) return false;
    return true;
}

// ---------------------------------------------------------------------------------
// Active-sessions file

TORQActiveSessionsFile::TORQActiveSessionsFile(TORQDiskPageManager* PageManager) : FPageManager(PageManager) {}

TORQActiveSessionsFile::~TORQActiveSessionsFile() = default;

int32_t TORQActiveSessionsFile::CreateSessionsFile(int32_t ConnectionCount) {
    std::unique_ptr<TORQDirectFileAccess> file = MakeDirectFile(FPageManager, ptActiveSessionList);
    const int32_t first = file->CreateFile(ConnectionCount);
    file->CloseFile();
    return first;
}

void TORQActiveSessionsFile::OpenSessionsFile(int32_t FirstPage) {
    std::unique_ptr<TORQDirectFileAccess> file = MakeDirectFile(FPageManager, ptActiveSessionList);
    file->OpenFile(FirstPage);
    FConnectionCount = std::min(file->GetSize(), file->OpenSize());
    FFile = std::move(file);
}

void TORQActiveSessionsFile::CloseSessionsFile() {
    if (FFile) FFile->CloseFile();
    FFile.reset();
    FConnectionCount = 0;
}

bool TORQActiveSessionsFile::IsOpen() const { return FFile && FFile->FirstPage() >= 0; }

TORQDirectFileAccess& TORQActiveSessionsFile::File(const char* Operation) const {
    if (!IsOpen()) RaiseClosed(Operation);
    return *FFile;
}

bool TORQActiveSessionsFile::TakeFileLock() {
    return RetryWithSleep(FileLockTries, FileLockDelay, [this] { return FFile->LockFile(); });
}

// Without the whole-file lock nothing is scanned or changed: the release would fail and
// raise anyway, and a byte claimed on the way would stay held with no session to own it.
int32_t TORQActiveSessionsFile::ConnectSession() {
    if (FPageManager->SharedAccess == 0) return 0;
    TORQDirectFileAccess& file = File("ConnectSession");
    if (!TakeFileLock()) RaiseNative(20093, SessionsFileUnlockText);
    int32_t number = -1;
    try {
        for (int32_t k = 0; k < FConnectionCount && number < 0; ++k)
            if (file.LockByte(k)) number = k;
    } catch (...) {
        file.UnlockFile();
        throw;
    }
    if (!file.UnlockFile()) {
        if (number >= 0) file.UnlockByte(number);
        RaiseNative(20093, SessionsFileUnlockText);
    }
    if (number < 0)
        RaiseNative(20094,
                    "Cannot connect session. Maximum connections quantity exceeded or database is open in "
                    "single-user mode");
    return number;
}

void TORQActiveSessionsFile::DisconnectSession(int32_t SessionNumber) {
    if (FPageManager->SharedAccess == 0) return;
    TORQDirectFileAccess& file = File("DisconnectSession");
    const bool guarded = TakeFileLock();
    const bool released = SessionNumber >= 0 && SessionNumber < FConnectionCount && file.UnlockByte(SessionNumber);
    const bool fileUnlocked = guarded && file.UnlockFile();
    if (!released) RaiseNative(20095, "Cannot disconnect session");
    if (!fileUnlocked) RaiseNative(20096, SessionsFileUnlockText);
}

// Runs only under the whole-file lock: a probe followed by locking the region is a
// test-and-set only while no connect can slip in between. A region that still cannot be
// locked leaves nothing held.
bool TORQActiveSessionsFile::LockAllSessions() {
    TORQDirectFileAccess& file = File("LockAllSessions");
    if (!TakeFileLock()) RaiseNative(20240, SessionsFileUnlockText);
    bool all = false;
    try {
        all = !file.IsRegionLocked(0, FConnectionCount) && file.LockRegion(0, FConnectionCount);
    } catch (...) {
        file.UnlockFile();
        throw;
    }
    if (!file.UnlockFile()) {
        if (all) file.UnlockRegion(0, FConnectionCount);
        RaiseNative(20240, SessionsFileUnlockText);
    }
    return all;
}

void TORQActiveSessionsFile::UnlockAllSessions() {
    TORQDirectFileAccess& file = File("UnlockAllSessions");
    const bool guarded = TakeFileLock();
    file.UnlockRegion(0, FConnectionCount);
    if (!guarded || !file.UnlockFile()) RaiseNative(20241, SessionsFileUnlockText);
}

// ---------------------------------------------------------------------------------
// Table-locks file

TORQTableLocksFile::TORQTableLocksFile(TORQDiskPageManager* PageManager) : FPageManager(PageManager) {}

TORQTableLocksFile::~TORQTableLocksFile() = default;

int32_t TORQTableLocksFile::CreateLocksFile(int32_t SessionCount) {
    std::unique_ptr<TORQDirectFileAccess> file = MakeDirectFile(FPageManager, ptTableLocks);
    const int32_t first = file->CreateFile(12 * SessionCount);
    FFile = std::move(file);
    FSessionCount = SessionCount;
    return first;
}

void TORQTableLocksFile::DeleteLocksFile(int32_t FirstPage) {
    if (!FFile) FFile = MakeDirectFile(FPageManager, ptTableLocks);
    FFile->DeleteFile(FirstPage);
    FSessionCount = 0;
}

void TORQTableLocksFile::OpenLocksFile(int32_t FirstPage) {
    std::unique_ptr<TORQDirectFileAccess> file = MakeDirectFile(FPageManager, ptTableLocks);
    file->OpenFile(FirstPage);
    FSessionCount = file->GetSize() / 12;
    FFile = std::move(file);
}

void TORQTableLocksFile::CloseLocksFile() {
    if (FFile) FFile->CloseFile();
    FFile.reset();
    FSessionCount = 0;
}

bool TORQTableLocksFile::IsOpen() const { return FFile && FFile->FirstPage() >= 0; }

TORQDirectFileAccess& TORQTableLocksFile::File(int32_t Code) const {
    if (!IsOpen()) RaiseNative(Code, "Nil pointer occured");
    return *FFile;
}

int32_t TORQTableLocksFile::GetLocksFileID() const { return File(10483).FirstPage(); }

bool TORQTableLocksFile::LockLocksFile() {
    if (!IsOpen()) RaiseClosed("LockFile");
    return FFile->LockFile();
}

bool TORQTableLocksFile::UnlockLocksFile() {
    if (!IsOpen()) RaiseClosed("UnlockFile");
    return FFile->UnlockFile();
}

void TORQTableLocksFile::CheckSession(int32_t SessionID) const {
    if (SessionID < 0 || SessionID >= FSessionCount)
        RaiseNative(20200,
                    "Cannot set table lock. Try to repair database or to increase number of allowed connections");
}

bool TORQTableLocksFile::SetLockByte(int32_t SessionID, uint8_t LockType) {
    TORQDirectFileAccess& file = File(10489);
    CheckSession(SessionID);
    if (LockType >= ltExclusive) return false;
    return file.LockByte(LockType * FSessionCount + SessionID);
}

bool TORQTableLocksFile::ClearLockByte(int32_t SessionID, uint8_t LockType) {
    TORQDirectFileAccess& file = File(10490);
    CheckSession(SessionID);
    if (LockType >= ltExclusive) return false;
    return file.UnlockByte(LockType * FSessionCount + SessionID);
}

namespace {

// Another session's byte in the row of S bytes at Base; around Own when it may be held.
bool RowHeldByOthers(TORQDirectFileAccess& File, int32_t Base, int32_t Count, int32_t Own, bool OwnHeld) {
    if (!OwnHeld) return File.IsRegionLocked(Base, Count);
    return File.IsRegionLocked(Base, Own) || File.IsRegionLocked(Base + Own + 1, Count - Own - 1);
}

}  // namespace

bool TORQTableLocksFile::IsLockedByOthers(int32_t SessionID, uint8_t LockType) {
    TORQDirectFileAccess& file = File(10491);
    CheckSession(SessionID);
    if (LockType >= ltExclusive) return false;
    return RowHeldByOthers(file, LockType * FSessionCount, FSessionCount, SessionID, true);
}

bool TORQTableLocksFile::CanSetLock(int32_t SessionID, uint8_t LockType, uint8_t Mode) {
    return CanSetLock(SessionID, LockType, Mode, ~uint32_t{0});
}

bool TORQTableLocksFile::CanSetLock(int32_t SessionID, uint8_t LockType, uint8_t Mode, uint32_t OwnBytes) {
    TORQDirectFileAccess& file = File(10491);
    for (uint8_t held = 0; held < ltExclusive; ++held) {
        if (LocksCompatible(held, LockType)) continue;
        // A transaction lock asked for with a mode other than 0 lives beside others' edits.
        if (Mode != 0 && LockType == ltTransaction && held == ltEdit) continue;
        CheckSession(SessionID);
        if (RowHeldByOthers(file, held * FSessionCount, FSessionCount, SessionID, (OwnBytes >> held & 1u) != 0))
            return false;
    }
    // Type 6 has no byte: its holder keeps the whole-file lock, which the caller holds.
    return true;
}

bool TORQTableLocksFile::SetPendingByte(int32_t SessionID) {
    TORQDirectFileAccess& file = File(10489);
    CheckSession(SessionID);
    return file.LockByte(6 * FSessionCount + SessionID);
}

bool TORQTableLocksFile::ClearPendingByte(int32_t SessionID) {
    TORQDirectFileAccess& file = File(10490);
    CheckSession(SessionID);
    return file.UnlockByte(6 * FSessionCount + SessionID);
}

bool TORQTableLocksFile::IsAnyRowByteHeld(int32_t FirstRow, int32_t Rows) {
    TORQDirectFileAccess& file = File(10491);
    return file.IsRegionLocked(FirstRow * FSessionCount, Rows * FSessionCount);
}

bool TORQTableLocksFile::SetReaderWaitByte(int32_t SessionID) {
    TORQDirectFileAccess& file = File(10489);
    CheckSession(SessionID);
    return file.LockByte(7 * FSessionCount + SessionID);
}

bool TORQTableLocksFile::ClearReaderWaitByte(int32_t SessionID) {
    TORQDirectFileAccess& file = File(10490);
    CheckSession(SessionID);
    return file.UnlockByte(7 * FSessionCount + SessionID);
}

bool TORQTableLocksFile::IsReaderWaitingByOthers(int32_t SessionID, bool OwnHeld) {
    TORQDirectFileAccess& file = File(10491);
    CheckSession(SessionID);
    return RowHeldByOthers(file, 7 * FSessionCount, FSessionCount, SessionID, OwnHeld);
}

bool TORQTableLocksFile::IsPendingByOthers(int32_t SessionID, bool OwnHeld) {
    TORQDirectFileAccess& file = File(10491);
    CheckSession(SessionID);
    return RowHeldByOthers(file, 6 * FSessionCount, FSessionCount, SessionID, OwnHeld);
}

bool TORQTableLocksFile::SetRecordLockByte(int32_t SessionID, const TORQRecordID& RecordID) {
    TORQDirectFileAccess& file = File(10492);
    CheckSession(SessionID);
    if (!file.LockByte(ltRecord * FSessionCount + SessionID)) return false;
    uint8_t bytes[TORQRecordID::ByteSize];
    RecordID.ToBytes(bytes);
    try {
        file.DirectWriteBuffer(bytes, TORQRecordID::ByteSize, 6 * FSessionCount + 6 * SessionID);
    } catch (...) {
        // A byte without its record would lock whatever id was written there before.
        file.UnlockByte(ltRecord * FSessionCount + SessionID);
        throw;
    }
    return true;
}

bool TORQTableLocksFile::ClearRecordLockByte(int32_t SessionID) {
    TORQDirectFileAccess& file = File(10493);
    CheckSession(SessionID);
    return file.UnlockByte(ltRecord * FSessionCount + SessionID);
}

bool TORQTableLocksFile::IsRecordLockedByOthers(int32_t SessionID, const TORQRecordID& RecordID) {
    TORQDirectFileAccess& file = File(10494);
    CheckSession(SessionID);
    const int32_t base = ltRecord * FSessionCount;
    if (!file.IsRegionLocked(base, SessionID) &&
        !file.IsRegionLocked(base + SessionID + 1, FSessionCount - SessionID - 1))
        return false;
    for (int32_t j = 0; j < FSessionCount; ++j) {
        if (j == SessionID || !file.IsByteLocked(base + j)) continue;
        uint8_t bytes[TORQRecordID::ByteSize] = {};
        file.DirectReadBuffer(bytes, TORQRecordID::ByteSize, 6 * FSessionCount + 6 * j);
        if (TORQRecordID::FromBytes(bytes) == RecordID) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------
// Lock lists

int32_t TORQTableLockList::Find(uint8_t LockType, int32_t TableKey) const {
    for (std::size_t i = 0; i < Items.size(); ++i)
        if (Items[i].LockType == LockType && Items[i].TableKey == TableKey) return static_cast<int32_t>(i);
    return -1;
}

bool TORQTableLockList::Covers(uint8_t LockType, int32_t TableKey) const {
    return std::any_of(Items.begin(), Items.end(), [&](const TORQTableLockEntry& E) {
        return E.TableKey == TableKey && LockCovers(E.LockType, LockType);
    });
}

// ---------------------------------------------------------------------------------
// Lock manager

TORQDatabaseTableLockManager::TORQDatabaseTableLockManager(int32_t SessionCount, TORQDiskPageManager* PageManager)
    : FSessionCount(std::max(SessionCount, 0)), FLists(static_cast<std::size_t>(FSessionCount)),
      FPageManager(PageManager) {}

TORQDatabaseTableLockManager::~TORQDatabaseTableLockManager() = default;

void TORQDatabaseTableLockManager::Close() {
    std::lock_guard guard(FCriticalSection);
    for (const TORQTableLockList& list : FLists)
        if (list.Count() != 0) RaiseNative(20201, "Some table locks still exist");
}

TORQTableLockList& TORQDatabaseTableLockManager::List(int32_t SessionID) {
    if (SessionID < 0 || SessionID >= FSessionCount)
        RaiseNative(20200,
                    "Cannot set table lock. Try to repair database or to increase number of allowed connections");
    return FLists[static_cast<std::size_t>(SessionID)];
}

const TORQTableLockList& TORQDatabaseTableLockManager::LockList(int32_t SessionID) const {
    return const_cast<TORQDatabaseTableLockManager*>(this)->List(SessionID);
}

void TORQDatabaseTableLockManager::SleepOutside(std::unique_lock<std::recursive_mutex>& Guard,
                                                int32_t Milliseconds) {
    if (Guard.owns_lock()) {
        Guard.unlock();
        EngineSleep(Milliseconds);
        Guard.lock();
    } else {
        EngineSleep(Milliseconds);
    }
}

bool TORQDatabaseTableLockManager::LockFileWithRetries(TORQTableLocksFile& LocksFile,
                                                       std::unique_lock<std::recursive_mutex>& Guard) {
    for (int32_t attempt = 0; attempt < FileLockTries; ++attempt) {
        if (LocksFile.LockLocksFile()) return true;
        SleepOutside(Guard, FileLockDelay);
    }
    return false;
}

bool TORQDatabaseTableLockManager::LockFileBriefly(TORQTableLocksFile& LocksFile,
                                                   std::unique_lock<std::recursive_mutex>& Guard) {
    // Another process's test-and-set holds it for microseconds; an exclusive open for long,
    // which the caller's own retries then wait out.
    for (int32_t wait = 25; wait <= 800; wait *= 2) {
        if (LocksFile.LockLocksFile()) return true;
        const bool owned = Guard.owns_lock();
        if (owned) Guard.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
        if (owned) Guard.lock();
    }
    return LocksFile.LockLocksFile();
}

uint32_t TORQDatabaseTableLockManager::OwnBytes(const TORQTableLockList& List, int32_t Table) {
    uint32_t bits = 0;
    for (const TORQTableLockEntry& e : List.Items)
        if (e.TableKey == Table && e.FileByteHeld != 0 && e.LockType < ltExclusive) bits |= 1u << e.LockType;
    if (std::find(List.PendingTables.begin(), List.PendingTables.end(), Table) != List.PendingTables.end())
        bits |= 1u << 7;
    // A reader's wait mark lives only inside its own request.
    bits |= 1u << 8;
    return bits;
}

bool TORQDatabaseTableLockManager::BusyElsewhere(const TORQTableLockList& List, int32_t Table) {
    return std::any_of(List.Items.begin(), List.Items.end(), [&](const TORQTableLockEntry& e) {
        return e.TableKey != Table && (e.LockType == ltRead || e.LockType == ltPost);
    });
}

void TORQDatabaseTableLockManager::ClearPending(TORQTableLockList& List, int32_t SessionID,
                                                TORQTableLocksFile& LocksFile) {
    const int32_t table = LocksFile.GetLocksFileID();
    const auto at = std::find(List.PendingTables.begin(), List.PendingTables.end(), table);
    if (at == List.PendingTables.end()) return;
    List.PendingTables.erase(at);
    // A mark that cannot be cleared goes with the handle; readers wait for it only as long
    // as their own tries last.
    LocksFile.ClearPendingByte(SessionID);
}

bool TORQDatabaseTableLockManager::SetTableLock(int32_t SessionID, uint8_t LockType, uint8_t Mode, bool LockHeld,
                                                int32_t Delay, int32_t Tries, TORQTableLocksFile& LocksFile,
                                                bool WaitsTurn) {
    if (FPageManager->Exclusive()) return true;
    std::unique_lock guard(FCriticalSection, std::defer_lock);
    if (!LockHeld) guard.lock();
    TORQTableLockList& list = List(SessionID);
    if (LockType > MaxLockType) RaiseNative(20203, "Cannot set table lock");
    const int32_t table = LocksFile.GetLocksFileID();

    if (const int32_t at = list.Find(LockType, table); at >= 0) {
        // Edit locks do not nest: a second edit of the same table is refused.
        if (LockType == ltEdit) return false;
        ++list.Items[static_cast<std::size_t>(at)].UseCount;
        return true;
    }
    if (list.Covers(LockType, table)) {
        list.Add({LockType, table, 1, 0, 1, {}});
        return true;
    }

    const bool post = LockType == ltPost;
    const auto waitAt = std::find_if(list.PostWaits.begin(), list.PostWaits.end(),
                                     [&](const std::pair<int32_t, int32_t>& w) { return w.first == table; });
    const bool inWait = post && waitAt != list.PostWaits.end();
    const int32_t priorRounds = inWait ? waitAt->second : 0;
    // A session inside an operation on another table is let past pending writers: it may
    // hold what they wait for.
    const bool reader = LockType == ltRead && WaitsTurn && !BusyElsewhere(list, table);
    bool readerMarked = false;
    ++FCounters.Requests;
    int32_t rounds = 0;
    const auto endRequest = [&](bool Granted) {
        FCounters.LastRounds = rounds;
        if (readerMarked) {
            readerMarked = false;
            LocksFile.ClearReaderWaitByte(SessionID);
        }
        if (!post) return;
        if (inWait) {
            for (auto& w : list.PostWaits)
                if (w.first == table) w.second = priorRounds + rounds;
        }
        if (Granted) {
            FCounters.LastPostRounds = priorRounds + rounds;
            ClearPending(list, SessionID, LocksFile);
        } else if (!inWait) {
            ClearPending(list, SessionID, LocksFile);
        }
    };
    // One test-and-set under the whole-file lock, which the caller holds. A writer's first
    // round lets readers that wait for an earlier writer in first; from its second round a
    // refused writer is pending. A reader refused waits marked, so the next writer lets it
    // in first.
    const auto test = [&](int32_t Round) {
        const uint32_t own = OwnBytes(list, table);
        bool granted = false;
        if (post && Round == 1 && LocksFile.IsReaderWaitingByOthers(SessionID, (own >> 8 & 1u) != 0)) {
            ++FCounters.ReaderTurns;
        } else if (LockType == ltRead && !LocksFile.IsAnyRowByteHeld(ltPost, 3)) {
            // No post lock, record lock or pending mark anywhere: the one row a read lock
            // conflicts with is free and no writer waits (type 6 is the whole-file lock,
            // which this request holds). The common read takes one probe.
            if (!LocksFile.SetLockByte(SessionID, LockType)) RaiseNative(20203, "Cannot set table lock");
            granted = true;
        } else if (LocksFile.CanSetLock(SessionID, LockType, Mode, own)) {
            if (reader && LocksFile.IsPendingByOthers(SessionID, (own >> 7 & 1u) != 0)) {
                ++FCounters.PendingRefusals;
            } else {
                if (LockType != ltExclusive && !LocksFile.SetLockByte(SessionID, LockType))
                    RaiseNative(20203, "Cannot set table lock");
                granted = true;
            }
        }
        if (granted) return true;
        if (post && Round >= 2 && (own >> 7 & 1u) == 0 && LocksFile.SetPendingByte(SessionID)) {
            list.PendingTables.push_back(table);
            ++FCounters.PendingMarks;
        }
        if (reader && !readerMarked && LocksFile.SetReaderWaitByte(SessionID)) readerMarked = true;
        return false;
    };
    // One round: the test, and for a pending writer a few more within a millisecond, by
    // which time readers inside one operation have left.
    const auto round = [&](int32_t Round) {
        bool pendingNow = false;
        for (int32_t wait = 0;; wait = wait == 0 ? 50 : wait * 2) {
            if (wait > 0) {
                const bool owned = guard.owns_lock();
                if (owned) guard.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(wait));
                if (owned) guard.lock();
            }
            if (!LockFileBriefly(LocksFile, guard)) return false;
            bool granted = false;
            try {
                granted = test(Round);
            } catch (...) {
                LocksFile.UnlockLocksFile();
                throw;
            }
            // An exclusive lock is the whole-file lock itself.
            if (!granted || LockType != ltExclusive) LocksFile.UnlockLocksFile();
            if (granted) {
                list.Add({LockType, table, 1, 1, Mode, {}});
                return true;
            }
            pendingNow = post && (OwnBytes(list, table) >> 7 & 1u) != 0;
            if (!pendingNow || wait >= 400) return false;
        }
    };
    try {
        for (int32_t attempt = 0; attempt < Tries; ++attempt) {
            ++rounds;
            ++FCounters.Rounds;
            if (round(priorRounds + rounds)) {
                endRequest(true);
                return true;
            }
            SleepOutside(guard, LockRetryWait(Delay, attempt));
        }
    } catch (...) {
        try {
            endRequest(false);
            if (inWait) ClearPending(list, SessionID, LocksFile);
        } catch (...) {
        }
        throw;
    }
    endRequest(false);
    return false;
}

void TORQDatabaseTableLockManager::BeginPostWait(int32_t SessionID, TORQTableLocksFile& LocksFile) {
    std::lock_guard guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    const int32_t table = LocksFile.GetLocksFileID();
    for (auto& w : list.PostWaits)
        if (w.first == table) return;
    list.PostWaits.emplace_back(table, 0);
}

void TORQDatabaseTableLockManager::EndPostWait(int32_t SessionID, TORQTableLocksFile& LocksFile) {
    std::lock_guard guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    const int32_t table = LocksFile.GetLocksFileID();
    std::erase_if(list.PostWaits, [&](const std::pair<int32_t, int32_t>& w) { return w.first == table; });
    ClearPending(list, SessionID, LocksFile);
}

TORQLockCounters TORQDatabaseTableLockManager::Counters() const {
    std::lock_guard guard(const_cast<std::recursive_mutex&>(FCriticalSection));
    return FCounters;
}

bool TORQDatabaseTableLockManager::ReleaseTableLock(int32_t SessionID, uint8_t LockType, bool Force,
                                                    bool OnlyIfHeld, TORQTableLocksFile& LocksFile) {
    if (FPageManager->Exclusive()) return true;
    std::unique_lock guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    const int32_t table = LocksFile.GetLocksFileID();
    const int32_t at = list.Find(LockType, table);
    if (at < 0) {
        if (OnlyIfHeld) return true;
        RaiseNative(20202, "Cannot remove table lock. Lock not found");
    }
    TORQTableLockEntry& found = list.Items[static_cast<std::size_t>(at)];
    if (--found.UseCount > 0 && !Force) return true;
    TORQTableLockEntry entry = found;
    entry.UseCount = std::max(entry.UseCount + 1, 1);
    list.Delete(at);
    if (entry.FileByteHeld == 0) return true;

    auto putBack = [&] {
        entry.Mode = 1;
        list.Add(entry);
    };
    // The session's own exclusive lock is the whole-file lock: it already has the file to
    // itself, and asking again would only wait for itself.
    const bool fileHeld = LockType == ltExclusive || list.Holds(ltExclusive, table);
    // Hand-over: locks this one covered take their own bytes before it goes, under the
    // whole-file lock like any byte set.
    const bool handOver = std::any_of(list.Items.begin(), list.Items.end(), [&](const TORQTableLockEntry& e) {
        return e.TableKey == table && e.FileByteHeld == 0 && LockCovers(LockType, e.LockType);
    });
    if (handOver) {
        bool handedOver = fileHeld || LockFileWithRetries(LocksFile, guard);
        if (handedOver) {
            for (TORQTableLockEntry& other : list.Items) {
                if (other.TableKey != table || other.FileByteHeld != 0 || !LockCovers(LockType, other.LockType))
                    continue;
                const bool set = other.LockType == ltRecord ? LocksFile.SetRecordLockByte(SessionID, other.RecordID)
                                                            : LocksFile.SetLockByte(SessionID, other.LockType);
                if (!set) {
                    handedOver = false;
                    break;
                }
                other.FileByteHeld = 1;
            }
            if (!fileHeld) LocksFile.UnlockLocksFile();
        }
        if (!handedOver) {
            putBack();
            return false;
        }
    }

    if (LockType == ltRead && !fileHeld) {
        // The read lock of every single read goes with one unlock of its byte: freeing a
        // byte needs no test, and others see it held or free, never half of it.
        if (!LocksFile.ClearLockByte(SessionID, LockType)) {
            putBack();
            RaiseNative(20204, "Cannot unlock table");
        }
        return true;
    }
    for (int32_t attempt = 0; attempt < FileLockTries; ++attempt) {
        if (LockType == ltExclusive) {
            if (LocksFile.UnlockLocksFile()) return true;
        } else if (fileHeld || LocksFile.LockLocksFile()) {
            const bool cleared = LocksFile.ClearLockByte(SessionID, LockType);
            if (!fileHeld) LocksFile.UnlockLocksFile();
            if (!cleared) {
                putBack();
                RaiseNative(20204, "Cannot unlock table");
            }
            return true;
        }
        SleepOutside(guard, FileLockDelay);
    }
    putBack();
    return false;
}

bool TORQDatabaseTableLockManager::LockRecord(int32_t SessionID, TORQTableLocksFile& LocksFile, int32_t Delay,
                                              int32_t Tries, const TORQRecordID& RecordID) {
    const int64_t start = EngineTickCount();
    std::unique_lock guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    const int32_t table = LocksFile.GetLocksFileID();
    // One record lock per session and table.
    if (list.Holds(ltRecord, table)) return false;
    // Nobody else can edit the table: the list alone remembers the record.
    const int32_t inTransaction = list.Find(ltTransaction, table);
    if (list.Holds(ltExclusive, table) ||
        (inTransaction >= 0 && list.Items[static_cast<std::size_t>(inTransaction)].Mode == 0)) {
        list.Add({ltRecord, table, 1, 0, 1, RecordID});
        return true;
    }
    for (int32_t attempt = 0; attempt < Tries; ++attempt) {
        if (LocksFile.LockLocksFile()) {
            bool locked = false;
            try {
                if (!LocksFile.IsRecordLockedByOthers(SessionID, RecordID)) {
                    if (!LocksFile.SetRecordLockByte(SessionID, RecordID)) RaiseNative(20205, "Cannot lock record");
                    locked = true;
                }
            } catch (...) {
                LocksFile.UnlockLocksFile();
                throw;
            }
            LocksFile.UnlockLocksFile();
            if (locked) {
                list.Add({ltRecord, table, 1, 1, 1, RecordID});
                return true;
            }
        }
        SleepOutside(guard, Delay);
        if (EngineTickCount() - start >= int64_t{Delay} * Tries) break;
    }
    return false;
}

bool TORQDatabaseTableLockManager::UnlockRecord(int32_t SessionID, TORQTableLocksFile& LocksFile,
                                                const TORQRecordID&) {
    std::unique_lock guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    const int32_t at = list.Find(ltRecord, LocksFile.GetLocksFileID());
    if (at < 0) return false;
    const TORQTableLockEntry entry = list.Items[static_cast<std::size_t>(at)];
    list.Delete(at);
    if (entry.FileByteHeld == 0) return true;
    const bool fileHeld = list.Holds(ltExclusive, entry.TableKey);
    for (int32_t attempt = 0; attempt < FileLockTries; ++attempt) {
        if (fileHeld || LocksFile.LockLocksFile()) {
            const bool cleared = LocksFile.ClearRecordLockByte(SessionID);
            if (!fileHeld) LocksFile.UnlockLocksFile();
            if (!cleared) {
                list.Add(entry);
                RaiseNative(20206, "Cannot unlock record");
            }
            return true;
        }
        SleepOutside(guard, FileLockDelay);
    }
    // Still held on the file: the list keeps it, so a later unlock can clear it.
    list.Add(entry);
    return false;
}

bool TORQDatabaseTableLockManager::LockTablesForCommit(int32_t SessionID) {
    std::unique_lock guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    if (list.Count() == 0) return true;
    std::vector<int32_t> tables;
    for (const TORQTableLockEntry& e : list.Items)
        if (e.LockType == ltTransaction) tables.push_back(e.TableKey);
    bool ok = true;
    for (const int32_t table : tables) {
        if (list.Covers(ltPost, table)) continue;
        TORQTableLocksFile file(FPageManager);
        file.OpenLocksFile(table);
        if (!SetTableLock(SessionID, ltPost, 1, true, EditLockDelay, EditLockTries, file)) {
            ok = false;
            break;
        }
    }
    if (ok) return true;
    std::vector<int32_t> posted;
    for (const TORQTableLockEntry& e : list.Items)
        if (e.LockType == ltPost) posted.push_back(e.TableKey);
    for (const int32_t table : posted) {
        TORQTableLocksFile file(FPageManager);
        file.OpenLocksFile(table);
        ReleaseTableLock(SessionID, ltPost, false, false, file);
    }
    for (const TORQTableLockEntry& e : list.Items)
        if (e.LockType == ltPost) RaiseNative(20234, "Some table locks still exist");
    return false;
}

// A session whose records stay locked after the transaction keeps an edit lock on their
// tables. One that already holds an edit lock there keeps it as it is: asking for a
// second would be refused (edit locks do not nest) and strand every lock of the
// transaction.
bool TORQDatabaseTableLockManager::UnlockTransactionTables(int32_t SessionID) {
    std::unique_lock guard(FCriticalSection);
    TORQTableLockList& list = List(SessionID);
    if (list.Count() == 0) return true;
    std::vector<int32_t> recordTables;
    for (const TORQTableLockEntry& e : list.Items)
        if (e.LockType == ltRecord) recordTables.push_back(e.TableKey);
    for (const int32_t table : recordTables) {
        if (list.Holds(ltEdit, table)) continue;
        TORQTableLocksFile file(FPageManager);
        file.OpenLocksFile(table);
        if (!SetTableLock(SessionID, ltEdit, 1, true, EditLockDelay, EditLockTries, file)) return false;
    }
    std::vector<std::pair<uint8_t, int32_t>> ending;
    for (const TORQTableLockEntry& e : list.Items)
        if (e.LockType == ltTransaction || e.LockType == ltPost) ending.emplace_back(e.LockType, e.TableKey);
    for (const auto& [type, table] : ending) {
        TORQTableLocksFile file(FPageManager);
        file.OpenLocksFile(table);
        ReleaseTableLock(SessionID, type, true, false, file);
    }
    return true;
}

}  // namespace orq
