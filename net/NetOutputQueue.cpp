#include "NetOutputQueue.h"
#include "NetMetrics.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr int SendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
// A drained buffer that grew beyond this is given back, so a burst does not leave every
// idle connection holding its peak: with thousands of connections the kept capacity would
// outweigh everything else a connection holds. A queue that a flusher knows is given back
// by its flusher once it has stayed drained for a while (TNetFlusher::TrimLater): a
// queue that drains between the flushes of a busy sender would otherwise be freed by
// the flusher and grown again by the sender every round, and the two threads would meet
// on the allocator's lock for every recipient.
constexpr std::size_t KeepCapacity = 512;

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

void Shrink(std::string& buffer) {
    if (buffer.empty() && buffer.capacity() > KeepCapacity) std::string().swap(buffer);
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
    TLock lock(mutex_);
    if (closed_ || fd_ < 0) return TWriteResult::Closed;
    if (failed_) return TWriteResult::Failed;
    buffer_.append(data, count);
    if (armed_) {
        // A flusher sends when the socket drains.
        if (PendingLocked() > maxQueued_) FailLocked();
    } else {
        SendLocked(lock);
    }
    return failed_ ? TWriteResult::Failed : TWriteResult::Queued;
}

void TNetOutputQueue::Send() {
    TLock lock(mutex_);
    if (!UsableLocked() || armed_ || handedOff_) return;
    SendLocked(lock);
}

void TNetOutputQueue::SendLocked(TLock& lock) {
    if (sending_) return;
    sending_ = true;
    for (;;) {
        if (outSent_ == out_.size()) {
            out_.clear();
            outSent_ = 0;
            out_.swap(buffer_);
        }
        if (out_.empty() || !UsableLocked()) break;
        const char* data = out_.data() + outSent_;
        const std::size_t count = out_.size() - outSent_;
        const int fd = fd_;
        lock.unlock();
        const ssize_t n = ::send(fd, data, count, SendFlags);
        const int err = errno;
        lock.lock();
        if (n < 0 && !WouldBlock(err)) {
            failed_ = true;
            break;
        }
        if (n > 0) outSent_ += static_cast<std::size_t>(n);
        if (n > 0) NetMetrics().BytesSent.Add(static_cast<std::uint64_t>(n));
        if (n < static_cast<ssize_t>(count)) break;  // the socket is full
    }
    sending_ = false;
    sendEnded_.notify_all();
    AfterSendLocked();
}

void TNetOutputQueue::AfterSendLocked() {
    if (closed_) return;
    if (failed_) {
        FailLocked();
        return;
    }
    if (PendingLocked() == 0) {
        lagging_ = false;
        ReleaseBuffersLocked();
        return;
    }
    if (PendingLocked() > maxQueued_) {
        FailLocked();
        return;
    }
    ArmLocked();
}

// Wakes the connection's reader: it sees the end of the stream and the connection ends
// like a lost one. The connection itself may already be gone. A send under way keeps
// out_ until it is over and frees it then.
void TNetOutputQueue::FailLocked() {
    failed_ = true;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (!sending_) ReleaseBuffersLocked();
}

void TNetOutputQueue::ReleaseBuffersLocked() {
    if (failed_ || closed_) {
        std::string().swap(out_);
        std::string().swap(buffer_);
        outSent_ = 0;
        return;
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
    if (out_.capacity() <= KeepCapacity && buffer_.capacity() <= KeepCapacity) return;
    if (id_ == 0) {
        Shrink(out_);
        Shrink(buffer_);
        return;
    }
    if (trimListed_) return;
    trimListed_ = true;
    TNetFlusher::Instance().TrimLater(*this, id_);
}

void TNetOutputQueue::Trim() {
    std::lock_guard lock(mutex_);
    trimListed_ = false;
    // Busy again: its next drain lists it again.
    if (sending_ || PendingLocked() != 0 || closed_ || failed_) return;
    Shrink(out_);
    Shrink(buffer_);
}

void TNetOutputQueue::ArmLocked() {
    if (armed_) return;
    TNetFlusher& flusher = TNetFlusher::Instance();
    flusher.Register(*this, id_);
    flusher.Watch(fd_, id_, watched_);
    armed_ = watched_;
}

void TNetOutputQueue::AppendReplyLocked(TLock& lock, std::string_view& reply, std::size_t room) {
    if (!armed_) SendLocked(lock);
    if (!UsableLocked()) return;
    const std::size_t waiting = PendingLocked();
    if (waiting >= room || reply.empty()) return;
    // Whole lines only: other threads append between the pieces.
    std::size_t take = std::min(reply.size(), room - waiting);
    if (take < reply.size()) {
        const auto end = reply.rfind('\n', take - 1);
        take = end == std::string_view::npos ? reply.find('\n') : end;
        take = take == std::string_view::npos ? reply.size() : take + 1;
    }
    buffer_.append(reply.data(), take);
    reply.remove_prefix(take);
    if (!armed_) SendLocked(lock);
}

void TNetOutputQueue::AppendReply(std::string_view& reply, std::size_t room) {
    TLock lock(mutex_);
    if (UsableLocked()) AppendReplyLocked(lock, reply, room);
}

bool TNetOutputQueue::SendReply(std::string_view reply, std::size_t room,
                                std::chrono::milliseconds stall) {
    auto deadline = Clock::now() + stall;
    TLock lock(mutex_);
    while (!reply.empty()) {
        if (!UsableLocked()) return false;
        const std::size_t before = reply.size();
        AppendReplyLocked(lock, reply, room);
        if (!UsableLocked()) return false;
        if (reply.size() < before) {
            deadline = Clock::now() + stall;
            continue;
        }
        // The socket is full: wait for it without the lock. The descriptor stays open
        // while this thread runs, since it is this connection's own.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            FailLocked();
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        lock.unlock();
        ::poll(&p, 1, static_cast<int>(left.count()));
        lock.lock();
        if (!UsableLocked()) return false;
        const std::size_t pending = PendingLocked();
        SendLocked(lock);
        if (PendingLocked() < pending) deadline = Clock::now() + stall;
    }
    return true;
}

bool TNetOutputQueue::Behind(std::size_t mark) const {
    std::lock_guard lock(mutex_);
    return UsableLocked() && armed_ && !lagging_ && PendingLocked() > mark;
}

void TNetOutputQueue::WaitForReader(std::chrono::milliseconds wait) {
    TLock lock(mutex_);
    if (!UsableLocked()) return;
    // Another connection's descriptor: it may be closed meanwhile, and its number even
    // reused; the poll only decides when to look again, and the send below happens on a
    // queue that is still open.
    pollfd p{fd_, POLLOUT, 0};
    lock.unlock();
    ::poll(&p, 1, static_cast<int>(wait.count()));
    lock.lock();
    if (UsableLocked()) SendLocked(lock);
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
    TLock lock(mutex_);
    handedOff_ = false;
    armed_ = false;
    if (UsableLocked()) SendLocked(lock);
}

void TNetOutputQueue::Close() {
    TLock lock(mutex_);
    if (closed_) return;
    sendEnded_.wait(lock, [this] { return !sending_; });
    closed_ = true;
    if (fd_ >= 0 && !failed_) {
        out_.erase(0, outSent_);
        out_ += buffer_;
        if (!out_.empty()) {
            const ssize_t n = ::send(fd_, out_.data(), out_.size(), SendFlags);
            if (n > 0) NetMetrics().BytesSent.Add(static_cast<std::uint64_t>(n));
        }
    }
    if (id_ != 0) TNetFlusher::Instance().Forget(fd_, id_, watched_);
    watched_ = false;
    ReleaseBuffersLocked();
}

bool TNetOutputQueue::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::size_t TNetOutputQueue::Size() const {
    std::lock_guard lock(mutex_);
    return PendingLocked();
}
