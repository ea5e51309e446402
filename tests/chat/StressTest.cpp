// Many clients join, part, chat and vanish at once while the operator's side adds and
// removes lobbies; a checker verifies the registry and member invariants throughout and
// after everyone has gone.
#include <atomic>
#include <random>
#include <set>

#include "ChatServerFixture.h"

namespace {

class StressTest : public ChatServerTest {
  protected:
    // Every registry entry a live connection with one entry; nicks clean and unique
    // without regard to case; every member a registered connection under its own nick.
    std::vector<std::string> Violations() {
        std::vector<std::string> found;
        std::lock_guard lock(Store().Lock());
        std::set<const TNetPeerThread*> live;
        {
            std::lock_guard peers(Server().PeerThreads().Mutex());
            live.insert(Server().PeerThreads().Items().begin(),
                        Server().PeerThreads().Items().end());
        }
        std::set<const TNetPeerThread*> entries;
        std::set<std::string> nicks;
        for (const TUserEntry& entry : Store().Users()) {
            if (!entries.insert(entry.Thread).second) found.push_back("two entries");
            if (live.count(entry.Thread) == 0) found.push_back("dead entry " + entry.Nick);
            std::string clean = entry.Nick;
            SanitizeName(clean);
            if (clean != entry.Nick) found.push_back("unclean nick " + entry.Nick);
            if (entry.Nick.empty()) continue;
            std::string folded = entry.Nick;
            for (char& c : folded)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!nicks.insert(folded).second) found.push_back("duplicate nick " + entry.Nick);
        }
        for (const auto& lobby : Store().Lobbies()) {
            for (const TLobbyMember& member : lobby->Members) {
                const std::string nick = Store().NickOf(*member.Thread);
                if (nick.empty() || !SameNick(nick, member.Nick)) {
                    found.push_back("stale member " + member.Nick + " of " + lobby->Name);
                }
            }
        }
        return found;
    }
};

TEST_F(StressTest, ManyClientsChurnWhileInvariantsHold) {
    constexpr int Workers = 4;
    constexpr int ClientsPerWorker = 25;
    Server().OnUserPart = [&](TNetPeerThread&, TLobby& lobby, const std::string&, std::string&) {
        if (lobby.UserCreated && lobby.MemberCount() == 0) {
            lobby.Owner.RemoveLobby(TLobbySender::Of(this), &lobby);
        }
    };
    Store().AllowCreate = true;
    Server().MaxConnectionsPerAddress = Workers * ClientsPerWorker;
    Start();

    std::atomic<int> registered{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < Workers; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(w));
            std::vector<TestClient> clients;
            for (int i = 0; i < ClientsPerWorker; ++i) {
                TestClient c(Port());
                // Everyone tries a nick of its own and one shared nick; one of the shared
                // ones may win, and all refused ones come back under their own.
                const std::string nick =
                    (i % 5 == 0) ? "Shared" : "p" + std::to_string(w * 100 + i);
                if (!c.Register(nick)) {
                    c = TestClient(Port());
                    if (!c.Register("q" + std::to_string(w * 100 + i))) continue;
                }
                ++registered;
                clients.push_back(std::move(c));
            }
            for (int round = 0; round < 10; ++round) {
                for (TestClient& c : clients) {
                    const std::string lobby = "#l" + std::to_string(random() % 6);
                    c.SendLine("JOIN " + lobby);
                    c.SendLine("JOIN #churn");
                    c.SendLine("PRIVMSG " + lobby + " :hello");
                    if (random() % 2) c.SendLine("PART " + lobby);
                }
            }
            for (std::size_t i = 0; i < clients.size(); ++i) {
                if (i % 3 == 0) clients[i].SendLine("QUIT");
                if (i % 3 == 1) clients[i].Reset();
                if (i % 3 == 2) clients[i].Close();
            }
            ++finished;
        });
    }

    std::vector<std::string> violations;
    int mostUsers = 0;
    while (finished < Workers) {
        mostUsers = std::max(mostUsers, Store().UserCount());
        AddLobby("#churn", "operator lobby");
        auto found = Violations();
        violations.insert(violations.end(), found.begin(), found.end());
        Store().RemoveLobbyByName(TLobbySender::Of(this), "#churn");
        std::this_thread::sleep_for(2ms);
    }
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(registered.load(), Workers * ClientsPerWorker) << "losers of Shared retry";
    EXPECT_GT(mostUsers, ClientsPerWorker) << "the checker ran while many were in";

    ASSERT_TRUE(WaitUntil([&] { return Server().PeerThreads().Count() == 0; }, 30s));
    auto found = Violations();
    violations.insert(violations.end(), found.begin(), found.end());
    EXPECT_EQ(violations, std::vector<std::string>{});
    EXPECT_EQ(Store().UserCount(), 0);
    std::lock_guard lock(Store().Lock());
    for (const auto& lobby : Store().Lobbies()) {
        EXPECT_EQ(lobby->MemberCount(), 0) << lobby->Name;
        EXPECT_FALSE(lobby->UserCreated) << lobby->Name << " should have gone with its members";
    }
}

}  // namespace
