// quarn-bench-lobby-churn: how long chat waits while users come and go on a server with
// thousands of lobbies. The whole console runs (offscreen), so every disconnect costs what
// it costs in the program: the core parts the user from every lobby and the console's
// handlers see each part.
//
//   QT_QPA_PLATFORM=offscreen quarn-bench-lobby-churn [LOBBIES] [CHURNS]
//
// Adds LOBBIES (default 5000) operator lobbies, registers a talker and a listener, and
// while the talker sends a line every 2 ms, CHURNS (default 10) users connect, register,
// join two lobbies and close. Prints the latency of every chat line (send to receipt)
// during the churn: median, 99th percentile and maximum, and the churn's duration.
#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/Unit1.h"

namespace {

using Clock = std::chrono::steady_clock;

long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// A blocking loopback client that reads line by line.
class Client {
  public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void Send(const std::string& line) {
        const std::string wire = line + "\r\n";
        if (::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) != ssize_t(wire.size()))
            std::abort();
    }
    // The next line, or false at the end of the stream.
    bool ReadLine(std::string& line) {
        for (;;) {
            const auto lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                line = buffer_.substr(0, lf);
                buffer_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            char chunk[65536];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    bool WaitFor(const std::string& prefix) {
        std::string line;
        while (ReadLine(line))
            if (line.starts_with(prefix)) return true;
        return false;
    }
    void Register(const std::string& nick) {
        Send("USER u h s :r");
        Send("NICK " + nick);
        if (!WaitFor(":localhost 376 ")) std::abort();
    }

  private:
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace

int main(int argc, char** argv) {
    const int lobbies = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int churns = argc > 2 ? std::atoi(argv[2]) : 10;
    QApplication app(argc, argv);
    QTemporaryDir dir;
    TForm1Config config;
    config.ProgramDir = dir.path().toStdString();
    config.Port = 0;
    config.Dialogs.Ask = [](const QString&, QMessageBox::StandardButtons) {
        return QMessageBox::No;
    };
    TForm1 form(std::move(config));
    TLobbyList& store = form.Server().LobbyStore();
    for (int i = 0; i < lobbies; ++i)
        store.AddLobby(TLobbySender::Of(form.ConsoleSender()), "#lobby" + std::to_string(i),
                       "a lobby", false, false);
    form.FlushViews();
    const int port = form.ServerPort();

    std::atomic<bool> done{false};
    std::mutex samplesMutex;
    std::vector<double> samples;  // ms, lines received during the churn
    double churnSeconds = 0;
    std::thread driver([&] {
        Client listener(port), talker(port);
        listener.Register("listener");
        talker.Register("talker");
        std::atomic<bool> measuring{false}, stop{false};
        std::thread reader([&] {
            std::string line;
            while (listener.ReadLine(line)) {
                const auto at = line.find("PRIVMSG #lobby0 :");
                if (at == std::string::npos) continue;
                const long long sent = std::atoll(line.c_str() + at + 17);
                if (sent == 0) break;
                if (!measuring) continue;
                std::lock_guard lock(samplesMutex);
                samples.push_back(double(NowUs() - sent) / 1000.0);
            }
        });
        std::thread sender([&] {
            while (!stop) {
                talker.Send("PRIVMSG #lobby0 :" + std::to_string(NowUs()));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            talker.Send("PRIVMSG #lobby0 :0");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        measuring = true;
        const auto began = Clock::now();
        for (int i = 0; i < churns; ++i) {
            Client passer(port);
            passer.Register("passer" + std::to_string(i));
            passer.Send("JOIN #lobby1");
            passer.Send("JOIN #lobby" + std::to_string(lobbies - 1));
            passer.WaitFor(":localhost 366 passer" + std::to_string(i) + " #lobby" +
                           std::to_string(lobbies - 1));
            passer.Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        churnSeconds = std::chrono::duration<double>(Clock::now() - began).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        measuring = false;
        stop = true;
        sender.join();
        reader.join();
        done = true;
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done) app.quit();
    });
    poll.start(20);
    app.exec();
    driver.join();

    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty() ? 0.0
                               : samples[std::min(samples.size() - 1, size_t(q * samples.size()))];
    };
    std::printf(
        "lobbies=%d churns=%d churn_s=%.2f chat_lines=%zu latency_ms p50=%.2f p99=%.2f max=%.2f\n",
        lobbies, churns, churnSeconds, samples.size(), at(0.5), at(0.99),
        samples.empty() ? 0.0 : samples.back());
    return 0;
}
