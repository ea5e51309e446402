// The server event handlers and the views they keep (console/Views.cpp), against the real chat
// server through the console test harness: loopback clients, the window's own controls and answered
// dialogs.
#include <QScopeGuard>
#include <atomic>
#include <mutex>
#include <thread>

#include "support/ConsoleHarness.h"

class ViewsTest : public QObject {
    Q_OBJECT

  private slots:
    void welcomeSendsUsersOnlineAndMotd_data() { BothWindows(); }
    void welcomeSendsUsersOnlineAndMotd();
    void gridRowsFollowUsersEnteringAndQuitting_data() { BothWindows(); }
    void gridRowsFollowUsersEnteringAndQuitting();
    void viewsRefreshAtMostEveryIntervalInAStorm();
    void joiningUserIsCountedDuringTheJoin();
    void reportLobbyFilesMessages();
    void userCreatedLobbyVanishesWhenEmptied_data() { BothWindows(); }
    void userCreatedLobbyVanishesWhenEmptied();
    void allowCreateOffListsNothing_data() { BothWindows(); }
    void allowCreateOffListsNothing();
    void usersCommandListsRegistry();
    void reportThatCannotBeFiledIsAnswered();
    void unlistedLobbiesAndUsersLogErrors_data() { BothWindows(); }
    void unlistedLobbiesAndUsersLogErrors();
    void reportsFromAFastSenderWaitForASlowDisk();
};

void ViewsTest::welcomeSendsUsersOnlineAndMotd() {
    // A registering user is told who is online, then gets the lobby list and the welcome.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    TestClient bob = h.User("bob");
    TestClient alice(h.Port());
    QVERIFY(alice.SendLine("USER alice h s :r"));
    QVERIFY(alice.SendLine("NICK alice"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("Users online [2]:"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("- bob"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("- alice"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("End of userlist"));
    QCOMPARE(alice.ReadLine().value_or("x"), std::string(""));
    QVERIFY(
        alice.WaitFor(":localhost 372 alice : - Welcome to Marrik's IRC chat server for Quarn"));
    QVERIFY(alice.WaitFor(":localhost 376 alice :End of /MOTD command."));
    QVERIFY(h.Eventually([&] { return h.LogHas("User alice@127.0.0.1 entered chat"); }));
    QTRY_COMPARE(h.Window().StatusPanel->text(),
                 QStringLiteral("User alice@127.0.0.1 entered chat"));
}

void ViewsTest::gridRowsFollowUsersEnteringAndQuitting() {
    // The first user fills the empty row, the second appends one, a quit deletes its row
    // and the last quit empties the remaining row.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    QCOMPARE(h.GridNicks(), QStringList{""});
    TestClient alice = h.User("alice");
    QTRY_COMPARE(h.GridNicks(), QStringList{"alice"});
    QCOMPARE(h.GridCell(0, 1), QStringLiteral("127.0.0.1"));
    QVERIFY(!h.GridCell(0, 2).isEmpty());
    // The operator's selection stays on its row while others enter.
    h.Window().AllUserList->selectRow(0);
    TestClient bob = h.User("bob");
    QTRY_COMPARE(h.GridNicks(), (QStringList{"alice", "bob"}));
    QCOMPARE(h.Window().AllUserList->currentIndex().row(), 0);
    QVERIFY(alice.SendLine("QUIT"));
    QVERIFY(alice.WaitClosed());
    QTRY_COMPARE(h.GridNicks(), QStringList{"bob"});
    QVERIFY(h.Eventually([&] { return h.LogHas("User alice@127.0.0.1 quit"); }));
    bob.Close();  // a lost connection quits the same way
    QTRY_COMPARE(h.GridNicks(), QStringList{""});
    QCOMPARE(h.GridRows(), 1);
    QVERIFY(h.Eventually([&] { return h.LogHas("User bob@127.0.0.1 quit"); }));
}

void ViewsTest::viewsRefreshAtMostEveryIntervalInAStorm() {
    // Users entering every few milliseconds each change the log and the grid; the views
    // refresh at most once per interval, and the last refresh shows every user in order.
    ConsoleHarness h;
    h.Start();
    int logResets = 0;
    connect(h.form->LogMemo->model(), &QAbstractItemModel::modelReset, [&] { ++logResets; });
    constexpr int Users = 30;  // within the per-address connection limit
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    const auto started = std::chrono::steady_clock::now();
    std::thread storm([&] {
        std::vector<TestClient> clients;
        for (int i = 0; i < Users; ++i) {
            clients.push_back(h.User("u" + std::to_string(i)));
            std::this_thread::sleep_for(15ms);
        }
        entered = true;
        while (!release) std::this_thread::sleep_for(5ms);  // online until checked
    });
    const auto finish = qScopeGuard([&] {
        release = true;
        storm.join();
    });
    QVERIFY(h.Eventually([&] { return entered && h.GridRows() == Users; }, 20s));
    QTest::qWait(2 * TForm1::MinRefreshIntervalMs);  // the refresh that was still due
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    QStringList expected;
    for (int i = 0; i < Users; ++i) expected << QString("u%1").arg(i);
    QCOMPARE(h.GridNicks(), expected);
    QVERIFY2(logResets <= elapsedMs / TForm1::MinRefreshIntervalMs + 2,
             qPrintable(QString("%1 log refreshes in %2 ms").arg(logResets).arg(elapsedMs)));
    QVERIFY(logResets >= 2);
}

void ViewsTest::joiningUserIsCountedDuringTheJoin() {
    // While the third user joins, the row already shows three members; a repeated join
    // of a member is answered by the lobby and leaves the count alone.
    ConsoleHarness h;
    h.Start();
    std::mutex seenMutex;
    std::vector<std::string> seen;
    auto original = h.form->Server().OnUserJoin;
    // Set before any client connects, so no connection thread reads it meanwhile.
    h.form->Server().OnUserJoin = [&](TNetPeerThread& t, TLobby& l, const std::string& nick,
                                      bool& allow, std::string& msg) {
        original(t, l, nick, allow, msg);
        std::lock_guard lock(seenMutex);
        seen.push_back(h.form->LobbyRowTexts().front());
    };
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#a", "A", false, false) >= 0);
    TestClient u1 = h.User("u1"), u2 = h.User("u2"), u3 = h.User("u3");
    QVERIFY(h.Join(u1, "u1", "#a"));
    QVERIFY(h.Join(u2, "u2", "#a"));
    QVERIFY(h.Join(u3, "u3", "#a"));
    {
        std::lock_guard lock(seenMutex);
        QCOMPARE(seen.back(), std::string("#a\t[3]\tA"));
    }
    QVERIFY(u3.SendLine("JOIN #a"));
    QVERIFY(u3.WaitFor("***Error: You are already in \"#a\""));
    QCOMPARE(h.form->LobbyRowTexts().front(), std::string("#a\t[3]\tA"));
    QCOMPARE(h.LobbyRows().front(), QStringLiteral("#a\t[3]\tA"));
}

void ViewsTest::reportLobbyFilesMessages() {
    // The report lobby sends its note on joining, files a message in report.txt, logs it,
    // answers the sender and relays nothing.
    ConsoleHarness h;
    h.Start();
    TestClient alice = h.User("alice");
    TestClient bob = h.User("bob");
    QVERIFY(h.Join(bob, "bob", "#Report_Problems"));
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("***Messages in here will be posted to Hostmaster"));
    QCOMPARE(alice.ReadLine().value_or("x"), std::string(""));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("Please note:"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("This messages will not be sent to other users."));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("Report problems, question, bugs...."));
    bob.ReadAvailable();
    QVERIFY(alice.SendLine("PRIVMSG #Report_Problems :the map crashes"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("***Message loggged by server: the map crashes"));
    QVERIFY(bob.Silent(300ms));
    const std::string report = ReadFile(h.Path("report.txt"));
    QVERIFY(report.ends_with(" alice: the map crashes\r\n"));
    QCOMPARE(std::count(report.begin(), report.end(), '\n'), 1L);
    QVERIFY(h.LogHas("Report by alice: the map crashes"));
    // Elsewhere, chat is relayed as usual.
    QVERIFY(alice.SendLine("PRIVMSG bob :hi"));
    QVERIFY(bob.WaitFor(":alice!user@127.0.0.1 PRIVMSG bob :hi"));
}

void ViewsTest::userCreatedLobbyVanishesWhenEmptied() {
    // A user's lobby is listed at creation and removed when its last member leaves; an
    // operator lobby stays with a count of 0.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#op", "Op", false, false) >= 0);
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "fun"));
    QVERIFY(h.Eventually([&] { return h.LogHas("Lobby #fun created by alice"); }));
    QTRY_VERIFY(h.LobbyRows().contains(QStringLiteral("#fun\t[1]\tLobby created by alice")));
    QTRY_VERIFY(!h.Window().SaveLobbysEnabled());
    QVERIFY(h.Join(alice, "alice", "#op"));
    QVERIFY(alice.SendLine("PART #fun"));
    QVERIFY(h.Eventually([&] { return h.LogHas("User created lobby #fun removed"); }));
    QCOMPARE(h.Store().IndexOfLobbyName("#fun"), -1);
    QVERIFY(alice.SendLine("PART #op"));
    QVERIFY(h.Eventually([&] { return h.form->LobbyRowTexts().front() == "#op\t[0]\tOp"; }));
    QTRY_COMPARE(
        h.LobbyRows(),
        (QStringList{"#op\t[0]\tOp",
                     "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"}));
}

void ViewsTest::allowCreateOffListsNothing() {
    // With Allow users to create lobbys off, a user's new lobby is refused without a row or
    // a log line; the operator can still add one.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    h.Window().AllowCreate1Execute();
    QVERIFY(h.Eventually([&] { return !h.form->AllowCreateOn() && !h.Window().AllowCreateOn(); }));
    TestClient alice = h.User("alice");
    const std::size_t logSize = h.form->LogLines().size();
    QVERIFY(alice.SendLine("JOIN fun"));
    QVERIFY(alice.WaitFor("***Error: No such lobby: fun"));
    QCOMPARE(h.form->LobbyRowTexts().size(), 1u);
    QCOMPARE(h.form->LogLines().size(), logSize);
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#op", "Op", false, false) >= 0);
    QCOMPARE(h.form->LobbyRowTexts().size(), 2u);
    QTRY_COMPARE(h.LobbyRows().size(), 2);
}

void ViewsTest::usersCommandListsRegistry() {
    // USERS lists every registry entry, one without a nick as "- ".
    ConsoleHarness h;
    h.Start();
    TestClient alice = h.User("alice");
    TestClient anon(h.Port());
    QVERIFY(anon.SendLine("USER anon h s :r"));
    QVERIFY(h.Eventually([&] { return h.Store().UserCount() == 2; }));
    QVERIFY(alice.SendLine("USERS"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("Users online [2]:"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("- alice"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("- "));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("End of userlist"));
    QVERIFY(alice.Silent());
}

void ViewsTest::reportThatCannotBeFiledIsAnswered() {
    // A report lobby message that cannot be filed is logged, answered with the server
    // error and relayed to nobody.
    ConsoleHarness h;
    h.Start();
    std::filesystem::remove(h.Path("report.txt"));
    QVERIFY(std::filesystem::create_directory(h.Path("report.txt")));
    TestClient alice = h.User("alice"), bob = h.User("bob");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    alice.ReadAvailable();
    bob.ReadAvailable();
    QVERIFY(alice.SendLine("PRIVMSG #Report_Problems :lost"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("***Server error: Could not post message!"));
    QVERIFY(h.LogHas("Report by alice: lost"));
    QVERIFY(bob.Silent());
}

void ViewsTest::unlistedLobbiesAndUsersLogErrors() {
    // A join to a lobby the console never listed logs the error-on-join line and lists
    // nothing; the quit of a connection the grid does not show logs the error-on-quit line.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    TForm1& f = *h.form;
    // A lobby the core adds without the console: set before any connection reads it.
    auto consoleAdd = f.Server().OnAddLobby;
    f.Server().OnAddLobby = [](TLobbySender, TLobby&, bool& allow) { allow = true; };
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#hidden", "H", false, false) >= 0);
    f.Server().OnAddLobby = consoleAdd;
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "#hidden"));
    QVERIFY(h.Eventually([&] {
        return h.LogHas("Error on Join: Lobby \"#hidden\" not present: User alice@127.0.0.1");
    }));
    QCOMPARE(h.LobbyRows().size(), 1);

    TestClient anon(h.Port());  // USER only: no nick, so no grid row while alice is in
    QVERIFY(anon.SendLine("USER anon h s :r") && anon.SendLine("QUIT"));
    QVERIFY(anon.WaitClosed());
    QVERIFY(h.Eventually([&] { return h.LogHas("Error on quit: User @127.0.0.1 not present"); }));
    QCOMPARE(h.GridNicks(), QStringList{"alice"});
}

void ViewsTest::reportsFromAFastSenderWaitForASlowDisk() {
    // A reporter sends 200 reports of 1 KB at once while each write to disk takes 5 ms:
    // its thread waits for the disk, so the writer's queue stays within its bound plus one
    // report, and every report is filed and answered.
    ConsoleHarness h;
    constexpr std::size_t Bound = 8192;
    std::atomic<std::size_t> mostQueued{0};
    h.disk.MaxQueuedBytes = Bound;
    h.disk.Run = [&](const std::function<void()>& job, std::size_t queued) {
        if (queued > mostQueued) mostQueued = queued;
        std::this_thread::sleep_for(5ms);
        job();
    };
    h.Start();
    // The burst is far past a player's flood allowance: this is about the disk's pace.
    h.form->Server().FloodRate = 0;
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    alice.ReadAvailable();
    constexpr int Reports = 200;
    std::string burst;
    for (int i = 0; i < Reports; ++i)
        burst += "PRIVMSG #Report_Problems :" + std::to_string(1000 + i) + std::string(1000, 'r') +
                 "\r\n";
    std::atomic<bool> sent{false};
    std::thread sender([&] { sent = alice.Send(burst); });
    int answered = 0;
    while (answered < Reports && alice.WaitForPrefix("***Message loggged by server: ", 10s))
        ++answered;
    sender.join();
    QVERIFY(sent);
    QCOMPARE(answered, Reports);
    h.form->FlushDisk();
    const std::string report = ReadFile(h.Path("report.txt"));
    QCOMPARE(std::count(report.begin(), report.end(), '\n'), long(Reports));
    QVERIFY2(mostQueued <= Bound + 2100, std::to_string(mostQueued).c_str());
}

QUARN_CONSOLE_TEST(ViewsTest);
#include "ViewsTest.moc"
