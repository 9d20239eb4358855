// TDecodingChain: the receiver's decoding chain wired in one place - a demodulator whose
// blocks go to the decoder's block handler, with the one-second tracking and clock timers
// run on audio time. navtex-decode, the benchmarks and the tests all feed audio through
// it, so they all run the same chain.
//
// While it lives, the demodulator's OnDataReady and the decoder's FModem point at each
// other; the destructor unhooks both. Blocks shorter than ModemBlockSize are completed
// with silence (only the last block of a recording is short); the timers tick after every
// SampleRate samples of real audio fed.
#pragma once

#include "decoder/NavtexDecoder.h"
#include "decoder/uModem.h"

#include <cstdint>
#include <functional>
#include <span>

namespace tilo {

class TDecodingChain {
public:
    // Tunes Modem to Centre and Shift and starts the decoder's tracking band there. The
    // sample rate must be set before Modem was created.
    TDecodingChain(TModem& Modem, TNavtexDecoder& Decoder, int32_t Centre, int32_t Shift);
    ~TDecodingChain();
    TDecodingChain(const TDecodingChain&) = delete;
    TDecodingChain& operator=(const TDecodingChain&) = delete;

    // One block of at most ModemBlockSize samples (std::invalid_argument for more, before
    // anything changes); runs the timers when a second of audio is complete.
    void ProcessBlock(std::span<const int16_t> Samples);
    // Hands the bits still gathered to the character stage (at the end of a recording).
    void Finish();

    // Samples fed so far.
    int64_t SamplesFed() const { return FSamplesFed; }

    // Called after each block's handling and before the timers it completes, with the
    // samples fed so far (an audio-time clock follows it).
    std::function<void(int64_t SamplesFed)> OnBlockDone;

private:
    TModem& FModem;
    TNavtexDecoder& FDecoder;
    int64_t FSamplesFed = 0;
    int64_t FSinceTick = 0;
    int16_t FBlock[ModemBlockSize] = {};
};

}  // namespace tilo
