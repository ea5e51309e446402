#include "NetTCPConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <vector>

#include "NetException.h"
#include "NetFanOut.h"
#include "NetOutputQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

// The most that one receive takes; also caps RecvBufferSize.
constexpr std::size_t MaxChunk = 32768;
// A receive lands on the reading thread's stack first, so an idle connection holds no
// receive buffer. The stack chunk is small because every connection has a thread and a
// larger one costs each of them a resident page; only a receive that fills it goes on,
// straight into PendingInput.
constexpr std::size_t StackChunk = 2048;
// A drained input buffer larger than this is given back (see the output queue's).
constexpr std::size_t KeepCapacity = 512;
// Idle time before the first keepalive probe, the interval between probes and their count:
// a peer that vanished without a word is noticed within about two minutes.
constexpr int KeepIdleSeconds = 60;
constexpr int KeepIntervalSeconds = 10;
constexpr int KeepCount = 6;
// Linux grows a socket's send buffer up to 4 MiB for a peer that stops reading, which would
// let one stuck client pin several megabytes of kernel memory on top of its output queue.
// The kernel doubles the figure for its bookkeeping, so this yields 256 KiB.
constexpr int SendBufferBytes = 128 * 1024;

// Fires OnDisconnected when it goes out of scope, after the connection's lock (declared
// later, so released earlier) is gone. A failure of the handler is passed on, except while
// another exception is already on its way out, when it cannot be.
class TDisconnectNotice {
  public:
    explicit TDisconnectNotice(TNetTCPConnection& connection)
        : connection_(connection), exceptions_(std::uncaught_exceptions()) {}
    TDisconnectNotice(const TDisconnectNotice&) = delete;
    TDisconnectNotice& operator=(const TDisconnectNotice&) = delete;

    ~TDisconnectNotice() noexcept(false) {
        if (!closedNow || !connection_.OnDisconnected) return;
        if (std::uncaught_exceptions() == exceptions_) {
            connection_.OnDisconnected(connection_);
            return;
        }
        try {
            connection_.OnDisconnected(connection_);
        } catch (...) {
        }
    }

    bool closedNow = false;

  private:
    TNetTCPConnection& connection_;
    const int exceptions_;
};

int RemainingMs(bool infinite, Clock::time_point deadline) {
    if (infinite) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

void TrySetOption(int fd, int level, int name, int value) {
    // Tuning only: a socket that refuses an option still works.
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

TNetTCPConnection::TNetTCPConnection()
    : output_(std::make_shared<TNetOutputQueue>(MaxQueuedOutput)) {}

TNetTCPConnection::~TNetTCPConnection() {
    // The flusher must let go of the descriptor before the socket closes it.
    output_->Close();
}

void TNetTCPConnection::Accepted() {
    socket_.SetDeferredClose(true);
    peerAddress_ = socket_.RemoteIP();
    const int fd = socket_.Handle();
    TrySetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    TrySetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, KeepIdleSeconds);
    TrySetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, KeepIntervalSeconds);
    TrySetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, KeepCount);
    // Lines are small and interactive; waiting to merge them only adds latency.
    TrySetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    TrySetOption(fd, SOL_SOCKET, SO_SNDBUF, SendBufferBytes);
    output_->Attach(fd);
}

bool TNetTCPConnection::CloseLocked() {
    if (!socket_.IsOpen()) return false;
    // The connection's own thread may still hold replies for it: they are its last words.
    TNetFanOut* fanOut = TNetFanOut::Current();
    if (fanOut != nullptr && fanOut->Own() == this) fanOut->PutReplies();
    output_->Close();
    socket_.CloseSocket(true);
    peerClosed_ = true;
    return true;
}

void TNetTCPConnection::CheckForCloseLocked(bool raiseIfClosed, bool ignorePending,
                                            bool& closedNow) {
    // A send that failed means the peer is gone, just as an end of stream does.
    if (!peerClosed_ && socket_.IsOpen() && !output_->Failed()) return;
    peerClosed_ = true;
    if (socket_.IsOpen()) closedNow |= CloseLocked();
    if (raiseIfClosed && (PendingLocked() == 0 || ignorePending)) throw ENetConnClosedGracefully();
}

void TNetTCPConnection::CheckForClose(bool raiseIfClosed, bool ignorePending) {
    TDisconnectNotice notice(*this);
    std::lock_guard lock(mutex_);
    CheckForCloseLocked(raiseIfClosed, ignorePending, notice.closedNow);
}

bool TNetTCPConnection::IsConnected() {
    TDisconnectNotice notice(*this);
    std::lock_guard lock(mutex_);
    return IsConnectedLocked(notice.closedNow);
}

bool TNetTCPConnection::IsConnectedLocked(bool& closedNow) {
    CheckForCloseLocked(false, false, closedNow);
    return socket_.IsOpen();
}

void TNetTCPConnection::Disconnect() {
    TDisconnectNotice notice(*this);
    std::lock_guard lock(mutex_);
    notice.closedNow = CloseLocked();
}

// A receive failed: nothing when it would block (-1), 0 when the socket was already shut
// and input is pending, else ENetSocketError.
int TNetTCPConnection::ReceiveFailedLocked(int err, bool& closedNow) {
    if (WouldBlock(err)) return -1;
    const int code = WinsockErrorFromErrno(err);
    if (code != WsaShutDown) throw ENetSocketError(code);
    closedNow |= CloseLocked();
    if (PendingLocked() == 0) throw ENetSocketError(code);
    return 0;
}

// One non-blocking receive of up to RecvBufferSize bytes, appended to PendingInput. Returns
// -1 when nothing was there after all (another reader took it), else the byte count, 0
// meaning the end of the stream. The receive lands on the stack first and goes on straight
// into PendingInput only when it filled the stack chunk; that second call only adds bytes:
// an end of the stream or an error behind them is left to the next receive, so that the
// lines before it are read while the connection is still open, as with one receive.
int TNetTCPConnection::ReceiveLocked(bool raiseIfClosed, bool& closedNow) {
    const int fd = socket_.Handle();
    const std::size_t limit = std::clamp<std::size_t>(RecvBufferSize, 1, MaxChunk);
    char chunk[StackChunk];
    const ssize_t n = ::recv(fd, chunk, std::min(limit, StackChunk), MSG_DONTWAIT);
    if (n < 0) return ReceiveFailedLocked(errno, closedNow);
    pendingInput_.append(chunk, static_cast<std::size_t>(n));
    std::size_t total = static_cast<std::size_t>(n);
    if (total == StackChunk && limit > StackChunk) {
        const std::size_t old = pendingInput_.size();
        pendingInput_.resize(old + limit - StackChunk);
        const ssize_t more =
            ::recv(fd, pendingInput_.data() + old, limit - StackChunk, MSG_DONTWAIT);
        const std::size_t added = static_cast<std::size_t>(std::max<ssize_t>(more, 0));
        pendingInput_.resize(old + added);
        total += added;
    }
    peerClosed_ = n == 0;
    receivedTotal_ += total;
    CheckForCloseLocked(raiseIfClosed, false, closedNow);
    return static_cast<int>(total);
}

// Waits for input without holding the lock, so writers, Disconnect and the sweep's probe
// go on meanwhile. The probe may take bytes while we wait; they are counted in
// receivedTotal_, which is how we notice them.
int TNetTCPConnection::FillLocked(TLock& lock, bool raiseIfClosed, int timeout, bool& closedNow) {
    CheckForCloseLocked(raiseIfClosed, false, closedNow);
    if (!socket_.IsOpen()) return 0;
    const bool infinite = timeout == TimeoutInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout);
    for (;;) {
        const std::size_t seen = receivedTotal_;
        pollfd p{socket_.Handle(), POLLIN, 0};
        readerWaiting_ = true;
        lock.unlock();
        const int ready = ::poll(&p, 1, RemainingMs(infinite, deadline));
        const int pollError = errno;
        lock.lock();
        readerWaiting_ = false;
        if (receivedTotal_ != seen) return static_cast<int>(receivedTotal_ - seen);
        if (!socket_.IsOpen()) {
            CheckForCloseLocked(raiseIfClosed, false, closedNow);
            return 0;
        }
        if (ready > 0) {
            const int n = ReceiveLocked(raiseIfClosed, closedNow);
            if (n >= 0) return n;
        } else if (ready == 0 || pollError != EINTR) {
            return 0;
        }
        if (!infinite && Clock::now() >= deadline) return 0;
    }
}

int TNetTCPConnection::FillPendingInput(bool raiseIfClosed, int timeout) {
    TDisconnectNotice notice(*this);
    TLock lock(mutex_);
    return FillLocked(lock, raiseIfClosed, timeout, notice.closedNow);
}

void TNetTCPConnection::CompactLocked() {
    if (pendingStart_ < pendingInput_.size()) {
        if (pendingStart_ > pendingInput_.size() / 2) {
            pendingInput_.erase(0, pendingStart_);
            searchedUpTo_ -= std::min(searchedUpTo_, pendingStart_);
            pendingStart_ = 0;
        }
        return;
    }
    pendingInput_.clear();
    pendingStart_ = 0;
    searchedUpTo_ = 0;
    if (pendingInput_.capacity() > KeepCapacity) std::string().swap(pendingInput_);
}

// Takes the first line out of PendingInput if a whole one is there. Only the default
// terminator remembers how far it has searched; the search never rescans old bytes, so a
// long line arriving in small pieces costs linear time.
bool TNetTCPConnection::TakeLineLocked(const std::string& terminator, std::string& line) {
    const bool isLF = terminator == "\n";
    const std::size_t from = isLF ? std::max(searchedUpTo_, pendingStart_) : pendingStart_;
    const std::size_t at = pendingInput_.find(terminator, from);
    if (at == std::string::npos) {
        if (isLF) searchedUpTo_ = pendingInput_.size();
        return false;
    }
    line.assign(pendingInput_, pendingStart_, at - pendingStart_);
    pendingStart_ = at + terminator.size();
    searchedUpTo_ = pendingStart_;
    CompactLocked();
    return true;
}

std::string TNetTCPConnection::ReadLine(const std::string& terminator, int timeout) {
    TDisconnectNotice notice(*this);
    TLock lock(mutex_);
    const std::string& term = terminator.empty() ? std::string("\n") : terminator;
    readTimedOut_ = false;
    std::string line;
    for (;;) {
        if (TakeLineLocked(term, line)) break;
        // A peer that never ends its line would otherwise make us hold its bytes forever.
        // The allowance covers a CR or a partly received terminator.
        if (PendingLocked() > MaxLineLength + term.size()) {
            pendingInput_.clear();
            pendingStart_ = searchedUpTo_ = 0;
            CloseNote.Note(TNetCloseReason::LineTooLong);
            notice.closedNow |= CloseLocked();
            throw ENetConnClosedGracefully();
        }
        CheckForCloseLocked(true, true, notice.closedNow);
        if (FillLocked(lock, true, timeout, notice.closedNow) == 0) {
            readTimedOut_ = true;
            return "";
        }
    }
    if (terminator.empty() && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > MaxLineLength) {
        CloseNote.Note(TNetCloseReason::LineTooLong);
        notice.closedNow |= CloseLocked();
        throw ENetConnClosedGracefully();
    }
    return line;
}

void TNetTCPConnection::WriteText(std::string_view text) {
    if (text.empty()) return;
    WriteBytes(text.data(), static_cast<int>(text.size()));
}

void TNetTCPConnection::WriteLine(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    WriteText(line);
}

// Never waits for the network. On a thread with a fan-out (a peer loop) the bytes wait
// there and go out at its flush; elsewhere they are sent at once. A connection whose send
// fails or that passes its bound is closed and the bytes are dropped without raising: the
// writer is often another connection's thread fanning a line out, and one lost recipient
// must not end it.
void TNetTCPConnection::WriteBytes(const char* data, int count) {
    if (count <= 0 || data == nullptr) return;
    {
        TDisconnectNotice notice(*this);
        std::lock_guard lock(mutex_);
        CheckForCloseLocked(true, true, notice.closedNow);
    }
    Deliver(std::string_view(data, static_cast<std::size_t>(count)));
}

// The queue is closed before the socket (CloseLocked), so the queue's own lock is enough
// to skip a closed connection: a fan-out takes one lock per recipient, and the
// connection's lock only to close one whose write failed.
bool TNetTCPConnection::TryWriteText(std::string_view text) {
    if (text.empty()) return IsConnected();
    return Deliver(text);
}

bool TNetTCPConnection::Deliver(std::string_view bytes) {
    if (TNetFanOut* fanOut = TNetFanOut::Current()) return fanOut->Write(*this, bytes);
    const auto result = output_->Write(bytes.data(), bytes.size());
    if (result == TNetOutputQueue::TWriteResult::Queued) return true;
    if (result == TNetOutputQueue::TWriteResult::Closed) return false;
    TDisconnectNotice notice(*this);
    std::lock_guard lock(mutex_);
    notice.closedNow |= CloseLocked();
    return false;
}

bool TNetTCPConnection::HasPendingLine() const {
    std::lock_guard lock(mutex_);
    return pendingInput_.find('\n', std::max(searchedUpTo_, pendingStart_)) != std::string::npos;
}

void TNetTCPConnection::ProbeLocked(bool& closedNow) {
    if (!socket_.IsOpen()) return;
    if (readerWaiting_) {
        // The reader is in poll on this socket: bytes taken here would not wake it. Look
        // without taking; the reader gets the bytes itself, and an end of stream or an
        // error closes the connection, which does wake it.
        char byte = 0;
        const ssize_t n = ::recv(socket_.Handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && !WouldBlock(errno))) closedNow |= CloseLocked();
        return;
    }
    try {
        ReceiveLocked(false, closedNow);
    } catch (const ENetSocketError&) {
        closedNow |= CloseLocked();
    }
}

void TNetTCPConnection::ProbeForClose(bool raiseIfClosed) {
    TDisconnectNotice notice(*this);
    std::lock_guard lock(mutex_);
    CheckForCloseLocked(raiseIfClosed, false, notice.closedNow);
    pollfd p{socket_.Handle(), POLLIN, 0};
    if (socket_.IsOpen() && ::poll(&p, 1, 0) > 0) ProbeLocked(notice.closedNow);
    CheckForCloseLocked(raiseIfClosed, false, notice.closedNow);
}

void TNetTCPConnection::ProbeConnections(std::span<TNetTCPConnection* const> connections) {
    std::vector<pollfd> fds;
    std::vector<TNetTCPConnection*> open;
    fds.reserve(connections.size());
    open.reserve(connections.size());
    // A connection whose lock is taken is being served by its own thread right now, which
    // notices a close itself: the sweep passes it by rather than wait while it holds the
    // connection list.
    for (TNetTCPConnection* connection : connections) {
        try {
            TDisconnectNotice notice(*connection);
            std::unique_lock lock(connection->mutex_, std::try_to_lock);
            if (!lock.owns_lock()) continue;
            if (!connection->IsConnectedLocked(notice.closedNow)) continue;
            fds.push_back(pollfd{connection->socket_.Handle(), POLLIN, 0});
            open.push_back(connection);
        } catch (...) {
            // A failing OnDisconnected of one connection must not stop the sweep.
        }
    }
    if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        try {
            TDisconnectNotice notice(*open[i]);
            std::unique_lock lock(open[i]->mutex_, std::try_to_lock);
            if (lock.owns_lock()) open[i]->ProbeLocked(notice.closedNow);
        } catch (...) {
        }
    }
}

std::string TNetTCPConnection::ExtractPending(int count) {
    std::lock_guard lock(mutex_);
    if (count < 0 || static_cast<std::size_t>(count) > PendingLocked())
        throw ENetNotEnoughDataInBuffer();
    std::string taken = pendingInput_.substr(pendingStart_, static_cast<std::size_t>(count));
    pendingStart_ += static_cast<std::size_t>(count);
    CompactLocked();
    return taken;
}

bool TNetTCPConnection::PeerClosed() const {
    std::lock_guard lock(mutex_);
    return peerClosed_;
}

bool TNetTCPConnection::ReadTimedOut() const {
    std::lock_guard lock(mutex_);
    return readTimedOut_;
}

std::size_t TNetTCPConnection::PendingInputSize() const {
    std::lock_guard lock(mutex_);
    return PendingLocked();
}

std::size_t TNetTCPConnection::QueuedOutputSize() const {
    return output_->Size();
}

TNetCloseReason TNetTCPConnection::CloseReason() const {
    if (CloseNote.Noted()) return CloseNote.Reason();
    return output_ && output_->Failed() ? TNetCloseReason::Output : TNetCloseReason::Lost;
}
