// The real main window over the real data module in a fresh temporary folder (the
// application folder and the current one, where the databases are made): the log and
// station tables open, the grid, memo and navigator on DsLog, the NAVAREA boxes filled
// as start-up fills them, scripted prompts, a set local clock. The fixture log is
// written through a table of its own, so its records are stored exactly as given
// (the data module's identification runs only for posts through DsLog).
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QCoreApplication>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DataModuleKit.h"
#include "QtTestApp.h"
#include "WindowFolderFixture.h"
#include "ScriptedPrompts.h"
#include "app/Controls.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/U_Main.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "engine/access/ORQMain.h"

namespace tilo_test {

inline classlib::TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
    return classlib::EncodeDate(uint16_t(Y), uint16_t(M), uint16_t(D)) +
           classlib::EncodeTime(uint16_t(H), uint16_t(N), uint16_t(S), 0);
}

// A date-time in whole milliseconds, as the log stores it.
inline int64_t Ms(classlib::TDateTime Value) { return std::llround(Value * 86400000.0); }

struct TFixRecord {
    classlib::TDateTime Utc;
    int32_t Freq;
    int32_t SigQual;
    std::string IdLetter, MsgType, MsgNumber;
    int32_t NavArea;
    std::string Station, MsgText;
    int32_t Dist;
};

// 48 records, two a day from 2026-04-01: both frequencies in every NAVAREA of 1, 2, 12
// and UNID (NAVAREA 0), letters A, B, E, bodies with "GALE WARNING FORCE 8", "gale
// warning in lower case" or ending in "NAV WARNING".
inline std::vector<TFixRecord> FixtureLog() {
    static const int32_t areas[] = {1, 2, 12, 0};
    static const char* const stations[] = {"GBR12 NITON,G", "FRA3 CROSS CORSEN,F", "NMC SAN FRANCISCO,USA", "UNID"};
    static const char* const bodies[] = {"GALE WARNING FORCE 8", "gale warning in lower case", "NAV WARNING"};
    std::vector<TFixRecord> v;
    for (int i = 0; i < 48; ++i) {
        TFixRecord r;
        r.Utc = At(2026, 4, 1 + i / 2, 3 + (i % 2) * 12, i % 60, 0);
        r.Freq = i % 2 ? 490 : 518;
        r.SigQual = 10 + i;
        const int a = (i / 2) % 4;
        r.NavArea = areas[a];
        r.Station = stations[a];
        r.IdLetter = std::string(1, "ABE"[(i / 5) % 3]);
        r.MsgType = std::string(1, "ABDE"[i % 4]);
        r.MsgNumber = (i < 10 ? "0" : "") + std::to_string(i);
        r.MsgText = "ZCZC " + r.IdLetter + r.MsgType + r.MsgNumber + "\r\n" + bodies[i % 3] + "\r\nNNNN";
        r.Dist = r.NavArea == 0 ? 0 : 100 + 37 * i;
        v.push_back(r);
    }
    return v;
}

inline void SetFields(classlib::TDataSet& T, const TFixRecord& R) {
    T.FieldByName("UTCRECEIVED")->SetAsDateTime(R.Utc);
    T.FieldByName("FREQ")->SetAsInteger(R.Freq);
    T.FieldByName("SIGQUAL")->SetAsFloat(R.SigQual);
    T.FieldByName("IDLETTER")->SetAsString(R.IdLetter);
    T.FieldByName("MSGTYPE")->SetAsString(R.MsgType);
    T.FieldByName("MSGNUMBER")->SetAsString(R.MsgNumber);
    T.FieldByName("NAVAREA")->SetAsInteger(R.NavArea);
    T.FieldByName("STATION")->SetAsString(R.Station);
    T.FieldByName("MSGTEXT")->SetAsString(R.MsgText);
    T.FieldByName("DIST")->SetAsInteger(R.Dist);
}

class LogPagesFixture : public WindowFolderFixture {
protected:
    LogPagesFixture() : WindowFolderFixture(50, 0) {}


    // Writes Records into the log before the module opens it, in one transaction.
    void WriteLog(const std::vector<TFixRecord>& Records) {
        orq::TORQTable t(nullptr);
        t.SetDatabaseName("NAVTEX");
        t.SetTableName("NAVTEXLOG");
        t.Open();
        orq::TORQDatabase& db = *Module->ORQDB;
        db.StartTransaction();
        for (const TFixRecord& r : Records) {
            t.Append();
            SetFields(t, r);
            t.Post();
        }
        db.Commit(true);
        t.Close();
    }

    void AddStation(const TKitStation& S) { AddKitStation(*Module, S); }

    // The module, the fixture log (unless Records is null) and the window on them.
    void Make(const std::vector<TFixRecord>* Records) {
        Module = std::make_unique<tilo::TDataModule1>();
        Module->ProcessMessages = [this] {
            ++Served;
            if (OnProcess) OnProcess();
        };
        if (Records) WriteLog(*Records);
        Module->LogTable->Open();
        Module->StationTable->Open();
        AddStation({1, 518, "A", "GBR12", "NITON", "G", 50.58, -1.3});
        AddStation({2, 518, "E", "FRA7", "LE CONQUET", "F", 48.33, -4.77});
        AddStation({2, 490, "E", "FRA8", "CORSEN", "F", 48.41, -4.79});
        AddStation({12, 518, "B", "NMC", "SAN FRANCISCO", "USA", 37.9, -122.7});
        Module->LogTable->Last();
        W = std::make_unique<tilo::TfrmMain>();
        W->DataModule1 = Module.get();
        W->LocalClockSource = [] { return At(2026, 3, 16, 10, 20, 30); };
        W->DBLogGridView->SetDataSource(Module->DsLog);
        W->DBMemo1->SetDataSource(Module->DsLog);
        W->DBNavigator1->SetDataSource(Module->DsLog);
        W->cbNav->clear();
        W->cbNav->addItems({"*", "UNID"});
        W->cbNavStat->clear();
        for (int n = 1; n <= 21; ++n) {
            W->cbNav->addItem(QString::number(n));
            W->cbNavStat->addItem(QString::number(n));
        }
        W->cbNav->setCurrentIndex(0);
        W->cbNavStat->setCurrentIndex(0);
        W->cbNavStatChange();
        W->resize(1100, 760);
        W->show();
        // Showing starts the delayed start-up tick, which would refill cbNav, reset the
        // pickers and start audio and the feed in the middle of a test that runs past
        // its second: these pages are set up here instead.
        W->TimOpenDB->stop();
        QCoreApplication::processEvents();
    }

    classlib::TDataSet& Log() { return *Module->LogTable; }
    std::string Label() const { return W->lblRecCount->text().toStdString(); }
    std::vector<std::string> SysLogLines() const {
        std::vector<std::string> v;
        for (int i = 0; i < W->meSysLogLineCount(); ++i) v.push_back(W->meSysLogLine(i));
        return v;
    }
    bool SysLogHas(const std::string& Part) const {
        for (const std::string& l : SysLogLines())
            if (l.find(Part) != std::string::npos) return true;
        return false;
    }

    // The UTCRECEIVED of every record the log shows under its filter, in order; the log
    // is left on its last record.
    std::vector<int64_t> Shown() {
        std::vector<int64_t> v;
        classlib::TDataSet& l = Log();
        for (l.First(); !l.Eof(); l.Next()) v.push_back(Ms(l.FieldByName("UTCRECEIVED")->AsDateTime()));
        l.Last();
        return v;
    }

    // Brings up the page that holds Control, so that it is laid out and takes clicks.
    void ShowPageOf(QWidget* Control) {
        for (int i = 0; i < W->PageControl1->count(); ++i)
            if (W->PageControl1->widget(i)->isAncestorOf(Control)) W->PageControl1->setCurrentIndex(i);
        QCoreApplication::processEvents();
    }
    void ClickItem(tilo::TRadioGroup* Group, int Index) {
        const auto buttons = Group->findChildren<QRadioButton*>();
        ShowPageOf(buttons.at(Index));
        // On the indicator: a radio button takes clicks on its indicator and text only.
        QTest::mouseClick(buttons.at(Index), Qt::LeftButton, {}, QPoint(8, buttons.at(Index)->height() / 2));
    }
    void Click(QWidget* Button) {
        ShowPageOf(Button);
        QTest::mouseClick(Button, Qt::LeftButton);
    }
    static void Type(QLineEdit* Edit, const QString& Text) {
        Edit->setFocus();
        Edit->selectAll();
        QTest::keyClick(Edit, Qt::Key_Delete);
        QTest::keyClicks(Edit, Text);
    }
    // Keys into a drop-down list: Home, then Down to Index.
    static void ChooseByKeys(QComboBox* Box, int Index) {
        Box->setFocus();
        QTest::keyClick(Box, Qt::Key_Home);
        for (int i = 0; i < Index; ++i) QTest::keyClick(Box, Qt::Key_Down);
    }


};

}  // namespace tilo_test
