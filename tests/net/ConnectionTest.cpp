#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetFanOut.h"
#include "NetFlusher.h"
#include "NetTestFixture.h"

using namespace std::chrono_literals;

using ConnectionTest = ParkedServerTest;

namespace {

// Runs tasks one at a time on a thread of its own that has a fan-out bound to it, as a
// peer thread's loop does; the fan-out is per thread.
class FanOutWorker {
  public:
    // own: the connection whose thread the worker plays, or null.
    explicit FanOutWorker(TNetTCPConnection* own = nullptr)
        : own_(own), thread_([this] { Run(); }) {}
    ~FanOutWorker() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    // Runs the task on the worker and waits for it.
    void Do(std::function<void(TNetFanOut&)> task) {
        std::unique_lock lock(mutex_);
        task_ = std::move(task);
        cv_.notify_all();
        cv_.wait(lock, [this] { return !task_; });
    }

  private:
    void Run() {
        TNetFanOut fanOut(own_);
        fanOut.Bind();
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || task_; });
            if (!task_) return;
            task_(fanOut);
            task_ = nullptr;
            cv_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void(TNetFanOut&)> task_;  // guarded by mutex_
    bool stop_ = false;                      // guarded by mutex_
    TNetTCPConnection* const own_;
    std::thread thread_;
};

// Writes `lines` copies of `line` to the connection on the worker, flushing whenever due as
// the peer loop does; stops early, without raising, once the connection is closed.
std::thread StreamTo(FanOutWorker& worker, TNetTCPConnection& to, const std::string& line,
                     std::size_t lines) {
    return std::thread([&worker, &to, line, lines] {
        worker.Do([&](TNetFanOut& fanOut) {
            const std::string wire = line + "\r\n";
            for (std::size_t i = 0; i < lines && to.TryWriteText(wire); ++i) {
                if (fanOut.Due()) fanOut.FlushPaced();
            }
            fanOut.FlushPaced();
        });
    });
}

}  // namespace

// Input lines end with LF; one CR before it is dropped, any other CR stays; an explicit
// terminator keeps the CR.
TEST_F(ConnectionTest, SplitsLinesAtLineFeed) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    client.Send("crlf\r\nlf\ncrcr\r\r\nmid\rdle\n\r\nab\rXrest");
    EXPECT_EQ(connection.ReadLine(), "crlf");
    EXPECT_EQ(connection.ReadLine(), "lf");
    EXPECT_EQ(connection.ReadLine(), "crcr\r");
    EXPECT_EQ(connection.ReadLine(), "mid\rdle");
    EXPECT_EQ(connection.ReadLine(), "");
    EXPECT_FALSE(connection.ReadTimedOut());
    EXPECT_EQ(connection.ReadLine("X"), "ab\r");
    EXPECT_EQ(connection.ExtractPending(2), "re");
    EXPECT_THROW(connection.ExtractPending(3), ENetNotEnoughDataInBuffer);
}

// Two lines in one receive come out of two reads, the second without waiting; a read that
// finds no line within its time-out returns "" and says so.
TEST_F(ConnectionTest, SecondLineOfOneReceiveNeedsNoWait) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    client.Send("one\ntwo\n");
    EXPECT_EQ(connection.ReadLine(), "one");
    EXPECT_EQ(connection.ReadLine("", 0), "two");
    EXPECT_EQ(connection.ReadLine("", 20), "");
    EXPECT_TRUE(connection.ReadTimedOut());
    EXPECT_TRUE(connection.IsConnected());
}

// Receives of one byte at a time, and receives larger than the stack chunk, frame the same
// lines.
TEST_F(ConnectionTest, ReceiveSizeDoesNotChangeFraming) {
    const std::string big(5000, 'b');
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    connection.RecvBufferSize = 1;
    client.Send("tiny\r\nsteps\n");
    EXPECT_EQ(connection.ReadLine(), "tiny");
    EXPECT_EQ(connection.ReadLine(), "steps");
    connection.RecvBufferSize = 32768;
    client.Send(big + "\n" + big + "\r\nlast\n");
    EXPECT_EQ(connection.ReadLine(), big);
    EXPECT_EQ(connection.ReadLine(), big);
    EXPECT_EQ(connection.ReadLine(), "last");
}

// A final partial line is never delivered: the read that meets the close returns "" with
// ReadTimedOut set, the next one raises, and the connection reports itself closed.
TEST_F(ConnectionTest, PartialLineThenClose) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    client.Send("full\npart");
    client.Close();
    EXPECT_EQ(connection.ReadLine(), "full");
    EXPECT_EQ(connection.ReadLine(), "");
    EXPECT_TRUE(connection.ReadTimedOut());
    EXPECT_THROW(connection.ReadLine(), ENetConnClosedGracefully);
    EXPECT_TRUE(connection.PeerClosed());
    EXPECT_FALSE(connection.IsConnected());
}

// Lines go out with CR LF, an empty text sends nothing; after Disconnect a write raises at
// once and a second Disconnect fires OnDisconnected no second time.
TEST_F(ConnectionTest, WritesAndDisconnect) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    std::atomic<int> fired{0};
    connection.OnDisconnected = [&fired](TNetTCPConnection&) { ++fired; };
    connection.WriteText("");
    connection.WriteLine("");
    connection.WriteLine("hello");
    EXPECT_EQ(client.ReadLine(), "");
    EXPECT_EQ(client.ReadLine(), "hello");
    const std::string address = connection.PeerAddress();
    connection.Disconnect();
    connection.Disconnect();
    EXPECT_EQ(fired.load(), 1);
    EXPECT_THROW(connection.WriteLine("late"), ENetConnClosedGracefully);
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_EQ(connection.PeerAddress(), "127.0.0.1");
    EXPECT_EQ(connection.Socket().RemoteIP(), "");
    EXPECT_TRUE(client.WaitClosed());
}

// A client reset during a read raises socket error 10054 with its full message.
TEST_F(ConnectionTest, ResetRaisesSocketError10054) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    client.Reset();
    try {
        connection.ReadLine();
        FAIL() << "no error raised";
    } catch (const ENetSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10054);
        EXPECT_STREQ(e.what(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
}

// A line of MaxLineLength bytes is delivered; a longer one ends the connection like a lost
// one, whether it arrives with its terminator or keeps coming without one.
TEST_F(ConnectionTest, LineLengthCap) {
    const std::string longest(TNetTCPConnection::MaxLineLength, 'x');
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    client.Send(longest + "\r\n" + longest + "y\n");
    EXPECT_EQ(connection.ReadLine(), longest);
    EXPECT_THROW(connection.ReadLine(), ENetConnClosedGracefully);
    EXPECT_FALSE(connection.IsConnected());
    EXPECT_TRUE(client.WaitClosed());

    TestClient endless;
    TNetTCPServerConnection& second = Accept(endless);
    std::thread sender([&endless] {
        const std::string chunk(1000, 'z');
        for (int i = 0; i < 20 && endless.Send(chunk); ++i) std::this_thread::sleep_for(1ms);
    });
    EXPECT_THROW(second.ReadLine(), ENetConnClosedGracefully);
    EXPECT_EQ(second.PendingInputSize(), 0u);
    sender.join();
}

// Disconnect from another thread releases a reader blocked without a time-out.
TEST_F(ConnectionTest, DisconnectReleasesBlockedReader) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    auto reader = std::async(std::launch::async, [&connection] {
        try {
            connection.ReadLine();
        } catch (const ENetConnClosedGracefully&) {
            return true;
        }
        return false;
    });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    connection.Disconnect();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(reader.get());
}

// Bytes that the sweep's probe receives reach the next ReadLine in order, ahead of what
// arrives later.
TEST_F(ConnectionTest, ProbedBytesComeFirst) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    TNetTCPConnection* all[] = {&connection};
    client.Send("first\nsec");
    EXPECT_TRUE(WaitUntil([&] {
        TNetTCPConnection::ProbeConnections(all);
        return connection.PendingInputSize() == 9;
    }));
    client.Send("ond\n");
    EXPECT_EQ(connection.ReadLine(), "first");
    EXPECT_EQ(connection.ReadLine(), "second");
}

// Probing while the reader waits loses, reorders and strands no line: every line the
// client sends is read, in order, however the probe and the reader meet.
TEST_F(ConnectionTest, ProbeWhileReaderWaits) {
    constexpr int Lines = 300;
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    auto reader = std::async(std::launch::async, [&connection] {
        std::vector<std::string> lines;
        for (int i = 0; i < Lines; ++i) lines.push_back(connection.ReadLine("", 5000));
        return lines;
    });
    std::atomic<bool> done{false};
    std::thread sweeper([&] {
        TNetTCPConnection* all[] = {&connection};
        while (!done) TNetTCPConnection::ProbeConnections(all);
    });
    for (int i = 0; i < Lines; ++i) {
        client.SendLine("line " + std::to_string(i));
        if (i % 10 == 0) std::this_thread::sleep_for(1ms);
    }
    const auto status = reader.wait_for(20s);
    done = true;
    sweeper.join();
    ASSERT_EQ(status, std::future_status::ready);
    const auto lines = reader.get();
    for (int i = 0; i < Lines; ++i) ASSERT_EQ(lines[i], "line " + std::to_string(i));
}

// The probe notices a peer that has gone and closes that connection only.
TEST_F(ConnectionTest, ProbeClosesOnlyTheLostConnection) {
    TestClient gone;
    TestClient stays;
    TNetTCPServerConnection& lost = Accept(gone);
    TNetTCPServerConnection& alive = Accept(stays);
    TNetTCPConnection* all[] = {&lost, &alive};
    gone.Close();
    EXPECT_TRUE(WaitUntil([&] {
        TNetTCPConnection::ProbeConnections(all);
        return !lost.IsConnected();
    }));
    EXPECT_TRUE(alive.IsConnected());
    alive.WriteLine("still here");
    EXPECT_EQ(stays.ReadLine(), "still here");
}

// Lines written while the receiver's socket is full are queued, then arrive whole and in
// order once it reads.
TEST_F(ConnectionTest, QueuedLinesArriveWholeAndInOrder) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client, 4096);
    auto lineText = [](int i) { return "numbered line " + std::to_string(i); };
    // The kernel takes a few megabytes on loopback before our queue holds anything.
    int lines = 0;
    while (connection.QueuedOutputSize() == 0 && lines < 1000000)
        connection.WriteLine(lineText(lines++));
    ASSERT_GT(connection.QueuedOutputSize(), 0u);
    for (int i = 0; i < 2000; ++i) connection.WriteLine(lineText(lines++));
    for (int i = 0; i < lines; ++i) {
        auto line = client.ReadLine(5s);
        ASSERT_TRUE(line.has_value()) << i;
        ASSERT_EQ(*line, lineText(i));
    }
    EXPECT_TRUE(WaitUntil([&] { return connection.QueuedOutputSize() == 0; }));
    EXPECT_TRUE(connection.IsConnected());
}

// A receiver that never reads blocks no writer; once more than MaxQueuedOutput waits for it,
// its connection is closed, while another connection written alongside gets every line.
TEST_F(ConnectionTest, StuckReaderIsClosedAndOthersGoOn) {
    const std::string text(200, 's');
    TestClient stuck;
    TestClient healthy;
    TNetTCPServerConnection& stuckSide = Accept(stuck, 4096);
    TNetTCPServerConnection& healthySide = Accept(healthy);
    auto healthyReader = std::async(std::launch::async, [&healthy] {
        int count = 0;
        while (auto line = healthy.ReadLine(5s)) {
            if (*line == "end") return count;
            ++count;
        }
        return -1;
    });
    std::size_t mostQueued = 0;
    int written = 0;
    try {
        for (; written < 100000; ++written) {
            stuckSide.WriteLine(text);
            mostQueued = std::max(mostQueued, stuckSide.QueuedOutputSize());
            if (written % 10 == 0) healthySide.WriteLine("tick");
        }
    } catch (const ENetConnClosedGracefully&) {
    }
    healthySide.WriteLine("end");
    EXPECT_LT(written, 100000);
    EXPECT_LE(mostQueued, TNetTCPConnection::MaxQueuedOutput);
    EXPECT_FALSE(stuckSide.IsConnected());
    ASSERT_EQ(healthyReader.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(healthyReader.get(), (written + 9) / 10);
    EXPECT_TRUE(stuck.WaitClosed(10s));
}

// Writes from several threads at once never interleave inside a line.
TEST_F(ConnectionTest, ConcurrentWritersKeepLinesWhole) {
    constexpr int Writers = 4;
    constexpr int PerWriter = 500;
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back([&connection, w] {
            const std::string line(100 + w, static_cast<char>('a' + w));
            for (int i = 0; i < PerWriter; ++i) connection.WriteLine(line);
        });
    }
    for (auto& writer : writers) writer.join();
    for (int i = 0; i < Writers * PerWriter; ++i) {
        auto line = client.ReadLine(5s);
        ASSERT_TRUE(line.has_value());
        ASSERT_GE(line->size(), 100u);
        const char c = (*line)[0];
        EXPECT_EQ(*line, std::string(100 + (c - 'a'), c));
    }
}

// Lines written through fan-outs, into the server's broadcast stream and directly reach
// the peer in the order they were written, from several threads at once, and whatever a
// fan-out holds goes out before a later direct write of the same thread. The stream leaves
// out the connection named, and a connection not registered when a line for registered
// ones was written; it holds no entry once every subscriber has taken it.
TEST_F(ConnectionTest, FanOutAndDirectWritesKeepOrder) {
    constexpr int Writers = 3;
    constexpr int PerWriter = 2000;
    TestClient client;
    TestClient other;
    TNetTCPServerConnection& connection = Accept(client);
    TNetTCPServerConnection& left = Accept(other);
    TNetBroadcast& stream = server_.PeerThreads().Broadcast();
    stream.Write("before registering\r\n", TNetBroadcast::TAudience::Registered, nullptr);
    stream.SetRegistered(connection, true);
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w] {
            TNetFanOut fanOut;
            for (int i = 0; i < PerWriter; ++i) {
                const std::string line = std::to_string(w) + " " + std::to_string(i);
                if (i % 4 == 0) {
                    fanOut.Flush();
                    connection.WriteLine(line);
                } else if (i % 4 == 1) {
                    fanOut.WriteAll(stream, line + "\r\n",
                                    i % 8 == 1 ? TNetBroadcast::TAudience::AllBut
                                               : TNetBroadcast::TAudience::Registered,
                                    &left);
                } else {
                    fanOut.Write(connection, line + "\r\n");
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();
    std::vector<int> next(Writers, 0);
    for (int n = 0; n < Writers * PerWriter; ++n) {
        auto line = client.ReadLine(5s);
        ASSERT_TRUE(line.has_value()) << n;
        const int w = std::stoi(*line);
        ASSERT_TRUE(w >= 0 && w < Writers) << *line;
        EXPECT_EQ(*line, std::to_string(w) + " " + std::to_string(next[w]++));
    }
    EXPECT_TRUE(other.Silent(100ms));
    EXPECT_TRUE(WaitUntil([&] { return stream.Held() == 0; }, 5s)) << stream.Held();
}

// A fan-out's write to a closed connection is skipped without an exception.
TEST_F(ConnectionTest, TryWriteSkipsClosedConnections) {
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client);
    EXPECT_TRUE(connection.TryWriteText("first\r\n"));
    EXPECT_EQ(client.ReadLine(5s), "first");
    connection.Disconnect();
    EXPECT_FALSE(connection.TryWriteText("second\r\n"));
    EXPECT_TRUE(client.WaitClosed(5s));
}

// Lines written on a thread with a fan-out wait until its flush; a narrow fan-out is sent
// by the writer, a wide one by the flusher threads, and the lines of two writers to the
// same connections arrive in the order written.
TEST_F(ConnectionTest, FanOutSendsAtItsFlush) {
    constexpr int Recipients = TNetFanOut::HandOffRecipients + 4;
    std::vector<TestClient> clients(Recipients);
    std::vector<TNetTCPServerConnection*> connections;
    for (TestClient& client : clients) connections.push_back(&Accept(client));
    auto writeTo = [&](std::size_t count, const std::string& line) {
        return [&, count, line](TNetFanOut&) {
            for (std::size_t i = 0; i < count; ++i) connections[i]->WriteLine(line);
        };
    };
    FanOutWorker a;
    FanOutWorker b;
    for (const std::size_t width : {std::size_t{2}, connections.size()}) {
        a.Do(writeTo(width, "a"));
        b.Do(writeTo(width, "b"));
        EXPECT_TRUE(clients[0].Silent(100ms));
        b.Do([](TNetFanOut& fanOut) { fanOut.FlushPaced(); });
        a.Do([](TNetFanOut& fanOut) { fanOut.FlushPaced(); });
        for (std::size_t i = 0; i < width; ++i) {
            EXPECT_EQ(clients[i].ReadLine(5s), "a");
            EXPECT_EQ(clients[i].ReadLine(5s), "b");
        }
    }
}

// A writer whose fan-out is flushed whenever it is due, as the peer loop does, may send a
// reading client many times the bound in one go: it is held to the client's pace and the
// client gets every line, also when it pauses. A client that does not read is closed once
// more than the bound waits after its socket refused bytes. (The writer never raises: a
// failure here is the test's, not a crash.)
TEST_F(ConnectionTest, ReadingClientsGetEverythingStuckOnesAreClosed) {
    const std::string line(1000, 'x');
    const std::size_t lines = 4 * TNetTCPConnection::MaxQueuedOutput / line.size();
    TestClient reader;
    TNetTCPServerConnection& readerSide = Accept(reader);
    FanOutWorker worker;
    std::thread writer = StreamTo(worker, readerSide, line, lines);
    std::size_t got = 0;
    for (; got < lines; ++got) {
        if (reader.ReadLine(5s) != line) break;
        // A reader that pauses for a moment is waited for, not closed by its bound.
        if (got == 0) std::this_thread::sleep_for(50ms);
    }
    writer.join();
    EXPECT_EQ(got, lines);
    EXPECT_TRUE(readerSide.IsConnected());

    TestClient stuck;
    TNetTCPServerConnection& stuckSide = Accept(stuck, 4096);
    const std::string wire = line + "\r\n";
    for (std::size_t i = 0; i < lines && stuckSide.TryWriteText(wire); ++i) {
    }
    EXPECT_TRUE(WaitUntil([&] { return !stuckSide.IsConnected(); }));
}

// A client that reads steadily but slower than one flush a pacing step (12 KiB every
// 30 ms, so it stays far behind for long) holds its writer to its pace instead of being
// closed by the bound: it gets all of a stream 1.6 times the bound.
TEST_F(ConnectionTest, SlowReaderHoldsItsWriterBack) {
    const std::string line(1000, 'y');
    const std::size_t lines = 16 * TNetTCPConnection::MaxQueuedOutput / 10 / line.size();
    TestClient reader;
    TNetTCPServerConnection& readerSide = Accept(reader, 16384);
    FanOutWorker worker;
    std::thread writer = StreamTo(worker, readerSide, line, lines);
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (got < lines && !reader.Eof() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(30ms);
        reader.PumpUpTo(12 * 1024);
        while (auto next = reader.NextLine()) got += *next == line ? 1 : 0;
    }
    writer.join();
    EXPECT_EQ(got, lines);
    EXPECT_FALSE(reader.Eof()) << "the slow reader was closed";
    EXPECT_TRUE(readerSide.IsConnected());
}

// A reply to a client that takes bytes all along, about every second, but far too few to
// count as reading (300 bytes every 100 ms: less than ProgressBytes in a stall time of
// 3 s) does not keep the connection and its reply for ever: it is closed, although the
// socket took bytes well within every stall time.
TEST_F(ConnectionTest, TricklingReaderDoesNotPinItsReply) {
    const std::string line(1000, 'r');
    TestClient client;
    TNetTCPServerConnection& connection = Accept(client, 4096);
    connection.SetStallTime(3s);
    FanOutWorker own(&connection);
    std::thread replier([&] {
        own.Do([&](TNetFanOut& fanOut) {
            for (int i = 0; i < 1000; ++i) connection.TryWriteText(line + "\r\n");
            fanOut.FlushPaced();
        });
    });
    const auto start = std::chrono::steady_clock::now();
    while (connection.IsConnected() && std::chrono::steady_clock::now() < start + 8s) {
        std::this_thread::sleep_for(100ms);
        client.PumpUpTo(300);
    }
    const bool closed = !connection.IsConnected();
    const std::size_t taken = client.BytesReceived();
    client.Reset();  // ends the reply's wait in any case
    replier.join();
    EXPECT_TRUE(closed) << "the reply still waits after 8 s";
    EXPECT_GE(taken, 6000u);
}

namespace {

std::atomic<int> refusedWaits{0};

int WaitWithoutPWait2(int, epoll_event*, int, const timespec*, const sigset_t*) {
    ++refusedWaits;
    errno = ENOSYS;
    return -1;
}

int WaitThatFails(int, epoll_event*, int, const timespec*, const sigset_t*) {
    errno = EBADF;
    return -1;
}

// Lines to more connections than a fan-out sends itself, handed to the flusher threads.
void HandOverTo(std::vector<TNetTCPServerConnection*>& connections, const std::string& line) {
    TNetFanOut fanOut;
    for (TNetTCPServerConnection* connection : connections)
        fanOut.Write(*connection, line + "\r\n");
    fanOut.Flush();
}

}  // namespace

// Where epoll_pwait2 is missing or forbidden (ENOSYS), the flusher threads go on with
// epoll_wait: lines handed to them after the refusal still go out.
TEST_F(ConnectionTest, FlushersFallBackWhenEpollPwait2IsMissing) {
    constexpr int Recipients = TNetFanOut::HandOffRecipients + 8;
    std::vector<TestClient> clients(Recipients);
    std::vector<TNetTCPServerConnection*> connections;
    for (TestClient& client : clients) connections.push_back(&Accept(client));
    refusedWaits = 0;
    TNetFlusher::SetWaitCall(&WaitWithoutPWait2);
    struct TRestore {
        ~TRestore() { TNetFlusher::SetWaitCall(nullptr); }
    } restore;
    // The first round wakes every flusher thread out of the wait it was in; each then
    // meets the refusal in its next wait, before or while the second round is handed over.
    for (const char* round : {"first", "second"}) {
        HandOverTo(connections, round);
        for (TestClient& client : clients) ASSERT_EQ(client.ReadLine(5s), round);
    }
    EXPECT_GT(refusedWaits.load(), 0);
}

// A flusher thread that cannot wait at all ends the program with a message, instead of
// leaving every wide sender waiting for ever.
TEST(FlusherDeathTest, FlusherThatCannotWaitStopsTheProgramLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // The flusher threads start with the first networking object (the death
            // test runs in a fresh process) and wait at once.
            TNetFlusher::SetWaitCall(&WaitThatFails);
            TNetTCPServer server;
            server.Bindings().Add().SetIP("127.0.0.1");
            server.SetActive(true);
            std::this_thread::sleep_for(5s);
        },
        "output flusher thread cannot wait");
}
