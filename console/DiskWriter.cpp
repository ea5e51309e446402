#include "DiskWriter.h"

TDiskWriter::TDiskWriter() : thread_([this] { Run(); }) {}

TDiskWriter::~TDiskWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void TDiskWriter::Post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        ++posted_;
    }
    wake_.notify_one();
}

void TDiskWriter::Drain() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    done_.wait(lock, [&] { return finished_ >= target; });
}

void TDiskWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and everything has run
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
        ++finished_;
        done_.notify_all();
    }
}
