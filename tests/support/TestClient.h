// A small scripted IRC client for loopback tests: connects, sends raw bytes or lines, and
// reads the server's lines one by one with a time-out. Used by one test thread at a time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class TestClient {
public:
    TestClient() = default;
    TestClient(int port, const std::string& ip = "127.0.0.1", int recvBuffer = 0);
    ~TestClient();
    TestClient(TestClient&& other) noexcept;
    TestClient& operator=(TestClient&& other) noexcept;
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // recvBuffer > 0 sets SO_RCVBUF before connecting (a small window for stuck readers).
    bool Connect(int port, const std::string& ip = "127.0.0.1", int recvBuffer = 0);
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();
    // Sends a RST instead of a FIN.
    void Reset();

    bool Send(const std::string& bytes);
    bool SendLine(const std::string& line) { return Send(line + "\r\n"); }

    // One line without its CR LF; nullopt on time-out or close. Every line the server
    // writes must end in CR LF: a line that does not is returned with a "<NO CRLF>" mark.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // Reads lines until `line` arrives; returns false on time-out. Lines before it are kept
    // in Skipped().
    bool WaitFor(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // Every line that arrives within `quiet` of the previous one.
    std::vector<std::string> ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));
    // True when the server closes the connection within the time-out (lines before the
    // close are discarded).
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // True when no byte arrives within `quiet`.
    bool Silent(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));

    // USER then NICK; reads up to and including the 376 end of the welcome.
    bool Register(const std::string& nick);

    const std::vector<std::string>& Skipped() const { return skipped_; }
    std::string LocalIP() const;

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    bool eof_ = false;
    std::string buffer_;
    std::vector<std::string> skipped_;
};
