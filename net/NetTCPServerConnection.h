// A connection accepted by a server: a TNetTCPConnection that knows its server. Made by
// the listener thread, owned and released by its peer thread; any thread may use it as a
// TNetTCPConnection.
#pragma once

#include "NetTCPConnection.h"

class TNetTCPServer;

class TNetTCPServerConnection : public TNetTCPConnection {
  public:
    explicit TNetTCPServerConnection(TNetTCPServer& server) : server_(server) {}
    TNetTCPServer& Server() const { return server_; }

  private:
    friend class TNetListenerThread;
    TNetTCPServer& server_;
};
