#include "timecode/TimeCode.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, by a method unrelated to the
// broadcast formula (eras of 400 years).
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

TEST(ComputeMjd, KnownDates) {
  EXPECT_EQ(ComputeMjd(1993, 10, 13), 49273);
  EXPECT_EQ(ComputeMjd(2000, 1, 1), 51544);
  EXPECT_EQ(ComputeMjd(2000, 2, 29), 51603);
  EXPECT_EQ(ComputeMjd(2000, 3, 1), 51604);
  EXPECT_EQ(ComputeMjd(1858, 11, 17), 0);
}

TEST(ComputeMjd, EveryDayOfTheRangeAgreesWithAPlainDayCount) {
  const long epoch = DaysFromCivil(1858, 11, 17);  // MJD 0
  int checked = 0;
  for (int y = 1900; y <= 2100; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= DaysInMonth(y, m); ++d) {
        if (y == 1900 && m < 3) continue;
        if (y == 2100 && m > 2) continue;
        ASSERT_EQ(ComputeMjd(y, m, d), DaysFromCivil(y, m, d) - epoch) << y << "-" << m << "-" << d;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, DaysFromCivil(2100, 2, 28) - DaysFromCivil(1900, 3, 1) + 1);
}

TEST(EncodeBcd, OneDigitPerFourBits) {
  for (int v = 0; v <= 59; ++v) EXPECT_EQ(EncodeBcd(v), (v / 10) * 16 + v % 10) << v;
  EXPECT_EQ(EncodeBcd(123), 0x123);
  EXPECT_EQ(EncodeBcd(7654321), 0x7654321);
  EXPECT_EQ(EncodeBcd(79999999), 0x79999999);
}

TEST(EncodeBcd, SignsAndOtherCharactersKeepTheirPlace) {
  EXPECT_EQ(EncodeBcd(-5), 0x05);
  EXPECT_EQ(EncodeBcd("-5"), 0x05);
  EXPECT_EQ(EncodeBcd("5-"), 0x50);
  EXPECT_EQ(EncodeBcd("a07"), 0x007);
  EXPECT_EQ(EncodeBcd(""), 0);
  EXPECT_EQ(EncodeBcd("000"), 0);
  // Digits that cannot fit a signed 32-bit result are left out instead of overflowing.
  EXPECT_EQ(EncodeBcd("90000001"), 0x1);
  EXPECT_EQ(EncodeBcd("123456789"), 0x23456789);
}

TEST(TimeField, BytesOfTheTimeReply) {
  const TimeField t = EncodeTimeField(1993, 10, 13, 12, 45, 0);
  EXPECT_EQ(t.mjdHigh, 0xC0);
  EXPECT_EQ(t.mjdLow, 0x79);
  EXPECT_EQ(t.hour, 0x12);
  EXPECT_EQ(t.minute, 0x45);
  EXPECT_EQ(t.second, 0x00);
  // The field holds 16 bits of the date; from 23 April 2038 on they wrap.
  const TimeField late = EncodeTimeField(2099, 12, 31, 23, 59, 59);
  EXPECT_EQ(late.mjdHigh * 256 + late.mjdLow, ComputeMjd(2099, 12, 31) & 0xFFFF);
  EXPECT_EQ(late.hour, 0x23);
  EXPECT_EQ(late.second, 0x59);
}

}  // namespace
}  // namespace kelvane
