// The operator's commands: the lobby entry panel, the pop-up menus of the grid, the lobby
// list and the member list, and the system message. UI thread only. Each asks what the
// window asks and then runs the operation of the server this window shows (ShownServer.h)
// by identity (a nick, a lobby's id and name), the same for this program's own server and
// for one elsewhere; they write no log themselves: the server's handlers do that.
// Lobbies and users picked before a dialog are looked up again by the operation after it:
// the views keep refreshing while a dialog is open.
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
#include "LocalShownServer.h"
#include "Unit1.h"
#include "UserGrid.h"
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

// What an operation answers when its target went away before it ran: the window's
// commands then find nothing and say nothing, as they always have.
bool TargetGone(const TShownResult& result) {
    return result.Error == "no such user" || result.Error == "no such lobby" ||
           result.Error == "not in that lobby";
}

}  // namespace

std::uint64_t TForm1::selectedLobbyId() const {
    QListWidgetItem* item = LobbyList->currentItem();
    return item && item->isSelected() ? item->data(LobbyIdRole).toULongLong() : 0;
}

std::string TForm1::selectedLobbyName() const {
    QListWidgetItem* item = LobbyList->currentItem();
    return item && item->isSelected() ? BytesOf(item->data(LobbyNameRole)) : std::string();
}

QString TForm1::selectedLobbyRowText() const {
    QListWidgetItem* item = LobbyList->currentItem();
    return item && item->isSelected() ? item->text() : QString();
}

TShownServer::TDone TForm1::shownDone() {
    return [self = QPointer<TForm1>(this)](const TShownResult& result) {
        if (self) self->showResult(result);
    };
}

void TForm1::showResult(const TShownResult& result) {
    if (result.Ok() || TargetGone(result)) return;
    Dialogs.ShowMessage(Q(result.Error));
}

std::optional<TShownLobby> TForm1::shownLobby(std::uint64_t id) {
    if (id == 0) return std::nullopt;
    if (mirror_) {
        const TShownLobby* lobby = mirror_->Lobby(id);
        return lobby ? std::optional<TShownLobby>(*lobby) : std::nullopt;
    }
    return shown_->ListedLobby(id);
}

// --- Lobby entry panel -----------------------------------------------------------------

void TForm1::BtnAddLobbyClick() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty()) return;
    if (edLobbyName->text().isEmpty() || edDescr->text().isEmpty()) {
        Dialogs.ShowMessage(QStringLiteral("Please give em a name and description!"));
        return;
    }
    std::string name = FieldBytes(edLobbyName);
    if (!name.starts_with('#')) {
        name.insert(0, 1, '#');
        SetFieldBytes(edLobbyName, name);  // a change like any
    }
    Shown().AddLobby(name, FieldBytes(edDescr), IsPrivate->isChecked(),
                     [self = QPointer<TForm1>(this)](const TShownResult& result, const TShownLobby&) {
                         if (self && !result.Ok()) self->Dialogs.ShowMessage(Q(result.Error));
                     });
}

// The lobbies the window lists are the ones the server has.
void TForm1::edLobbyNameChange() {
    assertUiThread();
    const std::string typed = FieldBytes(edLobbyName);
    bool listed = false;
    for (int i = 0; !listed && i < LobbyList->count(); ++i)
        listed = BytesOf(LobbyList->item(i)->data(LobbyNameRole)) == typed;
    BtnAddLobby->setEnabled(commandsBlocked_.isEmpty() && !listed);
}

void TForm1::LobbyListClick() {
    assertUiThread();
    const std::uint64_t id = selectedLobbyId();
    if (id == 0) return;
    const std::optional<TShownLobby> lobby = shownLobby(id);
    if (!lobby) {
        // A row whose lobby is gone: take it out of the record and the view.
        if (!mirror_) model_.ForgetLobby(id);
        applyingViews_ = true;  // the row change that follows is not a click
        delete LobbyList->takeItem(LobbyList->currentRow());
        applyingViews_ = false;
        return;
    }
    std::vector<TMemberRow> members;
    for (const std::string& nick : lobby->Members) members.push_back({Q(nick), nick});
    std::stable_sort(members.begin(), members.end(), LessNoCase);
    UserList->clear();
    for (const TMemberRow& member : members) {
        auto* item = new QListWidgetItem(member.Text, UserList);
        item->setData(NickRole, BytesData(member.Nick));
    }
    SetFieldBytes(edLobbyName, lobby->Name);
    SetFieldBytes(edDescr, lobby->Description);
    IsPrivate->setChecked(lobby->IsPrivate);
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
    Part1->setEnabled(commandsBlocked_.isEmpty());
    Part1->setText(QStringLiteral("Part ") + Literal(Quoted(item->text())));
}

void TForm1::Part1Click() {
    assertUiThread();
    QListWidgetItem* item = UserList->currentItem();
    const std::string lobbyName = selectedLobbyName();
    if (!commandsBlocked_.isEmpty() || !item || !item->isSelected() || lobbyName.empty()) return;
    Shown().Part(BytesOf(item->data(NickRole)), {selectedLobbyId(), lobbyName},
                 shownDone());
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
    if (!commandsBlocked_.isEmpty() || nick.empty()) return;
    if (Dialogs.Ask(QStringLiteral("Sure?"), QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    // By nickname, after the question: whoever holds it now is the one kicked, and a
    // user who left meanwhile is not found.
    Shown().Kick(nick, shownDone());
}

void TForm1::SendMessage1Click() {
    assertUiThread();
    const std::string nick = BytesOf(SendMessage1->data());
    if (!commandsBlocked_.isEmpty() || nick.empty() || !UserGrid->HasNick(nick)) return;
    const std::optional<QString> text =
        Dialogs.PromptText(QStringLiteral("Send Message to ") + Q(nick));
    if (!text || text->isEmpty()) return;
    // Only to that nick while it is still registered: one who left meanwhile gets nothing.
    Shown().PrivateMessage(nick, text->toStdString(),
                           shownDone());
}

void TForm1::JoinItemClick(QAction* entry) {
    assertUiThread();
    const std::string lobbyName = BytesOf(entry->property(JoinNameProperty));
    const std::string nick = BytesOf(entry->data());
    if (!commandsBlocked_.isEmpty() || lobbyName.empty() || nick.empty()) return;
    Shown().Join(nick, {0, lobbyName}, shownDone());
}

// --- The lobby list --------------------------------------------------------------------

void TForm1::PopupLobbyPopup() {
    assertUiThread();
    const std::uint64_t id = selectedLobbyId();
    if (id == 0) {
        Remove1->setText(QStringLiteral("Remove"));
        LobbyMessage1->setText(QStringLiteral("Lobby Message"));
        Remove1->setEnabled(false);
        LobbyMessage1->setEnabled(false);
        Partallusers1->setEnabled(false);
        return;
    }
    const QString name = Literal(Quoted(Q(selectedLobbyName())));
    const bool allowed = commandsBlocked_.isEmpty();
    Remove1->setEnabled(allowed);
    Remove1->setText(QStringLiteral("Remove ") + name);
    LobbyMessage1->setEnabled(allowed);
    LobbyMessage1->setText(QStringLiteral("Lobby Message to ") + name);
    const std::optional<TShownLobby> lobby = shownLobby(id);
    Partallusers1->setEnabled(allowed && lobby && !lobby->Members.empty());
}

// The selected lobby is found again after the question by its serial number: it may have
// gone meanwhile, and another lobby may have taken its address.
void TForm1::Remove1Click() {
    assertUiThread();
    const std::uint64_t id = selectedLobbyId();
    if (!commandsBlocked_.isEmpty() || id == 0) return;
    const std::string name = selectedLobbyName();
    if (Dialogs.Ask(QStringLiteral("Sure?"), QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    Shown().RemoveLobby({id, name}, shownDone());
}

void TForm1::LobbyMessage1Click() {
    assertUiThread();
    const std::uint64_t id = selectedLobbyId();
    if (!commandsBlocked_.isEmpty() || id == 0) return;
    const std::string name = selectedLobbyName();
    const std::optional<QString> text =
        Dialogs.PromptText(QStringLiteral("Lobby message to ") + selectedLobbyRowText());
    if (!text || text->isEmpty()) return;
    // The server writes the row text as it is then, to the members who are there then;
    // a lobby removed while the dialog was open gets nothing.
    Shown().LobbyMessage({id, name}, text->toStdString(),
                         shownDone());
}

void TForm1::Partallusers1Click() {
    assertUiThread();
    const std::uint64_t id = selectedLobbyId();
    if (!commandsBlocked_.isEmpty() || id == 0) return;
    Shown().PartAll({id, selectedLobbyName()},
                    shownDone());
    UserList->clear();
}

void TForm1::SystemMessageExecute() {
    assertUiThread();
    if (!commandsBlocked_.isEmpty()) return;
    const std::optional<QString> text = Dialogs.PromptText(QStringLiteral("System message"));
    if (!text || text->isEmpty()) return;
    Shown().SystemMessage(text->toStdString(),
                          shownDone());
}
