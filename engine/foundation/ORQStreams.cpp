#include "engine/foundation/ORQStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

namespace {

constexpr int64_t Int64Max = std::numeric_limits<int64_t>::max();

// Base + Offset, or -1 when the sum is negative or does not fit.
int64_t OffsetPosition(int64_t Base, int64_t Offset) {
    if (Offset > 0 && Base > Int64Max - Offset) return -1;
    int64_t p = Base + Offset;  // Base >= 0, so no negative overflow
    return p < 0 ? -1 : p;
}

// The largest single system transfer; bigger requests loop.
constexpr int64_t MaxSystemTransfer = 1 << 30;

}  // namespace

// ---------------------------------------------------------------------------------
// TORQStream

int64_t TORQStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    int64_t written = DoWrite(Buffer, Count);
    if (written > 0) FModified = 1;
    return written;
}

void TORQStream::SetSize(int64_t NewSize) {
    DoSetSize(NewSize);
    FModified = 1;
}

int64_t TORQStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TORQStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count > 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TORQStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count > 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

void TORQStream::Lock() {
    if (FLock != nullptr) FLock->lock();
}

void TORQStream::Unlock() {
    if (FLock != nullptr) FLock->unlock();
}

void TORQStream::DoProgress(double Percent) {
    if (OnProgress) OnProgress(*this, Percent);
}

void TORQStream::SaveToStream(TORQStream& Dest) {
    if (FBlockSize <= 0) RaiseNative(10418, "Stream block size = 0 is not allowed");
    int64_t ownPos = Position();
    int64_t destPos = Dest.Position();
    SetPosition(0);
    DoProgress(0);
    // A copy buffer lives for this call only: run-time heap, not the engine manager.
    std::vector<uint8_t> buffer(static_cast<std::size_t>(FBlockSize));
    int64_t size = Size();
    int64_t copied = 0;
    while (copied < size) {
        int64_t chunk = size - copied < FBlockSize ? size - copied : FBlockSize;
        ReadStreamChecked(buffer.data(), chunk, *this, 10146);
        WriteStreamChecked(buffer.data(), chunk, Dest, 10147);
        copied += chunk;
        DoProgress(static_cast<double>(copied) / static_cast<double>(size) * 100.0);
    }
    SetPosition(ownPos);
    Dest.SetPosition(destPos);
    DoProgress(100);
}

void TORQStream::LoadFromStream(TORQStream& Source) { LoadFromStreamRange(Source, 0, Source.Size()); }

void TORQStream::LoadFromStreamRange(TORQStream& Source, int64_t StartPos, int64_t Count) {
    if (FBlockSize <= 0) RaiseNative(10419, "Stream block size = 0 is not allowed");
    if (&Source == this) {
        // Emptying this stream would destroy the source: take the range out first.
        TORQMemoryStream range;
        range.SetBlockSize(FBlockSize);
        range.LoadFromStreamRange(*this, StartPos, Count);
        LoadFromStream(range);
        return;
    }
    int64_t ownPos = Position();
    int64_t sourcePos = Source.Position();
    SeekStreamChecked(Source, 10148, StartPos);
    SetSize(0);
    SetPosition(0);
    DoProgress(0);
    std::vector<uint8_t> buffer(static_cast<std::size_t>(FBlockSize));
    int64_t end = Count > 0 ? OffsetPosition(StartPos, Count) : StartPos;
    if (end < 0) end = Int64Max;
    for (int64_t at = Source.Position(); at < end; at = Source.Position()) {
        int64_t chunk = end - at < FBlockSize ? end - at : FBlockSize;
        ReadStreamChecked(buffer.data(), chunk, Source, 10148);
        WriteStreamChecked(buffer.data(), chunk, *this, 10149);
        int64_t sourceSize = Source.Size();
        if (sourceSize > 0)
            DoProgress(static_cast<double>(Source.Position()) / static_cast<double>(sourceSize) * 100.0);
    }
    SetPosition(ownPos);
    Source.SetPosition(sourcePos);
    DoProgress(100);
}

// ---------------------------------------------------------------------------------
// Checked transfers

void WriteStreamChecked(const void* Buffer, int64_t Count, TORQStream& Stream, int32_t NativeError) {
    int64_t before = Stream.Position();
    int64_t written = Stream.Write(Buffer, Count);
    if (written != Count)
        RaiseNativeFmt(NativeError, SCannotWriteToStream, {before, Stream.Size(), Count, written});
}

void ReadStreamChecked(void* Buffer, int64_t Count, TORQStream& Stream, int32_t NativeError) {
    int64_t before = Stream.Position();
    int64_t read = Stream.Read(Buffer, Count);
    if (read != Count)
        RaiseNativeFmt(NativeError, SCannotReadFromStream, {before, Stream.Size(), Count, read});
}

void SeekStreamChecked(TORQStream& Stream, int32_t NativeError, int64_t Position) {
    int64_t before = Stream.Position();
    if (Stream.Seek(Position, soBeginning) != Position)
        RaiseNativeFmt(NativeError, SCannotSetStreamPosition, {Position, before, Stream.Size()});
}

// ---------------------------------------------------------------------------------
// TORQMemoryStream

TORQMemoryStream::TORQMemoryStream(void* Block, int64_t Capacity) {
    if (Block != nullptr) {
        FSize = FCapacity = GlobalMemoryManager().GetBlockSize(Block);
        FMemory = static_cast<uint8_t*>(Block);
    } else if (Capacity > 0) {
        FMemory = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(Capacity));
        FCapacity = Capacity;
    }
}

TORQMemoryStream::~TORQMemoryStream() {
    try {
        GlobalMemoryManager().FreeAndNillMem(FMemory);
    } catch (const std::exception&) {
        // An overrun found here cannot be reported from a destructor; the block is
        // released all the same.
    }
}

void TORQMemoryStream::Resize(int64_t NewSize) {
    if (NewSize <= 0) {
        GlobalMemoryManager().FreeAndNillMem(FMemory);
        FSize = FCapacity = 0;
    } else if (FMemory == nullptr) {
        FMemory = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(NewSize));
        std::memset(FMemory, 0, static_cast<std::size_t>(NewSize));
        FSize = FCapacity = NewSize;
    } else {
        if (NewSize > FCapacity) {
            // Twice the request, as long as that fits; the manager refuses what no
            // block can hold.
            int64_t capacity = NewSize <= Int64Max / 2 ? NewSize * 2 : NewSize;
            try {
                GlobalMemoryManager().ReallocMem(FMemory, capacity);
            } catch (...) {
                // Usually the old block stays; an overrun found in it loses it.
                if (FMemory == nullptr) FSize = FCapacity = FPosition = 0;
                throw;
            }
            FCapacity = capacity;
        }
        // Bytes between the old and the new end were never written: zero them, so that
        // no stale heap contents can reach stored data.
        if (NewSize > FSize) std::memset(FMemory + FSize, 0, static_cast<std::size_t>(NewSize - FSize));
        FSize = NewSize;
    }
    if (FPosition > FSize) FPosition = FSize;
}

void TORQMemoryStream::DoSetSize(int64_t NewSize) { Resize(NewSize); }

int64_t TORQMemoryStream::Read(void* Buffer, int64_t Count) {
    if (Count < 1 || FPosition >= FSize) return 0;
    int64_t n = FSize - FPosition < Count ? FSize - FPosition : Count;
    std::memcpy(Buffer, FMemory + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

int64_t TORQMemoryStream::DoWrite(const void* Buffer, int64_t Count) {
    int64_t end = OffsetPosition(FPosition, Count);
    if (end < 0) return 0;
    if (end > FSize) {
        // Resize lowers the position only when it lies beyond the new end, never here.
        int64_t pos = FPosition;
        Resize(end);
        FPosition = pos;
    }
    std::memcpy(FMemory + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition = end;
    return Count;
}

int64_t TORQMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : FSize;
    int64_t target = OffsetPosition(base, Offset);
    if (target >= 0) FPosition = target;
    return FPosition;
}

// ---------------------------------------------------------------------------------
// TORQFileStream

TORQFileStream::TORQFileStream(const std::string& FileName, uint16_t Mode, bool IsTemporary)
    : FFileName(FileName), FMode(Mode), FIsTemporary(IsTemporary) {
    if (Mode == fmCreate) {
        FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0) RaiseNativeFmt(10104, "Cannot create file. FileName = %s", {FileName});
        if (IsTemporary) ::unlink(FileName.c_str());
    } else {
        int access = Mode & 3;
        int flags = access == fmOpenWrite ? O_WRONLY : access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
        FHandle = access == 3 ? -1 : ::open(FileName.c_str(), flags | O_CLOEXEC);
        if (FHandle < 0)
            RaiseNativeFmt(10105, "Cannot open file. FileName = %s, Mode = %d", {FileName, Mode});
        struct stat st {};
        if (::fstat(FHandle, &st) != 0 || S_ISDIR(st.st_mode)) {
            ::close(FHandle);
            FHandle = -1;
            RaiseNativeFmt(10105, "Cannot open file. FileName = %s, Mode = %d", {FileName, Mode});
        }
    }
}

TORQFileStream::~TORQFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TORQFileStream::Read(void* Buffer, int64_t Count) {
    int64_t done = 0;
    auto* out = static_cast<uint8_t*>(Buffer);
    while (done < Count) {
        int64_t want = Count - done < MaxSystemTransfer ? Count - done : MaxSystemTransfer;
        ssize_t n = ::pread(FHandle, out + done, static_cast<std::size_t>(want), FPosition);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file or failure
        done += n;
        FPosition += n;
    }
    return done;
}

int64_t TORQFileStream::DoWrite(const void* Buffer, int64_t Count) {
    if (OffsetPosition(FPosition, Count) < 0) return 0;
    int64_t done = 0;
    const auto* in = static_cast<const uint8_t*>(Buffer);
    while (done < Count) {
        int64_t want = Count - done < MaxSystemTransfer ? Count - done : MaxSystemTransfer;
        ssize_t n = ::pwrite(FHandle, in + done, static_cast<std::size_t>(want), FPosition);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
        FPosition += n;
    }
    return done;
}

int64_t TORQFileStream::Size() {
    struct stat st {};
    if (FHandle < 0 || ::fstat(FHandle, &st) != 0) return 0;
    return st.st_size;
}

int64_t TORQFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
    int64_t target = OffsetPosition(base, Offset);
    if (target >= 0) FPosition = target;
    return FPosition;
}

void TORQFileStream::DoSetSize(int64_t NewSize) {
    if (NewSize < 0 || ::ftruncate(FHandle, NewSize) != 0) {
        int err = NewSize < 0 ? EINVAL : errno;
        throw classlib::EInOutError(classlib::Format(
            "System Error. Code: %d. %s", {err, std::generic_category().message(err)}));
    }
    if (FPosition > NewSize) FPosition = NewSize;
}

// ---------------------------------------------------------------------------------
// TORQTemporaryStream

TORQTemporaryStream::TORQTemporaryStream(bool KeepInMemory)
    : FMemoryStream(std::make_unique<TORQMemoryStream>()), FKeepInMemory(KeepInMemory) {}

TORQTemporaryStream::~TORQTemporaryStream() = default;

TORQStream& TORQTemporaryStream::Inner() {
    if (FFileStream) return *FFileStream;
    return *FMemoryStream;
}

int64_t TORQTemporaryStream::Read(void* Buffer, int64_t Count) { return Inner().Read(Buffer, Count); }

int64_t TORQTemporaryStream::Seek(int64_t Offset, TSeekOrigin Origin) { return Inner().Seek(Offset, Origin); }

int64_t TORQTemporaryStream::Size() { return Inner().Size(); }

void TORQTemporaryStream::DoSetSize(int64_t NewSize) {
    if (WouldPassThreshold(NewSize)) Spill();
    Inner().SetSize(NewSize);
}

bool TORQTemporaryStream::WouldPassThreshold(int64_t NewSize) const {
    return !FFileStream && !FKeepInMemory && NewSize > SpillThreshold;
}

void TORQTemporaryStream::Spill() {
    std::string name = GetTemporaryFileName();
    // Until the file holds everything, the data stays in memory: a failure here
    // leaves the stream as it was, position included.
    std::unique_ptr<TORQFileStream> file;
    try {
        file = std::make_unique<TORQFileStream>(name, fmCreate, true);
    } catch (...) {
        ::unlink(name.c_str());  // the empty file made for the name
        throw;
    }
    const int64_t position = FMemoryStream->Position();
    try {
        file->LoadFromStream(*FMemoryStream);
    } catch (...) {
        FMemoryStream->SetPosition(position);  // the copy leaves it where it failed
        throw;
    }
    file->SetPosition(position);
    FTemporaryFileName = name;
    FFileStream = std::move(file);
    FMemoryStream.reset();
}

int64_t TORQTemporaryStream::DoWrite(const void* Buffer, int64_t Count) {
    // The size the write leaves, also when it starts beyond the end.
    if (!FFileStream) {
        const int64_t end = OffsetPosition(FMemoryStream->Position(), Count);
        if (WouldPassThreshold(end < 0 ? Int64Max : std::max(end, FMemoryStream->Size()))) Spill();
    }
    return Inner().Write(Buffer, Count);
}

std::string GetTemporaryFileName() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    path += "/ORQXXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) RaiseNativeFmt(10104, "Cannot create file. FileName = %s", {path});
    ::close(fd);
    return std::string(name.data());
}

}  // namespace orq
