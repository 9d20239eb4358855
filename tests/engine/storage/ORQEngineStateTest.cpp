// The engine's process-wide state: 20007 while stopped, start and stop repeated, the
// database list from two threads, the design-time flag, the generator's sequence and
// the injectable sleeper and clock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/ORQBaseEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

const std::string SNotInitialized = "Database Engine is not initialized - Native error: 20007";

// Leaves the engine stopped, whatever the test did.
struct EngineStopped : ::testing::Test {
    void SetUp() override { StopStorageEngine(); }
    void TearDown() override {
        StopStorageEngine();
        SetEngineSleeper({});
        SetEngineClock({});
    }
};

struct NamedDatabase : TORQDatabaseData {
    explicit NamedDatabase(std::string Name, std::atomic<int>* Freed = nullptr) : FFreed(Freed) {
        DatabaseName = std::move(Name);
    }
    ~NamedDatabase() override {
        if (FFreed != nullptr) ++*FFreed;
    }
    std::atomic<int>* FFreed;
};

TEST_F(EngineStopped, StateIsRefusedWhileStopped) {
    EXPECT_FALSE(StorageEngineStarted());
    ExpectNative([] { SessionComponentManager(); }, 20007, SNotInitialized);
    ExpectNative([] { DatabaseList(); }, 20007, SNotInitialized);
}

TEST_F(EngineStopped, StartAndStopMayBeRepeated) {
    StartStorageEngine();
    TORQSessionComponentManager* first = &SessionComponentManager();
    std::atomic<int> freed{0};
    DatabaseList().Add(new NamedDatabase("A.DB", &freed));
    StartStorageEngine();  // a second start keeps what the first made
    EXPECT_EQ(&SessionComponentManager(), first);
    EXPECT_EQ(DatabaseList().Count(), 3);  // with the MEMORY and TEMP databases of the start

    StopStorageEngine();
    EXPECT_EQ(freed, 1) << "the list owns what is entered in it";
    StopStorageEngine();
    ExpectNative([] { SessionComponentManager(); }, 20007);

    StartStorageEngine();
    EXPECT_EQ(DatabaseList().Count(), 2);
    EXPECT_NE(DatabaseList().Find("MEMORY"), nullptr);
    EXPECT_NE(DatabaseList().Find("TEMP"), nullptr);
}

TEST_F(EngineStopped, DesignTimeFlagIsClearedByStart) {
    SetDesignTime(true);
    StartStorageEngine();
    EXPECT_FALSE(IsDesignTime());
    SetDesignTime(true);
    EXPECT_TRUE(IsDesignTime());
    SetDesignTime(false);
}

TEST_F(EngineStopped, DatabaseListFindsByNameIgnoringCase) {
    StartStorageEngine();
    auto* a = new NamedDatabase("navtex.db");
    DatabaseList().Add(a);
    DatabaseList().Add(a);  // entered once only
    EXPECT_EQ(DatabaseList().Count(), 3);  // with the MEMORY and TEMP databases
    EXPECT_EQ(DatabaseList().Find("NAVTEX.DB"), a);
    EXPECT_EQ(DatabaseList().Find("navtex"), nullptr);
    delete a;  // its destructor takes it off the list
    EXPECT_EQ(DatabaseList().Count(), 2);
    EXPECT_EQ(DatabaseList().Find("navtex.db"), nullptr);
}

TEST_F(EngineStopped, DatabaseListFromTwoThreads) {
    StartStorageEngine();
    constexpr int N = 300;
    std::atomic<int> freed{0};
    auto work = [&](char tag) {
        for (int i = 0; i < N; ++i) {
            const std::string name = std::string(1, tag) + std::to_string(i);
            auto* d = new NamedDatabase(name, &freed);
            DatabaseList().Add(d);
            EXPECT_EQ(DatabaseList().Find(name), d);
            if (i % 2 == 0) {
                EXPECT_TRUE(d->FreeIfUnused());
            }
        }
    };
    std::thread a(work, 'a'), b(work, 'b');
    a.join();
    b.join();
    EXPECT_EQ(freed, N);
    EXPECT_EQ(DatabaseList().Count(), N + 2);  // with the MEMORY and TEMP databases
    StopStorageEngine();
    EXPECT_EQ(freed, 2 * N);
}

TEST(TORQRandom, FollowsTheLinearCongruentialSequence) {
    // seed' = seed * 134775813 + 1 (mod 2^32); Random(R) = seed' * R div 2^32.
    TORQRandom r(0);
    EXPECT_EQ(r.Random(100), 0);    // seed 1
    EXPECT_EQ(r.Random(100), 3);    // seed 134775814: 13477581400 div 2^32
    EXPECT_EQ(r.Seed(), 134775814u);
    EXPECT_EQ(r.Random(0), 0);
    EXPECT_EQ(r.Random(-5), 0);
    TORQRandom top(0xFFFFFFFFu);
    // 0xFFFFFFFF * 134775813 + 1 = -134775812 mod 2^32 = 4160191484
    EXPECT_EQ(top.Random(1000), 968);  // 4160191484000 div 2^32
    for (int i = 0; i < 1000; ++i) {
        const int32_t v = r.Random(7);
        ASSERT_GE(v, 0);
        ASSERT_LT(v, 7);
    }
}

TEST_F(EngineStopped, SleepAndClockGoThroughTheInstalledFunctions) {
    std::vector<int32_t> slept;
    int64_t now = 5000;
    SetEngineSleeper([&](int32_t ms) {
        slept.push_back(ms);
        now += ms;
    });
    SetEngineClock([&] { return now; });
    EngineSleep(0);   // nothing
    EngineSleep(-3);  // nothing
    EngineSleep(20);
    EXPECT_EQ(slept, std::vector<int32_t>{20});
    EXPECT_EQ(EngineTickCount(), 5020);

    SetEngineRandomSeed(0);
    for (int i = 0; i < 50; ++i) EngineSleepRandom(100);
    ASSERT_EQ(slept.size(), 51u);
    for (std::size_t i = 1; i < slept.size(); ++i) {
        EXPECT_GE(slept[i], 50);
        EXPECT_LT(slept[i], 100);
    }
    // First draw after seed 0 is 0: exactly half the delay.
    EXPECT_EQ(slept[1], 50);

    SetEngineClock({});
    const int64_t real = EngineTickCount();
    EXPECT_NE(real, now);
    EXPECT_GE(EngineTickCount(), real);
}

}  // namespace
