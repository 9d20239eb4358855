// Reading a Variant as the type a caller needs, the way the class library converts
// variants: numbers and dates between each other, text through the fixed formats
// (never the process locale), Booleans as "True"/"False" and -1/0. Null and empty
// read as "" in VarToStr; every other reader raises EVariantError for them, and a
// text that is no number raises EConvertError.
#pragma once

#include <cstdint>
#include <string>

#include "classlib/Variant.h"

namespace classlib {

std::string VarToStr(const Variant& V);
std::u16string VarToWideStr(const Variant& V);
int64_t VarToInt64(const Variant& V);     // floats rounded, halves to even; EIntOverflow beyond Int64
double VarToDouble(const Variant& V);
bool VarToBoolean(const Variant& V);      // numbers: non-zero; text: "True"/"False" ignoring case
TDateTime VarToDateTime(const Variant& V);

}  // namespace classlib
