// The real main window over the real data module in a fresh temporary folder (the
// application folder and the current one, where the databases are made): the log and
// station tables open, the word table open, the station grid on DSStations and the log
// views on DsLog, the station list filled as start-up fills it, scripted prompts and a
// set UTC clock. Stations are written field by field through their text forms, as the
// station file's import writes them.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "WindowFolderFixture.h"
#include "ScriptedPrompts.h"
#include "app/Controls.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/StationFile.h"
#include "app/U_Main.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "classlib/DateUtils.h"
#include "engine/access/ORQMain.h"

namespace tilo_test {

// A station's 17 field texts in the station file's order.
using TStationTexts = std::array<std::string, tilo::StationFieldCount>;

class StationPagesFixture : public WindowFolderFixture {
protected:
    StationPagesFixture() : WindowFolderFixture(51, 2) {}


    // The module with Stations, and the window on it.
    void Make(const std::vector<TStationTexts>& Stations) {
        Module = std::make_unique<tilo::TDataModule1>();
        Module->ProcessMessages = [this] {
            ++Served;
            if (OnProcess) OnProcess();
        };
        Module->LogTable->Open();
        Module->StationTable->Open();
        Module->WordTable->Open();
        for (const TStationTexts& s : Stations) AddStation(s);
        W = MakeWindow ? MakeWindow() : std::make_unique<tilo::TfrmMain>();
        W->DataModule1 = Module.get();
        W->ClockSource = [this] { return Now; };
        W->DBLogGridView->SetDataSource(Module->DsLog);
        W->DBMemo1->SetDataSource(Module->DsLog);
        W->DBNavigator1->SetDataSource(Module->DsLog);
        W->DBStationGridView->SetDataSource(Module->DSStations);
        FillStationList();
        Module->StationTable->First();
        W->resize(1100, 760);
        W->show();
        // Showing starts the delayed start-up tick, which would reset the pickers, the
        // receiver's position and the lists in the middle of a test that runs past its
        // second: these pages are set up here instead.
        W->TimOpenDB->stop();
        QCoreApplication::processEvents();
    }

    void AddStation(const TStationTexts& S) {
        classlib::TDataSet& t = *Module->StationTable;
        t.Append();
        for (int f = 0; f < tilo::StationFieldCount; ++f)
            t.FieldByName(tilo::StationFieldNames[f])->SetAsString(S[f]);
        t.Post();
    }

    void FillStationList() {
        classlib::TStringList lines;
        tilo::FillStationList(lines);
        W->lbAllStations->clear();
        for (int i = 0; i < lines.Count(); ++i) W->lbAllStations->addItem(QString::fromLatin1(lines[i].c_str()));
    }

    // Every station's field texts in the table's order; the table is left on its first.
    std::vector<TStationTexts> StationTexts() {
        std::vector<TStationTexts> v;
        classlib::TDataSet& t = *Module->StationTable;
        t.DisableControls();
        for (t.First(); !t.Eof(); t.Next()) {
            TStationTexts s;
            for (int f = 0; f < tilo::StationFieldCount; ++f)
                s[f] = t.FieldByName(tilo::StationFieldNames[f])->AsString();
            v.push_back(s);
        }
        t.First();
        t.EnableControls();
        return v;
    }

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
    // The texts of every box shown since Mark (an index into the prompt log).
    std::vector<std::string> Shown(std::size_t Mark = 0) const {
        std::vector<std::string> v;
        for (std::size_t i = Mark; i < Prompts.Log.size(); ++i) v.push_back(Prompts.Log[i].Text);
        return v;
    }

    // Brings up the page that holds Control, so that it is laid out and takes clicks.
    void ShowPageOf(QWidget* Control) {
        for (int i = 0; i < W->PageControl1->count(); ++i)
            if (W->PageControl1->widget(i)->isAncestorOf(Control)) W->PageControl1->setCurrentIndex(i);
        QCoreApplication::processEvents();
    }
    void Click(QWidget* Button) {
        ShowPageOf(Button);
        QTest::mouseClick(Button, Qt::LeftButton);
    }
    void ClickItem(tilo::TRadioGroup* Group, int Index) {
        const auto buttons = Group->findChildren<QRadioButton*>();
        ShowPageOf(buttons.at(Index));
        QTest::mouseClick(buttons.at(Index), Qt::LeftButton, {}, QPoint(8, buttons.at(Index)->height() / 2));
    }
    void ClickRow(QListWidget* List, int Row) {
        ShowPageOf(List);
        QListWidgetItem* item = List->item(Row);
        List->scrollToItem(item);
        QTest::mouseClick(List->viewport(), Qt::LeftButton, {}, List->visualItemRect(item).center());
    }
    void DoubleClickRow(QListWidget* List, int Row) {
        ShowPageOf(List);
        QListWidgetItem* item = List->item(Row);
        List->scrollToItem(item);
        const QPoint at = List->visualItemRect(item).center();
        QTest::mouseClick(List->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(List->viewport(), Qt::LeftButton, {}, at);
    }
    static void Type(QLineEdit* Edit, const QString& Text) {
        Edit->setFocus();
        Edit->selectAll();
        QTest::keyClick(Edit, Qt::Key_Delete);
        QTest::keyClicks(Edit, Text);
    }
    static std::string ReadFile(const std::string& Name) {
        std::ifstream in(Name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void WriteFile(const std::string& Name, const std::string& Data) {
        std::ofstream out(Name, std::ios::binary | std::ios::trunc);
        out << Data;
    }
    std::string StationFile() const { return Folder + "/" + tilo::StationFileName; }

    TScriptedPrompts Prompts;
    classlib::TDateTime Now = classlib::EncodeDate(2024, 6, 21) + classlib::EncodeTime(13, 30, 0, 0);
    // The window the fixture makes; empty: a plain TfrmMain.
    std::function<std::unique_ptr<tilo::TfrmMain>()> MakeWindow;

};

}  // namespace tilo_test
