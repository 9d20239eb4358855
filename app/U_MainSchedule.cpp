// The "NAVTEX Schedule" page: one row per 10-minute slot in which a station of a
// chosen NAVAREA transmits on the selected frequency, one column per chosen NAVAREA,
// and the NAVAREA preferences that also limit the schedule line and are saved as
// OPTIONS NAVAREAS.
//
// Grid layout while it is filled: column 0 the slot "hh:mm", column 1 the frequency,
// NAVAREA n in column n + 1; row 0 the headers. Unchecked NAVAREAs lose their columns
// afterwards, from the highest down, so each removal still finds its column at n + 1.
// A rebuild ends with the first data row selected and nothing else, whatever row
// numbers were selected in the grid it replaces.
#include "app/U_Main.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Settings.h"
#include "app/UCommon.h"
#include "classlib/NumConv.h"

namespace tilo {

namespace {

constexpr int32_t NavareaCount = 21;

std::string TwoDigits(int32_t N) { return std::string(1, char('0' + N / 10)) + char('0' + N % 10); }

// Puts Text into column Col of Grid's last row; a filled cell there (a second station
// of one NAVAREA in one slot) first gets a new last row with the slot repeated.
void PutCell(TStringGrid& Grid, int32_t Col, const std::string& Text) {
    int32_t last = Grid.RowCount() - 1;
    if (!Grid.Cells(Col, last).empty()) {
        Grid.SetRowCount(Grid.RowCount() + 1);
        ++last;
        Grid.SetCells(0, last, Grid.Cells(0, last - 1));
    }
    Grid.SetCells(Col, last, Text);
}

}  // namespace

void TfrmMain::BuildSchedulePage() {
    tsSchedule = new QWidget(PageControl1);
    auto* layout = new QVBoxLayout(tsSchedule);
    sgSched = new TStringGrid(tsSchedule);
    sgSched->SetFixedCols(2);
    layout->addWidget(sgSched, 1);

    auto* bottom = new QHBoxLayout;
    gbNavareas = new QGroupBox("Navarea Preferences: check/uncheck to show/hide area's of interest", tsSchedule);
    auto* boxes = new QGridLayout(gbNavareas);
    for (int32_t n = 1; n <= NavareaCount; ++n) {
        auto* box = new TNavareaCheckBox(n, gbNavareas);
        box->setChecked(true);
        boxes->addWidget(box, (n - 1) / 11, (n - 1) % 11);
        NavareaBoxes.push_back(box);
    }
    sbApplyNavarea = new QPushButton("APPLY", gbNavareas);
    cbShowBearing = new QCheckBox("Show Bearings", gbNavareas);
    boxes->addWidget(sbApplyNavarea, 2, 0, 1, 3);
    boxes->addWidget(cbShowBearing, 2, 3, 1, 4);
    bottom->addWidget(gbNavareas, 1);
    btnOnAirNow = new QPushButton("On Air Now", tsSchedule);
    bottom->addWidget(btnOnAirNow);
    layout->addLayout(bottom);
    PageControl1->addTab(tsSchedule, "NAVTEX Schedule");

    connect(sbApplyNavarea, &QPushButton::clicked, this, [this] { sbApplyNavareaClick(); });
    connect(cbShowBearing, &QCheckBox::clicked, this, [this] { cbShowBearingClick(); });
    connect(btnOnAirNow, &QPushButton::clicked, this, [this] { btnOnAirNowClick(); });
}

void TfrmMain::ApplyNavareaString(const std::string& Text) {
    FSelectedNavAreas.clear();
    for (TNavareaCheckBox* box : NavareaBoxes) {
        const std::size_t at = static_cast<std::size_t>(box->Tag - 1);
        box->setChecked(at < Text.size() && Text[at] == '1');
        if (box->isChecked()) FSelectedNavAreas.insert(box->Tag);
    }
}

std::string TfrmMain::NavareaString() const {
    std::string text(NavareaCount, '1');
    for (const TNavareaCheckBox* box : NavareaBoxes)
        if (!box->isChecked()) text[static_cast<std::size_t>(box->Tag - 1)] = '0';
    return text;
}

void TfrmMain::SaveNavareas(const std::string& Text) {
    TSettingsFile settings(SettingsPath());
    settings.WriteNavAreas(Text);
    settings.Save();
}

void TfrmMain::PutScheduleCell(int32_t Col, const std::string& Text) { PutCell(*sgSched, Col, Text); }

void TfrmMain::FillScheduleGrid(TStringGrid& Grid, int32_t Frequency, bool ShowBearings) {
    Grid.SetColCount(2 + NavareaCount);
    Grid.SetRowCount(2);
    Grid.ClearCells();
    Grid.SetCells(0, 0, "TSLOT");
    Grid.SetCells(1, 0, "FREQ");
    for (int32_t n = 1; n <= NavareaCount; ++n) Grid.SetCells(n + 1, 0, "     NAVAREA " + std::to_string(n));

    const std::string freq = std::to_string(Frequency);
    for (int32_t hour = 0; hour < 24; ++hour) {
        for (int32_t minute = 0; minute < 60; minute += 10) {
            // Capture buffers, timers and the feed keep being served during the walk.
            QCoreApplication::processEvents();
            const std::string slot = TwoDigits(hour) + ":" + TwoDigits(minute);
            const int32_t row = Grid.RowCount() - 1;
            Grid.SetCells(0, row, slot);
            Grid.SetCells(1, row, freq);
            std::string entries;
            StationsOnSchedule(slot, Frequency, ShowBearings, entries);
            const bool any = !entries.empty();
            while (!entries.empty()) {
                std::string entry;
                CutToken(entries, '#', entry);
                const std::size_t blank = entry.find(' ');
                int32_t area = -1;
                if (blank == std::string::npos || !classlib::TryStrToInt(entry.substr(0, blank), area)) area = -1;
                if (blank != std::string::npos) entry.erase(blank, 1);
                if (area > 0) PutCell(Grid, area + 1, entry);
            }
            if (any) Grid.SetRowCount(Grid.RowCount() + 1);
        }
    }
    // The last row is the empty one a slot with stations left behind, or a slot
    // without stations waiting to be reused.
    Grid.SetRowCount(Grid.RowCount() - 1);
    Grid.SetLeftCol(2);
    Grid.SetTopRow(1);
}

void TfrmMain::BuildScheduleGrid(bool ShowBearings) {
    FillScheduleGrid(*sgSched, classlib::StrToInt(rgFreq->ItemText()), ShowBearings);
    FSelectedNavAreas.clear();
    for (auto it = NavareaBoxes.rbegin(); it != NavareaBoxes.rend(); ++it) {
        if (!(*it)->isChecked())
            DeleteGridColumn(*sgSched, (*it)->Tag + 1);
        else
            FSelectedNavAreas.insert((*it)->Tag);
    }
    AutoSizeGridColumns(*sgSched);
    SaveNavareas(NavareaString());
    // A row stays only while one of its NAVAREA cells shows a station.
    for (int32_t row = sgSched->RowCount() - 1; row >= 1; --row) {
        bool station = false;
        for (int32_t col = 2; col < sgSched->ColCount() && !station; ++col) station = !sgSched->Cells(col, row).empty();
        if (!station) sgSched->DeleteRow(row);
    }
    // Nothing of the old grid stays selected: row numbers now name other slots.
    sgSched->selectionModel()->clear();
    if (sgSched->RowCount() > 1) sgSched->SelectRow(1);
}

void TfrmMain::sbApplyNavareaClick() {
    BuildScheduleGrid(cbShowBearing->isChecked());
    SchedTimerTimer();
}

void TfrmMain::cbShowBearingClick() {
    BuildScheduleGrid(cbShowBearing->isChecked());
    SchedTimerTimer();
}

void TfrmMain::btnOnAirNowClick() {
    const std::string now = UtcTime().substr(0, 5);
    for (int32_t row = sgSched->RowCount() - 1; row >= 1; --row) {
        const std::string slot = sgSched->Cells(0, row);
        if (!slot.empty() && slot <= now) {
            // The slot's first row goes to the top, so that every row of it stays in view.
            int32_t first = row;
            while (first > 1 && sgSched->Cells(0, first - 1) == slot) --first;
            sgSched->SelectRow(row);
            sgSched->SetTopRow(first);
            return;
        }
    }
}

}  // namespace tilo
