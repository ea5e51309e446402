#include "NetThreadMgr.h"

#include <algorithm>

#include "NetException.h"
#include "NetPeerThread.h"

namespace {

std::unique_ptr<TNetPeerThread> TakeOut(std::vector<std::unique_ptr<TNetPeerThread>>& list,
                                        const TNetPeerThread& thread) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&thread](const auto& item) { return item.get() == &thread; });
    if (it == list.end()) return nullptr;
    std::unique_ptr<TNetPeerThread> taken = std::move(*it);
    list.erase(it);
    return taken;
}

}  // namespace

TNetThreadMgr::~TNetThreadMgr() {
    // Joined outside the lock: a finishing thread may still need it to release itself.
    ReapFinished();
}

std::unique_ptr<TNetPeerThread> TNetThreadMgr::CreateNewThread() {
    if (!PeerThreadClass) throw ENetThreadClassNotSpecified();
    return PeerThreadClass();
}

int TNetThreadMgr::ActiveCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(activeThreads_.size());
}

bool TNetThreadMgr::Idle() const {
    std::lock_guard lock(mutex_);
    return activeThreads_.empty() && finished_.empty();
}

void TNetThreadMgr::ReapFinished() {
    // Freeing a thread drops its reference to us; we must outlive this call.
    const auto keepAlive = weak_from_this().lock();
    std::vector<std::unique_ptr<TNetPeerThread>> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(finished_);
    }
    // A thread released itself before its last steps; joining waits for those, and only
    // then is it safe to free.
    for (auto& thread : done) thread->Join();
}

TNetThreadMgrDefault::~TNetThreadMgrDefault() = default;

TNetPeerThread& TNetThreadMgrDefault::AcquireThread() {
    ReapFinished();
    std::unique_ptr<TNetPeerThread> thread = CreateNewThread();
    TNetPeerThread& acquired = *thread;
    acquired.SetThreadMgr(shared_from_this());
    std::lock_guard lock(mutex_);
    activeThreads_.push_back(std::move(thread));
    return acquired;
}

void TNetThreadMgrDefault::ReleaseThread(TNetPeerThread& thread) {
    if (thread.IsCurrentThread()) {
        // A thread cannot join itself: it waits in the finished list for the next safe point.
        std::lock_guard lock(mutex_);
        if (auto self = TakeOut(activeThreads_, thread)) finished_.push_back(std::move(self));
        return;
    }
    const auto keepAlive = shared_from_this();
    thread.TerminateAndWait();
    thread.Join();
    std::unique_ptr<TNetPeerThread> released;
    {
        std::lock_guard lock(mutex_);
        released = TakeOut(activeThreads_, thread);
    }
}
