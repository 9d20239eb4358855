// Variant: the OLE-compatible variant of the class library. It keeps the OLE type
// codes (VarType) and their value ranges, so that values crossing into the engine
// are typed exactly as there; arrays carry their bounds per dimension and hold
// variants. Copies are deep for scalars and shared for arrays, as the class
// library's reference-counted arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "classlib/SysUtils.h"

namespace classlib {

using TVarType = uint16_t;

enum : TVarType {
    varEmpty = 0, varNull = 1, varSmallint = 2, varInteger = 3, varSingle = 4, varDouble = 5,
    varCurrency = 6, varDate = 7, varOleStr = 8, varBoolean = 11, varVariant = 12,
    varShortInt = 16, varByte = 17, varWord = 18, varLongWord = 19, varInt64 = 20,
    varString = 256, varTypeMask = 0x0FFF, varArray = 0x2000
};

// Raised for a read of the wrong type or a bad array index.
class EVariantError : public Exception { using Exception::Exception; };

class Variant {
public:
    Variant() = default;  // varEmpty

    static Variant Null();
    static Variant FromSmallint(int16_t v);
    static Variant FromInteger(int32_t v);
    static Variant FromSingle(float v);
    static Variant FromDouble(double v);
    static Variant FromCurrency(double v);  // stored as ten-thousandths, halves to even
    static Variant FromDate(TDateTime v);
    static Variant FromOleStr(std::u16string v);
    static Variant FromBoolean(bool v);
    static Variant FromShortInt(int8_t v);
    static Variant FromByte(uint8_t v);
    static Variant FromWord(uint16_t v);
    static Variant FromLongWord(uint32_t v);
    static Variant FromInt64(int64_t v);
    static Variant FromString(std::string v);  // 8-bit string

    // An array of elemType (varVariant for mixed) with [low, high] bounds per dimension;
    // elements start as empty variants (or zero of elemType).
    static Variant CreateArray(const std::vector<std::pair<int32_t, int32_t>>& bounds, TVarType elemType);

    TVarType VarType() const { return FType; }
    bool IsEmpty() const { return FType == varEmpty; }
    bool IsNull() const { return FType == varNull; }
    bool IsArray() const { return (FType & varArray) != 0; }

    // Typed reads of the stored value; raise EVariantError when the type differs.
    int64_t AsInt64() const;      // any integer type, boolean as 0/-1
    uint64_t AsUInt64() const;    // any integer type
    double AsDouble() const;      // single, double, currency, date and the integers
    int64_t CurrencyRaw() const;  // ten-thousandths of a currency variant
    bool AsBoolean() const;
    const std::string& AsString() const;       // varString
    const std::u16string& AsOleStr() const;    // varOleStr

    // Arrays.
    int32_t ArrayDimCount() const;
    int32_t ArrayLowBound(int32_t dim) const;   // dim from 1
    int32_t ArrayHighBound(int32_t dim) const;
    const Variant& GetElement(const std::vector<int32_t>& indices) const;
    void PutElement(const std::vector<int32_t>& indices, Variant v);

    // Same type and value (arrays: same bounds and equal elements).
    friend bool operator==(const Variant& a, const Variant& b);

private:
    struct ArrayData {
        std::vector<std::pair<int32_t, int32_t>> bounds;
        std::vector<Variant> items;
    };
    size_t ElementIndex(const std::vector<int32_t>& indices) const;

    TVarType FType = varEmpty;
    union {
        int64_t i;
        uint64_t u;
        double d;
        float f;
    } FValue{};
    std::string FString;
    std::u16string FOleStr;
    std::shared_ptr<ArrayData> FArray;
};


}  // namespace classlib
