// A connection's allowance of commands, as a token bucket: up to `burst` commands at
// once, then `rate` a second for as long as the client likes. A command past the
// allowance is not refused; Take says how long the connection must wait before it runs,
// and meanwhile its thread reads nothing more, so the client's own TCP window pushes back
// and no line is lost. Owned and used by one connection's thread only.
#pragma once

#include <algorithm>
#include <chrono>

class TFloodGate {
  public:
    using Clock = std::chrono::steady_clock;

    // Takes one command's token at `now`; returns how long the command must wait (zero:
    // it may run at once). A rate or burst of 0 or less turns the limit off.
    Clock::duration Take(int rate, int burst, Clock::time_point now) {
        if (rate <= 0 || burst <= 0) {
            full_ = true;
            return Clock::duration::zero();
        }
        if (full_) {
            tokens_ = burst;
            full_ = false;
        } else {
            const double elapsed = std::chrono::duration<double>(now - last_).count();
            tokens_ = std::min<double>(burst, tokens_ + elapsed * rate);
        }
        last_ = now;
        // Below zero is a debt that the wait pays back: the command runs when the bucket
        // has refilled to where it stands, so waiting and refilling never count twice.
        tokens_ -= 1.0;
        if (tokens_ >= 0.0) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(-tokens_ / rate));
    }

  private:
    bool full_ = true;  // untouched, or the limit was off: the next Take starts full
    double tokens_ = 0.0;
    Clock::time_point last_{};
};
