#include "classlib/Variant.h"

#include <cmath>

namespace classlib {

namespace {

[[noreturn]] void BadType(TVarType t) {
    throw EVariantError("Invalid variant type conversion (type " + std::to_string(t) + ")");
}

}  // namespace

Variant Variant::Null() {
    Variant v;
    v.FType = varNull;
    return v;
}

#define TILO_VARIANT_FROM(Name, Code, Field, Type) \
    Variant Variant::From##Name(Type x) {          \
        Variant v;                                 \
        v.FType = Code;                            \
        v.FValue.Field = x;                        \
        return v;                                  \
    }
TILO_VARIANT_FROM(Smallint, varSmallint, i, int16_t)
TILO_VARIANT_FROM(Integer, varInteger, i, int32_t)
TILO_VARIANT_FROM(Single, varSingle, f, float)
TILO_VARIANT_FROM(Double, varDouble, d, double)
TILO_VARIANT_FROM(Date, varDate, d, TDateTime)
TILO_VARIANT_FROM(ShortInt, varShortInt, i, int8_t)
TILO_VARIANT_FROM(Byte, varByte, u, uint8_t)
TILO_VARIANT_FROM(Word, varWord, u, uint16_t)
TILO_VARIANT_FROM(LongWord, varLongWord, u, uint32_t)
TILO_VARIANT_FROM(Int64, varInt64, i, int64_t)
#undef TILO_VARIANT_FROM

Variant Variant::FromCurrency(double x) {
    Variant v;
    v.FType = varCurrency;
    const long double scaled = std::nearbyint(static_cast<long double>(x) * 10000.0L);
    if (!(std::fabs(scaled) < 9223372036854775807.0L)) throw EOverflow("Floating point overflow");
    v.FValue.i = static_cast<int64_t>(scaled);
    return v;
}

Variant Variant::FromBoolean(bool x) {
    Variant v;
    v.FType = varBoolean;
    v.FValue.i = x ? -1 : 0;  // VARIANT_TRUE
    return v;
}

Variant Variant::FromOleStr(std::u16string x) {
    Variant v;
    v.FType = varOleStr;
    v.FOleStr = std::move(x);
    return v;
}

Variant Variant::FromString(std::string x) {
    Variant v;
    v.FType = varString;
    v.FString = std::move(x);
    return v;
}

Variant Variant::CreateArray(const std::vector<std::pair<int32_t, int32_t>>& bounds, TVarType elemType) {
    if (bounds.empty()) throw EVariantError("Variant array bounds missing");
    size_t n = 1;
    for (auto [lo, hi] : bounds) {
        if (int64_t{hi} < int64_t{lo} - 1) throw EVariantError("Invalid variant array bounds");
        // An element count beyond the address space would wrap into a small array
        // that the element indexes then run past.
        if (__builtin_mul_overflow(n, static_cast<size_t>(int64_t{hi} - lo + 1), &n))
            throw EVariantError("Invalid variant array bounds");
    }
    Variant v;
    v.FType = static_cast<TVarType>(varArray | (elemType & varTypeMask));
    v.FArray = std::make_shared<ArrayData>();
    v.FArray->bounds = bounds;
    Variant zero;
    if (elemType != varVariant && elemType != varEmpty) {
        zero.FType = elemType;
    }
    v.FArray->items.assign(n, zero);
    return v;
}

int64_t Variant::AsInt64() const {
    switch (FType) {
        case varSmallint: case varInteger: case varShortInt: case varInt64: case varBoolean:
            return FValue.i;
        case varByte: case varWord: case varLongWord:
            return static_cast<int64_t>(FValue.u);
        default:
            BadType(FType);
    }
}

uint64_t Variant::AsUInt64() const {
    switch (FType) {
        case varByte: case varWord: case varLongWord:
            return FValue.u;
        case varSmallint: case varInteger: case varShortInt: case varInt64: case varBoolean:
            return static_cast<uint64_t>(FValue.i);
        default:
            BadType(FType);
    }
}

double Variant::AsDouble() const {
    switch (FType) {
        case varSingle: return FValue.f;
        case varDouble: case varDate: return FValue.d;
        case varCurrency: return static_cast<double>(static_cast<long double>(FValue.i) / 10000.0L);
        case varByte: case varWord: case varLongWord: return static_cast<double>(FValue.u);
        case varSmallint: case varInteger: case varShortInt: case varInt64: return static_cast<double>(FValue.i);
        default: BadType(FType);
    }
}

int64_t Variant::CurrencyRaw() const {
    if (FType != varCurrency) BadType(FType);
    return FValue.i;
}

bool Variant::AsBoolean() const {
    if (FType != varBoolean) BadType(FType);
    return FValue.i != 0;
}

const std::string& Variant::AsString() const {
    if (FType != varString) BadType(FType);
    return FString;
}

const std::u16string& Variant::AsOleStr() const {
    if (FType != varOleStr) BadType(FType);
    return FOleStr;
}

int32_t Variant::ArrayDimCount() const { return IsArray() ? static_cast<int32_t>(FArray->bounds.size()) : 0; }

int32_t Variant::ArrayLowBound(int32_t dim) const {
    if (dim < 1 || dim > ArrayDimCount()) throw EVariantError("Variant array index out of bounds");
    return FArray->bounds[dim - 1].first;
}

int32_t Variant::ArrayHighBound(int32_t dim) const {
    if (dim < 1 || dim > ArrayDimCount()) throw EVariantError("Variant array index out of bounds");
    return FArray->bounds[dim - 1].second;
}

size_t Variant::ElementIndex(const std::vector<int32_t>& indices) const {
    if (!IsArray() || indices.size() != FArray->bounds.size())
        throw EVariantError("Variant array index out of bounds");
    size_t idx = 0;
    for (size_t k = 0; k < indices.size(); ++k) {
        auto [lo, hi] = FArray->bounds[k];
        if (indices[k] < lo || indices[k] > hi) throw EVariantError("Variant array index out of bounds");
        idx = idx * static_cast<size_t>(int64_t{hi} - lo + 1) + static_cast<size_t>(int64_t{indices[k]} - lo);
    }
    return idx;
}

const Variant& Variant::GetElement(const std::vector<int32_t>& indices) const {
    return FArray->items[ElementIndex(indices)];
}

void Variant::PutElement(const std::vector<int32_t>& indices, Variant v) {
    FArray->items[ElementIndex(indices)] = std::move(v);
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.FType != b.FType) return false;
    if (a.IsArray()) return a.FArray->bounds == b.FArray->bounds && a.FArray->items == b.FArray->items;
    switch (a.FType) {
        case varEmpty: case varNull: return true;
        case varSingle: return a.FValue.f == b.FValue.f;
        case varDouble: case varDate: return a.FValue.d == b.FValue.d;
        case varString: return a.FString == b.FString;
        case varOleStr: return a.FOleStr == b.FOleStr;
        default: return a.FValue.i == b.FValue.i;
    }
}

}  // namespace classlib
