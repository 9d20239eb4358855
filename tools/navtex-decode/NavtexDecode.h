// navtex-decode: a recording through the receiver's decoding chain (TModem into
// the block handler of TNavtexDecoder, with the one-second tracking and clock
// timers driven by audio time), with a console host that prints the
// current-message lines, the stored messages as JSON, or the ticker text.
#pragma once

#include "decoder/DecoderHost.h"
#include "decoder/NavtexDecoder.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tilo {

struct TChainOptions {
    int32_t Centre = 1200;
    int32_t Shift = 170;
    bool Inverted = false;
};

// Feeds Samples (at the current sample rate, which must be set first) block by
// block through a fresh TModem into Decoder's block handler, which tracks the
// signal from Options.Centre while the host's cbTrack is on. OnBlock, when given, is called after
// each block with the audio time processed so far, in seconds. At the end the bits
// still gathered are handed over too.
void RunDecodingChain(TNavtexDecoder& Decoder, std::span<const int16_t> Samples,
                      const TChainOptions& Options,
                      const std::function<void(double Seconds)>& OnBlock = {});

// Text as one JSON string literal; control and 8-bit characters become \u00XX.
std::string JsonString(const std::string& Text);

// The whole program: arguments without the program name; returns the exit code. The
// file "-" is read from In (standard input in the first form).
int NavtexDecodeMain(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out,
                     std::ostream& Err);
int NavtexDecodeMain(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err);

}  // namespace tilo
