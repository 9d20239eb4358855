#include "engine/storage/ORQDatabaseFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQSecurity.h"

namespace orq {

namespace {

constexpr int64_t MarkerAccessRead = TORQDatabaseFile::ShareMarkerOffset;
constexpr int64_t MarkerAccessWrite = TORQDatabaseFile::ShareMarkerOffset + 1;
constexpr int64_t MarkerDenyRead = TORQDatabaseFile::ShareMarkerOffset + 2;
constexpr int64_t MarkerDenyWrite = TORQDatabaseFile::ShareMarkerOffset + 3;
constexpr int64_t MarkerCount = 4;

constexpr char Signature[] = "ORQUANT0DATABASE";
constexpr int32_t SignatureSize = 16;
constexpr int32_t HeaderPart1Size = 76;

TORQFileFaultHook& FaultHook() {
    static TORQFileFaultHook hook;
    return hook;
}

TORQFileWriteObserver& WriteObserver() {
    static TORQFileWriteObserver observer;
    return observer;
}

// The error the hook injects for Call, 0 for none; errno is set to it.
int Injected(TORQFileCall Call, const std::string& FileName) {
    const TORQFileFaultHook& hook = FaultHook();
    if (!hook) return 0;
    const int error = hook(Call, FileName);
    if (error != 0) errno = error > 0 ? error : ENOSPC;
    return error;
}

bool SetOfdLock(int Handle, short Type, int64_t Offset, int64_t Count, int& Error) {
    struct flock fl {};
    fl.l_type = Type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(Offset);
    fl.l_len = static_cast<off_t>(Count);
    fl.l_pid = 0;
    if (::fcntl(Handle, F_OFD_SETLK, &fl) == 0) return true;
    Error = errno;
    return false;
}

// 1 when another open file description holds a lock on any byte of the range, 0 when
// none does, -1 (Error set) when the question cannot be asked.
int ProbeOfdLock(int Handle, int64_t Offset, int64_t Count, int& Error) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(Offset);
    fl.l_len = static_cast<off_t>(Count);
    fl.l_pid = 0;
    if (::fcntl(Handle, F_OFD_GETLK, &fl) != 0) {
        Error = errno;
        return -1;
    }
    return fl.l_type == F_UNLCK ? 0 : 1;
}

// The share-mode markers of an open: 0 when taken and compatible with every other open
// (or when the file system has no byte locks), else the error number (EBUSY for a conflict).
int TakeShareMarkers(int Handle, uint8_t AccessMode, uint8_t ShareMode) {
    const bool accessWrite = AccessMode == 1;
    const bool denyRead = ShareMode == 0;
    const bool denyWrite = ShareMode == 0 || ShareMode == 2;
    const int64_t take[] = {MarkerAccessRead, accessWrite ? MarkerAccessWrite : -1, denyRead ? MarkerDenyRead : -1,
                            denyWrite ? MarkerDenyWrite : -1};
    for (int64_t marker : take) {
        int error = 0;
        if (marker < 0 || SetOfdLock(Handle, F_RDLCK, marker, 1, error)) continue;
        return IsNetworkLockError(error) ? 0 : error;
    }
    // Every open reads: a denial of reading conflicts with any other open.
    const int64_t opposite[] = {MarkerDenyRead, accessWrite ? MarkerDenyWrite : -1, denyRead ? MarkerAccessRead : -1,
                                denyWrite ? MarkerAccessWrite : -1};
    for (int64_t marker : opposite) {
        int error = 0;
        if (marker < 0) continue;
        const int held = ProbeOfdLock(Handle, marker, 1, error);
        if (held == 1) return EBUSY;
        if (held < 0 && !IsNetworkLockError(error)) return error;
    }
    return 0;
}

std::string ErrorText(int Error) { return Error == 0 ? std::string("end of file reached") : std::strerror(Error); }

bool IsHeaderAt(const uint8_t* Bytes, int32_t Available, int32_t Offset) {
    return Offset + SignatureSize + 2 <= Available && std::memcmp(Bytes + Offset, Signature, SignatureSize) == 0 &&
           LoadLE16(Bytes + Offset + SignatureSize) == HeaderPart1Size;
}

}  // namespace

void SetFileFaultHook(TORQFileFaultHook Hook) { FaultHook() = std::move(Hook); }
void SetFileWriteObserver(TORQFileWriteObserver Observer) { WriteObserver() = std::move(Observer); }
int FileFaultFor(TORQFileCall Call, const std::string& FileName) { return Injected(Call, FileName); }
void NotifyFileWrite(TORQFileCall Call, const std::string& FileName, int Handle, int64_t Position, int64_t Count) {
    if (const TORQFileWriteObserver& observer = WriteObserver()) observer(Call, FileName, Handle, Position, Count);
}

TORQDatabaseFile::~TORQDatabaseFile() {
    if (FHandle >= 0) ::close(FHandle);
}

void TORQDatabaseFile::CheckOpen(const char* Operation) const {
    if (FIsOpen == 0) RaiseNativeFmt(30376, "Cannot perform this operation (%s) on a closed file", {Operation});
}

void TORQDatabaseFile::CheckClosed(const char* Operation) const {
    if (FIsOpen != 0) RaiseNativeFmt(30377, "Cannot perform this operation (%s) on a opened file", {Operation});
}

int TORQDatabaseFile::OpenHandle() const {
    const int handle = ::open(FFileName.c_str(), (FAccessMode == 1 ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (handle < 0) return -1;
    const int error = TakeShareMarkers(handle, FAccessMode, FShareMode);
    if (error != 0) {
        ::close(handle);
        errno = error;
        return -1;
    }
    return handle;
}

bool TORQDatabaseFile::SameFile(int Handle) const {
    struct stat st {};
    return ::fstat(Handle, &st) == 0 && st.st_dev == FDevice && st.st_ino == FInode;
}

void TORQDatabaseFile::CreateFile(const std::string& FileName) {
    CheckClosed("CreateFile");
    if (FileName.find_first_not_of(' ') == std::string::npos)
        RaiseNative(30374, "Cannot create file with blank FileName");
    auto fail = [&](int error) {
        RaiseNativeFmt(30361, "Cannot create file: '%s' Error code: %d. ErrorMessage: %s",
                       {FileName, error, ErrorText(error)});
    };
    struct stat st {};
    if (::stat(FileName.c_str(), &st) == 0) {
        // Deleting a file that others hold open would leave them writing to an orphan.
        const int probe = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (probe >= 0) {
            int error = 0;
            const int held = ProbeOfdLock(probe, MarkerAccessRead, MarkerCount, error);
            ::close(probe);
            if (held == 1) fail(EBUSY);
        }
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) ::chmod(FileName.c_str(), st.st_mode | S_IWUSR);
        if (::unlink(FileName.c_str()) != 0 && errno != ENOENT) fail(errno);
    }
    const int handle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (handle < 0) fail(errno);
    const int error = TakeShareMarkers(handle, 1, 0);
    if (error != 0) {
        ::close(handle);
        fail(error);
    }
    struct stat created {};
    ::fstat(handle, &created);
    FFileName = FileName;
    FAccessMode = 1;
    FShareMode = 0;
    FHandle = handle;
    FDevice = created.st_dev;
    FInode = created.st_ino;
    FHeld.clear();
    FIsOpen = 1;
}

void TORQDatabaseFile::OpenFile(const std::string& FileName, uint8_t AccessMode, uint8_t ShareMode) {
    CheckClosed("OpenFile");
    if (AccessMode > 1) RaiseNativeFmt(30366, "Unknown Access mode: '%d'", {AccessMode});
    if (ShareMode > 2) RaiseNativeFmt(30367, "Unknown Share mode: '%d'", {ShareMode});
    FFileName = FileName;
    FAccessMode = AccessMode;
    FShareMode = ShareMode;
    const int handle = OpenHandle();
    if (handle < 0) {
        const int error = errno;
        RaiseNativeFmt(30364, "Cannot open file:'%s' Error code: %d. ErrorMessage: %s",
                       {FileName, error, ErrorText(error)});
    }
    struct stat st {};
    ::fstat(handle, &st);
    FHandle = handle;
    FDevice = st.st_dev;
    FInode = st.st_ino;
    FHeld.clear();
    FIsOpen = 1;
}

void TORQDatabaseFile::CloseFile() {
    CheckOpen("CloseFile");
    const int handle = FHandle;
    FHandle = -1;
    FIsOpen = 0;
    FOpenCount = 0;
    FHeld.clear();
    // Linux frees the descriptor even when close reports an error, so the file is
    // closed either way; the error still reaches the caller.
    if (handle >= 0 && ::close(handle) != 0 && errno != EINTR) {
        const int error = errno;
        RaiseNativeFmt(30365, "Cannot close file:'%s' Error code: %d. ErrorMessage: %s",
                       {FFileName, error, ErrorText(error)});
    }
}

bool TORQDatabaseFile::Seek(int64_t Position) {
    CheckOpen("Seek");
    if (::lseek(FHandle, static_cast<off_t>(Position), SEEK_SET) >= 0) return true;
    return Reconnect() && ::lseek(FHandle, static_cast<off_t>(Position), SEEK_SET) >= 0;
}

int64_t TORQDatabaseFile::CurrentPosition() const {
    return FHandle < 0 ? -1 : static_cast<int64_t>(::lseek(FHandle, 0, SEEK_CUR));
}

int64_t TORQDatabaseFile::CurrentSize() const {
    struct stat st {};
    return FHandle >= 0 && ::fstat(FHandle, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void TORQDatabaseFile::SetPosition(int64_t Position, int32_t ErrorCode) {
    CheckOpen("SetPosition");
    if (Seek(Position)) return;
    RaisePosition(Position, ErrorCode);
}

void TORQDatabaseFile::RaisePosition(int64_t Position, int32_t ErrorCode) const {
    RaiseNativeFmt(ErrorCode == 0 ? 30372 : ErrorCode,
                   "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                   {Position, FFileName, CurrentPosition(), CurrentSize()});
}

int64_t TORQDatabaseFile::GetPosition() {
    CheckOpen("GetPosition");
    off_t position = ::lseek(FHandle, 0, SEEK_CUR);
    if (position < 0 && Reconnect()) position = ::lseek(FHandle, 0, SEEK_CUR);
    if (position < 0) {
        const int error = errno;
        RaiseNativeFmt(30373, "Cannot Get File Position. FileName='%s' ErrorCode:%d. ErrorMessage: %s",
                       {FFileName, error, ErrorText(error)});
    }
    return position;
}

void TORQDatabaseFile::SetSize(int64_t Size) {
    CheckOpen("SetSize");
    if (FSink != nullptr) {
        FSink->CaptureSize(Size);
        return;
    }
    SetSizeDirect(Size);
}

void TORQDatabaseFile::SetSizeDirect(int64_t Size) {
    CheckOpen("SetSize");
    auto truncate = [&] {
        if (Injected(TORQFileCall::Truncate, FFileName) != 0) return false;
        NotifyFileWrite(TORQFileCall::Truncate, FFileName, FHandle, Size, 0);
        return ::ftruncate(FHandle, static_cast<off_t>(Size)) == 0;
    };
    FUnsynced = true;
    bool ok = truncate();
    if (!ok && Reconnect()) ok = truncate();
    if (!ok) {
        const int error = errno;
        RaiseNativeFmt(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s",
                       {FFileName, Size, error, ErrorText(error)});
    }
}

int64_t TORQDatabaseFile::GetSize() {
    CheckOpen("GetSize");
    struct stat st {};
    bool ok = ::fstat(FHandle, &st) == 0;
    if (!ok && Reconnect()) ok = ::fstat(FHandle, &st) == 0;
    if (!ok) {
        const int error = errno;
        RaiseNativeFmt(30371, "Cannot Get File Size for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                       {FFileName, error, ErrorText(error)});
    }
    return st.st_size;
}

bool TORQDatabaseFile::ReadOnce(void* Buffer, int64_t Position, int32_t Count, int32_t& Done, int& Error) {
    Done = 0;
    if ((Error = Injected(TORQFileCall::Read, FFileName)) != 0) return false;
    auto* bytes = static_cast<uint8_t*>(Buffer);
    while (Done < Count) {
        const ssize_t n = ::pread(FHandle, bytes + Done, static_cast<size_t>(Count - Done), static_cast<off_t>(Position + Done));
        if (n < 0) {
            if (errno == EINTR) continue;
            Error = errno;
            return false;
        }
        if (n == 0) break;  // end of file
        Done += static_cast<int32_t>(n);
    }
    return true;
}

bool TORQDatabaseFile::WriteOnce(const void* Buffer, int64_t Position, int32_t Count, int& Error) {
    int32_t done = 0;
    int32_t limit = Count;
    if (const int injected = Injected(TORQFileCall::Write, FFileName); injected > 0) {
        Error = injected;
        return false;
    } else if (injected < 0) {
        limit = -injected < Count ? -injected : Count;
    }
    NotifyFileWrite(TORQFileCall::Write, FFileName, FHandle, Position, limit);
    const auto* bytes = static_cast<const uint8_t*>(Buffer);
    while (done < limit) {
        const ssize_t n = ::pwrite(FHandle, bytes + done, static_cast<size_t>(limit - done), static_cast<off_t>(Position + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            Error = errno;
            return false;
        }
        if (n == 0) {
            Error = ENOSPC;
            return false;
        }
        done += static_cast<int32_t>(n);
    }
    if (done < Count) {
        Error = ENOSPC;
        return false;
    }
    return true;
}

int32_t TORQDatabaseFile::ReadBuffer(void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode, bool AllowShort) {
    CheckOpen("ReadBuffer");
    int32_t done = 0;
    int error = 0;
    bool ok = ReadOnce(Buffer, Position, Count, done, error);
    if (!ok && Reconnect()) ok = ReadOnce(Buffer, Position, Count, done, error);
    if (ok && FSink != nullptr) FSink->Patch(Buffer, Position, done);
    if (ok && (done == Count || AllowShort)) return done;
    RaiseNativeFmt(ErrorCode,
                   "Cannot Read from file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, "
                   "ErrorCode:%d. ErrorMessage: %s",
                   {FFileName, Position, Count, CurrentPosition(), CurrentSize(), ok ? 0 : error,
                    ok ? ErrorText(0) : ErrorText(error)});
}

bool TORQDatabaseFile::ReadBuffer(void* Buffer, int64_t Position, int32_t Count, int32_t* BytesRead) {
    CheckOpen("ReadBuffer");
    int32_t done = 0;
    int error = 0;
    bool ok = ReadOnce(Buffer, Position, Count, done, error);
    if (!ok && Reconnect()) ok = ReadOnce(Buffer, Position, Count, done, error);
    if (ok && FSink != nullptr) FSink->Patch(Buffer, Position, done);
    if (BytesRead != nullptr) {
        *BytesRead = ok ? done : 0;
        return ok;
    }
    return ok && done == Count;
}

void TORQDatabaseFile::WriteBuffer(const void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode) {
    CheckOpen("WriteBuffer");
    if (FSink != nullptr && Position >= 0) {
        FSink->Capture(Position, Buffer, Count);
        return;
    }
    WriteBufferDirect(Buffer, Position, Count, ErrorCode);
}

void TORQDatabaseFile::WriteBufferDirect(const void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode) {
    CheckOpen("WriteBuffer");
    // pwrite takes the position itself: a seek first would only cost a call per write.
    if (Position < 0) RaisePosition(Position, ErrorCode);
    int error = 0;
    FUnsynced = true;
    bool ok = WriteOnce(Buffer, Position, Count, error);
    if (!ok && Reconnect()) ok = WriteOnce(Buffer, Position, Count, error);
    if (ok) return;
    RaiseNativeFmt(ErrorCode,
                   "Cannot Write to file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, "
                   "ErrorCode:%d. ErrorMessage: %s",
                   {FFileName, Position, Count, CurrentPosition(), CurrentSize(), error, ErrorText(error)});
}

void TORQDatabaseFile::FlushFileBuffers() {
    CheckOpen("FlushFileBuffers");
    auto sync = [&] {
        if (Injected(TORQFileCall::Sync, FFileName) != 0) return false;
        NotifyFileWrite(TORQFileCall::Sync, FFileName, FHandle, 0, 0);
        return ::fdatasync(FHandle) == 0;
    };
    bool ok = sync();
    // Only a lost handle is worth a second try: after a write-back error the kernel may
    // have dropped the dirty pages, and a repeated sync would then succeed without them.
    if (!ok && errno == EBADF && Reconnect()) ok = sync();
    if (ok) FUnsynced = false;
    if (!ok) {
        const int error = errno;
        RaiseNativeFmt(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                       {FFileName, error, ErrorText(error)});
    }
}

bool TORQDatabaseFile::OverlapsHeld(int64_t Offset, int64_t Count) const {
    for (const TLockRange& r : FHeld)
        if (Offset < r.Offset + r.Count && r.Offset < Offset + Count) return true;
    return false;
}

bool TORQDatabaseFile::TryLock(int64_t Offset, int64_t Count, int& Error) {
    if ((Error = Injected(TORQFileCall::Lock, FFileName)) != 0) return false;
    if (FAccessMode == 1) return SetOfdLock(FHandle, F_WRLCK, Offset, Count, Error);
    // A read-only descriptor takes only read locks, which do not keep out another
    // reader's. Take, then look whether anyone else holds any of the range, and give it
    // back if so: two racing read-only handles may both fail, never both succeed.
    if (!SetOfdLock(FHandle, F_RDLCK, Offset, Count, Error)) return false;
    const int held = ProbeOfdLock(FHandle, Offset, Count, Error);
    if (held == 0) return true;
    int ignored = 0;
    SetOfdLock(FHandle, F_UNLCK, Offset, Count, ignored);
    if (held == 1) Error = EAGAIN;
    return false;
}

bool TORQDatabaseFile::TryUnlock(int64_t Offset, int64_t Count, int& Error) {
    if ((Error = Injected(TORQFileCall::Unlock, FFileName)) != 0) return false;
    return SetOfdLock(FHandle, F_UNLCK, Offset, Count, Error);
}

bool TORQDatabaseFile::LockOnce(int32_t Count, int64_t Offset) {
    int error = EAGAIN;
    if (Count > 0 && Offset >= 0 && !OverlapsHeld(Offset, Count) && TryLock(Offset, Count, error)) {
        FHeld.push_back({Offset, Count});
        return true;
    }
    if (LockFailuresPass == 0) LockFailuresPass = IsNetworkLockError(error) ? 1 : 0;
    return LockFailuresPass != 0;
}

bool TORQDatabaseFile::UnlockOnce(int32_t Count, int64_t Offset) {
    for (std::size_t i = 0; i < FHeld.size(); ++i) {
        if (FHeld[i].Offset != Offset || FHeld[i].Count != Count) continue;
        int error = 0;
        if (TryUnlock(Offset, Count, error)) {
            FHeld.erase(FHeld.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
        if (LockFailuresPass == 0) LockFailuresPass = IsNetworkLockError(error) ? 1 : 0;
        return LockFailuresPass != 0;
    }
    // Not a range held through this handle: refused, as an unlock of anything but an
    // exact held range is.
    return LockFailuresPass != 0;
}

bool TORQDatabaseFile::LockByte(int32_t Count, int64_t Offset) {
    CheckOpen("LockByte");
    if (LockOnce(Count, Offset)) return true;
    if (!Reconnect()) return false;
    LockFailuresPass = 0;
    return LockOnce(Count, Offset);
}

bool TORQDatabaseFile::UnlockByte(int32_t Count, int64_t Offset) {
    CheckOpen("UnlockByte");
    if (UnlockOnce(Count, Offset)) return true;
    if (IsDesignTime()) return true;
    if (!Reconnect()) return false;
    LockFailuresPass = 0;
    return UnlockOnce(Count, Offset);
}

bool TORQDatabaseFile::IsByteLocked(int64_t Offset) { return IsRegionLocked(1, Offset); }

bool TORQDatabaseFile::IsRegionLocked(int32_t Count, int64_t Offset) {
    CheckOpen("IsRegionLocked");
    if (OverlapsHeld(Offset, Count)) return true;
    int error = 0;
    const int held = ProbeOfdLock(FHandle, Offset, Count, error);
    if (held >= 0) return held == 1;
    // A file system without byte locks has nothing locked; any other failure is taken
    // as "locked", the answer that makes no caller go ahead.
    if (IsNetworkLockError(error)) {
        LockFailuresPass = 1;
        return false;
    }
    return true;
}

bool TORQDatabaseFile::Reconnect() {
    if (FIsOpen == 0) return false;
    if (FHandle >= 0) {
        struct stat st {};
        if (::fstat(FHandle, &st) == 0) {
            if (st.st_dev == FDevice && st.st_ino == FInode) return true;
            // The number now names another file (ours was closed under us): not ours to close.
            FHandle = -1;
        } else {
            ::close(FHandle);
            FHandle = -1;
        }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int handle = OpenHandle();
        if (handle >= 0) {
            if (!SameFile(handle)) {
                // The name leads to another file now: writing there would corrupt it.
                ::close(handle);
                return false;
            }
            FHandle = handle;
            for (const TLockRange& r : FHeld) {
                int error = 0;
                if (!TryLock(r.Offset, r.Count, error)) {
                    // Someone took a range we held: our protocol no longer stands.
                    ::close(handle);
                    FHandle = -1;
                    return false;
                }
            }
            return true;
        }
        if (attempt < 2) EngineSleep(1000);
    }
    return false;
}

int64_t TORQDatabaseFile::FindHeader() {
    CheckOpen("FindHeader");
    uint8_t head[SignatureSize + HeaderPart1Size];
    int32_t got = 0;
    if (ReadBuffer(head, 0, sizeof head, &got) && IsHeaderAt(head, got, 0)) return 0;
    const int64_t size = GetSize();
    std::vector<uint8_t> window(HeaderScanWindow);
    for (int64_t w = 0; w < size; w += HeaderScanStep) {
        if (!ReadBuffer(window.data(), w, HeaderScanWindow, &got)) break;
        for (int32_t p = 0; p + SignatureSize + 2 <= got; ++p)
            if (IsHeaderAt(window.data(), got, p)) return w + p;
    }
    return 0;
}

void TORQDatabaseFile::AcquireHandle() {
    if (FOpenCount == 0 && FIsOpen == 0) OpenFile(FFileName, FAccessMode, FShareMode);
    ++FOpenCount;
}

void TORQDatabaseFile::ReleaseHandle() {
    if (FOpenCount <= 0) return;
    if (--FOpenCount == 0 && FIsOpen != 0) CloseFile();
}

}  // namespace orq
