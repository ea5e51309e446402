// The shared state of the chat server: the lobbies with their members and the registry
// of connections that introduced themselves. Safe to call from any thread.
//
// Serialisation: one re-entrant lock (Lock()) guards the lobbies, their members and the
// registry. Every public operation of TLobbyList and TLobby takes it for its whole run and
// holds it while raising events, so handlers may call back in. Lock order of the program:
// this lock, then the console's state lock, then PeerThreads, then a connection's lock.
// Code holding PeerThreads or a console lock must never take this one.
//
// Writes: lines go out through the connections' non-blocking queues, so holding the lock
// across a fan-out never waits on the network. A failed write to one recipient of a
// fan-out is skipped; that recipient's own disconnect handling quits it.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class TNetPeerThread;
class TNetIRCServer;
class TLobbyList;

// Spaces become "_"; ":", "@", "!" and every byte below 32 are deleted. In place.
void SanitizeName(std::string& name);
// Nick comparison: without regard to ASCII letter case.
bool SameNick(const std::string& a, const std::string& b);

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

    std::recursive_mutex& Lock() const { return lock_; }

    TNetIRCServer& Server;
    std::atomic<bool> AllowCreate{false};
    std::atomic<bool> Modified{false};

    // Callers hold Lock() while they use these two.
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
    bool SetNick(TNetPeerThread& thread, const std::string& nick);

    bool JoinLobby(TNetPeerThread& thread, std::string lobbyName, const std::string& msg);
    bool PartLobby(TNetPeerThread& thread, TLobby& lobby, const std::string& msg);
    bool PartLobbyByNick(const std::string& nick, const std::string& lobbyName,
                         const std::string& msg);
    void PartAll(TLobby& lobby, const std::string& msg);

    bool QuitUser(TNetPeerThread& thread, const std::string& msg);
    bool QuitUserByNick(const std::string& nick, const std::string& msg);
    void QuitAll(const std::string& msg);
    void PrivMsg(TNetPeerThread& thread, const std::string& params);

private:
    mutable std::recursive_mutex lock_;
    std::vector<std::unique_ptr<TLobby>> lobbies_;  // guarded by lock_
    // The registry in registration order, with an index by connection beside it so that
    // a fan-out's per-recipient NickOf is constant time. Both guarded by lock_.
    std::list<TUserEntry> users_;
    std::unordered_map<const TNetPeerThread*, std::list<TUserEntry>::iterator> userIndex_;
};
