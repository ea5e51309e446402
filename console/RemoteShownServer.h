// The shown server of quarn-console: a server that runs elsewhere, reached over its admin
// endpoint through the endpoint client (TAdminClient). Each operation is one command of the
// protocol (docs/admin-protocol.md); the snapshot and events of "subscribe" feed the
// listeners.
//
// A lost connection is reported to the listeners (ShownLost); a later Subscribe
// reconnects, with a growing wait between attempts, and answers with a fresh snapshot.
// Operations are sent once: one made while the connection is down, or whose answer the
// lost connection took with it, fails with the reason and is never sent again.
//
// Threads: UI thread only, like every shown server; nothing blocks.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AdminClient.h"
#include "ShownServer.h"

class TRemoteShownServer : public QObject, public TShownServer {
    Q_OBJECT

  public:
    // Waits between reconnection attempts: the first, doubled each time up to the last.
    static constexpr int FirstRetryMs = 500;
    static constexpr int LastRetryMs = 16000;

    // options.Password is kept (in memory only) to log in again after a lost connection.
    explicit TRemoteShownServer(TAdminClientOptions options, QObject* parent = nullptr);
    ~TRemoteShownServer() override;

    // The first connection: done gets an empty text once logged in, else why not.
    void Connect(std::function<void(const QString& error)> done);
    bool Connected() const { return client_.State() == TAdminClient::TState::Ready; }
    QString Role() const { return role_; }
    QString ServerName() const { return client_.ServerName(); }
    QString User() const { return options_.User; }

    // Conversions between the protocol's objects and the interface's (also for tests).
    static TShownSnapshot SnapshotOf(const QJsonObject& result);
    static bool EventOf(const QJsonObject& object, TShownEvent& event);

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

  private:
    struct TWaiting {
        TShownListener* Listener;
        TDoneWith<TShownSnapshot> Done;
    };

    void command(const QString& name, const QJsonObject& arguments, TDone done);
    void open();
    void onLoggedIn(const QString& role);
    void onFailed(const QString& message);
    void onClosed(const QString& reason);
    void onEvent(const QJsonObject& object);
    void subscribeNow(TWaiting waiting);
    void retryLater();

    TAdminClientOptions options_;  // with the password, for logging in again
    TAdminClient client_;
    QString role_;
    std::function<void(const QString&)> connectDone_;  // the first connection's
    std::vector<TShownListener*> listeners_;           // subscribed on this connection
    std::vector<TShownListener*> subscribing_;         // their "subscribe" sent, unanswered
    std::vector<TWaiting> waiting_;                    // to subscribe once connected
    QTimer retry_;
    int retryMs_ = FirstRetryMs;
    bool everConnected_ = false;
};
