#include "app/ServerSocket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace tilo {

TServerSocket::TServerSocket(QObject* Parent) : QObject(Parent), FServer(new QTcpServer(this)) {
    connect(FServer, &QTcpServer::newConnection, this, &TServerSocket::Accept);
}

TServerSocket::~TServerSocket() {
    for (const auto& c : FClients) {
        if (c->LookupId >= 0) QHostInfo::abortHostLookup(c->LookupId);
        QObject::disconnect(c->Socket, nullptr, this, nullptr);
        c->Socket->abort();
        delete c->Socket;
    }
}

uint16_t TServerSocket::Port() const { return FServer->isListening() ? FServer->serverPort() : FPort; }

bool TServerSocket::Active() const { return FServer->isListening(); }

void TServerSocket::SetActive(bool Value) {
    if (Value == Active()) return;
    if (!Value) {
        FServer->close();
        return;
    }
    if (FServer->listen(QHostAddress::AnyIPv4, FPort)) {
        if (OnListen) OnListen(this);
    } else if (OnListenError) {
        OnListenError(this, FServer->errorString().toStdString());
    }
}

TClientSocket* TServerSocket::Find(QTcpSocket* Socket) const {
    for (const auto& c : FClients)
        if (c->Socket == Socket) return c.get();
    return nullptr;
}

void TServerSocket::Accept() {
    while (QTcpSocket* socket = FServer->nextPendingConnection()) {
        auto client = std::make_unique<TClientSocket>();
        client->Socket = socket;
        client->RemoteAddress = QHostAddress(socket->peerAddress().toIPv4Address()).toString().toStdString();
        FClients.push_back(std::move(client));
        TClientSocket* c = FClients.back().get();
        c->CountAtAccept = ActiveConnections();
        connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (TClientSocket* gone = Find(socket)) CloseClient(gone);
        });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
            // A peer closing its side is a disconnect; the disconnected signal handles it.
            if (e == QAbstractSocket::RemoteHostClosedError) return;
            SocketError(socket, static_cast<int32_t>(e));
        });
        const QHostAddress peer(socket->peerAddress().toIPv4Address());
        c->LookupId = QHostInfo::lookupHost(peer.toString(), this, [this, socket](const QHostInfo& Info) {
            TClientSocket* client = Find(socket);
            if (!client || client->Announced) return;
            client->LookupId = -1;
            std::string host;
            if (Info.error() == QHostInfo::NoError && Info.hostName() != QString::fromStdString(client->RemoteAddress))
                host = Info.hostName().toStdString();
            Announce(client, host);
        });
    }
}

void TServerSocket::Announce(TClientSocket* Client, const std::string& Host) {
    Client->RemoteHost = Host;
    Client->Announced = true;
    if (OnClientConnect) OnClientConnect(this, Client);
}

void TServerSocket::SocketError(QTcpSocket* Socket, int32_t Code) {
    TClientSocket* client = Find(Socket);
    if (!client) return;
    if (!client->Announced) {
        if (client->LookupId >= 0) QHostInfo::abortHostLookup(client->LookupId);
        client->LookupId = -1;
        Announce(client, std::string());
    }
    int32_t code = Code;
    if (OnClientError) OnClientError(this, client, code);
    CloseClient(client);
}

void TServerSocket::CloseClient(TClientSocket* Client) {
    auto it = std::find_if(FClients.begin(), FClients.end(), [Client](const auto& c) { return c.get() == Client; });
    if (it == FClients.end()) return;
    if (!Client->Announced) {
        if (Client->LookupId >= 0) QHostInfo::abortHostLookup(Client->LookupId);
        Client->LookupId = -1;
        Announce(Client, std::string());
    }
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
