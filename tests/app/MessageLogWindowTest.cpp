// The message page over a 20,000-record log: each key, wheel notch, letter filter and
// search converts at most the grid's window of rows plus a constant, whatever the
// log's length.
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
    W->resize(1100, 1000);
    TDBGrid& g = *W->DBLogGridView;
    ShowPageOf(&g);
    const int window = g.VisibleRows();
    ASSERT_GE(window, 1);
    g.setFocus();
    auto converted = [&](const std::function<void()>& Step) {
        const int64_t before = g.Model().RowsConverted();
        Step();
        QCoreApplication::processEvents();
        return g.Model().RowsConverted() - before;
    };
    const int64_t limit = window + 4;
    EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_Home, Qt::ControlModifier); }), limit);
    EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_End, Qt::ControlModifier); }), limit);
    EXPECT_EQ(Log().RecNo(), 20000);
    EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_PageUp); }), limit);
    for (int notch = 0; notch < 3; ++notch) {
        EXPECT_LE(converted([&] {
            QWheelEvent wheel(QPointF(20, 40), g.mapToGlobal(QPoint(20, 40)), QPoint(), QPoint(0, 120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(g.viewport(), &wheel);
        }), limit);
    }
    // A letter filter: the count, then the window at its end.
    W->edtID->setText("Q");
    EXPECT_LE(converted([&] { Click(W->sbFilter); }), limit);
    EXPECT_EQ(Label(), "RECORDS: " + std::to_string(20000 / 26 + (20000 % 26 > 16 ? 1 : 0)));
    EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_PageUp); }), limit);
    // A search: one scan, served every 20 ms at most; the window of its matches.
    W->edtSrchtext->setText("ICEBERG");
    Served = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_LE(converted([&] { Click(W->sbTextSearch); }), limit);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(Label(), "RECORDS: 40");
    EXPECT_LE(Served, ms / 20 + 1);
    const int served = Served;
    g.setFocus();
    EXPECT_LE(converted([&] { QTest::keyClick(&g, Qt::Key_Up); }), limit);
    EXPECT_EQ(Served, served);  // moves under the search serve nothing
    std::printf("[ big log ] window %d rows; search scan %lld ms, events served %d times\n", window,
                static_cast<long long>(ms), served);
}
