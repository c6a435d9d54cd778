// The emulator's own arithmetic, checked against the product's rules.

#include <gtest/gtest.h>

#include "receiver/Receiver.h"
#include "timecode/TimeCode.h"

namespace kelvane {
namespace {

// The receiver's date decoding is the inverse of the PC's encoding over the whole range
// the encoding is defined for.
TEST(ReceiverTime, DateOfMjdInvertsComputeMjd) {
  int mjd = kelvane::ComputeMjd(1900, 3, 1);
  for (int y = 1900; y < 2100; ++y)
    for (int m = 1; m <= 12; ++m)
      for (int d = 1; d <= 31; ++d) {
        if (y == 1900 && m < 3) continue;
        const rx::CivilDate date = rx::DateOfMjd(mjd);
        if (date.day != d || date.month != m) continue;  // a day this month does not have
        ASSERT_EQ(date.year, y);
        ASSERT_EQ(kelvane::ComputeMjd(y, m, d), mjd) << y << "-" << m << "-" << d;
        ++mjd;
      }
  EXPECT_EQ(mjd, kelvane::ComputeMjd(2100, 1, 1));
}

}  // namespace
}  // namespace kelvane
