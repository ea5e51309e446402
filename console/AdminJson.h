// The admin endpoint's JSON: reading a request line and writing replies, events and the
// snapshot (docs/admin-protocol.md). Protocol bytes travel as a JSON string when they are
// valid UTF-8 and as {"base64": "..."} otherwise; both forms are read everywhere. Qt Core
// only (its JSON parser); plain functions, any thread.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ShownServer.h"

// A request line, read. When Error is not empty the line was malformed: the reply is that
// error, with Id when one could be read.
struct TAdminRequest {
    std::optional<qint64> Id;
    std::string Cmd;
    QJsonObject Args;
    std::string Error;
};

TAdminRequest ParseAdminRequest(const QByteArray& line);

// Bytes as a JSON value, and back (nullopt when the value is neither form).
QJsonValue BytesJson(const std::string& bytes);
std::optional<std::string> JsonBytes(const QJsonValue& value);
QJsonValue LinesJson(const std::vector<std::string>& lines);

// A lobby argument: an integer id, or a name in either byte form.
std::optional<TShownLobbyRef> JsonLobbyRef(const QJsonValue& value);

QJsonObject UserJson(const TShownUser& user);
QJsonObject LobbyJson(const TShownLobby& lobby);
QJsonObject OptionsJson(const TShownOptions& options);
QJsonObject SnapshotJson(const TShownSnapshot& snapshot);
QJsonObject EventJson(const TShownEvent& event);

// One line of the protocol: the object in compact form and "\n".
QByteArray ReplyLine(const std::optional<qint64>& id, const QJsonValue& result);
QByteArray ErrorLine(const std::optional<qint64>& id, const std::string& error);
QByteArray ObjectLine(const QJsonObject& object);
