#include "UserWrite.h"

#include <mutex>

#include "chat/NetIrcServer.h"

TNetPeerThread* FindRegisteredUser(const TLobbyList& store, const std::string& nick) {
    for (const TUserEntry& user : store.Users())
        if (!user.Nick.empty() && SameNick(user.Nick, nick)) return user.Thread;
    return nullptr;
}

bool WriteToUser(TLobbyList& store, const TNetPeerThread* thread, const std::string& nick,
                 const std::string& line) {
    std::lock_guard lock(store.Lock());
    for (const TUserEntry& user : store.Users()) {
        if (user.Thread != thread) continue;
        if (!SameNick(user.Nick, nick)) return false;  // the connection became someone else
        user.Thread->Connection().WriteLine(line);
        return true;
    }
    return false;
}
