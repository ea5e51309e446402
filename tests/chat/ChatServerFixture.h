// The fixture of the chat core's protocol tests: the shared test server (a real
// TNetIRCServer on a free loopback port, started by the test once its events are set and
// stopped with the fixture), a few ways of connecting to it, and a thread-safe recorder
// for events raised on connection threads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestServer.h"
#include "support/WaitUntil.h"

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

// The records of one test. A base before TestServer: they outlive the server, whose
// handlers still run while it stops.
class EventRecords {
  protected:
    EventRecord& NewRecord() { return records_.emplace_back(); }

  private:
    std::deque<EventRecord> records_;
};

class ChatServerTest : public ::testing::Test, protected EventRecords, protected TestServer {
  protected:
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

    // The connection registered under the nick; the caller must not outlive it.
    TNetPeerThread* ThreadOf(const std::string& nick) {
        std::lock_guard lock(Store().Lock());
        for (const TUserEntry& entry : Store().Users()) {
            if (entry.Nick == nick) return entry.Thread;
        }
        return nullptr;
    }

    int AddLobby(const std::string& name, const std::string& description, bool isPrivate = false) {
        return Store().AddLobby(TLobbySender::Of(this), name, description, false, isPrivate);
    }
};
