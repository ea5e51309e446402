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

// The relay does not route by target: the line goes to every other connection and each
// client picks out what concerns it. OnChat may withhold it (the report lobby).
void TLobbyList::PrivMsg(TNetPeerThread& thread, const std::string& params) {
    std::lock_guard guard(lock_);
    bool allowSend = true;
    if (Server.OnChat) {
        std::string target;
        std::string text;
        SplitTarget(params, target, text);
        Server.OnChat(thread, FindLobby(target), text, allowSend);
    }
    if (!allowSend) return;
    const std::string nick = NickOf(thread);
    NetMetrics().LinesRelayed.Add();
    Server.BroadcastExcept(
        nick, chat::UserPrefix(nick, thread) + " PRIVMSG " + WithoutLineBreaks(params));
}

// Holds the lobby lock (so the nicks it reads cannot change under it) and then PeerThreads
// (so no connection is released while it is written). The lines only wait in the writing
// thread's fan-out (net/NetFanOut.h), so neither lock waits on the network; a thread
// without one (the console) uses its own here, which hands a wide broadcast to the
// flusher threads. A recipient that is closed or fails is skipped; its own thread
// notices the close and quits it.
void TNetIRCServer::BroadcastExcept(const std::string& exceptNick, const std::string& line) {
    std::optional<TNetFanOut> local;
    TNetFanOut* fanOut = TNetFanOut::Current();
    if (fanOut == nullptr) fanOut = &local.emplace();
    std::lock_guard lobbyGuard(LobbyStore().Lock());
    TNetThreadList& peers = PeerThreads();
    std::lock_guard peersGuard(peers.Mutex());
    std::string wire;
    wire.reserve(line.size() + 2);
    wire.append(line).append("\r\n");
    // Registered nicks are unique, so a non-empty exceptNick leaves out at most one
    // connection, found once; only the empty one needs a look at every recipient.
    if (!exceptNick.empty()) {
        const TNetPeerThread* except = LobbyStore().ThreadOfNickLocked(exceptNick);
        for (TNetPeerThread* peer : peers.Items()) {
            if (peer != except) fanOut->Write(peer->Connection(), wire);
        }
        return;
    }
    for (TNetPeerThread* peer : peers.Items()) {
        if (TLobbyList::IsRegisteredLocked(*peer)) fanOut->Write(peer->Connection(), wire);
    }
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
