// Line-building and line-writing helpers shared by the chat core's source files.
// Any thread; they touch only the connection they are given.
#pragma once

#include <string>
#include <string_view>

class TNetPeerThread;
class TNetIRCServer;

namespace chat {

// Writes one line to the connection. A connection that has closed (or fails) is skipped:
// its own disconnect handling quits it, and the operation that wrote goes on. A socket
// error also closes the connection so that it ends like a lost one.
void SendLine(TNetPeerThread& thread, std::string_view line);

// ":" + nick + "!user@" + the peer address, the prefix of a user's relayed lines.
std::string UserPrefix(const std::string& nick, TNetPeerThread& thread);

// ":" + Host + " " + code + " " + nick, the opening of a numeric reply.
std::string Numeric(const TNetIRCServer& server, const char* code, const std::string& nick);

}  // namespace chat
