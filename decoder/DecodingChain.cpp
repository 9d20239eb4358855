// The chain's wiring and its audio-time timers.
#include "decoder/DecodingChain.h"

#include "decoder/UCommon.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace tilo {

TDecodingChain::TDecodingChain(TModem& Modem, TNavtexDecoder& Decoder, int32_t Centre, int32_t Shift)
    : FModem(Modem), FDecoder(Decoder) {
    FModem.SetFreq(Centre, Shift);
    FDecoder.FModem = &FModem;
    FDecoder.SetAfcBand(Centre);
    FModem.OnDataReady = [this](const std::string& Bits, double Phase, const TNvector& RealData,
                                const TNvector& ImagData, const std::vector<int32_t>& PLLBits) {
        FDecoder.ModemBlockDone(Bits, Phase, RealData, ImagData, PLLBits);
    };
}

TDecodingChain::~TDecodingChain() {
    FModem.OnDataReady = nullptr;
    if (FDecoder.FModem == &FModem) FDecoder.FModem = nullptr;
}

void TDecodingChain::ProcessBlock(std::span<const int16_t> Samples) {
    if (Samples.size() > ModemBlockSize)
        throw std::invalid_argument("Decoding chain block of " + std::to_string(Samples.size()) +
                                    " samples; at most 1024 expected");
    if (Samples.empty()) return;
    if (Samples.size() == ModemBlockSize) {
        FModem.ProcessBlock(Samples);
    } else {
        std::copy(Samples.begin(), Samples.end(), FBlock);
        std::fill(FBlock + Samples.size(), FBlock + ModemBlockSize, int16_t{0});
        FModem.ProcessBlock(FBlock);
    }
    const auto count = static_cast<int64_t>(Samples.size());
    FSamplesFed += count;
    FSinceTick += count;
    if (OnBlockDone) OnBlockDone(FSamplesFed);
    if (FSinceTick >= SampleRate) {
        FSinceTick -= SampleRate;
        FDecoder.TrackTimerTimer();
        FDecoder.Timer1Timer();
    }
}

void TDecodingChain::Finish() { FDecoder.FlushBits(); }

}  // namespace tilo
