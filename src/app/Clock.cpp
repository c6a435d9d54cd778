#include "app/Clock.h"

#include <ctime>
#include <thread>

namespace kelvane {

std::chrono::steady_clock::time_point SystemClock::Now() { return std::chrono::steady_clock::now(); }

LocalDateTime SystemClock::Local() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SystemClock::Pause(std::chrono::microseconds d) { std::this_thread::sleep_for(d); }

}  // namespace kelvane
