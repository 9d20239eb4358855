#include "engine/storage/ORQFieldManager.h"

#include <cstring>
#include <limits>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQCursor.h"

namespace orq {

namespace {

constexpr std::string_view SInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";

bool IsOneByteStringType(uint8_t FieldType) { return FieldType == aftChar || FieldType == aftVarChar; }
bool IsWideStringType(uint8_t FieldType) { return FieldType == aftWideChar || FieldType == aftWideVarChar; }

}  // namespace

bool ReadFieldData(int32_t FieldNo, const TORQFieldDefs& FieldDefs, void* Buffer, const uint8_t* Record) {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10000, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    const TORQFieldDef& f = *FieldDefs.GetItem(FieldNo);
    if (Record == nullptr)
        RaiseNativeFmt(10002, "Error getting field data - FieldNo = %d, MemoryOffset = %d, MemoryDataSize = %d",
                       {FieldNo, f.MemoryOffset, f.MemorySize});
    if (GetBit(Record, FieldNo)) return false;
    if (Buffer == nullptr || IsBlobAdvancedType(f.FieldType)) return true;
    const uint8_t* src = Record + f.MemoryOffset;
    switch (f.FieldType) {
        case aftShortInt: {
            const int16_t v = static_cast<int8_t>(src[0]);
            std::memcpy(Buffer, &v, sizeof v);
            break;
        }
        case aftCardinal: {
            const uint64_t v = LoadLE32(src);
            std::memcpy(Buffer, &v, sizeof v);
            break;
        }
        case aftSingle: {
            float s;
            std::memcpy(&s, src, sizeof s);
            const double v = s;
            std::memcpy(Buffer, &v, sizeof v);
            break;
        }
        case aftExtended: {
            const double v = static_cast<double>(UnpackExtended(src));
            std::memcpy(Buffer, &v, sizeof v);
            break;
        }
        default:
            std::memcpy(Buffer, src, static_cast<size_t>(f.MemorySize));
    }
    return true;
}

void WriteFieldData(int32_t FieldNo, const TORQFieldDefs& FieldDefs, const void* Buffer, uint8_t* Record) {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10004, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    const TORQFieldDef& f = *FieldDefs.GetItem(FieldNo);
    const auto* src = static_cast<const uint8_t*>(Buffer);
    const bool setNull = src == nullptr || (IsOneByteStringType(f.FieldType) && src[0] == 0) ||
                         (IsWideStringType(f.FieldType) && src[0] == 0 && src[1] == 0);
    if (setNull) {
        SetBit(Record, FieldNo, true);
        return;
    }
    uint8_t* dest = Record + f.MemoryOffset;
    switch (f.FieldType) {
        case aftShortInt: {
            int16_t v;
            std::memcpy(&v, src, sizeof v);
            dest[0] = static_cast<uint8_t>(v);
            break;
        }
        case aftCardinal:
            std::memcpy(dest, src, 4);
            break;
        case aftSingle: {
            double v;
            std::memcpy(&v, src, sizeof v);
            const float s = static_cast<float>(v);
            std::memcpy(dest, &s, sizeof s);
            break;
        }
        case aftExtended: {
            double v;
            std::memcpy(&v, src, sizeof v);
            PackExtended(v, dest);
            break;
        }
        default:
            std::memcpy(dest, src, static_cast<size_t>(f.MemorySize));
    }
    SetBit(Record, FieldNo, false);
}

bool BuffersEqual(const void* A, const void* B, int64_t N) {
    if (A == nullptr) RaiseNative(10122, "Nil pointer occured");
    if (B == nullptr) RaiseNative(10123, "Nil pointer occured");
    return N <= 0 || std::memcmp(A, B, static_cast<size_t>(N)) == 0;
}

// ---------------------------------------------------------------------------------
// TORQBaseFieldManager

TORQBaseFieldManager::TORQBaseFieldManager(TORQTableData* TableData) : TableData(TableData) {}

TORQBaseFieldManager::~TORQBaseFieldManager() = default;

void TORQBaseFieldManager::CheckAutoincField(int32_t FieldNo) const {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount()) RaiseNativeFmt(30402, "Field #%d not found", {FieldNo});
    if (FieldNo >= static_cast<int32_t>(AutoincValues.size())) RaiseNativeFmt(30403, "Field #%d not found", {FieldNo});
}

int64_t TORQBaseFieldManager::GetNextAutoincValue(int32_t FieldNo) {
    CheckAutoincField(FieldNo);
    const TORQFieldDef& f = *FieldDefs.GetItem(FieldNo);
    int64_t& counter = AutoincValues[static_cast<size_t>(FieldNo)];
    const int64_t step = f.AutoincIncrement != 0 ? f.AutoincIncrement : 1;
    // The step is taken in full range: one that would leave Int64 counts as passing the
    // maximum (a wrapped counter would hand out values already used).
    int64_t next;
    const bool overflow = __builtin_add_overflow(counter, step, &next);
    const bool passed = overflow || (f.AutoincMaxValue != 0 && next > f.AutoincMaxValue);
    if (passed) {
        if (f.AutoincCycled == 0 || (overflow && step < 0))
            RaiseNativeFmt(20160, "Autoinc max value exceeded for field '%s'", {f.Name});
        next = f.AutoincMinValue;
    }
    counter = next;
    return counter;
}

void TORQBaseFieldManager::ApplyDefaults(uint8_t* Record) {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (IsBlobBaseType(f.BaseType) || f.DefaultValue.IsNull()) continue;
        TORQVariant value;
        if (f.DefaultExpression) {
            const TORQVariant* v = f.DefaultExpression->GetValue(true);
            // An expression that yields Null leaves the field Null rather than marking
            // zero bytes as a value.
            if (v == nullptr || v->IsNull()) continue;
            value.Assign(*v, true);
        } else {
            value.Assign(f.DefaultValue, true);
        }
        value.CastTo(f.BaseType);
        uint8_t* dest = Record + f.MemoryOffset;
        std::memset(dest, 0, static_cast<size_t>(f.MemorySize));
        value.CopyToBuffer(dest, f.MemorySize);
        SetBit(Record, i, false);
    }
}

namespace {

// The field's MemorySize bytes of an Int64, little-endian.
void StoreCounter(uint8_t* Dest, int32_t Size, int64_t Value) {
    uint8_t b[8];
    StoreLE64(b, static_cast<uint64_t>(Value));
    std::memcpy(Dest, b, static_cast<size_t>(std::min(Size, 8)));
}

int64_t LoadCounter(const uint8_t* Source, int32_t Size) {
    uint8_t b[8] = {};
    std::memcpy(b, Source, static_cast<size_t>(std::min(Size, 8)));
    return static_cast<int64_t>(LoadLE64(b));
}

}  // namespace

void TORQBaseFieldManager::ApplyAutoincValues(TORQBaseSession* Session, uint8_t* Record) {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (!IsAutoincAdvancedType(f.FieldType)) continue;
        if (GetBit(Record, i)) {
            const int64_t v = NextAutoincForSession(Session, i);
            StoreCounter(Record + f.MemoryOffset, f.MemorySize, v);
            SetBit(Record, i, false);
            continue;
        }
        CheckAutoincField(i);
        const int64_t given = LoadCounter(Record + f.MemoryOffset, f.MemorySize);
        int64_t& counter = AutoincValues[static_cast<size_t>(i)];
        if (given > counter) {
            counter = given;
            if (Session != nullptr) Session->SetNamedObject(new TORQSessionNamedObjectSequenceValue(f.ObjectID, given));
        }
    }
}

int64_t TORQBaseFieldManager::NextAutoincForSession(TORQBaseSession* Session, int32_t FieldNo) {
    const int64_t v = GetNextAutoincValue(FieldNo);
    if (Session != nullptr)
        Session->SetNamedObject(new TORQSessionNamedObjectSequenceValue(FieldDefs.GetItem(FieldNo)->ObjectID, v));
    return v;
}

int64_t TORQBaseFieldManager::GetLastAutoincValue(TORQBaseSession* Session, int32_t FieldNo) {
    CheckAutoincField(FieldNo);
    const TORQFieldDef& f = *FieldDefs.GetItem(FieldNo);
    if (Session != nullptr) {
        if (auto* obj = dynamic_cast<TORQSessionNamedObjectSequenceValue*>(Session->FindNamedObjectByID(f.ObjectID)))
            return obj->LastValue;
        if (Session->StrictSequences != 0)
            RaiseNativeFmt(30012, "No SequenceLastValue in session for sequence '%s'. Call GetNextVal first", {f.Name});
    }
    return IsAutoincAdvancedType(f.FieldType) ? AutoincValues[static_cast<size_t>(FieldNo)] : 0;
}

void TORQBaseFieldManager::LoadFromStream(TORQStream& Stream) {
    FieldDefs.LoadFromStream(Stream);
    RebuildLayout();
    ResetAutoincValues();
}

void TORQBaseFieldManager::SaveToStream(TORQStream& Stream) const { FieldDefs.SaveToStream(Stream); }

void TORQBaseFieldManager::LoadAutoincValues(const uint8_t* Buffer, int32_t& Position, int32_t BufferSize) {
    if (Position < 0 || BufferSize - Position < 4) RaiseNative(20164, "Invalid table header data");
    const auto count = static_cast<int32_t>(LoadLE32(Buffer + Position));
    const int64_t left = int64_t{BufferSize} - Position - 4;
    if (count < 0 || count > FieldDefs.GetCount() || int64_t{count} * 8 > left)
        RaiseNative(20164, "Invalid table header data");
    std::vector<int64_t> values(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        values[static_cast<size_t>(i)] = static_cast<int64_t>(LoadLE64(Buffer + Position + 4 + 8 * i));
    // A shorter saved state (fields added since) keeps the reset counters of the rest.
    if (values.size() < AutoincValues.size())
        values.insert(values.end(), AutoincValues.begin() + count, AutoincValues.end());
    AutoincValues = std::move(values);
    Position += 4 + 8 * count;
}

void TORQBaseFieldManager::SaveAutoincValues(uint8_t* Buffer, int32_t& Position) const {
    StoreLE32(Buffer + Position, static_cast<uint32_t>(AutoincValues.size()));
    Position += 4;
    for (int64_t v : AutoincValues) {
        StoreLE64(Buffer + Position, static_cast<uint64_t>(v));
        Position += 8;
    }
}

void TORQBaseFieldManager::RebuildLayout() {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) FieldDefs.GetItem(i)->CalculateSizes();
    FieldDefs.CalculateOffsets();
}

void TORQBaseFieldManager::ResetAutoincValues() {
    AutoincValues.assign(static_cast<size_t>(FieldDefs.GetCount()), 0);
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (IsAutoincAdvancedType(f.FieldType)) AutoincValues[static_cast<size_t>(i)] = f.AutoincInitialValue;
    }
}

bool TORQBaseFieldManager::HasBlobFields() const {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i)
        if (IsBlobBaseType(FieldDefs.GetItem(i)->BaseType)) return true;
    return false;
}

const TORQFieldDef& TORQBaseFieldManager::FieldAt(int32_t FieldNo) const {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10000, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    return *FieldDefs.GetItem(FieldNo);
}

void TORQBaseFieldManager::DiskToMemoryRecord(const uint8_t* Stored, uint8_t* Memory) const {
    std::memset(Memory, 0, static_cast<size_t>(FieldDefs.GetMemoryRecordSize()));
    std::memcpy(Memory, Stored, static_cast<size_t>(FieldDefs.GetNullBitmapSize()));
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        std::memcpy(Memory + f.MemoryOffset, Stored + f.DataOffset, static_cast<size_t>(f.DataSize));
    }
}

void TORQBaseFieldManager::MemoryToDiskRecord(const uint8_t* Memory, uint8_t* Stored) const {
    std::memset(Stored, 0, static_cast<size_t>(FieldDefs.GetRecordDataSize()));
    std::memcpy(Stored, Memory, static_cast<size_t>(FieldDefs.GetNullBitmapSize()));
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        std::memcpy(Stored + f.DataOffset, Memory + f.MemoryOffset, static_cast<size_t>(f.DataSize));
    }
}

bool TORQBaseFieldManager::RecordBuffersEqual(const uint8_t* A, const uint8_t* B) const {
    if (!BuffersEqual(A, B, FieldDefs.GetNullBitmapSize())) return false;
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (std::memcmp(A + f.MemoryOffset, B + f.MemoryOffset, static_cast<size_t>(f.DataSize)) != 0) return false;
    }
    return true;
}

bool TORQBaseFieldManager::CheckBlobBlockSizes() const {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (!IsBlobBaseType(f.BaseType)) continue;
        if (f.BlobBlockSize > 0) return true;
        RaiseNativeFmt(10421, "BLOB block size should be > 0 for field %s", {f.Name});
    }
    return false;
}

}  // namespace orq
