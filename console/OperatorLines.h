// The lines that the operator's actions send to players, and the note a remote shutdown
// leaves for the operator: one text for each, whether the action came from the window or
// the admin endpoint (console/LocalShownServer.cpp) or from a code word
// (console/RemoteAdmin.cpp). Pure functions; any thread.
#pragma once

#include <string>

namespace operator_lines {

inline std::string AdminMessage(const std::string& text) {
    return "***Message by Admin: " + text;
}

inline std::string AllKicked(const std::string& text) {
    return "***All users kicked by admin: " + text;
}

// A shutdown's countdown, each second: the wording players' clients have always shown.
inline std::string ShutdownIn(int seconds) {
    return "***Server will shout down in " + std::to_string(seconds) + "secounds !";
}

inline std::string StoppedByRemote(const std::string& message) {
    return "The sever was stopped by remote. Message: " + message;
}

}  // namespace operator_lines
