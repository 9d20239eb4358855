// The "Messages" page (the log grid, the selected message, the navigator, the filter
// controls and the text search) and the log clean-up of the "Database" page. All work
// goes through the data module's DsLog and LogTable; the filter texts are the data
// module's.
//
// Rules kept here:
// - The view is in one of three states: unfiltered, filtered by the filter controls
//   (ledFilter flashing when a control is off its default), or text search (record-
//   filter event installed, filter text empty, ledFilter flashing).
// - While the data module's bulk work runs (the search's scan, the clean-up, the
//   statistics, the map report) the handlers that move or filter the log do nothing
//   and their buttons are disabled: their work would interleave with a loop that
//   serves events.
// - MatchSearchText serves events only inside sbTextSearchClick's own scan, at most
//   every 20 ms; run by the grid's later moves it serves none.
// - The deletion's commit and the compaction run on a thread of its own while this
//   thread's event loop serves the sound input (RunBesideTheLoop): the log's controls
//   and stores wait for the bulk work meanwhile, so nothing else reaches the database.
// - The clean-up's deletion runs in one transaction of ORQDB, committed with a flush
//   once the data module's deletion returns and rolled back on any failure: a failure
//   leaves the log as it was, and the operation costs one commit. Every path restores
//   the grid and memo, the database and its datasets, SchedTimer and sbCleanup before
//   a failure goes on to the application's exception event.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/Prompts.h"
#include "app/components/Led.h"
#include "classlib/DB.h"
#include "classlib/DBCommon.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQUserInterface.h"

namespace tilo {

namespace {



// An edit whose typing is upper-cased as it arrives.
QLineEdit* UpperCaseEdit(const char* Name, const QString& Text, QWidget* Parent) {
    auto* e = Named(new QLineEdit(Text, Parent), Name);
    QObject::connect(e, &QLineEdit::textEdited, e, [e](const QString& Typed) {
        const QString upper = Typed.toUpper();
        if (upper == Typed) return;
        const int at = e->cursorPosition();
        e->setText(upper);
        e->setCursorPosition(at);
    });
    return e;
}

// The picker's date and time of day as they stand, as a date-time.
classlib::TDateTime PickerValue(const QDateTimeEdit& Picker) {
    const QDateTime v = Picker.dateTime();
    return classlib::EncodeDate(uint16_t(v.date().year()), uint16_t(v.date().month()), uint16_t(v.date().day())) +
           classlib::EncodeTime(uint16_t(v.time().hour()), uint16_t(v.time().minute()), uint16_t(v.time().second()),
                                uint16_t(v.time().msec()));
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Blank(const std::string& Text) { return Text.find_first_not_of(" \t\r\n") == std::string::npos; }

// The data module's bulk work for a scope; the log work controls off meanwhile.
class TLogWork {
public:
    TLogWork(TfrmMain& Main, TDataModule1& Module, const std::string& Name) : FMain(Main), FModule(Module) {
        FModule.BeginBulkWork(Name);
        FMain.EnableLogWorkControls(false);
    }
    ~TLogWork() {
        try {
            FModule.EndBulkWork();
        } catch (...) {
            // A message of the queue that cannot be stored stays queued; the work ended.
        }
        FMain.EnableLogWorkControls(true);
    }
    TLogWork(const TLogWork&) = delete;
    TLogWork& operator=(const TLogWork&) = delete;

private:
    TfrmMain& FMain;
    TDataModule1& FModule;
};

// Follows the log's data changes (a store, a delete, a filter, an open) for the record
// count; scrolls and field edits change no count.
class TRecordCountLink final : public classlib::TDataLink {
public:
    explicit TRecordCountLink(std::function<void()> Changed) : FChanged(std::move(Changed)) {}

protected:
    void ActiveChanged() override { FChanged(); }
    void DataSetChanged() override { FChanged(); }
    void LayoutChanged() override { FChanged(); }
    void DataSetScrolled(int32_t) override {}
    void RecordChanged(classlib::TField*) override {}

private:
    std::function<void()> FChanged;
};

}  // namespace

void RunBesideTheLoop(const std::function<void()>& Work, const std::function<void()>& Poll) {
    std::atomic<bool> done{false};
    std::exception_ptr failure;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (Poll) Poll();
        if (done) loop.quit();
    });
    // The thread's allocations come from an arena of its own: what this thread freed
    // before (a clean-up's pages) goes back to the system first, or both would be held.
    ::malloc_trim(0);
    std::thread worker([&] {
        try {
            Work();
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    });
    poll.start();
    loop.exec();
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

// The compaction's progress steps served the loop well enough, but its last write of
// the new file and the swap of the two files (half a second for a million messages)
// gave it no step. The wait window is this thread's, fed from the steps.
void CompactBesideTheLoop(orq::TORQDatabase& Database) {
    std::atomic<int32_t> percent{0};
    std::atomic<bool> abort{false};
    const classlib::TNotifyEvent before = Database.BeforeCompact, after = Database.AfterCompact;
    const orq::TORQProgressEvent progress = Database.OnCompactProgress;
    Database.BeforeCompact = [](classlib::TPersistent*) {};
    Database.AfterCompact = [](classlib::TPersistent*) {};
    Database.OnCompactProgress = [&](classlib::TPersistent*, int32_t Percent, bool& Continue) {
        percent = Percent;
        if (abort) Continue = false;
    };
    struct TRestore {
        orq::TORQDatabase& Db;
        const classlib::TNotifyEvent &Before, &After;
        const orq::TORQProgressEvent& Progress;
        ~TRestore() {
            Db.BeforeCompact = Before;
            Db.AfterCompact = After;
            Db.OnCompactProgress = Progress;
        }
    } restore{Database, before, after, progress};
    std::unique_ptr<orq::TORQWaitWindow> wait;
    if (!Database.SilentMode) {
        wait = orq::UserInterface().CreateWaitWindow();
        wait->SetPosition(0);
        wait->StartWait("Compacting Database...");
    }
    struct TStop {
        std::unique_ptr<orq::TORQWaitWindow>& Wait;
        ~TStop() {
            if (Wait) Wait->StopWait();
        }
    } stop{wait};
    RunBesideTheLoop([&] { Database.CompactDatabase(); },
                     [&] {
                         if (!wait) return;
                         wait->SetPosition(percent);
                         if (wait->Aborted()) abort = true;
                     });
}

// ---- the record count ----

// The count is taken once the change is over (not inside the dataset's own event), and
// not while bulk work walks the log: it is taken when that work ends.
void TfrmMain::WatchRecordCount(classlib::TDataSource* Source) {
    if (!FRecordCountLink) {
        FRecordCountTimer = new QTimer(this);
        FRecordCountTimer->setSingleShot(true);
        connect(FRecordCountTimer, &QTimer::timeout, this, [this] {
            if (LogWorkRunning()) FRecordCountTimer->start(100);
            else ShowRecordCount();
        });
        FRecordCountLink = std::make_unique<TRecordCountLink>([this] {
            if (!FRecordCountTimer->isActive()) FRecordCountTimer->start(0);
        });
    }
    FRecordCountLink->SetDataSource(Source);
}

// ---- the pages ----

void TfrmMain::BuildLogPages() {
    // Messages: the filter controls under the grid, beside the navigator.
    auto* page = static_cast<QBoxLayout*>(tsMessages->layout());
    auto* row = new QHBoxLayout;
    RgFreqDB = Named(new TRadioGroup("FREQUENCY", {"BOTH", "518 KHz", "490 KHz"}, tsMessages), "RgFreqDB");
    RgFreqDB->SetItemIndex(0);
    // Its items side by side: stacked, the row took three lines of the page's height
    // from the grid, which then showed three records in a window of 1000 pixels.
    if (auto* items = qobject_cast<QBoxLayout*>(RgFreqDB->layout())) items->setDirection(QBoxLayout::LeftToRight);
    edtID = UpperCaseEdit("edtID", "*", tsMessages);
    edtID->setMaxLength(1);
    edtID->setFixedWidth(28);
    edtSrchtext = UpperCaseEdit("edtSrchtext", "", tsMessages);
    ledFilter = Named(new TLed(tsMessages), "ledFilter");
    ledFilter->setFixedSize(20, 20);
    sbFilter = Named(new QPushButton("Filter data", tsMessages), "sbFilter");
    sbTextSearch = Named(new QPushButton("Start message body search", tsMessages), "sbTextSearch");
    sbClear = Named(new QPushButton("Clear filter", tsMessages), "sbClear");
    row->addWidget(RgFreqDB);
    row->addWidget(new QLabel("ID:", tsMessages));
    row->addWidget(edtID);
    row->addWidget(sbFilter);
    row->addWidget(ledFilter);
    row->addWidget(new QLabel("TEXT:", tsMessages));
    row->addWidget(edtSrchtext, 1);
    row->addWidget(sbTextSearch);
    row->addWidget(sbClear);
    page->insertLayout(2, row);
    connect(sbFilter, &QPushButton::clicked, this, [this] { GuardedAction(sbFilter, [this] { sbFilterClick(); }); });
    connect(sbTextSearch, &QPushButton::clicked, this,
            [this] { GuardedAction(sbTextSearch, [this] { sbTextSearchClick(); }); });
    connect(sbClear, &QPushButton::clicked, this, [this] { GuardedAction(sbClear, [this] { sbClearClick(); }); });
    // Widths from the texts they show: the whole reception time and a readable station
    // text; the one-character codes narrow.
    {
        const QFontMetrics fm = DBLogGridView->fontMetrics();
        const int pad = 2 * fm.horizontalAdvance('0');
        TDBGridColumns& c = DBLogGridView->Columns();
        const std::pair<const char*, const char*> widths[] = {
            {"UTCRECEIVED", "0000-00-00 00:00:00"}, {"FREQ", "FREQ0"},   {"SIGQUAL", "SQ00"},
            {"IDLETTER", "B10"},                    {"MSGTYPE", "B20"},  {"MSGNUMBER", "MSGNUMBER"},
            {"NAVAREA", "NAVAREA"},                 {"STATION", "NMC SAN FRANCISCO,USA / XXXXX"},
            {"DIST", "DIST (Km)0"}};
        for (int32_t i = 0; i < c.Count(); ++i)
            for (const auto& [field, sample] : widths)
                if (c.Items(i).FieldName == field) c.Items(i).Width = fm.horizontalAdvance(sample) + pad;
        c.Changed();
    }
    DBLogGridView->OnKeyDown = [this](int& Key, Qt::KeyboardModifiers Shift) { DBLogGridKeyDown(Key, Shift); };
    DBNavigator1->OnClick = [this](TNavigateBtn) { DBNavigator1Click(); };

    // Database: the clean-up group.
    auto* db = static_cast<QBoxLayout*>(tsDatabase->layout());
    auto* group = Named(new QGroupBox("Log Database Maintenance", tsDatabase), "gbCleanup");
    auto* g = new QVBoxLayout(group);
    rgCleanUp = Named(new TRadioGroup("DELETE RECORDS WHERE  :",
                                      {"OLDER than  selected date ", "DISTANCE  < than  set distance ",
                                       "OLDER than  selected date,  AND distance  < set distance ",
                                       "Delete ALL UNIDs  ( all options above will retain UNIDs)"},
                                      group),
                      "rgCleanUp");
    rgCleanUp->OnClick = [this] { rgCleanUpClick(); };
    edtDist = Named(new QLineEdit("0", group), "edtDist");
    edtDist->hide();
    cbCompact = Named(new QCheckBox("Compact database afterwards", group), "cbCompact");
    sbCleanup = Named(new QPushButton("EXECUTE", group), "sbCleanup");
    connect(sbCleanup, &QPushButton::clicked, this,
            [this] { GuardedAction(sbCleanup, [this] { sbCleanupClick(); }); });
    auto* limits = new QHBoxLayout;
    DTPCleanup->setParent(group);
    limits->addWidget(DTPCleanup);
    limits->addWidget(edtDist);
    limits->addStretch(1);
    g->addWidget(rgCleanUp);
    g->addLayout(limits);
    g->addWidget(cbCompact);
    g->addWidget(sbCleanup, 0, Qt::AlignLeft);
    db->insertWidget(0, group);
    // The file rebuilt into "<file>.tmp", which then replaces it, off the event loop.
    CompactLogDatabase = [](orq::TORQDatabase& Database) { CompactBesideTheLoop(Database); };
}

// ---- the view ----

bool TfrmMain::LogWorkRunning() const { return DataModule1 != nullptr && DataModule1->BulkWorkRunning(); }

void TfrmMain::EnableLogWorkControls(bool Enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{sbFilter, sbTextSearch, sbClear, sbCleanup, sbPlotStats,
                                                     DBNavigator1, DBLogGridView})
        if (w) w->setEnabled(Enabled);
}

namespace {

// The grid follows a filter change once, at its end: the filter's first record and then
// its last would each convert the grid's window.
class TControlsQuiet {
public:
    explicit TControlsQuiet(classlib::TDataSet& Log) : FLog(Log) { FLog.DisableControls(); }
    ~TControlsQuiet() { FLog.EnableControls(); }
    TControlsQuiet(const TControlsQuiet&) = delete;
    TControlsQuiet& operator=(const TControlsQuiet&) = delete;

private:
    classlib::TDataSet& FLog;
};

}  // namespace

void TfrmMain::ShowRecordCount() {
    if (FRecordCountTimer) FRecordCountTimer->stop();
    const int32_t n = DataModule1 ? DataModule1->LogTable->RecordCount() : 0;
    lblRecCount->setText(Q8("RECORDS: " + std::to_string(n)));
}

void TfrmMain::sbFilterClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    edtSrchtext->clear();
    classlib::TDataSet& log = *DataModule1->LogTable;
    {
        TControlsQuiet quiet(log);
        log.SetOnFilterRecord(nullptr);
        const int32_t freq = RgFreqDB->ItemIndex() == 1 ? 518 : RgFreqDB->ItemIndex() == 2 ? 490 : -1;
        DataModule1->SetLogFilter(freq, S8(cbNav->currentText()), S8(edtID->text()));
    }
    ShowRecordCount();
    const bool narrowed = edtID->text() != "*" || cbNav->currentIndex() > 0 || RgFreqDB->ItemIndex() != 0;
    ledFilter->SetFlash(narrowed);
    if (!narrowed) ledFilter->SetStatus(false);
}

void TfrmMain::MatchSearchText(classlib::TDataSet* DataSet, bool& Accept) {
    Accept = DataSet->FieldByName("MSGTEXT")->AsString().find(FSearchText) != std::string::npos;
    if (FSearchScanning && DataModule1 && DataModule1->ProcessMessages) {
        const int64_t now = SteadyMs();
        if (now - FSearchServedAt >= 20) {
            FSearchServedAt = now;
            DataModule1->ProcessMessages();
        }
    }
}

void TfrmMain::sbTextSearchClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    const std::string text = S8(edtSrchtext->text());
    if (Blank(text)) {
        Prompts().ShowMessage("No search text entered!");
        return;
    }
    classlib::TDataSet& log = *DataModule1->LogTable;
    TLogWork work(*this, *DataModule1, "text search");
    struct TScan {
        TfrmMain& M;
        classlib::TDataSet& L;
        TScan(TfrmMain& Main, classlib::TDataSet& Log) : M(Main), L(Log) {
            M.FSearchScanning = true;
            M.FSearchServedAt = SteadyMs();
            L.DisableControls();
        }
        ~TScan() {
            M.FSearchScanning = false;
            L.EnableControls();
        }
    } scan(*this, log);
    FSearchText = text;
    // Filtering off first, so that the record filter runs over the log once.
    log.SetFiltered(false);
    DataModule1->ResetLogView();
    log.SetFilterText("");
    log.SetOnFilterRecord([this](classlib::TDataSet* D, bool& Accept) { MatchSearchText(D, Accept); });
    log.SetFiltered(true);
    cbNav->setCurrentIndex(0);
    RgFreqDB->SetItemIndex(0);
    ledFilter->SetFlash(true);
    ShowRecordCount();
}

void TfrmMain::ClearLogView() {
    classlib::TDataSet& log = *DataModule1->LogTable;
    {
        TControlsQuiet quiet(log);
        log.SetOnFilterRecord(nullptr);
        log.SetFilterText("");
        DataModule1->ResetLogView();
        log.Last();
    }
    edtID->setText("*");
    cbNav->setCurrentIndex(0);
    RgFreqDB->SetItemIndex(0);
    ShowRecordCount();
    ledFilter->SetFlash(false);
    ledFilter->SetStatus(false);
}

void TfrmMain::sbClearClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    ClearLogView();
}

void TfrmMain::DBNavigator1Click() {
    if (!DataModule1) return;
    ShowRecordCount();
}

void TfrmMain::DBLogGridKeyDown(int& Key, Qt::KeyboardModifiers) {
    if (!DataModule1) return;
    if (LogWorkRunning()) {
        Key = 0;
        return;
    }
    classlib::TDataSet* log = DBLogGridView->DataSource() ? DBLogGridView->DataSource()->DataSet() : nullptr;
    if (Key == Qt::Key_Down && log && log->Active() && log->RecNo() == log->RecordCount()) Key = 0;
}

// ---- the clean-up ----

void TfrmMain::rgCleanUpClick() {
    const int32_t i = rgCleanUp->ItemIndex();
    DTPCleanup->setVisible(i == 0 || i == 2);
    edtDist->setVisible(i == 1 || i == 2);
}

void TfrmMain::sbCleanupClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    if (rgCleanUp->ItemIndex() < 0) {
        Prompts().ShowMessage("No action selected.");
        return;
    }
    TDataModule1& dm = *DataModule1;
    orq::TORQDatabase& database = *dm.ORQDB;
    classlib::TDataSet& log = *dm.LogTable;
    sbCleanup->setEnabled(false);
    std::exception_ptr failure;
    bool detached = false, scheduleStopped = false, closed = false;
    try {
        sbFilterClick();
        if (Prompts().MessageDlg("Are you really sure? \rDeleted records CANNOT be recovered...", mtWarning,
                                 mbYes | mbCancel) == mrYes) {
            TLogWork work(*this, dm, "clean-up");
            try {
                SchedTimer->stop();
                scheduleStopped = true;
                SysLog("DATABASE: starting delete operation...");
                DBLogGridView->SetDataSource(nullptr);
                DBMemo1->SetDataSource(nullptr);
                detached = true;
                int32_t deleted = 0;
                database.StartTransaction();
                try {
                    switch (rgCleanUp->ItemIndex()) {
                        case 0: deleted = dm.DeleteIdentifiedBefore(PickerValue(*DTPCleanup)); break;
                        case 1: deleted = dm.DeleteCloserThan(S8(edtDist->text())); break;
                        case 2:
                            deleted = dm.DeleteIdentifiedBeforeCloserThan(S8(edtDist->text()), PickerValue(*DTPCleanup));
                            break;
                        default: deleted = dm.DeleteUnidentified(); break;
                    }
                    // The commit's writes and their flush, beside the loop.
                    RunBesideTheLoop([&] { database.Commit(true); });
                } catch (...) {
                    if (database.InTransaction()) {
                        try {
                            database.Rollback();
                        } catch (...) {
                            // The first failure is the one reported.
                        }
                    }
                    throw;
                }
                DBLogGridView->SetDataSource(dm.DsLog);
                DBMemo1->SetDataSource(dm.DsLog);
                detached = false;
                SysLog("DATABASE: delete operation finished.");
                Prompts().ShowMessage(std::to_string(deleted) + " records deleted.");
                if (cbCompact->isChecked()) {
                    SysLog("DATABASE: starting compacting operation...");
                    dm.LogTable->Close();
                    dm.StationTable->Close();
                    closed = true;
                    database.Close();
                    CompactLogDatabase(database);
                    database.Open();
                    dm.LogTable->Open();
                    dm.StationTable->Open();
                    closed = false;
                    dm.LogTable->Last();
                    SysLog("DATABASE: compacting finished.");
                }
            } catch (...) {
                failure = std::current_exception();
            }
            // The restoring steps run on every path; a failure among them is reported
            // after the first.
            auto restore = [&](const std::function<void()>& Step) {
                try {
                    Step();
                } catch (...) {
                    if (!failure) failure = std::current_exception();
                }
            };
            if (failure && !closed) {
                // After a failed deletion the file holds the log as it was, but the
                // session's pages may not: the database is read afresh.
                restore([&] {
                    dm.LogTable->Close();
                    dm.StationTable->Close();
                    closed = true;
                    database.Close();
                });
            }
            if (closed) {
                // A failed or aborted compaction leaves the original file: open it again.
                restore([&] {
                    if (!database.Connected()) database.Open();
                });
                restore([&] { dm.LogTable->Open(); });
                restore([&] { dm.StationTable->Open(); });
                restore([&] { dm.LogTable->Last(); });
            }
            if (failure && log.Active()) {
                // A rolled back deletion: the view as the filter controls say, read afresh.
                restore([&] {
                    log.SetOnFilterRecord(nullptr);
                    const int32_t freq = RgFreqDB->ItemIndex() == 1 ? 518 : RgFreqDB->ItemIndex() == 2 ? 490 : -1;
                    log.SetFiltered(false);
                    dm.SetLogFilter(freq, S8(cbNav->currentText()), S8(edtID->text()));
                });
            }
            if (detached) {
                DBLogGridView->SetDataSource(dm.DsLog);
                DBMemo1->SetDataSource(dm.DsLog);
            }
            if (scheduleStopped) SchedTimer->start();
        }
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    sbCleanup->setEnabled(true);
    int32_t count = 0;
    try {
        count = log.RecordCount();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (FRecordCountTimer) FRecordCountTimer->stop();  // this handler's own count stands
    lblRecCount->setText(Q8("DELETED RECORDS: " + std::to_string(count)));
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tilo
