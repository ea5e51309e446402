#include "NetBroadcast.h"

#include <algorithm>

#include "NetFlusher.h"
#include "NetOutputQueue.h"
#include "NetTCPConnection.h"

void TNetBroadcast::Subscribe(TNetTCPConnection& connection) {
    connection.output_->Subscribe(shared_from_this());
}

void TNetBroadcast::Unsubscribe(TNetTCPConnection& connection) {
    connection.output_->Unsubscribe();
}

void TNetBroadcast::SetRegistered(TNetTCPConnection& connection, bool registered) {
    connection.output_->SetRegistered(registered);
}

void TNetBroadcast::Write(std::string_view bytes, TAudience audience,
                          const TNetTCPConnection* except) {
    const TNetOutputQueue* left = except != nullptr ? except->output_.get() : nullptr;
    std::lock_guard lock(mutex_);
    entries_.push_back({std::string(bytes), left, audience});
    end_.store(first_ + entries_.size(), std::memory_order_release);
}

// The bytes are copied after the lock is released, so that writers and the other
// flusher thread do not wait for the copy: an entry never changes once written, a deque
// keeps its elements in place as it grows, and no entry this queue may still read is
// dropped while the queue's lock is held (Pass drops only what every walk has passed, and
// a walk passes this queue only under its lock).
std::uint64_t TNetBroadcast::CopyInto(std::uint64_t from, const TNetOutputQueue& queue,
                                      bool registered, std::string& out) const {
    thread_local std::vector<const std::string*> pieces;
    pieces.clear();
    std::size_t bytes = 0;
    std::uint64_t end = 0;
    {
        std::lock_guard lock(mutex_);
        // A subscriber is never behind first_ (see above); one that was would lose lines.
        for (std::uint64_t i = std::max(from, first_) - first_; i < entries_.size(); ++i) {
            const TEntry& entry = entries_[i];
            const bool concerns =
                entry.audience == TAudience::Registered ? registered : entry.except != &queue;
            if (!concerns) continue;
            pieces.push_back(&entry.bytes);
            bytes += entry.bytes.size();
        }
        end = first_ + entries_.size();
    }
    out.reserve(out.size() + bytes);
    for (const std::string* piece : pieces) out.append(*piece);
    return end;
}

std::uint64_t TNetBroadcast::Join(std::shared_ptr<TNetOutputQueue> queue) {
    const std::size_t shards = std::max<std::size_t>(TNetFlusher::Instance().ThreadCount(), 1);
    const std::size_t walk = nextWalk_.fetch_add(1, std::memory_order_relaxed) % shards;
    subscribers_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    walks_[walk].joining.push_back(std::move(queue));
    return first_ + entries_.size();
}

// The end is read and the joiners taken in one step: a queue that joins later starts at
// or after that end, so once this walk is over every subscriber of the shard has passed it.
void TNetBroadcast::Pass(std::size_t shard, std::size_t shards, std::size_t behindMark) {
    TWalk& walk = walks_[shard];
    std::uint64_t end = 0;
    {
        std::lock_guard lock(mutex_);
        end = first_ + entries_.size();
        if (walk.members.empty()) {
            walk.members.swap(walk.joining);
        } else {
            walk.members.insert(walk.members.end(), walk.joining.begin(), walk.joining.end());
            walk.joining.clear();
        }
    }
    std::vector<std::shared_ptr<TNetOutputQueue>> behind;
    auto& members = walk.members;
    for (std::size_t i = 0; i < members.size();) {
        bool late = false;
        if (!members[i]->SendBroadcast(*this, behindMark, late)) {
            members[i] = std::move(members.back());
            members.pop_back();
            continue;
        }
        if (late) behind.push_back(members[i]);
        ++i;
    }
    std::lock_guard lock(mutex_);
    walk.passed = end;
    walk.behind.swap(behind);
    std::uint64_t passed = end;
    for (std::size_t i = 0; i < std::min(shards, MaxShards); ++i)
        passed = std::min(passed, walks_[i].passed);
    while (first_ < passed && !entries_.empty()) {
        entries_.pop_front();
        ++first_;
    }
}

std::size_t TNetBroadcast::Held() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::vector<std::shared_ptr<TNetOutputQueue>> TNetBroadcast::Behind() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<TNetOutputQueue>> all;
    for (const TWalk& walk : walks_) all.insert(all.end(), walk.behind.begin(), walk.behind.end());
    return all;
}
