// The message page over a 20,000-record log: each key, wheel notch, letter filter,
// search and clearing converts at most one window of rows (a move by one record one row), whatever the
// log's length and the grid's height.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWheelEvent>

#include <chrono>

#include "MessageLogKit.h"

using namespace tilo;
using namespace tilo_test;

namespace {

class BigLog : public LogPagesFixture {};

std::vector<TFixRecord> Generated(int Count) {
    std::vector<TFixRecord> v;
    v.reserve(size_t(Count));
    for (int i = 0; i < Count; ++i) {
        TFixRecord r;
        r.Utc = At(2025, 1, 1) + i / 1440.0;
        r.Freq = i % 3 ? 518 : 490;
        r.SigQual = i % 101;
        r.IdLetter = std::string(1, char('A' + i % 26));
        r.MsgType = "B";
        r.MsgNumber = std::to_string(i % 100);
        r.NavArea = int16_t(1 + i % 21);
        r.Station = i % 7 ? "GBR12 NITON,G" : "UNID";
        r.MsgText = "ZCZC " + r.IdLetter + "B\r\nMESSAGE " + std::to_string(i) + (i % 500 ? "" : " ICEBERG") + "\r\nNNNN";
        r.Dist = i % 3000;
        v.push_back(r);
    }
    return v;
}

}  // namespace

TEST_F(BigLog, KeysWheelFilterAndSearchConvertAWindowOfRows) {
    const auto log = Generated(20000);
    Make(&log);
    TDBGrid& g = *W->DBLogGridView;
    auto converted = [&](const std::function<void()>& Step) {
        const int64_t before = g.Model().RowsConverted();
        Step();
        QCoreApplication::processEvents();
        return g.Model().RowsConverted() - before;
    };
    // Whatever the grid's height: a jump, a page or a filter is one reset of the window
    // (at most its rows), a move by one record shifts it by one row. A filter that
    // showed its first record before its last would convert the window twice.
    int last = 0;
    for (const int height : {1000, 1400, 2000}) {
        W->resize(1100, height);
        ShowPageOf(&g);
        Click(W->sbClear);
        const int window = g.VisibleRows();
        SCOPED_TRACE(std::to_string(window) + " rows");
        ASSERT_GT(window, last);  // each height shows more rows
        last = window;
        g.setFocus();
        EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_Home, Qt::ControlModifier); }), window);
        EXPECT_EQ(Log().RecNo(), 1);
        EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_End, Qt::ControlModifier); }), window);
        EXPECT_EQ(Log().RecNo(), 20000);
        EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_PageUp); }), window);
        for (int notch = 0; notch < 3; ++notch) {
            EXPECT_LE(converted([&] {
                QWheelEvent wheel(QPointF(20, 40), g.mapToGlobal(QPoint(20, 40)), QPoint(), QPoint(0, 120),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(g.viewport(), &wheel);
            }), 1);
        }
        // A letter filter: the count, then the window at its end.
        W->edtID->setText("Q");
        EXPECT_LE(converted([&] { Click(W->sbFilter); }), window);
        EXPECT_EQ(Label(), "RECORDS: " + std::to_string(20000 / 26 + (20000 % 26 > 16 ? 1 : 0)));
        EXPECT_TRUE(Log().Eof());
        EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_PageUp); }), window);
        // A search: one scan, served every 20 ms at most; the window of its matches.
        W->edtSrchtext->setText("ICEBERG");
        Served = 0;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_LE(converted([&] { Click(W->sbTextSearch); }), window);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(Label(), "RECORDS: 40");
        EXPECT_LE(Served, ms / 20 + 1);
        const int served = Served;
        g.setFocus();
        EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_Up); }), 1);
        EXPECT_EQ(Served, served);  // moves under the search serve nothing
        // Clearing: the whole log again, the window at its end once.
        EXPECT_LE(converted([&] { Click(W->sbClear); }), window);
        EXPECT_EQ(Label(), "RECORDS: 20000");
        EXPECT_EQ(Log().RecNo(), 20000);
        std::printf("[ big log ] window %d rows; search scan %lld ms, events served %d times\n", window,
                    static_cast<long long>(ms), served);
    }
}
