// String formats and their registry; see ORQStringFormats.h.
#include "engine/foundation/ORQStringFormats.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace orq {

namespace {

// Resolves the common argument rules: no value or Len 0 gives an empty view;
// a negative Len counts up to the first zero byte.
std::string_view Input(const void* value, int32_t len) {
    if (value == nullptr) return {};
    const char* p = static_cast<const char*>(value);
    if (len < 0) return std::string_view(p, std::strlen(p));
    return std::string_view(p, std::size_t(len));
}

int32_t IndexIn(std::string_view table, char c, std::size_t limit) {
    const std::size_t at = table.substr(0, limit).find(c);
    return at == std::string_view::npos ? -1 : int32_t(at);
}

[[noreturn]] void RaiseInvalid(const TStringFormat& format) {
    throw EStringFormat(classlib::Format("Input is not an valid %s Format.", {format.FormatTitle()}));
}

// Four characters of a 24-bit group, from a 64-character value table.
void AppendGroup(std::string& out, std::string_view table, uint32_t group) {
    out.push_back(table[(group >> 18) & 63]);
    out.push_back(table[(group >> 12) & 63]);
    out.push_back(table[(group >> 6) & 63]);
    out.push_back(table[group & 63]);
}

// The 64-value-character line formats (UU, XX): their encoder, decoder and check.
std::string LinesToText(std::string_view table, std::string_view in) {
    std::string out;
    out.reserve((in.size() + 44) / 45 * 61);
    std::size_t pos = 0;
    while (pos < in.size()) {
        const std::size_t n = std::min<std::size_t>(45, in.size() - pos);
        out.push_back(table[n]);
        for (std::size_t i = 0; i < n; i += 3) {
            uint32_t group = 0;
            for (std::size_t k = 0; k < 3; ++k)
                group = (group << 8) | (i + k < n ? uint8_t(in[pos + i + k]) : 0u);
            AppendGroup(out, table, group);
        }
        pos += n;
    }
    return out;
}

std::string TextToLines(const TStringFormat& format, std::string_view table, std::string_view in) {
    std::string out;
    out.reserve(in.size() * 3 / 4 + 3);
    std::size_t i = 0;
    while (i < in.size()) {
        const int32_t count = IndexIn(table, in[i], 64);
        if (count < 0 || count > 45) RaiseInvalid(format);
        ++i;
        int32_t n = count;
        while (n > 0) {
            uint32_t group = 0;
            int32_t got = 0;
            while (got < 4 && i < in.size()) {
                const int32_t v = IndexIn(table, in[i++], 64);
                if (v < 0) continue;  // blanks inside a line carry no value
                group = (group << 6) | uint32_t(v);
                ++got;
            }
            // A line that announces more than the text holds ends with the text, giving
            // only the bytes its last characters carry in full.
            group <<= 6 * (4 - got);
            const int32_t take = std::min(n > 3 ? 3 : n, 6 * got / 8);
            for (int32_t k = 0; k < take; ++k) out.push_back(char(group >> (16 - 8 * k)));
            n -= 3;
            if (got < 4) return out;
        }
    }
    return out;
}

bool CheckLines(std::string_view table, std::string_view in) {
    int32_t due = 0;
    for (char c : in) {
        const int32_t pos = IndexIn(table, c, table.size());
        if (pos < 0) return false;
        if (due == 0) {
            if (pos > 45) return false;
            due = (4 * pos + 2) / 3;
        } else if (pos < 64) {
            --due;
        }
    }
    return due == 0;
}

struct Registry {
    std::mutex lock;
    std::vector<TStringFormatClass> classes;
    Registry() {
        classes = {FormatClassOf<TStringFormat>(),        FormatClassOf<TStringFormat_HEX>(),
                   FormatClassOf<TStringFormat_HEXL>(),   FormatClassOf<TStringFormat_MIME64>(),
                   FormatClassOf<TStringFormat_UU>(),     FormatClassOf<TStringFormat_XX>()};
    }
};

Registry& FormatRegistry() {
    static Registry registry;
    return registry;
}

TStringFormatClass FindLocked(Registry& r, int32_t id) {
    if (id == -1) id = DefaultFormatId();
    for (TStringFormatClass c : r.classes)
        if (c->FormatId() == id) return c;
    return nullptr;
}

}  // namespace

// TStringFormat: bytes copied unchanged both ways.

std::string TStringFormat::TextToBytes(const void* value, int32_t len) const {
    return std::string(Input(value, len));
}
std::string TStringFormat::BytesToText(const void* value, int32_t len) const {
    return std::string(Input(value, len));
}
std::string TStringFormat::FormatTitle() const {
    if (std::strcmp(ClassName(), "TStringFormat") == 0) return "copy Input to Output";
    return ClassNameSuffix(ClassName());
}
bool TStringFormat::CheckInput(const void*, int32_t, bool) const { return true; }

// Hexadecimal.

std::string_view TStringFormat_HEX::FormatCharacters() const {
    static constexpr char table[] = "0123456789ABCDEFX$ abcdefhHx()[]{},;:-_/\\*+\"'\t\n\r";
    static_assert(sizeof(table) - 1 == 48);
    return {table, sizeof(table) - 1};
}
std::string_view TStringFormat_HEXL::FormatCharacters() const {
    static constexpr char table[] = "0123456789abcdefX$ ABCDEFhHx()[]{},;:-_/\\*+\"'\t\n\r";
    static_assert(sizeof(table) - 1 == 48);
    return {table, sizeof(table) - 1};
}

std::string TStringFormat_HEX::BytesToText(const void* value, int32_t len) const {
    const std::string_view in = Input(value, len);
    const std::string_view digits = FormatCharacters().substr(0, 16);
    std::string out;
    out.reserve(in.size() * 2);
    for (char c : in) {
        out.push_back(digits[uint8_t(c) >> 4]);
        out.push_back(digits[uint8_t(c) & 15]);
    }
    return out;
}

std::string TStringFormat_HEX::TextToBytes(const void* value, int32_t len) const {
    static constexpr std::string_view values = "0123456789ABCDEFX$";
    const std::string_view in = Input(value, len);
    std::string out;
    out.reserve(in.size() / 2);
    bool prefixSeen = false, high = true;
    uint8_t pending = 0;
    for (char c : in) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        const int32_t v = IndexIn(values, c, values.size());
        if (v < 0) continue;
        if (v >= 16) {
            // The first prefix ("0x1F", "$1F") drops whatever came before it.
            if (!prefixSeen) {
                prefixSeen = true;
                out.clear();
                high = true;
            }
            continue;
        }
        if (high) {
            pending = uint8_t(v << 4);
        } else {
            out.push_back(char(pending | v));
        }
        high = !high;
    }
    return out;
}

bool TStringFormat_HEX::CheckInput(const void* value, int32_t len, bool forDecoding) const {
    if (!forDecoding) return true;
    const std::string_view table = FormatCharacters();
    for (char c : Input(value, len))
        if (table.find(c) == std::string_view::npos) return false;
    return true;
}

// Base64.

std::string_view TStringFormat_MIME64::FormatCharacters() const {
    static constexpr char table[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="
        " $()[]{},;:-_\\*\"'\t\n\r";
    static_assert(sizeof(table) - 1 == 85);
    return {table, sizeof(table) - 1};
}

std::string TStringFormat_MIME64::BytesToText(const void* value, int32_t len) const {
    const std::string_view in = Input(value, len);
    const std::string_view table = FormatCharacters();
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < in.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, in.size() - i);
        uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) group = (group << 8) | (k < n ? uint8_t(in[i + k]) : 0u);
        AppendGroup(out, table, group);
        if (n < 3) out[out.size() - 1] = '=';
        if (n < 2) out[out.size() - 2] = '=';
    }
    return out;
}

std::string TStringFormat_MIME64::TextToBytes(const void* value, int32_t len) const {
    const std::string_view table = FormatCharacters();
    std::string chars;  // the alphabet characters and pads, in order
    for (char c : Input(value, len))
        if (IndexIn(table, c, 65) >= 0) chars.push_back(c);
    while (chars.size() % 4 != 0) chars.push_back('=');

    std::string out;
    out.reserve(chars.size() / 4 * 3);
    int64_t remaining = int64_t(chars.size()) / 4 * 3;
    std::size_t i = 0;
    while (remaining > 0 && i < chars.size()) {
        uint32_t group = 0;
        for (int k = 0; k < 4 && i < chars.size(); ++k, ++i) {
            group <<= 6;
            if (chars[i] == '=')
                --remaining;
            else
                group += uint32_t(IndexIn(table, chars[i], 64));
        }
        const int64_t take = remaining > 3 ? 3 : remaining;
        for (int64_t k = 0; k < take; ++k) out.push_back(char(group >> (16 - 8 * k)));
        remaining -= 3;
    }
    return out;
}

// UU and XX.

std::string_view TStringFormat_UU::FormatCharacters() const {
    static constexpr char table[] =
        "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_ \t\n\r";
    static_assert(sizeof(table) - 1 == 68);
    return {table, sizeof(table) - 1};
}
std::string_view TStringFormat_XX::FormatCharacters() const {
    static constexpr char table[] =
        "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz \"()[]'\t\n\r";
    static_assert(sizeof(table) - 1 == 74);
    return {table, sizeof(table) - 1};
}

std::string TStringFormat_UU::BytesToText(const void* value, int32_t len) const {
    return LinesToText(FormatCharacters(), Input(value, len));
}
std::string TStringFormat_UU::TextToBytes(const void* value, int32_t len) const {
    return TextToLines(*this, FormatCharacters(), Input(value, len));
}
bool TStringFormat_UU::CheckInput(const void* value, int32_t len, bool forDecoding) const {
    return !forDecoding || CheckLines(FormatCharacters(), Input(value, len));
}

// Registry and the two entry points.

TStringFormatClass FindStringFormat(int32_t id) {
    Registry& r = FormatRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    return FindLocked(r, id);
}

void RegisterFormatClasses(std::initializer_list<TStringFormatClass> classes) {
    Registry& r = FormatRegistry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (TStringFormatClass c : classes) {
        if (c == nullptr || c->FormatId() == -1) continue;
        bool replaced = false;
        for (TStringFormatClass& entry : r.classes) {
            if (entry->FormatId() == c->FormatId()) {
                entry = c;
                replaced = true;
                break;
            }
        }
        if (!replaced) r.classes.push_back(c);
    }
}

namespace {

TStringFormatClass RequireFormat(int32_t formatId) {
    TStringFormatClass c = FindStringFormat(formatId);
    if (c == nullptr)
        throw EStringFormat(classlib::Format("String Format \"%d\" not exists.", {formatId}));
    return c;
}

}  // namespace

std::string BytesToFormatText(const void* value, int32_t len, int32_t formatId) {
    if (value == nullptr || formatId == 0) return {};
    const std::string_view in = Input(value, len);
    if (in.empty()) return {};
    TStringFormatClass c = RequireFormat(formatId);
    if (!c->CheckInput(in.data(), int32_t(in.size()), false))
        throw EStringFormat(classlib::Format("Input can not be convert to %s Format.", {c->FormatTitle()}));
    return c->BytesToText(in.data(), int32_t(in.size()));
}

std::string FormatTextToBytes(const void* value, int32_t len, int32_t formatId) {
    if (value == nullptr || formatId == 0) return {};
    const std::string_view in = Input(value, len);
    if (in.empty()) return {};
    TStringFormatClass c = RequireFormat(formatId);
    if (!c->CheckInput(in.data(), int32_t(in.size()), true)) RaiseInvalid(*c);
    return c->TextToBytes(in.data(), int32_t(in.size()));
}

std::string ClassNameSuffix(const char* className) {
    if (className == nullptr) return {};
    const std::string_view name(className);
    const std::size_t at = name.find('_');
    return std::string(at == std::string_view::npos ? name : name.substr(at + 1));
}

}  // namespace orq
