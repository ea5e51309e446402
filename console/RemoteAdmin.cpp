#include "RemoteAdmin.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "OperatorLines.h"
#include "chat/NetIrcServer.h"
#include "net/NetAddressGroup.h"
#include "net/NetFanOut.h"

namespace {

const std::string PrivateCommand = "private";
const std::string NoLobbyName = "***Error: Please give that lobby a name!";
constexpr std::chrono::milliseconds CountdownSlice{50};

// Writes a multi-line reply as one block so that no broadcast from another connection
// lands between its lines.
void WriteLines(TNetPeerThread& thread, const std::string& first,
                const std::vector<std::string>& body, const std::string& last) {
    std::string block = first + "\r\n";
    for (const std::string& line : body) block += line + "\r\n";
    block += last + "\r\n";
    thread.Connection().WriteText(block);
}

std::string WithHash(const std::string& name) {
    return !name.empty() && name.front() == '#' ? name : "#" + name;
}

}  // namespace

const std::array<TRemoteAdmin::TAdminCode, 13> TRemoteAdmin::AdminCodes = {{
    {"4102!8317", &TRemoteAdmin::AdminSendReport, "***Error opening report file: "},
    {"5530!2196", &TRemoteAdmin::AdminClearReport, "***Error clearing report file: "},
    {"6274!1083", &TRemoteAdmin::AdminKick, "Exception: "},
    {"7391!4650", &TRemoteAdmin::AdminMessage, "Exception: "},
    {"8126!3907", &TRemoteAdmin::AdminPartLobby, "Exception: "},
    {"9043!5712", &TRemoteAdmin::AdminKickAll, "Exception: "},
    {"3619!8824", &TRemoteAdmin::AdminAddLobby, "Exception: "},
    {"2758!6041", &TRemoteAdmin::AdminAddPrivateLobby, "Exception: "},
    {"1485!9370", &TRemoteAdmin::AdminRemoveLobby, "Exception: "},
    {"6932!2518", &TRemoteAdmin::AdminSaveLobbies, "Error saving lobbylist: "},
    {"5207!7463", &TRemoteAdmin::AdminSendLog, "Exception: "},
    {"8841!0295", &TRemoteAdmin::AdminShutdown, "Exception: "},
    {"7710!3384", &TRemoteAdmin::AdminListLobbies, "Exception: "},
}};

TRemoteAdmin::TRemoteAdmin(TAdminHost& host, TRemoteAdminTiming timing)
    : host_(host),
      report_(host.ProgramDir()),
      timing_(std::move(timing)),
      guesses_({MaxFailedGuesses, GuessWindow, LockOutTime}, timing_.Now) {}

bool TRemoteAdmin::IsCodeShaped(const std::string& word) {
    if (word.size() != 9 || word[4] != '!') return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return std::all_of(word.begin(), word.begin() + 4, digit) &&
           std::all_of(word.begin() + 5, word.end(), digit);
}

void TRemoteAdmin::HandleCommand(TNetPeerThread& Thread, const std::string& Command,
                                 const std::string& Parm) {
    if (!Thread.Connection().IsConnected()) return;
    if (Command == PrivateCommand) {
        PrivateLobby(Thread, Parm);
        return;
    }
    // Every code is code-shaped, so other words can be dropped before the guess record.
    if (!codesEnabled_ || !IsCodeShaped(Command)) return;

    const std::string& address = Thread.Connection().PeerAddress();
    int row = -1;
    switch (CheckCode(AddressGroup(address), Command, row)) {
        case TVerdict::Refused:
        case TVerdict::NoMatch:
            NetMetrics().CodeWordsRefused.Add();
            return;
        case TVerdict::NoMatchLockedOut:
            NetMetrics().CodeWordsRefused.Add();
            host_.AddLog("Admin code refused for " + address);
            return;
        case TVerdict::Match:
            break;
    }

    const TAdminCode& code = AdminCodes[static_cast<std::size_t>(row)];
    try {
        (this->*code.Action)(Thread, Parm);
    } catch (const std::exception& e) {
        // A failed write to the sender fails here again and leaves, as it should: the
        // core then ends the connection like any other failed write.
        Thread.Connection().WriteLine(code.ErrorPrefix + std::string(e.what()));
    }
}

// The comparison runs under the limit's lock, so that concurrent guesses from one address
// cannot slip more than MaxFailedGuesses past it.
TRemoteAdmin::TVerdict TRemoteAdmin::CheckCode(const std::string& address, const std::string& word,
                                               int& row) {
    const auto compare = [&] {
        ++evaluations_;
        for (std::size_t i = 0; i < AdminCodes.size(); ++i) {
            if (word == AdminCodes[i].Code) {
                row = static_cast<int>(i);
                return true;
            }
        }
        return false;
    };
    switch (guesses_.Attempt(address, compare)) {
        case TFailureLimit::TVerdict::LockedOut:
            return TVerdict::Refused;
        case TFailureLimit::TVerdict::Passed:
            return TVerdict::Match;
        case TFailureLimit::TVerdict::Failed:
            return TVerdict::NoMatch;
        case TFailureLimit::TVerdict::FailedNowLockedOut:
            break;
    }
    return TVerdict::NoMatchLockedOut;
}

void TRemoteAdmin::PrivateLobby(TNetPeerThread& Thread, const std::string& Parm) {
    if (!host_.AllowCreateOption()) return;
    std::string name = Parm;
    SanitizeName(name);
    if (name.empty()) {
        Thread.Connection().WriteLine(NoLobbyName);
        return;
    }
    name = WithHash(name);

    TLobbyList& lobbies = host_.IrcServer().LobbyStore();
    const std::string nick = lobbies.NickOf(Thread);
    // A lobby made for a connection that cannot join it would only stay behind empty:
    // unregistered connections create nothing, and are told as JOIN tells them.
    if (nick.empty()) {
        Thread.Connection().WriteLine("***Error: You are not logged on!");
        return;
    }
    const std::string description = "Private lobby created by " + nick;
    if (lobbies.AddLobby(TLobbySender::Peer(Thread), name, description, true, true) < 0) {
        Thread.Connection().WriteLine("***Error adding lobby " + name);
        return;
    }
    lobbies.JoinLobby(Thread, name, "");
}

void TRemoteAdmin::AdminSendReport(TNetPeerThread& Thread, const std::string&) {
    const std::vector<std::string> lines = report_.ReadLines();
    WriteLines(Thread, "***Begin Report", lines, "***End Report");
}

void TRemoteAdmin::AdminClearReport(TNetPeerThread& Thread, const std::string&) {
    report_.Clear();
    Thread.Connection().WriteLine("OK!");
}

void TRemoteAdmin::AdminKick(TNetPeerThread& Thread, const std::string& Parm) {
    const bool kicked = host_.IrcServer().LobbyStore().QuitUserByNick(Parm, "");
    Thread.Connection().WriteLine(kicked ? Parm + " kicked" : "Error kicking " + Parm);
}

void TRemoteAdmin::AdminMessage(TNetPeerThread&, const std::string& Parm) {
    host_.IrcServer().BroadcastExcept("", operator_lines::AdminMessage(Parm));
}

void TRemoteAdmin::AdminPartLobby(TNetPeerThread& Thread, const std::string& Parm) {
    TLobbyList& lobbies = host_.IrcServer().LobbyStore();
    bool found = false;
    {
        // Held from the lookup to the last part, so the lobby cannot be removed between.
        std::lock_guard lock(lobbies.Lock());
        if (TLobby* lobby = lobbies.FindLobby(Parm)) {
            found = true;
            lobbies.PartAll(*lobby, "***Part by Admin");
        }
    }
    if (!found) Thread.Connection().WriteLine("No such lobby");
}

void TRemoteAdmin::AdminKickAll(TNetPeerThread&, const std::string& Parm) {
    host_.IrcServer().LobbyStore().QuitAll(operator_lines::AllKicked(Parm));
}

void TRemoteAdmin::AdminAddLobby(TNetPeerThread& Thread, const std::string& Parm) {
    AddConsoleLobby(Thread, Parm, false);
}

void TRemoteAdmin::AdminAddPrivateLobby(TNetPeerThread& Thread, const std::string& Parm) {
    AddConsoleLobby(Thread, Parm, true);
}

// Adds the lobby as the console would, but leaves the list marked as saved: a remote
// change is stored only by an explicit save, and closing the console asks nothing.
void TRemoteAdmin::AddConsoleLobby(TNetPeerThread& Thread, const std::string& Parm,
                                   bool isPrivate) {
    if (Parm.empty()) {
        Thread.Connection().WriteLine("Error adding lobby");
        return;
    }
    const std::string name = WithHash(Parm);
    TLobbyList& lobbies = host_.IrcServer().LobbyStore();
    const bool added = lobbies.AddLobby(TLobbySender::Of(host_.ConsoleSender()), name, name, false,
                                        isPrivate) >= 0;
    lobbies.Modified = false;
    host_.SetSaveLobbysEnabled(false);
    if (!added) {
        Thread.Connection().WriteLine("Error adding lobby");
        return;
    }
    Thread.Connection().WriteLine((isPrivate ? "Private lobby " : "Lobby ") + name + " added");
}

void TRemoteAdmin::AdminRemoveLobby(TNetPeerThread& Thread, const std::string& Parm) {
    if (Parm.empty()) {
        Thread.Connection().WriteLine("Error removing lobby");
        return;
    }
    TLobbyList& lobbies = host_.IrcServer().LobbyStore();
    lobbies.RemoveLobbyByName(TLobbySender::Of(host_.ConsoleSender()), Parm);
    lobbies.Modified = false;
    host_.SetSaveLobbysEnabled(false);
    Thread.Connection().WriteLine("OK");
}

void TRemoteAdmin::AdminSaveLobbies(TNetPeerThread& Thread, const std::string&) {
    host_.SaveLobbyList();
    Thread.Connection().WriteLine("Lobbylist saved");
}

void TRemoteAdmin::AdminSendLog(TNetPeerThread& Thread, const std::string&) {
    WriteLines(Thread, "***Log begin", host_.LogLines(), "***Log end");
}

// Occupies the sender's thread for the countdown, then stops the server from it. A second
// shutdown, or the operator's stop, may overlap: the countdown ends early once the server
// is stopping or stopped, the host performs at most one stop, and only the shutdown whose
// stop took place tells the operator.
void TRemoteAdmin::AdminShutdown(TNetPeerThread& Thread, const std::string& Parm) {
    if (Parm.empty()) {
        Thread.Connection().WriteLine("Error: No message");
        return;
    }
    host_.AddLog("Remote shoutdown server in progress");
    for (int n = 10; n >= 1; --n) {
        if (!ServerRunning()) return;
        host_.IrcServer().BroadcastExcept("", operator_lines::ShutdownIn(n));
        if (!WaitCountdownStep()) return;
    }
    if (host_.StopServerRemote()) host_.ShowOperatorMessage(operator_lines::StoppedByRemote(Parm));
}

bool TRemoteAdmin::ServerRunning() const {
    return host_.IrcServer().Active() && !host_.StopUnderWay();
}

// Sleeps in short slices so that a countdown overtaken by a stop releases its connection
// thread at once: the stop waits for connection threads, and it would otherwise wait for
// this one until its time limit.
bool TRemoteAdmin::WaitCountdownStep() const {
    // The step's line goes out now, not when the command is over.
    if (TNetFanOut* fanOut = TNetFanOut::Current()) fanOut->FlushPaced();
    const auto end = Clock::now() + timing_.CountdownStep;
    for (;;) {
        const auto now = Clock::now();
        if (now >= end) return ServerRunning();
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, CountdownSlice));
        if (!ServerRunning()) return false;
    }
}

void TRemoteAdmin::AdminListLobbies(TNetPeerThread& Thread, const std::string&) {
    WriteLines(Thread, "Lobby list:", host_.LobbyRowTexts(), "End of lobby list");
}
