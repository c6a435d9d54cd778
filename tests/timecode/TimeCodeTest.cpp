#include "timecode/TimeCode.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, counted in eras of 400 years: a
// method unrelated to the broadcast formula.
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

TEST(ComputeMjd, EveryDayFromMarch1900ToFebruary2100AgreesWithADayCount) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const long epoch = DaysFromCivil(1858, 11, 17);  // MJD 0
  for (int y = 1900; y <= 2100; ++y)
    for (int m = (y == 1900 ? 3 : 1); m <= (y == 2100 ? 2 : 12); ++m) {
      const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
      for (int d = 1; d <= kDays[m - 1] + (m == 2 && leap); ++d)
        ASSERT_EQ(ComputeMjd(y, m, d), DaysFromCivil(y, m, d) - epoch) << y << "-" << m << "-" << d;
    }
  EXPECT_EQ(ComputeMjd(1993, 10, 13), 49273);
}

TEST(EncodeBcd, OneDigitPerFourBitsOtherCharactersKeepTheirPlace) {
  for (int v = 0; v <= 59; ++v) EXPECT_EQ(EncodeBcd(v), (v / 10) * 16 + v % 10) << v;
  EXPECT_EQ(EncodeBcd(79999999), 0x79999999);
  EXPECT_EQ(EncodeBcd(-5), 0x05);
  const std::pair<const char*, int> texts[] = {{"5-", 0x50}, {"a07", 0x007}, {"", 0},
                                               // digits that cannot fit a signed 32-bit result are left out
                                               {"90000001", 0x1}, {"123456789", 0x23456789}};
  for (const auto& [text, bcd] : texts) EXPECT_EQ(EncodeBcd(text), bcd) << text;
}

TEST(TimeField, HoldsSixteenBitsOfTheDate) {
  const TimeField late = EncodeTimeField(2099, 12, 31, 23, 59, 58);
  EXPECT_EQ(late.mjdHigh * 256 + late.mjdLow, ComputeMjd(2099, 12, 31) & 0xFFFF);
  EXPECT_EQ(late.hour, 0x23);
  EXPECT_EQ(late.minute, 0x59);
  EXPECT_EQ(late.second, 0x58);
}

}  // namespace
}  // namespace kelvane
