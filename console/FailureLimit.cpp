#include "FailureLimit.h"

namespace {

// Records beyond this many addresses are swept of expired ones before a new one is added.
constexpr std::size_t RecordsBeforePrune = 256;

}  // namespace

TFailureLimit::TVerdict TFailureLimit::Attempt(const std::string& address,
                                               const std::function<bool()>& check) {
    const Clock::time_point now = Now();
    std::lock_guard lock(mutex_);
    auto found = records_.find(address);
    if (found != records_.end() && now < found->second.LockedUntil) return TVerdict::LockedOut;
    if (check()) return TVerdict::Passed;

    if (found == records_.end()) {
        if (records_.size() >= RecordsBeforePrune) Prune(now);
        found = records_.emplace(address, TRecord{}).first;
    }
    std::deque<Clock::time_point>& failures = found->second.Failures;
    while (!failures.empty() && now - failures.front() >= rule_.Window) failures.pop_front();
    failures.push_back(now);
    if (static_cast<int>(failures.size()) < rule_.MaxFailures) return TVerdict::Failed;

    failures.clear();
    found->second.LockedUntil = now + rule_.LockOutTime;
    return TVerdict::FailedNowLockedOut;
}

// Forgets addresses that are neither locked out nor have a failure that still counts, so
// that attempts from ever new addresses cannot grow the record without bound.
void TFailureLimit::Prune(Clock::time_point now) {
    std::erase_if(records_, [this, now](const auto& entry) {
        const TRecord& record = entry.second;
        const bool counting =
            !record.Failures.empty() && now - record.Failures.back() < rule_.Window;
        return !counting && now >= record.LockedUntil;
    });
}
