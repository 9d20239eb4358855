// The text helpers, the message-pumping Delay, the application folder with its LOG
// folder, and number text once a QApplication exists under a comma locale.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>
#include <QTimer>

#include <chrono>
#include <functional>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "QtTestApp.h"
#include "app/MesUtilD4.h"
#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"

using namespace tilo;

TEST(TextHelpers, SplitTokenCutsTheFirstToken) {
    struct Case { const char* text; char sep; const char* token; const char* rest; } cases[] = {
        {"A,B,C", ',', "A", "B,C"}, {"ABC", ',', "ABC", ""}, {",B", ',', "", "B"},
        {"", ',', "", ""}, {"A,", ',', "A", ""}, {"518 NAVAREA", ' ', "518", "NAVAREA"},
    };
    for (const Case& c : cases) {
        std::string text = c.text, token = "stale";
        SplitToken(text, c.sep, token);
        EXPECT_EQ(token, c.token) << c.text;
        EXPECT_EQ(text, c.rest) << c.text;
    }
}

TEST(TextHelpers, DeleteCharRemovesOnlyTheFirstOccurrence) {
    struct Case { const char* text; char c; const char* after; } cases[] = {
        {"FREQ = 1000", ' ', "FREQ= 1000"}, {"FREQ=1000", ' ', "FREQ=1000"}, {"", ' ', ""}, {"~a~", '~', "a~"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        DeleteChar(text, c.c);
        EXPECT_EQ(text, c.after) << c.text;
    }
}

TEST(TextHelpers, CountCharCountsEveryPosition) {
    EXPECT_EQ(CountChar('~', "AB~C~D"), 2);
    EXPECT_EQ(CountChar('~', ""), 0);
    EXPECT_EQ(CountChar('~', "ABC"), 0);
    EXPECT_EQ(CountChar('~', "~~~"), 3);
}

TEST(Delay, ZeroServesPostedEventsOnceAndSleeps) {
    int runs = 0;
    // Each run posts the next one: only the event pending when Delay starts may run.
    std::function<void()> post = [&] {
        QTimer::singleShot(0, QCoreApplication::instance(), [&] { ++runs; post(); });
    };
    post();
    const auto start = std::chrono::steady_clock::now();
    Delay(0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(runs, 1);
    EXPECT_GE(took, std::chrono::milliseconds(10));
    QCoreApplication::removePostedEvents(nullptr);
}

TEST(Delay, ReturnsWhenTheApplicationIsAskedToQuit) {
    auto took = std::chrono::steady_clock::duration::max();
    QTimer::singleShot(0, QCoreApplication::instance(), [&] {
        const auto start = std::chrono::steady_clock::now();
        Delay(20000);
        took = std::chrono::steady_clock::now() - start;
    });
    QTimer::singleShot(30, QCoreApplication::instance(), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_FALSE(ApplicationTerminating());  // the loop the request ended has returned
}

TEST(ApplicationFolder, IsTiloHomeOrTheExecutablesFolder) {
    const std::string dir = tilo_test::TempFolder();
    ::setenv("TILO_HOME", dir.c_str(), 1);
    EXPECT_EQ(ApplicationFolder(), dir + "/");
    MesUtilD4Start();
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/LOG"));
    MesUtilD4Start();  // an existing folder is left alone
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/LOG"));

    const std::string nested = dir + "/a/b";
    ::setenv("TILO_HOME", nested.c_str(), 1);
    MesUtilD4Start();
    EXPECT_TRUE(std::filesystem::is_directory(nested + "/LOG"));

    const std::string blocked = dir + "/file";
    std::FILE* f = std::fopen(blocked.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ::setenv("TILO_HOME", blocked.c_str(), 1);
    EXPECT_NO_THROW(MesUtilD4Start());  // failure is silent here

    ::unsetenv("TILO_HOME");
    const std::string exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
    EXPECT_EQ(ApplicationFolder(), exeDir);
}

TEST(FormatSettings, NumberAndDateTextSurviveTheApplicationsLocale) {
    const bool cComma = tilo_test::NumericLocaleBeforeFix() != "C";
    const bool qtComma = tilo_test::QtDecimalPointBeforeFix() == QChar(',');
    if (!cComma && !qtComma) GTEST_SKIP() << "LANG names no comma locale";
    // The QApplication adopted the comma locale; the fix put the point back.
    if (cComma) {
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.3f", 0.975);
        EXPECT_STREQ(buf, "0.975");
    }
    if (qtComma) {
        EXPECT_EQ(QLocale().toString(1234.5, 'f', 1), "1234.5");
        EXPECT_EQ(QLocale().toDouble("0.975"), 0.975);
    }
    EXPECT_EQ(classlib::FloatToStr(0.975), "0.975");
    EXPECT_EQ(classlib::StrToFloat("1.5"), 1.5);
    EXPECT_EQ(classlib::FormatDateTime("yyyy-mm-dd hh:nn:ss", classlib::EncodeDate(2026, 12, 10) +
                                                                    classlib::EncodeTime(4, 20, 5, 0)),
              "2026-12-10 04:20:05");
}
