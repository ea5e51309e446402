#include "NetFanOut.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "NetFlusher.h"
#include "NetOutputQueue.h"
#include "NetTCPConnection.h"

namespace {

constexpr std::size_t KeepRecipients = 64;
static_assert(TNetFlusher::MaxThreads <= TNetFanOut::MaxFlushThreads);
thread_local TNetFanOut* current = nullptr;
std::atomic<std::uint64_t> nextMark{1};

// Empties a list of recipients for its next use. A wide fan-out (a join announced to
// thousands) must not leave every thread that made one holding a list as long as the
// server, so a long list is given back.
void Recycle(std::vector<std::shared_ptr<TNetOutputQueue>>& list) {
    if (list.capacity() > KeepRecipients) {
        std::vector<std::shared_ptr<TNetOutputQueue>>().swap(list);
        return;
    }
    list.clear();
}

}  // namespace

TNetFanOut::TNetFanOut(TNetTCPConnection* own) : own_(own), mark_(nextMark.fetch_add(1)) {}

TNetFanOut::~TNetFanOut() {
    Unbind();
}

TNetFanOut* TNetFanOut::Current() {
    return current;
}

void TNetFanOut::Bind() {
    current = this;
}

void TNetFanOut::Unbind() noexcept {
    try {
        PutReplies();
        Flush();
    } catch (...) {
        // Out of memory while handing over: the lines are lost, as they would be with
        // their recipients' next failure; this runs where nothing may throw.
    }
    if (current == this) current = nullptr;
}

bool TNetFanOut::Write(TNetTCPConnection& to, std::string_view bytes) {
    if (&to == own_) {
        replies_.append(bytes);
        bytes_ += bytes.size();
        return true;
    }
    bool first = false;
    const auto result = to.output_->Append(bytes.data(), bytes.size(), mark_, first);
    if (result == TNetOutputQueue::TWriteResult::Closed) return false;
    if (first) queues_.push_back(to.output_);
    bytes_ += bytes.size();
    return result == TNetOutputQueue::TWriteResult::Queued;
}

bool TNetFanOut::Due() const {
    const std::size_t limit =
        std::clamp(queues_.size() * FlushBytesPerRecipient, FlushBytes, FlushBytesCap);
    return bytes_ >= limit;
}

void TNetFanOut::SendOthers() {
    mark_ = nextMark.fetch_add(1);
    bytes_ = replies_.size();
    Recycle(sent_);
    sent_.swap(queues_);
    if (sent_.size() <= HandOffRecipients) {
        for (auto& queue : sent_) queue->Send();
        return;
    }
    // Kept for the next paced flush: a sender waits for the pass of the lines it handed
    // over one flush ago, so its next lines are written while these are sent.
    const bool gather = sent_.size() >= GatherRecipients;
    for (auto& queue : sent_) {
        TNetFlushTicket ticket;
        if (queue->HandOff(ticket, gather))
            tickets_[ticket.thread] = std::max(tickets_[ticket.thread], ticket.pass);
    }
}

void TNetFanOut::Flush() {
    if (queues_.empty()) return;
    SendOthers();
}

void TNetFanOut::PutReplies() {
    if (replies_.empty() || own_ == nullptr) return;
    bool first = false;
    own_->output_->Append(replies_.data(), replies_.size(), 0, first);
    own_->output_->Send();
    bytes_ -= std::min(bytes_, replies_.size());
    std::string().swap(replies_);
}

// The own replies are queued before the lines for others are sent, so that nothing a
// recipient answers to those lines can overtake them; only a reply too long to queue at
// once waits for the own socket, after the others have been sent.
void TNetFanOut::FlushPaced() {
    const auto waitFor = std::exchange(tickets_, {});  // the tickets of the flush before
    std::string replies;
    replies.swap(replies_);
    std::string_view rest = replies;
    if (own_ != nullptr && !rest.empty()) own_->output_->AppendReply(rest, ReplyRoom);
    Flush();
    bytes_ = 0;
    if (own_ != nullptr && !rest.empty()) own_->output_->SendReply(rest, ReplyRoom, ReplyStall);
    TNetFlusher& flusher = TNetFlusher::Instance();
    for (std::size_t i = 0; i < waitFor.size(); ++i) {
        if (waitFor[i] != 0) flusher.WaitFor(TNetFlushTicket{i, waitFor[i]});
    }
    Pace();
}

// Waits for the recipients of the last flush that have fallen far behind, all of them
// together for MaxPaceWait at most: a budget per recipient would let a crowd of
// connections that never read hold a sender up once each.
void TNetFanOut::Pace() {
    using Clock = TNetOutputQueue::Clock;
    const auto deadline = Clock::now() + MaxPaceWait;
    for (auto& queue : sent_) {
        while (queue->Behind(BehindBytes)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                queue->MarkLagging();
                break;
            }
            queue->WaitForReader(std::min(left, MaxPaceWait / 20));
        }
    }
    Recycle(sent_);
}
