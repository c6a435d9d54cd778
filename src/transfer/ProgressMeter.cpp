#include "transfer/ProgressMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvane {

namespace {
constexpr std::int64_t kKilo = 1000;  // sizes shown to the user count 1000 bytes to the k
}  // namespace

std::string SizeText(std::int64_t done, std::int64_t total) {
  return std::to_string(done / kKilo) + "k/" + std::to_string(total / kKilo) + "K";
}

TransferProgress ProgressMeter::Update(std::int64_t done, std::int64_t total, TimePoint now) {
  if (!start_) {
    start_ = now;
    startDone_ = done;
  }
  TransferProgress p;
  p.done = done;
  p.total = total;
  p.percent =
      total <= 0
          ? 100.0
          : std::clamp(static_cast<double>(done) * 100.0 / static_cast<double>(total), 0.0, 100.0);
  const double elapsed = std::chrono::duration<double>(now - *start_).count();
  if (elapsed > 0)
    p.bytesPerSecond = std::max(0.0, static_cast<double>(done - startDone_) / elapsed);
  if (p.bytesPerSecond > 0)
    p.secondsLeft = std::max(0.0, static_cast<double>(total - done) / p.bytesPerSecond);
  return p;
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

std::string ProgressLine(const TransferProgress& p) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-11s %5.1f %%  %6.1f kB/s  %s left",
                SizeText(p.done, p.total).c_str(), p.percent, p.bytesPerSecond / 1000.0,
                p.secondsLeft ? Duration(*p.secondsLeft).c_str() : "--:--");
  return buf;
}

}  // namespace kelvane
