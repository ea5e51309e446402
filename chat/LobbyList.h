// The shared state of the chat server: the lobbies with their members and the registry
// of connections that introduced themselves. Safe to call from any thread.
//
// Serialisation: one re-entrant lock (Lock()) guards the lobbies, their members and the
// registry. Every public operation of TLobbyList and TLobby takes it for its whole run and
// holds it while raising events, so handlers may call back in.
//
// The lock order of the whole program, outermost first: a thread holding one of these
// takes only locks further down the list. This is the one table of every lock of the
// program; every other header points here.
//   0. activation (TNetTCPServer's activeMutex_): serialises SetActive, and is held while
//      deactivation waits up to TerminateWaitTime (5 s) for the peer threads to end and
//      while it joins finished ones. So it is taken holding no other lock, on the UI
//      thread or on a peer thread (a remote shutdown), and a peer thread's steps never
//      wait for it while holding anything.
//   1. the lobby-list lock (TLobbyList::Lock(), re-entrant), or the sweep's pass lock
//      (TNetIRCServer's sweepMutex_, try_lock only, held for a whole sweep); never both
//   2. the console's state lock (console/ConsoleModel.h)
//   3. PeerThreads (TNetTCPServer::PeerThreads().Mutex())
//   4. a connection's own lock (TNetTCPConnection)
//   5. its output queue's lock (net/NetOutputQueue.h), then the broadcast stream's lock
//      (net/NetBroadcast.h; a writer takes it under 1, a queue copying entries under 5)
//   6. the flusher threads' own locks (net/NetFlusher.h: a shard's registry, then its
//      ready list), and a socket handle's lock (net/NetSocketHandle.h)
// Thread objects: TNetThread's joinMutex_ is held across pthread_join, so a joiner (the
// manager's ReapFinished, under activation) waits with it for a thread's last steps,
// which take neither it nor activation; TNetThread's own lock and the thread manager's
// (TNetThreadMgr) guard their lists and flags only, and nobody joins or waits under them.
// Leaf locks, under which nothing is taken and nobody waits on another thread: the
// server's admission lock and sweep timer lock, the socket layer's start-up lock, and in
// the console the disk writer's and log echo's queue locks and the timestamp lock (taken
// under the state lock), the report file's lock, the guess record's lock and the
// settings file's write lock (these three held over their file operations, never under
// 1 to 5), the shown server's journal (console/ShownJournal.h, taken under 1 and 2) and
// the guessing limit of code words and admin logins (console/FailureLimit.h). Nobody waits on a socket, on the disk, for the UI thread or for a flusher pass
// while holding any lock from 1 to 5.
//
// Writes: a line written here is queued for its recipient at once and sent after the lock
// is released (where it waits and who sends it: net/NetFanOut.h). A failed write to one
// recipient is skipped and never ends the operation; that recipient's own disconnect
// handling quits it. Changes once made stay made.
//
// Lobby lifetime: a removed lobby leaves Lobbies() at once but is destroyed only when the
// outermost holder of Lock() lets go of it. Operations and event handlers further up the
// same call chain may still hold a reference to it (a handler of OnUserPart may remove the
// lobby that PartAll is walking), and those references stay valid until then.
//
// Limits against players bloating the shared state. Only a registered connection may
// create a lobby. A connection holds the lobbies it is a member of and those it created
// that still exist, in them or not, and may hold at most MaxLobbiesPerConnection; its
// hold ends with the connection. Players' lobbies (JOIN of a new name, the private-lobby
// command) have names of at most MaxLobbyNameLength bytes, and at most MaxPlayerLobbies
// of them exist at once, whoever made them. Lobbies of the operator are not limited.
#pragma once

#include <atomic>
#include <cstdint>
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
class TNetFanOut;

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
    // Never shared by two lobbies of one run of the program, not even after one of them
    // is destroyed: what a view or a command keeps to find its lobby again, where the
    // address could by then be another lobby's.
    const std::uint64_t Serial;
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
    friend class TLobbyList;
    void SendJoinReplies(const std::string& nick, TNetPeerThread& thread, const std::string& msg);
    // Private lobbies tell their members, public ones every registered user.
    void Announce(const std::string& line);

    // Guarded by Owner.Lock(). The connection that created the lobby while it is open
    // (the lobby counts against its limit, see above), or null.
    TNetPeerThread* creator_ = nullptr;
    bool byPlayer_ = false;  // counts against MaxPlayerLobbies
    bool listed_ = false;    // in Owner.Lobbies(): a removed lobby is retired, not listed
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
    static constexpr std::size_t MaxNickLength = 64;
    static constexpr int MaxLobbiesPerConnection = 20;
    // Players' lobbies that may exist at once (see above). Set before activation.
    int MaxPlayerLobbies = 1000;

    TNetIRCServer& Server;
    std::atomic<bool> AllowCreate{false};
    // Chat routed by target instead of relayed to every connection (see PrivMsg in
    // chat/Relay.cpp); off unless the operator chooses it.
    std::atomic<bool> RouteChat{false};
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
    // The listed lobby of that serial number, or null.
    TLobby* FindLobbyBySerial(std::uint64_t serial) const;
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
    // Registered connections only.
    bool MayCreate(TNetPeerThread& thread, const std::string& name);
    std::list<TUserEntry>::iterator FindEntryByNick(const std::string& nick);
    // The routed relay: the line (with its CR LF) to the lobby's members or the nick that
    // target names, never to the sender; the caller holds lock_.
    void RouteLocked(TNetFanOut& fanOut, TNetPeerThread& sender, const std::string& target,
                     const std::string& wire);

    mutable TLobbyLock lock_;
    std::vector<std::unique_ptr<TLobby>> lobbies_;  // guarded by lock_
    int playerLobbies_ = 0;  // guarded by lock_: listed lobbies with byPlayer_
    // The registry in registration order, and an index by nick (folded to lower case,
    // registered nicks only) so that a registration's uniqueness test is constant time.
    // Each connection's own place in it is kept in its chat state (chat/ChatPeer.h).
    // Both guarded by lock_.
    std::list<TUserEntry> users_;
    std::unordered_map<std::string, std::list<TUserEntry>::iterator> nickIndex_;
};
