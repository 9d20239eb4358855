#include "classlib/SysUtils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace classlib {

namespace {

[[noreturn]] void BadFormat(std::string_view fmt) {
    throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

// Left-pads with fill to at least width characters (built anew: GCC 12 warns falsely
// on in-place inserts at the front).
std::string PadLeft(const std::string& s, size_t width, char fill) {
    if (s.size() >= width) return s;
    std::string out(width - s.size(), fill);
    out += s;
    return out;
}

std::string Digits(uint64_t v, int base, bool upper) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v, base);
    std::string s(buf, r.ptr);
    if (upper)
        for (char& c : s)
            if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Fixed notation with prec decimals, locale-free.
std::string Fixed(double v, int prec) {
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, prec);
    if (r.ec != std::errc()) return "0";
    return std::string(buf, r.ptr);
}

// Scientific notation as the class library writes it: d.ddd...E+ddd, prec significant digits.
std::string Scientific(double v, int prec) {
    char buf[128];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, prec > 0 ? prec - 1 : 0);
    std::string s(buf, r.ptr);
    auto e = s.find('e');
    if (e == std::string::npos) return s;
    std::string mant = s.substr(0, e);
    std::string ex = s.substr(e + 1);
    char sign = '+';
    if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) {
        sign = ex[0];
        ex.erase(0, 1);
    }
    return mant + "E" + sign + PadLeft(ex, 3, '0');
}

// General notation: shortest of fixed and scientific with at most prec significant digits.
std::string General(double v, int prec) {
    if (v == 0) return "0";
    if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v < 0 ? "-INF" : "INF");
    char buf[128];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, prec - 1);
    std::string s(buf, r.ptr);
    auto e = s.find('e');
    int exp10 = 0;
    std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), exp10);
    if (exp10 < -5 || exp10 >= prec) {
        std::string mant = s.substr(0, e);
        if (mant.find('.') != std::string::npos) {
            while (mant.back() == '0') mant.pop_back();
            if (mant.back() == '.') mant.pop_back();
        }
        return mant + "E" + (exp10 < 0 ? "-" : "+") + PadLeft(std::to_string(std::abs(exp10)), 2, '0');
    }
    std::string f = Fixed(v, std::max(0, prec - 1 - exp10));
    if (f.find('.') != std::string::npos) {
        while (f.back() == '0') f.pop_back();
        if (f.back() == '.') f.pop_back();
    }
    return f;
}

std::string Thousands(const std::string& fixed) {
    size_t start = (fixed[0] == '-') ? 1 : 0;
    size_t dot = fixed.find('.');
    size_t intEnd = dot == std::string::npos ? fixed.size() : dot;
    std::string out = fixed.substr(0, start);
    std::string ip = fixed.substr(start, intEnd - start);
    for (size_t k = 0; k < ip.size(); ++k) {
        if (k > 0 && (ip.size() - k) % 3 == 0) out += ',';
        out += ip[k];
    }
    return out + fixed.substr(intEnd);
}

}  // namespace

std::string Format(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    size_t argIndex = 0;
    auto nextArg = [&]() -> const FormatArg& {
        if (argIndex >= args.size()) BadFormat(fmt);
        return args[argIndex++];
    };
    auto readNumber = [&](size_t& k, int& value) -> bool {
        if (k < fmt.size() && fmt[k] == '*') {
            const FormatArg& a = nextArg();
            if (a.kind == FormatArg::Kind::Int) value = static_cast<int>(a.i);
            else if (a.kind == FormatArg::Kind::UInt) value = static_cast<int>(a.u);
            else BadFormat(fmt);
            ++k;
            return true;
        }
        bool any = false;
        value = 0;
        while (k < fmt.size() && fmt[k] >= '0' && fmt[k] <= '9') {
            value = value * 10 + (fmt[k] - '0');
            if (value > 100000) BadFormat(fmt);
            ++k;
            any = true;
        }
        return any;
    };

    for (size_t k = 0; k < fmt.size(); ++k) {
        char c = fmt[k];
        if (c != '%') {
            out += c;
            continue;
        }
        if (++k >= fmt.size()) BadFormat(fmt);
        if (fmt[k] == '%') {
            out += '%';
            continue;
        }
        // [index ":"]
        size_t digitsEnd = k;
        while (digitsEnd < fmt.size() && fmt[digitsEnd] >= '0' && fmt[digitsEnd] <= '9') ++digitsEnd;
        if (digitsEnd > k && digitsEnd < fmt.size() && fmt[digitsEnd] == ':') {
            int num = 0;
            readNumber(k, num);
            argIndex = static_cast<size_t>(num);
            ++k;
        }
        bool left = false;
        if (k < fmt.size() && fmt[k] == '-') {
            left = true;
            ++k;
        }
        int width = 0, prec = -1;
        readNumber(k, width);
        if (k < fmt.size() && fmt[k] == '.') {
            ++k;
            int p = 0;
            readNumber(k, p);
            prec = p;
        }
        if (k >= fmt.size()) BadFormat(fmt);
        char type = static_cast<char>(fmt[k] | 0x20);
        const FormatArg& a = nextArg();
        std::string text;
        switch (type) {
            case 'd':
            case 'u':
            case 'x': {
                bool neg = false;
                uint64_t mag;
                if (a.kind == FormatArg::Kind::Int) {
                    neg = a.i < 0 && type == 'd';
                    mag = neg ? (0 - static_cast<uint64_t>(a.i)) : static_cast<uint64_t>(a.i);
                    if (a.i < 0 && type != 'd') mag = static_cast<uint64_t>(a.i);
                } else if (a.kind == FormatArg::Kind::UInt) {
                    mag = a.u;
                } else {
                    BadFormat(fmt);
                }
                text = PadLeft(Digits(mag, type == 'x' ? 16 : 10, true), prec > 0 ? static_cast<size_t>(prec) : 0, '0');
                if (neg) text = std::string(1, '-') + text;
                break;
            }
            case 'e':
            case 'f':
            case 'g':
            case 'n':
            case 'm': {
                double v;
                if (a.kind == FormatArg::Kind::Float) v = static_cast<double>(a.f);
                else BadFormat(fmt);
                if (type == 'e') text = Scientific(v, prec < 0 ? 15 : std::min(prec, 18));
                else if (type == 'g') text = General(v, prec < 0 ? 15 : std::clamp(prec, 1, 18));
                else if (type == 'f') text = Fixed(v, prec < 0 ? 2 : std::min(prec, 18));
                else text = Thousands(Fixed(v, prec < 0 ? 2 : std::min(prec, 18)));
                break;
            }
            case 's': {
                if (a.kind != FormatArg::Kind::Text) BadFormat(fmt);
                text = std::string(a.s);
                if (prec >= 0 && static_cast<size_t>(prec) < text.size()) text.resize(static_cast<size_t>(prec));
                break;
            }
            case 'p': {
                if (a.kind != FormatArg::Kind::Pointer) BadFormat(fmt);
                text = PadLeft(Digits(reinterpret_cast<uintptr_t>(a.p), 16, true), 2 * sizeof(void*), '0');
                break;
            }
            default:
                BadFormat(fmt);
        }
        if (static_cast<int>(text.size()) < width) {
            size_t pad = static_cast<size_t>(width) - text.size();
            if (left) text.append(pad, ' ');
            else text = PadLeft(text, static_cast<size_t>(width), ' ');
        }
        out += text;
    }
    return out;
}

void Abort() { throw EAbort("Operation aborted"); }

}  // namespace classlib
