#include "engine/storage/ORQMemRecordManager.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQRecordPages.h"

namespace orq {

const std::array<uint8_t, 256>& TORQMemoryRecordManager::ZeroBitCount() {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        for (int v = 0; v < 256; ++v) {
            int zeros = 0;
            for (int b = 0; b < 8; ++b)
                if ((v & (1 << b)) == 0) ++zeros;
            t[static_cast<size_t>(v)] = static_cast<uint8_t>(zeros);
        }
        return t;
    }();
    return table;
}

TORQMemoryRecordManager::TORQMemoryRecordManager(int32_t RecordSize, int32_t Growth) : Growth(Growth) {
    if (RecordSize == 0 && !IsDesignTime()) RaiseNative(10011, "Invalid record size = 0");
    this->RecordSize = RecordSize;
}

TORQMemoryRecordManager::~TORQMemoryRecordManager() {
    GlobalMemoryManager().FreeAndNillMem(Slots);
    GlobalMemoryManager().FreeAndNillMem(FreeBits);
}

void TORQMemoryRecordManager::EmptyRecords(int32_t) {
    GlobalMemoryManager().FreeAndNillMem(Slots);
    GlobalMemoryManager().FreeAndNillMem(FreeBits);
    RecordCount = 0;
    Capacity = 0;
    MinSlot = 0;
    MaxSlot = 0;
    // An empty table is contiguous again: the next insert takes slot 0.
    Contiguous = 255;
    // Emptying changes the records like a delete does: a record bitmap or temporary
    // index made before must see it.
    ++ChangeStamp;
}

void TORQMemoryRecordManager::Grow() {
    if (Growth <= 0 || Capacity > INT32_MAX - Growth)
        RaiseNativeFmt(10126, "Invalid record count = %d. Limit is %d", {Capacity, INT32_MAX});
    // At least doubling keeps a load linear: each record is copied a bounded number of
    // times. When the doubled block cannot be had, one step of Growth is tried still.
    const int32_t step = std::max(Growth, static_cast<int32_t>(std::min<int64_t>(Capacity, INT32_MAX - Capacity)));
    try {
        GrowTo(Capacity + step);
    } catch (const EORQException&) {
        if (step == Growth) throw;
        GrowTo(Capacity + Growth);
    }
}

void TORQMemoryRecordManager::GrowTo(int32_t NewCapacity) {
    const int32_t oldBytes = (Capacity + 7) / 8;
    const int32_t bytes = (NewCapacity + 7) / 8;
    // Both blocks are grown before either is taken, so a refusal leaves the store whole.
    uint8_t* slots = Slots;
    uint8_t* bits = FreeBits;
    if (RecordSize > 0) GlobalMemoryManager().ReallocMem(slots, static_cast<int64_t>(NewCapacity) * RecordSize);
    Slots = slots;
    GlobalMemoryManager().ReallocMem(bits, bytes);
    FreeBits = bits;
    // New slots are free. Bits past the old capacity in its last byte were set when that
    // byte was made and no insert reached them.
    std::memset(FreeBits + oldBytes, 0xFF, static_cast<size_t>(bytes - oldBytes));
    Capacity = NewCapacity;
}

bool TORQMemoryRecordManager::InsertRecord(int32_t, const uint8_t* Record, TORQRecordID& RecordID) {
    const int32_t slot = RecordCount == 0 ? 0 : MaxSlot + 1;
    if (slot >= Capacity) {
        // A refused allocation is the one failure here; the caller reports it.
        try {
            Grow();
        } catch (const EORQException&) {
            return false;
        }
    }
    if (RecordSize > 0)
        std::memcpy(Slots + static_cast<int64_t>(slot) * RecordSize, Record, static_cast<size_t>(RecordSize));
    SetBit(FreeBits, slot, false);
    if (RecordCount == 0) {
        MinSlot = slot;
        MaxSlot = slot;
    } else {
        MaxSlot = slot;
    }
    ++RecordCount;
    ++ChangeStamp;
    RecordID = SlotID(slot);
    return true;
}

bool TORQMemoryRecordManager::IsLive(int32_t S) const {
    return RecordCount > 0 && S >= MinSlot && S <= MaxSlot && !GetBit(FreeBits, S);
}

bool TORQMemoryRecordManager::UpdateRecord(int32_t, const uint8_t* Record, const TORQRecordID& RecordID) {
    const int32_t slot = RecordID.PageNo;
    if (!IsLive(slot)) return false;
    if (RecordSize > 0)
        std::memcpy(Slots + static_cast<int64_t>(slot) * RecordSize, Record, static_cast<size_t>(RecordSize));
    ++ChangeStamp;
    return true;
}

bool TORQMemoryRecordManager::DeleteRecord(int32_t, TORQRecordID& RecordID) {
    const int32_t slot = RecordID.PageNo;
    if (!IsLive(slot)) return false;
    SetBit(FreeBits, slot, true);
    --RecordCount;
    if (RecordCount > 0) {
        if (slot == MinSlot)
            while (GetBit(FreeBits, MinSlot)) ++MinSlot;
        if (slot == MaxSlot) {
            while (GetBit(FreeBits, MaxSlot)) --MaxSlot;
            RecordID = SlotID(MaxSlot);
        }
    } else {
        MinSlot = 0;
        MaxSlot = 0;
    }
    Contiguous = 0;
    ++ChangeStamp;
    return true;
}

void TORQMemoryRecordManager::ReadRecord(int32_t, TORQGetRecordRequest& Request) {
    Request.Result = grError;
    if (RecordCount == 0) {
        Request.Result = grEOF;
        return;
    }
    int32_t slot = -1;
    if (Request.AtBeginning) {
        if (Request.Mode == gmNext) {
            slot = MinSlot;
            Request.AtBeginning = 0;
        } else {
            Request.Result = Request.Mode == gmPrior ? grBOF : grError;
            return;
        }
    } else if (Request.AtEnd) {
        if (Request.Mode == gmPrior) {
            slot = MaxSlot;
            Request.AtEnd = 0;
        } else {
            Request.Result = Request.Mode == gmNext ? grEOF : grError;
            return;
        }
    } else {
        const int32_t current = Request.RecordID.PageNo;
        if (Request.Mode == gmCurrent) {
            if (!IsLive(current)) return;
            slot = current;
        } else if (Request.Mode == gmNext) {
            slot = current < MinSlot ? MinSlot : current + 1;
            while (slot <= MaxSlot && GetBit(FreeBits, slot)) ++slot;
            if (slot > MaxSlot) {
                Request.Result = grEOF;
                return;
            }
        } else if (Request.Mode == gmPrior) {
            slot = current > MaxSlot ? MaxSlot : current - 1;
            while (slot >= MinSlot && GetBit(FreeBits, slot)) --slot;
            if (slot < MinSlot) {
                Request.Result = grBOF;
                return;
            }
        } else {
            return;
        }
    }
    if (Request.RecordBuffer == nullptr) RaiseNative(10019, "Error retrieving record");
    RunRecordReadFaultHook(slot, 0);
    if (RecordSize > 0) std::memcpy(Request.RecordBuffer, SlotData(slot), static_cast<size_t>(RecordSize));
    Request.RecordID = SlotID(slot);
    Request.Result = grOK;
}

int32_t TORQMemoryRecordManager::CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) {
    if (A.PageNo == B.PageNo) return 0;
    return A.PageNo > B.PageNo ? 1 : -1;
}

int64_t TORQMemoryRecordManager::EstimateRecordsBefore(int32_t, const TORQRecordID& RecordID) {
    return GetRecordPosition(RecordID);
}

int64_t TORQMemoryRecordManager::GetRecordPosition(const TORQRecordID& RecordID) const {
    const int32_t s = RecordID.PageNo;
    if (RecordCount == 0 || s < MinSlot || s > MaxSlot) return -1;
    if (RecordCount == 1 || MaxSlot == MinSlot) return 1;
    // The share of the slot range below s, scaled to the records, rounded to nearest
    // (ties to even), from 1; MaxSlot's RecordCount + 1 is cut to RecordCount.
    const long double share = static_cast<long double>(s - MinSlot) / static_cast<long double>(MaxSlot - MinSlot);
    int64_t position = static_cast<int64_t>(std::nearbyint(share * static_cast<long double>(RecordCount))) + 1;
    if (position < 1) position = 1;
    if (position > RecordCount) position = RecordCount;
    return position;
}

int32_t TORQMemoryRecordManager::SlotOfNumber(int64_t N) const {
    if (N < 1 || N > RecordCount) return -1;
    if (Contiguous) return static_cast<int32_t>(N - 1);
    int64_t counted = 0;
    int32_t byte = 0;
    const int32_t bytes = (Capacity + 7) / 8;
    while (byte < bytes && counted + LiveInByte(byte) < N) counted += LiveInByte(byte++);
    for (int32_t s = byte * 8; s < Capacity; ++s)
        if (!GetBit(FreeBits, s) && ++counted == N) return s;
    return -1;
}

int64_t TORQMemoryRecordManager::NumberOfSlot(int32_t S) const {
    if (S < 0 || S >= Capacity) return -1;
    if (Contiguous) return static_cast<int64_t>(S) + 1;
    int64_t counted = 0;
    for (int32_t byte = 0; byte < S / 8; ++byte) counted += LiveInByte(byte);
    for (int32_t s = (S / 8) * 8; s <= S; ++s)
        if (!GetBit(FreeBits, s)) ++counted;
    return counted;
}

}  // namespace orq
