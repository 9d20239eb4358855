// The engine's byte streams: the base TORQStream and its memory, file and temporary
// descendants, the copy operations between streams, and the checked read, write and
// seek functions that raise a caller-chosen native code on a short transfer.
//
// Invariants every stream keeps:
// - Sizes, positions and counts are 64-bit. A position never becomes negative (a seek
//   there is refused and the position stays); it may lie beyond the end: a read there
//   returns 0 bytes, a write there grows the stream and the gap reads as zeros.
// - The modified flag is set by every write that stores at least one byte and by every
//   size change. Write and SetSize are non-virtual for that reason: descendants
//   implement DoWrite and DoSetSize, and cannot forget the flag. Storage decides from it
//   whether a BLOB value must be stored at all.
// - Read and Write return how much they moved and never raise for a short transfer;
//   ReadBuffer/WriteBuffer and the checked functions turn a short transfer into an error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

namespace orq {

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// A short transfer in ReadBuffer / WriteBuffer (the class library's stream errors).
class EStreamError : public classlib::Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };

// Message forms shared by every raise site of a checked transfer (each site has its
// own code). Arguments: position before, stream size after, count asked, count moved.
inline constexpr std::string_view SCannotReadFromStream =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
inline constexpr std::string_view SCannotWriteToStream =
    "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
// Arguments: requested position, position before, stream size.
inline constexpr std::string_view SCannotSetStreamPosition =
    "Cannot set stream position to %d. Position = %d, Size = %d";

class TORQStream {
public:
    static constexpr int32_t DefaultBlockSize = 102400;

    TORQStream() = default;
    virtual ~TORQStream() = default;
    TORQStream(const TORQStream&) = delete;
    TORQStream& operator=(const TORQStream&) = delete;

    // Copies up to Count bytes from the position and advances it; returns the count read.
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    // Stores Count bytes at the position and advances it; returns the count written.
    int64_t Write(const void* Buffer, int64_t Count);
    // Moves the position and returns it; a target below 0 leaves the position unchanged.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    virtual int64_t Size();
    // Cuts or extends the stream; a position beyond the new end is lowered to it.
    void SetSize(int64_t NewSize);

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }

    // Read / Write of exactly Count bytes; EReadError / EWriteError otherwise.
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);

    // Copies this whole stream into Dest at Dest's position, in BlockSize chunks.
    // Both positions are restored afterwards (not after a failure). Codes: block size
    // 0 or less 10418, short read 10146, short write 10147.
    void SaveToStream(TORQStream& Dest);
    // LoadFromStreamRange(Source, 0, Source.Size()).
    void LoadFromStream(TORQStream& Source);
    // Replaces the contents by Count bytes of Source from StartPos; both positions are
    // restored afterwards. Codes: block size 0 or less 10419, short read 10148, short
    // write 10149.
    void LoadFromStreamRange(TORQStream& Source, int64_t StartPos, int64_t Count);

    // The critical section of the stream's owner; the stream neither makes nor frees it.
    // Without one, Lock and Unlock do nothing.
    void SetLockSection(std::recursive_mutex* Section) { FLock = Section; }
    virtual void Lock();
    virtual void Unlock();

    int32_t BlockSize() const { return FBlockSize; }
    void SetBlockSize(int32_t Value) { FBlockSize = Value; }

    bool Modified() const { return FModified != 0; }
    void SetModified(bool Value) { FModified = Value ? 1 : 0; }

    // Called by the copy operations with 0 first, 100 last, and the share done between.
    std::function<void(TORQStream& Sender, double Percent)> OnProgress;

protected:
    virtual int64_t DoWrite(const void* Buffer, int64_t Count) = 0;
    virtual void DoSetSize(int64_t NewSize) = 0;
    void DoProgress(double Percent);

private:
    std::recursive_mutex* FLock = nullptr;
    int32_t FBlockSize = DefaultBlockSize;
    uint8_t FModified = 0;
};

// A stream over one block of the engine memory manager. Capacity grows to twice the
// requested size when a size change outgrows it and is kept when the size shrinks.
class TORQMemoryStream : public TORQStream {
public:
    // With Block (an engine memory block) the stream adopts and will free it; size and
    // capacity are its user size. Otherwise Capacity bytes are reserved (size 0).
    explicit TORQMemoryStream(void* Block = nullptr, int64_t Capacity = 0);
    ~TORQMemoryStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return FSize; }

    uint8_t* Memory() const { return FMemory; }
    int64_t Capacity() const { return FCapacity; }

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    void DoSetSize(int64_t NewSize) override;

private:
    void Resize(int64_t NewSize);

    uint8_t* FMemory = nullptr;
    int64_t FSize = 0;
    int64_t FCapacity = 0;
    int64_t FPosition = 0;
};

// Mode words of TORQFileStream: access in the low two bits, sharing in bits 4 to 7.
// Linux files have no share modes; the sharing bits are accepted and not enforced
// (the database file keeps its own share protocol with byte locks).
inline constexpr uint16_t fmCreate = 0xFFFF;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

// A stream over an operating-system file. Mode fmCreate creates the file or truncates
// an existing one (10104 on failure); any other mode opens an existing file (10105).
// A temporary file is unlinked as soon as it is created, so it disappears with the
// handle, also when the process dies.
class TORQFileStream : public TORQStream {
public:
    TORQFileStream(const std::string& FileName, uint16_t Mode, bool IsTemporary = false);
    ~TORQFileStream() override;

    // Loops over partial transfers; a system failure ends the loop and the bytes moved
    // so far are returned (0 when none), so callers see a short transfer.
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    int Handle() const { return FHandle; }
    const std::string& FileName() const { return FFileName; }
    uint16_t Mode() const { return FMode; }
    bool IsTemporary() const { return FIsTemporary; }

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    // Failure to cut or extend raises classlib::EInOutError with the system's text.
    void DoSetSize(int64_t NewSize) override;

private:
    int FHandle = -1;
    std::string FFileName;
    uint16_t FMode;
    bool FIsTemporary;
    int64_t FPosition = 0;
};

// Keeps its data in memory until its size would pass SpillThreshold bytes (by a write,
// also one beyond the end, or by SetSize), then moves it once, contents and position
// unchanged, to a temporary file "ORQ..." in $TMPDIR (else /tmp) and stays there. A
// move that fails leaves the stream in memory exactly as it was. With KeepInMemory it
// never moves.
class TORQTemporaryStream : public TORQStream {
public:
    static constexpr int64_t SpillThreshold = 1048576;

    explicit TORQTemporaryStream(bool KeepInMemory = false);
    ~TORQTemporaryStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    bool InMemory() const { return FFileStream == nullptr; }
    bool KeepInMemory() const { return FKeepInMemory; }
    // Empty until the data has moved to a file.
    const std::string& TemporaryFileName() const { return FTemporaryFileName; }

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    void DoSetSize(int64_t NewSize) override;

private:
    TORQStream& Inner();
    bool WouldPassThreshold(int64_t NewSize) const;
    void Spill();

    std::unique_ptr<TORQMemoryStream> FMemoryStream;
    std::unique_ptr<TORQFileStream> FFileStream;
    std::string FTemporaryFileName;
    bool FKeepInMemory;
};

// Creates an empty, uniquely named file "ORQ" + six characters in $TMPDIR (else /tmp)
// and returns its name; 10104 when that fails.
std::string GetTemporaryFileName();

// Transfer exactly Count bytes or raise NativeError with SCannotWriteToStream /
// SCannotReadFromStream (position before, size after, Count, bytes moved).
void WriteStreamChecked(const void* Buffer, int64_t Count, TORQStream& Stream, int32_t NativeError);
void ReadStreamChecked(void* Buffer, int64_t Count, TORQStream& Stream, int32_t NativeError);
// Sets the position or raises NativeError with SCannotSetStreamPosition.
void SeekStreamChecked(TORQStream& Stream, int32_t NativeError, int64_t Position);

}  // namespace orq
