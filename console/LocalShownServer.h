// The shown server of this program: the console's own chat server behind the interface
// that the window and the admin endpoint share (ShownServer.h). Each operation is the
// operator command of the window that it names, run the same way: on the UI thread,
// through the chat core's operations, leaving the log lines and view updates to the
// console's event handlers. Completion functions run before the call returns.
//
// Threads: UI thread only (checked in debug builds). Events reach the listeners from the
// console's journal (ShownJournal.h) through a call posted to the UI thread.
#pragma once

#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ShownServer.h"

class TForm1;
class TLobby;
class TLobbyList;

class TLocalShownServer : public TShownServer {
  public:
    explicit TLocalShownServer(TForm1& form);
    TLocalShownServer(const TLocalShownServer&) = delete;
    TLocalShownServer& operator=(const TLocalShownServer&) = delete;

    // Hands the journal's waiting changes to the listeners; posted by the journal's wake.
    void DeliverEvents();

    void Snapshot(TDoneWith<TShownSnapshot> done) override;
    void Subscribe(TShownListener& listener, TDoneWith<TShownSnapshot> done) override;
    void Unsubscribe(TShownListener& listener) override;
    void ReadReports(TDoneWith<std::vector<std::string>> done) override;

    void Kick(const std::string& nick, TDone done) override;
    void Part(const std::string& nick, const TShownLobbyRef& lobby, TDone done) override;
    void Join(const std::string& nick, const TShownLobbyRef& lobby, TDone done) override;
    void PartAll(const TShownLobbyRef& lobby, TDone done) override;
    void KickAll(const std::string& text, TDone done) override;

    void SystemMessage(const std::string& text, TDone done) override;
    void PrivateMessage(const std::string& nick, const std::string& text, TDone done) override;
    void LobbyMessage(const TShownLobbyRef& lobby, const std::string& text, TDone done) override;
    void AdminMessage(const std::string& text, TDone done) override;

    void AddLobby(const std::string& name, const std::string& description, bool isPrivate,
                  TDoneWith<TShownLobby> done) override;
    void RemoveLobby(const TShownLobbyRef& lobby, TDone done) override;
    void SaveLobbyList(TDone done) override;

    void SaveLog(TDone done) override;
    void ClearLog(TDone done) override;
    void SetOptions(const TShownOptionsChange& change, TDoneWith<TShownOptions> done) override;
    void Stop(TDone done) override;
    void Start(TDone done) override;
    void Shutdown(const std::string& text, TDone done) override;
    void ClearReports(TDone done) override;

    // The listed lobby of the id with its members now, or nullopt when it has gone (the
    // window's member list).
    std::optional<TShownLobby> ListedLobby(std::uint64_t id) const;

  private:
    struct TSubscriber {
        TShownListener* Listener;
        std::uint64_t After;  // the snapshot's place: later changes only
    };

    // The state now, and the journal's place of it when subscribing.
    TShownSnapshot TakeSnapshot(bool subscribing, std::uint64_t& after);
    // The listed lobby the operator means, or null; the caller holds the lobby-list lock.
    TLobby* FindLobby(const TShownLobbyRef& ref) const;
    using TLobbyOperation = std::function<TShownResult(TLobbyList& store, TLobby& lobby)>;
    using TStoreCheck = std::function<TShownResult(TLobbyList& store)>;
    // The steps every lobby operation shares: under the lobby-list lock, check (when given)
    // must pass, then operation runs on the listed lobby the operator means, or the answer is
    // "no such lobby"; what either throws becomes the operator's error text.
    TShownResult WithLobby(const TShownLobbyRef& ref, const TLobbyOperation& operation,
                           const TStoreCheck& check = {}) const;
    TLobbyList& Store() const;
    void CountdownStep();
    void AssertUiThread() const;

    TForm1& form_;
    std::vector<TSubscriber> subscribers_;
    // The remote shutdown's countdown; runs on the UI thread without blocking it.
    std::unique_ptr<QTimer> countdown_;
    int countdownLeft_ = 0;
    std::string shutdownText_;
};
