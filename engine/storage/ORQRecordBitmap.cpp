#include "engine/storage/ORQRecordBitmap.h"

#include <limits>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

// The bit array counts in 32 bits; a number it cannot hold is refused, never wrapped.
int32_t BitNumber(int64_t Number) {
    if (Number < 0 || Number >= std::numeric_limits<int32_t>::max())
        RaiseNativeFmt(30970, "Record number %d is beyond the record bitmap's range", {Number});
    return static_cast<int32_t>(Number);
}

}  // namespace

TORQRecordBitmap::TORQRecordBitmap(TORQTableData* TableData) : TableData(TableData) {
    if (TableData == nullptr) RaiseNative(10425, "Nil pointer occured");
}

void TORQRecordBitmap::SetSize(int64_t BitCount) { Bits.SetSize(BitCount <= 0 ? 0 : BitNumber(BitCount)); }

void TORQRecordBitmap::Reset() {
    Complete = 0;
    Bits.SetSize(0);
}

void TORQRecordBitmap::SetAll() { Bits.SetAll(); }

bool TORQRecordBitmap::IsStale() const {
    return TableData->RecordManager == nullptr || TableData->RecordManager->ChangeStamp != ChangeStamp;
}

void TORQRecordBitmap::SetBitAt(int64_t Number, bool Value) {
    const int32_t n = BitNumber(Number);
    if (n >= Bits.BitCount()) {
        if (!Value) return;
        Bits.SetSize(n + 1);
    }
    Bits.SetBit(n, Value);
}

bool TORQRecordBitmap::IsSetAt(int64_t Number) const {
    return Number >= 0 && Number < Bits.BitCount() && Bits.GetBit(static_cast<int32_t>(Number));
}

bool TORQRecordBitmap::FindNextAt(bool FromStart, bool Forward, int64_t From, int64_t& Number) const {
    const int64_t size = Bits.BitCount();
    if (size == 0) return false;
    int32_t found = 0;
    if (!FromStart) {
        // Past either end the search starts at that end.
        if (Forward && From < -1) From = -1;
        if (!Forward && From > size) From = size;
        if (Forward ? From + 1 >= size : From - 1 < 0) return false;
    }
    if (!Bits.FindNextSetBit(FromStart, Forward, found, FromStart ? 0 : static_cast<int32_t>(From))) return false;
    Number = found;
    return true;
}

void TORQRecordBitmap::SetBits(const TORQRecordID& RecordID) {
    if (IndexOrder != 0) {
        Reset();
        return;
    }
    SetBitAt(TableData->RecordIdToNumber(RecordID), true);
}

void TORQRecordBitmap::ClearBits(const TORQRecordID& RecordID) {
    if (IndexOrder != 0) {
        Reset();
        return;
    }
    SetBitAt(TableData->RecordIdToNumber(RecordID), false);
}

int64_t TORQRecordBitmap::PathToPosition(int32_t IndexID, const TORQKeyPath& KeyPath) const {
    return TableData->KeyPathToPosition(IndexID, KeyPath);
}

void TORQRecordBitmap::PositionToPath(int32_t IndexID, int64_t Position, TORQKeyPath& KeyPath) const {
    TableData->PositionToKeyPath(IndexID, KeyPath, Position);
}

void TORQRecordBitmap::SetBitAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) {
    SetBitAt(PathToPosition(IndexID, KeyPath), true);
}

void TORQRecordBitmap::ClearBitAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) {
    SetBitAt(PathToPosition(IndexID, KeyPath), false);
}

bool TORQRecordBitmap::IsSetAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) const {
    return IsSetAt(PathToPosition(IndexID, KeyPath));
}

namespace {

int64_t RecNoOfBit(const TORQBitsArray& Bits, int64_t Number) {
    if (Number < 0 || Number >= Bits.BitCount()) return -1;
    return static_cast<int64_t>(Bits.GetBitRank(static_cast<int32_t>(Number))) + 1;
}

}  // namespace

int64_t TORQRecordBitmap::GetRecNo(const TORQRecordID& RecordID) const {
    return RecNoOfBit(Bits, TableData->RecordIdToNumber(RecordID));
}

int64_t TORQRecordBitmap::GetRecNoAtPath(int32_t IndexID, const TORQKeyPath& KeyPath) const {
    return RecNoOfBit(Bits, PathToPosition(IndexID, KeyPath));
}

bool TORQRecordBitmap::GotoRecNo(int64_t RecNo, TORQRecordID& RecordID) const {
    if (RecNo < 1 || RecNo > Count()) return false;
    RecordID = TableData->NumberToRecordId(Bits.GetSetBitPosition(static_cast<int32_t>(RecNo - 1)));
    return true;
}

bool TORQRecordBitmap::GotoRecNoAtPath(int32_t IndexID, TORQKeyPath& KeyPath, int64_t RecNo) const {
    if (RecNo < 1 || RecNo > Count()) return false;
    PositionToPath(IndexID, Bits.GetSetBitPosition(static_cast<int32_t>(RecNo - 1)), KeyPath);
    return true;
}

bool TORQRecordBitmap::FindNext(bool FromStart, bool Forward, TORQRecordID& RecordID,
                                const TORQRecordID& Position) const {
    int64_t n = 0;
    if (!FindNextAt(FromStart, Forward, FromStart ? 0 : TableData->RecordIdToNumber(Position), n)) return false;
    RecordID = TableData->NumberToRecordId(n);
    return true;
}

bool TORQRecordBitmap::FindNextAtPath(bool FromStart, bool Forward, int32_t IndexID, TORQKeyPath& KeyPath,
                                      const TORQKeyPath& Current) const {
    int64_t n = 0;
    if (!FindNextAt(FromStart, Forward, FromStart ? 0 : PathToPosition(IndexID, Current), n)) return false;
    PositionToPath(IndexID, n, KeyPath);
    return true;
}

}  // namespace orq
