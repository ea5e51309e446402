#include "NetSocketHandle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "NetException.h"
#include "NetSocketLayer.h"

namespace {

std::string AddressText(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}

[[noreturn]] void RaiseLastError() {
    throw ENetSocketError(WinsockErrorFromErrno(errno));
}

}  // namespace

TNetSocketHandle::TNetSocketHandle() = default;

TNetSocketHandle::~TNetSocketHandle() {
    std::lock_guard lock(mutex_);
    if (handle_ >= 0) ::close(handle_);
    if (deferredHandle_ >= 0) ::close(deferredHandle_);
}

int TNetSocketHandle::Handle() const {
    std::lock_guard lock(mutex_);
    return handle_;
}

bool TNetSocketHandle::IsOpen() const {
    return isOpen_.load();
}

std::string TNetSocketHandle::IP() const {
    std::lock_guard lock(mutex_);
    return ip_;
}

int TNetSocketHandle::Port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

std::string TNetSocketHandle::RemoteIP() const {
    std::lock_guard lock(mutex_);
    return remoteIP_;
}

int TNetSocketHandle::RemotePort() const {
    std::lock_guard lock(mutex_);
    return remotePort_;
}

void TNetSocketHandle::SetIP(const std::string& ip) {
    std::lock_guard lock(mutex_);
    ip_ = ip;
}

void TNetSocketHandle::SetPort(int port) {
    std::lock_guard lock(mutex_);
    port_ = port;
}

void TNetSocketHandle::OpenSocket() {
    std::lock_guard lock(mutex_);
    // IP and Port are kept: the activation that reopens a socket binds to them at once.
    CloseLocked(false);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw ENetInvalidSocket();
    handle_ = fd;
    isOpen_ = true;
}

void TNetSocketHandle::SetOption(int level, int name, int value) {
    std::lock_guard lock(mutex_);
    CheckSocketResult(::setsockopt(handle_, level, name, &value, sizeof value));
}

void TNetSocketHandle::SetNonBlocking(bool nonBlocking) {
    std::lock_guard lock(mutex_);
    const int flags = ::fcntl(handle_, F_GETFL);
    CheckSocketResult(flags);
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    CheckSocketResult(::fcntl(handle_, F_SETFL, wanted));
}

void TNetSocketHandle::Bind() {
    std::lock_guard lock(mutex_);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!ip_.empty() && ::inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr) != 1)
        throw ENetSocketError(WsaAddressNotAvailable);
    if (::bind(handle_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EADDRINUSE) throw ENetCouldNotBindSocket();
        RaiseLastError();
    }
    // A binding to port 0 learns its real port here, and keeps it for later activations.
    RefreshLocalLocked();
}

void TNetSocketHandle::Listen(int backlog) {
    std::lock_guard lock(mutex_);
    CheckSocketResult(::listen(handle_, backlog));
}

void TNetSocketHandle::AcceptFrom(int listeningDescriptor) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd =
        ::accept4(listeningDescriptor, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) RaiseLastError();
    std::lock_guard lock(mutex_);
    CloseLocked(false);
    handle_ = fd;
    isOpen_ = true;
    RefreshLocalLocked();
    remoteIP_ = AddressText(peer);
    remotePort_ = ntohs(peer.sin_port);
}

void TNetSocketHandle::CloseSocket(bool resetLocal) {
    std::lock_guard lock(mutex_);
    CloseLocked(resetLocal);
}

void TNetSocketHandle::CloseLocked(bool resetLocal) {
    if (handle_ < 0) return;
    // Cleared first: another thread that tests IsOpen from now on sees a closed socket.
    isOpen_ = false;
    if (deferredClose_) {
        ::shutdown(handle_, SHUT_RDWR);
        if (deferredHandle_ >= 0) ::close(deferredHandle_);
        deferredHandle_ = handle_;
    } else {
        ::shutdown(handle_, SHUT_WR);
        ::close(handle_);
    }
    handle_ = -1;
    ResetBindingLocked(resetLocal);
}

void TNetSocketHandle::ResetBinding(bool resetLocal) {
    std::lock_guard lock(mutex_);
    ResetBindingLocked(resetLocal);
}

void TNetSocketHandle::ResetBindingLocked(bool resetLocal) {
    isOpen_ = false;
    handle_ = -1;
    remoteIP_.clear();
    remotePort_ = 0;
    if (!resetLocal) return;
    ip_.clear();
    port_ = 0;
}

void TNetSocketHandle::RefreshLocalLocked() {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return;
    ip_ = AddressText(local);
    port_ = ntohs(local.sin_port);
}

bool TNetSocketHandle::WaitReadable(int timeout) {
    const int fd = Handle();
    // Waiting on -1 would never end; a socket closed meanwhile reads as closed.
    if (!IsOpen() || fd < 0) throw ENetConnClosedGracefully();
    pollfd p{fd, POLLIN, 0};
    const int waitMs = timeout == TimeoutInfinite ? -1 : (timeout < 0 ? 0 : timeout);
    return ::poll(&p, 1, waitMs) == 1;
}

void TNetSocketHandle::SetDeferredClose(bool deferred) {
    std::lock_guard lock(mutex_);
    deferredClose_ = deferred;
}

void TNetSocketHandle::Interrupt() {
    std::lock_guard lock(mutex_);
    if (handle_ >= 0) ::shutdown(handle_, SHUT_RDWR);
}

TNetSocketHandle& TNetSocketHandles::Add() {
    auto item = std::make_unique<TNetSocketHandle>();
    item->SetPort(defaultPort_);
    items_.push_back(std::move(item));
    return *items_.back();
}
