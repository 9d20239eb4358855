// BLOB values of disk tables: the stored bytes of shared pages and large BLOBs against
// their layouts, the storage choice at its threshold, round trips from 0 bytes to a page
// list over two pages, freeing (a shared page goes with its last value, a large BLOB
// with all its pages, never twice), ids (255 never handed out, still read from an older
// page), the cache and its handles, sessions, an injected file failure, and pages flipped
// at random.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DiskPageFixture.h"
#include "GoldenBytes.h"
#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQLocalBLOBStream.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using golden::Bytes;
using golden::I32;
using golden::I64;
using golden::operator+;

namespace {

constexpr int32_t FreedStamp = 2147483647;
constexpr int32_t Session = 1;

Bytes I16(int16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8)}; }

Bytes Pattern(int64_t Size, int Seed) {
    Bytes b(static_cast<size_t>(Size));
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 31 + static_cast<size_t>(Seed) * 7 + i / 251);
    return b;
}

// Fields: an integer, then two BLOB fields (1 and 2).
struct Fields : TORQBaseFieldManager {
    Fields() : TORQBaseFieldManager(nullptr) {
        const uint8_t types[] = {aftInteger, aftBlob, aftMemo};
        for (int i = 0; i < 3; ++i) {
            TORQFieldDef* f = FieldDefs.Add();
            f->Name = "F" + std::to_string(i);
            f->ObjectID = 100 + i;
            f->SetDataType(types[i], 0);
        }
        RebuildLayout();
        ResetAutoincValues();
    }
};

// Stored records served in order, as the record manager walks them.
struct FakeRecords : TORQBaseRecordManager {
    std::vector<Bytes> Rows;
    void EmptyRecords(int32_t) override { Rows.clear(); }
    bool InsertRecord(int32_t, const uint8_t*, TORQRecordID&) override { return false; }
    bool UpdateRecord(int32_t, const uint8_t*, const TORQRecordID&) override { return false; }
    bool DeleteRecord(int32_t, TORQRecordID&) override { return false; }
    void ReadRecord(int32_t, TORQGetRecordRequest& R) override {
        const size_t next = R.AtBeginning != 0 ? 0 : static_cast<size_t>(R.RecordID.PageNo) + 1;
        if (next >= Rows.size()) {
            R.Result = grEOF;
            return;
        }
        std::memcpy(R.RecordBuffer, Rows[next].data(), Rows[next].size());
        R.RecordID = TORQRecordID{static_cast<int32_t>(next), 0};
        R.AtBeginning = 0;
        R.Result = grOK;
    }
    int32_t CompareRecordIds(const TORQRecordID&, const TORQRecordID&) override { return 0; }
    int64_t EstimateRecordsBefore(int32_t, const TORQRecordID&) override { return 0; }
};

struct BlobTable {
    explicit BlobTable(uint16_t PageSize = 4096, const TORQPassword& Password = {}) : Db(Password, 8, PageSize) {
        Open();
        Blobs->ResetIndex();
        Pm->CommitSession(-2);
    }
    ~BlobTable() {
        Blobs.reset();
        if (Pm) Pm->CloseDatabaseFile();
    }
    void Open() {
        Pm = Db.Open(false);
        Blobs = std::make_unique<TORQDiskBlobManager>(*Pm, FieldManager, Records);
    }
    // A new page manager and BLOB manager on the file, the index root carried over.
    void Reopen() {
        TORQMemoryStream root;
        Blobs->SaveIndexRoot(root);
        Blobs->Close();
        Blobs.reset();
        Pm->CloseDatabaseFile();
        Pm.reset();
        Open();
        root.SetPosition(0);
        Blobs->LoadIndexRoot(root);
    }
    Bytes Record() const {
        Bytes r(static_cast<size_t>(FieldManager.FieldDefs.GetMemoryRecordSize()), 0);
        r[0] = 0xFF;
        return r;
    }
    int32_t Offset(int32_t FieldNo) const { return FieldManager.FieldDefs.GetItem(FieldNo)->MemoryOffset; }
    // A modified value in the record's field: Value as stored bytes, uncompressed size Size.
    void Set(Bytes& R, int32_t FieldNo, const Bytes& Value, int64_t Size) {
        TORQBlobDataHeader h;
        h.BlockCount = 3;
        h.UncompressedSize = Size;
        h.StoredSize = static_cast<int64_t>(Value.size());
        Blobs->SetBlobData(R.data(), Value.data(), h, FieldNo);
    }
    // A new record holding Value in field 1, flushed; its reference.
    TORQBlobReference Store(const Bytes& Value, int32_t S = Session) {
        Bytes r = Record();
        Set(r, 1, Value, static_cast<int64_t>(Value.size()) + 1);
        Blobs->FlushBlobs(S, r.data(), nullptr);
        return Blobs->GetReference(r.data(), 1);
    }
    // The stored bytes a reference names, read through a fresh buffer whose entry is released.
    Bytes Load(const TORQBlobReference& Ref, int32_t S = Session) {
        Bytes r = Record();
        Ref.ToBytes(r.data() + Offset(1));
        SetBit(r.data(), 1, false);
        const uint8_t* data = nullptr;
        TORQBlobDataHeader h;
        Blobs->GetBlobData(S, r.data(), data, h, 1);
        Bytes out(data, data + h.StoredSize);
        Blobs->ReleaseBlobCache(r.data(), 1, true);
        return out;
    }
    Bytes DataArea(int32_t PageNo) const {
        const Bytes page = Db.PageBytes(PageNo);
        return Bytes(page.begin() + 40, page.end());
    }
    int32_t DiskStamp(int32_t PageNo) const { return diskpages::LE32(Db.PageBytes(PageNo), 4); }
    // Freed on disk: stamped so, or cut from the end of the file.
    bool Freed(int32_t PageNo) const {
        const Bytes page = Db.PageBytes(PageNo);
        return page.empty() || diskpages::LE32(page, 4) == FreedStamp;
    }

    diskpages::Database Db;
    Fields FieldManager;
    FakeRecords Records;
    std::unique_ptr<TORQDiskPageManager> Pm;
    std::unique_ptr<TORQDiskBlobManager> Blobs;
};

// ---------------------------------------------------------------------------------
// Stored bytes

TEST(DiskBlobLayout, SharedPageHoldsCountThenPackedEntries) {
    BlobTable t;
    const Bytes a = Pattern(5, 1), b = Pattern(3, 2);
    Bytes r = t.Record();
    t.Set(r, 1, a, 70);
    t.Set(r, 2, b, 0x0102030405LL);
    t.Blobs->FlushBlobs(Session, r.data(), nullptr);
    const TORQBlobReference ra = t.Blobs->GetReference(r.data(), 1), rb = t.Blobs->GetReference(r.data(), 2);
    EXPECT_EQ(ra.BlobID, 0);
    EXPECT_EQ(rb, (TORQBlobReference{ra.PageNo, 1}));
    EXPECT_FALSE(GetBit(r.data(), 1));
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 0) << "a flush drops the entries";
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, ra.PageNo), 22 + 5 + 22 + 3);
    t.Pm->CommitSession(Session);

    const Bytes expected = Bytes{2, 0} + I16(0) + I32(3) + I64(5) + I64(70) + a + I16(1) + I32(3) + I64(3) +
                           I64(0x0102030405LL) + b;
    const Bytes data = t.DataArea(ra.PageNo);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_EQ(Bytes(data.begin() + static_cast<std::ptrdiff_t>(expected.size()), data.end()),
              Bytes(data.size() - expected.size(), 0));
    EXPECT_EQ(diskpages::LE32(t.Db.PageBytes(ra.PageNo), 8) & 0xFFFF, 11) << "TableBlob page";
}

// U = 4056: a value is shared while S + 24 < U. A large BLOB's first page holds U - 32
// bytes, every further one U; the page list follows the last byte, or starts a new page
// when the last data page is exactly full. Pages are numbered from the first page on.
struct LargeCase {
    int64_t Size;
    int32_t DataPages;
    int32_t LocatorPage;  // where the locator points
    int32_t LocatorOffset;
    int32_t EntriesPage;  // where the entries are (a page that holds no whole entry is skipped)
    int32_t EntriesOffset;
};

class DiskBlobLarge : public ::testing::TestWithParam<LargeCase> {};

TEST_P(DiskBlobLarge, FirstPageDataPagesAndPageListFollowTheLayout) {
    const LargeCase c = GetParam();
    BlobTable t;
    const Bytes value = Pattern(c.Size, 3);
    const TORQBlobReference ref = t.Store(value);
    ASSERT_EQ(ref.BlobID, -1);
    t.Pm->CommitSession(Session);

    std::vector<int32_t> pages;
    for (int32_t i = 0; i < c.DataPages; ++i) pages.push_back(ref.PageNo + i);
    const Bytes first = t.DataArea(ref.PageNo);
    const Bytes head = I16(-1) + I32(3) + I64(c.Size) + I64(c.Size + 1) + I32(ref.PageNo + c.LocatorPage) +
                       I16(static_cast<int16_t>(c.LocatorOffset)) + I32(c.DataPages);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 32), head);
    EXPECT_EQ(Bytes(first.begin() + 32, first.end()), Bytes(value.begin(), value.begin() + 4024));
    for (int32_t i = 1; i < c.DataPages; ++i) {
        const Bytes d = t.DataArea(pages[static_cast<size_t>(i)]);
        const int64_t from = 4024 + int64_t{i - 1} * 4056;
        const int64_t n = std::min<int64_t>(4056, c.Size - from);
        EXPECT_EQ(Bytes(d.begin(), d.begin() + n), Bytes(value.begin() + static_cast<std::ptrdiff_t>(from),
                                                         value.begin() + static_cast<std::ptrdiff_t>(from + n)));
    }
    Bytes list;
    for (int32_t p : pages) list = list + I32(p);
    const int32_t entriesPage = ref.PageNo + c.EntriesPage;
    const Bytes l = t.DataArea(entriesPage);
    const auto at = static_cast<std::ptrdiff_t>(c.EntriesOffset);
    EXPECT_EQ(Bytes(l.begin() + at, l.begin() + at + static_cast<std::ptrdiff_t>(list.size())), list);
    EXPECT_EQ(Bytes(l.begin() + at + static_cast<std::ptrdiff_t>(list.size()), l.end()),
              Bytes(l.size() - static_cast<size_t>(at) - list.size(), 0));
    EXPECT_EQ(diskpages::LE32(t.Db.PageBytes(entriesPage), 10), -1) << "the last list page links nowhere";
    if (c.LocatorPage != c.EntriesPage) {
        EXPECT_EQ(diskpages::LE32(t.Db.PageBytes(ref.PageNo + c.LocatorPage), 10), entriesPage);
    }
    EXPECT_EQ(t.Load(ref), value);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DiskBlobLarge,
                         ::testing::Values(LargeCase{4032, 2, 1, 8, 1, 8},        // the smallest large BLOB
                                           LargeCase{8080, 2, 2, 0, 2, 0},        // last data page exactly full
                                           LargeCase{8081, 3, 2, 1, 2, 1},        // one byte on a third page
                                           LargeCase{8078, 2, 1, 4054, 2, 0}),  // two bytes left: no entry fits
                         [](const ::testing::TestParamInfo<LargeCase>& I) { return "S" + std::to_string(I.param.Size); });

TEST(DiskBlobLayout, ThresholdBetweenSharedAndLarge) {
    BlobTable t;
    EXPECT_TRUE(t.Blobs->IsSmallBlob(4031));
    EXPECT_FALSE(t.Blobs->IsSmallBlob(4032));
    const TORQBlobReference small = t.Store(Pattern(4031, 4));
    EXPECT_EQ(small.BlobID, 0);
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, small.PageNo), 4053);
    // The full shared page is not offered again: the next small value takes a new page.
    const TORQBlobReference next = t.Store(Pattern(1, 5));
    EXPECT_NE(next.PageNo, small.PageNo);
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(small), Pattern(4031, 4));
}

TEST(DiskBlobLayout, IndexRootIsFourBytes) {
    BlobTable t;
    t.Blobs->BlobPageIndex().SetRootPageNo(0x01020304);
    TORQMemoryStream s;
    t.Blobs->SaveIndexRoot(s);
    ASSERT_EQ(s.Size(), 4);
    Bytes b(4);
    s.SetPosition(0);
    s.ReadBuffer(b.data(), 4);
    EXPECT_EQ(b, I32(0x01020304));
    s.SetPosition(2);
    ExpectNative([&] { t.Blobs->LoadIndexRoot(s); }, 31014);
}

// ---------------------------------------------------------------------------------
// Round trips

TEST(DiskBlobRoundTrip, SizesFromEmptyToAPageListOnTwoPages) {
    BlobTable t;
    // 1100 data pages need 4400 bytes of list: more than one page holds.
    const int64_t sizes[] = {0, 1, 4031, 4032, 8080, 8081, 3 * 4056 + 17, 4024 + 1099 * 4056 - 100};
    std::vector<Bytes> rows;
    for (int i = 0; i < 8; ++i) {
        Bytes r = t.Record();
        t.Set(r, 1, Pattern(sizes[i], i), sizes[i] == 0 ? 0 : sizes[i] * 2);
        t.Set(r, 2, Pattern(i, 100 + i), i == 0 ? 0 : 9);
        t.Blobs->FlushBlobs(Session, r.data(), nullptr);
        rows.push_back(r);
    }
    t.Pm->CommitSession(Session);
    t.Reopen();
    for (int i = 0; i < 8; ++i) {
        Bytes r = rows[static_cast<size_t>(i)];
        SCOPED_TRACE(sizes[i]);
        TORQMemoryStream out;
        TORQBLOBDescriptor d;
        d.BlockSize = 77;
        t.Blobs->ReadBlob(Session, r.data(), out, d, 1);
        EXPECT_EQ(d.BlockSize, 77) << "only counts and size are the manager's";
        if (sizes[i] == 0) {
            EXPECT_TRUE(GetBit(r.data(), 1));
            EXPECT_EQ(t.Blobs->GetReference(r.data(), 1).PageNo, 0) << "nothing stored keeps page 0";
            EXPECT_EQ(d.UncompressedSize, 0);
            EXPECT_EQ(out.Size(), 0);
            EXPECT_EQ(t.Blobs->CacheEntryCount(), 0);
        } else {
            EXPECT_EQ(d.BlockCount, 3);
            EXPECT_EQ(d.UncompressedSize, sizes[i] * 2);
            Bytes got(static_cast<size_t>(out.Size()));
            out.SetPosition(0);
            out.ReadBuffer(got.data(), out.Size());
            EXPECT_EQ(got, Pattern(sizes[i], i));
            // A second read uses the same cache entry.
            const uint8_t* data = nullptr;
            TORQBlobDataHeader h;
            t.Blobs->GetBlobData(Session, r.data(), data, h, 1);
            EXPECT_EQ(t.Blobs->GetCacheEntry(r.data(), 1)->Data.Data(), data);
            EXPECT_EQ(h.StoredSize, sizes[i]);
        }
        const uint8_t* data = nullptr;
        TORQBlobDataHeader h;
        t.Blobs->GetBlobData(Session, r.data(), data, h, 2);
        EXPECT_EQ(Bytes(data, data + h.StoredSize), i == 0 ? Bytes{} : Pattern(i, 100 + i));
        t.Blobs->ReleaseBlobCache(r.data(), 1, false);
        t.Blobs->ReleaseBlobCache(r.data(), 2, false);
    }
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 0);
}

TEST(DiskBlobRoundTrip, EncryptedDatabaseKeepsValuesEnciphered) {
    BlobTable t(4096, TORQPassword{"navtex", 3});
    const TORQBlobReference small = t.Store(Pattern(700, 1));
    const TORQBlobReference large = t.Store(Pattern(9000, 2));
    t.Pm->CommitSession(Session);
    t.Reopen();
    EXPECT_EQ(t.Load(small), Pattern(700, 1));
    EXPECT_EQ(t.Load(large), Pattern(9000, 2));
    const Bytes first = t.DataArea(large.PageNo), plain = Pattern(9000, 2);
    EXPECT_NE(Bytes(first.begin() + 32, first.begin() + 96), Bytes(plain.begin(), plain.begin() + 64));
}

TEST(DiskBlobRoundTrip, CompressedStreamInAndOut) {
    BlobTable t;
    const std::string text(30000, 'N');
    TORQBLOBDescriptor d;
    d.BlockSize = 4096;
    d.CompressionAlgorithm = 1;
    d.CompressionMode = 6;
    auto makeStream = [&](bool Write, const Bytes& Stored, const TORQBLOBDescriptor& Desc) {
        auto base = std::make_unique<TORQMemoryStream>();
        if (!Stored.empty()) base->WriteBuffer(Stored.data(), static_cast<int64_t>(Stored.size()));
        base->SetPosition(0);
        auto compressed = std::make_unique<TORQCompressedBLOBStream>(*base, Desc, Write, false);
        return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(compressed), 1,
                                                     TORQLocalBLOBStream::bmReadWrite, nullptr);
    };
    Bytes r = t.Record();
    auto untouched = makeStream(true, {}, d);
    t.Blobs->WriteBlobFromStream(r.data(), 1, *untouched);
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 0) << "a stream never written stores nothing";

    auto in = makeStream(true, {}, d);
    in->WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    t.Blobs->WriteBlobFromStream(r.data(), 1, *in);
    EXPECT_FALSE(GetBit(r.data(), 1));
    t.Blobs->FlushBlobs(Session, r.data(), nullptr);
    t.Pm->CommitSession(Session);
    t.Reopen();

    TORQMemoryStream stored;
    TORQBLOBDescriptor back = d;
    t.Blobs->ReadBlob(Session, r.data(), stored, back, 1);
    t.Blobs->ReleaseBlobCache(r.data(), 1, false);
    EXPECT_LT(stored.Size(), 1000) << "held compressed";
    Bytes storedBytes(static_cast<size_t>(stored.Size()));
    stored.SetPosition(0);
    stored.ReadBuffer(storedBytes.data(), stored.Size());
    auto out = makeStream(false, storedBytes, back);
    std::string got(static_cast<size_t>(out->Size()), '\0');
    out->ReadBuffer(got.data(), out->Size());
    EXPECT_EQ(got, text);

    // An emptied stream frees the value and sets the null bit.
    const Bytes before = r;
    auto empty = makeStream(true, {}, d);
    empty->SetSize(0);
    empty->SetModified(true);
    t.Blobs->WriteBlobFromStream(r.data(), 1, *empty);
    EXPECT_TRUE(GetBit(r.data(), 1));
    t.Blobs->FlushBlobs(Session, r.data(), before.data());
    EXPECT_EQ(t.Blobs->GetReference(r.data(), 1), (TORQBlobReference{-1, -1}));
    EXPECT_TRUE(GetBit(r.data(), 1));
    t.Pm->CommitSession(Session);
    EXPECT_TRUE(t.Freed(t.Blobs->GetReference(before.data(), 1).PageNo));
}

// ---------------------------------------------------------------------------------
// Freeing

TEST(DiskBlobFree, SharedPageGoesWithItsLastValue) {
    BlobTable t;
    TORQBlobReference a = t.Store(Pattern(100, 1));
    TORQBlobReference b = t.Store(Pattern(200, 2));
    TORQBlobReference c = t.Store(Pattern(50, 3));
    ASSERT_EQ(a.PageNo, b.PageNo);
    ASSERT_EQ(a.PageNo, c.PageNo);
    const int32_t page = a.PageNo;
    t.Pm->CommitSession(Session);

    t.Blobs->FreeStoredBlob(Session, b);
    EXPECT_EQ(b, (TORQBlobReference{-1, -1}));
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, page), 122 + 72);
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(a), Pattern(100, 1));
    EXPECT_EQ(t.Load(c), Pattern(50, 3)) << "later entries moved down";
    const Bytes data = t.DataArea(page);
    EXPECT_EQ(Bytes(data.begin() + 2 + 122 + 72, data.end()), Bytes(4056 - 196, 0)) << "the freed tail is zero";

    t.Blobs->FreeStoredBlob(Session, a);
    ExpectNative([&] { t.Blobs->FreeStoredBlob(Session, a = TORQBlobReference{page, 0}); }, 20171);
    t.Blobs->FreeStoredBlob(Session, c);
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, page), -1);
    t.Pm->CommitSession(Session);
    EXPECT_TRUE(t.Freed(page));
    // The freed page comes back for the next value.
    EXPECT_EQ(t.Store(Pattern(10, 4)).PageNo, page);
}

// An index that records more than the page holds must still forget the page that
// empties: offered again, it would take a value onto a page the commit frees.
TEST(DiskBlobFree, EmptiedPageLeavesAnIndexThatDisagrees) {
    BlobTable t;
    TORQBlobReference a = t.Store(Pattern(100, 1));
    t.Blobs->BlobPageIndex().AddUsedSize(Session, 50, a.PageNo);
    const int32_t page = a.PageNo;
    t.Blobs->FreeStoredBlob(Session, a);
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, page), -1);
    const TORQBlobReference b = t.Store(Pattern(30, 2));
    EXPECT_NE(b.PageNo, page);
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(b), Pattern(30, 2));
}

TEST(DiskBlobFree, LargeBlobFreesEveryPageOnceAndOnlyOnce) {
    BlobTable t;
    const TORQBlobReference keep = t.Store(Pattern(300, 9));
    TORQBlobReference ref = t.Store(Pattern(8080, 1));  // two data pages and a list page
    t.Pm->CommitSession(Session);
    const TORQBlobReference copy = ref;
    t.Blobs->FreeStoredBlob(Session, ref);
    EXPECT_EQ(ref, (TORQBlobReference{-1, -1}));
    TORQBlobReference again = copy;
    ExpectNative([&] { t.Blobs->FreeStoredBlob(Session, again); }, 31011);
    t.Pm->CommitSession(Session);
    for (int32_t p = copy.PageNo; p < copy.PageNo + 3; ++p) EXPECT_TRUE(t.Freed(p)) << p;
    EXPECT_EQ(t.Load(keep), Pattern(300, 9));
    EXPECT_FALSE(t.Freed(keep.PageNo));
}

TEST(DiskBlobFree, FlushFreesTheStoredRecordsValueNotTheBuffers) {
    BlobTable t;
    Bytes x = t.Record(), y = t.Record();
    t.Set(x, 1, Pattern(5000, 1), 1);
    t.Set(y, 1, Pattern(40, 2), 1);
    t.Blobs->FlushBlobs(Session, x.data(), nullptr);
    t.Blobs->FlushBlobs(Session, y.data(), nullptr);
    const TORQBlobReference w = t.Store(Pattern(20, 5));  // keeps y's shared page in use
    ASSERT_EQ(w.PageNo, t.Blobs->GetReference(y.data(), 1).PageNo);
    t.Pm->CommitSession(Session);

    // A buffer that carries x's reference is written over record y.
    Bytes buffer = x;
    t.Set(buffer, 1, Pattern(60, 3), 1);
    t.Blobs->FlushBlobs(Session, buffer.data(), y.data());
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(t.Blobs->GetReference(x.data(), 1)), Pattern(5000, 1));
    EXPECT_EQ(t.Load(t.Blobs->GetReference(buffer.data(), 1)), Pattern(60, 3));
    ExpectNative([&] { t.Load(t.Blobs->GetReference(y.data(), 1)); }, 20171);

    // FreeBlobs takes the stored record's references and unmarks the buffer's entries.
    Bytes pending = buffer;
    t.Set(pending, 2, Pattern(7, 4), 1);
    t.Blobs->FreeBlobs(Session, pending.data(), buffer.data());
    EXPECT_EQ(t.Blobs->GetCacheEntry(pending.data(), 2)->Modified, 0);
    t.Blobs->FlushBlobs(Session, pending.data(), nullptr);
    EXPECT_EQ(t.Blobs->GetReference(pending.data(), 2).PageNo, 0) << "an unmarked entry is not stored";
    t.Blobs->ReleaseBlobCache(pending.data(), 2, false);
    t.Pm->CommitSession(Session);
    ExpectNative([&] { t.Load(t.Blobs->GetReference(buffer.data(), 1)); }, 20171);
    EXPECT_EQ(t.Load(t.Blobs->GetReference(x.data(), 1)), Pattern(5000, 1));
    EXPECT_EQ(t.Load(w), Pattern(20, 5));
}

TEST(DiskBlobFree, EmptyAndDropWalkEveryStoredRecord) {
    BlobTable t;
    std::vector<int32_t> pages;
    for (int i = 0; i < 3; ++i) {
        Bytes r = t.Record();
        t.Set(r, 1, Pattern(i == 1 ? 9000 : 30, i), 1);
        t.Set(r, 2, Pattern(i == 2 ? 0 : 20, i), i == 2 ? 0 : 1);
        t.Blobs->FlushBlobs(Session, r.data(), nullptr);
        pages.push_back(t.Blobs->GetReference(r.data(), 1).PageNo);
        t.Records.Rows.push_back(r);
    }
    t.Pm->CommitSession(Session);
    const int32_t root = t.Blobs->BlobPageIndex().RootPageNo();
    t.Blobs->EmptyBlobs(Session);
    t.Pm->CommitSession(Session);
    for (int32_t p : pages) EXPECT_TRUE(t.Freed(p)) << p;
    EXPECT_EQ(t.Blobs->BlobPageIndex().RootPageNo(), root);
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, pages[0]), -1);
    t.Records.Rows.clear();
    t.Blobs->DropBlobs(Session);
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Blobs->BlobPageIndex().RootPageNo(), -1);
    EXPECT_TRUE(t.Freed(root));
}

// ---------------------------------------------------------------------------------
// Ids

TEST(DiskBlobIds, CountFirstThenTheNextFreeNever255) {
    BlobTable t(8192);  // room for more than 256 empty-stored entries on one page
    TORQBlobCacheEntry e;
    e.UncompressedSize = 1;
    std::vector<TORQBlobReference> refs;
    for (int i = 0; i < 257; ++i) refs.push_back(t.Blobs->StoreBlob(Session, e));
    for (int i = 0; i < 255; ++i) ASSERT_EQ(refs[static_cast<size_t>(i)].BlobID, i);
    EXPECT_EQ(refs[255].BlobID, 256);
    EXPECT_EQ(refs[256].BlobID, 257);
    EXPECT_EQ(refs[0].PageNo, refs[256].PageNo);
    // Free id 3: the count (256) is taken, so the next is 258.
    t.Blobs->FreeStoredBlob(Session, refs[3]);
    EXPECT_EQ(t.Blobs->StoreBlob(Session, e).BlobID, 258);
    t.Pm->RollbackSession(Session);
}

// A page as an older writer could leave it: two entries, the second with id 255, whose
// first entry's bytes make the size test alone take the page for a large BLOB.
TEST(DiskBlobIds, Id255FromAnOlderPageReadsAndFreesAsSmall) {
    BlobTable t;
    const TORQBlobReference first = t.Store(Pattern(16, 1));
    const TORQBlobReference second = t.Store(Pattern(30, 2));
    const TORQBlobReference other = t.Store(Pattern(9000, 3));
    t.Pm->CommitSession(Session);
    {
        TORQPage* page = t.Pm->GetPage(Session, first.PageNo, true, ptTableBlob);
        uint8_t* d = page->GetData();
        StoreLE32(d + 4, 0x00010000);           // first entry's block count
        StoreLE32(d + 24 + 4, 259);             // bytes read as a locator count of 259
        StoreLE16(d + 2 + 22 + 16, 255);        // second entry's id
        page->Modified = 1;
        t.Pm->ReleasePage(page);
        t.Pm->CommitSession(Session);
    }
    const TORQBlobReference old{second.PageNo, 255};
    EXPECT_FALSE(t.Blobs->IsLargeBlob(Session, old.PageNo));
    EXPECT_EQ(t.Load(old), Pattern(30, 2));
    TORQBlobReference freeing = old;
    t.Blobs->FreeStoredBlob(Session, freeing);
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(other), Pattern(9000, 3));
    for (int32_t p = other.PageNo; p < other.PageNo + 3; ++p) EXPECT_FALSE(t.Freed(p)) << p;
    EXPECT_EQ(t.DataArea(first.PageNo)[0], 1) << "one entry left";

    // A large BLOB referenced with id 255 is still read and freed whole.
    EXPECT_TRUE(t.Blobs->IsLargeBlob(Session, other.PageNo));
    EXPECT_EQ(t.Load(TORQBlobReference{other.PageNo, 255}), Pattern(9000, 3));
    TORQBlobReference large{other.PageNo, 255};
    t.Blobs->FreeStoredBlob(Session, large);
    t.Pm->CommitSession(Session);
    EXPECT_TRUE(t.Freed(other.PageNo));
}

TEST(DiskBlobIds, MissingIdRaisesAndLeavesNoEntry) {
    BlobTable t;
    const TORQBlobReference a = t.Store(Pattern(10, 1));
    t.Pm->CommitSession(Session);
    Bytes r = t.Record();
    TORQBlobReference{a.PageNo, 7}.ToBytes(r.data() + t.Offset(1));
    SetBit(r.data(), 1, false);
    const uint8_t* data = nullptr;
    TORQBlobDataHeader h;
    ExpectNative([&] { t.Blobs->GetBlobData(Session, r.data(), data, h, 1); }, 20171, "Cannot find blob field - Native error: 20171");
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 0);
    EXPECT_EQ(t.Blobs->GetCacheEntry(r.data(), 1), nullptr);
    TORQBlobReference missing{a.PageNo, 7};
    ExpectNative([&] { t.Blobs->FreeStoredBlob(Session, missing); }, 20171);
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, a.PageNo), 32) << "the index is untouched";
    t.Pm->CommitSession(Session);
    EXPECT_EQ(t.Load(a), Pattern(10, 1));
}

TEST(DiskBlobIds, PageFullWhenTheIndexDisagrees) {
    BlobTable t;
    const TORQBlobReference a = t.Store(Pattern(3000, 1));
    t.Blobs->BlobPageIndex().RemoveUsedSize(Session, 2000, a.PageNo);  // the index now says 1022
    ExpectNative([&] { t.Store(Pattern(2000, 2)); }, 20290,
                 "Cannot add blob. Page is full: BlobCount=1, BlobOffset=3024, BlobSize=2022, PageDataSize=4056, "
                 "SizeInBlobPageIndex=1022 - Native error: 20290");
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(Session, a.PageNo), 1022) << "nothing changed";
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 1) << "the unflushed entry stays";
    t.Pm->RollbackSession(Session);
}

// ---------------------------------------------------------------------------------
// Cache

TEST(DiskBlobCache, HandlesEntriesAndTheExplicitClose) {
    BlobTable t;
    Bytes r = t.Record();
    t.Blobs->SetLastHandle(0xFFFFFFFFu);
    t.Set(r, 1, Pattern(3, 1), 1);
    EXPECT_EQ(LoadLE32(r.data() + t.Offset(1) + 6), 1u) << "handles skip 0";
    EXPECT_FALSE(GetBit(r.data(), 1));
    t.Set(r, 1, Bytes{}, 0);
    EXPECT_TRUE(GetBit(r.data(), 1)) << "a stored size of 0 is Null";
    EXPECT_EQ(LoadLE32(r.data() + t.Offset(1) + 6), 2u);
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 1) << "the replaced entry is dropped";

    Bytes stale = r;
    t.Blobs->ReleaseBlobCache(r.data(), 1, false);
    EXPECT_EQ(t.Blobs->CacheEntryCount(), 1) << "a modified entry stays without force";
    ExpectNative([&] { t.Blobs->Close(); }, 20150, "Blob cache not released - Native error: 20150");
    t.Blobs->ReleaseBlobCache(r.data(), 1, true);
    EXPECT_EQ(LoadLE32(r.data() + t.Offset(1) + 6), 0u);
    EXPECT_EQ(t.Blobs->GetCacheEntry(stale.data(), 1), nullptr) << "a stale handle is no entry";
    t.Blobs->Close();

    // Errors of the buffer calls.
    TORQBlobDataHeader h;
    h.StoredSize = 4;
    ExpectNative([&] { t.Blobs->SetBlobData(r.data(), nullptr, h, 1); }, 20161);
    h.StoredSize = -1;
    ExpectNative([&] { t.Blobs->SetBlobData(r.data(), nullptr, h, 1); }, 31012);
    ExpectNative([&] { t.Blobs->ReleaseBlobCache(r.data(), 0, true); }, 31013);
    ExpectNative([&] { t.Blobs->ReleaseBlobCache(r.data(), 3, true); }, 10000);
    SetBit(r.data(), 1, false);  // not Null, yet nothing stored
    const uint8_t* data = nullptr;
    ExpectNative([&] { t.Blobs->GetBlobData(Session, r.data(), data, h, 1); }, 20291);
    TORQMemoryStream s;
    TORQBLOBDescriptor d;
    ExpectNative([&] { t.Blobs->ReadBlob(Session, r.data(), s, d, 1); }, 20162);
    SetBit(r.data(), 1, true);
    d.BlockCount = 5;
    t.Blobs->ReadBlob(Session, r.data(), s, d, 1);
    EXPECT_EQ(d.BlockCount, 0);
    EXPECT_EQ(s.Size(), 0);

    // The destructor frees what is left without raising.
    t.Set(r, 2, Pattern(10, 2), 1);
    t.Blobs.reset();
}

// ---------------------------------------------------------------------------------
// Sessions and failures

TEST(DiskBlobSessions, ValuesArePrivateUntilCommitAndRollBackWhole) {
    BlobTable t;
    const TORQBlobReference kept = t.Store(Pattern(500, 1));
    t.Pm->CommitSession(Session);

    // Session 2 replaces it with a large value, then rolls back.
    Bytes r = t.Record();
    kept.ToBytes(r.data() + t.Offset(1));
    SetBit(r.data(), 1, false);
    const Bytes stored = r;
    t.Set(r, 1, Pattern(20000, 2), 1);
    t.Blobs->FlushBlobs(2, r.data(), stored.data());
    const TORQBlobReference fresh = t.Blobs->GetReference(r.data(), 1);
    EXPECT_EQ(t.Load(fresh, 2), Pattern(20000, 2));
    ExpectNative([&] { t.Load(kept, 2); }, 20171);
    EXPECT_EQ(t.Load(kept, Session), Pattern(500, 1)) << "another session still sees the committed value";
    t.Pm->RollbackSession(2);
    EXPECT_EQ(t.Load(kept, 2), Pattern(500, 1));
    EXPECT_EQ(t.Blobs->BlobPageIndex().GetUsedSize(2, kept.PageNo), 522);

    // The same change committed.
    r = stored;
    t.Set(r, 1, Pattern(20000, 3), 1);
    t.Blobs->FlushBlobs(2, r.data(), stored.data());
    EXPECT_EQ(t.Blobs->GetReference(r.data(), 1).PageNo, fresh.PageNo) << "the rolled-back pages were given back";
    t.Pm->CommitSession(2);
    t.Reopen();
    EXPECT_EQ(t.Load(t.Blobs->GetReference(r.data(), 1)), Pattern(20000, 3));
    EXPECT_TRUE(t.Freed(kept.PageNo));
}

// The file starts failing while a large value replaces a stored one: at the k-th time an
// allocation of the flush takes the header lock (to grow the file or write its map; a
// single-user writer takes it once for a growing run of pages) or at the commit's first
// write. The buffer keeps naming the committed value, which
// the file still holds after the rollback, and the same flush then succeeds.
TEST(DiskBlobSessions, InjectedWriteFailureLeavesBufferAndFileAgreeing) {
    struct Case {
        bool AtCommit;
        int FailAfterLock;
    };
    for (const Case c : {Case{false, 1}, Case{false, 2}, Case{false, 5}, Case{true, 1}}) {
        SCOPED_TRACE(std::to_string(c.AtCommit) + "/" + std::to_string(c.FailAfterLock));
        BlobTable t;
        const TORQBlobReference kept = t.Store(Pattern(6000, 1));
        t.Pm->CommitSession(Session);
        Bytes r = t.Record();
        kept.ToBytes(r.data() + t.Offset(1));
        SetBit(r.data(), 1, false);
        const Bytes stored = r;
        t.Set(r, 1, Pattern(400000, 2), 1);  // about 100 pages
        int locks = 0;
        bool counting = !c.AtCommit;
        bool failed = false;
        {
            // From then on every write fails, the file layer's one retry included.
            diskpages::HookScope hook([&](TORQFileCall Call, const std::string&) {
                if (!counting) return 0;
                if (Call == TORQFileCall::Lock) ++locks;
                const bool write = Call == TORQFileCall::Write || Call == TORQFileCall::Truncate;
                return write && locks >= c.FailAfterLock ? 5 /* EIO */ : 0;
            });
            try {
                t.Blobs->FlushBlobs(Session, r.data(), stored.data());
                counting = true;
                t.Pm->CommitSession(Session);
            } catch (const EORQException&) {
                failed = true;
            }
        }
        ASSERT_TRUE(failed);
        if (c.AtCommit) {
            EXPECT_EQ(t.Blobs->CacheEntryCount(), 0) << "the flush itself held";
            EXPECT_EQ(t.Db.StateByte(), 2) << "nothing reached the file";
        } else {
            EXPECT_EQ(t.Blobs->GetReference(r.data(), 1), kept);
            ASSERT_NE(t.Blobs->GetCacheEntry(r.data(), 1), nullptr);
            EXPECT_EQ(t.Blobs->GetCacheEntry(r.data(), 1)->Modified, 1);
        }
        t.Pm->RollbackSession(Session);
        EXPECT_EQ(t.Load(kept), Pattern(6000, 1));
        if (c.AtCommit) {
            // The caller puts its buffer back as it was before the failed change.
            t.Blobs->ReleaseBlobCache(r.data(), 1, true);
            r = stored;
            t.Set(r, 1, Pattern(400000, 2), 1);
        }
        t.Blobs->FlushBlobs(Session, r.data(), stored.data());
        t.Pm->CommitSession(Session);
        t.Reopen();
        EXPECT_EQ(t.Load(t.Blobs->GetReference(r.data(), 1)), Pattern(400000, 2));
        EXPECT_TRUE(t.Freed(kept.PageNo));
    }
}

// ---------------------------------------------------------------------------------
// Damaged pages

// Small pages (U = 472), so that one value's page list runs over two pages (118 entries
// each): bits flipped in BLOB headers, locators, lists, data and the next-page links.
TEST(DiskBlobDamage, FlippedHeadersAndPageListsRaiseCleanly) {
    BlobTable t(512);
    const int32_t size = 512;
    std::vector<TORQBlobReference> refs;
    for (const int64_t s : {40, 300, 448, 944, 472 * 150})
        refs.push_back(t.Store(Pattern(s, static_cast<int>(s))));
    t.Pm->CommitSession(Session);
    TORQMemoryStream root;
    t.Blobs->SaveIndexRoot(root);
    t.Blobs.reset();
    t.Pm->CloseDatabaseFile();
    const Bytes pristine = t.Db.File();
    const auto pages = static_cast<int32_t>((pristine.size() - 380) / size);
    // 151 data pages; the list starts on the last of them and goes on to the next page.
    const int32_t last = refs.back().PageNo + 150;
    ASSERT_EQ(diskpages::LE32(pristine, static_cast<size_t>(380 + int64_t{last} * size + 10)), last + 1);

    GlobalMemoryManager().SetMemoryLimit(GlobalMemoryManager().UsedMemory() + 64 * 1024 * 1024);
    std::mt19937 rng(25);
    int raised = 0;
    for (int round = 0; round < 200; ++round) {
        Bytes file = pristine;
        for (int k = 0, flips = 1 + round % 3; k < flips; ++k) {
            const TORQBlobReference& ref = refs[rng() % refs.size()];
            int32_t page = ref.PageNo;
            int32_t at = 40 + static_cast<int32_t>(rng() % 40);  // header and locator
            switch (rng() % 4) {
                case 0:  // anywhere in a data or list page of the value
                    page = ref.PageNo + static_cast<int32_t>(rng() % 3);
                    at = 40 + static_cast<int32_t>(rng() % 472);
                    break;
                case 1:  // the long value's lists and their link
                    page = rng() % 2 == 0 ? last : last + 1;
                    at = rng() % 2 == 0 ? 10 + static_cast<int32_t>(rng() % 4) : 40 + static_cast<int32_t>(rng() % 472);
                    break;
                default:
                    break;
            }
            if (page >= pages) continue;
            file[static_cast<size_t>(380 + int64_t{page} * size + at)] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        disktest::WriteAll(t.Db.Name, file);
        t.Open();
        root.SetPosition(0);
        t.Blobs->LoadIndexRoot(root);
        auto clean = [&](auto&& Step) {
            try {
                Step();
            } catch (const EORQException& e) {
                ++raised;
                EXPECT_NE(e.NativeError(), 30004) << "no huge allocation: " << e.what();
                EXPECT_NE(e.NativeError(), 30015) << e.what();
            }
        };
        for (const TORQBlobReference& ref : refs) {
            clean([&] { t.Load(ref); });
            clean([&] {
                TORQBlobReference f = ref;
                t.Blobs->FreeStoredBlob(Session, f);
            });
        }
        t.Pm->RollbackSession(Session);
        t.Blobs->Close();
        t.Blobs.reset();
        t.Pm->CloseDatabaseFile();
        t.Pm.reset();
    }
    GlobalMemoryManager().SetMemoryLimit(0);
    EXPECT_GT(raised, 100) << "the flips reached what is checked";
}

// A value streamed from its shared page is found by walking the entries before it: each one
// passed must fit, while a damaged entry beyond it does not hinder reading it.
TEST(DiskBlobDamage, AStreamedValueChecksTheEntriesBeforeIt) {
    BlobTable t;
    const Bytes values[] = {Pattern(100, 1), Pattern(200, 2), Pattern(300, 3)};
    std::vector<TORQBlobReference> refs;
    for (const Bytes& v : values) refs.push_back(t.Store(v));
    ASSERT_EQ(refs[1].PageNo, refs[0].PageNo);
    ASSERT_EQ(refs[2].PageNo, refs[0].PageNo);
    t.Pm->CommitSession(Session);
    TORQMemoryStream root;
    t.Blobs->SaveIndexRoot(root);
    t.Blobs.reset();
    t.Pm->CloseDatabaseFile();
    Bytes file = t.Db.File();
    // The second entry claims more bytes than the page holds: its stored size, at 6 in
    // its header, after the count (2 bytes) and the first entry (22 + 100 bytes).
    const size_t second = 380 + static_cast<size_t>(refs[0].PageNo) * 4096 + 40 + 2 + 22 + 100;
    ASSERT_EQ(diskpages::LE32(file, second + 6), 200u);
    file[second + 6 + 1] = 0x40;
    disktest::WriteAll(t.Db.Name, file);
    t.Open();
    root.SetPosition(0);
    t.Blobs->LoadIndexRoot(root);
    auto read = [&](const TORQBlobReference& Ref) {
        Bytes r = t.Record();
        Ref.ToBytes(r.data() + t.Offset(1));
        SetBit(r.data(), 1, false);
        TORQMemoryStream out;
        TORQBLOBDescriptor d;
        t.Blobs->ReadBlob(Session, r.data(), out, d, 1);
        EXPECT_EQ(t.Blobs->CacheEntryCount(), 0) << "streamed, not copied";
        Bytes got(static_cast<size_t>(out.Size()));
        out.SetPosition(0);
        if (!got.empty()) out.ReadBuffer(got.data(), out.Size());
        return got;
    };
    EXPECT_EQ(read(refs[0]), values[0]);
    ExpectNative([&] { read(refs[1]); }, 31010);
    ExpectNative([&] { read(refs[2]); }, 31010);
    ExpectNative([&] { read(TORQBlobReference{refs[0].PageNo, 77}); }, 31010);
    t.Blobs->Close();
}

}  // namespace
