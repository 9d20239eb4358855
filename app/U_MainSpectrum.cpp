// The receive page's displays: the waterfall line, the scope, the bit-phase smoothing
// and the waterfall snapshot (as functions over images), and the main window's display
// hooks that feed them from the block handler and the demodulator.
#include "app/Displays.h"

#include <QFont>
#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "app/JpegFile.h"
#include "app/UCommon.h"
#include "classlib/DateUtils.h"

namespace tilo {

namespace {

int32_t RoundInt(double X) { return int32_t(std::nearbyint(X)); }

}  // namespace

double PhaseAverage = 0;

double SmoothPhase(double X, double C) {
    PhaseAverage = X * C + (1 - C) * PhaseAverage;
    return PhaseAverage;
}

namespace {

// A waterfall line as the pen would draw it: each entry of the interpolated spectrum
// from the previous end up to (not including) its own column, in green.
void WriteWaterfallRow(const TSpectrum& S, uchar* Row, int32_t Width) {
    const TSpectrum grid = InterpolateSpectrum(S);
    const int32_t len = int32_t(grid.size());
    int32_t x = 0;
    for (int32_t i = 1; i <= len - 2; ++i) {
        const int32_t to = std::min(RoundInt(double(i) * Width / len) - 1, Width);
        const int32_t g = std::clamp(RoundInt(grid[size_t(i)].Mag * 2.55), 0, 255);
        for (; x < to; ++x) {
            Row[x * 3] = 0;
            Row[x * 3 + 1] = uchar(g);
            Row[x * 3 + 2] = 0;
        }
        x = std::max(x, to);
    }
}

// Counts the block and the line; false when this block draws no line.
bool WaterfallLineDue(int32_t Height, TWaterfallState& State, const TWaterfallLine& Line) {
    if (++State.Blocks < std::max(Line.Blocks, 1)) return false;
    State.Blocks = 0;
    if (++State.Lines >= Height && Line.Dump) {
        State.Lines = 0;
        if (Line.Snapshot) Line.Snapshot();
    }
    return true;
}

bool WaterfallLabelDue(const TWaterfallState& State, const TWaterfallLine& Line) {
    return (Line.LocalNow - State.LastLabel) * 86400.0 >= Line.Blocks;
}

void DrawWaterfallLabel(QImage& B, TWaterfallState& State, const TWaterfallLine& Line) {
    QPainter p(&B);
    QFont f = p.font();
    f.setPointSize(8);
    p.setFont(f);
    p.setPen(QColor(0, 255, 255));
    const QString text = QString::fromLatin1(Line.UtcText + "-" + std::to_string(Line.Centre) + "Hz");
    p.drawText(QRect(B.width() - 100, 1, 100, B.height()), Qt::AlignLeft | Qt::AlignTop, text);
    State.LastLabel = Line.LocalNow;
}

}  // namespace

bool DrawWaterfallLine(const TSpectrum& S, QImage& B, TWaterfallState& State, const TWaterfallLine& Line) {
    if (!WaterfallLineDue(B.height(), State, Line)) return false;
    if (B.isNull() || B.format() != QImage::Format_RGB888) return false;
    const qsizetype bytes = qsizetype(B.width()) * 3;
    for (int32_t y = B.height() - 1; y > 0; --y) std::memcpy(B.scanLine(y), B.constScanLine(y - 1), size_t(bytes));
    WriteWaterfallRow(S, B.scanLine(0), B.width());
    if (WaterfallLabelDue(State, Line)) DrawWaterfallLabel(B, State, Line);
    return true;
}

void TWaterfallRing::Reset(QSize Size) {
    FRows = Size.isEmpty() ? QImage() : QImage(Size, QImage::Format_RGB888);
    if (!FRows.isNull()) FRows.fill(Qt::black);
    FTop = 0;
}

bool TWaterfallRing::DrawLine(const TSpectrum& S, TWaterfallState& State, const TWaterfallLine& Line) {
    if (!WaterfallLineDue(FRows.height(), State, Line)) return false;
    if (FRows.isNull()) return false;
    // The oldest row becomes the newest: one step up, round the end.
    FTop = (FTop == 0 ? FRows.height() : FTop) - 1;
    WriteWaterfallRow(S, FRows.scanLine(FTop), FRows.width());
    if (WaterfallLabelDue(State, Line)) {
        // The label spans rows below the top: drawn on the rows in picture order.
        Unroll();
        DrawWaterfallLabel(FRows, State, Line);
    }
    return true;
}

void TWaterfallRing::Unroll() {
    if (FTop == 0) return;
    QImage ordered(FRows.size(), QImage::Format_RGB888);
    Compose(ordered);
    FRows = std::move(ordered);
    FTop = 0;
}

void TWaterfallRing::Compose(QImage& Out) const {
    if (FRows.isNull()) {
        Out = QImage();
        return;
    }
    const QImage::Format format =
        Out.format() == QImage::Format_RGB32 ? QImage::Format_RGB32 : QImage::Format_RGB888;
    if (Out.size() != FRows.size() || Out.format() != format) Out = QImage(FRows.size(), format);
    const int32_t h = FRows.height(), w = FRows.width();
    for (int32_t y = 0; y < h; ++y) {
        const uchar* from = FRows.constScanLine((FTop + y) % h);
        if (format == QImage::Format_RGB888) {
            std::memcpy(Out.scanLine(y), from, size_t(w) * 3);
        } else {
            auto* to = reinterpret_cast<QRgb*>(Out.scanLine(y));
            for (int32_t x = 0; x < w; ++x) to[x] = qRgb(from[x * 3], from[x * 3 + 1], from[x * 3 + 2]);
        }
    }
}

int32_t ScopeZoom(int32_t ItemIndex) {
    switch (ItemIndex) {
        case 1: return 2;
        case 2: return 4;
        default: return 1;
    }
}

int32_t ScopeGridStep(int32_t Width, int32_t TimeZoom) { return RoundInt(Width * 10.0 / MsPerBlock) * TimeZoom; }

void DrawScope(const std::vector<double>& Trace1, const std::vector<double>& Trace2,
               const std::vector<double>& Trace3, QImage& Image, int32_t TimeZoom) {
    {
        QPainter p(&Image);
        p.setPen(QColor(0, 128, 0));
        p.setBrush(QColor(0, 22, 0));
        p.drawRect(0, 0, Image.width() - 1, Image.height() - 1);
    }
    if (!Trace1.empty()) DrawScopeTrace(Trace1, Image, TimeZoom, QColor(0, 255, 0));
    if (!Trace2.empty()) DrawScopeTrace(Trace2, Image, TimeZoom, QColor(255, 0, 0));
    if (!Trace3.empty()) DrawScopeTrace(Trace3, Image, TimeZoom, QColor(0, 255, 255));
}

void DrawScopeTrace(const std::vector<double>& Trace, QImage& Image, int32_t TimeZoom, const QColor& Colour) {
    const int32_t z = std::max(TimeZoom, 1);
    const int32_t n = int32_t(Trace.size()) / z;
    if (n <= 0 || Image.isNull()) return;
    std::vector<double> v(Trace);
    RemoveDC(v);
    const int32_t w = Image.width(), h = Image.height();
    const double step = double(w) / n;
    QPainter p(&Image);
    QFont f = p.font();
    f.setPointSize(7);
    p.setFont(f);
    p.setPen(QColor(0, 128, 0));
    p.drawLine(0, h / 2, w, h / 2);
    const int32_t grid = ScopeGridStep(w, z);
    if (grid > 0)
        for (int32_t x = grid, k = 1; x < w; x += grid, ++k) {
            p.drawLine(x, 0, x, h);
            p.drawText(QRect(x + 2, h - 14, 60, 14), Qt::AlignLeft | Qt::AlignBottom,
                       QString::number(k * 10) + "ms.");
        }
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    double scale = h * 0.8 / (*hi - *lo);
    if (!std::isfinite(scale)) scale = 1.0;  // a flat trace
    p.setPen(Colour);
    const int32_t last = (int32_t(v.size()) - 1) / z;
    QPolygon line(last + 2);
    line[0] = QPoint(0, h / 2);
    for (int32_t i = 0; i <= last; ++i) line[i + 1] = QPoint(RoundInt(i * step), h / 2 - RoundInt(v[size_t(i)] * scale));
    p.drawPolyline(line);
}

std::string WaterfallDumpName(double LocalNow) {
    std::string digits;
    DigitsDateTime(classlib::DateTimeToStr(LocalNow), digits);
    if (!digits.empty() && digits.back() == ' ') digits.pop_back();  // exactly midnight: the date alone
    return "WFALL" + digits + ".jpg";
}

std::string DumpWaterfallJpeg(const QImage& Bitmap, const std::string& Folder, double LocalNow) {
    std::string error;
    if (WriteJpegFile(Bitmap, Folder + "DUMPS/" + WaterfallDumpName(LocalNow), error)) return {};
    return error;
}

double LocalDateTimeNow() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&t, &local);
    return classlib::EncodeDate(uint16_t(local.tm_year + 1900), uint16_t(local.tm_mon + 1), uint16_t(local.tm_mday)) +
           classlib::EncodeTime(uint16_t(local.tm_hour), uint16_t(local.tm_min), uint16_t(local.tm_sec), 0);
}

}  // namespace tilo

// ---- the main window's receive page ----

#include "app/U_Main.h"

#include <QBoxLayout>
#include <QChart>
#include <QCheckBox>
#include <QLabel>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QValueAxis>

#include "app/MesUtilD4.h"
#include "app/PaintImage.h"
#include "app/components/AnalogGauge.h"
#include "app/components/Led.h"
#include "app/Prompts.h"
#include "app/ChSpectrum.h"
#include "decoder/uModem.h"

namespace tilo {

namespace {

QLineSeries* HistorySeries(QChartView* Chart) {
    const auto series = Chart->chart()->series();
    return series.isEmpty() ? nullptr : qobject_cast<QLineSeries*>(series.first());
}

}  // namespace

double TfrmMain::LocalNow() const { return LocalClockSource ? LocalClockSource() : LocalDateTimeNow(); }

void TfrmMain::BuildSpectrumPage() {
    auto* l = new QVBoxLayout(tsSpectrum);
    ChSpectrum = new TSpectrumChart(tsSpectrum);
    ChSpectrum->setObjectName("ChSpectrum");
    ChSpectrum->setEnabled(false);  // start-up enables it
    ChSpectrum->OnBeforeDrawAxes = [this](QPainter& C) { ChSpectrumBeforeDrawAxes(C); };
    ChSpectrum->OnAfterDraw = [this](QPainter& C) { ChSpectrumAfterDraw(C); };
    ChSpectrum->OnMouseDown = [this](QMouseEvent& E) { ChSpectrumMouseDown(E); };
    ChSpectrum->OnMouseMove = [this](QMouseEvent& E) { ChSpectrumMouseMove(E); };
    ChSpectrum->OnMouseUp = [this](QMouseEvent& E) { ChSpectrumMouseUp(E); };

    auto* chart = new QChart;
    chart->legend()->hide();
    auto* x = new QValueAxis(chart);
    auto* y = new QValueAxis(chart);
    y->setRange(0, 100);
    y->setLabelFormat("%d");
    y->setTickCount(3);  // 0, 50, 100: labels a low chart can hold whole
    chart->setMargins(QMargins(4, 4, 4, 4));
    x->setLabelsVisible(false);  // date-times: the hour shown is always the last one
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    auto* hist = new QLineSeries(chart);
    chart->addSeries(hist);
    hist->attachAxis(x);
    hist->attachAxis(y);
    chHist = new QChartView(chart, tsSpectrum);
    chHist->setObjectName("chHist");
    chHist->setMinimumHeight(130);

    auto* bar = new QHBoxLayout;
    cbTrackBox = new QCheckBox("ON", tsSpectrum);
    cbTrackBox->setObjectName("cbTrack");
    cbTrackBox->setChecked(true);
    cbTrackBox->setToolTip("Automatic tuning");
    connect(cbTrackBox, &QCheckBox::clicked, this, [this] { Decoder.cbTrackClick(); });
    sbLinLog = new QPushButton("LIN", tsSpectrum);
    sbLinLog->setObjectName("sbLinLog");
    sbFilRaw = new QPushButton("FIL", tsSpectrum);
    sbFilRaw->setObjectName("sbFilRaw");
    for (QPushButton* b : {sbLinLog, sbFilRaw}) b->setCheckable(true);
    connect(sbLinLog, &QPushButton::clicked, this, [this] { rgLinLogClick(); });
    connect(sbFilRaw, &QPushButton::clicked, this, [this] { sbFilRawClick(); });
    TBSNR = new QSlider(Qt::Vertical, tsSpectrum);
    TBSNR->setObjectName("TBSNR");
    TBSNR->setRange(-50, 50);
    bar->addWidget(new QLabel("AUTO TUNE", tsSpectrum));
    bar->addWidget(cbTrackBox);
    bar->addWidget(sbLinLog);
    bar->addWidget(sbFilRaw);
    bar->addStretch(1);
    auto* charts = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    left->addWidget(ChSpectrum, 2);
    left->addWidget(chHist, 1);
    charts->addLayout(left, 1);
    charts->addWidget(TBSNR);
    l->addLayout(bar);
    l->addLayout(charts, 1);
}

void TfrmMain::BuildWaterfallPage() {
    auto* l = new QHBoxLayout(tsWaterfall);
    pbWfall = new TPaintImage(tsWaterfall);
    pbWfall->setObjectName("pbWfall");
    pbWfall->setMinimumSize(512, 120);
    auto* wcol = new QVBoxLayout;
    cbFreezeBox = new QCheckBox("FREEZE", tsWaterfall);
    cbFreezeBox->setObjectName("cbFreeze");
    cbWFallDumpBox = new QCheckBox("DUMP periodically", tsWaterfall);
    cbWFallDumpBox->setObjectName("cbWFallDump");
    tbwfallspeed = new QSlider(Qt::Vertical, tsWaterfall);
    tbwfallspeed->setObjectName("tbwfallspeed");
    tbwfallspeed->setRange(1, 60);
    tbwfallspeed->setValue(60);
    wcol->addWidget(cbFreezeBox);
    wcol->addWidget(cbWFallDumpBox);
    wcol->addWidget(new QLabel("SPEED", tsWaterfall));
    wcol->addWidget(tbwfallspeed, 1);
    imScope = new TPaintImage(tsWaterfall);
    imScope->setObjectName("imScope");
    imScope->setFixedSize(200, 120);
    // The scope's choices in two columns, no higher than the scope's selector.
    auto* scol = new QHBoxLayout;
    auto* time = new QVBoxLayout;
    rgScopeSel = new TRadioGroup("SCOPE", {"OFF", "RAW", "FIR", "ENV", "BITS"}, tsWaterfall);
    rgScopeSel->setObjectName("rgScopeSel");
    rgScopeSel->SetItemIndex(0);
    rgScopeScale = new TRadioGroup("TIME", {"X 1", "X 2", "X 4"}, tsWaterfall);
    rgScopeScale->setObjectName("rgScopeScale");
    rgScopeScale->SetItemIndex(0);
    cbOneShotBox = new QCheckBox("ONE SHOT", tsWaterfall);
    cbOneShotBox->setObjectName("cbOneShot");
    time->addWidget(rgScopeScale);
    time->addWidget(cbOneShotBox);
    time->addStretch(1);
    scol->addWidget(rgScopeSel, 0, Qt::AlignTop);
    scol->addLayout(time);
    l->addWidget(pbWfall, 1);
    l->addLayout(wcol);
    l->addWidget(imScope);
    l->addLayout(scol);
}

// ---- the chart's marks ----

void TfrmMain::ChSpectrumBeforeDrawAxes(QPainter& Canvas) {
    if (!cbTrackBox->isChecked()) return;
    const QColor band(53, 0, 117);
    const int32_t x1 = ChSpectrum->XOf(Decoder.FAfcLow), x2 = ChSpectrum->XOf(Decoder.FAfcHigh);
    const int32_t h = ChSpectrum->height();
    Canvas.setPen(band);
    Canvas.setBrush(band);
    Canvas.drawRect(QRect(QPoint(std::min(x1, x2), 25), QPoint(std::max(x1, x2), h - 5)));
}

void TfrmMain::ChSpectrumAfterDraw(QPainter& Canvas) {
    if (!FModem) return;
    QFont font = Canvas.font();
    font.setPointSize(8);
    Canvas.setFont(font);
    const int32_t w = Canvas.fontMetrics().horizontalAdvance("XXXXXX") / 2;
    const int32_t h = ChSpectrum->height();
    const int32_t centre = FModem->FCenter, shift = FModem->Shift;
    Canvas.setPen(QPen(QColor(255, 255, 0), 1));
    for (int32_t f : {centre - shift / 2, centre + shift / 2}) {
        const int32_t x = ChSpectrum->XOf(f);
        Canvas.drawLine(x, 25, x, h - 10);
    }
    Canvas.setPen(QPen(Qt::red, 2));
    const int32_t xc = ChSpectrum->XOf(centre);
    Canvas.drawLine(xc, h / 2 - 10, xc, h - 20);
    if (ledCanTune->Status()) {
        const QColor orange(227, 116, 13);
        const int32_t xa = ChSpectrum->XOf(Decoder.FAfcCentre);
        Canvas.setPen(QPen(orange, 1));
        Canvas.drawLine(xa, 25, xa, h - 100);
        Canvas.drawText(QPoint(xa - w, 10 + Canvas.fontMetrics().ascent()),
                        QString::number(Decoder.FAfcCentre) + "Hz");
    }
    font.setBold(true);
    Canvas.setFont(font);
    Canvas.setPen(QColor(0, 255, 255));
    Canvas.drawText(QPoint(xc - w, h - 15 + Canvas.fontMetrics().ascent()), QString::number(centre) + "Hz");
}

// ---- tuning by mouse ----

namespace {

bool TuningInRange(int32_t F) { return F > 250 && F < SampleRate / 4 - 250; }

}  // namespace

void TfrmMain::ChSpectrumMouseDown(QMouseEvent& Event) {
    if (Event.modifiers() & Qt::ShiftModifier) return;
    const int32_t f = int32_t(std::nearbyint(ChSpectrum->FrequencyAt(Event.position().x())));
    if (!FModem || !TuningInRange(f)) return;
    FTuningDrag = true;
    FModem->SetFreq(f, FModem->Shift);
    Decoder.FAfcLow = FModem->FCenter - 250;
    Decoder.FAfcHigh = FModem->FCenter + 250;
    ChSpectrum->viewport()->update();
}

void TfrmMain::ChSpectrumMouseMove(QMouseEvent& Event) {
    if (Event.modifiers() & Qt::ShiftModifier) return;
    if (!FTuningDrag || !FModem) return;
    const int32_t f = int32_t(std::nearbyint(ChSpectrum->FrequencyAt(Event.position().x())));
    if (!TuningInRange(f)) return;
    FModem->SetFreq(f, FModem->Shift);
    Decoder.FAfcLow = FModem->FCenter - 250;
    Decoder.FAfcHigh = FModem->FCenter + 250;
    ChSpectrum->viewport()->update();
}

void TfrmMain::ChSpectrumMouseUp(QMouseEvent& Event) {
    // Every release ends a drag: a Shift release too, or later moves would go on tuning.
    FTuningDrag = false;
    if (!(Event.modifiers() & Qt::ShiftModifier)) return;
    const double f = ChSpectrum->FrequencyAt(Event.position().x());
    const double y = ChSpectrum->ValueAt(Event.position().y());
    Prompts().ShowMessage(std::to_string(int32_t(std::nearbyint(f))) + " " +
                          std::to_string(int32_t(std::nearbyint(y))));
}

// ---- the block handler's displays ----

int32_t TfrmMain::TBSNRPosition() const { return TBSNR->value(); }

void TfrmMain::DrawWaterfallLine(const TSpectrum& S, int32_t Centre, int32_t Speed, bool Dump) {
    if (FWaterfallRing.Size().isEmpty()) return;
    TWaterfallLine line;
    line.Centre = Centre;
    line.Blocks = Speed;
    line.Dump = Dump;
    line.LocalNow = LocalNow();
    line.UtcText = Decoder.UtcTimeStr(0);
    line.Snapshot = [this] { DumpWaterfallJpeg(); };
    FWaterfallRing.DrawLine(S, FWaterfall, line);
}

void TfrmMain::RepaintWaterfall() {
    FWaterfallDirty = true;
    ScheduleFrame();
}

const QImage& TfrmMain::WaterfallBitmap() {
    if (FWaterfallBitmap) FWaterfallRing.Compose(*FWaterfallBitmap);
    return *FWaterfallBitmap;
}

bool TfrmMain::cbFreeze() const { return cbFreezeBox->isChecked(); }
bool TfrmMain::cbWFallDump() const { return cbWFallDumpBox->isChecked(); }
int32_t TfrmMain::tbwfallspeedPosition() const { return tbwfallspeed->value(); }
int32_t TfrmMain::tbwfallspeedMax() const { return tbwfallspeed->maximum(); }
bool TfrmMain::SpectrumPageShown() const { return PageControl1->currentIndex() == 0; }
bool TfrmMain::sbFilRawDown() const { return sbFilRaw->isChecked(); }

void TfrmMain::SetSpectrumSeries(const TSpectrum& S) {
    FSpectrumWaiting = S;
    FSpectrumDirty = true;
    ScheduleFrame();
}

void TfrmMain::ResetHistoryChart(double AxisMin, double AxisMax) {
    FHistoryWaiting.clear();
    if (QLineSeries* s = HistorySeries(chHist)) s->clear();
    const auto axes = chHist->chart()->axes(Qt::Horizontal);
    if (!axes.isEmpty()) axes.first()->setRange(AxisMin, AxisMax);
}

void TfrmMain::AddHistoryPoint(double Time, double Value) {
    FHistoryWaiting.append(QPointF(Time, Value));
    ScheduleFrame();
}

bool TfrmMain::cbTrack() const { return cbTrackBox->isChecked(); }
int32_t TfrmMain::rgScopeSelItemIndex() const { return rgScopeSel->ItemIndex(); }
void TfrmMain::SetScopeSelection(int32_t Index) { rgScopeSel->SetItemIndex(Index); }
int32_t TfrmMain::rgScopeScaleItemIndex() const { return rgScopeScale->ItemIndex(); }
bool TfrmMain::cbOneShot() const { return cbOneShotBox->isChecked(); }

void TfrmMain::DrawScope(const std::vector<double>& Trace, int32_t Scale) {
    FScopeWaiting.Trace1 = Trace;
    FScopeWaiting.Trace2.clear();
    FScopeWaiting.Zoom = Scale;
    FScopeWaiting.Dirty = true;
    ScheduleFrame();
}

void TfrmMain::ModemScopeData(const std::vector<double>& RawSound, const std::vector<double>& F1,
                              const std::vector<double>& F2, const std::vector<double>& MarkLP,
                              const std::vector<double>& SpaceLP) {
    TScopeWaiting& w = FScopeWaiting;
    switch (rgScopeSel->ItemIndex()) {
        case 1: w.Trace1 = RawSound, w.Trace2.clear(); break;
        case 2: w.Trace1 = F1, w.Trace2 = F2; break;          // upper tone first
        case 3: w.Trace1 = MarkLP, w.Trace2 = SpaceLP; break;  // mark first
        default: return;
    }
    w.Zoom = ScopeZoom(rgScopeScale->ItemIndex());
    w.Dirty = true;
    ScheduleFrame();
    // The one picture waits for its frame; later blocks leave it alone.
    if (cbOneShotBox->isChecked()) rgScopeSel->SetItemIndex(0);
}

void TfrmMain::ModemPllPhase(double PhErr) {
    if (!gbCalib->isEnabled()) return;
    const float position = float(agPLL->Scale() / 2.0 + SmoothPhase(PhErr, 0.025));
    SetGaugeWaiting(3, &position, nullptr);
}

// ---- the displays' frame ----

TAnalogGauge* TfrmMain::GaugeOf(int32_t Index) const {
    switch (Index) {
        case 0: return Gaugelvl;
        case 1: return ErrGauge;
        case 2: return GaugeCPU;
        default: return agPLL;
    }
}

void TfrmMain::SetGaugePosition(TDecoderGauge Gauge, float Position) {
    SetGaugeWaiting(int32_t(Gauge), &Position, nullptr);
}

void TfrmMain::SetGaugeCaption(TDecoderGauge Gauge, const std::string& Caption) {
    SetGaugeWaiting(int32_t(Gauge), nullptr, &Caption);
}

void TfrmMain::SetGaugeWaiting(int32_t Index, const float* Position, const std::string* Caption) {
    TGaugeWaiting& g = FGaugeWaiting[Index];
    if (Position) g.Position = true, g.PositionValue = *Position;
    if (Caption) g.Caption = true, g.CaptionText = *Caption;
    ScheduleFrame();
}

void TfrmMain::ScheduleFrame() {
    if (FrameTimer && !FrameTimer->isActive()) FrameTimer->start();
}

bool TfrmMain::DisplayShown(const QWidget* W) const {
    return W->isVisible() && !(window()->windowState() & Qt::WindowMinimized);
}

void TfrmMain::DisplayFrame() {
    for (int32_t i = 0; i < 4; ++i) {
        TGaugeWaiting& g = FGaugeWaiting[i];
        TAnalogGauge* gauge = GaugeOf(i);
        if ((!g.Position && !g.Caption) || !DisplayShown(gauge)) continue;
        if (g.Caption) gauge->SetCaption(g.CaptionText);
        if (g.Position) gauge->SetPosition(g.PositionValue);
        g.Position = g.Caption = false;
        ++DisplayDraws.Gauges;
    }
    if (FSpectrumDirty && DisplayShown(ChSpectrum)) {
        ChSpectrum->SetSpectrum(FSpectrumWaiting);
        FSpectrumDirty = false;
        ++DisplayDraws.Spectrum;
    }
    // The marks follow the tuning and the tracking whether or not the trace changed.
    if (DisplayShown(ChSpectrum)) ChSpectrum->viewport()->update();
    if (FWaterfallDirty && DisplayShown(pbWfall)) {
        // In the raster engine's own format, so that the control's paint is a copy.
        if (pbWfall->Picture.format() != QImage::Format_RGB32)
            pbWfall->Picture = QImage(FWaterfallRing.Size(), QImage::Format_RGB32);
        FWaterfallRing.Compose(pbWfall->Picture);
        pbWfall->update();
        FWaterfallDirty = false;
        ++DisplayDraws.Waterfall;
    }
    if (FScopeWaiting.Dirty && DisplayShown(imScope)) {
        if (imScope->Picture.size() != imScope->size() || imScope->Picture.format() != QImage::Format_RGB32)
            imScope->Picture = QImage(imScope->size(), QImage::Format_RGB32);
        tilo::DrawScope(FScopeWaiting.Trace1, FScopeWaiting.Trace2, {}, imScope->Picture, FScopeWaiting.Zoom);
        imScope->update();
        FScopeWaiting.Dirty = false;
        ++DisplayDraws.Scope;
    }
    if (!FHistoryWaiting.isEmpty() && DisplayShown(chHist)) {
        if (QLineSeries* s = HistorySeries(chHist)) s->append(FHistoryWaiting);
        FHistoryWaiting.clear();
        ++DisplayDraws.History;
    }
}

// A display coming into view (its page chosen, the window restored) draws what waits.
void TfrmMain::WatchDisplays() {
    FrameTimer = new QTimer(this);
    FrameTimer->setObjectName("FrameTimer");
    FrameTimer->setSingleShot(true);
    FrameTimer->setInterval(KFrameMs);
    connect(FrameTimer, &QTimer::timeout, this, [this] { DisplayFrame(); });
    for (QWidget* w : std::initializer_list<QWidget*>{ChSpectrum, chHist, pbWfall, imScope, Gaugelvl, ErrGauge,
                                                      GaugeCPU, agPLL})
        w->installEventFilter(this);
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::Show && FrameTimer) ScheduleFrame();
    return QMainWindow::eventFilter(Watched, Event);
}

void TfrmMain::DumpWaterfallJpeg() {
    if (!FWaterfallBitmap) return;
    const std::string error = tilo::DumpWaterfallJpeg(WaterfallBitmap(), ApplicationFolder(), LocalNow());
    if (!error.empty()) SysLog("Failed to write screendump: " + error);
}

}  // namespace tilo
