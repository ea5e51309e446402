#include "NetOutputQueue.h"
#include "NetBroadcast.h"
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
// How long one poll for a reader lasts before the waiter looks at the clock again.
constexpr std::chrono::milliseconds PollSlice{5};
constexpr std::chrono::milliseconds RoomPollSlice{100};

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

void Shrink(std::string& buffer) {
    if (buffer.empty() && buffer.capacity() > KeepCapacity) std::string().swap(buffer);
}

}  // namespace

const char* TNetOutputQueue::StateName(TState state) {
    switch (state) {
        case TState::Detached:
            return "detached";
        case TState::Open:
            return "open";
        case TState::Failed:
            return "failed";
        case TState::Closed:
            return "closed";
    }
    return "?";
}

void TNetOutputQueue::Attach(int fd) {
    std::lock_guard lock(mutex_);
    if (state_ != TState::Detached) return;
    fd_ = fd;
    state_ = TState::Open;
}

void TNetOutputQueue::SetStallTime(std::chrono::milliseconds stall) {
    std::lock_guard lock(mutex_);
    stall_ = stall;
}

TNetOutputQueue::TState TNetOutputQueue::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool TNetOutputQueue::StalledLocked(Clock::time_point now, std::chrono::milliseconds stall) const {
    return armed_ && PendingLocked() > 0 && now - progressAt_ >= stall;
}

void TNetOutputQueue::BeforeAppendLocked() {
    if (PendingLocked() != 0) return;
    progressAt_ = pacedAt_ = Clock::now();
    progressBytes_ = pacedBytes_ = 0;
}

// The socket refuses bytes already: these would be refused too.
bool TNetOutputQueue::CheckAppendedLocked() {
    if (armed_ && (OverBoundLocked() || StalledLocked(Clock::now(), stall_))) {
        FailLocked();
        return false;
    }
    return true;
}

bool TNetOutputQueue::CatchUpLocked() {
    if (!stream_) return true;
    const std::uint64_t end = stream_->End();
    if (cursor_ == end) return true;
    if (!OpenLocked()) {
        cursor_ = end;
        return state_ != TState::Failed;
    }
    const std::size_t before = buffer_.size();
    // Restarting an empty queue's clocks is harmless when nothing concerns it.
    BeforeAppendLocked();
    cursor_ = stream_->CopyInto(cursor_, *this, registered_, buffer_);
    return buffer_.size() == before || CheckAppendedLocked();
}

TNetOutputQueue::TWriteResult TNetOutputQueue::Append(const char* data, std::size_t count,
                                                      std::uint64_t batch, bool& first) {
    std::lock_guard lock(mutex_);
    if (state_ == TState::Failed || !CatchUpLocked()) return TWriteResult::Failed;
    if (!OpenLocked()) return TWriteResult::Closed;
    BeforeAppendLocked();
    buffer_.append(data, count);
    first = batch != 0 && batch_ != batch;
    if (batch != 0) batch_ = batch;
    return CheckAppendedLocked() ? TWriteResult::Queued : TWriteResult::Failed;
}

TNetOutputQueue::TWriteResult TNetOutputQueue::AppendOwn(const char* data, std::size_t count) {
    std::lock_guard lock(mutex_);
    if (state_ == TState::Failed || !CatchUpLocked()) return TWriteResult::Failed;
    if (!OpenLocked()) return TWriteResult::Closed;
    BeforeAppendLocked();
    buffer_.append(data, count);
    ownPending_ += count;
    return TWriteResult::Queued;
}

TNetOutputQueue::TWriteResult TNetOutputQueue::Write(const char* data, std::size_t count) {
    TLock lock(mutex_);
    if (state_ == TState::Failed || !CatchUpLocked()) return TWriteResult::Failed;
    if (!OpenLocked()) return TWriteResult::Closed;
    BeforeAppendLocked();
    buffer_.append(data, count);
    if (armed_) {
        // A flusher sends when the socket drains.
        if (OverBoundLocked() || StalledLocked(Clock::now(), stall_)) FailLocked();
    } else {
        SendLocked(lock);
    }
    return state_ == TState::Failed ? TWriteResult::Failed : TWriteResult::Queued;
}

void TNetOutputQueue::Send() {
    TLock lock(mutex_);
    if (!OpenLocked() || armed_ || handedOff_) return;
    SendLocked(lock);
}

void TNetOutputQueue::SendLocked(TLock& lock) {
    if (!CatchUpLocked() || sending_) return;
    sending_ = true;
    for (;;) {
        if (outSent_ == out_.size()) {
            out_.clear();
            outSent_ = 0;
            out_.swap(buffer_);
        }
        if (out_.empty() || !OpenLocked()) break;
        const char* data = out_.data() + outSent_;
        const std::size_t count = out_.size() - outSent_;
        const int fd = fd_;
        lock.unlock();
        const ssize_t n = ::send(fd, data, count, SendFlags);
        const int err = errno;
        lock.lock();
        if (n < 0 && !WouldBlock(err)) {
            if (state_ == TState::Open) state_ = TState::Failed;
            break;
        }
        if (n > 0) SentLocked(static_cast<std::size_t>(n));
        if (n > 0) NetMetrics().BytesSent.Add(static_cast<std::uint64_t>(n));
        if (n < static_cast<ssize_t>(count)) break;  // the socket is full
    }
    sending_ = false;
    sendEnded_.notify_all();
    AfterSendLocked();
}

void TNetOutputQueue::SentLocked(std::size_t count) {
    outSent_ += count;
    ownPending_ -= std::min(ownPending_, count);
    progressBytes_ += count;
    pacedBytes_ += count;
    const bool drained = PendingLocked() == 0;
    if (pacedBytes_ < PaceBytes && !drained) return;
    const auto now = Clock::now();
    pacedAt_ = now;
    pacedBytes_ = 0;
    lagging_ = false;
    if (progressBytes_ < ProgressBytes && !drained) return;
    progressAt_ = now;
    progressBytes_ = 0;
}

void TNetOutputQueue::AfterSendLocked() {
    if (state_ == TState::Closed) return;
    if (state_ == TState::Failed) {
        FailLocked();
        return;
    }
    if (PendingLocked() == 0) {
        lagging_ = false;
        ReleaseBuffersLocked();
        return;
    }
    if (OverBoundLocked()) {
        FailLocked();
        return;
    }
    ArmLocked();
}

// Wakes the connection's reader: it sees the end of the stream and the connection ends
// like a lost one. The connection itself may already be gone. A send under way keeps
// out_ until it is over and frees it then.
void TNetOutputQueue::FailLocked() {
    if (state_ == TState::Closed) return;
    state_ = TState::Failed;
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (!sending_) ReleaseBuffersLocked();
}

void TNetOutputQueue::ReleaseBuffersLocked() {
    if (state_ == TState::Failed || state_ == TState::Closed) {
        std::string().swap(out_);
        std::string().swap(buffer_);
        outSent_ = 0;
        ownPending_ = 0;
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
    if (sending_ || PendingLocked() != 0 || !OpenLocked()) return;
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

// The descriptor stays open while the queue is open: it is closed only after Close, which
// waits for a send under way but not for this poll, so the poll may meet a closed (or even
// reused) number; it only decides when to look again, and the send happens on an open queue.
void TNetOutputQueue::PollAndSendLocked(TLock& lock, std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLOUT, 0};
    lock.unlock();
    ::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 0)));
    lock.lock();
    if (OpenLocked()) SendLocked(lock);
}

bool TNetOutputQueue::WaitForRoom(std::size_t room) {
    TLock lock(mutex_);
    if (OpenLocked() && !armed_) SendLocked(lock);
    while (OpenLocked() && PendingLocked() > room) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(progressAt_ + stall_ - Clock::now());
        PollAndSendLocked(lock, std::clamp(left, std::chrono::milliseconds(1), RoomPollSlice));
        // Judged only right after a send, so that a waiter that was not scheduled for a
        // while does not take its own absence for the client's.
        if (PendingLocked() > room && StalledLocked(Clock::now(), stall_)) {
            FailLocked();
            return false;
        }
    }
    return OpenLocked();
}

void TNetOutputQueue::WaitWhileBehind(std::size_t mark, std::chrono::milliseconds patience) {
    TLock lock(mutex_);
    // Not by armed_: a flusher clears it for the length of its send, and a waiter that
    // passed over the queue then would let its writer pour past the bound.
    while (OpenLocked() && !lagging_ && PendingLocked() > mark) {
        PollAndSendLocked(lock, PollSlice);
        // Judged right after a send, as in WaitForRoom.
        if (PendingLocked() > mark && Clock::now() - pacedAt_ >= patience) {
            lagging_ = true;
            return;
        }
    }
}

bool TNetOutputQueue::HandOff(TNetFlushTicket& ticket, bool gather) {
    std::lock_guard lock(mutex_);
    // Armed: the flusher sends when the socket drains.
    if (!OpenLocked() || armed_ || PendingLocked() == 0) return false;
    if (!handedOff_) {
        TNetFlusher& flusher = TNetFlusher::Instance();
        flusher.Register(*this, id_);
        ticket_ = flusher.Ready(*this, id_, gather);
        handedOff_ = true;
    }
    ticket = ticket_;
    return true;
}

void TNetOutputQueue::Flush() {
    TLock lock(mutex_);
    handedOff_ = false;
    armed_ = false;
    if (OpenLocked()) SendLocked(lock);
}

bool TNetOutputQueue::FailIfStalled() {
    std::lock_guard lock(mutex_);
    if (!OpenLocked() || !StalledLocked(Clock::now(), stall_)) return false;
    FailLocked();
    return true;
}

void TNetOutputQueue::Close() {
    TLock lock(mutex_);
    if (state_ == TState::Closed) return;
    sendEnded_.wait(lock, [this] { return !sending_; });
    // Lines for everybody written before the close are its lines too.
    if (state_ == TState::Open) CatchUpLocked();
    LeaveStreamLocked();
    if (state_ == TState::Open) {
        out_.erase(0, outSent_);
        out_ += buffer_;
        if (!out_.empty()) {
            const ssize_t n = ::send(fd_, out_.data(), out_.size(), SendFlags);
            if (n > 0) NetMetrics().BytesSent.Add(static_cast<std::uint64_t>(n));
        }
    }
    state_ = TState::Closed;
    if (id_ != 0) TNetFlusher::Instance().Forget(fd_, id_, watched_);
    watched_ = false;
    ReleaseBuffersLocked();
}

void TNetOutputQueue::Subscribe(std::shared_ptr<TNetBroadcast> stream) {
    std::lock_guard lock(mutex_);
    if (stream_ || state_ == TState::Closed) return;
    cursor_ = stream->Join(shared_from_this());
    stream_ = std::move(stream);
}

// The stream's walk lets go of the queue at its next pass; leaving here also ends the
// queue's hold on the stream, so neither keeps the other alive.
void TNetOutputQueue::LeaveStreamLocked() {
    if (!stream_) return;
    stream_->Left();
    stream_.reset();
}

void TNetOutputQueue::Unsubscribe() {
    std::lock_guard lock(mutex_);
    LeaveStreamLocked();
}

void TNetOutputQueue::SetRegistered(bool registered) {
    std::lock_guard lock(mutex_);
    CatchUpLocked();
    registered_ = registered;
}

bool TNetOutputQueue::SendBroadcast(const TNetBroadcast& stream, std::size_t behindMark,
                                    bool& behind) {
    TLock lock(mutex_);
    if (stream_.get() != &stream) return false;
    // Armed or handed over: a flusher sends it anyway, and takes the entries first.
    if (!CatchUpLocked() || !OpenLocked()) return true;
    if (!armed_ && !handedOff_ && PendingLocked() != 0) SendLocked(lock);
    behind = OpenLocked() && !lagging_ && PendingLocked() > behindMark;
    return true;
}

bool TNetOutputQueue::Failed() const {
    std::lock_guard lock(mutex_);
    return state_ == TState::Failed;
}

std::size_t TNetOutputQueue::Size() const {
    std::lock_guard lock(mutex_);
    return PendingLocked();
}
