// A station table held in memory behind the data source the station walks use, with
// invented stations: what the schedule page's tests build their grids from.
#pragma once

#include <string>
#include <vector>

#include "app/UCommon.h"
#include "tests/classlib/TestDataSet.h"

namespace tilo_test {

struct TStation {
    int navarea;  // 0: stored as 0; -1: left empty
    double freq;
    const char* letter;
    const char* call;
    const char* location;
    const char* cc;
    double lat, lon;
    std::vector<std::string> times;  // T1, T2, ...
};

// A station table with invented stations, behind the data source the routines use.
struct TStationTable {
    classlib_test::TTestDataSet Table;
    classlib::TDataSource Source{nullptr};

    explicit TStationTable(bool WithT6 = true) {
        using classlib_test::TTestDataSet;
        Table.Structure = {{"NAVAREA", classlib::ftSmallint}, {"FREQ", classlib::ftFloat},
                           {"IDLETTER", classlib::ftString, 1}, {"CALLSIGN", classlib::ftString, 8},
                           {"LOCATION", classlib::ftString, 40}, {"COUNTRYCODE", classlib::ftString, 10},
                           {"LAT", classlib::ftFloat}, {"LON", classlib::ftFloat},
                           {"T1", classlib::ftString, 5}, {"T2", classlib::ftString, 5},
                           {"T3", classlib::ftString, 5}, {"T4", classlib::ftString, 5},
                           {"T5", classlib::ftString, 5}};
        if (WithT6) Table.Structure.push_back({"T6", classlib::ftString, 5});
        Table.Open();
        Source.SetDataSet(&Table);
        tilo::DSStations = &Source;
    }
    ~TStationTable() { tilo::DSStations = nullptr; }

    void Add(const TStation& S) {
        Table.Append();
        if (S.navarea >= 0) Table.FieldByName("NAVAREA")->SetAsInteger(S.navarea);
        Table.FieldByName("FREQ")->SetAsFloat(S.freq);
        Table.FieldByName("IDLETTER")->SetAsString(S.letter);
        Table.FieldByName("CALLSIGN")->SetAsString(S.call);
        Table.FieldByName("LOCATION")->SetAsString(S.location);
        Table.FieldByName("COUNTRYCODE")->SetAsString(S.cc);
        Table.FieldByName("LAT")->SetAsFloat(S.lat);
        Table.FieldByName("LON")->SetAsFloat(S.lon);
        for (std::size_t i = 0; i < S.times.size(); ++i)
            Table.FieldByName("T" + std::to_string(i + 1))->SetAsString(S.times[i]);
        Table.Post();
    }
};

}  // namespace tilo_test
