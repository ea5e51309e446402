// The console's disk writer: one thread that runs the file writes handed to it (log files
// of the auto-save, problem reports), one at a time and in the order they were handed
// over, so that a thread holding the chat core's lock or the console's state lock never
// waits on the disk. Post from any thread, under any lock: it only queues. Drain and the
// destructor wait for the jobs: call them holding no lock that a job takes.
//
// The queue is bounded by back-pressure, and nothing is dropped: Post never waits, but a
// thread whose post leaves more than MaxQueuedBytes queued owes a wait, which it pays in
// WaitIfBehind once it holds no lock (the console calls it on each connection's thread
// after every command). A fast reporter is thus read no faster than the disk writes, and
// the queue exceeds the bound by at most one job per posting thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TDiskWriter {
  public:
    struct TOptions {
        // The bound on the bytes that queued jobs will write, the running one included.
        std::size_t MaxQueuedBytes = 1 << 20;
        // Runs each job, given the bytes queued as it starts (itself included). Empty: the
        // job is called. Tests make the disk slow here.
        std::function<void(const std::function<void()>& job, std::size_t queuedBytes)> Run;
    };

    TDiskWriter();
    explicit TDiskWriter(TOptions options);
    // Runs what is still queued, then joins the thread.
    ~TDiskWriter();
    TDiskWriter(const TDiskWriter&) = delete;
    TDiskWriter& operator=(const TDiskWriter&) = delete;

    // Queues a job that will write about `bytes`; jobs must not throw, and must not Drain.
    // Never waits.
    void Post(std::function<void()> job, std::size_t bytes = 0);
    // Holding no lock: when this thread's posts took the queue past the bound, waits until
    // it is back within it, or until keepWaiting (asked every 100 ms) says false; returns
    // at once otherwise.
    void WaitIfBehind(const std::function<bool()>& keepWaiting = {});
    // Waits until every job posted before the call has run.
    void Drain();
    std::size_t QueuedBytes() const;

  private:
    struct TJob {
        std::function<void()> Run;
        std::size_t Bytes;
    };
    void Run();

    const TOptions options_;
    mutable std::mutex mutex_;  // a leaf lock: jobs run without it
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<TJob> jobs_;        // guarded by mutex_
    std::size_t queuedBytes_ = 0;  // guarded by mutex_: of jobs_ and the running job
    std::uint64_t posted_ = 0;     // guarded by mutex_
    std::uint64_t finished_ = 0;   // guarded by mutex_
    bool stopping_ = false;        // guarded by mutex_
    std::thread thread_;           // started last, joined by the destructor
};
