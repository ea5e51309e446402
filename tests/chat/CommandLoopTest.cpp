// The connection loop and command table: letter case, the stray control character, the
// not-handled reply, names outside the table, argument splitting for assigned events,
// the recipients of BroadcastExcept, the lines that arrive together with a close, and
// flood control.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <thread>

#include "ChatServerFixture.h"
#include "net/NetMetrics.h"

namespace {

class CommandLoopTest : public ChatServerTest {};

// join, Join and JOIN reach the same event; only ASCII letters are upper-cased, so a
// name with another byte in it is outside the table.
TEST_F(CommandLoopTest, CommandNamesIgnoreAsciiLetterCase) {
    EventRecord& joins = NewRecord();
    EventRecord& others = NewRecord();
    Server().OnCommandJoin = [&](TNetPeerThread&, const std::string& p1, const std::string& p2) {
        joins.Add(p1 + "|" + p2);
    };
    Server().OnCommandOther = [&](TNetPeerThread&, const std::string& c, const std::string& p) {
        others.Add(c + "|" + p);
    };
    Start();
    TestClient client = Connect();
    client.SendLine("join #a");
    client.SendLine("Join #a x");
    client.SendLine("JOIN #a");
    client.SendLine("J\xc3\x93IN #a");
    ASSERT_TRUE(WaitUntil([&] { return joins.Count() == 3 && others.Count() == 1; }));
    EXPECT_EQ(joins.Items(), (std::vector<std::string>{"#a|", "#a|x", "#a|"}));
    EXPECT_EQ(others.Items(), (std::vector<std::string>{"J\xc3\x93IN|#a"}));
}

// One leading byte below 15 is dropped before the lookup; a second one stays and makes the
// word unknown; a byte of 15 or more is not dropped.
TEST_F(CommandLoopTest, OneLeadingControlCharacterIsDropped) {
    EventRecord& others = NewRecord();
    Server().OnCommandOther = [&](TNetPeerThread&, const std::string& c, const std::string&) {
        others.Add(c);
    };
    Start();
    TestClient client = Connect();
    client.SendLine("\rLIST");
    EXPECT_EQ(client.ReadLine(), ":localhost 321  Channel :Users  Name");
    EXPECT_EQ(client.ReadLine(), ":localhost 323  :End of /LIST");
    client.SendLine(
        "\x0e"
        "LIST");
    client.SendLine("\r\rLIST");
    client.SendLine("\x0fLIST");
    ASSERT_TRUE(WaitUntil([&] { return others.Count() == 2; }));
    EXPECT_EQ(others.Items(), (std::vector<std::string>{"\rLIST",
                                                        "\x0f"
                                                        "LIST"}));
    EXPECT_EQ(client.ReadLine(), ":localhost 321  Channel :Users  Name") << "\\x0e is dropped";
}

// Every table name without an event or built-in is answered with the 421 line spelled in
// capitals, without prefix, and the loop goes on.
TEST_F(CommandLoopTest, UnhandledTableNamesGetTheNotHandledReply) {
    Start();
    TestClient client = Connect();
    const std::vector<std::string> names{
        "ADMIN",   "AWAY",    "CONNECT", "ERROR",  "INFO",   "INVITE", "ISON",  "KICK",  "KILL",
        "LINKS",   "MODE",    "NAMES",   "NOTICE", "OPER",   "PASS",   "PING",  "PONG",  "REHASH",
        "RESTART", "SERVER",  "SQUIT",   "STATS",  "SUMMON", "TIME",   "TOPIC", "TRACE", "USERHOST",
        "USERS",   "VERSION", "WALLOPS", "WHO",    "WHOIS",  "WHOWAS"};
    for (const std::string& name : names) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
        client.SendLine(lower + " x :y");
        EXPECT_EQ(client.ReadLine(), "421 Command not handled: " + name);
    }
    client.SendLine("PING :x");
    EXPECT_EQ(client.ReadLine(), "421 Command not handled: PING");
    EXPECT_TRUE(client.Silent()) << "no PONG";
}

// Names outside the table, the empty line and a line with an IRC prefix go to
// OnCommandOther with the word as received and the rest; without the event nothing
// happens and the connection carries on.
TEST_F(CommandLoopTest, NamesOutsideTheTableGoToOnCommandOther) {
    EventRecord& others = NewRecord();
    Server().OnCommandOther = [&](TNetPeerThread&, const std::string& c, const std::string& p) {
        others.Add("[" + c + "][" + p + "]");
    };
    Start();
    TestClient client = Connect();
    client.SendLine("");
    client.SendLine(":nick PRIVMSG #a :hi");
    client.SendLine("Private  my room");
    ASSERT_TRUE(WaitUntil([&] { return others.Count() == 3; }));
    EXPECT_EQ(others.Items(),
              (std::vector<std::string>{"[][]", "[:nick][PRIVMSG #a :hi]", "[Private][ my room]"}));
    EXPECT_TRUE(client.Silent());
}

TEST_F(CommandLoopTest, NamesOutsideTheTableAreIgnoredWithoutTheEvent) {
    Start();
    TestClient client = Connect();
    client.SendLine("");
    client.SendLine("FROB x");
    EXPECT_TRUE(client.Silent());
    client.SendLine("LIST");
    EXPECT_EQ(client.ReadLine(), ":localhost 321  Channel :Users  Name");
}

// An assigned event gets the words split on single spaces and the remainder last; a
// GetEvent gets nothing; the built-in is not run.
TEST_F(CommandLoopTest, AssignedEventsGetSplitWords) {
    EventRecord& calls = NewRecord();
    Server().OnCommandKick = [&](TNetPeerThread&, const std::string& a, const std::string& b,
                                 const std::string& c) {
        calls.Add("kick[" + a + "][" + b + "][" + c + "]");
    };
    Server().OnCommandTopic = [&](TNetPeerThread&, const std::string& a, const std::string& b) {
        calls.Add("topic[" + a + "][" + b + "]");
    };
    Server().OnCommandRehash = [&](TNetPeerThread&) { calls.Add("rehash"); };
    Server().OnCommandUser = [&](TNetPeerThread&, const std::string& u, const std::string& h,
                                 const std::string& s, const std::string& r) {
        calls.Add("user[" + u + "][" + h + "][" + s + "][" + r + "]");
    };
    Server().OnCommandMode = [&](TNetPeerThread&, const std::string& a, const std::string& b,
                                 const std::string& c, const std::string& d, const std::string& e) {
        calls.Add("mode[" + a + b + c + d + "][" + e + "]");
    };
    Server().OnCommandPart = [&](TNetPeerThread&, const std::string& p) {
        calls.Add("part[" + p + "]");
    };
    Start();
    TestClient client = Connect();
    client.SendLine("KICK  #a b c");
    client.SendLine("TOPIC #a :new topic");
    client.SendLine("TOPIC");
    client.SendLine("REHASH now");
    client.SendLine("USER u h s :real name");
    client.SendLine("MODE 1 2 3 4 5 6");
    client.SendLine("PART #a :bye");
    ASSERT_TRUE(WaitUntil([&] { return calls.Count() == 7; }));
    EXPECT_EQ(calls.Items(), (std::vector<std::string>{
                                 "kick[][#a][b c]", "topic[#a][:new topic]", "topic[][]", "rehash",
                                 "user[u][h][s][:real name]", "mode[1234][5 6]", "part[#a :bye]"}));
    EXPECT_EQ(Store().UserCount(), 0) << "the built-in USER did not run";
}

// BroadcastExcept with an empty nick reaches exactly the registered connections; with a
// nick it reaches every other connection, registered or not, and compares byte for byte.
TEST_F(CommandLoopTest, BroadcastExceptRecipients) {
    Start();
    TestClient bob = Registered("bob");
    TestClient carol = Registered("carol");
    TestClient loggedOn = LoggedOn();
    TestClient raw = Live();

    Server().BroadcastExcept("", "to registered");
    EXPECT_EQ(bob.ReadLine(), "to registered");
    EXPECT_EQ(carol.ReadLine(), "to registered");
    EXPECT_TRUE(loggedOn.Silent());
    EXPECT_TRUE(raw.Silent());

    Server().BroadcastExcept("Bob", "not Bob");
    for (TestClient* c : {&bob, &carol, &loggedOn, &raw}) EXPECT_EQ(c->ReadLine(), "not Bob");

    Server().BroadcastExcept("bob", "not bob");
    for (TestClient* c : {&carol, &loggedOn, &raw}) EXPECT_EQ(c->ReadLine(), "not bob");
    EXPECT_TRUE(bob.Silent());
}

// A recipient that has gone is skipped: the others still get the line.
TEST_F(CommandLoopTest, BroadcastSkipsAClosedRecipient) {
    Start();
    TestClient bob = Registered("bob");
    TestClient gone = Registered("gone");
    TestClient carol = Registered("carol");
    TNetPeerThread* goneThread = ThreadOf("gone");
    ASSERT_NE(goneThread, nullptr);
    {
        // Closed but still registered: its disconnect handling waits for the lock.
        std::lock_guard lock(Store().Lock());
        goneThread->Connection().Disconnect();
        Server().BroadcastExcept("", "still here");
    }
    EXPECT_EQ(bob.ReadLine(), "still here");
    EXPECT_EQ(carol.ReadLine(), "still here");
    EXPECT_TRUE(carol.WaitFor(Prefix("gone") + " QUIT "));
}

}  // namespace

// A client's last words and its close can wait together for one read: exactly 2,048 bytes
// of whole lines and a partial one, then the end of the stream. Every whole line is still
// run, and the partial line ends the connection as one empty line.
TEST_F(CommandLoopTest, LinesBeforeTheCloseAreRunWhenTheyArriveTogether) {
    EventRecord& others = NewRecord();
    Server().OnCommandOther = [&](TNetPeerThread&, const std::string& c, const std::string& p) {
        others.Add(c + "|" + p);
    };
    Start();
    TestClient client = Connect();
    ASSERT_TRUE(client.SendLine("HELLO first"));
    ASSERT_TRUE(WaitUntil([&] { return others.Count() == 1; }));
    std::string input;
    std::size_t lines = 0;
    while (input.size() + 20 < 2048) input += "CMD " + std::to_string(lines++) + "\r\n";
    input += "TAIL" + std::string(2048 - input.size() - 4, 'x');
    ASSERT_EQ(input.size(), 2048u);
    // Corked, the bytes and the end of the stream leave in one segment.
    const int one = 1;
    ASSERT_EQ(::setsockopt(client.Fd(), IPPROTO_TCP, TCP_CORK, &one, sizeof one), 0);
    ASSERT_TRUE(client.Send(input));
    ASSERT_EQ(::shutdown(client.Fd(), SHUT_WR), 0);
    ASSERT_TRUE(WaitUntil([&] { return others.Count() == 1 + lines + 1; }))
        << others.Count() << " of " << 2 + lines;
    EXPECT_EQ(others.Items()[1], "CMD|0");
    EXPECT_EQ(others.Items()[lines], "CMD|" + std::to_string(lines - 1));
    EXPECT_EQ(others.Items().back(), "|");
}

// Past its allowance a connection is held back, not refused: of 30 commands sent at once
// with an allowance of 10 at once and 20 a second, fewer than 30 are answered at first and
// all 30 in the end. A client far past it (over 64 KiB of input waiting while it is held
// back) is told so and closed; the other is still served.
TEST_F(CommandLoopTest, FloodControlHoldsBackThenCutsOff) {
    Server().FloodRate = 20;
    Server().FloodBurst = 10;
    Start();
    const std::uint64_t metBefore = NetMetrics().FloodLimitsMet.Value();
    const std::uint64_t cutBefore = NetMetrics().Closed(TNetCloseReason::Flood).Value();
    TestClient client = Connect();
    std::string burst;
    for (int i = 0; i < 30; ++i) burst += "TIME " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(client.Send(burst));
    ASSERT_EQ(client.ReadLine(), "421 Command not handled: TIME");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::size_t early = 1;
    client.Pump();
    while (client.NextLine()) ++early;
    EXPECT_LT(early, 30u) << "nothing was held back";
    for (std::size_t i = early; i < 30; ++i)
        ASSERT_EQ(client.ReadLine(std::chrono::milliseconds(5000)),
                  "421 Command not handled: TIME");
    EXPECT_TRUE(client.Silent());
    EXPECT_GT(NetMetrics().FloodLimitsMet.Value(), metBefore);

    Server().FloodRate = 1;
    Server().FloodBurst = 1;
    TestClient flooder = Connect();
    std::string flood;
    while (flood.size() < 200 * 1024) flood += "TIME\r\n";
    std::thread sender([&] { flooder.Send(flood); });
    EXPECT_TRUE(flooder.WaitFor("***Error: You are sending too fast!", std::chrono::seconds(10)));
    EXPECT_TRUE(flooder.WaitClosed(std::chrono::seconds(10)));
    ::shutdown(flooder.Fd(), SHUT_RDWR);  // releases the sender in any case
    sender.join();
    EXPECT_TRUE(WaitUntil([&] {
        return NetMetrics().Closed(TNetCloseReason::Flood).Value() == cutBefore + 1;
    })) << "the cut-off is counted as a flood";
    Server().FloodRate = 0;
    EXPECT_TRUE(client.TimeRoundTrip().has_value()) << "the held-back client is still served";
}
