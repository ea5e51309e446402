#include "NetThreadList.h"

#include <algorithm>

#include "NetPeerThread.h"

void TNetThreadList::Add(TNetPeerThread& thread) {
    std::lock_guard lock(mutex_);
    items_.push_back(&thread);
    broadcast_->Subscribe(thread.Connection());
}

void TNetThreadList::Remove(TNetPeerThread& thread) {
    std::lock_guard lock(mutex_);
    auto it = std::find(items_.begin(), items_.end(), &thread);
    if (it == items_.end()) return;
    items_.erase(it);
    broadcast_->Unsubscribe(thread.Connection());
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
