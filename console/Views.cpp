// The server event handlers and the views they keep current.
//
// How a change reaches the screen: a handler, on whatever thread raised its event, reads
// what it needs of the core (under the core's lock, which the core holds while raising
// the event) and hands it to the console model, which changes its state under the state
// lock and asks, at the first change after a refresh, for one refresh call to be posted
// to the UI thread; it asks while the lock is still held. The refresh takes the changed
// parts from the model and then updates the widgets without any lock. The widgets
// therefore always show a state that the handlers produced, applied in the order the
// handlers ran, and a burst of events costs one refresh rather than one per event.
// Refreshes come at most every MinRefreshIntervalMs, so that a storm of events costs a
// bounded share of the UI thread however many users are shown. The handlers' answers to
// the core never depend on the widgets, only on the model.
#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>

#include <chrono>

#include "ByteText.h"
#include "RemoteAdmin.h"
#include "Timestamp.h"
#include "Unit1.h"
#include "UserGrid.h"
#include "UserWrite.h"
#include "widgets/Tablist.h"

// --- State readable from any thread ----------------------------------------------------

// A remote window's state is its mirror of the server's (UI thread only then).
bool TForm1::StartServerEnabled() const {
    return mirror_ ? !mirror_->State().Running : model_.Actions().StartEnabled;
}
bool TForm1::StopServerEnabled() const {
    return mirror_ ? mirror_->State().Running : model_.Actions().StopEnabled;
}
bool TForm1::SaveLobbysEnabled() const {
    return mirror_ ? mirror_->State().SaveEnabled : model_.Actions().SaveLobbysEnabled;
}
TShownOptions TForm1::ShownOptions() const {
    return mirror_ ? mirror_->State().Options : model_.Options();
}
bool TForm1::AutoSaveOn() const {
    return mirror_ ? mirror_->State().Options.AutoSave : model_.Actions().AutoSave;
}
bool TForm1::AllowCreateOn() const {
    return mirror_ ? mirror_->State().Options.AllowCreate : model_.Actions().AllowCreate;
}
bool TForm1::RouteChatOn() const {
    return mirror_ ? mirror_->State().Options.RouteChat : model_.Actions().RouteChat;
}

std::vector<std::string> TForm1::LobbyRowTexts() const {
    return model_.LobbyRowTexts();
}

// --- Handlers --------------------------------------------------------------------------

void TForm1::ServerUserEnter(TNetPeerThread& Thread, const std::string& NickName,
                             bool& AllowEnter) {
    (void)AllowEnter;  // the console never refuses a nickname
    // One write for the whole list: with thousands online it is thousands of lines, and
    // a write per line would cost a send each.
    std::string list;
    {
        TLobbyList& store = server_->LobbyStore();
        std::lock_guard lobbyLock(store.Lock());
        list.reserve(32 + store.Users().size() * 16);
        list.append("Users online [" + std::to_string(store.Users().size()) + "]:\r\n");
        for (const TUserEntry& user : store.Users())
            list.append("- ").append(user.Nick.empty() ? NickName : user.Nick).append("\r\n");
    }
    list.append("End of userlist\r\n\r\n");
    try {
        Thread.Connection().WriteText(list);
    } catch (const std::exception&) {
        // Skipped like the core's own failed writes: the registration goes on, and the
        // connection's disconnect handling quits the user and empties the grid row.
    }
    model_.UserEnter(NickName, Thread.Connection().PeerAddress());
}

void TForm1::ServerUserJoin(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                            bool& AllowJoin, std::string& Msg) {
    model_.UserJoin(Lobby, NickName, Thread.Connection().PeerAddress(), AllowJoin, Msg);
}

void TForm1::ServerUserPart(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                            std::string& Msg) {
    (void)Thread;
    (void)Msg;
    // The removal raises ServerRemoveLobby; the core still holds the lobby-list lock, so
    // Lobby is alive.
    if (model_.UserPart(Lobby, NickName))
        server_->LobbyStore().RemoveLobby(consoleSender(), &Lobby);
}

void TForm1::ServerUserQuit(TNetPeerThread& Thread, const std::string& NickName) {
    model_.UserQuit(NickName, Thread.Connection().PeerAddress());
}

void TForm1::ServerAddLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow) {
    std::optional<std::string> creator;
    if (Sender.IsPeer()) creator = server_->LobbyStore().NickOf(*Sender.Thread);
    Allow = model_.AddLobby(Lobby, Sender.Is(ConsoleSender()), creator);
}

void TForm1::ServerRemoveLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow) {
    Allow = model_.RemoveLobby(Lobby, Sender.Is(ConsoleSender()));
}

// The core holds its lobby-list lock around this handler, so the report is filed by the
// disk writer, which then answers the sender if it is still there.
void TForm1::ServerChat(TNetPeerThread& Sender, TLobby* Lobby, std::string& msg, bool& AllowSend) {
    if (!model_.IsReportLobby(Lobby)) return;
    AllowSend = false;
    const std::string nick = server_->LobbyStore().NickOf(Sender);
    AddLog("Report by " + nick + ": " + msg);
    const std::string line = TimestampText() + " " + nick + ": " + msg;
    const std::size_t bytes = line.size() + msg.size();  // the line and the answer
    diskWriter_.Post(
        [this, sender = &Sender, nick, line, msg] {
            std::string reply = "***Message loggged by server: " + msg;
            try {
                remoteAdmin_->Report().Append(line);
            } catch (const std::exception&) {
                reply = "***Server error: Could not post message!";
            }
            try {
                WriteToUser(server_->LobbyStore(), sender, nick, reply);
            } catch (const std::exception&) {
                // The report is filed; a sender that has gone is quit by its own thread.
            }
        },
        bytes);
}

void TForm1::ServerCommandUsers(TNetPeerThread& Thread, const std::string& Parm) {
    (void)Parm;
    std::string list;
    {
        TLobbyList& store = server_->LobbyStore();
        std::lock_guard lobbyLock(store.Lock());
        list.append("Users online [" + std::to_string(store.Users().size()) + "]:\r\n");
        for (const TUserEntry& user : store.Users()) list.append("- " + user.Nick + "\r\n");
    }
    list.append("End of userlist\r\n");
    Thread.Connection().WriteText(list);
}

void TForm1::ServerCommandOther(TNetPeerThread& Thread, const std::string& Command,
                                const std::string& Parm) {
    remoteAdmin_->HandleCommand(Thread, Command, Parm);
}

// --- The refresh on the UI thread ------------------------------------------------------

void TForm1::FlushViews() {
    assertUiThread();
    syncViews();
}

void TForm1::PostToUi(const char* method) {
    QMetaObject::invokeMethod(this, method, Qt::QueuedConnection);
}

void TForm1::syncSoon() {
    assertUiThread();
    const qint64 since = lastRefresh_.isValid() ? lastRefresh_.elapsed() : MinRefreshIntervalMs;
    if (since >= MinRefreshIntervalMs) {
        syncViews();
        return;
    }
    // The model posts nothing more until this refresh has taken its view.
    QTimer::singleShot(std::chrono::milliseconds(MinRefreshIntervalMs - since), this,
                       &TForm1::syncViews);
}

void TForm1::syncViews() {
    assertUiThread();
    lastRefresh_.start();
    // Widgets change below without the state lock: their signals may lead to calls into
    // the core, whose lock comes before the state lock.
    TConsoleModel::TView view = mirror_ ? mirror_->TakeView() : model_.TakeView();
    applyingViews_ = true;
    if (view.Parts & TConsoleModel::LobbyPart) applyLobbyRows(view.LobbyRows);
    if (view.Parts & TConsoleModel::GridPart) UserGrid->SetRows(std::move(view.GridRows));
    if (view.Parts & TConsoleModel::LogPart) applyLog(view.Log);
    if (view.Parts & TConsoleModel::StatusPart) StatusPanel->setText(Q(view.StatusText));
    if (view.Parts & TConsoleModel::ActionPart) applyActions(view.Actions);
    applyingViews_ = false;
    // The selected lobby's members follow its row (the server elsewhere tells no one
    // which lobby the operator looks at, so the window refills them itself).
    if (mirror_ && (view.Parts & TConsoleModel::LobbyPart)) LobbyListClick();
}

// Rows are told apart by the shown lobby's id, which no later lobby gets.
void TForm1::applyLobbyRows(const std::vector<TConsoleModel::TLobbyRow>& rows) {
    auto serialOf = [this](int i) {
        return LobbyList->item(i)->data(LobbyIdRole).value<qulonglong>();
    };
    bool sameRows = LobbyList->count() == static_cast<int>(rows.size());
    for (int i = 0; sameRows && i < LobbyList->count(); ++i)
        sameRows = serialOf(i) == rows[static_cast<std::size_t>(i)].Serial;
    if (sameRows) {
        for (int i = 0; i < LobbyList->count(); ++i) {
            const QString text = Q(rows[static_cast<std::size_t>(i)].Text);
            if (LobbyList->RowText(i) != text) LobbyList->SetRowText(i, text);
        }
        return;
    }
    // Rows came or went or moved: rebuild, keeping the operator's selection on its lobby.
    const std::uint64_t selected = selectedLobbyId();
    LobbyList->clear();
    for (const TConsoleModel::TLobbyRow& row : rows) {
        const int index = LobbyList->AddRow(Q(row.Text));
        QListWidgetItem* item = LobbyList->item(index);
        item->setData(LobbyNameRole, BytesData(row.Name));
        item->setData(LobbyIdRole, QVariant::fromValue<qulonglong>(row.Serial));
        if (selected != 0 && row.Serial == selected) LobbyList->setCurrentItem(item);
    }
}

void TForm1::applyLog(const std::vector<std::string>& lines) {
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) texts.push_back(Q(line));
    LogMemo->setUpdatesEnabled(false);
    LogMemo->clear();
    LogMemo->addItems(texts);
    LogMemo->setUpdatesEnabled(true);
}

void TForm1::applyActions(const TConsoleModel::TActions& actions) {
    const bool allowed = commandsBlocked_.isEmpty();
    StartServer->setEnabled(allowed && actions.StartEnabled);
    StopServer->setEnabled(allowed && actions.StopEnabled);
    SaveLobbys->setEnabled(allowed && actions.SaveLobbysEnabled);
    AutoSave1->setChecked(actions.AutoSave);
    AllowCreate1->setChecked(actions.AllowCreate);
    RouteChat1->setChecked(actions.RouteChat);
}
