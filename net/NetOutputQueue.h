// The output side of one connection (private to the frame): the bytes that the socket has
// not yet taken, and the frame-wide flusher thread that sends them as the sockets drain.
// A queue is shared between its connection and the flusher, so the flusher never touches a
// freed connection: it only ever holds the queue, and a closed queue is left alone.
// Writers call Write under their connection's mutex; the flusher calls Flush on itself.
// Lock order: connection mutex, then a queue's mutex, then the flusher's registry mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct TNetOutputQueue : std::enable_shared_from_this<TNetOutputQueue> {
    // Closed: the queue was closed or is not attached yet; Failed: a send failed.
    enum class TWriteResult { Queued, Closed, Failed, Overflow };

    explicit TNetOutputQueue(std::size_t maxQueued) : maxQueued_(maxQueued) {}

    // Takes the socket to send on; from then on writes may go out.
    void Attach(int fd);

    // Deferred writes (fan-out batching). While a TNetDeferredWrites scope is alive on a
    // thread that runs inside a TNetWriteBatching scope, that thread's writes are queued
    // without a send and the queue is remembered; the thread sends them all, one send per
    // connection, when it flushes: before it waits for input in ReadLine, when its
    // remembered bytes pass DeferredFlushBytes at the end of a deferring scope, and when
    // its batching scope ends. DeferredFlushBytes grows with the number of queues listed,
    // DeferredBytesPerQueue each up to DeferredFlushCap, so that a wide lobby still gets
    // sends of several KiB. A queue that several threads defer to is sent by the one that
    // listed it last, which takes the others' bytes along; another thread sends it anyway
    // once it holds DeferredResidueBytes or its oldest byte has waited MaxDeferralAge, so
    // neither a queue nor a line's wait grows while fan-outs keep overtaking flushes.
    // Lines stay in order: any other write to a queue that holds deferred bytes appends
    // behind them and hands the queue to the flusher.
    static constexpr std::size_t DeferredFlushBytes = 2 * 1024 * 1024;
    static constexpr std::size_t DeferredBytesPerQueue = 8 * 1024;
    static constexpr std::size_t DeferredFlushCap = 16 * 1024 * 1024;
    static constexpr std::size_t DeferredResidueBytes = 64 * 1024;
    static constexpr std::chrono::microseconds MaxDeferralAge{1000};
    static bool HasDeferred();
    static void FlushDeferred() noexcept;
    // Hand-off writes (wide broadcasts). While a TNetHandOffWrites scope is alive on a
    // thread (and no deferral applies), its writes are appended and the queue is handed to
    // the flusher thread's ready list instead of being sent by the writer: many threads
    // announcing to the same connections (a join storm) then cost one send per connection
    // per flusher pass instead of one per line.
    // Hands the whole buffer over: sends at once when nothing is waiting, keeps the rest.
    TWriteResult Write(const char* data, std::size_t count);
    // Called by the flusher when the socket can take more.
    void Flush();
    // Last attempt to send what is waiting, then leaves the flusher; idempotent.
    void Close();
    bool Failed() const;
    std::size_t Size() const;

  private:
    std::size_t PendingLocked() const { return buffer_.size() - sent_; }
    bool SendLocked(const char* data, std::size_t count, std::size_t& taken);
    void ArmLocked();
    void DropSentLocked();

    const std::size_t maxQueued_;
    mutable std::mutex mutex_;
    int fd_ = -1;           // guarded by mutex_; valid until Close (closing is deferred)
    std::string buffer_;    // guarded by mutex_; bytes from sent_ on are waiting
    std::size_t sent_ = 0;  // guarded by mutex_
    bool closed_ = false;   // guarded by mutex_
    bool failed_ = false;   // guarded by mutex_; a send failed, the peer is lost
    bool watched_ = false;  // guarded by mutex_; the descriptor is in the flusher's epoll set
    std::uint64_t deferredMark_ = 0;  // guarded by mutex_; which thread batch last listed it
    // guarded by mutex_; when a deferred write found the queue empty (an upper bound on the
    // age of the oldest waiting byte, since other writes leave it alone)
    std::chrono::steady_clock::time_point deferredSince_{};
    bool readyListed_ = false;  // guarded by mutex_; on the flusher's ready list
    bool armed_ = false;        // guarded by mutex_; a flush is due (writability watch armed)
    std::uint64_t id_ = 0;      // guarded by mutex_; the flusher's key, 0 until first watched
};

// Marks a thread whose deferred writes will be flushed: a peer thread's connection loop.
// The end of the scope sends what is still deferred.
class TNetWriteBatching {
  public:
    TNetWriteBatching();
    ~TNetWriteBatching();
    TNetWriteBatching(const TNetWriteBatching&) = delete;
    TNetWriteBatching& operator=(const TNetWriteBatching&) = delete;
};

// Defers this thread's writes for its lifetime when the thread is batching (else does
// nothing). At its end, sends what is deferred once that has grown past the flush
// threshold (see TNetOutputQueue::DeferredFlushBytes); create it before taking any lock, so that
// this flush runs unlocked.
class TNetDeferredWrites {
  public:
    TNetDeferredWrites();
    ~TNetDeferredWrites();
    TNetDeferredWrites(const TNetDeferredWrites&) = delete;
    TNetDeferredWrites& operator=(const TNetDeferredWrites&) = delete;
};

// Hands this thread's writes to the flusher for its lifetime (see TNetOutputQueue).
class TNetHandOffWrites {
  public:
    TNetHandOffWrites();
    ~TNetHandOffWrites();
    TNetHandOffWrites(const TNetHandOffWrites&) = delete;
    TNetHandOffWrites& operator=(const TNetHandOffWrites&) = delete;
};

// The one frame-wide thread that sends queued output. The socket layer starts it with the
// first networking object and stops (joins) it when the last one is gone.
class TNetFlusher {
  public:
    static TNetFlusher& Instance();
    ~TNetFlusher();

    void Start();
    void Stop();

    // Asks for one Flush of the queue when its socket can take bytes (one-shot).
    // Called with the queue's mutex held.
    void Watch(TNetOutputQueue& queue, int fd, std::uint64_t& id, bool& watched);
    // Leaves the epoll set and the registry; called with the queue's mutex held.
    void Forget(int fd, std::uint64_t id, bool watched);
    // Asks for one Flush of the queue soon, without waiting for writability; called with
    // the queue's mutex held.
    void Ready(TNetOutputQueue& queue);

  private:
    TNetFlusher() = default;
    void Run();
    std::shared_ptr<TNetOutputQueue> Find(std::uint64_t id);

    std::mutex registryMutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<TNetOutputQueue>> queues_;  // registryMutex_
    std::uint64_t nextId_ = 1;  // guarded by registryMutex_
    std::mutex readyMutex_;     // taken after a queue's mutex, never before
    std::vector<std::shared_ptr<TNetOutputQueue>> ready_;  // guarded by readyMutex_
    std::atomic<bool> stopping_{false};
    // Written only by Start/Stop, which the socket layer serialises and which never overlap
    // a Watch: both happen while no networking object is alive.
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};
