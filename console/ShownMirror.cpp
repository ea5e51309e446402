#include "ShownMirror.h"

#include <algorithm>
#include <cctype>

namespace {

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

// The row text the server's own window shows for the lobby.
std::string RowText(const TShownLobby& lobby) {
    std::string text = lobby.Name;
    if (lobby.IsPrivate) text += " (private)";
    text += "\t[" + std::to_string(lobby.Members.size()) + "]\t" + lobby.Description;
    return text;
}

// The status bar shows a log line's text without its timestamp.
std::string StatusOf(const std::string& line) {
    const std::size_t at = line.find(": ");
    return at == std::string::npos ? line : line.substr(at + 2);
}

}  // namespace

TShownMirror::TShownMirror(std::function<void()> refreshNeeded)
    : refreshNeeded_(std::move(refreshNeeded)) {}

void TShownMirror::Mark(unsigned parts) {
    changed_ |= parts;
    if (refreshRequested_) return;
    refreshRequested_ = true;
    if (refreshNeeded_) refreshNeeded_();
}

void TShownMirror::Reset(const TShownSnapshot& snapshot) {
    state_ = snapshot;
    if (state_.Log.size() > TConsoleModel::MaxLogLines)
        state_.Log.resize(TConsoleModel::MaxLogLines);
    Mark(TConsoleModel::LobbyPart | TConsoleModel::GridPart | TConsoleModel::LogPart |
         TConsoleModel::StatusPart | TConsoleModel::ActionPart);
}

TShownLobby* TShownMirror::FindLobby(std::uint64_t id, const std::string& name) {
    for (TShownLobby& lobby : state_.Lobbies)
        if (id != 0 ? lobby.Id == id : lobby.Name == name) return &lobby;
    return nullptr;
}

const TShownLobby* TShownMirror::Lobby(std::uint64_t id) const {
    for (const TShownLobby& lobby : state_.Lobbies)
        if (lobby.Id == id) return &lobby;
    return nullptr;
}

bool TShownMirror::HasUser(const std::string& nick) const {
    return std::any_of(state_.Users.begin(), state_.Users.end(),
                       [&](const TShownUser& user) { return user.Nick == nick; });
}

void TShownMirror::PushLog(const std::string& line) {
    state_.Log.insert(state_.Log.begin(), line);
    if (state_.Log.size() > TConsoleModel::MaxLogLines) state_.Log.pop_back();
}

void TShownMirror::Apply(const TShownEvent& event) {
    using K = TShownEvent::TKind;
    switch (event.Kind) {
        case K::UserEnter:
            state_.Users.push_back(event.User);
            Mark(TConsoleModel::GridPart);
            break;
        case K::UserQuit: {
            // The first row of that nick and address, as the server's grid drops it.
            auto& users = state_.Users;
            auto it = std::find_if(users.begin(), users.end(), [&](const TShownUser& user) {
                return user.Nick == event.User.Nick && user.Address == event.User.Address;
            });
            if (it == users.end())
                it = std::find_if(users.begin(), users.end(), [&](const TShownUser& user) {
                    return user.Nick == event.User.Nick;
                });
            if (it != users.end()) users.erase(it);
            Mark(TConsoleModel::GridPart);
            break;
        }
        case K::LobbyAdd:
            state_.Lobbies.push_back(event.Lobby);
            Mark(TConsoleModel::LobbyPart);
            break;
        case K::LobbyRemove:
            std::erase_if(state_.Lobbies, [&](const TShownLobby& lobby) {
                return event.Lobby.Id != 0 ? lobby.Id == event.Lobby.Id
                                           : lobby.Name == event.Lobby.Name;
            });
            Mark(TConsoleModel::LobbyPart);
            break;
        case K::Join:
            if (TShownLobby* lobby = FindLobby(event.Lobby.Id, event.Lobby.Name)) {
                lobby->Members.push_back(event.Nick);
                Mark(TConsoleModel::LobbyPart);
            }
            break;
        case K::Part:
            if (TShownLobby* lobby = FindLobby(event.Lobby.Id, event.Lobby.Name)) {
                auto it = std::find(lobby->Members.begin(), lobby->Members.end(), event.Nick);
                if (it != lobby->Members.end()) lobby->Members.erase(it);
                Mark(TConsoleModel::LobbyPart);
            }
            break;
        case K::Log:
            PushLog(event.Text);
            state_.Status = StatusOf(event.Text);
            Mark(TConsoleModel::LogPart | TConsoleModel::StatusPart);
            break;
        case K::LogReset:
            state_.Log = event.Lines;
            if (state_.Log.size() > TConsoleModel::MaxLogLines)
                state_.Log.resize(TConsoleModel::MaxLogLines);
            Mark(TConsoleModel::LogPart);
            break;
        case K::Options:
            state_.Options = event.Options;
            Mark(TConsoleModel::ActionPart);
            break;
        case K::Running:
            state_.Running = event.Flag;
            Mark(TConsoleModel::ActionPart);
            break;
        case K::Status:
            state_.Status = event.Text;
            Mark(TConsoleModel::StatusPart);
            break;
        case K::SaveEnabled:
            state_.SaveEnabled = event.Flag;
            Mark(TConsoleModel::ActionPart);
            break;
    }
}

void TShownMirror::AddNote(const std::string& line, const std::string& status) {
    PushLog(line);
    state_.Status = status;
    Mark(TConsoleModel::LogPart | TConsoleModel::StatusPart);
}

void TShownMirror::MarkActions() {
    Mark(TConsoleModel::ActionPart);
}

TConsoleModel::TView TShownMirror::TakeView() {
    TConsoleModel::TView view;
    view.Parts = changed_;
    changed_ = TConsoleModel::NoPart;
    refreshRequested_ = false;
    if (view.Parts & TConsoleModel::LobbyPart) {
        for (const TShownLobby& lobby : state_.Lobbies)
            view.LobbyRows.push_back({lobby.Id, lobby.Name, RowText(lobby)});
        std::stable_sort(view.LobbyRows.begin(), view.LobbyRows.end(),
                         [](const TConsoleModel::TLobbyRow& a, const TConsoleModel::TLobbyRow& b) {
                             return LessNoCase(a.Text, b.Text);
                         });
    }
    if (view.Parts & TConsoleModel::GridPart) {
        for (const TShownUser& user : state_.Users)
            view.GridRows.push_back({user.Nick, user.Address, user.Time});
        if (view.GridRows.empty()) view.GridRows.emplace_back();  // the grid's empty row
    }
    if (view.Parts & TConsoleModel::LogPart) view.Log = state_.Log;
    if (view.Parts & TConsoleModel::StatusPart) view.StatusText = state_.Status;
    if (view.Parts & TConsoleModel::ActionPart) {
        view.Actions = {.StartEnabled = !state_.Running,
                        .StopEnabled = state_.Running,
                        .SaveLobbysEnabled = state_.SaveEnabled,
                        .AutoSave = state_.Options.AutoSave,
                        .AllowCreate = state_.Options.AllowCreate,
                        .RouteChat = state_.Options.RouteChat,
                        .FloodRate = state_.Options.FloodRate,
                        .FloodBurst = state_.Options.FloodBurst};
    }
    return view;
}
