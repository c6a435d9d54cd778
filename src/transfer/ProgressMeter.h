#pragma once
// A transfer's progress as a line: the size text, a percentage, the rate and the time left,
// computed from what the transfer shows (the Info text and the bar value). The console
// prints it; the window shows it in its title.

#include <chrono>
#include <optional>
#include <string>

namespace kelvane {

// The two counts of a size text such as "12k/2097K", in bytes (kilo = 1000).
struct SizeCounts {
  long long done = 0, total = 0;
};
std::optional<SizeCounts> ParseSizeText(const std::string& text);

class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;

  void Start(Clock::time_point now);
  // A new size text and bar value (0..95 for 0..100 %).
  void Update(const std::string& sizeText, float barValue, Clock::time_point now);

  // "12k/2097K   0.6 %  11.5 kB/s  3:01 left"
  std::string Line() const;
  bool HasLine() const { return !sizeText_.empty(); }

  double Percent() const { return percent_; }
  double BytesPerSecond() const { return rate_; }

 private:
  Clock::time_point start_{};
  bool started_ = false;
  std::string sizeText_;
  double percent_ = 0;
  double rate_ = 0;
  std::optional<double> secondsLeft_;
};

// Seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string Duration(double seconds);

}  // namespace kelvane
