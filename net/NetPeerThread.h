// The thread that serves one accepted connection: the connect step once, the execute step
// while the connection lives, the disconnect step once. Its identity is the client's
// identity throughout the chat core, and the layer above keeps its per-connection state in
// a class derived from this one, made by the server's PeerThreadClass factory. Created by
// the thread manager on the listener thread; its steps run on itself; Connection() may be
// used from any thread while it lives. A server's execute step may bind the thread's
// fan-out (FanOut(); where its lines wait and who sends them: net/NetFanOut.h).
#pragma once

#include <memory>

#include "NetFanOut.h"
#include "NetTCPServerConnection.h"
#include "NetThread.h"

class TNetThreadMgr;

class TNetPeerThread : public TNetThread {
  public:
    explicit TNetPeerThread(bool createSuspended = true);
    ~TNetPeerThread() override;

    TNetTCPServerConnection& Connection() { return *connection_; }
    const TNetTCPServerConnection& Connection() const { return *connection_; }
    // The peer thread's own fan-out; used on this thread only.
    TNetFanOut& FanOut() { return *fanOut_; }
    void SetConnection(std::unique_ptr<TNetTCPServerConnection> connection);
    // The manager that released this thread, kept alive until the thread is gone.
    void SetThreadMgr(std::shared_ptr<TNetThreadMgr> mgr) { mgr_ = std::move(mgr); }

  protected:
    void BeforeRunStep() override;
    void RunStep() override;
    void AfterRunStep() override;

  private:
    std::unique_ptr<TNetTCPServerConnection> connection_;
    std::unique_ptr<TNetFanOut> fanOut_;  // made with the connection, used on this thread
    std::shared_ptr<TNetThreadMgr> mgr_;
};
