#include "NetOutputQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace {

constexpr int SendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
// A drained buffer that grew beyond this is given back, so a burst does not leave every
// idle connection holding its peak: with thousands of connections the kept capacity would
// outweigh everything else a connection holds, and a fresh allocation costs far less
// than the send that drained it.
constexpr std::size_t KeepCapacity = 512;
// The wake-up descriptor's key in the epoll set; queue ids start at 1.
constexpr std::uint64_t WakeKey = 0;
// The longest pause between two passes over the handed-over queues (see Run).
constexpr auto MaxPassGap = std::chrono::milliseconds(100);
constexpr int PassGapFactor = 3;

using Clock = std::chrono::steady_clock;

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Per-thread state of deferred writes. The mark names one batch of one thread, so a queue
// is listed once per batch however many lines it gets.
struct TDeferredState {
    int batching = 0;   // TNetWriteBatching depth
    int deferring = 0;  // TNetDeferredWrites depth
    int handOff = 0;    // TNetHandOffWrites depth
    std::uint64_t mark = 0;
    std::size_t bytes = 0;
    std::vector<std::shared_ptr<TNetOutputQueue>> queues;
};
std::atomic<std::uint64_t> nextThreadMark{1};
thread_local TDeferredState deferred;

std::uint64_t NewMark() {
    // 24 bits of thread number, 40 of batch number: unique for any realistic run.
    static thread_local std::uint64_t thread = nextThreadMark.fetch_add(1);
    static thread_local std::uint64_t batch = 0;
    return (thread << 40) | (++batch & ((std::uint64_t(1) << 40) - 1));
}

}  // namespace

bool TNetOutputQueue::HasDeferred() {
    return !deferred.queues.empty();
}

void TNetOutputQueue::FlushDeferred() noexcept {
    if (deferred.queues.empty()) return;
    std::vector<std::shared_ptr<TNetOutputQueue>> queues;
    queues.swap(deferred.queues);
    const std::uint64_t mark = deferred.mark;
    deferred.bytes = 0;
    deferred.mark = 0;
    const Clock::time_point overdue = Clock::now() - MaxDeferralAge;
    for (auto& queue : queues) {
        std::lock_guard lock(queue->mutex_);
        // Only the batch that listed a queue last sends it: a later batch of another
        // thread sends our bytes with its own when it flushes, and a zero mark means a
        // flush since our last write has sent them (or the flusher will, when armed).
        // Several senders fanning out to the same lobby would otherwise each send the few
        // lines that arrived since the previous sender's flush, one small send per
        // recipient and sender.
        if (queue->deferredMark_ != mark && queue->PendingLocked() < DeferredResidueBytes &&
            queue->deferredSince_ > overdue)
            continue;
        if (queue->deferredMark_ == mark) queue->deferredMark_ = 0;
        // Closed: its bytes are dropped. Armed: the flusher sends them when the socket
        // drains. Bytes handed over to the flusher meanwhile go out with ours.
        if (queue->closed_ || queue->failed_ || queue->armed_ || queue->fd_ < 0) continue;
        if (queue->PendingLocked() == 0) continue;
        std::size_t taken = 0;
        if (!queue->SendLocked(queue->buffer_.data() + queue->sent_, queue->PendingLocked(),
                               taken)) {
            ::shutdown(queue->fd_, SHUT_RDWR);  // as in Flush: the reader sees the end
            continue;
        }
        queue->sent_ += taken;
        queue->DropSentLocked();
        if (queue->PendingLocked() > 0) {
            try {
                queue->ArmLocked();
            } catch (...) {
                // Out of memory registering it: the next write to it arms it again.
            }
        }
    }
    // Keep the list's capacity for the next batch, but not a huge one.
    queues.clear();
    if (queues.capacity() <= 4096) deferred.queues.swap(queues);
}

TNetWriteBatching::TNetWriteBatching() {
    ++deferred.batching;
}

TNetWriteBatching::~TNetWriteBatching() {
    if (--deferred.batching == 0) TNetOutputQueue::FlushDeferred();
}

TNetHandOffWrites::TNetHandOffWrites() {
    ++deferred.handOff;
}

TNetHandOffWrites::~TNetHandOffWrites() {
    --deferred.handOff;
}

TNetDeferredWrites::TNetDeferredWrites() {
    ++deferred.deferring;
}

TNetDeferredWrites::~TNetDeferredWrites() {
    --deferred.deferring;
    const std::size_t threshold =
        std::clamp(deferred.queues.size() * TNetOutputQueue::DeferredBytesPerQueue,
                   TNetOutputQueue::DeferredFlushBytes, TNetOutputQueue::DeferredFlushCap);
    if (deferred.bytes > threshold) TNetOutputQueue::FlushDeferred();
}

void TNetOutputQueue::Attach(int fd) {
    std::lock_guard lock(mutex_);
    fd_ = fd;
}

bool TNetOutputQueue::SendLocked(const char* data, std::size_t count, std::size_t& taken) {
    taken = 0;
    const ssize_t n = ::send(fd_, data, count, SendFlags);
    if (n >= 0) {
        taken = static_cast<std::size_t>(n);
        return true;
    }
    if (WouldBlock(errno)) return true;
    failed_ = true;
    return false;
}

TNetOutputQueue::TWriteResult TNetOutputQueue::Write(const char* data, std::size_t count) {
    std::lock_guard lock(mutex_);
    if (closed_ || fd_ < 0) return TWriteResult::Closed;
    if (failed_) return TWriteResult::Failed;
    if (deferred.deferring > 0 && deferred.batching > 0) {
        if (PendingLocked() + count > maxQueued_) return TWriteResult::Overflow;
        if (PendingLocked() == 0) deferredSince_ = Clock::now();
        buffer_.append(data, count);
        deferred.bytes += count;
        if (deferredMark_ == 0 || deferredMark_ != deferred.mark) {
            if (deferred.mark == 0) deferred.mark = NewMark();
            deferred.queues.push_back(shared_from_this());
            deferredMark_ = deferred.mark;
        }
        return TWriteResult::Queued;
    }
    if (deferred.handOff > 0) {
        if (PendingLocked() + count > maxQueued_) return TWriteResult::Overflow;
        buffer_.append(data, count);
        if (!armed_ && !readyListed_) {
            TNetFlusher::Instance().Ready(*this);
            readyListed_ = true;
        }
        return TWriteResult::Queued;
    }
    if (armed_) {
        // The socket is full; the flusher sends when it drains.
        if (PendingLocked() + count > maxQueued_) return TWriteResult::Overflow;
        buffer_.append(data, count);
        return TWriteResult::Queued;
    }
    std::size_t taken = 0;
    if (PendingLocked() == 0) {
        if (!SendLocked(data, count, taken)) return TWriteResult::Failed;
        if (taken == count) return TWriteResult::Queued;
        if (count - taken > maxQueued_) return TWriteResult::Overflow;
        buffer_.append(data + taken, count - taken);
        ArmLocked();
        return TWriteResult::Queued;
    }
    // Bytes handed over or deferred by others are waiting: they go out first, together
    // with these, so a reply to this connection never waits for the flusher's next pass.
    if (PendingLocked() + count > maxQueued_) return TWriteResult::Overflow;
    buffer_.append(data, count);
    if (!SendLocked(buffer_.data() + sent_, PendingLocked(), taken)) return TWriteResult::Failed;
    sent_ += taken;
    DropSentLocked();
    if (PendingLocked() > 0) ArmLocked();
    return TWriteResult::Queued;
}

void TNetOutputQueue::Flush() {
    std::lock_guard lock(mutex_);
    readyListed_ = false;
    armed_ = false;
    if (closed_ || failed_) return;
    if (PendingLocked() == 0) return;
    std::size_t taken = 0;
    if (!SendLocked(buffer_.data() + sent_, PendingLocked(), taken)) {
        // Wake the connection's reader: it sees the end of the stream and the connection
        // ends like a lost one. The connection itself may already be gone.
        ::shutdown(fd_, SHUT_RDWR);
        return;
    }
    sent_ += taken;
    DropSentLocked();
    if (PendingLocked() > 0) ArmLocked();
}

void TNetOutputQueue::Close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (fd_ >= 0 && !failed_ && PendingLocked() > 0) {
        std::size_t taken = 0;
        SendLocked(buffer_.data() + sent_, PendingLocked(), taken);
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

void TNetOutputQueue::ArmLocked() {
    TNetFlusher::Instance().Watch(*this, fd_, id_, watched_);
    armed_ = watched_;
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

TNetFlusher& TNetFlusher::Instance() {
    // Constructed by the first networking object, so it is destroyed after every object
    // with static storage that made connections.
    static TNetFlusher flusher;
    return flusher;
}

TNetFlusher::~TNetFlusher() {
    Stop();
}

void TNetFlusher::Start() {
    if (thread_.joinable()) return;
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd_ < 0 || wakeFd_ < 0) {
        const int err = errno;
        Stop();
        throw std::system_error(err, std::generic_category(), "output flusher");
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = WakeKey;
    ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake);
    thread_ = std::thread([this] { Run(); });
}

void TNetFlusher::Stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (epollFd_ >= 0) ::close(epollFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    epollFd_ = wakeFd_ = -1;
    stopping_ = false;
    {
        std::lock_guard ready(readyMutex_);
        ready_.clear();
    }
    std::lock_guard lock(registryMutex_);
    queues_.clear();
}

void TNetFlusher::Watch(TNetOutputQueue& queue, int fd, std::uint64_t& id, bool& watched) {
    if (id == 0) {
        std::lock_guard lock(registryMutex_);
        id = nextId_++;
        queues_.emplace(id, queue.shared_from_this());
    }
    epoll_event event{};
    // One-shot: the flusher re-arms only while bytes remain, so a drained socket costs
    // nothing however often it becomes writable.
    event.events = EPOLLOUT | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(epollFd_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        watched = true;
}

void TNetFlusher::Ready(TNetOutputQueue& queue) {
    bool wake = false;
    {
        std::lock_guard lock(readyMutex_);
        wake = ready_.empty();
        ready_.push_back(queue.shared_from_this());
    }
    if (wake && wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

void TNetFlusher::Forget(int fd, std::uint64_t id, bool watched) {
    if (watched) ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard lock(registryMutex_);
    queues_.erase(id);
}

std::shared_ptr<TNetOutputQueue> TNetFlusher::Find(std::uint64_t id) {
    std::lock_guard lock(registryMutex_);
    auto it = queues_.find(id);
    return it != queues_.end() ? it->second : nullptr;
}

// Handed-over writes go out in passes. A pass that took long (a join storm announced to
// thousands) is followed by a pause as long as itself, at most MaxPassGap, so that the
// next pass finds more lines per connection and sends each connection one larger write;
// an idle flusher's passes take microseconds, so a lone announcement is not held back.
void TNetFlusher::Run() {
    std::array<epoll_event, 64> events{};
    bool handedOver = false;  // the ready list has work: a pass is due at passDue
    Clock::time_point passDue{};
    for (;;) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (handedOver) {
            const auto left = std::max(passDue - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &wait;
        }
        const int n = ::epoll_pwait2(epollFd_, events.data(), events.size(), timeout, nullptr);
        if (n < 0 && errno != EINTR) return;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == WakeKey) {
                if (stopping_) return;
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
                handedOver = true;
                continue;
            }
            // The queue may have been closed since the event was raised; then it is not
            // found, or Flush finds it closed.
            if (auto queue = Find(events[i].data.u64)) queue->Flush();
        }
        if (!handedOver || Clock::now() < passDue) continue;
        handedOver = false;
        const auto began = Clock::now();
        std::vector<std::shared_ptr<TNetOutputQueue>> ready;
        {
            std::lock_guard lock(readyMutex_);
            ready.swap(ready_);
        }
        // Everything handed over since the last pass goes out in one send each, newest
        // first. Broadcasts list queues in connection order while they hold the lobby
        // lock, and each send holds its queue's lock for a loopback round of many
        // microseconds: walking the same way, a broadcast that catches up with the pass
        // waits on nearly every queue and the join storm runs at the speed of the sends
        // (measured: up to twice as slow). Walking against it, they meet once.
        for (auto it = ready.rbegin(); it != ready.rend(); ++it) (*it)->Flush();
        const auto end = Clock::now();
        passDue = end + std::min<Clock::duration>(PassGapFactor * (end - began), MaxPassGap);
    }
}
