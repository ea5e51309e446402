// A connection's chat state: the peer thread of the chat server, made by its
// PeerThreadClass factory, carrying where the connection stands in registration and, once
// registered, its nick. State() may be read from any thread without a lock (the
// connection loop asks it before every read); the nick and the registry position are
// guarded by the lobby-list lock and changed only by the registry (chat/Registration.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "net/NetPeerThread.h"

struct TUserEntry;

class TChatPeer : public TNetPeerThread {
  public:
    enum class TState : std::uint8_t {
        NoEntry,     // not in the registry
        UserSent,    // in the registry with an empty nick (USER, no NICK yet)
        Registered,  // in the registry with its nick
    };

    TChatPeer() : TNetPeerThread(true) {}

    TState State() const { return state_.load(std::memory_order_acquire); }
    bool Registered() const { return State() == TState::Registered; }

    // The chat state of a chat server's peer thread: every peer thread of a TNetIRCServer
    // is a TChatPeer.
    static TChatPeer& Of(TNetPeerThread& thread) { return static_cast<TChatPeer&>(thread); }
    static const TChatPeer& Of(const TNetPeerThread& thread) {
        return static_cast<const TChatPeer&>(thread);
    }

  private:
    friend class TLobbyList;
    friend class TLobby;
    void SetState(TState state) { state_.store(state, std::memory_order_release); }

    std::atomic<TState> state_{TState::NoEntry};
    std::string nick_;  // guarded by the lobby-list lock; empty unless Registered
    std::list<TUserEntry>::iterator entry_;  // guarded by the lobby-list lock; valid unless NoEntry
    // Guarded by the lobby-list lock: the lobbies the connection holds, those it is a
    // member of and those it created that still exist (chat/LobbyList.h, limits).
    int held_ = 0;
};
