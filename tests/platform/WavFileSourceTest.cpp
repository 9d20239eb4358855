#include "platform/WavFileSource.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/AudioSource.h"
#include "platform/WavFile.h"

using namespace tilo;

namespace {

std::string TempWav(const std::string& name, int32_t rate, size_t count) {
    const auto path = std::filesystem::temp_directory_path() / ("tilo_src_" + std::to_string(::getpid()) + name);
    std::vector<int16_t> s(count);
    for (size_t i = 0; i < count; ++i) s[i] = int16_t(i * 13);
    WriteWavFile(path.string(), rate, s);
    return path.string();
}

}  // namespace

TEST(WavFileSource, UnpacedDeliversTheWholeFileAndEnds) {
    const std::string file = TempWav("unpaced.wav", 11025, 3000);
    TWavFileSource src(file, false);
    ASSERT_FALSE(src.Open(11025, 1024));
    ASSERT_FALSE(src.Start());
    auto fds = src.PollDescriptors();
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(::poll(fds.data(), fds.size(), 0), 1);  // always ready
    std::vector<int16_t> got(4000);
    TAudioError err;
    EXPECT_EQ(src.Read(got.data(), 4000, err), 3000);
    EXPECT_EQ(got[2999], int16_t(2999 * 13));
    EXPECT_TRUE(src.AtEnd());
    EXPECT_EQ(src.Read(got.data(), 10, err), 0);
    EXPECT_FALSE(src.Close());
    EXPECT_TRUE(src.PollDescriptors().empty());
    std::filesystem::remove(file);
}

TEST(WavFileSource, PacedReleasesSamplesWithTime) {
    const std::string file = TempWav("paced.wav", 11025, 11025);
    TWavFileSource src(file, true);
    ASSERT_FALSE(src.Open(11025, 256));
    ASSERT_FALSE(src.Start());
    std::vector<int16_t> got(11025);
    TAudioError err;
    EXPECT_LT(src.Read(got.data(), 11025, err), 11025);  // a second's worth is not due yet
    auto fds = src.PollDescriptors();
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_EQ(::poll(fds.data(), fds.size(), 2000), 1);  // the timer wakes the owner
    int64_t total = 0;
    for (int i = 0; i < 200 && total == 0; ++i) total = src.Read(got.data(), 11025, err);
    EXPECT_GT(total, 0);
    EXPECT_FALSE(src.AtEnd());
    std::filesystem::remove(file);
}

TEST(WavFileSource, BadFilesAreErrorsNotCrashes) {
    const std::string dir = std::filesystem::temp_directory_path().string();
    const std::string good = TempWav("rate.wav", 12000, 100);
    const std::string junk = dir + "/tilo_src_junk.wav";
    { std::ofstream(junk) << "not a sound file at all"; }
    struct Case { std::string file; int32_t code; } cases[] = {
        {dir + "/tilo_no_such_file.wav", ENOENT}, {junk, EINVAL}, {good, EINVAL}};
    for (const auto& c : cases) {
        TWavFileSource src(c.file, false);
        TAudioError err = src.Open(11025, 1024);
        EXPECT_EQ(err.Code, c.code) << c.file;
        EXPECT_FALSE(err.Text.empty());
        EXPECT_TRUE(src.PollDescriptors().empty());
    }
    // The rate is also what the format query checks.
    EXPECT_EQ(TWavFileSource(good, false).QueryFormat(11025).Code, EINVAL);
    EXPECT_FALSE(TWavFileSource(good, false).QueryFormat(12000));
    std::filesystem::remove(good);
    std::filesystem::remove(junk);
}

TEST(WavFileSource, ATruncatedFilePlaysAsFarAsItGoesWithOneWarning) {
    const std::string cut = TempWav("cut.wav", 11025, 2000);
    std::filesystem::resize_file(cut, 44 + 1000 + 1);  // 500 samples and half of one
    TWavFileSource src(cut, false);
    ASSERT_FALSE(src.Open(11025, 1024));
    EXPECT_EQ(src.TakeWarning(),
              "WAV file \"" + cut + "\": the data ends after 500 of 2000 samples; played as far as it goes");
    EXPECT_EQ(src.TakeWarning(), "");
    ASSERT_FALSE(src.Start());
    std::vector<int16_t> got(2000);
    TAudioError err;
    EXPECT_EQ(src.Read(got.data(), 2000, err), 500);
    EXPECT_EQ(got[499], int16_t(499 * 13));
    EXPECT_TRUE(src.AtEnd());
    EXPECT_TRUE(src.Finite());
    std::filesystem::remove(cut);
}

TEST(CreateAudioSource, AudioFileVariableSelectsTheFile) {
    ::setenv("TILO_AUDIO_FILE", "/tmp/some.wav", 1);
    EXPECT_NE(CreateAudioSource()->Name().find("/tmp/some.wav"), std::string::npos);
    ::unsetenv("TILO_AUDIO_FILE");
    EXPECT_NE(CreateAudioSource()->Name().find("ALSA"), std::string::npos);
}
