// The temporary engine: records in the memory block and beyond it in the spill file, read
// back byte for byte (also right after the insert that spilled them); index pages spilled
// past the page limit under a 5,000-key B-tree checked by the tree validator; BLOB values
// appended to the BLOB stream; the spill arithmetic past 2^31 through a sparse stream;
// spill files that leave no name in $TMPDIR and no descriptor behind; and the emptying
// session's pages committed by EmptyTable in both the TEMP and the MEMORY engine.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "MemTableFixture.h"
#include "PrefixKeyCases.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQTempEngine.h"
#include "foundation/ExpectNative.h"

namespace orq::test {
namespace {

// A stream that keeps only the bytes written (by offset), so offsets past 4 GiB cost
// nothing. Reads must start where a write started; elsewhere they give zeros. Writes
// can be made to fail.
class TSparseStream : public TORQStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override {
        const int64_t n = std::clamp<int64_t>(FSize - FPosition, 0, Count);
        std::memset(Buffer, 0, static_cast<size_t>(n));
        auto it = FChunks.find(FPosition);
        if (it != FChunks.end())
            std::memcpy(Buffer, it->second.data(), static_cast<size_t>(std::min<int64_t>(n, it->second.size())));
        LastRead = FPosition;
        FPosition += n;
        return n;
    }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
        const int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : FSize;
        if (base + Offset >= 0) FPosition = base + Offset;
        return FPosition;
    }
    int64_t Size() override { return FSize; }

    bool FailWrites = false;
    int64_t LastWrite = -1;
    int64_t LastRead = -1;

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override {
        if (FailWrites) return 0;
        auto* p = static_cast<const uint8_t*>(Buffer);
        FChunks[FPosition].assign(p, p + Count);
        LastWrite = FPosition;
        FPosition += Count;
        FSize = std::max(FSize, FPosition);
        return Count;
    }
    void DoSetSize(int64_t NewSize) override { FSize = NewSize; }

private:
    std::map<int64_t, std::vector<uint8_t>> FChunks;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

// Hands the manager a sparse stream and keeps a pointer to it.
TORQSpillStreamFactory SparseFactory(TSparseStream*& Made) {
    return [&Made] {
        auto s = std::make_unique<TSparseStream>();
        Made = s.get();
        return std::unique_ptr<TORQStream>(std::move(s));
    };
}

// $TMPDIR points at a fresh folder while the object lives.
class ScopedTmpDir {
public:
    ScopedTmpDir() {
        std::string t = (std::filesystem::temp_directory_path() / "orqtempXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        Path = mkdtemp(buf.data());
        const char* old = std::getenv("TMPDIR");
        FHad = old != nullptr;
        if (FHad) FSaved = old;
        setenv("TMPDIR", Path.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (FHad)
            setenv("TMPDIR", FSaved.c_str(), 1);
        else
            unsetenv("TMPDIR");
        std::filesystem::remove_all(Path);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(Path)) names.push_back(e.path().filename().string());
        return names;
    }
    std::string Path;

private:
    bool FHad = false;
    std::string FSaved;
};

int32_t OpenDescriptors() {
    return static_cast<int32_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class TempEngine : public MemTableTest {
protected:
    // Made through the TEMP database, its stores sized by Available.
    TORQTemporaryTableData& MakeTemp(const TORQFieldDefs& Fields, int64_t Available, bool InMemory = false,
                                     const std::string& Name = "T", const TORQIndexDefs* Indexes = nullptr) {
        TORQCursor creator;
        creator.TableName = Name;
        creator.InMemory = InMemory ? 1 : 0;
        auto* t = static_cast<TORQTemporaryTableData*>(TemporaryDatabase().CreateTableData(&creator));
        t->AvailableMemory = Available;
        TORQIndexDefs none;
        TORQConstraintDefs noConstraints;
        t->CreateTable(&creator, Fields, Indexes != nullptr ? *Indexes : none, noConstraints);
        return *t;
    }
    // One index "BY_<Field>" on Field.
    static void IndexOn(TORQIndexDefs& Defs, const std::string& Field) {
        TORQIndexDef* def = Defs.Add();
        def->Name = "BY_" + Field;
        def->SetColumnCount(1);
        def->GetColumn(0).FieldName = Field;
        def->GetColumn(0).MaxIndexedSize = 20;
    }
    static TORQBTreeRecordIndex& FirstIndex(TORQTableData& T) {
        return dynamic_cast<TORQBTreeRecordIndex&>(
            T.IndexManager->GetIndex(T.IndexManager->IndexDefs.GetItem(0)->ObjectID));
    }
    // ID INTEGER, V LARGEINT.
    const TORQFieldDefs& IdFields() {
        if (FIdFields.GetCount() == 0) {
            AddField(FIdFields, "ID", aftInteger);
            AddField(FIdFields, "V", aftLargeInt);
        }
        return FIdFields;
    }
    static int32_t RecordSizeOf(const TORQFieldDefs& Fields) {
        TORQFieldDefs copy;
        copy.Assign(Fields);
        copy.CalculateOffsets();
        return copy.GetMemoryRecordSize();
    }
    // Inserts record I (ID i, V a pattern of i) and returns its stored bytes.
    static std::vector<uint8_t> InsertNumbered(TORQTableData& T, TTestCursor& C, int64_t I) {
        C.Clear();
        C.SetInt(0, I);
        C.SetInt(1, I * 0x0101010101LL + 7);
        EXPECT_TRUE(T.InsertRecord(&C));
        return std::vector<uint8_t>(C.CurrentRecord, C.CurrentRecord + T.RecordManager->RecordSize);
    }
    static std::vector<uint8_t> Stored(const TTestCursor& C, int32_t Size) {
        return std::vector<uint8_t>(C.CurrentRecord, C.CurrentRecord + Size);
    }

private:
    TORQFieldDefs FIdFields;
};

TEST_F(TempEngine, RecordsSpillPastTheLimitAndReadBackInOrder) {
    const int32_t rs = RecordSizeOf(IdFields());
    // A tenth of the figure holds three records (the remainder does not make a fourth).
    TORQTemporaryTableData& t = MakeTemp(IdFields(), int64_t{30} * rs + 9);
    TORQTemporaryRecordManager& rm = *t.TemporaryRecordManager();
    ASSERT_EQ(rm.MemoryLimit, 3);
    TTestCursor c(t);
    std::vector<std::vector<uint8_t>> records;
    for (int64_t i = 0; i < 50; ++i) {
        records.push_back(InsertNumbered(t, c, i));
        EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(c.CurrentRecordID), i);
        EXPECT_EQ(rm.ChangeStamp, i + 1);
        // Read at once: a spilled record still in the write buffer must be found.
        std::memset(c.CurrentRecord, 0xEE, static_cast<size_t>(rs));
        ASSERT_TRUE(t.GotoRecord(&c, TORQTemporaryRecordManager::NumberToId(i))) << i;
        EXPECT_EQ(Stored(c, rs), records.back()) << i;
    }
    EXPECT_EQ(rm.MemoryRecords, 3);
    EXPECT_EQ(rm.RecordCount, 50);
    ASSERT_NE(rm.SpillStream, nullptr);
    // Record n >= 3 sits at (n - 3) * RecordSize of the spill file.
    rm.FlushWriteBuffer();
    EXPECT_EQ(rm.SpillStream->Size(), int64_t{47} * rs);
    for (int64_t n : {3, 4, 26, 49}) {
        std::vector<uint8_t> raw(static_cast<size_t>(rs));
        rm.SpillStream->Seek((n - 3) * rs, soBeginning);
        ASSERT_EQ(rm.SpillStream->Read(raw.data(), rs), rs);
        EXPECT_EQ(raw, records[static_cast<size_t>(n)]) << n;
    }
    // Forwards from the beginning and backwards from the end.
    c.ResetToBeginning();
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(t.GetRecord(&c, gmNext), grOK);
        EXPECT_EQ(Stored(c, rs), records[i]);
        EXPECT_EQ(t.GetPhysicalRecNo(&c), static_cast<int64_t>(i + 1));
    }
    EXPECT_EQ(t.GetRecord(&c, gmNext), grEOF);
    c.ResetToEnd();
    for (size_t i = records.size(); i-- > 0;) {
        ASSERT_EQ(t.GetRecord(&c, gmPrior), grOK);
        EXPECT_EQ(Stored(c, rs), records[i]);
    }
    EXPECT_EQ(t.GetRecord(&c, gmPrior), grBOF);
    // Record numbers: 1-based, below 2 the first.
    t.SetPhysicalRecNo(&c, 40);
    ASSERT_EQ(t.GetRecord(&c, gmCurrent), grOK);
    EXPECT_EQ(Stored(c, rs), records[39]);
    t.SetPhysicalRecNo(&c, -5);
    EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(c.CurrentRecordID), 0);
    EXPECT_EQ(t.GetPhysicalRecordCount(&c), 50);
    EXPECT_EQ(t.GetMaxRecordNumber(-2), 50);
}

TEST_F(TempEngine, WhereRecordsGoByFigure) {
    const int32_t rs = RecordSizeOf(IdFields());
    struct Case {
        const char* Name;
        int64_t Available;
        bool InMemory;
        int32_t MemoryRecords;  // of 5 inserted
        bool Spills;
    };
    const Case cases[] = {
        {"figure 0: the first record spills", 0, false, 0, true},
        {"record above a tenth", int64_t{10} * rs - 1, false, 0, true},
        {"two in memory", int64_t{20} * rs, false, 2, true},
        {"all fit", int64_t{10'000} * rs, false, 5, false},
        {"kept in memory at figure 0", 0, true, 5, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.Name);
        TORQTemporaryTableData& t = MakeTemp(IdFields(), k.Available, k.InMemory, k.Name);
        TORQTemporaryRecordManager& rm = *t.TemporaryRecordManager();
        TTestCursor c(t);
        std::vector<std::vector<uint8_t>> records;
        for (int64_t i = 0; i < 5; ++i) records.push_back(InsertNumbered(t, c, 100 + i));
        EXPECT_EQ(rm.MemoryRecords, k.MemoryRecords);
        EXPECT_EQ(rm.SpillStream != nullptr, k.Spills);
        for (int64_t i = 0; i < 5; ++i) {
            ASSERT_TRUE(t.GotoRecord(&c, TORQTemporaryRecordManager::NumberToId(i)));
            EXPECT_EQ(Stored(c, rs), records[static_cast<size_t>(i)]);
        }
    }
}

TEST_F(TempEngine, RecordsCannotChange) {
    const int32_t rs = RecordSizeOf(IdFields());
    TORQTemporaryTableData& t = MakeTemp(IdFields(), 0);
    TTestCursor c(t);
    const std::vector<uint8_t> first = InsertNumbered(t, c, 1);
    InsertNumbered(t, c, 2);
    const int32_t stamp = t.RecordManager->ChangeStamp;
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    c.SetInt(0, 99);
    EXPECT_FALSE(t.UpdateRecord(&c));
    EXPECT_FALSE(t.DeleteRecord(&c));
    EXPECT_EQ(t.RecordManager->RecordCount, 2);
    EXPECT_EQ(t.RecordManager->ChangeStamp, stamp);
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    EXPECT_EQ(Stored(c, rs), first);
}

TEST_F(TempEngine, NavigationResults) {
    TORQTemporaryRecordManager rm(8, false, 1000, 10, 0);
    std::vector<uint8_t> buffer(8);
    auto request = [&](uint8_t Mode, bool First, bool Last, int64_t At) {
        TORQGetRecordRequest r;
        r.Mode = Mode;
        r.AtBeginning = First ? 1 : 0;
        r.AtEnd = Last ? 1 : 0;
        r.RecordID = TORQTemporaryRecordManager::NumberToId(At);
        r.RecordBuffer = buffer.data();
        rm.ReadRecord(-2, r);
        return std::pair<int, int64_t>{r.Result, TORQTemporaryRecordManager::IdToNumber(r.RecordID)};
    };
    EXPECT_EQ(request(gmNext, true, false, 0).first, grEOF);  // empty
    for (uint8_t v = 10; v < 13; ++v) {
        std::vector<uint8_t> record(8, v);
        TORQRecordID id;
        ASSERT_TRUE(rm.InsertRecord(-2, record.data(), id));
    }
    struct Case {
        uint8_t Mode;
        bool First, Last;
        int64_t At;
        int Result;
        int64_t Reached;  // when found
    };
    const Case cases[] = {
        {gmNext, true, false, 7, grOK, 0},      {gmPrior, true, false, 7, grBOF, -1},
        {gmCurrent, true, false, 7, grError, -1}, {gmPrior, false, true, 0, grOK, 2},
        {gmNext, false, true, 0, grEOF, -1},    {gmCurrent, false, true, 0, grError, -1},
        {gmCurrent, false, false, 1, grOK, 1},  {gmCurrent, false, false, 3, grError, -1},
        {gmNext, false, false, 1, grOK, 2},     {gmNext, false, false, 2, grEOF, -1},
        {gmPrior, false, false, 1, grOK, 0},    {gmPrior, false, false, 0, grBOF, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << int(k.Mode) << k.First << k.Last << k.At);
        const auto [result, reached] = request(k.Mode, k.First, k.Last, k.At);
        EXPECT_EQ(result, k.Result);
        if (k.Result == grOK) {
            EXPECT_EQ(reached, k.Reached);
            EXPECT_EQ(int64_t{buffer[0]}, 10 + k.Reached);
        }
    }
    EXPECT_EQ(rm.GetRecordPosition(TORQTemporaryRecordManager::NumberToId(2)), 3);
    EXPECT_EQ(rm.GetRecordPosition(TORQTemporaryRecordManager::NumberToId(3)), -1);
    EXPECT_EQ(rm.CompareRecordIds(TORQTemporaryRecordManager::NumberToId(int64_t{1} << 32),
                                  TORQTemporaryRecordManager::NumberToId(5)),
              1);
}

TEST_F(TempEngine, RecordIdsAreSixLittleEndianBytesOfTheNumber) {
    const int64_t n = 0x0000123456789ABCLL;
    const TORQRecordID id = TORQTemporaryRecordManager::NumberToId(n);
    uint8_t bytes[6];
    id.ToBytes(bytes);
    const uint8_t expected[6] = {0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(std::memcmp(bytes, expected, 6), 0);
    EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(id), n);
}

TEST_F(TempEngine, FailedSpillWriteLeavesTheTableAsItWas) {
    TORQTemporaryRecordManager rm(16, false, 1000, 10, 0);
    TSparseStream* spill = nullptr;
    rm.SpillStreamFactory = SparseFactory(spill);
    std::vector<uint8_t> a(16, 0xA1), b(16, 0xB2), out(16);
    TORQRecordID id;
    ASSERT_TRUE(rm.InsertRecord(-2, a.data(), id));  // buffered, not yet written
    spill->FailWrites = true;
    EXPECT_FALSE(rm.InsertRecord(-2, b.data(), id));  // writing out record 0 fails
    EXPECT_EQ(rm.RecordCount, 1);
    EXPECT_EQ(rm.ChangeStamp, 1);
    ExpectNative([&] { rm.ReadRecordData(0, out.data()); }, 10127);
    spill->FailWrites = false;
    ASSERT_TRUE(rm.InsertRecord(-2, b.data(), id));
    EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(id), 1);
    rm.ReadRecordData(0, out.data());
    EXPECT_EQ(out, a);
    rm.ReadRecordData(1, out.data());
    EXPECT_EQ(out, b);
    ExpectNative([&] { rm.ReadRecordData(2, out.data()); }, 10127);
    ExpectNative([] { TORQTemporaryRecordManager(0, false, 1000, 10, 0); }, 10124, "Invalid record size = 0 - Native error: 10124");
}

TEST_F(TempEngine, SpillOffsetsPassTwoGigabytes) {
    // Record 3,000,000 of 1,000 bytes with nothing in memory: byte 3,000,000,000.
    TORQTemporaryRecordManager rm(1000, false, 1000, 10, 0);
    TSparseStream* spill = nullptr;
    rm.SpillStreamFactory = SparseFactory(spill);
    rm.RecordCount = 3'000'000;  // as if the records before it were there
    std::vector<uint8_t> record(1000), out(1000);
    std::iota(record.begin(), record.end(), uint8_t{1});
    TORQRecordID id;
    ASSERT_TRUE(rm.InsertRecord(-2, record.data(), id));
    EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(id), 3'000'000);
    rm.ReadRecordData(3'000'000, out.data());
    EXPECT_EQ(spill->LastWrite, 3'000'000'000LL);
    EXPECT_EQ(spill->LastRead, 3'000'000'000LL);
    EXPECT_EQ(out, record);

    // Page 600,000: byte 2,457,600,000, the file grown to 600,001 pages and a half.
    TORQTemporaryPageManager pm(false, 0);
    TSparseStream* pages = nullptr;
    pm.SpillStreamFactory = SparseFactory(pages);
    pm.PageNumberCount = 600'000;
    TORQPage page(&pm);
    pm.AllocatePage(&page);
    ASSERT_EQ(page.PageNo, 600'000);
    EXPECT_EQ(pages->Size(), 3'686'406'144LL);
    std::memset(page.Buffer, 0x5A, 4096);
    pm.WritePage(&page);
    EXPECT_EQ(pages->LastWrite, 2'457'600'000LL);
    TORQPage again(&pm);
    again.PageNo = 600'000;
    ASSERT_TRUE(pm.ReadPage(&again));
    EXPECT_EQ(pages->LastRead, 2'457'600'000LL);
    EXPECT_EQ(again.Buffer[4095], 0x5A);
}

TEST_F(TempEngine, PageStoreRules) {
    // A tenth of the figure is two pages.
    TORQTemporaryPageManager pm(false, int64_t{20} * 4096);
    ASSERT_EQ(pm.MemoryPageLimit, 2);
    TSparseStream* spill = nullptr;
    pm.SpillStreamFactory = SparseFactory(spill);
    std::vector<std::unique_ptr<TORQPage>> pages;
    for (int i = 0; i < 4; ++i) {
        pages.push_back(std::make_unique<TORQPage>(&pm));
        pm.AllocatePage(pages.back().get());
        EXPECT_EQ(pages.back()->PageNo, i);
    }
    EXPECT_EQ(pm.AllocatedCount(), 4);
    EXPECT_EQ(pm.MemoryPages->PageCount, 2);  // 0 and 1 inside, 2 and 3 spilled
    ASSERT_NE(spill, nullptr);
    // Page 2 grew the file to three pages and a half; page 3 fitted in it.
    EXPECT_EQ(spill->Size(), int64_t{3} * 4096 * 3 / 2);
    // Spilled numbers are never handed out again; inner ones stay inner.
    pm.FreePage(3);
    pm.FreePage(1);
    EXPECT_EQ(pm.AllocatedCount(), 2);
    TORQPage next(&pm);
    pm.AllocatePage(&next);
    EXPECT_EQ(next.PageNo, 4);
    EXPECT_EQ(pm.MemoryPages->PageCount, 1);

    TORQPage probe(&pm);
    probe.PageNo = 3;
    ExpectNative([&] { pm.ReadPage(&probe); }, 10396);
    ExpectNative([&] { pm.WritePage(&probe); }, 10397);
    ExpectNative([&] { pm.FreePage(3); }, 30984);
    probe.PageNo = 2;
    auto kept = std::move(pm.SpillStream);
    ExpectNative([&] { pm.ReadPage(&probe); }, 30482, "Invalid pointer - Native error: 30482");
    pm.SpillStream = std::move(kept);
    spill->FailWrites = true;
    probe.AllocBuffer();
    ExpectNative([&] { pm.WritePage(&probe); }, 30982);
}

// The record index over a temporary table's records, its pages in the table's page
// store: with a limit of four pages most of the tree lives in the spill file.
TEST_F(TempEngine, IndexPagesSpillAndTheTreeStaysSound) {
    TORQFieldDefs fields;
    AddField(fields, "K", aftInteger);
    TORQIndexDefs indexes;
    IndexOn(indexes, "K");
    TORQTemporaryTableData& t = MakeTemp(fields, int64_t{40} * 4096, false, "T", &indexes);
    TORQTemporaryPageManager& pm = *t.TemporaryPageManager;
    ASSERT_EQ(pm.MemoryPageLimit, 4);
    TORQBTreeRecordIndex& tree = FirstIndex(t);

    TTestCursor c(t);
    std::vector<int64_t> keys(5000);
    std::iota(keys.begin(), keys.end(), 0);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(21));
    std::map<int64_t, int64_t> numberOfKey;
    for (size_t i = 0; i < keys.size(); ++i) {
        c.Clear();
        c.SetInt(0, keys[i]);
        ASSERT_TRUE(t.InsertRecord(&c));  // keys added and the pages committed
        numberOfKey[keys[i]] = static_cast<int64_t>(i);
    }
    EXPECT_GT(pm.PageNumberCount, pm.MemoryPageLimit + 10);
    ASSERT_NE(pm.SpillStream, nullptr);

    const btreetest::TTreeShape shape = btreetest::ValidateTree(pm, tree.KeyRef(), -2, tree.RootPageNo());
    ASSERT_EQ(shape.Error, "");
    EXPECT_GE(shape.Depth, 2);
    ASSERT_EQ(shape.Values.size(), keys.size());
    // In key order, each entry names the record that holds its key.
    auto key = numberOfKey.begin();
    for (const auto& v : shape.Values) {
        EXPECT_EQ(TORQTemporaryRecordManager::IdToNumber(TORQRecordID::FromBytes(v.data())), key->second);
        ++key;
    }
}

TEST_F(TempEngine, BlobReplacedThreeTimesLeavesThreeCopies) {
    TORQFieldDefs fields;
    AddField(fields, "ID", aftInteger);
    AddField(fields, "DATA", aftBlob);
    TORQTemporaryTableData& t = MakeTemp(fields, 0);
    ASSERT_NE(t.BlobStream, nullptr);
    TTestCursor c(t);
    c.Clear();
    c.SetInt(0, 1);
    const std::string values[] = {"first", "second value", "third"};
    for (const std::string& v : values) {
        std::unique_ptr<TORQLocalBLOBStream> s = t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1);
        s->Write(v.data(), static_cast<int64_t>(v.size()));
        s->SetModified(true);
        t.StoreBlobStream(&c, 1, *s);
    }
    ASSERT_TRUE(t.InsertRecord(&c));

    // Each value: a 20-byte header (block count, uncompressed size, stored size) and
    // the stored bytes, appended; the field holds the last header's position.
    TORQTemporaryStream& blobs = *t.BlobStream;
    std::vector<uint8_t> all(static_cast<size_t>(blobs.Size()));
    blobs.Seek(0, soBeginning);
    ASSERT_EQ(blobs.Read(all.data(), blobs.Size()), blobs.Size());
    int64_t at = 0, last = 0;
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        ASSERT_LE(at + 20 + static_cast<int64_t>(v.size()), static_cast<int64_t>(all.size()));
        const uint8_t* h = all.data() + at;
        EXPECT_EQ(LoadLE64(h + 4), v.size());
        EXPECT_EQ(LoadLE64(h + 12), v.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 20), v.size()), v);
        last = at;
        at += 20 + static_cast<int64_t>(v.size());
    }
    EXPECT_EQ(at, static_cast<int64_t>(all.size()));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    EXPECT_EQ(static_cast<int64_t>(LoadLE64(c.CurrentRecord + c.FieldDefs.GetItem(1)->MemoryOffset)), last);
    std::unique_ptr<TORQLocalBLOBStream> r = t.CreateBlobStream(&c, false, TORQLocalBLOBStream::bmReadOnly, 1);
    std::string text(static_cast<size_t>(r->Size()), '\0');
    r->Read(text.data(), r->Size());
    EXPECT_EQ(text, "third");

    // ReadBlob and WriteBlob carry the same value to another record: a fourth copy.
    uint8_t* data = nullptr;
    TORQBlobDataHeader header;
    t.ReadBlob(&c, 1, data, header, c.CurrentRecord);
    EXPECT_EQ(header.UncompressedSize, 5);
    EXPECT_EQ(header.StoredSize, 5);
    c.Clear();
    c.SetInt(0, 2);
    t.WriteBlob(&c, 1, data, header, nullptr);
    t.DeleteBlob(data);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(blobs.Size(), at + 25);
    EXPECT_EQ(static_cast<int64_t>(LoadLE64(c.CurrentRecord + c.FieldDefs.GetItem(1)->MemoryOffset)), at);
    ASSERT_TRUE(t.InsertRecord(&c));
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    t.ReadBlob(&c, 1, data, header, c.CurrentRecord);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 5), "third");
    t.DeleteBlob(data);
    // An empty value is Null.
    TORQBlobDataHeader empty;
    t.WriteBlob(&c, 1, nullptr, empty, nullptr);
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
}

// Emptying the indexes fails (the index's root page is gone): the records stay and each
// still reads its own BLOB value.
TEST_F(TempEngine, FailedEmptyKeepsRecordsAndTheirBlobs) {
    TORQFieldDefs fields;
    AddField(fields, "ID", aftInteger);
    AddField(fields, "DATA", aftBlob);
    TORQIndexDefs indexes;
    IndexOn(indexes, "ID");
    TORQTemporaryTableData& t = MakeTemp(fields, int64_t{1} << 30, false, "T", &indexes);
    TTestCursor c(t);
    c.Clear();
    c.SetInt(0, 1);
    {
        std::unique_ptr<TORQLocalBLOBStream> s = t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1);
        s->Write("kept", 4);
        s->SetModified(true);
        t.StoreBlobStream(&c, 1, *s);
    }
    ASSERT_TRUE(t.InsertRecord(&c));
    FirstIndex(t).IndexDef->RootPage = 999;

    ExpectNative([&] { t.EmptyTable(&c); }, 10396);
    EXPECT_EQ(t.RecordManager->RecordCount, 1);
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    uint8_t* data = nullptr;
    TORQBlobDataHeader header;
    t.ReadBlob(&c, 1, data, header, c.CurrentRecord);
    ASSERT_EQ(header.StoredSize, 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 4), "kept");
    t.DeleteBlob(data);
    t.IndexManager->CloseIndex(t.IndexManager->IndexDefs.GetItem(0)->ObjectID);
}

// A table kept in memory grows its block by whole steps of records; the block size of
// 65,536 records of 65,537 bytes passes 2^32, and 32 bits would wrap it to 65,536 bytes.
TEST_F(TempEngine, KeptInMemoryBlockSizeIsSixtyFourBit) {
    TORQTemporaryRecordManager rm(65537, true, 65536, 10, 0);
    const int64_t limit = GlobalMemoryManager().MemoryLimit();
    GlobalMemoryManager().SetMemoryLimit(GlobalMemoryManager().UsedMemory() + (int64_t{64} << 20));
    std::vector<uint8_t> record(65537, 0x42);
    TORQRecordID id;
    const bool inserted = rm.InsertRecord(-2, record.data(), id);
    GlobalMemoryManager().SetMemoryLimit(limit);
    EXPECT_FALSE(inserted);  // 4,295,032,832 bytes are refused, nothing is written
    EXPECT_EQ(rm.RecordCount, 0);
    EXPECT_EQ(rm.MemoryCapacity, 0);
    EXPECT_EQ(rm.MemoryBlock, nullptr);
}

TEST_F(TempEngine, BlobCallsWithoutABlobStream) {
    TORQTemporaryTableData& t = MakeTemp(IdFields(), 0);
    EXPECT_EQ(t.BlobStream, nullptr);
    TTestCursor c(t);
    ExpectNative([&] { t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1); }, 10140);
    TORQBlobDataHeader header;
    header.UncompressedSize = 1;
    ExpectNative([&] { t.WriteBlob(&c, 1, nullptr, header, nullptr); }, 10506);
}

TEST_F(TempEngine, SpillFilesLeaveNoNameAndNoDescriptor) {
    ScopedTmpDir tmp;
    TORQFieldDefs fields;
    AddField(fields, "ID", aftInteger);
    AddField(fields, "DATA", aftBlob);
    const int32_t before = OpenDescriptors();
    TORQTemporaryTableData& t = MakeTemp(fields, int64_t{10} * 4096);
    auto fill = [&](bool Pages) {
        TTestCursor c(t);
        const std::string big(TORQTemporaryStream::SpillThreshold + 1, 'x');
        const int32_t count = t.TemporaryRecordManager()->MemoryLimit + 5;
        for (int i = 0; i < count; ++i) {
            c.Clear();
            c.SetInt(0, i);
            if (i == 0) {
                std::unique_ptr<TORQLocalBLOBStream> s =
                    t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1);
                s->Write(big.data(), static_cast<int64_t>(big.size()));
                s->SetModified(true);
                t.StoreBlobStream(&c, 1, *s);
            }
            ASSERT_TRUE(t.InsertRecord(&c));
        }
        if (!Pages) return;
        // Pages past the limit of one page spill too.
        TORQPage page(t.TemporaryPageManager.get());
        t.TemporaryPageManager->AllocatePage(&page);
        t.TemporaryPageManager->AllocatePage(&page);
    };
    fill(false);
    ASSERT_NE(t.TemporaryRecordManager()->SpillStream, nullptr);
    ASSERT_FALSE(t.BlobStream->InMemory());
    EXPECT_EQ(OpenDescriptors(), before + 2);  // the spill files are real, open files
    EXPECT_TRUE(tmp.Entries().empty());        // and already unlinked

    t.EmptyTable(nullptr);
    EXPECT_EQ(t.TemporaryRecordManager()->SpillStream, nullptr);
    EXPECT_TRUE(t.BlobStream->InMemory());
    EXPECT_EQ(t.TemporaryRecordManager()->RecordCount, 0);
    EXPECT_EQ(OpenDescriptors(), before);

    fill(true);
    ASSERT_NE(t.TemporaryPageManager->SpillStream, nullptr);
    EXPECT_EQ(OpenDescriptors(), before + 3);
    EXPECT_TRUE(tmp.Entries().empty());
    t.DeleteTable(nullptr, false);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(tmp.Entries().empty());
}

TEST_F(TempEngine, TheTemporaryDatabase) {
    TORQTemporaryDatabaseData& db = TemporaryDatabase();
    EXPECT_EQ(db.DatabaseName, "TEMP");
    EXPECT_EQ(DatabaseList().Find("temp"), &db);
    EXPECT_EQ(db.GetNextObjectID(), 1);
    EXPECT_EQ(db.GetNextObjectID(), 2);
    // Tables take the creating cursor's name; a table without fields is refused.
    TORQCursor named;
    named.TableName = "Q";
    TORQTableData* q = db.CreateTableData(&named);
    EXPECT_EQ(q->TableName, "Q");
    EXPECT_EQ(db.FindTableData(&named), q);
    TORQFieldDefs none;
    TORQIndexDefs noIndexes;
    TORQConstraintDefs noConstraints;
    ExpectNative([&] { q->CreateTable(&named, none, noIndexes, noConstraints); }, 10132,
                 "Error creating table - no fields were specified - Native error: 10132");
    ExpectNative([&] { q->GetPhysicalRecordCount(&named); }, 10133);
    ExpectNative([&] { q->SetPhysicalRecNo(&named, 1); }, 10136);
    ExpectNative([&] { q->GetPhysicalRecNo(&named); }, 10137);
    ExpectNative([&] { q->InsertRecord(&named); }, 10134);
    StopStorageEngine();
    ExpectNative([] { TemporaryDatabase(); }, 20007);
}

TEST_F(TempEngine, DropAllTablesIsTheCheckedRoad) {
    MakeTemp(IdFields(), 0, false, "A");
    TORQTemporaryTableData& b = MakeTemp(IdFields(), 0, false, "B");
    auto c = std::make_unique<TTestCursor>(b);
    ExpectNative([] { TemporaryDatabase().DropAllTables(); }, 20017);
    c.reset();
    TemporaryDatabase().AddTableData(nullptr);
    ExpectNative([] { TemporaryDatabase().DropAllTables(); }, 10379, "Nil pointer occured - Native error: 10379");
    TemporaryDatabase().DropAllTables();
    EXPECT_EQ(TemporaryDatabase().TableDataCount(), 0);
    // The destructor frees what is left, open cursor or not, without raising.
    TORQTemporaryTableData& left = MakeTemp(IdFields(), 0, false, "C");
    auto open = std::make_unique<TTestCursor>(left);
    InsertNumbered(left, *open, 1);
    open->Close();
    StopStorageEngine();
}

// EmptyTable empties the indexes for the cursor's session, so that session's pages are
// the ones committed; left private they would be lost to every other session.
TEST_F(TempEngine, EmptyTableCommitsTheEmptyingSession) {
    for (bool temporary : {true, false}) {
        SCOPED_TRACE(temporary ? "TEMP" : "MEMORY");
        TORQFieldDefs fields;
        AddField(fields, "K", aftInteger);
        TORQIndexDefs indexes;
        IndexOn(indexes, "K");
        TORQTableData* t;
        if (temporary) {
            t = &MakeTemp(fields, int64_t{1} << 30, false, "E", &indexes);
        } else {
            TORQConstraintDefs none;
            t = &MakeTable(fields, none, "E", &indexes);
        }

        TORQBaseSession session;
        session.SessionID = 1;
        TTestCursor c(*t);
        c.Session = &session;
        for (int i = 0; i < 400; ++i) {
            c.Clear();
            c.SetInt(0, i);
            ASSERT_TRUE(t->InsertRecord(&c));
        }
        t->EmptyTable(&c);
        const TORQSortedPageList* own = t->PageManager->PrivateList(1);
        EXPECT_TRUE(own == nullptr || own->Count() == 0);
        EXPECT_EQ(t->RecordManager->RecordCount, 0);
        c.Session = nullptr;
    }
}

// Inserted in a transaction, the keys sit in the session's private pages: the database's
// commit publishes them, and a rollback too, as the records themselves stay.
TEST_F(TempEngine, TransactionPagesAreCommittedByCommitAndRollback) {
    for (bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        TORQFieldDefs fields;
        AddField(fields, "K", aftInteger);
        TORQIndexDefs indexes;
        IndexOn(indexes, "K");
        TORQTemporaryTableData& t = MakeTemp(fields, int64_t{1} << 30, false, commit ? "C" : "R", &indexes);
        TORQBaseSession session;
        session.SessionID = 3;
        session.InTransaction = 1;
        TTestCursor c(t);
        c.Session = &session;
        for (int i = 0; i < 300; ++i) {
            c.Clear();
            c.SetInt(0, 299 - i);
            ASSERT_TRUE(t.InsertRecord(&c));
        }
        ASSERT_NE(t.PageManager->PrivateList(3), nullptr);
        ASSERT_GT(t.PageManager->PrivateList(3)->Count(), 0);
        if (commit)
            TemporaryDatabase().Commit(3, false);
        else
            TemporaryDatabase().Rollback(3);
        EXPECT_EQ(t.PageManager->PrivateList(3)->Count(), 0);
        EXPECT_EQ(t.RecordManager->RecordCount, 300);
        TORQBTreeRecordIndex& tree = FirstIndex(t);
        const btreetest::TTreeShape shape = btreetest::ValidateTree(*t.PageManager, tree.KeyRef(), -2, tree.RootPageNo());
        EXPECT_EQ(shape.Error, "");
        EXPECT_EQ(shape.Values.size(), 300u);
        c.Session = nullptr;
    }
}

// A filtered cursor's record bitmap follows the cursor's own inserts, and emptying the
// table leaves it nothing to count.
TEST_F(TempEngine, FilteredCursorsCountThroughTheirBitmap) {
    TORQTemporaryTableData& t = MakeTemp(IdFields(), int64_t{1} << 30);
    TTestCursor c(t);
    for (int64_t i = 0; i < 30; ++i) InsertNumbered(t, c, i);
    TTestCursor f(t);
    f.OnFilterRecord = [&](const uint8_t* Record) {
        int32_t id = 0;
        std::memcpy(&id, Record + f.FieldDefs.GetItem(0)->MemoryOffset, 4);
        return id % 3 == 0;
    };
    f.CreateRecordBitmap();
    ASSERT_EQ(t.GetRecordCount(&f), 10);
    InsertNumbered(t, f, 30);
    InsertNumbered(t, f, 31);
    EXPECT_FALSE(f.RecordBitmap->IsStale());
    EXPECT_EQ(f.RecordBitmap->Count(), 11);
    EXPECT_EQ(t.GetRecordCount(&f), 11);
    t.EmptyTable(&c);
    EXPECT_EQ(t.GetRecordCount(&f), 0);
}

}  // namespace

TEST_F(TempEngine, StrictBoundsOnAPrefixIndexFindEveryValueBeyondTheBound) {
    for (const int n : {100, 1000})
        for (const bool descending : {false, true}) {
            SCOPED_TRACE(std::to_string(n) + (descending ? " descending" : " ascending"));
            TORQFieldDefs fields;
            prefixkeys::Fields(fields);
            TORQIndexDefs indexes;
            prefixkeys::Indexes(indexes, descending);
            TORQTemporaryTableData& t = MakeTemp(fields, int64_t{64} << 20, false,
                                                 "P" + std::to_string(n) + (descending ? "D" : "A"), &indexes);
            TTestCursor c(t);
            prefixkeys::Fill(t, c, n);
            const int failed = prefixkeys::CheckStrictBounds(t, c, n, descending);
            std::printf("TEMP %d %s: %d of 17 cases wrong\n", n, descending ? "descending" : "ascending", failed);
        }
}

}  // namespace orq::test
