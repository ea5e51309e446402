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

// An address in its usual text form: dotted quad, or IPv6 as inet_ntop writes it (RFC
// 5952: lower case, the longest run of zero groups as "::").
std::string AddressText(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr, text,
                    sizeof text);
    } else {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text,
                    sizeof text);
    }
    return text;
}

int PortOf(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

// A binding's address names its family: IPv6 text holds a colon ("::" is every local
// IPv6 address), anything else ("" included) is IPv4.
bool IsIPv6Text(const std::string& ip) {
    return ip.find(':') != std::string::npos;
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
    const int fd = ::socket(IsIPv6Text(ip_) ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    sockaddr_storage addr{};
    socklen_t len = sizeof(sockaddr_in);
    if (IsIPv6Text(ip_)) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port_));
        if (::inet_pton(AF_INET6, ip_.c_str(), &in6.sin6_addr) != 1)
            throw ENetSocketError(WsaAddressNotAvailable);
        len = sizeof in6;
        // IPv6 only: IPv4 has a binding of its own beside it, and IPv4 clients then keep
        // their dotted addresses instead of arriving as ::ffff:a.b.c.d.
        const int one = 1;
        CheckSocketResult(::setsockopt(handle_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one));
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(addr);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<uint16_t>(port_));
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!ip_.empty() && ::inet_pton(AF_INET, ip_.c_str(), &in4.sin_addr) != 1)
            throw ENetSocketError(WsaAddressNotAvailable);
    }
    if (::bind(handle_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
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
    sockaddr_storage peer{};
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
    remotePort_ = PortOf(peer);
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
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(handle_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return;
    ip_ = AddressText(local);
    port_ = PortOf(local);
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
