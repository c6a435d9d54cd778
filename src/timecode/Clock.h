#pragma once
// The clock: elapsed time for deadlines, the local calendar for the time reply, the short
// pause before an acknowledge, and the time an empty counting loop takes on this machine.

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

 private:
  // A sleep overshoots by tens of microseconds (the system's timer slack), several times the
  // pause before an acknowledge: pauses shorter than this are waited out on the clock.
  static constexpr std::chrono::microseconds kShortestSleep{200};
};

// The time an empty counting loop of `rounds` rounds takes on this machine, read on `clock`
// and rounded up to the microsecond: the shortest of kLoopRuns runs, so that a run the
// scheduler interrupted does not count, and never more than kLongestLoopTime.
std::chrono::microseconds CountingLoopTime(Clock& clock, int rounds);
inline constexpr int kLoopRuns = 5;
inline constexpr std::chrono::microseconds kLongestLoopTime{1000};

}  // namespace kelvane
