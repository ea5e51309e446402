// The window attached to a server elsewhere (quarn-console's): TForm1 over
// TRemoteShownServer, through the admin endpoint's TLS, against the harness's server with
// loopback players.
#include "console/ByteText.h"
#include "support/ConsoleHarness.h"

class RemoteConsoleTest : public QObject {
    Q_OBJECT

  private slots:
    void showsAPlayerWhoRegistersAndSavesTheLogHere();
    void removesALobbyOnCommand();
    void kicksANickThatIsNotUtf8();
    void survivesTheServersRestartSendingNothingTwice();
    void viewerSeesEverythingAndMayDoNothing();
};

void RemoteConsoleTest::showsAPlayerWhoRegistersAndSavesTheLogHere() {
    // A player's registration and join reach the grid, the lobby row and the member list;
    // the title names the account and server. Save Log writes the shown lines on the
    // operator's side and leaves the server's log to its other consoles.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.Attach());
    TForm1& c = *h.console;
    QVERIFY(
        c.windowTitle().contains(QStringLiteral("op@127.0.0.1:") + QString::number(h.AdminPort())));
    QVERIFY(c.CommandsBlocked().isEmpty());
    TestClient bob = h.User("Bob");
    QVERIFY(h.Join(bob, "Bob", "#Report_Problems"));
    QVERIFY(h.Eventually([&] { return h.GridNicks() == QStringList{"Bob"}; }));
    QCOMPARE(h.GridCell(0, 1), QStringLiteral("127.0.0.1"));
    h.form->FlushViews();
    QCOMPARE(h.GridCell(0, 2), h.form->AllUserList->model()->index(0, 2).data().toString());
    QVERIFY(h.Eventually([&] {
        return h.LobbyRows().contains(
            "#Report_Problems\t[1]\tMessages in here will be posted to Hostmaster");
    }));
    QVERIFY(h.SelectLobby("#Report_Problems"));
    QCOMPARE(c.UserList->count(), 1);
    QCOMPARE(c.UserList->item(0)->text(), QStringLiteral("Bob"));
    QVERIFY(h.LogHas("User Bob@127.0.0.1 entered chat"));
    QCOMPARE(c.StatusPanel->text(), h.form->StatusPanel->text());

    const int serverLines = static_cast<int>(h.form->LogLines().size());
    c.SaveLogExecute();
    const std::vector<std::string> saved = LogFiles(h.Path("console"));
    QCOMPARE(saved.size(), 1u);
    QVERIFY(ReadFile(saved[0]).find("Bob") != std::string::npos);
    QVERIFY(LogFiles(h.Dir()).empty());
    QVERIFY(static_cast<int>(h.form->LogLines().size()) >= serverLines);
    QVERIFY(h.LogHas("Log saved to " + saved[0]));
}

void RemoteConsoleTest::removesALobbyOnCommand() {
    // Remove asks the same question; the server removes the lobby and parts its member,
    // and the row goes from both windows.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.Attach());
    TForm1& c = *h.console;
    c.edLobbyName->setText("fun");
    c.edDescr->setText("Fun and games");
    c.BtnAddLobbyClick();
    QVERIFY(h.Eventually([&] { return h.Store().FindLobby("#fun") != nullptr; }));
    QVERIFY(h.Eventually([&] { return h.LobbyRows().contains("#fun\t[0]\tFun and games"); }));
    QVERIFY(h.Eventually([&] { return c.SaveLobbys->isEnabled(); }));
    TestClient ann = h.User("Ann");
    QVERIFY(h.Join(ann, "Ann", "#fun"));
    QVERIFY(h.Eventually([&] { return h.LobbyRows().contains("#fun\t[1]\tFun and games"); }));
    QVERIFY(h.SelectLobby("#fun"));
    h.answer = QMessageBox::No;
    c.Remove1Click();
    QCOMPARE(h.questions, QStringList{"Sure?"});
    h.answer = QMessageBox::Yes;
    c.Remove1Click();
    QVERIFY(h.Receives(ann, "PART #fun"));
    QVERIFY(h.Eventually([&] { return h.Store().FindLobby("#fun") == nullptr; }));
    QVERIFY(h.Eventually([&] { return h.LobbyRows().size() == 1; }));
    QVERIFY(h.messages.isEmpty());
}

void RemoteConsoleTest::kicksANickThatIsNotUtf8() {
    // A nick that is not UTF-8 travels as its bytes both ways: shown in the grid, kicked
    // from its pop-up menu.
    ConsoleHarness h;
    h.Start();
    QVERIFY(h.Attach());
    TForm1& c = *h.console;
    const std::string nick = "B\xf6rk";
    TestClient bork = h.User(nick);
    QVERIFY(h.Eventually([&] { return h.GridRows() == 1 && !h.GridCell(0, 0).isEmpty(); }));
    QCOMPARE(c.AllUserList->model()->index(0, 0).data(NickRole).toByteArray().toStdString(), nick);
    QVERIFY(c.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(c.AllUserList, 0, 0)));
    c.PopupAll->hide();
    c.Kick1->trigger();
    QCOMPARE(h.questions, QStringList{"Sure?"});
    QVERIFY(h.Receives(bork, "***Kicked by server !"));
    QVERIFY(h.Eventually([&] { return h.Store().UserCount() == 0; }));
    QVERIFY(h.Eventually([&] { return h.GridNicks() == QStringList{""}; }));
}

void RemoteConsoleTest::survivesTheServersRestartSendingNothingTwice() {
    // The server goes: the loss is logged and shown, commands are disabled, each failed
    // attempt to reconnect says why, and what the operator tries meanwhile fails once. The server
    // comes back on the same address: the window reconnects by itself, fills its views afresh, and
    // the failed command is never sent.
    ConsoleHarness h;
    h.FixAdminPort();
    h.Start();
    QVERIFY(h.Attach());
    TForm1& c = *h.console;
    h.form.reset();
    QVERIFY(h.Eventually([&] { return !c.CommandsBlocked().isEmpty(); }));
    c.FlushViews();
    QVERIFY(c.StatusPanel->text().startsWith(QStringLiteral("Connection lost")));
    QVERIFY(c.LogMemo->item(0)->text().contains(QStringLiteral("Connection lost")));
    QVERIFY(!c.Kick1->isEnabled());
    QVERIFY(!c.StopServer->isEnabled());
    std::optional<std::string> failure;
    h.remote->SystemMessage("while away", [&](const TShownResult& r) { failure = r.Error; });
    QVERIFY(h.Eventually([&] { return failure.has_value(); }));
    QVERIFY(!failure->empty());
    // Attempts go on while the server is away, each failure shown.
    QVERIFY(h.Eventually([&] {
        c.FlushViews();
        return c.StatusPanel->text().contains(QStringLiteral("cannot reach"));
    }));

    h.Start();
    TestClient cy = h.User("Cy");
    QVERIFY(h.Eventually([&] { return c.CommandsBlocked().isEmpty(); }, 15s));
    QVERIFY(h.Eventually([&] { return h.GridNicks() == QStringList{"Cy"}; }));
    QVERIFY(h.LogHas("Connected again"));
    QVERIFY(c.Kick1->isEnabled());
    h.prompt = [](const QString&) { return std::optional<QString>("back"); };
    c.SystemMessageExecute();
    QVERIFY(h.Receives(cy, "***System message from server: back"));
    QVERIFY(cy.Silent());  // "while away" never came
}

void RemoteConsoleTest::viewerSeesEverythingAndMayDoNothing() {
    // A viewer's window shows the server, every command is disabled and says why, and the
    // handlers do nothing even when reached; Save Log (this machine's file) stays.
    ConsoleHarness h;
    h.Start();
    TestClient dee = h.User("Dee");
    QVERIFY(h.Attach(TOperatorRole::Viewer));
    TForm1& c = *h.console;
    QVERIFY(c.windowTitle().endsWith(QStringLiteral("(viewer)")));
    QVERIFY(h.Eventually([&] { return h.GridNicks() == QStringList{"Dee"}; }));
    for (QAction* action : {c.StartServer, c.StopServer, c.SaveLobbys, c.ClearLog, c.AllowCreate1,
                            c.AutoSave1, c.RouteChat1, c.FloodLimits1, c.SystemMessage, c.Kick1,
                            c.SendMessage1, c.Join1->menuAction()}) {
        QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
        QVERIFY(action->toolTip().contains(QStringLiteral("viewer")));
    }
    QVERIFY(!c.BtnAddLobby->isEnabled());
    QVERIFY(c.SaveLog->isEnabled());
    QVERIFY(h.SelectLobby("#Report_Problems"));
    c.PopupLobby->popup({0, 0});
    QVERIFY(!c.Remove1->isEnabled());
    c.PopupLobby->hide();
    c.edLobbyName->setText("#other");
    QVERIFY(!c.BtnAddLobby->isEnabled());
    QVERIFY(c.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(c.AllUserList, 0, 0)));
    c.PopupAll->hide();
    QVERIFY(!c.Kick1->isEnabled());
    c.Kick1Click();
    c.Remove1Click();
    c.RouteChat1Execute();
    c.FloodLimits1Execute();
    QVERIFY(h.questions.isEmpty() && h.titles.isEmpty());
    QVERIFY(!h.Store().RouteChat);
    QVERIFY(dee.Silent());
    QCOMPARE(h.Store().UserCount(), 1u);
}

QUARN_CONSOLE_TEST(RemoteConsoleTest);
#include "RemoteConsoleTest.moc"
