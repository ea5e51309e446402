// Text is bytes in this program; widgets show QStrings. These are the one way between the
// two. Bytes show as UTF-8 where they are valid UTF-8 and as Latin-1 (one character per
// byte) where they are not, so that every name stays readable. Two byte strings can then
// look alike, so the views keep the exact bytes beside what they show (the roles below)
// and the commands read those, never the shown text. Any thread for Q(); the widget
// helpers on the UI thread only.
#pragma once

#include <QString>
#include <QVariant>

#include <string>

class QLineEdit;

// Item data roles that hold exact bytes (a QByteArray). Qt::UserRole is TTabListBox's.
constexpr int LobbyNameRole = Qt::UserRole + 1;  // a lobby row: the lobby's name
constexpr int NickRole = Qt::UserRole + 2;       // a grid nick cell or member row: the nick
// A lobby row: the shown lobby's id (TLobby::Serial, a qulonglong, never reused), by which
// the commands find the lobby again; an address could by then be another lobby's.
constexpr int LobbyIdRole = Qt::UserRole + 3;

// The text that shows the bytes.
QString Q(const std::string& bytes);

// Exact bytes as item or action data, and back.
QVariant BytesData(const std::string& bytes);
std::string BytesOf(const QVariant& data);

// A text field that shows bytes: SetFieldBytes shows them and remembers them; FieldBytes
// gives them back while the field still shows them, and otherwise what the operator
// typed, as UTF-8.
void SetFieldBytes(QLineEdit* field, const std::string& bytes);
std::string FieldBytes(const QLineEdit* field);
