// How the engine mixes values of different base data types: the result-type rule
// (which type an operation on two types works in), the conversion between types (the
// engine's CAST), and the comparison of two value buffers, which is the one order of
// records, index keys, filters and TORQVariant::Compare.
//
// Conversion blocks come from the engine memory manager and belong to the caller;
// text results carry their terminator. Text comparison uses the fixed collation
// (never the process locale); the locale argument is kept for callers and ignored.
#pragma once

#include <cstdint>

namespace orq {

// Base type of a binary operation on Type1 and Type2, 0 when they cannot be combined.
// ForComparison: text against a date, time or timestamp works in the date/time type.
uint8_t ResultDataType(uint8_t Type1, uint8_t Type2, bool ForComparison);
uint8_t ResultAdvancedFieldType(uint8_t Adv1, uint8_t Adv2, bool ForComparison);

// Source points at the value; for the text types (1-4, 19, 20) at a pointer to the
// text. SourceSize is the value's byte count or -1; a CLOB source takes its bytes
// from it, and no text source is read past it. A pair without a rule raises 30052, a failure inside a
// rule 30051 (the memory manager's own errors pass unchanged); no block leaks.
void* ConvertValue(const void* Source, int32_t SourceSize, uint8_t SourceType, int32_t& DestSize, uint8_t DestType);
void* ConvertValueBuffer(const void* Source, int32_t SourceSize, uint8_t SourceType, uint8_t DestType);

// Result codes of CompareValueBuffers.
enum : int32_t { cmpEqual = 0, cmpLess = 1, cmpGreater = 2, cmpFirstNull = 3, cmpSecondNull = 4, cmpBothNull = 5 };

// Buffers hold the values themselves (text: its characters). Length: characters of
// text to compare, -1 for whole texts; each text is also bounded by its terminator.
int32_t CompareValueBuffers(const void* Buffer1, const void* Buffer2, uint8_t Type1, uint8_t Type2, bool IsNull1,
                            bool IsNull2, int32_t Length, bool IgnoreCase, int32_t Locale = 1024);
// -1, 0, +1 with Null first and equal to Null.
int32_t CompareKeyValues(const void* Buffer1, const void* Buffer2, uint8_t Type1, uint8_t Type2, bool IsNull1,
                         bool IsNull2, int32_t Length, bool IgnoreCase, int32_t Locale = 1024);

}  // namespace orq
