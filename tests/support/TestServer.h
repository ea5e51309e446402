// The real chat server on a loopback port the system chooses, for the chat, reliability
// and remote administration tests: made stopped, so a test sets its events first, then
// Start(); stopped and destroyed with the object. The test thread drives it; its events
// run on connection threads. Its flood control is off, so that tests may send bursts;
// the tests of flood control turn it on (TNetIRCServer::DefaultFloodRate and Burst).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "chat/NetIrcServer.h"
#include "support/TestClient.h"

class TestServer {
  public:
    static constexpr const char* Ip = "127.0.0.1";

    // sweep: the core's sweep period; zero (the default) switches the sweep timer off.
    explicit TestServer(std::chrono::milliseconds sweep = std::chrono::milliseconds(0));
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    static constexpr const char* Ip6 = "::1";

    // Binds a free port of 127.0.0.1 and listens; again after Stop(), on a new port.
    void Start();
    // Before Start(): listen on a free port of ::1 as well. False, and nothing added, when
    // the machine has no IPv6 loopback (the caller skips).
    bool AddIPv6();
    // Deactivates: quits the users and waits for the connection threads. Idempotent.
    void Stop();
    // Destroys the server, users still connected, and makes a new, stopped one.
    void Renew(std::chrono::milliseconds sweep = std::chrono::milliseconds(0));

    TNetIRCServer& Server() { return *server_; }
    TLobbyList& Store() { return server_->LobbyStore(); }
    int Port() const { return port_; }

    // A client connected from `source` (a 127.0.0.x address, or ::1 to the IPv6 binding); a
    // failure is a test failure.
    TestClient Connect(const std::string& source = Ip);
    // A client registered under the nick.
    TestClient Registered(const std::string& nick, const std::string& source = Ip);
    // The prefix of the nick's lines when it connects from 127.0.0.1.
    static std::string Prefix(const std::string& nick) { return ":" + nick + "!user@" + Ip; }

  private:
    std::unique_ptr<TNetIRCServer> server_;
    int port_ = 0;
    int port6_ = 0;
};
