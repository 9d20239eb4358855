#include "engine/foundation/ORQTypesRoutines.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "classlib/NumConv.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

using namespace classlib;

const TSQLFieldType SQLFieldTypes[SQLFieldTypeCount] = {
    {"CHAR", 1, 1, ftFixedChar},           {"FIXEDCHAR", 1, 1, ftFixedChar},
    {"STRING", 2, 3, ftString},            {"VARCHAR", 2, 3, ftString},
    {"VARCHAR2", 2, 3, ftString},          {"WIDECHAR", 3, 2, ftWideString},
    {"FIXEDWIDECHAR", 3, 2, ftWideString}, {"WIDESTRING", 4, 4, ftWideString},
    {"WIDEVARCHAR", 4, 4, ftWideString},   {"SMALLINT", 6, 6, ftSmallint},
    {"SIGNEDINT16", 6, 6, ftSmallint},     {"SHORTINT", 5, 5, ftSmallint},
    {"SIGNEDINT8", 5, 5, ftSmallint},      {"INTEGER", 7, 7, ftInteger},
    {"SIGNEDINT32", 7, 7, ftInteger},      {"LARGEINT", 8, 8, ftLargeint},
    {"INT64", 8, 8, ftLargeint},           {"SIGNEDINT64", 8, 8, ftLargeint},
    {"WORD", 10, 10, ftWord},              {"UNSIGNEDINT16", 10, 10, ftWord},
    {"BYTE", 9, 9, ftWord},                {"UNSIGNEDINT8", 9, 9, ftWord},
    {"CARDINAL", 11, 11, ftLargeint},      {"UNSIGNEDINT32", 11, 11, ftLargeint},
    {"AUTOINC", 12, 7, ftAutoInc},         {"AUTOINCSHORTINT", 13, 5, ftAutoInc},
    {"AUTOINCSMALLINT", 14, 6, ftAutoInc}, {"AUTOINCINTEGER", 15, 7, ftAutoInc},
    {"AUTOINCLARGEINT", 16, 8, ftLargeint}, {"AUTOINCBYTE", 17, 9, ftAutoInc},
    {"AUTOINCWORD", 18, 10, ftAutoInc},    {"AUTOINCCARDINAL", 19, 11, ftAutoInc},
    {"FLOAT", 21, 13, ftFloat},            {"FLOAT", 21, 13, ftBCD},
    {"SINGLE", 20, 12, ftFloat},           {"DOUBLE", 21, 13, ftFloat},
    {"EXTENDED", 22, 14, ftFloat},         {"LOGICAL", 23, 21, ftBoolean},
    {"BOOLEAN", 23, 21, ftBoolean},        {"BOOL", 23, 21, ftBoolean},
    {"BIT", 23, 21, ftBoolean},            {"CURRENCY", 24, 22, ftCurrency},
    {"MONEY", 24, 22, ftCurrency},         {"DATE", 25, 15, ftDate},
    {"TIME", 26, 16, ftTime},              {"DATETIME", 27, 17, ftDateTime},
    {"TIMESTAMP", 28, 17, ftTimeStamp},    {"BYTES", 29, 23, ftBytes},
    {"VARBYTES", 30, 24, ftVarBytes},      {"BLOB", 31, 18, ftBlob},
    {"BLOB", 31, 18, ftParadoxOle},        {"BLOB", 31, 18, ftTypedBinary},
    {"BLOB", 31, 18, ftDBaseOle},          {"BLOB", 31, 18, ftOraBlob},
    {"BLOB", 31, 18, ftOraClob},           {"GRAPHIC", 32, 18, ftGraphic},
    {"MEMO", 33, 19, ftMemo},              {"CLOB", 33, 19, ftMemo},
    {"FORMATTEDMEMO", 34, 19, ftFmtMemo},  {"WIDEMEMO", 35, 20, ftBlob},
    {"WIDECLOB", 35, 20, ftMemo},          {"GUID", 36, 1, ftGuid},
};

namespace {

template <typename Pred>
const TSQLFieldType* FindRow(Pred pred) {
    for (const TSQLFieldType& row : SQLFieldTypes)
        if (pred(row)) return &row;
    return nullptr;
}

}  // namespace

uint8_t AdvancedToBaseFieldType(uint8_t advancedType) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.AdvancedFieldType == advancedType; });
    return row ? row->BaseDataType : 0;
}

uint8_t BaseToAdvancedFieldType(uint8_t baseType) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.BaseDataType == baseType; });
    return row ? row->AdvancedFieldType : 0;
}

uint8_t FieldTypeToAdvancedFieldType(TFieldType ft) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.FieldType == ft; });
    if (!row) RaiseNativeFmt(30289, "Unknown DataType: '%s'", {IntToStr(static_cast<int>(ft))});
    return row->AdvancedFieldType;
}

TFieldType AdvancedToFieldType(uint8_t advancedType) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.AdvancedFieldType == advancedType; });
    return row ? row->FieldType : ftUnknown;
}

std::string AdvancedFieldTypeName(uint8_t advancedType) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.AdvancedFieldType == advancedType; });
    return row ? row->Name : "Unknown";
}

std::string BaseFieldTypeName(uint8_t baseType) {
    auto row = FindRow([&](const TSQLFieldType& r) { return r.BaseDataType == baseType; });
    return row ? row->Name : "Unknown";
}

bool IsBlobBaseType(uint8_t t) { return t >= 18 && t <= 20; }
bool IsStringBaseType(uint8_t t) { return t >= 1 && t <= 4; }
bool IsWideStringBaseType(uint8_t t) { return t == 2 || t == 4; }
bool IsNumericBaseType(uint8_t t) { return (t >= 5 && t <= 14) || t == 22; }
bool IsDateTimeBaseType(uint8_t t) { return t >= 15 && t <= 17; }
bool IsBlobAdvancedType(uint8_t t) { return t >= 31 && t <= 35; }
bool IsStringAdvancedType(uint8_t t) { return (t >= 1 && t <= 4) || t == 36; }
bool IsWideStringAdvancedType(uint8_t t) { return t == 3 || t == 4; }
bool IsBytesAdvancedType(uint8_t t) { return t == 29 || t == 30; }
bool IsAutoincAdvancedType(uint8_t t) { return t >= 12 && t <= 19; }
bool IsSizedAdvancedType(uint8_t t) { return (t >= 1 && t <= 4) || t == 29 || t == 30; }
bool IsComparableAdvancedType(uint8_t t) { return (t >= 1 && t <= 28) || (t >= 33 && t <= 35); }

int32_t GetDataTypeValueSize(uint8_t baseType, int32_t length) {
    int64_t size;
    switch (baseType) {
        case 1: case 3: case 23: case 24: size = int64_t{length} + 1; break;
        case 2: case 4: size = int64_t{length} * 2 + 2; break;
        case 5: case 9: size = 1; break;
        case 6: case 10: case 21: size = 2; break;
        case 7: case 11: case 12: case 15: case 16: size = 4; break;
        case 8: case 13: case 17: case 22: size = 8; break;
        case 14: case 18: case 19: case 20: size = 10; break;
        default: RaiseNativeFmt(30050, "Unknown DataType: '%s'", {BaseFieldTypeName(baseType)});
    }
    if (size < INT32_MIN || size > INT32_MAX) throw EIntOverflow("Integer overflow");
    return static_cast<int32_t>(size);
}

int32_t StoredValueSize(uint8_t baseType, const void* data, int32_t memorySize) {
    const auto* p = static_cast<const uint8_t*>(data);
    const auto size = static_cast<size_t>(std::max(memorySize, 0));
    if (baseType == bdtFixedChar || baseType == bdtVarChar) {
        const void* end = std::memchr(p, 0, size);
        if (end != nullptr) return static_cast<int32_t>(static_cast<const uint8_t*>(end) - p) + 1;
    } else if (baseType == bdtFixedWideChar || baseType == bdtWideVarChar) {
        for (size_t i = 0; i + 1 < size; i += 2)
            if (p[i] == 0 && p[i + 1] == 0) return static_cast<int32_t>(i) + 2;
    }
    return memorySize;
}

size_t WideTextLength(const void* text) {
    const auto* p = static_cast<const uint8_t*>(text);
    size_t n = 0;
    while (p[2 * n] != 0 || p[2 * n + 1] != 0) ++n;
    return n;
}

void CopyValueToNewMemory(uint8_t baseType, const void* value, void*& buffer, int32_t& size) {
    buffer = nullptr;
    int64_t n;
    if (baseType == bdtFixedChar || baseType == bdtVarChar) {
        n = static_cast<int64_t>(std::strlen(static_cast<const char*>(value))) + 1;
    } else if (baseType == bdtFixedWideChar || baseType == bdtWideVarChar) {
        n = static_cast<int64_t>(WideTextLength(value)) * 2 + 2;
    } else {
        n = GetDataTypeValueSize(baseType, 0);
    }
    if (n > INT32_MAX) throw EIntOverflow("Integer overflow");
    void* block = GlobalMemoryManager().GetMem(n);
    std::memcpy(block, value, static_cast<size_t>(n));
    buffer = block;
    size = static_cast<int32_t>(n);
}

TDateTime DaysToDateTime(int32_t days) {
    // In double arithmetic the difference is exact for every Int32, the empty-date marker included.
    return static_cast<double>(days) - DayNumberDelta;
}

int32_t DateTimeToDays(TDateTime value) {
    const double whole = std::trunc(value);
    if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0))
        throw EInvalidOp("Invalid floating point operation");
    const uint64_t sum = static_cast<uint64_t>(static_cast<int64_t>(whole)) + DayNumberDelta;
    return static_cast<int32_t>(static_cast<uint32_t>(sum));
}

TDateTime MillisecondsToTime(int32_t milliseconds) {
    const double q = static_cast<double>(milliseconds) / MillisecondsPerDay;
    return q - std::trunc(q);
}

int32_t TimeToMilliseconds(TDateTime value) {
    if (!std::isfinite(value)) throw EInvalidOp("Invalid floating point operation");
    return static_cast<int32_t>(std::nearbyint((value - std::trunc(value)) * MillisecondsPerDay));
}

TDateTime TimeStampToDateTime(const TORQTimeStamp& ts) {
    return DaysToDateTime(ts.Days) + MillisecondsToTime(ts.Milliseconds);
}

TORQTimeStamp DateTimeToTimeStamp(TDateTime value) {
    TORQTimeStamp ts{DateTimeToDays(value), TimeToMilliseconds(value)};
    // Within half a millisecond of midnight the time of day rounds up to a whole day:
    // that instant is the next day's midnight, not a 24th hour that would read back
    // as the start of the same day.
    if (ts.Milliseconds == MillisecondsPerDay) {
        ts.Days = static_cast<int32_t>(static_cast<uint32_t>(ts.Days) + 1u);
        ts.Milliseconds = 0;
    }
    return ts;
}

void PackExtended(long double value, void* dest) {
    uint8_t* out = static_cast<uint8_t*>(dest);
    uint16_t signExp = std::signbit(value) ? 0x8000 : 0;
    uint64_t mantissa = 0;
    if (std::isnan(value)) {
        signExp |= 0x7FFF;
        mantissa = UINT64_C(0xC000000000000000);
    } else if (std::isinf(value)) {
        signExp |= 0x7FFF;
        mantissa = UINT64_C(0x8000000000000000);
    } else if (value != 0) {
        int e;
        const long double m = std::frexp(std::fabs(value), &e);  // m in [0.5, 1)
        int biased = e - 1 + 16383;
        if (biased >= 0x7FFF) {
            signExp |= 0x7FFF;
            mantissa = UINT64_C(0x8000000000000000);
        } else if (biased <= 0) {
            // Denormal: the exponent field is 0 and the mantissa is scaled by 2^(1 - 16383 - 63).
            mantissa = static_cast<uint64_t>(std::ldexp(std::fabs(value), 16382 + 63));
        } else {
            signExp |= static_cast<uint16_t>(biased);
            mantissa = static_cast<uint64_t>(std::ldexp(m, 64));
        }
    }
    for (int k = 0; k < 8; ++k) out[k] = static_cast<uint8_t>(mantissa >> (8 * k));
    out[8] = static_cast<uint8_t>(signExp);
    out[9] = static_cast<uint8_t>(signExp >> 8);
}

long double UnpackExtended(const void* source) {
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint64_t mantissa = 0;
    for (int k = 0; k < 8; ++k) mantissa |= uint64_t{in[k]} << (8 * k);
    const uint16_t signExp = static_cast<uint16_t>(in[8] | (in[9] << 8));
    const bool negative = (signExp & 0x8000) != 0;
    const int exp = signExp & 0x7FFF;
    long double v;
    if (exp == 0x7FFF) {
        v = (mantissa << 1) == 0 ? std::numeric_limits<long double>::infinity()
                                 : std::numeric_limits<long double>::quiet_NaN();
    } else {
        v = std::ldexp(static_cast<long double>(mantissa), (exp == 0 ? 1 : exp) - 16383 - 63);
    }
    return negative ? -v : v;
}

}  // namespace orq
