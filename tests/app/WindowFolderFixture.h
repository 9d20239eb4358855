// The page tests' ground: a scratch application folder (with its "LOG" folder) as the
// current directory and TILO_HOME, the engine started, no default data, and the
// receiver's position set; the window goes before the data module at the end.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "QtTestApp.h"
#include "app/DataModule.h"
#include "app/U_Main.h"
#include "app/UCommon.h"
#include "engine/access/ORQMain.h"

namespace tilo_test {

class WindowFolderFixture : public ::testing::Test {
protected:
    WindowFolderFixture(double Lat, double Lon) : FLat(Lat), FLon(Lon) {}

    void SetUp() override {
        orq::StartEngine();
        Folder = TempFolder();
        char before[4096];
        ASSERT_NE(::getcwd(before, sizeof before), nullptr);
        FBefore = before;
        ASSERT_EQ(::chdir(Folder.c_str()), 0);
        ::setenv("TILO_HOME", Folder.c_str(), 1);
        ::mkdir((Folder + "/LOG").c_str(), 0755);
        tilo::TDataModule1::DefaultDataFolder = Folder + "/no-default-data";
        tilo::RxLat = FLat;
        tilo::RxLon = FLon;
    }
    void TearDown() override {
        W.reset();
        Module.reset();
        tilo::TDataModule1::DefaultDataFolder.clear();
        ::unsetenv("TILO_HOME");
        EXPECT_EQ(::chdir(FBefore.c_str()), 0);
        orq::StopEngine();
    }

    std::string Folder;
    std::unique_ptr<tilo::TDataModule1> Module;
    std::unique_ptr<tilo::TfrmMain> W;
    int Served = 0;
    std::function<void()> OnProcess;

private:
    double FLat;
    double FLon;
    std::string FBefore;
};

}  // namespace tilo_test
