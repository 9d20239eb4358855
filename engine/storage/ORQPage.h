// Pages and the page manager every storage engine shares: TORQPage (one page in memory),
// TORQSortedPageList (pages by number, with recency stamps: a session's private pages),
// TORQSharedPageList (the clean pages by number, in recency order), TORQPageController
// (the base of typed views over a page) and TORQPageManager, the page cache. The engines supply the
// storage behind it through AllocatePage, FreePage, ReadPage and WritePage.
//
// Rules kept here:
// - A page object is held by exactly one list: the shared list (clean pages every session
//   may read), one session's private list (pages it created or changed; no other session
//   sees them until CommitSession writes them), or by none while it waits to be freed.
// - The shared list holds at most one page per number. A page that leaves it while taken
//   (a committed copy replaces it, a new page takes its number) is detached and freed
//   when its last user releases it; a modified detached page joins its session's list.
// - Every take (GetPage, AddNewPage) is matched by one ReleasePage. A page taken by one
//   session cannot be taken by another until released (20090). Pages in use are never
//   evicted, written by a commit (20086) or dropped by a rollback (20088).
// - GetPage lists a page only after it was read and its type checked; a page that fails
//   either is freed before the error leaves.
// - Commit and rollback check their pages before they change anything; a failed write
//   leaves the pages not yet written in the private list.
// - A private page its session freed is never written. Once nobody holds it, it keeps
//   only its header where the storage says its kind reads the same emptied
//   (MayDiscardFreedPage); taken again, it comes back with a zero data area.
// - The shared list keeps at most Capacity() pages once released pages are evicted:
//   min(available memory / 65536, MaxCachePages), the figure given at construction. A
//   look-up, a release and an eviction take constant time: the least recently released
//   unused page leaves first.
// - Destructors never throw: Close() makes the check for uncommitted pages (20097).
//
// The generic page header (only when the header size is above 0): "ORQP", change stamp
// i32, page type u16, -1 i32, checksum i32, four zero bytes (byte 20 the cipher id),
// owner table id -1 i32, -1 i32, 0 u16; bytes 32 to the header's end stay zero.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

class TORQPageManager;
class TORQStream;

// GetPage's expected type that accepts every page type.
inline constexpr uint16_t AnyPageType = 255;

// Offsets in the generic page header.
inline constexpr int32_t PageHeaderChangeStampOffset = 4;
inline constexpr int32_t PageHeaderTypeOffset = 8;

struct TORQSessionStamp {
    int32_t Stamp = 0;
    uint8_t Present = 0;
    // The table whose counter the stamp is (disk engine); -1 for a plain stamp.
    int32_t Table = -1;
};

class TORQPage {
public:
    explicit TORQPage(TORQPageManager* PageManager);
    ~TORQPage();
    TORQPage(const TORQPage&) = delete;
    TORQPage& operator=(const TORQPage&) = delete;

    uint8_t* GetBuffer() const { return Buffer; }
    uint16_t GetHeaderSize() const;
    uint16_t GetPageSize() const;
    uint8_t* GetData() const { return Buffer + GetHeaderSize(); }
    int32_t GetDataSize() const { return GetPageSize() - GetHeaderSize(); }

    // Writes the generic header into the buffer (nothing for a headerless engine).
    void InitHeader();
    // A zeroed buffer of the page size, owned, with the generic header.
    void AllocBuffer();
    void FreeBuffer();
    // Grows the buffer to NewSize (20038 without one, 20039 below the page size); a
    // foreign buffer is replaced by an owned copy.
    void Resize(int32_t NewSize);
    // With shared access, re-reads the page unless the stored change stamp shows it current.
    void Refresh();
    // A page its session freed is never written: Discard gives its buffer back and keeps
    // only the header; Restore makes it whole again, with that header and a zero data
    // area (what an emptied record or BLOB page reads as).
    void Discard();
    void Restore();
    bool Discarded() const { return FDiscarded != 0; }

    // The header's page type word and change stamp; 0 for a headerless page.
    uint16_t GetPageType() const;
    void SetPageType(uint16_t Type);
    int32_t GetChangeStamp() const;
    void SetChangeStamp(int32_t Stamp);

    // False when the session has no present entry.
    bool GetSessionStamp(int32_t SessionID, int32_t& Stamp) const;
    void SetSessionStamp(int32_t SessionID, int32_t Stamp);
    // A stamp kept with the table it was taken from: a counter means nothing without it.
    bool GetSessionStamp(int32_t SessionID, int32_t& Table, int32_t& Stamp) const;
    void SetSessionStamp(int32_t SessionID, int32_t Table, int32_t Stamp);
    void ClearSessionStamp(int32_t SessionID);

    TORQPageManager* PageManager;
    int32_t PageNo = -1;
    uint8_t* Buffer = nullptr;
    uint8_t OwnsBuffer = 1;
    uint8_t Modified = 0;
    int32_t UseCount = 0;
    // The list holding the page (a session's TORQSortedPageList or the shared list); nil
    // while detached.
    const void* List = nullptr;
    int32_t SessionID = -1;
    uint8_t ReadFlag = 0;
    uint8_t CipherFlag = 1;
    std::vector<TORQSessionStamp> SessionStamps;  // indexed by session id + 2

private:
    friend class TORQSharedPageList;
    uint8_t FDiscarded = 0;
    std::vector<uint8_t> FKeptHeader;
    // The shared list's place of the page: its slot and its neighbours in recency order.
    int32_t FSharedSlot = -1;
    TORQPage* FOlder = nullptr;
    TORQPage* FNewer = nullptr;
};

// Pages ordered by number, each with the stamp of its last Add or Touch. The list never
// frees its pages.
class TORQSortedPageList {
public:
    explicit TORQSortedPageList(int32_t InitialCount = 0);
    TORQSortedPageList(const TORQSortedPageList&) = delete;
    TORQSortedPageList& operator=(const TORQSortedPageList&) = delete;

    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return FCapacity; }
    TORQPage* Items(int32_t Index) const { return FEntries.at(static_cast<std::size_t>(Index)).Page; }
    int64_t Stamps(int32_t Index) const { return FEntries.at(static_cast<std::size_t>(Index)).Stamp; }

    // Index of PageNo, or where it would be inserted (Count when above all).
    int32_t Find(int32_t PageNo) const;
    int32_t IndexOf(int32_t PageNo) const;
    TORQPage* GetPage(int32_t PageNo) const;
    void Add(TORQPage* Page);
    // A new stamp; 20167 for a page not in the list.
    void Touch(TORQPage* Page);
    // Removes the entry of PageNo: 20165 when empty, 20166 when absent.
    void Delete(int32_t PageNo);
    // Removes the first N entries (at most Count) in one move.
    void DeleteFirst(int32_t N);
    // Removes, in one pass, the entries whose numbers are listed and hands their pages
    // back in page order; the others keep their order and stamps.
    std::vector<TORQPage*> Extract(const std::unordered_set<int32_t>& PageNos);
    void Clear() { FCount = 0; }
    // The page with the smallest stamp (the first of equal ones), remembered as the oldest;
    // FindOlder: the first page by number whose stamp is below the remembered one, which
    // becomes the oldest. Nil when none.
    TORQPage* FindOldest();
    TORQPage* FindOlder();
    void SetCount(int32_t NewCount);

private:
    struct Entry {
        TORQPage* Page = nullptr;
        int64_t Stamp = 0;
    };
    void SetLength(int32_t Length);

    std::vector<int32_t> FKeys;
    int32_t FCount = 0;
    int32_t FGrowStep = 1000;
    int32_t FShrinkStep = 1000;
    int32_t FMaxStep = 10000;
    int32_t FCapacity = 0;
    int64_t FStampCounter = 0;
    int64_t FOldestStamp = 0;
    std::vector<Entry> FEntries;
};

// The shared cache's pages: one per number, found by number through a hash, and kept in
// recency order (of their last Add or Touch) in a list threaded through the pages, so that
// every operation takes constant time. Items gives the pages in no particular order. The
// list never frees its pages.
class TORQSharedPageList {
public:
    TORQSharedPageList() = default;
    TORQSharedPageList(const TORQSharedPageList&) = delete;
    TORQSharedPageList& operator=(const TORQSharedPageList&) = delete;

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TORQPage* Items(int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)); }
    // The page's index in Items, or -1 when PageNo is not listed.
    int32_t IndexOf(int32_t PageNo) const;
    TORQPage* GetPage(int32_t PageNo) const;
    // The newest page; its number must not be listed yet.
    void Add(TORQPage* Page);
    // Makes the page the newest; 20167 for a page not in the list.
    void Touch(TORQPage* Page);
    // Removes the entry of PageNo: 20165 when empty, 20166 when absent.
    void Delete(int32_t PageNo);
    void Clear();
    // The least recently added or touched page, nil when empty; Newer walks towards the newest.
    TORQPage* Oldest() const { return FOldest; }
    static TORQPage* Newer(const TORQPage* Page) { return Page->FNewer; }

private:
    void Unlink(TORQPage* Page);
    void LinkNewest(TORQPage* Page);

    std::vector<TORQPage*> FItems;
    std::unordered_map<int32_t, TORQPage*> FByNumber;
    TORQPage* FOldest = nullptr;
    TORQPage* FNewest = nullptr;
};

// A typed view over one page (B-tree pages and the engines' record pages derive from it).
class TORQPageController {
public:
    explicit TORQPageController(TORQPage* Page = nullptr) : FPage(Page) {}
    virtual ~TORQPageController() = default;

    TORQPage* Page() const { return FPage; }
    void SetPage(TORQPage* Page) { FPage = Page; }
    void SetPageNo(int32_t PageNo) { FPage->PageNo = PageNo; }
    int32_t GetPageNo() const { return FPage->PageNo; }
    uint16_t GetPageSize() const { return FPage->GetPageSize(); }
    void SetModified(bool Value) { FPage->Modified = Value ? 1 : 0; }
    uint8_t* GetData() const { return FPage->GetData(); }
    int32_t GetDataSize() const { return FPage->GetDataSize(); }
    void Resize(int32_t NewSize) { FPage->Resize(NewSize); }

protected:
    TORQPage* FPage;
};

class TORQPageManager {
public:
    // The most pages the shared cache keeps (128 MB of 4096-byte pages): the working set
    // of a 100,000-row message log with its indexes.
    static constexpr int32_t MaxCachePages = 32768;

    // Capacity() is taken from AvailableMemory (bytes).
    explicit TORQPageManager(int64_t AvailableMemory = GlobalMemoryManager().GetAvailableMemory());
    // Frees every page, committed or not; never throws.
    virtual ~TORQPageManager();
    TORQPageManager(const TORQPageManager&) = delete;
    TORQPageManager& operator=(const TORQPageManager&) = delete;

    // 20097 when a session still has uncommitted pages (nothing is freed then); otherwise
    // frees every page and session entry.
    void Close();

    virtual int32_t GetPageCount() { return PageCount; }
    virtual bool IsPageCurrent(int32_t SessionID, TORQPage* Page);
    virtual void PageLoaded(int32_t SessionID, TORQPage* Page);
    virtual void LoadFromStream(TORQStream& Stream);
    virtual void SaveToStream(TORQStream& Stream);
    // Gives Page a free number and a buffer.
    virtual void AllocatePage(TORQPage* Page) = 0;
    virtual void FreePage(int32_t PageNo) = 0;
    // Frees the numbers of a commit; FreePage for each unless the storage frees them at once.
    virtual void FreePages(const std::vector<int32_t>& PageNos);
    // Fills Page from storage; false when it cannot.
    virtual bool ReadPage(TORQPage* Page) = 0;
    virtual void WritePage(TORQPage* Page) = 0;
    virtual void FreePageForSession(int32_t SessionID, int32_t PageNo);
    // Takes page PageNo for the session: its own copy, else the shared one, else read from
    // storage. Codes: 20186 session -1, 20154 unreadable page, 20153 wrong type (unless
    // ExpectedType is AnyPageType or the engine is headerless), 20090 taken by another.
    virtual TORQPage* GetPage(int32_t SessionID, int32_t PageNo, bool Validate, uint16_t ExpectedType);
    // Writes the session's pages and releases the pages it freed. Codes: 20152 a page of
    // the session still taken, 20085 an unmodified private page, 20086 a taken one.
    virtual void CommitSession(int32_t SessionID);

    // A new page of the session, taken once, modified. 20064 when storage gives no number.
    TORQPage* AddNewPage(int32_t SessionID, uint16_t PageType);
    void ReleasePage(TORQPage* Page);
    // Drops the session's changes and gives back the pages it allocated. Codes: 20087 an
    // unmodified private page, 20088 a taken one.
    void RollbackSession(int32_t SessionID);

    // With shared access: the change stamp stored for Page, when the engine can tell
    // (the disk engine); Refresh compares it with the page's own.
    virtual bool ReadStoredChangeStamp(TORQPage& Page, int32_t& Stamp);

    int32_t Capacity() const { return FCapacity; }
    // Moves whenever uncommitted pages are dropped (a rollback) or every page is freed:
    // what an in-memory summary of page contents compares with to know it is stale.
    uint64_t DiscardGeneration() const { return FDiscardGeneration; }
    TORQSharedPageList& SharedList() { return FSharedList; }
    // Whether a page of the shared list is taken by the session.
    bool HasTakenSharedPage(int32_t SessionID) const;
    // The session's private list, or nil when the session has no entry.
    TORQSortedPageList* PrivateList(int32_t SessionID);
    std::recursive_mutex& CriticalSection() { return FCriticalSection; }

    uint16_t PageSize = 0;
    uint16_t HeaderSize = 0;
    uint16_t DataSize = 0;
    int32_t PageCount = 0;
    uint8_t SharedAccess = 0;

protected:
    struct TSessionPages {
        explicit TSessionPages(int32_t ID) : SessionID(ID) {}
        int32_t SessionID;
        TORQSortedPageList PrivateList;
        TORQIntegerArray AllocatedPages{0, 10, 100};
        // In the order freed; FreedSet holds the same numbers for look-ups, so that a
        // commit that frees N pages and writes M costs no N x M searches.
        TORQIntegerArray FreedPages{0, 10, 100};
        std::unordered_set<int32_t> FreedSet;
        bool IsFreed(int32_t PageNo) const { return FreedSet.contains(PageNo); }
        void NoteFreed(int32_t PageNo) {
            FreedPages.Append(PageNo);
            FreedSet.insert(PageNo);
        }
        // Both lists emptied, their memory given back.
        void ForgetFreed() {
            FreedPages.SetSize(0);
            std::unordered_set<int32_t>().swap(FreedSet);
        }
        // Shared pages the session holds taken (released to a use count of 0 or detached
        // while taken leaves the count).
        int32_t TakenShared = 0;
    };
    TSessionPages& SessionEntry(int32_t SessionID);
    // A taken shared page is no longer held as one.
    void LeaveTaken(const TORQPage& Page);
    TSessionPages* FindSession(int32_t SessionID);
    // Frees every page object and session entry (an engine replacing its whole store).
    void FreeAll();
    // Whether some session holds pages not yet committed or rolled back.
    bool HasUncommittedPages() const;
    // Whether a private page the session freed may leave memory before the commit: the
    // storage says which kinds read the same discarded and restored (none by default).
    virtual bool MayDiscardFreedPage(const TORQPage&) const { return false; }
    // Forgets every page of the shared list (a taken one is detached and goes with its
    // last release): after a commit that failed, the cache may hold what never reached
    // the file.
    void DiscardSharedPages();

private:
    // Takes the page of PageNo out of the shared list: freed when unused, else detached.
    void DropSharedPage(int32_t PageNo);
    // A private page of Session that it freed and nobody holds keeps only its header.
    void DiscardIfFreed(TSessionPages& Session, TORQPage& Page);
    void Evict();

    std::recursive_mutex FCriticalSection;
    int32_t FCapacity;
    uint64_t FDiscardGeneration = 0;
    TORQSharedPageList FSharedList;
    // The pages of the shared list with a use count above 0, so a commit's check of its
    // session's taken pages does not walk the whole cache.
    std::vector<std::unique_ptr<TSessionPages>> FSessions;
};

// Asked for every entry a page view reads: inline.
inline uint16_t TORQPage::GetHeaderSize() const { return PageManager->HeaderSize; }
inline uint16_t TORQPage::GetPageSize() const { return PageManager->PageSize; }

}  // namespace orq
