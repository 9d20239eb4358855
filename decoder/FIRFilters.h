// Windowed-sinc FIR filters of the demodulator: TBandPass isolates one FSK tone, TLowPass
// smooths a rectified tone into its envelope.
//
// Invariants: the tap count N is always even (0 before the first Design); the delay line
// holds exactly N samples, oldest first, between calls. It behaves as a ring of N samples
// whose write position (kept, always inside it) points at the oldest sample. The delay
// line runs on across Filter calls, so blocks filtered one after another give bit for bit
// what one call over their concatenation gives. A redesign that keeps N keeps the running
// signal; one that changes N keeps the ring's samples that still fit at their places in
// it, zero-fills the rest and moves the write position to 0.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tilo {

class TBandPass {
public:
    TBandPass() = default;
    virtual ~TBandPass() = default;

    // Band-pass from Centre - Width/2 to Centre + Width/2 Hz. A rate or width of zero or
    // less, or one giving no taps or an absurd length, raises std::invalid_argument and
    // changes nothing.
    virtual void Design(double SampleRate, double Centre, double Width);

    // Output[i] = sum over k of taps[k] * (input k samples ago), for every index of Input.
    // Output must be at least as long as Input (std::length_error otherwise, nothing
    // changed); it may be the same array. Before the first Design the output is zero.
    void Filter(std::span<const double> Input, std::span<double> Output);

    // In place over indices 0 .. High (clamped to the data): Mode 0 gives |x|, Mode 1
    // gives -|x|, any other Mode leaves the data alone.
    static void Rectify(std::span<double> Data, int32_t High, uint8_t Mode);

    int32_t TapCount() const { return FTapCount; }
    const std::vector<double>& Taps() const { return FTaps; }

protected:
    // The even tap count for a transition width; validates the arguments.
    static int32_t TapCountFor(double SampleRate, double Width);
    // Unit-sum windowed sinc low-pass at normalised frequency f, as long as the window.
    static std::vector<double> Kernel(const std::vector<double>& Win, double f);
    // The Blackman window of N taps; WindowFor keeps the last one made, since tracking
    // redesigns the tone filters at the same length every second.
    static std::vector<double> Window(int32_t N);
    const std::vector<double>& WindowFor(int32_t N);
    // Installs new taps, resizing the delay line when N changes.
    void SetTaps(std::vector<double> Taps);

private:
    std::vector<double> FTaps;
    int32_t FWritePos = 0;            // where the ring's oldest sample would lie
    int32_t FTapCount = 0;
    std::vector<double> FRevTaps;     // taps from the oldest sample's to the newest's
    std::vector<double> FWork;        // the delay line, then the input while filtering
    std::vector<double> FWindow;
};

// One build of the filters' inner loop: Out[i] = sum over j of Taps[j] * In[i + j], j from
// 0 up, added from 0, for i below Count. Every build gives the same bits; Filter runs the
// first one in FirKernels() that the processor supports.
struct TFirKernel {
    using TSums = void (*)(const double* In, const double* Taps, std::size_t N, double* Out,
                           std::size_t Count);
    const char* Name;  // the processor feature it needs, or "default"
    TSums Sums;
    bool Supported() const;
};
std::span<const TFirKernel> FirKernels();

class TLowPass : public TBandPass {
public:
    // Low-pass with cut-off Cutoff; Width is the transition width that sets the length.
    void Design(double SampleRate, double Cutoff, double Width) override;
};

}  // namespace tilo
