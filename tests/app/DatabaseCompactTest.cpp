// A database component compacting its file under the receiver's Qt dialogs, offscreen:
// the operator's Abort in the wait window stops the compaction and keeps the file; the
// receiver's compaction beside the event loop obeys it too, and the loop turns meanwhile.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "app/ORQDlgWait.h"
#include "app/QtUserInterface.h"
#include "app/U_Main.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQEngineState.h"

using namespace tilo;

namespace {

std::vector<char> Bytes(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(DatabaseCompact, AbortInTheWaitWindowKeepsTheFile) {
    orq::StartEngine();
    TQtUserInterface ui;
    orq::TORQUserInterface* before = orq::SetUserInterface(&ui);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath("TILO_DB.ORQ").toStdString();
    {
        orq::TORQLocalSession s;
        s.DatabaseName = "ORQDB";
        s.DatabaseFileName = file;
        s.CreateDatabase();
    }
    orq::TORQDatabase db(nullptr);
    db.SetDatabaseName("ORQDB");
    db.SetDatabaseFileName(file);
    db.Open();
    {
        orq::TORQTable t;
        t.SetDatabaseName("ORQDB");
        t.SetTableName("NAVTEXLOG");
        orq::TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
        d->Name = "MSGTEXT";
        d->DataType = orq::aftMemo;
        t.CreateTable();
        t.Open();
        for (int i = 0; i < 50; ++i) {
            t.Append();
            t.FieldByName("MSGTEXT")->SetAsString("MESSAGE " + std::to_string(i));
            t.Post();
        }
    }
    db.Close();
    const std::vector<char> original = Bytes(file);
    int clicked = 0;
    // Served by the compaction's first progress step.
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* wait = qobject_cast<TfrmWait*>(w)) {
                wait->btnCancel->click();
                ++clicked;
            }
    });
    int code = 0;
    std::string text;
    try {
        db.CompactDatabase();
    } catch (const orq::EORQException& e) {
        code = e.NativeError();
        text = e.what();
    }
    EXPECT_EQ(clicked, 1);
    EXPECT_EQ(code, 30456);
    EXPECT_EQ(text, "Operation CompactDatabase failed:  - Native error: 30456");
    EXPECT_EQ(Bytes(file), original);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(qobject_cast<TfrmWait*>(w), nullptr);
    EXPECT_TRUE(db.CompactDatabase()) << "no timer, no abort";
    orq::SetUserInterface(before);
    orq::StopEngine();
}

// The receiver's compaction runs on a thread of its own: this thread's loop keeps turning
// through all of it (its last write and the swap of the files included), the wait
// window's Abort stops it with the engine's error and the file kept, and a compaction
// left alone shrinks the file and keeps every record.
TEST(DatabaseCompact, BesideTheLoopTheLoopTurnsAndAbortKeepsTheFile) {
    orq::StartEngine();
    TQtUserInterface ui;
    orq::TORQUserInterface* before = orq::SetUserInterface(&ui);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath("TILO_DB.ORQ").toStdString();
    {
        orq::TORQLocalSession s;
        s.DatabaseName = "ORQDB";
        s.DatabaseFileName = file;
        s.CreateDatabase();
    }
    orq::TORQDatabase db(nullptr);
    db.SetDatabaseName("ORQDB");
    db.SetDatabaseFileName(file);
    db.Open();
    const int records = 6000;
    {
        orq::TORQTable t;
        t.SetDatabaseName("ORQDB");
        t.SetTableName("NAVTEXLOG");
        orq::TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
        d->Name = "MSGTEXT";
        d->DataType = orq::aftMemo;
        t.CreateTable();
        t.Open();
        db.StartTransaction();
        for (int i = 0; i < 2 * records; ++i) {
            t.Append();
            t.FieldByName("MSGTEXT")->SetAsString("MESSAGE " + std::to_string(i));
            t.Post();
        }
        db.Commit(true);
        // Half of them gone: the compaction has space to give back.
        db.StartTransaction();
        t.First();
        for (int i = 0; i < records; ++i) t.Delete();
        db.Commit(true);
    }
    db.Close();
    const std::vector<char> original = Bytes(file);

    int clicked = 0;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* wait = qobject_cast<TfrmWait*>(w)) {
                wait->btnCancel->click();
                ++clicked;
            }
    });
    int code = 0;
    try {
        CompactBesideTheLoop(db);
    } catch (const orq::EORQException& e) {
        code = e.NativeError();
    }
    EXPECT_EQ(clicked, 1);
    EXPECT_EQ(code, 30456);
    EXPECT_EQ(Bytes(file), original);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_EQ(qobject_cast<TfrmWait*>(w), nullptr);
    EXPECT_FALSE(db.OnCompactProgress) << "the events as they were before";

    int turns = 0;
    QTimer turn;
    turn.setInterval(0);
    QObject::connect(&turn, &QTimer::timeout, [&] { ++turns; });
    turn.start();
    CompactBesideTheLoop(db);
    turn.stop();
    EXPECT_GT(turns, 0);
    EXPECT_LT(Bytes(file).size(), original.size());
    db.Open();
    orq::TORQTable t;
    t.SetDatabaseName("ORQDB");
    t.SetTableName("NAVTEXLOG");
    t.Open();
    EXPECT_EQ(t.RecordCount(), records);
    t.Close();
    db.Close();
    orq::SetUserInterface(before);
    orq::StopEngine();
}

}  // namespace
