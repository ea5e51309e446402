// Supplies peer threads to the listener and takes them back when they end. Threads that
// end release themselves into the manager, which joins and frees them at a safe point
// (the next acquisition, the server's deactivation or destruction): a finishing thread
// cannot join itself, and nothing is detached. Shared by the server and its peer threads,
// so a peer thread that outlives deactivation still has its manager; the server keeps a
// released manager until it is idle. Safe from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class TNetPeerThread;

class TNetThreadMgr : public std::enable_shared_from_this<TNetThreadMgr> {
  public:
    using ThreadFactory = std::function<std::unique_ptr<TNetPeerThread>()>;

    virtual ~TNetThreadMgr();

    ThreadFactory PeerThreadClass;  // unset: CreateNewThread raises ENetThreadClassNotSpecified

    std::unique_ptr<TNetPeerThread> CreateNewThread();
    virtual TNetPeerThread& AcquireThread() = 0;
    virtual void ReleaseThread(TNetPeerThread& thread) = 0;
    int ActiveCount() const;
    // No thread is active or waiting to be joined.
    bool Idle() const;
    // Joins and frees threads that have finished; called at safe points, never by one of
    // this manager's own threads about itself.
    void ReapFinished();

  protected:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TNetPeerThread>> activeThreads_;  // guarded by mutex_
    std::vector<std::unique_ptr<TNetPeerThread>> finished_;       // guarded by mutex_
};

class TNetThreadMgrDefault : public TNetThreadMgr {
  public:
    ~TNetThreadMgrDefault() override;
    TNetPeerThread& AcquireThread() override;
    // From the thread itself: moves it to the finished list, joined later. From another
    // thread: TerminateAndWait, then frees it.
    void ReleaseThread(TNetPeerThread& thread) override;
};
