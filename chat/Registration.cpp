// The user registry: entering a connection (USER), registering its nick and greeting it
// (NICK), and taking it out again (QUIT, a lost connection, a kick, a server stop).
#include <algorithm>
#include <ctime>
#include <mutex>

#include "ChatLines.h"
#include "ChatPeer.h"
#include "LobbyList.h"
#include "NetIrcServer.h"

namespace {

// The local date and time in the host's short date and long time forms.
std::string LocalDateTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, "%x %X", &local);
    return std::string(text, length);
}

}  // namespace

int TLobbyList::UserCount() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(users_.size());
}

bool TLobbyList::AddUser(TNetPeerThread& thread) {
    std::lock_guard guard(lock_);
    TChatPeer& peer = TChatPeer::Of(thread);
    if (peer.State() != TChatPeer::TState::NoEntry) return false;
    users_.push_back({"", &thread});
    peer.entry_ = std::prev(users_.end());
    peer.SetState(TChatPeer::TState::UserSent);
    return true;
}

std::string TLobbyList::NickOf(const TNetPeerThread& thread) const {
    std::lock_guard guard(lock_);
    return TChatPeer::Of(thread).nick_;
}

bool TLobbyList::IsRegisteredLocked(const TNetPeerThread& thread) {
    return TChatPeer::Of(thread).Registered();
}

const TNetPeerThread* TLobbyList::ThreadOfNickLocked(const std::string& nick) {
    auto entry = FindEntryByNick(nick);
    if (entry == users_.end() || entry->Nick != nick) return nullptr;
    return entry->Thread;
}

// Entries without a nick are not in the nick index; the first of them matches "".
std::list<TUserEntry>::iterator TLobbyList::FindEntryByNick(const std::string& nick) {
    if (nick.empty()) {
        return std::find_if(users_.begin(), users_.end(),
                            [](const TUserEntry& e) { return e.Nick.empty(); });
    }
    auto it = nickIndex_.find(FoldedNick(nick));
    return it == nickIndex_.end() ? users_.end() : it->second;
}

void TLobbyList::RemoveEntry(TNetPeerThread& thread) {
    TChatPeer& peer = TChatPeer::Of(thread);
    if (peer.State() == TChatPeer::TState::NoEntry) return;
    if (peer.Registered())
        Server.PeerThreads().Broadcast().SetRegistered(thread.Connection(), false);
    if (!peer.nick_.empty()) nickIndex_.erase(FoldedNick(peer.nick_));
    users_.erase(peer.entry_);
    peer.nick_.clear();
    peer.SetState(TChatPeer::TState::NoEntry);
}

void TLobbyList::RefuseConnection(TNetPeerThread& thread,
                                  std::initializer_list<const char*> lines) {
    thread.Connection().CloseNote.Note(TNetCloseReason::Refused);
    for (const char* line : lines) chat::SendLine(thread, line);
    RemoveEntry(thread);
    if (thread.Connection().IsConnected()) thread.Connection().Disconnect();
}

bool TLobbyList::NickAllowedByRule(TNetPeerThread& thread, const std::string& nick) {
    std::string clean = nick;
    SanitizeName(clean);
    if (clean == nick) return true;
    RefuseConnection(thread, {"***Error: This nickname is not allowed!",
                              "***Please dont use \"@\", \"!\", \":\" and space !"});
    return false;
}

// Entries without a nick take part, the caller's own among them: an empty nick is in use.
bool TLobbyList::NickInUse(const std::string& nick) {
    return FindEntryByNick(nick) != users_.end();
}

// The whole of it runs under the lock, so between the uniqueness test and storing the
// nick no other connection can register the same one.
bool TLobbyList::SetNick(TNetPeerThread& thread, const std::string& nick) {
    std::lock_guard guard(lock_);
    TChatPeer& peer = TChatPeer::Of(thread);
    if (peer.State() == TChatPeer::TState::NoEntry) {
        chat::SendLine(thread, "***Error: You are not logged on!");
        return false;
    }
    if (peer.Registered()) {
        chat::SendLine(thread, "***Error: You cannot change your nick!");
        return false;
    }
    if (!NickAllowedByRule(thread, nick)) return false;
    // Every line of the user carries the nick, and every member list and the console's
    // rows hold it: a nick of kilobytes would multiply all of them. Refused like a nick of
    // the wrong characters, with the numeric that IRC servers use for one; the nick is not
    // echoed.
    if (nick.size() > MaxNickLength) {
        const std::string line = chat::Numeric(Server, "432", "*") +
                                 " :Erroneous nickname: at most " + std::to_string(MaxNickLength) +
                                 " bytes";
        RefuseConnection(thread, {line.c_str()});
        return false;
    }
    if (NickInUse(nick)) {
        RefuseConnection(thread, {"***Error: This Nickname is already in use!!"});
        return false;
    }
    bool allowEnter = true;
    if (Server.OnUserEnter) Server.OnUserEnter(thread, nick, allowEnter);
    // The handler may have quit the connection meanwhile; then there is nothing to store.
    if (peer.State() != TChatPeer::TState::UserSent) return false;
    if (!allowEnter) {
        RefuseConnection(thread, {"***Error: You are not allowed!"});
        return false;
    }
    peer.entry_->Nick = nick;
    peer.nick_ = nick;
    nickIndex_.emplace(FoldedNick(nick), peer.entry_);
    peer.SetState(TChatPeer::TState::Registered);
    Server.PeerThreads().Broadcast().SetRegistered(thread.Connection(), true);
    SendWelcome(thread, nick);
    return true;
}

void TLobbyList::SendWelcome(TNetPeerThread& thread, const std::string& nick) {
    Server.SendLobbyList(thread);
    const std::string motd = chat::Numeric(Server, "372", nick) + " : - ";
    chat::SendLine(
        thread, motd + (Server.FormatTimestamp ? Server.FormatTimestamp() : LocalDateTimeText()));
    for (const std::string& line : Server.MOTD) chat::SendLine(thread, motd + line);
    chat::SendLine(thread, chat::Numeric(Server, "376", nick) + " :End of /MOTD command.");
}

// Parts the connection from every lobby (raising OnUserPart for each, members or not),
// then, if it has an entry, announces the QUIT, removes the entry, raises OnUserQuit and
// closes the connection. The lobbies are walked as a snapshot, last to first, because the
// OnUserPart handler may remove lobbies (an emptied user-created one) meanwhile.
bool TLobbyList::QuitUser(TNetPeerThread& thread, const std::string& msg) {
    std::lock_guard guard(lock_);
    const std::string nick = NickOf(thread);
    std::vector<TLobby*> lobbies;
    lobbies.reserve(lobbies_.size());
    for (auto it = lobbies_.rbegin(); it != lobbies_.rend(); ++it) lobbies.push_back(it->get());
    for (TLobby* lobby : lobbies) {
        // A lobby removed meanwhile is retired, still alive under the lock, and skipped:
        // a flag, since a search of the list for each would cost a quit the square of the
        // number of lobbies.
        if (!lobby->listed_) continue;
        PartLobby(thread, *lobby, msg);
    }
    if (TChatPeer::Of(thread).State() == TChatPeer::TState::NoEntry) return false;
    TNetTCPServerConnection& connection = thread.Connection();
    if (!msg.empty()) connection.CloseNote.Note(TNetCloseReason::Operator);
    if (!msg.empty() && connection.IsConnected()) chat::SendLine(thread, msg);
    Server.BroadcastExcept("", chat::UserPrefix(nick, thread) + " QUIT ");
    RemoveEntry(thread);
    if (Server.OnUserQuit) Server.OnUserQuit(thread, nick);
    if (connection.IsConnected()) connection.Disconnect();
    return true;
}

bool TLobbyList::QuitUserByNick(const std::string& nick, const std::string& msg) {
    std::lock_guard guard(lock_);
    auto entry = FindEntryByNick(nick);
    if (entry == users_.end()) return false;
    entry->Thread->Connection().CloseNote.Note(TNetCloseReason::Operator);
    return QuitUser(*entry->Thread, msg);
}

// Quits the first entry until none is left. Quitting by the entry's connection is what
// quitting by its nick amounts to (the first match of the first entry's nick is itself),
// and it cannot loop on an entry that a nick lookup would miss.
void TLobbyList::QuitAll(const std::string& msg) {
    std::lock_guard guard(lock_);
    while (!users_.empty()) {
        TNetPeerThread& first = *users_.front().Thread;
        if (!QuitUser(first, msg)) RemoveEntry(first);
    }
}
