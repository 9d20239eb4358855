// B+ tree pages: TORQBTreePage, a view of one loaded page of type 12, and the leaf and
// inner-page controllers that run the tree operations on it. The tree exists only as
// bytes in pages of a TORQPageManager; a view lives for one step of an operation.
//
// Page layout, from the start of the page's data area (little-endian):
//   0 IsRoot u8, 1 IsLeaf u8, 2 PrevPageNo i32, 6 NextPageNo i32, 10 root-leaf mark u8,
//   11 trailer flag u8 (always written 0), 12 KeySize u16, 14 EntryCount u16,
//   16 ExtraSize u16 (always written 0), then EntryCount entries from 18 + ExtraSize.
// An entry is the key (KeySize bytes), the value (the key reference's value size on a
// leaf, a 4-byte child page number on an inner page), and 6 trailer bytes when the flag
// is set. Bytes of the entry area past the last entry are kept zero.
//
// Rules kept here:
// - Entries are in ascending (key, value) order; inner entry k points to child k, and
//   for k >= 1 its key lies between the keys of child k - 1's subtree and those of child
//   k's. The key of inner entry 0 is never compared.
// - Every page of a level is chained to its neighbours in key order; the root never
//   changes its page number (a root split moves its entries into two new pages, a root
//   collapse copies the only child back).
// - No page other than the root is left empty by an operation: an empty page always
//   merges with a neighbour. Separators written by merges are real first keys of the
//   subtree they bound, never the uncompared key of an entry 0.
// - A key reference whose entries fit fewer than three times in a page is refused
//   (20060) before an insert changes anything.
// - Every page an operation takes is released and every key block freed before it
//   returns, also when it fails; changed pages stay private to the session, so its
//   rollback restores the tree.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQKeyRef.h"
#include "engine/storage/ORQPage.h"

namespace orq {

inline constexpr uint16_t BTreePageType = 12;
inline constexpr int32_t BTreeBaseHeaderSize = 18;

// Search condition codes of FindKey.
inline constexpr int32_t scNone = 0;
inline constexpr int32_t scEqual = 1;
inline constexpr int32_t scLess = 2;
inline constexpr int32_t scGreater = 3;
inline constexpr int32_t scLessOrEqual = 4;
inline constexpr int32_t scGreaterOrEqual = 5;

// FindEntry's modes and outcomes.
inline constexpr int32_t feLeftmost = 0;
inline constexpr int32_t feRightmost = 1;
inline constexpr int32_t feAny = 2;
inline constexpr int32_t feFound = 1;
inline constexpr int32_t feNotFound = 2;
inline constexpr int32_t feEmpty = 5;

class TORQBTreePage;

// Hands the page back to its manager and frees the view.
struct TORQBTreePageRelease {
    void operator()(TORQBTreePage* Page) const noexcept;
};
using TORQBTreePageHolder = std::unique_ptr<TORQBTreePage, TORQBTreePageRelease>;

class TORQBTreePageController {
public:
    explicit TORQBTreePageController(TORQBTreePage& Page) : FPage(Page) {}
    virtual ~TORQBTreePageController() = default;

    virtual int CompareWithEntry(bool FullCompare, int32_t SessionID, int32_t Index, const uint8_t* Value,
                                 const uint8_t* Key) = 0;
    virtual void Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) = 0;
    virtual bool Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) = 0;
    virtual void FreePages(int32_t SessionID, bool KeepRoot) = 0;
    virtual void CheckIntegrity(int32_t SessionID, TORQKeyPath& Path) = 0;
    virtual bool FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) = 0;
    virtual bool First(int32_t SessionID, TORQKeyPath& Path) = 0;
    virtual bool Last(int32_t SessionID, TORQKeyPath& Path) = 0;
    virtual bool FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition,
                         const uint8_t* Key) = 0;
    virtual void GetFirstKey(int32_t SessionID, uint8_t* Key) = 0;
    virtual void GetLastKey(int32_t SessionID, uint8_t* Key) = 0;
    virtual void GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) = 0;
    virtual void GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) = 0;

    // Binary search from Start (0 on leaves, 1 on inner pages); Outcome feFound with the
    // leftmost, rightmost or any equal entry by Mode, else feNotFound with the first
    // entry above Key, or feEmpty and 0. A Value breaks ties through CompareWithEntry.
    int32_t FindEntry(bool FullCompare, int32_t SessionID, int32_t Mode, int32_t Start, const uint8_t* Value,
                      const uint8_t* Key, int32_t& Outcome);
    int CompareKeyAt(bool FullCompare, int32_t SessionID, int32_t Index, const uint8_t* Key);
    int CompareValueAt(const uint8_t* Value, int32_t Index);
    // A nil Key leaves an all-zero key. The buffer grows by one entry when the page is full.
    void InsertEntryAt(const uint8_t* Key, const uint8_t* Value, int32_t Pos);
    // 20025 on an empty page.
    void RemoveEntryAt(int32_t Pos);
    void Split(int32_t SessionID, TORQKeyPath& Path);
    bool MergeWithSibling(int32_t SessionID, TORQKeyPath& Path);

protected:
    void SplitPage(int32_t SessionID, TORQKeyPath& Path);
    void SplitRoot(int32_t SessionID, TORQKeyPath& Path);
    bool TryMergeWith(int32_t SessionID, TORQKeyPath& Path, int32_t NeighbourNo, bool IsLeft);
    void MergeIntoPrev(int32_t SessionID, TORQKeyPath& Path, TORQBTreePage& Prev);
    void MergeIntoNext(int32_t SessionID, TORQKeyPath& Path, TORQBTreePage& Next);

    TORQBTreePage& FPage;
};

class TORQBTreeLeafController : public TORQBTreePageController {
public:
    using TORQBTreePageController::TORQBTreePageController;

    int CompareWithEntry(bool FullCompare, int32_t SessionID, int32_t Index, const uint8_t* Value,
                         const uint8_t* Key) override;
    void Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    bool Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    void FreePages(int32_t SessionID, bool KeepRoot) override;
    void CheckIntegrity(int32_t SessionID, TORQKeyPath& Path) override;
    bool FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    bool First(int32_t SessionID, TORQKeyPath& Path) override;
    bool Last(int32_t SessionID, TORQKeyPath& Path) override;
    bool FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition, const uint8_t* Key) override;
    void GetFirstKey(int32_t SessionID, uint8_t* Key) override;
    void GetLastKey(int32_t SessionID, uint8_t* Key) override;
    void GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) override;
    void GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) override;

private:
    // The index of the entry holding exactly (Key, Value), or -1.
    int32_t FindExact(int32_t SessionID, const uint8_t* Key, const uint8_t* Value);
    int32_t FindFirstMatching(int32_t SessionID, int32_t Condition, const uint8_t* Key);
    int32_t FindLastMatching(int32_t SessionID, int32_t Condition, const uint8_t* Key);
    void CopyEntry(int32_t Index, uint8_t* Key, uint8_t* Value);
};

class TORQBTreeNodeController : public TORQBTreePageController {
public:
    using TORQBTreePageController::TORQBTreePageController;

    int CompareWithEntry(bool FullCompare, int32_t SessionID, int32_t Index, const uint8_t* Value,
                         const uint8_t* Key) override;
    void Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    bool Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    void FreePages(int32_t SessionID, bool KeepRoot) override;
    void CheckIntegrity(int32_t SessionID, TORQKeyPath& Path) override;
    bool FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value) override;
    bool First(int32_t SessionID, TORQKeyPath& Path) override;
    bool Last(int32_t SessionID, TORQKeyPath& Path) override;
    bool FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition, const uint8_t* Key) override;
    void GetFirstKey(int32_t SessionID, uint8_t* Key) override;
    void GetLastKey(int32_t SessionID, uint8_t* Key) override;
    void GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) override;
    void GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value) override;

    void InsertSeparator(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, int32_t ChildPageNo);
    // Removes the entry recorded at the path's current level after its child merged into
    // a neighbour. SeparatorKey is the merged-into-next case's new lower bound of the
    // neighbour's subtree (the first key of the entries it received).
    void RemoveChildEntry(int32_t SessionID, TORQKeyPath& Path, bool MergedIntoPrev, const uint8_t* SeparatorKey);

private:
    void ChildRange(int32_t SessionID, int32_t Condition, const uint8_t* Key, int32_t& FirstChild,
                    int32_t& LastChild);
    void CollapseRoot(int32_t SessionID);
};

class TORQBTreePage : public TORQPageController {
public:
    TORQBTreePage(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, TORQPage* Page = nullptr);
    TORQBTreePage(const TORQBTreePage&) = delete;
    TORQBTreePage& operator=(const TORQBTreePage&) = delete;

    TORQPageManager& PageManager() const { return FPageManager; }
    TORQBTreeKeyRef& KeyRef() const { return FKeyRef; }

    // Header fields.
    bool IsRoot() const { return GetData()[0] != 0; }
    void SetIsRoot(bool Value) { GetData()[0] = Value ? 1 : 0; }
    bool IsLeaf() const { return GetData()[1] != 0; }
    void SetIsLeaf(bool Value) { GetData()[1] = Value ? 1 : 0; }
    int32_t PrevPageNo() const;
    void SetPrevPageNo(int32_t PageNo);
    int32_t NextPageNo() const;
    void SetNextPageNo(int32_t PageNo);
    void SetRootLeafMark(bool Value) { GetData()[10] = Value ? 1 : 0; }
    bool TrailerFlag() const { return GetData()[11] != 0; }
    void SetTrailerFlag(bool Value) { GetData()[11] = Value ? 1 : 0; }
    uint16_t KeySize() const;
    void SetKeySize(uint16_t Size);
    int32_t EntryCount() const;
    void SetEntryCount(int32_t Count);
    uint16_t ExtraSize() const;
    void SetExtraSize(uint16_t Size);

    int32_t ValueSize() const { return IsLeaf() ? FKeyRef.ValueSize : 4; }
    int32_t EntrySize() const { return KeySize() + ValueSize() + (TrailerFlag() ? 6 : 0); }
    int32_t HeaderSize() const { return BTreeBaseHeaderSize + ExtraSize(); }

    void InitHeader();
    void InitRootLeaf();

    uint8_t* KeyAt(int32_t Index) const { return GetData() + HeaderSize() + Index * EntrySize(); }
    uint8_t* ValueAt(int32_t Index) const { return KeyAt(Index) + KeySize(); }
    void SetKeyAt(int32_t Index, const uint8_t* Key);
    void SetValueAt(int32_t Index, const uint8_t* Value);
    // The child page number of inner entry Index.
    int32_t ChildAt(int32_t Index) const;

    // Header and entries First .. First + N - 1 of Source; the rest of the entry area is zeroed.
    void CopyEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N);
    void AppendEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N);
    void PrependEntriesFrom(const TORQBTreePage& Source, int32_t First, int32_t N);
    // Zeroes the entry area from entry Index to the end of the page's data area.
    void ZeroEntriesFrom(int32_t Index);

    bool HasRoom() const;
    bool IsOverfull() const;
    bool IsUnderfull() const;
    // Whether this page's entries and Neighbour's fit in one page; an empty page always does.
    bool CanMergeWith(const TORQBTreePage& Neighbour) const;

    TORQBTreePageHolder NewPage(int32_t SessionID) const;
    TORQBTreePageHolder LoadPage(int32_t SessionID, int32_t PageNo) const;
    void FreePage(int32_t SessionID, int32_t PageNo) const;
    // 31004 for a page whose header describes entries outside it or of another key size.
    static TORQBTreePageHolder Load(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID,
                                    int32_t PageNo);
    void CheckHeader() const;
    static TORQBTreePageHolder New(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID);
    void MarkModified() { SetModified(true); }

    // Dispatchers to the leaf or the inner-page controller.
    void Insert(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value);
    bool Delete(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value);
    bool FindRecord(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, const uint8_t* Value);
    bool First(int32_t SessionID, TORQKeyPath& Path);
    bool Last(int32_t SessionID, TORQKeyPath& Path);
    bool FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition, const uint8_t* Key);
    void FreePages(int32_t SessionID, bool KeepRoot);
    void CheckIntegrity(int32_t SessionID, TORQKeyPath& Path);
    void GetFirstKey(int32_t SessionID, uint8_t* Key);
    void GetLastKey(int32_t SessionID, uint8_t* Key);
    void GetFirstEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value);
    void GetLastEntry(int32_t SessionID, uint8_t* Key, uint8_t* Value);
    // Inner pages only: 20020 and 20024 "Internal index error" on a leaf.
    void InsertSeparator(int32_t SessionID, const uint8_t* Key, TORQKeyPath& Path, int32_t ChildPageNo);
    void RemoveChildEntry(int32_t SessionID, TORQKeyPath& Path, bool MergedIntoPrev, const uint8_t* SeparatorKey);

    TORQBTreePageController& Controller() {
        return IsLeaf() ? static_cast<TORQBTreePageController&>(FLeaf) : FNode;
    }

private:
    TORQBTreeKeyRef& FKeyRef;
    TORQPageManager& FPageManager;
    TORQBTreeLeafController FLeaf;
    TORQBTreeNodeController FNode;
};

// 20060 when an entry of KeyRef (leaf or inner) fits fewer than three times in DataSize.
void CheckKeyRefFitsPage(const TORQBTreeKeyRef& KeyRef, int32_t DataSize);

// Steps a path to the next (prior) leaf entry over the same-level page chains. False,
// and the path unchanged, at the last (first) entry. An empty path raises PositionCode
// "Index error: invalid position"; a -1 link PageCode "Index error: invalid page number";
// a page reached with no entries PositionCode.
bool StepKeyPathNext(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID, TORQKeyPath& Path,
                     int32_t PositionCode, int32_t PageCode);
bool StepKeyPathPrior(TORQPageManager& PageManager, TORQBTreeKeyRef& KeyRef, int32_t SessionID, TORQKeyPath& Path,
                      int32_t PositionCode, int32_t PageCode);

}  // namespace orq
