// The settings file under crashes and full disks: a helper process writes a 1,000-lobby
// list and is killed at random moments; a full disk or file size limit must leave the old
// file whole and report the error.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "RelSupport.h"
#include "console/IniFile.h"
#include "support/TestFiles.h"

using namespace rel;
namespace fs = std::filesystem;

namespace {

// The generation of a complete list, or -1 with the reason when the file is not one.
long ListGeneration(const std::string& path, std::string& why) {
    try {
        TIniFile ini = TIniFile::Load(path);
        auto generation = ini.ReadString("Options", "Generation");
        if (!generation) {
            why = "no generation";
            return -1;
        }
        const std::string tag = " generation " + *generation;
        TIniEntries entries = ini.ReadSection("Channels");
        if (entries.size() != 1000) {
            why = std::to_string(entries.size()) + " lobbies";
            return -1;
        }
        for (int i = 0; i < 1000; ++i) {
            const auto& [key, value] = entries[static_cast<std::size_t>(i)];
            if (key != "#lobby" + std::to_string(i) ||
                value != "Lobby number " + std::to_string(i) + tag) {
                why = "entry " + std::to_string(i) + " is " + key + "=" + value;
                return -1;
            }
        }
        return std::atol(generation->c_str());
    } catch (const std::exception& e) {
        why = e.what();
        return -1;
    }
}

struct Child {
    pid_t pid = -1;
    int errFd = -1;
};

Child Spawn(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(QUARN_SAVE_CRASHER));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(QUARN_SAVE_CRASHER, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// Waits for the helper; returns its wait status and what it wrote to stderr.
int Finish(Child run, std::string* err = nullptr) {
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    char buffer[512];
    ssize_t n;
    std::string text;
    while ((n = ::read(run.errFd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
    ::close(run.errFd);
    if (err) *err = text;
    return status;
}

int RunToEnd(const std::vector<std::string>& args, std::string* err = nullptr) {
    return Finish(Spawn(args), err);
}

int OtherFiles(const std::string& dir, const std::string& keep) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) count += entry.path().filename() != keep;
    return count;
}

}  // namespace

// A save killed with SIGKILL at 200 random moments always leaves exactly the old or the
// new 1,000-lobby list, never a partial one.
TEST(SaveCrash, KilledAtRandomMoments) {
    const int trials = static_cast<int>(EnvLong("QUARN_REL_SAVE_KILLS", 200));
    const TempDir temp("quarn-rel-save");
    const std::string dir = temp.Path();
    const std::string path = temp.File("kelbox.ini");
    ASSERT_EQ(RunToEnd({path, "0"}), 0);

    // How long one whole save takes, process start included.
    const auto c0 = Clock::now();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(RunToEnd({path, "0"}), 0);
    const auto saveTime = (Clock::now() - c0) / 5;

    std::mt19937 rng(2024);
    long current = 0;
    int keptOld = 0, tookNew = 0, partial = 0, finished = 0;
    for (int t = 1; t <= trials; ++t) {
        std::uniform_int_distribution<long long> delay(
            0, std::chrono::duration_cast<std::chrono::microseconds>(saveTime).count() * 13 / 10);
        Child run = Spawn({path, std::to_string(t)});
        std::this_thread::sleep_for(std::chrono::microseconds(delay(rng)));
        ::kill(run.pid, SIGKILL);
        int status = Finish(run);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++finished;
        std::string why;
        long generation = ListGeneration(path, why);
        if (generation == current) {
            ++keptOld;
            EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "a save that finished left the old list";
        } else if (generation == t) {
            ++tookNew;
            current = t;
        } else {
            ++partial;
            ADD_FAILURE() << "trial " << t << ": neither the old nor the new list: " << why;
        }
    }
    const int litter = OtherFiles(dir, "kelbox.ini");
    std::printf(
        "[figure] crash during save: %d kills over 0..%.1f ms (one save takes %.1f ms): "
        "old list kept %d, new list %d, partial %d, saves that finished first %d; %d "
        "temporary files left in the folder\n",
        trials, std::chrono::duration<double, std::milli>(saveTime).count() * 1.3,
        std::chrono::duration<double, std::milli>(saveTime).count(), keptOld, tookNew, partial,
        finished, litter);
    EXPECT_EQ(partial, 0);
    EXPECT_EQ(keptOld + tookNew, trials);
}

// Saves killed part-way leave no temporary files to pile up beside the settings file: at
// most the one of the latest interrupted save may remain.
TEST(SaveCrash, CrashesLeaveNoTemporaries) {
    const TempDir temp("quarn-rel-save");
    const std::string dir = temp.Path();
    const std::string path = temp.File("kelbox.ini");
    ASSERT_EQ(RunToEnd({path, "0"}), 0);
    const auto c0 = Clock::now();
    ASSERT_EQ(RunToEnd({path, "0"}), 0);
    const auto saveUs =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c0).count();
    int killedMidway = 0;
    for (int t = 1; t <= 50; ++t) {
        Child run = Spawn({path, std::to_string(t)});
        // Late in the save: past process start, while the temporary is being written.
        std::this_thread::sleep_for(std::chrono::microseconds(saveUs * (50 + t % 40) / 100));
        ::kill(run.pid, SIGKILL);
        killedMidway += WIFSIGNALED(Finish(run)) ? 1 : 0;
    }
    const int litter = OtherFiles(dir, "kelbox.ini");
    std::printf(
        "[figure] crash litter: %d of 50 saves killed part-way, %d temporary files left "
        "beside kelbox.ini\n",
        killedMidway, litter);
    EXPECT_LE(litter, 1) << "every killed save leaves its temporary file behind";
}

// A disk that fills or a file size limit during the save leaves the old file as it was,
// with no temporary left behind, and the error is reported.
TEST(SaveCrash, FullDiskKeepsOldFile) {
    const TempDir temp("quarn-rel-save");
    const std::string dir = temp.Path();
    const std::string path = temp.File("kelbox.ini");
    ASSERT_EQ(RunToEnd({path, "0"}), 0);
    std::string why;
    ASSERT_EQ(ListGeneration(path, why), 0) << why;

    // The file size limit: the temporary cannot grow past 4 KiB.
    std::string err;
    int status = RunToEnd({path, "1", "fsize", "4096"}, &err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_NE(err.find("File too large"), std::string::npos) << err;
    EXPECT_EQ(ListGeneration(path, why), 0) << why;
    EXPECT_EQ(OtherFiles(dir, "kelbox.ini"), 0) << "temporary left behind";
    std::printf(
        "[figure] full disk (file size limit): save refused with \"%s\", old list "
        "intact\n",
        err.substr(0, err.find('\n')).c_str());

    // A tiny tmpfs that holds the old list but not a second copy, where mounting works.
    const std::string tiny = dir + "/tiny";
    fs::create_directory(tiny);
    if (::mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=64k") == 0) {
        const std::string small = tiny + "/kelbox.ini";
        ASSERT_EQ(RunToEnd({small, "0"}), 0);
        ASSERT_EQ(ListGeneration(small, why), 0) << why;
        std::string tinyErr;
        int s = RunToEnd({small, "1"}, &tinyErr);
        EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 3) << s;
        EXPECT_NE(tinyErr.find("No space left on device"), std::string::npos) << tinyErr;
        EXPECT_EQ(ListGeneration(small, why), 0) << why;
        EXPECT_EQ(OtherFiles(tiny, "kelbox.ini"), 0) << "temporary left behind";
        // Space is free again: the next save goes through.
        ::unlink(small.c_str());
        EXPECT_EQ(RunToEnd({small, "2"}), 0);
        std::printf(
            "[figure] full disk (64 KiB tmpfs): save refused with \"%s\", old list "
            "intact, no temporary left\n",
            tinyErr.substr(0, tinyErr.find('\n')).c_str());
        ::umount2(tiny.c_str(), MNT_DETACH);
    } else {
        std::printf("[figure] full disk (tmpfs): not run, mounting is not permitted here\n");
    }

    // A folder the process may not write to (meaningless for root, who may write anyway).
    if (::geteuid() != 0) {
        ::chmod(dir.c_str(), 0555);
        std::string roErr;
        int s = RunToEnd({path, "3"}, &roErr);
        ::chmod(dir.c_str(), 0755);
        EXPECT_TRUE(WIFEXITED(s) && WEXITSTATUS(s) == 3) << s;
        EXPECT_NE(roErr.find("Permission denied"), std::string::npos) << roErr;
        EXPECT_EQ(ListGeneration(path, why), 0) << why;
    }
}
