// Deterministic English-like text for compression tests and benchmarks: a word
// chain (each next word drawn among the words that follow the last one in a
// sample of maritime safety messages written for this purpose; "#" becomes a
// number), driven by a fixed pseudo-random generator, so every run sees the same
// bytes.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testtext {

inline const char* const Sample =
    "NAVAREA ONE WARNING NUMBER #. ENGLISH CHANNEL. DOVER STRAIT. "
    "The light buoy marking the wreck in position # north # west south of the traffic separation scheme is reported missing. "
    "Mariners are advised to keep well clear of the area and to navigate with caution. "
    "Cancel this message at the end of the month. "
    "Gale warning # issued at # UTC on Tuesday. Southwest gale force eight expected soon in the sea area, "
    "veering west later and decreasing to strong breeze by the evening. "
    "The forecast for the next twenty four hours: wind southwest five to seven, occasionally gale eight later. "
    "Sea state rough or very rough, becoming moderate for a time. Weather rain then showers. "
    "Visibility moderate or poor, occasionally good later in the day. "
    "A vessel is reported overdue on passage from the northern harbour to the island. "
    "Vessels in the vicinity are requested to keep a sharp lookout and to report any sighting to the coast guard. "
    "Firing exercises will take place in the danger area between # and # UTC each day. "
    "Ships are requested to keep clear of the danger area while the red flags are displayed. "
    "The cable laying vessel is working in the approaches to the port and is restricted in her ability to manoeuvre. "
    "A wide berth is requested. Mariners should pass at slow speed and keep a listening watch on channel sixteen. "
    "The radio navigation aid at the head of the breakwater is unreliable until further notice. "
    "Drifting containers have been reported in the main shipping lane west of the lightship. "
    "The position of the containers is uncertain and they may be partly submerged. "
    "Search and rescue operations are in progress near the harbour entrance, and all vessels in the area "
    "are requested to keep clear and to report any wreckage or persons in the water. "
    "The weather forecast for coastal waters is for fog patches in the morning, clearing by the afternoon, "
    "with wind northwest four or five and a slight or moderate sea. "
    "Ice accretion is expected in the northern sea areas during the night with temperatures falling below zero. "
    "The pilot station will be closed for maintenance and pilots will board off the fairway buoy instead. "
    "Dredging operations continue in the inner channel and the depth may be less than charted. ";

class TGenerator {
public:
    explicit TGenerator(uint64_t seed = 1) : FState(seed) {
        std::istringstream in(Sample);
        std::string w;
        while (in >> w) FWords.push_back(w);
        for (size_t i = 0; i < FWords.size(); ++i)
            FNext[FWords[i]].push_back(FWords[(i + 1) % FWords.size()]);
    }

    std::string Text(size_t size) {
        std::string out;
        out.reserve(size + 64);
        std::string last = FWords[0];
        out += last;
        size_t column = out.size();
        while (out.size() < size) {
            const auto& choices = FNext[last];
            std::string w = choices[Random() % choices.size()];
            last = w;
            if (w[0] == '#') w = std::to_string(Random() % 1000) + w.substr(1);
            if (column + w.size() + 1 > 72) {
                out += "\n";
                column = 0;
            } else {
                out += " ";
                ++column;
            }
            out += w;
            column += w.size();
        }
        out.resize(size);
        return out;
    }

    uint32_t Random() {
        FState = FState * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(FState >> 33);
    }

private:
    uint64_t FState;
    std::vector<std::string> FWords;
    std::map<std::string, std::vector<std::string>> FNext;
};

inline std::string EnglishText(size_t size, uint64_t seed = 1) { return TGenerator(seed).Text(size); }

inline std::string RandomBytes(size_t size, uint64_t seed = 7) {
    TGenerator g(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = char(g.Random() >> 7);
    return out;
}

}  // namespace testtext
