// Synthesiser layers. The character codes come from the decoder's own CCIR 476 table, so
// there is one table; the recording in the test data pins the conventions it cannot pin
// itself (bit order, polarity, DX/RX order).
#include "NavtexSynth.h"

#include "decoder/CodeTables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace tilo {

namespace {

std::string Code(std::string_view c) { return std::string(c); }

bool ValidHeader(const std::string& h) {
    return h.size() == 4 && h[0] >= 'A' && h[0] <= 'Z' && h[1] >= 'A' && h[1] <= 'Z' &&
           h[2] >= '0' && h[2] <= '9' && h[3] >= '0' && h[3] <= '9';
}

std::string ShowChar(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 33 && u <= 126) return std::string("'") + c + "'";
    return "code " + std::to_string(u);
}

}  // namespace

std::string NavtexMessageText(const TSynthMessage& Message) {
    std::string header;
    for (char c : Message.Header) header += char(std::toupper(static_cast<unsigned char>(c)));
    if (!header.empty() && !ValidHeader(header))
        throw std::invalid_argument("Header \"" + Message.Header +
                                    "\" is not B1B2B3B4 (two letters, two digits)");
    // A message begins with its header line straight after the phasing; plain text
    // gets a line end first so that it starts on a clean line. (A line end before
    // "ZCZC" would be stored by the receiver as a fragment message of its own.)
    std::string out = header.empty() ? "\r\n" : "ZCZC " + header + "\r\n";
    const std::string& t = Message.Text;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\r' || t[i] == '\n') {
            if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ++i;
            out += "\r\n";
        } else {
            out += t[i];
        }
    }
    if (!t.empty() && out.back() != '\n') out += "\r\n";
    if (!header.empty()) out += "NNNN\r\n";
    return out;
}

std::vector<std::string> EncodeCcir476(const std::string& Text) {
    enum class TCase { Unknown, Letters, Figures };
    const std::string ltrs = Code(LettersCode(chLettersShift));
    const std::string figs = Code(LettersCode(chFiguresShift));
    const std::string blank = Code(LettersCode(' '));  // the letters-case blank, never 'J'
    std::vector<std::string> codes;
    TCase state = TCase::Unknown;
    for (char raw : Text) {
        const char c = char(std::toupper(static_cast<unsigned char>(raw)));
        if (c == chCR || c == chLF) {
            codes.push_back(Code(LettersCode(c)));
            continue;
        }
        if (c == ' ') {
            codes.push_back(blank);
            // A receiver that unshifts on space is back in letters now; one that does not
            // is still in the old case. Sending the shift again settles both.
            state = TCase::Unknown;
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        std::string_view letters = u >= 32 && u < 127 ? LettersCode(c) : std::string_view();
        std::string_view figures = u >= 32 && u < 127 ? FiguresCode(c) : std::string_view();
        if (!letters.empty()) {
            if (state != TCase::Letters) codes.push_back(ltrs);
            state = TCase::Letters;
            codes.push_back(Code(letters));
        } else if (!figures.empty()) {
            if (state != TCase::Figures) codes.push_back(figs);
            state = TCase::Figures;
            codes.push_back(Code(figures));
        } else {
            throw std::invalid_argument("Character " + ShowChar(raw) +
                                        " has no CCIR 476 code");
        }
    }
    return codes;
}

std::string SitorFecBits(const std::vector<std::string>& Codes, int32_t PhasingSlots) {
    const std::string alpha = Code(LettersCode(chPhasing1));  // phasing 1, RX positions
    const std::string beta = Code(LettersCode(chPhasing2));   // phasing 2, DX positions
    // The DX stream: phasing, the characters, the end of emission (three phasing 1).
    std::vector<std::string> dx(std::size_t(std::max(PhasingSlots, 0)), beta);
    dx.insert(dx.end(), Codes.begin(), Codes.end());
    dx.insert(dx.end(), 3, alpha);
    // RX repeats DX two slots (five group positions) later; phasing 1 while nothing is due.
    std::string bits;
    bits.reserve((dx.size() + 2) * 14);
    for (std::size_t s = 0; s < dx.size() + 2; ++s) {
        bits += s < dx.size() ? dx[s] : alpha;
        bits += s >= 2 && dx[s - 2] != beta ? dx[s - 2] : alpha;
    }
    return bits;
}

void CheckSynthOptions(const TSynthOptions& o) {
    auto fail = [](const std::string& what) { throw std::invalid_argument(what); };
    if (o.SampleRate <= 0) fail("Sample rate must be positive");
    if (!(o.Baud > 0)) fail("Baud rate must be positive");
    if (!(o.Shift >= 0)) fail("Shift must not be negative");
    const double top = o.Centre + o.FreqOffset + o.Shift / 2;
    const double bottom = o.Centre + o.FreqOffset - o.Shift / 2;
    if (!(bottom > 0) || !(top < o.SampleRate / 2.0))
        fail("Tones must lie between 0 Hz and half the sample rate");
    if (!(o.Amplitude >= 0 && o.Amplitude <= 32767)) fail("Amplitude must be 0 to 32767");
    if (std::isnan(o.SnrDb)) fail("SNR is not a number");
    for (double s : {o.LeadSeconds, o.TailSeconds, o.PhasingSeconds})
        if (!(s >= 0 && s <= 86400)) fail("Durations must be 0 to 86400 seconds");
}

std::string NavtexBits(const TSynthMessage& Message, const TSynthOptions& Options) {
    CheckSynthOptions(Options);
    const int32_t slots = int32_t(std::nearbyint(Options.PhasingSeconds * Options.Baud / 14));
    return SitorFecBits(EncodeCcir476(NavtexMessageText(Message)), slots);
}

std::vector<int16_t> ModulateFsk(const std::string& Bits, const TSynthOptions& o) {
    CheckSynthOptions(o);
    const double rate = o.SampleRate;
    const std::size_t lead = std::size_t(std::nearbyint(o.LeadSeconds * rate));
    const std::size_t tail = std::size_t(std::nearbyint(o.TailSeconds * rate));
    const std::size_t body = std::size_t(std::ceil(double(Bits.size()) * rate / o.Baud));
    std::vector<int16_t> out(lead + body + tail);

    double sigma = 0;
    if (std::isfinite(o.SnrDb)) sigma = std::sqrt(o.Amplitude * o.Amplitude / 2 / std::pow(10, o.SnrDb / 10));
    std::mt19937 rng(o.Seed);
    std::normal_distribution<double> gauss(0.0, 1.0);

    constexpr double twoPi = 2 * std::numbers::pi;
    const double upper = o.Centre + o.FreqOffset + o.Shift / 2;
    const double lower = o.Centre + o.FreqOffset - o.Shift / 2;
    double phase = 0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        double v = 0;
        if (n >= lead && n < lead + body) {
            std::size_t k = std::size_t(double(n - lead) * o.Baud / rate);
            if (k >= Bits.size()) k = Bits.size() - 1;
            const bool one = Bits[k] == '1';
            phase += twoPi * ((one != o.Inverted) ? upper : lower) / rate;
            if (phase >= twoPi) phase -= twoPi;
            v = o.Amplitude * std::sin(phase);
        }
        if (sigma > 0) v += sigma * gauss(rng);
        out[n] = int16_t(std::clamp(std::nearbyint(v), -32768.0, 32767.0));
    }
    return out;
}

std::vector<int16_t> SynthesiseNavtex(const TSynthMessage& Message, const TSynthOptions& Options) {
    return ModulateFsk(NavtexBits(Message, Options), Options);
}

double SnrIn500Hz(const TSynthOptions& Options) {
    return Options.SnrDb + 10 * std::log10(Options.SampleRate / 2.0 / 500.0);
}

}  // namespace tilo
