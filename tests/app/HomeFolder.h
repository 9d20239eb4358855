// The receiver's ground for a test that runs the window and its store: a scratch
// application folder as the current directory and TILO_HOME, the feed on any free port,
// the engine started; Leave puts all of it back (and the sample rate and position the
// receiver may have changed).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "QtTestApp.h"
#include "app/DataModule.h"
#include "app/UCommon.h"
#include "decoder/UCommon.h"
#include "engine/access/ORQMain.h"

namespace tilo_test {

struct THomeFolder {
    std::filesystem::path Path;
    std::string Before;

    // ASSERT-style failures end the caller's SetUp.
    void Enter() {
        orq::StartEngine();
        Path = TempFolder();
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        Before = cwd;
        ASSERT_EQ(::chdir(Path.c_str()), 0);
        ::setenv("TILO_HOME", Path.c_str(), 1);
        ::setenv("TILO_FEED_PORT", "0", 1);
        tilo::RxLat = tilo::RxLon = 0;
    }
    // A first start fills its database from these default files (in "defaults").
    void Defaults(const std::string& Stations, const std::string& Lexicon) {
        std::filesystem::create_directory(Path / "defaults");
        std::ofstream(Path / "defaults" / "TILO_STATIONS.TXT", std::ios::binary) << Stations;
        std::ofstream(Path / "defaults" / "lexicon.txt", std::ios::binary) << Lexicon;
        tilo::TDataModule1::DefaultDataFolder = (Path / "defaults").string();
    }
    void Leave() {
        tilo::TDataModule1::DefaultDataFolder.clear();
        ::unsetenv("TILO_HOME");
        ::unsetenv("TILO_FEED_PORT");
        EXPECT_EQ(::chdir(Before.c_str()), 0);
        tilo::SetSampleRate(11025);
        tilo::RxLat = tilo::RxLon = 0;
        orq::StopEngine();
    }
};

// One station on the equator and a one-word lexicon: a first start's defaults.
inline constexpr const char* OneStationFile =
    "VERSION5\r\n1#518#E#EQE#EQUATOR EAST#EE#EASTLAND#0#45#######EQUATOR EAST##\r\n";

}  // namespace tilo_test
