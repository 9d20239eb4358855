// A database component compacting its file under the receiver's Qt dialogs, offscreen:
// the operator's Abort in the wait window stops the compaction and keeps the file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "QtTestApp.h"
#include "app/ORQDlgWait.h"
#include "app/QtUserInterface.h"
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

}  // namespace
