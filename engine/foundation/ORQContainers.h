// The small containers shared by the storage engines and the query layers: a growable
// integer array, a bit array with a running count of set bits and a stream form, index
// scan conditions and their array, the cursor's cached index position (with the key
// path it owns), an ordered pointer list, unique names and single-bit helpers.
//
// Invariants:
// - TORQBitsArray: bit i lives in byte i / 8 at bit i % 8 (least significant first);
//   SetBitsCount() is the number of set bits below BitCount(); bits that a growth adds
//   read as 0, including those in the old last byte's padding.
// - A scan condition frees its key only when it owns it (not KeyIsBorrowed); its two
//   registration lists are paired entry by entry and never own their entries.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/ORQExpressionSeam.h"

namespace orq {

class TORQStream;

// Bit N of a byte buffer, bit 0 being the lowest bit of byte 0.
inline bool GetBit(const void* Buffer, int64_t N) {
    return (static_cast<const uint8_t*>(Buffer)[N >> 3] >> (N & 7)) & 1;
}
inline void SetBit(void* Buffer, int64_t N, bool Value = true) {
    uint8_t& b = static_cast<uint8_t*>(Buffer)[N >> 3];
    const uint8_t mask = static_cast<uint8_t>(1u << (N & 7));
    b = Value ? static_cast<uint8_t>(b | mask) : static_cast<uint8_t>(b & ~mask);
}

// Prefix followed by a new random GUID in registry form, upper-case:
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string MakeUniqueName(std::string_view Prefix);

// ---------------------------------------------------------------------------------

// A growable array of 32-bit integers whose capacity moves in doubling steps (grow and
// shrink each start at Step and double up to MaxStep).
class TORQIntegerArray {
public:
    explicit TORQIntegerArray(int32_t InitialCount = 0, int32_t Step = 10, int32_t MaxStep = 100);

    int32_t Count() const { return FCount; }
    int32_t Capacity() const { return FCapacity; }
    // Items that the count exposes read as 0; a count below 0 counts as 0.
    void SetSize(int32_t NewCount);
    void Append(int32_t Value);
    // Later items move down; an index outside 0 .. Count-1 raises std::out_of_range.
    void Delete(int32_t Index);
    bool Contains(int32_t Value) const;

    int32_t& operator[](int32_t Index) { return FItems[CheckedIndex(Index)]; }
    int32_t operator[](int32_t Index) const { return FItems[CheckedIndex(Index)]; }

private:
    std::size_t CheckedIndex(int32_t Index) const;

    std::vector<int32_t> FItems;  // always Capacity long
    int32_t FCount = 0;
    int32_t FGrowStep;
    int32_t FShrinkStep;
    int32_t FMaxStep;
    int32_t FCapacity = 0;
};

// A bit array in an engine memory block of ceil(BitCount / 8) bytes.
// Stream form, little-endian: bit count (int32), set-bit count (int32), then the bit
// bytes when the bit count is above 0.
class TORQBitsArray {
public:
    TORQBitsArray() = default;
    ~TORQBitsArray();
    TORQBitsArray(const TORQBitsArray&) = delete;
    TORQBitsArray& operator=(const TORQBitsArray&) = delete;

    int32_t BitCount() const { return FBitCount; }
    int32_t SetBitsCount() const { return FSetBitsCount; }
    const uint8_t* Bits() const { return FBits; }

    // 0 or less frees the bits. Growth keeps the bits and the set-bit count, and every
    // new bit is 0; shrinking recounts the remaining bits.
    void SetSize(int32_t NewBitCount);
    // 10394 / 10395 "Invalid bit no = %d, number of bits = %d" when Index >= BitCount.
    bool GetBit(int32_t Index) const;
    void SetBit(int32_t Index, bool Value);
    void SetAll();
    // Recounts bit by bit, stores and returns the count.
    int32_t CountSetBits();
    // Position of the set bit numbered K (from 0); 10428 unless K < SetBitsCount().
    int32_t GetSetBitPosition(int32_t K) const;
    // Set bits at positions 0 .. Index, minus one; 10429 unless Index < BitCount().
    int32_t GetBitRank(int32_t Index) const;
    // Lowest index whose bit equals Value.
    bool FindFirst(bool Value, int32_t& Index) const;
    // Next set bit after From (before it when not Forward); with First the scan starts
    // at bit 0 (Forward) or the last bit instead.
    bool FindNextSetBit(bool First, bool Forward, int32_t& Index, int32_t From) const;

    // Codes: 10398 bit count, 10427 set-bit count, 10399 no bits, 10400 the bytes.
    void SaveToStream(TORQStream& Stream) const;
    // Codes: 10401 bit count, 10426 set-bit count, 10402 the bytes. The set-bit count is
    // recounted from the bytes read, so a damaged stream cannot make it lie.
    void LoadFromStream(TORQStream& Stream);

private:
    int32_t ByteCount() const { return static_cast<int32_t>((static_cast<int64_t>(FBitCount) + 7) / 8); }

    uint8_t* FBits = nullptr;
    int32_t FBitCount = 0;
    int32_t FSetBitsCount = 0;
    int64_t FCapacityBytes = 0;  // the block's size; the bytes past ByteCount() are spare
};

// Scan operators of a condition, in index-key order.
enum : uint8_t { scoNone = 0, scoEqual = 1, scoLess = 2, scoGreater = 3, scoLessOrEqual = 4, scoGreaterOrEqual = 5 };

// One condition under which an index can be scanned.
class TORQScanSearchCondition {
public:
    explicit TORQScanSearchCondition(bool KeyIsBorrowed = false) : KeyIsBorrowed(KeyIsBorrowed) {}
    ~TORQScanSearchCondition();
    TORQScanSearchCondition(const TORQScanSearchCondition&) = delete;
    TORQScanSearchCondition& operator=(const TORQScanSearchCondition&) = delete;

    // Takes Source's fields; the key is copied into an engine block of its own (owned),
    // the lists are refilled with Source's entries (shared, not copied).
    void Assign(const TORQScanSearchCondition& Source);
    // Frees an owned key; the condition then has none.
    void FreeKey();

    // Not owned. Without one the condition is a key condition; a key condition that
    // lists nodes (Nodes) was derived from them and their expression still holds them.
    TORQBaseExpression* Expression = nullptr;
    uint8_t Operator = scoNone;
    uint8_t* Key = nullptr;  // engine memory block
    int32_t KeySize = 0;
    int32_t FieldCount = 0;  // index fields the key covers
    int32_t IndexID = -1;
    int32_t Merged = 0;
    // Paired: Nodes[i] is the node of Expressions[i]'s AND tree this condition covers.
    std::vector<TORQBaseExpression*> Expressions;
    std::vector<TORQExprNode*> Nodes;
    bool KeyIsBorrowed;
    bool PartialCompare = false;
};

class TORQScanSearchConditionArray {
public:
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    // 10413 "Invalid item number - ItemNo = %d, ItemCount = %d" outside 0 .. Count-1.
    TORQScanSearchCondition& Items(int32_t Index) const;

    // A new condition for Expression: operator none, no key, nothing covered, no index.
    TORQScanSearchCondition& AddNode(TORQBaseExpression* Expression);
    // A copy of Condition, which needs an expression or an index id (else 10388).
    TORQScanSearchCondition& AddCondition(const TORQScanSearchCondition& Condition);
    // Frees the condition; later ones move down. 10413 outside 0 .. Count-1.
    void Delete(int32_t Index);
    void Clear() { FItems.clear(); }

    // Lets each condition's expression add the conditions its AND tree offers for
    // IndexDefs, then extends every index condition over further key columns with the
    // expressions' help.
    void ChooseIndexes(const TORQIndexDefs& IndexDefs, bool RestrictValue);
    // Removes merged conditions other than A and B, renumbering A and B. The last
    // condition is never examined.
    void RemoveMergedConditions(int32_t& A, int32_t& B);
    // Takes the nodes that conditions A and B cover out of every expression, or puts
    // them back.
    void DetachConditions(int32_t A, int32_t B);
    void AttachConditions(int32_t A, int32_t B);

private:
    void ExtendCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef, int32_t ColumnCount,
                         const std::vector<TORQBaseExpression*>& Expressions);

    std::vector<std::unique_ptr<TORQScanSearchCondition>> FItems;
};

// A position in a B-tree: (page number, entry number, entry count) per level from the
// root down. The tree code of storage steps a path over its pages; what needs no page
// lives here.
//
// Rules kept here:
// - No operation reads or writes a level outside 0 .. MaxLevels - 1: a 33rd Push raises
//   20058, a step of the current level outside 0 .. LevelCount (or a page number asked
//   of a level that holds none) raises 20059. An entry number is not checked against
//   its page here: whoever follows a path into pages checks it against the page's count.
// - Position arithmetic is exact 64-bit integer arithmetic; a result beyond Int64
//   raises classlib::EIntOverflow rather than wrapping.
struct TORQKeyPathLevel {
    int32_t PageNo = 0;
    int32_t EntryNo = 0;
    int32_t EntryCount = 0;
};

class TORQKeyPath {
public:
    static constexpr int32_t MaxLevels = 32;

    TORQKeyPath() = default;
    // Copies count the levels in use only: a step copies paths often, and no level past
    // LevelCount is ever read.
    TORQKeyPath(const TORQKeyPath& Source) { Assign(Source); }
    TORQKeyPath& operator=(const TORQKeyPath& Source) {
        Assign(Source);
        return *this;
    }
    void Clear() {
        LevelCount = 0;
        CurrentLevel = 0;
    }
    void Assign(const TORQKeyPath& Source) {
        if (&Source == this) return;
        const int32_t n = Source.LevelCount < 0 ? 0 : (Source.LevelCount > MaxLevels ? MaxLevels : Source.LevelCount);
        for (int32_t i = 0; i < n; ++i) Levels[i] = Source.Levels[i];
        LevelCount = Source.LevelCount;
        CurrentLevel = Source.CurrentLevel;
    }

    // Writes the level at the current level, then advances the current level and the
    // level count.
    void Push(int32_t PageNo, int32_t EntryNo, int32_t EntryCount);
    void Pop();
    void LevelUp();
    void LevelDown();
    int32_t CurrentPageNo() const;
    bool ContainsPage(int32_t PageNo) const;

    // -1, 0, 1 by the first level whose entry numbers differ; 20051 for paths of
    // different depths, 20052 for a level whose page numbers differ (another tree).
    static int CompareKeyPaths(const TORQKeyPath& Path1, const TORQKeyPath& Path2);
    // The leaf entry's position as a fraction of the tree, in [0, 1); 0 for an empty
    // path. A level whose entry count is not above its entry number raises 20059.
    double RelativePosition() const;
    // The path's digits in base MaxEntries + 1 (each entry number + 1), root first.
    int64_t ToApproxPosition(int32_t MaxEntries) const;
    // The inverse: one level per digit, page number -1, entry number digit - 1 (so a 0
    // digit gives -1, which the page followers refuse), entry count 0; the current level
    // stays 0. A negative position or MaxEntries below 1 raises 20059; more digits than
    // MaxLevels raise 20058.
    void FromApproxPosition(int64_t Position, int32_t MaxEntries);

    TORQKeyPathLevel Levels[MaxLevels] = {};
    int32_t LevelCount = 0;
    int32_t CurrentLevel = 0;
};

// The cursor's last position in an index; reused only while index, record and the
// caller's position stamp all still match.
class TORQIndexPositionCache {
public:
    void Invalidate() {
        IndexID = -1;
        PositionStamp = -1;
        LeafPageNo = -1;
    }

    TORQKeyPath KeyPath;
    int32_t IndexID = -1;
    int32_t RecordPageNo = 0;
    uint16_t RecordSlotNo = 0;
    int64_t PositionStamp = -1;
    // The entries of one leaf of index LeafIndexID as read at LeafStamp (LeafPageNo -1:
    // none), LeafValueSize bytes apart, so that a step within the leaf reads no page.
    int32_t LeafIndexID = -1;
    int32_t LeafPageNo = -1;
    int64_t LeafStamp = -1;
    int32_t LeafValueSize = 0;
    std::vector<uint8_t> LeafValues;
};

// An ordered list of pointers whose order its users keep. An owning list frees its
// items on Delete, Clear and destruction; Assign copies the items when this list owns
// them (so the two lists never free the same item) and shares them otherwise.
template <typename T = std::string>
class TORQSortedStringPtrArray {
public:
    explicit TORQSortedStringPtrArray(bool OwnsItems = false) : FOwnsItems(OwnsItems) {}
    ~TORQSortedStringPtrArray() { Clear(); }
    TORQSortedStringPtrArray(const TORQSortedStringPtrArray&) = delete;
    TORQSortedStringPtrArray& operator=(const TORQSortedStringPtrArray&) = delete;

    bool OwnsItems() const { return FOwnsItems; }
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    T* operator[](int32_t Index) const { return FItems.at(static_cast<std::size_t>(Index)); }

    int32_t Add(T* Item) {
        FItems.push_back(Item);
        return Count() - 1;
    }
    void Insert(int32_t Index, T* Item) {
        if (Index < 0 || Index > Count()) throw std::out_of_range("TORQSortedStringPtrArray::Insert");
        FItems.insert(FItems.begin() + Index, Item);
    }
    void Delete(int32_t Index) {
        T* item = (*this)[Index];
        FItems.erase(FItems.begin() + Index);
        if (FOwnsItems) delete item;
    }
    // Takes the item out without freeing it.
    T* Extract(int32_t Index) {
        T* item = (*this)[Index];
        FItems.erase(FItems.begin() + Index);
        return item;
    }
    int32_t IndexOf(const T* Item) const {
        for (std::size_t i = 0; i < FItems.size(); ++i)
            if (FItems[i] == Item) return static_cast<int32_t>(i);
        return -1;
    }
    void Clear() {
        if (FOwnsItems)
            for (T* item : FItems) delete item;
        FItems.clear();
    }
    void Assign(const TORQSortedStringPtrArray& Source) {
        if (&Source == this) return;
        Clear();
        for (T* item : Source.FItems) FItems.push_back(FOwnsItems && item != nullptr ? new T(*item) : item);
    }

private:
    std::vector<T*> FItems;
    bool FOwnsItems;
};

}  // namespace orq
