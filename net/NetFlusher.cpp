#include "NetFlusher.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "NetBroadcast.h"
#include "NetFanOut.h"
#include "NetOutputQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

// The wake-up descriptor's key in the epoll set; queue keys start at 1.
constexpr std::uint64_t WakeKey = 0;

int PWait2(int epfd, epoll_event* events, int maxEvents, const timespec* timeout,
           const sigset_t* sigmask) {
    return ::epoll_pwait2(epfd, events, maxEvents, timeout, sigmask);
}

std::atomic<TNetFlusher::TWaitCall> waitCall{&PWait2};

timespec* TimeoutUntil(Clock::time_point due, timespec& wait) {
    const auto left = std::max(due - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    wait.tv_sec = static_cast<time_t>(ns / 1000000000);
    wait.tv_nsec = static_cast<long>(ns % 1000000000);
    return &wait;
}

}  // namespace

void TNetFlusher::SetWaitCall(TWaitCall call) {
    waitCall = call != nullptr ? call : &PWait2;
}

TNetFlusher::TWaitCall TNetFlusher::DefaultWaitCall() {
    return &PWait2;
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
    if (!shards_.empty()) return;
    const std::size_t count =
        std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, MaxThreads);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            auto shard = std::make_unique<TShard>();
            shard->index = i;
            shard->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
            shard->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (shard->epollFd < 0 || shard->wakeFd < 0) {
                const int err = errno;
                if (shard->epollFd >= 0) ::close(shard->epollFd);
                if (shard->wakeFd >= 0) ::close(shard->wakeFd);
                throw std::system_error(err, std::generic_category(), "output flusher");
            }
            epoll_event wake{};
            wake.events = EPOLLIN;
            wake.data.u64 = WakeKey;
            ::epoll_ctl(shard->epollFd, EPOLL_CTL_ADD, shard->wakeFd, &wake);
            shards_.push_back(std::move(shard));
        }
        for (auto& shard : shards_) {
            TShard* raw = shard.get();
            shard->thread = std::thread([this, raw] { Run(*raw); });
        }
    } catch (...) {
        Stop();
        throw;
    }
}

void TNetFlusher::Stop() {
    stopping_ = true;
    for (auto& shard : shards_) {
        if (!shard->thread.joinable()) continue;
        Wake(*shard);
        shard->thread.join();
    }
    for (auto& shard : shards_) {
        {
            // Wakes any fan-out still waiting for a pass.
            std::lock_guard lock(shard->readyMutex);
            shard->passDone = shard->passStarted + 1;
        }
        shard->passEnded.notify_all();
        if (shard->epollFd >= 0) ::close(shard->epollFd);
        if (shard->wakeFd >= 0) ::close(shard->wakeFd);
    }
    shards_.clear();
    stopping_ = false;
}

void TNetFlusher::Wake(TShard& shard) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(shard.wakeFd, &one, sizeof one);
}

void TNetFlusher::Register(TNetOutputQueue& queue, std::uint64_t& id) {
    if (id != 0) return;
    id = nextId_.fetch_add(1);
    TShard& shard = ShardOf(id);
    std::lock_guard lock(shard.registryMutex);
    shard.queues.emplace(id, queue.shared_from_this());
}

void TNetFlusher::Watch(int fd, std::uint64_t id, bool& watched) {
    epoll_event event{};
    // One-shot: the flusher re-arms only while bytes remain, so a drained socket costs
    // nothing however often it becomes writable.
    event.events = EPOLLOUT | EPOLLONESHOT;
    event.data.u64 = id;
    if (::epoll_ctl(ShardOf(id).epollFd, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        watched = true;
}

void TNetFlusher::Forget(int fd, std::uint64_t id, bool watched) {
    TShard& shard = ShardOf(id);
    if (watched) ::epoll_ctl(shard.epollFd, EPOLL_CTL_DEL, fd, nullptr);
    std::lock_guard lock(shard.registryMutex);
    shard.queues.erase(id);
}

TNetFlushTicket TNetFlusher::Ready(TNetOutputQueue& queue, std::uint64_t id, bool gather) {
    const std::size_t index = id % shards_.size();
    TShard& shard = *shards_[index];
    bool wake = false;
    TNetFlushTicket ticket{index, 0};
    {
        std::lock_guard lock(shard.readyMutex);
        wake = shard.ready.empty() && shard.streams.empty();
        shard.ready.push_back(queue.shared_from_this());
        shard.gather = shard.gather || gather;
        ticket.pass = shard.passStarted + 1;
    }
    if (wake) Wake(shard);
    return ticket;
}

void TNetFlusher::ReadyStream(TNetBroadcast& stream, bool gather,
                              std::vector<TNetFlushTicket>& tickets) {
    for (auto& shard : shards_) {
        bool wake = false;
        TNetFlushTicket ticket{shard->index, 0};
        {
            std::lock_guard lock(shard->readyMutex);
            wake = shard->ready.empty() && shard->streams.empty();
            const auto listed = std::find_if(shard->streams.begin(), shard->streams.end(),
                                             [&](const auto& s) { return s.get() == &stream; });
            if (listed == shard->streams.end()) shard->streams.push_back(stream.shared_from_this());
            shard->gather = shard->gather || gather;
            ticket.pass = shard->passStarted + 1;
        }
        if (wake) Wake(*shard);
        tickets.push_back(ticket);
    }
}

void TNetFlusher::WaitFor(const TNetFlushTicket& ticket) {
    if (ticket.thread >= shards_.size()) return;
    TShard& shard = *shards_[ticket.thread];
    std::unique_lock lock(shard.readyMutex);
    if (shard.passDone >= ticket.pass) return;
    ++shard.waiters;
    lock.unlock();
    Wake(shard);  // in case its thread sleeps in its wait with the ready list unseen
    lock.lock();
    shard.passEnded.wait(lock, [&] { return shard.passDone >= ticket.pass; });
    --shard.waiters;
}

void TNetFlusher::TrimLater(TNetOutputQueue& queue, std::uint64_t id) {
    TShard& shard = ShardOf(id);
    bool wake = false;
    {
        std::lock_guard lock(shard.readyMutex);
        wake = shard.trim.empty();
        if (wake) shard.trimDue = Clock::now() + TrimDelay;
        shard.trim.push_back(queue.shared_from_this());
    }
    if (wake) Wake(shard);  // its thread may sleep without a timeout
}

Clock::time_point TNetFlusher::RunTrim(TShard& shard) {
    std::vector<std::shared_ptr<TNetOutputQueue>> due;
    {
        std::lock_guard lock(shard.readyMutex);
        if (shard.trim.empty()) return Clock::time_point::max();
        if (Clock::now() < shard.trimDue) return shard.trimDue;
        due.swap(shard.trim);
    }
    for (auto& queue : due) queue->Trim();
    return Clock::time_point::max();
}

std::shared_ptr<TNetOutputQueue> TNetFlusher::Find(TShard& shard, std::uint64_t id) {
    std::lock_guard lock(shard.registryMutex);
    auto it = shard.queues.find(id);
    return it != shard.queues.end() ? it->second : nullptr;
}

// Sends everything handed over since the last pass, one send per queue, newest first.
// Broadcasts list queues in connection order while they hold the lobby lock, and a send
// holds its queue's lock for a loopback round: walking the same way, a broadcast that
// catches up with the pass would wait on nearly every queue. Walking against it, they
// meet once. Returns whether anybody waits for the next pass.
bool TNetFlusher::RunPass(TShard& shard) {
    std::vector<std::shared_ptr<TNetOutputQueue>> ready;
    std::vector<std::shared_ptr<TNetBroadcast>> streams;
    std::uint64_t pass = 0;
    {
        std::lock_guard lock(shard.readyMutex);
        ready.swap(shard.ready);
        streams.swap(shard.streams);
        shard.gather = false;
        pass = ++shard.passStarted;
    }
    for (auto it = ready.rbegin(); it != ready.rend(); ++it) (*it)->Flush();
    for (auto& stream : streams) stream->Pass(shard.index, shards_.size(), TNetFanOut::BehindBytes);
    bool waited = false;
    {
        std::lock_guard lock(shard.readyMutex);
        shard.passDone = pass;
        waited = shard.waiters > 0;
    }
    shard.passEnded.notify_all();
    return waited;
}

bool TNetFlusher::PassNow(TShard& shard) {
    std::lock_guard lock(shard.readyMutex);
    return shard.waiters > 0 || !shard.gather;
}

int TNetFlusher::Wait(TShard& shard, epoll_event* events, int maxEvents, Clock::time_point due,
                      bool& pwait2) {
    const bool forever = due == Clock::time_point::max();
    if (pwait2) {
        timespec wait{};
        const int n = waitCall.load()(shard.epollFd, events, maxEvents,
                                      forever ? nullptr : TimeoutUntil(due, wait), nullptr);
        if (n >= 0 || (errno != ENOSYS && errno != EPERM)) return n;
        pwait2 = false;
    }
    int ms = -1;
    if (!forever) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
        ms = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    return ::epoll_wait(shard.epollFd, events, maxEvents, ms);
}

// Sends what sockets refused once they drain, and runs a pass once queues were handed
// over: GatherDelay after the first of them when one gathers and no fan-out waits. A pass that
// somebody waited for is followed by another one without sleeping: the lines its waiters wrote
// meanwhile are likely handed over already.
void TNetFlusher::Run(TShard& shard) {
    std::array<epoll_event, 64> events{};
    bool handedOver = false;
    Clock::time_point passDue = Clock::time_point::max();
    bool pwait2 = true;
    Clock::time_point trimDue = Clock::time_point::max();
    for (;;) {
        // Handed over: look for drained sockets until the pass is due.
        const auto due = handedOver ? std::min(passDue, trimDue) : trimDue;
        const int n = Wait(shard, events.data(), static_cast<int>(events.size()), due, pwait2);
        if (n < 0 && errno != EINTR) {
            // Every sender that hands queues over would wait for this thread for ever.
            std::fprintf(stderr, "quarn: an output flusher thread cannot wait (%s); stopping\n",
                         std::strerror(errno));
            std::abort();
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == WakeKey) {
                if (stopping_) return;
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(shard.wakeFd, &count, sizeof count);
                if (!handedOver) passDue = Clock::now() + GatherDelay;
                handedOver = true;
                continue;
            }
            // The queue may have been closed since the event was raised; then it is not
            // found, or Flush finds it closed.
            if (auto queue = Find(shard, events[i].data.u64)) queue->Flush();
        }
        trimDue = RunTrim(shard);
        if (handedOver && (Clock::now() >= passDue || PassNow(shard))) {
            handedOver = RunPass(shard);
            passDue = handedOver ? Clock::time_point() : Clock::time_point::max();
        }
    }
}
