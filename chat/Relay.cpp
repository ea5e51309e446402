// Chat relay and fan-out: PRIVMSG, BroadcastExcept, the lobby listing, and the helpers
// that every part of the core writes its lines with.
#include <algorithm>
#include <mutex>
#include <optional>

#include "ChatLines.h"
#include "LobbyList.h"
#include "NetIrcServer.h"
#include "net/NetException.h"
#include "net/NetFanOut.h"

namespace chat {

void SendLine(TNetPeerThread& thread, std::string_view line) {
    TNetTCPServerConnection& connection = thread.Connection();
    try {
        connection.WriteLine(line);
    } catch (const ENetConnClosedGracefully&) {
        // Already closed: the connection's own thread is ending and will quit the user.
    } catch (const ENetSocketError&) {
        // Broken: close it so that its thread ends and quits the user like a lost one.
        try {
            connection.Disconnect();
        } catch (const ENetException&) {
        }
    }
}

std::string UserPrefix(const std::string& nick, TNetPeerThread& thread) {
    return ":" + nick + "!user@" + thread.Connection().PeerAddress();
}

std::string Numeric(const TNetIRCServer& server, const char* code, const std::string& nick) {
    return ":" + server.Host + " " + code + " " + nick;
}

}  // namespace chat

namespace {

// CR and NUL inside a relayed text could end or cut the line at a receiving client; they
// become spaces. LF cannot occur here: it ends the line that carried the text.
std::string WithoutLineBreaks(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\0'; }, ' ');
    return text;
}

// The target of a PRIVMSG and its text: split at the first " :"; no " :" means the whole
// parameter text is the target and the text is empty.
void SplitTarget(const std::string& params, std::string& target, std::string& text) {
    const auto colon = params.find(" :");
    if (colon == std::string::npos) {
        target = params;
        text.clear();
        return;
    }
    target = params.substr(0, colon);
    text = params.substr(colon + 2);
}

}  // namespace

// The relay does not route by target unless RouteChat is on: the line goes to every other
// connection and each client picks out what concerns it. OnChat may withhold it (the
// report lobby). Routed, the same line reaches only those it is addressed to.
void TLobbyList::PrivMsg(TNetPeerThread& thread, const std::string& params) {
    // Made before the lock and so flushed after it is released, like BroadcastExcept's.
    std::optional<TNetFanOut> local;
    std::lock_guard guard(lock_);
    const bool route = RouteChat;
    bool allowSend = true;
    std::string target;
    if (Server.OnChat || route) {
        std::string text;
        SplitTarget(params, target, text);
        if (Server.OnChat) Server.OnChat(thread, FindLobby(target), text, allowSend);
    }
    if (!allowSend) return;
    const std::string nick = NickOf(thread);
    NetMetrics().LinesRelayed.Add();
    std::string line = chat::UserPrefix(nick, thread) + " PRIVMSG " + WithoutLineBreaks(params);
    if (!route) {
        Server.BroadcastExcept(nick, line);
        return;
    }
    TNetFanOut* fanOut = TNetFanOut::Current();
    if (fanOut == nullptr) fanOut = &local.emplace();
    RouteLocked(*fanOut, thread, target, line.append("\r\n"));
}

// A lobby's name wins over a nick, as OnChat's lookup does. Members and registry entries
// stay valid under lock_: a connection leaves both (Forget) before its thread lets go of
// it. Every recipient is registered and is not the sender, so each gets what the full
// relay would have sent it, and nobody else gets anything.
void TLobbyList::RouteLocked(TNetFanOut& fanOut, TNetPeerThread& sender, const std::string& target,
                             const std::string& wire) {
    if (const TLobby* lobby = FindLobby(target)) {
        for (const TLobbyMember& member : lobby->Members) {
            if (member.Thread != &sender) fanOut.Write(member.Thread->Connection(), wire);
        }
        return;
    }
    if (target.empty()) return;  // "" would find a connection that has no nick yet
    const auto entry = FindEntryByNick(target);
    if (entry != users_.end() && entry->Thread != &sender)
        fanOut.Write(entry->Thread->Connection(), wire);
}

// Holds the lobby lock, so the nicks it reads and the registrations that the stream's
// entries for registered users are judged by cannot change under it. The line is written
// once, into the server's broadcast stream (net/NetFanOut.h, "Lines for everybody"), and
// reaches the connections of PeerThreads at this moment; a thread without a fan-out (the
// console) uses one of its own here. A recipient that is closed or fails is skipped; its
// own thread notices the close and quits it.
void TNetIRCServer::BroadcastExcept(const std::string& exceptNick, const std::string& line) {
    std::optional<TNetFanOut> local;
    TNetFanOut* fanOut = TNetFanOut::Current();
    if (fanOut == nullptr) fanOut = &local.emplace();
    std::lock_guard lobbyGuard(LobbyStore().Lock());
    std::string wire;
    wire.reserve(line.size() + 2);
    wire.append(line).append("\r\n");
    TNetBroadcast& stream = PeerThreads().Broadcast();
    // A non-empty exceptNick leaves out the one connection registered under it (nicks
    // are unique), and reaches every other one, registered or not.
    if (!exceptNick.empty()) {
        const TNetPeerThread* except = LobbyStore().ThreadOfNickLocked(exceptNick);
        fanOut->WriteAll(stream, wire, TNetBroadcast::TAudience::AllBut,
                         except != nullptr ? &except->Connection() : nullptr);
        return;
    }
    fanOut->WriteAll(stream, wire, TNetBroadcast::TAudience::Registered, nullptr);
}

void TNetIRCServer::SendLobbyList(TNetPeerThread& thread) {
    TLobbyList& store = LobbyStore();
    std::lock_guard guard(store.Lock());
    const std::string nick = store.NickOf(thread);
    chat::SendLine(thread, chat::Numeric(*this, "321", nick) + " Channel :Users  Name");
    for (const auto& lobby : store.Lobbies()) {
        if (lobby->IsPrivate) continue;
        chat::SendLine(thread, chat::Numeric(*this, "322", nick) + " " + lobby->Name + " " +
                                   std::to_string(lobby->MemberCount()) + " :" +
                                   lobby->Description);
    }
    chat::SendLine(thread, chat::Numeric(*this, "323", nick) + " :End of /LIST");
}
