// The per-block pictures of the receive page as functions over images, so that each
// rule can be checked on pixels: the waterfall line, the scope and its traces, the
// bit-phase smoothing, and the waterfall snapshot's file. The main window's display
// hooks (U_MainSpectrum.cpp) call them with its own bitmaps and counters.
//
// Images are 24-bit (QImage::Format_RGB888): one scan line is 3 bytes per pixel, red
// first. All of it runs on the UI thread.
#pragma once

#include <QColor>
#include <QImage>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "decoder/UCommon.h"

namespace tilo {

// The smoothed bit-clock phase error, process-wide, 0 at start.
extern double PhaseAverage;
// PhaseAverage := X x C + (1 - C) x PhaseAverage; the new average.
double SmoothPhase(double X, double C);

// Counters of the waterfall (blocks since the last line, lines since the last
// snapshot) and the local date-time of the last label.
struct TWaterfallState {
    int32_t Blocks = 0;
    int32_t Lines = 0;
    double LastLabel = 0;  // local date-time (days)
};

// What a waterfall line needs besides its spectrum: N, the blocks per line (1 draws
// every block); Dump, the periodic snapshot switch; the local clock and the UTC time
// text ("hh:mm:ss") for the label; the snapshot to save.
struct TWaterfallLine {
    int32_t Centre = 0;
    int32_t Blocks = 1;
    bool Dump = false;
    double LocalNow = 0;
    std::string UtcText;
    std::function<void()> Snapshot;
};

// Counts the block; on every N-th one scrolls Bitmap down by one scan line and draws S
// (magnitudes 0 .. 100, interpolated onto twice its points) as pure green of intensity
// round(magnitude x 2.55) across the top line, and every N seconds the label
// "<UtcText>-<Centre>Hz" in cyan at (width - 100, 1). A snapshot is due once the line
// count reaches or passes the height while Dump is set: lines counted while it is off
// make the next line after it is set the due one. True when a line was drawn.
bool DrawWaterfallLine(const TSpectrum& S, QImage& Bitmap, TWaterfallState& State, const TWaterfallLine& Line);

// The waterfall's lines kept in place: a new line overwrites the oldest row and moves
// the top, where DrawWaterfallLine scrolls the whole bitmap, so a line costs its own
// width whatever the size. Same rules and the same picture as DrawWaterfallLine on a
// bitmap of the same size: Compose puts the rows in order, newest on top.
class TWaterfallRing {
public:
    // Size rows, all black; a null size holds nothing and draws nothing.
    void Reset(QSize Size);
    QSize Size() const { return FRows.size(); }
    bool DrawLine(const TSpectrum& S, TWaterfallState& State, const TWaterfallLine& Line);
    // The picture in Out's format (24-bit or the raster engine's 32-bit), resized to fit.
    void Compose(QImage& Out) const;

private:
    // Rows in picture order again (the top at row 0), for drawing across rows.
    void Unroll();
    QImage FRows;        // 24-bit
    int32_t FTop = 0;    // the row of the newest line
};

// Clears Image (brush (0, 22, 0), green frame) and draws the traces present: Trace1
// lime, Trace2 red, Trace3 cyan. An empty trace is absent.
void DrawScope(const std::vector<double>& Trace1, const std::vector<double>& Trace2,
               const std::vector<double>& Trace3, QImage& Image, int32_t TimeZoom);
// One trace centred on zero, length div TimeZoom samples across the width, scaled to
// 0.8 x height (1.0 for a flat trace), over a grid of a centre line and a vertical line
// every round(width x 10 / MsPerBlock) x TimeZoom pixels labelled "10ms.", "20ms.", ...
void DrawScopeTrace(const std::vector<double>& Trace, QImage& Image, int32_t TimeZoom, const QColor& Colour);
// The scope's zoom for an rgScopeScale item: 1, 2, 4; any other item draws at 1.
int32_t ScopeZoom(int32_t ItemIndex);
// Grid spacing of the scope in pixels for an image Width wide.
int32_t ScopeGridStep(int32_t Width, int32_t TimeZoom);

// The snapshot's file name for a local date-time: "WFALL" + its date digits, a blank,
// its time digits + ".jpg".
std::string WaterfallDumpName(double LocalNow);
// Writes Bitmap as Folder + "DUMPS/" + WaterfallDumpName(LocalNow); the failure's
// reason, or empty on success.
std::string DumpWaterfallJpeg(const QImage& Bitmap, const std::string& Folder, double LocalNow);

// Local time now as a date-time (days since 1899-12-30).
double LocalDateTimeNow();

}  // namespace tilo
