#include "transfer/ProgressMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvane {

std::optional<SizeCounts> ParseSizeText(const std::string& text) {
  long long done = 0, total = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lldk/%lldK%n", &done, &total, &used) != 2 ||
      static_cast<std::size_t>(used) != text.size())
    return std::nullopt;
  return SizeCounts{done * 1000, total * 1000};
}

void ProgressMeter::Start(Clock::time_point now) {
  *this = ProgressMeter{};
  start_ = now;
  started_ = true;
}

void ProgressMeter::Update(const std::string& sizeText, float barValue, Clock::time_point now) {
  if (!started_) Start(now);
  sizeText_ = sizeText;
  percent_ = std::clamp(static_cast<double>(barValue) * 100.0 / 95.0, 0.0, 100.0);
  const auto counts = ParseSizeText(sizeText);
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  rate_ = counts && elapsed > 0 ? static_cast<double>(counts->done) / elapsed : 0;
  secondsLeft_.reset();
  if (counts && rate_ > 0)
    secondsLeft_ = std::max(0.0, static_cast<double>(counts->total - counts->done) / rate_);
}

std::string Duration(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

std::string ProgressMeter::Line() const {
  char buf[128];
  const double kbps = rate_ / 1000.0;
  std::snprintf(buf, sizeof buf, "%-11s %5.1f %%  %6.1f kB/s  %s left", sizeText_.c_str(), percent_,
                kbps, secondsLeft_ ? Duration(*secondsLeft_).c_str() : "--:--");
  return buf;
}

}  // namespace kelvane
