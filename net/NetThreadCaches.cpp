#include "NetThreadCaches.h"

#include <limits.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr const char* TunablesVariable = "GLIBC_TUNABLES";
constexpr const char* CacheTunable = "glibc.malloc.tcache_count";
constexpr const char* ArenaTunable = "glibc.malloc.arena_max";
constexpr const char* ArenaVariable = "MALLOC_ARENA_MAX";

// One arena per core, unless the operator chose a number.
void CapArenas(const char* tunables) {
    if (std::getenv(ArenaVariable) || (tunables && std::strstr(tunables, ArenaTunable))) return;
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    ::mallopt(M_ARENA_MAX, static_cast<int>(cores));
}

}  // namespace

void NetDisableThreadCaches(char** argv) {
    if (NetSanitizerAllocator) return;
    const char* found = std::getenv(TunablesVariable);
    CapArenas(found);
    // Present: the operator chose, or this is the second run. Either way no loop.
    if (found && std::strstr(found, CacheTunable)) return;
    const std::string before = found ? found : "";
    const std::string value = (before.empty() ? "" : before + ":") + CacheTunable + "=0";
    // The executable itself, not argv[0], which may be a bare name or a link elsewhere.
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = '\0';
    if (::setenv(TunablesVariable, value.c_str(), 1) != 0) return;
    ::execv(path, argv);
    // Not run again: go on as we are, with the operator's setting as it was.
    if (found)
        ::setenv(TunablesVariable, before.c_str(), 1);
    else
        ::unsetenv(TunablesVariable);
}
