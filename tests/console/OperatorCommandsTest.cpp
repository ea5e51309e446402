// The operator's commands: the lobby entry panel, the pop-up menus and the messages
// (console/OperatorCommands.cpp), against the real chat server through the console test harness:
// loopback clients, the window's own controls and answered dialogs.
#include "support/ConsoleHarness.h"

// The tests that take both rows (BothWindows) run the window of this program and the window
// attached to it over the admin endpoint (quarn-console's): the same commands, the same
// outcome.
class OperatorCommandsTest : public QObject {
    Q_OBJECT

  private slots:
    void addLobbyPutsHashAndRefusesDuplicates();
    void addLobbyButtonFollowsTypedName();
    void selectingLobbyFillsMembersAndFields();
    void gridPopupOpensOnlyOnUserRows();
    void joinFromSubmenuAndLobbysRefusal_data() { BothWindows(); }
    void joinFromSubmenuAndLobbysRefusal();
    void kickAsksFirst_data() { BothWindows(); }
    void kickAsksFirst();
    void sendMessageReachesOnlyTheUserStillThere_data() { BothWindows(); }
    void sendMessageReachesOnlyTheUserStillThere();
    void partOneUserFromLobby_data() { BothWindows(); }
    void partOneUserFromLobby();
    void removeLobbyWithMembers_data() { BothWindows(); }
    void removeLobbyWithMembers();
    void lobbyPopupStatesAndPartAll();
    void lobbyAndSystemMessagesReachTheRightUsers_data() { BothWindows(); }
    void lobbyAndSystemMessagesReachTheRightUsers();
    void commandsCarryTheExactBytesOfNames();
    void clickOnARowWhoseLobbyHasGone();
    void lobbyCommandsDoNotTakeANewLobbyAtTheOldAddress();
};

void OperatorCommandsTest::addLobbyPutsHashAndRefusesDuplicates() {
    // Add Lobby puts "#" in front, asks for both fields and refuses a lobby that exists.
    ConsoleHarness h;
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

void OperatorCommandsTest::addLobbyButtonFollowsTypedName() {
    // Add Lobby is enabled exactly while the typed name matches no lobby exactly.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    QTest::keyClicks(f.edLobbyName, "#Report_Problems");
    QVERIFY(!f.BtnAddLobby->isEnabled());
    f.edLobbyName->setText("#report_problems");
    QVERIFY(f.BtnAddLobby->isEnabled());
    f.edLobbyName->setText("#Report_Problem");
    QVERIFY(f.BtnAddLobby->isEnabled());
}

void OperatorCommandsTest::selectingLobbyFillsMembersAndFields() {
    // Selecting a lobby lists its members sorted and fills the entry panel.
    ConsoleHarness h;
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

void OperatorCommandsTest::gridPopupOpensOnlyOnUserRows() {
    // The grid's menu opens for a plain right click on a user's row only, names the user,
    // and its Join submenu lists the lobbies in the view's order.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#b&b", "B", false, false) >= 0);
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#a", "A", false, false) >= 0);
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

void OperatorCommandsTest::joinFromSubmenuAndLobbysRefusal() {
    // Choosing a lobby in the Join submenu joins the user with the server's note; a second
    // time the lobby itself refuses.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#b&b", "B", false, false) >= 0);
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

void OperatorCommandsTest::kickAsksFirst() {
    // Kick asks "Sure?"; No keeps the user, Yes sends the note and ends the connection.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
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

void OperatorCommandsTest::sendMessageReachesOnlyTheUserStillThere() {
    // Send Message writes the text to the user; a user who leaves while the dialog is
    // open receives nothing and nothing stale is touched.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
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

void OperatorCommandsTest::partOneUserFromLobby() {
    // Part needs a selected member, is captioned with the nick, parts that user with the
    // server's note and takes the row out of the member list.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
    TestClient alice = h.User("alice");
    QVERIFY(h.Join(alice, "alice", "#Report_Problems"));
    alice.ReadAvailable();
    QTRY_VERIFY(h.LobbyRows().contains(
        QStringLiteral("#Report_Problems\t[1]\tMessages in here will be posted to Hostmaster")));
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

void OperatorCommandsTest::removeLobbyWithMembers() {
    // Remove asks "Sure?", then the row goes, the removal is logged and members are parted.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#x", "X", false, false) >= 0);
    TestClient alice = h.User("alice"), bob = h.User("bob");
    QVERIFY(h.Join(alice, "alice", "#x"));
    QVERIFY(h.Join(bob, "bob", "#x"));
    QTRY_VERIFY(h.LobbyRows().contains(QStringLiteral("#x\t[2]\tX")));
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
    QTRY_VERIFY(h.LogHas("Lobby #x removed"));
    QTRY_COMPARE(h.LobbyRows().size(), 1);
    QVERIFY(h.form->SaveLobbysEnabled());
}

void OperatorCommandsTest::lobbyPopupStatesAndPartAll() {
    // The lobby menu's entries follow the selection and the member count; Part all users
    // parts every member with the server's note.
    ConsoleHarness h;
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

void OperatorCommandsTest::lobbyAndSystemMessagesReachTheRightUsers() {
    // A lobby message carries the row text and reaches the lobby's members only; a system
    // message reaches every registered user and no unregistered connection.
    ConsoleHarness h;
    h.Start();
    QFETCH(bool, remote);
    if (remote) QVERIFY(h.Attach());
    TForm1& f = h.Window();
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#x", "Desc", false, false) >= 0);
    TestClient alice = h.User("alice"), bob = h.User("bob");
    TestClient anon(h.Port());
    QVERIFY(anon.SendLine("USER anon h s :r"));
    QVERIFY(h.Join(alice, "alice", "#x"));
    bob.ReadAvailable();
    QTRY_VERIFY(h.LobbyRows().contains(QStringLiteral("#x\t[1]\tDesc")));
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
        h.Store().RemoveLobbyByName(TLobbySender::Of(h.form.get()), "#x");
        return std::optional<QString>("gone");
    };
    f.LobbyMessage1->trigger();
    QVERIFY(alice.WaitFor("***Lobby removed"));
    QVERIFY(alice.Silent());
}

void OperatorCommandsTest::commandsCarryTheExactBytesOfNames() {
    // Names that are not UTF-8 (Windows-1252 "\xE4" and "\xE9") show readably, apart from
    // the UTF-8 name they look like, and every command reaches the core with their bytes.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    const std::string latin = "#caf\xE9", utf8 = "#caf\xC3\xA9", nick = "b\xE4r";
    const std::string prefix = ":" + nick + "!user@127.0.0.1";
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), latin, "Latin \xE9", false, false) >=
            0);
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), utf8, "UTF-8 \xC3\xA9", false,
                               false) >= 0);
    TestClient bar = h.User(nick);
    QTRY_COMPARE(h.GridNicks(), QStringList{QStringLiteral("b\u00E4r")});
    auto latinRow = [&] {
        for (int i = 0; i < f.LobbyList->count(); ++i)
            if (f.LobbyList->RowText(i).endsWith(QStringLiteral("Latin \u00E9"))) return i;
        return -1;
    };
    QCOMPARE(f.LobbyList->RowText(latinRow()), QStringLiteral("#caf\u00E9\t[0]\tLatin \u00E9"));

    // Join from the grid's submenu: the Windows-1252 lobby, not its UTF-8 look-alike.
    QVERIFY(f.AllUserListMouseDown(Qt::RightButton, Qt::RightButton, {},
                                   CellCentre(f.AllUserList, 0, 0)));
    f.PopupAll->hide();
    QCOMPARE(f.Kick1->text(), QStringLiteral("Kick \"b\u00E4r\""));
    f.Join1->actions().at(latinRow())->trigger();
    QVERIFY(bar.WaitFor(prefix + " JOIN :" + latin));

    // The member list and the entry fields keep the bytes too.
    h.Store().RemoveLobbyByName(TLobbySender::Of(h.form.get()), utf8);
    f.FlushViews();
    f.LobbyList->setCurrentRow(latinRow());
    f.LobbyListClick();
    QCOMPARE(f.UserList->count(), 1);
    QCOMPARE(f.UserList->item(0)->text(), QStringLiteral("b\u00E4r"));
    QCOMPARE(f.edLobbyName->text(), QStringLiteral("#caf\u00E9"));
    QVERIFY(!f.BtnAddLobby->isEnabled());
    f.edLobbyName->setText(QStringLiteral("#new"));
    f.BtnAddLobbyClick();
    {
        std::lock_guard lobbyLock(h.Store().Lock());
        const TLobby* added = h.Store().FindLobby("#new");
        QVERIFY(added && added->Description == "Latin \xE9");
    }

    // Part, message and kick reach the user.
    f.UserList->setCurrentRow(0);
    f.Part1->trigger();
    QVERIFY(bar.WaitFor(prefix + " PART " + latin));
    h.prompt = [](const QString&) { return std::optional<QString>("hallo"); };
    f.SendMessage1->trigger();
    QCOMPARE(h.titles.last(), QStringLiteral("Send Message to b\u00E4r"));
    QVERIFY(bar.WaitFor("***Private message from server: hallo"));
    f.Kick1->trigger();
    QVERIFY(bar.WaitFor("***Kicked by server !"));
    QVERIFY(bar.WaitClosed());
}

void OperatorCommandsTest::clickOnARowWhoseLobbyHasGone() {
    // A row still shown after its lobby went (its refresh not yet run): clicking it takes
    // the row away and fills neither the members nor the fields.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(h.form.get()), "#gone", "G", false, false) >= 0);
    f.FlushViews();
    h.Store().RemoveLobbyByName(TLobbySender::Of(h.form.get()), "#gone");
    QCOMPARE(f.LobbyList->count(), 2);
    f.LobbyList->setCurrentRow(0);  // "#gone" sorts first; selecting it runs the click
    QCOMPARE(f.LobbyList->count(), 1);
    QVERIFY(f.LobbyList->RowText(0).startsWith(QStringLiteral("#Report_Problems")));
    QCOMPARE(f.UserList->count(), 0);
    QVERIFY(f.edLobbyName->text().isEmpty());
    f.FlushViews();
    QCOMPARE(f.LobbyList->count(), 1);
}

// Removes the lobby and adds lobbies "#" + stem + N until one of them is made at the
// address the removed one had; returns that one's name, or empty when none was.
static std::string ReplaceAtSameAddress(TForm1& f, const std::string& name,
                                        const std::string& stem) {
    TLobbyList& store = f.Server().LobbyStore();
    const TLobby* old = store.FindLobby(name);
    store.RemoveLobbyByName(TLobbySender::Of(&f), name);
    for (int i = 0; i < 500; ++i) {
        const std::string added = "#" + stem + std::to_string(i);
        store.AddLobby(TLobbySender::Of(&f), added, "new", false, false);
        if (store.FindLobby(added) == old) return added;
    }
    return {};
}

void OperatorCommandsTest::lobbyCommandsDoNotTakeANewLobbyAtTheOldAddress() {
    // While "Sure?" or the message dialog is open, the selected lobby is removed and a new
    // one is made where it was in memory: Remove removes nothing and the lobby message
    // reaches nobody, not the new lobby's members.
    ConsoleHarness h;
    h.Start();
    TForm1& f = *h.form;
    TestClient alice = h.User("alice");
    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#x", "X", false, false) >= 0);
    QVERIFY(h.SelectLobby("#x"));
    std::string reused;
    h.answer = QMessageBox::Yes;
    TConsoleDialogs dialogs = h.Dialogs();
    f.Dialogs.Ask = [&](const QString& q, QMessageBox::StandardButtons b) {
        reused = ReplaceAtSameAddress(f, "#x", "r");
        return dialogs.Ask(q, b);
    };
    f.Remove1->trigger();
    if (reused.empty()) QSKIP("the allocator gave no lobby the removed one's address");
    QVERIFY(h.Store().FindLobby(reused) != nullptr);
    QVERIFY(!h.LogHas("Lobby " + reused + " removed"));

    QVERIFY(h.Store().AddLobby(TLobbySender::Of(&f), "#m", "M", false, false) >= 0);
    QVERIFY(h.SelectLobby("#m"));
    h.prompt = [&](const QString&) {
        reused = ReplaceAtSameAddress(f, "#m", "s");
        TLobbyList& store = h.Store();
        std::lock_guard lock(store.Lock());
        for (const TUserEntry& user : store.Users())
            if (!reused.empty() && user.Nick == "alice") store.JoinLobby(*user.Thread, reused, "");
        return std::optional<QString>("for #m only");
    };
    f.LobbyMessage1->trigger();
    if (reused.empty()) QSKIP("the allocator gave no lobby the removed one's address");
    QVERIFY(alice.WaitFor(":localhost 366 alice " + reused + " :End of /NAMES list."));
    QVERIFY(alice.WaitFor("***new"));
    QVERIFY(alice.Silent());
}

QUARN_CONSOLE_TEST(OperatorCommandsTest);
#include "OperatorCommandsTest.moc"
