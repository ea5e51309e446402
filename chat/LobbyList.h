// The shared state of the chat server: the lobbies with their members and the registry
// of connections that introduced themselves. Safe to call from any thread.
//
// Serialisation: one re-entrant lock (Lock()) guards the lobbies, their members and the
// registry. Every public operation of TLobbyList and TLobby takes it for its whole run and
// holds it while raising events, so handlers may call back in.
//
// The lock order of the whole program, outermost first. A thread holding one of these may
// take only those below it; every other header points here.
//   1. the lobby-list lock (TLobbyList::Lock(), re-entrant)
//   2. the console's state lock (console/)
//   3. PeerThreads (TNetTCPServer::PeerThreads().Mutex())
//   4. a connection's own lock (TNetTCPConnection)
//   5. its output queue's lock (net/NetOutputQueue.h)
//   6. the flusher threads' own locks (net/NetFlusher.h: a shard's registry, then its
//      ready list), and a socket handle's lock (net/NetSocketHandle.h)
// Side locks that nothing is taken under: the server's admission lock, the sweep's pass
// lock and timer lock, the socket layer's start-up lock, the shown server's journal
// (console/ShownJournal.h, taken under 1 and 2), the guessing limit of code words and
// admin logins (console/FailureLimit.h). Nobody waits on a socket, for the UI thread or
// for a flusher pass while holding any lock from 1 to 5.
//
// Writes: a line written here waits in the writing thread's fan-out (net/NetFanOut.h)
// and is sent when the peer loop flushes it, after the lock is released; written from a
// thread without a fan-out it is sent at once, without waiting. A failed write to one
// recipient is skipped and never ends the operation; that recipient's own disconnect
// handling quits it. Changes once made stay made.
//
// Lobby lifetime: a removed lobby leaves Lobbies() at once but is destroyed only when the
// outermost holder of Lock() lets go of it. Operations and event handlers further up the
// same call chain may still hold a reference to it (a handler of OnUserPart may remove the
// lobby that PartAll is walking), and those references stay valid until then.
//
// Limits against one player bloating the shared state: a connection may be a member of at
// most MaxLobbiesPerConnection lobbies, and a lobby that a player creates (JOIN of a new
// name, the private-lobby command) may have a name of at most MaxLobbyNameLength bytes.
// Lobbies of the operator are not limited.
#pragma once

#include <atomic>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class TNetPeerThread;
class TNetIRCServer;
class TLobbyList;
class TLobby;

// Spaces become "_"; ":", "@", "!" and every byte below 32 are deleted. In place.
void SanitizeName(std::string& name);
// Nick comparison: without regard to ASCII letter case.
bool SameNick(const std::string& a, const std::string& b);
// The nick with ASCII letters in lower case: equal for nicks that SameNick finds the same.
std::string FoldedNick(std::string nick);

// Who asked for a lobby change: a connection's thread, or another object (the console).
struct TLobbySender {
    TNetPeerThread* Thread = nullptr;
    const void* Object = nullptr;

    static TLobbySender Peer(TNetPeerThread& thread) { return {&thread, &thread}; }
    static TLobbySender Of(const void* object) { return {nullptr, object}; }
    bool IsPeer() const { return Thread != nullptr; }
    bool Is(const void* object) const { return Object == object; }
};

struct TLobbyMember {
    std::string Nick;
    TNetPeerThread* Thread;
};

// The lobby list's re-entrant lock. Usable with std::lock_guard / std::unique_lock like a
// std::recursive_mutex; it also counts how deep the holding thread is, so that lobbies
// removed meanwhile are destroyed when the outermost holder unlocks (see above).
class TLobbyLock {
  public:
    TLobbyLock();
    ~TLobbyLock();
    TLobbyLock(const TLobbyLock&) = delete;
    TLobbyLock& operator=(const TLobbyLock&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    // The caller holds the lock; the lobby is destroyed at the outermost unlock.
    void Retire(std::unique_ptr<TLobby> lobby);

  private:
    std::recursive_mutex mutex_;
    int depth_ = 0;                                 // guarded by mutex_
    std::vector<std::unique_ptr<TLobby>> retired_;  // guarded by mutex_
};

class TLobby {
  public:
    TLobby(TLobbyList& owner, std::string name, std::string description, bool isPrivate);
    ~TLobby();

    TLobbyList& Owner;
    std::string Name;
    std::string Description;
    std::vector<TLobbyMember> Members;  // guarded by Owner.Lock()
    bool IsPrivate;
    bool UserCreated = false;

    bool AddMember(const std::string& nick, TNetPeerThread* thread, const std::string& msg);
    bool RemoveMember(TNetPeerThread& thread, const std::string& msg);
    void SendToMembers(const std::string& line);
    int MemberCount() const;
    bool HasMember(const TNetPeerThread& thread) const;
    bool HasNick(const std::string& nick) const;  // without regard to letter case

  private:
    void SendJoinReplies(const std::string& nick, TNetPeerThread& thread, const std::string& msg);
    // Private lobbies tell their members, public ones every registered user.
    void Announce(const std::string& line);
};

struct TUserEntry {
    std::string Nick;
    TNetPeerThread* Thread;
};

class TLobbyList {
  public:
    explicit TLobbyList(TNetIRCServer& server);
    ~TLobbyList();
    TLobbyList(const TLobbyList&) = delete;
    TLobbyList& operator=(const TLobbyList&) = delete;

    TLobbyLock& Lock() const { return lock_; }

    static constexpr std::size_t MaxLobbyNameLength = 64;
    static constexpr int MaxLobbiesPerConnection = 20;

    TNetIRCServer& Server;
    std::atomic<bool> AllowCreate{false};
    std::atomic<bool> Modified{false};

    // Callers hold Lock() while they use these two, and while they use a TLobby* or a
    // TNetPeerThread* taken from them.
    const std::vector<std::unique_ptr<TLobby>>& Lobbies() const { return lobbies_; }
    const std::list<TUserEntry>& Users() const { return users_; }
    int UserCount() const;

    int LobbyCount() const;
    TLobby* GetLobby(int index) const;
    int IndexOfLobbyName(const std::string& name) const;
    TLobby* FindLobby(const std::string& name) const;
    int IndexOfLobby(const TLobby* lobby) const;
    int AddLobby(TLobbySender sender, std::string name, const std::string& description,
                 bool userCreated, bool isPrivate);
    void RemoveLobby(TLobbySender sender, TLobby* lobby);
    void RemoveLobbyByName(TLobbySender sender, const std::string& name);

    bool AddUser(TNetPeerThread& thread);
    std::string NickOf(const TNetPeerThread& thread) const;
    // The connection has registered a nick; the caller holds Lock(). A fan-out to every
    // registered user asks once per recipient, so this reads the connection alone.
    static bool IsRegisteredLocked(const TNetPeerThread& thread);
    // The connection registered under exactly this nick (letter case included), or null;
    // the caller holds Lock().
    const TNetPeerThread* ThreadOfNickLocked(const std::string& nick);
    bool SetNick(TNetPeerThread& thread, const std::string& nick);

    bool JoinLobby(TNetPeerThread& thread, std::string lobbyName, const std::string& msg);
    // A player's own JOIN: refused with a notice when the connection is in as many lobbies
    // as it may be, or would create a lobby with too long a name; otherwise JoinLobby.
    bool JoinByCommand(TNetPeerThread& thread, const std::string& lobbyName);
    bool PartLobby(TNetPeerThread& thread, TLobby& lobby, const std::string& msg);
    bool PartLobbyByNick(const std::string& nick, const std::string& lobbyName,
                         const std::string& msg);
    void PartAll(TLobby& lobby, const std::string& msg);

    bool QuitUser(TNetPeerThread& thread, const std::string& msg);
    bool QuitUserByNick(const std::string& nick, const std::string& msg);
    void QuitAll(const std::string& msg);
    // Takes the connection out of every member list and the registry without a line or an
    // event: what ends every connection, whatever happened before (a stop, a handler that
    // failed during its quit), before its thread lets go of it.
    void Forget(TNetPeerThread& thread);
    void PrivMsg(TNetPeerThread& thread, const std::string& params);

  private:
    // Registration steps of SetNick, each a refusal or a go-ahead; the caller holds lock_.
    bool NickAllowedByRule(TNetPeerThread& thread, const std::string& nick);
    bool NickInUse(const std::string& nick);
    void RefuseConnection(TNetPeerThread& thread, std::initializer_list<const char*> lines);
    void SendWelcome(TNetPeerThread& thread, const std::string& nick);
    void RemoveEntry(TNetPeerThread& thread);
    // A player may create a lobby of this name (see Limits above); tells it why not.
    bool MayCreate(TNetPeerThread& thread, const std::string& name);
    std::list<TUserEntry>::iterator FindEntryByNick(const std::string& nick);

    mutable TLobbyLock lock_;
    std::vector<std::unique_ptr<TLobby>> lobbies_;  // guarded by lock_
    // The registry in registration order, and an index by nick (folded to lower case,
    // registered nicks only) so that a registration's uniqueness test is constant time.
    // Each connection's own place in it is kept in its chat state (chat/ChatPeer.h).
    // Both guarded by lock_.
    std::list<TUserEntry> users_;
    std::unordered_map<std::string, std::list<TUserEntry>::iterator> nickIndex_;
};
