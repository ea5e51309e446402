#include "NetOutputQueue.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int SendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
// A drained buffer that grew beyond this is given back, so a burst does not leave every
// idle connection holding its peak: with thousands of connections the kept capacity would
// outweigh everything else a connection holds, and a fresh allocation costs far less
// than the send that drained it.
constexpr std::size_t KeepCapacity = 512;

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

void TNetOutputQueue::Attach(int fd) {
    std::lock_guard lock(mutex_);
    fd_ = fd;
}

TNetOutputQueue::TWriteResult TNetOutputQueue::Append(const char* data, std::size_t count,
                                                      std::uint64_t batch, bool& first) {
    std::lock_guard lock(mutex_);
    if (closed_ || fd_ < 0) return TWriteResult::Closed;
    if (failed_) return TWriteResult::Failed;
    buffer_.append(data, count);
    first = batch != 0 && batch_ != batch;
    if (batch != 0) batch_ = batch;
    // The socket refuses bytes already: these would be refused too.
    if (armed_ && PendingLocked() > maxQueued_) {
        FailLocked();
        return TWriteResult::Failed;
    }
    return TWriteResult::Queued;
}

TNetOutputQueue::TWriteResult TNetOutputQueue::Write(const char* data, std::size_t count) {
    std::lock_guard lock(mutex_);
    if (closed_ || fd_ < 0) return TWriteResult::Closed;
    if (failed_) return TWriteResult::Failed;
    buffer_.append(data, count);
    if (armed_) {
        // A flusher sends when the socket drains.
        if (PendingLocked() > maxQueued_) FailLocked();
    } else {
        SendLocked();
    }
    return failed_ ? TWriteResult::Failed : TWriteResult::Queued;
}

void TNetOutputQueue::Send() {
    std::lock_guard lock(mutex_);
    if (!UsableLocked() || armed_ || handedOff_) return;
    SendLocked();
}

void TNetOutputQueue::SendLocked() {
    if (PendingLocked() == 0) return;
    const ssize_t n = ::send(fd_, buffer_.data() + sent_, PendingLocked(), SendFlags);
    if (n < 0 && !WouldBlock(errno)) {
        FailLocked();
        return;
    }
    if (n > 0) {
        sent_ += static_cast<std::size_t>(n);
        lastTaken_ = Clock::now();
        DropSentLocked();
    }
    if (PendingLocked() == 0) {
        lagging_ = false;
        return;
    }
    if (PendingLocked() > maxQueued_) {
        FailLocked();
        return;
    }
    ArmLocked();
}

// Wakes the connection's reader: it sees the end of the stream and the connection ends
// like a lost one. The connection itself may already be gone.
void TNetOutputQueue::FailLocked() {
    failed_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    std::string().swap(buffer_);
    sent_ = 0;
}

void TNetOutputQueue::ArmLocked() {
    if (armed_) return;
    TNetFlusher& flusher = TNetFlusher::Instance();
    flusher.Register(*this, id_);
    flusher.Watch(fd_, id_, watched_);
    armed_ = watched_;
}

void TNetOutputQueue::AppendReplyLocked(std::string_view& reply, std::size_t room) {
    if (!armed_) SendLocked();
    const std::size_t waiting = PendingLocked();
    if (failed_ || waiting >= room || reply.empty()) return;
    // Whole lines only: other threads append between the pieces.
    std::size_t take = std::min(reply.size(), room - waiting);
    if (take < reply.size()) {
        const auto end = reply.rfind('\n', take - 1);
        take = end == std::string_view::npos ? reply.find('\n') : end;
        take = take == std::string_view::npos ? reply.size() : take + 1;
    }
    buffer_.append(reply.data(), take);
    reply.remove_prefix(take);
    if (!armed_) SendLocked();
}

void TNetOutputQueue::AppendReply(std::string_view& reply, std::size_t room) {
    std::lock_guard lock(mutex_);
    if (UsableLocked()) AppendReplyLocked(reply, room);
}

bool TNetOutputQueue::SendReply(std::string_view reply, std::size_t room,
                                std::chrono::milliseconds stall) {
    auto deadline = Clock::now() + stall;
    while (!reply.empty()) {
        int fd = -1;
        {
            std::lock_guard lock(mutex_);
            if (!UsableLocked()) return false;
            const std::size_t before = reply.size();
            AppendReplyLocked(reply, room);
            if (failed_) return false;
            if (reply.size() < before) {
                deadline = Clock::now() + stall;
                continue;
            }
            fd = fd_;
        }
        // The socket is full: wait for it without any lock. The descriptor stays open
        // while this thread runs, since it is this connection's own.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            std::lock_guard lock(mutex_);
            if (UsableLocked()) FailLocked();
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return false;
        const std::size_t before = PendingLocked();
        SendLocked();
        if (PendingLocked() < before) deadline = Clock::now() + stall;
    }
    return true;
}

bool TNetOutputQueue::Behind(std::size_t mark, Clock::time_point now,
                             Clock::duration active) const {
    std::lock_guard lock(mutex_);
    return UsableLocked() && armed_ && !lagging_ && PendingLocked() > mark &&
           now - lastTaken_ < active;
}

void TNetOutputQueue::WaitForReader(std::chrono::milliseconds wait) {
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        if (!UsableLocked()) return;
        fd = fd_;
    }
    // Another connection's descriptor: it may be closed meanwhile, and its number even
    // reused; the poll only decides when to look again, and the send below happens under
    // the lock, on a queue that is still open.
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(wait.count()));
    std::lock_guard lock(mutex_);
    if (UsableLocked()) SendLocked();
}

void TNetOutputQueue::MarkLagging() {
    std::lock_guard lock(mutex_);
    lagging_ = PendingLocked() > 0;
}

bool TNetOutputQueue::HandOff(TNetFlushTicket& ticket) {
    std::lock_guard lock(mutex_);
    // Armed: the flusher sends when the socket drains.
    if (!UsableLocked() || armed_ || PendingLocked() == 0) return false;
    if (!handedOff_) {
        TNetFlusher& flusher = TNetFlusher::Instance();
        flusher.Register(*this, id_);
        ticket_ = flusher.Ready(*this, id_);
        handedOff_ = true;
    }
    ticket = ticket_;
    return true;
}

void TNetOutputQueue::Flush() {
    std::lock_guard lock(mutex_);
    handedOff_ = false;
    armed_ = false;
    if (UsableLocked()) SendLocked();
}

void TNetOutputQueue::Close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (fd_ >= 0 && !failed_ && PendingLocked() > 0) {
        [[maybe_unused]] const ssize_t n =
            ::send(fd_, buffer_.data() + sent_, PendingLocked(), SendFlags);
    }
    if (id_ != 0) TNetFlusher::Instance().Forget(fd_, id_, watched_);
    watched_ = false;
    std::string().swap(buffer_);
    sent_ = 0;
}

bool TNetOutputQueue::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::size_t TNetOutputQueue::Size() const {
    std::lock_guard lock(mutex_);
    return PendingLocked();
}

void TNetOutputQueue::DropSentLocked() {
    if (sent_ < buffer_.size()) {
        // Moving the rest to the front only once most of the buffer is sent keeps the cost
        // per byte constant.
        if (sent_ > buffer_.size() / 2) {
            buffer_.erase(0, sent_);
            sent_ = 0;
        }
        return;
    }
    buffer_.clear();
    sent_ = 0;
    if (buffer_.capacity() > KeepCapacity) std::string().swap(buffer_);
}
