// Real FFT for the live spectrum, the waterfall and frequency tracking.
// N real samples are packed as N/2 complex values, run through an N/2-point radix-2
// complex FFT and separated into the N-bin spectrum. The transform is unitary (scaled
// by 1/sqrt(N) each way), so the inverse of a forward transform gives the samples back.
// No window is applied. A refused length leaves both arrays untouched.
#pragma once

#include <cstdint>
#include <vector>

namespace tilo {

using TNvector = std::vector<double>;

// Status values of the transform.
constexpr uint8_t FFT_OK = 0;
constexpr uint8_t FFT_TOO_SHORT = 1;     // N div 2 below 2
constexpr uint8_t FFT_BAD_LENGTH = 2;    // N div 2 not a power of two up to 8192

// Log2 := log2(M) and Status := 0 when M is 2, 4, ..., 8192; otherwise Status 1 (M < 2)
// or 2, and Log2 unchanged.
void FindPowerOfTwo(int32_t M, int32_t& Log2, uint8_t& Status);

// In-place complex FFT of M = 2^Log2 points with twiddle tables Wr/Wi of M entries
// (Wr[k] = cos(2*pi*k/M), Wi[k] = -sin(2*pi*k/M)); scaled by 1/sqrt(M).
void ComplexFFT(int32_t Log2, int32_t M, bool Inverse, const TNvector& Wr, const TNvector& Wi,
                TNvector& Re, TNvector& Im);

// The tables of one transform length, computed once and reused by every transform of
// that length: the twiddles, the split step's cos(pi*i/m) and -sin(pi*i/m) for every i
// (the same values the transform would compute, bit for bit) and the bit-reversal
// permutation. A length the transform refuses gives a plan with that Status and no tables.
class TRealFFTPlan {
public:
    explicit TRealFFTPlan(int32_t N);
    int32_t Length() const { return FN; }
    uint8_t Status() const { return FStatus; }

private:
    friend void RealFFT(const TRealFFTPlan& Plan, bool Inverse, TNvector& Re, uint8_t& Status, TNvector& Im);
    friend void RealFFTLowBins(const TRealFFTPlan& Plan, TNvector& Re, TNvector& Im, int32_t Count,
                               uint8_t& Status);
    int32_t FN = 0;
    int32_t FLog2 = 0;
    uint8_t FStatus = FFT_OK;
    TNvector FWr, FWi;          // m entries
    TNvector FCos, FSin;        // m entries: cos(pi*i/m), -sin(pi*i/m)
    std::vector<int32_t> FReverse;  // m entries: bit-reversed index
    TNvector FStageWr, FStageWi;    // m-1 entries: each stage's twiddles in butterfly order
};

// Forward: Re holds N real samples on entry (missing ones read as 0); on success Re and
// Im are replaced by new arrays with bins 0 .. N-1. Inverse: Re/Im hold N bins of a
// real signal's spectrum; on success Re holds the N samples and Im zeros. Im on entry
// is storage only for the forward direction; neither array passed in is modified.
void RealFFT(int32_t N, bool Inverse, TNvector& Re, uint8_t& Status, TNvector& Im);
// The same with the tables of Plan (N is its length).
void RealFFT(const TRealFFTPlan& Plan, bool Inverse, TNvector& Re, uint8_t& Status, TNvector& Im);

// The forward transform's bins 0 .. Count-1 only (Count at most N/4), the same bits as
// RealFFT gives them, without the work for the rest: Re holds the N samples on entry
// (missing ones read as 0); on success Re and Im hold Count bins. Both arrays are worked
// in place, so a caller that keeps them avoids allocating per transform.
void RealFFTLowBins(const TRealFFTPlan& Plan, TNvector& Re, TNvector& Im, int32_t Count, uint8_t& Status);

}  // namespace tilo
