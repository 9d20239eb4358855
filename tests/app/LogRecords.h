// Records shaped like the message log's (NAVTEXLOG) in a test dataset, for the
// data-aware controls' tests and benchmark: the structure, record i of a generated log,
// the texts a grid shows for it, and the store's way of adding one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "tests/classlib/TestDataSet.h"

namespace tilo_test {

struct TLogRecord {
    classlib::TDateTime Utc = 0;
    int32_t Freq = 518;
    int32_t SigQual = 0;
    std::string IdLetter, MsgType, MsgNumber;
    int16_t NavArea = 0;
    std::string Station, MsgText;
    int32_t Dist = 0;
};

inline const char* const LogFields[] = {"UTCRECEIVED", "FREQ",    "SIGQUAL", "IDLETTER", "MSGTYPE",
                                        "MSGNUMBER",   "NAVAREA", "STATION", "MSGTEXT",  "DIST"};

inline void DefineLog(classlib_test::TTestDataSet& DataSet) {
    using namespace classlib;
    DataSet.Structure = {{"UTCRECEIVED", ftDateTime}, {"FREQ", ftInteger},   {"SIGQUAL", ftFloat},
                         {"IDLETTER", ftString, 1},   {"MSGTYPE", ftString, 1}, {"MSGNUMBER", ftString, 4},
                         {"NAVAREA", ftSmallint},     {"STATION", ftString, 75}, {"MSGTEXT", ftMemo},
                         {"DIST", ftInteger}};
}

// Record I of the generated log: one message a minute from 2026-01-01 06:00.
inline TLogRecord LogRecord(int I) {
    TLogRecord r;
    r.Utc = classlib::EncodeDate(2026, 1, 1) + 0.25 + I / 1440.0;
    r.Freq = I % 3 == 0 ? 490 : 518;
    r.SigQual = I % 101;
    r.IdLetter = std::string(1, char('A' + I % 26));
    r.MsgType = std::string(1, char('A' + I % 5));
    char serial[8];
    std::snprintf(serial, sizeof serial, "%02d", I % 100);
    r.MsgNumber = serial;
    r.NavArea = int16_t(1 + I % 21);
    r.Station = I % 7 == 0 ? "UNID" : "GBR" + std::to_string(I % 50) + " NITON,G";
    r.MsgText = "ZCZC " + r.IdLetter + r.MsgType + r.MsgNumber + "\r\nMESSAGE " + std::to_string(I) +
                "\r\nGALE WARNING\r\nNNNN";
    r.Dist = I % 3000;
    return r;
}

// The texts of a grid's cells for R, in the order of LogFields.
inline std::vector<std::string> LogCells(const TLogRecord& R) {
    return {classlib::DateTimeToStr(R.Utc),
            std::to_string(R.Freq),
            std::to_string(R.SigQual),
            R.IdLetter,
            R.MsgType,
            R.MsgNumber,
            std::to_string(R.NavArea),
            R.Station,
            "(MEMO)",
            std::to_string(R.Dist)};
}

inline void SetLogFields(classlib::TDataSet& DataSet, const TLogRecord& R) {
    DataSet.FieldByName("UTCRECEIVED")->SetAsDateTime(R.Utc);
    DataSet.FieldByName("FREQ")->SetAsInteger(R.Freq);
    DataSet.FieldByName("SIGQUAL")->SetAsFloat(R.SigQual);
    DataSet.FieldByName("IDLETTER")->SetAsString(R.IdLetter);
    DataSet.FieldByName("MSGTYPE")->SetAsString(R.MsgType);
    DataSet.FieldByName("MSGNUMBER")->SetAsString(R.MsgNumber);
    DataSet.FieldByName("NAVAREA")->SetAsInteger(R.NavArea);
    DataSet.FieldByName("STATION")->SetAsString(R.Station);
    DataSet.FieldByName("MSGTEXT")->SetAsString(R.MsgText);
    DataSet.FieldByName("DIST")->SetAsInteger(R.Dist);
}

// Opens DataSet with Count generated records, on the first.
inline void FillLog(classlib_test::TTestDataSet& DataSet, int Count) {
    DefineLog(DataSet);
    DataSet.Open();
    DataSet.DisableControls();
    for (int i = 0; i < Count; ++i) {
        DataSet.Append();
        SetLogFields(DataSet, LogRecord(i));
        DataSet.Post();
    }
    DataSet.First();
    DataSet.EnableControls();
}

// The message store's way: remember the record number, append, fill, post, go back.
inline void StoreLog(classlib::TDataSet& DataSet, const TLogRecord& R) {
    const int32_t recNo = DataSet.RecNo();
    DataSet.Append();
    SetLogFields(DataSet, R);
    DataSet.Post();
    DataSet.SetRecNo(recNo);
}

}  // namespace tilo_test
