// Record pages of disk tables (page type 10) and the disk record manager that spreads a
// table's fixed-size stored records over them, counted per page by the table's record page
// index.
//
// Record page: the 40-byte page header, whose owner-table field (i32 at 22) names the
// table, then the data area of U = page size - 40 bytes. With R the stored record size and
// N = trunc((U - 1) / (R + 0.125)) records per page (computed in floating point):
//   0        B = ceil(N / 8) bytes of slot bitmap: bit s mod 8 of byte s div 8 set = slot s used
//   B        N slots of R bytes, slot s at B + s x R
//   B + N R  unused to the end of U
// A record id is the page number (i32) and the slot (u16); ids order by page, then slot.
//
// Rules kept here:
// - A page view refuses a layout that leaves its data area (20140). Slots at or beyond N,
//   and bitmap bits for them, are never read as records: a damaged page cannot send a
//   copy outside its buffer.
// - A page belongs to the table only while recovery mode is on (or the file predates 2.99),
//   or its stamp is valid, its type is 10 and its owner is the table. A page that fails
//   holds none of the table's records.
// - Next and prior steps leaving a page continue at the neighbouring page by number in the
//   record page index, also when the current page has left the table meanwhile.
// - The record count and change stamp move only after the page and the index took the
//   change. A failure propagates and leaves the session's pages for the caller to roll
//   back; the counters then still match what was committed.
// - Every page taken is released, and every view freed, on every path.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/ORQBTreePageIndex.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQFieldManager.h"
#include "engine/storage/ORQRecordManager.h"

namespace orq {

class TORQStream;

// A view over one record page already taken from the page manager; lives for one step.
class TORQSmallRecordPage {
public:
    static constexpr int32_t OwnerTableOffset = 22;

    // 20140 when the bitmap and N slots of RecordSize bytes do not fit the data area.
    TORQSmallRecordPage(TORQPage* Page, int32_t RecordSize, int32_t RecordsPerPage);

    // The first slot whose bit is clear; false when the page is full.
    bool FindFreeSlot(uint16_t& Slot) const;
    int64_t GetRecordCount() const;
    // 20141 when the page is full.
    void AddRecord(const uint8_t* Record, TORQRecordID& RecordID);
    // The three answer false for a slot that holds no record.
    bool UpdateRecord(const uint8_t* Record, const TORQRecordID& RecordID);
    bool DeleteRecord(const TORQRecordID& RecordID);
    bool ReadRecord(const TORQRecordID& RecordID, uint8_t* Record) const;
    // 20143 on an empty page.
    void GetFirstRecord(TORQRecordID& RecordID) const;
    // 20144 on an empty page.
    void GetLastRecord(TORQRecordID& RecordID) const;
    // The next higher (lower) used slot; false when there is none on this page.
    bool GetNextRecord(TORQRecordID& RecordID) const;
    bool GetPriorRecord(TORQRecordID& RecordID) const;
    // The used slot of 0-based rank N among used slots; 20146 when there is none.
    void GetRecordByIndex(int32_t N, TORQRecordID& RecordID) const;
    int32_t CountUsedSlotsBefore(const TORQRecordID& RecordID) const;

    bool IsSlotUsed(int32_t Slot) const;
    int32_t BitmapSize() const { return FBitmapSize; }
    TORQPage* Page() const { return FPage; }

private:
    uint8_t* SlotAt(int32_t Slot) const;
    TORQRecordID IDOf(int32_t Slot) const;

    TORQPage* FPage;
    int32_t FRecordSize;
    int32_t FRecordsPerPage;
    int32_t FBitmapSize;
};

// Records per page for a data area of DataSize bytes; 0 when one record does not fit.
int32_t RecordsPerRecordPage(int32_t DataSize, int32_t RecordSize);

// A record a stepping read could not deliver and went past.
struct TORQSkippedRecord {
    int32_t PageNo = -1;
    int32_t SlotNo = -1;
    std::string Reason;
    // Taken by the reader's report; kept so that a later step over it is not noted again.
    bool Reported = false;
};

// Called before a record's bytes are delivered, with its page and slot; what it raises is
// that record's read failure. For tests of the reads that go past such records.
void SetRecordReadFaultHook(std::function<void(int32_t PageNo, int32_t SlotNo)> Hook);
// Runs that hook, when set, for a record about to be delivered; the in-memory engine's
// reads call it too (with the slot as PageNo).
void RunRecordReadFaultHook(int32_t PageNo, int32_t SlotNo);

class TORQDiskRecordManager : public TORQBaseRecordManager {
public:
    // The table id is what the owner field of the table's record pages holds.
    TORQDiskRecordManager(TORQDiskPageManager& PageManager, int32_t TableID, TORQBaseFieldManager& FieldManager);
    ~TORQDiskRecordManager() override;

    // 20142 without fields, 20174 when a record does not fit a page.
    void SetRecordLayout(int32_t MemoryRecordSize, int32_t StoredRecordSize, int32_t FieldCount);
    // The change stamp (i32), then the record count (i32), at Position, which moves by 8.
    // 20164 when fewer than 8 bytes are left or the count is negative.
    void LoadState(const uint8_t* Buffer, int32_t& Position, int32_t BufferSize);
    void SaveState(uint8_t* Buffer, int32_t& Position) const;
    void LoadIndexRoot(TORQStream& Stream);
    void SaveIndexRoot(TORQStream& Stream) const;
    // A new, empty record page index for the system session.
    void ResetIndex();
    void DropRecords(int32_t SessionID);

    // RecNo counts from 1; 20113 past the record count, 20146 on a page not the table's.
    void GetRecordIDByRecNo(int32_t SessionID, int64_t RecNo, TORQRecordID& RecordID);
    void GetRecNoByRecordID(int32_t SessionID, const TORQRecordID& RecordID, int64_t& RecNo);
    // A new index from the table's pages as the file holds them; pages that cannot be read
    // or belong elsewhere are skipped.
    void RebuildPageIndex(int32_t SessionID);
    // 20292 when the index's counts do not add up to the record count.
    void CheckRecordCount(int32_t SessionID);

    // Filling a table in one pass (the rebuilds): each record goes to the next slot of a
    // page of the fill's own making, a new page once that one is full, and the record page
    // index learns a page's records when the page is left or EndAppend runs (the fill goes
    // on on the same page). Until then the index lags behind the record count by the page
    // being filled: EndAppend comes before any commit, read or other change. CancelAppend
    // forgets the page: after a failure (the caller rolls the session back) or once the
    // fill is over.
    void AppendRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID);
    void EndAppend(int32_t SessionID);
    void CancelAppend();

    void EmptyRecords(int32_t SessionID) override;
    bool InsertRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) override;
    bool UpdateRecord(int32_t SessionID, const uint8_t* Record, const TORQRecordID& RecordID) override;
    bool DeleteRecord(int32_t SessionID, TORQRecordID& RecordID) override;
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) override;
    int32_t CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) override;
    // Half the record count whatever the id: a scan's estimate needs no page reads.
    int64_t EstimateRecordsBefore(int32_t SessionID, const TORQRecordID& RecordID) override;

    // The ownership test on a page taken from the page manager.
    bool PageBelongsToTable(const TORQPage& Page) const;

    TORQBTreeRecordPageIndex& PageIndex() { return FPageIndex; }
    const TORQBTreeRecordPageIndex& PageIndex() const { return FPageIndex; }
    int32_t RecordsPerPage() const { return FRecordsPerPage; }
    int32_t StoredRecordSize() const { return FStoredRecordSize; }
    int32_t TableID() const { return FTableID; }

    // Set for the full repair's read: a step meeting a record that cannot be delivered
    // notes it in Skipped (once per record) and goes on to the next one, so one bad slot
    // does not end the reading of its table.
    bool SkipUnreadable = false;
    std::vector<TORQSkippedRecord> Skipped;

private:
    class TPageUse;
    // The page when the table could hold records on it: nil for numbers no record page can
    // have and for pages that cannot be read (cut from the file after being freed).
    TORQPage* TryGetPage(int32_t SessionID, int32_t PageNo);
    // Copies the slot into the caller's memory record when one is given; Code when the
    // slot holds no record.
    void DeliverRecord(const TORQSmallRecordPage& View, const TORQRecordID& RecordID, uint8_t* Record, int32_t Code);
    // Delivers Found or, with SkipUnreadable, the first deliverable record past it on the
    // page in the step's direction; false when the page has none left.
    bool DeliverOrSkip(const TORQSmallRecordPage& View, TORQRecordID& Found, uint8_t* Record, int32_t Code,
                       bool Forward);
    // The first (last) deliverable record of a page the index lists; false when none is.
    bool EdgeRecordOf(int32_t SessionID, int32_t PageNo, bool Last, TORQRecordID& RecordID, uint8_t* Record,
                      int32_t Code);
    // The index's nearest page above (below) PageNo by number.
    bool IndexPageAfter(int32_t SessionID, int32_t PageNo, int32_t& Next);
    bool IndexPageBefore(int32_t SessionID, int32_t PageNo, int32_t& Prior);
    // 31000 before SetRecordLayout; 31001 when the field manager's layout differs from it.
    void CheckLayoutSet() const;
    void CheckFieldLayout() const;
    void ToStored(const uint8_t* Memory);
    void ToMemory(uint8_t* Memory) const;
    void CountChange();

    TORQDiskPageManager& FPageManager;
    TORQBaseFieldManager& FFieldManager;
    TORQBTreeRecordPageIndex FPageIndex;
    int32_t FTableID;
    int32_t FRecordsPerPage = 0;
    std::vector<int64_t> FFieldValues;
    int32_t FStoredRecordSize = 0;
    uint8_t* FWorkBuffer = nullptr;  // engine memory, FStoredRecordSize bytes
    int32_t FAppendPage = -1;
    int32_t FAppendCount = 0;   // records on the page
    int32_t FAppendListed = 0;  // of them, those the index counts
};

}  // namespace orq
