// The data module in a fresh temporary folder that is the application folder for the
// test: the engine started, the station helpers' receiver position at 0/0, no default
// data unless a test writes it, reports and station texts captured, and a
// ProcessMessages hook of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "app/DataModule.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "engine/access/ORQMain.h"

namespace tilo_test {

struct TKitStation {
    int NavArea;
    double Freq;
    const char* Letter;
    const char* Call;
    const char* Location;
    const char* CountryCode;
    double Lat, Lon;
    const char* IdText = "";
    const char* UniqueId = "";
};

// A station appended and posted the way the operator's grid would.
inline void AddKitStation(tilo::TDataModule1& Module, const TKitStation& S) {
    classlib::TDataSet& t = *Module.StationTable;
    t.Append();
    t.FieldByName("NAVAREA")->SetAsInteger(S.NavArea);
    t.FieldByName("FREQ")->SetAsFloat(S.Freq);
    t.FieldByName("IDLETTER")->SetAsString(S.Letter);
    t.FieldByName("CALLSIGN")->SetAsString(S.Call);
    t.FieldByName("LOCATION")->SetAsString(S.Location);
    t.FieldByName("COUNTRYCODE")->SetAsString(S.CountryCode);
    t.FieldByName("LAT")->SetAsFloat(S.Lat);
    t.FieldByName("LON")->SetAsFloat(S.Lon);
    if (*S.IdText) t.FieldByName("IDTEXT")->SetAsString(S.IdText);
    if (*S.UniqueId) t.FieldByName("UNIQUEID")->SetAsString(S.UniqueId);
    t.Post();
}

class DataModuleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        orq::StartEngine();
        Folder = TempFolder();
        char before[4096];
        ASSERT_NE(::getcwd(before, sizeof before), nullptr);
        FBefore = before;
        ASSERT_EQ(::chdir(Folder.c_str()), 0);
        tilo::TDataModule1::DefaultDataFolder = Folder + "/no-default-data";
        tilo::RxLat = 0;
        tilo::RxLon = 0;
    }
    void TearDown() override {
        Module.reset();
        tilo::TDataModule1::DefaultDataFolder.clear();
        EXPECT_EQ(::chdir(FBefore.c_str()), 0);
        orq::StopEngine();
    }

    // Makes the module and installs the callbacks; Open: the log and station tables too.
    void Make(bool Open = true) {
        Module = std::make_unique<tilo::TDataModule1>();
        Module->FOnMessage = [this](const std::string& Text) { Reports.push_back(Text); };
        Module->FOnStationText = [this](const std::string& Text) { StationTexts.push_back(Text); };
        Module->ProcessMessages = [this] {
            if (OnProcess) OnProcess();
        };
        if (Open) {
            Module->LogTable->Open();
            Module->StationTable->Open();
        }
    }

    void AddStation(const TKitStation& S) { AddKitStation(*Module, S); }

    int LogCount() { return Module->LogTable->RecordCount(); }
    std::string Field(const char* Name) { return Module->LogTable->FieldByName(Name)->AsString(); }

    static void WriteFile(const std::string& Name, const std::string& Data) {
        std::ofstream out(Name, std::ios::binary | std::ios::trunc);
        out << Data;
    }
    static std::string ReadFile(const std::string& Name) {
        std::ifstream in(Name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool Exists(const std::string& Name) { return ::access(Name.c_str(), F_OK) == 0; }

    std::string Folder;
    std::unique_ptr<tilo::TDataModule1> Module;
    std::vector<std::string> Reports;
    std::vector<std::string> StationTexts;
    std::function<void()> OnProcess;

private:
    std::string FBefore;
};

}  // namespace tilo_test
