// What the main window's tests share: a UTC clock they set, a TCP client on a plain
// socket that the test reads when it wants, and waiting with the event loop running.
#pragma once

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "app/U_Main.h"
#include "classlib/DateUtils.h"
#include "platform/AudioSource.h"

namespace tilo_test {

inline double Utc(int Year, int Month, int Day, int Hour, int Minute, int Second) {
    return classlib::EncodeDate(uint16_t(Year), uint16_t(Month), uint16_t(Day)) +
           classlib::EncodeTime(uint16_t(Hour), uint16_t(Minute), uint16_t(Second), 0);
}

// Serves events until Done answers true or Ms pass; the answer.
inline bool WaitFor(const std::function<bool()>& Done, int Ms = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Text against a pattern in which '*' stands for any run of characters and '#' for
// one digit; every other character stands for itself.
inline bool Like(const std::string& Text, const std::string& Pattern, std::size_t T = 0, std::size_t P = 0) {
    for (; P < Pattern.size(); ++P, ++T) {
        if (Pattern[P] == '*') {
            for (std::size_t k = T; k <= Text.size(); ++k)
                if (Like(Text, Pattern, k, P + 1)) return true;
            return false;
        }
        if (T >= Text.size()) return false;
        if (Pattern[P] == '#' ? !(Text[T] >= '0' && Text[T] <= '9') : Text[T] != Pattern[P]) return false;
    }
    return T == Text.size();
}

// A client of the feed on 127.0.0.1; ReceiveBuffer > 0 makes its kernel buffer small.
class TFeedClient {
public:
    explicit TFeedClient(uint16_t Port, int ReceiveBuffer = 0) {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (ReceiveBuffer > 0) ::setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(Port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    }
    ~TFeedClient() { Close(); }
    TFeedClient(const TFeedClient&) = delete;
    TFeedClient& operator=(const TFeedClient&) = delete;

    // Appends what has arrived to Received; false once the server has closed.
    bool Read() {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n > 0) {
                Received.append(buf, std::size_t(n));
                continue;
            }
            if (n == 0) Closed = true;
            else if (errno != EAGAIN && errno != EWOULDBLOCK) Closed = true;
            return !Closed;
        }
    }
    void Send(const std::string& Text) { (void)::send(FFd, Text.data(), Text.size(), MSG_NOSIGNAL); }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    // Waits, serving events, until Received holds Bytes bytes.
    bool ReadUntil(std::size_t Bytes, int Ms = 5000) {
        return WaitFor([&] {
            Read();
            return Received.size() >= Bytes;
        }, Ms);
    }

    bool Connected = false;
    bool Closed = false;
    std::string Received;

private:
    int FFd = -1;
};

// A file's bytes, empty when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& P) {
    std::ifstream in(P, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// An input with no devices, as on a machine without a sound card.
class TNoDevice : public tilo::TAudioSource {
public:
    int32_t DeviceCount() override { return 0; }
    tilo::TAudioError QueryFormat(int32_t) override { return {}; }
    tilo::TAudioError Open(int32_t, int32_t) override { return {}; }
    tilo::TAudioError Start() override { return {}; }
    tilo::TAudioError Reset() override { return {}; }
    tilo::TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int64_t Read(int16_t*, std::size_t, tilo::TAudioError&) override { return 0; }
    std::string Name() const override { return "none"; }
};

}  // namespace tilo_test
