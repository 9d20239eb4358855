// The map group of the "Reception Statistics" page: CONNECT, and in gbAtlas (shown once
// connected) the day's map report, the clear button and the report date; and the
// release of the link at shutdown. The call sequences are AtlasLink.h's; this file
// holds the window's state (FAtlas) and walks the log for the report.
//
// Rules kept here:
// - Nothing is sent while FAtlas is empty. FAtlas takes a new object only once CONNECT's
//   whole sequence succeeded; a failure drops the new object and leaves any earlier link
//   and gbAtlas as they were.
// - The report holds the data module's bulk work and does not start while other bulk
//   work runs. It removes any record filter from the log first (a text search left
//   installed would map only the messages holding its text) and, on every path, ends
//   with filtering off and the log on its last record, as "Clear filter" leaves it.
// - The program's map is our own map window unless another back end is installed.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include <exception>

#include "app/AtlasLink.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/MapWindow.h"
#include "app/Prompts.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQMain.h"

namespace tilo {

namespace {

// The filtered log from its current record on: each record's STATION text and the
// position of its station.
class TLogMapSource : public TMapReportSource {
public:
    explicit TLogMapSource(TDataModule1& Module) : FModule(Module), FLog(*Module.LogTable) {}
    bool NextRecord(std::string& Station, double& Lat, double& Lon) override {
        if (FStarted) FLog.Next();
        FStarted = true;
        if (FLog.Eof()) return false;
        Station = FLog.FieldByName("STATION")->AsString();
        FModule.GetStationPosition(Station, Lat, Lon);
        return true;
    }

private:
    TDataModule1& FModule;
    classlib::TDataSet& FLog;
    bool FStarted = false;
};

// Removes Control from Layout or from the row of Layout that holds it.
bool TakeOutOfLayout(QLayout& Layout, QWidget* Control) {
    for (int i = 0; i < Layout.count(); ++i) {
        QLayoutItem* item = Layout.itemAt(i);
        if (item->widget() == Control) {
            delete Layout.takeAt(i);
            return true;
        }
        if (item->layout() && TakeOutOfLayout(*item->layout(), Control)) return true;
    }
    return false;
}

}  // namespace

void TfrmMain::BuildMapLinkGroup() {
    {
        CoAtlas::TFactory installed = CoAtlas::Install({});
        if (installed)
            CoAtlas::Install(std::move(installed));
        else
            TMapWindow::Install();
    }
    // The statistics page's row held the report date; it moves into the group.
    auto* box = Named(new QGroupBox("Map Report", tsStatistics), "gbMap");
    auto* bl = new QHBoxLayout(box);
    btnMapConnect = Named(new QPushButton("CONNECT", box), "btnMapConnect");
    btnMapConnect->setToolTip("Connect to the Tilo map window");
    gbAtlas = Named(new QGroupBox(box), "gbAtlas");
    auto* al = new QHBoxLayout(gbAtlas);
    btnMapReport = Named(new QPushButton("REPORT", gbAtlas), "btnMapReport");
    btnMapClear = Named(new QPushButton("CLEAR", gbAtlas), "btnMapClear");
    if (QLayout* old = dtpAtlas->parentWidget() ? dtpAtlas->parentWidget()->layout() : nullptr) {
        TakeOutOfLayout(*old, dtpAtlas);
        // The label "Map:" that stood before the date goes with it.
        for (QLabel* l : tsStatistics->findChildren<QLabel*>())
            if (l->text() == "Map:") l->hide();
    }
    dtpAtlas->setParent(gbAtlas);
    dtpAtlas->setToolTip("Select Report Date");
    al->addWidget(dtpAtlas);
    al->addWidget(btnMapReport);
    al->addWidget(btnMapClear);
    gbAtlas->hide();
    bl->addWidget(btnMapConnect);
    bl->addWidget(gbAtlas);
    bl->addStretch(1);
    static_cast<QBoxLayout*>(tsStatistics->layout())->addWidget(box);

    connect(btnMapConnect, &QPushButton::clicked, this,
            [this] { GuardedAction(btnMapConnect, [this] { btnMapConnectClick(); }); });
    connect(btnMapReport, &QPushButton::clicked, this,
            [this] { GuardedAction(btnMapReport, [this] { btnMapReportClick(); }); });
    connect(btnMapClear, &QPushButton::clicked, this,
            [this] { GuardedAction(btnMapClear, [this] { btnMapClearClick(); }); });
}

void TfrmMain::btnMapConnectClick() {
    FAtlas = AtlasConnect(RxLat, RxLon);
    gbAtlas->show();
}

void TfrmMain::btnMapClearClick() { AtlasClear(FAtlas.get()); }

void TfrmMain::btnMapReportClick() {
    if (!FAtlas || !DataModule1 || LogWorkRunning()) return;
    TDataModule1& dm = *DataModule1;
    classlib::TDataSet& log = *dm.LogTable;
    const QDate d = dtpAtlas->date();
    const classlib::TDateTime day = classlib::EncodeDate(uint16_t(d.year()), uint16_t(d.month()), uint16_t(d.day()));
    // The object stays alive for the report even if a served event replaced FAtlas.
    const std::shared_ptr<IAtlas> atlas = FAtlas;
    std::exception_ptr failure;
    dm.BeginBulkWork("map report");
    EnableLogWorkControls(false);
    bool closed = false;
    const auto closing = [&] {
        if (closed) return;
        closed = true;
        log.EnableControls();
        log.SetFiltered(false);
        ClearLogView();
    };
    try {
        log.DisableControls();
        log.SetOnFilterRecord(nullptr);
        dm.SetLogFilterPeriod(day, day + 0.9999999);
        log.First();
        TLogMapSource source(dm);
        TMapReportHooks hooks;
        hooks.ProcessMessages = [&dm] {
            if (dm.ProcessMessages) dm.ProcessMessages();
        };
        hooks.Message = [](const std::string& Text) { Prompts().ShowMessage(Text); };
        hooks.Closing = closing;
        AtlasReport(atlas.get(), day, RxLat, RxLon, source, hooks);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        closing();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    try {
        dm.EndBulkWork();
    } catch (...) {
        // A queued message that cannot be stored now stays queued; the work ended.
    }
    EnableLogWorkControls(true);
    if (failure) std::rethrow_exception(failure);
}

void TfrmMain::ReleaseMapLink() {
    // A map that fails its last call must not keep shutdown from its later steps.
    try {
        AtlasRelease(FAtlas);
    } catch (const std::exception& e) {
        AppEvntException("TfrmMain", &e);
    }
}

}  // namespace tilo
