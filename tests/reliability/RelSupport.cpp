#include "RelSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace rel {

namespace {

int CountDirEntries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

constexpr std::size_t MaxBadSamples = 8;

}  // namespace

int ThreadCount() {
    return CountDirEntries("/proc/self/task");
}

// The descriptor that opendir itself holds is not counted.
int FdCount() {
    return CountDirEntries("/proc/self/fd") - 1;
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

long EnvLong(const char* name, long def) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return def;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0') ? value : def;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

double Quantile(std::vector<double>& samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    std::size_t index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
    return samples[index];
}

std::string LoopbackAddress(int index, int perAddress, int base) {
    return "127.0.0." + std::to_string(base + index / perAddress);
}

bool WellFormed(std::string_view raw) {
    if (raw.empty() || raw.back() != '\r') return false;
    raw.remove_suffix(1);
    return raw.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

Peer::~Peer() {
    Close();
}

Peer::Peer(Peer&& other) noexcept {
    *this = std::move(other);
}

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this == &other) return *this;
    Close();
    fd_ = other.fd_;
    eof_ = other.eof_;
    in_ = std::move(other.in_);
    head_ = other.head_;
    scanned_ = other.scanned_;
    badLines_ = other.badLines_;
    bytesReceived_ = other.bytesReceived_;
    badSamples_ = std::move(other.badSamples_);
    seen_ = std::move(other.seen_);
    other.fd_ = -1;
    return *this;
}

static int OpenSocket(const std::string& source, int recvBuffer) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (recvBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

static sockaddr_in ServerAddress(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    return addr;
}

bool Peer::Connect(int port, const std::string& source, int recvBuffer) {
    Close();
    fd_ = OpenSocket(source, recvBuffer);
    if (fd_ < 0) return false;
    sockaddr_in addr = ServerAddress(port);
    int r;
    do {
        r = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        Close();
        return false;
    }
    return true;
}

bool Peer::Prepare(const std::string& source) {
    Close();
    fd_ = OpenSocket(source, 0);
    return fd_ >= 0;
}

bool Peer::StartConnect(int port) {
    if (fd_ < 0) return false;
    int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in addr = ServerAddress(port);
    int r = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    bool started = r == 0 || errno == EINPROGRESS;
    ::fcntl(fd_, F_SETFL, flags);
    if (!started) Close();
    return started;
}

void Peer::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    in_.clear();
    head_ = scanned_ = 0;
    eof_ = false;
    seen_.clear();
}

void Peer::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

bool Peer::Send(std::string_view bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool Peer::Pump() {
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

std::optional<std::string> Peer::NextLine() {
    std::size_t lf = in_.find('\n', std::max(head_, scanned_));
    if (lf == std::string::npos) {
        // Drop what was consumed only now and then, so a burst costs no quadratic copying.
        if (head_ > 0 && (head_ == in_.size() || head_ > 65536)) {
            in_.erase(0, head_);
            head_ = 0;
        }
        scanned_ = in_.size();
        return std::nullopt;
    }
    std::string_view raw(in_.data() + head_, lf - head_);
    if (!WellFormed(raw)) {
        ++badLines_;
        if (badSamples_.size() < MaxBadSamples) badSamples_.emplace_back(raw);
    }
    std::string line(raw);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    head_ = lf + 1;
    return line;
}

std::optional<std::string> Peer::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto line = NextLine()) return line;
        if (fd_ < 0 || eof_) return std::nullopt;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) {
            if (Clock::now() >= deadline) return std::nullopt;
            continue;
        }
        Pump();
    }
}

bool Peer::WaitFor(const std::string& line, std::chrono::milliseconds timeout, bool prefix) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        auto got = ReadLine(left);
        if (!got) return false;
        if (*got == line || (prefix && got->rfind(line, 0) == 0)) return true;
        seen_.push_back(*got);
    }
}

bool Peer::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!eof_) {
        if (fd_ < 0) return false;
        while (auto line = NextLine()) seen_.push_back(*line);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) > 0) Pump();
    }
    while (auto line = NextLine()) seen_.push_back(*line);
    return true;
}

bool Peer::Register(const std::string& nick, std::chrono::milliseconds timeout) {
    if (!SendLine("USER " + nick + " host server :real") || !SendLine("NICK " + nick)) return false;
    return WaitFor(":localhost 376 " + nick + " :End of /MOTD command.", timeout);
}

std::optional<std::chrono::microseconds> Peer::TimeRoundTrip(std::chrono::milliseconds timeout) {
    const auto start = Clock::now();
    if (!SendLine("TIME")) return std::nullopt;
    if (!WaitFor("421 Command not handled: TIME", timeout)) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

ServerRig::ServerRig(std::chrono::milliseconds sweep)
    : server_(std::make_unique<TNetIRCServer>(sweep)) {}

ServerRig::~ServerRig() {
    Stop();
}

void ServerRig::Start() {
    if (server_->Bindings().Count() == 0) server_->Bindings().Add().SetPort(0);
    server_->SetActive(true);
    port_ = server_->Bindings()[0].Port();
    if (port_ <= 0) throw std::runtime_error("server did not bind a port");
}

void ServerRig::Stop() {
    if (server_ && server_->Active()) server_->SetActive(false);
}

}  // namespace rel
