#include "NetException.h"

#include <string>

#include "NetSocketLayer.h"

namespace {

std::string SocketErrorMessage(int errorCode) {
    return "Socket Error # " + std::to_string(errorCode) + "\r\n" +
           SocketErrorDescription(errorCode);
}

}  // namespace

ENetSocketError::ENetSocketError(int errorCode)
    : ENetException(SocketErrorMessage(errorCode)), errorCode_(errorCode) {}
