#include "engine/storage/ORQDiskPageManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

namespace {

constexpr int32_t SignatureSize = 16;

void CloseQuietly(TORQDatabaseFile& File) {
    try {
        if (File.IsOpen()) File.CloseFile();
    } catch (...) {
        // Leaving after another failure: that failure is the one the caller sees.
    }
}

// The found signature as text for 10470; control bytes would cut or garble a message.
std::string SignatureText(const uint8_t* Bytes) {
    std::string text(reinterpret_cast<const char*>(Bytes), SignatureSize);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
}

[[noreturn]] void InvalidFormat() { RaiseNative(20237, "Invalid database format"); }

// Takes one of the file's lock pairs with the header's retries, raising Code when it stays
// taken, and gives it back when the scope ends, errors included.
class TRetriedLock {
public:
    TRetriedLock(const std::function<bool()>& Lock, std::function<void()> Unlock, int32_t Code, const char* Message)
        : FUnlock(std::move(Unlock)) {
        if (!RetryWithSleep(TORQDiskPageManager::LockTries, TORQDiskPageManager::LockDelay, Lock))
            RaiseNative(Code, Message);
    }
    ~TRetriedLock() { FUnlock(); }
    TRetriedLock(const TRetriedLock&) = delete;
    TRetriedLock& operator=(const TRetriedLock&) = delete;

private:
    std::function<void()> FUnlock;
};


}  // namespace

// Opens the file around one operation in design-time mode.
class TORQDiskPageManager::TFileUse {
public:
    explicit TFileUse(TORQDiskPageManager& Manager) : FManager(Manager) { FManager.AcquireFile(); }
    ~TFileUse() {
        try {
            FManager.ReleaseFile();
        } catch (...) {
            // A close failing in design-time mode loses nothing: every write went before.
        }
    }
    TFileUse(const TFileUse&) = delete;
    TFileUse& operator=(const TFileUse&) = delete;

private:
    TORQDiskPageManager& FManager;
};

TORQDiskPageManager::TORQDiskPageManager(int64_t AvailableMemory)
    : TORQPageManager(AvailableMemory), FDatabaseFile(std::make_unique<TORQDatabaseFile>()) {
    SetDefaultHeader();
    SetPageGeometry(4096);
}

TORQDiskPageManager::~TORQDiskPageManager() {
    ReleaseReservedQuietly();
    FFreeSpaceManager.reset();
    CloseQuietly(*FDatabaseFile);
}

void TORQDiskPageManager::SetDefaultHeader() {
    std::memset(FHeader1, 0, sizeof FHeader1);
    std::memcpy(FHeader1, Signature, SignatureSize);
    StoreLE16(FHeader1 + 16, HeaderPart1Size);
    StoreLE64(FHeader1 + hVersion, std::bit_cast<uint64_t>(FileFormatVersion));
    StoreLE16(FHeader1 + hPageSize, 4096);
    StoreLE16(FHeader1 + hPagesPerExtent, 8);
    StoreLE32(FHeader1 + hPageCount, 0);
    StoreLE32(FHeader1 + hHighestUsedPage, static_cast<uint32_t>(-1));
    StoreLE32(FHeader1 + hChangeCounter, 0);
    FHeader1[hState] = 2;
    FHeader1[hEncrypted] = 0;
    std::memset(FHeader2, 0, sizeof FHeader2);
    StoreLE16(FHeader2, HeaderPart2Size);
    std::memset(FHeader3, 0, sizeof FHeader3);
    StoreLE16(FHeader3, HeaderPart3Size);
    FHeaderOffset = 0;
    FPart2Offset = HeaderPart1Size;
    FPart3Offset = HeaderPart1Size + HeaderPart2Size;
    FNextObjectIDOffset = FPart3Offset + HeaderPart3Size;
    FPage0Offset = HeaderSizeTotal;
}

void TORQDiskPageManager::SetPageGeometry(uint16_t Size) {
    PageSize = Size;
    HeaderSize = DiskPageHeaderSize;
    DataSize = static_cast<uint16_t>(Size - DiskPageHeaderSize);
}

void TORQDiskPageManager::CheckGeometry(uint16_t Size, uint16_t Extent) {
    // The free-space map divides by the data size and the extent and multiplies them:
    // refuse what would divide by zero or overflow Int32 there.
    if (Size <= DiskPageHeaderSize || Extent == 0) InvalidFormat();
    if (int64_t{4} * (Size - DiskPageHeaderSize) * Extent > INT32_MAX) InvalidFormat();
}

void TORQDiskPageManager::CheckOpen(int32_t Code) const {
    if (!FDatabaseFile->IsOpen()) RaiseNative(Code, "Error - database file is not opened.");
}

bool TORQDiskPageManager::HeaderPart1Valid() const {
    return std::memcmp(FHeader1, Signature, SignatureSize) == 0 && LoadLE16(FHeader1 + 16) == HeaderPart1Size;
}

void TORQDiskPageManager::AcquireFile() {
    if (IsDesignTime() && FDatabaseOpen != 0) FDatabaseFile->AcquireHandle();
}

void TORQDiskPageManager::ReleaseFile() {
    if (IsDesignTime() && FDatabaseOpen != 0) FDatabaseFile->ReleaseHandle();
}

int32_t TORQDiskPageManager::HeaderPageCount() const { return static_cast<int32_t>(LoadLE32(FHeader1 + hPageCount)); }
void TORQDiskPageManager::SetHeaderPageCount(int32_t Value) { StoreLE32(FHeader1 + hPageCount, static_cast<uint32_t>(Value)); }
int32_t TORQDiskPageManager::HighestUsedPage() const { return static_cast<int32_t>(LoadLE32(FHeader1 + hHighestUsedPage)); }
void TORQDiskPageManager::SetHighestUsedPage(int32_t Value) {
    StoreLE32(FHeader1 + hHighestUsedPage, static_cast<uint32_t>(Value));
}
int32_t TORQDiskPageManager::ChangeCounter() const { return static_cast<int32_t>(LoadLE32(FHeader1 + hChangeCounter)); }
double TORQDiskPageManager::Version() const { return std::bit_cast<double>(LoadLE64(FHeader1 + hVersion)); }
uint16_t TORQDiskPageManager::PagesPerExtent() const { return LoadLE16(FHeader1 + hPagesPerExtent); }

void TORQDiskPageManager::CreateDatabaseFile(const std::string& FileName, const TORQPassword& Password,
                                             uint16_t Extent, uint16_t Size) {
    std::lock_guard guard(CriticalSection());
    if (FDatabaseFile->IsOpen() || FDatabaseOpen != 0)
        RaiseNativeFmt(10461, "Error - database file %s is in use.", {FDatabaseFile->FileName()});
    const bool encrypted = !Password.Password.empty();
    CheckGeometry(Size, Extent);
    // An id the cipher table lacks would leave the check block plain: any password would pass.
    if (encrypted && Password.Algorithm > MaxEncryptionAlgorithm) InvalidFormat();
    SetDefaultHeader();
    SetPageGeometry(Size);
    FPassword = Password;
    FStoredHeaderKnown = false;
    FDatabaseFile->CreateFile(FileName);
    // A journal beside a new file was left by one that is gone.
    ::unlink(TORQCommitJournal::JournalFileName(FileName).c_str());
    try {
        FHeader1[hEncrypted] = encrypted ? 0xFF : 0;
        StoreLE16(FHeader1 + hPageSize, Size);
        StoreLE16(FHeader1 + hPagesPerExtent, Extent);
        if (encrypted) {
            FHeader2[2] = Password.Algorithm;
            uint8_t* check = FHeader2 + 4;
            for (int32_t i = 0; i < PasswordCheckSize; ++i) check[i] = static_cast<uint8_t>(EngineRandom(255));
            StoreLE32(FHeader2 + 260, CRC32(0, check, PasswordCheckSize));
            if (!EncryptBuffer(Password.Algorithm, check, PasswordCheckSize, Password.Password))
                RaiseNative(30438, "Cannot encrypt the password check block.");
        }
        FDatabaseOpen = 1;
        WriteHeader(true);
        WritePasswordCheck();
        WriteLockArea();
        InitNextObjectID();
        PageCount = 0;
        SharedAccess = 0;
        FFreeSpaceManager = std::make_unique<TORQDatabaseFreeSpaceManager>(*this);
    } catch (...) {
        FDatabaseOpen = 0;
        CloseQuietly(*FDatabaseFile);
        throw;
    }
}

bool TORQDiskPageManager::IsFileWritable(const std::string& FileName, bool& MultiUser) {
    struct stat st {};
    if (::stat(FileName.c_str(), &st) != 0) return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        MultiUser = false;
        return false;
    }
    TORQDatabaseFile probe;
    try {
        probe.OpenFile(FileName, 1, MultiUser ? 1 : 2);
    } catch (const EORQException&) {
        return false;
    }
    bool writable = true;
    try {
        uint8_t first = 0;
        int32_t got = 0;
        if (probe.ReadBuffer(&first, 0, 1, &got) && got == 1) probe.WriteBuffer(&first, 0, 1, 30364);
    } catch (const EORQException&) {
        writable = false;
    }
    CloseQuietly(probe);
    return writable;
}

bool TORQDiskPageManager::OpenDatabaseFile(const std::string& FileName, const TORQPassword& Password, bool& MultiUser,
                                           bool Exclusive, bool& ReadOnly) {
    std::lock_guard guard(CriticalSection());
    if (FDatabaseFile->IsOpen() || FDatabaseOpen != 0)
        RaiseNativeFmt(10462, "Error - database file %s is in use.", {FDatabaseFile->FileName()});
    FPassword = Password;
    struct stat st {};
    if (!ReadOnly && ::stat(FileName.c_str(), &st) == 0) ReadOnly = !IsFileWritable(FileName, MultiUser);
    uint8_t access = 1;
    uint8_t share = 1;
    if (ReadOnly) {
        access = 0;
    } else if (Exclusive) {
        share = 0;
        MultiUser = false;
    }
    FExclusive = Exclusive ? 1 : 0;
    SharedAccess = MultiUser ? 1 : 0;
    SetDefaultHeader();
    FReadOnlyIDTaken = 0;
    FStoredHeaderKnown = false;
    FDatabaseFile->OpenFile(FileName, access, share);
    if (IsDesignTime()) FDatabaseFile->CloseFile();
    FDatabaseOpen = 1;
    bool needsRepair = false;
    bool abandoned = false;
    std::vector<int32_t> givenBack;
    try {
        TFileUse use(*this);
        // The signature never moves once written, so the scan needs no lock; finding it
        // first puts the header lock on the byte every commit of this file takes.
        FHeaderOffset = FDatabaseFile->FindHeader();
        FPart2Offset = FHeaderOffset + HeaderPart1Size;
        FPart3Offset = FPart2Offset + HeaderPart2Size;
        if (!RetryWithSleep(LockTries, LockDelay, [this] { return LockHeader(); }))
            RaiseNative(20230, "Database is locked");
        try {
            // A commit cut short is finished before anything reads the header or a page.
            if (FDatabaseFile->AccessMode() == 1)
                abandoned = TORQCommitJournal::Recover(*FDatabaseFile, FHeaderOffset, CommitBarriers, &givenBack) ==
                            TORQCommitJournal::TRecovery::Abandoned;
            else if (TORQCommitJournal::HasValidJournal(*FDatabaseFile, FHeaderOffset))
                RaiseNativeFmt(31482,
                               "Database '%s' has an interrupted commit to complete and cannot be opened read-only "
                               "until a writer has opened it",
                               {FileName});
            ReadHeader();
        } catch (...) {
            UnlockHeader();
            throw;
        }
        UnlockHeader();
        // A version that is no number at all (NaN) needs repair too.
        needsRepair = State() != 2 || !(Version() >= MinimumVersion);
        if (std::memcmp(FHeader1, Signature, SignatureSize) != 0)
            RaiseNativeFmt(10470, "Invalid file format. Found signature: '%s', expected: '%s'",
                           {SignatureText(FHeader1), std::string_view(Signature)});
        const uint16_t size = LoadLE16(FHeader1 + hPageSize);
        CheckGeometry(size, PagesPerExtent());
        SetPageGeometry(size);
        FPart2Offset = FHeaderOffset + LoadLE16(FHeader1 + 16);
        FPart3Offset = FPart2Offset + HeaderPart2Size;
        ReadPasswordCheck();
        if (IsEncrypted()) {
            FPassword.Algorithm = FHeader2[2];
            if (FPassword.Algorithm > MaxEncryptionAlgorithm) InvalidFormat();
            // Decipher a copy: the in-memory part 2 stays as stored.
            uint8_t check[PasswordCheckSize];
            std::memcpy(check, FHeader2 + 4, PasswordCheckSize);
            if (!DecryptBuffer(FPassword.Algorithm, check, PasswordCheckSize, FPassword.Password) ||
                CRC32(0, check, PasswordCheckSize) != LoadLE32(FHeader2 + 260))
                RaiseNative(30445, "Cannot open database - incorrect password");
        }
        if (FPart2Offset + LoadLE16(FHeader2) != FPart3Offset) InvalidFormat();
        ReadLockArea();
        // Part 3 carries the lock bytes 3 and 4: a shorter one would put them elsewhere.
        if (LoadLE16(FHeader3) != HeaderPart3Size) InvalidFormat();
        FNextObjectIDOffset = FPart3Offset + HeaderPart3Size;
        FPage0Offset = FNextObjectIDOffset + 4;
        PageCount = HeaderPageCount();
        FFreeSpaceManager = std::make_unique<TORQDatabaseFreeSpaceManager>(*this);
        if (abandoned && !needsRepair) GiveBackAbandoned();
    } catch (...) {
        FDatabaseOpen = 0;
        FHeaderLockCount = 0;
        CloseQuietly(*FDatabaseFile);
        throw;
    }
    return needsRepair;
}

void TORQDiskPageManager::ReleaseReservedQuietly() {
    if (!FFreeSpaceManager || FFreeSpaceManager->ReservedCount() == 0) return;
    try {
        TFileUse use(*this);
        FFreeSpaceManager->ReleaseReserved();
    } catch (const EORQException&) {
        // A close goes on: the pages stay marked used, as a process that died leaves them.
    }
}

void TORQDiskPageManager::CloseDatabaseFile() {
    std::lock_guard guard(CriticalSection());
    ReleaseReservedQuietly();
    if (FJournal) {
        // Removed only when no commit of ours waits in it, nor the list of pages a failed one
        // could not give back, and, when others share the file, under the header lock, so
        // that no commit of theirs is writing it.
        bool remove = !FRecoveryPending && !FJournal->ListLeft() && FDatabaseFile->IsOpen() &&
                      FDatabaseFile->AccessMode() == 1;

        bool locked = false;
        if (remove && SharedAccess != 0) {
            try {
                locked = LockHeader();
            } catch (const EORQException&) {
                // A journal another process left that cannot be applied now stays for the
                // next one to take the lock; ours is not removed without it.
            }
            remove = locked;
        }
        FJournal->Close(remove);
        if (locked) UnlockHeader();
        FJournal.reset();
    }
    FRecoveryPending = false;
    FFreeSpaceManager.reset();
    FDatabaseOpen = 0;
    FHeaderLockCount = 0;
    FReadOnlyIDTaken = 0;
    FStoredHeaderKnown = false;
    if (FDatabaseFile->IsOpen()) FDatabaseFile->CloseFile();
}

void TORQDiskPageManager::ReadHeader() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10459);
    if (HeaderCopyStands()) {
        std::memcpy(FHeader1, FStoredHeader1, sizeof FHeader1);
        return;
    }
    FStoredHeaderKnown = false;
    std::memset(FHeader1, 0, sizeof FHeader1);
    if (FDatabaseFile->ReadBuffer(FHeader1, FHeaderOffset, HeaderPart1Size, 10464, true) != HeaderPart1Size) return;
    std::memcpy(FStoredHeader1, FHeader1, sizeof FHeader1);
    FStoredHeaderKnown = true;
}

bool TORQDiskPageManager::HeaderCopyStands() const { return FStoredHeaderKnown && SoleWriter(); }

bool TORQDiskPageManager::SoleWriter() const {
    return SharedAccess == 0 && !IsDesignTime() && FDatabaseFile->IsOpen() && FDatabaseFile->AccessMode() == 1;
}

void TORQDiskPageManager::WriteHeader(bool CheckExternalChange) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10460);
    if (IsDesignTime()) {
        uint8_t stored[HeaderPart1Size] = {};
        FDatabaseFile->ReadBuffer(stored, FHeaderOffset, HeaderPart1Size, 20195, true);
        if (CheckExternalChange && LoadLE32(stored + hChangeCounter) != LoadLE32(FHeader1 + hChangeCounter) &&
            stored[hState] == 1)
            RaiseNative(20196, "Cannot write changes. Database file was modified by external application");
    }
    // A part 1 zeroed by a short read must never overwrite the real one.
    if (!HeaderPart1Valid()) InvalidFormat();
    FStoredHeaderKnown = false;
    FDatabaseFile->WriteBuffer(FHeader1, FHeaderOffset, HeaderPart1Size, 10462);
    std::memcpy(FStoredHeader1, FHeader1, sizeof FHeader1);
    FStoredHeaderKnown = true;
}

void TORQDiskPageManager::ReadPasswordCheck() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(30436);
    FDatabaseFile->ReadBuffer(FHeader2, FPart2Offset, HeaderPart2Size, 30439);
}

void TORQDiskPageManager::WritePasswordCheck() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(30437);
    FDatabaseFile->WriteBuffer(FHeader2, FPart2Offset, HeaderPart2Size, 30438);
}

void TORQDiskPageManager::ReadLockArea() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(30441);
    FDatabaseFile->ReadBuffer(FHeader3, FPart3Offset, 2, 30442);
}

void TORQDiskPageManager::WriteLockArea() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(30443);
    FDatabaseFile->WriteBuffer(FHeader3, FPart3Offset, HeaderPart3Size, 30444);
}

bool TORQDiskPageManager::LockHeader() {
    std::lock_guard guard(CriticalSection());
    if (FHeaderLockCount > 0) {
        ++FHeaderLockCount;
        return true;
    }
    // In design-time mode the handle stays acquired while the lock is held: closing it
    // would drop the lock.
    AcquireFile();
    const int64_t offset = FPart3Offset + 4;
    if (!FDatabaseFile->LockByte(1, offset)) {
        ReleaseFile();
        return false;
    }
    FHeaderLockOffset = offset;
    FHeaderLockCount = 1;
    try {
        ApplyLeftJournal();
    } catch (...) {
        UnlockHeader();
        throw;
    }
    return true;
}

void TORQDiskPageManager::GiveBackAbandoned() {
    FGivingBack = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FGivingBack};
    const TRetriedLock held([this] { return LockHeader(); }, [this] { UnlockHeader(); }, 20230, "Database is locked");
    // Read again under this lock: another process may have dealt with it meanwhile.
    std::vector<int32_t> pages;
    if (TORQCommitJournal::Recover(*FDatabaseFile, FHeaderOffset, CommitBarriers, &pages) !=
        TORQCommitJournal::TRecovery::Abandoned)
        return;
    FFreeSpaceManager->GiveBack(std::move(pages));
    // The map as given back is on disk before the list that could give it back again goes.
    Barrier();
    TORQCommitJournal::Remove(FDatabaseFile->FileName());
}

void TORQDiskPageManager::ApplyLeftJournal() {
    // A sole writer's file takes no other commits while it is open; the open recovers
    // before anything else, and a commit of ours in flight holds the lock already.
    if (FGivingBack || SharedAccess == 0 || !FFreeSpaceManager || !FDatabaseFile->IsOpen() || FDatabaseFile->AccessMode() != 1 ||
        FDatabaseFile->WriteSink() != nullptr)
        return;
    if (!TORQCommitJournal::HeaderPresent(FDatabaseFile->FileName())) return;
    // Ours is opened again by name at the next commit.
    if (FJournal) FJournal->Close(false);
    if (TORQCommitJournal::Recover(*FDatabaseFile, FHeaderOffset, CommitBarriers) != TORQCommitJournal::TRecovery::Applied)
        return;
    // The map and header are read again by whoever took the lock; the pages cached before
    // are stale.
    DiscardSharedPages();
    FStoredHeaderKnown = false;
    ReadHeader();
    PageCount = HeaderPageCount();
}

bool TORQDiskPageManager::UnlockHeader() {
    std::lock_guard guard(CriticalSection());
    if (FHeaderLockCount <= 0) return false;
    if (FHeaderLockCount > 1) {
        --FHeaderLockCount;
        return true;
    }
    if (!FDatabaseFile->IsOpen() || !FDatabaseFile->UnlockByte(1, FHeaderLockOffset)) return false;
    FHeaderLockCount = 0;
    ReleaseFile();
    return true;
}

bool TORQDiskPageManager::LockTables() {
    std::lock_guard guard(CriticalSection());
    AcquireFile();
    if (FDatabaseFile->IsOpen() && FDatabaseFile->LockByte(1, FPart3Offset + 3)) return true;
    ReleaseFile();
    return false;
}

bool TORQDiskPageManager::UnlockTables() {
    std::lock_guard guard(CriticalSection());
    if (!FDatabaseFile->IsOpen() || !FDatabaseFile->UnlockByte(1, FPart3Offset + 3)) return false;
    ReleaseFile();
    return true;
}

bool TORQDiskPageManager::LockNextObjectID() {
    std::lock_guard guard(CriticalSection());
    AcquireFile();
    if (FDatabaseFile->IsOpen() && FDatabaseFile->LockByte(1, FNextObjectIDOffset)) return true;
    ReleaseFile();
    return false;
}

bool TORQDiskPageManager::UnlockNextObjectID() {
    std::lock_guard guard(CriticalSection());
    if (!FDatabaseFile->IsOpen() || !FDatabaseFile->UnlockByte(1, FNextObjectIDOffset)) return false;
    ReleaseFile();
    return true;
}

int32_t TORQDiskPageManager::GetNextObjectID() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(30399);
    const TRetriedLock held([this] { return LockNextObjectID(); }, [this] { UnlockNextObjectID(); }, 30401, "Cannot get NextObjectID. File area is Locked.");
    uint8_t bytes[4];
    FDatabaseFile->ReadBuffer(bytes, FNextObjectIDOffset, 4, 30400);
    const uint32_t next = LoadLE32(bytes) + 1u;
    if (FDatabaseFile->AccessMode() == 1) {
        // The counter is written at once, before any commit: a file that needs repair
        // refuses it like every other change.
        CheckFileChangesAllowed();
        StoreLE32(bytes, next);
        FDatabaseFile->WriteBuffer(bytes, FNextObjectIDOffset, 4, 30404);
        return static_cast<int32_t>(next);
    }
    // Nothing can be stored: one random offset keeps clear of what other read-only
    // processes hand out, and counting up in memory keeps this one from repeating itself.
    if (FReadOnlyIDTaken == 0) {
        FReadOnlyIDOffset = EngineRandom(10000);
        FReadOnlyIDTaken = 1;
        FLastReadOnlyID = static_cast<int32_t>(next + static_cast<uint32_t>(FReadOnlyIDOffset));
        return FLastReadOnlyID;
    }
    const auto candidate = static_cast<int32_t>(next + static_cast<uint32_t>(FReadOnlyIDOffset));
    const auto following = static_cast<int32_t>(static_cast<uint32_t>(FLastReadOnlyID) + 1u);
    FLastReadOnlyID = candidate > FLastReadOnlyID ? candidate : following;
    return FLastReadOnlyID;
}

void TORQDiskPageManager::InitNextObjectID() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    const TRetriedLock held([this] { return LockNextObjectID(); }, [this] { UnlockNextObjectID(); }, 30401, "Cannot get NextObjectID. File area is Locked.");
    if (FDatabaseFile->AccessMode() != 1) return;
    uint8_t zero[4] = {};
    FDatabaseFile->WriteBuffer(zero, FNextObjectIDOffset, 4, 30404);
}

void TORQDiskPageManager::WriteFileLength(int32_t Count) {
    FDatabaseFile->SetSize(FPage0Offset + int64_t{Count} * PageSize);
}

void TORQDiskPageManager::CheckChangesAllowed(uint8_t State) const {
    if (State == 2 || (FFreeSpaceManager && FFreeSpaceManager->RecoveryMode != 0)) return;
    RaiseNativeFmt(20300,
                   "Database '%s' was not closed properly and needs repair; it cannot be changed until it is repaired",
                   {FDatabaseFile->FileName()});
}

void TORQDiskPageManager::CheckFileChangesAllowed() {
    std::lock_guard guard(CriticalSection());
    if (FFreeSpaceManager && FFreeSpaceManager->RecoveryMode != 0) return;
    TFileUse use(*this);
    if (FRecoveryPending) ResolveInterruptedCommit();
    // The state as the file holds it now: another process may have left a commit torn.
    uint8_t state = 0;
    if (HeaderCopyStands())
        state = FStoredHeader1[hState];
    else
        FDatabaseFile->ReadBuffer(&state, FHeaderOffset + hState, 1, 10464);
    if (state != 2 && ResolveInterruptedCommit()) return;
    CheckChangesAllowed(state);
}

bool TORQDiskPageManager::ResolveInterruptedCommit() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10459);
    const TRetriedLock held([this] { return LockHeader(); }, [this] { UnlockHeader(); }, 20230, "Database is locked");
    if (FDatabaseFile->AccessMode() == 1) {
        // Recovery removes the journal file: ours opens it again by name.
        if (FJournal) FJournal->Close(false);
        if (TORQCommitJournal::Recover(*FDatabaseFile, FHeaderOffset, CommitBarriers) ==
            TORQCommitJournal::TRecovery::Applied) {
            DiscardSharedPages();
            ReloadAfterChange();
        }
        FRecoveryPending = false;
    }
    uint8_t state = 0;
    FDatabaseFile->ReadBuffer(&state, FHeaderOffset + hState, 1, 10464);
    return state == 2;
}

int64_t TORQDiskPageManager::CheckInterruptedCommitCounter() {
    std::lock_guard guard(CriticalSection());
    if (SharedAccess == 0 && !FRecoveryPending) return -1;
    TFileUse use(*this);
    CheckOpen(10459);
    static_assert(hState == hChangeCounter + 4, "the counter and the state byte are read together");
    uint8_t bytes[5] = {};
    if (!FRecoveryPending) FDatabaseFile->ReadBuffer(bytes, FHeaderOffset + hChangeCounter, 5, 10464);
    if (FRecoveryPending || bytes[4] == 1) {
        ResolveInterruptedCommit();
        FDatabaseFile->ReadBuffer(bytes, FHeaderOffset + hChangeCounter, 5, 10464);
    } else if (SharedAccess != 0 && FDatabaseFile->AccessMode() == 1 &&
               TORQCommitJournal::HeaderPresent(FDatabaseFile->FileName())) {
        // A live journal under state 2 belongs to a commit before its in-place writes,
        // whose writer holds the header lock (the file is whole: read on), or to a writer
        // killed after its seal: the lock taken at once applies that one (LockHeader),
        // and the counter is read again after it.
        if (LockHeader()) {
            UnlockHeader();
            FDatabaseFile->ReadBuffer(bytes, FHeaderOffset + hChangeCounter, 5, 10464);
        }
    }
    return SharedAccess == 0 ? -1 : int64_t{LoadLE32(bytes)};
}

void TORQDiskPageManager::ReloadAfterChange() {
    FStoredHeaderKnown = false;
    ReadHeader();
    PageCount = HeaderPageCount();
    if (FFreeSpaceManager && FFreeSpaceManager->ReservedCount() == 0) {
        const uint8_t recovery = FFreeSpaceManager->RecoveryMode;
        FFreeSpaceManager = std::make_unique<TORQDatabaseFreeSpaceManager>(*this);
        FFreeSpaceManager->RecoveryMode = recovery;
    }
}

bool TORQDiskPageManager::AfterFailedCommit() noexcept {
    FDatabaseFile->SetWriteSink(nullptr);
    std::vector<int32_t> allocated, released;
    allocated.swap(FCommitNewPages);
    released.swap(FCommitReleased);
    FWriteNewDirect = false;
    DiscardSharedPages();
    try {
        ReloadAfterChange();
        // The session's list of them is gone with the commit: given back as a rollback would.
        if (!allocated.empty()) FreePages(allocated);
        allocated.clear();
        // A reserve released into the journal never reached the map.
        if (!released.empty() && FFreeSpaceManager) FFreeSpaceManager->GiveBack(released);
        released.clear();
    } catch (...) {
        // The header is read again by the next operation that needs it. Pages not given
        // back now are not given back later by this process (a rollback or a later
        // allocation may meanwhile take them): the journal's list serves the next open.
        FStoredHeaderKnown = false;
        return allocated.empty() && released.empty();
    }
    return true;
}

void TORQDiskPageManager::CheckHandleWritable() const {
    if (FDatabaseFile->AccessMode() != 0) return;
    RaiseNativeFmt(30962, "Cannot write to database '%s': it is open read-only", {FDatabaseFile->FileName()});
}

void TORQDiskPageManager::CheckWritable() {
    std::lock_guard guard(CriticalSection());
    if (FDatabaseFile->AccessMode() != 0) return;
    TFileUse use(*this);
    CheckOpen(10459);
    CheckFileChangesAllowed();
    CheckHandleWritable();
}

void TORQDiskPageManager::AddPages(int32_t Count) {
    std::lock_guard guard(CriticalSection());
    if (Count <= 0) return;
    TFileUse use(*this);
    CheckFileChangesAllowed();
    CheckHandleWritable();
    const int32_t newCount = HeaderPageCount() + Count;
    WriteFileLength(newCount);
    SetHeaderPageCount(newCount);
    PageCount = newCount;
}

void TORQDiskPageManager::RemovePages(int32_t Count) {
    std::lock_guard guard(CriticalSection());
    const int32_t oldCount = HeaderPageCount();
    if (Count <= 0 || Count > oldCount) return;
    TFileUse use(*this);
    const int32_t newCount = oldCount - Count;
    // The count is stored before the file is cut: a crash in between leaves unused bytes
    // at the end, never a header that counts pages the file lacks.
    SetHeaderPageCount(newCount);
    try {
        WriteHeader(true);
    } catch (...) {
        SetHeaderPageCount(oldCount);
        throw;
    }
    PageCount = newCount;
    WriteFileLength(newCount);
}

void TORQDiskPageManager::ShrinkFile() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    const TRetriedLock held([this] { return LockHeader(); }, [this] { UnlockHeader(); }, 20232, "Database is locked");
    if (FFreeSpaceManager) FFreeSpaceManager->ReleaseReserved();
    // Another process may have allocated pages since this one last looked.
    ReadHeader();
    const int32_t excess = HeaderPageCount() - 1 - HighestUsedPage();
    if (excess > 0) RemovePages(excess);
}

int64_t TORQDiskPageManager::GetPageOffset(int32_t PageNo) const {
    if (PageNo < 0) RaiseNativeFmt(10471, "Invalid PageNo = %d", {PageNo});
    return FPage0Offset + int64_t{PageNo} * PageSize;
}

int32_t TORQDiskPageManager::GetPageCount() {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10459);
    const TRetriedLock held([this] { return LockHeader(); }, [this] { UnlockHeader(); }, 20236, "Database is locked");
    ReadHeader();
    PageCount = HeaderPageCount();
    return PageCount;
}

bool TORQDiskPageManager::IsPageCurrent(int32_t SessionID, TORQPage* Page) {
    if (SharedAccess == 0) return true;
    int32_t table = -1;
    int32_t counter = 0;
    if (!FTablePagesCache.GetCurrentCounter(SessionID, counter, &table)) return false;
    int32_t stampTable = -1;
    int32_t stamp = 0;
    return Page->GetSessionStamp(SessionID, stampTable, stamp) && stampTable == table && stamp == counter;
}

void TORQDiskPageManager::PageLoaded(int32_t SessionID, TORQPage* Page) {
    if (SharedAccess == 0) return;
    int32_t table = -1;
    int32_t counter = 0;
    if (FTablePagesCache.GetCurrentCounter(SessionID, counter, &table))
        Page->SetSessionStamp(SessionID, table, counter);
    else
        Page->ClearSessionStamp(SessionID);  // validated outside a lock period: nothing to trust later
}

void TORQDiskPageManager::AllocatePage(TORQPage* Page) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10459);
    if (PrivateAllocation != 0) {
        if (FNextPrivatePage == std::numeric_limits<int32_t>::max())
            RaiseNative(20064, "Invalid page number");
        Page->PageNo = FNextPrivatePage++;
        Page->AllocBuffer();
        return;
    }
    // The map pages an allocation changes are written at once, before any commit.
    CheckFileChangesAllowed();
    CheckHandleWritable();
    Page->PageNo = FFreeSpaceManager->AllocatePageNumber();
    Page->AllocBuffer();
}

void TORQDiskPageManager::FreePage(int32_t PageNo) {
    std::lock_guard guard(CriticalSection());
    if (IsPrivatePage(PageNo)) return;  // never on disk, never in the map
    TFileUse use(*this);
    CheckOpen(10459);
    CheckHandleWritable();
    WritePageChangeCounter(PageNo, InvalidStamp);
    FFreeSpaceManager->FreePageNumber(PageNo);
}

void TORQDiskPageManager::FreePages(const std::vector<int32_t>& PageNos) {
    std::lock_guard guard(CriticalSection());
    std::vector<int32_t> stored;
    stored.reserve(PageNos.size());
    for (const int32_t number : PageNos)
        if (!IsPrivatePage(number)) stored.push_back(number);  // never on disk, never in the map
    if (stored.empty()) return;
    TFileUse use(*this);
    CheckOpen(10459);
    CheckHandleWritable();
    for (const int32_t number : stored) WritePageChangeCounter(number, InvalidStamp);
    FFreeSpaceManager->FreePageNumbers(stored);
}

bool TORQDiskPageManager::ReadPage(TORQPage* Page) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10459);
    // The file holds a commit half-applied: finished before any page of it is read.
    if (FRecoveryPending && FDatabaseFile->WriteSink() == nullptr) ResolveInterruptedCommit();
    if (Page->GetBuffer() == nullptr) Page->AllocBuffer();
    // Read and deciphered apart from the page: a failure leaves the cached copy as it was,
    // only marked invalid, so nothing half-read or garbled is ever served or written.
    std::vector<uint8_t>& in = FReadScratch;
    in.resize(static_cast<size_t>(PageSize));
    // A short read is a failure: another process may have cut the file under the page.
    if (!FDatabaseFile->ReadBuffer(in.data(), GetPageOffset(Page->PageNo), PageSize)) {
        Page->SetChangeStamp(InvalidStamp);
        return false;
    }
    if (IsEncrypted() && !IsMapPage(Page->PageNo)) {
        uint8_t* data = in.data() + DiskPageHeaderSize;
        const char* fault = nullptr;
        if (!DecryptBuffer(in[PageCipherOffset], data, DataSize, FPassword.Password))
            fault = "Decrypt page error. Cannot decipher page. PageNo: %d";
        else if (CRC32(0, data, DataSize) != LoadLE32(in.data() + PageCrcOffset))
            fault = "Decrypt page error. Check CRC failed. PageNo: %d";
        if (fault != nullptr) {
            Page->SetChangeStamp(InvalidStamp);
            RaiseNativeFmt(30446, fault, {Page->PageNo});
        }
    }
    std::memcpy(Page->GetBuffer(), in.data(), PageSize);
    Page->ReadFlag = 1;
    return true;
}

void TORQDiskPageManager::WritePage(TORQPage* Page) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(10460);
    if (IsPrivatePage(Page->PageNo))
        RaiseNativeFmt(31463, "Page %d of a repair read cannot be written", {Page->PageNo});
    if (Page->GetBuffer() == nullptr) RaiseNative(20038, "Invalid page buffer. Buffer is Nil");
    const int32_t stamp = Page->GetChangeStamp();
    // A stamp marked invalid (or otherwise out of range) starts again at 0 instead of
    // overflowing into values ownership tests would accept.
    const int32_t next = stamp < 0 || stamp >= MaxStamp ? 0 : stamp + 1;
    std::vector<uint8_t>& out = FWriteScratch;
    out.assign(Page->GetBuffer(), Page->GetBuffer() + PageSize);
    StoreLE32(out.data() + PageHeaderChangeStampOffset, static_cast<uint32_t>(next));
    const bool encipher = IsEncrypted() && !IsMapPage(Page->PageNo) && Page->CipherFlag != 0;
    uint32_t crc = 0;
    if (encipher) {
        uint8_t* data = out.data() + DiskPageHeaderSize;
        out[PageCipherOffset] = FPassword.Algorithm;
        crc = CRC32(0, data, DataSize);
        StoreLE32(out.data() + PageCrcOffset, crc);
        if (!EncryptBuffer(FPassword.Algorithm, data, DataSize, FPassword.Password))
            RaiseNativeFmt(10469, "Encrypt page error. Cannot encipher page. PageNo: %d", {Page->PageNo});
    }
    if (FWriteNewDirect && std::binary_search(FCommitNewPages.begin(), FCommitNewPages.end(), Page->PageNo)) {
        // Referenced by nothing committed: safe in place before the commit point, once the
        // journal lists what the transaction allocated.
        FJournal->WriteList();
        FDatabaseFile->WriteBufferDirect(out.data(), GetPageOffset(Page->PageNo), PageSize, 10469);
        FWroteDirect = true;
    } else {
        FDatabaseFile->WriteBuffer(out.data(), GetPageOffset(Page->PageNo), PageSize, 10469);
    }
    Page->SetChangeStamp(next);
    if (encipher) {
        Page->GetBuffer()[PageCipherOffset] = FPassword.Algorithm;
        StoreLE32(Page->GetBuffer() + PageCrcOffset, crc);
    }
}

bool TORQDiskPageManager::MayDiscardFreedPage(const TORQPage& Page) const {
    const uint16_t type = Page.GetPageType();
    return type == ptTableRecord || type == ptTableBlob;
}

void TORQDiskPageManager::FreePageForSession(int32_t SessionID, int32_t PageNo) {
    std::lock_guard guard(CriticalSection());
    if (FFreeSpaceManager && !IsPrivatePage(PageNo)) FFreeSpaceManager->CheckNotMapPage(PageNo);
    TORQPageManager::FreePageForSession(SessionID, PageNo);
}

namespace {
std::atomic<int64_t> PageRequestCount{0};
}  // namespace

int64_t TORQDiskPageManager::PageRequests() { return PageRequestCount.load(std::memory_order_relaxed); }

TORQPage* TORQDiskPageManager::GetPage(int32_t SessionID, int32_t PageNo, bool Validate, uint16_t ExpectedType) {
    PageRequestCount.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    if (FFreeSpaceManager && !IsPrivatePage(PageNo)) FFreeSpaceManager->CheckNotMapPage(PageNo);
    return TORQPageManager::GetPage(SessionID, PageNo, Validate, ExpectedType);
}

void TORQDiskPageManager::Barrier() {
    if (CommitBarriers) FDatabaseFile->FlushFileBuffers();
}

void TORQDiskPageManager::CommitSession(int32_t SessionID) {
    std::lock_guard guard(CriticalSection());
    TSessionPages* session = FindSession(SessionID);
    if (session == nullptr ||
        (session->PrivateList.Count() == 0 && session->AllocatedPages.Count() == 0 && session->FreedPages.Count() == 0))
        return;
    // The base commit's own checks, made before state 1 can reach the file: a caller's
    // mistake must not leave the database needing repair.
    if (HasTakenSharedPage(SessionID)) RaiseNative(20152, "Some session pages not released");
    for (int32_t i = 0; i < session->PrivateList.Count(); ++i) {
        const TORQPage* page = session->PrivateList.Items(i);
        if (IsPrivatePage(page->PageNo))
            RaiseNativeFmt(31463, "Page %d of a repair read cannot be written", {page->PageNo});
        if (!session->IsFreed(page->PageNo) && page->Modified == 0) RaiseNative(20085, "Invalid page");
        if (page->UseCount > 0) RaiseNative(20086, "Cannot write used page");
    }
    TFileUse use(*this);
    CheckOpen(10460);
    const TRetriedLock held([this] { return LockHeader(); }, [this] { UnlockHeader(); }, 20213, "Database is locked");
    if (FRecoveryPending) ResolveInterruptedCommit();
    ReadHeader();
    // A state other than 2 is a commit someone left half-written: finished from its
    // journal, or else the file needs repair and takes no change (20300), except from the
    // rebuild in recovery mode, after whose commit the state stays as found.
    uint8_t found = State();
    if (found != 2 && ResolveInterruptedCommit()) {
        ReadHeader();
        found = State();
    }
    CheckChangesAllowed(found);
    CheckHandleWritable();
    uint8_t before[HeaderPart1Size];
    std::memcpy(before, FHeader1, sizeof before);
    // The length matters to the journal only where allocations may have grown the file.
    const int64_t sizeBefore = session->AllocatedPages.Count() > 0 ? FDatabaseFile->GetSize() : -1;
    if (!FJournal) FJournal = std::make_unique<TORQCommitJournal>(FDatabaseFile->FileName());
    NoteCommitWrite();
    bool sealing = false;
    try {
        FCommitNewPages.resize(static_cast<size_t>(session->AllocatedPages.Count()));
        for (int32_t i = 0; i < session->AllocatedPages.Count(); ++i)
            FCommitNewPages[static_cast<size_t>(i)] = session->AllocatedPages[i];
        std::sort(FCommitNewPages.begin(), FCommitNewPages.end());
        // What a kill before the seal would leave marked used for nothing: the journal lists
        // it first, for the next open to give back.
        std::vector<int32_t> allocated = FCommitNewPages;
        if (FFreeSpaceManager) {
            const std::vector<int32_t>& reserved = FFreeSpaceManager->ReservedPages();
            allocated.insert(allocated.end(), reserved.begin(), reserved.end());
        }
        FJournal->Begin(FHeaderOffset, before, sizeBefore, CommitBarriers, !SoleWriter(), allocated);
        FWriteNewDirect = FCommitNewPages.size() >= DirectPagesMinimum;
        FWroteDirect = false;
        FDatabaseFile->SetWriteSink(FJournal.get());
        if (!FCommitNewPages.empty() && FFreeSpaceManager) {
            // The allocations the commit stands on changed the map, the header's counts and
            // the file's length before it, unsynced: the journal carries them too, so that
            // a power cut cannot leave its pages marked free.
            FJournal->CaptureSize(sizeBefore);
            std::vector<int32_t> maps;
            const TORQDatabaseFreeSpaceManager& map = *FFreeSpaceManager;
            for (const int32_t number : FCommitNewPages) {
                maps.push_back(number / map.PfsSpan() * map.PfsSpan());
                maps.push_back(map.EamPageNo(number / map.EamSpan()));
            }
            std::sort(maps.begin(), maps.end());
            maps.erase(std::unique(maps.begin(), maps.end()), maps.end());
            std::vector<uint8_t> image(PageSize);
            for (const int32_t number : maps) {
                FDatabaseFile->ReadBuffer(image.data(), GetPageOffset(number), PageSize, 10464);
                FJournal->Capture(GetPageOffset(number), image.data(), PageSize);
            }
        }
        // Given back before the commit writes anything: the map it leaves is as without the
        // reserve.
        if (FFreeSpaceManager) {
            // Released into this journal: a commit that fails gives them back itself.
            FCommitReleased = FFreeSpaceManager->ReservedPages();
            FFreeSpaceManager->ReleaseReserved();
        }
        TORQPageManager::CommitSession(SessionID);
        // The list of allocations in the file before the seal's write, which a kill may cut.
        FJournal->WriteList();
        StoreLE32(FHeader1 + hChangeCounter, LoadLE32(FHeader1 + hChangeCounter) + 1u);
        FHeader1[hState] = found;
        WriteHeader(false);
        FDatabaseFile->SetWriteSink(nullptr);
        FWriteNewDirect = false;
        // Pages written straight through must be on disk before the journal points at them.
        if (FWroteDirect) Barrier();
        sealing = true;
        FJournal->Seal(CommitBarriers);
        // Kept until the seal: a commit failing before it gives them back.
        FCommitNewPages.clear();
        FCommitReleased.clear();
    } catch (...) {
        FDatabaseFile->SetWriteSink(nullptr);
        // The allocations go back to the map first, under the lock still held: a journal
        // listing them stays until they did, for the next open to give them back.
        const bool givenBack = AfterFailedCommit();
        if (sealing) {
            // A seal whose write or sync failed may still stand whole in the file: left
            // there, the next open would complete a commit reported failed. The data comes
            // first; pages not given back stay marked used.
            FJournal->Abandon();
            if (TORQCommitJournal::HeaderPresent(FDatabaseFile->FileName())) FJournal->Close(true);
        } else if (givenBack) {
            FJournal->Abandon();
        } else {
            FJournal->Forget();
        }
        throw;
    }
    // The commit point is passed: from here the commit completes, now or at the next recovery.
    try {
        if (SharedAccess != 0 && found == 2) {
            before[hState] = 1;
            FDatabaseFile->WriteBufferDirect(before, FHeaderOffset, HeaderPart1Size, 10462);
        }
        FJournal->Apply(*FDatabaseFile);
        Barrier();
    } catch (const EORQException&) {
        // The commit is durable in its sealed journal and so has happened: it is reported
        // done, and completes in the file before this process or another next reads or
        // changes it. Once more now; a failure again is raised by that next use.
        FRecoveryPending = true;
        try {
            ResolveInterruptedCommit();
        } catch (const EORQException&) {
        }
        return;
    }
    FJournal->Invalidate();
}

void TORQDiskPageManager::DropPrivatePages(int32_t SessionID) {
    std::lock_guard guard(CriticalSection());
    TSessionPages* session = FindSession(SessionID);
    if (session == nullptr) return;
    TORQSortedPageList& own = session->PrivateList;
    for (int32_t i = own.Count() - 1; i >= 0; --i) {
        TORQPage* page = own.Items(i);
        if (!IsPrivatePage(page->PageNo)) continue;
        if (page->UseCount > 0) RaiseNative(20088, "Cannot remove used page");
        own.Delete(page->PageNo);
        delete page;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < session->AllocatedPages.Count(); ++i)
        if (!IsPrivatePage(session->AllocatedPages[i])) session->AllocatedPages[kept++] = session->AllocatedPages[i];
    session->AllocatedPages.SetSize(kept);
}

bool TORQDiskPageManager::ReadStoredChangeStamp(TORQPage& Page, int32_t& Stamp) {
    Stamp = ReadPageChangeCounter(Page.PageNo);
    return true;
}

void TORQDiskPageManager::ReadPageRegion(void* Buffer, int32_t PageNo, int32_t Count, int32_t Offset) {
    std::lock_guard guard(CriticalSection());
    if (Offset < 0 || Count < 0 || int64_t{Offset} + Count > PageSize)
        RaiseNativeFmt(10476, "Error - invalid page offset = %d, page size = %d", {int64_t{Offset} + Count, PageSize});
    TFileUse use(*this);
    CheckOpen(10474);
    FDatabaseFile->ReadBuffer(Buffer, GetPageOffset(PageNo) + Offset, Count, 10474);
}

void TORQDiskPageManager::WritePageRegion(const void* Buffer, int32_t PageNo, int32_t Count, int32_t Offset) {
    std::lock_guard guard(CriticalSection());
    if (Offset < 0 || Count < 0 || int64_t{Offset} + Count > PageSize)
        RaiseNativeFmt(10477, "Error - invalid page offset = %d, page size = %d", {int64_t{Offset} + Count, PageSize});
    TFileUse use(*this);
    CheckOpen(10475);
    FDatabaseFile->WriteBuffer(Buffer, GetPageOffset(PageNo) + Offset, Count, 10475);
}

bool TORQDiskPageManager::LockPageByte(int32_t PageNo, int32_t Offset) { return LockPageRegion(PageNo, Offset, 1); }

bool TORQDiskPageManager::UnlockPageByte(int32_t PageNo, int32_t Offset) { return UnlockPageRegion(PageNo, Offset, 1); }

bool TORQDiskPageManager::LockPageRegion(int32_t PageNo, int32_t Offset, int32_t Count) {
    std::lock_guard guard(CriticalSection());
    // Design-time mode keeps the handle while the range is held, as for the header lock.
    AcquireFile();
    if (FDatabaseFile->IsOpen() && FDatabaseFile->LockByte(Count, GetPageOffset(PageNo) + Offset)) return true;
    ReleaseFile();
    return false;
}

bool TORQDiskPageManager::UnlockPageRegion(int32_t PageNo, int32_t Offset, int32_t Count) {
    std::lock_guard guard(CriticalSection());
    if (!FDatabaseFile->IsOpen() || !FDatabaseFile->UnlockByte(Count, GetPageOffset(PageNo) + Offset)) return false;
    ReleaseFile();
    return true;
}

bool TORQDiskPageManager::IsPageByteLocked(int32_t PageNo, int32_t Offset) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    return FDatabaseFile->IsOpen() && FDatabaseFile->IsByteLocked(GetPageOffset(PageNo) + Offset);
}

bool TORQDiskPageManager::IsPageRegionLocked(int32_t PageNo, int32_t Offset, int32_t Count) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    return FDatabaseFile->IsOpen() && FDatabaseFile->IsRegionLocked(Count, GetPageOffset(PageNo) + Offset);
}

int32_t TORQDiskPageManager::ReadPageChangeCounter(int32_t PageNo) {
    std::lock_guard guard(CriticalSection());
    if (SharedAccess == 0) return 0;
    TFileUse use(*this);
    CheckOpen(20197);
    uint8_t bytes[4];
    FDatabaseFile->ReadBuffer(bytes, GetPageOffset(PageNo) + PageHeaderChangeStampOffset, 4, 20197);
    return static_cast<int32_t>(LoadLE32(bytes));
}

void TORQDiskPageManager::WritePageChangeCounter(int32_t PageNo, int32_t Value) {
    std::lock_guard guard(CriticalSection());
    TFileUse use(*this);
    CheckOpen(20198);
    uint8_t bytes[4];
    StoreLE32(bytes, static_cast<uint32_t>(Value));
    FDatabaseFile->WriteBuffer(bytes, GetPageOffset(PageNo) + PageHeaderChangeStampOffset, 4, 20198);
}

}  // namespace orq
