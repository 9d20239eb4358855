// The "Report" and "Reception Statistics" pages on the real window and data module:
// Shift-clicks into the report, the saved file against the hand-written golden files,
// the name proposal and the save's failures, REV; the station box, both plots from the
// engine log with their texts, series and title, and the view cleared after a plot.
#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QCategoryAxis>
#include <QValueAxis>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "MessageLogKit.h"
#include "app/ReceptionReport.h"
#include "app/components/Led.h"

using namespace tilo;
using namespace tilo_test;

namespace {

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The golden files' three records.
std::vector<TFixRecord> ReportLog() {
    return {{At(2026, 3, 14, 6, 5, 9), 518, 49, "A", "B", "12", 1, "GBR12 NITON,G", "ZCZC AB12\r\nGALE WARNING\r\nNNNN", 250},
            {At(2026, 3, 15), 490, 100, "S", "A", "01", 12, "NMC SAN FRANCISCO,USA", "ZCZC SA01\r\nNAV WARNING 01\r\nNNNN",
             8734},
            {At(2026, 3, 15, 13, 45, 30), 518, 50, "Q", "Z", "99", 0, "UNID", "ZCZC QZ99\r\nQRU\r\nNNNN", 0}};
}

class ReportPage : public LogPagesFixture {
protected:
    // Shift-click (or a plain click) on Column of the grid's active row.
    void ClickCell(int Column, Qt::KeyboardModifiers Modifiers = Qt::ShiftModifier) {
        ShowPageOf(W->DBLogGridView);
        TDBGrid& g = *W->DBLogGridView;
        const QRect r = g.visualRect(g.model()->index(g.Model().ActiveRow(), Column));
        QTest::mouseClick(g.viewport(), Qt::LeftButton, Modifiers, r.center());
    }
    void PickAll(int Column = 0) {
        for (Log().First(); !Log().Eof(); Log().Next()) ClickCell(Column);
    }
    // The log's line, its CR and the system's text (the memo shows the CR as a break).
    bool SaveFailureLogged(const std::string& Reason) {
        const auto lines = SysLogLines();
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            if (lines[i].find("SYS: cannot save report; system reports:") != std::string::npos &&
                lines[i + 1] == Reason)
                return true;
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all.find("SYS: cannot save report; system reports:\r" + Reason) != std::string::npos;
    }
    TScriptedPrompts Prompts;
};

const char* const Personal = "JOHN OPERATOR\nRX: SDR, LW ANTENNA\nLOCATOR JO22";

}  // namespace

TEST_F(ReportPage, ShiftClicksOnTheLeftmostColumnBuildTheGoldenReports) {
    const auto log = ReportLog();
    Make(&log);
    // Elsewhere, or without Shift, nothing.
    ClickCell(3);
    ClickCell(0, Qt::NoModifier);
    EXPECT_TRUE(W->meResume->toPlainText().isEmpty());
    EXPECT_TRUE(W->meRAW->toPlainText().isEmpty());
    struct Case {
        int format, place;
        std::string personal;
        const char* golden;
    } cases[] = {
        {0, 1, Personal, "NDB-HEADER.TXT"},
        {1, 2, Personal, "KXR-FOOTER.TXT"},
        {0, 1, "JOHN OPERATOR", "NDB-PLAIN.TXT"},  // one line: not added
        {1, 0, Personal, "KXR-PLAIN.TXT"},         // "Do not include"
    };
    for (const Case& c : cases) {
        Click(W->sbClearReport);
        EXPECT_TRUE(W->meResume->toPlainText().isEmpty());
        ClickItem(W->rgReportFormat, c.format);
        ClickItem(W->rgHeadFoot, c.place);
        W->mePersonalInfo->setPlainText(QString::fromLatin1(c.personal.c_str()));
        PickAll();
        Prompts.Inputs.push_back({true, c.golden});
        Click(W->sbSavereport);
        ASSERT_FALSE(Prompts.Log.empty());
        EXPECT_EQ(Prompts.Log.back().Text, "SAVE LOG|enter filename");
        EXPECT_EQ(ReadFile(Folder + "/LOG/" + c.golden), ReadFile(std::string(TILO_TESTDATA_DIR) + "/reports/" + c.golden))
            << c.golden;
    }
    EXPECT_FALSE(SysLogHas("cannot save report"));
    ShowPageOf(W->meResume);
    SaveGrab(W->grab().toImage(), "report-page");
}

TEST_F(ReportPage, TheProposedNameCancelAnInvalidNameAndAnUnwritableFolder) {
    const auto log = ReportLog();
    Make(&log);
    Prompts.Inputs.push_back({false, ""});
    Click(W->sbSavereport);
    ClickItem(W->rgReportFormat, 1);
    Prompts.Inputs.push_back({false, ""});
    Click(W->sbSavereport);
    EXPECT_EQ(Prompts.Log.size(), 2u);  // Cancel: nothing else
    EXPECT_EQ(::access((Folder + "/LOG/KXR20260316 102030.TXT").c_str(), F_OK), -1);
    for (const char* bad : {"", "..", "../Tilo.ini", "a/b"}) {
        Prompts.Log.clear();
        Prompts.Inputs.push_back({true, bad});
        Click(W->sbSavereport);
        ASSERT_EQ(Prompts.Log.size(), 2u) << bad;
        EXPECT_EQ(Prompts.Log[1].Text, "cannot save file, see System Log for details...");
        EXPECT_TRUE(SaveFailureLogged("invalid file name")) << bad;
    }
    EXPECT_EQ(::access((Folder + "/Tilo.ini").c_str(), F_OK), -1);
    // An unwritable LOG folder: the system's text, no file, no temporary left.
    ASSERT_EQ(::chmod((Folder + "/LOG").c_str(), 0500), 0);
    const bool root = ::geteuid() == 0;
    Prompts.Log.clear();
    Prompts.Inputs.push_back({true, "R.TXT"});
    Click(W->sbSavereport);
    ::chmod((Folder + "/LOG").c_str(), 0755);
    if (!root) {
        EXPECT_TRUE(SaveFailureLogged("Permission denied"));
        EXPECT_EQ(Prompts.Log.back().Text, "cannot save file, see System Log for details...");
    }
    // LOG replaced by a plain file: fails for root too.
    std::filesystem::remove_all(Folder + "/LOG");
    std::ofstream(Folder + "/LOG") << "x";
    Prompts.Log.clear();
    Prompts.Inputs.push_back({true, "R.TXT"});
    Click(W->sbSavereport);
    EXPECT_TRUE(SaveFailureLogged("Not a directory"));
    EXPECT_EQ(Prompts.Log.back().Text, "cannot save file, see System Log for details...");
}

TEST_F(ReportPage, ProposalAndReverser) {
    const auto log = ReportLog();
    Make(&log);
    // The proposal is what the box shows; OK takes it as it stands.
    struct TEcho : TPrompts {
        std::string Shown;
        TModalResult MessageDlg(const std::string&, TMsgDlgType, TMsgDlgButtons) override { return mrCancel; }
        void ShowMessage(const std::string&) override {}
        bool InputQuery(const std::string&, const std::string&, std::string& Value) override {
            Shown = Value;
            return true;
        }
    } echo;
    TPrompts* before = SetPrompts(&echo);
    Click(W->sbSavereport);
    ClickItem(W->rgReportFormat, 1);
    const std::string ndb = echo.Shown;
    Click(W->sbSavereport);
    SetPrompts(before);
    EXPECT_EQ(ndb, "NDB20260316 102030.TXT");
    EXPECT_EQ(echo.Shown, "KXR20260316 102030.TXT");
    EXPECT_EQ(::access((Folder + "/LOG/KXR20260316 102030.TXT").c_str(), F_OK), 0);
    W->edtRevShift->setText("QWERTYUIOP");
    Click(W->sbReverse);
    EXPECT_EQ(W->edtRevShift->text(), "1234567890");
}

// ---- statistics ----

class StatisticsPage : public LogPagesFixture {
protected:
    void SetPeriod(classlib::TDateTime Start, classlib::TDateTime End) {
        auto q = [](classlib::TDateTime V) {
            uint16_t y, m, d, h, n, s, ms;
            classlib::DecodeDate(V, y, m, d);
            classlib::DecodeTime(V, h, n, s, ms);
            return QDateTime(QDate(y, m, d), QTime(h, n, s));
        };
        W->DtpStart->setDateTime(q(Start));
        W->DtpEnd->setDateTime(q(End));
    }
    std::vector<std::string> Shows() {
        std::vector<std::string> v;
        for (const auto& e : Prompts.Log)
            if (e.Kind == "ShowMessage") v.push_back(e.Text);
        return v;
    }
    QLineSeries* Series(int I) { return qobject_cast<QLineSeries*>(W->StatChart->chart()->series()[I]); }
    // The count axis from 0 to at least Most in whole steps: its "%d" labels all differ.
    void ExpectWholeCountTicks(int Most) {
        QValueAxis* count = nullptr;
        for (QAbstractAxis* a : W->StatChart->chart()->axes(Qt::Vertical))
            if (a->alignment() == Qt::AlignLeft) count = qobject_cast<QValueAxis*>(a);
        ASSERT_NE(count, nullptr);
        EXPECT_EQ(count->min(), 0);
        EXPECT_GE(count->max(), Most);
        ASSERT_GE(count->tickCount(), 2);
        const double step = count->max() / (count->tickCount() - 1);
        EXPECT_GE(step, 1);
        EXPECT_EQ(step, std::floor(step)) << count->max() << " in " << count->tickCount() << " ticks";
    }
    TScriptedPrompts Prompts;
};

// NITON (NAVAREA 1, A, 518): records on the 1st and 3rd of May and one a year later;
// others that the filter leaves out.
std::vector<TFixRecord> StationLog() {
    auto rec = [](classlib::TDateTime T, int Q, int Freq = 518, const char* Letter = "A", int Area = 1) {
        return TFixRecord{T, Freq, Q, Letter, "B", "01", Area, "GBR12 NITON,G", "ZCZC AB01\r\nWIND\r\nNNNN", 240};
    };
    return {rec(At(2025, 5, 1, 6), 40), rec(At(2025, 5, 1, 18), 61), rec(At(2025, 5, 3, 9), 70),
            rec(At(2025, 5, 3, 10), 70, 490), rec(At(2025, 5, 3, 11), 70, 518, "B"),
            rec(At(2026, 5, 20, 9), 90)};
}

TEST_F(StatisticsPage, DailyAndMonthlyPlotsFromTheEngineLog) {
    const auto log = StationLog();
    Make(&log);
    // The station box: NAVAREA 1 on 518 holds letter A.
    ASSERT_EQ(W->cbNavStations->count(), 1);
    EXPECT_EQ(W->cbNavStations->itemText(0), "A:GBR12 NITON,G");
    W->cbFreq->setCurrentIndex(1);
    W->cbNavStatChange();
    EXPECT_EQ(W->cbNavStations->count(), 0);
    Click(W->sbPlotStats);
    EXPECT_EQ(Shows(), std::vector<std::string>{"No station selected !"});
    W->cbFreq->setCurrentIndex(0);
    W->cbNavStatChange();

    // A search active before the plot: not counted, and the view reads as cleared after.
    W->edtSrchtext->setText("NOTHING LIKE THIS");
    Click(W->sbTextSearch);
    ASSERT_EQ(Label(), "RECORDS: 0");
    Prompts.Log.clear();
    SetPeriod(At(2025, 5, 1), At(2025, 5, 10));
    ClickItem(W->rgDayMonth, 0);
    Click(W->sbPlotStats);
    EXPECT_TRUE(Shows().empty());
    const TStatistics daily = W->FStatistics;
    ASSERT_EQ(daily.size(), 4u);
    EXPECT_EQ(daily[0].Date, "2025-05-01");
    EXPECT_EQ(daily[0].Count, 0);  // the leading zero entry of the start value
    EXPECT_EQ(daily[1].Count, 2);
    EXPECT_EQ(daily[1].Mean, 50);
    EXPECT_EQ(daily[2].Date, "2025-05-02");
    EXPECT_EQ(daily[2].Count, 0);
    EXPECT_EQ(daily[3].Count, 1);
    EXPECT_EQ(W->StatChart->chart()->title().toStdString(),
              StatisticsTitle("GBR12 NITON,G", 518,
                              GreatCircleDistance(DegToRad(50), 0, DegToRad(50.58), DegToRad(-1.3)),
                              int32_t(GreatCircleBearing(DegToRad(50), 0, DegToRad(50.58), DegToRad(-1.3)))));
    // The series are the entries.
    ASSERT_EQ(Series(0)->count(), 4);
    ASSERT_EQ(Series(1)->count(), 4);
    for (int i = 0; i < 4; ++i) {
        const QDateTime x = QDateTime::fromMSecsSinceEpoch(qint64(Series(0)->at(i).x()), Qt::UTC);
        EXPECT_EQ(x.date().toString("yyyy-MM-dd").toStdString(), daily[size_t(i)].Date);
        EXPECT_EQ(Series(0)->at(i).y(), daily[size_t(i)].Count);
        EXPECT_EQ(Series(1)->at(i).y(), daily[size_t(i)].Mean);
    }
    ExpectWholeCountTicks(2);
    // Cleared as "Clear filter" clears.
    EXPECT_FALSE(Log().OnFilterRecord());
    EXPECT_FALSE(Log().Filtered());
    EXPECT_EQ(Label(), "RECORDS: 6");
    EXPECT_FALSE(W->ledFilter->Flash());
    EXPECT_EQ(W->edtID->text(), "*");
    EXPECT_EQ(W->DBLogGridView->DataSource(), Module->DsLog);
    EXPECT_TRUE(W->sbPlotStats->isEnabled());
    EXPECT_FALSE(Module->BulkWorkRunning());
    ShowPageOf(W->StatChart);
    SaveGrab(W->grab().toImage(), "statistics-per-day");

    // Per month over two years: the same month a year later is its own entry; the
    // month's last day counts whole; only the count series when asked.
    SetPeriod(At(2025, 4, 10), At(2026, 5, 31, 0, 0, 1));
    ClickItem(W->rgDayMonth, 1);
    W->cbSigQual->setChecked(false);
    Click(W->sbPlotStats);
    const TStatistics monthly = W->FStatistics;
    ASSERT_EQ(monthly.size(), 14u);
    EXPECT_EQ(monthly[0].Date, "2025-04-01");
    EXPECT_EQ(monthly[1].Date, "2025-05-01");
    EXPECT_EQ(monthly[1].Count, 3);
    EXPECT_EQ(monthly[13].Date, "2026-05-01");
    EXPECT_EQ(monthly[13].Count, 1);
    EXPECT_EQ(Series(0)->count(), 14);
    EXPECT_EQ(Series(1)->count(), 0);
    ExpectWholeCountTicks(3);
    SaveGrab(W->grab().toImage(), "statistics-per-month");

    // Reversed periods, equal values, no data.
    Prompts.Log.clear();
    SetPeriod(At(2025, 5, 3, 12), At(2025, 5, 3, 11));
    ClickItem(W->rgDayMonth, 0);
    Click(W->sbPlotStats);
    ClickItem(W->rgDayMonth, 1);
    Click(W->sbPlotStats);  // the same date: accepted monthly
    SetPeriod(At(2025, 5, 3), At(2025, 5, 2));
    Click(W->sbPlotStats);
    SetPeriod(At(2025, 5, 3, 9), At(2025, 5, 3, 9));
    ClickItem(W->rgDayMonth, 0);
    Click(W->sbPlotStats);  // equal: accepted
    SetPeriod(At(2024, 1, 1), At(2024, 1, 5));
    Click(W->sbPlotStats);
    ClickItem(W->rgDayMonth, 1);
    Click(W->sbPlotStats);
    EXPECT_EQ(Shows(), (std::vector<std::string>{"EndDate must be > StartDate!", "EndDate must be > StartDate!",
                                                 "Sorry, no data found for this station in this period",
                                                 "Sorry, no data available for this station in the selected period"}));
    // CLOSE empties the chart.
    Click(W->SpeedButton2);
    EXPECT_EQ(Series(0)->count(), 0);
    EXPECT_TRUE(W->StatChart->chart()->title().isEmpty());
}

// The time axis reads the records' own days: a label on every tick, a whole day (or a
// month's first day) apart, from the first entry to the end of the period; before any
// plot it reads the pickers' period, never the epoch.
TEST_F(StatisticsPage, TheDateAxisReadsTheDaysOfThePlot) {
    const auto log = StationLog();
    Make(&log);
    auto axis = [&] { return qobject_cast<QCategoryAxis*>(W->StatChart->chart()->axes(Qt::Horizontal).first()); };
    auto utcMs = [](int Y, int M, int D) {
        return double(QDateTime(QDate(Y, M, D), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch());
    };
    ASSERT_NE(axis(), nullptr);
    ASSERT_FALSE(axis()->categoriesLabels().isEmpty());
    for (const QString& l : axis()->categoriesLabels()) EXPECT_FALSE(l.startsWith("1970")) << l.toStdString();

    struct Case {
        int item;
        classlib::TDateTime from, to;
        std::vector<std::string> labels;
        double min, max;
    };
    const Case cases[] = {
        // Nine days: every second day from the first entry, to the period's end.
        {0, At(2025, 5, 1), At(2025, 5, 10), {"2025-05-01", "2025-05-03", "2025-05-05", "2025-05-07", "2025-05-09"},
         utcMs(2025, 5, 1), utcMs(2025, 5, 10)},
        // One day: its day and the next.
        {0, At(2025, 5, 3), At(2025, 5, 3, 23), {"2025-05-03", "2025-05-04"}, utcMs(2025, 5, 3), utcMs(2025, 5, 4)},
        // Fourteen months: every second month's first day.
        {1, At(2025, 4, 10), At(2026, 5, 31),
         {"2025-04-01", "2025-06-01", "2025-08-01", "2025-10-01", "2025-12-01", "2026-02-01", "2026-04-01"},
         utcMs(2025, 4, 1), utcMs(2026, 5, 31)},
    };
    for (const Case& c : cases) {
        SetPeriod(c.from, c.to);
        ClickItem(W->rgDayMonth, c.item);
        Click(W->sbPlotStats);
        QCategoryAxis* x = axis();
        std::vector<std::string> labels;
        for (const QString& l : x->categoriesLabels()) {
            labels.push_back(l.toStdString());
            const QDate d = QDate::fromString(l, "yyyy-MM-dd");
            EXPECT_EQ(x->endValue(l), utcMs(d.year(), d.month(), d.day())) << l.toStdString();
        }
        EXPECT_EQ(labels, c.labels);
        EXPECT_EQ(x->min(), c.min);
        EXPECT_EQ(x->max(), c.max);
    }
}
