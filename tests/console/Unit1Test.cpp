// The main window's start-up, layout and actions (console/Unit1.cpp), against the real chat server
// through the console test harness: loopback clients, the window's own controls and answered
// dialogs.
#include <atomic>
#include <thread>

#include "support/ConsoleHarness.h"

class Unit1Test : public QObject {
    Q_OBJECT

  private slots:
    void firstStartWithoutSettingsFile();
    void windowLayoutAndActions_data() { BothWindows(); }
    void windowLayoutAndActions();
    void startFailureShowsErrorAndKeepsActions();
    void welcomeDateLineIsTheConsolesTimestamp_data() { BothWindows(); }
    void welcomeDateLineIsTheConsolesTimestamp();
    void shortcutsFireInTheShownWindow_data() { BothWindows(); }
    void shortcutsFireInTheShownWindow();
    void closingWaitsForLateConnectionThreads();
};

void Unit1Test::firstStartWithoutSettingsFile() {
    // A first start: only the report lobby, default options, an empty report.txt, running.
    ConsoleHarness h;
    h.Start();
    QCOMPARE(h.form->LobbyRowTexts(),
             std::vector<std::string>{
                 "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"});
    QVERIFY(h.form->AllowCreateOn());
    QVERIFY(!h.form->AutoSaveOn());
    QVERIFY(h.Store().AllowCreate);
    QVERIFY(!h.Store().RouteChat);
    QVERIFY(std::filesystem::exists(h.Path("report.txt")));
    QCOMPARE(std::filesystem::file_size(h.Path("report.txt")), 0u);
    QVERIFY(h.form->Server().Active());
    QVERIFY(h.Port() > 0);
    // Every local IPv6 address too, where the machine has IPv6.
    if (TestClient().Prepare("::1")) {
        QCOMPARE(h.form->Server().Bindings().Count(), 2);
        TestClient six(h.form->Server().Bindings()[1].Port(), "::1");
        QVERIFY(six.IsOpen());
        six.SendLine("LIST");
        QVERIFY(six.WaitFor(":localhost 323  :End of /LIST"));
    }
    QVERIFY(!h.form->StartServer->isEnabled());
    QVERIFY(h.form->StopServer->isEnabled());
    QVERIFY(!h.form->SaveLobbys->isEnabled());
    QVERIFY(!h.Store().Modified);
    QVERIFY(h.LogHas("Lobby #Report_Problems created"));
    QVERIFY(!std::filesystem::exists(h.Path("kelbox.ini")));
    const std::vector<std::string> motd = h.form->Server().MOTD;
    QCOMPARE(motd.size(), 7u);
    QCOMPARE(motd[0], std::string("Welcome to Marrik's IRC chat server for Quarn"));
    QCOMPARE(motd[3], std::string("Have fun!"));
    QVERIFY(motd[4].empty() && motd[6].empty());
    QVERIFY(motd[5].starts_with("Please report bugs to: hostmaster@"));
    QVERIFY(motd[5].ends_with(", or use the Report_Problems lobby..."));
}

void Unit1Test::windowLayoutAndActions() {
    // The window's caption, grid, hints, menus and shortcuts are those the operator knows;
    // a remote window's caption names the account and the server instead.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    TForm1& f = h.Window();
    QCOMPARE(f.windowTitle(),
             remote ? QStringLiteral("Quarn console: op@127.0.0.1:%1").arg(h.AdminPort())
                    : QStringLiteral("IRC Chat Server for Quarn"));
    QCOMPARE(f.AllUserList->model()->columnCount(), 3);
    QCOMPARE(f.AllUserList->model()->headerData(0, Qt::Horizontal), QStringLiteral("Nick"));
    QCOMPARE(f.AllUserList->model()->headerData(1, Qt::Horizontal), QStringLiteral("IP"));
    QCOMPARE(f.AllUserList->model()->headerData(2, Qt::Horizontal), QStringLiteral("Time"));
    QCOMPARE(f.AllUserList->columnWidth(0), 79);
    QCOMPARE(f.AllUserList->columnWidth(1), 77);
    QCOMPARE(f.AllUserList->columnWidth(2), 108);
    QCOMPARE(f.AllUserList->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    QCOMPARE(h.GridRows(), 1);
    QCOMPARE(f.LobbyList->TabPercentages(), QStringLiteral("70, 80"));
    QCOMPARE(f.AllUserList->toolTip(), QStringLiteral("Users in chat"));
    QCOMPARE(f.LobbyList->toolTip(), QStringLiteral("Lobbys"));
    QCOMPARE(f.UserList->toolTip(), QStringLiteral("Users in lobby (click on lobby at left)"));
    QCOMPARE(f.LogMemo->toolTip(), QStringLiteral("Log"));
    QCOMPARE(f.SaveLobbys->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    QCOMPARE(f.SystemMessage->shortcut(), QKeySequence(Qt::Key_F2));
    QCOMPARE(f.About1->shortcut(), QKeySequence(Qt::Key_F1));
    QCOMPARE(f.Exit1->shortcut(), QKeySequence(Qt::ALT | Qt::Key_F4));
    QStringList server;
    for (QAction* a : f.ServerMenu->actions())
        server << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(server, (QStringList{"Start Server", "Stop Server", "-", "System Message",
                                  "Save Lobby List", "-", "E&xit"}));
    QCOMPARE(f.OptionsMenu->actions(),
             (QList<QAction*>{f.AllowCreate1, f.AutoSave1, f.RouteChat1, f.FloodLimits1}));
    QVERIFY(f.AllowCreate1->isChecked());
    QVERIFY(!f.AutoSave1->isChecked());
    QVERIFY(f.RouteChat1->isCheckable());
    QVERIFY(!f.RouteChat1->isChecked());
    QCOMPARE(f.RouteChat1->text(), QStringLiteral("Route chat by target"));
    QCOMPARE(f.PopupLog->actions(), (QList<QAction*>{f.SaveLog, f.ClearLog}));
    QCOMPARE(f.IsPrivate->text(), QStringLiteral("Private Lobby"));
    QCOMPARE(f.BtnAddLobby->text(), QStringLiteral("Add Lobby"));
    QCOMPARE(f.Join1->title(), QStringLiteral("Join ->"));
    QCOMPARE(f.PopupLobby->actions().last(), f.SystemMessage);
}

void Unit1Test::startFailureShowsErrorAndKeepsActions() {
    // A port that is taken: the error is shown, the window stays and Start can be retried.
    ConsoleHarness first;
    first.Start();
    ConsoleHarness second;
    TForm1Config config;
    config.ProgramDir = second.Dir();
    config.Port = first.Port();
    config.Dialogs = second.Dialogs();
    second.form = std::make_unique<TForm1>(std::move(config));
    QCOMPARE(second.messages.size(), 1);
    QVERIFY(!second.form->Server().Active());
    QVERIFY(second.form->StartServerEnabled());
    QVERIFY(second.form->StopServerEnabled());
    first.form.reset();  // frees the port
    second.form->StartServerExecute();
    QVERIFY(second.form->Server().Active());
    QVERIFY(!second.form->StartServerEnabled());
}

void Unit1Test::welcomeDateLineIsTheConsolesTimestamp() {
    // The first line of the welcome carries the timestamp text that the grid shows for the
    // same entry: the console gives the core its formatter.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    std::string dateLine = "none", gridTime;
    for (int attempt = 0; attempt < 3 && dateLine != gridTime; ++attempt) {  // a second may turn
        const std::string nick = "u" + std::to_string(attempt);
        TestClient user(h.Port());
        QVERIFY(user.SendLine("USER " + nick + " h s :r") && user.SendLine("NICK " + nick));
        const std::string prefix = ":localhost 372 " + nick + " : - ";
        dateLine.clear();
        while (auto line = user.ReadLine())
            if (line->starts_with(prefix)) {
                dateLine = line->substr(prefix.size());
                break;
            }
        QVERIFY(!dateLine.empty());
        QTRY_COMPARE(h.GridNicks().last(), QString::fromStdString(nick));
        gridTime = h.GridCell(h.GridRows() - 1, 2).toStdString();
    }
    QCOMPARE(dateLine, gridTime);
}

void Unit1Test::shortcutsFireInTheShownWindow() {
    // In the shown window Ctrl+S saves only while Save Lobby List is enabled, F2 asks for
    // a system message and F1 opens the about box.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    TForm1& f = h.Window();
    f.show();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);
    QTest::qWait(50);  // a save sent to a server elsewhere would be written by now
    QVERIFY(!std::filesystem::exists(h.Path("kelbox.ini")));
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#x", "X", false, false) >= 0);
    QVERIFY(h.Eventually([&] {
        f.FlushViews();
        return f.SaveLobbys->isEnabled();
    }));
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(h.Eventually([&] { return h.LogHas("Lobbylist saved"); }));
    QVERIFY(ReadFile(h.Path("kelbox.ini")).find("#x=X\r\n") != std::string::npos);
    QTest::keyClick(&f, Qt::Key_F2);
    QCOMPARE(h.titles, QStringList{"System message"});
    QCOMPARE(h.abouts, 0);
    QTest::keyClick(&f, Qt::Key_F1);
    QCOMPARE(h.abouts, 1);
}

void Unit1Test::closingWaitsForLateConnectionThreads() {
    // A connection thread held up longer than the deactivation waits (here by another
    // thread holding the lobby lock) posts its report after the window began to close: the
    // window waits for it, files the report, and only then destroys the server.
    ConsoleHarness h;
    h.Start();
    h.form->Server().TerminateWaitTime = 250;
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    TLobbyLock& lobbyLock = h.Store().Lock();
    std::atomic<bool> held{false};
    std::thread holder([&] {
        std::lock_guard lock(lobbyLock);
        held = true;
        std::this_thread::sleep_for(1s);
    });
    while (!held) std::this_thread::yield();
    QVERIFY(alice.SendLine("PRIVMSG #Report_Problems :late report"));
    std::this_thread::sleep_for(100ms);  // alice's thread now waits for the lock
    h.form.reset();
    holder.join();
    const std::string report = ReadFile(h.Path("report.txt"));
    QVERIFY2(report.ends_with(" alice: late report\r\n"), report.c_str());
}

QUARN_CONSOLE_TEST(Unit1Test);
#include "Unit1Test.moc"
