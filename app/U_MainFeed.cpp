// The main window's side of the TCP feed: the records out, and the server's four
// events as lines straight into the system-log memo (never through SysLog, so they
// are not sent to clients; the memo's 5000-line limit holds for them as for every line).
#include "app/U_Main.h"

namespace tilo {

void TfrmMain::BuildFeed() {
    ServSock = new TServerSocket(this);
    ServSock->OnListen = [this](TServerSocket* Sender) { ServSockListen(Sender); };
    ServSock->OnListenError = [this](TServerSocket* Sender, const std::string& Reason) {
        ServSockListenError(Sender, Reason);
    };
    ServSock->OnClientConnect = [this](TServerSocket* Sender, TClientSocket* Socket) {
        ServSockClientConnect(Sender, Socket);
    };
    ServSock->OnClientDisconnect = [this](TServerSocket* Sender, TClientSocket* Socket) {
        ServSockClientDisconnect(Sender, Socket);
    };
    ServSock->OnClientError = [this](TServerSocket* Sender, TClientSocket* Socket, int32_t& ErrorCode) {
        ServSockClientError(Sender, Socket, ErrorCode);
    };
}

void TfrmMain::BroadcastToClients(const std::string& Text) {
    if (ServSock->ActiveConnections() == 0) return;
    ServSock->SendToAll(Text + "@");
}

void TfrmMain::ServSockListen(TServerSocket* Sender) {
    meSysLogAdd(UtcTime() + " net: Server listening on port  " + std::to_string(Sender->Port()));
}

void TfrmMain::ServSockListenError(TServerSocket* Sender, const std::string& Reason) {
    meSysLogAdd(UtcTime() + " net: cannot listen on port " + std::to_string(Sender->Port()) + ": " + Reason);
}

void TfrmMain::ServSockClientConnect(TServerSocket*, TClientSocket* Socket) {
    meSysLogAdd(UtcTime() + " net:" + Socket->RemoteHost + "[" + Socket->RemoteAddress +
                "]  connected, clients: " + std::to_string(Socket->CountAtAccept));
}

void TfrmMain::ServSockClientDisconnect(TServerSocket* Sender, TClientSocket* Socket) {
    meSysLogAdd(UtcTime() + " net:" + Socket->RemoteHost + "[" + Socket->RemoteAddress +
                "] disconnected, clients:" + std::to_string(Sender->ActiveConnections() - 1));
}

void TfrmMain::ServSockClientError(TServerSocket* Sender, TClientSocket* Socket, int32_t& ErrorCode) {
    meSysLogAdd(UtcTime() + " net:" + Socket->RemoteHost + "[" + Socket->RemoteAddress + "]" + " socket error " +
                std::to_string(ErrorCode));
    Sender->CloseClient(Socket);
    ErrorCode = 0;
}

}  // namespace tilo
