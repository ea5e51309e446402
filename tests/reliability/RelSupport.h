// Shared pieces of the reliability suite and the soak test: process figures from /proc and
// getrusage, a raw loopback peer that can connect from any 127.0.0.x source address and
// check every line the server writes, and a fixture that runs the real chat server on a
// port-0 binding. A Peer belongs to one test thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chat/NetIrcServer.h"

namespace rel {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Figures of this process (the server runs in it).
int ThreadCount();     // entries of /proc/self/task
int FdCount();         // entries of /proc/self/fd
long RssKiB();         // VmRSS of /proc/self/status
double CpuSeconds();   // user + system time of RUSAGE_SELF
std::int64_t NowNs();  // steady clock in nanoseconds

// An integer environment setting, or def when unset or not a number.
long EnvLong(const char* name, long def);

// Polls until the condition holds or the time-out passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// The q-quantile (0..1) of the samples; sorts them.
double Quantile(std::vector<double>& samples, double q);

// "127.0.0." + (base + index / perAddress): spreads clients over loopback addresses.
std::string LoopbackAddress(int index, int perAddress = 16, int base = 2);

// True when a raw server line (its bytes up to, not including, the LF) is one well-formed
// line: it ends in CR and holds no CR, LF or NUL before that CR.
bool WellFormed(std::string_view raw);

// A raw TCP client of the server. Lines are returned without CR LF; any line that is not
// well formed is counted in BadLines() and kept in BadSamples().
class Peer {
  public:
    Peer() = default;
    ~Peer();
    Peer(Peer&& other) noexcept;
    Peer& operator=(Peer&& other) noexcept;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Binds the source address, sets SO_RCVBUF when recvBuffer > 0 and connects; blocking.
    bool Connect(int port, const std::string& source = "127.0.0.1", int recvBuffer = 0);
    // Makes and binds the socket now and connects later without waiting, so a client can
    // be readied before the process runs out of descriptors and connect afterwards.
    bool Prepare(const std::string& source = "127.0.0.1");
    bool StartConnect(int port);
    bool IsOpen() const { return fd_ >= 0; }
    bool Eof() const { return eof_; }
    int Fd() const { return fd_; }
    void Close();
    void Reset();  // RST instead of FIN

    bool Send(std::string_view bytes);
    bool SendLine(std::string_view line) { return Send(std::string(line) + "\r\n"); }

    // Reads what is there without waiting; false once the server closed or failed.
    bool Pump();
    // The next complete line, if one is buffered.
    std::optional<std::string> NextLine();
    // Waits up to the time-out for the next line.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = 3s);
    // Reads until a line equal to `line` (or starting with it when prefix) arrives.
    bool WaitFor(const std::string& line, std::chrono::milliseconds timeout = 3s,
                 bool prefix = false);
    // True once the server closed the connection (EOF or reset) within the time-out; the
    // lines before the close go to Seen().
    bool WaitClosed(std::chrono::milliseconds timeout = 3s);
    // USER then NICK, then waits for the end of the welcome.
    bool Register(const std::string& nick, std::chrono::milliseconds timeout = 5s);
    // Sends TIME and waits for its not-handled reply; the round trip, or nullopt.
    std::optional<std::chrono::microseconds> TimeRoundTrip(std::chrono::milliseconds timeout = 3s);

    std::size_t BadLines() const { return badLines_; }
    const std::vector<std::string>& BadSamples() const { return badSamples_; }
    std::size_t BytesReceived() const { return bytesReceived_; }
    std::vector<std::string>& Seen() { return seen_; }  // skipped by WaitFor, WaitClosed

  private:
    int fd_ = -1;
    bool eof_ = false;
    std::string in_;
    std::size_t head_ = 0;     // bytes of in_ already returned as lines
    std::size_t scanned_ = 0;  // bytes of in_ known to hold no LF
    std::size_t badLines_ = 0;
    std::size_t bytesReceived_ = 0;
    std::vector<std::string> badSamples_;
    std::vector<std::string> seen_;
};

// The real chat server on a port-0 binding of every local address.
class ServerRig {
  public:
    explicit ServerRig(std::chrono::milliseconds sweep = 1000ms);
    ~ServerRig();
    void Start();
    void Stop();
    TNetIRCServer& Server() { return *server_; }
    int Port() const { return port_; }

  private:
    std::unique_ptr<TNetIRCServer> server_;
    int port_ = 0;
};

}  // namespace rel
