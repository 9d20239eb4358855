// The receive page's pictures on pixels: the waterfall line's colour, scroll, speed,
// label and snapshot rule; the scope's background, grid, scale and colours; the JPEG
// writer's failures; the spectrum chart's mapping against the chart's own, its hooks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QChart>
#include <QLineSeries>
#include <QPainter>
#include <QValueAxis>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <regex>

#include "MainTestKit.h"
#include "QtTestApp.h"
#include "app/Displays.h"
#include "app/JpegFile.h"
#include "app/ChSpectrum.h"

using namespace tilo;

namespace {

QRgb At(const QImage& I, int x, int y) { return I.pixel(x, y) & 0xFFFFFF; }
QRgb Rgb(int r, int g, int b) { return qRgb(r, g, b) & 0xFFFFFF; }

QImage Black(int w, int h) {
    QImage i(w, h, QImage::Format_RGB888);
    i.fill(Qt::black);
    return i;
}

// n points from 0 Hz upward at Step Hz, all of magnitude Mag.
TSpectrum Flat(int n, double Mag, double Step = 10.77) {
    TSpectrum s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) s[size_t(i)] = {i * Step, Mag};
    return s;
}

}  // namespace

TEST(Waterfall, TopLineIsPureGreenOfTheMagnitudeAndScrolls) {
    SetSampleRate(11025);
    QImage b = Black(512, 40);
    TWaterfallState st;
    TWaterfallLine line{1200, 1, false, 1.0, "12:00:00", {}};
    ASSERT_TRUE(DrawWaterfallLine(Flat(256, 100), b, st, line));
    EXPECT_EQ(At(b, 0, 0), Rgb(0, 255, 0));
    EXPECT_EQ(At(b, 300, 0), Rgb(0, 255, 0));
    // Magnitude 20 gives 51; the previous top line moves to 1.
    ASSERT_TRUE(DrawWaterfallLine(Flat(256, 20), b, st, line));
    EXPECT_EQ(At(b, 10, 0), Rgb(0, 51, 0));
    EXPECT_EQ(At(b, 10, 1), Rgb(0, 255, 0));
    // All zero: a black top line, the rest scrolled on.
    ASSERT_TRUE(DrawWaterfallLine(Flat(256, 0), b, st, line));
    for (int x = 0; x < 512; ++x) ASSERT_EQ(At(b, x, 0), 0u) << x;
    EXPECT_EQ(At(b, 10, 1), Rgb(0, 51, 0));
    EXPECT_EQ(At(b, 10, 2), Rgb(0, 255, 0));
}

TEST(Waterfall, LinesEveryNthBlockAndLabelsEveryNSeconds) {
    QImage b = Black(400, 30);
    TWaterfallState st;
    TWaterfallLine line{1350, 3, false, 100.0, "01:02:03", {}};
    int drawn = 0;
    for (int k = 0; k < 9; ++k) drawn += DrawWaterfallLine(Flat(256, 100), b, st, line);
    EXPECT_EQ(drawn, 3);
    // The label was drawn on the first line (cyan near x = width - 100) and scrolled down.
    bool cyan = false;
    for (int y = 0; y < 30; ++y)
        for (int x = 300; x < 400; ++x) {
            const QColor c = b.pixelColor(x, y);
            cyan |= c.red() < 60 && c.blue() > 120 && c.green() > 120;
        }
    EXPECT_TRUE(cyan);
    // Less than N seconds later: no new label on the next line.
    QImage c = Black(400, 30);
    TWaterfallState s2{0, 0, 100.0};
    TWaterfallLine soon{1350, 1, false, 100.0 + 0.5 / 86400, "01:02:03", {}};
    DrawWaterfallLine(Flat(256, 0), c, s2, soon);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 400; ++x) ASSERT_EQ(At(c, x, y), 0u);
    TWaterfallLine later{1350, 1, false, 100.0 + 1.0 / 86400, "01:02:04", {}};
    DrawWaterfallLine(Flat(256, 0), c, s2, later);
    EXPECT_EQ(s2.LastLabel, later.LocalNow);
}

TEST(Waterfall, SnapshotComesOnceTheCountReachesTheHeightEvenWhenSwitchedOnLate) {
    QImage b = Black(64, 10);
    TWaterfallState st;
    int snaps = 0;
    TWaterfallLine off{1200, 1, false, 0, "00:00:00", [&] { ++snaps; }};
    for (int k = 0; k < 25; ++k) DrawWaterfallLine(Flat(64, 10), b, st, off);
    EXPECT_EQ(snaps, 0);
    TWaterfallLine on = off;
    on.Dump = true;
    DrawWaterfallLine(Flat(64, 10), b, st, on);  // 26 lines counted: due at once
    EXPECT_EQ(snaps, 1);
    for (int k = 0; k < 9; ++k) DrawWaterfallLine(Flat(64, 10), b, st, on);
    EXPECT_EQ(snaps, 1);
    DrawWaterfallLine(Flat(64, 10), b, st, on);  // the tenth line since
    EXPECT_EQ(snaps, 2);
}

TEST(Scope, SineSpansEightTenthsOfTheHeightAndFlatLiesOnTheCentre) {
    SetSampleRate(11025);
    std::vector<double> sine(1024), flat(1024, 7.0);
    for (int i = 0; i < 1024; ++i) sine[size_t(i)] = 1000 * std::sin(2 * std::numbers::pi * i / 64.0) + 300;
    QImage img = Black(400, 200);
    DrawScope(sine, {}, {}, img, 1);
    int top = 200, bottom = -1;
    for (int y = 0; y < 200; ++y)
        for (int x = 1; x < 399; ++x)
            if (At(img, x, y) == Rgb(0, 255, 0)) top = std::min(top, y), bottom = std::max(bottom, y);
    // 0.8 x 200 = 160 pixels about the centre line 100.
    EXPECT_NEAR(top, 100 - 80, 1);
    EXPECT_NEAR(bottom, 100 + 80, 1);
    EXPECT_EQ(At(img, 5, 5), Rgb(0, 22, 0));
    EXPECT_EQ(At(img, 0, 5), Rgb(0, 128, 0));  // frame

    QImage f = Black(400, 200);
    DrawScope({}, {}, flat, f, 1);
    for (int x = 10; x < 390; x += 7) EXPECT_EQ(At(f, x, 100), Rgb(0, 255, 255)) << x;
    EXPECT_EQ(At(f, 50, 99), Rgb(0, 22, 0));
}

TEST(Scope, GridEveryTenMillisecondsTimesTheZoom) {
    struct Case {
        int rate, width, item, step;
    };
    // round(width x 10 / (1024000 / rate)) x zoom
    const Case cases[] = {{11025, 400, 0, 43}, {11025, 400, 1, 86}, {11025, 400, 2, 172},
                          {12000, 400, 0, 47}, {11025, 400, 7, 43}};
    for (const Case& c : cases) {
        SetSampleRate(c.rate);
        const int step = ScopeGridStep(c.width, ScopeZoom(c.item));
        EXPECT_EQ(step, c.step) << c.rate << " " << c.item;
        QImage img = Black(c.width, 120);
        DrawScope({}, std::vector<double>(1024, 0.0), {}, img, ScopeZoom(c.item));
        EXPECT_EQ(At(img, step, 30), Rgb(0, 128, 0));
        EXPECT_EQ(At(img, step + 3, 30), Rgb(0, 22, 0));
        EXPECT_EQ(At(img, 20, 60), Rgb(255, 0, 0));  // trace 2 is red
    }
    SetSampleRate(11025);
}

TEST(Scope, GrabsOfEveryTraceAndZoom) {
    SetSampleRate(11025);
    std::vector<double> a(1024), b(1024), c(1024);
    for (int i = 0; i < 1024; ++i) {
        a[size_t(i)] = std::sin(i / 10.0);
        b[size_t(i)] = 0.5 * std::cos(i / 7.0);
        c[size_t(i)] = (i / 100) % 2;
    }
    for (int z : {1, 2, 4}) {
        QImage img = Black(480, 160);
        DrawScope(a, b, c, img, z);
        tilo_test::SaveGrab(img, "scope_traces_x" + std::to_string(z));
    }
}

TEST(SmoothPhase, IsAnExponentialAverage) {
    PhaseAverage = 0;
    EXPECT_DOUBLE_EQ(SmoothPhase(10, 0.025), 0.25);
    EXPECT_DOUBLE_EQ(SmoothPhase(10, 0.025), 10 * 0.025 + 0.975 * 0.25);
    EXPECT_DOUBLE_EQ(SmoothPhase(-4, 1.0), -4);
    PhaseAverage = 0;
}

TEST(JpegFile, WritesWhatReadsBackAtItsSize) {
    const std::string dir = tilo_test::TempFolder() + "/";
    QImage img = Black(120, 40);
    img.fill(QColor(0, 200, 0));
    std::string err;
    ASSERT_TRUE(WriteJpegFile(img, dir + "a.jpg", err)) << err;
    QImage back;
    ASSERT_TRUE(ReadJpegFile(dir + "a.jpg", back, err)) << err;
    EXPECT_EQ(back.size(), img.size());
    const QColor p = back.pixelColor(60, 20);
    EXPECT_LT(p.red(), 20);
    EXPECT_GT(p.green(), 180);
    EXPECT_LT(p.blue(), 20);
    // Only the JPEG is left: the temporary name is gone.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

TEST(JpegFile, FailuresReturnAndLeaveNoFile) {
    const std::string dir = tilo_test::TempFolder() + "/";
    std::string err;
    // The library's own error (an empty image) comes back instead of ending the process,
    // and an older file of the name is kept as it was.
    std::ofstream(dir + "old.jpg") << "older";
    EXPECT_FALSE(WriteJpegFile(QImage(), dir + "old.jpg", err));
    EXPECT_FALSE(err.empty());
    std::ifstream in(dir + "old.jpg");
    std::string kept((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(kept, "older");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    // A full device: the write error's reason.
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_TRUE(full);
    QImage big(800, 600, QImage::Format_RGB888);
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x) big.setPixel(x, y, Rgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));
    err.clear();
    EXPECT_FALSE(WriteJpegStream(big, full, err));
    EXPECT_FALSE(err.empty());
    std::fclose(full);
    // A folder that does not exist.
    EXPECT_FALSE(WriteJpegFile(big, dir + "no/such.jpg", err));
    EXPECT_EQ(err, "No such file or directory");
    EXPECT_FALSE(ReadJpegFile(dir + "old.jpg", big, err));  // not a JPEG
}

TEST(JpegFile, SnapshotNameAndFolder) {
    EXPECT_EQ(WaterfallDumpName(tilo_test::Utc(2026, 12, 10, 13, 5, 9)), "WFALL20261210 130509.jpg");
    EXPECT_EQ(WaterfallDumpName(tilo_test::Utc(2026, 1, 2, 0, 0, 0)), "WFALL20260102.jpg");
    const std::string dir = tilo_test::TempFolder() + "/";
    std::ofstream(dir + "DUMPS") << "a file in the way";
    EXPECT_FALSE(DumpWaterfallJpeg(Black(10, 10), dir, 46000.5).empty());
}

TEST(SpectrumChart, MappingEqualsTheChartsOwn) {
    TSpectrumChart ch;
    ch.resize(640, 300);
    ch.SetAxisMaximum(2756);
    ch.SetSpectrum(Flat(512, 30, 2756.0 / 512));
    ch.show();
    QApplication::processEvents();
    const QTransform t = ch.chart()->sceneTransform() * ch.viewportTransform();
    for (double f : {0.0, 250.0, 1115.0, 1285.0, 1350.0, 2506.0, 2756.0}) {
        const QPointF p = t.map(ch.chart()->mapToPosition(QPointF(f, 0), ch.Series));
        EXPECT_EQ(ch.XOf(f), int(std::nearbyint(p.x()))) << f;
        EXPECT_NEAR(ch.FrequencyAt(ch.XOf(f)), f, 2756.0 / ch.chart()->plotArea().width()) << f;
    }
    (void)ch.grab();
    EXPECT_EQ(SpectrumX(1000, 40, 540, 2000), 290);
    EXPECT_EQ(SpectrumX(1, 40, 41, 2), 40);  // 40.5 to even
}

TEST(SpectrumChart, HooksPaintUnderAndOverTheTrace) {
    TSpectrumChart ch;
    ch.resize(500, 260);
    ch.SetAxisMaximum(2756);
    TSpectrum s = Flat(512, 50, 2756.0 / 512);
    ch.SetSpectrum(s);
    EXPECT_EQ(ch.Series->count(), 511);
    ch.OnBeforeDrawAxes = [&](QPainter& p) { p.fillRect(QRect(ch.XOf(1000), 25, 40, 200), QColor(53, 0, 117)); };
    ch.OnAfterDraw = [&](QPainter& p) {
        p.setPen(QColor(255, 255, 0));
        p.drawLine(ch.XOf(2000), 25, ch.XOf(2000), 250);
    };
    ch.show();
    QApplication::processEvents();
    const QImage g = ch.grab().toImage();
    EXPECT_EQ(At(g, ch.XOf(1000) + 5, 40), Rgb(53, 0, 117));
    EXPECT_EQ(At(g, ch.XOf(2000), 40), Rgb(255, 255, 0));
    // The trace at magnitude 50 is drawn over the band.
    const QTransform t = ch.chart()->sceneTransform() * ch.viewportTransform();
    const int y50 = int(std::nearbyint(t.map(ch.chart()->mapToPosition(QPointF(1010, 50), ch.Series)).y()));
    bool green = false;
    for (int dy = -1; dy <= 1; ++dy) green |= At(g, ch.XOf(1010), y50 + dy) == Rgb(0, 255, 0);
    EXPECT_TRUE(green);
    ch.SetLogarithmic(true);
    ch.SetSpectrum(Flat(512, 0, 2756.0 / 512));
    EXPECT_DOUBLE_EQ(ch.Series->at(3).y(), 0.1);
}
