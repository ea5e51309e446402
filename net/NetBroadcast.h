// A server's broadcast stream, private to the frame: lines for (nearly) every connection,
// written once each instead of once per recipient. Where such a line waits and who sends
// it: net/NetFanOut.h ("Lines for everybody").
//
// Every live peer connection subscribes when it enters the server's PeerThreads and
// leaves when it leaves them, so an entry reaches exactly the connections that a walk of
// PeerThreads at the time of writing would have reached. An entry names its audience:
// every subscriber but one connection, or the registered subscribers. Whether a
// subscriber is registered is told with SetRegistered, by the same lock that serialises
// the writers (the chat server's lobby lock): each entry is then judged by the state at
// the time it was written.
//
// Each subscriber's output queue keeps a cursor into the stream and copies the entries
// that concern it into its own bytes, under its own lock: before any other line is
// appended to it (so its lines stay in the order the server wrote them), before it
// sends, when it closes, and in a flusher pass, which walks every subscriber once.
// Entries every subscriber has passed are dropped after the flusher passes.
//
// Threads: any. Lock order: a queue's lock, then the stream's (the innermost lock of
// the output path); the flusher threads call Pass holding nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TNetOutputQueue;
class TNetTCPConnection;

class TNetBroadcast : public std::enable_shared_from_this<TNetBroadcast> {
  public:
    enum class TAudience : std::uint8_t { AllBut, Registered };
    static constexpr std::size_t MaxShards = 4;

    // A connection joins at the end of the stream; it leaves before it is released.
    void Subscribe(TNetTCPConnection& connection);
    void Unsubscribe(TNetTCPConnection& connection);
    // Takes the entries written so far by the old state, then changes it.
    void SetRegistered(TNetTCPConnection& connection, bool registered);
    // Appends a whole line for the audience (`except`: the one left out of AllBut, or
    // null); constant time whatever the number of subscribers.
    void Write(std::string_view bytes, TAudience audience, const TNetTCPConnection* except);
    std::size_t Subscribers() const { return subscribers_.load(std::memory_order_relaxed); }
    // The entries kept for subscribers that have not taken them yet.
    std::size_t Held() const;

    // The queue's side, its lock held: the stream's end, and the bytes of the entries from
    // `from` on that concern the queue, appended to `out`; returns the new cursor.
    std::uint64_t End() const { return end_.load(std::memory_order_acquire); }
    std::uint64_t CopyInto(std::uint64_t from, const TNetOutputQueue& queue, bool registered,
                           std::string& out) const;
    // The queue's side, its lock held: joins the stream at its end (returns the cursor),
    // and leaves it (unsubscribed or closed).
    std::uint64_t Join(std::shared_ptr<TNetOutputQueue> queue);
    void Left() { subscribers_.fetch_sub(1, std::memory_order_relaxed); }

    // The flusher thread `shard` of `shards`: brings every subscriber it walks up to date
    // and sends what it can, then drops the entries that every walk has passed. The
    // subscribers found more than `behindMark` bytes behind are kept for Behind.
    void Pass(std::size_t shard, std::size_t shards, std::size_t behindMark);
    // The subscribers that the last passes found behind (net/NetFanOut.h, flow control).
    std::vector<std::shared_ptr<TNetOutputQueue>> Behind() const;

  private:
    struct TEntry {
        std::string bytes;
        const TNetOutputQueue* except;
        TAudience audience;
    };
    struct TWalk {
        // Joined since the last pass; guarded by mutex_.
        std::vector<std::shared_ptr<TNetOutputQueue>> joining;
        // Walked by the shard's flusher thread only.
        std::vector<std::shared_ptr<TNetOutputQueue>> members;
        std::uint64_t passed = 0;  // guarded by mutex_; every member is at least here
        std::vector<std::shared_ptr<TNetOutputQueue>> behind;  // guarded by mutex_
    };

    mutable std::mutex mutex_;
    std::deque<TEntry> entries_;         // guarded by mutex_
    std::uint64_t first_ = 0;            // guarded by mutex_; the number of entries_.front()
    std::atomic<std::uint64_t> end_{0};  // written under mutex_
    std::array<TWalk, MaxShards> walks_;
    std::atomic<std::size_t> nextWalk_{0};
    std::atomic<std::size_t> subscribers_{0};
};
