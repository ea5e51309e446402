// quarn-loadgen: a load generator for IRC-style chat servers. One process, one thread,
// epoll over thousands of non-blocking client sockets, no dependency beyond the C++
// standard library and Linux.
//
// It behaves like ordinary chat clients rather than a pipe: a sender hands the socket
// --lines-per-write lines per send (64 by default), every client reads with receives of
// --recv-size bytes (64 KiB), and the clients come from several loopback source addresses.
//
// Every client registers (USER first for the lobby server, NICK first for standard
// servers, answering their PINGs), joins one channel and then takes part in a scenario:
//
//   burst     S of the N clients send M lines each as fast as their sockets take them; the
//             generator measures the lines delivered to the receivers per second and the
//             latency of each delivered line from the send timestamp in its text.
//   paced     the same sizes, each sender sending --sender-rate lines per second: every
//             send carries the lines that are due (one, unless the generator was late, and
//             never more than --lines-per-write); p50/p99/max latency.
//   players   players who chat the way players do: the N clients are spread over lobbies
//             of --lobby-size (each joins its own right after registering), and each says
//             one line every --interval seconds at a random phase of its own for
//             --duration seconds; one line in --dm-share is a private message to a random
//             player of another lobby. Delivered lines per second, bytes per second into
//             the players (the server's egress) in all and per player, latency p50/p99/max
//             over every delivered line, the server's CPU and memory per connection.
//             --routed counts the lines due as the routed relay delivers them (lobby lines
//             to the lobby's other members, private ones to their nick) instead of to
//             every other connection.
//   register  N clients connect, register and join (at most --inflight at a time not yet
//             registered; each sends its JOIN on its welcome, without waiting for
//             others); connections per second and time until all have joined (with
//             --lobby-size, each its own lobby: the join storm, also timed from the last
//             registration). With --hold SECONDS the clients then stay connected and idle that long (the idle
//             and memory measurement); with --probe one more player then connects while
//             they are held, and the time until its welcome ends is measured.
//
// Clients are spread round robin over --addrs loopback source addresses (127.1.x.y; by
// default one per 25 clients, at least 8 and at most 80), raised so that no address
// carries more than --max-per-addr clients when a server limits connections per address.
//
// With --server-pid the generator also reads the server's CPU time (all threads, from the
// kernel's per-process CPU clock) and resident memory (/proc/PID/status VmRSS) at the
// edges of the measured window, and prints the server's CPU share (CPU seconds per wall
// second, i.e. cores in use) beside every figure, as well as its own.
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

double ClockSeconds(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return -1;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double CpuSecondsSelf() {
    return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
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
// Server sampling

struct ServerSample {
    bool ok = false;
    double cpuSeconds = 0;  // all threads, the exited ones included
    long rssKb = 0;
    long threads = 0;
};

// The kernel's CPU clock of another process counts in nanoseconds; /proc/PID/stat counts
// in ticks of 10 ms, too coarse for a burst that lasts a tenth of a second.
class ServerProbe {
  public:
    explicit ServerProbe(int pid) : pid_(pid) {
        if (pid_ > 0 && clock_getcpuclockid(pid_, &clock_) == 0) haveClock_ = true;
    }

    ServerSample Sample() const {
        ServerSample s;
        if (pid_ <= 0) return s;
        s.cpuSeconds = haveClock_ ? ClockSeconds(clock_) : -1;
        if (s.cpuSeconds < 0 && !StatCpuSeconds(s.cpuSeconds)) return s;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/status", pid_);
        std::ifstream status(path);
        std::string text;
        while (std::getline(status, text)) {
            if (text.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(text.c_str() + 6);
            if (text.rfind("Threads:", 0) == 0) s.threads = std::atol(text.c_str() + 8);
        }
        s.ok = true;
        return s;
    }

  private:
    bool StatCpuSeconds(double& seconds) const {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", pid_);
        std::ifstream stat(path);
        std::string text;
        if (!std::getline(stat, text)) return false;
        // Fields after the parenthesised command name; utime and stime are fields 14 and 15.
        size_t close = text.rfind(')');
        if (close == std::string::npos) return false;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        seconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
        return true;
    }

    int pid_;
    clockid_t clock_{};
    bool haveClock_ = false;
};

// CPU seconds per wall second: how many cores a process kept busy over a window.
double Cores(double cpuSeconds, double wallSeconds) {
    return wallSeconds > 0 ? cpuSeconds / wallSeconds : 0;
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
    double senderRate = 100;   // paced: lines per second of each sender
    int linesPerWrite = 64;    // most lines a sender hands to one send
    int recvSize = 64 * 1024;  // bytes asked for by one receive
    int inflight = 32;         // clients connecting/registering at once
    int addrs = 0;             // loopback source addresses; 0: by the number of clients
    int maxPerAddr = 0;        // most clients per source address; 0: no limit
    double hold = 0;           // register: seconds to stay connected afterwards
    bool probe = false;        // register: time one more player's welcome after the hold
    double timeout = 120;      // seconds for the whole setup or scenario phase
    double stall = 5;          // seconds without progress before a scenario gives up
    int serverPid = 0;
    std::string channel = "#bench";
    std::string label;
    int payload = 0;  // extra bytes of filler text per line
    bool join = true;
    int lobbySize = 0;      // >0: client i joins "#L" + i / lobbySize instead of --channel
    double duration = 120;  // players: seconds of chat
    double interval = 30;   // players: seconds between one player's lines
    double dmShare = 0.1;   // players: share of lines sent to a nick
    int lineBytes = 70;     // players: bytes of a delivered line, CR LF included
    bool routed = false;    // players: count due lines as the routed relay sends them
    unsigned seed = 1;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: quarn-loadgen [--host IP] [--port N] [--mode user-first|nick-first]\n"
                 "  [--scenario burst|paced|register] [--clients N] [--senders S] [--lines M]\n"
                 "  [--sender-rate LINES_PER_S] [--lines-per-write L] [--recv-size BYTES]\n"
                 "  [--inflight K] [--addrs A] [--max-per-addr P] [--hold SECONDS] [--probe]\n"
                 "  [--timeout SECONDS] [--stall SECONDS] [--server-pid PID] [--channel NAME]\n"
                 "  [--payload BYTES] [--no-join] [--label TEXT] [--lobby-size K]\n"
                 "  [--duration S] [--interval S] [--dm-share F] [--line-bytes B] [--routed]\n"
                 "  [--seed N]   (scenarios: burst|paced|register|players)\n");
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
        else if (a == "--sender-rate")
            o.senderRate = std::stod(next());
        else if (a == "--lines-per-write")
            o.linesPerWrite = std::stoi(next());
        else if (a == "--recv-size")
            o.recvSize = std::stoi(next());
        else if (a == "--inflight")
            o.inflight = std::stoi(next());
        else if (a == "--addrs")
            o.addrs = std::stoi(next());
        else if (a == "--max-per-addr")
            o.maxPerAddr = std::stoi(next());
        else if (a == "--hold")
            o.hold = std::stod(next());
        else if (a == "--probe")
            o.probe = true;
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
        else if (a == "--lobby-size")
            o.lobbySize = std::stoi(next());
        else if (a == "--duration")
            o.duration = std::stod(next());
        else if (a == "--interval")
            o.interval = std::stod(next());
        else if (a == "--dm-share")
            o.dmShare = std::stod(next());
        else if (a == "--line-bytes")
            o.lineBytes = std::stoi(next());
        else if (a == "--routed")
            o.routed = true;
        else if (a == "--seed")
            o.seed = unsigned(std::stoul(next()));
        else if (a == "--help" || a == "-h") {
            Usage();
            std::exit(0);
        } else {
            Usage();
            Die("unknown option " + a);
        }
    }
    if (o.scenario != "burst" && o.scenario != "paced" && o.scenario != "register" &&
        o.scenario != "players")
        Die("unknown scenario " + o.scenario);
    if (o.scenario == "players" && o.lobbySize < 1) o.lobbySize = 25;
    if (o.interval <= 0 || o.duration <= 0) Die("--interval and --duration must be positive");
    if (o.clients < 1) Die("--clients must be at least 1");
    if (o.senders < 0 || o.senders > o.clients) Die("--senders must be within 0..clients");
    if (o.senderRate <= 0) Die("--sender-rate must be positive");
    if (o.linesPerWrite < 1) Die("--lines-per-write must be at least 1");
    if (o.recvSize < 512) Die("--recv-size must be at least 512");
    if (o.inflight < 1) o.inflight = 1;
    if (o.addrs < 1) o.addrs = std::clamp((o.clients + 24) / 25, 8, 80);
    if (o.maxPerAddr > 0)
        o.addrs = std::max(o.addrs, (o.clients + o.maxPerAddr - 1) / o.maxPerAddr);
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
    explicit Generator(const Options& o)
        : o_(o),
          clients_(size_t(o.clients + (o.probe ? 1 : 0))),
          serverProbe_(o.serverPid),
          readBuf_(size_t(o.recvSize)) {
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
    std::string ChannelOf(int i) const {
        return o_.lobbySize > 0 ? "#L" + std::to_string(i / o_.lobbySize) : o_.channel;
    }
    std::string SourceText(int i) const;
    bool FillBurst(int i);
    bool IsBurstSender(int i) const { return measuring_ && !paced_ && i < o_.senders; }
    void AppendLine(std::string& buf, int sender, int seq, int64_t ts) const;
    // --- scenarios
    int RunTraffic(bool paced);
    int RunRegister();
    int RunPlayers();
    void SendPlayerLine(int i, uint64_t& expected, uint64_t& rng);
    void HoldIdle(const ServerSample& base, int held, std::string& out);
    void ProbeWelcome(std::string& out);
    void PrintCommon(std::string& line);

    Options o_;
    std::vector<Client> clients_;  // the scenario's clients, then the probe player if any
    ServerProbe serverProbe_;
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
    int64_t probeWelcomedNs_ = 0;

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
    std::vector<char> readBuf_;
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
        // Round robin over the addresses; the probe player has an address of its own, so
        // that a per-address limit filled by the others cannot turn it away.
        int a = i < o_.clients ? i % o_.addrs : o_.addrs;
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
    if (c.state == State::Connecting || c.state == State::Registering) --inflight_;
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

// Sends what is queued; a burst sender then takes its next batch of lines at once, for as
// long as the socket takes them.
void Generator::Flush(int i) {
    Client& c = clients_[size_t(i)];
    while (c.fd >= 0) {
        if (c.outOff == c.out.size()) {
            c.out.clear();
            c.outOff = 0;
            if (!IsBurstSender(i) || !FillBurst(i)) {
                SetWantOut(i, false);
                return;
            }
        }
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

// Queues the sender's next --lines-per-write lines, stamped now, as one send; false when
// it has sent them all.
bool Generator::FillBurst(int i) {
    Client& c = clients_[size_t(i)];
    if (c.sentLines >= o_.lines) return false;
    const int64_t ts = NowNs();
    for (int k = 0; k < o_.linesPerWrite && c.sentLines < o_.lines; ++k)
        AppendLine(c.out, i, c.sentLines++, ts);
    if (c.sentLines == o_.lines) ++sendersDone_;
    return true;
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
    Flush(i);
}

// One receive of --recv-size bytes per readiness, as an ordinary client's event loop does;
// epoll reports the socket again while data is left.
void Generator::OnReadable(int i) {
    Client& c = clients_[size_t(i)];
    ssize_t n = recv(c.fd, readBuf_.data(), readBuf_.size(), 0);
    if (n == 0) {
        CloseClient(i, "server closed a connection");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            CloseClient(i, "recv failed");
        return;
    }
    const int64_t now = NowNs();
    lastByteNs_ = now;
    bytesIn_ += uint64_t(n);
    const char* p = readBuf_.data();
    const char* end = p + n;
    while (p < end && c.fd >= 0) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!nl) {
            c.carry.append(p, size_t(end - p));
            return;
        }
        if (c.carry.empty()) {
            HandleLine(i, std::string_view(p, size_t(nl - p)), now);
        } else {
            std::string line;
            line.swap(c.carry);
            line.append(p, size_t(nl - p));
            HandleLine(i, line, now);
        }
        p = nl + 1;
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
        if ((code == "376" || code == "422") && c.state == State::Registering && i == o_.clients) {
            // The probe player: its welcome has ended, which is all that is measured.
            c.state = State::Ready;
            --inflight_;
            probeWelcomedNs_ = now;
        } else if ((code == "376" || code == "422") && c.state == State::Registering) {
            ++registered_;
            lastRegisteredNs_ = now;
            // In flight until registered: the JOIN goes out at once and the next client
            // connects without waiting for the join, as players arriving together do.
            --inflight_;
            if (o_.join) {
                c.state = State::Joining;
                Queue(i, "JOIN " + ChannelOf(i) + "\r\n");
            } else {
                c.state = State::Ready;
                ++joined_;
                lastJoinedNs_ = now;
            }
        } else if (code == "366" && c.state == State::Joining) {
            c.state = State::Ready;
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

// Sends every paced sender's due lines, as many as are due in one send (at most
// --lines-per-write), each stamped with the time it is handed to the socket.
void Generator::SendPaced(int64_t now) {
    const int64_t interval = int64_t(1e9 / o_.senderRate);
    for (int s = 0; s < o_.senders; ++s) {
        Client& c = clients_[size_t(s)];
        while (c.fd >= 0 && c.sentLines < o_.lines && c.nextSendNs <= now) {
            std::string batch;
            const int64_t ts = NowNs();
            for (int k = 0; k < o_.linesPerWrite && c.sentLines < o_.lines && c.nextSendNs <= now;
                 ++k) {
                AppendLine(batch, s, c.sentLines++, ts);
                c.nextSendNs += interval;
            }
            if (c.sentLines == o_.lines) ++sendersDone_;
            Queue(s, batch);
        }
    }
}

void Generator::PrintCommon(std::string& line) {
    char tmp[256];
    std::snprintf(tmp, sizeof tmp,
                  " mode=%s clients=%d inflight=%d addrs=%d lines_per_write=%d recv_size=%d",
                  o_.userFirst ? "user-first" : "nick-first", o_.clients, o_.inflight, o_.addrs,
                  o_.linesPerWrite, o_.recvSize);
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
    ServerSample s0 = serverProbe_.Sample();
    double cpu0 = CpuSecondsSelf();
    firstSendNs_ = NowNs();
    if (paced) {
        timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = UINT64_MAX;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, timerFd_, &ev);
        const int64_t interval = int64_t(1e9 / o_.senderRate);
        for (int s = 0; s < o_.senders; ++s)  // stagger the senders over one interval
            clients_[size_t(s)].nextSendNs = firstSendNs_ + interval * s / o_.senders;
    } else {
        for (int s = 0; s < o_.senders; ++s) Flush(s);
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
    ServerSample s1 = serverProbe_.Sample();
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
                  Cores(cpu1 - cpu0, wall), cpu1 - cpu0, setupS, closed_);
    out += tmp;
    if (paced) {
        std::snprintf(tmp, sizeof tmp, " sender_rate=%.0f", o_.senderRate);
        out += tmp;
    }
    if (s0.ok && s1.ok) {
        double scpu = s1.cpuSeconds - s0.cpuSeconds;
        std::snprintf(tmp, sizeof tmp,
                      " server_cpu=%.3f server_cpu_s=%.2f server_us_per_line=%.3f "
                      "server_rss_kb=%ld server_threads=%ld",
                      Cores(scpu, wall), scpu, delivered_ ? scpu * 1e6 / double(delivered_) : 0,
                      s1.rssKb, s1.threads);
        out += tmp;
    }
    PrintCommon(out);
    if (!firstError_.empty()) out += " error=\"" + firstError_ + "\"";
    std::printf("%s\n", out.c_str());
    return delivered_ == expected ? 0 : 1;
}

int Generator::RunRegister() {
    ServerSample base = serverProbe_.Sample();
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
    ServerSample afterJoin = serverProbe_.Sample();
    long long drops1 = ListenDrops();
    double regS = double(lastRegisteredNs_ - start) / 1e9;
    double joinS = double(lastJoinedNs_ - start) / 1e9;
    if (!ok) joinS = double(NowNs() - start) / 1e9;

    std::string out = "result scenario=register";
    char tmp[1024];
    std::snprintf(tmp, sizeof tmp,
                  " ok=%d registered=%d joined=%d closed=%d connect_errors=%d server_errors=%d"
                  " reg_s=%.3f joined_s=%.3f reg_per_s=%.0f conn_per_s=%.0f gen_cpu=%.3f"
                  " gen_cpu_s=%.2f listen_drops=%lld join_after_reg_s=%.3f",
                  ok ? 1 : 0, registered_, joined_, closed_, connectErrors_, serverErrors_, regS,
                  joinS, regS > 0 ? registered_ / regS : 0, joinS > 0 ? joined_ / joinS : 0,
                  Cores(cpu1 - cpu0, joinS), cpu1 - cpu0, drops1 - drops0,
                  o_.join ? double(lastJoinedNs_ - lastRegisteredNs_) / 1e9 : 0.0);
    out += tmp;
    if (base.ok && afterJoin.ok) {
        const double scpu = afterJoin.cpuSeconds - base.cpuSeconds;
        std::snprintf(tmp, sizeof tmp, " server_cpu=%.3f server_cpu_s=%.2f", Cores(scpu, joinS),
                      scpu);
        out += tmp;
    }
    // Held even after a time-out, so that memory and idle figures cover what did connect.
    const int held = nextToStart_ - closed_;
    if (o_.hold > 0 && held > 0) HoldIdle(base, held, out);
    if (o_.probe) ProbeWelcome(out);
    PrintCommon(out);
    if (!firstError_.empty()) out += " error=\"" + firstError_ + "\"";
    std::printf("%s\n", out.c_str());
    return ok ? 0 : 1;
}

// Lets the join announcements drain, then stays connected and silent for --hold seconds:
// the server's CPU share over that time and its resident memory per held connection.
void Generator::HoldIdle(const ServerSample& base, int held, std::string& out) {
    WaitQuiet(500'000'000, NowNs() + 120'000'000'000);
    ServerSample h0 = serverProbe_.Sample();
    double g0 = CpuSecondsSelf();
    int64_t holdStart = NowNs();
    int64_t holdEnd = holdStart + int64_t(o_.hold * 1e9);
    while (NowNs() < holdEnd) Poll(100);
    double heldS = double(NowNs() - holdStart) / 1e9;
    ServerSample h1 = serverProbe_.Sample();
    double g1 = CpuSecondsSelf();
    char tmp[512];
    std::snprintf(tmp, sizeof tmp, " hold_s=%.1f held=%d gen_idle_cpu=%.4f", heldS, held,
                  Cores(g1 - g0, heldS));
    out += tmp;
    if (!h0.ok || !h1.ok || !base.ok) return;
    long perConnB = (h1.rssKb - base.rssKb) * 1024 / std::max(1, held);
    std::snprintf(tmp, sizeof tmp,
                  " idle_cpu=%.4f base_rss_kb=%ld rss_kb=%ld rss_per_conn_b=%ld server_threads=%ld",
                  Cores(h1.cpuSeconds - h0.cpuSeconds, heldS), base.rssKb, h1.rssKb, perConnB,
                  h1.threads);
    out += tmp;
}

// One more player connects while the others are held: the time from its connect until
// the end of its welcome (376 or 422), or the time it gave up after.
void Generator::ProbeWelcome(std::string& out) {
    const int probe = o_.clients;
    const int64_t start = NowNs();
    const int64_t deadline = start + int64_t(std::min(o_.timeout, 30.0) * 1e9);
    StartConnect(probe);
    while (probeWelcomedNs_ == 0 && clients_[size_t(probe)].fd >= 0 && NowNs() < deadline) Poll(10);
    const bool welcomed = probeWelcomedNs_ != 0;
    const int64_t end = welcomed ? probeWelcomedNs_ : NowNs();
    char tmp[128];
    std::snprintf(tmp, sizeof tmp, " probe_ok=%d probe_welcome_ms=%.1f", welcomed ? 1 : 0,
                  double(end - start) / 1e6);
    out += tmp;
}

// The source address text of client i, as the server puts it in the client's prefix.
std::string Generator::SourceText(int i) const {
    if (!spreadSources_) return "255.255.255.255";  // unknown: the longest, for sizing only
    const int a = i < o_.clients ? i % o_.addrs : o_.addrs;
    return "127.1." + std::to_string(a / 250) + "." + std::to_string(1 + a % 250);
}

uint64_t NextRandom(uint64_t& state) {  // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One human line of player i, stamped now: to its lobby, or (one in --dm-share) to a
// random player of another lobby. Padded so that the delivered line, prefix included, is
// --line-bytes long. Adds the deliveries it is due to `expected`.
void Generator::SendPlayerLine(int i, uint64_t& expected, uint64_t& rng) {
    const int n = o_.clients;
    const int lobby = i / o_.lobbySize;
    const int lobbies = (n + o_.lobbySize - 1) / o_.lobbySize;
    std::string target;
    const bool dm = lobbies > 1 && double(NextRandom(rng) % 1000000) / 1e6 < o_.dmShare;
    if (dm) {
        int j;
        do {
            j = int(NextRandom(rng) % uint64_t(n));
        } while (j / o_.lobbySize == lobby);
        target = Nick(j);
        if (clients_[size_t(j)].fd >= 0) expected += o_.routed ? 1 : uint64_t(n - 1);
    } else {
        target = ChannelOf(i);
        const int members = std::min(n, (lobby + 1) * o_.lobbySize) - lobby * o_.lobbySize;
        expected += o_.routed ? uint64_t(members - 1) : uint64_t(n - 1);
    }
    char stamp[48];
    const int64_t ts = NowNs();
    std::snprintf(stamp, sizeof stamp, " :T%" PRId64 " ", ts);
    std::string line = "PRIVMSG " + target + stamp;
    // Delivered: ":" nick "!user@" source " " line CR LF.
    const size_t delivered = 1 + Nick(i).size() + 6 + SourceText(i).size() + 1 + line.size() + 2;
    if (int(delivered) < o_.lineBytes) line.append(size_t(o_.lineBytes) - delivered, 'x');
    line += "\r\n";
    Queue(i, line);
}

// See the scenario list at the top. The lines are sent in phase order from one schedule:
// player order[k] speaks at start + phase[order[k]] + round * interval.
int Generator::RunPlayers() {
    const int n = o_.clients;
    const ServerSample base = serverProbe_.Sample();
    int64_t deadline = NowNs() + int64_t(o_.timeout * 1e9);
    const int64_t setupStart = NowNs();
    const bool ok = Setup(n, deadline);
    const double setupS = double(NowNs() - setupStart) / 1e9;
    const double joinAfterRegS = double(lastJoinedNs_ - lastRegisteredNs_) / 1e9;
    if (!ok) {
        std::printf("result scenario=players ok=0 clients=%d joined=%d closed=%d error=\"%s\"\n", n,
                    joined_, closed_, firstError_.c_str());
        return 1;
    }
    // The join announcements drain before the chat starts.
    WaitQuiet(500'000'000, NowNs() + int64_t(o_.timeout * 1e9));

    uint64_t rng = 0x5EED0000ull + o_.seed;
    const int64_t intervalNs = int64_t(o_.interval * 1e9);
    std::vector<int64_t> phase(static_cast<size_t>(n));
    for (auto& p : phase) p = int64_t(NextRandom(rng) % uint64_t(intervalNs));
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[size_t(i)] = i;
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return phase[size_t(a)] < phase[size_t(b)]; });

    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(epfd_, EPOLL_CTL_ADD, timerFd_, &ev);

    paced_ = true;
    measuring_ = true;
    const ServerSample s0 = serverProbe_.Sample();
    const double cpu0 = CpuSecondsSelf();
    const uint64_t bytes0 = bytesIn_;
    const int64_t start = NowNs();
    const int64_t end = start + int64_t(o_.duration * 1e9);
    firstSendNs_ = start;
    uint64_t expected = 0, sent = 0;
    size_t k = 0;
    int64_t round = 0;
    bool sending = true;
    int64_t lastProgressNs = start;
    uint64_t lastDelivered = 0;
    int64_t stopNs = 0;
    while (true) {
        int64_t now = NowNs();
        while (sending) {
            const int64_t due = start + phase[size_t(order[k])] + round * intervalNs;
            if (due >= end) {
                sending = false;
                stopNs = now;
                break;
            }
            if (due > now) {
                ArmTimer(due);
                break;
            }
            const int i = order[k];
            if (clients_[size_t(i)].fd >= 0) {
                SendPlayerLine(i, expected, rng);
                ++sent;
            }
            if (++k == order.size()) {
                k = 0;
                ++round;
            }
        }
        if (delivered_ != lastDelivered) {
            lastDelivered = delivered_;
            lastProgressNs = now;
        }
        if (!sending && delivered_ >= expected) break;
        if (!sending && now - std::max(lastProgressNs, stopNs) > int64_t(o_.stall * 1e9)) break;
        Poll(50);
    }
    const double cpu1 = CpuSecondsSelf();
    const ServerSample s1 = serverProbe_.Sample();
    const int64_t finish = std::max(NowNs(), end);
    const double wall = double(finish - start) / 1e9;
    const double egress = double(bytesIn_ - bytes0) / wall;

    std::string out = "result scenario=players";
    char tmp[1024];
    std::snprintf(tmp, sizeof tmp,
                  " ok=%d routed=%d lobby_size=%d duration_s=%.1f interval_s=%.1f dm_share=%.2f"
                  " line_bytes=%d sent=%" PRIu64 " expected=%" PRIu64 " delivered=%" PRIu64
                  " lines_per_s=%.0f egress_bps=%.0f egress_per_player_bps=%.1f p50_us=%" PRId64
                  " p99_us=%" PRId64 " max_us=%" PRId64
                  " gen_cpu=%.3f setup_s=%.2f join_after_reg_s=%.3f wall_s=%.1f disconnects=%d",
                  delivered_ == expected ? 1 : 0, o_.routed ? 1 : 0, o_.lobbySize, o_.duration,
                  o_.interval, o_.dmShare, o_.lineBytes, sent, expected, delivered_,
                  double(delivered_) / wall, egress, egress / n, hist_.Percentile(50),
                  hist_.Percentile(99), hist_.Max(), Cores(cpu1 - cpu0, wall), setupS,
                  joinAfterRegS, wall, closed_);
    out += tmp;
    if (base.ok && s0.ok && s1.ok) {
        const double scpu = s1.cpuSeconds - s0.cpuSeconds;
        std::snprintf(tmp, sizeof tmp,
                      " server_cpu=%.3f server_cpu_s=%.2f server_us_per_line=%.3f"
                      " base_rss_kb=%ld server_rss_kb=%ld rss_per_conn_b=%ld server_threads=%ld",
                      Cores(scpu, wall), scpu, delivered_ ? scpu * 1e6 / double(delivered_) : 0,
                      base.rssKb, s1.rssKb, (s1.rssKb - base.rssKb) * 1024 / std::max(1, n),
                      s1.threads);
        out += tmp;
    }
    PrintCommon(out);
    if (!firstError_.empty()) out += " error=\"" + firstError_ + "\"";
    std::printf("%s\n", out.c_str());
    return delivered_ == expected ? 0 : 1;
}

int Generator::Run() {
    if (o_.scenario == "register") return RunRegister();
    if (o_.scenario == "players") return RunPlayers();
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
    RaiseFileLimit(o.clients + (o.probe ? 1 : 0));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Generator g(o);
    return g.Run();
}
