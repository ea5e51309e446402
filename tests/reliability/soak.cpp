// Soak test: 300 clients join, part, chat, send TIME and odd bytes, quit, are kicked by
// the operator (QuitUserByNick from this thread) and vanish with a reset, at random, for
// QUARN_SOAK_SECONDS (default 120). Throughout, a synchronising client's TIME must be
// answered within 2 s; at the end threads, descriptors and live heap bytes must be back
// at their baseline. Exit status 0 when everything held. Run it under the thread and
// address sanitizer builds too.
#include <malloc.h>
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "RelSupport.h"
#include "support/TestServer.h"
#include "support/WaitUntil.h"

using namespace rel;

// Live bytes of the C++ heap, counted by replacing the global allocation functions.
namespace {
std::atomic<long long> g_liveHeap{0};
}

void* operator new(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    g_liveHeap += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    void* p = std::malloc(n ? n : 1);
    if (p != nullptr) g_liveHeap += static_cast<long long>(malloc_usable_size(p));
    return p;
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    g_liveHeap -= static_cast<long long>(malloc_usable_size(p));
    std::free(p);
}
void operator delete[](void* p) noexcept {
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete(p);
}

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int SanitizerSlowdown = 3;
#else
constexpr int SanitizerSlowdown = 1;
#endif

enum class State { Off, Registering, On, Closing };

struct Slot {
    TestClient peer;
    State state = State::Off;
    std::string nick;
    int generation = 0;
    Clock::time_point next{};
    Clock::time_point since{};
    std::vector<int> rooms;
};

struct Tally {
    long connects = 0, registered = 0, messages = 0, joins = 0, parts = 0, quits = 0, resets = 0,
         vanished = 0, kicks = 0, garbage = 0, times = 0;
    long kickMisses = 0, stalls = 0, connectFailures = 0, badLines = 0;
};

int Main() {
    const long seconds = EnvLong("QUARN_SOAK_SECONDS", 120);
    const int clients = static_cast<int>(EnvLong("QUARN_SOAK_CLIENTS", 300));
    const long interval = EnvLong("QUARN_SOAK_INTERVAL_MS", 700) * SanitizerSlowdown;
    std::printf("soak: %d clients for %ld s, one action per client every ~%ld ms\n", clients,
                seconds, interval);

    TestServer rig(2000ms);
    rig.Start();
    const int port = rig.Port();
    TLobbyList& store = rig.Server().LobbyStore();

    // Warm-up: the lobbies exist and the first-use allocations are made before the baseline.
    {
        std::vector<TestClient> warm(20);
        for (std::size_t i = 0; i < warm.size(); ++i) {
            if (!warm[i].Connect(port, LoopbackAddress(static_cast<int>(i), 4)) ||
                !warm[i].Register("warm" + std::to_string(i))) {
                std::printf("SOAK FAILED: warm-up registration\n");
                return 1;
            }
            for (int r = 0; r < 10; ++r) warm[i].SendLine("JOIN #room" + std::to_string(r));
            warm[i].SendLine("PRIVMSG #room0 :warming up");
        }
        for (auto& w : warm) w.SendLine("QUIT");
        for (auto& w : warm) w.WaitClosed(5s);
    }
    WaitUntil([&] { return store.UserCount() == 0; }, 10s);
    std::this_thread::sleep_for(500ms);
    const int baseThreads = ThreadCount(), baseFds = FdCount();
    const long long baseHeap = g_liveHeap.load();
    const long baseRss = RssKiB();

    std::mt19937 rng(static_cast<unsigned>(EnvLong("QUARN_SOAK_SEED", 4242)));
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<Slot> slots(static_cast<std::size_t>(clients));
    Tally tally;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::seconds(seconds);
    for (auto& s : slots) s.next = start + std::chrono::milliseconds(pick(2000));

    TestClient sync;
    if (!sync.Connect(port, "127.0.0.250") || !sync.Register("syncer")) {
        std::printf("SOAK FAILED: sync client\n");
        return 1;
    }
    Clock::time_point syncSent{};
    bool syncWaiting = false;
    auto nextSync = start;
    double syncMaxMs = 0;
    long syncCount = 0, syncLate = 0;
    auto lastReport = start;
    int peakThreads = 0;

    auto turnOff = [&](Slot& s) {
        tally.badLines += static_cast<long>(s.peer.BadLines());
        s.peer.Close();
        s.state = State::Off;
        s.rooms.clear();
        s.next = Clock::now() + std::chrono::milliseconds(100 + pick(900));
    };

    std::vector<pollfd> fds;
    std::vector<int> owners;
    while (Clock::now() < stop) {
        const auto now = Clock::now();
        for (int i = 0; i < clients; ++i) {
            Slot& s = slots[static_cast<std::size_t>(i)];
            if (s.state == State::Registering && now - s.since > 10s) {
                ++tally.stalls;
                turnOff(s);
                continue;
            }
            if (s.state == State::Closing && now - s.since > 10s) {
                ++tally.stalls;
                turnOff(s);
                continue;
            }
            if (s.next > now) continue;
            s.next = now + std::chrono::milliseconds(interval / 3 +
                                                     pick(static_cast<int>(interval * 4 / 3)));
            if (s.state == State::Off) {
                if (!s.peer.Connect(port, LoopbackAddress(i, 10))) {
                    ++tally.connectFailures;
                    continue;
                }
                ++tally.connects;
                s.nick = "s" + std::to_string(i) + "g" + std::to_string(++s.generation);
                s.peer.SendLine("USER " + s.nick + " h s :soak");
                s.peer.SendLine("NICK " + s.nick);
                s.state = State::Registering;
                s.since = now;
                continue;
            }
            if (s.state != State::On) continue;
            const int roll = pick(100);
            if (roll < 30) {
                int room =
                    s.rooms.empty()
                        ? pick(10)
                        : s.rooms[static_cast<std::size_t>(pick(static_cast<int>(s.rooms.size())))];
                s.peer.SendLine("PRIVMSG #room" + std::to_string(room) + " :soak message " +
                                std::to_string(tally.messages));
                ++tally.messages;
            } else if (roll < 42) {
                int room = pick(10);
                s.peer.SendLine("JOIN #room" + std::to_string(room));
                s.rooms.push_back(room);
                ++tally.joins;
            } else if (roll < 52) {
                if (!s.rooms.empty()) {
                    s.peer.SendLine("PART #room" + std::to_string(s.rooms.back()));
                    s.rooms.pop_back();
                    ++tally.parts;
                }
            } else if (roll < 60) {
                s.peer.SendLine("TIME");
                ++tally.times;
            } else if (roll < 64) {
                s.peer.SendLine("QUIT");
                s.state = State::Closing;
                s.since = now;
                ++tally.quits;
            } else if (roll < 68) {
                tally.badLines += static_cast<long>(s.peer.BadLines());
                s.peer.Reset();
                turnOff(s);
                ++tally.resets;
            } else if (roll < 71) {
                turnOff(s);
                ++tally.vanished;
            } else if (roll < 74) {
                if (!store.QuitUserByNick(s.nick, "***Kicked by the soak")) ++tally.kickMisses;
                s.state = State::Closing;
                s.since = now;
                ++tally.kicks;
            } else if (roll < 76) {
                std::string junk;
                for (int k = pick(200); k >= 0; --k) {
                    char c = static_cast<char>(1 + pick(255));
                    junk += c == '\n' ? ' ' : c;
                }
                s.peer.SendLine(junk);
                ++tally.garbage;
            }
        }

        if (!syncWaiting && now >= nextSync) {
            sync.SendLine("TIME");
            syncSent = now;
            syncWaiting = true;
        }
        if (syncWaiting && now - syncSent > 2s) {
            ++syncLate;
            syncWaiting = false;
        }

        fds.clear();
        owners.clear();
        fds.push_back({sync.Fd(), POLLIN, 0});
        owners.push_back(-1);
        for (int i = 0; i < clients; ++i) {
            Slot& s = slots[static_cast<std::size_t>(i)];
            if (s.state == State::Off) continue;
            fds.push_back({s.peer.Fd(), POLLIN, 0});
            owners.push_back(i);
        }
        if (::poll(fds.data(), fds.size(), 5) > 0) {
            for (std::size_t k = 0; k < fds.size(); ++k) {
                if (fds[k].revents == 0) continue;
                if (owners[k] < 0) {
                    sync.Pump();
                    while (auto line = sync.NextLine()) {
                        if (*line == "421 Command not handled: TIME" && syncWaiting) {
                            double ms =
                                std::chrono::duration<double, std::milli>(Clock::now() - syncSent)
                                    .count();
                            syncMaxMs = std::max(syncMaxMs, ms);
                            ++syncCount;
                            syncWaiting = false;
                            nextSync = Clock::now() + 100ms;
                        }
                    }
                    continue;
                }
                Slot& s = slots[static_cast<std::size_t>(owners[k])];
                bool open = s.peer.Pump();
                while (auto line = s.peer.NextLine()) {
                    if (s.state == State::Registering &&
                        *line == ":localhost 376 " + s.nick + " :End of /MOTD command.") {
                        s.state = State::On;
                        ++tally.registered;
                    }
                }
                if (!open) turnOff(s);
            }
        }
        if (Clock::now() - lastReport >= 10s) {
            lastReport = Clock::now();
            peakThreads = std::max(peakThreads, ThreadCount());
            std::printf(
                "soak: %.0f s: %d users, %d threads, %d descriptors, heap %+lld KiB, "
                "sync max %.1f ms, %ld messages\n",
                std::chrono::duration<double>(lastReport - start).count(), store.UserCount(),
                ThreadCount(), FdCount(), (g_liveHeap.load() - baseHeap) / 1024, syncMaxMs,
                tally.messages);
            std::fflush(stdout);
        }
    }

    // Everybody leaves: half say QUIT, the rest just close.
    for (auto& s : slots) {
        if (s.state == State::On && pick(2) == 0) s.peer.SendLine("QUIT");
        tally.badLines += static_cast<long>(s.peer.BadLines());
        s.peer.Close();
    }
    tally.badLines += static_cast<long>(sync.BadLines());
    sync.Close();
    const auto e0 = Clock::now();
    bool usersGone = WaitUntil([&] { return store.UserCount() == 0; }, 20s);
    bool threadsBack = WaitUntil([&] { return ThreadCount() <= baseThreads; }, 20s);
    bool fdsBack = WaitUntil([&] { return FdCount() <= baseFds; }, 20s);
    long long heapDelta = 0;
    bool heapBack = WaitUntil(
        [&] {
            heapDelta = g_liveHeap.load() - baseHeap;
            return heapDelta <= 1024 * 1024;
        },
        10s);
    const double settleS = std::chrono::duration<double>(Clock::now() - e0).count();

    std::printf(
        "[figure] soak: %ld s, %d clients: %ld connects, %ld registrations, %ld messages, "
        "%ld joins, %ld parts, %ld TIME, %ld quits, %ld resets, %ld vanished, %ld kicks, "
        "%ld odd lines\n",
        seconds, clients, tally.connects, tally.registered, tally.messages, tally.joins,
        tally.parts, tally.times, tally.quits, tally.resets, tally.vanished, tally.kicks,
        tally.garbage);
    std::printf(
        "[figure] soak: sync TIME %ld answers, max %.1f ms, %ld late (> 2 s); peak %d "
        "threads; after %.1f s: threads %d (baseline %d), descriptors %d (baseline %d), "
        "live heap %+lld bytes, RSS %ld -> %ld KiB; %ld bad lines, %ld stalls, %ld kick "
        "misses, %ld connect failures\n",
        syncCount, syncMaxMs, syncLate, peakThreads, settleS, ThreadCount(), baseThreads, FdCount(),
        baseFds, heapDelta, baseRss, RssKiB(), tally.badLines, tally.stalls, tally.kickMisses,
        tally.connectFailures);

    std::string failures;
    if (syncLate > 0 || syncCount == 0) failures += " sync-late";
    if (!usersGone) failures += " users-left";
    if (!threadsBack) failures += " threads";
    if (!fdsBack) failures += " descriptors";
    if (!heapBack) failures += " heap";
    if (tally.badLines > 0) failures += " bad-lines";
    if (tally.stalls > 0) failures += " stalls";
    if (tally.kickMisses > 0) failures += " kick-misses";
    if (tally.connectFailures > 0) failures += " connect-failures";
    rig.Stop();
    if (!failures.empty()) {
        std::printf("SOAK FAILED:%s\n", failures.c_str());
        return 1;
    }
    std::printf("SOAK PASSED\n");
    return 0;
}

}  // namespace

int main() {
    return Main();
}
