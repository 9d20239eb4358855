// TAnalogGauge and TLed: setter rules, events, the dial geometry as pure functions, the
// anti-aliasing mean, what a Position change redraws, the flash timer, and grabs of the
// three gauge styles (with and without anti-aliasing) and of a lamp on and off.
#include <gtest/gtest.h>

#include <QTimer>

#include "QtTestApp.h"
#include "app/components/AnalogGauge.h"
#include "app/components/Led.h"

using namespace tilo;

TEST(AnalogGauge, StartsWithItsDesignValues) {
    TAnalogGauge g;
    EXPECT_EQ(g.size(), QSize(225, 180));
    EXPECT_EQ(g.MinColor(), QColor(0, 128, 0));
    EXPECT_EQ(g.MidColor(), QColor(Qt::yellow));
    EXPECT_EQ(g.MaxColor(), QColor(Qt::red));
    EXPECT_EQ(g.CenterColor(), QColor(128, 128, 128));
    EXPECT_EQ(g.CircleColor(), QColor(Qt::blue));
    EXPECT_EQ(g.ArrowColor(), QColor(Qt::black));
    EXPECT_EQ(g.FaceColor(), g.palette().color(QPalette::Button));
    EXPECT_EQ(g.CenterRadius(), 8);
    EXPECT_EQ(g.CircleRadius(), 3);
    EXPECT_EQ(g.Angle(), 120);
    EXPECT_EQ(g.Margin(), 10);
    EXPECT_EQ(g.Style(), CenterStyle);
    EXPECT_EQ(g.ArrowWidth(), 1);
    EXPECT_EQ(g.NumberMainTicks(), 7);
    EXPECT_EQ(g.LengthMainTicks(), 15);
    EXPECT_EQ(g.LengthSubTicks(), 8);
    EXPECT_EQ(g.FaceOptions(), TFaceOptions("111111001101"));  // bit 0 = ShowMargin
    EXPECT_EQ(g.Position(), 0.0f);
    EXPECT_EQ(g.Scale(), 140);
    EXPECT_EQ(g.IndMaximum(), 80);
    EXPECT_EQ(g.IndMinimum(), 30);
    EXPECT_EQ(g.Caption(), "mV");
    EXPECT_EQ(g.AntiAliased(), aaNone);
    EXPECT_EQ(g.WorkImage().size(), QSize(225, 180));
}

TEST(AnalogGauge, SettersKeepTheirRules) {
    struct Case {
        const char* name;
        std::function<void(TAnalogGauge&)> set;
        std::function<int(const TAnalogGauge&)> get;
        int expected;
    };
    const Case cases[] = {
        {"Scale 0 is refused", [](TAnalogGauge& g) { g.SetScale(0); }, [](auto& g) { return g.Scale(); }, 140},
        {"Scale 1 is refused", [](TAnalogGauge& g) { g.SetScale(1); }, [](auto& g) { return g.Scale(); }, 140},
        {"Scale 2 is taken", [](TAnalogGauge& g) { g.SetScale(2); }, [](auto& g) { return g.Scale(); }, 2},
        {"Scale 50 pulls IndMaximum to 49", [](TAnalogGauge& g) { g.SetScale(50); },
         [](auto& g) { return g.IndMaximum(); }, 49},
        {"Scale 50 pulls IndMinimum to 50 - 49", [](TAnalogGauge& g) { g.SetScale(50); },
         [](auto& g) { return g.IndMinimum(); }, 1},
        {"Scale 100 pulls IndMinimum 30 to 100 - 80", [](TAnalogGauge& g) { g.SetScale(100); },
         [](auto& g) { return g.IndMinimum(); }, 20},
        {"Angle 400 is refused", [](TAnalogGauge& g) { g.SetAngle(400); }, [](auto& g) { return g.Angle(); }, 120},
        {"Angle 10 is refused", [](TAnalogGauge& g) { g.SetAngle(10); }, [](auto& g) { return g.Angle(); }, 120},
        {"Angle 360 is taken", [](TAnalogGauge& g) { g.SetAngle(360); }, [](auto& g) { return g.Angle(); }, 360},
        {"Angle 200 with LeftStyle draws a quarter dial",
         [](TAnalogGauge& g) { g.SetStyle(LeftStyle); g.SetAngle(200); }, [](auto& g) { return g.Angle(); }, 90},
        {"RightStyle limits the angle too", [](TAnalogGauge& g) { g.SetStyle(RightStyle); },
         [](auto& g) { return g.Angle(); }, 90},
        {"ArrowWidth 9 becomes 5", [](TAnalogGauge& g) { g.SetArrowWidth(9); },
         [](auto& g) { return g.ArrowWidth(); }, 5},
        {"ArrowWidth 0 becomes 1", [](TAnalogGauge& g) { g.SetArrowWidth(0); },
         [](auto& g) { return g.ArrowWidth(); }, 1},
        {"IndMaximum 139 is taken", [](TAnalogGauge& g) { g.SetIndMaximum(139); },
         [](auto& g) { return g.IndMaximum(); }, 139},
        {"IndMaximum 140 is refused", [](TAnalogGauge& g) { g.SetIndMaximum(140); },
         [](auto& g) { return g.IndMaximum(); }, 80},
        {"IndMaximum 0 is refused", [](TAnalogGauge& g) { g.SetIndMaximum(0); },
         [](auto& g) { return g.IndMaximum(); }, 80},
        {"IndMinimum 1 is taken", [](TAnalogGauge& g) { g.SetIndMinimum(1); },
         [](auto& g) { return g.IndMinimum(); }, 1},
        {"IndMinimum 140 is refused", [](TAnalogGauge& g) { g.SetIndMinimum(140); },
         [](auto& g) { return g.IndMinimum(); }, 30},
        {"a resize to 40 x 30 gives 60 x 50", [](TAnalogGauge& g) { g.resize(40, 30); },
         [](auto& g) { return g.width() * 1000 + g.height(); }, 60050},
        {"the images follow the size", [](TAnalogGauge& g) { g.resize(40, 30); g.SetPosition(5); },
         [](auto& g) { return g.WorkImage().width() * 1000 + g.WorkImage().height(); }, 60050},
        {"anti-aliasing draws k times as large", [](TAnalogGauge& g) { g.SetAntiAliased(aaTriline); },
         [](auto& g) { return g.WorkImage().width() * 1000 + g.ShownImage().width(); }, 675225},
    };
    for (const Case& c : cases) {
        TAnalogGauge g;
        c.set(g);
        EXPECT_EQ(c.get(g), c.expected) << c.name;
    }
}

TEST(AnalogGauge, OverMaxAndOverMinFireOnChangedPositionsOnly) {
    TAnalogGauge g;
    int overMax = 0, overMin = 0;
    g.OnOverMax = [&](QObject* sender) { EXPECT_EQ(sender, &g); ++overMax; };
    g.OnOverMin = [&](QObject*) { ++overMin; };
    g.SetPosition(90);
    EXPECT_EQ(overMax, 1);
    g.SetPosition(90);
    EXPECT_EQ(overMax, 1);
    g.SetPosition(80);  // not above IndMaximum
    g.SetPosition(30);  // not below IndMinimum
    EXPECT_EQ(overMax, 1);
    EXPECT_EQ(overMin, 0);
    g.SetPosition(29.5f);
    EXPECT_EQ(overMin, 1);
}

TEST(DialGeometry, CenterStyleDefaults) {
    // 225 x 180, margin 10: start 30 degrees, radius round(102.5 / cos 30) = 118,
    // centre (112.5, 118 + 62 div 2).
    const TDialGeometry g = DialGeometry(CenterStyle, 120, 10, 1, 225, 180);
    EXPECT_DOUBLE_EQ(g.Start, 30);
    EXPECT_EQ(g.Radius, 118);
    EXPECT_DOUBLE_EQ(g.CenterX, 112.5);
    EXPECT_DOUBLE_EQ(g.CenterY, 149);
    // Position 70 of 140 points straight up from the centre (halves round to even).
    const QPoint centre = DialPoint(g, 0, 0);
    const QPoint tip = DialPoint(g, ValueAngle(g, 70, 140), g.Radius);
    EXPECT_EQ(centre, QPoint(112, 149));
    EXPECT_EQ(tip, QPoint(112, 31));
    // 0 points left (the start of the scale lies 30 degrees above it), 180 right.
    EXPECT_EQ(DialPoint(g, 0, 100), QPoint(12, 149));
    EXPECT_EQ(DialPoint(g, 180, 100), QPoint(212, 149));
    EXPECT_EQ(DialPoint(g, ValueAngle(g, 0, 140), 100), QPoint(26, 99));
    EXPECT_EQ(ScaleValues(140, 7), (std::vector<std::string>{"0", "20", "40", "60", "80", "100", "120", "140"}));
    EXPECT_EQ(ScaleValues(100, 3), (std::vector<std::string>{"0", "33", "66", "100"}));
    EXPECT_TRUE(ScaleValues(140, 0).empty());
}

TEST(DialGeometry, OtherStylesAndSizes) {
    const TDialGeometry left = DialGeometry(LeftStyle, 200, 10, 2, 450, 360);
    EXPECT_EQ(left.Angle, 90);
    EXPECT_DOUBLE_EQ(left.Start, 90);
    EXPECT_DOUBLE_EQ(left.CenterX, 20);
    EXPECT_DOUBLE_EQ(left.CenterY, 340);
    EXPECT_EQ(left.Radius, 410);
    const TDialGeometry right = DialGeometry(RightStyle, 60, 10, 1, 225, 180);
    EXPECT_EQ(right.Angle, 60);
    EXPECT_DOUBLE_EQ(right.Start, 0);
    EXPECT_DOUBLE_EQ(right.CenterX, 215);
    EXPECT_DOUBLE_EQ(right.CenterY, 170);
    // A flat dial is limited by the height; past 180 degrees the ends below the centre
    // (by r sin 45 at 270 degrees) must fit too: r = 160 / 1.7071 = 93, centred below.
    const TDialGeometry flat = DialGeometry(CenterStyle, 30, 10, 1, 225, 180);
    EXPECT_EQ(flat.Radius, 160);
    EXPECT_DOUBLE_EQ(flat.CenterY, 170);
    const TDialGeometry full = DialGeometry(CenterStyle, 270, 10, 1, 225, 180);
    EXPECT_DOUBLE_EQ(full.Start, -45);
    EXPECT_EQ(full.Radius, 93);
    EXPECT_DOUBLE_EQ(full.CenterY, 103);
}

TEST(AntiAliasing, EachPixelIsTheIntegerMeanOfItsBlock) {
    QImage work(4, 2, QImage::Format_RGB32);
    // Left block: red 255, 254, 0, 0 -> 127; green 1, 2, 3, 5 -> 2; blue 10 each -> 10.
    work.setPixel(0, 0, qRgb(255, 1, 10));
    work.setPixel(1, 0, qRgb(254, 2, 10));
    work.setPixel(0, 1, qRgb(0, 3, 10));
    work.setPixel(1, 1, qRgb(0, 5, 10));
    for (int x = 2; x < 4; ++x) {
        for (int y = 0; y < 2; ++y) work.setPixel(x, y, qRgb(3, 200, 255));
    }
    QImage out;
    AntiAliasImage(work, out, 2);
    ASSERT_EQ(out.size(), QSize(2, 1));
    EXPECT_EQ(out.pixel(0, 0), qRgb(127, 2, 10));
    EXPECT_EQ(out.pixel(1, 0), qRgb(3, 200, 255));

    QImage nine(3, 3, QImage::Format_RGB32);
    for (int i = 0; i < 9; ++i) nine.setPixel(i % 3, i / 3, qRgb(i == 4 ? 17 : 0, 0, 0));
    AntiAliasImage(nine, out, 3);
    EXPECT_EQ(out.pixel(0, 0), qRgb(1, 0, 0));  // 17 div 9
}

TEST(AnalogGauge, PositionRedrawsTheNeedleAloneAndFaceChangesRedrawTheFace) {
    for (TAntialiased aa : {aaNone, aaBiline, aaQuadral}) {
        TAnalogGauge g;
        g.SetAntiAliased(aa);
        const qint64 face = g.FaceImage().cacheKey();
        const QImage before = g.ShownImage().copy();
        g.SetPosition(70);
        EXPECT_EQ(g.FaceImage().cacheKey(), face) << aa;
        EXPECT_NE(g.ShownImage(), before) << aa;
        g.SetArrowWidth(3);
        EXPECT_EQ(g.FaceImage().cacheKey(), face) << aa;
        g.SetCaption("dB");
        EXPECT_NE(g.FaceImage().cacheKey(), face) << aa;
    }
    // The needle at 70 of 140 stands straight up: the column above the centre is the
    // arrow's colour from the centre disc up to the tip.
    TAnalogGauge g;
    TFaceOptions bare;
    bare.set(ShowCenter);
    g.SetFaceOptions(bare);
    g.SetFaceColor(Qt::white);
    g.SetPosition(70);
    const QImage& img = g.WorkImage();
    EXPECT_EQ(img.pixel(112, 40), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(112, 120), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(120, 80), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(104, 80), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(112, 149), QColor(128, 128, 128).rgb());  // the centre disc
    // Moving on leaves no trace of the old needle, in the work image or the face.
    g.SetPosition(10);
    EXPECT_EQ(g.WorkImage().pixel(112, 40), qRgb(255, 255, 255));
    EXPECT_EQ(g.FaceImage().pixel(112, 40), qRgb(255, 255, 255));
    EXPECT_EQ(g.FaceImage().pixel(112, 149), qRgb(255, 255, 255));
}

TEST(AnalogGauge, NeedleRedrawsAddUpToAFullRedraw) {
    // A gauge moved through a run of positions shows exactly what a gauge drawn afresh at
    // the last position shows: the partial redraws leave no trace and miss no pixel.
    for (TAntialiased aa : {aaNone, aaBiline, aaTriline, aaQuadral}) {
        for (int width : {1, 5}) {
            TAnalogGauge moved;
            moved.SetAntiAliased(aa);
            moved.SetArrowWidth(width);
            for (float p : {10.0f, 139.0f, 70.5f, 0.0f, 140.0f, 3.0f, 95.0f}) moved.SetPosition(p);
            TAnalogGauge fresh;
            fresh.SetArrowWidth(width);
            fresh.SetPosition(95);
            fresh.SetAntiAliased(aa);
            EXPECT_EQ(moved.WorkImage(), fresh.WorkImage()) << aa << " " << width;
            EXPECT_EQ(moved.ShownImage(), fresh.ShownImage()) << aa << " " << width;
        }
    }
    TAnalogGauge left;
    left.SetStyle(LeftStyle);
    left.SetPosition(140);
    left.SetPosition(1);
    TAnalogGauge leftFresh;
    leftFresh.SetPosition(1);
    leftFresh.SetStyle(LeftStyle);
    EXPECT_EQ(left.WorkImage(), leftFresh.WorkImage());
}

TEST(AnalogGauge, NoMainTicksDrawsNoScale) {
    TAnalogGauge g;
    g.SetFaceColor(Qt::white);
    g.SetFaceOptions(TFaceOptions().set(ShowMainTicks).set(ShowSubTicks).set(ShowValues).set(ShowCircles));
    const QImage withScale = g.FaceImage().copy();
    g.SetNumberMainTicks(0);
    QImage blank(g.FaceImage().size(), QImage::Format_RGB32);
    blank.fill(Qt::white);
    EXPECT_NE(withScale, blank);
    EXPECT_EQ(g.FaceImage(), blank);
    g.SetNumberMainTicks(-3);
    g.SetPosition(50);
    EXPECT_EQ(g.FaceImage(), blank);
}

TEST(AnalogGauge, GrabsOfTheThreeStyles) {
    // The quarter dials have the width as radius: they want a tall gauge.
    struct Style { TStyle style; int angle; QSize size; const char* name; } styles[] = {
        {CenterStyle, 120, {225, 180}, "center"}, {LeftStyle, 90, {180, 225}, "left"},
        {RightStyle, 90, {180, 225}, "right"}};
    for (const Style& s : styles) {
        for (TAntialiased aa : {aaNone, aaQuadral}) {
            TAnalogGauge g;
            g.resize(s.size);
            g.SetStyle(s.style);
            g.SetAngle(s.angle);
            TFaceOptions o = g.FaceOptions();
            g.SetFaceOptions(o.set(ShowIndicatorMin).set(ShowIndicatorMid).set(ShowCircles));
            g.SetArrowWidth(2);
            g.SetAntiAliased(aa);
            g.SetPosition(95);
            const QImage grab = g.grab().toImage();
            EXPECT_EQ(grab.size(), s.size);
            tilo_test::SaveGrab(grab, std::string("gauge_") + s.name + (aa == aaNone ? "" : "_aa4"));
        }
    }
}

TEST(Led, StartsOffAndFlashTicksToggle) {
    TLed led;
    EXPECT_EQ(led.size(), QSize(20, 20));
    EXPECT_EQ(led.OnColor(), QColor(Qt::red));
    EXPECT_EQ(led.OffColor(), QColor(Qt::black));
    EXPECT_EQ(led.Brush.color(), QColor(Qt::black));
    EXPECT_FALSE(led.Status());
    EXPECT_FALSE(led.Flash());
    EXPECT_EQ(led.FlashInterval(), 500);
    EXPECT_FALSE(led.FlashTimer().isActive());

    led.SetFlashInterval(120);
    led.SetFlash(true);
    EXPECT_TRUE(led.FlashTimer().isActive());
    EXPECT_EQ(led.FlashTimer().interval(), 120);
    led.FlashTimerTimer();
    EXPECT_TRUE(led.Status());
    led.FlashTimerTimer();
    EXPECT_FALSE(led.Status());
    led.FlashTimerTimer();
    led.SetFlash(false);
    EXPECT_FALSE(led.FlashTimer().isActive());
    EXPECT_TRUE(led.Status());  // stays in its current state
}

TEST(Led, GrabsOnAndOff) {
    TLed led;
    led.SetOnColor(QColor(0, 200, 0));
    const QImage off = led.grab().toImage();
    led.SetStatus(true);
    const QImage on = led.grab().toImage();
    // The inner disc shows the state's colour; the highlight sits right of and above the centre.
    EXPECT_EQ(off.pixel(7, 12), QColor(Qt::black).rgb());
    EXPECT_EQ(on.pixel(7, 12), QColor(0, 200, 0).rgb());
    EXPECT_EQ(on.pixel(12, 7), QColor(Qt::white).rgb());
    EXPECT_EQ(off.pixel(12, 7), QColor(192, 192, 192).rgb());
    tilo_test::SaveGrab(off.scaled(80, 80), "led_off");
    tilo_test::SaveGrab(on.scaled(80, 80), "led_on");
}
