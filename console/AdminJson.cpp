#include "AdminJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringDecoder>

namespace {

// Whether the bytes are valid UTF-8 (so a JSON string carries them exactly).
bool ValidUtf8(const std::string& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return !decoder.hasError();
}

}  // namespace

QJsonValue BytesJson(const std::string& bytes) {
    if (ValidUtf8(bytes)) return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    const QByteArray raw(bytes.data(), qsizetype(bytes.size()));
    return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(raw.toBase64())}};
}

std::optional<std::string> JsonBytes(const QJsonValue& value) {
    if (value.isString()) return value.toString().toStdString();
    if (!value.isObject()) return std::nullopt;
    const QJsonValue encoded = value.toObject().value(QStringLiteral("base64"));
    if (!encoded.isString()) return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(encoded.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return std::nullopt;
    return decoded.decoded.toStdString();
}

QJsonValue LinesJson(const std::vector<std::string>& lines) {
    QJsonArray array;
    for (const std::string& line : lines) array.append(BytesJson(line));
    return array;
}

std::optional<TShownLobbyRef> JsonLobbyRef(const QJsonValue& value) {
    if (value.isDouble()) {
        const double id = value.toDouble();
        if (id < 1 || id > 9007199254740992.0 || id != static_cast<double>(value.toInteger()))
            return std::nullopt;
        return TShownLobbyRef{static_cast<std::uint64_t>(value.toInteger()), {}};
    }
    if (auto name = JsonBytes(value)) return TShownLobbyRef{0, std::move(*name)};
    return std::nullopt;
}

TAdminRequest ParseAdminRequest(const QByteArray& line) {
    TAdminRequest request;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        request.Error = "malformed request: not a JSON object";
        return request;
    }
    request.Args = document.object();
    const QJsonValue id = request.Args.value(QStringLiteral("id"));
    if (id.isDouble() && id.toDouble() == static_cast<double>(id.toInteger()))
        request.Id = id.toInteger();
    const QJsonValue cmd = request.Args.value(QStringLiteral("cmd"));
    if (!cmd.isString()) {
        request.Error = "malformed request: no cmd";
        return request;
    }
    request.Cmd = cmd.toString().toStdString();
    return request;
}

QJsonObject UserJson(const TShownUser& user) {
    return {{QStringLiteral("nick"), BytesJson(user.Nick)},
            {QStringLiteral("address"), BytesJson(user.Address)},
            {QStringLiteral("time"), BytesJson(user.Time)}};
}

QJsonObject LobbyJson(const TShownLobby& lobby) {
    return {{QStringLiteral("id"), static_cast<qint64>(lobby.Id)},
            {QStringLiteral("name"), BytesJson(lobby.Name)},
            {QStringLiteral("description"), BytesJson(lobby.Description)},
            {QStringLiteral("private"), lobby.IsPrivate},
            {QStringLiteral("user_created"), lobby.UserCreated},
            {QStringLiteral("members"), LinesJson(lobby.Members)}};
}

QJsonObject OptionsJson(const TShownOptions& options) {
    return {{QStringLiteral("auto_save"), options.AutoSave},
            {QStringLiteral("allow_create"), options.AllowCreate},
            {QStringLiteral("route_chat"), options.RouteChat},
            {QStringLiteral("flood_rate"), options.FloodRate},
            {QStringLiteral("flood_burst"), options.FloodBurst}};
}

QJsonObject SnapshotJson(const TShownSnapshot& snapshot) {
    QJsonArray users, lobbies;
    for (const TShownUser& user : snapshot.Users) users.append(UserJson(user));
    for (const TShownLobby& lobby : snapshot.Lobbies) lobbies.append(LobbyJson(lobby));
    return {{QStringLiteral("users"), users},
            {QStringLiteral("lobbies"), lobbies},
            {QStringLiteral("log"), LinesJson(snapshot.Log)},
            {QStringLiteral("options"), OptionsJson(snapshot.Options)},
            {QStringLiteral("running"), snapshot.Running},
            {QStringLiteral("save_enabled"), snapshot.SaveEnabled},
            {QStringLiteral("status"), BytesJson(snapshot.Status)}};
}

QJsonObject EventJson(const TShownEvent& event) {
    using K = TShownEvent::TKind;
    auto named = [](const char* name) { return QJsonObject{{"event", QString::fromLatin1(name)}}; };
    auto lobbyEvent = [&](const char* name) {
        QJsonObject object = named(name);
        object.insert("id", static_cast<qint64>(event.Lobby.Id));
        object.insert(event.Kind == K::LobbyRemove ? "name" : "lobby", BytesJson(event.Lobby.Name));
        if (event.Kind != K::LobbyRemove) object.insert("nick", BytesJson(event.Nick));
        return object;
    };
    switch (event.Kind) {
        case K::UserEnter: {
            QJsonObject object = UserJson(event.User);
            object.insert("event", QStringLiteral("user_enter"));
            return object;
        }
        case K::UserQuit: {
            QJsonObject object = named("user_quit");
            object.insert("nick", BytesJson(event.User.Nick));
            object.insert("address", BytesJson(event.User.Address));
            return object;
        }
        case K::LobbyAdd: {
            QJsonObject object = named("lobby_add");
            object.insert("lobby", LobbyJson(event.Lobby));
            return object;
        }
        case K::LobbyRemove:
            return lobbyEvent("lobby_remove");
        case K::Join:
            return lobbyEvent("join");
        case K::Part:
            return lobbyEvent("part");
        case K::Log: {
            QJsonObject object = named("log");
            object.insert("line", BytesJson(event.Text));
            return object;
        }
        case K::LogReset: {
            QJsonObject object = named("log_reset");
            object.insert("log", LinesJson(event.Lines));
            return object;
        }
        case K::Options: {
            QJsonObject object = named("options");
            object.insert("options", OptionsJson(event.Options));
            return object;
        }
        case K::Running: {
            QJsonObject object = named("running");
            object.insert("running", event.Flag);
            return object;
        }
        case K::Status: {
            QJsonObject object = named("status");
            object.insert("status", BytesJson(event.Text));
            return object;
        }
        case K::SaveEnabled: {
            QJsonObject object = named("save_enabled");
            object.insert("enabled", event.Flag);
            return object;
        }
    }
    return named("unknown");
}

QByteArray ObjectLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray ReplyLine(const std::optional<qint64>& id, const QJsonValue& result) {
    return ObjectLine({{QStringLiteral("id"), id ? QJsonValue(*id) : QJsonValue()},
                       {QStringLiteral("ok"), true},
                       {QStringLiteral("result"), result}});
}

QByteArray ErrorLine(const std::optional<qint64>& id, const std::string& error) {
    return ObjectLine({{QStringLiteral("id"), id ? QJsonValue(*id) : QJsonValue()},
                       {QStringLiteral("ok"), false},
                       {QStringLiteral("error"), BytesJson(error)}});
}
