#include "TestClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t MaxBadSamples = 8;

// An IPv6 source (text with a colon) connects over IPv6 to ::1, any other to 127.0.0.1.
struct Endpoint {
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

Endpoint MakeEndpoint(int family, const std::string& ip, int port) {
    Endpoint e;
    if (family == AF_INET6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(e.Address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET6, ip.c_str(), &in6.sin6_addr);
        e.Length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(e.Address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, ip.c_str(), &in4.sin_addr);
        e.Length = sizeof in4;
    }
    return e;
}

int FamilyOf(const std::string& source) {
    return source.find(':') != std::string::npos ? AF_INET6 : AF_INET;
}

int OpenSocket(const std::string& source, int recvBuffer) {
    const int family = FamilyOf(source);
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (recvBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const Endpoint local = MakeEndpoint(family, source, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local.Address), local.Length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The server's address in the family of the socket's own.
Endpoint ServerAddress(int fd, int port) {
    sockaddr_storage own{};
    socklen_t len = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len);
    if (own.ss_family == AF_INET6) return MakeEndpoint(AF_INET6, "::1", port);
    return MakeEndpoint(AF_INET, "127.0.0.1", port);
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0)) + 1;
}

}  // namespace

bool WellFormed(std::string_view raw) {
    if (raw.empty() || raw.back() != '\r') return false;
    raw.remove_suffix(1);
    return raw.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

TestClient::TestClient(int port, const std::string& source, int recvBuffer) {
    Connect(port, source, recvBuffer);
}

TestClient::~TestClient() {
    Close();
}

TestClient::TestClient(TestClient&& other) noexcept {
    *this = std::move(other);
}

TestClient& TestClient::operator=(TestClient&& other) noexcept {
    if (this == &other) return *this;
    Close();
    fd_ = std::exchange(other.fd_, -1);
    eof_ = other.eof_;
    in_ = std::move(other.in_);
    head_ = other.head_;
    scanned_ = other.scanned_;
    skipped_ = std::move(other.skipped_);
    badLines_ = other.badLines_;
    bytesReceived_ = other.bytesReceived_;
    badSamples_ = std::move(other.badSamples_);
    return *this;
}

bool TestClient::Open(const std::string& source, int recvBuffer) {
    Close();
    eof_ = false;
    in_.clear();
    head_ = scanned_ = 0;
    skipped_.clear();
    fd_ = OpenSocket(source, recvBuffer);
    return fd_ >= 0;
}

bool TestClient::Prepare(const std::string& source) {
    return Open(source, 0);
}

bool TestClient::Connect(int port, const std::string& source, int recvBuffer) {
    if (!Open(source, recvBuffer)) return false;
    const Endpoint addr = ServerAddress(fd_, port);
    int r;
    do {
        r = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr.Address), addr.Length);
    } while (r != 0 && errno == EINTR);
    if (r != 0) Close();
    return r == 0;
}

bool TestClient::StartConnect(int port) {
    if (fd_ < 0) return false;
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    const Endpoint addr = ServerAddress(fd_, port);
    const int r = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr.Address), addr.Length);
    const bool started = r == 0 || errno == EINPROGRESS;
    ::fcntl(fd_, F_SETFL, flags);
    if (!started) Close();
    return started;
}

void TestClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TestClient::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

bool TestClient::Send(std::string_view bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool TestClient::Pump() {
    if (fd_ < 0 || eof_) return false;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            in_.append(chunk, static_cast<std::size_t>(n));
            bytesReceived_ += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < sizeof chunk) return true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        eof_ = true;  // orderly close or reset
        return false;
    }
}

bool TestClient::PumpUpTo(std::size_t maxBytes) {
    if (fd_ < 0 || eof_) return false;
    char chunk[65536];
    while (maxBytes > 0) {
        const ssize_t n = ::recv(fd_, chunk, std::min(maxBytes, sizeof chunk), MSG_DONTWAIT);
        if (n > 0) {
            in_.append(chunk, static_cast<std::size_t>(n));
            bytesReceived_ += static_cast<std::size_t>(n);
            maxBytes -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        eof_ = true;
        return false;
    }
    return true;
}

bool TestClient::Fill(Clock::time_point deadline) {
    for (;;) {
        if (fd_ < 0 || eof_) return false;
        pollfd p{fd_, POLLIN, 0};
        int wait = MillisecondsUntil(deadline);
        if (WhileWaiting) {
            WhileWaiting();
            wait = std::min(wait, 5);
        }
        if (::poll(&p, 1, wait) > 0) {
            const std::size_t before = in_.size();
            return Pump() && in_.size() > before;
        }
        if (Clock::now() >= deadline) return false;
    }
}

std::optional<std::string> TestClient::NextLine() {
    const std::size_t lf = in_.find('\n', std::max(head_, scanned_));
    if (lf == std::string::npos) {
        // Drop what was consumed only now and then, so a burst costs no quadratic copying.
        if (head_ > 0 && (head_ == in_.size() || head_ > 65536)) {
            in_.erase(0, head_);
            head_ = 0;
        }
        scanned_ = in_.size();
        return std::nullopt;
    }
    const std::string_view raw(in_.data() + head_, lf - head_);
    head_ = lf + 1;
    if (!WellFormed(raw)) {
        ++badLines_;
        if (badSamples_.size() < MaxBadSamples) badSamples_.emplace_back(raw);
    }
    if (!raw.empty() && raw.back() == '\r') return std::string(raw.substr(0, raw.size() - 1));
    return std::string(raw) + "<NO CRLF>";
}

std::optional<std::string> TestClient::ReadLine(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto line = NextLine()) return line;
        if (!Fill(deadline)) return NextLine();
    }
}

template <class Match>
bool TestClient::ReadUntil(Match match, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    skipped_.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        auto got = ReadLine(left);
        if (!got) return false;
        if (match(*got)) return true;
        skipped_.push_back(std::move(*got));
    }
}

bool TestClient::WaitFor(const std::string& line, Milliseconds timeout) {
    return ReadUntil([&](const std::string& got) { return got == line; }, timeout);
}

bool TestClient::WaitForPrefix(const std::string& prefix, Milliseconds timeout) {
    return ReadUntil([&](const std::string& got) { return got.starts_with(prefix); }, timeout);
}

bool TestClient::WaitClosed(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    skipped_.clear();
    for (;;) {
        while (auto line = NextLine()) skipped_.push_back(std::move(*line));
        if (eof_) return true;
        if (fd_ < 0 || Clock::now() >= deadline) return false;
        Fill(deadline);
    }
}

std::vector<std::string> TestClient::ReadAvailable(Milliseconds quiet) {
    std::vector<std::string> lines;
    while (auto got = ReadLine(quiet)) lines.push_back(std::move(*got));
    return lines;
}

bool TestClient::Silent(Milliseconds quiet) {
    return Unread() == 0 && !Fill(Clock::now() + quiet);
}

bool TestClient::Register(const std::string& nick, Milliseconds timeout) {
    if (!SendLine("USER " + nick + " host server :real") || !SendLine("NICK " + nick)) return false;
    return WaitFor(":localhost 376 " + nick + " :End of /MOTD command.", timeout);
}

std::optional<std::chrono::microseconds> TestClient::TimeRoundTrip(Milliseconds timeout) {
    const auto start = Clock::now();
    if (!SendLine("TIME")) return std::nullopt;
    if (!WaitFor("421 Command not handled: TIME", timeout)) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

std::string TestClient::LocalIP() const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(addr).sin6_addr, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(addr).sin_addr, text, sizeof text);
    }
    return text;
}
