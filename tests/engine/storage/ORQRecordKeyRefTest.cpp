// Record key references: the column records and key bytes built from an index
// definition, and the order of keys: nulls, descending columns, search prefixes, and
// prefix-limited columns settled by the full values read from the records.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQKeyRef.h"
#include "engine/storage/ORQTableData.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

// Records by id, for the full-value comparison.
struct MapRecords : TORQBaseRecordManager {
    std::map<int32_t, std::vector<uint8_t>> Records;  // by page number
    int Reads = 0;
    void EmptyRecords(int32_t) override {}
    bool InsertRecord(int32_t, const uint8_t*, TORQRecordID&) override { return false; }
    bool UpdateRecord(int32_t, const uint8_t*, const TORQRecordID&) override { return false; }
    bool DeleteRecord(int32_t, TORQRecordID&) override { return false; }
    void ReadRecord(int32_t, TORQGetRecordRequest& Request) override {
        ++Reads;
        auto it = Records.find(Request.RecordID.PageNo);
        if (it == Records.end()) {
            Request.Result = grError;
            return;
        }
        std::memcpy(Request.RecordBuffer, it->second.data(), it->second.size());
        Request.Result = grOK;
    }
    int32_t CompareRecordIds(const TORQRecordID&, const TORQRecordID&) override { return 0; }
    int64_t EstimateRecordsBefore(int32_t, const TORQRecordID&) override { return 0; }
};

// Fields: I Integer, T VarChar(10), N Integer, B Blob.
struct Table {
    TORQTableData Data{nullptr};
    MapRecords* Records = nullptr;
    Table() {
        Data.FieldManager = std::make_unique<TORQBaseFieldManager>(&Data);
        TORQFieldDefs& defs = Data.FieldManager->FieldDefs;
        const std::pair<const char*, std::pair<uint8_t, int32_t>> fields[] = {
            {"I", {aftInteger, 0}}, {"T", {aftVarChar, 10}}, {"N", {aftInteger, 0}}, {"B", {aftBlob, 0}}};
        int32_t id = 1;
        for (const auto& [name, type] : fields) {
            TORQFieldDef* f = defs.Add();
            f->Name = name;
            f->ObjectID = id++;
            f->SetDataType(type.first, type.second);
        }
        defs.CalculateOffsets();
        auto rm = std::make_unique<MapRecords>();
        Records = rm.get();
        Data.RecordManager = std::move(rm);
    }
    // A record with I, T and N set; a nil text makes T null.
    std::vector<uint8_t> Record(int32_t I, const char* T, int32_t N = 0) const {
        const TORQFieldDefs& defs = Data.FieldManager->FieldDefs;
        std::vector<uint8_t> r(static_cast<size_t>(defs.GetMemoryRecordSize()), 0);
        std::memcpy(r.data() + defs.GetItem(0)->MemoryOffset, &I, 4);
        if (T)
            std::memcpy(r.data() + defs.GetItem(1)->MemoryOffset, T, std::strlen(T));
        else
            r[0] |= 2;
        std::memcpy(r.data() + defs.GetItem(2)->MemoryOffset, &N, 4);
        r[0] |= 8;  // the BLOB is null
        return r;
    }
};

std::unique_ptr<TORQIndexDef> IndexOn(std::vector<std::pair<std::string, int32_t>> Columns, bool DescendingFirst = false) {
    auto p = std::make_unique<TORQIndexDef>();
    TORQIndexDef& def = *p;
    def.SetColumnCount(static_cast<int32_t>(Columns.size()));
    for (size_t i = 0; i < Columns.size(); ++i) {
        def.GetColumn(static_cast<int32_t>(i)).FieldName = Columns[i].first;
        def.GetColumn(static_cast<int32_t>(i)).MaxIndexedSize = Columns[i].second;
    }
    def.GetColumn(0).Descending = DescendingFirst ? 1 : 0;
    return p;
}

std::vector<uint8_t> Key(TORQRecordKeyRef& Ref, const std::vector<uint8_t>& Record) {
    std::vector<uint8_t> k(static_cast<size_t>(Ref.KeySize), 0xEE);
    Ref.BuildKey(Record.data(), k.data());
    return k;
}

std::vector<uint8_t> Rid(int32_t Page) {
    std::vector<uint8_t> v(6, 0);
    TORQRecordID{Page, 0}.ToBytes(v.data());
    return v;
}

TEST(RecordKeyRef, BuildsColumnsAndKeyBytesFromTheLayout) {
    Table t;
    // The record: null bitmap of one byte, I at 1 (4 bytes), T at 5 (10 characters and
    // a terminator), N at 16.
    ASSERT_EQ(t.Data.FieldManager->FieldDefs.GetItem(1)->MemoryOffset, 5);
    ASSERT_EQ(t.Data.FieldManager->FieldDefs.GetItem(1)->MemorySize, 11);
    TORQRecordKeyRef ref;
    ref.BuildFromIndexDef(*IndexOn({{"T", 4}, {"I", 20}}), &t.Data);
    ASSERT_EQ(ref.ColumnCount(), 2);
    const TORQKeyColumn& c0 = ref.Columns[0];
    const TORQKeyColumn& c1 = ref.Columns[1];
    // T is declared shorter than its 11 bytes: 4 + 3 stored bytes with 2 spare.
    EXPECT_EQ(std::vector<int32_t>({c0.KeyOffset, c0.FullOffset, c0.RecordOffset, c0.FieldNo, c0.StoredLength,
                                    c0.FullLength, c0.Spare}),
              std::vector<int32_t>({0, 0, 5, 1, 7, 12, 2}));
    EXPECT_EQ(std::vector<int32_t>({c1.KeyOffset, c1.FullOffset, c1.RecordOffset, c1.FieldNo, c1.StoredLength,
                                    c1.FullLength, c1.Spare}),
              std::vector<int32_t>({7, 12, 1, 0, 5, 5, 0}));
    EXPECT_EQ(ref.KeySize, 12);
    EXPECT_EQ(ref.FullKeySize, 17);
    EXPECT_EQ(ref.ActiveColumnCount, 2);
    EXPECT_EQ(ref.PartialLengths, std::vector<int32_t>({-1, -1}));

    const auto r = t.Record(0x04030201, "abcdefg");
    EXPECT_EQ(Key(ref, r), std::vector<uint8_t>({0, 'a', 'b', 'c', 'd', 0, 0, 0, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(ref.CurrentRecord, r.data());
    std::vector<uint8_t> full(17, 0xEE);
    ref.BuildFullKey(r.data(), full.data());
    EXPECT_EQ(full, std::vector<uint8_t>({0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0, 0, 0, 0, 0, 1, 2, 3, 4}));
    // A null field: the null byte and zeros; T keeps 4 bytes and 2 spare.
    EXPECT_EQ(Key(ref, t.Record(7, nullptr)), std::vector<uint8_t>({1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0}));
}

TEST(RecordKeyRef, RefusesUnknownAndBlobFields) {
    Table t;
    TORQRecordKeyRef ref;
    ExpectNative([&] { ref.BuildFromIndexDef(*IndexOn({{"I", 20}, {"X", 20}}), &t.Data); }, 20043,
                 "Cannot find index field 'X' - Native error: 20043");
    ExpectNative([&] { ref.BuildFromIndexDef(*IndexOn({{"B", 20}}), &t.Data); }, 20295,
                 "Cannot index BLOB field 'B'. Direct indexing of BLOB fields is not supported yet, please use "
                 "CAST(blob_field, string) function to convert BLOB field to a string expression before indexing. - Native error: 20295");
    TORQTableData bare(nullptr);
    ExpectNative([&] { ref.BuildFromIndexDef(*IndexOn({{"I", 20}}), &bare); }, 20044, "Pointer is nil - Native error: 20044");
}

TEST(RecordKeyRef, NullsSortFirstAndDescendingReverses) {
    Table t;
    struct Case {
        bool Descending;
        const char* A;
        const char* B;
        int Expected;
    } cases[] = {
        {false, nullptr, "a", -1}, {false, "a", nullptr, 1}, {false, nullptr, nullptr, 0}, {false, "ab", "b", -1},
        {true, nullptr, "a", 1},   {true, "ab", "b", 1},     {true, "b", "b", 0},
    };
    for (const Case& c : cases) {
        TORQRecordKeyRef ref;
        ref.BuildFromIndexDef(*IndexOn({{"T", 20}}, c.Descending), &t.Data);
        const auto a = Key(ref, t.Record(0, c.A)), b = Key(ref, t.Record(0, c.B));
        EXPECT_EQ(ref.CompareKeys(a.data(), b.data(), nullptr, nullptr, 0, false), c.Expected)
            << (c.A ? c.A : "null") << " vs " << (c.B ? c.B : "null") << " desc " << c.Descending;
    }
}

TEST(RecordKeyRef, ActiveColumnsAndPartialLengthsLimitASearch) {
    Table t;
    TORQRecordKeyRef ref;
    ref.BuildFromIndexDef(*IndexOn({{"T", 20}, {"I", 20}}), &t.Data);
    const auto search = t.Record(1, "abc"), entry = t.Record(2, "abcdef");
    const auto s = Key(ref, search), e = Key(ref, entry);
    EXPECT_EQ(ref.CompareKeys(s.data(), e.data(), nullptr, nullptr, 0, false), -1);
    ref.SetPartialLengths(search.data(), true);
    EXPECT_EQ(ref.PartialLengths, std::vector<int32_t>({3, -1}));
    EXPECT_EQ(ref.CompareKeys(s.data(), e.data(), nullptr, nullptr, 0, false), -1) << "I still decides";
    ref.ActiveColumnCount = 1;
    EXPECT_EQ(ref.CompareKeys(s.data(), e.data(), nullptr, nullptr, 0, false), 0);
    // A null string keeps whole-value comparison.
    ref.SetPartialLengths(t.Record(1, nullptr).data(), true);
    EXPECT_EQ(ref.PartialLengths, std::vector<int32_t>({-1, -1}));
    ref.SetPartialLengths(search.data(), false);
    EXPECT_EQ(ref.PartialLengths, std::vector<int32_t>({-1, -1}));
}

TEST(RecordKeyRef, PrefixTiesAreSettledByTheRecords) {
    Table t;
    TORQRecordKeyRef ref;
    ref.BuildFromIndexDef(*IndexOn({{"T", 3}, {"N", 20}}), &t.Data);
    const auto shortA = t.Record(0, "ab", 1), shortB = t.Record(0, "ab", 2);
    const auto longA = t.Record(0, "abcdX", 9), longB = t.Record(0, "abcdY", 1);
    t.Records->Records[10] = longA;
    t.Records->Records[11] = longB;
    t.Records->Records[12] = shortB;

    // Prefix only: a tie on the prefix-limited column ends with 0 although N differs.
    auto a = Key(ref, longA), b = Key(ref, longB);
    EXPECT_EQ(ref.CompareKeys(a.data(), b.data(), Rid(11).data(), Rid(10).data(), 0, false), 0);
    EXPECT_EQ(t.Records->Reads, 0);
    // Full comparison: values going beyond the prefix are ordered by the records.
    EXPECT_EQ(ref.CompareKeys(a.data(), b.data(), Rid(11).data(), Rid(10).data(), 0, true), -1);
    EXPECT_EQ(t.Records->Reads, 2);
    EXPECT_EQ(a, Key(ref, longA)) << "the spare byte is put back";
    // Without the searching record's id the current record (the last one built) is used.
    b = Key(ref, longB);
    EXPECT_EQ(ref.CompareKeys(b.data(), Key(ref, longA).data(), Rid(10).data(), nullptr, 0, true), 0)
        << "the current record is now longA itself";
    b = Key(ref, longB);
    EXPECT_EQ(ref.CompareKeys(b.data(), a.data(), Rid(10).data(), nullptr, 0, true), 1);

    // Values ending within the prefix are equal there without reads; the next column decides.
    t.Records->Reads = 0;
    a = Key(ref, shortA);
    b = Key(ref, shortB);
    EXPECT_EQ(ref.CompareKeys(a.data(), b.data(), Rid(12).data(), nullptr, 0, true), -1);
    EXPECT_EQ(t.Records->Reads, 0);

    // A record that cannot be read.
    a = Key(ref, longA);
    b = Key(ref, longB);
    ExpectNative([&] { ref.CompareKeys(a.data(), b.data(), Rid(99).data(), nullptr, 0, true); }, 20170,
                 "Cannot retrieve record for index - Native error: 20170");
}

}  // namespace
