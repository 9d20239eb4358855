// The "Report" page (reception reports picked from the message grid, saved under LOG/)
// and the "Reception Statistics" page (one station's messages and mean quality per
// day or per month on StatChart).
//
// - Report lines and the file come from ReceptionReport.h; this file only gathers the
//   field texts of the grid's current record and writes the file.
// - A report is written to a temporary file in LOG/ and renamed over the name entered,
//   so a failed save leaves no truncated report. The name must be a plain file name.
// - A plot holds the data module's bulk work (messages arriving meanwhile wait in its
//   queue), removes the text search's record filter before its own filter, and ends as
//   "Clear filter" ends, so the message page's controls never claim a filter that is
//   gone. The chart's series are replaced in bulk.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QCategoryAxis>
#include <QDateTimeEdit>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QValueAxis>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/MesUtilD4.h"
#include "app/Prompts.h"
#include "app/ReceptionReport.h"
#include "app/ReceptionStatistics.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"
#include "decoder/CodeTables.h"
#include "engine/access/ORQMain.h"

namespace tilo {

namespace {



classlib::TDateTime PickerValue(const QDateTimeEdit& Picker) {
    const QDateTime v = Picker.dateTime();
    return classlib::EncodeDate(uint16_t(v.date().year()), uint16_t(v.date().month()), uint16_t(v.date().day())) +
           classlib::EncodeTime(uint16_t(v.time().hour()), uint16_t(v.time().minute()), uint16_t(v.time().second()),
                                uint16_t(v.time().msec()));
}

// A date-time as the chart's axis counts it: milliseconds since 1970-01-01 (the
// record times are UTC, shown as they are).
qreal ChartTime(classlib::TDateTime Value) { return qreal((Value - 25569.0) * 86400000.0); }

// The statistics' time axis from First to Last (their dates): a label at every tick,
// written from the tick's own date ("yyyy-MM-dd", as the records are, whatever the time
// zone) on whole days, or on first days of months when Monthly, at most about eight.
void SetStatisticsDateAxis(QCategoryAxis& Axis, classlib::TDateTime First, classlib::TDateTime Last, bool Monthly) {
    for (const QString& label : Axis.categoriesLabels()) Axis.remove(label);
    const classlib::TDateTime first = std::floor(First);
    const classlib::TDateTime last = std::max(std::floor(Last), first + 1);
    constexpr int32_t Most = 8;
    std::vector<classlib::TDateTime> ticks;
    if (Monthly) {
        uint16_t y, m, d, ly, lm, ld;
        classlib::DecodeDate(first, y, m, d);
        classlib::DecodeDate(last, ly, lm, ld);
        const int32_t months = (ly - y) * 12 + (lm - m);
        const int32_t step = std::max(1, (months + Most - 1) / Most);
        for (int32_t k = 0; k <= months; k += step) {
            const int32_t n = (m - 1) + k;
            ticks.push_back(classlib::EncodeDate(uint16_t(y + n / 12), uint16_t(n % 12 + 1), 1));
        }
    } else {
        const int32_t days = int32_t(last - first);
        const int32_t step = std::max(1, (days + Most - 1) / Most);
        for (int32_t k = 0; k <= days; k += step) ticks.push_back(first + k);
    }
    Axis.setStartValue(ChartTime(first));
    Axis.setRange(ChartTime(first), ChartTime(std::max(last, ticks.back())));
    for (classlib::TDateTime t : ticks)
        if (t >= first) Axis.append(QString::fromLatin1(classlib::DateToStr(t)), ChartTime(t));
}

QCategoryAxis* StatisticsDateAxis(QChartView& Chart) {
    const auto axes = Chart.chart()->axes(Qt::Horizontal);
    return axes.isEmpty() ? nullptr : qobject_cast<QCategoryAxis*>(axes.first());
}

std::vector<std::string> MemoLinesOf(const QPlainTextEdit& Memo) {
    return MemoLines(S8(Memo.toPlainText()));
}

TReportRecord ReportRecordOf(const classlib::TDataSet& Log) {
    auto text = [&](const char* Name) { return Log.FieldByName(Name)->AsString(); };
    TReportRecord r;
    r.UtcReceived = ReportDateTimeText(Log.FieldByName("UTCRECEIVED")->AsDateTime());
    r.Freq = text("FREQ");
    r.SigQual = text("SIGQUAL");
    r.IdLetter = text("IDLETTER");
    r.MsgType = text("MSGTYPE");
    r.NavArea = text("NAVAREA");
    r.Station = text("STATION");
    r.Dist = text("DIST");
    return r;
}

// Writes Bytes as Folder + Name through a temporary file in Folder; the system's text
// of the failure, empty on success.
std::string WriteReplacing(const std::string& Folder, const std::string& Name, const std::string& Bytes) {
    std::string temp = Folder + ".report-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return std::strerror(errno);
    std::string failure;
    for (std::size_t done = 0; done < Bytes.size() && failure.empty();) {
        const ssize_t n = ::write(fd, Bytes.data() + done, Bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) failure = std::strerror(n < 0 ? errno : ENOSPC);
        else done += std::size_t(n);
    }
    if (failure.empty() && ::fchmod(fd, 0644) != 0) failure = std::strerror(errno);
    if (::close(fd) != 0 && failure.empty()) failure = std::strerror(errno);
    if (failure.empty() && std::rename(temp.c_str(), (Folder + Name).c_str()) != 0) failure = std::strerror(errno);
    if (!failure.empty()) ::unlink(temp.c_str());
    return failure;
}

QLineSeries* StatSeries(QChartView& Chart, int Index) {
    const auto s = Chart.chart()->series();
    return Index < s.size() ? qobject_cast<QLineSeries*>(s[Index]) : nullptr;
}

}  // namespace

// ---- the pages ----

void TfrmMain::BuildReportPages() {
    // Report: the report and raw log beside their options.
    auto* report = new QHBoxLayout(tsReport);
    auto* memos = new QVBoxLayout;
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    meResume = Named(new QPlainTextEdit(tsReport), "meResume");
    meRAW = Named(new QPlainTextEdit(tsReport), "meRAW");
    for (QPlainTextEdit* m : {meResume, meRAW}) {
        m->setFont(fixed);
        m->setLineWrapMode(QPlainTextEdit::NoWrap);
    }
    memos->addWidget(meResume, 1);
    memos->addWidget(new QLabel("RAW LOG", tsReport));
    memos->addWidget(meRAW, 1);
    auto* options = new QVBoxLayout;
    rgReportFormat = Named(new TRadioGroup("Report Format", {"NDBList", "KX-R"}, tsReport), "rgReportFormat");
    rgReportFormat->SetItemIndex(0);
    rgHeadFoot = Named(
        new TRadioGroup("Personal Info", {"Do not include", "Include as header", "Include as footer"}, tsReport),
        "rgHeadFoot");
    rgHeadFoot->SetItemIndex(0);
    sbSavereport = Named(new QPushButton("SAVE REPORT AS...", tsReport), "sbSavereport");
    sbClearReport = Named(new QPushButton("NEW REPORT", tsReport), "sbClearReport");
    auto* reverser = Named(new QGroupBox("FIGURES/LETTERS SHIFT REVERSER", tsReport), "gbReverser");
    auto* rl = new QHBoxLayout(reverser);
    edtRevShift = Named(new QLineEdit(reverser), "edtRevShift");
    sbReverse = Named(new QPushButton("REV", reverser), "sbReverse");
    rl->addWidget(edtRevShift, 1);
    rl->addWidget(sbReverse);
    options->addWidget(rgReportFormat);
    options->addWidget(rgHeadFoot);
    options->addWidget(sbSavereport);
    options->addWidget(sbClearReport);
    options->addWidget(reverser);
    options->addStretch(1);
    report->addLayout(memos, 3);
    report->addLayout(options, 1);
    connect(sbSavereport, &QPushButton::clicked, this,
            [this] { GuardedAction(sbSavereport, [this] { sbSavereportClick(); }); });
    connect(sbClearReport, &QPushButton::clicked, this, [this] { sbClearReportClick(); });
    connect(sbReverse, &QPushButton::clicked, this, [this] { sbReverseClick(); });
    DBLogGridView->OnMouseUp = [this](Qt::MouseButton B, Qt::KeyboardModifiers S, int X, int Y) {
        DBLogGridMouseUp(B, S, X, Y);
    };

    // Reception Statistics: two rows of controls above the chart, the station's
    // (NAVAREA, frequency, station) and the plot's (what, per what, the period); the
    // page's row of NAVAREA and period is shared out between them.
    QLayout* frameRow = tsStatistics->layout();
    auto* row = new QHBoxLayout;
    auto* plot = new QHBoxLayout;
    while (QLayoutItem* item = frameRow->takeAt(0)) {
        if (item->widget() == DtpStart || item->widget() == DtpEnd) {
            delete item;
            continue;
        }
        row->addItem(item);
    }
    delete frameRow;
    cbFreq = Named(new QComboBox(tsStatistics), "cbFreq");
    cbFreq->addItems({"518", "490"});
    connect(cbFreq, &QComboBox::activated, this, [this] { GuardedAction(cbFreq, [this] { cbNavStatChange(); }); });
    cbNavStations = Named(new QComboBox(tsStatistics), "cbNavStations");
    cbNavStations->setMinimumContentsLength(24);
    rgDayMonth = Named(new TRadioGroup("", {"Per Day", "Per Month"}, tsStatistics), "rgDayMonth");
    rgDayMonth->SetItemIndex(0);
    cbMsgCount = Named(new QCheckBox("Plot Message Count", tsStatistics), "cbMsgCount");
    cbMsgCount->setChecked(true);
    cbSigQual = Named(new QCheckBox("Plot Signal Quality", tsStatistics), "cbSigQual");
    cbSigQual->setChecked(true);
    sbPlotStats = Named(new QPushButton("PLOT", tsStatistics), "sbPlotStats");
    connect(sbPlotStats, &QPushButton::clicked, this,
            [this] { GuardedAction(sbPlotStats, [this] { sbPlotStatsClick(); }); });
    int at = 2;  // after "NAVAREA:" and cbNavStat
    row->insertWidget(at++, new QLabel("KHz:", tsStatistics));
    row->insertWidget(at++, cbFreq);
    row->insertWidget(at++, cbNavStations);
    auto* checks = new QVBoxLayout;
    checks->addWidget(cbMsgCount);
    checks->addWidget(cbSigQual);
    plot->addWidget(rgDayMonth);
    plot->addLayout(checks);
    plot->addWidget(DtpStart);
    plot->addWidget(DtpEnd);
    plot->addWidget(sbPlotStats);
    plot->addStretch(1);

    auto* chart = new QChart;
    chart->legend()->setVisible(true);
    auto* count = new QLineSeries(chart);
    count->setName("Message Count");
    auto* quality = new QLineSeries(chart);
    quality->setName("Signal Quality");
    chart->addSeries(count);
    chart->addSeries(quality);
    auto* x = new QCategoryAxis(chart);
    x->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    SetStatisticsDateAxis(*x, PickerValue(*DtpStart), PickerValue(*DtpEnd), false);
    auto* left = new QValueAxis(chart);
    left->setLabelFormat("%d");
    left->setTitleText("Messages");
    auto* right = new QValueAxis(chart);
    right->setRange(0, 100);
    right->setLabelFormat("%d");
    right->setTitleText("Quality");
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(left, Qt::AlignLeft);
    chart->addAxis(right, Qt::AlignRight);
    count->attachAxis(x);
    count->attachAxis(left);
    quality->attachAxis(x);
    quality->attachAxis(right);
    StatChart = Named(new QChartView(chart), "StatChart");
    // Room for both axis titles upright and a week of days read apart.
    StatChart->setMinimumHeight(320);
    SpeedButton2 = Named(new QPushButton("CLOSE", tsStatistics), "SpeedButton2");
    connect(SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });
    // The two rows are the top of a column with the chart under it.
    auto* holder = new QWidget(tsStatistics);
    holder->setObjectName("StatControls");
    auto* rows = new QVBoxLayout(holder);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->addLayout(row);
    rows->addLayout(plot);
    auto* column = new QVBoxLayout;
    column->addWidget(holder);
    auto* chartRow = new QHBoxLayout;
    chartRow->addWidget(StatChart, 1);
    chartRow->addWidget(SpeedButton2, 0, Qt::AlignTop);
    column->addLayout(chartRow, 1);
    tsStatistics->setLayout(column);
}

// ---- the report ----

void TfrmMain::DBLogGridMouseUp(Qt::MouseButton, Qt::KeyboardModifiers Shift, int, int) {
    if (!(Shift & Qt::ShiftModifier) || DBLogGridView->SelectedIndex() != 0) return;
    classlib::TDataSource* source = DBLogGridView->DataSource();
    classlib::TDataSet* log = source ? source->DataSet() : nullptr;
    if (!log || !log->Active() || log->IsEmpty()) return;
    const std::string line =
        ReportLine(static_cast<TReportFormat>(std::max(0, rgReportFormat->ItemIndex())), ReportRecordOf(*log));
    meResume->appendPlainText(Q8(line));
    meRAW->appendPlainText("---");
    meRAW->appendPlainText(Q8(line));
    for (const std::string& l : MemoLines(log->FieldByName("MSGTEXT")->AsString())) meRAW->appendPlainText(Q8(l));
}

void TfrmMain::sbClearReportClick() {
    meResume->clear();
    meRAW->clear();
}

void TfrmMain::sbReverseClick() { edtRevShift->setText(Q8(SwapCaseText(S8(edtRevShift->text())))); }

void TfrmMain::sbSavereportClick() {
    const auto format = static_cast<TReportFormat>(std::max(0, rgReportFormat->ItemIndex()));
    const std::string now = ReportDateTimeText(LocalNow());
    std::string name = ReportFileNameProposal(format, now);
    if (!Prompts().InputQuery("SAVE LOG", "enter filename", name)) return;
    TReportInput in;
    in.Format = format;
    in.PersonalInfoPlace = static_cast<TPersonalInfoPlace>(std::max(0, rgHeadFoot->ItemIndex()));
    in.LocalDateTime = now;
    in.PersonalInfo = MemoLinesOf(*mePersonalInfo);
    in.Resume = MemoLinesOf(*meResume);
    in.Raw = MemoLinesOf(*meRAW);
    std::string failure = CheckReportFileName(name);
    if (failure.empty()) failure = WriteReplacing(ApplicationFolder() + "LOG/", name, BuildReport(in));
    if (failure.empty()) return;
    SysLog("SYS: cannot save report; system reports:\r" + failure);
    Prompts().ShowMessage("cannot save file, see System Log for details...");
}

// ---- the statistics ----

void TfrmMain::cbNavStatChange() {
    cbNavStations->clear();
    if (!DataModule1) return;
    const std::string navArea = S8(cbNavStat->currentText());
    const int32_t freq = classlib::StrToInt(S8(cbFreq->currentText()));
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        int32_t dist = 0, bearing = 0;
        std::string station;
        DataModule1->FindStationsByArea(navArea, std::string(1, letter), freq, dist, bearing, station);
        if (station != "UNID") cbNavStations->addItem(Q8(std::string(1, letter) + ":" + station));
    }
    if (cbNavStations->count() > 0) cbNavStations->setCurrentIndex(0);
}

void TfrmMain::sbPlotStatsClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    if (cbNavStations->currentIndex() < 0) {
        Prompts().ShowMessage("No station selected !");
        return;
    }
    const char letter = S8(cbNavStations->currentText()).front();
    const int32_t navArea = classlib::StrToInt(S8(cbNavStat->currentText()));
    const int32_t freq = classlib::StrToInt(S8(cbFreq->currentText()));
    if (rgDayMonth->ItemIndex() == 1)
        PlotMonthlyStatistics(letter, navArea, freq);
    else
        PlotDailyStatistics(letter, navArea, freq);
}

void TfrmMain::PlotDailyStatistics(char IdLetter, int32_t NavArea, int32_t Freq) {
    PlotStatistics(false, IdLetter, NavArea, Freq);
}

void TfrmMain::PlotMonthlyStatistics(char IdLetter, int32_t NavArea, int32_t Freq) {
    PlotStatistics(true, IdLetter, NavArea, Freq);
}

void TfrmMain::PlotStatistics(bool Monthly, char IdLetter, int32_t NavArea, int32_t Freq) {
    if (!DataModule1 || LogWorkRunning()) return;
    const classlib::TDateTime start = PickerValue(*DtpStart), end = PickerValue(*DtpEnd);
    if (!(Monthly ? MonthlyPeriodValid(start, end) : DailyPeriodValid(start, end))) {
        Prompts().ShowMessage("EndDate must be > StartDate!");
        return;
    }
    TDataModule1& dm = *DataModule1;
    classlib::TDataSet& log = *dm.LogTable;
    std::exception_ptr failure;
    {
        dm.BeginBulkWork(Monthly ? "monthly statistics" : "daily statistics");
        EnableLogWorkControls(false);
        try {
            DBLogGridView->SetDataSource(nullptr);
            DBMemo1->SetDataSource(nullptr);
            FStatistics.clear();
            int32_t dist = 0, bearing = 0;
            std::string station;
            dm.FindStationsByArea(std::to_string(NavArea), std::string(1, IdLetter), Freq, dist, bearing, station);
            log.SetOnFilterRecord(nullptr);
            log.SetFiltered(false);
            // A month's last day counts whole: its records lie after its 00:00.
            const classlib::TDateTime from = Monthly ? FirstDayOfMonth(start) : start;
            const classlib::TDateTime to = Monthly ? LastDayOfMonth(end) + classlib::EncodeTime(23, 59, 59, 0) : end;
            dm.SetLogFilterStationPeriod(IdLetter, NavArea, from, to, Freq);
            log.First();
            if (log.IsEmpty()) {
                Prompts().ShowMessage(Monthly ? "Sorry, no data available for this station in the selected period"
                                              : "Sorry, no data found for this station in this period");
            } else {
                auto serve = [&dm] {
                    if (dm.ProcessMessages) dm.ProcessMessages();
                };
                if (Monthly)
                    WalkMonthlyStatistics(log, start, end, FStatistics, serve);
                else
                    WalkDailyStatistics(log, start, end, FStatistics, serve);
                QList<QPointF> counts, means;
                for (const TStatisticsEntry& e : FStatistics) {
                    const qreal t = ChartTime(classlib::StrToDate(e.Date));
                    if (cbMsgCount->isChecked()) counts.append(QPointF(t, e.Count));
                    if (cbSigQual->isChecked()) means.append(QPointF(t, e.Mean));
                }
                QChart* chart = StatChart->chart();
                chart->setTitle(Q8(StatisticsTitle(station, Freq, dist, bearing)));
                int32_t most = 1;
                for (const TStatisticsEntry& e : FStatistics) most = std::max(most, e.Count);
                const classlib::TDateTime last = Monthly ? LastDayOfMonth(end) : end;
                if (QCategoryAxis* x = StatisticsDateAxis(*StatChart))
                    SetStatisticsDateAxis(*x, classlib::StrToDate(FStatistics.front().Date), last, Monthly);
                // Counts are whole: ticks a whole step apart (at most ten steps), so
                // that no two labels of the "%d" format read alike.
                const int32_t step = (most + 9) / 10;
                const int32_t top = (most + step - 1) / step * step;
                for (QAbstractAxis* a : chart->axes(Qt::Vertical))
                    if (a->alignment() == Qt::AlignLeft) {
                        a->setRange(0, top);
                        if (auto* v = qobject_cast<QValueAxis*>(a)) v->setTickCount(top / step + 1);
                    }
                StatSeries(*StatChart, 0)->replace(counts);
                StatSeries(*StatChart, 1)->replace(means);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        // Step 8 on every path, then the view as "Clear filter" leaves it.
        DBLogGridView->SetDataSource(dm.DsLog);
        DBMemo1->SetDataSource(dm.DsLog);
        try {
            log.SetFilterText("");
            log.SetFiltered(false);
            ClearLogView();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        try {
            dm.EndBulkWork();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        EnableLogWorkControls(true);
    }
    if (failure) std::rethrow_exception(failure);
}

void TfrmMain::SpeedButton2Click() {
    StatChart->chart()->setTitle("");
    for (int i = 0; i < 2; ++i)
        if (QLineSeries* s = StatSeries(*StatChart, i)) s->clear();
    FStatistics.clear();
}

}  // namespace tilo
