// The page-number indexes of a disk table: B+ trees keyed by the Int32 number of a data
// page, whose leaf value is a 16-bit amount. TORQBTreeRecordPageIndex keeps one entry
// per record page with its record count; TORQBTreeBlobPageIndex one entry per shared
// BLOB page with its used bytes. The base holds the tree and the generic operations;
// CanAdd decides when a page still has room.
//
// Rules kept here:
// - A data page has at most one entry; an amount of 0 removes it.
// - An amount never leaves 0 .. 65535: a subtraction below 0 or a sum beyond 16 bits
//   raises 20061 and stores nothing.
// - Every page loaded is released before return, also on failure; a path's entry number
//   is checked against its page's entry count before it is read.
// - The record page index's walks along the leaves check that page numbers keep rising
//   (falling, backwards): a damaged chain gives 31005, never pages counted twice.
#pragma once

#include <cstdint>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQBTreePage.h"
#include "engine/storage/ORQKeyRef.h"
#include "engine/storage/ORQPage.h"

namespace orq {

class TORQBTreePageIndex {
public:
    explicit TORQBTreePageIndex(TORQPageManager& PageManager);
    virtual ~TORQBTreePageIndex() = default;
    TORQBTreePageIndex(const TORQBTreePageIndex&) = delete;
    TORQBTreePageIndex& operator=(const TORQBTreePageIndex&) = delete;

    virtual bool CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const = 0;

    void CreateIndex(int32_t SessionID);
    void DropIndex(int32_t SessionID);
    void EmptyIndex(int32_t SessionID);
    void SetRootPageNo(int32_t PageNo) { FRootPageNo = PageNo; }
    int32_t RootPageNo() const { return FRootPageNo; }

    bool First(int32_t SessionID, TORQKeyPath& Path);
    bool Last(int32_t SessionID, TORQKeyPath& Path);
    bool Next(int32_t SessionID, TORQKeyPath& Path);
    bool Prior(int32_t SessionID, TORQKeyPath& Path);
    bool FindKey(int32_t SessionID, int32_t PageNo, TORQKeyPath& Path);
    int32_t GetKey(int32_t SessionID, const TORQKeyPath& Path);
    uint16_t GetAmount(int32_t SessionID, const TORQKeyPath& Path);
    void SetAmount(int32_t SessionID, const TORQKeyPath& Path, uint16_t Amount);

    // Offers only the last and the first leaf page, the last one first.
    bool FindPageWithRoom(int32_t SessionID, int32_t AmountToAdd, int32_t& PageNo);
    void AddAmount(int32_t SessionID, int32_t Amount, int32_t PageNo);
    // NewAmount below 0 subtracts Amount; 0 removes the entry; otherwise it is stored.
    void SubtractAmount(int32_t SessionID, int32_t Amount, int32_t NewAmount, int32_t PageNo);

    TORQPageKeyRef& KeyRef() { return FKeyRef; }
    TORQPageManager& PageManager() const { return FPageManager; }

protected:
    TORQBTreePageHolder LoadRoot(int32_t SessionID);
    // The leaf page of the path's deepest level, its entry number checked (Code otherwise).
    TORQBTreePageHolder LoadLeafAt(int32_t SessionID, const TORQKeyPath& Path, int32_t Code, int32_t& EntryNo);

    int32_t FRootPageNo = -1;
    TORQPageKeyRef FKeyRef;
    TORQPageManager& FPageManager;
};

class TORQBTreeRecordPageIndex : public TORQBTreePageIndex {
public:
    using TORQBTreePageIndex::TORQBTreePageIndex;

    bool CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const override;

    bool FindPageWithRoom(int32_t SessionID, int32_t& PageNo);
    void AddRecords(int32_t SessionID, int32_t PageNo, int32_t Count);
    // 0 removes the page's entry; a negative count subtracts one record.
    void SetRecordCount(int32_t SessionID, int32_t PageNo, int32_t Count);
    bool FirstPage(int32_t SessionID, int32_t& PageNo);
    bool LastPage(int32_t SessionID, int32_t& PageNo);
    bool NextPage(int32_t SessionID, int32_t PageNo, int32_t& Next);
    bool PriorPage(int32_t SessionID, int32_t PageNo, int32_t& Prior);
    // The page holding the N-th record (0-based, page-number order) and its ordinal there.
    void FindPageByRecordOrdinal(int32_t SessionID, int32_t& PageNo, int32_t& Ordinal, int64_t N);
    void CountRecordsBefore(int32_t SessionID, int32_t PageNo, int64_t& Result, int64_t Offset);
    int64_t CheckRecordCount(int32_t SessionID, int64_t Expected);

    int32_t RecordsPerPage = 0;
};

class TORQBTreeBlobPageIndex : public TORQBTreePageIndex {
public:
    using TORQBTreePageIndex::TORQBTreePageIndex;

    bool CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const override;

    bool FindPageWithRoom(int32_t SessionID, int32_t Size, int32_t& PageNo);
    void AddUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo);
    void RemoveUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo);
    // The page's used bytes, or -1 when it has no entry.
    int32_t GetUsedSize(int32_t SessionID, int32_t PageNo);
};

}  // namespace orq
