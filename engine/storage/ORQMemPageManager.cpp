#include "engine/storage/ORQMemPageManager.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQStreams.h"

namespace orq {

namespace {

void WriteLE(TORQStream& Stream, uint32_t Value, int Bytes, int32_t Code) {
    uint8_t b[4];
    for (int k = 0; k < Bytes; ++k) b[k] = static_cast<uint8_t>(Value >> (8 * k));
    WriteStreamChecked(b, Bytes, Stream, Code);
}

uint32_t ReadLE(TORQStream& Stream, int Bytes, int32_t Code) {
    uint8_t b[4];
    ReadStreamChecked(b, Bytes, Stream, Code);
    uint32_t v = 0;
    for (int k = 0; k < Bytes; ++k) v |= static_cast<uint32_t>(b[k]) << (8 * k);
    return v;
}

[[noreturn]] void RaiseBadValue(int32_t Code, const char* What, int64_t Value, TORQStream& Stream) {
    RaiseNativeFmt(Code, "Invalid %s in stream: %d. Position = %d, Stream size = %d",
                   {What, Value, Stream.Position(), Stream.Size()});
}

}  // namespace

TORQMemoryPageManager::TORQMemoryPageManager(int64_t AvailableMemory) : TORQPageManager(AvailableMemory) {
    PageSize = MemoryPageSize;
    HeaderSize = 0;
    DataSize = MemoryPageSize;
}

TORQMemoryPageManager::~TORQMemoryPageManager() {
    // Page objects only borrow the blocks: drop them first.
    FreeAll();
    FreeBlocks(FPages);
}

void TORQMemoryPageManager::FreeBlocks(std::vector<uint8_t*>& Blocks) {
    for (uint8_t*& block : Blocks) {
        try {
            GlobalMemoryManager().FreeAndNillMem(block);
        } catch (...) {
            // An overrun found while freeing: the block is released all the same.
        }
    }
    Blocks.clear();
}

bool TORQMemoryPageManager::IsAllocated(int32_t PageNo) const {
    return PageNo >= 0 && PageNo < FPageBits.BitCount() && FPageBits.GetBit(PageNo);
}

uint8_t* TORQMemoryPageManager::Block(int32_t PageNo) const {
    return PageNo >= 0 && static_cast<std::size_t>(PageNo) < FPages.size() ? FPages[static_cast<std::size_t>(PageNo)]
                                                                             : nullptr;
}

void TORQMemoryPageManager::AllocatePage(TORQPage* Page) {
    int32_t number = 0;
    if (!FPageBits.FindFirst(false, number)) number = FPageCapacity == 0 ? 0 : FMaxPageNumber + 1;
    if (IsAllocated(number)) RaiseNative(20037, "Page allocation not released");
    // Make the block and the bit first, so a failed allocation leaves the counts alone.
    if (static_cast<std::size_t>(number) >= FPages.size()) {
        const std::size_t length = std::max<std::size_t>(static_cast<std::size_t>(number) + 1,
                                                         FPages.size() + static_cast<std::size_t>(FPageGrowth));
        std::vector<uint8_t*> grown = FPages;
        try {
            while (grown.size() < length)
                grown.push_back(static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(MemoryPageSize)));
        } catch (...) {
            std::vector<uint8_t*> added(grown.begin() + static_cast<std::ptrdiff_t>(FPages.size()), grown.end());
            FreeBlocks(added);
            throw;
        }
        FPages = std::move(grown);
    }
    if (number >= FPageCapacity) {
        FPageBits.SetSize(FPageCapacity + FPageGrowth);
        FPageCapacity += FPageGrowth;
    }
    FPageBits.SetBit(number, true);
    ++PageCount;
    FMaxPageNumber = std::max(FMaxPageNumber, number);
    Page->FreeBuffer();
    Page->PageNo = number;
    Page->OwnsBuffer = 0;
    Page->Buffer = FPages[static_cast<std::size_t>(number)];
}

void TORQMemoryPageManager::FreePage(int32_t PageNo) {
    // Freeing a free number would make PageCount lie.
    if (!IsAllocated(PageNo)) RaiseNativeFmt(10392, "Page %d is not allocated", {PageNo});
    FPageBits.SetBit(PageNo, false);
    --PageCount;
}

bool TORQMemoryPageManager::ReadPage(TORQPage* Page) {
    if (!IsAllocated(Page->PageNo)) RaiseNative(10392, "Page allocation not released");
    Page->FreeBuffer();
    Page->Buffer = FPages[static_cast<std::size_t>(Page->PageNo)];
    Page->OwnsBuffer = 0;
    return true;
}

void TORQMemoryPageManager::WritePage(TORQPage* Page) {
    if (!IsAllocated(Page->PageNo)) RaiseNative(10393, "Page allocation not released");
    uint8_t* block = FPages[static_cast<std::size_t>(Page->PageNo)];
    if (Page->OwnsBuffer != 0 && Page->Buffer != nullptr && Page->Buffer != block) {
        std::memcpy(block, Page->Buffer, MemoryPageSize);
        // The page reads the stored block again, as a page read does: a page that once
        // grew for a split is not copied again at every later commit.
        Page->FreeBuffer();
        Page->Buffer = block;
        Page->OwnsBuffer = 0;
    }
}

void TORQMemoryPageManager::SaveToStream(TORQStream& Stream) {
    WriteLE(Stream, static_cast<uint32_t>(FPageCapacity), 4, 10362);
    WriteLE(Stream, static_cast<uint32_t>(FMaxPageNumber), 4, 10363);
    WriteLE(Stream, static_cast<uint32_t>(FPageGrowth), 4, 10364);
    WriteLE(Stream, PageSize, 2, 10365);
    WriteLE(Stream, HeaderSize, 2, 10366);
    WriteLE(Stream, static_cast<uint32_t>(PageCount), 4, 10367);
    FPageBits.SaveToStream(Stream);
    static const uint8_t Zeros[MemoryPageSize] = {};
    for (int32_t n = 0; n < FPageCapacity; ++n) {
        const uint8_t* block = Block(n);
        WriteStreamChecked(block != nullptr ? block : Zeros, MemoryPageSize, Stream, 10368);
    }
}

void TORQMemoryPageManager::LoadFromStream(TORQStream& Stream) {
    // Uncommitted pages would be lost and would keep pointing at blocks about to go.
    if (HasUncommittedPages()) RaiseNative(20097, "Cannot free non-commited pages");
    const auto capacity = static_cast<int32_t>(ReadLE(Stream, 4, 10369));
    if (capacity < 0) RaiseBadValue(10369, "page capacity", capacity, Stream);
    const auto maxNumber = static_cast<int32_t>(ReadLE(Stream, 4, 10370));
    if (maxNumber < 0 || maxNumber >= std::max(capacity, 1)) RaiseBadValue(10370, "page number", maxNumber, Stream);
    const auto growth = static_cast<int32_t>(ReadLE(Stream, 4, 10371));
    if (growth <= 0) RaiseBadValue(10371, "page growth", growth, Stream);
    const auto pageSize = static_cast<uint16_t>(ReadLE(Stream, 2, 10372));
    if (pageSize != MemoryPageSize) RaiseBadValue(10372, "page size", pageSize, Stream);
    const auto headerSize = static_cast<uint16_t>(ReadLE(Stream, 2, 10373));
    if (headerSize != 0) RaiseBadValue(10373, "page header size", headerSize, Stream);
    const auto count = static_cast<int32_t>(ReadLE(Stream, 4, 10374));

    // The bits: their count must be the capacity, and their bytes there, before anything
    // is allocated for them.
    const int64_t bitsAt = Stream.Position();
    const auto bitCount = static_cast<int32_t>(ReadLE(Stream, 4, 10401));
    ReadLE(Stream, 4, 10426);
    if (bitCount != capacity) RaiseBadValue(10401, "page bit count", bitCount, Stream);
    if ((int64_t{bitCount} + 7) / 8 > Stream.Size() - Stream.Position())
        RaiseBadValue(10402, "page bit count", bitCount, Stream);
    Stream.Seek(bitsAt, soBeginning);
    TORQBitsArray bits;
    bits.LoadFromStream(Stream);
    if (bits.SetBitsCount() != count) RaiseBadValue(10374, "page count", count, Stream);
    if (int64_t{capacity} * MemoryPageSize > Stream.Size() - Stream.Position())
        RaiseBadValue(10375, "page capacity", capacity, Stream);

    std::vector<uint8_t*> pages;
    try {
        pages.reserve(static_cast<std::size_t>(capacity));
        for (int32_t n = 0; n < capacity; ++n) {
            pages.push_back(static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(MemoryPageSize)));
            ReadStreamChecked(pages.back(), MemoryPageSize, Stream, 10375);
        }
    } catch (...) {
        FreeBlocks(pages);
        throw;
    }
    FreeAll();
    FreeBlocks(FPages);
    FPages = std::move(pages);
    FPageCapacity = capacity;
    FMaxPageNumber = maxNumber;
    FPageGrowth = growth;
    PageCount = count;
    FPageBits.SetSize(0);
    FPageBits.SetSize(capacity);
    for (int32_t n = 0; n < capacity; ++n)
        if (bits.GetBit(n)) FPageBits.SetBit(n, true);
}

}  // namespace orq
