// The fixture of the chat core's protocol tests: a real TNetIRCServer on a free loopback
// port, started by the test once its events are set, stopped and released in TearDown.
// Also a thread-safe recorder for events raised on connection threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TestClient.h"
#include "chat/NetIrcServer.h"

using namespace std::chrono_literals;

// Event handlers run on connection threads; they record what they saw here.
class EventRecord {
  public:
    void Add(const std::string& text) {
        std::lock_guard lock(mutex_);
        items_.push_back(text);
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

// Polls until the condition holds or the time-out passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class ChatServerTest : public ::testing::Test {
  private:
    std::deque<EventRecord> records_;  // declared before server: destroyed after it

  protected:
    static constexpr const char* Ip = "127.0.0.1";

    void SetUp() override { server = std::make_unique<TNetIRCServer>(0ms); }

    void TearDown() override {
        if (server->Active()) server->SetActive(false);
        server.reset();
    }

    // Binds a free port on the loopback address and listens; set events before this.
    void Start() {
        TNetSocketHandle& binding = server->Bindings().Add();
        binding.SetIP(Ip);
        binding.SetPort(0);
        server->SetActive(true);
        port = server->Bindings()[0].Port();
        ASSERT_GT(port, 0);
    }

    TestClient Connect() {
        TestClient client(port);
        EXPECT_TRUE(client.IsOpen());
        return client;
    }

    TestClient Registered(const std::string& nick) {
        TestClient client = Connect();
        EXPECT_TRUE(client.Register(nick)) << nick;
        return client;
    }

    // Connected and served (a LIST answered proves the server is reading it).
    TestClient Live() {
        TestClient client = Connect();
        client.SendLine("LIST");
        EXPECT_TRUE(client.WaitFor(":localhost 323  :End of /LIST"));
        return client;
    }

    // USER sent and seen by the server (a LIST answered after it proves it).
    TestClient LoggedOn() {
        TestClient client = Connect();
        client.SendLine("USER u h s :r");
        client.SendLine("LIST");
        EXPECT_TRUE(client.WaitFor(":localhost 323  :End of /LIST"));
        return client;
    }

    TLobbyList& Store() { return server->LobbyStore(); }

    // The connection registered under the nick; the caller must not outlive it.
    TNetPeerThread* ThreadOf(const std::string& nick) {
        std::lock_guard lock(Store().Lock());
        for (const TUserEntry& entry : Store().Users()) {
            if (entry.Nick == nick) return entry.Thread;
        }
        return nullptr;
    }

    std::string Prefix(const std::string& nick) const { return ":" + nick + "!user@" + Ip; }

    int AddLobby(const std::string& name, const std::string& description, bool isPrivate = false) {
        return Store().AddLobby(TLobbySender::Of(this), name, description, false, isPrivate);
    }

    // A record that outlives the server: handlers still run while TearDown stops it.
    EventRecord& NewRecord() { return records_.emplace_back(); }

    std::unique_ptr<TNetIRCServer> server;
    int port = 0;
};
