// Key references: the record-id value order, the page-number key reference's fixed shape
// and its signed comparison, and key blocks from the engine memory manager.
#include <gtest/gtest.h>

#include "GoldenBytes.h"
#include "engine/storage/ORQKeyRef.h"

using namespace orq;
using golden::operator+;

namespace {

golden::Bytes RecordId(int32_t Page, uint16_t Slot) {
    return golden::I32(Page) + golden::Bytes{static_cast<uint8_t>(Slot), static_cast<uint8_t>(Slot >> 8)};
}

TEST(KeyRef, CompareValuesOrdersRecordIdsByPageSignedThenSlotUnsigned) {
    struct Case {
        int32_t Page1;
        uint16_t Slot1;
        int32_t Page2;
        uint16_t Slot2;
        int Expected;
    } cases[] = {
        {-1, 0, 0, 0, -1},
        {5, 65535, 5, 1, 1},
        {5, 1, 5, 1, 0},
        {INT32_MIN, 9, INT32_MAX, 0, -1},
        {1, 0, 0, 65535, 1},
        {0, 256, 0, 255, 1},  // the slot is a number, not its first byte
    };
    for (const Case& c : cases) {
        const auto a = RecordId(c.Page1, c.Slot1), b = RecordId(c.Page2, c.Slot2);
        EXPECT_EQ(CompareValues(a.data(), b.data(), 6), c.Expected) << c.Page1 << "/" << c.Slot1;
        EXPECT_EQ(CompareValues(b.data(), a.data(), 6), -c.Expected);
    }
    // Other sizes: unsigned bytes from the first, the first difference deciding.
    const uint8_t x[] = {0x01, 0xFF}, y[] = {0x02, 0x00}, z[] = {0x01, 0xFF};
    EXPECT_EQ(CompareValues(x, y, 2), -1);
    EXPECT_EQ(CompareValues(y, x, 2), 1);
    EXPECT_EQ(CompareValues(x, z, 2), 0);
    const uint8_t hi[] = {0x80}, lo[] = {0x7F};
    EXPECT_EQ(CompareValues(hi, lo, 1), 1);
}

TEST(KeyRef, PageKeyRefShapeAndSignedComparison) {
    TORQPageKeyRef ref;
    EXPECT_EQ(ref.KeySize, 4);
    EXPECT_EQ(ref.FullKeySize, 4);
    EXPECT_EQ(ref.ValueSize, 2);
    EXPECT_EQ(ref.ActiveColumnCount, 1);
    ASSERT_EQ(ref.ColumnCount(), 1);
    const TORQKeyColumn& c = ref.Columns[0];
    EXPECT_EQ(c.KeyOffset, 0);
    EXPECT_EQ(c.FullOffset, 0);
    EXPECT_EQ(c.StoredLength, 4);
    EXPECT_EQ(c.FullLength, 4);
    EXPECT_EQ(c.Spare, 0);
    EXPECT_EQ(c.DataType, 7);
    EXPECT_EQ(c.Descending, 0);

    struct Case {
        int32_t A, B;
        int Expected;
    } cases[] = {{-1, 0, -1}, {INT32_MIN, INT32_MAX, -1}, {5, 5, 0}, {256, 1, 1}, {0x01000000, 0x000000FF, 1}};
    for (const Case& k : cases) {
        const auto a = golden::I32(k.A) + golden::Bytes{1, 2}, b = golden::I32(k.B) + golden::Bytes{9, 9};
        const uint8_t v1[] = {0, 0}, v2[] = {1, 1};
        EXPECT_EQ(ref.CompareKeys(a.data(), b.data(), v2, v1, 0, true), k.Expected) << k.A << " " << k.B;
        EXPECT_EQ(ref.CompareFullKeys(a.data(), b.data()), k.Expected);
    }
}

TEST(KeyRef, KeyBlocksAreZeroedAndFreeClearsTheVariable) {
    TORQPageKeyRef ref;
    uint8_t* key = ref.AllocKey();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(golden::Bytes(key, key + 4), golden::Bytes(4, 0));
    TORQBTreeKeyRef::FreeKey(key);
    EXPECT_EQ(key, nullptr);
    TORQBTreeKeyRef::FreeKey(key);  // nil is left alone
    ref.SetColumnCount(3);
    EXPECT_EQ(ref.ColumnCount(), 3);
    EXPECT_EQ(ref.Columns[2].StoredLength, 0);
}

}  // namespace
