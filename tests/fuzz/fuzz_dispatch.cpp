// libFuzzer target for the chat server's command loop and dispatch: the input is sent as
// the bytes of one client connection to a real server on a loopback port, while a
// registered observer receives everything relayed. The server must not crash, and every
// line it writes, to the fuzzed client and to the observer, must be one well-formed line:
// no CR, LF or NUL before its final CR LF.
// The server is the test kit's (TestServer: flood control off, so an input of many lines
// runs at once). Build: see run_fuzzers.sh (net/*.cpp, chat/*.cpp and the test kit's
// client and server linked in).
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "support/TestClient.h"
#include "support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t MaxInput = 16384;

// Every line the server wrote so far was one well-formed line (TestClient checks each).
void CheckLines(const TestClient& client, const char* who) {
    if (client.BadLines() == 0) return;
    std::fprintf(stderr, "malformed line written by the server to the %s (%zu bytes)\n", who,
                 client.BadSamples().front().size());
    std::abort();
}

struct World {
    TestServer rig{std::chrono::milliseconds(500)};
    int port = 0;
    TestClient observer;
    unsigned round = 0;

    World() {
        rig.Store().AllowCreate = true;
        rig.Start();
        port = rig.Port();
        if (!observer.Connect(port) || !observer.Register("observer")) {
            std::fprintf(stderr, "the observer could not register\n");
            std::abort();
        }
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
    TestClient client;
    // Rotate the source address so the per-address limit never refuses the next round.
    if (!client.Connect(w.port, "127.0.0." + std::to_string(2 + round % 250))) {
        std::perror("connect");
        std::abort();
    }
    client.Send(input);
    // A marker relayed after everything the input caused; when it reaches the observer,
    // every earlier line has been checked.
    const std::string marker = "sync" + std::to_string(round);
    client.Send("\r\nPRIVMSG observer :" + marker + "\r\n");
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    bool done = false;
    while (!done && Clock::now() < deadline) {
        pollfd p[2] = {{w.observer.Fd(), POLLIN, 0}, {client.Fd(), POLLIN, 0}};
        ::poll(p, 2, 20);
        w.observer.Pump();
        while (auto line = w.observer.NextLine()) done |= line->ends_with(":" + marker);
        client.Pump();
        while (client.NextLine()) {
        }
        CheckLines(w.observer, "observer");
        CheckLines(client, "fuzzed client");
        if (client.Eof()) done = true;  // the input ended its own connection (QUIT, refusal)
        if (w.observer.Eof()) {
            std::fprintf(stderr, "the observer lost its connection\n");
            std::abort();
        }
    }
    client.Close();
    if (!done) {
        std::fprintf(stderr, "the server neither relayed the marker nor closed the client\n");
        std::abort();
    }
    if (round % 500 == 0) {
        // User-created lobbies outlive their members; keep the state small.
        TLobbyList& store = w.rig.Store();
        std::vector<std::string> names;
        {
            std::lock_guard lock(store.Lock());
            for (const auto& lobby : store.Lobbies()) names.push_back(lobby->Name);
        }
        for (const auto& name : names) store.RemoveLobbyByName(TLobbySender::Of(&w), name);
    }
    return 0;
}
