// The main window's recurring work against the audio block of 1024 samples (92.9 ms at
// 11025 samples per second):
// - one status round (S, L, A, F, Y with the whole spectrum, E), as the block handler
//   sends it every tenth block, to 1, 4 and 8 feed clients on loopback that read all;
// - the schedule grid rebuilt over a station table of a few hundred stations (144
//   walks of the table), as every APPLY and frequency change does; the table is the
//   dataset framework's in-memory test dataset, so this measures the walks and the
//   grid, not the engine.
// The figure to read is milliseconds per iteration beside 92.9.
#include "app/TiloApplication.h"
#include "app/UCommon.h"
#include "app/U_Main.h"
#include "bench/AppBench.h"
#include "decoder/DecodingChain.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"
#include "tests/classlib/TestDataSet.h"

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace {

tilo::TTiloApplication& App() { return BenchApp("bench_receiver"); }

// The records of one status round as the decoder makes them from a two-tone signal.
std::vector<std::string> StatusRound() {
    struct TRecorder : tilo::TfrmMain {
        std::vector<std::string> Records;
        void BroadcastToClients(const std::string& Text) override { Records.push_back(Text); }
    } w;
    tilo::SetSampleRate(11025);
    tilo::TModem modem;
    tilo::TDecodingChain chain(modem, w.Decoder, 1000, 170);
    std::vector<int16_t> block(1024);
    for (int n = 0; n < 10; ++n) {
        for (int i = 0; i < 1024; ++i) {
            const double t = double(n * 1024 + i) / 11025;
            block[std::size_t(i)] = int16_t(std::lround(6000 * std::sin(2 * std::numbers::pi * 915 * t) +
                                                        6000 * std::sin(2 * std::numbers::pi * 1085 * t)));
        }
        chain.ProcessBlock(block);
    }
    return w.Records;
}

void BM_StatusRoundToClients(benchmark::State& state) {
    App();
    const std::vector<std::string> round = StatusRound();
    tilo::TfrmMain w;
    w.ServSock->SetPort(0);
    w.ServSock->SetActive(true);
    std::vector<int> clients;
    for (int i = 0; i < state.range(0); ++i) clients.push_back(Connect(w.ServSock->Port()));
    while (w.ServSock->ActiveConnections() < state.range(0)) QCoreApplication::processEvents();
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (const std::string& r : round) w.BroadcastToClients(r);
        QCoreApplication::processEvents();
        for (int fd : clients) bytes += Drain(fd);
    }
    for (int fd : clients) ::close(fd);
    state.counters["bytes/round"] = double(bytes) / double(state.iterations()) / double(state.range(0));
    state.SetLabel(std::to_string(round.size()) + " records, vs 92.9 ms block");
}

// Invented stations: NAVAREA 1..21, both frequencies, four slots each spread over the
// day, all NAVAREAs shown with bearings (the largest grid).
void BM_BuildScheduleGrid(benchmark::State& state) {
    App();
    const std::filesystem::path home = std::filesystem::temp_directory_path() / "tilo_bench_receiver";
    std::filesystem::create_directories(home);
    setenv("TILO_HOME", home.c_str(), 1);
    classlib_test::TTestDataSet table;
    table.Structure = {{"NAVAREA", classlib::ftSmallint}, {"FREQ", classlib::ftFloat},
                       {"IDLETTER", classlib::ftString, 1}, {"CALLSIGN", classlib::ftString, 8},
                       {"LOCATION", classlib::ftString, 40}, {"COUNTRYCODE", classlib::ftString, 10},
                       {"LAT", classlib::ftFloat}, {"LON", classlib::ftFloat}};
    const char* const times[] = {"T1", "T2", "T3", "T4", "T5", "T6"};
    for (const char* name : times) table.Structure.push_back({name, classlib::ftString, 5});
    table.Open();
    for (int n = 0; n < state.range(0); ++n) {
        table.Append();
        table.FieldByName("NAVAREA")->SetAsInteger(1 + n % 21);
        table.FieldByName("FREQ")->SetAsFloat(n % 3 == 0 ? 490 : 518);
        table.FieldByName("IDLETTER")->SetAsString(std::string(1, char('A' + n % 26)));
        table.FieldByName("CALLSIGN")->SetAsString("CALL" + std::to_string(n));
        table.FieldByName("LOCATION")->SetAsString("STATION NUMBER " + std::to_string(n));
        table.FieldByName("COUNTRYCODE")->SetAsString("XX");
        table.FieldByName("LAT")->SetAsFloat(-60 + (n * 7) % 120);
        table.FieldByName("LON")->SetAsFloat(-170 + (n * 13) % 340);
        for (int k = 0; k < 4; ++k) {
            const int slot = (n * 5 + k * 36) % 144;  // every 6 hours
            char text[6];
            std::snprintf(text, sizeof text, "%02d:%02d", slot / 6, slot % 6 * 10);
            table.FieldByName(times[k])->SetAsString(text);
        }
        table.Post();
    }
    classlib::TDataSource source(nullptr);
    source.SetDataSet(&table);
    tilo::DSStations = &source;
    tilo::TfrmMain w;
    for (auto _ : state) w.BuildScheduleGrid(true);
    tilo::DSStations = nullptr;
    state.counters["rows"] = w.sgSched->RowCount() - 1;
    state.SetLabel("144 walks of the table, vs 92.9 ms block");
}

}  // namespace

BENCHMARK(BM_BuildScheduleGrid)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusRoundToClients)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
