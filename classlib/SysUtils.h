// The run-time pieces every layer shares: the exception root and its standard
// descendants, and Format, the class library's printf-like formatter made safe:
// arguments carry their kind, so a mismatch is an EConvertError, never undefined
// behaviour. Nothing here reads or changes the process locale.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace classlib {

// Root of every exception the system raises itself; carries the message text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

protected:
    std::string FMessage;
};

// The run-time's conversion and arithmetic failures, kept apart so that rules such
// as "re-raise as code N" can tell them from each other.
class EConvertError : public Exception { using Exception::Exception; };
class EIntOverflow : public Exception { using Exception::Exception; };
class EOverflow : public Exception { using Exception::Exception; };
class EZeroDivide : public Exception { using Exception::Exception; };
class EInvalidOp : public Exception { using Exception::Exception; };
class EOutOfMemory : public Exception { using Exception::Exception; };
class EInOutError : public Exception { using Exception::Exception; };
// The silent exception: it ends an operation without an error message.
class EAbort : public Exception { using Exception::Exception; };
[[noreturn]] void Abort();  // raises EAbort "Operation aborted"

// One argument of Format: an integer, a floating value, a text or a pointer.
struct FormatArg {
    enum class Kind { Int, UInt, Float, Text, Pointer };
    Kind kind;
    int64_t i = 0;
    uint64_t u = 0;
    long double f = 0;
    std::string_view s;
    const void* p = nullptr;

    template <typename T>
        requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char>)
    FormatArg(T v) : kind(Kind::Int), i(v) {}
    template <typename T>
        requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
    FormatArg(T v) : kind(Kind::UInt), u(v) {}
    FormatArg(bool v) : kind(Kind::Int), i(v ? 1 : 0) {}
    FormatArg(char c) = delete;  // ambiguous between text and number: pass a string
    FormatArg(double v) : kind(Kind::Float), f(v) {}
    FormatArg(long double v) : kind(Kind::Float), f(v) {}
    FormatArg(float v) : kind(Kind::Float), f(v) {}
    FormatArg(std::string_view v) : kind(Kind::Text), s(v) {}
    FormatArg(const std::string& v) : kind(Kind::Text), s(v) {}
    FormatArg(const char* v) : kind(Kind::Text), s(v ? std::string_view(v) : std::string_view()) {}
    FormatArg(const void* v) : kind(Kind::Pointer), p(v) {}
};

// The class library's Format: "%" [index ":"] ["-"] [width] ["." prec] type, with the
// types d u x e f g n p s and "%%"; width and prec may be "*". Raises EConvertError
// when the format is malformed or an argument is missing or of the wrong kind.
std::string Format(std::string_view fmt, std::span<const FormatArg> args);
inline std::string Format(std::string_view fmt, std::initializer_list<FormatArg> args) {
    return Format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace classlib
