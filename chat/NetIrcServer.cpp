// The server object: construction and teardown, the connection loop, the admission
// limits, disconnect handling and the periodic sweep with its timer thread.
#include "NetIrcServer.h"

#include <mutex>

#include "ChatLines.h"
#include "net/NetException.h"

namespace {

using Clock = std::chrono::steady_clock;

// When the current peer thread's connection started. ConnectStep and every ExecuteStep
// of one connection run on that connection's own thread, so the time can live there
// (ExecuteStep is entered again after an absorbed socket error and must not restart it).
thread_local Clock::time_point connectedAt;

}  // namespace

std::string SplitWord(std::string& text) {
    const auto space = text.find(' ');
    if (space == std::string::npos) {
        std::string word = std::move(text);
        text.clear();
        return word;
    }
    std::string word = text.substr(0, space);
    text.erase(0, space + 1);
    return word;
}

TNetIRCServer::TNetIRCServer(std::chrono::milliseconds sweepInterval)
    : lobbyStore_(std::make_unique<TLobbyList>(*this)), sweepInterval_(sweepInterval) {
    SetDefaultPort(6667);
    OnDisconnect = [this](TNetPeerThread& thread) { HandleDisconnect(thread); };
    if (sweepInterval_.count() > 0) sweepTimer_ = std::thread([this] { SweepTimerLoop(); });
}

// The timer goes first (it probes connections), then every connection is ended and
// waited for while the lobby list still exists: shutting down makes their disconnect
// handling a no-op, and only then may the lobby list be released with the members.
TNetIRCServer::~TNetIRCServer() {
    {
        std::lock_guard guard(timerMutex_);
        timerStop_ = true;
    }
    timerCv_.notify_all();
    if (sweepTimer_.joinable()) sweepTimer_.join();
    SetShuttingDown(true);
    ShutdownAndWaitForPeers();
}

void TNetIRCServer::SweepTimerLoop() {
    std::unique_lock lock(timerMutex_);
    while (!timerCv_.wait_for(lock, sweepInterval_, [this] { return timerStop_; })) {
        lock.unlock();
        SweepConnections();
        lock.lock();
    }
}

// Takes only PeerThreads (never the lobby lock while holding it) and probes every
// connection with one readiness poll, so a pass costs no waiting per connection.
void TNetIRCServer::SweepConnections() {
    std::unique_lock pass(sweepMutex_, std::try_to_lock);
    if (!pass.owns_lock()) return;
    try {
        TNetThreadList& peers = PeerThreads();
        std::lock_guard guard(peers.Mutex());
        const auto lockedAt = Clock::now();
        std::vector<TNetTCPConnection*> connections;
        connections.reserve(peers.Items().size());
        for (TNetPeerThread* peer : peers.Items()) connections.push_back(&peer->Connection());
        try {
            TNetTCPConnection::ProbeConnections(connections);
        } catch (...) {
            // A failing probe must never stop the sweep or reach the timer thread.
        }
        lastSweepLockNs_ =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - lockedAt).count();
    } catch (...) {
        // Allocation failure while collecting: skip this pass, the next one retries.
    }
}

std::chrono::nanoseconds TNetIRCServer::LastSweepLockTime() const {
    return std::chrono::nanoseconds(lastSweepLockNs_.load());
}

void TNetIRCServer::HandleDisconnect(TNetPeerThread& thread) {
    if (ShuttingDown()) return;
    LobbyStore().QuitUser(thread, "");
}

void TNetIRCServer::ConnectStep(TNetPeerThread& thread) {
    connectedAt = Clock::now();
    TNetTCPServer::ConnectStep(thread);
    if (AdmitPeer(thread)) return;
    chat::SendLine(thread, "***Error: Too many connections from your address!");
    thread.Connection().Disconnect();
}

// Counts the open connections from the same address that are listed before this one
// (the list is in order of acceptance), so that of many arriving at once exactly the
// first MaxConnectionsPerAddress are let in, and a refused one never counts against
// the next.
bool TNetIRCServer::AdmitPeer(TNetPeerThread& thread) {
    const std::string& address = thread.Connection().PeerAddress();
    TNetThreadList& peers = PeerThreads();
    std::lock_guard guard(peers.Mutex());
    int earlier = 0;
    for (TNetPeerThread* peer : peers.Items()) {
        if (peer == &thread) break;
        if (peer->Connection().PeerAddress() != address) continue;
        if (peer->Connection().IsConnected()) ++earlier;
    }
    return earlier < MaxConnectionsPerAddress;
}

// Until the connection has a nick the read is limited to the time left of the
// registration time-out; afterwards it waits without limit.
bool TNetIRCServer::ReadCommandLine(TNetPeerThread& thread, std::string& line) {
    TNetTCPServerConnection& connection = thread.Connection();
    if (!LobbyStore().NickOf(thread).empty()) {
        line = connection.ReadLine();
        return true;
    }
    const auto deadline = connectedAt + RegistrationTimeout;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        connection.Disconnect();
        return false;
    }
    line = connection.ReadLine("", static_cast<int>(left.count()));
    if (!line.empty() || !connection.ReadTimedOut()) return true;
    // A peer that closed after part of a line yields this one empty line.
    if (!connection.IsConnected()) return true;
    // Otherwise the read timed out: at the deadline, or early, and then the loop reads on.
    if (Clock::now() >= deadline) connection.Disconnect();
    return false;
}

bool TNetIRCServer::ExecuteStep(TNetPeerThread& thread) {
    TNetTCPServerConnection& connection = thread.Connection();
    while (connection.IsConnected()) {
        std::string rest;
        if (!ReadCommandLine(thread, rest)) continue;
        std::string command = SplitWord(rest);
        // A stray control character (a CR left over from LF CR line ends) is dropped.
        if (!command.empty() && static_cast<unsigned char>(command[0]) < 15) command.erase(0, 1);
        DispatchCommand(thread, command, rest);
    }
    return true;
}
