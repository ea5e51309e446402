// One socket endpoint: a listening binding of a server or the socket of a connection,
// IPv4 or IPv6 (an IP with a colon in it, "::" for every local IPv6 address; an IPv6
// binding takes IPv6 clients only, so an IPv4 binding on the same port can sit beside it).
// The descriptor and the addresses are guarded by the handle's own mutex, so IsOpen() and
// the address getters may be read from any thread while another thread closes the socket.
// Lock order: a handle's mutex is innermost (taken last, never held while calling out).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TNetSocketHandle {
  public:
    TNetSocketHandle();
    ~TNetSocketHandle();  // closes the descriptor if it is open
    TNetSocketHandle(const TNetSocketHandle&) = delete;
    TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

    int Handle() const;  // -1 when none
    // A binding the host may lack (IPv6 where the kernel has none): the server's
    // activation goes on without it when its socket cannot be made or its address is
    // not available here.
    bool Optional() const { return optional_; }
    void SetOptional(bool optional) { optional_ = optional; }
    bool IsOpen() const;     // true while a descriptor is held and not closed
    std::string IP() const;  // local address, "" = every local address
    int Port() const;        // local port
    std::string RemoteIP() const;
    int RemotePort() const;
    void SetIP(const std::string& ip);
    void SetPort(int port);

    void OpenSocket();                               // ENetInvalidSocket on failure
    void SetOption(int level, int name, int value);  // ENetSocketError on failure
    void Bind();                                     // ENetCouldNotBindSocket for 10048
    void Listen(int backlog);
    void AcceptFrom(int listeningDescriptor);  // ENetSocketError, nothing stored on failure
    // Clears IsOpen first, then shuts the socket down and closes it, then ResetBinding.
    // With deferred close (connection sockets), the descriptor is shut down in both
    // directions at once, which wakes any thread waiting on it, and closed only when the
    // handle is destroyed: another thread may still be inside poll or recv on that number,
    // and closing it early could hand the number to a new connection under its feet.
    void CloseSocket(bool resetLocal);
    void ResetBinding(bool resetLocal);
    bool WaitReadable(int timeout);  // ENetConnClosedGracefully when not open

    void SetDeferredClose(bool deferred);
    // Shuts the open socket down without closing it: a thread waiting on it (a listener in
    // poll) wakes, and the descriptor number stays reserved until CloseSocket.
    void Interrupt();
    void SetNonBlocking(bool nonBlocking);  // ENetSocketError on failure

  private:
    void CloseLocked(bool resetLocal);
    void ResetBindingLocked(bool resetLocal);
    void RefreshLocalLocked();

    mutable std::mutex mutex_;
    int handle_ = -1;          // guarded by mutex_
    int deferredHandle_ = -1;  // shut down, closed in the destructor; guarded by mutex_
    std::atomic<bool> isOpen_{false};
    std::atomic<bool> optional_{false};
    bool deferredClose_ = false;  // guarded by mutex_
    std::string ip_;              // guarded by mutex_
    int port_ = 0;                // guarded by mutex_
    std::string remoteIP_;        // guarded by mutex_
    int remotePort_ = 0;          // guarded by mutex_
};

// The ordered collection of a server's listening bindings. Used by the thread that
// activates and deactivates the server, and read by the listener thread while active.
class TNetSocketHandles {
  public:
    int DefaultPort() const { return defaultPort_; }
    void SetDefaultPort(int port) { defaultPort_ = port; }

    TNetSocketHandle& Add();  // new item: Port = DefaultPort, IP = ""
    int Count() const { return static_cast<int>(items_.size()); }
    TNetSocketHandle& operator[](int index) { return *items_.at(index); }
    const TNetSocketHandle& operator[](int index) const { return *items_.at(index); }
    void Clear() { items_.clear(); }

  private:
    int defaultPort_ = 0;
    std::vector<std::unique_ptr<TNetSocketHandle>> items_;
};
