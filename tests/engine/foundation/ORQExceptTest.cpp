#include "engine/foundation/ORQExcept.h"

#include <gtest/gtest.h>

#include <vector>

using orq::EORQException;

TEST(EORQException, NativeFormZeroPadsTheCode) {
    struct Case { int32_t code; const char* msg; const char* want; } cases[] = {
        {30286, "Cannot allocate 0 bytes", "Cannot allocate 0 bytes - Native error: 30286"},
        {2011, "Short code", "Short code - Native error: 02011"},
        {30001, "Keeps %d unexpanded", "Keeps %d unexpanded - Native error: 30001"},
    };
    for (const auto& c : cases) {
        EORQException e = EORQException::CreateNative(c.code, c.msg);
        EXPECT_EQ(e.Message(), c.want);
        EXPECT_STREQ(e.what(), c.want);
        EXPECT_EQ(e.NativeError(), c.code);
    }
}

TEST(EORQException, FmtFormSpacePadsTheCodeAndTakes64BitArguments) {
    EORQException e = EORQException::CreateNativeFmt(30004, "Memory limit exceeded (Limit = %d bytes)",
                                                     {int64_t{1000000}});
    EXPECT_EQ(e.Message(), "Memory limit exceeded (Limit = 1000000 bytes) - Native error: 30004");
    EXPECT_EQ(EORQException::CreateNativeFmt(2011, "x", {}).Message(), "x - Native error:  2011");
    EXPECT_EQ(EORQException::CreateNativeFmt(10104, "Cannot create file. FileName = %s", {"a.orq"}).Message(),
              "Cannot create file. FileName = a.orq - Native error: 10104");
    int64_t big = int64_t{1} << 40;
    EXPECT_EQ(EORQException::CreateNativeFmt(10080, "Pos %d of %d", {big, -1}).Message(),
              "Pos 1099511627776 of -1 - Native error: 10080");
}

TEST(EORQException, MismatchedArgumentsFallBack) {
    const char* fmt = "Cannot open file. FileName = %s, Mode = %d";
    struct Case { std::vector<classlib::FormatArg> args; } cases[] = {
        {{"only one"}},      // too few
        {{5, 5}},            // number where text is asked
        {{"name", "mode"}},  // text where a number is asked
    };
    for (const auto& c : cases) {
        EORQException e = EORQException::CreateNativeFmt(10105, fmt, c.args);
        EXPECT_EQ(e.Message(), std::string(fmt) + " Arguments are invalid! - Native error: 10105");
        EXPECT_EQ(e.NativeError(), 10105);
    }
}

TEST(EORQException, IsCaughtAsTheEngineRoot) {
    try {
        orq::RaiseNative(30137, "Memory overrun detected");
    } catch (const classlib::Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Memory overrun detected - Native error: 30137");
        return;
    }
    FAIL();
}
