// TORQMemoryRecordManager: the in-memory engine's record store. Records live in one
// growable engine-memory block of fixed-size slots; a record id is the slot number
// (PageNo) with SlotNo 0.
//
// Rules kept here:
// - The slot block grows geometrically (at least doubling, never by less than Growth), so
//   loading N records copies O(N) bytes.
// - A record never moves: an insert takes MaxSlot + 1 (slot 0 in an empty table) and a
//   delete only marks its slot free, so freed slots below MaxSlot are never reused.
// - FreeBits holds one bit per slot below Capacity (bit n mod 8 of byte n div 8), set
//   while the slot holds no live record; slots beyond MaxSlot are always free.
// - MinSlot and MaxSlot are the lowest and highest live slots (both 0 when empty).
// - While Contiguous is set (no delete since the table was created or emptied) slot n
//   holds live record number n + 1, so numbering needs no counting.
// - ChangeStamp moves with every insert, update and delete that succeeded, and when
//   the store is emptied.
// - Live record numbers count from 1 in slot order; the numbering skips a byte of
//   slots at a time through the zero-bit table.
#pragma once

#include <array>
#include <cstdint>

#include "engine/storage/ORQRecordManager.h"

namespace orq {

class TORQMemoryRecordManager : public TORQBaseRecordManager {
public:
    // 10011 for a record size of 0 outside design time.
    TORQMemoryRecordManager(int32_t RecordSize, int32_t Growth);
    ~TORQMemoryRecordManager() override;

    void EmptyRecords(int32_t SessionID) override;
    // False (nothing changed) when the slots cannot grow.
    bool InsertRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) override;
    // False for a slot that holds no live record.
    bool UpdateRecord(int32_t SessionID, const uint8_t* Record, const TORQRecordID& RecordID) override;
    // False for a slot that holds no live record. A deleted MaxSlot hands RecordID the
    // previous live slot.
    bool DeleteRecord(int32_t SessionID, TORQRecordID& RecordID) override;
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) override;
    int32_t CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) override;
    int64_t EstimateRecordsBefore(int32_t SessionID, const TORQRecordID& RecordID) override;

    // The estimated live number of the record: 1 at MinSlot, RecordCount at MaxSlot,
    // linear in the slot between them; -1 for an empty table or a slot outside.
    int64_t GetRecordPosition(const TORQRecordID& RecordID) const;
    // The slot of live record number N (from 1), -1 when there is none.
    int32_t SlotOfNumber(int64_t N) const;
    // The live number of slot S, -1 beyond the slots.
    int64_t NumberOfSlot(int32_t S) const;
    bool IsLive(int32_t S) const;
    // The stored bytes of a live slot.
    const uint8_t* SlotData(int32_t S) const { return Slots + static_cast<int64_t>(S) * RecordSize; }

    static TORQRecordID SlotID(int32_t S) { return TORQRecordID{S, 0}; }

    uint8_t* Slots = nullptr;     // engine memory, Capacity x RecordSize bytes
    uint8_t* FreeBits = nullptr;  // engine memory, ceil(Capacity / 8) bytes
    int32_t Capacity = 0;
    int32_t Growth;
    int32_t MinSlot = 0;
    int32_t MaxSlot = 0;
    uint8_t Contiguous = 255;

    // For every byte value, how many of its bits are 0 (live slots).
    static const std::array<uint8_t, 256>& ZeroBitCount();

private:
    // Grows by at least the capacity (doubling), never by less than Growth.
    void Grow();
    void GrowTo(int32_t NewCapacity);
    int32_t LiveInByte(int32_t ByteIndex) const { return ZeroBitCount()[FreeBits[ByteIndex]]; }
};

}  // namespace orq
