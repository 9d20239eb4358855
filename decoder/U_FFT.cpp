#include "decoder/U_FFT.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace tilo {

namespace {

// Twiddles by recurrence: each entry is the previous one rotated by entry 1.
void MakeTwiddles(int32_t M, TNvector& Wr, TNvector& Wi) {
    Wr.assign(M, 0.0);
    Wi.assign(M, 0.0);
    Wr[0] = 1.0;
    Wi[0] = 0.0;
    if (M < 2) return;
    Wr[1] = std::cos(2.0 * std::numbers::pi / M);
    Wi[1] = -std::sqrt(std::max(0.0, 1.0 - Wr[1] * Wr[1]));
    for (int32_t k = 2; k < M; ++k) {
        Wr[k] = Wr[k - 1] * Wr[1] - Wi[k - 1] * Wi[1];
        Wi[k] = Wr[k - 1] * Wi[1] + Wi[k - 1] * Wr[1];
    }
}

int32_t Reversed(int32_t Log2, int32_t i) {
    uint32_t r = 0;
    for (int32_t b = 0; b < Log2; ++b)
        if (static_cast<uint32_t>(i) & (1u << b)) r |= 1u << (Log2 - 1 - b);
    return static_cast<int32_t>(r);
}

// Reverse, when given, holds the bit-reversed index of every i.
void BitReverse(int32_t Log2, int32_t M, const int32_t* Reverse, TNvector& Re, TNvector& Im) {
    for (int32_t i = 0; i < M; ++i) {
        const int32_t r = Reverse ? Reverse[i] : Reversed(Log2, i);
        if (r > i) {
            std::swap(Re[i], Re[r]);
            std::swap(Im[i], Im[r]);
        }
    }
}

void Butterflies(int32_t Log2, int32_t M, bool Inverse, const TNvector& Wr, const TNvector& Wi,
                 const int32_t* Reverse, const double* StageWr, const double* StageWi, TNvector& Re,
                 TNvector& Im);

// The twiddle of butterfly j of the stage whose butterflies span 2*Half points, with the
// exact values at the quarter and eighth turns.
void StageTwiddle(int32_t M, int32_t Half, int32_t j, const TNvector& Wr, const TNvector& Wi, double& wr,
                  double& wi) {
    const double r45 = std::sqrt(0.5);
    const int32_t t = j * (M / (2 * Half));  // twiddle index in 0 .. M/2-1
    if (t == 0) {
        wr = 1.0; wi = 0.0;
    } else if (4 * t == M) {
        wr = 0.0; wi = -1.0;
    } else if (8 * t == M) {
        wr = r45; wi = -r45;
    } else if (8 * t == 3 * M) {
        wr = -r45; wi = -r45;
    } else {
        wr = Wr[t]; wi = Wi[t];
    }
}

}  // namespace

void FindPowerOfTwo(int32_t M, int32_t& Log2, uint8_t& Status) {
    if (M < 2) {
        Status = FFT_TOO_SHORT;
        return;
    }
    for (int32_t k = 1; k <= 13; ++k) {
        if (M == (int32_t{1} << k)) {
            Log2 = k;
            Status = FFT_OK;
            return;
        }
    }
    Status = FFT_BAD_LENGTH;
}

void ComplexFFT(int32_t Log2, int32_t M, bool Inverse, const TNvector& Wr, const TNvector& Wi,
                TNvector& Re, TNvector& Im) {
    Butterflies(Log2, M, Inverse, Wr, Wi, nullptr, nullptr, nullptr, Re, Im);
}

namespace {

void Butterflies(int32_t Log2, int32_t M, bool Inverse, const TNvector& Wr, const TNvector& Wi,
                 const int32_t* Reverse, const double* StageWr, const double* StageWi, TNvector& Re,
                 TNvector& Im) {
    // The inverse is conj(FFT(conj(x))): the imaginary part is negated on the way in and
    // again on the way out, so the scale stays positive in both directions.
    if (Inverse)
        for (int32_t i = 0; i < M; ++i) Im[i] = -Im[i];
    BitReverse(Log2, M, Reverse, Re, Im);
    double* re = Re.data();
    double* im = Im.data();
    for (int32_t half = 1; half < M; half *= 2) {
        if (StageWr) {
            // The stage's twiddles lie side by side from entry half-1: the butterflies of
            // one group run over consecutive points, which the compiler vectorises. Each
            // butterfly is computed as below, so the order changes no result.
            const double* swr = StageWr + (half - 1);
            const double* swi = StageWi + (half - 1);
            for (int32_t g = 0; g < M; g += 2 * half) {
                double* rk = re + g;
                double* ik = im + g;
                double* rp = rk + half;
                double* ip = ik + half;
                for (int32_t j = 0; j < half; ++j) {
                    const double tr = swr[j] * rp[j] - swi[j] * ip[j];
                    const double ti = swr[j] * ip[j] + swi[j] * rp[j];
                    rp[j] = rk[j] - tr;
                    ip[j] = ik[j] - ti;
                    rk[j] += tr;
                    ik[j] += ti;
                }
            }
            continue;
        }
        for (int32_t j = 0; j < half; ++j) {
            double wr, wi;
            StageTwiddle(M, half, j, Wr, Wi, wr, wi);
            for (int32_t k = j; k < M; k += 2 * half) {
                const int32_t p = k + half;
                const double tr = wr * re[p] - wi * im[p];
                const double ti = wr * im[p] + wi * re[p];
                re[p] = re[k] - tr;
                im[p] = im[k] - ti;
                re[k] += tr;
                im[k] += ti;
            }
        }
    }
    const double scale = 1.0 / std::sqrt(static_cast<double>(M));
    for (int32_t i = 0; i < M; ++i) {
        Re[i] *= scale;
        Im[i] = (Inverse ? -Im[i] : Im[i]) * scale;
    }
}

}  // namespace

TRealFFTPlan::TRealFFTPlan(int32_t N) : FN(N) {
    const int32_t m = N / 2;
    FindPowerOfTwo(m, FLog2, FStatus);
    if (FStatus != FFT_OK) return;
    MakeTwiddles(m, FWr, FWi);
    FCos.assign(m, 0.0);
    FSin.assign(m, 0.0);
    FReverse.assign(m, 0);
    // cos(pi*i/m) and -sin(pi*i/m): from the twiddles for even i, directly for odd i.
    for (int32_t i = 0; i < m; ++i) {
        if (i % 2 == 0) {
            FCos[i] = FWr[i / 2];
            FSin[i] = FWi[i / 2];
        } else {
            FCos[i] = std::cos(std::numbers::pi * i / m);
            FSin[i] = -std::sin(std::numbers::pi * i / m);
        }
        FReverse[i] = Reversed(FLog2, i);
    }
    FStageWr.assign(m > 1 ? m - 1 : 0, 0.0);
    FStageWi.assign(FStageWr.size(), 0.0);
    for (int32_t half = 1; half < m; half *= 2)
        for (int32_t j = 0; j < half; ++j)
            StageTwiddle(m, half, j, FWr, FWi, FStageWr[half - 1 + j], FStageWi[half - 1 + j]);
}

void RealFFT(int32_t N, bool Inverse, TNvector& Re, uint8_t& Status, TNvector& Im) {
    const TRealFFTPlan plan(N);
    RealFFT(plan, Inverse, Re, Status, Im);
}

void RealFFT(const TRealFFTPlan& Plan, bool Inverse, TNvector& Re, uint8_t& Status, TNvector& Im) {
    Status = Plan.FStatus;
    if (Status != FFT_OK) return;
    const int32_t N = Plan.FN;
    const int32_t m = N / 2;
    const int32_t log2 = Plan.FLog2;
    const TNvector& wr = Plan.FWr;
    const TNvector& wi = Plan.FWi;

    auto at = [](const TNvector& v, int32_t i) { return i < static_cast<int32_t>(v.size()) ? v[i] : 0.0; };
    TNvector xr(N, 0.0), xi(N, 0.0);
    const double s = std::numbers::sqrt2 / 4.0;

    auto halfTwiddle = [&](int32_t i, double& c, double& si) {
        c = Plan.FCos[i];
        si = Plan.FSin[i];
    };

    if (!Inverse) {
        for (int32_t k = 0; k < m; ++k) {
            xr[k] = at(Re, 2 * k);
            xi[k] = at(Re, 2 * k + 1);
        }
        Butterflies(log2, m, false, wr, wi, Plan.FReverse.data(), Plan.FStageWr.data(), Plan.FStageWi.data(), xr, xi);
        TNvector outRe(N, 0.0), outIm(N, 0.0);
        outRe[0] = (xr[0] + xi[0]) / std::numbers::sqrt2;
        outRe[m] = (xr[0] - xi[0]) / std::numbers::sqrt2;
        for (int32_t i = 1; i < m; ++i) {
            double c, si;
            halfTwiddle(i, c, si);
            const double e = xi[i], f = xi[m - i], g = e + f;
            const double h = xr[i], l = xr[m - i], d = h - l;
            outRe[i] = (c * g + (h + l) + si * d) * s;
            outIm[i] = (si * g + (e - f) - c * d) * s;
            outRe[2 * m - i] = outRe[i];
            outIm[2 * m - i] = -outIm[i];
        }
        Re = std::move(outRe);
        Im = std::move(outIm);
        return;
    }

    // Inverse: rebuild the packed half-length spectrum Z[k] = E[k] + j*O[k] from bins k
    // and k+m, where E is the even samples' spectrum and O = (F[k] - F[k+m]) / (2*W^k)
    // the odd samples'; the factor 1/sqrt(2) of the forward split is undone here.
    for (int32_t k = 0; k < m; ++k) {
        double c, si;  // W^k = c + j*si
        if (k == 0) {
            c = 1.0; si = 0.0;
        } else {
            halfTwiddle(k, c, si);
        }
        const double ar = at(Re, k), ai = at(Im, k);
        const double br = at(Re, k + m), bi = at(Im, k + m);
        const double er = (ar + br) / 2, ei = (ai + bi) / 2;
        const double dr = (ar - br) / 2, di = (ai - bi) / 2;
        // O = D / W^k = D * conj(W^k)
        const double orr = dr * c + di * si, oi = di * c - dr * si;
        xr[k] = (er - oi) * std::numbers::sqrt2;
        xi[k] = (ei + orr) * std::numbers::sqrt2;
    }
    Butterflies(log2, m, true, wr, wi, Plan.FReverse.data(), Plan.FStageWr.data(), Plan.FStageWi.data(), xr, xi);
    TNvector outRe(N, 0.0), outIm(N, 0.0);
    for (int32_t k = 0; k < m; ++k) {
        outRe[2 * k] = xr[k];
        outRe[2 * k + 1] = xi[k];
    }
    Re = std::move(outRe);
    Im = std::move(outIm);
}

void RealFFTLowBins(const TRealFFTPlan& Plan, TNvector& Re, TNvector& Im, int32_t Count, uint8_t& Status) {
    Status = Plan.FStatus;
    if (Status != FFT_OK) return;
    const int32_t N = Plan.FN;
    const int32_t m = N / 2;
    Count = std::clamp(Count, 0, N / 4);
    // Pack in place: entry k of Re takes sample 2k (read before it is overwritten, since
    // 2k >= k), Im takes sample 2k+1.
    Re.resize(static_cast<std::size_t>(N), 0.0);
    Im.assign(static_cast<std::size_t>(m), 0.0);
    for (int32_t k = 0; k < m; ++k) {
        Im[k] = Re[2 * k + 1];
        Re[k] = Re[2 * k];
    }
    Re.resize(static_cast<std::size_t>(m));
    Butterflies(Plan.FLog2, m, false, Plan.FWr, Plan.FWi, Plan.FReverse.data(), Plan.FStageWr.data(),
                Plan.FStageWi.data(), Re, Im);
    // The split step of RealFFT for the low bins only. Bin i reads packed entries i and
    // m-i; below m/2 every m-i lies above the bins written, so they can go in place.
    const double s = std::numbers::sqrt2 / 4.0;
    if (Count > 0) {
        const double r0 = (Re[0] + Im[0]) / std::numbers::sqrt2;
        Re[0] = r0;
        Im[0] = 0.0;
    }
    for (int32_t i = 1; i < Count; ++i) {
        const double c = Plan.FCos[i], si = Plan.FSin[i];
        const double e = Im[i], f = Im[m - i], g = e + f;
        const double h = Re[i], l = Re[m - i], d = h - l;
        Re[i] = (c * g + (h + l) + si * d) * s;
        Im[i] = (si * g + (e - f) - c * d) * s;
    }
    Re.resize(static_cast<std::size_t>(Count));
    Im.resize(static_cast<std::size_t>(Count));
}

}  // namespace tilo
