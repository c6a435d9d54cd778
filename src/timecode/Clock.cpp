#include "timecode/Clock.h"

#include <algorithm>
#include <ctime>
#include <thread>

namespace kelvane {

std::chrono::steady_clock::time_point SystemClock::Now() {
  return std::chrono::steady_clock::now();
}

LocalDateTime SystemClock::Local() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SystemClock::Pause(std::chrono::microseconds d) {
  const auto until = std::chrono::steady_clock::now() + d;
  if (d >= kShortestSleep) std::this_thread::sleep_for(d);
  // A sleep may end early: the MinGW runtime sleeps whole milliseconds, rounded down, so
  // 300 us return at once. What is left is waited out.
  while (std::chrono::steady_clock::now() < until) {}
}

std::chrono::microseconds CountingLoopTime(Clock& clock, int rounds) {
  auto shortest = std::chrono::steady_clock::duration::max();
  for (int run = 0; run < kLoopRuns; ++run) {
    const auto start = clock.Now();
    // Each round stores its count in a volatile: the compiler may neither drop the loop nor
    // fold it into one step.
    volatile int counter = 0;
    for (int i = 1; i <= rounds; ++i) counter = i;
    (void)counter;
    shortest = std::min(shortest, clock.Now() - start);
  }
  return std::min(std::chrono::ceil<std::chrono::microseconds>(shortest), kLongestLoopTime);
}

}  // namespace kelvane
