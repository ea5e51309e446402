// What the remote administration needs of the console it runs in. The main window
// implements it; tests supply a fake. Every member is called on connection threads while
// the UI thread and other connections run, so implementations guard their own state and
// never block on the UI thread. None of them is called with the lobby-list lock held by
// the administration code itself.
#pragma once

#include <string>
#include <vector>

class TNetIRCServer;

class TAdminHost {
  public:
    virtual ~TAdminHost() = default;

    virtual TNetIRCServer& IrcServer() = 0;
    // The identity the console uses as Sender for its own lobby changes.
    virtual const void* ConsoleSender() const = 0;
    // The folder of the executable, ending in a separator.
    virtual std::string ProgramDir() const = 0;
    // State of the "Allow users to create lobbys" option.
    virtual bool AllowCreateOption() const = 0;

    virtual void AddLog(const std::string& text) = 0;
    // The log list from top to bottom (newest first), with timestamps.
    virtual std::vector<std::string> LogLines() const = 0;
    // The lobby view's row texts in view order.
    virtual std::vector<std::string> LobbyRowTexts() const = 0;

    // Runs the Save Lobby List handler whatever the action's state; throws
    // std::exception with the platform's error text when the file cannot be written.
    virtual void SaveLobbyList() = 0;
    virtual void SetSaveLobbysEnabled(bool enabled) = 0;

    // The stop sequence without the operator's question: QuitAll("***Server stopped....."),
    // 500 ms, deactivate, Start enabled and Stop disabled. Returns false, doing nothing,
    // when the server is already stopped or another stop is under way.
    virtual bool StopServerRemote() = 0;
    // Shows the operator a message without blocking the UI thread or the caller.
    virtual void ShowOperatorMessage(const std::string& text) = 0;

    // True while a stop of the server is running, the operator's or a remote one. A remote
    // shutdown's countdown ends early when it sees this, so that the stop's bounded wait
    // for connection threads is not spent on a sleeping countdown.
    virtual bool StopUnderWay() const { return false; }
};
