// tilo_xgrab PORT OUTPUT.png: on the X display it is started on, waits until the receiver
// serves its feed on PORT (its start-up has run), lets it paint, and saves the root
// window as OUTPUT.png. Status 0 when the grab was saved.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

bool Serving(uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tilo_xgrab PORT OUTPUT.png\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Serving(port)) {
        if (std::chrono::steady_clock::now() > until) {
            std::fprintf(stderr, "tilo_xgrab: nothing serves port %u\n", unsigned(port));
            return 1;
        }
        QThread::msleep(50);
    }
    QThread::msleep(1500);  // the window's first paints after the start-up tick
    const QImage image = app.primaryScreen()->grabWindow(0).toImage();
    if (image.isNull() || !image.save(argv[2])) {
        std::fprintf(stderr, "tilo_xgrab: cannot grab or save %s\n", argv[2]);
        return 1;
    }
    return 0;
}
