// The output path, told once: where a line that the server writes waits, and who sends it.
// A peer thread owns one fan-out and is its only user; while the chat server's
// connection loop runs, the fan-out is bound to the thread (Bind), and every line that
// its commands write goes through it.
//
// Where a line waits: in the recipient connection's output queue (net/NetOutputQueue.h),
// appended at once, while the writer still holds whatever locks it holds. So every queue
// holds its lines in the order the server applied the events, whoever wrote them; this
// holds for the writing thread's own client too (its replies, AppendOwn), whose lines
// must never wait behind lines that other threads wrote later. The fan-out itself holds
// no bytes, only the list of queues it wrote to since its last flush.
//
// Lines for everybody (a chat line of the specified relay, a public lobby's JOIN, a QUIT,
// the operator's messages) do not wait in every recipient's queue at first: they are
// written once, in constant time, into the server's broadcast stream (WriteAll;
// net/NetBroadcast.h), still under the writer's locks, so the order above holds for them
// too. A recipient's queue copies the stream's entries that concern it into its own bytes
// before any other line is appended to it, before each of its sends and when it closes;
// from then on they are its lines like any other. Who copies and sends them is sender 3:
// each flusher pass walks every subscriber once.
//
// Who sends (every place where bytes leave a queue):
//   1. FlushPaced, the connection loop's flush point (chat/NetIrcServer.cpp): before the
//      loop reads more input once no whole line is left to run, when Due, and before a
//      flood-control wait; the remote administration's countdown flushes here too. It
//      sends the own queue, then every queue written since the last flush: itself for up
//      to HandOffRecipients of them, else it hands them to the flusher threads (3).
//   2. Flush, the same without the waits below: Unbind (the loop ends) and the fan-out of
//      a thread without a loop (a console broadcast, chat/Relay.cpp) at its end.
//   3. The flusher threads (net/NetFlusher.h): queues handed over, the subscribers of a
//      broadcast stream written to (each pass walks them all, and every thread walks its
//      share), and queues whose socket refused bytes, once it drains. A hand-over or a
//      stream write to GatherRecipients or more (a line for everybody) waits in its pass
//      TNetFlusher::GatherDelay (20 ms) after the first line handed over, unless a
//      sender waits for that pass: lines that players type one at a time then share one
//      send per recipient as a burst's lines do, and a flood is not slowed. A narrower hand-over (a
//      lobby's chat), and one that carries GatherBytesPerRecipient or more for each recipient (a
//      burst's lines, which already share their sends; its last pass would otherwise wait for
//      nothing), is sent at once.
//   4. A write from a thread without a fan-out (the console) sends at once.
//   5. A sender that waits for another connection (WaitWhileBehind below) sends that
//      connection's queue itself whenever its socket takes more.
//   6. Close makes a last send of what waits, without waiting, when a connection closes.
//
// Flow control, in FlushPaced after the sends, with no lock held:
//   - the own queue: while more than ReplyRoom waits, the thread waits for its own client,
//     so a reply of any length reaches a reading client whole, and a client that reads
//     less than the queue's ProgressBytes in its StallTime is closed;
//   - the flusher passes that send what the previous flush handed over;
//   - every recipient of this flush with more than BehindBytes waiting for a full socket
//     (for a stream: the subscribers that the last passes found so far behind),
//     for as long as it takes PaceBytes within PaceStall each time. A recipient that does
//     not is "lagging" and not waited for until it takes bytes again; its queue then
//     meets its bound or its stall time and it is closed.
// So a sender is read no faster than its slowest reading recipient takes its lines, its
// own TCP window pushes back on it, and a recipient that stopped reading costs a sender
// PaceStall once. Bytes that nobody has tried to send yet never count against a
// recipient's bound, so a sender that floods must be held back here.
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

#include "NetBroadcast.h"
#include "NetFlusher.h"

class TNetTCPConnection;
class TNetOutputQueue;

class TNetFanOut {
  public:
    static constexpr std::size_t HandOffRecipients = 16;
    static constexpr std::size_t GatherRecipients = 128;
    // A hand-over that carries this much or more per recipient is not gathered (3).
    static constexpr std::size_t GatherBytesPerRecipient = 512;
    // The most flusher threads whose passes a fan-out may wait for.
    static constexpr std::size_t MaxFlushThreads = 4;
    static constexpr std::size_t FlushBytes = 64 * 1024;
    static constexpr std::size_t FlushBytesPerRecipient = 4 * 1024;
    static constexpr std::size_t FlushBytesCap = 4 * 1024 * 1024;
    static constexpr std::size_t BehindBytes = 256 * 1024;
    static constexpr std::chrono::milliseconds PaceStall{250};
    static constexpr std::size_t ReplyRoom = 256 * 1024;

    // own: the connection whose thread this is, or null.
    explicit TNetFanOut(TNetTCPConnection* own = nullptr);
    ~TNetFanOut();  // flushes, without waiting
    TNetFanOut(const TNetFanOut&) = delete;
    TNetFanOut& operator=(const TNetFanOut&) = delete;

    // The fan-out of the calling thread's peer loop, or null.
    static TNetFanOut* Current();
    // Makes this the calling thread's fan-out until Unbind, which first sends (2).
    void Bind();
    void Unbind() noexcept;

    // Queues bytes for the connection (whole lines); false when it is closed.
    bool Write(TNetTCPConnection& to, std::string_view bytes);
    // Writes whole lines once into the server's broadcast stream for its audience (see
    // "Lines for everybody" above).
    void WriteAll(TNetBroadcast& stream, std::string_view bytes, TNetBroadcast::TAudience audience,
                  const TNetTCPConnection* except);
    // Enough is unsent that the loop should flush before reading on.
    bool Due() const;
    // Sends (or hands over) everything written since the last flush; never waits (2).
    void Flush();
    // The peer loop's flush point (1): Flush, then the flow control above.
    void FlushPaced();
    const TNetTCPConnection* Own() const { return own_; }

  private:
    void SendOthers();
    void SendStreams();
    void Pace();

    TNetTCPConnection* own_;
    std::vector<std::shared_ptr<TNetOutputQueue>> queues_;     // written to since the flush
    std::vector<std::shared_ptr<TNetOutputQueue>> sent_;       // flushed last, for Pace
    std::vector<std::shared_ptr<TNetBroadcast>> streams_;      // written to since the flush
    std::vector<std::shared_ptr<TNetBroadcast>> sentStreams_;  // flushed last, for Pace
    std::vector<TNetFlushTicket> scratch_;
    // Per flusher thread, the pass that sends what the last flush handed over.
    std::array<std::uint64_t, MaxFlushThreads> tickets_{};
    std::uint64_t mark_ = 0;            // names this fan-out's current batch in queues
    std::size_t bytes_ = 0;             // written since the flush
    std::size_t replyBytes_ = 0;        // of those, to the own client
    std::size_t streamBytes_ = 0;       // written to streams since the flush
    std::size_t streamRecipients_ = 0;  // the most subscribers of those streams
};
