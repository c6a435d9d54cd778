#include "transfer/ProgressMeter.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ProgressMeter, SizeTextRateAndTimeLeft) {
  EXPECT_FALSE(ParseSizeText("12k/"));
  EXPECT_FALSE(ParseSizeText("12k/2097Kx"));
  const auto counts = ParseSizeText("12k/2097K");
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->done, 12000);
  EXPECT_EQ(counts->total, 2097000);

  using namespace std::chrono;
  ProgressMeter m;
  const auto t0 = steady_clock::time_point{} + hours(1);
  m.Start(t0);
  m.Update("20k/40K", 47.5f, t0 + seconds(2));
  EXPECT_DOUBLE_EQ(m.Percent(), 50.0);  // the bar runs 0..95 for 0..100 %
  EXPECT_DOUBLE_EQ(m.BytesPerSecond(), 10000.0);
  for (const char* part : {"20k/40K", " 50.0 %", "10.0 kB/s", "0:02 left"})
    EXPECT_NE(m.Line().find(part), std::string::npos) << m.Line();
  // The bar stops at 95 while the transfer runs; the line never shows more than 100 %.
  m.Update("40k/40K", 95.0f, t0 + seconds(4));
  EXPECT_DOUBLE_EQ(m.Percent(), 100.0);
  EXPECT_NE(m.Line().find("0:00 left"), std::string::npos);
  EXPECT_EQ(Duration(59.6), "1:00");
  EXPECT_EQ(Duration(3725), "1:02:05");
}

}  // namespace
}  // namespace kelvane
