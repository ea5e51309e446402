// TConsoleModel: the operator console without its window. It holds what the window shows
// (the lobby rows, the user grid, the log and status text, the states of the actions) and
// decides what the server event handlers answer the core (which lobbies may be added or
// removed, whether a join is listed, the report lobby's note), all under one lock: the
// console's state lock. The window feeds it the events and shows what it holds; tests use
// it alone. Any thread.
//
// Locks: the state lock comes right after the chat core's lobby-list lock in the
// program's lock order (the table is in chat/LobbyList.h). The handlers call in here
// with the core's lock held, so nothing in here calls the core; with the state lock held
// it calls only the RefreshNeeded and LogEcho hooks and posts to the disk writer, none of
// which calls back or waits. Log files are written by the disk writer, outside every lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ShownServer.h"

class TDiskWriter;
class TLobby;

class TConsoleModel {
  public:
    static constexpr std::size_t MaxLogLines = 200;

    struct TLobbyRow {
        std::uint64_t Serial;  // the row's tie to its lobby (TLobby::Serial, never reused)
        std::string Name;      // the lobby's name, which never changes
        std::string Text;      // LobbyRowText as last reported
    };
    struct TGridRow {
        std::string Nick, IP, Time;
        bool operator==(const TGridRow&) const = default;
    };
    struct TActions {
        bool StartEnabled = true;
        bool StopEnabled = true;
        bool SaveLobbysEnabled = true;
        bool AutoSave = false;
        bool AllowCreate = true;
        bool RouteChat = false;
        int FloodRate = TShownOptions{}.FloodRate;  // shown in the Flood Limits dialog
        int FloodBurst = TShownOptions{}.FloodBurst;
    };
    // The parts of what the window shows.
    enum TPart : unsigned {
        NoPart = 0,
        LobbyPart = 1,
        GridPart = 2,
        LogPart = 4,
        StatusPart = 8,
        ActionPart = 16,
    };
    // The parts changed since the last TakeView, and a copy of them.
    struct TView {
        unsigned Parts = NoPart;
        std::vector<TLobbyRow> LobbyRows;  // sorted by text without regard to letter case
        std::vector<TGridRow> GridRows;    // never empty
        std::vector<std::string> Log;      // newest first
        std::string StatusText;
        TActions Actions;
    };
    struct THooks {
        // The timestamp text of now.
        std::function<std::string()> Now;
        // Called, under the state lock, at the first change after a TakeView: the window
        // posts itself a refresh. Must not call back or wait.
        std::function<void()> RefreshNeeded;
        // Called with every log line as it is added, in log order, under the state lock.
        // Must not call back or wait. May be empty.
        std::function<void(const std::string& line)> LogEcho;
        // Called with every change that a shown server reports (ShownServer.h), in the
        // order of the changes, under the state lock. Must not call back or wait. May be
        // empty.
        std::function<void(TShownEvent&& event)> Event{};
    };

    // logDir ends in a separator; log files are written there by `writer`, which must
    // outlive the model's last Post (the window drains it before the model goes).
    TConsoleModel(std::string logDir, TDiskWriter& writer, THooks hooks);
    TConsoleModel(const TConsoleModel&) = delete;
    TConsoleModel& operator=(const TConsoleModel&) = delete;

    // The text of a lobby's row: name, " (private)", TAB, "[" count "]", TAB, description.
    // Joining counts the member being added. Callers hold the lobby-list lock.
    static std::string LobbyRowText(const TLobby& lobby, bool joining);

    // --- The log ---
    // One step: the line with its timestamp goes on top, the status shows the text, and
    // the 201st line either drops the oldest or, with auto-save on, goes with the other
    // 200 to a log file (the list is then empty; a failed write puts them back).
    void AddLog(const std::string& text);
    std::vector<std::string> LogLines() const;  // newest first
    // Hands the whole log to a log file named after now and empties the list; a failed
    // write shows "Error: Unable to save logfile!" and puts the lines back. An empty log
    // writes nothing.
    void SaveLog();
    void ClearLog();
    // How many log files could not be written so far.
    std::uint64_t LogSaveFailures() const { return logSaveFailures_.load(); }

    // --- The server events' decisions (the caller holds the lobby-list lock) ---
    // A user entered: a grid row (the grid's empty row, if that is all it has) and the log.
    void UserEnter(const std::string& nick, const std::string& address);
    // A user quit: its grid row goes (the last one is emptied instead), or an error line.
    void UserQuit(const std::string& nick, const std::string& address);
    // A join: the row shows the count with the joiner, and the join is allowed, with the
    // report note for the report lobby; a lobby without a row logs an error line instead.
    void UserJoin(const TLobby& lobby, const std::string& nick, const std::string& address,
                  bool& allowJoin, std::string& msg);
    // A part: the row shows the new count. True when the lobby is user-created, has a row
    // and is now empty: the caller then removes it. A quit raises a part for every lobby;
    // one whose text stays as it was costs a lookup and changes nothing, not even the
    // order or the refresh.
    bool UserPart(const TLobby& lobby, const std::string& nick);
    // Whether a lobby may be added: the console's own always, a user's only while Allow
    // create is on. An accepted lobby gets its row and log line at once. creator is the
    // nick of a connection that asks; nullopt when another object asks.
    bool AddLobby(const TLobby& lobby, bool byConsole, const std::optional<std::string>& creator);
    // Whether a lobby may be removed: by the console, or when user-created. The row goes.
    bool RemoveLobby(const TLobby& lobby, bool byConsole);
    // A row whose lobby has gone from the core (found by the window): the row goes.
    void ForgetLobby(std::uint64_t serial);
    void SetReportLobby(const TLobby* lobby);
    bool IsReportLobby(const TLobby* lobby) const;
    std::vector<std::string> LobbyRowTexts() const;
    // How many times a row's text has changed: the work the lobby rows cost (tests).
    std::uint64_t RowRewrites() const;
    // Whether the console lists the lobby of this id (its serial, never reused); the caller
    // finds the lobby with the core under the lobby-list lock.
    bool Lists(std::uint64_t id) const;

    // --- What a shown server reports ---
    // The users, log, options, running and status as of now; `atMoment` runs under the
    // state lock at the moment taken, so that the Event hook's later calls are exactly
    // the changes after it. The caller holds the lobby-list lock and fills the lobbies.
    TShownSnapshot ShownState(const std::function<void()>& atMoment) const;

    // --- Actions ---
    TActions Actions() const;
    void SetServerRunning(bool running);  // Start and Stop Server enabled accordingly
    void SetSaveLobbysEnabled(bool enabled);
    // Sets the state and returns the one it had.
    bool ExchangeSaveLobbysEnabled(bool enabled);
    // Every option at once (read from the settings file, or changed by the operator).
    void SetOptions(const TShownOptions& options);
    TShownOptions Options() const;
    // Turn an option over; return the new state.
    bool ToggleAutoSave();
    bool ToggleAllowCreate();

    // --- The window's refresh ---
    // The parts changed since the last call, with a copy of them; the next change calls
    // RefreshNeeded again.
    TView TakeView();

  private:
    using TLock = std::unique_lock<std::mutex>;

    // The *Locked helpers need mutex_ held.
    void MarkLocked(unsigned parts);
    void EmitLocked(TShownEvent&& event);
    void EmitLobbyLocked(TShownEvent::TKind kind, std::uint64_t id, const std::string& name,
                         std::string nick = {});
    void EmitSaveEnabledLocked(bool before);
    void EmitOptionsLocked();
    TShownOptions OptionsLocked() const;
    void AddLogLocked(const std::string& text);
    void SaveLogLocked();
    // The row of a lobby, found by its text; lobbyRows_.end() when it has none.
    std::vector<TLobbyRow>::iterator FindRowLocked(std::uint64_t serial);
    // Puts a row where its text sorts, after the rows that sort equal to it.
    void InsertRowLocked(TLobbyRow row);
    // Gives the lobby's row a new text, moving it only when the text changed. False when
    // the lobby has no row.
    bool SetRowTextLocked(std::uint64_t serial, std::string text);
    // Runs on the disk writer.
    void WriteLogFile(const std::string& base, std::vector<std::string> lines);

    const std::string logDir_;
    TDiskWriter& writer_;
    const THooks hooks_;

    mutable std::mutex mutex_;          // the console's state lock; guards everything below
    std::vector<TLobbyRow> lobbyRows_;  // sorted by text without regard to letter case
    // Each row's text by its lobby's serial number: a row is found by a hash lookup and
    // a binary search, not a walk of thousands of rows for each of thousands of parts.
    std::unordered_map<std::uint64_t, std::string> rowTexts_;
    std::uint64_t rowRewrites_ = 0;
    std::vector<TGridRow> gridRows_{1};
    std::deque<std::string> log_;  // newest first, at most MaxLogLines
    std::string statusText_;
    TActions actions_;
    const TLobby* reportLobby_ = nullptr;            // identity only
    std::atomic<std::uint64_t> logSaveFailures_{0};  // not guarded: read without the lock
    unsigned changed_ = NoPart;
    bool refreshRequested_ = false;
};
