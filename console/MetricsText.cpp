#include "MetricsText.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

#include "chat/NetIrcServer.h"
#include "net/NetMetrics.h"

namespace {

// One metric family: its HELP and TYPE lines, then its samples.
class TFamilyWriter {
  public:
    explicit TFamilyWriter(std::ostringstream& out) : out_(out) {}

    void Family(std::string_view name, std::string_view type, std::string_view help) {
        name_ = name;
        out_ << "# HELP " << name << ' ' << help << '\n'
             << "# TYPE " << name << ' ' << type << '\n';
    }
    void Sample(std::uint64_t value, std::string_view labels = {}) {
        out_ << name_;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << value << '\n';
    }

  private:
    std::ostringstream& out_;
    std::string name_;
};

// The process's thread count from /proc (the kernel's own count, which includes the
// flusher, listener, sweep and Qt threads as well as one per connection); 0 elsewhere.
std::uint64_t ProcessThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::strtoull(line.c_str() + 8, nullptr, 10);
    }
    return 0;
}

struct TLobbyCounts {
    std::uint64_t ByKind[2][2] = {};  // [private][user created]
    std::uint64_t RegisteredUsers = 0;
};

TLobbyCounts CountLobbies(TLobbyList& store) {
    TLobbyCounts counts;
    std::lock_guard guard(store.Lock());
    for (const auto& lobby : store.Lobbies()) ++counts.ByKind[lobby->IsPrivate][lobby->UserCreated];
    for (const TUserEntry& entry : store.Users()) counts.RegisteredUsers += !entry.Nick.empty();
    return counts;
}

}  // namespace

std::string MetricsText(TNetIRCServer& server) {
    const TNetMetrics& metrics = NetMetrics();
    const TLobbyCounts lobbies = CountLobbies(server.LobbyStore());
    std::uint64_t connections = 0;
    std::uint64_t waiting = 0;
    {
        TNetThreadList& peers = server.PeerThreads();
        std::lock_guard guard(peers.Mutex());
        connections = peers.Items().size();
        for (TNetPeerThread* peer : peers.Items()) waiting += peer->Connection().QueuedOutputSize();
    }

    std::ostringstream out;
    TFamilyWriter w(out);
    w.Family("quarn_connections_accepted_total", "counter", "Connections accepted.");
    w.Sample(metrics.ConnectionsAccepted.Value());
    w.Family("quarn_connections_refused_total", "counter",
             "Connections accepted and turned away at once (too many from one address).");
    w.Sample(metrics.ConnectionsRefused.Value());
    w.Family("quarn_connections_closed_total", "counter", "Connections closed, by reason.");
    for (std::size_t i = 0; i < metrics.ConnectionsClosed.size(); ++i) {
        const auto reason = static_cast<TNetCloseReason>(i);
        w.Sample(metrics.ConnectionsClosed[i].Value(),
                 std::string("reason=\"") + NetCloseReasonName(reason) + '"');
    }
    w.Family("quarn_connections", "gauge", "Connections open.");
    w.Sample(connections);
    w.Family("quarn_registered_users", "gauge", "Users who have registered a nick.");
    w.Sample(lobbies.RegisteredUsers);
    w.Family("quarn_lobbies", "gauge",
             "Lobbies, by kind (public or private) and by who made them (operator or player).");
    for (int isPrivate = 0; isPrivate < 2; ++isPrivate) {
        for (int userCreated = 0; userCreated < 2; ++userCreated) {
            w.Sample(lobbies.ByKind[isPrivate][userCreated],
                     std::string("kind=\"") + (isPrivate ? "private" : "public") + "\",owner=\"" +
                         (userCreated ? "player" : "operator") + '"');
        }
    }
    w.Family("quarn_lines_relayed_total", "counter", "Chat lines relayed to other users.");
    w.Sample(metrics.LinesRelayed.Value());
    w.Family("quarn_sent_bytes_total", "counter", "Bytes sent to clients.");
    w.Sample(metrics.BytesSent.Value());
    w.Family("quarn_output_waiting_bytes", "gauge",
             "Bytes written for clients that their sockets have not taken yet.");
    w.Sample(waiting);
    w.Family("quarn_flood_limits_met_total", "counter", "Times a client met a flood limit.");
    w.Sample(metrics.FloodLimitsMet.Value());
    w.Family("quarn_admin_logins_total", "counter", "Successful logins at the admin endpoint.");
    w.Sample(metrics.AdminLogins.Value());
    w.Family("quarn_admin_login_failures_total", "counter",
             "Refused logins at the admin endpoint.");
    w.Sample(metrics.AdminLoginFailures.Value());
    w.Family("quarn_code_words_refused_total", "counter",
             "Administrator code words refused: wrong, or from a locked-out address.");
    w.Sample(metrics.CodeWordsRefused.Value());
    w.Family("quarn_threads", "gauge", "Threads of the server process.");
    w.Sample(ProcessThreads());
    return out.str();
}
