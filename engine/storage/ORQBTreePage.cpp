#include "engine/storage/ORQBTreePage.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

[[noreturn]] void RaiseIntegrity(int32_t Code, int32_t PageNo, int32_t EntryNo) {
    RaiseNativeFmt(Code, "Index integrity error. PageNo=%d EntryNo=%d", {PageNo, EntryNo});
}

// Moves the path's current level up for the lifetime of the guard.
class TLevelUp {
public:
    explicit TLevelUp(TORQKeyPath& Path) : FPath(Path) { FPath.LevelUp(); }
    ~TLevelUp() { ++FPath.CurrentLevel; }
    TLevelUp(const TLevelUp&) = delete;
    TLevelUp& operator=(const TLevelUp&) = delete;

private:
    TORQKeyPath& FPath;
};

// Bounds the descent of the walks that keep no key path (freeing a tree, reading a
// subtree's first or last entry): child links of a damaged tree that lead back up would
// otherwise recurse until the stack ends.
class TDescent {
public:
    TDescent() {
        if (Depth() >= TORQKeyPath::MaxLevels) RaiseNative(31006, "Index page is damaged: the tree is too deep");
        ++Depth();
    }
    ~TDescent() { --Depth(); }
    TDescent(const TDescent&) = delete;
    TDescent& operator=(const TDescent&) = delete;

private:
    static int32_t& Depth() {
        thread_local int32_t depth = 0;
        return depth;
    }
};

}  // namespace

void TORQBTreePageRelease::operator()(TORQBTreePage* Page) const noexcept {
    if (Page == nullptr) return;
    try {
        Page->PageManager().ReleasePage(Page->Page());
    } catch (...) {
        // Releasing only counts down and may evict; a failure there has no caller to
        // tell while another error may be leaving.
    }
    delete Page;
}

void CheckKeyRefFitsPage(const TORQBTreeKeyRef& KeyRef, int32_t DataSize) {
    const int32_t entry = KeyRef.KeySize + std::max<int32_t>(KeyRef.ValueSize, 4);
    if (KeyRef.KeySize < 0 || int64_t{3} * entry + BTreeBaseHeaderSize > DataSize)
        RaiseNativeFmt(20060, "Index key too long: %d bytes per entry, a page must hold three entries",
                       {entry});
}

// ---------------------------------------------------------------------------------
// TORQBTreePage

TORQBTreePage::TORQBTreePage(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, TORQPage* Page)
    : TORQPageController(Page), FKeyRef(KeyRef), FPageManager(PageManager), FLeaf(*this), FNode(*this) {}

int32_t TORQBTreePage::PrevPageNo() const { return static_cast<int32_t>(LoadLE32(GetData() + 2)); }
void TORQBTreePage::SetPrevPageNo(int32_t PageNo) { StoreLE32(GetData() + 2, static_cast<uint32_t>(PageNo)); }
int32_t TORQBTreePage::NextPageNo() const { return static_cast<int32_t>(LoadLE32(GetData() + 6)); }
void TORQBTreePage::SetNextPageNo(int32_t PageNo) { StoreLE32(GetData() + 6, static_cast<uint32_t>(PageNo)); }
uint16_t TORQBTreePage::KeySize() const { return LoadLE16(GetData() + 12); }
void TORQBTreePage::SetKeySize(uint16_t Size) { StoreLE16(GetData() + 12, Size); }
int32_t TORQBTreePage::EntryCount() const { return LoadLE16(GetData() + 14); }
void TORQBTreePage::SetEntryCount(int32_t Count) { StoreLE16(GetData() + 14, static_cast<uint16_t>(Count)); }
uint16_t TORQBTreePage::ExtraSize() const { return LoadLE16(GetData() + 16); }
void TORQBTreePage::SetExtraSize(uint16_t Size) { StoreLE16(GetData() + 16, Size); }

void TORQBTreePage::InitHeader() {
    uint8_t* d = GetData();
    std::memset(d, 0, BTreeBaseHeaderSize);
    SetPrevPageNo(-1);
    SetNextPageNo(-1);
}

void TORQBTreePage::InitRootLeaf() {
    InitHeader();
    SetIsRoot(true);
    SetIsLeaf(true);
    SetRootLeafMark(true);
    SetKeySize(static_cast<uint16_t>(FKeyRef.KeySize));
    ZeroEntriesFrom(0);
}

void TORQBTreePage::SetKeyAt(int32_t Index, const uint8_t* Key) { std::memcpy(KeyAt(Index), Key, KeySize()); }

void TORQBTreePage::SetValueAt(int32_t Index, const uint8_t* Value) {
    std::memcpy(ValueAt(Index), Value, static_cast<std::size_t>(ValueSize()));
}

int32_t TORQBTreePage::ChildAt(int32_t Index) const { return static_cast<int32_t>(LoadLE32(ValueAt(Index))); }

void TORQBTreePage::ZeroEntriesFrom(int32_t Index) {
    const int64_t from = int64_t{HeaderSize()} + int64_t{Index} * EntrySize();
    if (from < GetDataSize()) std::memset(GetData() + from, 0, static_cast<std::size_t>(GetDataSize() - from));
}

void TORQBTreePage::CopyEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N) {
    std::memmove(GetData(), Source.GetData(), static_cast<std::size_t>(Source.HeaderSize()));
    const int32_t size = EntrySize();
    std::memmove(KeyAt(0), Source.KeyAt(First), static_cast<std::size_t>(N * size));
    SetEntryCount(N);
    ZeroEntriesFrom(N);
}

void TORQBTreePage::AppendEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N) {
    const int32_t count = EntryCount();
    std::memcpy(KeyAt(count), Source.KeyAt(First), static_cast<std::size_t>(N * EntrySize()));
    SetEntryCount(count + N);
}

void TORQBTreePage::PrependEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N) {
    const int32_t count = EntryCount();
    const int32_t size = EntrySize();
    std::memmove(KeyAt(N), KeyAt(0), static_cast<std::size_t>(count * size));
    std::memcpy(KeyAt(0), Source.KeyAt(First), static_cast<std::size_t>(N * size));
    SetEntryCount(count + N);
}

bool TORQBTreePage::HasRoom() const {
    return (EntryCount() + 1) * EntrySize() + ExtraSize() + BTreeBaseHeaderSize <= GetDataSize();
}

bool TORQBTreePage::IsOverfull() const {
    return GetDataSize() < EntryCount() * EntrySize() + ExtraSize() + BTreeBaseHeaderSize;
}

bool TORQBTreePage::IsUnderfull() const {
    return EntryCount() * EntrySize() < (GetDataSize() - ExtraSize() - BTreeBaseHeaderSize) / 2;
}

bool TORQBTreePage::CanMergeWith(const TORQBTreePage& Neighbour) const {
    // Strictly less than a full page, except that an empty page always goes: it has
    // nothing to move, and left standing it would be a page of no entries in the tree.
    if (EntryCount() == 0) return true;
    return (EntryCount() + Neighbour.EntryCount()) * EntrySize() + HeaderSize() < Neighbour.GetDataSize();
}

TORQBTreePageHolder TORQBTreePage::Load(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID,
                                        int32_t PageNo) {
    TORQPage* page = PageManager.GetPage(SessionID, PageNo, true, BTreePageType);
    TORQBTreePageHolder view;
    try {
        view.reset(new TORQBTreePage(PageManager, KeyRef, page));
    } catch (...) {
        PageManager.ReleasePage(page);
        throw;
    }
    view->CheckHeader();
    return view;
}

void TORQBTreePage::CheckHeader() const {
    // The entry area as the header describes it must lie in the buffer (which a split in
    // progress may have grown by one entry) and use the tree's key size: a damaged page
    // read from the file must not send a search outside it.
    const int64_t buffer = FPage->OwnsBuffer != 0 ? GlobalMemoryManager().GetBlockSize(FPage->GetBuffer())
                                                  : int64_t{FPage->GetPageSize()};
    const int64_t end =
        int64_t{FPage->GetHeaderSize()} + HeaderSize() + int64_t{EntryCount()} * EntrySize();
    if (KeySize() != FKeyRef.KeySize || end > buffer)
        RaiseNativeFmt(31004, "Index page is damaged. PageNo=%d", {GetPageNo()});
}

TORQBTreePageHolder TORQBTreePage::New(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID) {
    TORQPage* page = PageManager.AddNewPage(SessionID, BTreePageType);
    TORQBTreePageHolder view;
    try {
        view.reset(new TORQBTreePage(PageManager, KeyRef, page));
    } catch (...) {
        PageManager.ReleasePage(page);
        throw;
    }
    view->InitHeader();
    return view;
}

TORQBTreePageHolder TORQBTreePage::NewPage(int32_t SessionID) const { return New(FPageManager, FKeyRef, SessionID); }

TORQBTreePageHolder TORQBTreePage::LoadPage(int32_t SessionID, int32_t PageNo) const {
    return Load(FPageManager, FKeyRef, SessionID, PageNo);
}

void TORQBTreePage::FreePage(int32_t SessionID, int32_t PageNo) const {
    FPageManager.FreePageForSession(SessionID, PageNo);
}

void TORQBTreePage::Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) {
    if (IsRoot()) CheckKeyRefFitsPage(FKeyRef, GetDataSize());
    Controller().Insert(SessionID, Key, Path, Value);
}

bool TORQBTreePage::Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) {
    return Controller().Delete(SessionID, Key, Path, Value);
}

bool TORQBTreePage::FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) {
    return Controller().FindRecord(SessionID, Key, Path, Value);
}

bool TORQBTreePage::First(int32_t SessionID, TORQKeyPath& Path) { return Controller().First(SessionID, Path); }
bool TORQBTreePage::Last(int32_t SessionID, TORQKeyPath& Path) { return Controller().Last(SessionID, Path); }

bool TORQBTreePage::FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition,
                            const uint8_t* Key) {
    if (EntryCount() == 0) return false;
    return Controller().FindKey(SessionID, Forward, Path, Condition, Key);
}

void TORQBTreePage::FreePages(int32_t SessionID, bool KeepRoot) { Controller().FreePages(SessionID, KeepRoot); }

void TORQBTreePage::CheckIntegrity(int32_t SessionID, TORQKeyPath& Path) {
    Controller().CheckIntegrity(SessionID, Path);
}

void TORQBTreePage::GetFirstKey(int32_t SessionID, uint8_t* Key) { Controller().GetFirstKey(SessionID, Key); }
void TORQBTreePage::GetLastKey(int32_t SessionID, uint8_t* Key) { Controller().GetLastKey(SessionID, Key); }

void TORQBTreePage::GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) {
    Controller().GetFirstEntry(SessionID, Key, Value);
}

void TORQBTreePage::GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) {
    Controller().GetLastEntry(SessionID, Key, Value);
}

void TORQBTreePage::InsertSeparator(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, int32_t ChildPageNo) {
    if (IsLeaf()) RaiseNative(20020, "Internal index error");
    FNode.InsertSeparator(SessionID, Key, Path, ChildPageNo);
}

void TORQBTreePage::RemoveChildEntry(int32_t SessionID, TORQKeyPath& Path, bool MergedIntoPrev,
                                     const uint8_t* SeparatorKey) {
    if (IsLeaf()) RaiseNative(20024, "Internal index error");
    FNode.RemoveChildEntry(SessionID, Path, MergedIntoPrev, SeparatorKey);
}

// ---------------------------------------------------------------------------------
// Operations shared by both controllers

int TORQBTreePageController::CompareKeyAt(bool FullCompare, int32_t SessionID, int32_t Index, const uint8_t* Key) {
    return FPage.KeyRef().CompareKeys(Key, FPage.KeyAt(Index), FPage.ValueAt(Index), nullptr, SessionID,
                                      FullCompare);
}

int TORQBTreePageController::CompareValueAt(const uint8_t* Value, int32_t Index) {
    return CompareValues(Value, FPage.ValueAt(Index), FPage.ValueSize());
}

int32_t TORQBTreePageController::FindEntry(bool FullCompare, int32_t SessionID, int32_t Mode, int32_t Start,
                                           const uint8_t* Value, const uint8_t* Key, int32_t& Outcome) {
    const int32_t count = FPage.EntryCount();
    if (count == 0) {
        Outcome = feEmpty;
        return 0;
    }
    int32_t lo = Start;
    int32_t hi = count - 1;
    // An inner page compares a value by loading the child: within a run of equal keys the
    // run's two ends are tried first, which settles at once the record appended last or
    // the oldest one, the common inserts and deletes of a log.
    bool runEndsTried = Value == nullptr || Mode != feAny || FPage.IsLeaf();
    while (lo <= hi) {
        const int32_t mid = (lo + hi) / 2;
        int c = CompareKeyAt(FullCompare, SessionID, mid, Key);
        if (c == 0 && !runEndsTried) {
            runEndsTried = true;
            int32_t a = mid, b = hi;  // the run's last entry within [mid, hi]
            while (a < b) {
                const int32_t m = a + (b - a + 1) / 2;
                if (CompareKeyAt(FullCompare, SessionID, m, Key) == 0) a = m;
                else b = m - 1;
            }
            const int last = CompareWithEntry(FullCompare, SessionID, a, Value, Key);
            if (last == 0) {
                Outcome = feFound;
                return a;
            }
            if (last > 0) {
                lo = a + 1;
                continue;
            }
            hi = a - 1;
            a = lo, b = mid;  // the run's first entry within [lo, mid]
            while (a < b) {
                const int32_t m = a + (b - a) / 2;
                if (CompareKeyAt(FullCompare, SessionID, m, Key) == 0) b = m;
                else a = m + 1;
            }
            if (a > hi) continue;
            const int first = CompareWithEntry(FullCompare, SessionID, a, Value, Key);
            if (first == 0) {
                Outcome = feFound;
                return a;
            }
            if (first < 0) hi = a - 1;
            else lo = a + 1;
            continue;
        }
        if (c == 0 && Value != nullptr) c = CompareWithEntry(FullCompare, SessionID, mid, Value, Key);
        if (c < 0) {
            hi = mid - 1;
        } else if (c > 0) {
            lo = mid + 1;
        } else {
            Outcome = feFound;
            int32_t i = mid;
            if (Mode == feLeftmost) {
                while (i - 1 >= Start && CompareKeyAt(FullCompare, SessionID, i - 1, Key) == 0) --i;
            } else if (Mode == feRightmost) {
                while (i + 1 <= count - 1 && CompareKeyAt(FullCompare, SessionID, i + 1, Key) == 0) ++i;
            }
            return i;
        }
    }
    Outcome = feNotFound;
    return lo;
}

void TORQBTreePageController::InsertEntryAt(const uint8_t* Key, const uint8_t* Value, int32_t Pos) {
    const int32_t size = FPage.EntrySize();
    // The one case of a buffer beyond the page size: the split that follows brings the
    // entries back within it.
    if (!FPage.HasRoom()) FPage.Resize(FPage.GetPageSize() + size);
    FPage.MarkModified();
    const int32_t count = FPage.EntryCount();
    std::memmove(FPage.KeyAt(Pos + 1), FPage.KeyAt(Pos), static_cast<std::size_t>((count - Pos) * size));
    std::memset(FPage.KeyAt(Pos), 0, FPage.KeySize());
    if (Key != nullptr) FPage.SetKeyAt(Pos, Key);
    FPage.SetValueAt(Pos, Value);
    FPage.SetEntryCount(count + 1);
}

void TORQBTreePageController::RemoveEntryAt(int32_t Pos) {
    const int32_t count = FPage.EntryCount();
    if (count < 1) RaiseNative(20025, "Index error: page is empty");
    const int32_t size = FPage.EntrySize();
    FPage.MarkModified();
    std::memmove(FPage.KeyAt(Pos), FPage.KeyAt(Pos + 1), static_cast<std::size_t>((count - 1 - Pos) * size));
    std::memset(FPage.KeyAt(count - 1), 0, static_cast<std::size_t>(size));
    FPage.SetEntryCount(count - 1);
}

void TORQBTreePageController::Split(int32_t SessionID, TORQKeyPath& Path) {
    if (FPage.IsRoot()) SplitRoot(SessionID, Path);
    else SplitPage(SessionID, Path);
}

void TORQBTreePageController::SplitPage(int32_t SessionID, TORQKeyPath& Path) {
    const int32_t n = FPage.EntryCount();
    const int32_t h = n / 2;
    TORQBTreePageHolder right = FPage.NewPage(SessionID);
    right->CopyEntriesFrom(FPage, h, n - h);
    right->SetNextPageNo(FPage.NextPageNo());
    right->SetPrevPageNo(FPage.GetPageNo());
    right->MarkModified();
    if (right->NextPageNo() != -1) {
        TORQBTreePageHolder next = FPage.LoadPage(SessionID, right->NextPageNo());
        next->SetPrevPageNo(right->GetPageNo());
        next->MarkModified();
    }
    FPage.MarkModified();
    FPage.SetNextPageNo(right->GetPageNo());
    FPage.SetEntryCount(h);
    FPage.ZeroEntriesFrom(h);
    FPage.MarkModified();

    TLevelUp up(Path);
    TORQBTreePageHolder parent = FPage.LoadPage(SessionID, Path.CurrentPageNo());
    parent->InsertSeparator(SessionID, right->KeyAt(0), Path, right->GetPageNo());
    parent->MarkModified();
}

void TORQBTreePageController::SplitRoot(int32_t SessionID, TORQKeyPath& Path) {
    const int32_t n = FPage.EntryCount();
    const int32_t h = n / 2;
    TORQBTreePageHolder left = FPage.NewPage(SessionID);
    TORQBTreePageHolder right = FPage.NewPage(SessionID);
    left->CopyEntriesFrom(FPage, 0, h);
    right->CopyEntriesFrom(FPage, h, n - h);
    left->SetIsRoot(false);
    right->SetIsRoot(false);
    left->SetNextPageNo(right->GetPageNo());
    right->SetPrevPageNo(left->GetPageNo());
    left->MarkModified();
    right->MarkModified();

    FPage.MarkModified();
    FPage.SetIsLeaf(false);
    FPage.SetEntryCount(0);
    FPage.ZeroEntriesFrom(0);
    FPage.InsertSeparator(SessionID, nullptr, Path, left->GetPageNo());
    FPage.InsertSeparator(SessionID, right->KeyAt(0), Path, right->GetPageNo());
    FPage.MarkModified();
}

bool TORQBTreePageController::MergeWithSibling(int32_t SessionID, TORQKeyPath& Path) {
    if (FPage.IsRoot()) return false;
    bool merged = false;
    if (FPage.PrevPageNo() != -1) merged = TryMergeWith(SessionID, Path, FPage.PrevPageNo(), true);
    if (!merged && FPage.NextPageNo() != -1) merged = TryMergeWith(SessionID, Path, FPage.NextPageNo(), false);
    return merged;
}

bool TORQBTreePageController::TryMergeWith(int32_t SessionID, TORQKeyPath& Path, int32_t NeighbourNo, bool IsLeft) {
    TORQBTreePageHolder neighbour = FPage.LoadPage(SessionID, NeighbourNo);
    if (!FPage.CanMergeWith(*neighbour)) return false;
    if (IsLeft) MergeIntoPrev(SessionID, Path, *neighbour);
    else MergeIntoNext(SessionID, Path, *neighbour);
    FPage.FreePage(SessionID, FPage.GetPageNo());
    return true;
}

void TORQBTreePageController::MergeIntoPrev(int32_t SessionID, TORQKeyPath& Path, TORQBTreePage& Prev) {
    if (FPage.NextPageNo() != -1) {
        TORQBTreePageHolder next = FPage.LoadPage(SessionID, FPage.NextPageNo());
        next->SetPrevPageNo(FPage.PrevPageNo());
        next->MarkModified();
    }
    TLevelUp up(Path);
    TORQBTreePageHolder parent = FPage.LoadPage(SessionID, Path.CurrentPageNo());
    // Entry 0 of an inner page becomes a compared separator in its new page.
    if (!FPage.IsLeaf() && FPage.EntryCount() > 0) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(0));
        FPage.MarkModified();
        child->GetFirstKey(SessionID, FPage.KeyAt(0));
    }
    Prev.AppendEntriesFrom(FPage, 0, FPage.EntryCount());
    Prev.SetNextPageNo(FPage.NextPageNo());
    Prev.MarkModified();
    FPage.MarkModified();
    parent->RemoveChildEntry(SessionID, Path, true, nullptr);
}

void TORQBTreePageController::MergeIntoNext(int32_t SessionID, TORQKeyPath& Path, TORQBTreePage& Next) {
    if (FPage.PrevPageNo() != -1) {
        TORQBTreePageHolder prev = FPage.LoadPage(SessionID, FPage.PrevPageNo());
        prev->SetNextPageNo(FPage.NextPageNo());
        prev->MarkModified();
    }
    TLevelUp up(Path);
    TORQBTreePageHolder parent = FPage.LoadPage(SessionID, Path.CurrentPageNo());
    if (!Next.IsLeaf() && Next.EntryCount() > 0) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, Next.ChildAt(0));
        Next.MarkModified();
        child->GetFirstKey(SessionID, Next.KeyAt(0));
    }
    // The neighbour's subtree now begins with this page's first key: the real lower bound
    // that the separator before it must carry (never the uncompared key of entry 0).
    TORQKeyBuffer separator(FPage.KeyRef().KeySize);
    bool haveSeparator = false;
    if (FPage.EntryCount() > 0) {
        FPage.GetFirstKey(SessionID, separator.Get());
        haveSeparator = true;
    }
    Next.PrependEntriesFrom(FPage, 0, FPage.EntryCount());
    Next.SetPrevPageNo(FPage.PrevPageNo());
    Next.MarkModified();
    FPage.MarkModified();
    parent->RemoveChildEntry(SessionID, Path, false, haveSeparator ? separator.Get() : nullptr);
}

// ---------------------------------------------------------------------------------
// Leaf controller

int TORQBTreeLeafController::CompareWithEntry(bool, int32_t, int32_t Index, const uint8_t* Value, const uint8_t*) {
    return CompareValueAt(Value, Index);
}

void TORQBTreeLeafController::Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                     const uint8_t* Value) {
    int32_t outcome = 0;
    const int32_t pos = FindEntry(true, SessionID, feAny, 0, Value, Key, outcome);
    InsertEntryAt(Key, Value, pos);
    if (FPage.IsOverfull()) {
        Split(SessionID, Path);
    } else {
        FPage.MarkModified();
        Path.Push(FPage.GetPageNo(), pos, FPage.EntryCount());
    }
}

int32_t TORQBTreeLeafController::FindExact(int32_t SessionID, const uint8_t* Key, const uint8_t* Value) {
    const int32_t count = FPage.EntryCount();
    if (Key == nullptr) {
        for (int32_t i = 0; i < count; ++i)
            if (CompareValueAt(Value, i) == 0) return i;
        return -1;
    }
    int32_t outcome = 0;
    // Entries of one key stand in record-id order (an insert places them so): a search
    // over key and value finds the entry in a run of equal keys without walking it. Any
    // entry it finds is the one (one entry per record); the walk below stays for a
    // page whose run is not in that order.
    int32_t i = FindEntry(true, SessionID, feAny, 0, Value, Key, outcome);
    if (outcome == feFound) return i;
    i = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome);
    if (outcome != feFound) return -1;
    while (CompareValueAt(Value, i) != 0) {
        ++i;
        if (i >= count || CompareKeyAt(false, SessionID, i, Key) != 0) return -1;
    }
    return i;
}

bool TORQBTreeLeafController::Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                     const uint8_t* Value) {
    const int32_t pos = FindExact(SessionID, Key, Value);
    if (pos < 0) return false;
    RemoveEntryAt(pos);
    FPage.MarkModified();
    if (FPage.IsUnderfull()) MergeWithSibling(SessionID, Path);
    return true;
}

void TORQBTreeLeafController::FreePages(int32_t SessionID, bool KeepRoot) {
    if (!(FPage.IsRoot() && KeepRoot)) FPage.FreePage(SessionID, FPage.GetPageNo());
}

void TORQBTreeLeafController::CheckIntegrity(int32_t SessionID, TORQKeyPath&) {
    TORQBTreeKeyRef& ref = FPage.KeyRef();
    const bool exact = ref.KeySize == ref.FullKeySize;
    for (int32_t i = 0; i + 1 < FPage.EntryCount(); ++i) {
        const int k = ref.CompareKeys(FPage.KeyAt(i), FPage.KeyAt(i + 1), FPage.ValueAt(i + 1), FPage.ValueAt(i),
                                      SessionID, false);
        const int v = CompareValues(FPage.ValueAt(i), FPage.ValueAt(i + 1), FPage.ValueSize());
        if (exact ? (k > 0 || (k == 0 && v >= 0)) : k > 0) RaiseIntegrity(20028, FPage.GetPageNo(), i);
    }
}

bool TORQBTreeLeafController::FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                         const uint8_t* Value) {
    const int32_t pos = FindExact(SessionID, Key, Value);
    if (pos < 0) return false;
    Path.Push(FPage.GetPageNo(), pos, FPage.EntryCount());
    return true;
}

bool TORQBTreeLeafController::First(int32_t, TORQKeyPath& Path) {
    if (FPage.EntryCount() == 0) return false;
    Path.Push(FPage.GetPageNo(), 0, FPage.EntryCount());
    return true;
}

bool TORQBTreeLeafController::Last(int32_t, TORQKeyPath& Path) {
    if (FPage.EntryCount() == 0) return false;
    Path.Push(FPage.GetPageNo(), FPage.EntryCount() - 1, FPage.EntryCount());
    return true;
}

int32_t TORQBTreeLeafController::FindFirstMatching(int32_t SessionID, int32_t Condition, const uint8_t* Key) {
    const int32_t count = FPage.EntryCount();
    int32_t outcome = 0;
    int32_t p = 0;
    switch (Condition) {
        case scEqual:
            p = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome);
            return outcome == feFound ? p : -1;
        case scLess:
            p = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome);
            return p - 1 >= 0 ? 0 : -1;
        case scGreater:
            p = FindEntry(true, SessionID, feRightmost, 0, nullptr, Key, outcome);
            if (outcome == feFound) ++p;
            return p < count ? p : -1;
        case scLessOrEqual:
            p = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome);
            if (outcome != feFound) --p;
            return p >= 0 ? 0 : -1;
        case scGreaterOrEqual:
            p = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome);
            return p < count ? p : -1;
        default:
            return count > 0 ? 0 : -1;
    }
}

int32_t TORQBTreeLeafController::FindLastMatching(int32_t SessionID, int32_t Condition, const uint8_t* Key) {
    const int32_t count = FPage.EntryCount();
    int32_t outcome = 0;
    int32_t p = 0;
    switch (Condition) {
        case scEqual:
            p = FindEntry(true, SessionID, feRightmost, 0, nullptr, Key, outcome);
            return outcome == feFound ? p : -1;
        case scLess:
            p = FindEntry(true, SessionID, feLeftmost, 0, nullptr, Key, outcome) - 1;
            return p >= 0 ? p : -1;
        case scGreater:
            p = FindEntry(true, SessionID, feRightmost, 0, nullptr, Key, outcome);
            if (outcome == feFound) ++p;
            return p < count ? count - 1 : -1;
        case scLessOrEqual:
            p = FindEntry(true, SessionID, feRightmost, 0, nullptr, Key, outcome);
            if (outcome != feFound) --p;
            return p >= 0 ? p : -1;
        case scGreaterOrEqual:
            p = FindEntry(true, SessionID, feAny, 0, nullptr, Key, outcome);
            return p < count ? count - 1 : -1;
        default:
            return count > 0 ? count - 1 : -1;
    }
}

bool TORQBTreeLeafController::FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition,
                                      const uint8_t* Key) {
    if (Key == nullptr) Condition = scNone;
    const int32_t pos = Forward ? FindFirstMatching(SessionID, Condition, Key)
                                : FindLastMatching(SessionID, Condition, Key);
    if (pos < 0) return false;
    Path.Push(FPage.GetPageNo(), pos, FPage.EntryCount());
    return true;
}

void TORQBTreeLeafController::CopyEntry(int32_t Index, uint8_t* Key, uint8_t* Value) {
    // Reading an entry of an empty page would hand out bytes that are no entry at all.
    if (FPage.EntryCount() == 0) RaiseNative(20025, "Index error: page is empty");
    if (Key != nullptr) std::memcpy(Key, FPage.KeyAt(Index), FPage.KeySize());
    if (Value != nullptr) std::memcpy(Value, FPage.ValueAt(Index), static_cast<std::size_t>(FPage.ValueSize()));
}

void TORQBTreeLeafController::GetFirstKey(int32_t, uint8_t* Key) { CopyEntry(0, Key, nullptr); }
void TORQBTreeLeafController::GetLastKey(int32_t, uint8_t* Key) { CopyEntry(FPage.EntryCount() - 1, Key, nullptr); }
void TORQBTreeLeafController::GetFirstEntry(int32_t, uint8_t* Key, uint8_t* Value) { CopyEntry(0, Key, Value); }

void TORQBTreeLeafController::GetLastEntry(int32_t, uint8_t* Key, uint8_t* Value) {
    CopyEntry(FPage.EntryCount() - 1, Key, Value);
}

// ---------------------------------------------------------------------------------
// Inner-page controller

int TORQBTreeNodeController::CompareWithEntry(bool, int32_t SessionID, int32_t Index, const uint8_t* Value,
                                              const uint8_t* Key) {
    TORQBTreeKeyRef& ref = FPage.KeyRef();
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(Index));
    if (child->IsLeaf() && child->EntryCount() > 0) {
        // Compared where it stands, the page held meanwhile: no copy of the entry.
        int c = ref.CompareKeys(Key, child->KeyAt(0), child->ValueAt(0), Value, SessionID, true);
        if (c == 0) c = CompareValues(Value, child->ValueAt(0), ref.ValueSize);
        return c;
    }
    TORQKeyBuffer firstKey(ref.KeySize);
    TORQKeyBuffer firstValue(ref.ValueSize);
    child->GetFirstEntry(SessionID, firstKey.Get(), firstValue.Get());
    child.reset();
    int c = ref.CompareKeys(Key, firstKey.Get(), firstValue.Get(), Value, SessionID, true);
    if (c == 0) c = CompareValues(Value, firstValue.Get(), ref.ValueSize);
    return c;
}

void TORQBTreeNodeController::Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                     const uint8_t* Value) {
    int32_t outcome = 0;
    int32_t pos = FindEntry(false, SessionID, feAny, 1, Value, Key, outcome);
    if (outcome != feFound) --pos;
    Path.Push(FPage.GetPageNo(), pos, FPage.EntryCount());
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(pos));
    child->Insert(SessionID, Key, Path, Value);
}

bool TORQBTreeNodeController::Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                     const uint8_t* Value) {
    int32_t outcome = 0;
    int32_t pos = FindEntry(false, SessionID, feAny, 1, Value, Key, outcome);
    if (outcome != feFound) --pos;
    Path.Push(FPage.GetPageNo(), pos, FPage.EntryCount());
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(pos));
    return child->Delete(SessionID, Key, Path, Value);
}

void TORQBTreeNodeController::FreePages(int32_t SessionID, bool KeepRoot) {
    if (FPage.GetPageNo() == -1) return;
    const TDescent descent;
    for (int32_t i = 0; i < FPage.EntryCount(); ++i) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(i));
        child->FreePages(SessionID, KeepRoot);
    }
    if (!(FPage.IsRoot() && KeepRoot)) FPage.FreePage(SessionID, FPage.GetPageNo());
}

void TORQBTreeNodeController::CheckIntegrity(int32_t SessionID, TORQKeyPath& Path) {
    const int32_t count = FPage.EntryCount();
    const int32_t pageNo = FPage.GetPageNo();
    for (int32_t i = 0; i < count; ++i) {
        if (Path.ContainsPage(pageNo))
            RaiseNativeFmt(20032, "Index integrity error. Circular links. PageNo=%d EntryNo=%d", {pageNo, i});
        Path.Push(pageNo, i, count);
        {
            TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(i));
            if (i > 0 && child->PrevPageNo() != FPage.ChildAt(i - 1))
                RaiseNativeFmt(20033, "Index integrity error. Invlaid leaf link. PageNo=%d EntryNo=%d", {pageNo, i});
            if (i < count - 1 && child->NextPageNo() != FPage.ChildAt(i + 1))
                RaiseNativeFmt(20034, "Index integrity error. Invlaid leaf link. PageNo=%d EntryNo=%d", {pageNo, i});
            child->CheckIntegrity(SessionID, Path);
        }
        Path.Pop();
    }
    TORQBTreeKeyRef& ref = FPage.KeyRef();
    const bool exact = ref.KeySize == ref.FullKeySize;
    TORQKeyBuffer lastKey(ref.KeySize), lastValue(ref.ValueSize), firstKey(ref.KeySize), firstValue(ref.ValueSize);
    for (int32_t i = 1; i + 1 < count; ++i) {
        if (ref.CompareKeys(FPage.KeyAt(i), FPage.KeyAt(i + 1), nullptr, nullptr, SessionID, false) > 0)
            RaiseIntegrity(20029, pageNo, i);
        {
            TORQBTreePageHolder before = FPage.LoadPage(SessionID, FPage.ChildAt(i - 1));
            before->GetLastEntry(SessionID, lastKey.Get(), lastValue.Get());
        }
        {
            TORQBTreePageHolder after = FPage.LoadPage(SessionID, FPage.ChildAt(i + 1));
            after->GetFirstEntry(SessionID, firstKey.Get(), firstValue.Get());
        }
        if (ref.CompareKeys(lastKey.Get(), FPage.KeyAt(i), nullptr, nullptr, SessionID, false) > 0)
            RaiseIntegrity(20030, pageNo, i);
        if (ref.CompareKeys(firstKey.Get(), FPage.KeyAt(i + 1), nullptr, nullptr, SessionID, false) < 0)
            RaiseIntegrity(20031, pageNo, i);
        if (exact && ref.CompareKeys(lastKey.Get(), firstKey.Get(), nullptr, nullptr, SessionID, false) == 0 &&
            CompareValues(lastValue.Get(), firstValue.Get(), ref.ValueSize) >= 0)
            RaiseIntegrity(20194, pageNo, i);
    }
}

bool TORQBTreeNodeController::FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                         const uint8_t* Value) {
    int32_t first = 0, last = -1;
    ChildRange(SessionID, scEqual, Key, first, last);
    for (int32_t i = first; i <= last; ++i) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(i));
        Path.Push(FPage.GetPageNo(), i, FPage.EntryCount());
        if (child->FindRecord(SessionID, Key, Path, Value)) return true;
        Path.Pop();
    }
    return false;
}

bool TORQBTreeNodeController::First(int32_t SessionID, TORQKeyPath& Path) {
    if (FPage.EntryCount() == 0) return false;
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(0));
    Path.Push(FPage.GetPageNo(), 0, FPage.EntryCount());
    return child->First(SessionID, Path);
}

bool TORQBTreeNodeController::Last(int32_t SessionID, TORQKeyPath& Path) {
    const int32_t count = FPage.EntryCount();
    if (count == 0) return false;
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(count - 1));
    Path.Push(FPage.GetPageNo(), count - 1, count);
    return child->Last(SessionID, Path);
}

void TORQBTreeNodeController::ChildRange(int32_t SessionID, int32_t Condition, const uint8_t* Key,
                                         int32_t& FirstChild, int32_t& LastChild) {
    const int32_t count = FPage.EntryCount();
    FirstChild = 0;
    LastChild = count - 1;
    if (Key == nullptr || Condition == scNone) return;
    // Separators are compared by their kept prefix only. Where a prefix ties with the
    // bound, the full values beyond it may lie on either side of the bound, so a strict
    // bound enters every child its non-strict twin enters; the leaves decide on the full
    // values, and a child holding none beyond the bound hands on to the next.
    const std::vector<TORQKeyColumn>& columns = FPage.KeyRef().Columns;
    if (std::any_of(columns.begin(), columns.end(), [](const TORQKeyColumn& c) { return c.Spare != 0; })) {
        if (Condition == scGreater) Condition = scGreaterOrEqual;
        else if (Condition == scLess) Condition = scLessOrEqual;
    }
    int32_t outcome = 0;
    int32_t f = 0;
    switch (Condition) {
        case scEqual:
            f = FindEntry(false, SessionID, feLeftmost, 1, nullptr, Key, outcome);
            FirstChild = f > 0 ? f - 1 : 0;
            if (outcome == feFound) LastChild = FindEntry(false, SessionID, feRightmost, 1, nullptr, Key, outcome);
            else LastChild = FirstChild;
            break;
        case scLess:
            LastChild = FindEntry(false, SessionID, feLeftmost, 1, nullptr, Key, outcome) - 1;
            break;
        case scGreater:
            f = FindEntry(false, SessionID, feRightmost, 1, nullptr, Key, outcome);
            FirstChild = outcome == feFound ? f : f - 1;
            break;
        case scLessOrEqual:
            f = FindEntry(false, SessionID, feRightmost, 1, nullptr, Key, outcome);
            LastChild = outcome == feFound ? f : f - 1;
            break;
        case scGreaterOrEqual:
            FirstChild = FindEntry(false, SessionID, feLeftmost, 1, nullptr, Key, outcome) - 1;
            break;
        default:
            break;
    }
    FirstChild = std::max(FirstChild, 0);
    LastChild = std::min(LastChild, count - 1);
}

bool TORQBTreeNodeController::FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition,
                                      const uint8_t* Key) {
    int32_t first = 0, last = -1;
    ChildRange(SessionID, Condition, Key, first, last);
    const int32_t step = Forward ? 1 : -1;
    for (int32_t i = Forward ? first : last; Forward ? i <= last : i >= first; i += step) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(i));
        Path.Push(FPage.GetPageNo(), i, FPage.EntryCount());
        if (child->FindKey(SessionID, Forward, Path, Condition, Key)) return true;
        Path.Pop();
    }
    return false;
}

void TORQBTreeNodeController::GetFirstKey(int32_t SessionID, uint8_t* Key) {
    GetFirstEntry(SessionID, Key, nullptr);
}

void TORQBTreeNodeController::GetLastKey(int32_t SessionID, uint8_t* Key) { GetLastEntry(SessionID, Key, nullptr); }

void TORQBTreeNodeController::GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) {
    const TDescent descent;
    if (FPage.EntryCount() == 0) RaiseNative(20025, "Index error: page is empty");
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(0));
    if (Value == nullptr) child->GetFirstKey(SessionID, Key);
    else child->GetFirstEntry(SessionID, Key, Value);
}

void TORQBTreeNodeController::GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) {
    const TDescent descent;
    if (FPage.EntryCount() == 0) RaiseNative(20025, "Index error: page is empty");
    TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(FPage.EntryCount() - 1));
    if (Value == nullptr) child->GetLastKey(SessionID, Key);
    else child->GetLastEntry(SessionID, Key, Value);
}

void TORQBTreeNodeController::InsertSeparator(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path,
                                              int32_t ChildPageNo) {
    const int32_t count = FPage.EntryCount();
    const int32_t pos = count > 1 ? Path.Levels[Path.CurrentLevel].EntryNo + 1 : count;
    if (pos < 0 || pos > count) RaiseNative(20020, "Internal index error");
    uint8_t value[4];
    StoreLE32(value, static_cast<uint32_t>(ChildPageNo));
    InsertEntryAt(Key, value, pos);
    if (FPage.IsOverfull()) Split(SessionID, Path);
    else FPage.MarkModified();
}

void TORQBTreeNodeController::RemoveChildEntry(int32_t SessionID, TORQKeyPath& Path, bool MergedIntoPrev,
                                               const uint8_t* SeparatorKey) {
    const int32_t level = Path.CurrentLevel;
    if (level < 0 || level >= Path.LevelCount) RaiseNative(20024, "Internal index error");
    const int32_t e = Path.Levels[level].EntryNo;
    if (e < 0 || e >= FPage.EntryCount()) RaiseNative(20024, "Internal index error");

    if (!MergedIntoPrev && SeparatorKey != nullptr) {
        // The right neighbour's subtree now starts with the merged entries: the nearest
        // separator bounding it from the left takes their first key.
        for (int32_t l = level; l >= 0; --l) {
            const TORQKeyPathLevel& at = Path.Levels[l];
            const int32_t count = l == level ? FPage.EntryCount() : at.EntryCount;
            if (at.EntryNo >= count - 1) continue;
            if (l == level) {
                FPage.MarkModified();
                FPage.SetKeyAt(at.EntryNo + 1, SeparatorKey);
            } else {
                TORQBTreePageHolder page = FPage.LoadPage(SessionID, at.PageNo);
                page->MarkModified();
                page->SetKeyAt(at.EntryNo + 1, SeparatorKey);
                page->MarkModified();
            }
            break;
        }
    }
    RemoveEntryAt(e);
    FPage.MarkModified();

    if (MergedIntoPrev && e == 0 && FPage.EntryCount() > 0) {
        // This page lost its first subtree to the left: the separator above that bounds
        // it from the left takes the real first key of what remains. (An emptied page
        // goes with its own merge, which repairs the level above.)
        for (int32_t l = level - 1; l >= 0; --l) {
            const TORQKeyPathLevel& at = Path.Levels[l];
            if (at.EntryNo < 1) continue;
            TORQKeyBuffer first(FPage.KeyRef().KeySize);
            FPage.GetFirstKey(SessionID, first.Get());
            TORQBTreePageHolder page = FPage.LoadPage(SessionID, at.PageNo);
            page->MarkModified();
            page->SetKeyAt(at.EntryNo, first.Get());
            page->MarkModified();
            break;
        }
    }

    const bool merged = FPage.IsUnderfull() && MergeWithSibling(SessionID, Path);
    if (!merged && FPage.IsRoot()) CollapseRoot(SessionID);
}

void TORQBTreeNodeController::CollapseRoot(int32_t SessionID) {
    // An inner root of one child hands the level over to it, as often as that repeats.
    while (!FPage.IsLeaf() && FPage.EntryCount() == 1) {
        TORQBTreePageHolder child = FPage.LoadPage(SessionID, FPage.ChildAt(0));
        FPage.MarkModified();
        FPage.CopyEntriesFrom(*child, 0, child->EntryCount());
        FPage.SetIsRoot(true);
        FPage.MarkModified();
        FPage.FreePage(SessionID, child->GetPageNo());
    }
}

// ---------------------------------------------------------------------------------
// Stepping a path over the page chains

namespace {

bool StepKeyPath(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID, TORQKeyPath& Path,
                 int32_t PositionCode, int32_t PageCode, bool Forward) {
    if (Path.LevelCount <= 0 || Path.LevelCount > TORQKeyPath::MaxLevels)
        RaiseNative(PositionCode, "Index error: invalid position");
    int32_t moved = -1;
    for (int32_t l = Path.LevelCount - 1; l >= 0; --l) {
        const TORQKeyPathLevel& at = Path.Levels[l];
        if (Forward ? at.EntryNo < at.EntryCount - 1 : at.EntryNo >= 1) {
            moved = l;
            break;
        }
    }
    if (moved < 0) return false;
    // Work on a copy so that a failure leaves the caller's path as it was.
    TORQKeyPath result = Path;
    result.Levels[moved].EntryNo += Forward ? 1 : -1;
    for (int32_t l = moved + 1; l < result.LevelCount; ++l) {
        int32_t link = 0;
        {
            TORQBTreePageHolder page = TORQBTreePage::Load(PageManager, KeyRef, SessionID, result.Levels[l].PageNo);
            link = Forward ? page->NextPageNo() : page->PrevPageNo();
        }
        if (link == -1) RaiseNative(PageCode, "Index error: invalid page number");
        TORQBTreePageHolder page = TORQBTreePage::Load(PageManager, KeyRef, SessionID, link);
        const int32_t count = page->EntryCount();
        if (count == 0) RaiseNative(PositionCode, "Index error: invalid position");
        result.Levels[l] = {link, Forward ? 0 : count - 1, count};
    }
    Path = result;
    return true;
}

}  // namespace

bool StepKeyPathNext(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID, TORQKeyPath& Path,
                     int32_t PositionCode, int32_t PageCode) {
    return StepKeyPath(PageManager, KeyRef, SessionID, Path, PositionCode, PageCode, true);
}

bool StepKeyPathPrior(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID, TORQKeyPath& Path,
                      int32_t PositionCode, int32_t PageCode) {
    return StepKeyPath(PageManager, KeyRef, SessionID, Path, PositionCode, PageCode, false);
}

}  // namespace orq
