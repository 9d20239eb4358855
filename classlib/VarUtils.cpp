#include "classlib/VarUtils.h"

#include <cmath>

#include "classlib/NumConv.h"
#include "classlib/WideStrings.h"

namespace classlib {

namespace {

bool IsIntegerType(TVarType t) {
    switch (t) {
        case varSmallint: case varInteger: case varShortInt: case varByte: case varWord: case varLongWord:
        case varInt64: case varBoolean:
            return true;
        default:
            return false;
    }
}

[[noreturn]] void CannotConvert(const Variant& V, const char* To) {
    throw EVariantError(Format("Could not convert variant of type %d into type %s", {static_cast<int>(V.VarType()), To}));
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string VarToStr(const Variant& V) {
    switch (V.VarType()) {
        case varEmpty: case varNull: return {};
        case varString: return V.AsString();
        case varOleStr: return WideToAnsi(V.AsOleStr());
        case varBoolean: return V.AsBoolean() ? "True" : "False";
        case varSingle: case varDouble: return FloatToStr(V.AsDouble());
        case varCurrency: return CurrToStr(V.AsDouble());
        case varDate: return DateTimeToStr(V.AsDouble());
        case varByte: case varWord: case varLongWord: return UIntToStr(V.AsUInt64());
        default:
            if (IsIntegerType(V.VarType())) return IntToStr(V.AsInt64());
            CannotConvert(V, "String");
    }
}

std::u16string VarToWideStr(const Variant& V) {
    if (V.VarType() == varOleStr) return V.AsOleStr();
    return AnsiToWide(VarToStr(V));
}

int64_t VarToInt64(const Variant& V) {
    const TVarType t = V.VarType();
    if (t == varBoolean) return V.AsBoolean() ? -1 : 0;
    if (t == varLongWord || t == varByte || t == varWord) return static_cast<int64_t>(V.AsUInt64());
    if (IsIntegerType(t)) return V.AsInt64();
    if (t == varString || t == varOleStr) return StrToInt64(VarToStr(V));
    if (t == varSingle || t == varDouble || t == varCurrency || t == varDate) {
        const double r = std::nearbyint(V.AsDouble());
        if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) throw EIntOverflow("Integer overflow");
        return static_cast<int64_t>(r);
    }
    CannotConvert(V, "Int64");
}

double VarToDouble(const Variant& V) {
    const TVarType t = V.VarType();
    if (t == varBoolean) return V.AsBoolean() ? -1 : 0;
    if (t == varString || t == varOleStr) return StrToFloat(VarToStr(V));
    if (t == varSingle || t == varDouble || t == varCurrency || t == varDate || IsIntegerType(t)) return V.AsDouble();
    CannotConvert(V, "Double");
}

bool VarToBoolean(const Variant& V) {
    const TVarType t = V.VarType();
    if (t == varBoolean) return V.AsBoolean();
    if (t == varString || t == varOleStr) {
        const std::string s = VarToStr(V);
        if (SameTextAscii(s, "True")) return true;
        if (SameTextAscii(s, "False")) return false;
        throw EConvertError(Format("'%s' is not a valid boolean value", {s}));
    }
    if (IsIntegerType(t)) return V.AsInt64() != 0;
    if (t == varSingle || t == varDouble || t == varCurrency || t == varDate) return V.AsDouble() != 0;
    CannotConvert(V, "Boolean");
}

TDateTime VarToDateTime(const Variant& V) {
    const TVarType t = V.VarType();
    if (t == varString || t == varOleStr) return StrToDateTime(VarToStr(V));
    if (t == varSingle || t == varDouble || t == varCurrency || t == varDate || IsIntegerType(t)) return VarToDouble(V);
    CannotConvert(V, "Date");
}

}  // namespace classlib
