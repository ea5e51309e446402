#include "RelSupport.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace rel {

namespace {

int CountDirEntries(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

int ThreadCount() {
    return CountDirEntries("/proc/self/task");
}

// The descriptor that opendir itself holds is not counted.
int FdCount() {
    return CountDirEntries("/proc/self/fd") - 1;
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

long EnvLong(const char* name, long def) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return def;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0') ? value : def;
}

double Quantile(std::vector<double>& samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    std::size_t index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
    return samples[index];
}

std::string LoopbackAddress(int index, int perAddress, int base) {
    return "127.0.0." + std::to_string(base + index / perAddress);
}

}  // namespace rel
