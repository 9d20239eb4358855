// The default data a fresh install is filled from: the station file imports whole through
// the station import into a store that converts and sizes each field as the station table
// does, every line is a distinct station with sound values, and the lexicon is a sorted
// list of unique upper-case words that holds every name of the station file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "app/StationFile.h"
#include "classlib/SysUtils.h"

namespace {

using namespace tilo;

const std::string StationsPath = std::string(TILO_SOURCE_DIR) + "/data/" + StationFileName;
const std::string LexiconPath = std::string(TILO_SOURCE_DIR) + "/data/lexicon.txt";

std::string ReadBytes(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Split(const std::string& Text, const std::string& Separator) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t end; (end = Text.find(Separator, at)) != std::string::npos; at = end + Separator.size())
        parts.push_back(Text.substr(at, end - at));
    parts.push_back(Text.substr(at));
    return parts;
}

double Number(const std::string& Text) {
    double v = 0;
    const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), v);
    if (Text.empty() || r.ec != std::errc() || r.ptr != Text.data() + Text.size())
        throw classlib::EConvertError("'" + Text + "' is not a valid floating point value");
    return v;
}

// The station table's field kinds and widths: a text that would not convert or would be
// cut raises, as a post into the real table would fail or lose characters.
class TCheckingStore : public TStationStore {
public:
    std::vector<TStationRecord> Table;
    int Located = 0;

    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        for (const TStationRecord& s : Table) {
            if (s[sfNavArea] == NavArea && s[sfFreq] == Freq && s[sfIdLetter] == IdLetter &&
                s[sfCallSign] == CallSign) {
                ++Located;
                return true;
            }
        }
        return false;
    }
    void EditStation() override { FRecord = TStationRecord{}; }
    void AppendStation() override { FRecord = TStationRecord{}; }
    void SetField(TStationField F, const std::string& Text) override {
        static const std::map<TStationField, std::size_t> width = {
            {sfIdLetter, 1}, {sfCallSign, 8}, {sfLocation, 40}, {sfCountry, 25}, {sfCountryCode, 10},
            {sfT1, 10}, {sfT2, 10}, {sfT3, 10}, {sfT4, 10}, {sfT5, 10}, {sfT6, 10},
            {sfIdText, 300}, {sfUniqueId, 300}};
        if (F == sfNavArea) {
            int v = 0;
            const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), v);
            if (r.ec != std::errc() || r.ptr != Text.data() + Text.size() || v < -32768 || v > 32767)
                throw classlib::EConvertError("'" + Text + "' is not a valid integer value");
        } else if (F == sfFreq || F == sfLat || F == sfLon) {
            Number(Text);
        } else if (Text.size() > width.at(F)) {
            throw classlib::EConvertError(std::string(StationFieldNames[F]) + " '" + Text + "' is too long");
        }
        FRecord[F] = Text;
    }
    void PostStation() override { Table.push_back(FRecord); }
    void CancelStation() override {}

private:
    TStationRecord FRecord;
};

bool UpperWord(const std::string& Text) {
    return !Text.empty() && Text.size() <= 40 &&
           std::all_of(Text.begin(), Text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// A schedule slot: "hh:m0", hours 00..23.
bool SlotText(const std::string& Text) {
    return Text.size() == 5 && Text[2] == ':' && Text[4] == '0' && std::isdigit((unsigned char)Text[0]) &&
           std::isdigit((unsigned char)Text[1]) && Text[3] >= '0' && Text[3] <= '5' && Text.substr(0, 2) <= "23";
}

// The words of Text: its runs of letters A-Z.
std::vector<std::string> LetterRuns(const std::string& Text) {
    std::vector<std::string> runs;
    std::string run;
    for (char c : Text + " ") {
        if (c >= 'A' && c <= 'Z') {
            run += c;
        } else if (!run.empty()) {
            runs.push_back(run);
            run.clear();
        }
    }
    return runs;
}

double DistanceKm(double Lat1, double Lon1, double Lat2, double Lon2) {
    const double rad = std::acos(-1.0) / 180;
    const double a = std::pow(std::sin((Lat2 - Lat1) * rad / 2), 2) +
                     std::cos(Lat1 * rad) * std::cos(Lat2 * rad) * std::pow(std::sin((Lon2 - Lon1) * rad / 2), 2);
    return 2 * 6378 * std::asin(std::min(1.0, std::sqrt(a)));
}

TEST(DefaultData, StationFileImportsEveryLineAsItsOwnStation) {
    const std::string bytes = ReadBytes(StationsPath);
    ASSERT_FALSE(bytes.empty()) << StationsPath;
    // 8-bit text the way the export writes it: printable ASCII, every line ended by CR LF.
    for (char c : bytes) ASSERT_TRUE((c >= ' ' && c <= '~') || c == '\r' || c == '\n') << int(c);
    ASSERT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    std::vector<std::string> lines = Split(bytes.substr(0, bytes.size() - 2), "\r\n");
    for (const std::string& l : lines) ASSERT_EQ(l.find_first_of("\r\n"), std::string::npos);
    ASSERT_EQ(lines[0], StationFileVersion);
    ASSERT_GT(lines.size(), 100u);

    TCheckingStore store;
    const TStationFileResult r = ReadStationFile(StationsPath, store, true);
    ASSERT_TRUE(r.Ok) << r.Text;
    // No line met an earlier one's key (NAVAREA, FREQ, IDLETTER, CALLSIGN), so none overwrote another.
    EXPECT_EQ(store.Located, 0);
    ASSERT_EQ(store.Table.size(), lines.size() - 1);

    for (std::size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const std::vector<std::string> f = Split(lines[i], "#");
        ASSERT_EQ(f.size(), std::size_t(StationFieldCount) + 1);  // 17 fields, each ended by '#'
        EXPECT_EQ(f.back(), "");
        const TStationRecord& s = store.Table[i - 1];
        for (int32_t k = 0; k < StationFieldCount; ++k) EXPECT_EQ(s.Fields[k], f[k]);

        const int area = std::stoi(s[sfNavArea]);
        EXPECT_TRUE(area >= 1 && area <= 21);
        EXPECT_TRUE(s[sfFreq] == "518" || s[sfFreq] == "490");
        EXPECT_TRUE(s[sfIdLetter].size() == 1 && UpperWord(s[sfIdLetter]));
        const double lat = Number(s[sfLat]), lon = Number(s[sfLon]);
        EXPECT_TRUE(lat >= -90 && lat <= 90);
        EXPECT_TRUE(lon >= -180 && lon <= 180);
        EXPECT_FALSE(s[sfLocation].empty());
        EXPECT_FALSE(s[sfCountryCode].empty());
        // The schedule matches a time field against a 10-minute slot text exactly.
        EXPECT_TRUE(SlotText(s[sfT1]));
        for (int32_t t = sfT2; t <= sfT6; ++t) EXPECT_TRUE(s.Fields[t].empty() || SlotText(s.Fields[t]));
        // Identification by letter needs a keyword that can match; an empty one never does.
        EXPECT_FALSE(s[sfIdText].empty());
        for (const std::string& k : Split(s[sfIdText], ",")) EXPECT_FALSE(k.empty());
    }
}

TEST(DefaultData, StationsSharingALetterOnAFrequencyAreFarApart) {
    // A letter is reused on a frequency only by stations whose coverage (some 400 NM each)
    // cannot overlap, even within one NAVAREA; a near twin would be a copying slip.
    TCheckingStore store;
    ASSERT_TRUE(ReadStationFile(StationsPath, store, true).Ok);
    std::map<std::pair<std::string, std::string>, std::vector<const TStationRecord*>> byLetter;
    for (const TStationRecord& s : store.Table) byLetter[{s[sfFreq], s[sfIdLetter]}].push_back(&s);
    for (const auto& [key, stations] : byLetter) {
        for (std::size_t a = 0; a < stations.size(); ++a) {
            for (std::size_t b = a + 1; b < stations.size(); ++b) {
                const TStationRecord& x = *stations[a];
                const TStationRecord& y = *stations[b];
                EXPECT_GT(DistanceKm(Number(x[sfLat]), Number(x[sfLon]), Number(y[sfLat]), Number(y[sfLon])), 1000)
                    << key.first << " " << key.second << ": " << x[sfLocation] << " / " << y[sfLocation];
            }
        }
    }
}

TEST(DefaultData, LexiconIsSortedUniqueAndHoldsTheStationNames) {
    const std::string bytes = ReadBytes(LexiconPath);
    ASSERT_FALSE(bytes.empty()) << LexiconPath;
    ASSERT_EQ(bytes.back(), '\n');
    const std::vector<std::string> words = Split(bytes.substr(0, bytes.size() - 1), "\n");
    ASSERT_GT(words.size(), 2000u);
    for (std::size_t i = 0; i < words.size(); ++i) {
        ASSERT_TRUE(UpperWord(words[i])) << "line " << i + 1 << ": '" << words[i] << "'";
        if (i > 0) {
            ASSERT_LT(words[i - 1], words[i]) << "line " << i + 1;
        }
    }

    const std::set<std::string> lexicon(words.begin(), words.end());
    TCheckingStore store;
    ASSERT_TRUE(ReadStationFile(StationsPath, store, true).Ok);
    for (const TStationRecord& s : store.Table) {
        for (const std::string* text : {&s[sfLocation], &s[sfCountry], &s[sfIdText]}) {
            for (const std::string& w : LetterRuns(*text))
                EXPECT_TRUE(lexicon.count(w)) << w << " of " << s[sfLocation];
        }
    }
}

}  // namespace
