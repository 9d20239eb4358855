#include "engine/foundation/ORQStringFormats.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace orq;

namespace {

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EStringFormat& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(TStringFormat, RegistryHoldsTheSixFormatsInOrder) {
    struct Case { int32_t id; const char* name; const char* title; } cases[] = {
        {1, "TStringFormat", "copy Input to Output"}, {16, "TStringFormat_HEX", "Hexadecimal"},
        {1016, "TStringFormat_HEXL", "Hexadecimal lowercase"}, {4196, "TStringFormat_MIME64", "MIME Base 64"},
        {21845, "TStringFormat_UU", "UU Coding"}, {22616, "TStringFormat_XX", "XX Coding"},
    };
    for (const auto& c : cases) {
        TStringFormatClass f = FindStringFormat(c.id);
        ASSERT_NE(f, nullptr) << c.id;
        EXPECT_STREQ(f->ClassName(), c.name);
        EXPECT_EQ(f->FormatTitle(), c.title);
    }
    EXPECT_EQ(FindStringFormat(-1), FindStringFormat(4196));
    EXPECT_EQ(FindStringFormat(2), nullptr);
    EXPECT_EQ(DefaultFormatId(), 4196);
    EXPECT_EQ(FormatClassOf<TStringFormat_HEX>()->FormatCharacters().size(), 48u);
    EXPECT_EQ(FormatClassOf<TStringFormat_HEXL>()->FormatCharacters().size(), 48u);
    EXPECT_EQ(FormatClassOf<TStringFormat_MIME64>()->FormatCharacters().size(), 85u);
    EXPECT_EQ(FormatClassOf<TStringFormat_UU>()->FormatCharacters().size(), 68u);
    EXPECT_EQ(FormatClassOf<TStringFormat_XX>()->FormatCharacters().size(), 74u);
    EXPECT_EQ(ClassNameSuffix("TStringFormat_HEX"), "HEX");
    EXPECT_EQ(ClassNameSuffix("TCipher"), "TCipher");
    EXPECT_EQ(ClassNameSuffix(nullptr), "");
}

TEST(TStringFormat, FormatIdsZeroMinusOneAndUnknown) {
    EXPECT_EQ(BytesToFormatText("abc", 0), "");
    EXPECT_EQ(FormatTextToBytes("abc", 0), "");
    EXPECT_EQ(BytesToFormatText("abc", -1), "YWJj");
    EXPECT_EQ(FormatTextToBytes("YWJj", -1), "abc");
    EXPECT_EQ(MessageOf([] { BytesToFormatText("abc", 2); }), "String Format \"2\" not exists.");
    EXPECT_EQ(MessageOf([] { FormatTextToBytes("abc", 2); }), "String Format \"2\" not exists.");
    EXPECT_EQ(BytesToFormatText(std::string("a\0b", 3), 1), std::string("a\0b", 3));
    EXPECT_EQ(FormatTextToBytes(std::string("\xff\x01", 2), 1), std::string("\xff\x01", 2));
    EXPECT_EQ(BytesToFormatText(nullptr, 5, 16), "");
    EXPECT_EQ(BytesToFormatText("AB\0CD", -1, 16), "4142");  // negative Len: up to the zero byte
}

TEST(TStringFormat, Base64Rfc4648Vectors) {
    struct Case { const char* bytes; const char* text; } cases[] = {
        {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BytesToFormatText(c.bytes, 4196), c.text);
        EXPECT_EQ(FormatTextToBytes(c.text, 4196), c.bytes);
    }
    EXPECT_EQ(BytesToFormatText("", 4196), "");
    EXPECT_EQ(BytesToFormatText(std::string(100, 'x'), 4196).size(), 136u);
}

TEST(TStringFormat, Base64DecodingIgnoresBlanksAndToleratesMissingPad) {
    EXPECT_EQ(FormatTextToBytes("Zm9v\r\nYmFy", 4196), "foobar");
    EXPECT_EQ(FormatTextToBytes(" Zm9v Ym E= ", 4196), "fooba");
    EXPECT_EQ(FormatTextToBytes("QUI", 4196), "AB");
    EXPECT_EQ(FormatTextToBytes("QUI=", 4196), "AB");
    EXPECT_EQ(MessageOf([] { FormatTextToBytes("Zm9v.YmFy", 4196); }), "Input is not an valid MIME Base 64 Format.");
    // Decoding directly, without the check, drops what is not in the alphabet.
    EXPECT_EQ(FormatClassOf<TStringFormat_MIME64>()->TextToBytes("Zm9v.", 5), "foo");
}

TEST(TStringFormat, Hexadecimal) {
    EXPECT_EQ(BytesToFormatText("\x01\xAB", 16), "01AB");
    EXPECT_EQ(BytesToFormatText("\x01\xAB", 1016), "01ab");
    struct Case { const char* text; int32_t id; const char* bytes; } cases[] = {
        {"0x1F", 16, "\x1F"}, {"$1F", 16, "\x1F"}, {"1F", 16, "\x1F"}, {"1f", 16, "\x1F"},
        {"1F 2", 16, "\x1F"}, {"1fh,", 16, "\x1F"}, {"1F", 1016, "\x1F"}, {"0x1f", 1016, "\x1F"},
        {"AB x12", 16, "\x12"},  // the first prefix drops what came before it
        {"0x12$34", 16, "\x12\x34"},  // later prefixes are skipped
    };
    for (const auto& c : cases) EXPECT_EQ(FormatTextToBytes(c.text, c.id), c.bytes) << c.text;
    EXPECT_EQ(MessageOf([] { FormatTextToBytes("1G", 16); }), "Input is not an valid Hexadecimal Format.");
}

TEST(TStringFormat, UUAndXX) {
    EXPECT_EQ(BytesToFormatText("Cat", 21845), "#0V%T");
    EXPECT_EQ(FormatTextToBytes("#0V%T", 21845), "Cat");
    std::string bytes46;
    for (int i = 0; i < 46; ++i) bytes46.push_back(char(i * 5));
    const std::string uu = BytesToFormatText(bytes46, 21845);
    ASSERT_EQ(uu.size(), 61u + 5u);
    EXPECT_EQ(uu[0], 'M');
    EXPECT_EQ(uu[61], '!');
    EXPECT_EQ(uu.substr(64), "``");
    EXPECT_EQ(FormatTextToBytes(uu, 21845), bytes46);
    const std::string xx = BytesToFormatText(bytes46, 22616);
    EXPECT_EQ(FormatTextToBytes(xx, 22616), bytes46);

    // A line break between lines fails the check; decoding without it fails at the break.
    const std::string broken = uu.substr(0, 61) + "\n" + uu.substr(61);
    EXPECT_EQ(MessageOf([&] { FormatTextToBytes(broken, 21845); }), "Input is not an valid UU Coding Format.");
    EXPECT_EQ(MessageOf([&] { FormatClassOf<TStringFormat_UU>()->TextToBytes(broken.data(), int32_t(broken.size())); }),
              "Input is not an valid UU Coding Format.");
    // A line announcing more than the text holds stays within the text and gives the
    // bytes its characters carry in full.
    EXPECT_EQ(FormatClassOf<TStringFormat_UU>()->TextToBytes("M0V", 3), "C");
    EXPECT_EQ(FormatClassOf<TStringFormat_UU>()->TextToBytes("M", 1), "");
}

namespace {

// 48 bytes whose 6-bit groups are the values 0 to 63 in order.
std::string AllSixBitValues() {
    std::string bytes;
    for (int v = 0; v < 64; v += 4) {
        const uint32_t group = uint32_t(v) << 18 | uint32_t(v + 1) << 12 | uint32_t(v + 2) << 6 | uint32_t(v + 3);
        bytes.push_back(char(group >> 16));
        bytes.push_back(char(group >> 8));
        bytes.push_back(char(group));
    }
    return bytes;
}

}  // namespace

// Each format writes its values with its own characters, in value order.
TEST(TStringFormat, AlphabetsInValueOrder) {
    EXPECT_EQ(BytesToFormatText("\x01\x23\x45\x67\x89\xAB\xCD\xEF", 16), "0123456789ABCDEF");
    EXPECT_EQ(BytesToFormatText("\x01\x23\x45\x67\x89\xAB\xCD\xEF", 1016), "0123456789abcdef");

    const std::string bytes = AllSixBitValues();
    EXPECT_EQ(BytesToFormatText(bytes, 4196), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(FormatTextToBytes("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 4196), bytes);

    std::string uu = "`";  // the grave accent for 0, then 0x21 to 0x5F
    for (char c = 0x21; c <= 0x5F; ++c) uu.push_back(c);
    const std::string xx = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (const auto& [id, values] : {std::pair<int32_t, std::string>{21845, uu}, {22616, xx}}) {
        // A 45-byte line (values 0-59) and a 3-byte line (values 60-63), each led by
        // the character of its length.
        const std::string want = values[45] + values.substr(0, 60) + values[3] + values.substr(60);
        EXPECT_EQ(BytesToFormatText(bytes, id), want) << id;
        EXPECT_EQ(FormatTextToBytes(want, id), bytes) << id;
    }
    EXPECT_EQ(BytesToFormatText("Cat", 22616), "1Eq3o");
}

// The characters that may stand in a text without a value pass the decoding check;
// any other character fails it.
TEST(TStringFormat, FurtherCharactersPassTheCheck) {
    EXPECT_EQ(FormatTextToBytes("1F abcdef hHx()[]{},;:-_/\\*+\"'\t\n\r2E", 16), "\x2E");
    EXPECT_EQ(FormatTextToBytes("1f ABCDEF hHx()[]{},;:-_/\\*+\"'\t\n\r2e", 1016), "\x2E");
    EXPECT_EQ(FormatTextToBytes("QU $()[]{},;:-_\\*\"'\t\n\rJD", 4196), "ABC");
    for (const char* bad : {"1F.", "1F#", "1G", "1F!", "1F=", "1F@"})
        EXPECT_THROW(FormatTextToBytes(bad, 16), EStringFormat) << bad;
    for (const char* bad : {"QUJD.", "QUJD#", "QUJD/!", "QUJD@", "QUJD&"})
        EXPECT_THROW(FormatTextToBytes(bad, 4196), EStringFormat) << bad;
}

namespace {

// A further format that refuses to encode.
class TStringFormat_Refusing : public TStringFormat {
public:
    const char* ClassName() const override { return "TStringFormat_Refusing"; }
    int32_t FormatId() const override { return 77; }
    bool CheckInput(const void*, int32_t, bool forDecoding) const override { return forDecoding; }
};

}  // namespace

TEST(TStringFormat, RegisteringAddsOrReplacesById) {
    RegisterFormatClasses({nullptr, FormatClassOf<TStringFormat_Refusing>()});
    EXPECT_EQ(FindStringFormat(77), FormatClassOf<TStringFormat_Refusing>());
    EXPECT_EQ(FormatClassOf<TStringFormat_Refusing>()->FormatTitle(), "Refusing");
    EXPECT_EQ(MessageOf([] { BytesToFormatText("x", 77); }), "Input can not be convert to Refusing Format.");
    RegisterFormatClasses({FormatClassOf<TStringFormat_HEX>()});  // already there: stays in place
    EXPECT_EQ(FindStringFormat(16), FormatClassOf<TStringFormat_HEX>());
}
