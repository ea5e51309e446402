// Remote administration against the real chat core: a fake console host over a loopback
// TNetIRCServer on port 0, driven by scripted clients.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "console/MetricsText.h"
#include "console/RemoteAdmin.h"
#include "net/NetMetrics.h"
#include "support/FakeAdminHost.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace {

const std::string SendReport = "4102!8317", ClearReport = "5530!2196", Kick = "6274!1083",
                  Message = "7391!4650", PartLobby = "8126!3907", KickAll = "9043!5712",
                  AddLobby = "3619!8824", AddPrivate = "2758!6041", RemoveLobby = "1485!9370",
                  SaveLobbies = "6932!2518", SendLog = "5207!7463", Shutdown = "8841!0295",
                  ListLobbies = "7710!3384";

using Lines = std::vector<std::string>;

class AdminTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = std::make_unique<FakeAdminHost>(rig_.Server(), dir_.Path());
        TRemoteAdminTiming timing;
        timing.CountdownStep = countdownStep_;
        timing.Now = [this] { return TRemoteAdmin::Clock::now() + clockOffset_.load(); };
        admin_ = std::make_unique<TRemoteAdmin>(*host_, timing);
        rig_.Server().OnCommandOther = [this](TNetPeerThread& thread, const std::string& command,
                                              const std::string& parm) {
            lastThread_ = &thread;
            admin_->HandleCommand(thread, command, parm);
        };
        rig_.Start();
    }
    void TearDown() override {
        rig_.Renew();  // waits for the peer threads, which may be inside admin_
    }

    TestClient Client(const std::string& nick = "", const std::string& source = TestServer::Ip) {
        return nick.empty() ? rig_.Connect(source) : rig_.Registered(nick, source);
    }
    // Sends a line and returns its reply lines: those before the core's answer to a TIME
    // sent behind it (TIME has no handler here, so the core answers it with its 421 line).
    static Lines Ask(TestClient& client, const std::string& line) {
        client.SendLine(line);
        client.SendLine("TIME");
        Lines lines;
        while (auto got = client.ReadLine()) {
            if (got->ends_with("Command not handled: TIME")) return lines;
            lines.push_back(*got);
        }
        lines.push_back("<time-out>");
        return lines;
    }
    static bool NoReply(TestClient& client, const std::string& line) {
        return Ask(client, line).empty();
    }
    TNetIRCServer& Server() { return rig_.Server(); }
    TLobbyList& Lobbies() { return rig_.Store(); }
    int AddConsoleLobby(const std::string& name) {
        return Lobbies().AddLobby(TLobbySender::Of(host_.get()), name, name, false, false);
    }

    std::chrono::milliseconds countdownStep_{5};
    std::atomic<std::chrono::steady_clock::duration> clockOffset_{{}};
    std::atomic<TNetPeerThread*> lastThread_{nullptr};
    TempDir dir_{"admin_tests"};
    std::unique_ptr<FakeAdminHost> host_;
    std::unique_ptr<TRemoteAdmin> admin_;
    TestServer rig_;  // declared last: its connection threads end before admin_ and host_ go
};

// --- The private-lobby command ---

TEST_F(AdminTest, PrivateCreatesPrivateLobbyJoinsCreatorAndRefusesTheSameNameAgain) {
    // "private #Test" makes a private user-created lobby, joins its creator, and a repeat is
    // refused.
    TestClient alice = Client("alice");
    alice.SendLine("private #Test");
    ASSERT_EQ(alice.ReadLine(), ":alice!user@127.0.0.1 JOIN :#Test");
    EXPECT_EQ(alice.ReadLine(), ":localhost 332 alice #Test :Private lobby created by alice");
    TLobby* lobby = Lobbies().FindLobby("#Test");
    ASSERT_NE(lobby, nullptr);
    EXPECT_TRUE(lobby->IsPrivate);
    EXPECT_TRUE(lobby->UserCreated);
    EXPECT_EQ(lobby->MemberCount(), 1);
    EXPECT_TRUE(alice.WaitFor("***Private lobby created by alice"));
    EXPECT_EQ(Ask(alice, "private #Test"), Lines{"***Error adding lobby #Test"});
}

TEST_F(AdminTest, PrivateCleansTheNameAndAnswersUselessNames) {
    // Blanks become "_" and "#" is added; an empty or all-deleted name is answered.
    TestClient bob = Client("bob");
    bob.SendLine("private my room");
    EXPECT_EQ(bob.ReadLine(), ":bob!user@127.0.0.1 JOIN :#my_room");
    EXPECT_NE(Lobbies().FindLobby("#my_room"), nullptr);
    EXPECT_TRUE(bob.WaitFor("***Private lobby created by bob"));
    EXPECT_EQ(Ask(bob, "private"), Lines{"***Error: Please give that lobby a name!"});
    EXPECT_EQ(Ask(bob, "private :@!"), Lines{"***Error: Please give that lobby a name!"});
}

TEST_F(AdminTest, PrivateIsSilentWhenOptionOffOrNotLowerCase) {
    // The option off, or the word in capitals, gives no reply and creates nothing.
    TestClient bob = Client("bob");
    EXPECT_TRUE(NoReply(bob, "PRIVATE #Caps"));
    host_->allowCreate = false;
    EXPECT_TRUE(NoReply(bob, "private #Off"));
    EXPECT_TRUE(NoReply(bob, "private"));
    EXPECT_EQ(Lobbies().FindLobby("#Caps"), nullptr);
    EXPECT_EQ(Lobbies().FindLobby("#Off"), nullptr);
}

TEST_F(AdminTest, PrivateWithoutNickCreatesNothing) {
    // A connection without nickname is refused as not logged on, and no lobby is made that
    // it could never join (nor one for a connection that sent USER alone).
    TestClient anon = Client();
    EXPECT_EQ(Ask(anon, "private #Solo"), Lines{"***Error: You are not logged on!"});
    EXPECT_EQ(Lobbies().FindLobby("#Solo"), nullptr);
    anon.SendLine("USER u h s :r");
    EXPECT_EQ(Ask(anon, "private #Solo"), Lines{"***Error: You are not logged on!"});
    EXPECT_EQ(Lobbies().LobbyCount(), 0);
}

// --- Code words ---

TEST_F(AdminTest, NearMissCodesAreSilentAndARightCodeStillWorks) {
    // One digit changed, a trailing character or an empty line: no reply; then a code answers.
    TestClient anon = Client();
    EXPECT_TRUE(NoReply(anon, "4102!8318"));
    EXPECT_TRUE(NoReply(anon, SendReport + "x"));
    EXPECT_TRUE(NoReply(anon, ""));
    admin_->Report().EnsureExists();
    EXPECT_EQ(Ask(anon, SendReport), (Lines{"***Begin Report", "***End Report"}));
}

TEST_F(AdminTest, ReportRoundTripThroughSendAndClear) {
    // Appended reports come back in order unchanged; a clear empties the file.
    TestClient anon = Client();
    admin_->Report().Append("1.1.2026 10:00:00 alice: it crashed");
    admin_->Report().Append("1.1.2026 10:00:01 bob: me too");
    EXPECT_EQ(Ask(anon, SendReport),
              (Lines{"***Begin Report", "1.1.2026 10:00:00 alice: it crashed",
                     "1.1.2026 10:00:01 bob: me too", "***End Report"}));
    EXPECT_EQ(Ask(anon, ClearReport), Lines{"OK!"});
    EXPECT_EQ(Ask(anon, SendReport), (Lines{"***Begin Report", "***End Report"}));
}

TEST_F(AdminTest, ReportFileErrorsAreAnsweredWithTheirPrefix) {
    // A missing report file and one that cannot be emptied are answered; the connection stays.
    TestClient anon = Client();
    EXPECT_EQ(Ask(anon, SendReport),
              Lines{"***Error opening report file: No such file or directory"});
    ASSERT_TRUE(std::filesystem::create_directory(dir_.File("report.txt")));
    EXPECT_EQ(Ask(anon, ClearReport), Lines{"***Error clearing report file: Is a directory"});
    EXPECT_TRUE(NoReply(anon, "still here"));
}

TEST(ReportFile, ConcurrentAppendsStayWholeLinesWithCrLf) {
    // Long lines appended from many threads never interleave and each ends in CR LF.
    TempDir dir("report_tests");
    TReportFile report(dir.Path());
    report.EnsureExists();
    std::vector<std::thread> writers;
    for (char c = 'a'; c < 'e'; ++c)
        writers.emplace_back([&report, c] {
            for (int i = 0; i < 200; ++i) report.Append(std::string(5000, c));
        });
    for (auto& writer : writers) writer.join();
    auto lines = report.ReadLines();
    ASSERT_EQ(lines.size(), 800u);
    for (auto& line : lines) EXPECT_EQ(line, std::string(5000, line[0]));
    EXPECT_EQ(std::filesystem::file_size(report.Path()), 800u * 5002u);
    report.EnsureExists();
    EXPECT_EQ(report.ReadLines().size(), 800u);
}

TEST_F(AdminTest, AddLobbyRepliesAndLeavesTheListUnmodified) {
    // Public and private adds reply with the uncleaned name, clear Modified, disable saving.
    TestClient anon = Client();
    Lobbies().Modified = true;
    EXPECT_EQ(Ask(anon, AddLobby + " Games"), Lines{"Lobby #Games added"});
    TLobby* games = Lobbies().FindLobby("#Games");
    ASSERT_NE(games, nullptr);
    EXPECT_FALSE(games->IsPrivate || games->UserCreated);
    EXPECT_EQ(games->Description, "#Games");
    EXPECT_FALSE(Lobbies().Modified);
    EXPECT_EQ(Ask(anon, AddPrivate + " #my den"), Lines{"Private lobby #my den added"});
    ASSERT_NE(Lobbies().FindLobby("#my_den"), nullptr);
    EXPECT_TRUE(Lobbies().FindLobby("#my_den")->IsPrivate);
    EXPECT_EQ(Ask(anon, AddLobby + " #Games"), Lines{"Error adding lobby"});
    EXPECT_EQ(Ask(anon, AddLobby), Lines{"Error adding lobby"});
    EXPECT_FALSE(Lobbies().Modified);
    EXPECT_EQ(host_->SaveEnabledCalls(), (std::vector<bool>{false, false, false}));
}

TEST_F(AdminTest, RemoveLobbyNeedsTheExactNameAndAlwaysSaysOk) {
    // Without "#" nothing is removed but "OK" comes; the exact name removes; empty is an error.
    TestClient anon = Client();
    AddConsoleLobby("#Games");
    EXPECT_EQ(Ask(anon, RemoveLobby + " Games"), Lines{"OK"});
    EXPECT_NE(Lobbies().FindLobby("#Games"), nullptr);
    EXPECT_EQ(Ask(anon, RemoveLobby + " #Games"), Lines{"OK"});
    EXPECT_EQ(Lobbies().FindLobby("#Games"), nullptr);
    EXPECT_FALSE(Lobbies().Modified);
    EXPECT_EQ(Ask(anon, RemoveLobby), Lines{"Error removing lobby"});
    EXPECT_EQ(host_->SaveEnabledCalls(), (std::vector<bool>{false, false}));
}

TEST_F(AdminTest, PartLobbyPartsEveryMemberOrSaysNoSuchLobby) {
    // Members get their PART line and "***Part by Admin"; a name without "#" is unknown.
    AddConsoleLobby("#Games");
    TestClient bob = Client("bob"), anon = Client();
    bob.SendLine("JOIN #Games");
    ASSERT_TRUE(bob.WaitFor("***#Games"));
    EXPECT_EQ(Ask(anon, PartLobby + " Games"), Lines{"No such lobby"});
    EXPECT_TRUE(NoReply(anon, PartLobby + " #Games"));
    EXPECT_EQ(bob.ReadLine(), ":bob!user@127.0.0.1 PART #Games");
    EXPECT_EQ(bob.ReadLine(), "***Part by Admin");
    EXPECT_EQ(Lobbies().FindLobby("#Games")->MemberCount(), 0);
}

TEST_F(AdminTest, KickMessageAndKickAllReachTheirUsers) {
    // Kick quits one nick (case ignored), Message reaches registered users, KickAll drops all.
    TestClient bob = Client("bob"), carol = Client("carol"), admin = Client("admin"),
               anon = Client();
    EXPECT_EQ(Ask(admin, Kick + " nobody"), Lines{"Error kicking nobody"});
    EXPECT_EQ(Ask(admin, Kick + " BOB"), (Lines{":bob!user@127.0.0.1 QUIT ", "BOB kicked"}));
    EXPECT_TRUE(bob.WaitClosed());
    EXPECT_TRUE(carol.WaitFor(":bob!user@127.0.0.1 QUIT "));
    admin.SendLine(Message + " hello all");
    EXPECT_EQ(admin.ReadLine(), "***Message by Admin: hello all");
    EXPECT_EQ(carol.ReadLine(), "***Message by Admin: hello all");
    EXPECT_TRUE(NoReply(anon, "unregistered connections get no message"));
    admin.SendLine(KickAll + " bye");
    EXPECT_EQ(carol.ReadLine(), "***All users kicked by admin: bye");
    EXPECT_TRUE(carol.WaitClosed());
    EXPECT_TRUE(admin.WaitClosed());
    EXPECT_EQ(Lobbies().UserCount(), 0);
    EXPECT_TRUE(NoReply(anon, "and are not kicked"));
}

TEST_F(AdminTest, SaveLogAndListAnswerFromTheHost) {
    // Save runs the host's save or answers its error; log and lobby rows come from the host.
    TestClient anon = Client();
    EXPECT_EQ(Ask(anon, SaveLobbies), Lines{"Lobbylist saved"});
    EXPECT_EQ(host_->Saves(), 1);
    host_->SetSaveError("Permission denied");
    EXPECT_EQ(Ask(anon, SaveLobbies), Lines{"Error saving lobbylist: Permission denied"});
    host_->AddLog("first");
    host_->AddLog("second");
    EXPECT_EQ(Ask(anon, SendLog), (Lines{"***Log begin", "ts: second", "ts: first", "***Log end"}));
    host_->SetRows({"#Report_Problems\t[0]\tMessages", "#Den *\t[2]\tours"});
    EXPECT_EQ(Ask(anon, ListLobbies), (Lines{"Lobby list:", "#Report_Problems\t[0]\tMessages",
                                             "#Den *\t[2]\tours", "End of lobby list"}));
    host_->SetRows({}, "view gone");
    EXPECT_EQ(Ask(anon, ListLobbies), Lines{"Exception: view gone"});
}

// --- Remote shutdown ---

TEST_F(AdminTest, ShutdownCountsDownThenStopsAndTellsTheOperator) {
    // Ten numbered lines in order to every registered user, then the stop and the message.
    TestClient admin = Client("admin"), bob = Client("bob");
    EXPECT_EQ(Ask(admin, Shutdown), Lines{"Error: No message"});
    admin.SendLine(Shutdown + " maintenance");
    for (int n = 10; n >= 1; --n)
        ASSERT_EQ(bob.ReadLine(),
                  "***Server will shout down in " + std::to_string(n) + "secounds !");
    EXPECT_TRUE(bob.WaitFor("***Server stopped....."));
    EXPECT_TRUE(bob.WaitClosed());
    EXPECT_TRUE(admin.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return host_->OperatorMessages().size() == 1; }));
    EXPECT_FALSE(Server().Active());
    EXPECT_EQ(host_->LogCount("Remote shoutdown server in progress"), 1);
    EXPECT_EQ(host_->OperatorMessages(),
              Lines{"The sever was stopped by remote. Message: maintenance"});
}

class AdminRealTimeTest : public AdminTest {
  protected:
    AdminRealTimeTest() { countdownStep_ = 1000ms; }
};

TEST_F(AdminRealTimeTest, CountdownLinesAreOneSecondApart) {
    // With the real step the lines come a second apart and the stop follows ~10.5 s later.
    host_->stopPause = 500ms;
    TestClient bob = Client("bob");
    auto start = std::chrono::steady_clock::now();
    bob.SendLine(Shutdown + " now");
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    for (int n = 10; n >= 1; --n) {
        ASSERT_EQ(bob.ReadLine(2s),
                  "***Server will shout down in " + std::to_string(n) + "secounds !");
        arrivals.push_back(std::chrono::steady_clock::now());
    }
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GT(arrivals[i] - arrivals[i - 1], 900ms);
        EXPECT_LT(arrivals[i] - arrivals[i - 1], 1200ms);
    }
    ASSERT_TRUE(bob.WaitClosed(3s));
    EXPECT_GT(std::chrono::steady_clock::now() - start, 9900ms);
    EXPECT_TRUE(WaitUntil([&] { return !host_->OperatorMessages().empty(); }));
}

TEST_F(AdminTest, ConcurrentShutdownsStopTheServerOnce) {
    // Two shutdowns at once: the server is stopped once and the operator told once.
    TestClient first = Client("first"), second = Client("second");
    first.SendLine(Shutdown + " one");
    second.SendLine(Shutdown + " two");
    EXPECT_TRUE(first.WaitClosed());
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return !host_->OperatorMessages().empty(); }));
    std::this_thread::sleep_for(200ms);  // time for a second, wrong stop or message
    EXPECT_FALSE(Server().Active());
    EXPECT_EQ(host_->stops, 1);
    EXPECT_EQ(host_->OperatorMessages().size(), 1u);
}

class AdminSlowCountdownTest : public AdminTest {
  protected:
    AdminSlowCountdownTest() { countdownStep_ = 200ms; }
};

TEST_F(AdminSlowCountdownTest, OperatorStopDuringCountdownEndsItWithoutSecondStop) {
    // The operator stops the server mid-countdown: the countdown ends at once, no second stop.
    TestClient admin = Client("admin");
    admin.SendLine(Shutdown + " later");
    ASSERT_EQ(admin.ReadLine(), "***Server will shout down in 10secounds !");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(host_->StopServerRemote());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // not held up by the countdown
    EXPECT_TRUE(admin.WaitClosed());
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(host_->stops, 1);
    EXPECT_TRUE(host_->OperatorMessages().empty());
}

// --- The guessing limit ---

TEST_F(AdminTest, ThreeWrongGuessesLockTheAddressOutForTenMinutes) {
    // After three misses even a right code is ignored, logged once; other addresses still work.
    TestClient guesser = Client();
    EXPECT_TRUE(NoReply(guesser, "0000!0000"));
    EXPECT_TRUE(NoReply(guesser, "1111!1111"));
    EXPECT_EQ(host_->LogCount("Admin code refused for 127.0.0.1"), 0);
    EXPECT_TRUE(NoReply(guesser, "2222!2222"));
    EXPECT_TRUE(NoReply(guesser, ListLobbies));
    EXPECT_TRUE(NoReply(guesser, "3333!3333"));
    EXPECT_EQ(host_->LogCount("Admin code refused for 127.0.0.1"), 1);

    TestClient other = Client("", "127.0.0.2");
    EXPECT_EQ(Ask(other, ListLobbies), (Lines{"Lobby list:", "End of lobby list"}));

    clockOffset_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(10min + 1s);
    EXPECT_EQ(Ask(guesser, ListLobbies), (Lines{"Lobby list:", "End of lobby list"}));
    for (const char* guess : {"0000!0000", "1111!1111", "2222!2222", "3333!3333"})
        EXPECT_TRUE(NoReply(guesser, guess));
    EXPECT_EQ(host_->LogCount("Admin code refused for 127.0.0.1"), 2);  // one per lock-out
}

TEST_F(AdminTest, MissesOlderThanTheWindowDoNotCount) {
    // Two misses, ten minutes, two more misses: no lock-out, a right code still works.
    TestClient guesser = Client();
    EXPECT_TRUE(NoReply(guesser, "0000!0000"));
    EXPECT_TRUE(NoReply(guesser, "0000!0001"));
    clockOffset_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(10min);
    EXPECT_TRUE(NoReply(guesser, "0000!0002"));
    EXPECT_TRUE(NoReply(guesser, "0000!0003"));
    EXPECT_EQ(host_->LogCount("Admin code refused for 127.0.0.1"), 0);
}

TEST_F(AdminTest, AMillionConcurrentGuessesEvaluateOnlyThree) {
    // Guesses from four threads on one connection: three are compared, one lock-out is logged.
    TestClient guesser = Client();
    guesser.SendLine("hello");
    while (lastThread_ == nullptr) std::this_thread::sleep_for(1ms);
    TNetPeerThread& thread = *lastThread_;
    const auto before = admin_->CodeEvaluations();
    std::vector<std::thread> guessers;
    for (int t = 0; t < 4; ++t)
        guessers.emplace_back([&] {
            for (int i = 0; i < 250000; ++i) admin_->HandleCommand(thread, "9999!9999", "");
        });
    for (auto& g : guessers) g.join();
    EXPECT_EQ(admin_->CodeEvaluations() - before, 3u);
    EXPECT_EQ(host_->LogCount("Admin code refused for 127.0.0.1"), 1);
    // Asked over the socket, not just listened to: the round trip orders the guessers'
    // last use of the thread before the thread lets go of its connection on hang-up.
    EXPECT_TRUE(NoReply(guesser, "hello"));
}

// --- The metrics page ---

// The value of one series of the page ("name" or "name{labels}"); -1 when it is missing.
long long Sample(const std::string& page, const std::string& series) {
    const std::string key = "\n" + series + " ";
    const auto at = page.find(key);
    return at == std::string::npos ? -1 : std::stoll(page.substr(at + key.size()));
}

TEST_F(AdminTest, MetricsCountEachClosedConnectionOnceUnderItsReason) {
    // A QUIT, a kick, an over-long line and a hang-up each end one connection, counted
    // once under its own reason: the read that fails after a kick does not count again.
    const std::string before = MetricsText(Server());
    TestClient quitter = Client("quitter"), kicked = Client("kicked"), talker = Client(),
               leaver = Client("leaver"), guesser = Client();
    quitter.SendLine("QUIT");
    EXPECT_TRUE(quitter.WaitClosed());
    EXPECT_TRUE(Lobbies().QuitUserByNick("kicked", "***Kicked by server !"));
    EXPECT_TRUE(kicked.WaitClosed());
    talker.Send(std::string(TNetTCPConnection::MaxLineLength + 10, 'x'));
    EXPECT_TRUE(talker.WaitClosed());
    leaver.Close();
    EXPECT_TRUE(NoReply(guesser, "0000!0000"));
    // A connection is counted when its thread lets go of it, after the client saw the close.
    std::string after;
    auto delta = [&](const std::string& series) {
        return Sample(after, series) - Sample(before, series);
    };
    auto closed = [&] {
        long long sum = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(TNetCloseReason::Count_); ++i) {
            sum += delta(std::string("quarn_connections_closed_total{reason=\"") +
                         NetCloseReasonName(static_cast<TNetCloseReason>(i)) + "\"}");
        }
        return sum;
    };
    EXPECT_TRUE(WaitUntil([&] {
        after = MetricsText(Server());
        return closed() >= 4;
    }));
    std::this_thread::sleep_for(50ms);  // time for a wrong second count to show
    after = MetricsText(Server());
    EXPECT_EQ(closed(), 4);
    EXPECT_EQ(Sample(after, "quarn_connections"), 1);
    EXPECT_EQ(delta("quarn_connections_accepted_total"), 5);
    EXPECT_EQ(delta("quarn_connections_closed_total{reason=\"quit\"}"), 1);
    EXPECT_EQ(delta("quarn_connections_closed_total{reason=\"operator\"}"), 1);
    EXPECT_EQ(delta("quarn_connections_closed_total{reason=\"line_too_long\"}"), 1);
    EXPECT_EQ(delta("quarn_connections_closed_total{reason=\"lost\"}"), 1);
    EXPECT_EQ(delta("quarn_code_words_refused_total"), 1);
}

TEST(Metrics, RefusedAndTimedOutConnectionsAreCountedAsSuch) {
    // A connection over the per-address limit is refused (and counted closed as refused,
    // not lost); one that registers no nick in time is closed as timed out.
    TestServer rig;
    rig.Server().MaxConnectionsPerAddress = 1;
    rig.Server().RegistrationTimeout = 200ms;
    rig.Start();
    const std::string before = MetricsText(rig.Server());
    TestClient first = rig.Connect();
    TestClient second = rig.Connect();
    EXPECT_TRUE(second.WaitFor("***Error: Too many connections from your address!"));
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_TRUE(first.WaitClosed());
    auto delta = [&](const std::string& page, const std::string& series) {
        return Sample(page, series) - Sample(before, series);
    };
    std::string after;
    EXPECT_TRUE(WaitUntil([&] {
        after = MetricsText(rig.Server());
        return delta(after, "quarn_connections_closed_total{reason=\"timeout\"}") == 1 &&
               delta(after, "quarn_connections_closed_total{reason=\"refused\"}") == 1;
    }));
    EXPECT_EQ(delta(after, "quarn_connections_refused_total"), 1);
    EXPECT_EQ(delta(after, "quarn_connections_closed_total{reason=\"lost\"}"), 0);
}

TEST_F(AdminTest, MetricsShowUsersLobbiesAndRelayedLinesAsTheCoreHasThem) {
    // Users without a nick are not registered users; lobbies count by kind and maker; a
    // relayed line counts once however many receive it; every series has HELP and TYPE.
    Lobbies().AllowCreate = true;
    TestClient ann = Client("ann"), bob = Client("bob"), anon = Client();
    // A connect completes before the server has taken the connection: an answer tells it has.
    EXPECT_TRUE(anon.TimeRoundTrip().has_value());
    AddConsoleLobby("#ops");
    Lobbies().AddLobby(TLobbySender::Of(host_.get()), "#secret", "d", false, true);
    ann.SendLine("JOIN #fun");
    EXPECT_TRUE(bob.WaitFor(TestServer::Prefix("ann") + " JOIN :#fun"));
    const std::string before = MetricsText(Server());
    ann.SendLine("PRIVMSG #fun :hello");
    EXPECT_TRUE(bob.WaitFor(TestServer::Prefix("ann") + " PRIVMSG #fun :hello"));
    // The sender counts its bytes once the socket has taken them, maybe after bob read them.
    std::string page;
    EXPECT_TRUE(WaitUntil([&] {
        page = MetricsText(Server());
        return Sample(page, "quarn_sent_bytes_total") > Sample(before, "quarn_sent_bytes_total");
    }));
    EXPECT_EQ(Sample(page, "quarn_registered_users"), 2);
    EXPECT_EQ(Sample(page, "quarn_connections"), 3);
    EXPECT_EQ(Sample(page, "quarn_lobbies{kind=\"public\",owner=\"operator\"}"), 1);
    EXPECT_EQ(Sample(page, "quarn_lobbies{kind=\"private\",owner=\"operator\"}"), 1);
    EXPECT_EQ(Sample(page, "quarn_lobbies{kind=\"public\",owner=\"player\"}"), 1);
    EXPECT_EQ(
        Sample(page, "quarn_lines_relayed_total") - Sample(before, "quarn_lines_relayed_total"), 1);
    EXPECT_GT(Sample(page, "quarn_threads"), 3);

    std::istringstream lines(page);
    std::string line, typed;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0) {
            typed = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(typed.ends_with("_total"), line.ends_with(" counter")) << line;
        } else if (line[0] != '#') {
            EXPECT_EQ(line.substr(0, line.find_first_of("{ ")), typed) << line;
        }
    }
}

}  // namespace
