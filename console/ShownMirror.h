// What a window attached to a server elsewhere shows: the server's snapshot with every
// later event applied, in the shapes the window's views take (the same as the console
// model's view, so both kinds of window refresh their widgets with one code path), plus
// the window's own notes (a lost connection) on top of the server's log.
//
// Threads: UI thread only (it is the window's listener of the shown server); no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleModel.h"
#include "ShownServer.h"

class TShownMirror {
  public:
    // refreshNeeded is called at the first change after a TakeView.
    explicit TShownMirror(std::function<void()> refreshNeeded);

    // Everything shown is replaced by the snapshot.
    void Reset(const TShownSnapshot& snapshot);
    void Apply(const TShownEvent& event);
    // A line of the window's own on top of the log, timestamped by the caller, and the
    // status bar's text.
    void AddNote(const std::string& line, const std::string& status);
    // The actions and options are shown again (after a refused change of them).
    void MarkActions();

    // The parts changed since the last call, with a copy of them.
    TConsoleModel::TView TakeView();

    const TShownSnapshot& State() const { return state_; }
    // The listed lobby with that id, or null.
    const TShownLobby* Lobby(std::uint64_t id) const;
    bool HasUser(const std::string& nick) const;

  private:
    void Mark(unsigned parts);
    TShownLobby* FindLobby(std::uint64_t id, const std::string& name);
    void PushLog(const std::string& line);

    std::function<void()> refreshNeeded_;
    TShownSnapshot state_;
    unsigned changed_ = TConsoleModel::NoPart;
    bool refreshRequested_ = false;
};
