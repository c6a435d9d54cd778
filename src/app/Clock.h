#pragma once
// The clock: elapsed time for deadlines, the local calendar for the time reply, and the
// short pause before an acknowledge.

#include <chrono>

namespace kelvane {

struct LocalDateTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic elapsed time: never jumps with the time of day (midnight, clock changes).
  virtual std::chrono::steady_clock::time_point Now() = 0;
  virtual LocalDateTime Local() = 0;
  // Blocks for d without pumping events.
  virtual void Pause(std::chrono::microseconds d) = 0;
};

// The real clock of the machine.
class SystemClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() override;
  LocalDateTime Local() override;
  void Pause(std::chrono::microseconds d) override;
};

}  // namespace kelvane
