#include "ShownJournal.h"

#include <utility>

void TShownJournal::Publish(TShownEvent&& event) {
    std::lock_guard lock(mutex_);
    ++seq_;
    if (listeners_ == 0) return;
    waiting_.push_back({seq_, std::move(event)});
    // One post per batch: a registration storm costs the UI thread one wake per drain.
    if (waiting_.size() == 1 && wake_) wake_();
}

std::uint64_t TShownJournal::Open() {
    std::lock_guard lock(mutex_);
    ++listeners_;
    return seq_;
}

void TShownJournal::Close() {
    std::lock_guard lock(mutex_);
    if (listeners_ > 0) --listeners_;
    if (listeners_ == 0) waiting_.clear();
}

std::vector<TShownJournal::TEntry> TShownJournal::Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(waiting_, {});
}
