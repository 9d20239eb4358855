// EORQException: every failure the engine detects itself. The native error code is
// the stable identification of the failure (callers above test it); the message
// always ends with " - Native error: " and the code. Codes are chosen per raise site
// by range: 10000-10999 streams, files, BLOB streams, containers, fields, cursor and
// dataset layer; 20000-20999 pages, B-trees, indexes, disk engine, sessions, locks;
// 30000-30999 memory, data types, SQL, table definitions, the database file.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

namespace orq {

class EORQException : public classlib::Exception {
public:
    int32_t NativeError() const noexcept { return FNativeError; }

    // Msg followed by " - Native error: " and the code as "%.5d"; Msg is not expanded.
    static EORQException CreateNative(int32_t nativeError, std::string_view msg);

    // Fmt formatted with Args, then " - Native error: " and the code as "%5d". When the
    // arguments do not fit the format the text is Fmt + " Arguments are invalid!".
    static EORQException CreateNativeFmt(int32_t nativeError, std::string_view fmt,
                                         std::span<const classlib::FormatArg> args);
    static EORQException CreateNativeFmt(int32_t nativeError, std::string_view fmt,
                                         std::initializer_list<classlib::FormatArg> args) {
        return CreateNativeFmt(nativeError, fmt, std::span<const classlib::FormatArg>(args.begin(), args.size()));
    }

protected:
    EORQException(int32_t nativeError, std::string message)
        : classlib::Exception(std::move(message)), FNativeError(nativeError) {}

private:
    int32_t FNativeError;
};

// Raise helpers for the common pattern at raise sites.
[[noreturn]] inline void RaiseNative(int32_t code, std::string_view msg) {
    throw EORQException::CreateNative(code, msg);
}
[[noreturn]] inline void RaiseNativeFmt(int32_t code, std::string_view fmt,
                                        std::initializer_list<classlib::FormatArg> args) {
    throw EORQException::CreateNativeFmt(code, fmt, args);
}

// 30930 "Integer overflow": integer arithmetic (+, -, *, /, negation, SUM) or a
// conversion between integer widths whose result leaves the type's range. The engine
// never hands out a wrapped integer; floating point keeps its own rules.
[[noreturn]] inline void RaiseIntegerOverflow() { RaiseNative(30930, "Integer overflow"); }
// 30931 "%s": any other run-time error that would reach a statement's caller without a
// native code (a floating-point or conversion error), with its own text.

}  // namespace orq
