// Remote administration against the real chat core: a fake console host over a loopback
// TNetIRCServer on port 0, driven by scripted clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "chat/NetIrcServer.h"
#include "console/RemoteAdmin.h"
#include "support/TestClient.h"

using namespace std::chrono_literals;

namespace {

const std::string SendReport = "4102!8317", ClearReport = "5530!2196", Kick = "6274!1083",
                  Message = "7391!4650", PartLobby = "8126!3907", KickAll = "9043!5712",
                  AddLobby = "3619!8824", AddPrivate = "2758!6041", RemoveLobby = "1485!9370",
                  SaveLobbies = "6932!2518", SendLog = "5207!7463", Shutdown = "8841!0295",
                  ListLobbies = "7710!3384";

using Lines = std::vector<std::string>;

// The console as far as the remote administration sees it; records what it is asked.
class FakeHost : public TAdminHost {
  public:
    FakeHost(TNetIRCServer& server, std::string dir) : server_(server), dir_(std::move(dir)) {}

    TNetIRCServer& IrcServer() override { return server_; }
    const void* ConsoleSender() const override { return this; }
    std::string ProgramDir() const override { return dir_; }
    bool AllowCreateOption() const override { return allowCreate; }

    void AddLog(const std::string& text) override {
        std::lock_guard lock(mutex_);
        log_.insert(log_.begin(), "ts: " + text);
    }
    std::vector<std::string> LogLines() const override {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::vector<std::string> LobbyRowTexts() const override {
        std::lock_guard lock(mutex_);
        if (!rowError_.empty()) throw std::runtime_error(rowError_);
        return rows_;
    }
    void SaveLobbyList() override {
        std::lock_guard lock(mutex_);
        if (!saveError_.empty()) throw std::runtime_error(saveError_);
        ++saves_;
    }
    void SetSaveLobbysEnabled(bool enabled) override {
        std::lock_guard lock(mutex_);
        saveEnabled_.push_back(enabled);
    }
    // The console's stop without its question: false at once while another stop runs.
    bool StopServerRemote() override {
        std::unique_lock lock(stopMutex_, std::try_to_lock);
        if (!lock.owns_lock() || !server_.Active()) return false;
        stopping_ = true;
        server_.LobbyStore().QuitAll("***Server stopped.....");
        std::this_thread::sleep_for(stopPause);
        server_.SetActive(false);
        ++stops;
        stopping_ = false;
        return true;
    }
    bool StopUnderWay() const override { return stopping_; }
    void ShowOperatorMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        operatorMessages_.push_back(text);
    }

    // The test's side, under the same lock as the connection threads' side.
    void SetRows(std::vector<std::string> rows, std::string error = "") {
        std::lock_guard lock(mutex_);
        rows_ = std::move(rows);
        rowError_ = std::move(error);
    }
    void SetSaveError(std::string error) {
        std::lock_guard lock(mutex_);
        saveError_ = std::move(error);
    }
    int Saves() const {
        std::lock_guard lock(mutex_);
        return saves_;
    }
    std::vector<bool> SaveEnabledCalls() const {
        std::lock_guard lock(mutex_);
        return saveEnabled_;
    }
    std::vector<std::string> OperatorMessages() const {
        std::lock_guard lock(mutex_);
        return operatorMessages_;
    }
    int LogCount(const std::string& text) const {
        auto lines = LogLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), "ts: " + text));
    }

    std::atomic<bool> allowCreate{true};
    std::chrono::milliseconds stopPause{20};
    std::atomic<int> stops{0};

  private:
    TNetIRCServer& server_;
    std::string dir_;
    mutable std::mutex mutex_;      // guards everything below
    std::vector<std::string> log_;  // newest first
    std::vector<std::string> rows_, operatorMessages_;
    std::vector<bool> saveEnabled_;
    std::string saveError_, rowError_;
    int saves_ = 0;
    std::mutex stopMutex_;  // held for a whole stop
    std::atomic<bool> stopping_{false};
};

class AdminTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/admin_tests.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
        server_ = std::make_unique<TNetIRCServer>(0ms);
        host_ = std::make_unique<FakeHost>(*server_, dir_);
        TRemoteAdminTiming timing;
        timing.CountdownStep = countdownStep_;
        timing.Now = [this] { return TRemoteAdmin::Clock::now() + clockOffset_.load(); };
        admin_ = std::make_unique<TRemoteAdmin>(*host_, timing);
        server_->OnCommandOther = [this](TNetPeerThread& thread, const std::string& command,
                                         const std::string& parm) {
            lastThread_ = &thread;
            admin_->HandleCommand(thread, command, parm);
        };
        server_->Bindings().Add().SetPort(0);
        server_->SetActive(true);
        port_ = server_->Bindings()[0].Port();
    }
    void TearDown() override {
        server_->SetActive(false);
        server_.reset();  // waits for the peer threads, which may be inside admin_
        admin_.reset();
        host_.reset();
        std::filesystem::remove_all(dir_);
    }

    TestClient Client(const std::string& nick = "", const std::string& ip = "127.0.0.1") {
        TestClient client(port_, ip);
        EXPECT_TRUE(client.IsOpen());
        if (!nick.empty()) {
            EXPECT_TRUE(client.Register(nick));
        }
        return client;
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
    TLobbyList& Lobbies() { return server_->LobbyStore(); }
    int AddConsoleLobby(const std::string& name) {
        return Lobbies().AddLobby(TLobbySender::Of(host_.get()), name, name, false, false);
    }

    std::chrono::milliseconds countdownStep_{5};
    std::atomic<std::chrono::steady_clock::duration> clockOffset_{{}};
    std::atomic<TNetPeerThread*> lastThread_{nullptr};
    std::string dir_;
    std::unique_ptr<TNetIRCServer> server_;
    std::unique_ptr<FakeHost> host_;
    std::unique_ptr<TRemoteAdmin> admin_;
    int port_ = 0;
};

// TestClient leaves the source address to the kernel, which picks 127.0.0.1 for every
// loopback target; this asks once from a bound source address and returns the reply lines.
Lines AskFrom(const std::string& source, int port, const std::string& line) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &addr.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string bytes = line + "\r\n";
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    std::string received;
    char chunk[4096];
    pollfd ready{fd, POLLIN, 0};
    while (::poll(&ready, 1, 300) > 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        received.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    Lines lines;
    for (std::size_t end; (end = received.find("\r\n")) != std::string::npos;
         received.erase(0, end + 2))
        lines.push_back(received.substr(0, end));
    return lines;
}

// Polls until the condition holds; false after the time-out.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

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

TEST_F(AdminTest, PrivateWithoutNickCreatesTheLobbyButRefusesTheJoin) {
    // A connection without nickname gets the lobby with an empty creator and is not joined.
    TestClient anon = Client();
    EXPECT_EQ(Ask(anon, "private #Solo"), Lines{"***Error: You are not logged on!"});
    TLobby* lobby = Lobbies().FindLobby("#Solo");
    ASSERT_NE(lobby, nullptr);
    EXPECT_EQ(lobby->Description, "Private lobby created by ");
    EXPECT_EQ(lobby->MemberCount(), 0);
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
    ASSERT_TRUE(std::filesystem::create_directory(dir_ + "report.txt"));
    EXPECT_EQ(Ask(anon, ClearReport), Lines{"***Error clearing report file: Is a directory"});
    EXPECT_TRUE(NoReply(anon, "still here"));
}

TEST(ReportFile, ConcurrentAppendsStayWholeLinesWithCrLf) {
    // Long lines appended from many threads never interleave and each ends in CR LF.
    char pattern[] = "/tmp/report_tests.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    TReportFile report(std::string(pattern) + "/");
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
    std::filesystem::remove_all(pattern);
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
    EXPECT_FALSE(server_->Active());
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
    EXPECT_FALSE(server_->Active());
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

    EXPECT_EQ(AskFrom("127.0.0.2", port_, ListLobbies),
              (Lines{"Lobby list:", "End of lobby list"}));

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
    EXPECT_TRUE(guesser.Silent());
}

}  // namespace
