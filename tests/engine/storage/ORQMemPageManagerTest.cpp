// The in-memory page store: number allocation and block reuse, its errors, and its
// stream form (hand-written header bytes, every cut of the header refused with its
// element's code, values the store cannot hold).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "GoldenBytes.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/storage/ORQMemEngine.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

using golden::Bytes;
using golden::I32;
using golden::operator+;

std::unique_ptr<TORQMemoryStream> StreamOf(const Bytes& b, std::size_t n) {
    auto s = std::make_unique<TORQMemoryStream>();
    if (n > 0) s->Write(b.data(), static_cast<int64_t>(n));
    s->SetPosition(0);
    return s;
}

Bytes Saved(TORQMemoryPageManager& m) {
    TORQMemoryStream s;
    m.SaveToStream(s);
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

// Session 0 adds Count pages, page n starting with the byte 'A' + n, and commits them.
void AddPages(TORQMemoryPageManager& m, int count) {
    for (int n = 0; n < count; ++n) {
        TORQPage* p = m.AddNewPage(0, 0);
        p->GetData()[0] = static_cast<uint8_t>('A' + p->PageNo);
        p->GetData()[4095] = 0x77;
        m.ReleasePage(p);
    }
    m.CommitSession(0);
}

// The header and bits of a store with 3 pages at capacity 50: capacity, highest number,
// growth, page size 4096, header size 0, page count, then the bit array (50 bits, 3 set,
// 7 bytes: bits 0-2 set).
const Bytes ThreePagesHead = Bytes{0x32, 0, 0, 0} + Bytes{0x02, 0, 0, 0} + Bytes{0x32, 0, 0, 0} + Bytes{0x00, 0x10} +
                             Bytes{0x00, 0x00} + Bytes{0x03, 0, 0, 0} + Bytes{0x32, 0, 0, 0} + Bytes{0x03, 0, 0, 0} +
                             Bytes{0x07, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST(MemoryPageManager, LowestFreeNumberFirstAndFreedBlocksComeBack) {
    TORQMemoryPageManager m;
    EXPECT_EQ(m.PageSize, 4096);
    EXPECT_EQ(m.HeaderSize, 0);
    AddPages(m, 3);
    EXPECT_EQ(m.PageCount, 3);
    EXPECT_EQ(m.PageCapacity(), 50);
    EXPECT_EQ(m.MaxPageNumber(), 2);
    uint8_t* block0 = m.Block(0);

    m.FreePageForSession(0, 0);
    m.FreePageForSession(0, 1);
    m.CommitSession(0);
    EXPECT_EQ(m.PageCount, 1);
    TORQPage* p = m.AddNewPage(0, 0);
    EXPECT_EQ(p->PageNo, 0);
    EXPECT_EQ(p->Buffer, block0);  // the same block, old contents and all
    EXPECT_EQ(p->OwnsBuffer, 0);
    EXPECT_EQ(p->GetData()[0], 'A');
    m.ReleasePage(p);
    m.CommitSession(0);

    // The 51st number grows capacity and blocks by 50.
    AddPages(m, 48);
    EXPECT_EQ(m.PageCount, 50);
    EXPECT_EQ(m.PageCapacity(), 50);
    AddPages(m, 1);
    EXPECT_EQ(m.PageCapacity(), 100);
    EXPECT_EQ(m.MaxPageNumber(), 50);
    EXPECT_EQ(m.PageBits().BitCount(), 100);
    EXPECT_NE(m.Block(99), nullptr);
    EXPECT_EQ(m.Block(100), nullptr);
}

TEST(MemoryPageManager, PagesWorkOnTheStoredBlocks) {
    TORQMemoryPageManager m;
    AddPages(m, 2);
    TORQPage* p = m.GetPage(0, 1, false, 7);  // headerless: any type
    EXPECT_EQ(p->Buffer, m.Block(1));
    EXPECT_EQ(p->GetData()[0], 'B');
    // A page that came to own a copy writes it back.
    p->Resize(8192);
    p->GetData()[1] = 0x42;
    p->Modified = 1;
    m.ReleasePage(p);
    m.CommitSession(0);
    EXPECT_EQ(m.Block(1)[1], 0x42);

    TORQPage stranger(&m);
    stranger.PageNo = 7;
    EXPECT_EQ(Raised([&] { m.ReadPage(&stranger); }),
              std::make_pair(10392, std::string("Page allocation not released - Native error: 10392")));
    EXPECT_EQ(Raised([&] { m.WritePage(&stranger); }).first, 10393);
    EXPECT_EQ(Raised([&] { m.FreePage(7); }).first, 10392);
    EXPECT_EQ(Raised([&] { m.FreePage(-1); }).first, 10392);
    EXPECT_EQ(m.PageCount, 2);
}

TEST(MemoryPageManager, ThreePagesAtCapacityFiftySaveFiftyBlocks) {
    TORQMemoryPageManager m;
    AddPages(m, 3);
    const Bytes saved = Saved(m);
    ASSERT_EQ(saved.size(), ThreePagesHead.size() + 50u * 4096u);
    EXPECT_EQ(Bytes(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(ThreePagesHead.size())),
              ThreePagesHead);
    const std::size_t blocks = ThreePagesHead.size();
    for (int n = 0; n < 50; ++n) {
        const uint8_t first = saved[blocks + 4096u * static_cast<std::size_t>(n)];
        EXPECT_EQ(first, n < 3 ? 'A' + n : 0) << n;
    }
    EXPECT_EQ(saved[blocks + 4096u * 3 - 1], 0x77);

    // Round trip: the same store, and saving it again gives the same bytes.
    auto s = StreamOf(saved, saved.size());
    TORQMemoryPageManager loaded;
    loaded.LoadFromStream(*s);
    EXPECT_EQ(loaded.PageCount, 3);
    EXPECT_EQ(loaded.MaxPageNumber(), 2);
    EXPECT_EQ(Saved(loaded), saved);
    TORQPage* p = loaded.GetPage(0, 2, false, AnyPageType);
    EXPECT_EQ(p->GetData()[0], 'C');
    loaded.ReleasePage(p);
    TORQPage* next = loaded.AddNewPage(0, 0);
    EXPECT_EQ(next->PageNo, 3);
    loaded.ReleasePage(next);
    loaded.CommitSession(0);
}

TEST(MemoryPageManager, TruncatedOrImpossibleStreamsAreRefusedAndChangeNothing) {
    TORQMemoryPageManager source;
    AddPages(source, 3);
    const Bytes saved = Saved(source);
    // Element codes of the header, then the bit array (bit count, set-bit count, bytes).
    const std::vector<std::pair<int, int32_t>> elements = {{4, 10369}, {4, 10370}, {4, 10371}, {2, 10372},
                                                           {2, 10373}, {4, 10374}, {4, 10401}, {4, 10426},
                                                           {7, 10402}};
    std::vector<std::pair<std::size_t, int32_t>> cuts;
    std::size_t at = 0;
    for (auto [size, code] : elements)
        for (int k = 0; k < size; ++k) cuts.push_back({at++, code});
    for (std::size_t c : {at, at + 1, at + 4096, at + 3 * 4096 + 5, saved.size() - 1}) cuts.push_back({c, 10375});

    TORQMemoryPageManager target;
    AddPages(target, 1);
    const Bytes before = Saved(target);
    for (auto [cut, code] : cuts) {
        auto s = StreamOf(saved, cut);
        EXPECT_EQ(Raised([&] { target.LoadFromStream(*s); }).first, code) << "cut at " << cut;
    }
    EXPECT_EQ(Saved(target), before);

    auto with = [&](std::size_t offset, const Bytes& value) {
        Bytes b = saved;
        std::memcpy(b.data() + offset, value.data(), value.size());
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
        int32_t code;
    } cases[] = {
        {"negative capacity", with(0, I32(-50)), 10369},
        {"highest number beyond capacity", with(4, I32(50)), 10370},
        {"page size 512", with(12, {0x00, 0x02}), 10372},
        {"header size 40", with(14, {0x28, 0x00}), 10373},
        {"page count not the set bits", with(16, I32(4)), 10374},
        {"bit count not the capacity", with(20, I32(49)), 10401},
        {"huge capacity", with(0, I32(0x7FFFFFF0)), 10401},
    };
    for (const auto& c : cases) {
        auto s = StreamOf(c.bytes, c.bytes.size());
        EXPECT_EQ(Raised([&] { target.LoadFromStream(*s); }).first, c.code) << c.what;
    }
    // Capacity and bit count both huge: refused before the bits or blocks are allocated.
    Bytes huge = Bytes(saved.begin(), saved.begin() + 20) + I32(0x7FFFFFF0) + I32(3) + Bytes(7, 0);
    std::memcpy(huge.data(), I32(0x7FFFFFF0).data(), 4);
    auto s = StreamOf(huge, huge.size());
    EXPECT_EQ(Raised([&] { target.LoadFromStream(*s); }).first, 10402);
    EXPECT_EQ(Saved(target), before);

    TORQPage* p = target.AddNewPage(0, 0);
    target.ReleasePage(p);
    auto full = StreamOf(saved, saved.size());
    EXPECT_EQ(Raised([&] { target.LoadFromStream(*full); }).first, 20097);
    target.CommitSession(0);
}
