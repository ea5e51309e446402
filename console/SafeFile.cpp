#include "console/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <system_error>

ESafeFileError::ESafeFileError(int errorCode, std::string path)
    : std::runtime_error(std::generic_category().message(errorCode)),
      ErrorCode_(errorCode),
      Path_(std::move(path)) {}

namespace {

// Owns a descriptor so every early exit closes it.
class TFd {
  public:
    explicit TFd(int fd) : fd_(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }
    // Closes now and reports the error, since on some file systems close() is where a
    // failed write shows up.
    int Close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Writes all of bytes, continuing after interrupted or partial writes. Returns 0 or errno.
int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int FsyncRetrying(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// A save killed part-way leaves its temporary behind. Before the next save, remove the
// temporaries of this target whose writing process no longer exists, so interrupted saves
// never pile up; temporaries of live processes (this one included) are left alone.
void RemoveStaleTemporaries(const std::string& path) {
    const std::string folder = FolderOf(path);
    const auto slash = path.find_last_of('/');
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '_' || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
}

}  // namespace

void WriteFileAtomic(const std::string& path, const std::string& bytes, int mode) {
    RemoveStaleTemporaries(path);
    // The temporary lives in the target's folder so the rename never crosses file
    // systems; the process id and a counter keep concurrent writers apart.
    static std::atomic<unsigned> counter{0};
    std::string tmpPath;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmpPath =
            path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
        // A secret's temporary is never readable by others, not even for a moment.
        fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    mode >= 0 ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) throw ESafeFileError(errno, path);
    }
    if (fd < 0) throw ESafeFileError(EEXIST, path);

    TFd file(fd);
    auto fail = [&](int err) {
        file.Close();
        ::unlink(tmpPath.c_str());
        throw ESafeFileError(err, path);
    };

    // A replaced file keeps its permissions; a new one gets 0666 less the umask from open().
    struct stat old {};
    if (mode >= 0) {
        if (::fchmod(file.Get(), static_cast<mode_t>(mode)) != 0) fail(errno);
    } else if (::stat(path.c_str(), &old) == 0 && ::fchmod(file.Get(), old.st_mode & 07777) != 0) {
        fail(errno);
    }
    if (int err = WriteAll(file.Get(), bytes.data(), bytes.size())) fail(err);
    if (int err = FsyncRetrying(file.Get())) fail(err);
    if (int err = file.Close()) {
        ::unlink(tmpPath.c_str());
        throw ESafeFileError(err, path);
    }
    if (::rename(tmpPath.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpPath.c_str());
        throw ESafeFileError(err, path);
    }

    // Makes the rename itself durable. Its failure is not reported: the new content is
    // already in place and readable, and the old file cannot be brought back.
    int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        TFd folder(dir);
        FsyncRetrying(folder.Get());
    }
}

void AppendLineDurably(const std::string& path, const std::string& line) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw ESafeFileError(errno, path);
    TFd file(fd);

    // One write(): with O_APPEND the kernel places the whole buffer at the end in one
    // step, so concurrent appenders cannot interleave inside the line.
    const std::string buffer = line + "\r\n";
    ssize_t n;
    do {
        n = ::write(file.Get(), buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw ESafeFileError(errno, path);
    if (static_cast<size_t>(n) < buffer.size()) {
        // A short write only happens when the disk fills or a signal arrives mid-way;
        // finishing the line is better than leaving half of it, and a failure here
        // reports the reason (usually "No space left on device").
        size_t done = static_cast<size_t>(n);
        if (int err = WriteAll(file.Get(), buffer.data() + done, buffer.size() - done))
            throw ESafeFileError(err, path);
    }
    if (int err = FsyncRetrying(file.Get())) throw ESafeFileError(err, path);
    if (int err = file.Close()) throw ESafeFileError(err, path);
}
