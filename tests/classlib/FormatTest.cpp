#include "classlib/SysUtils.h"

#include <gtest/gtest.h>

#include <vector>

using classlib::Format;

TEST(Format, Table) {
    struct Case { const char* fmt; std::vector<classlib::FormatArg> args; const char* want; } cases[] = {
        {"%d", {42}, "42"},
        {"%.5d", {2011}, "02011"},
        {"%.5d", {-11}, "-00011"},
        {"%5d", {2011}, " 2011"},
        {"%-5d|", {7}, "7    |"},
        {"%x", {255}, "FF"},
        {"%.4x", {255u}, "00FF"},
        {"%u", {uint64_t{18446744073709551615u}}, "18446744073709551615"},
        {"%s and %s", {"a", "b"}, "a and b"},
        {"%.2s", {"abc"}, "ab"},
        {"%5s", {"ab"}, "   ab"},
        {"%f", {1.5}, "1.50"},
        {"%.3f", {-0.0005}, "-0.001"},
        {"%g", {518.0}, "518"},
        {"%g", {0.975}, "0.975"},
        {"%e", {1234.5}, "1.23450000000000E+003"},
        {"%n", {1234567.891}, "1,234,567.89"},
        {"100%%", {}, "100%"},
        {"%1:s %0:s", {"a", "b"}, "b a"},
        {"%*d", {4, 7}, "   7"},
    };
    for (const auto& c : cases) EXPECT_EQ(Format(c.fmt, c.args), c.want) << c.fmt;
}

TEST(Format, MismatchRaisesConvertError) {
    struct Case { const char* fmt; std::vector<classlib::FormatArg> args; } cases[] = {
        {"%d", {}}, {"%d", {"x"}}, {"%s", {1}}, {"%f", {1}}, {"%q", {1}}, {"%", {}}, {"%5", {1}},
    };
    for (const auto& c : cases) EXPECT_THROW(Format(c.fmt, c.args), classlib::EConvertError) << c.fmt;
}
