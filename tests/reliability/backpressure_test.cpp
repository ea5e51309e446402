// Slow and silent receivers against the real server: relay latency of everybody else, the
// output queue bound, and the operator's stop with stuck clients connected.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "RelSupport.h"
#include "net/NetTCPConnection.h"
#include "support/TestServer.h"
#include "support/WaitUntil.h"

using namespace rel;

namespace {

// Sends "USER"/"NICK" on every peer first and then waits for each welcome, so that many
// registrations overlap.
void RegisterAll(std::vector<TestClient>& peers, const std::string& nickBase, int port,
                 int perAddress = 16, int base = 2) {
    for (std::size_t i = 0; i < peers.size(); ++i) {
        const std::string nick = nickBase + std::to_string(i);
        ASSERT_TRUE(peers[i].Connect(port, LoopbackAddress(static_cast<int>(i), perAddress, base)))
            << nick;
        ASSERT_TRUE(peers[i].SendLine("USER " + nick + " h s :r"));
        ASSERT_TRUE(peers[i].SendLine("NICK " + nick));
    }
    for (std::size_t i = 0; i < peers.size(); ++i) {
        const std::string nick = nickBase + std::to_string(i);
        ASSERT_TRUE(peers[i].WaitFor(":localhost 376 " + nick + " :End of /MOTD command.", 15s))
            << nick;
    }
}

// Parses the send time out of "... PRIVMSG <target> :<sender> <ns> <padding>".
bool SendTimeOf(const std::string& line, const std::string& marker, std::int64_t& ns) {
    auto at = line.find(marker);
    if (at == std::string::npos) return false;
    auto space = line.find(' ', at + marker.size());
    if (space == std::string::npos) return false;
    ns = std::strtoll(line.c_str() + space + 1, nullptr, 10);
    return ns > 0;
}

}  // namespace

// 200 clients chatting once a second are not held up (relay p99 < 250 ms, max < 1 s)
// while one registered client never reads, and that client is closed once more than the
// output bound has been queued for it.
TEST(Backpressure, StuckReader) {
    const int n = static_cast<int>(EnvLong("QUARN_REL_CHATTERS", 200));
    const auto duration = std::chrono::seconds(EnvLong("QUARN_REL_STUCK_SECONDS", 10));
    const std::size_t payload = static_cast<std::size_t>(EnvLong("QUARN_REL_PAYLOAD", 2000));
    TestServer rig(1s);
    rig.Start();

    std::vector<TestClient> chatters(static_cast<std::size_t>(n));
    RegisterAll(chatters, "c", rig.Port());
    TestClient stuck;
    const bool withStuck = EnvLong("QUARN_REL_NO_STUCK", 0) == 0;  // for comparison runs
    if (withStuck) {
        ASSERT_TRUE(stuck.Connect(rig.Port(), "127.0.0.250", 2048));
        ASSERT_TRUE(stuck.Register("stuck"));
    }
    // From here on the stuck client never reads.

    const std::string marker = " PRIVMSG #load :";
    const std::string pad(payload, 'x');
    std::vector<double> latencyMs;
    latencyMs.reserve(static_cast<std::size_t>(n) * n * static_cast<std::size_t>(duration.count()));
    std::vector<pollfd> fds;
    for (auto& c : chatters) fds.push_back({c.Fd(), POLLIN, 0});

    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    const auto stop = start + duration;
    std::vector<Clock::time_point> next(chatters.size());
    for (int i = 0; i < n; ++i) next[i] = start + std::chrono::microseconds(1000000LL * i / n);
    std::vector<Clock::time_point> sentAt;  // every message's send time, in order
    sentAt.reserve(static_cast<std::size_t>(n) * static_cast<std::size_t>(duration.count() + 1));
    std::size_t lineLength = 0;  // the longest relayed line, CR LF included
    std::optional<Clock::time_point> stuckDropped;
    std::size_t lost = 0;

    for (;;) {
        auto now = Clock::now();
        if (now >= stop + 1s) break;
        for (int i = 0; i < n && now < stop; ++i) {
            if (next[i] > now) continue;
            std::string text = std::to_string(i) + " " + std::to_string(NowNs()) + " " + pad;
            if (!chatters[i].SendLine("PRIVMSG #load :" + text)) ++lost;
            sentAt.push_back(Clock::now());
            std::string relayed =
                ":c" + std::to_string(i) + "!user@" + LoopbackAddress(i) + marker + text + "\r\n";
            lineLength = std::max(lineLength, relayed.size());
            next[i] += 1s;
        }
        if (::poll(fds.data(), fds.size(), 1) <= 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            chatters[i].Pump();
            while (auto line = chatters[i].NextLine()) {
                std::int64_t ns = 0;
                if (SendTimeOf(*line, marker, ns)) {
                    latencyMs.push_back(static_cast<double>(NowNs() - ns) / 1e6);
                } else if (!stuckDropped && line->rfind(":stuck!user@", 0) == 0 &&
                           line->find(" QUIT ") != std::string::npos) {
                    stuckDropped = Clock::now();
                }
            }
        }
    }
    const double cpu = CpuSeconds() - cpuBefore;

    std::size_t expected = sentAt.size() * static_cast<std::size_t>(n - 1);
    std::size_t samples = latencyMs.size();
    double maxMs = Quantile(latencyMs, 1.0);
    double p99 = Quantile(latencyMs, 0.99);
    double p50 = Quantile(latencyMs, 0.5);
    std::size_t sentBeforeDrop = 0;
    if (stuckDropped) {
        sentBeforeDrop = static_cast<std::size_t>(
            std::upper_bound(sentAt.begin(), sentAt.end(), *stuckDropped) - sentAt.begin());
    }
    bool stuckClosed = !withStuck || stuck.WaitClosed(10s);
    std::printf(
        "[figure] stuck reader: %d chatters, %zu messages, %zu relays received of %zu; relay "
        "latency p50 %.2f ms, p99 %.2f ms, max %.2f ms; process CPU %.2f s over %.1f s\n",
        n, sentAt.size(), samples, expected, p50, p99, maxMs, cpu,
        std::chrono::duration<double>(duration).count());
    std::printf(
        "[figure] stuck reader: dropped %.2f s after the chat began, after %zu messages "
        "(~%zu KiB addressed to it); it read %zu KiB before the close\n",
        stuckDropped ? std::chrono::duration<double>(*stuckDropped - start).count() : -1.0,
        sentBeforeDrop, sentBeforeDrop * lineLength / 1024, stuck.BytesReceived() / 1024);

    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(samples, expected) << "some relayed lines never arrived";
    // Bounds that a held-up relay would pass by seconds, not speed goals (bench/ has those):
    // they must hold on a busy two-core machine too.
    EXPECT_LT(p99, 250.0);
    EXPECT_LT(maxMs, 1000.0);
    if (!withStuck) return;
    ASSERT_TRUE(stuckDropped.has_value()) << "the stuck client was never closed";
    EXPECT_GE(sentBeforeDrop * lineLength, TNetTCPConnection::MaxQueuedOutput)
        << "closed before its queue can have passed the bound";
    // The queue bound plus a capped kernel send buffer; an uncapped buffer grows to 4 MiB.
    EXPECT_LE(sentBeforeDrop * lineLength, TNetTCPConnection::MaxQueuedOutput + 1024 * 1024)
        << "the stuck client held far more than its queue bound";
    EXPECT_TRUE(stuckClosed);
    for (auto& c : chatters) EXPECT_EQ(c.BadLines(), 0u);
}

// A registered peer that never reads and never closes holds up nobody: another client's
// paced stream still arrives within 1 s, TIME is answered within 1 s, the operator's
// kick of a second such peer returns at once, and the silent peer is closed at the bound.
TEST(Backpressure, VanishedPeer) {
    const int lines = static_cast<int>(EnvLong("QUARN_REL_VANISHED_LINES", 3000));
    TestServer rig(1s);
    rig.Start();
    TestClient a, b, v, v2;
    ASSERT_TRUE(a.Connect(rig.Port(), "127.0.0.1"));
    ASSERT_TRUE(a.Register("a"));
    ASSERT_TRUE(b.Connect(rig.Port(), "127.0.0.2"));
    ASSERT_TRUE(b.Register("b"));
    ASSERT_TRUE(v.Connect(rig.Port(), "127.0.0.3", 2048));
    ASSERT_TRUE(v.Register("v"));
    ASSERT_TRUE(v2.Connect(rig.Port(), "127.0.0.4", 2048));
    ASSERT_TRUE(v2.Register("v2"));

    std::atomic<bool> sendFailed{false};
    const auto start = Clock::now();
    std::thread sender([&] {
        const std::string pad(4000, 'p');
        for (int i = 0; i < lines; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(500) * i);
            if (!a.SendLine("PRIVMSG #v :" + std::to_string(i) + " " + std::to_string(NowNs()) +
                            " " + pad)) {
                sendFailed = true;
                return;
            }
        }
    });

    std::vector<double> latencyMs, timeMs;
    std::optional<Clock::time_point> vDropped;
    Clock::time_point timeSent{};
    bool timeWaiting = false;
    std::optional<double> kickMs;
    int received = 0;
    auto nextTime = start;
    const auto deadline = start + std::chrono::milliseconds(lines / 2) + 15s;
    while (received < lines && Clock::now() < deadline) {
        auto now = Clock::now();
        if (!kickMs && now >= start + 60ms) {  // its socket is full, its queue not yet at the bound
            auto t0 = Clock::now();
            bool kicked = rig.Server().LobbyStore().QuitUserByNick("v2", "");
            kickMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            EXPECT_TRUE(kicked);
        }
        if (!timeWaiting && now >= nextTime) {
            ASSERT_TRUE(b.SendLine("TIME"));
            timeSent = now;
            timeWaiting = true;
            nextTime = now + 100ms;
        }
        pollfd p{b.Fd(), POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0) continue;
        b.Pump();
        while (auto line = b.NextLine()) {
            std::int64_t ns = 0;
            if (SendTimeOf(*line, " PRIVMSG #v :", ns)) {
                latencyMs.push_back(static_cast<double>(NowNs() - ns) / 1e6);
                ++received;
            } else if (*line == "421 Command not handled: TIME" && timeWaiting) {
                timeMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - timeSent).count());
                timeWaiting = false;
            } else if (!vDropped && line->rfind(":v!user@", 0) == 0) {
                vDropped = Clock::now();
            }
        }
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double maxLatency = Quantile(latencyMs, 1.0), p99 = Quantile(latencyMs, 0.99);
    double maxTime = Quantile(timeMs, 1.0);
    std::printf(
        "[figure] vanished peer: %d lines of 4 KiB in %.2f s (%.1f MB/s); relay p99 %.2f ms, "
        "max %.2f ms; TIME max %.2f ms over %zu probes; kick of a silent peer %.2f ms; silent "
        "peer closed after %.2f s\n",
        received, seconds, received * 4.0e3 / seconds / 1e6, p99, maxLatency, maxTime,
        timeMs.size(), kickMs.value_or(-1),
        vDropped ? std::chrono::duration<double>(*vDropped - start).count() : -1.0);

    EXPECT_FALSE(sendFailed);
    EXPECT_EQ(received, lines);
    EXPECT_LT(maxLatency, 1000.0);  // held-up bounds, as in StuckReader
    EXPECT_LT(maxTime, 1000.0);
    ASSERT_TRUE(kickMs.has_value());
    EXPECT_LT(*kickMs, 500.0);
    EXPECT_TRUE(vDropped.has_value()) << "the silent peer was never closed";
    EXPECT_TRUE(v.WaitClosed(10s));
    EXPECT_TRUE(v2.WaitClosed(10s));
    EXPECT_EQ(b.BadLines(), 0u);
}

// The operator's stop with 200 clients, 20 of them stuck with full buffers: QuitAll, the
// 500 ms pause and the deactivation finish within 15 s, every reader is told and closed,
// the threads go, and a restart listens on the same port again.
TEST(Backpressure, OperatorStopWithStuckClients) {
    const int readersCount = 180, stuckCount = 20;
    TestServer rig(1s);
    rig.Start();
    const int port = rig.Port();
    const int baselineThreads = ThreadCount();

    std::vector<TestClient> readers(readersCount);
    RegisterAll(readers, "r", port);
    std::vector<TestClient> stuck(stuckCount);
    for (int i = 0; i < stuckCount; ++i) {
        ASSERT_TRUE(stuck[i].Connect(port, "127.0.0.200", 2048));
        ASSERT_TRUE(stuck[i].Register("s" + std::to_string(i)));
    }
    // Fill the stuck clients' windows and part of their queues (800 KiB each, below the
    // bound) while the readers keep reading.
    const std::string pad(8000, 'f');
    std::vector<pollfd> fds;
    for (auto& r : readers) fds.push_back({r.Fd(), POLLIN, 0});
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(readers[i].SendLine("PRIVMSG #f :" + pad));
        auto until = Clock::now() + 100ms;
        while (Clock::now() < until) {
            if (::poll(fds.data(), fds.size(), 5) <= 0) continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                readers[i].Pump();
                while (readers[i].NextLine()) {
                }
            }
        }
    }

    const auto t0 = Clock::now();
    rig.Server().LobbyStore().QuitAll("***Server stopped.....");
    const auto t1 = Clock::now();
    std::this_thread::sleep_for(500ms);
    rig.Server().SetActive(false);
    const auto t2 = Clock::now();
    const double quitAllMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    const double totalS = std::chrono::duration<double>(t2 - t0).count();

    int told = 0, closed = 0;
    for (auto& r : readers) {
        if (r.WaitFor("***Server stopped.....", 5s)) ++told;
        if (r.WaitClosed(5s)) ++closed;
    }
    int stuckClosed = 0;
    for (auto& s : stuck) stuckClosed += s.WaitClosed(10s) ? 1 : 0;
    bool threadsBack = WaitUntil([&] { return ThreadCount() <= baselineThreads; }, 10s);
    const int threadsAfter = ThreadCount();

    const auto r0 = Clock::now();
    rig.Server().SetActive(true);
    const int portAgain = rig.Server().Bindings()[0].Port();
    TestClient again;
    bool reconnected = again.Connect(portAgain) && again.Register("again");
    const double restartMs = std::chrono::duration<double, std::milli>(Clock::now() - r0).count();

    std::printf(
        "[figure] operator stop: QuitAll %.1f ms, QuitAll + 500 ms + deactivation %.2f s; "
        "%d/%d readers told, %d closed, %d/%d stuck closed; threads %d (baseline %d); restart "
        "on port %d and a new registration in %.1f ms\n",
        quitAllMs, totalS, told, readersCount, closed, stuckClosed, stuckCount, threadsAfter,
        baselineThreads, portAgain, restartMs);

    EXPECT_LT(totalS, 15.0);
    EXPECT_EQ(told, readersCount);
    EXPECT_EQ(closed, readersCount);
    EXPECT_EQ(stuckClosed, stuckCount);
    EXPECT_TRUE(threadsBack);
    EXPECT_EQ(portAgain, port);
    EXPECT_TRUE(reconnected);
}
