#include "LogEcho.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include <cerrno>
#include <chrono>

namespace {

constexpr auto DrainWait = std::chrono::seconds(2);
constexpr int PollMs = 100;

}  // namespace

TLogEcho::TLogEcho(int fd) : fd_(fd), writer_([this] { Run(); }) {}

TLogEcho::~TLogEcho() {
    {
        std::unique_lock lock(mutex_);
        drained_.wait_for(lock, DrainWait, [this] { return lines_.empty() && !writing_; });
        stop_ = true;
    }
    abandon_ = true;
    wake_.notify_all();
    writer_.join();
}

void TLogEcho::Push(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (queuedBytes_ + line.size() + 1 > MaxQueuedBytes) {
            ++dropped_;
            ++droppedTotal_;
            return;
        }
        // The gap is reported where it happened, before the first line after it.
        if (dropped_ > 0) {
            lines_.push_back("(" + std::to_string(dropped_) +
                             " log lines not echoed: output too slow)");
            queuedBytes_ += lines_.back().size() + 1;
            dropped_ = 0;
        }
        lines_.push_back(line);
        queuedBytes_ += line.size() + 1;
    }
    wake_.notify_one();
}

std::size_t TLogEcho::Dropped() const {
    std::lock_guard lock(mutex_);
    return droppedTotal_;
}

// Writes only what the output can take at once: a pipe that is ready takes PIPE_BUF
// bytes without blocking, so the writer notices abandon_ within one poll period even
// when nobody reads the output.
bool TLogEcho::WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        if (abandon_) return false;
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, PollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
        const std::size_t chunk = std::min<std::size_t>(PIPE_BUF, text.size() - done);
        const ssize_t n = ::write(fd_, text.data() + done, chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void TLogEcho::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !lines_.empty(); });
        if (lines_.empty()) return;  // stopping, and everything is written
        std::string batch;
        for (const std::string& line : lines_) batch.append(line).append("\n");
        lines_.clear();
        queuedBytes_ = 0;
        writing_ = true;
        lock.unlock();
        // A closed or broken output ends the echo; the log itself goes on.
        const bool written = WriteAll(batch);
        lock.lock();
        writing_ = false;
        drained_.notify_all();
        if (!written) {
            stop_ = true;
            lines_.clear();
            queuedBytes_ = 0;
            return;
        }
    }
}
