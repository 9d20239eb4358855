// navtex-synth: writes a 16-bit mono WAV of a NAVTEX broadcast of a message text.
#include "NavtexSynth.h"

#include "platform/WavFile.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

const char* const Usage =
    "usage: navtex-synth [options] OUTPUT.wav\n"
    "  --text TEXT         message text (\\n in TEXT ends a line)\n"
    "  --text-file FILE    message text from a file\n"
    "  --header B1B2B3B4   add the \"ZCZC B1B2B3B4\" line and the \"NNNN\" line\n"
    "  --rate R            samples per second: 11025 (default) or 12000\n"
    "  --centre HZ         centre between the tones (default 1000)\n"
    "  --shift HZ          tone spacing (default 170)\n"
    "  --baud B            transmitter baud rate, for clock error (default 100)\n"
    "  --inverted          '1' on the lower tone (default: upper tone)\n"
    "  --amplitude A       tone peak, 0..32767 (default 10000)\n"
    "  --snr DB            white Gaussian noise: signal to noise power over the whole\n"
    "                      audio band 0..rate/2 (default: no noise)\n"
    "  --offset HZ         frequency offset added to both tones (default 0)\n"
    "  --lead S            seconds before the signal, silent or noise only (default 0.5)\n"
    "  --phasing S         seconds of phasing before the message (default 2)\n"
    "  --seed N            noise seed (default 1)\n";

double Number(std::string_view option, std::string_view text) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        throw std::invalid_argument(std::string(option) + ": not a number: " + std::string(text));
    return v;
}

// Number text never goes through the C locale.
std::string Fixed(double v, int precision) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    return std::string(buf, r.ptr);
}

std::string Unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        tilo::TSynthMessage message;
        tilo::TSynthOptions options;
        std::string output;
        bool haveText = false;
        for (int i = 1; i < argc; ++i) {
            const std::string_view a = argv[i];
            auto value = [&]() -> std::string_view {
                if (i + 1 >= argc) throw std::invalid_argument(std::string(a) + " needs a value");
                return argv[++i];
            };
            if (a == "--help" || a == "-h") {
                std::fputs(Usage, stdout);
                return 0;
            } else if (a == "--text") {
                message.Text = Unescape(value());
                haveText = true;
            } else if (a == "--text-file") {
                const std::string name(value());
                std::ifstream f(name, std::ios::binary);
                if (!f) throw std::runtime_error("cannot read " + name);
                std::ostringstream s;
                s << f.rdbuf();
                message.Text = s.str();
                haveText = true;
            } else if (a == "--header") {
                message.Header = value();
            } else if (a == "--rate") {
                const double r = Number(a, value());
                if (r != 11025 && r != 12000)
                    throw std::invalid_argument("--rate: 11025 or 12000 samples per second");
                options.SampleRate = int32_t(r);
            } else if (a == "--centre") {
                options.Centre = Number(a, value());
            } else if (a == "--shift") {
                options.Shift = Number(a, value());
            } else if (a == "--baud") {
                options.Baud = Number(a, value());
            } else if (a == "--inverted") {
                options.Inverted = true;
            } else if (a == "--amplitude") {
                options.Amplitude = Number(a, value());
            } else if (a == "--snr") {
                options.SnrDb = Number(a, value());
            } else if (a == "--offset") {
                options.FreqOffset = Number(a, value());
            } else if (a == "--lead") {
                options.LeadSeconds = Number(a, value());
            } else if (a == "--phasing") {
                options.PhasingSeconds = Number(a, value());
            } else if (a == "--seed") {
                const double s = Number(a, value());
                if (!(s >= 0 && s <= 4294967295.0) || s != std::floor(s))
                    throw std::invalid_argument("--seed: a whole number 0 to 4294967295");
                options.Seed = uint32_t(s);
            } else if (!a.empty() && a[0] == '-') {
                throw std::invalid_argument("unknown option " + std::string(a));
            } else if (output.empty()) {
                output = a;
            } else {
                throw std::invalid_argument("more than one output file");
            }
        }
        if (output.empty() || !haveText) {
            std::fputs(Usage, stderr);
            return 2;
        }
        const std::vector<int16_t> samples = tilo::SynthesiseNavtex(message, options);
        tilo::WriteWavFile(output, options.SampleRate, samples);
        std::string report = output + ": " + std::to_string(samples.size()) + " samples, " +
                             Fixed(double(samples.size()) / options.SampleRate, 2) + " s at " +
                             std::to_string(options.SampleRate) + " samples per second\n";
        if (std::isfinite(options.SnrDb))
            report += "SNR " + Fixed(options.SnrDb, 1) + " dB in the whole band (0.." +
                      std::to_string(options.SampleRate / 2) + " Hz), " +
                      Fixed(tilo::SnrIn500Hz(options), 1) + " dB in 500 Hz\n";
        std::fputs(report.c_str(), stdout);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "navtex-synth: %s\n", e.what());
        return 1;
    }
}
