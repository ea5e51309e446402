// The scripted IRC client of every loopback test: connects from a chosen 127.0.0.x source
// address (or from ::1 to ::1 over IPv6), sends raw bytes or lines, and reads the server's lines
// one by one with a time-out. Every line it reads is checked: a line that does not end in CR LF, or
// holds a CR, LF or NUL before that end, is counted in BadLines(). Used by one test thread at a
// time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// True when a raw server line (its bytes up to, not including, the LF) is one well-formed
// line: it ends in CR and holds no CR, LF or NUL before that CR.
bool WellFormed(std::string_view raw);

class TestClient {
  public:
    using Milliseconds = std::chrono::milliseconds;

    TestClient() = default;
    // Connects at once; IsOpen() tells whether it worked.
    // Run between short polls while a client waits, when set: a test whose server works
    // on the waiting thread's event loop (the admin endpoint) lets it run meanwhile.
    static inline std::function<void()> WhileWaiting;

    explicit TestClient(int port, const std::string& source = "127.0.0.1", int recvBuffer = 0);
    ~TestClient();
    TestClient(TestClient&& other) noexcept;
    TestClient& operator=(TestClient&& other) noexcept;
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Binds the source address, sets SO_RCVBUF when recvBuffer > 0 (a small window for
    // stuck readers) and connects to 127.0.0.1:port; blocking.
    bool Connect(int port, const std::string& source = "127.0.0.1", int recvBuffer = 0);
    // Makes and binds the socket now and connects later without waiting, so a client can
    // be readied before the process runs out of descriptors and connect afterwards.
    bool Prepare(const std::string& source = "127.0.0.1");
    bool StartConnect(int port);
    bool IsOpen() const { return fd_ >= 0; }
    bool Eof() const { return eof_; }  // the server closed or reset the connection
    int Fd() const { return fd_; }
    void Close();
    void Reset();  // RST instead of FIN

    bool Send(std::string_view bytes);
    bool SendLine(std::string_view line) { return Send(std::string(line) + "\r\n"); }

    // Reads what is there without waiting; false once the server closed or failed.
    bool Pump();
    // Pump for a reader on a slow link: takes at most `maxBytes`, without waiting.
    bool PumpUpTo(std::size_t maxBytes);
    // The next complete line already read, without its CR LF. A line that lacks the CR
    // comes back with "<NO CRLF>" appended, so no comparison can pass over it.
    std::optional<std::string> NextLine();
    // Waits up to the time-out for the next line; nullopt on time-out or close.
    std::optional<std::string> ReadLine(Milliseconds timeout = Milliseconds(3000));
    // Reads lines until `line` arrives (or one starting with `prefix`); false on time-out.
    // The lines read before it are kept in Skipped().
    bool WaitFor(const std::string& line, Milliseconds timeout = Milliseconds(3000));
    bool WaitForPrefix(const std::string& prefix, Milliseconds timeout = Milliseconds(3000));
    // True once the server closed the connection within the time-out; the lines before
    // the close are kept in Skipped().
    bool WaitClosed(Milliseconds timeout = Milliseconds(3000));
    // Every line that arrives within `quiet` of the previous one.
    std::vector<std::string> ReadAvailable(Milliseconds quiet = Milliseconds(150));
    // True when no byte arrives within `quiet` (a close counts as silence).
    bool Silent(Milliseconds quiet = Milliseconds(150));

    // USER then NICK; reads up to and including the 376 end of the welcome.
    bool Register(const std::string& nick, Milliseconds timeout = Milliseconds(5000));
    // Sends TIME and waits for its not-handled reply; the round trip, or nullopt.
    std::optional<std::chrono::microseconds> TimeRoundTrip(
        Milliseconds timeout = Milliseconds(3000));

    // The lines passed over by the last WaitFor, WaitForPrefix or WaitClosed.
    std::vector<std::string>& Skipped() { return skipped_; }
    std::size_t BadLines() const { return badLines_; }
    const std::vector<std::string>& BadSamples() const { return badSamples_; }
    std::size_t BytesReceived() const { return bytesReceived_; }
    std::string LocalIP() const;

  private:
    // A fresh, bound socket with every per-connection record emptied.
    bool Open(const std::string& source, int recvBuffer);
    template <class Match>
    bool ReadUntil(Match match, Milliseconds timeout);
    // Waits for readable bytes until the deadline and reads them; false on time-out or close.
    bool Fill(std::chrono::steady_clock::time_point deadline);
    std::size_t Unread() const { return in_.size() - head_; }

    int fd_ = -1;
    bool eof_ = false;
    std::string in_;
    std::size_t head_ = 0;     // bytes of in_ already returned as lines
    std::size_t scanned_ = 0;  // bytes of in_ known to hold no LF
    std::vector<std::string> skipped_;
    // Kept over reconnections: a client reused for many connections reports them all.
    std::size_t badLines_ = 0;
    std::size_t bytesReceived_ = 0;
    std::vector<std::string> badSamples_;
};
