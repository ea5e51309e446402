#include "RemoteShownServer.h"

#include <QJsonArray>

#include "AdminJson.h"

#include <algorithm>
#include <utility>

namespace {

QJsonValue J(const std::string& bytes) {
    return BytesJson(bytes);
}

std::string B(const QJsonValue& value) {
    return JsonBytes(value).value_or(std::string());
}

std::vector<std::string> Lines(const QJsonValue& value) {
    std::vector<std::string> lines;
    for (const QJsonValue& line : value.toArray()) lines.push_back(B(line));
    return lines;
}

QJsonValue LobbyArg(const TShownLobbyRef& ref) {
    if (ref.Id != 0) return static_cast<qint64>(ref.Id);
    return J(ref.Name);
}

TShownLobby LobbyOf(const QJsonObject& object) {
    TShownLobby lobby;
    lobby.Id = static_cast<std::uint64_t>(object.value("id").toInteger());
    lobby.Name = B(object.value("name"));
    lobby.Description = B(object.value("description"));
    lobby.IsPrivate = object.value("private").toBool();
    lobby.UserCreated = object.value("user_created").toBool();
    lobby.Members = Lines(object.value("members"));
    return lobby;
}

TShownUser UserOf(const QJsonObject& object) {
    return {B(object.value("nick")), B(object.value("address")), B(object.value("time"))};
}

// An option a server does not send (an older one) shows its default.
TShownOptions OptionsOf(const QJsonValue& value) {
    const QJsonObject object = value.toObject();
    const TShownOptions defaults;
    auto limit = [&](const char* name, int fallback) {
        const qint64 number = object.value(QLatin1String(name)).toInteger(fallback);
        return TShownOptions::ValidFloodLimit(number) ? static_cast<int>(number) : fallback;
    };
    return {.AutoSave = object.value("auto_save").toBool(defaults.AutoSave),
            .AllowCreate = object.value("allow_create").toBool(defaults.AllowCreate),
            .RouteChat = object.value("route_chat").toBool(defaults.RouteChat),
            .FloodRate = limit("flood_rate", defaults.FloodRate),
            .FloodBurst = limit("flood_burst", defaults.FloodBurst)};
}

TShownResult ResultOf(const TAdminReply& reply) {
    return reply.Ok ? TShownResult{} : TShownResult::Failed(reply.Error.toStdString());
}

}  // namespace

TRemoteShownServer::TRemoteShownServer(TAdminClientOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    connect(&client_, &TAdminClient::LoggedIn, this,
            [this](const QString& role, const QJsonObject&) { onLoggedIn(role); });
    connect(&client_, &TAdminClient::Failed, this, &TRemoteShownServer::onFailed);
    connect(&client_, &TAdminClient::Closed, this, &TRemoteShownServer::onClosed);
    connect(&client_, &TAdminClient::EventReceived, this, &TRemoteShownServer::onEvent);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &TRemoteShownServer::open);
}

TRemoteShownServer::~TRemoteShownServer() {
    client_.disconnect(this);
    client_.Close();
    options_.Password.fill(QLatin1Char(' '));
}

void TRemoteShownServer::Connect(std::function<void(const QString& error)> done) {
    connectDone_ = std::move(done);
    open();
}

void TRemoteShownServer::open() {
    client_.Open(options_);  // the client wipes its own copy of the password
}

void TRemoteShownServer::onLoggedIn(const QString& role) {
    role_ = role;
    everConnected_ = true;
    retryMs_ = FirstRetryMs;
    // A certificate accepted on first use is remembered now: later attempts need no question.
    options_.Trust = false;
    options_.TrustOnFirstUse = nullptr;
    if (auto done = std::exchange(connectDone_, nullptr)) done({});
    for (TWaiting& waiting : std::exchange(waiting_, {})) subscribeNow(std::move(waiting));
}

void TRemoteShownServer::onFailed(const QString& message) {
    if (auto done = std::exchange(connectDone_, nullptr)) {
        done(message);
        return;
    }
    // A reconnection attempt failed: tried again later, and the waiting listeners are told
    // why (they subscribe again, to wait for the next attempt).
    if (waiting_.empty()) return;
    retryLater();
    for (TWaiting& waiting : std::exchange(waiting_, {}))
        waiting.Listener->ShownLost(message.toStdString());
}

void TRemoteShownServer::onClosed(const QString& reason) {
    const std::vector<TShownListener*> lost = std::exchange(listeners_, {});
    for (TShownListener* listener : lost) listener->ShownLost(reason.toStdString());
}

void TRemoteShownServer::retryLater() {
    retry_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, LastRetryMs);
}

void TRemoteShownServer::onEvent(const QJsonObject& object) {
    TShownEvent event;
    if (!EventOf(object, event)) return;  // an event of a later protocol: not shown
    const std::vector<TShownListener*> now = listeners_;
    for (TShownListener* listener : now)
        if (std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end())
            listener->ShownEvent(event);
}

TShownSnapshot TRemoteShownServer::SnapshotOf(const QJsonObject& result) {
    TShownSnapshot snapshot;
    for (const QJsonValue& user : result.value("users").toArray())
        snapshot.Users.push_back(UserOf(user.toObject()));
    for (const QJsonValue& lobby : result.value("lobbies").toArray())
        snapshot.Lobbies.push_back(LobbyOf(lobby.toObject()));
    snapshot.Log = Lines(result.value("log"));
    snapshot.Options = OptionsOf(result.value("options"));
    snapshot.Running = result.value("running").toBool();
    snapshot.SaveEnabled = result.value("save_enabled").toBool();
    snapshot.Status = B(result.value("status"));
    return snapshot;
}

bool TRemoteShownServer::EventOf(const QJsonObject& object, TShownEvent& event) {
    using K = TShownEvent::TKind;
    const QString name = object.value("event").toString();
    auto lobbyRef = [&] {
        event.Lobby.Id = static_cast<std::uint64_t>(object.value("id").toInteger());
        event.Lobby.Name = B(object.value(object.contains("lobby") ? "lobby" : "name"));
    };
    if (name == "user_enter" || name == "user_quit") {
        event.Kind = name == "user_enter" ? K::UserEnter : K::UserQuit;
        event.User = UserOf(object);
    } else if (name == "lobby_add") {
        event.Kind = K::LobbyAdd;
        event.Lobby = LobbyOf(object.value("lobby").toObject());
    } else if (name == "lobby_remove") {
        event.Kind = K::LobbyRemove;
        lobbyRef();
    } else if (name == "join" || name == "part") {
        event.Kind = name == "join" ? K::Join : K::Part;
        lobbyRef();
        event.Nick = B(object.value("nick"));
    } else if (name == "log") {
        event.Kind = K::Log;
        event.Text = B(object.value("line"));
    } else if (name == "log_reset") {
        event.Kind = K::LogReset;
        event.Lines = Lines(object.value("log"));
    } else if (name == "options") {
        event.Kind = K::Options;
        event.Options = OptionsOf(object.value("options"));
    } else if (name == "running") {
        event.Kind = K::Running;
        event.Flag = object.value("running").toBool();
    } else if (name == "status") {
        event.Kind = K::Status;
        event.Text = B(object.value("status"));
    } else if (name == "save_enabled") {
        event.Kind = K::SaveEnabled;
        event.Flag = object.value("enabled").toBool();
    } else {
        return false;
    }
    return true;
}

// --- What the window shows -------------------------------------------------------------

void TRemoteShownServer::Snapshot(TDoneWith<TShownSnapshot> done) {
    // "status" and the lists, one after the other; the answers are in the server's order.
    auto snapshot = std::make_shared<TShownSnapshot>();
    auto failed = [done](const TAdminReply& reply) { done(ResultOf(reply), {}); };
    client_.Send("status", {}, [this, snapshot, done, failed](const TAdminReply& reply) {
        if (!reply.Ok) return failed(reply);
        const QJsonObject status = reply.Result.toObject();
        snapshot->Running = status.value("running").toBool();
        snapshot->SaveEnabled = status.value("save_enabled").toBool();
        snapshot->Status = B(status.value("status"));
        snapshot->Options = OptionsOf(status.value("options"));
        client_.Send("users", {}, [this, snapshot, done, failed](const TAdminReply& reply) {
            if (!reply.Ok) return failed(reply);
            for (const QJsonValue& user : reply.Result.toArray())
                snapshot->Users.push_back(UserOf(user.toObject()));
            client_.Send("lobbies", {}, [this, snapshot, done, failed](const TAdminReply& reply) {
                if (!reply.Ok) return failed(reply);
                for (const QJsonValue& lobby : reply.Result.toArray())
                    snapshot->Lobbies.push_back(LobbyOf(lobby.toObject()));
                client_.Send("log", {}, [snapshot, done, failed](const TAdminReply& reply) {
                    if (!reply.Ok) return failed(reply);
                    snapshot->Log = Lines(reply.Result);
                    done({}, *snapshot);
                });
            });
        });
    });
}

void TRemoteShownServer::Subscribe(TShownListener& listener, TDoneWith<TShownSnapshot> done) {
    TWaiting waiting{&listener, std::move(done)};
    // A listener asks once: a later request replaces an earlier one still waiting.
    std::erase_if(waiting_, [&](const TWaiting& w) { return w.Listener == &listener; });
    if (Connected()) return subscribeNow(std::move(waiting));
    // Reconnects first; nothing else is sent on the listener's behalf.
    waiting_.push_back(std::move(waiting));
    if (everConnected_ && client_.State() == TAdminClient::TState::Closed && !retry_.isActive())
        retryLater();
}

void TRemoteShownServer::subscribeNow(TWaiting waiting) {
    TShownListener* listener = waiting.Listener;
    subscribing_.push_back(listener);
    client_.Send("subscribe", {},
                 [this, listener, done = std::move(waiting.Done)](const TAdminReply& reply) {
                     const auto asked =
                         std::find(subscribing_.begin(), subscribing_.end(), listener);
                     if (asked == subscribing_.end()) return;  // unsubscribed meanwhile
                     subscribing_.erase(asked);
                     if (!reply.Ok) return done(ResultOf(reply), {});
                     // Events after the snapshot reach the listener from here on.
                     listeners_.push_back(listener);
                     done({}, SnapshotOf(reply.Result.toObject()));
                 });
}

void TRemoteShownServer::Unsubscribe(TShownListener& listener) {
    std::erase(listeners_, &listener);
    std::erase(subscribing_, &listener);
    std::erase_if(waiting_, [&](const TWaiting& waiting) { return waiting.Listener == &listener; });
    // The server keeps sending events on this connection; they reach nobody.
}

void TRemoteShownServer::ReadReports(TDoneWith<std::vector<std::string>> done) {
    client_.Send("reports", {}, [done = std::move(done)](const TAdminReply& reply) {
        done(ResultOf(reply), reply.Ok ? Lines(reply.Result) : std::vector<std::string>{});
    });
}

void TRemoteShownServer::command(const QString& name, const QJsonObject& arguments, TDone done) {
    client_.Send(name, arguments,
                 [done = std::move(done)](const TAdminReply& reply) { done(ResultOf(reply)); });
}

// --- Users -----------------------------------------------------------------------------

void TRemoteShownServer::Kick(const std::string& nick, TDone done) {
    command("kick", {{"nick", J(nick)}}, std::move(done));
}

void TRemoteShownServer::Part(const std::string& nick, const TShownLobbyRef& lobby, TDone done) {
    command("part", {{"nick", J(nick)}, {"lobby", LobbyArg(lobby)}}, std::move(done));
}

void TRemoteShownServer::Join(const std::string& nick, const TShownLobbyRef& lobby, TDone done) {
    command("join", {{"nick", J(nick)}, {"lobby", LobbyArg(lobby)}}, std::move(done));
}

void TRemoteShownServer::PartAll(const TShownLobbyRef& lobby, TDone done) {
    command("part_all", {{"lobby", LobbyArg(lobby)}}, std::move(done));
}

void TRemoteShownServer::KickAll(const std::string& text, TDone done) {
    command("kick_all", {{"text", J(text)}}, std::move(done));
}

// --- Messages --------------------------------------------------------------------------

void TRemoteShownServer::SystemMessage(const std::string& text, TDone done) {
    command("system", {{"text", J(text)}}, std::move(done));
}

void TRemoteShownServer::PrivateMessage(const std::string& nick, const std::string& text,
                                        TDone done) {
    command("message", {{"nick", J(nick)}, {"text", J(text)}}, std::move(done));
}

void TRemoteShownServer::LobbyMessage(const TShownLobbyRef& lobby, const std::string& text,
                                      TDone done) {
    command("lobby_message", {{"lobby", LobbyArg(lobby)}, {"text", J(text)}}, std::move(done));
}

void TRemoteShownServer::AdminMessage(const std::string& text, TDone done) {
    command("admin_message", {{"text", J(text)}}, std::move(done));
}

// --- Lobbies ---------------------------------------------------------------------------

void TRemoteShownServer::AddLobby(const std::string& name, const std::string& description,
                                  bool isPrivate, TDoneWith<TShownLobby> done) {
    client_.Send("add_lobby",
                 {{"name", J(name)}, {"description", J(description)}, {"private", isPrivate}},
                 [done = std::move(done), description, isPrivate](const TAdminReply& reply) {
                     TShownLobby added;
                     if (reply.Ok) {
                         const QJsonObject result = reply.Result.toObject();
                         added.Id = static_cast<std::uint64_t>(result.value("id").toInteger());
                         added.Name = B(result.value("name"));
                         added.Description = description;
                         added.IsPrivate = isPrivate;
                     }
                     done(ResultOf(reply), added);
                 });
}

void TRemoteShownServer::RemoveLobby(const TShownLobbyRef& lobby, TDone done) {
    command("remove_lobby", {{"lobby", LobbyArg(lobby)}}, std::move(done));
}

void TRemoteShownServer::SaveLobbyList(TDone done) {
    command("save_lobbies", {}, std::move(done));
}

// --- The log, the options, the server --------------------------------------------------

void TRemoteShownServer::SaveLog(TDone done) {
    command("save_log", {}, std::move(done));
}

void TRemoteShownServer::ClearLog(TDone done) {
    command("clear_log", {}, std::move(done));
}

// Only the options the change names are sent: the others keep the server's values.
void TRemoteShownServer::SetOptions(const TShownOptionsChange& change,
                                    TDoneWith<TShownOptions> done) {
    QJsonObject arguments;
    if (change.AutoSave) arguments.insert("auto_save", *change.AutoSave);
    if (change.AllowCreate) arguments.insert("allow_create", *change.AllowCreate);
    if (change.RouteChat) arguments.insert("route_chat", *change.RouteChat);
    if (change.FloodRate) arguments.insert("flood_rate", *change.FloodRate);
    if (change.FloodBurst) arguments.insert("flood_burst", *change.FloodBurst);
    client_.Send("options", arguments, [done = std::move(done)](const TAdminReply& reply) {
        done(ResultOf(reply), reply.Ok ? OptionsOf(reply.Result) : TShownOptions{});
    });
}

void TRemoteShownServer::Stop(TDone done) {
    command("stop", {}, std::move(done));
}

void TRemoteShownServer::Start(TDone done) {
    command("start", {}, std::move(done));
}

void TRemoteShownServer::Shutdown(const std::string& text, TDone done) {
    command("shutdown", {{"text", J(text)}}, std::move(done));
}

void TRemoteShownServer::ClearReports(TDone done) {
    command("clear_reports", {}, std::move(done));
}
