// The TCP feed against clients that misbehave: one that floods its input, one that
// resets at once, thousands that come and go, and the spectrum record a client reads
// while the input is silent. Real sockets on 127.0.0.1 only, bounded in count and time.
#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <thread>
#include <vector>

#include "MainTestKit.h"
#include "decoder/DecodingChain.h"
#include "decoder/UCommon.h"
#include "decoder/uModem.h"

using namespace tilo;
using tilo_test::Like;
using tilo_test::TFeedClient;
using tilo_test::Utc;
using tilo_test::WaitFor;

namespace {

struct TFeedClients : testing::Test {
    TfrmMain w;
    uint16_t port = 0;
    void SetUp() override {
        w.meSysLog->clear();  // the creation lines
        w.ClockSource = [] { return Utc(2024, 5, 17, 12, 0, 0); };
        w.ServSock->SetPort(0);
        w.ServSock->SetActive(true);
        ASSERT_TRUE(w.ServSock->Active());
        port = w.ServSock->Port();
    }
    int CountLines(const std::string& Pattern) {
        int n = 0;
        for (int i = 0; i < w.meSysLogLineCount(); ++i) n += Like(w.meSysLogLine(i), Pattern);
        return n;
    }
};

// Resident memory of this process in bytes.
int64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// A client on its own thread that writes as fast as the connection takes it and never
// reads; Sent counts the bytes the kernel accepted from it.
class TFlooder {
public:
    explicit TFlooder(uint16_t Port) {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int sendBuffer = 64 * 1024;
        ::setsockopt(FFd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        timeval tick{0, 20000};  // the blocking send wakes up to look at Stop
        ::setsockopt(FFd, SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof tick);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(Port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~TFlooder() {
        Halt();
        if (FFd >= 0) ::close(FFd);
    }
    void Start() {
        FThread = std::thread([this] {
            std::vector<char> chunk(65536, 'x');
            // The cap bounds a run against a server that takes everything.
            while (!Stop && Sent < Cap) {
                const ssize_t n = ::send(FFd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                if (n > 0) Sent += n;
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            }
        });
    }
    void Halt() {
        Stop = true;
        if (FThread.joinable()) FThread.join();
    }
    void Close() {
        Halt();
        ::close(FFd);
        FFd = -1;
    }

    static constexpr int64_t Cap = int64_t{2} << 30;
    bool Connected = false;
    std::atomic<bool> Stop{false};
    std::atomic<int64_t> Sent{0};

private:
    int FFd = -1;
    std::thread FThread;
};

}  // namespace

TEST_F(TFeedClients, AFloodingClientIsHeldBackWhileAnotherGetsEveryRecord) {
    TFeedClient reader(port);
    TFlooder flooder(port);
    ASSERT_TRUE(reader.Connected && flooder.Connected);
    ASSERT_TRUE(WaitFor([&] { return CountLines("*connected, clients: 2") == 1; }));
    flooder.Start();
    // The flood is under way before the records start.
    ASSERT_TRUE(WaitFor([&] { return flooder.Sent > 0; }));

    // The block timer's stand-in: the longest wait between its ticks.
    QTimer block;
    block.setInterval(10);
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration worst{};
    QObject::connect(&block, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        worst = std::max(worst, now - last);
        last = now;
    });

    const int64_t before = ResidentBytes();
    std::string expected;
    block.start();
    last = std::chrono::steady_clock::now();
    for (int n = 0; n < 3000; ++n) {
        const std::string record = "M#12:00:00> LINE " + std::to_string(n) + " OF THE BURST";
        w.BroadcastToClients(record);
        expected += record + "@";
        QCoreApplication::processEvents();
        reader.Read();
    }
    const int64_t taken = flooder.Sent;
    ASSERT_TRUE(reader.ReadUntil(expected.size(), 20000));
    block.stop();
    const int64_t grown = ResidentBytes() - before;

    EXPECT_TRUE(reader.Received == expected) << "the reader's stream differs after " << reader.Received.size();
    // Only what the kernel buffers hold on the way (the flooder's 128 KiB send buffer, the
    // server's small receive buffer): nothing the server reads makes room for more.
    EXPECT_LT(taken, 1 << 20) << "bytes the flooder got rid of";
    EXPECT_LT(grown, 16 << 20) << "resident memory growth";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(worst).count(), 500) << "timer starved";

    // A flooder that closes is noticed by the next write to it, without a socket error.
    flooder.Close();
    int sent = 0;
    while (w.ServSock->ActiveConnections() == 2 && sent < 200) {
        w.BroadcastToClients("U#12:00:00 UTC");
        ++sent;
        WaitFor([] { return false; }, 5);
    }
    EXPECT_EQ(w.ServSock->ActiveConnections(), 1) << "after " << sent << " records";
    EXPECT_EQ(CountLines("12:00:00 net:*[127.0.0.1] disconnected, clients:1"), 1);
    EXPECT_EQ(CountLines("*socket error*"), 0);
}

TEST_F(TFeedClients, AClientThatResetsAtOnceIsLoggedWithItsAddress) {
    {
        // Connected and reset before the server has served a single event.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return CountLines("*disconnected, clients:0") == 1; }));
    EXPECT_EQ(CountLines("12:00:00 net:*[127.0.0.1]  connected, clients: 1"), 1);
    EXPECT_EQ(CountLines("12:00:00 net:*[127.0.0.1] disconnected, clients:0"), 1);
    EXPECT_EQ(CountLines("*[0.0.0.0]*"), 0);
    EXPECT_EQ(w.ServSock->ActiveConnections(), 0);
}

TEST_F(TFeedClients, ThousandsOfConnectionsKeepTheMemoWithinItsLimit) {
    int32_t connects = 0, disconnects = 0, most = 0;
    auto connect = w.ServSock->OnClientConnect;
    auto disconnect = w.ServSock->OnClientDisconnect;
    w.ServSock->OnClientConnect = [&](TServerSocket* S, TClientSocket* C) {
        connect(S, C);
        ++connects;
        most = std::max(most, w.meSysLogLineCount());
    };
    w.ServSock->OnClientDisconnect = [&](TServerSocket* S, TClientSocket* C) {
        disconnect(S, C);
        ++disconnects;
        most = std::max(most, w.meSysLogLineCount());
    };
    constexpr int Batch = 40, Total = 6000;
    for (int done = 0; done < Total; done += Batch) {
        std::vector<std::unique_ptr<TFeedClient>> batch;
        for (int i = 0; i < Batch; ++i) batch.push_back(std::make_unique<TFeedClient>(port));
        ASSERT_TRUE(WaitFor([&] { return connects == done + Batch; }, 20000)) << connects;
        batch.clear();
        ASSERT_TRUE(WaitFor([&] { return disconnects == done + Batch; }, 20000)) << disconnects;
    }
    EXPECT_LE(most, 5001);
    // 12,001 lines in all: the memo started afresh after 10,002 of them.
    EXPECT_EQ(w.meSysLogLineCount(), 1999);
    EXPECT_TRUE(Like(w.meSysLogLine(w.meSysLogLineCount() - 1), "12:00:00 net:*[127.0.0.1] disconnected, clients:0"));
}

namespace {

// The numbers of the last Y record in Stream as (frequency, level) pairs.
std::vector<std::pair<int64_t, int64_t>> LastSpectrum(const std::string& Stream) {
    std::vector<std::pair<int64_t, int64_t>> points;
    const std::size_t at = Stream.rfind("Y#");
    if (at == std::string::npos) return points;
    const std::string data = Stream.substr(at + 2, Stream.find('@', at) - at - 2);
    std::vector<int64_t> numbers;
    for (std::size_t i = 0; i <= data.size();) {
        const std::size_t end = std::min(data.find(';', i), data.size());
        numbers.push_back(std::stoll(data.substr(i, end - i)));
        i = end + 1;
    }
    for (std::size_t i = 0; i + 1 < numbers.size(); i += 2) points.emplace_back(numbers[i], numbers[i + 1]);
    return points;
}

int CountOf(const std::string& Text, const std::string& Part) {
    int n = 0;
    for (std::size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(TFeedClients, SpectrumRecordKeepsEveryFrequencyOnSilentInputAndWithATone) {
    SetSampleRate(11025);
    struct Case {
        const char* name;
        int toneBlocks, silentBlocks;
        int64_t top;  // the largest level: 0 when nothing was ever heard
    };
    const Case cases[] = {
        {"silent from the start", 0, 10, 0}, {"silent after a tone", 10, 10, 100}, {"tone", 10, 0, 100}};
    for (const Case& c : cases) {
        TFeedClient client(port);
        ASSERT_TRUE(WaitFor([&] { return w.ServSock->ActiveConnections() == 1; }));
        TModem modem;
        TNavtexDecoder decoder(w);
        TDecodingChain chain(modem, decoder, 1000, 170);
        std::vector<int16_t> block(1024);
        for (int n = 0; n < c.toneBlocks + c.silentBlocks; ++n) {
            for (int i = 0; i < 1024; ++i) {
                const double t = double(n * 1024 + i) / 11025;
                block[i] = n < c.toneBlocks ? int16_t(std::lround(6000 * std::sin(2 * std::numbers::pi * 915 * t) +
                                                                  6000 * std::sin(2 * std::numbers::pi * 1085 * t)))
                                            : 0;
            }
            chain.ProcessBlock(block);
        }
        const int rounds = (c.toneBlocks + c.silentBlocks) / 10;
        ASSERT_TRUE(WaitFor([&] {
            client.Read();
            return CountOf(client.Received, "@E#") == rounds;
        })) << c.name;
        const auto points = LastSpectrum(client.Received);
        // The points of the interpolated 1024-sample transform, in ascending order:
        // k x 11025 / 2048 Hz for k = 0 .. 511.
        ASSERT_EQ(points.size(), 512u) << c.name;
        int64_t top = 0;
        int wrong = 0;
        for (std::size_t k = 0; k < points.size(); ++k) {
            wrong += points[k].first != std::llrint(double(k) * 11025 / 2048);
            EXPECT_GE(points[k].second, 0) << c.name;
            top = std::max(top, points[k].second);
        }
        EXPECT_EQ(wrong, 0) << c.name;
        EXPECT_EQ(points.back().first, 2751) << c.name;
        EXPECT_EQ(top, c.top) << c.name;
        if (c.silentBlocks == 0) {
            // The two tones stand out near 915 and 1085 Hz, and the last point is no peak.
            const auto peak = std::max_element(points.begin(), points.end(),
                                               [](const auto& a, const auto& b) { return a.second < b.second; });
            EXPECT_TRUE(std::abs(peak->first - 915) < 20 || std::abs(peak->first - 1085) < 20) << peak->first;
            EXPECT_LT(points.back().second, 50);
        }
        client.Close();
        ASSERT_TRUE(WaitFor([&] { return w.ServSock->ActiveConnections() == 0; }));
    }
}
