// libFuzzer target for the chat server's command loop and dispatch: the input is sent as
// the bytes of one client connection to a real server on a loopback port, while a
// registered observer receives everything relayed. The server must not crash, and every
// line it writes, to the fuzzed client and to the observer, must be one well-formed line:
// no CR, LF or NUL before its final CR LF.
// Build: see run_fuzzers.sh (net/*.cpp and chat/*.cpp linked in).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "chat/NetIrcServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t MaxInput = 16384;

// A raw client whose every received line is checked as it arrives.
struct Client {
    int fd = -1;
    std::string in;
    bool eof = false;

    void Connect(int port, const std::string& source) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::perror("connect");
            std::abort();
        }
    }
    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return;  // the server closed this connection
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    // Receives what is there; returns the complete lines, each checked.
    std::vector<std::string> Pump() {
        std::vector<std::string> lines;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                in.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) eof = true;
            break;
        }
        std::size_t at = 0, lf;
        while ((lf = in.find('\n', at)) != std::string::npos) {
            std::string_view raw(in.data() + at, lf - at);
            if (raw.empty() || raw.back() != '\r' ||
                raw.substr(0, raw.size() - 1).find_first_of(std::string_view("\r\n\0", 3)) !=
                    std::string_view::npos) {
                std::fprintf(stderr, "malformed line written by the server (%zu bytes)\n",
                             raw.size());
                std::abort();
            }
            lines.emplace_back(raw.substr(0, raw.size() - 1));
            at = lf + 1;
        }
        in.erase(0, at);
        return lines;
    }
};

struct World {
    std::unique_ptr<TNetIRCServer> server;
    int port = 0;
    Client observer;
    unsigned round = 0;

    World() : server(std::make_unique<TNetIRCServer>(std::chrono::milliseconds(500))) {
        server->LobbyStore().AllowCreate = true;
        server->Bindings().Add().SetPort(0);
        server->SetActive(true);
        port = server->Bindings()[0].Port();
        observer.Connect(port, "127.0.0.1");
        observer.Send("USER observer h s :r\r\nNICK observer\r\n");
        WaitFor(observer, ":localhost 376 observer :End of /MOTD command.");
    }
    static void WaitFor(Client& c, const std::string& line) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            pollfd p{c.fd, POLLIN, 0};
            ::poll(&p, 1, 50);
            for (const auto& l : c.Pump()) {
                if (l == line) return;
            }
        }
        std::fprintf(stderr, "no \"%s\"\n", line.c_str());
        std::abort();
    }
};

World& TheWorld() {
    static World* world = new World();  // lives until the process ends
    return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = TheWorld();
    std::string_view input(reinterpret_cast<const char*>(data), std::min(size, MaxInput));
    const unsigned round = ++w.round;
    Client client;
    // Rotate the source address so the per-address limit never refuses the next round.
    client.Connect(w.port, "127.0.0." + std::to_string(2 + round % 250));
    client.Send(input);
    // A marker relayed after everything the input caused; when it reaches the observer,
    // every earlier line has been checked.
    const std::string marker = "sync" + std::to_string(round);
    client.Send("\r\nPRIVMSG observer :" + marker + "\r\n");
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    bool done = false;
    while (!done && Clock::now() < deadline) {
        pollfd p[2] = {{w.observer.fd, POLLIN, 0}, {client.fd, POLLIN, 0}};
        ::poll(p, 2, 20);
        for (const auto& line : w.observer.Pump()) {
            if (line.size() >= marker.size() + 1 &&
                line.compare(line.size() - marker.size() - 1, std::string::npos, ":" + marker) == 0)
                done = true;
        }
        client.Pump();
        if (client.eof) done = true;  // the input ended its own connection (QUIT, refusal)
        if (w.observer.eof) {
            std::fprintf(stderr, "the observer lost its connection\n");
            std::abort();
        }
    }
    ::close(client.fd);
    if (!done) {
        std::fprintf(stderr, "the server neither relayed the marker nor closed the client\n");
        std::abort();
    }
    if (round % 500 == 0) {
        // User-created lobbies outlive their members; keep the state small.
        TLobbyList& store = w.server->LobbyStore();
        std::vector<std::string> names;
        {
            std::lock_guard lock(store.Lock());
            for (const auto& lobby : store.Lobbies()) names.push_back(lobby->Name);
        }
        for (const auto& name : names) store.RemoveLobbyByName(TLobbySender::Of(&w), name);
    }
    return 0;
}
