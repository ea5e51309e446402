// Writing to a user whom another thread may be quitting meanwhile: the console's messages
// and replies that are not written by the user's own connection thread. Any thread,
// holding no console lock (it takes the chat core's lobby-list lock).
#pragma once

#include <string>

class TLobbyList;
class TNetPeerThread;

// Writes the line to the connection if it is still registered under the nick (letter case
// ignored); the lobby-list lock, held meanwhile, keeps it alive. False, writing nothing,
// when the user has gone. A failed write throws the connection's error, as WriteLine does;
// the connection's own thread then quits the user.
// The connection registered under the nick (letter case ignored), or null. The caller
// holds the lobby-list lock while it uses the result.
TNetPeerThread* FindRegisteredUser(const TLobbyList& store, const std::string& nick);

bool WriteToUser(TLobbyList& store, const TNetPeerThread* thread, const std::string& nick,
                 const std::string& line);
