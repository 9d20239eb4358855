#include "engine/foundation/ORQProtection.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"
#include "engine/foundation/ORQHash.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQStringFormats.h"

using namespace orq;

namespace {

// Records the run protocol; XORs the data with a constant as its coding.
class TRecorder : public TProtection {
public:
    explicit TRecorder(std::vector<std::string>* log, uint8_t mask = 0x5A) : FLog(log), FMask(mask) {}
    void BeginCoding(ProtectionAction a) override { FLog->push_back("begin " + std::to_string(a)); TProtection::BeginCoding(a); }
    void EndCoding(ProtectionAction a) override { TProtection::EndCoding(a); FLog->push_back("end " + std::to_string(a)); }
    void CodeChunk(void* buffer, int32_t size, ProtectionAction a) override {
        FLog->push_back("chunk " + std::to_string(size));
        TProtection::CodeChunk(buffer, size, a);
        if (a != actCalculate)
            for (int32_t i = 0; i < size; ++i) static_cast<uint8_t*>(buffer)[i] ^= FMask;
    }

private:
    std::vector<std::string>* FLog;
    uint8_t FMask;
};

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
void WriteFile(const std::string& name, const std::string& data) {
    std::ofstream(name, std::ios::binary) << data;
}

std::string Data(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(char(i * 13 + 1));
    return s;
}

class TProtectionFiles : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = std::filesystem::temp_directory_path() /
               ("orq_protection_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(FDir);
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }
    std::string Path(const char* name) const { return (FDir / name).string(); }
    std::filesystem::path FDir;
};

}  // namespace

TEST(TProtection, ChainCyclesAreRefused) {
    auto a = MakeProtection<TProtection>();
    auto b = MakeProtection<TProtection>();
    auto c = MakeProtection<TProtection>();
    TProtection* const bp = b.Get();
    TProtection* const cp = c.Get();
    b->SetChainedProtection(cp);
    a->SetChainedProtection(bp);
    EXPECT_EQ(b->RefCount(), 2);  // the handle and the link
    EXPECT_EQ(c->RefCount(), 2);
    try {
        c->SetChainedProtection(a.Get());
        FAIL() << "no error";
    } catch (const EProtection& e) {
        EXPECT_STREQ(e.what(), "Circular Protection detected, Protection Object is invalid.");
    }
    EXPECT_EQ(c->ChainedProtection(), nullptr);
    EXPECT_THROW(a->SetChainedProtection(a.Get()), EProtection);
    a->SetChainedProtection(bp);  // the current value: nothing happens
    EXPECT_EQ(b->RefCount(), 2);
    b.Reset();
    c.Reset();  // now only the links hold B and C
    // Re-linking A straight to C keeps C alive although its only holder B goes.
    a->SetChainedProtection(cp);
    EXPECT_FALSE(IsLiveObject<TProtection>(bp));
    EXPECT_TRUE(IsLiveObject<TProtection>(cp));
    EXPECT_EQ(a->ChainedProtection(), cp);
    a.Reset();  // frees A and with it C
    EXPECT_FALSE(IsLiveObject<TProtection>(cp));
}

// One ownership rule: handles and links count, the last one frees, whatever the
// order; an object no handle holds (on the stack, or owned by anything else) is
// never chained, so no link can free it a second time. Run under the sanitizers.
TEST(TProtection, ChainedObjectsAreFreedOnceInEitherOrder) {
    for (bool innerFirst : {false, true}) {
        auto inner = TCipher::Create<TCipher_Blowfish>("inner");
        TCipher* const ip = inner.Get();
        auto outer = TCipher::Create<TCipher_Twofish>("outer", ip);
        EXPECT_EQ(inner->RefCount(), 2);
        if (innerFirst) {
            inner.Reset();
            EXPECT_TRUE(IsLiveObject<TCipher>(ip));  // the link still holds it
            outer.Reset();
        } else {
            outer.Reset();
            EXPECT_EQ(inner->RefCount(), 1);
            inner.Reset();
        }
        EXPECT_FALSE(IsLiveObject<TCipher>(ip));
    }
    TCipher_Blowfish onStack(nullptr);
    EXPECT_THROW(TCipher::Create<TCipher_Twofish>("outer", &onStack), EProtection);
    EXPECT_THROW(MakeProtection<TProtection>()->SetChainedProtection(&onStack), EProtection);
    EXPECT_EQ(onStack.RefCount(), 0);
    // Copies of a handle share the object.
    auto one = MakeProtection<TProtection>();
    TProtectionRef<TProtection> two = one;
    EXPECT_EQ(one->RefCount(), 2);
    one.Reset();
    EXPECT_EQ(two->RefCount(), 1);
}

TEST(TProtection, StaleLinkReadsAsNone) {
    TProtection holder;
    auto* chained = new TProtection;
    RetainProtection(chained);  // held by another reference, then
    holder.SetChainedProtection(chained);
    delete chained;  // destroyed behind the holder's back
    EXPECT_EQ(holder.ChainedProtection(), nullptr);
    int local = 0;
    EXPECT_FALSE(IsLiveObject<TProtection>(&local));
    EXPECT_FALSE(IsLiveObject<TProtection>(nullptr));
    EXPECT_EQ(RetainProtection(reinterpret_cast<TProtection*>(&local)), 0);
    EXPECT_TRUE(IsLiveObject<TProtection>(&holder));
    EXPECT_FALSE(IsLiveObject<TCipher>(&holder));
}

TEST(TProtection, BufferRunCallsTheChainAndEndsOnError) {
    std::vector<std::string> log;
    auto inner = MakeProtection<TRecorder>(&log, uint8_t(0x0F));
    TRecorder outer(&log);
    outer.SetChainedProtection(inner.Get());
    std::string data = "abc";
    EXPECT_EQ(outer.ProcessBuffer(data.data(), 3, actEncode), 3);
    EXPECT_EQ(data, (std::string{char(0x61 ^ 0x55), char(0x62 ^ 0x55), char(0x63 ^ 0x55)}));
    EXPECT_EQ(log, (std::vector<std::string>{"begin 0", "begin 0", "chunk 3", "chunk 3", "end 0", "end 0"}));

    // An uninitialised cipher raises at BeginCoding; a failing chunk still ends the run.
    TCipher_Square square;
    EXPECT_THROW(square.ProcessBuffer(data.data(), 3, actEncode), ECipherException);
}

TEST(TProtection, StreamRunsCodeInPiecesAndInPlace) {
    std::vector<std::string> log;
    TRecorder r(&log);
    TORQMemoryStream stream;
    const std::string plain = Data(10000);
    stream.WriteBuffer(plain.data(), int64_t(plain.size()));
    r.ProcessStream(&stream, nullptr, -1, actEncode);  // all of it, from position 0, in place
    std::string coded(plain.size(), '\0');
    stream.SetPosition(0);
    stream.ReadBuffer(coded.data(), int64_t(coded.size()));
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(char(plain[i] ^ 0x5A), coded[i]) << i;
    EXPECT_EQ(log, (std::vector<std::string>{"begin 0", "chunk 4096", "chunk 4096", "chunk 1808", "end 0"}));

    // actCalculate reads and writes nothing back.
    r.ProcessStream(&stream, &stream, -1, actCalculate);
    stream.SetPosition(0);
    std::string again(plain.size(), '\0');
    stream.ReadBuffer(again.data(), int64_t(again.size()));
    EXPECT_EQ(again, coded);

    // Into another stream, DataSize bytes from the current position.
    TORQMemoryStream dest;
    stream.SetPosition(100);
    r.ProcessStream(&stream, &dest, 50, actDecode);
    EXPECT_EQ(dest.Size(), 50);
    std::string part(50, '\0');
    dest.SetPosition(0);
    dest.ReadBuffer(part.data(), 50);
    EXPECT_EQ(part, plain.substr(100, 50));
}

namespace {

// A store that accepts fewer bytes than it is given.
class TShortPort : public TCodingPort {
public:
    int64_t Size() override { return 10; }
    int64_t Position() override { return FPos; }
    void SetPosition(int64_t p) override { FPos = p; }
    int32_t Read(void* buffer, int32_t count) override {
        const int32_t n = int32_t(std::min<int64_t>(count, 10 - FPos));
        std::memset(buffer, 1, std::size_t(n));
        FPos += n;
        return n;
    }
    int32_t Write(const void*, int32_t count) override { return count - 1; }
    int64_t FPos = 0;
};

}  // namespace

TEST(TProtection, ShortWriteIsAnError) {
    std::vector<std::string> log;
    TRecorder r(&log);
    TShortPort port;
    EXPECT_THROW(r.ProcessPort(&port, &port, -1, actEncode), classlib::EInOutError);
    EXPECT_EQ(log.back(), "end 0");
}

TEST_F(TProtectionFiles, FilesCodedIntoAnotherAndInPlace) {
    auto c = TCipher::Create<TCipher_Blowfish>("file key");
    const std::string plain = Data(9000);
    WriteFile(Path("a"), plain);
    WriteFile(Path("b"), std::string(20000, 'z'));  // replaced, not overwritten in part
    c->ProcessFile(Path("a"), Path("b"), actEncode);
    const std::string coded = ReadFile(Path("b"));
    EXPECT_EQ(coded.size(), plain.size());
    EXPECT_NE(coded, plain);
    EXPECT_EQ(ReadFile(Path("a")), plain);

    c->ProcessFile(Path("b"), "  ", actDecode);  // blank destination: in place
    EXPECT_EQ(ReadFile(Path("b")), plain);
    c->ProcessFile(Path("b"), Path("b"), actEncode);
    EXPECT_EQ(ReadFile(Path("b")), coded);
    // Another name of the same file is coded in place rather than emptied first.
    const std::string other = (FDir / "." / "b").string();
    c->ProcessFile(Path("b"), other, actDecode);
    EXPECT_EQ(ReadFile(Path("b")), plain);
    // Names are exact: "A" is another file, and it does not exist.
    EXPECT_THROW(c->ProcessFile(Path("A"), Path("b"), actEncode), classlib::EInOutError);
    EXPECT_EQ(ReadFile(Path("b")), plain);
    // actCalculate writes nothing.
    c->ProcessFile(Path("a"), Path("never"), actCalculate);
    EXPECT_FALSE(std::filesystem::exists(Path("never")));
}

namespace {

// The access mode (O_RDONLY, O_WRONLY or O_RDWR) of this process's open descriptor
// on the file Name, or -1 when none is open.
int OpenAccessMode(const std::string& name) {
    const auto target = std::filesystem::canonical(name);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec) != target || ec) continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key;
        while (info >> key) {
            if (key == "flags:") {
                std::string octal;
                info >> octal;
                return int(std::stol(octal, nullptr, 8) & O_ACCMODE);
            }
        }
    }
    return -1;
}

}  // namespace

// A calculating run reads the file and needs no write access to it, also when the
// destination names the source itself.
TEST_F(TProtectionFiles, CalculatingOpensTheFileForReadingOnly) {
    if (!std::filesystem::exists("/proc/self/fdinfo")) GTEST_SKIP() << "no /proc";
    WriteFile(Path("a"), Data(5000));
    THash_MD4 h;
    std::vector<int> modes;
    CodingProgress = [&](TProtection*, int64_t, int64_t) { modes.push_back(OpenAccessMode(Path("a"))); };
    h.ProcessFile(Path("a"), Path("a"), actCalculate);
    h.ProcessFile(Path("a"), "", actCalculate);
    CodingProgress = nullptr;
    ASSERT_FALSE(modes.empty());
    for (int mode : modes) EXPECT_EQ(mode, O_RDONLY);
    EXPECT_EQ(ReadFile(Path("a")), Data(5000));
}

TEST_F(TProtectionFiles, WriteFailureIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    auto c = TCipher::Create<TCipher_Rijndael>("k");
    WriteFile(Path("a"), Data(100));
    EXPECT_THROW(c->ProcessFile(Path("a"), "/dev/full", actEncode), classlib::EInOutError);
}

TEST(TProtection, DecodingInvalidTextRaisesBeforeDecoding) {
    std::vector<std::string> log;
    TRecorder r(&log);
    EXPECT_THROW(r.ProcessText("Zm9v.", actDecode, 4196), EStringFormat);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(r.ProcessText("", actEncode, 16), "");
    EXPECT_EQ(r.ProcessText("\x5A\x5B", actEncode, 16), "0001");
}

TEST(CipherUtils, SmallRoutines) {
    EXPECT_EQ(RotateLeft32(0x80000001u, 1), 0x00000003u);
    EXPECT_EQ(RotateLeft32(0x12345678u, 36), 0x23456781u);
    EXPECT_EQ(RotateRight32(0x12345678u, 8), 0x78123456u);
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    uint32_t words[3] = {0x01020304u, 0xA0B0C0D0u, 0};
    SwapBytes32Buffer(words, words, 2);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0xD0C0B0A0u);
    EXPECT_EQ(CompareBytes("abc", "abd", 3), 'c' - 'd');
    EXPECT_LT(CompareBytes("\x01", "\xFF", 1), 0);
    EXPECT_EQ(CompareBytes("abc", "abd", 2), 0);
    EXPECT_EQ(CompareBytes("x", "y", 0), 0);
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(SeededScramble(1234, buf, 0), 1234u);
    EXPECT_EQ(SeededScramble(1234, nullptr, 4), 1234u);
    EXPECT_EQ(buf[0], 1);
    // One step by hand: low byte xor input, times 134775813 plus 1, top byte out.
    uint8_t one[1] = {0x0F};
    const uint32_t seed = SeededScramble(0x000000F0u, one, 1);
    EXPECT_EQ(seed, 0x000000FFu * 134775813u + 1u);
    EXPECT_EQ(one[0], uint8_t(seed >> 24));
    EXPECT_EQ(DefaultTestVector()[0], 0x30);
    EXPECT_EQ(DefaultTestVector()[31], 0xB1);
    EXPECT_EQ(DefaultTestVector()[39], 0x00);
}
