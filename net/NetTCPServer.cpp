#include "NetTCPServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "NetListenerThread.h"

namespace {

constexpr int DeactivationStepMs = 250;
constexpr auto DestructionPoll = std::chrono::milliseconds(20);

}  // namespace

void TNetThreadList::Add(TNetPeerThread& thread) {
    std::lock_guard lock(mutex_);
    items_.push_back(&thread);
}

void TNetThreadList::Remove(TNetPeerThread& thread) {
    std::lock_guard lock(mutex_);
    auto it = std::find(items_.begin(), items_.end(), &thread);
    if (it != items_.end()) items_.erase(it);
}

std::size_t TNetThreadList::Count() {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::size_t TNetThreadList::CountOthers() {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        items_.begin(), items_.end(), [](TNetPeerThread* t) { return !t->IsCurrentThread(); }));
}

TNetTCPServer::TNetTCPServer() {
    PeerThreadClass = [] { return std::make_unique<TNetPeerThread>(true); };
}

TNetTCPServer::~TNetTCPServer() {
    ShutdownAndWaitForPeers();
}

void TNetTCPServer::ShutdownAndWaitForPeers() {
    SetActive(false);
    DisconnectAll();
    // Unlike deactivation this waits without limit: the steps of a late peer thread call
    // into this object, which is about to be freed.
    while (peerThreads_.CountOthers() > 0) std::this_thread::sleep_for(DestructionPoll);
    std::lock_guard lock(activeMutex_);
    ReapManagers();
}

void TNetTCPServer::SetActive(bool value) {
    std::lock_guard lock(activeMutex_);
    if (value == active_) return;
    if (value) {
        Activate();
    } else {
        Deactivate();
    }
}

void TNetTCPServer::OpenBindings() {
    if (bindings_.Count() == 0) bindings_.Add();
    for (int i = 0; i < bindings_.Count(); ++i) {
        TNetSocketHandle& binding = bindings_[i];
        binding.OpenSocket();
        binding.SetOption(SOL_SOCKET, SO_REUSEADDR, 1);
        binding.Bind();
        // The kernel's largest backlog: a burst of connecting players must not be refused
        // while the listener is busy starting threads.
        binding.Listen(SOMAXCONN);
        // A client that resets between poll and accept must not block the listener.
        binding.SetNonBlocking(true);
    }
}

void TNetTCPServer::CloseBindings() {
    for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].CloseSocket(false);
}

// A failed activation closes what it opened, so the port is free again at once and the
// next activation starts from scratch with the same addresses.
void TNetTCPServer::Activate() {
    ReapManagers();
    try {
        OpenBindings();
    } catch (...) {
        CloseBindings();
        throw;
    }
    ownsThreadMgr_ = !ThreadMgr;
    if (ownsThreadMgr_) ThreadMgr = std::make_shared<TNetThreadMgrDefault>();
    ThreadMgr->PeerThreadClass = PeerThreadClass;
    auto listener = std::make_unique<TNetListenerThread>(*this);
    listener->AcceptWaitTime = AcceptWaitTime;
    try {
        listener->Start();
    } catch (...) {
        CloseBindings();
        if (ownsThreadMgr_) ThreadMgr.reset();
        ownsThreadMgr_ = false;
        throw;
    }
    listener_ = std::move(listener);
    active_ = true;
}

// The listening sockets are shut down to wake the listener, and closed only after it has
// been joined, so their numbers cannot be reused under a poll still running.
void TNetTCPServer::Deactivate() {
    listener_->Stop();
    for (int i = 0; i < bindings_.Count(); ++i) bindings_[i].Interrupt();
    listener_->Join();
    listener_.reset();
    CloseBindings();
    DisconnectAllPeers();
    if (ownsThreadMgr_) {
        // Late peer threads still release themselves into it; it is freed once idle.
        retiredMgrs_.push_back(std::move(ThreadMgr));
        ThreadMgr.reset();
    }
    ownsThreadMgr_ = false;
    ReapManagers();
    active_ = false;
}

void TNetTCPServer::ReapManagers() {
    if (ThreadMgr) ThreadMgr->ReapFinished();
    for (auto& mgr : retiredMgrs_) mgr->ReapFinished();
    std::erase_if(retiredMgrs_, [](const auto& mgr) { return mgr->Idle(); });
}

void TNetTCPServer::DisconnectAll() {
    std::lock_guard lock(peerThreads_.Mutex());
    for (TNetPeerThread* thread : peerThreads_.Items()) {
        thread->Connection().CloseNote.Note(TNetCloseReason::Operator);
        thread->Connection().Disconnect();
    }
}

void TNetTCPServer::DisconnectAllPeers() {
    DisconnectAll();
    for (int i = 0; i < TerminateWaitTime / DeactivationStepMs; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(DeactivationStepMs));
        if (peerThreads_.CountOthers() == 0) return;
    }
}

void TNetTCPServer::PeerAccepted(TNetPeerThread&) {}

void TNetTCPServer::PeerLeft(TNetPeerThread&) {}

void TNetTCPServer::ConnectStep(TNetPeerThread& thread) {
    if (OnConnect) OnConnect(thread);
}

void TNetTCPServer::DisconnectStep(TNetPeerThread& thread) {
    if (OnDisconnect) OnDisconnect(thread);
}

bool TNetTCPServer::ExecuteStep(TNetPeerThread& thread) {
    if (!OnExecute) return false;
    OnExecute(thread);
    return true;
}
