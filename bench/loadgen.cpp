// quarn-loadgen: a load generator for IRC-style chat servers. One process, one thread,
// epoll over thousands of non-blocking client sockets, no dependency beyond the C++
// standard library and Linux.
//
// Every client registers (USER first for the lobby server, NICK first for standard
// servers, answering their PINGs), joins one channel and then takes part in a scenario:
//
//   burst     S of the N clients send M lines each as fast as their sockets take them; the
//             generator measures the lines delivered to the receivers per second and the
//             latency of each delivered line from the send timestamp in its text.
//   paced     the same sizes, the senders spread their lines evenly so that the server
//             delivers about --rate lines per second; p50/p99/max latency.
//   register  N clients connect, register and join (at most --inflight at a time not yet
//             registered); connections per second and time until all have joined. With
//             --hold SECONDS the clients then stay connected and idle that long (the idle
//             and memory measurement).
//
// Clients are spread over many loopback source addresses (127.1.x.y, --per-addr clients
// each) so that per-address connection limits of a server do not apply.
//
// With --server-pid the generator also samples the server's CPU time (/proc/PID/stat) and
// resident memory (/proc/PID/status VmRSS) at the edges of the measured window.
//
// Output: one line "result key=value ..." on stdout; progress and errors on stderr.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Clock and small helpers

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double CpuSecondsSelf() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "quarn-loadgen: %s\n", what.c_str());
    std::exit(2);
}

// Latency histogram in microseconds: exact below 1024 us, then 64 sub-buckets per power
// of two (under 1.6 % error). Cheap enough to record every delivered line.
class Histogram {
  public:
    Histogram() : buckets_(1024 + 64 * 40, 0) {}
    void Add(int64_t us) {
        if (us < 0) us = 0;
        ++count_;
        if (us > max_) max_ = us;
        buckets_[Index(uint64_t(us))]++;
    }
    uint64_t Count() const { return count_; }
    int64_t Max() const { return max_; }
    int64_t Percentile(double p) const {
        if (count_ == 0) return 0;
        uint64_t want = uint64_t(std::ceil(p / 100.0 * double(count_)));
        if (want == 0) want = 1;
        uint64_t seen = 0;
        for (size_t i = 0; i < buckets_.size(); ++i) {
            seen += buckets_[i];
            if (seen >= want) return std::min<int64_t>(Upper(i), max_);
        }
        return max_;
    }

  private:
    static size_t Index(uint64_t us) {
        if (us < 1024) return size_t(us);
        int log = 63 - __builtin_clzll(us);  // >= 10
        uint64_t sub = (us >> (log - 6)) & 63;
        size_t i = 1024 + size_t(log - 10) * 64 + size_t(sub);
        return std::min<size_t>(i, 1024 + 64 * 40 - 1);
    }
    static int64_t Upper(size_t i) {
        if (i < 1024) return int64_t(i);
        size_t log = (i - 1024) / 64 + 10;
        uint64_t sub = (i - 1024) % 64;
        return int64_t(((64 + sub + 1) << (log - 6)) - 1);
    }
    std::vector<uint64_t> buckets_;
    uint64_t count_ = 0;
    int64_t max_ = 0;
};

// ---------------------------------------------------------------------------------------
// Server sampling through /proc

struct ServerSample {
    bool ok = false;
    double cpuSeconds = 0;  // utime + stime of all threads
    long rssKb = 0;
    long threads = 0;
};

ServerSample SampleServer(int pid) {
    ServerSample s;
    if (pid <= 0) return s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    std::ifstream stat(path);
    std::string text;
    if (!std::getline(stat, text)) return s;
    // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return s;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    double tick = double(sysconf(_SC_CLK_TCK));
    s.cpuSeconds = double(utime + stime) / tick;
    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    std::ifstream status(path);
    while (std::getline(status, text)) {
        if (text.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(text.c_str() + 6);
        if (text.rfind("Threads:", 0) == 0) s.threads = std::atol(text.c_str() + 8);
    }
    s.ok = true;
    return s;
}

// TcpExt ListenOverflows + ListenDrops from /proc/net/netstat (system-wide counters).
long long ListenDrops() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        std::string a, b;
        long long total = 0;
        while (n >> a && v >> b)
            if (a == "ListenDrops") total += std::atoll(b.c_str());
        return total;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------
// Options

struct Options {
    std::string host = "127.0.0.1";
    int port = 6667;
    bool userFirst = true;
    std::string scenario = "burst";
    int clients = 200;
    int senders = 1;
    int lines = 1000;
    double rate = 50000;   // paced: delivered lines per second (all receivers together)
    int inflight = 32;     // clients connecting/registering at once
    int perAddr = 16;      // clients per loopback source address
    double hold = 0;       // register: seconds to stay connected afterwards
    double timeout = 120;  // seconds for the whole setup or scenario phase
    double stall = 5;      // seconds without progress before a scenario gives up
    int serverPid = 0;
    std::string channel = "#bench";
    std::string label;
    int payload = 0;  // extra bytes of filler text per line
    bool join = true;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: quarn-loadgen [--host IP] [--port N] [--mode user-first|nick-first]\n"
                 "  [--scenario burst|paced|register] [--clients N] [--senders S] [--lines M]\n"
                 "  [--rate LINES_PER_S] [--inflight K] [--per-addr P] [--hold SECONDS]\n"
                 "  [--timeout SECONDS] [--stall SECONDS] [--server-pid PID] [--channel NAME]\n"
                 "  [--payload BYTES] [--no-join] [--label TEXT]\n");
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                Die("missing value for " + a);
            }
            return argv[++i];
        };
        if (a == "--host")
            o.host = next();
        else if (a == "--port")
            o.port = std::stoi(next());
        else if (a == "--mode") {
            std::string m = next();
            if (m == "user-first")
                o.userFirst = true;
            else if (m == "nick-first")
                o.userFirst = false;
            else
                Die("unknown mode " + m);
        } else if (a == "--scenario")
            o.scenario = next();
        else if (a == "--clients")
            o.clients = std::stoi(next());
        else if (a == "--senders")
            o.senders = std::stoi(next());
        else if (a == "--lines")
            o.lines = std::stoi(next());
        else if (a == "--rate")
            o.rate = std::stod(next());
        else if (a == "--inflight")
            o.inflight = std::stoi(next());
        else if (a == "--per-addr")
            o.perAddr = std::stoi(next());
        else if (a == "--hold")
            o.hold = std::stod(next());
        else if (a == "--timeout")
            o.timeout = std::stod(next());
        else if (a == "--stall")
            o.stall = std::stod(next());
        else if (a == "--server-pid")
            o.serverPid = std::stoi(next());
        else if (a == "--channel")
            o.channel = next();
        else if (a == "--label")
            o.label = next();
        else if (a == "--payload")
            o.payload = std::stoi(next());
        else if (a == "--no-join")
            o.join = false;
        else if (a == "--help" || a == "-h") {
            Usage();
            std::exit(0);
        } else {
            Usage();
            Die("unknown option " + a);
        }
    }
    if (o.scenario != "burst" && o.scenario != "paced" && o.scenario != "register")
        Die("unknown scenario " + o.scenario);
    if (o.clients < 1) Die("--clients must be at least 1");
    if (o.senders < 0 || o.senders > o.clients) Die("--senders must be within 0..clients");
    if (o.inflight < 1) o.inflight = 1;
    if (o.perAddr < 1) o.perAddr = 1;
    return o;
}

// ---------------------------------------------------------------------------------------
// Clients

enum class State : uint8_t { Idle, Connecting, Registering, Joining, Ready, Closed };

struct Client {
    int fd = -1;
    State state = State::Idle;
    bool wantOut = false;  // EPOLLOUT registered
    std::string carry;     // partial input line
    std::string out;       // pending output
    size_t outOff = 0;
    int64_t startNs = 0;     // connect started
    int sentLines = 0;       // sender: lines handed to the socket
    int64_t nextSendNs = 0;  // paced sender: when the next line is due
};

class Generator {
  public:
    explicit Generator(const Options& o) : o_(o), clients_(size_t(o.clients)) {
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epfd_ < 0) Die("epoll_create1 failed");
        if (inet_pton(AF_INET, o_.host.c_str(), &server_.sin_addr) != 1)
            Die("bad --host " + o_.host);
        server_.sin_family = AF_INET;
        server_.sin_port = htons(uint16_t(o_.port));
        // Loopback servers: spread the sources over 127.1.x.y; others: the default route.
        spreadSources_ = (ntohl(server_.sin_addr.s_addr) >> 24) == 127;
        // A short tag per run keeps nicks unique when runs follow each other quickly.
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz";
        unsigned tag = unsigned(getpid()) ^ unsigned(NowNs() / 1000);
        tag_ = std::string(1, digits[tag % 26]) + digits[(tag / 26) % 26];
        t0_ = NowNs();
    }

    int Run();

  private:
    // --- socket plumbing
    void StartConnect(int i);
    void OnEvent(int i, uint32_t events);
    void OnReadable(int i);
    void OnWritable(int i);
    void Queue(int i, std::string_view text);
    void Flush(int i);
    void SetWantOut(int i, bool want);
    void CloseClient(int i, const char* why);
    void HandleLine(int i, std::string_view line, int64_t now);
    // --- phases
    bool Setup(int count, int64_t deadline);
    void Poll(int timeoutMs);
    void WaitQuiet(int64_t quietNs, int64_t deadline);
    void StartBurstSender(int i);
    void SendPaced(int64_t now);
    int64_t NextPacedDue() const;
    void ArmTimer(int64_t atNs);
    std::string Nick(int i) const { return "b" + tag_ + std::to_string(i); }
    void FillBurst(int i);
    void AppendLine(std::string& buf, int sender, int seq, int64_t ts) const;
    // --- scenarios
    int RunTraffic(bool paced);
    int RunRegister();
    void PrintCommon(std::string& line);

    Options o_;
    std::vector<Client> clients_;
    int epfd_ = -1;
    int timerFd_ = -1;
    sockaddr_in server_{};
    bool spreadSources_ = true;
    std::string tag_;
    int64_t t0_ = 0;

    // connection pipeline
    int nextToStart_ = 0;
    int inflight_ = 0;
    int registered_ = 0;
    int joined_ = 0;
    int closed_ = 0;
    int connectErrors_ = 0;
    int serverErrors_ = 0;  // "ERROR" or "***Error" lines
    std::string firstError_;
    int64_t lastRegisteredNs_ = 0;
    int64_t lastJoinedNs_ = 0;
    int64_t lastByteNs_ = 0;

    // traffic
    bool measuring_ = false;
    bool paced_ = false;
    uint64_t delivered_ = 0;
    uint64_t otherLines_ = 0;
    uint64_t bytesIn_ = 0;
    int64_t firstSendNs_ = 0;
    int64_t lastDeliveryNs_ = 0;
    int sendersDone_ = 0;
    Histogram hist_;
    std::vector<char> readBuf_ = std::vector<char>(256 * 1024);
};

void Generator::SetWantOut(int i, bool want) {
    Client& c = clients_[size_t(i)];
    if (c.wantOut == want || c.fd < 0) return;
    c.wantOut = want;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.u64 = uint64_t(i);
    epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Generator::StartConnect(int i) {
    Client& c = clients_[size_t(i)];
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Die(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (spreadSources_) {
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        int a = i / o_.perAddr;
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr =
            htonl((127u << 24) | (1u << 16) | (uint32_t(a / 250) << 8) | uint32_t(1 + a % 250));
        if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0)
            Die(std::string("bind source address: ") + std::strerror(errno));
    }
    c.fd = fd;
    c.state = State::Connecting;
    c.startNs = NowNs();
    ++inflight_;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u64 = uint64_t(i);
    c.wantOut = true;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) Die("epoll_ctl add failed");
    int r = connect(fd, reinterpret_cast<sockaddr*>(&server_), sizeof server_);
    if (r != 0 && errno != EINPROGRESS) {
        ++connectErrors_;
        if (firstError_.empty()) firstError_ = std::string("connect: ") + std::strerror(errno);
        CloseClient(i, nullptr);
        return;
    }
    // Registration goes out at once; the kernel keeps it until the connection completes.
    std::string nick = Nick(i);
    if (o_.userFirst)
        Queue(i, "USER " + nick + " 0 * :quarn bench\r\nNICK " + nick + "\r\n");
    else
        Queue(i, "NICK " + nick + "\r\nUSER " + nick + " 0 * :quarn bench\r\n");
}

void Generator::CloseClient(int i, const char* why) {
    Client& c = clients_[size_t(i)];
    if (c.fd < 0) return;
    if (why && firstError_.empty()) firstError_ = why;
    epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    if (c.state == State::Connecting || c.state == State::Registering || c.state == State::Joining)
        --inflight_;
    c.state = State::Closed;
    ++closed_;
    std::string().swap(c.out);
    std::string().swap(c.carry);
}

void Generator::Queue(int i, std::string_view text) {
    Client& c = clients_[size_t(i)];
    if (c.fd < 0) return;
    if (c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
    }
    c.out.append(text);
    if (c.state != State::Connecting) Flush(i);
}

void Generator::Flush(int i) {
    Client& c = clients_[size_t(i)];
    while (c.fd >= 0 && c.outOff < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
        if (n > 0) {
            c.outOff += size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            SetWantOut(i, true);
            return;
        }
        if (n < 0 && errno == EINTR) continue;
        CloseClient(i, "send failed");
        return;
    }
    if (c.fd >= 0 && c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
        // A burst sender refills as soon as the socket took everything.
        bool burstSender = measuring_ && !paced_ && i < o_.senders && c.sentLines < o_.lines;
        if (!burstSender)
            SetWantOut(i, false);
        else
            SetWantOut(i, true);
    }
}

void Generator::AppendLine(std::string& buf, int sender, int seq, int64_t ts) const {
    // PRIVMSG #bench :T<send ns> <sender> <seq> [filler]
    char tmp[128];
    int n = std::snprintf(tmp, sizeof tmp, "PRIVMSG %s :T%" PRId64 " %d %d", o_.channel.c_str(), ts,
                          sender, seq);
    buf.append(tmp, size_t(n));
    if (o_.payload > 0) {
        buf.push_back(' ');
        buf.append(size_t(o_.payload), 'x');
    }
    buf.append("\r\n");
}

void Generator::FillBurst(int i) {
    Client& c = clients_[size_t(i)];
    // Hand the socket up to 64 KiB of lines at a time, stamped when written.
    int64_t ts = NowNs();
    while (c.sentLines < o_.lines && c.out.size() - c.outOff < 64 * 1024) {
        AppendLine(c.out, i, c.sentLines, ts);
        ++c.sentLines;
    }
    if (c.sentLines == o_.lines) ++sendersDone_;
}

void Generator::OnWritable(int i) {
    Client& c = clients_[size_t(i)];
    if (c.state == State::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            ++connectErrors_;
            if (firstError_.empty()) firstError_ = std::string("connect: ") + std::strerror(err);
            CloseClient(i, nullptr);
            return;
        }
        c.state = State::Registering;
    }
    if (measuring_ && !paced_ && i < o_.senders && c.sentLines < o_.lines &&
        c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
        FillBurst(i);
    }
    Flush(i);
}

void Generator::OnReadable(int i) {
    Client& c = clients_[size_t(i)];
    for (int rounds = 0; rounds < 4 && c.fd >= 0; ++rounds) {
        ssize_t n = recv(c.fd, readBuf_.data(), readBuf_.size(), 0);
        if (n == 0) {
            CloseClient(i, "server closed a connection");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            CloseClient(i, "recv failed");
            return;
        }
        int64_t now = NowNs();
        lastByteNs_ = now;
        bytesIn_ += uint64_t(n);
        const char* p = readBuf_.data();
        const char* end = p + n;
        if (!c.carry.empty()) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl) {
                c.carry.append(p, size_t(end - p));
                continue;
            }
            c.carry.append(p, size_t(nl - p));
            std::string line;
            line.swap(c.carry);
            HandleLine(i, line, now);
            p = nl + 1;
        }
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl) {
                c.carry.assign(p, size_t(end - p));
                break;
            }
            HandleLine(i, std::string_view(p, size_t(nl - p)), now);
            if (c.fd < 0) return;
            p = nl + 1;
        }
        if (size_t(n) < readBuf_.size()) return;
    }
}

void Generator::HandleLine(int i, std::string_view line, int64_t now) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Client& c = clients_[size_t(i)];
    if (line.empty()) return;
    if (line[0] != ':') {
        if (line.substr(0, 5) == "PING ") {
            std::string pong = "PONG ";
            pong.append(line.substr(5));
            pong.append("\r\n");
            Queue(i, pong);
        } else if (line.substr(0, 5) == "ERROR" || line.substr(0, 8) == "***Error") {
            ++serverErrors_;
            if (firstError_.empty()) firstError_ = std::string(line.substr(0, 100));
        }
        ++otherLines_;
        return;
    }
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos) {
        ++otherLines_;
        return;
    }
    std::string_view rest = line.substr(sp + 1);
    if (rest.size() > 8 && rest.substr(0, 8) == "PRIVMSG ") {
        size_t colon = rest.find(" :");
        if (colon != std::string_view::npos && colon + 3 < rest.size() && rest[colon + 2] == 'T') {
            const char* q = rest.data() + colon + 3;
            const char* e = rest.data() + rest.size();
            int64_t ts = 0;
            while (q < e && *q >= '0' && *q <= '9') ts = ts * 10 + (*q++ - '0');
            if (measuring_) {
                ++delivered_;
                lastDeliveryNs_ = now;
                hist_.Add((now - ts) / 1000);
            }
            return;
        }
        ++otherLines_;
        return;
    }
    // Numerics: ":server NNN nick ..."
    if (rest.size() >= 4 && rest[3] == ' ' && rest[0] >= '0' && rest[0] <= '9') {
        std::string_view code = rest.substr(0, 3);
        if ((code == "376" || code == "422") && c.state == State::Registering) {
            ++registered_;
            lastRegisteredNs_ = now;
            if (o_.join) {
                c.state = State::Joining;
                Queue(i, "JOIN " + o_.channel + "\r\n");
            } else {
                c.state = State::Ready;
                --inflight_;
                ++joined_;
                lastJoinedNs_ = now;
            }
        } else if (code == "366" && c.state == State::Joining) {
            c.state = State::Ready;
            --inflight_;
            ++joined_;
            lastJoinedNs_ = now;
        } else if (code == "433" || code == "432" || code == "451" || code == "465") {
            ++serverErrors_;
            if (firstError_.empty()) firstError_ = std::string(line.substr(0, 100));
        }
    }
    ++otherLines_;
}

void Generator::OnEvent(int i, uint32_t events) {
    Client& c = clients_[size_t(i)];
    if (c.fd < 0) return;
    if (c.state == State::Connecting) {
        if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        OnWritable(i);  // completes the connect or reports its error
        if (c.fd < 0) return;
        events &= ~uint32_t(EPOLLOUT);
    }
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) OnReadable(i);
    if (c.fd >= 0 && (events & EPOLLOUT)) OnWritable(i);
}

void Generator::Poll(int timeoutMs) {
    epoll_event evs[1024];
    int n = epoll_wait(epfd_, evs, 1024, timeoutMs);
    // Outside the measured traffic, many small reads at once mean a flood of short lines
    // (join announcements): a short nap lets them gather so that one read takes many,
    // which leaves the CPU to the server instead of spending it on system calls.
    if (!measuring_ && n >= 256) {
        timespec nap{0, 1'000'000};
        nanosleep(&nap, nullptr);
    }
    for (int k = 0; k < n; ++k) {
        uint64_t id = evs[k].data.u64;
        if (id == UINT64_MAX) {  // timer
            uint64_t ticks;
            if (read(timerFd_, &ticks, sizeof ticks) < 0) { /* spurious */
            }
            continue;
        }
        OnEvent(int(id), evs[k].events);
    }
}

// Connects clients [0, count) keeping at most --inflight unregistered; returns when all
// have joined (or registered, with --no-join), or false on deadline.
bool Generator::Setup(int count, int64_t deadline) {
    while (joined_ + closed_ < count) {
        while (nextToStart_ < count && inflight_ < o_.inflight) StartConnect(nextToStart_++);
        if (NowNs() > deadline) return false;
        Poll(50);
    }
    return closed_ == 0;
}

void Generator::WaitQuiet(int64_t quietNs, int64_t deadline) {
    lastByteNs_ = NowNs();
    while (NowNs() - lastByteNs_ < quietNs && NowNs() < deadline) Poll(20);
}

void Generator::ArmTimer(int64_t atNs) {
    itimerspec its{};
    if (atNs <= 0) atNs = 1;
    its.it_value.tv_sec = atNs / 1000000000;
    its.it_value.tv_nsec = atNs % 1000000000;
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

int64_t Generator::NextPacedDue() const {
    int64_t due = INT64_MAX;
    for (int s = 0; s < o_.senders; ++s) {
        const Client& c = clients_[size_t(s)];
        if (c.fd >= 0 && c.sentLines < o_.lines) due = std::min(due, c.nextSendNs);
    }
    return due;
}

void Generator::SendPaced(int64_t now) {
    // Interval between two lines of one sender so that all receivers together get --rate.
    double perSender = o_.rate / double(std::max(1, o_.clients - 1)) / double(o_.senders);
    int64_t interval = int64_t(1e9 / std::max(perSender, 1e-3));
    for (int s = 0; s < o_.senders; ++s) {
        Client& c = clients_[size_t(s)];
        while (c.fd >= 0 && c.sentLines < o_.lines && c.nextSendNs <= now) {
            std::string line;
            AppendLine(line, s, c.sentLines, NowNs());
            ++c.sentLines;
            c.nextSendNs += interval;
            if (c.sentLines == o_.lines) ++sendersDone_;
            Queue(s, line);
        }
    }
}

void Generator::PrintCommon(std::string& line) {
    char tmp[256];
    std::snprintf(tmp, sizeof tmp, " mode=%s clients=%d inflight=%d per_addr=%d",
                  o_.userFirst ? "user-first" : "nick-first", o_.clients, o_.inflight, o_.perAddr);
    line += tmp;
    if (!o_.label.empty()) line += " label=" + o_.label;
}

int Generator::RunTraffic(bool paced) {
    int64_t deadline = NowNs() + int64_t(o_.timeout * 1e9);
    int64_t setupStart = NowNs();
    bool ok = Setup(o_.clients, deadline);
    double setupS = double(NowNs() - setupStart) / 1e9;
    if (!ok) {
        std::printf("result scenario=%s ok=0 joined=%d closed=%d error=\"%s\"\n",
                    o_.scenario.c_str(), joined_, closed_, firstError_.c_str());
        return 1;
    }
    // Let the join announcements drain before the measured part.
    WaitQuiet(300'000'000, deadline + 60'000'000'000);

    paced_ = paced;
    measuring_ = true;
    uint64_t expected = uint64_t(o_.senders) * uint64_t(o_.lines) * uint64_t(o_.clients - 1);
    ServerSample s0 = SampleServer(o_.serverPid);
    double cpu0 = CpuSecondsSelf();
    firstSendNs_ = NowNs();
    if (paced) {
        timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = UINT64_MAX;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, timerFd_, &ev);
        double perSender = o_.rate / double(std::max(1, o_.clients - 1)) / double(o_.senders);
        int64_t interval = int64_t(1e9 / std::max(perSender, 1e-3));
        for (int s = 0; s < o_.senders; ++s)  // stagger the senders over one interval
            clients_[size_t(s)].nextSendNs = firstSendNs_ + interval * s / o_.senders;
    } else {
        for (int s = 0; s < o_.senders; ++s) {
            FillBurst(s);
            Flush(s);
        }
    }
    int64_t lastProgressNs = NowNs();
    uint64_t lastDelivered = 0;
    while (true) {
        int64_t now = NowNs();
        if (paced) {
            SendPaced(now);
            int64_t due = NextPacedDue();
            if (due != INT64_MAX) ArmTimer(due);
        }
        if (sendersDone_ >= o_.senders && delivered_ >= expected) break;
        if (delivered_ != lastDelivered) {
            lastDelivered = delivered_;
            lastProgressNs = now;
        }
        if (sendersDone_ >= o_.senders && now - lastProgressNs > int64_t(o_.stall * 1e9)) break;
        if (now > deadline + int64_t(o_.timeout * 1e9)) break;
        Poll(paced ? 50 : 20);
    }
    double cpu1 = CpuSecondsSelf();
    ServerSample s1 = SampleServer(o_.serverPid);
    int64_t endNs = lastDeliveryNs_ > firstSendNs_ ? lastDeliveryNs_ : NowNs();
    double dur = double(endNs - firstSendNs_) / 1e9;
    double wall = double(NowNs() - firstSendNs_) / 1e9;
    double linesPerS = dur > 0 ? double(delivered_) / dur : 0;

    std::string out = "result scenario=" + o_.scenario;
    char tmp[1024];
    std::snprintf(tmp, sizeof tmp,
                  " ok=%d senders=%d lines=%d expected=%" PRIu64 " delivered=%" PRIu64
                  " lines_per_s=%.0f duration_s=%.3f p50_us=%" PRId64 " p99_us=%" PRId64
                  " max_us=%" PRId64 " gen_cpu=%.3f gen_cpu_s=%.3f setup_s=%.2f disconnects=%d",
                  delivered_ == expected ? 1 : 0, o_.senders, o_.lines, expected, delivered_,
                  linesPerS, dur, hist_.Percentile(50), hist_.Percentile(99), hist_.Max(),
                  wall > 0 ? (cpu1 - cpu0) / wall : 0, cpu1 - cpu0, setupS, closed_);
    out += tmp;
    if (paced) {
        std::snprintf(tmp, sizeof tmp, " rate_target=%.0f", o_.rate);
        out += tmp;
    }
    if (s0.ok && s1.ok) {
        double scpu = s1.cpuSeconds - s0.cpuSeconds;
        std::snprintf(tmp, sizeof tmp,
                      " server_cpu=%.3f server_cpu_s=%.2f server_us_per_line=%.3f "
                      "server_rss_kb=%ld server_threads=%ld",
                      wall > 0 ? scpu / wall : 0, scpu,
                      delivered_ ? scpu * 1e6 / double(delivered_) : 0, s1.rssKb, s1.threads);
        out += tmp;
    }
    PrintCommon(out);
    if (!firstError_.empty()) out += " error=\"" + firstError_ + "\"";
    std::printf("%s\n", out.c_str());
    return delivered_ == expected ? 0 : 1;
}

int Generator::RunRegister() {
    ServerSample base = SampleServer(o_.serverPid);
    long long drops0 = ListenDrops();
    double cpu0 = CpuSecondsSelf();
    int64_t start = NowNs();
    int64_t deadline = start + int64_t(o_.timeout * 1e9);
    // Progress every ~5 s on stderr for long runs.
    bool ok = true;
    int64_t nextReport = start + 5'000'000'000;
    while (joined_ + closed_ < o_.clients) {
        while (nextToStart_ < o_.clients && inflight_ < o_.inflight) StartConnect(nextToStart_++);
        int64_t now = NowNs();
        if (now > deadline) {
            ok = false;
            break;
        }
        if (now > nextReport) {
            std::fprintf(stderr, "quarn-loadgen: %.0f s: %d registered, %d joined, %d closed\n",
                         double(now - start) / 1e9, registered_, joined_, closed_);
            nextReport = now + 5'000'000'000;
        }
        Poll(50);
    }
    if (closed_ > 0) ok = false;
    double cpu1 = CpuSecondsSelf();
    long long drops1 = ListenDrops();
    double regS = double(lastRegisteredNs_ - start) / 1e9;
    double joinS = double(lastJoinedNs_ - start) / 1e9;
    if (!ok) joinS = double(NowNs() - start) / 1e9;

    std::string out = "result scenario=register";
    char tmp[1024];
    std::snprintf(tmp, sizeof tmp,
                  " ok=%d registered=%d joined=%d closed=%d connect_errors=%d server_errors=%d"
                  " reg_s=%.3f joined_s=%.3f reg_per_s=%.0f conn_per_s=%.0f gen_cpu_s=%.2f"
                  " listen_drops=%lld",
                  ok ? 1 : 0, registered_, joined_, closed_, connectErrors_, serverErrors_, regS,
                  joinS, regS > 0 ? registered_ / regS : 0, joinS > 0 ? joined_ / joinS : 0,
                  cpu1 - cpu0, drops1 - drops0);
    out += tmp;
    ServerSample afterJoin = SampleServer(o_.serverPid);
    if (base.ok && afterJoin.ok) {
        std::snprintf(tmp, sizeof tmp, " server_cpu_s=%.2f",
                      afterJoin.cpuSeconds - base.cpuSeconds);
        out += tmp;
    }
    // Held even after a time-out, so that memory and idle figures cover what did connect.
    const int held = nextToStart_ - closed_;
    if (o_.hold > 0 && held > 0) {
        // Idle: let the join announcements drain, then stay connected for --hold seconds.
        WaitQuiet(500'000'000, NowNs() + 120'000'000'000);
        ServerSample h0 = SampleServer(o_.serverPid);
        double g0 = CpuSecondsSelf();
        int64_t holdStart = NowNs();
        int64_t holdEnd = holdStart + int64_t(o_.hold * 1e9);
        while (NowNs() < holdEnd) Poll(100);
        double heldS = double(NowNs() - holdStart) / 1e9;
        ServerSample h1 = SampleServer(o_.serverPid);
        double g1 = CpuSecondsSelf();
        std::snprintf(tmp, sizeof tmp, " hold_s=%.1f held=%d gen_idle_cpu=%.4f", heldS, held,
                      heldS > 0 ? (g1 - g0) / heldS : 0);
        out += tmp;
        if (h0.ok && h1.ok && base.ok) {
            long perConnB = (h1.rssKb - base.rssKb) * 1024 / std::max(1, held);
            std::snprintf(tmp, sizeof tmp,
                          " idle_cpu=%.4f base_rss_kb=%ld rss_kb=%ld rss_per_conn_b=%ld"
                          " server_threads=%ld",
                          heldS > 0 ? (h1.cpuSeconds - h0.cpuSeconds) / heldS : 0, base.rssKb,
                          h1.rssKb, perConnB, h1.threads);
            out += tmp;
        }
    }
    PrintCommon(out);
    if (!firstError_.empty()) out += " error=\"" + firstError_ + "\"";
    std::printf("%s\n", out.c_str());
    return ok ? 0 : 1;
}

int Generator::Run() {
    if (o_.scenario == "register") return RunRegister();
    return RunTraffic(o_.scenario == "paced");
}

void RaiseFileLimit(int clients) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < rlim_t(clients) + 16)
        Die("open-file limit " + std::to_string(rl.rlim_cur) + " too small for " +
            std::to_string(clients) + " clients");
}

}  // namespace

int main(int argc, char** argv) {
    Options o = ParseOptions(argc, argv);
    RaiseFileLimit(o.clients);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Generator g(o);
    return g.Run();
}
