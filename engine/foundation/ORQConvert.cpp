#include "engine/foundation/ORQConvert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "classlib/DateUtils.h"
#include "classlib/FormatSettings.h"
#include "classlib/NumConv.h"
#include "classlib/SysUtils.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQDateLike.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

using namespace classlib;

namespace {

// Row: first operand, column: second operand, both 1-24; 0 = cannot be combined.
// Note the two asymmetries: a signed 5/6 first with unsigned 10/11 second gives the
// unsigned type (the reverse the next wider signed type), and a float first with
// currency second gives currency (the reverse the float).
constexpr uint8_t kResultType[24][24] = {
    /*  1 */ { 1,  2,  3,  4,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  1,  0,  1,  2,  1,  1,  0,  0},
    /*  2 */ { 2,  2,  2,  4,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  2,  0,  2,  2,  2,  2,  0,  0},
    /*  3 */ { 3,  2,  3,  4,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  3,  0,  3,  4,  3,  3,  0,  0},
    /*  4 */ { 4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  0,  4,  4,  4,  4,  0,  0},
    /*  5 */ { 1,  2,  3,  4,  5,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  5, 22,  0,  0},
    /*  6 */ { 1,  2,  3,  4,  6,  6,  7,  8,  6, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  6, 22,  0,  0},
    /*  7 */ { 1,  2,  3,  4,  7,  7,  7,  8,  7,  7,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  7, 22,  0,  0},
    /*  8 */ { 1,  2,  3,  4,  8,  8,  8,  8,  8,  8,  8, 12, 13, 14, 15, 16, 17,  0,  0,  0,  8, 22,  0,  0},
    /*  9 */ { 1,  2,  3,  4,  6,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0,  9, 22,  0,  0},
    /* 10 */ { 1,  2,  3,  4,  7,  7,  7,  8, 10, 10, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 10, 22,  0,  0},
    /* 11 */ { 1,  2,  3,  4,  8,  8,  8,  8, 11, 11, 11, 12, 13, 14, 15, 16, 17,  0,  0,  0, 11, 22,  0,  0},
    /* 12 */ { 1,  2,  3,  4, 12, 12, 12, 12, 12, 12, 12, 12, 13, 14, 15, 16, 17,  0,  0,  0, 12, 22,  0,  0},
    /* 13 */ { 1,  2,  3,  4, 13, 13, 13, 13, 13, 13, 13, 13, 13, 14, 15, 16, 17,  0,  0,  0, 13, 22,  0,  0},
    /* 14 */ { 1,  2,  3,  4, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 16, 17,  0,  0,  0, 14, 22,  0,  0},
    /* 15 */ { 1,  2,  3,  4, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 17, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 16 */ { 1,  2,  3,  4, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 17 */ { 1,  2,  3,  4, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17, 17,  0,  0,  0,  0,  0,  0,  0},
    /* 18 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
    /* 19 */ { 1,  2,  3,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  1,  2,  0,  0,  0,  0},
    /* 20 */ { 2,  2,  4,  4,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  2,  2,  0,  0,  0,  0},
    /* 21 */ { 1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,  0,  0,  0,  0,  0,  0, 21,  0,  0,  0},
    /* 22 */ { 1,  2,  3,  4, 22, 22, 22, 22, 22, 22, 22, 12, 13, 14,  0,  0,  0,  0,  0,  0,  0, 22,  0,  0},
    /* 23 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
    /* 24 */ { 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0},
};

bool IsWide(uint8_t t) { return t == bdtFixedWideChar || t == bdtWideVarChar; }
bool IsInt(uint8_t t) { return t >= bdtShortInt && t <= bdtCardinal; }
bool IsFloat(uint8_t t) { return t >= bdtSingle && t <= bdtExtended; }

// Destinations each source type has a rule for.
bool HasRule(uint8_t src, uint8_t dst) {
    if (dst == 0 || dst == bdtClob || dst == bdtWideClob || dst == bdtBytes || dst == bdtVarBytes || dst > 24)
        return false;
    if (IsStringBaseType(src) || src == bdtClob || src == bdtWideClob) return true;  // every destination left
    if (IsInt(src) || IsFloat(src) || IsDateTimeBaseType(src)) return dst != bdtBlob;
    if (src == bdtBoolean) return dst <= bdtExtended || dst == bdtBoolean;
    if (src == bdtCurrency) return dst <= bdtExtended || dst == bdtBoolean || dst == bdtCurrency;
    return false;
}

template <typename T>
T Load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The result block under construction; released unless handed out.
struct Result {
    TORQMemoryBlock block;
    int32_t size = 0;
    void Bytes(const void* p, int32_t n) {
        block = TORQMemoryBlock(n);
        std::memcpy(block.Data(), p, static_cast<size_t>(n));
        size = n;
    }
    template <typename T>
    void Value(T v) { Bytes(&v, sizeof v); }
    void Text(const std::string& s) { Copied(bdtVarChar, s.c_str()); }
    void Wide(const std::u16string& s) { Copied(bdtWideVarChar, s.c_str()); }
    void Copied(uint8_t type, const void* value) {
        void* p = nullptr;
        CopyValueToNewMemory(type, value, p, size);
        block = TORQMemoryBlock::Adopt(p);
    }
};

// v in an integer type's width; a value outside the type's range is an overflow, never
// cut to its low bits.
void PutInt(Result& r, uint8_t dst, int64_t v) {
    int64_t low = INT64_MIN, high = INT64_MAX;
    switch (dst) {
        case bdtShortInt: low = INT8_MIN, high = INT8_MAX; break;
        case bdtSmallInt: low = INT16_MIN, high = INT16_MAX; break;
        case bdtInteger: low = INT32_MIN, high = INT32_MAX; break;
        case bdtByte: low = 0, high = UINT8_MAX; break;
        case bdtWord: low = 0, high = UINT16_MAX; break;
        case bdtCardinal: low = 0, high = UINT32_MAX; break;
        default: break;
    }
    if (v < low || v > high) RaiseIntegerOverflow();
    switch (dst) {
        case bdtShortInt: case bdtByte: r.Value(static_cast<uint8_t>(static_cast<uint64_t>(v))); break;
        case bdtSmallInt: case bdtWord: r.Value(static_cast<uint16_t>(static_cast<uint64_t>(v))); break;
        case bdtInteger: case bdtCardinal: r.Value(static_cast<uint32_t>(static_cast<uint64_t>(v))); break;
        default: r.Value(v); break;
    }
}

void PutFloat(Result& r, uint8_t dst, long double x) {
    switch (dst) {
        case bdtSingle: {
            const float f = static_cast<float>(x);
            if (std::isinf(f) && std::isfinite(x)) throw EOverflow("Floating point overflow");
            r.Value(f);
            break;
        }
        case bdtExtended: {
            uint8_t b[10];
            PackExtended(x, b);
            r.Bytes(b, 10);
            break;
        }
        default: {
            const double d = static_cast<double>(x);
            if (std::isinf(d) && std::isfinite(x)) throw EOverflow("Floating point overflow");
            r.Value(d);
            break;
        }
    }
}

void PutTimeStamp(Result& r, int32_t days, int32_t ms) {
    uint8_t b[8];
    std::memcpy(b, &days, 4);
    std::memcpy(b + 4, &ms, 4);
    r.Bytes(b, 8);
}

void PutBool(Result& r, bool b) { r.Value(static_cast<uint16_t>(b ? 0xFFFF : 0)); }

// Truncation toward zero into 64 bits; NaN or beyond the range is the run-time's
// invalid operation.
int64_t Trunc64(long double x) {
    const long double t = std::trunc(x);
    if (!(t >= -9223372036854775808.0L && t < 9223372036854775808.0L)) throw EInvalidOp("Invalid floating point operation");
    return static_cast<int64_t>(t);
}

int32_t Low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// S without the blanks and tabs around it, as the class library's parsers trim.
std::string_view Trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// Digits to an integer, rounded half to even at Keep digits (the rest dropped):
// exact decimal arithmetic, never a binary float. False when the result would not
// fit in 63 bits.
bool RoundDigits(std::string_view digits, int64_t keep, uint64_t& out) {
    const int64_t n = static_cast<int64_t>(digits.size());
    uint64_t v = 0;
    for (int64_t i = 0; i < keep; ++i) {
        const unsigned d = i < n ? static_cast<unsigned>(digits[static_cast<size_t>(i)] - '0') : 0u;
        if (v > (static_cast<uint64_t>(INT64_MAX) - d) / 10) return false;
        v = v * 10 + d;
    }
    if (keep < n) {
        // With Keep below 0 the first dropped digit is one of the zeros in front.
        const char first = keep >= 0 ? digits[static_cast<size_t>(keep)] : '0';
        const std::string_view rest = digits.substr(static_cast<size_t>(keep >= 0 ? keep + 1 : 0));
        const bool restNonZero = rest.find_first_not_of('0') != std::string_view::npos;
        if (first > '5' || (first == '5' && (restNonZero || (v & 1) != 0))) {
            if (v == static_cast<uint64_t>(INT64_MAX)) return false;
            ++v;
        }
    }
    out = v;
    return true;
}

// Currency text to its amount: the class library's exact decimal scaling, halves to
// even at the fourth decimal ("0.00155" is 0.0016, "0.00505" is 0.0050).
double TextToCurrency(const std::string& s) { return StrToCurr(s); }

// The float texts written for NaN and the infinities.
bool SpecialFloat(const std::string& s, long double& x) {
    std::string u;
    for (char c : Trim(s)) u += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (u == "NAN") x = std::numeric_limits<long double>::quiet_NaN();
    else if (u == "INF" || u == "+INF") x = std::numeric_limits<long double>::infinity();
    else if (u == "-INF") x = -std::numeric_limits<long double>::infinity();
    else return false;
    return true;
}

// A fraction of a second behind the seconds of a time text: Head is the text without
// it (an AM/PM marker kept), Fraction the fraction in days, read as decimals
// ("30.5" is 30.5 s) and rounded half to even at the millisecond. False when the text
// carries none.
bool SplitSecondFraction(std::string_view s, std::string& head, TDateTime& fraction) {
    s = Trim(s);
    std::string_view marker;
    if (s.size() >= 2) {
        const std::string tail = UpperAscii(std::string(s.substr(s.size() - 2)));
        if (tail == "AM" || tail == "PM") {
            marker = s.substr(s.size() - 2);
            s = Trim(s.substr(0, s.size() - 2));
        }
    }
    const size_t dot = s.find_last_of(FormatSettings.DecimalSeparator);
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= s.size() || s[dot - 1] < '0' || s[dot - 1] > '9')
        return false;
    const std::string_view digits = s.substr(dot + 1);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
    // Only behind seconds: hours, minutes and seconds, with two time separators.
    const size_t colon = s.rfind(FormatSettings.TimeSeparator, dot);
    if (colon == std::string_view::npos || colon == 0 ||
        s.rfind(FormatSettings.TimeSeparator, colon - 1) == std::string_view::npos)
        return false;
    uint64_t ms = 0;
    if (!RoundDigits(digits, 3, ms)) return false;
    head = std::string(s.substr(0, dot));
    if (!marker.empty()) head += " " + std::string(marker);
    fraction = static_cast<double>(ms) / 86400000.0;
    return true;
}

TDateTime LocaleTime(const std::string& s, bool withDate) {
    std::string head;
    TDateTime fraction = 0;
    if (!SplitSecondFraction(s, head, fraction)) return withDate ? StrToDateTime(s) : StrToTime(s);
    const TDateTime dt = withDate ? StrToDateTime(head) : StrToTime(head);
    return dt < 0 ? dt - fraction : dt + fraction;  // before day 0 the time of day counts down
}

// Rule for 8-bit text (also narrowed wide text and CLOB text). fixedForms: try the
// engine's fixed date/time forms before the format-setting parsers. int32Large: a
// large-integer destination reads a 32-bit integer and sign-extends it.
void FromText(Result& r, const std::string& s, uint8_t dst, bool fixedForms, bool int32Large) {
    TDateTime dt;
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtBlob: r.Text(s); break;
        case bdtFixedWideChar: case bdtWideVarChar: r.Wide(AnsiToWide(s)); break;
        case bdtShortInt: case bdtSmallInt: case bdtInteger: case bdtByte: case bdtWord:
            PutInt(r, dst, StrToInt(s));
            break;
        case bdtCardinal: PutInt(r, dst, StrToInt64(s)); break;  // the whole unsigned range
        case bdtLargeInt: PutInt(r, dst, int32Large ? StrToInt(s) : StrToInt64(s)); break;
        case bdtSingle: case bdtDouble: case bdtExtended: {
            long double x;
            if (!SpecialFloat(s, x)) x = dst == bdtExtended ? StrToFloatExt(s) : StrToFloat(s);
            PutFloat(r, dst, x);
            break;
        }
        case bdtDate:
            if (!(fixedForms && (TryParseDateTime(s, dt) || TryParseDate(s, dt)))) dt = StrToDate(s);
            r.Value(DateTimeToDays(dt));
            break;
        case bdtTime:
            if (!(fixedForms && TryParseTime(s, dt))) dt = LocaleTime(s, false);
            r.Value(TimeToMilliseconds(dt));
            break;
        case bdtTimeStamp: {
            if (!(fixedForms && (TryParseDateTime(s, dt) || TryParseDate(s, dt)))) dt = LocaleTime(s, true);
            const TORQTimeStamp ts = DateTimeToTimeStamp(dt);
            PutTimeStamp(r, ts.Days, ts.Milliseconds);
            break;
        }
        case bdtBoolean: {
            const std::string u = UpperAscii(s);
            PutBool(r, u == "1" || u == "TRUE");
            break;
        }
        case bdtCurrency: r.Value(TextToCurrency(s)); break;
    }
}

void FromWide(Result& r, const std::u16string& w, uint8_t dst, bool int32Large) {
    switch (dst) {
        case bdtFixedWideChar: case bdtWideVarChar: case bdtBlob: r.Wide(w); break;
        default: FromText(r, WideToAnsi(w), dst, false, int32Large);
    }
}

// Integer source v (sign- or zero-extended); unsignedSrc for the text form.
void FromInt(Result& r, int64_t v, bool unsignedSrc, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar: {
            const std::string s = unsignedSrc ? UIntToStr(static_cast<uint64_t>(v)) : IntToStr(v);
            if (IsWide(dst)) r.Wide(AnsiToWide(s)); else r.Text(s);
            break;
        }
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency:
            PutFloat(r, dst, static_cast<long double>(v));
            break;
        case bdtDate: case bdtTime: r.Value(Low32(v)); break;
        case bdtTimeStamp: PutTimeStamp(r, Low32(v), 0); break;
        case bdtBoolean: PutBool(r, v != 0); break;
        default: PutInt(r, dst, v);
    }
}

void PutString(Result& r, uint8_t dst, const std::string& s) {
    if (IsWide(dst)) r.Wide(AnsiToWide(s)); else r.Text(s);
}

void FromFloat(Result& r, long double x, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar:
            PutString(r, dst, FloatToStr(x));
            break;
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency: PutFloat(r, dst, x); break;
        case bdtDate: r.Value(Low32(Trunc64(x))); break;
        case bdtTime: r.Value(Low32(Trunc64(x) % MillisecondsPerDay)); break;
        case bdtTimeStamp: {
            const int64_t whole = Trunc64(x);
            PutTimeStamp(r, Low32(whole), Low32(Trunc64((x - std::trunc(x)) * MillisecondsPerDay)));
            break;
        }
        case bdtBoolean: PutBool(r, x != 0); break;
        default: PutInt(r, dst, Trunc64(x));
    }
}

void FromDate(Result& r, int32_t d, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar:
            PutString(r, dst, d == EmptyDays ? std::string() : DateToStr(DaysToDateTime(d)));
            break;
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency: PutFloat(r, dst, d); break;
        case bdtDate: r.Value(d); break;
        case bdtTime: r.Value(d % MillisecondsPerDay); break;
        case bdtTimeStamp: PutTimeStamp(r, d, 0); break;
        case bdtBoolean: PutBool(r, d != EmptyDays); break;
        default: PutInt(r, dst, d);
    }
}

void FromTime(Result& r, int32_t m, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar:
            PutString(r, dst, m == 0 ? std::string() : TimeToStr(MillisecondsToTime(m)));
            break;
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency: PutFloat(r, dst, m); break;
        case bdtDate: case bdtTime: r.Value(m); break;
        case bdtTimeStamp: PutTimeStamp(r, EmptyDays, m); break;
        case bdtBoolean: PutBool(r, m != 0); break;
        default: PutInt(r, dst, m);
    }
}

void FromTimeStamp(Result& r, int32_t d, int32_t m, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar: {
            std::string s;
            if (d != EmptyDays) s = DateTimeToStr(TimeStampToDateTime(TORQTimeStamp{d, m}));
            else if (m != 0) s = TimeToStr(MillisecondsToTime(m));  // a time without a date (time to timestamp)
            PutString(r, dst, s);
            break;
        }
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency: {
            long double x = 0;
            if (d != EmptyDays) x += d;
            if (m != 0) x += static_cast<long double>(m) / MillisecondsPerDay;
            if (dst == bdtCurrency) x = std::nearbyint(x * 10000) / 10000;
            PutFloat(r, dst, x);
            break;
        }
        case bdtDate: r.Value(d); break;
        case bdtTime: r.Value(m); break;
        case bdtTimeStamp: PutTimeStamp(r, d, m); break;
        case bdtBoolean: PutBool(r, !(d == EmptyDays && m == 0)); break;
        default: PutInt(r, dst, d);
    }
}

void FromBoolean(Result& r, uint16_t raw, uint8_t dst) {
    const bool b = raw != 0;
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar:
            PutString(r, dst, b ? "True" : "False");
            break;
        case bdtSingle: case bdtDouble: case bdtExtended: PutFloat(r, dst, b ? 1 : 0); break;
        case bdtBoolean: r.Value(raw); break;
        default: PutInt(r, dst, b ? 1 : 0);
    }
}

void FromCurrency(Result& r, double c, uint8_t dst) {
    switch (dst) {
        case bdtFixedChar: case bdtVarChar: case bdtFixedWideChar: case bdtWideVarChar:
            PutString(r, dst, CurrToStr(c));
            break;
        case bdtSingle: case bdtDouble: case bdtExtended: case bdtCurrency: PutFloat(r, dst, c); break;
        case bdtBoolean: PutBool(r, c != 0); break;
        default: PutInt(r, dst, Trunc64(c));
    }
}

// 8-bit text up to its terminator, and within size when that is known.
std::string ClobText(const char* p, int32_t size) {
    if (size < 0) return std::string(p);
    return std::string(p, ::strnlen(p, static_cast<size_t>(size)));
}

// UTF-16 text up to its terminator, and within sizeBytes when that is known. Read
// bytewise: a record buffer holds a wide field at any address, odd ones included.
std::u16string WideText(const void* p, int32_t sizeBytes) {
    if (!p) return std::u16string();
    const auto* b = static_cast<const uint8_t*>(p);
    const size_t limit = sizeBytes < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(sizeBytes) / 2;
    size_t n = 0;
    while (n < limit && (b[2 * n] != 0 || b[2 * n + 1] != 0)) ++n;
    std::u16string r(n, u'\0');
    std::memcpy(r.data(), b, n * 2);
    return r;
}

void RunRule(Result& r, const void* src, int32_t srcSize, uint8_t srcType, uint8_t dst) {
    switch (srcType) {
        case bdtFixedChar: case bdtVarChar: {
            // A known size bounds the read even where the terminator is missing.
            const char* p = Load<const char*>(src);
            FromText(r, p ? ClobText(p, srcSize) : std::string(), dst, true, false);
            break;
        }
        case bdtFixedWideChar: case bdtWideVarChar:
            FromWide(r, WideText(Load<const void*>(src), srcSize), dst, false);
            break;
        case bdtClob: {
            const char* p = Load<const char*>(src);
            if (!p) {  // no text at all: no bytes to count
                p = "";
                srcSize = -1;
            }
            if ((dst == bdtFixedChar || dst == bdtVarChar) && srcSize >= 1) {
                // Exactly the counted bytes and a terminator.
                r.block = TORQMemoryBlock(int64_t{srcSize} + 1);
                std::memcpy(r.block.Data(), p, static_cast<size_t>(srcSize));
                r.block.Data()[srcSize] = 0;
                r.size = srcSize + 1;
                break;
            }
            FromText(r, ClobText(p, srcSize), dst, false, true);
            break;
        }
        case bdtWideClob:
            FromWide(r, WideText(Load<const void*>(src), srcSize), dst, true);
            break;
        case bdtShortInt: FromInt(r, Load<int8_t>(src), false, dst); break;
        case bdtSmallInt: FromInt(r, Load<int16_t>(src), false, dst); break;
        case bdtInteger: FromInt(r, Load<int32_t>(src), false, dst); break;
        case bdtLargeInt: FromInt(r, Load<int64_t>(src), false, dst); break;
        case bdtByte: FromInt(r, Load<uint8_t>(src), true, dst); break;
        case bdtWord: FromInt(r, Load<uint16_t>(src), true, dst); break;
        case bdtCardinal: FromInt(r, Load<uint32_t>(src), true, dst); break;
        case bdtSingle: FromFloat(r, Load<float>(src), dst); break;
        case bdtDouble: FromFloat(r, Load<double>(src), dst); break;
        case bdtExtended: FromFloat(r, UnpackExtended(src), dst); break;
        case bdtDate: FromDate(r, Load<int32_t>(src), dst); break;
        case bdtTime: FromTime(r, Load<int32_t>(src), dst); break;
        case bdtTimeStamp:
            FromTimeStamp(r, Load<int32_t>(src), Load<int32_t>(static_cast<const uint8_t*>(src) + 4), dst);
            break;
        case bdtBoolean: FromBoolean(r, Load<uint16_t>(src), dst); break;
        case bdtCurrency: FromCurrency(r, Load<double>(src), dst); break;
    }
}

[[noreturn]] void CastError(int32_t code, uint8_t src, uint8_t dst) {
    RaiseNativeFmt(code, "Cannot cast from '%s' to '%s'", {BaseFieldTypeName(src), BaseFieldTypeName(dst)});
}

int Sign(int c) { return c < 0 ? cmpLess : c > 0 ? cmpGreater : cmpEqual; }

bool IsSignedInt(uint8_t t) { return t >= bdtShortInt && t <= bdtLargeInt; }

int64_t SignedIntAt(const void* p, uint8_t t) {
    switch (t) {
        case bdtShortInt: return Load<int8_t>(p);
        case bdtSmallInt: return Load<int16_t>(p);
        case bdtInteger: return Load<int32_t>(p);
        default: return Load<int64_t>(p);
    }
}

template <typename T>
int32_t Cmp(const void* a, const void* b) {
    const T x = Load<T>(a), y = Load<T>(b);
    return x < y ? cmpLess : y < x ? cmpGreater : cmpEqual;
}

// The text of a buffer, bounded by its terminator and by Length when that is not -1.
std::string_view Bounded(const void* p, int32_t length) {
    const char* s = static_cast<const char*>(p);
    const size_t limit = length < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(length);
    return {s, ::strnlen(s, limit)};
}

// The same for wide text: read in place when it is aligned, else copied out into Copy.
std::u16string_view BoundedWide(const void* p, int32_t length, std::u16string& copy) {
    if (reinterpret_cast<uintptr_t>(p) % alignof(char16_t) != 0) {
        copy = WideText(p, length < 0 ? -1 : static_cast<int32_t>(std::min<int64_t>(int64_t{length} * 2, INT32_MAX)));
        return copy;
    }
    const char16_t* s = static_cast<const char16_t*>(p);
    size_t n = 0;
    const size_t limit = length < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(length);
    while (n < limit && s[n] != 0) ++n;
    return {s, n};
}

}  // namespace

uint8_t ResultDataType(uint8_t Type1, uint8_t Type2, bool ForComparison) {
    if (Type1 < 1 || Type1 > 24 || Type2 < 1 || Type2 > 24) return 0;
    if (ForComparison) {
        if (IsStringBaseType(Type1) && IsDateTimeBaseType(Type2)) return Type2;
        if (IsDateTimeBaseType(Type1) && IsStringBaseType(Type2)) return Type1;
    }
    return kResultType[Type1 - 1][Type2 - 1];
}

uint8_t ResultAdvancedFieldType(uint8_t Adv1, uint8_t Adv2, bool ForComparison) {
    const uint8_t b1 = AdvancedToBaseFieldType(Adv1), b2 = AdvancedToBaseFieldType(Adv2);
    const uint8_t r = ResultDataType(b1, b2, ForComparison);
    if (r == 0) return 0;
    if (r == b1) return Adv1;
    if (r == b2) return Adv2;
    return BaseToAdvancedFieldType(r);
}

void* ConvertValue(const void* Source, int32_t SourceSize, uint8_t SourceType, int32_t& DestSize, uint8_t DestType) {
    if (!HasRule(SourceType, DestType)) CastError(30052, SourceType, DestType);
    Result r;
    try {
        RunRule(r, Source, SourceSize, SourceType, DestType);
    } catch (const EORQException&) {
        throw;
    } catch (const std::exception&) {
        CastError(30051, SourceType, DestType);
    }
    DestSize = r.size;
    return r.block.Release();
}

void* ConvertValueBuffer(const void* Source, int32_t SourceSize, uint8_t SourceType, uint8_t DestType) {
    int32_t size;
    return ConvertValue(Source, SourceSize, SourceType, size, DestType);
}

namespace {

// Two values of type W.
int32_t CompareSameType(const void* Buffer1, const void* Buffer2, uint8_t w, int32_t Length, bool IgnoreCase) {
    switch (w) {
        case bdtFixedChar: case bdtVarChar: case bdtBytes:
            return Sign(CompareAnsiText(Bounded(Buffer1, Length), Bounded(Buffer2, Length), IgnoreCase));
        case bdtFixedWideChar: case bdtWideVarChar: {
            std::u16string copy1, copy2;
            return Sign(CompareWideText(BoundedWide(Buffer1, Length, copy1), BoundedWide(Buffer2, Length, copy2),
                                        IgnoreCase));
        }
        case bdtShortInt: return Cmp<int8_t>(Buffer1, Buffer2);
        case bdtSmallInt: return Cmp<int16_t>(Buffer1, Buffer2);
        case bdtInteger: case bdtDate: case bdtTime: return Cmp<int32_t>(Buffer1, Buffer2);
        case bdtLargeInt: return Cmp<int64_t>(Buffer1, Buffer2);
        case bdtByte: return Cmp<uint8_t>(Buffer1, Buffer2);
        case bdtWord: return Cmp<uint16_t>(Buffer1, Buffer2);
        case bdtCardinal: return Cmp<uint32_t>(Buffer1, Buffer2);
        case bdtSingle: return Cmp<float>(Buffer1, Buffer2);
        case bdtDouble: case bdtCurrency: return Cmp<double>(Buffer1, Buffer2);
        case bdtExtended: {
            const long double x = UnpackExtended(Buffer1), y = UnpackExtended(Buffer2);
            return x < y ? cmpLess : y < x ? cmpGreater : cmpEqual;
        }
        case bdtTimeStamp: {
            const int32_t c = Cmp<int32_t>(Buffer1, Buffer2);
            if (c != cmpEqual) return c;
            return Cmp<int32_t>(static_cast<const uint8_t*>(Buffer1) + 4, static_cast<const uint8_t*>(Buffer2) + 4);
        }
        case bdtBoolean: {
            const bool a = Load<uint16_t>(Buffer1) != 0, b = Load<uint16_t>(Buffer2) != 0;
            return a == b ? cmpEqual : a ? cmpGreater : cmpLess;
        }
        default:
            RaiseNativeFmt(30047, "Unknown DataType: '%s'", {BaseFieldTypeName(w)});
    }
}

}  // namespace

int32_t CompareValueBuffers(const void* Buffer1, const void* Buffer2, uint8_t Type1, uint8_t Type2, bool IsNull1,
                            bool IsNull2, int32_t Length, bool IgnoreCase, int32_t /*Locale*/) {
    if (IsNull1 || IsNull2) return IsNull1 && IsNull2 ? cmpBothNull : IsNull1 ? cmpFirstNull : cmpSecondNull;
    // Two signed integers of different widths compare in the wider one, which holds both
    // exactly: compared as 64-bit values, without a converted copy of either.
    if (Type1 != Type2 && IsSignedInt(Type1) && IsSignedInt(Type2)) {
        if (!Buffer1 || !Buffer2) RaiseNative(30140, "Value is Null");
        const int64_t x = SignedIntAt(Buffer1, Type1), y = SignedIntAt(Buffer2, Type2);
        return x < y ? cmpLess : y < x ? cmpGreater : cmpEqual;
    }
    // A signed integer against plain text compares as text: its decimal form is made on the
    // stack, the text it would be converted to.
    const bool text1 = Type1 == bdtFixedChar || Type1 == bdtVarChar, text2 = Type2 == bdtFixedChar || Type2 == bdtVarChar;
    if ((IsSignedInt(Type1) && text2) || (text1 && IsSignedInt(Type2))) {
        if (!Buffer1 || !Buffer2) RaiseNative(30140, "Value is Null");
        char digits[24];
        const void* number = text1 ? Buffer2 : Buffer1;
        const auto end = std::to_chars(digits, digits + sizeof digits, SignedIntAt(number, text1 ? Type2 : Type1)).ptr;
        std::string_view decimal(digits, static_cast<size_t>(end - digits));
        if (Length >= 0 && decimal.size() > static_cast<size_t>(Length)) decimal = decimal.substr(0, static_cast<size_t>(Length));
        const std::string_view text = Bounded(text1 ? Buffer1 : Buffer2, Length);
        return Sign(text1 ? CompareAnsiText(text, decimal, IgnoreCase) : CompareAnsiText(decimal, text, IgnoreCase));
    }
    uint8_t w = Type1;
    if (Type1 != Type2 || Type1 == bdtClob || Type1 == bdtWideClob) {
        w = ResultDataType(Type1, Type2, true);
        if (w == 0)
            RaiseNativeFmt(30044, "Cannot compare Incompatible DataTypes: '%s' and '%s'",
                           {BaseFieldTypeName(Type1), BaseFieldTypeName(Type2)});
    }
    if (!Buffer1 || !Buffer2) RaiseNative(30140, "Value is Null");
    // Values of one type, as keys mostly are, compare without a conversion block.
    if (Type1 == w && Type2 == w) return CompareSameType(Buffer1, Buffer2, w, Length, IgnoreCase);
    TORQMemoryBlock t1, t2;
    // Text sources are passed to the conversion as a pointer to the text.
    auto convert = [w](const void*& buf, uint8_t type, TORQMemoryBlock& t) {
        if (type == w) return;
        const void* src = IsStringBaseType(type) || type == bdtClob || type == bdtWideClob ? &buf : buf;
        t = TORQMemoryBlock::Adopt(ConvertValueBuffer(src, -1, type, w));
        buf = t.Data();
    };
    convert(Buffer1, Type1, t1);
    convert(Buffer2, Type2, t2);
    return CompareSameType(Buffer1, Buffer2, w, Length, IgnoreCase);
}

int32_t CompareKeyValues(const void* Buffer1, const void* Buffer2, uint8_t Type1, uint8_t Type2, bool IsNull1,
                         bool IsNull2, int32_t Length, bool IgnoreCase, int32_t Locale) {
    switch (CompareValueBuffers(Buffer1, Buffer2, Type1, Type2, IsNull1, IsNull2, Length, IgnoreCase, Locale)) {
        case cmpLess: case cmpFirstNull: return -1;
        case cmpGreater: case cmpSecondNull: return 1;
        default: return 0;
    }
}

}  // namespace orq
