// CopyFieldValue between the fields of two one-record datasets: as one table of
// (source type and value, target type, result or error), then a BLOB larger than a
// stream block through the datasets' BLOB streams, and a target stream that takes
// fewer bytes than it is given.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "engine/access/ORQCopyFieldValue.h"
#include "tests/classlib/TestDataSet.h"

using namespace classlib;
using classlib_test::TTestDataSet;
using orq::CopyFieldValue;

namespace {

// A dataset with one field, open and editing.
struct OneField {
    OneField(const char* name, TFieldType type, int32_t size) {
        ds.Structure = {{name, type, size}};
        ds.Open();
        ds.Edit();
    }
    TField& F() { return *ds.Fields()[0]; }
    TTestDataSet ds;
};

enum Outcome { kValue, kNull, kConvertError, kDatabaseError };

struct Case {
    const char* what;
    TFieldType srcType;
    int32_t srcSize;
    std::function<void(TField&)> set;  // empty: the source stays Null
    TFieldType dstType;
    int32_t dstSize;
    Outcome outcome;
    std::string expected;  // the target's text after the copy
};

}  // namespace

TEST(CopyFieldValue, ByTypeAsOneTable) {
    const std::vector<Case> cases = {
        {"same type, integer", ftInteger, 0, [](TField& f) { f.SetAsInteger(-42); }, ftInteger, 0, kValue, "-42"},
        {"same type, string", ftString, 10, [](TField& f) { f.SetAsString("NAVTEX"); }, ftString, 10, kValue,
         "NAVTEX"},
        {"same type, large integer", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(INT64_C(5000000000)); },
         ftLargeint, 0, kValue, "5000000000"},
        {"integer to string", ftInteger, 0, [](TField& f) { f.SetAsInteger(518); }, ftString, 10, kValue, "518"},
        {"string to integer", ftString, 10, [](TField& f) { f.SetAsString("490"); }, ftInteger, 0, kValue, "490"},
        {"string to integer that fails", ftString, 10, [](TField& f) { f.SetAsString("518kHz"); }, ftInteger, 0,
         kConvertError, ""},
        {"string to float that fails", ftString, 10, [](TField& f) { f.SetAsString("1,5"); }, ftFloat, 0,
         kConvertError, ""},
        {"large integer beyond an integer", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(INT64_C(5000000000)); },
         ftInteger, 0, kDatabaseError, ""},
        {"float to string", ftFloat, 0, [](TField& f) { f.SetAsFloat(0.975); }, ftString, 10, kValue, "0.975"},
        {"float to integer", ftFloat, 0, [](TField& f) { f.SetAsFloat(2.5); }, ftInteger, 0, kValue, "2"},
        {"Boolean to string", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, ftString, 10, kValue, "True"},
        {"Boolean to integer", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, ftInteger, 0, kDatabaseError,
         ""},
        {"date through text", ftString, 12, [](TField& f) { f.SetAsString("2026-12-10"); }, ftDate, 0, kValue,
         "2026-12-10"},
        {"date to date", ftDate, 0, [](TField& f) { f.SetAsString("1999-02-28"); }, ftDate, 0, kValue,
         "1999-02-28"},
        {"wide string to string", ftWideString, 8, [](TField& f) { f.SetAsWideString(u"\u00c4rger"); }, ftString, 8,
         kValue, "\xc4rger"},
        {"string cut to the target's size", ftString, 20, [](TField& f) { f.SetAsString("ZCZC FA42"); }, ftString, 4,
         kValue, "ZCZC"},
        {"memo to string", ftMemo, 0, [](TField& f) { f.SetAsString("NNNN"); }, ftString, 10, kValue, "NNNN"},
        {"string to memo", ftString, 10, [](TField& f) { f.SetAsString("ZCZC"); }, ftMemo, 0, kValue, "ZCZC"},
        {"memo to BLOB", ftMemo, 0, [](TField& f) { f.SetAsString(std::string("a\0b", 3)); }, ftBlob, 0, kValue,
         std::string("a\0b", 3)},
        {"graphic to graphic", ftGraphic, 0, [](TField& f) { f.SetAsString(std::string("\x89PNG\0\x01", 6)); },
         ftGraphic, 0, kValue, std::string("\x89PNG\0\x01", 6)},
        {"integer to BLOB", ftInteger, 0, [](TField& f) { f.SetAsInteger(1); }, ftBlob, 0, kDatabaseError, ""},
        {"Null integer", ftInteger, 0, nullptr, ftInteger, 0, kNull, ""},
        {"Null string to integer", ftString, 10, nullptr, ftInteger, 0, kNull, ""},
        {"Null BLOB", ftBlob, 0, nullptr, ftBlob, 0, kNull, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OneField src("S", c.srcType, c.srcSize), dst("T", c.dstType, c.dstSize);
        if (c.set) c.set(src.F());
        // The target holds a value first, so that Null and failures show.
        if (dst.F().IsBlob())
            dst.F().SetAsString("old");
        else
            dst.F().SetAsString(c.dstType == ftDate ? "2000-01-01" : "7");
        switch (c.outcome) {
            case kValue:
                CopyFieldValue(src.F(), dst.F());
                EXPECT_FALSE(dst.F().IsNull());
                EXPECT_EQ(dst.F().AsString(), c.expected);
                break;
            case kNull:
                CopyFieldValue(src.F(), dst.F());
                EXPECT_TRUE(dst.F().IsNull());
                break;
            case kConvertError:
                EXPECT_THROW(CopyFieldValue(src.F(), dst.F()), EConvertError);
                EXPECT_EQ(dst.F().AsString(), "7");
                break;
            case kDatabaseError:
                EXPECT_THROW(CopyFieldValue(src.F(), dst.F()), EDatabaseError);
                break;
        }
    }
}

TEST(CopyFieldValue, ABlobOfSeveralBlocksPassesThroughTheStreams) {
    // More than three of the 64 KiB blocks the streams are copied in, and not a multiple.
    std::string data(3 * 65536 + 1234, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    OneField src("S", ftBlob, 0), dst("T", ftBlob, 0);
    src.F().SetAsString(data);
    dst.F().SetAsString("a longer value that the copy must replace entirely");
    CopyFieldValue(src.F(), dst.F());
    EXPECT_TRUE(dst.ds.StoredBlob(&dst.F()) == data);
    EXPECT_TRUE(static_cast<TBlobField&>(dst.F()).Modified());
    EXPECT_TRUE(src.ds.StoredBlob(&src.F()) == data);
}

TEST(CopyFieldValue, AShortBlobWriteIsAnErrorNotACutValue) {
    OneField src("S", ftMemo, 0), dst("T", ftMemo, 0);
    src.F().SetAsString(std::string(100000, 'x'));
    dst.ds.BlobWriteLimit = 70000;
    try {
        CopyFieldValue(src.F(), dst.F());
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("BLOB field 'T' stored"), std::string::npos) << e.what();
    }
}
