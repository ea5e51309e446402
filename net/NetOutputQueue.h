// The output side of one connection, private to the frame: the bytes that the socket has
// not yet taken. Writers append under the queue's own lock (the innermost lock of the
// program); whoever sends takes the bytes from the front under the same lock, so lines
// stay whole and in order whoever sends them. Who sends, and when: net/NetFanOut.h.
//
// Progress: the socket has made progress when it took ProgressBytes since the last time
// it did, or took everything waiting. A queue whose socket refuses bytes ("armed": a
// flusher waits for it to drain) and made no progress for its stall time (StallTime
// unless set) has a client that stopped reading: the queue fails. So does a queue that
// passes its bound (maxQueued) once its socket refuses bytes; the bound does not count
// the connection's own replies still waiting (net/NetFanOut.h). A failed queue shuts the
// socket down; the connection's reader sees the end of the stream and the connection ends
// like a lost one. A queue is shared with the flushers and fan-outs, so none of them ever
// touches a freed connection: they hold the queue, and a queue that is not open is left
// alone.
//
// Threads: any; every member is guarded by the queue's lock. Waits (for a reader) hold no
// lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "NetFlusher.h"

class TNetBroadcast;

class TNetOutputQueue : public std::enable_shared_from_this<TNetOutputQueue> {
  public:
    using Clock = std::chrono::steady_clock;
    // Closed: closed or not attached yet; Failed: a send failed, the bound was passed or
    // the client stopped reading.
    enum class TWriteResult { Queued, Closed, Failed };
    // The lifecycle: Detached until the socket is attached, Open while bytes may go out,
    // then Failed (the socket is shut down, bytes are dropped) or Closed, which is final.
    enum class TState { Detached, Open, Failed, Closed };
    static const char* StateName(TState state);

    static constexpr std::size_t ProgressBytes = 16 * 1024;
    static constexpr std::chrono::milliseconds StallTime{20000};
    // A sender waits for a recipient while its socket takes PaceBytes at a time, each
    // within the sender's patience (WaitWhileBehind).
    static constexpr std::size_t PaceBytes = 1024;

    explicit TNetOutputQueue(std::size_t maxQueued) : maxQueued_(maxQueued) {}

    // Takes the socket to send on; from then on bytes may go out.
    void Attach(int fd);
    void SetStallTime(std::chrono::milliseconds stall);
    TState State() const;

    // Appends without sending; a fan-out sends at its flush. Only a socket that has
    // already refused bytes makes these count against the bound at once. `first` tells
    // whether this is the batch's first write to the queue (batch 0 names none).
    TWriteResult Append(const char* data, std::size_t count, std::uint64_t batch, bool& first);
    // Appends the connection's own replies, written by its own thread: not counted
    // against the bound until sent, and sent at that thread's flush.
    TWriteResult AppendOwn(const char* data, std::size_t count);
    // Appends and sends what is waiting, at once (writers without a fan-out).
    TWriteResult Write(const char* data, std::size_t count);
    // Sends what is waiting without waiting; what the socket refuses is left to a flusher.
    void Send();
    // The connection's own thread waits (without any lock) until at most `room` bytes
    // wait, as long as the socket makes progress; false when the queue is not open or the
    // client stopped reading (the queue fails).
    bool WaitForRoom(std::size_t room);
    // A sender whose lines these are waits while more than `mark` bytes wait for a socket
    // that refuses more and that took PaceBytes within `patience` each time; one that took
    // less is "lagging" and not waited for again until it takes PaceBytes.
    void WaitWhileBehind(std::size_t mark, std::chrono::milliseconds patience);
    // Hands what is waiting to the queue's flusher thread; false when there is nothing
    // to hand over, else `ticket` names the flusher pass that will send it. `gather`: the
    // pass may wait for more lines (net/NetFlusher.h).
    bool HandOff(TNetFlushTicket& ticket, bool gather);
    // Last attempt to send what is waiting, then leaves the flusher; idempotent. Waits
    // for a send under way on another thread, so the descriptor may be closed afterwards.
    void Close();
    bool Failed() const;
    std::size_t Size() const;
    // The client stopped reading (see the top); the queue fails when it is.
    bool FailIfStalled();

    // The broadcast stream's side (net/NetBroadcast.h): joining it, leaving it, and the
    // registration that its entries for registered connections judge by.
    void Subscribe(std::shared_ptr<TNetBroadcast> stream);
    void Unsubscribe();
    void SetRegistered(bool registered);
    // A flusher pass over the stream's subscribers: takes the new entries and sends them
    // unless a flusher sends this queue anyway; `behind`: more than `behindMark` bytes wait
    // and the queue is not lagging. False once the queue left `stream`.
    bool SendBroadcast(const TNetBroadcast& stream, std::size_t behindMark, bool& behind);

    // The flusher's side: called when the socket drained or the queue was handed over.
    void Flush();
    // The flusher's side: gives back the buffers of a queue that has stayed drained.
    void Trim();

  private:
    using TLock = std::unique_lock<std::mutex>;

    std::size_t PendingLocked() const { return out_.size() - outSent_ + buffer_.size(); }
    bool OpenLocked() const { return state_ == TState::Open; }
    bool OverBoundLocked() const { return PendingLocked() > maxQueued_ + ownPending_; }
    bool StalledLocked(Clock::time_point now, std::chrono::milliseconds stall) const;
    // Called before bytes are appended: an empty queue starts its progress clock now.
    void BeforeAppendLocked();
    // Appended bytes meet the bound and the stall time at once where the socket already
    // refuses bytes; false when the queue failed.
    bool CheckAppendedLocked();
    // Copies the broadcast entries written since the last time (net/NetBroadcast.h);
    // every other append and every send comes after it. False when the queue failed.
    bool CatchUpLocked();
    void LeaveStreamLocked();
    // Sends what is waiting, releasing the lock during each send so that writers go on
    // appending meanwhile; arms a flusher for what the socket refuses and fails the queue
    // when that is more than the bound. One thread sends at a time: a second one leaves
    // its bytes to the one that is sending, which takes them along before it stops.
    void SendLocked(TLock& lock);
    void SentLocked(std::size_t count);
    void AfterSendLocked();
    // Waits up to `wait` for the socket to take bytes (unlocked), then sends.
    void PollAndSendLocked(TLock& lock, std::chrono::milliseconds wait);
    void FailLocked();
    void ArmLocked();
    void ReleaseBuffersLocked();

    const std::size_t maxQueued_;
    mutable std::mutex mutex_;
    std::condition_variable sendEnded_;  // a send that ran unlocked is over
    TState state_ = TState::Detached;    // guarded by mutex_
    int fd_ = -1;  // guarded by mutex_; valid until Close (closing is deferred)
    // The bytes waiting: out_ from outSent_ on, then buffer_. While sending_, only the
    // sending thread touches out_ (unlocked, during its send); writers append to buffer_.
    std::string out_;          // guarded by mutex_ unless sending_
    std::size_t outSent_ = 0;  // guarded by mutex_
    std::string buffer_;       // guarded by mutex_
    // Flags that may be true together, all guarded by mutex_:
    bool sending_ = false;     // a thread sends out_ without the lock
    bool armed_ = false;       // the socket refused bytes, a flusher waits
    bool watched_ = false;     // the descriptor is in a flusher's epoll set
    bool lagging_ = false;     // waited for in vain (see WaitWhileBehind)
    bool handedOff_ = false;   // on a flusher's ready list
    bool trimListed_ = false;  // on a flusher's trim list
    TNetFlushTicket ticket_;   // guarded by mutex_; the pass that takes it, while handed off
    std::uint64_t id_ = 0;     // guarded by mutex_; the flushers' key, 0 until first needed
    std::uint64_t batch_ = 0;  // guarded by mutex_; the fan-out batch that wrote last
    // Own replies appended and not yet sent, counted as if they were the first bytes to go.
    std::size_t ownPending_ = 0;                  // guarded by mutex_
    Clock::time_point progressAt_{};              // guarded by mutex_; the last progress
    std::size_t progressBytes_ = 0;               // guarded by mutex_; taken since then
    Clock::time_point pacedAt_{};                 // guarded by mutex_; PaceBytes last taken
    std::size_t pacedBytes_ = 0;                  // guarded by mutex_; taken since then
    std::chrono::milliseconds stall_{StallTime};  // guarded by mutex_
    // The broadcast stream subscribed to, the next entry to look at, and whether entries
    // for registered connections concern this one; all guarded by mutex_.
    std::shared_ptr<TNetBroadcast> stream_;
    std::uint64_t cursor_ = 0;
    bool registered_ = false;
};
