#include "DiskWriter.h"

#include <chrono>

namespace {

// The writer whose bound this thread's last post went past, until WaitIfBehind pays for
// it. Only compared, never followed: the writer may be gone.
thread_local const TDiskWriter* OwedWriter = nullptr;

}  // namespace

TDiskWriter::TDiskWriter() : TDiskWriter(TOptions{}) {}

TDiskWriter::TDiskWriter(TOptions options)
    : options_(std::move(options)), thread_([this] { Run(); }) {}

TDiskWriter::~TDiskWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void TDiskWriter::Post(std::function<void()> job, std::size_t bytes) {
    bool over;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(job), bytes});
        queuedBytes_ += bytes;
        ++posted_;
        over = queuedBytes_ > options_.MaxQueuedBytes;
    }
    if (over) OwedWriter = this;
    wake_.notify_one();
}

void TDiskWriter::WaitIfBehind(const std::function<bool()>& keepWaiting) {
    if (OwedWriter != this) return;
    OwedWriter = nullptr;
    std::unique_lock lock(mutex_);
    while (queuedBytes_ > options_.MaxQueuedBytes) {
        done_.wait_for(lock, std::chrono::milliseconds(100));
        if (keepWaiting && queuedBytes_ > options_.MaxQueuedBytes) {
            lock.unlock();
            const bool keep = keepWaiting();
            lock.lock();
            if (!keep) return;
        }
    }
}

void TDiskWriter::Drain() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    done_.wait(lock, [&] { return finished_ >= target; });
}

std::size_t TDiskWriter::QueuedBytes() const {
    std::lock_guard lock(mutex_);
    return queuedBytes_;
}

void TDiskWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and everything has run
        TJob job = std::move(jobs_.front());
        jobs_.pop_front();
        const std::size_t queued = queuedBytes_;
        lock.unlock();
        if (options_.Run)
            options_.Run(job.Run, queued);
        else
            job.Run();
        lock.lock();
        queuedBytes_ -= job.Bytes;
        ++finished_;
        done_.notify_all();
    }
}
