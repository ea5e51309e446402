// Lobbies: who receives JOIN and PART lines of public and private lobbies, creation by
// JOIN with and without AllowCreate and the name rule, join refusals, removal with
// members, the Modified flag, and lobbies removed by event handlers mid-operation.
#include <atomic>

#include "ChatServerFixture.h"

namespace {

class LobbyTest : public ChatServerTest {};

// A public lobby's JOIN and PART lines reach every registered user, in a lobby or not,
// and never an unregistered connection; PART carries no colon.
TEST_F(LobbyTest, PublicLobbyLinesReachEveryRegisteredUser) {
    AddLobby("#pub", "Public");
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    TestClient loggedOn = LoggedOn();
    bob.SendLine("JOIN #pub");
    EXPECT_EQ(carol.ReadLine(), Prefix("bob") + " JOIN :#pub");
    bob.SendLine("PART #pub");
    EXPECT_EQ(carol.ReadLine(), Prefix("bob") + " PART #pub");
    EXPECT_TRUE(bob.WaitFor(Prefix("bob") + " PART #pub"));
    EXPECT_TRUE(loggedOn.Silent());
    EXPECT_EQ(Store().FindLobby("#pub")->MemberCount(), 0);
}

// A private lobby's lines reach only its members (the joiner and leaver included), and
// LIST never shows it.
TEST_F(LobbyTest, PrivateLobbyLinesReachOnlyMembers) {
    AddLobby("#priv", "Secret", true);
    AddLobby("#pub", "Public");
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    TestClient dave = Registered("dave");
    bob.SendLine("JOIN #priv");
    EXPECT_EQ(bob.ReadLine(), Prefix("bob") + " JOIN :#priv");
    bob.ReadAvailable();
    carol.SendLine("JOIN #priv");
    EXPECT_EQ(bob.ReadLine(), Prefix("carol") + " JOIN :#priv");
    EXPECT_EQ(carol.ReadLine(), Prefix("carol") + " JOIN :#priv");
    EXPECT_TRUE(carol.WaitFor(":localhost 353 carol = #priv :carol bob carol"));
    carol.ReadAvailable();
    carol.SendLine("PART #priv");
    EXPECT_EQ(bob.ReadLine(), Prefix("carol") + " PART #priv");
    EXPECT_EQ(carol.ReadLine(), Prefix("carol") + " PART #priv");
    EXPECT_TRUE(dave.Silent());
    dave.SendLine("LIST");
    EXPECT_EQ(dave.ReadAvailable(),
              (std::vector<std::string>{":localhost 321 dave Channel :Users  Name",
                                        ":localhost 322 dave #pub 0 :Public",
                                        ":localhost 323 dave :End of /LIST"}));
}

// With AllowCreate, JOIN makes a public user-created lobby with a "#" name and the
// creator's description, asking OnAddLobby with the connection as sender; the name rule
// applies, a name that differs in case is a new lobby, and an empty name makes nothing.
TEST_F(LobbyTest, JoinCreatesLobbiesWhenAllowed) {
    EventRecord& added = NewRecord();
    Server().OnAddLobby = [&](TLobbySender sender, TLobby& lobby, bool& allow) {
        added.Add(lobby.Name + (sender.IsPeer() ? " by peer" : " by other"));
        if (lobby.Name == "#vetoed") allow = false;
    };
    AddLobby("#Fun", "Operator's");
    Store().Modified = false;
    Store().AllowCreate = true;
    Start();
    TestClient bob = Registered("bob");
    bob.SendLine("JOIN fun");
    EXPECT_EQ(bob.ReadLine(), Prefix("bob") + " JOIN :#fun");
    EXPECT_TRUE(bob.WaitFor("***Lobby created by bob"));
    bob.SendLine("JOIN my room");
    EXPECT_EQ(bob.ReadLine(), Prefix("bob") + " JOIN :#my_room");
    bob.ReadAvailable();
    bob.SendLine("JOIN :@!");
    EXPECT_EQ(bob.ReadLine(), "***Error: No such lobby: ");
    bob.SendLine("JOIN vetoed");
    EXPECT_EQ(bob.ReadLine(), "***Error: No such lobby: #vetoed");
    // A name over the limit is refused once, without being echoed back.
    bob.SendLine("JOIN " + std::string(TLobbyList::MaxLobbyNameLength, 'n'));
    EXPECT_EQ(bob.ReadLine(), "***Error: Lobby name too long!");
    bob.SendLine("JOIN :@!");
    EXPECT_EQ(bob.ReadLine(), "***Error: No such lobby: ");

    EXPECT_EQ(added.Items(), (std::vector<std::string>{"#Fun by other", "#fun by peer",
                                                       "#my_room by peer", "#vetoed by peer"}));
    std::lock_guard lock(Store().Lock());
    ASSERT_EQ(Store().LobbyCount(), 3);
    TLobby* fun = Store().FindLobby("#fun");
    ASSERT_NE(fun, nullptr);
    EXPECT_TRUE(fun->UserCreated);
    EXPECT_FALSE(fun->IsPrivate);
    EXPECT_EQ(fun->Description, "Lobby created by bob");
    EXPECT_FALSE(Store().Modified) << "user-created lobbies do not mark the list changed";
}

// Without AllowCreate, JOIN of a missing lobby is refused with the name as given, no "#".
TEST_F(LobbyTest, JoinWithoutAllowCreateCreatesNothing) {
    Start();
    TestClient bob = Registered("bob");
    bob.SendLine("JOIN fun");
    EXPECT_EQ(bob.ReadLine(), "***Error: No such lobby: fun");
    bob.SendLine("JOIN #a,#b");
    EXPECT_EQ(bob.ReadLine(), "***Error: No such lobby: #a,#b");
    EXPECT_EQ(Store().LobbyCount(), 0);
}

// Join refusals: not logged on, already a member (and, when a handler allows it anyway,
// the already-in notice with the members unchanged); the handler's message follows the
// join replies.
TEST_F(LobbyTest, JoinRefusalsAndTheJoinMessage) {
    std::atomic<bool> allowMembers{false};
    Server().OnUserJoin = [&](TNetPeerThread&, TLobby&, const std::string&, bool& allow,
                              std::string& msg) {
        if (allowMembers) allow = true;
        msg = "***Be nice";
    };
    AddLobby("#a", "");
    Start();
    TestClient raw = Connect();
    raw.SendLine("JOIN #a");
    EXPECT_EQ(raw.ReadLine(), "***Error: You are not logged on!");
    TestClient bob = Registered("bob");
    bob.SendLine("JOIN #a");
    EXPECT_TRUE(bob.WaitFor(":localhost 332 bob #a :"));
    EXPECT_TRUE(bob.WaitFor("***"));
    EXPECT_EQ(bob.ReadLine(), "***Be nice");
    bob.SendLine("JOIN #a");
    EXPECT_EQ(bob.ReadLine(), "***Error: You are not allowed to join \"#a\"");
    allowMembers = true;  // read by bob's thread only after the next line arrives
    bob.SendLine("JOIN #a");
    EXPECT_EQ(bob.ReadLine(), "***Error: You are already in \"#a\"");
    EXPECT_EQ(Store().FindLobby("#a")->MemberCount(), 1);
}

// Removing a public lobby with two members parts them last to first with PART lines to
// every registered user and "***Lobby removed" to each member; a refused removal changes
// and sends nothing.
TEST_F(LobbyTest, RemoveLobbyWithMembers) {
    EventRecord& parts = NewRecord();
    bool refuse = true;
    Server().OnRemoveLobby = [&](TLobbySender, TLobby&, bool& allow) { allow = !refuse; };
    Server().OnUserPart = [&](TNetPeerThread&, TLobby& lobby, const std::string& nick,
                              std::string&) { parts.Add(nick + " " + lobby.Name); };
    AddLobby("#a", "A");
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    TestClient dave = Registered("dave");
    bob.SendLine("JOIN #a");
    EXPECT_TRUE(dave.WaitFor(Prefix("bob") + " JOIN :#a"));
    carol.SendLine("JOIN #a");
    EXPECT_TRUE(dave.WaitFor(Prefix("carol") + " JOIN :#a"));
    bob.ReadAvailable();
    carol.ReadAvailable();

    Store().RemoveLobbyByName(TLobbySender::Of(this), "#a");
    EXPECT_TRUE(dave.Silent());
    ASSERT_NE(Store().FindLobby("#a"), nullptr);

    refuse = false;
    Store().RemoveLobbyByName(TLobbySender::Of(this), "#a");
    EXPECT_EQ(Store().FindLobby("#a"), nullptr);
    EXPECT_EQ(dave.ReadLine(), Prefix("carol") + " PART #a");
    EXPECT_EQ(dave.ReadLine(), Prefix("bob") + " PART #a");
    EXPECT_EQ(carol.ReadLine(), Prefix("carol") + " PART #a");
    EXPECT_EQ(carol.ReadLine(), "***Lobby removed");
    EXPECT_EQ(carol.ReadLine(), Prefix("bob") + " PART #a");
    EXPECT_EQ(bob.ReadLine(), Prefix("carol") + " PART #a");
    EXPECT_EQ(bob.ReadLine(), Prefix("bob") + " PART #a");
    EXPECT_EQ(bob.ReadLine(), "***Lobby removed");
    EXPECT_EQ(parts.Items(), (std::vector<std::string>{"carol #a", "bob #a"}));
}

// AddLobby: the name rule, exact-name uniqueness without an event, Modified set by an
// operator lobby and assigned by a removal; PART of a non-member writes nothing but is
// still reported.
TEST_F(LobbyTest, AddLobbyNamesAndTheModifiedFlag) {
    EventRecord& events = NewRecord();
    Server().OnAddLobby = [&](TLobbySender, TLobby& lobby, bool&) { events.Add(lobby.Name); };
    Server().OnUserPart = [&](TNetPeerThread&, TLobby& lobby, const std::string& nick,
                              std::string&) { events.Add("part " + nick + " " + lobby.Name); };
    EXPECT_FALSE(Store().Modified);
    EXPECT_EQ(Store().AddLobby(TLobbySender::Of(this), "a b:c\x01", "", true, false), 0);
    EXPECT_FALSE(Store().Modified);
    EXPECT_EQ(Store().GetLobby(0)->Name, "a_bc");
    EXPECT_EQ(AddLobby("a_bc", ""), -1);
    EXPECT_EQ(AddLobby("A_bc", ""), 1);
    EXPECT_EQ(AddLobby(":!@", ""), -1);
    EXPECT_TRUE(Store().Modified);
    EXPECT_EQ(events.Items(), (std::vector<std::string>{"a_bc", "A_bc"}));
    Store().RemoveLobby(TLobbySender::Of(this), Store().FindLobby("a_bc"));
    EXPECT_FALSE(Store().Modified) << "removing a user-created lobby clears the flag";
    Store().RemoveLobby(TLobbySender::Of(this), Store().FindLobby("A_bc"));
    EXPECT_TRUE(Store().Modified);

    AddLobby("#a", "");
    Start();
    TestClient bob = Registered("bob");
    bob.SendLine("PART #a");
    bob.SendLine("PART #a :bye");
    EXPECT_TRUE(WaitUntil([&] { return events.Count() == 4; }));
    EXPECT_EQ(events.Items().back(), "part bob #a");
    EXPECT_TRUE(bob.Silent());
}

// A console-like OnUserPart handler removes emptied user-created lobbies while a quit and
// PartAll walk them; nothing dangles and every lobby goes.
TEST_F(LobbyTest, HandlersMayRemoveLobbiesDuringParts) {
    Server().OnUserPart = [&](TNetPeerThread&, TLobby& lobby, const std::string&, std::string&) {
        if (lobby.UserCreated && lobby.MemberCount() == 0) {
            lobby.Owner.RemoveLobby(TLobbySender::Of(this), &lobby);
        }
    };
    Store().AllowCreate = true;
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    for (const char* name : {"#x", "#y", "#z"}) bob.SendLine(std::string("JOIN ") + name);
    carol.SendLine("JOIN #w");
    EXPECT_TRUE(carol.WaitFor("***Lobby created by carol"));
    EXPECT_TRUE(bob.WaitFor(Prefix("bob") + " JOIN :#z"));
    ASSERT_EQ(Store().LobbyCount(), 4);
    bob.SendLine("QUIT");
    EXPECT_TRUE(bob.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return Store().LobbyCount() == 1; }));
    {
        std::lock_guard lock(Store().Lock());
        Store().PartAll(*Store().FindLobby("#w"), "***Part by operator");
    }
    EXPECT_TRUE(carol.WaitFor("***Part by operator"));
    EXPECT_EQ(Store().LobbyCount(), 0);
}

}  // namespace
