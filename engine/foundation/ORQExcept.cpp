#include "engine/foundation/ORQExcept.h"

namespace orq {

EORQException EORQException::CreateNative(int32_t nativeError, std::string_view msg) {
    return EORQException(nativeError,
                         std::string(msg) + " - Native error: " + classlib::Format("%.5d", {nativeError}));
}

EORQException EORQException::CreateNativeFmt(int32_t nativeError, std::string_view fmt,
                                             std::span<const classlib::FormatArg> args) {
    std::string text;
    try {
        text = classlib::Format(fmt, args);
    } catch (const classlib::EConvertError&) {
        // A mismatched argument list must never become a second failure.
        text = std::string(fmt) + " Arguments are invalid!";
    }
    return EORQException(nativeError, text + " - Native error: " + classlib::Format("%5d", {nativeError}));
}

}  // namespace orq
