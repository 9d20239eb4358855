#include "engine/storage/ORQRecordPages.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/storage/ORQBTreePage.h"
#include "engine/storage/ORQConst.h"

namespace orq {

namespace {

// The highest change stamp a page in use may carry; above it the page is freed or unread.
constexpr int32_t MaxOwnedPageStamp = 0x7FFFFFFD;

[[noreturn]] void RaiseRecordNotFound(int32_t Code) { RaiseNative(Code, "Record not found"); }

}  // namespace

// ---------------------------------------------------------------------------------
// Page view

int32_t RecordsPerRecordPage(int32_t DataSize, int32_t RecordSize) {
    if (DataSize < 1 || RecordSize < 1) return 0;
    // Each record takes its R bytes and one bitmap bit; one byte is kept for the bitmap's
    // rounding. Floating point as the stored files were laid out with it.
    const double n = (static_cast<double>(DataSize) - 1.0) / (static_cast<double>(RecordSize) + 0.125);
    return n < 1.0 ? 0 : static_cast<int32_t>(n);
}

TORQSmallRecordPage::TORQSmallRecordPage(TORQPage* Page, int32_t RecordSize, int32_t RecordsPerPage)
    : FPage(Page), FRecordSize(RecordSize), FRecordsPerPage(RecordsPerPage), FBitmapSize((RecordsPerPage + 7) / 8) {
    const int64_t used = int64_t{FBitmapSize} + int64_t{RecordsPerPage} * RecordSize;
    if (Page == nullptr || RecordSize < 1 || RecordsPerPage < 1 || RecordsPerPage > 0x10000 ||
        used > Page->GetDataSize())
        RaiseNative(20140, "Invalid number of records on page");
}

bool TORQSmallRecordPage::IsSlotUsed(int32_t Slot) const {
    if (Slot < 0 || Slot >= FRecordsPerPage) return false;
    return (FPage->GetData()[Slot / 8] >> (Slot % 8) & 1) != 0;
}

uint8_t* TORQSmallRecordPage::SlotAt(int32_t Slot) const {
    return FPage->GetData() + FBitmapSize + static_cast<int64_t>(Slot) * FRecordSize;
}

TORQRecordID TORQSmallRecordPage::IDOf(int32_t Slot) const {
    return TORQRecordID{FPage->PageNo, static_cast<uint16_t>(Slot)};
}

bool TORQSmallRecordPage::FindFreeSlot(uint16_t& Slot) const {
    const uint8_t* bits = FPage->GetData();
    for (int32_t b = 0; b < FBitmapSize; ++b) {
        if (bits[b] == 0xFF) continue;
        for (int32_t s = b * 8; s < b * 8 + 8 && s < FRecordsPerPage; ++s) {
            if (!IsSlotUsed(s)) {
                Slot = static_cast<uint16_t>(s);
                return true;
            }
        }
    }
    return false;
}

int64_t TORQSmallRecordPage::GetRecordCount() const {
    const uint8_t* bits = FPage->GetData();
    int64_t count = 0;
    const int32_t whole = FRecordsPerPage / 8;
    for (int32_t b = 0; b < whole; ++b) count += __builtin_popcount(bits[b]);
    // Bits past the last slot are not records, whatever a damaged page holds there.
    for (int32_t s = whole * 8; s < FRecordsPerPage; ++s) count += IsSlotUsed(s) ? 1 : 0;
    return count;
}

void TORQSmallRecordPage::AddRecord(const uint8_t* Record, TORQRecordID& RecordID) {
    uint16_t slot = 0;
    if (!FindFreeSlot(slot)) RaiseNative(20141, "Cannot add record to page. Page is full");
    FPage->GetData()[slot / 8] |= static_cast<uint8_t>(1u << (slot % 8));
    std::memcpy(SlotAt(slot), Record, static_cast<size_t>(FRecordSize));
    FPage->Modified = 1;
    RecordID = IDOf(slot);
}

bool TORQSmallRecordPage::UpdateRecord(const uint8_t* Record, const TORQRecordID& RecordID) {
    if (!IsSlotUsed(RecordID.SlotNo)) return false;
    std::memcpy(SlotAt(RecordID.SlotNo), Record, static_cast<size_t>(FRecordSize));
    FPage->Modified = 1;
    return true;
}

bool TORQSmallRecordPage::DeleteRecord(const TORQRecordID& RecordID) {
    if (!IsSlotUsed(RecordID.SlotNo)) return false;
    FPage->GetData()[RecordID.SlotNo / 8] &= static_cast<uint8_t>(~(1u << (RecordID.SlotNo % 8)));
    FPage->Modified = 1;
    return true;
}

bool TORQSmallRecordPage::ReadRecord(const TORQRecordID& RecordID, uint8_t* Record) const {
    if (!IsSlotUsed(RecordID.SlotNo)) return false;
    std::memcpy(Record, SlotAt(RecordID.SlotNo), static_cast<size_t>(FRecordSize));
    return true;
}

void TORQSmallRecordPage::GetFirstRecord(TORQRecordID& RecordID) const {
    for (int32_t s = 0; s < FRecordsPerPage; ++s) {
        if (IsSlotUsed(s)) {
            RecordID = IDOf(s);
            return;
        }
    }
    RaiseNativeFmt(20143, "Record not found. PageNo=%d, PageRecordCount=%d", {FPage->PageNo, GetRecordCount()});
}

void TORQSmallRecordPage::GetLastRecord(TORQRecordID& RecordID) const {
    for (int32_t s = FRecordsPerPage - 1; s >= 0; --s) {
        if (IsSlotUsed(s)) {
            RecordID = IDOf(s);
            return;
        }
    }
    RaiseRecordNotFound(20144);
}

bool TORQSmallRecordPage::GetNextRecord(TORQRecordID& RecordID) const {
    for (int32_t s = int32_t{RecordID.SlotNo} + 1; s < FRecordsPerPage; ++s) {
        if (IsSlotUsed(s)) {
            RecordID = IDOf(s);
            return true;
        }
    }
    return false;
}

bool TORQSmallRecordPage::GetPriorRecord(TORQRecordID& RecordID) const {
    // A slot beyond the page's last counts as lying after all of them.
    for (int32_t s = std::min<int32_t>(RecordID.SlotNo, FRecordsPerPage) - 1; s >= 0; --s) {
        if (IsSlotUsed(s)) {
            RecordID = IDOf(s);
            return true;
        }
    }
    return false;
}

void TORQSmallRecordPage::GetRecordByIndex(int32_t N, TORQRecordID& RecordID) const {
    int32_t rank = 0;
    for (int32_t s = 0; s < FRecordsPerPage && N >= 0; ++s) {
        if (!IsSlotUsed(s)) continue;
        if (rank++ == N) {
            RecordID = IDOf(s);
            return;
        }
    }
    RaiseRecordNotFound(20146);
}

int32_t TORQSmallRecordPage::CountUsedSlotsBefore(const TORQRecordID& RecordID) const {
    int32_t count = 0;
    const int32_t end = std::min<int32_t>(RecordID.SlotNo, FRecordsPerPage);
    for (int32_t s = 0; s < end; ++s) count += IsSlotUsed(s) ? 1 : 0;
    return count;
}

// ---------------------------------------------------------------------------------
// Record manager

// One page taken from the page manager with its view; both go at scope exit.
class TORQDiskRecordManager::TPageUse {
public:
    TPageUse(TORQPageManager& PageManager, TORQPage* Page) : FPageManager(PageManager), FPage(Page) {}
    ~TPageUse() { FPageManager.ReleasePage(FPage); }
    TPageUse(const TPageUse&) = delete;
    TPageUse& operator=(const TPageUse&) = delete;
    TORQPage* Page() const { return FPage; }

private:
    TORQPageManager& FPageManager;
    TORQPage* FPage;
};

TORQDiskRecordManager::TORQDiskRecordManager(TORQDiskPageManager& PageManager, int32_t TableID,
                                             TORQBaseFieldManager& FieldManager)
    : FPageManager(PageManager), FFieldManager(FieldManager), FPageIndex(PageManager), FTableID(TableID) {}

TORQDiskRecordManager::~TORQDiskRecordManager() { GlobalMemoryManager().FreeAndNillMem(FWorkBuffer); }

void TORQDiskRecordManager::SetRecordLayout(int32_t MemoryRecordSize, int32_t StoredRecordSize, int32_t FieldCount) {
    if (FieldCount < 1 || StoredRecordSize < 1) RaiseNative(20142, "Error creating table - no fields were specified");
    const int32_t perPage = RecordsPerRecordPage(FPageManager.DataSize, StoredRecordSize);
    if (perPage == 0)
        RaiseNative(20174,
                    "Cannot create table. Record is too large to fit in current database page. Please increase page "
                    "size of database file or decrease record size");
    auto* buffer = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(StoredRecordSize));
    GlobalMemoryManager().FreeAndNillMem(FWorkBuffer);
    FWorkBuffer = buffer;
    RecordSize = MemoryRecordSize;
    FStoredRecordSize = StoredRecordSize;
    FRecordsPerPage = perPage;
    FPageIndex.RecordsPerPage = perPage;
    RecordCount = 0;
    ChangeStamp = 0;
    FFieldValues.assign(static_cast<size_t>(FieldCount), 0);
}

void TORQDiskRecordManager::CheckLayoutSet() const {
    if (FWorkBuffer == nullptr) RaiseNative(31000, "Record layout of the table is not set");
}

void TORQDiskRecordManager::CheckFieldLayout() const {
    CheckLayoutSet();
    // The field manager converts with its own layout's sizes: a mismatch would run past
    // the work buffer or the caller's record.
    if (FFieldManager.FieldDefs.GetRecordDataSize() != FStoredRecordSize ||
        FFieldManager.FieldDefs.GetMemoryRecordSize() > RecordSize)
        RaiseNative(31001, "Record layout does not match the table's fields");
}

void TORQDiskRecordManager::ToStored(const uint8_t* Memory) {
    CheckFieldLayout();
    FFieldManager.MemoryToDiskRecord(Memory, FWorkBuffer);
}

void TORQDiskRecordManager::ToMemory(uint8_t* Memory) const {
    CheckFieldLayout();
    FFieldManager.DiskToMemoryRecord(FWorkBuffer, Memory);
}

void TORQDiskRecordManager::CountChange() {
    // Wraps as a counter: only a difference from a kept copy means anything.
    ChangeStamp = static_cast<int32_t>(static_cast<uint32_t>(ChangeStamp) + 1u);
}

void TORQDiskRecordManager::LoadState(const uint8_t* Buffer, int32_t& Position, int32_t BufferSize) {
    if (Buffer == nullptr || Position < 0 || int64_t{BufferSize} - Position < 8)
        RaiseNative(20164, "Invalid table header data");
    const auto stamp = static_cast<int32_t>(LoadLE32(Buffer + Position));
    const auto count = static_cast<int32_t>(LoadLE32(Buffer + Position + 4));
    if (count < 0) RaiseNative(20164, "Invalid table header data");
    ChangeStamp = stamp;
    RecordCount = count;
    Position += 8;
}

void TORQDiskRecordManager::SaveState(uint8_t* Buffer, int32_t& Position) const {
    StoreLE32(Buffer + Position, static_cast<uint32_t>(ChangeStamp));
    StoreLE32(Buffer + Position + 4, static_cast<uint32_t>(static_cast<int32_t>(RecordCount)));
    Position += 8;
}

void TORQDiskRecordManager::LoadIndexRoot(TORQStream& Stream) {
    uint8_t bytes[4];
    Stream.ReadBuffer(bytes, 4);
    FPageIndex.SetRootPageNo(static_cast<int32_t>(LoadLE32(bytes)));
}

void TORQDiskRecordManager::SaveIndexRoot(TORQStream& Stream) const {
    uint8_t bytes[4];
    StoreLE32(bytes, static_cast<uint32_t>(FPageIndex.RootPageNo()));
    Stream.WriteBuffer(bytes, 4);
}

void TORQDiskRecordManager::ResetIndex() { FPageIndex.CreateIndex(-2); }

void TORQDiskRecordManager::DropRecords(int32_t SessionID) {
    EmptyRecords(SessionID);
    FPageIndex.DropIndex(SessionID);
}

bool TORQDiskRecordManager::PageBelongsToTable(const TORQPage& Page) const {
    const TORQDatabaseFreeSpaceManager* space = FPageManager.FreeSpaceManager();
    if ((space != nullptr && space->RecoveryMode != 0) || FPageManager.Version() < TORQDiskPageManager::MinimumVersion)
        return true;
    const uint8_t* header = Page.GetBuffer();
    if (header == nullptr) return false;
    return Page.GetChangeStamp() <= MaxOwnedPageStamp && Page.GetPageType() == ptTableRecord &&
           static_cast<int32_t>(LoadLE32(header + TORQSmallRecordPage::OwnerTableOffset)) == FTableID;
}

TORQPage* TORQDiskRecordManager::TryGetPage(int32_t SessionID, int32_t PageNo) {
    if (PageNo < 1 || FPageManager.IsMapPage(PageNo)) return nullptr;
    try {
        return FPageManager.GetPage(SessionID, PageNo, true, AnyPageType);
    } catch (const EORQException& e) {
        // A page freed by someone else may have been cut from the end of the file.
        if (e.NativeError() == 20154) return nullptr;
        throw;
    }
}

bool TORQDiskRecordManager::IndexPageAfter(int32_t SessionID, int32_t PageNo, int32_t& Next) {
    if (FPageIndex.RootPageNo() == -1) return false;
    uint8_t key[4];
    StoreLE32(key, static_cast<uint32_t>(PageNo));
    TORQKeyPath path;
    {
        TORQBTreePageHolder root =
            TORQBTreePage::Load(FPageManager, FPageIndex.KeyRef(), SessionID, FPageIndex.RootPageNo());
        if (!root->FindKey(SessionID, true, path, scGreater, key)) return false;
    }
    Next = FPageIndex.GetKey(SessionID, path);
    return true;
}

bool TORQDiskRecordManager::IndexPageBefore(int32_t SessionID, int32_t PageNo, int32_t& Prior) {
    if (FPageIndex.RootPageNo() == -1) return false;
    uint8_t key[4];
    StoreLE32(key, static_cast<uint32_t>(PageNo));
    TORQKeyPath path;
    {
        TORQBTreePageHolder root =
            TORQBTreePage::Load(FPageManager, FPageIndex.KeyRef(), SessionID, FPageIndex.RootPageNo());
        if (!root->FindKey(SessionID, false, path, scLess, key)) return false;
    }
    Prior = FPageIndex.GetKey(SessionID, path);
    return true;
}

namespace {
std::function<void(int32_t, int32_t)>& RecordReadFaultHook() {
    static std::function<void(int32_t, int32_t)> hook;
    return hook;
}
}  // namespace

void SetRecordReadFaultHook(std::function<void(int32_t PageNo, int32_t SlotNo)> Hook) {
    RecordReadFaultHook() = std::move(Hook);
}

void RunRecordReadFaultHook(int32_t PageNo, int32_t SlotNo) {
    if (const auto& hook = RecordReadFaultHook()) hook(PageNo, SlotNo);
}

void TORQDiskRecordManager::DeliverRecord(const TORQSmallRecordPage& View, const TORQRecordID& RecordID,
                                          uint8_t* Record, int32_t Code) {
    if (Record == nullptr) return;
    if (const auto& hook = RecordReadFaultHook()) hook(RecordID.PageNo, RecordID.SlotNo);
    if (!View.ReadRecord(RecordID, FWorkBuffer)) RaiseRecordNotFound(Code);
    ToMemory(Record);
}

bool TORQDiskRecordManager::DeliverOrSkip(const TORQSmallRecordPage& View, TORQRecordID& Found, uint8_t* Record,
                                          int32_t Code, bool Forward) {
    for (;;) {
        try {
            DeliverRecord(View, Found, Record, Code);
            return true;
        } catch (const std::exception& e) {
            if (!SkipUnreadable) throw;
            const bool noted = std::any_of(Skipped.begin(), Skipped.end(), [&](const TORQSkippedRecord& S) {
                return S.PageNo == Found.PageNo && S.SlotNo == Found.SlotNo;
            });
            if (!noted) Skipped.push_back({Found.PageNo, int32_t{Found.SlotNo}, e.what()});
        }
        if (!(Forward ? View.GetNextRecord(Found) : View.GetPriorRecord(Found))) return false;
    }
}

bool TORQDiskRecordManager::EdgeRecordOf(int32_t SessionID, int32_t PageNo, bool Last, TORQRecordID& RecordID,
                                         uint8_t* Record, int32_t Code) {
    TPageUse use(FPageManager, FPageManager.GetPage(SessionID, PageNo, true, AnyPageType));
    TORQSmallRecordPage view(use.Page(), FStoredRecordSize, FRecordsPerPage);
    // A listed page that is no longer the table's holds none of its records.
    if (!PageBelongsToTable(*use.Page())) {
        if (Last) RaiseRecordNotFound(20144);
        RaiseNativeFmt(20143, "Record not found. PageNo=%d, PageRecordCount=%d", {PageNo, 0});
    }
    if (Last)
        view.GetLastRecord(RecordID);
    else
        view.GetFirstRecord(RecordID);
    return DeliverOrSkip(view, RecordID, Record, Code, !Last);
}

void TORQDiskRecordManager::GetRecordIDByRecNo(int32_t SessionID, int64_t RecNo, TORQRecordID& RecordID) {
    CheckLayoutSet();
    int32_t pageNo = -1;
    int32_t ordinal = 0;
    FPageIndex.FindPageByRecordOrdinal(SessionID, pageNo, ordinal, RecNo - 1);
    TPageUse use(FPageManager, FPageManager.GetPage(SessionID, pageNo, true, ptTableRecord));
    if (!PageBelongsToTable(*use.Page())) RaiseRecordNotFound(20146);
    TORQSmallRecordPage(use.Page(), FStoredRecordSize, FRecordsPerPage).GetRecordByIndex(ordinal, RecordID);
}

void TORQDiskRecordManager::GetRecNoByRecordID(int32_t SessionID, const TORQRecordID& RecordID, int64_t& RecNo) {
    CheckLayoutSet();
    int32_t offset = 0;
    {
        TPageUse use(FPageManager, FPageManager.GetPage(SessionID, RecordID.PageNo, true, ptTableRecord));
        if (!PageBelongsToTable(*use.Page())) RaiseRecordNotFound(20146);
        offset = TORQSmallRecordPage(use.Page(), FStoredRecordSize, FRecordsPerPage).CountUsedSlotsBefore(RecordID);
    }
    int64_t before = 0;
    FPageIndex.CountRecordsBefore(SessionID, RecordID.PageNo, before, offset);
    RecNo = before + 1;
}

void TORQDiskRecordManager::RebuildPageIndex(int32_t SessionID) {
    CheckLayoutSet();
    FPageIndex.CreateIndex(SessionID);
    int64_t total = 0;
    TORQDatabaseFreeSpaceManager* space = FPageManager.FreeSpaceManager();
    const int32_t pageCount = FPageManager.GetPageCount();
    for (int32_t p = 1; p < pageCount; ++p) {
        if (FPageManager.IsMapPage(p)) continue;
        int64_t count = 0;
        try {
            TPageUse use(FPageManager, FPageManager.GetPage(SessionID, p, true, ptTableRecord));
            const TORQPage& page = *use.Page();
            if (static_cast<int32_t>(LoadLE32(page.GetBuffer() + TORQSmallRecordPage::OwnerTableOffset)) != FTableID ||
                !PageBelongsToTable(page) || (space != nullptr && !space->IsPageUsed(p)))
                continue;
            count = TORQSmallRecordPage(use.Page(), FStoredRecordSize, FRecordsPerPage).GetRecordCount();
        } catch (const EORQException&) {
            // A page that cannot be read as one of this table's record pages holds none of
            // its records; the rebuild is what repairs a damaged table.
            continue;
        }
        // An empty page has no entry; a failing index write is no page's fault and escapes.
        if (count > 0) {
            FPageIndex.AddRecords(SessionID, p, static_cast<int32_t>(count));
            total += count;
        }
    }
    RecordCount = total;
}

void TORQDiskRecordManager::CheckRecordCount(int32_t SessionID) { FPageIndex.CheckRecordCount(SessionID, RecordCount); }

void TORQDiskRecordManager::EmptyRecords(int32_t SessionID) {
    int32_t pageNo = -1;
    if (FPageIndex.RootPageNo() != -1 && FPageIndex.FirstPage(SessionID, pageNo)) {
        // Every number is read before the first page is freed; a damaged chain cannot loop.
        std::vector<int32_t> pages{pageNo};
        int32_t next = -1;
        while (FPageIndex.NextPage(SessionID, pages.back(), next)) {
            if (next <= pages.back()) RaiseNativeFmt(31005, "Record page index is damaged. PageNo=%d", {next});
            pages.push_back(next);
        }
        for (const int32_t p : pages) FPageManager.FreePageForSession(SessionID, p);
    }
    FPageIndex.EmptyIndex(SessionID);
    RecordCount = 0;
    // The stamp moves on rather than back to 0: a bitmap or cursor that kept an older
    // stamp of the table must see that it changed.
    CountChange();
}

bool TORQDiskRecordManager::InsertRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) {
    ToStored(Record);
    int32_t pageNo = -1;
    TORQPage* page = nullptr;
    if (FPageIndex.FindPageWithRoom(SessionID, pageNo)) {
        page = FPageManager.GetPage(SessionID, pageNo, true, ptTableRecord);
    } else {
        page = FPageManager.AddNewPage(SessionID, ptTableRecord);
        StoreLE32(page->GetBuffer() + TORQSmallRecordPage::OwnerTableOffset, static_cast<uint32_t>(FTableID));
    }
    TORQRecordID id;
    {
        TPageUse use(FPageManager, page);
        if (!PageBelongsToTable(*page)) RaiseNative(31003, "Record page does not belong to the table");
        TORQSmallRecordPage(page, FStoredRecordSize, FRecordsPerPage).AddRecord(FWorkBuffer, id);
        FPageIndex.AddRecords(SessionID, id.PageNo, 1);
    }
    ++RecordCount;
    CountChange();
    RecordID = id;
    return true;
}

void TORQDiskRecordManager::AppendRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) {
    ToStored(Record);
    TORQPage* page = nullptr;
    if (FAppendPage != -1 && FAppendCount < FRecordsPerPage) {
        page = FPageManager.GetPage(SessionID, FAppendPage, true, ptTableRecord);
    } else {
        EndAppend(SessionID);
        page = FPageManager.AddNewPage(SessionID, ptTableRecord);
        StoreLE32(page->GetBuffer() + TORQSmallRecordPage::OwnerTableOffset, static_cast<uint32_t>(FTableID));
        FAppendPage = page->PageNo;
        FAppendCount = 0;
        FAppendListed = 0;
    }
    TPageUse use(FPageManager, page);
    // The page is this fill's own: its slots below the count are used, the rest free.
    const int32_t slot = FAppendCount;
    page->GetData()[slot / 8] |= static_cast<uint8_t>(1u << (slot % 8));
    const int32_t bitmap = TORQSmallRecordPage(page, FStoredRecordSize, FRecordsPerPage).BitmapSize();
    std::memcpy(page->GetData() + bitmap + static_cast<size_t>(slot) * static_cast<size_t>(FStoredRecordSize),
                FWorkBuffer, static_cast<size_t>(FStoredRecordSize));
    page->Modified = 1;
    ++FAppendCount;
    ++RecordCount;
    CountChange();
    RecordID = TORQRecordID{FAppendPage, static_cast<uint16_t>(slot)};
}

void TORQDiskRecordManager::EndAppend(int32_t SessionID) {
    if (FAppendPage == -1 || FAppendCount == FAppendListed) return;
    FPageIndex.AddRecords(SessionID, FAppendPage, FAppendCount - FAppendListed);
    FAppendListed = FAppendCount;
}

void TORQDiskRecordManager::CancelAppend() {
    FAppendPage = -1;
    FAppendCount = 0;
    FAppendListed = 0;
}

bool TORQDiskRecordManager::UpdateRecord(int32_t SessionID, const uint8_t* Record, const TORQRecordID& RecordID) {
    ToStored(Record);
    TPageUse use(FPageManager, FPageManager.GetPage(SessionID, RecordID.PageNo, true, ptTableRecord));
    if (!PageBelongsToTable(*use.Page())) return false;
    if (!TORQSmallRecordPage(use.Page(), FStoredRecordSize, FRecordsPerPage).UpdateRecord(FWorkBuffer, RecordID))
        return false;
    CountChange();
    return true;
}

bool TORQDiskRecordManager::DeleteRecord(int32_t SessionID, TORQRecordID& RecordID) {
    CheckLayoutSet();
    int64_t left = 0;
    {
        TPageUse use(FPageManager, FPageManager.GetPage(SessionID, RecordID.PageNo, true, ptTableRecord));
        if (!PageBelongsToTable(*use.Page())) return false;
        TORQSmallRecordPage view(use.Page(), FStoredRecordSize, FRecordsPerPage);
        if (!view.DeleteRecord(RecordID)) return false;
        left = view.GetRecordCount();
        FPageIndex.SetRecordCount(SessionID, RecordID.PageNo, static_cast<int32_t>(left));
    }
    if (left == 0) FPageManager.FreePageForSession(SessionID, RecordID.PageNo);
    --RecordCount;
    CountChange();
    return true;
}

void TORQDiskRecordManager::ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) {
    CheckLayoutSet();
    if (RecordCount == 0) {
        Request.Result = grEOF;
        return;
    }
    const uint8_t mode = Request.Mode;
    const TORQRecordID current = Request.RecordID;
    uint8_t* record = Request.RecordBuffer;
    TORQRecordID found;
    bool have = false;
    if (Request.AtBeginning || Request.AtEnd) {
        const bool beginning = Request.AtBeginning != 0;
        // From the beginning only next reads, from the end only prior.
        if (mode != (beginning ? gmNext : gmPrior)) {
            Request.Result = mode == gmCurrent ? grError : beginning ? grBOF : grEOF;
            return;
        }
        int32_t pageNo = -1;
        if (!(beginning ? FPageIndex.FirstPage(SessionID, pageNo) : FPageIndex.LastPage(SessionID, pageNo))) {
            Request.Result = beginning ? grEOF : grBOF;
            return;
        }
        have = EdgeRecordOf(SessionID, pageNo, !beginning, found, record, beginning ? 20146 : 20148);
        // Pages whose every record was skipped.
        for (int32_t from = pageNo, neighbour = -1;
             !have && (beginning ? IndexPageAfter(SessionID, from, neighbour) : IndexPageBefore(SessionID, from, neighbour));
             from = neighbour)
            have = EdgeRecordOf(SessionID, neighbour, !beginning, found, record, beginning ? 20146 : 20148);
        if (!have) Request.Result = beginning ? grEOF : grBOF;
    } else if (mode == gmNext || mode == gmPrior) {
        const bool forward = mode == gmNext;
        Request.Result = forward ? grEOF : grBOF;
        {
            TORQPage* page = TryGetPage(SessionID, current.PageNo);
            TPageUse use(FPageManager, page);
            // A page that left the table holds none of its records: the step goes on from its
            // number, so a row is neither skipped nor met twice while others delete.
            if (page != nullptr && PageBelongsToTable(*page)) {
                TORQSmallRecordPage view(page, FStoredRecordSize, FRecordsPerPage);
                found = current;
                have = forward ? view.GetNextRecord(found) : view.GetPriorRecord(found);
                if (have) have = DeliverOrSkip(view, found, record, forward ? 20145 : 20147, forward);
            }
        }
        for (int32_t from = current.PageNo, neighbour = -1;
             !have && (forward ? IndexPageAfter(SessionID, from, neighbour) : IndexPageBefore(SessionID, from, neighbour));
             from = neighbour)
            have = EdgeRecordOf(SessionID, neighbour, !forward, found, record, forward ? 20146 : 20148);
    } else {
        Request.Result = grError;
        if (mode != gmCurrent) return;
        TORQPage* page = TryGetPage(SessionID, current.PageNo);
        TPageUse use(FPageManager, page);
        if (page == nullptr || !PageBelongsToTable(*page)) return;
        TORQSmallRecordPage view(page, FStoredRecordSize, FRecordsPerPage);
        if (!view.IsSlotUsed(current.SlotNo)) return;
        found = current;
        have = true;
        DeliverRecord(view, found, record, 20145);
    }
    if (!have) return;
    Request.RecordID = found;
    Request.AtBeginning = 0;
    Request.AtEnd = 0;
    Request.Result = grOK;
}

int32_t TORQDiskRecordManager::CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) {
    return CompareRecordIDs(A, B);
}

int64_t TORQDiskRecordManager::EstimateRecordsBefore(int32_t, const TORQRecordID&) { return RecordCount / 2; }

}  // namespace orq
