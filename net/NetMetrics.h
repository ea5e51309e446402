// The server's running counts for the metrics endpoint: connections accepted, refused and
// closed by reason, lines relayed, bytes sent, flood limits met, administrator logins and
// refused code words. Any thread; every count is a relaxed atomic, since readers want
// totals, not an order between them. Gauges that the core already knows (users, lobbies,
// output waiting, threads) are not kept here: the reader computes them when asked.
//
// One set per process (NetMetrics()): the program runs one server, and the frame's
// output queues, which count the bytes, do not know which server they serve.
//
// Why a connection closed is noted on the connection by whoever closes it (first reason
// wins, TNetCloseNote) and counted once, when its thread lets go of it
// (TNetPeerThread::AfterRunStep). A connection nobody gave a reason for was ended by its
// client or the network, or failed its output (TNetTCPConnection::CloseReason).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

enum class TNetCloseReason : std::uint8_t {
    Lost,         // the client closed it, the network failed, or the sweep found it gone
    Quit,         // the client's QUIT
    Operator,     // a kick or a stop: the operator, the admin endpoint or a code word
    Refused,      // turned away: too many connections from its address, or its nick
    Timeout,      // no nick registered in time
    LineTooLong,  // an input line over the limit
    Output,       // its output failed: it stopped reading, or the socket broke
    Flood,        // it sent too fast for the flood limits
    Count_
};

// The reason's name in the metrics' label, lower case with underscores.
constexpr const char* NetCloseReasonName(TNetCloseReason reason) {
    switch (reason) {
        case TNetCloseReason::Lost:
            return "lost";
        case TNetCloseReason::Quit:
            return "quit";
        case TNetCloseReason::Operator:
            return "operator";
        case TNetCloseReason::Refused:
            return "refused";
        case TNetCloseReason::Timeout:
            return "timeout";
        case TNetCloseReason::LineTooLong:
            return "line_too_long";
        case TNetCloseReason::Output:
            return "output";
        case TNetCloseReason::Flood:
            return "flood";
        case TNetCloseReason::Count_:
            break;
    }
    return "lost";
}

// A relaxed counter: the totals are read as they stand, no order is implied.
class TNetCounter {
  public:
    void Add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> value_{0};
};

struct TNetMetrics {
    TNetCounter ConnectionsAccepted;
    TNetCounter ConnectionsRefused;  // of the accepted, turned away at once
    std::array<TNetCounter, static_cast<std::size_t>(TNetCloseReason::Count_)> ConnectionsClosed;
    TNetCounter LinesRelayed;    // chat lines relayed (one per line, not per recipient)
    TNetCounter BytesSent;       // bytes the sockets took
    TNetCounter FloodLimitsMet;  // times a connection met a flood limit
    TNetCounter AdminLogins;
    TNetCounter AdminLoginFailures;
    TNetCounter CodeWordsRefused;  // code-shaped words that matched no code or were locked out

    TNetCounter& Closed(TNetCloseReason reason) {
        return ConnectionsClosed[static_cast<std::size_t>(reason)];
    }
};

inline TNetMetrics& NetMetrics() {
    static TNetMetrics metrics;
    return metrics;
}

// Why a connection closed, noted by whoever closes it; the first note wins, so the kick
// that closed a socket is not overwritten by the read that then fails on it. Any thread.
class TNetCloseNote {
  public:
    void Note(TNetCloseReason reason) {
        std::uint8_t none = 0;
        value_.compare_exchange_strong(none, static_cast<std::uint8_t>(reason) + 1,
                                       std::memory_order_relaxed);
    }
    bool Noted() const { return value_.load(std::memory_order_relaxed) != 0; }
    TNetCloseReason Reason() const {
        const std::uint8_t value = value_.load(std::memory_order_relaxed);
        return value == 0 ? TNetCloseReason::Lost : static_cast<TNetCloseReason>(value - 1);
    }

  private:
    std::atomic<std::uint8_t> value_{0};
};
