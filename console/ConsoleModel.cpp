#include "ConsoleModel.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "DiskWriter.h"
#include "LogFile.h"
#include "chat/LobbyList.h"

namespace {

// What a user joining the report lobby is told after the join replies: one line that the
// client shows as an empty line and three more.
const char* const ReportNote =
    "\r\nPlease note:\r\nThis messages will not be sent to other users.\r\n"
    "Report problems, question, bugs....";

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

}  // namespace

TConsoleModel::TConsoleModel(std::string logDir, TDiskWriter& writer, THooks hooks)
    : logDir_(std::move(logDir)), writer_(writer), hooks_(std::move(hooks)) {}

std::string TConsoleModel::LobbyRowText(const TLobby& lobby, bool joining) {
    std::string text = lobby.Name;
    if (lobby.IsPrivate) text += " (private)";
    const std::size_t count = lobby.Members.size() + (joining ? 1 : 0);
    text += "\t[" + std::to_string(count) + "]\t" + lobby.Description;
    return text;
}

void TConsoleModel::MarkLocked(unsigned parts) {
    changed_ |= parts;
    if (refreshRequested_) return;
    refreshRequested_ = true;
    // Under the lock: the window's refreshes are requested in the order of the changes.
    if (hooks_.RefreshNeeded) hooks_.RefreshNeeded();
}

void TConsoleModel::EmitLocked(TShownEvent&& event) {
    if (hooks_.Event) hooks_.Event(std::move(event));
}

void TConsoleModel::EmitLobbyLocked(TShownEvent::TKind kind, std::uint64_t id,
                                    const std::string& name, std::string nick) {
    TShownEvent event;
    event.Kind = kind;
    event.Lobby.Id = id;
    event.Lobby.Name = name;
    event.Nick = std::move(nick);
    EmitLocked(std::move(event));
}

void TConsoleModel::EmitSaveEnabledLocked(bool before) {
    if (before == actions_.SaveLobbysEnabled) return;
    EmitLocked({.Kind = TShownEvent::TKind::SaveEnabled, .Flag = actions_.SaveLobbysEnabled});
}

TConsoleModel::TView TConsoleModel::TakeView() {
    std::lock_guard lock(mutex_);
    TView view;
    view.Parts = std::exchange(changed_, NoPart);
    refreshRequested_ = false;
    if (view.Parts & LobbyPart) view.LobbyRows = lobbyRows_;
    if (view.Parts & GridPart) view.GridRows = gridRows_;
    if (view.Parts & LogPart) view.Log.assign(log_.begin(), log_.end());
    view.StatusText = statusText_;
    view.Actions = actions_;
    return view;
}

// --- The log ---------------------------------------------------------------------------

void TConsoleModel::AddLog(const std::string& text) {
    std::lock_guard lock(mutex_);
    AddLogLocked(text);
}

void TConsoleModel::AddLogLocked(const std::string& text) {
    const std::string line = hooks_.Now() + ": " + text;
    log_.push_front(line);
    statusText_ = text;
    if (hooks_.LogEcho) hooks_.LogEcho(line);
    EmitLocked({.Kind = TShownEvent::TKind::Log, .Text = line});
    if (log_.size() > MaxLogLines && actions_.AutoSave) SaveLogLocked();
    while (log_.size() > MaxLogLines) log_.pop_back();
    MarkLocked(LogPart | StatusPart);
}

// The lines leave the list now and are written by the disk writer: no lock waits on the
// disk. Saves within one second share a timestamp; the writer, which runs them in order,
// gives the later ones a numbered name (WriteNewLog), so none replaces another.
void TConsoleModel::SaveLogLocked() {
    if (log_.empty()) return;
    const std::string path = logDir_ + TimestampFileName(hooks_.Now());
    std::vector<std::string> lines(log_.begin(), log_.end());
    std::size_t bytes = 0;
    for (const std::string& line : lines) bytes += line.size() + 2;
    log_.clear();
    MarkLocked(LogPart);
    EmitLocked({.Kind = TShownEvent::TKind::LogReset});
    writer_.Post(
        [this, path, lines = std::move(lines)]() mutable { WriteLogFile(path, std::move(lines)); },
        bytes);
}

void TConsoleModel::WriteLogFile(const std::string& path, std::vector<std::string> lines) {
    try {
        WriteNewLog(path, lines);
        return;
    } catch (const std::exception&) {
    }
    // Kept as if never taken: below the lines logged since, within the cap.
    std::lock_guard lock(mutex_);
    ++logSaveFailures_;
    for (std::string& line : lines) {
        if (log_.size() >= MaxLogLines) break;
        log_.push_back(std::move(line));
    }
    statusText_ = "Error: Unable to save logfile!";
    MarkLocked(LogPart | StatusPart);
    EmitLocked({.Kind = TShownEvent::TKind::LogReset, .Lines = {log_.begin(), log_.end()}});
    EmitLocked({.Kind = TShownEvent::TKind::Status, .Text = statusText_});
}

std::vector<std::string> TConsoleModel::LogLines() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

void TConsoleModel::SaveLog() {
    std::lock_guard lock(mutex_);
    SaveLogLocked();
}

void TConsoleModel::ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
    MarkLocked(LogPart);
    EmitLocked({.Kind = TShownEvent::TKind::LogReset});
}

// --- Server events ---------------------------------------------------------------------

void TConsoleModel::UserEnter(const std::string& nick, const std::string& address) {
    std::lock_guard lock(mutex_);
    if (!(gridRows_.size() == 1 && gridRows_.front().Nick.empty())) gridRows_.emplace_back();
    // Each value goes to the first empty cell of its column, normally the new row.
    auto fill = [this](std::string TGridRow::*cell, const std::string& value) {
        for (TGridRow& row : gridRows_)
            if ((row.*cell).empty()) {
                row.*cell = value;
                return;
            }
    };
    fill(&TGridRow::Nick, nick);
    fill(&TGridRow::IP, address);
    const std::string time = hooks_.Now();
    fill(&TGridRow::Time, time);
    MarkLocked(GridPart);
    EmitLocked({.Kind = TShownEvent::TKind::UserEnter, .User = {nick, address, time}});
    AddLogLocked("User " + nick + "@" + address + " entered chat");
}

void TConsoleModel::UserQuit(const std::string& nick, const std::string& address) {
    const std::string tag = nick + "@" + address;
    std::lock_guard lock(mutex_);
    for (std::size_t i = gridRows_.size(); i-- > 0;) {
        if (gridRows_[i].Nick != nick) continue;
        if (gridRows_.size() > 1)
            gridRows_.erase(gridRows_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            gridRows_[0] = {};
        MarkLocked(GridPart);
        EmitLocked({.Kind = TShownEvent::TKind::UserQuit, .User = {nick, address, {}}});
        AddLogLocked("User " + tag + " quit");
        return;
    }
    AddLogLocked("Error on quit: User " + tag + " not present");
}

void TConsoleModel::UserJoin(const TLobby& lobby, const std::string& nick,
                             const std::string& address, bool& allowJoin, std::string& msg) {
    const std::string userTag = nick + "@" + address;
    const std::string text = LobbyRowText(lobby, allowJoin);
    std::lock_guard lock(mutex_);
    if (!rowTexts_.contains(lobby.Serial)) {
        AddLogLocked("Error on Join: Lobby \"" + lobby.Name + "\" not present: User " + userTag);
        return;
    }
    // A nick already in the lobby is refused by the lobby itself after this.
    if (allowJoin) EmitLobbyLocked(TShownEvent::TKind::Join, lobby.Serial, lobby.Name, nick);
    SetRowTextLocked(lobby.Serial, text);
    allowJoin = true;
    if (&lobby == reportLobby_) msg = ReportNote;
}

bool TConsoleModel::UserPart(const TLobby& lobby, const std::string& nick) {
    const std::string text = LobbyRowText(lobby, false);
    std::lock_guard lock(mutex_);
    const auto known = rowTexts_.find(lobby.Serial);
    if (known == rowTexts_.end()) return false;
    // The core reports a quit's part for every lobby, member or not; only a member's
    // changes the count the row shows.
    if (known->second != text)
        EmitLobbyLocked(TShownEvent::TKind::Part, lobby.Serial, lobby.Name, nick);
    SetRowTextLocked(lobby.Serial, text);
    return lobby.Members.empty() && lobby.UserCreated;
}

bool TConsoleModel::AddLobby(const TLobby& lobby, bool byConsole,
                             const std::optional<std::string>& creator) {
    const std::string text = LobbyRowText(lobby, false);
    std::lock_guard lock(mutex_);
    if (!byConsole && !actions_.AllowCreate) return false;
    const bool saveWasEnabled = std::exchange(actions_.SaveLobbysEnabled, !lobby.UserCreated);
    // Listed at once, before the core even inserts the lobby: a join that follows on any
    // thread finds the row.
    InsertRowLocked({lobby.Serial, lobby.Name, text});
    EmitLocked(
        {.Kind = TShownEvent::TKind::LobbyAdd,
         .Lobby = {
             lobby.Serial, lobby.Name, lobby.Description, lobby.IsPrivate, lobby.UserCreated, {}}});
    EmitSaveEnabledLocked(saveWasEnabled);
    MarkLocked(LobbyPart | ActionPart);
    if (creator)
        AddLogLocked("Lobby " + lobby.Name + " created by " + *creator);
    else
        AddLogLocked("Lobby " + lobby.Name + " created");
    return true;
}

bool TConsoleModel::RemoveLobby(const TLobby& lobby, bool byConsole) {
    std::lock_guard lock(mutex_);
    if (!byConsole && !lobby.UserCreated) return false;
    const bool saveWasEnabled = std::exchange(actions_.SaveLobbysEnabled, !lobby.UserCreated);
    if (auto row = FindRowLocked(lobby.Serial); row != lobbyRows_.end()) {
        EmitLobbyLocked(TShownEvent::TKind::LobbyRemove, row->Serial, row->Name);
        lobbyRows_.erase(row);
    }
    rowTexts_.erase(lobby.Serial);
    EmitSaveEnabledLocked(saveWasEnabled);
    // The object is destroyed after this call; a later lobby at the same address must not
    // become the report lobby.
    if (reportLobby_ == &lobby) reportLobby_ = nullptr;
    MarkLocked(LobbyPart | ActionPart);
    if (lobby.UserCreated)
        AddLogLocked("User created lobby " + lobby.Name + " removed");
    else
        AddLogLocked("Lobby " + lobby.Name + " removed");
    return true;
}

void TConsoleModel::ForgetLobby(std::uint64_t serial) {
    std::lock_guard lock(mutex_);
    if (auto row = FindRowLocked(serial); row != lobbyRows_.end()) {
        EmitLobbyLocked(TShownEvent::TKind::LobbyRemove, row->Serial, row->Name);
        lobbyRows_.erase(row);
    }
    rowTexts_.erase(serial);
    MarkLocked(LobbyPart);
}

void TConsoleModel::SetReportLobby(const TLobby* lobby) {
    std::lock_guard lock(mutex_);
    reportLobby_ = lobby;
}

bool TConsoleModel::IsReportLobby(const TLobby* lobby) const {
    std::lock_guard lock(mutex_);
    return lobby && lobby == reportLobby_;
}

std::vector<std::string> TConsoleModel::LobbyRowTexts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    texts.reserve(lobbyRows_.size());
    for (const TLobbyRow& row : lobbyRows_) texts.push_back(row.Text);
    return texts;
}

std::uint64_t TConsoleModel::RowRewrites() const {
    std::lock_guard lock(mutex_);
    return rowRewrites_;
}

namespace {

struct TRowOrder {
    bool operator()(const TConsoleModel::TLobbyRow& row, const std::string& text) const {
        return LessNoCase(row.Text, text);
    }
    bool operator()(const std::string& text, const TConsoleModel::TLobbyRow& row) const {
        return LessNoCase(text, row.Text);
    }
};

}  // namespace

std::vector<TConsoleModel::TLobbyRow>::iterator TConsoleModel::FindRowLocked(std::uint64_t serial) {
    auto text = rowTexts_.find(serial);
    if (text == rowTexts_.end()) return lobbyRows_.end();
    auto [first, last] =
        std::equal_range(lobbyRows_.begin(), lobbyRows_.end(), text->second, TRowOrder{});
    auto row =
        std::find_if(first, last, [serial](const TLobbyRow& r) { return r.Serial == serial; });
    return row == last ? lobbyRows_.end() : row;
}

void TConsoleModel::InsertRowLocked(TLobbyRow row) {
    rowTexts_[row.Serial] = row.Text;
    auto at = std::upper_bound(lobbyRows_.begin(), lobbyRows_.end(), row.Text, TRowOrder{});
    lobbyRows_.insert(at, std::move(row));
}

bool TConsoleModel::SetRowTextLocked(std::uint64_t serial, std::string text) {
    // The hash lookup alone answers the common case, a text that stays as it was.
    auto known = rowTexts_.find(serial);
    if (known == rowTexts_.end()) return false;
    if (known->second == text) return true;
    auto row = FindRowLocked(serial);
    if (row == lobbyRows_.end()) return false;
    TLobbyRow moved = std::move(*row);
    lobbyRows_.erase(row);
    moved.Text = std::move(text);
    InsertRowLocked(std::move(moved));
    ++rowRewrites_;
    MarkLocked(LobbyPart);
    return true;
}

bool TConsoleModel::Lists(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    return rowTexts_.contains(id);
}

TShownSnapshot TConsoleModel::ShownState(const std::function<void()>& atMoment) const {
    std::lock_guard lock(mutex_);
    TShownSnapshot state;
    for (const TGridRow& row : gridRows_)
        if (!row.Nick.empty()) state.Users.push_back({row.Nick, row.IP, row.Time});
    state.Log.assign(log_.begin(), log_.end());
    state.Options = OptionsLocked();
    state.Running = actions_.StopEnabled && !actions_.StartEnabled;
    state.SaveEnabled = actions_.SaveLobbysEnabled;
    state.Status = statusText_;
    atMoment();
    return state;
}

// --- Actions ---------------------------------------------------------------------------

TConsoleModel::TActions TConsoleModel::Actions() const {
    std::lock_guard lock(mutex_);
    return actions_;
}

void TConsoleModel::SetServerRunning(bool running) {
    std::lock_guard lock(mutex_);
    actions_.StartEnabled = !running;
    actions_.StopEnabled = running;
    MarkLocked(ActionPart);
    EmitLocked({.Kind = TShownEvent::TKind::Running, .Flag = running});
}

void TConsoleModel::SetSaveLobbysEnabled(bool enabled) {
    ExchangeSaveLobbysEnabled(enabled);
}

bool TConsoleModel::ExchangeSaveLobbysEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    MarkLocked(ActionPart);
    const bool before = std::exchange(actions_.SaveLobbysEnabled, enabled);
    EmitSaveEnabledLocked(before);
    return before;
}

TShownOptions TConsoleModel::OptionsLocked() const {
    return {.AutoSave = actions_.AutoSave,
            .AllowCreate = actions_.AllowCreate,
            .RouteChat = actions_.RouteChat,
            .FloodRate = actions_.FloodRate,
            .FloodBurst = actions_.FloodBurst};
}

void TConsoleModel::EmitOptionsLocked() {
    MarkLocked(ActionPart);
    EmitLocked({.Kind = TShownEvent::TKind::Options, .Options = OptionsLocked()});
}

void TConsoleModel::SetOptions(const TShownOptions& options) {
    std::lock_guard lock(mutex_);
    actions_.AutoSave = options.AutoSave;
    actions_.AllowCreate = options.AllowCreate;
    actions_.RouteChat = options.RouteChat;
    actions_.FloodRate = options.FloodRate;
    actions_.FloodBurst = options.FloodBurst;
    EmitOptionsLocked();
}

TShownOptions TConsoleModel::Options() const {
    std::lock_guard lock(mutex_);
    return OptionsLocked();
}

bool TConsoleModel::ToggleAutoSave() {
    std::lock_guard lock(mutex_);
    actions_.AutoSave = !actions_.AutoSave;
    EmitOptionsLocked();
    return actions_.AutoSave;
}

bool TConsoleModel::ToggleAllowCreate() {
    std::lock_guard lock(mutex_);
    actions_.AllowCreate = !actions_.AllowCreate;
    EmitOptionsLocked();
    return actions_.AllowCreate;
}
