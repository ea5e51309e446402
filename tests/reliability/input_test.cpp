// Hostile and odd input bytes against the real server: endless lines, the line bound,
// reassembly across any chunking, and control characters that must never reach another
// client inside a line.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "RelSupport.h"
#include "net/NetTCPConnection.h"
#include "support/TestServer.h"
#include "support/WaitUntil.h"

using namespace rel;

namespace {

// Drains every peer until none has said anything for `quiet`.
void DrainQuiet(std::vector<TestClient*> peers, std::chrono::milliseconds quiet = 200ms) {
    std::vector<pollfd> fds;
    for (TestClient* p : peers) fds.push_back({p->Fd(), POLLIN, 0});
    while (::poll(fds.data(), fds.size(), static_cast<int>(quiet.count())) > 0) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (!peers[i]->Pump()) fds[i].fd = -1;
            while (auto line = peers[i]->NextLine()) peers[i]->Skipped().push_back(*line);
        }
    }
}

}  // namespace

// 64 MiB without a LF: the connection is closed soon after 8 KiB are buffered, the
// server's CPU and memory stay small, and other users go on being served.
TEST(Input, EndlessLineIsCut) {
    TestServer rig(1s);
    rig.Start();
    TestClient other;
    ASSERT_TRUE(other.Connect(rig.Port(), "127.0.0.2"));
    ASSERT_TRUE(other.Register("other"));
    TestClient flood;
    ASSERT_TRUE(flood.Connect(rig.Port(), "127.0.0.3"));
    ASSERT_TRUE(flood.Register("flood"));

    const long rssBefore = RssKiB();
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    constexpr std::size_t total = 64u << 20;
    const std::string chunk(64 * 1024, 'A');
    std::size_t sent = 0;
    long rssPeak = rssBefore;
    int sendError = 0;
    ASSERT_TRUE(flood.Send("PRIVMSG #x :"));
    while (sent < total) {
        ssize_t n = ::send(flood.Fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            sendError = errno;
            break;
        }
        sent += static_cast<std::size_t>(n);
        if ((sent & ((1u << 20) - 1)) < chunk.size()) rssPeak = std::max(rssPeak, RssKiB());
    }
    const double closeS = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    rssPeak = std::max(rssPeak, RssKiB());
    bool quitSeen = other.WaitFor(":flood!user@127.0.0.3 QUIT ", 3s);
    auto time = other.TimeRoundTrip();

    std::printf(
        "[figure] endless line: closed after %zu KiB were accepted by the socket (%.3f s), "
        "send error %d; process CPU %.3f s; RSS %ld KiB -> peak %ld KiB (+%ld KiB)\n",
        sent / 1024, closeS, sendError, cpu, rssBefore, rssPeak, rssPeak - rssBefore);
    EXPECT_LT(sent, total) << "64 MiB without LF were all accepted";
    EXPECT_TRUE(sendError == EPIPE || sendError == ECONNRESET) << sendError;
    EXPECT_LT(closeS, 3.0);
    EXPECT_LT(cpu, 2.0);
    EXPECT_LT(rssPeak - rssBefore, 32 * 1024);
    EXPECT_TRUE(quitSeen);
    EXPECT_TRUE(time.has_value());
}

// A line of exactly the bound (8192 bytes, LF or CR LF after it) is relayed intact; a
// line one byte longer, or 8194 bytes without a LF (more than the bound and a CR), closes
// the sender.
TEST(Input, LineBoundIsExact) {
    TestServer rig(1s);
    rig.Start();
    TestClient observer, sender;
    ASSERT_TRUE(observer.Connect(rig.Port(), "127.0.0.2"));
    ASSERT_TRUE(observer.Register("obs"));
    ASSERT_TRUE(sender.Connect(rig.Port(), "127.0.0.3"));
    ASSERT_TRUE(sender.Register("snd"));

    const std::string head = "PRIVMSG #x :";
    const std::size_t bound = TNetTCPConnection::MaxLineLength;
    const std::string body(bound - head.size(), 'b');
    const std::string relayedLine = ":snd!user@127.0.0.3 PRIVMSG #x :" + body;
    ASSERT_TRUE(sender.Send(head + body + "\n"));
    bool relayedLf = observer.WaitFor(relayedLine, 3s);
    ASSERT_TRUE(sender.Send(head + body + "\r\n"));
    bool relayedCrLf = observer.WaitFor(relayedLine, 3s);
    auto alive = sender.TimeRoundTrip();

    TestClient longer;
    ASSERT_TRUE(longer.Connect(rig.Port(), "127.0.0.4"));
    ASSERT_TRUE(longer.Send(head + body + "b\n"));
    bool longerClosed = longer.WaitClosed(3s);

    ASSERT_TRUE(sender.Send(head + body + "bb"));  // bound + 2 bytes, no LF
    bool unterminatedClosed = sender.WaitClosed(3s);
    std::printf(
        "[figure] line bound: %zu-byte line relayed (LF %d, CR LF %d); %zu+1 bytes with "
        "LF closed %d; %zu+2 bytes without LF closed %d\n",
        bound, relayedLf, relayedCrLf, bound, longerClosed, bound, unterminatedClosed);
    EXPECT_TRUE(relayedLf);
    EXPECT_TRUE(relayedCrLf);
    EXPECT_TRUE(alive.has_value());
    EXPECT_TRUE(longerClosed);
    EXPECT_TRUE(unterminatedClosed);
    EXPECT_TRUE(observer.WaitFor(":snd!user@127.0.0.3 QUIT ", 3s));
}

namespace {

enum class Chunking { Whole, ByteByByte, ThreePerSend, AllAtOnce, Random };

const char* Name(Chunking c) {
    switch (c) {
        case Chunking::Whole:
            return "whole";
        case Chunking::ByteByByte:
            return "byte-by-byte";
        case Chunking::ThreePerSend:
            return "three-per-send";
        case Chunking::AllAtOnce:
            return "all-at-once";
        case Chunking::Random:
            return "random";
    }
    return "?";
}

void SendChunked(TestClient& peer, const std::vector<std::string>& lines, Chunking how,
                 std::mt19937& rng) {
    std::string all;
    for (const auto& l : lines) all += l;
    switch (how) {
        case Chunking::Whole:
            for (const auto& l : lines) ASSERT_TRUE(peer.Send(l));
            break;
        case Chunking::ByteByByte:
            for (char c : all) {
                ASSERT_TRUE(peer.Send(std::string(1, c)));
                if (rng() % 16 == 0) std::this_thread::sleep_for(200us);
            }
            break;
        case Chunking::ThreePerSend:
            for (std::size_t i = 0; i < lines.size(); i += 3) {
                std::string group;
                for (std::size_t j = i; j < std::min(lines.size(), i + 3); ++j) group += lines[j];
                ASSERT_TRUE(peer.Send(group));
            }
            break;
        case Chunking::AllAtOnce:
            ASSERT_TRUE(peer.Send(all));
            break;
        case Chunking::Random:
            for (std::size_t at = 0; at < all.size();) {
                std::size_t n = std::min(all.size() - at, 1 + rng() % 23);
                ASSERT_TRUE(peer.Send(all.substr(at, n)));
                at += n;
                if (rng() % 4 == 0) std::this_thread::sleep_for(300us);
            }
            break;
    }
}

struct Transcript {
    std::vector<std::string> sender, observer;
    bool operator==(const Transcript&) const = default;
};

void PrintTo(const Transcript& t, std::ostream* os) {
    *os << "\n  sender:";
    for (const auto& l : t.sender) *os << "\n    " << ::testing::PrintToString(l);
    *os << "\n  observer:";
    for (const auto& l : t.observer) *os << "\n    " << ::testing::PrintToString(l);
}

// Runs one script from a fresh connection and records what the sender and a registered
// observer receive, up to the sender's close (the script ends with QUIT). The date line
// of the welcome is dropped: it differs from run to run.
Transcript RunScript(int port, TestClient& observer, const std::vector<std::string>& script,
                     Chunking how, std::mt19937& rng) {
    Transcript t;
    TestClient sender;
    EXPECT_TRUE(sender.Connect(port, "127.0.0.3"));
    SendChunked(sender, script, how, rng);
    EXPECT_TRUE(sender.WaitClosed(5s)) << Name(how);
    for (const auto& l : sender.Skipped()) {
        if (l.find(" 372 ") == std::string::npos) t.sender.push_back(l);
    }
    EXPECT_TRUE(observer.WaitFor(":rea!user@127.0.0.3 QUIT ", 5s)) << Name(how);
    observer.Skipped().push_back(":rea!user@127.0.0.3 QUIT ");
    t.observer = observer.Skipped();
    observer.Skipped().clear();
    EXPECT_EQ(sender.BadLines(), 0u);
    return t;
}

}  // namespace

// The same lines sent whole, byte by byte, three per send, all at once and in random
// pieces give identical results, with LF and CR LF endings alike; CR CR LF keeps one CR,
// which the relay turns into a trailing blank.
TEST(Input, ReassemblyIsChunkingIndependent) {
    TestServer rig(1s);
    rig.Server().LobbyStore().AllowCreate = true;
    rig.Start();
    TestClient observer;
    ASSERT_TRUE(observer.Connect(rig.Port(), "127.0.0.2"));
    ASSERT_TRUE(observer.Register("obs"));
    observer.Skipped().clear();
    std::mt19937 rng(12345);

    const std::vector<std::string> body = {"USER rea h s :real name",
                                           "NICK rea",
                                           "JOIN #rea",
                                           "PRIVMSG #rea :hello world",
                                           "PRIVMSG obs :a second line",
                                           "TIME",
                                           "join #rea2",
                                           "PRIVMSG #rea :  spaced  ",
                                           "PART #rea2",
                                           "LIST",
                                           "PRIVMSG #rea :last one",
                                           "QUIT"};
    const Chunking all[] = {Chunking::Whole, Chunking::ByteByByte, Chunking::ThreePerSend,
                            Chunking::AllAtOnce, Chunking::Random};

    // User-created lobbies outlive their members in the core; each run starts without them.
    auto forgetLobbies = [&] {
        for (const char* name : {"#rea", "#rea2"})
            rig.Server().LobbyStore().RemoveLobbyByName(TLobbySender::Of(&rig), name);
    };
    std::optional<Transcript> reference;
    int runs = 0;
    for (const char* ending : {"\r\n", "\n"}) {
        std::vector<std::string> script;
        for (const auto& l : body) script.push_back(l + ending);
        for (Chunking how : all) {
            Transcript t = RunScript(rig.Port(), observer, script, how, rng);
            forgetLobbies();
            ++runs;
            if (!reference) {
                reference = t;
                EXPECT_GE(t.observer.size(), 8u);
            } else {
                EXPECT_EQ(t, *reference)
                    << "ending " << (ending[0] == '\r' ? "CR LF" : "LF") << ", " << Name(how);
            }
        }
    }
    // CR CR LF on the chat lines: the line keeps one CR, relayed as a blank.
    for (Chunking how : all) {
        std::vector<std::string> script = {"USER rea h s :r\r\n", "NICK rea\r\n",
                                           "PRIVMSG #rea :crcr\r\r\n", "PRIVMSG #rea :x\r\r\n",
                                           "QUIT\r\n"};
        Transcript t = RunScript(rig.Port(), observer, script, how, rng);
        ++runs;
        std::vector<std::string> relayed;
        for (const auto& l : t.observer) {
            if (l.find(" PRIVMSG ") != std::string::npos) relayed.push_back(l);
        }
        EXPECT_EQ(relayed, (std::vector<std::string>{":rea!user@127.0.0.3 PRIVMSG #rea :crcr ",
                                                     ":rea!user@127.0.0.3 PRIVMSG #rea :x "}))
            << Name(how);
    }
    std::printf("[figure] reassembly: %d runs, %zu observer lines each, all identical\n", runs,
                reference ? reference->observer.size() : 0);
    EXPECT_EQ(observer.BadLines(), 0u);
}

// CR and NUL inside PRIVMSG text, targets, nicks and lobby names never reach another
// client inside a line: every line written matches "no CR, LF or NUL before the final
// CR LF", relayed text has them as blanks, such nicks are refused and lobby names lose
// them.
TEST(Input, ControlBytesNeverSplitALine) {
    TestServer rig(1s);
    rig.Server().LobbyStore().AllowCreate = true;
    rig.Start();
    TestClient observer, unregistered, sender;
    ASSERT_TRUE(observer.Connect(rig.Port(), "127.0.0.2"));
    ASSERT_TRUE(observer.Register("obs"));
    ASSERT_TRUE(unregistered.Connect(rig.Port(), "127.0.0.4"));
    ASSERT_TRUE(unregistered.SendLine("USER u h s :r"));
    ASSERT_TRUE(sender.Connect(rig.Port(), "127.0.0.3"));
    ASSERT_TRUE(sender.Register("snd"));

    using namespace std::string_literals;
    const std::string p = ":snd!user@127.0.0.3";
    ASSERT_TRUE(sender.Send("PRIVMSG #x :a\rb\0c\r\n"s));
    EXPECT_TRUE(observer.WaitFor(p + " PRIVMSG #x :a b c", 3s));
    ASSERT_TRUE(sender.Send("PRIVMSG #x\r:fake!user@1.2.3.4 PRIVMSG #x :\0evil\r\n"s));
    EXPECT_TRUE(observer.WaitFor(p + " PRIVMSG #x :fake!user@1.2.3.4 PRIVMSG #x : evil", 3s));
    ASSERT_TRUE(sender.Send("PRIVMSG #x :\r\r\r\0\0\r\n"s));
    EXPECT_TRUE(observer.WaitFor(p + " PRIVMSG #x :     ", 3s));
    ASSERT_TRUE(sender.Send("JOIN #lo\rbb\x01y\0\x1f\r\n"s));
    EXPECT_TRUE(observer.WaitFor(p + " JOIN :#lobby", 3s))
        << ::testing::PrintToString(observer.Skipped());
    {
        std::lock_guard lock(rig.Server().LobbyStore().Lock());
        EXPECT_NE(rig.Server().LobbyStore().FindLobby("#lobby"), nullptr);
    }
    ASSERT_TRUE(sender.Send("PART #lobby\r\n"s));

    int refused = 0;
    const std::string badNicks[] = {"ev\ril"s, "ev\0il"s, "evil\x01"s, "\x7f\x02x"s, "e\x1b[2Jv"s};
    for (const std::string& nick : badNicks) {
        TestClient bad;
        ASSERT_TRUE(bad.Connect(rig.Port(), "127.0.0.5"));
        ASSERT_TRUE(bad.Send("USER b h s :r\r\nNICK " + nick + "\r\n"));
        bool closed = bad.WaitClosed(3s);
        refused += closed ? 1 : 0;
        EXPECT_TRUE(closed) << "nick with control bytes was accepted";
        EXPECT_EQ(bad.BadLines(), 0u);
    }
    {
        std::lock_guard lock(rig.Server().LobbyStore().Lock());
        EXPECT_EQ(rig.Server().LobbyStore().UserCount(), 3);  // obs, u, snd
    }
    ASSERT_TRUE(sender.SendLine("QUIT"));
    EXPECT_TRUE(observer.WaitFor(p + " QUIT ", 3s));
    DrainQuiet({&observer, &unregistered});

    std::printf(
        "[figure] injection: observer %zu bad lines, unregistered %zu, sender %zu; %d/%zu "
        "control-byte nicks refused\n",
        observer.BadLines(), unregistered.BadLines(), sender.BadLines(), refused,
        std::size(badNicks));
    for (const auto& s : observer.BadSamples()) ADD_FAILURE() << "bad line: " << s;
    EXPECT_EQ(observer.BadLines(), 0u);
    EXPECT_EQ(unregistered.BadLines(), 0u);
    EXPECT_EQ(sender.BadLines(), 0u);
}
