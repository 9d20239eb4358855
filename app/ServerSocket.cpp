#include "app/ServerSocket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace tilo {

namespace {

std::string ErrorText(int Code) { return std::system_category().message(Code); }

}  // namespace

TServerSocket::TServerSocket(QObject* Parent) : QObject(Parent) {}

TServerSocket::~TServerSocket() {
    for (const auto& c : FClients) {
        QObject::disconnect(c->Socket, nullptr, this, nullptr);
        c->Socket->abort();
        delete c->Socket;
    }
    StopListening();
}

uint16_t TServerSocket::Port() const { return Active() ? FBoundPort : FPort; }

bool TServerSocket::Active() const { return FListenFd >= 0; }

void TServerSocket::SetActive(bool Value) {
    if (Value == Active()) return;
    if (Value)
        Listen();
    else
        StopListening();
}

void TServerSocket::Listen() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (OnListenError) OnListenError(this, ErrorText(errno));
        return;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit it, and it is in force before the window is offered.
    const int receive = ReceiveBufferSize;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(FPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        const int e = errno;
        ::close(fd);
        if (OnListenError) OnListenError(this, ErrorText(e));
        return;
    }
    FListenFd = fd;
    FBoundPort = ntohs(a.sin_port);
    FAcceptNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(FAcceptNotifier, &QSocketNotifier::activated, this, &TServerSocket::Accept);
    if (OnListen) OnListen(this);
}

void TServerSocket::StopListening() {
    if (FListenFd < 0) return;
    delete FAcceptNotifier;
    FAcceptNotifier = nullptr;
    ::close(FListenFd);
    FListenFd = -1;
}

TClientSocket* TServerSocket::Find(QTcpSocket* Socket) const {
    for (const auto& c : FClients)
        if (c->Socket == Socket) return c.get();
    return nullptr;
}

TClientSocket* TServerSocket::FindSerial(uint64_t Serial) const {
    for (const auto& c : FClients)
        if (c->Serial == Serial) return c.get();
    return nullptr;
}

void TServerSocket::Accept() {
    // Every connection waiting, each with the address accept() saw: one that has
    // been reset since has no peer name left to ask the socket for.
    while (FListenFd >= 0) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(FListenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // none left, or no descriptor to take it with: the notifier comes again
        }
        AddClient(fd, ntohl(peer.sin_addr.s_addr));
    }
}

void TServerSocket::AddClient(int Fd, uint32_t PeerIPv4) {
    auto* socket = new QTcpSocket(this);
    socket->setReadBufferSize(MaxUnread);
    if (!socket->setSocketDescriptor(Fd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        ::close(Fd);
        delete socket;
        return;
    }
    auto client = std::make_unique<TClientSocket>();
    client->Socket = socket;
    client->RemoteAddress = QHostAddress(PeerIPv4).toString().toStdString();
    client->Serial = ++FSerial;
    FClients.push_back(std::move(client));
    TClientSocket* c = FClients.back().get();
    c->CountAtAccept = ActiveConnections();
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        if (TClientSocket* gone = Find(socket)) CloseClient(gone);
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
        // A peer closing its side is a disconnect; the disconnected signal handles it.
        if (e == QAbstractSocket::RemoteHostClosedError) return;
        SocketError(socket, static_cast<int32_t>(e));
    });
    // The answer finds its client by serial number: the socket it was asked for may
    // be gone, and another may have taken its place in memory.
    const uint64_t serial = c->Serial;
    FLookups[QHostInfo::lookupHost(QString::fromStdString(c->RemoteAddress), this, SLOT(HostFound(QHostInfo)))] =
        serial;
}

void TServerSocket::HostFound(const QHostInfo& Info) {
    const auto it = FLookups.find(Info.lookupId());
    if (it == FLookups.end()) return;
    TClientSocket* client = FindSerial(it->second);
    FLookups.erase(it);
    if (!client || client->Announced) return;
    std::string host;
    if (Info.error() == QHostInfo::NoError && Info.hostName() != QString::fromStdString(client->RemoteAddress))
        host = Info.hostName().toStdString();
    Announce(client, host);
}

void TServerSocket::Announce(TClientSocket* Client, const std::string& Host) {
    Client->RemoteHost = Host;
    Client->Announced = true;
    if (OnClientConnect) OnClientConnect(this, Client);
}

void TServerSocket::SocketError(QTcpSocket* Socket, int32_t Code) {
    TClientSocket* client = Find(Socket);
    if (!client) return;
    if (!client->Announced) Announce(client, std::string());
    int32_t code = Code;
    if (OnClientError) OnClientError(this, client, code);
    CloseClient(client);
}

void TServerSocket::CloseClient(TClientSocket* Client) {
    auto it = std::find_if(FClients.begin(), FClients.end(), [Client](const auto& c) { return c.get() == Client; });
    if (it == FClients.end()) return;
    if (!Client->Announced) Announce(Client, std::string());
    if (OnClientDisconnect) OnClientDisconnect(this, Client);
    // The handler may have closed it already.
    it = std::find_if(FClients.begin(), FClients.end(), [Client](const auto& c) { return c.get() == Client; });
    if (it == FClients.end()) return;
    std::unique_ptr<TClientSocket> gone = std::move(*it);
    FClients.erase(it);
    QObject::disconnect(gone->Socket, nullptr, this, nullptr);
    gone->Socket->abort();
    gone->Socket->deleteLater();
}

void TServerSocket::SendToAll(const std::string& Text) {
    std::vector<TClientSocket*> targets;
    targets.reserve(FClients.size());
    for (const auto& c : FClients) targets.push_back(c.get());
    const qint64 size = static_cast<qint64>(Text.size());
    for (TClientSocket* c : targets) {
        // An event of an earlier send may have closed (and freed) it.
        if (std::none_of(FClients.begin(), FClients.end(), [c](const auto& l) { return l.get() == c; })) continue;
        QTcpSocket* s = c->Socket;
        if (s->state() != QAbstractSocket::ConnectedState) continue;
        if (s->bytesToWrite() + size > MaxPending) {
            CloseClient(c);
            continue;
        }
        s->write(Text.data(), size);
        s->flush();
    }
}

}  // namespace tilo
