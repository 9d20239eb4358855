#include "engine/storage/ORQKeyRef.h"

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

void TORQBTreeKeyRef::SetColumnCount(int32_t Count) {
    Columns.resize(static_cast<std::size_t>(Count < 0 ? 0 : Count));
}

uint8_t* TORQBTreeKeyRef::AllocKey() const {
    // A key reference without key bytes still hands out a block the callers can free.
    return static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(KeySize > 0 ? KeySize : 1));
}

uint8_t* TORQBTreeKeyRef::AllocFullKey() const {
    return static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(FullKeySize > 0 ? FullKeySize : 1));
}

void TORQBTreeKeyRef::FreeKey(uint8_t*& Key) { GlobalMemoryManager().FreeAndNillMem(Key); }

TORQKeyBuffer::TORQKeyBuffer(int32_t Size)
    : FKey(static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(Size > 0 ? Size : 1))) {}

TORQKeyBuffer::~TORQKeyBuffer() {
    try {
        TORQBTreeKeyRef::FreeKey(FKey);
    } catch (...) {
        // An overrun found while freeing: the block is released all the same, and a
        // destructor has no caller to tell.
    }
}

int CompareValues(const uint8_t* Value1, const uint8_t* Value2, int32_t Size) {
    if (Size == 6) {
        const auto page1 = static_cast<int32_t>(LoadLE32(Value1));
        const auto page2 = static_cast<int32_t>(LoadLE32(Value2));
        if (page1 != page2) return page1 < page2 ? -1 : 1;
        const uint16_t slot1 = LoadLE16(Value1 + 4);
        const uint16_t slot2 = LoadLE16(Value2 + 4);
        return slot1 == slot2 ? 0 : (slot1 < slot2 ? -1 : 1);
    }
    for (int32_t i = 0; i < Size; ++i)
        if (Value1[i] != Value2[i]) return Value1[i] < Value2[i] ? -1 : 1;
    return 0;
}

TORQPageKeyRef::TORQPageKeyRef() {
    SetColumnCount(1);
    TORQKeyColumn& c = Columns[0];
    c.StoredLength = 4;
    c.FullLength = 4;
    c.DataType = 7;
    ActiveColumnCount = 1;
    KeySize = 4;
    FullKeySize = 4;
    ValueSize = 2;
}

int TORQPageKeyRef::CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t*, const uint8_t*, int32_t,
                                bool) {
    const auto a = static_cast<int32_t>(LoadLE32(Key1));
    const auto b = static_cast<int32_t>(LoadLE32(Key2));
    return a == b ? 0 : (a < b ? -1 : 1);
}

int TORQPageKeyRef::CompareFullKeys(const uint8_t* FullKey1, const uint8_t* FullKey2) {
    return CompareKeys(FullKey1, FullKey2, nullptr, nullptr, -1, false);
}

}  // namespace orq
