// A TCP connection with line-oriented reading and queued, non-blocking writing.
// Threads: ReadLine/FillPendingInput on the owning peer thread; the periodic probe
// (ProbeConnections) from the sweeping thread; WriteLine/WriteText/WriteBytes, IsConnected
// and Disconnect from any thread. Everything that touches PendingInput and the flags is
// done under the connection's own mutex; the output queue has a lock of its own, taken
// after it (the program's lock order is written once, in chat/LobbyList.h).
//
// Writing never blocks on the network: a line waits in the connection's output queue
// until the socket takes it (where it waits and who sends it: net/NetFanOut.h). Lines
// never interleave and stay in order. A failed send, more than MaxQueuedOutput bytes
// waiting once the socket refuses bytes, or a client that stopped reading (the stall time,
// net/NetOutputQueue.h) close the connection like a lost one; that write drops its bytes
// without raising, since the writer is often another client's thread fanning a line out.
// A write to a connection that was already closed raises ENetConnClosedGracefully.
//
// Reading: a peer that sends more than MaxLineLength bytes without the terminator ends
// its connection like a lost one (ReadLine raises ENetConnClosedGracefully). The reader
// waits in poll without the mutex and receives under it, so Disconnect from any thread
// wakes it at once (the socket is shut down; its number is closed only with the
// connection) and bytes that the sweep's probe takes reach the next ReadLine in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "NetComponent.h"
#include "NetMetrics.h"
#include "NetSocketHandle.h"
#include "NetSocketLayer.h"

class TNetTCPServer;
class TNetOutputQueue;

class TNetTCPConnection : public TNetComponent {
  public:
    static constexpr std::size_t MaxLineLength = 8192;
    static constexpr std::size_t MaxQueuedOutput = 1024 * 1024;

    TNetTCPConnection();
    ~TNetTCPConnection() override;

    TNetSocketHandle& Socket() { return socket_; }
    const TNetSocketHandle& Socket() const { return socket_; }
    // The peer's address as captured at accept; stays valid after the socket is closed.
    const std::string& PeerAddress() const { return peerAddress_; }

    std::string ReadLine(const std::string& terminator = "", int timeout = TimeoutInfinite);
    void WriteText(std::string_view text);
    void WriteLine(std::string_view text = "");
    void WriteBytes(const char* data, int count);
    // WriteText for fan-outs: a connection that is closed or closes on this write is
    // skipped (false) instead of raising. It takes only the output queue's lock unless
    // the write fails, so a peer that has ended its input is still written to until its
    // own thread closes it.
    bool TryWriteText(std::string_view text);
    // A whole line is waiting in PendingInput: the next ReadLine returns without waiting.
    bool HasPendingLine() const;

    bool IsConnected();
    void Disconnect();
    void CheckForClose(bool raiseIfClosed = true, bool ignorePending = false);
    int FillPendingInput(bool raiseIfClosed = true, int timeout = TimeoutInfinite);
    // ProbeConnections for this connection alone; it does not wait.
    void ProbeForClose(bool raiseIfClosed);
    std::string ExtractPending(int count);

    bool PeerClosed() const;
    bool ReadTimedOut() const;
    std::size_t PendingInputSize() const;
    // PendingInput and what the socket holds unread: the input that waits for the reader.
    std::size_t WaitingInputSize() const;
    std::size_t QueuedOutputSize() const;
    // How long output may wait for a client that reads nothing before it is closed (net/
    // NetOutputQueue.h: StallTime unless set). Any thread.
    void SetStallTime(std::chrono::milliseconds stall);

    // One readiness poll over all the given connections without waiting, then one
    // non-blocking receive on each readable one; a close or error is recorded on that
    // connection only. Used by the chat server's sweep, which holds PeerThreads meanwhile.
    static void ProbeConnections(std::span<TNetTCPConnection* const> connections);

    // Why it closed: noted by whoever closes it (net/NetMetrics.h); CloseReason adds a
    // failed output to the reasons noted.
    TNetCloseNote CloseNote;
    TNetCloseReason CloseReason() const;

    int RecvBufferSize = 32768;
    int SendBufferSize = 32768;
    // Fired after the connection closed its socket, on the thread that closed it, once the
    // connection's own lock is released, but possibly with PeerThreads and the lobby-list
    // lock held (a sweep's probe, DisconnectAll and a broadcast's write close connections
    // under them): a handler takes no lock above 4 of chat/LobbyList.h's table and waits
    // for nothing.
    std::function<void(TNetTCPConnection&)> OnDisconnected;

  protected:
    // Called by the accepting listener once the socket is accepted.
    void Accepted();

  private:
    friend class TNetListenerThread;
    friend class TNetFanOut;
    friend class TNetBroadcast;
    using TLock = std::unique_lock<std::mutex>;

    // These run under mutex_. `closedNow` is set when the call closed the socket, so that
    // the public caller fires OnDisconnected once the lock is released, also when the call
    // raises.
    bool CloseLocked();
    void CheckForCloseLocked(bool raiseIfClosed, bool ignorePending, bool& closedNow);
    bool IsConnectedLocked(bool& closedNow);
    int FillLocked(TLock& lock, bool raiseIfClosed, int timeout, bool& closedNow);
    int ReceiveLocked(bool raiseIfClosed, bool& closedNow);
    int ReceiveFailedLocked(int err, bool& closedNow);
    bool TakeLineLocked(const std::string& terminator, std::string& line);
    void ProbeLocked(bool& closedNow);
    std::size_t PendingLocked() const { return pendingInput_.size() - pendingStart_; }
    void CompactLocked();
    // Hands bytes to the current fan-out or sends them; false when the connection is
    // closed or closed on this write.
    bool Deliver(std::string_view bytes);

    mutable std::mutex mutex_;
    TNetSocketHandle socket_;
    std::string peerAddress_;        // written once in Accepted(), before any sharing
    std::string pendingInput_;       // guarded by mutex_; unread bytes from pendingStart_
    std::size_t pendingStart_ = 0;   // guarded by mutex_
    std::size_t searchedUpTo_ = 0;   // guarded by mutex_; pendingInput_ holds no LF before
    std::size_t receivedTotal_ = 0;  // guarded by mutex_; bytes ever appended
    bool peerClosed_ = false;        // guarded by mutex_
    bool readTimedOut_ = false;      // guarded by mutex_
    bool readerWaiting_ = false;     // guarded by mutex_; the reader is in poll, unlocked
    std::shared_ptr<TNetOutputQueue> output_;  // shared with the flusher thread
};
