// The data-aware memo and navigator over a test log, the receiver's prompt service on
// Qt message boxes answered by a queued click, and grabs of the message page's controls.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>
#include <string>

#include "LogRecords.h"
#include "QtTestApp.h"
#include "ScriptedPrompts.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/Prompts.h"

using namespace tilo;
using namespace classlib;
using tilo_test::LogRecord;

namespace {

struct TLog {
    classlib_test::TTestDataSet DataSet;
    TDataSource Source{nullptr};
    explicit TLog(int Records) {
        tilo_test::FillLog(DataSet, Records);
        Source.SetDataSet(&DataSet);
    }
};

// The document's own text (toPlainText would turn a no-break space into a blank).
std::string Shown(const TDBMemo& Memo) {
    return Memo.document()->toRawText().replace(QChar::ParagraphSeparator, u'\n').toLatin1().toStdString();
}

// The text as the memo shows it: lines at CR LF.
std::string AsLines(std::string Text) {
    for (std::size_t at; (at = Text.find("\r\n")) != std::string::npos;) Text.replace(at, 2, "\n");
    return Text;
}

}  // namespace

// ---- memo ----

TEST(DBMemo, FollowsTheCurrentRecordReadingItsFieldOncePerEvent) {
    TLog log(100);
    TDBMemo memo;
    memo.SetDataField("MSGTEXT");
    EXPECT_TRUE(memo.isReadOnly());
    EXPECT_EQ(Shown(memo), "");  // detached
    memo.SetDataSource(&log.Source);
    EXPECT_EQ(Shown(memo), AsLines(LogRecord(0).MsgText));
    EXPECT_EQ(Shown(memo), "ZCZC AA00\nMESSAGE 0\nGALE WARNING\nNNNN");
    struct Move {
        const char* Name;
        std::function<void()> Act;
        int Record;
    } const moves[] = {
        {"Next", [&] { log.DataSet.Next(); }, 1},
        {"MoveBy 30", [&] { log.DataSet.MoveBy(30); }, 31},
        {"Prior", [&] { log.DataSet.Prior(); }, 30},
        {"Last", [&] { log.DataSet.Last(); }, 99},
        {"RecNo 50", [&] { log.DataSet.SetRecNo(50); }, 49},
    };
    for (const Move& m : moves) {
        const int64_t reads = log.DataSet.FieldReads;
        m.Act();
        EXPECT_EQ(Shown(memo), AsLines(LogRecord(m.Record).MsgText)) << m.Name;
        EXPECT_EQ(log.DataSet.FieldReads - reads, 1) << m.Name;
    }
    // While the record is edited nothing is read back, not even a change of its own
    // field; the post shows the new text.
    log.DataSet.Edit();
    int64_t reads = log.DataSet.FieldReads;
    log.DataSet.FieldByName("STATION")->SetAsString("OTHER");
    log.DataSet.FieldByName("MSGTEXT")->SetAsString("NEW\r\nTEXT");
    EXPECT_EQ(log.DataSet.FieldReads, reads);
    EXPECT_EQ(Shown(memo), AsLines(LogRecord(49).MsgText));
    log.DataSet.Post();
    EXPECT_EQ(Shown(memo), "NEW\nTEXT");
    // Painting reads nothing.
    memo.resize(300, 200);
    memo.show();
    reads = log.DataSet.FieldReads;
    memo.repaint();
    (void)memo.grab();
    EXPECT_EQ(log.DataSet.FieldReads, reads);
}

TEST(DBMemo, ALongLatin1TextArrivesExactAndScrolledToTheTop) {
    TLog log(3);
    std::string text;
    for (int line = 0; text.size() < 30000; ++line) {
        for (int b = 0xA0; b <= 0xFF; ++b) text += char(b);
        text += " " + std::to_string(line) + "\r\n";
    }
    log.DataSet.Edit();
    log.DataSet.FieldByName("MSGTEXT")->SetAsString(text);
    log.DataSet.Post();
    TDBMemo memo;
    memo.resize(300, 200);
    memo.show();
    memo.SetDataField("MSGTEXT");
    memo.SetDataSource(&log.Source);
    const std::string shown = Shown(memo), want = AsLines(text);
    EXPECT_EQ(shown.size(), want.size());
    EXPECT_TRUE(shown == want) << "the text differs";
    // A text that differs only by a no-break space from the one shown replaces it.
    log.DataSet.Next();
    const std::string spaced = "A\xa0" "B", plain = "A B";
    for (const std::string& t : {spaced, plain}) {
        log.DataSet.Edit();
        log.DataSet.FieldByName("MSGTEXT")->SetAsString(t);
        log.DataSet.Post();
        EXPECT_EQ(Shown(memo), t);
    }
    log.DataSet.Prior();
    memo.verticalScrollBar()->setValue(memo.verticalScrollBar()->maximum());
    ASSERT_GT(memo.verticalScrollBar()->value(), 0);
    log.DataSet.Next();
    log.DataSet.Prior();  // back on the long text: a new record starts at the top
    EXPECT_EQ(memo.verticalScrollBar()->value(), 0);
    EXPECT_EQ(memo.textCursor().position(), 0);
}

TEST(DBMemo, EmptyWhenClosedEmptyNullOrDetached) {
    TLog log(2);
    TDBMemo memo;
    memo.SetDataField("MSGTEXT");
    memo.SetDataSource(&log.Source);
    log.DataSet.Edit();
    log.DataSet.FieldByName("MSGTEXT")->Clear();
    log.DataSet.Post();
    EXPECT_EQ(Shown(memo), "");  // Null
    log.DataSet.Next();
    EXPECT_EQ(Shown(memo), AsLines(LogRecord(1).MsgText));
    log.DataSet.Close();
    EXPECT_EQ(Shown(memo), "");
    log.DataSet.Open();
    log.DataSet.Last();
    EXPECT_EQ(Shown(memo), AsLines(LogRecord(1).MsgText));
    memo.SetDataSource(nullptr);
    EXPECT_EQ(Shown(memo), "");
    const int64_t reads = log.DataSet.FieldReads;
    log.DataSet.First();
    EXPECT_EQ(log.DataSet.FieldReads, reads);  // detached: reads nothing
    memo.SetDataSource(&log.Source);
    EXPECT_EQ(Shown(memo), "");  // the first record's text is Null
    EXPECT_EQ(log.DataSet.FieldReads - reads, 1);
    // An empty dataset, and a field the layout no longer has.
    log.DataSet.Delete();
    log.DataSet.Delete();
    EXPECT_TRUE(log.DataSet.IsEmpty());
    EXPECT_EQ(Shown(memo), "");
    memo.SetDataField("NOSUCH");
    EXPECT_EQ(memo.Field(), nullptr);
    EXPECT_EQ(Shown(memo), "");
}

// ---- navigator ----

TEST(DBNavigator, ButtonsFollowThePositionAndState) {
    TLog log(5);
    TDBNavigator nav;
    const TNavigateBtn all[] = {nbFirst, nbPrior, nbNext, nbLast, nbDelete};
    auto states = [&] {
        std::string s;
        for (TNavigateBtn b : all) s += nav.ButtonEnabled(b) ? '1' : '0';
        return s;
    };
    EXPECT_EQ(states(), "00000");  // detached
    nav.SetDataSource(&log.Source);
    struct Case {
        const char* Name;
        std::function<void()> Act;
        const char* States;  // First, Prior, Next, Last, Delete
    } const cases[] = {
        {"first", [] {}, "00111"},
        {"middle", [&] { log.DataSet.Next(); }, "11111"},
        {"last", [&] { log.DataSet.Last(); }, "11001"},
        {"editing", [&] { log.DataSet.Edit(); }, "11001"},
        {"back to first", [&] { log.DataSet.Cancel(); log.DataSet.First(); }, "00111"},
        {"read-only", [&] { log.DataSet.Close(); log.DataSet.ReadOnly = true; log.DataSet.Open(); log.DataSet.Next(); }, "11110"},
        {"closed", [&] { log.DataSet.Close(); }, "00000"},
        {"empty", [&] { log.DataSet.ReadOnly = false; log.DataSet.ClearRows(); log.DataSet.Open(); }, "00000"},
        {"detached", [&] { log.DataSet.AppendRecord({}); nav.SetDataSource(nullptr); }, "00000"},
    };
    for (const Case& c : cases) {
        c.Act();
        EXPECT_EQ(states(), c.States) << c.Name;
    }
    for (TNavigateBtn b : {nbInsert, nbEdit, nbPost, nbCancel, nbRefresh}) EXPECT_EQ(nav.Action(b), nullptr);
    const char* hints[] = {"First record", "Prior record", "Next record", "Last record", "Delete record"};
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(nav.Button(all[i]), nullptr);
        EXPECT_EQ(nav.Action(all[i])->toolTip().toStdString(), hints[i]);
    }
}

TEST(DBNavigator, ButtonsMoveAndOnClickRunsAfterEach) {
    TLog log(20);
    TDBNavigator nav;
    nav.SetDataSource(&log.Source);
    std::vector<std::string> clicks;
    nav.OnClick = [&](TNavigateBtn B) {
        clicks.push_back(std::to_string(int(B)) + "@" + std::to_string(log.DataSet.RecNo()));
    };
    nav.ConfirmDelete = false;
    nav.Button(nbNext)->click();
    nav.Button(nbNext)->click();
    nav.Button(nbLast)->click();
    nav.Button(nbPrior)->click();
    nav.Button(nbFirst)->click();
    nav.Button(nbDelete)->click();  // no question without ConfirmDelete
    EXPECT_EQ(log.DataSet.RowCount(), 19);
    EXPECT_EQ(log.DataSet.FieldByName("MSGNUMBER")->AsString(), "01");
    EXPECT_EQ(clicks, (std::vector<std::string>{"2@2", "2@3", "3@20", "1@19", "0@1", "5@1"}));
}

TEST(DBNavigator, DeleteAsksFirstWhenConfirmDeleteIsOn) {
    TLog log(3);
    TDBNavigator nav;
    EXPECT_TRUE(nav.ConfirmDelete);
    nav.SetDataSource(&log.Source);
    int clicks = 0;
    nav.OnClick = [&](TNavigateBtn B) {
        EXPECT_EQ(B, nbDelete);
        ++clicks;
    };
    tilo_test::TScriptedPrompts prompts;
    prompts.Answers = {mrCancel, mrOk};
    nav.BtnClick(nbDelete);
    EXPECT_EQ(log.DataSet.RowCount(), 3);  // declined
    EXPECT_EQ(clicks, 1);
    nav.BtnClick(nbDelete);
    EXPECT_EQ(log.DataSet.RowCount(), 2);
    EXPECT_EQ(clicks, 2);
    ASSERT_EQ(prompts.Log.size(), 2u);
    for (const auto& e : prompts.Log) {
        EXPECT_EQ(e.Kind, "MessageDlg");
        EXPECT_EQ(e.Text, "Delete record?");
        EXPECT_EQ(e.Type, mtConfirmation);
        EXPECT_EQ(e.Buttons, mbOK | mbCancel);
    }
}

// ---- prompts ----

namespace {

void WhenModal(std::function<void(QWidget*)> Answer) {
    QTimer::singleShot(0, [Answer] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        Answer(modal);
    });
}

}  // namespace

TEST(Prompts, QtBoxesAnswerTheButtonPressedWithTheirCaptions) {
    TQtPrompts qt;
    TPrompts* before = SetPrompts(&qt);
    const std::string text = "Caf\xe9 ?";
    struct Case {
        TMsgDlgType Type;
        const char* Caption;
        TMsgDlgButtons Buttons;
        QMessageBox::StandardButton Press;
        TModalResult Result;
    } const cases[] = {
        {mtConfirmation, "Confirm", mbOKCancel, QMessageBox::Ok, mrOk},
        {mtConfirmation, "Confirm", mbOKCancel, QMessageBox::Cancel, mrCancel},
        {mtWarning, "Warning", mbYes | mbCancel, QMessageBox::Yes, mrYes},
        {mtWarning, "Warning", mbYes | mbCancel, QMessageBox::Cancel, mrCancel},
        {mtError, "Error", mbYesNo, QMessageBox::No, mrNo},
        {mtInformation, "Information", mbOK, QMessageBox::Ok, mrOk},
    };
    for (const Case& c : cases) {
        WhenModal([&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle().toStdString(), c.Caption);
            EXPECT_EQ(box->text(), QString::fromLatin1(text.c_str()));
            ASSERT_NE(box->button(c.Press), nullptr);
            box->button(c.Press)->click();
        });
        EXPECT_EQ(Prompts().MessageDlg(text, c.Type, c.Buttons), c.Result) << c.Caption;
    }
    // Esc answers Cancel, or No where there is no Cancel.
    for (TMsgDlgButtons b : {mbOKCancel, mbYesNo}) {
        WhenModal([](QWidget* w) {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(w, &esc);
        });
        EXPECT_EQ(Prompts().MessageDlg("?", mtConfirmation, b), b == mbOKCancel ? mrCancel : mrNo);
    }
    WhenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text().toStdString(), "No search text entered!");
        box->button(QMessageBox::Ok)->click();
    });
    Prompts().ShowMessage("No search text entered!");

    std::string value = "518";
    WhenModal([](QWidget* w) {
        auto* d = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->windowTitle(), "Distance");
        EXPECT_EQ(d->labelText(), QString::fromLatin1("Km \xe0:"));
        EXPECT_EQ(d->textValue(), "518");
        d->setTextValue(QString::fromLatin1("49\xb0"));
        d->accept();
    });
    EXPECT_TRUE(Prompts().InputQuery("Distance", "Km \xe0:", value));
    EXPECT_EQ(value, "49\xb0");
    WhenModal([](QWidget* w) {
        auto* d = qobject_cast<QInputDialog*>(w);
        ASSERT_NE(d, nullptr);
        d->setTextValue("typed");
        d->reject();
    });
    EXPECT_FALSE(Prompts().InputQuery("Distance", "Km:", value));
    EXPECT_EQ(value, "49\xb0");
    EXPECT_EQ(SetPrompts(before), &qt);
}

TEST(Prompts, TheHeadlessDefaultDeclinesEveryQuestion) {
    TPrompts* installed = SetPrompts(nullptr);
    TPrompts& p = Prompts();
    EXPECT_NE(dynamic_cast<THeadlessPrompts*>(&p), nullptr);
    EXPECT_EQ(p.MessageDlg("?", mtConfirmation, mbOKCancel), mrCancel);
    EXPECT_EQ(p.MessageDlg("?", mtConfirmation, mbYesNo), mrNo);
    EXPECT_EQ(p.MessageDlg("!", mtInformation, mbOK), mrOk);
    std::string v = "kept";
    EXPECT_FALSE(p.InputQuery("c", "p", v));
    EXPECT_EQ(v, "kept");
    SetPrompts(installed == &p ? nullptr : installed);
}

// ---- grabs ----

TEST(DataControls, GrabsOfTheMessagePage) {
    TLog log(20);
    QWidget page;
    auto* layout = new QVBoxLayout(&page);
    auto* grid = new TDBGrid(&page);
    auto* memo = new TDBMemo(&page);
    auto* nav = new TDBNavigator(&page);
    layout->addWidget(grid);
    layout->addWidget(nav);
    layout->addWidget(memo);
    struct {
        const char* Field;
        const char* Title;
        int Width;
        bool ReadOnly;
    } const columns[] = {{"UTCRECEIVED", "", 140, true}, {"FREQ", "", 45, true},    {"SIGQUAL", "SQ", 35, true},
                         {"IDLETTER", "B1", 30, false},  {"MSGTYPE", "B2", 30, true}, {"MSGNUMBER", "", 80, true},
                         {"NAVAREA", "", 70, false},     {"STATION", "", 160, true}, {"DIST", "DIST (Km)", 70, true}};
    for (const auto& c : columns) grid->Columns().Add(c.Field, c.Title, c.Width, c.ReadOnly);
    grid->SetDataSource(&log.Source);
    memo->SetDataField("MSGTEXT");
    memo->SetDataSource(&log.Source);
    nav->SetDataSource(&log.Source);
    page.resize(770, 200);
    page.show();
    QCoreApplication::processEvents();
    const int extra = grid->height() - grid->viewport()->height();
    grid->setFixedHeight(extra + 20 * grid->verticalHeader()->defaultSectionSize());
    page.adjustSize();
    page.resize(770, page.height());
    QCoreApplication::processEvents();
    ASSERT_EQ(grid->VisibleRows(), 20);
    ASSERT_EQ(grid->Model().rowCount(), 20);
    log.DataSet.MoveBy(6);
    grid->setFocus();
    grid->SetSelectedIndex(3);
    ASSERT_TRUE(grid->ShowEditor());
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_S, Qt::NoModifier, "S");
    QApplication::sendEvent(grid->Editor(), &typed);
    ASSERT_EQ(log.DataSet.State(), dsEdit);
    QCoreApplication::processEvents();
    tilo_test::SaveGrab(page.grab().toImage(), "message-page-grid-memo-navigator");
    tilo_test::SaveGrab(grid->grab().toImage(), "dbgrid-20-log-records-editor");
    tilo_test::SaveGrab(memo->grab().toImage(), "dbmemo");
    tilo_test::SaveGrab(nav->grab().toImage().scaled(nav->width() * 2, nav->height() * 2), "dbnavigator");
    log.DataSet.Cancel();
    grid->SetDataSource(nullptr);
    memo->SetDataSource(nullptr);
    nav->SetDataSource(nullptr);
}
