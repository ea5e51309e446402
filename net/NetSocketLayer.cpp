#include "NetSocketLayer.h"

#include <poll.h>
#include <sys/resource.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "NetException.h"

namespace {

// An errno with no Windows Sockets counterpart is reported as this base plus its own number,
// which lies outside the table, so it can never be mistaken for a code that callers act on
// (10053, 10054, 10058).
constexpr int UnmappedErrorBase = 20000;

constexpr std::size_t MaxSetSize = 64;

const std::unordered_map<int, int>& ErrnoTable() {
    static const std::unordered_map<int, int> table = {
        {EINTR, 10004},
        // In this frame a descriptor is only ever used while its handle holds it, so a bad
        // descriptor means the socket was already closed.
        {EBADF, 10058},
        {ESHUTDOWN, 10058},
        {EACCES, 10013},
        {EPERM, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {ENFILE, 10024},
        {EAGAIN, 10035},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ECONNABORTED, 10053},
        // A connection that failed on the way in (accept) was aborted, as far as we can tell.
        {EPROTO, 10053},
        {ECONNRESET, 10054},
        // Writing to a peer that has reset the connection.
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {ENOMEM, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ETOOMANYREFS, 10059},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {ELOOP, 10062},
        {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {ENOTEMPTY, 10066},
    };
    return table;
}

const std::unordered_map<int, const char*>& DescriptionTable() {
    static const std::unordered_map<int, const char*> table = {
        {10004, "Interrupted system call."},
        {10009, "Bad file number."},
        {10013, "Access denied."},
        {10014, "Bad address."},
        {10022, "Invalid argument."},
        {10024, "Too many open files."},
        {10035, "Operation would block. "},
        {10036, "Operation now in progress."},
        {10037, "Operation already in progress."},
        {10038, "Socket operation on non-socket."},
        {10039, "Destination address required."},
        {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."},
        {10042, "Bad protocol option."},
        {10043, "Protocol not supported."},
        {10044, "Socket type not supported."},
        {10045, "Operation not supported on socket."},
        {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."},
        {10048, "Address already in use."},
        {10049, "Cannot assign requested address."},
        {10050, "Network is down."},
        {10051, "Network is unreachable."},
        {10052, "Net dropped connection or reset."},
        {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."},
        {10055, "No buffer space available."},
        {10056, "Socket is already connected."},
        {10057, "Socket is not connected."},
        {10058, "Cannot send or receive after socket is closed."},
        {10059, "Too many references, cannot splice."},
        {10060, "Connection timed out."},
        {10061, "Connection refused."},
        {10062, "Too many levels of symbolic links."},
        {10063, "File name too long."},
        {10064, "Host is down."},
        {10065, "No route to host."},
        {10066, "Directory not empty"},
    };
    return table;
}

void AppendPollEntries(const std::vector<int>* set, short events, std::vector<pollfd>& fds) {
    if (set == nullptr) return;
    for (int fd : *set) fds.push_back(pollfd{fd, events, 0});
}

// Replaces the set by its members whose poll entries (starting at `first`) report `ready`.
int TakeReadyMembers(std::vector<int>* set, short ready, const std::vector<pollfd>& fds,
                     std::size_t& first) {
    if (set == nullptr) return 0;
    std::vector<int> readyMembers;
    for (std::size_t i = 0; i < set->size(); ++i, ++first) {
        if (fds[first].revents & ready) readyMembers.push_back(fds[first].fd);
    }
    *set = std::move(readyMembers);
    return static_cast<int>(set->size());
}

void CheckSetSize(const std::vector<int>* set) {
    if (set != nullptr && set->size() > MaxSetSize) throw ENetStackSetSizeExceeded();
}

// Serialises the start and stop of the layer against the live count, so the flusher thread
// is never started by one thread while another is stopping it.
}  // namespace

int WinsockErrorFromErrno(int err) {
    if (err == EWOULDBLOCK) err = EAGAIN;
    const auto& table = ErrnoTable();
    auto it = table.find(err);
    return it != table.end() ? it->second : UnmappedErrorBase + err;
}

std::string SocketErrorDescription(int code) {
    const auto& table = DescriptionTable();
    auto it = table.find(code);
    return it != table.end() ? it->second : "";
}

bool CheckSocketResult(int result, std::initializer_list<int> tolerated) {
    if (result != -1) return false;
    const int code = WinsockErrorFromErrno(errno);
    for (int t : tolerated) {
        if (t == code) return true;
    }
    throw ENetSocketError(code);
}

int WaitForSockets(std::vector<int>* readSet, std::vector<int>* writeSet,
                   std::vector<int>* errorSet, int timeout) {
    CheckSetSize(readSet);
    CheckSetSize(writeSet);
    CheckSetSize(errorSet);
    // poll instead of select: descriptors above FD_SETSIZE are normal with thousands of
    // clients, and select cannot take them.
    std::vector<pollfd> fds;
    AppendPollEntries(readSet, POLLIN, fds);
    AppendPollEntries(writeSet, POLLOUT, fds);
    AppendPollEntries(errorSet, POLLPRI, fds);
    const int waitMs = timeout == TimeoutInfinite ? -1 : (timeout < 0 ? 0 : timeout);
    const int result = ::poll(fds.data(), fds.size(), waitMs);
    if (result <= 0) return result;
    std::size_t first = 0;
    int ready = TakeReadyMembers(readSet, POLLIN | POLLHUP | POLLERR, fds, first);
    ready += TakeReadyMembers(writeSet, POLLOUT | POLLHUP | POLLERR, fds, first);
    ready += TakeReadyMembers(errorSet, POLLPRI, fds, first);
    return ready;
}

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}
