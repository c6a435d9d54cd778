#include "transfer/ProgressMeter.h"

#include <gtest/gtest.h>

#include <tuple>

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
  ProgressMeter slow;  // a byte in two seconds is a rate too
  slow.Update(0, 10, t0);
  EXPECT_EQ(slow.Update(1, 10, t0 + seconds(2)).secondsLeft, std::optional<double>(18.0));
}

TEST(ProgressMeter, PercentStaysWithinTheWhole) {
  const std::tuple<std::int64_t, std::int64_t, double> cases[] = {
      {0, 0, 100.0}, {50, 40, 100.0}, {10, 40, 25.0}};
  for (const auto& [done, total, percent] : cases)
    EXPECT_DOUBLE_EQ(ProgressMeter().Update(done, total, steady_clock::time_point{}).percent,
                     percent)
        << done << "/" << total;
}

TEST(ProgressMeter, DurationsAndSizesAtTheirBoundaries) {
  EXPECT_EQ(Duration(59.6), "1:00");
  EXPECT_EQ(Duration(3599.4), "59:59");
  EXPECT_EQ(Duration(3600), "1:00:00");
  EXPECT_EQ(Duration(3725), "1:02:05");
  EXPECT_EQ(Duration(-3), "0:00");
  EXPECT_EQ(SizeText(999, 2000), "0k/2K");  // 1000 bytes to the k, rounded down
  EXPECT_EQ(SizeText(1000, 1999), "1k/1K");
}

}  // namespace
}  // namespace kelvane
