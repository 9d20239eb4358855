// String formats: converters between bytes and text (copy, hexadecimal in upper and
// lower case, Base64, uuencoding, xxencoding), kept in a registry and found by id.
//
// A format class has no state: each class is one immutable instance, and a "format
// class" is a pointer to it. The registry holds, at start, the six classes in the
// order TStringFormat, _HEX, _HEXL, _MIME64, _UU, _XX (ids 1, 16, 1016, 4196, 21845,
// 22616). Every decoder stays within its input and its result, whatever the input.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

namespace orq {

class EStringFormat : public classlib::Exception {
public:
    using classlib::Exception::Exception;
};

// Value is the first byte, Len a count of bytes; a negative Len means up to the
// first zero byte. Results are byte strings.
class TStringFormat {
public:
    virtual ~TStringFormat() = default;
    virtual const char* ClassName() const { return "TStringFormat"; }
    virtual std::string TextToBytes(const void* value, int32_t len) const;
    virtual std::string BytesToText(const void* value, int32_t len) const;
    // "copy Input to Output" for TStringFormat itself; a descendant that does not
    // name itself is titled by ClassNameSuffix of its class name.
    virtual std::string FormatTitle() const;
    virtual int32_t FormatId() const { return 1; }
    virtual bool CheckInput(const void* value, int32_t len, bool forDecoding) const;
};

class TStringFormat_HEX : public TStringFormat {
public:
    const char* ClassName() const override { return "TStringFormat_HEX"; }
    std::string TextToBytes(const void* value, int32_t len) const override;
    std::string BytesToText(const void* value, int32_t len) const override;
    std::string FormatTitle() const override { return "Hexadecimal"; }
    int32_t FormatId() const override { return 16; }
    // Every character must occur in the whole table (only when decoding).
    bool CheckInput(const void* value, int32_t len, bool forDecoding) const override;
    // The value characters first, then the characters that may appear and are skipped.
    virtual std::string_view FormatCharacters() const;
};

class TStringFormat_HEXL : public TStringFormat_HEX {
public:
    const char* ClassName() const override { return "TStringFormat_HEXL"; }
    std::string FormatTitle() const override { return "Hexadecimal lowercase"; }
    int32_t FormatId() const override { return 1016; }
    std::string_view FormatCharacters() const override;
};

class TStringFormat_MIME64 : public TStringFormat_HEX {
public:
    const char* ClassName() const override { return "TStringFormat_MIME64"; }
    std::string TextToBytes(const void* value, int32_t len) const override;
    std::string BytesToText(const void* value, int32_t len) const override;
    std::string FormatTitle() const override { return "MIME Base 64"; }
    int32_t FormatId() const override { return 4196; }
    std::string_view FormatCharacters() const override;
};

class TStringFormat_UU : public TStringFormat {
public:
    const char* ClassName() const override { return "TStringFormat_UU"; }
    // Raises "Input is not an valid %s Format." at a line that does not start with a
    // value character of at most 45.
    std::string TextToBytes(const void* value, int32_t len) const override;
    std::string BytesToText(const void* value, int32_t len) const override;
    std::string FormatTitle() const override { return "UU Coding"; }
    int32_t FormatId() const override { return 21845; }
    bool CheckInput(const void* value, int32_t len, bool forDecoding) const override;
    virtual std::string_view FormatCharacters() const;
};

class TStringFormat_XX : public TStringFormat_UU {
public:
    const char* ClassName() const override { return "TStringFormat_XX"; }
    std::string FormatTitle() const override { return "XX Coding"; }
    int32_t FormatId() const override { return 22616; }
    std::string_view FormatCharacters() const override;
};

using TStringFormatClass = const TStringFormat*;

// The one instance of a format class.
template <class T>
const T* FormatClassOf() {
    static const T instance;
    return &instance;
}

constexpr int32_t DefaultFormatId() { return 4196; }

// The first registered class with that id (-1 means DefaultFormatId), or nullptr.
TStringFormatClass FindStringFormat(int32_t id);

// Registers classes in order: a class whose id is registered takes that entry's
// place; others are appended; nullptr and id -1 are skipped.
void RegisterFormatClasses(std::initializer_list<TStringFormatClass> classes);

// The bytes as text in a format, and back. Value none or FormatId 0 gives "".
// Raises EStringFormat for an unknown id or an input the format refuses.
std::string BytesToFormatText(const void* value, int32_t len, int32_t formatId);
std::string FormatTextToBytes(const void* value, int32_t len, int32_t formatId);
inline std::string BytesToFormatText(std::string_view bytes, int32_t formatId) {
    return BytesToFormatText(bytes.data(), int32_t(bytes.size()), formatId);
}
inline std::string FormatTextToBytes(std::string_view text, int32_t formatId) {
    return FormatTextToBytes(text.data(), int32_t(text.size()), formatId);
}

// The class name after its first underscore; the whole name without one; "" for none.
std::string ClassNameSuffix(const char* className);

}  // namespace orq
