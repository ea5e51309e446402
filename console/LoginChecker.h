// The admin endpoint's login checks, on a thread of their own: a yescrypt hash takes tens of
// milliseconds, which the UI thread (where the endpoint runs) must not spend. Each check
// reads operators.ini afresh and runs under the failed-login limit. The UI thread submits a
// check and later takes the outcomes; the thread wakes it through a function that posts.
//
// Threads: Submit and TakeOutcomes on the UI thread (the owner); the checker thread runs
// the checks. The object owns its thread and joins it in its destructor. Its mutex is a
// leaf; the wake function is called without it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FailureLimit.h"
#include "OperatorAccounts.h"

// The outcome of a login check under the failed-login limit.
struct TLoginOutcome {
    TFailureLimit::TVerdict Verdict = TFailureLimit::TVerdict::Failed;
    std::optional<TOperatorRole> Role;  // when Passed
};

class TLoginChecker {
  public:
    // accountsDir holds operators.ini; wake posts one TakeOutcomes to the owner's thread
    // and must not wait.
    TLoginChecker(std::string accountsDir, TFailureLimit::TRule rule, std::function<void()> wake);
    ~TLoginChecker();
    TLoginChecker(const TLoginChecker&) = delete;
    TLoginChecker& operator=(const TLoginChecker&) = delete;

    // Queues a check; its outcome comes from TakeOutcomes under the returned number.
    std::uint64_t Submit(std::string address, std::string user, std::string password);
    // The outcomes finished since the last call, in the order submitted.
    std::vector<std::pair<std::uint64_t, TLoginOutcome>> TakeOutcomes();

  private:
    struct TJob {
        std::uint64_t Number;
        std::string Address, User, Password;
    };
    void Run();
    TLoginOutcome Check(const TJob& job);

    const std::string accountsDir_;
    const std::function<void()> wake_;
    TFailureLimit limit_;

    std::mutex mutex_;  // a leaf; guards the members below
    std::condition_variable jobReady_;
    std::deque<TJob> jobs_;
    std::vector<std::pair<std::uint64_t, TLoginOutcome>> outcomes_;
    std::uint64_t lastNumber_ = 0;
    bool stopping_ = false;

    std::thread thread_;  // last: started when everything above exists
};
