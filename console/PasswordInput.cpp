#include "PasswordInput.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// Reads bytes up to LF (dropping one CR before it) from the descriptor.
std::optional<std::string> ReadLineFrom(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (line.empty()) return std::nullopt;
            break;
        }
        if (c == '\n') break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> ReadPasswordLine() {
    return ReadLineFrom(STDIN_FILENO);
}

// Echo is restored however the read ends, also when the line is empty.
std::optional<std::string> ReadPasswordFromTerminal(const char* prompt) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) return std::nullopt;
    [[maybe_unused]] ssize_t written = ::write(tty, prompt, std::char_traits<char>::length(prompt));
    termios saved{};
    const bool haveTermios = ::tcgetattr(tty, &saved) == 0;
    if (haveTermios) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    std::optional<std::string> line = ReadLineFrom(tty);
    if (haveTermios) ::tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    return line;
}
