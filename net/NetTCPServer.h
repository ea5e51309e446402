// The thread-per-connection TCP server: listens on its bindings while Active, gives each
// accepted connection a peer thread, and runs the connect, execute and disconnect steps on
// it. Active may be set from any thread, a peer thread included: deactivation then waits
// (TerminateWaitTime at most) for the other peer threads only, and the calling thread ends
// cleanly afterwards. Peer threads still running after the wait are left to finish; their
// manager stays alive until they have been joined. Destruction waits until every peer
// thread is gone.
//
// PeerThreads sits between the layer above's locks and the connections' own in the
// program's lock order (the table is in chat/LobbyList.h): it is never held while a lock
// earlier in that order is taken. SetActive must not be called with PeerThreads held.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "NetPeerThread.h"
#include "NetSocketHandle.h"
#include "NetSocketLayer.h"
#include "NetThreadList.h"
#include "NetThreadMgr.h"

class TNetListenerThread;

using TNetServerThreadEvent = std::function<void(TNetPeerThread& AThread)>;

class TNetTCPServer : public TNetComponent {
  public:
    TNetTCPServer();
    ~TNetTCPServer() override;

    bool Active() const { return active_; }
    virtual void SetActive(bool value);

    TNetSocketHandles& Bindings() { return bindings_; }
    int DefaultPort() const { return bindings_.DefaultPort(); }
    void SetDefaultPort(int port) { bindings_.SetDefaultPort(port); }

    int TerminateWaitTime = 5000;
    int AcceptWaitTime = 1000;
    std::shared_ptr<TNetThreadMgr> ThreadMgr;
    TNetThreadMgr::ThreadFactory PeerThreadClass;

    TNetServerThreadEvent OnConnect;
    TNetServerThreadEvent OnExecute;
    TNetServerThreadEvent OnDisconnect;

    TNetThreadList& PeerThreads() { return peerThreads_; }

    // PeerAccepted runs on the listener thread, in the order connections are accepted,
    // once the thread is in PeerThreads and before it starts; PeerLeft runs once it has
    // left PeerThreads again (on its own thread, or on the listener's when it could not
    // start). Neither runs with a lock held.
    virtual void PeerAccepted(TNetPeerThread& thread);
    virtual void PeerLeft(TNetPeerThread& thread);
    virtual void ConnectStep(TNetPeerThread& thread);
    virtual void DisconnectStep(TNetPeerThread& thread);
    virtual bool ExecuteStep(TNetPeerThread& thread);
    void DisconnectAllPeers();

  protected:
    // Derived servers call this first in their destructor: deactivates and waits until
    // every peer thread has left, so that no step runs on a half-destroyed object.
    void ShutdownAndWaitForPeers();

  private:
    friend class TNetListenerThread;
    void Activate();
    void Deactivate();
    void OpenBindings();
    void CloseBindings();
    void ReapManagers();
    void DisconnectAll();  // closes every peer's connection under the PeerThreads lock

    std::mutex activeMutex_;  // serialises SetActive; taken before every lock above
    std::atomic<bool> active_{false};
    bool ownsThreadMgr_ = false;
    TNetSocketHandles bindings_;
    TNetThreadList peerThreads_;
    std::unique_ptr<TNetListenerThread> listener_;
    // Managers released by deactivation whose threads may still be running or waiting to be
    // joined; kept until they are idle. Used only under activeMutex_.
    std::vector<std::shared_ptr<TNetThreadMgr>> retiredMgrs_;
};
