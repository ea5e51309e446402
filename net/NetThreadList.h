// The server's list of live peer threads with its lock (PeerThreads): the listener and
// finishing peer threads add and remove themselves, fan-outs and the sweep walk it under
// the lock. Any thread; its place in the program's lock order is in chat/LobbyList.h.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

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

  private:
    std::mutex mutex_;
    std::vector<TNetPeerThread*> items_;  // guarded by mutex_
};
