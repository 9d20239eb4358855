#include "engine/storage/ORQInternalFiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDiskPageManager.h"

namespace orq {

namespace {

constexpr int32_t NextPageOffset = 10;
constexpr int32_t PageTypeOffset = 8;
constexpr int32_t SessionSystem = -2;

// A page taken from the cache for one scope; released on every path.
class TPageHold {
public:
    TPageHold(TORQDiskPageManager& Manager, TORQPage* Page) : FManager(Manager), FPage(Page) {}
    TPageHold(TORQDiskPageManager& Manager, int32_t SessionID, int32_t PageNo, bool Validate, uint16_t Type)
        : FManager(Manager), FPage(Manager.GetPage(SessionID, PageNo, Validate, Type)) {}
    ~TPageHold() { FManager.ReleasePage(FPage); }
    TPageHold(const TPageHold&) = delete;
    TPageHold& operator=(const TPageHold&) = delete;

    uint8_t* Data() const { return FPage->GetData(); }
    int32_t Next() const { return static_cast<int32_t>(LoadLE32(FPage->GetBuffer() + NextPageOffset)); }
    void SetNext(int32_t PageNo) {
        StoreLE32(FPage->GetBuffer() + NextPageOffset, static_cast<uint32_t>(PageNo));
        FPage->Modified = 1;
    }
    void Modify() { FPage->Modified = 1; }
    TORQPage* Page() const { return FPage; }

private:
    TORQDiskPageManager& FManager;
    TORQPage* FPage;
};

struct TFreeDeleter {
    void operator()(uint8_t* P) const { std::free(P); }
};
using TMallocBlock = std::unique_ptr<uint8_t, TFreeDeleter>;

// Checks each page of one walk: a page outside the file or one visited before means the
// chain is damaged, so no walk outlasts the database's page count.
class TChainGuard {
public:
    TChainGuard(TORQDiskPageManager& Manager, int32_t FirstPage)
        : FManager(Manager), FFirstPage(FirstPage), FLimit(std::max(Manager.PageCount, 1)) {}
    // Called before each page of the walk is visited.
    void Step(int32_t PageNo) {
        if (PageNo < 0 || !FVisited.insert(PageNo).second) Damaged();
        if (PageNo < FLimit) return;
        // Another process or this session may have grown the file since the walk began.
        FLimit = FManager.GetPageCount();
        if (PageNo >= FLimit) Damaged();
    }

private:
    [[noreturn]] void Damaged() const {
        RaiseNativeFmt(30960, "Internal file chain is damaged. FirstPage=%d. PageCount=%d", {FFirstPage, FLimit});
    }
    TORQDiskPageManager& FManager;
    int32_t FFirstPage;
    int32_t FLimit;
    std::unordered_set<int32_t> FVisited;
};

[[noreturn]] void HeaderDamaged(int32_t FirstPage) {
    RaiseNativeFmt(30961, "Internal file header is damaged. FirstPage=%d", {FirstPage});
}

}  // namespace

int32_t InternalFilePageCount(int64_t Bytes, int32_t DataSize) {
    const int64_t total = std::max<int64_t>(Bytes, 0) + InternalFileHeaderSize;
    return static_cast<int32_t>((total + DataSize - 1) / DataSize);
}

// ---------------------------------------------------------------------------------
// Transacted files

TORQInternalDBTransactedAccessFile::TORQInternalDBTransactedAccessFile(TORQDiskPageManager& PageManager,
                                                                       uint16_t PageType)
    : FPageManager(PageManager), FPageType(PageType) {}

void TORQInternalDBTransactedAccessFile::CheckOpen(const char* Operation) const {
    if (FFirstPage == -1)
        RaiseNativeFmt(30389, "Cannot perform this operation (%s) on closed internal file", {std::string_view(Operation)});
}

void TORQInternalDBTransactedAccessFile::CreateFile(int32_t SessionID) {
    if (FFirstPage != -1)
        RaiseNativeFmt(30383, "Cannot create Internal file. File already exists. StartPageNo=%d", {FFirstPage});
    TPageHold page(FPageManager, FPageManager.AddNewPage(SessionID, FPageType));
    uint8_t* data = page.Data();
    data[0] = InternalFileHeaderSize;
    StoreLE32(data + 1, 0);
    StoreLE32(data + 5, 0);
    data[9] = CompressionNone;
    FFirstPage = page.Page()->PageNo;
}

void TORQInternalDBTransactedAccessFile::OpenFile(int32_t FirstPage) {
    if (FirstPage != -1) FFirstPage = FirstPage;
}

void TORQInternalDBTransactedAccessFile::DeleteFile(int32_t SessionID, int32_t FirstPage) {
    int32_t pageNo = FirstPage != -1 ? FirstPage : FFirstPage;
    TChainGuard guard(FPageManager, pageNo);
    while (pageNo != -1) {
        guard.Step(pageNo);
        int32_t next = -1;
        {
            TPageHold page(FPageManager, SessionID, pageNo, true, FPageType);
            next = page.Next();
        }
        FPageManager.FreePageForSession(SessionID, pageNo);
        pageNo = next;
    }
    FFirstPage = -1;
}

TORQInternalDBTransactedAccessFile::THeader TORQInternalDBTransactedAccessFile::ReadHeader(int32_t SessionID,
                                                                                          bool Validate) {
    TPageHold page(FPageManager, SessionID, FFirstPage, Validate, FPageType);
    const uint8_t* data = page.Data();
    THeader h;
    h.Stored = static_cast<int32_t>(LoadLE32(data + 1));
    h.Uncompressed = static_cast<int32_t>(LoadLE32(data + 5));
    h.Algorithm = data[9];
    if (data[0] != InternalFileHeaderSize || h.Stored < 0 || h.Uncompressed < 0 || h.Algorithm > CompressionPPM ||
        (h.Algorithm == CompressionNone && h.Stored != h.Uncompressed))
        HeaderDamaged(FFirstPage);
    // Nothing is allocated from a count the file could not hold. The page count known here
    // may be older than another process's growth of the file: ask the header before refusing.
    auto capacity = [this](int32_t Pages) { return int64_t{std::max(Pages, 1)} * FPageManager.DataSize; };
    if (h.Stored > capacity(FPageManager.PageCount) && h.Stored > capacity(FPageManager.GetPageCount()))
        HeaderDamaged(FFirstPage);
    return h;
}

void TORQInternalDBTransactedAccessFile::GetSize(int32_t SessionID, bool Validate, int32_t& StoredCount,
                                                 uint8_t& Algorithm, int32_t& UncompressedCount) {
    CheckOpen("GetSize");
    const THeader h = ReadHeader(SessionID, Validate);
    StoredCount = h.Stored;
    Algorithm = h.Algorithm;
    UncompressedCount = h.Uncompressed;
}

int32_t TORQInternalDBTransactedAccessFile::GetUncompressedSize(int32_t SessionID) {
    CheckOpen("GetSize");
    return ReadHeader(SessionID, true).Uncompressed;
}

void TORQInternalDBTransactedAccessFile::SetSize(int32_t SessionID, int32_t StoredCount, uint8_t Algorithm,
                                                 int32_t UncompressedCount) {
    CheckOpen("SetSize");
    const int32_t u = FPageManager.DataSize;
    const int32_t wanted = InternalFilePageCount(StoredCount, u);
    // The chain as it is, not as the header claims: a damaged count must not leave pages
    // unlinked or link past the chain's end.
    std::vector<int32_t> chain;
    {
        TChainGuard guard(FPageManager, FFirstPage);
        for (int32_t pageNo = FFirstPage; pageNo != -1;) {
            guard.Step(pageNo);
            chain.push_back(pageNo);
            if (static_cast<int32_t>(chain.size()) > wanted) break;  // the rest is cut below
            TPageHold page(FPageManager, SessionID, pageNo, true, FPageType);
            pageNo = page.Next();
        }
    }
    const auto have = static_cast<int32_t>(chain.size());
    if (have < wanted) {
        int32_t last = chain.back();
        for (int32_t i = have; i < wanted; ++i) {
            TPageHold fresh(FPageManager, FPageManager.AddNewPage(SessionID, FPageType));
            TPageHold prev(FPageManager, SessionID, last, true, FPageType);
            prev.SetNext(fresh.Page()->PageNo);
            last = fresh.Page()->PageNo;
        }
    } else if (have > wanted) {
        int32_t cut = -1;
        {
            TPageHold lastKept(FPageManager, SessionID, chain[static_cast<std::size_t>(wanted - 1)], true, FPageType);
            cut = lastKept.Next();
            lastKept.SetNext(-1);
        }
        // The pages cut off go back to the free space with the session's commit.
        TChainGuard guard(FPageManager, FFirstPage);
        for (int32_t i = 0; i < wanted; ++i) guard.Step(chain[static_cast<std::size_t>(i)]);
        while (cut != -1) {
            guard.Step(cut);
            int32_t next = -1;
            {
                TPageHold page(FPageManager, SessionID, cut, true, FPageType);
                next = page.Next();
            }
            FPageManager.FreePageForSession(SessionID, cut);
            cut = next;
        }
    }
    TPageHold first(FPageManager, SessionID, FFirstPage, true, FPageType);
    uint8_t* data = first.Data();
    data[0] = InternalFileHeaderSize;
    StoreLE32(data + 1, static_cast<uint32_t>(StoredCount));
    StoreLE32(data + 5, static_cast<uint32_t>(UncompressedCount));
    data[9] = Algorithm;
    first.Modify();
}

void TORQInternalDBTransactedAccessFile::WriteFile(int32_t SessionID, const void* Data, uint8_t CompressionMode,
                                                   uint8_t Algorithm, int32_t Count) {
    CheckOpen("WriteFile");
    if (Count < 0) Count = 0;
    // Empty content is stored plainly: there is nothing a decompression could restore.
    if (Count == 0) Algorithm = CompressionNone;
    TMallocBlock packed;
    const uint8_t* stored = static_cast<const uint8_t*>(Data);
    int32_t storedCount = Count;
    if (Algorithm != CompressionNone) {
        uint8_t* out = nullptr;
        int32_t outSize = 0;
        const bool ok = CompressBuffer(Algorithm, CompressionMode, Data, Count, out, outSize);
        packed.reset(out);
        if (!ok) RaiseNative(20187, "Table file compression error");
        stored = packed.get();
        storedCount = outSize;
    }
    SetSize(SessionID, storedCount, Algorithm, Count);
    const int32_t u = FPageManager.DataSize;
    int32_t pageNo = FFirstPage;
    int32_t offset = InternalFileHeaderSize;
    int32_t done = 0;
    TChainGuard guard(FPageManager, FFirstPage);
    while (done < storedCount) {
        guard.Step(pageNo);
        TPageHold page(FPageManager, SessionID, pageNo, true, FPageType);
        const int32_t chunk = std::min(u - offset, storedCount - done);
        std::memcpy(page.Data() + offset, stored + done, static_cast<std::size_t>(chunk));
        page.Modify();
        done += chunk;
        offset = 0;
        pageNo = page.Next();
        if (done < storedCount && pageNo == -1) HeaderDamaged(FFirstPage);
    }
}

void TORQInternalDBTransactedAccessFile::ReadFile(int32_t SessionID, void* Buffer, bool Validate, int32_t Count) {
    CheckOpen("ReadFile");
    const THeader h = ReadHeader(SessionID, Validate);
    if (h.Uncompressed < Count)
        RaiseNativeFmt(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", {h.Uncompressed, Count});
    if (Count <= 0) return;
    const bool compressed = h.Algorithm != CompressionNone;
    std::vector<uint8_t> block;
    uint8_t* target = static_cast<uint8_t*>(Buffer);
    int32_t wanted = Count;
    if (compressed) {
        block.resize(static_cast<std::size_t>(h.Stored));
        target = block.data();
        wanted = h.Stored;
    }
    const int32_t u = FPageManager.DataSize;
    int32_t pageNo = FFirstPage;
    int32_t offset = InternalFileHeaderSize;
    int32_t done = 0;
    TChainGuard guard(FPageManager, FFirstPage);
    while (done < wanted && pageNo != -1) {
        guard.Step(pageNo);
        TPageHold page(FPageManager, SessionID, pageNo, Validate, FPageType);
        const int32_t chunk = std::min(u - offset, wanted - done);
        std::memcpy(target + done, page.Data() + offset, static_cast<std::size_t>(chunk));
        done += chunk;
        offset = 0;
        pageNo = page.Next();
    }
    if (done < wanted)
        RaiseNativeFmt(30388, "Cannot Read internal file. FileSize=%d. ReadSize=%d",
                       {compressed ? h.Stored : h.Uncompressed, wanted});
    if (!compressed) return;
    uint8_t* out = nullptr;
    int32_t outSize = h.Uncompressed;
    const bool ok = DecompressBuffer(h.Algorithm, block.data(), h.Stored, out, outSize);
    TMallocBlock plain(out);
    if (!ok || outSize < Count || plain == nullptr)
        RaiseNative(20189, "Table file decompression error. Possible table corruption");
    std::memcpy(Buffer, plain.get(), static_cast<std::size_t>(Count));
}

// ---------------------------------------------------------------------------------
// Direct files

TORQInternalDBDirectAccessFile::TORQInternalDBDirectAccessFile(TORQDiskPageManager& PageManager, uint16_t PageType)
    : FPageManager(PageManager), FPageType(PageType) {}

int32_t TORQInternalDBDirectAccessFile::DataSize() const { return FPageManager.DataSize; }

void TORQInternalDBDirectAccessFile::CheckOpen(const char* Operation) const {
    if (FFirstPage == -1)
        RaiseNativeFmt(20156, "Cannot perform this operation (%s) on closed internal file", {std::string_view(Operation)});
}

void TORQInternalDBDirectAccessFile::CreateFile(int32_t Size) {
    if (FFirstPage != -1)
        RaiseNativeFmt(20157, "Cannot create Internal file. File already exists. StartPageNo=%d", {FFirstPage});
    if (Size < 0) Size = 0;
    const int32_t count = InternalFilePageCount(Size, DataSize());
    std::vector<int32_t> pages;
    TORQPage* first = FPageManager.AddNewPage(SessionSystem, FPageType);
    {
        TPageHold hold(FPageManager, first);
        // Read and written in place by every process: never enciphered.
        first->CipherFlag = 0;
        first->GetData()[0] = InternalFileHeaderSize;
        StoreLE32(first->GetData() + 1, static_cast<uint32_t>(Size));
        pages.push_back(first->PageNo);
    }
    for (int32_t i = 1; i < count; ++i) {
        TPageHold fresh(FPageManager, FPageManager.AddNewPage(SessionSystem, FPageType));
        fresh.Page()->CipherFlag = 0;
        TPageHold prev(FPageManager, SessionSystem, pages.back(), false, FPageType);
        prev.SetNext(fresh.Page()->PageNo);
        pages.push_back(fresh.Page()->PageNo);
    }
    FFirstPage = pages.front();
    FPages = std::move(pages);
    FFileSize = Size;
}

int32_t TORQInternalDBDirectAccessFile::ReadNextInPlace(int32_t PageNo) {
    // From the second byte on: the first may be held as the whole-file lock.
    uint8_t header[NextPageOffset + 4 - 1];
    FPageManager.ReadPageRegion(header, PageNo, static_cast<int32_t>(sizeof header), 1);
    const uint16_t type = LoadLE16(header + PageTypeOffset - 1);
    if (type != FPageType) RaiseNativeFmt(20155, "Invalid PageType found: %d but expecting: %d", {type, FPageType});
    return static_cast<int32_t>(LoadLE32(header + NextPageOffset - 1));
}

void TORQInternalDBDirectAccessFile::OpenFile(int32_t FirstPage) {
    FFirstPage = FirstPage;
    FPages.clear();
    try {
        const int32_t size = GetSize();
        if (size < 0) HeaderDamaged(FirstPage);
        TChainGuard guard(FPageManager, FirstPage);
        int32_t firstNext = -1;
        for (int32_t pageNo = FirstPage; pageNo != -1;) {
            guard.Step(pageNo);
            const int32_t next = ReadNextInPlace(pageNo);
            if (FPages.empty()) firstNext = next;
            FPages.push_back(pageNo);
            pageNo = next;
        }
        if (firstNext == -1) {
            FFileSize = DataSize() - InternalFileHeaderSize;
        } else {
            // Every byte the size promises must lie on the chain.
            if (static_cast<int32_t>(FPages.size()) < InternalFilePageCount(size, DataSize())) HeaderDamaged(FirstPage);
            FFileSize = size;
        }
    } catch (...) {
        FFirstPage = -1;
        FPages.clear();
        FFileSize = 0;
        throw;
    }
}

void TORQInternalDBDirectAccessFile::DeleteFile(int32_t FirstPage) {
    int32_t pageNo = FirstPage != -1 ? FirstPage : FFirstPage;
    TChainGuard guard(FPageManager, pageNo);
    std::vector<int32_t> chain;
    while (pageNo != -1) {
        guard.Step(pageNo);
        chain.push_back(pageNo);
        pageNo = ReadNextInPlace(pageNo);
    }
    for (int32_t p : chain) FPageManager.FreePageForSession(SessionSystem, p);
    FFirstPage = -1;
    FPages.clear();
    FFileSize = 0;
}

int32_t TORQInternalDBDirectAccessFile::GetSize() {
    CheckOpen("GetSize");
    uint8_t bytes[4];
    FPageManager.ReadPageRegion(bytes, FFirstPage, 4, TORQDiskPageManager::DiskPageHeaderSize + 1);
    return static_cast<int32_t>(LoadLE32(bytes));
}

void TORQInternalDBDirectAccessFile::Locate(int32_t Position, int32_t& PageNo, int32_t& Offset) const {
    const int64_t at = int64_t{Position} + InternalFileHeaderSize;
    const auto index = static_cast<std::size_t>(at / DataSize());
    if (Position < 0 || index >= FPages.size())
        RaiseNativeFmt(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {FFileSize, Position});
    PageNo = FPages[index];
    Offset = static_cast<int32_t>(at % DataSize()) + TORQDiskPageManager::DiskPageHeaderSize;
}

int32_t TORQInternalDBDirectAccessFile::DirectReadBuffer(void* Buffer, int32_t Count, int32_t Position) {
    CheckOpen("DirectReadBuffer");
    if (Position < 0 || Position > FFileSize)
        RaiseNativeFmt(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {FFileSize, Position});
    if (Count <= 0) return 0;
    const int64_t at = int64_t{Position} + InternalFileHeaderSize;
    auto index = static_cast<std::size_t>(at / DataSize());
    int32_t offset = static_cast<int32_t>(at % DataSize()) + TORQDiskPageManager::DiskPageHeaderSize;
    int32_t done = 0;
    auto* out = static_cast<uint8_t*>(Buffer);
    while (done < Count && index < FPages.size()) {
        const int32_t chunk = std::min<int32_t>(FPageManager.PageSize - offset, Count - done);
        FPageManager.ReadPageRegion(out + done, FPages[index], chunk, offset);
        done += chunk;
        ++index;
        offset = TORQDiskPageManager::DiskPageHeaderSize;
    }
    return done;
}

int32_t TORQInternalDBDirectAccessFile::DirectWriteBuffer(const void* Buffer, int32_t Count, int32_t Position) {
    CheckOpen("DirectWriteBuffer");
    if (Position < 0 || Position > FFileSize)
        RaiseNativeFmt(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {FFileSize, Position});
    const int32_t stored = GetSize();
    if (Count < 0 || int64_t{Position} + Count > stored)
        RaiseNativeFmt(20158, "Cannot write after end of file. FileSize=%d. Position=%d, Count=%d",
                       {stored, Position, Count});
    const int64_t at = int64_t{Position} + InternalFileHeaderSize;
    auto index = static_cast<std::size_t>(at / DataSize());
    int32_t offset = static_cast<int32_t>(at % DataSize()) + TORQDiskPageManager::DiskPageHeaderSize;
    int32_t done = 0;
    const auto* in = static_cast<const uint8_t*>(Buffer);
    while (done < Count && index < FPages.size()) {
        const int32_t chunk = std::min<int32_t>(FPageManager.PageSize - offset, Count - done);
        FPageManager.WritePageRegion(in + done, FPages[index], chunk, offset);
        done += chunk;
        ++index;
        offset = TORQDiskPageManager::DiskPageHeaderSize;
    }
    return done;
}

bool TORQInternalDBDirectAccessFile::LockFile() {
    CheckOpen("LockFile");
    return FPageManager.LockPageByte(FFirstPage, 0);
}

bool TORQInternalDBDirectAccessFile::UnlockFile() {
    CheckOpen("UnlockFile");
    return FPageManager.UnlockPageByte(FFirstPage, 0);
}

bool TORQInternalDBDirectAccessFile::LockByte(int32_t Position) {
    CheckOpen("LockByte");
    int32_t page = 0, offset = 0;
    Locate(Position, page, offset);
    return FPageManager.LockPageByte(page, offset);
}

bool TORQInternalDBDirectAccessFile::UnlockByte(int32_t Position) {
    CheckOpen("UnlockByte");
    int32_t page = 0, offset = 0;
    Locate(Position, page, offset);
    return FPageManager.UnlockPageByte(page, offset);
}

bool TORQInternalDBDirectAccessFile::IsByteLocked(int32_t Position) {
    CheckOpen("IsByteLocked");
    int32_t page = 0, offset = 0;
    Locate(Position, page, offset);
    return FPageManager.IsPageByteLocked(page, offset);
}

std::vector<TORQInternalDBDirectAccessFile::TPageRange> TORQInternalDBDirectAccessFile::PageRanges(int32_t Position,
                                                                                                   int32_t Count) const {
    std::vector<TPageRange> ranges;
    if (Count <= 0) return ranges;
    int32_t lastPage = 0, lastOffset = 0;
    Locate(static_cast<int32_t>(int64_t{Position} + Count - 1), lastPage, lastOffset);
    int64_t at = int64_t{Position} + InternalFileHeaderSize;
    const int64_t end = at + Count;
    while (at < end) {
        const int64_t pageEnd = (at / DataSize() + 1) * DataSize();
        const auto chunk = static_cast<int32_t>(std::min(end, pageEnd) - at);
        int32_t page = 0, offset = 0;
        Locate(static_cast<int32_t>(at - InternalFileHeaderSize), page, offset);
        ranges.push_back({page, offset, chunk});
        at += chunk;
    }
    return ranges;
}

bool TORQInternalDBDirectAccessFile::LockRegion(int32_t Position, int32_t Count) {
    CheckOpen("LockRegion");
    const std::vector<TPageRange> ranges = PageRanges(Position, Count);
    std::size_t taken = 0;
    while (taken < ranges.size() &&
           FPageManager.LockPageRegion(ranges[taken].PageNo, ranges[taken].Offset, ranges[taken].Count))
        ++taken;
    if (taken == ranges.size()) return true;
    while (taken > 0) {
        --taken;
        FPageManager.UnlockPageRegion(ranges[taken].PageNo, ranges[taken].Offset, ranges[taken].Count);
    }
    return false;
}

bool TORQInternalDBDirectAccessFile::UnlockRegion(int32_t Position, int32_t Count) {
    CheckOpen("UnlockRegion");
    const std::vector<TPageRange> ranges = PageRanges(Position, Count);
    bool all = true;
    for (const TPageRange& r : ranges)
        if (!FPageManager.UnlockPageRegion(r.PageNo, r.Offset, r.Count)) all = false;
    return all;
}

bool TORQInternalDBDirectAccessFile::IsRegionLocked(int32_t Position, int32_t Count) {
    CheckOpen("IsRegionLocked");
    if (Count <= 0) return false;
    int32_t firstPage = 0, firstOffset = 0, lastPage = 0, lastOffset = 0;
    Locate(Position, firstPage, firstOffset);
    Locate(static_cast<int32_t>(int64_t{Position} + Count - 1), lastPage, lastOffset);
    if (firstPage == lastPage) return FPageManager.IsPageRegionLocked(firstPage, firstOffset, Count);
    const int32_t end = FPageManager.PageSize;
    const int32_t data = TORQDiskPageManager::DiskPageHeaderSize;
    const auto firstIndex = static_cast<std::size_t>((int64_t{Position} + InternalFileHeaderSize) / DataSize());
    const auto lastIndex = static_cast<std::size_t>((int64_t{Position} + Count - 1 + InternalFileHeaderSize) / DataSize());
    if (FPageManager.IsPageRegionLocked(firstPage, firstOffset, end - firstOffset)) return true;
    for (std::size_t i = firstIndex + 1; i < lastIndex; ++i)
        if (FPageManager.IsPageRegionLocked(FPages[i], data, end - data)) return true;
    return FPageManager.IsPageRegionLocked(lastPage, data, lastOffset - data + 1);
}

}  // namespace orq
