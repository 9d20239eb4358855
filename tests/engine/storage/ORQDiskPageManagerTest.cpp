// The disk page manager's header side: the bytes a new file holds (written out by hand
// from the layout), opening with its error table and needs-repair, a header behind
// foreign bytes, the lock bytes, next object ids, the file length and design-time checks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "DiskTestUtil.h"
#include "GoldenBytes.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using disktest::InChild;
using disktest::TempDir;
using golden::Bytes;
using golden::I32;
using golden::Txt;
using golden::operator+;

namespace {

Bytes I16(int v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes F64(double v) {
    uint8_t b[8];
    std::memcpy(b, &v, 8);  // the host is little-endian, as the engine requires
    return Bytes(b, b + 8);
}
Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

// Header part 1 as the layout gives it.
Bytes Part1(uint16_t PageSize, uint16_t Extent, uint8_t Encrypted, int32_t Pages = 0, int32_t Highest = -1,
            int32_t Counter = 0, uint8_t State = 2, double Version = 5.18) {
    return Txt("ORQUANT0DATABASE") + I16(76) + F64(Version) + I16(PageSize) + I16(Extent) + I32(Pages) +
           I32(Highest) + I32(Counter) + Bytes{State, Encrypted} + Zeros(32);
}

// The engine's CRC32 (no inversions) from zlib's (with them).
uint32_t EngineCrc(const uint8_t* p, std::size_t n) { return ~static_cast<uint32_t>(crc32(0xFFFFFFFFu, p, static_cast<uInt>(n))); }

// The engine's sleeper records instead of sleeping for the test's lifetime.
struct SleepRecorder {
    SleepRecorder() {
        SetEngineSleeper([this](int32_t ms) {
            ++Count;
            Total += ms;
        });
    }
    ~SleepRecorder() { SetEngineSleeper({}); }
    int64_t Count = 0;
    int64_t Total = 0;
};

struct OpenResult {
    bool NeedsRepair = false;
    bool MultiUser = false;
    bool ReadOnly = false;
};

OpenResult Open(TORQDiskPageManager& m, const std::string& Name, const TORQPassword& Pw = {}, bool MultiUser = true,
                bool Exclusive = false, bool ReadOnly = false) {
    OpenResult r{false, MultiUser, ReadOnly};
    r.NeedsRepair = m.OpenDatabaseFile(Name, Pw, r.MultiUser, Exclusive, r.ReadOnly);
    return r;
}

std::string CreateDb(const TempDir& Dir, const TORQPassword& Pw = {}, uint16_t Extent = 8, uint16_t Size = 4096) {
    const std::string name = Dir.File("test.orq");
    TORQDiskPageManager m;
    m.CreateDatabaseFile(name, Pw, Extent, Size);
    m.CloseDatabaseFile();
    return name;
}

}  // namespace

TEST(DiskHeader, ANewFileHoldsExactlyTheHeaderBytes) {
    TempDir dir;
    const std::string name = CreateDb(dir, {}, 5, 2048);
    const Bytes expected = Part1(2048, 5, 0) + I16(280) + Zeros(278) + I16(20) + Zeros(18) + I32(0);
    ASSERT_EQ(expected.size(), 380u);
    EXPECT_EQ(disktest::ReadAll(name), expected);
}

TEST(DiskHeader, APasswordAddsTheEncipheredCheckBlock) {
    TempDir dir;
    const std::string name = CreateDb(dir, {"harbour", 4});
    Bytes file = disktest::ReadAll(name);
    ASSERT_EQ(file.size(), 380u);
    Bytes check(file.begin() + 80, file.begin() + 336);
    const uint32_t storedCrc = file[336] | (file[337] << 8) | (file[338] << 16) | (uint32_t(file[339]) << 24);
    // Mask the random check block and its CRC, then compare the rest by hand.
    std::fill(file.begin() + 80, file.begin() + 340, 0xEE);
    const Bytes expected = Part1(4096, 8, 0xFF) + I16(280) + Bytes{4, 0} + Bytes(260, 0xEE) + Zeros(16) + I16(20) +
                           Zeros(18) + I32(0);
    EXPECT_EQ(file, expected);
    ASSERT_TRUE(DecryptBuffer(4, check.data(), 256, "harbour"));
    EXPECT_EQ(EngineCrc(check.data(), 256), storedCrc);
    for (uint8_t b : check) ASSERT_LE(b, 254) << "check bytes are drawn from 0 to 254";
}

TEST(DiskHeader, CreateRefusesGeometryAndAlgorithmsItCouldNotOpen) {
    TempDir dir;
    struct Case {
        const char* Name;
        TORQPassword Pw;
        uint16_t Extent, Size;
    } cases[] = {{"page size 40", {}, 8, 40},
                 {"no pages per extent", {}, 0, 4096},
                 {"extent bitmap beyond Int32", {}, 8198, 65535},
                 {"cipher id 8", {"pw", 8}, 8, 4096}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TORQDiskPageManager m;
        ExpectNative([&] { m.CreateDatabaseFile(dir.File("x.orq"), c.Pw, c.Extent, c.Size); }, 20237);
        EXPECT_FALSE(m.DatabaseFile().IsOpen());
    }
    TORQDiskPageManager plain;  // an id is irrelevant without a password
    plain.CreateDatabaseFile(dir.File("y.orq"), {"", 9}, 8197, 65535);
}

TEST(DiskHeader, OpenErrorTable) {
    struct Case {
        const char* Name;
        TORQPassword Create;
        int64_t At;
        Bytes Patch;
        TORQPassword Open;
        int32_t Code;  // 0: opens
        bool NeedsRepair;
    } cases[] = {
        {"no signature", {}, 0, Txt("NOT A DATABASE!!"), {}, 10470, false},
        {"wrong password", {"harbour", 1}, 0, {}, {"Harbour", 1}, 30445, false},
        {"no password for an encrypted file", {"harbour", 1}, 0, {}, {}, 30445, false},
        {"right password, algorithm from the file", {"harbour", 6}, 0, {}, {"harbour", 0}, 0, false},
        {"cipher id 8", {"harbour", 1}, 78, {8}, {"harbour", 8}, 20237, false},
        {"page size 0", {}, 26, I16(0), {}, 20237, false},
        {"page size 40", {}, 26, I16(40), {}, 20237, false},
        {"page size 41", {}, 26, I16(41), {}, 0, false},
        {"no pages per extent", {}, 28, I16(0), {}, 20237, false},
        {"largest extent", {}, 26, I16(65535) + I16(8197), {}, 0, false},
        {"extent too large", {}, 26, I16(65535) + I16(8198), {}, 20237, false},
        {"part 2 length", {}, 76, I16(279), {}, 20237, false},
        {"part 3 length", {}, 356, I16(2), {}, 20237, false},
        {"state 1", {}, 42, {1}, {}, 0, true},
        {"version 2.98", {}, 18, F64(2.98), {}, 0, true},
        {"version 2.99", {}, 18, F64(2.99), {}, 0, false},
        {"version not a number", {}, 18, F64(std::numeric_limits<double>::quiet_NaN()), {}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        const std::string name = CreateDb(dir, c.Create);
        if (!c.Patch.empty()) disktest::Patch(name, c.At, c.Patch);
        TORQDiskPageManager m;
        if (c.Code != 0) {
            const auto [code, msg] = Raised([&] { Open(m, name, c.Open); });
            EXPECT_EQ(code, c.Code) << msg;
            EXPECT_FALSE(m.DatabaseFile().IsOpen()) << "a failed open leaves the file closed";
            if (c.Code == 10470) {
                EXPECT_EQ(msg, "Invalid file format. Found signature: 'NOT A DATABASE!!', expected: "
                               "'ORQUANT0DATABASE' - Native error: 10470");
            }
        } else {
            EXPECT_EQ(Open(m, name, c.Open).NeedsRepair, c.NeedsRepair);
            EXPECT_EQ(m.GetPassword().Algorithm, c.Create.Algorithm);
            m.CloseDatabaseFile();
        }
    }
}

TEST(DiskHeader, AHeaderBehindForeignBytesShiftsEveryOffset) {
    TempDir dir;
    const Bytes header = disktest::ReadAll(CreateDb(dir, {"harbour", 3}));
    const std::string name = dir.File("shifted.orq");
    disktest::WriteAll(name, Bytes(100, 'x') + header);
    TORQDiskPageManager m;
    EXPECT_FALSE(Open(m, name, {"harbour", 3}).NeedsRepair);
    EXPECT_EQ(m.HeaderOffset(), 100);
    EXPECT_EQ(m.Part2Offset(), 176);
    EXPECT_EQ(m.Part3Offset(), 456);
    EXPECT_EQ(m.NextObjectIDOffset(), 476);
    EXPECT_EQ(m.Page0Offset(), 480);
    EXPECT_EQ(m.GetNextObjectID(), 1);
    EXPECT_EQ(m.GetNextObjectID(), 2);
    m.AddPages(2);
    EXPECT_EQ(m.DatabaseFile().GetSize(), 480 + 2 * 4096);
    m.WriteHeader(true);
    m.CloseDatabaseFile();
    const Bytes file = disktest::ReadAll(name);
    EXPECT_EQ(Bytes(file.begin() + 476, file.begin() + 480), I32(2));
    EXPECT_EQ(Bytes(file.begin() + 130, file.begin() + 134), I32(2)) << "page count in the shifted part 1";
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 100), Bytes(100, 'x'));

    // The header lock of a shifted file is its own lock byte, B + 360.
    TORQDatabaseFile other;
    other.OpenFile(name, 1, 1);
    ASSERT_TRUE(other.LockByte(1, 360));
    TORQDiskPageManager again;
    Open(again, name, {"harbour", 3});
    again.CloseDatabaseFile();
    ASSERT_TRUE(other.LockByte(1, 460));
    SleepRecorder sleeper;
    ExpectNative([&] { Open(again, name, {"harbour", 3}); }, 20230);
}

TEST(DiskHeader, NextObjectIDsCountInTheFileAndNeverRepeatReadOnly) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    {
        TORQDiskPageManager m;
        Open(m, name);
        EXPECT_EQ(m.GetNextObjectID(), 1);
        EXPECT_EQ(m.GetNextObjectID(), 2);
        EXPECT_EQ(m.GetNextObjectID(), 3);
    }
    ::chmod(name.c_str(), 0444);
    const Bytes before = disktest::ReadAll(name);
    TORQDiskPageManager m;
    const OpenResult r = Open(m, name, {}, true);
    EXPECT_TRUE(r.ReadOnly) << "a file without write permission opens read-only";
    EXPECT_FALSE(r.MultiUser) << "and single-user";
    int32_t last = m.GetNextObjectID();
    EXPECT_GE(last, 4);
    EXPECT_LE(last, 4 + 9999);
    for (int i = 0; i < 200; ++i) {
        const int32_t id = m.GetNextObjectID();
        EXPECT_EQ(id, last + 1);
        last = id;
    }
    EXPECT_EQ(disktest::ReadAll(name), before) << "a read-only file is never written";
}

TEST(DiskHeader, HeaderLockNestsAndBlocksOtherOpens) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    TORQDiskPageManager m;
    Open(m, name);
    auto headerLockedForOthers = [&] {
        return InChild([&] {
            TORQDatabaseFile probe;
            probe.OpenFile(name, 0, 1);
            return probe.IsByteLocked(360) ? 1 : 0;
        });
    };
    ASSERT_TRUE(m.LockHeader());
    ASSERT_TRUE(m.LockHeader());
    EXPECT_EQ(m.HeaderLockCount(), 2);
    EXPECT_TRUE(m.UnlockHeader());
    EXPECT_EQ(headerLockedForOthers(), 1) << "the inner unlock keeps the byte";
    {
        SleepRecorder sleeper;
        TORQDiskPageManager other;
        const auto [code, msg] = Raised([&] { Open(other, name); });
        EXPECT_EQ(code, 20230);
        EXPECT_EQ(sleeper.Count, 4500);
        EXPECT_EQ(sleeper.Total, 4500 * 20);
        EXPECT_FALSE(other.DatabaseFile().IsOpen());
    }
    EXPECT_TRUE(m.UnlockHeader());
    EXPECT_FALSE(m.UnlockHeader());
    EXPECT_EQ(headerLockedForOthers(), 0);

    ASSERT_TRUE(m.LockTables());
    ASSERT_TRUE(m.LockNextObjectID());
    EXPECT_EQ(InChild([&] {
                  TORQDatabaseFile probe;
                  probe.OpenFile(name, 0, 1);
                  return (probe.IsByteLocked(359) ? 1 : 0) + (probe.IsByteLocked(376) ? 2 : 0) +
                         (probe.IsByteLocked(360) ? 4 : 0);
              }),
              3);
    EXPECT_TRUE(m.UnlockTables());
    EXPECT_TRUE(m.UnlockNextObjectID());
}

TEST(DiskHeader, NextObjectIDLockedElsewhereRaisesAndWritesNothing) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    TORQDiskPageManager m;
    Open(m, name);
    TORQDatabaseFile other;
    other.OpenFile(name, 1, 1);
    ASSERT_TRUE(other.LockByte(1, 376));
    disktest::Patch(name, 376, I32(41));
    SleepRecorder sleeper;
    ExpectNative([&] { m.InitNextObjectID(); }, 30401,
                 "Cannot get NextObjectID. File area is Locked. - Native error: 30401");
    ExpectNative([&] { m.GetNextObjectID(); }, 30401);
    EXPECT_EQ(sleeper.Count, 2 * 4500);
    const Bytes file = disktest::ReadAll(name);
    EXPECT_EQ(Bytes(file.begin() + 376, file.end()), I32(41));
    ASSERT_TRUE(other.UnlockByte(1, 376));
    m.InitNextObjectID();
    EXPECT_EQ(m.GetNextObjectID(), 1);
}

TEST(DiskHeader, ASecondSingleUserProcessGetsNoWriteAccess) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    struct Case {
        const char* Name;
        bool HolderMultiUser, HolderExclusive, MultiUser;
        int Expected;  // 0 writable, 1 read-only, 2 refused
    } cases[] = {{"single-user beside single-user", false, false, false, 1},
                 {"single-user beside multi-user", true, false, false, 1},
                 {"multi-user beside multi-user", true, false, true, 0},
                 {"anything beside exclusive", false, true, true, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        disktest::HoldingChild holder([&] {
            static TORQDiskPageManager held;
            Open(held, name, {}, c.HolderMultiUser, c.HolderExclusive);
            return 0;
        });
        ASSERT_EQ(holder.SetupResult, 0);
        TORQDiskPageManager m;
        int result = 2;
        try {
            result = Open(m, name, {}, c.MultiUser).ReadOnly ? 1 : 0;
        } catch (const EORQException& e) {
            EXPECT_EQ(e.NativeError(), 30364);
        }
        EXPECT_EQ(result, c.Expected);
    }
}

TEST(DiskHeader, CreateOverADatabaseAnotherProcessHasOpen) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    disktest::HoldingChild holder([&] {
        static TORQDiskPageManager held;
        Open(held, name);
        return 0;
    });
    TORQDiskPageManager m;
    ExpectNative([&] { m.CreateDatabaseFile(name, {}, 8, 4096); }, 30361);
    EXPECT_EQ(disktest::ReadAll(name).size(), 380u);
}

TEST(DiskFileLength, AbsoluteLengthsAndAShrinkUnderTheHeaderLock) {
    TempDir dir;
    const std::string name = CreateDb(dir, {}, 8, 512);
    TORQDiskPageManager m;
    Open(m, name);
    m.AddPages(3);
    m.SetHighestUsedPage(0);
    m.WriteHeader(true);
    EXPECT_EQ(m.DatabaseFile().GetSize(), 380 + 3 * 512);
    // A crash after a growth left a ragged end: the next growth still lands on a page edge.
    m.DatabaseFile().SetSize(380 + 3 * 512 + 100);
    m.AddPages(1);
    EXPECT_EQ(m.DatabaseFile().GetSize(), 380 + 4 * 512);
    m.RemovePages(1);
    EXPECT_EQ(m.DatabaseFile().GetSize(), 380 + 3 * 512);
    m.RemovePages(4);  // more than there are: nothing
    m.RemovePages(0);
    EXPECT_EQ(m.HeaderPageCount(), 3);

    // Another process allocates pages 1 and 2 while m's counts are stale.
    TORQDiskPageManager other;
    Open(other, name);
    ASSERT_TRUE(other.LockHeader());
    other.ReadHeader();
    other.SetHighestUsedPage(2);
    other.WriteHeader(true);
    ASSERT_TRUE(other.UnlockHeader());
    m.ShrinkFile();
    EXPECT_EQ(m.DatabaseFile().GetSize(), 380 + 3 * 512) << "pages in use elsewhere stay";

    other.ReadHeader();
    other.SetHighestUsedPage(0);
    other.WriteHeader(true);
    m.ShrinkFile();
    EXPECT_EQ(m.DatabaseFile().GetSize(), 380 + 1 * 512);
    const Bytes file = disktest::ReadAll(name);
    EXPECT_EQ(Bytes(file.begin() + 30, file.begin() + 38), I32(1) + I32(0));
}

TEST(DiskHeader, NeverWritesAPart1WithoutItsSignature) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    TORQDiskPageManager m;
    Open(m, name);
    ::truncate(name.c_str(), 10);  // another process cut the file
    m.ReadHeader();                // a short read: allowed, the rest zeroed
    ExpectNative([&] { m.WriteHeader(false); }, 20237);
    EXPECT_EQ(disktest::ReadAll(name).size(), 10u);
    ExpectNative([&] { m.ReadPasswordCheck(); }, 30439);
}

TEST(DiskHeader, OperationsNeedAnOpenFile) {
    TORQDiskPageManager m;
    ExpectNative([&] { m.ReadHeader(); }, 10459, "Error - database file is not opened. - Native error: 10459");
    ExpectNative([&] { m.WriteHeader(true); }, 10460);
    ExpectNative([&] { m.ReadPasswordCheck(); }, 30436);
    ExpectNative([&] { m.WritePasswordCheck(); }, 30437);
    ExpectNative([&] { m.ReadLockArea(); }, 30441);
    ExpectNative([&] { m.WriteLockArea(); }, 30443);
    ExpectNative([&] { m.GetNextObjectID(); }, 30399);
    TempDir dir;
    const std::string name = CreateDb(dir);
    Open(m, name);
    ExpectNative([&] { Open(m, name); }, 10462);
    ExpectNative([&] { m.CreateDatabaseFile(name, {}, 8, 4096); }, 10461);
}

TEST(DiskHeader, DesignTimeOpensPerOperationAndChecksForExternalChanges) {
    TempDir dir;
    const std::string name = CreateDb(dir);
    SetDesignTime(true);
    {
        TORQDiskPageManager m;
        Open(m, name);
        EXPECT_FALSE(m.DatabaseFile().IsOpen()) << "closed between operations";
        EXPECT_EQ(m.GetNextObjectID(), 1);
        EXPECT_FALSE(m.DatabaseFile().IsOpen());
        // Another application committed half-way: counter 7, state 1.
        disktest::Patch(name, 38, I32(7) + Bytes{1});
        ExpectNative([&] { m.WriteHeader(true); }, 20196,
                     "Cannot write changes. Database file was modified by external application - Native error: 20196");
        m.WriteHeader(false);
        const Bytes file = disktest::ReadAll(name);
        EXPECT_EQ(Bytes(file.begin() + 38, file.begin() + 43), I32(0) + Bytes{2});
        ASSERT_TRUE(m.LockHeader());
        EXPECT_TRUE(m.DatabaseFile().IsOpen()) << "a held lock keeps the handle";
        EXPECT_TRUE(m.UnlockHeader());
        EXPECT_FALSE(m.DatabaseFile().IsOpen());
        m.CloseDatabaseFile();
    }
    SetDesignTime(false);
}
