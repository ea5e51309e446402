// quarn-core-server: the chat core without the console, for development, the benchmark
// harness and CI smoke runs.
//
//   quarn-core-server [PORT] [--sweep-ms N] [--route-chat] [--flood-rate N] [--flood-burst N]
//
// Listens on PORT (default 6667) on every local IPv4 address, lets users create lobbies,
// sends a two-line message of the day, and runs until SIGINT or SIGTERM. --route-chat
// switches routed chat on (the console's RouteChat option). On SIGUSR1, and
// whenever a sweep has run, it prints how long the last sweep held the connection list
// lock ("sweep_lock_us=...") on stderr.
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "chat/NetIrcServer.h"
#include "net/NetThreadCaches.h"

int main(int argc, char** argv) {
    NetDisableThreadCaches(argv);
    int port = 6667;
    long sweepMs = 30000;
    bool routeChat = false;
    int floodRate = TNetIRCServer::DefaultFloodRate;
    int floodBurst = TNetIRCServer::DefaultFloodBurst;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sweep-ms") == 0 && i + 1 < argc) {
            sweepMs = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--route-chat") == 0) {
            routeChat = true;
        } else if (std::strcmp(argv[i], "--flood-rate") == 0 && i + 1 < argc) {
            floodRate = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--flood-burst") == 0 && i + 1 < argc) {
            floodBurst = std::atoi(argv[++i]);
        } else if (argv[i][0] >= '0' && argv[i][0] <= '9') {
            port = std::atoi(argv[i]);
        } else {
            std::fprintf(stderr,
                         "usage: quarn-core-server [PORT] [--sweep-ms N] [--route-chat] "
                         "[--flood-rate N] [--flood-burst N]\n");
            return 2;
        }
    }

    // Thousands of connections: take the whole open-file allowance.
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    // Every thread started from here on inherits the blocked set; main waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        TNetIRCServer server{std::chrono::milliseconds(sweepMs)};
        server.LobbyStore().AllowCreate = true;
        server.LobbyStore().RouteChat = routeChat;
        server.FloodRate = floodRate;
        server.FloodBurst = floodBurst;
        server.MOTD = {"Welcome to the Quarn lobby server (core runner).",
                       "Be nice to each other."};
        server.Bindings().Add().SetPort(port);
        server.SetActive(true);
        std::fprintf(stderr, "quarn-core-server: listening on port %d (rlimit nofile %ld)\n", port,
                     long(rl.rlim_cur));

        long long lastSweepNs = -1;
        while (true) {
            timespec wait{0, 200'000'000};
            int sig = sigtimedwait(&signals, nullptr, &wait);
            long long sweepNs = server.LastSweepLockTime().count();
            if (sig == SIGUSR1 || (sweepNs != lastSweepNs && sweepNs != 0)) {
                std::fprintf(stderr, "quarn-core-server: sweep_lock_us=%.1f connections=%zu\n",
                             double(sweepNs) / 1000.0, server.PeerThreads().Count());
                lastSweepNs = sweepNs;
            }
            if (sig == SIGINT || sig == SIGTERM) break;
        }
        std::fprintf(stderr, "quarn-core-server: stopping\n");
        server.SetShuttingDown(true);
        server.SetActive(false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn-core-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
