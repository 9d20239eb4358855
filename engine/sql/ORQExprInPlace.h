// A record field compared with a constant on the record's bytes, the way
// TORQVariant::Compare would compare the two values: the comparison node and the compiled
// record filter both answer through these, so the two can never disagree.
//
// A pair of base types falls in one kind once (signed integers, plain texts, an integer
// against a text, a fixed-size type against a constant convertible to it) or in none;
// a constant of another type than the field's is converted once and kept for as long as
// it keeps its bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQVariant.h"

namespace orq {

enum TORQInPlaceKind : uint8_t { ipUnknown, ipNone, ipIntegers, ipTexts, ipIntegerText, ipFixed };

uint8_t InPlaceKindOf(uint8_t FieldType, uint8_t ConstantType);

// The constant converted to the field's type, and the bytes it was converted from.
struct TORQInPlaceConstant {
    TORQMemoryBlock Converted;
    std::vector<uint8_t> From;
    void Reset() {
        Converted = TORQMemoryBlock();
        From.clear();
    }
};

// The comparison code of the field's bytes (Data nil for a Null field, Size its stored
// size) against Constant; false when this pair must be compared through values (an empty
// text). Raw off reads Nulls as the smallest values, as Compare does.
bool CompareFieldBytes(uint8_t Kind, const uint8_t* Data, int32_t Size, uint8_t FieldType, const TORQVariant& Constant,
                       uint8_t Operator, bool IgnoreCase, bool PartialCompare, bool Raw,
                       TORQInPlaceConstant& Conversion, int32_t& Code);

// Whether a comparison operator holds for a comparison code; false for other operators.
bool ComparisonHolds(uint8_t Operator, bool Raw, int32_t Code);

}  // namespace orq
