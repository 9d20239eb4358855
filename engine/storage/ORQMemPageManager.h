// TORQMemoryPageManager: the in-memory engine's page store, usable on its own (the
// temporary engine keeps its in-memory pages here too). Pages are 4096-byte zeroed
// blocks of engine memory without a header; a page object read from the store works on
// the stored block itself, so there is no copy to write back.
//
// Rules kept here:
// - PageBits has one bit per page number below PageCapacity, set while the number is
//   allocated; PageCount is the number of set bits.
// - Allocation takes the lowest free number; freed numbers keep their blocks, which the
//   next allocation of that number gets back (contents included). Blocks are freed only
//   with the manager. Capacity and the block array grow by PageGrowth (50) at a time.
// - LoadFromStream changes nothing until the whole stream was read and checked.
//
// Stream form (little-endian): PageCapacity i32, MaxPageNumber i32, PageGrowth i32,
// page size u16 (4096), header size u16 (0), PageCount i32, PageBits in the bit-array
// form (bit count i32, set-bit count i32, the bit bytes), then PageCapacity blocks of
// 4096 bytes in page-number order.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQPage.h"

namespace orq {

class TORQMemoryPageManager : public TORQPageManager {
public:
    static constexpr uint16_t MemoryPageSize = 4096;

    explicit TORQMemoryPageManager(int64_t AvailableMemory = GlobalMemoryManager().GetAvailableMemory());
    ~TORQMemoryPageManager() override;

    // Codes: 10362-10368 written; 10369-10375 read (a short read, or a value the store
    // cannot hold: a negative capacity, another page or header size, a page count that
    // differs from the bits, too few bytes for the bits or the blocks). Loading with
    // uncommitted pages raises 20097.
    void LoadFromStream(TORQStream& Stream) override;
    void SaveToStream(TORQStream& Stream) override;
    // 20037 when the chosen number is already allocated.
    void AllocatePage(TORQPage* Page) override;
    // 10392 for a number that is not allocated.
    void FreePage(int32_t PageNo) override;
    // 10392 / 10393 for a number that is not allocated.
    bool ReadPage(TORQPage* Page) override;
    void WritePage(TORQPage* Page) override;

    int32_t PageCapacity() const { return FPageCapacity; }
    int32_t MaxPageNumber() const { return FMaxPageNumber; }
    int32_t PageGrowth() const { return FPageGrowth; }
    const TORQBitsArray& PageBits() const { return FPageBits; }
    // The stored block of a page number (nil beyond the blocks).
    uint8_t* Block(int32_t PageNo) const;

private:
    bool IsAllocated(int32_t PageNo) const;
    void FreeBlocks(std::vector<uint8_t*>& Blocks);

    int32_t FPageCapacity = 0;
    int32_t FMaxPageNumber = 0;
    int32_t FPageGrowth = 50;
    TORQBitsArray FPageBits;
    std::vector<uint8_t*> FPages;  // engine memory blocks of MemoryPageSize bytes
};

}  // namespace orq
