// Registration, quitting and the safety limits: the refusals and which of them close the
// connection, QUIT and lost connections, kicks and QuitAll, a nick raced for by many
// connections, the per-address limit and the registration time-out.
#include <atomic>

#include "ChatServerFixture.h"

namespace {

class RegistrationTest : public ChatServerTest {};

// NICK before USER, a second NICK and a second USER are refused without closing, and the
// connection can still register afterwards.
TEST_F(RegistrationTest, RefusalsThatKeepTheConnectionOpen) {
    Start();
    TestClient client = Connect();
    client.SendLine("NICK bob");
    EXPECT_EQ(client.ReadLine(), "***Error: You are not logged on!");
    EXPECT_TRUE(client.Register("bob"));
    client.SendLine("NICK robert");
    EXPECT_EQ(client.ReadLine(), "***Error: You cannot change your nick!");
    client.SendLine("USER again h s :r");
    EXPECT_EQ(client.ReadLine(), "***Error: Connection already in use!");
    EXPECT_EQ(Store().NickOf(*ThreadOf("bob")), "bob");
    client.SendLine("LIST");
    EXPECT_EQ(client.ReadLine(), ":localhost 321 bob Channel :Users  Name");
}

struct Refusal {
    std::string nick;
    std::vector<std::string> lines;
};

// Nicks that the name rule would change (control bytes included), a nick longer than
// MaxNickLength, an empty nick, a nick in use under another letter case and a nick the
// console refuses: the notices, then the entry is gone and the connection closed. A nick
// of exactly MaxNickLength bytes registers.
TEST_F(RegistrationTest, RefusalsThatCloseTheConnection) {
    const std::vector<std::string> notAllowed{"***Error: This nickname is not allowed!",
                                              "***Please dont use \"@\", \"!\", \":\" and space !"};
    const std::vector<std::string> inUse{"***Error: This Nickname is already in use!!"};
    const std::vector<Refusal> refusals{
        {"a b", notAllowed},
        {"a:b", notAllowed},
        {":bob", notAllowed},
        {"a@b", notAllowed},
        {"a!b", notAllowed},
        {"a\x01"
         "b",
         notAllowed},
        {"a\tb", notAllowed},
        {std::string(TLobbyList::MaxNickLength + 1, 'n'),
         {":localhost 432 * :Erroneous nickname: at most 64 bytes"}},
        {"", inUse},
        {"BOB", inUse},
        {"Bob", inUse},
        {"vetoed", {"***Error: You are not allowed!"}}};
    Server().OnUserEnter = [](TNetPeerThread&, const std::string& nick, bool& allow) {
        if (nick == "vetoed") allow = false;
    };
    Start();
    TestClient bob = Registered("bob");
    for (const Refusal& refusal : refusals) {
        TestClient client = Connect();
        client.SendLine("USER u h s :r");
        client.SendLine("NICK " + refusal.nick);
        for (const std::string& line : refusal.lines) {
            EXPECT_EQ(client.ReadLine(), line) << "NICK " << refusal.nick;
        }
        EXPECT_TRUE(client.WaitClosed()) << "NICK " << refusal.nick;
    }
    EXPECT_TRUE(WaitUntil([&] { return Store().UserCount() == 1; }));
    EXPECT_TRUE(bob.Silent()) << "a refused entry is removed quietly, without a QUIT line";
    TestClient longest = Connect();
    EXPECT_TRUE(longest.Register(std::string(TLobbyList::MaxNickLength, 'n')));
}

// A nick is taken without regard to case while its holder is registered, and free again,
// in any case, once the holder quits, is kicked or is lost; kicking by nick finds the
// holder whatever case the operator types.
TEST_F(RegistrationTest, NicksAreFreedWhenTheirHoldersLeave) {
    Start();
    TestClient bob = Registered("Bob");
    TestClient taken = Connect();
    taken.SendLine("USER u h s :r");
    taken.SendLine("NICK bOB");
    EXPECT_EQ(taken.ReadLine(), "***Error: This Nickname is already in use!!");
    bob.SendLine("QUIT");
    EXPECT_TRUE(bob.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return Store().UserCount() == 0; }));

    TestClient again = Registered("BOB");
    EXPECT_EQ(Store().NickOf(*ThreadOf("BOB")), "BOB");
    EXPECT_TRUE(Store().QuitUserByNick("bob", ""));
    EXPECT_TRUE(again.WaitClosed());
    EXPECT_FALSE(Store().QuitUserByNick("bob", ""));

    {
        TestClient lost = Registered("bob");
        ASSERT_NE(ThreadOf("bob"), nullptr);
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadOf("bob") == nullptr; }));
    TestClient last = Registered("bob");
    EXPECT_NE(ThreadOf("bob"), nullptr);
}

// QUIT from a user in two lobbies: a PART line per lobby, last lobby first, then the QUIT
// line to every registered user (the quitter too), OnUserQuit once, the connection closed.
// A connection that never sent USER is not closed by QUIT.
TEST_F(RegistrationTest, QuitFromTwoLobbies) {
    EventRecord& quits = NewRecord();
    EventRecord& parts = NewRecord();
    Server().OnUserQuit = [&](TNetPeerThread&, const std::string& nick) { quits.Add(nick); };
    Server().OnUserPart = [&](TNetPeerThread&, TLobby& lobby, const std::string& nick,
                              std::string&) { parts.Add(nick + " " + lobby.Name); };
    AddLobby("#a", "A");
    AddLobby("#b", "B");
    AddLobby("#c", "C");
    Start();
    TestClient bob = Registered("bob");
    TestClient alice = Registered("alice");
    alice.SendLine("JOIN #a");
    alice.SendLine("JOIN #b");
    EXPECT_TRUE(bob.WaitFor(Prefix("alice") + " JOIN :#b"));
    alice.ReadAvailable();
    alice.SendLine("QUIT :gone");
    for (TestClient* c : {&bob, &alice}) {
        EXPECT_EQ(c->ReadLine(), Prefix("alice") + " PART #b");
        EXPECT_EQ(c->ReadLine(), Prefix("alice") + " PART #a");
        EXPECT_EQ(c->ReadLine(), Prefix("alice") + " QUIT ");
    }
    EXPECT_TRUE(alice.WaitClosed());
    EXPECT_TRUE(bob.Silent(300ms));
    EXPECT_EQ(quits.Items(), std::vector<std::string>{"alice"});
    // Every lobby is visited at the quit, and again, with no nick, by the disconnect handling.
    EXPECT_TRUE(WaitUntil([&] { return parts.Count() == 6; }));
    EXPECT_EQ(parts.Items(),
              (std::vector<std::string>{"alice #c", "alice #b", "alice #a", " #c", " #b", " #a"}));

    TestClient raw = Connect();
    raw.SendLine("QUIT");
    raw.SendLine("LIST");
    EXPECT_EQ(raw.ReadLine(), ":localhost 321  Channel :Users  Name");
}

// A kick with a message of a user in two lobbies writes the message three times; the
// nick is matched without regard to case; an unknown nick changes nothing.
TEST_F(RegistrationTest, KickWithMessage) {
    AddLobby("#a", "A");
    AddLobby("#b", "B");
    Start();
    TestClient bob = Registered("bob");
    TestClient alice = Registered("alice");
    alice.SendLine("JOIN #a");
    alice.SendLine("JOIN #b");
    EXPECT_TRUE(bob.WaitFor(Prefix("alice") + " JOIN :#b"));
    alice.ReadAvailable();

    EXPECT_FALSE(Store().QuitUserByNick("nobody", "***Kicked"));
    EXPECT_TRUE(Store().QuitUserByNick("ALICE", "***Kicked"));
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " PART #b");
    EXPECT_EQ(alice.ReadLine(), "***Kicked");
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " PART #a");
    EXPECT_EQ(alice.ReadLine(), "***Kicked");
    EXPECT_EQ(alice.ReadLine(), "***Kicked");
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " QUIT ");
    EXPECT_TRUE(alice.WaitClosed());
    EXPECT_TRUE(bob.WaitFor(Prefix("alice") + " QUIT "));
    EXPECT_EQ(bob.Skipped().size(), 2u) << "bob sees the two PART lines, not the message";
    EXPECT_EQ(Store().UserCount(), 1);
}

// QuitAll empties the registry and closes every connection with an entry; a connection
// that never sent USER stays open.
TEST_F(RegistrationTest, QuitAllClosesEveryLoggedOnConnection) {
    Start();
    Store().QuitAll("***nothing to do");
    std::vector<TestClient> users;
    for (const char* nick : {"u1", "u2", "u3"}) users.push_back(Registered(nick));
    TestClient loggedOn = LoggedOn();
    TestClient raw = Connect();
    Store().QuitAll("***Server stopped.....");
    EXPECT_EQ(Store().UserCount(), 0);
    for (TestClient& user : users) {
        EXPECT_TRUE(user.WaitFor("***Server stopped....."));
        EXPECT_TRUE(user.WaitClosed());
    }
    EXPECT_TRUE(loggedOn.WaitFor("***Server stopped....."));
    EXPECT_TRUE(loggedOn.WaitClosed());
    raw.SendLine("LIST");
    EXPECT_EQ(raw.ReadLine(), ":localhost 321  Channel :Users  Name");
}

// A lost connection that had only sent USER is announced with an empty nick; one that
// never sent USER is not announced, and a waiting logged-on connection keeps its entry.
TEST_F(RegistrationTest, LostConnectionsAreQuit) {
    Start();
    TestClient bob = Registered("bob");
    TestClient waiting = LoggedOn();
    TestClient raw = Connect();
    raw.Close();
    EXPECT_TRUE(WaitUntil([&] { return Server().PeerThreads().Count() == 2; }));
    EXPECT_TRUE(bob.Silent());
    EXPECT_EQ(Store().UserCount(), 2);

    waiting.Reset();
    EXPECT_EQ(bob.ReadLine(), ":!user@127.0.0.1 QUIT ");
    EXPECT_TRUE(WaitUntil([&] { return Store().UserCount() == 1; }));
}

// Many connections register the same nick at the same moment, over and over: exactly one
// wins each round, every other is refused as in use and closed.
TEST_F(RegistrationTest, ConcurrentRegistrationOfOneNick) {
    Start();
    constexpr int Rounds = 20;
    constexpr int Contenders = 8;
    for (int round = 0; round < Rounds; ++round) {
        std::vector<TestClient> clients;
        for (int i = 0; i < Contenders; ++i) clients.push_back(Connect());
        for (TestClient& c : clients) c.Send("USER u h s :r\r\nNICK Dup\r\n");
        int winners = 0;
        int refused = 0;
        for (TestClient& c : clients) {
            auto first = c.ReadLine();
            if (first == "***Error: This Nickname is already in use!!") {
                ++refused;
                EXPECT_TRUE(c.WaitClosed());
            } else if (first == ":localhost 321 Dup Channel :Users  Name") {
                ++winners;
            }
        }
        ASSERT_EQ(winners, 1) << "round " << round;
        ASSERT_EQ(refused, Contenders - 1) << "round " << round;
        clients.clear();
        ASSERT_TRUE(WaitUntil([&] { return Store().UserCount() == 0; }));
    }
}

// The 33rd connection from one address is told and closed; once one of the 32 leaves, a
// new one is let in.
TEST_F(RegistrationTest, ConnectionsPerAddressAreLimited) {
    Start();
    std::vector<TestClient> clients;
    for (int i = 0; i < 32; ++i) clients.push_back(Connect());
    TestClient extra = Connect();
    EXPECT_EQ(extra.ReadLine(), "***Error: Too many connections from your address!");
    EXPECT_TRUE(extra.WaitClosed());
    for (TestClient& c : clients) {
        c.SendLine("LIST");
        EXPECT_EQ(c.ReadLine(), ":localhost 321  Channel :Users  Name");
    }
    clients.front().Close();
    ASSERT_TRUE(WaitUntil([&] { return Server().PeerThreads().Count() == 31; }));
    TestClient again = Connect();
    again.SendLine("LIST");
    EXPECT_EQ(again.ReadLine(), ":localhost 321  Channel :Users  Name");
}

// Over IPv6 beside IPv4: a client from ::1 registers, chats with an IPv4 client (each sees
// the other's address in its usual text form), and is counted by its /64, apart from the
// IPv4 clients.
TEST_F(RegistrationTest, IPv6ClientsRegisterChatAndAreLimited) {
    if (!AddIPv6()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    Server().MaxConnectionsPerAddress = 2;
    Start();
    TestClient six = Registered("six", Ip6);
    TestClient four = Registered("four");
    six.SendLine("PRIVMSG four :hello");
    EXPECT_EQ(four.ReadLine(), ":six!user@::1 PRIVMSG four :hello");
    four.SendLine("PRIVMSG six :hi");
    EXPECT_EQ(six.ReadLine(), Prefix("four") + " PRIVMSG six :hi");

    TestClient second = Connect(Ip6);
    TestClient third = Connect(Ip6);
    EXPECT_EQ(third.ReadLine(), "***Error: Too many connections from your address!");
    EXPECT_TRUE(third.WaitClosed());
    second.SendLine("LIST");
    EXPECT_EQ(second.ReadLine(), ":localhost 321  Channel :Users  Name");
    TestClient alsoFour = Registered("alsofour");
    EXPECT_TRUE(alsoFour.IsOpen()) << "IPv4 clients are counted apart";
}

// A connection without a nick is closed once the registration time-out has passed, with
// or without USER; a registered one stays.
TEST_F(RegistrationTest, UnregisteredConnectionsTimeOut) {
    Server().RegistrationTimeout = 400ms;
    Start();
    TestClient bob = Registered("bob");
    TestClient loggedOn = LoggedOn();
    TestClient raw = Connect();
    EXPECT_TRUE(raw.WaitClosed(5s));
    EXPECT_TRUE(loggedOn.WaitClosed(5s));
    EXPECT_TRUE(bob.WaitFor(":!user@127.0.0.1 QUIT "));
    bob.SendLine("LIST");
    EXPECT_EQ(bob.ReadLine(), ":localhost 321 bob Channel :Users  Name");
}

// Deactivation quits every registered user on its own thread, once each; destroying the
// server with users still connected raises nothing (it is shutting down).
TEST_F(RegistrationTest, DeactivationQuitsUsersDestructionDoesNot) {
    EventRecord& quits = NewRecord();
    Server().OnUserQuit = [&](TNetPeerThread&, const std::string& nick) { quits.Add(nick); };
    Start();
    {
        std::vector<TestClient> users;
        for (const char* nick : {"u1", "u2", "u3"}) users.push_back(Registered(nick));
        Server().SetActive(false);
        EXPECT_EQ(quits.Count(), 3u);
        EXPECT_EQ(Store().UserCount(), 0);
    }
    Start();
    TestClient late = Registered("late");
    Renew();
    EXPECT_EQ(quits.Count(), 3u);
    EXPECT_TRUE(late.WaitClosed());
}

// A sweep every millisecond probes connections while they send: every byte the sweep
// takes reaches the connection loop, in order.
TEST_F(RegistrationTest, SweepKeepsEveryByteInOrder) {
    Renew(1ms);
    Start();
    TestClient bob = Registered("bob");
    TestClient alice = Registered("alice");
    constexpr int Lines = 300;
    for (int i = 0; i < Lines; ++i) {
        alice.Send("PRIVMSG bob :" + std::to_string(i));
        alice.Send("\r\n");
    }
    for (int i = 0; i < Lines; ++i) {
        ASSERT_EQ(bob.ReadLine(), Prefix("alice") + " PRIVMSG bob :" + std::to_string(i));
    }
    EXPECT_TRUE(WaitUntil([&] { return Server().LastSweepLockTime().count() > 0; }));
}

}  // namespace
