// The console's disk writer: one thread that runs the file writes handed to it (log files
// of the auto-save, problem reports), one at a time and in the order they were handed
// over, so that a thread holding the chat core's lock or the console's state lock never
// waits on the disk. Post from any thread, under any lock: it only queues. Drain and the
// destructor wait for the jobs: call them holding no lock that a job takes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TDiskWriter {
  public:
    TDiskWriter();
    // Runs what is still queued, then joins the thread.
    ~TDiskWriter();
    TDiskWriter(const TDiskWriter&) = delete;
    TDiskWriter& operator=(const TDiskWriter&) = delete;

    // Queues a job; jobs must not throw, and must not Drain.
    void Post(std::function<void()> job);
    // Waits until every job posted before the call has run.
    void Drain();

  private:
    void Run();

    std::mutex mutex_;  // a leaf lock: jobs run without it
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::function<void()>> jobs_;  // guarded by mutex_
    std::uint64_t posted_ = 0;                // guarded by mutex_
    std::uint64_t finished_ = 0;              // guarded by mutex_
    bool stopping_ = false;                   // guarded by mutex_
    std::thread thread_;                      // started last, joined by the destructor
};
