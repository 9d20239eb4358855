// Compressed BLOB streams under failing base streams and hostile descriptors: after
// every failure the object and a fresh open of the stored bytes agree, and a retry
// completes the operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "EnglishText.h"
#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQExcept.h"

using namespace orq;

namespace {

// A memory stream that stores at most Budget more bytes: a write that crosses the
// budget stores the bytes up to it and reports the short count. SetSize can be made
// to raise, or to leave the size as it is.
class TRefusingStream : public TORQMemoryStream {
public:
    enum TSizeMode { SizeTakes, SizeRaises, SizeIgnored };
    int64_t Budget = INT64_MAX;
    TSizeMode SizeMode = SizeTakes;

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override {
        const int64_t n = std::min(Count, Budget);
        if (n <= 0) return 0;
        const int64_t written = TORQMemoryStream::DoWrite(Buffer, n);
        Budget -= written;
        return written;
    }
    void DoSetSize(int64_t NewSize) override {
        if (SizeMode == SizeRaises) throw classlib::EInOutError("System Error. Code: 27. File too large");
        if (SizeMode == SizeIgnored) return;
        TORQMemoryStream::DoSetSize(NewSize);
    }
};

std::string ReadAll(TORQStream& s) {
    std::string out(size_t(s.Size()), '\0');
    s.Seek(0, soBeginning);
    EXPECT_EQ(s.Read(out.data(), int64_t(out.size())), int64_t(out.size()));
    return out;
}

int32_t CodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EORQException& e) {
        return e.NativeError();
    } catch (const std::exception&) {
        return -1;
    }
    return 0;
}

constexpr int32_t kBlock = 1000;
constexpr int64_t kStart = 7;

// A zlib value of 2500 bytes (blocks of 1000, 1000 and 500) behind a 7-byte prefix.
struct TStoredValue {
    std::string Data = testtext::EnglishText(6000, 12);
    std::string Bytes;
    TORQBLOBDescriptor Descriptor;

    TStoredValue() {
        TORQMemoryStream base;
        base.Write("prefix!", kStart);
        TORQBLOBDescriptor d;
        d.CompressionAlgorithm = CompressionZlib;
        d.CompressionMode = 6;
        d.BlockSize = kBlock;
        d.StartOffset = kStart;
        TORQCompressedBLOBStream s(base, d, true, false);
        s.Write(Data.data(), 2500);
        Descriptor = s.Descriptor();
        Bytes.assign(reinterpret_cast<const char*>(base.Memory()), size_t(base.Size()));
    }
};

struct TScenario {
    const char* Name;
    std::function<void(TORQCompressedBLOBStream&, const std::string&)> Operation;
    // The content the operation leads to.
    std::function<std::string(const std::string&)> Target;
    // Content a failure may leave, of which the value is always a prefix.
    std::function<std::string(const std::string&)> Intended;
};

const TScenario kScenarios[] = {
    {"append rewriting the last block and adding two",
     [](TORQCompressedBLOBStream& s, const std::string& d) {
         s.Seek(0, soEnd);
         s.Write(d.data() + 2500, 1700);
     },
     [](const std::string& d) { return d.substr(0, 4200); }, [](const std::string& d) { return d.substr(0, 4200); }},
    {"write behind the end, filling the gap with zeros",
     [](TORQCompressedBLOBStream& s, const std::string& d) {
         s.Seek(3200, soBeginning);
         s.Write(d.data() + 3200, 300);
     },
     [](const std::string& d) { return d.substr(0, 2500) + std::string(700, '\0') + d.substr(3200, 300); },
     [](const std::string& d) { return d.substr(0, 2500) + std::string(700, '\0') + d.substr(3200, 300); }},
    {"truncation inside a block", [](TORQCompressedBLOBStream& s, const std::string&) { s.SetSize(1500); },
     [](const std::string& d) { return d.substr(0, 1500); }, [](const std::string& d) { return d.substr(0, 2500); }},
};

// After a failure: cut back to the target when longer, then append what is missing.
void Retry(TORQCompressedBLOBStream& s, const std::string& target) {
    if (s.Size() > int64_t(target.size())) s.SetSize(int64_t(target.size()));
    s.Seek(0, soEnd);
    const int64_t size = s.Size();
    s.Write(target.data() + size, int64_t(target.size()) - size);
}

// The object and a strict fresh open of its descriptor hold the same bytes, a
// prefix of Intended; the table matches the descriptor.
void ExpectAgreement(TRefusingStream& base, TORQCompressedBLOBStream& s, const std::string& intended) {
    EXPECT_EQ(s.Headers().Count(), s.Descriptor().BlockCount);
    EXPECT_EQ(s.Descriptor().UncompressedSize, s.Size());
    const std::string held = ReadAll(s);
    EXPECT_TRUE(held == intended.substr(0, held.size())) << "size " << held.size();
    char past;
    EXPECT_EQ(s.Read(&past, 1), 0);
    int64_t budget = base.Budget;
    try {
        TORQCompressedBLOBStream fresh(base, s.Descriptor(), false, false);
        EXPECT_EQ(fresh.Size(), s.Size());
        EXPECT_TRUE(ReadAll(fresh) == held);
    } catch (const EORQException& e) {
        ADD_FAILURE() << "fresh open: " << e.what();
    }
    base.Budget = budget;
}

void RunScenario(const TScenario& sc, int64_t budget, TRefusingStream::TSizeMode sizeMode, bool& completed) {
    static const TStoredValue stored;
    TRefusingStream base;
    base.Write(stored.Bytes.data(), int64_t(stored.Bytes.size()));
    TORQCompressedBLOBStream s(base, stored.Descriptor, false, false);
    base.Budget = budget;
    base.SizeMode = sizeMode;
    completed = CodeOf([&] { sc.Operation(s, stored.Data); }) == 0;
    ExpectAgreement(base, s, sc.Intended(stored.Data));
    base.Budget = INT64_MAX;
    base.SizeMode = TRefusingStream::SizeTakes;
    if (!completed) {
        EXPECT_EQ(CodeOf([&] { Retry(s, sc.Target(stored.Data)); }), 0);
    }
    EXPECT_TRUE(ReadAll(s) == sc.Target(stored.Data)) << "size " << s.Size();
    ExpectAgreement(base, s, sc.Target(stored.Data));
}

}  // namespace

// Every budget from 0 up to the first that lets the operation through.
TEST(CompressedBLOBStreamFailures, EveryRefusedWriteLeavesObjectAndStoredBytesAgreeing) {
    for (const TScenario& sc : kScenarios) {
        bool completed = false;
        int64_t budget = 0;
        for (; !completed && budget < 100000; ++budget) {
            SCOPED_TRACE(std::string(sc.Name) + ", budget " + std::to_string(budget));
            RunScenario(sc, budget, TRefusingStream::SizeTakes, completed);
            if (HasFailure()) return;
        }
        EXPECT_TRUE(completed) << sc.Name;
        EXPECT_GT(budget, 200) << sc.Name;  // the sweep crossed headers and data
    }
}

// A cut that raises or does not take leaves the value whole.
TEST(CompressedBLOBStreamFailures, FailedCutKeepsTheValueWhole) {
    for (auto mode : {TRefusingStream::SizeRaises, TRefusingStream::SizeIgnored}) {
        SCOPED_TRACE(int(mode));
        bool completed = true;
        RunScenario(kScenarios[2], INT64_MAX, mode, completed);
        EXPECT_FALSE(completed);
    }
}

// Start offsets beyond the base stream are corrupt for any existing value, strict or
// tolerant, empty or not; one exactly at the end holds an empty value.
TEST(CompressedBLOBStreamFailures, StartOffsetsOutsideTheBaseStreamAreRefused) {
    TORQMemoryStream base;
    base.Write("0123456789", 10);
    struct { uint8_t alg; int64_t start, size, blocks; int32_t strict, tolerant; } cases[] = {
        {0, 11, 0, 0, 10103, 10103},        {0, 11, 5, 0, 10103, 10103},
        {0, INT64_MAX, 0, 0, 10103, 10103}, {0, -1, 0, 0, 10103, 10103},
        {1, 11, 0, 0, 10103, 10103},        {1, 1 << 30, 0, 3, 10103, 10103},
        {1, INT64_MAX, 0, 0, 10103, 10103}, {0, 10, 0, 0, 0, 0},
        {1, 10, 0, 0, 0, 0},                {0, 2, 9, 0, 10081, 0},
        {1, 2, 0, INT64_MAX, 10082, 0},
    };
    for (const auto& c : cases) {
        TORQBLOBDescriptor d;
        d.CompressionAlgorithm = c.alg;
        d.CompressionMode = 1;
        d.BlockSize = 1000;
        d.StartOffset = c.start;
        d.UncompressedSize = c.size;
        d.BlockCount = c.blocks;
        for (bool tolerant : {false, true}) {
            const int32_t code = CodeOf([&] { TORQCompressedBLOBStream s(base, d, false, tolerant); });
            EXPECT_EQ(code, tolerant ? c.tolerant : c.strict)
                << int(c.alg) << " start " << c.start << (tolerant ? " tolerant" : " strict");
        }
    }
    EXPECT_EQ(base.Size(), 10);
}

// Message arguments computed from values read from disk saturate.
TEST(CompressedBLOBStreamFailures, MessageArithmeticSaturates) {
    TORQMemoryStream base;
    base.Write("0123456789", 10);
    TORQBLOBDescriptor d;
    d.StartOffset = 2;
    d.UncompressedSize = INT64_MAX;
    try {
        TORQCompressedBLOBStream s(base, d, false, false);
        ADD_FAILURE() << "no error";
    } catch (const EORQException& e) {
        EXPECT_EQ(e.NativeError(), 10081);
        EXPECT_NE(std::string(e.what()).find("Should be at least = 9223372036854775807"), std::string::npos)
            << e.what();
    }
}

// A plain value's size follows its own writes: the end of the furthest write, never
// the base stream's bytes behind the value.
TEST(CompressedBLOBStreamFailures, PlainWriteSizeIsTheEndOfTheWrite) {
    TORQMemoryStream base;
    const std::string trailing(5000, 't');
    base.Write(trailing.data(), 5000);
    TORQBLOBDescriptor d;
    TORQCompressedBLOBStream fresh(base, d, true, false);
    const std::string text(38, 'n');
    EXPECT_EQ(fresh.Write(text.data(), 38), 38);
    EXPECT_EQ(fresh.Size(), 38);
    EXPECT_EQ(fresh.Descriptor().UncompressedSize, 38);
    EXPECT_EQ(base.Size(), 5000);
    d.UncompressedSize = 100;
    TORQCompressedBLOBStream existing(base, d, false, false);
    existing.Seek(50, soBeginning);
    existing.Write("0123456789", 10);
    EXPECT_EQ(existing.Size(), 100);
    existing.Seek(95, soBeginning);
    existing.Write("0123456789", 10);
    EXPECT_EQ(existing.Size(), 105);
}
