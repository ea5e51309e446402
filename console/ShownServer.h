// The server a console window shows: the one interface between the window (and the admin
// endpoint) and a chat server, whether that server runs in this program (TLocalShownServer)
// or elsewhere, reached over the admin endpoint (the remote console). It names the
// operator's operations by identity (a nick, a lobby's name or id), never by what a widget
// has selected, gives a snapshot of what the window shows, and reports every later change
// as an event, in the order the server applied them.
//
// Threads: every member is called on the UI thread only. Operations never block on the
// network: each reports its outcome through its completion function, also on the UI
// thread, exactly once (the local server before the call returns; a remote one when the
// answer arrives). Listeners are called on the UI thread too. No Qt here: the types are
// plain bytes and standard containers, so both sides and the tests share them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A registered user as the grid shows it.
struct TShownUser {
    std::string Nick;
    std::string Address;  // the connection's peer address
    std::string Time;     // timestamp text of entry
    bool operator==(const TShownUser&) const = default;
};

// A lobby the console has listed. Id is given by the server when the lobby is listed and is
// never given to another lobby while that server runs, so a client can tell a lobby from
// a later one of the same name.
struct TShownLobby {
    std::uint64_t Id = 0;
    std::string Name;
    std::string Description;
    bool IsPrivate = false;
    bool UserCreated = false;
    std::vector<std::string> Members;  // nicks in join order
    bool operator==(const TShownLobby&) const = default;
};

// The operator's options (the Options menu), each saved in the settings file.
struct TShownOptions {
    // A flood limit is a whole number from 0 (no limit) to this.
    static constexpr int MaxFloodLimit = 1000000;
    bool AutoSave = false;
    bool AllowCreate = true;
    bool RouteChat = false;
    // Flood control: commands a second, and at once; the chat server's defaults.
    int FloodRate = 2;
    int FloodBurst = 50;
    bool operator==(const TShownOptions&) const = default;
    static bool ValidFloodLimit(long long value) { return value >= 0 && value <= MaxFloodLimit; }
    // The refusal of a flood limit out of range.
    static std::string FloodLimitError() {
        return "The flood limits are whole numbers from 0 to " + std::to_string(MaxFloodLimit) +
               ".";
    }
};

// A change of some of the options; the ones not set keep their values, so that changes by
// operators who each see an older state do not undo each other.
struct TShownOptionsChange {
    std::optional<bool> AutoSave{};
    std::optional<bool> AllowCreate{};
    std::optional<bool> RouteChat{};
    std::optional<int> FloodRate{};
    std::optional<int> FloodBurst{};
    TShownOptions AppliedTo(TShownOptions options) const {
        options.AutoSave = AutoSave.value_or(options.AutoSave);
        options.AllowCreate = AllowCreate.value_or(options.AllowCreate);
        options.RouteChat = RouteChat.value_or(options.RouteChat);
        options.FloodRate = FloodRate.value_or(options.FloodRate);
        options.FloodBurst = FloodBurst.value_or(options.FloodBurst);
        return options;
    }
};

// Everything the window shows, at one moment of the server's event order.
struct TShownSnapshot {
    std::vector<TShownUser> Users;     // registry order
    std::vector<TShownLobby> Lobbies;  // lobby-list order
    std::vector<std::string> Log;      // newest first, with timestamps
    TShownOptions Options;
    bool Running = false;
    bool SaveEnabled = false;  // "Save Lobby List" enabled: the lobby list has unsaved changes
    std::string Status;        // the status bar's text
};

// One change, as the server applied it. Which fields are set depends on Kind.
struct TShownEvent {
    enum class TKind {
        UserEnter,    // User
        UserQuit,     // User (Nick, Address)
        LobbyAdd,     // Lobby (no members yet)
        LobbyRemove,  // Lobby (Id, Name)
        Join,         // Lobby (Id, Name), Nick
        Part,         // Lobby (Id, Name), Nick
        Log,          // Text: the new line on top; the status now shows its text
        LogReset,     // Lines: the whole log list now (cleared, saved, or a failed save)
        Options,      // Options
        Running,      // Flag: the server runs
        Status,       // Text: the status bar, changed other than by a log line
        SaveEnabled,  // Flag: "Save Lobby List" enabled
    };
    TKind Kind = TKind::Log;
    TShownUser User{};
    TShownLobby Lobby{};
    std::string Nick{};
    std::string Text{};
    std::vector<std::string> Lines{};
    TShownOptions Options{};
    bool Flag = false;
};

// A lobby named by the operator: by Id when it is not 0 (the lobby listed under that id,
// if it is still there), else by its exact Name.
struct TShownLobbyRef {
    std::uint64_t Id = 0;
    std::string Name;
};

// The outcome of an operation. Error is a text for the operator ("Could not add lobby!
// Already exists?", "no such user", the platform's error on a failed save), empty on
// success.
struct TShownResult {
    std::string Error;
    bool Ok() const { return Error.empty(); }
    static TShownResult Failed(std::string error) { return {std::move(error)}; }
};

class TShownListener {
  public:
    virtual ~TShownListener() = default;
    // The changes after the snapshot that Subscribe returned, one at a time, in order.
    virtual void ShownEvent(const TShownEvent& event) = 0;
    // The server is no longer reachable (a remote one); no event follows until a new
    // Subscribe. The local server never calls it.
    virtual void ShownLost(const std::string& reason) { (void)reason; }
};

class TShownServer {
  public:
    using TDone = std::function<void(const TShownResult&)>;
    template <class T>
    using TDoneWith = std::function<void(const TShownResult&, const T&)>;

    virtual ~TShownServer() = default;

    // --- What the window shows ---
    // The state as of now, without events after it.
    virtual void Snapshot(TDoneWith<TShownSnapshot> done) = 0;
    // Delivers the snapshot to `done`, then every later change to the listener until
    // Unsubscribe. The listener must outlive its subscription.
    virtual void Subscribe(TShownListener& listener, TDoneWith<TShownSnapshot> done) = 0;
    virtual void Unsubscribe(TShownListener& listener) = 0;
    // The problem-report file's lines.
    virtual void ReadReports(TDoneWith<std::vector<std::string>> done) = 0;

    // --- Users ---
    // Quits the user with "***Kicked by server !".
    virtual void Kick(const std::string& nick, TDone done) = 0;
    // Parts the user from the lobby with "***Part by server".
    virtual void Part(const std::string& nick, const TShownLobbyRef& lobby, TDone done) = 0;
    // Joins the user to the lobby with "***Join by Server"; the lobby's own refusal
    // (already in it) goes to the user and is no error here.
    virtual void Join(const std::string& nick, const TShownLobbyRef& lobby, TDone done) = 0;
    // Parts every member with "***Part by Server".
    virtual void PartAll(const TShownLobbyRef& lobby, TDone done) = 0;
    // Quits every registered user with "***All users kicked by admin: " + text.
    virtual void KickAll(const std::string& text, TDone done) = 0;

    // --- The four kinds of message ---
    // "***System message from server: " + text to every registered user.
    virtual void SystemMessage(const std::string& text, TDone done) = 0;
    // "***Private message from server: " + text to the user.
    virtual void PrivateMessage(const std::string& nick, const std::string& text, TDone done) = 0;
    // "***Lobby Message from Server to " + the lobby's row text + ": " + text to its members.
    virtual void LobbyMessage(const TShownLobbyRef& lobby, const std::string& text, TDone done) = 0;
    // "***Message by Admin: " + text to every registered user.
    virtual void AdminMessage(const std::string& text, TDone done) = 0;

    // --- Lobbies ---
    // As "Add Lobby": "#" put in front of a name without one. done gets the lobby as
    // listed (its id and stored name).
    virtual void AddLobby(const std::string& name, const std::string& description, bool isPrivate,
                          TDoneWith<TShownLobby> done) = 0;
    virtual void RemoveLobby(const TShownLobbyRef& lobby, TDone done) = 0;
    // Save Lobby List, whatever the action's state.
    virtual void SaveLobbyList(TDone done) = 0;

    // --- The log, the options, the server ---
    virtual void SaveLog(TDone done) = 0;  // a log file on the server's side
    virtual void ClearLog(TDone done) = 0;
    // Sets the options the change names and saves them all; done gets the options now. A
    // flood limit out of range fails the whole change.
    virtual void SetOptions(const TShownOptionsChange& change, TDoneWith<TShownOptions> done) = 0;
    // Stop Server without its question (the window asks before calling), and Start.
    virtual void Stop(TDone done) = 0;
    virtual void Start(TDone done) = 0;
    // The remote shutdown: ten countdown lines a second apart, then the stop, with text
    // shown to the operator. done is called when the countdown has begun.
    virtual void Shutdown(const std::string& text, TDone done) = 0;
    virtual void ClearReports(TDone done) = 0;
};
