// The frame's flusher threads, private to the frame: sender 3 of net/NetFanOut.h, for
// what sockets refused once those drain and what wide fan-outs hand over. One thread per
// core (at most
// MaxThreads), each owning the queues whose key falls to it, so sends spread over the
// cores while each queue is always flushed by the same thread. The socket layer starts
// them with the first networking object and stops (joins) them with the last one.
//
// Handed-over queues go out in passes: a thread takes everything handed to it since its
// last pass and sends each queue once. A pass has a number, and a fan-out that handed
// queues over may wait for the pass that sends them (WaitFor). A pass may wait
// GatherDelay for more lines first (net/NetFanOut.h, sender 3).
//
// Watch, Forget, Ready and TrimLater are called with the queue's lock held (the queue's
// lock comes before the flushers' own locks); WaitFor with no lock held.
//
// A flusher thread waits in epoll_pwait2 (timeouts finer than a millisecond); where the
// kernel lacks it or a seccomp profile forbids it (ENOSYS, EPERM) the thread uses
// epoll_wait from then on. A flusher thread that cannot wait at all would leave every
// wide sender waiting for ever: it writes why to standard error and ends the program.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <csignal>
#include <ctime>

struct epoll_event;
class TNetBroadcast;
class TNetOutputQueue;

// A flusher pass: the thread and the number of its pass.
struct TNetFlushTicket {
    std::size_t thread = 0;
    std::uint64_t pass = 0;
};

class TNetFlusher {
  public:
    static constexpr std::size_t MaxThreads = 4;

    static TNetFlusher& Instance();
    ~TNetFlusher();

    void Start();
    void Stop();
    std::size_t ThreadCount() const { return shards_.size(); }

    // Gives the queue its key on first use (0 means none yet).
    void Register(TNetOutputQueue& queue, std::uint64_t& id);
    // Asks for one Flush of the queue when its socket can take bytes (one-shot).
    void Watch(int fd, std::uint64_t id, bool& watched);
    // Leaves the epoll set and the registry.
    void Forget(int fd, std::uint64_t id, bool watched);
    // Asks for one Flush of the queue in the next pass of its thread; `gather` lets that
    // pass wait GatherDelay for more.
    TNetFlushTicket Ready(TNetOutputQueue& queue, std::uint64_t id, bool gather);
    // Asks every thread for one walk of the stream's subscribers in its next pass
    // (net/NetBroadcast.h); `gather` as for Ready. Sets the ticket of each thread's pass.
    void ReadyStream(TNetBroadcast& stream, bool gather, std::vector<TNetFlushTicket>& tickets);
    // Returns once the ticket's pass has ended (or the flushers stopped).
    void WaitFor(const TNetFlushTicket& ticket);
    // Asks for one Trim of the queue once TrimDelay has passed.
    void TrimLater(TNetOutputQueue& queue, std::uint64_t id);

    // The call the flusher threads wait with, epoll_pwait2's signature; tests replace it to
    // see the fall-back and the failure. Read before every wait; any thread, any time.
    using TWaitCall = int (*)(int epfd, epoll_event* events, int maxEvents, const timespec* timeout,
                              const sigset_t* sigmask);
    static void SetWaitCall(TWaitCall call);
    static TWaitCall DefaultWaitCall();

    // How long a drained queue keeps its buffers before its flusher gives them back: long
    // enough to span the rounds of a busy sender, short enough that a burst's peak is
    // not held by idle connections.
    static constexpr std::chrono::milliseconds TrimDelay{250};
    // How long handed-over lines wait for others to share their sends; far below what a
    // player notices in chat.
    static constexpr std::chrono::milliseconds GatherDelay{20};

  private:
    struct TShard {
        std::mutex registryMutex;
        std::unordered_map<std::uint64_t, std::shared_ptr<TNetOutputQueue>> queues;
        std::mutex
            readyMutex;  // guards ready, streams, gather, passStarted, passDone, waiters, trim…
        std::condition_variable passEnded;
        std::vector<std::shared_ptr<TNetOutputQueue>> ready;
        std::vector<std::shared_ptr<TNetBroadcast>> streams;  // guarded by readyMutex
        bool gather = false;  // a hand-over in `ready` lets the pass wait
        std::uint64_t passStarted = 0;
        std::uint64_t passDone = 0;
        int waiters = 0;
        std::vector<std::shared_ptr<TNetOutputQueue>> trim;  // guarded by readyMutex
        std::chrono::steady_clock::time_point trimDue;       // guarded by readyMutex
        int epollFd = -1;
        int wakeFd = -1;
        std::thread thread;
        std::size_t index = 0;
    };

    TNetFlusher() = default;
    TShard& ShardOf(std::uint64_t id) { return *shards_[id % shards_.size()]; }
    void Run(TShard& shard);
    // One wait of a flusher thread; falls back to epoll_wait for good once `pwait2` fails
    // with ENOSYS or EPERM.
    static int Wait(TShard& shard, epoll_event* events, int maxEvents,
                    std::chrono::steady_clock::time_point due, bool& pwait2);
    bool RunPass(TShard& shard);
    // The pass should start now: a fan-out waits for it, or none of its hand-overs gathers.
    static bool PassNow(TShard& shard);
    // Trims the listed queues once they are due; returns when the next ones are.
    static std::chrono::steady_clock::time_point RunTrim(TShard& shard);
    static std::shared_ptr<TNetOutputQueue> Find(TShard& shard, std::uint64_t id);
    static void Wake(TShard& shard);

    // Written only by Start/Stop, which the socket layer serialises and which never
    // overlap other calls: both happen while no networking object is alive.
    std::vector<std::unique_ptr<TShard>> shards_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> nextId_{1};
};
