#include "engine/storage/ORQBTreePageIndex.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

[[noreturn]] void RaiseInvalidPageNo(int32_t Code) { RaiseNative(Code, "Index error: invalid page number"); }
[[noreturn]] void RaiseInvalidPosition(int32_t Code) { RaiseNative(Code, "Index error: invalid position"); }
[[noreturn]] void RaiseAmountRange(int64_t Amount) {
    RaiseNativeFmt(20061, "Index error: page amount %d out of range", {Amount});
}

// Page numbers met by a walk along the leaves must move strictly one way: a damaged
// chain that leads back would have pages counted twice and wrong record numbers given.
class TPageOrder {
public:
    explicit TPageOrder(bool Ascending) : FAscending(Ascending) {}
    void Check(int32_t PageNo) {
        if (FStarted && (FAscending ? PageNo <= FLast : PageNo >= FLast))
            RaiseNativeFmt(31005, "Record page index is damaged. PageNo=%d", {PageNo});
        FStarted = true;
        FLast = PageNo;
    }

private:
    bool FAscending;
    bool FStarted = false;
    int32_t FLast = 0;
};

}  // namespace

namespace {
std::atomic<int64_t> SummaryBuildCount{0};
}  // namespace

TORQBTreePageIndex::TORQBTreePageIndex(TORQPageManager& PageManager) : FPageManager(PageManager) {}

int64_t TORQBTreePageIndex::SummaryBuilds() { return SummaryBuildCount.load(std::memory_order_relaxed); }

void TORQBTreePageIndex::TakeSummary(TORQRoomSummary& Summary) {
    Summary = TORQRoomSummary{};
    if (!FSummaryValid || FSummaryGeneration != FPageManager.DiscardGeneration() || FRootPageNo == -1) {
        InvalidateSummary();
        return;
    }
    Summary.Valid = true;
    Summary.RootPageNo = FRootPageNo;
    Summary.Generation = FSummaryGeneration;
    Summary.Amounts = std::move(FAmounts);
    Summary.ByAmount = std::move(FByAmount);
    InvalidateSummary();
}

bool TORQBTreePageIndex::AdoptSummary(TORQRoomSummary&& Summary) {
    if (!Summary.Valid || Summary.RootPageNo != FRootPageNo || FRootPageNo == -1 ||
        Summary.Generation != FPageManager.DiscardGeneration())
        return false;
    FAmounts = std::move(Summary.Amounts);
    FByAmount = std::move(Summary.ByAmount);
    FSummaryGeneration = Summary.Generation;
    FSummaryValid = true;
    Summary.Valid = false;
    return true;
}

// ---------------------------------------------------------------------------------
// Room summary

void TORQBTreePageIndex::InvalidateSummary() {
    FSummaryValid = false;
    FAmounts.clear();
    FByAmount.clear();
}

void TORQBTreePageIndex::EnsureSummary(int32_t SessionID) {
    if (FSummaryValid && FSummaryGeneration == FPageManager.DiscardGeneration()) return;
    InvalidateSummary();
    SummaryBuildCount.fetch_add(1, std::memory_order_relaxed);
    const uint64_t generation = FPageManager.DiscardGeneration();
    TORQKeyPath path;
    if (FRootPageNo != -1 && First(SessionID, path)) {
        // Leaf by leaf along the chain: each leaf is loaded once.
        TPageOrder order(true);
        int32_t leafNo = path.Levels[path.LevelCount - 1].PageNo;
        try {
            while (leafNo != -1) {
                TORQBTreePageHolder leaf = TORQBTreePage::Load(FPageManager, FKeyRef, SessionID, leafNo);
                if (!leaf->IsLeaf()) RaiseNativeFmt(31005, "Record page index is damaged. PageNo=%d", {leafNo});
                for (int32_t e = 0; e < leaf->EntryCount(); ++e) {
                    const auto pageNo = static_cast<int32_t>(LoadLE32(leaf->KeyAt(e)));
                    order.Check(pageNo);
                    const uint16_t amount = LoadLE16(leaf->ValueAt(e));
                    FAmounts.emplace(pageNo, amount);
                    FByAmount.emplace(amount, pageNo);
                }
                leafNo = leaf->NextPageNo();
            }
        } catch (...) {
            InvalidateSummary();
            throw;
        }
    }
    FSummaryValid = true;
    FSummaryGeneration = generation;
}

void TORQBTreePageIndex::NoteAmount(int32_t PageNo, int32_t Amount) {
    if (!FSummaryValid) return;
    if (auto it = FAmounts.find(PageNo); it != FAmounts.end()) {
        if (Amount == 0) {
            FByAmount.erase({it->second, PageNo});
            FAmounts.erase(it);
            return;
        }
        // The set's node is reused for the new amount: no allocation per change.
        auto node = FByAmount.extract({it->second, PageNo});
        it->second = static_cast<uint16_t>(Amount);
        if (node.empty()) {
            FByAmount.emplace(static_cast<uint16_t>(Amount), PageNo);
        } else {
            node.value() = {static_cast<uint16_t>(Amount), PageNo};
            FByAmount.insert(std::move(node));
        }
        return;
    }
    if (Amount == 0) return;
    FAmounts.emplace(PageNo, static_cast<uint16_t>(Amount));
    FByAmount.emplace(static_cast<uint16_t>(Amount), PageNo);
}

template <typename TChange>
void TORQBTreePageIndex::Changing(TChange&& Change) {
    try {
        Change();
    } catch (...) {
        InvalidateSummary();
        throw;
    }
}

std::vector<std::pair<int32_t, uint16_t>> TORQBTreePageIndex::RoomSummary(int32_t SessionID) {
    EnsureSummary(SessionID);
    std::vector<std::pair<int32_t, uint16_t>> pages(FAmounts.begin(), FAmounts.end());
    std::sort(pages.begin(), pages.end());
    return pages;
}

TORQBTreePageHolder TORQBTreePageIndex::LoadRoot(int32_t SessionID) {
    return TORQBTreePage::Load(FPageManager, FKeyRef, SessionID, FRootPageNo);
}

void TORQBTreePageIndex::CreateIndex(int32_t SessionID) {
    TORQBTreePageHolder root = TORQBTreePage::New(FPageManager, FKeyRef, SessionID);
    root->InitRootLeaf();
    root->MarkModified();
    FRootPageNo = root->GetPageNo();
    InvalidateSummary();
}

void TORQBTreePageIndex::DropIndex(int32_t SessionID) {
    InvalidateSummary();
    if (FRootPageNo == -1) return;
    {
        TORQBTreePageHolder root = LoadRoot(SessionID);
        root->FreePages(SessionID, false);
    }
    FRootPageNo = -1;
}

void TORQBTreePageIndex::EmptyIndex(int32_t SessionID) {
    InvalidateSummary();
    if (FRootPageNo == -1) return;
    TORQBTreePageHolder root = LoadRoot(SessionID);
    root->FreePages(SessionID, true);
    root->InitRootLeaf();
    root->MarkModified();
}

bool TORQBTreePageIndex::First(int32_t SessionID, TORQKeyPath& Path) {
    Path.Clear();
    if (FRootPageNo == -1) RaiseInvalidPageNo(20115);
    return LoadRoot(SessionID)->First(SessionID, Path);
}

bool TORQBTreePageIndex::Last(int32_t SessionID, TORQKeyPath& Path) {
    Path.Clear();
    if (FRootPageNo == -1) RaiseInvalidPageNo(20116);
    return LoadRoot(SessionID)->Last(SessionID, Path);
}

bool TORQBTreePageIndex::Next(int32_t SessionID, TORQKeyPath& Path) {
    return StepKeyPathNext(FPageManager, FKeyRef, SessionID, Path, 20099, 20100);
}

bool TORQBTreePageIndex::Prior(int32_t SessionID, TORQKeyPath& Path) {
    return StepKeyPathPrior(FPageManager, FKeyRef, SessionID, Path, 20101, 20102);
}

bool TORQBTreePageIndex::FindKey(int32_t SessionID, int32_t PageNo, TORQKeyPath& Path) {
    Path.Clear();
    if (FRootPageNo == -1) RaiseInvalidPageNo(20117);
    uint8_t key[4];
    StoreLE32(key, static_cast<uint32_t>(PageNo));
    return LoadRoot(SessionID)->FindKey(SessionID, true, Path, scEqual, key);
}

TORQBTreePageHolder TORQBTreePageIndex::LoadLeafAt(int32_t SessionID, const TORQKeyPath& Path, int32_t Code,
                                                   int32_t& EntryNo) {
    if (Path.LevelCount <= 0 || Path.LevelCount > TORQKeyPath::MaxLevels) RaiseInvalidPosition(Code);
    const TORQKeyPathLevel& at = Path.Levels[Path.LevelCount - 1];
    TORQBTreePageHolder leaf = TORQBTreePage::Load(FPageManager, FKeyRef, SessionID, at.PageNo);
    if (!leaf->IsLeaf() || at.EntryNo < 0 || at.EntryNo >= leaf->EntryCount()) RaiseInvalidPosition(Code);
    EntryNo = at.EntryNo;
    return leaf;
}

int32_t TORQBTreePageIndex::GetKey(int32_t SessionID, const TORQKeyPath& Path) {
    int32_t entry = 0;
    TORQBTreePageHolder leaf = LoadLeafAt(SessionID, Path, 20103, entry);
    return static_cast<int32_t>(LoadLE32(leaf->KeyAt(entry)));
}

uint16_t TORQBTreePageIndex::GetAmount(int32_t SessionID, const TORQKeyPath& Path) {
    int32_t entry = 0;
    TORQBTreePageHolder leaf = LoadLeafAt(SessionID, Path, 20107, entry);
    return LoadLE16(leaf->ValueAt(entry));
}

void TORQBTreePageIndex::SetAmount(int32_t SessionID, const TORQKeyPath& Path, uint16_t Amount) {
    int32_t entry = 0;
    TORQBTreePageHolder leaf = LoadLeafAt(SessionID, Path, 20108, entry);
    StoreLE16(leaf->ValueAt(entry), Amount);
    leaf->MarkModified();
    NoteAmount(static_cast<int32_t>(LoadLE32(leaf->KeyAt(entry))), Amount);
}

bool TORQBTreePageIndex::FindPageWithRoom(int32_t SessionID, int32_t AmountToAdd, int32_t& PageNo) {
    if (FRootPageNo == -1) RaiseInvalidPageNo(20116);
    const int32_t limit = std::min(MaxAmountWithRoom(AmountToAdd), 0xFFFF);
    if (limit < 0) return false;
    // A second try follows a summary found stale (another process changed the tree).
    for (int attempt = 0; attempt < 2; ++attempt) {
        EnsureSummary(SessionID);
        auto it = FByAmount.upper_bound({static_cast<uint16_t>(limit), INT32_MAX});
        if (it == FByAmount.begin()) return false;
        --it;
        const int32_t candidate = it->second;
        TORQKeyPath path;
        if (FindKey(SessionID, candidate, path) && CanAdd(GetAmount(SessionID, path), AmountToAdd)) {
            PageNo = candidate;
            return true;
        }
        InvalidateSummary();
    }
    return false;
}

void TORQBTreePageIndex::AddAmount(int32_t SessionID, int32_t Amount, int32_t PageNo) {
    if (FRootPageNo == -1) RaiseInvalidPageNo(20118);
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) {
        if (Amount < 0 || Amount > 0xFFFF) RaiseAmountRange(Amount);
        uint8_t key[4];
        uint8_t value[2];
        StoreLE32(key, static_cast<uint32_t>(PageNo));
        StoreLE16(value, static_cast<uint16_t>(Amount));
        TORQKeyPath insertPath;
        Changing([&] { LoadRoot(SessionID)->Insert(SessionID, key, insertPath, value); });
        NoteAmount(PageNo, Amount);
        return;
    }
    const int32_t stored = GetAmount(SessionID, path);
    if (!CanAdd(stored, Amount)) RaiseNative(20106, "Cannot add data item to page. Page is full");
    const int64_t sum = int64_t{stored} + Amount;
    if (Amount < 0 || sum > 0xFFFF) RaiseAmountRange(sum);
    SetAmount(SessionID, path, static_cast<uint16_t>(sum));
}

void TORQBTreePageIndex::SubtractAmount(int32_t SessionID, int32_t Amount, int32_t NewAmount, int32_t PageNo) {
    if (FRootPageNo == -1) RaiseNative(20110, "Invalid page number");
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) RaiseNative(20111, "Invalid page number");
    // The leaf is loaded once to read the amount and to set it.
    int32_t entry = 0;
    TORQBTreePageHolder leaf = LoadLeafAt(SessionID, path, 20107, entry);
    const int32_t stored = LoadLE16(leaf->ValueAt(entry));
    int64_t result = NewAmount;
    if (NewAmount < 0) {
        if (stored == 0) RaiseNative(20112, "Index error: page is empty");
        // A 16-bit amount taken below zero would wrap to a large count of free room.
        result = int64_t{stored} - Amount;
        if (Amount < 0 || result < 0) RaiseAmountRange(result);
    }
    if (result > 0xFFFF) RaiseAmountRange(result);
    if (result != 0) {
        StoreLE16(leaf->ValueAt(entry), static_cast<uint16_t>(result));
        leaf->MarkModified();
        NoteAmount(static_cast<int32_t>(LoadLE32(leaf->KeyAt(entry))), static_cast<int32_t>(result));
        return;
    }
    leaf.reset();
    uint8_t key[4];
    uint8_t value[2];
    StoreLE32(key, static_cast<uint32_t>(PageNo));
    StoreLE16(value, static_cast<uint16_t>(stored));
    TORQKeyPath deletePath;
    Changing([&] { LoadRoot(SessionID)->Delete(SessionID, key, deletePath, value); });
    NoteAmount(PageNo, 0);
}

// ---------------------------------------------------------------------------------
// Record page index

bool TORQBTreeRecordPageIndex::CanAdd(int32_t CurrentAmount, int32_t) const { return CurrentAmount < RecordsPerPage; }

int32_t TORQBTreeRecordPageIndex::MaxAmountWithRoom(int32_t) const { return RecordsPerPage - 1; }

bool TORQBTreeRecordPageIndex::FindPageWithRoom(int32_t SessionID, int32_t& PageNo) {
    return TORQBTreePageIndex::FindPageWithRoom(SessionID, 1, PageNo);
}

void TORQBTreeRecordPageIndex::AddRecords(int32_t SessionID, int32_t PageNo, int32_t Count) {
    AddAmount(SessionID, Count, PageNo);
}

void TORQBTreeRecordPageIndex::SetRecordCount(int32_t SessionID, int32_t PageNo, int32_t Count) {
    SubtractAmount(SessionID, 1, Count, PageNo);
}

bool TORQBTreeRecordPageIndex::FirstPage(int32_t SessionID, int32_t& PageNo) {
    TORQKeyPath path;
    if (!First(SessionID, path)) return false;
    PageNo = GetKey(SessionID, path);
    return true;
}

bool TORQBTreeRecordPageIndex::LastPage(int32_t SessionID, int32_t& PageNo) {
    TORQKeyPath path;
    if (!Last(SessionID, path)) return false;
    PageNo = GetKey(SessionID, path);
    return true;
}

bool TORQBTreeRecordPageIndex::NextPage(int32_t SessionID, int32_t PageNo, int32_t& Next) {
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) RaiseNative(20104, "Invalid page number");
    if (!TORQBTreePageIndex::Next(SessionID, path)) return false;
    Next = GetKey(SessionID, path);
    return true;
}

bool TORQBTreeRecordPageIndex::PriorPage(int32_t SessionID, int32_t PageNo, int32_t& Prior) {
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) RaiseNative(20105, "Invalid page number");
    if (!TORQBTreePageIndex::Prior(SessionID, path)) return false;
    Prior = GetKey(SessionID, path);
    return true;
}

void TORQBTreeRecordPageIndex::FindPageByRecordOrdinal(int32_t SessionID, int32_t& PageNo, int32_t& Ordinal,
                                                       int64_t N) {
    TORQKeyPath path;
    bool more = N >= 0 && First(SessionID, path);
    int64_t sum = 0;
    TPageOrder order(true);
    while (more) {
        const int32_t key = GetKey(SessionID, path);
        order.Check(key);
        const int32_t count = GetAmount(SessionID, path);
        if (sum + count > N) {
            PageNo = key;
            Ordinal = static_cast<int32_t>(N - sum);
            return;
        }
        sum += count;
        more = TORQBTreePageIndex::Next(SessionID, path);
    }
    RaiseNative(20113, "Cannot set RecNo greater than RecordCount");
}

void TORQBTreeRecordPageIndex::CountRecordsBefore(int32_t SessionID, int32_t PageNo, int64_t& Result,
                                                  int64_t Offset) {
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) RaiseNative(20114, "Invalid page number");
    int64_t sum = 0;
    TPageOrder order(false);
    order.Check(PageNo);
    while (TORQBTreePageIndex::Prior(SessionID, path)) {
        order.Check(GetKey(SessionID, path));
        sum += GetAmount(SessionID, path);
    }
    Result = sum + Offset;
}

int64_t TORQBTreeRecordPageIndex::CheckRecordCount(int32_t SessionID, int64_t Expected) {
    TORQKeyPath path;
    int64_t sum = 0;
    TPageOrder order(true);
    for (bool more = First(SessionID, path); more; more = TORQBTreePageIndex::Next(SessionID, path)) {
        order.Check(GetKey(SessionID, path));
        sum += GetAmount(SessionID, path);
    }
    if (sum != Expected)
        RaiseNativeFmt(20292,
                       "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=%d, "
                       "MostUpdated.RecordCount=%d",
                       {sum, Expected});
    return sum;
}

// ---------------------------------------------------------------------------------
// BLOB page index

bool TORQBTreeBlobPageIndex::CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const {
    return int64_t{CurrentAmount} + AmountToAdd < int64_t{FPageManager.DataSize} - 2;
}

int32_t TORQBTreeBlobPageIndex::MaxAmountWithRoom(int32_t AmountToAdd) const {
    const int64_t limit = int64_t{FPageManager.DataSize} - 3 - AmountToAdd;
    return limit < 0 ? -1 : static_cast<int32_t>(std::min<int64_t>(limit, INT32_MAX));
}

bool TORQBTreeBlobPageIndex::FindPageWithRoom(int32_t SessionID, int32_t Size, int32_t& PageNo) {
    return TORQBTreePageIndex::FindPageWithRoom(SessionID, Size, PageNo);
}

void TORQBTreeBlobPageIndex::AddUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo) {
    AddAmount(SessionID, Size, PageNo);
}

void TORQBTreeBlobPageIndex::RemoveUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo) {
    SubtractAmount(SessionID, Size, -1, PageNo);
}

int32_t TORQBTreeBlobPageIndex::GetUsedSize(int32_t SessionID, int32_t PageNo) {
    TORQKeyPath path;
    if (!FindKey(SessionID, PageNo, path)) return -1;
    return GetAmount(SessionID, path);
}

}  // namespace orq
