// Figures of the reliability suite and the soak test: process figures from /proc and
// getrusage, settings from the environment, quantiles and spread-out source addresses.
// The server, the client and WaitUntil are the test kit's (tests/support). Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rel {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Figures of this process (the server runs in it).
int ThreadCount();     // entries of /proc/self/task
int FdCount();         // entries of /proc/self/fd
long RssKiB();         // VmRSS of /proc/self/status
double CpuSeconds();   // user + system time of RUSAGE_SELF
std::int64_t NowNs();  // steady clock in nanoseconds

// An integer environment setting, or def when unset or not a number.
long EnvLong(const char* name, long def);

// The q-quantile (0..1) of the samples; sorts them.
double Quantile(std::vector<double>& samples, double q);

// "127.0.0." + (base + index / perAddress): spreads clients over loopback addresses.
std::string LoopbackAddress(int index, int perAddress = 16, int base = 2);

}  // namespace rel
