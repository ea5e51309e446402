#include "AdminSession.h"

#include <QJsonArray>

#include <cmath>

#include "net/NetMetrics.h"

const TAdminSession::TCommand TAdminSession::Commands[] = {
    {"status", true, &TAdminSession::Status},
    {"users", true, &TAdminSession::Users},
    {"lobbies", true, &TAdminSession::Lobbies},
    {"members", true, &TAdminSession::Members},
    {"log", true, &TAdminSession::LogLines},
    {"subscribe", true, &TAdminSession::Subscribe},
    {"reports", true, &TAdminSession::Reports},
    {"kick", false, &TAdminSession::Kick},
    {"part", false, &TAdminSession::Part},
    {"join", false, &TAdminSession::Join},
    {"part_all", false, &TAdminSession::PartAll},
    {"kick_all", false, &TAdminSession::KickAll},
    {"system", false, &TAdminSession::System},
    {"message", false, &TAdminSession::Message},
    {"lobby_message", false, &TAdminSession::LobbyMessage},
    {"admin_message", false, &TAdminSession::AdminMessage},
    {"add_lobby", false, &TAdminSession::AddLobby},
    {"remove_lobby", false, &TAdminSession::RemoveLobby},
    {"save_lobbies", false, &TAdminSession::SaveLobbies},
    {"save_log", false, &TAdminSession::SaveLog},
    {"clear_log", false, &TAdminSession::ClearLog},
    {"options", false, &TAdminSession::Options},
    {"stop", false, &TAdminSession::Stop},
    {"start", false, &TAdminSession::Start},
    {"shutdown", false, &TAdminSession::Shutdown},
    {"clear_reports", false, &TAdminSession::ClearReports},
};

TAdminSession::TAdminSession(TAdminContext& context, std::string address,
                             std::function<void(const QByteArray& line)> send)
    : context_(context),
      address_(std::move(address)),
      send_(std::move(send)),
      self_(std::make_shared<TAdminSession*>(this)) {}

TAdminSession::~TAdminSession() {
    if (subscribed_) context_.Server.Unsubscribe(*this);
}

namespace {

// Lines a client may send ahead while its login is checked; more are refused.
constexpr std::size_t MaxWaitingLines = 256;

}  // namespace

void TAdminSession::HandleLine(const QByteArray& line) {
    if (!checking_) return Handle(line);
    if (waiting_.size() >= MaxWaitingLines) return Fail(ParseAdminRequest(line), "login under way");
    waiting_.push_back(line);
}

void TAdminSession::Handle(const QByteArray& line) {
    const TAdminRequest request = ParseAdminRequest(line);
    if (!request.Error.empty()) return Fail(request, request.Error);
    if (request.Cmd == "login") return Login(request);
    if (!account_) return Fail(request, "login first");
    for (const TCommand& command : Commands) {
        if (request.Cmd != command.Name) continue;
        if (!command.ReadOnly && role_ != TOperatorRole::Operator)
            return Fail(request, "not allowed");
        return (this->*command.Handler)(request);
    }
    Fail(request, "unknown command: " + request.Cmd);
}

void TAdminSession::ShownEvent(const TShownEvent& event) {
    send_(ObjectLine(EventJson(event)));
}

void TAdminSession::Reply(const TAdminRequest& request, const QJsonValue& result) {
    send_(ReplyLine(request.Id, result));
}

void TAdminSession::Fail(const TAdminRequest& request, const std::string& error) {
    send_(ErrorLine(request.Id, error));
}

TShownServer::TDone TAdminSession::Done(const TAdminRequest& request) {
    return [weak = std::weak_ptr<TAdminSession*>(self_), id = request.Id](const TShownResult& r) {
        const auto self = weak.lock();
        if (!self) return;
        (*self)->send_(r.Ok() ? ReplyLine(id, QJsonValue()) : ErrorLine(id, r.Error));
    };
}

std::optional<std::string> TAdminSession::Text(const TAdminRequest& request, const char* name) {
    auto text = JsonBytes(request.Args.value(QLatin1String(name)));
    if (!text) Fail(request, std::string("missing argument: ") + name);
    return text;
}

std::optional<TShownLobbyRef> TAdminSession::Lobby(const TAdminRequest& request, const char* name) {
    auto lobby = JsonLobbyRef(request.Args.value(QLatin1String(name)));
    if (!lobby) Fail(request, std::string("missing argument: ") + name);
    return lobby;
}

// Every change is logged with the account and address; arguments that may carry secrets
// or long texts are not.
void TAdminSession::LogAction(const std::string& what) {
    context_.Log("Admin " + *account_ + "@" + address_ + ": " + what);
}

namespace {

std::string LobbyText(const TShownLobbyRef& lobby) {
    return lobby.Id != 0 ? "lobby " + std::to_string(lobby.Id) : lobby.Name;
}

}  // namespace

// --- Login -----------------------------------------------------------------------------

void TAdminSession::Login(const TAdminRequest& request) {
    if (account_) return Fail(request, "already logged in");
    const std::string user =
        JsonBytes(request.Args.value(QStringLiteral("user"))).value_or(std::string());
    const std::string password =
        JsonBytes(request.Args.value(QStringLiteral("password"))).value_or(std::string());
    checking_ = true;
    context_.CheckLogin(
        address_, user, password,
        [weak = std::weak_ptr<TAdminSession*>(self_), request, user](const TLoginOutcome& outcome) {
            if (const auto self = weak.lock()) (*self)->LoginChecked(request, user, outcome);
        });
}

void TAdminSession::LoginChecked(const TAdminRequest& request, const std::string& user,
                                 const TLoginOutcome& outcome) {
    checking_ = false;
    (outcome.Verdict == TFailureLimit::TVerdict::Passed ? NetMetrics().AdminLogins
                                                        : NetMetrics().AdminLoginFailures)
        .Add();
    switch (outcome.Verdict) {
        case TFailureLimit::TVerdict::Passed:
            break;
        case TFailureLimit::TVerdict::FailedNowLockedOut:
            context_.Log("Admin login refused for " + address_);
            [[fallthrough]];
        case TFailureLimit::TVerdict::LockedOut:
        case TFailureLimit::TVerdict::Failed:
            Fail(request, "refused");
            break;
    }
    if (outcome.Verdict == TFailureLimit::TVerdict::Passed && outcome.Role) {
        account_ = user;
        role_ = *outcome.Role;
        LogAction(std::string("logged in as ") + RoleName(role_));
        Reply(request,
              QJsonObject{{QStringLiteral("role"), QString::fromLatin1(RoleName(role_))},
                          {QStringLiteral("server"), QString::fromStdString(context_.ServerName)}});
    }
    // The lines that came meanwhile, in order; one may be another login.
    while (!waiting_.empty() && !checking_) {
        const QByteArray line = std::move(waiting_.front());
        waiting_.pop_front();
        Handle(line);
    }
}

// --- Read commands ---------------------------------------------------------------------

void TAdminSession::Status(const TAdminRequest& request) {
    context_.Server.Snapshot([this, request](const TShownResult& r, const TShownSnapshot& s) {
        if (!r.Ok()) return Fail(request, r.Error);
        Reply(request, QJsonObject{{"running", s.Running},
                                   {"users", static_cast<qint64>(s.Users.size())},
                                   {"lobbies", static_cast<qint64>(s.Lobbies.size())},
                                   {"status", BytesJson(s.Status)},
                                   {"save_enabled", s.SaveEnabled},
                                   {"options", OptionsJson(s.Options)}});
    });
}

void TAdminSession::Users(const TAdminRequest& request) {
    context_.Server.Snapshot([this, request](const TShownResult& r, const TShownSnapshot& s) {
        if (!r.Ok()) return Fail(request, r.Error);
        QJsonArray users;
        for (const TShownUser& user : s.Users) users.append(UserJson(user));
        Reply(request, users);
    });
}

void TAdminSession::Lobbies(const TAdminRequest& request) {
    context_.Server.Snapshot([this, request](const TShownResult& r, const TShownSnapshot& s) {
        if (!r.Ok()) return Fail(request, r.Error);
        QJsonArray lobbies;
        for (const TShownLobby& lobby : s.Lobbies) lobbies.append(LobbyJson(lobby));
        Reply(request, lobbies);
    });
}

void TAdminSession::Members(const TAdminRequest& request) {
    const auto lobby = Lobby(request);
    if (!lobby) return;
    context_.Server.Snapshot(
        [this, request, ref = *lobby](const TShownResult& r, const TShownSnapshot& s) {
            if (!r.Ok()) return Fail(request, r.Error);
            for (const TShownLobby& shown : s.Lobbies)
                if (ref.Id != 0 ? shown.Id == ref.Id : shown.Name == ref.Name)
                    return Reply(request, LinesJson(shown.Members));
            Fail(request, "no such lobby");
        });
}

void TAdminSession::LogLines(const TAdminRequest& request) {
    context_.Server.Snapshot([this, request](const TShownResult& r, const TShownSnapshot& s) {
        if (!r.Ok()) return Fail(request, r.Error);
        Reply(request, LinesJson(s.Log));
    });
}

void TAdminSession::Subscribe(const TAdminRequest& request) {
    if (subscribed_) return Fail(request, "already subscribed");
    subscribed_ = true;
    context_.Server.Subscribe(*this,
                              [this, request](const TShownResult& r, const TShownSnapshot& s) {
                                  if (!r.Ok()) {
                                      subscribed_ = false;
                                      return Fail(request, r.Error);
                                  }
                                  Reply(request, SnapshotJson(s));
                              });
}

void TAdminSession::Reports(const TAdminRequest& request) {
    context_.Server.ReadReports(
        [this, request](const TShownResult& r, const std::vector<std::string>& lines) {
            if (!r.Ok()) return Fail(request, r.Error);
            Reply(request, LinesJson(lines));
        });
}

// --- Commands that change the server ---------------------------------------------------

void TAdminSession::Kick(const TAdminRequest& request) {
    const auto nick = Text(request, "nick");
    if (!nick) return;
    LogAction("kick " + *nick);
    context_.Server.Kick(*nick, Done(request));
}

void TAdminSession::Part(const TAdminRequest& request) {
    const auto nick = Text(request, "nick");
    if (!nick) return;
    const auto lobby = Lobby(request);
    if (!lobby) return;
    LogAction("part " + *nick + " from " + LobbyText(*lobby));
    context_.Server.Part(*nick, *lobby, Done(request));
}

void TAdminSession::Join(const TAdminRequest& request) {
    const auto nick = Text(request, "nick");
    if (!nick) return;
    const auto lobby = Lobby(request);
    if (!lobby) return;
    LogAction("join " + *nick + " to " + LobbyText(*lobby));
    context_.Server.Join(*nick, *lobby, Done(request));
}

void TAdminSession::PartAll(const TAdminRequest& request) {
    const auto lobby = Lobby(request);
    if (!lobby) return;
    LogAction("part all from " + LobbyText(*lobby));
    context_.Server.PartAll(*lobby, Done(request));
}

void TAdminSession::KickAll(const TAdminRequest& request) {
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("kick all");
    context_.Server.KickAll(*text, Done(request));
}

void TAdminSession::System(const TAdminRequest& request) {
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("system message");
    context_.Server.SystemMessage(*text, Done(request));
}

void TAdminSession::Message(const TAdminRequest& request) {
    const auto nick = Text(request, "nick");
    if (!nick) return;
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("message to " + *nick);
    context_.Server.PrivateMessage(*nick, *text, Done(request));
}

void TAdminSession::LobbyMessage(const TAdminRequest& request) {
    const auto lobby = Lobby(request);
    if (!lobby) return;
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("lobby message to " + LobbyText(*lobby));
    context_.Server.LobbyMessage(*lobby, *text, Done(request));
}

void TAdminSession::AdminMessage(const TAdminRequest& request) {
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("admin message");
    context_.Server.AdminMessage(*text, Done(request));
}

void TAdminSession::AddLobby(const TAdminRequest& request) {
    const auto name = Text(request, "name");
    if (!name) return;
    const auto description = Text(request, "description");
    if (!description) return;
    const QJsonValue isPrivate = request.Args.value(QStringLiteral("private"));
    if (!isPrivate.isUndefined() && !isPrivate.isBool())
        return Fail(request, "missing argument: private");
    LogAction("add lobby " + *name);
    context_.Server.AddLobby(
        *name, *description, isPrivate.toBool(false),
        [weak = std::weak_ptr<TAdminSession*>(self_), id = request.Id](const TShownResult& r,
                                                                       const TShownLobby& lobby) {
            const auto self = weak.lock();
            if (!self) return;
            (*self)->send_(r.Ok() ? ReplyLine(id, QJsonObject{{"id", static_cast<qint64>(lobby.Id)},
                                                              {"name", BytesJson(lobby.Name)}})
                                  : ErrorLine(id, r.Error));
        });
}

void TAdminSession::RemoveLobby(const TAdminRequest& request) {
    const auto lobby = Lobby(request);
    if (!lobby) return;
    LogAction("remove lobby " + LobbyText(*lobby));
    context_.Server.RemoveLobby(*lobby, Done(request));
}

void TAdminSession::SaveLobbies(const TAdminRequest& request) {
    LogAction("save lobby list");
    context_.Server.SaveLobbyList(Done(request));
}

void TAdminSession::SaveLog(const TAdminRequest& request) {
    LogAction("save log");
    context_.Server.SaveLog(Done(request));
}

void TAdminSession::ClearLog(const TAdminRequest& request) {
    LogAction("clear log");
    context_.Server.ClearLog(Done(request));
}

// Each option is optional: one not given keeps its value (clients that know only the first
// two options change only those).
void TAdminSession::Options(const TAdminRequest& request) {
    TShownOptionsChange change;
    std::string logged;
    auto flag = [&](const char* name, std::optional<bool>& to) {
        const QJsonValue value = request.Args.value(QLatin1String(name));
        if (value.isUndefined()) return true;
        if (!value.isBool()) {
            Fail(request, std::string("missing argument: ") + name);
            return false;
        }
        to = value.toBool();
        logged += std::string(" ") + name + "=" + (*to ? "1" : "0");
        return true;
    };
    auto limit = [&](const char* name, std::optional<int>& to) {
        const QJsonValue value = request.Args.value(QLatin1String(name));
        if (value.isUndefined()) return true;
        // A whole number in range (JSON numbers are doubles): 2.5, -1 and 1e300 are refused.
        const double number = value.toDouble(-1);
        if (!value.isDouble() || !(number >= 0 && number <= TShownOptions::MaxFloodLimit) ||
            number != std::floor(number)) {
            Fail(request, TShownOptions::FloodLimitError());
            return false;
        }
        to = static_cast<int>(number);
        logged += std::string(" ") + name + "=" + std::to_string(*to);
        return true;
    };
    if (!flag("auto_save", change.AutoSave) || !flag("allow_create", change.AllowCreate) ||
        !flag("route_chat", change.RouteChat) || !limit("flood_rate", change.FloodRate) ||
        !limit("flood_burst", change.FloodBurst))
        return;
    LogAction("options" + logged);
    context_.Server.SetOptions(change, [weak = std::weak_ptr<TAdminSession*>(self_),
                                        id = request.Id](const TShownResult& done,
                                                         const TShownOptions& options) {
        const auto self = weak.lock();
        if (!self) return;
        (*self)->send_(done.Ok() ? ReplyLine(id, OptionsJson(options)) : ErrorLine(id, done.Error));
    });
}

void TAdminSession::Stop(const TAdminRequest& request) {
    LogAction("stop");
    context_.Server.Stop(Done(request));
}

void TAdminSession::Start(const TAdminRequest& request) {
    LogAction("start");
    context_.Server.Start(Done(request));
}

void TAdminSession::Shutdown(const TAdminRequest& request) {
    const auto text = Text(request, "text");
    if (!text) return;
    LogAction("shutdown");
    context_.Server.Shutdown(*text, Done(request));
}

void TAdminSession::ClearReports(const TAdminRequest& request) {
    LogAction("clear reports");
    context_.Server.ClearReports(Done(request));
}
