// TORQRecordBitmap: a cursor's set of records that pass its filters, range and distinct
// key, one bit per record. Bit n stands either for physical record number n (the table
// data's RecordIdToNumber) or, in an index-ordered bitmap, for key position n of the
// cursor's index (a key path's position with the index's page fan-out as base).
//
// Rules kept here:
// - Complete means every record of the table has been examined; the bitmap answers
//   counts, record numbers and navigation only then. It is stale while the record
//   manager's change stamp differs from ChangeStamp (-1 at creation, so a new bitmap is
//   stale), and is refilled before its next use.
// - Setting a bit by number grows the bit count to number + 1, so a table whose record
//   numbers run past its record count (slots freed by deletes) still fits. Record
//   numbers beyond the bit array's 32-bit range raise 30970.
// - Changing one record of an index-ordered bitmap cannot move the positions of the
//   others, so SetBits and ClearBits only empty such a bitmap.
// - A number or position beyond the bit count holds no record: GetRecNo answers -1.
#pragma once

#include <cstdint>

#include "engine/foundation/ORQContainers.h"

namespace orq {

class TORQTableData;
struct TORQRecordID;

class TORQRecordBitmap {
public:
    // 10425 for a nil table data.
    explicit TORQRecordBitmap(TORQTableData* TableData);
    TORQRecordBitmap(const TORQRecordBitmap&) = delete;
    TORQRecordBitmap& operator=(const TORQRecordBitmap&) = delete;

    void SetSize(int64_t BitCount);
    // Not complete, no bits; order and stamp stay.
    void Reset();
    void SetAll();
    int64_t Count() const { return Bits.SetBitsCount(); }
    int64_t Size() const { return Bits.BitCount(); }
    bool IsStale() const;

    // By physical number; an index-ordered bitmap is only reset.
    void SetBits(const TORQRecordID& RecordID);
    void ClearBits(const TORQRecordID& RecordID);
    // By the key path's position in index IndexID.
    void SetBitAtPath(int32_t IndexID, const TORQKeyPath& KeyPath);
    void ClearBitAtPath(int32_t IndexID, const TORQKeyPath& KeyPath);
    bool IsSetAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) const;

    // 1-based number among the set bits up to and including the record's bit; -1 when
    // its number (or position) lies beyond the bit count.
    int64_t GetRecNo(const TORQRecordID& RecordID) const;
    int64_t GetRecNoAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) const;
    // The record of the RecNo-th set bit; false, RecordID untouched, outside 1 .. Count.
    bool GotoRecNo(int64_t RecNo, TORQRecordID& RecordID) const;
    bool GotoRecNoAtPath(int32_t IndexID, TORQKeyPath& KeyPath, int64_t RecNo) const;
    // The next set bit after Position's number in the direction, or the first (last)
    // one when FromStart; false when there is none.
    bool FindNext(bool FromStart, bool Forward, TORQRecordID& RecordID, const TORQRecordID& Position) const;
    bool FindNextAtPath(bool FromStart, bool Forward, int32_t IndexID, TORQKeyPath& KeyPath,
                        const TORQKeyPath& Current) const;

    // Bit Number (physical number or key position), growing the bits when needed.
    void SetBitAt(int64_t Number, bool Value);
    bool IsSetAt(int64_t Number) const;
    // The next set bit after From in the direction (From may lie beyond the bits), or
    // the first (last) one when FromStart.
    bool FindNextAt(bool FromStart, bool Forward, int64_t From, int64_t& Number) const;

    // Key path <-> key position in an open index of the table.
    int64_t PathToPosition(int32_t IndexID, const TORQKeyPath& KeyPath) const;
    void PositionToPath(int32_t IndexID, int64_t Position, TORQKeyPath& KeyPath) const;

    TORQBitsArray Bits;
    TORQTableData* TableData;
    uint8_t Complete = 0;
    uint8_t IndexOrder = 0;
    int32_t ChangeStamp = -1;
};

}  // namespace orq
