// The operator console against the real chat server: each test starts a TForm1 on a
// fresh folder with the server on a port the system chooses, talks to it through
// loopback clients and the window's own controls, and answers its dialogs through the
// injectable dialog functions.
#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "console/Timestamp.h"
#include "console/Unit1.h"
#include "support/TestClient.h"
#include "widgets/Tablist.h"

using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> LogFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".log") files.push_back(entry.path().string());
    return files;
}

// One console on a temporary folder, with recorded dialogs.
class Harness {
  public:
    QTemporaryDir dir;
    QStringList messages;   // ShowMessage
    QStringList questions;  // Ask
    QStringList titles;     // PromptText
    QStringList notes;      // NotifyOperator
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<std::optional<QString>(const QString&)> prompt = [](const QString&) {
        return std::optional<QString>();
    };
    std::unique_ptr<TForm1> form;

    std::string Dir() const { return dir.path().toStdString() + "/"; }
    std::string Path(const std::string& name) const { return Dir() + name; }

    void Start(std::string programDir = {}) {
        TForm1Config config;
        config.ProgramDir = programDir.empty() ? Dir() : programDir;
        config.Port = 0;
        config.Dialogs.Ask = [this](const QString& q, QMessageBox::StandardButtons) {
            questions << q;
            return answer;
        };
        config.Dialogs.PromptText = [this](const QString& title) {
            titles << title;
            return prompt(title);
        };
        config.Dialogs.ShowMessage = [this](const QString& text) { messages << text; };
        config.Dialogs.NotifyOperator = [this](const QString& text) { notes << text; };
        config.Dialogs.ShowAbout = [] {};
        form = std::make_unique<TForm1>(std::move(config));
    }

    int Port() const { return form->ServerPort(); }

    TestClient User(const std::string& nick) {
        TestClient client(Port());
        if (!client.Register(nick)) qWarning("registration of %s failed", nick.c_str());
        return client;
    }

    TLobbyList& Store() { return form->Server().LobbyStore(); }

    bool LogHas(const std::string& text) const {
        for (const std::string& line : form->LogLines())
            if (line.size() >= text.size() + 2 &&
                line.compare(line.size() - text.size() - 2, std::string::npos, ": " + text) == 0)
                return true;
        return false;
    }

    QStringList LobbyRows() {
        form->FlushViews();
        return form->LobbyList->RowTexts();
    }

    QStringList GridNicks() {
        form->FlushViews();
        QStringList nicks;
        for (int r = 0; r < form->AllUserList->rowCount(); ++r) {
            QTableWidgetItem* item = form->AllUserList->item(r, 0);
            nicks << (item ? item->text() : QString());
        }
        return nicks;
    }

    // Selects the lobby row whose text starts with name followed by a TAB or a blank.
    bool SelectLobby(const QString& name) {
        form->FlushViews();
        for (int i = 0; i < form->LobbyList->count(); ++i) {
            const QString text = form->LobbyList->RowText(i);
            if (text.startsWith(name + QLatin1Char('\t')) ||
                text.startsWith(name + QLatin1Char(' '))) {
                form->LobbyList->setCurrentRow(i);
                form->LobbyListClick();
                return true;
            }
        }
        return false;
    }

    // JOIN as a client types it; the core puts "#" in front of a name that lacks it.
    bool Join(TestClient& client, const std::string& nick, const std::string& lobby) {
        const std::string stored = lobby.starts_with('#') ? lobby : "#" + lobby;
        return client.SendLine("JOIN " + lobby) &&
               client.WaitFor(":localhost 366 " + nick + " " + stored + " :End of /NAMES list.");
    }

    // Waits for a condition that connection threads bring about.
    template <class Predicate>
    bool Eventually(Predicate predicate, std::chrono::milliseconds limit = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
};

QPoint CellCentre(QTableWidget* grid, int row, int column) {
    return grid->visualRect(grid->model()->index(row, column)).center();
}

}  // namespace

class ConsoleTests : public QObject {
    Q_OBJECT

  private slots:
    // --- Start-up -----------------------------------------------------------------------
    void firstStartWithoutSettingsFile();
    void windowLayoutAndActions();
    void welcomeSendsUsersOnlineAndMotd();
    void startFailureShowsErrorAndKeepsActions();
    // --- Settings file ----------------------------------------------------------------
    void saveAndReloadKeepsOperatorLobbiesOnly();
    void keyInBothSectionsLoadsOnePublicLobby();
    void optionsAreSavedOnToggle();
    void refusedSaveKeepsOldFileAndState();
    void saveIntoMissingFolderFailsVisibly();
    // --- Log --------------------------------------------------------------------------
    void logLine201DropsOldestWithoutAutoSave();
    void logLine201WritesFileWithAutoSave();
    void timestampFileNameHasNoForbiddenCharacters();
    void timestampOfNowFollowsTheClock();
    // --- Server event views -----------------------------------------------------------
    void gridRowsFollowUsersEnteringAndQuitting();
    void viewsRefreshAtMostEveryIntervalInAStorm();
    void joiningUserIsCountedDuringTheJoin();
    void reportLobbyFilesMessages();
    void userCreatedLobbyVanishesWhenEmptied();
    void allowCreateOffListsNothing();
    void usersCommandListsRegistry();
    // --- Operator commands ------------------------------------------------------------
    void addLobbyPutsHashAndRefusesDuplicates();
    void addLobbyButtonFollowsTypedName();
    void selectingLobbyFillsMembersAndFields();
    void gridPopupOpensOnlyOnUserRows();
    void joinFromSubmenuAndLobbysRefusal();
    void kickAsksFirst();
    void sendMessageReachesOnlyTheUserStillThere();
    void partOneUserFromLobby();
    void removeLobbyWithMembers();
    void lobbyPopupStatesAndPartAll();
    void lobbyAndSystemMessagesReachTheRightUsers();
    // --- Stop and close ---------------------------------------------------------------
    void closeWithUsersAndNoLeavesServerRunning();
    void closeAsksToSaveOnlyWhenChanged();
    void remoteAndOperatorStopStopOnce();
    void operatorMessageIsPostedFromAnyThread();
    // --- Remote administration through the console ------------------------------------
    void remoteCommandsSeeTheConsolesViews();
    void remoteShutdownStopsAndTellsTheOperator();
};

// ------------------------------------------------------------------------------------------

void ConsoleTests::firstStartWithoutSettingsFile() {
    // A first start: only the report lobby, default options, an empty report.txt, running.
    Harness h;
    h.Start();
    QCOMPARE(h.form->LobbyRowTexts(),
             std::vector<std::string>{
                 "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"});
    QVERIFY(h.form->AllowCreateOn());
    QVERIFY(!h.form->AutoSaveOn());
    QVERIFY(h.Store().AllowCreate);
    QVERIFY(std::filesystem::exists(h.Path("report.txt")));
    QCOMPARE(std::filesystem::file_size(h.Path("report.txt")), 0u);
    QVERIFY(h.form->Server().Active());
    QVERIFY(h.Port() > 0);
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

void ConsoleTests::windowLayoutAndActions() {
    // The window's caption, grid, hints, menus and shortcuts are those the operator knows.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    QCOMPARE(f.windowTitle(), QStringLiteral("IRC Chat Server for Quarn"));
    QCOMPARE(f.AllUserList->columnCount(), 3);
    QCOMPARE(f.AllUserList->horizontalHeaderItem(0)->text(), QStringLiteral("Nick"));
    QCOMPARE(f.AllUserList->horizontalHeaderItem(1)->text(), QStringLiteral("IP"));
    QCOMPARE(f.AllUserList->horizontalHeaderItem(2)->text(), QStringLiteral("Time"));
    QCOMPARE(f.AllUserList->columnWidth(0), 79);
    QCOMPARE(f.AllUserList->columnWidth(1), 77);
    QCOMPARE(f.AllUserList->columnWidth(2), 108);
    QCOMPARE(f.AllUserList->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    QCOMPARE(f.AllUserList->rowCount(), 1);
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
    QCOMPARE(f.OptionsMenu->actions(), (QList<QAction*>{f.AllowCreate1, f.AutoSave1}));
    QVERIFY(f.AllowCreate1->isChecked());
    QVERIFY(!f.AutoSave1->isChecked());
    QCOMPARE(f.PopupLog->actions(), (QList<QAction*>{f.SaveLog, f.ClearLog}));
    QCOMPARE(f.IsPrivate->text(), QStringLiteral("Private Lobby"));
    QCOMPARE(f.BtnAddLobby->text(), QStringLiteral("Add Lobby"));
    QCOMPARE(f.Join1->title(), QStringLiteral("Join ->"));
    QCOMPARE(f.PopupLobby->actions().last(), f.SystemMessage);
}

void ConsoleTests::welcomeSendsUsersOnlineAndMotd() {
    // A registering user is told who is online, then gets the lobby list and the welcome.
    Harness h;
    h.Start();
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
    QTRY_COMPARE(h.form->StatusPanel->text(), QStringLiteral("User alice@127.0.0.1 entered chat"));
}

void ConsoleTests::startFailureShowsErrorAndKeepsActions() {
    // A port that is taken: the error is shown, the window stays and Start can be retried.
    Harness first;
    first.Start();
    Harness second;
    TForm1Config config;
    config.ProgramDir = second.Dir();
    config.Port = first.Port();
    config.Dialogs.ShowMessage = [&](const QString& text) { second.messages << text; };
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

// ------------------------------------------------------------------------------------------

void ConsoleTests::saveAndReloadKeepsOperatorLobbiesOnly() {
    // Save writes public, private and report lobbies but no user-created one; a restart
    // loads them back, with the report lobby's description from start-up winning.
    Harness h;
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

void ConsoleTests::keyInBothSectionsLoadsOnePublicLobby() {
    // A key in both sections loads one public lobby; an empty value loads none; options
    // are read as numbers.
    Harness h;
    WriteFile(h.Path("kelbox.ini"),
              "[Channels]\n#both=first\n#empty=\n#my lobby=blank\n"
              "[PrivateChannels]\n#BOTH=second\n#p=hidden\n"
              "[Options]\nAutoSave=0x1\nAllowCreate=0\n");
    h.Start();
    QCOMPARE(h.form->LobbyRowTexts(),
             (std::vector<std::string>{
                 "#both\t[0]\tfirst", "#my_lobby\t[0]\tblank", "#p (private)\t[0]\thidden",
                 "#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster"}));
    QVERIFY(h.form->AutoSaveOn());
    QVERIFY(!h.form->AllowCreateOn());
    QVERIFY(!h.Store().AllowCreate);
    h.form->FlushViews();
    QVERIFY(h.form->AutoSave1->isChecked());
    QVERIFY(!h.form->AllowCreate1->isChecked());
}

void ConsoleTests::optionsAreSavedOnToggle() {
    // Each option toggle turns the option over and writes both keys, keeping other sections.
    Harness h;
    WriteFile(h.Path("kelbox.ini"), "[Channels]\r\n#a=b\r\n");
    h.Start();
    h.form->AutoSave1Execute();
    QVERIFY(h.form->AutoSaveOn());
    QCOMPARE(ReadFile(h.Path("kelbox.ini")),
             std::string("[Channels]\r\n#a=b\r\n[Options]\r\nAutoSave=1\r\nAllowCreate=1\r\n"));
    h.form->AllowCreate1Execute();
    QVERIFY(!h.Store().AllowCreate);
    QCOMPARE(ReadFile(h.Path("kelbox.ini")),
             std::string("[Channels]\r\n#a=b\r\n[Options]\r\nAutoSave=1\r\nAllowCreate=0\r\n"));
    h.form->FlushViews();
    QVERIFY(!h.form->AllowCreate1->isChecked());
    QVERIFY(h.form->AutoSave1->isChecked());
}

void ConsoleTests::refusedSaveKeepsOldFileAndState() {
    // A save the system refuses leaves the old file, shows the error and keeps the marks.
    Harness h;
    const std::string old = "[Channels]\r\n#old=kept\r\n";
    WriteFile(h.Path("kelbox.ini"), old);
    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#new", std::string(200, 'x'), false,
                               false) >= 0);
    h.form->FlushViews();
    QVERIFY(h.form->SaveLobbys->isEnabled());

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
    h.form->SaveLobbysExecute();
    if (root)
        setrlimit(RLIMIT_FSIZE, &saved);
    else
        chmod(h.Dir().c_str(), 0700);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(h.messages.size(), 1);
    QVERIFY(!h.messages[0].isEmpty());
    QCOMPARE(ReadFile(h.Path("kelbox.ini")), old);
    QVERIFY(h.Store().Modified);
    QVERIFY(h.form->SaveLobbysEnabled());
    h.form->FlushViews();
    QVERIFY(h.form->SaveLobbys->isEnabled());
    QVERIFY(!h.LogHas("Lobbylist saved"));
}

void ConsoleTests::saveIntoMissingFolderFailsVisibly() {
    // With a folder that does not exist, Save Lobby List shows the error and Save Log
    // reports in the status bar and keeps the log.
    Harness h;
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

// ------------------------------------------------------------------------------------------

void ConsoleTests::logLine201DropsOldestWithoutAutoSave() {
    // Without auto-save, the 201st line drops the oldest and writes no file.
    Harness h;
    h.Start();
    h.form->ClearLogExecute();
    for (int i = 1; i <= 201; ++i) h.form->AddLog("line " + std::to_string(i));
    const std::vector<std::string> log = h.form->LogLines();
    QCOMPARE(log.size(), 200u);
    QVERIFY(log.front().ends_with(": line 201"));
    QVERIFY(log.back().ends_with(": line 2"));
    QVERIFY(LogFiles(h.Dir()).empty());
    h.form->FlushViews();
    QCOMPARE(h.form->LogMemo->count(), 200);
    QVERIFY(h.form->LogMemo->item(0)->text().endsWith(QStringLiteral(": line 201")));
    QCOMPARE(h.form->StatusPanel->text(), QStringLiteral("line 201"));
}

void ConsoleTests::logLine201WritesFileWithAutoSave() {
    // With auto-save, the 201st line writes a log file of 201 lines and empties the list.
    Harness h;
    h.Start();
    h.form->AutoSave1Execute();
    h.form->ClearLogExecute();
    for (int i = 1; i <= 201; ++i) h.form->AddLog("line " + std::to_string(i));
    QVERIFY(h.form->LogLines().empty());
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

void ConsoleTests::timestampFileNameHasNoForbiddenCharacters() {
    // Dots, colons, slashes and the other characters file names cannot hold become "_".
    QCOMPARE(TimestampFileName("08.12.2026 04:22:01"), std::string("08_12_2026 04_22_01"));
    QCOMPARE(TimestampFileName("12/8/26 4:22:01 AM"), std::string("12_8_26 4_22_01 AM"));
    QCOMPARE(TimestampFileName("a\\b*c?d\"e<f>g|h\ti"), std::string("a_b_c_d_e_f_g_h_i"));
    const std::string now = TimestampText();
    QVERIFY(!now.empty());
    QVERIFY(now.find(' ') != std::string::npos);
}

void ConsoleTests::timestampOfNowFollowsTheClock() {
    // The text of now is the text of the current second, and a second later it is another.
    auto matchesClock = [] {
        for (int attempt = 0; attempt < 3; ++attempt) {  // a second may turn in between
            const std::string direct = TimestampText(QDateTime::currentDateTime());
            if (TimestampText() == direct) return true;
        }
        return false;
    };
    QVERIFY(matchesClock());
    const std::string before = TimestampText();
    QTest::qWait(1100);
    QVERIFY(matchesClock());
    QVERIFY(TimestampText() != before);
}

// ------------------------------------------------------------------------------------------

void ConsoleTests::gridRowsFollowUsersEnteringAndQuitting() {
    // The first user fills the empty row, the second appends one, a quit deletes its row
    // and the last quit empties the remaining row.
    Harness h;
    h.Start();
    QCOMPARE(h.GridNicks(), QStringList{""});
    TestClient alice = h.User("alice");
    QTRY_COMPARE(h.GridNicks(), QStringList{"alice"});
    QCOMPARE(h.form->AllUserList->item(0, 1)->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(!h.form->AllUserList->item(0, 2)->text().isEmpty());
    TestClient bob = h.User("bob");
    QTRY_COMPARE(h.GridNicks(), (QStringList{"alice", "bob"}));
    QVERIFY(alice.SendLine("QUIT"));
    QVERIFY(alice.WaitClosed());
    QTRY_COMPARE(h.GridNicks(), QStringList{"bob"});
    QVERIFY(h.LogHas("User alice@127.0.0.1 quit"));
    bob.Close();  // a lost connection quits the same way
    QTRY_COMPARE(h.GridNicks(), QStringList{""});
    QCOMPARE(h.form->AllUserList->rowCount(), 1);
    QVERIFY(h.Eventually([&] { return h.LogHas("User bob@127.0.0.1 quit"); }));
}

void ConsoleTests::viewsRefreshAtMostEveryIntervalInAStorm() {
    // Users entering every few milliseconds each change the log and the grid; the views
    // refresh at most once per interval, and the last refresh shows every user in order.
    Harness h;
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
    QVERIFY(h.Eventually([&] { return entered && h.form->AllUserList->rowCount() == Users; }, 20s));
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

void ConsoleTests::joiningUserIsCountedDuringTheJoin() {
    // While the third user joins, the row already shows three members; a repeated join
    // of a member is answered by the lobby and leaves the count alone.
    Harness h;
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

void ConsoleTests::reportLobbyFilesMessages() {
    // The report lobby sends its note on joining, files a message in report.txt, logs it,
    // answers the sender and relays nothing.
    Harness h;
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

void ConsoleTests::userCreatedLobbyVanishesWhenEmptied() {
    // A user's lobby is listed at creation and removed when its last member leaves; an
    // operator lobby stays with a count of 0.
    Harness h;
    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#op", "Op", false, false) >= 0);
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "fun"));
    QVERIFY(h.LogHas("Lobby #fun created by alice"));
    QTRY_VERIFY(h.LobbyRows().contains(QStringLiteral("#fun\t[1]\tLobby created by alice")));
    QVERIFY(!h.form->SaveLobbysEnabled());
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

void ConsoleTests::allowCreateOffListsNothing() {
    // With Allow users to create lobbys off, a user's new lobby is refused without a row or
    // a log line; the operator can still add one.
    Harness h;
    h.Start();
    h.form->AllowCreate1Execute();
    QVERIFY(!h.form->AllowCreateOn());
    TestClient alice = h.User("alice");
    const std::size_t logSize = h.form->LogLines().size();
    QVERIFY(alice.SendLine("JOIN fun"));
    QVERIFY(alice.WaitFor("***Error: No such lobby: fun"));
    QCOMPARE(h.form->LobbyRowTexts().size(), 1u);
    QCOMPARE(h.form->LogLines().size(), logSize);
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#op", "Op", false, false) >= 0);
    QCOMPARE(h.form->LobbyRowTexts().size(), 2u);
}

void ConsoleTests::usersCommandListsRegistry() {
    // USERS lists every registry entry, one without a nick as "- ".
    Harness h;
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

// ------------------------------------------------------------------------------------------

void ConsoleTests::addLobbyPutsHashAndRefusesDuplicates() {
    // Add Lobby puts "#" in front, asks for both fields and refuses a lobby that exists.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    f.edLobbyName->setText("fun");
    f.BtnAddLobbyClick();
    QCOMPARE(h.messages, QStringList{"Please give em a name and description!"});
    f.edDescr->setText("Fun and games");
    f.IsPrivate->setChecked(true);
    QTest::mouseClick(f.BtnAddLobby, Qt::LeftButton);
    QCOMPARE(f.edLobbyName->text(), QStringLiteral("#fun"));
    QCOMPARE(h.messages.size(), 1);
    QVERIFY(h.LobbyRows().contains(QStringLiteral("#fun (private)\t[0]\tFun and games")));
    QVERIFY(h.LogHas("Lobby #fun created"));
    QVERIFY(f.SaveLobbysEnabled());
    QVERIFY(h.Store().Modified);
    f.BtnAddLobbyClick();
    QCOMPARE(h.messages.last(), QStringLiteral("Could not add lobby! Already exists?"));
    QCOMPARE(h.form->LobbyRowTexts().size(), 2u);
}

void ConsoleTests::addLobbyButtonFollowsTypedName() {
    // Add Lobby is enabled exactly while the typed name matches no lobby exactly.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    QTest::keyClicks(f.edLobbyName, "#Report_Problems");
    QVERIFY(!f.BtnAddLobby->isEnabled());
    f.edLobbyName->setText("#report_problems");
    QVERIFY(f.BtnAddLobby->isEnabled());
    f.edLobbyName->setText("#Report_Problem");
    QVERIFY(f.BtnAddLobby->isEnabled());
}

void ConsoleTests::selectingLobbyFillsMembersAndFields() {
    // Selecting a lobby lists its members sorted and fills the entry panel.
    Harness h;
    h.Start();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#hide", "Hidden", false, true) >=
            0);
    TestClient zed = h.User("zed"), amy = h.User("Amy"), bob = h.User("bob");
    QVERIFY(h.Join(zed, "zed", "#hide"));
    QVERIFY(h.Join(amy, "Amy", "#hide"));
    QVERIFY(h.Join(bob, "bob", "#hide"));
    QVERIFY(h.SelectLobby("#hide"));
    TForm1& f = *h.form;
    QStringList members;
    for (int i = 0; i < f.UserList->count(); ++i) members << f.UserList->item(i)->text();
    QCOMPARE(members, (QStringList{"Amy", "bob", "zed"}));
    QCOMPARE(f.edLobbyName->text(), QStringLiteral("#hide"));
    QCOMPARE(f.edDescr->text(), QStringLiteral("Hidden"));
    QVERIFY(f.IsPrivate->isChecked());
    QVERIFY(!f.BtnAddLobby->isEnabled());
}

void ConsoleTests::gridPopupOpensOnlyOnUserRows() {
    // The grid's menu opens for a plain right click on a user's row only, names the user,
    // and its Join submenu lists the lobbies in the view's order.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#b&b", "B", false, false) >= 0);
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#a", "A", false, false) >= 0);
    QWidget* viewport = f.AllUserList->viewport();

    // The empty row the grid keeps when nobody is in.
    QTest::mouseClick(viewport, Qt::RightButton, {}, CellCentre(f.AllUserList, 0, 0));
    QVERIFY(!f.PopupAll->isVisible());

    TestClient alice = h.User("alice");
    QTRY_COMPARE(h.GridNicks(), QStringList{"alice"});
    QVERIFY(!f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, Qt::ShiftModifier,
                                    CellCentre(f.AllUserList, 0, 0)));
    QVERIFY(!f.AllUserListMouseDown(Qt::LeftButton, Qt::LeftButton, {},
                                    CellCentre(f.AllUserList, 0, 0)));
    QVERIFY(!f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {}, QPoint(5, 2000)));
    QVERIFY(!f.PopupAll->isVisible());

    QTest::mouseClick(viewport, Qt::RightButton, {}, CellCentre(f.AllUserList, 0, 1));
    QTRY_VERIFY(f.PopupAll->isVisible());
    QCOMPARE(f.Kick1->text(), QStringLiteral("Kick \"alice\""));
    QCOMPARE(f.Kick1->data().toString(), QStringLiteral("alice"));
    QCOMPARE(f.SendMessage1->text(), QStringLiteral("Send message to \"alice\""));
    QStringList captions;
    for (QAction* entry : f.Join1->actions()) {
        captions << entry->text();
        QCOMPARE(entry->data().toString(), QStringLiteral("alice"));
    }
    // "&" shows literally: doubled in the caption.
    QCOMPARE(captions, (QStringList{"#a", "#b&&b", "#Report_Problems"}));
    f.PopupAll->hide();
}

void ConsoleTests::joinFromSubmenuAndLobbysRefusal() {
    // Choosing a lobby in the Join submenu joins the user with the server's note; a second
    // time the lobby itself refuses.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#b&b", "B", false, false) >= 0);
    TestClient alice = h.User("alice");
    QTRY_COMPARE(h.GridNicks(), QStringList{"alice"});
    QVERIFY(f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(f.AllUserList, 0, 0)));
    QAction* entry = f.Join1->actions().front();
    entry->trigger();
    QVERIFY(alice.WaitFor(":alice!user@127.0.0.1 JOIN :#b&b"));
    QVERIFY(alice.WaitFor("***Join by Server"));
    QTRY_VERIFY(h.LobbyRows().contains(QStringLiteral("#b&b\t[1]\tB")));
    entry->trigger();
    QVERIFY(alice.WaitFor("***Error: You are already in \"#b&b\""));
    f.PopupAll->hide();
}

void ConsoleTests::kickAsksFirst() {
    // Kick asks "Sure?"; No keeps the user, Yes sends the note and ends the connection.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    TestClient alice = h.User("alice");
    QTRY_COMPARE(h.GridNicks(), QStringList{"alice"});
    QVERIFY(f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(f.AllUserList, 0, 0)));
    f.PopupAll->hide();
    h.answer = QMessageBox::No;
    f.Kick1->trigger();
    QCOMPARE(h.questions, QStringList{"Sure?"});
    QVERIFY(alice.Silent());
    h.answer = QMessageBox::Yes;
    f.Kick1->trigger();
    QVERIFY(alice.WaitFor("***Kicked by server !"));
    QVERIFY(alice.WaitClosed());
    QTRY_COMPARE(h.GridNicks(), QStringList{""});
}

void ConsoleTests::sendMessageReachesOnlyTheUserStillThere() {
    // Send Message writes the text to the user; a user who leaves while the dialog is
    // open receives nothing and nothing stale is touched.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    TestClient alice = h.User("alice");
    TestClient bob = h.User("bob");
    QTRY_COMPARE(h.GridNicks(), (QStringList{"alice", "bob"}));
    QVERIFY(f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(f.AllUserList, 0, 0)));
    f.PopupAll->hide();
    h.prompt = [](const QString&) { return std::optional<QString>("hello there"); };
    f.SendMessage1->trigger();
    QCOMPARE(h.titles, QStringList{"Send Message to alice"});
    QVERIFY(alice.WaitFor("***Private message from server: hello there"));

    h.prompt = [](const QString&) { return std::optional<QString>(); };  // Abort
    f.SendMessage1->trigger();
    QVERIFY(alice.Silent());

    h.prompt = [&](const QString&) {
        alice.SendLine("QUIT");
        alice.WaitClosed();
        h.Eventually([&] { return h.Store().UserCount() == 1; });
        return std::optional<QString>("too late");
    };
    f.SendMessage1->trigger();
    QVERIFY(bob.WaitFor(":alice!user@127.0.0.1 QUIT "));
    QVERIFY(bob.Silent());
    QCOMPARE(h.messages.size(), 0);
}

void ConsoleTests::partOneUserFromLobby() {
    // Part needs a selected member, is captioned with the nick, parts that user with the
    // server's note and takes the row out of the member list.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    alice.ReadAvailable();
    QVERIFY(h.SelectLobby("#Report_Problems"));
    f.PopupUserPopup();
    QCOMPARE(f.Part1->text(), QStringLiteral("Part"));
    QVERIFY(!f.Part1->isEnabled());
    QCOMPARE(f.UserList->count(), 1);
    f.UserList->setCurrentRow(0);
    f.PopupUserPopup();
    QCOMPARE(f.Part1->text(), QStringLiteral("Part \"alice\""));
    QVERIFY(f.Part1->isEnabled());
    f.Part1->trigger();
    QVERIFY(alice.WaitFor(":alice!user@127.0.0.1 PART #Report_Problems"));
    QVERIFY(alice.WaitFor("***Part by server"));
    QCOMPARE(f.UserList->count(), 0);
    QTRY_VERIFY(h.LobbyRows().contains(
        QStringLiteral("#Report_Problems\t[0]\tMessages in here will be posted to Hostmaster")));
}

void ConsoleTests::removeLobbyWithMembers() {
    // Remove asks "Sure?", then the row goes, the removal is logged and members are parted.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#x", "X", false, false) >= 0);
    TestClient alice = h.User("alice"), bob = h.User("bob");
    QVERIFY(h.Join(alice, "alice", "#x"));
    QVERIFY(h.Join(bob, "bob", "#x"));
    QVERIFY(h.SelectLobby("#x"));
    f.PopupLobbyPopup();
    QCOMPARE(f.Remove1->text(), QStringLiteral("Remove \"#x\""));
    h.answer = QMessageBox::No;
    f.Remove1->trigger();
    QCOMPARE(h.questions, QStringList{"Sure?"});
    QVERIFY(h.Store().IndexOfLobbyName("#x") >= 0);
    h.answer = QMessageBox::Yes;
    f.Remove1->trigger();
    QVERIFY(alice.WaitFor("***Lobby removed"));
    QVERIFY(bob.WaitFor("***Lobby removed"));
    QCOMPARE(h.Store().IndexOfLobbyName("#x"), -1);
    QVERIFY(h.LogHas("Lobby #x removed"));
    QTRY_COMPARE(h.LobbyRows().size(), 1);
    QVERIFY(h.form->SaveLobbysEnabled());
}

void ConsoleTests::lobbyPopupStatesAndPartAll() {
    // The lobby menu's entries follow the selection and the member count; Part all users
    // parts every member with the server's note.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    f.PopupLobbyPopup();
    QCOMPARE(f.Remove1->text(), QStringLiteral("Remove"));
    QCOMPARE(f.LobbyMessage1->text(), QStringLiteral("Lobby Message"));
    QVERIFY(!f.Remove1->isEnabled() && !f.LobbyMessage1->isEnabled() &&
            !f.Partallusers1->isEnabled());
    QCOMPARE(f.Partallusers1->text(), QStringLiteral("Part all users"));
    QVERIFY(f.SystemMessage->isEnabled());

    QVERIFY(h.SelectLobby("#Report_Problems"));
    f.PopupLobbyPopup();
    QVERIFY(f.Remove1->isEnabled() && f.LobbyMessage1->isEnabled());
    QCOMPARE(f.LobbyMessage1->text(), QStringLiteral("Lobby Message to \"#Report_Problems\""));
    QVERIFY(!f.Partallusers1->isEnabled());

    TestClient alice = h.User("alice"), bob = h.User("bob");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    QVERIFY(h.Join(bob, "bob", "#Report_Problems"));
    f.PopupLobbyPopup();
    QVERIFY(f.Partallusers1->isEnabled());
    QVERIFY(h.SelectLobby("#Report_Problems"));
    QCOMPARE(f.UserList->count(), 2);
    f.Partallusers1->trigger();
    QVERIFY(alice.WaitFor("***Part by Server"));
    QVERIFY(bob.WaitFor("***Part by Server"));
    QCOMPARE(f.UserList->count(), 0);
    QVERIFY(h.Eventually(
        [&] { return h.form->LobbyRowTexts().front().find("[0]") != std::string::npos; }));
}

void ConsoleTests::lobbyAndSystemMessagesReachTheRightUsers() {
    // A lobby message carries the row text and reaches the lobby's members only; a system
    // message reaches every registered user and no unregistered connection.
    Harness h;
    h.Start();
    TForm1& f = *h.form;
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#x", "Desc", false, false) >= 0);
    TestClient alice = h.User("alice"), bob = h.User("bob");
    TestClient anon(h.Port());
    QVERIFY(anon.SendLine("USER anon h s :r"));
    QVERIFY(h.Join(alice, "alice", "#x"));
    bob.ReadAvailable();
    QVERIFY(h.SelectLobby("#x"));
    h.prompt = [](const QString&) { return std::optional<QString>("hi lobby"); };
    f.LobbyMessage1->trigger();
    QCOMPARE(h.titles.last(), QStringLiteral("Lobby message to #x\t[1]\tDesc"));
    QVERIFY(alice.WaitFor("***Lobby Message from Server to #x\t[1]\tDesc: hi lobby"));
    QVERIFY(bob.Silent());

    h.prompt = [](const QString&) { return std::optional<QString>(""); };  // empty: nothing
    f.SystemMessage->trigger();
    QCOMPARE(h.titles.last(), QStringLiteral("System message"));
    QVERIFY(bob.Silent());

    h.prompt = [](const QString&) { return std::optional<QString>("restart soon"); };
    f.SystemMessage->trigger();
    QVERIFY(alice.WaitFor("***System message from server: restart soon"));
    QVERIFY(bob.WaitFor("***System message from server: restart soon"));
    QVERIFY(anon.Silent());

    // A lobby removed while the dialog is open gets nothing and is not touched.
    h.prompt = [&](const QString&) {
        h.Store().RemoveLobbyByName(TLobbySender::Of(&f), "#x");
        return std::optional<QString>("gone");
    };
    f.LobbyMessage1->trigger();
    QVERIFY(alice.WaitFor("***Lobby removed"));
    QVERIFY(alice.Silent());
}

// ------------------------------------------------------------------------------------------

void ConsoleTests::closeWithUsersAndNoLeavesServerRunning() {
    // Closing with users asks the stop question; No keeps the server and the window, Yes
    // stops the server with the note to every user.
    Harness h;
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

void ConsoleTests::closeAsksToSaveOnlyWhenChanged() {
    // An unchanged lobby list closes without a question; a changed one asks, and Yes saves.
    Harness h;
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

void ConsoleTests::remoteAndOperatorStopStopOnce() {
    // A remote stop and the operator's stop at the same time stop the server once.
    Harness h;
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

void ConsoleTests::operatorMessageIsPostedFromAnyThread() {
    // A message for the operator from a connection thread is shown later by the UI thread,
    // without the caller waiting for it.
    Harness h;
    h.Start();
    std::thread caller(
        [&] { h.form->ShowOperatorMessage("The sever was stopped by remote. Message: bye"); });
    caller.join();
    QVERIFY(h.notes.isEmpty());
    QTRY_COMPARE(h.notes, QStringList{"The sever was stopped by remote. Message: bye"});
}

// ------------------------------------------------------------------------------------------

void ConsoleTests::remoteCommandsSeeTheConsolesViews() {
    // The private-lobby command lists and logs its lobby; the codes read the console's
    // lobby rows and log, and their lobby changes leave nothing to save on closing.
    Harness h;
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

void ConsoleTests::remoteShutdownStopsAndTellsTheOperator() {
    // The remote shutdown counts down, stops the server as the operator's stop does and
    // leaves the operator a note, without a question.
    Harness h;
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

QTEST_MAIN(ConsoleTests)
#include "console_tests.moc"
