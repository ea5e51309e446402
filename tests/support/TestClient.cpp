#include "TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using Clock = std::chrono::steady_clock;

TestClient::TestClient(int port, const std::string& ip, int recvBuffer) {
    Connect(port, ip, recvBuffer);
}

TestClient::~TestClient() { Close(); }

TestClient::TestClient(TestClient&& other) noexcept
    : fd_(other.fd_), eof_(other.eof_), buffer_(std::move(other.buffer_)),
      skipped_(std::move(other.skipped_)) {
    other.fd_ = -1;
}

TestClient& TestClient::operator=(TestClient&& other) noexcept {
    if (this == &other) return *this;
    Close();
    fd_ = other.fd_;
    eof_ = other.eof_;
    buffer_ = std::move(other.buffer_);
    skipped_ = std::move(other.skipped_);
    other.fd_ = -1;
    return *this;
}

bool TestClient::Connect(int port, const std::string& ip, int recvBuffer) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (recvBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    eof_ = false;
    buffer_.clear();
    return true;
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

bool TestClient::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool TestClient::Fill(Clock::time_point deadline) {
    if (fd_ < 0 || eof_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> TestClient::ReadLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            } else {
                line += "<NO CRLF>";
            }
            return line;
        }
        if (!Fill(deadline)) return std::nullopt;
    }
}

bool TestClient::WaitFor(const std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    skipped_.clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        auto got = ReadLine(left);
        if (!got) return false;
        if (*got == line) return true;
        skipped_.push_back(*got);
    }
}

std::vector<std::string> TestClient::ReadAvailable(std::chrono::milliseconds quiet) {
    std::vector<std::string> lines;
    while (auto got = ReadLine(quiet)) lines.push_back(*got);
    return lines;
}

bool TestClient::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!eof_) {
        if (Clock::now() >= deadline) return false;
        buffer_.clear();
        Fill(deadline);
    }
    return true;
}

bool TestClient::Silent(std::chrono::milliseconds quiet) {
    if (!buffer_.empty()) return false;
    return !Fill(Clock::now() + quiet) && buffer_.empty();
}

bool TestClient::Register(const std::string& nick) {
    if (!SendLine("USER " + nick + " host server :real") || !SendLine("NICK " + nick))
        return false;
    return WaitFor(":localhost 376 " + nick + " :End of /MOTD command.");
}

std::string TestClient::LocalIP() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}
