#include "LoginChecker.h"

#include <utility>

TLoginChecker::TLoginChecker(std::string accountsDir, TFailureLimit::TRule rule,
                             std::function<void()> wake)
    : accountsDir_(std::move(accountsDir)),
      wake_(std::move(wake)),
      limit_(rule),
      thread_([this] { Run(); }) {}

TLoginChecker::~TLoginChecker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobReady_.notify_all();
    thread_.join();
}

std::uint64_t TLoginChecker::Submit(std::string address, std::string user, std::string password) {
    std::uint64_t number;
    {
        std::lock_guard lock(mutex_);
        number = ++lastNumber_;
        jobs_.push_back({number, std::move(address), std::move(user), std::move(password)});
    }
    jobReady_.notify_one();
    return number;
}

std::vector<std::pair<std::uint64_t, TLoginOutcome>> TLoginChecker::TakeOutcomes() {
    std::lock_guard lock(mutex_);
    return std::exchange(outcomes_, {});
}

void TLoginChecker::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        const TJob job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        const TLoginOutcome outcome = Check(job);
        lock.lock();
        const bool first = outcomes_.empty();
        outcomes_.emplace_back(job.Number, outcome);
        if (first) {
            // One wake per batch, posted without the lock.
            lock.unlock();
            wake_();
            lock.lock();
        }
    }
}

// Reads operators.ini afresh, so a changed password counts at once; an unreadable file
// lets nobody in.
TLoginOutcome TLoginChecker::Check(const TJob& job) {
    TLoginOutcome outcome;
    outcome.Verdict = limit_.Attempt(job.Address, [&] {
        try {
            outcome.Role = TOperatorAccounts::InDir(accountsDir_).Verify(job.User, job.Password);
        } catch (const std::exception&) {
            outcome.Role.reset();
        }
        return outcome.Role.has_value();
    });
    return outcome;
}
