// The start-up that switches glibc's per-thread caches off by running the program again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "net/NetThreadCaches.h"

namespace {

// Runs the probe with exactly the given environment; returns its standard output.
std::string RunProbe(const std::vector<std::string>& env) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>("probe"), const_cast<char*>("one"),
                        const_cast<char*>("two words"), nullptr};
        execve(THREAD_CACHES_PROBE, argv, envp.data());
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    return out;
}

// What the probe prints when its image ran `runs` times, all under the first run's pid,
// and finally saw `tunables`.
std::string ExpectedOutput(const std::string& out, int runs, const std::string& tunables) {
    const std::string pid = std::to_string(std::atoi(out.c_str() + std::string("run pid=").size()));
    std::string expected;
    for (int i = 0; i < runs; ++i) expected += "run pid=" + pid + "\n";
    return expected + "pid=" + pid + " tunables=" + tunables + " args=one,two words\n";
}

class ThreadCachesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (NetSanitizerAllocator) GTEST_SKIP() << "a sanitizer's allocator has no tcache";
    }
};

}  // namespace

TEST_F(ThreadCachesTest, RunsAgainOnceWithTheCacheOffKeepingPidAndArguments) {
    const std::string out = RunProbe({"LANG=C"});
    EXPECT_EQ(out, ExpectedOutput(out, 2, "glibc.malloc.tcache_count=0"));
}

TEST_F(ThreadCachesTest, KeepsTheOperatorsOtherTunables) {
    const std::string out = RunProbe({"GLIBC_TUNABLES=glibc.malloc.arena_max=2"});
    EXPECT_EQ(out, ExpectedOutput(out, 2, "glibc.malloc.arena_max=2:glibc.malloc.tcache_count=0"));
}

TEST_F(ThreadCachesTest, LeavesTheOperatorsOwnCacheSettingAlone) {
    const std::string out = RunProbe({"GLIBC_TUNABLES=glibc.malloc.tcache_count=3"});
    EXPECT_EQ(out, ExpectedOutput(out, 1, "glibc.malloc.tcache_count=3"));
}
