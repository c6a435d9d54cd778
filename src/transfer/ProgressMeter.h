#pragma once
// A transfer's progress in bytes, and the meter that adds a percentage, the rate and the
// time left to it, measured on the logic's clock. The console prints it as a line; the
// window shows that line in its title.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvane {

struct TransferProgress {
  std::int64_t done = 0;   // bytes of the transfer's file moved so far
  std::int64_t total = 0;  // bytes in all
  double percent = 0;      // done of total, 0 to 100 (100 for an empty total)
  double bytesPerSecond = 0;
  std::optional<double> secondsLeft;  // once there is a rate
};

// done ÷ 1000 "k/" total ÷ 1000 "K", kilo = 1000: 2048 of 2097152 is "2k/2097K".
std::string SizeText(std::int64_t done, std::int64_t total);

class ProgressMeter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // The first update is the baseline: the rate counts the bytes moved after it, so the
  // wait for the receiver before the first block does not lower it.
  TransferProgress Update(std::int64_t done, std::int64_t total, TimePoint now);

 private:
  std::optional<TimePoint> start_;
  std::int64_t startDone_ = 0;
};

// "12k/2097K   0.6 %  11.5 kB/s  3:01 left"
std::string ProgressLine(const TransferProgress& p);

// Seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string Duration(double seconds);

}  // namespace kelvane
