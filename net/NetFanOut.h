// Where the lines that one thread writes wait before they are sent, and who sends them.
// A peer thread owns one fan-out and is its only user. While the chat server's connection
// loop runs, the fan-out is bound to the thread: every line that its commands write
// (replies to its own client, relays and announcements to others) goes through it, and
// the loop flushes it at one named point, FlushPaced, before it reads more input. A thread without
// a peer loop (the console) uses a fan-out of its own for a wide broadcast and flushes it at once,
// or writes without one.
//
// Lines for other connections are appended to their queues at once, in the order written,
// and sent at the flush: one send per recipient for everything since the last flush,
// instead of one per line. A fan-out wider than HandOffRecipients hands its queues to the
// flusher threads instead, which spreads the sends over the cores and lets the lines of
// many senders share one send. A line to GatherRecipients or more (one for everybody)
// waits in its pass for TNetFlusher::GatherDelay (10 ms) after the first line handed to
// it, unless a sender waits for that pass: lines that players type one at a time then
// share sends as a burst's lines do. A narrower line (a lobby's chat) goes at once. Lines for the
// thread's own client wait in the fan-out and go out at the flush through SendReply, which waits
// for the own socket as long as it takes bytes, so a reply of any length reaches a reading client
// whole.
//
// Flow control: bytes that nobody has tried to send yet never count against a recipient's
// bound, so a sender that floods must be held back instead. Its loop flushes once its
// unsent lines pass FlushBytes (Due), and FlushPaced then waits, with no lock held, for
// the flusher pass that sends what it handed over before, and for any recipient that has
// fallen more than BehindBytes behind, MaxPaceWait at most for all of them together; one
// still behind then is "lagging" and not waited for again until it has drained. So a
// flooding client is read no faster than its lines are sent and read, its own TCP window
// pushes back on it, a reader that pauses for a moment is waited for instead of being
// closed by its bound, and however many recipients stop reading they cost a sender
// MaxPaceWait once before their bound closes them.
//
// Threads: the owning thread only. Lock order: a fan-out takes queue locks one at a time
// and holds none of them while it waits.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TNetTCPConnection;
class TNetOutputQueue;

class TNetFanOut {
  public:
    static constexpr std::size_t HandOffRecipients = 16;
    static constexpr std::size_t GatherRecipients = 128;
    // The most flusher threads whose passes a fan-out may wait for.
    static constexpr std::size_t MaxFlushThreads = 4;
    static constexpr std::size_t FlushBytes = 64 * 1024;
    static constexpr std::size_t FlushBytesPerRecipient = 4 * 1024;
    static constexpr std::size_t FlushBytesCap = 4 * 1024 * 1024;
    static constexpr std::size_t BehindBytes = 256 * 1024;
    static constexpr std::chrono::milliseconds MaxPaceWait{100};
    // A reply to the own client is fed to the socket this much at a time, and a client
    // whose socket takes nothing of it for ReplyStall has stopped reading and is closed.
    static constexpr std::size_t ReplyRoom = 256 * 1024;
    static constexpr std::chrono::milliseconds ReplyStall{20000};

    // own: the connection whose thread this is, or null.
    explicit TNetFanOut(TNetTCPConnection* own = nullptr);
    ~TNetFanOut();  // flushes, without waiting
    TNetFanOut(const TNetFanOut&) = delete;
    TNetFanOut& operator=(const TNetFanOut&) = delete;

    // The fan-out of the calling thread's peer loop, or null.
    static TNetFanOut* Current();
    // Makes this the calling thread's fan-out until Unbind, which first sends what it holds
    // without waiting.
    void Bind();
    void Unbind() noexcept;

    // Queues bytes for the connection (whole lines); false when it is closed.
    bool Write(TNetTCPConnection& to, std::string_view bytes);
    // Enough is unsent that the loop should flush before reading on.
    bool Due() const;
    // Sends (or hands over) everything written since the last flush; never waits.
    void Flush();
    // The peer loop's flush point: Flush, the own replies, then the flow control above.
    void FlushPaced();
    // Moves the own replies into the own queue without waiting: the connection is about
    // to close and this is its last chance to send them.
    void PutReplies();
    const TNetTCPConnection* Own() const { return own_; }

  private:
    void SendOthers();
    void Pace();

    TNetTCPConnection* own_;
    std::string replies_;  // for the own client, in the order written
    std::vector<std::shared_ptr<TNetOutputQueue>> queues_;  // written to since the flush
    std::vector<std::shared_ptr<TNetOutputQueue>> sent_;    // flushed last, for Pace
    // Per flusher thread, the pass that sends what the last flush handed over.
    std::array<std::uint64_t, MaxFlushThreads> tickets_{};
    std::uint64_t mark_ = 0;  // names this fan-out's current batch in queues
    std::size_t bytes_ = 0;   // written since the flush
};
