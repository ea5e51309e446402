// The thread that serves one accepted connection: the connect step once, the execute step
// while the connection lives, the disconnect step once. Its identity is the client's
// identity throughout the chat core. Created by the thread manager on the listener thread;
// its steps run on itself; Connection() may be used from any thread while it lives.
#pragma once

#include <memory>

#include "NetTCPConnection.h"
#include "NetThread.h"

class TNetThreadMgr;

class TNetPeerThread : public TNetThread {
  public:
    explicit TNetPeerThread(bool createSuspended = true);
    ~TNetPeerThread() override;

    TNetTCPServerConnection& Connection() { return *connection_; }
    void SetConnection(std::unique_ptr<TNetTCPServerConnection> connection);
    // The manager that released this thread, kept alive until the thread is gone.
    void SetThreadMgr(std::shared_ptr<TNetThreadMgr> mgr) { mgr_ = std::move(mgr); }

    // A slot for the layer above, which guards it with its own lock: the chat core keeps
    // the connection's registry entry here, so a fan-out finds each recipient's nick
    // without a lookup.
    void* Data = nullptr;

  protected:
    void BeforeRunStep() override;
    void RunStep() override;
    void AfterRunStep() override;

  private:
    std::unique_ptr<TNetTCPServerConnection> connection_;
    std::shared_ptr<TNetThreadMgr> mgr_;
};
