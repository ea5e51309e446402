// The frame's exception classes, each with its fixed English message.
// Any thread may construct and throw them; they carry no shared state.
#pragma once

#include <stdexcept>
#include <string>

class ENetException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Failures that end a peer thread without anything being reported.
class ENetSilentException : public ENetException {
  public:
    using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
  public:
    ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

// A socket call failed; ErrorCode is the Windows Sockets number (10000 + BSD errno).
// Message: "Socket Error # <code>\r\n<description>".
class ENetSocketError : public ENetException {
  public:
    explicit ENetSocketError(int errorCode);
    int ErrorCode() const { return errorCode_; }

  private:
    int errorCode_;
};

class ENetCouldNotBindSocket : public ENetException {
  public:
    ENetCouldNotBindSocket()
        : ENetException("Could not bind socket. Address and port are already in use.") {}
};

class ENetInvalidSocket : public ENetException {
  public:
    ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetStackSetSizeExceeded : public ENetException {
  public:
    ENetStackSetSizeExceeded() : ENetException("Set Size Exceeded.") {}
};

class ENetNotEnoughDataInBuffer : public ENetException {
  public:
    ENetNotEnoughDataInBuffer() : ENetException("Not enough data in buffer.") {}
};

class ENetNoExecuteSpecified : public ENetException {
  public:
    ENetNoExecuteSpecified() : ENetException("No execute handler found.") {}
};

class ENetThreadClassNotSpecified : public ENetException {
  public:
    ENetThreadClassNotSpecified() : ENetException("Thread Class Not Specified.") {}
};
