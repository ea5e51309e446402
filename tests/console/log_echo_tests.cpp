// The headless program's log echo: lines in order through a read pipe; an unread pipe
// never blocks the loggers and never holds up the program's exit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LogEcho.h"

using namespace std::chrono_literals;

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read = fds[0];
        write = fds[1];
    }
    // Reads until the write side is closed, on a thread of its own.
    std::future<std::string> ReadAllAsync() const {
        return std::async(std::launch::async, [fd = read] {
            std::string text;
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
            return text;
        });
    }
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
        lines.push_back(text.substr(from, at - from));
    EXPECT_EQ(from, text.size()) << "a line without its end";
    return lines;
}

}  // namespace

TEST(LogEcho, LinesFromSeveralThreadsArriveWholeAndInOrder) {
    Pipe pipe;
    auto reader = pipe.ReadAllAsync();
    {
        TLogEcho echo(pipe.write);
        std::vector<std::thread> loggers;
        for (int t = 0; t < 3; ++t) {
            loggers.emplace_back([&echo, t] {
                for (int i = 0; i < 5000; ++i)
                    echo.Push(std::to_string(t) + ": line " + std::to_string(i));
            });
        }
        for (auto& logger : loggers) logger.join();
        EXPECT_EQ(echo.Dropped(), 0u);
    }
    ::close(pipe.write);
    pipe.write = -1;
    const std::vector<std::string> lines = Lines(reader.get());
    ASSERT_EQ(lines.size(), 15000u);
    std::vector<int> next(3, 0);
    for (const std::string& line : lines) {
        const int t = line[0] - '0';
        ASSERT_TRUE(t >= 0 && t < 3) << line;
        EXPECT_EQ(line, std::to_string(t) + ": line " + std::to_string(next[t]++));
    }
}

// Nobody reads: Push keeps returning at once, the excess is dropped and counted, and the
// echo still ends (within its drain wait) when the program does.
TEST(LogEcho, UnreadOutputBlocksNobody) {
    Pipe pipe;
    const std::string line(1000, 'x');
    const int pushes = 8 * static_cast<int>(TLogEcho::MaxQueuedBytes / line.size());
    auto run = std::async(std::launch::async, [&] {
        TLogEcho echo(pipe.write);
        for (int i = 0; i < pushes; ++i) echo.Push(line);
        return echo.Dropped();
    });
    ASSERT_EQ(run.wait_for(20s), std::future_status::ready) << "a logger or the exit hung";
    const std::size_t dropped = run.get();
    EXPECT_GT(dropped, 0u);
    EXPECT_LT(dropped, static_cast<std::size_t>(pushes));
}

// Once the output takes lines again, each gap is reported just before the first line
// after it, the reports add up to every line dropped, and every line written is whole.
// The writer may take a batch while the loggers are already dropping, so one stall can
// show as more than one gap, and the last gap may already be reported when the line
// after the stall is pushed.
TEST(LogEcho, ReportsTheGapWhenTheOutputResumes) {
    Pipe pipe;
    const std::string line(1000, 'y');
    const int pushes = 4 * static_cast<int>(TLogEcho::MaxQueuedBytes / line.size());
    std::optional<TLogEcho> echo;
    echo.emplace(pipe.write);
    for (int i = 0; i < pushes; ++i) echo->Push(line);
    ASSERT_GT(echo->Dropped(), 0u);
    auto reader = pipe.ReadAllAsync();
    // Pushed until the draining queue has room for it; retries add to the gap.
    for (;;) {
        const std::size_t before = echo->Dropped();
        echo->Push("after the gap");
        if (echo->Dropped() == before) break;
        std::this_thread::sleep_for(10ms);
    }
    const std::size_t dropped = echo->Dropped();
    echo.reset();  // writes everything: the reader is keeping up
    ::close(pipe.write);
    pipe.write = -1;
    const std::vector<std::string> lines = Lines(reader.get());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "after the gap");
    const std::string prefix = "(";
    const std::string suffix = " log lines not echoed: output too slow)";
    std::size_t reported = 0;
    bool previousWasReport = false;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& text = lines[i];
        if (text == line) {
            previousWasReport = false;
            continue;
        }
        ASSERT_FALSE(previousWasReport) << "two reports in a row at line " << i;
        ASSERT_GT(text.size(), prefix.size() + suffix.size()) << i << ": " << text;
        ASSERT_EQ(text.substr(text.size() - suffix.size()), suffix) << i << ": " << text;
        const std::string count = text.substr(1, text.size() - suffix.size() - 1);
        ASSERT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << text;
        reported += std::stoul(count);
        previousWasReport = true;
    }
    EXPECT_EQ(reported, dropped);
}
