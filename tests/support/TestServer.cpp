#include "TestServer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

std::unique_ptr<TNetIRCServer> MakeServer(std::chrono::milliseconds sweep) {
    auto server = std::make_unique<TNetIRCServer>(sweep);
    server->FloodRate = 0;
    return server;
}

}  // namespace

TestServer::TestServer(std::chrono::milliseconds sweep) : server_(MakeServer(sweep)) {}

TestServer::~TestServer() {
    Stop();
}

void TestServer::Start() {
    if (server_->Bindings().Count() == 0) {
        TNetSocketHandle& binding = server_->Bindings().Add();
        binding.SetIP(Ip);
        binding.SetPort(0);
    }
    for (int i = 0; i < server_->Bindings().Count(); ++i) server_->Bindings()[i].SetPort(0);
    server_->SetActive(true);
    port_ = server_->Bindings()[0].Port();
    if (server_->Bindings().Count() > 1) port6_ = server_->Bindings()[1].Port();
    // Thrown rather than asserted: the soak uses the server outside any test.
    if (port_ <= 0) throw std::runtime_error("the test server bound no port");
}

void TestServer::Stop() {
    if (server_ && server_->Active()) server_->SetActive(false);
}

void TestServer::Renew(std::chrono::milliseconds sweep) {
    server_.reset();
    server_ = MakeServer(sweep);
    port_ = 0;
    port6_ = 0;
}

bool TestServer::AddIPv6() {
    TestClient probe;
    if (!probe.Prepare(Ip6)) return false;
    if (server_->Bindings().Count() == 0) server_->Bindings().Add().SetIP(Ip);
    server_->Bindings().Add().SetIP(Ip6);
    return true;
}

TestClient TestServer::Connect(const std::string& source) {
    const bool ipv6 = source.find(':') != std::string::npos;
    TestClient client(ipv6 ? port6_ : port_, source);
    EXPECT_TRUE(client.IsOpen()) << "connect from " << source << " to port " << port_;
    return client;
}

TestClient TestServer::Registered(const std::string& nick, const std::string& source) {
    TestClient client = Connect(source);
    EXPECT_TRUE(client.Register(nick)) << nick;
    return client;
}
