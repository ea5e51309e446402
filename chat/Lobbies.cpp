// Lobbies and the lobby list: the name rule, lobby lookup, adding and removing lobbies,
// joining and parting, and the lock that serialises all of it.
#include <algorithm>
#include <cctype>
#include <mutex>

#include "ChatLines.h"
#include "ChatPeer.h"
#include "LobbyList.h"
#include "NetIrcServer.h"

void SanitizeName(std::string& name) {
    std::string clean;
    clean.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ':' || c == '@' || c == '!' || byte < 32) continue;
        clean += (c == ' ') ? '_' : c;
    }
    name = std::move(clean);
}

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool SameNick(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

std::string FoldedNick(std::string nick) {
    for (char& c : nick) c = LowerAscii(c);
    return nick;
}

// ---------------------------------------------------------------------------------------
// TLobbyLock

TLobbyLock::TLobbyLock() = default;
TLobbyLock::~TLobbyLock() = default;

void TLobbyLock::lock() {
    mutex_.lock();
    ++depth_;
}

bool TLobbyLock::try_lock() {
    if (!mutex_.try_lock()) return false;
    ++depth_;
    return true;
}

void TLobbyLock::unlock() {
    if (--depth_ == 0 && !retired_.empty()) {
        // Nobody on this thread holds a reference any more, and no other thread can have
        // reached the lobby: it left the list under this lock.
        std::vector<std::unique_ptr<TLobby>> dead = std::move(retired_);
        retired_.clear();
        dead.clear();
    }
    mutex_.unlock();
}

void TLobbyLock::Retire(std::unique_ptr<TLobby> lobby) {
    retired_.push_back(std::move(lobby));
}

// ---------------------------------------------------------------------------------------
// TLobby

namespace {

// Counted for the whole process, never reset: two lobbies never share a serial number.
std::atomic<std::uint64_t> LastLobbySerial{0};

}  // namespace

TLobby::TLobby(TLobbyList& owner, std::string name, std::string description, bool isPrivate)
    : Owner(owner),
      Serial(++LastLobbySerial),
      Name(std::move(name)),
      Description(std::move(description)),
      IsPrivate(isPrivate) {
    SanitizeName(Name);
}

TLobby::~TLobby() = default;

int TLobby::MemberCount() const {
    std::lock_guard guard(Owner.Lock());
    return static_cast<int>(Members.size());
}

bool TLobby::HasMember(const TNetPeerThread& thread) const {
    std::lock_guard guard(Owner.Lock());
    return std::any_of(Members.begin(), Members.end(),
                       [&](const TLobbyMember& m) { return m.Thread == &thread; });
}

bool TLobby::HasNick(const std::string& nick) const {
    std::lock_guard guard(Owner.Lock());
    return std::any_of(Members.begin(), Members.end(),
                       [&](const TLobbyMember& m) { return SameNick(m.Nick, nick); });
}

void TLobby::Announce(const std::string& line) {
    if (IsPrivate) {
        SendToMembers(line);
    } else {
        Owner.Server.BroadcastExcept("", line);
    }
}

bool TLobby::AddMember(const std::string& nick, TNetPeerThread* thread, const std::string& msg) {
    std::lock_guard guard(Owner.Lock());
    const bool isNew = !HasNick(nick);
    if (thread == nullptr || nick.empty()) return isNew;
    if (!isNew) {
        chat::SendLine(*thread, "***Error: You are already in \"" + Name + "\"");
        return false;
    }
    Members.push_back({nick, thread});
    // The creator holds its lobby already.
    if (creator_ != thread) ++TChatPeer::Of(*thread).held_;
    Announce(chat::UserPrefix(nick, *thread) + " JOIN :" + Name);
    SendJoinReplies(nick, *thread, msg);
    return true;
}

void TLobby::SendJoinReplies(const std::string& nick, TNetPeerThread& thread,
                             const std::string& msg) {
    const TNetIRCServer& server = Owner.Server;
    chat::SendLine(thread, chat::Numeric(server, "332", nick) + " " + Name + " :" + Description);
    chat::SendLine(thread, chat::Numeric(server, "333", nick) + " " + Name + " 0");
    // The joiner's nick opens the names and, being the newest member, also ends them.
    std::string names = chat::Numeric(server, "353", nick) + " = " + Name + " :" + nick;
    for (const TLobbyMember& member : Members) names.append(" ").append(member.Nick);
    chat::SendLine(thread, names);
    chat::SendLine(thread,
                   chat::Numeric(server, "366", nick) + " " + Name + " :End of /NAMES list.");
    chat::SendLine(thread, "***" + Description);
    if (!msg.empty()) chat::SendLine(thread, msg);
}

bool TLobby::RemoveMember(TNetPeerThread& thread, const std::string& msg) {
    std::lock_guard guard(Owner.Lock());
    auto it = std::find_if(Members.begin(), Members.end(),
                           [&](const TLobbyMember& m) { return m.Thread == &thread; });
    if (it == Members.end()) return false;
    // Announced while still listed, so a private lobby's leaver gets its own PART line.
    Announce(chat::UserPrefix(it->Nick, thread) + " PART " + Name);
    if (!msg.empty()) chat::SendLine(thread, msg);
    // The announcement cannot change Members (writes raise no events), so `it` is valid.
    Members.erase(it);
    if (creator_ != &thread) --TChatPeer::Of(thread).held_;
    return true;
}

void TLobby::SendToMembers(const std::string& line) {
    std::lock_guard guard(Owner.Lock());
    for (auto it = Members.rbegin(); it != Members.rend(); ++it) chat::SendLine(*it->Thread, line);
}

// ---------------------------------------------------------------------------------------
// TLobbyList: lobbies

TLobbyList::TLobbyList(TNetIRCServer& server) : Server(server) {}

TLobbyList::~TLobbyList() {
    std::lock_guard guard(lock_);
    while (!lobbies_.empty()) lobbies_.pop_back();
    nickIndex_.clear();
    users_.clear();
}

int TLobbyList::LobbyCount() const {
    std::lock_guard guard(lock_);
    return static_cast<int>(lobbies_.size());
}

TLobby* TLobbyList::GetLobby(int index) const {
    std::lock_guard guard(lock_);
    if (index < 0 || index >= static_cast<int>(lobbies_.size())) return nullptr;
    return lobbies_[static_cast<std::size_t>(index)].get();
}

int TLobbyList::IndexOfLobbyName(const std::string& name) const {
    std::lock_guard guard(lock_);
    for (int i = static_cast<int>(lobbies_.size()) - 1; i >= 0; --i) {
        if (lobbies_[static_cast<std::size_t>(i)]->Name == name) return i;
    }
    return -1;
}

TLobby* TLobbyList::FindLobby(const std::string& name) const {
    std::lock_guard guard(lock_);
    return GetLobby(IndexOfLobbyName(name));
}

TLobby* TLobbyList::FindLobbyBySerial(std::uint64_t serial) const {
    std::lock_guard guard(lock_);
    for (const auto& lobby : lobbies_)
        if (lobby->Serial == serial) return lobby.get();
    return nullptr;
}

int TLobbyList::IndexOfLobby(const TLobby* lobby) const {
    std::lock_guard guard(lock_);
    for (std::size_t i = 0; i < lobbies_.size(); ++i) {
        if (lobbies_[i].get() == lobby) return static_cast<int>(i);
    }
    return -1;
}

int TLobbyList::AddLobby(TLobbySender sender, std::string name, const std::string& description,
                         bool userCreated, bool isPrivate) {
    std::lock_guard guard(lock_);
    SanitizeName(name);
    if (name.empty() || IndexOfLobbyName(name) >= 0) return -1;
    if (sender.IsPeer() && userCreated && !MayCreate(*sender.Thread, name)) return -1;
    auto lobby = std::make_unique<TLobby>(*this, name, description, isPrivate);
    lobby->UserCreated = userCreated;
    bool allow = true;
    if (Server.OnAddLobby) Server.OnAddLobby(sender, *lobby, allow);
    // The handler may itself have added a lobby of this name; names stay unique.
    if (!allow || IndexOfLobbyName(lobby->Name) >= 0) return -1;
    lobby->listed_ = true;
    if (sender.IsPeer() && userCreated) {
        lobby->byPlayer_ = true;
        ++playerLobbies_;
        // Held by its creator from now on (a handler may have let it in already).
        lobby->creator_ = sender.Thread;
        if (!lobby->HasMember(*sender.Thread)) ++TChatPeer::Of(*sender.Thread).held_;
    }
    lobbies_.push_back(std::move(lobby));
    if (!userCreated) Modified = true;
    return static_cast<int>(lobbies_.size()) - 1;
}

void TLobbyList::RemoveLobby(TLobbySender sender, TLobby* lobby) {
    std::lock_guard guard(lock_);
    if (lobby == nullptr || IndexOfLobby(lobby) < 0) return;
    bool allow = true;
    if (Server.OnRemoveLobby) Server.OnRemoveLobby(sender, *lobby, allow);
    if (!allow) return;
    PartAll(*lobby, "***Lobby removed");
    // A handler during the parts may have removed it already.
    const int index = IndexOfLobby(lobby);
    if (index < 0) return;
    auto owned = std::move(lobbies_[static_cast<std::size_t>(index)]);
    lobbies_.erase(lobbies_.begin() + index);
    owned->listed_ = false;
    // Members that a handler let in again during the parts leave with the lobby, and its
    // creator holds it no longer.
    for (const TLobbyMember& member : owned->Members)
        if (member.Thread != owned->creator_) --TChatPeer::Of(*member.Thread).held_;
    owned->Members.clear();
    if (owned->creator_ != nullptr) --TChatPeer::Of(*owned->creator_).held_;
    owned->creator_ = nullptr;
    if (owned->byPlayer_) --playerLobbies_;
    Modified = !owned->UserCreated;
    lock_.Retire(std::move(owned));
}

void TLobbyList::RemoveLobbyByName(TLobbySender sender, const std::string& name) {
    std::lock_guard guard(lock_);
    RemoveLobby(sender, FindLobby(name));
}

bool TLobbyList::JoinLobby(TNetPeerThread& thread, std::string lobbyName, const std::string& msg) {
    std::lock_guard guard(lock_);
    SanitizeName(lobbyName);
    const std::string nick = NickOf(thread);
    if (nick.empty()) {
        chat::SendLine(thread, "***Error: You are not logged on!");
        return false;
    }
    if (FindLobby(lobbyName) == nullptr && AllowCreate && !lobbyName.empty()) {
        if (lobbyName[0] != '#') lobbyName = "#" + lobbyName;
        // A limit's refusal has told the client why; "No such lobby" with the name again
        // would only echo a long name back. A handler's refusal fails the lookup below.
        if (FindLobby(lobbyName) == nullptr && !MayCreate(thread, lobbyName)) return false;
        // Not examined: an existing "#" name is joined below.
        AddLobby(TLobbySender::Peer(thread), lobbyName, "Lobby created by " + nick, true, false);
    }
    TLobby* lobby = FindLobby(lobbyName);
    if (lobby == nullptr) {
        chat::SendLine(thread, "***Error: No such lobby: " + lobbyName);
        return false;
    }
    bool allowJoin = !lobby->HasNick(nick);
    std::string joinMsg = msg;
    if (Server.OnUserJoin) Server.OnUserJoin(thread, *lobby, nick, allowJoin, joinMsg);
    if (!allowJoin) {
        chat::SendLine(thread, "***Error: You are not allowed to join \"" + lobby->Name + "\"");
        return false;
    }
    // The handler may have removed the lobby; joining a lobby that is gone would leave a
    // member nobody can see or part.
    if (IndexOfLobby(lobby) < 0) {
        chat::SendLine(thread, "***Error: No such lobby: " + lobbyName);
        return false;
    }
    lobby->AddMember(nick, &thread, joinMsg);
    return true;
}

bool TLobbyList::MayCreate(TNetPeerThread& thread, const std::string& name) {
    if (!IsRegisteredLocked(thread)) {
        chat::SendLine(thread, "***Error: You are not logged on!");
        return false;
    }
    if (name.size() > MaxLobbyNameLength) {
        chat::SendLine(thread, "***Error: Lobby name too long!");
        return false;
    }
    if (TChatPeer::Of(thread).held_ >= MaxLobbiesPerConnection) {
        chat::SendLine(thread, "***Error: You are in too many lobbies!");
        return false;
    }
    if (playerLobbies_ >= MaxPlayerLobbies) {
        chat::SendLine(thread, "***Error: Too many lobbies on this server!");
        return false;
    }
    return true;
}

bool TLobbyList::JoinByCommand(TNetPeerThread& thread, const std::string& lobbyName) {
    std::lock_guard guard(lock_);
    std::string name = lobbyName;
    SanitizeName(name);
    TLobby* lobby = FindLobby(name);
    // A lobby it is in or created costs the connection nothing more.
    if (lobby != nullptr && (lobby->HasMember(thread) || lobby->creator_ == &thread))
        return JoinLobby(thread, lobbyName, "");
    if (TChatPeer::Of(thread).held_ >= MaxLobbiesPerConnection && !NickOf(thread).empty()) {
        chat::SendLine(thread, "***Error: You are in too many lobbies!");
        return false;
    }
    return JoinLobby(thread, lobbyName, "");
}

bool TLobbyList::PartLobby(TNetPeerThread& thread, TLobby& lobby, const std::string& msg) {
    std::lock_guard guard(lock_);
    const std::string nick = NickOf(thread);
    const bool wasMember = lobby.RemoveMember(thread, msg);
    // Raised after the lines, so a changed Msg has no effect.
    std::string partMsg = msg;
    if (Server.OnUserPart) Server.OnUserPart(thread, lobby, nick, partMsg);
    return wasMember;
}

bool TLobbyList::PartLobbyByNick(const std::string& nick, const std::string& lobbyName,
                                 const std::string& msg) {
    std::lock_guard guard(lock_);
    auto entry = FindEntryByNick(nick);
    TLobby* lobby = FindLobby(lobbyName);
    if (entry == users_.end() || lobby == nullptr) return false;
    return PartLobby(*entry->Thread, *lobby, msg);
}

// Walks a snapshot of the members, last to first: the OnUserPart handler may change the
// lobby (or remove it, which parts everyone itself), so members already gone are skipped.
void TLobbyList::PartAll(TLobby& lobby, const std::string& msg) {
    std::lock_guard guard(lock_);
    std::vector<TNetPeerThread*> members;
    members.reserve(lobby.Members.size());
    for (auto it = lobby.Members.rbegin(); it != lobby.Members.rend(); ++it) {
        members.push_back(it->Thread);
    }
    for (TNetPeerThread* member : members) {
        if (!lobby.HasMember(*member)) continue;
        PartLobby(*member, lobby, msg);
    }
}

void TLobbyList::Forget(TNetPeerThread& thread) {
    std::lock_guard guard(lock_);
    TChatPeer& peer = TChatPeer::Of(thread);
    for (auto& lobby : lobbies_) {
        if (peer.held_ == 0) break;
        auto& members = lobby->Members;
        const auto gone =
            std::remove_if(members.begin(), members.end(),
                           [&](const TLobbyMember& m) { return m.Thread == &thread; });
        const int left = static_cast<int>(members.end() - gone);
        members.erase(gone, members.end());
        if (lobby->creator_ == &thread) {
            // Its lobbies outlive it and no longer count against anybody.
            lobby->creator_ = nullptr;
            --peer.held_;
        } else {
            peer.held_ -= left;
        }
    }
    peer.held_ = 0;
    RemoveEntry(thread);
}
