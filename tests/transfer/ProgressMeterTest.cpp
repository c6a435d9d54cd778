#include "transfer/ProgressMeter.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using namespace std::chrono;

TEST(ProgressMeter, RateAndTimeLeftCountBytesAfterTheFirstStep) {
  ProgressMeter m;
  const auto t0 = steady_clock::time_point{} + hours(1);
  const TransferProgress first = m.Update(1024, 40960, t0);
  EXPECT_EQ(first.bytesPerSecond, 0.0);
  EXPECT_FALSE(first.secondsLeft) << "no rate before a second step";
  EXPECT_EQ(ProgressLine(first), "1k/40K        2.5 %     0.0 kB/s  --:-- left");

  // Exact bytes, not the size text's thousands: 1024 bytes more in 0.5 s.
  const TransferProgress p = m.Update(2048, 40960, t0 + milliseconds(500));
  EXPECT_DOUBLE_EQ(p.percent, 5.0);
  EXPECT_DOUBLE_EQ(p.bytesPerSecond, 2048.0);
  ASSERT_TRUE(p.secondsLeft);
  EXPECT_DOUBLE_EQ(*p.secondsLeft, 19.0);
  EXPECT_EQ(ProgressLine(p), "2k/40K        5.0 %     2.0 kB/s  0:19 left");
}

TEST(ProgressMeter, PercentStaysWithinTheWhole) {
  struct Case {
    std::int64_t done, total;
    double percent;
  };
  for (const Case c : {Case{.done = 0, .total = 0, .percent = 100.0},
                       Case{.done = 50, .total = 40, .percent = 100.0},
                       Case{.done = 10, .total = 40, .percent = 25.0}}) {
    ProgressMeter m;
    EXPECT_DOUBLE_EQ(m.Update(c.done, c.total, steady_clock::time_point{}).percent, c.percent)
        << c.done << "/" << c.total;
  }
}

TEST(ProgressMeter, Durations) {
  EXPECT_EQ(Duration(59.6), "1:00");
  EXPECT_EQ(Duration(3725), "1:02:05");
  EXPECT_EQ(Duration(-3), "0:00");
}

}  // namespace
}  // namespace kelvane
