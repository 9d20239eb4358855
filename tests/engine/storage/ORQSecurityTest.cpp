// Page encryption under the eight algorithm ids, page-type names, the retry loop and the
// classification of lock errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <vector>

#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQSecurity.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

std::vector<uint8_t> Pattern(int32_t Size) {
    std::vector<uint8_t> v(static_cast<std::size_t>(Size));
    for (int32_t i = 0; i < Size; ++i) v[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

}  // namespace

TEST(PageEncryption, EveryIdRoundTripsAndIsDeterministic) {
    std::set<std::vector<uint8_t>> distinct;
    for (int32_t size : {4056, 20}) {
        for (uint8_t id = 0; id <= 7; ++id) {
            SCOPED_TRACE(testing::Message() << "id " << int(id) << " size " << size);
            const std::vector<uint8_t> plain = Pattern(size);
            std::vector<uint8_t> a = plain, b = plain;
            ASSERT_TRUE(EncryptBuffer(id, a.data(), size, "secret"));
            ASSERT_TRUE(EncryptBuffer(id, b.data(), size, "secret"));
            EXPECT_EQ(a, b) << "no state carries over between calls";
            EXPECT_NE(a, plain);
            EXPECT_TRUE(distinct.insert(a).second) << "each id has a cipher and key hash of its own";
            std::vector<uint8_t> other = plain;
            ASSERT_TRUE(EncryptBuffer(id, other.data(), size, "secreT"));
            EXPECT_NE(other, a) << "the key follows the password";
            ASSERT_TRUE(DecryptBuffer(id, a.data(), size, "secret"));
            EXPECT_EQ(a, plain);
        }
    }
}

TEST(PageEncryption, UnknownIdsFailAndLeaveTheBuffer) {
    for (uint8_t id : {8, 200, 255}) {
        std::vector<uint8_t> buf = Pattern(64);
        EXPECT_FALSE(EncryptBuffer(id, buf.data(), 64, "secret"));
        EXPECT_FALSE(DecryptBuffer(id, buf.data(), 64, "secret"));
        EXPECT_EQ(buf, Pattern(64));
    }
}

TEST(PageTypes, NamesAndTheCheck) {
    EXPECT_EQ(PageTypeName(0), "Unknown Page");
    EXPECT_EQ(PageTypeName(2), "EAM Page");
    EXPECT_EQ(PageTypeName(3), "PFS Page");
    EXPECT_EQ(PageTypeName(10), "TableRecord Page");
    EXPECT_EQ(PageTypeName(12), "TableIndex Page");
    ExpectNative([] { PageTypeName(13); }, 30382, "Unknown Page Type: (13) - Native error: 30382");
    CheckPageType(7, 7, 20153);
    ExpectNative([] { CheckPageType(11, 12, 20153); }, 20153,
                 "Wrong page type. Found 'TableBlob Page', but expecting: 'TableIndex Page' - Native error: 20153");
}

TEST(RetryWithSleep, SleepsAfterEveryFailure) {
    std::vector<int32_t> sleeps;
    SetEngineSleeper([&](int32_t ms) { sleeps.push_back(ms); });
    int calls = 0;
    EXPECT_FALSE(RetryWithSleep(4500, 20, [&] { return ++calls < 0; }));
    EXPECT_EQ(calls, 4500);
    EXPECT_EQ(sleeps.size(), 4500u);
    EXPECT_EQ(sleeps.front(), 20);
    sleeps.clear();
    calls = 0;
    EXPECT_TRUE(RetryWithSleep(4500, 20, [&] { return ++calls == 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(sleeps.size(), 2u);
    SetEngineSleeper({});
}

TEST(LockErrors, OnlyMissingByteLocksPass) {
    struct Case {
        int Error;
        bool NoLocks;
    } cases[] = {{EAGAIN, false}, {EACCES, false}, {EINTR, false},     {EBADF, false},
                 {0, false},      {ENOLCK, true},  {EOPNOTSUPP, true}, {EINVAL, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Error);
        EXPECT_EQ(IsNetworkLockError(c.Error), c.NoLocks);
        errno = c.Error;
        EXPECT_EQ(IsNetworkLockError(), c.NoLocks);
    }
}
