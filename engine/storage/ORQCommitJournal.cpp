#include "engine/storage/ORQCommitJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

constexpr char Magic[] = "ORQJRNL1";
constexpr int32_t MagicSize = 8;
constexpr uint32_t TagWrite = 1;
constexpr uint32_t TagSize = 2;
constexpr uint32_t TagCommit = 3;
constexpr uint32_t TagAllocated = 4;
constexpr int32_t RecordHeaderSize = 20;
constexpr int32_t MarkSize = 16;
constexpr size_t BufferLimit = 1 << 20;
// A journal left this large by a big commit is cut back when invalidated.
constexpr int64_t KeepLimit = 4 << 20;
constexpr int32_t StateOffset = 42;

uint32_t NextNonce() {
    static std::atomic<uint32_t> next{std::random_device{}()};
    return next.fetch_add(0x9E3779B9u);
}

bool WriteAll(int Handle, const std::string& Name, const uint8_t* Bytes, int64_t Count, int64_t At, int& Error) {
    if ((Error = FileFaultFor(TORQFileCall::Write, Name)) > 0) return false;
    int64_t limit = Count;
    if (Error < 0) limit = std::min<int64_t>(-Error, Count);
    NotifyFileWrite(TORQFileCall::Write, Name, Handle, At, limit);
    int64_t done = 0;
    while (done < limit) {
        const ssize_t n = ::pwrite(Handle, Bytes + done, static_cast<size_t>(limit - done), static_cast<off_t>(At + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Error = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += n;
    }
    if (done < Count) {
        Error = ENOSPC;
        return false;
    }
    Error = 0;
    return true;
}

bool SyncHandle(int Handle, const std::string& Name, int& Error) {
    if ((Error = FileFaultFor(TORQFileCall::Sync, Name)) != 0) return false;
    NotifyFileWrite(TORQFileCall::Sync, Name, Handle, 0, 0);
    if (::fdatasync(Handle) == 0) return true;
    Error = errno;
    return false;
}

// The folder's entry of a file just created must survive a power cut with it.
void SyncFolder(const std::string& FileName) {
    const size_t slash = FileName.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : FileName.substr(0, slash);
    const int handle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) return;
    ::fsync(handle);
    ::close(handle);
}

// Part 1 but its page count and highest used page (which allocations store before the
// commit, unsynced) and its state byte.
constexpr int32_t CountsOffset = 30;
constexpr int32_t CountsEnd = 38;

bool SamePart(const uint8_t* A, const uint8_t* B) {
    return std::memcmp(A, B, CountsOffset) == 0 && std::memcmp(A + CountsEnd, B + CountsEnd, StateOffset - CountsEnd) == 0 &&
           std::memcmp(A + StateOffset + 1, B + StateOffset + 1, TORQCommitJournal::PartSize - StateOffset - 1) == 0;
}

// A journal read whole and checked: its records (positions into Bytes) when complete.
struct TParsed {
    std::vector<uint8_t> Bytes;
    bool Valid = false;
    int64_t HeaderBase = 0;
    int64_t SizeBefore = 0;
    int64_t FinalSize = -1;
    const uint8_t* PartBefore = nullptr;
    const uint8_t* PartAfter = nullptr;
    // The header checked out; the pages listed right after it (a commit's allocations).
    bool HeaderValid = false;
    std::vector<int32_t> Allocated;
    struct TItem {
        int64_t Position;
        int32_t Count;
        size_t At;
    };
    std::vector<TItem> Items;
};

TParsed Parse(int Handle) {
    TParsed parsed;
    struct stat st {};
    if (::fstat(Handle, &st) != 0 || st.st_size < TORQCommitJournal::HeaderSize) return parsed;
    std::vector<uint8_t>& bytes = parsed.Bytes;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(Handle, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    if (bytes.size() < static_cast<size_t>(TORQCommitJournal::HeaderSize)) return parsed;
    const uint8_t* h = bytes.data();
    if (std::memcmp(h, Magic, MagicSize) != 0 || LoadLE32(h + 8) != static_cast<uint32_t>(TORQCommitJournal::HeaderSize) ||
        CRC32(0, h, 124) != LoadLE32(h + 124))
        return parsed;
    const uint32_t nonce = LoadLE32(h + 12);
    parsed.HeaderBase = static_cast<int64_t>(LoadLE64(h + 16));
    parsed.SizeBefore = static_cast<int64_t>(LoadLE64(h + 24));
    parsed.PartBefore = h + 32;
    parsed.HeaderValid = true;
    uint32_t running = nonce;
    size_t at = TORQCommitJournal::HeaderSize;
    uint32_t count = 0;
    for (;;) {
        if (at + 4 > bytes.size()) return parsed;
        const uint32_t tag = LoadLE32(bytes.data() + at);
        if (tag == TagCommit) {
            if (at + MarkSize > bytes.size()) return parsed;
            if (LoadLE32(bytes.data() + at + 4) != count || LoadLE32(bytes.data() + at + 8) != running) return parsed;
            break;
        }
        if ((tag != TagWrite && tag != TagSize && tag != TagAllocated) || at + RecordHeaderSize > bytes.size())
            return parsed;
        const uint8_t* r = bytes.data() + at;
        const uint32_t length = LoadLE32(r + 4);
        const auto position = static_cast<int64_t>(LoadLE64(r + 8));
        if ((tag == TagSize && length != 0) || position < 0 || length > bytes.size() - at - RecordHeaderSize)
            return parsed;
        const uint8_t* data = r + RecordHeaderSize;
        if (CRC32(nonce, data, static_cast<int32_t>(length)) != LoadLE32(r + 16)) return parsed;
        running = CRC32(running, r, static_cast<int32_t>(RecordHeaderSize + length));
        if (tag == TagAllocated) {
            // Only as the first record, whole pages numbers.
            if (count != 0 || length % 4 != 0) return parsed;
            for (uint32_t k = 0; k < length; k += 4) parsed.Allocated.push_back(static_cast<int32_t>(LoadLE32(data + k)));
        } else if (tag == TagSize) {
            parsed.FinalSize = position;
        } else {
            parsed.Items.push_back({position, static_cast<int32_t>(length), at + RecordHeaderSize});
            if (position == parsed.HeaderBase && length == static_cast<uint32_t>(TORQCommitJournal::PartSize))
                parsed.PartAfter = data;
        }
        ++count;
        at += RecordHeaderSize + length;
    }
    parsed.Valid = true;
    return parsed;
}

// Whether the journal was written for the file as it is now; Incomplete: whether it is an
// incomplete one (never applied) written for the file as it is.
bool Matches(const TParsed& Parsed, TORQDatabaseFile& File, int64_t HeaderBase, bool Incomplete = false) {
    if (!Parsed.HeaderValid || Parsed.Valid == Incomplete || Parsed.HeaderBase != HeaderBase) return false;
    uint8_t part[TORQCommitJournal::PartSize] = {};
    int32_t got = 0;
    if (!File.ReadBuffer(part, HeaderBase, TORQCommitJournal::PartSize, &got) || got != TORQCommitJournal::PartSize)
        return false;
    return SamePart(part, Parsed.PartBefore) || (Parsed.PartAfter != nullptr && SamePart(part, Parsed.PartAfter));
}

}  // namespace

TORQCommitJournal::TORQCommitJournal(std::string DatabaseFileName)
    : FFileName(JournalFileName(DatabaseFileName)) {}

TORQCommitJournal::~TORQCommitJournal() { Close(false); }

void TORQCommitJournal::RaiseJournal(const char* Operation, int Error) const {
    RaiseNativeFmt(31480, "Cannot %s commit journal '%s'. ErrorCode:%d. ErrorMessage: %s",
                   {std::string_view(Operation), FFileName, Error, std::string_view(std::strerror(Error))});
}

void TORQCommitJournal::OpenJournal(bool Barrier, bool Shared) {
    // A sole writer's journal stays as it opened it; others may remove or replace a shared
    // one between commits: the name is followed.
    if (FHandle >= 0 && !Shared) return;
    struct stat st {};
    const bool present = ::stat(FFileName.c_str(), &st) == 0;
    if (FHandle >= 0 && present && st.st_dev == FDevice && st.st_ino == FInode) return;
    if (FHandle >= 0) {
        ::close(FHandle);
        FHandle = -1;
    }
    const int handle = ::open(FFileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (handle < 0) RaiseJournal("open", errno);
    struct stat opened {};
    ::fstat(handle, &opened);
    FLength = opened.st_size;
    FHandle = handle;
    FDevice = opened.st_dev;
    FInode = opened.st_ino;
    if (!present && Barrier) SyncFolder(FFileName);
}

void TORQCommitJournal::Begin(int64_t HeaderBase, const uint8_t* Part1Before, int64_t SizeBefore, bool Barrier,
                              bool Shared, const std::vector<int32_t>& Allocated) {
    Abandon();
    OpenJournal(Barrier, Shared);
    FNonce = NextNonce();
    FRunning = FNonce;
    FFinalSize = -1;
    FRecords.clear();
    FBuffer.clear();
    FBufferAt = 0;
    FHeaderWritten = false;
    uint8_t header[HeaderSize] = {};
    std::memcpy(header, Magic, MagicSize);
    StoreLE32(header + 8, HeaderSize);
    StoreLE32(header + 12, FNonce);
    StoreLE64(header + 16, static_cast<uint64_t>(HeaderBase));
    StoreLE64(header + 24, static_cast<uint64_t>(SizeBefore));
    std::memcpy(header + 32, Part1Before, PartSize);
    StoreLE32(header + 124, CRC32(0, header, 124));
    FBuffer.insert(FBuffer.end(), header, header + HeaderSize);
    FCollecting = true;
    if (Allocated.empty()) return;
    std::vector<uint8_t> numbers(Allocated.size() * 4);
    for (size_t k = 0; k < Allocated.size(); ++k) StoreLE32(numbers.data() + 4 * k, static_cast<uint32_t>(Allocated[k]));
    const auto count = static_cast<int32_t>(numbers.size());
    uint8_t head[RecordHeaderSize] = {};
    StoreLE32(head, TagAllocated);
    StoreLE32(head + 4, static_cast<uint32_t>(count));
    StoreLE32(head + 16, CRC32(FNonce, numbers.data(), count));
    FRunning = CRC32(FRunning, head, RecordHeaderSize);
    FRunning = CRC32(FRunning, numbers.data(), count);
    // Counted in the mark like a write, applied by nothing.
    FRecords.push_back({0, 0, 0});
    Append(head, RecordHeaderSize);
    Append(numbers.data(), count);
    FListPending = true;
}

void TORQCommitJournal::WriteList() {
    if (!FListPending) return;
    FListPending = false;
    Flush();
}

void TORQCommitJournal::Append(const void* Bytes, int32_t Count) {
    const auto* b = static_cast<const uint8_t*>(Bytes);
    FBuffer.insert(FBuffer.end(), b, b + Count);
    if (FBuffer.size() >= BufferLimit) Flush();
}

void TORQCommitJournal::Flush() {
    FListPending = false;
    if (FBuffer.empty()) return;
    int error = 0;
    if (!WriteAll(FHandle, FFileName, FBuffer.data(), static_cast<int64_t>(FBuffer.size()), FBufferAt, error))
        RaiseJournal("write", error);
    if (FBufferAt == 0) {
        FHeaderWritten = true;
        FListLeft = false;
    }
    FBufferAt += static_cast<int64_t>(FBuffer.size());
    FLength = std::max(FLength, FBufferAt);
    FBuffer.clear();
}

void TORQCommitJournal::Capture(int64_t Position, const void* Buffer, int32_t Count) {
    if (!FCollecting) RaiseNative(31480, "Commit journal is not collecting");
    uint8_t head[RecordHeaderSize] = {};
    StoreLE32(head, TagWrite);
    StoreLE32(head + 4, static_cast<uint32_t>(Count));
    StoreLE64(head + 8, static_cast<uint64_t>(Position));
    StoreLE32(head + 16, CRC32(FNonce, Buffer, Count));
    FRunning = CRC32(FRunning, head, RecordHeaderSize);
    FRunning = CRC32(FRunning, Buffer, Count);
    const int64_t at = FBufferAt + static_cast<int64_t>(FBuffer.size()) + RecordHeaderSize;
    FRecords.push_back({Position, Count, at});
    Append(head, RecordHeaderSize);
    Append(Buffer, Count);
}

void TORQCommitJournal::CaptureSize(int64_t Size) {
    if (!FCollecting) RaiseNative(31480, "Commit journal is not collecting");
    uint8_t head[RecordHeaderSize] = {};
    StoreLE32(head, TagSize);
    StoreLE64(head + 8, static_cast<uint64_t>(Size));
    StoreLE32(head + 16, CRC32(FNonce, nullptr, 0));
    FRunning = CRC32(FRunning, head, RecordHeaderSize);
    FFinalSize = Size;
    // A size record counts in the mark like a write.
    FRecords.push_back({Size, -1, 0});
    Append(head, RecordHeaderSize);
}

void TORQCommitJournal::ReadJournal(void* Buffer, int64_t At, int32_t Count) {
    if (At >= FBufferAt) {
        std::memcpy(Buffer, FBuffer.data() + (At - FBufferAt), static_cast<size_t>(Count));
        return;
    }
    int32_t done = 0;
    while (done < Count) {
        const ssize_t n = ::pread(FHandle, static_cast<uint8_t*>(Buffer) + done, static_cast<size_t>(Count - done),
                                  static_cast<off_t>(At + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) RaiseJournal("read", n < 0 ? errno : EIO);
        done += static_cast<int32_t>(n);
    }
}

void TORQCommitJournal::Patch(void* Buffer, int64_t Position, int32_t Count) {
    auto* bytes = static_cast<uint8_t*>(Buffer);
    for (const TRecord& r : FRecords) {
        if (r.Count <= 0) continue;
        const int64_t from = std::max(Position, r.Position);
        const int64_t to = std::min(Position + Count, r.Position + r.Count);
        if (from >= to) continue;
        ReadJournal(bytes + (from - Position), r.JournalAt + (from - r.Position), static_cast<int32_t>(to - from));
    }
}

void TORQCommitJournal::Seal(bool Barrier) {
    uint8_t mark[MarkSize] = {};
    StoreLE32(mark, TagCommit);
    StoreLE32(mark + 4, static_cast<uint32_t>(FRecords.size()));
    StoreLE32(mark + 8, FRunning);
    Append(mark, MarkSize);
    Flush();
    int error = 0;
    if (Barrier && !SyncHandle(FHandle, FFileName, error)) RaiseJournal("sync", error);
    FCollecting = false;
}

void TORQCommitJournal::Apply(TORQDatabaseFile& File) {
    for (const TRecord& r : FRecords) {
        if (r.Count <= 0) continue;
        FScratch.resize(static_cast<size_t>(r.Count));
        ReadJournal(FScratch.data(), r.JournalAt, r.Count);
        File.WriteBufferDirect(FScratch.data(), r.Position, r.Count, 10469);
    }
    if (FFinalSize >= 0) File.SetSizeDirect(FFinalSize);
}

void TORQCommitJournal::Invalidate() noexcept {
    FCollecting = false;
    FRecords.clear();
    FBuffer.clear();
    FBufferAt = 0;
    if (FHandle < 0) return;
    const uint8_t zero[MagicSize] = {};
    int error = 0;
    if (!WriteAll(FHandle, FFileName, zero, MagicSize, 0, error)) return;
    FHeaderWritten = false;
    FListLeft = false;
    if (FLength > KeepLimit && FileFaultFor(TORQFileCall::Truncate, FFileName) == 0) {
        NotifyFileWrite(TORQFileCall::Truncate, FFileName, FHandle, HeaderSize, 0);
        if (::ftruncate(FHandle, HeaderSize) == 0) FLength = HeaderSize;
    }
}

void TORQCommitJournal::Abandon() noexcept {
    const bool written = FHeaderWritten;
    FCollecting = false;
    FRecords.clear();
    FBuffer.clear();
    FBufferAt = 0;
    if (written) Invalidate();
}

void TORQCommitJournal::Forget() noexcept {
    FListLeft = FListLeft || FHeaderWritten;
    FCollecting = false;
    FRecords.clear();
    FBuffer.clear();
    FBufferAt = 0;
    FHeaderWritten = false;
}

void TORQCommitJournal::Close(bool Remove) noexcept {
    FCollecting = false;
    FRecords.clear();
    FBuffer.clear();
    if (FHandle >= 0) {
        ::close(FHandle);
        FHandle = -1;
    }
    if (Remove) ::unlink(FFileName.c_str());
}

TORQCommitJournal::TRecovery TORQCommitJournal::Recover(TORQDatabaseFile& File, int64_t HeaderBase, bool Barrier,
                                                        std::vector<int32_t>* Abandoned) {
    const std::string name = JournalFileName(File.FileName());
    const int handle = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (handle < 0) {
        if (errno == ENOENT) return TRecovery::None;
        RaiseNativeFmt(31480, "Cannot open commit journal '%s'. ErrorCode:%d. ErrorMessage: %s",
                       {name, errno, std::string_view(std::strerror(errno))});
    }
    struct TClose {
        int Handle;
        ~TClose() { ::close(Handle); }
    } closer{handle};
    const TParsed parsed = Parse(handle);
    if (Abandoned != nullptr && !parsed.Allocated.empty() && Matches(parsed, File, HeaderBase, true)) {
        *Abandoned = parsed.Allocated;
        return TRecovery::Abandoned;
    }
    if (!Matches(parsed, File, HeaderBase)) {
        ::unlink(name.c_str());
        return TRecovery::Discarded;
    }
    for (const TParsed::TItem& item : parsed.Items)
        File.WriteBufferDirect(parsed.Bytes.data() + item.At, item.Position, item.Count, 10469);
    if (parsed.FinalSize >= 0) File.SetSizeDirect(parsed.FinalSize);
    if (Barrier) File.FlushFileBuffers();
    // Only now may the journal go: cut short before, the next recovery applies it again.
    ::unlink(name.c_str());
    return TRecovery::Applied;
}

void TORQCommitJournal::Remove(const std::string& DatabaseFileName) { ::unlink(JournalFileName(DatabaseFileName).c_str()); }

bool TORQCommitJournal::HeaderPresent(const std::string& DatabaseFileName) {
    const int handle = ::open(JournalFileName(DatabaseFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) return false;
    uint8_t magic[MagicSize] = {};
    const ssize_t n = ::pread(handle, magic, MagicSize, 0);
    ::close(handle);
    return n == MagicSize && std::memcmp(magic, Magic, MagicSize) == 0;
}

bool TORQCommitJournal::HasValidJournal(TORQDatabaseFile& File, int64_t HeaderBase) {
    const std::string name = JournalFileName(File.FileName());
    const int handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) return false;
    const TParsed parsed = Parse(handle);
    ::close(handle);
    return Matches(parsed, File, HeaderBase);
}

}  // namespace orq
