// Test helper for ThreadCachesTest: says that it runs, switches the thread caches off,
// then reports what the running image sees.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "net/NetThreadCaches.h"

int main(int argc, char** argv) {
    std::printf("run pid=%d\n", static_cast<int>(getpid()));
    std::fflush(stdout);  // the image is replaced: unflushed output would be lost
    NetDisableThreadCaches(argv);
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    std::printf("pid=%d tunables=%s args=", static_cast<int>(getpid()), tunables ? tunables : "");
    for (int i = 1; i < argc; ++i) std::printf("%s%s", i > 1 ? "," : "", argv[i]);
    std::printf("\n");
    return 0;
}
