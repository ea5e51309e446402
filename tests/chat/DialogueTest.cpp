// The player's dialogue from connect to quit, and the worked JOIN and PRIVMSG examples,
// checked line by line against a real server.
#include "ChatServerFixture.h"

namespace {

class DialogueTest : public ChatServerTest {};

// A player connects, logs on, registers, joins, chats and quits, and sees every line of
// the protocol in order, while the events fire once each.
TEST_F(DialogueTest, TypicalPlayerFromConnectToQuit) {
    EventRecord& events = NewRecord();
    Server().OnUserEnter = [&](TNetPeerThread&, const std::string& nick, bool&) {
        events.Add("enter " + nick);
    };
    Server().OnUserJoin = [&](TNetPeerThread&, TLobby& lobby, const std::string& nick, bool&,
                              std::string&) { events.Add("join " + nick + " " + lobby.Name); };
    Server().OnUserQuit = [&](TNetPeerThread&, const std::string& nick) {
        events.Add("quit " + nick);
    };
    Server().MOTD = {"Welcome to Quarn", ""};
    AddLobby("#Main", "The main lobby");
    AddLobby("#Hidden", "Not listed", true);
    AddLobby("#Second", "");
    Start();
    TestClient bob = Registered("bob");

    TestClient alice = Connect();
    EXPECT_TRUE(alice.Silent()) << "the server speaks only when spoken to";
    alice.SendLine("USER alice host server :Alice A");
    EXPECT_TRUE(alice.Silent()) << "USER has no reply";
    alice.SendLine("NICK alice");
    EXPECT_EQ(alice.ReadLine(), ":localhost 321 alice Channel :Users  Name");
    EXPECT_EQ(alice.ReadLine(), ":localhost 322 alice #Main 0 :The main lobby");
    EXPECT_EQ(alice.ReadLine(), ":localhost 322 alice #Second 0 :");
    EXPECT_EQ(alice.ReadLine(), ":localhost 323 alice :End of /LIST");
    const std::string dateLine = alice.ReadLine().value_or("");
    const std::string motd = ":localhost 372 alice : - ";
    EXPECT_EQ(dateLine.substr(0, motd.size()), motd);
    EXPECT_GT(dateLine.size(), motd.size() + 8) << "a date and a time follow: " << dateLine;
    EXPECT_EQ(alice.ReadLine(), motd + "Welcome to Quarn");
    EXPECT_EQ(alice.ReadLine(), motd);
    EXPECT_EQ(alice.ReadLine(), ":localhost 376 alice :End of /MOTD command.");

    alice.SendLine("JOIN #Main");
    const std::string join = Prefix("alice") + " JOIN :#Main";
    EXPECT_EQ(alice.ReadLine(), join);
    EXPECT_EQ(alice.ReadLine(), ":localhost 332 alice #Main :The main lobby");
    EXPECT_EQ(alice.ReadLine(), ":localhost 333 alice #Main 0");
    EXPECT_EQ(alice.ReadLine(), ":localhost 353 alice = #Main :alice alice");
    EXPECT_EQ(alice.ReadLine(), ":localhost 366 alice #Main :End of /NAMES list.");
    EXPECT_EQ(alice.ReadLine(), "***The main lobby");
    EXPECT_EQ(bob.ReadLine(), join) << "a public JOIN reaches users in no lobby";

    alice.SendLine("PRIVMSG #Main :hi there");
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " PRIVMSG #Main :hi there");
    EXPECT_TRUE(alice.Silent()) << "the sender gets no copy";

    alice.SendLine("QUIT :see you");
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " PART #Main");
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " QUIT ");
    EXPECT_TRUE(alice.WaitClosed());
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " PART #Main");
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " QUIT ");
    EXPECT_TRUE(bob.Silent(300ms)) << "the disconnect handling that follows sends nothing";
    EXPECT_EQ(events.Items(), (std::vector<std::string>{"enter bob", "enter alice",
                                                        "join alice #Main", "quit alice"}));
    EXPECT_EQ(Store().UserCount(), 1);
}

// The worked JOIN example: bob created #fun, alice joins it and gets the names line with
// her nick twice; every registered user gets her JOIN line.
TEST_F(DialogueTest, WorkedJoinExample) {
    Store().AllowCreate = true;
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    bob.SendLine("JOIN fun");
    EXPECT_TRUE(bob.WaitFor("***Lobby created by bob"));
    EXPECT_TRUE(carol.WaitFor(Prefix("bob") + " JOIN :#fun"));

    TestClient alice = Registered("alice");
    alice.SendLine("JOIN #fun");
    EXPECT_EQ(alice.ReadLine(), Prefix("alice") + " JOIN :#fun");
    EXPECT_EQ(alice.ReadLine(), ":localhost 332 alice #fun :Lobby created by bob");
    EXPECT_EQ(alice.ReadLine(), ":localhost 333 alice #fun 0");
    EXPECT_EQ(alice.ReadLine(), ":localhost 353 alice = #fun :alice bob alice");
    EXPECT_EQ(alice.ReadLine(), ":localhost 366 alice #fun :End of /NAMES list.");
    EXPECT_EQ(alice.ReadLine(), "***Lobby created by bob");
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " JOIN :#fun");
    EXPECT_EQ(carol.ReadLine(), Prefix("alice") + " JOIN :#fun");
    alice.SendLine("LIST");
    EXPECT_EQ(alice.ReadLine(), ":localhost 321 alice Channel :Users  Name");
    EXPECT_EQ(alice.ReadLine(), ":localhost 322 alice #fun 2 :Lobby created by bob");
}

// The worked PRIVMSG example: the line reaches every other connection, registered or not,
// in a lobby or not, unchanged; an unregistered sender's line reaches registered users
// only, with an empty nick.
TEST_F(DialogueTest, WorkedPrivMsgExample) {
    Start();
    TestClient alice = Registered("alice");
    TestClient bob = Registered("bob");
    TestClient loggedOn = LoggedOn();
    TestClient raw = Live();
    alice.SendLine("PRIVMSG bob :hi there");
    const std::string line = Prefix("alice") + " PRIVMSG bob :hi there";
    EXPECT_EQ(bob.ReadLine(), line);
    EXPECT_EQ(loggedOn.ReadLine(), line);
    EXPECT_EQ(raw.ReadLine(), line);
    EXPECT_TRUE(alice.Silent());

    raw.SendLine("PRIVMSG #a :who am i");
    const std::string anonymous = ":!user@127.0.0.1 PRIVMSG #a :who am i";
    EXPECT_EQ(alice.ReadLine(), anonymous);
    EXPECT_EQ(bob.ReadLine(), anonymous);
    EXPECT_TRUE(loggedOn.Silent()) << "unregistered connections share the empty nick";
}

// Routed chat: a lobby's line reaches its other members only, a nick's line that user only
// (whatever the letter case of the target), any other target nobody; each line that does
// arrive is the line the full relay sends.
TEST_F(DialogueTest, RoutedChatReachesOnlyItsTargets) {
    Store().RouteChat = true;
    AddLobby("#fun", "");
    AddLobby("#other", "");
    Start();
    TestClient alice = Registered("alice");
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    TestClient loggedOn = LoggedOn();
    TestClient raw = Live();
    const auto join = [&](TestClient& joiner, const std::string& nick, const std::string& lobby) {
        joiner.SendLine("JOIN " + lobby);
        for (TestClient* c : {&alice, &bob, &carol})
            EXPECT_TRUE(c->WaitFor(Prefix(nick) + " JOIN :" + lobby)) << "JOIN lines are unchanged";
        EXPECT_TRUE(
            joiner.WaitFor(":localhost 366 " + nick + " " + lobby + " :End of /NAMES list."));
        EXPECT_EQ(joiner.ReadLine(), "***");
    };
    join(alice, "alice", "#fun");
    join(bob, "bob", "#fun");
    join(carol, "carol", "#other");

    alice.SendLine("PRIVMSG #fun :hi there");
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " PRIVMSG #fun :hi there");
    raw.SendLine("PRIVMSG #fun :who am i");
    EXPECT_EQ(alice.ReadLine(), ":!user@127.0.0.1 PRIVMSG #fun :who am i");
    EXPECT_EQ(bob.ReadLine(), ":!user@127.0.0.1 PRIVMSG #fun :who am i");
    carol.SendLine("PRIVMSG BoB :psst");
    EXPECT_EQ(bob.ReadLine(), Prefix("carol") + " PRIVMSG BoB :psst");
    for (const char* lost : {"PRIVMSG nobody :x", "PRIVMSG alice :self", "PRIVMSG #Fun :other case",
                             "PRIVMSG  :empty"}) {
        alice.SendLine(lost);
    }
    alice.SendLine("PRIVMSG #fun");
    EXPECT_EQ(bob.ReadLine(), Prefix("alice") + " PRIVMSG #fun") << "the lines before reach nobody";
    for (TestClient* c : {&alice, &bob, &carol, &loggedOn, &raw}) EXPECT_TRUE(c->Silent());
}

}  // namespace
