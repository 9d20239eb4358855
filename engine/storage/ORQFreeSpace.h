// TORQDatabaseFreeSpaceManager: which page numbers of a disk database are in use. PFS
// pages hold a bit per page (1 used), EAM pages two bits per extent of X pages (high bit
// set: every page used; 1: a page free; 0: not computed yet). It allocates a number for a
// new page, releases a freed one, grows the file in steps and cuts whole steps from its end.
//
// Geometry, with U = page size - 40 data bytes per page:
//   PFS page k is page kP (P = 8U) and maps pages kP .. kP + P - 1;
//   group g covers pages gE .. gE + E - 1 (E = 4U x X, extents 4Ug .. 4U(g + 1) - 1); its
//   EAM page is gE, or gE + 1 when gE holds a PFS page.
//
// Rules kept here:
// - Every allocation and release runs under the header lock and starts by reloading the
//   page count and the highest used page from the header, so processes sharing the file
//   never hand out one page twice; both are stored back before the lock is left. A sole
//   writer (TORQDiskPageManager::SoleWriter) reloads them, and its map pages, from what it
//   last read or wrote.
// - The file never ends on a map page: growth adds pages past one, and a shrink that would
//   leave one last keeps whole steps more. Every map page a page below the count needs
//   then lies inside the file.
// - Map pages are written as soon as they change, plain, outside the sessions' commits.
// - Marking a used page used (30425) or freeing a free one (30427) changes nothing: the map
//   is damaged and says so.
// - A search starts at the lowest page that may be free, kept across calls: raised past
//   each page found, lowered by each free, reset when the header's counts show another
//   manager of the file at work. (A page another process frees without moving the counts
//   is found again once the position is reset; until then it only costs room.)
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace orq {

class TORQDiskPageManager;
class TORQPage;

class TORQDatabaseFreeSpaceManager {
public:
    // Takes the geometry from the page manager's header, which must be read.
    explicit TORQDatabaseFreeSpaceManager(TORQDiskPageManager& PageManager);
    ~TORQDatabaseFreeSpaceManager();
    TORQDatabaseFreeSpaceManager(const TORQDatabaseFreeSpaceManager&) = delete;
    TORQDatabaseFreeSpaceManager& operator=(const TORQDatabaseFreeSpaceManager&) = delete;

    // A free page number, marked used; grows the file when none is free. 20231 when the
    // header lock cannot be had.
    int32_t AllocatePageNumber();
    // Marks the page free and cuts unused whole growth steps from the end. 20232 when the
    // header lock cannot be had.
    void FreePageNumber(int32_t PageNo);
    // FreePageNumber for every number, in one operation: each map page read and written
    // once, the counts stored once. A number already free (30427) frees none of them.
    void FreePageNumbers(std::vector<int32_t> PageNos);
    // A sole writer marks the pages its next allocations will take in the same operation as
    // the one it hands out, as many as it took since the last give-back (at most
    // MaxReserved), and hands them out in order without touching the file. They go back to
    // the map before any free, at the end of a commit and on close, so the pages handed
    // out and the map after a commit are as without them; a process dying meanwhile leaves
    // them marked used, as it leaves the pages of its open transaction.
    void ReleaseReserved();
    int32_t ReservedCount() const { return static_cast<int32_t>(FReserved.size()); }
    const std::vector<int32_t>& ReservedPages() const { return FReserved; }
    // Marks free those of the pages that the map shows used (a commit that never happened
    // had allocated them); the others are left alone. 20232 when the header lock cannot
    // be had.
    void GiveBack(std::vector<int32_t> PageNos);
    static constexpr int32_t MaxReserved = 64;
    bool IsMapPage(int32_t PageNo) const;
    // 30434 for a PFS or EAM page.
    void CheckNotMapPage(int32_t PageNo) const;

    // max(page count div 10, X), or 6 for an empty file.
    int32_t GetGrowStep() const;
    // The EAM page of group Group.
    int32_t EamPageNo(int32_t Group) const;
    // Whether the map shows the page used (false above the last PFS page in use).
    bool IsPageUsed(int32_t PageNo);

    TORQDiskPageManager& PageManager() const { return FPageManager; }
    int32_t PagesPerExtent() const { return FPagesPerExtent; }
    int32_t PfsSpan() const { return FPfsSpan; }
    int32_t ExtentsPerEam() const { return FExtentsPerEam; }
    int32_t EamSpan() const { return FEamSpan; }
    int32_t HighestUsedPage() const { return FHighestUsed; }
    int32_t PageCount() const { return FPageCount; }

    // Read and written by the database for a session in recovery mode.
    uint8_t RecoveryMode = 0;

private:
    class TMapPage;
    class TOperation;
    void LoadCounts();
    void StoreCounts();
    int32_t FindFreePage();
    // The lowest free page of the group at or above From, -1 when none.
    int32_t SearchEam(int32_t EamPage, int32_t From);
    int32_t Grow();
    int32_t FindHighestUsedPage();
    void FreedPageTail();
    void SetPageUsed(int32_t PageNo, bool Used);
    void SetPfsBit(int32_t PageNo, bool Used);
    void UpdateEamEntry(int32_t PageNo);
    bool IsPfsBitSet(int32_t PageNo, int32_t ErrorCode);
    void CheckAddress(int32_t PageNo, int32_t ErrorCode) const;
    void LockHeader(int32_t ErrorCode);

    TORQDiskPageManager& FPageManager;
    int32_t FPagesPerExtent = 0;  // X
    int32_t FPfsSpan = 0;         // P
    int32_t FExtentsPerEam = 0;   // 4U
    int32_t FEamSpan = 0;         // E
    int32_t FHighestUsed = -1;
    int32_t FPageCount = 0;
    // The counts as the header held them at the last load: what a store compares with.
    int32_t FLoadedHighest = -1;
    int32_t FLoadedCount = 0;
    // No page below it is free, as far as this manager knows: where a search starts.
    int32_t FLowestMaybeFree = 0;
    // The map pages of the locked operation running, as last read or written (a sole
    // writer's kept between operations).
    bool FInOperation = false;
    std::unordered_map<int32_t, std::vector<uint8_t>> FOperationPages;
    // While set, a changed map page is kept among the copies and written by WriteDeferred.
    bool FDeferWrites = false;
    std::vector<int32_t> FDeferredPages;
    // EamFirst for frees (an extent marked with a free page its bits do not show costs a
    // search), else the PFS pages first (an extent marked full over free bits is lost).
    void WriteDeferred(bool EamFirst);
    // Highest last: the next allocation pops the lowest.
    std::vector<int32_t> FReserved;
    int32_t FReserveRun = 0;  // allocations since the last give-back
    // Up to Count more free pages marked used, highest first; no growth.
    std::vector<int32_t> Reserve(int32_t Count);
};

}  // namespace orq
