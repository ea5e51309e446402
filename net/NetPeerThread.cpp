#include "NetPeerThread.h"

#include <exception>

#include "NetException.h"
#include "NetTCPServer.h"
#include "NetThreadMgr.h"

TNetPeerThread::TNetPeerThread(bool createSuspended) : TNetThread(createSuspended) {}

TNetPeerThread::~TNetPeerThread() {
    // The steps below use this object's members until the thread has ended.
    if (!IsCurrentThread()) Join();
}

void TNetPeerThread::SetConnection(std::unique_ptr<TNetTCPServerConnection> connection) {
    connection_ = std::move(connection);
    fanOut_ = std::make_unique<TNetFanOut>(connection_.get());
}

void TNetPeerThread::BeforeRunStep() {
    connection_->Server().ConnectStep(*this);
}

void TNetPeerThread::RunStep() {
    try {
        if (!connection_->Server().ExecuteStep(*this)) throw ENetNoExecuteSpecified();
    } catch (const ENetSocketError& e) {
        // Aborted and reset connections are lost for good; any other socket error may pass,
        // and the execute step is simply called again.
        if (e.ErrorCode() == WsaConnectionAborted || e.ErrorCode() == WsaConnectionReset)
            connection_->Disconnect();
    }
    if (!connection_->IsConnected()) Stop();
}

// The disconnect step runs exactly once, and whatever it does, the thread leaves the
// manager and PeerThreads and releases its connection: the server waits for the list to
// empty, and the chat core assumes an ended thread is gone from it.
void TNetPeerThread::AfterRunStep() {
    TNetTCPServer& server = connection_->Server();
    std::exception_ptr failure;
    try {
        server.DisconnectStep(*this);
    } catch (...) {
        failure = std::current_exception();
    }
    // What the steps wrote goes out before the thread lets go of its connection.
    fanOut_->Unbind();
    // Once released into the manager, the thread is joined and freed by another thread
    // as soon as it has returned; the manager waits for that join, so the steps below are
    // still safe.
    if (mgr_) mgr_->ReleaseThread(*this);
    server.PeerThreads().Remove(*this);
    server.PeerLeft(*this);
    NetMetrics().Closed(connection_->CloseReason()).Add();
    fanOut_.reset();
    connection_.reset();
    if (failure) std::rethrow_exception(failure);
}
