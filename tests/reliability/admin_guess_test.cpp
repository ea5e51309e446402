// Guessing administrator codes at full speed against the remote administration hooked to
// the real chat server, with a small fake console host and an adjustable clock.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "RelSupport.h"
#include "support/AdminRig.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"

using namespace rel;

namespace {

const std::string ListLobbies = "7710!3384";

// The n-th wrong code word: four digits, "!", four digits, never one of the table.
std::string WrongCode(unsigned n) {
    char text[16];
    for (;;) {
        std::snprintf(text, sizeof text, "%04u!%04u", (n * 7919u) % 10000u, n % 10000u);
        bool isCode = false;
        for (const auto& row : TRemoteAdmin::AdminCodes) isCode |= row.Code == std::string(text);
        if (!isCode) return text;
        ++n;
    }
}

}  // namespace

// A million wrong codes over one connection at full speed get at most three compared,
// one lock-out log line, no reply; the locked-out address cannot use a right code, another
// address can, and after the lock-out the first one can again.
TEST(AdminGuess, MillionWrongCodes) {
    const long guesses = EnvLong("QUARN_REL_GUESSES", 1000000);
    TempDir dir("quarn-rel-admin");
    TestServer rig(1s);
    std::atomic<long long> skew{0};  // minutes added to the admin clock
    TRemoteAdminTiming timing;
    timing.Now = [&] { return Clock::now() + std::chrono::minutes(skew.load()); };
    AdminRig rigAdmin(rig, dir.Path(), timing);
    FakeAdminHost& host = rigAdmin.Host();
    TRemoteAdmin& admin = rigAdmin.Admin();
    rig.Start();

    TestClient guesser;
    ASSERT_TRUE(guesser.Connect(rig.Port(), "127.0.0.20"));
    std::atomic<bool> sendOk{true};
    const auto t0 = Clock::now();
    std::thread sender([&] {
        std::string batch;
        for (long i = 0; i < guesses; ++i) {
            batch += WrongCode(static_cast<unsigned>(i)) + "\n";
            if (batch.size() >= (1u << 20) || i + 1 == guesses) {
                if (!guesser.Send(batch)) sendOk = false;
                batch.clear();
            }
        }
        if (!guesser.SendLine("TIME")) sendOk = false;
    });
    // Replies to wrong codes would arrive here before the TIME answer.
    bool synced = guesser.WaitFor("421 Command not handled: TIME", 300s);
    sender.join();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto replies = guesser.Skipped();
    const auto evaluated = admin.CodeEvaluations();
    const auto refusedLines = host.LogCount("Admin code refused for 127.0.0.20");

    // The right code from the locked-out address: no answer.
    ASSERT_TRUE(guesser.SendLine(ListLobbies));
    ASSERT_TRUE(guesser.SendLine("TIME"));
    bool lockedOut = guesser.WaitFor("421 Command not handled: TIME", 5s) &&
                     std::find(guesser.Skipped().begin(), guesser.Skipped().end(), "Lobby list:") ==
                         guesser.Skipped().end();
    // From another address it works.
    TestClient other;
    ASSERT_TRUE(other.Connect(rig.Port(), "127.0.0.21"));
    ASSERT_TRUE(other.SendLine(ListLobbies));
    bool otherWorks = other.WaitFor("Lobby list:", 3s) && other.WaitFor("End of lobby list", 3s);
    // Ten minutes later the first address may try again.
    skew = 11;
    ASSERT_TRUE(guesser.SendLine(ListLobbies));
    bool worksLater = guesser.WaitFor("Lobby list:", 3s);

    std::printf(
        "[figure] admin guessing: %ld wrong codes over one connection in %.2f s "
        "(%.0f/s); %llu compared with the table; %zu replies; %ld lock-out log lines\n",
        guesses, s, guesses / s, static_cast<unsigned long long>(evaluated), replies.size(),
        static_cast<long>(refusedLines));
    EXPECT_TRUE(sendOk);
    EXPECT_TRUE(synced);
    EXPECT_LE(evaluated, 3u);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(refusedLines, 1);
    EXPECT_TRUE(lockedOut);
    EXPECT_TRUE(otherWorks);
    EXPECT_TRUE(worksLater);
    rig.Stop();
}
