#include "engine/foundation/ORQMemory.h"

#include <gtest/gtest.h>

#include "ExpectNative.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/foundation/ORQExcept.h"

using orq::EORQException;
using orq::TORQMemoryManager;

TEST(MemoryManager, AllocMemIsZeroedAlignedAndSized) {
    TORQMemoryManager m;
    for (int64_t n : {1, 7, 16, 1000}) {
        auto* p = static_cast<uint8_t*>(m.AllocMem(n));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        EXPECT_EQ(m.GetBlockSize(p), n);
        for (int64_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0);
        EXPECT_EQ(m.UsedMemory(), n);
        m.FreeAndNillMem(p);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(m.UsedMemory(), 0);
    }
    EXPECT_EQ(m.GetBlockSize(nullptr), 0);
}

TEST(MemoryManager, PeakFollowsTheHeightSinceItsReset) {
    TORQMemoryManager m;
    void* a = m.GetMem(1000);
    void* b = m.GetMem(500);
    m.FreeAndNillMem(b);
    EXPECT_EQ(m.PeakUsedMemory(), 1500);
    m.ResetPeakUsedMemory();  // starts again at the present use
    EXPECT_EQ(m.PeakUsedMemory(), 1000);
    m.ReallocMem(a, 3000);    // a growth counts, a shrink does not lower the peak
    m.ReallocMem(a, 10);
    EXPECT_EQ(m.PeakUsedMemory(), 3000);
    EXPECT_EQ(m.UsedMemory(), 10);
    m.FreeAndNillMem(a);
}

TEST(MemoryManager, RejectsZeroNegativeAndHugeSizes) {
    TORQMemoryManager m;
    EXPECT_EQ(Raised([&] { m.GetMem(0); }), std::make_pair(30286, std::string("Cannot allocate 0 bytes - Native error: 30286")));
    auto neg = Raised([&] { m.GetMem(-5); });
    EXPECT_EQ(neg.first, 30015);
    EXPECT_EQ(neg.second, "GetMem error: Invalid block size = -5 - Native error: 30015");
    EXPECT_EQ(Raised([&] { m.GetMem(INT64_MAX); }).first, 30015);
    m.SetMemoryLimit(1000);  // the limit test must not overflow on a negative size
    EXPECT_EQ(Raised([&] { m.GetMem(INT64_MIN); }).first, 30015);
    m.SetMemoryLimit(0);
    EXPECT_EQ(Raised([&] { m.GetMem(TORQMemoryManager::MaxBlockSize + 1); }).first, 30015);
    EXPECT_EQ(m.UsedMemory(), 0);
}

TEST(MemoryManager, LimitAllowsExactlyTheLimit) {
    TORQMemoryManager m;
    m.SetMemoryLimit(1000);
    void* a = m.GetMem(900);
    void* b = m.GetMem(100);
    m.FreeAndNillMem(b);
    auto r = Raised([&] { m.GetMem(101); });
    EXPECT_EQ(r.first, 30004);
    EXPECT_EQ(r.second, "Memory limit exceeded (Limit = 1000 bytes) - Native error: 30004");
    EXPECT_EQ(m.UsedMemory(), 900);
    m.FreeAndNillMem(a);
}

TEST(MemoryManager, OverrunIsReportedAfterTheBlockIsReleased) {
    TORQMemoryManager m;
    auto* p = static_cast<uint8_t*>(m.GetMem(10));
    p[10] = 0;  // one byte past the end, into the end signature
    auto r = Raised([&] { m.FreeAndNillMem(p); });
    EXPECT_EQ(r.first, 30137);
    EXPECT_EQ(r.second, "Memory overrun detected - Native error: 30137");
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m.UsedMemory(), 0);
}

TEST(MemoryManager, ForeignPointersAreRefusedWithTheirCodes) {
    TORQMemoryManager m;
    auto* block = static_cast<uint8_t*>(m.AllocMem(64));
    void* interior = block + 32;  // inside a live block, so the header read stays in bounds
    EXPECT_EQ(Raised([&] { m.FreeAndNillMem(interior); }).first, 30001);
    EXPECT_EQ(interior, block + 32);
    EXPECT_EQ(Raised([&] { m.ReallocMem(interior, 10); }).first, 30014);
    EXPECT_NE(Raised([&] { m.ReallocMem(interior, 10); }).second.find("Invalid pointer - Native error: 30002"),
              std::string::npos);
    EXPECT_EQ(Raised([&] { m.GetBlockSize(interior); }).first, 30005);
    EXPECT_EQ(m.UsedMemory(), 64);
    m.FreeAndNillMem(block);
}

TEST(MemoryManager, FreeOfNilIsHarmless) {
    TORQMemoryManager m;
    void* p = nullptr;
    m.FreeAndNillMem(p);
    EXPECT_EQ(p, nullptr);
}

TEST(MemoryManager, ReallocKeepsContentsAndZeroesTheTailWhenAsked) {
    TORQMemoryManager m;
    auto* p = static_cast<uint8_t*>(m.GetMem(8));
    std::memcpy(p, "ABCDEFGH", 8);
    m.ReallocMem(p, 4);
    EXPECT_EQ(m.GetBlockSize(p), 4);
    EXPECT_EQ(std::memcmp(p, "ABCD", 4), 0);
    m.ReallocMemZeroed(p, 100);
    EXPECT_EQ(std::memcmp(p, "ABCD", 4), 0);
    for (int i = 4; i < 100; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(m.UsedMemory(), 100);
    void* q = nullptr;
    m.ReallocMem(q, 5);  // nil gets a new block
    EXPECT_EQ(m.GetBlockSize(q), 5);
    m.FreeAndNillMem(q);
    m.FreeAndNillMem(p);
}

TEST(MemoryManager, FailedReallocLeavesTheOldBlockValid) {
    TORQMemoryManager m;
    m.SetMemoryLimit(1000);
    auto* p = static_cast<uint8_t*>(m.GetMem(600));
    p[0] = 42;
    auto over = Raised([&] { m.ReallocMem(p, 500); });  // 600 + 500 over the limit
    EXPECT_EQ(over.first, 30014);
    EXPECT_EQ(over.second,
              "ReallocMem error: Memory limit exceeded (Limit = 1000 bytes) - Native error: 30004 - Native error: 30014");
    auto zero = Raised([&] { m.ReallocMem(p, 0); });
    EXPECT_EQ(zero.first, 30014);
    EXPECT_NE(zero.second.find("Cannot allocate 0 bytes"), std::string::npos);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], 42);
    EXPECT_EQ(m.GetBlockSize(p), 600);
    EXPECT_EQ(m.UsedMemory(), 600);
    m.FreeAndNillMem(p);
}

TEST(MemoryManager, ReallocOfAnOverrunBlockReleasesBothBlocks) {
    TORQMemoryManager m;
    auto* p = static_cast<uint8_t*>(m.GetMem(16));
    p[16] = 0;
    auto r = Raised([&] { m.ReallocMem(p, 32); });
    EXPECT_EQ(r.first, 30014);
    EXPECT_NE(r.second.find("Memory overrun detected"), std::string::npos);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m.UsedMemory(), 0);  // the new block did not leak
}

TEST(MemoryManager, AvailableMemoryIsClampedAndLimited) {
    TORQMemoryManager m;
    int64_t avail = m.GetAvailableMemory();
    EXPECT_GT(avail, 0);
    EXPECT_LE(avail, INT64_C(0xFFFFFFFF));
    EXPECT_EQ(m.AvailableMemory(), avail);
    m.SetMemoryLimit(1048576);
    EXPECT_EQ(m.GetAvailableMemory(), 1048576);
}

TEST(MemoryManager, AvailableMemoryReadsTheSystemOncePerInterval) {
    TORQMemoryManager m;
    m.SetRefreshInterval(std::chrono::hours(1));
    const int64_t first = m.GetAvailableMemory();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(m.GetAvailableMemory(), first);
    EXPECT_EQ(m.SystemReads(), 1);
    // A new limit applies at once, without a read; lifting it gives the figure back.
    m.SetMemoryLimit(4096);
    EXPECT_EQ(m.GetAvailableMemory(), 4096);
    m.SetMemoryLimit(0);
    EXPECT_EQ(m.GetAvailableMemory(), first);
    EXPECT_EQ(m.SystemReads(), 1);
    // Once the interval has passed, the next call reads again.
    m.SetRefreshInterval(std::chrono::steady_clock::duration::zero());
    m.GetAvailableMemory();
    m.GetAvailableMemory();
    EXPECT_EQ(m.SystemReads(), 3);
}

TEST(MemoryManager, MoveOverlappedHandlesBothDirections) {
    char a[] = "0123456789";
    orq::MoveOverlapped(a, a + 2, 5);
    EXPECT_STREQ(a, "0101234789");
    char b[] = "0123456789";
    orq::MoveOverlapped(b + 2, b, 5);
    EXPECT_STREQ(b, "2345656789");
}

TEST(MemoryManager, GlobalInstanceIsShared) {
    EXPECT_EQ(&orq::GlobalMemoryManager(), &orq::GlobalMemoryManager());
    void* p = orq::GlobalMemoryManager().AllocMem(3);
    EXPECT_EQ(orq::GlobalMemoryManager().GetBlockSize(p), 3);
    orq::GlobalMemoryManager().FreeAndNillMem(p);
}

namespace {

// A fake /proc/self/cgroup and cgroup hierarchy in a fresh folder.
class TFakeCgroups {
public:
    TFakeCgroups() {
        std::string t = (std::filesystem::temp_directory_path() / "orqcgXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        Root = mkdtemp(buf.data());
    }
    ~TFakeCgroups() { std::filesystem::remove_all(Root); }
    void File(const std::string& path, const std::string& text) const {
        const std::filesystem::path p = std::filesystem::path(Root) / path;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    int64_t Room() const { return orq::CgroupMemoryRoom(Root + "/proc_cgroup", Root + "/sys"); }
    std::string Root;
};

}  // namespace

// The limit is the process's own cgroup's (or a tighter ancestor's), never the
// hierarchy root's alone; v2 first, the v1 memory controller otherwise.
TEST(MemoryManager, AvailableMemoryFollowsTheProcessesOwnCgroup) {
    {
        TFakeCgroups fake;
        fake.File("proc_cgroup", "0::/user.slice/app\n");
        fake.File("sys/memory.max", "max\n");
        fake.File("sys/user.slice/memory.max", "max\n");
        fake.File("sys/user.slice/app/memory.max", "1000000\n");
        fake.File("sys/user.slice/app/memory.current", "250000\n");
        EXPECT_EQ(fake.Room(), 750000);
        fake.File("sys/user.slice/memory.max", "600000\n");
        fake.File("sys/user.slice/memory.current", "500000\n");
        EXPECT_EQ(fake.Room(), 100000);  // the parent binds tighter
    }
    {
        TFakeCgroups fake;  // hybrid: an empty v2 line, the limit in v1's memory controller
        fake.File("proc_cgroup", "9:name=systemd:/\n4:cpu,memory:/process_api/abc\n0::/\n");
        fake.File("sys/memory/memory.limit_in_bytes", "9223372036854771712\n");
        fake.File("sys/memory/process_api/abc/memory.limit_in_bytes", "2000000\n");
        fake.File("sys/memory/process_api/abc/memory.usage_in_bytes", "500000\n");
        EXPECT_EQ(fake.Room(), 1500000);
    }
    {
        TFakeCgroups fake;  // no limit anywhere; a limit on another group does not count
        fake.File("proc_cgroup", "0::/mine\n");
        fake.File("sys/mine/memory.max", "max\n");
        fake.File("sys/other/memory.max", "1000\n");
        EXPECT_EQ(fake.Room(), -1);
    }
    TFakeCgroups none;
    EXPECT_EQ(none.Room(), -1);
}

// The owner frees its block on every road out; Free reports an overrun, the
// destructor counts it.
TEST(MemoryManager, BlockOwnerFreesAndChecks) {
    auto& m = orq::GlobalMemoryManager();
    const int64_t used = m.UsedMemory();
    {
        orq::TORQMemoryBlock b(100, true);
        EXPECT_EQ(b.Size(), 100);
        EXPECT_EQ(b.Data()[99], 0);
        EXPECT_EQ(m.UsedMemory(), used + 100);
        orq::TORQMemoryBlock moved = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(moved.Size(), 100);
    }
    EXPECT_EQ(m.UsedMemory(), used);
    void* kept = nullptr;
    {
        orq::TORQMemoryBlock b(10);
        kept = b.Release();
    }
    EXPECT_EQ(m.GetBlockSize(kept), 10);
    orq::TORQMemoryBlock adopted = orq::TORQMemoryBlock::Adopt(kept);
    adopted.Data()[10] = 0;  // past the end
    EXPECT_EQ(Raised([&] { adopted.Free(); }).first, 30137);
    EXPECT_FALSE(adopted);
    const int64_t overruns = m.OverrunsFound();
    {
        orq::TORQMemoryBlock b(10);
        b.Data()[10] = 0;
    }
    EXPECT_EQ(m.OverrunsFound(), overruns + 1);
    EXPECT_EQ(m.UsedMemory(), used);
}
