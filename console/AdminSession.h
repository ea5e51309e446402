// One connection of the admin endpoint, after TLS: the protocol of docs/admin-protocol.md
// over a shown server (ShownServer.h). It reads request lines, checks the login and the
// account's role, runs each command through the shown server (the window's own
// operations) and writes the replies, and, once subscribed, the events. It knows nothing of
// sockets: the endpoint feeds it lines and gives it a function that sends. UI thread only.
#pragma once

#include <QByteArray>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "AdminJson.h"
#include "LoginChecker.h"
#include "ShownServer.h"

// What every session of one endpoint shares.
struct TAdminContext {
    TShownServer& Server;
    // Checks a login from the address under the failed-login limit, away from the UI
    // thread (a password hash takes tens of milliseconds), and calls done with the outcome
    // on the UI thread, unless the endpoint has gone by then.
    std::function<void(const std::string& address, const std::string& user,
                       const std::string& password, std::function<void(TLoginOutcome)> done)>
        CheckLogin;
    // A line for the console's log.
    std::function<void(const std::string& text)> Log;
    std::string ServerName;
};

class TAdminSession : public TShownListener {
  public:
    TAdminSession(TAdminContext& context, std::string address,
                  std::function<void(const QByteArray& line)> send);
    ~TAdminSession() override;
    TAdminSession(const TAdminSession&) = delete;
    TAdminSession& operator=(const TAdminSession&) = delete;

    // One line, without its "\n". Lines that arrive while a login is checked wait for
    // its outcome, in order.
    void HandleLine(const QByteArray& line);
    void ShownEvent(const TShownEvent& event) override;

  private:
    using THandler = void (TAdminSession::*)(const TAdminRequest& request);
    struct TCommand {
        const char* Name;
        bool ReadOnly;  // a viewer may use it
        THandler Handler;
    };
    static const TCommand Commands[];

    void Handle(const QByteArray& line);
    void LoginChecked(const TAdminRequest& request, const std::string& user,
                      const TLoginOutcome& outcome);
    void Reply(const TAdminRequest& request, const QJsonValue& result);
    void Fail(const TAdminRequest& request, const std::string& error);
    // A completion function that replies (null result on success), if the session still
    // exists when it runs.
    TShownServer::TDone Done(const TAdminRequest& request);
    // A text argument in either byte form; replies "missing argument: NAME" when absent.
    std::optional<std::string> Text(const TAdminRequest& request, const char* name);
    std::optional<TShownLobbyRef> Lobby(const TAdminRequest& request, const char* name = "lobby");
    void LogAction(const std::string& what);

    void Login(const TAdminRequest& request);
    void Status(const TAdminRequest& request);
    void Users(const TAdminRequest& request);
    void Lobbies(const TAdminRequest& request);
    void Members(const TAdminRequest& request);
    void LogLines(const TAdminRequest& request);
    void Subscribe(const TAdminRequest& request);
    void Reports(const TAdminRequest& request);
    void Kick(const TAdminRequest& request);
    void Part(const TAdminRequest& request);
    void Join(const TAdminRequest& request);
    void PartAll(const TAdminRequest& request);
    void KickAll(const TAdminRequest& request);
    void System(const TAdminRequest& request);
    void Message(const TAdminRequest& request);
    void LobbyMessage(const TAdminRequest& request);
    void AdminMessage(const TAdminRequest& request);
    void AddLobby(const TAdminRequest& request);
    void RemoveLobby(const TAdminRequest& request);
    void SaveLobbies(const TAdminRequest& request);
    void SaveLog(const TAdminRequest& request);
    void ClearLog(const TAdminRequest& request);
    void Options(const TAdminRequest& request);
    void Stop(const TAdminRequest& request);
    void Start(const TAdminRequest& request);
    void Shutdown(const TAdminRequest& request);
    void ClearReports(const TAdminRequest& request);

    TAdminContext& context_;
    const std::string address_;
    const std::function<void(const QByteArray& line)> send_;
    std::optional<std::string> account_;  // set by a successful login
    bool checking_ = false;               // a login is being checked
    std::deque<QByteArray> waiting_;      // lines that came meanwhile
    TOperatorRole role_ = TOperatorRole::Viewer;
    bool subscribed_ = false;
    // Completion functions hold it weakly: a reply after the session went is dropped.
    std::shared_ptr<TAdminSession*> self_;
};
