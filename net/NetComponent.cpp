#include "NetComponent.h"

#include <atomic>
#include <csignal>
#include <mutex>

#include "NetFlusher.h"
#include "NetSocketLayer.h"

namespace {

// Serialises the start and stop of the layer against the live count, so the flushers are
// never started by one thread while another is stopping them.
std::mutex& LayerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::atomic<int> liveCount{0};

void StartLayer() {
    static std::once_flag once;
    std::call_once(once, [] {
        // A peer that vanishes must never end the process; every send also passes
        // MSG_NOSIGNAL, this covers anything else.
        std::signal(SIGPIPE, SIG_IGN);
        RaiseOpenFileLimit();
    });
    TNetFlusher::Instance().Start();
}

}  // namespace

TNetComponent::TNetComponent() {
    std::lock_guard lock(LayerMutex());
    if (liveCount.load() == 0) StartLayer();  // may throw; the count is raised only after
    liveCount.fetch_add(1);
}

TNetComponent::~TNetComponent() {
    std::lock_guard lock(LayerMutex());
    if (liveCount.fetch_sub(1) == 1) TNetFlusher::Instance().Stop();
}

int TNetComponent::LiveCount() {
    return liveCount.load();
}
