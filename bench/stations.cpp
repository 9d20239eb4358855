// The station units against the audio block of 1024 samples (92.9 ms at 11025 samples
// per second): a candidate's look-up in lexicons of 10,000 and 100,000 words, from
// memory and by a scan of every word (the look-up's rule as first written, here over a
// word list in memory; the scan through the word table joins with the data module),
// the export and import of 1,000 stations through the station file, and the map report
// of a day of 500 messages from 100 stations drawn into the map window.
#include "app/AtlasLink.h"
#include "app/Lexicon.h"
#include "app/MapWindow.h"
#include "app/StationFile.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tilo;

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_stations";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
    return app;
}

// Upper-case words of 3 to 14 letters from a fixed generator.
std::vector<std::string> Words(int Count) {
    uint32_t seed = 4711;
    std::vector<std::string> words;
    for (int i = 0; i < Count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string w(3 + (seed >> 16) % 12, ' ');
        for (char& c : w) {
            seed = seed * 1103515245u + 12345u;
            c = char('A' + (seed >> 16) % 26);
        }
        words.push_back(w);
    }
    return words;
}

class TWordList : public TWordSource {
public:
    explicit TWordList(std::vector<std::string> W) : FWords(std::move(W)) {}
    void ForEachWord(const std::function<void(const std::string&)>& Visit) override {
        for (const std::string& w : FWords) Visit(w);
    }
    const std::vector<std::string>& All() const { return FWords; }

private:
    std::vector<std::string> FWords;
};

std::string Candidate(const TWordList& Words) {
    for (const std::string& w : Words.All())
        if (w.size() == 8) return w.substr(0, 3) + "~" + w.substr(4);
    return "ABC~EFGH";
}

void BM_LexiconLookupMemory(benchmark::State& state) {
    TWordList words(Words(int(state.range(0))));
    TLexicon lexicon;
    const std::string candidate = Candidate(words);
    lexicon.Lookup(candidate, words);  // read once, as the first look-up after the table opens
    for (auto _ : state) benchmark::DoNotOptimize(lexicon.Lookup(candidate, words));
}
BENCHMARK(BM_LexiconLookupMemory)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_LexiconLookupScan(benchmark::State& state) {
    TWordList words(Words(int(state.range(0))));
    const std::string candidate = Candidate(words);
    for (auto _ : state) benchmark::DoNotOptimize(LookupLexicon(candidate, words));
}
BENCHMARK(BM_LexiconLookupScan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

class TStations : public TStationSource, public TStationStore {
public:
    std::vector<TStationRecord> Table;
    bool NextStation(TStationRecord& S) override {
        if (FNext >= Table.size()) return false;
        S = Table[FNext++];
        return true;
    }
    void Rewind() { FNext = 0; }
    bool LocateStation(const std::string&, const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    void EditStation() override {}
    void AppendStation() override { FRecord = TStationRecord(); }
    void SetField(TStationField F, const std::string& Text) override { FRecord[F] = Text; }
    void PostStation() override { Table.push_back(FRecord); }
    void CancelStation() override {}

private:
    std::size_t FNext = 0;
    TStationRecord FRecord;
};

TStations Stations(int Count) {
    TStations s;
    for (int i = 0; i < Count; ++i) {
        TStationRecord r;
        const std::string n = std::to_string(i);
        std::string call = "C", location = "LOCATION ";
        call += n;
        location += n;
        r.Fields = {std::to_string(1 + i % 21), i % 2 ? "490" : "518", std::string(1, char('A' + i % 26)),
                    call, location, "CC", "COUNTRY", "50.5", "-1.25",
                    "00:40", "04:40", "08:40", "12:40", "16:40", "20:40", "ALPHA,BRAVO,CHARLIE", "UNIQUE"};
        s.Table.push_back(r);
    }
    return s;
}

std::string BenchFile() {
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() / ("tilo_bench_stations." + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir + "/" + StationFileName;
}

void BM_StationExport(benchmark::State& state) {
    TStations s = Stations(int(state.range(0)));
    for (auto _ : state) {
        s.Rewind();
        if (!WriteStationFile(BenchFile(), s).Ok) state.SkipWithError("export failed");
    }
}
BENCHMARK(BM_StationExport)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_StationImport(benchmark::State& state) {
    TStations s = Stations(int(state.range(0)));
    WriteStationFile(BenchFile(), s);
    for (auto _ : state) {
        TStations into;
        if (!ReadStationFile(BenchFile(), into, false).Ok) state.SkipWithError("import failed");
        benchmark::DoNotOptimize(into.Table.data());
    }
}
BENCHMARK(BM_StationImport)->Arg(1000)->Unit(benchmark::kMillisecond);

class TDaySource : public TMapReportSource {
public:
    bool NextRecord(std::string& Station, double& Lat, double& Lon) override {
        if (FAt >= 500) return false;
        const int s = FAt++ % 100;
        Station = "STATION " + std::to_string(s);
        Lat = -60 + (s * 37) % 130;
        Lon = -170 + (s * 53) % 340;
        return true;
    }

private:
    int FAt = 0;
};

// The report's calls and the repaint the closed bracket asks for.
void BM_MapReport(benchmark::State& state) {
    App();
    const std::shared_ptr<IAtlas> atlas = TMapWindow::CreateAtlas();
    TMapWindow* w = TMapWindow::WindowOf(atlas);
    w->resize(1080, 540);
    const classlib::TDateTime day = classlib::EncodeDate(2024, 6, 21);
    for (auto _ : state) {
        TDaySource source;
        AtlasReport(atlas.get(), day, 51, 2, source, {});
        benchmark::DoNotOptimize(w->grab().toImage().constBits());
    }
}
BENCHMARK(BM_MapReport)->Unit(benchmark::kMillisecond);

}  // namespace
