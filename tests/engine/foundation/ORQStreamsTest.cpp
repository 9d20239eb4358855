#include "engine/foundation/ORQStreams.h"

#include <gtest/gtest.h>

#include "ExpectNative.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"

using namespace orq;

namespace {

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

std::vector<uint8_t> ReadAll(TORQStream& s) {
    std::vector<uint8_t> v(static_cast<std::size_t>(s.Size()));
    int64_t pos = s.Position();
    s.SetPosition(0);
    s.ReadBuffer(v.data(), static_cast<int64_t>(v.size()));
    s.SetPosition(pos);
    return v;
}

// A fresh folder for one test, removed with its contents afterwards.
class TempDir {
public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "orqtestXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        path = mkdtemp(buf.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path), {}));
    }
    std::string path;
};

// Points $TMPDIR at a fresh folder for the test's lifetime.
class ScopedTmpDir {
public:
    ScopedTmpDir() {
        const char* old = std::getenv("TMPDIR");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TMPDIR", dir.path.c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (had) setenv("TMPDIR", saved.c_str(), 1);
        else unsetenv("TMPDIR");
    }
    TempDir dir;
    bool had = false;
    std::string saved;
};

}  // namespace

TEST(MemoryStream, WriteBeyondTheEndGrowsAndZeroesTheGap) {
    TORQMemoryStream s;
    s.SetPosition(100);
    auto data = Pattern(10);
    EXPECT_EQ(s.Write(data.data(), 10), 10);
    EXPECT_EQ(s.Size(), 110);
    EXPECT_EQ(s.Capacity(), 110);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(s.Memory()[i], 0) << i;
    EXPECT_EQ(std::memcmp(s.Memory() + 100, data.data(), 10), 0);
    uint8_t one = 9;
    s.Write(&one, 1);
    EXPECT_EQ(s.Size(), 111);
    EXPECT_EQ(s.Capacity(), 222);
    EXPECT_EQ(s.Position(), 111);
}

TEST(MemoryStream, ShrinkKeepsCapacityAndRegrowthReadsZeros) {
    TORQMemoryStream s;
    auto data = Pattern(50);
    s.WriteBuffer(data.data(), 50);
    s.SetSize(10);
    EXPECT_EQ(s.Size(), 10);
    EXPECT_EQ(s.Position(), 10);  // lowered to the new end
    EXPECT_EQ(s.Capacity(), 50);
    s.SetSize(40);  // within capacity: the stale bytes 10..39 must not come back
    auto all = ReadAll(s);
    EXPECT_EQ(std::memcmp(all.data(), data.data(), 10), 0);
    for (int i = 10; i < 40; ++i) ASSERT_EQ(all[i], 0) << i;
    s.SetSize(0);
    EXPECT_EQ(s.Memory(), nullptr);
    EXPECT_EQ(s.Capacity(), 0);
}

TEST(MemoryStream, AdoptsAnEngineBlockAndFreesIt) {
    int64_t before = GlobalMemoryManager().UsedMemory();
    {
        void* block = GlobalMemoryManager().AllocMem(64);
        static_cast<uint8_t*>(block)[3] = 7;
        TORQMemoryStream s(block);
        EXPECT_EQ(s.Size(), 64);
        EXPECT_EQ(s.Capacity(), 64);
        EXPECT_EQ(s.Position(), 0);
        EXPECT_EQ(ReadAll(s)[3], 7);
        TORQMemoryStream reserved(nullptr, 32);
        EXPECT_EQ(reserved.Size(), 0);
        EXPECT_EQ(reserved.Capacity(), 32);
    }
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), before);
}

TEST(MemoryStream, SeekNeverGoesBelowZeroAndReadsBeyondTheEndAreEmpty) {
    TORQMemoryStream s;
    auto data = Pattern(5);
    s.WriteBuffer(data.data(), 5);
    EXPECT_EQ(s.Seek(-1, soEnd), 4);
    EXPECT_EQ(s.Seek(-10, soCurrent), 4);  // refused
    EXPECT_EQ(s.Seek(-1, soBeginning), 4);
    EXPECT_EQ(s.Seek(INT64_MAX, soCurrent), 4);  // would overflow: refused
    EXPECT_EQ(s.Seek(20, soBeginning), 20);
    uint8_t b[4];
    EXPECT_EQ(s.Read(b, 4), 0);
    EXPECT_EQ(s.Size(), 5);
}

TEST(MemoryStream, ImpossibleSizesRaiseAndLeaveTheStreamIntact) {
    TORQMemoryStream s;
    auto data = Pattern(8);
    s.WriteBuffer(data.data(), 8);
    s.SetModified(false);
    EXPECT_NE(Raised([&] { s.SetSize(INT64_MAX - 5); }).first, 0);
    EXPECT_EQ(s.Size(), 8);
    EXPECT_EQ(ReadAll(s), data);
    EXPECT_FALSE(s.Modified());
    s.SetPosition(INT64_MAX - 2);
    EXPECT_EQ(s.Write(data.data(), 8), 0);  // end position would overflow
    EXPECT_EQ(s.Size(), 8);
}

TEST(MemoryStream, AnOverrunFoundWhileGrowingLeavesAnEmptyUsableStream) {
    TORQMemoryStream s;
    auto data = Pattern(8);
    s.WriteBuffer(data.data(), 8);  // capacity 8
    s.Memory()[8] = 0;              // damage the block's end signature
    auto r = Raised([&] { s.Write(data.data(), 1); });
    EXPECT_EQ(r.first, 30014);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.Memory(), nullptr);
    s.WriteBuffer(data.data(), 8);
    EXPECT_EQ(ReadAll(s), data);
}

TEST(Streams, ModifiedFlagFollowsWritesAndSizeChanges) {
    TempDir dir;
    std::vector<std::unique_ptr<TORQStream>> streams;
    streams.push_back(std::make_unique<TORQMemoryStream>());
    streams.push_back(std::make_unique<TORQFileStream>(dir.path + "/m.bin", fmCreate));
    streams.push_back(std::make_unique<TORQTemporaryStream>());
    for (auto& s : streams) {
        uint8_t b[3] = {1, 2, 3};
        EXPECT_FALSE(s->Modified());
        s->Read(b, 3);
        s->Seek(2, soBeginning);
        s->Write(b, 0);
        EXPECT_FALSE(s->Modified());
        s->Write(b, 3);
        EXPECT_TRUE(s->Modified());
        s->SetModified(false);
        s->SetSize(1);
        EXPECT_TRUE(s->Modified());
        s->SetModified(false);
        s->SetSize(1);  // a size set counts even when it equals the old one
        EXPECT_TRUE(s->Modified());
    }
}

TEST(Streams, ReadBufferAndWriteBufferRaiseOnShortTransfer) {
    TORQMemoryStream s;
    uint8_t b[4] = {};
    s.WriteBuffer(b, 2);
    s.SetPosition(0);
    EXPECT_THROW(s.ReadBuffer(b, 4), EReadError);
    TempDir dir;
    { TORQFileStream create(dir.path + "/r.bin", fmCreate); }
    TORQFileStream ro(dir.path + "/r.bin", fmOpenRead);
    EXPECT_THROW(ro.WriteBuffer(b, 4), EWriteError);
    EXPECT_FALSE(ro.Modified());
}

TEST(Streams, LockWithoutASectionIsHarmless) {
    TORQMemoryStream s;
    s.Lock();
    s.Unlock();
    std::recursive_mutex m;
    s.SetLockSection(&m);
    s.Lock();
    EXPECT_TRUE(m.try_lock());  // recursive: same thread
    m.unlock();
    s.Unlock();
}

TEST(CheckedStreamIO, ShortTransfersRaiseTheCallersCodeWithTheirFigures) {
    TORQMemoryStream s;
    auto data = Pattern(5);
    s.WriteBuffer(data.data(), 5);
    s.SetPosition(2);
    uint8_t buf[10];
    auto r = Raised([&] { ReadStreamChecked(buf, 10, s, 12345); });
    EXPECT_EQ(r.first, 12345);
    EXPECT_EQ(r.second,
              "Cannot read from stream. Position = 2, Stream size = 5, Block size = 10, Bytes Read = 3 - Native error: 12345");
    s.SetPosition(3);
    auto k = Raised([&] { SeekStreamChecked(s, 10080, -1); });
    EXPECT_EQ(k.second, "Cannot set stream position to -1. Position = 3, Size = 5 - Native error: 10080");
    EXPECT_EQ(s.Position(), 3);
    SeekStreamChecked(s, 10080, 4000000000LL);  // beyond the end is a position a stream takes
    EXPECT_EQ(s.Position(), 4000000000LL);

    TempDir dir;
    { TORQFileStream create(dir.path + "/w.bin", fmCreate); }
    TORQFileStream ro(dir.path + "/w.bin", fmOpenRead | fmShareDenyNone);
    auto w = Raised([&] { WriteStreamChecked(buf, 4, ro, 10097); });
    EXPECT_EQ(w.second,
              "Cannot write to stream. Position = 0, Stream size = 0, Block size = 4, Bytes Write = 0 - Native error: 10097");
    ReadStreamChecked(buf, 0, s, 1);  // nothing asked, nothing to report
}

TEST(FileStream, CreateAndOpenFailuresNameTheFile) {
    TempDir dir;
    std::string missing = dir.path + "/no/such/dir/f.orq";
    auto c = Raised([&] { TORQFileStream f(missing, fmCreate); });
    EXPECT_EQ(c.first, 10104);
    EXPECT_EQ(c.second, "Cannot create file. FileName = " + missing + " - Native error: 10104");
    std::string absent = dir.path + "/absent.orq";
    auto o = Raised([&] { TORQFileStream f(absent, fmOpenReadWrite | fmShareExclusive); });
    EXPECT_EQ(o.first, 10105);
    EXPECT_EQ(o.second, "Cannot open file. FileName = " + absent + ", Mode = 18 - Native error: 10105");
    EXPECT_EQ(Raised([&] { TORQFileStream f(dir.path, fmOpenRead); }).first, 10105);  // a folder
}

TEST(FileStream, CreateTruncatesAndDataRoundTrips) {
    TempDir dir;
    std::string name = dir.path + "/data.bin";
    std::ofstream(name) << "old contents";
    auto data = Pattern(300000);
    {
        TORQFileStream f(name, fmCreate);
        EXPECT_EQ(f.Size(), 0);
        f.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
        EXPECT_EQ(f.Position(), 300000);
    }
    TORQFileStream f(name, fmOpenReadWrite);
    EXPECT_EQ(f.Size(), 300000);
    EXPECT_EQ(ReadAll(f), data);
    f.SetPosition(250);
    f.SetSize(100);  // position lowered to the new end
    EXPECT_EQ(f.Size(), 100);
    EXPECT_EQ(f.Position(), 100);
    f.SetSize(200);  // extension reads as zeros, position kept
    EXPECT_EQ(f.Position(), 100);
    auto all = ReadAll(f);
    for (int i = 100; i < 200; ++i) ASSERT_EQ(all[i], 0) << i;
    EXPECT_EQ(f.Seek(-5, soEnd), 195);
}

TEST(TemporaryStream, StaysInMemoryUpToTheThresholdAndSpillsOneByteLater) {
    ScopedTmpDir tmp;
    int64_t limit = TORQTemporaryStream::SpillThreshold;
    auto data = Pattern(static_cast<std::size_t>(limit));
    {
        TORQTemporaryStream s;
        s.WriteBuffer(data.data(), limit);
        EXPECT_TRUE(s.InMemory());
        EXPECT_EQ(tmp.dir.Entries(), 0u);
        s.SetPosition(limit - 10);  // the position must survive the move
        uint8_t extra[11] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        s.WriteBuffer(extra, 11);   // size becomes limit + 1
        EXPECT_FALSE(s.InMemory());
        EXPECT_EQ(s.Size(), limit + 1);
        EXPECT_EQ(s.Position(), limit + 1);
        const std::string& name = s.TemporaryFileName();
        EXPECT_EQ(name.rfind(tmp.dir.path + "/ORQ", 0), 0u) << name;
        EXPECT_EQ(tmp.dir.Entries(), 0u);  // unlinked at once: a crash leaves nothing
        auto all = ReadAll(s);
        EXPECT_EQ(std::memcmp(all.data(), data.data(), static_cast<std::size_t>(limit - 10)), 0);
        for (int64_t i = limit - 10; i <= limit; ++i) ASSERT_EQ(all[i], 0xEE);
        s.SetSize(0);  // never returns to memory
        EXPECT_FALSE(s.InMemory());
    }
    EXPECT_EQ(tmp.dir.Entries(), 0u);
}

TEST(TemporaryStream, KeepInMemoryNeverSpills) {
    ScopedTmpDir tmp;
    TORQTemporaryStream s(true);
    auto data = Pattern(static_cast<std::size_t>(TORQTemporaryStream::SpillThreshold + 100));
    s.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    EXPECT_TRUE(s.InMemory());
    EXPECT_EQ(ReadAll(s), data);
    EXPECT_EQ(tmp.dir.Entries(), 0u);
}

TEST(TemporaryStream, FailedSpillKeepsTheDataInMemory) {
    ScopedTmpDir tmp;
    setenv("TMPDIR", (tmp.dir.path + "/missing").c_str(), 1);
    TORQTemporaryStream s;
    auto data = Pattern(1000);
    s.WriteBuffer(data.data(), 1000);
    std::vector<uint8_t> big(static_cast<std::size_t>(TORQTemporaryStream::SpillThreshold));
    EXPECT_EQ(Raised([&] { s.Write(big.data(), static_cast<int64_t>(big.size())); }).first, 10104);
    EXPECT_TRUE(s.InMemory());
    EXPECT_EQ(ReadAll(s), data);
}

// Any road past the threshold spills: a write that starts beyond the end, and a
// size change. Exactly the threshold stays in memory.
TEST(TemporaryStream, SeekPastTheEndAndSetSizeSpillToo) {
    ScopedTmpDir tmp;
    const int64_t limit = TORQTemporaryStream::SpillThreshold;
    {
        TORQTemporaryStream s;
        s.WriteBuffer("head", 4);
        s.SetPosition(limit);
        s.WriteBuffer("x", 1);
        EXPECT_FALSE(s.InMemory());
        EXPECT_EQ(s.Size(), limit + 1);
        auto all = ReadAll(s);
        EXPECT_EQ(std::memcmp(all.data(), "head", 4), 0);
        EXPECT_EQ(all[static_cast<std::size_t>(limit - 1)], 0);
        EXPECT_EQ(all[static_cast<std::size_t>(limit)], 'x');
    }
    for (int64_t size : {limit, limit + 1, int64_t(8) << 20}) {
        TORQTemporaryStream s;
        s.WriteBuffer("head", 4);
        s.SetSize(size);
        EXPECT_EQ(s.InMemory(), size == limit) << size;
        EXPECT_EQ(s.Size(), size);
        EXPECT_EQ(s.Position(), 4);
        auto all = ReadAll(s);
        EXPECT_EQ(std::memcmp(all.data(), "head", 4), 0);
        EXPECT_EQ(all.back(), 0);
    }
}

namespace {

// Runs Body in a child whose files cannot grow past Limit bytes; the child's
// failures come back as the test's. SIGXFSZ is ignored so that writes fail instead.
void WithFileSizeLimit(rlim_t limit, const std::function<void()>& body) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit r{};
        getrlimit(RLIMIT_FSIZE, &r);
        r.rlim_cur = limit;
        if (setrlimit(RLIMIT_FSIZE, &r) != 0) _exit(3);
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

// A spill whose file cannot grow leaves the stream exactly as it was: in memory, its
// size, contents and position unchanged; a later write lands where it should.
TEST(TemporaryStream, SpillIntoAFileThatCannotGrowChangesNothing) {
    ScopedTmpDir tmp;
    WithFileSizeLimit(512 * 1024, [] {
        const int64_t limit = TORQTemporaryStream::SpillThreshold;
        auto data = Pattern(static_cast<std::size_t>(limit));
        TORQTemporaryStream s;
        s.WriteBuffer(data.data(), limit);
        s.SetPosition(limit - 100);
        std::vector<uint8_t> more(200, 0xEE);
        EXPECT_EQ(Raised([&] { s.Write(more.data(), 200); }).first, 10149);
        EXPECT_TRUE(s.InMemory());
        EXPECT_EQ(s.Size(), limit);
        EXPECT_EQ(s.Position(), limit - 100);
        EXPECT_EQ(ReadAll(s), data);
        EXPECT_EQ(Raised([&] { s.SetSize(limit + 1); }).first, 10149);
        EXPECT_TRUE(s.InMemory());
        EXPECT_EQ(s.Position(), limit - 100);
        s.WriteBuffer("abc", 3);
        EXPECT_EQ(s.Position(), limit - 97);
        data[static_cast<std::size_t>(limit - 100)] = 'a';
        data[static_cast<std::size_t>(limit - 99)] = 'b';
        data[static_cast<std::size_t>(limit - 98)] = 'c';
        EXPECT_EQ(ReadAll(s), data);
    });
}

// A file write that the system takes only in part returns the bytes it stored: the
// write loop carries on after a partial transfer and stops at the failure behind it.
TEST(FileStream, PartialSystemWritesReturnWhatWasStored) {
    TempDir dir;
    const std::string name = dir.path + "/partial";
    WithFileSizeLimit(10000, [&] {
        TORQFileStream f(name, fmCreate);
        auto data = Pattern(25000);
        f.SetPosition(4000);
        EXPECT_EQ(f.Write(data.data(), 25000), 6000);
        EXPECT_EQ(f.Size(), 10000);
        EXPECT_EQ(f.Position(), 10000);
        const auto info = Raised([&] { WriteStreamChecked(data.data(), 10, f, 10147); });
        EXPECT_EQ(info.first, 10147);
        EXPECT_NE(info.second.find("Bytes Write = 0"), std::string::npos) << info.second;
        std::vector<uint8_t> back(6000);
        f.SetPosition(4000);
        f.ReadBuffer(back.data(), 6000);
        EXPECT_EQ(std::memcmp(back.data(), data.data(), 6000), 0);
    });
}

TEST(StreamCopy, SaveAndLoadCopyInBlocksReportProgressAndRestorePositions) {
    TORQMemoryStream src;
    auto data = Pattern(250);
    src.WriteBuffer(data.data(), 250);
    src.SetPosition(17);
    src.SetBlockSize(100);
    std::vector<double> progress;
    src.OnProgress = [&](TORQStream&, double p) { progress.push_back(p); };
    TORQMemoryStream dest;
    uint8_t head[3] = {9, 9, 9};
    dest.WriteBuffer(head, 3);  // SaveToStream appends at Dest's position
    src.SaveToStream(dest);
    EXPECT_EQ(progress, (std::vector<double>{0, 40, 80, 100, 100}));
    EXPECT_EQ(src.Position(), 17);
    EXPECT_EQ(dest.Position(), 3);
    EXPECT_EQ(dest.Size(), 253);
    EXPECT_EQ(std::memcmp(dest.Memory() + 3, data.data(), 250), 0);

    TORQMemoryStream part;
    part.SetBlockSize(64);
    part.SetPosition(5);
    part.LoadFromStreamRange(src, 50, 100);
    EXPECT_EQ(part.Size(), 100);
    EXPECT_EQ(part.Position(), 5);
    EXPECT_EQ(std::memcmp(part.Memory(), data.data() + 50, 100), 0);
    EXPECT_EQ(src.Position(), 17);
}

TEST(StreamCopy, LoadOfNothingEmptiesTheStream) {
    TORQMemoryStream src, s;
    auto data = Pattern(20);
    src.WriteBuffer(data.data(), 20);
    s.WriteBuffer(data.data(), 20);
    std::vector<double> progress;
    s.OnProgress = [&](TORQStream&, double p) { progress.push_back(p); };
    s.LoadFromStreamRange(src, 0, 0);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(progress, (std::vector<double>{0, 100}));
}

TEST(StreamCopy, LoadingARangeOfItselfKeepsTheRange) {
    TORQMemoryStream s;
    auto data = Pattern(30);
    s.WriteBuffer(data.data(), 30);
    s.LoadFromStreamRange(s, 10, 5);
    EXPECT_EQ(ReadAll(s), std::vector<uint8_t>(data.begin() + 10, data.begin() + 15));
}

TEST(StreamCopy, BlockSizeOfZeroOrLessIsRefused) {
    TORQMemoryStream a, b;
    for (int32_t bs : {0, -1}) {
        a.SetBlockSize(bs);
        auto save = Raised([&] { a.SaveToStream(b); });
        EXPECT_EQ(save.first, 10418);
        EXPECT_EQ(save.second, "Stream block size = 0 is not allowed - Native error: 10418");
        EXPECT_EQ(Raised([&] { a.LoadFromStream(b); }).first, 10419);
    }
}

TEST(StreamCopy, SourceShorterThanTheRangeRaises) {
    TORQMemoryStream src, s;
    auto data = Pattern(10);
    src.WriteBuffer(data.data(), 10);
    auto r = Raised([&] { s.LoadFromStreamRange(src, 4, 10); });
    EXPECT_EQ(r.first, 10148);
    EXPECT_EQ(r.second,
              "Cannot read from stream. Position = 4, Stream size = 10, Block size = 10, Bytes Read = 6 - Native error: 10148");
}
