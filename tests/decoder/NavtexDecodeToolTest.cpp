#include "NavtexDecode.h"
#include "NavtexSynth.h"

#include "platform/WavFile.h"

#include <gtest/gtest.h>

#include "tests/PipeBuf.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

using namespace tilo;

namespace {

const std::string Recording = std::string(TILO_TESTDATA_DIR) + "/sitor_b_example_11025.wav";
const std::string RecordingText = "NOW IS THE TIME FOR ALL GOOD MEN TO COME TO THE AID OF THEIR COUNTRY.";

struct TRun {
    int Code;
    std::string Out, Err;
};

TRun RunTool(const std::vector<std::string>& Args) {
    std::ostringstream Out, Err;
    const int Code = NavtexDecodeMain(Args, Out, Err);
    return {Code, Out.str(), Err.str()};
}

using testpipe::TPipeBuf;

TRun RunToolOnInput(const std::vector<std::string>& Args, const std::string& Input) {
    TPipeBuf Buf(Input);
    std::istream In(&Buf);
    std::ostringstream Out, Err;
    const int Code = NavtexDecodeMain(Args, In, Out, Err);
    return {Code, Out.str(), Err.str()};
}

std::string FileBytes(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
}

// The recording with its data size field replaced.
std::string WithDataSize(std::string Bytes, uint32_t Size) {
    const size_t At = Bytes.find("data");
    for (int I = 0; I < 4; ++I) Bytes[At + 4 + I] = static_cast<char>((Size >> (8 * I)) & 0xff);
    return Bytes;
}

std::string TempPath(const std::string& Name) {
    return (std::filesystem::path(TILO_BINARY_DIR) / ("navtex-decode-test-" + Name)).string();
}

void PutLE(std::string& S, uint32_t V, int Bytes) {
    for (int I = 0; I < Bytes; ++I) S += static_cast<char>((V >> (8 * I)) & 0xff);
}

// A WAV header with the given format fields and a short data chunk.
std::string WavBytes(uint16_t Format, uint16_t Channels, uint32_t Rate, uint16_t Bits) {
    std::string Data(400, '\0');
    std::string Fmt;
    PutLE(Fmt, Format, 2);
    PutLE(Fmt, Channels, 2);
    PutLE(Fmt, Rate, 4);
    PutLE(Fmt, Rate * Channels * Bits / 8, 4);
    PutLE(Fmt, Channels * Bits / 8, 2);
    PutLE(Fmt, Bits, 2);
    std::string S = "RIFF";
    PutLE(S, static_cast<uint32_t>(4 + 8 + Fmt.size() + 8 + Data.size()), 4);
    S += "WAVEfmt ";
    PutLE(S, static_cast<uint32_t>(Fmt.size()), 4);
    S += Fmt + "data";
    PutLE(S, static_cast<uint32_t>(Data.size()), 4);
    return S + Data;
}

}  // namespace

TEST(NavtexDecodeTool, RecordingDecodesInNormalPolarity) {
    const TRun R = RunTool({"--centre", "1000", Recording});
    ASSERT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(R.Out, RecordingText + "\n");
    // In the wrong polarity the text is not there.
    const TRun Inverted = RunTool({"--centre", "1000", "--inverted", Recording});
    EXPECT_EQ(Inverted.Code, 0);
    EXPECT_EQ(Inverted.Out.find("THE TIME"), std::string::npos);
}

TEST(NavtexDecodeTool, TickerPrintsTheTickerText) {
    const TRun R = RunTool({"--centre", "1000", "--ticker", Recording});
    ASSERT_EQ(R.Code, 0) << R.Err;
    EXPECT_NE(R.Out.find(RecordingText), std::string::npos) << R.Out;
}

TEST(NavtexDecodeTool, RefusesMissingFilesWrongFormatsAndBadOptions) {
    const std::string Stereo = TempPath("stereo.wav");
    const std::string Rate8k = TempPath("8000.wav");
    const std::string Float = TempPath("float.wav");
    const std::string Text = TempPath("text.wav");
    std::ofstream(Stereo, std::ios::binary) << WavBytes(1, 2, 11025, 16);
    std::ofstream(Rate8k, std::ios::binary) << WavBytes(1, 1, 8000, 16);
    std::ofstream(Float, std::ios::binary) << WavBytes(3, 1, 11025, 32);
    std::ofstream(Text, std::ios::binary) << "not a wave file at all";
    struct Case { std::vector<std::string> Args; int Code; std::string Says; } Cases[] = {
        {{TempPath("missing.wav")}, 1, "missing.wav"},
        {{Stereo}, 1, "stereo.wav"},
        {{Float}, 1, "float.wav"},
        {{Text}, 1, "text.wav"},
        {{Rate8k}, 1, "unsupported sample rate 8000"},
        {{}, 2, "usage"},
        {{"--centre", "abc", Recording}, 2, "--centre"},
        {{"--centre"}, 2, "needs a value"},
        {{"--utc", "yesterday", Recording}, 2, "--utc"},
        {{"--bogus", Recording}, 2, "unknown option --bogus"},
    };
    for (const Case& C : Cases) {
        const TRun R = RunTool(C.Args);
        EXPECT_EQ(R.Code, C.Code) << R.Err;
        EXPECT_NE(R.Err.find(C.Says), std::string::npos) << R.Err;
        EXPECT_TRUE(R.Out.empty());
    }
    for (const std::string& F : {Stereo, Rate8k, Float, Text}) std::remove(F.c_str());
}

TEST(NavtexDecodeTool, JsonStringEscapesControlAndEightBitCharacters) {
    EXPECT_EQ(JsonString(std::string("A\"\\\r\n\x01") + static_cast<char>(181)),
              "\"A\\\"\\\\\\r\\n\\u0001\\u00b5\"");
}

TEST(NavtexDecodeTool, MessagesPrintsOneJsonObjectPerStoredMessage) {
    TSynthOptions O;
    O.SampleRate = 12000;
    O.Centre = 1200;
    const std::string File = TempPath("message.wav");
    WriteWavFile(File, O.SampleRate,
                 ModulateFsk(SitorFecBits(EncodeCcir476("ZCZC EB07\r\nFOG BANK AT 1200 (VIS 1/2).\r\nNNNN\r\n\n"), 15), O));
    const TRun R = RunTool({"--messages", "--utc", "2026-12-09 23:59:50", File});
    std::remove(File.c_str());
    ASSERT_EQ(R.Code, 0) << R.Err;
    // The clock runs with the audio: the header arrives some seconds after the start.
    const std::string Head = "{\"b1\":\"E\",\"b2\":\"B\",\"serial\":\"07\",\"quality\":";
    ASSERT_EQ(R.Out.rfind(Head, 0), 0u) << R.Out;
    EXPECT_NE(R.Out.find(",\"freq\":518,\"text\":\"2026-12-09 23:59:5"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("> ZCZC EB07\\r\\n"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("> FOG BANK AT 1200 (VIS 1/2).\\r\\n"), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find("2026-12-10 00:00:0"), std::string::npos) << R.Out;
    EXPECT_EQ(R.Out.find('\n'), R.Out.size() - 1) << R.Out;
}

TEST(NavtexDecodeTool, CentreAndShiftKeepBothTonesInsideTheBand) {
    // 11025 samples per second: the tones must lie within 1 .. 5511 Hz.
    const std::string Silence = TempPath("silence.wav");
    WriteWavFile(Silence, 11025, std::vector<int16_t>(2048, 0));
    struct Case { std::string Centre, Shift; int Code; std::string Says; } Cases[] = {
        {"86", "170", 0, ""},            // tones 1 and 171 Hz
        {"85", "170", 2, "tones at 0 and 170 Hz"},
        {"5426", "170", 0, ""},          // 5341 and 5511 Hz
        {"5427", "170", 2, "must lie between 0 and 5512 Hz"},
        {"1000", "9000", 2, "tones at -3500 and 5500 Hz"},
        {"2147483647", "170", 2, "tones at 2147483562 and 2147483732 Hz"},  // no wrap
        {"2147483648", "170", 2, "not a positive whole number"},
        {"1000.5", "170", 2, "not a positive whole number"},
        {"-1000", "170", 2, "not a positive whole number"},
        {"1000", "0", 2, "not a positive whole number"},
    };
    for (const Case& C : Cases) {
        const TRun R = RunTool({"--centre", C.Centre, "--shift", C.Shift, Silence});
        EXPECT_EQ(R.Code, C.Code) << C.Centre << " " << C.Shift << ": " << R.Err;
        if (!C.Says.empty()) {
            EXPECT_NE(R.Err.find(C.Says), std::string::npos) << R.Err;
        }
    }
    std::remove(Silence.c_str());
}

TEST(NavtexDecodeTool, StandardInputAndUnknownOrShortDataSizesDecode) {
    const std::string Bytes = FileBytes(Recording);
    const uint32_t Size = static_cast<uint32_t>(Bytes.size() - Bytes.find("data") - 8);
    const std::string Unknown0 = TempPath("unknown0.wav");
    std::ofstream(Unknown0, std::ios::binary) << WithDataSize(Bytes, 0);
    const std::string Short = TempPath("short.wav");
    std::ofstream(Short, std::ios::binary) << WithDataSize(Bytes, Size + 20000);
    struct Case { const char* Name; TRun Run; bool Warned; } Cases[] = {
        {"pipe", RunToolOnInput({"--centre", "1000", "-"}, Bytes), false},
        {"pipe, size 0xFFFFFFFF", RunToolOnInput({"--centre", "1000", "-"}, WithDataSize(Bytes, 0xFFFFFFFFu)), false},
        {"pipe, size 0", RunToolOnInput({"--centre", "1000", "-"}, WithDataSize(Bytes, 0)), false},
        {"file, size 0", RunTool({"--centre", "1000", Unknown0}), false},
        {"pipe, truncated", RunToolOnInput({"--centre", "1000", "-"}, WithDataSize(Bytes, Size + 20000)), true},
        {"file, truncated", RunTool({"--centre", "1000", Short}), true},
    };
    for (const Case& C : Cases) {
        EXPECT_EQ(C.Run.Code, 0) << C.Name << ": " << C.Run.Err;
        EXPECT_EQ(C.Run.Out, RecordingText + "\n") << C.Name;
        const std::string Warning = "warning: " + std::string(C.Name[0] == 'p' ? "standard input" : Short) +
                                    ": the data ends after " + std::to_string(Size / 2) + " of " +
                                    std::to_string(Size / 2 + 10000) + " samples; decoded as far as it goes";
        EXPECT_EQ(C.Run.Err.find(Warning) != std::string::npos, C.Warned) << C.Name << ": " << C.Run.Err;
    }
    std::remove(Unknown0.c_str());
    std::remove(Short.c_str());
}

TEST(NavtexDecodeTool, UnfinishedLineIsPrintedUnlessOnlyTheResetMark) {
    TSynthOptions O;
    O.Centre = 1000;
    const std::string File = TempPath("complete.wav");
    // Ends with the end of emission: the decoder resets and its line holds only "{}".
    WriteWavFile(File, O.SampleRate, ModulateFsk(SitorFecBits(EncodeCcir476("ZCZC EB07\r\nFOG.\r\nNNNN\r\n\n"), 15), O));
    const TRun R = RunTool({"--centre", "1000", File});
    std::remove(File.c_str());
    ASSERT_EQ(R.Code, 0) << R.Err;
    EXPECT_EQ(R.Out, "ZCZC EB07\nFOG.\nNNNN\n");
    // A recording cut off inside a line prints that line: RecordingDecodesInNormalPolarity.
}
