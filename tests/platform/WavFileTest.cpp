#include "platform/WavFile.h"

#include <gtest/gtest.h>

#include "tests/PipeBuf.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

using Bytes = std::string;

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("tilo_wav_" + std::to_string(getpid()) + "_" + name))
        .string();
}

Bytes U32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
Bytes U16(uint16_t v) { return {char(v), char(v >> 8)}; }

Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    const uint16_t align = uint16_t(channels * bits / 8);
    return "fmt " + U32(16) + U16(tag) + U16(channels) + U32(rate) + U32(rate * align) +
           U16(align) + U16(bits);
}

Bytes Riff(const Bytes& chunks) { return "RIFF" + U32(uint32_t(4 + chunks.size())) + "WAVE" + chunks; }

std::string WriteBytes(const std::string& name, const Bytes& b) {
    const std::string path = TempPath(name);
    std::ofstream(path, std::ios::binary) << b;
    return path;
}

}  // namespace

TEST(WavFile, WriteThenReadGivesTheSameSamples) {
    const std::vector<int16_t> samples = {0, 1, -1, 32767, -32768, 1234, -4321};
    const std::string path = TempPath("roundtrip.wav");
    tilo::WriteWavFile(path, 12000, samples);
    EXPECT_EQ(std::filesystem::file_size(path), 44u + 2 * samples.size());
    const tilo::TWavData d = tilo::ReadWavFile(path);
    EXPECT_EQ(d.SampleRate, 12000);
    EXPECT_EQ(d.Samples, samples);
    std::remove(path.c_str());
}

TEST(WavFile, SkipsUnknownChunksIncludingPadding) {
    // An odd-sized LIST chunk is followed by a pad byte that must be skipped.
    const Bytes data = "data" + U32(4) + U16(0x0102) + U16(0xFFFE);
    const std::string path =
        WriteBytes("chunks.wav", Riff("LIST" + U32(3) + "abc" + Bytes(1, '\0') +
                                      Fmt(1, 1, 11025, 16) + data));
    tilo::TWavReader r(path);
    EXPECT_EQ(r.SampleRate(), 11025);
    ASSERT_EQ(r.SampleCount(), 2u);
    int16_t s[4] = {};
    EXPECT_EQ(r.Read(s, 4), 2u);
    EXPECT_EQ(s[0], 0x0102);
    EXPECT_EQ(s[1], -2);
    EXPECT_EQ(r.Read(s, 4), 0u);
    r.Rewind();
    EXPECT_EQ(r.Read(s, 1), 1u);
    EXPECT_EQ(s[0], 0x0102);
    std::remove(path.c_str());
}

TEST(WavFile, ReadsTheReferenceRecording) {
    const tilo::TWavData d =
        tilo::ReadWavFile(std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav");
    EXPECT_EQ(d.SampleRate, 11025);
    EXPECT_GT(d.Samples.size(), 11025u * 15);
}

TEST(WavFile, RefusesWhatItCannotReadWithAClearMessage) {
    const Bytes data = "data" + U32(4) + U32(0);
    struct Case { const char* name; Bytes bytes; const char* message; } cases[] = {
        {"notriff", "RIFX" + U32(4) + "WAVE", "not a RIFF/WAVE file"},
        {"short", "RIF", "truncated header"},
        {"float", Riff(Fmt(3, 1, 11025, 32) + data), "format tag 3"},
        {"stereo", Riff(Fmt(1, 2, 11025, 16) + data), "2 channel(s)"},
        {"8bit", Riff(Fmt(1, 1, 11025, 8) + data), "8 bits"},
        {"nodata", Riff(Fmt(1, 1, 11025, 16)), "no data chunk"},
        {"nofmt", Riff(data), "data chunk before fmt chunk"},
        {"truncated", Riff(Fmt(1, 1, 11025, 16) + "data" + U32(100) + U32(0)),
         "truncated data chunk"},
        {"zerorate", Riff(Fmt(1, 1, 0, 16) + data), "invalid sample rate"},
    };
    for (const auto& c : cases) {
        const std::string path = WriteBytes(c.name, c.bytes);
        try {
            tilo::ReadWavFile(path);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const tilo::EWavFile& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        std::remove(path.c_str());
    }
    EXPECT_THROW(tilo::ReadWavFile(TempPath("does-not-exist.wav")), tilo::EWavFile);
    EXPECT_THROW(tilo::WriteWavFile("/nonexistent-dir/x.wav", 11025, {}), tilo::EWavFile);
}

namespace {

using testpipe::TPipeBuf;

// Samples 1, 2, ..., N as bytes.
Bytes Samples(int n) {
    Bytes b;
    for (int i = 1; i <= n; ++i) b += U16(uint16_t(i));
    return b;
}

std::vector<int16_t> ReadAllInBlocks(tilo::TWavReader& r) {
    std::vector<int16_t> all;
    int16_t block[7];
    for (std::size_t n; (n = r.Read(block, 7)) > 0;) all.insert(all.end(), block, block + n);
    return all;
}

}  // namespace

TEST(WavFile, StreamsPipesAndDataOfUnknownOrShortSize) {
    std::vector<int16_t> want(50);
    for (int i = 0; i < 50; ++i) want[i] = int16_t(i + 1);
    const Bytes head = Riff(Fmt(1, 1, 12000, 16) + "LIST" + U32(3) + "abc" + Bytes(1, '\0'));
    struct Case { const char* name; uint32_t size; Bytes extra; bool truncated; } cases[] = {
        {"unknown 0xFFFFFFFF", 0xFFFFFFFFu, "", false},
        {"unknown 0, odd last byte", 0, "x", false},
        {"short by 30 samples", 160, "", true},
    };
    for (const auto& c : cases) {
        const Bytes bytes = head + "data" + U32(c.size) + Samples(50) + c.extra;
        // From a pipe, and from a file.
        TPipeBuf buf(bytes);
        std::istream in(&buf);
        tilo::TWavReader pipe(in, "standard input", true);
        const std::string path = WriteBytes("stream.wav", bytes);
        tilo::TWavReader file(path, true);
        for (tilo::TWavReader* r : {&pipe, &file}) {
            EXPECT_EQ(r->SampleRate(), 12000);
            EXPECT_EQ(ReadAllInBlocks(*r), want) << c.name;
            EXPECT_EQ(r->SampleCount(), 50u) << c.name;
            EXPECT_TRUE(r->AtEnd());
            EXPECT_EQ(r->Truncated(), c.truncated) << c.name;
            EXPECT_EQ(r->SizeUnknown(), !c.truncated) << c.name;
        }
        EXPECT_THROW(pipe.Rewind(), tilo::EWavFile);
        file.Rewind();
        EXPECT_EQ(ReadAllInBlocks(file), want) << c.name;
        std::remove(path.c_str());
    }
    // Not allowed to be truncated, short data from a pipe is refused when its end shows.
    TPipeBuf buf(head + "data" + U32(160) + Samples(50));
    std::istream in(&buf);
    tilo::TWavReader strict(in, "standard input");
    try {
        ReadAllInBlocks(strict);
        ADD_FAILURE() << "short data accepted";
    } catch (const tilo::EWavFile& e) {
        EXPECT_NE(std::string(e.what()).find("truncated data chunk"), std::string::npos) << e.what();
    }
}
