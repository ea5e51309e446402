// The command table and its dispatcher, with the seven built-in handlers. The table is
// data: one row per command name with the number of words its event takes, the event and
// the built-in fallback. Runs on the connection's own thread.
#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <string_view>
#include <utility>
#include <variant>

#include "ChatLines.h"
#include "NetIrcServer.h"

namespace {

using TBuiltIn = void (*)(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest);

// A command event of the server, whatever its number of text parameters (0 to 5).
using TEventSlot =
    std::variant<TNetIrcGetEvent TNetIRCServer::*, TNetIrcOneParmEvent TNetIRCServer::*,
                 TNetIrcTwoParmEvent TNetIRCServer::*, TNetIrcThreeParmEvent TNetIRCServer::*,
                 TNetIrcUserEvent TNetIRCServer::*, TNetIrcFiveParmEvent TNetIRCServer::*>;

struct TCommandRow {
    std::string_view Name;
    int Words;  // words split off the rest before the remainder; GetEvent: rest dropped
    TEventSlot Event;
    TBuiltIn BuiltIn;  // null: the not-handled reply
};

// --- built-in handlers -------------------------------------------------------------------

void BuiltInUser(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest) {
    SplitWord(rest);  // the user name: not kept
    if (!server.LobbyStore().AddUser(thread)) {
        chat::SendLine(thread, "***Error: Connection already in use!");
    }
}

void BuiltInNick(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest) {
    server.LobbyStore().SetNick(thread, rest);
}

void BuiltInList(TNetIRCServer& server, TNetPeerThread& thread, std::string&) {
    server.SendLobbyList(thread);
}

void BuiltInJoin(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest) {
    server.LobbyStore().JoinByCommand(thread, rest);
}

void BuiltInPart(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest) {
    TLobbyList& store = server.LobbyStore();
    // Held from the lookup to the part, so the lobby cannot go in between.
    std::lock_guard guard(store.Lock());
    if (TLobby* lobby = store.FindLobby(rest)) store.PartLobby(thread, *lobby, "");
}

void BuiltInPrivMsg(TNetIRCServer& server, TNetPeerThread& thread, std::string& rest) {
    server.LobbyStore().PrivMsg(thread, rest);
}

void BuiltInQuit(TNetIRCServer& server, TNetPeerThread& thread, std::string&) {
    thread.Connection().CloseNote.Note(TNetCloseReason::Quit);
    server.LobbyStore().QuitUser(thread, "");
}

// --- the table ---------------------------------------------------------------------------

using S = TNetIRCServer;

constexpr std::array<TCommandRow, 40> CommandTable{{
    {"ADMIN", 0, &S::OnCommandAdmin, nullptr},
    {"AWAY", 0, &S::OnCommandAway, nullptr},
    {"CONNECT", 2, &S::OnCommandConnect, nullptr},
    {"ERROR", 0, &S::OnCommandError, nullptr},
    {"INFO", 0, &S::OnCommandInfo, nullptr},
    {"INVITE", 1, &S::OnCommandInvite, nullptr},
    {"ISON", 0, &S::OnCommandIsOn, nullptr},
    {"JOIN", 1, &S::OnCommandJoin, BuiltInJoin},
    {"KICK", 2, &S::OnCommandKick, nullptr},
    {"KILL", 1, &S::OnCommandKill, nullptr},
    {"LINKS", 1, &S::OnCommandLinks, nullptr},
    {"LIST", 1, &S::OnCommandList, BuiltInList},
    {"MODE", 4, &S::OnCommandMode, nullptr},
    {"NAMES", 0, &S::OnCommandNames, nullptr},
    {"NICK", 1, &S::OnCommandNick, BuiltInNick},
    {"NOTICE", 1, &S::OnCommandNotice, nullptr},
    {"OPER", 1, &S::OnCommandOper, nullptr},
    {"PART", 0, &S::OnCommandPart, BuiltInPart},
    {"PASS", 0, &S::OnCommandPass, nullptr},
    {"PING", 1, &S::OnCommandPing, nullptr},
    {"PONG", 1, &S::OnCommandPong, nullptr},
    {"PRIVMSG", 1, &S::OnCommandPrivMsg, BuiltInPrivMsg},
    {"QUIT", 0, &S::OnCommandQuit, BuiltInQuit},
    {"REHASH", 0, &S::OnCommandRehash, nullptr},
    {"RESTART", 0, &S::OnCommandRestart, nullptr},
    {"SERVER", 2, &S::OnCommandServer, nullptr},
    {"SQUIT", 1, &S::OnCommandSQuit, nullptr},
    {"STATS", 1, &S::OnCommandStats, nullptr},
    {"SUMMON", 1, &S::OnCommandSummon, nullptr},
    {"TIME", 0, &S::OnCommandTime, nullptr},
    {"TOPIC", 1, &S::OnCommandTopic, nullptr},
    {"TRACE", 0, &S::OnCommandTrace, nullptr},
    {"USER", 3, &S::OnCommandUser, BuiltInUser},
    {"USERHOST", 0, &S::OnCommandUserHost, nullptr},
    {"USERS", 0, &S::OnCommandUsers, nullptr},
    {"VERSION", 0, &S::OnCommandVersion, nullptr},
    {"WALLOPS", 0, &S::OnCommandWallops, nullptr},
    {"WHO", 1, &S::OnCommandWho, nullptr},
    {"WHOIS", 1, &S::OnCommandWhoIs, nullptr},
    {"WHOWAS", 2, &S::OnCommandWhoWas, nullptr},
}};

// --- checking the table at compile time ------------------------------------------------------

template <class Slot>
struct TSlotArity;
template <class... Args>
struct TSlotArity<std::function<void(TNetPeerThread&, Args...)> TNetIRCServer::*> {
    static constexpr int Value = static_cast<int>(sizeof...(Args));
};

// An event with n text parameters takes n - 1 words and the remainder; one with none
// takes nothing.
constexpr bool WordsMatchEvents() {
    for (const TCommandRow& row : CommandTable) {
        const int arity =
            std::visit([](auto slot) { return TSlotArity<decltype(slot)>::Value; }, row.Event);
        const int expected = arity == 0 ? 0 : arity - 1;
        if (row.Words != expected) return false;
    }
    return true;
}
static_assert(WordsMatchEvents(), "a command row's word count does not fit its event");

constexpr bool NamesSortedAndUpper() {
    for (std::size_t i = 1; i < CommandTable.size(); ++i) {
        if (!(CommandTable[i - 1].Name < CommandTable[i].Name)) return false;
    }
    for (const TCommandRow& row : CommandTable) {
        for (char c : row.Name) {
            if (c < 'A' || c > 'Z') return false;
        }
    }
    return true;
}
static_assert(NamesSortedAndUpper(), "command names must be unique capitals");

// --- dispatch --------------------------------------------------------------------------

const TCommandRow* FindCommand(const std::string& key) {
    auto it = std::lower_bound(CommandTable.begin(), CommandTable.end(), key,
                               [](const TCommandRow& row, const std::string& k) {
                                   return row.Name < std::string_view(k);
                               });
    if (it == CommandTable.end() || it->Name != key) return nullptr;
    return &*it;
}

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

template <class... Args, std::size_t... I>
void CallWith(const std::function<void(TNetPeerThread&, Args...)>& event, TNetPeerThread& thread,
              std::array<std::string, sizeof...(Args)>& args, std::index_sequence<I...>) {
    event(thread, args[I]...);
}

// Splits the row's words off the rest (only now that the event is known to be assigned)
// and calls the event with them and the remainder. False when the event is unassigned.
template <class... Args>
bool RaiseEvent(const std::function<void(TNetPeerThread&, Args...)>& event, int words,
                TNetPeerThread& thread, std::string& rest) {
    if (!event) return false;
    constexpr std::size_t count = sizeof...(Args);
    std::array<std::string, count> args;
    if constexpr (count > 0) {
        for (int i = 0; i < words; ++i) args[static_cast<std::size_t>(i)] = SplitWord(rest);
        args[count - 1] = rest;
    }
    CallWith(event, thread, args, std::make_index_sequence<count>());
    return true;
}

}  // namespace

void TNetIRCServer::DispatchCommand(TNetPeerThread& thread, std::string& command,
                                    std::string& rest) {
    const TCommandRow* row = FindCommand(UpperAscii(command));
    if (row == nullptr) {
        if (OnCommandOther) OnCommandOther(thread, command, rest);
        return;
    }
    const bool raised = std::visit(
        [&](auto slot) { return RaiseEvent(this->*slot, row->Words, thread, rest); }, row->Event);
    if (raised) return;
    if (row->BuiltIn != nullptr) {
        row->BuiltIn(*this, thread, rest);
        return;
    }
    chat::SendLine(thread, "421 Command not handled: " + std::string(row->Name));
}
