// The field manager: field data conversions, the autoincrement counters and their saved
// state, defaults, record forms, record comparison and the BLOB block-size check.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "FakeExpression.h"
#include "GoldenBytes.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQBaseEngine.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using golden::operator+;

namespace {

struct FieldSpec {
    const char* Name;
    uint8_t Type;
    int32_t Size = 0;
};

// A field manager over the given fields, layout built and counters reset.
struct Manager : TORQBaseFieldManager {
    explicit Manager(std::initializer_list<FieldSpec> Fields) : TORQBaseFieldManager(nullptr) {
        int32_t id = 100;
        for (const FieldSpec& s : Fields) {
            TORQFieldDef* f = FieldDefs.Add();
            f->Name = s.Name;
            f->ObjectID = id++;
            f->SetDataType(s.Type, s.Size);
        }
        RebuildLayout();
        ResetAutoincValues();
    }
    TORQFieldDef& Field(int32_t i) { return *FieldDefs.GetItem(i); }
    std::vector<uint8_t> Record() const {
        std::vector<uint8_t> r(static_cast<size_t>(FieldDefs.GetMemoryRecordSize()), 0);
        std::memset(r.data(), 0xFF, static_cast<size_t>(FieldDefs.GetNullBitmapSize()));
        return r;
    }
};

// ---------------------------------------------------------------------------------
// Field data

TEST(FieldData, ReadConvertsToTheDatasetForms) {
    Manager m({{"S", aftShortInt}, {"C", aftCardinal}, {"F", aftSingle}, {"E", aftExtended}, {"I", aftInteger},
               {"M", aftMemo}});
    std::vector<uint8_t> r = m.Record();
    r[0] = 0;  // all six present
    const int32_t s = m.Field(0).MemoryOffset, c = m.Field(1).MemoryOffset, f = m.Field(2).MemoryOffset,
                  e = m.Field(3).MemoryOffset, i = m.Field(4).MemoryOffset;
    r[s] = 0xFD;  // -3
    std::memset(&r[c], 0xFF, 4);
    const uint8_t oneAndAHalf[4] = {0x00, 0x00, 0xC0, 0x3F};  // 1.5f
    std::memcpy(&r[f], oneAndAHalf, 4);
    const uint8_t twoAndAHalf[10] = {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0x40};  // 2.5, 80-bit
    std::memcpy(&r[e], twoAndAHalf, 10);
    const uint8_t i32[4] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(&r[i], i32, 4);

    uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    ASSERT_TRUE(ReadFieldData(0, m.FieldDefs, out, r.data()));
    EXPECT_EQ(golden::Bytes(out, out + 3), (golden::Bytes{0xFD, 0xFF, 0xAA})) << "Int16, two bytes";
    ASSERT_TRUE(ReadFieldData(1, m.FieldDefs, out, r.data()));
    EXPECT_EQ(golden::Bytes(out, out + 8), (golden::Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    double d;
    ASSERT_TRUE(ReadFieldData(2, m.FieldDefs, &d, r.data()));
    EXPECT_EQ(d, 1.5);
    ASSERT_TRUE(ReadFieldData(3, m.FieldDefs, &d, r.data()));
    EXPECT_EQ(d, 2.5);
    int32_t v;
    ASSERT_TRUE(ReadFieldData(4, m.FieldDefs, &v, r.data()));
    EXPECT_EQ(v, 0x12345678);
    std::memset(out, 0xAA, sizeof out);
    EXPECT_TRUE(ReadFieldData(5, m.FieldDefs, out, r.data()));
    EXPECT_EQ(out[0], 0xAA) << "BLOB fields are not copied";

    EXPECT_TRUE(ReadFieldData(4, m.FieldDefs, nullptr, r.data())) << "a Null test";
    r[0] = 0x10;
    EXPECT_FALSE(ReadFieldData(4, m.FieldDefs, &v, r.data()));
    EXPECT_FALSE(ReadFieldData(4, m.FieldDefs, nullptr, r.data()));
    ExpectNative([&] { ReadFieldData(6, m.FieldDefs, &v, r.data()); }, 10000,
                 "Invalid field number - FieldNo = 6, FieldCount = 6 - Native error: 10000");
}

TEST(FieldData, WriteConvertsBackAndEmptyTextIsNull) {
    Manager m({{"S", aftShortInt}, {"C", aftCardinal}, {"F", aftSingle}, {"E", aftExtended}, {"T", aftVarChar, 4},
               {"W", aftWideVarChar, 3}});
    std::vector<uint8_t> r = m.Record();
    const int16_t s = -3;
    WriteFieldData(0, m.FieldDefs, &s, r.data());
    EXPECT_EQ(r[m.Field(0).MemoryOffset], 0xFD);
    const uint64_t c = 0x1122334455667788ull;
    WriteFieldData(1, m.FieldDefs, &c, r.data());
    EXPECT_EQ(golden::Bytes(&r[m.Field(1).MemoryOffset], &r[m.Field(1).MemoryOffset] + 4),
              (golden::Bytes{0x88, 0x77, 0x66, 0x55}));
    const double f = 1.5, e = 2.5;
    WriteFieldData(2, m.FieldDefs, &f, r.data());
    EXPECT_EQ(golden::Bytes(&r[m.Field(2).MemoryOffset], &r[m.Field(2).MemoryOffset] + 4),
              (golden::Bytes{0x00, 0x00, 0xC0, 0x3F}));
    WriteFieldData(3, m.FieldDefs, &e, r.data());
    EXPECT_EQ(golden::Bytes(&r[m.Field(3).MemoryOffset], &r[m.Field(3).MemoryOffset] + 10),
              (golden::Bytes{0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0x40}));
    EXPECT_EQ(r[0], 0xF0) << "four fields now present";

    // Null: a nil buffer, an empty text, an empty wide text; nothing else written.
    const char text[5] = "abc";
    WriteFieldData(4, m.FieldDefs, text, r.data());
    EXPECT_FALSE(GetBit(r.data(), 4));
    const char empty[5] = "";
    WriteFieldData(4, m.FieldDefs, empty, r.data());
    EXPECT_TRUE(GetBit(r.data(), 4));
    EXPECT_EQ(r[m.Field(4).MemoryOffset], 'a');
    const char16_t wide[4] = {0, 'x', 0, 0};
    WriteFieldData(5, m.FieldDefs, wide, r.data());
    EXPECT_TRUE(GetBit(r.data(), 5));
    WriteFieldData(0, m.FieldDefs, nullptr, r.data());
    EXPECT_TRUE(GetBit(r.data(), 0));
    EXPECT_EQ(r[m.Field(0).MemoryOffset], 0xFD);
    ExpectNative([&] { WriteFieldData(6, m.FieldDefs, &s, r.data()); }, 10004);
}

TEST(FieldData, BuffersEqualRefusesNilBuffers) {
    const uint8_t a[3] = {0, 1, 2}, b[3] = {0, 1, 3};
    EXPECT_TRUE(BuffersEqual(a, b, 2));
    EXPECT_FALSE(BuffersEqual(a, b, 3));
    ExpectNative([&] { BuffersEqual(nullptr, b, 3); }, 10122, "Nil pointer occured - Native error: 10122");
    ExpectNative([&] { BuffersEqual(a, nullptr, 3); }, 10123);
}

// ---------------------------------------------------------------------------------
// Record comparison and forms

TEST(RecordBuffersEqual, ComparesEveryByteOfEachField) {
    Manager m({{"I", aftInteger}, {"T", aftVarChar, 6}, {"M", aftMemo}});
    std::vector<uint8_t> a = m.Record(), b = m.Record();
    a[0] = b[0] = 0;
    EXPECT_TRUE(m.RecordBuffersEqual(a.data(), b.data()));
    // 256 against 512: both start with a zero byte.
    a[m.Field(0).MemoryOffset + 1] = 1;
    b[m.Field(0).MemoryOffset + 1] = 2;
    EXPECT_FALSE(m.RecordBuffersEqual(a.data(), b.data()));
    b[m.Field(0).MemoryOffset + 1] = 1;
    EXPECT_TRUE(m.RecordBuffersEqual(a.data(), b.data()));
    // Bytes after a shared zero inside a text take part too.
    a[m.Field(1).MemoryOffset + 3] = 'x';
    EXPECT_FALSE(m.RecordBuffersEqual(a.data(), b.data()));
    a[m.Field(1).MemoryOffset + 3] = 0;
    // The null bitmap alone.
    a[0] = 0x04;
    EXPECT_FALSE(m.RecordBuffersEqual(a.data(), b.data()));
    a[0] = 0;
    // A BLOB's in-memory cache handle (after its 6 stored bytes) is no part of the value.
    a[m.Field(2).MemoryOffset + 7] = 9;
    EXPECT_TRUE(m.RecordBuffersEqual(a.data(), b.data()));
    a[m.Field(2).MemoryOffset + 5] = 9;
    EXPECT_FALSE(m.RecordBuffersEqual(a.data(), b.data()));
}

TEST(RecordForms, StoredAndMemoryFormsDifferOnlyInBlobWidth) {
    Manager m({{"A", aftInteger}, {"M", aftBlob}, {"B", aftSmallInt}});
    // memory: bitmap 1, A 1..4, M 5..14, B 15..16; stored: A 1..4, M 5..10, B 11..12
    ASSERT_EQ(m.FieldDefs.GetMemoryRecordSize(), 17);
    ASSERT_EQ(m.FieldDefs.GetRecordDataSize(), 13);
    const golden::Bytes stored{0x02, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 0x21, 0x43};
    std::vector<uint8_t> memory(17, 0xEE);
    m.DiskToMemoryRecord(stored.data(), memory.data());
    EXPECT_EQ(memory, (std::vector<uint8_t>{0x02, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0x21, 0x43}));
    memory[12] = 0x77;  // a cache handle never reaches the stored form
    golden::Bytes back(13, 0xEE);
    m.MemoryToDiskRecord(memory.data(), back.data());
    EXPECT_EQ(back, stored);
}

TEST(CheckBlobBlockSizes, AnswersByTheFirstBlobField) {
    Manager none({{"A", aftInteger}});
    EXPECT_FALSE(none.CheckBlobBlockSizes());
    Manager good({{"A", aftInteger}, {"M", aftMemo}, {"G", aftGraphic}});
    good.Field(2).BlobBlockSize = 0;  // only the first BLOB field is looked at
    EXPECT_TRUE(good.CheckBlobBlockSizes());
    Manager bad({{"A", aftInteger}, {"MEMO", aftMemo}});
    bad.Field(1).BlobBlockSize = 0;
    ExpectNative([&] { bad.CheckBlobBlockSizes(); }, 10421,
                 "BLOB block size should be > 0 for field MEMO - Native error: 10421");
}

// ---------------------------------------------------------------------------------
// Autoincrement

struct AutoincCase {
    const char* what;
    int64_t increment, initial, min, max;
    uint8_t cycled;
    std::vector<int64_t> values;  // what successive draws give
    bool raisesNext;              // the draw after them raises 20160
};

TEST(Autoinc, CountersFollowIncrementMaximumAndCycle) {
    const AutoincCase cases[] = {
        {"defaults", 1, 0, 0, INT64_MAX, 0, {1, 2, 3}, false},
        {"increment 0 counts by 1", 0, 0, 0, INT64_MAX, 0, {1, 2}, false},
        {"increment and initial", 5, 10, 0, INT64_MAX, 0, {15, 20}, false},
        {"maximum without cycle", 1, 0, 0, 3, 0, {1, 2, 3}, true},
        {"maximum with cycle", 1, 0, 7, 3, 1, {1, 2, 3, 7}, false},
        {"maximum 0 is none", 1, INT64_MAX - 2, 0, 0, 0, {INT64_MAX - 1, INT64_MAX}, true},
        {"Int64 limit with cycle", 1, INT64_MAX - 1, -5, 0, 1, {INT64_MAX, -5, -4}, false},
        {"a step past the limit", INT64_MAX, 1, 0, INT64_MAX, 0, {}, true},
    };
    for (const AutoincCase& c : cases) {
        SCOPED_TRACE(c.what);
        Manager m({{"X", aftInteger}, {"ID", aftAutoIncLargeInt}});
        TORQFieldDef& f = m.Field(1);
        f.AutoincIncrement = c.increment;
        f.AutoincInitialValue = c.initial;
        f.AutoincMinValue = c.min;
        f.AutoincMaxValue = c.max;
        f.AutoincCycled = c.cycled;
        m.ResetAutoincValues();
        EXPECT_EQ(m.AutoincValues, (std::vector<int64_t>{0, c.initial}));
        for (int64_t v : c.values) EXPECT_EQ(m.GetNextAutoincValue(1), v);
        if (c.raisesNext) {
            const int64_t before = m.AutoincValues[1];
            ExpectNative([&] { m.GetNextAutoincValue(1); }, 20160,
                         "Autoinc max value exceeded for field 'ID' - Native error: 20160");
            EXPECT_EQ(m.AutoincValues[1], before) << "a refused draw leaves the counter";
        }
    }
}

TEST(Autoinc, FieldNumbersAreChecked) {
    Manager m({{"ID", aftAutoInc}});
    ExpectNative([&] { m.GetNextAutoincValue(1); }, 30402, "Field #1 not found - Native error: 30402");
    ExpectNative([&] { m.GetNextAutoincValue(-1); }, 30402);
    m.FieldDefs.Add()->SetDataType(aftInteger, 0);  // a field the counters do not know yet
    ExpectNative([&] { m.GetNextAutoincValue(1); }, 30403, "Field #1 not found - Native error: 30403");
}

TEST(Autoinc, ExplicitAndGeneratedValuesAndTheSessionsLastValue) {
    Manager m({{"ID", aftAutoIncInteger}, {"N", aftInteger}});
    TORQBaseSession session;
    std::vector<uint8_t> r = m.Record();
    const int32_t off = m.Field(0).MemoryOffset;

    // Null: the next value, written in the field's four bytes.
    m.ApplyAutoincValues(&session, r.data());
    EXPECT_FALSE(GetBit(r.data(), 0));
    EXPECT_TRUE(GetBit(r.data(), 1));
    EXPECT_EQ(golden::Bytes(&r[off], &r[off] + 4), (golden::Bytes{1, 0, 0, 0}));
    EXPECT_EQ(m.GetLastAutoincValue(&session, 0), 1);

    // A value above the counter moves it and becomes the session's last value.
    r[off] = 50;
    m.ApplyAutoincValues(&session, r.data());
    EXPECT_EQ(m.AutoincValues[0], 50);
    EXPECT_EQ(m.GetLastAutoincValue(&session, 0), 50);
    // A lower one leaves both.
    r[off] = 10;
    m.ApplyAutoincValues(&session, r.data());
    EXPECT_EQ(m.AutoincValues[0], 50);
    EXPECT_EQ(m.GetLastAutoincValue(&session, 0), 50);
    EXPECT_EQ(session.NamedObjectCount(), 1) << "one sequence object per field";

    SetBit(r.data(), 0, true);
    m.ApplyAutoincValues(&session, r.data());
    EXPECT_EQ(r[off], 51);

    // Another session never drew: the counter, unless it is strict.
    TORQBaseSession other;
    EXPECT_EQ(m.GetLastAutoincValue(&other, 0), 51);
    EXPECT_EQ(m.GetLastAutoincValue(&other, 1), 0) << "not an autoincrement field";
    other.StrictSequences = 1;
    ExpectNative([&] { m.GetLastAutoincValue(&other, 0); }, 30012,
                 "No SequenceLastValue in session for sequence 'ID'. Call GetNextVal first - Native error: 30012");
}

TEST(Autoinc, SavedStateRoundTripsAndCorruptCountsAreRefused) {
    Manager m({{"ID", aftAutoInc}, {"N", aftInteger}});
    m.AutoincValues = {0x0102030405060708, 0};
    golden::Bytes buf(3 + 4 + 16, 0xEE);
    int32_t pos = 3;
    m.SaveAutoincValues(buf.data(), pos);
    EXPECT_EQ(pos, 23);
    EXPECT_EQ(golden::Bytes(buf.begin() + 3, buf.end()),
              golden::I32(2) + golden::I64(0x0102030405060708) + golden::I64(0));

    Manager back({{"ID", aftAutoInc}, {"N", aftInteger}});
    pos = 3;
    back.LoadAutoincValues(buf.data(), pos, 23);
    EXPECT_EQ(pos, 23);
    EXPECT_EQ(back.AutoincValues, m.AutoincValues);

    struct Bad {
        const char* what;
        golden::Bytes bytes;
    } bad[] = {
        {"more than the fields", golden::I32(3) + golden::I64(1) + golden::I64(2) + golden::I64(3)},
        {"more than the bytes left", golden::I32(2) + golden::I64(1)},
        {"negative", golden::I32(-1)},
        {"no count", golden::Bytes{1, 0}},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        Manager target({{"ID", aftAutoInc}, {"N", aftInteger}});
        target.AutoincValues = {7, 0};
        int32_t p = 0;
        ExpectNative([&] { target.LoadAutoincValues(b.bytes.data(), p, static_cast<int32_t>(b.bytes.size())); }, 20164,
                     "Invalid table header data - Native error: 20164");
        EXPECT_EQ(p, 0);
        EXPECT_EQ(target.AutoincValues, (std::vector<int64_t>{7, 0}));
    }

    // A state saved before a field was added keeps the new field's reset counter.
    Manager grown({{"ID", aftAutoInc}, {"N", aftInteger}, {"ID2", aftAutoInc}});
    grown.Field(2).AutoincInitialValue = 40;
    grown.ResetAutoincValues();
    const golden::Bytes old = golden::I32(1) + golden::I64(9);
    pos = 0;
    grown.LoadAutoincValues(old.data(), pos, static_cast<int32_t>(old.size()));
    EXPECT_EQ(grown.AutoincValues, (std::vector<int64_t>{9, 0, 40}));
}

// ---------------------------------------------------------------------------------
// Defaults

TEST(Defaults, LiteralsAndExpressionsFillTheirFields) {
    Manager m({{"I", aftInteger}, {"T", aftVarChar, 5}, {"M", aftMemo}, {"N", aftSmallInt}, {"E", aftInteger}});
    m.Field(0).DefaultValue.SetAsInteger(7);
    m.Field(1).DefaultValue.SetAsString("ab");
    m.Field(2).DefaultValue.SetAsString("never");  // BLOB fields take no default
    // N has no default.
    auto expr = std::make_unique<orq_test::FakeExpression>();
    expr->Value.SetAsLargeInt(1234);  // converted to the field's Integer
    m.Field(4).DefaultValue.SetAsString("NOW()");
    m.Field(4).DefaultExpression = std::move(expr);

    std::vector<uint8_t> r = m.Record();
    m.ApplyDefaults(r.data());
    EXPECT_EQ(r[0] & 0x1F, 0x0C) << "M and N stay Null";
    int32_t i;
    std::memcpy(&i, &r[m.Field(0).MemoryOffset], 4);
    EXPECT_EQ(i, 7);
    EXPECT_STREQ(reinterpret_cast<const char*>(&r[m.Field(1).MemoryOffset]), "ab");
    std::memcpy(&i, &r[m.Field(4).MemoryOffset], 4);
    EXPECT_EQ(i, 1234);

    // An expression that yields Null leaves its field Null.
    static_cast<orq_test::FakeExpression*>(m.Field(4).DefaultExpression.get())->Value.SetNull();
    r = m.Record();
    m.ApplyDefaults(r.data());
    EXPECT_TRUE(GetBit(r.data(), 4));
}

}  // namespace
