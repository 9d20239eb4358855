// TORQDatabaseFile: the operating-system file under a disk database, with the byte-range
// locks and share modes of the platform the engine was written for, kept on Linux.
//
// Rules kept here:
// - Byte locks are open-file-description locks (F_OFD_SETLK / F_OFD_GETLK), never
//   process-wide record locks or flock, and every descriptor is opened O_CLOEXEC: two
//   handles conflict exactly as two processes do, closing one handle leaves the other's
//   locks, and an exec'd child inherits nothing.
// - Each handle keeps the table of ranges it holds. Locking a range that overlaps a held
//   one fails; unlocking needs exactly a held range; IsByteLocked/IsRegionLocked answer
//   "locked" for ranges held through this handle or by anyone else, and release nothing.
// - A read-only handle cannot take a write lock on Linux: it takes a read lock and keeps
//   it only when F_OFD_GETLK then shows nobody else holding any part of the range.
// - EAGAIN, EACCES and EINTR from a lock call mean "locked". Only ENOLCK, EOPNOTSUPP and
//   EINVAL mean "this file system has no byte locks" and set LockFailuresPass, after which
//   every failing lock or unlock reports success.
// - Share modes are emulated with read locks on four marker bytes at ShareMarkerOffset,
//   far beyond any data: "open for reading", "open for writing", "denies reading",
//   "denies writing". An open takes the markers of its access and of what it denies,
//   then looks (F_OFD_GETLK) for another handle holding the opposite marker: an access
//   that someone denies, or a denial of an access someone holds, refuses the open
//   (EBUSY). Taking before looking means two racing opens can both be refused, never
//   both admitted.
// - Locks are advisory here, mandatory where the engine was first written: a read or
//   write never fails because of someone's lock. The engine always locks before it
//   touches a shared structure, so only foreign programs could notice.
// - Reads and writes loop until the whole count moved or a call failed. A short read
//   (end of file) is a failure unless the caller allows it.
// - Reconnect reopens only the same file (device and inode) and takes the share markers
//   and every held range again; otherwise it fails and the handle stays invalid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orq {

// Test seam for failure paths: the system calls of the database file that a hook may fail.
enum class TORQFileCall : uint8_t { Read, Write, Lock, Unlock, Truncate, Sync };
// Consulted before each such call; a positive answer makes the call fail with that error
// number without reaching the kernel. For a write, a negative answer -N writes the first N
// bytes (at most the count) and then fails with ENOSPC: a disk filling up mid-write.
// Unset (the default) costs one test of a flag.
using TORQFileFaultHook = std::function<int(TORQFileCall Call, const std::string& FileName)>;
void SetFileFaultHook(TORQFileFaultHook Hook);
// Test seam for crash simulation: told of each write (Position, Count), size change
// (Position = new size) and sync that is about to reach the kernel, after the fault hook
// let it pass, with the descriptor it goes to; a test can keep what it overwrites aside.
using TORQFileWriteObserver =
    std::function<void(TORQFileCall Call, const std::string& FileName, int Handle, int64_t Position, int64_t Count)>;
void SetFileWriteObserver(TORQFileWriteObserver Observer);
// The other files of a database (its commit journal) go through the same seams: the error
// the fault hook injects for Call (errno set to it, 0 for none), and the observer's call.
int FileFaultFor(TORQFileCall Call, const std::string& FileName);
void NotifyFileWrite(TORQFileCall Call, const std::string& FileName, int Handle, int64_t Position, int64_t Count);

// Where a database file's writes go while a commit collects them (the commit journal):
// Capture takes a write instead of the file, Patch lays what was captured over bytes just
// read, CaptureSize takes a size change.
class TORQWriteSink {
public:
    virtual ~TORQWriteSink() = default;
    virtual void Capture(int64_t Position, const void* Buffer, int32_t Count) = 0;
    virtual void Patch(void* Buffer, int64_t Position, int32_t Count) = 0;
    virtual void CaptureSize(int64_t Size) = 0;
};

class TORQDatabaseFile {
public:
    // The first of the four share-mode marker bytes: access read, access write, deny read,
    // deny write. Page offsets stay below 2^47 (2^31 pages of at most 65535 bytes).
    static constexpr int64_t ShareMarkerOffset = 0x7FFF'FFFF'0000'0000;
    // Header scan: window size, and the step that keeps a 16-byte signature with its
    // 2-byte length inside one of two neighbouring windows.
    static constexpr int32_t HeaderScanWindow = 10000;
    static constexpr int32_t HeaderScanStep = HeaderScanWindow - 18;

    TORQDatabaseFile() = default;
    // Closes quietly; never throws.
    ~TORQDatabaseFile();
    TORQDatabaseFile(const TORQDatabaseFile&) = delete;
    TORQDatabaseFile& operator=(const TORQDatabaseFile&) = delete;

    // 30374 for a blank name. Refuses (30361, EBUSY) while any handle has the file open;
    // otherwise clears its read-only permission, deletes it and creates it anew, open for
    // reading and writing with share mode 0.
    void CreateFile(const std::string& FileName);
    // AccessMode 0 read only, 1 read and write (30366 else); ShareMode 0 exclusive, 1 others
    // may read and write, 2 others may only read (30367 else). 30364 when it cannot open.
    void OpenFile(const std::string& FileName, uint8_t AccessMode, uint8_t ShareMode);
    // 30365 when the close fails (the handle is gone all the same).
    void CloseFile();

    bool Seek(int64_t Position);
    // ErrorCode 0 means 30372.
    void SetPosition(int64_t Position, int32_t ErrorCode);
    int64_t GetPosition();
    void SetSize(int64_t Size);
    int64_t GetSize();
    // Reads Count bytes at Position; raises ErrorCode on failure, and on a short read
    // unless AllowShort. Answers the bytes read.
    int32_t ReadBuffer(void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode, bool AllowShort = false);
    // The same without raising: false on failure. A short read fails when BytesRead is
    // nil; otherwise it succeeds and BytesRead tells how much arrived.
    bool ReadBuffer(void* Buffer, int64_t Position, int32_t Count, int32_t* BytesRead = nullptr);
    void WriteBuffer(const void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode);
    // To the file itself even while a sink collects the writes.
    void WriteBufferDirect(const void* Buffer, int64_t Position, int32_t Count, int32_t ErrorCode);
    void SetSizeDirect(int64_t Size);
    // While set, WriteBuffer and SetSize go to the sink and reads see what it holds.
    void SetWriteSink(TORQWriteSink* Sink) { FSink = Sink; }
    TORQWriteSink* WriteSink() const { return FSink; }
    // fdatasync; 30379 on failure.
    void FlushFileBuffers();
    // Whether this handle wrote or resized the file since its last successful sync.
    bool Unsynced() const { return FUnsynced; }

    bool LockByte(int32_t Count, int64_t Offset);
    bool UnlockByte(int32_t Count, int64_t Offset);
    bool IsByteLocked(int64_t Offset);
    bool IsRegionLocked(int32_t Count, int64_t Offset);

    // True when the handle is usable, after reopening it when it was not (up to 3 opens,
    // 1000 ms apart through the engine's sleeper).
    bool Reconnect();
    // The header base: where the signature with its length 76 first lies, else 0.
    int64_t FindHeader();

    // Design-time use: open on the first acquire, close after the last release.
    void AcquireHandle();
    void ReleaseHandle();

    const std::string& FileName() const { return FFileName; }
    uint8_t AccessMode() const { return FAccessMode; }
    uint8_t ShareMode() const { return FShareMode; }
    bool IsOpen() const { return FIsOpen != 0; }
    int Handle() const { return FHandle; }
    int32_t OpenCount() const { return FOpenCount; }

    uint8_t LockFailuresPass = 0;

private:
    struct TLockRange {
        int64_t Offset;
        int64_t Count;
    };

    void CheckOpen(const char* Operation) const;
    void CheckClosed(const char* Operation) const;
    // Opens FFileName with the stored modes: the descriptor, or -1 with errno set
    // (EBUSY for a share conflict).
    int OpenHandle() const;
    bool SameFile(int Handle) const;
    bool TryLock(int64_t Offset, int64_t Count, int& Error);
    bool TryUnlock(int64_t Offset, int64_t Count, int& Error);
    bool LockOnce(int32_t Count, int64_t Offset);
    bool UnlockOnce(int32_t Count, int64_t Offset);
    bool OverlapsHeld(int64_t Offset, int64_t Count) const;
    bool ReadOnce(void* Buffer, int64_t Position, int32_t Count, int32_t& Done, int& Error);
    bool WriteOnce(const void* Buffer, int64_t Position, int32_t Count, int& Error);
    // For messages: the position and size at the moment of a failure, -1 when unknown.
    int64_t CurrentPosition() const;
    // The failure of a seek to Position (ErrorCode 0 means 30372).
    [[noreturn]] void RaisePosition(int64_t Position, int32_t ErrorCode) const;
    int64_t CurrentSize() const;

    std::string FFileName;
    uint8_t FAccessMode = 0;
    uint8_t FShareMode = 0;
    int FHandle = -1;
    uint8_t FIsOpen = 0;
    int32_t FOpenCount = 0;
    dev_t FDevice = 0;
    ino_t FInode = 0;
    std::vector<TLockRange> FHeld;
    TORQWriteSink* FSink = nullptr;
    bool FUnsynced = false;
};

}  // namespace orq
