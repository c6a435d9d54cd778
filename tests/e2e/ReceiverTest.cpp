// The emulator's own arithmetic and the sample files, checked against the product's rules.

#include <gtest/gtest.h>

#include <algorithm>

#include "files/ImageForm.h"
#include "receiver/Line.h"
#include "receiver/Receiver.h"
#include "receiver/SampleFiles.h"
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

TEST(ReceiverTime, BcdDigits) {
  EXPECT_EQ(rx::FromBcd(0x59), 59);
  EXPECT_EQ(rx::FromBcd(0x00), 0);
  EXPECT_EQ(rx::FromBcd(0x5A), -1);
  EXPECT_EQ(rx::FromBcd(0xA0), -1);
}

TEST(ReceiverJunk, HoldsNoControlByte) {
  const rx::Bytes junk = rx::Junk(5000, 9);
  EXPECT_TRUE(std::none_of(junk.begin(), junk.end(), [](std::uint8_t b) { return b < 0x20; }));
}

TEST(Samples, ImagesHaveTheirFormsAndFields) {
  const samples::Bytes plain = samples::ProgramImage({});
  const samples::Bytes prefixed = samples::Prefixed(plain);
  EXPECT_FALSE(IsPrefixed(static_cast<std::int64_t>(plain.size()), plain));
  EXPECT_TRUE(IsPrefixed(static_cast<std::int64_t>(prefixed.size()), prefixed));
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), prefixed.begin() + 4));
  EXPECT_EQ(BigEndian32(std::span(plain).subspan(12)), plain.size() - 64);  // DataLength
  EXPECT_EQ(plain[18], 0x01);
  EXPECT_EQ(plain[19], 0x05);
  EXPECT_EQ(plain[26], 0x12);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&plain[32])), "DEMO RECEIVER");
  EXPECT_EQ(samples::ProgramImage({}), plain);  // deterministic
}

TEST(Samples, ChannelListHasRepeatsAndOtherSystems) {
  const samples::Bytes list = samples::ChannelList();
  ASSERT_EQ(list.size() % 128, 0u);
  int mpg2 = 0, repeats = 0, other = 0;
  std::string last;
  for (std::size_t r = 0; r < list.size(); r += 128) {
    const std::string rec(list.begin() + static_cast<std::ptrdiff_t>(r), list.begin() + static_cast<std::ptrdiff_t>(r + 128));
    if (rec.substr(29, 4) != "MPG2") {
      ++other;
      continue;
    }
    ++mpg2;
    const std::string key = rec.substr(33, 6) + rec.substr(42, 1) + rec.substr(69, 5);
    if (key == last) ++repeats;
    last = key;
  }
  EXPECT_GT(mpg2, 10);
  EXPECT_GT(repeats, 2);
  EXPECT_GT(other, 2);
}

}  // namespace
}  // namespace kelvane
