// Echoes log lines to a descriptor (the headless program's standard output) from a
// writer thread of its own, so that a slow or unread output never stalls the threads
// that log. Push may be called from any thread, under any lock: it only queues. When more
// than MaxQueuedBytes wait, new lines are dropped and counted; the first line accepted
// again is preceded by a line saying how many were missed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class TLogEcho {
  public:
    static constexpr std::size_t MaxQueuedBytes = 1024 * 1024;

    // Writes to fd, which stays the caller's.
    explicit TLogEcho(int fd);
    // Writes what is queued for at most DrainWait, then abandons the rest and joins the
    // writer: it only writes when the output can take the bytes, so it always returns.
    ~TLogEcho();
    TLogEcho(const TLogEcho&) = delete;
    TLogEcho& operator=(const TLogEcho&) = delete;

    void Push(const std::string& line);
    std::size_t Dropped() const;

  private:
    void Run();
    bool WriteAll(const std::string& text);

    const int fd_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<std::string> lines_;     // guarded by mutex_
    std::size_t queuedBytes_ = 0;       // guarded by mutex_
    std::size_t dropped_ = 0;           // guarded by mutex_; dropped since the last accepted line
    std::size_t droppedTotal_ = 0;      // guarded by mutex_
    bool writing_ = false;              // guarded by mutex_; the writer holds a batch
    bool stop_ = false;                 // guarded by mutex_
    std::atomic<bool> abandon_{false};  // set at destruction once DrainWait has passed
    std::thread writer_;
};
