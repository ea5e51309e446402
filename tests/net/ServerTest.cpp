#include <gtest/gtest.h>

#include "NetTCPServer.h"
#include "support/TestClient.h"

TEST(Smoke, Echo) {
    TNetTCPServer server;
    server.Bindings().Add().SetIP("127.0.0.1");
    server.OnExecute = [](TNetPeerThread& t) {
        std::string line = t.Connection().ReadLine();
        t.Connection().WriteLine("echo " + line);
    };
    server.SetActive(true);
    TestClient c(server.Bindings()[0].Port());
    ASSERT_TRUE(c.IsOpen());
    c.SendLine("hi");
    EXPECT_EQ(c.ReadLine().value_or("none"), "echo hi");
    server.SetActive(false);
    EXPECT_TRUE(c.WaitClosed());
}
