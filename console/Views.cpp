// The server event handlers and the views they keep current.
//
// How a change reaches the screen: a handler, on whatever thread raised its event,
// changes the console state under stateMutex_ and marks the part it changed dirty. The
// first mark after a refresh posts one refresh call to the UI thread, and it is posted
// while the lock is still held. The refresh copies the dirty parts under the lock and
// then updates the widgets without it. The widgets therefore always show a state that
// the handlers produced, applied in the order the handlers ran, and a burst of events
// costs one refresh rather than one per event. Refreshes come at most every
// MinRefreshIntervalMs, so that a storm of events costs a bounded share of the UI thread
// however many users are shown. The handlers' answers to the core never
// depend on the widgets, only on the state.
#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QStatusBar>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "ByteText.h"
#include "RemoteAdmin.h"
#include "Timestamp.h"
#include "Unit1.h"
#include "widgets/Tablist.h"

namespace {

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

std::string UserTag(const std::string& nick, TNetPeerThread& thread) {
    return nick + "@" + thread.Connection().PeerAddress();
}

}  // namespace

std::string TForm1::LobbyRowText(const TLobby& Lobby, bool Joining) {
    std::string text = Lobby.Name;
    if (Lobby.IsPrivate) text += " (private)";
    const std::size_t count = Lobby.Members.size() + (Joining ? 1 : 0);
    text += "\t[" + std::to_string(count) + "]\t" + Lobby.Description;
    return text;
}

// --- Console state helpers -------------------------------------------------------------

void TForm1::markDirtyLocked(unsigned parts) {
    state_.Dirty |= parts;
    if (!state_.RefreshPosted) {
        state_.RefreshPosted = true;
        // Posted under the lock: refreshes queue in the order the changes were made.
        QMetaObject::invokeMethod(
            this, [this] { syncSoon(); }, Qt::QueuedConnection);
    }
}

void TForm1::sortLobbyRowsLocked() {
    std::stable_sort(
        state_.LobbyRows.begin(), state_.LobbyRows.end(),
        [](const TLobbyRow& a, const TLobbyRow& b) { return LessNoCase(a.Text, b.Text); });
}

TForm1::TLobbyRow* TForm1::findRowLocked(const TLobby* lobby) {
    for (TLobbyRow& row : state_.LobbyRows)
        if (row.Lobby == lobby) return &row;
    return nullptr;
}

bool TForm1::actionEnabled(bool TConsoleState::*flag) const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return state_.*flag;
}

TLobby* TForm1::ReportLobby() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return state_.ReportLobby;
}

bool TForm1::StartServerEnabled() const {
    return actionEnabled(&TConsoleState::StartEnabled);
}
bool TForm1::StopServerEnabled() const {
    return actionEnabled(&TConsoleState::StopEnabled);
}
bool TForm1::SaveLobbysEnabled() const {
    return actionEnabled(&TConsoleState::SaveLobbysEnabled);
}
bool TForm1::AutoSaveOn() const {
    return actionEnabled(&TConsoleState::AutoSave);
}
bool TForm1::AllowCreateOn() const {
    return actionEnabled(&TConsoleState::AllowCreate);
}

std::vector<std::string> TForm1::LobbyRowTexts() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::vector<std::string> texts;
    texts.reserve(state_.LobbyRows.size());
    for (const TLobbyRow& row : state_.LobbyRows) texts.push_back(row.Text);
    return texts;
}

// --- Handlers --------------------------------------------------------------------------

void TForm1::ServerUserEnter(TNetPeerThread& Thread, const std::string& NickName,
                             bool& AllowEnter) {
    (void)AllowEnter;  // the console never refuses a nickname
    const std::string address = Thread.Connection().PeerAddress();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        std::vector<TGridRow>& rows = state_.GridRows;
        if (!(rows.size() == 1 && rows.front().Nick.empty())) rows.push_back({});
        // Each value goes to the first empty cell of its column, normally the new row.
        auto fill = [&rows](std::string TGridRow::*cell, const std::string& value) {
            for (TGridRow& row : rows)
                if ((row.*cell).empty()) {
                    row.*cell = value;
                    return;
                }
        };
        fill(&TGridRow::Nick, NickName);
        fill(&TGridRow::IP, address);
        fill(&TGridRow::Time, TimestampText());
        markDirtyLocked(DirtyGrid);
    }

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

    AddLog("User " + UserTag(NickName, Thread) + " entered chat");
}

void TForm1::ServerUserJoin(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                            bool& AllowJoin, std::string& Msg) {
    // The core holds the lobby-list lock while raising the event, so Lobby may be read.
    const std::string text = LobbyRowText(Lobby, AllowJoin);
    std::lock_guard<std::mutex> lock(stateMutex_);
    TLobbyRow* row = findRowLocked(&Lobby);
    if (!row) {
        addLogLocked("Error on Join: Lobby \"" + Lobby.Name + "\" not present: User " +
                     UserTag(NickName, Thread));
        return;
    }
    row->Text = text;
    sortLobbyRowsLocked();
    markDirtyLocked(DirtyLobbies);
    AllowJoin = true;
    if (&Lobby == state_.ReportLobby)
        Msg =
            "\r\nPlease note:\r\nThis messages will not be sent to other users.\r\n"
            "Report problems, question, bugs....";
}

void TForm1::ServerUserPart(TNetPeerThread& Thread, TLobby& Lobby, const std::string& NickName,
                            std::string& Msg) {
    (void)Thread;
    (void)NickName;
    (void)Msg;
    const std::string text = LobbyRowText(Lobby, false);
    const bool emptiedUserLobby = Lobby.Members.empty() && Lobby.UserCreated;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        TLobbyRow* row = findRowLocked(&Lobby);
        if (!row) return;
        row->Text = text;
        sortLobbyRowsLocked();
        markDirtyLocked(DirtyLobbies);
    }
    // Outside the state lock: the removal raises ServerRemoveLobby, which takes it again.
    // The core still holds the lobby-list lock, so Lobby is alive.
    if (emptiedUserLobby) server_->LobbyStore().RemoveLobby(consoleSender(), &Lobby);
}

void TForm1::ServerUserQuit(TNetPeerThread& Thread, const std::string& NickName) {
    const std::string tag = UserTag(NickName, Thread);
    std::lock_guard<std::mutex> lock(stateMutex_);
    std::vector<TGridRow>& rows = state_.GridRows;
    for (std::size_t i = rows.size(); i-- > 0;) {
        if (rows[i].Nick != NickName) continue;
        if (rows.size() > 1)
            rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
        else
            rows[0] = {};
        markDirtyLocked(DirtyGrid);
        addLogLocked("User " + tag + " quit");
        return;
    }
    addLogLocked("Error on quit: User " + tag + " not present");
}

void TForm1::ServerAddLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow) {
    const bool fromConsole = Sender.Is(ConsoleSender());
    const std::string text = LobbyRowText(Lobby, false);
    // NickOf takes the lobby-list lock, which comes before the state lock: ask first.
    const std::string creator =
        Sender.IsPeer() ? server_->LobbyStore().NickOf(*Sender.Thread) : std::string();
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!fromConsole && !state_.AllowCreate) {
        Allow = false;
        return;
    }
    state_.SaveLobbysEnabled = !Lobby.UserCreated;
    Allow = true;
    // Recorded at once, before the core even inserts the lobby: a join that follows on
    // any thread finds the row.
    state_.LobbyRows.push_back({&Lobby, Lobby.Name, text});
    sortLobbyRowsLocked();
    markDirtyLocked(DirtyLobbies | DirtyActions);
    if (Sender.IsPeer())
        addLogLocked("Lobby " + Lobby.Name + " created by " + creator);
    else
        addLogLocked("Lobby " + Lobby.Name + " created");
}

void TForm1::ServerRemoveLobby(TLobbySender Sender, TLobby& Lobby, bool& Allow) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!Sender.Is(ConsoleSender()) && !Lobby.UserCreated) {
        Allow = false;
        return;
    }
    state_.SaveLobbysEnabled = !Lobby.UserCreated;
    std::erase_if(state_.LobbyRows, [&Lobby](const TLobbyRow& row) { return row.Lobby == &Lobby; });
    // The object is destroyed after this call; a later lobby at the same address must
    // not become the report lobby.
    if (state_.ReportLobby == &Lobby) state_.ReportLobby = nullptr;
    markDirtyLocked(DirtyLobbies | DirtyActions);
    if (Lobby.UserCreated)
        addLogLocked("User created lobby " + Lobby.Name + " removed");
    else
        addLogLocked("Lobby " + Lobby.Name + " removed");
}

void TForm1::ServerChat(TNetPeerThread& Sender, TLobby* Lobby, std::string& msg, bool& AllowSend) {
    if (!Lobby || Lobby != ReportLobby()) return;
    AllowSend = false;
    const std::string nick = server_->LobbyStore().NickOf(Sender);
    AddLog("Report by " + nick + ": " + msg);
    std::string reply;
    try {
        // The core holds the lobby-list lock meanwhile; the append is one short write.
        remoteAdmin_->Report().Append(TimestampText() + " " + nick + ": " + msg);
        reply = "***Message loggged by server: " + msg;
    } catch (const std::exception&) {
        reply = "***Server error: Could not post message!";
    }
    try {
        Sender.Connection().WriteLine(reply);
    } catch (const std::exception&) {
        // The report is filed; a sender that has gone is quit by its disconnect handling.
    }
}

void TForm1::ServerCommandUsers(TNetPeerThread& Thread, const std::string& Parm) {
    (void)Parm;
    std::vector<std::string> lines;
    {
        TLobbyList& store = server_->LobbyStore();
        std::lock_guard lobbyLock(store.Lock());
        lines.push_back("Users online [" + std::to_string(store.Users().size()) + "]:");
        for (const TUserEntry& user : store.Users()) lines.push_back("- " + user.Nick);
    }
    lines.push_back("End of userlist");
    for (const std::string& line : lines) Thread.Connection().WriteLine(line);
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

void TForm1::syncSoon() {
    assertUiThread();
    const qint64 since = lastRefresh_.isValid() ? lastRefresh_.elapsed() : MinRefreshIntervalMs;
    if (since >= MinRefreshIntervalMs) {
        syncViews();
        return;
    }
    // RefreshPosted stays set until then, so the events in between post nothing more.
    QTimer::singleShot(std::chrono::milliseconds(MinRefreshIntervalMs - since), this,
                       &TForm1::syncViews);
}

void TForm1::syncViews() {
    assertUiThread();
    lastRefresh_.start();
    TConsoleState copy;
    unsigned dirty;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        dirty = state_.Dirty;
        state_.Dirty = DirtyNone;
        state_.RefreshPosted = false;
        if (dirty & DirtyLobbies) copy.LobbyRows = state_.LobbyRows;
        if (dirty & DirtyGrid) copy.GridRows = state_.GridRows;
        if (dirty & DirtyLog) copy.Log = state_.Log;
        copy.StatusText = state_.StatusText;
        copy.StartEnabled = state_.StartEnabled;
        copy.StopEnabled = state_.StopEnabled;
        copy.SaveLobbysEnabled = state_.SaveLobbysEnabled;
        copy.AutoSave = state_.AutoSave;
        copy.AllowCreate = state_.AllowCreate;
    }
    // Widgets change below without the lock: their signals may lead to calls into the
    // core, whose lock comes before the state lock.
    applyingViews_ = true;
    if (dirty & DirtyLobbies) applyLobbyRows(copy.LobbyRows);
    if (dirty & DirtyGrid) applyGrid(copy.GridRows);
    if (dirty & DirtyLog) applyLog(copy.Log);
    if (dirty & DirtyStatus) StatusPanel->setText(Q(copy.StatusText));
    if (dirty & DirtyActions) applyActions(copy);
    applyingViews_ = false;
}

void TForm1::applyLobbyRows(const std::vector<TLobbyRow>& rows) {
    bool sameRows = LobbyList->count() == static_cast<int>(rows.size());
    for (int i = 0; sameRows && i < LobbyList->count(); ++i)
        sameRows = LobbyList->RowObject(i) == rows[static_cast<std::size_t>(i)].Lobby;
    if (sameRows) {
        for (int i = 0; i < LobbyList->count(); ++i) {
            const QString text = Q(rows[static_cast<std::size_t>(i)].Text);
            if (LobbyList->RowText(i) != text) LobbyList->SetRowText(i, text);
        }
        return;
    }
    // Rows came or went or moved: rebuild, keeping the operator's selection on its lobby.
    const TLobby* selected = selectedLobby();
    LobbyList->clear();
    for (const TLobbyRow& row : rows) {
        const int index = LobbyList->AddRow(Q(row.Text), row.Lobby);
        QListWidgetItem* item = LobbyList->item(index);
        item->setData(LobbyNameRole, BytesData(row.Name));
        if (selected && row.Lobby == selected) LobbyList->setCurrentItem(item);
    }
}

void TForm1::applyGrid(const std::vector<TGridRow>& rows) {
    AllUserList->setRowCount(static_cast<int>(rows.size()));
    auto set = [this](int r, int c, const std::string& value) {
        QTableWidgetItem* item = AllUserList->item(r, c);
        if (!item) {
            item = new QTableWidgetItem;
            AllUserList->setItem(r, c, item);
        }
        item->setText(Q(value));
        return item;
    };
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        const TGridRow& row = rows[static_cast<std::size_t>(r)];
        set(r, 0, row.Nick)->setData(NickRole, BytesData(row.Nick));
        set(r, 1, row.IP);
        set(r, 2, row.Time);
    }
}

void TForm1::applyLog(const std::deque<std::string>& lines) {
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) texts.push_back(Q(line));
    LogMemo->setUpdatesEnabled(false);
    LogMemo->clear();
    LogMemo->addItems(texts);
    LogMemo->setUpdatesEnabled(true);
}

void TForm1::applyActions(const TConsoleState& copy) {
    StartServer->setEnabled(copy.StartEnabled);
    StopServer->setEnabled(copy.StopEnabled);
    SaveLobbys->setEnabled(copy.SaveLobbysEnabled);
    AutoSave1->setChecked(copy.AutoSave);
    AllowCreate1->setChecked(copy.AllowCreate);
}
