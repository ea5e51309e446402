// The frame's test servers: BareServer, a frame server on a loopback port of its own that
// counts its steps, and ParkedServerTest, the fixture whose bare server parks each accepted
// peer thread in its execute step until the test releases it, so the test thread can use
// the server side of the connection directly while its owner is guaranteed to be alive.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "NetException.h"
#include "NetTCPServer.h"
#include "support/TestClient.h"
#include "support/WaitUntil.h"

struct BareServer {
    BareServer() {
        server.Bindings().Add().SetIP("127.0.0.1");
        server.OnConnect = [this](TNetPeerThread&) { ++connects; };
        server.OnDisconnect = [this](TNetPeerThread&) { ++disconnects; };
    }
    int Port() { return server.Bindings()[0].Port(); }

    std::atomic<int> connects{0};
    std::atomic<int> executes{0};
    std::atomic<int> disconnects{0};
    TNetTCPServer server;
};

class ParkedServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.OnExecute = [this](TNetPeerThread& thread) {
            Park(thread);
            for (;;) thread.Connection().ReadLine();
        };
        server_.SetActive(true);
        port_ = server_.Bindings()[0].Port();
    }

    void TearDown() override {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        cv_.notify_all();
        server_.SetActive(false);
    }

    // Connects `client` and returns the server side of its connection.
    TNetTCPServerConnection& Accept(TestClient& client, int recvBuffer = 0) {
        std::unique_lock lock(mutex_);
        const std::size_t before = parked_.size();
        lock.unlock();
        EXPECT_TRUE(client.Connect(port_, "127.0.0.1", recvBuffer));
        lock.lock();
        const bool accepted =
            cv_.wait_for(lock, std::chrono::seconds(5), [&] { return parked_.size() > before; });
        if (!accepted) throw std::runtime_error("connection not accepted");
        return parked_[before]->Connection();
    }

    BareServer bare_;
    TNetTCPServer& server_ = bare_.server;
    int port_ = 0;

  private:
    void Park(TNetPeerThread& thread) {
        std::unique_lock lock(mutex_);
        parked_.push_back(&thread);
        cv_.notify_all();
        cv_.wait(lock, [this] { return released_; });
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<TNetPeerThread*> parked_;  // guarded by mutex_
    bool released_ = false;                // guarded by mutex_
};
