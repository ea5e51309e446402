// The limit on guessing a secret from one address: the code words of the chat connections
// and the admin endpoint's passwords both use it. The MaxFailures-th failure within Window
// locks the address out for LockOutTime: every attempt from it is then refused without
// being checked, right or wrong. A success does not wipe earlier failures. Any thread.
//
// Locks: its mutex is held across the check itself, so that concurrent attempts from one
// address cannot slip more than MaxFailures failures past the limit. The check must
// therefore take no lock of the program's lock table; nothing else is called under it.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

class TFailureLimit {
  public:
    using Clock = std::chrono::steady_clock;

    struct TRule {
        int MaxFailures = 3;
        std::chrono::minutes Window{10};
        std::chrono::minutes LockOutTime{10};
    };

    enum class TVerdict {
        LockedOut,           // refused unchecked: the address is locked out
        Passed,              // checked and right
        Failed,              // checked and wrong
        FailedNowLockedOut,  // checked, wrong, and this failure locked the address out
    };

    // now: the clock (tests move it); empty means Clock::now.
    explicit TFailureLimit(TRule rule, std::function<Clock::time_point()> now = {})
        : rule_(rule), now_(std::move(now)) {}
    TFailureLimit(const TFailureLimit&) = delete;
    TFailureLimit& operator=(const TFailureLimit&) = delete;

    // Runs check unless the address is locked out, and records a failure.
    TVerdict Attempt(const std::string& address, const std::function<bool()>& check);

  private:
    struct TRecord {
        std::deque<Clock::time_point> Failures;  // the latest, at most MaxFailures
        Clock::time_point LockedUntil{};         // attempts refused while now is before
    };
    Clock::time_point Now() const { return now_ ? now_() : Clock::now(); }
    void Prune(Clock::time_point now);

    const TRule rule_;
    const std::function<Clock::time_point()> now_;
    std::mutex mutex_;                                  // a leaf; guards records_
    std::unordered_map<std::string, TRecord> records_;  // by address
};
