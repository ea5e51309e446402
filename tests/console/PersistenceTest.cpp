// The settings file, the log, stopping the server, the close query and the console's side of the
// remote administration (console/Persistence.cpp), against the real chat server through the console
// test harness: loopback clients, the window's own controls and answered dialogs.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <thread>

#include <QScopeGuard>

#include "support/ConsoleHarness.h"
#include "support/WaitUntil.h"

class PersistenceTest : public QObject {
    Q_OBJECT

  private slots:
    void saveAndReloadKeepsOperatorLobbiesOnly();
    void keyInBothSectionsLoadsOnePublicLobby();
    void optionsAreSavedOnToggle_data() { BothWindows(); }
    void optionsAreSavedOnToggle();
    void floodLimitsAreAskedForAndSaved_data() { BothWindows(); }
    void floodLimitsAreAskedForAndSaved();
    void refusedSaveKeepsOldFileAndState_data() { BothWindows(); }
    void refusedSaveKeepsOldFileAndState();
    void saveIntoMissingFolderFailsVisibly();
    void logLine201DropsOldestWithoutAutoSave_data() { BothWindows(); }
    void logLine201DropsOldestWithoutAutoSave();
    void logLine201WritesFileWithAutoSave();
    void closeWithUsersAndNoLeavesServerRunning();
    void closeAsksToSaveOnlyWhenChanged();
    void remoteAndOperatorStopStopOnce();
    void operatorMessageIsPostedFromAnyThread();
    void remoteCommandsSeeTheConsolesViews();
    void remoteShutdownStopsAndTellsTheOperator();
    void savesFromTwoThreadsKeepEveryChange();
    void saveLogWritesTheListAndEmptiesIt();
    void closeWithoutSavingWhenAnsweredNo();
    void unreadableSettingsFileGivesTheDefaults();
};

void PersistenceTest::saveAndReloadKeepsOperatorLobbiesOnly() {
    // Save writes public, private and report lobbies but no user-created one; a restart
    // loads them back, with the report lobby's description from start-up winning.
    ConsoleHarness h;
    h.Start();
    TLobbyList& store = h.Store();
    QVERIFY(store.AddLobby(TLobbySender::Of(h.form.get()), "#pub", "Public one", false, false) >=
            0);
    QVERIFY(store.AddLobby(TLobbySender::Of(h.form.get()), "#priv", "Secret", false, true) >= 0);
    QVERIFY(h.form->SaveLobbysEnabled());
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "mine"));  // user-created #mine
    QVERIFY(!h.form->SaveLobbysEnabled());    // the last change was a user's lobby
    h.form->SaveLobbyList();
    QVERIFY(!store.Modified);
    QVERIFY(h.LogHas("Lobbylist saved"));
    const std::string ini = ReadFile(h.Path("kelbox.ini"));
    QCOMPARE(ini,
             std::string("[Channels]\r\n#Report_Problems=Messages in here will be posted to "
                         "Hostmaster\r\n#pub=Public one\r\n[PrivateChannels]\r\n#priv=Secret\r\n"));
    alice.Close();
    h.form.reset();

    WriteFile(h.Path("kelbox.ini"),
              "[Channels]\r\n#Report_Problems=Old text\r\n#pub=Public one\r\n"
              "[PrivateChannels]\r\n#priv=Secret\r\n");
    h.Start();
    QCOMPARE(h.form->LobbyRowTexts(),
             (std::vector<std::string>{
                 "#priv (private)\t[0]\tSecret", "#pub\t[0]\tPublic one",
                 "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"}));
    QVERIFY(!h.Store().Modified);
    QVERIFY(!h.form->SaveLobbysEnabled());
}

void PersistenceTest::keyInBothSectionsLoadsOnePublicLobby() {
    // A key in both sections loads one public lobby; an empty value loads none; options
    // are read as numbers, and a flood limit out of range gives its default.
    ConsoleHarness h;
    WriteFile(
        h.Path("kelbox.ini"),
        "[Channels]\n#both=first\n#empty=\n#my lobby=blank\n"
        "[PrivateChannels]\n#BOTH=second\n#p=hidden\n"
        "[Options]\nAutoSave=0x1\nAllowCreate=0\nRouteChat=1\nFloodRate=0x0\nFloodBurst=-3\n");
    h.Start();
    QCOMPARE(h.form->LobbyRowTexts(),
             (std::vector<std::string>{
                 "#both\t[0]\tfirst", "#my_lobby\t[0]\tblank", "#p (private)\t[0]\thidden",
                 "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"}));
    QVERIFY(h.form->AutoSaveOn());
    QVERIFY(!h.form->AllowCreateOn());
    QVERIFY(!h.Store().AllowCreate);
    QVERIFY(h.Store().RouteChat);
    QCOMPARE(h.form->Server().FloodRate.load(), 0);
    QCOMPARE(h.form->Server().FloodBurst.load(), TNetIRCServer::DefaultFloodBurst);
    h.form->FlushViews();
    QVERIFY(h.form->AutoSave1->isChecked());
    QVERIFY(!h.form->AllowCreate1->isChecked());
    QVERIFY(h.form->RouteChat1->isChecked());
}

void PersistenceTest::optionsAreSavedOnToggle() {
    // Each option toggle turns the option over and writes every option key, keeping other
    // sections; the menus of the server's window and of every attached one show it.
    ConsoleHarness h;
    WriteFile(h.Path("kelbox.ini"), "[Channels]\r\n#a=b\r\n");
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    if (remote) QVERIFY(h.AttachAnother());
    TForm1& f = h.Window();
    auto saved = [&](const std::string& options) {
        return h.Eventually([&] {
            return ReadFile(h.Path("kelbox.ini")) ==
                   "[Channels]\r\n#a=b\r\n[Options]\r\n" + options;
        });
    };
    f.AutoSave1Execute();
    QVERIFY(
        saved("AutoSave=1\r\nAllowCreate=1\r\nRouteChat=0\r\nFloodRate=2\r\nFloodBurst=50\r\n"));
    QVERIFY(h.form->AutoSaveOn());
    f.AllowCreate1Execute();
    QVERIFY(
        saved("AutoSave=1\r\nAllowCreate=0\r\nRouteChat=0\r\nFloodRate=2\r\nFloodBurst=50\r\n"));
    QVERIFY(!h.Store().AllowCreate);
    f.RouteChat1Execute();
    QVERIFY(
        saved("AutoSave=1\r\nAllowCreate=0\r\nRouteChat=1\r\nFloodRate=2\r\nFloodBurst=50\r\n"));
    QVERIFY(h.Store().RouteChat);
    for (TForm1* window : {h.form.get(), h.console.get(), h.other.get()}) {
        if (!window) continue;
        QVERIFY(h.Eventually([&] {
            window->FlushViews();
            return window->RouteChat1->isChecked();
        }));
        QVERIFY(!window->AllowCreate1->isChecked());
        QVERIFY(window->AutoSave1->isChecked());
    }
}

void PersistenceTest::floodLimitsAreAskedForAndSaved() {
    // The Options menu's flood limits ask for the rate, then the burst; numbers in range
    // reach the server and the file, anything else changes nothing and says why, and an
    // abandoned prompt changes nothing silently. Every window's dialog then shows them, and
    // a restart reads them back.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    if (remote) QVERIFY(h.AttachAnother());
    TForm1& f = h.Window();
    QVERIFY(f.OptionsMenu->actions().contains(f.FloodLimits1));
    QStringList answers{"10", " 0 "};
    h.prompt = [&](const QString&) -> std::optional<QString> { return answers.takeFirst(); };
    f.FloodLimits1Execute();
    QCOMPARE(h.titles.size(), 2);
    QVERIFY(h.titles[0].contains("(now 2)"));
    QVERIFY(h.titles[1].contains("(now 50)"));
    QVERIFY(h.Eventually([&] { return h.form->Server().FloodRate.load() == 10; }));
    QCOMPARE(h.form->Server().FloodBurst.load(), 0);
    QVERIFY(ReadFile(h.Path("kelbox.ini")).find("FloodRate=10\r\nFloodBurst=0\r\n") !=
            std::string::npos);
    for (const QString bad : {"x", "-1", "1000001", "+5", ""}) {
        answers = {"7", bad};
        f.FloodLimits1Execute();
        QCOMPARE(h.form->Server().FloodRate.load(), 10);
        QCOMPARE(h.messages.size(), 1);
        h.messages.clear();
    }
    h.prompt = [](const QString&) { return std::optional<QString>(); };
    f.FloodLimits1Execute();
    QVERIFY(h.messages.isEmpty());
    for (TForm1* window : {h.form.get(), h.console.get(), h.other.get()}) {
        if (!window) continue;
        QVERIFY(h.Eventually([&] { return window->ShownOptions().FloodBurst == 0; }));
        h.titles.clear();
        window->FloodLimits1Execute();
        QCOMPARE(h.titles.size(), 1);
        QVERIFY(h.titles[0].contains("(now 10)"));
    }
    QCOMPARE(h.form->Server().FloodRate.load(), 10);
    h.Detach();
    h.form.reset();
    h.Start();
    QCOMPARE(h.form->Server().FloodRate.load(), 10);
    QCOMPARE(h.form->Server().FloodBurst.load(), 0);
}

void PersistenceTest::refusedSaveKeepsOldFileAndState() {
    // A save the system refuses leaves the old file, shows the error and keeps the marks.
    ConsoleHarness h;
    const std::string old = "[Channels]\r\n#old=kept\r\n";
    WriteFile(h.Path("kelbox.ini"), old);
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#new", std::string(200, 'x'), false,
                               false) >= 0);
    TForm1& f = h.Window();
    QVERIFY(h.Eventually([&] {
        f.FlushViews();
        return f.SaveLobbys->isEnabled();
    }));

    // An unwritable folder refuses the new file; root may write anyway, so it gets a
    // file size limit below the new content instead.
    const bool root = geteuid() == 0;
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (root) {
        rlimit small = saved;
        small.rlim_cur = 64;
        setrlimit(RLIMIT_FSIZE, &small);
    } else {
        chmod(h.Dir().c_str(), 0500);
    }
    f.SaveLobbysExecute();
    // A server elsewhere answers later: the refusal must come while the folder refuses.
    const bool answered = h.Eventually([&] { return !h.messages.isEmpty(); });
    if (root)
        setrlimit(RLIMIT_FSIZE, &saved);
    else
        chmod(h.Dir().c_str(), 0700);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(answered);
    QCOMPARE(h.messages.size(), 1);
    QVERIFY(!h.messages[0].isEmpty());
    QCOMPARE(ReadFile(h.Path("kelbox.ini")), old);
    QVERIFY(h.Store().Modified);
    QVERIFY(h.form->SaveLobbysEnabled());
    QVERIFY(h.Eventually([&] {
        f.FlushViews();
        return f.SaveLobbys->isEnabled() && f.SaveLobbysEnabled();
    }));
    QVERIFY(!h.LogHas("Lobbylist saved"));
}

void PersistenceTest::saveIntoMissingFolderFailsVisibly() {
    // With a folder that does not exist, Save Lobby List shows the error and Save Log
    // reports in the status bar and keeps the log.
    ConsoleHarness h;
    h.Start(h.Dir() + "missing/");
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#x", "y", false, false) >= 0);
    h.form->SaveLobbysExecute();
    QCOMPARE(h.messages.size(), 1);
    QVERIFY(h.Store().Modified);
    QVERIFY(h.form->SaveLobbysEnabled());
    const std::size_t lines = h.form->LogLines().size();
    QVERIFY(lines > 0);
    h.form->SaveLogExecute();
    QCOMPARE(h.form->LogLines().size(), lines);
    h.form->FlushViews();
    QCOMPARE(h.form->StatusPanel->text(), QStringLiteral("Error: Unable to save logfile!"));
    QVERIFY(!std::filesystem::exists(h.Dir() + "missing"));
}

void PersistenceTest::logLine201DropsOldestWithoutAutoSave() {
    // Without auto-save, the 201st line drops the oldest and writes no file.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    QVERIFY(h.AttachIf(remote));
    h.form->ClearLogExecute();
    for (int i = 1; i <= 201; ++i) h.form->AddLog("line " + std::to_string(i));
    h.form->FlushDisk();
    const std::vector<std::string> log = h.form->LogLines();
    QCOMPARE(log.size(), 200u);
    QVERIFY(log.front().ends_with(": line 201"));
    QVERIFY(log.back().ends_with(": line 2"));
    QVERIFY(LogFiles(h.Dir()).empty());
    TForm1& f = h.Window();
    QVERIFY(h.Eventually([&] {
        f.FlushViews();
        return f.StatusPanel->text() == QStringLiteral("line 201");
    }));
    QCOMPARE(f.LogMemo->count(), 200);
    QVERIFY(f.LogMemo->item(0)->text().endsWith(QStringLiteral(": line 201")));
    QVERIFY(f.LogMemo->item(199)->text().endsWith(QStringLiteral(": line 2")));
}

void PersistenceTest::logLine201WritesFileWithAutoSave() {
    // With auto-save, the 201st line writes a log file of 201 lines and empties the list.
    ConsoleHarness h;
    h.Start();
    h.form->AutoSave1Execute();
    h.form->ClearLogExecute();
    for (int i = 1; i <= 201; ++i) h.form->AddLog("line " + std::to_string(i));
    QVERIFY(h.form->LogLines().empty());
    h.form->FlushDisk();
    const std::vector<std::string> files = LogFiles(h.Dir());
    QCOMPARE(files.size(), 1u);
    const std::string content = ReadFile(files[0]);
    QVERIFY(content.ends_with(": line 1\r\n"));
    QCOMPARE(std::count(content.begin(), content.end(), '\n'), 201L);
    QCOMPARE(content.find(": line 201\r\n"), content.find("\r\n") - 10);
    const std::string name = std::filesystem::path(files[0]).stem().string();
    QVERIFY(name.find_first_of(".:/") == std::string::npos);
    h.form->FlushViews();
    QCOMPARE(h.form->LogMemo->count(), 0);
}

void PersistenceTest::closeWithUsersAndNoLeavesServerRunning() {
    // Closing with users asks the stop question; No keeps the server and the window, Yes
    // stops the server with the note to every user.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    f.show();
    TestClient alice = h.User("alice");
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#new", "N", false, false) >= 0);
    h.answer = QMessageBox::No;
    QVERIFY(!f.close());
    QCOMPARE(h.questions, QStringList{"There are users connected! Are you shure?"});
    QVERIFY(f.Server().Active());
    QVERIFY(f.isVisible());

    h.questions.clear();
    h.answer = QMessageBox::Yes;
    f.StopServerExecute();
    QVERIFY(alice.WaitFor("***Server stopped....."));
    QVERIFY(alice.WaitClosed());
    QVERIFY(!f.Server().Active());
    f.FlushViews();
    QVERIFY(f.StartServer->isEnabled());
    QVERIFY(!f.StopServer->isEnabled());
    f.StartServerExecute();
    QVERIFY(f.Server().Active());
    QVERIFY(f.ServerPort() > 0);
}

void PersistenceTest::closeAsksToSaveOnlyWhenChanged() {
    // An unchanged lobby list closes without a question; a changed one asks, and Yes saves.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.form->close());
    QVERIFY(h.questions.isEmpty());
    QVERIFY(!h.form->Server().Active());
    h.form.reset();

    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#kept", "K", false, false) >= 0);
    h.answer = QMessageBox::Cancel;
    QVERIFY(!h.form->close());
    QCOMPARE(h.questions, QStringList{"Lobbylist has changed! Do you want to save?"});
    h.answer = QMessageBox::Yes;
    QVERIFY(h.form->close());
    QVERIFY(ReadFile(h.Path("kelbox.ini")).find("#kept=K\r\n") != std::string::npos);
}

void PersistenceTest::remoteAndOperatorStopStopOnce() {
    // A remote stop and the operator's stop at the same time stop the server once.
    ConsoleHarness h;
    h.Start();
    TestClient alice = h.User("alice");
    bool remoteResult = false;
    std::thread remote([&] { remoteResult = h.form->StopServerRemote(); });
    QVERIFY(alice.WaitFor("***Server stopped....."));
    // The remote stop is now in its pause before deactivating.
    QVERIFY(!h.form->StopServerNow());
    remote.join();
    QVERIFY(remoteResult);
    QVERIFY(!h.form->Server().Active());
    QVERIFY(!h.form->StopServerRemote());  // already stopped
    QVERIFY(h.form->StartServerEnabled());
    QVERIFY(!h.form->StopServerEnabled());
}

void PersistenceTest::operatorMessageIsPostedFromAnyThread() {
    // A message for the operator from a connection thread is shown later by the UI thread,
    // without the caller waiting for it.
    ConsoleHarness h;
    h.Start();
    std::thread caller(
        [&] { h.form->ShowOperatorMessage("The sever was stopped by remote. Message: bye"); });
    caller.join();
    QVERIFY(h.notes.isEmpty());
    QTRY_COMPARE(h.notes, QStringList{"The sever was stopped by remote. Message: bye"});
}

void PersistenceTest::remoteCommandsSeeTheConsolesViews() {
    // The private-lobby command lists and logs its lobby; the codes read the console's
    // lobby rows and log, and their lobby changes leave nothing to save on closing.
    ConsoleHarness h;
    h.Start();
    TestClient alice = h.User("alice");
    QVERIFY(alice.SendLine("private my room"));
    QVERIFY(alice.WaitFor(":localhost 366 alice #my_room :End of /NAMES list."));
    QVERIFY(h.LogHas("Lobby #my_room created by alice"));
    QVERIFY(alice.SendLine("7710!3384"));
    QVERIFY(alice.WaitFor("Lobby list:"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("#my_room (private)\t[1]\tPrivate lobby created by alice"));
    QCOMPARE(alice.ReadLine().value_or(""),
             std::string("#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"));
    QCOMPARE(alice.ReadLine().value_or(""), std::string("End of lobby list"));

    QVERIFY(alice.SendLine("3619!8824 Games"));
    QVERIFY(alice.WaitFor("Lobby #Games added"));
    QVERIFY(!h.Store().Modified);
    QVERIFY(!h.form->SaveLobbysEnabled());

    h.form->AddLog("marker");
    QVERIFY(alice.SendLine("5207!7463"));
    QVERIFY(alice.WaitFor("***Log begin"));
    const std::optional<std::string> newest = alice.ReadLine();
    QVERIFY(newest && newest->ends_with(": marker"));
    QVERIFY(alice.WaitFor("***Log end"));

    QVERIFY(alice.SendLine("6932!2518"));
    QVERIFY(alice.WaitFor("Lobbylist saved"));
    QVERIFY(ReadFile(h.Path("kelbox.ini")).find("#Games=#Games\r\n") != std::string::npos);
    QVERIFY(ReadFile(h.Path("kelbox.ini")).find("my_room") == std::string::npos);

    alice.SendLine("QUIT");
    QVERIFY(alice.WaitClosed());
    QVERIFY(h.Eventually([&] { return h.Store().UserCount() == 0; }));
    QVERIFY(h.form->close());
    QVERIFY(h.questions.isEmpty());
}

void PersistenceTest::remoteShutdownStopsAndTellsTheOperator() {
    // The remote shutdown counts down, stops the server as the operator's stop does and
    // leaves the operator a note, without a question.
    ConsoleHarness h;
    h.Start();
    TestClient alice = h.User("alice");
    TestClient bob = h.User("bob");
    QVERIFY(alice.SendLine("8841!0295 maintenance"));
    QVERIFY(bob.WaitFor("***Server will shout down in 10secounds !"));
    QVERIFY(bob.WaitFor("***Server will shout down in 1secounds !", 12s));
    QVERIFY(bob.WaitFor("***Server stopped.....", 3s));
    QVERIFY(bob.WaitClosed());
    QTRY_COMPARE_WITH_TIMEOUT(
        h.notes, QStringList{"The sever was stopped by remote. Message: maintenance"}, 10000);
    QVERIFY(!h.form->Server().Active());
    QVERIFY(h.form->StartServerEnabled());
    QVERIFY(!h.form->StopServerEnabled());
    QVERIFY(h.questions.isEmpty());
    QVERIFY(h.LogHas("Remote shoutdown server in progress"));
}

void PersistenceTest::savesFromTwoThreadsKeepEveryChange() {
    // Remote saves of the lobby list one after another while the operator toggles an
    // option: no save that read kelbox.ini before a toggle writes the old option back.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#kept", "K", false, false) >= 0);
    TestClient admin = h.User("admin");
    std::atomic<int> saves{0};
    std::atomic<bool> stop{false};
    std::thread saver([&] {
        while (!stop && admin.SendLine("6932!2518") && admin.WaitFor("Lobbylist saved")) ++saves;
    });
    const auto finish = qScopeGuard([&] {
        stop = true;
        saver.join();
    });
    for (int round = 0; round < 20; ++round) {
        h.form->AutoSave1Execute();
        // Two more saves: one that may have been under way during the toggle, one after.
        const int before = saves;
        QVERIFY(WaitUntil([&] { return saves >= before + 2; }));
        const std::string ini = ReadFile(h.Path("kelbox.ini"));
        const std::string option = h.form->AutoSaveOn() ? "AutoSave=1\r\n" : "AutoSave=0\r\n";
        QVERIFY2(ini.find(option) != std::string::npos, ini.c_str());
        QVERIFY(ini.find("#kept=K\r\n") != std::string::npos);
    }
}

void PersistenceTest::saveLogWritesTheListAndEmptiesIt() {
    // Save Log writes every line, newest first, to a file named after now, and empties
    // the list.
    ConsoleHarness h;
    h.Start();
    h.form->ClearLogExecute();
    h.form->AddLog("one");
    h.form->AddLog("two");
    const std::vector<std::string> lines = h.form->LogLines();
    h.form->SaveLogExecute();
    QVERIFY(h.form->LogLines().empty());
    const std::vector<std::string> files = LogFiles(h.Dir());
    QCOMPARE(files.size(), 1u);
    QCOMPARE(ReadFile(files[0]), lines[0] + "\r\n" + lines[1] + "\r\n");
    h.form->FlushViews();
    QCOMPARE(h.form->LogMemo->count(), 0);
    QCOMPARE(h.form->StatusPanel->text(), QStringLiteral("two"));
}

void PersistenceTest::closeWithoutSavingWhenAnsweredNo() {
    // A changed lobby list asks on closing; No closes without writing kelbox.ini.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#unsaved", "U", false, false) >= 0);
    h.answer = QMessageBox::No;
    QVERIFY(h.form->close());
    QCOMPARE(h.questions, QStringList{"Lobbylist has changed! Do you want to save?"});
    QVERIFY(!h.form->Server().Active());
    QVERIFY(!std::filesystem::exists(h.Path("kelbox.ini")));
}

void PersistenceTest::unreadableSettingsFileGivesTheDefaults() {
    // A kelbox.ini that exists but cannot be read (here a folder of that name): both
    // reads log their error, the lobby list and options are the defaults, and the server
    // runs.
    ConsoleHarness h;
    QVERIFY(std::filesystem::create_directory(h.Path("kelbox.ini")));
    h.Start();
    QVERIFY(h.LogHas("Error reading lobby list: Is a directory"));
    QVERIFY(h.LogHas("Error reading options: Is a directory"));
    QCOMPARE(h.form->LobbyRowTexts().size(), 1u);
    QVERIFY(h.form->AllowCreateOn());
    QVERIFY(!h.form->AutoSaveOn());
    QVERIFY(!h.form->SaveLobbysEnabled());
    QVERIFY(h.form->Server().Active());
}

QUARN_CONSOLE_TEST(PersistenceTest);
#include "PersistenceTest.moc"
