// libFuzzer target for the connection's line framing: the input's bytes go into a real
// loopback connection in random pieces, interleaved with non-waiting ReadLine calls, and
// the lines ReadLine returns must equal those of a reference splitter: lines end at LF,
// one CR before it is dropped, a line longer than MaxLineLength (or more than
// MaxLineLength + 1 bytes without a LF) ends the connection, and an unterminated tail at
// the end of the stream is never delivered.
// Input: byte 0 gives the number k (1..8) of piece-size bytes that follow; piece i has
// 1 + 16 * size byte (i mod k) bytes; the rest of the input is the stream.
// Build: see run_fuzzers.sh (net/*.cpp linked in).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/NetException.h"
#include "net/NetTCPConnection.h"

namespace {

// Gives the fuzzer the listener's hand-over of an accepted socket.
class FuzzConnection : public TNetTCPConnection {
  public:
    using TNetTCPConnection::Accepted;
};

constexpr std::size_t MaxStream = 40000;

int Listener(int& port) {
    static int fd = -1;
    static int boundPort = 0;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 16) != 0) {
            std::perror("listener");
            std::abort();
        }
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        boundPort = ntohs(addr.sin_port);
    }
    port = boundPort;
    return fd;
}

// The lines a conforming connection delivers for the whole stream.
std::vector<std::string> Reference(std::string_view stream) {
    std::vector<std::string> lines;
    const std::size_t bound = TNetTCPConnection::MaxLineLength;
    std::size_t at = 0;
    for (;;) {
        std::size_t lf = stream.find('\n', at);
        if (lf == std::string_view::npos) return lines;  // tail: dropped or over the bound
        std::string line(stream.substr(at, lf - at));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > bound) return lines;  // the connection ends here
        lines.push_back(std::move(line));
        at = lf + 1;
    }
}

// Reads every line that is there without waiting; false once the connection ended.
bool ReadAvailable(TNetTCPConnection& connection, std::vector<std::string>& lines, int timeout) {
    try {
        for (;;) {
            std::string line = connection.ReadLine("", timeout);
            if (connection.ReadTimedOut()) return true;
            lines.push_back(std::move(line));
        }
    } catch (const ENetConnClosedGracefully&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t k = 1 + data[0] % 8;
    if (size < 1 + k) return 0;
    const std::uint8_t* sizes = data + 1;
    std::string_view stream(reinterpret_cast<const char*>(data + 1 + k), size - 1 - k);
    if (stream.size() > MaxStream) stream = stream.substr(0, MaxStream);

    int port = 0;
    const int listenFd = Listener(port);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        std::abort();
    }
    std::vector<std::string> got;
    {
        FuzzConnection connection;
        connection.Socket().AcceptFrom(listenFd);
        connection.Accepted();

        bool open = true;
        std::size_t at = 0;
        for (std::size_t piece = 0; at < stream.size() && open; ++piece) {
            std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + 16u * sizes[piece % k]);
            if (::send(client, stream.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                break;  // the connection already ended
            at += n;
            open = ReadAvailable(connection, got, 0);
        }
        ::shutdown(client, SHUT_WR);
        // The end of the stream: read on until the connection reports it.
        for (int quiet = 0; open && quiet < 50; ++quiet) open = ReadAvailable(connection, got, 100);
        if (open) {
            std::fprintf(stderr, "the end of the stream was never reported\n");
            std::abort();
        }
    }
    ::close(client);

    const std::vector<std::string> want = Reference(stream);
    if (got != want) {
        std::fprintf(stderr, "framing differs: %zu lines read, %zu expected\n", got.size(),
                     want.size());
        for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
            if (i < got.size() && i < want.size() && got[i] == want[i]) continue;
            std::fprintf(stderr, "first difference at line %zu (lengths %zu / %zu)\n", i,
                         i < got.size() ? got[i].size() : 0, i < want.size() ? want[i].size() : 0);
            break;
        }
        std::abort();
    }
    return 0;
}
