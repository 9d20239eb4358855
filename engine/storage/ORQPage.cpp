#include "engine/storage/ORQPage.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

void PutI32(uint8_t* P, int32_t V) {
    const auto u = static_cast<uint32_t>(V);
    for (int k = 0; k < 4; ++k) P[k] = static_cast<uint8_t>(u >> (8 * k));
}
int32_t GetI32(const uint8_t* P) {
    uint32_t u = 0;
    for (int k = 0; k < 4; ++k) u |= static_cast<uint32_t>(P[k]) << (8 * k);
    return static_cast<int32_t>(u);
}

// A commit or rollback of many pages gives the memory they held back to the system when
// it ends (on every path), not only to the C library.
class TLargeRelease {
public:
    explicit TLargeRelease(int32_t Pages) : FLarge(Pages >= 4096) {}
    ~TLargeRelease() {
        if (FLarge) TORQMemoryManager::ReturnFreeMemory();
    }
    TLargeRelease(const TLargeRelease&) = delete;
    TLargeRelease& operator=(const TLargeRelease&) = delete;

private:
    bool FLarge;
};

int32_t RandomChangeStamp() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int32_t>(0, 0x3FFFFFFE)(generator);
}

}  // namespace

// ---------------------------------------------------------------------------------
// TORQPage

TORQPage::TORQPage(TORQPageManager* Manager) : PageManager(Manager) {}

TORQPage::~TORQPage() {
    try {
        FreeBuffer();
    } catch (...) {
        // An overrun found while freeing: the block is released all the same, and a
        // destructor has no caller to tell.
    }
}

void TORQPage::InitHeader() {
    const uint16_t header = GetHeaderSize();
    if (Buffer == nullptr || header < 32) return;
    std::memcpy(Buffer, "ORQP", 4);
    PutI32(Buffer + 4, 0);
    Buffer[8] = Buffer[9] = 0;
    PutI32(Buffer + 10, -1);
    PutI32(Buffer + 14, 0);
    PutI32(Buffer + 18, 0);
    PutI32(Buffer + 22, -1);
    PutI32(Buffer + 26, -1);
    Buffer[30] = Buffer[31] = 0;
}

void TORQPage::AllocBuffer() {
    FreeBuffer();
    Buffer = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(GetPageSize()));
    OwnsBuffer = 1;
    InitHeader();
}

void TORQPage::FreeBuffer() {
    if (Buffer == nullptr) return;
    if (OwnsBuffer != 0) GlobalMemoryManager().FreeAndNillMem(Buffer);
    Buffer = nullptr;
}

void TORQPage::Resize(int32_t NewSize) {
    if (Buffer == nullptr) RaiseNative(20038, "Invalid page buffer. Buffer is Nil");
    if (NewSize < GetPageSize()) RaiseNative(20039, "Invalid page modification");
    if (OwnsBuffer != 0) {
        GlobalMemoryManager().ReallocMemZeroed(Buffer, NewSize);
        return;
    }
    auto* copy = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(NewSize));
    std::memcpy(copy, Buffer, GetPageSize());
    Buffer = copy;
    OwnsBuffer = 1;
}

void TORQPage::Refresh() {
    if (PageManager->SharedAccess == 0) return;
    int32_t stored = 0;
    if (!PageManager->ReadStoredChangeStamp(*this, stored)) return;
    if (stored == INT32_MAX || stored == GetChangeStamp()) {
        SetChangeStamp(stored);
        return;
    }
    if (!PageManager->ReadPage(this)) RaiseNativeFmt(20154, "Cannot read page %d", {PageNo});
}

void TORQPage::Discard() {
    if (FDiscarded != 0 || Buffer == nullptr || OwnsBuffer == 0) return;
    FKeptHeader.assign(Buffer, Buffer + GetHeaderSize());
    FreeBuffer();
    FDiscarded = 1;
}

void TORQPage::Restore() {
    if (FDiscarded == 0) return;
    AllocBuffer();
    std::copy(FKeptHeader.begin(), FKeptHeader.end(), Buffer);
    std::vector<uint8_t>().swap(FKeptHeader);
    FDiscarded = 0;
}

uint16_t TORQPage::GetPageType() const {
    if (Buffer == nullptr || GetHeaderSize() < 32) return 0;
    return static_cast<uint16_t>(Buffer[PageHeaderTypeOffset] | Buffer[PageHeaderTypeOffset + 1] << 8);
}

void TORQPage::SetPageType(uint16_t Type) {
    if (Buffer == nullptr || GetHeaderSize() < 32) return;
    Buffer[PageHeaderTypeOffset] = static_cast<uint8_t>(Type);
    Buffer[PageHeaderTypeOffset + 1] = static_cast<uint8_t>(Type >> 8);
}

int32_t TORQPage::GetChangeStamp() const {
    if (Buffer == nullptr || GetHeaderSize() < 32) return 0;
    return GetI32(Buffer + PageHeaderChangeStampOffset);
}

void TORQPage::SetChangeStamp(int32_t Stamp) {
    if (Buffer == nullptr || GetHeaderSize() < 32) return;
    PutI32(Buffer + PageHeaderChangeStampOffset, Stamp);
}

bool TORQPage::GetSessionStamp(int32_t ID, int32_t& Stamp) const {
    const int64_t i = int64_t{ID} + 2;
    if (i < 0 || i >= static_cast<int64_t>(SessionStamps.size())) return false;
    const TORQSessionStamp& s = SessionStamps[static_cast<std::size_t>(i)];
    if (s.Present == 0) return false;
    Stamp = s.Stamp;
    return true;
}

void TORQPage::SetSessionStamp(int32_t ID, int32_t Stamp) {
    const int64_t i = int64_t{ID} + 2;
    if (i < 0) return;  // no session has an id below -2
    if (i >= static_cast<int64_t>(SessionStamps.size())) SessionStamps.resize(static_cast<std::size_t>(i) + 1);
    SessionStamps[static_cast<std::size_t>(i)] = {Stamp, 1, -1};
}

bool TORQPage::GetSessionStamp(int32_t ID, int32_t& Table, int32_t& Stamp) const {
    if (!GetSessionStamp(ID, Stamp)) return false;
    Table = SessionStamps[static_cast<std::size_t>(int64_t{ID} + 2)].Table;
    return true;
}

void TORQPage::SetSessionStamp(int32_t ID, int32_t Table, int32_t Stamp) {
    SetSessionStamp(ID, Stamp);
    const int64_t i = int64_t{ID} + 2;
    if (i >= 0) SessionStamps[static_cast<std::size_t>(i)].Table = Table;
}

void TORQPage::ClearSessionStamp(int32_t ID) {
    const int64_t i = int64_t{ID} + 2;
    if (i >= 0 && i < static_cast<int64_t>(SessionStamps.size())) SessionStamps[static_cast<std::size_t>(i)] = {};
}

// ---------------------------------------------------------------------------------
// TORQSortedPageList

TORQSortedPageList::TORQSortedPageList(int32_t InitialCount) { SetCount(InitialCount); }

void TORQSortedPageList::SetLength(int32_t Length) {
    FKeys.resize(static_cast<std::size_t>(Length));
    FEntries.resize(static_cast<std::size_t>(Length));
    FCapacity = Length;
}

void TORQSortedPageList::SetCount(int32_t NewCount) {
    if (NewCount <= 0) {
        FKeys.clear();
        FEntries.clear();
        FCapacity = 0;
        FCount = 0;
        return;
    }
    if (NewCount > FCapacity) {
        FGrowStep = std::min(FGrowStep * 2, FMaxStep);
        SetLength(NewCount < FCapacity + FGrowStep ? FCapacity + FGrowStep : NewCount);
    } else if (NewCount < FCount && FShrinkStep < FCapacity - NewCount) {
        FShrinkStep = std::min(FShrinkStep * 2, FMaxStep);
        SetLength(NewCount);
    }
    FCount = NewCount;
}

int32_t TORQSortedPageList::Find(int32_t PageNo) const {
    return static_cast<int32_t>(std::lower_bound(FKeys.begin(), FKeys.begin() + FCount, PageNo) - FKeys.begin());
}

int32_t TORQSortedPageList::IndexOf(int32_t PageNo) const {
    const int32_t i = Find(PageNo);
    return i < FCount && FKeys[static_cast<std::size_t>(i)] == PageNo ? i : -1;
}

TORQPage* TORQSortedPageList::GetPage(int32_t PageNo) const {
    const int32_t i = IndexOf(PageNo);
    return i < 0 ? nullptr : FEntries[static_cast<std::size_t>(i)].Page;
}

void TORQSortedPageList::Add(TORQPage* Page) {
    ++FStampCounter;
    int32_t at;
    if (FCount == 0) at = 0;
    else if (FCount == 1) at = Page->PageNo >= FKeys[0] ? 1 : 0;
    else at = Find(Page->PageNo);
    const int32_t old = FCount;
    SetCount(FCount + 1);
    for (int32_t i = old; i > at; --i) {
        FKeys[static_cast<std::size_t>(i)] = FKeys[static_cast<std::size_t>(i - 1)];
        FEntries[static_cast<std::size_t>(i)] = FEntries[static_cast<std::size_t>(i - 1)];
    }
    FKeys[static_cast<std::size_t>(at)] = Page->PageNo;
    FEntries[static_cast<std::size_t>(at)] = {Page, FStampCounter};
}

void TORQSortedPageList::Touch(TORQPage* Page) {
    const int32_t i = IndexOf(Page->PageNo);
    if (i < 0 || FEntries[static_cast<std::size_t>(i)].Page != Page) RaiseNative(20167, "Page not found");
    FEntries[static_cast<std::size_t>(i)].Stamp = ++FStampCounter;
}

void TORQSortedPageList::Delete(int32_t PageNo) {
    if (FCount == 0) RaiseNative(20165, "TSortedPageList.Delete - no elements in array!");
    // Even a one-element list removes only the number asked for: removing another page
    // would leave it listed nowhere while its owner still counts on the list.
    const int32_t i = IndexOf(PageNo);
    if (i < 0)
        RaiseNativeFmt(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                       {PageNo, FCount});
    for (int32_t k = i; k < FCount - 1; ++k) {
        FKeys[static_cast<std::size_t>(k)] = FKeys[static_cast<std::size_t>(k + 1)];
        FEntries[static_cast<std::size_t>(k)] = FEntries[static_cast<std::size_t>(k + 1)];
    }
    SetCount(FCount - 1);
}

void TORQSortedPageList::DeleteFirst(int32_t N) {
    N = std::clamp(N, 0, FCount);
    if (N == 0) return;
    std::copy(FKeys.begin() + N, FKeys.begin() + FCount, FKeys.begin());
    std::copy(FEntries.begin() + N, FEntries.begin() + FCount, FEntries.begin());
    SetCount(FCount - N);
}

std::vector<TORQPage*> TORQSortedPageList::Extract(const std::unordered_set<int32_t>& PageNos) {
    std::vector<TORQPage*> taken;
    if (PageNos.empty()) return taken;
    int32_t kept = 0;
    for (int32_t i = 0; i < FCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (PageNos.contains(FKeys[at])) {
            taken.push_back(FEntries[at].Page);
            continue;
        }
        if (kept != i) {
            FKeys[static_cast<std::size_t>(kept)] = FKeys[at];
            FEntries[static_cast<std::size_t>(kept)] = FEntries[at];
        }
        ++kept;
    }
    SetCount(kept);
    return taken;
}

TORQPage* TORQSortedPageList::FindOldest() {
    if (FCount == 0) return nullptr;
    int32_t best = 0;
    for (int32_t i = 1; i < FCount; ++i)
        if (FEntries[static_cast<std::size_t>(i)].Stamp < FEntries[static_cast<std::size_t>(best)].Stamp) best = i;
    FOldestStamp = FEntries[static_cast<std::size_t>(best)].Stamp;
    return FEntries[static_cast<std::size_t>(best)].Page;
}

TORQPage* TORQSortedPageList::FindOlder() {
    for (int32_t i = 0; i < FCount; ++i) {
        if (FEntries[static_cast<std::size_t>(i)].Stamp < FOldestStamp) {
            FOldestStamp = FEntries[static_cast<std::size_t>(i)].Stamp;
            return FEntries[static_cast<std::size_t>(i)].Page;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------
// TORQSharedPageList

int32_t TORQSharedPageList::IndexOf(int32_t PageNo) const {
    const TORQPage* page = GetPage(PageNo);
    return page == nullptr ? -1 : page->FSharedSlot;
}

TORQPage* TORQSharedPageList::GetPage(int32_t PageNo) const {
    const auto it = FByNumber.find(PageNo);
    return it == FByNumber.end() ? nullptr : it->second;
}

void TORQSharedPageList::LinkNewest(TORQPage* Page) {
    Page->FOlder = FNewest;
    Page->FNewer = nullptr;
    if (FNewest != nullptr) FNewest->FNewer = Page;
    else FOldest = Page;
    FNewest = Page;
}

void TORQSharedPageList::Unlink(TORQPage* Page) {
    (Page->FOlder != nullptr ? Page->FOlder->FNewer : FOldest) = Page->FNewer;
    (Page->FNewer != nullptr ? Page->FNewer->FOlder : FNewest) = Page->FOlder;
    Page->FOlder = Page->FNewer = nullptr;
}

void TORQSharedPageList::Add(TORQPage* Page) {
    FByNumber.emplace(Page->PageNo, Page);
    Page->FSharedSlot = Count();
    FItems.push_back(Page);
    LinkNewest(Page);
}

void TORQSharedPageList::Touch(TORQPage* Page) {
    const int32_t slot = Page->FSharedSlot;
    if (slot < 0 || slot >= Count() || FItems[static_cast<std::size_t>(slot)] != Page)
        RaiseNative(20167, "Page not found");
    if (FNewest == Page) return;
    Unlink(Page);
    LinkNewest(Page);
}

void TORQSharedPageList::Delete(int32_t PageNo) {
    if (FItems.empty()) RaiseNative(20165, "TSortedPageList.Delete - no elements in array!");
    const auto it = FByNumber.find(PageNo);
    if (it == FByNumber.end())
        RaiseNativeFmt(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                       {PageNo, Count()});
    TORQPage* page = it->second;
    FByNumber.erase(it);
    Unlink(page);
    // The last item takes the freed slot.
    TORQPage* last = FItems.back();
    FItems[static_cast<std::size_t>(page->FSharedSlot)] = last;
    last->FSharedSlot = page->FSharedSlot;
    FItems.pop_back();
    page->FSharedSlot = -1;
}

void TORQSharedPageList::Clear() {
    for (TORQPage* page : FItems) {
        page->FSharedSlot = -1;
        page->FOlder = page->FNewer = nullptr;
    }
    FItems.clear();
    FByNumber.clear();
    FOldest = FNewest = nullptr;
}

// ---------------------------------------------------------------------------------
// TORQPageManager

TORQPageManager::TORQPageManager(int64_t AvailableMemory)
    : FCapacity(static_cast<int32_t>(std::clamp<int64_t>(AvailableMemory / 65536, 0, MaxCachePages))) {}

TORQPageManager::~TORQPageManager() { FreeAll(); }

void TORQPageManager::Close() {
    if (HasUncommittedPages()) RaiseNative(20097, "Cannot free non-commited pages");
    FreeAll();
}

bool TORQPageManager::HasUncommittedPages() const {
    for (const auto& s : FSessions)
        if (s->PrivateList.Count() > 0) return true;
    return false;
}

void TORQPageManager::FreeAll() {
    ++FDiscardGeneration;
    for (const auto& s : FSessions)
        for (int32_t i = 0; i < s->PrivateList.Count(); ++i) delete s->PrivateList.Items(i);
    FSessions.clear();
    std::vector<TORQPage*> shared;
    for (int32_t i = 0; i < FSharedList.Count(); ++i) shared.push_back(FSharedList.Items(i));
    FSharedList.Clear();
    for (TORQPage* page : shared) delete page;
}

bool TORQPageManager::IsPageCurrent(int32_t, TORQPage*) { return false; }
void TORQPageManager::PageLoaded(int32_t, TORQPage*) {}
void TORQPageManager::LoadFromStream(TORQStream&) {}
void TORQPageManager::SaveToStream(TORQStream&) {}
bool TORQPageManager::ReadStoredChangeStamp(TORQPage&, int32_t&) { return false; }

TORQPageManager::TSessionPages* TORQPageManager::FindSession(int32_t SessionID) {
    for (const auto& s : FSessions)
        if (s->SessionID == SessionID) return s.get();
    return nullptr;
}

TORQPageManager::TSessionPages& TORQPageManager::SessionEntry(int32_t SessionID) {
    if (TSessionPages* s = FindSession(SessionID)) return *s;
    FSessions.push_back(std::make_unique<TSessionPages>(SessionID));
    return *FSessions.back();
}

TORQSortedPageList* TORQPageManager::PrivateList(int32_t SessionID) {
    TSessionPages* s = FindSession(SessionID);
    return s == nullptr ? nullptr : &s->PrivateList;
}

void TORQPageManager::FreePageForSession(int32_t SessionID, int32_t PageNo) {
    TSessionPages& session = SessionEntry(SessionID);
    session.NoteFreed(PageNo);
    if (TORQPage* page = session.PrivateList.GetPage(PageNo)) DiscardIfFreed(session, *page);
}

void TORQPageManager::DiscardIfFreed(TSessionPages& Session, TORQPage& Page) {
    // A big delete frees most pages it changes: holding them whole until the commit
    // would hold the deleted data in memory.
    if (Page.UseCount == 0 && Page.Modified != 0 && !Session.FreedSet.empty() && Session.IsFreed(Page.PageNo) &&
        MayDiscardFreedPage(Page))
        Page.Discard();
}

void TORQPageManager::LeaveTaken(const TORQPage& Page) {
    if (TSessionPages* s = FindSession(Page.SessionID); s != nullptr && s->TakenShared > 0) --s->TakenShared;
}

void TORQPageManager::DropSharedPage(int32_t PageNo) {
    TORQPage* page = FSharedList.GetPage(PageNo);
    if (page == nullptr) return;
    FSharedList.Delete(PageNo);
    if (page->UseCount == 0) {
        delete page;
    } else {
        LeaveTaken(*page);
        page->List = nullptr;  // its last ReleasePage frees it
    }
}

TORQPage* TORQPageManager::GetPage(int32_t SessionID, int32_t PageNo, bool Validate, uint16_t ExpectedType) {
    if (SessionID == -1) RaiseNative(20186, "Invalid Session ID");
    TSessionPages& session = SessionEntry(SessionID);
    auto checkType = [&](const TORQPage& page) {
        if (HeaderSize == 0 || ExpectedType == AnyPageType || page.GetPageType() == ExpectedType) return true;
        return false;
    };
    auto raiseType = [&](uint16_t found) {
        RaiseNativeFmt(20153, "Invalid page type. Possible data corruption. Expecting type %d, but found %d",
                       {ExpectedType, found});
    };
    TORQPage* page = session.PrivateList.GetPage(PageNo);
    if (page != nullptr && page->Discarded()) page->Restore();
    if (page == nullptr) {
        page = FSharedList.GetPage(PageNo);
        if (page != nullptr) {
            if (Validate && !IsPageCurrent(SessionID, page)) {
                page->Refresh();
                PageLoaded(SessionID, page);
            }
            if (!checkType(*page)) raiseType(page->GetPageType());
            page->List = &FSharedList;
        } else {
            // Listed only once it was read and checked, so a page that fails is never served.
            auto fresh = std::make_unique<TORQPage>(this);
            fresh->PageNo = PageNo;
            fresh->SessionID = SessionID;
            if (!ReadPage(fresh.get())) RaiseNativeFmt(20154, "Cannot read page %d", {PageNo});
            if (!checkType(*fresh)) raiseType(fresh->GetPageType());
            page = fresh.release();
            page->List = &FSharedList;
            FSharedList.Add(page);
            PageLoaded(SessionID, page);
        }
    }
    if (page->UseCount > 0 && page->SessionID != SessionID) RaiseNative(20090, "Page is used by other session");
    page->SessionID = SessionID;
    if (++page->UseCount == 1 && page->List == &FSharedList) ++session.TakenShared;
    return page;
}

bool TORQPageManager::HasTakenSharedPage(int32_t SessionID) const {
    for (const auto& s : FSessions)
        if (s->SessionID == SessionID) return s->TakenShared > 0;
    return false;
}

TORQPage* TORQPageManager::AddNewPage(int32_t SessionID, uint16_t PageType) {
    TSessionPages& session = SessionEntry(SessionID);
    auto fresh = std::make_unique<TORQPage>(this);
    AllocatePage(fresh.get());
    if (fresh->PageNo == -1) {
        RaiseNative(20064, "Invalid page number");
    }
    TORQPage* page = fresh.get();
    page->UseCount = 1;
    page->Modified = 1;
    page->ReadFlag = 0;
    if (HeaderSize > 0) {
        page->SetPageType(PageType);
        page->SetChangeStamp(RandomChangeStamp());
    }
    page->SessionID = SessionID;
    page->List = &session.PrivateList;
    DropSharedPage(page->PageNo);
    session.PrivateList.Add(fresh.release());
    session.AllocatedPages.Append(page->PageNo);
    return page;
}

void TORQPageManager::ReleasePage(TORQPage* Page) {
    if (Page == nullptr) return;
    const bool taken = Page->UseCount > 0;
    if (Page->UseCount > 0) --Page->UseCount;
    if (Page->UseCount > 0) return;
    Page->ReadFlag = 0;
    if (Page->List == &FSharedList) {
        if (taken) LeaveTaken(*Page);
        if (Page->Modified != 0) {
            FSharedList.Delete(Page->PageNo);
            TSessionPages& session = SessionEntry(Page->SessionID);
            Page->List = &session.PrivateList;
            session.PrivateList.Add(Page);
            DiscardIfFreed(session, *Page);
        } else {
            FSharedList.Touch(Page);
        }
    } else if (Page->List == nullptr) {
        // Detached from the shared list while taken: a change joins the session's own
        // pages; an unchanged copy is stale and goes.
        if (Page->Modified != 0) {
            TSessionPages& session = SessionEntry(Page->SessionID);
            Page->List = &session.PrivateList;
            session.PrivateList.Add(Page);
            DiscardIfFreed(session, *Page);
        } else {
            delete Page;
        }
    } else if (TSessionPages* session = FindSession(Page->SessionID);
               session != nullptr && Page->List == &session->PrivateList) {
        DiscardIfFreed(*session, *Page);
    }
    if (FSharedList.Count() > FCapacity) Evict();
}

void TORQPageManager::Evict() {
    // Least recently used first; pages in use stay, so the list may stay above capacity
    // until a later release.
    TORQPage* page = FSharedList.Oldest();
    while (FSharedList.Count() > FCapacity && page != nullptr) {
        TORQPage* newer = TORQSharedPageList::Newer(page);
        if (page->UseCount == 0) {
            FSharedList.Delete(page->PageNo);
            delete page;
        }
        page = newer;
    }
}

void TORQPageManager::FreePages(const std::vector<int32_t>& PageNos) {
    for (const int32_t number : PageNos) FreePage(number);
}

void TORQPageManager::CommitSession(int32_t SessionID) {
    if (HasTakenSharedPage(SessionID)) RaiseNative(20152, "Some session pages not released");
    TSessionPages* session = FindSession(SessionID);
    if (session == nullptr) return;
    TORQSortedPageList& own = session->PrivateList;
    const TLargeRelease release(own.Count() + session->FreedPages.Count());
    // Check every page before anything changes.
    for (int32_t i = 0; i < own.Count(); ++i) {
        const TORQPage* page = own.Items(i);
        const bool freed = session->IsFreed(page->PageNo);
        if (!freed && page->Modified == 0) RaiseNative(20085, "Invalid page");
        if (page->UseCount > 0) RaiseNative(20086, "Cannot write used page");
    }
    std::vector<int32_t> freed(static_cast<size_t>(session->FreedPages.Count()));
    for (int32_t i = 0; i < session->FreedPages.Count(); ++i) freed[static_cast<size_t>(i)] = session->FreedPages[i];
    FreePages(freed);
    // The freed pages leave the private list in one pass: never written, never cached.
    for (TORQPage* page : own.Extract(session->FreedSet)) delete page;
    for (const int32_t number : freed) DropSharedPage(number);
    session->ForgetFreed();
    session->AllocatedPages.SetSize(0);
    // Written in page order; the pages written leave the private list in one move at the
    // end, or when a write fails, so that the list keeps exactly the pages not written.
    int32_t written = 0;
    try {
        for (; written < own.Count(); ++written) {
            TORQPage* page = own.Items(written);
            WritePage(page);
            page->Modified = 0;
            // One shared entry per number: a copy another session read meanwhile is stale now.
            DropSharedPage(page->PageNo);
            if (FSharedList.Count() < FCapacity) {
                page->List = &FSharedList;
                FSharedList.Add(page);
            } else {
                delete page;
            }
        }
    } catch (...) {
        own.DeleteFirst(written);
        throw;
    }
    own.Clear();
}

void TORQPageManager::RollbackSession(int32_t SessionID) {
    TSessionPages* session = FindSession(SessionID);
    if (session == nullptr) return;
    ++FDiscardGeneration;
    TORQSortedPageList& own = session->PrivateList;
    const TLargeRelease release(own.Count() + session->FreedPages.Count());
    for (int32_t i = 0; i < own.Count(); ++i) {
        const TORQPage* page = own.Items(i);
        if (page->Modified == 0) RaiseNative(20087, "Invalid index page");
        if (page->UseCount > 0) RaiseNative(20088, "Cannot remove used page");
    }
    for (int32_t i = 0; i < own.Count(); ++i) delete own.Items(i);
    own.Clear();
    // Each page leaves the list once its free held: a rollback cut short by a failing free
    // is finished by the next one instead of freeing the same pages twice.
    for (int32_t n = session->AllocatedPages.Count(); n > 0; --n) {
        FreePage(session->AllocatedPages[n - 1]);
        session->AllocatedPages.SetSize(n - 1);
    }
    session->ForgetFreed();
    session->AllocatedPages.SetSize(0);
}

void TORQPageManager::DiscardSharedPages() {
    ++FDiscardGeneration;
    std::vector<int32_t> numbers;
    numbers.reserve(static_cast<size_t>(FSharedList.Count()));
    for (TORQPage* page = FSharedList.Oldest(); page != nullptr; page = TORQSharedPageList::Newer(page))
        numbers.push_back(page->PageNo);
    for (const int32_t number : numbers) DropSharedPage(number);
}

}  // namespace orq
