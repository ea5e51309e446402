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
        Flush();
    } catch (...) {
        // Out of memory while handing over: the lines are lost, as they would be with
        // their recipients' next failure; this runs where nothing may throw.
    }
    if (current == this) current = nullptr;
}

bool TNetFanOut::Write(TNetTCPConnection& to, std::string_view bytes) {
    if (&to == own_) {
        const auto result = to.output_->AppendOwn(bytes.data(), bytes.size());
        if (result == TNetOutputQueue::TWriteResult::Closed) return false;
        replyBytes_ += bytes.size();
        bytes_ += bytes.size();
        return result == TNetOutputQueue::TWriteResult::Queued;
    }
    bool first = false;
    const auto result = to.output_->Append(bytes.data(), bytes.size(), mark_, first);
    if (result == TNetOutputQueue::TWriteResult::Closed) return false;
    if (first) queues_.push_back(to.output_);
    bytes_ += bytes.size();
    return result == TNetOutputQueue::TWriteResult::Queued;
}

void TNetFanOut::WriteAll(TNetBroadcast& stream, std::string_view bytes,
                          TNetBroadcast::TAudience audience, const TNetTCPConnection* except) {
    stream.Write(bytes, audience, except);
    const auto listed = std::find_if(streams_.begin(), streams_.end(),
                                     [&](const auto& s) { return s.get() == &stream; });
    if (listed == streams_.end()) streams_.push_back(stream.shared_from_this());
    const std::size_t recipients = stream.Subscribers();
    streamRecipients_ = std::max(streamRecipients_, recipients);
    streamBytes_ += bytes.size();
    bytes_ += bytes.size() * recipients;
}

bool TNetFanOut::Due() const {
    const std::size_t recipients = std::max(queues_.size(), streamRecipients_);
    const std::size_t limit =
        std::clamp(recipients * FlushBytesPerRecipient, FlushBytes, FlushBytesCap);
    return bytes_ >= limit;
}

void TNetFanOut::SendOthers() {
    mark_ = nextMark.fetch_add(1);
    Recycle(sent_);
    sent_.swap(queues_);
    if (sent_.size() <= HandOffRecipients) {
        for (auto& queue : sent_) queue->Send();
        return;
    }
    // Kept for the next paced flush: a sender waits for the pass of the lines it handed
    // over one flush ago, so its next lines are written while these are sent.
    const bool gather = sent_.size() >= GatherRecipients &&
                        bytes_ - replyBytes_ < GatherBytesPerRecipient * sent_.size();
    for (auto& queue : sent_) {
        TNetFlushTicket ticket;
        if (queue->HandOff(ticket, gather))
            tickets_[ticket.thread] = std::max(tickets_[ticket.thread], ticket.pass);
    }
}

// Every subscriber is walked by the flusher threads, gathered like a wide hand-over (3).
void TNetFanOut::SendStreams() {
    const bool gather =
        streamRecipients_ >= GatherRecipients && streamBytes_ < GatherBytesPerRecipient;
    TNetFlusher& flusher = TNetFlusher::Instance();
    for (auto& stream : streams_) {
        scratch_.clear();
        flusher.ReadyStream(*stream, gather, scratch_);
        for (const TNetFlushTicket& ticket : scratch_)
            tickets_[ticket.thread] = std::max(tickets_[ticket.thread], ticket.pass);
    }
    sentStreams_.swap(streams_);
    streams_.clear();
}

// The own client's replies go first: they answer the commands that caused the rest.
void TNetFanOut::Flush() {
    if (own_ != nullptr && replyBytes_ != 0) own_->output_->Send();
    if (!queues_.empty()) SendOthers();
    if (!streams_.empty()) SendStreams();
    bytes_ = 0;
    replyBytes_ = 0;
    streamBytes_ = 0;
    streamRecipients_ = 0;
}

void TNetFanOut::FlushPaced() {
    const auto waitFor = std::exchange(tickets_, {});  // the tickets of the flush before
    const bool replied = replyBytes_ != 0;
    Flush();
    if (own_ != nullptr && replied) own_->output_->WaitForRoom(ReplyRoom);
    TNetFlusher& flusher = TNetFlusher::Instance();
    for (std::size_t i = 0; i < waitFor.size(); ++i) {
        if (waitFor[i] != 0) flusher.WaitFor(TNetFlushTicket{i, waitFor[i]});
    }
    Pace();
}

void TNetFanOut::Pace() {
    for (auto& queue : sent_) queue->WaitWhileBehind(BehindBytes, PaceStall);
    Recycle(sent_);
    // The own client is waited for above (WaitForRoom), not as a recipient.
    const TNetOutputQueue* own = own_ != nullptr ? own_->output_.get() : nullptr;
    for (auto& stream : sentStreams_) {
        for (auto& queue : stream->Behind()) {
            if (queue.get() != own) queue->WaitWhileBehind(BehindBytes, PaceStall);
        }
    }
    sentStreams_.clear();
}
