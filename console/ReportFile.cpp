#include "ReportFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace {

// The platform's text for the last failed call; thread-safe, unlike strerror.
[[noreturn]] void ThrowLastError() {
    throw std::runtime_error(std::generic_category().message(errno));
}

// A descriptor closed when it goes out of scope, so every path closes the file.
class TFileDescriptor {
  public:
    TFileDescriptor(const std::string& path, int flags) {
        do {
            fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) ThrowLastError();
    }
    ~TFileDescriptor() { ::close(fd_); }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;

    int Get() const { return fd_; }

  private:
    int fd_;
};

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowLastError();
        done += static_cast<std::size_t>(n);
    }
}

std::string ReadAll(int fd) {
    std::string content;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowLastError();
        if (n == 0) return content;
        content.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t lf = content.find('\n', start);
        std::size_t end = lf == std::string::npos ? content.size() : lf;
        std::size_t stop = end;
        if (stop > start && content[stop - 1] == '\r') --stop;
        lines.push_back(content.substr(start, stop - start));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

}  // namespace

TReportFile::TReportFile(const std::string& programDir) : path_(programDir + "report.txt") {}

void TReportFile::EnsureExists() {
    std::lock_guard lock(mutex_);
    TFileDescriptor file(path_, O_WRONLY | O_CREAT);
}

void TReportFile::Append(const std::string& line) {
    // One buffer, one write on an O_APPEND descriptor: even another process appending to
    // the same file cannot split the line; the mutex orders this program's own writers.
    const std::string bytes = line + "\r\n";
    std::lock_guard lock(mutex_);
    TFileDescriptor file(path_, O_WRONLY | O_CREAT | O_APPEND);
    WriteAll(file.Get(), bytes);
}

std::vector<std::string> TReportFile::ReadLines() {
    std::string content;
    {
        std::lock_guard lock(mutex_);
        TFileDescriptor file(path_, O_RDONLY);
        content = ReadAll(file.Get());
    }
    return SplitLines(content);
}

void TReportFile::Clear() {
    std::lock_guard lock(mutex_);
    TFileDescriptor file(path_, O_WRONLY | O_CREAT | O_TRUNC);
}
