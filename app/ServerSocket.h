// TServerSocket: the send-only IPv4 server of the TCP feed, in place of the class
// library's non-blocking server socket component. Everything runs on the UI thread.
//
// Rules it keeps:
// - Connections are listed in the order of acceptance; SendToAll writes in that order.
// - A record is queued whole or not at all: a client whose unsent data would pass
//   MaxPending bytes is closed instead. Records are never glued to the tail of a
//   half-sent one; only a closed client's stream may end inside a record.
// - Nothing a client sends is read. Each socket buffers at most MaxUnread bytes of
//   it and the kernel's receive buffer is small, so TCP flow control holds a client that
//   floods its input back instead of the UI thread draining it. A client whose input
//   has filled that buffer is no longer watched for reading: its leaving is noticed by
//   the next write to it failing, which counts as a disconnect.
// - The peer's address is the one accept() reports, so a client that resets before
//   the server looks at it is still logged with its address.
// - The reverse look-up of a client's host never blocks: OnClientConnect runs when it
//   answers (RemoteHost empty when it fails), with the count taken at acceptance. A
//   client that leaves before the answer is announced first, with an empty host.
// - A client that closes its side is a disconnect; any other socket failure goes to
//   OnClientError, and the client is then closed. OnClientDisconnect runs while the
//   leaving client is still listed (ActiveConnections counts it).
// - Activating never throws: a port that cannot be bound goes to OnListenError and
//   the server stays inactive. Destruction closes every client without events.
#pragma once

#include <QHostInfo>
#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QTcpSocket;

namespace tilo {

class TServerSocket;

class TClientSocket {
public:
    QTcpSocket* Socket = nullptr;  // deleted later by the server
    std::string RemoteHost;        // by reverse look-up, empty when none
    std::string RemoteAddress;     // dotted IPv4
    int32_t CountAtAccept = 0;     // connections including this one when it was accepted
    bool Announced = false;        // OnClientConnect has run
    uint64_t Serial = 0;           // unique for the server's lifetime
};

class TServerSocket : public QObject {
    Q_OBJECT

public:
    static constexpr int64_t MaxPending = 1 << 20;
    static constexpr int64_t MaxUnread = 256;
    // Asked of the kernel for each client's receive buffer (it doubles the figure).
    static constexpr int32_t ReceiveBufferSize = 4096;

    explicit TServerSocket(QObject* Parent = nullptr);
    ~TServerSocket() override;

    // The port to listen on (0: any free port); once active, the port bound.
    uint16_t Port() const;
    void SetPort(uint16_t Value) { FPort = Value; }
    bool Active() const;
    void SetActive(bool Value);

    int32_t ActiveConnections() const { return static_cast<int32_t>(FClients.size()); }
    TClientSocket* Connections(int32_t Index) const { return FClients.at(static_cast<std::size_t>(Index)).get(); }

    // Text on every connected client, in acceptance order.
    void SendToAll(const std::string& Text);
    // Closes one client with its disconnect event (no effect for one already gone).
    void CloseClient(TClientSocket* Client);

    std::function<void(TServerSocket* Sender)> OnListen;
    std::function<void(TServerSocket* Sender, const std::string& Reason)> OnListenError;
    std::function<void(TServerSocket* Sender, TClientSocket* Socket)> OnClientConnect;
    std::function<void(TServerSocket* Sender, TClientSocket* Socket)> OnClientDisconnect;
    // ErrorCode is the socket layer's error number; the handler may clear it.
    std::function<void(TServerSocket* Sender, TClientSocket* Socket, int32_t& ErrorCode)> OnClientError;

private:
    int FListenFd = -1;
    QSocketNotifier* FAcceptNotifier = nullptr;
    uint16_t FPort = 50123;
    uint16_t FBoundPort = 0;
    uint64_t FSerial = 0;
    std::vector<std::unique_ptr<TClientSocket>> FClients;
    std::map<int, uint64_t> FLookups;  // host look-up id -> the client's serial

    void Listen();
    void StopListening();
    void Accept();
    void AddClient(int Fd, uint32_t PeerIPv4);
    void Announce(TClientSocket* Client, const std::string& Host);
    TClientSocket* Find(QTcpSocket* Socket) const;
    TClientSocket* FindSerial(uint64_t Serial) const;
    void SocketError(QTcpSocket* Socket, int32_t Code);

private slots:
    // Bound by name, not as a functor: Qt leaks a functor's slot object when the
    // look-up is still pending as the program ends.
    void HostFound(const QHostInfo& Info);
};

}  // namespace tilo
