#include "classlib/NumConv.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "classlib/SysUtils.h"

namespace classlib {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Shared integer scanner: magnitude limits for decimal (maxPos / maxNeg) and the
// unsigned width for hexadecimal.
bool ScanInt(std::string_view s, uint64_t maxPos, uint64_t maxNeg, int bits, uint64_t& bitsOut) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    bool hex = false;
    if (i < s.size() && s[i] == '$') {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    const uint64_t widthMask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        const uint64_t base = hex ? 16 : 10;
        if (hex) {
            if (v > (widthMask >> 4)) return false;
        } else if (v > (std::numeric_limits<uint64_t>::max() - d) / base) {
            return false;
        }
        v = v * base + d;
        if (!hex && v > (neg ? maxNeg : maxPos)) return false;
    }
    if (neg) v = ~v + 1;  // two's complement in unsigned arithmetic
    bitsOut = v & widthMask;
    return true;
}

[[noreturn]] void NotInteger(std::string_view s) {
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}
[[noreturn]] void NotFloat(std::string_view s) {
    throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
}

// Checks the class library's float grammar: [sign] digits [. digits] [E [sign] digits],
// at least one mantissa digit. Returns the text from_chars should read (no '+').
bool FloatSyntax(std::string_view s, std::string& out) {
    s = Trim(s);
    size_t i = 0;
    out.clear();
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        if (s[i] == '-') out += '-';
        ++i;
    }
    int digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') out += s[i++], ++digits;
    if (i < s.size() && s[i] == '.') {
        out += s[i++];
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') out += s[i++], ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        out += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            if (s[i] == '-') out += '-';
            ++i;
        }
        int e = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') out += s[i++], ++e;
        if (e == 0) return false;
    }
    return i == s.size();
}

// For a syntactically valid text out of range: true when it is too small rather than
// too large (a negative exponent, or no exponent and a zero integer part).
bool IsTiny(const std::string& text) {
    const size_t e = text.find('e');
    if (e != std::string::npos) return e + 1 < text.size() && text[e + 1] == '-';
    for (char c : text) {
        if (c == '.') return true;
        if (c >= '1' && c <= '9') return false;
    }
    return true;
}

template <typename F>
bool ParseFloat(std::string_view s, F& v) {
    std::string text;
    if (!FloatSyntax(s, text)) return false;
    F r{};
    auto res = std::from_chars(text.data(), text.data() + text.size(), r, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size()) {
        // from_chars reports underflow as out of range too: that is zero, not an error.
        if (res.ec == std::errc::result_out_of_range && IsTiny(text)) {
            v = 0;
            return true;
        }
        return false;
    }
    v = r;
    return true;
}

constexpr int64_t kCurrMax = std::numeric_limits<int64_t>::max();

std::string StripZeros(std::string s) {
    if (s.find('.') == std::string::npos) return s;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

}  // namespace

std::string IntToStr(int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string UIntToStr(uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool TryStrToInt(std::string_view s, int32_t& v) {
    uint64_t b;
    if (!ScanInt(s, INT32_MAX, uint64_t{INT32_MAX} + 1, 32, b)) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(b));
    return true;
}

bool TryStrToInt64(std::string_view s, int64_t& v) {
    uint64_t b;
    if (!ScanInt(s, INT64_MAX, uint64_t{INT64_MAX} + 1, 64, b)) return false;
    v = static_cast<int64_t>(b);
    return true;
}

int32_t StrToInt(std::string_view s) {
    int32_t v;
    if (!TryStrToInt(s, v)) NotInteger(s);
    return v;
}

int64_t StrToInt64(std::string_view s) {
    int64_t v;
    if (!TryStrToInt64(s, v)) NotInteger(s);
    return v;
}

bool TryStrToFloat(std::string_view s, long double& v) { return ParseFloat(s, v); }
bool TryStrToFloat(std::string_view s, double& v) { return ParseFloat(s, v); }

double StrToFloat(std::string_view s) {
    double v;
    if (!TryStrToFloat(s, v)) NotFloat(s);
    return v;
}

long double StrToFloatExt(std::string_view s) {
    long double v;
    if (!TryStrToFloat(s, v)) NotFloat(s);
    return v;
}

bool TryStrToCurr(std::string_view s, double& v) {
    // The decimal digits are scaled to ten-thousandths exactly and rounded half to even
    // there: a binary float in between would put "0.00215" below its half.
    s = Trim(s);
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::string digits;
    int64_t exponent = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') digits += s[i++];
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            digits += s[i++];
            --exponent;
        }
    }
    if (digits.empty()) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegative = s[i++] == '-';
        int64_t e = 0;
        const size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') e = std::min<int64_t>(e * 10 + (s[i++] - '0'), 100000000);
        if (i == start) return false;
        exponent += expNegative ? -e : e;
    }
    if (i != s.size()) return false;
    const size_t nonZero = digits.find_first_not_of('0');
    if (nonZero == std::string::npos) {
        v = negative ? -0.0 : 0.0;
        return true;
    }
    digits.erase(0, nonZero);
    // Ten-thousandths keep the digits up to position size + exponent + 4; more than 19
    // of them cannot fit in 63 bits.
    const int64_t keep = static_cast<int64_t>(digits.size()) + exponent + 4;
    if (keep > 19) return false;
    uint64_t scaled = 0;
    for (int64_t k = 0; k < keep; ++k) {
        const unsigned d =
            k < static_cast<int64_t>(digits.size()) ? static_cast<unsigned>(digits[static_cast<size_t>(k)] - '0') : 0u;
        if (scaled > (static_cast<uint64_t>(kCurrMax) - d) / 10) return false;
        scaled = scaled * 10 + d;
    }
    if (keep < static_cast<int64_t>(digits.size())) {
        // With keep below 0 the first dropped digit is one of the zeros in front.
        const char first = keep >= 0 ? digits[static_cast<size_t>(keep)] : '0';
        const size_t restAt = keep >= 0 ? static_cast<size_t>(keep) + 1 : 0;
        const bool restNonZero = digits.find_first_not_of('0', restAt) != std::string::npos;
        if (first > '5' || (first == '5' && (restNonZero || (scaled & 1) != 0))) {
            if (scaled == static_cast<uint64_t>(kCurrMax)) return false;
            ++scaled;
        }
    }
    // Below 2^53 the count is exact in a double and one division rounds correctly.
    const double amount = scaled < (uint64_t{1} << 53)
                              ? static_cast<double>(scaled) / 10000.0
                              : static_cast<double>(static_cast<long double>(scaled) / 10000.0L);
    v = negative ? -amount : amount;
    return true;
}

double StrToCurr(std::string_view s) {
    double v;
    if (!TryStrToCurr(s, v)) NotFloat(s);
    return v;
}

std::string FloatToStr(long double v, int digits) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
    if (v == 0) return "0";
    char buf[128];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits - 1);
    std::string s(buf, r.ptr);
    const size_t e = s.find('e');
    int exp10 = 0;
    const char* ep = s.data() + e + 1;
    if (*ep == '+') ++ep;
    std::from_chars(ep, s.data() + s.size(), exp10);
    if (exp10 < -4 || exp10 >= digits) {
        return StripZeros(s.substr(0, e)) + "E" + std::to_string(exp10);
    }
    r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, std::max(0, digits - 1 - exp10));
    return StripZeros(std::string(buf, r.ptr));
}

std::string CurrToStr(double v) {
    const long double scaled = std::nearbyint(static_cast<long double>(v) * 10000.0L);
    if (!(std::fabs(scaled) <= static_cast<long double>(kCurrMax))) return FloatToStr(v);
    const int64_t n = static_cast<int64_t>(scaled);
    const uint64_t mag = n < 0 ? ~static_cast<uint64_t>(n) + 1 : static_cast<uint64_t>(n);
    std::string frac = std::to_string(mag % 10000);
    if (frac.size() < 4) frac = std::string(4 - frac.size(), '0') + frac;
    std::string s = n < 0 ? "-" : "";
    s += UIntToStr(mag / 10000);
    s += '.';
    s += frac;
    return StripZeros(s);
}

}  // namespace classlib
