// Hostile players against the real chat server: a sender that floods cannot get a reader
// closed, a player that creates lobbies cannot lock newcomers out, and no way of ending
// (a stop while users come and go, a handler that throws) leaves a connection behind in
// the lobbies or the registry.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RelSupport.h"
#include "support/TestClient.h"
#include "support/TestServer.h"
#include "support/WaitUntil.h"
#ifdef QUARN_REL_ADMIN
#include "support/AdminRig.h"
#include "support/TestFiles.h"
#endif

using namespace rel;

namespace {

// No lobby lists the connection as a member and the registry is empty.
bool NothingLeft(TLobbyList& store) {
    std::lock_guard guard(store.Lock());
    if (!store.Users().empty()) return false;
    for (const auto& lobby : store.Lobbies())
        if (!lobby->Members.empty()) return false;
    return true;
}

bool HasUser(TLobbyList& store, const std::string& nick) {
    std::lock_guard guard(store.Lock());
    for (const TUserEntry& user : store.Users())
        if (user.Nick == nick) return true;
    return false;
}

// Reads lines as fast as they come until `count` of them start with `prefix` or the
// server closes; returns how many did.
std::size_t ReadBurst(TestClient& reader, const std::string& prefix, std::size_t count,
                      std::chrono::milliseconds timeout) {
    std::size_t seen = 0;
    const auto deadline = Clock::now() + timeout;
    while (seen < count && Clock::now() < deadline) {
        auto line = reader.ReadLine(1s);
        if (!line) {
            if (reader.Eof()) break;
            continue;
        }
        if (line->starts_with(prefix)) ++seen;
    }
    return seen;
}

// Writes `unit(n)` for n = 0, 1, ... as fast as the socket takes it until `stop`, without
// ever blocking, so the thread ends when told even while the server reads nothing.
void Flood(TestClient& client, const std::atomic<bool>& stop,
           const std::function<std::string(std::size_t)>& unit) {
    std::string out;
    std::size_t next = 0;
    while (!stop) {
        while (out.size() < 64 * 1024) out += unit(next++);
        pollfd p{client.Fd(), POLLOUT, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::send(client.Fd(), out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
        if (n > 0) out.erase(0, static_cast<std::size_t>(n));
    }
}

}  // namespace

// With the default flood limits, one player flooding PRIVMSG and one flooding JOIN/PART
// as fast as their sockets take it cannot push anybody out: 40 readers on slow links
// (160 KB/s each, read in slices) stay connected and get every line of an honest player
// who writes twice a second, each within 500 ms.
TEST(Hostile, FloodersCannotPushSlowReadersOut) {
    const auto duration = std::chrono::seconds(EnvLong("QUARN_REL_FLOOD_SECONDS", 3));
    const std::size_t readersCount = 40;
    const std::size_t readerRate = 160 * 1000;  // bytes a second
    TestServer rig;
    rig.Server().FloodRate = TNetIRCServer::DefaultFloodRate;
    rig.Server().FloodBurst = TNetIRCServer::DefaultFloodBurst;
    rig.Store().AllowCreate = true;
    rig.Start();
    std::vector<TestClient> readers(readersCount);
    for (std::size_t i = 0; i < readersCount; ++i) {
        ASSERT_TRUE(readers[i].Connect(rig.Port(), LoopbackAddress(static_cast<int>(i)), 16384));
        ASSERT_TRUE(readers[i].Register("reader" + std::to_string(i), 10s));
    }
    TestClient honest, chatFlooder, joinFlooder;
    ASSERT_TRUE(honest.Connect(rig.Port(), "127.0.1.1") && honest.Register("honest"));
    ASSERT_TRUE(chatFlooder.Connect(rig.Port(), "127.0.1.2") && chatFlooder.Register("flood1"));
    ASSERT_TRUE(joinFlooder.Connect(rig.Port(), "127.0.1.3") && joinFlooder.Register("flood2"));

    std::atomic<bool> stop{false};
    const std::string pad(300, 'f');
    std::thread chat([&] {
        Flood(chatFlooder, stop, [&](std::size_t n) {
            return "PRIVMSG #fair :flood " + std::to_string(n) + " " + pad + "\r\n";
        });
    });
    std::thread joins([&] {
        Flood(joinFlooder, stop, [](std::size_t n) {
            const std::string lobby = "#flood" + std::to_string(n % 1000);
            return "JOIN " + lobby + "\r\nPART " + lobby + "\r\n";
        });
    });

    // The readers take at most their share of the link every 10 ms.
    const std::string marker = " PRIVMSG #fair :honest ";
    std::vector<double> latencyMs;
    std::vector<std::size_t> got(readersCount, 0);
    std::size_t sent = 0;
    const auto start = Clock::now();
    auto nextHonest = start;
    auto nextSlice = start;
    const auto slice = 10ms;
    const std::size_t perSlice = readerRate / 100;
    while (Clock::now() < start + duration + 2s) {
        const auto now = Clock::now();
        if (now >= nextHonest && now < start + duration) {
            ASSERT_TRUE(honest.SendLine("PRIVMSG #fair :honest " + std::to_string(NowNs())));
            ++sent;
            nextHonest += 500ms;
        }
        if (now >= start + duration) stop = true;
        std::this_thread::sleep_until(nextSlice);
        nextSlice += slice;
        for (std::size_t i = 0; i < readersCount; ++i) {
            readers[i].PumpUpTo(perSlice);
            while (auto line = readers[i].NextLine()) {
                const auto at = line->find(marker);
                if (at == std::string::npos) continue;
                const auto ns = std::strtoll(line->c_str() + at + marker.size(), nullptr, 10);
                latencyMs.push_back(static_cast<double>(NowNs() - ns) / 1e6);
                ++got[i];
            }
        }
        while (honest.Pump() && honest.NextLine()) {
        }
    }
    stop = true;
    chat.join();
    joins.join();
    std::size_t closed = 0, complete = 0;
    for (std::size_t i = 0; i < readersCount; ++i) {
        closed += readers[i].Eof() ? 1 : 0;
        complete += got[i] == sent ? 1 : 0;
    }
    const double p99 = Quantile(latencyMs, 0.99);
    std::printf(
        "[figure] two floods against %zu readers at %zu KB/s: %zu readers closed, %zu of %zu "
        "got all %zu honest lines, p99 %.1f ms, max %.1f ms\n",
        readersCount, readerRate / 1000, closed, complete, readersCount, sent, p99,
        Quantile(latencyMs, 1.0));
    EXPECT_EQ(closed, 0u);
    EXPECT_EQ(complete, readersCount);
    EXPECT_LT(p99, 500.0);
}

// A sender with the longest nick allowed writes 100,000 short lines in one go (each
// relayed as about 100 bytes, 10 MB in all, many times the output bound); the only other
// client reads as fast as loopback allows with a 1 MiB receive buffer. Every line reaches
// it, it stays connected, and the sender, held to the reader's pace, is not closed either.
TEST(Hostile, BurstFromALongNickReachesAFastReader) {
    TestServer rig;
    rig.Start();
    const std::string nick(TLobbyList::MaxNickLength, 'n');
    TestClient reader;
    TestClient sender;
    ASSERT_TRUE(reader.Connect(rig.Port(), "127.0.0.1", 1 << 20));
    ASSERT_TRUE(sender.Connect(rig.Port()));
    ASSERT_TRUE(reader.Register("reader"));
    ASSERT_TRUE(sender.Register(nick));

    constexpr std::size_t Lines = 100000;
    std::string burst;
    for (std::size_t i = 0; i < Lines; ++i)
        burst += "PRIVMSG #burst :" + std::to_string(i) + " xxxxxxxxxx\r\n";
    std::thread writer([&] { EXPECT_TRUE(sender.Send(burst)); });
    const auto began = Clock::now();
    const std::size_t got = ReadBurst(reader, ":" + nick + "!", Lines, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    writer.join();
    std::printf(
        "[figure] burst of %zu lines from a %zu-byte nick: %zu delivered in %.2f s "
        "(%.0f lines/s), bad lines %zu\n",
        Lines, nick.size(), got, seconds, double(got) / seconds, reader.BadLines());
    EXPECT_EQ(got, Lines);
    EXPECT_EQ(reader.BadLines(), 0u);
    EXPECT_TRUE(reader.TimeRoundTrip().has_value()) << "the reader was closed";
    EXPECT_TRUE(sender.TimeRoundTrip().has_value()) << "the sender was closed";
}

// A joiner's own replies keep their place among the lines other threads write to it: A's
// JOIN is applied, then B quits while A's thread is still busy with A's next command;
// A must get its member list (353, naming B) before B's QUIT, or its client shows B as a
// member for good. The next command holds A's thread until B's QUIT has been applied.
TEST(Hostile, OwnRepliesAreNotOvertakenByLaterLines) {
    TestServer rig;
    TLobbyList& store = rig.Store();
    store.AllowCreate = true;
    std::atomic<bool> joined{false};
    rig.Server().OnCommandPart = [&](TNetPeerThread&, const std::string&) {
        joined = true;
        WaitUntil([&] { return !HasUser(store, "b"); }, 10s);
    };
    rig.Start();
    TestClient a, b;
    ASSERT_TRUE(a.Connect(rig.Port()) && a.Register("a"));
    ASSERT_TRUE(b.Connect(rig.Port()) && b.Register("b"));
    ASSERT_TRUE(b.SendLine("JOIN #jo"));
    ASSERT_TRUE(b.WaitFor(":localhost 366 b #jo :End of /NAMES list."));
    ASSERT_TRUE(a.Send("JOIN #jo\r\nPART #elsewhere\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return joined.load(); }, 10s));
    ASSERT_TRUE(b.SendLine("QUIT"));
    ASSERT_TRUE(a.WaitForPrefix(TestServer::Prefix("b") + " QUIT", 10s));
    const auto& before = a.Skipped();
    EXPECT_TRUE(std::any_of(before.begin(), before.end(), [](const std::string& line) {
        return line.starts_with(":localhost 353 a = #jo :") && line.find(" b") != std::string::npos;
    })) << "B's QUIT reached A before A's member list";
}

// One player tries to fill the lobby list: names of 7,000 bytes are refused, and of short
// names it gets only as many as a connection may be in; the newcomer after it is welcomed
// whole. The operator's own lobbies are not limited: with 2,000 of them (a welcome of
// about 2.5 MB, more than twice the output bound) a newcomer that reads still gets every
// line, and one that does not read is closed by the bound while others chat.
TEST(Hostile, LobbyFloodCannotLockOutNewcomers) {
    TestServer rig;
    TLobbyList& store = rig.Store();
    store.AllowCreate = true;
    rig.Start();
    TestClient flooder;
    ASSERT_TRUE(flooder.Connect(rig.Port()));
    ASSERT_TRUE(flooder.Register("flooder"));
    std::string joins;
    for (int i = 0; i < 1000; ++i)
        joins += "JOIN #" + std::to_string(i) + std::string(7000, 'L') + "\r\n";
    for (int i = 0; i < 100; ++i) joins += "JOIN #short" + std::to_string(i) + "\r\n";
    // Sent from a thread of its own while this one reads the refusals.
    std::thread sender([&] { EXPECT_TRUE(flooder.Send(joins)); });
    const bool refused = flooder.WaitFor("***Error: You are in too many lobbies!", 60s);
    sender.join();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(flooder.TimeRoundTrip(30s).has_value());
    EXPECT_EQ(store.LobbyCount(), TLobbyList::MaxLobbiesPerConnection);

    TestClient newcomer;
    ASSERT_TRUE(newcomer.Connect(rig.Port()));
    ASSERT_TRUE(newcomer.Register("newcomer", 10s));

    for (int i = 0; i < 2000; ++i)
        store.AddLobby(TLobbySender::Of(&rig), "#op" + std::to_string(i) + std::string(200, 'o'),
                       std::string(1000, 'd'), false, false);
    TestClient reader;
    TestClient silent;
    ASSERT_TRUE(reader.Connect(rig.Port(), "127.0.0.1", 4096));
    ASSERT_TRUE(silent.Connect(rig.Port(), "127.0.0.1", 4096));
    ASSERT_TRUE(silent.SendLine("USER silent h s :r") && silent.SendLine("NICK silent"));
    ASSERT_TRUE(reader.SendLine("USER reader h s :r") && reader.SendLine("NICK reader"));
    const std::size_t listed = ReadBurst(reader, ":localhost 322 reader #", 2020, 60s);
    EXPECT_EQ(listed, 2000u + TLobbyList::MaxLobbiesPerConnection);
    EXPECT_TRUE(reader.WaitFor(":localhost 376 reader :End of /MOTD command.", 10s));
    std::printf("[figure] welcome of %zu lobbies, %zu bytes, reached a reader whole\n", listed,
                reader.BytesReceived());

    const std::string chatter = "PRIVMSG #op1 :" + std::string(400, 'c');
    for (int i = 0; i < 20000 && HasUser(store, "silent"); ++i) {
        newcomer.SendLine(chatter);
        while (newcomer.Pump() && newcomer.NextLine()) {
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return !HasUser(store, "silent"); }, 10s))
        << "a client that never reads stays open";
    EXPECT_TRUE(newcomer.TimeRoundTrip().has_value());
}

// The lobbies a player creates stay counted against it after it parts them (a lobby that
// others keep, or one nobody removes), and all players together may make only so many:
// a player that joins and parts new names over and over gets its 20 and no more, a second
// one gets what is left under the server's cap, both are told so in the house style, and
// the creator's hold ends with its connection while the cap still counts its lobbies.
TEST(Hostile, CreatedLobbiesCountAgainstTheirCreatorAndTheServer) {
    TestServer rig;
    TLobbyList& store = rig.Store();
    store.AllowCreate = true;
    store.MaxPlayerLobbies = 30;
    rig.Start();
    const int limit = TLobbyList::MaxLobbiesPerConnection;
    TestClient first;
    ASSERT_TRUE(first.Connect(rig.Port()) && first.Register("first"));
    std::string cycles;
    for (int i = 0; i < limit + 5; ++i)
        cycles +=
            "JOIN #first" + std::to_string(i) + "\r\nPART #first" + std::to_string(i) + "\r\n";
    ASSERT_TRUE(first.Send(cycles));
    EXPECT_TRUE(first.WaitFor("***Error: You are in too many lobbies!", 10s));
    EXPECT_TRUE(first.TimeRoundTrip(10s).has_value());
    EXPECT_EQ(store.LobbyCount(), limit);

    TestClient second;
    ASSERT_TRUE(second.Connect(rig.Port()) && second.Register("second"));
    for (int i = 0; i < limit; ++i) second.SendLine("JOIN #second" + std::to_string(i));
    EXPECT_TRUE(second.WaitFor("***Error: Too many lobbies on this server!", 10s));
    EXPECT_TRUE(second.TimeRoundTrip(10s).has_value());
    EXPECT_EQ(store.LobbyCount(), 30);

    // Its lobbies outlive the first player and still fill the server; once the operator
    // removes some, a newcomer may create as many again.
    first.SendLine("QUIT");
    EXPECT_TRUE(first.WaitClosed(10s));
    TestClient third;
    ASSERT_TRUE(third.Connect(rig.Port()) && third.Register("third"));
    third.SendLine("JOIN #third0");
    EXPECT_TRUE(third.WaitFor("***Error: Too many lobbies on this server!", 10s));
    for (int i = 0; i < 3; ++i)
        store.RemoveLobbyByName(TLobbySender::Of(&rig), "#first" + std::to_string(i));
    for (int i = 0; i < 4; ++i) third.SendLine("JOIN #third" + std::to_string(i));
    EXPECT_TRUE(third.WaitFor("***Error: Too many lobbies on this server!", 10s));
    EXPECT_NE(store.FindLobby("#third2"), nullptr);
    EXPECT_EQ(store.FindLobby("#third3"), nullptr);
    EXPECT_EQ(store.LobbyCount(), 30);
}

#ifdef QUARN_REL_ADMIN
// One socket that never registers sends thousands of "private" lines: each is refused as
// not logged on and no lobby is made (each used to stay behind, empty, and every
// disconnect anywhere then cost the console work for each of them). Players that come
// and go meanwhile are served.
TEST(Hostile, UnregisteredPrivateSpamCreatesNothing) {
    const long lines = EnvLong("QUARN_REL_PRIVATE_SPAM", 5000);
    TempDir dir("quarn-rel-private");
    TestServer rig;
    AdminRig admin(rig, dir.Path());
    rig.Store().AllowCreate = true;
    rig.Start();

    TestClient spammer;
    ASSERT_TRUE(spammer.Connect(rig.Port()));
    std::string spam;
    for (long i = 0; i < lines; ++i) spam += "private spam" + std::to_string(100000 + i) + "_x\r\n";
    spam += "TIME\r\n";
    std::thread sender([&] { EXPECT_TRUE(spammer.Send(spam)); });
    const bool answered = spammer.WaitFor("421 Command not handled: TIME", 60s);
    sender.join();
    ASSERT_TRUE(answered);
    const auto refusals = std::count(spammer.Skipped().begin(), spammer.Skipped().end(),
                                     std::string("***Error: You are not logged on!"));
    std::printf("[figure] %ld private lines without a nick: %ld refused, %d lobbies made\n", lines,
                static_cast<long>(refusals), rig.Store().LobbyCount());
    EXPECT_EQ(refusals, lines);
    EXPECT_EQ(rig.Store().LobbyCount(), 0);

    TestClient chatter;
    ASSERT_TRUE(chatter.Connect(rig.Port()) && chatter.Register("chatter"));
    std::chrono::microseconds slowest{0};
    for (int i = 0; i < 10; ++i) {
        TestClient passer;
        ASSERT_TRUE(passer.Connect(rig.Port()) && passer.Register("passer" + std::to_string(i)));
        passer.Close();
        const auto trip = chatter.TimeRoundTrip(10s);
        ASSERT_TRUE(trip.has_value());
        slowest = std::max(slowest, *trip);
    }
    std::printf("[figure] 10 connects and closes after the spam: slowest chat round trip %.2f ms\n",
                slowest.count() / 1000.0);
}
#endif

// Users keep joining, chatting in, parting and quitting private lobbies while the server
// is stopped and destroyed under them, twenty times over: nothing crashes (the sanitizer
// builds run this too) and every stop ends with no member or registry entry left.
TEST(Hostile, StopWhileUsersComeAndGo) {
    for (int round = 0; round < 20; ++round) {
        TestServer rig;
        TLobbyList& store = rig.Store();
        for (int i = 0; i < 4; ++i)
            store.AddLobby(TLobbySender::Of(&rig), "#p" + std::to_string(i), "p", false, true);
        rig.Start();
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        for (int u = 0; u < 12; ++u) {
            users.emplace_back([&, u] {
                std::mt19937 random(static_cast<unsigned>(round * 100 + u));
                for (int n = 0; !stop; ++n) {
                    TestClient peer;
                    const std::string nick = "u" + std::to_string(u) + "_" + std::to_string(n);
                    if (!peer.Connect(rig.Port()) || !peer.Register(nick, 2s)) {
                        std::this_thread::sleep_for(5ms);
                        continue;
                    }
                    for (int step = 0; step < 20 && !stop; ++step) {
                        const std::string lobby = "#p" + std::to_string(random() % 4);
                        peer.SendLine((random() % 2 ? "JOIN " : "PART ") + lobby);
                        peer.SendLine("PRIVMSG " + lobby + " :hello");
                        peer.Pump();
                    }
                    if (random() % 2) peer.SendLine("QUIT");
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 10 * round));
        rig.Server().SetShuttingDown(true);
        rig.Stop();
        EXPECT_TRUE(WaitUntil([&] { return NothingLeft(store); }, 10s)) << "round " << round;
        stop = true;
        for (auto& user : users) user.join();
    }
}

// A handler that throws while a lost connection is being quit does not leave it behind:
// it is in no lobby and not in the registry once its thread is gone, and the others go on.
TEST(Hostile, ThrowingQuitHandlerLeavesNothingBehind) {
    TestServer rig;
    TLobbyList& store = rig.Store();
    store.AddLobby(TLobbySender::Of(&rig), "#a", "a", false, false);
    store.AddLobby(TLobbySender::Of(&rig), "#b", "b", false, true);
    rig.Server().OnUserPart = [](TNetPeerThread&, TLobby& lobby, const std::string& nick,
                                 std::string&) {
        if (nick == "victim" && lobby.Name == "#a") throw std::runtime_error("handler failed");
    };
    rig.Server().OnUserQuit = [](TNetPeerThread&, const std::string& nick) {
        if (nick == "victim") throw std::runtime_error("handler failed");
    };
    rig.Start();
    TestClient victim;
    TestClient other;
    ASSERT_TRUE(victim.Connect(rig.Port()) && other.Connect(rig.Port()));
    ASSERT_TRUE(victim.Register("victim") && other.Register("other"));
    ASSERT_TRUE(victim.SendLine("JOIN #a") && victim.SendLine("JOIN #b"));
    ASSERT_TRUE(victim.WaitFor(":localhost 366 victim #b :End of /NAMES list."));
    victim.Reset();
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard guard(store.Lock());
            return store.UserCount() == 1 && store.FindLobby("#a")->MemberCount() == 0 &&
                   store.FindLobby("#b")->MemberCount() == 0;
        },
        10s));
    EXPECT_TRUE(other.TimeRoundTrip().has_value());
    other.Close();
    EXPECT_TRUE(WaitUntil([&] { return NothingLeft(store); }, 10s));
}
