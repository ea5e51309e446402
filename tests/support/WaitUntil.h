// Polling for a condition that other threads bring about, for every test. Any thread.
#pragma once

#include <chrono>
#include <functional>

// Polls the condition every few milliseconds until it holds (true) or the time-out passes
// (false). The time-out is a bound for a hung server, not a speed goal: keep it generous.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
