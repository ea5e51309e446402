// The changes of the local shown server on their way to its listeners: the console model
// publishes each change here as it applies it (under its state lock, on any thread), and
// the UI thread takes them, in that order, to hand them to the listeners. Changes are kept
// only while at least one listener is subscribed.
//
// Locks: the journal's mutex is a leaf, taken under the lobby-list lock and the console's
// state lock; nothing is called while it is held except the wake function, which only
// posts and never waits.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "ShownServer.h"

class TShownJournal {
  public:
    struct TEntry {
        std::uint64_t Seq;  // the change's place in the server's order, from 1
        TShownEvent Event;
    };

    // wake is called when a change arrives to an empty journal: it posts one Take to the
    // UI thread. Any thread, under the locks above; it must not wait.
    explicit TShownJournal(std::function<void()> wake) : wake_(std::move(wake)) {}
    TShownJournal(const TShownJournal&) = delete;
    TShownJournal& operator=(const TShownJournal&) = delete;

    // Any thread.
    void Publish(TShownEvent&& event);
    // A listener subscribes: changes are kept from now on. Returns the place of the last
    // change before now; the caller holds the locks that make it the snapshot's moment.
    std::uint64_t Open();
    // A listener went; with none left, changes are no longer kept.
    void Close();
    // The changes kept since the last Take, in order.
    std::vector<TEntry> Take();

  private:
    const std::function<void()> wake_;
    std::mutex mutex_;  // a leaf lock; guards the members below
    std::uint64_t seq_ = 0;
    int listeners_ = 0;
    std::vector<TEntry> waiting_;
};
