#include "engine/storage/ORQFreeSpace.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQSecurity.h"

namespace orq {

// One map page read into a private page object of the page manager (session -2), written
// back on release when it changed. Within one locked operation a page read or written
// before is taken from the operation's copies instead of the file: under the header lock
// no other manager changes the map. A sole writer keeps the copies from one operation to
// the next, as no other process can change the map at all.
class TORQDatabaseFreeSpaceManager::TMapPage {
public:
    TMapPage(TORQDatabaseFreeSpaceManager& Map, int32_t PageNo, uint16_t ExpectedType, int32_t ErrorCode)
        : FMap(Map), FManager(Map.FPageManager), FPage(&Map.FPageManager) {
        FPage.PageNo = PageNo;
        FPage.SessionID = -2;
        const auto copy = Map.FOperationPages.find(PageNo);
        if (Map.FInOperation && copy != Map.FOperationPages.end()) {
            // Changed in place: an operation that raises drops its copies (TOperation).
            FPage.Buffer = copy->second.data();
            FPage.OwnsBuffer = 0;
        } else {
            if (!FManager.ReadPage(&FPage)) RaiseNativeFmt(ErrorCode, "Cannot read page %d", {PageNo});
            Keep();
        }
        CheckPageType(FPage.GetPageType(), ExpectedType, ErrorCode);
    }
    // A new map page with a fresh header.
    TMapPage(TORQDatabaseFreeSpaceManager& Map, int32_t PageNo, uint16_t Type)
        : FMap(Map), FManager(Map.FPageManager), FPage(&Map.FPageManager) {
        FPage.PageNo = PageNo;
        FPage.SessionID = -2;
        FPage.AllocBuffer();
        FPage.SetPageType(Type);
        FPage.Modified = 1;
    }
    uint8_t* Data() { return FPage.GetData(); }
    void SetModified() { FPage.Modified = 1; }
    // Written only here, so a step that raised leaves the page as it was on disk.
    void Release() {
        if (FPage.Modified == 0) return;
        if (FMap.FDeferWrites) {
            Keep();
            if (std::find(FMap.FDeferredPages.begin(), FMap.FDeferredPages.end(), FPage.PageNo) ==
                FMap.FDeferredPages.end())
                FMap.FDeferredPages.push_back(FPage.PageNo);
            FPage.Modified = 0;
            return;
        }
        // What a failed write left in the file is not known: the next use reads it.
        try {
            FManager.WritePage(&FPage);
        } catch (...) {
            if (FPage.OwnsBuffer == 0) {
                FPage.Buffer = nullptr;  // the copy under it goes
                FPage.OwnsBuffer = 1;
            }
            FMap.FOperationPages.erase(FPage.PageNo);
            throw;
        }
        FPage.Modified = 0;
        Keep();
    }

private:
    void Keep() {
        if (!FMap.FInOperation || FPage.OwnsBuffer == 0) return;
        const uint8_t* bytes = FPage.GetBuffer();
        FMap.FOperationPages[FPage.PageNo].assign(bytes, bytes + FPage.GetPageSize());
    }

    TORQDatabaseFreeSpaceManager& FMap;
    TORQDiskPageManager& FManager;
    TORQPage FPage;
};

// The copies of one locked operation live as long as it does; a sole writer's outlive it
// unless it failed: a copy may then hold a change that never reached the file.
class TORQDatabaseFreeSpaceManager::TOperation {
public:
    explicit TOperation(TORQDatabaseFreeSpaceManager& Map)
        : FMap(Map), FUncaught(std::uncaught_exceptions()) {
        FMap.FInOperation = true;
    }
    ~TOperation() {
        FMap.FInOperation = false;
        if (std::uncaught_exceptions() > FUncaught || !FMap.FDeferredPages.empty() || !FMap.FPageManager.SoleWriter())
            FMap.FOperationPages.clear();
        FMap.FDeferWrites = false;
        FMap.FDeferredPages.clear();
    }
    TOperation(const TOperation&) = delete;
    TOperation& operator=(const TOperation&) = delete;

private:
    TORQDatabaseFreeSpaceManager& FMap;
    int FUncaught;
};

TORQDatabaseFreeSpaceManager::TORQDatabaseFreeSpaceManager(TORQDiskPageManager& PageManager)
    : FPageManager(PageManager) {
    const int32_t usable = PageManager.PageSize - TORQDiskPageManager::DiskPageHeaderSize;
    FPagesPerExtent = PageManager.PagesPerExtent();
    FPfsSpan = 8 * usable;
    FExtentsPerEam = 4 * usable;
    FEamSpan = FExtentsPerEam * FPagesPerExtent;  // within Int32: the header's geometry check
    FHighestUsed = FLoadedHighest = PageManager.HighestUsedPage();
    FPageCount = FLoadedCount = PageManager.HeaderPageCount();
}

TORQDatabaseFreeSpaceManager::~TORQDatabaseFreeSpaceManager() = default;

bool TORQDatabaseFreeSpaceManager::IsMapPage(int32_t PageNo) const {
    if (PageNo < 0) return false;
    if (PageNo % FPfsSpan == 0 || PageNo % FEamSpan == 0) return true;
    const int32_t below = PageNo - 1;
    return below % FPfsSpan == 0 && below % FEamSpan == 0;
}

void TORQDatabaseFreeSpaceManager::CheckNotMapPage(int32_t PageNo) const {
    if (IsMapPage(PageNo)) RaiseNativeFmt(30434, "Cannot delete PFS or EAM page. PageNo=%d", {PageNo});
}

int32_t TORQDatabaseFreeSpaceManager::EamPageNo(int32_t Group) const {
    const int32_t first = Group * FEamSpan;
    return first % FPfsSpan == 0 ? first + 1 : first;
}

int32_t TORQDatabaseFreeSpaceManager::GetGrowStep() const {
    if (FPageCount == 0) return 6;
    return std::max(FPageCount / 10, FPagesPerExtent);
}

void TORQDatabaseFreeSpaceManager::LockHeader(int32_t ErrorCode) {
    if (!RetryWithSleep(TORQDiskPageManager::LockTries, TORQDiskPageManager::LockDelay,
                        [this] { return FPageManager.LockHeader(); }))
        RaiseNative(ErrorCode, "Database is locked");
}

void TORQDatabaseFreeSpaceManager::LoadCounts() {
    FPageManager.ReadHeader();
    // Counts that moved since this manager last stored them were changed by another
    // manager of the file, which may have freed pages below the remembered position.
    if (FPageManager.HighestUsedPage() != FLoadedHighest || FPageManager.HeaderPageCount() != FLoadedCount)
        FLowestMaybeFree = 0;
    FHighestUsed = FLoadedHighest = FPageManager.HighestUsedPage();
    FPageCount = FLoadedCount = FPageManager.HeaderPageCount();
}

void TORQDatabaseFreeSpaceManager::StoreCounts() {
    // Compared with what was loaded: growth sets the count in the header copy already,
    // without writing it.
    if (FHighestUsed == FLoadedHighest && FPageCount == FLoadedCount) return;
    FPageManager.SetHighestUsedPage(FHighestUsed);
    FPageManager.SetHeaderPageCount(FPageCount);
    FPageManager.WriteHeader(true);
    FLoadedHighest = FHighestUsed;
    FLoadedCount = FPageCount;
}

namespace {

// Runs Store and Unlock after Body, also when Body raised; a failure of Body wins.
template <typename TBody, typename TStore, typename TUnlock>
auto Bracket(TBody&& Body, TStore&& Store, TUnlock&& Unlock) {
    try {
        if constexpr (std::is_void_v<decltype(Body())>) {
            Body();
            Store();
            Unlock();
        } else {
            auto r = Body();
            Store();
            Unlock();
            return r;
        }
    } catch (...) {
        try {
            Store();
        } catch (...) {
        }
        Unlock();
        throw;
    }
}

}  // namespace

int32_t TORQDatabaseFreeSpaceManager::AllocatePageNumber() {
    std::lock_guard guard(FPageManager.CriticalSection());
    if (!FReserved.empty()) {
        const int32_t r = FReserved.back();
        FReserved.pop_back();
        ++FReserveRun;
        return r;
    }
    LockHeader(20231);
    std::vector<int32_t> reserve;
    int32_t r = -1;
    {
        TOperation operation(*this);
        r = Bracket(
            [this, &reserve] {
                LoadCounts();
                const bool reserving = FPageManager.SoleWriter();
                // The page and the reserve marked in the copies, each map page written once;
                // the search position goes back if the marks did not reach the file.
                const int32_t lowest = FLowestMaybeFree;
                FDeferWrites = reserving;
                try {
                    int32_t found = FindFreePage();
                    if (found == -1) {
                        // Growth writes its new map pages at once, as it always has.
                        FDeferWrites = false;
                        found = Grow();
                        FDeferWrites = reserving;
                    }
                    FHighestUsed = std::max(FHighestUsed, found);
                    ++FReserveRun;
                    if (reserving) reserve = Reserve(std::min(FReserveRun, MaxReserved));
                    return found;
                } catch (...) {
                    FLowestMaybeFree = std::min(FLowestMaybeFree, lowest);
                    throw;
                }
            },
            [this] { StoreCounts(); }, [this] { FPageManager.UnlockHeader(); });
    }
    // Kept only once the header holds the counts they were taken under.
    FReserved = std::move(reserve);
    return r;
}

std::vector<int32_t> TORQDatabaseFreeSpaceManager::Reserve(int32_t Count) {
    std::vector<int32_t> taken;
    // No growth for them: a reserve taken and given back leaves the file as it was.
    while (static_cast<int32_t>(taken.size()) < Count) {
        const int32_t q = FindFreePage();
        if (q == -1) break;
        taken.push_back(q);
    }
    FDeferWrites = false;
    WriteDeferred(false);
    for (const int32_t q : taken) FHighestUsed = std::max(FHighestUsed, q);
    return {taken.rbegin(), taken.rend()};
}

void TORQDatabaseFreeSpaceManager::ReleaseReserved() {
    std::lock_guard guard(FPageManager.CriticalSection());
    FReserveRun = 0;
    if (FReserved.empty()) return;
    std::vector<int32_t> pages;
    pages.swap(FReserved);
    FreePageNumbers(std::move(pages));
}

void TORQDatabaseFreeSpaceManager::FreePageNumber(int32_t PageNo) {
    std::lock_guard guard(FPageManager.CriticalSection());
    ReleaseReserved();  // the freed page is then the next one handed out, as without a reserve
    LockHeader(20232);
    TOperation operation(*this);
    // A free that fails after the map marked the page free puts the mark back, so that the
    // caller, which still holds the page, can free it again without meeting "already free".
    bool marked = false;
    const auto undo = [this, PageNo, &marked] {
        if (!marked) return;
        try {
            SetPageUsed(PageNo, true);
        } catch (const EORQException&) {
        }
    };
    Bracket(
        [this, PageNo, &marked, &undo] {
            LoadCounts();
            FLowestMaybeFree = std::min(FLowestMaybeFree, PageNo);
            SetPfsBit(PageNo, false);
            marked = true;
            try {
                UpdateEamEntry(PageNo);
                FreedPageTail();
            } catch (...) {
                undo();
                marked = false;
                throw;
            }
        },
        [this, &undo] {
            try {
                StoreCounts();
            } catch (...) {
                undo();
                throw;
            }
        },
        [this] { FPageManager.UnlockHeader(); });
}

void TORQDatabaseFreeSpaceManager::FreePageNumbers(std::vector<int32_t> PageNos) {
    std::lock_guard guard(FPageManager.CriticalSection());
    FReserveRun = 0;
    PageNos.insert(PageNos.end(), FReserved.begin(), FReserved.end());
    FReserved.clear();
    if (PageNos.empty()) return;
    if (PageNos.size() == 1) {
        FreePageNumber(PageNos.front());
        return;
    }
    std::sort(PageNos.begin(), PageNos.end());
    LockHeader(20232);
    TOperation operation(*this);
    Bracket(
        [this, &PageNos] {
            LoadCounts();
            // Lowered first: a write failing halfway may leave some of the pages free.
            FLowestMaybeFree = std::min(FLowestMaybeFree, PageNos.front());
            // The marks gather in the operation's copies of the map pages, each written once
            // when every mark held: a number found free already leaves the map as it was.
            FDeferWrites = true;
            for (const int32_t page : PageNos) SetPfsBit(page, false);
            int32_t extent = -1;
            for (const int32_t page : PageNos) {
                if (page / FPagesPerExtent == extent) continue;
                extent = page / FPagesPerExtent;
                UpdateEamEntry(page);
            }
            FDeferWrites = false;
            WriteDeferred(true);
            FreedPageTail();
        },
        [this] { StoreCounts(); }, [this] { FPageManager.UnlockHeader(); });
}

void TORQDatabaseFreeSpaceManager::GiveBack(std::vector<int32_t> PageNos) {
    std::lock_guard guard(FPageManager.CriticalSection());
    std::sort(PageNos.begin(), PageNos.end());
    PageNos.erase(std::unique(PageNos.begin(), PageNos.end()), PageNos.end());
    std::vector<int32_t> used;
    LockHeader(20232);
    try {
        LoadCounts();
        for (const int32_t page : PageNos)
            if (page >= 0 && page < FPageCount && !IsMapPage(page) && IsPageUsed(page)) used.push_back(page);
    } catch (...) {
        FPageManager.UnlockHeader();
        throw;
    }
    // Freed under the same lock when the caller holds it, as the give-back of a journal does.
    FPageManager.UnlockHeader();
    if (!used.empty()) FreePageNumbers(std::move(used));
}

void TORQDatabaseFreeSpaceManager::WriteDeferred(bool EamFirst) {
    std::vector<int32_t> pages;
    pages.swap(FDeferredPages);
    // Ordered so that a write failing halfway never leaves an extent marked full over pages
    // the PFS page shows free, which every search would skip for good.
    std::sort(pages.begin(), pages.end(), [this, EamFirst](int32_t A, int32_t B) {
        const bool pfsA = A % FPfsSpan == 0, pfsB = B % FPfsSpan == 0;
        return pfsA != pfsB ? pfsB == EamFirst : A < B;
    });
    for (const int32_t number : pages) {
        const auto copy = FOperationPages.find(number);
        if (copy == FOperationPages.end()) continue;
        TORQPage page(&FPageManager);
        page.PageNo = number;
        page.SessionID = -2;
        page.AllocBuffer();
        std::memcpy(page.GetBuffer(), copy->second.data(), copy->second.size());
        // What a failed write left in the file is not known: the next use reads it.
        FOperationPages.erase(copy);
        FPageManager.WritePage(&page);
        FOperationPages[number].assign(page.GetBuffer(), page.GetBuffer() + page.GetPageSize());
    }
}

// After a page was marked free: the new highest used page, and the file cut by whole growth
// steps when enough pages at its end are free.
void TORQDatabaseFreeSpaceManager::FreedPageTail() {
    FHighestUsed = FindHighestUsedPage();
    const int32_t step = GetGrowStep();
    const int32_t unused = FPageCount - FHighestUsed - 1;
    if (unused < step) return;
    int32_t remove = unused / step * step;
    // Ending the file on a map page would cut the EAM page a PFS page needs (or the reverse)
    // and growth would never create it again.
    while (remove > 0 && FPageCount - remove > 0 && IsMapPage(FPageCount - remove - 1)) remove -= step;
    if (remove <= 0) return;
    // The header written with the shorter count carries the new highest page too.
    FPageManager.SetHighestUsedPage(FHighestUsed);
    FPageManager.RemovePages(remove);
    FPageCount = FPageManager.HeaderPageCount();
    FLoadedCount = FPageCount;
    FLoadedHighest = FHighestUsed;
    std::erase_if(FOperationPages, [this](const auto& Copy) { return Copy.first >= FPageCount; });
}

int32_t TORQDatabaseFreeSpaceManager::FindFreePage() {
    // An empty file has no map pages yet. (A file whose pages were all freed still has
    // them, so its highest used page of -1 does not mean the same.)
    if (FPageCount == 0) return -1;
    FLowestMaybeFree = std::clamp(FLowestMaybeFree, 0, FPageCount);
    const int32_t lastGroup = std::max(FPageCount - 1, 0) / FEamSpan;
    const int32_t fromGroup = FLowestMaybeFree / FEamSpan;
    // The last group first, then the others upwards; no group below the remembered
    // position's can hold a free page, nor can its pages below that position.
    auto search = [this, fromGroup](int32_t Group) {
        return SearchEam(EamPageNo(Group), Group == fromGroup ? FLowestMaybeFree : Group * FEamSpan);
    };
    int32_t r = lastGroup >= fromGroup ? search(lastGroup) : -1;
    for (int32_t g = fromGroup; r == -1 && g < lastGroup; ++g) r = search(g);
    if (r == -1) {
        FLowestMaybeFree = FPageCount;
        return -1;
    }
    SetPageUsed(r, true);
    // Found in the remembered position's group, it was the lowest free page from there.
    if (r / FEamSpan == fromGroup) FLowestMaybeFree = r + 1;
    return r;
}

int32_t TORQDatabaseFreeSpaceManager::SearchEam(int32_t EamPage, int32_t From) {
    const int32_t groupFirstExtent = EamPage / FEamSpan * FExtentsPerEam;
    const int32_t fromEntry = std::max(From / FPagesPerExtent - groupFirstExtent, 0);
    int32_t extent = -1;
    {
        TMapPage eam(*this, EamPage, ptEAM, 30423);
        const uint8_t* data = eam.Data();
        for (int32_t i = fromEntry / 4; i < FExtentsPerEam / 4 && extent == -1; ++i) {
            if (data[i] == 0xFF) continue;
            for (int32_t j = i == fromEntry / 4 ? fromEntry % 4 : 0; j < 4; ++j) {
                if ((data[i] >> (2 * j + 1) & 1) == 0) {
                    extent = groupFirstExtent + 4 * i + j;
                    break;
                }
            }
        }
    }
    if (extent == -1) return -1;
    const int64_t firstPage = int64_t{extent} * FPagesPerExtent;
    const int64_t first = firstPage / FPfsSpan;
    int64_t last = (firstPage + FPagesPerExtent - 1) / FPfsSpan;
    if (first * FPfsSpan >= FPageCount) return -1;
    while (last * FPfsSpan >= FPageCount) --last;
    for (int64_t k = first; k <= last; ++k) {
        const auto pfsPage = static_cast<int32_t>(k * FPfsSpan);
        TMapPage pfs(*this, pfsPage, ptPFS, 30423);
        const uint8_t* data = pfs.Data();
        const int32_t fromBit = std::max(From - pfsPage, 0);
        for (int32_t i = fromBit / 8; i < FPfsSpan / 8; ++i) {
            if (data[i] == 0xFF) continue;
            for (int32_t j = i == fromBit / 8 ? fromBit % 8 : 0; j < 8; ++j) {
                if ((data[i] >> j & 1) == 0) {
                    const int32_t page = pfsPage + 8 * i + j;
                    return page < FPageCount ? page : -1;
                }
            }
        }
    }
    return -1;
}

int32_t TORQDatabaseFreeSpaceManager::Grow() {
    const bool fresh = FPageCount == 0;
    const int32_t oldLast = std::max(FPageCount - 1, 0);
    const int32_t lastPfs = fresh ? -1 : oldLast / FPfsSpan;
    const int32_t lastGroup = fresh ? -1 : oldLast / FEamSpan;
    // The map, not the header, has the last word on the highest used page: a growth whose
    // header write failed (or whose process died) left its page marked used above it.
    int32_t candidate = std::max(FHighestUsed, FindHighestUsedPage()) + 1;
    while (IsMapPage(candidate)) ++candidate;
    int32_t n = GetGrowStep();
    if (candidate >= FPageCount + n) n = candidate - FPageCount + 1;
    while (IsMapPage(FPageCount + n - 1)) ++n;
    const int32_t oldCount = FPageCount;
    FPageManager.AddPages(n);
    FPageCount = FPageManager.HeaderPageCount();
    const int32_t newLast = FPageCount - 1;
    try {
        for (int32_t k = lastPfs + 1; k <= newLast / FPfsSpan; ++k) {
            TMapPage pfs(*this, k * FPfsSpan, ptPFS);
            pfs.Data()[0] = 1;  // its own bit
            pfs.Release();
        }
        for (int32_t g = lastGroup + 1; g <= newLast / FEamSpan; ++g) {
            TMapPage eam(*this, EamPageNo(g), ptEAM);
            eam.Data()[0] = 1;  // the group's first extent has a free page
            eam.Release();
        }
    } catch (...) {
        // A count stored over map pages that never reached the file would make every
        // later search of their group fail on them: the file stays longer than counted.
        FPageManager.SetHeaderPageCount(oldCount);
        FPageManager.PageCount = oldCount;
        FPageCount = oldCount;
        throw;
    }
    FHighestUsed = candidate;
    for (int32_t g = lastGroup + 1; g <= newLast / FEamSpan; ++g) SetPfsBit(EamPageNo(g), true);
    for (int32_t k = lastPfs + 1; k <= newLast / FPfsSpan; ++k) UpdateEamEntry(k * FPfsSpan);
    SetPageUsed(FHighestUsed, true);
    return FHighestUsed;
}

int32_t TORQDatabaseFreeSpaceManager::FindHighestUsedPage() {
    if (FHighestUsed == -1 || FPageCount == 0) return -1;
    for (int32_t k = (FPageCount - 1) / FPfsSpan; k >= 0; --k) {
        TMapPage pfs(*this, k * FPfsSpan, ptPFS, 30432);
        const uint8_t* data = pfs.Data();
        for (int32_t i = FPfsSpan / 8 - 1; i >= 0; --i) {
            if (data[i] == 0) continue;
            for (int32_t j = 7; j >= 0; --j) {
                const int32_t page = k * FPfsSpan + 8 * i + j;
                if ((data[i] >> j & 1) != 0 && !IsMapPage(page)) return page;
            }
        }
    }
    return -1;
}

void TORQDatabaseFreeSpaceManager::SetPageUsed(int32_t PageNo, bool Used) {
    SetPfsBit(PageNo, Used);
    UpdateEamEntry(PageNo);
}

void TORQDatabaseFreeSpaceManager::CheckAddress(int32_t PageNo, int32_t ErrorCode) const {
    if (PageNo < 0 || PageNo >= FPageCount)
        RaiseNativeFmt(ErrorCode, "Page: %d cannot be addressed. TotalPageCount=%d", {PageNo, FPageCount});
}

void TORQDatabaseFreeSpaceManager::SetPfsBit(int32_t PageNo, bool Used) {
    CheckAddress(PageNo, 30430);
    TMapPage pfs(*this, PageNo / FPfsSpan * FPfsSpan, ptPFS, 30424);
    const int32_t bit = PageNo % FPfsSpan;
    uint8_t& byte = pfs.Data()[bit / 8];
    const auto mask = static_cast<uint8_t>(1u << (bit % 8));
    const bool set = (byte & mask) != 0;
    if (Used && set) RaiseNativeFmt(30425, "Page: %d already used", {PageNo});
    if (!Used && !set) RaiseNativeFmt(30427, "Page: %d already free", {PageNo});
    byte = static_cast<uint8_t>(Used ? byte | mask : byte & ~mask);
    pfs.SetModified();
    pfs.Release();
}

bool TORQDatabaseFreeSpaceManager::IsPfsBitSet(int32_t PageNo, int32_t ErrorCode) {
    TMapPage pfs(*this, PageNo / FPfsSpan * FPfsSpan, ptPFS, ErrorCode);
    const int32_t bit = PageNo % FPfsSpan;
    return (pfs.Data()[bit / 8] >> (bit % 8) & 1) != 0;
}

bool TORQDatabaseFreeSpaceManager::IsPageUsed(int32_t PageNo) {
    if (FHighestUsed < PageNo / FPfsSpan * FPfsSpan) return false;
    return IsPfsBitSet(PageNo, 30430);
}

void TORQDatabaseFreeSpaceManager::UpdateEamEntry(int32_t PageNo) {
    CheckAddress(PageNo, 30431);
    const int32_t extent = PageNo / FPagesPerExtent;
    const int32_t first = extent * FPagesPerExtent;
    const int32_t end = first + FPagesPerExtent;
    bool seenUsed = false;
    bool seenFree = false;
    const int32_t pfsPage = first / FPfsSpan * FPfsSpan;
    if ((end - 1) / FPfsSpan * FPfsSpan == pfsPage) {
        // The extent within one PFS page: its bits read at once.
        if (FHighestUsed < pfsPage) {
            seenFree = true;
        } else {
            TMapPage pfs(*this, pfsPage, ptPFS, 30430);
            const uint8_t* data = pfs.Data();
            for (int32_t p = first; p < end && !(seenUsed && seenFree); ++p) {
                const int32_t bit = p - pfsPage;
                ((data[bit / 8] >> (bit % 8) & 1) != 0 ? seenUsed : seenFree) = true;
            }
        }
    } else {
        for (int32_t p = first; p < end && !(seenUsed && seenFree); ++p) (IsPageUsed(p) ? seenUsed : seenFree) = true;
    }
    const uint8_t value = seenUsed && !seenFree ? 3 : (seenUsed || seenFree) ? 1 : 0;
    TMapPage eam(*this, EamPageNo(PageNo / FEamSpan), ptEAM, 30428);
    const int32_t entry = extent % FExtentsPerEam;
    uint8_t& byte = eam.Data()[entry / 4];
    const int shift = 2 * (entry % 4);
    const auto updated = static_cast<uint8_t>((byte & ~(3u << shift)) | (value << shift));
    if (updated == byte) return;
    byte = updated;
    eam.SetModified();
    eam.Release();
}

}  // namespace orq
