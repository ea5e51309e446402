// Process start-up for a server that runs one thread per connection: switches off glibc's
// per-thread cache of freed blocks and caps its arenas. Call first thing in main, before
// any thread exists.
//
// Every thread that frees memory keeps up to seven blocks of each small size for itself
// (the tcache). Once a connection's thread has served a registration that is several KiB,
// more than everything else the connection holds, and it stays cached while the thread
// waits for input. glibc reads the setting only when a process starts (GLIBC_TUNABLES), so
// the program runs itself again once with it set; the process id and arguments stay.
//
// glibc also spreads threads over up to eight arenas per core, each keeping free memory
// of its own; with thousands of threads each connection's few blocks end up scattered
// over all of them, about 1 KiB per idle connection more than with one arena per core.
// The connection threads allocate little once registered, so they hardly contend.
#pragma once

// A sanitizer build brings its own allocator, which this setting does not reach.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool NetSanitizerAllocator = true;
#else
inline constexpr bool NetSanitizerAllocator = false;
#endif

// An arena count the operator chose (MALLOC_ARENA_MAX or glibc.malloc.arena_max) is kept.
// Returns only when the cache is already configured (by the operator's own GLIBC_TUNABLES,
// or by the first run), in a sanitizer build, or when the program cannot be run again; it
// then goes on with the cache.
void NetDisableThreadCaches(char** argv);
