#include "engine/storage/ORQKeyRef.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableData.h"

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

namespace orq {

namespace {

bool RecordFieldIsNull(const uint8_t* Record, int32_t FieldNo) {
    return (Record[FieldNo / 8] >> (FieldNo % 8)) & 1;
}

bool IsStringType(uint8_t Type) { return Type >= 1 && Type <= 4; }
bool IsWideStringType(uint8_t Type) { return Type == 2 || Type == 4; }

// Whether a stored prefix of Chars characters holds no terminator.
bool FillsPrefix(const uint8_t* Value, int32_t Chars, int32_t Width) {
    for (int32_t i = 0; i < Chars; ++i) {
        if (Width == 1 ? Value[i] == 0 : (Value[2 * i] | Value[2 * i + 1]) == 0) return false;
    }
    return true;
}

int Signed(int32_t c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

template <typename T>
int Order(const uint8_t* A, const uint8_t* B) {
    T x, y;
    std::memcpy(&x, A, sizeof x);
    std::memcpy(&y, B, sizeof y);
    return x < y ? -1 : y < x ? 1 : 0;
}

// Two non-Null key values of a fixed-size type, ordered where they stand as
// CompareKeyValues orders them; false for a type left to it.
bool OrderFixed(const uint8_t* A, const uint8_t* B, uint8_t Type, int& Result) {
    switch (Type) {
        case bdtShortInt: Result = Order<int8_t>(A, B); return true;
        case bdtSmallInt: Result = Order<int16_t>(A, B); return true;
        case bdtInteger: case bdtDate: case bdtTime: Result = Order<int32_t>(A, B); return true;
        case bdtLargeInt: Result = Order<int64_t>(A, B); return true;
        case bdtByte: Result = Order<uint8_t>(A, B); return true;
        case bdtWord: Result = Order<uint16_t>(A, B); return true;
        case bdtCardinal: Result = Order<uint32_t>(A, B); return true;
        case bdtDouble: case bdtCurrency: Result = Order<double>(A, B); return true;
        case bdtTimeStamp:
            Result = Order<int32_t>(A, B);
            if (Result == 0) Result = Order<int32_t>(A + 4, B + 4);
            return true;
        default: return false;
    }
}

}  // namespace

void TORQRecordKeyRef::SetColumnCount(int32_t Count) {
    TORQBTreeKeyRef::SetColumnCount(Count);
    PartialLengths.assign(Columns.size(), -1);
}

void TORQRecordKeyRef::BuildFromIndexDef(const TORQIndexDef& IndexDef, TORQTableData* Table) {
    TableData = Table;
    SetColumnCount(IndexDef.GetColumnCount());
    ActiveColumnCount = IndexDef.GetColumnCount();
    KeySize = 0;
    FullKeySize = 0;
    int32_t keyOffset = 0, fullOffset = 0;
    if (!Table || !Table->FieldManager) RaiseNative(20044, "Pointer is nil");
    const TORQFieldDefs& defs = Table->FieldManager->FieldDefs;
    for (int32_t i = 0; i < IndexDef.GetColumnCount(); ++i) {
        const TORQIndexColumn& ic = IndexDef.GetColumn(i);
        const int32_t fieldNo = defs.IndexOfName(ic.FieldName);
        if (fieldNo < 0) RaiseNativeFmt(20043, "Cannot find index field '%s'", {ic.FieldName});
        const TORQFieldDef* f = defs.GetItem(fieldNo);
        if (f->BaseType >= 18 && f->BaseType <= 20)
            RaiseNativeFmt(20295,
                           "Cannot index BLOB field '%s'. Direct indexing of BLOB fields is not supported yet, please "
                           "use CAST(blob_field, string) function to convert BLOB field to a string expression before "
                           "indexing.",
                           {ic.FieldName});
        // A stored size below one would copy a negative length.
        if (ic.MaxIndexedSize < 1)
            RaiseNativeFmt(30921, "Invalid indexed size %d of column '%s' in index '%s'",
                           {ic.MaxIndexedSize, ic.FieldName, IndexDef.Name});
        TORQKeyColumn& c = Columns[static_cast<std::size_t>(i)];
        c.KeyOffset = keyOffset;
        c.FullOffset = fullOffset;
        c.RecordOffset = f->MemoryOffset;
        c.FieldNo = fieldNo;
        if (ic.MaxIndexedSize < f->MemorySize) {
            c.Spare = 2;
            c.StoredLength = ic.MaxIndexedSize + 3;
        } else {
            c.Spare = 0;
            c.StoredLength = f->MemorySize + 1;
        }
        keyOffset += c.StoredLength;
        KeySize += c.StoredLength;
        c.FullLength = f->MemorySize + 1;
        fullOffset += c.FullLength;
        FullKeySize += c.FullLength;
        c.DataType = f->BaseType;
        c.Descending = ic.Descending;
        c.CaseInsensitive = ic.CaseInsensitive;
    }
}

void TORQRecordKeyRef::BuildKey(const uint8_t* Record, uint8_t* Key) {
    CurrentRecord = Record;
    for (const TORQKeyColumn& c : Columns) {
        uint8_t* dest = Key + c.KeyOffset;
        std::memset(dest, 0, static_cast<std::size_t>(c.StoredLength));
        if (RecordFieldIsNull(Record, c.FieldNo)) {
            dest[0] = 1;
            continue;
        }
        std::memcpy(dest + 1, Record + c.RecordOffset, static_cast<std::size_t>(c.StoredLength - c.Spare - 1));
    }
}

void TORQRecordKeyRef::BuildFullKey(const uint8_t* Record, uint8_t* FullKey) {
    for (const TORQKeyColumn& c : Columns) {
        uint8_t* dest = FullKey + c.FullOffset;
        std::memset(dest, 0, static_cast<std::size_t>(c.FullLength));
        if (RecordFieldIsNull(Record, c.FieldNo)) {
            dest[0] = 1;
            continue;
        }
        std::memcpy(dest + 1, Record + c.RecordOffset, static_cast<std::size_t>(c.FullLength - 1));
    }
}

void TORQRecordKeyRef::LoadRecordFullKey(const TORQRecordID& RecordID, uint8_t* FullKey, int32_t SessionID) {
    if (!TableData || !TableData->RecordManager || !TableData->FieldManager)
        RaiseNative(20170, "Cannot retrieve record for index");
    std::vector<uint8_t> buffer(
        static_cast<std::size_t>(std::max(1, TableData->FieldManager->FieldDefs.GetMemoryRecordSize())), 0);
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = RecordID;
    request.RecordBuffer = buffer.data();
    TableData->RecordManager->ReadRecord(SessionID, request);
    if (request.Result != grOK) RaiseNative(20170, "Cannot retrieve record for index");
    BuildFullKey(buffer.data(), FullKey);
}

void TORQRecordKeyRef::SetPartialLengths(const uint8_t* Record, bool Partial) {
    PartialLengths.assign(Columns.size(), -1);
    if (!Partial) return;
    for (std::size_t i = 0; i < Columns.size(); ++i) {
        const TORQKeyColumn& c = Columns[i];
        if (RecordFieldIsNull(Record, c.FieldNo) || !IsStringType(c.DataType)) continue;
        const uint8_t* v = Record + c.RecordOffset;
        const int32_t size = c.FullLength - 1;
        int32_t n = 0;
        if (IsWideStringType(c.DataType)) {
            while ((n + 1) * 2 <= size && (v[n * 2] | v[n * 2 + 1]) != 0) ++n;
        } else {
            while (n < size && v[n] != 0) ++n;
        }
        PartialLengths[i] = n;
    }
}

int TORQRecordKeyRef::CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t* Value2,
                                  const uint8_t* Value1, int32_t SessionID, bool FullCompare) {
    const int32_t active = std::min<int32_t>(ActiveColumnCount, ColumnCount());
    for (int32_t i = 0; i < active; ++i) {
        const TORQKeyColumn& col = Columns[static_cast<std::size_t>(i)];
        const uint8_t* k1 = Key1 + col.KeyOffset;
        const uint8_t* k2 = Key2 + col.KeyOffset;
        const bool null1 = k1[0] == 1, null2 = k2[0] == 1;
        const int32_t partial = PartialLengths.size() > static_cast<std::size_t>(i)
                                    ? PartialLengths[static_cast<std::size_t>(i)]
                                    : -1;
        const int32_t kept = col.StoredLength - col.Spare;
        const int32_t limit = partial < 0 ? -1 : std::min(partial, kept);
        auto cmp = [&](const uint8_t* a, const uint8_t* b, int32_t lim) {
            return Signed(CompareKeyValues(a + 1, b + 1, col.DataType, col.DataType, null1, null2, lim,
                                           col.CaseInsensitive != 0));
        };
        int c = 0;
        if (null1 || null2 || !OrderFixed(k1 + 1, k2 + 1, col.DataType, c)) {
            // Identical text is equal under any collation, and in a run of equal keys most
            // keys compared are.
            const bool same = !null1 && !null2 && IsStringType(col.DataType) &&
                              std::memcmp(k1 + 1, k2 + 1, static_cast<std::size_t>(kept - 1)) == 0;
            if (!same) c = cmp(k1, k2, limit);
        }
        if (col.Spare == 2 && c == 0) {
            if (!FullCompare || !Value2) return 0;
            // Values ending within the kept prefix (or a search limited to it) are equal
            // here; only when a value fills the whole prefix do the records decide. Marking
            // the spare byte and comparing again cannot tell this: the text collation gives
            // a control character no weight.
            const int32_t width = IsWideStringType(col.DataType) ? 2 : 1;
            const int32_t prefixChars = (kept - 1) / width;
            const bool limited = limit >= 0 && limit <= prefixChars;
            // A prefix as long as the field's longest value (a field one character past
            // the indexed size keeps a spare all the same) holds every value whole.
            const bool whole = prefixChars >= (col.FullLength - 1) / width - 1;
            if (limited || whole ||
                (!FillsPrefix(k1 + 1, prefixChars, width) && !FillsPrefix(k2 + 1, prefixChars, width)))
                continue;
            TORQKeyBuffer full1(FullKeySize), full2(FullKeySize);
            if (Value1)
                LoadRecordFullKey(TORQRecordID::FromBytes(Value1), full1.Get(), SessionID);
            else
                BuildFullKey(CurrentRecord, full1.Get());
            LoadRecordFullKey(TORQRecordID::FromBytes(Value2), full2.Get(), SessionID);
            return CompareFullKeys(full1.Get(), full2.Get());
        }
        if (col.Descending) c = -c;
        if (c != 0) return c;
    }
    return 0;
}

int TORQRecordKeyRef::CompareFullKeys(const uint8_t* FullKey1, const uint8_t* FullKey2) {
    const int32_t active = std::min<int32_t>(ActiveColumnCount, ColumnCount());
    for (int32_t i = 0; i < active; ++i) {
        const TORQKeyColumn& col = Columns[static_cast<std::size_t>(i)];
        const uint8_t* a = FullKey1 + col.FullOffset;
        const uint8_t* b = FullKey2 + col.FullOffset;
        const int32_t partial = PartialLengths.size() > static_cast<std::size_t>(i)
                                    ? PartialLengths[static_cast<std::size_t>(i)]
                                    : -1;
        int c = Signed(CompareKeyValues(a + 1, b + 1, col.DataType, col.DataType, a[0] == 1, b[0] == 1, partial,
                                        col.CaseInsensitive != 0));
        if (col.Descending) c = -c;
        if (c != 0) return c;
    }
    return 0;
}

}  // namespace orq
