// The engine's two type code sets and the SQL type table that ties them to SQL names
// and to the dataset framework's field types; value sizes, copying a value into a new
// engine block, and the numeric day and millisecond encodings of dates and times.
//
// Base data types (1-24) say how a value is laid out in memory, in record buffers and
// in stored records; advanced field types (1-36) are what a column is declared with
// and map many-to-one onto the base types. The SQL type table is read-only and every
// look-up searches it front to back, the first matching row winning. Values are held
// in the host's byte order, which must be little-endian (the stored form).
#pragma once

#include <bit>
#include <cstdint>
#include <string>

#include "classlib/DateUtils.h"
#include "classlib/FieldTypes.h"

namespace orq {

static_assert(std::endian::native == std::endian::little, "values are held in stored (little-endian) order");

using classlib::TDateTime;

// Base data types.
enum : uint8_t {
    bdtNone = 0, bdtFixedChar = 1, bdtFixedWideChar = 2, bdtVarChar = 3, bdtWideVarChar = 4,
    bdtShortInt = 5, bdtSmallInt = 6, bdtInteger = 7, bdtLargeInt = 8, bdtByte = 9, bdtWord = 10,
    bdtCardinal = 11, bdtSingle = 12, bdtDouble = 13, bdtExtended = 14, bdtDate = 15, bdtTime = 16,
    bdtTimeStamp = 17, bdtBlob = 18, bdtClob = 19, bdtWideClob = 20, bdtBoolean = 21, bdtCurrency = 22,
    bdtBytes = 23, bdtVarBytes = 24
};

// Advanced field types.
enum : uint8_t {
    aftChar = 1, aftVarChar = 2, aftWideChar = 3, aftWideVarChar = 4, aftShortInt = 5, aftSmallInt = 6,
    aftInteger = 7, aftLargeInt = 8, aftByte = 9, aftWord = 10, aftCardinal = 11, aftAutoInc = 12,
    aftAutoIncShortInt = 13, aftAutoIncSmallInt = 14, aftAutoIncInteger = 15, aftAutoIncLargeInt = 16,
    aftAutoIncByte = 17, aftAutoIncWord = 18, aftAutoIncCardinal = 19, aftSingle = 20, aftDouble = 21,
    aftExtended = 22, aftBoolean = 23, aftCurrency = 24, aftDate = 25, aftTime = 26, aftDateTime = 27,
    aftTimeStamp = 28, aftBytes = 29, aftVarBytes = 30, aftBlob = 31, aftGraphic = 32, aftMemo = 33,
    aftFmtMemo = 34, aftWideMemo = 35, aftGuid = 36
};

// A timestamp value: the day number (0001-01-01 = day 1), then milliseconds since midnight.
struct TORQTimeStamp {
    int32_t Days = 0;
    int32_t Milliseconds = 0;
    friend bool operator==(const TORQTimeStamp&, const TORQTimeStamp&) = default;
};

// Marks an empty date in the conversions.
inline constexpr int32_t EmptyDays = INT32_MIN;
inline constexpr int32_t DayNumberDelta = 693594;   // day number of TDateTime 0.0
inline constexpr int32_t MillisecondsPerDay = 86400000;

struct TSQLFieldType {
    const char* Name;
    uint8_t AdvancedFieldType;
    uint8_t BaseDataType;
    classlib::TFieldType FieldType;
};

inline constexpr int SQLFieldTypeCount = 62;
// Rows 1 to 62 of the table live at indexes 0 to 61.
extern const TSQLFieldType SQLFieldTypes[SQLFieldTypeCount];

uint8_t AdvancedToBaseFieldType(uint8_t advancedType);          // 0 when absent
uint8_t BaseToAdvancedFieldType(uint8_t baseType);              // 0 when absent
uint8_t FieldTypeToAdvancedFieldType(classlib::TFieldType ft);  // 30289 when absent
classlib::TFieldType AdvancedToFieldType(uint8_t advancedType); // ftUnknown when absent
std::string AdvancedFieldTypeName(uint8_t advancedType);        // "Unknown" when absent
std::string BaseFieldTypeName(uint8_t baseType);                // "Unknown" when absent

bool IsBlobBaseType(uint8_t t);
bool IsStringBaseType(uint8_t t);
bool IsWideStringBaseType(uint8_t t);
bool IsNumericBaseType(uint8_t t);
bool IsDateTimeBaseType(uint8_t t);
bool IsBlobAdvancedType(uint8_t t);
bool IsStringAdvancedType(uint8_t t);
bool IsWideStringAdvancedType(uint8_t t);
bool IsBytesAdvancedType(uint8_t t);
bool IsAutoincAdvancedType(uint8_t t);
bool IsSizedAdvancedType(uint8_t t);
bool IsComparableAdvancedType(uint8_t t);

// In-memory size of a value; Length is the declared length of text and byte types.
// Unknown code: 30050; a size beyond the 32-bit range: EIntOverflow.
int32_t GetDataTypeValueSize(uint8_t baseType, int32_t length);

// The bytes of a value held in a field's MemorySize bytes: for text up to and with its
// terminator (a wide one is two zero bytes at an even place, found bytewise, since a
// field may start at any address), MemorySize when it has none; MemorySize for every
// other type.
int32_t StoredValueSize(uint8_t baseType, const void* data, int32_t memorySize);

// The length in UTF-16 units of zero-terminated wide text at any address.
size_t WideTextLength(const void* text);

// A copy of one value in a new block of the engine memory manager. For 1 and 3 Value
// is zero-terminated 8-bit text, for 2 and 4 zero-terminated UTF-16 text (copied with
// the terminator); otherwise GetDataTypeValueSize(baseType, 0) bytes are copied.
// An allocation failure propagates: a value never silently becomes Null.
void CopyValueToNewMemory(uint8_t baseType, const void* value, void*& buffer, int32_t& size);

// Day and millisecond encodings. DateTimeToDays truncates toward zero and keeps the
// low 32 bits of the 64-bit sum (a non-finite or unrepresentable value: EInvalidOp);
// TimeToMilliseconds rounds halves to even; DateTimeToTimeStamp carries a time that
// rounds up to a whole day into the next day's midnight.
TDateTime DaysToDateTime(int32_t days);
int32_t DateTimeToDays(TDateTime value);
TDateTime MillisecondsToTime(int32_t milliseconds);
int32_t TimeToMilliseconds(TDateTime value);
TDateTime TimeStampToDateTime(const TORQTimeStamp& ts);
TORQTimeStamp DateTimeToTimeStamp(TDateTime value);

// The 10-byte x87 extended layout of base type 14 (64-bit mantissa with explicit
// integer bit, 15-bit biased exponent, sign), packed and unpacked explicitly.
void PackExtended(long double value, void* dest);
long double UnpackExtended(const void* source);

// CopyFieldValue (one dataset field's value into another) belongs with the dataset
// fields of the data-access layer and is declared there.

}  // namespace orq
