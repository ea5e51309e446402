#include "NetListenerThread.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "NetException.h"
#include "NetTCPServer.h"

namespace {

// Shortages that pass: descriptors, buffers or memory. Accepting again at once would only
// spin, so the listener pauses briefly.
bool IsShortage(int code) {
    return code == WsaTooManyFiles || code == WsaNoBufferSpace;
}

// A connection that went away before we took it, or a signal: try the next one.
bool IsPassing(int code) {
    return code == WsaConnectionAborted || code == WsaConnectionReset || code == WsaInterrupted ||
           code == WsaWouldBlock;
}

constexpr auto ShortagePause = std::chrono::milliseconds(100);

}  // namespace

TNetListenerThread::TNetListenerThread(TNetTCPServer& server) : TNetThread(true), server_(server) {}

void TNetListenerThread::RunStep() {
    TNetSocketHandles& bindings = server_.Bindings();
    scratch_.clear();
    for (int i = 0; i < bindings.Count(); ++i) {
        if (bindings[i].IsOpen()) scratch_.push_back(bindings[i].Handle());
    }
    if (WaitForSockets(&scratch_, nullptr, nullptr, AcceptWaitTime) < 1 || Terminated()) return;
    for (int descriptor : scratch_) AcceptOne(descriptor);
}

void TNetListenerThread::AcceptOne(int listeningDescriptor) {
    auto connection = std::make_unique<TNetTCPServerConnection>(server_);
    try {
        connection->Socket().AcceptFrom(listeningDescriptor);
    } catch (const ENetSocketError& e) {
        // Deactivation shuts the listening sockets down, which makes accept fail.
        if (Terminated() || IsPassing(e.ErrorCode())) return;
        if (!IsShortage(e.ErrorCode())) throw;
        std::this_thread::sleep_for(ShortagePause);
        return;
    }
    connection->Accepted();
    NetMetrics().ConnectionsAccepted.Add();
    TNetThreadMgr& mgr = *server_.ThreadMgr;
    TNetPeerThread& thread = mgr.AcquireThread();
    thread.SetConnection(std::move(connection));
    server_.PeerThreads().Add(thread);
    server_.PeerAccepted(thread);
    try {
        thread.Start();
    } catch (const std::system_error&) {
        // No thread for this client (the process is at its thread limit): drop it and go on.
        server_.PeerThreads().Remove(thread);
        server_.PeerLeft(thread);
        mgr.ReleaseThread(thread);
        std::this_thread::sleep_for(ShortagePause);
    }
}

// Normally the server shuts the listening sockets down, joins us and closes them itself.
// Only a listener ended by an accept failure closes them here; it keeps their address and
// port, so the next activation listens where this one did.
void TNetListenerThread::AfterRunStep() {
    if (FailureMessage().empty()) return;
    TNetSocketHandles& bindings = server_.Bindings();
    for (int i = bindings.Count() - 1; i >= 0; --i) bindings[i].CloseSocket(false);
}
