// Waits on the server's listening sockets and hands every accepted connection to a peer
// thread of its own. Runs on its own thread while the server is active; the server starts,
// stops and joins it.
#pragma once

#include <vector>

#include "NetThread.h"

class TNetTCPServer;

class TNetListenerThread : public TNetThread {
  public:
    explicit TNetListenerThread(TNetTCPServer& server);
    int AcceptWaitTime = 1000;

  protected:
    void RunStep() override;
    void AfterRunStep() override;

  private:
    void AcceptOne(int listeningDescriptor);

    TNetTCPServer& server_;
    std::vector<int> scratch_;
};
