// The server object: construction and teardown, the connection loop, the admission
// limits, disconnect handling and the periodic sweep with its timer thread.
#include "NetIrcServer.h"

#include <malloc.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "ChatLines.h"
#include "ChatPeer.h"
#include "FloodGate.h"
#include "net/NetAddressGroup.h"
#include "net/NetException.h"
#include "net/NetMetrics.h"

namespace {

using Clock = std::chrono::steady_clock;

// When the current peer thread's connection started. ConnectStep and every ExecuteStep
// of one connection run on that connection's own thread, so the time can live there
// (ExecuteStep is entered again after an absorbed socket error and must not restart it).
thread_local Clock::time_point connectedAt;
// The connection's allowance of commands, on its own thread for the same reason.
thread_local TFloodGate floodGate;
// A held-back connection sleeps in slices this long, so that a close (a stop of the
// server) ends its wait soon.
constexpr auto FloodWaitSlice = std::chrono::milliseconds(50);
// Connections probed per hold of PeerThreads in a sweep.
constexpr std::size_t SweepSlice = 256;

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
    PeerThreadClass = [] { return std::make_unique<TChatPeer>(); };
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

// Takes only PeerThreads (never the lobby lock while holding it) and probes the
// connections a slice at a time, one readiness poll per slice, so a pass costs no waiting
// per connection and holds the list only briefly however many are open. A connection
// that leaves meanwhile shifts the slices, so one may go unprobed: the next pass gets it.
void TNetIRCServer::SweepConnections() {
    std::unique_lock pass(sweepMutex_, std::try_to_lock);
    if (!pass.owns_lock()) return;
    Clock::duration longest{};
    std::vector<TNetTCPConnection*> slice;
    try {
        slice.reserve(SweepSlice);
        TNetThreadList& peers = PeerThreads();
        for (std::size_t from = 0;; from += SweepSlice) {
            std::lock_guard guard(peers.Mutex());
            const auto lockedAt = Clock::now();
            const auto& items = peers.Items();
            if (from >= items.size()) break;
            const std::size_t end = std::min(items.size(), from + SweepSlice);
            slice.clear();
            for (std::size_t i = from; i < end; ++i) slice.push_back(&items[i]->Connection());
            try {
                TNetTCPConnection::ProbeConnections(slice);
            } catch (...) {
                // A failing probe must never stop the sweep or reach the timer thread.
            }
            longest = std::max(longest, Clock::now() - lockedAt);
        }
    } catch (...) {
        // Allocation failure while collecting: skip the rest, the next pass retries.
    }
    lastSweepLockNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(longest).count();
    // A join storm or a burst leaves the allocator's per-thread arenas holding the freed
    // lines; with thousands of connections that outweighs what they still use. Hand the
    // free pages back (outside every lock; it only takes the allocator's own).
    ::malloc_trim(0);
}

std::chrono::nanoseconds TNetIRCServer::LastSweepLockTime() const {
    return std::chrono::nanoseconds(lastSweepLockNs_.load());
}

// A stop skips the announcements and events of a quit, never the removal (see
// DisconnectStep).
void TNetIRCServer::HandleDisconnect(TNetPeerThread& thread) {
    if (ShuttingDown()) return;
    LobbyStore().QuitUser(thread, "");
}

// The one teardown of a connection: whatever the disconnect events do, a stop that skips
// them or a handler that throws among them, the connection leaves every member list and
// the registry here, before its thread releases it, so nothing in the core can reach a
// released connection.
void TNetIRCServer::DisconnectStep(TNetPeerThread& thread) {
    struct TForget {
        TLobbyList& store;
        TNetPeerThread& thread;
        ~TForget() { store.Forget(thread); }
    } forget{LobbyStore(), thread};
    TNetTCPServer::DisconnectStep(thread);
}

void TNetIRCServer::ConnectStep(TNetPeerThread& thread) {
    connectedAt = Clock::now();
    floodGate = TFloodGate();
    TNetTCPServer::ConnectStep(thread);
    if (Admitted(thread)) return;
    NetMetrics().ConnectionsRefused.Add();
    thread.Connection().CloseNote.Note(TNetCloseReason::Refused);
    chat::SendLine(thread, "***Error: Too many connections from your address!");
    thread.Connection().Disconnect();
}

// Admission is decided on the listener thread in the order of acceptance, by one counter
// per address: of many connections arriving at once exactly the first
// MaxConnectionsPerAddress are let in, a refused one never counts against the next, and
// admitting costs the same however many connections are open.
void TNetIRCServer::PeerAccepted(TNetPeerThread& thread) {
    std::string address = AddressGroup(thread.Connection().PeerAddress());
    std::lock_guard guard(admissionMutex_);
    auto entry = perAddress_.try_emplace(address, 0).first;
    if (entry->second >= MaxConnectionsPerAddress) {
        if (entry->second == 0) perAddress_.erase(entry);  // a limit of 0 lets nobody in
        return;
    }
    ++entry->second;
    admitted_.emplace(&thread, std::move(address));
}

void TNetIRCServer::PeerLeft(TNetPeerThread& thread) {
    std::lock_guard guard(admissionMutex_);
    auto admitted = admitted_.find(&thread);
    if (admitted == admitted_.end()) return;
    auto entry = perAddress_.find(admitted->second);
    if (entry != perAddress_.end() && --entry->second <= 0) perAddress_.erase(entry);
    admitted_.erase(admitted);
}

bool TNetIRCServer::Admitted(const TNetPeerThread& thread) {
    std::lock_guard guard(admissionMutex_);
    return admitted_.count(&thread) != 0;
}

// Until the connection has a nick the read is limited to the time left of the
// registration time-out; afterwards it waits without limit.
bool TNetIRCServer::ReadCommandLine(TNetPeerThread& thread, std::string& line) {
    TNetTCPServerConnection& connection = thread.Connection();
    if (TChatPeer::Of(thread).Registered()) {
        line = connection.ReadLine();
        return true;
    }
    const auto deadline = connectedAt + RegistrationTimeout;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        connection.CloseNote.Note(TNetCloseReason::Timeout);
        connection.Disconnect();
        return false;
    }
    line = connection.ReadLine("", static_cast<int>(left.count()));
    if (!line.empty() || !connection.ReadTimedOut()) return true;
    // A peer that closed after part of a line yields this one empty line.
    if (!connection.IsConnected()) return true;
    // Otherwise the read timed out: at the deadline, or early, and then the loop reads on.
    if (Clock::now() >= deadline) {
        connection.CloseNote.Note(TNetCloseReason::Timeout);
        connection.Disconnect();
    }
    return false;
}

// The connection loop with its flush point (net/NetFanOut.h, 1): the lines that the
// commands wrote are sent once no whole line of input is left to run (so a burst of
// commands costs one send per recipient), or once enough is unsent, and before a
// flood-control wait.
bool TNetIRCServer::ExecuteStep(TNetPeerThread& thread) {
    TNetTCPServerConnection& connection = thread.Connection();
    TNetFanOut& fanOut = thread.FanOut();
    fanOut.Bind();
    struct TUnbind {
        TNetFanOut& fanOut;
        ~TUnbind() { fanOut.Unbind(); }
    } unbind{fanOut};
    while (connection.IsConnected()) {
        if (fanOut.Due() || !connection.HasPendingLine()) fanOut.FlushPaced();
        std::string rest;
        if (!ReadCommandLine(thread, rest)) continue;
        if (!WithinAllowance(thread, fanOut)) continue;
        std::string command = SplitWord(rest);
        // A stray control character (a CR left over from LF CR line ends) is dropped.
        if (!command.empty() && static_cast<unsigned char>(command[0]) < 15) command.erase(0, 1);
        DispatchCommand(thread, command, rest);
    }
    return true;
}

// Before the wait, what the earlier commands wrote is sent: a held-back client still gets
// its replies and the others its lines at once.
bool TNetIRCServer::WithinAllowance(TNetPeerThread& thread, TNetFanOut& fanOut) {
    const auto wait = floodGate.Take(FloodRate.load(std::memory_order_relaxed),
                                     FloodBurst.load(std::memory_order_relaxed), Clock::now());
    if (wait <= Clock::duration::zero()) return true;
    NetMetrics().FloodLimitsMet.Add();
    TNetTCPServerConnection& connection = thread.Connection();
    fanOut.FlushPaced();
    if (connection.WaitingInputSize() > FloodCutOffBytes) {
        connection.CloseNote.Note(TNetCloseReason::Flood);
        chat::SendLine(thread, "***Error: You are sending too fast!");
        connection.Disconnect();
        return false;
    }
    const auto until = Clock::now() + wait;
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
        if (!connection.IsConnected()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, FloodWaitSlice));
    }
    return connection.IsConnected();
}
