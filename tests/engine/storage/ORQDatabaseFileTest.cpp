// The database file: Windows byte-lock and share-mode semantics on open-file-description
// locks (one table of cases, run against a second handle in this process and again in a
// forked child), the header scan, reads, writes, errors and reconnecting.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DiskTestUtil.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using disktest::InChild;
using disktest::TempDir;

namespace {

constexpr int Refused = 2;

std::string MakeFile(const TempDir& Dir, std::size_t Size = 1000) {
    const std::string name = Dir.File("db.orq");
    disktest::WriteAll(name, std::vector<uint8_t>(Size, 0x5A));
    return name;
}

// Opens a second handle and runs Probe on it: 1 or 0 for its answer, Refused when the open
// itself was refused.
int SecondHandle(const std::string& Name, uint8_t Access, uint8_t Share, const std::function<bool(TORQDatabaseFile&)>& Probe) {
    TORQDatabaseFile second;
    try {
        second.OpenFile(Name, Access, Share);
    } catch (const EORQException& e) {
        return e.NativeError() == 30364 ? Refused : 97;
    }
    return Probe(second) ? 1 : 0;
}

struct LockCase {
    const char* Name;
    uint8_t FirstAccess, FirstShare;
    std::function<void(TORQDatabaseFile&)> First;
    uint8_t SecondAccess, SecondShare;
    std::function<bool(TORQDatabaseFile&)> Second;
    int Expected;
};

const auto LockAt = [](int32_t Count, int64_t Offset) {
    return [=](TORQDatabaseFile& f) { ASSERT_TRUE(f.LockByte(Count, Offset)); };
};
const auto TryLockAt = [](int32_t Count, int64_t Offset) {
    return [=](TORQDatabaseFile& f) { return f.LockByte(Count, Offset); };
};
const auto Nothing = [](TORQDatabaseFile&) {};
const auto Opened = [](TORQDatabaseFile&) { return true; };

const std::vector<LockCase>& LockCases() {
    static const std::vector<LockCase> cases = {
        {"held byte conflicts", 1, 1, LockAt(1, 10), 1, 1, TryLockAt(1, 10), 0},
        {"overlapping range conflicts", 1, 1, LockAt(10, 100), 1, 1, TryLockAt(1, 109), 0},
        {"neighbouring range is free", 1, 1, LockAt(10, 100), 1, 1, TryLockAt(1, 110), 1},
        {"range beyond the end of file", 1, 1, LockAt(1, 1'000'000'000'000), 1, 1, TryLockAt(1, 1'000'000'000'000), 0},
        {"probe sees another's range", 1, 1, LockAt(1, 10), 1, 1, [](TORQDatabaseFile& f) { return f.IsRegionLocked(5, 8); }, 1},
        {"probe of a free byte", 1, 1, LockAt(1, 10), 1, 1, [](TORQDatabaseFile& f) { return f.IsByteLocked(11); }, 0},
        {"holder's probes release nothing", 1, 1,
         [](TORQDatabaseFile& f) {
             ASSERT_TRUE(f.LockByte(1, 10));
             EXPECT_TRUE(f.IsByteLocked(10));
             EXPECT_TRUE(f.IsRegionLocked(3, 9));
         },
         1, 1, TryLockAt(1, 10), 0},
        {"other's probe releases nothing", 1, 1, LockAt(1, 10), 1, 1,
         [](TORQDatabaseFile& f) { return f.IsByteLocked(10) && !f.LockByte(1, 10) && f.IsByteLocked(10); }, 1},
        {"exact unlock frees the range", 1, 1,
         [](TORQDatabaseFile& f) {
             ASSERT_TRUE(f.LockByte(2, 10));
             ASSERT_TRUE(f.UnlockByte(2, 10));
         },
         1, 1, TryLockAt(2, 10), 1},
        {"wrong-range unlock keeps the lock", 1, 1,
         [](TORQDatabaseFile& f) {
             ASSERT_TRUE(f.LockByte(2, 10));
             EXPECT_FALSE(f.UnlockByte(1, 10));
             EXPECT_FALSE(f.UnlockByte(2, 11));
         },
         1, 1, TryLockAt(1, 11), 0},
        {"read-only handles exclude each other", 0, 1, LockAt(1, 10), 0, 1, TryLockAt(1, 10), 0},
        {"read-only lock excludes a writer", 0, 1, LockAt(1, 10), 1, 1, TryLockAt(1, 10), 0},
        {"writer's lock excludes a read-only handle", 1, 1, LockAt(1, 10), 0, 1, TryLockAt(1, 10), 0},
        {"read-only handle sees a writer's lock", 1, 1, LockAt(1, 10), 0, 1,
         [](TORQDatabaseFile& f) { return f.IsByteLocked(10); }, 1},
        {"exclusive blocks a second open", 1, 0, Nothing, 1, 1, Opened, Refused},
        {"exclusive blocks a read-only open", 1, 0, Nothing, 0, 1, Opened, Refused},
        {"an open blocks an exclusive one", 0, 1, Nothing, 1, 0, Opened, Refused},
        {"read-only opens coexist", 0, 1, Nothing, 0, 1, Opened, 1},
        {"shared writers coexist", 1, 1, Nothing, 1, 1, Opened, 1},
        {"deny-write refused while someone writes", 1, 1, Nothing, 1, 2, Opened, Refused},
        {"deny-write beside a reader", 0, 1, Nothing, 1, 2, Opened, 1},
        {"writer refused while someone denies writing", 0, 2, Nothing, 1, 1, Opened, Refused},
        {"reader beside a deny-write open", 1, 2, Nothing, 0, 1, Opened, 1},
        {"two read-only deny-write opens coexist", 0, 2, Nothing, 0, 2, Opened, 1},
    };
    return cases;
}

class LockSemantics : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(LockSemantics, SecondHandleSeesWindowsSemantics) {
    const bool forked = GetParam();
    for (const LockCase& c : LockCases()) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        const std::string name = MakeFile(dir);
        TORQDatabaseFile first;
        first.OpenFile(name, c.FirstAccess, c.FirstShare);
        c.First(first);
        auto second = [&] { return SecondHandle(name, c.SecondAccess, c.SecondShare, c.Second); };
        EXPECT_EQ(forked ? InChild(second) : second(), c.Expected);
        first.CloseFile();
    }
}

INSTANTIATE_TEST_SUITE_P(SameProcessAndForkedChild, LockSemantics, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ForkedChild" : "SameProcess"; });

TEST(DatabaseFileLocks, OneHandleKeepsItsOwnTable) {
    TempDir dir;
    TORQDatabaseFile f;
    f.OpenFile(MakeFile(dir), 1, 1);
    ASSERT_TRUE(f.LockByte(4, 20));
    EXPECT_FALSE(f.LockByte(4, 20)) << "relocking a held range";
    EXPECT_FALSE(f.LockByte(1, 23)) << "a range overlapping a held one";
    EXPECT_TRUE(f.LockByte(1, 24)) << "the byte behind it";
    EXPECT_FALSE(f.UnlockByte(2, 20)) << "part of a held range";
    EXPECT_FALSE(f.UnlockByte(5, 20)) << "more than a held range";
    EXPECT_FALSE(f.UnlockByte(1, 30)) << "a range never locked";
    EXPECT_TRUE(f.IsRegionLocked(1, 23));
    EXPECT_FALSE(f.IsRegionLocked(1, 25));
    EXPECT_TRUE(f.UnlockByte(4, 20));
    EXPECT_FALSE(f.UnlockByte(4, 20)) << "unlocking twice";
    EXPECT_FALSE(f.IsRegionLocked(4, 20));
    EXPECT_TRUE(f.UnlockByte(1, 24));
    EXPECT_EQ(f.LockFailuresPass, 0);
}

TEST(DatabaseFileLocks, ClosingASecondHandleLeavesTheFirstHandlesLocks) {
    TempDir dir;
    const std::string name = MakeFile(dir);
    TORQDatabaseFile first;
    first.OpenFile(name, 1, 1);
    ASSERT_TRUE(first.LockByte(1, 10));
    {
        TORQDatabaseFile second;
        second.OpenFile(name, 1, 1);
        second.CloseFile();
    }
    EXPECT_EQ(InChild([&] {
                  TORQDatabaseFile probe;
                  probe.OpenFile(name, 0, 1);
                  return probe.IsByteLocked(10) ? 1 : 0;
              }),
              1);
}

TEST(DatabaseFileLocks, AnExecdChildInheritsNoDescriptor) {
    TempDir dir;
    const std::string name = MakeFile(dir);
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    const int inheritable = ::open(name.c_str(), O_RDONLY);  // the control: no O_CLOEXEC
    ASSERT_GE(inheritable, 0);
    auto seenByExecdShell = [](int fd) {
        return InChild([fd] {
            const std::string test = "test -e /proc/self/fd/" + std::to_string(fd);
            execl("/bin/sh", "sh", "-c", test.c_str(), static_cast<char*>(nullptr));
            return 97;
        });
    };
    EXPECT_EQ(seenByExecdShell(inheritable), 0);
    EXPECT_EQ(seenByExecdShell(f.Handle()), 1);
    ::close(inheritable);
}

TEST(DatabaseFileHeader, FindHeaderScansOverlappingWindows) {
    const std::string sig = "ORQUANT0DATABASE";
    struct Case {
        int64_t At;
        int64_t FileSize;
    } cases[] = {{0, 400}, {100, 500}, {9982, 12000}, {9983, 12000}, {9984, 12000}, {19964, 25000},
                 {19965, 25000}, {29982, 30000} /* its last 18 bytes */};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.At);
        TempDir dir;
        std::vector<uint8_t> bytes(static_cast<std::size_t>(c.FileSize), 0);
        // A decoy first: the signature with the wrong length is no header.
        if (c.At >= 40) {
            std::memcpy(&bytes[10], sig.data(), 16);
            bytes[26] = 75;
        }
        std::memcpy(&bytes[static_cast<std::size_t>(c.At)], sig.data(), 16);
        bytes[static_cast<std::size_t>(c.At) + 16] = 76;
        const std::string name = dir.File("h.orq");
        disktest::WriteAll(name, bytes);
        TORQDatabaseFile f;
        f.OpenFile(name, 0, 1);
        ASSERT_TRUE(f.Seek(7));
        EXPECT_EQ(f.FindHeader(), c.At);
        EXPECT_EQ(f.GetPosition(), 7) << "the position is restored";
    }
    TempDir dir;
    TORQDatabaseFile none;
    none.OpenFile(MakeFile(dir, 25000), 0, 1);
    EXPECT_EQ(none.FindHeader(), 0);
}

TEST(DatabaseFileIO, ReadsShortReadsAndWrites) {
    TempDir dir;
    const std::string name = MakeFile(dir, 10);
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    std::vector<uint8_t> buf(20, 0);
    const auto [code, msg] = Raised([&] { f.ReadBuffer(buf.data(), 4, 20, 12345); });
    EXPECT_EQ(code, 12345);
    EXPECT_NE(msg.find("Cannot Read from file: '" + name + "' Position = 4, Count = 20"), std::string::npos) << msg;
    EXPECT_NE(msg.find("FileSize = 10"), std::string::npos) << msg;
    EXPECT_EQ(f.ReadBuffer(buf.data(), 4, 20, 12345, true), 6);
    EXPECT_FALSE(f.ReadBuffer(buf.data(), 4, 20));
    int32_t got = -1;
    EXPECT_TRUE(f.ReadBuffer(buf.data(), 4, 20, &got));
    EXPECT_EQ(got, 6);
    const uint8_t data[3] = {1, 2, 3};
    f.WriteBuffer(data, 20, 3, 30001);
    EXPECT_EQ(f.GetSize(), 23);
    f.SetSize(12);
    EXPECT_EQ(f.GetSize(), 12);
    f.FlushFileBuffers();
    ExpectNative([&] { f.SetPosition(-1, 0); }, 30372);
    ExpectNative([&] { f.SetPosition(-1, 777); }, 777);

    TORQDatabaseFile ro;
    ro.OpenFile(name, 0, 1);
    const auto [wcode, wmsg] = Raised([&] { ro.WriteBuffer(data, 0, 3, 30002); });
    EXPECT_EQ(wcode, 30002);
    EXPECT_NE(wmsg.find("ErrorCode:9. ErrorMessage: Bad file descriptor"), std::string::npos) << wmsg;
}

TEST(DatabaseFileErrors, StateModesAndNames) {
    TempDir dir;
    const std::string name = MakeFile(dir);
    TORQDatabaseFile f;
    uint8_t b = 0;
    ExpectNative([&] { f.ReadBuffer(&b, 0, 1, 1); }, 30376,
                 "Cannot perform this operation (ReadBuffer) on a closed file - Native error: 30376");
    ExpectNative([&] { f.LockByte(1, 0); }, 30376);
    ExpectNative([&] { f.CloseFile(); }, 30376);
    ExpectNative([&] { f.OpenFile(name, 2, 0); }, 30366, "Unknown Access mode: '2' - Native error: 30366");
    ExpectNative([&] { f.OpenFile(name, 0, 3); }, 30367, "Unknown Share mode: '3' - Native error: 30367");
    ExpectNative([&] { f.OpenFile(dir.File("missing"), 0, 1); }, 30364,
                 "Cannot open file:'" + dir.File("missing") +
                     "' Error code: 2. ErrorMessage: No such file or directory - Native error: 30364");
    ExpectNative([&] { f.CreateFile("  "); }, 30374);
    f.OpenFile(name, 1, 1);
    ExpectNative([&] { f.OpenFile(name, 1, 1); }, 30377,
                 "Cannot perform this operation (OpenFile) on a opened file - Native error: 30377");
    ExpectNative([&] { f.CreateFile(name); }, 30377);
}

TEST(DatabaseFileCreate, RefusesAFileAnotherProcessHoldsOpen) {
    TempDir dir;
    const std::string name = MakeFile(dir, 50);
    for (uint8_t access : {0, 1}) {
        SCOPED_TRACE(int(access));
        disktest::HoldingChild holder([&] {
            static TORQDatabaseFile held;  // lives until the child exits
            held.OpenFile(name, access, 1);
            return 0;
        });
        ASSERT_EQ(holder.SetupResult, 0);
        TORQDatabaseFile f;
        const auto [code, msg] = Raised([&] { f.CreateFile(name); });
        EXPECT_EQ(code, 30361);
        EXPECT_NE(msg.find("Error code: 16. ErrorMessage: Device or resource busy"), std::string::npos) << msg;
        EXPECT_EQ(disktest::ReadAll(name).size(), 50u) << "the held file is left alone";
    }
    // Nobody holds it now: it is replaced, read-only permission or not.
    ::chmod(name.c_str(), 0444);
    TORQDatabaseFile f;
    f.CreateFile(name);
    EXPECT_EQ(f.GetSize(), 0);
    EXPECT_EQ(f.AccessMode(), 1);
    EXPECT_EQ(f.ShareMode(), 0);
}

TEST(DatabaseFileReconnect, ReopensTheSameFileAndTakesItsRangesAgain) {
    TempDir dir;
    const std::string name = MakeFile(dir);
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    ASSERT_TRUE(f.LockByte(2, 10));
    ::close(f.Handle());  // the handle dies under the file object, and its locks with it
    EXPECT_TRUE(f.Reconnect());
    EXPECT_EQ(InChild([&] {
                  TORQDatabaseFile probe;
                  probe.OpenFile(name, 1, 1);
                  return (probe.IsByteLocked(11) ? 1 : 0) + (probe.LockByte(1, 10) ? 2 : 0);
              }),
              1);
    EXPECT_TRUE(f.UnlockByte(2, 10)) << "the range is held again, exactly";
}

TEST(DatabaseFileReconnect, FailsWhenTheFileWasReplaced) {
    TempDir dir;
    const std::string name = MakeFile(dir, 100);
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    const std::string other = dir.File("other");
    disktest::WriteAll(other, std::vector<uint8_t>(100, 0x11));
    ASSERT_EQ(::rename(other.c_str(), name.c_str()), 0);
    ::close(f.Handle());
    EXPECT_FALSE(f.Reconnect());
    const uint8_t data[4] = {1, 2, 3, 4};
    ExpectNative([&] { f.WriteBuffer(data, 0, 4, 30003); }, 30003);
    EXPECT_EQ(disktest::ReadAll(name), std::vector<uint8_t>(100, 0x11)) << "nothing reached the new file";
}

TEST(DatabaseFileReconnect, GivesUpAfterThreeOpensOneSecondApart) {
    TempDir dir;
    const std::string name = MakeFile(dir);
    std::vector<int32_t> sleeps;
    SetEngineSleeper([&](int32_t ms) { sleeps.push_back(ms); });
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    ::unlink(name.c_str());
    ::close(f.Handle());
    EXPECT_FALSE(f.Reconnect());
    SetEngineSleeper({});
    EXPECT_EQ(sleeps, (std::vector<int32_t>{1000, 1000}));
}

namespace {

// Installs a fault hook for the test's lifetime; Calls counts the calls it was asked about.
struct FaultHook {
    explicit FaultHook(std::function<int(TORQFileCall, int)> Rule) {
        SetFileFaultHook([this, Rule](TORQFileCall call, const std::string&) { return Rule(call, ++Calls[int(call)]); });
    }
    ~FaultHook() { SetFileFaultHook({}); }
    int Calls[6] = {};
};

}  // namespace

TEST(DatabaseFileLocks, OnlyMissingByteLocksLetLocksPass) {
    struct Case {
        int Error;
        bool Passes;
    } cases[] = {{EAGAIN, false}, {EACCES, false}, {EINTR, false}, {ENOLCK, true}, {EOPNOTSUPP, true}, {EINVAL, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Error);
        TempDir dir;
        const std::string name = MakeFile(dir);
        TORQDatabaseFile f, other;
        f.OpenFile(name, 1, 1);
        other.OpenFile(name, 1, 1);
        ASSERT_TRUE(other.LockByte(1, 20));
        {
            FaultHook hook([&](TORQFileCall call, int) { return call == TORQFileCall::Lock ? c.Error : 0; });
            EXPECT_EQ(f.LockByte(1, 10), c.Passes);
            EXPECT_EQ(f.LockFailuresPass, c.Passes ? 1 : 0);
        }
        // Once byte locks are known to be missing, every failing lock and unlock passes.
        EXPECT_EQ(f.LockByte(1, 20), c.Passes);
        EXPECT_EQ(f.UnlockByte(1, 30), c.Passes);
    }
}

TEST(DatabaseFileLocks, DesignTimeUnlocksAlwaysPass) {
    TempDir dir;
    TORQDatabaseFile f;
    f.OpenFile(MakeFile(dir), 1, 1);
    SetDesignTime(true);
    EXPECT_TRUE(f.UnlockByte(1, 99));
    SetDesignTime(false);
    EXPECT_FALSE(f.UnlockByte(1, 99));
}

TEST(DatabaseFileIO, AFailedCallIsTriedOnceMoreThenReported) {
    TempDir dir;
    const std::string name = MakeFile(dir, 100);
    TORQDatabaseFile f;
    f.OpenFile(name, 1, 1);
    uint8_t buf[10] = {};
    {
        FaultHook once([](TORQFileCall call, int n) { return call == TORQFileCall::Read && n == 1 ? EIO : 0; });
        EXPECT_EQ(f.ReadBuffer(buf, 0, 10, 30005), 10);
        EXPECT_EQ(buf[9], 0x5A);
        EXPECT_EQ(once.Calls[int(TORQFileCall::Read)], 2);
    }
    {
        FaultHook always([](TORQFileCall call, int) { return call == TORQFileCall::Lock ? 0 : EIO; });
        const auto [code, msg] = Raised([&] { f.ReadBuffer(buf, 0, 10, 30005); });
        EXPECT_EQ(code, 30005);
        EXPECT_NE(msg.find("ErrorCode:5. ErrorMessage: Input/output error"), std::string::npos) << msg;
        EXPECT_FALSE(f.ReadBuffer(buf, 0, 10));
        EXPECT_EQ(always.Calls[int(TORQFileCall::Read)], 4) << "one try and one more, twice";
        ExpectNative([&] { f.WriteBuffer(buf, 0, 10, 30006); }, 30006);
        EXPECT_EQ(always.Calls[int(TORQFileCall::Write)], 2);
        ExpectNative([&] { f.FlushFileBuffers(); }, 30379);
        ExpectNative([&] { f.SetSize(0); }, 30370);
    }
    EXPECT_EQ(disktest::ReadAll(name), std::vector<uint8_t>(100, 0x5A)) << "no failed call changed the file";
}
