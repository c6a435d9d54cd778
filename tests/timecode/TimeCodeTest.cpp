#include "timecode/TimeCode.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/Fakes.h"

namespace kelvane {
namespace {

using namespace std::chrono;

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
}

TEST(EncodeBcd, OneDigitPerFourBitsOtherCharactersKeepTheirPlace) {
  for (int v = 0; v <= 59; ++v) EXPECT_EQ(EncodeBcd(v), (v / 10) * 16 + v % 10) << v;
  EXPECT_EQ(EncodeBcd(79999999), 0x79999999);
  EXPECT_EQ(EncodeBcd(-5), 0x05);
  // Digits that cannot fit a signed 32-bit result are left out.
  const std::pair<const char*, int> texts[] = {
      {"5-", 0x50}, {"a07", 7}, {"", 0}, {"90000001", 1}, {"123456780", 0x23456780}};
  for (const auto& [text, bcd] : texts) EXPECT_EQ(EncodeBcd(text), bcd) << text;
}

// The time reply's calendar is the machine's local time: read back through mktime, it is now.
TEST(SystemClock, LocalIsTheCalendarTimeOfTheMachine) {
  const std::time_t before = std::time(nullptr);
  const LocalDateTime t = SystemClock().Local();
  const std::time_t after = std::time(nullptr);
  std::tm tm{};
  tm.tm_year = t.year - 1900, tm.tm_mon = t.month - 1, tm.tm_mday = t.day;
  tm.tm_hour = t.hour, tm.tm_min = t.minute, tm.tm_sec = t.second, tm.tm_isdst = -1;
  const std::time_t seen = std::mktime(&tm);
  // An hour of slack: in the hour a clock change repeats, mktime may take the other one.
  EXPECT_TRUE(seen + 3600 >= before && seen <= after + 3600)
      << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute;
}

// A pause is never shorter than asked, also below the sleep's precision.
TEST(SystemClock, PauseLastsAtLeastItsTime) {
  for (const microseconds d : {50us, 300us}) {
    const auto start = steady_clock::now();
    SystemClock().Pause(d);
    EXPECT_GE(steady_clock::now() - start, d);
  }
}

// The shortest of the timed runs, rounded up to the microsecond and capped.
TEST(SystemClock, CountingLoopTimeIsTheShortestRunRoundedUpAndCapped) {
  test::FakeClock clock(test::LoopRuns({30us, 12300ns, 20us, 40us, 13us}));
  EXPECT_EQ(CountingLoopTime(clock, 100), 13us);
  EXPECT_TRUE(clock.advances.empty()) << "one read before and after each of the runs";
  test::FakeClock slow(test::LoopRuns(std::vector<nanoseconds>(kLoopRuns, 5ms)));
  EXPECT_EQ(CountingLoopTime(slow, 100), kLongestLoopTime);
}

}  // namespace
}  // namespace kelvane
