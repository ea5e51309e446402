// The operator's commands: the lobby entry panel, the pop-up menus of the grid, the lobby
// list and the member list, and the system message. UI thread only. They act through the
// core's operations alone and write no log themselves: the handlers do that.
//
// The core is called without the console state lock. Where a command holds the
// lobby-list lock itself it is to look a lobby or user up and act on it in one step, so
// that nothing found can vanish in between. Lobbies and users picked before a dialog are
// looked up again after it: the views keep refreshing while a dialog is open.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <cctype>

#include "ByteText.h"
#include "Unit1.h"
#include "UserWrite.h"
#include "widgets/Tablist.h"

namespace {

// The exact lobby name of a join entry; its caption has "&" doubled to show literally.
constexpr const char* JoinNameProperty = "quarnLobbyName";

// A menu caption that shows text literally: Qt would take a single "&" as an access key.
QString Literal(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return escaped;
}

QString Quoted(const QString& text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A member row: the nick as shown and its bytes.
struct TMemberRow {
    QString Text;
    std::string Nick;
};

bool LessNoCase(const TMemberRow& a, const TMemberRow& b) {
    return QString::compare(a.Text, b.Text, Qt::CaseInsensitive) < 0;
}

}  // namespace

std::uint64_t TForm1::selectedLobbySerial() const {
    QListWidgetItem* item = LobbyList->currentItem();
    if (!item || !item->isSelected()) return 0;
    return item->data(LobbySerialRole).value<qulonglong>();
}

std::string TForm1::selectedLobbyName() const {
    QListWidgetItem* item = LobbyList->currentItem();
    return item && item->isSelected() ? BytesOf(item->data(LobbyNameRole)) : std::string();
}

QString TForm1::selectedLobbyRowText() const {
    QListWidgetItem* item = LobbyList->currentItem();
    return item && item->isSelected() ? item->text() : QString();
}

// --- Lobby entry panel -----------------------------------------------------------------

void TForm1::BtnAddLobbyClick() {
    assertUiThread();
    if (edLobbyName->text().isEmpty() || edDescr->text().isEmpty()) {
        Dialogs.ShowMessage(QStringLiteral("Please give em a name and description!"));
        return;
    }
    std::string name = FieldBytes(edLobbyName);
    if (!name.starts_with('#')) {
        name.insert(0, 1, '#');
        SetFieldBytes(edLobbyName, name);  // a change like any
    }
    const int index = server_->LobbyStore().AddLobby(consoleSender(), name, FieldBytes(edDescr),
                                                     false, IsPrivate->isChecked());
    if (index < 0) Dialogs.ShowMessage(QStringLiteral("Could not add lobby! Already exists?"));
}

void TForm1::edLobbyNameChange() {
    assertUiThread();
    BtnAddLobby->setEnabled(server_->LobbyStore().IndexOfLobbyName(FieldBytes(edLobbyName)) < 0);
}

void TForm1::LobbyListClick() {
    assertUiThread();
    const std::uint64_t serial = selectedLobbySerial();
    if (serial == 0) return;
    std::vector<TMemberRow> members;
    std::string name, description;
    bool isPrivate = false;
    bool present;
    {
        TLobbyList& store = server_->LobbyStore();
        std::lock_guard lobbyLock(store.Lock());
        const TLobby* lobby = store.FindLobbyBySerial(serial);
        present = lobby != nullptr;
        if (present) {
            for (const TLobbyMember& member : lobby->Members)
                members.push_back({Q(member.Nick), member.Nick});
            name = lobby->Name;
            description = lobby->Description;
            isPrivate = lobby->IsPrivate;
        }
    }
    if (!present) {
        // A row whose lobby is gone: take it out of the record and the view.
        model_.ForgetLobby(serial);
        applyingViews_ = true;  // the row change that follows is not a click
        delete LobbyList->takeItem(LobbyList->currentRow());
        applyingViews_ = false;
        return;
    }
    std::stable_sort(members.begin(), members.end(), LessNoCase);
    UserList->clear();
    for (const TMemberRow& member : members) {
        auto* item = new QListWidgetItem(member.Text, UserList);
        item->setData(NickRole, BytesData(member.Nick));
    }
    SetFieldBytes(edLobbyName, name);
    SetFieldBytes(edDescr, description);
    IsPrivate->setChecked(isPrivate);
}

// --- Members of the selected lobby -----------------------------------------------------

void TForm1::PopupUserPopup() {
    assertUiThread();
    QListWidgetItem* item = UserList->currentItem();
    if (!item || !item->isSelected()) {
        Part1->setText(QStringLiteral("Part"));
        Part1->setEnabled(false);
        return;
    }
    Part1->setEnabled(true);
    Part1->setText(QStringLiteral("Part ") + Literal(Quoted(item->text())));
}

void TForm1::Part1Click() {
    assertUiThread();
    QListWidgetItem* item = UserList->currentItem();
    const std::string lobbyName = selectedLobbyName();
    if (!item || !item->isSelected() || lobbyName.empty()) return;
    try {
        server_->LobbyStore().PartLobbyByNick(BytesOf(item->data(NickRole)), lobbyName,
                                              "***Part by server");
    } catch (const std::exception& error) {
        showError(error);
    }
    delete UserList->takeItem(UserList->row(item));
}

// --- The grid of all users -------------------------------------------------------------

bool TForm1::AllUserListMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons,
                                  Qt::KeyboardModifiers modifiers, const QPoint& pos) {
    assertUiThread();
    if (button != Qt::RightButton || buttons != Qt::RightButton ||
        (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)))
        return false;
    // The header is a separate widget, so every item of the table is a data row.
    const QModelIndex cell = AllUserList->indexAt(pos);
    if (!cell.isValid()) return false;
    const QModelIndex nickCell = cell.siblingAtColumn(0);
    const QVariant nick = nickCell.data(NickRole);
    if (BytesOf(nick).empty()) return false;
    const QString shown = nickCell.data().toString();
    Kick1->setText(QStringLiteral("Kick ") + Literal(Quoted(shown)));
    Kick1->setData(nick);
    SendMessage1->setText(QStringLiteral("Send message to ") + Literal(Quoted(shown)));
    SendMessage1->setData(nick);
    PopupAll->popup(AllUserList->viewport()->mapToGlobal(pos));  // runs PopupAllPopup
    for (QAction* entry : Join1->actions()) entry->setData(nick);
    return true;
}

void TForm1::PopupAllPopup() {
    assertUiThread();
    Join1->clear();
    for (int i = 0; i < LobbyList->count(); ++i) {
        const QVariant name = LobbyList->item(i)->data(LobbyNameRole);
        QAction* entry = Join1->addAction(Literal(Q(BytesOf(name))));
        entry->setProperty(JoinNameProperty, name);
    }
}

void TForm1::Kick1Click() {
    assertUiThread();
    const std::string nick = BytesOf(Kick1->data());
    if (nick.empty()) return;
    if (Dialogs.Ask(QStringLiteral("Sure?"), QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    try {
        // By nickname, after the question: whoever holds it now is the one kicked, and a
        // user who left meanwhile is not found.
        server_->LobbyStore().QuitUserByNick(nick, "***Kicked by server !");
    } catch (const std::exception& error) {
        showError(error);
    }
}

void TForm1::SendMessage1Click() {
    assertUiThread();
    const std::string nick = BytesOf(SendMessage1->data());
    TLobbyList& store = server_->LobbyStore();
    const TNetPeerThread* target;
    {
        std::lock_guard lobbyLock(store.Lock());
        target = FindRegisteredUser(store, nick);
    }
    if (!target) return;
    const std::optional<QString> text =
        Dialogs.PromptText(QStringLiteral("Send Message to ") + Q(nick));
    if (!text || text->isEmpty()) return;
    try {
        // Only to the same connection, and only while it is still registered.
        WriteToUser(store, target, nick, "***Private message from server: " + text->toStdString());
    } catch (const std::exception& error) {
        showError(error);
    }
}

void TForm1::JoinItemClick(QAction* entry) {
    assertUiThread();
    const std::string lobbyName = BytesOf(entry->property(JoinNameProperty));
    const std::string nick = BytesOf(entry->data());
    if (lobbyName.empty() || nick.empty()) return;
    TLobbyList& store = server_->LobbyStore();
    try {
        std::lock_guard lobbyLock(store.Lock());
        if (TNetPeerThread* user = FindRegisteredUser(store, nick))
            store.JoinLobby(*user, lobbyName, "***Join by Server");
    } catch (const std::exception& error) {
        showError(error);
    }
}

// --- The lobby list --------------------------------------------------------------------

void TForm1::PopupLobbyPopup() {
    assertUiThread();
    const std::uint64_t serial = selectedLobbySerial();
    if (serial == 0) {
        Remove1->setText(QStringLiteral("Remove"));
        LobbyMessage1->setText(QStringLiteral("Lobby Message"));
        Remove1->setEnabled(false);
        LobbyMessage1->setEnabled(false);
        Partallusers1->setEnabled(false);
        return;
    }
    const QString name = Literal(Quoted(Q(selectedLobbyName())));
    Remove1->setEnabled(true);
    Remove1->setText(QStringLiteral("Remove ") + name);
    LobbyMessage1->setEnabled(true);
    LobbyMessage1->setText(QStringLiteral("Lobby Message to ") + name);
    bool hasMembers = false;
    {
        TLobbyList& store = server_->LobbyStore();
        std::lock_guard lobbyLock(store.Lock());
        const TLobby* lobby = store.FindLobbyBySerial(serial);
        hasMembers = lobby != nullptr && !lobby->Members.empty();
    }
    Partallusers1->setEnabled(hasMembers);
}

// The selected lobby is found again after the question by its serial number: it may have
// gone meanwhile, and another lobby may have taken its address.
void TForm1::Remove1Click() {
    assertUiThread();
    const std::uint64_t serial = selectedLobbySerial();
    if (serial == 0) return;
    if (Dialogs.Ask(QStringLiteral("Sure?"), QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    TLobbyList& store = server_->LobbyStore();
    try {
        std::lock_guard lobbyLock(store.Lock());
        if (TLobby* lobby = store.FindLobbyBySerial(serial))
            store.RemoveLobby(consoleSender(), lobby);
    } catch (const std::exception& error) {
        showError(error);
    }
}

void TForm1::LobbyMessage1Click() {
    assertUiThread();
    const std::uint64_t serial = selectedLobbySerial();
    if (serial == 0) return;
    const std::optional<QString> text =
        Dialogs.PromptText(QStringLiteral("Lobby message to ") + selectedLobbyRowText());
    if (!text || text->isEmpty()) return;
    TLobbyList& store = server_->LobbyStore();
    try {
        std::lock_guard lobbyLock(store.Lock());
        // Gone while the dialog was open (its address perhaps another lobby's by now).
        TLobby* lobby = store.FindLobbyBySerial(serial);
        if (lobby == nullptr) return;
        // The row text as it is now, with the members who are there now.
        const std::string line = "***Lobby Message from Server to " +
                                 TConsoleModel::LobbyRowText(*lobby, false) + ": " +
                                 text->toStdString();
        lobby->SendToMembers(line);
    } catch (const std::exception& error) {
        showError(error);
    }
}

void TForm1::Partallusers1Click() {
    assertUiThread();
    const std::uint64_t serial = selectedLobbySerial();
    if (serial == 0) return;
    TLobbyList& store = server_->LobbyStore();
    try {
        std::lock_guard lobbyLock(store.Lock());
        if (TLobby* lobby = store.FindLobbyBySerial(serial))
            store.PartAll(*lobby, "***Part by Server");
    } catch (const std::exception& error) {
        showError(error);
    }
    UserList->clear();
}

void TForm1::SystemMessageExecute() {
    assertUiThread();
    const std::optional<QString> text = Dialogs.PromptText(QStringLiteral("System message"));
    if (!text || text->isEmpty()) return;
    try {
        server_->BroadcastExcept("", "***System message from server: " + text->toStdString());
    } catch (const std::exception& error) {
        showError(error);
    }
}
