// The server's list of live peer threads with its lock (PeerThreads): the listener and
// finishing peer threads add and remove themselves, the sweep walks it under the lock.
// Its broadcast stream (net/NetBroadcast.h) has every connection of the list, and only
// those, as subscribers. Any thread; its place in the program's lock order is in
// chat/LobbyList.h.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "NetBroadcast.h"

class TNetPeerThread;

class TNetThreadList {
  public:
    std::mutex& Mutex() { return mutex_; }
    // Callers hold Mutex() while they use Items().
    std::vector<TNetPeerThread*>& Items() { return items_; }
    void Add(TNetPeerThread& thread);
    void Remove(TNetPeerThread& thread);
    std::size_t Count();
    // Live threads other than the calling one: a peer thread that deactivates the server
    // does not wait for itself.
    std::size_t CountOthers();
    TNetBroadcast& Broadcast() { return *broadcast_; }

  private:
    const std::shared_ptr<TNetBroadcast> broadcast_ = std::make_shared<TNetBroadcast>();
    std::mutex mutex_;
    std::vector<TNetPeerThread*> items_;  // guarded by mutex_
};
