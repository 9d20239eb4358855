// The mixer look-up over fake PATH folders: PulseAudio's control first, ALSA's mixer
// only together with a terminal, files that are not executable programs skipped.
#include "platform/MixerLaunch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace tilo;

namespace {

class MixerLaunch : public testing::Test {
protected:
    void SetUp() override {
        FRoot = std::filesystem::temp_directory_path() / ("mixer." + std::to_string(::getpid()));
        std::filesystem::remove_all(FRoot);
        std::filesystem::create_directories(FRoot / "a");
        std::filesystem::create_directories(FRoot / "b");
    }
    void TearDown() override { std::filesystem::remove_all(FRoot); }

    std::string Make(const std::string& Dir, const std::string& Name, bool Executable = true) {
        const std::filesystem::path p = FRoot / Dir / Name;
        std::ofstream(p) << "#!/bin/sh\n";
        ::chmod(p.c_str(), Executable ? 0755 : 0644);
        return p.string();
    }
    std::string Dirs() const { return (FRoot / "a").string() + ":" + (FRoot / "b").string(); }

    std::filesystem::path FRoot;
};

}  // namespace

TEST_F(MixerLaunch, PrefersPulseAudiosControl) {
    Make("b", "alsamixer");
    Make("b", "x-terminal-emulator");
    const std::string pavu = Make("b", "pavucontrol");
    const auto cmd = FindMixer(Dirs());
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->Program, pavu);
    EXPECT_TRUE(cmd->Arguments.empty());
}

TEST_F(MixerLaunch, AlsaMixerRunsInTheTerminal) {
    const std::string mixer = Make("a", "alsamixer");
    const std::string term = Make("b", "x-terminal-emulator");
    const auto cmd = FindMixer(Dirs());
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->Program, term);
    EXPECT_EQ(cmd->Arguments, (std::vector<std::string>{"-e", mixer}));
}

TEST_F(MixerLaunch, NothingUsableFindsNothing) {
    EXPECT_FALSE(FindMixer(Dirs()));
    Make("a", "alsamixer");  // no terminal to run it in
    EXPECT_FALSE(FindMixer(Dirs()));
    Make("a", "pavucontrol", false);  // not executable
    std::filesystem::create_directories(FRoot / "b" / "x-terminal-emulator");  // a folder
    EXPECT_FALSE(FindMixer(Dirs()));
}

TEST_F(MixerLaunch, TheFirstFolderWins) {
    Make("b", "pavucontrol");
    const std::string first = Make("a", "pavucontrol");
    EXPECT_EQ(FindOnPath("pavucontrol", Dirs()), first);
    EXPECT_EQ(FindOnPath("pavucontrol", "/nonexistent"), "");
}
