#include "NetThread.h"

#include <cerrno>
#include <system_error>

TNetThread::TNetThread(bool createSuspended) : stopped_(createSuspended) {}

TNetThread::~TNetThread() {
    // Owners free a thread only from another thread, after it has finished; joining here
    // covers owners that did not join first.
    if (!IsCurrentThread()) Join();
}

void TNetThread::Start() {
    std::lock_guard lock(mutex_);
    if (created_) return;  // started once, never reused
    stopped_ = false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, StackSize);
    const int err = pthread_create(&thread_, &attr, &TNetThread::Entry, this);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        stopped_ = true;
        throw std::system_error(err, std::generic_category(), "cannot start thread");
    }
    created_ = true;
}

void TNetThread::Stop() {
    if (Stopped()) return;
    terminated_ = true;
    stopped_ = true;
}

void TNetThread::TerminateAndWait() {
    terminated_ = true;
    stopped_ = true;
    if (IsCurrentThread()) return;
    std::unique_lock lock(mutex_);
    if (!created_) return;
    finishedCv_.wait(lock, [this] { return finished_; });
}

bool TNetThread::Stopped() const {
    return stopped_ || terminated_;
}

bool TNetThread::Terminated() const {
    return terminated_;
}

bool TNetThread::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool TNetThread::IsCurrentThread() const {
    std::lock_guard lock(mutex_);
    return created_ && pthread_equal(thread_, pthread_self());
}

void TNetThread::Join() {
    std::lock_guard joinLock(joinMutex_);
    pthread_t thread{};
    {
        std::lock_guard lock(mutex_);
        if (!created_ || joined_) return;
        thread = thread_;
    }
    pthread_join(thread, nullptr);
    std::lock_guard lock(mutex_);
    joined_ = true;
}

std::string TNetThread::FailureMessage() const {
    std::lock_guard lock(mutex_);
    return failureMessage_;
}

void* TNetThread::Entry(void* self) {
    static_cast<TNetThread*>(self)->Body();
    return nullptr;
}

// The failure that ends the thread is recorded, never reported: the owner decides.
void TNetThread::Body() {
    auto fail = [this](const std::exception& e) {
        {
            std::lock_guard lock(mutex_);
            failureMessage_ = e.what();
        }
        terminated_ = true;
        if (!OnFailure) return;
        try {
            OnFailure(*this, e);
        } catch (...) {
            // The thread is ending anyway; there is nobody left to tell.
        }
    };
    auto guarded = [&fail](auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            fail(e);
        } catch (...) {
            fail(std::runtime_error("unknown failure"));
        }
    };
    guarded([this] {
        BeforeRunStep();
        while (!Stopped()) RunStep();
    });
    guarded([this] { AfterRunStep(); });
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedCv_.notify_all();
}
