// TAnalogGauge: an analogue dial with a needle, a scale, coloured range arcs and
// optional anti-aliasing (signal-to-noise, level, processor-load and calibration gauges).
//
// Drawing happens off screen in three images the gauge owns: the face (dial without
// needle), the work image (face plus needle) and, while AntiAliased is not aaNone, the
// anti-aliasing image. With factor k (1 for aaNone, 2, 3, 4) face and work are k times
// the widget's size and everything is drawn k times as large; each pixel of the
// anti-aliasing image is the per-channel integer mean of the k x k work pixels it
// covers. The face is redrawn only when something it shows changes; a Position change
// redraws the needle alone (copy face to work, draw the needle, anti-alias), which is
// what the receiver does for every gauge on every audio block. That redraw touches only
// the rectangle the old and the new needle cover: outside it the work image already
// equals the face, so the result is the same as copying and anti-aliasing everything.
//
// Angles: 0 degrees points left, 90 up, 180 right. The side styles draw a quarter dial
// and force Angle to 90 while drawing when it is larger. A centred dial of more than
// 180 degrees is sized so that its ends, below the centre, stay inside the margin too.
// The needle stops at the ends of the scale (a Position outside it, or not a number,
// is still stored and still fires the events). The scale numbers' font follows the
// dial's size: the gauge's own font at the design size and above, smaller below it.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tilo {

enum TStyle { LeftStyle, RightStyle, CenterStyle };
enum TFaceOption {
    ShowMargin, ShowCircles, ShowMainTicks, ShowSubTicks, ShowIndicatorMin, ShowIndicatorMid,
    ShowIndicatorMax, ShowValues, ShowCenter, ShowFrame, Show3D, ShowCaption
};
using TFaceOptions = std::bitset<12>;  // indexed by TFaceOption
enum TAntialiased { aaNone, aaBiline, aaTriline, aaQuadral };

// The dial of an image W x H drawn at factor k: start angle, centre, radius and the
// angle the dial spans after the side styles' limit.
struct TDialGeometry {
    double Start;
    double CenterX;
    double CenterY;
    int32_t Radius;
    int32_t Angle;
};

TDialGeometry DialGeometry(TStyle Style, int32_t Angle, int32_t Margin, int32_t K, int32_t W, int32_t H);
// The pixel at angle T (degrees) and radius Q, halves rounded to even.
QPoint DialPoint(const TDialGeometry& G, double T, double Q);
// The angle of value V on a scale of Scale units.
double ValueAngle(const TDialGeometry& G, double V, int32_t Scale);
// The texts written at the main ticks 0 .. NumberMainTicks (none for 0 or less ticks).
std::vector<std::string> ScaleValues(int32_t Scale, int32_t NumberMainTicks);
// Out (Work's size / K) := the per-channel integer mean of each K x K block of Work.
void AntiAliasImage(const QImage& Work, QImage& Out, int32_t K);
// The same for the pixels of Out inside OutRect only (Out already has its size).
void AntiAliasImage(const QImage& Work, QImage& Out, int32_t K, const QRect& OutRect);

class TAnalogGauge : public QWidget {
    Q_OBJECT

public:
    explicit TAnalogGauge(QWidget* Parent = nullptr);

    QColor MinColor() const { return FMinColor; }
    void SetMinColor(const QColor& Value) { SetFaceValue(FMinColor, Value); }
    QColor MidColor() const { return FMidColor; }
    void SetMidColor(const QColor& Value) { SetFaceValue(FMidColor, Value); }
    QColor MaxColor() const { return FMaxColor; }
    void SetMaxColor(const QColor& Value) { SetFaceValue(FMaxColor, Value); }
    QColor FaceColor() const { return FFaceColor; }
    void SetFaceColor(const QColor& Value) { SetFaceValue(FFaceColor, Value); }
    QColor TicksColor() const { return FTicksColor; }
    void SetTicksColor(const QColor& Value) { SetFaceValue(FTicksColor, Value); }
    QColor ValueColor() const { return FValueColor; }
    void SetValueColor(const QColor& Value) { SetFaceValue(FValueColor, Value); }
    QColor CaptionColor() const { return FCaptionColor; }
    void SetCaptionColor(const QColor& Value) { SetFaceValue(FCaptionColor, Value); }
    QColor ArrowColor() const { return FArrowColor; }
    void SetArrowColor(const QColor& Value) { SetFaceValue(FArrowColor, Value); }
    QColor MarginColor() const { return FMarginColor; }
    void SetMarginColor(const QColor& Value) { SetFaceValue(FMarginColor, Value); }
    QColor CenterColor() const { return FCenterColor; }
    void SetCenterColor(const QColor& Value) { SetFaceValue(FCenterColor, Value); }
    QColor CircleColor() const { return FCircleColor; }
    void SetCircleColor(const QColor& Value) { SetFaceValue(FCircleColor, Value); }
    int32_t CenterRadius() const { return FCenterRadius; }
    void SetCenterRadius(int32_t Value) { SetFaceValue(FCenterRadius, Value); }
    int32_t CircleRadius() const { return FCircleRadius; }
    void SetCircleRadius(int32_t Value) { SetFaceValue(FCircleRadius, Value); }
    int32_t Margin() const { return FMargin; }
    void SetMargin(int32_t Value) { SetFaceValue(FMargin, Value); }
    TStyle Style() const { return FStyle; }
    void SetStyle(TStyle Value) { SetFaceValue(FStyle, Value); }
    int32_t NumberMainTicks() const { return FNumberMainTicks; }
    void SetNumberMainTicks(int32_t Value) { SetFaceValue(FNumberMainTicks, Value); }
    int32_t LengthMainTicks() const { return FLengthMainTicks; }
    void SetLengthMainTicks(int32_t Value) { SetFaceValue(FLengthMainTicks, Value); }
    int32_t LengthSubTicks() const { return FLengthSubTicks; }
    void SetLengthSubTicks(int32_t Value) { SetFaceValue(FLengthSubTicks, Value); }
    TFaceOptions FaceOptions() const { return FFaceOptions; }
    void SetFaceOptions(const TFaceOptions& Value) { SetFaceValue(FFaceOptions, Value); }

    int32_t Angle() const { return FAngle; }
    void SetAngle(int32_t Value);             // 11 .. 360, others refused; redraws always
    int32_t ArrowWidth() const { return FArrowWidth; }
    void SetArrowWidth(int32_t Value);        // clamped to 1 .. 5
    float Position() const { return FPosition; }
    void SetPosition(float Value);
    int32_t Scale() const { return FScale; }
    void SetScale(int32_t Value);             // above 1; pulls IndMaximum and IndMinimum in
    int32_t IndMaximum() const { return FIndMaximum; }
    void SetIndMaximum(int32_t Value);        // 1 .. Scale - 1
    int32_t IndMinimum() const { return FIndMinimum; }
    void SetIndMinimum(int32_t Value);        // 1 .. Scale - 1
    std::string Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    TAntialiased AntiAliased() const { return FAntiAliased; }
    void SetAntiAliased(TAntialiased Value);

    std::function<void(QObject* Sender)> OnOverMax;
    std::function<void(QObject* Sender)> OnOverMin;

    // The images the gauge draws in; what it paints is the anti-aliasing image, or the
    // work image for aaNone.
    const QImage& FaceImage() const { return FFace; }
    const QImage& WorkImage() const { return FWork; }
    const QImage& ShownImage() const { return FAntiAliased == aaNone ? FWork : FAAImage; }
    int32_t Factor() const { return static_cast<int32_t>(FAntiAliased) + 1; }
    // Where the needle ends and where the scale numbers were written, in the widget's
    // pixels.
    QPoint NeedleTip() const { return FNeedleTip; }
    const std::vector<QRect>& ValueTextRects() const { return FValueRects; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    template <typename T>
    void SetFaceValue(T& Field, const T& Value) {
        if (Field == Value) return;
        Field = Value;
        RedrawAll();
    }
    void MakeImages();
    TDialGeometry Geometry();
    void RedrawAll();
    void RedrawNeedle();
    void DrawFace();

    QColor FMinColor{0, 128, 0};
    QColor FMidColor{Qt::yellow};
    QColor FMaxColor{Qt::red};
    QColor FFaceColor;
    QColor FTicksColor{Qt::black};
    QColor FValueColor{Qt::black};
    QColor FCaptionColor{Qt::black};
    QColor FArrowColor{Qt::black};
    QColor FMarginColor{Qt::black};
    QColor FCenterColor{128, 128, 128};
    QColor FCircleColor{Qt::blue};
    int32_t FCenterRadius = 8;
    int32_t FCircleRadius = 3;
    int32_t FAngle = 120;
    int32_t FMargin = 10;
    TStyle FStyle = CenterStyle;
    int32_t FArrowWidth = 1;
    int32_t FNumberMainTicks = 7;
    int32_t FLengthMainTicks = 15;
    int32_t FLengthSubTicks = 8;
    TFaceOptions FFaceOptions;
    float FPosition = 0;
    int32_t FScale = 140;
    int32_t FIndMaximum = 80;
    int32_t FIndMinimum = 30;
    std::string FCaption = "mV";
    TAntialiased FAntiAliased = aaNone;

    QImage FFace;
    QImage FWork;
    QImage FAAImage;
    QPoint FNeedleTip;
    std::vector<QRect> FValueRects;
    QRect FNeedleRect;    // work pixels the drawn needle may cover; null: work needs the whole face
    bool FReady = false;  // images exist: setters called while constructing only store
};

}  // namespace tilo
