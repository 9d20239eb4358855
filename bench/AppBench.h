// The receiver benchmarks' shared set-up: the one application of the program (off
// screen unless a platform is named), a sound input that never delivers, and feed
// clients on loopback.
#pragma once

#include "app/TiloApplication.h"
#include "platform/AudioSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

// The program's application, made on the first call under the program's Name. It is
// never destroyed: as a static it would go after Qt's own statics that were made after
// it (the input devices a key event creates), and their teardown crashed the program
// once it had printed its figures.
inline tilo::TTiloApplication& BenchApp(const char* Name) {
    static int argc = 1;
    static std::string name = Name;
    static char* argv[] = {name.data(), nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static tilo::TTiloApplication* app = new tilo::TTiloApplication(argc, argv);
    return *app;
}

// A sound input that never delivers: Devices devices, all under one name.
class TSilentSource : public tilo::TAudioSource {
public:
    TSilentSource(int32_t Devices, std::string Name) : FDevices(Devices), FName(std::move(Name)) {}
    int32_t DeviceCount() override { return FDevices; }
    tilo::TAudioError QueryFormat(int32_t) override { return {}; }
    tilo::TAudioError Open(int32_t, int32_t) override { return {}; }
    tilo::TAudioError Start() override { return {}; }
    tilo::TAudioError Reset() override { return {}; }
    tilo::TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int64_t Read(int16_t*, std::size_t, tilo::TAudioError&) override { return 0; }
    std::string Name() const override { return FName; }

private:
    int32_t FDevices;
    std::string FName;
};

// A non-blocking client of a loopback port.
inline int Connect(uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Reads all a client has been sent so far; the count of bytes.
inline std::size_t Drain(int Fd) {
    char buf[65536];
    std::size_t total = 0;
    ssize_t n;
    while ((n = ::recv(Fd, buf, sizeof buf, 0)) > 0) total += std::size_t(n);
    return total;
}
