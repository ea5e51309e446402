// Base of the frame's threads: a platform thread with a modest stack (256 KiB, so that
// thousands fit), created suspended, started once, asked to end by Stop(), and joined by
// its owner. Start/Stop/TerminateAndWait may be called from any thread; the virtual steps
// run on the thread itself.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

class TNetThread {
  public:
    static constexpr std::size_t StackSize = 256 * 1024;

    explicit TNetThread(bool createSuspended);
    virtual ~TNetThread();  // joins the platform thread if it was started and not yet joined
    TNetThread(const TNetThread&) = delete;
    TNetThread& operator=(const TNetThread&) = delete;

    void Start();             // if stopped: clear Stopped and run (first call creates the thread)
    void Stop();              // ask the thread to end; sets Stopped
    void TerminateAndWait();  // Stop(), then wait until the body has returned
    bool Stopped() const;     // Stopped flag set or asked to end
    bool Terminated() const;  // asked to end
    bool Finished() const;    // the body has returned
    bool IsCurrentThread() const;
    void Join();  // waits for the platform thread; no-op if never started or joined

    std::string FailureMessage() const;
    std::function<void(TNetThread&, const std::exception&)> OnFailure;

  protected:
    virtual void RunStep() = 0;
    virtual void BeforeRunStep() {}
    virtual void AfterRunStep() {}

  private:
    static void* Entry(void* self);
    void Body();

    mutable std::mutex mutex_;
    std::mutex joinMutex_;  // held across pthread_join, so two joiners cannot both join
    std::condition_variable finishedCv_;
    pthread_t thread_{};     // guarded by mutex_
    bool created_ = false;   // guarded by mutex_
    bool joined_ = false;    // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
    std::atomic<bool> stopped_;
    std::atomic<bool> terminated_{false};
    std::string failureMessage_;  // guarded by mutex_
};
