// The NAVTEX synthesiser: message text to the bits a coast station sends and to 16-bit
// audio of them. Three layers, each usable on its own by tests:
//   text -> CCIR 476 codes of the DX stream (CR LF line ends, optional "ZCZC B1B2B3B4"
//           and "NNNN" lines, letters/figures shifts where the case changes and again
//           after every blank, so it decodes with unshift-on-space on or off);
//   codes -> SITOR-B FEC bit string (phasing, every character in a DX position and again
//           in the RX position five groups later, end-of-emission);
//   bits -> continuous-phase FSK audio with clock error, polarity, frequency offset,
//           white Gaussian noise at a stated SNR and leading silence.
// The first character of a code is the first bit sent; in normal polarity '1' is the
// upper tone.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tilo {

struct TSynthMessage {
    std::string Text;    // '\n', "\r\n" or '\r' end a line; lower case is sent as upper case
    std::string Header;  // "B1B2B3B4" (e.g. "EA01"): adds the ZCZC and NNNN lines; "" for none
};

struct TSynthOptions {
    int32_t SampleRate = 11025;
    double Centre = 1000;          // Hz, midway between the tones
    double Shift = 170;            // Hz between the tones
    double Baud = 100;             // the transmitter's clock: 100.2 is 0.2 % fast
    bool Inverted = false;         // true: '1' is the lower tone
    double Amplitude = 10000;      // peak of the tone, in sample units
    // Signal power (amplitude^2 / 2) over white Gaussian noise power in the whole audio
    // band 0 .. SampleRate/2, in dB; infinity for no noise. SnrIn500Hz converts.
    double SnrDb = std::numeric_limits<double>::infinity();
    double FreqOffset = 0;         // Hz added to both tones (receiver mistuning)
    double LeadSeconds = 0.5;      // before the first bit: silence, or noise alone
    double TailSeconds = 0.5;      // after the last bit
    double PhasingSeconds = 2.0;   // phasing before the message
    uint32_t Seed = 1;             // of the noise
};

// The message as transmitted, in 8-bit characters: the header line when asked for (else
// a CR LF), the text with CR LF line ends and a final CR LF, and the NNNN line when asked for.
std::string NavtexMessageText(const TSynthMessage& Message);

// The 7-bit codes of Text (already in NavtexMessageText form), shifts included.
// A character without a CCIR 476 code raises std::invalid_argument naming it.
std::vector<std::string> EncodeCcir476(const std::string& Text);

// The FEC bit string: PhasingSlots DX/RX pairs of phasing, the codes, the end of
// emission, and the RX repetitions that are still due.
std::string SitorFecBits(const std::vector<std::string>& Codes, int32_t PhasingSlots);

// Message -> exact transmitted bits (phasing length from the options).
std::string NavtexBits(const TSynthMessage& Message, const TSynthOptions& Options);

// Bits -> audio: LeadSeconds, the bits, TailSeconds; noise over all of it.
std::vector<int16_t> ModulateFsk(const std::string& Bits, const TSynthOptions& Options);

std::vector<int16_t> SynthesiseNavtex(const TSynthMessage& Message, const TSynthOptions& Options);

// The options' SNR restated for a 500 Hz noise bandwidth.
double SnrIn500Hz(const TSynthOptions& Options);

// Raises std::invalid_argument naming the first option that cannot be synthesised.
void CheckSynthOptions(const TSynthOptions& Options);

}  // namespace tilo
