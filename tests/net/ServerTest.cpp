#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetTestFixture.h"

using namespace std::chrono_literals;

namespace {

// Answers every line with "echo " and the line.
void Echo(TNetPeerThread& thread) {
    TNetTCPServerConnection& connection = thread.Connection();
    while (connection.IsConnected()) connection.WriteLine("echo " + connection.ReadLine());
}

}  // namespace

// Activation, deactivation and activation again listen on the same address and port, and
// deactivation closes the clients of the first activation.
TEST(Server, ReactivatesOnTheSamePort) {
    BareServer s;
    s.server.OnExecute = Echo;
    s.server.SetActive(true);
    const int port = s.Port();
    ASSERT_GT(port, 0);
    TestClient first(port);
    first.SendLine("a");
    EXPECT_EQ(first.ReadLine(), "echo a");

    s.server.SetActive(false);
    EXPECT_FALSE(s.server.Active());
    EXPECT_TRUE(first.WaitClosed());
    EXPECT_EQ(s.server.PeerThreads().Count(), 0u);
    EXPECT_EQ(s.disconnects.load(), 1);
    EXPECT_FALSE(TestClient(port).IsOpen());

    s.server.SetActive(true);
    EXPECT_EQ(s.Port(), port);
    TestClient second(port);
    second.SendLine("b");
    EXPECT_EQ(second.ReadLine(), "echo b");
    s.server.SetActive(false);
    s.server.SetActive(false);
    EXPECT_EQ(s.connects.load(), 2);
    EXPECT_EQ(s.disconnects.load(), 2);
}

// An address in use fails the activation with the bind error and leaves the server
// inactive; it can be activated once the address is free.
TEST(Server, ActivationOnAPortInUseFails) {
    BareServer holder;
    holder.server.OnExecute = Echo;
    holder.server.SetActive(true);
    BareServer late;
    late.server.Bindings()[0].SetPort(holder.Port());
    late.server.OnExecute = Echo;
    EXPECT_THROW(late.server.SetActive(true), ENetCouldNotBindSocket);
    EXPECT_FALSE(late.server.Active());
    const int port = holder.Port();
    holder.server.SetActive(false);
    late.server.SetActive(true);
    TestClient client(port);
    client.SendLine("x");
    EXPECT_EQ(client.ReadLine(), "echo x");
}

// A binding whose address this host lacks fails the activation, unless it is optional (an
// IPv6 binding on a host without IPv6): then the server starts on the others, and an
// optional binding still fails on an address in use.
TEST(Server, OptionalBindingMissingHereIsPassedOver) {
    BareServer s;
    s.server.OnExecute = Echo;
    TNetSocketHandle& absent = s.server.Bindings().Add();
    absent.SetIP("2001:db8::1");  // documentation prefix: never a local address
    EXPECT_THROW(s.server.SetActive(true), ENetSocketError);
    EXPECT_FALSE(s.server.Active());
    absent.SetOptional(true);
    s.server.SetActive(true);
    EXPECT_FALSE(absent.IsOpen());
    TestClient client(s.Port());
    client.SendLine("x");
    EXPECT_EQ(client.ReadLine(), "echo x");

    BareServer late;
    TNetSocketHandle& taken = late.server.Bindings()[0];
    taken.SetPort(s.Port());
    taken.SetOptional(true);
    EXPECT_THROW(late.server.SetActive(true), ENetCouldNotBindSocket);
}

// Over IPv6: a binding on ::1 takes IPv6 clients and knows them by their usual text form.
TEST(Server, IPv6BindingKnowsItsPeersAddress) {
    if (!TestClient().Prepare("::1")) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    TNetTCPServer server;
    server.Bindings().Add().SetIP("::1");
    server.OnExecute = [](TNetPeerThread& thread) {
        TNetTCPServerConnection& connection = thread.Connection();
        connection.ReadLine();
        connection.WriteLine(connection.PeerAddress());
    };
    server.SetActive(true);
    EXPECT_EQ(server.Bindings()[0].IP(), "::1");
    TestClient client(server.Bindings()[0].Port(), "::1");
    ASSERT_TRUE(client.IsOpen());
    client.SendLine("who");
    EXPECT_EQ(client.ReadLine(), "::1");
    EXPECT_EQ(client.LocalIP(), "::1");
}

// A client that connects and closes at once still yields one connect and one disconnect
// step, and its thread leaves PeerThreads.
TEST(Server, ConnectThenCloseRunsEachStepOnce) {
    BareServer s;
    s.server.OnExecute = [&s](TNetPeerThread& thread) {
        ++s.executes;
        thread.Connection().ReadLine();
    };
    s.server.SetActive(true);
    TestClient(s.Port()).Close();
    EXPECT_TRUE(WaitUntil([&] { return s.disconnects.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return s.server.PeerThreads().Count() == 0; }));
    EXPECT_EQ(s.connects.load(), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.disconnects.load(), 1);
}

// A failing connect step skips the execute step; the disconnect step still runs and the
// client is closed.
TEST(Server, FailingConnectSkipsExecute) {
    BareServer s;
    s.server.OnConnect = [&s](TNetPeerThread&) {
        ++s.connects;
        throw std::runtime_error("refused");
    };
    s.server.OnExecute = [&s](TNetPeerThread&) { ++s.executes; };
    s.server.SetActive(true);
    TestClient client(s.Port());
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return s.server.PeerThreads().Count() == 0; }));
    EXPECT_EQ(s.connects.load(), 1);
    EXPECT_EQ(s.executes.load(), 0);
    EXPECT_EQ(s.disconnects.load(), 1);
}

// A failing disconnect step still leaves the thread out of PeerThreads with its connection
// closed, and the server can be torn down.
TEST(Server, FailingDisconnectStillReleasesTheThread) {
    BareServer s;
    s.server.OnExecute = Echo;
    s.server.OnDisconnect = [&s](TNetPeerThread&) {
        ++s.disconnects;
        throw std::runtime_error("handler failed");
    };
    s.server.SetActive(true);
    TestClient client(s.Port());
    client.SendLine("QUIT");
    EXPECT_EQ(client.ReadLine(), "echo QUIT");
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return s.server.PeerThreads().Count() == 0; }));
    EXPECT_EQ(s.disconnects.load(), 1);
}

// Socket errors from the execute step are absorbed: 10053 and 10054 close the thread's own
// connection, any other code lets the step run again on the live connection.
TEST(Server, ExecuteStepSocketErrors) {
    BareServer s;
    s.server.OnExecute = [&s](TNetPeerThread& thread) {
        const std::string line = thread.Connection().ReadLine();
        ++s.executes;
        if (line == "abort") throw ENetSocketError(10053);
        if (line == "timeout") throw ENetSocketError(10060);
        thread.Connection().WriteLine("ok " + line);
    };
    s.server.SetActive(true);
    TestClient client(s.Port());
    client.SendLine("timeout");
    client.SendLine("next");
    EXPECT_EQ(client.ReadLine(), "ok next");
    client.SendLine("abort");
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return s.disconnects.load() == 1; }));
    EXPECT_EQ(s.executes.load(), 3);
}

// A server without an execute handler ends each connection quietly after connecting it.
TEST(Server, NoExecuteHandlerEndsTheConnection) {
    BareServer s;
    s.server.SetActive(true);
    TestClient client(s.Port());
    EXPECT_TRUE(WaitUntil([&] { return s.disconnects.load() == 1; }));
    EXPECT_EQ(s.connects.load(), 1);
    EXPECT_TRUE(client.WaitClosed());
}

// A peer thread may deactivate the server it runs on (the remote shutdown does): the
// other clients are closed, the call returns, the thread ends cleanly, and the server can
// be activated again.
TEST(Server, DeactivationFromAPeerThread) {
    BareServer s;
    std::atomic<bool> returned{false};
    s.server.OnExecute = [&](TNetPeerThread& thread) {
        TNetTCPServerConnection& connection = thread.Connection();
        const std::string line = connection.ReadLine();
        if (line == "shutdown") {
            s.server.SetActive(false);
            returned = true;
        }
        if (connection.IsConnected()) connection.WriteLine("echo " + line);
    };
    s.server.SetActive(true);
    const int port = s.Port();
    TestClient bystander(port);
    TestClient admin(port);
    bystander.SendLine("hi");
    EXPECT_EQ(bystander.ReadLine(), "echo hi");
    admin.SendLine("shutdown");
    EXPECT_TRUE(bystander.WaitClosed(10s));
    EXPECT_TRUE(admin.WaitClosed(10s));
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 10s));
    EXPECT_TRUE(WaitUntil([&] { return s.server.PeerThreads().Count() == 0; }));
    EXPECT_FALSE(s.server.Active());
    EXPECT_EQ(s.disconnects.load(), 2);

    s.server.SetActive(true);
    TestClient again(port);
    again.SendLine("back");
    EXPECT_EQ(again.ReadLine(), "echo back");
}

// A peer thread busy beyond TerminateWaitTime is left running by deactivation; it ends
// later without touching anything freed, and destruction waits for it.
TEST(Server, PeerOutlivingTheDeactivationWait) {
    auto s = std::make_unique<BareServer>();
    s->server.TerminateWaitTime = 250;
    std::atomic<bool> busy{false};
    s->server.OnExecute = [&](TNetPeerThread& thread) {
        busy = true;
        std::this_thread::sleep_for(1500ms);  // deaf to the close meanwhile
        thread.Connection().ReadLine();
    };
    s->server.SetActive(true);
    TestClient client(s->Port());
    ASSERT_TRUE(WaitUntil([&] { return busy.load(); }));
    s->server.SetActive(false);
    EXPECT_EQ(s->server.PeerThreads().Count(), 1u);
    EXPECT_EQ(s->disconnects.load(), 0);
    s->server.SetActive(true);  // a new manager, while the old one still has a thread
    s.reset();                  // waits for the late thread
    SUCCEED();
}

// The listener survives running out of descriptors: it pauses and goes on accepting, and
// the client that waited in the backlog is served once descriptors are free again.
TEST(Server, ListenerSurvivesDescriptorShortage) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan's type checks open files of their own and report false faults without them.
    GTEST_SKIP() << "needs descriptors that the sanitizer runtime takes";
#endif
    BareServer s;
    s.server.OnExecute = Echo;
    s.server.SetActive(true);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The client's socket takes the lowest free number; the limit leaves none for accept.
    const int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    TestClient client(s.Port());
    const bool connected = client.IsOpen();
    std::this_thread::sleep_for(300ms);
    const int acceptedMeanwhile = s.connects.load();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(connected);
    EXPECT_EQ(acceptedMeanwhile, 0);
    client.SendLine("after");
    EXPECT_EQ(client.ReadLine(5s), "echo after");
    EXPECT_EQ(s.connects.load(), 1);
}

// Destroying a server with clients still connected ends every peer thread first.
TEST(Server, DestructionEndsEveryPeer) {
    auto s = std::make_unique<BareServer>();
    s->server.OnExecute = Echo;
    s->server.SetActive(true);
    std::vector<TestClient> clients;
    for (int i = 0; i < 20; ++i) clients.emplace_back(s->Port());
    for (auto& client : clients) {
        client.SendLine("ping");
        EXPECT_EQ(client.ReadLine(), "echo ping");
    }
    s.reset();
    for (auto& client : clients) EXPECT_TRUE(client.WaitClosed());
}

// Clients arriving, talking, closing and resetting while another thread sweeps and a third
// fans lines out to everyone: every accepted connection gets exactly one connect and one
// disconnect step, and deactivation leaves no peer thread behind.
TEST(Server, ChurnWithSweepAndFanOut) {
    BareServer s;
    s.server.OnExecute = Echo;
    s.server.SetActive(true);
    const int port = s.Port();
    std::atomic<bool> stop{false};
    auto underPeerThreads = [&s](auto&& visit) {
        TNetThreadList& peers = s.server.PeerThreads();
        std::lock_guard lock(peers.Mutex());
        std::vector<TNetTCPConnection*> connections;
        for (TNetPeerThread* peer : peers.Items()) connections.push_back(&peer->Connection());
        visit(connections);
    };
    std::thread sweeper([&] {
        while (!stop) {
            underPeerThreads([](auto& all) { TNetTCPConnection::ProbeConnections(all); });
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread fanOut([&] {
        while (!stop) {
            underPeerThreads([](auto& all) {
                for (TNetTCPConnection* connection : all) {
                    try {
                        if (connection->IsConnected()) connection->WriteLine("news");
                    } catch (const ENetConnClosedGracefully&) {
                    }
                }
            });
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([port, c] {
            for (int i = 0; i < 25; ++i) {
                TestClient client(port);
                client.SendLine("hello");
                client.ReadLine(1s);
                if ((i + c) % 3 == 0) client.Reset();
            }
        });
    }
    for (auto& client : clients) client.join();
    stop = true;
    sweeper.join();
    fanOut.join();
    s.server.SetActive(false);
    EXPECT_EQ(s.server.PeerThreads().Count(), 0u);
    EXPECT_EQ(s.connects.load(), 100);
    EXPECT_EQ(s.disconnects.load(), s.connects.load());
}
