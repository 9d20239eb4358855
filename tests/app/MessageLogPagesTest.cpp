// The "Messages" and "Database" pages on the real window and data module: every
// combination of the filter controls against a brute-force count, the text search and
// Clear, the navigator, the grid's Down key and editing, and the clean-up's options,
// answers, failures (writes failed one by one, a failed compaction) and restoring.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>
#include <QDateTimeEdit>
#include <QLabel>
#include <QTabWidget>
#include <QWheelEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "MessageLogKit.h"
#include "app/components/Led.h"
#include "engine/storage/ORQDatabaseFile.h"

using namespace tilo;
using namespace tilo_test;

namespace {

class MessagesPage : public LogPagesFixture {};

std::vector<int64_t> Times(const std::vector<TFixRecord>& Records, const std::function<bool(const TFixRecord&)>& Keep) {
    std::vector<int64_t> v;
    for (const TFixRecord& r : Records)
        if (Keep(r)) v.push_back(Ms(r.Utc));
    return v;
}

int64_t FileSize(const std::string& Name) {
    struct stat st {};
    return ::stat(Name.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

}  // namespace

TEST_F(MessagesPage, EveryCombinationOfTheFilterControlsShowsTheBruteForceSet) {
    const auto log = FixtureLog();
    Make(&log);
    // Typing is upper-cased; the letter box holds one character.
    Type(W->edtID, "a");
    EXPECT_EQ(W->edtID->text(), "A");
    Type(W->edtID, "be");
    EXPECT_EQ(W->edtID->text(), "B");
    const int freqs[] = {-1, 518, 490};
    for (int f = 0; f < 3; ++f) {
        for (int nav = 0; nav < W->cbNav->count(); ++nav) {
            for (const char* id : {"*", "A", "E", "Z"}) {
                ClickItem(W->RgFreqDB, f);
                ChooseByKeys(W->cbNav, nav);
                ASSERT_EQ(W->cbNav->currentIndex(), nav);
                Type(W->edtID, id);
                Click(W->sbFilter);
                const std::string area = W->cbNav->currentText().toStdString();
                const auto want = Times(log, [&](const TFixRecord& r) {
                    return (freqs[f] < 0 || r.Freq == freqs[f]) &&
                           (area == "*" || (area == "UNID" ? r.NavArea == 0 : std::to_string(r.NavArea) == area)) &&
                           (std::string(id) == "*" || r.IdLetter == id);
                });
                const std::string what = std::to_string(freqs[f]) + "/" + area + "/" + id;
                ASSERT_EQ(Label(), "RECORDS: " + std::to_string(want.size())) << what;
                // The grid stands on the last record of the set.
                if (!want.empty()) {
                    const TDBGridModel& m = W->DBLogGridView->Model();
                    ASSERT_GE(m.ActiveRow(), 0) << what;
                    EXPECT_EQ(m.Text(m.ActiveRow(), 0).toStdString(), classlib::DateTimeToStr(want.back() / 86400000.0))
                        << what;
                }
                EXPECT_EQ(Shown(), want) << what;
                EXPECT_EQ(W->ledFilter->Flash(), f != 0 || nav != 0 || std::string(id) != "*") << what;
            }
        }
    }
    // Back on the defaults: everything, the LED unlit.
    ClickItem(W->RgFreqDB, 0);
    ChooseByKeys(W->cbNav, 0);
    Type(W->edtID, "*");
    Click(W->sbFilter);
    EXPECT_EQ(Label(), "RECORDS: 48");
    EXPECT_FALSE(W->ledFilter->Flash());
    EXPECT_FALSE(W->ledFilter->Status());
    W->PageControl1->setCurrentWidget(W->tsMessages);
    QCoreApplication::processEvents();
    SaveGrab(W->grab().toImage(), "messages-page");
}

TEST_F(MessagesPage, TheGridShowsSeveralWholeRecordsAboveTheMemo) {
    const auto log = FixtureLog();
    Make(&log);
    W->resize(1100, 1000);
    TDBGrid& g = *W->DBLogGridView;
    ShowPageOf(&g);
    // The frequency items on one line, so that the filter row is one line of controls.
    const auto items = W->RgFreqDB->findChildren<QRadioButton*>();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[1]->y(), items[0]->y());
    EXPECT_EQ(items[2]->y(), items[0]->y());
    EXPECT_GE(g.VisibleRows(), 6);
    EXPECT_GT(g.height(), W->DBMemo1->height());
    // Every text of the window whole in its column: the reception time with its seconds.
    const TDBGridModel& m = g.Model();
    const QFontMetrics fm = g.fontMetrics();
    ASSERT_GT(m.rowCount(), 0);
    for (int r = 0; r < m.rowCount(); ++r)
        for (int c = 0; c < m.columnCount(); ++c)
            EXPECT_GE(g.columnWidth(c), fm.horizontalAdvance(m.Text(r, c)) + 6) << m.Text(r, c).toStdString();
    EXPECT_EQ(m.Text(m.ActiveRow(), 0).toStdString(), "2026-04-24 15:47:00");
}

TEST_F(MessagesPage, TextSearchIsAnUntrimmedCaseSensitiveSubstringAndClearShowsAll) {
    const auto log = FixtureLog();
    Make(&log);
    TScriptedPrompts prompts;
    // A control filter first: the search replaces it, keeping the letter box.
    ClickItem(W->RgFreqDB, 1);
    ChooseByKeys(W->cbNav, 2);
    Type(W->edtID, "A");
    Click(W->sbFilter);
    const std::string filtered = Label();
    for (const char* blank : {"", "   "}) {
        W->edtSrchtext->setText(blank);
        Click(W->sbTextSearch);
        ASSERT_FALSE(prompts.Log.empty());
        EXPECT_EQ(prompts.Log.back().Text, "No search text entered!");
        EXPECT_EQ(Label(), filtered);
        EXPECT_FALSE(Log().OnFilterRecord());
        EXPECT_EQ(W->RgFreqDB->ItemIndex(), 1);
    }
    prompts.Log.clear();
    struct Case {
        const char* typed;
        const char* shown;
        std::function<bool(const TFixRecord&)> keep;
    } cases[] = {
        {"WARNING", "WARNING", [](const TFixRecord& r) { return r.MsgText.find("WARNING") != std::string::npos; }},
        // A trailing blank: only bodies with the blank after the word.
        {"WARNING ", "WARNING ", [](const TFixRecord& r) { return r.MsgText.find("WARNING FORCE") != std::string::npos; }},
        // Typed in lower case, searched in upper case: the lower-case bodies stay out.
        {"gale", "GALE", [](const TFixRecord& r) { return r.MsgText.find("GALE") != std::string::npos; }},
    };
    for (const Case& c : cases) {
        Type(W->edtSrchtext, c.typed);
        ASSERT_EQ(W->edtSrchtext->text().toStdString(), c.shown);
        Served = 0;
        Click(W->sbTextSearch);
        const auto want = Times(log, c.keep);
        EXPECT_EQ(Label(), "RECORDS: " + std::to_string(want.size())) << c.typed;
        EXPECT_EQ(W->cbNav->currentIndex(), 0);
        EXPECT_EQ(W->RgFreqDB->ItemIndex(), 0);
        EXPECT_EQ(W->edtID->text(), "A");
        EXPECT_TRUE(W->ledFilter->Flash());
        EXPECT_EQ(Log().Filter(), "");
        EXPECT_TRUE(Log().Filtered());
        // Moving under the search serves no events from inside the filter.
        const int served = Served;
        EXPECT_EQ(Shown(), want) << c.typed;
        EXPECT_EQ(Served, served);
    }
    EXPECT_TRUE(prompts.Log.empty());
    Log().First();
    Click(W->sbClear);
    EXPECT_EQ(Label(), "RECORDS: 48");
    EXPECT_FALSE(Log().OnFilterRecord());
    EXPECT_EQ(Log().Filter(), "");
    EXPECT_TRUE(Log().Filtered());  // the switch is left as it was
    EXPECT_EQ(Ms(Log().FieldByName("UTCRECEIVED")->AsDateTime()), Ms(log.back().Utc));
    EXPECT_EQ(W->edtID->text(), "*");
    EXPECT_FALSE(W->ledFilter->Flash());
    EXPECT_FALSE(W->ledFilter->Status());
    // Filter data removes a search too and empties the search text.
    Type(W->edtSrchtext, "NAV");
    Click(W->sbTextSearch);
    Click(W->sbFilter);
    EXPECT_FALSE(Log().OnFilterRecord());
    EXPECT_EQ(W->edtSrchtext->text(), "");
    EXPECT_EQ(Label(), "RECORDS: 48");
}

TEST_F(MessagesPage, NavigatorCountsAndDeletesDownOnTheLastAddsNothingB1Reidentifies) {
    const auto log = FixtureLog();
    Make(&log);
    TScriptedPrompts prompts;
    ClickItem(W->RgFreqDB, 1);
    Click(W->sbFilter);
    EXPECT_EQ(Label(), "RECORDS: 24");
    W->lblRecCount->setText("");
    W->DBNavigator1->BtnClick(nbFirst);
    EXPECT_EQ(Label(), "RECORDS: 24");
    prompts.Answers = {mrCancel, mrOk};
    W->DBNavigator1->BtnClick(nbDelete);
    EXPECT_EQ(Label(), "RECORDS: 24");
    W->DBNavigator1->BtnClick(nbDelete);
    EXPECT_EQ(Label(), "RECORDS: 23");
    EXPECT_EQ(prompts.Log.size(), 2u);

    // Down on the last record: swallowed, nothing appended.
    W->DBNavigator1->BtnClick(nbLast);
    W->DBLogGridView->setFocus();
    QTest::keyClick(W->DBLogGridView, Qt::Key_Down);
    EXPECT_EQ(Log().State(), classlib::dsBrowse);
    EXPECT_EQ(Log().RecordCount(), 23);
    EXPECT_EQ(Log().RecNo(), 23);
    // A wheel notch down over the focused grid is the same Down.
    QWheelEvent wheel(QPointF(20, 40), W->DBLogGridView->mapToGlobal(QPoint(20, 40)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(W->DBLogGridView->viewport(), &wheel);
    EXPECT_EQ(Log().RecordCount(), 23);
    EXPECT_EQ(Log().State(), classlib::dsBrowse);
    QTest::keyClick(W->DBLogGridView, Qt::Key_Up);
    EXPECT_EQ(Log().RecNo(), 22);

    // B1 typed into the grid: the post identifies the record by NAVAREA and letter.
    Click(W->sbClear);
    for (Log().First(); !Log().Eof(); Log().Next())
        if (Log().FieldByName("NAVAREA")->AsInteger() == 2 && Log().FieldByName("FREQ")->AsInteger() == 518) break;
    ASSERT_FALSE(Log().Eof());
    ASSERT_EQ(Log().FieldByName("IDLETTER")->AsString(), "A");
    W->DBLogGridView->setFocus();
    W->DBLogGridView->SetSelectedIndex(3);
    QTest::keyClicks(W->DBLogGridView, "E");
    ASSERT_TRUE(W->DBLogGridView->EditorOpen());
    QTest::keyClick(W->DBLogGridView->Editor(), Qt::Key_Return);
    EXPECT_EQ(Log().State(), classlib::dsBrowse);
    EXPECT_EQ(Log().FieldByName("IDLETTER")->AsString(), "E");
    EXPECT_EQ(Log().FieldByName("STATION")->AsString(), "FRA7 LE CONQUET,F");
    EXPECT_EQ(Log().FieldByName("DIST")->AsInteger(),
              GreatCircleDistance(DegToRad(50), DegToRad(0), DegToRad(48.33), DegToRad(-4.77)));
}

// ---- the clean-up ----

class CleanUp : public LogPagesFixture {
protected:
    void Run(int Option, bool Yes = true) {
        if (Option >= 0) ClickItem(W->rgCleanUp, Option);
        Prompts.Answers.push_back(Yes ? mrYes : mrCancel);
        Click(W->sbCleanup);
    }
    void ExpectRestored() {
        EXPECT_EQ(W->DBLogGridView->DataSource(), Module->DsLog);
        EXPECT_EQ(W->DBMemo1->DataSource(), Module->DsLog);
        EXPECT_TRUE(W->SchedTimer->isActive());
        EXPECT_TRUE(W->sbCleanup->isEnabled());
        EXPECT_TRUE(W->sbFilter->isEnabled());
        EXPECT_TRUE(Module->ORQDB->Connected());
        EXPECT_TRUE(Module->LogTable->Active());
        EXPECT_TRUE(Module->StationTable->Active());
        EXPECT_FALSE(Module->BulkWorkRunning());
        EXPECT_FALSE(Module->ORQDB->InTransaction());
    }
    std::vector<std::string> Shows() {
        std::vector<std::string> v;
        for (const auto& e : Prompts.Log)
            if (e.Kind == "ShowMessage") v.push_back(e.Text);
        return v;
    }
    TScriptedPrompts Prompts;
};

TEST_F(CleanUp, EachOptionLeavesTheBruteForceSetAndUnidsOnlyGoWithOptionThree) {
    const auto log = FixtureLog();
    const classlib::TDateTime limit = At(2026, 4, 10, 12, 0, 0);
    struct Case {
        int option;
        const char* dist;
        std::function<bool(const TFixRecord&)> keep;
    } cases[] = {
        {0, "0", [&](const TFixRecord& r) { return r.Station == "UNID" || !(r.Utc < limit); }},
        {1, "1000", [](const TFixRecord& r) { return r.Station == "UNID" || !(r.Dist < 1000); }},
        {2, "1000", [&](const TFixRecord& r) { return r.Station == "UNID" || !(r.Utc < limit && r.Dist < 1000); }},
        {3, "0", [](const TFixRecord& r) { return r.Station != "UNID"; }},
    };
    for (const Case& c : cases) {
        if (W) {
            W.reset();
            Module.reset();
            ASSERT_EQ(::unlink("TILO_DB.ORQ"), 0);
        }
        Make(&log);
        Prompts.Log.clear();
        W->DTPCleanup->setDateTime(QDateTime(QDate(2026, 4, 10), QTime(12, 0, 0)));
        W->edtDist->setText(c.dist);
        Run(c.option);
        const auto want = Times(log, c.keep);
        EXPECT_EQ(Shows(), std::vector<std::string>{std::to_string(log.size() - want.size()) + " records deleted."})
            << c.option;
        EXPECT_EQ(Label(), "DELETED RECORDS: " + std::to_string(want.size())) << c.option;
        EXPECT_EQ(Shown(), want) << c.option;
        ExpectRestored();
        for (const char* line : {"DATABASE: starting delete operation...", "DATABASE: delete operation finished."})
            EXPECT_TRUE(SysLogHas(line)) << line;
        EXPECT_FALSE(SysLogHas("compacting"));
        // The pickers the option needs.
        EXPECT_EQ(W->DTPCleanup->isVisibleTo(W.get()), c.option == 0 || c.option == 2);
        EXPECT_EQ(W->edtDist->isVisibleTo(W.get()), c.option == 1 || c.option == 2);
    }
    W->PageControl1->setCurrentWidget(W->tsDatabase);
    QCoreApplication::processEvents();
    SaveGrab(W->grab().toImage(), "database-page");
}

TEST_F(CleanUp, NoOptionCancelAndABadDistance) {
    const auto log = FixtureLog();
    Make(&log);
    const int64_t size = FileSize("TILO_DB.ORQ");
    Click(W->sbCleanup);
    EXPECT_EQ(Shows(), std::vector<std::string>{"No action selected."});
    EXPECT_TRUE(Prompts.Answers.empty());
    EXPECT_TRUE(W->sbCleanup->isEnabled());
    EXPECT_EQ(Label(), "RECORDS: ");

    // Cancel: the filter controls applied, nothing deleted, the count of the view.
    Prompts.Log.clear();
    ClickItem(W->RgFreqDB, 2);
    Run(3, false);
    ASSERT_EQ(Prompts.Log.size(), 1u);
    EXPECT_EQ(Prompts.Log[0].Text, "Are you really sure? \rDeleted records CANNOT be recovered...");
    EXPECT_EQ(Prompts.Log[0].Type, mtWarning);
    EXPECT_EQ(Prompts.Log[0].Buttons, TMsgDlgButtons(mbYes | mbCancel));
    EXPECT_EQ(Label(), "DELETED RECORDS: 24");
    EXPECT_EQ(Log().Filter(), "FREQ=490");
    EXPECT_FALSE(SysLogHas("starting delete"));
    ClickItem(W->RgFreqDB, 0);

    // A bad distance: its text, 0 deleted, the rest runs; the file keeps its size
    // without compaction.
    for (int option : {1, 2}) {
        Prompts.Log.clear();
        W->edtDist->setText("12a");
        Run(option);
        EXPECT_EQ(Shows(), (std::vector<std::string>{option == 1 ? "Distance NOT a valid number!"
                                                                 : "Distance NOT a valid number, operation cancelled.",
                                                     "0 records deleted."}));
        EXPECT_EQ(Label(), "DELETED RECORDS: 48");
        ExpectRestored();
    }
    Prompts.Log.clear();
    Run(3);
    EXPECT_EQ(Label(), "DELETED RECORDS: 36");
    EXPECT_EQ(FileSize("TILO_DB.ORQ"), size);
}

TEST_F(CleanUp, WhileTheDeletionServesEventsTheLogHandlersDoNothingAndTheirControlsAreOff) {
    const auto log = FixtureLog();
    Make(&log);
    bool checked = false;
    OnProcess = [&] {
        if (checked) return;
        checked = true;
        for (QWidget* c : std::initializer_list<QWidget*>{W->sbFilter, W->sbTextSearch, W->sbClear, W->sbCleanup,
                                                          W->sbPlotStats, W->DBNavigator1, W->DBLogGridView})
            EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
        // Each would change the deletion's filter (which stops it) or start work of
        // its own inside the loop; a second clean-up would ask its question again.
        const std::string filter = Log().Filter();
        W->edtID->setText("A");
        W->edtSrchtext->setText("GALE");
        W->sbFilterClick();
        W->sbTextSearchClick();
        W->sbClearClick();
        W->sbPlotStatsClick();
        W->sbCleanupClick();
        int key = Qt::Key_Down;
        W->DBLogGridKeyDown(key, Qt::NoModifier);
        EXPECT_EQ(key, 0);
        EXPECT_EQ(Log().Filter(), filter);
        EXPECT_FALSE(Log().OnFilterRecord());
        EXPECT_EQ(W->edtSrchtext->text(), "GALE");
        W->edtID->setText("*");
        W->edtSrchtext->clear();
    };
    Run(3);
    OnProcess = nullptr;
    EXPECT_TRUE(checked);
    EXPECT_EQ(Shows(), std::vector<std::string>{"12 records deleted."});
    EXPECT_EQ(Shown(), Times(log, [](const TFixRecord& r) { return r.Station != "UNID"; }));
    ExpectRestored();
}

TEST_F(CleanUp, EveryFailedWriteOfTheDeletionLeavesTheLogAsItWasOrWhollyCleanedAndRestores) {
    const auto log = FixtureLog();
    const auto all = Times(log, [](const TFixRecord&) { return true; });
    const auto cleaned = Times(log, [](const TFixRecord& r) { return r.Station != "UNID"; });
    const int64_t arrival = Ms(At(2026, 6, 1, 12));
    int failedRuns = 0, passedRuns = 0, lateFailures = 0, writes = 0;
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 500) << "the deletion never passed";
        ::unlink("TILO_DB.ORQ");
        ::unlink("TILO_QUEUE.TXT");
        Make(&log);
        Prompts.Log.clear();
        // A message the decoder hands over while the deletion serves events waits for
        // its end.
        bool arrived = false;
        OnProcess = [&] {
            if (arrived) return;
            arrived = true;
            W->AddLogRecord('Q', "Z", At(2026, 6, 1, 12), "77", "short", 518, 40);
        };
        writes = 0;
        // From the deletion's n-th write on the disk fails while the work runs (a single
        // failed write is retried once after a reconnect by the file layer).
        orq::SetFileFaultHook([&](orq::TORQFileCall Call, const std::string&) {
            return Call == orq::TORQFileCall::Write && Module->BulkWorkRunning() && ++writes >= n ? EIO : 0;
        });
        const int before = W->meSysLogLineCount();
        Run(3);
        orq::SetFileFaultHook(nullptr);
        OnProcess = nullptr;
        ExpectRestored();
        // The deletion failed (its exception logged, its end not), or it passed and a
        // later write failed: the message's store after the work.
        bool trapped = false, finished = false;
        for (int i = before; i < W->meSysLogLineCount(); ++i) {
            if (W->meSysLogLine(i).find("EXCEPTION trapped") != std::string::npos) trapped = true;
            if (W->meSysLogLine(i).find("DATABASE: delete operation finished.") != std::string::npos) finished = true;
        }
        const bool failed = !finished;
        if (failed) {
            EXPECT_TRUE(trapped) << "write " << n;
        }
        EXPECT_TRUE(arrived);
        // What this session shows: never a half-cleaned log.
        const int32_t count = Log().RecordCount();
        EXPECT_TRUE(count == 48 || count == 49 || count == 36 || count == 37) << "write " << n << ": " << count;
        // On disk, opened afresh: every record, or the UNIDs gone when the commit had
        // reached the disk before a later write of it failed; the message that arrived
        // meanwhile stored after the work, or waiting in the queue file (a file left to
        // be repaired opens read-only), never lost.
        W.reset();
        Module.reset();
        Module = std::make_unique<TDataModule1>();
        Module->LogTable->Open();
        auto shown = Shown();
        const bool stored = !shown.empty() && shown.back() == arrival;
        if (stored)
            shown.pop_back();
        else
            EXPECT_GT(FileSize("TILO_QUEUE.TXT"), 0) << "write " << n << ": the message is lost";
        const bool committed = shown == cleaned;
        EXPECT_TRUE(committed || (failed && shown == all)) << "write " << n << ": " << shown.size() << " records";
        if (failed && committed) ++lateFailures;
        Module.reset();
        if (failed) {
            ++failedRuns;
            EXPECT_TRUE(Shows().empty()) << "write " << n;
        } else {
            ++passedRuns;
            EXPECT_EQ(Shows(), std::vector<std::string>{"12 records deleted."}) << "write " << n;
        }
        if (!trapped) break;  // no write left to fail
    }
    EXPECT_GT(failedRuns, 0);
    std::printf("[ fault run ] deleting 12 of 48 records: the disk failing from each of its %d writes on: %d deletions "
                "raised (%d of them after their commit reached the disk, whole), %d completed\n",
                writes, failedRuns, lateFailures, passedRuns);
}

TEST_F(CleanUp, AFailedCompactionReopensTheOriginalAndRestores) {
    const auto log = FixtureLog();
    Make(&log);
    W->cbCompact->setChecked(true);
    bool wasClosed = false;
    W->CompactLogDatabase = [&](orq::TORQDatabase& Db) {
        wasClosed = !Db.Connected() && !Module->LogTable->Active() && !Module->StationTable->Active();
        throw std::runtime_error("disk gone");
    };
    W->SchedTimer->start();
    Run(3);
    EXPECT_TRUE(wasClosed);
    ExpectRestored();
    EXPECT_TRUE(SysLogHas("DATABASE: starting compacting operation..."));
    EXPECT_FALSE(SysLogHas("DATABASE: compacting finished."));
    EXPECT_TRUE(SysLogHas("EXCEPTION trapped"));
    EXPECT_TRUE(SysLogHas("disk gone"));
    // The deletion was committed before the compaction began.
    EXPECT_EQ(Label(), "DELETED RECORDS: 36");
    EXPECT_EQ(Shown().size(), 36u);
    EXPECT_EQ(Module->StationTable->RecordCount(), 4);
}

TEST_F(CleanUp, CompactionShrinksTheFile) {
    const auto log = FixtureLog();
    Make(&log);
    const int64_t before = FileSize("TILO_DB.ORQ");
    W->cbCompact->setChecked(true);
    Run(0);
    ExpectRestored();
    EXPECT_TRUE(SysLogHas("DATABASE: compacting finished."));
    EXPECT_LT(FileSize("TILO_DB.ORQ"), before);
    EXPECT_FALSE(std::filesystem::exists("TILO_DB.ORQ.tmp"));
    EXPECT_EQ(Shown().size(), size_t(Log().RecordCount()));
}
