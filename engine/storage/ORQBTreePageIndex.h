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
// - The room summary mirrors every listed page's amount in memory, so that finding a page
//   with room is a look-up. It is built from the tree on first use and kept in step with
//   every change made through this object; a change that fails half-way, a new, emptied or
//   dropped tree, a new root and any session's rollback on the page manager (its discard
//   generation) make it stale, and it is built again on next use. A page it offers is
//   checked against the session's own view of the tree before it is given, so a summary
//   that another process made stale can cost room, never a wrong page.
// - A summary in step can be taken out when the table closes and given to the next open of
//   the same tree (TakeSummary / AdoptSummary): it is adopted only for the same root and
//   while no rollback has happened on the page manager since it was taken; the owner
//   checks that the table's change stamp has not moved.
#pragma once

#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQBTreePage.h"
#include "engine/storage/ORQKeyRef.h"
#include "engine/storage/ORQPage.h"

namespace orq {

// A room summary kept between two opens of a table (see the rules above).
struct TORQRoomSummary {
    bool Valid = false;
    int32_t RootPageNo = -1;
    uint64_t Generation = 0;
    std::unordered_map<int32_t, uint16_t> Amounts;
    std::set<std::pair<uint16_t, int32_t>> ByAmount;
};

class TORQBTreePageIndex {
public:
    explicit TORQBTreePageIndex(TORQPageManager& PageManager);
    virtual ~TORQBTreePageIndex() = default;
    TORQBTreePageIndex(const TORQBTreePageIndex&) = delete;
    TORQBTreePageIndex& operator=(const TORQBTreePageIndex&) = delete;

    virtual bool CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const = 0;
    // The largest current amount for which CanAdd(amount, AmountToAdd) holds; -1 for none.
    virtual int32_t MaxAmountWithRoom(int32_t AmountToAdd) const = 0;

    void CreateIndex(int32_t SessionID);
    void DropIndex(int32_t SessionID);
    void EmptyIndex(int32_t SessionID);
    void SetRootPageNo(int32_t PageNo) {
        FRootPageNo = PageNo;
        InvalidateSummary();
    }
    int32_t RootPageNo() const { return FRootPageNo; }

    bool First(int32_t SessionID, TORQKeyPath& Path);
    bool Last(int32_t SessionID, TORQKeyPath& Path);
    bool Next(int32_t SessionID, TORQKeyPath& Path);
    bool Prior(int32_t SessionID, TORQKeyPath& Path);
    bool FindKey(int32_t SessionID, int32_t PageNo, TORQKeyPath& Path);
    int32_t GetKey(int32_t SessionID, const TORQKeyPath& Path);
    uint16_t GetAmount(int32_t SessionID, const TORQKeyPath& Path);
    void SetAmount(int32_t SessionID, const TORQKeyPath& Path, uint16_t Amount);

    // Offers any listed page with room: the fullest one that still takes AmountToAdd (of
    // equal ones, the highest number), so freed room is filled as densely as new pages.
    bool FindPageWithRoom(int32_t SessionID, int32_t AmountToAdd, int32_t& PageNo);
    void AddAmount(int32_t SessionID, int32_t Amount, int32_t PageNo);
    // NewAmount below 0 subtracts Amount; 0 removes the entry; otherwise it is stored.
    void SubtractAmount(int32_t SessionID, int32_t Amount, int32_t NewAmount, int32_t PageNo);

    TORQPageKeyRef& KeyRef() { return FKeyRef; }
    TORQPageManager& PageManager() const { return FPageManager; }

    // The room summary as (page number, amount) in page order, built first when stale.
    std::vector<std::pair<int32_t, uint16_t>> RoomSummary(int32_t SessionID);
    void InvalidateSummary();
    // Moves the summary out when it is in step (Summary.Valid says so); this index is
    // left without one.
    void TakeSummary(TORQRoomSummary& Summary);
    // Uses Summary when it was taken from this tree and no rollback came since; true then.
    bool AdoptSummary(TORQRoomSummary&& Summary);
    // How many summaries were built from the tree in this process (all indexes).
    static int64_t SummaryBuilds();

protected:
    TORQBTreePageHolder LoadRoot(int32_t SessionID);
    // The leaf page of the path's deepest level, its entry number checked (Code otherwise).
    TORQBTreePageHolder LoadLeafAt(int32_t SessionID, const TORQKeyPath& Path, int32_t Code, int32_t& EntryNo);

    int32_t FRootPageNo = -1;
    TORQPageKeyRef FKeyRef;
    TORQPageManager& FPageManager;

private:
    void EnsureSummary(int32_t SessionID);
    // The summary follows a change that reached the tree (an amount of 0: the entry left).
    void NoteAmount(int32_t PageNo, int32_t Amount);
    // Runs Change; a failure leaves the tree in a state the summary cannot tell.
    template <typename TChange>
    void Changing(TChange&& Change);

    bool FSummaryValid = false;
    uint64_t FSummaryGeneration = 0;
    std::unordered_map<int32_t, uint16_t> FAmounts;
    std::set<std::pair<uint16_t, int32_t>> FByAmount;
};

class TORQBTreeRecordPageIndex : public TORQBTreePageIndex {
public:
    using TORQBTreePageIndex::TORQBTreePageIndex;

    bool CanAdd(int32_t CurrentAmount, int32_t AmountToAdd) const override;
    int32_t MaxAmountWithRoom(int32_t AmountToAdd) const override;

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
    int32_t MaxAmountWithRoom(int32_t AmountToAdd) const override;

    bool FindPageWithRoom(int32_t SessionID, int32_t Size, int32_t& PageNo);
    void AddUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo);
    void RemoveUsedSize(int32_t SessionID, int32_t Size, int32_t PageNo);
    // The page's used bytes, or -1 when it has no entry.
    int32_t GetUsedSize(int32_t SessionID, int32_t PageNo);
};

}  // namespace orq
