// The output side of one connection, private to the frame: the bytes that the socket has
// not yet taken. Writers append under the queue's own lock (the innermost lock of the
// program); whoever sends takes the bytes from the front under the same lock, so lines
// stay whole and in order whoever sends them.
//
// Who sends (the three places where bytes leave a queue):
//   - a fan-out's flush (net/NetFanOut.h) on the thread whose commands wrote the lines;
//   - a plain Write from a thread without a fan-out (the console), at once;
//   - a flusher thread (net/NetFlusher.h), once the socket can take more or when a wide
//     fan-out handed the queue over.
//
// The bound: bytes that the server has not yet tried to send never count against the
// connection. Once the socket has refused bytes (the queue is "armed": a flusher waits
// for it to drain), everything waiting counts, and more than the bound fails the queue:
// the socket is shut down, the connection's reader sees the end of the stream and the
// connection ends like a lost one. A queue is shared with the flushers and fan-outs, so
// none of them ever touches a freed connection: they hold the queue, and a closed queue
// is left alone.
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

class TNetOutputQueue : public std::enable_shared_from_this<TNetOutputQueue> {
  public:
    using Clock = std::chrono::steady_clock;
    // Closed: closed or not attached yet; Failed: a send failed or the bound was passed.
    enum class TWriteResult { Queued, Closed, Failed };

    explicit TNetOutputQueue(std::size_t maxQueued) : maxQueued_(maxQueued) {}

    // Takes the socket to send on; from then on bytes may go out.
    void Attach(int fd);
    // Appends without sending; a fan-out sends at its flush. Only a socket that has
    // already refused bytes makes these count against the bound at once. `first` tells
    // whether this is the batch's first write to the queue (batch 0 names none).
    TWriteResult Append(const char* data, std::size_t count, std::uint64_t batch, bool& first);
    // Appends and sends what is waiting, at once (writers without a fan-out).
    TWriteResult Write(const char* data, std::size_t count);
    // Sends what is waiting without waiting; what the socket refuses is left to a flusher.
    void Send();
    // The connection's own thread sends replies to its own commands: at most `room` bytes
    // are counted as waiting at a time, and it waits (without any lock) for its own socket
    // to take more, so a reply of any length reaches a reading client whole. False when
    // the socket took nothing for `stall` (a client that stopped reading: the queue fails)
    // or the queue is closed or failed.
    bool SendReply(std::string_view reply, std::size_t room, std::chrono::milliseconds stall);
    // The part of SendReply that does not wait: appends the whole lines of `reply` that
    // fit in `room`, sends, and takes them off `reply`.
    void AppendReply(std::string_view& reply, std::size_t room);
    // More than `mark` bytes wait for a socket that refuses more: a sender whose lines
    // these are waits a little for it (see TNetFanOut). A queue waited for in vain is
    // "lagging" and not waited for again until it has drained.
    bool Behind(std::size_t mark) const;
    // Waits up to `wait` for the socket to take bytes (no lock held), then sends.
    void WaitForReader(std::chrono::milliseconds wait);
    void MarkLagging();
    // Hands what is waiting to the queue's flusher thread; false when there is nothing
    // to hand over, else `ticket` names the flusher pass that will send it. `gather`: the
    // pass may wait for more lines (net/NetFlusher.h).
    bool HandOff(TNetFlushTicket& ticket, bool gather);
    // Last attempt to send what is waiting, then leaves the flusher; idempotent. Waits
    // for a send under way on another thread, so the descriptor may be closed afterwards.
    void Close();
    bool Failed() const;
    std::size_t Size() const;

    // The flusher's side: called when the socket drained or the queue was handed over.
    void Flush();
    // The flusher's side: gives back the buffers of a queue that has stayed drained.
    void Trim();

  private:
    using TLock = std::unique_lock<std::mutex>;

    std::size_t PendingLocked() const { return out_.size() - outSent_ + buffer_.size(); }
    bool UsableLocked() const { return !closed_ && !failed_ && fd_ >= 0; }
    // Sends what is waiting, releasing the lock during each send so that writers go on
    // appending meanwhile; arms a flusher for what the socket refuses and fails the queue
    // when that is more than the bound. One thread sends at a time: a second one leaves
    // its bytes to the one that is sending, which takes them along before it stops.
    void SendLocked(TLock& lock);
    void AfterSendLocked();
    void AppendReplyLocked(TLock& lock, std::string_view& reply, std::size_t room);
    void FailLocked();
    void ArmLocked();
    void ReleaseBuffersLocked();

    const std::size_t maxQueued_;
    mutable std::mutex mutex_;
    std::condition_variable sendEnded_;  // a send that ran unlocked is over
    int fd_ = -1;  // guarded by mutex_; valid until Close (closing is deferred)
    // The bytes waiting: out_ from outSent_ on, then buffer_. While sending_, only the
    // sending thread touches out_ (unlocked, during its send); writers append to buffer_.
    std::string out_;          // guarded by mutex_ unless sending_
    std::size_t outSent_ = 0;  // guarded by mutex_
    std::string buffer_;       // guarded by mutex_
    bool sending_ = false;     // guarded by mutex_; a thread sends out_ without the lock
    bool closed_ = false;      // guarded by mutex_
    bool failed_ = false;      // guarded by mutex_; a send failed or the bound was passed
    bool armed_ = false;       // guarded by mutex_; the socket refused bytes, a flusher waits
    bool watched_ = false;     // guarded by mutex_; the descriptor is in a flusher's epoll set
    bool lagging_ = false;     // guarded by mutex_; waited for in vain (see Behind)
    bool handedOff_ = false;   // guarded by mutex_; on a flusher's ready list
    bool trimListed_ = false;  // guarded by mutex_; on a flusher's trim list
    TNetFlushTicket ticket_;   // guarded by mutex_; the pass that takes it, while handed off
    std::uint64_t id_ = 0;     // guarded by mutex_; the flushers' key, 0 until first needed
    std::uint64_t batch_ = 0;  // guarded by mutex_; the fan-out batch that wrote last
};
